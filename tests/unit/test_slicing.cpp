// Extended slices on str, tuple and list: selection with a step, deletion
// and assignment, and the size-mismatch and non-iterable errors.
#include "zvtest.h"

using SlicingTest = ZvTest;

namespace {

ZvObject *slice(int start, int stop, int step)
{
    Owned a(ZvInt_FromLong(start)), b(ZvInt_FromLong(stop)), c(ZvInt_FromLong(step));
    return ZvSlice_New(a, b, c);
}

ZvObject *range_list(int n)
{
    ZvObject *l = ZvList_New(n);
    for (int i = 0; i < n; i++) ZvList_SET_ITEM(l, i, ZvInt_FromLong(i));
    return l;
}

} // namespace

TEST_F(SlicingTest, StepSelection)
{
    Owned s(ZvString_FromString("abcdef"));
    Owned every2(ZvSlice_New(nullptr, nullptr, Owned(ZvInt_FromLong(2))));
    Owned r(ZvObject_GetItem(s, every2));
    EXPECT_EQ(zv_repr(r), "'ace'");
    Owned rev(ZvSlice_New(nullptr, nullptr, Owned(ZvInt_FromLong(-1))));
    Owned r2(ZvObject_GetItem(s, rev));
    EXPECT_EQ(zv_repr(r2), "'fedcba'");

    Owned t(ZvSequence_Tuple(s));
    Owned r3(ZvObject_GetItem(t, every2));
    EXPECT_EQ(zv_repr(r3), "('a', 'c', 'e')");
    Owned empty_sl(slice(4, 1, 1));
    Owned r4(ZvObject_GetItem(t, empty_sl));
    EXPECT_EQ(zv_repr(r4), "()");

    Owned l(range_list(10));
    Owned sl(slice(8, 1, -3));
    Owned r5(ZvObject_GetItem(l, sl));
    EXPECT_EQ(zv_repr(r5), "[8, 5, 2]");
}

TEST_F(SlicingTest, ExtendedDeletionInBothDirections)
{
    Owned l(range_list(10));
    Owned sl(slice(0, 4, 2)); // 0, 2
    ASSERT_EQ(ZvObject_DelItem(l, sl), 0);
    EXPECT_EQ(zv_repr(l), "[1, 3, 4, 5, 6, 7, 8, 9]");

    Owned l2(range_list(10));
    Owned back(ZvSlice_New(nullptr, nullptr, Owned(ZvInt_FromLong(-3)))); // 9, 6, 3, 0
    ASSERT_EQ(ZvObject_DelItem(l2, back), 0);
    EXPECT_EQ(zv_repr(l2), "[1, 2, 4, 5, 7, 8]");
}

TEST_F(SlicingTest, ExtendedAssignmentChecksSizes)
{
    Owned l(range_list(6));
    Owned odd(slice(1, 6, 2)); // 1, 3, 5
    Owned abc(ZvString_FromString("abc"));
    ASSERT_EQ(ZvObject_SetItem(l, odd, abc), 0);
    EXPECT_EQ(zv_repr(l), "[0, 'a', 2, 'b', 4, 'c']");

    Owned two(ZvString_FromString("xy"));
    EXPECT_EQ(ZvObject_SetItem(l, odd, two), -1);
    EXPECT_EQ(zv_error_text(), "attempt to assign sequence of size 2 to extended slice of size 3");
    EXPECT_EQ(ZvObject_SetItem(l, odd, Zv_None), -1);
    EXPECT_EQ(zv_error_text(), "must assign iterable to extended slice");

    // Assigning a list to an extended slice of itself reads a copy.
    Owned l3(range_list(4));
    Owned rev(ZvSlice_New(nullptr, nullptr, Owned(ZvInt_FromLong(-1))));
    ASSERT_EQ(ZvObject_SetItem(l3, rev, l3), 0);
    EXPECT_EQ(zv_repr(l3), "[3, 2, 1, 0]");

    // A slice without a step is an ordinary slice assignment and may resize.
    Owned plain(ZvSlice_New(Owned(ZvInt_FromLong(1)), Owned(ZvInt_FromLong(3)), nullptr));
    ASSERT_EQ(ZvObject_SetItem(l3, plain, abc), 0);
    EXPECT_EQ(zv_repr(l3), "[3, 'a', 'b', 'c', 0]");
}
