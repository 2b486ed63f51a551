// Lists: growth and recycling, the exported functions, slice assignment,
// extend, the sequence and mapping slots, the methods, comparison, repr,
// the iterators, and user code that changes a list while it is in use.
#include "seqtest.h"
#include "typetest.h"

using namespace seqtest;
using ListTest = ZvTest;

namespace {

int allocated(ZvObject *l) { return ((ZvListObject *)l)->allocated; }

ZvSequenceMethods *seq(ZvObject *l) { return Zv_TYPE(l)->tp_as_sequence; }

ZvObject *call(ZvObject *l, const char *name, ZvObject *args = nullptr, ZvObject *kw = nullptr)
{
    return zv_call_method(l, name, args, kw);
}

// True when every slot below the list's size holds an object.
bool consistent(ZvObject *l)
{
    auto *lo = (ZvListObject *)l;
    if (lo->ob_size < 0 || (lo->allocated >= 0 && lo->ob_size > lo->allocated)) return false;
    for (int i = 0; i < lo->ob_size; i++)
        if (lo->ob_item[i] == nullptr) return false;
    return true;
}

} // namespace

TEST_F(ListTest, AppendGrowthFollowsTheOverAllocationPattern)
{
    Owned l(ZvList_New(0));
    EXPECT_EQ(allocated(l), 0);
    std::vector<int> seen;
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(ZvList_Append(l, Zv_None), 0);
        if (seen.empty() || seen.back() != allocated(l)) seen.push_back(allocated(l));
    }
    EXPECT_EQ(seen, (std::vector<int>{4, 8, 16, 25, 35, 46, 58, 72, 88, 106}));
    // Shrinking below half the room gives memory back.
    ASSERT_EQ(ZvList_SetSlice(l, 10, 100, nullptr), 0);
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 10);
    EXPECT_LT(allocated(l), 53);
    ASSERT_EQ(ZvList_SetSlice(l, 0, 10, nullptr), 0);
    EXPECT_EQ(allocated(l), 0);
    EXPECT_EQ(((ZvListObject *)l.get())->ob_item, nullptr);
}

TEST_F(ListTest, HeadersAreRecycledWithoutTheirItems)
{
    ZvObject *l = int_list({1, 2, 3});
    ZvObject *first = l;
    Zv_DECREF(l);
    Owned again(ZvList_New(2));
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(ZvList_GET_SIZE(again.get()), 2);
    EXPECT_EQ(allocated(again), 2);
    EXPECT_EQ(ZvList_GET_ITEM(again.get(), 0), nullptr);
}

