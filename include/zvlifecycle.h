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

ZV_END_DECLS

#endif /* ZVLIFECYCLE_H */
