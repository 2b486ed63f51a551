/* Special-method slots: the bridge between special methods named in a
 * class (__add__, __getitem__, __init__ ...) and the native type slots.
 *
 * One table, `slotdefs`, drives both directions.  (a) Readying a type
 * stores, for every filled slot with a wrapper, a wrapper descriptor under
 * the special name, so int.__add__ exists and is inherited by lookup.  (b)
 * For a class, every slot group (the entries sharing one slot) is
 * recomputed from what the MRO holds for its names: a wrapper of the same
 * kind inherited unchanged keeps the native function (the "specific"
 * candidate); anything written in the language installs the generic slot
 * function below, which looks the method up on the type and calls it.
 *
 * Invariants: the table is sorted by slot offset before first use (stable,
 * so entries of one offset keep their order) and its names are interned,
 * so names are compared by identity.  Slot functions look methods up on
 * the type, never the instance dictionary, and hold a reference to what
 * they call, so a method that deletes itself from its class while running
 * cannot pull the function out from under the call. */
#include "typeobject_internal.h"
#include "abstract.h"

#include <string.h>

#include <algorithm>

#include "zvref.h"

using zv::Ref;

/* Everything exported here is declared with C linkage in a header; the
 * file itself is C++ so that the slot families can be templates. */

/* --- special-method lookup and calls -------------------------------------- */

static ZvObject *intern_cached(const char *name, ZvObject **cache)
{
    if (*cache == nullptr) *cache = ZvString_InternFromString(name);
    return *cache;
}

ZvObject *_ZvType_LookupSpecial(ZvObject *self, const char *name, ZvObject **cache)
{
    ZvObject *key = intern_cached(name, cache);
    if (key == nullptr) return nullptr;
    /* The lookup and the binding can run code that assigns self's
     * __class__ or deletes the method: both are held. */
    Ref type = Ref::borrow((ZvObject *)Zv_TYPE(self));
    Ref res(_ZvType_LookupRef((ZvTypeObject *)type.get(), key));
    if (!res) return nullptr;
    descrgetfunc f = Zv_TYPE(res.get())->tp_descr_get;
    if (f == nullptr) return res.release();
    return f(res.get(), self, type.get());
}

#define lookup_maybe _ZvType_LookupSpecial

/* As lookup_maybe, but a missing method is AttributeError with its name. */
static ZvObject *lookup_method(ZvObject *self, const char *name, ZvObject **cache)
{
    ZvObject *res = lookup_maybe(self, name, cache);
    if (res == nullptr && !ZvErr_Occurred()) ZvErr_SetObject(ZvExc_AttributeError, *cache);
    return res;
}

template <typename... A> static ZvObject *call_with(ZvObject *func, A... args)
{
    ZvObject *t = sizeof...(A) == 0 ? ZvTuple_New(0) : ZvTuple_Pack((int)sizeof...(A), args...);
    if (t == nullptr) return nullptr;
    ZvObject *res = ZvObject_Call(func, t, nullptr);
    Zv_DECREF(t);
    return res;
}

/* self.name(args...): a missing method is AttributeError. */
template <typename... A>
static ZvObject *call_method(ZvObject *self, const char *name, ZvObject **cache, A... args)
{
    Ref func(lookup_method(self, name, cache));
    if (!func) return nullptr;
    return call_with(func.get(), args...);
}

/* self.name(args...): a missing method gives NotImplemented. */
template <typename... A>
static ZvObject *call_maybe(ZvObject *self, const char *name, ZvObject **cache, A... args)
{
    Ref func(lookup_maybe(self, name, cache));
    if (!func) {
        if (ZvErr_Occurred()) return nullptr;
        Zv_RETURN_NOTIMPLEMENTED;
    }
    return call_with(func.get(), args...);
}

/* A new int for an index argument, then self.name(index, rest...). */
template <typename... A>
static ZvObject *call_method_int(ZvObject *self, const char *name, ZvObject **cache, int i,
                                 A... rest)
{
    Ref ival(ZvInt_FromLong(i));
    if (!ival) return nullptr;
    return call_method(self, name, cache, ival.get(), rest...);
}

static int result_to_status(ZvObject *res)
{
    if (res == nullptr) return -1;
    Zv_DECREF(res);
    return 0;
}

/* --- slot positions -------------------------------------------------------- */

#define NB_OFFSET(SLOT) ((int)offsetof(ZvHeapTypeObject, as_number.SLOT))
#define SQ_OFFSET(SLOT) ((int)offsetof(ZvHeapTypeObject, as_sequence.SLOT))
#define MP_OFFSET(SLOT) ((int)offsetof(ZvHeapTypeObject, as_mapping.SLOT))
#define TP_OFFSET(SLOT) ((int)offsetof(ZvTypeObject, SLOT))

/* The address of the slot at `offset` in `type`, or NULL when the type
 * lacks the table holding it. */
static void **slotptr(ZvTypeObject *type, int offset)
{
    char *ptr;
    if (offset >= (int)offsetof(ZvHeapTypeObject, as_buffer)) return nullptr;
    if (offset >= (int)offsetof(ZvHeapTypeObject, as_sequence)) {
        ptr = (char *)type->tp_as_sequence;
        offset -= (int)offsetof(ZvHeapTypeObject, as_sequence);
    } else if (offset >= (int)offsetof(ZvHeapTypeObject, as_mapping)) {
        ptr = (char *)type->tp_as_mapping;
        offset -= (int)offsetof(ZvHeapTypeObject, as_mapping);
    } else if (offset >= (int)offsetof(ZvHeapTypeObject, as_number)) {
        ptr = (char *)type->tp_as_number;
        offset -= (int)offsetof(ZvHeapTypeObject, as_number);
    } else {
        ptr = (char *)type;
    }
    return ptr ? (void **)(ptr + offset) : nullptr;
}

static void *slot_of(ZvTypeObject *type, int offset)
{
    void **p = slotptr(type, offset);
    return p ? *p : nullptr;
}

/* --- binary, unary and in-place numeric slots ----------------------------- */

namespace {
struct BinaryName {
    const char *op, *rop;
    ZvObject *op_cache, *rop_cache;
};
enum {
    B_ADD, B_SUB, B_MUL, B_DIV, B_MOD, B_DIVMOD, B_LSHIFT, B_RSHIFT, B_AND, B_XOR, B_OR,
    B_FLOORDIV, B_TRUEDIV, B_POW, B_COUNT
};
} // namespace

static BinaryName binary_names[B_COUNT] = {
    {"__add__", "__radd__"}, {"__sub__", "__rsub__"}, {"__mul__", "__rmul__"},
    {"__div__", "__rdiv__"}, {"__mod__", "__rmod__"}, {"__divmod__", "__rdivmod__"},
    {"__lshift__", "__rlshift__"}, {"__rshift__", "__rrshift__"}, {"__and__", "__rand__"},
    {"__xor__", "__rxor__"}, {"__or__", "__ror__"}, {"__floordiv__", "__rfloordiv__"},
    {"__truediv__", "__rtruediv__"}, {"__pow__", "__rpow__"},
};

/* Whether right's class overrides the method `name` of left's class.  The
 * classes are held: fetching an attribute can run code that assigns
 * either operand's __class__. */
