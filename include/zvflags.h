/* Process-wide flags set from the command line and the environment before
 * start-up, read by the subsystems they steer.  Each is a plain int that
 * starts at 0; an option raises it, and some options count (-vv, -OO).
 * They are declared here and nowhere else. */
#ifndef ZVFLAGS_H
#define ZVFLAGS_H

#include "zvport.h"

ZV_BEGIN_DECLS

/* -d: the parser traces its work on standard error. */
ZvAPI_DATA(int) Zv_DebugFlag;
/* -v: verbose messages (import, shut-down, tab-size directives); -vv more. */
ZvAPI_DATA(int) Zv_VerboseFlag;
/* -i: behave interactively even when the input is not a terminal. */
ZvAPI_DATA(int) Zv_InteractiveFlag;
/* -O (1): assert statements are dropped; -OO (2): docstrings too. */
ZvAPI_DATA(int) Zv_OptimizeFlag;
/* -S: do not import `site` at start-up. */
ZvAPI_DATA(int) Zv_NoSiteFlag;
/* Not set by any option: kept for embedders and extensions that read it
 * (the standard exceptions are always classes). */
ZvAPI_DATA(int) Zv_UseClassExceptionsFlag;
/* Not set by any option: an embedding program that runs only frozen
 * modules sets it. */
ZvAPI_DATA(int) Zv_FrozenFlag;
/* -t (1) warns about inconsistent tabs and spaces, -tt (2) makes it an error. */
ZvAPI_DATA(int) Zv_TabcheckFlag;
/* -U: string literals are unicode. */
ZvAPI_DATA(int) Zv_UnicodeFlag;
/* -E: the ZUVO* environment variables are ignored. */
ZvAPI_DATA(int) Zv_IgnoreEnvironmentFlag;
/* -Q: classic division; 0 old, 1 warn about int and long, 2 warn about
 * floats too. */
ZvAPI_DATA(int) Zv_DivisionWarningFlag;
/* -Qnew: true division is the default in every module. */
ZvAPI_DATA(int) _Zv_QnewFlag;

ZV_END_DECLS

#endif /* ZVFLAGS_H */
