// The list sort: order and stability against a reference, the comparison
// counts on ordered input, key= and cmp= with their failures, and user
// code that changes the list while it is being sorted.
#include <algorithm>
#include <random>

#include "seqtest.h"

using namespace seqtest;
using SortTest = ZvTest;

namespace {

int allocated_of(ZvObject *l) { return ((ZvListObject *)l)->allocated; }

// Items are tuples (key, original position); sorting compares only keys
// through key=, so the positions reveal stability.
ZvObject *keyed_items(const std::vector<int> &keys)
{
    ZvObject *l = ZvList_New((int)keys.size());
    for (size_t i = 0; i < keys.size(); i++) {
        Owned k(ZvInt_FromLong(keys[i]));
        Owned pos(ZvInt_FromLong((int)i));
        ZvList_SET_ITEM(l, i, ZvTuple_Pack(2, k.get(), pos.get()));
    }
    return l;
}

std::vector<std::pair<int, int>> keyed_values(ZvObject *l)
{
    std::vector<std::pair<int, int>> out;
    for (int i = 0; i < ZvList_GET_SIZE(l); i++) {
        ZvObject *t = ZvList_GET_ITEM(l, i);
        out.emplace_back(ZvInt_AS_LONG(ZvTuple_GET_ITEM(t, 0)), ZvInt_AS_LONG(ZvTuple_GET_ITEM(t, 1)));
    }
    return out;
}

// key=lambda t: t[0]
ZvObject *first_item_key()
{
    return make_callable([](ZvObject *a) -> ZvObject * {
        ZvObject *item = ZvTuple_GET_ITEM(ZvTuple_GET_ITEM(a, 0), 0);
        Zv_INCREF(item);
        return item;
    });
}

// cmp=lambda x, y: x - y over ints, counting its calls.
ZvObject *counting_cmp(long *calls)
{
    return make_callable([calls](ZvObject *a) -> ZvObject * {
        ++*calls;
        int32_t x = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 0)), y = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 1));
        return ZvInt_FromLong(x < y ? -1 : x > y ? 1 : 0);
    });
}

ZvObject *sort(ZvObject *l, ZvObject *kw) { return zv_call_method(l, "sort", nullptr, kw); }

// Sorts by key (optionally descending) and checks against a stable sort
// of the same (key, position) pairs.
void check_against_reference(const std::vector<int> &keys, bool reverse)
{
    Owned l(keyed_items(keys));
    Owned key(first_item_key());
    Owned kw(kwargs({{"key", key.get()}, {"reverse", reverse ? Zv_True : Zv_False}}));
    Owned r(sort(l, kw));
    ASSERT_EQ(r.get(), Zv_None);
    std::vector<std::pair<int, int>> expected;
    for (size_t i = 0; i < keys.size(); i++) expected.emplace_back(keys[i], (int)i);
    std::stable_sort(expected.begin(), expected.end(), [reverse](auto &a, auto &b) {
        return reverse ? a.first > b.first : a.first < b.first;
    });
    ASSERT_EQ(keyed_values(l), expected) << "n=" << keys.size() << " reverse=" << reverse;
}

