// Allocation-failure driver: representative operations run again and
// again with the 1st, 2nd, 3rd, ... allocation failing, until one run
// completes without reaching the failing allocation.  At every step an
// operation either succeeds or fails with MemoryError (never a crash,
// never another exception in its place), the objects it worked on stay
// consistent, and nothing leaks (the sanitizer build checks leaks at
// exit).
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "parsetok.h"
#include "seqtest.h"
#include "typetest.h"
#include "zvfrontend.h"
// Last: its nonterminal numbers are macros with common names.
#include "graminit.h"

namespace {

// One run of a scenario with the n-th allocation of each operation failing.
struct Injector {
    int n;
    bool fired = false;
    int ops = 0; // operations run so far in this pass

    // Runs op (a new reference, or NULL with an error set) with the n-th
    // allocation failing; the result, or NULL after checking the error.
    ZvObject *run(const std::function<ZvObject *()> &op)
    {
        _ZvMem_FailNth(n);
        ops++;
        ZvObject *r = op();
        bool hit = _ZvMem_FailPending() == 0;
        _ZvMem_FailNth(0);
        fired = fired || hit;
        if (r != nullptr) {
            EXPECT_EQ(ZvErr_Occurred(), nullptr) << "succeeded with an error set";
            ZvErr_Clear();
            return r;
        }
        EXPECT_TRUE(hit) << "failed although every allocation was served";
        if (!ZvErr_ExceptionMatches(ZvExc_MemoryError)) {
            ADD_FAILURE() << "operation " << ops << ": allocation " << n << " failed, but the error is "
                          << (ZvErr_Occurred() ? zv_repr(ZvErr_Occurred()) : "") << " "
                          << (ZvErr_Occurred() ? zv_error_text() : std::string("missing"));
        }
        ZvErr_Clear();
        return nullptr;
    }

    // The same for a call returning 0 or -1.
    bool run_status(const std::function<int()> &op)
    {
        Owned r(run([&]() -> ZvObject * {
            if (op() < 0) return nullptr;
            Zv_RETURN_NONE;
        }));
        return r.get() != nullptr;
    }
};

// Runs the scenario for n = 1, 2, ... until no operation reached its n-th
// allocation.
void drive(const std::function<void(Injector &)> &scenario)
{
    for (int n = 1; n < 20000; n++) {
        Injector inj{n};
        scenario(inj);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "with allocation " << n << " failing";
            return;
        }
        if (!inj.fired) return;
    }
    ADD_FAILURE() << "the scenario never completed";
}

ZvObject *none()
{
    Zv_RETURN_NONE;
}

// --- consistency of the objects worked on --------------------------------

void expect_sound_list(ZvObject *l)
{
    auto *o = (ZvListObject *)l;
    ASSERT_GE(o->ob_size, 0);
    ASSERT_GE(o->allocated, o->ob_size);
    ASSERT_TRUE(o->ob_size == 0 || o->ob_item != nullptr);
    for (int i = 0; i < o->ob_size; i++) ASSERT_NE(o->ob_item[i], nullptr) << "item " << i;
}

void expect_sound_dict(ZvObject *d)
{
    auto *mp = (ZvDictObject *)d;
    ASSERT_LE(mp->ma_used, mp->ma_fill);
    ASSERT_LE(mp->ma_fill, mp->ma_mask);
    int active = 0;
    for (int i = 0; i <= mp->ma_mask; i++) {
        ZvDictEntry *ep = &mp->ma_table[i];
        if (ep->me_value == nullptr) continue;
        active++;
        ASSERT_EQ(ZvDict_GetItem(d, ep->me_key), ep->me_value) << "key in slot " << i << " is lost";
    }
    ASSERT_EQ(active, mp->ma_used);
}

// The ints of a list or tuple form first, first+1, ... (any length).
void expect_run_from(ZvObject *seq, int first)
{
    std::vector<int> v = seqtest::int_values(seq);
    for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(v[i], first + (int)i) << "item " << i;
}

ZvObject *int_range(int lo, int hi)
{
    std::vector<int> v;
    for (int i = lo; i < hi; i++) v.push_back(i);
    return seqtest::int_list(v);
}

ZvObject *fn_negate(ZvObject *, ZvObject *x) { return ZvNumber_Negative(x); }
ZvMethodDef negate_def = {"negate", fn_negate, METH_O, nullptr};

// type(name, bases, body), where any step may fail for want of memory.
ZvObject *make_class(const char *name, ZvObject *bases, ZvObject *slots, ZvObject *x)
{
    Owned n(ZvString_FromString(name));
    Owned d(ZvDict_New());
    if (!n || !d) return nullptr;
    if (slots != nullptr && ZvDict_SetItemString(d, "__slots__", slots) < 0) return nullptr;
    if (x != nullptr && ZvDict_SetItemString(d, "x", x) < 0) return nullptr;
    return ZvObject_CallFunctionObjArgs(ZV_TYPE_OBJ(ZvType_Type), n.get(), bases, d.get(), nullptr);
}

} // namespace

