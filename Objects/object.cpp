/* The generic object protocol: creation, reference counting helpers,
 * representation and printing, comparison (three-way and rich), coercion,
 * hashing, attribute access, truth, callability, dir(), the None and
 * NotImplemented singletons, start-up readying and the trashcan.
 *
 * Comparison is the subtle part.  Rich comparison asks the operands' rich
 * slots (a subtype's reflected slot first), three-way comparison asks
 * tp_compare (after numeric coercion when the types differ), and when
 * neither decides, the default ordering is total: same type by address,
 * None first, numbers before everything else, then by type name and
 * finally by type address.  tp_compare results are normalized to -1/0/1,
 * or -2 for an error, before anyone acts on them. */
#include "typeobject_internal.h"

#include <math.h>
#include <string.h>

#include "zvref.h"

namespace {

richcmpfunc rich_slot(ZvTypeObject *t)
{
    return ZvType_HasFeature(t, Zv_TPFLAGS_HAVE_RICHCOMPARE) ? t->tp_richcompare : nullptr;
}

/* --- printing ---------------------------------------------------------------- */

/* Nesting counts the str/repr fallbacks taken for types that cannot print
 * themselves; a chain of more than ten means the forms never settle. */
int internal_print(ZvObject *op, FILE *fp, int flags, int nesting)
{
    if (nesting > 10) {
        ZvErr_SetString(ZvExc_RuntimeError, "print recursion");
        return -1;
    }
    if (ZvErr_CheckSignals() != 0) return -1;
    clearerr(fp);
    int ret = 0;
    if (op == nullptr) {
        fprintf(fp, "<nil>");
    } else if (op->ob_refcnt <= 0) {
        /* A dead object (a refcount bug): say so instead of touching it. */
        fprintf(fp, "<refcnt %u at %p>", (unsigned)op->ob_refcnt, (void *)op);
    } else if (Zv_TYPE(op)->tp_print != nullptr) {
        ret = Zv_TYPE(op)->tp_print(op, fp, flags);
    } else {
        zv::Ref s((flags & Zv_PRINT_RAW) ? ZvObject_Str(op) : ZvObject_Repr(op));
        ret = s ? internal_print(s.get(), fp, Zv_PRINT_RAW, nesting + 1) : -1;
    }
    if (ret == 0 && ferror(fp)) {
        ZvErr_SetFromErrno(ZvExc_IOError);
        clearerr(fp);
        ret = -1;
    }
    return ret;
}

/* --- comparison helpers ---------------------------------------------------------- */

/* Brings a tp_compare result to -1, 0, 1, or -2 for an error.  Any pending
 * error makes the result -2: a slot that reports an error with -1 must not
 * have that -1 read as "less than" (that would turn a failure into an
 * ordering, or, negated for a reflected call, into "greater"). */
int adjust_tp_compare(int c)
{
    if (ZvErr_Occurred() != nullptr) {
        if (c != -1 && c != -2) {
            ZvObject *t, *v, *tb;
            ZvErr_Fetch(&t, &v, &tb);
            if (ZvErr_Warn(ZvExc_RuntimeWarning,
                           "tp_compare didn't return -1 or -2 for exception") < 0) {
                Zv_XDECREF(t);
                Zv_XDECREF(v);
                Zv_XDECREF(tb);
            } else {
                ZvErr_Restore(t, v, tb);
            }
        }
        return -2;
    }
    if (c < -1 || c > 1) {
        if (ZvErr_Warn(ZvExc_RuntimeWarning, "tp_compare didn't return -1, 0 or 1") < 0) return -2;
        return c < -1 ? -1 : 1;
    }
    return c;
}

ZvObject *convert_3way_to_object(int op, int c)
{
    bool b = false;
    switch (op) {
    case Zv_LT: b = c < 0; break;
    case Zv_LE: b = c <= 0; break;
    case Zv_EQ: b = c == 0; break;
    case Zv_NE: b = c != 0; break;
    case Zv_GT: b = c > 0; break;
    case Zv_GE: b = c >= 0; break;
    }
    ZvObject *r = b ? Zv_True : Zv_False;
    Zv_INCREF(r);
    return r;
}

/* Rich comparison by the operands' slots: a proper subtype's reflected slot
 * goes first so that subclasses can override their base's comparison.
 * Returns a new reference (possibly NotImplemented) or NULL. */
ZvObject *try_rich_compare(ZvObject *v, ZvObject *w, int op)
{
    richcmpfunc f;
    if (Zv_TYPE(v) != Zv_TYPE(w) && ZvType_IsSubtype(Zv_TYPE(w), Zv_TYPE(v)) &&
        (f = rich_slot(Zv_TYPE(w))) != nullptr) {
        ZvObject *res = f(w, v, _Zv_SwappedOp[op]);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    if ((f = rich_slot(Zv_TYPE(v))) != nullptr) {
        ZvObject *res = f(v, w, op);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    if ((f = rich_slot(Zv_TYPE(w))) != nullptr) return f(w, v, _Zv_SwappedOp[op]);
    Zv_RETURN_NOTIMPLEMENTED;
}

/* Three-way comparison by tp_compare: -1/0/1, -2 for an error, 2 when no
 * slot decides.  (Classic instances, which decide for either side, join
 * this when they exist.) */
int try_3way_compare(ZvObject *v, ZvObject *w)
{
    cmpfunc f = Zv_TYPE(v)->tp_compare;
    if (f != nullptr && f == Zv_TYPE(w)->tp_compare) return adjust_tp_compare(f(v, w));
    /* A class with __cmp__ on either side: its slot asks both operands'
     * methods in turn and settles by address, so no coercion is tried. */
    if (f == _ZvObject_SlotCompare || Zv_TYPE(w)->tp_compare == _ZvObject_SlotCompare)
        return _ZvObject_SlotCompare(v, w);
    int c = ZvNumber_CoerceEx(&v, &w); /* on success v and w are new references */
    if (c < 0) return -2;
    if (c > 0) return 2;
    if ((f = Zv_TYPE(v)->tp_compare) != nullptr) {
        c = f(v, w);
        Zv_DECREF(v);
        Zv_DECREF(w);
        return adjust_tp_compare(c);
    }
    if ((f = Zv_TYPE(w)->tp_compare) != nullptr) {
        c = f(w, v);
        Zv_DECREF(v);
        Zv_DECREF(w);
        c = adjust_tp_compare(c);
        return c >= -1 ? -c : c;
    }
    Zv_DECREF(v);
    Zv_DECREF(w);
    return 2;
}

/* The total default ordering; never undecided, 0 only for one object.
 * (Unicode objects get their own comparison here once they exist.) */
int default_3way_compare(ZvObject *v, ZvObject *w)
{
    if (Zv_TYPE(v) == Zv_TYPE(w)) {
        uintptr_t vv = (uintptr_t)v, ww = (uintptr_t)w;
        return (vv < ww) ? -1 : (vv > ww) ? 1 : 0;
    }
    if (v == Zv_None) return -1;
    if (w == Zv_None) return 1;
    /* Numbers get the empty name so that they sort before other types. */
    const char *vname = ZvNumber_Check(v) ? "" : Zv_TYPE(v)->tp_name;
    const char *wname = ZvNumber_Check(w) ? "" : Zv_TYPE(w)->tp_name;
    int c = strcmp(vname, wname);
    if (c < 0) return -1;
    if (c > 0) return 1;
    return ((uintptr_t)Zv_TYPE(v) < (uintptr_t)Zv_TYPE(w)) ? -1 : 1;
}

/* Truth of a rich-comparison result for the three-way protocol: 1, 0 or
 * -1 on error; the common singletons are recognised without a call. */
int rich_result_truth(ZvObject *res)
{
    if (res == Zv_True) return 1;
    if (res == Zv_False || res == Zv_None) return 0;
    return ZvObject_IsTrue(res);
}

/* --- hashing helpers ---------------------------------------------------------- */

/* The hash of the long integer equal to the integral double x (|x| at least
 * 2**31): its 15-bit digits, most significant first, each folded in after
 * a 15-bit rotation of the 32-bit accumulator, the sign applied last.  This
 * is the long type's hash, computed without building the long. */
Zv_hash_t hash_integral_double(double x)
{
    bool negative = x < 0;
    double m = fabs(x);
    int e;
    m = frexp(m, &e); /* x = m * 2**e, 0.5 <= m < 1, e >= 32 */
    int ndig = (e - 1) / 15 + 1;
    m = ldexp(m, (e - 1) % 15 + 1);
    uint32_t h = 0;
    for (int i = 0; i < ndig; i++) {
        uint32_t d = (uint32_t)m;
        m -= d;
        m = ldexp(m, 15);
        h = ((h << 15) | (h >> 17)) + d;
    }
    if (negative) h = 0u - h;
    auto r = (Zv_hash_t)h;
    return r == -1 ? -2 : r;
}

/* --- dir() helpers ------------------------------------------------------------- */

/* An attribute, or NULL with the lookup's error cleared: dir() lists what
 * it can find and skips what an object does not offer. */
ZvObject *attr_or_null(ZvObject *o, const char *name)
{
    ZvObject *r = ZvObject_GetAttrString(o, name);
    if (r == nullptr) ZvErr_Clear();
    return r;
}

int merge_class_dict(ZvObject *dict, ZvObject *aclass);

/* The class's __dict__ (any mapping: a type's is a read-only proxy), then
 * each entry of its __bases__, taken as a sequence. */
int merge_class_dict_body(ZvObject *dict, ZvObject *aclass)
{
    zv::Ref classdict(attr_or_null(aclass, "__dict__"));
    if (classdict && ZvDict_Update(dict, classdict.get()) < 0) return -1;
    zv::Ref bases(attr_or_null(aclass, "__bases__"));
    if (!bases) return 0;
    int n = ZvSequence_Size(bases.get());
    if (n < 0) {
        ZvErr_Clear(); /* not a sequence: no bases to merge */
        return 0;
    }
    for (int i = 0; i < n; i++) {
        zv::Ref base(ZvSequence_GetItem(bases.get(), i));
        if (!base || merge_class_dict(dict, base.get()) < 0) return -1;
    }
    return 0;
}

/* Merges a class and its bases, depth first.  Both come from attributes,
 * so types, classic classes and objects posing as classes are treated
 * alike; an object whose __bases__ lead back to itself ends at the
 * recursion limit instead of the native stack's. */
int merge_class_dict(ZvObject *dict, ZvObject *aclass)
{
    if (Zv_EnterRecursiveCall(" in dir()")) return -1;
    int ret = merge_class_dict_body(dict, aclass);
    Zv_LeaveRecursiveCall();
    return ret;
}

/* Adds the string entries of the list attribute `attrname` as keys.  Each
 * entry is held while it is stored: hashing it can run code that empties
 * the list. */
int merge_list_attr(ZvObject *dict, ZvObject *obj, const char *attrname)
{
    zv::Ref list(attr_or_null(obj, attrname));
    if (!list || !ZvList_Check(list.get())) return 0;
    for (int i = 0; i < ZvList_GET_SIZE(list.get()); i++) {
        zv::Ref item = zv::Ref::borrow(ZvList_GET_ITEM(list.get(), i));
        if (ZvString_Check(item.get()) && ZvDict_SetItem(dict, item.get(), Zv_None) < 0) return -1;
    }
    return 0;
}

/* The names dir() shows for a module: its own dictionary, nothing else. */
ZvObject *module_dir_dict(ZvObject *module)
{
    ZvObject *dict = ZvObject_GetAttrString(module, "__dict__");
    if (dict == nullptr) return nullptr;
    if (!ZvDict_Check(dict)) {
        Zv_DECREF(dict);
        ZvErr_SetString(ZvExc_TypeError, "module.__dict__ is not a dictionary");
        return nullptr;
    }
    return dict;
}

/* The names dir() shows for an object that is neither a module nor a
 * class: its own dictionary, the names it lists in __members__ and
 * __methods__, and everything its class offers. */
ZvObject *instance_dir_dict(ZvObject *arg)
{
    zv::Ref own(attr_or_null(arg, "__dict__"));
    zv::Ref dict(own && ZvDict_Check(own.get()) ? ZvDict_Copy(own.get()) : ZvDict_New());
    if (!dict) return nullptr;
    if (merge_list_attr(dict.get(), arg, "__members__") < 0) return nullptr;
    if (merge_list_attr(dict.get(), arg, "__methods__") < 0) return nullptr;
    zv::Ref itsclass(attr_or_null(arg, "__class__"));
    if (itsclass && merge_class_dict(dict.get(), itsclass.get()) < 0) return nullptr;
    return dict.release();
}

/* The dictionary whose keys dir(arg) lists. */
ZvObject *dir_dict(ZvObject *arg)
{
    if (ZvModule_Check(arg)) return module_dir_dict(arg);
    if (ZvType_Check(arg)) {
        zv::Ref dict(ZvDict_New());
        if (!dict || merge_class_dict(dict.get(), arg) < 0) return nullptr;
        return dict.release();
    }
    return instance_dir_dict(arg);
}

} // namespace

extern "C" {

int _Zv_SwappedOp[] = {Zv_GT, Zv_GE, Zv_EQ, Zv_NE, Zv_LT, Zv_LE};

void Zv_IncRef(ZvObject *o) { Zv_XINCREF(o); }
void Zv_DecRef(ZvObject *o) { Zv_XDECREF(o); }

/* --- creation ---------------------------------------------------------------- */

ZvObject *ZvObject_Init(ZvObject *op, ZvTypeObject *tp)
{
    if (op == nullptr) return ZvErr_NoMemory();
    op->ob_type = tp;
    op->ob_refcnt = 1;
    return op;
}

ZvVarObject *ZvObject_InitVar(ZvVarObject *op, ZvTypeObject *tp, int size)
{
    if (op == nullptr) return (ZvVarObject *)ZvErr_NoMemory();
    op->ob_size = size;
    op->ob_type = tp;
    op->ob_refcnt = 1;
    return op;
}

ZvObject *_ZvObject_New(ZvTypeObject *tp)
{
    ZvObject *op = (ZvObject *)ZvObject_Malloc((size_t)tp->tp_basicsize);
    if (op == nullptr) return ZvErr_NoMemory();
    return ZvObject_Init(op, tp);
}

ZvVarObject *_ZvObject_NewVar(ZvTypeObject *tp, int n)
{
    if (n < 0 || (tp->tp_itemsize && (size_t)n > (INT32_MAX - (size_t)tp->tp_basicsize) /
                                                     (size_t)tp->tp_itemsize))
        return (ZvVarObject *)ZvErr_NoMemory();
    ZvVarObject *op = (ZvVarObject *)ZvObject_Malloc(_ZvObject_VAR_SIZE(tp, n));
    if (op == nullptr) return (ZvVarObject *)ZvErr_NoMemory();
    return ZvObject_InitVar(op, tp, n);
}

void _ZvObject_Del(ZvObject *op) { ZvObject_Free(op); }

/* --- representation ---------------------------------------------------------- */

int ZvObject_Print(ZvObject *op, FILE *fp, int flags)
{
    if (fp == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return internal_print(op, fp, flags, 0);
}

void _ZvObject_Dump(ZvObject *op)
{
    if (op == nullptr) {
        fprintf(stderr, "NULL\n");
        return;
    }
    fprintf(stderr, "object  : ");
    if (ZvObject_Print(op, stderr, 0) != 0) ZvErr_Clear();
    fprintf(stderr, "\ntype    : %s\nrefcount: %d\naddress : %p\n",
            Zv_TYPE(op) == nullptr ? "NULL" : Zv_TYPE(op)->tp_name, op->ob_refcnt, (void *)op);
}

ZvObject *ZvObject_Repr(ZvObject *v)
{
    if (ZvErr_CheckSignals() != 0) return nullptr;
    if (v == nullptr) return ZvString_FromString("<NULL>");
    if (Zv_TYPE(v)->tp_repr == nullptr)
        return ZvString_FromFormat("<%s object at %p>", Zv_TYPE(v)->tp_name, (void *)v);
    ZvObject *res = (*Zv_TYPE(v)->tp_repr)(v);
    if (res == nullptr) return nullptr;
    if (!ZvString_Check(res)) {
        ZvErr_Format(ZvExc_TypeError, "__repr__ returned non-string (type %.200s)",
                     Zv_TYPE(res)->tp_name);
        Zv_DECREF(res);
        return nullptr;
    }
    return res;
}

ZvObject *ZvObject_Str(ZvObject *v)
{
    if (v == nullptr) return ZvString_FromString("<NULL>");
    if (ZvString_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    if (Zv_TYPE(v)->tp_str == nullptr) return ZvObject_Repr(v);
    ZvObject *res = (*Zv_TYPE(v)->tp_str)(v);
    if (res == nullptr) return nullptr;
    if (!ZvString_Check(res)) {
        ZvErr_Format(ZvExc_TypeError, "__str__ returned non-string (type %.200s)",
                     Zv_TYPE(res)->tp_name);
        Zv_DECREF(res);
        return nullptr;
    }
    return res;
}

/* The unicode form.  The unicode type does not exist yet, so the text is
 * computed exactly as it will be (__unicode__, else str, else repr) and
 * decoded with the default encoding, ASCII, strictly; it is returned as an
 * exact str holding the same characters. */
ZvObject *ZvObject_Unicode(ZvObject *v)
{
    if (v == nullptr) return ZvString_FromString("<NULL>");
    zv::Ref res;
    if (ZvString_Check(v)) {
        res = zv::Ref::borrow(v);
    } else {
        /* Interned once and kept: the name is looked up on every call. */
        static ZvObject *unicodestr = nullptr;
        if (unicodestr == nullptr &&
            (unicodestr = ZvString_InternFromString("__unicode__")) == nullptr)
            return nullptr;
        zv::Ref func(ZvObject_GetAttr(v, unicodestr));
        if (func) {
            res.reset(ZvObject_CallObject(func.get(), nullptr));
        } else {
            ZvErr_Clear();
            res.reset(Zv_TYPE(v)->tp_str ? Zv_TYPE(v)->tp_str(v) : ZvObject_Repr(v));
        }
        if (!res) return nullptr;
    }
    if (!ZvString_Check(res.get())) {
        ZvErr_Format(ZvExc_TypeError, "coercing to Unicode: need string or buffer, %.80s found",
                     Zv_TYPE(res.get())->tp_name);
        return nullptr;
    }
    const auto *s = (const unsigned char *)ZvString_AS_STRING(res.get());
    int n = ZvString_GET_SIZE(res.get());
    for (int i = 0; i < n; i++) {
        if (s[i] >= 128) {
            ZvErr_Format(ZvExc_UnicodeDecodeError,
                         "'ascii' codec can't decode byte 0x%02x in position %d: ordinal not in "
                         "range(128)",
                         (int)s[i], i);
            return nullptr;
        }
    }
    if (ZvString_CheckExact(res.get())) return res.release();
    return ZvString_FromStringAndSize((const char *)s, n);
}

/* Objects being represented on this thread sit in a list in the thread
 * state dictionary, so a container that contains itself can show "...". */
static ZvObject *repr_list(bool create)
{
    ZvObject *dict = ZvThreadState_GetDict();
    if (dict == nullptr) return nullptr;
    ZvObject *list = ZvDict_GetItemString(dict, "Zv_Repr");
    if (list == nullptr && create) {
        list = ZvList_New(0);
        if (list == nullptr) return nullptr;
        int err = ZvDict_SetItemString(dict, "Zv_Repr", list);
        Zv_DECREF(list);
        if (err < 0) return nullptr;
    }
    return list;
}

int Zv_ReprEnter(ZvObject *obj)
{
    if (ZvThreadState_GetDict() == nullptr) return 0;
    ZvObject *list = repr_list(true);
    if (list == nullptr) return -1;
    if (!ZvList_Check(list)) return 0;
    for (int i = ZvList_GET_SIZE(list); --i >= 0;)
        if (ZvList_GET_ITEM(list, i) == obj) return 1;
    return ZvList_Append(list, obj) < 0 ? -1 : 0;
}

void Zv_ReprLeave(ZvObject *obj)
{
    ZvObject *list = repr_list(false);
    if (list == nullptr || !ZvList_Check(list)) return;
    for (int i = ZvList_GET_SIZE(list); --i >= 0;) {
        if (ZvList_GET_ITEM(list, i) == obj) {
            /* Deleting one item of a list cannot fail for lack of memory
             * (it only shrinks); any error is not ours to report. */
            if (ZvList_SetSlice(list, i, i + 1, nullptr) < 0) ZvErr_Clear();
            break;
        }
    }
}

/* --- hashing ------------------------------------------------------------------ */

Zv_hash_t _Zv_HashPointer(void *p) { return (Zv_hash_t)(intptr_t)p; }

Zv_hash_t _Zv_HashDouble(double v)
{
    /* A NaN has no integer part and equals nothing, not even itself, so
     * any fixed hash is consistent; converting it to an integer is not. */
    if (isnan(v)) return 0;
    double intpart;
    double fractpart = modf(v, &intpart);
    if (fractpart == 0.0) {
        if (intpart > 2147483647.0 || intpart < -2147483647.0) {
            if (isinf(intpart)) return v < 0 ? -271828 : 314159;
            return hash_integral_double(intpart);
        }
        auto x = (Zv_hash_t)intpart;
        return x == -1 ? -2 : x;
    }
    int expo;
    v = frexp(v, &expo);
    v *= 2147483648.0;             /* 2**31 */
    auto hipart = (int32_t)v;      /* the top 31 bits */
    v = (v - (double)hipart) * 2147483648.0; /* the next 31 */
    uint32_t x = (uint32_t)hipart + (uint32_t)(int32_t)v + ((uint32_t)expo << 15);
    auto r = (Zv_hash_t)x;
    return r == -1 ? -2 : r;
}

Zv_hash_t ZvObject_Hash(ZvObject *v)
{
    if (v == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    ZvTypeObject *tp = Zv_TYPE(v);
    if (tp->tp_hash != nullptr) return (*tp->tp_hash)(v);
    if (tp->tp_compare == nullptr && rich_slot(tp) == nullptr) return _Zv_HashPointer(v);
    ZvErr_SetString(ZvExc_TypeError, "unhashable type");
    return -1;
}

/* --- comparison ------------------------------------------------------------------ */

int ZvObject_Compare(ZvObject *v, ZvObject *w)
{
    if (v == nullptr || w == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (v == w) return 0;
    if (Zv_EnterRecursiveCall(" in cmp")) return -1;
    int result = 2;
    ZvTypeObject *vtp = Zv_TYPE(v);
    if (vtp == Zv_TYPE(w) && vtp->tp_compare != nullptr) {
        result = adjust_tp_compare(vtp->tp_compare(v, w));
    } else if (rich_slot(vtp) != nullptr || rich_slot(Zv_TYPE(w)) != nullptr) {
        static const int tries[3][2] = {{Zv_EQ, 0}, {Zv_LT, -1}, {Zv_GT, 1}};
        for (const auto &t : tries) {
            ZvObject *res = try_rich_compare(v, w, t[0]);
            if (res == nullptr) {
                result = -1;
                break;
            }
            if (res == Zv_NotImplemented) {
                Zv_DECREF(res);
                continue;
            }
            int ok = rich_result_truth(res);
            Zv_DECREF(res);
            if (ok < 0 || ok) {
                result = ok < 0 ? -1 : t[1];
                break;
            }
        }
    }
    if (result == 2) {
        result = try_3way_compare(v, w);
        if (result == 2) result = default_3way_compare(v, w);
    }
    Zv_LeaveRecursiveCall();
    return result < -1 ? -1 : result;
}

ZvObject *ZvObject_RichCompare(ZvObject *v, ZvObject *w, int op)
{
    if (v == nullptr || w == nullptr || op < Zv_LT || op > Zv_GE) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (Zv_EnterRecursiveCall(" in cmp")) return nullptr;
    ZvObject *res = nullptr;
    if (Zv_TYPE(v) == Zv_TYPE(w)) {
        /* The same-type fast path: one slot call in the common case. */
        richcmpfunc f = rich_slot(Zv_TYPE(v));
        if (f != nullptr) {
            res = f(v, w, op);
            if (res != Zv_NotImplemented) goto done;
            Zv_DECREF(res);
            res = nullptr;
        }
        /* Read again: the rich slot may have assigned __class__ and freed
         * the class read before it. */
        ZvTypeObject *tp = Zv_TYPE(v);
        if (tp == Zv_TYPE(w) && tp->tp_compare != nullptr) {
            int c = adjust_tp_compare(tp->tp_compare(v, w));
            res = c <= -2 ? nullptr : convert_3way_to_object(op, c);
            goto done;
        }
    }
    res = try_rich_compare(v, w, op);
    if (res == nullptr || res != Zv_NotImplemented) goto done;
    Zv_DECREF(res);
    {
        int c = try_3way_compare(v, w);
        if (c == 2) c = default_3way_compare(v, w);
        res = c <= -2 ? nullptr : convert_3way_to_object(op, c);
    }
done:
    Zv_LeaveRecursiveCall();
    return res;
}

int ZvObject_RichCompareBool(ZvObject *v, ZvObject *w, int op)
{
    /* Identity implies equality, whatever the type's slots would say. */
    if (v == w && v != nullptr) {
        if (op == Zv_EQ) return 1;
        if (op == Zv_NE) return 0;
    }
    ZvObject *res = ZvObject_RichCompare(v, w, op);
    if (res == nullptr) return -1;
    int ok = ZvBool_Check(res) ? (res == Zv_True) : ZvObject_IsTrue(res);
    Zv_DECREF(res);
    return ok;
}

int ZvNumber_CoerceEx(ZvObject **pv, ZvObject **pw)
{
    ZvObject *v = *pv, *w = *pw;
    if (Zv_TYPE(v) == Zv_TYPE(w) && !ZvType_HasFeature(Zv_TYPE(v), Zv_TPFLAGS_CHECKTYPES)) {
        Zv_INCREF(v);
        Zv_INCREF(w);
        return 0;
    }
    ZvNumberMethods *nb = Zv_TYPE(v)->tp_as_number;
    if (nb != nullptr && nb->nb_coerce != nullptr) {
        int res = nb->nb_coerce(pv, pw);
        if (res <= 0) return res;
    }
    nb = Zv_TYPE(w)->tp_as_number;
    if (nb != nullptr && nb->nb_coerce != nullptr) {
        int res = nb->nb_coerce(pw, pv);
        if (res <= 0) return res;
    }
    return 1;
}

int ZvNumber_Coerce(ZvObject **pv, ZvObject **pw)
{
    int err = ZvNumber_CoerceEx(pv, pw);
    if (err <= 0) return err;
    ZvErr_SetString(ZvExc_TypeError, "number coercion failed");
    return -1;
}

/* --- attributes ----------------------------------------------------------------- */

/* The object and the name must be given (a NULL is a caller's bug); the
 * name must be a string (unicode names join when unicode exists). */
static bool check_attr_name(ZvObject *v, ZvObject *name)
{
    if (v == nullptr || name == nullptr) {
        ZvErr_BadInternalCall();
        return false;
    }
    if (ZvString_Check(name)) return true;
    ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
    return false;
}

ZvObject *ZvObject_GetAttr(ZvObject *v, ZvObject *name)
{
    if (!check_attr_name(v, name)) return nullptr;
    ZvTypeObject *tp = Zv_TYPE(v);
    if (tp->tp_getattro != nullptr) return (*tp->tp_getattro)(v, name);
    if (tp->tp_getattr != nullptr) return (*tp->tp_getattr)(v, ZvString_AS_STRING(name));
    ZvErr_Format(ZvExc_AttributeError, "'%.50s' object has no attribute '%.400s'", tp->tp_name,
                 ZvString_AS_STRING(name));
    return nullptr;
}

ZvObject *ZvObject_GetAttrString(ZvObject *v, const char *name)
{
    if (v == nullptr || name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (Zv_TYPE(v)->tp_getattr != nullptr) return (*Zv_TYPE(v)->tp_getattr)(v, (char *)name);
    zv::Ref w(ZvString_InternFromString(name));
    if (!w) return nullptr;
    return ZvObject_GetAttr(v, w.get());
}

int ZvObject_HasAttr(ZvObject *v, ZvObject *name)
{
    ZvObject *res = ZvObject_GetAttr(v, name);
    if (res != nullptr) {
        Zv_DECREF(res);
        return 1;
    }
    ZvErr_Clear();
    return 0;
}

int ZvObject_HasAttrString(ZvObject *v, const char *name)
{
    ZvObject *res = ZvObject_GetAttrString(v, name);
    if (res != nullptr) {
        Zv_DECREF(res);
        return 1;
    }
    ZvErr_Clear();
    return 0;
}

int ZvObject_SetAttr(ZvObject *v, ZvObject *name, ZvObject *value)
{
    if (!check_attr_name(v, name)) return -1;
    ZvTypeObject *tp = Zv_TYPE(v);
    Zv_INCREF(name);
    ZvString_InternInPlace(&name);
    zv::Ref held(name);
    if (tp->tp_setattro != nullptr) return (*tp->tp_setattro)(v, name, value);
    if (tp->tp_setattr != nullptr) return (*tp->tp_setattr)(v, ZvString_AS_STRING(name), value);
    const char *verb = value == nullptr ? "del" : "assign to";
    if (tp->tp_getattr == nullptr && tp->tp_getattro == nullptr)
        ZvErr_Format(ZvExc_TypeError, "'%.100s' object has no attributes (%s .%.100s)",
                     tp->tp_name, verb, ZvString_AS_STRING(name));
    else
        ZvErr_Format(ZvExc_TypeError, "'%.100s' object has only read-only attributes (%s .%.100s)",
                     tp->tp_name, verb, ZvString_AS_STRING(name));
    return -1;
}

int ZvObject_SetAttrString(ZvObject *v, const char *name, ZvObject *w)
{
    if (v == nullptr || name == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (Zv_TYPE(v)->tp_setattr != nullptr) return (*Zv_TYPE(v)->tp_setattr)(v, (char *)name, w);
    zv::Ref s(ZvString_InternFromString(name));
    if (!s) return -1;
    return ZvObject_SetAttr(v, s.get(), w);
}

ZvObject **_ZvObject_GetDictPtr(ZvObject *obj)
{
    ZvTypeObject *tp = Zv_TYPE(obj);
    if (!ZvType_HasFeature(tp, Zv_TPFLAGS_HAVE_CLASS)) return nullptr;
    intptr_t off = tp->tp_dictoffset;
    if (off == 0) return nullptr;
    if (off < 0) {
        /* Counted from the end; |ob_size| because longs keep their sign there. */
        int32_t n = Zv_SIZE(obj);
        size_t tsize = _ZvObject_VAR_SIZE(tp, n < 0 ? -(int64_t)n : n);
        off += (intptr_t)tsize;
    }
    return (ZvObject **)((char *)obj + off);
}

ZvObject *ZvObject_SelfIter(ZvObject *obj)
{
    Zv_INCREF(obj);
    return obj;
}

/* Both generic accessors hold their own references to the type, the
 * descriptor and the instance dictionary while they use them: a
 * descriptor's get or set, or a key's comparison during a dictionary
 * lookup, can run code that deletes the class attribute, replaces the
 * instance's __dict__ or assigns its __class__ (dropping the instance's
 * reference to its old class). */
ZvObject *ZvObject_GenericGetAttr(ZvObject *obj, ZvObject *name)
{
    if (!check_attr_name(obj, name)) return nullptr;
    zv::Ref tp_ref = zv::Ref::borrow((ZvObject *)Zv_TYPE(obj));
    auto *tp = (ZvTypeObject *)tp_ref.get();
    if (tp->tp_dict == nullptr && ZvType_Ready(tp) < 0) return nullptr;
    /* Data descriptors on the type win over the instance dictionary, which
     * wins over non-data descriptors and plain class attributes. */
    zv::Ref descr(_ZvType_LookupRef(tp, name));
    descrgetfunc f = nullptr;
    if (descr && ZvType_HasFeature(Zv_TYPE(descr.get()), Zv_TPFLAGS_HAVE_CLASS)) {
        f = Zv_TYPE(descr.get())->tp_descr_get;
        if (f != nullptr && Zv_TYPE(descr.get())->tp_descr_set != nullptr)
            return f(descr.get(), obj, (ZvObject *)tp);
    }
    ZvObject **dictptr = _ZvObject_GetDictPtr(obj);
    if (dictptr != nullptr && *dictptr != nullptr) {
        zv::Ref dict = zv::Ref::borrow(*dictptr);
        ZvObject *res = ZvDict_GetItem(dict.get(), name);
        if (res != nullptr) {
            Zv_INCREF(res);
            return res;
        }
    }
    if (f != nullptr) return f(descr.get(), obj, (ZvObject *)tp);
    if (descr) return descr.release();
    ZvErr_Format(ZvExc_AttributeError, "'%.50s' object has no attribute '%.400s'", tp->tp_name,
                 ZvString_AS_STRING(name));
    return nullptr;
}

int ZvObject_GenericSetAttr(ZvObject *obj, ZvObject *name, ZvObject *value)
{
    if (!check_attr_name(obj, name)) return -1;
    zv::Ref tp_ref = zv::Ref::borrow((ZvObject *)Zv_TYPE(obj));
    auto *tp = (ZvTypeObject *)tp_ref.get();
    if (tp->tp_dict == nullptr && ZvType_Ready(tp) < 0) return -1;
    zv::Ref descr(_ZvType_LookupRef(tp, name));
    if (descr && ZvType_HasFeature(Zv_TYPE(descr.get()), Zv_TPFLAGS_HAVE_CLASS) &&
        Zv_TYPE(descr.get())->tp_descr_set != nullptr)
        return Zv_TYPE(descr.get())->tp_descr_set(descr.get(), obj, value);
    ZvObject **dictptr = _ZvObject_GetDictPtr(obj);
    if (dictptr != nullptr) {
        if (*dictptr == nullptr && value != nullptr) {
            ZvObject *created = ZvDict_New();
            if (created == nullptr) return -1;
            *dictptr = created;
        }
        if (*dictptr != nullptr) {
            zv::Ref dict = zv::Ref::borrow(*dictptr);
            int res = value == nullptr ? ZvDict_DelItem(dict.get(), name)
                                       : ZvDict_SetItem(dict.get(), name, value);
            if (res < 0 && ZvErr_ExceptionMatches(ZvExc_KeyError))
                ZvErr_SetObject(ZvExc_AttributeError, name);
            return res;
        }
    }
    if (!descr)
        ZvErr_Format(ZvExc_AttributeError, "'%.50s' object has no attribute '%.400s'",
                     tp->tp_name, ZvString_AS_STRING(name));
    else
        ZvErr_Format(ZvExc_AttributeError, "'%.50s' object attribute '%.400s' is read-only",
                     tp->tp_name, ZvString_AS_STRING(name));
    return -1;
}

/* --- truth, callability, dir() ------------------------------------------------------ */

int ZvObject_IsTrue(ZvObject *v)
{
    if (v == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (v == Zv_True) return 1;
    if (v == Zv_False || v == Zv_None) return 0;
    ZvTypeObject *tp = Zv_TYPE(v);
    int res;
    if (tp->tp_as_number != nullptr && tp->tp_as_number->nb_nonzero != nullptr)
        res = (*tp->tp_as_number->nb_nonzero)(v);
    else if (tp->tp_as_mapping != nullptr && tp->tp_as_mapping->mp_length != nullptr)
        res = (*tp->tp_as_mapping->mp_length)(v);
    else if (tp->tp_as_sequence != nullptr && tp->tp_as_sequence->sq_length != nullptr)
        res = (*tp->tp_as_sequence->sq_length)(v);
    else
        return 1;
    return (res > 0) ? 1 : res;
}

int ZvObject_Not(ZvObject *v)
{
    int res = ZvObject_IsTrue(v);
    return res < 0 ? res : res == 0;
}

/* Classic instances (callable when they have __call__) join this test
 * when they exist. */
int ZvCallable_Check(ZvObject *x)
{
    if (x == nullptr) return 0;
    return Zv_TYPE(x)->tp_call != nullptr;
}

ZvObject *ZvObject_Dir(ZvObject *arg)
{
    zv::Ref keys;
    if (arg == nullptr) {
        ZvObject *locals = ZvEval_GetLocals();
        if (locals == nullptr) {
            if (!ZvErr_Occurred()) ZvErr_SetString(ZvExc_SystemError, "frame does not exist");
            return nullptr;
        }
        /* Locals may be any mapping: ask it for its keys. */
        keys.reset(ZvObject_CallMethod(locals, "keys", nullptr));
    } else {
        zv::Ref dict(dir_dict(arg));
        if (!dict) return nullptr;
        keys.reset(ZvDict_Keys(dict.get()));
    }
    if (!keys) return nullptr;
    if (!ZvList_Check(keys.get())) {
        ZvErr_SetString(ZvExc_TypeError, "Expected keys() to be a list.");
        return nullptr;
    }
    if (ZvList_Sort(keys.get()) < 0) return nullptr;
    return keys.release();
}

/* --- None and NotImplemented ------------------------------------------------------- */

static ZvObject *none_repr(ZvObject *) { return ZvString_FromString("None"); }
static ZvObject *notimplemented_repr(ZvObject *) { return ZvString_FromString("NotImplemented"); }

/* The singletons are never freed; reaching their deallocator means a
 * reference count went wrong somewhere. */
static void none_dealloc(ZvObject *) { Zv_FatalError("deallocating None"); }

ZvTypeObject ZvNone_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "NoneType", 0, 0,
    none_dealloc, nullptr, nullptr, nullptr, nullptr, none_repr,
};

ZvObject _Zv_NoneStruct = {1, &ZvNone_Type};

ZvTypeObject ZvNotImplemented_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "NotImplementedType", 0, 0,
    none_dealloc, nullptr, nullptr, nullptr, nullptr, notimplemented_repr,
};

ZvObject _Zv_NotImplementedStruct = {1, &ZvNotImplemented_Type};

/* The weak reference type is readied between 'type' and 'bool' once it
 * exists ("Can't initialize 'weakref'"). */
void _Zv_ReadyTypes(void)
{
    if (ZvType_Ready(&ZvType_Type) < 0) Zv_FatalError("Can't initialize 'type'");
    if (ZvType_Ready(&ZvBool_Type) < 0) Zv_FatalError("Can't initialize 'bool'");
    if (ZvType_Ready(&ZvString_Type) < 0) Zv_FatalError("Can't initialize 'str'");
    if (ZvType_Ready(&ZvList_Type) < 0) Zv_FatalError("Can't initialize 'list'");
    if (ZvType_Ready(&ZvNone_Type) < 0) Zv_FatalError("Can't initialize type(None)");
    if (ZvType_Ready(&ZvNotImplemented_Type) < 0)
        Zv_FatalError("Can't initialize type(NotImplemented)");
}

/* --- trashcan -------------------------------------------------------------------- */

int _ZvTrash_delete_nesting = 0;
ZvObject *_ZvTrash_delete_later = nullptr;

/* Parked objects are chained through the gc_prev word of their collector
 * header.  That word is free only while the object is in no generation
 * list, so an object still tracked is untracked first (its deallocator
 * untracks again later, harmlessly); an object without the header has no
 * such word and cannot be parked at all. */
void _ZvTrash_deposit_object(ZvObject *op)
{
    if (!ZvType_HasFeature(Zv_TYPE(op), Zv_TPFLAGS_HAVE_GC))
        Zv_FatalError("_ZvTrash_deposit_object: object has no collector header");
    if (_ZvGC_IS_TRACKED(op)) ZvObject_GC_UnTrack(op);
    _Zv_AS_GC(op)->gc.gc_prev = (ZvGC_Head *)_ZvTrash_delete_later;
    _ZvTrash_delete_later = op;
}

/* Runs the postponed deallocations one at a time, each unlinked before its
 * deallocator runs; the raised nesting keeps those deallocators from
 * draining the list recursively, so the native stack stays bounded. */
void _ZvTrash_destroy_chain(void)
{
    while (_ZvTrash_delete_later != nullptr) {
        ZvObject *op = _ZvTrash_delete_later;
        _ZvTrash_delete_later = (ZvObject *)_Zv_AS_GC(op)->gc.gc_prev;
        ++_ZvTrash_delete_nesting;
        (*Zv_TYPE(op)->tp_dealloc)(op);
        --_ZvTrash_delete_nesting;
    }
}

} // extern "C"
