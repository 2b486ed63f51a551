/* The mapping `dict`: open addressing with a perturbed probe sequence and
 * an eight-slot table embedded in the object. */
#ifndef ZVDICTOBJECT_H
#define ZVDICTOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

#define ZvDict_MINSIZE 8

typedef struct {
    Zv_hash_t me_hash;
    ZvObject *me_key;
    ZvObject *me_value;
} ZvDictEntry;

typedef struct _dictobject ZvDictObject;
struct _dictobject {
    ZvObject_HEAD
    int32_t ma_fill; /* active + dummy slots */
    int32_t ma_used; /* active slots */
    int32_t ma_mask; /* table size - 1 */
    ZvDictEntry *ma_table;
    ZvDictEntry *(*ma_lookup)(ZvDictObject *mp, ZvObject *key, Zv_hash_t hash);
    ZvDictEntry ma_smalltable[ZvDict_MINSIZE];
};

ZvAPI_DATA(ZvTypeObject) ZvDict_Type;
ZvAPI_DATA(ZvTypeObject) ZvDictIterKey_Type;
ZvAPI_DATA(ZvTypeObject) ZvDictIterValue_Type;
ZvAPI_DATA(ZvTypeObject) ZvDictIterItem_Type;

#define ZvDict_Check(op) ZvObject_TypeCheck(op, &ZvDict_Type)
#define ZvDict_CheckExact(op) (Zv_TYPE(op) == &ZvDict_Type)

ZvAPI_FUNC(ZvObject *) ZvDict_New(void);
ZvAPI_FUNC(ZvObject *) ZvDict_GetItem(ZvObject *mp, ZvObject *key); /* borrowed */
ZvAPI_FUNC(int) ZvDict_SetItem(ZvObject *mp, ZvObject *key, ZvObject *item);
ZvAPI_FUNC(int) ZvDict_DelItem(ZvObject *mp, ZvObject *key);
ZvAPI_FUNC(void) ZvDict_Clear(ZvObject *mp);
ZvAPI_FUNC(int) ZvDict_Next(ZvObject *mp, int *pos, ZvObject **key, ZvObject **value);
ZvAPI_FUNC(ZvObject *) ZvDict_Keys(ZvObject *mp);
ZvAPI_FUNC(ZvObject *) ZvDict_Values(ZvObject *mp);
ZvAPI_FUNC(ZvObject *) ZvDict_Items(ZvObject *mp);
ZvAPI_FUNC(int) ZvDict_Size(ZvObject *mp);
ZvAPI_FUNC(ZvObject *) ZvDict_Copy(ZvObject *mp);
ZvAPI_FUNC(int) ZvDict_Update(ZvObject *mp, ZvObject *other);
ZvAPI_FUNC(int) ZvDict_Merge(ZvObject *mp, ZvObject *other, int override);
ZvAPI_FUNC(int) ZvDict_MergeFromSeq2(ZvObject *d, ZvObject *seq2, int override);
ZvAPI_FUNC(int) ZvDict_Contains(ZvObject *mp, ZvObject *key);
ZvAPI_FUNC(ZvObject *) ZvDict_GetItemString(ZvObject *dp, const char *key); /* borrowed */
ZvAPI_FUNC(int) ZvDict_SetItemString(ZvObject *dp, const char *key, ZvObject *item);
ZvAPI_FUNC(int) ZvDict_DelItemString(ZvObject *dp, const char *key);
ZvAPI_FUNC(void) ZvDict_Fini(void);

ZV_END_DECLS

#endif /* ZVDICTOBJECT_H */
