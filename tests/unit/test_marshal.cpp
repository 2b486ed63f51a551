// The marshal format: exact byte forms, round trips of every supported
// type, the nesting limit both ways, bad data of every kind, the file
// functions and the marshal module.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codetest.h"

namespace {

using MarshalTest = ZvTest;

std::string dumps(ZvObject *v, int version = Zv_MARSHAL_VERSION)
{
    Owned s(ZvMarshal_WriteObjectToString(v, version));
    if (s.get() == nullptr) return "<error: " + zv_error_text() + ">";
    return std::string(ZvString_AS_STRING(s.get()), (size_t)ZvString_GET_SIZE(s.get()));
}

ZvObject *loads(const std::string &s)
{
    return ZvMarshal_ReadObjectFromString(s.data(), (int)s.size());
}

std::string le32(int32_t v)
{
    auto u = (uint32_t)v;
    return {(char)(u & 0xff), (char)((u >> 8) & 0xff), (char)((u >> 16) & 0xff),
            (char)(u >> 24)};
}

ZvObject *eval_long(const char *text)
{
    return ZvLong_FromString(text, nullptr, 10);
}

// A temporary file holding `data`, positioned at its start.
FILE *file_with(const std::string &data)
{
    FILE *fp = tmpfile();
    fwrite(data.data(), 1, data.size(), fp);
    rewind(fp);
    return fp;
}

} // namespace

