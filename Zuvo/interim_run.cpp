/* Interim: weak stand-ins for the start-up and shut-down of interrupt
 * handling, which the signal module brings, so that start-up calls them
 * in their place now.  The real definitions override these at link time;
 * this file goes once they are in. */
#include "zuvo.h"
#include "intrcheck.h"

extern "C" {

__attribute__((weak)) void ZvOS_InitInterrupts(void) {}

__attribute__((weak)) void ZvOS_FiniInterrupts(void) {}

} // extern "C"