using AllocFailTest = ZvTest;

TEST_F(AllocFailTest, Lists)
{
    Owned source(int_range(0, 200));
    Owned iter_source(ZvRange_New(0, 300, 1, 1));
    drive([&](Injector &inj) {
        Owned l(ZvList_New(0));
        inj.run_status([&] {
            for (int i = 0; i < 300; i++) {
                Owned v(ZvInt_FromLong(1000 + i));
                if (!v || ZvList_Append(l, v) < 0) return -1;
            }
            return 0;
        });
        expect_sound_list(l);
        expect_run_from(l, 1000);
        Owned grown(ZvList_New(0));
        Owned r1(inj.run([&] { return ZvObject_CallMethod(grown, "extend", "(O)", iter_source.get()); }));
        expect_sound_list(grown);
        expect_run_from(grown, 0);
        inj.run_status([&] { return ZvList_SetSlice(l, 10, 20, source); });
        expect_sound_list(l);
        inj.run_status([&] { return ZvList_Insert(l, 0, source); });
        expect_sound_list(l);
        Owned step(zv_int(3)), sl(ZvSlice_New(nullptr, nullptr, step));
        inj.run_status([&] { return ZvObject_DelItem(l, sl); });
        expect_sound_list(l);
        Owned rep(inj.run([&] { return ZvSequence_Repeat(source, 3); }));
        Owned cat(inj.run([&] { return ZvSequence_Concat(source, source); }));
        Owned inplace(ZvList_GetSlice(source, 0, 50));
        Owned r2(inj.run([&] { return ZvSequence_InPlaceRepeat(inplace, 4); }));
        expect_sound_list(inplace);
        Owned tup(inj.run([&] { return ZvList_AsTuple(source); }));
        Owned repr(inj.run([&] { return ZvObject_Repr(source); }));
        expect_run_from(source, 0);
    });
}

TEST_F(AllocFailTest, TuplesAndSlices)
{
    Owned items(int_range(0, 300));
    Owned t(ZvSequence_Tuple(items));
    drive([&](Injector &inj) {
        Owned r1(inj.run([&] {
            Owned it(ZvObject_GetIter(items));
            return it ? ZvSequence_Tuple(it) : nullptr; // grows as it reads
        }));
        if (r1) expect_run_from(r1, 0);
        Owned r2(inj.run([&] { return ZvSequence_Concat(t, t); }));
        Owned r3(inj.run([&] { return ZvSequence_Repeat(t, 2); }));
        Owned r4(inj.run([&] {
            Owned step(zv_int(-7));
            Owned sl(ZvSlice_New(nullptr, nullptr, step));
            return sl ? ZvObject_GetItem(t, sl) : nullptr;
        }));
        Owned r5(inj.run([&] { return ZvObject_Repr(t); }));
        Owned r6(inj.run([&] { return ZvObject_Hash(t) == -1 ? nullptr : none(); }));
    });
    expect_run_from(t, 0);
}

TEST_F(AllocFailTest, DictionariesGrowAndMerge)
{
    Owned pairs(ZvList_New(0));
    for (int i = 0; i < 100; i++) {
        Owned p(Zv_BuildValue("(ii)", i, -i));
        ZvList_Append(pairs, p);
    }
    drive([&](Injector &inj) {
        Owned d(ZvDict_New());
        inj.run_status([&] {
            for (int i = 0; i < 400; i++) {
                Owned k(ZvInt_FromLong(i * 7)), s(ZvString_FromFormat("v%d", i));
                if (!k || !s || ZvDict_SetItem(d, k, s) < 0) return -1;
            }
            return 0;
        });
        expect_sound_dict(d);
        Owned copy(inj.run([&] { return ZvDict_Copy(d); }));
        if (copy) expect_sound_dict(copy);
        Owned items(inj.run([&] { return ZvDict_Items(d); }));
        Owned keys(inj.run([&] { return ZvDict_Keys(d); }));
        Owned merged(ZvDict_New());
        inj.run_status([&] { return ZvDict_Merge(merged, d, 1); });
        expect_sound_dict(merged);
        inj.run_status([&] { return ZvDict_MergeFromSeq2(merged, pairs, 0); });
        expect_sound_dict(merged);
        Owned popped(inj.run([&] { return ZvObject_CallMethod(d, "popitem", nullptr); }));
        expect_sound_dict(d);
        Owned repr(inj.run([&] { return ZvObject_Repr(merged); }));
        Owned str_keys(ZvDict_New());
        inj.run_status([&] {
            for (int i = 0; i < 50; i++)
                if (ZvDict_SetItemString(str_keys, ("name" + std::to_string(i)).c_str(), Zv_None) < 0)
                    return -1;
            return 0;
        });
        expect_sound_dict(str_keys);
    });
}

