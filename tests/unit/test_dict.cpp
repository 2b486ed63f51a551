// The dictionary: table layout and probing, the lookup rules under
// hostile keys, growth, deletion, clearing, merging, comparison, repr,
// iteration and the methods.
#include "typetest.h"

#include <stdio.h>
#include <stdlib.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace {

using DictTest = ZvTest;

ZvObject *I(int32_t v) { return ZvInt_FromLong(v); }
ZvObject *S(const char *s) { return ZvString_FromString(s); }

ZvDictObject *D(ZvObject *d) { return (ZvDictObject *)d; }

// A dictionary of int keys and values, inserted in the order given.
ZvObject *int_dict(std::initializer_list<std::pair<int32_t, int32_t>> items)
{
    ZvObject *d = ZvDict_New();
    for (auto [k, v] : items) {
        Owned key(I(k)), value(I(v));
        EXPECT_EQ(ZvDict_SetItem(d, key, value), 0);
    }
    return d;
}

void set_int(ZvObject *d, int32_t k, int32_t v)
{
    Owned key(I(k)), value(I(v));
    ASSERT_EQ(ZvDict_SetItem(d, key, value), 0);
}

void del_int(ZvObject *d, int32_t k)
{
    Owned key(I(k));
    ASSERT_EQ(ZvDict_DelItem(d, key), 0);
}

// The slot index holding int key k, or -1.
int slot_of(ZvObject *d, int32_t k)
{
    ZvDictObject *mp = D(d);
    for (int i = 0; i <= mp->ma_mask; i++) {
        ZvObject *key = mp->ma_table[i].me_key;
        if (mp->ma_table[i].me_value != nullptr && ZvInt_Check(key) && ZvInt_AS_LONG(key) == k)
            return i;
    }
    return -1;
}

std::vector<int32_t> int_list(ZvObject *list)
{
    std::vector<int32_t> out;
    for (int i = 0; i < ZvList_GET_SIZE(list); i++)
        out.push_back(ZvInt_AS_LONG(ZvList_GET_ITEM(list, i)));
    return out;
}

ZvObject *args(std::initializer_list<ZvObject *> items)
{
    ZvObject *t = ZvTuple_New((int)items.size());
    int i = 0;
    for (ZvObject *o : items) {
        Zv_INCREF(o);
        ZvTuple_SET_ITEM(t, i++, o);
    }
    return t;
}

ZvTypeObject blank_type(const char *name, int32_t size)
{
    ZvTypeObject t{};
    t.ob_refcnt = 1;
    t.ob_type = &ZvType_Type;
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Zv_TPFLAGS_DEFAULT;
    return t;
}

// --- a key with a chosen hash whose equality test misbehaves -------------

enum class Act { Nothing, Raise, ClearTarget, InsertIntoTarget };

struct HostileKey {
    ZvObject_HEAD
    Zv_hash_t hash;
    Act act;          // what its next equality test does (Raise: every one)
    ZvObject *target; // borrowed dictionary acted upon
    int compared;     // equality tests it ran
};

ZvTypeObject HostileKey_Type = [] {
    ZvTypeObject t = blank_type("hostilekey", sizeof(HostileKey));
    t.tp_dealloc = [](ZvObject *o) { ZvObject_Free(o); };
    t.tp_hash = [](ZvObject *o) { return ((HostileKey *)o)->hash; };
    t.tp_richcompare = [](ZvObject *v, ZvObject *w, int op) -> ZvObject * {
        auto *k = (HostileKey *)v;
        k->compared++;
        Act act = k->act;
        if (act != Act::Raise) k->act = Act::Nothing;
        switch (act) {
        case Act::Raise:
            ZvErr_SetString(ZvExc_ValueError, "cannot compare");
            return nullptr;
        case Act::ClearTarget: ZvDict_Clear(k->target); break;
        case Act::InsertIntoTarget: {
            Owned five(I(5)), intruder(S("intruder"));
            if (ZvDict_SetItem(k->target, five, intruder) < 0) return nullptr;
            break;
        }
        case Act::Nothing: break;
        }
        if (op == Zv_EQ) return ZvBool_FromLong(v == w);
        if (op == Zv_NE) return ZvBool_FromLong(v != w);
        Zv_RETURN_NOTIMPLEMENTED;
    };
    return t;
}();

ZvObject *hostile(Zv_hash_t hash, Act act = Act::Nothing, ZvObject *target = nullptr)
{
    auto *k = (HostileKey *)_ZvObject_New(&HostileKey_Type);
    k->hash = hash;
    k->act = act;
    k->target = target;
    k->compared = 0;
    return (ZvObject *)k;
}

// --- a value that inspects and changes its dictionary when freed ---------

struct Canary {
    ZvObject_HEAD
    ZvObject *target; // borrowed
};
int canary_saw_size = -1;

ZvTypeObject Canary_Type = [] {
    ZvTypeObject t = blank_type("canary", sizeof(Canary));
    t.tp_dealloc = [](ZvObject *o) {
        ZvObject *d = ((Canary *)o)->target;
        canary_saw_size = ZvDict_Size(d);
        EXPECT_EQ(ZvDict_SetItemString(d, "late", Zv_None), 0);
        ZvObject_Free(o);
    };
    return t;
}();

// --- a mapping that is not a dictionary ---------------------------------

struct Mapping {
    ZvObject_HEAD
    ZvObject *inner; // owned dictionary
};

