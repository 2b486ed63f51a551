/* Running source text and files: parse, compile and evaluate in given
 * namespaces.  These return NULL (or -1) with the error set and print
 * nothing; the Simple* variants of the top level print what escapes. */
#ifndef ZVRUN_H
#define ZVRUN_H

#include "object.h"
#include "zvstate.h"

ZV_BEGIN_DECLS

/* Start symbols: one interactive statement, a module, an expression. */
#define Zv_single_input 256
#define Zv_file_input 257
#define Zv_eval_input 258

ZvAPI_FUNC(ZvObject *) ZvRun_StringFlags(const char *str, int start, ZvObject *globals,
                                         ZvObject *locals, ZvCompilerFlags *flags);
#define ZvRun_String(str, start, g, l) ZvRun_StringFlags((str), (start), (g), (l), NULL)
ZvAPI_FUNC(ZvObject *) ZvRun_FileExFlags(FILE *fp, const char *filename, int start,
                                         ZvObject *globals, ZvObject *locals, int closeit,
                                         ZvCompilerFlags *flags);
#define ZvRun_FileEx(fp, name, start, g, l, c)                                \
    ZvRun_FileExFlags((fp), (name), (start), (g), (l), (c), NULL)
#define ZvRun_File(fp, name, start, g, l) ZvRun_FileExFlags((fp), (name), (start), (g), (l), 0, NULL)
#define ZvRun_FileFlags(fp, name, start, g, l, flags)                         \
    ZvRun_FileExFlags((fp), (name), (start), (g), (l), 0, (flags))

/* A code object, or NULL with SyntaxError (or another error) set. */
ZvAPI_FUNC(ZvObject *) Zv_CompileStringFlags(const char *str, const char *filename, int start,
                                             ZvCompilerFlags *flags);
#define Zv_CompileString(str, filename, start) Zv_CompileStringFlags((str), (filename), (start), NULL)

ZV_END_DECLS

#endif /* ZVRUN_H */
