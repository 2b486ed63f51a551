// The marshal format: exact byte forms, round trips, the nesting limit both
// ways, bad data of every kind, the file functions and the module.
#include <cstdio>
#include <cstring>
#include <functional>
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

// Reads from a heap copy of exactly the data's size, so that the sanitizer
// catches any read past its end.
ZvObject *loads(const std::string &s)
{
    std::vector<char> heap(s.begin(), s.end());
    return ZvMarshal_ReadObjectFromString(heap.data(), (int)heap.size());
}

std::string le32(int32_t v)
{
    auto u = (uint32_t)v;
    return {(char)(u & 0xff), (char)((u >> 8) & 0xff), (char)((u >> 16) & 0xff), (char)(u >> 24)};
}

ZvObject *long_of(const char *text)
{
    return ZvLong_FromString(text, nullptr, 10);
}

// A temporary file holding `data`, positioned after `skip` bytes.
FILE *file_with(const std::string &data, long skip = 0)
{
    FILE *fp = tmpfile();
    fwrite(data.data(), 1, data.size(), fp);
    fseek(fp, skip, SEEK_SET);
    return fp;
}

} // namespace

TEST_F(MarshalTest, ValuesHaveTheirExactByteFormsAndComeBack)
{
    Owned one(zv_int(1)), minus(zv_int(-1)), big(long_of("1099511627776")),
        negbig(long_of("-32768")), zero(long_of("0")), dict(ZvDict_New()),
        pt1(ZvFloat_FromDouble(0.1)), fone(ZvFloat_FromDouble(1.0)), fneg(ZvFloat_FromDouble(-2.0)),
        fexp(ZvFloat_FromDouble(1e100)), str(zv_bytes({"a\0b", 3})), tuple(ZvTuple_New(0)),
        list(ZvList_New(0)), name(ZvString_InternFromString("spam")),
        cplx(ZvComplex_FromDoubles(1.5, -2.0));
    Owned twice(zv_tuple({name.get(), name.get()})), pair(zv_tuple({one.get(), str.get()}));
    const struct {
        ZvObject *value;
        int version;
        std::string bytes;
    } cases[] = {
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
        {pt1, 1,
         "f\x13"
         "0.10000000000000001"},
        {cplx, 1,
         "x\x03"
         "1.5\x04"
         "-2.0"},
        {fone, 1,
         "f\x03"
         "1.0"},
        {fneg, 1,
         "f\x04"
         "-2.0"},
        {fexp, 1,
         "f\x06"
         "1e+100"},
        {str, 1, "s" + le32(3) + std::string("a\0b", 3)},
        {tuple, 1, "(" + le32(0)},
        {list, 1, "[" + le32(0)},
        {dict, 1, "{0"},
        {pair, 0, "(" + le32(2) + "i" + le32(1) + "s" + le32(3) + std::string("a\0b", 3)},
        {twice, 1, "(" + le32(2) + "t" + le32(4) + "spamR" + le32(0)},
        {twice, 0, "(" + le32(2) + "s" + le32(4) + "spams" + le32(4) + "spam"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dumps(c.value, c.version), c.bytes) << zv_repr(c.value);
        Owned back(loads(c.bytes));
        ASSERT_NE(back.get(), nullptr) << zv_repr(c.value);
        EXPECT_EQ(ZvObject_RichCompareBool(back, c.value, Zv_EQ), 1) << zv_repr(c.value);
        EXPECT_EQ(Zv_TYPE(back.get()), Zv_TYPE(c.value));
        bool singleton = c.value == Zv_None || c.value == Zv_True || c.value == Zv_Ellipsis ||
                         c.value == ZvExc_StopIteration;
        EXPECT_TRUE(!singleton || back.get() == c.value);
    }
    // Floats come back bit for bit, interned strings interned and shared.
    Owned floats(zv_tuple({ZvFloat_FromDouble(5e-324), ZvFloat_FromDouble(1.7976931348623157e308),
                           ZvFloat_FromDouble(-0.0), ZvFloat_FromDouble(1.0 / 3.0),
                           ZvFloat_FromDouble(1.0 / 0.0), name.get(), name.get()}));
    for (int i = 0; i < 5; i++)
        Zv_DECREF(ZvTuple_GET_ITEM(floats.get(), i)); // the tuple owns them
    for (int version : {0, 1}) {
        Owned back(loads(dumps(floats, version)));
        ASSERT_NE(back.get(), nullptr);
        for (int i = 0; i < 5; i++) {
            double a = ZvFloat_AS_DOUBLE(ZvTuple_GET_ITEM(back.get(), i));
            double b = ZvFloat_AS_DOUBLE(ZvTuple_GET_ITEM(floats.get(), i));
            EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
        }
        EXPECT_EQ(ZvTuple_GET_ITEM(back.get(), 5) == name.get(), version == 1);
        EXPECT_EQ(ZvTuple_GET_ITEM(back.get(), 6) == ZvTuple_GET_ITEM(back.get(), 5), version == 1);
    }
}

