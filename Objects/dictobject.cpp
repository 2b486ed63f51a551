/* The mapping `dict`: open addressing with a perturbed probe sequence.
 *
 * A slot is empty (key NULL), active (key and value set) or dummy (key is
 * the `dummy` marker, value NULL).  ma_fill counts active + dummy slots,
 * ma_used the active ones, and at least one slot always stays empty so that
 * every probe terminates.  Dummies keep probe chains intact after a
 * deletion; a resize drops them.  The table size is a power of two, at
 * least 8; tables of 8 slots live inside the object (ma_smalltable), so
 * dictionaries of up to 5 keys need no second allocation.  After every
 * insertion that takes an empty slot, ma_fill * 3 < (ma_mask + 1) * 2.
 *
 * Every new dictionary starts with lookdict_string, which compares exact
 * string keys by identity and then by bytes and never runs user code; the
 * first lookup of any other key switches the dictionary to lookdict for
 * good.  lookdict compares keys with the generic equality test, which can
 * run arbitrary code that mutates the dictionary under it: every change to
 * the keys advances ma_version, and the lookup restarts when that moved; it
 * swallows comparison errors and keeps an error that was pending before it
 * began.  Everything else that runs user code in the
 * middle of a table walk (clear, comparison, repr, merging) holds
 * references to what it touches and re-reads the table each step.
 *
 * Released dictionaries of the exact type are kept on a free list of 80. */
#include "zuvo.h"
#include "zvref.h"
#include "typeobject_internal.h"

#include <string.h>
#include <utility>

using zv::Ref;

namespace {

constexpr int PERTURB_SHIFT = 5;
/* Released headers kept for reuse; namespaces come and go constantly. */
constexpr int MAXFREEDICTS = 80;
/* Up to this many keys a full table grows 4x, so small and medium
 * dictionaries resize rarely; above it 2x, to save memory. */
constexpr int32_t GROW_QUADRUPLE_LIMIT = 50000;

enum class Part { Keys, Values, Items };

} // namespace

static ZvObject *dummy; /* the deleted-slot marker, "<dummy key>" */
static ZvDictObject *free_dicts[MAXFREEDICTS];
static int num_free_dicts = 0;

static ZvDictEntry *lookdict(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash);
static ZvDictEntry *lookdict_string(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash);

static bool ensure_dummy()
{
    if (dummy == nullptr) dummy = ZvString_FromString("<dummy key>");
    return dummy != nullptr;
}

/* A fresh mapping tag (see ma_tag): one counter for every dictionary, so
 * no two states of any two dictionaries share a tag.  A class's namespace
 * changing also makes the cached attribute lookups stale. */
static uint64_t tag_counter = 0;
static inline void new_tag(ZvDictObject *mp)
{
    mp->ma_tag = ++tag_counter;
    if (mp->ma_zvclassdict) _ZvType_InvalidateCache();
}

static void empty_to_minsize(ZvDictObject *mp)
{
    memset(mp->ma_smalltable, 0, sizeof(mp->ma_smalltable));
    mp->ma_used = mp->ma_fill = 0;
    mp->ma_table = mp->ma_smalltable;
    mp->ma_mask = ZvDict_MINSIZE - 1;
    mp->ma_version++;
    new_tag(mp);
}

ZvObject *ZvDict_New(void)
{
    if (!ensure_dummy()) return nullptr;
    ZvDictObject *mp;
    if (num_free_dicts > 0) {
        mp = free_dicts[--num_free_dicts];
        mp->ma_zvclassdict = 0;
        _ZvObject_INIT(mp, &ZvDict_Type);
        /* A recycled header still describes its old contents, whose
         * references and table are gone. */
        if (mp->ma_fill != 0 || mp->ma_table != mp->ma_smalltable) empty_to_minsize(mp);
    } else {
        mp = ZvObject_GC_New(ZvDictObject, &ZvDict_Type);
        if (mp == nullptr) return nullptr;
        mp->ma_version = 0;
        mp->ma_zvclassdict = 0;
        empty_to_minsize(mp);
    }
    mp->ma_lookup = lookdict_string;
    ZvObject_GC_Track(mp);
    return (ZvObject *)mp;
}

/* --- lookup ------------------------------------------------------------- */

/* The general lookup: the slot holding key, or the slot where it should go
 * (the first dummy met on the probe path, else the empty slot that ended
 * it).  The equality test may run code that changes this dictionary in
 * any way: a key added, removed, or added back into a slot already passed
 * (so that a remembered free slot would make the key appear twice).  Any
 * such change advances ma_version, and the probe then starts over. */
static ZvDictEntry *lookdict(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash)
{
    ZvObject *err_type = nullptr, *err_value = nullptr, *err_tb = nullptr;
    bool saved_error = false;
    ZvDictEntry *found;
restart:
    {
        const uint32_t version = mp->ma_version;
        const uint32_t mask = (uint32_t)mp->ma_mask;
        ZvDictEntry *const table = mp->ma_table;
        ZvDictEntry *freeslot = nullptr;
        uint32_t i = (uint32_t)hash & mask;
        for (uint32_t perturb = (uint32_t)hash;; perturb >>= PERTURB_SHIFT) {
            ZvDictEntry *ep = &table[i & mask];
            ZvObject *startkey = ep->me_key;
            if (startkey == nullptr) {
                found = freeslot != nullptr ? freeslot : ep;
                break;
            }
            if (startkey == key) {
                found = ep;
                break;
            }
            if (startkey == dummy) {
                if (freeslot == nullptr) freeslot = ep;
            } else if (ep->me_hash == hash) {
                /* The comparison must neither lose an error that was
                 * pending before the lookup nor leak one of its own. */
                if (!saved_error && ZvErr_Occurred()) {
                    saved_error = true;
                    ZvErr_Fetch(&err_type, &err_value, &err_tb);
                }
                Zv_INCREF(startkey);
                int cmp = ZvObject_RichCompareBool(startkey, key, Zv_EQ);
                Zv_DECREF(startkey);
                if (cmp < 0) ZvErr_Clear();
                if (mp->ma_version != version) goto restart;
                if (cmp > 0) {
                    found = ep;
                    break;
                }
            }
            i = (i << 2) + i + perturb + 1;
        }
    }
    if (saved_error) ZvErr_Restore(err_type, err_value, err_tb);
    return found;
}

/* Exact-string keys: identity first, then the byte comparison, which can
 * neither fail nor run user code. */
