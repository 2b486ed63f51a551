/* The generic object protocol: creation, reference counting helpers,
 * representation, comparison, hashing, attribute access and truth, plus
 * the None and NotImplemented singletons and the trashcan.
 *
 * This is the core every type builds on; the remaining protocol pieces
 * (printing, dir(), the full three-way comparison rules) grow here. */
#include "zuvo.h"

#include <string.h>

extern "C" {

int _Zv_SwappedOp[] = {Zv_GT, Zv_GE, Zv_EQ, Zv_NE, Zv_LT, Zv_LE};

void Zv_IncRef(ZvObject *o) { Zv_XINCREF(o); }
void Zv_DecRef(ZvObject *o) { Zv_XDECREF(o); }

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

/* --- representation ----------------------------------------------------- */

ZvObject *ZvObject_Repr(ZvObject *v)
{
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
            ZvList_SetSlice(list, i, i + 1, nullptr);
            break;
        }
    }
}

/* --- hashing ------------------------------------------------------------- */

Zv_hash_t _Zv_HashPointer(void *p) { return (Zv_hash_t)(intptr_t)p; }

Zv_hash_t ZvObject_Hash(ZvObject *v)
{
    ZvTypeObject *tp = Zv_TYPE(v);
    if (tp->tp_hash != nullptr) return (*tp->tp_hash)(v);
    if (tp->tp_compare == nullptr &&
        (!ZvType_HasFeature(tp, Zv_TPFLAGS_HAVE_RICHCOMPARE) || tp->tp_richcompare == nullptr))
        return _Zv_HashPointer(v);
    ZvErr_SetString(ZvExc_TypeError, "unhashable type");
    return -1;
}

/* --- comparison ------------------------------------------------------------ */

