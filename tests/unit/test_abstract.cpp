// The abstract protocols: operator dispatch order, sequence fallbacks,
// item access, iteration and searching, calls, isinstance/issubclass.
#include "zvtest.h"

using AbstractTest = ZvTest;

namespace {

// An old-style numeric type (no CHECKTYPES): its slot is reached only after
// coercion, which it refuses for everything but its own type.
struct OldNum {
    ZvObject_HEAD
    int32_t v;
};
ZvTypeObject OldNum_Type;

ZvObject *oldnum_new(int32_t v)
{
    auto *o = (OldNum *)_ZvObject_New(&OldNum_Type);
    o->v = v;
    return (ZvObject *)o;
}
ZvObject *oldnum_add(ZvObject *a, ZvObject *b)
{
    return ZvInt_FromLong(((OldNum *)a)->v + ((OldNum *)b)->v);
}
int oldnum_coerce(ZvObject **a, ZvObject **b)
{
    if (Zv_TYPE(*a) == Zv_TYPE(*b)) {
        Zv_INCREF(*a);
        Zv_INCREF(*b);
        return 0;
    }
    return 1;
}
ZvNumberMethods oldnum_number = {
    .nb_add = oldnum_add,
    .nb_coerce = oldnum_coerce,
};

// A type whose binary slot records which side it served.
struct Probe {
    ZvObject_HEAD
};
ZvTypeObject Probe_Type, ProbeSub_Type;
int probe_calls = 0;
ZvObject *probe_add(ZvObject *, ZvObject *)
{
    probe_calls++;
    return ZvString_FromString("probe");
}
ZvObject *probesub_add(ZvObject *, ZvObject *)
{
    probe_calls++;
    return ZvString_FromString("sub");
}
ZvNumberMethods probe_number = {.nb_add = probe_add};
ZvNumberMethods probesub_number = {.nb_add = probesub_add};

struct Setup {
    Setup()
    {
        OldNum_Type.ob_refcnt = 1;
        OldNum_Type.ob_type = &ZvType_Type;
        OldNum_Type.tp_name = "oldnum";
        OldNum_Type.tp_basicsize = sizeof(OldNum);
        OldNum_Type.tp_dealloc = (destructor)ZvObject_Free;
        OldNum_Type.tp_as_number = &oldnum_number;
        OldNum_Type.tp_flags = Zv_TPFLAGS_DEFAULT;

        Probe_Type.ob_refcnt = 1;
        Probe_Type.ob_type = &ZvType_Type;
        Probe_Type.tp_name = "probe";
        Probe_Type.tp_basicsize = sizeof(Probe);
        Probe_Type.tp_dealloc = (destructor)ZvObject_Free;
        Probe_Type.tp_as_number = &probe_number;
        Probe_Type.tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES;

        ProbeSub_Type = Probe_Type;
        ProbeSub_Type.tp_name = "probesub";
        ProbeSub_Type.tp_base = &Probe_Type;
        ProbeSub_Type.tp_as_number = &probesub_number;
    }
} setup;

ZvObject *probe(ZvTypeObject *t) { return _ZvObject_New(t); }

ZvObject *ints(std::initializer_list<int> xs)
{
    ZvObject *l = ZvList_New(0);
    for (int x : xs) {
        ZvObject *i = ZvInt_FromLong(x);
        ZvList_Append(l, i);
        Zv_DECREF(i);
    }
    return l;
}

} // namespace

TEST_F(AbstractTest, SequenceRepeatFromEitherSide)
{
    Owned l(ints({1}));
    Owned three(ZvInt_FromLong(3));
    Owned a(ZvNumber_Multiply(l, three));
    Owned b(ZvNumber_Multiply(three, l));
    EXPECT_EQ(zv_repr(a), "[1, 1, 1]");
    EXPECT_EQ(zv_repr(b), "[1, 1, 1]");

    Owned s(ZvString_FromString("ab"));
    EXPECT_EQ(ZvNumber_Multiply(l, s), nullptr);
    EXPECT_EQ(zv_error_text(), "can't multiply sequence by non-int");
}

TEST_F(AbstractTest, UnsupportedOperandsNameBothTypes)
{
    Owned x(oldnum_new(1));
    Owned one(ZvInt_FromLong(1));
    EXPECT_EQ(ZvNumber_Add(x, one), nullptr);
    EXPECT_EQ(zv_error_text(), "unsupported operand type(s) for +: 'oldnum' and 'int'");
    EXPECT_EQ(ZvNumber_Subtract(one, x), nullptr);
    EXPECT_EQ(zv_error_text(), "unsupported operand type(s) for -: 'int' and 'oldnum'");

    // Same old-style type: coercion succeeds and the slot runs.
    Owned y(oldnum_new(2));
    Owned r(ZvNumber_Add(x, y));
    EXPECT_EQ(zv_repr(r), "3");
}

