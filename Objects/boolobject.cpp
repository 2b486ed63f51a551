/* `bool`: the two static integers True and False. */
#include "zuvo.h"

extern "C" {

static ZvObject *bool_repr(ZvObject *self)
{
    return ZvString_FromString(ZvInt_AS_LONG(self) ? "True" : "False");
}

ZvObject *ZvBool_FromLong(int32_t ok)
{
    ZvObject *result = ok ? Zv_True : Zv_False;
    Zv_INCREF(result);
    return result;
}

ZvTypeObject ZvBool_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "bool", sizeof(ZvIntObject), 0,
    nullptr,   /* tp_dealloc: the two instances are static */
    nullptr,   /* tp_print */
    nullptr,   /* tp_getattr */
    nullptr,   /* tp_setattr */
    nullptr,   /* tp_compare */
    bool_repr, /* tp_repr */
    nullptr, nullptr, nullptr,
    nullptr,   /* tp_hash */
    nullptr,   /* tp_call */
    bool_repr, /* tp_str */
    nullptr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES,
    "bool(x) -> bool",
    nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr, nullptr, nullptr,
    &ZvInt_Type, /* tp_base */
};

ZvIntObject _Zv_ZeroStruct = {1, &ZvBool_Type, 0};
ZvIntObject _Zv_TrueStruct = {1, &ZvBool_Type, 1};

} // extern "C"
