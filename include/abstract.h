/* The abstract object protocols: number, sequence, mapping, iteration, call
 * and buffer operations on objects of any type.  They dispatch through the
 * type slots, decide which operand is tried first and when coercion
 * happens, and produce the standard error messages. */
#ifndef ZVABSTRACT_H
#define ZVABSTRACT_H

#include "object.h"

ZV_BEGIN_DECLS

/* Calls. */
ZvAPI_FUNC(ZvObject *) ZvObject_Call(ZvObject *callable, ZvObject *args, ZvObject *kw);
ZvAPI_FUNC(ZvObject *) ZvObject_CallObject(ZvObject *callable, ZvObject *args);
ZvAPI_FUNC(ZvObject *) ZvObject_CallFunction(ZvObject *callable, const char *format, ...);
ZvAPI_FUNC(ZvObject *) ZvObject_CallMethod(ZvObject *o, const char *name, const char *format,
                                           ...);
ZvAPI_FUNC(ZvObject *) ZvObject_CallFunctionObjArgs(ZvObject *callable, ...);
ZvAPI_FUNC(ZvObject *) ZvObject_CallMethodObjArgs(ZvObject *o, ZvObject *name, ...);

/* Generic. */
ZvAPI_FUNC(ZvObject *) ZvObject_Type(ZvObject *o);
ZvAPI_FUNC(int) ZvObject_Size(ZvObject *o);
ZvAPI_FUNC(int) ZvObject_Length(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvObject_GetItem(ZvObject *o, ZvObject *key);
ZvAPI_FUNC(int) ZvObject_SetItem(ZvObject *o, ZvObject *key, ZvObject *v);
ZvAPI_FUNC(int) ZvObject_DelItem(ZvObject *o, ZvObject *key);
ZvAPI_FUNC(int) ZvObject_DelItemString(ZvObject *o, const char *key);
ZvAPI_FUNC(int) ZvObject_Cmp(ZvObject *o1, ZvObject *o2, int *result);
ZvAPI_FUNC(ZvObject *) ZvObject_GetIter(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvIter_Next(ZvObject *it);
ZvAPI_FUNC(int) ZvObject_IsInstance(ZvObject *inst, ZvObject *cls);
ZvAPI_FUNC(int) ZvObject_IsSubclass(ZvObject *derived, ZvObject *cls);

#define ZvIter_Check(obj)                                                     \
    (ZvType_HasFeature(Zv_TYPE(obj), Zv_TPFLAGS_HAVE_ITER) &&                 \
     Zv_TYPE(obj)->tp_iternext != NULL)

/* Buffers. */
ZvAPI_FUNC(int) ZvObject_CheckReadBuffer(ZvObject *o);
ZvAPI_FUNC(int) ZvObject_AsCharBuffer(ZvObject *o, const char **buffer, int *len);
ZvAPI_FUNC(int) ZvObject_AsReadBuffer(ZvObject *o, const void **buffer, int *len);
ZvAPI_FUNC(int) ZvObject_AsWriteBuffer(ZvObject *o, void **buffer, int *len);

/* Numbers. */
ZvAPI_FUNC(int) ZvNumber_Check(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Add(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Subtract(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Multiply(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Divide(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_FloorDivide(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_TrueDivide(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Remainder(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Divmod(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Power(ZvObject *o1, ZvObject *o2, ZvObject *o3);
ZvAPI_FUNC(ZvObject *) ZvNumber_Negative(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Positive(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Absolute(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Invert(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Lshift(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Rshift(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_And(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Xor(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Or(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_Int(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Long(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_Float(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceAdd(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceSubtract(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceMultiply(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceDivide(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceFloorDivide(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceTrueDivide(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceRemainder(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlacePower(ZvObject *o1, ZvObject *o2, ZvObject *o3);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceLshift(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceRshift(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceAnd(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceXor(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvNumber_InPlaceOr(ZvObject *o1, ZvObject *o2);

/* Sequences. */
ZvAPI_FUNC(int) ZvSequence_Check(ZvObject *o);
ZvAPI_FUNC(int) ZvSequence_Size(ZvObject *o);
ZvAPI_FUNC(int) ZvSequence_Length(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvSequence_Concat(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvSequence_Repeat(ZvObject *o, int count);
ZvAPI_FUNC(ZvObject *) ZvSequence_InPlaceConcat(ZvObject *o1, ZvObject *o2);
ZvAPI_FUNC(ZvObject *) ZvSequence_InPlaceRepeat(ZvObject *o, int count);
ZvAPI_FUNC(ZvObject *) ZvSequence_GetItem(ZvObject *o, int i);
ZvAPI_FUNC(int) ZvSequence_SetItem(ZvObject *o, int i, ZvObject *v);
ZvAPI_FUNC(int) ZvSequence_DelItem(ZvObject *o, int i);
ZvAPI_FUNC(ZvObject *) ZvSequence_GetSlice(ZvObject *o, int i1, int i2);
ZvAPI_FUNC(int) ZvSequence_SetSlice(ZvObject *o, int i1, int i2, ZvObject *v);
ZvAPI_FUNC(int) ZvSequence_DelSlice(ZvObject *o, int i1, int i2);
ZvAPI_FUNC(ZvObject *) ZvSequence_Tuple(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvSequence_List(ZvObject *o);
ZvAPI_FUNC(ZvObject *) ZvSequence_Fast(ZvObject *o, const char *message);
ZvAPI_FUNC(int) ZvSequence_Count(ZvObject *o, ZvObject *value);
ZvAPI_FUNC(int) ZvSequence_Contains(ZvObject *seq, ZvObject *ob);
ZvAPI_FUNC(int) ZvSequence_In(ZvObject *seq, ZvObject *ob);
ZvAPI_FUNC(int) ZvSequence_Index(ZvObject *o, ZvObject *value);

#define ZvSequence_Fast_GET_SIZE(o)                                           \
    (ZvList_Check(o) ? ZvList_GET_SIZE(o) : ZvTuple_GET_SIZE(o))
#define ZvSequence_Fast_GET_ITEM(o, i)                                        \
    (ZvList_Check(o) ? ZvList_GET_ITEM(o, i) : ZvTuple_GET_ITEM(o, i))
#define ZvSequence_ITEM(o, i) (Zv_TYPE(o)->tp_as_sequence->sq_item(o, i))

/* Search modes of _ZvSequence_IterSearch. */
#define ZV_ITERSEARCH_COUNT 1
#define ZV_ITERSEARCH_INDEX 2
#define ZV_ITERSEARCH_CONTAINS 3
ZvAPI_FUNC(int) _ZvSequence_IterSearch(ZvObject *seq, ZvObject *obj, int operation);

/* Mappings. */
ZvAPI_FUNC(int) ZvMapping_Check(ZvObject *o);
ZvAPI_FUNC(int) ZvMapping_Size(ZvObject *o);
ZvAPI_FUNC(int) ZvMapping_Length(ZvObject *o);
ZvAPI_FUNC(int) ZvMapping_HasKeyString(ZvObject *o, const char *key);
ZvAPI_FUNC(int) ZvMapping_HasKey(ZvObject *o, ZvObject *key);
ZvAPI_FUNC(ZvObject *) ZvMapping_GetItemString(ZvObject *o, const char *key);
ZvAPI_FUNC(int) ZvMapping_SetItemString(ZvObject *o, const char *key, ZvObject *value);
#define ZvMapping_DelItemString(o, k) ZvObject_DelItemString((o), (k))
#define ZvMapping_DelItem(o, k) ZvObject_DelItem((o), (k))
#define ZvMapping_Keys(o) ZvObject_CallMethod(o, "keys", NULL)
#define ZvMapping_Values(o) ZvObject_CallMethod(o, "values", NULL)
#define ZvMapping_Items(o) ZvObject_CallMethod(o, "items", NULL)

ZV_END_DECLS

#endif /* ZVABSTRACT_H */
