/* Starting and stopping the runtime, sub-interpreters, the program's name
 * and home, and the module search path derived from them. */
#ifndef ZVLIFECYCLE_H
#define ZVLIFECYCLE_H

#include <signal.h>

#include "object.h"
#include "zvflags.h"
#include "zvstate.h"

ZV_BEGIN_DECLS

/* Creates the interpreter and its first thread state, readies the core
 * types and builds what start-up owns (caches, module table, builtins,
 * sys and its search path, exceptions, __main__, then `site` unless
 * Zv_NoSiteFlag and `warnings`).  Reads ZUVODEBUG, ZUVOVERBOSE and
 * ZUVOOPTIMIZE unless Zv_IgnoreEnvironmentFlag is set.  Calling it again
 * does nothing. */
ZvAPI_FUNC(void) Zv_Initialize(void);
/* Zv_Initialize with a choice: install_sigs 0 leaves the process's signal
 * dispositions alone (for embedders that manage signals themselves);
 * otherwise SIGPIPE and SIGXFSZ are ignored, so that failed writes become
 * errors instead of ending the process. */
ZvAPI_FUNC(void) Zv_InitializeEx(int install_sigs);
/* Runs sys.exitfunc, tears down what Zv_Initialize built and frees the
 * type caches and free lists; a later Zv_Initialize starts afresh.
 * Objects kept by the caller across the cycle are not supported. */
ZvAPI_FUNC(void) Zv_Finalize(void);
ZvAPI_FUNC(int) Zv_IsInitialized(void);

/* A sub-interpreter with its own modules, sys and __builtin__ (copies of
 * the first ones as start-up left them); it becomes the current thread
 * state.  NULL (the previous state current again) on failure. */
ZvAPI_FUNC(ZvThreadState *) Zv_NewInterpreter(void);
/* Ends a sub-interpreter whose only thread state is `tstate`, which must
 * be current and idle; afterwards no thread state is current. */
ZvAPI_FUNC(void) Zv_EndInterpreter(ZvThreadState *tstate);

/* Registers a function for the very end of Zv_Finalize (after everything
 * is torn down; it must not use the runtime).  Functions run newest first;
 * 0, or -1 when 32 are already registered. */
ZvAPI_FUNC(int) Zv_AtExit(void (*func)(void));
/* Zv_Finalize, then exit(status). */
ZvAPI_FUNC(void) Zv_Exit(int status) __attribute__((noreturn));

/* The program name (default "zuvo") locates the installation.  The string
 * is not copied: the caller keeps it alive.  NULL or "" is ignored. */
ZvAPI_FUNC(void) Zv_SetProgramName(char *name);
ZvAPI_FUNC(char *) Zv_GetProgramName(void);
/* The installation prefix, or "prefix:exec_prefix"; not copied either.
 * Zv_GetZuvoHome gives the set value, else ZUVOHOME (unless the
 * environment is ignored), else NULL. */
ZvAPI_FUNC(void) Zv_SetZuvoHome(char *home);
ZvAPI_FUNC(char *) Zv_GetZuvoHome(void);

/* The module search path (':'-separated) and where it came from.  Worked
 * out on first use from ZUVOPATH, the home and the program's location;
 * the strings stay valid until Zv_Finalize. */
ZvAPI_FUNC(char *) Zv_GetPath(void);
ZvAPI_FUNC(char *) Zv_GetPrefix(void);
ZvAPI_FUNC(char *) Zv_GetExecPrefix(void);
ZvAPI_FUNC(char *) Zv_GetProgramFullPath(void);

/* The name of the library directory under <prefix>/lib. */
#define ZUVO_LIBDIR_NAME "zuvo2.4"

/* The `warnings` module start-up imported (or found in sys.modules), or
 * NULL; borrowed.  Never leaves an error set. */
ZvAPI_FUNC(ZvObject *) ZvModule_GetWarningsModule(void);

/* True when fp is a terminal, or, under Zv_InteractiveFlag, when the
 * file name is NULL, "<stdin>" or "???". */
ZvAPI_FUNC(int) Zv_FdIsInteractive(FILE *fp, const char *filename);

/* sigaction wrappers: install a handler and return the previous one, or
 * just read the current one (SIG_ERR on a bad signal number). */
typedef void (*ZvOS_sighandler_t)(int);
ZvAPI_FUNC(ZvOS_sighandler_t) ZvOS_setsig(int sig, ZvOS_sighandler_t handler);
ZvAPI_FUNC(ZvOS_sighandler_t) ZvOS_getsig(int sig);

/* Creates the __builtin__ module (start-up); borrowed reference or NULL. */
ZvAPI_FUNC(ZvObject *) _ZvBuiltin_Init(void);

ZV_END_DECLS

#endif /* ZVLIFECYCLE_H */
