/* The mapping `dict`: open addressing with a perturbed probe sequence.
 *
 * A slot is empty (key NULL), active (key and value set) or dummy (key is
 * the `dummy` marker, value NULL).  ma_fill counts active + dummy slots and
 * at least one slot always stays empty so probes terminate.  Tables of 8
 * slots live inside the object.  Every new dictionary starts with the
 * lookup specialised for exact-string keys and switches to the general one
 * the first time another key arrives.
 *
 * This first version carries the table, lookups, insertion, deletion,
 * growth, iteration by position, key/value/item lists and repr; the
 * methods, comparison, merging, free list and iterators join it. */
#include "zuvo.h"

#include <string.h>

extern "C" {

#define PERTURB_SHIFT 5

static ZvObject *dummy; /* the deleted-slot marker */

static ZvDictEntry *lookdict(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash);
static ZvDictEntry *lookdict_string(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash);

static void empty_to_minsize(ZvDictObject *mp)
{
    memset(mp->ma_smalltable, 0, sizeof(mp->ma_smalltable));
    mp->ma_used = mp->ma_fill = 0;
    mp->ma_table = mp->ma_smalltable;
    mp->ma_mask = ZvDict_MINSIZE - 1;
}

ZvObject *ZvDict_New(void)
{
    if (dummy == nullptr) {
        dummy = ZvString_FromString("<dummy key>");
        if (dummy == nullptr) return nullptr;
    }
    auto *mp = ZvObject_GC_New(ZvDictObject, &ZvDict_Type);
    if (mp == nullptr) return nullptr;
    empty_to_minsize(mp);
    mp->ma_lookup = lookdict_string;
    ZvObject_GC_Track(mp);
    return (ZvObject *)mp;
}

/* The general lookup.  Comparing keys may run arbitrary code, which may
 * mutate this very dictionary: then the probe restarts from scratch. */
static ZvDictEntry *lookdict(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash)
{
    ZvObject *err_type, *err_value, *err_tb;
    bool restore_error = false;
restart:
    uint32_t mask = (uint32_t)mp->ma_mask;
    ZvDictEntry *ep0 = mp->ma_table;
    uint32_t i = (uint32_t)hash & mask;
    ZvDictEntry *ep = &ep0[i];
    ZvDictEntry *freeslot = nullptr;
    for (uint32_t perturb = (uint32_t)hash;; perturb >>= PERTURB_SHIFT) {
        if (ep->me_key == nullptr) {
            ep = freeslot != nullptr ? freeslot : ep;
            break;
        }
        if (ep->me_key == key) break;
        if (ep->me_key == dummy) {
            if (freeslot == nullptr) freeslot = ep;
        } else if (ep->me_hash == hash) {
            if (!restore_error && ZvErr_Occurred()) {
                restore_error = true;
                ZvErr_Fetch(&err_type, &err_value, &err_tb);
            }
            ZvObject *startkey = ep->me_key;
            Zv_INCREF(startkey);
            int cmp = ZvObject_RichCompareBool(startkey, key, Zv_EQ);
            Zv_DECREF(startkey);
            if (cmp < 0) ZvErr_Clear();
            if (ep0 != mp->ma_table || ep->me_key != startkey) goto restart;
            if (cmp > 0) break;
        }
        i = (i << 2) + i + perturb + 1;
        ep = &ep0[i & mask];
    }
    if (restore_error) ZvErr_Restore(err_type, err_value, err_tb);
    return ep;
}

/* Exact-string keys: identity first, then byte equality, which can neither
 * fail nor run user code. */
static ZvDictEntry *lookdict_string(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash)
{
    if (!ZvString_CheckExact(key)) {
        mp->ma_lookup = lookdict;
        return lookdict(mp, key, hash);
    }
    uint32_t mask = (uint32_t)mp->ma_mask;
    ZvDictEntry *ep0 = mp->ma_table;
    uint32_t i = (uint32_t)hash & mask;
    ZvDictEntry *ep = &ep0[i];
    ZvDictEntry *freeslot = nullptr;
    for (uint32_t perturb = (uint32_t)hash;; perturb >>= PERTURB_SHIFT) {
        if (ep->me_key == nullptr) return freeslot != nullptr ? freeslot : ep;
        if (ep->me_key == key) return ep;
        if (ep->me_key == dummy) {
            if (freeslot == nullptr) freeslot = ep;
        } else if (ep->me_hash == hash && _ZvString_Eq(ep->me_key, key)) {
            return ep;
        }
        i = (i << 2) + i + perturb + 1;
        ep = &ep0[i & mask];
    }
}

/* Takes over the references to key and value. */
static void insertdict(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash, ZvObject *value)
{
    ZvDictEntry *ep = mp->ma_lookup(mp, key, hash);
    if (ep->me_value != nullptr) {
        ZvObject *old_value = ep->me_value;
        ep->me_value = value;
        Zv_DECREF(old_value);
        Zv_DECREF(key);
        return;
    }
    if (ep->me_key == nullptr)
        mp->ma_fill++;
    else
        Zv_DECREF(ep->me_key); /* the dummy marker */
    ep->me_key = key;
    ep->me_hash = hash;
    ep->me_value = value;
    mp->ma_used++;
}

static int dictresize(ZvDictObject *mp, int minused)
{
    int newsize = ZvDict_MINSIZE;
    for (; newsize <= minused && newsize > 0; newsize <<= 1) {
    }
    if (newsize <= 0) {
        ZvErr_NoMemory();
        return -1;
    }
    ZvDictEntry *oldtable = mp->ma_table;
    bool is_oldtable_malloced = oldtable != mp->ma_smalltable;
    ZvDictEntry small_copy[ZvDict_MINSIZE];
    ZvDictEntry *newtable;
    if (newsize == ZvDict_MINSIZE) {
        newtable = mp->ma_smalltable;
        if (newtable == oldtable) {
            if (mp->ma_fill == mp->ma_used) return 0;
            memcpy(small_copy, oldtable, sizeof(small_copy));
            oldtable = small_copy;
        }
    } else {
        newtable = (ZvDictEntry *)ZvMem_Malloc(sizeof(ZvDictEntry) * (size_t)newsize);
        if (newtable == nullptr) {
            ZvErr_NoMemory();
            return -1;
        }
    }
    mp->ma_table = newtable;
    mp->ma_mask = newsize - 1;
    memset(newtable, 0, sizeof(ZvDictEntry) * (size_t)newsize);
    int i = mp->ma_fill;
    mp->ma_used = 0;
    mp->ma_fill = 0;
    for (ZvDictEntry *ep = oldtable; i > 0; ep++) {
        if (ep->me_value != nullptr) {
            --i;
            insertdict(mp, ep->me_key, ep->me_hash, ep->me_value);
        } else if (ep->me_key != nullptr) {
            --i;
            Zv_DECREF(ep->me_key);
        }
    }
    if (is_oldtable_malloced) ZvMem_Free(oldtable);
    return 0;
}

/* Exact strings use their cached hash; other keys are hashed generically. */
static inline Zv_hash_t key_hash(ZvObject *key)
{
    if (ZvString_CheckExact(key)) {
        Zv_hash_t h = ((ZvStringObject *)key)->ob_shash;
        if (h != -1) return h;
    }
    return ZvObject_Hash(key);
}

ZvObject *ZvDict_GetItem(ZvObject *op, ZvObject *key)
{
    if (!ZvDict_Check(op)) return nullptr;
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) {
        ZvErr_Clear();
        return nullptr;
    }
    auto *mp = (ZvDictObject *)op;
    return mp->ma_lookup(mp, key, hash)->me_value;
}