TEST_F(ListTest, ExportedFunctionsRejectNonLists)
{
    Owned t(ZvTuple_New(0));
    EXPECT_EQ(ZvList_Size(t), -1);
    EXPECT_EQ(ZvList_GetItem(t, 0), nullptr);
    EXPECT_EQ(ZvList_Append(t, Zv_None), -1);
    EXPECT_EQ(ZvList_Insert(t, 0, Zv_None), -1);
    EXPECT_EQ(ZvList_GetSlice(t, 0, 1), nullptr);
    EXPECT_EQ(ZvList_SetSlice(t, 0, 1, nullptr), -1);
    EXPECT_EQ(ZvList_Sort(t), -1);
    EXPECT_EQ(ZvList_Reverse(t), -1);
    EXPECT_EQ(ZvList_AsTuple(t), nullptr);
    EXPECT_EQ(_ZvList_Extend((ZvListObject *)t.get(), t), nullptr);
    EXPECT_EQ(ZvList_Size(nullptr), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    Zv_INCREF(Zv_None);
    EXPECT_EQ(ZvList_SetItem(t, 0, Zv_None), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvList_New(-1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    Owned l(ZvList_New(0));
    EXPECT_EQ(ZvList_Append(l, nullptr), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(ListTest, IndexErrorsShareOneMessageObject)
{
    Owned l(int_list({1}));
    ZvObject *t, *v1, *v2, *tb;
    EXPECT_EQ(ZvList_GetItem(l, 1), nullptr);
    ZvErr_Fetch(&t, &v1, &tb);
    Zv_XDECREF(t);
    EXPECT_EQ(seq(l)->sq_item(l, -1), nullptr);
    ZvErr_Fetch(&t, &v2, &tb);
    Zv_XDECREF(t);
    EXPECT_EQ(v1, v2);
    EXPECT_EQ(zv_str(v1), "list index out of range");
    Zv_XDECREF(v1);
    Zv_XDECREF(v2);

    Zv_INCREF(Zv_None);
    EXPECT_EQ(ZvList_SetItem(l, 3, Zv_None), -1);
    EXPECT_EQ(zv_error_text(), "list assignment index out of range");
}

TEST_F(ListTest, InsertClampsAndCountsNegativePositionsFromTheEnd)
{
    Owned l(int_list({1, 2, 3}));
    Owned a(ZvInt_FromLong(10)), b(ZvInt_FromLong(20)), c(ZvInt_FromLong(30));
    ASSERT_EQ(ZvList_Insert(l, -1, a), 0);
    ASSERT_EQ(ZvList_Insert(l, -100, b), 0);
    ASSERT_EQ(ZvList_Insert(l, 100, c), 0);
    EXPECT_EQ(int_values(l), (std::vector<int>{20, 1, 2, 10, 3, 30}));
    Owned args(ZvTuple_Pack(2, Owned(ZvInt_FromLong(1)).get(), a.get()));
    Owned r(call(l, "insert", args));
    EXPECT_EQ(r.get(), Zv_None);
    EXPECT_EQ(int_values(l), (std::vector<int>{20, 10, 1, 2, 10, 3, 30}));
    Owned bad(ZvTuple_Pack(1, a.get()));
    EXPECT_EQ(call(l, "insert", bad), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(ListTest, SliceAssignmentFromItselfAndOtherIterables)
{
    Owned l(int_list({1, 2}));
    ASSERT_EQ(ZvList_SetSlice(l, 1, 1, l), 0); // l[1:1] = l inserts a copy
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 1, 2, 2}));
    ASSERT_EQ(ZvList_SetSlice(l, 0, 4, l), 0); // l[:] = l leaves it alone
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 1, 2, 2}));

    Owned t(int_tuple({7, 8, 9}));
    ASSERT_EQ(ZvList_SetSlice(l, -5, 2, t), 0); // a negative low bound counts as 0
    EXPECT_EQ(int_values(l), (std::vector<int>{7, 8, 9, 2, 2}));
    int n = 0;
    Owned it(make_iterator([&n]() -> ZvObject * { return n < 2 ? ZvInt_FromLong(50 + n++) : nullptr; }));
    ASSERT_EQ(ZvList_SetSlice(l, 3, 1, it), 0); // hi < lo: an insertion at lo
    EXPECT_EQ(int_values(l), (std::vector<int>{7, 8, 9, 50, 51, 2, 2}));
    ASSERT_EQ(ZvList_SetSlice(l, 1, 6, nullptr), 0);
    EXPECT_EQ(int_values(l), (std::vector<int>{7, 2}));

    Owned five(ZvInt_FromLong(5));
    EXPECT_EQ(ZvList_SetSlice(l, 0, 1, five), -1);
    EXPECT_EQ(zv_error_text(), "can only assign an iterable");
    EXPECT_EQ(int_values(l), (std::vector<int>{7, 2}));
}

TEST_F(ListTest, ReplacedItemsAreReleasedOnlyOnceTheListIsConsistent)
{
    // Each replaced probe looks at the list while it dies (a destructor
    // running user code); it must find no empty slot.
    Owned l(ZvList_New(0));
    int checks = 0;
    for (int i = 0; i < 12; i++) { // more than the 8 slots kept on the stack
        Hooks h;
        h.value = i;
        ZvObject *lp = l.get();
        h.on_dealloc = [lp, &checks] {
            checks++;
            EXPECT_TRUE(consistent(lp));
        };
        Owned p(make_probe(h));
        ZvList_Append(l, p);
    }
    Owned t(int_tuple({1, 2, 3}));
    ASSERT_EQ(ZvList_SetSlice(l, 0, 12, t), 0);
    EXPECT_EQ(checks, 12);
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 2, 3}));
}

