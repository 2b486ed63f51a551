// Helpers for the tuple, list and sort tests: native callables, iterators
// and probe objects whose comparison and destruction run test code, so
// that a test can play the part of user code that changes a container
// while it is being worked on.  Header-only: each test program links only
// its own source and the shared fixture.
#ifndef ZV_TEST_SEQTEST_H
#define ZV_TEST_SEQTEST_H

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "zvtest.h"

namespace seqtest {

using CallFn = std::function<ZvObject *(ZvObject *args)>;
using NextFn = std::function<ZvObject *()>;

struct Hooks {
    // Rich comparison of the probe with another object; when empty, probes
    // compare by `value`.
    std::function<ZvObject *(ZvObject *self, ZvObject *other, int op)> compare;
    std::function<void()> on_dealloc;
    int value = 0;
};

namespace detail {

struct FnObject {
    ZvObject_HEAD
    CallFn *call;
    NextFn *next;
    Hooks *hooks;
};

inline void fn_dealloc(ZvObject *o)
{
    auto *f = (FnObject *)o;
    if (f->hooks != nullptr && f->hooks->on_dealloc) f->hooks->on_dealloc();
    delete f->call;
    delete f->next;
    delete f->hooks;
    ZvObject_Free(o);
}

inline ZvObject *fn_call(ZvObject *o, ZvObject *args, ZvObject *) { return (*((FnObject *)o)->call)(args); }

inline ZvObject *fn_next(ZvObject *o) { return (*((FnObject *)o)->next)(); }

inline ZvTypeObject *probe_type();

inline ZvObject *probe_richcompare(ZvObject *a, ZvObject *b, int op)
{
    auto *fa = (FnObject *)a;
    if (Zv_TYPE(a) != probe_type()) Zv_RETURN_NOTIMPLEMENTED;
    if (fa->hooks->compare) return fa->hooks->compare(a, b, op);
    if (Zv_TYPE(b) != probe_type()) Zv_RETURN_NOTIMPLEMENTED;
    int x = fa->hooks->value, y = ((FnObject *)b)->hooks->value;
    bool r = op == Zv_LT ? x < y : op == Zv_LE ? x <= y : op == Zv_EQ ? x == y
           : op == Zv_NE ? x != y : op == Zv_GT ? x > y : x >= y;
    return ZvBool_FromLong(r);
}

inline ZvObject *probe_repr(ZvObject *o)
{
    return ZvString_FromFormat("probe(%d)", ((FnObject *)o)->hooks->value);
}

inline ZvTypeObject make_type(const char *name)
{
    ZvTypeObject t{};
    t.ob_refcnt = 1;
    t.ob_type = &ZvType_Type;
    t.tp_name = name;
    t.tp_basicsize = sizeof(FnObject);
    t.tp_dealloc = fn_dealloc;
    t.tp_flags = Zv_TPFLAGS_DEFAULT;
    return t;
}

inline ZvTypeObject *callable_type()
{
    static ZvTypeObject t = [] {
        ZvTypeObject r = make_type("testcallable");
        r.tp_call = fn_call;
        return r;
    }();
    return &t;
}

inline ZvTypeObject *iterator_type()
{
    static ZvTypeObject t = [] {
        ZvTypeObject r = make_type("testiterator");
        r.tp_iter = ZvObject_SelfIter;
        r.tp_iternext = fn_next;
        return r;
    }();
    return &t;
}

inline ZvTypeObject *probe_type()
{
    static ZvTypeObject t = [] {
        ZvTypeObject r = make_type("probe");
        r.tp_richcompare = probe_richcompare;
        r.tp_repr = probe_repr;
        return r;
    }();
    return &t;
}

inline FnObject *new_fn(ZvTypeObject *type)
{
    auto *f = (FnObject *)ZvObject_Malloc(sizeof(FnObject));
    ZvObject_Init((ZvObject *)f, type);
    f->call = nullptr;
    f->next = nullptr;
    f->hooks = nullptr;
    return f;
}

} // namespace detail

// A callable object: calling it runs fn with the argument tuple.
inline ZvObject *make_callable(CallFn fn)
{
    auto *f = detail::new_fn(detail::callable_type());
    f->call = new CallFn(std::move(fn));
    return (ZvObject *)f;
}

// An iterator whose next step runs fn (NULL without an error ends it).
inline ZvObject *make_iterator(NextFn fn)
{
    auto *f = detail::new_fn(detail::iterator_type());
    f->next = new NextFn(std::move(fn));
    return (ZvObject *)f;
}

// An object that compares through hooks (by `value` by default) and runs
// on_dealloc when it dies.
inline ZvObject *make_probe(Hooks hooks)
{
    auto *f = detail::new_fn(detail::probe_type());
    f->hooks = new Hooks(std::move(hooks));
    return (ZvObject *)f;
}

inline int probe_value(ZvObject *probe) { return ((detail::FnObject *)probe)->hooks->value; }

inline ZvObject *int_list(const std::vector<int> &values)
{
    ZvObject *l = ZvList_New((int)values.size());
    for (size_t i = 0; i < values.size(); i++) ZvList_SET_ITEM(l, i, ZvInt_FromLong(values[i]));
    return l;
}

inline ZvObject *int_tuple(const std::vector<int> &values)
{
    ZvObject *t = ZvTuple_New((int)values.size());
    for (size_t i = 0; i < values.size(); i++) ZvTuple_SET_ITEM(t, i, ZvInt_FromLong(values[i]));
    return t;
}

// The values of a list or tuple of ints (-999 for any other item).
inline std::vector<int> int_values(ZvObject *seq)
{
    std::vector<int> out;
    bool list = ZvList_Check(seq);
    for (int i = 0; i < Zv_SIZE(seq); i++) {
        ZvObject *o = list ? ZvList_GET_ITEM(seq, i) : ZvTuple_GET_ITEM(seq, i);
        out.push_back(o != nullptr && ZvInt_Check(o) ? ZvInt_AS_LONG(o) : -999);
    }
    return out;
}

// A dictionary of keyword arguments (the values are borrowed).
inline ZvObject *kwargs(std::initializer_list<std::pair<const char *, ZvObject *>> items)
{
    ZvObject *d = ZvDict_New();
    for (const auto &[k, v] : items) ZvDict_SetItemString(d, k, v);
    return d;
}

// What ZvObject_Print writes for o, or "<error>" with the error left set.
inline std::string printed(ZvObject *o)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    int rc = ZvObject_Print(o, fp, 0);
    fclose(fp);
    std::string s = rc == 0 ? std::string(buf, len) : "<error>";
    free(buf);
    return s;
}

// A tuple of the given objects (borrowed; the tuple takes its own references).
template <typename... T> ZvObject *args(T... items)
{
    return ZvTuple_Pack((int)sizeof...(items), (ZvObject *)items...);
}

} // namespace seqtest

#endif
