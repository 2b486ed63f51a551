/* Running source text, files and interactive input, and the top level
 * that prints what escapes.
 *
 * ZvRun_String*, ZvRun_File* and Zv_CompileString* return NULL with the
 * error set and print nothing.  The Simple*, AnyFile* and Interactive*
 * entry points are the top level: they run in __main__, print an uncaught
 * exception (ZvErr_Print) and return 0 or -1; a SystemExit reaching them
 * ends the process with its status. */
#ifndef ZVRUN_H
#define ZVRUN_H

#include "object.h"
#include "zvstate.h"

ZV_BEGIN_DECLS

struct symtable;

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
/* The symbol table of the source (free it with ZvSymtable_Free), or NULL
 * with the error set. */
ZvAPI_FUNC(struct symtable *) Zv_SymtableString(const char *str, const char *filename,
                                                 int start);

/* Runs `command` as a module in __main__ ("<string>"). */
ZvAPI_FUNC(int) ZvRun_SimpleStringFlags(const char *command, ZvCompilerFlags *flags);
#define ZvRun_SimpleString(s) ZvRun_SimpleStringFlags((s), NULL)
/* Runs a script file in __main__ (setting __file__ when missing).  A
 * ".zvc"/".zvo" name, or with closeit a stream at its start whose first
 * two bytes are the bytecode magic, is run as compiled bytecode. */
ZvAPI_FUNC(int) ZvRun_SimpleFileExFlags(FILE *fp, const char *filename, int closeit,
                                        ZvCompilerFlags *flags);
#define ZvRun_SimpleFile(fp, name) ZvRun_SimpleFileExFlags((fp), (name), 0, NULL)
#define ZvRun_SimpleFileEx(fp, name, c) ZvRun_SimpleFileExFlags((fp), (name), (c), NULL)
#define ZvRun_SimpleFileFlags(fp, name, flags) ZvRun_SimpleFileExFlags((fp), (name), 0, (flags))
/* The interactive loop when the stream is interactive (Zv_FdIsInteractive),
 * else ZvRun_SimpleFileExFlags.  A NULL file name means "???". */
ZvAPI_FUNC(int) ZvRun_AnyFileExFlags(FILE *fp, const char *filename, int closeit,
                                     ZvCompilerFlags *flags);
#define ZvRun_AnyFile(fp, name) ZvRun_AnyFileExFlags((fp), (name), 0, NULL)
#define ZvRun_AnyFileEx(fp, name, c) ZvRun_AnyFileExFlags((fp), (name), (c), NULL)
#define ZvRun_AnyFileFlags(fp, name, flags) ZvRun_AnyFileExFlags((fp), (name), 0, (flags))
/* Reads and runs statements with the prompts sys.ps1 and sys.ps2 (set to
 * ">>> " and "... " when missing) until end of input; errors in one
 * statement are printed and the loop goes on.  Console input is read from
 * the process's standard input.  Returns 0. */
ZvAPI_FUNC(int) ZvRun_InteractiveLoopFlags(FILE *fp, const char *filename,
                                           ZvCompilerFlags *flags);
#define ZvRun_InteractiveLoop(fp, name) ZvRun_InteractiveLoopFlags((fp), (name), NULL)
/* One statement: 0, -1 after printing its error, a parser error code
 * after printing a syntax error, or E_EOF (11) at end of input. */
ZvAPI_FUNC(int) ZvRun_InteractiveOneFlags(FILE *fp, const char *filename,
                                          ZvCompilerFlags *flags);
#define ZvRun_InteractiveOne(fp, name) ZvRun_InteractiveOneFlags((fp), (name), NULL)

/* Prints the pending error to sys.stderr through sys.excepthook and
 * clears it; with set_sys_last_vars (ZvErr_Print) the error is kept as
 * sys.last_type, sys.last_value and sys.last_traceback.  A pending
 * SystemExit ends the process instead. */
ZvAPI_FUNC(void) ZvErr_Print(void);
ZvAPI_FUNC(void) ZvErr_PrintEx(int set_sys_last_vars);
/* Writes the traceback and "Name: message" (the file, line, source and a
 * caret for syntax errors) to sys.stderr; errors while doing so are
 * cleared.  The default sys.excepthook. */
ZvAPI_FUNC(void) ZvErr_Display(ZvObject *exc, ZvObject *value, ZvObject *tb);

/* Prints an exception with its traceback to sys.stderr, the way an
 * uncaught exception is shown (the default sys.excepthook). */
ZvAPI_FUNC(void) ZvErr_Display(ZvObject *exc, ZvObject *value, ZvObject *tb);

ZV_END_DECLS

#endif /* ZVRUN_H */
