/* Interim: the interfaces of the file objects, the import system and the
 * Unicode type that the builtins call, declared here until the headers of
 * those pieces declare them (identical declarations, so both may stand
 * together for a while).  interim_runtime.cpp gives weak stand-ins that
 * the real definitions replace at link time; both files go once every
 * piece is in. */
#ifndef ZV_INTERIM_RUNTIME_H
#define ZV_INTERIM_RUNTIME_H

#include <stdio.h>

#include "object.h"

ZV_BEGIN_DECLS

/* File objects. */
ZvAPI_DATA(ZvTypeObject) ZvFile_Type;
#ifndef ZvFile_Check
#define ZvFile_Check(op) ZvObject_TypeCheck(op, &ZvFile_Type)
#endif
/* The stdio stream of a file object, NULL for other objects (or a closed
 * file). */
ZvAPI_FUNC(FILE *) ZvFile_AsFile(ZvObject *f);
/* One line of f: n > 0 at most n bytes, 0 a whole line, n < 0 a whole line
 * without its newline, EOFError at end of file. */
ZvAPI_FUNC(ZvObject *) ZvFile_GetLine(ZvObject *f, int n);

/* The import system. */
ZvAPI_FUNC(ZvObject *) ZvImport_ImportModuleEx(char *name, ZvObject *globals, ZvObject *locals,
                                               ZvObject *fromlist);
ZvAPI_FUNC(ZvObject *) ZvImport_ReloadModule(ZvObject *m);

/* The Unicode type: the one-character string of an ordinal. */
ZvAPI_FUNC(ZvObject *) ZvUnicode_FromOrdinal(int ordinal);

ZV_END_DECLS

#endif /* ZV_INTERIM_RUNTIME_H */
