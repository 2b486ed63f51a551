/* Starting and stopping the runtime. */
#ifndef ZVLIFECYCLE_H
#define ZVLIFECYCLE_H

#include "object.h"

ZV_BEGIN_DECLS

/* Creates the interpreter and its first thread state and readies the core
 * types.  Calling it again does nothing. */
ZvAPI_FUNC(void) Zv_Initialize(void);
/* Tears down what Zv_Initialize built and frees the type caches. */
ZvAPI_FUNC(void) Zv_Finalize(void);
ZvAPI_FUNC(int) Zv_IsInitialized(void);

/* Process-wide flags set from the command line and the environment before
 * start-up; all start at 0. */
ZvAPI_DATA(int) Zv_VerboseFlag;          /* -v: trace imports and clean-up */
ZvAPI_DATA(int) Zv_DivisionWarningFlag;  /* -Q: 0 old, 1 warn, 2 warn all */

ZV_END_DECLS

#endif /* ZVLIFECYCLE_H */