ZvMethodDef mapping_methods[] = {
    {"keys", [](ZvObject *self, ZvObject *) { return ZvDict_Keys(((Mapping *)self)->inner); },
     METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZvMappingMethods mapping_as_mapping = {
    nullptr,
    [](ZvObject *self, ZvObject *key) -> ZvObject * {
        ZvObject *v = ZvDict_GetItem(((Mapping *)self)->inner, key);
        if (v == nullptr) {
            ZvErr_SetObject(ZvExc_KeyError, key);
            return nullptr;
        }
        Zv_INCREF(v);
        return v;
    },
    nullptr,
};

ZvTypeObject Mapping_Type = [] {
    ZvTypeObject t = blank_type("mapping", sizeof(Mapping));
    t.tp_dealloc = [](ZvObject *o) {
        Zv_DECREF(((Mapping *)o)->inner);
        ZvObject_Free(o);
    };
    t.tp_as_mapping = &mapping_as_mapping;
    t.tp_methods = mapping_methods;
    return t;
}();

// --- a subclass of dict -------------------------------------------------

struct SubDict {
    ZvDictObject base;
    int extra;
};

ZvTypeObject SubDict_Type = [] {
    ZvTypeObject t = blank_type("subdict", sizeof(SubDict));
    t.tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE;
    t.tp_base = &ZvDict_Type;
    return t;
}();

ZvTypeObject *ready_subdict()
{
    SubDict_Type.tp_new = ZvDict_Type.tp_new;
    SubDict_Type.tp_init = ZvDict_Type.tp_init;
    SubDict_Type.tp_traverse = ZvDict_Type.tp_traverse;
    SubDict_Type.tp_repr = ZvDict_Type.tp_repr;
    EXPECT_EQ(ZvType_Ready(&SubDict_Type), 0);
    return &SubDict_Type;
}

// --- table layout -------------------------------------------------------

TEST_F(DictTest, IntKeysFollowTheProbeSequence)
{
    // 1 and 9 share home slot 1; 9 moves on to (5*1 + 1 + 9) & 7 = 7.
    // 7 then finds its home taken and goes to (5*7 + 1 + 7) & 7 = 3.
    Owned a(int_dict({{1, 0}, {9, 0}, {7, 0}}));
    EXPECT_EQ(slot_of(a, 1), 1);
    EXPECT_EQ(slot_of(a, 9), 7);
    EXPECT_EQ(slot_of(a, 7), 3);
    Owned ka(ZvDict_Keys(a));
    EXPECT_EQ(int_list(ka), (std::vector<int32_t>{1, 7, 9}));

    // Another insertion order: 9 probes 1, 7, then (5*15 + 1 + 0) & 7 = 4.
    Owned b(int_dict({{7, 0}, {1, 0}, {9, 0}}));
    EXPECT_EQ(slot_of(b, 9), 4);
    Owned kb(ZvDict_Keys(b));
    EXPECT_EQ(int_list(kb), (std::vector<int32_t>{1, 9, 7}));

    // hash(-1) is -2, whose low bits pick slot 6.
    Owned c(int_dict({{-1, 0}}));
    EXPECT_EQ(slot_of(c, -1), 6);
}

TEST_F(DictTest, GrowthHappensOnTheSixthKeyAndOnlyForNewKeys)
{
    Owned d(ZvDict_New());
    for (int k = 0; k < 5; k++) set_int(d, k, k);
    EXPECT_EQ(D(d)->ma_table, D(d)->ma_smalltable);
    set_int(d, 5, 5); // fill 6: 6 * 3 >= 16, resize for 4 * 6 = 24 keys
    EXPECT_NE(D(d)->ma_table, D(d)->ma_smalltable);
    EXPECT_EQ(D(d)->ma_mask, 31);

    for (int k = 6; k < 21; k++) set_int(d, k, k); // fill 21 of 32: just below 2/3
    ZvDictEntry *table = D(d)->ma_table;
    for (int round = 0; round < 100; round++)
        for (int k = 0; k < 21; k++) set_int(d, k, round);
    EXPECT_EQ(D(d)->ma_table, table) << "replacing values moved the table";
    EXPECT_EQ(D(d)->ma_mask, 31);
    set_int(d, 21, 0); // a new key crosses the threshold
    EXPECT_EQ(D(d)->ma_mask, 127);
    EXPECT_EQ(ZvDict_Size(d), 22);
}

TEST_F(DictTest, DeletionLeavesDummiesThatInsertionReuses)
{
    Owned d(int_dict({{1, 1}, {9, 9}, {17, 17}}));
    int32_t fill = D(d)->ma_fill;
    ZvDictEntry *table = D(d)->ma_table;
    for (int k : {1, 9, 17}) del_int(d, k);
    EXPECT_EQ(ZvDict_Size(d), 0);
    EXPECT_EQ(D(d)->ma_fill, fill);
    // 17 is still reachable past the dummies of 1 and 9, then it is gone.
    Owned k17(I(17));
    EXPECT_EQ(ZvDict_GetItem(d, k17), nullptr);
    EXPECT_EQ(ZvDict_DelItem(d, k17), -1);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));

    for (int k : {17, 9, 1}) set_int(d, k, -k);
    EXPECT_EQ(D(d)->ma_fill, fill) << "reinsertion must reuse the dummy slots";
    EXPECT_EQ(D(d)->ma_table, table);
    EXPECT_EQ(slot_of(d, 17), 1); // the first dummy on its probe path
    ZvObject *v = ZvDict_GetItem(d, k17);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(ZvInt_AS_LONG(v), -17);
}

TEST_F(DictTest, ManyDeletionsThenInsertionsShrinkAwayTheDummies)
{
    Owned d(ZvDict_New());
    for (int k = 0; k < 1000; k++) set_int(d, k, k);
    for (int k = 0; k < 1000; k++) del_int(d, k);
    EXPECT_EQ(ZvDict_Size(d), 0);
    for (int k = 2000; k < 2010; k++) set_int(d, k, k);
    EXPECT_EQ(ZvDict_Size(d), 10);
    for (int k = 2000; k < 2010; k++) {
        Owned key(I(k));
        EXPECT_NE(ZvDict_GetItem(d, key), nullptr) << k;
    }
}

// --- lookups --------------------------------------------------------------

TEST_F(DictTest, StringLookupServesUntilAnotherKeyTypeIsSeen)
{
    Owned d(ZvDict_New());
    Owned fresh(ZvDict_New());
    auto string_lookup = D(fresh)->ma_lookup;
    ASSERT_EQ(ZvDict_SetItemString(d, "alpha", Zv_None), 0);
    Owned copy(S("alpha")); // equal, not the same object
    EXPECT_EQ(ZvDict_GetItem(d, copy), Zv_None);
    EXPECT_EQ(D(d)->ma_lookup, string_lookup);

    Owned absent(I(12345));
    EXPECT_EQ(ZvDict_GetItem(d, absent), nullptr); // even a failed lookup switches
    EXPECT_NE(D(d)->ma_lookup, string_lookup);
    EXPECT_EQ(ZvDict_GetItem(d, copy), Zv_None);
    EXPECT_EQ(ZvDict_GetItemString(d, "alpha"), Zv_None);
}

