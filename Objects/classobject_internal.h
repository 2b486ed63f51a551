/* Private interface between the sources of classic classes: the class and
 * instance core (classobject.cpp), the instance special-method slots
 * (instanceslots.cpp) and method objects (instancemethod.cpp). */
#ifndef ZV_CLASSOBJECT_INTERNAL_H
#define ZV_CLASSOBJECT_INTERNAL_H

#include "zuvo.h"

ZV_BEGIN_DECLS

/* The interned string `s`, made on first use and kept in *cache for the
 * process's life (special-method names are looked up on every operator).
 * Borrowed; NULL with the error set when it cannot be made. */
ZvObject *_ZvClass_Name(ZvObject **cache, const char *s);

/* Class lookup: the class's dictionary, then each base, depth first and
 * left to right.  A new reference or NULL.  A hierarchy nested deeper than
 * the recursion limit stops the search with RuntimeError, so NULL with an
 * error set means failure and NULL without one means absent. */
ZvObject *_ZvClass_Lookup(ZvClassObject *cp, ZvObject *name);

/* The class dictionary's "__module__" when it is a string (a new
 * reference), else NULL without an error. */
ZvObject *_ZvClass_Module(ZvClassObject *cp);

/* The full instance attribute lookup (dictionary, class with binding, then
 * the class's __getattr__ hook).  New reference or NULL with an error. */
ZvObject *_ZvInstance_GetAttr(ZvObject *inst, ZvObject *name);
/* The lookup without the hook: dictionary, then class with binding.  New
 * reference; NULL without an error when absent. */
ZvObject *_ZvInstance_GetAttrNoHook(ZvObject *inst, ZvObject *name);

/* The instance type's special-method slots (instanceslots.cpp). */
ZvObject *_ZvInstance_Repr(ZvObject *inst);
extern ZvNumberMethods _ZvInstance_AsNumber;
extern ZvSequenceMethods _ZvInstance_AsSequence;
extern ZvMappingMethods _ZvInstance_AsMapping;
ZvObject *_ZvInstance_Str(ZvObject *inst);
Zv_hash_t _ZvInstance_Hash(ZvObject *inst);
ZvObject *_ZvInstance_Call(ZvObject *inst, ZvObject *args, ZvObject *kw);
int _ZvInstance_Compare(ZvObject *v, ZvObject *w);
ZvObject *_ZvInstance_RichCompare(ZvObject *v, ZvObject *w, int op);
ZvObject *_ZvInstance_Iter(ZvObject *inst);
ZvObject *_ZvInstance_Next(ZvObject *inst);

ZV_END_DECLS

#endif /* ZV_CLASSOBJECT_INTERNAL_H */
