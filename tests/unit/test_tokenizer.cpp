// The tokenizer driven on source strings and files: tokens and their text,
// indentation, tab checking, numbers, strings, encodings and bad input.
#include "zvtest.h"
#include "zvfrontend.h"

#include <cstdio>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

struct Token {
    int type;
    std::string text;
    bool operator==(const Token &o) const { return type == o.type && text == o.text; }
};

std::ostream &operator<<(std::ostream &os, const Token &t)
{
    return os << _ZvParser_TokenNames[t.type] << "'" << t.text << "'";
}

// All tokens up to ENDMARKER or ERRORTOKEN (included); `done` receives the
// tokenizer's final code.
std::vector<Token> drain(tok_state *tok, int *done = nullptr, int *lineno = nullptr)
{
    std::vector<Token> out;
    for (;;) {
        char *a, *b;
        int t = ZvTokenizer_Get(tok, &a, &b);
        out.push_back({t, a ? std::string(a, (size_t)(b - a)) : std::string()});
        if (t == ENDMARKER || t == ERRORTOKEN) break;
    }
    if (done) *done = tok->done;
    if (lineno) *lineno = tok->lineno;
    return out;
}

std::vector<Token> lex(const std::string &src, int *done = nullptr)
{
    tok_state *tok = ZvTokenizer_FromString(src.c_str());
    EXPECT_NE(tok, nullptr);
    if (tok == nullptr) return {};
    std::vector<Token> out = drain(tok, done);
    ZvTokenizer_Free(tok);
    return out;
}

// The token types only.
std::vector<int> types(const std::string &src, int *done = nullptr)
{
    std::vector<int> out;
    for (const Token &t : lex(src, done)) out.push_back(t.type);
    return out;
}

// A stdio stream over the given bytes.
FILE *stream(const std::string &bytes)
{
    FILE *fp = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), fp);
    std::rewind(fp);
    return fp;
}

std::vector<int> file_types(const std::string &src, int *done = nullptr, tok_state **keep = nullptr)
{
    FILE *fp = stream(src);
    tok_state *tok = ZvTokenizer_FromFile(fp, nullptr, nullptr);
    std::vector<int> out;
    for (const Token &t : drain(tok, done)) out.push_back(t.type);
    if (keep)
        *keep = tok;
    else
        ZvTokenizer_Free(tok);
    std::fclose(fp);
    return out;
}

// The single token of `src` (followed by ENDMARKER).
Token one(const std::string &src)
{
    std::vector<Token> t = lex(src);
    EXPECT_EQ(t.size(), 2u) << src;
    return t.empty() ? Token{-1, ""} : t[0];
}

} // namespace

class Tokenizer : public ZvTest {};

TEST_F(Tokenizer, TokenNames)
{
    EXPECT_STREQ(_ZvParser_TokenNames[ENDMARKER], "ENDMARKER");
    EXPECT_STREQ(_ZvParser_TokenNames[DOUBLESLASHEQUAL], "DOUBLESLASHEQUAL");
    EXPECT_STREQ(_ZvParser_TokenNames[AT], "AT");
    EXPECT_STREQ(_ZvParser_TokenNames[ERRORTOKEN], "<ERRORTOKEN>");
    EXPECT_STREQ(_ZvParser_TokenNames[N_TOKENS], "<N_TOKENS>");
    EXPECT_EQ(N_TOKENS, 53);
}