TEST_F(MarshalTest, CodeObjectsRoundTripWholly)
{
    CodeFields inner;
    inner.argcount = 1;
    inner.nlocals = 2;
    inner.stacksize = 3;
    inner.flags = CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS;
    inner.varnames = {"a", "rest"};
    inner.freevars = {"outer_var"};
    inner.name = "inner";
    inner.firstlineno = 7;
    inner.lnotab = "\x03\x01\x06\x02";
    Owned ci((ZvObject *)inner.make()), doc(zv_string("docstring with spaces"));
    CodeFields outer;
    outer.consts = {doc.get(), ci.get(), Zv_None};
    outer.names = {"inner", "print"};
    outer.cellvars = {"outer_var"};
    Owned co((ZvObject *)outer.make());
    std::string bytes = dumps(co);
    EXPECT_EQ(bytes.substr(0, 17), "c" + le32(0) + le32(0) + le32(1) + le32(0));
    Owned back(loads(bytes));
    ASSERT_TRUE(back.get() != nullptr && ZvCode_Check(back.get()));
    EXPECT_EQ(ZvObject_Compare(back, co), 0);
    auto *b = (ZvCodeObject *)back.get();
    auto *bi = (ZvCodeObject *)ZvTuple_GET_ITEM(b->co_consts, 1);
    EXPECT_EQ(ZvObject_Compare((ZvObject *)bi, ci), 0);
    EXPECT_EQ(bi->co_firstlineno, 7);
    EXPECT_EQ(zv_repr(bi->co_lnotab), "'\\x03\\x01\\x06\\x02'");
    EXPECT_EQ(bi->co_flags, inner.flags); // no CO_NOFREE: it has a free variable
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
    // Reading stops at the same depth, whatever kind of record nests.
    std::string tuples, dicts, codes;
    for (int i = 0; i < 5001; i++) {
        tuples += "(" + le32(1);
        dicts += "{N";
        codes += "c" + le32(0) + le32(0) + le32(0) + le32(0) + "s" + le32(0) + "(" + le32(1);
    }
    for (const std::string &s : {tuples + "N", dicts, codes}) {
        EXPECT_EQ(loads(s), nullptr);
        EXPECT_EQ(zv_error_of(ZvExc_ValueError), "object too deeply nested to unmarshal");
    }
}