TEST_F(ListTest, ExtendHandlesItselfSequencesIteratorsAndFailures)
{
    Owned l(int_list({1, 2}));
    Owned r1(_ZvList_Extend((ZvListObject *)l.get(), l));
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 2, 1, 2}));
    Owned s(ZvString_FromString("ab"));
    Owned r2(call(l, "extend", Owned(ZvTuple_Pack(1, s.get()))));
    EXPECT_EQ(zv_repr(l), "[1, 2, 1, 2, 'a', 'b']");

    // An iterator that looks at the list while it is being extended sees
    // only real items, never reserved empty slots.
    Owned m(int_list({0}));
    int n = 0;
    ZvObject *mp = m.get();
    Owned it(make_iterator([&n, mp]() -> ZvObject * {
        EXPECT_TRUE(consistent(mp));
        EXPECT_EQ(ZvList_GET_SIZE(mp), n + 1);
        return n < 20 ? ZvInt_FromLong(++n) : nullptr;
    }));
    Owned r3(_ZvList_Extend((ZvListObject *)m.get(), it));
    EXPECT_EQ(r3.get(), Zv_None);
    EXPECT_EQ(ZvList_GET_SIZE(m.get()), 21);
    EXPECT_LE(allocated(m), 21 + 21 / 8 + 6);

    // An iterator that fails midway: the error propagates, items read so
    // far stay.
    int k = 0;
    Owned bad(make_iterator([&k]() -> ZvObject * {
        if (k == 2) {
            ZvErr_SetString(ZvExc_ValueError, "boom");
            return nullptr;
        }
        return ZvInt_FromLong(k++);
    }));
    Owned e(int_list({}));
    EXPECT_EQ(_ZvList_Extend((ZvListObject *)e.get(), bad), nullptr);
    EXPECT_EQ(zv_error_text(), "boom");
    EXPECT_EQ(int_values(e), (std::vector<int>{0, 1}));

    Owned five(ZvInt_FromLong(5));
    EXPECT_EQ(_ZvList_Extend((ZvListObject *)e.get(), five), nullptr);
    EXPECT_EQ(zv_error_text(), "iteration over non-sequence");
}

TEST_F(ListTest, HugeSizesFailWithMemoryErrorAndLeaveTheListIntact)
{
    EXPECT_EQ(ZvList_New(0x40000000), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    Owned l(int_list({1, 2, 3, 4}));
    EXPECT_EQ(seq(l)->sq_repeat(l, 0x10000000), nullptr); // 2^30 items
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    EXPECT_EQ(seq(l)->sq_repeat(l, INT32_MAX), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    EXPECT_EQ(seq(l)->sq_inplace_repeat(l, 0x40000000), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 2, 3, 4}));

    Owned e(ZvList_New(0));
    Owned r(seq(e)->sq_repeat(e, INT32_MAX)); // an empty result needs no room
    EXPECT_EQ(ZvList_GET_SIZE(r.get()), 0);
    Owned t(int_tuple({}));
    EXPECT_EQ(seq(l)->sq_concat(l, t), nullptr);
    EXPECT_EQ(zv_error_text(), "can only concatenate list (not \"tuple\") to list");
}

