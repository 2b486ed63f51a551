// The generic object protocol: singletons, repr, comparison, hashing,
// truth and the error indicator.
#include "typetest.h"

using ObjectTest = ZvTest;

TEST_F(ObjectTest, SingletonsReprAndTruth)
{
    EXPECT_EQ(zv_repr(Zv_None), "None");
    EXPECT_EQ(zv_repr(Zv_NotImplemented), "NotImplemented");
    EXPECT_EQ(ZvObject_IsTrue(Zv_None), 0);
    EXPECT_EQ(ZvObject_IsTrue(Zv_True), 1);
    EXPECT_EQ(ZvObject_Not(Zv_False), 1);
    EXPECT_EQ(zv_repr(nullptr), "<NULL>");
}

TEST_F(ObjectTest, IdentityImpliesEquality)
{
    Owned s(ZvString_FromString("abc"));
    EXPECT_EQ(ZvObject_Compare(s, s), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(s, s, Zv_EQ), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(s, s, Zv_NE), 0);
}

TEST_F(ObjectTest, DefaultOrderingPutsNoneFirstAndNumbersBeforeOtherTypes)
{
    Owned i(ZvInt_FromLong(-7));
    Owned s(ZvString_FromString(""));
    EXPECT_EQ(ZvObject_Compare(Zv_None, i), -1);
    EXPECT_EQ(ZvObject_Compare(i, Zv_None), 1);
    EXPECT_EQ(ZvObject_Compare(i, s), -1);
    EXPECT_EQ(ZvObject_Compare(s, i), 1);
}

TEST_F(ObjectTest, UnhashableAndAddressHashing)
{
    Owned d(ZvDict_New());
    EXPECT_EQ(ZvObject_Hash(d), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvObject_Hash(Zv_None), _Zv_HashPointer(Zv_None));
}

TEST_F(ObjectTest, ErrorIndicatorMatchesBaseClassesAndNestedTuples)
{
    Owned inner(ZvTuple_Pack(2, ZvExc_IndexError, ZvExc_LookupError));
    Owned outer(ZvTuple_Pack(2, ZvExc_ValueError, inner.get()));
    EXPECT_EQ(ZvErr_GivenExceptionMatches(ZvExc_KeyError, outer), 1);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(ZvExc_TypeError, outer), 0);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(nullptr, ZvExc_TypeError), 0);

    ZvErr_SetString(ZvExc_KeyError, "k");
    EXPECT_NE(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(zv_error_text(), "k");
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
}

TEST_F(ObjectTest, StringExceptionsMatchOnlyTheSameObject)
{
    Owned a(ZvString_FromString("oops-not-interned-1"));
    Owned b(ZvString_FromString("oops-not-interned-1"));
    EXPECT_EQ(ZvErr_GivenExceptionMatches(a, a), 1);
    EXPECT_EQ(ZvErr_GivenExceptionMatches(a, b), 0);
}

TEST_F(ObjectTest, RecursionLimitRaisesRuntimeError)
{
    int old = Zv_GetRecursionLimit();
    Zv_SetRecursionLimit(5);
    int entered = 0;
    while (!Zv_EnterRecursiveCall(" in test")) entered++;
    EXPECT_EQ(entered, 5);
    EXPECT_EQ(zv_error_text(), "maximum recursion depth exceeded in test");
    for (int k = 0; k < entered; k++) Zv_LeaveRecursiveCall();
    Zv_SetRecursionLimit(old);
}

// --- test types --------------------------------------------------------------
//
// Small static types built here so that each comparison and attribute rule
// can be exercised in isolation.