static bool method_is_overloaded(ZvObject *left, ZvObject *right, const char *name)
{
    Ref left_type = Ref::borrow((ZvObject *)Zv_TYPE(left));
    Ref right_type = Ref::borrow((ZvObject *)Zv_TYPE(right));
    Ref b(ZvObject_GetAttrString(right_type.get(), name));
    if (!b) {
        ZvErr_Clear();
        return false;
    }
    Ref a(ZvObject_GetAttrString(left_type.get(), name));
    if (!a) {
        ZvErr_Clear();
        return true;
    }
    int ok = ZvObject_RichCompareBool(a.get(), b.get(), Zv_NE);
    if (ok < 0) {
        ZvErr_Clear();
        return false;
    }
    return ok != 0;
}

/* The operator between self and other, for a slot filled with `me` in at
 * least one operand's type: a subclass on the right that overrides the
 * reflected method goes first. */
static ZvObject *binary_dispatch(ZvObject *self, ZvObject *other, int offset, void *me,
                                 BinaryName &n)
{
    bool do_other = Zv_TYPE(self) != Zv_TYPE(other) && slot_of(Zv_TYPE(other), offset) == me;
    if (slot_of(Zv_TYPE(self), offset) == me) {
        if (do_other && ZvType_IsSubtype(Zv_TYPE(other), Zv_TYPE(self)) &&
            method_is_overloaded(self, other, n.rop)) {
            ZvObject *r = call_maybe(other, n.rop, &n.rop_cache, self);
            if (r != Zv_NotImplemented) return r;
            Zv_DECREF(r);
            do_other = false;
        }
        ZvObject *r = call_maybe(self, n.op, &n.op_cache, other);
        if (r != Zv_NotImplemented || Zv_TYPE(other) == Zv_TYPE(self)) return r;
        Zv_DECREF(r);
    }
    if (do_other) return call_maybe(other, n.rop, &n.rop_cache, self);
    Zv_RETURN_NOTIMPLEMENTED;
}

static constexpr int binary_offsets[B_COUNT] = {
    NB_OFFSET(nb_add), NB_OFFSET(nb_subtract), NB_OFFSET(nb_multiply), NB_OFFSET(nb_divide),
    NB_OFFSET(nb_remainder), NB_OFFSET(nb_divmod), NB_OFFSET(nb_lshift), NB_OFFSET(nb_rshift),
    NB_OFFSET(nb_and), NB_OFFSET(nb_xor), NB_OFFSET(nb_or), NB_OFFSET(nb_floor_divide),
    NB_OFFSET(nb_true_divide), NB_OFFSET(nb_power),
};

template <int I> static ZvObject *slot_binary(ZvObject *self, ZvObject *other)
{
    return binary_dispatch(self, other, binary_offsets[I], (void *)&slot_binary<I>,
                           binary_names[I]);
}

static ZvObject *slot_nb_power(ZvObject *self, ZvObject *other, ZvObject *modulus)
{
    if (modulus == Zv_None)
        return binary_dispatch(self, other, NB_OFFSET(nb_power), (void *)&slot_nb_power,
                               binary_names[B_POW]);
    /* Three-argument power is never reflected. */
    ZvNumberMethods *nb = Zv_TYPE(self)->tp_as_number;
    if (nb != nullptr && nb->nb_power == slot_nb_power)
        return call_method(self, "__pow__", &binary_names[B_POW].op_cache, other, modulus);
    Zv_RETURN_NOTIMPLEMENTED;
}

namespace {
struct UnaryName {
    const char *name;
    ZvObject *cache;
};
enum { U_NEG, U_POS, U_ABS, U_INVERT, U_INT, U_LONG, U_FLOAT, U_OCT, U_HEX, U_COUNT };
enum {
    I_ADD, I_SUB, I_MUL, I_DIV, I_MOD, I_LSHIFT, I_RSHIFT, I_AND, I_XOR, I_OR, I_FLOORDIV,
    I_TRUEDIV, I_POW, I_COUNT
};
} // namespace

static UnaryName unary_names[U_COUNT] = {
    {"__neg__"}, {"__pos__"}, {"__abs__"}, {"__invert__"}, {"__int__"},
    {"__long__"}, {"__float__"}, {"__oct__"}, {"__hex__"},
};

static UnaryName inplace_names[I_COUNT] = {
    {"__iadd__"}, {"__isub__"}, {"__imul__"}, {"__idiv__"}, {"__imod__"},
    {"__ilshift__"}, {"__irshift__"}, {"__iand__"}, {"__ixor__"}, {"__ior__"},
    {"__ifloordiv__"}, {"__itruediv__"}, {"__ipow__"},
};

template <int I> static ZvObject *slot_unary(ZvObject *self)
{
    return call_method(self, unary_names[I].name, &unary_names[I].cache);
}

template <int I> static ZvObject *slot_inplace(ZvObject *self, ZvObject *other)
{
    return call_method(self, inplace_names[I].name, &inplace_names[I].cache, other);
}

/* __ipow__ takes only the exponent. */
static ZvObject *slot_nb_inplace_power(ZvObject *self, ZvObject *other, ZvObject *)
{
    return call_method(self, "__ipow__", &inplace_names[I_POW].cache, other);
}

static int slot_nb_nonzero(ZvObject *self)
{
    static ZvObject *nonzero_str, *len_str;
    Ref func(lookup_maybe(self, "__nonzero__", &nonzero_str));
    if (!func) {
        if (ZvErr_Occurred()) return -1;
        func.reset(lookup_maybe(self, "__len__", &len_str));
        if (!func) return ZvErr_Occurred() ? -1 : 1;
    }
    Ref res(call_with(func.get()));
    if (!res) return -1;
    if (!ZvInt_CheckExact(res.get()) && !ZvBool_Check(res.get())) {
        ZvErr_Format(ZvExc_TypeError, "__nonzero__ should return bool or int, returned %s",
                     Zv_TYPE(res.get())->tp_name);
        return -1;
    }
    return ZvObject_IsTrue(res.get());
}

/* Unpacks a __coerce__ result into the two operands (swapped for the
 * right operand's method): 0, 1 for NotImplemented, -1 on error. */
static int take_coerced(ZvObject *r, ZvObject **a, ZvObject **b, bool swapped)
{
    if (r == nullptr) return -1;
    if (r == Zv_NotImplemented) {
        Zv_DECREF(r);
        return 1;
    }
    if (!ZvTuple_Check(r) || ZvTuple_GET_SIZE(r) != 2) {
        ZvErr_SetString(ZvExc_TypeError, "__coerce__ didn't return a 2-tuple");
        Zv_DECREF(r);
        return -1;
    }
    *a = ZvTuple_GET_ITEM(r, swapped ? 1 : 0);
    Zv_INCREF(*a);
    *b = ZvTuple_GET_ITEM(r, swapped ? 0 : 1);
    Zv_INCREF(*b);
    Zv_DECREF(r);
    return 0;
}

static int slot_nb_coerce(ZvObject **a, ZvObject **b)
{
    static ZvObject *coerce_str;
    ZvObject *self = *a, *other = *b;
    ZvNumberMethods *nb = Zv_TYPE(self)->tp_as_number;
    if (nb != nullptr && nb->nb_coerce == slot_nb_coerce) {
        int r = take_coerced(call_maybe(self, "__coerce__", &coerce_str, other), a, b, false);
        if (r <= 0) return r;
    }
    nb = Zv_TYPE(other)->tp_as_number;
    if (nb != nullptr && nb->nb_coerce == slot_nb_coerce)
        return take_coerced(call_maybe(other, "__coerce__", &coerce_str, self), a, b, true);
    return 1;
}

/* --- sequence and mapping slots --------------------------------------------- */

static ZvObject *getitem_str, *setitem_str, *delitem_str, *len_str;