TEST_F(AllocFailTest, StringsAndTheirMethods)
{
    Owned words(ZvList_New(0));
    for (int i = 0; i < 60; i++) {
        Owned w(ZvString_FromFormat("word%d", i));
        ZvList_Append(words, w);
    }
    Owned text(zv_string("alpha beta, gamma delta, epsilon zeta, eta theta"));
    drive([&](Injector &inj) {
        Owned s(zv_string("start"));
        inj.run_status([&] {
            ZvObject *acc = ZvString_FromString("");
            for (int i = 0; i < 100 && acc != nullptr; i++) ZvString_ConcatAndDel(&acc, ZvString_FromFormat("<%d>", i));
            if (acc == nullptr) return -1;
            Zv_DECREF(acc);
            return 0;
        });
        Owned sep(zv_string(", "));
        Owned joined(inj.run([&] { return ZvObject_CallMethod(sep, "join", "(O)", words.get()); }));
        Owned split(inj.run([&] { return ZvObject_CallMethod(text, "split", "(s)", ", "); }));
        Owned replaced(inj.run([&] { return ZvObject_CallMethod(text, "replace", "(ss)", "a", "AAA"); }));
        Owned upper(inj.run([&] { return ZvObject_CallMethod(text, "upper", nullptr); }));
        Owned centered(inj.run([&] { return ZvObject_CallMethod(s, "center", "(i)", 40); }));
        Owned formatted(inj.run([&] {
            return ZvString_FromFormat("%s=%05d %p [%.3s] %c", "x", 42, (void *)text.get(), "abcdef", 'z');
        }));
        Owned repeated(inj.run([&] { return ZvSequence_Repeat(text, 20); }));
        Owned sliced(inj.run([&] {
            Owned step(zv_int(3));
            Owned sl(ZvSlice_New(nullptr, nullptr, step));
            return sl ? ZvObject_GetItem(text, sl) : nullptr;
        }));
        Owned interned(inj.run([&] { return ZvString_InternFromString("a fresh interned name"); }));
        Owned repr(inj.run([&] { return ZvObject_Repr(words); }));
    });
}

TEST_F(AllocFailTest, LongArithmetic)
{
    Owned a(ZvLong_FromString("123456789012345678901234567890123456789", nullptr, 10));
    Owned b(ZvLong_FromString("-987654321098765432109876543210", nullptr, 10));
    Owned seven(zv_int(7));
    drive([&](Injector &inj) {
        Owned parsed(inj.run([&] { return ZvLong_FromString("31415926535897932384626433832795028841971", nullptr, 0); }));
        Owned prod(inj.run([&] { return ZvNumber_Multiply(a, b); }));
        Owned sum(inj.run([&] { return ZvNumber_Add(a, b); }));
        Owned dm(inj.run([&] { return ZvNumber_Divmod(a, b); }));
        Owned pw(inj.run([&] { return ZvNumber_Power(a, seven, Zv_None); }));
        Owned sh(inj.run([&] { return ZvNumber_Lshift(b, seven); }));
        Owned text(inj.run([&] { return ZvObject_Str(a); }));
        Owned neg(inj.run([&] { return ZvNumber_Negative(b); }));
        Owned big(inj.run([&] {
            Owned x(zv_int(INT32_MAX));
            return ZvNumber_Multiply(x, x); // int overflow promotes to long
        }));
    });
    EXPECT_EQ(zv_str(a), "123456789012345678901234567890123456789");
}

TEST_F(AllocFailTest, ListSort)
{
    std::vector<int> values;
    for (int i = 0; i < 400; i++) values.push_back((i * 7919) % 401);
    std::vector<int> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    Owned negate(zv_native(&negate_def));
    drive([&](Injector &inj) {
        Owned l(seqtest::int_list(values));
        inj.run_status([&] { return ZvList_Sort(l); });
        expect_sound_list(l);
        std::vector<int> after = seqtest::int_values(l);
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, sorted) << "items lost or duplicated";
        Owned keyed(seqtest::int_list(values));
        Owned r(inj.run([&] {
            Owned kw(seqtest::kwargs({{"key", negate.get()}, {"reverse", Zv_True}}));
            return kw ? zv_call_method(keyed, "sort", nullptr, kw) : nullptr;
        }));
        expect_sound_list(keyed);
        after = seqtest::int_values(keyed);
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, sorted) << "items lost or duplicated";
    });
}

