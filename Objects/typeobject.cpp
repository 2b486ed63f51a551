/* Type objects: `type` and `object`, readying with slot inheritance, the
 * method resolution order, class creation at run time and the life of
 * heap-type instances.
 *
 * Invariants.  A type is usable once Zv_TPFLAGS_READY is set: it then has
 * a dictionary (tp_dict) holding a descriptor for each of its native
 * methods, members, computed attributes and filled slots, an MRO tuple
 * starting with the type itself, and every slot it does not define copied
 * from the MRO.  A heap type (a class created at run time) owns one
 * allocation laid out as ZvHeapTypeObject, is kept alive by its instances
 * and subclasses, and is a collected object; static types are not.
 * tp_subclasses lists the live direct subclasses through references that
 * do not keep them alive (see subclass_ref below).
 *
 * The special-method slot table and the slot functions that call methods
 * written in the language live in typeslots.cpp. */
#include "typeobject_internal.h"
#include "abstract.h"

#include <ctype.h>
#include <string.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "zvref.h"

using zv::Ref;

extern "C" {

static ZvObject *type_new(ZvTypeObject *metatype, ZvObject *args, ZvObject *kwds);
static int object_init(ZvObject *self, ZvObject *args, ZvObject *kwds);

/* --- the subclass registry --------------------------------------------- */

/* tp_subclasses holds one of these per direct subclass: a reference that
 * does not keep the subclass alive and reads NULL once the subclass has
 * been freed (its deallocator clears it).  Dead entries are reused by the
 * next registration, scanning from the end. */
typedef struct {
    ZvObject_HEAD
    ZvTypeObject *ref; /* borrowed; NULL once dead */
} subclass_ref;

static void subclass_ref_dealloc(ZvObject *op) { ZvObject_Free(op); }

static ZvTypeObject subclass_ref_type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "subclass_ref", sizeof(subclass_ref), 0,
    subclass_ref_dealloc,
};

static int add_subclass(ZvTypeObject *base, ZvTypeObject *type)
{
    ZvObject *list = base->tp_subclasses;
    if (list == nullptr) {
        base->tp_subclasses = list = ZvList_New(0);
        if (list == nullptr) return -1;
    }
    /* Registering twice would leave an entry behind when the class dies
     * (its deallocator marks one entry dead): registration is idempotent,
     * so that readying and a __bases__ assignment made meanwhile (from a
     * metaclass's mro()) can both register. */
    subclass_ref *dead = nullptr;
    for (int i = ZvList_GET_SIZE(list); --i >= 0;) {
        auto *r = (subclass_ref *)ZvList_GET_ITEM(list, i);
        if (r->ref == type) return 0;
        if (r->ref == nullptr && dead == nullptr) dead = r;
    }
    if (dead != nullptr) {
        dead->ref = type;
        return 0;
    }
    auto *r = (subclass_ref *)_ZvObject_New(&subclass_ref_type);
    if (r == nullptr) return -1;
    r->ref = type;
    int res = ZvList_Append(list, (ZvObject *)r);
    Zv_DECREF(r);
    return res;
}

/* Unregisters type from base; with `forget` the entry is removed (the
 * registration moves elsewhere), otherwise it is only marked dead. */
static void remove_subclass(ZvTypeObject *base, ZvTypeObject *type, bool forget)
{
    ZvObject *list = base->tp_subclasses;
    if (list == nullptr) return;
    for (int i = ZvList_GET_SIZE(list); --i >= 0;) {
        auto *r = (subclass_ref *)ZvList_GET_ITEM(list, i);
        if (r->ref != type) continue;
        r->ref = nullptr;
        if (forget) ZvList_SetSlice(list, i, i + 1, nullptr);
        return;
    }
}

int _ZvType_ForEachSubclass(ZvTypeObject *type, int (*visit)(ZvTypeObject *, void *), void *arg)
{
    ZvObject *list = type->tp_subclasses;
    if (list == nullptr) return 0;
    /* The list may change under a visit: re-read its length every time. */
    for (int i = 0; i < ZvList_GET_SIZE(list); i++) {
        ZvTypeObject *sub = ((subclass_ref *)ZvList_GET_ITEM(list, i))->ref;
        if (sub == nullptr) continue;
        int r = visit(sub, arg);
        if (r != 0) return r;
    }
    return 0;
}

/* Pushes the live direct subclasses of `type` on `stack` so that the first
 * one is popped first. */
static int push_subclasses(ZvObject *stack, ZvTypeObject *type)
{
    ZvObject *list = type->tp_subclasses;
    if (list == nullptr) return 0;
    for (int i = ZvList_GET_SIZE(list); --i >= 0;) {
        ZvTypeObject *sub = ((subclass_ref *)ZvList_GET_ITEM(list, i))->ref;
        if (sub != nullptr && ZvList_Append(stack, (ZvObject *)sub) < 0) return -1;
    }
    return 0;
}

int _ZvType_WalkSubclasses(ZvTypeObject *type, int (*visit)(ZvTypeObject *, void *), void *arg)
{
    /* A hierarchy may be tens of thousands of classes deep, so the walk
     * keeps its own stack; the list holds every waiting subclass, since a
     * visit can run code that frees classes. */
    Ref stack(ZvList_New(0));
    if (!stack || push_subclasses(stack.get(), type) < 0) return -1;
    for (int n; (n = ZvList_GET_SIZE(stack.get())) > 0;) {
        Ref sub = Ref::borrow(ZvList_GET_ITEM(stack.get(), n - 1));
        if (ZvList_SetSlice(stack.get(), n - 1, n, nullptr) < 0) return -1;
        int r = visit((ZvTypeObject *)sub.get(), arg);
        if (r < 0) return -1;
        if (r == 0 && push_subclasses(stack.get(), (ZvTypeObject *)sub.get()) < 0) return -1;
    }
    return 0;
}

/* --- subtype test and MRO lookup ------------------------------------------ */

int ZvType_IsSubtype(ZvTypeObject *a, ZvTypeObject *b)
{
    if (a == b) return 1;
    if (!(a->tp_flags & Zv_TPFLAGS_HAVE_CLASS)) return b == &ZvBaseObject_Type;
    ZvObject *mro = a->tp_mro;
    if (mro != nullptr) {
        int n = ZvTuple_GET_SIZE(mro);
        for (int i = 0; i < n; i++)
            if (ZvTuple_GET_ITEM(mro, i) == (ZvObject *)b) return 1;
        return 0;
    }
    /* Not ready yet: follow the layout chain; everything derives from object. */
    for (; a != nullptr; a = a->tp_base)
        if (a == b) return 1;
    return b == &ZvBaseObject_Type;
}

ZvObject *_ZvType_MroDict(ZvObject *entry)
{
    if (ZvType_Check(entry)) return ((ZvTypeObject *)entry)->tp_dict;
    if (ZvClass_Check(entry)) return ((ZvClassObject *)entry)->cl_dict;
    return nullptr;
}

/* --- attribute lookup along the MRO, and its cache ------------------------ */

namespace {

/* One remembered answer: `value` (borrowed from a namespace on the MRO, or
 * NULL for "not there") is what type's MRO gives for name, as of epoch. */
struct AttrCacheEntry {
    ZvTypeObject *type;
    ZvObject *name; /* owned, so that its address names no other string */
    ZvObject *value;
    uint64_t epoch;
};

constexpr unsigned ATTR_CACHE_SIZE = 4096; /* a power of two */
AttrCacheEntry attr_cache[ATTR_CACHE_SIZE];

inline AttrCacheEntry &attr_cache_entry(ZvTypeObject *type, Zv_hash_t hash)
{
    unsigned h = (unsigned)hash ^ (unsigned)((uintptr_t)type >> 4);
    return attr_cache[h & (ATTR_CACHE_SIZE - 1)];
}

ZvObject *lookup_walk(ZvTypeObject *type, ZvObject *name)
{
    /* A key's __eq__, run by a dictionary lookup, can assign __bases__ and
     * so replace (and free) the MRO being walked: the walk holds it, and
     * with it every class on it and their dictionaries. */
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return nullptr;
    int n = ZvTuple_GET_SIZE(mro.get());
    for (int i = 0; i < n; i++) {
        /* Held: a classic class's dictionary can be replaced meanwhile. */
        Ref dict = Ref::borrow(_ZvType_MroDict(ZvTuple_GET_ITEM(mro.get(), i)));
        if (!dict) continue;
        ZvObject *res = ZvDict_GetItem(dict.get(), name);
        if (res != nullptr) {
            Zv_INCREF(res);
            return res;
        }
    }
    return nullptr;
}

/* A lookup the cache could not answer: walked, and remembered in e when
 * nothing changed during the walk (its lookups can run code). */
[[gnu::noinline]] ZvObject *lookup_and_remember(AttrCacheEntry &e, ZvTypeObject *type,
                                                ZvObject *name)
{
    uint64_t epoch = _zv_type_epoch;
    ZvObject *res = lookup_walk(type, name);
    if (epoch == _zv_type_epoch) {
        ZvObject *old = e.name;
        Zv_INCREF(name);
        e = AttrCacheEntry{type, name, res, epoch};
        Zv_XDECREF(old); /* an exact string: freeing it runs no code */
    }
    return res;
}

} // namespace

/* Epoch 0 is never current, so the zeroed table holds no answers. */
uint64_t _zv_type_epoch = 1;

void _ZvType_MarkClassDict(ZvObject *dict)
{
    if (dict != nullptr && ZvDict_Check(dict)) ((ZvDictObject *)dict)->ma_zvclassdict = 1;
    _ZvType_InvalidateCache();
}

void _ZvType_ClearCache(void)
{
    for (AttrCacheEntry &e : attr_cache) {
        ZvObject *name = e.name;
        e = AttrCacheEntry{};
        Zv_XDECREF(name);
    }
    _ZvType_InvalidateCache();
}

ZvObject *_ZvType_LookupRef(ZvTypeObject *type, ZvObject *name)
{
    if (!ZvString_CheckExact(name) || ((ZvStringObject *)name)->ob_shash == -1 ||
        type->tp_mro == nullptr)
        return lookup_walk(type, name);
    AttrCacheEntry &e = attr_cache_entry(type, ((ZvStringObject *)name)->ob_shash);
    if (e.epoch == _zv_type_epoch && e.type == type && e.name == name) {
        Zv_XINCREF(e.value);
        return e.value;
    }
    return lookup_and_remember(e, type, name);
}

ZvObject *_ZvType_Lookup(ZvTypeObject *type, ZvObject *name)
{
    ZvObject *res = _ZvType_LookupRef(type, name);
    if (res == nullptr) return nullptr;
    /* Borrowed from a dictionary along the MRO.  When only this reference
     * is left, the class it was found in went out of the MRO (and was
     * freed) during the walk: the class no longer has the attribute. */
    bool gone = res->ob_refcnt == 1;
    Zv_DECREF(res);
    return gone ? nullptr : res;
}

/* --- allocation ------------------------------------------------------------ */