namespace {

// A plain object with an optional instance dictionary and an int payload.
struct TestObj {
    ZvObject_HEAD
    ZvObject *dict;
    int value;
};

void testobj_dealloc(ZvObject *self)
{
    Zv_XDECREF(((TestObj *)self)->dict);
    ZvObject_Free(self);
}

ZvTypeObject make_type(const char *name)
{
    ZvTypeObject t{};
    t.ob_refcnt = 1;
    t.ob_type = &ZvType_Type;
    t.tp_name = name;
    t.tp_basicsize = sizeof(TestObj);
    t.tp_dealloc = testobj_dealloc;
    t.tp_flags = Zv_TPFLAGS_DEFAULT;
    return t;
}

ZvObject *new_obj(ZvTypeObject *tp, int value = 0)
{
    auto *o = (TestObj *)_ZvObject_New(tp);
    o->dict = nullptr;
    o->value = value;
    return (ZvObject *)o;
}

int rich_calls = 0;
ZvObject *always_false_rich(ZvObject *, ZvObject *, int)
{
    rich_calls++;
    ZvObject *result = Zv_False;
    Zv_INCREF(result);
    return result;
}

int weird_compare_result = 0;
bool weird_compare_sets_error = false;
int weird_compare(ZvObject *, ZvObject *)
{
    if (weird_compare_sets_error) ZvErr_SetString(ZvExc_ValueError, "compare failed");
    return weird_compare_result;
}

ZvObject *value_as_int(ZvObject *self) { return ZvInt_FromLong(((TestObj *)self)->value); }

// Coerces itself and an int to two ints (the other operand must be an int).
int coerce_to_int(ZvObject **self, ZvObject **other)
{
    if (!ZvInt_Check(*other)) return 1;
    *self = ZvInt_FromLong(((TestObj *)*self)->value);
    Zv_INCREF(*other);
    return 0;
}

ZvNumberMethods numberlike_methods = [] {
    ZvNumberMethods m{};
    m.nb_int = value_as_int;
    return m;
}();
ZvNumberMethods coercible_methods = [] {
    ZvNumberMethods m{};
    m.nb_coerce = coerce_to_int;
    return m;
}();

ZvTypeObject AlwaysFalse_Type = [] {
    ZvTypeObject t = make_type("test.AlwaysFalse");
    t.tp_richcompare = always_false_rich;
    return t;
}();
ZvTypeObject Plain_Type = make_type("test.Plain");
ZvTypeObject Other_Type = make_type("test.Other");
ZvTypeObject Zzz_Number_Type = [] {
    ZvTypeObject t = make_type("zzz.number");
    t.tp_as_number = &numberlike_methods;
    return t;
}();
ZvTypeObject Weird_Type = [] {
    ZvTypeObject t = make_type("test.Weird");
    t.tp_compare = weird_compare;
    return t;
}();
ZvTypeObject Coercible_Type = [] {
    ZvTypeObject t = make_type("test.Coercible");
    t.tp_as_number = &coercible_methods;
    return t;
}();

} // namespace

TEST_F(ObjectTest, IdentityShortCutsSkipTheSlotsOnlyWhereAllowed)
{
    Owned a(new_obj(&AlwaysFalse_Type));
    rich_calls = 0;
    EXPECT_EQ(ZvObject_Compare(a, a), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(a, a, Zv_EQ), 1);
    EXPECT_EQ(rich_calls, 0);
    Owned r(ZvObject_RichCompare(a, a, Zv_EQ));
    EXPECT_EQ(r.get(), Zv_False) << "RichCompare itself asks the slot";
    EXPECT_EQ(rich_calls, 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, a, Zv_LT), 0) << "only EQ/NE are short-cut";
}

TEST_F(ObjectTest, DefaultOrderingByAddressTypeNameNumbersAndNone)
{
    Owned p1(new_obj(&Plain_Type)), p2(new_obj(&Plain_Type));
    int c = ZvObject_Compare(p1, p2);
    EXPECT_EQ(c, p1.get() < p2.get() ? -1 : 1) << "same type: by address, never equal";
    Owned eq(ZvObject_RichCompare(p1, p2, Zv_EQ));
    EXPECT_EQ(eq.get(), Zv_False);

    Owned o(new_obj(&Other_Type));
    EXPECT_EQ(ZvObject_Compare(o, p1), -1) << "test.Other < test.Plain by name";
    EXPECT_EQ(ZvObject_Compare(p1, o), 1);

    // A number sorts before every other type whatever its name.
    Owned n(new_obj(&Zzz_Number_Type));
    EXPECT_EQ(ZvObject_Compare(n, o), -1);
    EXPECT_EQ(ZvObject_Compare(o, n), 1);

    Owned neg(ZvInt_FromLong(-100000));
    EXPECT_EQ(ZvObject_Compare(Zv_None, neg), -1) << "None is below negative numbers";
    EXPECT_EQ(ZvObject_Compare(Zv_None, n), -1);
    Owned lt(ZvObject_RichCompare(Zv_None, o, Zv_LT));
    EXPECT_EQ(lt.get(), Zv_True);
}

TEST_F(ObjectTest, OutOfRangeCompareResultsAreClampedWithAWarning)
{
    Owned a(new_obj(&Weird_Type)), b(new_obj(&Weird_Type));
    weird_compare_sets_error = false;
    weird_compare_result = 5;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZvObject_Compare(a, b), 1);
    weird_compare_result = -9;
    Owned gt(ZvObject_RichCompare(a, b, Zv_GT));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gt.get(), Zv_False);
    EXPECT_NE(err.find("tp_compare didn't return -1, 0 or 1"), std::string::npos) << err;
}

