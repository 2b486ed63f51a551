// Argument parsing: every unit's conversion and failure text, the count
// messages, optional units, groups, keywords and the cleanup of "e" units.
#include "typetest.h"

#include <initializer_list>
#include <limits.h>
#include <string.h>

#include <string>

namespace {

// A tuple that takes over the given new references.
ZvObject *tup(std::initializer_list<ZvObject *> items)
{
    ZvObject *t = ZvTuple_New((int)items.size());
    int i = 0;
    for (ZvObject *o : items) ZvTuple_SET_ITEM(t, i++, o);
    return t;
}

ZvObject *I(int32_t v) { return ZvInt_FromLong(v); }
ZvObject *S(const char *s) { return ZvString_FromString(s); }
ZvObject *lng(const char *text) { return ZvLong_FromString(text, nullptr, 0); }
ZvObject *None()
{
    Zv_INCREF(Zv_None);
    return Zv_None;
}

// The pending error's message, checking its class.
std::string failure(ZvObject *exc)
{
    EXPECT_TRUE(ZvErr_ExceptionMatches(exc)) << "another exception class is set";
    return zv_error_text();
}

using GetArgs = ZvTest;

TEST_F(GetArgs, CountMessagesNameTheFunctionAndTheBound)
{
    ZvObject *o1, *o2;
    Owned two(tup({I(1), I(2)}));
    EXPECT_EQ(ZvArg_ParseTuple(two, "O:f", &o1), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() takes exactly 1 argument (2 given)");

    int a, b;
    Owned one(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTuple(one, "ii", &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "function takes exactly 2 arguments (1 given)");

    Owned none(ZvTuple_New(0));
    EXPECT_EQ(ZvArg_ParseTuple(none, "O|O:g", &o1, &o2), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "g() takes at least 1 argument (0 given)");

    Owned three(tup({I(1), I(2), I(3)}));
    EXPECT_EQ(ZvArg_ParseTuple(three, "O|O:g", &o1, &o2), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "g() takes at most 2 arguments (3 given)");

    EXPECT_EQ(ZvArg_ParseTuple(three, "O|O;custom text", &o1, &o2), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "custom text");

    EXPECT_EQ(ZvArg_ParseTuple(one, ":h"), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "h() takes exactly 0 arguments (1 given)");
}

TEST_F(GetArgs, OptionalUnitsLeaveTheirDestinationsAlone)
{
    int a = -7, b = -7, c = -7;
    Owned one(tup({I(5)}));
    ASSERT_EQ(ZvArg_ParseTuple(one, "i|ii:f", &a, &b, &c), 1);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, -7);
    EXPECT_EQ(c, -7);

    Owned three(tup({I(1), I(2), I(3)}));
    ASSERT_EQ(ZvArg_ParseTuple(three, "i|ii", &a, &b, &c), 1);
    EXPECT_EQ(a + b + c, 6);
}

TEST_F(GetArgs, ArgumentsMustComeAsATuple)
{
    ZvObject *o;
    Owned i(I(1));
    EXPECT_EQ(ZvArg_ParseTuple(i, "O", &o), 0);
    EXPECT_EQ(failure(ZvExc_SystemError), "new style getargs format but argument is not a tuple");
    EXPECT_EQ(ZvArg_ParseTuple(nullptr, "O", &o), 0);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(GetArgs, ByteUnitsCheckOrMaskTheRange)
{
    unsigned char c = 0;
    Owned ok(tup({I(255)}));
    ASSERT_EQ(ZvArg_ParseTuple(ok, "b", &c), 1);
    EXPECT_EQ(c, 255);

    Owned big(tup({I(256)}));
    EXPECT_EQ(ZvArg_ParseTuple(big, "b", &c), 0);
    EXPECT_EQ(failure(ZvExc_OverflowError), "unsigned byte integer is greater than maximum");
    Owned neg(tup({I(-1)}));
    EXPECT_EQ(ZvArg_ParseTuple(neg, "b", &c), 0);
    EXPECT_EQ(failure(ZvExc_OverflowError), "unsigned byte integer is less than minimum");
    Owned zero(tup({I(0)}));
    ASSERT_EQ(ZvArg_ParseTuple(zero, "b", &c), 1);
    EXPECT_EQ(c, 0);

    ASSERT_EQ(ZvArg_ParseTuple(big, "B", &c), 1);
    EXPECT_EQ(c, 0);
    ASSERT_EQ(ZvArg_ParseTuple(neg, "B", &c), 1);
    EXPECT_EQ(c, 255);
}

TEST_F(GetArgs, ShortUnitsCheckOrMaskTheRange)
{
    short h = 0;
    unsigned short H = 0;
    Owned lo(tup({I(-32768)})), hi(tup({I(32767)}));
    ASSERT_EQ(ZvArg_ParseTuple(lo, "h", &h), 1);
    EXPECT_EQ(h, -32768);
    ASSERT_EQ(ZvArg_ParseTuple(hi, "h", &h), 1);
    EXPECT_EQ(h, 32767);

    Owned under(tup({I(-32769)})), over(tup({I(32768)}));
    EXPECT_EQ(ZvArg_ParseTuple(under, "h", &h), 0);
    EXPECT_EQ(failure(ZvExc_OverflowError), "signed short integer is less than minimum");
    EXPECT_EQ(ZvArg_ParseTuple(over, "h", &h), 0);
    EXPECT_EQ(failure(ZvExc_OverflowError), "signed short integer is greater than maximum");

    Owned wide(tup({I(65537)}));
    ASSERT_EQ(ZvArg_ParseTuple(wide, "H", &H), 1);
    EXPECT_EQ(H, 1);
}

TEST_F(GetArgs, WordUnitsStoreThe32BitValue)
{
    int i = 0;
    long l = 0;
    unsigned int u = 0;
    unsigned long k = 0;
    long long L = 0;
    unsigned long long K = 0;
    Owned args(tup({I(INT32_MIN), I(INT32_MAX), I(-1), I(-1), I(-5), I(-1)}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "ilIkLK", &i, &l, &u, &k, &L, &K), 1);
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_EQ(l, (long)INT32_MAX);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(k, 0xFFFFFFFFul); // the low 32 bits, even though unsigned long is wider
    EXPECT_EQ(L, -5);
    EXPECT_EQ(K, ~0ull);
}

TEST_F(GetArgs, IntegerUnitsNameTheirExpectedType)
{
    Owned args(tup({S("x")}));
    void *p = nullptr;
    const char *units[] = {"b", "B", "h", "H", "i", "I", "l", "k", "K"};
    for (const char *u : units) {
        std::string fmt = std::string(u) + ":f";
        EXPECT_EQ(ZvArg_ParseTuple(args, fmt.c_str(), &p), 0);
        EXPECT_EQ(failure(ZvExc_TypeError),
                  std::string("f() argument 1 must be integer<") + u + ">, not str");
    }
    EXPECT_EQ(ZvArg_ParseTuple(args, "L", &p), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be long<L>, not str");

    Owned nothing(tup({None()}));
    EXPECT_EQ(ZvArg_ParseTuple(nothing, "i", &p), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be integer<i>, not None");
}

TEST_F(GetArgs, IntegerUnitsTakeLongs)
{
    int i = 0;
    long l = 0;
    unsigned char b = 0, B = 0;
    short h = 0;
    unsigned short H = 0;
    unsigned int I = 0;
    unsigned long k = 0;
    long long L = 0;
    unsigned long long K = 0;
    Owned small(tup({lng("5"), lng("-7"), lng("200"), lng("-3")}));
    ASSERT_EQ(ZvArg_ParseTuple(small, "ilbh", &i, &l, &b, &h), 1);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(l, -7);
    EXPECT_EQ(b, 200);
    EXPECT_EQ(h, -3);

    // Past the int range the checked units raise the long's OverflowError.
    Owned big(tup({lng("2147483648")}));
    for (const char *u : {"i", "l", "b", "h"}) {
        EXPECT_EQ(ZvArg_ParseTuple(big, u, &L), 0) << u;
        EXPECT_EQ(failure(ZvExc_OverflowError), "long int too large to convert to int") << u;
    }

    // The masking units keep the low bits of a long of any size.
    Owned huge(tup({lng("0x123456789abcdef01"), lng("0x1fffe"), lng("-1"),
                    lng("0x10000000000000005"), lng("-0x10000000000000001")}));
    ASSERT_EQ(ZvArg_ParseTuple(huge, "BHIkK", &B, &H, &I, &k, &K), 1);
    EXPECT_EQ(B, 0x01);
    EXPECT_EQ(H, 0xfffe);
    EXPECT_EQ(I, 0xFFFFFFFFu);
    EXPECT_EQ(k, 5ul);
    EXPECT_EQ(K, ~0ull);

    // "L" covers exactly the 64-bit range.
    long long L2 = 0;
    Owned edges(tup({lng("9223372036854775807"), lng("-9223372036854775808")}));
    ASSERT_EQ(ZvArg_ParseTuple(edges, "LL", &L, &L2), 1);
    EXPECT_EQ(L, LLONG_MAX);
    EXPECT_EQ(L2, LLONG_MIN);
    Owned over(tup({lng("9223372036854775808")}));
    EXPECT_EQ(ZvArg_ParseTuple(over, "L", &L), 0);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
}

TEST_F(GetArgs, FloatsGivenToIntegerUnitsAreTruncatedWithAWarning)
{
    testing::internal::CaptureStderr();
    int i = 0;
    long long L = 0;
    unsigned int I = 0;
    unsigned char b = 0;
    Owned args(tup({ZvFloat_FromDouble(3.9), ZvFloat_FromDouble(-2.5), ZvFloat_FromDouble(4294967297.0)}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "iLI", &i, &L, &I), 1);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(L, -2);
    EXPECT_EQ(I, 1u); // masked like the long it truncates to
    // The range of "b" applies to the truncated value.
    Owned too_big(tup({ZvFloat_FromDouble(256.5)}));
    EXPECT_EQ(ZvArg_ParseTuple(too_big, "b", &b), 0);
    EXPECT_EQ(failure(ZvExc_OverflowError), "unsigned byte integer is greater than maximum");
    std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_NE(warnings.find("integer argument expected, got float"), std::string::npos)
        << warnings;

    // "k" and "K" take only int and long objects.
    Owned f(tup({ZvFloat_FromDouble(1.0)}));
    unsigned long k = 0;
    EXPECT_EQ(ZvArg_ParseTuple(f, "k", &k), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be integer<k>, not float");
    EXPECT_EQ(ZvArg_ParseTuple(f, "K", &L), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be integer<K>, not float");
}

TEST_F(GetArgs, FloatingUnitsTakeAnyNumber)
{
    float f = 0;
    double d = 0;
    double D[2] = {1, 1};
    Owned args(tup({ZvFloat_FromDouble(1.5), lng("-1099511627776"), I(7)}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "fdD", &f, &d, D), 1);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(d, -1099511627776.0);
    EXPECT_EQ(D[0], 7.0);
    EXPECT_EQ(D[1], 0.0);
    // A real number is the real part; a complex gives both.
    Owned real(tup({ZvFloat_FromDouble(-0.25), ZvComplex_FromDoubles(3.0, -4.5)}));
    double D2[2];
    ASSERT_EQ(ZvArg_ParseTuple(real, "DD", D, D2), 1);
    EXPECT_EQ(D[0], -0.25);
    EXPECT_EQ(D[1], 0.0);
    EXPECT_EQ(D2[0], 3.0);
    EXPECT_EQ(D2[1], -4.5);

    // A long too large for a double keeps its own OverflowError.
    Owned huge(tup({lng(("1" + std::string(400, '0')).c_str())}));
    EXPECT_EQ(ZvArg_ParseTuple(huge, "d", &d), 0);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));

    Owned str(tup({S("1.5")}));
    EXPECT_EQ(ZvArg_ParseTuple(str, "f", &f), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be float<f>, not str");
    EXPECT_EQ(ZvArg_ParseTuple(str, "d", &d), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be float<d>, not str");
    EXPECT_EQ(ZvArg_ParseTuple(str, "D", D), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be complex<D>, not str");
}

TEST_F(GetArgs, CharAndStringUnits)
{
    char c = 0;
    Owned one(tup({S("q")})), two(tup({S("qq")}));
    ASSERT_EQ(ZvArg_ParseTuple(one, "c", &c), 1);
    EXPECT_EQ(c, 'q');
    EXPECT_EQ(ZvArg_ParseTuple(two, "c", &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be char, not str");

    const char *s = nullptr;
    int n = -1;
    Owned nul(tup({ZvString_FromStringAndSize("a\0b", 3)}));
    ASSERT_EQ(ZvArg_ParseTuple(nul, "s#", &s, &n), 1);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(memcmp(s, "a\0b", 3), 0);
    EXPECT_EQ(ZvArg_ParseTuple(nul, "s:f", &s), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() argument 1 must be string without null bytes, not str");
    EXPECT_EQ(ZvArg_ParseTuple(nul, "z", &s), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string without null bytes or None, not str");

    Owned num(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTuple(num, "s", &s), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string, not int");
    EXPECT_EQ(ZvArg_ParseTuple(num, "z", &s), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string or None, not int");
    EXPECT_EQ(ZvArg_ParseTuple(num, "s#", &s, &n), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string or read-only buffer, not int");

    Owned none(tup({None()}));
    s = "x";
    n = 5;
    ASSERT_EQ(ZvArg_ParseTuple(none, "z#", &s, &n), 1);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(ZvArg_ParseTuple(none, "s", &s), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string, not None");

    Owned word(tup({S("word")}));
    ASSERT_EQ(ZvArg_ParseTuple(word, "t#", &s, &n), 1);
    EXPECT_STREQ(s, "word");
    EXPECT_EQ(n, 4);
    EXPECT_EQ(ZvArg_ParseTuple(num, "t#", &s, &n), 0);
    EXPECT_EQ(failure(ZvExc_TypeError),
              "argument 1 must be string or read-only character buffer, not int");
    EXPECT_EQ(ZvArg_ParseTuple(word, "w", &s), 0);
    // str has a buffer table; its write slot refuses with its own error.
    EXPECT_EQ(failure(ZvExc_TypeError), "Cannot use string as modifiable buffer");
}

TEST_F(GetArgs, ObjectUnits)
{
    ZvObject *o = nullptr, *str = nullptr;
    Owned args(tup({I(1), S("x")}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "OS", &o, &str), 1);
    EXPECT_TRUE(ZvInt_CheckExact(o));
    EXPECT_TRUE(ZvString_CheckExact(str));
    EXPECT_EQ(ZvArg_ParseTuple(args, "SS", &o, &str), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string, not int");

    ASSERT_EQ(ZvArg_ParseTuple(args, "O!O!", &ZvInt_Type, &o, &ZvString_Type, &str), 1);
    EXPECT_EQ(ZvArg_ParseTuple(args, "O!O:f", &ZvDict_Type, &o, &str), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() argument 1 must be dict, not int");

    inquiry is_int = [](ZvObject *x) { return (int)ZvInt_Check(x); };
    ASSERT_EQ(ZvArg_ParseTuple(args, "O?O", is_int, &o, &str), 1);
    EXPECT_EQ(ZvArg_ParseTuple(args, "OO?", &o, is_int, &str), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 2 (unspecified)");
}

// A converter that accepts ints, doubling them, and reports its own error.
int doubling(ZvObject *o, void *addr)
{
    if (!ZvInt_Check(o)) {
        ZvErr_SetString(ZvExc_ValueError, "converter refused");
        return 0;
    }
    *(int *)addr = 2 * ZvInt_AS_LONG(o);
    return 1;
}

int silent_refusal(ZvObject *, void *) { return 0; }

TEST_F(GetArgs, ConverterUnitsKeepTheirOwnError)
{
    int v = 0;
    Owned good(tup({I(21)})), bad(tup({S("x")}));
    ASSERT_EQ(ZvArg_ParseTuple(good, "O&", doubling, &v), 1);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(ZvArg_ParseTuple(bad, "O&:f", doubling, &v), 0);
    EXPECT_EQ(failure(ZvExc_ValueError), "converter refused");
    EXPECT_EQ(ZvArg_ParseTuple(bad, "O&:f", silent_refusal, &v), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() argument 1 (unspecified)");
}

TEST_F(GetArgs, UnicodeUnitsRefuseByteStrings)
{
    void *p;
    int n;
    Owned args(tup({S("x")}));
    EXPECT_EQ(ZvArg_ParseTuple(args, "u", &p), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be unicode, not str");
    EXPECT_EQ(ZvArg_ParseTuple(args, "u#", &p, &n), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be unicode, not str");
    EXPECT_EQ(ZvArg_ParseTuple(args, "U", &p), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be unicode, not str");
}

TEST_F(GetArgs, GroupsConvertSequenceItems)
{
    int a = 0, b = 0, c = 0;
    Owned inner(tup({I(1), I(2)}));
    Zv_INCREF(inner.get());
    Owned args(tup({inner.get(), I(3)}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "(ii)i", &a, &b, &c), 1);
    EXPECT_EQ(a * 100 + b * 10 + c, 123);

    Owned list(ZvList_New(0));
    ZvList_Append(list, Owned(I(4)));
    ZvList_Append(list, Owned(I(5)));
    Zv_INCREF(list.get());
    Owned from_list(tup({list.get()}));
    ASSERT_EQ(ZvArg_ParseTuple(from_list, "(ii)", &a, &b), 1);
    EXPECT_EQ(a * 10 + b, 45);
}

TEST_F(GetArgs, GroupFailuresNameTheItemPath)
{
    int a, b, c;
    Owned bad_item(tup({tup({I(1), S("x")})}));
    EXPECT_EQ(ZvArg_ParseTuple(bad_item, "(ii):f", &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() argument 1, item 1 must be integer<i>, not str");
    EXPECT_EQ(ZvArg_ParseTuple(bad_item, "(ii)", &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1, item 1 must be integer<i>, not str");

    Owned nested(tup({I(0), tup({I(1), tup({I(2), S("x")})})}));
    int d;
    EXPECT_EQ(ZvArg_ParseTuple(nested, "i(i(ii))", &a, &b, &c, &d), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 2, item 1, item 1 must be integer<i>, not str");

    Owned wrong_len(tup({tup({I(1)})}));
    EXPECT_EQ(ZvArg_ParseTuple(wrong_len, "(ii)", &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be sequence of length 2, not 1");

    Owned not_seq(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTuple(not_seq, "(ii)", &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be 2-item sequence, not int");
    Owned a_string(tup({S("ab")}));
    char x, y;
    EXPECT_EQ(ZvArg_ParseTuple(a_string, "(cc)", &x, &y), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be 2-item sequence, not str");
}

// Natives stored in a class are not bound: they see only the explicit
// arguments.
ZvObject *fn_len_two(ZvObject *, ZvObject *) { return ZvInt_FromLong(2); }
ZvObject *fn_len_negative(ZvObject *, ZvObject *) { return ZvInt_FromLong(-1); }
ZvObject *fn_item_plus_ten(ZvObject *, ZvObject *args)
{
    int i;
    if (!ZvArg_ParseTuple(args, "i", &i)) return nullptr;
    return ZvInt_FromLong(i + 10);
}
ZvMethodDef len_two = {"__len__", fn_len_two, METH_VARARGS, nullptr};
ZvMethodDef len_negative = {"__len__", fn_len_negative, METH_VARARGS, nullptr};
ZvMethodDef item_plus_ten = {"__getitem__", fn_item_plus_ten, METH_VARARGS, nullptr};

TEST_F(GetArgs, GroupsTakeAnySequence)
{
    // A class with __len__ and __getitem__ is a sequence.
    Owned len(zv_native(&len_two)), item(zv_native(&item_plus_ten));
    Owned cls(zv_class("Seq", {}, {{"__len__", len.get()}, {"__getitem__", item.get()}}));
    int a = 0, b = 0;
    Owned args(tup({zv_call(cls)}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "(ii)", &a, &b), 1);
    EXPECT_EQ(a, 10);
    EXPECT_EQ(b, 11);

    // Its length must be sane; the length's own error stands.
    Owned bad_len(zv_native(&len_negative));
    Owned bad_cls(zv_class("Bad", {}, {{"__len__", bad_len.get()}, {"__getitem__", item.get()}}));
    Owned bad(tup({zv_call(bad_cls)}));
    EXPECT_EQ(ZvArg_ParseTuple(bad, "(ii)", &a, &b), 0);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));

    // A mapping is not a sequence.
    Owned dict(tup({ZvDict_New()}));
    EXPECT_EQ(ZvArg_ParseTuple(dict, "(ii)", &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be 2-item sequence, not dict");
}

// __getitem__ methods that make a new object on every access, so only the
// parse can keep the items its results point into alive.
int item_index(ZvObject *args)
{
    int i = -1;
    (void)ZvArg_ParseTuple(args, "i", &i);
    return i;
}
ZvObject *fn_fresh_string(ZvObject *, ZvObject *args)
{
    return ZvString_FromFormat("fresh-%d", item_index(args));
}
ZvObject *fn_fresh_pair(ZvObject *, ZvObject *args)
{
    int i = item_index(args);
    return Zv_BuildValue("(NN)", ZvString_FromFormat("left-%d", i),
                         ZvString_FromFormat("right-%d", i));
}
ZvObject *tracked_class = nullptr; // instances count their finalization
int finalized = 0;
ZvObject *fn_fresh_tracked(ZvObject *, ZvObject *) { return zv_call(tracked_class); }
ZvObject *fn_count_finalized(ZvObject *, ZvObject *)
{
    finalized++;
    Zv_RETURN_NONE;
}
ZvMethodDef fresh_string = {"__getitem__", fn_fresh_string, METH_VARARGS, nullptr};
ZvMethodDef fresh_pair = {"__getitem__", fn_fresh_pair, METH_VARARGS, nullptr};
ZvMethodDef fresh_tracked = {"__getitem__", fn_fresh_tracked, METH_VARARGS, nullptr};
ZvMethodDef count_finalized = {"__del__", fn_count_finalized, METH_VARARGS, nullptr};

// An instance of a two-item sequence class whose items come from `item`.
ZvObject *made_on_access(ZvMethodDef *item)
{
    Owned len(zv_native(&len_two)), get(zv_native(item));
    Owned cls(zv_class("MadeOnAccess", {}, {{"__len__", len.get()}, {"__getitem__", get.get()}}));
    return zv_call(cls);
}

TEST_F(GetArgs, GroupResultsOutliveItemsMadeOnAccess)
{
    const char *s0 = nullptr, *s1 = nullptr, *p = nullptr;
    const char *l0 = nullptr, *r0 = nullptr, *l1 = nullptr, *r1 = nullptr;
    ZvObject *o0 = nullptr;
    int n = 0;
    Owned args(tup({made_on_access(&fresh_string), made_on_access(&fresh_string),
                    made_on_access(&fresh_pair)}));
    ASSERT_EQ(ZvArg_ParseTuple(args, "(ss)(Ss#)((ss)(zs))", &s0, &s1, &o0, &p, &n, &l0, &r0,
                               &l1, &r1),
              1);
    // Every result still points into a live object.
    EXPECT_STREQ(s0, "fresh-0");
    EXPECT_STREQ(s1, "fresh-1");
    ASSERT_TRUE(ZvString_Check(o0));
    EXPECT_STREQ(ZvString_AS_STRING(o0), "fresh-0");
    EXPECT_EQ(std::string(p, (size_t)n), "fresh-1");
    EXPECT_STREQ(l0, "left-0"); // inside a pair that was itself made on access
    EXPECT_STREQ(r0, "right-0");
    EXPECT_STREQ(l1, "left-1");
    EXPECT_STREQ(r1, "right-1");

    // The old convention's single argument is a sequence of its own.
    Owned seq(made_on_access(&fresh_string));
    ASSERT_EQ(ZvArg_Parse(seq, "(ss)", &s0, &s1), 1);
    EXPECT_STREQ(s0, "fresh-0");
    EXPECT_STREQ(s1, "fresh-1");
}

TEST_F(GetArgs, KeptItemsGoWithTheArgumentsOrAtOnceOnFailure)
{
    Owned del(zv_native(&count_finalized));
    Owned tracked(zv_class("Tracked", {}, {{"__del__", del.get()}}));
    tracked_class = tracked.get();
    finalized = 0;
    ZvObject *a = nullptr, *b = nullptr;
    {
        Owned args(tup({made_on_access(&fresh_tracked)}));
        ASSERT_EQ(ZvArg_ParseTuple(args, "(OO)", &a, &b), 1);
        EXPECT_EQ(finalized, 0);
        EXPECT_EQ((ZvObject *)Zv_TYPE(b), tracked.get());
        EXPECT_NE(a, b);
    }
    // Once the caller has dropped the arguments, the next parse lets go.
    Owned none(ZvTuple_New(0));
    ASSERT_EQ(ZvArg_ParseTuple(none, ""), 1);
    EXPECT_EQ(finalized, 2);

    // A failed parse gives nothing to use, so it keeps nothing.
    int i = 0;
    Owned bad(tup({made_on_access(&fresh_tracked)}));
    EXPECT_EQ(ZvArg_ParseTuple(bad, "(Oi)", &a, &i), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1, item 1 must be integer<i>, not Tracked");
    EXPECT_EQ(finalized, 4);
    tracked_class = nullptr;
}

TEST_F(GetArgs, BadFormatCharacterIsReported)
{
    void *p;
    Owned args(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTuple(args, "y", &p), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be impossible<bad format char>, not int");
}

TEST_F(GetArgs, EncodedUnitsCopyIntoBuffers)
{
    Owned args(tup({S("text")}));
    char *buf = nullptr;
    ASSERT_EQ(ZvArg_ParseTuple(args, "es", "utf-8", &buf), 1);
    EXPECT_STREQ(buf, "text");
    ZvMem_Free(buf);

    buf = nullptr;
    int n = 0;
    ASSERT_EQ(ZvArg_ParseTuple(args, "et#", nullptr, &buf, &n), 1);
    EXPECT_STREQ(buf, "text");
    EXPECT_EQ(n, 4);
    ZvMem_Free(buf);

    char small[4];
    buf = small;
    n = sizeof small;
    EXPECT_EQ(ZvArg_ParseTuple(args, "es#", "ascii", &buf, &n), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 (buffer overflow)");
    char fits[5];
    buf = fits;
    n = sizeof fits;
    ASSERT_EQ(ZvArg_ParseTuple(args, "es#", "ascii", &buf, &n), 1);
    EXPECT_STREQ(fits, "text");

    Owned num(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTuple(num, "es", nullptr, &buf), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 must be string or unicode or text buffer, not int");

    Owned high(tup({S("\xe9")}));
    EXPECT_EQ(ZvArg_ParseTuple(high, "es", "latin-1", &buf), 0);
    EXPECT_TRUE(zv_raised(ZvExc_UnicodeDecodeError));
    Owned nul(tup({ZvString_FromStringAndSize("a\0b", 3)}));
    buf = nullptr;
    EXPECT_EQ(ZvArg_ParseTuple(nul, "et", nullptr, &buf), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 1 (encoded string without NULL bytes)");
    EXPECT_EQ(buf, nullptr);
}

TEST_F(GetArgs, LaterFailureFreesEncodedBuffers)
{
    // Leak detection proves the buffers go; the pointers are reset so a
    // caller that frees them anyway does no harm.
    Owned args(tup({S("one"), S("two"), S("three")}));
    char *a = nullptr, *b = nullptr;
    int n = 0;
    EXPECT_EQ(ZvArg_ParseTuple(args, "eses#i", nullptr, &a, nullptr, &b, &n, &n), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument 3 must be integer<i>, not str");
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
}

TEST_F(GetArgs, UnpackTupleStoresBorrowedItems)
{
    ZvObject *a = nullptr, *b = nullptr, *c = nullptr;
    Owned two(tup({I(1), I(2)}));
    ASSERT_EQ(ZvArg_UnpackTuple(two, "f", 1, 3, &a, &b, &c), 1);
    EXPECT_EQ(a, ZvTuple_GET_ITEM(two.get(), 0));
    EXPECT_EQ(b, ZvTuple_GET_ITEM(two.get(), 1));
    EXPECT_EQ(c, nullptr);

    EXPECT_EQ(ZvArg_UnpackTuple(two, "f", 3, 3, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f expected 3 arguments, got 2");
    EXPECT_EQ(ZvArg_UnpackTuple(two, "f", 3, 4, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f expected at least 3 arguments, got 2");
    EXPECT_EQ(ZvArg_UnpackTuple(two, "f", 0, 1, &a), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f expected at most 1 arguments, got 2");
    EXPECT_EQ(ZvArg_UnpackTuple(two, nullptr, 0, 1, &a), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "unpacked tuple should have at most 1 elements, but has 2");
    EXPECT_EQ(ZvArg_UnpackTuple(two, nullptr, 3, 3, &a), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "unpacked tuple should have 3 elements, but has 2");

    Owned notuple(I(1));
    EXPECT_EQ(ZvArg_UnpackTuple(notuple, "f", 0, 1, &a), 0);
    EXPECT_EQ(failure(ZvExc_SystemError), "ZvArg_UnpackTuple() argument list is not a tuple");
}

TEST_F(GetArgs, NoKeywords)
{
    EXPECT_EQ(_ZvArg_NoKeywords("f()", nullptr), 1);
    Owned d(ZvDict_New());
    EXPECT_EQ(_ZvArg_NoKeywords("f()", d), 1);
    ZvDict_SetItemString(d, "x", Owned(I(1)));
    EXPECT_EQ(_ZvArg_NoKeywords("f()", d), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() does not take keyword arguments");
}

TEST_F(GetArgs, OldConventionConvertsTheSingleArgument)
{
    int i = 0;
    Owned one(I(9));
    ASSERT_EQ(ZvArg_Parse(one, "i", &i), 1);
    EXPECT_EQ(i, 9);
    EXPECT_EQ(ZvArg_Parse(nullptr, "i", &i), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "function takes at least one argument");
    EXPECT_EQ(ZvArg_Parse(nullptr, ""), 1);
    EXPECT_EQ(ZvArg_Parse(one, ""), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "function takes no arguments");
    Owned s(S("x"));
    EXPECT_EQ(ZvArg_Parse(s, "i", &i), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "argument must be integer<i>, not str");

    int a = 0, b = 0;
    Owned pair(tup({I(1), I(2)}));
    ASSERT_EQ(ZvArg_Parse(pair, "(ii)", &a, &b), 1);
    ASSERT_EQ(ZvArg_Parse(pair, "ii", &a, &b), 1);
    EXPECT_EQ(a + b, 3);
}

using GetArgsDeath = ZvTest;

TEST_F(GetArgsDeath, MalformedFormatsAreFatal)
{
    int a;
    Owned args(tup({I(1)}));
    EXPECT_DEATH(ZvArg_ParseTuple(args, "i)", &a), "excess '\\)' in getargs format");
    EXPECT_DEATH(ZvArg_ParseTuple(args, "(i", &a), "missing '\\)' in getargs format");
    Owned one(I(1));
    EXPECT_DEATH(ZvArg_Parse(one, "i:f", &a), "old style getargs format uses new features");
}

// ---------------------------------------------------------------------------
// Keyword parsing.

class Keywords : public ZvTest {
protected:
    ZvObject *kw(std::initializer_list<std::pair<const char *, ZvObject *>> items)
    {
        ZvObject *d = ZvDict_New();
        for (auto &[k, v] : items) {
            ZvDict_SetItemString(d, k, v);
            Zv_DECREF(v);
        }
        return d;
    }
    char *names[4] = {(char *)"a", (char *)"b", (char *)"c", nullptr};
};

TEST_F(Keywords, PositionalAndNamedFillUnitsInOrder)
{
    int a = 0, b = 0, c = -1;
    Owned args(tup({I(1)}));
    Owned kwargs(kw({{"b", I(2)}}));
    ASSERT_EQ(ZvArg_ParseTupleAndKeywords(args, kwargs, "ii|i:f", names, &a, &b, &c), 1);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, -1);

    Owned empty(ZvTuple_New(0));
    Owned all(kw({{"c", I(3)}, {"a", I(1)}, {"b", I(2)}}));
    ASSERT_EQ(ZvArg_ParseTupleAndKeywords(empty, all, "ii|i:f", names, &a, &b, &c), 1);
    EXPECT_EQ(a * 100 + b * 10 + c, 123);

    ASSERT_EQ(ZvArg_ParseTupleAndKeywords(args, nullptr, "i|ii", names, &a, &b, &c), 1);
}

TEST_F(Keywords, SkippedOptionalUnitsConsumeTheirDestinations)
{
    // "b" is skipped (O! takes two destinations, es# three); "c" must
    // still land in its own variable.
    char *names4[] = {(char *)"a", (char *)"b", (char *)"e", (char *)"c", nullptr};
    int a = 0, c = 0, n = 0;
    ZvObject *b = nullptr;
    char *buf = nullptr;
    Owned args(tup({I(1)}));
    Owned kwargs(kw({{"c", I(7)}}));
    ASSERT_EQ(ZvArg_ParseTupleAndKeywords(args, kwargs, "i|O!es#i", names4, &a, &ZvInt_Type,
                                          &b, "ascii", &buf, &n, &c),
              1);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(c, 7);
}

TEST_F(Keywords, ConflictsAndUnknownNames)
{
    int a = 0, b = 0, c = 0;
    Owned args(tup({I(1)}));
    Owned twice(kw({{"a", I(1)}}));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, twice, "i|ii", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "keyword parameter 'a' was given by position and by name");

    Owned unknown(kw({{"zz", I(1)}}));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, unknown, "i|ii", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "'zz' is an invalid keyword argument for this function");

    Owned nonstring(ZvDict_New());
    ZvDict_SetItem(nonstring, Owned(I(5)), Owned(I(1)));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, nonstring, "i|ii", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "keywords must be strings");
}

TEST_F(Keywords, CountsIncludeRequiredNamedArguments)
{
    int a = 0, b = 0, c = 0;
    Owned empty(ZvTuple_New(0));
    Owned only_b(kw({{"b", I(2)}}));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(empty, only_b, "ii|i:f", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() takes at least 2 arguments (1 given)");

    Owned four(tup({I(1), I(2), I(3), I(4)}));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(four, nullptr, "ii|i:f", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() takes at most 3 arguments (4 given)");

    Owned bad(kw({{"b", S("x")}}));
    Owned one(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(one, bad, "ii|i:f", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_TypeError), "f() argument 2 must be integer<i>, not str");
}

TEST_F(Keywords, FormatAndKeywordListMustAgree)
{
    int a, b, c, d;
    Owned args(tup({I(1)}));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, nullptr, "iiii", names, &a, &b, &c, &d), 0);
    EXPECT_EQ(failure(ZvExc_SystemError), "more argument specifiers than keyword list entries");
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, nullptr, "ii", names, &a, &b), 0);
    EXPECT_EQ(failure(ZvExc_SystemError), "more keyword list entries than argument specifiers");
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, nullptr, "(ii)i", names, &a, &b, &c), 0);
    EXPECT_EQ(failure(ZvExc_SystemError), "tuple found in format when using keyword arguments");

    Owned notdict(I(1));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, notdict, "iii", names, &a, &b, &c), 0);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(notdict, nullptr, "iii", names, &a, &b, &c), 0);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

} // namespace

namespace {

int va_parse(ZvObject *args, const char *format, ...)
{
    va_list va;
    va_start(va, format);
    int r = ZvArg_VaParse(args, format, va);
    va_end(va);
    return r;
}

int va_parse_kw(ZvObject *args, ZvObject *kw, const char *format, char **names, ...)
{
    va_list va;
    va_start(va, names);
    int r = ZvArg_VaParseTupleAndKeywords(args, kw, format, names, va);
    va_end(va);
    return r;
}

TEST_F(GetArgs, VaListForms)
{
    int a = 0, b = 0;
    Owned args(tup({I(3), I(4)}));
    ASSERT_EQ(va_parse(args, "ii", &a, &b), 1);
    EXPECT_EQ(a * 10 + b, 34);
    char *names[] = {(char *)"x", (char *)"y", nullptr};
    Owned one(tup({I(5)}));
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "y", Owned(I(6)));
    ASSERT_EQ(va_parse_kw(one, kw, "ii", names, &a, &b), 1);
    EXPECT_EQ(a * 10 + b, 56);
}

TEST_F(GetArgs, DeepGroupsReportAPrefixOfTheItemPath)
{
    // Forty nested one-item groups around a string given to "i": deeper
    // than the path the message can name, which must stay bounded.
    const int depth = 40;
    ZvObject *arg = S("x");
    std::string fmt = "i";
    for (int i = 0; i < depth; i++) {
        arg = tup({arg});
        fmt = "(" + fmt + ")";
    }
    Owned args(tup({arg}));
    int v;
    EXPECT_EQ(ZvArg_ParseTuple(args, fmt.c_str(), &v), 0);
    std::string text = failure(ZvExc_TypeError);
    EXPECT_EQ(text.rfind("argument 1, item 0, item 0", 0), 0u) << text;
    EXPECT_NE(text.find("must be integer<i>, not str"), std::string::npos) << text;
}

} // namespace