static int slot_sq_length(ZvObject *self)
{
    Ref res(call_method(self, "__len__", &len_str));
    if (!res) return -1;
    int32_t len = ZvInt_AsLong(res.get());
    if (len == -1 && ZvErr_Occurred()) return -1;
    if (len < 0) {
        ZvErr_SetString(ZvExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return len;
}

static ZvObject *slot_sq_item(ZvObject *self, int i)
{
    return call_method_int(self, "__getitem__", &getitem_str, i);
}

static ZvObject *slot_sq_slice(ZvObject *self, int i, int j)
{
    static ZvObject *cache;
    Ref jval(ZvInt_FromLong(j));
    if (!jval) return nullptr;
    return call_method_int(self, "__getslice__", &cache, i, jval.get());
}

static int slot_sq_ass_item(ZvObject *self, int i, ZvObject *value)
{
    if (value == nullptr) return result_to_status(call_method_int(self, "__delitem__", &delitem_str, i));
    return result_to_status(call_method_int(self, "__setitem__", &setitem_str, i, value));
}

static int slot_sq_ass_slice(ZvObject *self, int i, int j, ZvObject *value)
{
    static ZvObject *setslice_str, *delslice_str;
    Ref jval(ZvInt_FromLong(j));
    if (!jval) return -1;
    if (value == nullptr)
        return result_to_status(call_method_int(self, "__delslice__", &delslice_str, i, jval.get()));
    return result_to_status(
        call_method_int(self, "__setslice__", &setslice_str, i, jval.get(), value));
}

static int slot_sq_contains(ZvObject *self, ZvObject *value)
{
    static ZvObject *contains_str;
    Ref func(lookup_maybe(self, "__contains__", &contains_str));
    if (func) {
        Ref res(call_with(func.get(), value));
        if (!res) return -1;
        return ZvObject_IsTrue(res.get());
    }
    if (ZvErr_Occurred()) return -1;
    return _ZvSequence_IterSearch(self, value, ZV_ITERSEARCH_CONTAINS);
}

static ZvObject *slot_mp_subscript(ZvObject *self, ZvObject *key)
{
    return call_method(self, "__getitem__", &getitem_str, key);
}

static int slot_mp_ass_subscript(ZvObject *self, ZvObject *key, ZvObject *value)
{
    if (value == nullptr) return result_to_status(call_method(self, "__delitem__", &delitem_str, key));
    return result_to_status(call_method(self, "__setitem__", &setitem_str, key, value));
}

/* --- comparison, hashing, representation ---------------------------------- */

/* self.__cmp__(other) reduced to -1, 0, 1; 2 for "not implemented", -2
 * for an error. */
static int half_compare(ZvObject *self, ZvObject *other)
{
    static ZvObject *cmp_str;
    Ref func(lookup_maybe(self, "__cmp__", &cmp_str));
    if (!func) {
        ZvErr_Clear();
        return 2;
    }
    Ref res(call_with(func.get(), other));
    if (!res) return -2;
    if (res.get() == Zv_NotImplemented) return 2;
    int32_t c = ZvInt_AsLong(res.get());
    if (c == -1 && ZvErr_Occurred()) return -2;
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int _ZvObject_SlotCompare(ZvObject *self, ZvObject *other)
{
    if (Zv_TYPE(self)->tp_compare == _ZvObject_SlotCompare) {
        int c = half_compare(self, other);
        if (c <= 1) return c;
    }
    if (Zv_TYPE(other)->tp_compare == _ZvObject_SlotCompare) {
        int c = half_compare(other, self);
        if (c < -1) return -2;
        if (c <= 1) return -c;
    }
    uintptr_t a = (uintptr_t)self, b = (uintptr_t)other;
    return a < b ? -1 : a > b ? 1 : 0;
}

static UnaryName richcmp_names[6] = {
    {"__lt__"}, {"__le__"}, {"__eq__"}, {"__ne__"}, {"__gt__"}, {"__ge__"},
};

static ZvObject *half_richcompare(ZvObject *self, ZvObject *other, int op)
{
    Ref func(lookup_maybe(self, richcmp_names[op].name, &richcmp_names[op].cache));
    if (!func) {
        ZvErr_Clear();
        Zv_RETURN_NOTIMPLEMENTED;
    }
    return call_with(func.get(), other);
}

static ZvObject *slot_tp_richcompare(ZvObject *self, ZvObject *other, int op)
{
    if (op < Zv_LT || op > Zv_GE) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (Zv_TYPE(self)->tp_richcompare == slot_tp_richcompare) {
        ZvObject *res = half_richcompare(self, other, op);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    if (Zv_TYPE(other)->tp_richcompare == slot_tp_richcompare) {
        ZvObject *res = half_richcompare(other, self, _Zv_SwappedOp[op]);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    Zv_RETURN_NOTIMPLEMENTED;
}

static Zv_hash_t slot_tp_hash(ZvObject *self)
{
    static ZvObject *hash_str, *eq_str, *cmp_str;
    Ref func(lookup_maybe(self, "__hash__", &hash_str));
    if (func) {
        Ref res(call_with(func.get()));
        if (!res) return -1;
        Zv_hash_t h = ZvInt_AsLong(res.get());
        if (h == -1 && !ZvErr_Occurred()) h = -2;
        return h;
    }
    if (ZvErr_Occurred()) return -1;
    /* A class that defines equality without a hash would break dictionaries. */
    Ref eq(lookup_maybe(self, "__eq__", &eq_str));
    if (!eq && !ZvErr_Occurred()) eq.reset(lookup_maybe(self, "__cmp__", &cmp_str));
    if (eq || ZvErr_Occurred()) {
        ZvErr_Clear();
        ZvErr_SetString(ZvExc_TypeError, "unhashable type");
        return -1;
    }
    Zv_hash_t h = _Zv_HashPointer(self);
    return h == -1 ? -2 : h;
}

static ZvObject *slot_tp_repr(ZvObject *self)
{
    static ZvObject *repr_str;
    Ref func(lookup_maybe(self, "__repr__", &repr_str));
    if (func) return call_with(func.get());
    ZvErr_Clear();
    return ZvString_FromFormat("<%s object at %p>", Zv_TYPE(self)->tp_name, (void *)self);
}

static ZvObject *slot_tp_str(ZvObject *self)
{
    static ZvObject *str_str;
    Ref func(lookup_maybe(self, "__str__", &str_str));
    if (func) return call_with(func.get());
    ZvErr_Clear();
    return slot_tp_repr(self);
}

/* --- calls, attributes, iteration, descriptors, life cycle --------------- */

/* Calls a special method found for a slot.  The call can come straight
 * back to the same slot (an instance that is its own class's __call__, a
 * class that is its own __init__ or __new__), so it counts against the
 * recursion limit. */
static ZvObject *guarded_call(ZvObject *func, ZvObject *args, ZvObject *kwds, const char *where)
{
    if (Zv_EnterRecursiveCall(where)) return nullptr;
    ZvObject *res = ZvObject_Call(func, args, kwds);
    Zv_LeaveRecursiveCall();
    return res;
}

static ZvObject *slot_tp_call(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    static ZvObject *call_str;
    Ref meth(lookup_method(self, "__call__", &call_str));
    if (!meth) return nullptr;
    return guarded_call(meth.get(), args, kwds, " in __call__");
}

static ZvObject *getattribute_str, *getattr_str;

static ZvObject *slot_tp_getattro(ZvObject *self, ZvObject *name)
{
    return call_method(self, "__getattribute__", &getattribute_str, name);
}

/* Calls a class attribute found by lookup, bound to self. */
static ZvObject *call_attribute(ZvObject *self, ZvObject *attr, ZvObject *name)
{
    Ref bound;
    descrgetfunc f = Zv_TYPE(attr)->tp_descr_get;
    if (f != nullptr) {
        bound.reset(f(attr, self, (ZvObject *)Zv_TYPE(self)));
        if (!bound) return nullptr;
    } else {
        bound = Ref::borrow(attr);
    }
    return call_with(bound.get(), name);
}

static ZvObject *slot_tp_getattr_hook(ZvObject *self, ZvObject *name)
{
    if (intern_cached("__getattr__", &getattr_str) == nullptr ||
        intern_cached("__getattribute__", &getattribute_str) == nullptr)
        return nullptr;
    /* The lookups run code (a key's __eq__) that may assign self's
     * __class__ or delete the methods found: all are held. */
    Ref tp_ref = Ref::borrow((ZvObject *)Zv_TYPE(self));
    auto *tp = (ZvTypeObject *)tp_ref.get();
    Ref getattr(_ZvType_LookupRef(tp, getattr_str));
    if (!getattr) {
        /* No __getattr__: the simpler dispatcher will do from now on. */
        if (tp->tp_getattro == slot_tp_getattr_hook) tp->tp_getattro = slot_tp_getattro;
        return slot_tp_getattro(self, name);
    }
    Ref getattribute(_ZvType_LookupRef(tp, getattribute_str));
    Ref res;
    if (!getattribute ||
        (Zv_TYPE(getattribute.get()) == &ZvWrapperDescr_Type &&
         ((ZvWrapperDescrObject *)getattribute.get())->d_wrapped ==
             (void *)ZvObject_GenericGetAttr)) {
        res.reset(ZvObject_GenericGetAttr(self, name));
    } else {
        res.reset(call_attribute(self, getattribute.get(), name));
    }
    if (!res && ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
        ZvErr_Clear();
        res.reset(call_attribute(self, getattr.get(), name));
    }
    return res.release();
}

static int slot_tp_setattro(ZvObject *self, ZvObject *name, ZvObject *value)
{
    static ZvObject *setattr_str, *delattr_str;
    if (value == nullptr) return result_to_status(call_method(self, "__delattr__", &delattr_str, name));
    return result_to_status(call_method(self, "__setattr__", &setattr_str, name, value));
}

static ZvObject *slot_tp_iter(ZvObject *self)
{
    static ZvObject *iter_str;
    Ref func(lookup_maybe(self, "__iter__", &iter_str));
    if (func) return call_with(func.get());
    ZvErr_Clear();
    func.reset(lookup_maybe(self, "__getitem__", &getitem_str));
    if (!func) {
        ZvErr_Clear();
        ZvErr_SetString(ZvExc_TypeError, "iteration over non-sequence");
        return nullptr;
    }
    return ZvSeqIter_New(self);
}

static ZvObject *slot_tp_iternext(ZvObject *self)
{
    static ZvObject *next_str;
    return call_method(self, "next", &next_str);
}

static ZvObject *slot_tp_descr_get(ZvObject *self, ZvObject *obj, ZvObject *type)
{
    static ZvObject *get_str;
    if (intern_cached("__get__", &get_str) == nullptr) return nullptr;
    /* Held across the lookup, which can run code that assigns self's
     * __class__. */
    Ref tp = Ref::borrow((ZvObject *)Zv_TYPE(self));
    Ref get(_ZvType_LookupRef((ZvTypeObject *)tp.get(), get_str));
    if (!get) {
        /* __get__ is gone: stop treating instances as descriptors. */
        auto *t = (ZvTypeObject *)tp.get();
        if (t->tp_descr_get == slot_tp_descr_get) t->tp_descr_get = nullptr;
        Zv_INCREF(self);
        return self;
    }
    return ZvObject_CallFunctionObjArgs(get.get(), self, obj ? obj : Zv_None,
                                        type ? type : Zv_None, nullptr);
}

static int slot_tp_descr_set(ZvObject *self, ZvObject *target, ZvObject *value)
{
    static ZvObject *set_str, *delete_str;
    if (value == nullptr) return result_to_status(call_method(self, "__delete__", &delete_str, target));
    return result_to_status(call_method(self, "__set__", &set_str, target, value));
}

static int slot_tp_init(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    static ZvObject *init_str;
    Ref meth(lookup_method(self, "__init__", &init_str));
    if (!meth) return -1;
    Ref res(guarded_call(meth.get(), args, kwds, " in __init__"));
    if (!res) return -1;
    if (res.get() != Zv_None &&
        ZvErr_Warn(ZvExc_RuntimeWarning, "__init__() should return None") == -1)
        return -1;
    return 0;
}

static ZvObject *slot_tp_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    Ref func(ZvObject_GetAttrString((ZvObject *)type, "__new__"));
    if (!func) return nullptr;
    int n = ZvTuple_GET_SIZE(args);
    Ref newargs(ZvTuple_New(n + 1));
    if (!newargs) return nullptr;
    Zv_INCREF(type);
    ZvTuple_SET_ITEM(newargs.get(), 0, (ZvObject *)type);
    for (int i = 0; i < n; i++) {
        ZvObject *x = ZvTuple_GET_ITEM(args, i);
        Zv_INCREF(x);
        ZvTuple_SET_ITEM(newargs.get(), i + 1, x);
    }
    return guarded_call(func.get(), newargs.get(), kwds, " in __new__");
}

/* The finalizer behind __del__.  It runs with the count at 0; the object
 * is revived for the call, any pending exception is saved around it and
 * an error from __del__ is reported, never propagated.  If the method
 * stored self somewhere, the count stays above 0 and the caller keeps the
 * object alive. */
static void slot_tp_del(ZvObject *self)
{
    static ZvObject *del_str;
    self->ob_refcnt = 1;
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    ZvObject *del = lookup_maybe(self, "__del__", &del_str);
    if (del != nullptr) {
        ZvObject *res = call_with(del);
        if (res == nullptr)
            ZvErr_WriteUnraisable(del);
        else
            Zv_DECREF(res);
        Zv_DECREF(del);
    } else if (ZvErr_Occurred()) {
        ZvErr_WriteUnraisable(self);
    }
    ZvErr_Restore(t, v, tb);
    --self->ob_refcnt;
}

/* --- wrappers: calling a native slot through its special name ----------- */

static bool check_num_args(ZvObject *args, int n)
{
    if (!ZvTuple_CheckExact(args)) {
        ZvErr_SetString(ZvExc_SystemError, "ZvArg_UnpackTuple() argument list is not a tuple");
        return false;
    }
    if (ZvTuple_GET_SIZE(args) == n) return true;
    ZvErr_Format(ZvExc_TypeError, "expected %d arguments, got %d", n, ZvTuple_GET_SIZE(args));
    return false;
}

#define ARG(i) ZvTuple_GET_ITEM(args, i)

static ZvObject *wrap_unaryfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 0)) return nullptr;
    return ((unaryfunc)wrapped)(self);
}

static ZvObject *wrap_inquiry(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 0)) return nullptr;
    int res = ((inquiry)wrapped)(self);
    if (res == -1 && ZvErr_Occurred()) return nullptr;
    return ZvInt_FromLong(res);
}

