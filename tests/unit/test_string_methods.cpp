// The methods of `str`, called through the type's method table.
#include "zvtest.h"

#include <initializer_list>
#include <string>

namespace {

using StringMethodTest = ZvTest;

// Lets the type macros take an Owned as well as a plain pointer.
ZvObject *P(ZvObject *o) { return o; }

ZvObject *S(const std::string &s) { return ZvString_FromStringAndSize(s.data(), (int)s.size()); }
ZvObject *I(int32_t v) { return ZvInt_FromLong(v); }
ZvObject *None()
{
    Zv_INCREF(Zv_None);
    return Zv_None;
}

// Calls self.name(*args); the argument references are stolen.
ZvObject *call(ZvObject *self, const char *name, std::initializer_list<ZvObject *> args = {})
{
    Owned tuple(ZvTuple_New((int)args.size()));
    int i = 0;
    for (ZvObject *a : args) ZvTuple_SET_ITEM(tuple.get(), i++, a);
    return zv_call_method(self, name, tuple);
}

// repr() of self.name(*args), or "<ExcName: message>" when it raises.
std::string r(const std::string &self, const char *name, std::initializer_list<ZvObject *> args = {})
{
    Owned s(S(self));
    Owned res(call(s, name, args));
    if (res.get() != nullptr) return zv_repr(res);
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    std::string kind = ZvErr_GivenExceptionMatches(t, ZvExc_TypeError)       ? "TypeError"
                       : ZvErr_GivenExceptionMatches(t, ZvExc_ValueError)    ? "ValueError"
                       : ZvErr_GivenExceptionMatches(t, ZvExc_OverflowError) ? "OverflowError"
                       : ZvErr_GivenExceptionMatches(t, ZvExc_LookupError)   ? "LookupError"
                                                                             : "other";
    std::string msg = v ? zv_str(v) : "";
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);
    return "<" + kind + ": " + msg + ">";
}

} // namespace

TEST_F(StringMethodTest, SplitOnWhiteSpace)
{
    EXPECT_EQ(r(" a  b ", "split"), "['a', 'b']");
    EXPECT_EQ(r(" a  b ", "split", {None(), I(1)}), "['a', 'b ']");
    EXPECT_EQ(r(" a  b ", "split", {None(), I(0)}), "['a  b ']");
    EXPECT_EQ(r("   ", "split"), "[]");
    EXPECT_EQ(r("", "split"), "[]");
    EXPECT_EQ(r("a\tb\nc\x0b" "d", "split"), "['a', 'b', 'c', 'd']");
    EXPECT_EQ(r("a b c", "rsplit", {None(), I(1)}), "['a b', 'c']");
    EXPECT_EQ(r(" a  b ", "rsplit", {None(), I(1)}), "[' a', 'b']");
    EXPECT_EQ(r(" a  b ", "rsplit"), "['a', 'b']");
}

TEST_F(StringMethodTest, SplitOnSeparator)
{
    EXPECT_EQ(r("a,,b", "split", {S(",")}), "['a', '', 'b']");
    EXPECT_EQ(r("a,", "split", {S(",")}), "['a', '']");
    EXPECT_EQ(r("", "split", {S(",")}), "['']");
    EXPECT_EQ(r("a--b--c", "split", {S("--"), I(1)}), "['a', 'b--c']");
    EXPECT_EQ(r("a--b--c", "split", {S("--"), I(-5)}), "['a', 'b', 'c']");
    EXPECT_EQ(r("a--b--c", "rsplit", {S("--"), I(1)}), "['a--b', 'c']");
    EXPECT_EQ(r("aaa", "split", {S("aa")}), "['', 'a']");
    EXPECT_EQ(r("aaa", "rsplit", {S("aa")}), "['a', '']");
    EXPECT_EQ(r("x", "split", {S("")}), "<ValueError: empty separator>");
    EXPECT_EQ(r("x", "rsplit", {S("")}), "<ValueError: empty separator>");
    EXPECT_EQ(r("x", "split", {I(1)}), "<TypeError: expected a character buffer object>");
}

