/* Private interface between the type machinery's sources: the heap-type
 * record, the special-method slot table and a few helpers shared by
 * typeobject.cpp, typeslots.cpp, superobject.cpp, descrobject.cpp,
 * methodobject.cpp and structmember.cpp.
 *
 * A class created at run time is one allocation: the type record, its own
 * number, mapping, sequence and buffer tables, its name and slot names,
 * then one ZvMemberDef per __slots__ name and an all-zero terminator.  The
 * slot table addresses a slot by its byte offset into this record, so the
 * order of the tables here is part of that contract. */
#ifndef ZV_TYPEOBJECT_INTERNAL_H
#define ZV_TYPEOBJECT_INTERNAL_H

#include "zuvo.h"

ZV_BEGIN_DECLS

typedef struct _heaptypeobject {
    ZvTypeObject ht_type; /* ob_size = number of slot members */
    ZvNumberMethods as_number;
    ZvMappingMethods as_mapping;
    ZvSequenceMethods as_sequence;
    ZvBufferProcs as_buffer;
    ZvObject *ht_name;  /* string; tp_name points at its characters */
    ZvObject *ht_slots; /* tuple of mangled __slots__ names, or NULL */
    /* ZvMemberDef members[ob_size + 1] follow */
} ZvHeapTypeObject;

/* The slot members of a heap type sit right after the record of its
 * metatype's size (every metatype shares type's layout). */
#define _ZvHeapType_GET_MEMBERS(t)                                            \
    ((ZvMemberDef *)((char *)(t) + Zv_TYPE(t)->tp_basicsize))

/* Restricted execution is a property of the running frame. */
static inline int _zv_in_restricted_mode(void) { return ZvEval_GetRestricted(); }

/* --- typeslots.cpp ------------------------------------------------------ */

/* Interns the names and sorts the slot table; once per process. */
void _ZvSlots_Init(void);
/* Stores a wrapper descriptor for each filled slot whose name the type's
 * dictionary does not hold yet (readying). */
int _ZvSlots_AddOperators(ZvTypeObject *type);
/* Recomputes every slot of a new class from the special methods found
 * along its MRO. */
void _ZvSlots_Fixup(ZvTypeObject *type);
/* Recomputes the slots named `name` in the type and its subclasses that
 * do not define the name themselves (class attribute assignment). */
int _ZvSlots_Update(ZvTypeObject *type, ZvObject *name);
/* Recomputes every slot of the type and all its subclasses (after a
 * __bases__ assignment). */
int _ZvSlots_UpdateAll(ZvTypeObject *type);
/* The native function behind every type's __new__. */
ZvObject *_ZvType_NewWrapper(ZvObject *self, ZvObject *args, ZvObject *kwds);
/* Special-method lookup on the type of self (never the instance
 * dictionary): a new reference, bound through the attribute's __get__;
 * NULL without an error when missing. */
ZvObject *_ZvType_LookupSpecial(ZvObject *self, const char *name, ZvObject **cache);

/* --- typeobject.cpp ------------------------------------------------------ */

/* The dictionary an MRO entry contributes to lookups: a type's tp_dict,
 * a classic class's own dictionary; NULL for anything else. */
ZvObject *_ZvType_MroDict(ZvObject *entry);
/* Calls visit(subclass, arg) for every live direct subclass; stops at and
 * returns the first non-zero result. */
int _ZvType_ForEachSubclass(ZvTypeObject *type, int (*visit)(ZvTypeObject *, void *), void *arg);
/* Calls visit(sub, arg) for every live subclass at any depth, depth first
 * in registration order, without native recursion.  visit returns -1 (an
 * error: the walk stops with -1), 0 (go on below sub) or 1 (skip sub's own
 * subclasses).  A class reachable along two paths is visited twice. */
int _ZvType_WalkSubclasses(ZvTypeObject *type, int (*visit)(ZvTypeObject *, void *), void *arg);
/* _ZvType_Lookup returning a new reference (NULL without an error when
 * missing): what every caller that goes on to run code should use. */
ZvObject *_ZvType_LookupRef(ZvTypeObject *type, ZvObject *name);
/* The cache behind _ZvType_LookupRef: answers (found or not) for a type
 * and a string name, trusted while the epoch stays.  Whatever can change
 * what a walk along an MRO finds (a class namespace changing or going, an
 * MRO replaced, a type freed) starts a new epoch. */
extern uint64_t _zv_type_epoch;
static inline void _ZvType_InvalidateCache(void) { ++_zv_type_epoch; }
/* Marks dict as a class namespace (see ma_zvclassdict). */
void _ZvType_MarkClassDict(ZvObject *dict);
/* Drops the cache's references (at finalization). */
void _ZvType_ClearCache(void);
/* The heap-instance deallocator (installed by class creation). */
void _ZvType_SubtypeDealloc(ZvObject *self);

ZV_END_DECLS

#endif /* ZV_TYPEOBJECT_INTERNAL_H */