std::vector<int> sorted_copy(std::vector<int> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST_F(SortTest, SmallListsAndTheExportedCall)
{
    Owned e(ZvList_New(0));
    ASSERT_EQ(ZvList_Sort(e), 0);
    Owned one(int_list({5}));
    ASSERT_EQ(ZvList_Sort(one), 0);
    EXPECT_EQ(int_values(one), (std::vector<int>{5}));
    Owned l(int_list({3, 1, 2, 3, 0, -7}));
    ASSERT_EQ(ZvList_Sort(l), 0);
    EXPECT_EQ(int_values(l), (std::vector<int>{-7, 0, 1, 2, 3, 3}));
    EXPECT_EQ(allocated_of(l), 6);
}

TEST_F(SortTest, RandomInputsMatchAStableReference)
{
    std::mt19937 rng(12345);
    for (int n : {2, 3, 31, 63, 64, 65, 100, 257, 1000, 4099, 20000}) {
        for (int range : {3, 50, 1 << 30}) { // many equal keys .. nearly distinct
            std::vector<int> keys(n);
            std::uniform_int_distribution<int> d(0, range);
            for (int &k : keys) k = d(rng);
            check_against_reference(keys, false);
            check_against_reference(keys, true);
        }
    }
}

TEST_F(SortTest, StructuredInputsMatchAStableReference)
{
    std::mt19937 rng(99);
    const int n = 5000;
    std::vector<std::vector<int>> cases;
    std::vector<int> v(n);
    for (int i = 0; i < n; i++) v[i] = (i * 7919) % 40; // sawtooth runs
    cases.push_back(v);
    for (int i = 0; i < n; i++) v[i] = i < n / 2 ? 2 * i : 2 * (i - n / 2) + 1; // interleaved halves
    cases.push_back(v);
    for (int i = 0; i < n; i++) v[i] = n - i; // descending
    cases.push_back(v);
    for (int i = 0; i < n; i++) v[i] = i; // ascending with a few swaps
    for (int k = 0; k < 10; k++) std::swap(v[rng() % n], v[rng() % n]);
    cases.push_back(v);
    for (int i = 0; i < n; i++) v[i] = (i / 100) % 2 ? i : n - i; // alternating blocks
    cases.push_back(v);
    for (auto &keys : cases) {
        check_against_reference(keys, false);
        check_against_reference(keys, true);
    }
}

TEST_F(SortTest, OrderedInputCostsOneComparisonPerAdjacentPair)
{
    const int n = 10000;
    for (int pattern = 0; pattern < 3; pattern++) {
        std::vector<int> v(n);
        for (int i = 0; i < n; i++) v[i] = pattern == 0 ? i : pattern == 1 ? n - i : 42;
        Owned l(int_list(v));
        long calls = 0;
        Owned cmp(counting_cmp(&calls));
        Owned kw(kwargs({{"cmp", cmp.get()}}));
        Owned r(sort(l, kw));
        ASSERT_EQ(r.get(), Zv_None);
        EXPECT_EQ(calls, n - 1) << "pattern " << pattern;
        EXPECT_EQ(int_values(l), sorted_copy(v));
    }
}

TEST_F(SortTest, GallopingMergesStayFarBelowTheWorstCase)
{
    // Two sorted halves whose values interleave in long blocks: the merge
    // gallops through each block instead of comparing item by item.
    const int n = 20000;
    std::vector<int> v;
    for (int i = 0; i < n / 2; i++) v.push_back((i / 500) * 1000 + i % 500);
    for (int i = 0; i < n / 2; i++) v.push_back((i / 500) * 1000 + 500 + i % 500);
    Owned l(int_list(v));
    long calls = 0;
    Owned cmp(counting_cmp(&calls));
    Owned kw(kwargs({{"cmp", cmp.get()}}));
    Owned r(sort(l, kw));
    ASSERT_EQ(r.get(), Zv_None);
    EXPECT_EQ(int_values(l), sorted_copy(v));
    EXPECT_LT(calls, n + n / 10); // a one-by-one merge would need about 2n

    // Perfectly interleaved halves cannot gallop; still correct.
    v.clear();
    for (int i = 0; i < n / 2; i++) v.push_back(2 * i);
    for (int i = 0; i < n / 2; i++) v.push_back(2 * i + 1);
    Owned m(int_list(v));
    Owned r2(sort(m, kw));
    EXPECT_EQ(int_values(m), sorted_copy(v));
}

TEST_F(SortTest, ReverseKeepsEqualItemsInTheirOrder)
{
    Owned l(keyed_items({1, 1, 1, 1}));
    Owned kw(kwargs({{"reverse", Zv_True}}));
    // Without a key the tuples differ by position; with equal keys the
    // order must be untouched.
    Owned key(first_item_key());
    Owned kw2(kwargs({{"reverse", Zv_True}, {"key", key.get()}}));
    Owned r(sort(l, kw2));
    EXPECT_EQ(keyed_values(l), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {1, 2}, {1, 3}}));
    Owned m(int_list({1, 3, 2}));
    Owned r2(sort(m, kw));
    EXPECT_EQ(int_values(m), (std::vector<int>{3, 2, 1}));
}

