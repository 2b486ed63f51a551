// Modules, slices, xrange, enumerate, reversed and the generic iterators.
#include "zvtest.h"

using SmallTypesTest = ZvTest;

namespace {

std::string indices(ZvObject *start, ZvObject *stop, ZvObject *step, int len)
{
    Owned s(ZvSlice_New(start, stop, step));
    int a, b, c, n;
    if (ZvSlice_GetIndicesEx((ZvSliceObject *)s.get(), len, &a, &b, &c, &n) < 0)
        return "error: " + zv_error_text();
    return std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + " n=" +
           std::to_string(n);
}

// Drains an iterator into the repr of its items, separated by spaces.
std::string drain(ZvObject *it)
{
    std::string out;
    while (ZvObject *item = ZvIter_Next(it)) {
        if (!out.empty()) out += " ";
        out += zv_repr(item);
        Zv_DECREF(item);
    }
    return out;
}

} // namespace

TEST_F(SmallTypesTest, SliceIndices)
{
    Owned m1(ZvInt_FromLong(-1)), m100(ZvInt_FromLong(-100)), p100(ZvInt_FromLong(100));
    EXPECT_EQ(indices(nullptr, nullptr, m1, 5), "4,-1,-1 n=5");
    EXPECT_EQ(indices(m100, p100, nullptr, 5), "0,5,1 n=5");
    Owned zero(ZvInt_FromLong(0));
    EXPECT_EQ(indices(nullptr, nullptr, zero, 5), "error: slice step cannot be zero");
    Owned two(ZvInt_FromLong(2));
    EXPECT_EQ(indices(nullptr, nullptr, two, 5), "0,5,2 n=3");
    Owned s(ZvSlice_New(nullptr, two, nullptr));
    EXPECT_EQ(zv_repr(s), "slice(None, 2, None)");
    EXPECT_EQ(ZvObject_Hash(s), -1);
    EXPECT_EQ(zv_error_text(), "unhashable type");
    EXPECT_EQ(zv_repr(Zv_Ellipsis), "Ellipsis");
}

TEST_F(SmallTypesTest, XrangeItemsReprAndLength)
{
    Owned args(Zv_BuildValue("(iii)", 10, 0, -3));
    Owned r(ZvRange_Type.tp_new(&ZvRange_Type, args, nullptr));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(zv_repr(r), "xrange(10, -2, -3)");
    EXPECT_EQ(ZvObject_Size(r), 4);
    Owned it(ZvObject_GetIter(r));
    EXPECT_EQ(drain(it), "10 7 4 1");
    // The type itself has no negative indexing; the sequence protocol adds
    // the length once before calling it.
    EXPECT_EQ(ZvRange_Type.tp_as_sequence->sq_item(r, -1), nullptr);
    EXPECT_EQ(zv_error_text(), "xrange object index out of range");
    Owned last(ZvSequence_GetItem(r, -1));
    EXPECT_EQ(zv_repr(last), "1");

    Owned one(Zv_BuildValue("(i)", 5));
    Owned r5(ZvRange_Type.tp_new(&ZvRange_Type, one, nullptr));
    EXPECT_EQ(zv_repr(r5), "xrange(5)");
    Owned zero_step(Zv_BuildValue("(iii)", 0, 5, 0));
    EXPECT_EQ(ZvRange_Type.tp_new(&ZvRange_Type, zero_step, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "xrange() arg 3 must not be zero");
    Owned huge(Zv_BuildValue("(iii)", INT32_MIN, INT32_MAX, 1));
    EXPECT_EQ(ZvRange_Type.tp_new(&ZvRange_Type, huge, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "xrange() result has too many items");
    Owned bad(Zv_BuildValue("(s)", "x"));
    EXPECT_EQ(ZvRange_Type.tp_new(&ZvRange_Type, bad, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "xrange() requires 1-3 int arguments");
    EXPECT_EQ(ZvRange_New(0, 3, 1, 2), nullptr);
    EXPECT_EQ(zv_error_text(), "ZvRange_New's 'repetitions' argument must be 1");
    EXPECT_EQ(ZvRange_New(INT32_MAX - 1, 3, 1, 1), nullptr);
    EXPECT_EQ(zv_error_text(), "integer addition");
}

TEST_F(SmallTypesTest, EnumerateAndReversed)
{
    Owned l(Zv_BuildValue("[sss]", "a", "b", "c"));
    Owned args(ZvTuple_Pack(1, l.get()));
    Owned en(ZvEnum_Type.tp_new(&ZvEnum_Type, args, nullptr));
    ASSERT_NE(en.get(), nullptr);
    EXPECT_EQ(drain(en), "(0, 'a') (1, 'b') (2, 'c')");

    Owned rev(ZvReversed_Type.tp_new(&ZvReversed_Type, args, nullptr));
    ASSERT_NE(rev.get(), nullptr);
    EXPECT_EQ(ZvObject_Size(rev), 3);
    EXPECT_EQ(drain(rev), "'c' 'b' 'a'");
    EXPECT_EQ(ZvObject_Size(rev), 0);

    Owned notseq(ZvTuple_Pack(1, Zv_None));
    EXPECT_EQ(ZvReversed_Type.tp_new(&ZvReversed_Type, notseq, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "argument to reversed() must be a sequence");
}

TEST_F(SmallTypesTest, SequenceIteratorEndsAtIndexError)
{
    Owned s(ZvString_FromString("xyz"));
    Owned it(ZvSeqIter_New(s));
    EXPECT_EQ(ZvObject_Size(it), 3);
    EXPECT_EQ(drain(it), "'x' 'y' 'z'");
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(ZvObject_Size(it), 0);
    EXPECT_EQ(ZvSeqIter_New(Zv_None), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(SmallTypesTest, ModuleNamesReprAndClearing)
{
    Owned m(ZvModule_New("spam"));
    EXPECT_STREQ(ZvModule_GetName(m), "spam");
    EXPECT_EQ(zv_repr(m), "<module 'spam' (built-in)>");
    EXPECT_EQ(ZvModule_GetFilename(m), nullptr);
    EXPECT_EQ(zv_error_text(), "module filename missing");

    ZvObject *d = ZvModule_GetDict(m);
    Owned file(ZvString_FromString("/x/spam.zv"));
    ZvDict_SetItemString(d, "__file__", file);
    EXPECT_EQ(zv_repr(m), "<module 'spam' from '/x/spam.zv'>");

    Owned v(ZvInt_FromLong(5));
    ZvDict_SetItemString(d, "_private", v);
    ZvDict_SetItemString(d, "public", v);
    ZvDict_SetItemString(d, "__builtins__", v);
    _ZvModule_Clear(m);
    EXPECT_EQ(ZvDict_GetItemString(d, "_private"), Zv_None);
    EXPECT_EQ(ZvDict_GetItemString(d, "public"), Zv_None);
    EXPECT_EQ(ZvDict_GetItemString(d, "__builtins__"), v.get());

    ZvDict_DelItemString(d, "__name__");
    EXPECT_EQ(ZvModule_GetName(m), nullptr);
    EXPECT_EQ(zv_error_text(), "nameless module");
    EXPECT_EQ(ZvModule_GetDict(Zv_None), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}
