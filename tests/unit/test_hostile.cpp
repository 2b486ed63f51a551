// Containers, strings and deallocation driven the way a hostile embedder
// or program would: classes whose special methods change the very object
// being worked on, slice steps at the edge of the int range, and chains of
// a million objects each holding the previous one.  Every case here once
// crashed, hung or corrupted memory.
#include <functional>
#include <vector>

#include "seqtest.h"
#include "typetest.h"

namespace {

// --- keys with chosen hashes and an equality test that runs test code ----

std::function<void(ZvObject *self, ZvObject *other)> on_eq;

ZvObject *fn_hash(ZvObject *self, ZvObject *) { return ZvObject_GetAttrString(self, "h"); }
ZvObject *fn_eq(ZvObject *self, ZvObject *other)
{
    if (on_eq) on_eq(self, other);
    Zv_RETURN_FALSE;
}
ZvMethodDef hash_def = {"__hash__", fn_hash, METH_NOARGS, nullptr};
ZvMethodDef eq_def = {"__eq__", fn_eq, METH_O, nullptr};

// A class whose instances hash to their attribute h and are never equal to
// anything but themselves; their __eq__ calls on_eq first.
ZvObject *key_class(const char *name)
{
    ZvObject *cls = zv_class(name, {});
    Owned h(ZvDescr_NewMethod((ZvTypeObject *)cls, &hash_def));
    Owned e(ZvDescr_NewMethod((ZvTypeObject *)cls, &eq_def));
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__hash__", h), 0);
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__eq__", e), 0);
    return cls;
}

ZvObject *key(ZvObject *cls, int h)
{
    ZvObject *k = zv_call(cls);
    Owned hv(zv_int(h));
    EXPECT_EQ(ZvObject_SetAttrString(k, "h", hv), 0);
    return k;
}

struct EqHook {
    ~EqHook() { on_eq = nullptr; }
};

ZvDictObject *dict_of(ZvObject *d) { return (ZvDictObject *)d; }

} // namespace

using HostileTest = ZvTest;

// An 8-slot table holds A (hash 0) and four keys on the later slots of hash
// 0's probe path (0, 1, 6, 7, 4, 5, 2, 3).  Each new hash-0 key is compared
// with A, whose __eq__ deletes one of the four from the far end of the
// path: the insertion takes a fresh empty slot while the length stays put.
// The table must still grow before its last empty slot goes, or the next
// lookup of a missing key probes forever.
TEST_F(HostileTest, DictKeepsAnEmptySlotWhenComparisonsDeleteKeys)
{
    EqHook reset;
    Owned kcls(key_class("K")), acls(key_class("A"));
    Owned d(ZvDict_New());
    Owned a(key(acls, 0)), k4(key(kcls, 4)), k5(key(kcls, 5)), k2(key(kcls, 2)), k3(key(kcls, 3));
    for (ZvObject *k : {a.get(), k4.get(), k5.get(), k2.get(), k3.get()})
        ASSERT_EQ(ZvDict_SetItem(d, k, Zv_None), 0);
    std::vector<ZvObject *> victims = {k5.get(), k2.get(), k3.get()};
    on_eq = [&](ZvObject *self, ZvObject *) {
        if (self != a.get() || victims.empty()) return;
        ZvObject *v = victims.back();
        victims.pop_back();
        EXPECT_EQ(ZvDict_DelItem(d, v), 0);
    };
    std::vector<ZvObject *> added;
    for (int i = 0; i < 3; i++) {
        added.push_back(key(kcls, 0));
        ASSERT_EQ(ZvDict_SetItem(d, added.back(), Zv_None), 0);
        ASSERT_LE(dict_of(d)->ma_fill, dict_of(d)->ma_mask) << "no empty slot left";
        ASSERT_LT((int64_t)dict_of(d)->ma_fill * 3, ((int64_t)dict_of(d)->ma_mask + 1) * 2);
    }
    on_eq = nullptr;
    EXPECT_TRUE(victims.empty());
    EXPECT_EQ(ZvDict_Size(d), 5);
    Owned missing(key(kcls, 0));
    EXPECT_EQ(ZvDict_GetItem(d, missing), nullptr); // ends
    for (ZvObject *k : added) {
        EXPECT_EQ(ZvDict_GetItem(d, k), Zv_None);
        Zv_DECREF(k);
    }
}