TEST_F(ListTest, RepeatAndInPlaceOperations)
{
    Owned one(int_list({7}));
    Owned r(seq(one)->sq_repeat(one, 3));
    EXPECT_EQ(int_values(r), (std::vector<int>{7, 7, 7}));
    Owned z(seq(one)->sq_repeat(one, -2));
    EXPECT_EQ(ZvList_GET_SIZE(z.get()), 0);
    EXPECT_NE(z.get(), one.get());

    Owned l(int_list({1, 2}));
    Owned same(seq(l)->sq_inplace_repeat(l, 3));
    EXPECT_EQ(same.get(), l.get());
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 2, 1, 2, 1, 2}));
    Owned t(int_tuple({9}));
    Owned same2(seq(l)->sq_inplace_concat(l, t));
    EXPECT_EQ(same2.get(), l.get());
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 7);
    Owned same3(seq(l)->sq_inplace_repeat(l, 0));
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 0);
    Owned tup(ZvList_AsTuple(r));
    EXPECT_EQ(int_values(tup), (std::vector<int>{7, 7, 7}));
}

TEST_F(ListTest, PopRemoveIndexCountReverse)
{
    Owned l(int_list({1, 2, 3, 2, 5}));
    Owned last(call(l, "pop"));
    EXPECT_EQ(ZvInt_AS_LONG(last.get()), 5);
    Owned i0(ZvInt_FromLong(0));
    Owned first(call(l, "pop", Owned(args(i0.get()))));
    EXPECT_EQ(ZvInt_AS_LONG(first.get()), 1);
    EXPECT_EQ(int_values(l), (std::vector<int>{2, 3, 2}));
    Owned i9(ZvInt_FromLong(-9));
    EXPECT_EQ(call(l, "pop", Owned(args(i9.get()))), nullptr);
    EXPECT_EQ(zv_error_text(), "pop index out of range");
    Owned s(ZvString_FromString("x"));
    EXPECT_EQ(call(l, "pop", Owned(args(s.get()))), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    Owned two(ZvInt_FromLong(2));
    Owned c(call(l, "count", Owned(args(two.get()))));
    EXPECT_EQ(ZvInt_AS_LONG(c.get()), 2);
    Owned idx(call(l, "index", Owned(args(two.get(), Owned(ZvInt_FromLong(1)).get()))));
    EXPECT_EQ(ZvInt_AS_LONG(idx.get()), 2);
    Owned neg(call(l, "index", Owned(args(two.get(), Owned(ZvInt_FromLong(-100)).get(),
                                          Owned(ZvInt_FromLong(-2)).get()))));
    EXPECT_EQ(ZvInt_AS_LONG(neg.get()), 0);
    EXPECT_EQ(call(l, "index", Owned(args(two.get(), Owned(ZvInt_FromLong(1)).get(),
                                          Owned(ZvInt_FromLong(2)).get()))),
              nullptr);
    EXPECT_EQ(zv_error_text(), "list.index(x): x not in list");
    EXPECT_EQ(call(l, "index", Owned(args(two.get(), s.get()))), nullptr);
    EXPECT_EQ(zv_error_text(), "slice indices must be integers or None");

    Owned r(call(l, "remove", Owned(args(two.get()))));
    EXPECT_EQ(int_values(l), (std::vector<int>{3, 2}));
    EXPECT_EQ(call(l, "remove", Owned(args(s.get()))), nullptr);
    EXPECT_EQ(zv_error_text(), "list.remove(x): x not in list");

    Owned more(int_list({1, 2, 3, 4}));
    Owned rv(call(more, "reverse"));
    EXPECT_EQ(int_values(more), (std::vector<int>{4, 3, 2, 1}));
    ASSERT_EQ(ZvList_Reverse(more), 0);
    EXPECT_EQ(int_values(more), (std::vector<int>{1, 2, 3, 4}));

    Owned empty(ZvList_New(0));
    EXPECT_EQ(call(empty, "pop"), nullptr);
    EXPECT_EQ(zv_error_text(), "pop from empty list");
}

TEST_F(ListTest, SubscriptAndItemAssignment)
{
    Owned l(int_list({10, 20, 30}));
    ZvMappingMethods *mp = Zv_TYPE(l.get())->tp_as_mapping;
    Owned m1(ZvInt_FromLong(-1));
    Owned v(mp->mp_subscript(l, m1));
    EXPECT_EQ(ZvInt_AS_LONG(v.get()), 30);
    Owned viaMethod(call(l, "__getitem__", Owned(args(m1.get()))));
    EXPECT_EQ(viaMethod.get(), v.get());
    Owned s(ZvString_FromString("x"));
    EXPECT_EQ(mp->mp_subscript(l, s), nullptr);
    EXPECT_EQ(zv_error_text(), "list indices must be integers");
    EXPECT_EQ(mp->mp_ass_subscript(l, s, Zv_None), -1);
    EXPECT_EQ(zv_error_text(), "list indices must be integers");

    ASSERT_EQ(mp->mp_ass_subscript(l, m1, s), 0);
    EXPECT_EQ(zv_repr(l), "[10, 20, 'x']");
    Owned zero(ZvInt_FromLong(0));
    ASSERT_EQ(mp->mp_ass_subscript(l, zero, nullptr), 0);
    EXPECT_EQ(zv_repr(l), "[20, 'x']");
    Owned five(ZvInt_FromLong(5));
    EXPECT_EQ(mp->mp_ass_subscript(l, five, nullptr), -1);
    EXPECT_EQ(zv_error_text(), "list assignment index out of range");
    Owned sl(seq(l)->sq_slice(l, -3, 1));
    EXPECT_EQ(zv_repr(sl), "[20]");
}

TEST_F(ListTest, ComparisonShortcutsOnLengthAndSurvivesMutation)
{
    int calls = 0;
    auto counted = [&calls](int v) {
        Hooks h;
        h.value = v;
        h.compare = [&calls, v](ZvObject *self, ZvObject *other, int op) -> ZvObject * {
            calls++;
            int w = Zv_TYPE(other) == Zv_TYPE(self) ? probe_value(other) : -1;
            return ZvBool_FromLong(op == Zv_EQ ? v == w : op == Zv_NE ? v != w : v < w);
        };
        return make_probe(h);
    };
    Owned a(ZvList_New(0)), b(ZvList_New(0));
    for (int v : {1, 2}) ZvList_Append(a, Owned(counted(v)));
    for (int v : {1, 2, 3}) ZvList_Append(b, Owned(counted(v)));
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_EQ), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_NE), 1);
    EXPECT_EQ(calls, 0); // different lengths: no item was compared
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_LT), 1);
    EXPECT_EQ(calls, 2);

    // A comparison that empties both lists must not leave the loop reading
    // freed slots.
    Owned x(ZvList_New(0)), y(ZvList_New(0));
    ZvObject *xp = x.get(), *yp = y.get();
    for (int i = 0; i < 3; i++) {
        Hooks h;
        h.compare = [xp, yp](ZvObject *, ZvObject *, int) -> ZvObject * {
            ZvList_SetSlice(xp, 0, ZvList_GET_SIZE(xp), nullptr);
            ZvList_SetSlice(yp, 0, ZvList_GET_SIZE(yp), nullptr);
            Zv_RETURN_TRUE;
        };
        ZvList_Append(x, Owned(make_probe(h)));
        ZvList_Append(y, Owned(make_probe(h)));
    }
    EXPECT_EQ(ZvObject_RichCompareBool(x, y, Zv_LT), 0);
    EXPECT_EQ(ZvList_GET_SIZE(x.get()), 0);

    Owned t(ZvTuple_New(0));
    Owned r(Zv_TYPE(a.get())->tp_richcompare(a, t, Zv_EQ));
    EXPECT_EQ(r.get(), Zv_NotImplemented);
}