TEST_F(Tokenizer, Operators)
{
    struct { const char *text; int type; } ops[] = {
        {"%", PERCENT}, {"&", AMPER}, {"(", LPAR}, {")", RPAR}, {"*", STAR}, {"+", PLUS},
        {",", COMMA}, {"-", MINUS}, {".", DOT}, {"/", SLASH}, {":", COLON}, {";", SEMI},
        {"<", LESS}, {"=", EQUAL}, {">", GREATER}, {"@", AT}, {"[", LSQB}, {"]", RSQB},
        {"^", CIRCUMFLEX}, {"`", BACKQUOTE}, {"{", LBRACE}, {"|", VBAR}, {"}", RBRACE},
        {"~", TILDE}, {"!=", NOTEQUAL}, {"<>", NOTEQUAL}, {"%=", PERCENTEQUAL},
        {"&=", AMPEREQUAL}, {"*=", STAREQUAL}, {"+=", PLUSEQUAL}, {"-=", MINEQUAL},
        {"/=", SLASHEQUAL}, {"^=", CIRCUMFLEXEQUAL}, {"|=", VBAREQUAL}, {"**", DOUBLESTAR},
        {"//", DOUBLESLASH}, {"<=", LESSEQUAL}, {"<<", LEFTSHIFT}, {"==", EQEQUAL},
        {">=", GREATEREQUAL}, {">>", RIGHTSHIFT}, {"**=", DOUBLESTAREQUAL},
        {"//=", DOUBLESLASHEQUAL}, {"<<=", LEFTSHIFTEQUAL}, {">>=", RIGHTSHIFTEQUAL},
        {"$", OP}, {"?", OP}, {"!", OP}};
    for (auto &op : ops) {
        Token t = one(op.text);
        EXPECT_EQ(t.type, op.type) << op.text;
        EXPECT_EQ(t.text, op.text);
    }
    EXPECT_EQ(ZvToken_OneChar('!'), OP);
    EXPECT_EQ(ZvToken_TwoChars('=', '<'), OP);
    EXPECT_EQ(ZvToken_ThreeChars('<', '>', '='), OP);
    // Longest match: "**=" then "=", and "<>=" is "<>" then "=".
    EXPECT_EQ(types("a**==b"), (std::vector<int>{NAME, DOUBLESTAREQUAL, EQUAL, NAME, ENDMARKER}));
    EXPECT_EQ(types("a<>=b"), (std::vector<int>{NAME, NOTEQUAL, EQUAL, NAME, ENDMARKER}));
}

TEST_F(Tokenizer, NamesAndTexts)
{
    std::vector<Token> t = lex("print  foo_1 . bar\n");
    std::vector<Token> want = {{NAME, "print"}, {NAME, "foo_1"}, {DOT, "."}, {NAME, "bar"},
                               {NEWLINE, ""}, {ENDMARKER, ""}};
    EXPECT_EQ(t, want);
    // Identifiers are ASCII: a byte above 127 is not a letter.
    EXPECT_EQ(types("caf\xc3\xa9"), (std::vector<int>{NAME, OP, OP, ENDMARKER}));
}

TEST_F(Tokenizer, Numbers)
{
    for (const char *n : {"0", "1", "123L", "0777", "0777L", "0xff", "0XffL", "0x", "09.5",
                          "09e1", "09j", "0e5", "1.", "1.5", ".5", "1e10", "1E+10", "1e-3j",
                          "3j", "0.0J", "00", "0L"}) {
        Token t = one(n);
        EXPECT_EQ(t.type, NUMBER) << n;
        EXPECT_EQ(t.text, n);
    }
    for (const char *bad : {"09", "1e", "1e+", "0.5e", "0778"}) {
        int done;
        std::vector<int> t = types(bad, &done);
        EXPECT_EQ(t.back(), ERRORTOKEN) << bad;
        EXPECT_EQ(done, E_TOKEN) << bad;
    }
    // A long suffix ends the number; what follows is a new token.
    EXPECT_EQ(types("1L.real"), (std::vector<int>{NUMBER, DOT, NAME, ENDMARKER}));
    EXPECT_EQ(types("1..real"), (std::vector<int>{NUMBER, DOT, NAME, ENDMARKER}));
}