TEST_F(ObjectTest, CompareErrorsAreNeverReadAsAnOrdering)
{
    Owned a(new_obj(&Weird_Type)), b(new_obj(&Weird_Type));
    weird_compare_sets_error = true;
    // -1 with an error set: a failure, not "less than".
    weird_compare_result = -1;
    EXPECT_EQ(ZvObject_RichCompare(a, b, Zv_LT), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_EQ), -1);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    // Any other result with an error: warned about, and still the error.
    weird_compare_result = 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZvObject_Compare(a, b), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(zv_error_text(), "compare failed") << "the original error survives the warning";
    EXPECT_NE(err.find("tp_compare didn't return -1 or -2 for exception"), std::string::npos);
    weird_compare_sets_error = false;
}

TEST_F(ObjectTest, CoercionDecidesMixedTypeComparisons)
{
    Owned c(new_obj(&Coercible_Type, 5));
    Owned three(ZvInt_FromLong(3)), seven(ZvInt_FromLong(7)), five(ZvInt_FromLong(5));
    EXPECT_EQ(ZvObject_Compare(c, three), 1);
    EXPECT_EQ(ZvObject_Compare(c, seven), -1);
    EXPECT_EQ(ZvObject_Compare(seven, c), 1) << "the int's side coerces through the other";
    Owned eq(ZvObject_RichCompare(c, five, Zv_EQ));
    EXPECT_EQ(eq.get(), Zv_True);

    ZvObject *v = c, *w = three;
    ASSERT_EQ(ZvNumber_CoerceEx(&v, &w), 0);
    EXPECT_TRUE(ZvInt_Check(v));
    EXPECT_EQ(ZvInt_AS_LONG(v), 5);
    Zv_DECREF(v);
    Zv_DECREF(w);

    // Same type without check-types: both simply gain a reference.
    Owned p(new_obj(&Plain_Type));
    v = p;
    w = p;
    int before = Zv_REFCNT(p.get());
    ASSERT_EQ(ZvNumber_CoerceEx(&v, &w), 0);
    EXPECT_EQ(Zv_REFCNT(p.get()), before + 2);
    Zv_DECREF(v);
    Zv_DECREF(w);

    Owned s(ZvString_FromString("x"));
    v = three;
    w = s;
    EXPECT_EQ(ZvNumber_Coerce(&v, &w), -1);
    EXPECT_EQ(zv_error_text(), "number coercion failed");
}

TEST_F(ObjectTest, HashingRules)
{
    Owned w(new_obj(&Weird_Type));
    EXPECT_EQ(ZvObject_Hash(w), -1) << "compare without hash is unhashable";
    EXPECT_EQ(zv_error_text(), "unhashable type");
    Owned p(new_obj(&Plain_Type));
    EXPECT_EQ(ZvObject_Hash(p), _Zv_HashPointer(p.get()));

    Owned two(ZvInt_FromLong(2));
    EXPECT_EQ(_Zv_HashDouble(2.0), ZvObject_Hash(two));
    EXPECT_EQ(_Zv_HashDouble(-1.0), -2);
    EXPECT_EQ(_Zv_HashDouble(0.5), 1073741824);
    EXPECT_EQ(_Zv_HashDouble(1.5), 1610612736 + (1 << 15));
    // Integral values past the int range hash like the equal long:
    // 2**40 has the 15-bit digits 1024, 0, 0.
    EXPECT_EQ(_Zv_HashDouble(1099511627776.0), 256);
    EXPECT_EQ(_Zv_HashDouble(-1099511627776.0), -256);
    EXPECT_EQ(_Zv_HashDouble(2147483648.0), (int32_t)0x80000000u); // digits 2, 0, 0
    EXPECT_EQ(_Zv_HashDouble(1.0 / 0.0), 314159);
    EXPECT_EQ(_Zv_HashDouble(-1.0 / 0.0), -271828);
    EXPECT_EQ(_Zv_HashDouble(0.0 / 0.0), 0);
}

// --- attributes -------------------------------------------------------------------

