// Helpers for the tests of descriptors, types, slots and super: building
// argument tuples, calling objects and attributes, and creating classes at
// run time the way an embedder does (type(name, bases, dict)).
#ifndef ZV_TEST_TYPETEST_H
#define ZV_TEST_TYPETEST_H

#include <initializer_list>
#include <utility>

#include "abstract.h"
#include "zvtest.h"

// A new tuple of the given (borrowed) items.
inline ZvObject *zv_tuple(std::initializer_list<ZvObject *> items)
{
    ZvObject *t = ZvTuple_New((int)items.size());
    int i = 0;
    for (ZvObject *o : items) {
        Zv_INCREF(o);
        ZvTuple_SET_ITEM(t, i++, o);
    }
    return t;
}

// f(*args, **kw): a new reference or NULL with the error set.
inline ZvObject *zv_call(ZvObject *f, std::initializer_list<ZvObject *> args = {},
                         ZvObject *kw = nullptr)
{
    Owned t(zv_tuple(args));
    return ZvObject_Call(f, t, kw);
}

inline ZvObject *zv_getattr(ZvObject *o, const char *name)
{
    return ZvObject_GetAttrString(o, name);
}

// o.name(*args).
inline ZvObject *zv_callattr(ZvObject *o, const char *name,
                             std::initializer_list<ZvObject *> args = {})
{
    Owned f(ZvObject_GetAttrString(o, name));
    if (f.get() == nullptr) return nullptr;
    return zv_call(f, args);
}

using ZvBody = std::initializer_list<std::pair<const char *, ZvObject *>>;

// meta(name, bases, body): a new class, or NULL with the error set.
inline ZvObject *zv_class(const char *name, std::initializer_list<ZvObject *> bases,
                          ZvBody body = {}, ZvObject *meta = (ZvObject *)&ZvType_Type)
{
    Owned n(ZvString_FromString(name));
    Owned b(zv_tuple(bases));
    Owned d(ZvDict_New());
    for (const auto &[k, v] : body) ZvDict_SetItemString(d, k, v);
    return zv_call(meta, {n.get(), b.get(), d.get()});
}

inline ZvObject *zv_int(int32_t v) { return ZvInt_FromLong(v); }
inline ZvObject *zv_string(const char *s) { return ZvString_FromString(s); }

// A plain built-in function for a method table entry (no self).
inline ZvObject *zv_native(ZvMethodDef *def) { return ZvCFunction_New(def, nullptr); }

// The int value of o (which must be an int), or a sentinel when it is not.
inline int32_t zv_intval(ZvObject *o)
{
    return (o != nullptr && ZvInt_Check(o)) ? ZvInt_AS_LONG(o) : INT32_MIN;
}

#define ZV_TYPE_OBJ(t) ((ZvObject *)&(t))

#endif