static ZvObject *try_rich_compare(ZvObject *v, ZvObject *w, int op)
{
    richcmpfunc f;
    ZvObject *res;
    auto rich = [](ZvTypeObject *t) -> richcmpfunc {
        return ZvType_HasFeature(t, Zv_TPFLAGS_HAVE_RICHCOMPARE) ? t->tp_richcompare : nullptr;
    };
    if (Zv_TYPE(v) != Zv_TYPE(w) && ZvType_IsSubtype(Zv_TYPE(w), Zv_TYPE(v)) &&
        (f = rich(Zv_TYPE(w))) != nullptr) {
        res = (*f)(w, v, _Zv_SwappedOp[op]);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    if ((f = rich(Zv_TYPE(v))) != nullptr) {
        res = (*f)(v, w, op);
        if (res != Zv_NotImplemented) return res;
        Zv_DECREF(res);
    }
    if ((f = rich(Zv_TYPE(w))) != nullptr) return (*f)(w, v, _Zv_SwappedOp[op]);
    Zv_RETURN_NOTIMPLEMENTED;
}

/* The default ordering: same type by address, None first, then by type
 * name.  Never undecided. */
static int default_3way_compare(ZvObject *v, ZvObject *w)
{
    if (Zv_TYPE(v) == Zv_TYPE(w)) {
        uintptr_t vv = (uintptr_t)v, ww = (uintptr_t)w;
        return (vv < ww) ? -1 : (vv > ww) ? 1 : 0;
    }
    if (v == Zv_None) return -1;
    if (w == Zv_None) return 1;
    const char *vname = (ZvInt_Check(v) || ZvLong_Check(v)) ? "" : Zv_TYPE(v)->tp_name;
    const char *wname = (ZvInt_Check(w) || ZvLong_Check(w)) ? "" : Zv_TYPE(w)->tp_name;
    int c = strcmp(vname, wname);
    if (c < 0) return -1;
    if (c > 0) return 1;
    return ((uintptr_t)Zv_TYPE(v) < (uintptr_t)Zv_TYPE(w)) ? -1 : 1;
}

static int adjust_tp_compare(int c)
{
    if (ZvErr_Occurred()) return (c == -1 || c == -2) ? c : -2;
    if (c < -1) return -1;
    if (c > 1) return 1;
    return c;
}

static ZvObject *convert_3way_to_object(int op, int c)
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

static int try_3way_compare(ZvObject *v, ZvObject *w)
{
    cmpfunc f = Zv_TYPE(v)->tp_compare;
    if (f != nullptr && f == Zv_TYPE(w)->tp_compare) return adjust_tp_compare((*f)(v, w));
    return 2;
}

int ZvObject_Compare(ZvObject *v, ZvObject *w)
{
    if (v == nullptr || w == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (v == w) return 0;
    if (Zv_EnterRecursiveCall(" in cmp")) return -1;
    int result;
    static const int tries[3][2] = {{Zv_EQ, 0}, {Zv_LT, -1}, {Zv_GT, 1}};
    if (Zv_TYPE(v) == Zv_TYPE(w) && Zv_TYPE(v)->tp_compare != nullptr) {
        result = adjust_tp_compare((*Zv_TYPE(v)->tp_compare)(v, w));
        goto done;
    }
    for (const auto &t : tries) {
        ZvObject *res = try_rich_compare(v, w, t[0]);
        if (res == nullptr) {
            result = -1;
            goto done;
        }
        if (res == Zv_NotImplemented) {
            Zv_DECREF(res);
            continue;
        }
        int ok = ZvObject_IsTrue(res);
        Zv_DECREF(res);
        if (ok < 0) {
            result = -1;
            goto done;
        }
        if (ok) {
            result = t[1];
            goto done;
        }
    }
    result = try_3way_compare(v, w);
    if (result == 2) result = default_3way_compare(v, w);
done:
    Zv_LeaveRecursiveCall();
    return result < -1 ? -1 : result;
}

ZvObject *ZvObject_RichCompare(ZvObject *v, ZvObject *w, int op)
{
    if (Zv_EnterRecursiveCall(" in cmp")) return nullptr;
    ZvObject *res = nullptr;
    ZvTypeObject *tp = Zv_TYPE(v);
    if (tp == Zv_TYPE(w)) {
        richcmpfunc f =
            ZvType_HasFeature(tp, Zv_TPFLAGS_HAVE_RICHCOMPARE) ? tp->tp_richcompare : nullptr;
        if (f != nullptr) {
            res = (*f)(v, w, op);
            if (res != Zv_NotImplemented) goto done;
            Zv_DECREF(res);
            res = nullptr;
        }
        if (tp->tp_compare != nullptr) {
            int c = adjust_tp_compare((*tp->tp_compare)(v, w));
            res = (c <= -2) ? nullptr : convert_3way_to_object(op, c);
            goto done;
        }
    }
    res = try_rich_compare(v, w, op);
    if (res == nullptr || res != Zv_NotImplemented) goto done;
    Zv_DECREF(res);
    {
        int c = try_3way_compare(v, w);
        if (c == 2) c = default_3way_compare(v, w);
        res = (c <= -2) ? nullptr : convert_3way_to_object(op, c);
    }
done:
    Zv_LeaveRecursiveCall();
    return res;
}

int ZvObject_RichCompareBool(ZvObject *v, ZvObject *w, int op)
{
    if (v == w) {
        if (op == Zv_EQ) return 1;
        if (op == Zv_NE) return 0;
    }
    ZvObject *res = ZvObject_RichCompare(v, w, op);
    if (res == nullptr) return -1;
    int ok = ZvBool_Check(res) ? (res == Zv_True) : ZvObject_IsTrue(res);
    Zv_DECREF(res);
    return ok;
}

/* --- attributes ---------------------------------------------------------- */

ZvObject *ZvObject_GetAttr(ZvObject *v, ZvObject *name)
{
    ZvTypeObject *tp = Zv_TYPE(v);
    if (!ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
        return nullptr;
    }
    if (tp->tp_getattro != nullptr) return (*tp->tp_getattro)(v, name);
    if (tp->tp_getattr != nullptr) return (*tp->tp_getattr)(v, ZvString_AS_STRING(name));
    ZvErr_Format(ZvExc_AttributeError, "'%.50s' object has no attribute '%.400s'", tp->tp_name,
                 ZvString_AS_STRING(name));
    return nullptr;
}

ZvObject *ZvObject_GetAttrString(ZvObject *v, const char *name)
{
    if (Zv_TYPE(v)->tp_getattr != nullptr) return (*Zv_TYPE(v)->tp_getattr)(v, (char *)name);
    ZvObject *w = ZvString_InternFromString(name);
    if (w == nullptr) return nullptr;
    ZvObject *res = ZvObject_GetAttr(v, w);
    Zv_DECREF(w);
    return res;
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
    ZvTypeObject *tp = Zv_TYPE(v);
    if (!ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
        return -1;
    }
    Zv_INCREF(name);
    ZvString_InternInPlace(&name);
    int err = -1;
    if (tp->tp_setattro != nullptr)
        err = (*tp->tp_setattro)(v, name, value);
    else if (tp->tp_setattr != nullptr)
        err = (*tp->tp_setattr)(v, ZvString_AS_STRING(name), value);
    else if (tp->tp_getattr == nullptr && tp->tp_getattro == nullptr)
        ZvErr_Format(ZvExc_TypeError, "'%.100s' object has no attributes (%s .%.100s)",
                     tp->tp_name, value == nullptr ? "del" : "assign to",
                     ZvString_AS_STRING(name));
    else
        ZvErr_Format(ZvExc_TypeError, "'%.100s' object has only read-only attributes (%s .%.100s)",
                     tp->tp_name, value == nullptr ? "del" : "assign to",
                     ZvString_AS_STRING(name));
    Zv_DECREF(name);
    return err;
}

int ZvObject_SetAttrString(ZvObject *v, const char *name, ZvObject *w)
{
    if (Zv_TYPE(v)->tp_setattr != nullptr) return (*Zv_TYPE(v)->tp_setattr)(v, (char *)name, w);
    ZvObject *s = ZvString_InternFromString(name);
    if (s == nullptr) return -1;
    int res = ZvObject_SetAttr(v, s, w);
    Zv_DECREF(s);
    return res;
}

ZvObject **_ZvObject_GetDictPtr(ZvObject *obj)
{
    ZvTypeObject *tp = Zv_TYPE(obj);
    if (!ZvType_HasFeature(tp, Zv_TPFLAGS_HAVE_CLASS)) return nullptr;
    intptr_t off = tp->tp_dictoffset;
    if (off == 0) return nullptr;
    if (off < 0) {
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

ZvObject *ZvObject_GenericGetAttr(ZvObject *obj, ZvObject *name)
{
    ZvTypeObject *tp = Zv_TYPE(obj);
    if (!ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
        return nullptr;
    }
    if (tp->tp_dict == nullptr && ZvType_Ready(tp) < 0) return nullptr;
    ZvObject *descr = _ZvType_Lookup(tp, name);
    descrgetfunc f = nullptr;
    if (descr != nullptr && ZvType_HasFeature(Zv_TYPE(descr), Zv_TPFLAGS_HAVE_CLASS)) {
        f = Zv_TYPE(descr)->tp_descr_get;
        if (f != nullptr && Zv_TYPE(descr)->tp_descr_set != nullptr)
            return f(descr, obj, (ZvObject *)tp);
    }
    ZvObject **dictptr = _ZvObject_GetDictPtr(obj);
    if (dictptr != nullptr && *dictptr != nullptr) {
        ZvObject *res = ZvDict_GetItem(*dictptr, name);
        if (res != nullptr) {
            Zv_INCREF(res);
            return res;
        }
    }
    if (f != nullptr) return f(descr, obj, (ZvObject *)tp);
    if (descr != nullptr) {
        Zv_INCREF(descr);
        return descr;
    }
    ZvErr_Format(ZvExc_AttributeError, "'%.50s' object has no attribute '%.400s'", tp->tp_name,
                 ZvString_AS_STRING(name));
    return nullptr;
}

int ZvObject_GenericSetAttr(ZvObject *obj, ZvObject *name, ZvObject *value)
{
    ZvTypeObject *tp = Zv_TYPE(obj);
    if (!ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
        return -1;
    }
    if (tp->tp_dict == nullptr && ZvType_Ready(tp) < 0) return -1;
    ZvObject *descr = _ZvType_Lookup(tp, name);
    if (descr != nullptr && ZvType_HasFeature(Zv_TYPE(descr), Zv_TPFLAGS_HAVE_CLASS) &&
        Zv_TYPE(descr)->tp_descr_set != nullptr)
        return Zv_TYPE(descr)->tp_descr_set(descr, obj, value);
    ZvObject **dictptr = _ZvObject_GetDictPtr(obj);
    if (dictptr != nullptr) {
        ZvObject *dict = *dictptr;
        if (dict == nullptr && value != nullptr) {
            dict = ZvDict_New();
            if (dict == nullptr) return -1;
            *dictptr = dict;
        }
        if (dict != nullptr) {
            int res = value == nullptr ? ZvDict_DelItem(dict, name)
                                       : ZvDict_SetItem(dict, name, value);
            if (res < 0 && ZvErr_ExceptionMatches(ZvExc_KeyError))
                ZvErr_SetObject(ZvExc_AttributeError, name);
            return res;
        }
    }
    if (descr == nullptr)
        ZvErr_Format(ZvExc_AttributeError, "'%.50s' object has no attribute '%.400s'",
                     tp->tp_name, ZvString_AS_STRING(name));
    else
        ZvErr_Format(ZvExc_AttributeError, "'%.50s' object attribute '%.400s' is read-only",
                     tp->tp_name, ZvString_AS_STRING(name));
    return -1;
}

/* --- truth ----------------------------------------------------------------- */

int ZvObject_IsTrue(ZvObject *v)
{
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

int ZvCallable_Check(ZvObject *x)
{
    if (x == nullptr) return 0;
    return Zv_TYPE(x)->tp_call != nullptr;
}

/* --- None and NotImplemented ------------------------------------------- */

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

/* --- trashcan ------------------------------------------------------------ */

int _ZvTrash_delete_nesting = 0;
ZvObject *_ZvTrash_delete_later = nullptr;

/* Parked objects are chained through the gc_prev word of their collector
 * header; every container that uses the trashcan is a collected type. */
void _ZvTrash_deposit_object(ZvObject *op)
{
    _Zv_AS_GC(op)->gc.gc_prev = (ZvGC_Head *)_ZvTrash_delete_later;
    _ZvTrash_delete_later = op;
}

void _ZvTrash_destroy_chain(void)
{
    while (_ZvTrash_delete_later) {
        ZvObject *op = _ZvTrash_delete_later;
        _ZvTrash_delete_later = (ZvObject *)_Zv_AS_GC(op)->gc.gc_prev;
        ++_ZvTrash_delete_nesting;
        (*Zv_TYPE(op)->tp_dealloc)(op);
        --_ZvTrash_delete_nesting;
    }
}

} // extern "C"