static ZvObject *wrap_inquirypred(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 0)) return nullptr;
    int res = ((inquiry)wrapped)(self);
    if (res == -1 && ZvErr_Occurred()) return nullptr;
    return ZvBool_FromLong(res);
}

static ZvObject *wrap_hashfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 0)) return nullptr;
    Zv_hash_t res = ((hashfunc)wrapped)(self);
    if (res == -1 && ZvErr_Occurred()) return nullptr;
    return ZvInt_FromLong(res);
}

static ZvObject *wrap_next(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 0)) return nullptr;
    ZvObject *res = ((unaryfunc)wrapped)(self);
    if (res == nullptr && !ZvErr_Occurred()) ZvErr_SetNone(ZvExc_StopIteration);
    return res;
}

static ZvObject *wrap_binaryfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    return ((binaryfunc)wrapped)(self, ARG(0));
}

/* A native binary slot of a type without CHECKTYPES expects both operands
 * of its own type. */
static bool operand_fits(ZvObject *self, ZvObject *other)
{
    return (Zv_TYPE(self)->tp_flags & Zv_TPFLAGS_CHECKTYPES) ||
           ZvType_IsSubtype(Zv_TYPE(other), Zv_TYPE(self));
}

static ZvObject *wrap_binaryfunc_l(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    if (!operand_fits(self, ARG(0))) Zv_RETURN_NOTIMPLEMENTED;
    return ((binaryfunc)wrapped)(self, ARG(0));
}

