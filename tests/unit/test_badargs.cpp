// API misuse: every exported function handed NULL, an object of the wrong
// type, malformed numeric text or an out-of-range size must fail cleanly
// with the documented exception and the error result (NULL or -1), never
// crash, read freed memory or leak.  The sweep is table-driven, one table
// per family; each row names the call, the exception and (when the message
// is fixed) the message.
#include <climits>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "zvtest.h"

namespace {

using BadArgs = ZvTest;

constexpr const char *kBad = "bad argument to internal function";
constexpr const char *kNull = "null argument to internal routine";
constexpr const char *kBadType = "bad argument type for built-in operation";

// One misuse: `call` performs it and reports whether it returned the error
// value; `exc` is the exception expected; `msg`, when set, the exact message
// (kBad also accepts the "file:line: " prefix of the located variant).
struct Misuse {
    const char *what;
    std::function<bool()> call;
    ZvObject **exc;
    const char *msg;
};

// Error-value tests that also release a result returned by mistake.
bool null_result(ZvObject *r)
{
    if (r == nullptr) return true;
    Zv_DECREF(r);
    return false;
}
bool minus_one(int r) { return r == -1; }

bool ends_with(const std::string &s, const char *tail)
{
    std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

void sweep(const std::vector<Misuse> &cases)
{
    for (const Misuse &c : cases) {
        SCOPED_TRACE(c.what);
        ZvErr_Clear();
        EXPECT_TRUE(c.call()) << "did not report failure";
        ASSERT_NE(ZvErr_Occurred(), nullptr) << "failed without an error set";
        EXPECT_TRUE(ZvErr_ExceptionMatches(*c.exc))
            << "raised " << zv_repr(ZvErr_Occurred());
        std::string text = zv_error_text();
        if (c.msg == nullptr) continue;
        if (c.msg == kBad)
            EXPECT_TRUE(ends_with(text, kBad)) << text;
        else
            EXPECT_EQ(text, c.msg);
    }
}

#define OBJ(expr) [&] { return null_result(expr); }
#define INT(expr) [&] { return minus_one(expr); }
// For functions whose error value is a legal result too (-1 for an int).
#define ANY(expr) [&] { (void)(expr); return ZvErr_Occurred() != nullptr; }
#define STR(expr) [&] { return (expr) == nullptr; }

// A fresh reference for the functions that steal their item argument.
ZvObject *fresh() { return ZvString_FromString("stolen"); }

} // namespace

// Objects of the wrong kind handed to concrete-type functions are internal
// errors; NULL is too.
TEST_F(BadArgs, ConcreteContainersRefuseOtherTypes)
{
    Owned num(ZvInt_FromLong(7)), str(ZvString_FromString("abc"));
    Owned list(ZvList_New(0)), tup(ZvTuple_New(0)), dict(ZvDict_New());
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject *n = nullptr;
    sweep({
        {"ZvTuple_New(-1)", OBJ(ZvTuple_New(-1)), SE, kBad},
        {"ZvTuple_Size(list)", INT(ZvTuple_Size(list)), SE, kBad},
        {"ZvTuple_Size(NULL)", INT(ZvTuple_Size(n)), SE, kBad},
        {"ZvTuple_GetItem(list)", OBJ(ZvTuple_GetItem(list, 0)), SE, kBad},
        {"ZvTuple_GetItem(NULL)", OBJ(ZvTuple_GetItem(n, 0)), SE, kBad},
        {"ZvTuple_SetItem(list)", INT(ZvTuple_SetItem(list, 0, fresh())), SE, kBad},
        {"ZvTuple_SetItem(NULL)", INT(ZvTuple_SetItem(n, 0, fresh())), SE, kBad},
        {"ZvTuple_GetSlice(dict)", OBJ(ZvTuple_GetSlice(dict, 0, 1)), SE, kBad},
        {"ZvTuple_GetSlice(NULL)", OBJ(ZvTuple_GetSlice(n, 0, 1)), SE, kBad},

        {"ZvList_New(-1)", OBJ(ZvList_New(-1)), SE, kBad},
        {"ZvList_New(INT_MAX)", OBJ(ZvList_New(INT_MAX)), &ZvExc_MemoryError, nullptr},
        {"ZvList_Size(dict)", INT(ZvList_Size(dict)), SE, kBad},
        {"ZvList_Size(NULL)", INT(ZvList_Size(n)), SE, kBad},
        {"ZvList_GetItem(tuple)", OBJ(ZvList_GetItem(tup, 0)), SE, kBad},
        {"ZvList_SetItem(dict)", INT(ZvList_SetItem(dict, 0, fresh())), SE, kBad},
        {"ZvList_SetItem(NULL)", INT(ZvList_SetItem(n, 0, fresh())), SE, kBad},
        {"ZvList_Insert(dict)", INT(ZvList_Insert(dict, 0, num)), SE, kBad},
        {"ZvList_Insert(item NULL)", INT(ZvList_Insert(list, 0, n)), SE, kBad},
        {"ZvList_Append(tuple)", INT(ZvList_Append(tup, num)), SE, kBad},
        {"ZvList_Append(item NULL)", INT(ZvList_Append(list, n)), SE, kBad},
        {"ZvList_GetSlice(str)", OBJ(ZvList_GetSlice(str, 0, 1)), SE, kBad},
        {"ZvList_SetSlice(str)", INT(ZvList_SetSlice(str, 0, 1, n)), SE, kBad},
        {"ZvList_Sort(tuple)", INT(ZvList_Sort(tup)), SE, kBad},
        {"ZvList_Sort(NULL)", INT(ZvList_Sort(n)), SE, kBad},
        {"ZvList_Reverse(dict)", INT(ZvList_Reverse(dict)), SE, kBad},
        {"ZvList_AsTuple(tuple)", OBJ(ZvList_AsTuple(tup)), SE, kBad},
        {"ZvList_AsTuple(NULL)", OBJ(ZvList_AsTuple(n)), SE, kBad},

        {"ZvDict_SetItem(list)", INT(ZvDict_SetItem(list, num, num)), SE, kBad},
        {"ZvDict_SetItem(NULL)", INT(ZvDict_SetItem(n, num, num)), SE, kBad},
        {"ZvDict_SetItem(key NULL)", INT(ZvDict_SetItem(dict, n, num)), SE, kBad},
        {"ZvDict_SetItem(value NULL)", INT(ZvDict_SetItem(dict, num, n)), SE, kBad},
        {"ZvDict_DelItem(list)", INT(ZvDict_DelItem(list, num)), SE, kBad},
        {"ZvDict_DelItem(key NULL)", INT(ZvDict_DelItem(dict, n)), SE, kBad},
        {"ZvDict_Keys(list)", OBJ(ZvDict_Keys(list)), SE, kBad},
        {"ZvDict_Values(NULL)", OBJ(ZvDict_Values(n)), SE, kBad},
        {"ZvDict_Items(tuple)", OBJ(ZvDict_Items(tup)), SE, kBad},
        {"ZvDict_Size(list)", INT(ZvDict_Size(list)), SE, kBad},
        {"ZvDict_Copy(list)", OBJ(ZvDict_Copy(list)), SE, kBad},
        {"ZvDict_Update(list, dict)", INT(ZvDict_Update(list, dict)), SE, kBad},
        {"ZvDict_Merge(dict, NULL)", INT(ZvDict_Merge(dict, n, 1)), SE, kBad},
        {"ZvDict_Merge(dict, int)", INT(ZvDict_Merge(dict, num, 1)), &ZvExc_AttributeError,
         nullptr},
        {"ZvDict_MergeFromSeq2(list)", INT(ZvDict_MergeFromSeq2(list, list, 1)), SE, kBad},
        {"ZvDict_MergeFromSeq2(dict, int)", INT(ZvDict_MergeFromSeq2(dict, num, 1)),
         &ZvExc_TypeError, nullptr},
        {"ZvDict_Contains(list)", INT(ZvDict_Contains(list, num)), SE, kBad},
        {"ZvDict_SetItemString(list)", INT(ZvDict_SetItemString(list, "a", num)), SE, kBad},
        {"ZvDict_SetItemString(key NULL)", INT(ZvDict_SetItemString(dict, nullptr, num)), SE,
         kBad},
        {"ZvDict_DelItemString(list)", INT(ZvDict_DelItemString(list, "a")), SE, kBad},
    });
    // An unhashable key is a TypeError, not an internal error.
    sweep({
        {"ZvDict_SetItem(list key)", INT(ZvDict_SetItem(dict, list, num)), &ZvExc_TypeError,
         "list objects are unhashable"},
        {"ZvDict_DelItem(list key)", INT(ZvDict_DelItem(dict, list)), &ZvExc_TypeError,
         "list objects are unhashable"},
    });
    // Nothing of the rejected calls stuck to the containers.
    EXPECT_EQ(ZvList_Size(list), 0);
    EXPECT_EQ(ZvDict_Size(dict), 0);
}

// ZvDict_GetItem on a non-dictionary must not leave the error set (it is
// the error-suppressing lookup); ZvDict_Clear on a non-dictionary does
// nothing.  Neither may crash.
TEST_F(BadArgs, SilentDictionaryCallsStaySilent)
{
    Owned list(ZvList_New(0)), num(ZvInt_FromLong(1));
    EXPECT_EQ(ZvDict_GetItem(list, num), nullptr);
    EXPECT_EQ(ZvDict_GetItem(nullptr, num), nullptr);
    Owned dict(ZvDict_New());
    EXPECT_EQ(ZvDict_GetItem(dict, list), nullptr); // unhashable: cleared
    EXPECT_EQ(ZvDict_GetItem(dict, nullptr), nullptr);
    EXPECT_EQ(ZvDict_GetItemString(list, "a"), nullptr);
    EXPECT_EQ(ZvDict_GetItemString(nullptr, "a"), nullptr);
    EXPECT_EQ(ZvDict_GetItemString(dict, nullptr), nullptr);
    int pos = 0;
    ZvObject *k = nullptr, *v = nullptr;
    EXPECT_EQ(ZvDict_Next(list, &pos, &k, &v), 0);
    EXPECT_EQ(ZvDict_Next(nullptr, &pos, &k, &v), 0);
    pos = -3;
    EXPECT_EQ(ZvDict_Next(dict, &pos, &k, &v), 0);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    ZvDict_Clear(list);
    ZvDict_Clear(nullptr);
    EXPECT_EQ(ZvList_Size(list), 0);
    ZvErr_Clear();
}

TEST_F(BadArgs, StringsRefuseOtherTypes)
{
    Owned num(ZvInt_FromLong(7)), list(ZvList_New(0)), str(ZvString_FromString("ab"));
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject **TE = &ZvExc_TypeError;
    ZvObject *n = nullptr;
    char *s = nullptr;
    int len = 0;
    sweep({
        {"FromStringAndSize(-1)", OBJ(ZvString_FromStringAndSize("x", -1)), SE, nullptr},
        {"Size(int)", INT(ZvString_Size(num)), TE, nullptr},
        {"Size(NULL)", INT(ZvString_Size(n)), SE, nullptr},
        {"AsString(list)", STR(ZvString_AsString(list)), TE, nullptr},
        {"AsString(NULL)", STR(ZvString_AsString(n)), SE, nullptr},
        {"AsStringAndSize(int)", INT(ZvString_AsStringAndSize(num, &s, &len)), TE,
         "expected string or Unicode object, int found"},
        {"AsStringAndSize(NULL)", INT(ZvString_AsStringAndSize(n, &s, &len)), SE, nullptr},
        {"AsStringAndSize(s NULL)", INT(ZvString_AsStringAndSize(str, nullptr, &len)), SE,
         kBad},
        {"Repr(int)", OBJ(ZvString_Repr(num, 1)), SE, nullptr},
        {"Format(int, ...)", OBJ(ZvString_Format(num, list)), SE, kBad},
        {"Format(str, NULL)", OBJ(ZvString_Format(str, n)), SE, kBad},
        {"_Join(int, list)", OBJ(_ZvString_Join(num, list)), SE, nullptr},
        {"AsEncodedObject(int)", OBJ(ZvString_AsEncodedObject(num, nullptr, nullptr)), TE,
         kBadType},
        {"AsDecodedObject(NULL)", OBJ(ZvString_AsDecodedObject(n, nullptr, nullptr)), TE,
         kBadType},
        {"AsEncodedString(list)", OBJ(ZvString_AsEncodedString(list, nullptr, nullptr)), TE,
         kBadType},
        {"AsDecodedString(int)", OBJ(ZvString_AsDecodedString(num, nullptr, nullptr)), TE,
         kBadType},
    });

    // Resizing anything but a private string drops the reference and
    // reports an internal error.
    ZvObject *shared = ZvString_FromString("shared text");
    Zv_INCREF(shared);
    ZvObject *p = shared;
    EXPECT_EQ(_ZvString_Resize(&p, 3), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_TRUE(ends_with(zv_error_text(), kBad));
    Zv_DECREF(shared);
    ZvObject *notstr = ZvList_New(0);
    EXPECT_EQ(_ZvString_Resize(&notstr, 3), -1);
    EXPECT_EQ(notstr, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    ZvObject *neg = ZvString_FromStringAndSize(nullptr, 10);
    EXPECT_EQ(_ZvString_Resize(&neg, -1), -1);
    EXPECT_EQ(neg, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    // Concatenation with a bad right operand or a non-string left one
    // releases *pv and leaves NULL; a NULL *pv is left alone.
    ZvObject *left = ZvString_FromString("left");
    ZvString_Concat(&left, nullptr);
    EXPECT_EQ(left, nullptr);
    ZvErr_Clear();
    left = ZvString_FromString("left");
    ZvString_Concat(&left, num);
    EXPECT_EQ(left, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    left = ZvList_New(0);
    ZvString_ConcatAndDel(&left, ZvString_FromString("x"));
    EXPECT_EQ(left, nullptr);
    ZvErr_Clear();
    ZvObject *none = nullptr;
    ZvString_ConcatAndDel(&none, ZvString_FromString("x"));
    EXPECT_EQ(none, nullptr);
    ZvErr_Clear();
    ZvString_Concat(nullptr, str);
    ZvErr_Clear();
}

// Malformed numeric text, bases outside 2..36 and values that do not fit
// raise the documented ValueError/OverflowError; nothing wraps around.
TEST_F(BadArgs, NumbersRejectMalformedTextBasesAndOverflow)
{
    ZvObject **VE = &ZvExc_ValueError;
    ZvObject **OE = &ZvExc_OverflowError;
    ZvObject **TE = &ZvExc_TypeError;
    ZvObject **SE = &ZvExc_SystemError;
    Owned str(ZvString_FromString("abc")), list(ZvList_New(0)), num(ZvInt_FromLong(3));
    Owned big(ZvLong_FromString("123456789012345678901234567890", nullptr, 10));
    Owned neg(ZvLong_FromLong(-1));
    ZvErr_Clear();
    Owned vast(ZvNumber_Power(big, Owned(ZvInt_FromLong(20)), Zv_None));
    ZvObject *n = nullptr;
    sweep({
        {"int base 1", OBJ(ZvInt_FromString("1", nullptr, 1)), VE,
         "int() base must be >= 2 and <= 36"},
        {"int base 37", OBJ(ZvInt_FromString("1", nullptr, 37)), VE,
         "int() base must be >= 2 and <= 36"},
        {"int base -1", OBJ(ZvInt_FromString("1", nullptr, -1)), VE,
         "int() base must be >= 2 and <= 36"},
        {"int '12a'", OBJ(ZvInt_FromString("12a", nullptr, 10)), VE,
         "invalid literal for int(): 12a"},
        {"int ''", OBJ(ZvInt_FromString("", nullptr, 10)), VE, nullptr},
        {"int '   '", OBJ(ZvInt_FromString("   ", nullptr, 10)), VE, nullptr},
        {"int '-'", OBJ(ZvInt_FromString("-", nullptr, 10)), VE, nullptr},
        {"int '0x' base 0", OBJ(ZvInt_FromString("0x", nullptr, 0)), VE, nullptr},
        {"int '9' base 8", OBJ(ZvInt_FromString("9", nullptr, 8)), VE, nullptr},
        {"int NULL text", OBJ(ZvInt_FromString(nullptr, nullptr, 10)), SE, kBad},
        {"ZvInt_AsLong(NULL)", ANY(ZvInt_AsLong(n)), TE, "an integer is required"},
        {"ZvInt_AsLong(str)", ANY(ZvInt_AsLong(str)), TE, "an integer is required"},
        {"ZvInt_AsLong(big long)", ANY(ZvInt_AsLong(big)), OE, nullptr},
        {"ZvInt_AsUnsignedLongMask(list)", ANY(ZvInt_AsUnsignedLongMask(list)), TE,
         "an integer is required"},
        {"ZvInt_AsUnsignedLongLongMask(NULL)", ANY(ZvInt_AsUnsignedLongLongMask(n)), TE,
         "an integer is required"},

        {"long base 1", OBJ(ZvLong_FromString("1", nullptr, 1)), VE,
         "long() arg 2 must be >= 2 and <= 36"},
        {"long base 37", OBJ(ZvLong_FromString("1", nullptr, 37)), VE,
         "long() arg 2 must be >= 2 and <= 36"},
        {"long 'z' base 10", OBJ(ZvLong_FromString("z", nullptr, 10)), VE,
         "invalid literal for long(): z"},
        {"long '12L5'", OBJ(ZvLong_FromString("12L5", nullptr, 10)), VE, nullptr},
        {"long ''", OBJ(ZvLong_FromString("", nullptr, 0)), VE, nullptr},
        {"long '+'", OBJ(ZvLong_FromString("+", nullptr, 0)), VE, nullptr},
        {"long NULL text", OBJ(ZvLong_FromString(nullptr, nullptr, 10)), SE, kBad},
        {"long from inf", OBJ(ZvLong_FromDouble(HUGE_VAL)), OE,
         "cannot convert float infinity to long"},
        {"long from -inf", OBJ(ZvLong_FromDouble(-HUGE_VAL)), OE,
         "cannot convert float infinity to long"},
        {"long from nan", OBJ(ZvLong_FromDouble(NAN)), VE, nullptr},
        {"ZvLong_AsLong(str)", ANY(ZvLong_AsLong(str)), SE, kBad},
        {"ZvLong_AsLong(NULL)", ANY(ZvLong_AsLong(n)), SE, kBad},
        {"ZvLong_AsLong(big)", ANY(ZvLong_AsLong(big)), OE,
         "long int too large to convert to int"},
        {"ZvLong_AsUnsignedLong(-1L)", ANY(ZvLong_AsUnsignedLong(neg)), OE,
         "can't convert negative value to unsigned long"},
        {"ZvLong_AsUnsignedLong(big)", ANY(ZvLong_AsUnsignedLong(big)), OE,
         "long int too large to convert"},
        {"ZvLong_AsUnsignedLong(str)", ANY(ZvLong_AsUnsignedLong(str)), SE, kBad},
        {"ZvLong_AsUnsignedLongMask(NULL)", ANY(ZvLong_AsUnsignedLongMask(n)), SE, kBad},
        {"ZvLong_AsLongLong(str)", ANY(ZvLong_AsLongLong(str)), TE, "an integer is required"},
        {"ZvLong_AsLongLong(NULL)", ANY(ZvLong_AsLongLong(n)), SE, kBad},
        {"ZvLong_AsLongLong(big)", ANY(ZvLong_AsLongLong(big)), OE, "long too big to convert"},
        {"ZvLong_AsUnsignedLongLong(-1L)", ANY(ZvLong_AsUnsignedLongLong(neg)), OE,
         "can't convert negative long to unsigned"},
        {"ZvLong_AsUnsignedLongLong(big)", ANY(ZvLong_AsUnsignedLongLong(big)), OE,
         "long too big to convert"},
        {"ZvLong_AsUnsignedLongLong(list)", ANY(ZvLong_AsUnsignedLongLong(list)), SE, nullptr},
        {"ZvLong_AsUnsignedLongLongMask(NULL)", ANY(ZvLong_AsUnsignedLongLongMask(n)), SE,
         nullptr},
        {"ZvLong_AsDouble(str)", ANY(ZvLong_AsDouble(str)), SE, kBad},
        {"ZvLong_AsDouble(NULL)", ANY(ZvLong_AsDouble(n)), SE, kBad},
        {"ZvLong_AsDouble(vast)", ANY(ZvLong_AsDouble(vast)), OE,
         "long int too large to convert to float"},
        {"ZvLong_AsVoidPtr(str)", ANY(ZvLong_AsVoidPtr(str)), SE, nullptr},

        {"ZvFloat_AsDouble(NULL)", ANY(ZvFloat_AsDouble(n)), SE, kBad},
        {"ZvFloat_AsDouble(str)", ANY(ZvFloat_AsDouble(str)), TE, "a float is required"},
        {"ZvFloat_AsDouble(vast)", ANY(ZvFloat_AsDouble(vast)), OE, nullptr},
        {"ZvFloat_FromString(list)", OBJ(ZvFloat_FromString(list, nullptr)), TE,
         "float() argument must be a string or a number"},
        {"ZvFloat_FromString(NULL)", OBJ(ZvFloat_FromString(n, nullptr)), SE, nullptr},
        {"ZvFloat_FromString('')", OBJ(ZvFloat_FromString(Owned(ZvString_FromString("")),
                                                          nullptr)),
         VE, "empty string for float()"},
        {"ZvFloat_FromString('1.5x')",
         OBJ(ZvFloat_FromString(Owned(ZvString_FromString("1.5x")), nullptr)), VE,
         "invalid literal for float(): 1.5x"},
        {"ZvFloat_FromString('1\\0')",
         OBJ(ZvFloat_FromString(Owned(ZvString_FromStringAndSize("1\0", 2)), nullptr)), VE,
         "null byte in argument for float()"},
    });
    // Values at the edges convert exactly; one past them does not.
    Owned min32(ZvLong_FromString("-2147483648", nullptr, 10));
    EXPECT_EQ(ZvLong_AsLong(min32), INT_MIN);
    Owned past(ZvLong_FromString("-2147483649", nullptr, 10));
    EXPECT_EQ(ZvLong_AsLong(past), -1);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
    Owned u32(ZvLong_FromString("4294967295", nullptr, 10));
    EXPECT_EQ(ZvLong_AsUnsignedLong(u32), 4294967295u);
    Owned u33(ZvLong_FromString("4294967296", nullptr, 10));
    EXPECT_EQ(ZvLong_AsUnsignedLong(u33), (uint32_t)-1);
    EXPECT_TRUE(zv_raised(ZvExc_OverflowError));
    // Text in base 10 past 32 bits becomes a long instead of wrapping.
    Owned wide32(ZvInt_FromString("2147483648", nullptr, 10));
    ASSERT_NE(wide32.get(), nullptr);
    EXPECT_EQ(zv_repr(wide32), "2147483648L");
    Owned wide8(ZvInt_FromString("040000000000", nullptr, 0));
    ASSERT_NE(wide8.get(), nullptr);
    EXPECT_EQ(zv_repr(wide8), "4294967296L");
}

TEST_F(BadArgs, ModulesSlicesAndIteratorsRefuseOtherTypes)
{
    Owned num(ZvInt_FromLong(7)), list(ZvList_New(0)), dict(ZvDict_New());
    Owned mod(ZvModule_New("m"));
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject *n = nullptr;
    int a = 0, b = 0, c = 0, d = 0;
    Owned nameless(ZvModule_New("gone"));
    ZvDict_DelItemString(ZvModule_GetDict(nameless), "__name__");
    Owned badname(ZvModule_New("bad"));
    ZvDict_SetItemString(ZvModule_GetDict(badname), "__name__", num);
    sweep({
        {"ZvModule_New(NULL)", OBJ(ZvModule_New(nullptr)), SE, nullptr},
        {"ZvModule_GetDict(dict)", STR(ZvModule_GetDict(dict)), SE, kBad},
        {"ZvModule_GetDict(NULL)", STR(ZvModule_GetDict(n)), SE, kBad},
        {"ZvModule_GetName(list)", STR(ZvModule_GetName(list)), SE, kBad},
        {"ZvModule_GetName(nameless)", STR(ZvModule_GetName(nameless)), SE, "nameless module"},
        {"ZvModule_GetName(int name)", STR(ZvModule_GetName(badname)), SE, "nameless module"},
        {"ZvModule_GetFilename(mod)", STR(ZvModule_GetFilename(mod)), SE,
         "module filename missing"},
        {"ZvModule_GetFilename(NULL)", STR(ZvModule_GetFilename(n)), SE, kBad},
        {"ZvModule_AddObject(dict)", INT(ZvModule_AddObject(dict, "x", fresh())),
         &ZvExc_TypeError, "ZvModule_AddObject() needs module as first arg"},
        {"ZvModule_AddObject(NULL value)", INT(ZvModule_AddObject(mod, "x", n)),
         &ZvExc_TypeError, "ZvModule_AddObject() needs non-NULL value"},
        {"ZvModule_AddIntConstant(list)", INT(ZvModule_AddIntConstant(list, "x", 1)),
         &ZvExc_TypeError, nullptr},
        {"ZvModule_AddStringConstant(NULL)", INT(ZvModule_AddStringConstant(n, "x", "y")),
         &ZvExc_TypeError, nullptr},
        {"ZvModule_AddStringConstant(value NULL)",
         INT(ZvModule_AddStringConstant(mod, "x", nullptr)), SE, nullptr},

        {"ZvSlice_GetIndices(list)",
         INT(ZvSlice_GetIndices((ZvSliceObject *)list.get(), 5, &a, &b, &c)), SE, kBad},
        {"ZvSlice_GetIndicesEx(list)",
         INT(ZvSlice_GetIndicesEx((ZvSliceObject *)list.get(), 5, &a, &b, &c, &d)), SE, kBad},
        {"ZvSlice_GetIndicesEx(NULL)", INT(ZvSlice_GetIndicesEx(nullptr, 5, &a, &b, &c, &d)),
         SE, kBad},

        {"ZvSeqIter_New(int)", OBJ(ZvSeqIter_New(num)), SE, kBad},
        {"ZvSeqIter_New(NULL)", OBJ(ZvSeqIter_New(n)), SE, kBad},
        {"ZvCallIter_New(NULL, x)", OBJ(ZvCallIter_New(n, num)), SE, kBad},
        {"ZvCallIter_New(f, NULL)", OBJ(ZvCallIter_New(num, n)), SE, kBad},
        {"ZvRange_New reps 2", OBJ(ZvRange_New(0, 3, 1, 2)), &ZvExc_ValueError,
         "ZvRange_New's 'repetitions' argument must be 1"},
        {"ZvRange_New overflow", OBJ(ZvRange_New(INT_MAX - 1, 10, 1, 1)),
         &ZvExc_OverflowError, "integer addition"},
    });
    // Slices of non-integer fields: a TypeError from the index conversion.
    Owned strslice(ZvSlice_New(Owned(ZvString_FromString("a")), nullptr, nullptr));
    EXPECT_EQ(ZvSlice_GetIndicesEx((ZvSliceObject *)strslice.get(), 5, &a, &b, &c, &d), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    Owned zero(ZvSlice_New(nullptr, nullptr, Owned(ZvInt_FromLong(0))));
    EXPECT_EQ(ZvSlice_GetIndicesEx((ZvSliceObject *)zero.get(), 5, &a, &b, &c, &d), -1);
    EXPECT_EQ(zv_error_text(), "slice step cannot be zero");
    // NULL fields become None.
    Owned all(ZvSlice_New(nullptr, nullptr, nullptr));
    ASSERT_NE(all.get(), nullptr);
    EXPECT_EQ(zv_repr(all), "slice(None, None, None)");
}

// The abstract protocols answer NULL arguments with SystemError "null
// argument to internal routine", and objects lacking the slot with the
// documented TypeError.
TEST_F(BadArgs, AbstractProtocolsRefuseNullAndMissingSlots)
{
    Owned num(ZvInt_FromLong(7)), list(ZvList_New(0)), str(ZvString_FromString("ab"));
    Owned dict(ZvDict_New()), tup(ZvTuple_New(0));
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject **TE = &ZvExc_TypeError;
    ZvObject *n = nullptr;
    int cmp = 0;
    const char *cb = nullptr;
    const void *rb = nullptr;
    void *wb = nullptr;
    int len = 0;
    // Every binary and unary entry point, named for the trace.
    using Bin = ZvObject *(*)(ZvObject *, ZvObject *);
    using Un = ZvObject *(*)(ZvObject *);
#define FN(f) {#f, f}
    const std::pair<const char *, Bin> binaries[] = {
        FN(ZvNumber_Add), FN(ZvNumber_Subtract), FN(ZvNumber_Multiply), FN(ZvNumber_Divide),
        FN(ZvNumber_FloorDivide), FN(ZvNumber_TrueDivide), FN(ZvNumber_Remainder),
        FN(ZvNumber_Divmod), FN(ZvNumber_Lshift), FN(ZvNumber_Rshift), FN(ZvNumber_And),
        FN(ZvNumber_Xor), FN(ZvNumber_Or), FN(ZvNumber_InPlaceAdd), FN(ZvNumber_InPlaceSubtract),
        FN(ZvNumber_InPlaceMultiply), FN(ZvNumber_InPlaceDivide), FN(ZvNumber_InPlaceFloorDivide),
        FN(ZvNumber_InPlaceTrueDivide), FN(ZvNumber_InPlaceRemainder),
        FN(ZvNumber_InPlaceLshift), FN(ZvNumber_InPlaceRshift), FN(ZvNumber_InPlaceAnd),
        FN(ZvNumber_InPlaceXor), FN(ZvNumber_InPlaceOr), FN(ZvSequence_Concat),
        FN(ZvSequence_InPlaceConcat), FN(ZvObject_GetItem),
    };
    const std::pair<const char *, Un> unaries[] = {
        FN(ZvNumber_Negative), FN(ZvNumber_Positive), FN(ZvNumber_Absolute),
        FN(ZvNumber_Invert),   FN(ZvNumber_Int),      FN(ZvNumber_Long),
        FN(ZvNumber_Float),    FN(ZvSequence_Tuple),  FN(ZvSequence_List),
        FN(ZvObject_GetIter),  FN(ZvObject_Type),
    };
#undef FN
    std::vector<Misuse> nulls;
    for (auto [name, f] : binaries) {
        nulls.push_back({name, [f, &num] { return null_result(f(nullptr, num)); }, SE, kNull});
        nulls.push_back({name, [f, &num] { return null_result(f(num, nullptr)); }, SE, kNull});
    }
    for (auto [name, f] : unaries)
        nulls.push_back({name, [f] { return null_result(f(nullptr)); }, SE, kNull});
    sweep(nulls);
    // The protocols' own NULL message.
    sweep({
        {"Power(NULL)", OBJ(ZvNumber_Power(n, num, Zv_None)), SE, kNull},
        {"InPlacePower(x, NULL)", OBJ(ZvNumber_InPlacePower(num, n, Zv_None)), SE, kNull},
        {"Size(NULL)", INT(ZvObject_Size(n)), SE, kNull},
        {"Sequence_Size(NULL)", INT(ZvSequence_Size(n)), SE, kNull},
        {"Mapping_Size(NULL)", INT(ZvMapping_Size(n)), SE, kNull},
        {"Sequence_Repeat(NULL)", OBJ(ZvSequence_Repeat(n, 2)), SE, kNull},
        {"Sequence_InPlaceRepeat(NULL)", OBJ(ZvSequence_InPlaceRepeat(n, 2)), SE, kNull},
        {"Sequence_GetItem(NULL)", OBJ(ZvSequence_GetItem(n, 0)), SE, kNull},
        {"Sequence_SetItem(NULL)", INT(ZvSequence_SetItem(n, 0, num)), SE, kNull},
        {"Sequence_DelItem(NULL)", INT(ZvSequence_DelItem(n, 0)), SE, kNull},
        {"Sequence_GetSlice(NULL)", OBJ(ZvSequence_GetSlice(n, 0, 1)), SE, kNull},
        {"Sequence_SetSlice(NULL)", INT(ZvSequence_SetSlice(n, 0, 1, list)), SE, kNull},
        {"Sequence_DelSlice(NULL)", INT(ZvSequence_DelSlice(n, 0, 1)), SE, kNull},
        {"Sequence_Fast(NULL)", OBJ(ZvSequence_Fast(n, "m")), SE, kNull},
        {"Sequence_Count(NULL)", INT(ZvSequence_Count(n, num)), SE, kNull},
        {"Sequence_Count(x, NULL)", INT(ZvSequence_Count(list, n)), SE, kNull},
        {"Sequence_Index(NULL)", INT(ZvSequence_Index(n, num)), SE, kNull},
        {"Sequence_Contains(NULL)", INT(ZvSequence_Contains(n, num)), SE, kNull},
        {"Mapping_GetItemString(NULL)", OBJ(ZvMapping_GetItemString(n, "a")), SE, kNull},
        {"Mapping_GetItemString(key NULL)", OBJ(ZvMapping_GetItemString(dict, nullptr)), SE,
         kNull},
        {"Mapping_SetItemString(NULL)", INT(ZvMapping_SetItemString(n, "a", num)), SE, kNull},
        {"Mapping_SetItemString(key NULL)", INT(ZvMapping_SetItemString(dict, nullptr, num)),
         SE, kNull},
        {"SetItem(NULL)", INT(ZvObject_SetItem(n, num, num)), SE, kNull},
        {"SetItem(x, k, NULL)", INT(ZvObject_SetItem(dict, num, n)), SE, kNull},
        {"DelItem(NULL)", INT(ZvObject_DelItem(n, num)), SE, kNull},
        {"DelItemString(NULL)", INT(ZvObject_DelItemString(n, "a")), SE, kNull},
        {"DelItemString(key NULL)", INT(ZvObject_DelItemString(dict, nullptr)), SE, kNull},
        {"Call(NULL)", OBJ(ZvObject_Call(n, tup, n)), SE, nullptr},
        {"CallObject(NULL)", OBJ(ZvObject_CallObject(n, n)), SE, kNull},
        {"CallFunction(NULL)", OBJ(ZvObject_CallFunction(n, nullptr)), SE, kNull},
        {"CallMethod(NULL)", OBJ(ZvObject_CallMethod(n, "m", nullptr)), SE, kNull},
        {"CallMethod(name NULL)", OBJ(ZvObject_CallMethod(list, nullptr, nullptr)), SE, kNull},
        {"CallFunctionObjArgs(NULL)", OBJ(ZvObject_CallFunctionObjArgs(n, nullptr)), SE, kNull},
        {"CallMethodObjArgs(NULL)", OBJ(ZvObject_CallMethodObjArgs(n, str.get(), nullptr)), SE,
         kNull},
        {"CallMethodObjArgs(name NULL)",
         OBJ(ZvObject_CallMethodObjArgs(list, n, nullptr)), SE, kNull},
        {"Cmp(NULL)", INT(ZvObject_Cmp(n, num, &cmp)), SE, kNull},
        {"IsInstance(NULL)", INT(ZvObject_IsInstance(n, num)), SE, nullptr},
        {"IsSubclass(x, NULL)", INT(ZvObject_IsSubclass(num, n)), SE, nullptr},
        {"AsCharBuffer(NULL)", INT(ZvObject_AsCharBuffer(n, &cb, &len)), SE, kNull},
        {"AsCharBuffer(out NULL)", INT(ZvObject_AsCharBuffer(str, nullptr, &len)), SE, kNull},
        {"AsReadBuffer(NULL)", INT(ZvObject_AsReadBuffer(n, &rb, &len)), SE, kNull},
        {"AsWriteBuffer(NULL)", INT(ZvObject_AsWriteBuffer(n, &wb, &len)), SE, kNull},
        {"Iter_Next(non-iterator)", OBJ(ZvIter_Next(list)), TE, nullptr},
        {"GetAttr(NULL)", OBJ(ZvObject_GetAttr(n, str)), SE, kBad},
        {"GetAttr(x, NULL)", OBJ(ZvObject_GetAttr(list, n)), SE, kBad},
        {"GetAttrString(NULL)", OBJ(ZvObject_GetAttrString(n, "a")), SE, kBad},
        {"GetAttrString(name NULL)", OBJ(ZvObject_GetAttrString(list, nullptr)), SE, nullptr},
        {"SetAttr(NULL)", INT(ZvObject_SetAttr(n, str, num)), SE, nullptr},
        {"SetAttr(name int)", INT(ZvObject_SetAttr(list, num, num)), TE, nullptr},
        {"GetAttr(name int)", OBJ(ZvObject_GetAttr(list, num)), TE, nullptr},
        {"RichCompare(NULL)", OBJ(ZvObject_RichCompare(n, num, Zv_EQ)), SE, nullptr},
        {"RichCompare(bad op)", OBJ(ZvObject_RichCompare(num, num, 99)), SE, nullptr},
        {"Hash(NULL)", INT(ZvObject_Hash(n)), SE, nullptr},
        {"IsTrue(NULL)", INT(ZvObject_IsTrue(n)), SE, nullptr},
        {"Not(NULL)", INT(ZvObject_Not(n)), SE, nullptr},
        {"Dir(NULL) outside a frame", OBJ(ZvObject_Dir(n)), SE, "frame does not exist"},
    });
    // Objects without the slot: the documented TypeErrors.
    sweep({
        {"Size(int)", INT(ZvObject_Size(num)), TE, "len() of unsized object"},
        {"Sequence_Size(dict)", INT(ZvSequence_Size(dict)), TE, "len() of unsized object"},
        {"Mapping_Size(int)", INT(ZvMapping_Size(num)), TE, "len() of unsized object"},
        {"GetItem(int)", OBJ(ZvObject_GetItem(num, num)), TE, "unsubscriptable object"},
        {"GetItem(list, str)", OBJ(ZvObject_GetItem(list, str)), TE, nullptr},
        {"SetItem(tuple)", INT(ZvObject_SetItem(tup, num, num)), TE,
         "object does not support item assignment"},
        {"DelItem(str)", INT(ZvObject_DelItem(str, num)), TE,
         "object doesn't support item deletion"},
        {"DelItem(int)", INT(ZvObject_DelItem(num, num)), TE,
         "object does not support item deletion"},
        {"Sequence_GetItem(dict)", OBJ(ZvSequence_GetItem(dict, 0)), TE,
         "unindexable object"},
        {"Sequence_SetItem(str)", INT(ZvSequence_SetItem(str, 0, num)), TE,
         "object does not support item assignment"},
        {"Sequence_DelItem(tuple)", INT(ZvSequence_DelItem(tup, 0)), TE,
         "object doesn't support item deletion"},
        {"Sequence_GetSlice(int)", OBJ(ZvSequence_GetSlice(num, 0, 1)), TE,
         "unsliceable object"},
        {"Sequence_SetSlice(str)", INT(ZvSequence_SetSlice(str, 0, 1, str)), TE,
         "object doesn't support slice assignment"},
        {"Sequence_DelSlice(tuple)", INT(ZvSequence_DelSlice(tup, 0, 1)), TE,
         "object doesn't support slice deletion"},
        {"Sequence_Concat(int)", OBJ(ZvSequence_Concat(num, num)), TE,
         "object can't be concatenated"},
        {"Sequence_Repeat(dict)", OBJ(ZvSequence_Repeat(dict, 2)), TE,
         "object can't be repeated"},
        {"Sequence_Fast(int)", OBJ(ZvSequence_Fast(num, "custom text")), TE, "custom text"},
        {"Sequence_Count(int)", INT(ZvSequence_Count(num, num)), TE,
         "iterable argument required"},
        {"Sequence_Index(list)", INT(ZvSequence_Index(list, num)), &ZvExc_ValueError,
         "sequence.index(x): x not in sequence"},
        {"GetIter(int)", OBJ(ZvObject_GetIter(num)), TE, "iteration over non-sequence"},
        {"Call(int)", OBJ(ZvObject_Call(num, tup, n)), TE, "'int' object is not callable"},
        {"CallMethod(no such)", OBJ(ZvObject_CallMethod(list, "nosuch", nullptr)),
         &ZvExc_AttributeError, "nosuch"},
        {"Negative(str)", OBJ(ZvNumber_Negative(str)), TE, "bad operand type for unary -"},
        {"Invert(list)", OBJ(ZvNumber_Invert(list)), TE, "bad operand type for unary ~"},
        {"Add(int, str)", OBJ(ZvNumber_Add(num, str)), TE,
         "unsupported operand type(s) for +: 'int' and 'str'"},
        {"Power(str, int)", OBJ(ZvNumber_Power(str, num, Zv_None)), TE,
         "unsupported operand type(s) for ** or pow(): 'str' and 'int'"},
        {"Multiply(list, float)", OBJ(ZvNumber_Multiply(list, Owned(ZvFloat_FromDouble(2)))),
         TE, "can't multiply sequence by non-int"},
        {"Int(list)", OBJ(ZvNumber_Int(list)), TE,
         "int() argument must be a string or a number"},
        {"Long(dict)", OBJ(ZvNumber_Long(dict)), TE,
         "long() argument must be a string or a number"},
        {"Int('1\\0')", OBJ(ZvNumber_Int(Owned(ZvString_FromStringAndSize("1\0", 2)))),
         &ZvExc_ValueError, "null byte in argument for int()"},
        {"Long('1\\0')", OBJ(ZvNumber_Long(Owned(ZvString_FromStringAndSize("1\0", 2)))),
         &ZvExc_ValueError, "null byte in argument for long()"},
        {"AsCharBuffer(int)", INT(ZvObject_AsCharBuffer(num, &cb, &len)), TE,
         "expected a character buffer object"},
        {"AsReadBuffer(list)", INT(ZvObject_AsReadBuffer(list, &rb, &len)), TE,
         "expected a readable buffer object"},
        {"AsWriteBuffer(str)", INT(ZvObject_AsWriteBuffer(str, &wb, &len)), TE, nullptr},
        {"IsInstance(x, int)", INT(ZvObject_IsInstance(num, num)), TE,
         "isinstance() arg 2 must be a class, type, or tuple of classes and types"},
        {"IsSubclass(int, type)", INT(ZvObject_IsSubclass(num, (ZvObject *)&ZvInt_Type)), TE,
         "issubclass() arg 1 must be a class"},
        {"IsSubclass(type, int)", INT(ZvObject_IsSubclass((ZvObject *)&ZvInt_Type, num)), TE,
         "issubclass() arg 2 must be a class or tuple of classes"},
    });
}

// A NULL argument passed while an error is already pending leaves that
// error in place rather than replacing it.
TEST_F(BadArgs, PendingErrorSurvivesNullArgument)
{
    ZvErr_SetString(ZvExc_KeyError, "earlier");
    EXPECT_EQ(ZvObject_GetItem(nullptr, nullptr), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_KeyError));
    EXPECT_EQ(ZvObject_Size(nullptr), -1);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_KeyError));
    EXPECT_EQ(ZvNumber_Add(nullptr, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "earlier");
}

// Type, descriptor and native-function entry points given the wrong kind.
TEST_F(BadArgs, TypesDescriptorsAndNativeFunctions)
{
    Owned num(ZvInt_FromLong(7)), list(ZvList_New(0)), tup(ZvTuple_New(0));
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject *n = nullptr;
    static ZvMethodDef meth = {"noargs", [](ZvObject *, ZvObject *) -> ZvObject * {
                                   Zv_INCREF(Zv_None);
                                   return Zv_None;
                               },
                               METH_NOARGS, nullptr};
    static ZvMethodDef badflags = {"bad", meth.ml_meth, 0x7000, nullptr};
    Owned fn(ZvCFunction_NewEx(&meth, nullptr, nullptr));
    Owned weird(ZvCFunction_NewEx(&badflags, nullptr, nullptr));
    Owned onearg(ZvTuple_Pack(1, num.get()));
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "a", num);
    sweep({
        {"ZvType_GenericAlloc(size -1)", OBJ(ZvType_GenericAlloc(&ZvList_Type, -1)), SE,
         nullptr},
        {"ZvCFunction_GetFunction(int)", STR(ZvCFunction_GetFunction(num)), SE, kBad},
        {"ZvCFunction_GetSelf(list)", STR(ZvCFunction_GetSelf(list)), SE, kBad},
        {"ZvCFunction_GetFlags(NULL)", INT(ZvCFunction_GetFlags(n)), SE, kBad},
        {"ZvCFunction_Call(int)", OBJ(ZvCFunction_Call(num, tup, n)), SE, kBad},
        {"ZvCFunction_Call(noargs, 1 arg)", OBJ(ZvCFunction_Call(fn, onearg, n)),
         &ZvExc_TypeError, "noargs() takes no arguments (1 given)"},
        {"ZvCFunction_Call(noargs, kw)", OBJ(ZvCFunction_Call(fn, tup, kw)), &ZvExc_TypeError,
         "noargs() takes no keyword arguments"},
        {"ZvCFunction_Call(bad flags)", OBJ(ZvCFunction_Call(weird, tup, n)), SE, nullptr},
        {"ZvCFunction_Call(args list)", OBJ(ZvCFunction_Call(fn, list, n)), SE, nullptr},
        {"ZvCFunction_NewEx(NULL)", OBJ(ZvCFunction_NewEx(nullptr, n, n)), SE, kBad},
        {"ZvDescr_NewMethod(NULL def)", OBJ(ZvDescr_NewMethod(&ZvList_Type, nullptr)), SE,
         kBad},
        {"ZvDescr_NewMethod(NULL type)", OBJ(ZvDescr_NewMethod(nullptr, &meth)), SE, kBad},
        {"ZvDescr_NewClassMethod(NULL)", OBJ(ZvDescr_NewClassMethod(&ZvList_Type, nullptr)),
         SE, kBad},
        {"ZvDescr_NewMember(NULL)", OBJ(ZvDescr_NewMember(&ZvList_Type, nullptr)), SE, kBad},
        {"ZvDescr_NewGetSet(NULL)", OBJ(ZvDescr_NewGetSet(&ZvList_Type, nullptr)), SE, kBad},
        {"ZvDescr_NewWrapper(NULL)", OBJ(ZvDescr_NewWrapper(&ZvList_Type, nullptr, nullptr)),
         SE, kBad},
        {"ZvDictProxy_New(NULL)", OBJ(ZvDictProxy_New(n)), SE, kBad},
        {"ZvWrapper_New(int, x)", OBJ(ZvWrapper_New(num, num)), SE, kBad},
        {"ZvWrapper_New(NULL)", OBJ(ZvWrapper_New(n, n)), SE, kBad},
        {"ZvType_GenericNew(NULL)", OBJ(ZvType_GenericNew(nullptr, tup, n)), SE, kBad},
        {"Zv_FindMethod(NULL)", OBJ(Zv_FindMethod(nullptr, list, "x")), &ZvExc_AttributeError,
         "x"},
        {"Zv_FindMethod(name NULL)", OBJ(Zv_FindMethod(&meth, list, nullptr)), SE, kBad},
    });
    EXPECT_EQ(ZvType_IsSubtype(&ZvList_Type, &ZvTuple_Type), 0);
    ZvErr_Clear();
    EXPECT_EQ(ZvType_Ready(nullptr), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    ZvErr_Clear();
}

// Argument parsing: an argument list that is not a tuple, malformed
// formats, and keyword tables that do not match the format are SystemError.
TEST_F(BadArgs, ArgumentParsingMisuse)
{
    Owned list(ZvList_New(0)), num(ZvInt_FromLong(7)), args(ZvTuple_Pack(1, num.get()));
    Owned kw(ZvDict_New()), intkey(ZvDict_New());
    ZvDict_SetItem(intkey, num, num);
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject **TE = &ZvExc_TypeError;
    ZvObject *n = nullptr;
    int i = 0, j = 0;
    ZvObject *o = nullptr;
    const char *s = nullptr;
    char kw1[] = "a", kw2[] = "b";
    char *one[] = {kw1, nullptr};
    char *two[] = {kw1, kw2, nullptr};
    sweep({
        {"ParseTuple(list)", [&] { return ZvArg_ParseTuple(list, "i", &i) == 0; }, SE,
         "new style getargs format but argument is not a tuple"},
        {"ParseTuple(NULL)", [&] { return ZvArg_ParseTuple(n, "i", &i) == 0; }, SE, nullptr},
        {"ParseTuple(str for i)", [&] { return ZvArg_ParseTuple(Owned(ZvTuple_Pack(1, list.get())), "i", &i) == 0; },
         TE, nullptr},
        {"ParseTuple(too many)", [&] { return ZvArg_ParseTuple(args, ":f") == 0; }, TE,
         "f() takes exactly 0 arguments (1 given)"},
        {"ParseTuple(int overflow)",
         [&] {
             Owned big(ZvLong_FromString("99999999999", nullptr, 10));
             Owned a(ZvTuple_Pack(1, big.get()));
             return ZvArg_ParseTuple(a, "i", &i) == 0;
         },
         &ZvExc_OverflowError, nullptr},
        {"ParseTuple(byte overflow)",
         [&] {
             Owned big(ZvInt_FromLong(300));
             Owned a(ZvTuple_Pack(1, big.get()));
             unsigned char b = 0;
             return ZvArg_ParseTuple(a, "b", &b) == 0;
         },
         &ZvExc_OverflowError, nullptr},
        {"ParseTuple(short underflow)",
         [&] {
             Owned big(ZvInt_FromLong(-40000));
             Owned a(ZvTuple_Pack(1, big.get()));
             short h = 0;
             return ZvArg_ParseTuple(a, "h", &h) == 0;
         },
         &ZvExc_OverflowError, nullptr},
        {"ParseTuple(s given int)", [&] { return ZvArg_ParseTuple(args, "s", &s) == 0; }, TE,
         nullptr},
        {"ParseTuple(O! wrong type)",
         [&] { return ZvArg_ParseTuple(args, "O!", &ZvList_Type, &o) == 0; }, TE, nullptr},
        {"ParseTupleAndKeywords(list)",
         [&] { return ZvArg_ParseTupleAndKeywords(list, kw, "i", one, &i) == 0; }, SE, kBad},
        {"ParseTupleAndKeywords(kw list)",
         [&] { return ZvArg_ParseTupleAndKeywords(args, list, "i", one, &i) == 0; }, SE, kBad},
        {"ParseTupleAndKeywords(NULL names)",
         [&] { return ZvArg_ParseTupleAndKeywords(args, kw, "i", nullptr, &i) == 0; }, SE,
         kBad},
        {"ParseTupleAndKeywords(NULL format)",
         [&] { return ZvArg_ParseTupleAndKeywords(args, kw, nullptr, one, &i) == 0; }, SE,
         kBad},
        {"ParseTupleAndKeywords(paren)",
         [&] { return ZvArg_ParseTupleAndKeywords(args, kw, "(i)", one, &i) == 0; }, SE,
         "tuple found in format when using keyword arguments"},
        {"ParseTupleAndKeywords(more specifiers)",
         [&] { return ZvArg_ParseTupleAndKeywords(args, kw, "ii", one, &i, &j) == 0; }, SE,
         "more argument specifiers than keyword list entries"},
        {"ParseTupleAndKeywords(more keywords)",
         [&] { return ZvArg_ParseTupleAndKeywords(args, kw, "i", two, &i) == 0; }, SE,
         "more keyword list entries than argument specifiers"},
        {"ParseTupleAndKeywords(int key)",
         [&] {
             Owned none(ZvTuple_New(0));
             return ZvArg_ParseTupleAndKeywords(none, intkey, "|i", one, &i) == 0;
         },
         TE, "keywords must be strings"},
        {"UnpackTuple(list)", [&] { return ZvArg_UnpackTuple(list, "f", 0, 1, &o) == 0; }, SE,
         "ZvArg_UnpackTuple() argument list is not a tuple"},
        {"UnpackTuple(NULL)", [&] { return ZvArg_UnpackTuple(n, "f", 0, 1, &o) == 0; }, SE,
         nullptr},
        {"UnpackTuple(count)", [&] { return ZvArg_UnpackTuple(args, "f", 2, 2, &o, &o) == 0; },
         TE, "f expected 2 arguments, got 1"},
        {"UnpackTuple(unnamed)", [&] { return ZvArg_UnpackTuple(args, nullptr, 2, 3, &o, &o, &o) == 0; },
         TE, "unpacked tuple should have at least 2 elements, but has 1"},
        {"_ZvArg_NoKeywords(list)", [&] { return _ZvArg_NoKeywords("f()", list) == 0; }, SE,
         kBad},
    });
}

// Value building: malformed formats and NULL objects are SystemError and
// release whatever was built before the failure (the leak checker holds
// the sweep to that).
TEST_F(BadArgs, BuildValueMisuse)
{
    ZvObject **SE = &ZvExc_SystemError;
    ZvObject *n = nullptr;
    Owned num(ZvInt_FromLong(7));
    sweep({
        {"bad char", OBJ(Zv_BuildValue("iQ", 1)), SE, "bad format char passed to Zv_BuildValue"},
        {"bad char in tuple", OBJ(Zv_BuildValue("(s#Q)", "ab", 2)), SE,
         "bad format char passed to Zv_BuildValue"},
        {"unmatched top", OBJ(Zv_BuildValue("i)", 1)), SE, nullptr},
        {"unmatched open", OBJ(Zv_BuildValue("(ii", 1, 2)), SE, "unmatched paren in format"},
        {"unmatched list", OBJ(Zv_BuildValue("[i", 1)), SE, "unmatched paren in format"},
        {"crossed brackets", OBJ(Zv_BuildValue("(i]", 1)), SE, nullptr},
        {"crossed in list", OBJ(Zv_BuildValue("[(i])", 1)), SE, nullptr},
        {"unmatched dict", OBJ(Zv_BuildValue("{ss", "a", "b")), SE,
         "unmatched paren in format"},
        {"odd dict", OBJ(Zv_BuildValue("{s}", "a")), SE, nullptr},
        {"O NULL", OBJ(Zv_BuildValue("O", n)), SE, "NULL object passed to Zv_BuildValue"},
        {"O NULL in list", OBJ(Zv_BuildValue("[iO]", 1, n)), SE,
         "NULL object passed to Zv_BuildValue"},
        {"N NULL in dict", OBJ(Zv_BuildValue("{sN}", "k", n)), SE,
         "NULL object passed to Zv_BuildValue"},
        {"S NULL", OBJ(Zv_BuildValue("(S)", n)), SE, "NULL object passed to Zv_BuildValue"},
        {"O& converter fails",
         OBJ(Zv_BuildValue("(iO&)", 1,
                           +[](void *) -> ZvObject * {
                               ZvErr_SetString(ZvExc_ValueError, "converter says no");
                               return nullptr;
                           },
                           nullptr)),
         &ZvExc_ValueError, "converter says no"},
    });
    // A NULL with an error already pending keeps that error.
    ZvErr_SetString(ZvExc_KeyError, "first");
    EXPECT_EQ(Zv_BuildValue("[O]", n), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));
    // A negative s# length means the text is NUL-terminated.
    Owned whole(Zv_BuildValue("s#", "abc", -5));
    EXPECT_EQ(zv_repr(whole), "'abc'");
    // A NULL string is None; empty format is None.
    Owned none(Zv_BuildValue("z", nullptr));
    EXPECT_EQ(none.get(), Zv_None);
    Owned empty(Zv_BuildValue(""));
    EXPECT_EQ(empty.get(), Zv_None);
    Owned nullfmt(Zv_BuildValue(nullptr));
    (void)nullfmt;
    ZvErr_Clear();
    (void)num;
}