static ZvDictEntry *lookdict_string(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash)
{
    if (!ZvString_CheckExact(key)) [[unlikely]] {
        mp->ma_lookup = lookdict;
        return lookdict(mp, key, hash);
    }
    const uint32_t mask = (uint32_t)mp->ma_mask;
    ZvDictEntry *const table = mp->ma_table;
    ZvDictEntry *freeslot = nullptr;
    uint32_t i = (uint32_t)hash & mask;
    for (uint32_t perturb = (uint32_t)hash;; perturb >>= PERTURB_SHIFT) {
        ZvDictEntry *ep = &table[i & mask];
        ZvObject *k = ep->me_key;
        if (k == nullptr) return freeslot != nullptr ? freeslot : ep;
        if (k == key) [[likely]] return ep;
        if (k == dummy) {
            if (freeslot == nullptr) freeslot = ep;
        } else if (ep->me_hash == hash && _ZvString_Eq(k, key)) {
            return ep;
        }
        i = (i << 2) + i + perturb + 1;
    }
}

/* Exact strings use their cached hash; other keys are hashed generically. */
static inline Zv_hash_t key_hash(ZvObject *key)
{
    if (ZvString_CheckExact(key)) [[likely]] {
        Zv_hash_t h = ((ZvStringObject *)key)->ob_shash;
        if (h != -1) return h;
    }
    return ZvObject_Hash(key);
}

/* KeyError carrying the key.  The exception's arguments are built from a
 * tuple value, so a tuple key would be spread into several arguments (or
 * none, for the empty tuple); wrapping it keeps the key whole. */
static void set_key_error(ZvObject *key)
{
    if (!ZvTuple_Check(key)) {
        ZvErr_SetObject(ZvExc_KeyError, key);
        return;
    }
    ZvObject *wrapped = ZvTuple_Pack(1, key);
    if (wrapped == nullptr) return;
    ZvErr_SetObject(ZvExc_KeyError, wrapped);
    Zv_DECREF(wrapped);
}

/* --- insertion and resizing ------------------------------------------- */

/* Takes over the references to key and value. */
static void insertdict(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash, ZvObject *value)
{
    ZvDictEntry *ep = mp->ma_lookup(mp, key, hash);
    if (ep->me_value != nullptr) {
        /* Present: the dictionary keeps its own key object. */
        ZvObject *old_value = ep->me_value;
        ep->me_value = value;
        new_tag(mp);
        Zv_DECREF(old_value);
        Zv_DECREF(key);
        return;
    }
    if (ep->me_key == nullptr)
        mp->ma_fill++;
    else
        Zv_DECREF(ep->me_key); /* the dummy marker; never its last reference */
    ep->me_key = key;
    ep->me_hash = hash;
    ep->me_value = value;
    mp->ma_used++;
    mp->ma_version++;
    new_tag(mp);
}

/* Stores an entry known to be absent into a table without dummies: the
 * first empty slot on the probe path is its place, and no key comparison
 * (hence no user code) runs while a resize has the table half built. */
static void insert_clean(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash, ZvObject *value)
{
    const uint32_t mask = (uint32_t)mp->ma_mask;
    ZvDictEntry *const table = mp->ma_table;
    uint32_t i = (uint32_t)hash & mask;
    ZvDictEntry *ep = &table[i];
    for (uint32_t perturb = (uint32_t)hash; ep->me_key != nullptr; perturb >>= PERTURB_SHIFT) {
        i = (i << 2) + i + perturb + 1;
        ep = &table[i & mask];
    }
    ep->me_key = key;
    ep->me_hash = hash;
    ep->me_value = value;
    mp->ma_fill++;
    mp->ma_used++;
}

/* Rebuilds the table with the smallest power-of-two size above minused
 * (at least 8), dropping dummies.  Can grow or shrink.  On failure the
 * dictionary is unchanged. */