TEST_F(SortTest, CmpAndKeyTogetherCompareTheKeys)
{
    Owned l(keyed_items({5, 3, 9, 1}));
    Owned key(first_item_key());
    long calls = 0;
    Owned cmp(counting_cmp(&calls)); // it would crash on anything but ints
    Owned kw(kwargs({{"cmp", cmp.get()}, {"key", key.get()}}));
    Owned r(sort(l, kw));
    ASSERT_EQ(r.get(), Zv_None);
    EXPECT_EQ(keyed_values(l), (std::vector<std::pair<int, int>>{{1, 3}, {3, 1}, {5, 0}, {9, 2}}));
    EXPECT_GT(calls, 0);

    Owned kwnone(kwargs({{"cmp", Zv_None}, {"key", Zv_None}}));
    Owned m(int_list({2, 1}));
    Owned r2(sort(m, kwnone)); // None means "not given"
    EXPECT_EQ(int_values(m), (std::vector<int>{1, 2}));
}

TEST_F(SortTest, FailingCmpLeavesAPermutationOfTheItems)
{
    std::mt19937 rng(7);
    std::vector<int> v(3000);
    for (int &x : v) x = (int)(rng() % 100000);
    Owned l(int_list(v));
    long calls = 0;
    Owned cmp(make_callable([&calls](ZvObject *a) -> ZvObject * {
        if (++calls == 5000) {
            ZvErr_SetString(ZvExc_ValueError, "cmp gave up");
            return nullptr;
        }
        int32_t x = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 0)), y = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 1));
        return ZvInt_FromLong(x < y ? -1 : x > y);
    }));
    Owned kw(kwargs({{"cmp", cmp.get()}}));
    EXPECT_EQ(sort(l, kw), nullptr);
    EXPECT_EQ(zv_error_text(), "cmp gave up");
    EXPECT_EQ(sorted_copy(int_values(l)), sorted_copy(v));
    EXPECT_EQ(allocated_of(l), 3000);

    Owned s(ZvString_FromString("no"));
    Owned bad(make_callable([&s](ZvObject *) -> ZvObject * {
        Zv_INCREF(s.get());
        return s.get();
    }));
    Owned kw2(kwargs({{"cmp", bad.get()}}));
    EXPECT_EQ(sort(l, kw2), nullptr);
    EXPECT_EQ(zv_error_text(), "comparison function must return int");
    EXPECT_EQ(sorted_copy(int_values(l)), sorted_copy(v));
}

TEST_F(SortTest, InconsistentComparisonNeverCorruptsTheList)
{
    // A comparison that answers at random breaks every assumption the
    // merges make about ordering; the result is arbitrary but complete.
    std::mt19937 rng(2024);
    for (int n : {50, 700, 5000}) {
        std::vector<int> v(n);
        for (int i = 0; i < n; i++) v[i] = i;
        Owned l(int_list(v));
        Owned cmp(make_callable([&rng](ZvObject *) -> ZvObject * { return ZvInt_FromLong((int)(rng() % 3) - 1); }));
        Owned kw(kwargs({{"cmp", cmp.get()}}));
        Owned r(sort(l, kw));
        EXPECT_EQ(r.get(), Zv_None);
        EXPECT_EQ(sorted_copy(int_values(l)), v);
    }
}

