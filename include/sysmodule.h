/* The sys module: where the running interpreter keeps the objects it
 * consults at run time, read and written by native code by name. */
#ifndef ZVSYSMODULE_H
#define ZVSYSMODULE_H

#include "object.h"

ZV_BEGIN_DECLS

/* Borrowed, or NULL (never an error) when sys or the name is missing. */
ZvAPI_FUNC(ZvObject *) ZvSys_GetObject(const char *name);
/* Stores v, or deletes the name when v is NULL (absent is not an error). */
ZvAPI_FUNC(int) ZvSys_SetObject(const char *name, ZvObject *v);

/* Creates the sys module and stores its dictionary as interp->sysdict. */
ZvAPI_FUNC(ZvObject *) _ZvSys_Init(void);

/* sys.path from a ':'-separated list (an empty part gives ""). */
ZvAPI_FUNC(void) ZvSys_SetPath(const char *path);
/* sys.argv from the program's arguments, and the script's directory (the
 * empty string for -c and standard input) put first on sys.path. */
ZvAPI_FUNC(void) ZvSys_SetArgv(int argc, char **argv);
/* The -W options, kept before start-up and given as sys.warnoptions. */
ZvAPI_FUNC(void) ZvSys_ResetWarnOptions(void);
ZvAPI_FUNC(void) ZvSys_AddWarnOption(const char *option);

ZV_END_DECLS

#endif /* ZVSYSMODULE_H */