TEST_F(DictTest, EqualNumbersShareASlot)
{
    Owned d(ZvDict_New());
    set_int(d, 1, 10);
    Owned v(S("true"));
    ASSERT_EQ(ZvDict_SetItem(d, Zv_True, v), 0);
    EXPECT_EQ(ZvDict_Size(d), 1);
    Owned one(I(1));
    EXPECT_EQ(ZvDict_GetItem(d, one), v.get());
}

TEST_F(DictTest, ComparisonThatEmptiesTheDictionaryRestartsTheLookup)
{
    Owned d(ZvDict_New());
    Owned a(hostile(5, Act::ClearTarget, d));
    ASSERT_EQ(ZvDict_SetItem(d, a, Zv_None), 0);
    Owned b(hostile(5));
    EXPECT_EQ(ZvDict_GetItem(d, b), nullptr);
    EXPECT_EQ(((HostileKey *)a.get())->compared, 1);
    EXPECT_EQ(ZvDict_Size(d), 0);
    ASSERT_EQ(ZvDict_SetItem(d, b, Zv_True), 0);
    EXPECT_EQ(ZvDict_GetItem(d, b), Zv_True);
}

TEST_F(DictTest, ComparisonThatFillsTheRememberedDummyDoesNotOverwriteIt)
{
    Owned d(ZvDict_New());
    set_int(d, 5, 0); // slot 5
    Owned a(hostile(5, Act::Nothing, d));
    ASSERT_EQ(ZvDict_SetItem(d, a, Zv_None), 0); // probes on to slot 7
    ((HostileKey *)a.get())->act = Act::InsertIntoTarget;
    del_int(d, 5);                                // slot 5 becomes a dummy
    Owned b(hostile(5));
    Owned bval(S("b's value"));
    // Looking for b remembers the dummy, then a's comparison stores 5 there.
    ASSERT_EQ(ZvDict_SetItem(d, b, bval), 0);
    EXPECT_EQ(ZvDict_Size(d), 3);
    Owned five(I(5));
    ZvObject *v5 = ZvDict_GetItem(d, five);
    ASSERT_NE(v5, nullptr);
    EXPECT_EQ(zv_str(v5), "intruder");
    EXPECT_EQ(ZvDict_GetItem(d, b), bval.get());
}

TEST_F(DictTest, ComparisonErrorsAreSwallowedAndPendingErrorsSurvive)
{
    Owned d(ZvDict_New());
    Owned a(hostile(7, Act::Raise));
    ASSERT_EQ(ZvDict_SetItem(d, a, Zv_None), 0);
    Owned b(hostile(7));

    EXPECT_EQ(ZvDict_GetItem(d, b), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);

    ZvErr_SetString(ZvExc_KeyError, "earlier");
    EXPECT_EQ(ZvDict_GetItem(d, b), nullptr);
    ASSERT_TRUE(ZvErr_ExceptionMatches(ZvExc_KeyError));
    EXPECT_EQ(zv_error_text(), "earlier");

    // A raising comparison means "different": b becomes a second key.
    ASSERT_EQ(ZvDict_SetItem(d, b, Zv_True), 0);
    EXPECT_EQ(ZvDict_Size(d), 2);
    EXPECT_GE(((HostileKey *)a.get())->compared, 2);
}

