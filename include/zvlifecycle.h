/* Starting and stopping the runtime. */
#ifndef ZVLIFECYCLE_H
#define ZVLIFECYCLE_H

#include "object.h"
#include "zvflags.h"

ZV_BEGIN_DECLS

/* Creates the interpreter and its first thread state, readies the core
 * types and builds what start-up owns (caches, module table, exceptions,
 * __main__).  Reads ZUVODEBUG, ZUVOVERBOSE and ZUVOOPTIMIZE unless
 * Zv_IgnoreEnvironmentFlag is set.  Calling it again does nothing. */
ZvAPI_FUNC(void) Zv_Initialize(void);
/* Zv_Initialize with a choice: install_sigs 0 leaves the process's signal
 * dispositions alone (for embedders that manage signals themselves);
 * otherwise SIGPIPE and SIGXFSZ are ignored, so that failed writes become
 * errors instead of ending the process. */
ZvAPI_FUNC(void) Zv_InitializeEx(int install_sigs);
/* Tears down what Zv_Initialize built and frees the type caches and free
 * lists; a later Zv_Initialize starts afresh.  Objects kept by the caller
 * across the cycle are not supported. */
ZvAPI_FUNC(void) Zv_Finalize(void);
ZvAPI_FUNC(int) Zv_IsInitialized(void);

/* Registers a function for the very end of Zv_Finalize (after everything
 * is torn down; it must not use the runtime).  Functions run newest first;
 * 0, or -1 when 32 are already registered. */
ZvAPI_FUNC(int) Zv_AtExit(void (*func)(void));

/* Creates the __builtin__ module (start-up); borrowed reference or NULL. */
ZvAPI_FUNC(ZvObject *) _ZvBuiltin_Init(void);

ZV_END_DECLS

#endif /* ZVLIFECYCLE_H */