[[nodiscard]] static int dictresize(ZvDictObject *mp, int64_t minused)
{
    int32_t newsize = ZvDict_MINSIZE;
    while (newsize <= minused) {
        if (newsize > INT32_MAX / 2) {
            ZvErr_NoMemory();
            return -1;
        }
        newsize <<= 1;
    }
    ZvDictEntry *oldtable = mp->ma_table;
    const bool old_is_malloced = oldtable != mp->ma_smalltable;
    ZvDictEntry small_copy[ZvDict_MINSIZE];
    ZvDictEntry *newtable;
    if (newsize == ZvDict_MINSIZE) {
        newtable = mp->ma_smalltable;
        if (newtable == oldtable) {
            if (mp->ma_fill == mp->ma_used) return 0; /* nothing to drop */
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
    int32_t remaining = mp->ma_fill;
    mp->ma_table = newtable;
    mp->ma_mask = newsize - 1;
    mp->ma_version++;
    memset(newtable, 0, sizeof(ZvDictEntry) * (size_t)newsize);
    mp->ma_used = 0;
    mp->ma_fill = 0;
    int32_t dummies = 0;
    for (ZvDictEntry *ep = oldtable; remaining > 0; ep++) {
        if (ep->me_value != nullptr) {
            --remaining;
            insert_clean(mp, ep->me_key, ep->me_hash, ep->me_value);
        } else if (ep->me_key != nullptr) {
            --remaining;
            ++dummies;
        }
    }
    /* The module keeps its own reference to the marker, so these releases
     * run no code. */
    for (; dummies > 0; --dummies) Zv_DECREF(dummy);
    if (old_is_malloced) ZvMem_Free(oldtable);
    return 0;
}

/* The load-factor test after an insertion: fill must stay below 2/3. */
static inline bool needs_growth(const ZvDictObject *mp)
{
    return (int64_t)mp->ma_fill * 3 >= ((int64_t)mp->ma_mask + 1) * 2;
}

static inline int64_t growth_target(const ZvDictObject *mp)
{
    return (mp->ma_used > GROW_QUADRUPLE_LIMIT ? 2 : 4) * (int64_t)mp->ma_used;
}

/* --- the C interface ---------------------------------------------------- */

ZvObject *ZvDict_GetItem(ZvObject *op, ZvObject *key)
{
    if (op == nullptr || key == nullptr || !ZvDict_Check(op)) return nullptr;
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) {
        ZvErr_Clear();
        return nullptr;
    }
    auto *mp = (ZvDictObject *)op;
    /* The first slot settles most lookups without a call: the key itself
     * (identity means equality in either lookup), or an empty slot. */
    ZvDictEntry *ep = &mp->ma_table[(uint32_t)hash & (uint32_t)mp->ma_mask];
    if (ep->me_key == key) return ep->me_value;
    if (ep->me_key == nullptr) return nullptr;
    return mp->ma_lookup(mp, key, hash)->me_value;
}

/* Probes like lookdict_string but never compares a key that is not an
 * exact string, so it can neither fail nor run user code: callers that
 * must not (the collector looking for "__del__" in objects it is in the
 * middle of examining) use it.  Such a key with the same hash might be
 * equal: *undecided tells the caller. */
ZvObject *_ZvDict_GetItemNoCompare(ZvObject *op, ZvObject *key, int *undecided)
{
    *undecided = 0;
    if (op == nullptr || key == nullptr || !ZvDict_Check(op) || !ZvString_CheckExact(key))
        return nullptr;
    Zv_hash_t hash = key_hash(key); /* a string's hash never fails */
    auto *mp = (ZvDictObject *)op;
    const uint32_t mask = (uint32_t)mp->ma_mask;
    ZvDictEntry *const table = mp->ma_table;
    uint32_t i = (uint32_t)hash & mask;
    for (uint32_t perturb = (uint32_t)hash;; perturb >>= PERTURB_SHIFT) {
        ZvDictEntry *ep = &table[i & mask];
        ZvObject *k = ep->me_key;
        if (k == nullptr) return nullptr;
        if (k == key) return ep->me_value;
        if (k != dummy && ep->me_hash == hash) {
            if (!ZvString_CheckExact(k))
                *undecided = 1;
            else if (_ZvString_Eq(k, key))
                return ep->me_value;
        }
        i = (i << 2) + i + perturb + 1;
    }
}

int ZvDict_SetItem(ZvObject *op, ZvObject *key, ZvObject *value)
{
    if (op == nullptr || key == nullptr || value == nullptr || !ZvDict_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return -1;
    auto *mp = (ZvDictObject *)op;
    /* The key itself in its first slot (an attribute or a variable stored
     * again) takes the new value in place, as insertdict would. */
    ZvDictEntry *ep = &mp->ma_table[(uint32_t)hash & (uint32_t)mp->ma_mask];
    if (ep->me_key == key && ep->me_value != nullptr) {
        ZvObject *old_value = ep->me_value;
        Zv_INCREF(value);
        ep->me_value = value;
        new_tag(mp);
        Zv_DECREF(old_value);
        return 0;
    }
    int32_t n_fill = mp->ma_fill;
    Zv_INCREF(value);
    Zv_INCREF(key);
    insertdict(mp, key, hash, value);
    /* Only a slot newly taken may grow the table: a loop that replaces
     * values never moves it (callers iterating with ZvDict_Next rely on
     * that).  The test follows the fill, not the length: comparisons run
     * by the lookup may have deleted keys, so an insertion can take an
     * empty slot while the length stays put, and the table must still
     * keep an empty slot for every probe to end on. */
    if (mp->ma_fill <= n_fill || !needs_growth(mp)) return 0;
    return dictresize(mp, growth_target(mp));
}

int ZvDict_DelItem(ZvObject *op, ZvObject *key)
{
    if (op == nullptr || key == nullptr || !ZvDict_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return -1;
    auto *mp = (ZvDictObject *)op;
    ZvDictEntry *ep = mp->ma_lookup(mp, key, hash);
    if (ep->me_value == nullptr) {
        set_key_error(key);
        return -1;
    }
    ZvObject *old_key = ep->me_key;
    ZvObject *old_value = ep->me_value;
    Zv_INCREF(dummy);
    ep->me_key = dummy;
    ep->me_value = nullptr;
    mp->ma_used--;
    mp->ma_version++;
    new_tag(mp);
    /* The slot is consistent before anything user-visible runs. */
    Zv_DECREF(old_value);
    Zv_DECREF(old_key);
    return 0;
}

/* Empties the dictionary first and only then releases the old contents,
 * so code run by those releases sees an empty dictionary. */
void ZvDict_Clear(ZvObject *op)
{
    if (op == nullptr || !ZvDict_Check(op)) return;
    auto *mp = (ZvDictObject *)op;
    ZvDictEntry *table = mp->ma_table;
    const bool table_is_malloced = table != mp->ma_smalltable;
    int32_t fill = mp->ma_fill;
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
    if (op == nullptr || ppos == nullptr || !ZvDict_Check(op)) return 0;
    auto *mp = (ZvDictObject *)op;
    int32_t i = *ppos;
    if (i < 0) return 0;
    const int32_t mask = mp->ma_mask;
    ZvDictEntry *const table = mp->ma_table;
    while (i <= mask && table[i].me_value == nullptr) i++;
    if (i > mask) {
        *ppos = i;
        return 0;
    }
    *ppos = i + 1;
    if (pkey) *pkey = table[i].me_key;
    if (pvalue) *pvalue = table[i].me_value;
    return 1;
}

int ZvDict_Size(ZvObject *op)
{
    if (op == nullptr || !ZvDict_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return ((ZvDictObject *)op)->ma_used;
}

int ZvDict_Contains(ZvObject *op, ZvObject *key)
{
    if (op == nullptr || key == nullptr || !ZvDict_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return -1;
    auto *mp = (ZvDictObject *)op;
    return mp->ma_lookup(mp, key, hash)->me_value != nullptr;
}

/* A new list of the keys, values or (key, value) pairs in table order.
 * Allocating may run the collector and through it user code that changes
 * the dictionary; then the allocation starts over. */
[[nodiscard]] static ZvObject *dict_list(ZvObject *op, Part part)
{
    if (op == nullptr || !ZvDict_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *mp = (ZvDictObject *)op;
    for (;;) {
        const int32_t n = mp->ma_used;
        Ref v(ZvList_New(n));
        if (!v) return nullptr;
        if (part == Part::Items) {
            for (int32_t i = 0; i < n; i++) {
                ZvObject *item = ZvTuple_New(2);
                if (item == nullptr) return nullptr;
                ZvList_SET_ITEM(v.get(), i, item);
            }
        }
        if (n != mp->ma_used) continue;
        ZvDictEntry *const table = mp->ma_table;
        for (int32_t i = 0, j = 0; i <= mp->ma_mask; i++) {
            ZvObject *key = table[i].me_key, *value = table[i].me_value;
            if (value == nullptr) continue;
            switch (part) {
            case Part::Keys:
                Zv_INCREF(key);
                ZvList_SET_ITEM(v.get(), j, key);
                break;
            case Part::Values:
                Zv_INCREF(value);
                ZvList_SET_ITEM(v.get(), j, value);
                break;
            case Part::Items: {
                ZvObject *item = ZvList_GET_ITEM(v.get(), j);
                Zv_INCREF(key);
                Zv_INCREF(value);
                ZvTuple_SET_ITEM(item, 0, key);
                ZvTuple_SET_ITEM(item, 1, value);
                break;
            }
            }
            j++;
        }
        return v.release();
    }
}

ZvObject *ZvDict_Keys(ZvObject *mp) { return dict_list(mp, Part::Keys); }
ZvObject *ZvDict_Values(ZvObject *mp) { return dict_list(mp, Part::Values); }
ZvObject *ZvDict_Items(ZvObject *mp) { return dict_list(mp, Part::Items); }

ZvObject *ZvDict_GetItemString(ZvObject *v, const char *key)
{
    ZvObject *kv = ZvString_FromString(key);
    if (kv == nullptr) {
        ZvErr_Clear(); /* this lookup never raises */
        return nullptr;
    }
    ZvObject *rv = ZvDict_GetItem(v, kv);
    Zv_DECREF(kv);
    return rv;
}

int ZvDict_SetItemString(ZvObject *v, const char *key, ZvObject *item)
{
    ZvObject *kv = ZvString_FromString(key);
    if (kv == nullptr) return -1;
    /* Names stored from C are looked up by name later: interning lets those
     * lookups succeed on identity. */
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

/* --- merging ----------------------------------------------------------- */

[[nodiscard]] static int merge_dict(ZvDictObject *mp, ZvDictObject *other, int override)
{
    if (other == mp || other->ma_used == 0) return 0;
    /* One resize up front instead of several on the way. */
    if ((int64_t)(mp->ma_fill + (int64_t)other->ma_used) * 3 >= ((int64_t)mp->ma_mask + 1) * 2 &&
        dictresize(mp, ((int64_t)mp->ma_used + other->ma_used) * 2) != 0)
        return -1;
    /* Comparisons inside the lookups may run code that changes `other`:
     * its table and size are re-read at every step. */
    for (int32_t i = 0; i <= other->ma_mask; i++) {
        ZvDictEntry *entry = &other->ma_table[i];
        if (entry->me_value == nullptr) continue;
        ZvObject *key = entry->me_key, *value = entry->me_value;
        Zv_hash_t hash = entry->me_hash;
        Zv_INCREF(key);
        Zv_INCREF(value);
        if (!override && mp->ma_lookup(mp, key, hash)->me_value != nullptr) {
            Zv_DECREF(value);
            Zv_DECREF(key);
            continue;
        }
        insertdict(mp, key, hash, value);
        /* Only reachable when `other` grew under the merge: the table must
         * never fill up. */
        if (needs_growth(mp) && dictresize(mp, growth_target(mp)) != 0) return -1;
    }
    return 0;
}

/* Any other mapping: its keys() and item access. */
[[nodiscard]] static int merge_mapping(ZvObject *a, ZvObject *b, int override)
{
    Ref keys(ZvObject_CallMethod(b, "keys", nullptr));
    if (!keys) return -1;
    Ref it(ZvObject_GetIter(keys.get()));
    if (!it) return -1;
    for (;;) {
        Ref key(ZvIter_Next(it.get()));
        if (!key) return ZvErr_Occurred() ? -1 : 0;
        if (!override && ZvDict_GetItem(a, key.get()) != nullptr) continue;
        Ref value(ZvObject_GetItem(b, key.get()));
        if (!value || ZvDict_SetItem(a, key.get(), value.get()) < 0) return -1;
    }
}

int ZvDict_Merge(ZvObject *a, ZvObject *b, int override)
{
    if (a == nullptr || b == nullptr || !ZvDict_Check(a)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (ZvDict_Check(b)) return merge_dict((ZvDictObject *)a, (ZvDictObject *)b, override);
    return merge_mapping(a, b, override);
}

int ZvDict_Update(ZvObject *a, ZvObject *b) { return ZvDict_Merge(a, b, 1); }

int ZvDict_MergeFromSeq2(ZvObject *d, ZvObject *seq2, int override)
{
    if (d == nullptr || seq2 == nullptr || !ZvDict_Check(d)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    Ref it(ZvObject_GetIter(seq2));
    if (!it) return -1;
    for (int32_t i = 0;; i++) {
        Ref item(ZvIter_Next(it.get()));
        if (!item) return ZvErr_Occurred() ? -1 : 0;
        /* The element's position is only known here, so the conversion's
         * own TypeError is replaced by one that names it. */
        Ref fast(ZvSequence_Fast(item.get(), "not a sequence"));
        if (!fast) {
            if (ZvErr_ExceptionMatches(ZvExc_TypeError))
                ZvErr_Format(ZvExc_TypeError,
                             "cannot convert dictionary update sequence element #%d to a sequence",
                             i);
            return -1;
        }
        int32_t n = ZvSequence_Fast_GET_SIZE(fast.get());
        if (n != 2) {
            ZvErr_Format(ZvExc_ValueError,
                         "dictionary update sequence element #%d has length %d; 2 is required",
                         i, n);
            return -1;
        }
        /* Hashing the key may run code that changes a list pair. */
        Ref key = Ref::borrow(ZvSequence_Fast_GET_ITEM(fast.get(), 0));
        Ref value = Ref::borrow(ZvSequence_Fast_GET_ITEM(fast.get(), 1));
        if ((override || ZvDict_GetItem(d, key.get()) == nullptr) &&
            ZvDict_SetItem(d, key.get(), value.get()) < 0)
            return -1;
    }
}

ZvObject *ZvDict_Copy(ZvObject *o)
{
    if (o == nullptr || !ZvDict_Check(o)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    Ref copy(ZvDict_New());
    if (!copy || ZvDict_Merge(copy.get(), o, 1) < 0) return nullptr;
    return copy.release();
}

/* dict(...) and D.update(...): at most one positional argument, merged as
 * a mapping when it has keys() and as a sequence of pairs otherwise, then
 * the keyword arguments. */
[[nodiscard]] static int dict_update_common(ZvObject *self, ZvObject *args, ZvObject *kwds,
                              const char *methname)
{
    ZvObject *arg = nullptr;
    if (!ZvArg_UnpackTuple(args, methname, 0, 1, &arg)) return -1;
    int result = 0;
    if (arg != nullptr)
        result = ZvObject_HasAttrString(arg, "keys") ? ZvDict_Merge(self, arg, 1)
                                                 : ZvDict_MergeFromSeq2(self, arg, 1);
    if (result == 0 && kwds != nullptr) result = ZvDict_Merge(self, kwds, 1);
    return result;
}

/* --- the type's slots ---------------------------------------------------- */

static void dict_dealloc(ZvObject *op)
{
    auto *mp = (ZvDictObject *)op;
    ZvObject_GC_UnTrack(mp);
    /* A class that used it is going: its cached lookups must not outlive it. */
    if (mp->ma_zvclassdict) _ZvType_InvalidateCache();
    ZvTrash_BEGIN(mp)
    int32_t fill = mp->ma_fill;
    for (ZvDictEntry *ep = mp->ma_table; fill > 0; ep++) {
        if (ep->me_key != nullptr) {
            --fill;
            Zv_DECREF(ep->me_key);
            Zv_XDECREF(ep->me_value);
        }
    }
    if (mp->ma_table != mp->ma_smalltable) ZvMem_Free(mp->ma_table);
    if (num_free_dicts < MAXFREEDICTS && Zv_TYPE(mp) == &ZvDict_Type)
        free_dicts[num_free_dicts++] = mp;
    else
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

static int dict_tp_clear(ZvObject *op)
{
    ZvDict_Clear(op);
    return 0;
}

static int dict_print(ZvObject *op, FILE *fp, int)
{
    int rc = Zv_ReprEnter(op);
    if (rc != 0) {
        if (rc < 0) return rc;
        fputs("{...}", fp);
        return 0;
    }
    /* Keys and values print through their own print slots: the recursion
     * counter stops a deep nesting before the C stack runs out. */
    if (Zv_EnterRecursiveCall(" while printing an object")) {
        Zv_ReprLeave(op);
        return -1;
    }
    auto *mp = (ZvDictObject *)op;
    int status = 0;
    fputc('{', fp);
    bool first = true;
    for (int32_t i = 0; i <= mp->ma_mask; i++) {
        ZvDictEntry *ep = &mp->ma_table[i];
        if (ep->me_value == nullptr) continue;
        /* Printing may run code that changes the dictionary. */
        Ref key = Ref::borrow(ep->me_key);
        Ref value = Ref::borrow(ep->me_value);
        if (!first) fputs(", ", fp);
        first = false;
        if (ZvObject_Print(key.get(), fp, 0) != 0) {
            status = -1;
            break;
        }
        fputs(": ", fp);
        if (ZvObject_Print(value.get(), fp, 0) != 0) {
            status = -1;
            break;
        }
    }
    if (status == 0) fputc('}', fp);
    Zv_LeaveRecursiveCall();
    Zv_ReprLeave(op);
    return status;
}

/* "{" + the "key: value" pieces joined by ", " + "}", built in one pass so
 * that large dictionaries cost linear time. */
[[nodiscard]] static ZvObject *join_braced(ZvObject *pieces)
{
    const int32_t n = ZvList_GET_SIZE(pieces);
    int64_t total = 2 + (n > 0 ? 2 * (int64_t)(n - 1) : 0);
    for (int32_t i = 0; i < n; i++) total += ZvString_GET_SIZE(ZvList_GET_ITEM(pieces, i));
    if (total > INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "dict repr too long");
        return nullptr;
    }
    ZvObject *s = ZvString_FromStringAndSize(nullptr, (int)total);
    if (s == nullptr) return nullptr;
    char *p = ZvString_AS_STRING(s);
    *p++ = '{';
    for (int32_t i = 0; i < n; i++) {
        if (i > 0) {
            memcpy(p, ", ", 2);
            p += 2;
        }
        ZvObject *piece = ZvList_GET_ITEM(pieces, i);
        memcpy(p, ZvString_AS_STRING(piece), (size_t)ZvString_GET_SIZE(piece));
        p += ZvString_GET_SIZE(piece);
    }
    *p = '}';
    return s;
}

[[nodiscard]] static ZvObject *dict_repr_pieces(ZvObject *op)
{
    Ref pieces(ZvList_New(0));
    Ref colon(ZvString_FromString(": "));
    if (!pieces || !colon) return nullptr;
    int pos = 0;
    ZvObject *k, *v;
    /* ZvDict_Next re-reads the table, which the reprs may change. */
    while (ZvDict_Next(op, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        ZvObject *piece = ZvObject_Repr(key.get());
        ZvString_Concat(&piece, colon.get());
        if (piece != nullptr) ZvString_ConcatAndDel(&piece, ZvObject_Repr(value.get()));
        if (piece == nullptr) return nullptr;
        int err = ZvList_Append(pieces.get(), piece);
        Zv_DECREF(piece);
        if (err < 0) return nullptr;
    }
    return join_braced(pieces.get());
}

static ZvObject *dict_repr(ZvObject *op)
{
    int rc = Zv_ReprEnter(op);
    if (rc != 0) return rc > 0 ? ZvString_FromString("{...}") : nullptr;
    ZvObject *s;
    if (((ZvDictObject *)op)->ma_used == 0) {
        s = ZvString_FromString("{}");
    } else if (Zv_EnterRecursiveCall(" while getting the repr of an object")) {
        s = nullptr; /* a deep nesting of distinct dictionaries */
    } else {
        s = dict_repr_pieces(op);
        Zv_LeaveRecursiveCall();
    }
    Zv_ReprLeave(op);
    return s;
}

static int dict_length(ZvObject *mp) { return ((ZvDictObject *)mp)->ma_used; }

static ZvObject *dict_subscript(ZvObject *op, ZvObject *key)
{
    auto *mp = (ZvDictObject *)op;
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return nullptr;
    ZvObject *v = mp->ma_lookup(mp, key, hash)->me_value;
    if (v == nullptr) {
        set_key_error(key);
        return nullptr;
    }
    Zv_INCREF(v);
    return v;
}

static int dict_ass_sub(ZvObject *mp, ZvObject *key, ZvObject *value)
{
    return value == nullptr ? ZvDict_DelItem(mp, key) : ZvDict_SetItem(mp, key, value);
}

static Zv_hash_t dict_nohash(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "dict objects are unhashable");
    return -1;
}

/* --- comparison ------------------------------------------------------------ */

/* Among a's keys whose value differs in b (absent, or not equal), the
 * smallest by `<`, with a's value for it (both new references; NULL when
 * there is none, or on error).  Comparisons may run code that changes
 * either dictionary: each candidate and its value are held, and a slot
 * emptied or moved out of the table by a comparison is skipped. */
[[nodiscard]] static ZvObject *characterize(ZvDictObject *a, ZvDictObject *b, ZvObject **pval)
{
    Ref best_key, best_value;
    for (int32_t i = 0; i <= a->ma_mask; i++) {
        if (a->ma_table[i].me_value == nullptr) continue;
        Ref key = Ref::borrow(a->ma_table[i].me_key);
        if (best_key) {
            int cmp = ZvObject_RichCompareBool(best_key.get(), key.get(), Zv_LT);
            if (cmp < 0) return nullptr;
            if (cmp > 0 || i > a->ma_mask || a->ma_table[i].me_value == nullptr) continue;
        }
        Ref avalue = Ref::borrow(a->ma_table[i].me_value);
        Ref bvalue = Ref::borrow(ZvDict_GetItem((ZvObject *)b, key.get()));
        int equal = 0;
        if (bvalue) {
            equal = ZvObject_RichCompareBool(avalue.get(), bvalue.get(), Zv_EQ);
            if (equal < 0) return nullptr;
        }
        if (!equal) {
            best_key = std::move(key);
            best_value = std::move(avalue);
        }
    }
    *pval = best_value.release();
    return best_key.release();
}

/* Three-way comparison: a shorter dictionary is smaller; otherwise the
 * smallest differing keys decide, then their values. */
static int dict_compare(ZvObject *v, ZvObject *w)
{
    auto *a = (ZvDictObject *)v, *b = (ZvDictObject *)w;
    if (a->ma_used < b->ma_used) return -1;
    if (a->ma_used > b->ma_used) return 1;
    ZvObject *aval = nullptr, *bval = nullptr;
    Ref adiff(characterize(a, b, &aval));
    Ref avalue(aval);
    if (!adiff) return ZvErr_Occurred() ? -1 : 0;
    Ref bdiff(characterize(b, a, &bval));
    Ref bvalue(bval);
    if (!bdiff) return ZvErr_Occurred() ? -1 : 0;
    int res = ZvObject_Compare(adiff.get(), bdiff.get());
    if (res == 0 && !ZvErr_Occurred()) res = ZvObject_Compare(avalue.get(), bvalue.get());
    return res;
}

/* 1 if equal, 0 if not, -1 on error. */
[[nodiscard]] static int dict_equal(ZvDictObject *a, ZvDictObject *b)
{
    if (a->ma_used != b->ma_used) return 0;
    for (int32_t i = 0; i <= a->ma_mask; i++) {
        if (a->ma_table[i].me_value == nullptr) continue;
        Ref key = Ref::borrow(a->ma_table[i].me_key);
        Ref avalue = Ref::borrow(a->ma_table[i].me_value);
        Zv_hash_t hash = key_hash(key.get());
        if (hash == -1) {
            ZvErr_Clear();
            return 0;
        }
        Ref bvalue = Ref::borrow(b->ma_lookup(b, key.get(), hash)->me_value);
        if (!bvalue) return 0;
        int cmp = ZvObject_RichCompareBool(avalue.get(), bvalue.get(), Zv_EQ);
        if (cmp <= 0) return cmp;
    }
    return 1;
}

static ZvObject *dict_richcompare(ZvObject *v, ZvObject *w, int op)
{
    if (!ZvDict_Check(v) || !ZvDict_Check(w) || (op != Zv_EQ && op != Zv_NE))
        Zv_RETURN_NOTIMPLEMENTED;
    int cmp = dict_equal((ZvDictObject *)v, (ZvDictObject *)w);
    if (cmp < 0) return nullptr;
    return ZvBool_FromLong((op == Zv_EQ) == (cmp == 1));
}

/* --- iterators ------------------------------------------------------------ */

namespace {

struct dictiterobject {
    ZvObject_HEAD
    ZvDictObject *di_dict; /* NULL once exhausted */
    int32_t di_used;       /* ma_used at the start; -1 after a size change */
    int32_t di_pos;        /* next slot to examine */
    ZvObject *di_result;   /* the item iterator's reusable pair */
    int32_t len;           /* items left to yield */
};

} // namespace

static ZvObject *dictiter_new(ZvDictObject *dict, ZvTypeObject *itertype)
{
    ZvObject *pair = nullptr;
    if (itertype == &ZvDictIterItem_Type) {
        pair = ZvTuple_Pack(2, Zv_None, Zv_None);
        if (pair == nullptr) return nullptr;
    }
    auto *di = ZvObject_GC_New(dictiterobject, itertype);
    if (di == nullptr) {
        Zv_XDECREF(pair);
        return nullptr;
    }
    Zv_INCREF(dict);
    di->di_dict = dict;
    di->di_used = dict->ma_used;
    di->di_pos = 0;
    di->di_result = pair;
    di->len = dict->ma_used;
    ZvObject_GC_Track(di);
    return (ZvObject *)di;
}

static void dictiter_dealloc(ZvObject *op)
{
    auto *di = (dictiterobject *)op;
    ZvObject_GC_UnTrack(di);
    Zv_XDECREF(di->di_dict);
    Zv_XDECREF(di->di_result);
    ZvObject_GC_Del(di);
}

/* An iterator stored in the dictionary it walks is a cycle. */
static int dictiter_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *di = (dictiterobject *)op;
    Zv_VISIT(di->di_dict);
    Zv_VISIT(di->di_result);
    return 0;
}

/* Leaves an exhausted iterator: the step finds no dictionary before it
 * would look at the pair. */
static int dictiter_clear(ZvObject *op)
{
    auto *di = (dictiterobject *)op;
    Zv_CLEAR(di->di_dict);
    Zv_CLEAR(di->di_result);
    return 0;
}

static int dictiter_len(ZvObject *op)
{
    auto *di = (dictiterobject *)op;
    return di->di_dict != nullptr && di->di_used == di->di_dict->ma_used ? di->len : 0;
}

/* The next active slot, or NULL at the end (the dictionary is let go) or
 * after a size change (RuntimeError, raised again on every later call). */
static ZvDictEntry *dictiter_step(dictiterobject *di)
{
    ZvDictObject *d = di->di_dict;
    if (d == nullptr) return nullptr;
    if (di->di_used != d->ma_used) {
        ZvErr_SetString(ZvExc_RuntimeError, "dictionary changed size during iteration");
        di->di_used = -1;
        return nullptr;
    }
    int32_t i = di->di_pos;
    const int32_t mask = d->ma_mask;
    ZvDictEntry *const table = d->ma_table;
    while (i <= mask && table[i].me_value == nullptr) i++;
    di->di_pos = i + 1;
    if (i > mask) {
        di->di_dict = nullptr;
        Zv_DECREF(d);
        return nullptr;
    }
    di->len--;
    return &table[i];
}

static ZvObject *dictiter_iternextkey(ZvObject *op)
{
    ZvDictEntry *ep = dictiter_step((dictiterobject *)op);
    if (ep == nullptr) return nullptr;
    Zv_INCREF(ep->me_key);
    return ep->me_key;
}

static ZvObject *dictiter_iternextvalue(ZvObject *op)
{
    ZvDictEntry *ep = dictiter_step((dictiterobject *)op);
    if (ep == nullptr) return nullptr;
    Zv_INCREF(ep->me_value);
    return ep->me_value;
}

/* Reuses the pair when the caller dropped the previous one, so a loop over
 * items allocates nothing per step. */
static ZvObject *dictiter_iternextitem(ZvObject *op)
{
    auto *di = (dictiterobject *)op;
    ZvDictEntry *ep = dictiter_step(di);
    if (ep == nullptr) return nullptr;
    ZvObject *key = ep->me_key, *value = ep->me_value;
    Zv_INCREF(key);
    Zv_INCREF(value);
    ZvObject *result = di->di_result;
    if (Zv_REFCNT(result) == 1) {
        ZvObject *oldkey = ZvTuple_GET_ITEM(result, 0);
        ZvObject *oldvalue = ZvTuple_GET_ITEM(result, 1);
        /* The pair holds the new items before the old ones are released,
         * whatever code those releases run. */
        ZvTuple_SET_ITEM(result, 0, key);
        ZvTuple_SET_ITEM(result, 1, value);
        Zv_INCREF(result);
        Zv_DECREF(oldkey);
        Zv_DECREF(oldvalue);
        return result;
    }
    result = ZvTuple_New(2);
    if (result == nullptr) {
        Zv_DECREF(key);
        Zv_DECREF(value);
        return nullptr;
    }
    ZvTuple_SET_ITEM(result, 0, key);
    ZvTuple_SET_ITEM(result, 1, value);
    return result;
}

static ZvSequenceMethods dictiter_as_sequence = {dictiter_len};

#define DICTITER_TYPE(typename_, name, iternext)                                \
    ZvTypeObject typename_ = {                                                  \
        ZvObject_HEAD_INIT(&ZvType_Type) 0,                                     \
        name, sizeof(dictiterobject), 0,                                        \
        dictiter_dealloc,       /* tp_dealloc */                                \
        nullptr,                /* tp_print */                                  \
        nullptr,                /* tp_getattr */                                \
        nullptr,                /* tp_setattr */                                \
        nullptr,                /* tp_compare */                                \
        nullptr,                /* tp_repr */                                   \
        nullptr,                /* tp_as_number */                              \
        &dictiter_as_sequence,  /* tp_as_sequence */                            \
        nullptr,                /* tp_as_mapping */                             \
        nullptr,                /* tp_hash */                                   \
        nullptr,                /* tp_call */                                   \
        nullptr,                /* tp_str */                                    \
        ZvObject_GenericGetAttr, /* tp_getattro */                              \
        nullptr,                /* tp_setattro */                               \
        nullptr,                /* tp_as_buffer */                              \
        Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC, /* tp_flags */                 \
        nullptr,                /* tp_doc */                                    \
        dictiter_traverse,      /* tp_traverse */                               \
        dictiter_clear,         /* tp_clear */                                  \
        nullptr,                /* tp_richcompare */                            \
        0,                      /* tp_weaklistoffset */                         \
        ZvObject_SelfIter,      /* tp_iter */                                   \
        iternext,               /* tp_iternext */                               \
    };

DICTITER_TYPE(ZvDictIterKey_Type, "dictionary-keyiterator", dictiter_iternextkey)
DICTITER_TYPE(ZvDictIterValue_Type, "dictionary-valueiterator", dictiter_iternextvalue)
DICTITER_TYPE(ZvDictIterItem_Type, "dictionary-itemiterator", dictiter_iternextitem)
#undef DICTITER_TYPE

static ZvObject *dict_iter(ZvObject *op)
{
    return dictiter_new((ZvDictObject *)op, &ZvDictIterKey_Type);
}

/* --- methods -------------------------------------------------------------- */

static ZvObject *dict_has_key(ZvObject *op, ZvObject *key)
{
    int found = ZvDict_Contains(op, key);
    if (found < 0) return nullptr;
    return ZvBool_FromLong(found);
}

static ZvObject *dict_get(ZvObject *op, ZvObject *args)
{
    ZvObject *key, *failobj = Zv_None;
    if (!ZvArg_UnpackTuple(args, "get", 1, 2, &key, &failobj)) return nullptr;
    auto *mp = (ZvDictObject *)op;
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return nullptr;
    ZvObject *val = mp->ma_lookup(mp, key, hash)->me_value;
    if (val == nullptr) val = failobj;
    Zv_INCREF(val);
    return val;
}

static ZvObject *dict_setdefault(ZvObject *op, ZvObject *args)
{
    ZvObject *key, *failobj = Zv_None;
    if (!ZvArg_UnpackTuple(args, "setdefault", 1, 2, &key, &failobj)) return nullptr;
    auto *mp = (ZvDictObject *)op;
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return nullptr;
    ZvObject *val = mp->ma_lookup(mp, key, hash)->me_value;
    if (val == nullptr) {
        if (ZvDict_SetItem(op, key, failobj) < 0) return nullptr;
        val = failobj;
    }
    Zv_INCREF(val);
    return val;
}

static ZvObject *dict_pop(ZvObject *op, ZvObject *args)
{
    ZvObject *key, *deflt = nullptr;
    if (!ZvArg_UnpackTuple(args, "pop", 1, 2, &key, &deflt)) return nullptr;
    auto *mp = (ZvDictObject *)op;
    if (mp->ma_used == 0) {
        if (deflt != nullptr) {
            Zv_INCREF(deflt);
            return deflt;
        }
        ZvErr_SetString(ZvExc_KeyError, "pop(): dictionary is empty");
        return nullptr;
    }
    Zv_hash_t hash = key_hash(key);
    if (hash == -1) return nullptr;
    ZvDictEntry *ep = mp->ma_lookup(mp, key, hash);
    if (ep->me_value == nullptr) {
        if (deflt != nullptr) {
            Zv_INCREF(deflt);
            return deflt;
        }
        set_key_error(key);
        return nullptr;
    }
    ZvObject *old_key = ep->me_key;
    ZvObject *old_value = ep->me_value;
    Zv_INCREF(dummy);
    ep->me_key = dummy;
    ep->me_value = nullptr;
    mp->ma_used--;
    mp->ma_version++;
    new_tag(mp);
    Zv_DECREF(old_key);
    return old_value; /* the slot's reference passes to the caller */
}

/* Removes some pair.  Slot 0's hash field, unused while slot 0 is not
 * active, remembers where the previous call stopped, so that emptying a
 * dictionary by repeated popitem is linear rather than quadratic. */
static ZvObject *dict_popitem(ZvObject *op, ZvObject *)
{
    auto *mp = (ZvDictObject *)op;
    /* Allocated first: a collection run by the allocation could empty the
     * dictionary. */
    Ref res(ZvTuple_New(2));
    if (!res) return nullptr;
    if (mp->ma_used == 0) {
        ZvErr_SetString(ZvExc_KeyError, "popitem(): dictionary is empty");
        return nullptr;
    }
    ZvDictEntry *const table = mp->ma_table;
    int32_t i = 0;
    ZvDictEntry *ep = &table[0];
    if (ep->me_value == nullptr) {
        i = ep->me_hash;
        if (i > mp->ma_mask || i < 1) i = 1;
        while ((ep = &table[i])->me_value == nullptr) {
            if (++i > mp->ma_mask) i = 1;
        }
    }
    ZvTuple_SET_ITEM(res.get(), 0, ep->me_key);
    ZvTuple_SET_ITEM(res.get(), 1, ep->me_value);
    Zv_INCREF(dummy);
    ep->me_key = dummy;
    ep->me_value = nullptr;
    mp->ma_used--;
    mp->ma_version++;
    new_tag(mp);
    table[0].me_hash = i + 1;
    return res.release();
}

static ZvObject *dict_keys(ZvObject *op, ZvObject *) { return dict_list(op, Part::Keys); }
static ZvObject *dict_values(ZvObject *op, ZvObject *) { return dict_list(op, Part::Values); }
static ZvObject *dict_items(ZvObject *op, ZvObject *) { return dict_list(op, Part::Items); }

static ZvObject *dict_update(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    if (dict_update_common(self, args, kwds, "update") < 0) return nullptr;
    Zv_RETURN_NONE;
}

static ZvObject *dict_fromkeys(ZvObject *cls, ZvObject *args)
{
    ZvObject *seq, *value = Zv_None;
    if (!ZvArg_UnpackTuple(args, "fromkeys", 1, 2, &seq, &value)) return nullptr;
    Ref d(ZvObject_CallObject(cls, nullptr));
    if (!d) return nullptr;
    Ref it(ZvObject_GetIter(seq));
    if (!it) return nullptr;
    for (;;) {
        Ref key(ZvIter_Next(it.get()));
        if (!key) return ZvErr_Occurred() ? nullptr : d.release();
        if (ZvObject_SetItem(d.get(), key.get(), value) < 0) return nullptr;
    }
}

static ZvObject *dict_clear(ZvObject *op, ZvObject *)
{
    ZvDict_Clear(op);
    Zv_RETURN_NONE;
}

static ZvObject *dict_copy(ZvObject *op, ZvObject *) { return ZvDict_Copy(op); }

static ZvObject *dict_iterkeys(ZvObject *op, ZvObject *)
{
    return dictiter_new((ZvDictObject *)op, &ZvDictIterKey_Type);
}

static ZvObject *dict_itervalues(ZvObject *op, ZvObject *)
{
    return dictiter_new((ZvDictObject *)op, &ZvDictIterValue_Type);
}

static ZvObject *dict_iteritems(ZvObject *op, ZvObject *)
{
    return dictiter_new((ZvDictObject *)op, &ZvDictIterItem_Type);
}

static ZvMethodDef mapp_methods[] = {
    {"__contains__", dict_has_key, METH_O | METH_COEXIST,
     "D.__contains__(k) -> True if D has a key k, else False"},
    {"__getitem__", dict_subscript, METH_O | METH_COEXIST, "x.__getitem__(y) <==> x[y]"},
    {"has_key", dict_has_key, METH_O, "D.has_key(k) -> True if D has a key k, else False"},
    {"get", dict_get, METH_VARARGS, "D.get(k[,d]) -> D[k] if k in D, else d.  d defaults to None."},
    {"setdefault", dict_setdefault, METH_VARARGS,
     "D.setdefault(k[,d]) -> D.get(k,d), also set D[k]=d if k not in D"},
    {"pop", dict_pop, METH_VARARGS,
     "D.pop(k[,d]) -> v, remove specified key and return the corresponding value.\n"
     "If key is not found, d is returned if given, otherwise KeyError is raised"},
    {"popitem", dict_popitem, METH_NOARGS,
     "D.popitem() -> (k, v), remove and return some (key, value) pair as a\n"
     "2-tuple; but raise KeyError if D is empty"},
    {"keys", dict_keys, METH_NOARGS, "D.keys() -> list of D's keys"},
    {"items", dict_items, METH_NOARGS, "D.items() -> list of D's (key, value) pairs, as 2-tuples"},
    {"values", dict_values, METH_NOARGS, "D.values() -> list of D's values"},
    {"update", (ZvCFunction)(void (*)(void))dict_update, METH_VARARGS | METH_KEYWORDS,
     "D.update(E, **F) -> None.  Update D from E and F: for k in E: D[k] = E[k]\n"
     "(if E has keys else: for (k, v) in E: D[k] = v) then: for k in F: D[k] = F[k]"},
    {"fromkeys", dict_fromkeys, METH_VARARGS | METH_CLASS,
     "dict.fromkeys(S[,v]) -> New dict with keys from S and values equal to v.\n"
     "v defaults to None."},
    {"clear", dict_clear, METH_NOARGS, "D.clear() -> None.  Remove all items from D."},
    {"copy", dict_copy, METH_NOARGS, "D.copy() -> a shallow copy of D"},
    {"iterkeys", dict_iterkeys, METH_NOARGS, "D.iterkeys() -> an iterator over the keys of D"},
    {"itervalues", dict_itervalues, METH_NOARGS, "D.itervalues() -> an iterator over the values of D"},
    {"iteritems", dict_iteritems, METH_NOARGS,
     "D.iteritems() -> an iterator over the (key, value) items of D"},
    {nullptr, nullptr, 0, nullptr},
};

static int dict_init(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    return dict_update_common(self, args, kwds, "dict");
}

static ZvObject *dict_new(ZvTypeObject *type, ZvObject *, ZvObject *)
{
    if (!ensure_dummy()) return nullptr;
    ZvObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto *d = (ZvDictObject *)self;
    empty_to_minsize(d);
    d->ma_lookup = lookdict_string;
    return self;
}

static ZvSequenceMethods dict_as_sequence = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    ZvDict_Contains, /* sq_contains */
};

static ZvMappingMethods dict_as_mapping = {
    dict_length,    /* mp_length */
    dict_subscript, /* mp_subscript */
    dict_ass_sub,   /* mp_ass_subscript */
};

ZvTypeObject ZvDict_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "dict", sizeof(ZvDictObject), 0,
    dict_dealloc,      /* tp_dealloc */
    dict_print,        /* tp_print */
    nullptr,           /* tp_getattr */
    nullptr,           /* tp_setattr */
    dict_compare,      /* tp_compare */
    dict_repr,         /* tp_repr */
    nullptr,           /* tp_as_number */
    &dict_as_sequence, /* tp_as_sequence */
    &dict_as_mapping,  /* tp_as_mapping */
    dict_nohash,       /* tp_hash */
    nullptr,           /* tp_call */
    nullptr,           /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,           /* tp_setattro */
    nullptr,           /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "dict() -> new empty dictionary.\n"
    "dict(mapping) -> new dictionary holding the (key, value) pairs of a mapping.\n"
    "dict(seq) -> new dictionary built from a sequence of (key, value) pairs,\n"
    "    as if by: for k, v in seq: d[k] = v\n"
    "dict(**kwargs) -> new dictionary holding the name=value pairs of the\n"
    "    keyword arguments, e.g. dict(one=1, two=2)",
    dict_traverse,     /* tp_traverse */
    dict_tp_clear,     /* tp_clear */
    dict_richcompare,  /* tp_richcompare */
    0,                 /* tp_weaklistoffset */
    dict_iter,         /* tp_iter */
    nullptr,           /* tp_iternext */
    mapp_methods,      /* tp_methods */
    nullptr,           /* tp_members */
    nullptr,           /* tp_getset */
    nullptr,           /* tp_base */
    nullptr,           /* tp_dict */
    nullptr,           /* tp_descr_get */
    nullptr,           /* tp_descr_set */
    0,                 /* tp_dictoffset */
    dict_init,         /* tp_init */
    ZvType_GenericAlloc, /* tp_alloc */
    dict_new,          /* tp_new */
    ZvObject_GC_Del,   /* tp_free */
};

void ZvDict_Fini(void)
{
    while (num_free_dicts > 0) ZvObject_GC_Del(free_dicts[--num_free_dicts]);
    /* A dictionary that outlives shut-down still marks its deleted slots
     * with this very object: then it is kept, and a restart reuses it. */
    if (dummy != nullptr && Zv_REFCNT(dummy) == 1) Zv_CLEAR(dummy);
}