TEST_F(ListTest, ContainsCountAndRemoveSurviveAComparisonThatClearsTheList)
{
    Owned l(ZvList_New(0));
    ZvObject *lp = l.get();
    for (int i = 0; i < 4; i++) {
        Hooks h;
        h.compare = [lp](ZvObject *, ZvObject *, int) -> ZvObject * {
            ZvList_SetSlice(lp, 0, ZvList_GET_SIZE(lp), nullptr);
            Zv_RETURN_FALSE;
        };
        ZvList_Append(l, Owned(make_probe(h)));
    }
    Owned five(ZvInt_FromLong(5));
    EXPECT_EQ(seq(l)->sq_contains(l, five), 0);
    for (int i = 0; i < 4; i++) {
        Hooks h;
        h.compare = [lp](ZvObject *, ZvObject *, int) -> ZvObject * {
            ZvList_SetSlice(lp, 0, ZvList_GET_SIZE(lp), nullptr);
            Zv_RETURN_FALSE;
        };
        ZvList_Append(l, Owned(make_probe(h)));
    }
    EXPECT_EQ(call(l, "remove", Owned(args(five.get()))), nullptr);
    EXPECT_EQ(zv_error_text(), "list.remove(x): x not in list");
    EXPECT_EQ(ZvList_GET_SIZE(lp), 0);
}

