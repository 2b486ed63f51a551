/* The `zuvo` command: its whole behaviour is Zv_Main, which a launcher
 * program's main calls and whose result it returns. */
#ifndef ZVMAIN_H
#define ZVMAIN_H

#include "zvport.h"

ZV_BEGIN_DECLS

/* Scans the options, starts the interpreter, runs a command string, a
 * library module, a script or standard input (and the interactive loop
 * after it under -i), shuts down and returns the exit status: 0, 1 after
 * an uncaught exception or for a directory given as the script, 2 for
 * usage errors and scripts or modules that cannot be opened or found.
 * SystemExit ends the process from inside with its own status. */
ZvAPI_FUNC(int) Zv_Main(int argc, char **argv);
/* The argc/argv Zv_Main was given, before any scanning. */
ZvAPI_FUNC(void) Zv_GetArgcArgv(int *argc, char ***argv);

/* The option scanner: one option character per call, -1 at the first
 * operand, at "-" or after "--", '?' for an unknown option or a missing
 * argument (reported on stderr while _ZvOS_opterr is set).  An option
 * followed by ':' in optstring takes the rest of its group or the next
 * element as _ZvOS_optarg.  Set _ZvOS_optind back to 1 to scan anew. */
ZvAPI_FUNC(int) _ZvOS_GetOpt(int argc, char **argv, const char *optstring);
ZvAPI_DATA(int) _ZvOS_optind;
ZvAPI_DATA(int) _ZvOS_opterr;
ZvAPI_DATA(char *) _ZvOS_optarg;

ZV_END_DECLS

#endif /* ZVMAIN_H */
