/* Entry points of the evaluation loop used by native code. */
#ifndef ZVCEVAL_H
#define ZVCEVAL_H

#include "object.h"

ZV_BEGIN_DECLS

/* Calls `callable` with `args` (a tuple, or NULL for none) and `kwargs`
 * (a dict or NULL). */
ZvAPI_FUNC(ZvObject *) ZvEval_CallObjectWithKeywords(ZvObject *callable, ZvObject *args,
                                                     ZvObject *kwargs);
#define ZvEval_CallObject(func, arg) ZvEval_CallObjectWithKeywords(func, arg, (ZvObject *)NULL)

/* Converts a slice bound: NULL leaves *pi unchanged, an int gives its value,
 * a long is clipped to the int range, anything else is a TypeError.
 * Returns 1 on success, 0 with an error set. */
ZvAPI_FUNC(int) _ZvEval_SliceIndex(ZvObject *, int *);

ZV_END_DECLS

#endif /* ZVCEVAL_H */