TEST_F(MarshalTest, BadDataRaisesAndNeverOverreads)
{
    const std::string eof = "EOF read where object expected", bad = "bad marshal data";
    const std::string head = "c" + le32(0) + le32(0) + le32(1) + le32(0);
    const std::string t0 = "(" + le32(0), sx = "s" + le32(1) + "x";
    const std::string tail = t0 + t0 + t0 + t0 + sx + sx + le32(1) + "s" + le32(0);
    const std::string good =
        head + "s" + le32(4) + std::string("d\0\0S", 4) + "(" + le32(1) + "N" + tail;
    auto with_counts = [&](int argcount, int nlocals, int stacksize) {
        return "c" + le32(argcount) + le32(nlocals) + le32(stacksize) + le32(0) + sx + t0 + tail;
    };
    const struct {
        std::string bytes;
        ZvObject *exc;
        std::string message;
    } cases[] = {
        {"", ZvExc_EOFError, eof},
        {"i\x01\x02", ZvExc_EOFError, eof},
        {"I" + le32(1), ZvExc_EOFError, eof},
        {"s" + le32(5) + "ab", ZvExc_EOFError, eof},
        {"s\x01", ZvExc_EOFError, eof},
        {"s" + le32(-1), ZvExc_ValueError, bad},
        {"t" + le32(0x7fffffff) + "abc", ZvExc_EOFError, eof},
        {"(" + le32(0x7fffffff) + "N", ZvExc_EOFError, eof},
        {"(" + le32(2) + "N", ZvExc_EOFError, eof},
        {"[" + le32(-5), ZvExc_ValueError, bad},
        {"(" + le32(1) + "0", ZvExc_TypeError, "NULL object in marshal data"},
        {"[" + le32(1) + "z", ZvExc_ValueError, bad},
        {"R" + le32(0), ZvExc_ValueError, bad},
        {"(" + le32(2) + "t" + le32(1) + "aR" + le32(1), ZvExc_ValueError, bad},
        {"(" + le32(2) + "t" + le32(1) + "aR" + le32(-1), ZvExc_ValueError, bad},
        {"l" + le32(1) + std::string("\x00\x80", 2), ZvExc_ValueError, bad},
        {"l" + le32(2) + std::string("\x01\x00", 2), ZvExc_EOFError, eof},
        {"l" + le32(INT32_MIN), ZvExc_ValueError, bad},
        {"f", ZvExc_EOFError, eof},
        {"f\x05"
         "1.0",
         ZvExc_EOFError, eof},
        {"f\x03"
         "abc",
         ZvExc_ValueError, bad},
        {"f\x04"
         "1.0x",
         ZvExc_ValueError, bad},
        {std::string("f\0", 2), ZvExc_ValueError, bad},
        {"x\x03"
         "1.0",
         ZvExc_EOFError, eof}, // a complex without its imaginary part
        {"x\x03"
         "1.0\x01"
         "j",
         ZvExc_ValueError, bad},
        {"u" + le32(1) + "a", ZvExc_ValueError, bad}, // no unicode yet
        {"?", ZvExc_ValueError, bad},
        {"\xff", ZvExc_ValueError, bad},
        {"{" + sx, ZvExc_EOFError, eof},
        {"{" + sx + "z", ZvExc_ValueError, bad},
        {"{[" + le32(0) + "N0", ZvExc_TypeError, "list objects are unhashable"},
        // Code objects: truncated, null or wrongly kinded fields, bad counts.
        {head, ZvExc_EOFError, eof},
        {good.substr(0, good.size() - 3), ZvExc_EOFError, eof},
        {head + "0", ZvExc_TypeError, "NULL object in marshal data"},
        {head + "N" + t0 + tail, ZvExc_ValueError, bad},
        {head + sx + sx + tail, ZvExc_ValueError, bad},
        {head + sx + t0 + "(" + le32(1) + "i" + le32(1) + t0 + t0 + t0 + sx + sx + le32(1) + "s" +
             le32(0),
         ZvExc_ValueError, bad},
        {with_counts(-1, 0, 1), ZvExc_ValueError, bad},
        {with_counts(0, 0, 0x7fffffff), ZvExc_ValueError, "code: stacksize out of range"},
        {with_counts(0, 3, 1), ZvExc_ValueError, "code: varnames is shorter than nlocals"},
        {with_counts(4, 0, 1), ZvExc_ValueError, "code: more parameters than nlocals"},
    };
    for (const auto &c : cases) {
        Owned v(loads(c.bytes));
        EXPECT_EQ(v.get(), nullptr) << zv_repr(v);
        EXPECT_EQ(zv_error_of(c.exc).substr(0, c.message.size()), c.message)
            << zv_repr(Owned(zv_bytes(c.bytes)));
    }
    Owned ok(loads(good)); // the code object the cases above spoil
    EXPECT_NE(ok.get(), nullptr);

    // What reads, reads normalized: zero top digits of a long are dropped;
    // the 64-bit int form is a long; a null value drops its key; the null
    // record alone is no object and no error; trailing bytes are ignored.
    Owned l(loads("l" + le32(-3) + std::string("\x05\0\0\0\0\0", 6)));
    EXPECT_EQ(Zv_SIZE(l.get()), -1);
    Owned w(loads("I" + le32(0) + le32(1))), n(loads("I" + le32(-1) + le32(-1)));
    Owned d(loads("{i" + le32(1) + "0" + "i" + le32(2) + "N0")), t(loads("Nxyz"));
    EXPECT_EQ(zv_repr(l) + zv_repr(w) + zv_repr(n) + zv_repr(d), "-5L4294967296L-1L{2: None}");
    EXPECT_EQ(t.get(), Zv_None);
    EXPECT_EQ(loads("0"), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(ZvMarshal_ReadObjectFromString("N", -1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(MarshalTest, WritingRefusesWhatItCannotRepresent)
{
    Owned module(ZvModule_New("m")), slice(ZvSlice_New(nullptr, nullptr, nullptr));
    Owned inside(zv_tuple({Zv_None, slice.get()}));
    for (ZvObject *v : {module.get(), slice.get(), inside.get(), ZV_TYPE_OBJ(ZvInt_Type)})
        EXPECT_EQ(dumps(v), "<error: unmarshallable object>");
    // A string subclass is written as a plain string.
    Owned sub(zv_class("S", {ZV_TYPE_OBJ(ZvString_Type)})), text(zv_string("abc"));
    Owned s(zv_call(sub, {text.get()}));
    EXPECT_EQ(dumps(s), "s" + le32(3) + "abc");
}

TEST_F(MarshalTest, FileFunctions)
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
    fputs("\x34", fp);
    rewind(fp);
    EXPECT_EQ(ZvMarshal_ReadLongFromFile(fp), 0x12345678);
    EXPECT_EQ(ZvMarshal_ReadLongFromFile(fp), -2);
    Owned back(ZvMarshal_ReadObjectFromFile(fp));
    EXPECT_EQ(zv_repr(back), "('shared_name', 'shared_name', True)");
    EXPECT_EQ(ZvTuple_GET_ITEM(back.get(), 1), name.get());
    EXPECT_EQ(ZvMarshal_ReadObjectFromFile(fp), nullptr); // the '?' record
    EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    EXPECT_EQ(ZvMarshal_ReadShortFromFile(fp), (int16_t)0xff34); // missing bytes read as ones
    EXPECT_EQ(ZvMarshal_ReadLongFromFile(fp), -1);
    fclose(fp);

    // Huge announced sizes at the end of a file fail without allocating
    // what they announce.
    for (const std::string &c : {"s" + le32(0x7ffffff0) + "abc", "(" + le32(0x7ffffff0) + "NN",
                                 "l" + le32(0x7ffffff0) + std::string("\x01\0", 2)}) {
        fp = file_with(c);
        EXPECT_EQ(ZvMarshal_ReadObjectFromFile(fp), nullptr);
        EXPECT_NE(ZvErr_Occurred(), nullptr);
        ZvErr_Clear();
        fclose(fp);
    }
    // Large records that are there do load, and ReadLast reads files of
    // every size class from the current position.
    Owned list(ZvList_New(0));
    for (int i = 0; i < 70000; i++)
        ZvList_Append(list, Zv_None);
    for (int size : {10, 20000, 300000}) {
        Owned s(zv_bytes(std::string((size_t)size, 'z')));
        Owned pair(zv_tuple({s.get(), list.get()}));
        std::string bytes = "HEAD" + dumps(pair);
        for (bool last : {false, true}) {
            fp = file_with(bytes, 4);
            Owned r(last ? ZvMarshal_ReadLastObjectFromFile(fp) : ZvMarshal_ReadObjectFromFile(fp));
            fclose(fp);
            EXPECT_EQ(ZvObject_RichCompareBool(r, pair, Zv_EQ), 1) << size;
        }
        fp = file_with(bytes.substr(0, bytes.size() - 1), 4);
        EXPECT_EQ(ZvMarshal_ReadLastObjectFromFile(fp), nullptr);
        EXPECT_TRUE(zv_raised(ZvExc_EOFError)) << size;
        fclose(fp);
    }
}

TEST_F(MarshalTest, ModuleAndRestrictedExecution)
{
    ZvMarshal_Init();
    ZvObject *m = ZvDict_GetItemString(ZvThreadState_GET()->interp->modules, "marshal");
    ASSERT_NE(m, nullptr);
    Owned version(ZvObject_GetAttrString(m, "version"));
    EXPECT_EQ(zv_intval(version), 1);
    Owned name(ZvString_InternFromString("dup")), zero(zv_int(0));
    Owned value(zv_tuple({name.get(), name.get()}));
    Owned v1(zv_callattr(m, "dumps", {value.get()})), v0(zv_callattr(m, "dumps", {value, zero}));
    EXPECT_EQ(zv_str(v1), "(" + le32(2) + "t" + le32(3) + "dupR" + le32(0));
    EXPECT_EQ(zv_str(v0), "(" + le32(2) + "s" + le32(3) + "dups" + le32(3) + "dup");
    Owned back(zv_callattr(m, "loads", {v0, zero})); // the version is ignored
    EXPECT_EQ(zv_repr(back), "('dup', 'dup')");

    Owned nul(zv_string("0")), slice(ZvSlice_New(nullptr, nullptr, nullptr)),
        f(zv_string("not a file"));
    const struct {
        const char *func;
        std::vector<ZvObject *> args;
        ZvObject *exc;
        const char *message;
    } bads[] = {
        {"loads", {nul}, ZvExc_TypeError, "NULL object in marshal data"},
        {"loads", {zero}, ZvExc_TypeError, ""},
        {"dumps", {slice}, ZvExc_ValueError, "unmarshallable object"},
        {"dumps", {}, ZvExc_TypeError, ""},
        {"dump", {value, f}, ZvExc_TypeError, "marshal.dump() 2nd arg must be file"},
        {"load", {f}, ZvExc_TypeError, "marshal.load() arg must be file"},
    };
    for (const auto &b : bads) {
        Owned func(ZvObject_GetAttrString(m, b.func)), args(zv_tuple_of(b.args));
        Owned r(ZvObject_Call(func, args, nullptr));
        EXPECT_EQ(r.get(), nullptr) << b.func;
        EXPECT_EQ(zv_error_of(b.exc).substr(0, strlen(b.message)), b.message) << b.func;
    }

    // dump and load go through file objects: records follow one another,
    // a lone null record and end of file raise, a closed file is refused
    // and a write the stream refuses is an IOError, not a silent loss.
    char fname[] = "<tmp>", wmode[] = "w+b", rmode[] = "rb";
    Owned file(ZvFile_FromFile(tmpfile(), fname, wmode, fclose));
    Owned big(long_of("-1099511627776")), one(zv_int(1));
    Owned d1(zv_callattr(m, "dump", {value.get(), file.get()}));
    Owned d2(zv_callattr(m, "dump", {big.get(), file.get(), zero.get()}));
    EXPECT_EQ(d1.get(), Zv_None);
    EXPECT_EQ(d2.get(), Zv_None);
    fputc('0', ZvFile_AsFile(file));
    rewind(ZvFile_AsFile(file));
    Owned l1(zv_callattr(m, "load", {file.get()})), l2(zv_callattr(m, "load", {file.get()}));
    EXPECT_EQ(zv_repr(l1), "('dup', 'dup')");
    EXPECT_EQ(zv_repr(l2), "-1099511627776L");
    for (const char *expected : {"NULL object in marshal data", "EOF read where object expected"}) {
        Owned r(zv_callattr(m, "load", {file.get()}));
        EXPECT_EQ(r.get(), nullptr);
        EXPECT_EQ(zv_error_text(), expected);
        ZvErr_Clear();
    }
    Owned dslice(zv_callattr(m, "dump", {slice.get(), file.get()}));
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "unmarshallable object");
    Owned closed(zv_callattr(file, "close", {}));
    for (const char *func : {"dump", "load"}) {
        Owned r(func[0] == 'd' ? zv_callattr(m, func, {one.get(), file.get()})
                               : zv_callattr(m, func, {file.get()}));
        EXPECT_EQ(r.get(), nullptr);
        EXPECT_EQ(zv_error_of(ZvExc_ValueError), "I/O operation on closed file");
    }
    Owned unwritable(ZvFile_FromFile(fopen("/dev/null", "rb"), fname, rmode, fclose));
    Owned unwritten(zv_callattr(m, "dump", {value.get(), unwritable.get()}));
    EXPECT_EQ(unwritten.get(), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_IOError));

    // Code objects cannot be loaded while a restricted frame runs.
    CodeFields fields;
    Owned co((ZvObject *)fields.make()), g(ZvDict_New());
    std::string bytes = dumps(co);
    Owned fo((ZvObject *)ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)co.get(), g, nullptr));
    ASSERT_EQ(((ZvFrameObject *)fo.get())->f_restricted, 1);
    ZvThreadState_GET()->frame = (ZvFrameObject *)fo.get();
    Owned refused(loads(bytes)), other(loads("N"));
    ZvThreadState_GET()->frame = nullptr;
    EXPECT_EQ(zv_error_of(ZvExc_RuntimeError),
              "cannot unmarshal code objects in restricted execution mode");
    EXPECT_EQ(refused.get(), nullptr);
    EXPECT_EQ(other.get(), Zv_None);
}