TEST_F(AbstractTest, RightSubclassSlotIsTriedFirst)
{
    Owned base(probe(&Probe_Type));
    Owned sub(probe(&ProbeSub_Type));
    probe_calls = 0;
    Owned r(ZvNumber_Add(base, sub));
    EXPECT_EQ(zv_str(r), "sub");
    EXPECT_EQ(probe_calls, 1);
    Owned r2(ZvNumber_Add(sub, base));
    EXPECT_EQ(zv_str(r2), "sub");
}

TEST_F(AbstractTest, PowerMessages)
{
    Owned x(oldnum_new(1));
    Owned two(ZvInt_FromLong(2));
    EXPECT_EQ(ZvNumber_Power(x, two, Zv_None), nullptr);
    EXPECT_EQ(zv_error_text(), "unsupported operand type(s) for ** or pow(): 'oldnum' and 'int'");
    EXPECT_EQ(ZvNumber_Power(two, two, x), nullptr);
    EXPECT_EQ(zv_error_text(), "unsupported operand type(s) for pow(): 'int', 'int', 'oldnum'");
}

TEST_F(AbstractTest, InPlaceAddExtendsListInPlaceAndMultiplyRepeatsRightOperand)
{
    Owned l(ints({1, 2}));
    Owned m(ints({3}));
    Owned r(ZvNumber_InPlaceAdd(l, m));
    EXPECT_EQ(r.get(), l.get());
    EXPECT_EQ(zv_repr(l), "[1, 2, 3]");

    Owned two(ZvInt_FromLong(2));
    Owned r2(ZvNumber_InPlaceMultiply(two, m));
    EXPECT_EQ(zv_repr(r2), "[3, 3]");
    EXPECT_EQ(zv_repr(m), "[3]");
}

TEST_F(AbstractTest, UnaryMessages)
{
    Owned s(ZvString_FromString("x"));
    EXPECT_EQ(ZvNumber_Negative(s), nullptr);
    EXPECT_EQ(zv_error_text(), "bad operand type for unary -");
    EXPECT_EQ(ZvNumber_Invert(s), nullptr);
    EXPECT_EQ(zv_error_text(), "bad operand type for unary ~");
    EXPECT_EQ(ZvNumber_Absolute(s), nullptr);
    EXPECT_EQ(zv_error_text(), "bad operand type for abs()");
}

TEST_F(AbstractTest, ItemAccessByKey)
{
    Owned l(ints({10, 20, 30}));
    Owned minus1(ZvInt_FromLong(-1));
    Owned item(ZvObject_GetItem(l, minus1));
    EXPECT_EQ(zv_repr(item), "30");

    Owned key(ZvString_FromString("k"));
    EXPECT_EQ(ZvObject_GetItem(l, key), nullptr);
    EXPECT_EQ(zv_error_text(), "list indices must be integers");

    EXPECT_EQ(ZvObject_GetItem(Zv_None, key), nullptr);
    EXPECT_EQ(zv_error_text(), "unsubscriptable object");
    EXPECT_EQ(ZvObject_SetItem(Zv_None, key, key), -1);
    EXPECT_EQ(zv_error_text(), "object does not support item assignment");
    EXPECT_EQ(ZvObject_DelItem(Zv_None, key), -1);
    EXPECT_EQ(zv_error_text(), "object does not support item deletion");

    EXPECT_EQ(ZvObject_GetItem(nullptr, key), nullptr);
    EXPECT_EQ(zv_error_text(), "null argument to internal routine");
}

TEST_F(AbstractTest, NegativeIndexIsAdjustedOnce)
{
    Owned l(ints({1, 2, 3}));
    EXPECT_EQ(ZvSequence_GetItem(l, -4), nullptr); // reaches the list as -1
    EXPECT_TRUE(zv_raised(ZvExc_IndexError));
    Owned x(ZvSequence_GetItem(l, -3));
    EXPECT_EQ(zv_repr(x), "1");
}

TEST_F(AbstractTest, SizeMessages)
{
    EXPECT_EQ(ZvObject_Size(Zv_None), -1);
    EXPECT_EQ(zv_error_text(), "len() of unsized object");
    Owned d(ZvDict_New());
    EXPECT_EQ(ZvObject_Size(d), 0);
    EXPECT_EQ(ZvSequence_Size(d), -1);
    EXPECT_EQ(zv_error_text(), "len() of unsized object");
}

