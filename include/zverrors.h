/* The error indicator and the standard exception objects. */
#ifndef ZVERRORS_H
#define ZVERRORS_H

#include "object.h"

ZV_BEGIN_DECLS

ZvAPI_FUNC(void) ZvErr_SetNone(ZvObject *);
ZvAPI_FUNC(void) ZvErr_SetObject(ZvObject *, ZvObject *);
ZvAPI_FUNC(void) ZvErr_SetString(ZvObject *, const char *);
ZvAPI_FUNC(ZvObject *) ZvErr_Occurred(void);
ZvAPI_FUNC(void) ZvErr_Clear(void);
ZvAPI_FUNC(void) ZvErr_Fetch(ZvObject **, ZvObject **, ZvObject **);
ZvAPI_FUNC(void) ZvErr_Restore(ZvObject *, ZvObject *, ZvObject *);
ZvAPI_FUNC(int) ZvErr_GivenExceptionMatches(ZvObject *, ZvObject *);
ZvAPI_FUNC(int) ZvErr_ExceptionMatches(ZvObject *);
ZvAPI_FUNC(void) ZvErr_NormalizeException(ZvObject **, ZvObject **, ZvObject **);
ZvAPI_FUNC(int) ZvErr_BadArgument(void);
ZvAPI_FUNC(ZvObject *) ZvErr_NoMemory(void);
ZvAPI_FUNC(ZvObject *) ZvErr_SetFromErrno(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvErr_SetFromErrnoWithFilenameObject(ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvErr_SetFromErrnoWithFilename(ZvObject *, const char *);
ZvAPI_FUNC(ZvObject *) ZvErr_Format(ZvObject *, const char *, ...);
ZvAPI_FUNC(void) ZvErr_BadInternalCall(void);
ZvAPI_FUNC(void) _ZvErr_BadInternalCall(const char *filename, int lineno);
ZvAPI_FUNC(ZvObject *) ZvErr_NewException(const char *name, ZvObject *base, ZvObject *dict);
ZvAPI_FUNC(void) ZvErr_WriteUnraisable(ZvObject *);
ZvAPI_FUNC(int) ZvErr_Warn(ZvObject *, const char *);
ZvAPI_FUNC(int) ZvErr_WarnExplicit(ZvObject *, const char *, const char *, int, const char *,
                                   ZvObject *);
ZvAPI_FUNC(void) ZvErr_SyntaxLocation(const char *, int);
ZvAPI_FUNC(ZvObject *) ZvErr_ProgramText(const char *, int);
ZvAPI_FUNC(int) ZvErr_CheckSignals(void);

/* The standard exception classes. */
ZvAPI_DATA(ZvObject *) ZvExc_Exception;
ZvAPI_DATA(ZvObject *) ZvExc_StopIteration;
ZvAPI_DATA(ZvObject *) ZvExc_StandardError;
ZvAPI_DATA(ZvObject *) ZvExc_ArithmeticError;
ZvAPI_DATA(ZvObject *) ZvExc_LookupError;
ZvAPI_DATA(ZvObject *) ZvExc_AssertionError;
ZvAPI_DATA(ZvObject *) ZvExc_AttributeError;
ZvAPI_DATA(ZvObject *) ZvExc_EOFError;
ZvAPI_DATA(ZvObject *) ZvExc_FloatingPointError;
ZvAPI_DATA(ZvObject *) ZvExc_EnvironmentError;
ZvAPI_DATA(ZvObject *) ZvExc_IOError;
ZvAPI_DATA(ZvObject *) ZvExc_OSError;
ZvAPI_DATA(ZvObject *) ZvExc_ImportError;
ZvAPI_DATA(ZvObject *) ZvExc_IndexError;
ZvAPI_DATA(ZvObject *) ZvExc_KeyError;
ZvAPI_DATA(ZvObject *) ZvExc_KeyboardInterrupt;
ZvAPI_DATA(ZvObject *) ZvExc_MemoryError;
ZvAPI_DATA(ZvObject *) ZvExc_NameError;
ZvAPI_DATA(ZvObject *) ZvExc_OverflowError;
ZvAPI_DATA(ZvObject *) ZvExc_RuntimeError;
ZvAPI_DATA(ZvObject *) ZvExc_NotImplementedError;
ZvAPI_DATA(ZvObject *) ZvExc_SyntaxError;
ZvAPI_DATA(ZvObject *) ZvExc_IndentationError;
ZvAPI_DATA(ZvObject *) ZvExc_TabError;
ZvAPI_DATA(ZvObject *) ZvExc_ReferenceError;
ZvAPI_DATA(ZvObject *) ZvExc_SystemError;
ZvAPI_DATA(ZvObject *) ZvExc_SystemExit;
ZvAPI_DATA(ZvObject *) ZvExc_TypeError;
ZvAPI_DATA(ZvObject *) ZvExc_UnboundLocalError;
ZvAPI_DATA(ZvObject *) ZvExc_UnicodeError;
ZvAPI_DATA(ZvObject *) ZvExc_UnicodeEncodeError;
ZvAPI_DATA(ZvObject *) ZvExc_UnicodeDecodeError;
ZvAPI_DATA(ZvObject *) ZvExc_UnicodeTranslateError;
ZvAPI_DATA(ZvObject *) ZvExc_ValueError;
ZvAPI_DATA(ZvObject *) ZvExc_ZeroDivisionError;
ZvAPI_DATA(ZvObject *) ZvExc_MemoryErrorInst;

ZvAPI_DATA(ZvObject *) ZvExc_Warning;
ZvAPI_DATA(ZvObject *) ZvExc_UserWarning;
ZvAPI_DATA(ZvObject *) ZvExc_DeprecationWarning;
ZvAPI_DATA(ZvObject *) ZvExc_PendingDeprecationWarning;
ZvAPI_DATA(ZvObject *) ZvExc_SyntaxWarning;
ZvAPI_DATA(ZvObject *) ZvExc_OverflowWarning;
ZvAPI_DATA(ZvObject *) ZvExc_RuntimeWarning;
ZvAPI_DATA(ZvObject *) ZvExc_FutureWarning;

/* The Unicode errors' attributes, checked: encoding and reason must be
 * byte strings, object a byte string for decode errors and a unicode
 * string for encode and translate errors (which no object is until the
 * unicode type exists); start and end are ints, clamped against the
 * object's length when read.  Getters return a new reference or 0, and
 * NULL or -1 with an error; setters 0 or -1. */
ZvAPI_FUNC(ZvObject *) ZvUnicodeDecodeError_Create(const char *encoding, const char *object,
                                                   int length, int start, int end,
                                                   const char *reason);
ZvAPI_FUNC(ZvObject *) ZvUnicodeEncodeError_GetEncoding(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvUnicodeDecodeError_GetEncoding(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvUnicodeEncodeError_GetObject(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvUnicodeDecodeError_GetObject(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvUnicodeTranslateError_GetObject(ZvObject *);
ZvAPI_FUNC(int) ZvUnicodeEncodeError_GetStart(ZvObject *, int *);
ZvAPI_FUNC(int) ZvUnicodeDecodeError_GetStart(ZvObject *, int *);
ZvAPI_FUNC(int) ZvUnicodeTranslateError_GetStart(ZvObject *, int *);
ZvAPI_FUNC(int) ZvUnicodeEncodeError_SetStart(ZvObject *, int);
ZvAPI_FUNC(int) ZvUnicodeDecodeError_SetStart(ZvObject *, int);
ZvAPI_FUNC(int) ZvUnicodeTranslateError_SetStart(ZvObject *, int);
ZvAPI_FUNC(int) ZvUnicodeEncodeError_GetEnd(ZvObject *, int *);
ZvAPI_FUNC(int) ZvUnicodeDecodeError_GetEnd(ZvObject *, int *);
ZvAPI_FUNC(int) ZvUnicodeTranslateError_GetEnd(ZvObject *, int *);
ZvAPI_FUNC(int) ZvUnicodeEncodeError_SetEnd(ZvObject *, int);
ZvAPI_FUNC(int) ZvUnicodeDecodeError_SetEnd(ZvObject *, int);
ZvAPI_FUNC(int) ZvUnicodeTranslateError_SetEnd(ZvObject *, int);
ZvAPI_FUNC(ZvObject *) ZvUnicodeEncodeError_GetReason(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvUnicodeDecodeError_GetReason(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvUnicodeTranslateError_GetReason(ZvObject *);
ZvAPI_FUNC(int) ZvUnicodeEncodeError_SetReason(ZvObject *, const char *);
ZvAPI_FUNC(int) ZvUnicodeDecodeError_SetReason(ZvObject *, const char *);
ZvAPI_FUNC(int) ZvUnicodeTranslateError_SetReason(ZvObject *, const char *);

ZV_END_DECLS

#endif /* ZVERRORS_H */
