// Classic classes, their instances and method objects, driven through the
// C API: class and instance attributes with their hooks, construction,
// every operator an instance implements through special methods, and the
// binding, calling and comparison of methods.
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

// The text of an int result (-1 results with an error show the message).
std::string I(int r) { return r == -1 && ZvErr_Occurred() ? "!" + zv_error_text() : std::to_string(r); }

bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

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

std::vector<ZvObject *> g_kept;
bool g_resurrect = false;

// A __del__ that stores its instance once (resurrecting it).
ZvObject *keep_self(ZvObject *, ZvObject *args)
{
    g_log += "del;";
    if (g_resurrect) {
        g_resurrect = false;
        ZvObject *self = ZvTuple_GET_ITEM(args, 0);
        Zv_INCREF(self);
        g_kept.push_back(self);
    }
    Zv_RETURN_NONE;
}
ZvMethodDef keep_def = {"__del__", keep_self, METH_VARARGS, nullptr};

} // namespace

TEST_F(ClassTest, ClassesLookNamesUpDepthFirst)
{
    Owned one(zv_int(1)), two(zv_int(2)), three(zv_int(3));
    Owned D(classic("D", {}, {}, {{"x", one.get()}}));
    Owned B(classic("B", {D.get()}));
    Owned C(classic("C", {}, {}, {{"x", two.get()}, {"y", three.get()}}));
    Owned A(classic("A", {B.get(), C.get()}));
    EXPECT_EQ(R(zv_getattr(A, "x")), "1") << "B's base D comes before C";
    EXPECT_EQ(R(zv_getattr(A, "y")), "3");
    EXPECT_EQ(R(zv_getattr(A, "__name__")), "'A'");
    EXPECT_EQ(R(zv_getattr(A, "__doc__")), "None");
    EXPECT_EQ(R(zv_getattr(A, "nope")), "!class A has no attribute 'nope'");
    EXPECT_EQ(R(zv_getattr(A, "__module__")), "!class A has no attribute '__module__'")
        << "no frame runs, so no module is recorded";
    Owned bases(zv_getattr(A, "__bases__"));
    EXPECT_EQ(ZvTuple_GET_SIZE(bases.get()), 2);
    EXPECT_EQ(ZvTuple_GET_ITEM(bases.get(), 0), B.get());

    EXPECT_EQ(ZvClass_IsSubclass(A, D), 1);
    EXPECT_EQ(ZvClass_IsSubclass(D, A), 0);
    Owned tup(zv_tuple({one.get(), C.get()}));
    EXPECT_EQ(ZvClass_IsSubclass(A, tup), 1);
    EXPECT_EQ(ZvObject_IsSubclass(A, C), 1);
    Owned a(zv_call(A));
    EXPECT_EQ(ZvObject_IsInstance(a, D), 1);
    EXPECT_EQ(ZvObject_IsInstance(a, ZV_TYPE_OBJ(ZvInstance_Type)), 1);

    EXPECT_EQ(ZvObject_SetAttrString(A, "z", one), 0);
    EXPECT_EQ(R(zv_getattr(A, "z")), "1");
    EXPECT_EQ(ZvObject_SetAttrString(A, "z", nullptr), 0);
    EXPECT_EQ(I(ZvObject_SetAttrString(A, "z", nullptr)), "!class A has no attribute 'z'");

    EXPECT_EQ(starts_with(zv_repr(A), "<class ?.A at 0x"), true) << zv_repr(A);
    EXPECT_EQ(zv_str(A), "A");
    Owned m(zv_string("mod"));
    ZvObject_SetAttrString(A, "__module__", m);
    EXPECT_EQ(starts_with(zv_repr(A), "<class mod.A at 0x"), true);
    EXPECT_EQ(zv_str(A), "mod.A");
    Owned names(ZvObject_Dir(A));
    EXPECT_EQ(zv_repr(names), "['__doc__', '__module__', 'x', 'y']");
}

