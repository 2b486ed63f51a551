/* The special-method slots of classic instances.
 *
 * One "instance" type serves every classic class, so each of its slots
 * looks the corresponding special method up on the instance with the full
 * attribute lookup (dictionary, class, then __getattr__, which may supply
 * special methods too) and calls it.  A missing method is either a
 * fallback (repr, truth, slices, containment, iteration) or NotImplemented,
 * after which the generic protocols raise their usual "unsupported" error.
 *
 * Binary operators follow the classic rule: the left operand's method,
 * then the right one's reflected method, each after the operand's
 * __coerce__ has had its say.  In-place operators try the in-place method
 * and answer NotImplemented when it is missing or declines, leaving the
 * binary rule to the number protocol (except **=, whose protocol has no
 * such fallback, so its slot applies the binary rule itself). */
#include "classobject_internal.h"

#include "zvref.h"

using zv::Ref;

namespace {

#define ZV_SPECIAL_NAMES(X)                                                   \
    X(repr, "__repr__") X(str, "__str__") X(hash, "__hash__") X(eq, "__eq__") \
    X(cmp, "__cmp__") X(nonzero, "__nonzero__") X(len, "__len__")             \
    X(getitem, "__getitem__") X(setitem, "__setitem__")                       \
    X(delitem, "__delitem__") X(getslice, "__getslice__")                     \
    X(setslice, "__setslice__") X(delslice, "__delslice__")                   \
    X(contains, "__contains__") X(iter, "__iter__") X(next, "next")           \
    X(call, "__call__") X(coerce, "__coerce__") X(neg, "__neg__")             \
    X(pos, "__pos__") X(abs, "__abs__") X(invert, "__invert__")               \
    X(int_, "__int__") X(long_, "__long__") X(float_, "__float__")            \
    X(oct, "__oct__") X(hex, "__hex__") X(add, "__add__") X(radd, "__radd__") \
    X(iadd, "__iadd__") X(sub, "__sub__") X(rsub, "__rsub__")                 \
    X(isub, "__isub__") X(mul, "__mul__") X(rmul, "__rmul__")                 \
    X(imul, "__imul__") X(div, "__div__") X(rdiv, "__rdiv__")                 \
    X(idiv, "__idiv__") X(mod, "__mod__") X(rmod, "__rmod__")                 \
    X(imod, "__imod__") X(divmod, "__divmod__") X(rdivmod, "__rdivmod__")     \
    X(lshift, "__lshift__") X(rlshift, "__rlshift__")                         \
    X(ilshift, "__ilshift__") X(rshift, "__rshift__")                         \
    X(rrshift, "__rrshift__") X(irshift, "__irshift__") X(and_, "__and__")    \
    X(rand, "__rand__") X(iand, "__iand__") X(xor_, "__xor__")                \
    X(rxor, "__rxor__") X(ixor, "__ixor__") X(or_, "__or__")                  \
    X(ror, "__ror__") X(ior, "__ior__") X(floordiv, "__floordiv__")           \
    X(rfloordiv, "__rfloordiv__") X(ifloordiv, "__ifloordiv__")               \
    X(truediv, "__truediv__") X(rtruediv, "__rtruediv__")                     \
    X(itruediv, "__itruediv__") X(pow, "__pow__") X(rpow, "__rpow__")         \
    X(ipow, "__ipow__") X(lt, "__lt__") X(le, "__le__") X(ne, "__ne__")       \
    X(gt, "__gt__") X(ge, "__ge__")

enum Name {
#define X(id, text) N_##id,
    ZV_SPECIAL_NAMES(X)
#undef X
        N_COUNT
};

const char *const name_text[N_COUNT] = {
#define X(id, text) text,
    ZV_SPECIAL_NAMES(X)
#undef X
};

ZvObject *name_cache[N_COUNT];

/* The rich comparison methods by operator code (Zv_LT ... Zv_GE). */
const Name rich_names[6] = {N_lt, N_le, N_eq, N_ne, N_gt, N_ge};

ZvObject *name_of(Name n) { return _ZvClass_Name(&name_cache[n], name_text[n]); }

/* The method by the full instance lookup.  New reference or NULL. */
ZvObject *lookup(ZvObject *inst, Name n)
{
    ZvObject *name = name_of(n);
    return name != nullptr ? _ZvInstance_GetAttr(inst, name) : nullptr;
}

/* Like lookup, but a missing method (AttributeError) is reported by
 * *missing = true with the error cleared. */
ZvObject *lookup_optional(ZvObject *inst, Name n, bool *missing)
{
    *missing = false;
    ZvObject *m = lookup(inst, n);
    if (m == nullptr && ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
        ZvErr_Clear();
        *missing = true;
    }
    return m;
}

/* inst.n(*args): the method looked up and called with the given
 * arguments (NULL-terminated). */
template <typename... Args> ZvObject *call_method(ZvObject *inst, Name n, Args... args)
{
    Ref m(lookup(inst, n));
    if (!m) return nullptr;
    return ZvObject_CallFunctionObjArgs(m.get(), args..., nullptr);
}

ZvObject *not_implemented()
{
    Zv_INCREF(Zv_NotImplemented);
    return Zv_NotImplemented;
}

/* An int result of a special method whose result must be an int and not
 * negative.  -1 with the error set otherwise. */
int nonnegative_int(ZvObject *res, const char *type_msg, const char *value_msg)
{
    if (!ZvInt_Check(res)) {
        ZvErr_SetString(ZvExc_TypeError, type_msg);
        return -1;
    }
    int32_t n = ZvInt_AS_LONG(res);
    if (n < 0) {
        ZvErr_SetString(ZvExc_ValueError, value_msg);
        return -1;
    }
    return n;
}

const char *class_name_text(ZvObject *inst)
{
    return ZvString_AS_STRING(((ZvInstanceObject *)inst)->in_class->cl_name);
}

/* --- binary operators ---------------------------------------------------- */

using NumFunc = ZvObject *(*)(ZvObject *, ZvObject *);

/* x.n(y), or NotImplemented when x has no such method. */
ZvObject *generic_binary_op(ZvObject *x, ZvObject *y, Name n)
{
    bool missing;
    Ref m(lookup_optional(x, n, &missing));
    if (!m) return missing ? not_implemented() : nullptr;
    return ZvObject_CallFunctionObjArgs(m.get(), y, nullptr);
}

/* The half operation for x with method n and other operand y: x's
 * __coerce__(y) first, then x'.n(y') on the coerced pair, or, when the
 * coercion produced something other than an instance, the operator
 * itself (`op`) on the pair in the operands' original order. */
ZvObject *half_binop(ZvObject *x, ZvObject *y, Name n, NumFunc op, bool swapped)
{
    if (!ZvInstance_Check(x)) return not_implemented();
    bool missing;
    Ref coercefunc(lookup_optional(x, N_coerce, &missing));
    if (!coercefunc) return missing ? generic_binary_op(x, y, n) : nullptr;
    Ref coerced(ZvObject_CallFunctionObjArgs(coercefunc.get(), y, nullptr));
    if (!coerced) return nullptr;
    if (coerced.get() == Zv_None || coerced.get() == Zv_NotImplemented)
        return generic_binary_op(x, y, n);
    if (!ZvTuple_Check(coerced.get()) || ZvTuple_GET_SIZE(coerced.get()) != 2) {
        ZvErr_SetString(ZvExc_TypeError, "coercion should return None or 2-tuple");
        return nullptr;
    }
    ZvObject *x1 = ZvTuple_GET_ITEM(coerced.get(), 0);
    ZvObject *y1 = ZvTuple_GET_ITEM(coerced.get(), 1);
    if (ZvInstance_Check(x1)) return generic_binary_op(x1, y1, n);
    /* The operator may come back here through the other operand's
     * coercion, which may hand back the same pair for ever. */
    if (Zv_EnterRecursiveCall(" after coercion")) return nullptr;
    ZvObject *res = swapped ? op(y1, x1) : op(x1, y1);
    Zv_LeaveRecursiveCall();
    return res;
}

ZvObject *do_binop(ZvObject *v, ZvObject *w, Name n, Name rn, NumFunc op)
{
    ZvObject *res = half_binop(v, w, n, op, false);
    if (res != Zv_NotImplemented) return res;
    Zv_DECREF(res);
    return half_binop(w, v, rn, op, true);
}

template <Name N, Name RN, NumFunc Op> ZvObject *binary(ZvObject *v, ZvObject *w)
{
    return do_binop(v, w, N, RN, Op);
}

/* The in-place half only: the number protocol falls back to the binary
 * slot when this declines. */
template <Name IN, NumFunc IOp> ZvObject *inplace(ZvObject *v, ZvObject *w)
{
    return half_binop(v, w, IN, IOp, false);
}

template <Name N> ZvObject *unary(ZvObject *self) { return call_method(self, N); }

ZvObject *power2(ZvObject *v, ZvObject *w) { return ZvNumber_Power(v, w, Zv_None); }
ZvObject *inplace_power2(ZvObject *v, ZvObject *w) { return ZvNumber_InPlacePower(v, w, Zv_None); }

ZvObject *instance_pow(ZvObject *v, ZvObject *w, ZvObject *z)
{
    if (z == Zv_None) return do_binop(v, w, N_pow, N_rpow, power2);
    /* Three-argument pow: v's __pow__(w, z), without coercion. */
    if (!ZvInstance_Check(v)) return not_implemented();
    bool missing;
    Ref m(lookup_optional(v, N_pow, &missing));
    if (!m) return missing ? not_implemented() : nullptr;
    return ZvObject_CallFunctionObjArgs(m.get(), w, z, nullptr);
}

ZvObject *instance_ipow(ZvObject *v, ZvObject *w, ZvObject *z)
{
    if (z == Zv_None) {
        ZvObject *res = half_binop(v, w, N_ipow, inplace_power2, false);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
        return do_binop(v, w, N_pow, N_rpow, power2);
    }
    if (!ZvInstance_Check(v)) return not_implemented();
    bool missing;
    Ref m(lookup_optional(v, N_ipow, &missing));
    if (!m) return missing ? instance_pow(v, w, z) : nullptr;
    ZvObject *res = ZvObject_CallFunctionObjArgs(m.get(), w, z, nullptr);
    if (res != Zv_NotImplemented) return res;
    Zv_DECREF(res);
    return instance_pow(v, w, z);
}

/* The coercion slot: __coerce__(other) on the first operand; 1 when
 * nothing was coerced, 0 with both operands replaced, -1 on error. */
int instance_coerce(ZvObject **pv, ZvObject **pw)
{
    if (!ZvInstance_Check(*pv)) return 1;
    bool missing;
    Ref m(lookup_optional(*pv, N_coerce, &missing));
    if (!m) return missing ? 1 : -1;
    Ref res(ZvObject_CallFunctionObjArgs(m.get(), *pw, nullptr));
    if (!res) return -1;
    if (res.get() == Zv_None || res.get() == Zv_NotImplemented) return 1;
    if (!ZvTuple_Check(res.get()) || ZvTuple_GET_SIZE(res.get()) != 2) {
        ZvErr_SetString(ZvExc_TypeError, "coercion should return None or 2-tuple");
        return -1;
    }
    *pv = ZvTuple_GET_ITEM(res.get(), 0);
    *pw = ZvTuple_GET_ITEM(res.get(), 1);
    Zv_INCREF(*pv);
    Zv_INCREF(*pw);
    return 0;
}

/* Truth: __nonzero__, else __len__, else true. */
int instance_nonzero(ZvObject *self)
{
    bool missing;
    Ref m(lookup_optional(self, N_nonzero, &missing));
    if (!m && missing) m.reset(lookup_optional(self, N_len, &missing));
    if (!m) return missing ? 1 : -1;
    Ref res(ZvObject_CallObject(m.get(), nullptr));
    if (!res) return -1;
    int n = nonnegative_int(res.get(), "__nonzero__ should return an int",
                            "__nonzero__ should return >= 0");
    return n < 0 ? -1 : n > 0;
}

/* --- sequences and mappings -------------------------------------------------- */

int instance_length(ZvObject *self)
{
    Ref res(call_method(self, N_len));
    if (!res) return -1;
    return nonnegative_int(res.get(), "__len__() should return an int",
                           "__len__() should return >= 0");
}

ZvObject *instance_subscript(ZvObject *self, ZvObject *key)
{
    return call_method(self, N_getitem, key);
}

int instance_ass_subscript(ZvObject *self, ZvObject *key, ZvObject *value)
{
    Ref res(value == nullptr ? call_method(self, N_delitem, key)
                             : call_method(self, N_setitem, key, value));
    return res ? 0 : -1;
}

ZvObject *instance_item(ZvObject *self, int i)
{
    Ref index(ZvInt_FromLong(i));
    if (!index) return nullptr;
    return instance_subscript(self, index.get());
}

int instance_ass_item(ZvObject *self, int i, ZvObject *value)
{
    Ref index(ZvInt_FromLong(i));
    if (!index) return -1;
    return instance_ass_subscript(self, index.get(), value);
}

/* __getslice__(i, j), else __getitem__(slice(i, j)). */
ZvObject *instance_slice(ZvObject *self, int i, int j)
{
    bool missing;
    Ref m(lookup_optional(self, N_getslice, &missing));
    if (!m && !missing) return nullptr;
    Ref start(ZvInt_FromLong(i)), stop(ZvInt_FromLong(j));
    if (!start || !stop) return nullptr;
    if (m) return ZvObject_CallFunctionObjArgs(m.get(), start.get(), stop.get(), nullptr);
    Ref slice(ZvSlice_New(start.get(), stop.get(), nullptr));
    if (!slice) return nullptr;
    return instance_subscript(self, slice.get());
}

/* __setslice__(i, j, v) / __delslice__(i, j), else the item methods with
 * slice(i, j). */
int instance_ass_slice(ZvObject *self, int i, int j, ZvObject *value)
{
    bool missing;
    Ref m(lookup_optional(self, value == nullptr ? N_delslice : N_setslice, &missing));
    if (!m && !missing) return -1;
    Ref start(ZvInt_FromLong(i)), stop(ZvInt_FromLong(j));
    if (!start || !stop) return -1;
    if (!m) {
        Ref slice(ZvSlice_New(start.get(), stop.get(), nullptr));
        return slice ? instance_ass_subscript(self, slice.get(), value) : -1;
    }
    Ref res(value == nullptr
                ? ZvObject_CallFunctionObjArgs(m.get(), start.get(), stop.get(), nullptr)
                : ZvObject_CallFunctionObjArgs(m.get(), start.get(), stop.get(), value, nullptr));
    return res ? 0 : -1;
}

/* __contains__(item), else a search through the instance's iteration. */
int instance_contains(ZvObject *self, ZvObject *member)
{
    bool missing;
    Ref m(lookup_optional(self, N_contains, &missing));
    if (!m) {
        if (!missing) return -1;
        return _ZvSequence_IterSearch(self, member, ZV_ITERSEARCH_CONTAINS);
    }
    Ref res(ZvObject_CallFunctionObjArgs(m.get(), member, nullptr));
    return res ? ZvObject_IsTrue(res.get()) : -1;
}

/* --- three-way and rich comparison ---------------------------------------------- */

/* v's __cmp__(w): -1/0/1, 2 when v has none or it declines, -2 on error. */
int half_cmp(ZvObject *v, ZvObject *w)
{
    bool missing;
    Ref m(lookup_optional(v, N_cmp, &missing));
    if (!m) return missing ? 2 : -2;
    Ref res(ZvObject_CallFunctionObjArgs(m.get(), w, nullptr));
    if (!res) return -2;
    if (res.get() == Zv_NotImplemented) return 2;
    if (!ZvInt_Check(res.get())) {
        ZvErr_SetString(ZvExc_TypeError, "comparison did not return an int");
        return -2;
    }
    int32_t c = ZvInt_AS_LONG(res.get());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

/* v's rich comparison method for `op`, called with w. */
ZvObject *half_richcompare(ZvObject *v, ZvObject *w, int op)
{
    ZvObject *name = name_of(rich_names[op]);
    if (name == nullptr) return nullptr;
    Ref m;
    if (((ZvInstanceObject *)v)->in_class->cl_getattr == nullptr) {
        m.reset(_ZvInstance_GetAttrNoHook(v, name));
        if (!m) return ZvErr_Occurred() ? nullptr : not_implemented();
    } else {
        m.reset(_ZvInstance_GetAttr(v, name));
        if (!m) {
            if (!ZvErr_ExceptionMatches(ZvExc_AttributeError)) return nullptr;
            ZvErr_Clear();
            return not_implemented();
        }
    }
    return ZvObject_CallFunctionObjArgs(m.get(), w, nullptr);
}

} // namespace

extern "C" {

ZvObject *_ZvInstance_Repr(ZvObject *self)
{
    bool missing;
    Ref m(lookup_optional(self, N_repr, &missing));
    if (m) return ZvObject_CallObject(m.get(), nullptr);
    if (!missing) return nullptr;
    /* The class and its name are held: reading __module__ may run code
     * that assigns __class__ or __name__. */
    Ref cls = Ref::borrow((ZvObject *)((ZvInstanceObject *)self)->in_class);
    Ref mod(_ZvClass_Module((ZvClassObject *)cls.get()));
    Ref name = Ref::borrow(((ZvClassObject *)cls.get())->cl_name);
    const char *n = ZvString_AS_STRING(name.get());
    if (!mod) return ZvString_FromFormat("<?.%s instance at %p>", n, (void *)self);
    return ZvString_FromFormat("<%s.%s instance at %p>", ZvString_AS_STRING(mod.get()), n,
                               (void *)self);
}

ZvObject *_ZvInstance_Str(ZvObject *self)
{
    bool missing;
    Ref m(lookup_optional(self, N_str, &missing));
    if (m) return ZvObject_CallObject(m.get(), nullptr);
    return missing ? _ZvInstance_Repr(self) : nullptr;
}

/* __hash__, which must give an int; without it, a class that defines
 * equality (__eq__ or __cmp__) cannot be hashed, and one that defines
 * neither hashes by identity. */
Zv_hash_t _ZvInstance_Hash(ZvObject *self)
{
    bool missing;
    Ref m(lookup_optional(self, N_hash, &missing));
    if (!m) {
        if (!missing) return -1;
        Ref eq(lookup_optional(self, N_eq, &missing));
        if (!eq && missing) eq.reset(lookup_optional(self, N_cmp, &missing));
        if (!eq) return missing ? _Zv_HashPointer(self) : -1;
        ZvErr_SetString(ZvExc_TypeError, "unhashable instance");
        return -1;
    }
    Ref res(ZvObject_CallObject(m.get(), nullptr));
    if (!res) return -1;
    if (!ZvInt_Check(res.get())) {
        ZvErr_SetString(ZvExc_TypeError, "__hash__() should return an int");
        return -1;
    }
    Zv_hash_t h = ZvInt_AS_LONG(res.get());
    return h == -1 ? -2 : h;
}

ZvObject *_ZvInstance_Call(ZvObject *self, ZvObject *args, ZvObject *kw)
{
    bool missing;
    Ref m(lookup_optional(self, N_call, &missing));
    if (!m) {
        if (missing)
            ZvErr_Format(ZvExc_AttributeError, "%.200s instance has no __call__ method",
                         class_name_text(self));
        return nullptr;
    }
    /* __call__ may be another instance whose __call__ is this one. */
    if (Zv_EnterRecursiveCall(" in __call__")) return nullptr;
    ZvObject *res = ZvObject_Call(m.get(), args, kw);
    Zv_LeaveRecursiveCall();
    return res;
}

/* Three-way comparison: -1/0/1, -2 on error, 2 when neither operand's
 * __cmp__ decides (the generic comparison then uses its default order). */
int _ZvInstance_Compare(ZvObject *v, ZvObject *w)
{
    int c = ZvNumber_CoerceEx(&v, &w);
    if (c < 0) return -2;
    /* After a successful coercion v and w are new references. */
    Ref hold_v(c == 0 ? v : nullptr), hold_w(c == 0 ? w : nullptr);
    if (c == 0 && !ZvInstance_Check(v) && !ZvInstance_Check(w)) {
        int r = ZvObject_Compare(v, w);
        if (ZvErr_Occurred()) return -2;
        return r < 0 ? -1 : r > 0 ? 1 : 0;
    }
    if (ZvInstance_Check(v)) {
        int r = half_cmp(v, w);
        if (r != 2) return r;
    }
    if (ZvInstance_Check(w)) {
        int r = half_cmp(w, v);
        if (r != 2) return r == -2 ? r : -r;
    }
    return 2;
}

ZvObject *_ZvInstance_RichCompare(ZvObject *v, ZvObject *w, int op)
{
    if (ZvInstance_Check(v)) {
        ZvObject *res = half_richcompare(v, w, op);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    if (ZvInstance_Check(w)) {
        ZvObject *res = half_richcompare(w, v, _Zv_SwappedOp[op]);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    return not_implemented();
}

/* __iter__, whose result must be an iterator; else a sequence iterator
 * when the instance has __getitem__. */
ZvObject *_ZvInstance_Iter(ZvObject *self)
{
    bool missing;
    Ref m(lookup_optional(self, N_iter, &missing));
    if (m) {
        ZvObject *res = ZvObject_CallObject(m.get(), nullptr);
        if (res != nullptr && !ZvIter_Check(res)) {
            ZvErr_Format(ZvExc_TypeError, "__iter__ returned non-iterator of type '%.100s'",
                         Zv_TYPE(res)->tp_name);
            Zv_DECREF(res);
            return nullptr;
        }
        return res;
    }
    if (!missing) return nullptr;
    Ref getitem(lookup_optional(self, N_getitem, &missing));
    if (!getitem) {
        if (missing) ZvErr_SetString(ZvExc_TypeError, "iteration over non-sequence");
        return nullptr;
    }
    return ZvSeqIter_New(self);
}

/* next(); StopIteration ends the iteration without an error. */
ZvObject *_ZvInstance_Next(ZvObject *self)
{
    bool missing;
    Ref m(lookup_optional(self, N_next, &missing));
    if (!m) {
        if (missing) ZvErr_SetString(ZvExc_TypeError, "instance has no next() method");
        return nullptr;
    }
    ZvObject *res = ZvObject_CallObject(m.get(), nullptr);
    if (res == nullptr && ZvErr_ExceptionMatches(ZvExc_StopIteration)) ZvErr_Clear();
    return res;
}

ZvNumberMethods _ZvInstance_AsNumber = {
    binary<N_add, N_radd, ZvNumber_Add>,                     /* nb_add */
    binary<N_sub, N_rsub, ZvNumber_Subtract>,                /* nb_subtract */
    binary<N_mul, N_rmul, ZvNumber_Multiply>,                /* nb_multiply */
    binary<N_div, N_rdiv, ZvNumber_Divide>,                  /* nb_divide */
    binary<N_mod, N_rmod, ZvNumber_Remainder>,               /* nb_remainder */
    binary<N_divmod, N_rdivmod, ZvNumber_Divmod>,            /* nb_divmod */
    instance_pow,                                            /* nb_power */
    unary<N_neg>,                                            /* nb_negative */
    unary<N_pos>,                                            /* nb_positive */
    unary<N_abs>,                                            /* nb_absolute */
    instance_nonzero,                                        /* nb_nonzero */
    unary<N_invert>,                                         /* nb_invert */
    binary<N_lshift, N_rlshift, ZvNumber_Lshift>,            /* nb_lshift */
    binary<N_rshift, N_rrshift, ZvNumber_Rshift>,            /* nb_rshift */
    binary<N_and_, N_rand, ZvNumber_And>,                    /* nb_and */
    binary<N_xor_, N_rxor, ZvNumber_Xor>,                    /* nb_xor */
    binary<N_or_, N_ror, ZvNumber_Or>,                       /* nb_or */
    instance_coerce,                                         /* nb_coerce */
    unary<N_int_>,                                           /* nb_int */
    unary<N_long_>,                                          /* nb_long */
    unary<N_float_>,                                         /* nb_float */
    unary<N_oct>,                                            /* nb_oct */
    unary<N_hex>,                                            /* nb_hex */
    inplace<N_iadd, ZvNumber_InPlaceAdd>,                    /* nb_inplace_add */
    inplace<N_isub, ZvNumber_InPlaceSubtract>,               /* nb_inplace_subtract */
    inplace<N_imul, ZvNumber_InPlaceMultiply>,               /* nb_inplace_multiply */
    inplace<N_idiv, ZvNumber_InPlaceDivide>,                 /* nb_inplace_divide */
    inplace<N_imod, ZvNumber_InPlaceRemainder>,              /* nb_inplace_remainder */
    instance_ipow,                                           /* nb_inplace_power */
    inplace<N_ilshift, ZvNumber_InPlaceLshift>,              /* nb_inplace_lshift */
    inplace<N_irshift, ZvNumber_InPlaceRshift>,              /* nb_inplace_rshift */
    inplace<N_iand, ZvNumber_InPlaceAnd>,                    /* nb_inplace_and */
    inplace<N_ixor, ZvNumber_InPlaceXor>,                    /* nb_inplace_xor */
    inplace<N_ior, ZvNumber_InPlaceOr>,                      /* nb_inplace_or */
    binary<N_floordiv, N_rfloordiv, ZvNumber_FloorDivide>,   /* nb_floor_divide */
    binary<N_truediv, N_rtruediv, ZvNumber_TrueDivide>,      /* nb_true_divide */
    inplace<N_ifloordiv, ZvNumber_InPlaceFloorDivide>,       /* nb_inplace_floor_divide */
    inplace<N_itruediv, ZvNumber_InPlaceTrueDivide>,         /* nb_inplace_true_divide */
};

ZvSequenceMethods _ZvInstance_AsSequence = {
    instance_length,    /* sq_length */
    nullptr,            /* sq_concat */
    nullptr,            /* sq_repeat */
    instance_item,      /* sq_item */
    instance_slice,     /* sq_slice */
    instance_ass_item,  /* sq_ass_item */
    instance_ass_slice, /* sq_ass_slice */
    instance_contains,  /* sq_contains */
    nullptr,            /* sq_inplace_concat */
    nullptr,            /* sq_inplace_repeat */
};

ZvMappingMethods _ZvInstance_AsMapping = {
    instance_length,        /* mp_length */
    instance_subscript,     /* mp_subscript */
    instance_ass_subscript, /* mp_ass_subscript */
};

} // extern "C"
