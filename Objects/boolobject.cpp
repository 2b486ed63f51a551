/* `bool`: the two static integers True and False.
 *
 * _Zv_TrueStruct and _Zv_ZeroStruct are the only instances; they are int
 * records of type bool, never freed.  Every operation except repr, print
 * and the three bitwise operators is inherited from int, so True + True is
 * the int 2.  The reprs are interned strings cached on first use. */
#include "zuvo.h"

extern "C" {

static ZvObject *true_str = nullptr;
static ZvObject *false_str = nullptr;

static ZvObject *bool_repr(ZvObject *self)
{
    bool t = ZvInt_AS_LONG(self) != 0;
    ZvObject *&cache = t ? true_str : false_str;
    if (cache == nullptr && (cache = ZvString_InternFromString(t ? "True" : "False")) == nullptr)
        return nullptr;
    Zv_INCREF(cache);
    return cache;
}

static int bool_print(ZvObject *self, FILE *fp, int)
{
    fputs(ZvInt_AS_LONG(self) ? "True" : "False", fp);
    return 0;
}

ZvObject *ZvBool_FromLong(int32_t ok)
{
    ZvObject *result = ok ? Zv_True : Zv_False;
    Zv_INCREF(result);
    return result;
}

static ZvObject *bool_new(ZvTypeObject *, ZvObject *args, ZvObject *kwds)
{
    static const char *kwlist[] = {"x", nullptr};
    ZvObject *x = Zv_False;
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|O:bool", (char **)kwlist, &x)) return nullptr;
    int ok = ZvObject_IsTrue(x);
    if (ok < 0) return nullptr;
    return ZvBool_FromLong(ok);
}

/* Two exact bools give a bool; anything else falls back to int's slot. */
static ZvObject *bool_and(ZvObject *a, ZvObject *b)
{
    if (!ZvBool_Check(a) || !ZvBool_Check(b)) return ZvInt_Type.tp_as_number->nb_and(a, b);
    return ZvBool_FromLong(ZvInt_AS_LONG(a) & ZvInt_AS_LONG(b));
}

static ZvObject *bool_or(ZvObject *a, ZvObject *b)
{
    if (!ZvBool_Check(a) || !ZvBool_Check(b)) return ZvInt_Type.tp_as_number->nb_or(a, b);
    return ZvBool_FromLong(ZvInt_AS_LONG(a) | ZvInt_AS_LONG(b));
}

static ZvObject *bool_xor(ZvObject *a, ZvObject *b)
{
    if (!ZvBool_Check(a) || !ZvBool_Check(b)) return ZvInt_Type.tp_as_number->nb_xor(a, b);
    return ZvBool_FromLong(ZvInt_AS_LONG(a) ^ ZvInt_AS_LONG(b));
}

/* Only the bitwise slots; readying copies int's table for the rest. */
static ZvNumberMethods bool_as_number = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, /* add .. power */
    nullptr, nullptr, nullptr, nullptr, nullptr,                   /* neg .. invert */
    nullptr, nullptr,                                              /* shifts */
    bool_and,                                                      /* nb_and */
    bool_xor,                                                      /* nb_xor */
    bool_or,                                                       /* nb_or */
};

static const char bool_doc[] =
    "bool(x) -> bool\n"
    "\n"
    "Returns True when the argument x is true, False otherwise.\n"
    "The builtins True and False are the only two instances of the class bool.\n"
    "The class bool is a subclass of the class int, and cannot be subclassed.";

ZvTypeObject ZvBool_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "bool",              /* tp_name */
    sizeof(ZvIntObject), /* tp_basicsize */
    0,                   /* tp_itemsize */
    nullptr,             /* tp_dealloc: inherited; the two instances never die */
    bool_print,          /* tp_print */
    nullptr,             /* tp_getattr */
    nullptr,             /* tp_setattr */
    nullptr,             /* tp_compare */
    bool_repr,           /* tp_repr */
    &bool_as_number,     /* tp_as_number */
    nullptr,             /* tp_as_sequence */
    nullptr,             /* tp_as_mapping */
    nullptr,             /* tp_hash */
    nullptr,             /* tp_call */
    bool_repr,           /* tp_str */
    nullptr,             /* tp_getattro */
    nullptr,             /* tp_setattro */
    nullptr,             /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES, /* tp_flags: not a base type */
    bool_doc,            /* tp_doc */
    nullptr,             /* tp_traverse */
    nullptr,             /* tp_clear */
    nullptr,             /* tp_richcompare */
    0,                   /* tp_weaklistoffset */
    nullptr,             /* tp_iter */
    nullptr,             /* tp_iternext */
    nullptr,             /* tp_methods */
    nullptr,             /* tp_members */
    nullptr,             /* tp_getset */
    &ZvInt_Type,         /* tp_base */
    nullptr,             /* tp_dict */
    nullptr,             /* tp_descr_get */
    nullptr,             /* tp_descr_set */
    0,                   /* tp_dictoffset */
    nullptr,             /* tp_init */
    nullptr,             /* tp_alloc */
    bool_new,            /* tp_new */
};

ZvIntObject _Zv_ZeroStruct = {1, &ZvBool_Type, 0};
ZvIntObject _Zv_TrueStruct = {1, &ZvBool_Type, 1};

} // extern "C"