TEST_F(DictTest, UnhashableKeysAndMisuse)
{
    Owned d(ZvDict_New());
    Owned other(ZvDict_New());
    EXPECT_EQ(ZvDict_SetItem(d, other, Zv_None), -1);
    EXPECT_EQ(zv_error_text(), "dict objects are unhashable");
    EXPECT_EQ(ZvDict_GetItem(d, other), nullptr); // never raises
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(ZvDict_Contains(d, other), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    Owned list(ZvList_New(0));
    EXPECT_EQ(ZvDict_GetItem(list, d), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(ZvDict_SetItem(list, d, d), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvDict_DelItem(list, d), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvDict_Size(list), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvDict_Keys(list), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvDict_Merge(list, d, 1), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvDict_Copy(list), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    int pos = 0;
    EXPECT_EQ(ZvDict_Next(list, &pos, nullptr, nullptr), 0);
}

TEST_F(DictTest, KeyErrorCarriesTheWholeKey)
{
    Owned d(ZvDict_New());
    Owned pair(ZvTuple_Pack(2, Zv_None, Zv_True));
    ASSERT_EQ(ZvDict_DelItem(d, pair), -1);
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    EXPECT_EQ(t, ZvExc_KeyError);
    ASSERT_TRUE(v != nullptr && ZvTuple_Check(v));
    ASSERT_EQ(ZvTuple_GET_SIZE(v), 1);
    EXPECT_EQ(ZvTuple_GET_ITEM(v, 0), pair.get());
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);

    Owned k(I(42));
    EXPECT_EQ(ZvDict_Type.tp_as_mapping->mp_subscript(d, k), nullptr);
    ZvErr_Fetch(&t, &v, &tb);
    EXPECT_EQ(v, k.get()); // other keys are the value themselves
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);
}

// --- clearing and deallocation --------------------------------------------

TEST_F(DictTest, ClearEmptiesBeforeReleasingValues)
{
    for (int n : {3, 40}) { // the small table and an allocated one
        Owned d(ZvDict_New());
        for (int k = 0; k < n; k++) set_int(d, k, k);
        auto *c = (Canary *)_ZvObject_New(&Canary_Type);
        c->target = d;
        ASSERT_EQ(ZvDict_SetItemString(d, "canary", (ZvObject *)c), 0);
        Zv_DECREF(c);
        canary_saw_size = -1;
        ZvDict_Clear(d);
        EXPECT_EQ(canary_saw_size, 0) << n;
        EXPECT_EQ(ZvDict_Size(d), 1) << "the store made during the clear survives";
        EXPECT_NE(ZvDict_GetItemString(d, "late"), nullptr);
    }
}

TEST_F(DictTest, DeeplyNestedDictionariesAreFreedWithoutExhaustingTheStack)
{
    ZvObject *outer = ZvDict_New();
    Owned key(I(0));
    for (int i = 0; i < 100000; i++) {
        ZvObject *d = ZvDict_New();
        ASSERT_EQ(ZvDict_SetItem(d, key, outer), 0);
        Zv_DECREF(outer);
        outer = d;
    }
    Zv_DECREF(outer);
}

TEST_F(DictTest, ReleasedHeadersAreReusedEmpty)
{
    ZvObject *d = ZvDict_New();
    for (int k = 0; k < 50; k++) set_int(d, k, k);
    Owned probe(I(1000));
    ASSERT_EQ(ZvDict_GetItem(d, probe), nullptr); // general lookup now
    ZvObject *addr = d;
    Zv_DECREF(d);
    Owned again(ZvDict_New());
    Owned fresh(ZvDict_New());
    EXPECT_EQ(again.get(), addr);
    EXPECT_EQ(ZvDict_Size(again), 0);
    EXPECT_EQ(D(again)->ma_table, D(again)->ma_smalltable);
    EXPECT_EQ(D(again)->ma_mask, 7);
    EXPECT_EQ(D(again)->ma_lookup, D(fresh)->ma_lookup);
    Owned keys(ZvDict_Keys(again));
    EXPECT_EQ(ZvList_GET_SIZE(keys.get()), 0);
}

// --- merging and construction ---------------------------------------------

TEST_F(DictTest, MergeHonoursOverride)
{
    Owned a(int_dict({{1, 1}, {2, 2}}));
    Owned b(int_dict({{2, 20}, {3, 30}}));
    ASSERT_EQ(ZvDict_Merge(a, b, 0), 0);
    EXPECT_EQ(zv_repr(a), "{1: 1, 2: 2, 3: 30}");
    ASSERT_EQ(ZvDict_Update(a, b), 0);
    EXPECT_EQ(zv_repr(a), "{1: 1, 2: 20, 3: 30}");
    ASSERT_EQ(ZvDict_Merge(a, a, 1), 0);
    EXPECT_EQ(ZvDict_Size(a), 3);

    // A large merge into a small dictionary resizes once and keeps every key.
    Owned big(ZvDict_New());
    for (int k = 0; k < 500; k++) set_int(big, k, k);
    Owned small(int_dict({{-3, 0}}));
    ASSERT_EQ(ZvDict_Merge(small, big, 1), 0);
    EXPECT_EQ(ZvDict_Size(small), 501);
    EXPECT_LT(D(small)->ma_fill * 3, (D(small)->ma_mask + 1) * 2);
}

TEST_F(DictTest, MergeReadsOtherMappingsThroughKeysAndSubscript)
{
    // keys() is found as an attribute, which the type offers once readied.
    ASSERT_EQ(ZvType_Ready(&Mapping_Type), 0);
    auto *m = (Mapping *)_ZvObject_New(&Mapping_Type);
    m->inner = int_dict({{1, 100}, {2, 200}});
    Owned mapping((ZvObject *)m);
    Owned a(int_dict({{1, 1}}));
    ASSERT_EQ(ZvDict_Merge(a, mapping, 0), 0);
    EXPECT_EQ(zv_repr(a), "{1: 1, 2: 200}");
    ASSERT_EQ(ZvDict_Merge(a, mapping, 1), 0);
    EXPECT_EQ(zv_repr(a), "{1: 100, 2: 200}");

    Owned fresh(ZvDict_Type.tp_new(&ZvDict_Type, nullptr, nullptr));
    Owned one(args({mapping}));
    ASSERT_EQ(ZvDict_Type.tp_init(fresh, one, nullptr), 0);
    EXPECT_EQ(zv_repr(fresh), "{1: 100, 2: 200}");
}

TEST_F(DictTest, MergeFromPairsReportsTheOffendingElement)
{
    Owned d(ZvDict_New());
    Owned p1(ZvTuple_Pack(2, Owned(I(1)).get(), Owned(I(2)).get()));
    Owned p2(ZvList_New(0));
    ZvList_Append(p2, Owned(I(3)));
    ZvList_Append(p2, Owned(I(4)));
    Owned pairs(ZvList_New(0));
    ZvList_Append(pairs, p1);
    ZvList_Append(pairs, p2);
    ZvList_Append(pairs, Owned(S("ab"))); // a two-character string is a pair too
    ASSERT_EQ(ZvDict_MergeFromSeq2(d, pairs, 1), 0);
    EXPECT_EQ(ZvDict_Size(d), 3);
    EXPECT_EQ(zv_repr(ZvDict_GetItemString(d, "a")), "'b'");

    Owned triple(ZvTuple_Pack(3, Zv_None, Zv_None, Zv_None));
    Owned bad_len(ZvList_New(0));
    ZvList_Append(bad_len, p1);
    ZvList_Append(bad_len, triple);
    EXPECT_EQ(ZvDict_MergeFromSeq2(d, bad_len, 1), -1);
    ASSERT_TRUE(ZvErr_ExceptionMatches(ZvExc_ValueError));
    EXPECT_EQ(zv_error_text(), "dictionary update sequence element #1 has length 3; 2 is required");

    Owned bad_item(ZvList_New(0));
    ZvList_Append(bad_item, Owned(I(1)));
    EXPECT_EQ(ZvDict_MergeFromSeq2(d, bad_item, 1), -1);
    ASSERT_TRUE(ZvErr_ExceptionMatches(ZvExc_TypeError));
    EXPECT_EQ(zv_error_text(), "cannot convert dictionary update sequence element #0 to a sequence");

    EXPECT_EQ(ZvDict_MergeFromSeq2(d, Owned(I(7)), 1), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    // Without override existing keys keep their values.
    Owned p1b(ZvTuple_Pack(2, Owned(I(1)).get(), Zv_None));
    Owned again(ZvList_New(0));
    ZvList_Append(again, p1b);
    ASSERT_EQ(ZvDict_MergeFromSeq2(d, again, 0), 0);
    Owned one(I(1));
    EXPECT_EQ(zv_repr(ZvDict_GetItem(d, one)), "2");
}

TEST_F(DictTest, ConstructorTakesOnePositionalArgumentAndKeywords)
{
    Owned d(ZvDict_Type.tp_new(&ZvDict_Type, nullptr, nullptr));
    ASSERT_NE(d.get(), nullptr);
    Owned src(int_dict({{1, 2}}));
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "x", Zv_None);
    Owned a(args({src}));
    ASSERT_EQ(ZvDict_Type.tp_init(d, a, kw), 0);
    EXPECT_EQ(ZvDict_Size(d), 2);

    Owned two(args({src, src}));
    EXPECT_EQ(ZvDict_Type.tp_init(d, two, nullptr), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    // Instances of a subclass get a working table of their own.
    ZvTypeObject *sub = ready_subdict();
    Owned s(sub->tp_new(sub, nullptr, nullptr));
    ASSERT_NE(s.get(), nullptr);
    EXPECT_TRUE(ZvDict_Check(s.get()));
    set_int(s, 4, 16);
    del_int(s, 4);
    set_int(s, 5, 25);
    EXPECT_EQ(zv_repr(s), "{5: 25}");
}

// --- comparison and representation ---------------------------------------

TEST_F(DictTest, EqualityAndThreeWayComparison)
{
    Owned e1(ZvDict_New()), e2(ZvDict_New());
    EXPECT_EQ(ZvObject_RichCompareBool(e1, e2, Zv_EQ), 1);

    Owned a(int_dict({{1, 1}})), b(int_dict({{1, 2}}));
    EXPECT_EQ(ZvObject_Compare(a, b), -1);
    EXPECT_EQ(ZvObject_Compare(b, a), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_LT), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_EQ), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_NE), 1);

    Owned longer(int_dict({{1, 1}, {2, 2}}));
    EXPECT_EQ(ZvObject_Compare(longer, a), 1);

    // Same length: the smallest differing keys decide (2 < 3).
    Owned c(int_dict({{1, 1}, {2, 5}})), d(int_dict({{1, 1}, {3, 0}}));
    EXPECT_EQ(ZvObject_Compare(c, d), -1);
    EXPECT_EQ(ZvObject_Compare(d, c), 1);
    Owned c2(int_dict({{2, 5}, {1, 1}}));
    EXPECT_EQ(ZvObject_Compare(c, c2), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(c, c2, Zv_EQ), 1);

    Owned l(ZvList_New(0));
    EXPECT_EQ(ZvObject_RichCompareBool(e1, l, Zv_EQ), 0);
}