TEST_F(AbstractTest, SearchModes)
{
    Owned l(ints({1, 2, 1, 3}));
    Owned one(ZvInt_FromLong(1));
    Owned three(ZvInt_FromLong(3));
    Owned nine(ZvInt_FromLong(9));
    EXPECT_EQ(ZvSequence_Count(l, one), 2);
    EXPECT_EQ(ZvSequence_Index(l, three), 3);
    EXPECT_EQ(ZvSequence_Contains(l, nine), 0);
    EXPECT_EQ(ZvSequence_Index(l, nine), -1);
    EXPECT_EQ(zv_error_text(), "sequence.index(x): x not in sequence");
    EXPECT_EQ(_ZvSequence_IterSearch(Zv_None, one, ZV_ITERSEARCH_CONTAINS), -1);
    EXPECT_EQ(zv_error_text(), "iterable argument required");
}

TEST_F(AbstractTest, TupleFromIteratorGrowsAndTrims)
{
    // An xrange iterator has a length; a callable iterator has none, so the
    // tuple starts at 10 slots and grows.
    Owned r(ZvRange_New(0, 57, 1, 1));
    Owned it(ZvObject_GetIter(r));
    Owned t(ZvSequence_Tuple(it));
    ASSERT_NE(t.get(), nullptr);
    EXPECT_EQ(ZvTuple_GET_SIZE(t.get()), 57);
    EXPECT_EQ(zv_repr(ZvTuple_GET_ITEM(t.get(), 56)), "56");

    Owned fast(ZvSequence_Fast(Zv_None, "custom message"));
    EXPECT_EQ(fast.get(), nullptr);
    EXPECT_EQ(zv_error_text(), "custom message");
}

TEST_F(AbstractTest, GetIterOnNonSequence)
{
    EXPECT_EQ(ZvObject_GetIter(Zv_None), nullptr);
    EXPECT_EQ(zv_error_text(), "iteration over non-sequence");
}

TEST_F(AbstractTest, CallingANonCallable)
{
    Owned args(ZvTuple_New(0));
    EXPECT_EQ(ZvObject_Call(Zv_None, args, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "'NoneType' object is not callable");
    Owned notuple(ZvInt_FromLong(1));
    EXPECT_EQ(ZvEval_CallObjectWithKeywords(Zv_None, notuple, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "argument list must be a tuple");
    EXPECT_EQ(ZvEval_CallObjectWithKeywords(Zv_None, args, notuple), nullptr);
    EXPECT_EQ(zv_error_text(), "keyword list must be a dictionary");
}

TEST_F(AbstractTest, IsInstanceWithTypesAndNestedTuples)
{
    Owned one(ZvInt_FromLong(1));
    Owned inner(ZvTuple_Pack(2, (ZvObject *)&ZvString_Type, (ZvObject *)&ZvInt_Type));
    Owned outer(ZvTuple_Pack(2, (ZvObject *)&ZvList_Type, inner.get()));
    EXPECT_EQ(ZvObject_IsInstance(one, outer), 1);
    EXPECT_EQ(ZvObject_IsInstance(Zv_True, (ZvObject *)&ZvInt_Type), 1);
    EXPECT_EQ(ZvObject_IsInstance(one, (ZvObject *)&ZvString_Type), 0);
    EXPECT_EQ(ZvObject_IsInstance(one, one), -1);
    EXPECT_EQ(zv_error_text(),
              "isinstance() arg 2 must be a class, type, or tuple of classes and types");
}

TEST_F(AbstractTest, SliceIndexConversionClipsLongs)
{
    int i = 7;
    EXPECT_EQ(_ZvEval_SliceIndex(nullptr, &i), 1);
    EXPECT_EQ(i, 7);
    Owned big(ZvLong_FromString("100000000000000000000", nullptr, 10));
    EXPECT_EQ(_ZvEval_SliceIndex(big, &i), 1);
    EXPECT_EQ(i, INT32_MAX);
    Owned small(ZvLong_FromString("-100000000000000000000", nullptr, 10));
    EXPECT_EQ(_ZvEval_SliceIndex(small, &i), 1);
    EXPECT_EQ(i, -INT32_MAX);
    Owned imin(ZvInt_FromLong(INT32_MIN));
    EXPECT_EQ(_ZvEval_SliceIndex(imin, &i), 1);
    EXPECT_EQ(i, -INT32_MAX);
    EXPECT_EQ(_ZvEval_SliceIndex(Zv_None, &i), 0);
    EXPECT_EQ(zv_error_text(), "slice indices must be integers or None");
}
