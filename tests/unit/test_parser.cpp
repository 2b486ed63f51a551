// The parser and its driver: tree shapes for the grammar's tricky corners,
// the end-of-input rules, error details, and deep or hostile input.
#include "zvtest.h"
#include "zvfrontend.h"

#include <cstdio>
#include <string>

#include "graminit.h"

namespace {

// A parse result that frees its tree and error text.
struct Parse {
    node *tree = nullptr;
    perrdetail err{};
    Parse(const std::string &src, int start = file_input, int flags = 0)
    {
        tree = ZvParser_ParseStringFlagsFilename(src.c_str(), "t.zv", &_ZvParser_Grammar, start,
                                                  &err, flags);
    }
    ~Parse()
    {
        ZvNode_Free(tree);
        ZvObject_Free(err.text);
    }
    bool ok() const { return tree != nullptr; }
};

bool parses(const std::string &src, int start = file_input)
{
    Parse p(src, start);
    return p.ok();
}

// The first node of type `type` in a depth-first walk.
node *find(node *n, int type)
{
    if (TYPE(n) == type) return n;
    for (int i = 0; i < NCH(n); i++)
        if (node *f = find(CHILD(n, i), type)) return f;
    return nullptr;
}

// The types of a node's children.
std::vector<int> kids(node *n)
{
    std::vector<int> out;
    for (int i = 0; i < NCH(n); i++) out.push_back(TYPE(CHILD(n, i)));
    return out;
}

std::string listing(node *n)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    ZvNode_ListTreeTo(fp, n);
    std::fclose(fp);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

std::string nested_parens(int depth)
{
    return std::string(depth, '(') + "x" + std::string(depth, ')') + "\n";
}

} // namespace

class Parser : public ZvTest {};

TEST_F(Parser, EmptyInput)
{
    Parse p("");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(TYPE(p.tree), file_input);
    EXPECT_EQ(kids(p.tree), (std::vector<int>{ENDMARKER}));
}

TEST_F(Parser, ExpressionStatementIsTheFullChain)
{
    Parse p("x\n");
    ASSERT_TRUE(p.ok());
    node *n = find(p.tree, expr_stmt);
    ASSERT_NE(n, nullptr);
    const int chain[] = {testlist, test, and_test, not_test, comparison, expr, xor_expr, and_expr,
                         shift_expr, arith_expr, term, factor, power, atom, NAME};
    for (int type : chain) {
        ASSERT_EQ(NCH(n), 1);
        n = CHILD(n, 0);
        EXPECT_EQ(TYPE(n), type);
    }
    EXPECT_STREQ(STR(n), "x");
    EXPECT_EQ(LINENO(n), 1);
}

TEST_F(Parser, AssignmentShapes)
{
    Parse chained("x = y = z\n");
    ASSERT_TRUE(chained.ok());
    EXPECT_EQ(kids(find(chained.tree, expr_stmt)),
              (std::vector<int>{testlist, EQUAL, testlist, EQUAL, testlist}));
    Parse aug("x += y\n");
    ASSERT_TRUE(aug.ok());
    EXPECT_EQ(kids(find(aug.tree, expr_stmt)), (std::vector<int>{testlist, augassign, testlist}));
    EXPECT_EQ(kids(find(aug.tree, augassign)), (std::vector<int>{PLUSEQUAL}));
    EXPECT_FALSE(parses("x += y = z\n"));
}

TEST_F(Parser, Subscripts)
{
    for (const char *s : {"a[...]\n", "a[1:2]\n", "a[::2]\n", "a[1:2, 3]\n", "a[:]\n",
                          "a[1:2:3, ..., x]\n"})
        EXPECT_TRUE(parses(s)) << s;
    EXPECT_FALSE(parses("...\n"));
    EXPECT_FALSE(parses("a[..]\n"));
    Parse e("a[...]\n");
    EXPECT_EQ(kids(find(e.tree, subscript)), (std::vector<int>{DOT, DOT, DOT}));
}