TEST_F(DictTest, ValueComparisonErrorsPropagateFromEquality)
{
    Owned a(ZvDict_New()), b(ZvDict_New());
    Owned x(hostile(1, Act::Raise)), y(hostile(1));
    set_int(a, 0, 0);
    set_int(b, 0, 0);
    Owned k(I(1));
    ZvDict_SetItem(a, k, x);
    ZvDict_SetItem(b, k, y);
    EXPECT_EQ(ZvObject_RichCompareBool(a, b, Zv_EQ), -1);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
}

TEST_F(DictTest, ReprAndPrintGuardAgainstSelfReference)
{
    Owned d(ZvDict_New());
    EXPECT_EQ(zv_repr(d), "{}");
    Owned one(I(1));
    ASSERT_EQ(ZvDict_SetItem(d, one, d), 0);
    EXPECT_EQ(zv_repr(d), "{1: {...}}");

    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    ASSERT_EQ(ZvDict_Type.tp_print(d, f, 0), 0);
    fclose(f);
    EXPECT_EQ(std::string(buf, len), "{1: {...}}");
    free(buf);

    ZvDict_Clear(d); // break the cycle
    ZvDict_SetItemString(d, "k", Owned(S("v")));
    set_int(d, 2, 3);
    std::string r = zv_repr(d);
    EXPECT_TRUE(r == "{'k': 'v', 2: 3}" || r == "{2: 3, 'k': 'v'}") << r;
}

// --- iteration ---------------------------------------------------------------

ZvObject *iter_next(ZvObject *it) { return Zv_TYPE(it)->tp_iternext(it); }
int iter_len(ZvObject *it) { return Zv_TYPE(it)->tp_as_sequence->sq_length(it); }

TEST_F(DictTest, IteratorsWalkTheTableAndReportTheirLength)
{
    Owned d(int_dict({{3, 30}, {1, 10}, {2, 20}}));
    Owned keys(ZvDict_Type.tp_iter(d));
    EXPECT_EQ(zv_str((ZvObject *)Zv_TYPE(keys.get())), "<type 'dictionary-keyiterator'>");
    EXPECT_EQ(iter_len(keys), 3);
    std::vector<int32_t> seen;
    while (ZvObject *k = iter_next(keys)) {
        seen.push_back(ZvInt_AS_LONG(k));
        Zv_DECREF(k);
    }
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(iter_len(keys), 0);
    EXPECT_EQ(iter_next(keys), nullptr); // stays exhausted

    Owned values(zv_call_method(d, "itervalues"));
    Owned v1(iter_next(values));
    EXPECT_EQ(zv_repr(v1), "10");
    EXPECT_EQ(iter_len(values), 2);

    Owned items(zv_call_method(d, "iteritems"));
    ZvObject *p1 = iter_next(items);
    EXPECT_EQ(zv_repr(p1), "(1, 10)");
    Zv_DECREF(p1); // dropped: the next step reuses the pair
    ZvObject *p2 = iter_next(items);
    EXPECT_EQ(p2, p1);
    EXPECT_EQ(zv_repr(p2), "(2, 20)");
    ZvObject *p3 = iter_next(items); // p2 still held: a fresh pair
    EXPECT_NE(p3, p2);
    EXPECT_EQ(zv_repr(p3), "(3, 30)");
    EXPECT_EQ(zv_repr(p2), "(2, 20)");
    Zv_DECREF(p2);
    Zv_DECREF(p3);
}