TEST_F(Tokenizer, Strings)
{
    for (const char *s : {"'x'", "\"x\"", "u'x'", "ur'x'", "UR\"x\"", "R\"x\"", "r'\\''",
                          "''", "\"\"", "'''a''b'''", "\"\"\"x\ny\"\"\"", "'a\\\nb'",
                          "'\\\\'"}) {
        Token t = one(s);
        EXPECT_EQ(t.type, STRING) << s;
        EXPECT_EQ(t.text, s);
    }
    std::vector<Token> ru = lex("ru'x'");
    ASSERT_EQ(ru.size(), 3u);
    EXPECT_EQ(ru[0], (Token{NAME, "ru"}));
    EXPECT_EQ(ru[1], (Token{STRING, "'x'"}));

    int done;
    EXPECT_EQ(types("x = 'abc\ny'\n", &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_EOLS);
    EXPECT_EQ(types("x = 'abc", &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_EOLS);
    EXPECT_EQ(types("x = '''abc\n\n", &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_EOFS);
    EXPECT_EQ(types("'''abc\\", &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_EOFS);
}

TEST_F(Tokenizer, TripleQuotedStringSpansLinesOfFileInput)
{
    tok_state *tok = nullptr;
    std::vector<int> t = file_types("x = '''a\nb\nc'''\ny\n", nullptr, &tok);
    EXPECT_EQ(t, (std::vector<int>{NAME, EQUAL, STRING, NEWLINE, NAME, NEWLINE, ENDMARKER}));
    EXPECT_EQ(tok->lineno, 5); // four lines, and the read that met the end counts too
    ZvTokenizer_Free(tok);
}

TEST_F(Tokenizer, IndentationProducesIndentAndDedent)
{
    const char *src = "if x:\n"
                      "    a\n"
                      "\n"
                      "        # a comment does not count\n"
                      "    if y:\n"
                      "\tb\n"
                      "c\n";
    std::vector<int> want = {NAME, NAME, COLON, NEWLINE, INDENT, NAME, NEWLINE, NAME, NAME,
                             COLON, NEWLINE, INDENT, NAME, NEWLINE, DEDENT, DEDENT, NAME,
                             NEWLINE, ENDMARKER};
    EXPECT_EQ(types(src), want);
}

TEST_F(Tokenizer, BracketsJoinLines)
{
    EXPECT_EQ(types("x = (1,\n      2,\n  3)\n"),
              (std::vector<int>{NAME, EQUAL, LPAR, NUMBER, COMMA, NUMBER, COMMA, NUMBER, RPAR,
                                NEWLINE, ENDMARKER}));
    EXPECT_EQ(types("x = 1 + \\\n  2\n"),
              (std::vector<int>{NAME, EQUAL, NUMBER, PLUS, NUMBER, NEWLINE, ENDMARKER}));
    int done;
    EXPECT_EQ(types("x = 1 \\ 2\n", &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_TOKEN);
}

TEST_F(Tokenizer, LastLineOfFileWithoutNewline)
{
    // File input supplies the newline and closes the open block.
    EXPECT_EQ(file_types("if x:\n  y"),
              (std::vector<int>{NAME, NAME, COLON, NEWLINE, INDENT, NAME, NEWLINE, DEDENT,
                                ENDMARKER}));
    // Carriage returns are newlines too.
    EXPECT_EQ(file_types("a\r\nb\rc\n"),
              (std::vector<int>{NAME, NEWLINE, NAME, NEWLINE, NAME, NEWLINE, ENDMARKER}));
}

TEST_F(Tokenizer, DedentToUnknownLevel)
{
    int done;
    std::vector<int> t = types("if x:\n    a\n  b\n", &done);
    EXPECT_EQ(t.back(), ERRORTOKEN);
    EXPECT_EQ(done, E_DEDENT);
}

TEST_F(Tokenizer, TooManyIndentationLevels)
{
    auto nested = [](int levels) {
        std::string s;
        for (int i = 0; i < levels; i++) s.append((size_t)i, ' ').append("if x:\n");
        return s + std::string(levels, ' ') + "pass\n";
    };
    int done;
    EXPECT_EQ(types(nested(99), &done).back(), ENDMARKER);
    EXPECT_EQ(types(nested(100), &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_TOODEEP);
    EXPECT_EQ(types(nested(10000), &done).back(), ERRORTOKEN);
    EXPECT_EQ(done, E_TOODEEP);
}

TEST_F(Tokenizer, InconsistentTabs)
{
    const std::string src = "if x:\n        a\n\tb\n";
    auto run = [&](int altwarning, int alterror, int *done) {
        tok_state *tok = ZvTokenizer_FromString(src.c_str());
        tok->filename = "tabs.zv";
        tok->altwarning = altwarning;
        tok->alterror = alterror;
        std::vector<Token> t = drain(tok, done);
        ZvTokenizer_Free(tok);
        return t.back().type;
    };
    int done;
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(0, 0, &done), ENDMARKER);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_EQ(run(1, 0, &done), ENDMARKER);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tabs.zv: inconsistent use of tabs and spaces in indentation\n");

    EXPECT_EQ(run(1, 1, &done), ERRORTOKEN);
    EXPECT_EQ(done, E_TABSPACE);
}

TEST_F(Tokenizer, TabSizeDirective)
{
    // With tabs of 4 columns a tab and four spaces are the same level.
    const char *body = "if x:\n\ta\n    b\n";
    EXPECT_EQ(types(std::string("# vim: set tabsize=4\n") + body).back(), ENDMARKER);
    for (const char *directive : {"# tab-width: 4", "# vi:ts=4", "# vim:tabstop=4"})
        EXPECT_EQ(types(std::string(directive) + "\n" + body).back(), ENDMARKER) << directive;
    // Out-of-range sizes are ignored: tabs stay 8 wide and the dedent fails.
    for (const char *directive : {"# set tabsize=0", "# set tabsize=41"}) {
        int done;
        EXPECT_EQ(types(std::string(directive) + "\n" + body, &done).back(), ERRORTOKEN);
        EXPECT_EQ(done, E_DEDENT) << directive;
    }
}

TEST_F(Tokenizer, EncodingDeclaration)
{
    struct { const char *src; const char *encoding; } cases[] = {
        {"# -*- coding: latin_1 -*-\nx\n", "iso-8859-1"},
        {"#!/usr/bin/zuvo\n# vim: set fileencoding=UTF-8 :\nx\n", "utf-8"},
        {"# coding=iso-latin-1-unix\n", "iso-8859-1"},
        {"# coding: utf_8\n", "utf-8"},
        {"# coding: latin1\nx\n", "latin1"},  // decoded, not normalized
        {"\n\n# coding: latin-1\n", nullptr}, // line 3 is too late
        {"x = 1 # coding: latin-1\n", nullptr},
        {"# coding:\n", nullptr},
    };
    for (auto &c : cases) {
        tok_state *tok = ZvTokenizer_FromString(c.src);
        ASSERT_NE(tok, nullptr) << c.src;
        if (c.encoding)
            EXPECT_STREQ(tok->encoding, c.encoding) << c.src;
        else
            EXPECT_EQ(tok->encoding, nullptr) << c.src;
        ZvTokenizer_Free(tok);
    }
}

TEST_F(Tokenizer, DeclaredEncodingIsDecodedToUtf8)
{
    std::vector<Token> t = lex("# coding: latin1\ns = '\xe9'\n");
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[2], (Token{STRING, "'\xc3\xa9'"}));
    // Latin-1 under its canonical name passes through unchanged.
    t = lex("# coding: latin-1\ns = '\xe9'\n");
    EXPECT_EQ(t[2], (Token{STRING, "'\xe9'"}));

    EXPECT_EQ(ZvTokenizer_FromString("# coding: ascii\ns = '\xe9'\n"), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_UnicodeDecodeError));
    EXPECT_EQ(ZvTokenizer_FromString("# coding: no-such-codec\n"), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_LookupError));
}

TEST_F(Tokenizer, ByteOrderMark)
{
    tok_state *tok = ZvTokenizer_FromString("\xef\xbb\xbfx = 1\n");
    ASSERT_NE(tok, nullptr);
    EXPECT_STREQ(tok->encoding, "utf-8");
    EXPECT_EQ(drain(tok)[0], (Token{NAME, "x"}));
    ZvTokenizer_Free(tok);

    // A mark and a declaration of another encoding contradict each other.
    EXPECT_EQ(ZvTokenizer_FromString("\xef\xbb\xbf# coding: latin-1\n"), nullptr);
    ASSERT_NE(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(zv_error_text(), "encoding problem: utf-8");
    tok = ZvTokenizer_FromString("\xef\xbb\xbf# coding: utf-8\n");
    ASSERT_NE(tok, nullptr);
    ZvTokenizer_Free(tok);

    // An incomplete mark is an invalid token, for strings and files alike.
    for (const char *src : {"\xef\xbbx\n", "\xef", "\xefx"}) {
        int done, line;
        tok = ZvTokenizer_FromString(src);
        ASSERT_NE(tok, nullptr);
        EXPECT_EQ(drain(tok, &done, &line).back().type, ERRORTOKEN);
        ZvTokenizer_Free(tok);
        EXPECT_EQ(done, E_TOKEN);
        EXPECT_EQ(line, 1) << "reported on the first line";
        EXPECT_EQ(file_types(src, &done, &tok).back(), ERRORTOKEN);
        EXPECT_EQ(done, E_TOKEN);
        EXPECT_EQ(tok->lineno, 1);
        ZvTokenizer_Free(tok);
    }
    int done;
    EXPECT_EQ(file_types("\xef\xbb\xbfx\n", &done),
              (std::vector<int>{NAME, NEWLINE, ENDMARKER}));
}

TEST_F(Tokenizer, FileInputEncodings)
{
    tok_state *tok;
    std::vector<int> t = file_types("# coding: latin1\ns = '\xe9'\n", nullptr, &tok);
    EXPECT_EQ(t.back(), ENDMARKER);
    EXPECT_STREQ(tok->encoding, "latin1");
    ZvTokenizer_Free(tok);

    // A decoding failure belongs to the line that was being read: the
    // offending line, or the declaration naming an unknown encoding.
    int done;
    t = file_types("# coding: ascii\nx = 1\ns = '\xe9'\n", &done, &tok);
    EXPECT_EQ(t.back(), ERRORTOKEN);
    EXPECT_EQ(done, E_DECODE);
    EXPECT_EQ(tok->lineno, 3);
    ZvTokenizer_Free(tok);
    EXPECT_TRUE(zv_raised(ZvExc_UnicodeDecodeError));
    t = file_types("x = 1\n# coding: no-such-codec\ny = 2\n", &done, &tok);
    EXPECT_EQ(done, E_DECODE);
    EXPECT_EQ(tok->lineno, 2);
    ZvTokenizer_Free(tok);
    EXPECT_TRUE(zv_raised(ZvExc_LookupError));

    t = file_types("\xef\xbb\xbf# coding: latin-1\n", &done, &tok);
    EXPECT_EQ(done, E_DECODE);
    EXPECT_EQ(tok->lineno, 1);
    ZvTokenizer_Free(tok);
    EXPECT_TRUE(zv_raised(ZvExc_SyntaxError));
}

TEST_F(Tokenizer, NonAsciiWithoutDeclarationWarnsOncePerFile)
{
    testing::internal::CaptureStderr();
    tok_state *tok;
    std::vector<int> t = file_types("a = '\xe9'\nb = '\xe8'\n", nullptr, &tok);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(t.back(), ENDMARKER);
    EXPECT_TRUE(tok->issued_encoding_warning);
    ZvTokenizer_Free(tok);
    size_t first = err.find("Non-ASCII character '\\xe9' in file <unknown> on line 1");
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("Non-ASCII", first + 1), std::string::npos) << err;
}

TEST_F(Tokenizer, BadBytesNeverCrash)
{
    // NUL bytes in a file are ordinary (invalid) characters.
    int done;
    std::vector<int> t = file_types(std::string("x\0y\n", 4), &done);
    EXPECT_EQ(t, (std::vector<int>{NAME, OP, NAME, NEWLINE, ENDMARKER}));
    // Inside a string literal (escaped or not) a NUL makes an invalid token:
    // the literal's text could not hold it.
    using namespace std::string_literals;
    for (const std::string &s : {"x = 'a\0b'\n"s, "x = '''a\\\0'''\n"s, "r\"\0\"\n"s, "'\0'\n"s}) {
        EXPECT_EQ(file_types(s, &done).back(), ERRORTOKEN);
        EXPECT_EQ(done, E_TOKEN);
    }
    // A string stops at its NUL.
    EXPECT_EQ(types(std::string("x\0y", 3)), (std::vector<int>{NAME, ENDMARKER}));
    // Every byte value, alone and after an opening quote (the non-ASCII
    // warnings are not of interest here).
    testing::internal::CaptureStderr();
    for (int c = 1; c < 256; c++) {
        std::string s(1, (char)c);
        lex(s);
        lex("'" + s);
        lex("0" + s);
        file_types(s + "\n" + s);
    }
    testing::internal::GetCapturedStderr();
    ZvErr_Clear();
}

TEST_F(Tokenizer, MegabyteLines)
{
    std::string big = "x = '" + std::string(1 << 20, 'a') + "'\n";
    std::vector<Token> t = lex(big);
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[2].text.size(), (1u << 20) + 2);
    EXPECT_EQ(file_types(big), (std::vector<int>{NAME, EQUAL, STRING, NEWLINE, ENDMARKER}));
    std::string spaces = "if x:\n" + std::string(1 << 20, '\t') + "y\n";
    EXPECT_EQ(types(spaces).back(), ENDMARKER);
    std::string brackets(10000, '(');
    EXPECT_EQ(types(brackets).size(), 10001u);
}

TEST_F(Tokenizer, StdioReadline)
{
    std::string longline(1000, 'z');
    FILE *fp = stream("short\n" + longline + "\nlast");
    char *p = ZvOS_StdioReadline(fp, stdout, nullptr);
    EXPECT_STREQ(p, "short\n");
    ZvMem_Free(p);
    p = ZvOS_StdioReadline(fp, stdout, nullptr);
    EXPECT_EQ(std::string(p), longline + "\n");
    ZvMem_Free(p);
    p = ZvOS_StdioReadline(fp, stdout, nullptr);
    EXPECT_STREQ(p, "last");
    ZvMem_Free(p);
    p = ZvOS_StdioReadline(fp, stdout, nullptr);
    EXPECT_STREQ(p, "");
    ZvMem_Free(p);
    std::fclose(fp);
}

TEST_F(Tokenizer, ConsoleInputEndsABlockWithAnEmptyLine)
{
    // Console mode reads through ZvOS_Readline from the process's stdin.
    FILE *in = stream("if x:\n  y\n\nz\n");
    int saved = dup(0);
    ASSERT_EQ(dup2(fileno(in), 0), 0);
    std::clearerr(stdin);
    char ps1[] = ">>> ", ps2[] = "... ";
    testing::internal::CaptureStderr();
    tok_state *tok = ZvTokenizer_FromFile(stdin, ps1, ps2);
    std::vector<Token> t = drain(tok);
    std::string prompts = testing::internal::GetCapturedStderr();
    ZvTokenizer_Free(tok);
    dup2(saved, 0);
    close(saved);
    std::clearerr(stdin);
    std::fclose(in);
    std::vector<int> got;
    for (const Token &x : t) got.push_back(x.type);
    EXPECT_EQ(got, (std::vector<int>{NAME, NAME, COLON, NEWLINE, INDENT, NAME, NEWLINE, DEDENT,
                                     NEWLINE, NAME, NEWLINE, ENDMARKER}));
    EXPECT_EQ(prompts.substr(0, 8), ">>> ... ");
}
