// Classic classes, instances and method objects through the C API: what
// the language-level tests (tests/lang/classic, tests/lang/functions)
// cannot reach: the native constructors and accessors with bad arguments,
// the raw lookup, special methods written in native code (a coercion that
// never settles, comparison methods supplied by __getattr__) and the error
// indicator around a finalizer.
//
// The special methods of the test classes are one native "recorder": each
// logs its name and arguments and returns what the test set for that name
// (an exception class is raised instead), by default the tuple of its name
// and arguments.
#include <string.h>

#include <string>

#include "typetest.h"

namespace {

std::string g_log;
ZvObject *g_results = nullptr;

std::string show(ZvObject *o) { return ZvInstance_Check(o) ? "I" : zv_repr(o); }

ZvObject *recorder(ZvObject *name, ZvObject *args)
{
    int n = ZvTuple_GET_SIZE(args);
    g_log += zv_str(name) + "(";
    for (int i = 1; i < n; i++) g_log += (i > 1 ? "," : "") + show(ZvTuple_GET_ITEM(args, i));
    g_log += ");";
    ZvObject *r = ZvDict_GetItem(g_results, name);
    if (r != nullptr && ZvClass_Check(r)) {
        ZvErr_SetString(r, ZvString_AS_STRING(name));
        return nullptr;
    }
    if (r != nullptr) {
        Zv_INCREF(r);
        return r;
    }
    Owned rest(ZvTuple_GetSlice(args, 1, n));
    Owned head(zv_tuple({name}));
    return ZvSequence_Concat(head, rest);
}

ZvMethodDef recorder_def = {"recorder", recorder, METH_VARARGS, nullptr};

// A recording method for a class body.  It is unbound and has no class
// (any instance may call it), so classes and their methods form no cycle.
ZvObject *rec(const char *name)
{
    Owned n(zv_string(name));
    Owned f(ZvCFunction_New(&recorder_def, n));
    return ZvMethod_New(f, nullptr, nullptr);
}

// A classic class with recording methods and other attributes.
ZvObject *classic(const char *name, std::initializer_list<ZvObject *> bases = {},
                  std::initializer_list<const char *> methods = {}, ZvBody extra = {})
{
    Owned d(ZvDict_New());
    for (const char *m : methods) {
        Owned meth(rec(m));
        ZvDict_SetItemString(d, m, meth);
    }
    for (const auto &[k, v] : extra) ZvDict_SetItemString(d, k, v);
    Owned b(zv_tuple(bases));
    Owned n(zv_string(name));
    return ZvClass_New(b, d, n);
}

void result(const char *name, ZvObject *v) { ZvDict_SetItemString(g_results, name, v); }

// repr of an owned result, or "!message" when it failed.
std::string R(ZvObject *owned)
{
    if (owned == nullptr) return "!" + zv_error_text();
    std::string s = zv_repr(owned);
    Zv_DECREF(owned);
    return s;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.rfind(prefix, 0) == 0;
}

class ClassTest : public ZvTest {
protected:
    void SetUp() override
    {
        g_log.clear();
        g_results = ZvDict_New();
    }
    void TearDown() override
    {
        Zv_CLEAR(g_results);
        ZvTest::TearDown();
    }
};

ZvObject *five(ZvObject *, ZvObject *) { return ZvInt_FromLong(5); }
ZvMethodDef five_def = {"five", five, METH_VARARGS, nullptr};

} // namespace