TEST_F(DictTest, SizeChangeDuringIterationRaisesEveryTime)
{
    Owned d(int_dict({{1, 1}, {2, 2}}));
    Owned it(ZvDict_Type.tp_iter(d));
    Owned first(iter_next(it));
    set_int(d, 3, 3);
    EXPECT_EQ(iter_len(it), 0);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(iter_next(it), nullptr);
        ASSERT_TRUE(ZvErr_ExceptionMatches(ZvExc_RuntimeError));
        EXPECT_EQ(zv_error_text(), "dictionary changed size during iteration");
    }
    del_int(d, 3); // back to the old size: still broken
    EXPECT_EQ(iter_next(it), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_RuntimeError));

    // Replacing values is not a size change.
    Owned it2(ZvDict_Type.tp_iter(d));
    Owned k(iter_next(it2));
    set_int(d, 2, 200);
    Owned k2(iter_next(it2));
    EXPECT_NE(k2.get(), nullptr);
}

// --- methods ------------------------------------------------------------------

TEST_F(DictTest, PopitemFollowsItsFinger)
{
    Owned d(int_dict({{6, 0}, {2, 0}}));
    std::vector<int32_t> order;
    auto pop = [&] {
        Owned item(zv_call_method(d, "popitem"));
        ASSERT_NE(item.get(), nullptr);
        order.push_back(ZvInt_AS_LONG(ZvTuple_GET_ITEM(item.get(), 0)));
    };
    pop();            // from slot 1 on: 2 (finger 3)
    set_int(d, 1, 0); // behind the finger
    pop();            // from slot 3 on: 6 (finger 7)
    pop();            // wraps to slot 1
    EXPECT_EQ(order, (std::vector<int32_t>{2, 6, 1}));
    EXPECT_EQ(zv_call_method(d, "popitem"), nullptr);
    EXPECT_EQ(zv_error_text(), "popitem(): dictionary is empty");

    Owned z(int_dict({{3, 0}, {0, 0}}));
    Owned first(zv_call_method(z, "popitem"));
    EXPECT_EQ(zv_repr(first), "(0, 0)"); // an active slot 0 goes first
}

TEST_F(DictTest, GetSetdefaultPopAndMembership)
{
    Owned d(int_dict({{1, 2}}));
    Owned k1(I(1)), k3(I(3)), dflt(S("dflt"));
    Owned a1(args({k1})), a3(args({k3})), a3d(args({k3, dflt}));

    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "get", a1))), "2");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "get", a3))), "None");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "get", a3d))), "'dflt'");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "has_key", a1))), "True");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "__contains__", a3))), "False");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "__getitem__", a1))), "2");
    EXPECT_EQ(zv_call_method(d, "__getitem__", a3), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));
    EXPECT_EQ(ZvDict_Type.tp_as_sequence->sq_contains(d, k1), 1);

    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "setdefault", a3d))), "'dflt'");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "setdefault", a3))), "'dflt'");
    EXPECT_EQ(ZvDict_Size(d), 2);

    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "pop", a3))), "'dflt'");
    EXPECT_EQ(zv_call_method(d, "pop", a3), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "pop", a3d))), "'dflt'");

    Owned empty(ZvDict_New());
    EXPECT_EQ(zv_call_method(empty, "pop", a1), nullptr);
    EXPECT_EQ(zv_error_text(), "pop(): dictionary is empty");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(empty, "pop", a3d))), "'dflt'");

    Owned unhashable(args({empty}));
    EXPECT_EQ(zv_call_method(d, "get", unhashable), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(zv_call_method(d, "has_key", unhashable), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    Owned none(args({}));
    EXPECT_EQ(zv_call_method(d, "get", none), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(DictTest, ListsCopyClearAndUpdate)
{
    Owned d(int_dict({{2, 20}, {1, 10}}));
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "keys"))), "[1, 2]");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "values"))), "[10, 20]");
    EXPECT_EQ(zv_repr(Owned(zv_call_method(d, "items"))), "[(1, 10), (2, 20)]");

    Owned c(zv_call_method(d, "copy"));
    set_int(c, 3, 30);
    EXPECT_EQ(ZvDict_Size(d), 2);
    EXPECT_EQ(ZvObject_RichCompareBool(c, d, Zv_EQ), 0);

    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "name", Zv_True);
    Owned a(args({c}));
    Owned r(zv_call_method(d, "update", a, kw));
    EXPECT_EQ(r.get(), Zv_None);
    EXPECT_EQ(ZvDict_Size(d), 4);

    Owned cleared(zv_call_method(d, "clear"));
    EXPECT_EQ(cleared.get(), Zv_None);
    EXPECT_EQ(ZvDict_Size(d), 0);
}

