/* The sys module: where the running interpreter keeps the objects it
 * consults at run time (standard streams, module table, search path,
 * hooks, limits), read and written by native code by name. */
#ifndef ZVSYSMODULE_H
#define ZVSYSMODULE_H

#include <stdio.h>

#include "object.h"

ZV_BEGIN_DECLS

/* Borrowed, or NULL (never an error) when sys or the name is missing. */
ZvAPI_FUNC(ZvObject *) ZvSys_GetObject(const char *name);
/* Stores v, or deletes the name when v is NULL (absent is not an error). */
ZvAPI_FUNC(int) ZvSys_SetObject(const char *name, ZvObject *v);
/* The stream of sys.<name> when it is an open file object, else def. */
ZvAPI_FUNC(FILE *) ZvSys_GetFile(const char *name, FILE *def);

/* sys.path = the ':'-separated parts of path (an empty part is the
 * current directory, ""); failure is fatal. */
ZvAPI_FUNC(void) ZvSys_SetPath(const char *path);
/* sys.argv = argv[0 .. argc-1] (a list of one "" when argc <= 0), and the
 * directory of the script argv[0] (links followed) is put in front of
 * sys.path; failure is fatal. */
ZvAPI_FUNC(void) ZvSys_SetArgv(int argc, char **argv);

/* The -W options, kept before start-up and shown as sys.warnoptions. */
ZvAPI_FUNC(void) ZvSys_ResetWarnOptions(void);
ZvAPI_FUNC(void) ZvSys_AddWarnOption(const char *option);

/* printf-style messages to sys.stdout / sys.stderr (at most 1000
 * characters, then "... truncated"), falling back to the process's own
 * streams.  They never raise, and a pending exception survives them. */
ZvAPI_FUNC(void) ZvSys_WriteStdout(const char *format, ...)
    __attribute__((format(printf, 1, 2)));
ZvAPI_FUNC(void) ZvSys_WriteStderr(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

/* The encoding of file names handed to the system ("utf-8"), or NULL. */
ZvAPI_DATA(const char *) Zv_FileSystemDefaultEncoding;

/* Creates the sys module and stores its dictionary as interp->sysdict.
 * Borrowed reference (sys.modules holds it), or NULL. */
ZvAPI_FUNC(ZvObject *) _ZvSys_Init(void);

ZV_END_DECLS

#endif /* ZVSYSMODULE_H */