ZvObject *ZvType_GenericAlloc(ZvTypeObject *type, int nitems)
{
    if (type == nullptr || nitems < 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    /* One spare item so that variable parts are always terminated. */
    if (type->tp_itemsize != 0 &&
        (size_t)nitems + 1 > (INT32_MAX - (size_t)type->tp_basicsize) / (size_t)type->tp_itemsize)
        return ZvErr_NoMemory();
    size_t size = _ZvObject_VAR_SIZE(type, (size_t)nitems + 1);
    bool gc = ZvType_HasFeature(type, Zv_TPFLAGS_HAVE_GC);
    ZvObject *obj = gc ? _ZvObject_GC_Malloc(size) : (ZvObject *)ZvObject_Malloc(size);
    if (obj == nullptr) return ZvErr_NoMemory();
    memset(obj, 0, size);
    if (type->tp_flags & Zv_TPFLAGS_HEAPTYPE) Zv_INCREF(type);
    if (type->tp_itemsize == 0)
        _ZvObject_INIT(obj, type);
    else
        ZvObject_InitVar((ZvVarObject *)obj, type, nitems);
    if (gc) ZvObject_GC_Track(obj);
    return obj;
}

ZvObject *ZvType_GenericNew(ZvTypeObject *type, ZvObject *, ZvObject *)
{
    if (type == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

/* --- names ------------------------------------------------------------------ */

/* The class's __name__ (or repr) as a string for messages; NULL without
 * an error when none can be had. */
static ZvObject *class_name(ZvObject *cls)
{
    ZvObject *name = ZvObject_GetAttrString(cls, "__name__");
    if (name == nullptr) {
        ZvErr_Clear();
        name = ZvObject_Repr(cls);
    }
    if (name == nullptr) {
        ZvErr_Clear();
        return nullptr;
    }
    if (!ZvString_Check(name)) {
        Zv_DECREF(name);
        return nullptr;
    }
    return name;
}

static const char *short_name(ZvTypeObject *type)
{
    const char *s = strrchr(type->tp_name, '.');
    return s ? s + 1 : type->tp_name;
}

static ZvObject *type_name(ZvObject *op, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (type->tp_flags & Zv_TPFLAGS_HEAPTYPE) {
        ZvObject *name = ((ZvHeapTypeObject *)type)->ht_name;
        Zv_INCREF(name);
        return name;
    }
    return ZvString_FromString(short_name(type));
}

static int check_heap_set(ZvTypeObject *type, ZvObject *value, const char *attr)
{
    if (!(type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) {
        ZvErr_Format(ZvExc_TypeError, "can't set %s.%s", type->tp_name, attr);
        return -1;
    }
    if (value == nullptr) {
        ZvErr_Format(ZvExc_TypeError, "can't delete %s.%s", type->tp_name, attr);
        return -1;
    }
    return 0;
}

static int type_set_name(ZvObject *op, ZvObject *value, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (check_heap_set(type, value, "__name__") < 0) return -1;
    if (!ZvString_Check(value)) {
        ZvErr_Format(ZvExc_TypeError, "can only assign string to %s.__name__, not '%s'",
                     type->tp_name, Zv_TYPE(value)->tp_name);
        return -1;
    }
    if ((int)strlen(ZvString_AS_STRING(value)) != ZvString_GET_SIZE(value)) {
        ZvErr_SetString(ZvExc_ValueError, "__name__ must not contain null bytes");
        return -1;
    }
    auto *et = (ZvHeapTypeObject *)type;
    Zv_INCREF(value);
    ZvObject *old = et->ht_name;
    et->ht_name = value;
    type->tp_name = ZvString_AS_STRING(value);
    Zv_DECREF(old);
    return 0;
}

static ZvObject *type_module(ZvObject *op, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (type->tp_flags & Zv_TPFLAGS_HEAPTYPE) {
        ZvObject *mod = type->tp_dict ? ZvDict_GetItemString(type->tp_dict, "__module__") : nullptr;
        if (mod == nullptr) {
            ZvErr_Format(ZvExc_AttributeError, "__module__");
            return nullptr;
        }
        Zv_INCREF(mod);
        return mod;
    }
    const char *s = strrchr(type->tp_name, '.');
    if (s != nullptr) return ZvString_FromStringAndSize(type->tp_name, (int)(s - type->tp_name));
    return ZvString_FromString("__builtin__");
}

static int type_set_module(ZvObject *op, ZvObject *value, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (check_heap_set(type, value, "__module__") < 0) return -1;
    return ZvDict_SetItemString(type->tp_dict, "__module__", value);
}

static ZvObject *type_get_bases(ZvObject *op, void *)
{
    ZvObject *bases = ((ZvTypeObject *)op)->tp_bases;
    if (bases == nullptr) bases = Zv_None;
    Zv_INCREF(bases);
    return bases;
}

static ZvObject *type_get_dict(ZvObject *op, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (type->tp_dict == nullptr) Zv_RETURN_NONE;
    return ZvDictProxy_New(type->tp_dict);
}

static ZvObject *type_get_doc(ZvObject *op, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (!(type->tp_flags & Zv_TPFLAGS_HEAPTYPE) && type->tp_doc != nullptr)
        return ZvString_FromString(type->tp_doc);
    Ref result =
        Ref::borrow(type->tp_dict ? ZvDict_GetItemString(type->tp_dict, "__doc__") : nullptr);
    if (!result) Zv_RETURN_NONE;
    /* Held for the get, which may delete __doc__ from the class. */
    descrgetfunc get = Zv_TYPE(result.get())->tp_descr_get;
    if (get != nullptr) return get(result.get(), nullptr, op);
    return result.release();
}

/* --- method resolution order --------------------------------------------- */

static int check_duplicates(ZvObject *list)
{
    int n = ZvList_GET_SIZE(list);
    for (int i = 0; i < n; i++) {
        ZvObject *o = ZvList_GET_ITEM(list, i);
        for (int j = i + 1; j < n; j++) {
            if (ZvList_GET_ITEM(list, j) != o) continue;
            ZvObject *name = class_name(o);
            ZvErr_Format(ZvExc_TypeError, "duplicate base class %s",
                         name ? ZvString_AS_STRING(name) : "?");
            Zv_XDECREF(name);
            return -1;
        }
    }
    return 0;
}

/* The error for an MRO that cannot be linearised: it names every distinct
 * class still waiting at the head of a list. */
static void set_mro_error(ZvObject *to_merge, const int *remain)
{
    Ref set(ZvDict_New());
    if (!set) return;
    int n = ZvList_GET_SIZE(to_merge);
    for (int i = 0; i < n; i++) {
        ZvObject *l = ZvList_GET_ITEM(to_merge, i);
        if (remain[i] < ZvList_GET_SIZE(l) &&
            ZvDict_SetItem(set.get(), ZvList_GET_ITEM(l, remain[i]), Zv_None) < 0)
            return;
    }
    std::string msg = "Cannot create a consistent method resolution\norder (MRO) for bases";
    int left = ZvDict_Size(set.get());
    int pos = 0;
    ZvObject *k, *v;
    while (ZvDict_Next(set.get(), &pos, &k, &v)) {
        ZvObject *name = class_name(k);
        msg += ' ';
        msg += name ? ZvString_AS_STRING(name) : "?";
        Zv_XDECREF(name);
        if (--left) msg += ',';
    }
    if (msg.size() > 999) msg.resize(999);
    ZvErr_SetString(ZvExc_TypeError, msg.c_str());
}

static bool tail_contains(ZvObject *list, int whence, ZvObject *o)
{
    int n = ZvList_GET_SIZE(list);
    for (int j = whence + 1; j < n; j++)
        if (ZvList_GET_ITEM(list, j) == o) return true;
    return false;
}

/* The C3 merge: repeatedly take the first head that occurs in no tail. */
static int pmerge(ZvObject *acc, ZvObject *to_merge)
{
    int n = ZvList_GET_SIZE(to_merge);
    std::string remain_buf(sizeof(int) * (size_t)n, '\0');
    int *remain = reinterpret_cast<int *>(remain_buf.data());
again:
    int empty_cnt = 0;
    for (int i = 0; i < n; i++) {
        ZvObject *cur = ZvList_GET_ITEM(to_merge, i);
        if (remain[i] >= ZvList_GET_SIZE(cur)) {
            empty_cnt++;
            continue;
        }
        ZvObject *candidate = ZvList_GET_ITEM(cur, remain[i]);
        bool in_tail = false;
        for (int j = 0; j < n && !in_tail; j++)
            in_tail = tail_contains(ZvList_GET_ITEM(to_merge, j), remain[j], candidate);
        if (in_tail) continue;
        if (ZvList_Append(acc, candidate) < 0) return -1;
        for (int j = 0; j < n; j++) {
            ZvObject *l = ZvList_GET_ITEM(to_merge, j);
            if (remain[j] < ZvList_GET_SIZE(l) && ZvList_GET_ITEM(l, remain[j]) == candidate)
                remain[j]++;
        }
        goto again;
    }
    if (empty_cnt == n) return 0;
    set_mro_error(to_merge, remain);
    return -1;
}

/* Appends the classic order of `cls` to `list`: the class at its first
 * visit, then each base the same way, depth first and left to right. */
static int classic_mro(ZvObject *cls, ZvObject *list)
{
    for (int i = 0; i < ZvList_GET_SIZE(list); i++)
        if (ZvList_GET_ITEM(list, i) == cls) return 0;
    if (ZvList_Append(list, cls) < 0) return -1;
    if (Zv_EnterRecursiveCall(" in the classic MRO")) return -1;
    ZvObject *bases = ((ZvClassObject *)cls)->cl_bases;
    Ref hold = Ref::borrow(bases);
    int r = 0;
    for (int i = 0; r == 0 && i < ZvTuple_GET_SIZE(bases); i++)
        r = classic_mro(ZvTuple_GET_ITEM(bases, i), list);
    Zv_LeaveRecursiveCall();
    return r;
}

/* The list a base contributes to the merge: a copy of a type's MRO, or a
 * classic class's classic order. */
static ZvObject *base_mro_list(ZvObject *base)
{
    if (ZvClass_Check(base)) {
        Ref list(ZvList_New(0));
        if (!list || classic_mro(base, list.get()) < 0) return nullptr;
        return list.release();
    }
    if (!ZvType_Check(base) || ((ZvTypeObject *)base)->tp_mro == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "bases must be types");
        return nullptr;
    }
    return ZvSequence_List(((ZvTypeObject *)base)->tp_mro);
}

static ZvObject *mro_implementation(ZvTypeObject *type)
{
    if (type->tp_dict == nullptr && ZvType_Ready(type) < 0) return nullptr;
    ZvObject *bases = type->tp_bases;
    int n = ZvTuple_GET_SIZE(bases);
    Ref to_merge(ZvList_New(n + 1));
    if (!to_merge) return nullptr;
    for (int i = 0; i < n; i++) {
        ZvObject *l = base_mro_list(ZvTuple_GET_ITEM(bases, i));
        if (l == nullptr) return nullptr;
        ZvList_SET_ITEM(to_merge.get(), i, l);
    }
    ZvObject *bases_list = ZvSequence_List(bases);
    if (bases_list == nullptr) return nullptr;
    ZvList_SET_ITEM(to_merge.get(), n, bases_list);
    if (check_duplicates(bases_list) < 0) return nullptr;
    Ref result(ZvList_New(1));
    if (!result) return nullptr;
    Zv_INCREF(type);
    ZvList_SET_ITEM(result.get(), 0, (ZvObject *)type);
    if (pmerge(result.get(), to_merge.get()) < 0) return nullptr;
    return result.release();
}

static ZvObject *mro_external(ZvObject *self, ZvObject *)
{
    return mro_implementation((ZvTypeObject *)self);
}

static ZvTypeObject *solid_base(ZvTypeObject *type);

/* A metatype's own mro() may return anything: every entry must be a type
 * whose layout the class can share, or attribute lookup and slot
 * inheritance would misread it. */
static int check_mro_result(ZvTypeObject *type, ZvObject *tuple)
{
    ZvTypeObject *solid = solid_base(type);
    int n = ZvTuple_GET_SIZE(tuple);
    for (int i = 0; i < n; i++) {
        ZvObject *cls = ZvTuple_GET_ITEM(tuple, i);
        if (ZvClass_Check(cls)) continue; /* a classic class adds no layout */
        if (!ZvType_Check(cls)) {
            ZvErr_Format(ZvExc_TypeError, "mro() returned a non-class ('%.500s')",
                         Zv_TYPE(cls)->tp_name);
            return -1;
        }
        if (!ZvType_IsSubtype(solid, solid_base((ZvTypeObject *)cls))) {
            ZvErr_Format(ZvExc_TypeError, "mro() returned base with unsuitable layout ('%.500s')",
                         ((ZvTypeObject *)cls)->tp_name);
            return -1;
        }
    }
    return 0;
}

static int mro_internal(ZvTypeObject *type)
{
    ZvObject *result;
    bool custom = Zv_TYPE(type) != &ZvType_Type;
    if (!custom) {
        result = mro_implementation(type);
    } else {
        static ZvObject *mro_str;
        ZvObject *mro = _ZvType_LookupSpecial((ZvObject *)type, "mro", &mro_str);
        if (mro == nullptr) {
            if (!ZvErr_Occurred()) ZvErr_SetString(ZvExc_AttributeError, "mro");
            return -1;
        }
        result = ZvObject_CallObject(mro, nullptr);
        Zv_DECREF(mro);
    }
    if (result == nullptr) return -1;
    ZvObject *tuple = ZvSequence_Tuple(result);
    Zv_DECREF(result);
    if (tuple == nullptr) return -1;
    if (custom && check_mro_result(type, tuple) < 0) {
        Zv_DECREF(tuple);
        return -1;
    }
    ZvObject *old = type->tp_mro;
    type->tp_mro = tuple;
    _ZvType_InvalidateCache();
    Zv_XDECREF(old);
    return 0;
}

/* --- layout compatibility ------------------------------------------------ */

/* Whether `type` adds storage to `base`: a dictionary or weak-list pointer
 * appended at the end does not count. */
static bool extra_ivars(ZvTypeObject *type, ZvTypeObject *base)
{
    int t_size = type->tp_basicsize, b_size = base->tp_basicsize;
    if (type->tp_itemsize || base->tp_itemsize)
        return t_size != b_size || type->tp_itemsize != base->tp_itemsize;
    if (type->tp_weaklistoffset && base->tp_weaklistoffset == 0 &&
        type->tp_weaklistoffset + (int)sizeof(ZvObject *) == t_size)
        t_size -= (int)sizeof(ZvObject *);
    if (type->tp_dictoffset && base->tp_dictoffset == 0 &&
        type->tp_dictoffset + (int)sizeof(ZvObject *) == t_size)
        t_size -= (int)sizeof(ZvObject *);
    return t_size != b_size;
}

/* Whether two types lay out their instances identically; such a type
 * adds no storage to what its base adds, so both have one solid base. */
static bool same_layout(ZvTypeObject *a, ZvTypeObject *b)
{
    return a->tp_basicsize == b->tp_basicsize && a->tp_itemsize == b->tp_itemsize &&
           a->tp_dictoffset == b->tp_dictoffset && a->tp_weaklistoffset == b->tp_weaklistoffset;
}

static ZvTypeObject *solid_base(ZvTypeObject *type)
{
    /* solid(t) is t when t adds storage to solid(t's base), else
     * solid(t's base), with object above the top.  Computed from the top
     * of the tp_base chain down, over the types that change the layout,
     * rather than by recursion: chains of classes can be far deeper than
     * the native stack allows. */
    std::vector<ZvTypeObject *> changes;
    for (ZvTypeObject *t = type; t != nullptr; t = t->tp_base)
        if (t->tp_base == nullptr || !same_layout(t, t->tp_base)) changes.push_back(t);
    ZvTypeObject *solid = &ZvBaseObject_Type;
    for (auto it = changes.rbegin(); it != changes.rend(); ++it)
        if (extra_ivars(*it, solid)) solid = *it;
    return solid;
}

/* The base whose instance layout a class with these bases extends. */
static ZvTypeObject *best_base(ZvObject *bases)
{
    int n = ZvTuple_GET_SIZE(bases);
    ZvTypeObject *base = nullptr, *winner = nullptr;
    for (int i = 0; i < n; i++) {
        ZvObject *b = ZvTuple_GET_ITEM(bases, i);
        if (ZvClass_Check(b)) continue; /* classic bases add no layout */
        if (!ZvType_Check(b)) {
            ZvErr_SetString(ZvExc_TypeError, "bases must be types");
            return nullptr;
        }
        auto *base_i = (ZvTypeObject *)b;
        if (base_i->tp_dict == nullptr && ZvType_Ready(base_i) < 0) return nullptr;
        ZvTypeObject *candidate = solid_base(base_i);
        if (winner == nullptr) {
            winner = candidate;
            base = base_i;
        } else if (ZvType_IsSubtype(winner, candidate)) {
            ;
        } else if (ZvType_IsSubtype(candidate, winner)) {
            winner = candidate;
            base = base_i;
        } else {
            ZvErr_SetString(ZvExc_TypeError, "multiple bases have instance lay-out conflict");
            return nullptr;
        }
    }
    if (base == nullptr)
        ZvErr_SetString(ZvExc_TypeError, "a new-style class can't have only classic bases");
    return base;
}

static bool equiv_structs(ZvTypeObject *a, ZvTypeObject *b)
{
    return b != nullptr && a->tp_basicsize == b->tp_basicsize &&
           a->tp_itemsize == b->tp_itemsize && a->tp_dictoffset == b->tp_dictoffset &&
           a->tp_weaklistoffset == b->tp_weaklistoffset &&
           ((a->tp_flags & Zv_TPFLAGS_HAVE_GC) == (b->tp_flags & Zv_TPFLAGS_HAVE_GC));
}

static bool same_slots_added(ZvTypeObject *a, ZvTypeObject *b)
{
    ZvTypeObject *base = a->tp_base;
    int size = base->tp_basicsize;
    if (a->tp_dictoffset == size && b->tp_dictoffset == size) size += (int)sizeof(ZvObject *);
    if (a->tp_weaklistoffset == size && b->tp_weaklistoffset == size)
        size += (int)sizeof(ZvObject *);
    return size == a->tp_basicsize && size == b->tp_basicsize;
}

/* Whether instances laid out for `oldto` may be treated as `newto`. */
static int compatible_for_assignment(ZvTypeObject *oldto, ZvTypeObject *newto, const char *attr)
{
    if (newto->tp_dealloc != oldto->tp_dealloc || newto->tp_free != oldto->tp_free) {
        ZvErr_Format(ZvExc_TypeError, "%s assignment: '%s' deallocator differs from '%s'", attr,
                     newto->tp_name, oldto->tp_name);
        return 0;
    }
    ZvTypeObject *newbase = newto, *oldbase = oldto;
    while (equiv_structs(newbase, newbase->tp_base)) newbase = newbase->tp_base;
    while (equiv_structs(oldbase, oldbase->tp_base)) oldbase = oldbase->tp_base;
    if (newbase != oldbase &&
        (newbase->tp_base == nullptr || newbase->tp_base != oldbase->tp_base ||
         !same_slots_added(newbase, oldbase))) {
        ZvErr_Format(ZvExc_TypeError, "%s assignment: '%s' object layout differs from '%s'", attr,
                     newto->tp_name, oldto->tp_name);
        return 0;
    }
    return 1;
}

/* --- __bases__ assignment -------------------------------------------------- */

/* Whether `target` can be reached from `from` along tp_base and tp_bases.
 * The MRO alone does not tell: a metaclass's mro() may leave bases out,
 * and a cycle in the base graph would send every walk over it (the layout
 * chain, the subclass registry) round for ever. */
static bool reaches_through_bases(ZvTypeObject *from, ZvTypeObject *target)
{
    std::vector<ZvTypeObject *> todo{from};
    std::unordered_set<ZvTypeObject *> seen;
    while (!todo.empty()) {
        ZvTypeObject *t = todo.back();
        todo.pop_back();
        if (t == target) return true;
        if (!seen.insert(t).second) continue;
        if (t->tp_base != nullptr) todo.push_back(t->tp_base);
        ZvObject *bases = t->tp_bases;
        int n = bases != nullptr && ZvTuple_Check(bases) ? ZvTuple_GET_SIZE(bases) : 0;
        for (int i = 0; i < n; i++) {
            ZvObject *b = ZvTuple_GET_ITEM(bases, i);
            if (ZvType_Check(b)) todo.push_back((ZvTypeObject *)b);
        }
    }
    return false;
}

static bool tuple_holds(ZvObject *tuple, ZvObject *o)
{
    for (int i = 0; i < ZvTuple_GET_SIZE(tuple); i++)
        if (ZvTuple_GET_ITEM(tuple, i) == o) return true;
    return false;
}

/* Moves type's registrations from the classes in `from` to those in `to`;
 * a class is registered exactly with the bases it has. */
static int move_registrations(ZvTypeObject *type, ZvObject *from, ZvObject *to)
{
    for (int i = ZvTuple_GET_SIZE(from); --i >= 0;) {
        ZvObject *ob = ZvTuple_GET_ITEM(from, i);
        if (ZvType_Check(ob) && !tuple_holds(to, ob))
            remove_subclass((ZvTypeObject *)ob, type, true);
    }
    int r = 0;
    for (int i = ZvTuple_GET_SIZE(to); --i >= 0;) {
        ZvObject *ob = ZvTuple_GET_ITEM(to, i);
        if (ZvType_Check(ob) && add_subclass((ZvTypeObject *)ob, type) < 0) r = -1;
    }
    return r;
}

/* Recomputes the MRO of a subclass, recording (class, old MRO) in `undo`
 * so that a failure can put everything back. */
static int mro_subclasses_visit(ZvTypeObject *sub, void *arg)
{
    auto *undo = (ZvObject *)arg;
    ZvObject *old = sub->tp_mro;
    if (old == nullptr) return 1;
    ZvObject *pair = ZvTuple_Pack(2, (ZvObject *)sub, old);
    if (pair == nullptr) return -1;
    int r = ZvList_Append(undo, pair);
    Zv_DECREF(pair);
    return (r < 0 || mro_internal(sub) < 0) ? -1 : 0;
}

/* Puts back the MROs recorded by mro_subclasses_visit, latest first: a
 * class reached along two paths was recorded twice. */
static void undo_mros(ZvObject *undo)
{
    for (int i = ZvList_GET_SIZE(undo); --i >= 0;) {
        ZvObject *pair = ZvList_GET_ITEM(undo, i);
        auto *cls = (ZvTypeObject *)ZvTuple_GET_ITEM(pair, 0);
        ZvObject *mro = ZvTuple_GET_ITEM(pair, 1);
        Zv_INCREF(mro);
        ZvObject *tmp = cls->tp_mro;
        cls->tp_mro = mro;
        _ZvType_InvalidateCache();
        Zv_XDECREF(tmp);
    }
}

static int type_set_bases(ZvObject *op, ZvObject *value, void *)
{
    auto *type = (ZvTypeObject *)op;
    if (check_heap_set(type, value, "__bases__") < 0) return -1;
    if (!ZvTuple_Check(value)) {
        ZvErr_Format(ZvExc_TypeError, "can only assign tuple to %s.__bases__, not %s",
                     type->tp_name, Zv_TYPE(value)->tp_name);
        return -1;
    }
    if (ZvTuple_GET_SIZE(value) == 0) {
        ZvErr_Format(ZvExc_TypeError, "can only assign non-empty tuple to %s.__bases__, not ()",
                     type->tp_name);
        return -1;
    }
    int n = ZvTuple_GET_SIZE(value);
    for (int i = 0; i < n; i++) {
        ZvObject *ob = ZvTuple_GET_ITEM(value, i);
        /* A classic class cannot derive from a type: no cycle through it. */
        if (ZvClass_Check(ob)) continue;
        if (!ZvType_Check(ob)) {
            ZvErr_Format(ZvExc_TypeError,
                         "%s.__bases__ must be tuple of old- or new-style classes, not '%s'",
                         type->tp_name, Zv_TYPE(ob)->tp_name);
            return -1;
        }
        if (ZvType_IsSubtype((ZvTypeObject *)ob, type) ||
            reaches_through_bases((ZvTypeObject *)ob, type)) {
            ZvErr_SetString(ZvExc_TypeError, "a __bases__ item causes an inheritance cycle");
            return -1;
        }
    }
    ZvTypeObject *new_base = best_base(value);
    if (new_base == nullptr) return -1;
    if (!compatible_for_assignment(type->tp_base, new_base, "__bases__")) return -1;

    ZvObject *old_bases = type->tp_bases;
    ZvTypeObject *old_base = type->tp_base;
    ZvObject *old_mro = type->tp_mro;
    Zv_INCREF(value);
    Zv_INCREF(new_base);
    Zv_XINCREF(old_mro);
    type->tp_bases = value;
    type->tp_base = new_base;

    /* The MRO computations can run a metaclass's mro(), which may assign
     * __bases__ again: what follows reads the bases the class has now. */
    if (mro_internal(type) == 0) {
        Ref undo(ZvList_New(0));
        if (undo && _ZvType_WalkSubclasses(type, mro_subclasses_visit, undo.get()) == 0) {
            int r = move_registrations(type, old_bases, type->tp_bases);
            if (_ZvSlots_UpdateAll(type) < 0) r = -1;
            Zv_DECREF(old_bases);
            Zv_DECREF(old_base);
            Zv_XDECREF(old_mro);
            return r;
        }
        if (undo) undo_mros(undo.get());
    }
    ZvObject *cur_bases = type->tp_bases;
    ZvTypeObject *cur_base = type->tp_base;
    ZvObject *cur_mro = type->tp_mro;
    type->tp_bases = old_bases;
    type->tp_base = old_base;
    type->tp_mro = old_mro; /* the reference taken above */
    _ZvType_InvalidateCache();
    (void)move_registrations(type, cur_bases, old_bases);
    Zv_DECREF(cur_bases);
    Zv_DECREF(cur_base);
    Zv_XDECREF(cur_mro);
    return -1;
}

static ZvGetSetDef type_getsets[] = {
    {"__name__", type_name, type_set_name, nullptr, nullptr},
    {"__bases__", type_get_bases, type_set_bases, nullptr, nullptr},
    {"__module__", type_module, type_set_module, nullptr, nullptr},
    {"__dict__", type_get_dict, nullptr, nullptr, nullptr},
    {"__doc__", type_get_doc, nullptr, nullptr, nullptr},
    {},
};

static ZvMemberDef type_members[] = {
    {"__basicsize__", T_INT, offsetof(ZvTypeObject, tp_basicsize), READONLY, nullptr},
    {"__itemsize__", T_INT, offsetof(ZvTypeObject, tp_itemsize), READONLY, nullptr},
    {"__flags__", T_LONG, offsetof(ZvTypeObject, tp_flags), READONLY, nullptr},
    {"__weakrefoffset__", T_LONG, offsetof(ZvTypeObject, tp_weaklistoffset), READONLY, nullptr},
    {"__base__", T_OBJECT, offsetof(ZvTypeObject, tp_base), READONLY, nullptr},
    {"__dictoffset__", T_LONG, offsetof(ZvTypeObject, tp_dictoffset), READONLY, nullptr},
    {"__mro__", T_OBJECT, offsetof(ZvTypeObject, tp_mro), READONLY, nullptr},
    {},
};

static int collect_subclass(ZvTypeObject *sub, void *arg)
{
    return ZvList_Append((ZvObject *)arg, (ZvObject *)sub) < 0 ? -1 : 0;
}

static ZvObject *type_subclasses(ZvObject *self, ZvObject *)
{
    ZvObject *list = ZvList_New(0);
    if (list == nullptr) return nullptr;
    if (_ZvType_ForEachSubclass((ZvTypeObject *)self, collect_subclass, list) != 0) {
        Zv_DECREF(list);
        return nullptr;
    }
    return list;
}

static ZvMethodDef type_methods[] = {
    {"mro", mro_external, METH_NOARGS, "mro() -> list\nreturn a type's method resolution order"},
    {"__subclasses__", type_subclasses, METH_NOARGS,
     "__subclasses__() -> list of immediate subclasses"},
    {},
};

/* --- type's own slots ---------------------------------------------------- */

static ZvObject *type_repr(ZvObject *op)
{
    auto *type = (ZvTypeObject *)op;
    const char *kind = (type->tp_flags & Zv_TPFLAGS_HEAPTYPE) ? "class" : "type";
    ZvObject *mod = type_module(op, nullptr);
    if (mod == nullptr)
        ZvErr_Clear();
    else if (!ZvString_Check(mod))
        Zv_CLEAR(mod);
    ZvObject *name = type_name(op, nullptr);
    if (name == nullptr) {
        Zv_XDECREF(mod);
        return nullptr;
    }
    ZvObject *rtn;
    if (mod != nullptr && strcmp(ZvString_AS_STRING(mod), "__builtin__") != 0)
        rtn = ZvString_FromFormat("<%s '%s.%s'>", kind, ZvString_AS_STRING(mod),
                                  ZvString_AS_STRING(name));
    else
        rtn = ZvString_FromFormat("<%s '%s'>", kind, type->tp_name);
    Zv_XDECREF(mod);
    Zv_DECREF(name);
    return rtn;
}

static int type_compare(ZvObject *v, ZvObject *w)
{
    uintptr_t vv = (uintptr_t)v, ww = (uintptr_t)w;
    return (vv < ww) ? -1 : (vv > ww) ? 1 : 0;
}

static ZvObject *type_call(ZvObject *op, ZvObject *args, ZvObject *kwds)
{
    auto *type = (ZvTypeObject *)op;
    if (type->tp_new == nullptr) {
        ZvErr_Format(ZvExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
        return nullptr;
    }
    ZvObject *obj = type->tp_new(type, args, kwds);
    if (obj == nullptr) return nullptr;
    /* type(x) is a question, not a construction. */
    if (type == &ZvType_Type && ZvTuple_Check(args) && ZvTuple_GET_SIZE(args) == 1 &&
        (kwds == nullptr || (ZvDict_Check(kwds) && ZvDict_Size(kwds) == 0)))
        return obj;
    if (!ZvType_IsSubtype(Zv_TYPE(obj), type)) return obj;
    type = Zv_TYPE(obj);
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_CLASS) && type->tp_init != nullptr &&
        type->tp_init(obj, args, kwds) < 0) {
        Zv_DECREF(obj);
        return nullptr;
    }
    return obj;
}

static ZvObject *type_getattro(ZvObject *op, ZvObject *name)
{
    auto *type = (ZvTypeObject *)op;
    if (!ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
        return nullptr;
    }
    if (type->tp_dict == nullptr && ZvType_Ready(type) < 0) return nullptr;

    /* Everything is held across the lookups: a key's __eq__ can assign
     * the class's __class__ (freeing its metatype) or delete what was
     * found, and a descriptor's get can do the same. */
    Ref metatype = Ref::borrow((ZvObject *)Zv_TYPE(type));
    /* A data descriptor on the metatype (__name__, __bases__ ...) wins. */
    Ref meta(_ZvType_LookupRef((ZvTypeObject *)metatype.get(), name));
    if (meta) {
        descrgetfunc meta_get = Zv_TYPE(meta.get())->tp_descr_get;
        if (meta_get != nullptr && Zv_TYPE(meta.get())->tp_descr_set != nullptr)
            return meta_get(meta.get(), op, metatype.get());
    }

    Ref attribute(_ZvType_LookupRef(type, name));
    if (attribute) {
        descrgetfunc local_get = Zv_TYPE(attribute.get())->tp_descr_get;
        if (local_get != nullptr) return local_get(attribute.get(), nullptr, op);
        return attribute.release();
    }
    if (meta) {
        descrgetfunc meta_get = Zv_TYPE(meta.get())->tp_descr_get;
        if (meta_get != nullptr) return meta_get(meta.get(), op, metatype.get());
        return meta.release();
    }
    ZvErr_Format(ZvExc_AttributeError, "type object '%.50s' has no attribute '%.400s'",
                 type->tp_name, ZvString_AS_STRING(name));
    return nullptr;
}

static int type_setattro(ZvObject *op, ZvObject *name, ZvObject *value)
{
    auto *type = (ZvTypeObject *)op;
    if (!(type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) {
        ZvErr_Format(ZvExc_TypeError, "can't set attributes of built-in/extension type '%s'",
                     type->tp_name);
        return -1;
    }
    if (!ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "attribute name must be string");
        return -1;
    }
    /* The slot table compares interned names by identity. */
    Zv_INCREF(name);
    ZvString_InternInPlace(&name);
    Ref hold(name);
    if (ZvObject_GenericSetAttr(op, name, value) < 0) return -1;
    return _ZvSlots_Update(type, name);
}

static int type_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *type = (ZvTypeObject *)op;
    /* Static types are never collected and own nothing the collector sees. */
    if (!(type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) return 0;
    Zv_VISIT(type->tp_dict);
    Zv_VISIT(type->tp_cache);
    Zv_VISIT(type->tp_mro);
    Zv_VISIT(type->tp_bases);
    Zv_VISIT(type->tp_base);
    Zv_VISIT(((ZvHeapTypeObject *)type)->ht_slots);
    return 0;
}

/* Breaks the cycles through the dictionary (descriptors refer back to the
 * type) and the MRO (which starts with the type).  tp_bases and tp_base
 * stay: the deallocation of remaining instances walks them. */
static int type_clear(ZvObject *op)
{
    auto *type = (ZvTypeObject *)op;
    if (!(type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) return 0;
    _ZvType_InvalidateCache();
    Zv_CLEAR(type->tp_dict);
    Zv_CLEAR(type->tp_cache);
    Zv_CLEAR(type->tp_mro);
    return 0;
}

static int type_is_gc(ZvObject *op) { return (((ZvTypeObject *)op)->tp_flags & Zv_TPFLAGS_HEAPTYPE) != 0; }

static void type_dealloc(ZvObject *op)
{
    auto *type = (ZvTypeObject *)op;
    if (!(type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) Zv_FatalError("deallocating a static type");
    auto *et = (ZvHeapTypeObject *)type;
    ZvObject_GC_UnTrack(type);
    /* Its address may soon name another type. */
    _ZvType_InvalidateCache();
    if (type->tp_bases != nullptr) {
        int n = ZvTuple_GET_SIZE(type->tp_bases);
        for (int i = 0; i < n; i++) {
            ZvObject *b = ZvTuple_GET_ITEM(type->tp_bases, i);
            if (ZvType_Check(b)) remove_subclass((ZvTypeObject *)b, type, false);
        }
    }
    Zv_XDECREF(type->tp_base);
    Zv_XDECREF(type->tp_dict);
    Zv_XDECREF(type->tp_bases);
    Zv_XDECREF(type->tp_mro);
    Zv_XDECREF(type->tp_cache);
    Zv_XDECREF(type->tp_subclasses);
    if (type->tp_doc != nullptr) ZvObject_Free((void *)type->tp_doc);
    Zv_XDECREF(et->ht_name);
    Zv_XDECREF(et->ht_slots);
    Zv_TYPE(type)->tp_free(type);
}

/* --- object --------------------------------------------------------------- */

static int object_init(ZvObject *, ZvObject *, ZvObject *) { return 0; }

static ZvObject *object_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    if (type->tp_init == object_init &&
        ((args != nullptr && ZvTuple_Check(args) && ZvTuple_GET_SIZE(args) != 0) ||
         (kwds != nullptr && ZvDict_Check(kwds) && ZvDict_Size(kwds) != 0))) {
        ZvErr_SetString(ZvExc_TypeError, "default __new__ takes no parameters");
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

static void object_dealloc(ZvObject *self) { Zv_TYPE(self)->tp_free(self); }

static ZvObject *object_repr(ZvObject *self)
{
    /* Held: reading __module__ from the class dictionary can run a key's
     * __eq__, which may assign self's __class__. */
    Ref type_ref = Ref::borrow((ZvObject *)Zv_TYPE(self));
    auto *type = (ZvTypeObject *)type_ref.get();
    ZvObject *mod = type_module((ZvObject *)type, nullptr);
    if (mod == nullptr)
        ZvErr_Clear();
    else if (!ZvString_Check(mod))
        Zv_CLEAR(mod);
    ZvObject *name = type_name((ZvObject *)type, nullptr);
    if (name == nullptr) {
        Zv_XDECREF(mod);
        return nullptr;
    }
    ZvObject *rtn;
    if (mod != nullptr && strcmp(ZvString_AS_STRING(mod), "__builtin__") != 0)
        rtn = ZvString_FromFormat("<%s.%s object at %p>", ZvString_AS_STRING(mod),
                                  ZvString_AS_STRING(name), (void *)self);
    else
        rtn = ZvString_FromFormat("<%s object at %p>", type->tp_name, (void *)self);
    Zv_XDECREF(mod);
    Zv_DECREF(name);
    return rtn;
}

static ZvObject *object_str(ZvObject *self)
{
    reprfunc f = Zv_TYPE(self)->tp_repr;
    if (f == nullptr) f = object_repr;
    return f(self);
}

static Zv_hash_t object_hash(ZvObject *self)
{
    Zv_hash_t h = _Zv_HashPointer(self);
    return h == -1 ? -2 : h;
}

static ZvObject *object_get_class(ZvObject *self, void *)
{
    Zv_INCREF(Zv_TYPE(self));
    return (ZvObject *)Zv_TYPE(self);
}

static int object_set_class(ZvObject *self, ZvObject *value, void *)
{
    ZvTypeObject *oldto = Zv_TYPE(self);
    if (value == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "can't delete __class__ attribute");
        return -1;
    }
    if (!ZvType_Check(value)) {
        ZvErr_Format(ZvExc_TypeError, "__class__ must be set to new-style class, not '%s' object",
                     Zv_TYPE(value)->tp_name);
        return -1;
    }
    auto *newto = (ZvTypeObject *)value;
    if (!(newto->tp_flags & Zv_TPFLAGS_HEAPTYPE) || !(oldto->tp_flags & Zv_TPFLAGS_HEAPTYPE)) {
        ZvErr_SetString(ZvExc_TypeError, "__class__ assignment: only for heap types");
        return -1;
    }
    if (!compatible_for_assignment(oldto, newto, "__class__")) return -1;
    Zv_INCREF(newto);
    self->ob_type = newto;
    Zv_DECREF(oldto);
    return 0;
}

static ZvGetSetDef object_getsets[] = {
    {"__class__", object_get_class, object_set_class, "the object's class", nullptr},
    {},
};

/* --- pickling support ----------------------------------------------------- */

/* The pickling helpers live in the library module copy_reg. */
static ZvObject *import_copy_reg(void) { return ZvImport_ImportModule("copy_reg"); }

static ZvObject *copy_reg_call(const char *func, ZvObject *args)
{
    Ref copy_reg(import_copy_reg());
    if (!copy_reg) return nullptr;
    Ref f(ZvObject_GetAttrString(copy_reg.get(), func));
    if (!f) return nullptr;
    return ZvObject_Call(f.get(), args, nullptr);
}

/* The class's slot names, cached in its dictionary as __slotnames__. */
static ZvObject *slotnames(ZvObject *cls)
{
    ZvObject *dict = ((ZvTypeObject *)cls)->tp_dict;
    ZvObject *names = dict ? ZvDict_GetItemString(dict, "__slotnames__") : nullptr;
    if (names != nullptr) {
        Zv_INCREF(names);
        return names;
    }
    Ref args(ZvTuple_Pack(1, cls));
    if (!args) return nullptr;
    names = copy_reg_call("_slotnames", args.get());
    if (names != nullptr && names != Zv_None && !ZvList_Check(names)) {
        ZvErr_SetString(ZvExc_TypeError, "copy_reg._slotnames didn't return a list or None");
        Zv_CLEAR(names);
    }
    return names;
}

/* Calls obj.name() when the object has that attribute; NULL without an
 * error when it does not. */
static ZvObject *call_if_present(ZvObject *obj, const char *name, bool *present)
{
    Ref f(ZvObject_GetAttrString(obj, name));
    *present = (bool)f;
    if (!f) {
        if (!ZvErr_ExceptionMatches(ZvExc_AttributeError)) return nullptr;
        ZvErr_Clear();
        return nullptr;
    }
    return ZvObject_CallObject(f.get(), nullptr);
}

static ZvObject *reduce_state(ZvObject *obj)
{
    bool present;
    ZvObject *state = call_if_present(obj, "__getstate__", &present);
    if (present || ZvErr_Occurred()) return state;
    state = ZvObject_GetAttrString(obj, "__dict__");
    if (state == nullptr) {
        if (!ZvErr_ExceptionMatches(ZvExc_AttributeError)) return nullptr;
        ZvErr_Clear();
        state = Zv_None;
        Zv_INCREF(state);
    }
    Ref st(state);
    Ref cls = Ref::borrow((ZvObject *)Zv_TYPE(obj)); /* held: the lookups run code */
    Ref names(slotnames(cls.get()));
    if (!names) return nullptr;
    if (names.get() == Zv_None || ZvList_GET_SIZE(names.get()) == 0) return st.release();
    Ref slots(ZvDict_New());
    if (!slots) return nullptr;
    int n = 0;
    for (int i = 0; i < ZvList_GET_SIZE(names.get()); i++) {
        /* Held: reading the attribute runs code that may change the list. */
        Ref name = Ref::borrow(ZvList_GET_ITEM(names.get(), i));
        ZvObject *value = ZvObject_GetAttr(obj, name.get());
        if (value == nullptr) {
            ZvErr_Clear();
            continue;
        }
        int r = ZvDict_SetItem(slots.get(), name.get(), value);
        Zv_DECREF(value);
        if (r < 0) return nullptr;
        n++;
    }
    if (n == 0) return st.release();
    return ZvTuple_Pack(2, st.get(), slots.get());
}

static ZvObject *reduce_2(ZvObject *obj)
{
    /* Held: __getnewargs__ may assign __class__, dropping the instance's
     * reference to the class. */
    Ref cls = Ref::borrow((ZvObject *)Zv_TYPE(obj));
    bool present;
    Ref args(call_if_present(obj, "__getnewargs__", &present));
    if (ZvErr_Occurred()) return nullptr;
    if (present && !ZvTuple_Check(args.get())) {
        ZvErr_SetString(ZvExc_TypeError, "__getnewargs__ should return a tuple");
        return nullptr;
    }
    if (!present) args.reset(ZvTuple_New(0));
    if (!args) return nullptr;
    int n = ZvTuple_GET_SIZE(args.get());
    Ref args2(ZvTuple_New(n + 1));
    if (!args2) return nullptr;
    ZvTuple_SET_ITEM(args2.get(), 0, Ref::borrow(cls.get()).release());
    for (int i = 0; i < n; i++) {
        ZvObject *v = ZvTuple_GET_ITEM(args.get(), i);
        Zv_INCREF(v);
        ZvTuple_SET_ITEM(args2.get(), i + 1, v);
    }
    Ref state(reduce_state(obj));
    if (!state) return nullptr;
    Ref listitems(Zv_None), dictitems(Zv_None);
    Zv_INCREF(Zv_None);
    Zv_INCREF(Zv_None);
    if (ZvList_Check(obj)) {
        listitems.reset(ZvObject_GetIter(obj));
        if (!listitems) return nullptr;
    }
    if (ZvDict_Check(obj)) {
        dictitems.reset(ZvObject_CallMethod(obj, "iteritems", ""));
        if (!dictitems) return nullptr;
    }
    Ref copy_reg(import_copy_reg());
    if (!copy_reg) return nullptr;
    Ref newobj(ZvObject_GetAttrString(copy_reg.get(), "__newobj__"));
    if (!newobj) return nullptr;
    return ZvTuple_Pack(5, newobj.get(), args2.get(), state.get(), listitems.get(),
                        dictitems.get());
}

static ZvObject *object_reduce_ex(ZvObject *self, ZvObject *args)
{
    int proto = 0;
    if (!ZvArg_ParseTuple(args, "|i:__reduce_ex__", &proto)) return nullptr;
    Ref reduce(ZvObject_GetAttrString(self, "__reduce__"));
    if (!reduce) {
        ZvErr_Clear();
    } else {
        Ref clsreduce(ZvObject_GetAttrString((ZvObject *)Zv_TYPE(self), "__reduce__"));
        if (!clsreduce) return nullptr;
        ZvObject *objreduce = ZvDict_GetItemString(ZvBaseObject_Type.tp_dict, "__reduce__");
        if (clsreduce.get() != objreduce) return ZvObject_CallObject(reduce.get(), nullptr);
    }
    if (proto >= 2) return reduce_2(self);
    Ref cargs(Zv_BuildValue("(Oi)", self, proto));
    if (!cargs) return nullptr;
    return copy_reg_call("_reduce_ex", cargs.get());
}

static ZvMethodDef object_methods[] = {
    {"__reduce_ex__", object_reduce_ex, METH_VARARGS, "helper for pickle"},
    {"__reduce__", object_reduce_ex, METH_VARARGS, "helper for pickle"},
    {},
};

/* --- heap-type instances -------------------------------------------------- */

static void clear_slots(ZvTypeObject *type, ZvObject *self)
{
    int n = Zv_SIZE(type);
    ZvMemberDef *mp = _ZvHeapType_GET_MEMBERS(type);
    for (int i = 0; i < n; i++, mp++) {
        if (mp->type != T_OBJECT_EX || (mp->flags & READONLY)) continue;
        auto **addr = (ZvObject **)((char *)self + mp->offset);
        Zv_CLEAR(*addr);
    }
}

static int traverse_slots(ZvTypeObject *type, ZvObject *self, visitproc visit, void *arg)
{
    int n = Zv_SIZE(type);
    ZvMemberDef *mp = _ZvHeapType_GET_MEMBERS(type);
    for (int i = 0; i < n; i++, mp++) {
        if (mp->type != T_OBJECT_EX) continue;
        Zv_VISIT(*(ZvObject **)((char *)self + mp->offset));
    }
    return 0;
}

/* The instance's weak references are cleared before its finalizer runs;
 * no weak reference can exist until weakref objects do. */
static void clear_weakrefs(ZvObject *self, ZvTypeObject *type)
{
    auto **list = (ZvObject **)((char *)self + type->tp_weaklistoffset);
    (void)list;
}

static int subtype_traverse(ZvObject *self, visitproc visit, void *arg);

/* Runs __del__; true when it resurrected the instance.  The class is held
 * for the call: __del__ may assign __class__, dropping the instance's own
 * reference to it. */
static bool run_finalizer(ZvObject *self)
{
    Ref hold = Ref::borrow((ZvObject *)Zv_TYPE(self));
    Zv_TYPE(self)->tp_del(self);
    return self->ob_refcnt > 0;
}

/* Frees what the class's own layout added, then hands the object to the
 * nearest built-in base's deallocator and releases the class the instance
 * holds at the end (after __del__ that need not be the class it had: it is
 * the one its reference is held for).  inside_guard says the
 * caller holds the depth guard of nested deallocation: the base's
 * deallocator has a guard of its own and must see the depth this one was
 * entered at, so that it frees the object now; were it to postpone the
 * object, the class would be released here and again when the postponed
 * object is finally destroyed through this same deallocator. */
static void release_instance(ZvObject *self, bool inside_guard)
{
    ZvTypeObject *type = Zv_TYPE(self), *base;
    for (base = type; base->tp_dealloc == _ZvType_SubtypeDealloc; base = base->tp_base)
        if (Zv_SIZE(base)) clear_slots(base, self);
    if (type->tp_dictoffset && !base->tp_dictoffset) {
        ZvObject **dictptr = _ZvObject_GetDictPtr(self);
        if (dictptr != nullptr) Zv_CLEAR(*dictptr);
    }
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_GC) && (base->tp_flags & Zv_TPFLAGS_HAVE_GC))
        ZvObject_GC_Track(self);
    if (inside_guard) --_ZvTrash_delete_nesting;
    base->tp_dealloc(self);
    if (inside_guard) ++_ZvTrash_delete_nesting;
    Zv_DECREF(type);
}

void _ZvType_SubtypeDealloc(ZvObject *self)
{
    ZvTypeObject *type = Zv_TYPE(self);
    if (!(type->tp_flags & Zv_TPFLAGS_HAVE_GC)) {
        if (type->tp_del != nullptr && run_finalizer(self)) return;
        release_instance(self, false);
        return;
    }

    ZvObject_GC_UnTrack(self);
    ZvTrash_BEGIN(self)
    ZvTypeObject *base = type;
    while (base->tp_dealloc == _ZvType_SubtypeDealloc) base = base->tp_base;
    if (type->tp_weaklistoffset && !base->tp_weaklistoffset) clear_weakrefs(self, type);
    bool resurrected = false;
    if (type->tp_del != nullptr) {
        ZvObject_GC_Track(self);
        resurrected = run_finalizer(self);
        if (!resurrected) ZvObject_GC_UnTrack(self);
    }
    if (!resurrected) release_instance(self, true);
    ZvTrash_END(self)
}

static int subtype_traverse(ZvObject *self, visitproc visit, void *arg)
{
    ZvTypeObject *type = Zv_TYPE(self), *base = type;
    traverseproc basetraverse;
    while ((basetraverse = base->tp_traverse) == subtype_traverse) {
        if (Zv_SIZE(base)) {
            int err = traverse_slots(base, self, visit, arg);
            if (err) return err;
        }
        base = base->tp_base;
    }
    if (type->tp_dictoffset != base->tp_dictoffset) {
        ZvObject **dictptr = _ZvObject_GetDictPtr(self);
        if (dictptr != nullptr) Zv_VISIT(*dictptr);
    }
    /* A heap instance keeps its type alive. */
    if (type->tp_flags & Zv_TPFLAGS_HEAPTYPE) Zv_VISIT(type);
    return basetraverse ? basetraverse(self, visit, arg) : 0;
}

static int subtype_clear(ZvObject *self)
{
    ZvTypeObject *type = Zv_TYPE(self), *base = type;
    inquiry baseclear;
    while ((baseclear = base->tp_clear) == subtype_clear) {
        if (Zv_SIZE(base)) clear_slots(base, self);
        base = base->tp_base;
    }
    if (type->tp_dictoffset != base->tp_dictoffset) {
        ZvObject **dictptr = _ZvObject_GetDictPtr(self);
        if (dictptr != nullptr) Zv_CLEAR(*dictptr);
    }
    return baseclear ? baseclear(self) : 0;
}

static ZvObject *subtype_dict(ZvObject *obj, void *)
{
    ZvObject **dictptr = _ZvObject_GetDictPtr(obj);
    if (dictptr == nullptr) {
        ZvErr_SetString(ZvExc_AttributeError, "This object has no __dict__");
        return nullptr;
    }
    if (*dictptr == nullptr) {
        *dictptr = ZvDict_New();
        if (*dictptr == nullptr) return nullptr;
    }
    Zv_INCREF(*dictptr);
    return *dictptr;
}

static int subtype_setdict(ZvObject *obj, ZvObject *value, void *)
{
    ZvObject **dictptr = _ZvObject_GetDictPtr(obj);
    if (dictptr == nullptr) {
        ZvErr_SetString(ZvExc_AttributeError, "This object has no __dict__");
        return -1;
    }
    if (value != nullptr && !ZvDict_Check(value)) {
        ZvErr_SetString(ZvExc_TypeError, "__dict__ must be set to a dictionary");
        return -1;
    }
    ZvObject *old = *dictptr;
    Zv_XINCREF(value);
    *dictptr = value;
    Zv_XDECREF(old);
    return 0;
}

static ZvObject *subtype_getweakref(ZvObject *obj, void *)
{
    ZvTypeObject *type = Zv_TYPE(obj);
    if (type->tp_weaklistoffset == 0) {
        ZvErr_SetString(ZvExc_AttributeError, "This object has no __weaklist__");
        return nullptr;
    }
    ZvObject *result = *(ZvObject **)((char *)obj + type->tp_weaklistoffset);
    if (result == nullptr) result = Zv_None;
    Zv_INCREF(result);
    return result;
}

static ZvGetSetDef subtype_getsets_full[] = {
    {"__dict__", subtype_dict, subtype_setdict, "dictionary for instance variables (if defined)", nullptr},
    {"__weakref__", subtype_getweakref, nullptr, "list of weak references to the object (if defined)", nullptr},
    {},
};

static ZvGetSetDef subtype_getsets_dict_only[] = {
    {"__dict__", subtype_dict, subtype_setdict, "dictionary for instance variables (if defined)", nullptr},
    {},
};

static ZvGetSetDef subtype_getsets_weakref_only[] = {
    {"__weakref__", subtype_getweakref, nullptr, "list of weak references to the object (if defined)", nullptr},
    {},
};

/* --- __new__ ------------------------------------------------------------- */

ZvObject *_ZvType_NewWrapper(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    if (self == nullptr || !ZvType_Check(self)) {
        ZvErr_Format(ZvExc_SystemError, "__new__() called with non-type 'self'");
        return nullptr;
    }
    auto *type = (ZvTypeObject *)self;
    if (args == nullptr || !ZvTuple_Check(args) || ZvTuple_GET_SIZE(args) < 1) {
        ZvErr_Format(ZvExc_TypeError, "%s.__new__(): not enough arguments", type->tp_name);
        return nullptr;
    }
    ZvObject *arg0 = ZvTuple_GET_ITEM(args, 0);
    if (!ZvType_Check(arg0)) {
        ZvErr_Format(ZvExc_TypeError, "%s.__new__(X): X is not a type object (%s)", type->tp_name,
                     Zv_TYPE(arg0)->tp_name);
        return nullptr;
    }
    auto *subtype = (ZvTypeObject *)arg0;
    if (!ZvType_IsSubtype(subtype, type)) {
        ZvErr_Format(ZvExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", type->tp_name,
                     subtype->tp_name, subtype->tp_name, type->tp_name);
        return nullptr;
    }
    /* The nearest static base decides the layout; another type's __new__
     * would build an object its deallocator does not expect. */
    ZvTypeObject *staticbase = subtype;
    while (staticbase != nullptr && (staticbase->tp_flags & Zv_TPFLAGS_HEAPTYPE))
        staticbase = staticbase->tp_base;
    if (staticbase != nullptr && staticbase->tp_new != type->tp_new) {
        ZvErr_Format(ZvExc_TypeError, "%s.__new__(%s) is not safe, use %s.__new__()",
                     type->tp_name, subtype->tp_name, staticbase->tp_name);
        return nullptr;
    }
    Ref rest(ZvTuple_GetSlice(args, 1, ZvTuple_GET_SIZE(args)));
    if (!rest) return nullptr;
    return type->tp_new(subtype, rest.get(), kwds);
}

static ZvMethodDef tp_new_methoddef[] = {
    {"__new__", (ZvCFunction)(void (*)(void))_ZvType_NewWrapper, METH_VARARGS | METH_KEYWORDS,
     "T.__new__(S, ...) -> a new object with type S, a subtype of T"},
    {},
};

static int add_tp_new_wrapper(ZvTypeObject *type)
{
    if (ZvDict_GetItemString(type->tp_dict, "__new__") != nullptr) return 0;
    Ref func(ZvCFunction_New(tp_new_methoddef, (ZvObject *)type));
    if (!func) return -1;
    return ZvDict_SetItemString(type->tp_dict, "__new__", func.get());
}

/* --- readying ---------------------------------------------------------------- */

static int add_methods(ZvTypeObject *type, ZvMethodDef *meth)
{
    ZvObject *dict = type->tp_dict;
    for (; meth->ml_name != nullptr; meth++) {
        if (ZvDict_GetItemString(dict, meth->ml_name) && !(meth->ml_flags & METH_COEXIST)) continue;
        ZvObject *descr;
        if (meth->ml_flags & METH_CLASS) {
            if (meth->ml_flags & METH_STATIC) {
                ZvErr_SetString(ZvExc_ValueError, "method cannot be both class and static");
                return -1;
            }
            descr = ZvDescr_NewClassMethod(type, meth);
        } else if (meth->ml_flags & METH_STATIC) {
            Ref cfunc(ZvCFunction_New(meth, nullptr));
            if (!cfunc) return -1;
            descr = ZvStaticMethod_New(cfunc.get());
        } else {
            descr = ZvDescr_NewMethod(type, meth);
        }
        if (descr == nullptr) return -1;
        int r = ZvDict_SetItemString(dict, meth->ml_name, descr);
        Zv_DECREF(descr);
        if (r < 0) return -1;
    }
    return 0;
}

static int add_members(ZvTypeObject *type, ZvMemberDef *memb)
{
    for (; memb->name != nullptr; memb++) {
        if (ZvDict_GetItemString(type->tp_dict, memb->name)) continue;
        Ref descr(ZvDescr_NewMember(type, memb));
        if (!descr || ZvDict_SetItemString(type->tp_dict, memb->name, descr.get()) < 0) return -1;
    }
    return 0;
}

static int add_getset(ZvTypeObject *type, ZvGetSetDef *gsp)
{
    for (; gsp->name != nullptr; gsp++) {
        if (ZvDict_GetItemString(type->tp_dict, gsp->name)) continue;
        Ref descr(ZvDescr_NewGetSet(type, gsp));
        if (!descr || ZvDict_SetItemString(type->tp_dict, gsp->name, descr.get()) < 0) return -1;
    }
    return 0;
}

static void inherit_special(ZvTypeObject *type, ZvTypeObject *base)
{
    int oldflags = type->tp_flags;
    if (type->tp_as_buffer == nullptr && base->tp_as_buffer != nullptr) {
        type->tp_flags &= ~Zv_TPFLAGS_HAVE_GETCHARBUFFER;
        type->tp_flags |= base->tp_flags & Zv_TPFLAGS_HAVE_GETCHARBUFFER;
    }
    if (type->tp_as_sequence == nullptr && base->tp_as_sequence != nullptr) {
        type->tp_flags &= ~Zv_TPFLAGS_HAVE_SEQUENCE_IN;
        type->tp_flags |= base->tp_flags & Zv_TPFLAGS_HAVE_SEQUENCE_IN;
    }
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_INPLACEOPS) !=
        (base->tp_flags & Zv_TPFLAGS_HAVE_INPLACEOPS)) {
        if ((!type->tp_as_number && base->tp_as_number) ||
            (!type->tp_as_sequence && base->tp_as_sequence)) {
            type->tp_flags &= ~Zv_TPFLAGS_HAVE_INPLACEOPS;
            if (!type->tp_as_number && !type->tp_as_sequence)
                type->tp_flags |= base->tp_flags & Zv_TPFLAGS_HAVE_INPLACEOPS;
        }
    }
    if (type->tp_as_number == nullptr && base->tp_as_number != nullptr) {
        type->tp_flags &= ~Zv_TPFLAGS_CHECKTYPES;
        type->tp_flags |= base->tp_flags & Zv_TPFLAGS_CHECKTYPES;
    }
    if (type->tp_basicsize == 0) type->tp_basicsize = base->tp_basicsize;
    if (type->tp_itemsize == 0) type->tp_itemsize = base->tp_itemsize;
    if (!(type->tp_flags & Zv_TPFLAGS_HAVE_GC) && (base->tp_flags & Zv_TPFLAGS_HAVE_GC) &&
        (type->tp_flags & Zv_TPFLAGS_HAVE_RICHCOMPARE) && type->tp_traverse == nullptr &&
        type->tp_clear == nullptr) {
        type->tp_flags |= Zv_TPFLAGS_HAVE_GC;
        type->tp_traverse = base->tp_traverse;
        type->tp_clear = base->tp_clear;
    }
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_CLASS) && (base->tp_flags & Zv_TPFLAGS_HAVE_CLASS)) {
        /* A static type whose base is object and that defines no __new__
         * cannot be instantiated. */
        if (base != &ZvBaseObject_Type || (type->tp_flags & Zv_TPFLAGS_HEAPTYPE)) {
            if (type->tp_new == nullptr) type->tp_new = base->tp_new;
        }
        if (type->tp_dictoffset == 0) type->tp_dictoffset = base->tp_dictoffset;
    }
    if ((type->tp_flags & oldflags & Zv_TPFLAGS_HAVE_WEAKREFS) &&
        (base->tp_flags & Zv_TPFLAGS_HAVE_WEAKREFS) && type->tp_weaklistoffset == 0)
        type->tp_weaklistoffset = base->tp_weaklistoffset;
}