TEST_F(DictTest, FromkeysBuildsAnInstanceOfTheClass)
{
    Owned any(ZvDict_New());
    Owned ab(S("ab"));
    Owned a(args({ab}));
    Owned d(zv_call_method(any, "fromkeys", a));
    EXPECT_EQ(Zv_TYPE(d.get()), &ZvDict_Type);
    EXPECT_EQ(ZvDict_Size(d), 2);
    EXPECT_EQ(ZvDict_GetItemString(d, "a"), Zv_None);
    EXPECT_EQ(ZvDict_GetItemString(d, "b"), Zv_None);

    ZvTypeObject *sub = ready_subdict();
    Owned inst(sub->tp_new(sub, nullptr, nullptr));
    Owned zero(I(0));
    Owned keys(ZvDict_Keys(Owned(int_dict({{7, 0}, {8, 0}}))));
    Owned a2(args({keys, zero}));
    Owned s(zv_call_method(inst, "fromkeys", a2));
    ASSERT_NE(s.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(s.get()), sub);
    EXPECT_EQ(zv_repr(s), "{8: 0, 7: 0}"); // 8 lands in slot 0

    Owned bad(args({zero}));
    EXPECT_EQ(zv_call_method(any, "fromkeys", bad), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(DictTest, StringFormsAndPositionalWalk)
{
    Owned d(ZvDict_New());
    ASSERT_EQ(ZvDict_SetItemString(d, "a", Zv_True), 0);
    ASSERT_EQ(ZvDict_SetItemString(d, "b", Zv_False), 0);
    EXPECT_EQ(ZvDict_GetItemString(d, "a"), Zv_True);
    EXPECT_EQ(ZvDict_DelItemString(d, "a"), 0);
    EXPECT_EQ(ZvDict_DelItemString(d, "a"), -1);
    EXPECT_TRUE(zv_raised(ZvExc_KeyError));

    int pos = 0, count = 0;
    ZvObject *k, *v;
    while (ZvDict_Next(d, &pos, &k, &v)) {
        EXPECT_EQ(zv_repr(k), "'b'");
        EXPECT_EQ(v, Zv_False);
        count++;
    }
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ZvDict_Next(d, &pos, &k, &v), 0);
    pos = -1;
    EXPECT_EQ(ZvDict_Next(d, &pos, &k, &v), 0);
}


// --- other objects through the generic protocols --------------------------
//
// A built-in function stored in a class is not bound to the instance: the
// natives below see only the explicit arguments.

ZvObject *fn_keys_one_two(ZvObject *, ZvObject *) { return Zv_BuildValue("[ii]", 1, 2); }
ZvObject *fn_keys_not_iterable(ZvObject *, ZvObject *) { return ZvInt_FromLong(3); }
ZvObject *fn_times_ten(ZvObject *, ZvObject *args)
{
    int k;
    if (!ZvArg_ParseTuple(args, "i", &k)) return nullptr;
    if (k == 2) {
        ZvErr_SetString(ZvExc_LookupError, "no item 2");
        return nullptr;
    }
    return ZvInt_FromLong(k * 10);
}
// Item i of a three-item sequence of pairs (i, i*i).
ZvObject *fn_pair_at(ZvObject *, ZvObject *args)
{
    int i;
    if (!ZvArg_ParseTuple(args, "i", &i)) return nullptr;
    if (i >= 3) {
        ZvErr_SetString(ZvExc_IndexError, "no more pairs");
        return nullptr;
    }
    return Zv_BuildValue("(ii)", i, i * i);
}
ZvObject *fn_refuse(ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_LookupError, "refused");
    return nullptr;
}
int setitem_calls = 0;
ZvObject *fn_count_setitem(ZvObject *, ZvObject *args)
{
    setitem_calls++;
    EXPECT_EQ(ZvTuple_GET_SIZE(args), 2);
    Zv_RETURN_NONE;
}

ZvMethodDef keys_one_two = {"keys", fn_keys_one_two, METH_VARARGS, nullptr};
ZvMethodDef keys_not_iterable = {"keys", fn_keys_not_iterable, METH_VARARGS, nullptr};
ZvMethodDef times_ten = {"__getitem__", fn_times_ten, METH_VARARGS, nullptr};
ZvMethodDef pair_at = {"__getitem__", fn_pair_at, METH_VARARGS, nullptr};
ZvMethodDef refuse = {"refuse", fn_refuse, METH_VARARGS, nullptr};
ZvMethodDef count_setitem = {"__setitem__", fn_count_setitem, METH_VARARGS, nullptr};

// An object that records its own destruction.
bool sentinel_freed = false;
ZvTypeObject Sentinel_Type = [] {
    ZvTypeObject t = blank_type("sentinel", sizeof(ZvObject));
    t.tp_dealloc = [](ZvObject *o) {
        sentinel_freed = true;
        ZvObject_Free(o);
    };
    return t;
}();

TEST_F(DictTest, AnythingWithKeysMergesAsAMapping)
{
    Owned keys(zv_native(&keys_one_two)), getitem(zv_native(&times_ten));
    Owned cls(zv_class("M", {}, {{"keys", keys.get()}, {"__getitem__", getitem.get()}}));
    Owned m(zv_call(cls));
    Owned a(int_dict({{1, 1}, {2, 2}}));
    ASSERT_EQ(ZvDict_Merge(a, m, 0), 0); // 2 is present: its item is never asked for
    EXPECT_EQ(zv_repr(a), "{1: 1, 2: 2}");
    EXPECT_EQ(ZvDict_Merge(a, m, 1), -1); // an item access error stops the merge
    EXPECT_EQ(zv_error_text(), "no item 2");
    EXPECT_EQ(zv_repr(a), "{1: 10, 2: 2}");

    // Only the attribute counts: one set on an instance of a class with
    // nothing but __getitem__ makes it a mapping for the constructor.
    Owned plain_cls(zv_class("P", {}, {{"__getitem__", getitem.get()}}));
    Owned p(zv_call(plain_cls));
    ASSERT_EQ(ZvObject_SetAttrString(p, "keys", keys), 0);
    Owned d(zv_call(ZV_TYPE_OBJ(ZvDict_Type), {p.get()}));
    EXPECT_EQ(d.get(), nullptr);
    EXPECT_EQ(zv_error_text(), "no item 2");

    // Broken keys(): not callable, not returning an iterable, or missing.
    Owned five(I(5));
    Owned not_callable(zv_class("N", {}, {{"keys", five.get()}}));
    Owned n(zv_call(not_callable));
    EXPECT_EQ(ZvDict_Merge(a, n, 1), -1);
    EXPECT_EQ(zv_error_text(), "call of non-callable attribute");
    Owned bad_keys(zv_native(&keys_not_iterable));
    Owned not_iterable(zv_class("B", {}, {{"keys", bad_keys.get()}}));
    Owned b(zv_call(not_iterable));
    EXPECT_EQ(ZvDict_Merge(a, b, 1), -1);
    EXPECT_EQ(zv_error_text(), "iteration over non-sequence");
    EXPECT_EQ(ZvDict_Merge(a, five, 1), -1);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
    EXPECT_EQ(ZvDict_Size(a), 2);
}