TEST_F(SortTest, FailingKeyRestoresTheOriginalItems)
{
    Owned l(int_list({4, 3, 2, 1}));
    int calls = 0;
    Owned key(make_callable([&calls](ZvObject *a) -> ZvObject * {
        if (++calls == 3) {
            ZvErr_SetString(ZvExc_KeyError, "no key");
            return nullptr;
        }
        ZvObject *x = ZvTuple_GET_ITEM(a, 0);
        Zv_INCREF(x);
        return x;
    }));
    Owned kw(kwargs({{"key", key.get()}}));
    EXPECT_EQ(sort(l, kw), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));
    EXPECT_EQ(int_values(l), (std::vector<int>{4, 3, 2, 1})); // no wrapper left behind
}

TEST_F(SortTest, TheListLooksEmptyDuringTheSort)
{
    Owned l(int_list({3, 1, 2}));
    ZvObject *lp = l.get();
    Owned cmp(make_callable([lp](ZvObject *a) -> ZvObject * {
        EXPECT_EQ(ZvList_GET_SIZE(lp), 0);
        EXPECT_EQ(((ZvListObject *)lp)->allocated, -1);
        int32_t x = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 0)), y = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 1));
        return ZvInt_FromLong(x - y);
    }));
    Owned kw(kwargs({{"cmp", cmp.get()}}));
    Owned r(sort(l, kw));
    EXPECT_EQ(int_values(l), (std::vector<int>{1, 2, 3}));
}

TEST_F(SortTest, MutationDuringTheSortIsDetectedAndDiscarded)
{
    // A key function that appends to the list.
    Owned l(int_list({3, 1, 2}));
    ZvObject *lp = l.get();
    Owned key(make_callable([lp](ZvObject *a) -> ZvObject * {
        ZvList_Append(lp, Owned(ZvString_FromString("intruder")));
        ZvObject *x = ZvTuple_GET_ITEM(a, 0);
        Zv_INCREF(x);
        return x;
    }));
    Owned kw(kwargs({{"key", key.get()}}));
    EXPECT_EQ(sort(l, kw), nullptr);
    EXPECT_EQ(zv_error_text(), "list modified during sort");
    EXPECT_EQ(sorted_copy(int_values(l)), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(allocated_of(l), 3);

    // A comparison that empties the (apparently empty) list.
    Owned m(int_list({5, 4, 3, 2, 1}));
    ZvObject *mp = m.get();
    Owned cmp(make_callable([mp](ZvObject *a) -> ZvObject * {
        ZvList_SetSlice(mp, 0, ZvList_GET_SIZE(mp), nullptr);
        int32_t x = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 0)), y = ZvInt_AS_LONG(ZvTuple_GET_ITEM(a, 1));
        return ZvInt_FromLong(x - y);
    }));
    Owned kw2(kwargs({{"cmp", cmp.get()}}));
    EXPECT_EQ(sort(m, kw2), nullptr);
    EXPECT_EQ(zv_error_text(), "list modified during sort");
    EXPECT_EQ(int_values(m), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(SortTest, DefaultComparisonErrorsPropagate)
{
    // Probes refuse to be ordered against ints: the default comparison
    // falls back to type names, so make one raise instead.
    Owned l(int_list({1, 2}));
    Hooks h;
    h.compare = [](ZvObject *, ZvObject *, int) -> ZvObject * {
        ZvErr_SetString(ZvExc_TypeError, "cannot order probes");
        return nullptr;
    };
    ZvList_Insert(l, 0, Owned(make_probe(h)));
    EXPECT_EQ(ZvList_Sort(l), -1);
    EXPECT_EQ(zv_error_text(), "cannot order probes");
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 3);

    Owned m(int_list({2, 1}));
    Owned bad(kwargs({{"reverse", Owned(ZvString_FromString("yes")).get()}}));
    EXPECT_EQ(sort(m, bad), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(int_values(m), (std::vector<int>{2, 1}));
}
