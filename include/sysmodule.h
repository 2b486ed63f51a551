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

ZV_END_DECLS

#endif /* ZVSYSMODULE_H */