TEST_F(StringMethodTest, SplitOfAnUnsplitStringReturnsTheStringItself)
{
    Owned s(S("no separators here"));
    Owned args(ZvTuple_Pack(1, Owned(S(",")).get()));
    Owned res(zv_call_method(s, "split", args));
    ASSERT_EQ(ZvList_GET_SIZE(P(res)), 1);
    EXPECT_EQ(ZvList_GET_ITEM(P(res), 0), s.get());
}

TEST_F(StringMethodTest, Splitlines)
{
    EXPECT_EQ(r("a\r\nb\n", "splitlines"), "['a', 'b']");
    EXPECT_EQ(r("a\r\nb\n", "splitlines", {I(1)}), "['a\\r\\n', 'b\\n']");
    EXPECT_EQ(r("a\rb\n\nc", "splitlines"), "['a', 'b', '', 'c']");
    EXPECT_EQ(r("\r\r\n", "splitlines", {I(1)}), "['\\r', '\\r\\n']");
    EXPECT_EQ(r("", "splitlines"), "[]");
}

TEST_F(StringMethodTest, Join)
{
    Owned comma(S(","));
    Owned a(S("a"));
    Owned one(ZvList_New(0));
    ZvList_Append(one, a);
    Owned j1(zv_call_method(comma, "join", Owned(ZvTuple_Pack(1, one.get()))));
    EXPECT_EQ(j1.get(), a.get()) << "a single exact string is its own join";

    Owned parts(ZvTuple_Pack(3, a.get(), Owned(S("")).get(), Owned(S("bc")).get()));
    Owned j3(zv_call_method(comma, "join", Owned(ZvTuple_Pack(1, parts.get()))));
    EXPECT_EQ(zv_repr(j3), "'a,,bc'");

    Owned empty(ZvList_New(0));
    Owned j0(_ZvString_Join(comma, empty));
    EXPECT_EQ(zv_repr(j0), "''");

    // A string is a sequence of its bytes.
    Owned abc(S("abc"));
    Owned js(_ZvString_Join(comma, abc));
    EXPECT_EQ(zv_repr(js), "'a,b,c'");
}

