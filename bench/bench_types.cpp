// Attribute lookup on class instances, native method calls and operator
// dispatch through special-method slots.
#include <benchmark/benchmark.h>

#include "abstract.h"
#include "zuvo.h"

namespace {

struct Runtime {
    Runtime() { Zv_Initialize(); }
} runtime;

ZvObject *tuple_of(std::initializer_list<ZvObject *> items)
{
    ZvObject *t = ZvTuple_New((int)items.size());
    int i = 0;
    for (ZvObject *o : items) {
        Zv_INCREF(o);
        ZvTuple_SET_ITEM(t, i++, o);
    }
    return t;
}

ZvObject *make_class(const char *name, std::initializer_list<ZvObject *> bases, ZvObject *dict)
{
    ZvObject *n = ZvString_FromString(name);
    ZvObject *b = tuple_of(bases);
    ZvObject *args = tuple_of({n, b, dict});
    ZvObject *cls = ZvObject_Call((ZvObject *)&ZvType_Type, args, nullptr);
    Zv_DECREF(args);
    Zv_DECREF(b);
    Zv_DECREF(n);
    return cls;
}

ZvObject *instance(ZvObject *cls)
{
    ZvObject *args = ZvTuple_New(0);
    ZvObject *inst = ZvObject_Call(cls, args, nullptr);
    Zv_DECREF(args);
    return inst;
}

ZvObject *fn_noargs(ZvObject *self, ZvObject *) { Zv_INCREF(self); return self; }
ZvObject *fn_o(ZvObject *, ZvObject *arg) { Zv_INCREF(arg); return arg; }
ZvObject *fn_varargs(ZvObject *, ZvObject *args) { Zv_INCREF(args); return args; }
ZvObject *fn_add(ZvObject *, ZvObject *args) { Zv_INCREF(args); return args; }

ZvMethodDef defs[] = {
    {"noargs", fn_noargs, METH_NOARGS, nullptr},
    {"o", fn_o, METH_O, nullptr},
    {"varargs", fn_varargs, METH_VARARGS, nullptr},
    {"__add__", fn_add, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void BM_GetAttrInstanceDict(benchmark::State &state)
{
    ZvObject *dict = ZvDict_New();
    ZvObject *cls = make_class("C", {}, dict);
    ZvObject *inst = instance(cls);
    ZvObject *name = ZvString_InternFromString("x");
    ZvObject_SetAttr(inst, name, Zv_None);
    for (auto _ : state) {
        ZvObject *v = ZvObject_GetAttr(inst, name);
        benchmark::DoNotOptimize(v);
        Zv_DECREF(v);
    }
    Zv_DECREF(inst);
}
BENCHMARK(BM_GetAttrInstanceDict);

void BM_GetAttrMethodThreeClassesUp(benchmark::State &state)
{
    ZvObject *dict = ZvDict_New();
    ZvObject *a = make_class("A", {}, dict);
    ZvObject *descr = ZvDescr_NewMethod((ZvTypeObject *)a, &defs[0]);
    ZvObject_SetAttrString(a, "m", descr);
    ZvObject *b = make_class("B", {a}, dict);
    ZvObject *c = make_class("C", {b}, dict);
    ZvObject *d = make_class("D", {c}, dict);
    ZvObject *inst = instance(d);
    ZvObject *name = ZvString_InternFromString("m");
    for (auto _ : state) {
        ZvObject *v = ZvObject_GetAttr(inst, name);
        benchmark::DoNotOptimize(v);
        Zv_DECREF(v);
    }
    Zv_DECREF(inst);
}
BENCHMARK(BM_GetAttrMethodThreeClassesUp);

void BM_GetAttrSlotMember(benchmark::State &state)
{
    ZvObject *dict = ZvDict_New();
    ZvObject *slots = ZvString_FromString("a");
    ZvDict_SetItemString(dict, "__slots__", slots);
    ZvObject *cls = make_class("S", {}, dict);
    ZvObject *inst = instance(cls);
    ZvObject *name = ZvString_InternFromString("a");
    ZvObject_SetAttr(inst, name, Zv_None);
    for (auto _ : state) {
        ZvObject *v = ZvObject_GetAttr(inst, name);
        benchmark::DoNotOptimize(v);
        Zv_DECREF(v);
    }
    Zv_DECREF(inst);
}
BENCHMARK(BM_GetAttrSlotMember);

void call_native(benchmark::State &state, ZvMethodDef *def, ZvObject *args)
{
    ZvObject *self = ZvInt_FromLong(1000);
    ZvObject *f = ZvCFunction_New(def, self);
    for (auto _ : state) {
        ZvObject *v = ZvObject_Call(f, args, nullptr);
        benchmark::DoNotOptimize(v);
        Zv_DECREF(v);
    }
    Zv_DECREF(f);
    Zv_DECREF(self);
    Zv_DECREF(args);
}

void BM_CallNoArgs(benchmark::State &state) { call_native(state, &defs[0], ZvTuple_New(0)); }
BENCHMARK(BM_CallNoArgs);

void BM_CallOneArg(benchmark::State &state) { call_native(state, &defs[1], tuple_of({Zv_None})); }
BENCHMARK(BM_CallOneArg);

void BM_CallThreeArgs(benchmark::State &state)
{
    call_native(state, &defs[2], tuple_of({Zv_None, Zv_None, Zv_None}));
}
BENCHMARK(BM_CallThreeArgs);

void BM_AddInts(benchmark::State &state)
{
    ZvObject *a = ZvInt_FromLong(1000), *b = ZvInt_FromLong(2000);
    for (auto _ : state) {
        ZvObject *v = ZvNumber_Add(a, b);
        benchmark::DoNotOptimize(v);
        Zv_DECREF(v);
    }
}
BENCHMARK(BM_AddInts);

void BM_AddInstancesNativeAdd(benchmark::State &state)
{
    ZvObject *dict = ZvDict_New();
    ZvObject *add = ZvCFunction_New(&defs[3], nullptr);
    ZvDict_SetItemString(dict, "__add__", add);
    ZvObject *cls = make_class("N", {}, dict);
    ZvObject *a = instance(cls), *b = instance(cls);
    for (auto _ : state) {
        ZvObject *v = ZvNumber_Add(a, b);
        benchmark::DoNotOptimize(v);
        Zv_DECREF(v);
    }
}
BENCHMARK(BM_AddInstancesNativeAdd);

} // namespace
