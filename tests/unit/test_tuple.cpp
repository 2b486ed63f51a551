// Tuples: recycling, resizing, the sequence and mapping slots, hashing,
// comparison, repr, construction from iterables and the iterator.
#include "seqtest.h"
#include "typetest.h"

using namespace seqtest;
using TupleTest = ZvTest;

TEST_F(TupleTest, EmptyTupleIsSharedAndHashesToItsFixedValue)
{
    Owned a(ZvTuple_New(0));
    Owned b(ZvTuple_New(0));
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(ZvObject_Hash(a), 3527539);
    EXPECT_EQ(zv_repr(a), "()");
    // Slicing to nothing and repeating zero times give the shared one too.
    Owned t(int_tuple({1, 2}));
    Owned s(ZvTuple_GetSlice(t, 1, 1));
    EXPECT_EQ(s.get(), a.get());
    Owned r(Zv_TYPE(t.get())->tp_as_sequence->sq_repeat(t, -3));
    EXPECT_EQ(r.get(), a.get());
}

TEST_F(TupleTest, SmallTuplesAreRecycledWithClearedSlots)
{
    ZvObject *t = int_tuple({7, 8, 9});
    ZvObject *first = t;
    Zv_DECREF(t);
    Owned again(ZvTuple_New(3));
    EXPECT_EQ(again.get(), first);
    for (int i = 0; i < 3; i++) EXPECT_EQ(ZvTuple_GET_ITEM(again.get(), i), nullptr);
    EXPECT_EQ(Zv_REFCNT(again.get()), 1);
}

TEST_F(TupleTest, SetItemRequiresSoleOwnershipAndReleasesTheStolenItem)
{
    Owned t(ZvTuple_New(2));
    ZvObject *item = ZvString_FromString("kept-alive-by-test");
    Owned guard(item);
    Zv_INCREF(item);
    int before = Zv_REFCNT(item);
    EXPECT_EQ(ZvTuple_SetItem(t, 5, item), -1);
    EXPECT_EQ(zv_error_text(), "tuple assignment index out of range");
    EXPECT_EQ(Zv_REFCNT(item), before - 1);

    Zv_INCREF(t.get());
    Zv_INCREF(item);
    EXPECT_EQ(ZvTuple_SetItem(t, 0, item), -1); // shared: refused
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(Zv_REFCNT(item), before - 1);
    Zv_DECREF(t.get());

    Zv_INCREF(item);
    EXPECT_EQ(ZvTuple_SetItem(t, 1, item), 0);
    EXPECT_EQ(ZvTuple_GetItem(t, 1), item);
    EXPECT_EQ(ZvTuple_GetItem(t, 2), nullptr);
    EXPECT_EQ(zv_error_text(), "tuple index out of range");
}

TEST_F(TupleTest, ResizeKeepsItemsAndClearsNewSlots)
{
    ZvObject *t = int_tuple({1, 2, 3, 4, 5});
    ASSERT_EQ(_ZvTuple_Resize(&t, 25), 0);
    EXPECT_EQ(ZvTuple_GET_SIZE(t), 25);
    EXPECT_EQ(ZvInt_AS_LONG(ZvTuple_GET_ITEM(t, 4)), 5);
    for (int i = 5; i < 25; i++) EXPECT_EQ(ZvTuple_GET_ITEM(t, i), nullptr);
    ASSERT_EQ(_ZvTuple_Resize(&t, 2), 0);
    EXPECT_EQ(int_values(t), (std::vector<int>{1, 2}));
    // Shrinking to nothing yields the shared empty tuple, not a second one.
    ASSERT_EQ(_ZvTuple_Resize(&t, 0), 0);
    Owned empty(ZvTuple_New(0));
    EXPECT_EQ(t, empty.get());
    // Growing the empty tuple makes a fresh one.
    ASSERT_EQ(_ZvTuple_Resize(&t, 3), 0);
    EXPECT_NE(t, empty.get());
    EXPECT_EQ(ZvTuple_GET_SIZE(t), 3);
    Zv_DECREF(t);
}

