// Value building: every unit, containers, the one/many/none rule, and the
// ownership of "N" references when building fails.
#include "zvtest.h"

#include <limits.h>

namespace {

using BuildValue = ZvTest;

TEST_F(BuildValue, UnitCountDecidesTheShape)
{
    Owned none(Zv_BuildValue(""));
    EXPECT_EQ(none.get(), Zv_None);
    Owned blanks(Zv_BuildValue(" ,\t:"));
    EXPECT_EQ(blanks.get(), Zv_None);
    Owned one(Zv_BuildValue("i", 7));
    EXPECT_EQ(zv_repr(one), "7");
    Owned single(Zv_BuildValue("(i)", 7));
    EXPECT_EQ(zv_repr(single), "(7,)");
    Owned pair(Zv_BuildValue("i,i", 1, 2));
    EXPECT_EQ(zv_repr(pair), "(1, 2)");
    Owned empty(Zv_BuildValue("()"));
    EXPECT_EQ(zv_repr(empty), "()");
}

TEST_F(BuildValue, Containers)
{
    Owned nested(Zv_BuildValue("[i(ii)[]]", 1, 2, 3));
    EXPECT_EQ(zv_repr(nested), "[1, (2, 3), []]");
    Owned d(Zv_BuildValue("{s:i, s:(ss)}", "a", 1, "b", "x", "y"));
    ASSERT_TRUE(ZvDict_Check(d.get()));
    EXPECT_EQ(ZvDict_Size(d), 2);
    EXPECT_EQ(zv_repr(ZvDict_GetItemString(d, "a")), "1");
    EXPECT_EQ(zv_repr(ZvDict_GetItemString(d, "b")), "('x', 'y')");
}

TEST_F(BuildValue, IntegerUnits)
{
    Owned v(Zv_BuildValue("(bBhHiIlk)", -1, 255, -300, 65535, INT_MIN, 4000000000u / 2,
                          (long)INT32_MAX, (unsigned long)5));
    EXPECT_EQ(zv_repr(v), "(-1, 255, -300, 65535, -2147483648, 2000000000, 2147483647, 5)");
}

TEST_F(BuildValue, WideIntegerUnitsMakeLongs)
{
    // "L" and "K" always give longs; "I", "k" and "l" do past the int range.
    Owned v(Zv_BuildValue("(LKIkl)", 5LL, ~0ULL, 4294967295u, 1UL << 40, -(1L << 40)));
    EXPECT_EQ(zv_repr(v),
              "(5L, 18446744073709551615L, 4294967295L, 1099511627776L, -1099511627776L)");
    Owned edges(Zv_BuildValue("(LL)", LLONG_MIN, LLONG_MAX));
    EXPECT_EQ(zv_repr(edges), "(-9223372036854775808L, 9223372036854775807L)");
    Owned fits(Zv_BuildValue("(Ikll)", 2147483647u, 2147483647UL, (long)INT32_MIN, 2147483648L));
    EXPECT_EQ(zv_repr(fits), "(2147483647, 2147483647, -2147483648, 2147483648L)");
    EXPECT_TRUE(ZvInt_CheckExact(ZvTuple_GET_ITEM(fits.get(), 0)));
}

TEST_F(BuildValue, FloatingUnits)
{
    Owned v(Zv_BuildValue("(fd)", (double)1.5f, -0.25));
    EXPECT_EQ(zv_repr(v), "(1.5, -0.25)");
    EXPECT_TRUE(ZvFloat_CheckExact(ZvTuple_GET_ITEM(v.get(), 1)));
    // D reads a complex record through its pointer; NULL is refused.
    ZvComplex c = {1.0, -2.0};
    Owned z(Zv_BuildValue("D", &c));
    EXPECT_EQ(zv_repr(z), "(1-2j)");
    EXPECT_EQ(Zv_BuildValue("(D)", (ZvComplex *)nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(BuildValue, CharAndStringUnits)
{
    Owned c(Zv_BuildValue("c", 'q'));
    EXPECT_EQ(zv_repr(c), "'q'");
    Owned s(Zv_BuildValue("(ss#s#zz#)", "abc", "abcdef", 2, "xyz", -1, nullptr, nullptr, 3));
    EXPECT_EQ(zv_repr(s), "('abc', 'ab', 'xyz', None, None)");
    Owned nul(Zv_BuildValue("s#", "a\0b", 3));
    EXPECT_EQ(ZvString_GET_SIZE(nul.get()), 3);
    Owned null_s(Zv_BuildValue("s", nullptr));
    EXPECT_EQ(null_s.get(), Zv_None);
}

TEST_F(BuildValue, ObjectUnitsAndReferences)
{
    ZvObject *list = ZvList_New(0);
    ASSERT_EQ(Zv_REFCNT(list), 1);
    {
        Owned borrowed(Zv_BuildValue("O", list));
        EXPECT_EQ(borrowed.get(), list);
        EXPECT_EQ(Zv_REFCNT(list), 2);
        Owned str(Zv_BuildValue("S", list));
        EXPECT_EQ(Zv_REFCNT(list), 3);
    }
    EXPECT_EQ(Zv_REFCNT(list), 1);
    Owned stolen(Zv_BuildValue("(N)", list)); // takes over our reference
    EXPECT_EQ(Zv_REFCNT(list), 1);
    EXPECT_EQ(ZvTuple_GET_ITEM(stolen.get(), 0), list);
}

ZvObject *make_pair_from(void *p)
{
    int v = *(int *)p;
    return Zv_BuildValue("(ii)", v, v + 1);
}

ZvObject *failing_converter(void *)
{
    ZvErr_SetString(ZvExc_ValueError, "nope");
    return nullptr;
}

TEST_F(BuildValue, ConverterUnits)
{
    int start = 4;
    Owned v(Zv_BuildValue("[O&]", make_pair_from, &start));
    EXPECT_EQ(zv_repr(v), "[(4, 5)]");
    EXPECT_EQ(Zv_BuildValue("(iO&)", 1, failing_converter, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "nope");
}

TEST_F(BuildValue, NullObjects)
{
    EXPECT_EQ(Zv_BuildValue("O", nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "NULL object passed to Zv_BuildValue");
    // An error already set (the producer of the NULL failed) is kept.
    ZvErr_SetString(ZvExc_KeyError, "earlier");
    EXPECT_EQ(Zv_BuildValue("(iN)", 1, nullptr), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_KeyError));
    EXPECT_EQ(zv_error_text(), "earlier");
}

TEST_F(BuildValue, MalformedFormats)
{
    EXPECT_EQ(Zv_BuildValue("(i", 1), nullptr);
    EXPECT_EQ(zv_error_text(), "unmatched paren in format");
    EXPECT_EQ(Zv_BuildValue("(i]", 1), nullptr);
    EXPECT_EQ(zv_error_text(), "Unmatched paren in format");
    EXPECT_EQ(Zv_BuildValue("i)", 1), nullptr);
    EXPECT_EQ(zv_error_text(), "Unmatched paren in format");
    EXPECT_EQ(Zv_BuildValue("iy", 1, 2), nullptr);
    EXPECT_EQ(zv_error_text(), "bad format char passed to Zv_BuildValue");
    EXPECT_EQ(Zv_BuildValue("{i}", 1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

// Each failing format is given one fresh object through "N"; it must be
// released (checked by watching a second reference we keep).
class NOwnership : public ZvTest {
protected:
    ZvObject *watched = nullptr;
    void SetUp() override { watched = ZvList_New(0); }
    void TearDown() override
    {
        EXPECT_EQ(Zv_REFCNT(watched), 1) << "the N reference was not released";
        Zv_DECREF(watched);
        ZvTest::TearDown();
    }
    // A new reference for an N unit.
    ZvObject *give()
    {
        Zv_INCREF(watched);
        return watched;
    }
};

TEST_F(NOwnership, ReleasedWhenALaterItemFails)
{
    EXPECT_EQ(Zv_BuildValue("(NO)", give(), nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(NOwnership, ReleasedWhenAnEarlierItemFails)
{
    EXPECT_EQ(Zv_BuildValue("[O&N]", failing_converter, nullptr, give()), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
}

Zv_hash_t refuse_hash(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "unhashable");
    return -1;
}

TEST_F(NOwnership, ReleasedWhenADictKeyIsUnhashable)
{
    // A static object of a type whose hash always fails.
    static ZvTypeObject unhashable_type;
    unhashable_type.ob_type = &ZvType_Type;
    unhashable_type.tp_name = "unhashable";
    unhashable_type.tp_basicsize = sizeof(ZvObject);
    unhashable_type.tp_hash = refuse_hash;
    static ZvObject key = {1000, &unhashable_type};
    EXPECT_EQ(Zv_BuildValue("{Oi,sN}", &key, 1, "k", give()), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(NOwnership, ReleasedWhenBracketsDoNotMatch)
{
    EXPECT_EQ(Zv_BuildValue("(iN", 1, give()), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(NOwnership, ReleasedBeforeABadFormatChar)
{
    EXPECT_EQ(Zv_BuildValue("[Nq]", give()), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(NOwnership, ReleasedAfterAnUnavailableType)
{
    // There is no unicode type yet.
    const unsigned short text[] = {'a', 0};
    EXPECT_EQ(Zv_BuildValue("(uN)", text, give()), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

ZvObject *va_build(const char *format, ...)
{
    va_list va;
    va_start(va, format);
    ZvObject *r = Zv_VaBuildValue(format, va);
    va_end(va);
    return r;
}

TEST_F(BuildValue, VaListForm)
{
    Owned v(va_build("(si)", "n", 3));
    EXPECT_EQ(zv_repr(v), "('n', 3)");
}

TEST_F(BuildValue, RoundTripsThroughParsing)
{
    Owned args(Zv_BuildValue("(ishs#)", -5, "text", 300, "ab\0c", 4));
    int i = 0;
    short h = 0;
    const char *s = nullptr, *raw = nullptr;
    int n = 0;
    ASSERT_EQ(ZvArg_ParseTuple(args, "ishs#", &i, &s, &h, &raw, &n), 1);
    EXPECT_EQ(i, -5);
    EXPECT_STREQ(s, "text");
    EXPECT_EQ(h, 300);
    EXPECT_EQ(n, 4);
}

} // namespace
