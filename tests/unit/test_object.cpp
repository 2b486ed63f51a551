// The generic object protocol: singletons, repr, comparison, hashing,
// truth and the error indicator.
#include "zvtest.h"

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
