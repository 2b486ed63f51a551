/* `xrange`, `enumerate` and `reversed`. */
#ifndef ZVRANGEOBJECT_H
#define ZVRANGEOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

ZvAPI_DATA(ZvTypeObject) ZvRange_Type;
ZvAPI_DATA(ZvTypeObject) ZvEnum_Type;
ZvAPI_DATA(ZvTypeObject) ZvReversed_Type;

#define ZvRange_Check(op) (Zv_TYPE(op) == &ZvRange_Type)

ZvAPI_FUNC(ZvObject *) ZvRange_New(int32_t start, int32_t len, int32_t step, int reps);

ZV_END_DECLS

#endif /* ZVRANGEOBJECT_H */