int ZvDict_SetItem(ZvObject *op, ZvObject *key, ZvObject *value)
{
    if (!ZvDict_Check(op) || key == nullptr || value == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return -1;
    auto *mp = (ZvDictObject *)op;
    int n_used = mp->ma_used;
    Zv_INCREF(value);
    Zv_INCREF(key);
    insertdict(mp, key, hash, value);
    if (!(mp->ma_used > n_used && mp->ma_fill * 3 >= (mp->ma_mask + 1) * 2)) return 0;
    return dictresize(mp, (mp->ma_used > 50000 ? 2 : 4) * mp->ma_used);
}

int ZvDict_DelItem(ZvObject *op, ZvObject *key)
{
    if (!ZvDict_Check(op) || key == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return -1;
    auto *mp = (ZvDictObject *)op;
    ZvDictEntry *ep = mp->ma_lookup(mp, key, hash);
    if (ep->me_value == nullptr) {
        ZvErr_SetObject(ZvExc_KeyError, key);
        return -1;
    }
    ZvObject *old_key = ep->me_key;
    Zv_INCREF(dummy);
    ep->me_key = dummy;
    ZvObject *old_value = ep->me_value;
    ep->me_value = nullptr;
    mp->ma_used--;
    Zv_DECREF(old_value);
    Zv_DECREF(old_key);
    return 0;
}

/* Empties the dictionary first and only then releases the old contents, so
 * code run by those releases sees an empty dictionary. */
void ZvDict_Clear(ZvObject *op)
{
    if (!ZvDict_Check(op)) return;
    auto *mp = (ZvDictObject *)op;
    ZvDictEntry *table = mp->ma_table;
    bool table_is_malloced = table != mp->ma_smalltable;
    int fill = mp->ma_fill;
    ZvDictEntry small_copy[ZvDict_MINSIZE];
    if (!table_is_malloced) {
        if (fill == 0) return;
        memcpy(small_copy, table, sizeof(small_copy));
        table = small_copy;
    }
    empty_to_minsize(mp);
    for (ZvDictEntry *ep = table; fill > 0; ++ep) {
        if (ep->me_key != nullptr) {
            --fill;
            Zv_DECREF(ep->me_key);
            Zv_XDECREF(ep->me_value);
        }
    }
    if (table_is_malloced) ZvMem_Free(table);
}

int ZvDict_Next(ZvObject *op, int *ppos, ZvObject **pkey, ZvObject **pvalue)
{
    if (!ZvDict_Check(op)) return 0;
    auto *mp = (ZvDictObject *)op;
    int i = *ppos;
    if (i < 0) return 0;
    while (i <= mp->ma_mask && mp->ma_table[i].me_value == nullptr) i++;
    *ppos = i + 1;
    if (i > mp->ma_mask) return 0;
    if (pkey) *pkey = mp->ma_table[i].me_key;
    if (pvalue) *pvalue = mp->ma_table[i].me_value;
    return 1;
}

int ZvDict_Size(ZvObject *mp)
{
    if (mp == nullptr || !ZvDict_Check(mp)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return ((ZvDictObject *)mp)->ma_used;
}

enum class Part { Keys, Values, Items };

static ZvObject *dict_list(ZvObject *op, Part part)
{
    if (op == nullptr || !ZvDict_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *mp = (ZvDictObject *)op;
again:
    int n = mp->ma_used;
    ZvObject *v = ZvList_New(n);
    if (v == nullptr) return nullptr;
    if (part == Part::Items) {
        for (int i = 0; i < n; i++) {
            ZvObject *item = ZvTuple_New(2);
            if (item == nullptr) {
                Zv_DECREF(v);
                return nullptr;
            }
            ZvList_SET_ITEM(v, i, item);
        }
        /* Allocating the pairs may have run the collector and so user code. */
        if (n != mp->ma_used) {
            Zv_DECREF(v);
            goto again;
        }
    }
    ZvDictEntry *ep = mp->ma_table;
    for (int i = 0, j = 0; i <= mp->ma_mask; i++) {
        if (ep[i].me_value == nullptr) continue;
        ZvObject *key = ep[i].me_key, *value = ep[i].me_value;
        Zv_INCREF(key);
        Zv_INCREF(value);
        switch (part) {
        case Part::Keys: Zv_DECREF(value); ZvList_SET_ITEM(v, j, key); break;
        case Part::Values: Zv_DECREF(key); ZvList_SET_ITEM(v, j, value); break;
        case Part::Items: {
            ZvObject *item = ZvList_GET_ITEM(v, j);
            ZvTuple_SET_ITEM(item, 0, key);
            ZvTuple_SET_ITEM(item, 1, value);
            break;
        }
        }
        j++;
    }
    return v;
}

ZvObject *ZvDict_Keys(ZvObject *mp) { return dict_list(mp, Part::Keys); }
ZvObject *ZvDict_Values(ZvObject *mp) { return dict_list(mp, Part::Values); }
ZvObject *ZvDict_Items(ZvObject *mp) { return dict_list(mp, Part::Items); }

ZvObject *ZvDict_GetItemString(ZvObject *v, const char *key)
{
    ZvObject *kv = ZvString_FromString(key);
    if (kv == nullptr) return nullptr;
    ZvObject *rv = ZvDict_GetItem(v, kv);
    Zv_DECREF(kv);
    return rv;
}

int ZvDict_SetItemString(ZvObject *v, const char *key, ZvObject *item)
{
    ZvObject *kv = ZvString_FromString(key);
    if (kv == nullptr) return -1;
    ZvString_InternInPlace(&kv);
    int err = ZvDict_SetItem(v, kv, item);
    Zv_DECREF(kv);
    return err;
}

int ZvDict_DelItemString(ZvObject *v, const char *key)
{
    ZvObject *kv = ZvString_FromString(key);
    if (kv == nullptr) return -1;
    int err = ZvDict_DelItem(v, kv);
    Zv_DECREF(kv);
    return err;
}

static void dict_dealloc(ZvObject *op)
{
    auto *mp = (ZvDictObject *)op;
    ZvObject_GC_UnTrack(mp);
    ZvTrash_BEGIN(mp)
    int fill = mp->ma_fill;
    for (ZvDictEntry *ep = mp->ma_table; fill > 0; ep++) {
        if (ep->me_key != nullptr) {
            --fill;
            Zv_DECREF(ep->me_key);
            Zv_XDECREF(ep->me_value);
        }
    }
    if (mp->ma_table != mp->ma_smalltable) ZvMem_Free(mp->ma_table);
    Zv_TYPE(mp)->tp_free((ZvObject *)mp);
    ZvTrash_END(mp)
}

static int dict_traverse(ZvObject *op, visitproc visit, void *arg)
{
    int i = 0;
    ZvObject *pk, *pv;
    while (ZvDict_Next(op, &i, &pk, &pv)) {
        Zv_VISIT(pk);
        Zv_VISIT(pv);
    }
    return 0;
}

static ZvObject *dict_repr(ZvObject *op)
{
    auto *mp = (ZvDictObject *)op;
    int rc = Zv_ReprEnter(op);
    if (rc != 0) return rc > 0 ? ZvString_FromString("{...}") : nullptr;
    if (mp->ma_used == 0) {
        Zv_ReprLeave(op);
        return ZvString_FromString("{}");
    }
    ZvObject *s = ZvString_FromString("{");
    int i = 0, count = 0;
    ZvObject *key, *value;
    while (s != nullptr && ZvDict_Next(op, &i, &key, &value)) {
        if (count++ > 0) ZvString_ConcatAndDel(&s, ZvString_FromString(", "));
        Zv_INCREF(key);
        Zv_INCREF(value);
        ZvObject *kr = ZvObject_Repr(key);
        ZvObject *vr = kr ? ZvObject_Repr(value) : nullptr;
        Zv_DECREF(key);
        Zv_DECREF(value);
        if (vr == nullptr) {
            Zv_XDECREF(kr);
            Zv_CLEAR(s);
            break;
        }
        ZvString_ConcatAndDel(&s, kr);
        ZvString_ConcatAndDel(&s, ZvString_FromString(": "));
        ZvString_ConcatAndDel(&s, vr);
    }
    if (s != nullptr) ZvString_ConcatAndDel(&s, ZvString_FromString("}"));
    Zv_ReprLeave(op);
    return s;
}

static int dict_length(ZvObject *mp) { return ((ZvDictObject *)mp)->ma_used; }

static Zv_hash_t dict_nohash(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "dict objects are unhashable");
    return -1;
}

static ZvMappingMethods dict_as_mapping = {dict_length};

ZvTypeObject ZvDict_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "dict", sizeof(ZvDictObject), 0,
    dict_dealloc,     /* tp_dealloc */
    nullptr,          /* tp_print */
    nullptr,          /* tp_getattr */
    nullptr,          /* tp_setattr */
    nullptr,          /* tp_compare */
    dict_repr,        /* tp_repr */
    nullptr,          /* tp_as_number */
    nullptr,          /* tp_as_sequence */
    &dict_as_mapping, /* tp_as_mapping */
    dict_nohash,      /* tp_hash */
    nullptr,          /* tp_call */
    nullptr,          /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "dict() -> new empty dictionary.",
    dict_traverse,    /* tp_traverse */
    nullptr,          /* tp_clear */
    nullptr,          /* tp_richcompare */
    0, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr,
    ZvObject_GC_Del,  /* tp_free */
};

void ZvDict_Fini(void) { Zv_CLEAR(dummy); }

} // extern "C"