/* A slot is inherited from `base` when base defines it: it is set and
 * differs from what base itself inherited from its own base. */
#define SLOTDEFINED(SLOT)                                                     \
    (base->SLOT != 0 && (basebase == nullptr || base->SLOT != basebase->SLOT))
#define COPYSLOT(SLOT)                                                        \
    if (!type->SLOT && SLOTDEFINED(SLOT)) type->SLOT = base->SLOT

#define COPYNUM(SLOT) COPYSLOT(tp_as_number->SLOT)
#define COPYSEQ(SLOT) COPYSLOT(tp_as_sequence->SLOT)
#define COPYMAP(SLOT) COPYSLOT(tp_as_mapping->SLOT)
#define COPYBUF(SLOT) COPYSLOT(tp_as_buffer->SLOT)

static void inherit_number_slots(ZvTypeObject *type, ZvTypeObject *base)
{
    ZvTypeObject *basebase = base->tp_base;
    if (basebase != nullptr && basebase->tp_as_number == nullptr) basebase = nullptr;
    COPYNUM(nb_add); COPYNUM(nb_subtract); COPYNUM(nb_multiply); COPYNUM(nb_divide);
    COPYNUM(nb_remainder); COPYNUM(nb_divmod); COPYNUM(nb_power); COPYNUM(nb_negative);
    COPYNUM(nb_positive); COPYNUM(nb_absolute); COPYNUM(nb_nonzero); COPYNUM(nb_invert);
    COPYNUM(nb_lshift); COPYNUM(nb_rshift); COPYNUM(nb_and); COPYNUM(nb_xor); COPYNUM(nb_or);
    COPYNUM(nb_coerce); COPYNUM(nb_int); COPYNUM(nb_long); COPYNUM(nb_float); COPYNUM(nb_oct);
    COPYNUM(nb_hex);
    COPYNUM(nb_inplace_add); COPYNUM(nb_inplace_subtract); COPYNUM(nb_inplace_multiply);
    COPYNUM(nb_inplace_divide); COPYNUM(nb_inplace_remainder); COPYNUM(nb_inplace_power);
    COPYNUM(nb_inplace_lshift); COPYNUM(nb_inplace_rshift); COPYNUM(nb_inplace_and);
    COPYNUM(nb_inplace_xor); COPYNUM(nb_inplace_or);
    if (base->tp_flags & Zv_TPFLAGS_CHECKTYPES) {
        COPYNUM(nb_true_divide); COPYNUM(nb_floor_divide);
        COPYNUM(nb_inplace_true_divide); COPYNUM(nb_inplace_floor_divide);
    }
}