// All keys hash to 0; slot 1 holds a deleted marker between k0 (slot 0) and
// k2 (slot 6).  While x is being stored, k2's __eq__ deletes k0 and stores
// x itself (into slot 0).  The outer store had remembered slot 1 as free:
// using it would put x in the table twice.  Set, setdefault and merging
// all go through that lookup.
TEST_F(HostileTest, DictNeverHoldsAKeyTwiceAfterAComparisonStoresIt)
{
    EqHook reset;
    Owned cls(key_class("K"));
    Owned k0(key(cls, 0)), k1(key(cls, 0)), k2(key(cls, 0)), x(key(cls, 0));
    Owned one(zv_int(1)), two(zv_int(2));
    using Op = std::function<int(ZvObject *d)>;
    const std::vector<std::pair<const char *, Op>> ops = {
        {"set", [&](ZvObject *d) { return ZvDict_SetItem(d, x, one); }},
        {"setdefault",
         [&](ZvObject *d) {
             Owned r(zv_callattr(d, "setdefault", {x.get(), one.get()}));
             return r.get() != nullptr ? 0 : -1;
         }},
        {"merge",
         [&](ZvObject *d) {
             Owned src(ZvDict_New());
             ZvDict_SetItem(src, x, one);
             return ZvDict_Merge(d, src, 1);
         }},
    };
    for (const auto &[name, op] : ops) {
        SCOPED_TRACE(name);
        Owned d(ZvDict_New());
        ZvDict_SetItem(d, k0, one);
        ZvDict_SetItem(d, k1, one);
        ZvDict_SetItem(d, k2, one);
        ZvDict_DelItem(d, k1);
        bool fired = false;
        on_eq = [&](ZvObject *self, ZvObject *other) {
            if (fired || self != k2.get() || other != x.get()) return;
            fired = true;
            EXPECT_EQ(ZvDict_DelItem(d, k0), 0);
            EXPECT_EQ(ZvDict_SetItem(d, x, two), 0);
        };
        ASSERT_EQ(op(d), 0);
        on_eq = nullptr;
        EXPECT_TRUE(fired);
        EXPECT_EQ(ZvDict_Size(d), 2);
        Owned keys(ZvDict_Keys(d));
        EXPECT_EQ(ZvSequence_Count(keys, x), 1);
        ASSERT_EQ(ZvDict_DelItem(d, x), 0);
        EXPECT_EQ(ZvDict_GetItem(d, x), nullptr) << "a second copy survived the deletion";
        EXPECT_EQ(ZvDict_Size(d), 1);
    }
}

namespace {

ZvObject *deleting_class = nullptr;
ZvObject *fn_self(ZvObject *self, ZvObject *)
{
    Zv_INCREF(self);
    return self;
}
ZvObject *fn_next_deletes_itself(ZvObject *, ZvObject *)
{
    if (ZvObject_SetAttrString(deleting_class, "next", nullptr) < 0) return nullptr;
    return zv_int(7);
}
ZvMethodDef iter_self_def = {"__iter__", fn_self, METH_NOARGS, nullptr};
ZvMethodDef next_deletes_def = {"next", fn_next_deletes_itself, METH_VARARGS, nullptr};

} // namespace

