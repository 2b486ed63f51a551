/* Slice objects and the Ellipsis singleton. */
#ifndef ZVSLICEOBJECT_H
#define ZVSLICEOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

ZvAPI_DATA(ZvObject) _Zv_EllipsisObject;
#define Zv_Ellipsis (&_Zv_EllipsisObject)

typedef struct {
    ZvObject_HEAD
    ZvObject *start, *stop, *step; /* None when omitted */
} ZvSliceObject;

ZvAPI_DATA(ZvTypeObject) ZvSlice_Type;
ZvAPI_DATA(ZvTypeObject) ZvEllipsis_Type;

#define ZvSlice_Check(op) (Zv_TYPE(op) == &ZvSlice_Type)

ZvAPI_FUNC(ZvObject *) ZvSlice_New(ZvObject *start, ZvObject *stop, ZvObject *step);
/* Frees the slice kept for reuse (shut-down). */
ZvAPI_FUNC(void) ZvSlice_Fini(void);
ZvAPI_FUNC(int) ZvSlice_GetIndices(ZvSliceObject *r, int length, int *start, int *stop,
                                   int *step);
ZvAPI_FUNC(int) ZvSlice_GetIndicesEx(ZvSliceObject *r, int length, int *start, int *stop,
                                     int *step, int *slicelength);

ZV_END_DECLS

#endif /* ZVSLICEOBJECT_H */