static ZvObject *wrap_binaryfunc_r(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    if (!operand_fits(self, ARG(0))) Zv_RETURN_NOTIMPLEMENTED;
    return ((binaryfunc)wrapped)(ARG(0), self);
}

static ZvObject *wrap_ternaryfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    ZvObject *other, *third = Zv_None;
    if (!ZvArg_UnpackTuple(args, "", 1, 2, &other, &third)) return nullptr;
    return ((ternaryfunc)wrapped)(self, other, third);
}

static ZvObject *wrap_ternaryfunc_r(ZvObject *self, ZvObject *args, void *wrapped)
{
    ZvObject *other, *third = Zv_None;
    if (!ZvArg_UnpackTuple(args, "", 1, 2, &other, &third)) return nullptr;
    return ((ternaryfunc)wrapped)(other, self, third);
}

/* An int argument; -1 with an error set when it is not one. */
static int int_arg(ZvObject *o, int32_t *out)
{
    *out = ZvInt_AsLong(o);
    return (*out == -1 && ZvErr_Occurred()) ? -1 : 0;
}

static ZvObject *wrap_intargfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i;
    if (!check_num_args(args, 1) || int_arg(ARG(0), &i) < 0) return nullptr;
    return ((intargfunc)wrapped)(self, i);
}

static ZvObject *wrap_intintargfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i, j;
    if (!check_num_args(args, 2) || int_arg(ARG(0), &i) < 0 || int_arg(ARG(1), &j) < 0)
        return nullptr;
    return ((intintargfunc)wrapped)(self, i, j);
}

/* A sequence index: a negative one has the length added once. */
static int getindex(ZvObject *self, ZvObject *arg, int32_t *out)
{
    if (int_arg(arg, out) < 0) return -1;
    if (*out < 0) {
        ZvSequenceMethods *sq = Zv_TYPE(self)->tp_as_sequence;
        if (sq != nullptr && sq->sq_length != nullptr) {
            int n = sq->sq_length(self);
            if (n < 0) return -1;
            *out += n;
        }
    }
    return 0;
}

static ZvObject *wrap_sq_item(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i;
    if (!check_num_args(args, 1) || getindex(self, ARG(0), &i) < 0) return nullptr;
    return ((intargfunc)wrapped)(self, i);
}

static ZvObject *status_result(int res)
{
    if (res == -1 && ZvErr_Occurred()) return nullptr;
    if (res < 0) return nullptr;
    Zv_RETURN_NONE;
}

static ZvObject *wrap_sq_setitem(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i;
    if (!check_num_args(args, 2) || getindex(self, ARG(0), &i) < 0) return nullptr;
    return status_result(((intobjargproc)wrapped)(self, i, ARG(1)));
}

static ZvObject *wrap_sq_delitem(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i;
    if (!check_num_args(args, 1) || getindex(self, ARG(0), &i) < 0) return nullptr;
    return status_result(((intobjargproc)wrapped)(self, i, nullptr));
}

static ZvObject *wrap_intintobjargproc(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i, j;
    if (!check_num_args(args, 3) || int_arg(ARG(0), &i) < 0 || int_arg(ARG(1), &j) < 0)
        return nullptr;
    return status_result(((intintobjargproc)wrapped)(self, i, j, ARG(2)));
}

static ZvObject *wrap_delslice(ZvObject *self, ZvObject *args, void *wrapped)
{
    int32_t i, j;
    if (!check_num_args(args, 2) || int_arg(ARG(0), &i) < 0 || int_arg(ARG(1), &j) < 0)
        return nullptr;
    return status_result(((intintobjargproc)wrapped)(self, i, j, nullptr));
}

static ZvObject *wrap_objobjproc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    int res = ((objobjproc)wrapped)(self, ARG(0));
    if (res < 0) return nullptr;
    return ZvBool_FromLong(res);
}

static ZvObject *wrap_objobjargproc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 2)) return nullptr;
    return status_result(((objobjargproc)wrapped)(self, ARG(0), ARG(1)));
}

static ZvObject *wrap_delitem(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    return status_result(((objobjargproc)wrapped)(self, ARG(0), nullptr));
}

static ZvObject *wrap_cmpfunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    ZvObject *other = ARG(0);
    if (!ZvType_IsSubtype(Zv_TYPE(other), Zv_TYPE(self))) {
        ZvErr_Format(ZvExc_TypeError, "%s.__cmp__(x,y) requires y to be a '%s', not a '%s'",
                     Zv_TYPE(self)->tp_name, Zv_TYPE(self)->tp_name, Zv_TYPE(other)->tp_name);
        return nullptr;
    }
    int res = ((cmpfunc)wrapped)(self, other);
    if (ZvErr_Occurred()) return nullptr;
    return ZvInt_FromLong(res);
}

static ZvObject *wrap_coercefunc(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    ZvObject *other = ARG(0);
    int ok = ((coercion)wrapped)(&self, &other);
    if (ok < 0) return nullptr;
    if (ok > 0) Zv_RETURN_NOTIMPLEMENTED;
    /* The coercion handed back two new references. */
    ZvObject *res = ZvTuple_New(2);
    if (res == nullptr) {
        Zv_DECREF(self);
        Zv_DECREF(other);
        return nullptr;
    }
    ZvTuple_SET_ITEM(res, 0, self);
    ZvTuple_SET_ITEM(res, 1, other);
    return res;
}

/* A built-in type's attribute protection must not be bypassed through
 * another type's __setattr__: the wrapped slot must be the one of the
 * first static type on self's base chain. */