static void inherit_table_slots(ZvTypeObject *type, ZvTypeObject *base)
{
    if (type->tp_as_number != nullptr && base->tp_as_number != nullptr)
        inherit_number_slots(type, base);
    if (type->tp_as_sequence != nullptr && base->tp_as_sequence != nullptr) {
        ZvTypeObject *basebase = base->tp_base;
        if (basebase != nullptr && basebase->tp_as_sequence == nullptr) basebase = nullptr;
        COPYSEQ(sq_length); COPYSEQ(sq_concat); COPYSEQ(sq_repeat); COPYSEQ(sq_item);
        COPYSEQ(sq_slice); COPYSEQ(sq_ass_item); COPYSEQ(sq_ass_slice); COPYSEQ(sq_contains);
        COPYSEQ(sq_inplace_concat); COPYSEQ(sq_inplace_repeat);
    }
    if (type->tp_as_mapping != nullptr && base->tp_as_mapping != nullptr) {
        ZvTypeObject *basebase = base->tp_base;
        if (basebase != nullptr && basebase->tp_as_mapping == nullptr) basebase = nullptr;
        COPYMAP(mp_length); COPYMAP(mp_subscript); COPYMAP(mp_ass_subscript);
    }
    if (type->tp_as_buffer != nullptr && base->tp_as_buffer != nullptr) {
        ZvTypeObject *basebase = base->tp_base;
        if (basebase != nullptr && basebase->tp_as_buffer == nullptr) basebase = nullptr;
        COPYBUF(bf_getreadbuffer); COPYBUF(bf_getwritebuffer); COPYBUF(bf_getsegcount);
        COPYBUF(bf_getcharbuffer);
    }
}

