/* The mapping `dict`: open addressing with a perturbed probe sequence and
 * an eight-slot table embedded in the object.
 *
 * A slot is empty (me_key NULL), active (key and value set) or a deleted
 * marker left so that probe chains stay intact.  The table size is a power
 * of two; at most two thirds of it is ever filled. */
#ifndef ZVDICTOBJECT_H
#define ZVDICTOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

#define ZvDict_MINSIZE 8

typedef struct {
    Zv_hash_t me_hash;   /* the key's hash, cached */
    ZvObject *me_key;
    ZvObject *me_value;  /* NULL unless the slot is active */
} ZvDictEntry;

typedef struct _dictobject ZvDictObject;
struct _dictobject {
    ZvObject_HEAD
    int32_t ma_fill; /* active + deleted slots */
    int32_t ma_used; /* active slots: the length */
    int32_t ma_mask; /* table size - 1 */
    ZvDictEntry *ma_table; /* ma_smalltable while the size is 8 */
    /* The lookup in use: specialised for exact-string keys until another
     * kind of key is looked up, general from then on. */
    ZvDictEntry *(*ma_lookup)(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash);
    ZvDictEntry ma_smalltable[ZvDict_MINSIZE];
    /* Advanced by every change to the set of keys or to the table (a key
     * added or removed, a resize, a clear): a lookup whose key comparison
     * ran code sees from it whether the slots it already passed can still
     * be trusted.  Wraps harmlessly. */
    uint32_t ma_version;
    /* Nonzero while the dictionary may be a class's namespace (a type's
     * tp_dict, a classic class's __dict__): its changes then also renew the
     * cache of attribute lookups along MROs. */
    uint32_t ma_zvclassdict;
    /* A tag that changes with every change to the mapping (a key added,
     * removed or given another value, a clear), drawn from one counter for
     * all dictionaries: the same dictionary with the same tag maps exactly as
     * before, so the evaluation loop can keep what it found in one.  64 bits:
     * never reused. */
    uint64_t ma_tag;
};

ZvAPI_DATA(ZvTypeObject) ZvDict_Type;
ZvAPI_DATA(ZvTypeObject) ZvDictIterKey_Type;
ZvAPI_DATA(ZvTypeObject) ZvDictIterValue_Type;
ZvAPI_DATA(ZvTypeObject) ZvDictIterItem_Type;

#define ZvDict_Check(op) ZvObject_TypeCheck(op, &ZvDict_Type)
#define ZvDict_CheckExact(op) (Zv_TYPE(op) == &ZvDict_Type)

ZvAPI_FUNC(ZvObject *) ZvDict_New(void);
/* Borrowed value or NULL; never raises (hashing errors are cleared). */
ZvAPI_FUNC(ZvObject *) ZvDict_GetItem(ZvObject *mp, ZvObject *key);
/* The value under the exact string key, found without comparing it to any
 * key that is not an exact string: never runs user code, never fails.
 * Borrowed; NULL when absent.  *undecided is set when a key of another
 * type with the same hash was passed over (it might be equal). */
ZvAPI_FUNC(ZvObject *) _ZvDict_GetItemNoCompare(ZvObject *mp, ZvObject *key, int *undecided);
ZvAPI_FUNC(int) ZvDict_SetItem(ZvObject *mp, ZvObject *key, ZvObject *item);
/* A missing key raises KeyError carrying the key. */
ZvAPI_FUNC(int) ZvDict_DelItem(ZvObject *mp, ZvObject *key);
ZvAPI_FUNC(void) ZvDict_Clear(ZvObject *mp);
/* Walks the active slots: *pos starts at 0; key and value are borrowed.
 * Keys must not be added or removed between calls. */
ZvAPI_FUNC(int) ZvDict_Next(ZvObject *mp, int *pos, ZvObject **key, ZvObject **value);
ZvAPI_FUNC(ZvObject *) ZvDict_Keys(ZvObject *mp);
ZvAPI_FUNC(ZvObject *) ZvDict_Values(ZvObject *mp);
ZvAPI_FUNC(ZvObject *) ZvDict_Items(ZvObject *mp);
ZvAPI_FUNC(int) ZvDict_Size(ZvObject *mp);
ZvAPI_FUNC(ZvObject *) ZvDict_Copy(ZvObject *mp);
/* ZvDict_Merge(mp, other, 1). */
ZvAPI_FUNC(int) ZvDict_Update(ZvObject *mp, ZvObject *other);
/* Adds other's pairs (other: a dict, or any mapping with keys() and item
 * access); existing keys are overwritten only when override is set. */
ZvAPI_FUNC(int) ZvDict_Merge(ZvObject *mp, ZvObject *other, int override);
/* Adds the pairs of an iterable of two-item sequences. */
ZvAPI_FUNC(int) ZvDict_MergeFromSeq2(ZvObject *d, ZvObject *seq2, int override);
/* 1 if present, 0 if not, -1 on a hashing error. */
ZvAPI_FUNC(int) ZvDict_Contains(ZvObject *mp, ZvObject *key);
ZvAPI_FUNC(ZvObject *) ZvDict_GetItemString(ZvObject *dp, const char *key); /* borrowed */
ZvAPI_FUNC(int) ZvDict_SetItemString(ZvObject *dp, const char *key, ZvObject *item);
ZvAPI_FUNC(int) ZvDict_DelItemString(ZvObject *dp, const char *key);
/* Frees the released headers kept for reuse (shut-down). */
ZvAPI_FUNC(void) ZvDict_Fini(void);

ZV_END_DECLS

#endif /* ZVDICTOBJECT_H */
