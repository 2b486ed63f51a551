/* Polling for keyboard interrupts from native code. */
#ifndef ZVINTRCHECK_H
#define ZVINTRCHECK_H

#include "zvport.h"

ZV_BEGIN_DECLS

/* In the main thread: 1 (and the record cleared) when SIGINT arrived since
 * the last call, else 0. */
ZvAPI_FUNC(int) ZvOS_InterruptOccurred(void);
/* Start-up and shut-down of interrupt handling: the SIGINT handler that
 * raises KeyboardInterrupt, and the signal module. */
ZvAPI_FUNC(void) ZvOS_InitInterrupts(void);
ZvAPI_FUNC(void) ZvOS_FiniInterrupts(void);

ZV_END_DECLS

#endif /* ZVINTRCHECK_H */
