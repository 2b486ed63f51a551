/* Process-wide flags set from the command line and the environment before
 * start-up, read by the subsystems they steer. */
#ifndef ZVFLAGS_H
#define ZVFLAGS_H

#include "zvport.h"

ZV_BEGIN_DECLS

/* -d: the parser traces its work on standard error. */
ZvAPI_DATA(int) Zv_DebugFlag;
/* -v: verbose messages (import, shut-down, tab-size directives). */
ZvAPI_DATA(int) Zv_VerboseFlag;
/* -t (1) warns about inconsistent tabs and spaces, -tt (2) makes it an error. */
ZvAPI_DATA(int) Zv_TabcheckFlag;
/* -O: optimize (assert statements are dropped). */
ZvAPI_DATA(int) Zv_OptimizeFlag;

ZV_END_DECLS

#endif /* ZVFLAGS_H */