static bool hackcheck(ZvObject *self, setattrofunc func, const char *what)
{
    ZvTypeObject *type = Zv_TYPE(self);
    while (type != nullptr && (type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) type = type->tp_base;
    if (type != nullptr && type->tp_setattro != func) {
        ZvErr_Format(ZvExc_TypeError, "can't apply this %s to %s object", what, type->tp_name);
        return false;
    }
    return true;
}

static ZvObject *wrap_setattr(ZvObject *self, ZvObject *args, void *wrapped)
{
    auto func = (setattrofunc)wrapped;
    if (!check_num_args(args, 2) || !hackcheck(self, func, "__setattr__")) return nullptr;
    return status_result(func(self, ARG(0), ARG(1)));
}

static ZvObject *wrap_delattr(ZvObject *self, ZvObject *args, void *wrapped)
{
    auto func = (setattrofunc)wrapped;
    if (!check_num_args(args, 1) || !hackcheck(self, func, "__delattr__")) return nullptr;
    return status_result(func(self, ARG(0), nullptr));
}

static ZvObject *wrap_call(ZvObject *self, ZvObject *args, void *wrapped, ZvObject *kwds)
{
    return ((ternaryfunc)wrapped)(self, args, kwds);
}

static ZvObject *wrap_init(ZvObject *self, ZvObject *args, void *wrapped, ZvObject *kwds)
{
    if (((initproc)wrapped)(self, args, kwds) < 0) return nullptr;
    Zv_RETURN_NONE;
}

static ZvObject *wrap_descr_get(ZvObject *self, ZvObject *args, void *wrapped)
{
    ZvObject *obj, *type = nullptr;
    if (!ZvArg_UnpackTuple(args, "", 1, 2, &obj, &type)) return nullptr;
    if (obj == Zv_None) obj = nullptr;
    if (type == Zv_None) type = nullptr;
    if (obj == nullptr && type == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "__get__(None, None) is invalid");
        return nullptr;
    }
    return ((descrgetfunc)wrapped)(self, obj, type);
}

static ZvObject *wrap_descr_set(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 2)) return nullptr;
    return status_result(((descrsetfunc)wrapped)(self, ARG(0), ARG(1)));
}

static ZvObject *wrap_descr_delete(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    return status_result(((descrsetfunc)wrapped)(self, ARG(0), nullptr));
}

template <int OP> static ZvObject *richcmp(ZvObject *self, ZvObject *args, void *wrapped)
{
    if (!check_num_args(args, 1)) return nullptr;
    return ((richcmpfunc)wrapped)(self, ARG(0), OP);
}

#undef ARG

/* --- the slot table -------------------------------------------------------- */

#define FN(f) ((void *)(f))
#define KW(w) ((wrapperfunc)(void (*)(void))(w))
#define ROW(NAME, OFFSET, FUNCTION, WRAPPER, DOC, FLAGS)                      \
    {NAME, OFFSET, FUNCTION, WRAPPER, DOC, FLAGS, nullptr}
#define TPSLOT(NAME, SLOT, F, W, DOC) ROW(NAME, TP_OFFSET(SLOT), F, W, DOC, 0)
#define SQSLOT(NAME, SLOT, F, W, DOC) ROW(NAME, SQ_OFFSET(SLOT), F, W, DOC, 0)
#define MPSLOT(NAME, SLOT, F, W, DOC) ROW(NAME, MP_OFFSET(SLOT), F, W, DOC, 0)
#define NBSLOT(NAME, SLOT, F, W, DOC) ROW(NAME, NB_OFFSET(SLOT), F, W, DOC, 0)
#define UNSLOT(NAME, SLOT, F, DOC) NBSLOT(NAME, SLOT, F, wrap_unaryfunc, "x." NAME "() <==> " DOC)
#define IBSLOT(NAME, SLOT, F, DOC) NBSLOT(NAME, SLOT, F, wrap_binaryfunc, "x." NAME "(y) <==> x" DOC "y")
#define BINSLOT(NAME, SLOT, F, DOC) NBSLOT(NAME, SLOT, F, wrap_binaryfunc_l, "x." NAME "(y) <==> x" DOC "y")
#define RBINSLOT(NAME, SLOT, F, DOC) NBSLOT(NAME, SLOT, F, wrap_binaryfunc_r, "x." NAME "(y) <==> y" DOC "x")
#define BINSLOTNOTINFIX(NAME, SLOT, F, DOC) NBSLOT(NAME, SLOT, F, wrap_binaryfunc_l, "x." NAME "(y) <==> " DOC)
#define RBINSLOTNOTINFIX(NAME, SLOT, F, DOC) NBSLOT(NAME, SLOT, F, wrap_binaryfunc_r, "x." NAME "(y) <==> " DOC)

#define SB(I) FN(&slot_binary<I>)
#define SU(I) FN(&slot_unary<I>)
#define SI(I) FN(&slot_inplace<I>)

static struct wrapperbase slotdefs[] = {
    SQSLOT("__len__", sq_length, FN(slot_sq_length), wrap_inquiry, "x.__len__() <==> len(x)"),
    SQSLOT("__add__", sq_concat, nullptr, wrap_binaryfunc, "x.__add__(y) <==> x+y"),
    SQSLOT("__mul__", sq_repeat, nullptr, wrap_intargfunc, "x.__mul__(n) <==> x*n"),
    SQSLOT("__rmul__", sq_repeat, nullptr, wrap_intargfunc, "x.__rmul__(n) <==> n*x"),
    SQSLOT("__getitem__", sq_item, FN(slot_sq_item), wrap_sq_item, "x.__getitem__(y) <==> x[y]"),
    SQSLOT("__getslice__", sq_slice, FN(slot_sq_slice), wrap_intintargfunc,
           "x.__getslice__(i, j) <==> x[i:j]\n               \n               Use of negative "
           "indices is not supported."),
    SQSLOT("__setitem__", sq_ass_item, FN(slot_sq_ass_item), wrap_sq_setitem,
           "x.__setitem__(i, y) <==> x[i]=y"),
    SQSLOT("__delitem__", sq_ass_item, FN(slot_sq_ass_item), wrap_sq_delitem,
           "x.__delitem__(y) <==> del x[y]"),
    SQSLOT("__setslice__", sq_ass_slice, FN(slot_sq_ass_slice), wrap_intintobjargproc,
           "x.__setslice__(i, j, y) <==> x[i:j]=y\n               \n               Use  of "
           "negative indices is not supported."),
    SQSLOT("__delslice__", sq_ass_slice, FN(slot_sq_ass_slice), wrap_delslice,
           "x.__delslice__(i, j) <==> del x[i:j]\n               \n               Use of negative "
           "indices is not supported."),
    SQSLOT("__contains__", sq_contains, FN(slot_sq_contains), wrap_objobjproc,
           "x.__contains__(y) <==> y in x"),
    SQSLOT("__iadd__", sq_inplace_concat, nullptr, wrap_binaryfunc, "x.__iadd__(y) <==> x+=y"),
    SQSLOT("__imul__", sq_inplace_repeat, nullptr, wrap_intargfunc, "x.__imul__(y) <==> x*=y"),

    MPSLOT("__len__", mp_length, FN(slot_sq_length), wrap_inquiry, "x.__len__() <==> len(x)"),
    MPSLOT("__getitem__", mp_subscript, FN(slot_mp_subscript), wrap_binaryfunc,
           "x.__getitem__(y) <==> x[y]"),
    MPSLOT("__setitem__", mp_ass_subscript, FN(slot_mp_ass_subscript), wrap_objobjargproc,
           "x.__setitem__(i, y) <==> x[i]=y"),
    MPSLOT("__delitem__", mp_ass_subscript, FN(slot_mp_ass_subscript), wrap_delitem,
           "x.__delitem__(y) <==> del x[y]"),