TEST_F(ClassTest, NativeConstructorsAndAccessors)
{
    Owned one(zv_int(1)), d(ZvDict_New()), n(zv_string("N")), empty(ZvTuple_New(0));
    EXPECT_EQ(R(ZvClass_New(empty, d, one)), "!ZvClass_New: name must be a string");
    EXPECT_EQ(R(ZvClass_New(empty, one, n)), "!ZvClass_New: dict must be a dictionary");
    EXPECT_EQ(R(ZvClass_New(one, d, n)), "!ZvClass_New: bases must be a tuple");
    // A new-style base hands the class statement to its metatype.
    Owned newbase(zv_tuple({ZV_TYPE_OBJ(ZvBaseObject_Type)}));
    Owned T(ZvClass_New(newbase, d, n));
    EXPECT_TRUE(T.get() != nullptr && ZvType_Check(T.get()));
    Owned args(Zv_BuildValue("(sOO)", "X", empty.get(), d.get()));
    Owned X(ZvObject_Call(ZV_TYPE_OBJ(ZvClass_Type), args, nullptr));
    ASSERT_TRUE(X.get() != nullptr && ZvClass_Check(X.get()));
    Owned tup(zv_tuple({one.get(), X.get()}));
    EXPECT_EQ(ZvClass_IsSubclass(X, tup), 1);
    EXPECT_EQ(ZvClass_IsSubclass(X, one), 0);

    // Raw instances: no __init__ runs.
    Owned K(classic("K", {}, {"__init__", "m"}, {{"c", one.get()}}));
    Owned attrs(Zv_BuildValue("{s:i}", "a", 7));
    Owned raw(zv_call(ZV_TYPE_OBJ(ZvInstance_Type), {K.get(), attrs.get()}));
    Owned a(zv_getattr(raw, "a"));
    EXPECT_EQ(zv_intval(a), 7);
    EXPECT_EQ(g_log, "");
    EXPECT_EQ(R(zv_call(ZV_TYPE_OBJ(ZvInstance_Type), {K.get(), one.get()})),
              "!instance() second arg must be dictionary or None");
    EXPECT_EQ(R(ZvInstance_NewRaw(one, nullptr)), "!bad argument to internal function");
    EXPECT_EQ(R(ZvInstance_NewRaw(K, one)), "!bad argument to internal function");

    // The raw lookup does not bind and does not call __getattr__.
    Owned mname(zv_string("m")), cname(zv_string("c")), nope(zv_string("nope"));
    ZvObject *m = _ZvInstance_Lookup(raw, mname);
    ASSERT_TRUE(m != nullptr && ZvMethod_Check(m));
    EXPECT_EQ(ZvMethod_GET_SELF(m), nullptr);
    EXPECT_EQ(_ZvInstance_Lookup(raw, cname), one.get());
    EXPECT_EQ(_ZvInstance_Lookup(raw, nope), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);

    Owned bound(zv_getattr(raw, "m"));
    EXPECT_EQ(ZvMethod_Self(bound), raw.get());
    EXPECT_EQ(ZvMethod_Class(bound), K.get());
    EXPECT_EQ(ZvMethod_Function(bound), ZvMethod_Function(m));
    EXPECT_EQ(ZvMethod_Self(one), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    EXPECT_EQ(R(ZvMethod_New(one, nullptr, nullptr)), "!bad argument to internal function");
}

TEST_F(ClassTest, NativeSpecialMethods)
{
    Owned one(zv_int(1));
    // The coercion slot hands both operands over.
    Owned C(classic("C", {}, {"__coerce__", "__add__"}));
    Owned c(zv_call(C));
    ZvObject *v = c.get(), *w = one.get();
    EXPECT_EQ(ZvNumber_Coerce(&v, &w), 0);
    EXPECT_EQ(zv_repr(v) + zv_repr(w), "'__coerce__'1");
    Zv_DECREF(v);
    Zv_DECREF(w);
    // A coercion that keeps handing the operator back to the other side
    // ends at the recursion limit, not in a native stack overflow.
    Owned swapped(zv_tuple({one.get(), c.get()}));
    result("__coerce__", swapped);
    EXPECT_EQ(R(ZvNumber_Add(c, one)), "!maximum recursion depth exceeded after coercion");
    ZvDict_Clear(g_results);
    g_log.clear();

    // With __getattr__, rich comparisons look their methods up through it.
    Owned f(ZvCFunction_New(&five_def, nullptr));
    Owned G(classic("G", {}, {"__getattr__"}));
    Owned g(zv_call(G));
    result("__getattr__", f);
    EXPECT_EQ(R(ZvObject_RichCompare(g, one, Zv_LT)), "5");
    EXPECT_EQ(R(ZvObject_RichCompare(one, g, Zv_LT)), "5") << "the swapped operator";
    EXPECT_EQ(g_log, "__getattr__('__lt__');__getattr__('__gt__');");

    // A finalizer runs with the pending error put aside; its own error is
    // reported and forgotten.
    Owned E(classic("E", {}, {"__del__"}));
    result("__del__", ZvExc_ValueError);
    ZvObject *e = zv_call(E);
    ZvErr_SetString(ZvExc_KeyError, "pending");
    testing::internal::CaptureStderr();
    Zv_DECREF(e);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(
        out, "Exception exceptions.ValueError: '__del__' in <bound method E.recorder of"))
        << out;
    EXPECT_EQ(zv_error_text(), "pending");
}