TEST_F(Parser, LambdasAndParameters)
{
    EXPECT_TRUE(parses("lambda: 0\n"));
    Parse p("f = lambda x, (y, z)=t, *a, **k: 0\n");
    ASSERT_TRUE(p.ok());
    node *args = find(p.tree, varargslist);
    ASSERT_NE(args, nullptr);
    EXPECT_EQ(kids(args), (std::vector<int>{fpdef, COMMA, fpdef, EQUAL, test, COMMA, STAR, NAME,
                                            COMMA, DOUBLESTAR, NAME}));
    EXPECT_TRUE(parses("def f(a, (b, (c, d)), e=1, *args): pass\n"));
    EXPECT_TRUE(parses("def f(a, b=1,): pass\n"));
    EXPECT_FALSE(parses("def f(*a, b): pass\n"));
    EXPECT_FALSE(parses("def f(**k, *a): pass\n"));
}

TEST_F(Parser, GeneratorExpressionArguments)
{
    Parse p("f(x for x in y)\n");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(kids(find(p.tree, argument)), (std::vector<int>{test, gen_for}));
    // Accepted by the grammar; the symbol-table pass rejects it.
    Parse two("f(a, x for x in y)\n");
    ASSERT_TRUE(two.ok());
    EXPECT_EQ(kids(find(two.tree, arglist)), (std::vector<int>{argument, COMMA, argument}));
    Parse kw("f(a=1, *b, **c)\n");
    ASSERT_TRUE(kw.ok());
    EXPECT_EQ(kids(find(kw.tree, argument)), (std::vector<int>{test, EQUAL, test}));
    EXPECT_TRUE(parses("g = (x for x in y if x for z in x)\n"));
}

TEST_F(Parser, ClassesImportsAndPrint)
{
    EXPECT_FALSE(parses("class C(): pass\n"));
    EXPECT_TRUE(parses("class C: pass\n"));
    EXPECT_TRUE(parses("class C(B, D): pass\n"));
    EXPECT_TRUE(parses("from m import (a, b,)\n"));
    EXPECT_TRUE(parses("from m.n import a as b, c\n"));
    EXPECT_TRUE(parses("from m import *\n"));
    EXPECT_FALSE(parses("import (a)\n"));
    EXPECT_FALSE(parses("from m import (*)\n"));
    EXPECT_TRUE(parses("import a.b as c, d\n"));
    EXPECT_TRUE(parses("print >>f\n"));
    EXPECT_TRUE(parses("print >>f, x, y,\n"));
    EXPECT_FALSE(parses("print >>f x\n"));
    EXPECT_TRUE(parses("print\n"));
    EXPECT_TRUE(parses("print x,\n"));
}

TEST_F(Parser, CompoundStatements)
{
    EXPECT_TRUE(parses("@d\n@e.f(1)\ndef g(): pass\n"));
    EXPECT_FALSE(parses("@d\nclass C: pass\n"));
    EXPECT_TRUE(parses("try:\n  a\nexcept E, e:\n  b\nexcept:\n  c\nelse:\n  d\n"));
    EXPECT_TRUE(parses("try:\n  a\nfinally:\n  b\n"));
    EXPECT_FALSE(parses("try:\n  a\nexcept:\n  b\nfinally:\n  c\n"));
    EXPECT_TRUE(parses("if a: b\nelif c: d\nelse: e\n"));
    EXPECT_TRUE(parses("for x, y in z: pass\nelse: pass\n"));
    EXPECT_TRUE(parses("while 1:\n  break\n  continue\n"));
    EXPECT_TRUE(parses("x = [i for i in 1, 2]\n"));
    EXPECT_FALSE(parses("x = [i for i in 1,]\n"));
    EXPECT_FALSE(parses("x = (yield y)\n"));
    EXPECT_TRUE(parses("exec code in g, l\n"));
    EXPECT_TRUE(parses("a < b <> c != d not in e is not f\n"));
    EXPECT_TRUE(parses("x = `1, 2`\n"));
    EXPECT_TRUE(parses("x = {1: 2, 3: 4,}\n"));
    EXPECT_TRUE(parses("del a[0], b.c\n"));
    EXPECT_TRUE(parses("raise E, v, tb\n"));
    EXPECT_TRUE(parses("global a, b; assert x, y; pass;\n"));
}