TEST_F(ListTest, ReprShowsRecursionAsEllipsis)
{
    Owned empty(ZvList_New(0));
    EXPECT_EQ(zv_repr(empty), "[]");
    Owned l(ZvList_New(0));
    ZvList_Append(l, l);
    EXPECT_EQ(zv_repr(l), "[[...]]");
    Owned s(ZvString_FromString("s"));
    ZvList_Append(l, s);
    char buf[64] = {0};
    FILE *fp = fmemopen(buf, sizeof buf - 1, "w");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(Zv_TYPE(l.get())->tp_print(l, fp, 0), 0);
    fclose(fp);
    EXPECT_STREQ(buf, "[[...], 's']");
    ZvList_SetSlice(l, 0, 2, nullptr); // break the cycle
    EXPECT_EQ(ZvObject_Hash(l), -1);
    EXPECT_EQ(zv_error_text(), "list objects are unhashable");
}

TEST_F(ListTest, IteratorsFollowTheListAsItChanges)
{
    Owned l(int_list({1, 2}));
    Owned it(Zv_TYPE(l.get())->tp_iter(l));
    ZvTypeObject *itp = Zv_TYPE(it.get());
    EXPECT_STREQ(itp->tp_name, "listiterator");
    Owned a(itp->tp_iternext(it));
    ZvList_Append(l, Owned(ZvInt_FromLong(3)));
    EXPECT_EQ(itp->tp_as_sequence->sq_length(it), 2);
    Owned b(itp->tp_iternext(it));
    Owned c(itp->tp_iternext(it));
    EXPECT_EQ(ZvInt_AS_LONG(c.get()), 3); // sees the appended item
    ZvList_SetSlice(l, 0, 3, nullptr);
    EXPECT_EQ(itp->tp_as_sequence->sq_length(it), 0); // never below zero
    EXPECT_EQ(itp->tp_iternext(it), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);

    Owned m(int_list({1, 2, 3, 4}));
    Owned rit(call(m, "__reversed__"));
    ZvTypeObject *rtp = Zv_TYPE(rit.get());
    EXPECT_STREQ(rtp->tp_name, "listreverseiterator");
    EXPECT_EQ(rtp->tp_as_sequence->sq_length(rit), 4);
    Owned four(rtp->tp_iternext(rit));
    EXPECT_EQ(ZvInt_AS_LONG(four.get()), 4);
    ZvList_SetSlice(m, 1, 4, nullptr); // shrinks below the iterator's index
    EXPECT_EQ(rtp->tp_as_sequence->sq_length(rit), 0);
    EXPECT_EQ(rtp->tp_iternext(rit), nullptr);
    EXPECT_EQ(Zv_REFCNT(m.get()), 1); // the exhausted iterator let go
}