// The iterator's class deletes its next method on the first step, which
// empties the type's next slot; the next step of enumerate must report
// that the object is no longer an iterator instead of calling NULL.
TEST_F(HostileTest, EnumerateOverAnIteratorThatLosesItsNextMethod)
{
    Owned next(zv_native(&next_deletes_def));
    Owned cls(zv_class("Fickle", {}, {{"next", next.get()}}));
    Owned iter(ZvDescr_NewMethod((ZvTypeObject *)cls.get(), &iter_self_def));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "__iter__", iter), 0);
    deleting_class = cls;
    Owned it(zv_call(cls));
    Owned en(zv_call(ZV_TYPE_OBJ(ZvEnum_Type), {it.get()}));
    ASSERT_NE(en.get(), nullptr);
    EXPECT_EQ(zv_repr(Owned(ZvIter_Next(en))), "(0, 7)");
    EXPECT_EQ(ZvIter_Next(en), nullptr);
    EXPECT_EQ(zv_error_text(), "'Fickle' object is not an iterator");
    deleting_class = nullptr;
}

// A chain of instances of a list, dict or tuple subclass, each holding the
// next: the subclass deallocator and the base's both have a depth guard,
// and the class must be released exactly once per instance however deep
// the chain (60 used to leave it one reference short, 100,000 freed it
// while instances still used it).
TEST_F(HostileTest, ChainsOfContainerSubclassInstancesReleaseTheirClassOnce)
{
    const std::vector<std::pair<const char *, ZvTypeObject *>> bases = {
        {"list", &ZvList_Type}, {"dict", &ZvDict_Type}, {"tuple", &ZvTuple_Type}};
    for (const auto &[name, base] : bases) {
        for (int depth : {60, 100000}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(depth));
            Owned cls(zv_class("Sub", {(ZvObject *)base}));
            Owned zero(zv_int(0));
            const int before = Zv_REFCNT(cls);
            ZvObject *prev = Zv_None;
            Zv_INCREF(prev);
            for (int i = 0; i < depth; i++) {
                ZvObject *x;
                if (base == &ZvTuple_Type) {
                    Owned items(zv_tuple({prev}));
                    x = zv_call(cls, {items.get()});
                } else {
                    x = zv_call(cls);
                    int rc = base == &ZvList_Type ? ZvList_Append(x, prev)
                                                  : ZvDict_SetItem(x, zero, prev);
                    EXPECT_EQ(rc, 0);
                }
                Zv_DECREF(prev);
                ASSERT_NE(x, nullptr);
                prev = x;
            }
            EXPECT_EQ(Zv_REFCNT(cls), before + depth);
            Zv_DECREF(prev);
            EXPECT_EQ(Zv_REFCNT(cls), before);
        }
    }
}

namespace {

ZvObject *shrink_target = nullptr;
int shrink_keep = 0;
ZvObject *fn_iter_shrinks(ZvObject *, ZvObject *)
{
    if (ZvList_SetSlice(shrink_target, shrink_keep, ZvList_GET_SIZE(shrink_target), nullptr) < 0)
        return nullptr;
    Owned five(seqtest::int_list({100, 101, 102, 103, 104}));
    return ZvObject_GetIter(five);
}
ZvMethodDef iter_shrinks_def = {"__iter__", fn_iter_shrinks, METH_VARARGS, nullptr};

} // namespace