TEST_F(MarshalTest, AllocationFailuresRaiseMemoryErrorAndLeakNothing)
{
    CodeFields small, big;
    small.consts = {Zv_None, Zv_True};
    small.names = {"alpha", "beta"};
    small.nlocals = 1;
    small.varnames = {"gamma"};
    small.lnotab = "\x01\x01";
    big.stacksize = 500;
    Owned code((ZvObject *)small.make()), bigcode((ZvObject *)big.make()), g(ZvDict_New());
    Owned value(zv_tuple({code.get(), long_of("123456789012345678901234567890"),
                          ZvFloat_FromDouble(0.25), ZvString_InternFromString("alpha")}));
    for (int i = 1; i < 4; i++) Zv_DECREF(ZvTuple_GET_ITEM(value.get(), i)); // owned by the tuple
    std::string bytes = dumps(value);
    const std::function<ZvObject *()> ops[] = {
        [&] { return ZvMarshal_WriteObjectToString(value, 1); },
        [&] { return loads(bytes); },
        [&] { // a recycled frame grown for bigger code
            Zv_XDECREF(ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)code.get(), g, nullptr));
            ZvErr_Clear();
            return (ZvObject *)ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)bigcode.get(), g,
                                           nullptr);
        },
    };
    for (const auto &op : ops) {
        for (int n = 1; n < 10000; n++) {
            _ZvMem_FailNth(n);
            ZvObject *r = op();
            bool hit = _ZvMem_FailPending() == 0;
            _ZvMem_FailNth(0);
            if (r == nullptr) {
                EXPECT_TRUE(hit && zv_raised(ZvExc_MemoryError)) << n;
            }
            EXPECT_EQ(ZvErr_Occurred(), nullptr) << n;
            Zv_XDECREF(r);
            if (!hit) break;
        }
    }
    // The locals copy keeps a pending error even when it cannot make the
    // dictionary.
    Owned fo((ZvObject *)ZvFrame_New(ZvThreadState_GET(), (ZvCodeObject *)code.get(), g, nullptr));
    ZvErr_SetString(ZvExc_KeyError, "pending");
    Zv_CLEAR(((ZvFrameObject *)fo.get())->f_locals);
    _ZvMem_FailNth(1);
    ZvFrame_FastToLocals((ZvFrameObject *)fo.get());
    _ZvMem_FailNth(0);
    EXPECT_EQ(zv_error_of(ZvExc_KeyError), "pending");
}