TEST_F(Parser, StartSymbols)
{
    Parse e("1 + 2\n\n", eval_input);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(TYPE(e.tree), eval_input);
    EXPECT_EQ(kids(e.tree), (std::vector<int>{testlist, NEWLINE, NEWLINE, ENDMARKER}));
    EXPECT_FALSE(parses("x = 1\n", eval_input));
    Parse s("if x:\n  y\n\n", single_input);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(kids(s.tree), (std::vector<int>{compound_stmt, NEWLINE}));
    // Only the console turns an empty line into NEWLINE.
    Parse blank("\n", single_input);
    EXPECT_EQ(blank.err.error, E_EOF);
}

TEST_F(Parser, EndOfInputImpliesNewlineAndDedents)
{
    Parse p("if x:\n  if y:\n    z");
    ASSERT_TRUE(p.ok());
    // The implied NEWLINE, both DEDENTs, one more NEWLINE, ENDMARKER.
    EXPECT_EQ(listing(p.tree), "if x :\n\tif y :\n\t\tz\n\n");
    Parse strict("if x:\n  y = 'abc'", file_input, ZvPARSE_DONT_IMPLY_DEDENT);
    EXPECT_FALSE(strict.ok());
    EXPECT_EQ(strict.err.error, E_SYNTAX);
}

TEST_F(Parser, SyntaxErrorDetails)
{
    Parse p("x = 1\ny = = 2\n");
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.err.error, E_SYNTAX);
    EXPECT_STREQ(p.err.filename, "t.zv");
    EXPECT_EQ(p.err.lineno, 2);
    EXPECT_EQ(p.err.offset, 5);
    EXPECT_STREQ(p.err.text, "y = = 2\n");
    EXPECT_EQ(p.err.token, EQUAL);

    Parse kw("print = 1\n");
    EXPECT_EQ(kw.err.error, E_SYNTAX);
    EXPECT_EQ(kw.err.expected, -1);

    Parse colon("if x");
    EXPECT_EQ(colon.err.expected, COLON);
    EXPECT_EQ(colon.err.error, E_EOF); // the input ended on its first line

    Parse indent("if x:\ny\n");
    EXPECT_EQ(indent.err.error, E_SYNTAX);
    EXPECT_EQ(indent.err.expected, INDENT);
    EXPECT_EQ(indent.err.lineno, 2);

    Parse unexpected("x\n  y\n");
    EXPECT_EQ(unexpected.err.error, E_SYNTAX);
    EXPECT_EQ(unexpected.err.token, INDENT);

    Parse tok("x = 09\n");
    EXPECT_EQ(tok.err.error, E_TOKEN);
    EXPECT_EQ(tok.err.lineno, 1);

    Parse eols("x = 'abc\n");
    EXPECT_EQ(eols.err.error, E_EOLS);
    Parse eofs("x = '''abc\n\n");
    EXPECT_EQ(eofs.err.error, E_EOFS);
    Parse dedent("if x:\n    a\n  b\n");
    EXPECT_EQ(dedent.err.error, E_DEDENT);
    EXPECT_EQ(dedent.err.lineno, 3);
}

TEST_F(Parser, StackDepthLimit)
{
    Parse ok(nested_parens(34));
    EXPECT_TRUE(ok.ok());
    testing::internal::CaptureStderr();
    Parse deep(nested_parens(35));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "s_push: parser stack overflow\n");
    EXPECT_FALSE(deep.ok());
    EXPECT_EQ(deep.err.error, E_NOMEM);
}

TEST_F(Parser, HostileNestingFailsCleanly)
{
    testing::internal::CaptureStderr();
    for (const std::string &src :
         {nested_parens(10000), std::string(10000, '[') + std::string(10000, ']'),
          std::string(10000, '-') + "x\n", "x = " + std::string(5000, '(') + "\n",
          [] {
              std::string s;
              for (int i = 0; i < 5000; i++) s += "not ";
              return s + "x\n";
          }()}) {
        Parse p(src);
        EXPECT_FALSE(p.ok());
        EXPECT_TRUE(p.err.error == E_NOMEM || p.err.error == E_EOF) << p.err.error;
    }
    testing::internal::GetCapturedStderr();
    std::string indents;
    for (int i = 0; i < 10000; i++) indents.append((size_t)i, ' ').append("if x:\n");
    Parse p(indents);
    EXPECT_EQ(p.err.error, E_TOODEEP);
}

