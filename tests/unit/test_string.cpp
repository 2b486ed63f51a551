// The byte-string type: construction and caches, interning, printf-like
// building, access, repr and print, comparison, the sequence and mapping
// slots, the buffer slots and escape decoding.
#include "zvtest.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

using StringTest = ZvTest;

// Lets the type macros take an Owned as well as a plain pointer.
ZvObject *P(ZvObject *o) { return o; }

ZvObject *S(const std::string &s) { return ZvString_FromStringAndSize(s.data(), (int)s.size()); }

std::string bytes(ZvObject *o)
{
    return std::string(ZvString_AS_STRING(P(o)), (size_t)ZvString_GET_SIZE(P(o)));
}

std::string fmt(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Owned r(ZvString_FromFormatV(format, ap));
    va_end(ap);
    return r.get() ? bytes(r) : "<error>";
}

std::string decode(const std::string &src, const char *errors = nullptr,
                   const char *recode = nullptr)
{
    Owned r(ZvString_DecodeEscape(src.data(), (int)src.size(), errors, 0, recode));
    return r.get() ? bytes(r) : "<error>";
}

ZvSequenceMethods *seq() { return ZvString_Type.tp_as_sequence; }

} // namespace

// --- construction and caches ----------------------------------------------

TEST_F(StringTest, EmptyAndOneByteStringsAreSharedAndInterned)
{
    Owned a(ZvString_FromStringAndSize("", 0)), b(ZvString_FromString(""));
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(ZvString_CHECK_INTERNED(P(a)), SSTATE_INTERNED_MORTAL);
    EXPECT_EQ(ZvString_AS_STRING(P(a))[0], '\0');

    Owned x(ZvString_FromStringAndSize("xyz", 1)), y(ZvString_FromString("x"));
    EXPECT_EQ(x.get(), y.get());
    Owned high(ZvString_FromStringAndSize("\xff", 1)), high2(ZvString_FromStringAndSize("\xff", 1));
    EXPECT_EQ(high.get(), high2.get());
    Owned nul(ZvString_FromStringAndSize("\0", 1));
    EXPECT_EQ(ZvString_GET_SIZE(P(nul)), 1);

    // A string the caller is about to fill is never taken from the cache.
    Owned fresh(ZvString_FromStringAndSize(nullptr, 1));
    EXPECT_NE(fresh.get(), x.get());
    EXPECT_EQ(ZvString_CHECK_INTERNED(P(fresh)), SSTATE_NOT_INTERNED);
    EXPECT_EQ(Zv_REFCNT(P(fresh)), 1);
}