// l[::2] = v where iterating v cuts l down first: the positions must come
// from the size l has once v is converted.
TEST_F(HostileTest, ExtendedSliceAssignmentWhoseValueShrinksTheList)
{
    Owned fn(zv_native(&iter_shrinks_def));
    Owned cls(zv_class("Shrinker", {}, {{"__iter__", fn.get()}}));
    Owned v(zv_call(cls));
    Owned two(zv_int(2));
    Owned every_other(ZvSlice_New(nullptr, nullptr, two));
    struct Case {
        int keep;
        const char *error;
        std::vector<int> after;
    };
    const Case cases[] = {
        {0, "attempt to assign sequence of size 5 to extended slice of size 0", {}},
        {2, "attempt to assign sequence of size 5 to extended slice of size 1", {0, 1}},
        {10, nullptr, {100, 1, 101, 3, 102, 5, 103, 7, 104, 9}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keep);
        Owned l(seqtest::int_list({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        shrink_target = l;
        shrink_keep = c.keep;
        int rc = ZvObject_SetItem(l, every_other, v);
        if (c.error != nullptr) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(zv_error_text(), c.error);
        } else {
            EXPECT_EQ(rc, 0);
        }
        EXPECT_EQ(seqtest::int_values(l), c.after);
    }
    shrink_target = nullptr;
}

// x[5::2147483647] selects one item; the cursor's step past it must not
// overflow (the sanitizer build stops on signed overflow).
TEST_F(HostileTest, SliceStepsNearTheIntLimit)
{
    Owned five(zv_int(5)), big(zv_int(INT32_MAX));
    Owned sl(ZvSlice_New(five, nullptr, big));
    Owned l(seqtest::int_list({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    Owned t(seqtest::int_tuple({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    Owned s(zv_string("0123456789"));
    EXPECT_EQ(zv_repr(Owned(ZvObject_GetItem(l, sl))), "[5]");
    EXPECT_EQ(zv_repr(Owned(ZvObject_GetItem(t, sl))), "(5,)");
    EXPECT_EQ(zv_repr(Owned(ZvObject_GetItem(s, sl))), "'5'");

    Owned l2(seqtest::int_list({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    Owned value(seqtest::int_list({99}));
    ASSERT_EQ(ZvObject_SetItem(l2, sl, value), 0);
    EXPECT_EQ(seqtest::int_values(l2), (std::vector<int>{0, 1, 2, 3, 4, 99, 6, 7, 8, 9}));
    ASSERT_EQ(ZvObject_DelItem(l2, sl), 0);
    EXPECT_EQ(seqtest::int_values(l2), (std::vector<int>{0, 1, 2, 3, 4, 6, 7, 8, 9}));
    // Two items apart by more than half the range: the deletion's look
    // ahead (cursor + step) is past the end too.
    Owned zero(zv_int(0)), half(zv_int(INT32_MAX / 2 + 1));
    Owned sl2(ZvSlice_New(zero, nullptr, half));
    ASSERT_EQ(ZvObject_DelItem(l2, sl2), 0);
    EXPECT_EQ(seqtest::int_values(l2), (std::vector<int>{1, 2, 3, 4, 6, 7, 8, 9}));
}

namespace {

ZvMethodDef noargs_def = {"f", fn_self, METH_NOARGS, nullptr};

// Builds a chain of n objects, each made from the previous one by `link`,
// and drops it: freeing must not recurse once per link.
void free_chain(int n, const std::function<ZvObject *(ZvObject *prev)> &link)
{
    ZvObject *prev = ZvList_New(0);
    for (int i = 0; i < n; i++) {
        ZvObject *x = link(prev);
        Zv_DECREF(prev);
        ASSERT_NE(x, nullptr) << "link " << i;
        prev = x;
    }
    Zv_DECREF(prev);
}

} // namespace

// A million enumerate objects, slices or bound built-in methods, each over
// the previous one; and shorter chains of the other objects that hold an
// arbitrary object.  Without the depth guard in their deallocators the
// native stack overflows.
TEST_F(HostileTest, LongChainsOfNonContainerObjectsAreFreedIteratively)
{
    const int million = 1000000;
    free_chain(million, [](ZvObject *p) { return zv_call(ZV_TYPE_OBJ(ZvEnum_Type), {p}); });
    free_chain(million, [](ZvObject *p) { return ZvSlice_New(p, nullptr, nullptr); });
    free_chain(million, [](ZvObject *p) { return ZvCFunction_New(&noargs_def, p); });
    const int n = 200000;
    free_chain(n, [](ZvObject *p) { return zv_getattr(p, "__reduce_ex__"); });
    free_chain(n, [](ZvObject *p) { return zv_getattr(p, "__str__"); }); // method-wrapper
    free_chain(n, [](ZvObject *p) { return zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {p}); });
    free_chain(n, [](ZvObject *p) {
        Owned f(ZvCFunction_New(&noargs_def, p));
        return ZvCallIter_New(f, Zv_None);
    });
    free_chain(n, [](ZvObject *p) {
        if (Zv_TYPE(p) != &ZvSuper_Type) return zv_call(ZV_TYPE_OBJ(ZvSuper_Type), {ZV_TYPE_OBJ(ZvBaseObject_Type), p});
        return zv_call(ZV_TYPE_OBJ(ZvSuper_Type), {ZV_TYPE_OBJ(ZvSuper_Type), p});
    });
    // A subclass of enumerate: its deallocator and enumerate's both guard.
    Owned sub(zv_class("E", {ZV_TYPE_OBJ(ZvEnum_Type)}));
    free_chain(n, [&](ZvObject *p) { return zv_call(sub, {p}); });
}

// Resizing works on a fresh exact string; an instance of a subclass is
// refused like a shared string (its memory was not this allocator's
// block), never reallocated.
TEST_F(HostileTest, StringResizeRefusesSubclassInstances)
{
    ZvObject *s = ZvString_FromStringAndSize("abc", 3);
    ASSERT_EQ(_ZvString_Resize(&s, 1000), 0);
    EXPECT_EQ(ZvString_GET_SIZE(s), 1000);
    EXPECT_EQ(ZvString_AS_STRING(s)[1000], '\0');
    Zv_DECREF(s);

    Owned cls(zv_class("S", {ZV_TYPE_OBJ(ZvString_Type)}));
    Owned text(zv_string("abc"));
    for (int newsize : {1, 3, 1000}) {
        ZvObject *sub = zv_call(cls, {text.get()});
        ASSERT_NE(sub, nullptr);
        ASSERT_EQ(Zv_REFCNT(sub), 1);
        EXPECT_EQ(_ZvString_Resize(&sub, newsize), -1);
        EXPECT_EQ(sub, nullptr);
        EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    }
}

namespace {

ZvObject *emptied_class = nullptr;
const char *emptied_name = nullptr;
ZvObject *fn_len_deletes(ZvObject *, ZvObject *)
{
    if (ZvObject_SetAttrString(emptied_class, emptied_name, nullptr) < 0) return nullptr;
    return zv_int(3);
}
ZvObject *fn_none(ZvObject *, ZvObject *) { Zv_RETURN_NONE; }
ZvMethodDef len_deletes_def = {"__len__", fn_len_deletes, METH_VARARGS, nullptr};
ZvMethodDef none_def = {"f", fn_none, METH_VARARGS, nullptr};

} // namespace

// A negative index makes the sequence protocol ask for the length first; a
// __len__ that deletes the very method about to be called empties its slot
// in between, which must give the protocol's TypeError, not a call through
// NULL.
TEST_F(HostileTest, SequenceProtocolRereadsSlotsAfterLen)
{
    Owned len(zv_native(&len_deletes_def)), method(zv_native(&none_def));
    Owned one(zv_int(1));
    struct Case {
        const char *method;
        std::function<bool(ZvObject *)> op; // true when it failed
        const char *error;
    };
    const Case cases[] = {
        {"__getitem__", [](ZvObject *o) { return Owned(ZvSequence_GetItem(o, -1)).get() == nullptr; },
         "unindexable object"},
        {"__setitem__", [&](ZvObject *o) { return ZvSequence_SetItem(o, -1, one) < 0; },
         "object does not support item assignment"},
        {"__delitem__", [](ZvObject *o) { return ZvSequence_DelItem(o, -1) < 0; },
         "object doesn't support item deletion"},
        {"__getslice__", [](ZvObject *o) { return Owned(ZvSequence_GetSlice(o, -2, -1)).get() == nullptr; },
         "unsliceable object"},
        {"__setslice__", [&](ZvObject *o) { return ZvSequence_SetSlice(o, -2, -1, one) < 0; },
         "object doesn't support slice assignment"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        Owned cls(zv_class("Fickle", {}, {{"__len__", len.get()}, {c.method, method.get()}}));
        emptied_class = cls;
        emptied_name = c.method;
        Owned obj(zv_call(cls));
        EXPECT_TRUE(c.op(obj));
        EXPECT_EQ(zv_error_text(), c.error);
    }
    emptied_class = nullptr;
}