TEST_F(DictTest, PairsComeFromAnyIterable)
{
    // A class with only __getitem__ is iterated by index up to IndexError.
    Owned getitem(zv_native(&pair_at));
    Owned cls(zv_class("Pairs", {}, {{"__getitem__", getitem.get()}}));
    Owned pairs(zv_call(cls));
    Owned d(zv_call(ZV_TYPE_OBJ(ZvDict_Type), {pairs.get()}));
    EXPECT_EQ(zv_repr(d), "{0: 0, 1: 1, 2: 4}");

    // An iterator of pairs: another dictionary's items.
    Owned src(int_dict({{7, 70}, {8, 80}}));
    Owned items(zv_call_method(src, "iteritems"));
    Owned e(ZvDict_New());
    ASSERT_EQ(ZvDict_MergeFromSeq2(e, items, 1), 0);
    EXPECT_EQ(ZvObject_RichCompareBool(e, src, Zv_EQ), 1);

    // Elements are converted by iteration too: a dictionary of two keys
    // is a pair of its keys.
    Owned pair_dict(int_dict({{1, 0}, {2, 0}}));
    Owned one_elem(ZvTuple_Pack(1, pair_dict.get()));
    Owned f(ZvDict_New());
    ASSERT_EQ(ZvDict_MergeFromSeq2(f, one_elem, 1), 0);
    EXPECT_EQ(zv_repr(f), "{1: 2}");
}

TEST_F(DictTest, FromkeysCallsTheClassAndAssignsThroughIt)
{
    Owned setitem(zv_native(&count_setitem));
    Owned counting(zv_class("Counting", {ZV_TYPE_OBJ(ZvDict_Type)}, {{"__setitem__", setitem.get()}}));
    setitem_calls = 0;
    Owned abc(S("abc"));
    Owned d(zv_callattr(counting, "fromkeys", {abc.get()}));
    ASSERT_NE(d.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(d.get()), (ZvTypeObject *)counting.get());
    EXPECT_EQ(setitem_calls, 3); // every key went through the class's __setitem__,
    EXPECT_EQ(ZvDict_Size(d), 0); // which stored nothing

    Owned plain(zv_class("Plain", {ZV_TYPE_OBJ(ZvDict_Type)}));
    Owned src(int_dict({{1, 0}, {2, 0}}));
    Owned keys(zv_call_method(src, "iterkeys"));
    Owned zero(I(0));
    Owned p(zv_callattr(plain, "fromkeys", {keys.get(), zero.get()}));
    EXPECT_EQ(zv_repr(p), "{1: 0, 2: 0}");

    Owned init(zv_native(&refuse));
    Owned broken(zv_class("Broken", {ZV_TYPE_OBJ(ZvDict_Type)}, {{"__init__", init.get()}}));
    EXPECT_EQ(zv_callattr(broken, "fromkeys", {abc.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "refused");
    Owned not_iterable(zv_callattr(plain, "fromkeys", {zero.get()}));
    EXPECT_EQ(not_iterable.get(), nullptr);
    EXPECT_EQ(zv_error_text(), "iteration over non-sequence");
}

TEST_F(DictTest, SubclassesMadeAtRunTimeAreFullDictionaries)
{
    sentinel_freed = false;
    {
        Owned cls(zv_class("D", {ZV_TYPE_OBJ(ZvDict_Type)}));
        Owned one(I(1));
        Owned kw(ZvDict_New());
        ZvDict_SetItemString(kw, "name", one);
        Owned d(zv_call(cls, {}, kw));
        ASSERT_NE(d.get(), nullptr);
        EXPECT_TRUE(ZvDict_Check(d.get()));
        EXPECT_FALSE(ZvDict_CheckExact(d.get()));
        for (int k = 0; k < 100; k++) set_int(d, k, k); // grows past the small table
        for (int k = 0; k < 100; k += 2) del_int(d, k);
        EXPECT_EQ(ZvDict_Size(d), 51);

        Owned copy(ZvDict_Copy(d));
        EXPECT_TRUE(ZvDict_CheckExact(copy.get()));
        EXPECT_EQ(ZvObject_RichCompareBool(d, copy, Zv_EQ), 1);
        EXPECT_EQ(ZvObject_Compare(d, copy), 0);
        set_int(copy, 1000, 0);
        EXPECT_EQ(ZvObject_RichCompareBool(d, copy, Zv_LT), 1);

        // The instance is tracked and its traversal reaches its items and
        // its attribute dictionary, so the collector will see cycles
        // through it; releasing it releases everything.
        EXPECT_TRUE(_ZvGC_IS_TRACKED(d.get()));
        Owned sentinel(_ZvObject_New(&Sentinel_Type));
        ASSERT_EQ(ZvDict_SetItemString(d, "sentinel", sentinel), 0);
        ASSERT_EQ(ZvObject_SetAttrString(d, "attr", sentinel), 0);
        int visits = 0;
        auto count_sentinel = [](ZvObject *o, void *arg) {
            if (Zv_TYPE(o) == &Sentinel_Type) ++*(int *)arg;
            return 0;
        };
        ASSERT_EQ(Zv_TYPE(d.get())->tp_traverse(d, count_sentinel, &visits), 0);
        EXPECT_EQ(visits, 1); // the item; the attribute dictionary is visited itself
    }
    EXPECT_TRUE(sentinel_freed);
}

TEST_F(DictTest, PrintWritesItemsThroughTheirPrintSlotsAndStopsDeepNesting)
{
    Owned d(ZvDict_New());
    Owned one(I(1));
    Owned inner(Zv_BuildValue("[i(i)s]", 2, 3, "x"));
    ASSERT_EQ(ZvDict_SetItem(d, one, inner), 0);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    ASSERT_EQ(ZvObject_Print(d, f, 0), 0);
    fflush(f);
    EXPECT_EQ(std::string(buf, len), "{1: [2, (3,), 'x']}");

    // Distinct dictionaries nested far deeper than the recursion limit: an
    // error, not an exhausted stack.
    ZvObject *deep = ZvDict_New();
    for (int i = 0; i < 100000; i++) {
        ZvObject *outer = ZvDict_New();
        ASSERT_EQ(ZvDict_SetItem(outer, one, deep), 0);
        Zv_DECREF(deep);
        deep = outer;
    }
    Owned deep_owned(deep);
    EXPECT_EQ(ZvObject_Print(deep, f, 0), -1);
    EXPECT_TRUE(zv_raised(ZvExc_RuntimeError));
    EXPECT_EQ(ZvObject_Repr(deep), nullptr);
    EXPECT_EQ(zv_error_text(), "maximum recursion depth exceeded while getting the repr of an object");
    fclose(f);
    free(buf);
}

} // namespace