static void inherit_slots(ZvTypeObject *type, ZvTypeObject *base)
{
    inherit_table_slots(type, base);
    ZvTypeObject *basebase = base->tp_base;
    COPYSLOT(tp_dealloc);
    COPYSLOT(tp_print);
    if (type->tp_getattr == nullptr && type->tp_getattro == nullptr) {
        type->tp_getattr = base->tp_getattr;
        type->tp_getattro = base->tp_getattro;
    }
    if (type->tp_setattr == nullptr && type->tp_setattro == nullptr) {
        type->tp_setattr = base->tp_setattr;
        type->tp_setattro = base->tp_setattro;
    }
    COPYSLOT(tp_repr);
    COPYSLOT(tp_call);
    COPYSLOT(tp_str);
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_RICHCOMPARE) &&
        (base->tp_flags & Zv_TPFLAGS_HAVE_RICHCOMPARE)) {
        if (type->tp_compare == nullptr && type->tp_richcompare == nullptr &&
            type->tp_hash == nullptr) {
            type->tp_compare = base->tp_compare;
            type->tp_richcompare = base->tp_richcompare;
            type->tp_hash = base->tp_hash;
        }
    } else {
        COPYSLOT(tp_compare);
    }
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_ITER) && (base->tp_flags & Zv_TPFLAGS_HAVE_ITER)) {
        COPYSLOT(tp_iter);
        COPYSLOT(tp_iternext);
    }
    if ((type->tp_flags & Zv_TPFLAGS_HAVE_CLASS) && (base->tp_flags & Zv_TPFLAGS_HAVE_CLASS)) {
        COPYSLOT(tp_descr_get);
        COPYSLOT(tp_descr_set);
        COPYSLOT(tp_dictoffset);
        COPYSLOT(tp_init);
        COPYSLOT(tp_alloc);
        COPYSLOT(tp_is_gc);
        if ((type->tp_flags & Zv_TPFLAGS_HAVE_GC) == (base->tp_flags & Zv_TPFLAGS_HAVE_GC)) {
            COPYSLOT(tp_free);
        } else if ((type->tp_flags & Zv_TPFLAGS_HAVE_GC) && type->tp_free == nullptr &&
                   base->tp_free == ZvObject_Free) {
            type->tp_free = ZvObject_GC_Del;
        }
    }
}