TEST_F(StringMethodTest, JoinErrors)
{
    Owned comma(S(","));
    Owned bad(ZvList_New(0));
    ZvList_Append(bad, Owned(S("a")));
    ZvList_Append(bad, Owned(I(1)));
    EXPECT_EQ(_ZvString_Join(comma, bad), nullptr);
    EXPECT_EQ(zv_error_text(), "sequence item 1: expected string, int found");
    Owned onlyint(ZvList_New(0));
    ZvList_Append(onlyint, Owned(I(1)));
    EXPECT_EQ(_ZvString_Join(comma, onlyint), nullptr);
    EXPECT_EQ(zv_error_text(), "sequence item 0: expected string, int found");
    Owned i(I(5));
    EXPECT_EQ(_ZvString_Join(comma, i), nullptr);
    EXPECT_EQ(zv_error_text(), "sequence expected, int found");
    EXPECT_EQ(_ZvString_Join(i, comma), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(StringMethodTest, JoinOverflowRaisesInsteadOfWrapping)
{
    // 2100 references to one 1 MB string: the total passes 2 GB.
    Owned big(ZvString_FromStringAndSize(nullptr, 1 << 20));
    memset(ZvString_AS_STRING(P(big)), 'x', 1 << 20);
    Owned items(ZvList_New(0));
    for (int k = 0; k < 2100; k++) ZvList_Append(items, big);
    Owned empty(S(""));
    EXPECT_EQ(_ZvString_Join(empty, items), nullptr);
    EXPECT_EQ(zv_error_text(), "join() is too long for a Zuvo string");
}

TEST_F(StringMethodTest, Strip)
{
    EXPECT_EQ(r(" \t a b \n", "strip"), "'a b'");
    EXPECT_EQ(r("  ab  ", "lstrip"), "'ab  '");
    EXPECT_EQ(r("  ab  ", "rstrip", {None()}), "'  ab'");
    EXPECT_EQ(r("xyabyx", "strip", {S("xy")}), "'ab'");
    EXPECT_EQ(r("xxxx", "strip", {S("x")}), "''");
    EXPECT_EQ(r("ab", "strip", {S("")}), "'ab'");
    EXPECT_EQ(r("ab", "strip", {I(1)}), "<TypeError: strip arg must be None, str or unicode>");
    EXPECT_EQ(r("ab", "lstrip", {I(1)}), "<TypeError: lstrip arg must be None, str or unicode>");
    Owned s(S("unchanged"));
    Owned res(call(s, "strip"));
    EXPECT_EQ(res.get(), s.get());
}

TEST_F(StringMethodTest, FindFamilyBoundsAndEmptyNeedles)
{
    EXPECT_EQ(r("abc", "find", {S(""), I(5)}), "-1");
    EXPECT_EQ(r("abc", "find", {S("")}), "0");
    EXPECT_EQ(r("abc", "rfind", {S("")}), "3");
    EXPECT_EQ(r("abcabc", "find", {S("bc"), I(2)}), "4");
    EXPECT_EQ(r("abcabc", "find", {S("bc"), I(-2)}), "4");
    EXPECT_EQ(r("abcabc", "find", {S("bc"), I(0), I(-3)}), "1");
    EXPECT_EQ(r("abcabc", "find", {S("bc"), I(0), I(2)}), "-1");
    EXPECT_EQ(r("abcabc", "rfind", {S("bc")}), "4");
    EXPECT_EQ(r("abcabc", "rfind", {S("bc"), I(0), I(5)}), "1");
    EXPECT_EQ(r("abcabc", "rfind", {S("c"), None(), I(-1)}), "2");
    EXPECT_EQ(r("abcabc", "find", {S("c"), None(), None()}), "2");
    EXPECT_EQ(r("abc", "find", {S("c"), S("x")}),
              "<TypeError: slice indices must be integers or None>");
    EXPECT_EQ(r("abc", "index", {S("d")}), "<ValueError: substring not found>");
    EXPECT_EQ(r("abc", "rindex", {S("a"), I(1)}), "<ValueError: substring not found>");
    EXPECT_EQ(r("abcab", "rindex", {S("ab")}), "3");
    EXPECT_EQ(r("abc", "find", {I(1)}), "<TypeError: expected a character buffer object>");
}

TEST_F(StringMethodTest, CountIsNonOverlapping)
{
    EXPECT_EQ(r("abc", "count", {S("")}), "4");
    EXPECT_EQ(r("abc", "count", {S(""), I(5)}), "0");
    EXPECT_EQ(r("abc", "count", {S(""), I(1), I(2)}), "2");
    EXPECT_EQ(r("aaaa", "count", {S("aa")}), "2");
    EXPECT_EQ(r("aaaa", "count", {S("a"), I(1), I(-1)}), "2");
    EXPECT_EQ(r("abab", "count", {S("abc")}), "0");
}

TEST_F(StringMethodTest, StartsAndEndsWith)
{
    EXPECT_EQ(r("hello", "startswith", {S("he")}), "True");
    EXPECT_EQ(r("hello", "startswith", {S("el"), I(1)}), "True");
    EXPECT_EQ(r("hello", "startswith", {S("hello!")}), "False");
    EXPECT_EQ(r("hello", "startswith", {S(""), I(5)}), "True");
    EXPECT_EQ(r("hello", "startswith", {S(""), I(6)}), "False");
    EXPECT_EQ(r("hello", "endswith", {S("ll"), I(0), I(-1)}), "True");
    EXPECT_EQ(r("hello", "endswith", {S("lo"), I(-2)}), "True");
    Owned alts(ZvTuple_Pack(2, Owned(S("x")).get(), Owned(S("lo")).get()));
    Zv_INCREF(alts.get());
    EXPECT_EQ(r("hello", "endswith", {alts.get()}), "True");
    Owned none_match(ZvTuple_New(0));
    Zv_INCREF(none_match.get());
    EXPECT_EQ(r("hello", "startswith", {none_match.get()}), "False");
    EXPECT_EQ(r("hello", "startswith", {I(1)}),
              "<TypeError: expected a character buffer object>");
}

TEST_F(StringMethodTest, Replace)
{
    EXPECT_EQ(r("abc", "replace", {S(""), S("-")}), "'-a-b-c-'");
    EXPECT_EQ(r("abc", "replace", {S(""), S("-"), I(2)}), "'-a-bc'");
    EXPECT_EQ(r("", "replace", {S(""), S("x")}), "''");
    EXPECT_EQ(r("aaa", "replace", {S("a"), S("b"), I(2)}), "'bba'");
    EXPECT_EQ(r("aaa", "replace", {S("a"), S("b"), I(0)}), "'aaa'");
    EXPECT_EQ(r("aaaa", "replace", {S("aa"), S("x")}), "'xx'");
    EXPECT_EQ(r("a.b.c", "replace", {S("."), S("")}), "'abc'");
    EXPECT_EQ(r("a.b.c", "replace", {S("."), S("::")}), "'a::b::c'");
    EXPECT_EQ(r("abcabc", "replace", {S("bc"), S("XY")}), "'aXYaXY'");
    EXPECT_EQ(r("ab", "replace", {S("abc"), S("x")}), "'ab'");
    EXPECT_EQ(r("ab", "replace", {I(1), S("x")}), "<TypeError: expected a character buffer object>");
    Owned s(S("unchanged"));
    Owned res(call(s, "replace", {S("z"), S("y")}));
    EXPECT_EQ(res.get(), s.get());
}

TEST_F(StringMethodTest, ReplaceOverflowRaisesInsteadOfWrapping)
{
    Owned to(ZvString_FromStringAndSize(nullptr, 3 << 20));
    memset(ZvString_AS_STRING(P(to)), 'y', 3 << 20);
    Zv_INCREF(to.get());
    std::string many(1000, 'a');
    EXPECT_EQ(r(many, "replace", {S("a"), to.get()}),
              "<OverflowError: replace string is too long>");
}

TEST_F(StringMethodTest, CaseMapping)
{
    EXPECT_EQ(r("Hello World 1", "lower"), "'hello world 1'");
    EXPECT_EQ(r("Hello World 1", "upper"), "'HELLO WORLD 1'");
    EXPECT_EQ(r("Hello World 1", "swapcase"), "'hELLO wORLD 1'");
    EXPECT_EQ(r("hELLO wORLD", "capitalize"), "'Hello world'");
    EXPECT_EQ(r("hello wORLD-x1y", "title"), "'Hello World-X1Y'");
    EXPECT_EQ(r("", "title"), "''");
}

TEST_F(StringMethodTest, Predicates)
{
    EXPECT_EQ(r("abc1", "islower"), "True");
    EXPECT_EQ(r("aBc", "islower"), "False");
    EXPECT_EQ(r("123", "islower"), "False");
    EXPECT_EQ(r("", "islower"), "False");
    EXPECT_EQ(r("ABC1", "isupper"), "True");
    EXPECT_EQ(r(" \t\n", "isspace"), "True");
    EXPECT_EQ(r("", "isspace"), "False");
    EXPECT_EQ(r("0123", "isdigit"), "True");
    EXPECT_EQ(r("12a", "isdigit"), "False");
    EXPECT_EQ(r("abC", "isalpha"), "True");
    EXPECT_EQ(r("ab1", "isalnum"), "True");
    EXPECT_EQ(r("ab 1", "isalnum"), "False");
    EXPECT_EQ(r("Hello World", "istitle"), "True");
    EXPECT_EQ(r("Hello world", "istitle"), "False");
    EXPECT_EQ(r("HEllo", "istitle"), "False");
    EXPECT_EQ(r("A", "istitle"), "True");
    EXPECT_EQ(r("1", "istitle"), "False");
    EXPECT_EQ(r("", "istitle"), "False");
}

TEST_F(StringMethodTest, Padding)
{
    EXPECT_EQ(r("ab", "center", {I(5)}), "'  ab '");
    EXPECT_EQ(r("ab", "center", {I(6), S("*")}), "'**ab**'");
    EXPECT_EQ(r("abc", "center", {I(4)}), "'abc '");
    EXPECT_EQ(r("abc", "center", {I(2)}), "'abc'");
    EXPECT_EQ(r("ab", "ljust", {I(4), S("-")}), "'ab--'");
    EXPECT_EQ(r("ab", "rjust", {I(4)}), "'  ab'");
    EXPECT_EQ(r("ab", "rjust", {I(-4)}), "'ab'");
    EXPECT_EQ(r("-42", "zfill", {I(5)}), "'-0042'");
    EXPECT_EQ(r("+7", "zfill", {I(3)}), "'+07'");
    EXPECT_EQ(r("42", "zfill", {I(5)}), "'00042'");
    EXPECT_EQ(r("", "zfill", {I(2)}), "'00'");
    EXPECT_EQ(r("-42", "zfill", {I(2)}), "'-42'");
    Owned s(S("wide"));
    Owned res(call(s, "ljust", {I(3)}));
    EXPECT_EQ(res.get(), s.get());
}

TEST_F(StringMethodTest, Expandtabs)
{
    EXPECT_EQ(r("a\tb", "expandtabs", {I(4)}), "'a   b'");
    EXPECT_EQ(r("a\tb", "expandtabs"), "'a       b'");
    EXPECT_EQ(r("ab\ncd\tx\r\ty", "expandtabs", {I(4)}), "'ab\\ncd  x\\r    y'");
    EXPECT_EQ(r("a\tb\t", "expandtabs", {I(0)}), "'ab'");
    EXPECT_EQ(r("a\tb", "expandtabs", {I(-3)}), "'ab'");
}

TEST_F(StringMethodTest, ExpandtabsOverflowRaisesInsteadOfWrapping)
{
    std::string tabs(1000, '\t');
    EXPECT_EQ(r(tabs, "expandtabs", {I(1 << 22)}), "<OverflowError: result is too long>");
}

TEST_F(StringMethodTest, Translate)
{
    std::string table(256, '\0');
    for (int c = 0; c < 256; c++) table[(size_t)c] = (char)c;
    table['a'] = 'A';
    EXPECT_EQ(r("banana", "translate", {S(table)}), "'bAnAnA'");
    EXPECT_EQ(r("banana", "translate", {S(table), S("n")}), "'bAAA'");
    EXPECT_EQ(r("banana", "translate", {S(table), S("ban")}), "''");
    EXPECT_EQ(r("banana", "translate", {S("short")}),
              "<ValueError: translation table must be 256 characters long>");
    EXPECT_EQ(r("x", "translate", {}).substr(0, 11), "<TypeError:");
    Owned s(S("xyz"));
    Owned res(call(s, "translate", {S(table)}));
    EXPECT_EQ(res.get(), s.get()) << "an unchanged string is returned itself";
}

TEST_F(StringMethodTest, GetnewargsAndCodecs)
{
    Owned s(S("pickle"));
    Owned args(call(s, "__getnewargs__"));
    ASSERT_TRUE(ZvTuple_Check(args.get()));
    EXPECT_EQ(zv_repr(args), "('pickle',)");
    EXPECT_NE(ZvTuple_GET_ITEM(P(args), 0), s.get()) << "a plain copy";
    EXPECT_EQ(r("x", "encode", {S("no-such-codec")}), "<LookupError: unknown encoding: no-such-codec>");
    EXPECT_EQ(r("x", "decode", {S("no-such-codec"), S("strict")}),
              "<LookupError: unknown encoding: no-such-codec>");
    EXPECT_EQ(r("x", "encode", {I(1)}).substr(0, 11), "<TypeError:");
}

TEST_F(StringMethodTest, SearchesAgreeWithANaiveScanAtEveryPosition)
{
    // Many near-misses before the match exercise the hand-over from the
    // candidate scan to the bulk search; matches sit at every offset,
    // including the very end.
    for (int pad = 0; pad < 40; pad++) {
        std::string hay;
        for (int k = 0; k < pad; k++) hay += (k % 3) ? "a" : "ab";
        hay += "abc";
        std::string sub = "abc";
        size_t expect = hay.find(sub), rexpect = hay.rfind(sub);
        EXPECT_EQ(r(hay, "find", {S(sub)}), std::to_string(expect)) << hay;
        EXPECT_EQ(r(hay, "rfind", {S(sub)}), std::to_string(rexpect)) << hay;
        EXPECT_EQ(r(hay, "find", {S("abd")}), "-1") << hay;
        EXPECT_EQ(r(hay, "count", {S("ab")}), std::to_string((pad + 2) / 3 + 1)) << hay;
        EXPECT_EQ(r(hay, "find", {S(sub), I(0), I((int)hay.size() - 1)}), "-1") << hay;
    }
}
