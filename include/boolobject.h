/* `bool`: the two static integers True and False. */
#ifndef ZVBOOLOBJECT_H
#define ZVBOOLOBJECT_H

#include "intobject.h"

ZV_BEGIN_DECLS

ZvAPI_DATA(ZvTypeObject) ZvBool_Type;
#define ZvBool_Check(op) (Zv_TYPE(op) == &ZvBool_Type)

ZvAPI_DATA(ZvIntObject) _Zv_ZeroStruct;
ZvAPI_DATA(ZvIntObject) _Zv_TrueStruct;
#define Zv_False ((ZvObject *)&_Zv_ZeroStruct)
#define Zv_True ((ZvObject *)&_Zv_TrueStruct)
#define Zv_RETURN_TRUE return Zv_INCREF(Zv_True), Zv_True
#define Zv_RETURN_FALSE return Zv_INCREF(Zv_False), Zv_False

ZvAPI_FUNC(ZvObject *) ZvBool_FromLong(int32_t);

ZV_END_DECLS

#endif /* ZVBOOLOBJECT_H */