#undef COPYBUF
#undef COPYMAP
#undef COPYSEQ
#undef COPYNUM
#undef COPYSLOT
#undef SLOTDEFINED

static int ready_fail(ZvTypeObject *) { return -1; }

static int ready_steps(ZvTypeObject *type);

int ZvType_Ready(ZvTypeObject *type)
{
    if (type == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (type->tp_flags & Zv_TPFLAGS_READY) return 0;
    if (type->tp_flags & Zv_TPFLAGS_READYING) return 0; /* re-entered for this very type */
    type->tp_flags |= Zv_TPFLAGS_READYING;
    const bool had_dict = type->tp_dict != nullptr;
    if (ready_steps(type) == 0) {
        type->tp_flags = (type->tp_flags & ~Zv_TPFLAGS_READYING) | Zv_TPFLAGS_READY;
        return 0;
    }
    /* A readying that failed half way (for want of memory, say) leaves no
     * dictionary behind: a type with one passes for ready everywhere, and
     * could then never be readied again. */
    if (!had_dict) {
        Zv_CLEAR(type->tp_dict);
        Zv_CLEAR(type->tp_mro);
        _ZvType_InvalidateCache();
    }
    type->tp_flags &= ~Zv_TPFLAGS_READYING;
    return -1;
}

static int ready_steps(ZvTypeObject *type)
{
    _ZvSlots_Init();

    ZvTypeObject *base = type->tp_base;
    if (base == nullptr && type != &ZvBaseObject_Type) base = type->tp_base = &ZvBaseObject_Type;
    if (base != nullptr && base->tp_dict == nullptr && ZvType_Ready(base) < 0)
        return ready_fail(type);
    if (type->ob_type == nullptr && base != nullptr) type->ob_type = base->ob_type;

    if (type->tp_bases == nullptr) {
        type->tp_bases = base == nullptr ? ZvTuple_New(0) : ZvTuple_Pack(1, (ZvObject *)base);
        if (type->tp_bases == nullptr) return ready_fail(type);
    }
    if (type->tp_dict == nullptr) {
        type->tp_dict = ZvDict_New();
        if (type->tp_dict == nullptr) return ready_fail(type);
    }
    _ZvType_MarkClassDict(type->tp_dict);

    if (_ZvSlots_AddOperators(type) < 0) return ready_fail(type);
    if (type->tp_new != nullptr && add_tp_new_wrapper(type) < 0) return ready_fail(type);
    if (type->tp_methods != nullptr && add_methods(type, type->tp_methods) < 0)
        return ready_fail(type);
    if (type->tp_members != nullptr && add_members(type, type->tp_members) < 0)
        return ready_fail(type);
    if (type->tp_getset != nullptr && add_getset(type, type->tp_getset) < 0)
        return ready_fail(type);

    if (mro_internal(type) < 0) return ready_fail(type);
    /* A metaclass's mro() may have assigned __bases__ meanwhile. */
    base = type->tp_base;

    if (type->tp_base != nullptr) inherit_special(type, type->tp_base);
    ZvObject *mro = type->tp_mro;
    for (int i = 1; i < ZvTuple_GET_SIZE(mro); i++) {
        ZvObject *b = ZvTuple_GET_ITEM(mro, i);
        if (ZvType_Check(b)) inherit_slots(type, (ZvTypeObject *)b);
    }

    if ((type->tp_flags & Zv_TPFLAGS_HAVE_GC) && (type->tp_flags & Zv_TPFLAGS_BASETYPE) &&
        (type->tp_free == nullptr || type->tp_free == ZvObject_Free)) {
        ZvErr_Format(ZvExc_TypeError,
                     "type '%.100s' participates in gc and is a base type but has inappropriate "
                     "tp_free slot",
                     type->tp_name);
        return ready_fail(type);
    }

    if (ZvDict_GetItemString(type->tp_dict, "__doc__") == nullptr) {
        Ref doc(type->tp_doc ? ZvString_FromString(type->tp_doc) : (Zv_INCREF(Zv_None), Zv_None));
        if (!doc || ZvDict_SetItemString(type->tp_dict, "__doc__", doc.get()) < 0)
            return ready_fail(type);
    }

    if (base != nullptr) {
        if (type->tp_as_number == nullptr) type->tp_as_number = base->tp_as_number;
        if (type->tp_as_sequence == nullptr) type->tp_as_sequence = base->tp_as_sequence;
        if (type->tp_as_mapping == nullptr) type->tp_as_mapping = base->tp_as_mapping;
        if (type->tp_as_buffer == nullptr) type->tp_as_buffer = base->tp_as_buffer;
    }

    ZvObject *bases = type->tp_bases;
    for (int i = 0; i < ZvTuple_GET_SIZE(bases); i++) {
        ZvObject *b = ZvTuple_GET_ITEM(bases, i);
        if (ZvType_Check(b) && add_subclass((ZvTypeObject *)b, type) < 0) return ready_fail(type);
    }

    return 0;
}

/* --- class creation --------------------------------------------------------- */

static bool valid_identifier(ZvObject *s)
{
    const unsigned char *p = (const unsigned char *)ZvString_AS_STRING(s);
    int n = ZvString_GET_SIZE(s);
    if (n == 0 || !(isalpha(p[0]) || p[0] == '_')) return false;
    for (int i = 1; i < n; i++)
        if (!(isalnum(p[i]) || p[i] == '_')) return false;
    return true;
}

/* Private names in __slots__ ("__x") are stored as "_Class__x", as the
 * compiler mangles them in the class body.  Names ending in "__", names
 * with a dot and classes named only with underscores are left alone. */
static ZvObject *mangle_slot_name(ZvObject *classname, ZvObject *name)
{
    const char *n = ZvString_AS_STRING(name);
    size_t nlen = (size_t)ZvString_GET_SIZE(name);
    const char *c = ZvString_AS_STRING(classname);
    if (nlen < 2 || n[0] != '_' || n[1] != '_' || (n[nlen - 1] == '_' && n[nlen - 2] == '_') ||
        strchr(n, '.') != nullptr) {
        Zv_INCREF(name);
        return name;
    }
    while (*c == '_') c++;
    if (*c == '\0') {
        Zv_INCREF(name);
        return name;
    }
    std::string mangled = "_";
    mangled += c;
    mangled.append(n, nlen);
    return ZvString_FromStringAndSize(mangled.data(), (int)mangled.size());
}

namespace {
struct SlotPlan {
    Ref slots;       /* tuple of mangled names, or NULL when no __slots__ */
    int nslots = 0;
    bool add_dict = false;
    bool add_weak = false;
};
} // namespace

static int plan_slots(ZvObject *name, ZvObject *bases, ZvObject *dict, ZvTypeObject *base,
                      SlotPlan *plan)
{
    bool may_add_dict = base->tp_dictoffset == 0;
    bool may_add_weak = base->tp_weaklistoffset == 0 && base->tp_itemsize == 0;
    /* Held: turning __slots__ into a tuple runs its __iter__, which may
     * delete it from the class dictionary. */
    Ref slots = Ref::borrow(ZvDict_GetItemString(dict, "__slots__"));
    if (!slots) {
        plan->add_dict = may_add_dict;
        plan->add_weak = may_add_weak;
        return 0;
    }
    Ref seq(ZvString_Check(slots.get()) ? ZvTuple_Pack(1, slots.get())
                                        : ZvSequence_Tuple(slots.get()));
    if (!seq) return -1;
    int n = ZvTuple_GET_SIZE(seq.get());
    if (n > 0 && base->tp_itemsize != 0) {
        ZvErr_Format(ZvExc_TypeError, "nonempty __slots__ not supported for subtype of '%s'",
                     base->tp_name);
        return -1;
    }
    for (int i = 0; i < n; i++) {
        ZvObject *s = ZvTuple_GET_ITEM(seq.get(), i);
        if (!ZvString_Check(s)) {
            ZvErr_SetString(ZvExc_TypeError, "__slots__ must be strings");
            return -1;
        }
        if (!valid_identifier(s)) {
            ZvErr_SetString(ZvExc_TypeError, "__slots__ must be identifiers");
            return -1;
        }
    }
    Ref names(ZvList_New(0));
    if (!names) return -1;
    for (int i = 0; i < n; i++) {
        ZvObject *s = ZvTuple_GET_ITEM(seq.get(), i);
        const char *str = ZvString_AS_STRING(s);
        if (strcmp(str, "__dict__") == 0) {
            if (!may_add_dict || plan->add_dict) {
                ZvErr_SetString(ZvExc_TypeError, "__dict__ slot disallowed: we already got one");
                return -1;
            }
            plan->add_dict = true;
            continue;
        }
        if (strcmp(str, "__weakref__") == 0) {
            if (!may_add_weak || plan->add_weak) {
                ZvErr_SetString(ZvExc_TypeError,
                                "__weakref__ slot disallowed: either we already got one, or "
                                "__itemsize__ != 0");
                return -1;
            }
            plan->add_weak = true;
            continue;
        }
        ZvObject *mangled = mangle_slot_name(name, s);
        if (mangled == nullptr) return -1;
        ZvString_InternInPlace(&mangled);
        int err = ZvList_Append(names.get(), mangled);
        Zv_DECREF(mangled);
        if (err < 0) return -1;
    }
    plan->slots.reset(ZvList_AsTuple(names.get()));
    if (!plan->slots) return -1;
    plan->nslots = ZvTuple_GET_SIZE(plan->slots.get());

    /* Another base may already give instances a dictionary or weak list. */
    int nbases = ZvTuple_GET_SIZE(bases);
    if (nbases > 1 && ((may_add_dict && !plan->add_dict) || (may_add_weak && !plan->add_weak))) {
        for (int i = 0; i < nbases; i++) {
            ZvObject *tmp = ZvTuple_GET_ITEM(bases, i);
            if (tmp == (ZvObject *)base) continue;
            if (ZvClass_Check(tmp)) {
                /* A classic base's instances have both. */
                plan->add_dict = may_add_dict;
                plan->add_weak = may_add_weak;
                break;
            }
            if (!ZvType_Check(tmp)) continue;
            auto *t = (ZvTypeObject *)tmp;
            if (may_add_dict && !plan->add_dict && t->tp_dictoffset != 0) plan->add_dict = true;
            if (may_add_weak && !plan->add_weak && t->tp_weaklistoffset != 0) plan->add_weak = true;
            if ((!may_add_dict || plan->add_dict) && (!may_add_weak || plan->add_weak)) break;
        }
    }
    return 0;
}

/* Chooses the most derived metatype; hands the call over when that one
 * has its own __new__.  Returns 1 with *result set when handed over. */
static int choose_metatype(ZvTypeObject **metatype, ZvObject *bases, ZvObject *args,
                           ZvObject *kwds, ZvObject **result)
{
    ZvTypeObject *winner = *metatype;
    int nbases = ZvTuple_GET_SIZE(bases);
    for (int i = 0; i < nbases; i++) {
        ZvObject *b = ZvTuple_GET_ITEM(bases, i);
        if (ZvClass_Check(b)) continue; /* classic bases have no say */
        ZvTypeObject *tmptype = Zv_TYPE(b);
        if (ZvType_IsSubtype(winner, tmptype)) continue;
        if (ZvType_IsSubtype(tmptype, winner)) {
            winner = tmptype;
            continue;
        }
        ZvErr_SetString(ZvExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return -1;
    }
    if (winner != *metatype) {
        if (winner->tp_new != type_new) {
            *result = winner->tp_new(winner, args, kwds);
            return 1;
        }
        *metatype = winner;
    }
    return 0;
}

static int fill_class_dict(ZvTypeObject *type, ZvObject *dict)
{
    type->tp_dict = ZvDict_Copy(dict);
    if (type->tp_dict == nullptr) return -1;
    if (ZvDict_GetItemString(type->tp_dict, "__module__") == nullptr) {
        ZvObject *globals = ZvEval_GetGlobals();
        ZvObject *modname = globals ? ZvDict_GetItemString(globals, "__name__") : nullptr;
        if (modname != nullptr && ZvDict_SetItemString(type->tp_dict, "__module__", modname) < 0)
            return -1;
    }
    ZvObject *doc = ZvDict_GetItemString(type->tp_dict, "__doc__");
    if (doc != nullptr && ZvString_Check(doc)) {
        size_t n = (size_t)ZvString_GET_SIZE(doc) + 1;
        auto *tp_doc = (char *)ZvObject_Malloc(n);
        if (tp_doc == nullptr) {
            ZvErr_NoMemory();
            return -1;
        }
        memcpy(tp_doc, ZvString_AS_STRING(doc), n);
        type->tp_doc = tp_doc;
    }
    /* A plain function stored as __new__ is a static method: it receives
     * the class explicitly.  Native callables need no wrapping. */
    ZvObject *newobj = ZvDict_GetItemString(type->tp_dict, "__new__");
    if (newobj != nullptr && ZvFunction_Check(newobj)) {
        Ref sm(ZvStaticMethod_New(newobj));
        if (!sm || ZvDict_SetItemString(type->tp_dict, "__new__", sm.get()) < 0) return -1;
    }
    return 0;
}

static void lay_out_instances(ZvTypeObject *type, ZvTypeObject *base, const SlotPlan &plan)
{
    auto *et = (ZvHeapTypeObject *)type;
    int slotoffset = base->tp_basicsize;
    ZvMemberDef *mp = _ZvHeapType_GET_MEMBERS(type);
    for (int i = 0; i < plan.nslots; i++, mp++) {
        mp->name = ZvString_AS_STRING(ZvTuple_GET_ITEM(et->ht_slots, i));
        mp->type = T_OBJECT_EX;
        mp->offset = slotoffset;
        slotoffset += (int)sizeof(ZvObject *);
    }
    if (plan.add_dict) {
        if (base->tp_itemsize)
            type->tp_dictoffset = -(int)sizeof(ZvObject *);
        else
            type->tp_dictoffset = slotoffset;
        slotoffset += (int)sizeof(ZvObject *);
    }
    if (plan.add_weak) {
        type->tp_weaklistoffset = slotoffset;
        slotoffset += (int)sizeof(ZvObject *);
    }
    type->tp_basicsize = slotoffset;
    type->tp_itemsize = base->tp_itemsize;
    type->tp_members = _ZvHeapType_GET_MEMBERS(type);
    if (type->tp_weaklistoffset && type->tp_dictoffset)
        type->tp_getset = subtype_getsets_full;
    else if (type->tp_weaklistoffset)
        type->tp_getset = subtype_getsets_weakref_only;
    else if (type->tp_dictoffset)
        type->tp_getset = subtype_getsets_dict_only;

    if (type->tp_dictoffset || plan.nslots > 0) {
        if (base->tp_getattr == nullptr && base->tp_getattro == nullptr)
            type->tp_getattro = ZvObject_GenericGetAttr;
        if (base->tp_setattr == nullptr && base->tp_setattro == nullptr)
            type->tp_setattro = ZvObject_GenericSetAttr;
    }
    type->tp_dealloc = _ZvType_SubtypeDealloc;
    /* Only instances that are a bare header can hold no references. */
    if (!(type->tp_basicsize == (int)sizeof(ZvObject) && type->tp_itemsize == 0))
        type->tp_flags |= Zv_TPFLAGS_HAVE_GC;
    type->tp_alloc = ZvType_GenericAlloc;
    if (type->tp_flags & Zv_TPFLAGS_HAVE_GC) {
        type->tp_free = ZvObject_GC_Del;
        type->tp_traverse = subtype_traverse;
        type->tp_clear = subtype_clear;
    } else {
        type->tp_free = ZvObject_Free;
    }
}

static ZvObject *type_new(ZvTypeObject *metatype, ZvObject *args, ZvObject *kwds)
{
    if (args == nullptr || !ZvTuple_Check(args)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (metatype == &ZvType_Type) {
        int nargs = ZvTuple_GET_SIZE(args);
        int nkwds = (kwds == nullptr || !ZvDict_Check(kwds)) ? 0 : ZvDict_Size(kwds);
        if (nargs == 1 && nkwds == 0) {
            ZvObject *x = ZvTuple_GET_ITEM(args, 0);
            Zv_INCREF(Zv_TYPE(x));
            return (ZvObject *)Zv_TYPE(x);
        }
        if (nargs + nkwds != 3) {
            ZvErr_SetString(ZvExc_TypeError, "type() takes 1 or 3 arguments");
            return nullptr;
        }
    }
    ZvObject *name, *bases, *dict;
    static char *kwlist[] = {(char *)"name", (char *)"bases", (char *)"dict", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "SO!O!:type", kwlist, &name, &ZvTuple_Type,
                                     &bases, &ZvDict_Type, &dict))
        return nullptr;

    ZvObject *handed_over = nullptr;
    int r = choose_metatype(&metatype, bases, args, kwds, &handed_over);
    if (r < 0) return nullptr;
    if (r > 0) return handed_over;

    Ref bases_ref;
    if (ZvTuple_GET_SIZE(bases) == 0) {
        bases_ref.reset(ZvTuple_Pack(1, (ZvObject *)&ZvBaseObject_Type));
        if (!bases_ref) return nullptr;
        bases = bases_ref.get();
    }

    ZvTypeObject *base = best_base(bases);
    if (base == nullptr) return nullptr;
    if (!(base->tp_flags & Zv_TPFLAGS_BASETYPE)) {
        ZvErr_Format(ZvExc_TypeError, "type '%.100s' is not an acceptable base type",
                     base->tp_name);
        return nullptr;
    }

    SlotPlan plan;
    if (plan_slots(name, bases, dict, base, &plan) < 0) return nullptr;

    Ref typeref(metatype->tp_alloc(metatype, plan.nslots));
    if (!typeref) return nullptr;
    auto *type = (ZvTypeObject *)typeref.get();
    auto *et = (ZvHeapTypeObject *)type;
    Zv_INCREF(name);
    et->ht_name = name;
    et->ht_slots = plan.slots.release();

    type->tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HEAPTYPE | Zv_TPFLAGS_BASETYPE;
    if (base->tp_flags & Zv_TPFLAGS_HAVE_GC) type->tp_flags |= Zv_TPFLAGS_HAVE_GC;
    if ((base->tp_flags & Zv_TPFLAGS_CHECKTYPES) || base->tp_as_number == nullptr)
        type->tp_flags |= Zv_TPFLAGS_CHECKTYPES;
    type->tp_as_number = &et->as_number;
    type->tp_as_sequence = &et->as_sequence;
    type->tp_as_mapping = &et->as_mapping;
    type->tp_as_buffer = &et->as_buffer;
    type->tp_name = ZvString_AS_STRING(name);
    Zv_INCREF(bases);
    type->tp_bases = bases;
    Zv_INCREF(base);
    type->tp_base = base;

    if (fill_class_dict(type, dict) < 0) return nullptr;
    lay_out_instances(type, base, plan);

    if (ZvType_Ready(type) < 0) return nullptr;
    _ZvSlots_Fixup(type);
    return typeref.release();
}

/* --- the type records ---------------------------------------------------- */

ZvTypeObject ZvType_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "type",                                   /* tp_name */
    sizeof(ZvHeapTypeObject),                 /* tp_basicsize */
    sizeof(ZvMemberDef),                      /* tp_itemsize */
    type_dealloc,                             /* tp_dealloc */
    nullptr,                                  /* tp_print */
    nullptr,                                  /* tp_getattr */
    nullptr,                                  /* tp_setattr */
    type_compare,                             /* tp_compare */
    type_repr,                                /* tp_repr */
    nullptr, nullptr, nullptr,                /* number, sequence, mapping */
    (hashfunc)_Zv_HashPointer,                /* tp_hash */
    type_call,                                /* tp_call */
    nullptr,                                  /* tp_str */
    type_getattro,                            /* tp_getattro */
    type_setattro,                            /* tp_setattro */
    nullptr,                                  /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "type(object) -> the object's type\ntype(name, bases, dict) -> a new type",
    type_traverse,                            /* tp_traverse */
    type_clear,                               /* tp_clear */
    nullptr,                                  /* tp_richcompare */
    offsetof(ZvTypeObject, tp_weaklist),      /* tp_weaklistoffset */
    nullptr,                                  /* tp_iter */
    nullptr,                                  /* tp_iternext */
    type_methods,                             /* tp_methods */
    type_members,                             /* tp_members */
    type_getsets,                             /* tp_getset */
    nullptr,                                  /* tp_base */
    nullptr,                                  /* tp_dict */
    nullptr,                                  /* tp_descr_get */
    nullptr,                                  /* tp_descr_set */
    offsetof(ZvTypeObject, tp_dict),          /* tp_dictoffset */
    nullptr,                                  /* tp_init */
    nullptr,                                  /* tp_alloc */
    type_new,                                 /* tp_new */
    ZvObject_GC_Del,                          /* tp_free */
    type_is_gc,                               /* tp_is_gc */
};

ZvTypeObject ZvBaseObject_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "object",                                 /* tp_name */
    sizeof(ZvObject),                         /* tp_basicsize */
    0,                                        /* tp_itemsize */
    object_dealloc,                           /* tp_dealloc */
    nullptr,                                  /* tp_print */
    nullptr,                                  /* tp_getattr */
    nullptr,                                  /* tp_setattr */
    nullptr,                                  /* tp_compare */
    object_repr,                              /* tp_repr */
    nullptr, nullptr, nullptr,                /* number, sequence, mapping */
    object_hash,                              /* tp_hash */
    nullptr,                                  /* tp_call */
    object_str,                               /* tp_str */
    ZvObject_GenericGetAttr,                  /* tp_getattro */
    ZvObject_GenericSetAttr,                  /* tp_setattro */
    nullptr,                                  /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "The most base type",                     /* tp_doc */
    nullptr, nullptr, nullptr, 0, nullptr, nullptr, /* traverse .. iternext */
    object_methods,                           /* tp_methods */
    nullptr,                                  /* tp_members */
    object_getsets,                           /* tp_getset */
    nullptr,                                  /* tp_base */
    nullptr,                                  /* tp_dict */
    nullptr, nullptr, 0,                      /* descr_get, descr_set, dictoffset */
    object_init,                              /* tp_init */
    ZvType_GenericAlloc,                      /* tp_alloc */
    object_new,                               /* tp_new */
    ZvObject_Free,                            /* tp_free */
};

} // extern "C"