    BINSLOT("__add__", nb_add, SB(B_ADD), "+"),
    RBINSLOT("__radd__", nb_add, SB(B_ADD), "+"),
    BINSLOT("__sub__", nb_subtract, SB(B_SUB), "-"),
    RBINSLOT("__rsub__", nb_subtract, SB(B_SUB), "-"),
    BINSLOT("__mul__", nb_multiply, SB(B_MUL), "*"),
    RBINSLOT("__rmul__", nb_multiply, SB(B_MUL), "*"),
    BINSLOT("__div__", nb_divide, SB(B_DIV), "/"),
    RBINSLOT("__rdiv__", nb_divide, SB(B_DIV), "/"),
    BINSLOT("__mod__", nb_remainder, SB(B_MOD), "%"),
    RBINSLOT("__rmod__", nb_remainder, SB(B_MOD), "%"),
    BINSLOTNOTINFIX("__divmod__", nb_divmod, SB(B_DIVMOD), "divmod(x, y)"),
    RBINSLOTNOTINFIX("__rdivmod__", nb_divmod, SB(B_DIVMOD), "divmod(y, x)"),
    NBSLOT("__pow__", nb_power, FN(slot_nb_power), wrap_ternaryfunc,
           "x.__pow__(y[, z]) <==> pow(x, y[, z])"),
    NBSLOT("__rpow__", nb_power, FN(slot_nb_power), wrap_ternaryfunc_r,
           "y.__rpow__(x[, z]) <==> pow(x, y[, z])"),
    UNSLOT("__neg__", nb_negative, SU(U_NEG), "-x"),
    UNSLOT("__pos__", nb_positive, SU(U_POS), "+x"),
    UNSLOT("__abs__", nb_absolute, SU(U_ABS), "abs(x)"),
    NBSLOT("__nonzero__", nb_nonzero, FN(slot_nb_nonzero), wrap_inquirypred,
           "x.__nonzero__() <==> x != 0"),
    UNSLOT("__invert__", nb_invert, SU(U_INVERT), "~x"),
    BINSLOT("__lshift__", nb_lshift, SB(B_LSHIFT), "<<"),
    RBINSLOT("__rlshift__", nb_lshift, SB(B_LSHIFT), "<<"),
    BINSLOT("__rshift__", nb_rshift, SB(B_RSHIFT), ">>"),
    RBINSLOT("__rrshift__", nb_rshift, SB(B_RSHIFT), ">>"),
    BINSLOT("__and__", nb_and, SB(B_AND), "&"),
    RBINSLOT("__rand__", nb_and, SB(B_AND), "&"),
    BINSLOT("__xor__", nb_xor, SB(B_XOR), "^"),
    RBINSLOT("__rxor__", nb_xor, SB(B_XOR), "^"),
    BINSLOT("__or__", nb_or, SB(B_OR), "|"),
    RBINSLOT("__ror__", nb_or, SB(B_OR), "|"),
    NBSLOT("__coerce__", nb_coerce, FN(slot_nb_coerce), (wrapperfunc)wrap_coercefunc,
           "x.__coerce__(y) <==> coerce(x, y)"),
    UNSLOT("__int__", nb_int, SU(U_INT), "int(x)"),
    UNSLOT("__long__", nb_long, SU(U_LONG), "long(x)"),
    UNSLOT("__float__", nb_float, SU(U_FLOAT), "float(x)"),
    UNSLOT("__oct__", nb_oct, SU(U_OCT), "oct(x)"),
    UNSLOT("__hex__", nb_hex, SU(U_HEX), "hex(x)"),
    IBSLOT("__iadd__", nb_inplace_add, SI(I_ADD), "+"),
    IBSLOT("__isub__", nb_inplace_subtract, SI(I_SUB), "-"),
    IBSLOT("__imul__", nb_inplace_multiply, SI(I_MUL), "*"),
    IBSLOT("__idiv__", nb_inplace_divide, SI(I_DIV), "/"),
    IBSLOT("__imod__", nb_inplace_remainder, SI(I_MOD), "%"),
    IBSLOT("__ipow__", nb_inplace_power, FN(slot_nb_inplace_power), "**"),
    IBSLOT("__ilshift__", nb_inplace_lshift, SI(I_LSHIFT), "<<"),
    IBSLOT("__irshift__", nb_inplace_rshift, SI(I_RSHIFT), ">>"),
    IBSLOT("__iand__", nb_inplace_and, SI(I_AND), "&"),
    IBSLOT("__ixor__", nb_inplace_xor, SI(I_XOR), "^"),
    IBSLOT("__ior__", nb_inplace_or, SI(I_OR), "|"),
    BINSLOT("__floordiv__", nb_floor_divide, SB(B_FLOORDIV), "//"),
    RBINSLOT("__rfloordiv__", nb_floor_divide, SB(B_FLOORDIV), "//"),
    BINSLOT("__truediv__", nb_true_divide, SB(B_TRUEDIV), "/"),
    RBINSLOT("__rtruediv__", nb_true_divide, SB(B_TRUEDIV), "/"),
    IBSLOT("__ifloordiv__", nb_inplace_floor_divide, SI(I_FLOORDIV), "//"),
    IBSLOT("__itruediv__", nb_inplace_true_divide, SI(I_TRUEDIV), "/"),

    TPSLOT("__str__", tp_str, FN(slot_tp_str), wrap_unaryfunc, "x.__str__() <==> str(x)"),
    TPSLOT("__str__", tp_print, nullptr, nullptr, nullptr),
    TPSLOT("__repr__", tp_repr, FN(slot_tp_repr), wrap_unaryfunc, "x.__repr__() <==> repr(x)"),
    TPSLOT("__repr__", tp_print, nullptr, nullptr, nullptr),
    TPSLOT("__cmp__", tp_compare, FN(_ZvObject_SlotCompare), wrap_cmpfunc,
           "x.__cmp__(y) <==> cmp(x,y)"),
    TPSLOT("__hash__", tp_hash, FN(slot_tp_hash), wrap_hashfunc, "x.__hash__() <==> hash(x)"),
    ROW("__call__", TP_OFFSET(tp_call), FN(slot_tp_call), KW(wrap_call),
        "x.__call__(...) <==> x(...)", ZvWrapperFlag_KEYWORDS),
    TPSLOT("__getattribute__", tp_getattro, FN(slot_tp_getattr_hook), wrap_binaryfunc,
           "x.__getattribute__('name') <==> x.name"),
    TPSLOT("__getattribute__", tp_getattr, nullptr, nullptr, nullptr),
    TPSLOT("__getattr__", tp_getattro, FN(slot_tp_getattr_hook), nullptr, nullptr),
    TPSLOT("__getattr__", tp_getattr, nullptr, nullptr, nullptr),
    TPSLOT("__setattr__", tp_setattro, FN(slot_tp_setattro), wrap_setattr,
           "x.__setattr__('name', value) <==> x.name = value"),
    TPSLOT("__setattr__", tp_setattr, nullptr, nullptr, nullptr),
    TPSLOT("__delattr__", tp_setattro, FN(slot_tp_setattro), wrap_delattr,
           "x.__delattr__('name') <==> del x.name"),
    TPSLOT("__delattr__", tp_setattr, nullptr, nullptr, nullptr),
    TPSLOT("__lt__", tp_richcompare, FN(slot_tp_richcompare), richcmp<Zv_LT>, "x.__lt__(y) <==> x<y"),
    TPSLOT("__le__", tp_richcompare, FN(slot_tp_richcompare), richcmp<Zv_LE>, "x.__le__(y) <==> x<=y"),
    TPSLOT("__eq__", tp_richcompare, FN(slot_tp_richcompare), richcmp<Zv_EQ>, "x.__eq__(y) <==> x==y"),
    TPSLOT("__ne__", tp_richcompare, FN(slot_tp_richcompare), richcmp<Zv_NE>, "x.__ne__(y) <==> x!=y"),
    TPSLOT("__gt__", tp_richcompare, FN(slot_tp_richcompare), richcmp<Zv_GT>, "x.__gt__(y) <==> x>y"),
    TPSLOT("__ge__", tp_richcompare, FN(slot_tp_richcompare), richcmp<Zv_GE>, "x.__ge__(y) <==> x>=y"),
    TPSLOT("__iter__", tp_iter, FN(slot_tp_iter), wrap_unaryfunc, "x.__iter__() <==> iter(x)"),
    TPSLOT("next", tp_iternext, FN(slot_tp_iternext), wrap_next,
           "x.next() -> the next value, or raise StopIteration"),
    TPSLOT("__get__", tp_descr_get, FN(slot_tp_descr_get), wrap_descr_get,
           "descr.__get__(obj[, type]) -> value"),
    TPSLOT("__set__", tp_descr_set, FN(slot_tp_descr_set), wrap_descr_set,
           "descr.__set__(obj, value)"),
    TPSLOT("__delete__", tp_descr_set, FN(slot_tp_descr_set), wrap_descr_delete,
           "descr.__delete__(obj)"),
    ROW("__init__", TP_OFFSET(tp_init), FN(slot_tp_init), KW(wrap_init),
        "x.__init__(...) initializes x; see x.__class__.__doc__ for signature",
        ZvWrapperFlag_KEYWORDS),
    TPSLOT("__new__", tp_new, FN(slot_tp_new), nullptr, nullptr),
    TPSLOT("__del__", tp_del, FN(slot_tp_del), nullptr, nullptr),
    /* The terminator's offset matches no slot group. */
    {nullptr, -1, nullptr, nullptr, nullptr, 0, nullptr},
};

