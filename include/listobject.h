/* The mutable sequence `list`: a separately allocated, over-allocated
 * array of item pointers. */
#ifndef ZVLISTOBJECT_H
#define ZVLISTOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_VAR_HEAD
    ZvObject **ob_item;
    int32_t allocated; /* slots in ob_item; -1 while a sort runs */
} ZvListObject;

ZvAPI_DATA(ZvTypeObject) ZvList_Type;
ZvAPI_DATA(ZvTypeObject) ZvListIter_Type;    /* "listiterator" */
ZvAPI_DATA(ZvTypeObject) ZvListRevIter_Type; /* "listreverseiterator" */

#define ZvList_Check(op) ZvObject_TypeCheck(op, &ZvList_Type)
#define ZvList_CheckExact(op) (Zv_TYPE(op) == &ZvList_Type)
#define ZvList_GET_ITEM(op, i) (((ZvListObject *)(op))->ob_item[i])
#define ZvList_SET_ITEM(op, i, v) (((ZvListObject *)(op))->ob_item[i] = (v))
#define ZvList_GET_SIZE(op) Zv_SIZE(op)

ZvAPI_FUNC(ZvObject *) ZvList_New(int size);
ZvAPI_FUNC(int) ZvList_Size(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvList_GetItem(ZvObject *, int);
ZvAPI_FUNC(int) ZvList_SetItem(ZvObject *, int, ZvObject *);
ZvAPI_FUNC(int) ZvList_Insert(ZvObject *, int, ZvObject *);
ZvAPI_FUNC(int) ZvList_Append(ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvList_GetSlice(ZvObject *, int, int);
ZvAPI_FUNC(int) ZvList_SetSlice(ZvObject *, int, int, ZvObject *);
ZvAPI_FUNC(int) ZvList_Sort(ZvObject *);
ZvAPI_FUNC(int) ZvList_Reverse(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvList_AsTuple(ZvObject *);
ZvAPI_FUNC(ZvObject *) _ZvList_Extend(ZvListObject *, ZvObject *);
ZvAPI_FUNC(void) ZvList_Fini(void);

ZV_END_DECLS

#endif /* ZVLISTOBJECT_H */