TEST_F(ClassTest, ClassSpecialAttributesAreChecked)
{
    Owned one(zv_int(1));
    Owned D(classic("D")), A(classic("A", {D.get()}));
    Owned self_base(zv_tuple({A.get()})), not_class(zv_tuple({one.get()}));
    Owned nul(ZvString_FromStringAndSize("a\0b", 3)), d(ZvDict_New());
    struct Case {
        const char *name;
        ZvObject *value;
        const char *error;
    } cases[] = {
        {"__bases__", self_base, "a __bases__ item causes an inheritance cycle"},
        {"__bases__", one, "__bases__ must be a tuple object"},
        {"__bases__", not_class, "__bases__ items must be classes"},
        {"__bases__", nullptr, "__bases__ must be a tuple object"},
        {"__name__", one, "__name__ must be a string object"},
        {"__name__", nullptr, "__name__ must be a string object"},
        {"__name__", nul, "__name__ must not contain null bytes"},
        {"__dict__", one, "__dict__ must be a dictionary object"},
        {"__dict__", nullptr, "__dict__ must be a dictionary object"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(I(ZvObject_SetAttrString(D, c.name, c.value)), std::string("!") + c.error) << c.name;
    Owned n(zv_string("E"));
    EXPECT_EQ(ZvObject_SetAttrString(D, "__name__", n), 0);
    EXPECT_EQ(zv_str(D), "E");
    EXPECT_EQ(ZvObject_SetAttrString(D, "__dict__", d), 0);
    Owned got(zv_getattr(A, "__dict__"));
    EXPECT_NE(got.get(), d.get());
    Owned dd(zv_getattr(D, "__dict__"));
    EXPECT_EQ(dd.get(), d.get());

    // ZvClass_New checks its arguments; a new-style base hands the class
    // statement to its metatype.
    Owned empty(ZvTuple_New(0));
    EXPECT_EQ(R(ZvClass_New(empty, d, one)), "!ZvClass_New: name must be a string");
    EXPECT_EQ(R(ZvClass_New(empty, one, n)), "!ZvClass_New: dict must be a dictionary");
    EXPECT_EQ(R(ZvClass_New(one, d, n)), "!ZvClass_New: bases must be a tuple");
    Owned newbase(zv_tuple({ZV_TYPE_OBJ(ZvBaseObject_Type)}));
    Owned T(ZvClass_New(newbase, d, n));
    ASSERT_NE(T.get(), nullptr);
    EXPECT_TRUE(ZvType_Check(T.get()));
    Owned args(Zv_BuildValue("(sOO)", "X", empty.get(), d.get()));
    Owned X(ZvObject_Call(ZV_TYPE_OBJ(ZvClass_Type), args, nullptr));
    EXPECT_TRUE(X.get() != nullptr && ZvClass_Check(X.get()));
}

TEST_F(ClassTest, InstancesAreBuiltAndInitialized)
{
    Owned K(classic("K")), In(classic("In", {}, {"__init__"}));
    Owned one(zv_int(1)), two(zv_int(2));
    Owned k(zv_call(K));
    ASSERT_TRUE(ZvInstance_Check(k.get()));
    EXPECT_EQ(R(zv_call(K, {one.get()})), "!this constructor takes no arguments");
    Owned kw(Zv_BuildValue("{s:i}", "a", 1));
    EXPECT_EQ(R(zv_call(K, {}, kw)), "!this constructor takes no arguments");

    Owned ok(zv_call(In, {one.get(), two.get()}));
    EXPECT_EQ(g_log, "__init__(1,2);");
    result("__init__", one);
    EXPECT_EQ(R(zv_call(In)), "!__init__() should return None");
    result("__init__", ZvExc_KeyError);
    EXPECT_EQ(R(zv_call(In)), "!__init__");

    // The instance type's own constructor makes raw instances.
    Owned d(Zv_BuildValue("{s:i}", "a", 7));
    Owned raw(zv_call(ZV_TYPE_OBJ(ZvInstance_Type), {In.get(), d.get()}));
    EXPECT_EQ(R(zv_getattr(raw, "a")), "7");
    Owned rawclass(zv_getattr(raw, "__class__"));
    EXPECT_EQ(rawclass.get(), In.get());
    EXPECT_EQ(R(zv_call(ZV_TYPE_OBJ(ZvInstance_Type), {In.get(), one.get()})),
              "!instance() second arg must be dictionary or None");
    EXPECT_EQ(R(ZvInstance_NewRaw(one, nullptr)), "!bad argument to internal function");
    EXPECT_EQ(R(ZvInstance_NewRaw(In, one)), "!bad argument to internal function");
}

TEST_F(ClassTest, InstanceAttributes)
{
    Owned one(zv_int(1));
    Owned K(classic("K", {}, {"m"}, {{"c", one.get()}})), C(classic("C"));
    Owned k(zv_call(K));
    EXPECT_EQ(R(zv_getattr(k, "x")), "!K instance has no attribute 'x'");
    EXPECT_EQ(R(zv_getattr(k, "c")), "1");
    EXPECT_EQ(ZvObject_SetAttrString(k, "x", one), 0);
    EXPECT_EQ(R(zv_getattr(k, "x")), "1");
    Owned d(zv_getattr(k, "__dict__"));
    EXPECT_EQ(zv_repr(d), "{'x': 1}");
    EXPECT_EQ(ZvObject_SetAttrString(k, "x", nullptr), 0);
    EXPECT_EQ(I(ZvObject_SetAttrString(k, "x", nullptr)), "!K instance has no attribute 'x'");

    // Methods found in the class are bound; the raw lookup does not bind.
    Owned m(zv_getattr(k, "m"));
    EXPECT_EQ(ZvMethod_GET_SELF(m.get()), k.get());
    EXPECT_EQ(R(zv_call(m, {one.get()})), "('m', 1)");
    Owned mname(zv_string("m")), cname(zv_string("c"));
    ZvObject *raw = _ZvInstance_Lookup(k, mname);
    ASSERT_TRUE(raw != nullptr && ZvMethod_Check(raw));
    EXPECT_EQ(ZvMethod_GET_SELF(raw), nullptr);
    EXPECT_EQ(_ZvInstance_Lookup(k, cname), one.get());

    EXPECT_EQ(I(ZvObject_SetAttrString(k, "__dict__", one)), "!__dict__ must be set to a dictionary");
    EXPECT_EQ(I(ZvObject_SetAttrString(k, "__class__", one)), "!__class__ must be set to a class");
    EXPECT_EQ(I(ZvObject_SetAttrString(k, "__class__", nullptr)), "!__class__ must be set to a class");
    EXPECT_EQ(ZvObject_SetAttrString(k, "__class__", C), 0);
    EXPECT_EQ(R(zv_getattr(k, "c")), "!C instance has no attribute 'c'");
    Owned nd(Zv_BuildValue("{s:i}", "y", 2));
    EXPECT_EQ(ZvObject_SetAttrString(k, "__dict__", nd), 0);
    EXPECT_EQ(R(zv_getattr(k, "y")), "2");
}

TEST_F(ClassTest, AttributeHooksAreCachedAndFoundAgain)
{
    Owned one(zv_int(1));
    Owned G(classic("G", {}, {"__getattr__", "__setattr__", "__delattr__"}));
    Owned g(zv_call(G));
    EXPECT_EQ(R(zv_getattr(g, "foo")), "('__getattr__', 'foo')");
    EXPECT_EQ(ZvObject_SetAttrString(g, "x", one), 0);
    EXPECT_EQ(ZvObject_SetAttrString(g, "x", nullptr), 0);
    EXPECT_EQ(g_log, "__getattr__('foo');__setattr__('x',1);__delattr__('x');");
    Owned d(zv_getattr(g, "__dict__"));
    EXPECT_EQ(zv_repr(d), "{}") << "the hooks decide where values go";
    ZvDict_SetItemString(d, "y", one);
    g_log.clear();
    EXPECT_EQ(R(zv_getattr(g, "y")), "1");
    EXPECT_EQ(g_log, "") << "__getattr__ only sees names not found otherwise";
    result("__getattr__", ZvExc_KeyError);
    EXPECT_EQ(R(zv_getattr(g, "z")), "!__getattr__") << "its own errors propagate";

    // A subclass's own hook hides the base's; deleting it uncovers it.
    Owned own(rec("own_getattr"));
    Owned S(classic("S", {G.get()}, {}, {{"__getattr__", own.get()}}));
    Owned s(zv_call(S));
    g_log.clear();
    Owned r1(zv_getattr(s, "a"));
    ASSERT_EQ(ZvObject_SetAttrString(S, "__getattr__", nullptr), 0);
    ZvDict_Clear(g_results);
    Owned r2(zv_getattr(s, "b"));
    EXPECT_EQ(g_log, "own_getattr('a');__getattr__('b');");

    // Replacing the dictionary or the bases finds the hooks again.
    Owned empty(ZvDict_New()), nobases(ZvTuple_New(0));
    ASSERT_EQ(ZvObject_SetAttrString(S, "__bases__", nobases), 0);
    EXPECT_EQ(R(zv_getattr(s, "c")), "!S instance has no attribute 'c'");
    ASSERT_EQ(ZvObject_SetAttrString(G, "__dict__", empty), 0);
    EXPECT_EQ(ZvObject_SetAttrString(g, "x", one), 0);
    EXPECT_EQ(R(zv_getattr(g, "x")), "1");
}

TEST_F(ClassTest, RepresentationHashAndTruth)
{
    Owned P(classic("P"));
    Owned p(zv_call(P));
    EXPECT_TRUE(starts_with(zv_repr(p), "<?.P instance at 0x")) << zv_repr(p);
    EXPECT_EQ(zv_str(p), zv_repr(p));
    Owned m(zv_string("m"));
    ZvObject_SetAttrString(P, "__module__", m);
    EXPECT_TRUE(starts_with(zv_repr(p), "<m.P instance at 0x"));
    EXPECT_EQ(ZvObject_Hash(p), _Zv_HashPointer(p.get())) << "no __eq__, __cmp__, __hash__";
    EXPECT_EQ(ZvObject_IsTrue(p), 1);

    Owned S(classic("S", {}, {"__repr__", "__hash__", "__nonzero__", "__len__"}));
    Owned s(zv_call(S));
    Owned text(zv_string("r")), seven(zv_int(7)), minus(zv_int(-1)), zero(zv_int(0));
    result("__repr__", text);
    EXPECT_EQ(zv_repr(s), "r");
    EXPECT_EQ(zv_str(s), "r") << "str falls back to __repr__";
    result("__repr__", seven);
    EXPECT_EQ(R(ZvObject_Repr(s)), "!__repr__ returned non-string (type int)");

    struct {
        ZvObject *hash;
        const char *expect;
    } hashes[] = {{seven, "7"}, {minus, "-2"}, {text, "!__hash__() should return an int"}};
    for (const auto &h : hashes) {
        result("__hash__", h.hash);
        EXPECT_EQ(I(ZvObject_Hash(s)), h.expect);
    }
    for (const char *eq : {"__eq__", "__cmp__"}) {
        Owned U(classic("U", {}, {eq}));
        Owned u(zv_call(U));
        EXPECT_EQ(I(ZvObject_Hash(u)), "!unhashable instance") << eq;
    }

    struct {
        const char *method;
        ZvObject *value;
        const char *expect;
    } truths[] = {
        {"__nonzero__", zero, "0"},
        {"__nonzero__", seven, "1"},
        {"__nonzero__", minus, "!__nonzero__ should return >= 0"},
        {"__nonzero__", text, "!__nonzero__ should return an int"},
        {"__len__", zero, "0"},
        {"__len__", text, "!__nonzero__ should return an int"},
    };
    for (const auto &t : truths) {
        Owned T(classic("T", {}, {t.method}));
        Owned x(zv_call(T));
        result(t.method, t.value);
        EXPECT_EQ(I(ZvObject_IsTrue(x)), t.expect) << t.method << " " << zv_repr(t.value);
    }
}

TEST_F(ClassTest, LengthItemsAndSlices)
{
    Owned one(zv_int(1)), three(zv_int(3)), minus(zv_int(-1)), text(zv_string("x"));
    Owned S(classic("S", {}, {"__len__", "__getitem__", "__setitem__", "__delitem__"}));
    Owned s(zv_call(S));
    result("__len__", three);
    EXPECT_EQ(ZvObject_Size(s), 3);
    result("__len__", minus);
    EXPECT_EQ(I(ZvObject_Size(s)), "!__len__() should return >= 0");
    result("__len__", text);
    EXPECT_EQ(I(ZvObject_Size(s)), "!__len__() should return an int");
    Owned P(classic("P"));
    Owned p(zv_call(P));
    EXPECT_EQ(I(ZvObject_Size(p)), "!P instance has no attribute '__len__'");
    EXPECT_EQ(ZvSequence_Check(p), 0);
    EXPECT_EQ(ZvSequence_Check(s), 1);
    EXPECT_EQ(ZvMapping_Check(s), 1);

    result("__len__", three);
    g_log.clear();
    EXPECT_EQ(R(ZvObject_GetItem(s, text)), "('__getitem__', 'x')");
    EXPECT_EQ(ZvObject_SetItem(s, text, one), 0);
    EXPECT_EQ(ZvObject_DelItem(s, text), 0);
    EXPECT_EQ(R(ZvSequence_GetItem(s, -1)), "('__getitem__', 2)") << "the length is added once";
    EXPECT_EQ(ZvSequence_SetItem(s, 0, one), 0);
    EXPECT_EQ(ZvSequence_DelItem(s, 0), 0);
    // Without the slice methods, slices go to the item methods.
    EXPECT_EQ(R(ZvSequence_GetSlice(s, 1, 2)), "('__getitem__', slice(1, 2, None))");
    EXPECT_EQ(ZvSequence_SetSlice(s, 1, 2, one), 0);
    EXPECT_EQ(ZvSequence_DelSlice(s, -1, 2), 0);
    EXPECT_EQ(g_log,
              "__getitem__('x');__setitem__('x',1);__delitem__('x');__len__();__getitem__(2);"
              "__setitem__(0,1);__delitem__(0);__getitem__(slice(1, 2, None));"
              "__setitem__(slice(1, 2, None),1);__len__();__delitem__(slice(2, 2, None));");

    Owned L(classic("L", {}, {"__getslice__", "__setslice__", "__delslice__"}));
    Owned l(zv_call(L));
    g_log.clear();
    EXPECT_EQ(R(ZvSequence_GetSlice(l, 1, 2)), "('__getslice__', 1, 2)");
    EXPECT_EQ(ZvSequence_SetSlice(l, 1, 2, one), 0);
    EXPECT_EQ(ZvSequence_DelSlice(l, 1, 2), 0);
    EXPECT_EQ(g_log, "__getslice__(1,2);__setslice__(1,2,1);__delslice__(1,2);");
    EXPECT_EQ(R(ZvObject_GetItem(p, one)), "!P instance has no attribute '__getitem__'");
}

TEST_F(ClassTest, ContainmentAndIteration)
{
    Owned one(zv_int(1)), two(zv_int(2)), five(zv_int(5));
    Owned C(classic("C", {}, {"__contains__"}));
    Owned c(zv_call(C));
    Owned zero(zv_int(0));
    result("__contains__", zero);
    EXPECT_EQ(ZvSequence_Contains(c, one), 0);
    result("__contains__", one);
    EXPECT_EQ(ZvSequence_Contains(c, one), 1);

    // Without __contains__: iteration through __iter__ (or __getitem__).
    Owned It(classic("It", {}, {"__iter__"}));
    Owned it(zv_call(It));
    Owned list(Zv_BuildValue("[ii]", 1, 2));
    Owned li(ZvObject_GetIter(list));
    result("__iter__", li);
    EXPECT_EQ(ZvSequence_Contains(it, two), 1);
    result("__iter__", five);
    EXPECT_EQ(R(ZvObject_GetIter(it)), "!__iter__ returned non-iterator of type 'int'");

    Owned G(classic("G", {}, {"__getitem__"}));
    Owned g(zv_call(G));
    result("__getitem__", ZvExc_IndexError);
    Owned seqit(ZvObject_GetIter(g));
    ASSERT_NE(seqit.get(), nullptr);
    EXPECT_EQ(ZvIter_Next(seqit), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr) << "IndexError ends a sequence iteration";
    Owned P(classic("P"));
    Owned p(zv_call(P));
    EXPECT_EQ(R(ZvObject_GetIter(p)), "!iteration over non-sequence");
    EXPECT_EQ(I(ZvSequence_Contains(p, one)), "!iterable argument required");

    Owned N(classic("N", {}, {"next"}));
    Owned n(zv_call(N));
    EXPECT_EQ(R(ZvIter_Next(n)), "('next',)");
    result("next", ZvExc_StopIteration);
    EXPECT_EQ(ZvIter_Next(n), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    result("next", ZvExc_ValueError);
    EXPECT_EQ(R(ZvIter_Next(n)), "!next");
    EXPECT_EQ(R(ZvIter_Next(p)), "!instance has no next() method");
}

TEST_F(ClassTest, CallsAndUnaryOperators)
{
    Owned one(zv_int(1));
    Owned K(classic("K", {}, {"__call__", "__neg__", "__pos__", "__abs__", "__invert__", "__int__",
                              "__long__", "__float__", "__oct__", "__hex__"}));
    Owned k(zv_call(K));
    EXPECT_EQ(ZvCallable_Check(k), 1);
    Owned kw(Zv_BuildValue("{}"));
    EXPECT_EQ(R(zv_call(k, {one.get()}, kw)), "('__call__', 1)");
    Owned P(classic("P"));
    Owned p(zv_call(P));
    EXPECT_EQ(ZvCallable_Check(p), 0);
    EXPECT_EQ(R(zv_call(p)), "!P instance has no __call__ method");
    // An instance that is its own __call__ recurses until the guard stops it.
    ZvObject_SetAttrString(p, "__call__", p);
    EXPECT_EQ(ZvCallable_Check(p), 1);
    EXPECT_EQ(R(zv_call(p)), "!maximum recursion depth exceeded in __call__");
    ZvObject_SetAttrString(p, "__call__", nullptr); // breaks the cycle

    EXPECT_EQ(R(ZvNumber_Negative(k)), "('__neg__',)");
    EXPECT_EQ(R(ZvNumber_Positive(k)), "('__pos__',)");
    EXPECT_EQ(R(ZvNumber_Absolute(k)), "('__abs__',)");
    EXPECT_EQ(R(ZvNumber_Invert(k)), "('__invert__',)");
    result("__int__", one);
    result("__long__", one);
    EXPECT_EQ(R(ZvNumber_Int(k)), "1");
    EXPECT_EQ(R(ZvNumber_Long(k)), "1");
    EXPECT_EQ(R(ZvNumber_Negative(p)), "!P instance has no attribute '__neg__'");
}

TEST_F(ClassTest, BinaryOperatorsTryBothSidesAfterCoercion)
{
    Owned one(zv_int(1)), two(zv_int(2)), text(zv_string("x"));
    Owned A(classic("A", {}, {"__add__", "__sub__", "__divmod__", "__pow__"}));
    Owned B(classic("B", {}, {"__radd__", "__iadd__", "__rsub__"}));
    Owned a(zv_call(A)), b(zv_call(B));
    EXPECT_EQ(R(ZvNumber_Add(a, one)), "('__add__', 1)");
    EXPECT_EQ(R(ZvNumber_Add(one, b)), "('__radd__', 1)");
    g_log.clear();
    Owned r0(ZvNumber_Add(a, b));
    Owned r1(ZvNumber_Subtract(b, a)); // b has no __sub__, a no __rsub__
    EXPECT_EQ(r1.get(), nullptr);
    EXPECT_EQ(zv_error_text(), "unsupported operand type(s) for -: 'instance' and 'instance'");
    Owned r2(ZvNumber_Subtract(a, b));
    EXPECT_EQ(g_log, "__add__(I);__sub__(I);");
    EXPECT_EQ(R(ZvNumber_Divmod(a, two)), "('__divmod__', 2)");
    EXPECT_EQ(R(ZvNumber_Power(a, two, Zv_None)), "('__pow__', 2)");
    EXPECT_EQ(R(ZvNumber_Power(a, two, one)), "('__pow__', 2, 1)") << "three arguments: no coercion";
    EXPECT_EQ(R(ZvNumber_Multiply(a, one)),
              "!unsupported operand type(s) for *: 'instance' and 'int'");

    // In place: the in-place method, else the binary rule.
    EXPECT_EQ(R(ZvNumber_InPlaceAdd(b, one)), "('__iadd__', 1)");
    EXPECT_EQ(R(ZvNumber_InPlaceAdd(a, one)), "('__add__', 1)");
    EXPECT_EQ(R(ZvNumber_InPlaceAdd(one, b)), "('__radd__', 1)");
    result("__iadd__", Zv_NotImplemented);
    EXPECT_EQ(R(ZvNumber_InPlaceAdd(b, one)),
              "!unsupported operand type(s) for +=: 'instance' and 'int'");
    EXPECT_EQ(R(ZvNumber_InPlacePower(a, two, Zv_None)), "('__pow__', 2)");

    // __coerce__: (self, other) keeps the method call; a non-instance
    // pair is handed back to the operator.
    Owned C(classic("C", {}, {"__coerce__", "__add__"}));
    Owned c(zv_call(C));
    Owned self_pair(zv_tuple({c.get(), one.get()})), plain(zv_tuple({two.get(), one.get()}));
    result("__coerce__", self_pair);
    EXPECT_EQ(R(ZvNumber_Add(c, one)), "('__add__', 1)");
    result("__coerce__", plain);
    EXPECT_EQ(R(ZvNumber_Add(c, one)), "3");
    EXPECT_EQ(R(ZvNumber_Add(one, c)), "3") << "(2, 1) applied in the operands' order: 2 + 1";
    result("__coerce__", Zv_None);
    EXPECT_EQ(R(ZvNumber_Add(c, one)), "('__add__', 1)");
    result("__coerce__", text);
    EXPECT_EQ(R(ZvNumber_Add(c, one)), "!coercion should return None or 2-tuple");
    ZvDict_DelItemString(g_results, "__coerce__");
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
}

TEST_F(ClassTest, ComparisonsUseCmpAndRichMethods)
{
    Owned one(zv_int(1)), minus(zv_int(-5)), text(zv_string("x"));
    Owned C(classic("C", {}, {"__cmp__"}));
    Owned c(zv_call(C)), d(zv_call(C));
    result("__cmp__", minus);
    EXPECT_EQ(ZvObject_Compare(c, one), -1);
    EXPECT_EQ(ZvObject_Compare(one, c), 1) << "the right operand's __cmp__, negated";
    EXPECT_EQ(ZvObject_RichCompareBool(c, d, Zv_LT), 1);
    result("__cmp__", text);
    EXPECT_EQ(I(ZvObject_Compare(c, one)), "!comparison did not return an int");
    result("__cmp__", Zv_NotImplemented);
    int c_vs_d = ZvObject_Compare(c, d);
    EXPECT_EQ(c_vs_d, c.get() < d.get() ? -1 : 1) << "declined: the default order";

    Owned E(classic("E", {}, {"__eq__", "__lt__", "__gt__"}));
    Owned e(zv_call(E));
    g_log.clear();
    EXPECT_EQ(R(ZvObject_RichCompare(e, one, Zv_EQ)), "('__eq__', 1)");
    EXPECT_EQ(R(ZvObject_RichCompare(one, e, Zv_EQ)), "('__eq__', 1)");
    EXPECT_EQ(R(ZvObject_RichCompare(one, e, Zv_LT)), "('__gt__', 1)") << "swapped";
    EXPECT_EQ(R(ZvObject_RichCompare(e, one, Zv_LT)), "('__lt__', 1)");
    // No rich method on either side: the three-way rules decide.
    EXPECT_EQ(R(ZvObject_RichCompare(e, Zv_None, Zv_GE)), "True") << "None sorts first";

    // With __getattr__, the operators look their methods up through it.
    Owned f(ZvCFunction_New(&five_def, nullptr));
    Owned G(classic("G", {}, {"__getattr__"}));
    g_log.clear();
    Owned g(zv_call(G));
    result("__getattr__", f);
    EXPECT_EQ(R(ZvObject_RichCompare(g, one, Zv_LT)), "5");
    EXPECT_EQ(ZvObject_Size(g), 5) << "len() asks __getattr__ for __len__";
    EXPECT_EQ(g_log, "__getattr__('__lt__');__getattr__('__len__');");
}

TEST_F(ClassTest, FinalizersRunAndMayResurrect)
{
    Owned one(zv_int(1));
    Owned del(ZvCFunction_New(&keep_def, nullptr));
    Owned delm(ZvMethod_New(del, nullptr, nullptr));
    Owned D(classic("D", {}, {}, {{"__del__", delm.get()}}));
    ZvObject *d = zv_call(D);
    // The pending error survives the finalizer.
    ZvErr_SetString(ZvExc_KeyError, "pending");
    Zv_DECREF(d);
    EXPECT_EQ(g_log, "del;");
    EXPECT_EQ(zv_error_text(), "pending");

    g_resurrect = true;
    d = zv_call(D);
    ZvObject_SetAttrString(d, "x", one);
    Zv_DECREF(d);
    ASSERT_EQ(g_kept.size(), 1u);
    EXPECT_EQ(g_kept[0], d);
    EXPECT_EQ(Zv_REFCNT(d), 1);
    EXPECT_EQ(R(zv_getattr(d, "x")), "1") << "resurrected whole";
    Zv_DECREF(g_kept[0]);
    g_kept.clear();
    EXPECT_EQ(g_log, "del;del;del;");

    // A failing finalizer is reported and forgotten.
    Owned E(classic("E", {}, {"__del__"}));
    result("__del__", ZvExc_ValueError);
    testing::internal::CaptureStderr();
    Zv_DECREF(zv_call(E));
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(
        out, "Exception exceptions.ValueError: '__del__' in <bound method E.recorder of"))
        << out;
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
}

TEST_F(ClassTest, MethodsBindCallAndCompare)
{
    Owned one(zv_int(1));
    Owned name(zv_string("f"));
    Owned func(ZvCFunction_New(&recorder_def, name));
    Owned K(classic("K")), L(classic("L"));
    Owned S(classic("S", {K.get()}));
    Owned unbound(ZvMethod_New(func, nullptr, K));
    ZvObject_SetAttrString(L, "m", unbound);
    ZvObject_SetAttrString(S, "m", unbound);
    Owned k(zv_call(K)), s(zv_call(S));

    EXPECT_EQ(zv_repr(unbound), "<unbound method K.recorder>");
    Owned bound(ZvMethod_New(func, k, K));
    EXPECT_TRUE(starts_with(zv_repr(bound), "<bound method K.recorder of <?.K instance at 0x"));
    EXPECT_EQ(R(zv_call(bound, {one.get()})), "('f', 1)");
    EXPECT_EQ(R(zv_call(unbound, {k.get(), one.get()})), "('f', 1)");
    std::string nothing = R(zv_call(unbound));
    EXPECT_NE(nothing.find("must be called with K instance as first argument (got nothing instead)"),
              std::string::npos)
        << nothing;
    std::string wrong = R(zv_call(unbound, {one.get()}));
    EXPECT_NE(wrong.find("must be called with K instance as first argument (got int instance instead)"),
              std::string::npos)
        << wrong;
    EXPECT_EQ(R(zv_call(unbound, {s.get()})), "('f',)") << "a subclass instance is fine";

    // Fetched through an unrelated class it stays as it is; through a
    // subclass or an instance it is bound anew.
    Owned via_l(zv_getattr(L, "m"));
    EXPECT_EQ(via_l.get(), unbound.get());
    Owned via_s(zv_getattr(S, "m"));
    EXPECT_NE(via_s.get(), unbound.get());
    EXPECT_EQ(ZvMethod_GET_CLASS(via_s.get()), S.get());
    Owned via_inst(zv_getattr(s, "m"));
    EXPECT_EQ(ZvMethod_GET_SELF(via_inst.get()), s.get());
    ZvObject_SetAttrString(L, "m", nullptr);
    ZvObject_SetAttrString(S, "m", nullptr);

    // Attributes: the method's own, then the function's.
    EXPECT_EQ(R(zv_getattr(bound, "__name__")), "'recorder'");
    EXPECT_EQ(R(zv_getattr(bound, "__doc__")), "None");
    Owned got_self(zv_getattr(bound, "im_self"));
    EXPECT_EQ(got_self.get(), k.get());
    EXPECT_EQ(R(zv_getattr(unbound, "im_self")), "None");
    EXPECT_EQ(R(zv_getattr(bound, "nope")),
              "!'builtin_function_or_method' object has no attribute 'nope'");

    // Equal when bound to the same object and function; hash agrees.
    Owned bound2(ZvMethod_New(func, k, K)), other(ZvMethod_New(func, s, K));
    EXPECT_EQ(ZvObject_Compare(bound, bound2), 0);
    EXPECT_EQ(ZvObject_Hash(bound), ZvObject_Hash(bound2));
    EXPECT_NE(ZvObject_Compare(bound, other), 0);
    EXPECT_EQ(ZvMethod_Function(bound), func.get());
    EXPECT_EQ(ZvMethod_Self(bound), k.get());
    EXPECT_EQ(ZvMethod_Class(bound), K.get());
    EXPECT_EQ(ZvMethod_Self(one), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");

    // The type's constructor.
    ZvObject *mt = ZV_TYPE_OBJ(ZvMethod_Type);
    EXPECT_EQ(R(zv_call(mt, {one.get(), k.get()})), "!first argument must be callable");
    EXPECT_EQ(R(zv_call(mt, {func.get(), Zv_None})), "!unbound methods must have non-NULL im_class");
    EXPECT_EQ(R(zv_call(mt, {func.get(), Zv_None, K.get()})), "<unbound method K.recorder>");
    Owned on_int(zv_call(mt, {func.get(), one.get()}));
    EXPECT_EQ(R(zv_call(on_int)), "('f',)") << "bound to any object";
}

TEST_F(ClassTest, NewStyleClassesMayHaveClassicBases)
{
    Owned one(zv_int(1)), two(zv_int(2));
    Owned D(classic("D", {}, {"m"}, {{"x", one.get()}, {"y", one.get()}}));
    Owned C(classic("C", {D.get()}, {}, {{"y", two.get()}}));
    Owned B(classic("B", {D.get()}));
    // The classic order of C is C, D; the merge puts object last.
    Owned T(ZvClass_New(Owned(zv_tuple({C.get(), B.get(), ZV_TYPE_OBJ(ZvBaseObject_Type)})),
                        Owned(ZvDict_New()), Owned(zv_string("T"))));
    ASSERT_NE(T.get(), nullptr) << zv_error_text();
    EXPECT_TRUE(ZvType_Check(T.get()));
    Owned mro(zv_getattr(T, "__mro__"));
    ASSERT_EQ(ZvTuple_GET_SIZE(mro.get()), 5);
    EXPECT_EQ(ZvTuple_GET_ITEM(mro.get(), 1), C.get());
    EXPECT_EQ(ZvTuple_GET_ITEM(mro.get(), 2), B.get());
    EXPECT_EQ(ZvTuple_GET_ITEM(mro.get(), 3), D.get());
    EXPECT_EQ(R(zv_getattr(T, "y")), "2") << "found in a classic base's dictionary";
    Owned t(zv_call(T));
    EXPECT_EQ(R(zv_getattr(t, "x")), "1");
    EXPECT_EQ(R(zv_callattr(t, "m", {two.get()})), "('m', 2)") << "its methods bind";
    EXPECT_EQ(ZvObject_SetAttrString(t, "z", one), 0) << "instances get a dictionary";
    EXPECT_EQ(ZvObject_IsInstance(t, D), 1);
    EXPECT_EQ(ZvObject_IsSubclass(T, D), 1);

    // Only classic bases: not a new-style class.
    EXPECT_EQ(R(zv_class("U", {C.get()})), "!a new-style class can't have only classic bases");
    // Reassigning __bases__ may name classic classes too.
    Owned V(zv_class("V", {ZV_TYPE_OBJ(ZvBaseObject_Type)}));
    Owned newbases(zv_tuple({B.get(), ZV_TYPE_OBJ(ZvBaseObject_Type)}));
    EXPECT_EQ(ZvObject_SetAttrString(V, "__bases__", newbases), 0) << zv_error_text();
    EXPECT_EQ(R(zv_getattr(V, "y")), "1");
}