TEST_F(ListTest, InitReplacesTheContents)
{
    Owned l(int_list({1, 2, 3}));
    Owned t(int_tuple({4, 5}));
    Owned a(ZvTuple_Pack(1, t.get()));
    ASSERT_EQ(ZvList_Type.tp_init(l, a, nullptr), 0);
    EXPECT_EQ(int_values(l), (std::vector<int>{4, 5}));
    Owned none(ZvTuple_New(0));
    Owned kw(kwargs({{"sequence", l.get()}}));
    ASSERT_EQ(ZvList_Type.tp_init(l, none, kw), 0); // list(l) into l itself
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 0); // emptied first, then extended by itself
    ASSERT_EQ(ZvList_Type.tp_init(l, a, nullptr), 0);
    ASSERT_EQ(ZvList_Type.tp_init(l, none, nullptr), 0);
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 0);
    Owned bad(kwargs({{"nope", t.get()}}));
    EXPECT_EQ(ZvList_Type.tp_init(l, none, bad), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(ListTest, DeepNestingIsFreedAndComparisonStopsAtTheRecursionLimit)
{
    ZvObject *a = ZvList_New(0), *b = ZvList_New(0);
    for (int i = 0; i < 200000; i++) {
        ZvObject *na = ZvList_New(0);
        ZvList_Append(na, a);
        Zv_DECREF(a);
        a = na;
        ZvObject *nb = ZvList_New(0);
        ZvList_Append(nb, b);
        Zv_DECREF(b);
        b = nb;
    }
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_EQ), -1);
    EXPECT_TRUE(zv_raised(ZvExc_RuntimeError));
    EXPECT_EQ(zv_repr(a), "<error>");
    EXPECT_EQ(ZvThreadState_GET()->recursion_depth, 0);
    Zv_DECREF(a);
    Zv_DECREF(b);
}

TEST_F(ListTest, PrintWritesItemsThroughTheirPrintSlotsAndStopsDeepNesting)
{
    Owned l(Zv_BuildValue("[s(i)[]{}]", "a", 1));
    EXPECT_EQ(printed(l), "['a', (1,), [], {}]");

    // Distinct lists nested far deeper than the recursion limit: an error,
    // not an exhausted stack.
    ZvObject *deep = ZvList_New(0);
    for (int i = 0; i < 100000; i++) {
        ZvObject *outer = ZvList_New(1);
        ZvList_SET_ITEM(outer, 0, deep);
        deep = outer;
    }
    Owned deep_owned(deep);
    EXPECT_EQ(printed(deep), "<error>");
    EXPECT_EQ(zv_error_text(), "maximum recursion depth exceeded while printing an object");
}

TEST_F(ListTest, SubclassesMadeAtRunTimeBehaveAsLists)
{
    bool freed = false;
    {
        Owned cls(zv_class("L", {ZV_TYPE_OBJ(ZvList_Type)}));
        Owned src(int_list({3, 1, 2}));
        Owned l(zv_call(cls, {src.get()}));
        ASSERT_NE(l.get(), nullptr);
        EXPECT_TRUE(ZvList_Check(l.get()));
        EXPECT_FALSE(ZvList_CheckExact(l.get()));
        EXPECT_TRUE(_ZvGC_IS_TRACKED(l.get()));
        for (int i = 0; i < 20; i++) ASSERT_EQ(ZvList_Append(l, Owned(ZvInt_FromLong(i))), 0);
        EXPECT_EQ(ZvList_GET_SIZE(l.get()), 23);
        ASSERT_EQ(ZvList_SetSlice(l, 3, 23, nullptr), 0);
        ASSERT_EQ(ZvList_Sort(l), 0);
        EXPECT_EQ(int_values(l), (std::vector<int>{1, 2, 3}));

        Owned plain(int_list({1, 2, 3})), bigger(int_list({1, 2, 4}));
        EXPECT_EQ(ZvObject_RichCompareBool(l, plain, Zv_EQ), 1);
        EXPECT_EQ(ZvObject_RichCompareBool(l, bigger, Zv_LT), 1);
        EXPECT_EQ(zv_repr(l), "[1, 2, 3]");
        EXPECT_EQ(printed(l), "[1, 2, 3]");

        // Its items and attributes go when it goes.
        Owned probe(make_probe({.on_dealloc = [&] { freed = true; }}));
        ASSERT_EQ(ZvList_Append(l, probe), 0);
        ASSERT_EQ(ZvObject_SetAttrString(l, "p", probe), 0);
    }
    EXPECT_TRUE(freed);
}
