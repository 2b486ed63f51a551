/* The `int` type: one immutable signed 32-bit value.
 *
 * Values -5..99 are shared objects created on first use.  This first
 * version carries creation, conversion, comparison, hashing and repr; the
 * arithmetic with its promotion to long and the private free list join it. */
#include "zuvo.h"

extern "C" {

#define NSMALLNEGINTS 5
#define NSMALLPOSINTS 100
static ZvIntObject *small_ints[NSMALLNEGINTS + NSMALLPOSINTS];

ZvObject *ZvInt_FromLong(int32_t ival)
{
    bool small = ival >= -NSMALLNEGINTS && ival < NSMALLPOSINTS;
    if (small && small_ints[ival + NSMALLNEGINTS] != nullptr) {
        ZvIntObject *v = small_ints[ival + NSMALLNEGINTS];
        Zv_INCREF(v);
        return (ZvObject *)v;
    }
    auto *v = (ZvIntObject *)ZvObject_Malloc(sizeof(ZvIntObject));
    if (v == nullptr) return ZvErr_NoMemory();
    ZvObject_Init((ZvObject *)v, &ZvInt_Type);
    v->ob_ival = ival;
    if (small) {
        Zv_INCREF(v);
        small_ints[ival + NSMALLNEGINTS] = v;
    }
    return (ZvObject *)v;
}

int32_t ZvInt_AsLong(ZvObject *op)
{
    if (op != nullptr && ZvInt_Check(op)) return ZvInt_AS_LONG(op);
    if (op == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "an integer is required");
        return -1;
    }
    ZvErr_SetString(ZvExc_TypeError, "an integer is required");
    return -1;
}

int32_t ZvInt_GetMax(void) { return ZvInt_MAX; }

static void int_dealloc(ZvObject *v)
{
    if (ZvInt_CheckExact(v))
        ZvObject_Free(v);
    else
        Zv_TYPE(v)->tp_free(v);
}

static ZvObject *int_repr(ZvObject *v) { return ZvString_FromFormat("%d", ZvInt_AS_LONG(v)); }

static int int_compare(ZvObject *v, ZvObject *w)
{
    int32_t i = ZvInt_AS_LONG(v), j = ZvInt_AS_LONG(w);
    return (i < j) ? -1 : (i > j) ? 1 : 0;
}

static Zv_hash_t int_hash(ZvObject *v)
{
    Zv_hash_t x = ZvInt_AS_LONG(v);
    return x == -1 ? -2 : x;
}

static int int_nonzero(ZvObject *v) { return ZvInt_AS_LONG(v) != 0; }

static ZvNumberMethods int_as_number = {.nb_nonzero = int_nonzero};

ZvTypeObject ZvInt_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "int", sizeof(ZvIntObject), 0,
    int_dealloc,     /* tp_dealloc */
    nullptr,         /* tp_print */
    nullptr,         /* tp_getattr */
    nullptr,         /* tp_setattr */
    int_compare,     /* tp_compare */
    int_repr,        /* tp_repr */
    &int_as_number,  /* tp_as_number */
    nullptr,         /* tp_as_sequence */
    nullptr,         /* tp_as_mapping */
    int_hash,        /* tp_hash */
    nullptr,         /* tp_call */
    int_repr,        /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE,
    "int(x[, base]) -> integer",
};

void ZvInt_Fini(void)
{
    for (ZvIntObject *&v : small_ints) {
        if (v != nullptr) ZvObject_Free(v);
        v = nullptr;
    }
}

} // extern "C"