static constexpr int N_SLOTDEFS = (int)(sizeof(slotdefs) / sizeof(slotdefs[0])) - 1;
static_assert(N_SLOTDEFS == 98, "one entry per special method and slot");

void _ZvSlots_Init(void)
{
    static bool initialized = false;
    if (initialized) return;
    for (int i = 0; i < N_SLOTDEFS; i++) {
        slotdefs[i].name_strobj = ZvString_InternFromString(slotdefs[i].name);
        if (slotdefs[i].name_strobj == nullptr)
            Zv_FatalError("Out of memory interning slotdef names");
    }
    std::stable_sort(slotdefs, slotdefs + N_SLOTDEFS,
                     [](const wrapperbase &a, const wrapperbase &b) { return a.offset < b.offset; });
    initialized = true;
}

int _ZvSlots_AddOperators(ZvTypeObject *type)
{
    ZvObject *dict = type->tp_dict;
    for (wrapperbase *p = slotdefs; p->name != nullptr; p++) {
        if (p->wrapper == nullptr) continue;
        void **ptr = slotptr(type, p->offset);
        if (ptr == nullptr || *ptr == nullptr) continue;
        if (ZvDict_GetItem(dict, p->name_strobj) != nullptr) continue;
        Ref descr(ZvDescr_NewWrapper(type, p, *ptr));
        if (!descr || ZvDict_SetItem(dict, p->name_strobj, descr.get()) < 0) return -1;
    }
    return 0;
}

/* For a name used by several slots (__getitem__, __len__ ...): the one
 * filled slot of the type among them, or NULL when none or several are. */
static void **resolve_slotdups(ZvTypeObject *type, ZvObject *name)
{
    void **res = nullptr;
    for (wrapperbase *p = slotdefs; p->name != nullptr; p++) {
        if (p->name_strobj != name) continue;
        void **ptr = slotptr(type, p->offset);
        if (ptr == nullptr || *ptr == nullptr) continue;
        if (res != nullptr && res != ptr) return nullptr;
        res = ptr;
    }
    return res;
}

/* Recomputes the slot group starting at p; returns the next group. */
static wrapperbase *update_one_slot(ZvTypeObject *type, wrapperbase *p)
{
    int offset = p->offset;
    void **ptr = slotptr(type, offset);
    if (ptr == nullptr) {
        do ++p;
        while (p->offset == offset);
        return p;
    }
    void *generic = nullptr, *specific = nullptr;
    bool use_generic = false;
    do {
        Ref found(_ZvType_LookupRef(type, p->name_strobj));
        ZvObject *descr = found.get();
        if (descr == nullptr) continue;
        if (Zv_TYPE(descr) == &ZvWrapperDescr_Type) {
            void **tptr = resolve_slotdups(type, p->name_strobj);
            if (tptr == nullptr || tptr == ptr) generic = p->function;
            auto *d = (ZvWrapperDescrObject *)descr;
            if (d->d_base->wrapper == p->wrapper && ZvType_IsSubtype(type, d->d_type)) {
                if (specific == nullptr || specific == d->d_wrapped)
                    specific = d->d_wrapped;
                else
                    use_generic = true;
            }
        } else if (ZvCFunction_Check(descr) &&
                   ZvCFunction_GET_FUNCTION(descr) == (ZvCFunction)(void (*)(void))_ZvType_NewWrapper &&
                   ptr == (void **)&type->tp_new) {
            specific = (void *)type->tp_new;
        } else {
            use_generic = true;
            generic = p->function;
        }
    } while ((++p)->offset == offset);
    *ptr = (specific != nullptr && !use_generic) ? specific : generic;
    return p;
}

void _ZvSlots_Fixup(ZvTypeObject *type)
{
    _ZvSlots_Init();
    for (wrapperbase *p = slotdefs; p->name != nullptr;) p = update_one_slot(type, p);
}

namespace {
struct UpdateJob {
    ZvObject *name;
    wrapperbase *groups[16];
    int n;
};
} // namespace

static void update_groups(ZvTypeObject *type, UpdateJob *job)
{
    for (int i = 0; i < job->n; i++) update_one_slot(type, job->groups[i]);
}

/* A subclass that defines the name itself keeps its own slot, and so do
 * its subclasses. */
static int update_subclass(ZvTypeObject *sub, void *arg)
{
    auto *job = (UpdateJob *)arg;
    if (sub->tp_dict != nullptr && ZvDict_GetItem(sub->tp_dict, job->name) != nullptr) return 1;
    update_groups(sub, job);
    return 0;
}

int _ZvSlots_Update(ZvTypeObject *type, ZvObject *name)
{
    _ZvSlots_Init();
    UpdateJob job;
    job.name = name;
    job.n = 0;
    for (wrapperbase *p = slotdefs; p->name != nullptr; p++) {
        /* By value too: after a restart of the runtime the table keeps names
         * that are no longer the interned ones. */
        if (p->name_strobj != name && !_ZvString_Eq(p->name_strobj, name)) continue;
        wrapperbase *first = p;
        while (first > slotdefs && (first - 1)->offset == first->offset) --first;
        bool seen = false;
        for (int i = 0; i < job.n; i++) seen = seen || job.groups[i] == first;
        if (!seen && job.n < (int)(sizeof job.groups / sizeof job.groups[0]))
            job.groups[job.n++] = first;
    }
    if (job.n == 0) return 0;
    update_groups(type, &job);
    return _ZvType_WalkSubclasses(type, update_subclass, &job);
}

int _ZvSlots_UpdateAll(ZvTypeObject *type)
{
    _ZvSlots_Fixup(type);
    return _ZvType_WalkSubclasses(
        type,
        [](ZvTypeObject *sub, void *) {
            _ZvSlots_Fixup(sub);
            return 0;
        },
        nullptr);
}