TEST_F(Parser, EncodingDeclWrapsTheTree)
{
    Parse p("# coding: latin-1\nx = 1\n");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(TYPE(p.tree), encoding_decl);
    EXPECT_STREQ(STR(p.tree), "iso-8859-1");
    ASSERT_EQ(NCH(p.tree), 1);
    EXPECT_EQ(TYPE(CHILD(p.tree, 0)), file_input);

    Parse bad("# coding: klingon\nx = 1\n");
    EXPECT_FALSE(bad.ok());
    EXPECT_EQ(bad.err.error, E_DECODE);
    EXPECT_TRUE(zv_raised(ZvExc_LookupError));
}

TEST_F(Parser, FileInput)
{
    FILE *fp = std::tmpfile();
    std::fputs("def f(x):\r\n    return x\r\nprint f(1)", fp);
    std::rewind(fp);
    perrdetail err;
    node *n = ZvParser_ParseFile(fp, "f.zv", &_ZvParser_Grammar, file_input, nullptr, nullptr,
                                 &err);
    std::fclose(fp);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(listing(n), "def f ( x ) :\n\treturn x\nprint f ( 1 )\n\n");
    ZvNode_Free(n);

    fp = std::tmpfile();
    std::fputs("x = 1\nif x\n", fp);
    std::rewind(fp);
    n = ZvParser_ParseFileFlags(fp, "f.zv", &_ZvParser_Grammar, file_input, nullptr, nullptr,
                                &err, 0);
    std::fclose(fp);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(err.error, E_SYNTAX);
    EXPECT_EQ(err.lineno, 2);
    EXPECT_EQ(err.expected, COLON);
    ZvObject_Free(err.text);

    // A file's read that meets the end counts as a line: a block missing
    // after the last line is expected on the next one, and a one-line file
    // that stops short is no "unexpected EOF" (that is for strings).
    fp = std::tmpfile();
    std::fputs("if x:\n", fp);
    std::rewind(fp);
    n = ZvParser_ParseFile(fp, "f.zv", &_ZvParser_Grammar, file_input, nullptr, nullptr, &err);
    std::fclose(fp);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(err.error, E_SYNTAX);
    EXPECT_EQ(err.expected, INDENT);
    EXPECT_EQ(err.lineno, 2);
    EXPECT_STREQ(err.text, "");
    ZvObject_Free(err.text);
}

TEST_F(Parser, NodeChildGrowth)
{
    node *n = ZvNode_New(file_input);
    for (int i = 0; i < 5000; i++) {
        char *s = (char *)ZvObject_Malloc(8);
        std::snprintf(s, 8, "%d", i);
        ASSERT_EQ(ZvNode_AddChild(n, NAME, s, i), 0);
    }
    EXPECT_EQ(NCH(n), 5000);
    EXPECT_STREQ(STR(CHILD(n, 4999)), "4999");
    EXPECT_EQ(LINENO(CHILD(n, 1234)), 1234);
    ZvNode_Free(n);
    // A parse of many statements keeps them all, in order.
    std::string src;
    for (int i = 0; i < 3000; i++) src += "x" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    Parse p(src);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(NCH(p.tree), 3002); // and the implied NEWLINE, ENDMARKER
}

TEST_F(Parser, DebugTrace)
{
    Zv_DebugFlag = 1;
    testing::internal::CaptureStderr();
    Parse p("pass\n");
    std::string trace = testing::internal::GetCapturedStderr();
    Zv_DebugFlag = 0;
    EXPECT_TRUE(p.ok());
    EXPECT_NE(trace.find("Token NAME/'pass'"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Push pass_stmt"), std::string::npos) << trace;
}

TEST_F(Parser, TabcheckFlagSelectsWarningOrError)
{
    const char *src = "if x:\n        a\n\tb\n";
    Zv_TabcheckFlag = 1;
    testing::internal::CaptureStderr();
    Parse warned(src);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(warned.ok());
    EXPECT_EQ(err, "t.zv: inconsistent use of tabs and spaces in indentation\n");
    Zv_TabcheckFlag = 2;
    Parse failed(src);
    Zv_TabcheckFlag = 0;
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.err.error, E_TABSPACE);
    EXPECT_EQ(failed.err.lineno, 3);
    Parse silent(src);
    EXPECT_TRUE(silent.ok());
}