TEST_F(StringTest, ConstructionRejectsBadArguments)
{
    EXPECT_EQ(ZvString_FromStringAndSize("abc", -1), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_SystemError));
    EXPECT_EQ(zv_error_text(), "Negative size passed to ZvString_FromStringAndSize");
    EXPECT_EQ(ZvString_FromString(nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
}

TEST_F(StringTest, BytesMayContainNulsAndAreAlwaysTerminated)
{
    Owned s(ZvString_FromStringAndSize("a\0b", 3));
    EXPECT_EQ(ZvString_GET_SIZE(P(s)), 3);
    EXPECT_EQ(ZvString_AS_STRING(P(s))[3], '\0');
    EXPECT_EQ(bytes(s), std::string("a\0b", 3));
}

// --- interning ---------------------------------------------------------------

TEST_F(StringTest, InterningAnEqualStringYieldsTheFirstInternedObject)
{
    Owned first(ZvString_InternFromString("some_identifier"));
    ZvObject *other = ZvString_FromString("some_identifier");
    ASSERT_NE(other, first.get());
    ZvString_InternInPlace(&other);
    EXPECT_EQ(other, first.get());
    Zv_DECREF(other);
    EXPECT_EQ(ZvString_CHECK_INTERNED(P(first)), SSTATE_INTERNED_MORTAL);
    // The dictionary's two references are not counted.
    EXPECT_EQ(Zv_REFCNT(P(first)), 1);
}

TEST_F(StringTest, MortalInternedStringDiesWithItsLastUser)
{
    ZvObject *a = ZvString_InternFromString("ephemeral name 1");
    Zv_DECREF(a); // leaves the interned dictionary; ASan reports a leak otherwise
    ZvObject *b = ZvString_FromString("ephemeral name 1");
    ZvObject *before = b;
    ZvString_InternInPlace(&b);
    EXPECT_EQ(b, before) << "a dead string must not stay in the interned table";
    EXPECT_EQ(Zv_REFCNT(P(b)), 1);
    Zv_DECREF(b);
}

TEST_F(StringTest, ImmortalInternedStringKeepsAnExtraReference)
{
    ZvObject *s = ZvString_FromString("immortal name");
    ZvString_InternImmortal(&s);
    EXPECT_EQ(ZvString_CHECK_INTERNED(P(s)), SSTATE_INTERNED_IMMORTAL);
    EXPECT_EQ(Zv_REFCNT(P(s)), 2);
    ZvString_InternImmortal(&s); // a second call adds nothing
    EXPECT_EQ(Zv_REFCNT(P(s)), 2);
    Zv_DECREF(s); // shut-down gives the table's references back
}

// --- printf-like building -----------------------------------------------------

TEST_F(StringTest, FromFormatConversions)
{
    EXPECT_EQ(fmt("%d|%i|%x", -42, 7, 255u), "-42|7|ff");
    EXPECT_EQ(fmt("%ld|%lx", (long)INT64_MIN, 0xdeadbeefcafeUL), "-9223372036854775808|deadbeefcafe");
    EXPECT_EQ(fmt("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_EQ(fmt("<%s>", "text"), "<text>");
    EXPECT_EQ(fmt("<%.2s>", "text"), "<te>");
    EXPECT_EQ(fmt("<%.10s>", "text"), "<text>");
    EXPECT_EQ(fmt("%5d", 3), "3") << "widths are read and ignored";
    EXPECT_EQ(fmt("%s", (const char *)nullptr), "(null)");
}

TEST_F(StringTest, FromFormatPointersBeginWith0x)
{
    EXPECT_EQ(fmt("%p", (void *)nullptr), "0x0");
    EXPECT_EQ(fmt("%p", (void *)0xabc0), "0xabc0");
}

TEST_F(StringTest, FromFormatUnknownConversionCopiesTheRest)
{
    EXPECT_EQ(fmt("a%qb%d", 5), "a%qb%d");
    EXPECT_EQ(fmt("end%"), "end%");
    // The sizing pass must agree with the writing pass even when the rest
    // of the format is longer than the conversions it counted.
    EXPECT_EQ(fmt("%-s%s%s", "", "", ""), "%-s%s%s");
    EXPECT_EQ(fmt("%s%ly%%%%", "", 1), "%ly%%%%");
}

TEST_F(StringTest, FromFormatShortResultsAreShared)
{
    Owned e(ZvString_FromFormat("")), empty(ZvString_FromString(""));
    EXPECT_EQ(e.get(), empty.get());
    Owned c(ZvString_FromFormat("%s", "q")), q(ZvString_FromString("q"));
    EXPECT_EQ(c.get(), q.get());
}

// --- access ------------------------------------------------------------------

TEST_F(StringTest, AsStringAndSizeMessages)
{
    Owned i(ZvInt_FromLong(3));
    char *p;
    int len;
    EXPECT_EQ(ZvString_AsStringAndSize(i, &p, &len), -1);
    EXPECT_EQ(zv_error_text(), "expected string or Unicode object, int found");
    EXPECT_EQ(ZvString_Size(i), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvString_AsString(i), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    Owned nul(ZvString_FromStringAndSize("a\0b", 3));
    EXPECT_EQ(ZvString_AsStringAndSize(nul, &p, nullptr), -1);
    EXPECT_EQ(zv_error_text(), "expected string without null bytes");
    ASSERT_EQ(ZvString_AsStringAndSize(nul, &p, &len), 0);
    EXPECT_EQ(len, 3);
    Owned ok(S("fine"));
    EXPECT_EQ(ZvString_AsStringAndSize(ok, &p, nullptr), 0);
    EXPECT_STREQ(p, "fine");
    EXPECT_EQ(ZvString_Size(ok), 4);
}

TEST_F(StringTest, ResizeRefusesSharedOrInternedStrings)
{
    ZvObject *shared = ZvString_FromString("x"); // the cached one-byte string
    EXPECT_EQ(_ZvString_Resize(&shared, 5), -1);
    EXPECT_EQ(shared, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    ZvObject *fresh = ZvString_FromStringAndSize("hello world", 11);
    ASSERT_EQ(_ZvString_Resize(&fresh, 5), 0);
    EXPECT_EQ(bytes(fresh), "hello");
    EXPECT_EQ(ZvString_AS_STRING(P(fresh))[5], '\0');
    Zv_DECREF(fresh);
}

// --- hashing and comparison ----------------------------------------------------

TEST_F(StringTest, HashFollowsTheFormulaAndIsCached)
{
    Owned empty(S(""));
    EXPECT_EQ(ZvObject_Hash(empty), 0);
    const std::string text = "hash me";
    uint32_t x = (uint32_t)(unsigned char)text[0] << 7;
    for (unsigned char c : text) x = (1000003u * x) ^ c;
    x ^= (uint32_t)text.size();
    Owned s(S(text));
    EXPECT_EQ(ZvObject_Hash(s), (Zv_hash_t)x);
    EXPECT_EQ(((ZvStringObject *)P(s))->ob_shash, (Zv_hash_t)x);
}

TEST_F(StringTest, OrderingIsUnsignedBytewiseThenByLength)
{
    Owned a(S("abc")), ab(S("ab")), hi(S("\x80")), lo(S("\x7f")), abd(S("abd"));
    EXPECT_EQ(ZvObject_RichCompareBool(ab, a, Zv_LT), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, abd, Zv_LT), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(hi, lo, Zv_GT), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, a, Zv_GE), 1);
    EXPECT_EQ(ZvObject_RichCompareBool(a, a, Zv_NE), 0);
    Owned a2(S("abc"));
    EXPECT_EQ(ZvObject_RichCompareBool(a, a2, Zv_EQ), 1);
    Owned i(ZvInt_FromLong(1));
    Owned r(ZvString_Type.tp_richcompare(a, i, Zv_EQ));
    EXPECT_EQ(r.get(), Zv_NotImplemented);
}

// --- repr and print ----------------------------------------------------------------

TEST_F(StringTest, ReprChoosesQuotesAndEscapes)
{
    Owned its(S("it's")), both(S("it's \"x\"")), ctl(S("\t\n\r\x01\x7f\x80\xff\\"));
    EXPECT_EQ(zv_repr(its), "\"it's\"");
    EXPECT_EQ(zv_repr(both), "'it\\'s \"x\"'");
    EXPECT_EQ(zv_repr(ctl), "'\\t\\n\\r\\x01\\x7f\\x80\\xff\\\\'");
    Owned plain(ZvString_Repr(its, 0));
    EXPECT_EQ(bytes(plain), "'it\\'s'");
    EXPECT_EQ(ZvString_Repr(nullptr, 1), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(StringTest, PrintWritesReprOrRawBytes)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    Owned s(S("it's\n"));
    ASSERT_EQ(ZvString_Type.tp_print(s, fp, 0), 0);
    ASSERT_EQ(ZvString_Type.tp_print(s, fp, Zv_PRINT_RAW), 0);
    rewind(fp);
    char buf[64] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    EXPECT_EQ(std::string(buf, n), "\"it's\\n\"it's\n");
}

// --- concatenation and repetition ---------------------------------------------------

TEST_F(StringTest, ConcatenationSharesEmptyOperandsAndNamesBadTypes)
{
    Owned a(S("ab")), empty(S("")), i(ZvInt_FromLong(1));
    Owned r1(seq()->sq_concat(a, empty)), r2(seq()->sq_concat(empty, a));
    EXPECT_EQ(r1.get(), a.get());
    EXPECT_EQ(r2.get(), a.get());
    EXPECT_EQ(seq()->sq_concat(a, i), nullptr);
    EXPECT_EQ(zv_error_text(), "cannot concatenate 'str' and 'int' objects");
}

TEST_F(StringTest, ConcatGrowsASoleReferenceInPlaceAndHandlesFailure)
{
    ZvObject *s = ZvString_FromStringAndSize("ab", 2);
    ZvString_Concat(&s, Owned(S("cd")));
    ZvString_ConcatAndDel(&s, S("ef"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bytes(s), "abcdef");
    ZvString_Concat(&s, s); // the operand is the target itself
    EXPECT_EQ(bytes(s), "abcdefabcdef");
    Owned keep(s);
    ZvObject *t = s;
    Zv_INCREF(t);
    ZvString_Concat(&t, Owned(S("!")));
    EXPECT_EQ(bytes(t), "abcdefabcdef!");
    EXPECT_EQ(bytes(s), "abcdefabcdef") << "a shared string must not change";
    ZvString_Concat(&t, nullptr);
    EXPECT_EQ(t, nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    ZvString_Concat(&t, s); // a NULL target stays NULL
    EXPECT_EQ(t, nullptr);
}

TEST_F(StringTest, RepetitionEdgesAndOverflow)
{
    Owned abc(S("abc")), a(S("a"));
    Owned none(seq()->sq_repeat(abc, -1)), once(seq()->sq_repeat(abc, 1));
    EXPECT_EQ(bytes(none), "");
    EXPECT_EQ(once.get(), abc.get());
    Owned aaa(seq()->sq_repeat(a, 3)), seven(seq()->sq_repeat(abc, 7));
    EXPECT_EQ(bytes(aaa), "aaa");
    EXPECT_EQ(bytes(seven), "abcabcabcabcabcabcabc");
    EXPECT_EQ(seq()->sq_repeat(abc, 1 << 30), nullptr);
    EXPECT_EQ(zv_error_text(), "repeated string is too long");
    EXPECT_EQ(seq()->sq_repeat(abc, INT32_MAX), nullptr);
    EXPECT_EQ(zv_error_text(), "repeated string is too long");
}

// --- membership, indexing and slicing -------------------------------------------------

TEST_F(StringTest, Membership)
{
    Owned abc(S("abc")), empty(S("")), bc(S("bc")), c(S("c")), cb(S("cb")), i(ZvInt_FromLong(1));
    EXPECT_EQ(seq()->sq_contains(abc, empty), 1);
    EXPECT_EQ(seq()->sq_contains(abc, bc), 1);
    EXPECT_EQ(seq()->sq_contains(abc, c), 1);
    EXPECT_EQ(seq()->sq_contains(abc, cb), 0);
    EXPECT_EQ(seq()->sq_contains(abc, i), -1);
    EXPECT_EQ(zv_error_text(), "'in <string>' requires string as left operand");
}

TEST_F(StringTest, ItemSliceAndSubscript)
{
    Owned abc(S("abc"));
    EXPECT_EQ(seq()->sq_item(abc, 3), nullptr);
    EXPECT_EQ(zv_error_text(), "string index out of range");
    Owned b(seq()->sq_item(abc, 1)), b2(S("b"));
    EXPECT_EQ(b.get(), b2.get()) << "one-byte results come from the cache";

    Owned whole(seq()->sq_slice(abc, -5, 100)), mid(seq()->sq_slice(abc, 1, 2)),
        crossed(seq()->sq_slice(abc, 2, 1));
    EXPECT_EQ(whole.get(), abc.get());
    EXPECT_EQ(bytes(mid), "b");
    EXPECT_EQ(bytes(crossed), "");

    ZvMappingMethods *mp = ZvString_Type.tp_as_mapping;
    Owned m1(ZvInt_FromLong(-1)), m4(ZvInt_FromLong(-4)), key(S("x"));
    Owned last(mp->mp_subscript(abc, m1));
    EXPECT_EQ(bytes(last), "c");
    EXPECT_EQ(mp->mp_subscript(abc, m4), nullptr);
    EXPECT_EQ(zv_error_text(), "string index out of range");
    EXPECT_EQ(mp->mp_subscript(abc, key), nullptr);
    EXPECT_EQ(zv_error_text(), "string indices must be integers");
    EXPECT_EQ(mp->mp_length(abc), 3);
}

// --- buffer slots ---------------------------------------------------------------------

TEST_F(StringTest, BufferIsOneReadOnlySegment)
{
    Owned s(S("data"));
    ZvBufferProcs *pb = ZvString_Type.tp_as_buffer;
    int total = 0;
    EXPECT_EQ(pb->bf_getsegcount(s, &total), 1);
    EXPECT_EQ(total, 4);
    void *p = nullptr;
    EXPECT_EQ(pb->bf_getreadbuffer(s, 0, &p), 4);
    EXPECT_EQ(p, (void *)ZvString_AS_STRING(P(s)));
    const char *cp = nullptr;
    EXPECT_EQ(pb->bf_getcharbuffer(s, 0, &cp), 4);
    EXPECT_EQ(pb->bf_getreadbuffer(s, 1, &p), -1);
    EXPECT_EQ(zv_error_text(), "accessing non-existent string segment");
    EXPECT_EQ(pb->bf_getwritebuffer(s, 0, &p), -1);
    EXPECT_EQ(zv_error_text(), "Cannot use string as modifiable buffer");
}

// --- escape decoding --------------------------------------------------------------------

TEST_F(StringTest, DecodeEscapeKnownEscapes)
{
    EXPECT_EQ(decode("\\\\\\'\\\"\\a\\b\\f\\t\\n\\r\\v"), "\\'\"\a\b\f\t\n\r\v");
    EXPECT_EQ(decode("a\\\nb"), "ab") << "backslash-newline continues the line";
    EXPECT_EQ(decode("\\0\\12\\101\\1012"), std::string("\0\n" "AA2", 5));
    EXPECT_EQ(decode("\\777"), "\xff") << "octal values wrap modulo 256";
    EXPECT_EQ(decode("\\x41\\x6a\\x6A"), "Ajj");
    EXPECT_EQ(decode("\\q\\8"), "\\q\\8") << "unknown escapes are kept";
    EXPECT_EQ(decode(""), "");
}

TEST_F(StringTest, DecodeEscapeMalformedInput)
{
    EXPECT_EQ(decode("abc\\"), "<error>");
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_ValueError));
    EXPECT_EQ(zv_error_text(), "Trailing \\ in string");
    for (const char *bad : {"\\x", "\\x4", "\\xg0", "\\x4g"}) {
        EXPECT_EQ(decode(bad), "<error>") << bad;
        EXPECT_EQ(zv_error_text(), "invalid \\x escape") << bad;
        EXPECT_EQ(decode(bad, "strict"), "<error>") << bad;
        EXPECT_TRUE(zv_raised(ZvExc_ValueError));
    }
    EXPECT_EQ(decode("a\\x4", "replace"), "a?4");
    EXPECT_EQ(decode("a\\xzz", "ignore"), "azz");
    EXPECT_EQ(decode("\\x", "bogus"), "<error>");
    EXPECT_EQ(zv_error_text(), "decoding error; unknown error handling code: bogus");
    EXPECT_EQ(ZvString_DecodeEscape(nullptr, 3, nullptr, 0, nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(StringTest, DecodeEscapeRecodesNonAsciiRuns)
{
    EXPECT_EQ(decode("caf\xc3\xa9\\n", nullptr, "utf-8"), "caf\xc3\xa9\n");
    EXPECT_EQ(decode("plain\\t", nullptr, "no-such-codec"), "plain\t");
    EXPECT_EQ(decode("\xc3\xa9", nullptr, "no-such-codec"), "<error>");
    EXPECT_TRUE(zv_raised(ZvExc_LookupError));
}

// --- construction from the language and the remaining slots -------------------------------

TEST_F(StringTest, StrConstructorAndBasestring)
{
    Owned none(ZvTuple_New(0));
    Owned empty(ZvString_Type.tp_new(&ZvString_Type, none, nullptr));
    EXPECT_EQ(bytes(empty), "");
    Owned args(ZvTuple_Pack(1, Zv_None));
    Owned s(ZvString_Type.tp_new(&ZvString_Type, args, nullptr));
    EXPECT_EQ(bytes(s), "None");
    Owned same(S("same"));
    Owned args2(ZvTuple_Pack(1, same.get()));
    Owned s2(ZvString_Type.tp_new(&ZvString_Type, args2, nullptr));
    EXPECT_EQ(s2.get(), same.get());

    EXPECT_EQ(ZvBaseString_Type.tp_new(&ZvBaseString_Type, none, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "The basestring type cannot be instantiated");
    EXPECT_TRUE(ZvType_IsSubtype(&ZvString_Type, &ZvBaseString_Type));
}

TEST_F(StringTest, RemainderSlotOnlyServesStringLeftOperands)
{
    Owned i(ZvInt_FromLong(1)), s(S("%d"));
    binaryfunc mod = ZvString_Type.tp_as_number->nb_remainder;
    Owned r(mod(i, s));
    EXPECT_EQ(r.get(), Zv_NotImplemented);
    EXPECT_EQ(ZvString_Format(i, s), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(StringTest, CodecEntryPointsCheckTheirArguments)
{
    Owned i(ZvInt_FromLong(1)), s(S("x"));
    EXPECT_EQ(ZvString_AsEncodedObject(i, "ascii", nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvString_AsDecodedString(s, "no-such-codec", nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "unknown encoding: no-such-codec");
    EXPECT_EQ(ZvString_Encode("x", 1, nullptr, nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_LookupError));
}

// --- subtype instances ------------------------------------------------------------------

namespace {

// A statically defined subtype of str, standing in for a class statement.
ZvTypeObject MyStr_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "mystr", sizeof(ZvStringObject), sizeof(char),
};

ZvObject *make_mystr(const char *text)
{
    if (!(MyStr_Type.tp_flags & Zv_TPFLAGS_READY)) {
        MyStr_Type.tp_base = &ZvString_Type;
        MyStr_Type.tp_flags = Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE;
        MyStr_Type.tp_str = ZvString_Type.tp_str;
        MyStr_Type.tp_repr = ZvString_Type.tp_repr;
        MyStr_Type.tp_methods = ZvString_Type.tp_methods;
        if (ZvType_Ready(&MyStr_Type) < 0) return nullptr;
    }
    Owned value(ZvString_FromString(text));
    Owned args(ZvTuple_Pack(1, value.get()));
    return ZvString_Type.tp_new(&MyStr_Type, args, nullptr);
}

} // namespace

TEST_F(StringTest, SubtypeInstancesCopyTheBytesOfStr)
{
    Owned m(make_mystr("sub"));
    ASSERT_NE(m.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(m.get()), &MyStr_Type);
    EXPECT_EQ(bytes(m), "sub");
    EXPECT_EQ(ZvString_AS_STRING(P(m))[3], '\0');
    Owned plain(S("sub"));
    EXPECT_EQ(ZvObject_Hash(m), ZvObject_Hash(plain));
    EXPECT_EQ(ZvObject_RichCompareBool(m, plain, Zv_EQ), 1);
}

TEST_F(StringTest, UnchangedSubtypeResultsArePlainCopies)
{
    Owned m(make_mystr("abc"));
    Owned str(ZvObject_Str(m));
    EXPECT_TRUE(ZvString_CheckExact(str.get()));
    EXPECT_EQ(bytes(str), "abc");
    Owned once(seq()->sq_repeat(m, 1)), whole(seq()->sq_slice(m, 0, 3));
    EXPECT_TRUE(ZvString_CheckExact(once.get()));
    EXPECT_TRUE(ZvString_CheckExact(whole.get()));
    Owned stripped(zv_call_method(m, "strip"));
    EXPECT_TRUE(ZvString_CheckExact(stripped.get()));
    EXPECT_EQ(bytes(stripped), "abc");
    Owned empty(S(""));
    Owned cat(seq()->sq_concat(m, empty));
    EXPECT_NE(cat.get(), m.get());
    EXPECT_TRUE(ZvString_CheckExact(cat.get()));
}

TEST_F(StringTest, SubtypeInstancesAreNeverInterned)
{
    ZvObject *m = make_mystr("never interned");
    ZvObject *before = m;
    ZvString_InternInPlace(&m);
    EXPECT_EQ(m, before);
    EXPECT_EQ(ZvString_CHECK_INTERNED(P(m)), SSTATE_NOT_INTERNED);
    Zv_DECREF(m);
}

TEST_F(StringTest, SubtypePrintsItsStrForm)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    Owned m(make_mystr("x'y"));
    ASSERT_EQ(ZvString_Type.tp_print(m, fp, 0), 0);
    rewind(fp);
    char buf[16] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    EXPECT_EQ(std::string(buf, n), "\"x'y\"");
}