namespace {

ZvObject *data_get(ZvObject *, ZvObject *obj, ZvObject *) { return ZvString_FromString("data-get"); }
ZvObject *last_set = nullptr;
int data_set(ZvObject *, ZvObject *, ZvObject *value)
{
    Zv_XINCREF(value);
    Zv_XDECREF(last_set);
    last_set = value;
    return 0;
}
ZvObject *nondata_get(ZvObject *, ZvObject *, ZvObject *)
{
    return ZvString_FromString("nondata-get");
}

ZvTypeObject DataDescr_Type = [] {
    ZvTypeObject t = make_type("test.DataDescr");
    t.tp_descr_get = data_get;
    t.tp_descr_set = data_set;
    return t;
}();
ZvTypeObject NonDataDescr_Type = [] {
    ZvTypeObject t = make_type("test.NonDataDescr");
    t.tp_descr_get = nondata_get;
    return t;
}();
// Instances show their dictionary as __dict__, as a type with a dictionary
// slot must for dir() to list the instance's own names.
ZvMemberDef inst_members[] = {
    {"__dict__", T_OBJECT, offsetof(TestObj, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
ZvTypeObject Inst_Type = [] {
    ZvTypeObject t = make_type("test.Inst");
    t.tp_members = inst_members;
    t.tp_getattro = ZvObject_GenericGetAttr;
    t.tp_setattro = ZvObject_GenericSetAttr;
    t.tp_dictoffset = offsetof(TestObj, dict);
    return t;
}();
ZvTypeObject NoAttrs_Type = make_type("test.NoAttrs");
ZvTypeObject ReadOnly_Type = [] {
    ZvTypeObject t = make_type("test.ReadOnly");
    t.tp_getattro = ZvObject_GenericGetAttr;
    return t;
}();

// Readies Inst_Type once and fills its dictionary: a data descriptor "d",
// a non-data descriptor "n" and a plain class attribute "c".
void ready_inst_type()
{
    if (Inst_Type.tp_dict != nullptr) return;
    ASSERT_EQ(ZvType_Ready(&Inst_Type), 0);
    Owned d(new_obj(&DataDescr_Type)), n(new_obj(&NonDataDescr_Type)), c(ZvInt_FromLong(42));
    ZvDict_SetItemString(Inst_Type.tp_dict, "d", d);
    ZvDict_SetItemString(Inst_Type.tp_dict, "n", n);
    ZvDict_SetItemString(Inst_Type.tp_dict, "c", c);
}

std::string attr_text(ZvObject *o, const char *name)
{
    ZvObject *v = ZvObject_GetAttrString(o, name);
    if (v == nullptr) return "<error: " + zv_error_text() + ">";
    std::string s = zv_str(v);
    Zv_DECREF(v);
    return s;
}

} // namespace

TEST_F(ObjectTest, GenericGetAttrPrecedence)
{
    ready_inst_type();
    Owned o(new_obj(&Inst_Type));
    EXPECT_EQ(attr_text(o, "c"), "42");
    EXPECT_EQ(attr_text(o, "n"), "nondata-get");
    Owned mine(ZvString_FromString("instance"));
    // Stored straight into the dictionary: "d" cannot be assigned normally.
    ASSERT_EQ(ZvObject_SetAttrString(o, "n", mine), 0);
    ASSERT_EQ(ZvObject_SetAttrString(o, "c", mine), 0);
    ASSERT_EQ(ZvDict_SetItemString(((TestObj *)o.get())->dict, "d", mine), 0);
    EXPECT_EQ(attr_text(o, "d"), "data-get") << "a data descriptor beats the instance dict";
    EXPECT_EQ(attr_text(o, "n"), "instance") << "the instance dict beats a non-data descriptor";
    EXPECT_EQ(attr_text(o, "c"), "instance");
    EXPECT_EQ(attr_text(o, "zz"), "<error: 'test.Inst' object has no attribute 'zz'>");
    EXPECT_EQ(ZvObject_HasAttrString(o, "zz"), 0);
    EXPECT_EQ(ZvObject_HasAttrString(o, "d"), 1);

    Owned num(ZvInt_FromLong(1));
    EXPECT_EQ(ZvObject_GetAttr(o, num), nullptr);
    EXPECT_EQ(zv_error_text(), "attribute name must be string");
}

TEST_F(ObjectTest, GenericSetAttrAndDeleteMessages)
{
    ready_inst_type();
    Owned o(new_obj(&Inst_Type));
    Owned v(ZvInt_FromLong(7));
    // A data descriptor takes the store; the dictionary is not created.
    ASSERT_EQ(ZvObject_SetAttrString(o, "d", v), 0);
    EXPECT_EQ(last_set, v.get());
    EXPECT_EQ(((TestObj *)o.get())->dict, nullptr);
    ASSERT_EQ(ZvObject_SetAttrString(o, "d", nullptr), 0);
    EXPECT_EQ(last_set, nullptr);

    // No dictionary yet: deleting reports the attribute as missing, or as
    // read-only when the class has it.
    EXPECT_EQ(ZvObject_SetAttrString(o, "zz", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "'test.Inst' object has no attribute 'zz'");
    EXPECT_EQ(ZvObject_SetAttrString(o, "c", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "'test.Inst' object attribute 'c' is read-only");

    // With a dictionary, a missing name is an AttributeError carrying it.
    ASSERT_EQ(ZvObject_SetAttrString(o, "x", v), 0);
    EXPECT_EQ(ZvObject_SetAttrString(o, "missing", nullptr), -1);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_AttributeError));
    EXPECT_EQ(zv_error_text(), "missing");
    ASSERT_EQ(ZvObject_SetAttrString(o, "x", nullptr), 0);
    EXPECT_EQ(ZvObject_HasAttrString(o, "x"), 0);

    Owned no(new_obj(&NoAttrs_Type)), ro(new_obj(&ReadOnly_Type));
    EXPECT_EQ(ZvObject_SetAttrString(no, "foo", v), -1);
    EXPECT_EQ(zv_error_text(), "'test.NoAttrs' object has no attributes (assign to .foo)");
    EXPECT_EQ(ZvObject_SetAttrString(ro, "foo", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "'test.ReadOnly' object has only read-only attributes (del .foo)");
    EXPECT_EQ(ZvObject_SetAttrString(v, "foo", v), -1);
    EXPECT_EQ(zv_error_text(), "'int' object has no attribute 'foo'");
    Zv_CLEAR(last_set);
}

TEST_F(ObjectTest, DirListsInstanceAndClassNamesSorted)
{
    ready_inst_type();
    Owned o(new_obj(&Inst_Type));
    Owned v(ZvInt_FromLong(1));
    ASSERT_EQ(ZvObject_SetAttrString(o, "b_own", v), 0);
    ASSERT_EQ(ZvObject_SetAttrString(o, "a_own", v), 0);
    Owned names(ZvObject_Dir(o));
    ASSERT_NE(names.get(), nullptr);
    // The instance's own names, its class's and those inherited from object,
    // in sorted order.
    std::string all = zv_repr(names);
    EXPECT_NE(all.find("'a_own', 'b_own', 'c', 'd', 'n'"), std::string::npos) << all;
    EXPECT_NE(all.find("'__class__'"), std::string::npos) << all;
    Owned tnames(ZvObject_Dir((ZvObject *)&Inst_Type));
    std::string cls = zv_repr(tnames);
    EXPECT_NE(cls.find("'c', 'd', 'n'"), std::string::npos) << cls;
    EXPECT_EQ(cls.find("a_own"), std::string::npos) << cls;
    EXPECT_EQ(ZvObject_Dir(nullptr), nullptr) << "no frame runs";
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

// --- representation and printing -------------------------------------------------

namespace {

// A str subtype whose str() is always another instance of itself: printing
// it never settles on a form that prints itself.
ZvObject *loop_str(ZvObject *self);
ZvTypeObject LoopStr_Type = [] {
    ZvTypeObject t{};
    t.ob_refcnt = 1;
    t.ob_type = &ZvType_Type;
    t.tp_name = "test.LoopStr";
    t.tp_basicsize = sizeof(ZvStringObject);
    t.tp_itemsize = 1;
    t.tp_dealloc = (destructor)ZvObject_Free;
    t.tp_str = loop_str;
    t.tp_repr = loop_str;
    t.tp_flags = Zv_TPFLAGS_DEFAULT;
    t.tp_base = &ZvString_Type;
    return t;
}();
ZvObject *loop_str(ZvObject *)
{
    auto *s = (ZvStringObject *)ZvObject_Malloc(sizeof(ZvStringObject) + 4);
    ZvObject_InitVar((ZvVarObject *)s, &LoopStr_Type, 4);
    s->ob_shash = -1;
    s->ob_sstate = SSTATE_NOT_INTERNED;
    memcpy(s->ob_sval, "loop", 5);
    return (ZvObject *)s;
}

std::string print_to_string(ZvObject *o, int flags, int *status)
{
    FILE *f = tmpfile();
    *status = ZvObject_Print(o, f, flags);
    std::string out;
    rewind(f);
    int c;
    while ((c = getc(f)) != EOF) out += (char)c;
    fclose(f);
    return out;
}

ZvObject *bad_repr(ZvObject *) { return ZvInt_FromLong(3); }
ZvTypeObject BadRepr_Type = [] {
    ZvTypeObject t = make_type("test.BadRepr");
    t.tp_repr = bad_repr;
    return t;
}();

} // namespace

TEST_F(ObjectTest, PrintingFormsAndErrors)
{
    int st;
    Owned s(ZvString_FromString("it's"));
    EXPECT_EQ(print_to_string(s, Zv_PRINT_RAW, &st), "it's");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(print_to_string(s, 0, &st), "\"it's\"");
    Owned l(ZvList_New(0));
    ZvList_Append(l, s);
    ZvList_Append(l, Zv_None);
    EXPECT_EQ(print_to_string(l, 0, &st), "[\"it's\", None]");
    EXPECT_EQ(print_to_string(nullptr, 0, &st), "<nil>");

    Owned loop(loop_str(nullptr));
    print_to_string(loop, Zv_PRINT_RAW, &st);
    EXPECT_EQ(st, -1);
    EXPECT_EQ(zv_error_text(), "print recursion");

    Owned bad(new_obj(&BadRepr_Type));
    print_to_string(bad, 0, &st);
    EXPECT_EQ(st, -1);
    EXPECT_EQ(zv_error_text(), "__repr__ returned non-string (type int)");

    // A stream that cannot be written: the stream error becomes IOError.
    FILE *ro = fopen("/dev/null", "r");
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(ZvObject_Print(s, ro, Zv_PRINT_RAW), -1);
    EXPECT_TRUE(zv_raised(ZvExc_IOError));
    fclose(ro);
}

TEST_F(ObjectTest, DumpDescribesTheObject)
{
    Owned l(ZvList_New(0));
    testing::internal::CaptureStderr();
    _ZvObject_Dump(l);
    _ZvObject_Dump(nullptr);
    std::string out = testing::internal::GetCapturedStderr();
    char addr[64];
    snprintf(addr, sizeof addr, "%p", (void *)l.get());
    EXPECT_EQ(out, std::string("object  : []\ntype    : list\nrefcount: 1\naddress : ") + addr +
                       "\nNULL\n");
}

TEST_F(ObjectTest, UnicodeFormIsAsciiText)
{
    Owned n(ZvInt_FromLong(12));
    Owned u(ZvObject_Unicode(n));
    EXPECT_EQ(zv_str(u), "12");
    Owned s(ZvString_FromString("caf\xc3\xa9"));
    EXPECT_EQ(ZvObject_Unicode(s), nullptr);
    EXPECT_EQ(zv_error_text(),
              "'ascii' codec can't decode byte 0xc3 in position 3: ordinal not in range(128)");
}

TEST_F(ObjectTest, ReprGuardMarksObjectsPerThread)
{
    Owned l(ZvList_New(0));
    EXPECT_EQ(Zv_ReprEnter(l), 0);
    EXPECT_EQ(Zv_ReprEnter(l), 1);
    Zv_ReprLeave(l);
    EXPECT_EQ(Zv_ReprEnter(l), 0);
    Zv_ReprLeave(l);
    Zv_ReprLeave(l); // leaving an unmarked object is harmless
}

// --- truth and callability ----------------------------------------------------------

namespace {
int negative_length(ZvObject *) { return -1; }
int huge_length(ZvObject *) { return INT32_MAX; }
ZvSequenceMethods negative_seq = {negative_length};
ZvSequenceMethods huge_seq = {huge_length};
ZvTypeObject NegLen_Type = [] {
    ZvTypeObject t = make_type("test.NegLen");
    t.tp_as_sequence = &negative_seq;
    return t;
}();
ZvTypeObject HugeLen_Type = [] {
    ZvTypeObject t = make_type("test.HugeLen");
    t.tp_as_sequence = &huge_seq;
    return t;
}();
} // namespace

TEST_F(ObjectTest, TruthFromLengthsAndCallability)
{
    Owned neg(new_obj(&NegLen_Type)), huge(new_obj(&HugeLen_Type)), p(new_obj(&Plain_Type));
    EXPECT_EQ(ZvObject_IsTrue(neg), -1);
    EXPECT_EQ(ZvObject_Not(neg), -1);
    EXPECT_EQ(ZvObject_IsTrue(huge), 1);
    EXPECT_EQ(ZvObject_IsTrue(p), 1) << "no length or nonzero slot: true";
    EXPECT_EQ(ZvCallable_Check(p), 0);
    EXPECT_EQ(ZvCallable_Check(nullptr), 0);
}

// --- trashcan -----------------------------------------------------------------------

TEST_F(ObjectTest, DeepNestingIsFreedWithoutDeepRecursion)
{
    // 100,000 levels would overflow the native stack if each level's
    // deallocator called the next one directly.
    ZvObject *chain = ZvList_New(0);
    for (int i = 0; i < 100000; i++) {
        ZvObject *outer = (i % 2) ? ZvList_New(0) : ZvTuple_New(1);
        ASSERT_NE(outer, nullptr);
        if (ZvList_Check(outer)) {
            ZvList_Append(outer, chain);
            Zv_DECREF(chain);
        } else {
            ZvTuple_SET_ITEM(outer, 0, chain);
        }
        chain = outer;
    }
    Zv_DECREF(chain);
    EXPECT_EQ(_ZvTrash_delete_nesting, 0);
    EXPECT_EQ(_ZvTrash_delete_later, nullptr);

    ZvObject *d = ZvDict_New();
    for (int i = 0; i < 100000; i++) {
        ZvObject *outer = ZvDict_New();
        ZvDict_SetItemString(outer, "k", d);
        Zv_DECREF(d);
        d = outer;
    }
    Zv_DECREF(d);
    EXPECT_EQ(_ZvTrash_delete_later, nullptr);
}

// --- dir() through attributes ---------------------------------------------------------

namespace {

// The repr of dir(o), or "<error: ...>".
std::string dir_text(ZvObject *o)
{
    ZvObject *names = ZvObject_Dir(o);
    if (names == nullptr) return "<error: " + zv_error_text() + ">";
    std::string s = zv_repr(names);
    Zv_DECREF(names);
    return s;
}

bool lists(const std::string &dir, const char *name)
{
    return dir.find(std::string("'") + name + "'") != std::string::npos;
}

} // namespace

TEST_F(ObjectTest, DirOfAModuleIsItsDictionaryOnly)
{
    Owned m(ZvModule_New("mod"));
    Owned v(zv_int(1));
    ASSERT_EQ(ZvObject_SetAttrString(m, "spam", v), 0);
    EXPECT_EQ(dir_text(m), "['__doc__', '__name__', 'spam']") << "no names of the module type";

    // A module whose __dict__ is not a dictionary is refused, not walked.
    Owned five(zv_int(5));
    Owned odd(zv_class("OddModule", {ZV_TYPE_OBJ(ZvModule_Type)}, {{"__dict__", five.get()}}));
    ASSERT_NE(odd.get(), nullptr);
    Owned name(zv_string("odd"));
    Owned om(zv_call(odd, {name.get()}));
    ASSERT_NE(om.get(), nullptr);
    EXPECT_EQ(dir_text(om), "<error: module.__dict__ is not a dictionary>");
}

TEST_F(ObjectTest, DirMergesClassesThroughDictAndBases)
{
    Owned v(zv_int(1));
    Owned a(zv_class("A", {}, {{"from_a", v.get()}}));
    Owned b(zv_class("B", {a.get()}, {{"from_b", v.get()}}));
    Owned inst(zv_call(b));
    ASSERT_NE(inst.get(), nullptr);
    ASSERT_EQ(ZvObject_SetAttrString(inst, "own", v), 0);

    std::string names = dir_text(inst);
    EXPECT_TRUE(lists(names, "own") && lists(names, "from_a") && lists(names, "from_b")) << names;
    EXPECT_TRUE(lists(names, "__class__")) << "object's names come through the bases";
    EXPECT_LT(names.find("'__class__'"), names.find("'from_a'")) << "sorted: " << names;

    std::string cls = dir_text(b);
    EXPECT_TRUE(lists(cls, "from_a") && lists(cls, "from_b")) << cls;
    EXPECT_FALSE(lists(cls, "own")) << cls;
    EXPECT_FALSE(lists(cls, "__bases__")) << "a class lists its own names, not its metatype's";
}

TEST_F(ObjectTest, DirAddsStringNamesOfMembersAndMethodsLists)
{
    Owned m1(zv_string("m1")), meth(zv_string("meth")), seven(zv_int(7));
    Owned members(ZvList_New(0));
    ZvList_Append(members, m1);
    ZvList_Append(members, seven);
    Owned methods(ZvList_New(0));
    ZvList_Append(methods, meth);
    Owned tuple_names(zv_tuple({m1.get()}));
    Owned c(zv_class("WithLists", {}, {{"__members__", members.get()}, {"__methods__", methods.get()}}));
    Owned inst(zv_call(c));
    std::string names = dir_text(inst);
    EXPECT_TRUE(lists(names, "m1") && lists(names, "meth")) << names;
    EXPECT_EQ(names.find(", 7"), std::string::npos) << "only strings are names: " << names;

    // Names given in a tuple instead of a list are not taken.
    Owned t(zv_class("WithTuple", {}, {{"__members__", tuple_names.get()}}));
    Owned tinst(zv_call(t));
    EXPECT_FALSE(lists(dir_text(tinst), "m1"));
}

TEST_F(ObjectTest, DirStopsAtTheRecursionLimitOnABasesCycle)
{
    // An object posing as a class whose __bases__ lead back to itself.
    Owned q_class(zv_class("Q", {}));
    Owned q(zv_call(q_class));
    Owned self_bases(zv_tuple({q.get()}));
    ASSERT_EQ(ZvObject_SetAttrString(q, "__bases__", self_bases), 0);
    Owned p_class(zv_class("P", {}, {{"__class__", q.get()}}));
    Owned p(zv_call(p_class));
    EXPECT_EQ(dir_text(p), "<error: maximum recursion depth exceeded in dir()>");
    ASSERT_EQ(ZvObject_SetAttrString(q, "__bases__", nullptr), 0); // break the cycle
}

// --- comparison of classes with __cmp__ ------------------------------------------------

namespace {
// __cmp__ stored in a class as a plain built-in: called with the other
// operand only, it says "less" to everything.
ZvObject *always_less(ZvObject *, ZvObject *) { return ZvInt_FromLong(-1); }
ZvMethodDef always_less_def = {"__cmp__", always_less, METH_O, nullptr};
} // namespace

TEST_F(ObjectTest, ClassCompareSlotDecidesAgainstOtherTypes)
{
    Owned cmp(zv_native(&always_less_def));
    Owned c(zv_class("Less", {}, {{"__cmp__", cmp.get()}}));
    Owned x(zv_call(c));
    Owned five(zv_int(5));
    // Without the class's slot the default ordering would put the number
    // first (numbers sort before every other type).
    EXPECT_EQ(ZvObject_Compare(x, five), -1);
    EXPECT_EQ(ZvObject_Compare(five, x), 1) << "the reflected answer is negated";
    Owned lt(ZvObject_RichCompare(x, five, Zv_LT));
    EXPECT_EQ(lt.get(), Zv_True);
}

// --- unicode() through __unicode__ ---------------------------------------------------------

namespace {
ZvObject *say_uni(ZvObject *, ZvObject *) { return ZvString_FromString("uni"); }
ZvMethodDef say_uni_def = {"__unicode__", say_uni, METH_NOARGS, nullptr};
} // namespace

TEST_F(ObjectTest, UnicodeFormCallsUnicodeMethodOrFallsBackToStr)
{
    Owned uni(zv_native(&say_uni_def));
    Owned c(zv_class("HasUnicode", {}, {{"__unicode__", uni.get()}}));
    Owned x(zv_call(c));
    Owned u(ZvObject_Unicode(x));
    EXPECT_EQ(zv_str(u), "uni");

    Owned seven(zv_int(7));
    Owned bad(zv_class("BadUnicode", {}, {{"__unicode__", seven.get()}}));
    Owned y(zv_call(bad));
    EXPECT_EQ(ZvObject_Unicode(y), nullptr);
    EXPECT_EQ(zv_error_text(), "'int' object is not callable");

    EXPECT_EQ(zv_str(Owned(ZvObject_Unicode(Zv_None))), "None") << "no __unicode__: str()";
}

// --- descriptors that remove themselves ------------------------------------------------------

namespace {

// A data descriptor that deletes itself from the class it lives in while
// its get or set runs, then still reads its own state.
ZvTypeObject *home_type = nullptr;
void delete_self_from_home()
{
    if (ZvDict_DelItemString(home_type->tp_dict, "gone") < 0) ZvErr_Clear();
}
ZvObject *vanishing_get(ZvObject *self, ZvObject *, ZvObject *)
{
    delete_self_from_home();
    return ZvInt_FromLong(((TestObj *)self)->value);
}
int vanishing_set(ZvObject *self, ZvObject *, ZvObject *)
{
    delete_self_from_home();
    return ((TestObj *)self)->value == 77 ? 0 : -1;
}
ZvTypeObject Vanishing_Type = [] {
    ZvTypeObject t = make_type("test.Vanishing");
    t.tp_descr_get = vanishing_get;
    t.tp_descr_set = vanishing_set;
    return t;
}();
ZvTypeObject VanishHome_Type = [] {
    ZvTypeObject t = make_type("test.VanishHome");
    t.tp_getattro = ZvObject_GenericGetAttr;
    t.tp_setattro = ZvObject_GenericSetAttr;
    return t;
}();

void install_vanishing()
{
    ASSERT_EQ(ZvType_Ready(&VanishHome_Type), 0);
    home_type = &VanishHome_Type;
    Owned d(new_obj(&Vanishing_Type, 77));
    ASSERT_EQ(ZvDict_SetItemString(VanishHome_Type.tp_dict, "gone", d), 0);
}

} // namespace

TEST_F(ObjectTest, DescriptorOutlivesItsRemovalDuringGetAndSet)
{
    Owned o(new_obj(&VanishHome_Type));
    install_vanishing();
    EXPECT_EQ(attr_text(o, "gone"), "77");
    EXPECT_EQ(attr_text(o, "gone"), "<error: 'test.VanishHome' object has no attribute 'gone'>");
    install_vanishing();
    EXPECT_EQ(ZvObject_SetAttrString(o, "gone", Zv_None), 0);
    EXPECT_EQ(ZvDict_GetItemString(VanishHome_Type.tp_dict, "gone"), nullptr);
}
