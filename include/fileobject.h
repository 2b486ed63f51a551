/* File objects and the generic writing functions that the print
 * statement, tracebacks and error reports use.  The writing functions
 * accept any object with a `write` method, so programs can redirect
 * sys.stdout to their own objects. */
#ifndef ZVFILEOBJECT_H
#define ZVFILEOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

/* Flag of ZvFile_WriteObject: the str form instead of the repr form. */
#ifndef Zv_PRINT_RAW
#define Zv_PRINT_RAW 1
#endif

/* Writes str(v) (flags & Zv_PRINT_RAW) or repr(v) to f.  0 or -1. */
ZvAPI_FUNC(int) ZvFile_WriteObject(ZvObject *v, ZvObject *f, int flags);
/* Writes s to f; -1 at once when an error is already pending. */
ZvAPI_FUNC(int) ZvFile_WriteString(const char *s, ZvObject *f);
/* Swaps the soft-space flag of f (its `softspace` attribute for objects
 * other than files); returns the old flag.  Never raises. */
ZvAPI_FUNC(int) ZvFile_SoftSpace(ZvObject *f, int newflag);

ZV_END_DECLS

#endif /* ZVFILEOBJECT_H */