TEST_F(MarshalTest, ValuesHaveTheirExactByteForms)
{
    Owned one(zv_int(1)), minus(zv_int(-1)), big(eval_long("1099511627776")),
        negbig(eval_long("-32768")), zero(eval_long("0")), empty_dict(ZvDict_New()),
        pt1(ZvFloat_FromDouble(0.1)), fone(ZvFloat_FromDouble(1.0)),
        fneg(ZvFloat_FromDouble(-2.0)), fexp(ZvFloat_FromDouble(1e100)),
        str(zv_bytes(std::string("a\0b", 3))), empty_tuple(ZvTuple_New(0)),
        list(ZvList_New(0)), name(ZvString_InternFromString("spam"));
    Owned twice(zv_tuple({name.get(), name.get()}));
    Owned pair(zv_tuple({one.get(), str.get()}));
    struct Case {
        ZvObject *value;
        int version;
        std::string bytes;
    };
    const Case cases[] = {
        {one, 1, "i" + le32(1)},
        {minus, 1, "i" + le32(-1)},
        {Zv_None, 1, "N"},
        {Zv_True, 1, "T"},
        {Zv_False, 1, "F"},
        {Zv_Ellipsis, 1, "."},
        {ZvExc_StopIteration, 1, "S"},
        // 2**40 = 1024 * 2**30: three 15-bit digits 0, 0, 1024.
        {big, 1, "l" + le32(3) + std::string("\0\0\0\0\0\x04", 6)},
        {negbig, 1, "l" + le32(-2) + std::string("\0\0\x01\0", 4)},
        {zero, 1, "l" + le32(0)},
        {pt1, 1, "f\x13" "0.10000000000000001"},
        {fone, 1, "f\x03" "1.0"},
        {fneg, 1, "f\x04" "-2.0"},
        {fexp, 1, "f\x06" "1e+100"},
        {str, 1, "s" + le32(3) + std::string("a\0b", 3)},
        {empty_tuple, 1, "(" + le32(0)},
        {list, 1, "[" + le32(0)},
        {empty_dict, 1, "{0"},
        {pair, 0, "(" + le32(2) + "i" + le32(1) + "s" + le32(3) + std::string("a\0b", 3)},
        {twice, 1, "(" + le32(2) + "t" + le32(4) + "spamR" + le32(0)},
        {twice, 0, "(" + le32(2) + "s" + le32(4) + "spams" + le32(4) + "spam"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(dumps(c.value, c.version), c.bytes) << zv_repr(c.value);
        Owned back(loads(c.bytes));
        ASSERT_NE(back.get(), nullptr) << zv_repr(c.value);
        EXPECT_EQ(ZvObject_RichCompareBool(back, c.value, Zv_EQ), 1) << zv_repr(c.value);
        EXPECT_EQ(Zv_TYPE(back.get()), Zv_TYPE(c.value));
    }
    // Singletons come back as themselves.
    for (ZvObject *s : {Zv_None, Zv_True, Zv_False, Zv_Ellipsis, ZvExc_StopIteration}) {
        Owned back(loads(dumps(s)));
        EXPECT_EQ(back.get(), s);
    }
}

TEST_F(MarshalTest, RoundTripsKeepValuesInternsAndTypes)
{
    Owned d(ZvDict_New()), inner(ZvList_New(0)), k1(zv_string("key")), v1(zv_int(-7)),
        k2(zv_int(3)), huge(eval_long("-123456789012345678901234567890")),
        tiny(ZvFloat_FromDouble(5e-324)), maxf(ZvFloat_FromDouble(1.7976931348623157e308)),
        nf(ZvFloat_FromDouble(-0.0)), third(ZvFloat_FromDouble(1.0 / 3.0)),
        inf(ZvFloat_FromDouble(1.0 / 0.0));
    ZvList_Append(inner, huge);
    ZvList_Append(inner, tiny);
    ZvDict_SetItem(d, k1, v1);
    ZvDict_SetItem(d, k2, inner);
    Owned interned(ZvString_InternFromString("an_identifier"));
    Owned value(zv_tuple({d.get(), interned.get(), maxf.get(), nf.get(), third.get(), inf.get(),
                          interned.get()}));
    for (int version : {0, 1}) {
        std::string bytes = dumps(value, version);
        Owned back(loads(bytes));
        ASSERT_NE(back.get(), nullptr);
        EXPECT_EQ(ZvObject_RichCompareBool(back, value, Zv_EQ), 1);
        // Floats come back bit for bit.
        for (int i : {2, 3, 4, 5}) {
            double a = ZvFloat_AS_DOUBLE(ZvTuple_GET_ITEM(back.get(), i));
            double b = ZvFloat_AS_DOUBLE(ZvTuple_GET_ITEM(value.get(), i));
            EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
        }
        ZvObject *inner_back = ZvDict_GetItem(ZvTuple_GET_ITEM(back.get(), 0), k2);
        double t = ZvFloat_AS_DOUBLE(ZvList_GET_ITEM(inner_back, 1));
        EXPECT_EQ(t, 5e-324);
        // Interned strings written as such come back interned, and shared.
        ZvObject *s = ZvTuple_GET_ITEM(back.get(), 1);
        EXPECT_EQ(s == interned.get(), version == 1);
        EXPECT_EQ(ZvTuple_GET_ITEM(back.get(), 6) == s, version == 1);
    }
}

TEST_F(MarshalTest, CodeObjectsRoundTripWholly)
{
    CodeSpec inner;
    inner.argcount = 1;
    inner.nlocals = 2;
    inner.stacksize = 3;
    inner.flags = CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS;
    inner.varnames = {"a", "rest"};
    inner.freevars = {"outer_var"};
    inner.name = "inner";
    inner.firstlineno = 7;
    inner.lnotab = std::string("\x03\x01\x06\x02", 4);
    Owned ci((ZvObject *)inner.make());
    ASSERT_NE(ci.get(), nullptr);
    Owned doc(zv_string("docstring with spaces"));
    CodeSpec outer;
    outer.consts = {doc.get(), ci.get(), Zv_None};
    outer.names = {"inner", "print"};
    outer.cellvars = {"outer_var"};
    outer.name = "<module>";
    Owned co((ZvObject *)outer.make());
    ASSERT_NE(co.get(), nullptr);
    std::string bytes = dumps(co);
    ASSERT_EQ(bytes[0], 'c');
    EXPECT_EQ(bytes.substr(1, 16), le32(0) + le32(0) + le32(1) + le32(0));
    Owned back(loads(bytes));
    ASSERT_NE(back.get(), nullptr);
    ASSERT_TRUE(ZvCode_Check(back.get()));
    EXPECT_EQ(ZvObject_Compare(back, co), 0);
    auto *b = (ZvCodeObject *)back.get();
    auto *bi = (ZvCodeObject *)ZvTuple_GET_ITEM(b->co_consts, 1);
    ASSERT_TRUE(ZvCode_Check((ZvObject *)bi));
    EXPECT_EQ(ZvObject_Compare((ZvObject *)bi, ci), 0);
    EXPECT_EQ(bi->co_firstlineno, 7);
    EXPECT_EQ(zv_repr(bi->co_lnotab), "'\\x03\\x01\\x06\\x02'");
    EXPECT_EQ(bi->co_flags, inner.flags); // no CO_NOFREE: it has a free variable
    EXPECT_EQ(zv_repr(bi->co_varnames), "('a', 'rest')");
    // Names come back interned, so lookups by name compare pointers.
    Owned print(ZvString_InternFromString("print"));
    EXPECT_EQ(ZvTuple_GET_ITEM(b->co_names, 1), print.get());
}

TEST_F(MarshalTest, NestingIsBoundedBothWays)
{
    auto nested = [](int depth) {
        ZvObject *v = ZvList_New(0);
        for (int i = 1; i < depth; i++) {
            ZvObject *outer = ZvList_New(1);
            ZvList_SET_ITEM(outer, 0, v);
            v = outer;
        }
        return v;
    };
    Owned ok(nested(5000)), deep(nested(5001));
    std::string bytes = dumps(ok);
    EXPECT_EQ(bytes.size(), 5000u * 5);
    Owned back(loads(bytes));
    EXPECT_NE(back.get(), nullptr);
    EXPECT_EQ(dumps(deep), "<error: object too deeply nested to marshal>");
    // Reading stops at the same depth, whatever the records claim.
    std::string deep_bytes;
    for (int i = 0; i < 5001; i++) deep_bytes += "(" + le32(1);
    deep_bytes += "N";
    EXPECT_EQ(loads(deep_bytes), nullptr);
    EXPECT_EQ(zv_error_text(), "object too deeply nested to unmarshal");
    // Dictionaries and code objects nest too.
    std::string dict_bytes;
    for (int i = 0; i < 6000; i++) dict_bytes += "{N";
    EXPECT_EQ(loads(dict_bytes), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    std::string code_bytes;
    for (int i = 0; i < 6000; i++) code_bytes += "c" + le32(0) + le32(0) + le32(0) + le32(0) +
                                                  "s" + le32(0) + "(" + le32(1);
    EXPECT_EQ(loads(code_bytes), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
}

TEST_F(MarshalTest, BadDataRaisesAndNeverOverreads)
{
    const std::string nul("\0", 1);
    const std::string code_head = "c" + le32(0) + le32(0) + le32(1) + le32(0);
    const std::string empty_t = "(" + le32(0);
    const std::string str_x = "s" + le32(1) + "x";
    const std::string code_tail = empty_t + empty_t + empty_t + empty_t + str_x + str_x +
                                  le32(1) + "s" + le32(0);
    const std::string good_code = code_head + "s" + le32(4) + std::string("d\0\0S", 4) + "(" +
                                  le32(1) + "N" +
                                  code_tail;
    struct Case {
        std::string bytes;
        ZvObject *exc;
        const char *message;
    };
    const Case cases[] = {
        {"", ZvExc_EOFError, "EOF read where object expected"},
        {"i\x01\x02", ZvExc_EOFError, "EOF read where object expected"},
        {"I" + le32(1), ZvExc_EOFError, "EOF read where object expected"},
        {"s" + le32(5) + "ab", ZvExc_EOFError, "EOF read where object expected"},
        {"s" + le32(-1), ZvExc_ValueError, "bad marshal data"},
        {"t" + le32(0x7fffffff) + "abc", ZvExc_EOFError, "EOF read where object expected"},
        {"s\x01", ZvExc_EOFError, "EOF read where object expected"},
        {"(" + le32(0x7fffffff) + "N", ZvExc_EOFError, "EOF read where object expected"},
        {"[" + le32(-5), ZvExc_ValueError, "bad marshal data"},
        {"(" + le32(2) + "N", ZvExc_EOFError, "EOF read where object expected"},
        {"(" + le32(1) + "0", ZvExc_TypeError, "NULL object in marshal data"},
        {"[" + le32(1) + "z", ZvExc_ValueError, "bad marshal data"},
        {"R" + le32(0), ZvExc_ValueError, "bad marshal data"},
        {"(" + le32(2) + "t" + le32(1) + "aR" + le32(1), ZvExc_ValueError, "bad marshal data"},
        {"(" + le32(2) + "t" + le32(1) + "aR" + le32(-1), ZvExc_ValueError, "bad marshal data"},
        {"l" + le32(1) + std::string("\x00\x80", 2), ZvExc_ValueError, "bad marshal data"},
        {"l" + le32(2) + std::string("\x01\x00", 2), ZvExc_EOFError,
         "EOF read where object expected"},
        {"l" + le32(INT32_MIN), ZvExc_ValueError, "bad marshal data"},
        {"l" + le32(0x40000000), ZvExc_EOFError, "EOF read where object expected"},
        {"f", ZvExc_EOFError, "EOF read where object expected"},
        {"f\x05" "1.0", ZvExc_EOFError, "EOF read where object expected"},
        {"f\x03" "abc", ZvExc_ValueError, "bad marshal data"},
        {"f\x04" "1.0x", ZvExc_ValueError, "bad marshal data"},
        {"f" + nul, ZvExc_ValueError, "bad marshal data"},
        {"x\x03" "1.0\x03" "2.0", ZvExc_ValueError, "bad marshal data"},
        {"u" + le32(1) + "a", ZvExc_ValueError, "bad marshal data"},
        {"?", ZvExc_ValueError, "bad marshal data"},
        {"\xff", ZvExc_ValueError, "bad marshal data"},
        {"{" + str_x, ZvExc_EOFError, "EOF read where object expected"},
        {"{" + str_x + "z", ZvExc_ValueError, "bad marshal data"},
        {"{[" + le32(0) + "N0", ZvExc_TypeError, nullptr}, // unhashable key
        // Code objects: truncated, fields of the wrong kind, bad counts.
        {code_head, ZvExc_EOFError, "EOF read where object expected"},
        {good_code.substr(0, good_code.size() - 3), ZvExc_EOFError,
         "EOF read where object expected"},
        {code_head + "0", ZvExc_TypeError, "NULL object in marshal data"},
        {code_head + "N" + empty_t + code_tail, ZvExc_ValueError, "bad marshal data"},
        {code_head + str_x + str_x + code_tail, ZvExc_ValueError, "bad marshal data"},
        {code_head + str_x + empty_t + "(" + le32(1) + "i" + le32(1) + empty_t + empty_t +
             empty_t + str_x + str_x + le32(1) + "s" + le32(0),
         ZvExc_ValueError, "bad marshal data"},
        {"c" + le32(-1) + le32(0) + le32(1) + le32(0) + "s" + le32(1) + "S" + empty_t +
             code_tail,
         ZvExc_ValueError, "bad marshal data"},
        {"c" + le32(0) + le32(0) + le32(0x7fffffff) + le32(0) + "s" + le32(1) + "S" + empty_t +
             code_tail,
         ZvExc_ValueError, "code: stacksize out of range"},
        {"c" + le32(0) + le32(3) + le32(1) + le32(0) + "s" + le32(1) + "S" + empty_t +
             code_tail,
         ZvExc_ValueError, "code: varnames is shorter than nlocals"},
        {"c" + le32(4) + le32(0) + le32(1) + le32(0) + "s" + le32(1) + "S" + empty_t +
             code_tail,
         ZvExc_ValueError, "code: more parameters than nlocals"},
    };
    for (const Case &c : cases) {
        // A copy on the heap of exactly the record's size, so that the
        // sanitizer catches any read past its end.
        std::vector<char> heap(c.bytes.begin(), c.bytes.end());
        Owned v(ZvMarshal_ReadObjectFromString(heap.data(), (int)heap.size()));
        EXPECT_EQ(v.get(), nullptr) << zv_repr(v);
        EXPECT_TRUE(ZvErr_ExceptionMatches(c.exc)) << zv_repr(zv_bytes(c.bytes));
        std::string msg = zv_error_text();
        if (c.message != nullptr) {
            EXPECT_EQ(msg, c.message) << zv_repr(zv_bytes(c.bytes));
        }
    }
    // The well-formed code object the cases above spoil does load.
    Owned good(loads(good_code));
    EXPECT_NE(good.get(), nullptr);
}

TEST_F(MarshalTest, ReadingNormalizesAndWidens)
{
    // Zero top digits are dropped, so the long compares like any other.
    Owned v(loads("l" + le32(-3) + std::string("\x05\0\0\0\0\0", 6)));
    ASSERT_NE(v.get(), nullptr);
    EXPECT_EQ(Zv_SIZE(v.get()), -1);
    EXPECT_EQ(zv_repr(v), "-5L");
    Owned z(loads("l" + le32(2) + std::string("\0\0\0\0", 4)));
    EXPECT_EQ(Zv_SIZE(z.get()), 0);
    // The 64-bit int form reads as a long.
    Owned w(loads("I" + le32(0) + le32(1)));
    EXPECT_EQ(zv_repr(w), "4294967296L");
    Owned n(loads("I" + le32(-1) + le32(-1)));
    EXPECT_EQ(zv_repr(n), "-1L");
    // A null value drops its key; the marker alone reads as no object.
    Owned d(loads("{i" + le32(1) + "0" + "i" + le32(2) + "N0"));
    EXPECT_EQ(zv_repr(d), "{2: None}");
    EXPECT_EQ(loads("0"), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    // Trailing bytes after the record are ignored.
    Owned t(loads("Nxyz"));
    EXPECT_EQ(t.get(), Zv_None);
    // Bad arguments.
    EXPECT_EQ(ZvMarshal_ReadObjectFromString("N", -1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(ZvMarshal_ReadObjectFromString(nullptr, 3), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(MarshalTest, UnmarshallableObjectsAreRefused)
{
    Owned module(ZvModule_New("m")), slice(ZvSlice_New(nullptr, nullptr, nullptr));
    Owned inside(zv_tuple({Zv_None, slice.get()}));
    for (ZvObject *v : {module.get(), slice.get(), inside.get(), ZV_TYPE_OBJ(ZvInt_Type)})
        EXPECT_EQ(dumps(v), "<error: unmarshallable object>");
    // String subclasses are written as plain strings.
    Owned sub(zv_class("S", {ZV_TYPE_OBJ(ZvString_Type)}));
    Owned text(zv_string("abc"));
    Owned s(zv_call(sub, {text.get()}));
    EXPECT_EQ(dumps(s), "s" + le32(3) + "abc");
}

TEST_F(MarshalTest, FileFunctionsReadWhatTheWritersWrote)
{
    FILE *fp = tmpfile();
    ZvMarshal_WriteLongToFile(0x12345678, fp, 0);
    ZvMarshal_WriteLongToFile(-2, fp, 1);
    Owned name(ZvString_InternFromString("shared_name"));
    Owned value(zv_tuple({name.get(), name.get(), Zv_True}));
    ZvMarshal_WriteObjectToFile(value, fp, 1);
    Owned slice(ZvSlice_New(nullptr, nullptr, nullptr));
    ZvMarshal_WriteObjectToFile(slice, fp, 1); // not reported
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    fputc(0x34, fp);
    rewind(fp);
    EXPECT_EQ(ZvMarshal_ReadLongFromFile(fp), 0x12345678);
    EXPECT_EQ(ZvMarshal_ReadLongFromFile(fp), -2);
    Owned back(ZvMarshal_ReadObjectFromFile(fp));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(zv_repr(back), "('shared_name', 'shared_name', True)");
    EXPECT_EQ(ZvTuple_GET_ITEM(back.get(), 1), name.get());
    EXPECT_EQ(ZvMarshal_ReadObjectFromFile(fp), nullptr); // the '?' record
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    EXPECT_EQ(ZvMarshal_ReadShortFromFile(fp), (int16_t)0xff34); // missing bytes read as ones
    EXPECT_EQ(ZvMarshal_ReadLongFromFile(fp), -1);
    fclose(fp);

    fp = file_with(std::string("\xfe\xff\x01\x80", 4));
    EXPECT_EQ(ZvMarshal_ReadShortFromFile(fp), -2);
    EXPECT_EQ(ZvMarshal_ReadShortFromFile(fp), -32767);
    fclose(fp);
}

TEST_F(MarshalTest, ReadingFromFilesGrowsOnlyWithTheData)
{
    // Huge announced sizes at the end of a file fail without allocating
    // what they announce.
    const std::string cases[] = {
        "s" + le32(0x7ffffff0) + "abc",
        "(" + le32(0x7ffffff0) + "NN",
        "[" + le32(100000) + "N",
        "l" + le32(0x7ffffff0) + std::string("\x01\0", 2),
    };
    for (const std::string &c : cases) {
        FILE *fp = file_with(c);
        EXPECT_EQ(ZvMarshal_ReadObjectFromFile(fp), nullptr);
        EXPECT_NE(ZvErr_Occurred(), nullptr);
        ZvErr_Clear();
        fclose(fp);
    }
    // Large records that are really there do load from a file.
    std::string big(200000, 'q');
    Owned bigstr(zv_bytes(big));
    Owned list(ZvList_New(0));
    for (int i = 0; i < 70000; i++) ZvList_Append(list, Zv_None);
    Owned pair(zv_tuple({bigstr.get(), list.get()}));
    FILE *fp = file_with(dumps(pair));
    Owned back(ZvMarshal_ReadObjectFromFile(fp));
    fclose(fp);
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(ZvObject_RichCompareBool(back, pair, Zv_EQ), 1);
}

TEST_F(MarshalTest, LastObjectReadsSmallMediumAndLargeFiles)
{
    for (int size : {10, 20000, 300000}) {
        Owned s(zv_bytes(std::string((size_t)size, 'z')));
        std::string bytes = "HEAD" + dumps(s);
        FILE *fp = file_with(bytes);
        fseek(fp, 4, SEEK_SET);
        Owned back(ZvMarshal_ReadLastObjectFromFile(fp));
        fclose(fp);
        ASSERT_NE(back.get(), nullptr) << size;
        EXPECT_EQ(ZvString_GET_SIZE(back.get()), size);
        // Truncated, the same sizes raise.
        fp = file_with(bytes.substr(0, bytes.size() - 1));
        fseek(fp, 4, SEEK_SET);
        EXPECT_EQ(ZvMarshal_ReadLastObjectFromFile(fp), nullptr);
        EXPECT_TRUE(zv_raised(ZvExc_EOFError)) << size;
        fclose(fp);
    }
}

TEST_F(MarshalTest, RestrictedFramesCannotLoadCode)
{
    CodeSpec spec;
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    std::string bytes = dumps(co);
    Owned fo((ZvObject *)ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)co.get(), g, nullptr));
    ASSERT_EQ(((ZvFrameObject *)fo.get())->f_restricted, 1);
    ZvThreadState *ts = ZvThreadState_GET();
    ts->frame = (ZvFrameObject *)fo.get();
    Owned back(loads(bytes));
    Owned other(loads("N"));
    ts->frame = nullptr;
    EXPECT_EQ(back.get(), nullptr);
    EXPECT_EQ(zv_error_text(), "cannot unmarshal code objects in restricted execution mode");
    EXPECT_EQ(other.get(), Zv_None);
}

TEST_F(MarshalTest, ModuleFunctions)
{
    ZvMarshal_Init();
    ZvObject *modules = ZvThreadState_GET()->interp->modules;
    ZvObject *m = ZvDict_GetItemString(modules, "marshal");
    ASSERT_NE(m, nullptr);
    Owned version(ZvObject_GetAttrString(m, "version"));
    EXPECT_EQ(zv_intval(version), 1);

    Owned name(ZvString_InternFromString("dup"));
    Owned value(zv_tuple({name.get(), name.get()}));
    Owned zero(zv_int(0));
    Owned v1(zv_callattr(m, "dumps", {value.get()}));
    Owned v0(zv_callattr(m, "dumps", {value.get(), zero.get()}));
    EXPECT_EQ(zv_repr(v1), "'(\\x02\\x00\\x00\\x00t\\x03\\x00\\x00\\x00dupR\\x00\\x00\\x00\\x00'");
    EXPECT_EQ(zv_repr(v0), "'(\\x02\\x00\\x00\\x00s\\x03\\x00\\x00\\x00dups\\x03\\x00\\x00\\x00dup'");
    Owned back(zv_callattr(m, "loads", {v0.get(), zero.get()})); // version ignored
    EXPECT_EQ(zv_repr(back), "('dup', 'dup')");

    struct Bad {
        const char *func;
        std::vector<ZvObject *> args;
        ZvObject *exc;
        const char *message;
    };
    Owned nul(zv_string("0")), bad(zv_string("\x7f")), trunc(zv_string("s\x09")),
        slice(ZvSlice_New(nullptr, nullptr, nullptr)), f(zv_string("not a file"));
    const Bad bads[] = {
        {"loads", {nul}, ZvExc_TypeError, "NULL object in marshal data"},
        {"loads", {bad}, ZvExc_ValueError, "bad marshal data"},
        {"loads", {trunc}, ZvExc_EOFError, "EOF read where object expected"},
        {"loads", {zero}, ZvExc_TypeError, nullptr},
        {"dumps", {slice}, ZvExc_ValueError, "unmarshallable object"},
        {"dumps", {}, ZvExc_TypeError, nullptr},
        {"dump", {value, f}, ZvExc_TypeError, "marshal.dump() 2nd arg must be file"},
        {"load", {f}, ZvExc_TypeError, "marshal.load() arg must be file"},
    };
    for (const Bad &b : bads) {
        Owned func(ZvObject_GetAttrString(m, b.func));
        Owned args(zv_tuple_of(b.args));
        Owned r(ZvObject_Call(func, args, nullptr));
        EXPECT_EQ(r.get(), nullptr) << b.func;
        EXPECT_TRUE(ZvErr_ExceptionMatches(b.exc)) << b.func;
        std::string msg = zv_error_text();
        if (b.message != nullptr) {
            EXPECT_EQ(msg, b.message);
        }
    }
}