TEST_F(TupleTest, ResizeRejectsSharedTuplesAndOtherTypes)
{
    ZvObject *t = int_tuple({1, 2});
    Zv_INCREF(t);
    ZvObject *alias = t;
    EXPECT_EQ(_ZvTuple_Resize(&t, 5), -1);
    EXPECT_EQ(t, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(Zv_REFCNT(alias), 1); // the reference passed in was released
    Zv_DECREF(alias);

    ZvObject *l = ZvList_New(0);
    EXPECT_EQ(_ZvTuple_Resize(&l, 1), -1);
    EXPECT_EQ(l, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    ZvObject *u = int_tuple({1});
    EXPECT_EQ(_ZvTuple_Resize(&u, -1), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(TupleTest, HugeRepeatAndConcatFailWithoutWrapping)
{
    Owned t(int_tuple({1, 2}));
    ZvSequenceMethods *sq = Zv_TYPE(t.get())->tp_as_sequence;
    EXPECT_EQ(sq->sq_repeat(t, 0x40000000), nullptr); // 2 * 2^30 overflows int32
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    EXPECT_EQ(sq->sq_repeat(t, INT32_MAX), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    EXPECT_EQ(ZvTuple_New(INT32_MAX), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
    EXPECT_EQ(ZvTuple_New(-1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    Owned one(sq->sq_repeat(t, 1));
    EXPECT_EQ(one.get(), t.get());
    Owned three(sq->sq_repeat(t, 3));
    EXPECT_EQ(int_values(three), (std::vector<int>{1, 2, 1, 2, 1, 2}));

    Owned l(ZvList_New(0));
    EXPECT_EQ(sq->sq_concat(t, l), nullptr);
    EXPECT_EQ(zv_error_text(), "can only concatenate tuple (not \"list\") to tuple");
    Owned u(int_tuple({3}));
    Owned cat(sq->sq_concat(t, u));
    EXPECT_EQ(int_values(cat), (std::vector<int>{1, 2, 3}));
}

TEST_F(TupleTest, HashMixesPositionsAndRefusesUnhashableItems)
{
    Owned a(int_tuple({1, 2}));
    Owned b(int_tuple({1, 2}));
    Owned c(int_tuple({2, 1}));
    EXPECT_EQ(ZvObject_Hash(a), ZvObject_Hash(b));
    EXPECT_NE(ZvObject_Hash(a), ZvObject_Hash(c));
    Owned l(ZvList_New(0));
    Owned t(ZvTuple_Pack(2, a.get(), l.get()));
    EXPECT_EQ(ZvObject_Hash(t), -1);
    EXPECT_EQ(zv_error_text(), "list objects are unhashable");
}

TEST_F(TupleTest, ReprAndPrint)
{
    Owned one(int_tuple({1}));
    EXPECT_EQ(zv_repr(one), "(1,)");
    Owned s(ZvString_FromString("a"));
    Owned two(ZvTuple_Pack(2, one.get(), s.get()));
    EXPECT_EQ(zv_repr(two), "((1,), 'a')");

    char buf[64] = {0};
    FILE *fp = fmemopen(buf, sizeof buf - 1, "w");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(Zv_TYPE(two.get())->tp_print(two, fp, 0), 0);
    fclose(fp);
    EXPECT_STREQ(buf, "((1,), 'a')");
}

TEST_F(TupleTest, ComparisonFindsTheFirstDifferenceThenCompares)
{
    Owned a(int_tuple({1, 2}));
    Owned b(int_tuple({1, 2, 3}));
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_LT), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(b, a, Zv_GE), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_EQ), 0);

    // Equality stops at the first unequal pair without asking for an order.
    int ordering_calls = 0;
    auto probe = [&](int v) {
        Hooks h;
        h.value = v;
        h.compare = [&ordering_calls, v](ZvObject *self, ZvObject *other, int op) -> ZvObject * {
            if (op != Zv_EQ && op != Zv_NE) ordering_calls++;
            bool eq = Zv_TYPE(other) == Zv_TYPE(self) && probe_value(other) == v;
            return ZvBool_FromLong(op == Zv_NE ? !eq : eq);
        };
        return make_probe(h);
    };
    Owned x(ZvTuple_Pack(2, Owned(probe(1)).get(), Owned(probe(5)).get()));
    Owned y(ZvTuple_Pack(2, Owned(probe(1)).get(), Owned(probe(6)).get()));
    EXPECT_EQ(ZvObject_RichCompareBool(x, y, Zv_EQ), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(x, y, Zv_NE), 1);
    EXPECT_EQ(ordering_calls, 0);

    Owned l(ZvList_New(0));
    Owned r(Zv_TYPE(a.get())->tp_richcompare(a, l, Zv_EQ));
    EXPECT_EQ(r.get(), Zv_NotImplemented);
}

TEST_F(TupleTest, ItemSliceSubscriptAndContains)
{
    Owned t(int_tuple({10, 20, 30, 40}));
    Owned whole(ZvTuple_GetSlice(t, -5, 99));
    EXPECT_EQ(whole.get(), t.get()); // the whole exact tuple is itself
    Owned mid(ZvTuple_GetSlice(t, 1, 3));
    EXPECT_EQ(int_values(mid), (std::vector<int>{20, 30}));
    Owned backwards(ZvTuple_GetSlice(t, 3, 1));
    EXPECT_EQ(ZvTuple_GET_SIZE(backwards.get()), 0);

    ZvMappingMethods *mp = Zv_TYPE(t.get())->tp_as_mapping;
    Owned k(ZvInt_FromLong(-1));
    Owned last(mp->mp_subscript(t, k));
    EXPECT_EQ(ZvInt_AS_LONG(last.get()), 40);
    Owned far(ZvInt_FromLong(-5));
    EXPECT_EQ(mp->mp_subscript(t, far), nullptr);
    EXPECT_EQ(zv_error_text(), "tuple index out of range");
    Owned s(ZvString_FromString("x"));
    EXPECT_EQ(mp->mp_subscript(t, s), nullptr);
    EXPECT_EQ(zv_error_text(), "tuple indices must be integers");
    EXPECT_EQ(mp->mp_length(t), 4);

    ZvSequenceMethods *sq = Zv_TYPE(t.get())->tp_as_sequence;
    Owned thirty(ZvInt_FromLong(30));
    EXPECT_EQ(sq->sq_contains(t, thirty), 1);
    EXPECT_EQ(sq->sq_contains(t, s), 0);
}

TEST_F(TupleTest, BadInternalCalls)
{
    Owned l(ZvList_New(0));
    EXPECT_EQ(ZvTuple_Size(l), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvTuple_GetItem(l, 0), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvTuple_GetSlice(nullptr, 0, 1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(TupleTest, ConstructionFromIterables)
{
    auto make = [](ZvObject *arg) {
        Owned a(arg ? ZvTuple_Pack(1, arg) : ZvTuple_New(0));
        return ZvTuple_Type.tp_new(&ZvTuple_Type, a, nullptr);
    };
    Owned empty(make(nullptr));
    EXPECT_EQ(ZvTuple_GET_SIZE(empty.get()), 0);

    Owned t(int_tuple({1, 2}));
    Owned same(make(t));
    EXPECT_EQ(same.get(), t.get()); // a tuple argument is returned itself

    Owned l(int_list({3, 4, 5}));
    Owned fromlist(make(l));
    EXPECT_EQ(int_values(fromlist), (std::vector<int>{3, 4, 5}));

    Owned s(ZvString_FromString("ab"));
    Owned fromstr(make(s));
    EXPECT_EQ(zv_repr(fromstr), "('a', 'b')");

    int n = 0;
    Owned it(make_iterator([&n]() -> ZvObject * { return n < 3 ? ZvInt_FromLong(n++) : nullptr; }));
    Owned fromiter(make(it));
    EXPECT_EQ(int_values(fromiter), (std::vector<int>{0, 1, 2}));

    Owned five(ZvInt_FromLong(5));
    EXPECT_EQ(make(five), nullptr);
    EXPECT_EQ(zv_error_text(), "iteration over non-sequence");

    Owned kw(kwargs({{"sequence", l.get()}}));
    Owned none(ZvTuple_New(0));
    Owned bykw(ZvTuple_Type.tp_new(&ZvTuple_Type, none, kw));
    EXPECT_EQ(int_values(bykw), (std::vector<int>{3, 4, 5}));

    Owned args(ZvTuple_Pack(2, l.get(), l.get()));
    EXPECT_EQ(ZvTuple_Type.tp_new(&ZvTuple_Type, args, nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(TupleTest, GetNewArgsWrapsThePlainTuple)
{
    Owned t(int_tuple({1, 2}));
    Owned r(zv_call_method(t, "__getnewargs__"));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(ZvTuple_GET_SIZE(r.get()), 1);
    EXPECT_EQ(ZvTuple_GET_ITEM(r.get(), 0), t.get());
}

TEST_F(TupleTest, IteratorReportsLengthAndDropsTheTupleAtTheEnd)
{
    Owned t(int_tuple({1, 2}));
    int base = Zv_REFCNT(t.get());
    Owned it(ZvTuple_Type.tp_iter(t));
    ZvTypeObject *itp = Zv_TYPE(it.get());
    EXPECT_STREQ(itp->tp_name, "tupleiterator");
    EXPECT_EQ(Zv_REFCNT(t.get()), base + 1);
    EXPECT_EQ(itp->tp_as_sequence->sq_length(it), 2);
    Owned a(itp->tp_iternext(it));
    Owned b(itp->tp_iternext(it));
    EXPECT_EQ(itp->tp_as_sequence->sq_length(it), 0);
    EXPECT_EQ(itp->tp_iternext(it), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(Zv_REFCNT(t.get()), base);
    EXPECT_EQ(itp->tp_iternext(it), nullptr);
}

TEST_F(TupleTest, DeepNestingIsFreedAndGuardedAgainstStackExhaustion)
{
    // 200,000 levels: freeing must not recurse that deep, and hashing,
    // repr and comparison stop at the recursion limit.
    ZvObject *t = ZvTuple_New(0);
    ZvObject *u = ZvTuple_New(0);
    for (int i = 0; i < 200000; i++) {
        ZvObject *n = ZvTuple_New(1);
        ZvTuple_SET_ITEM(n, 0, t);
        t = n;
        ZvObject *m = ZvTuple_New(1);
        ZvTuple_SET_ITEM(m, 0, u);
        u = m;
    }
    EXPECT_EQ(ZvObject_Hash(t), -1);
    EXPECT_TRUE(zv_raised(ZvExc_RuntimeError));
    EXPECT_EQ(zv_repr(t), "<error>");
    EXPECT_EQ(ZvObject_RichCompareBool(t, u, Zv_EQ), -1);
    EXPECT_TRUE(zv_raised(ZvExc_RuntimeError));
    EXPECT_EQ(ZvThreadState_GET()->recursion_depth, 0);
    Zv_DECREF(t);
    Zv_DECREF(u);
}

TEST_F(TupleTest, PackRaisesTheCounts)
{
    Owned s(ZvString_FromString("packed-item"));
    int before = Zv_REFCNT(s.get());
    Owned t(ZvTuple_Pack(3, s.get(), s.get(), Zv_None));
    EXPECT_EQ(Zv_REFCNT(s.get()), before + 2);
    EXPECT_EQ(ZvTuple_GET_ITEM(t.get(), 2), Zv_None);
}

TEST_F(TupleTest, PrintWritesItemsThroughTheirPrintSlotsAndStopsDeepNesting)
{
    Owned t(Zv_BuildValue("(s[i](){})", "a", 1));
    EXPECT_EQ(printed(t), "('a', [1], (), {})");
    Owned empty(ZvTuple_New(0));
    EXPECT_EQ(printed(empty), "()");

    // Tuples cannot contain themselves, but can nest far deeper than the
    // recursion limit: an error, not an exhausted stack.
    ZvObject *deep = ZvTuple_New(0);
    for (int i = 0; i < 100000; i++) {
        ZvObject *outer = ZvTuple_New(1);
        ZvTuple_SET_ITEM(outer, 0, deep);
        deep = outer;
    }
    Owned deep_owned(deep);
    EXPECT_EQ(printed(deep), "<error>");
    EXPECT_EQ(zv_error_text(), "maximum recursion depth exceeded while printing an object");
}

TEST_F(TupleTest, SubclassesMadeAtRunTimeBehaveAsTuples)
{
    bool freed = false;
    {
        Owned cls(zv_class("T", {ZV_TYPE_OBJ(ZvTuple_Type)}));
        Owned probe(make_probe({.on_dealloc = [&] { freed = true; }, .value = 9}));
        Owned src(int_list({1, 2}));
        ASSERT_EQ(ZvList_Append(src, probe), 0);
        Owned t(zv_call(cls, {src.get()}));
        ASSERT_NE(t.get(), nullptr);
        EXPECT_EQ(Zv_TYPE(t.get()), (ZvTypeObject *)cls.get());
        EXPECT_TRUE(ZvTuple_Check(t.get()));
        EXPECT_TRUE(_ZvGC_IS_TRACKED(t.get()));
        EXPECT_EQ(ZvTuple_GET_SIZE(t.get()), 3);
        EXPECT_EQ(zv_repr(t), "(1, 2, probe(9))");
        EXPECT_EQ(printed(t), "(1, 2, probe(9))");
        Owned head(ZvTuple_GetSlice(t, 0, 2));
        EXPECT_TRUE(ZvTuple_CheckExact(head.get()));
        EXPECT_EQ(int_values(head), (std::vector<int>{1, 2}));
        ASSERT_EQ(ZvObject_SetAttrString(t, "p", probe), 0);

        // Equal to, and hashing like, the plain tuple of the same items.
        Owned ints(int_tuple({4, 5}));
        Owned sub(zv_call(cls, {ints.get()}));
        EXPECT_EQ(ZvObject_RichCompareBool(sub, ints, Zv_EQ), 1);
        EXPECT_EQ(ZvObject_Hash(sub), ZvObject_Hash(ints));
        Owned bigger(int_tuple({4, 6}));
        EXPECT_EQ(ZvObject_RichCompareBool(sub, bigger, Zv_LT), 1);

        // An empty instance is of the class, not the shared empty tuple.
        Owned none(zv_call(cls));
        EXPECT_EQ(Zv_TYPE(none.get()), (ZvTypeObject *)cls.get());
        EXPECT_EQ(ZvTuple_GET_SIZE(none.get()), 0);
    }
    EXPECT_TRUE(freed);
}
