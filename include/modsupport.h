/* Argument parsing, value building and module definition for native
 * functions and extension modules. */
#ifndef ZVMODSUPPORT_H
#define ZVMODSUPPORT_H

#include "object.h"
#include "methodobject.h"

ZV_BEGIN_DECLS

/* Parse units store into the C types below; integer units follow the
 * language's 32-bit integers:
 *   b unsigned char (0..255)   B unsigned char (low bits)
 *   h short (range checked)    H unsigned short (low bits)
 *   i int                      I unsigned int (low bits)
 *   l long: the 32-bit value, in a C long only so existing code compiles
 *   k unsigned long: the low 32 bits     L long long     K unsigned long long
 *   f float, d double, D a complex record (two doubles, real first)
 * Return 1 on success, 0 with an error set.  Destinations of units after a
 * failing one are not written; buffers of "e" units are freed on failure
 * and their pointers reset to NULL. */
ZvAPI_FUNC(int) ZvArg_Parse(ZvObject *, const char *, ...);
ZvAPI_FUNC(int) ZvArg_ParseTuple(ZvObject *, const char *, ...);
ZvAPI_FUNC(int) ZvArg_ParseTupleAndKeywords(ZvObject *, ZvObject *, const char *, char **, ...);
ZvAPI_FUNC(int) ZvArg_VaParse(ZvObject *, const char *, va_list);
ZvAPI_FUNC(int) ZvArg_VaParseTupleAndKeywords(ZvObject *, ZvObject *, const char *, char **,
                                              va_list);
ZvAPI_FUNC(int) ZvArg_UnpackTuple(ZvObject *, const char *, int, int, ...);
/* 1 when kw is NULL or an empty dict, else TypeError "%s does not take keyword
 * arguments" naming funcname and 0. */
ZvAPI_FUNC(int) _ZvArg_NoKeywords(const char *funcname, ZvObject *kw);
ZvAPI_FUNC(ZvObject *) Zv_BuildValue(const char *, ...);
ZvAPI_FUNC(ZvObject *) Zv_VaBuildValue(const char *, va_list);

/* The C API version an extension module is compiled against. */
#define ZUVO_API_VERSION 1012
#define ZUVO_API_STRING "1012"

ZvAPI_FUNC(ZvObject *) Zv_InitModule4(const char *name, ZvMethodDef *methods, const char *doc,
                                      ZvObject *self, int apiver);
#define Zv_InitModule(name, methods)                                          \
    Zv_InitModule4(name, methods, (char *)NULL, (ZvObject *)NULL, ZUVO_API_VERSION)
#define Zv_InitModule3(name, methods, doc)                                    \
    Zv_InitModule4(name, methods, doc, (ZvObject *)NULL, ZUVO_API_VERSION)

ZvAPI_FUNC(int) ZvModule_AddObject(ZvObject *, const char *, ZvObject *);
ZvAPI_FUNC(int) ZvModule_AddIntConstant(ZvObject *, const char *, int32_t);
ZvAPI_FUNC(int) ZvModule_AddStringConstant(ZvObject *, const char *, const char *);

ZV_END_DECLS

#endif /* ZVMODSUPPORT_H */