TEST_F(AllocFailTest, ClassCreation)
{
    Owned slots(Zv_BuildValue("(ss)", "a", "b"));
    Owned one(zv_int(1));
    Owned empty(ZvTuple_New(0)), list_base(zv_tuple({ZV_TYPE_OBJ(ZvList_Type)}));
    drive([&](Injector &inj) {
        Owned cls(inj.run([&] { return make_class("C", empty.get(), slots.get(), one.get()); }));
        if (cls) {
            Owned obj(inj.run([&] { return ZvObject_CallObject(cls, nullptr); }));
            if (obj) inj.run_status([&] { return ZvObject_SetAttrString(obj, "a", one); });
            inj.run_status([&] { return ZvObject_SetAttrString(cls, "__len__", one); });
        }
        Owned sub(inj.run([&] { return make_class("L", list_base.get(), nullptr, nullptr); }));
        if (sub) {
            Owned inst(inj.run([&] { return ZvObject_CallObject(sub, nullptr); }));
            if (inst) {
                inj.run_status([&] { return ZvList_Append(inst, one); });
                inj.run_status([&] { return ZvObject_SetAttrString(inst, "attr", one); });
                expect_sound_list(inst);
            }
            Owned mro(inj.run([&] { return zv_getattr(sub, "__mro__"); }));
        }
    });
}

TEST_F(AllocFailTest, ParsingAFile)
{
    // The grammar's accelerators are built by the first parse, and failing
    // to build them is fatal by design: build them before the driven runs.
    perrdetail warm;
    node *first = ZvParser_ParseString("x = 1\n", &_ZvParser_Grammar, file_input, &warm);
    ASSERT_NE(first, nullptr);
    ZvNode_Free(first);
    std::string src;
    for (int i = 0; i < 15; i++)
        src += "def f" + std::to_string(i) + "(a, b=" + std::to_string(i) +
               "):\n    if a:\n        return [x * b for x in a]\n    return {'k': (a, b)}\n";
    drive([&](Injector &inj) {
        FILE *fp = tmpfile();
        ASSERT_NE(fp, nullptr);
        fputs(src.c_str(), fp);
        rewind(fp);
        perrdetail err;
        _ZvMem_FailNth(inj.n);
        node *n = ZvParser_ParseFile(fp, "f.zv", &_ZvParser_Grammar, file_input, nullptr, nullptr, &err);
        bool hit = _ZvMem_FailPending() == 0;
        _ZvMem_FailNth(0);
        inj.fired = hit;
        fclose(fp);
        if (n != nullptr) {
            ZvNode_Free(n);
            return;
        }
        // The parser reports through its error record, not exceptions.
        EXPECT_TRUE(hit);
        EXPECT_EQ(err.error, E_NOMEM) << "at line " << err.lineno;
        if (ZvErr_Occurred()) {
            EXPECT_TRUE(zv_raised(ZvExc_MemoryError));
        }
        ZvObject_Free(err.text);
    });
}

// Interning a new name whose insertion makes the table of interned strings
// grow, with that growth failing: the pair is stored all the same, so the
// name must count as interned (shut-down insists that every string in the
// table is marked so), and interning it again finds the same object.
TEST_F(AllocFailTest, InterningSurvivesAFailedTableGrowth)
{
    int growths = 0;
    for (int i = 0; i < 20000 && growths < 3; i++) {
        std::string name = "interned_name_" + std::to_string(i);
        _ZvMem_FailNth(2); // the string itself, then the table
        ZvObject *s = ZvString_InternFromString(name.c_str());
        bool hit = _ZvMem_FailPending() == 0;
        _ZvMem_FailNth(0);
        ASSERT_NE(s, nullptr);
        if (hit) {
            growths++;
            EXPECT_TRUE(ZvString_CHECK_INTERNED(s));
            Owned again(ZvString_InternFromString(name.c_str()));
            EXPECT_EQ(again.get(), s);
        }
        Zv_DECREF(s);
    }
    EXPECT_EQ(growths, 3);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
}

// A built-in type is readied on first use.  When that readying runs out of
// memory half way, the type must be left unready, so that a later use
// readies it again, rather than with a dictionary that passes for ready
// while its methods are missing.
TEST_F(AllocFailTest, AFailedReadyingOfABuiltinTypeIsRetried)
{
    ZvObject *reversed = ZV_TYPE_OBJ(ZvReversed_Type);
    ASSERT_FALSE(ZvReversed_Type.tp_flags & Zv_TPFLAGS_READY) << "already readied: pick another type";
    drive([&](Injector &inj) { Owned r(inj.run([&] { return ZvObject_GetAttrString(reversed, "next"); })); });
    Owned next(ZvObject_GetAttrString(reversed, "next"));
    EXPECT_NE(next.get(), nullptr);
}
