// The symbol-table pass: scopes, name classification (local, global,
// free, cell, implicit global), the future scan, and the syntax errors and
// warnings of the analysis with their text and line.
#include "zvtest.h"
#include "zvfrontend.h"

#include <cstring>
#include <string>
#include <vector>

#include "graminit.h"

namespace {

struct Table {
    node *tree = nullptr;
    struct symtable *st = nullptr;
    explicit Table(const std::string &src)
    {
        perrdetail err;
        tree = ZvParser_ParseStringFlagsFilename(src.c_str(), "t.zv", &_ZvParser_Grammar,
                                                  file_input, &err, 0);
        EXPECT_NE(tree, nullptr) << "does not parse: " << src;
        ZvObject_Free(err.text);
        if (tree) st = ZvNode_CompileSymtable(tree, "t.zv");
    }
    ~Table()
    {
        ZvSymtable_Free(st);
        ZvNode_Free(tree);
    }
    ZvSymtableEntryObject *module() const
    {
        Owned k(ZvInt_FromLong(0));
        return (ZvSymtableEntryObject *)ZvDict_GetItem(st->st_symbols, k);
    }
    // A scope by the names of its ancestors: "f.g" is g inside f.
    ZvSymtableEntryObject *scope(const std::string &path) const
    {
        ZvSymtableEntryObject *ste = module();
        size_t from = 0;
        while (ste && from < path.size()) {
            size_t dot = path.find('.', from);
            std::string part = path.substr(from, dot == std::string::npos ? dot : dot - from);
            ZvSymtableEntryObject *found = nullptr;
            for (int i = 0; i < ZvList_Size(ste->ste_children); i++) {
                auto *c = (ZvSymtableEntryObject *)ZvList_GetItem(ste->ste_children, i);
                if (part == ZvString_AS_STRING(c->ste_name)) found = c;
            }
            ste = found;
            from = dot == std::string::npos ? path.size() : dot + 1;
        }
        return ste;
    }
};

int flags(ZvSymtableEntryObject *ste, const char *name)
{
    ZvObject *v = ZvDict_GetItemString(ste->ste_symbols, name);
    return v ? (int)ZvInt_AS_LONG(v) : 0;
}

struct Block {
    ZvBlockSymbols b{};
    int rc;
    Block(const Table &t, const std::string &path)
    {
        ZvSymtableEntryObject *ste = path.empty() ? t.module() : t.scope(path);
        EXPECT_NE(ste, nullptr) << path;
        rc = ste ? ZvSymtable_LoadSymbols(t.st, ste, 0, &b) : -1;
    }
    ~Block() { ZvBlockSymbols_Clear(&b); }
    int ref(const char *name) { return ZvBlockSymbols_RefType(&b, name); }
    int ncells() { return ZvDict_Size(b.c_cellvars); }
    int nfree() { return ZvDict_Size(b.c_freevars); }
};

// The pending SyntaxError's message and line; clears it.
std::pair<std::string, int> syntax_error()
{
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    std::pair<std::string, int> out{"<no SyntaxError>", -1};
    if (t && ZvErr_GivenExceptionMatches(t, ZvExc_SyntaxError) && v &&
        ZvTuple_Check(v) && ZvTuple_GET_SIZE(v) == 2) {
        out.first = ZvString_AS_STRING(ZvTuple_GET_ITEM(v, 0));
        ZvObject *loc = ZvTuple_GET_ITEM(v, 1);
        EXPECT_STREQ(ZvString_AS_STRING(ZvTuple_GET_ITEM(loc, 0)), "t.zv");
        out.second = (int)ZvInt_AS_LONG(ZvTuple_GET_ITEM(loc, 1));
    }
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);
    return out;
}

std::pair<std::string, int> analysis_error(const std::string &src)
{
    Table t(src);
    EXPECT_EQ(t.st, nullptr) << src;
    return syntax_error();
}

using Err = std::pair<std::string, int>;

} // namespace

class Symtable : public ZvTest {};

TEST_F(Symtable, ScopesInSourceOrder)
{
    Table t("def f(a):\n"
            "    g = lambda x: x\n"
            "    return (y for y in a)\n"
            "class C:\n"
            "    def m(self): pass\n");
    ASSERT_NE(t.st, nullptr);
    EXPECT_EQ(ZvDict_Size(t.st->st_symbols), 6);
    ZvSymtableEntryObject *m = t.module();
    EXPECT_EQ(m->ste_type, TYPE_MODULE);
    EXPECT_STREQ(ZvString_AS_STRING(m->ste_name), "global");
    EXPECT_EQ(t.st->st_global, m->ste_symbols);
    ZvSymtableEntryObject *f = t.scope("f"), *lam = t.scope("f.lambda"),
                          *gen = t.scope("f.<genexpr>"), *c = t.scope("C"), *meth = t.scope("C.m");
    ASSERT_TRUE(f && lam && gen && c && meth);
    EXPECT_EQ(ZvInt_AS_LONG(f->ste_id), 1);
    EXPECT_EQ(ZvInt_AS_LONG(lam->ste_id), 2);
    EXPECT_EQ(ZvInt_AS_LONG(gen->ste_id), 3);
    EXPECT_EQ(ZvInt_AS_LONG(c->ste_id), 4);
    EXPECT_EQ(f->ste_type, TYPE_FUNCTION);
    EXPECT_EQ(c->ste_type, TYPE_CLASS);
    EXPECT_EQ(gen->ste_generator, 2);
    EXPECT_TRUE(lam->ste_nested);
    EXPECT_FALSE(f->ste_nested);
    EXPECT_FALSE(meth->ste_nested);
    EXPECT_EQ(meth->ste_lineno, 5);
    EXPECT_EQ(zv_repr((ZvObject *)f), "<symtable entry f(1), line 1>");
    // The generator expression's outermost iterable is evaluated outside.
    EXPECT_EQ(flags(gen, "[outmost-iterable]"), DEF_PARAM);
    EXPECT_EQ(flags(gen, "a"), 0);
    EXPECT_EQ(flags(gen, "y"), DEF_LOCAL | USE);
    EXPECT_EQ(flags(f, "a"), DEF_PARAM | USE);
    EXPECT_EQ(flags(m, "f"), DEF_LOCAL);
    EXPECT_EQ(flags(m, "C"), DEF_LOCAL);
}

TEST_F(Symtable, CellAndFreeVariables)
{
    Table t("def f():\n"
            "    x = 1\n"
            "    def g():\n"
            "        return x\n"
            "    return g\n");
    ASSERT_NE(t.st, nullptr);
    Block f(t, "f"), g(t, "f.g");
    ASSERT_EQ(f.rc, 0);
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(f.ref("x"), CELL);
    EXPECT_EQ(f.ref("g"), LOCAL);
    EXPECT_EQ(g.ref("x"), FREE);
    EXPECT_EQ(f.b.c_flags, CO_OPTIMIZED | CO_NEWLOCALS);
    EXPECT_EQ(g.b.c_flags, CO_OPTIMIZED | CO_NEWLOCALS);
    EXPECT_EQ(g.nfree(), 1);
    EXPECT_EQ(f.ncells(), 1);
    EXPECT_TRUE(t.scope("f")->ste_child_free);
}

TEST_F(Symtable, GlobalStopsFreeVariables)
{
    Table t("def f():\n"
            "    def g():\n"
            "        global x\n"
            "        def h():\n"
            "            return x\n"
            "        return x\n"
            "x = 1\n");
    ASSERT_NE(t.st, nullptr);
    Block f(t, "f"), g(t, "f.g"), h(t, "f.g.h");
    EXPECT_EQ(f.ncells(), 0);
    EXPECT_EQ(g.ref("x"), GLOBAL_EXPLICIT);
    EXPECT_EQ(h.ref("x"), GLOBAL_IMPLICIT);
    EXPECT_EQ(h.nfree(), 0);
    EXPECT_TRUE(flags(t.scope("f.g.h"), "x") & DEF_FREE_GLOBAL);
    EXPECT_TRUE(flags(t.module(), "x") & DEF_GLOBAL);
}

TEST_F(Symtable, ClassScopesDoNotEncloseMethods)
{
    Table t("class C:\n"
            "    x = 1\n"
            "    def m(self):\n"
            "        return x\n");
    ASSERT_NE(t.st, nullptr);
    Block m(t, "C.m"), c(t, "C");
    EXPECT_EQ(m.ref("x"), GLOBAL_IMPLICIT);
    EXPECT_EQ(m.ref("self"), LOCAL);
    EXPECT_EQ(c.ref("x"), LOCAL);
    EXPECT_EQ(c.b.c_flags, CO_NEWLOCALS);
    EXPECT_EQ(ZvList_Size(c.b.c_varnames), 0); // class locals are not fast locals

    // Inside a function, a method's free name passes through the class.
    Table nested("def f():\n"
                 "    y = 1\n"
                 "    class C:\n"
                 "        def m(self):\n"
                 "            return y\n"
                 "    return C\n");
    ASSERT_NE(nested.st, nullptr);
    Block f(nested, "f"), cls(nested, "f.C"), meth(nested, "f.C.m");
    EXPECT_EQ(f.ref("y"), CELL);
    EXPECT_EQ(cls.ref("y"), FREE);
    EXPECT_EQ(meth.ref("y"), FREE);
    EXPECT_TRUE(flags(nested.scope("f.C"), "y") & DEF_FREE_CLASS);
}

TEST_F(Symtable, GeneratorExpressionsAndComprehensions)
{
    Table t("def f(seq):\n"
            "    k = 2\n"
            "    g = (x * k for x in seq if x for z in x)\n"
            "    l = [y * k for y in seq]\n"
            "    return g, l\n");
    ASSERT_NE(t.st, nullptr);
    Block f(t, "f"), gen(t, "f.<genexpr>");
    EXPECT_EQ(f.ref("k"), CELL);
    EXPECT_EQ(f.ref("y"), LOCAL); // list comprehensions have no scope
    EXPECT_EQ(f.ref("_[1]"), LOCAL);
    EXPECT_EQ(gen.ref("k"), FREE);
    EXPECT_EQ(gen.ref("x"), LOCAL);
    EXPECT_EQ(gen.ref("z"), LOCAL);
    EXPECT_EQ(gen.b.c_argcount, 1);
    EXPECT_TRUE(gen.b.c_flags & CO_GENERATOR);
    EXPECT_EQ(t.scope("f")->ste_tmpname, 0);
}

TEST_F(Symtable, Parameters)
{
    Table t("def f(a, (b, (c, d)), e=1, *args, **kw):\n    pass\n");
    ASSERT_NE(t.st, nullptr);
    ZvSymtableEntryObject *f = t.scope("f");
    EXPECT_EQ(flags(f, ".2"), DEF_PARAM);
    EXPECT_EQ(flags(f, "c"), DEF_PARAM | DEF_INTUPLE);
    EXPECT_EQ(flags(f, "args"), DEF_PARAM | DEF_STAR);
    EXPECT_EQ(flags(f, "kw"), DEF_PARAM | DEF_DOUBLESTAR);
    Block b(t, "f");
    EXPECT_EQ(b.b.c_argcount, 3); // a, .2, e
    EXPECT_EQ(b.b.c_flags, CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS);
    EXPECT_EQ(zv_repr(b.b.c_varnames), "['a', '.2', 'e', 'args', 'kw', 'b', 'c', 'd']");

    // A cell that is a parameter is numbered before the others.
    Table cells("def f(a, b):\n"
                "    z = 1\n"
                "    def g(): return z, b, a\n");
    Block cb(cells, "f");
    EXPECT_EQ(ZvInt_AS_LONG(ZvDict_GetItemString(cb.b.c_cellvars, "a")), 0);
    EXPECT_EQ(ZvInt_AS_LONG(ZvDict_GetItemString(cb.b.c_cellvars, "b")), 1);
    EXPECT_EQ(ZvInt_AS_LONG(ZvDict_GetItemString(cb.b.c_cellvars, "z")), 2);
    Block gb(cells, "f.g");
    EXPECT_EQ(gb.nfree(), 3);
    // Free variable indexes follow the cells (g has no cells).
    EXPECT_LT(ZvInt_AS_LONG(ZvDict_GetItemString(gb.b.c_freevars, "z")), 3);
}

TEST_F(Symtable, ParameterErrors)
{
    EXPECT_EQ(analysis_error("def f(a, a): pass\n"),
              Err("duplicate argument 'a' in function definition", 1));
    EXPECT_EQ(analysis_error("def f(a, (b, a)): pass\n"),
              Err("duplicate argument 'a' in function definition", 1));
    EXPECT_EQ(analysis_error("\ndef f(None): pass\n"),
              Err("Invalid syntax.  Assignment to None.", 2));
    EXPECT_EQ(analysis_error("def f(x):\n    global x\n"),
              Err("name 'x' is a function parameter and declared global", 2));
    EXPECT_EQ(analysis_error("__debug__ = 1\n"), Err("can not assign to __debug__", 1));
    EXPECT_EQ(analysis_error("for (a, __debug__) in x: pass\n"),
              Err("can not assign to __debug__", 1));
}

TEST_F(Symtable, GlobalAfterUseWarns)
{
    testing::internal::CaptureStderr();
    Table t("def f():\n"
            "    x = 1\n"
            "    y\n"
            "    global x, y\n"
            "    return x\n");
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(t.st, nullptr);
    EXPECT_NE(err.find("name 'x' is assigned to before global declaration"), std::string::npos)
        << err;
    EXPECT_NE(err.find("name 'y' is used prior to global declaration"), std::string::npos) << err;
    Block f(t, "f");
    EXPECT_EQ(f.ref("x"), GLOBAL_EXPLICIT);
}

TEST_F(Symtable, ImportStarAndExecInFunctions)
{
    testing::internal::CaptureStderr();
    Table star("def f():\n    from os import *\n");
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(star.st, nullptr);
    EXPECT_NE(err.find("import * only allowed at module level"), std::string::npos);
    Block fs(star, "f");
    EXPECT_EQ(fs.rc, 0);
    EXPECT_FALSE(fs.b.c_flags & CO_OPTIMIZED);

    testing::internal::CaptureStderr();
    Table bad("def f():\n"
              "    from os import *\n"
              "    def g():\n"
              "        return x\n");
    testing::internal::GetCapturedStderr();
    ASSERT_NE(bad.st, nullptr);
    Block fb(bad, "f");
    EXPECT_EQ(fb.rc, -1);
    EXPECT_EQ(syntax_error(),
              Err("import * is not allowed in function 'f' because it contains a nested "
                  "function with free variables",
                  2));

    Table exec_nested("def outer():\n"
                      "    y = 1\n"
                      "    def f():\n"
                      "        exec code\n");
    ASSERT_NE(exec_nested.st, nullptr);
    Block fe(exec_nested, "outer.f");
    EXPECT_EQ(fe.rc, -1);
    EXPECT_EQ(syntax_error(),
              Err("unqualified exec is not allowed in function 'f' it is a nested function", 4));

    Table exec_in("def f():\n    exec 'x = 1' in {}\n    def g(): return x\n");
    Block fi(exec_in, "f");
    EXPECT_EQ(fi.rc, 0);
    EXPECT_EQ(fi.b.c_flags & CO_OPTIMIZED, 0);

    testing::internal::CaptureStderr();
    Table both("def f():\n    from m import *\n    exec 'x'\n    def g(): return q\n");
    testing::internal::GetCapturedStderr();
    Block fbo(both, "f");
    EXPECT_EQ(fbo.rc, -1);
    EXPECT_EQ(syntax_error().first,
              "function 'f' uses import * and bare exec, which are illegal because it contains a "
              "nested function with free variables");

    // At module level both are fine.
    Table top("from os import *\nexec 'x'\n");
    Block tb(top, "");
    EXPECT_EQ(tb.rc, 0);
}

TEST_F(Symtable, FutureStatements)
{
    Table doc("'''doc'''\nfrom __future__ import division, generators\nx = 1\n");
    ASSERT_NE(doc.st, nullptr);
    EXPECT_EQ(doc.st->st_future->ff_features, CO_FUTURE_DIVISION);
    EXPECT_TRUE(doc.st->st_future->ff_found_docstring);
    EXPECT_EQ(doc.st->st_future->ff_last_lineno, 3);

    EXPECT_EQ(analysis_error("x = 1\nfrom __future__ import division\n"),
              Err("from __future__ imports must occur at the beginning of the file", 2));
    EXPECT_EQ(analysis_error("x = 1; from __future__ import division\n"),
              Err("from __future__ imports must occur at the beginning of the file", 1));
    EXPECT_EQ(analysis_error("'''a'''\n'''b'''\nfrom __future__ import division\n"),
              Err("from __future__ imports must occur at the beginning of the file", 3));
    EXPECT_EQ(analysis_error("from __future__ import braces\n"), Err("not a chance", 1));
    EXPECT_EQ(analysis_error("from __future__ import nonsense\n"),
              Err("future feature nonsense is not defined", 1));
    EXPECT_EQ(analysis_error("from __future__ import *\n"),
              Err("future statement does not support import *", 1));
    Table two("from __future__ import division; from __future__ import nested_scopes\n");
    EXPECT_NE(two.st, nullptr);
}

TEST_F(Symtable, ConstantFalseBranches)
{
    Table t("def f():\n"
            "    if 0:\n"
            "        yield 1\n"
            "def g():\n"
            "    if '':\n"
            "        def h(): yield 1\n"
            "    elif x:\n"
            "        pass\n"
            "    else:\n"
            "        z = 1\n");
    ASSERT_NE(t.st, nullptr);
    Block f(t, "f");
    EXPECT_TRUE(f.b.c_flags & CO_GENERATOR);
    EXPECT_EQ(t.scope("g.h"), nullptr); // never walked, never compiled
    Block g(t, "g");
    EXPECT_FALSE(g.b.c_flags & CO_GENERATOR);
    EXPECT_EQ(g.ref("z"), LOCAL);
    EXPECT_EQ(g.ref("x"), GLOBAL_IMPLICIT);
}

TEST_F(Symtable, UnparenthesisedGeneratorArgument)
{
    EXPECT_EQ(analysis_error("f(x for x in y, 1)\n"), Err("invalid syntax", 1));
    EXPECT_EQ(analysis_error("f(x for x in y,)\n"), Err("invalid syntax", 1));
    Table ok("f((x for x in y), 1)\nf(x for x in y)\n");
    EXPECT_NE(ok.st, nullptr);
}

TEST_F(Symtable, NameMangling)
{
    char buf[256];
    EXPECT_EQ(_Zv_Mangle((char *)"_C", (char *)"__x", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "_C__x");
    EXPECT_EQ(_Zv_Mangle((char *)"Spam", (char *)"__init__", buf, sizeof buf), 0);
    EXPECT_EQ(_Zv_Mangle((char *)"___", (char *)"__x", buf, sizeof buf), 0);
    EXPECT_EQ(_Zv_Mangle(nullptr, (char *)"__x", buf, sizeof buf), 0);
    EXPECT_EQ(_Zv_Mangle((char *)"C", (char *)"_x", buf, sizeof buf), 0);
    std::string longname = "__" + std::string(300, 'n');
    EXPECT_EQ(_Zv_Mangle((char *)"C", (char *)longname.c_str(), buf, sizeof buf), 0);
    std::string longclass(300, 'K');
    ASSERT_EQ(_Zv_Mangle((char *)longclass.c_str(), (char *)"__x", buf, sizeof buf), 1);
    EXPECT_LT(std::strlen(buf), 256u);
    EXPECT_EQ(std::string(buf).substr(std::strlen(buf) - 3), "__x");

    Table t("class Spam:\n"
            "    __eggs = 1\n"
            "    def m(self, __a):\n"
            "        return __a, __eggs\n");
    ASSERT_NE(t.st, nullptr);
    EXPECT_EQ(flags(t.scope("Spam"), "_Spam__eggs"), DEF_LOCAL);
    EXPECT_EQ(flags(t.scope("Spam.m"), "_Spam__a"), DEF_PARAM | USE);
    EXPECT_EQ(flags(t.module(), "Spam"), DEF_LOCAL);
}

TEST_F(Symtable, CodeGeneratorReentersScopesInOrder)
{
    Table t("def f():\n    def g(): pass\nclass C: pass\n");
    ASSERT_NE(t.st, nullptr);
    t.st->st_pass = 2;
    t.st->st_nscopes = 0;
    const char *names[] = {"global", "f", "g", "C"};
    for (const char *n : names) {
        ZvSymtableEntryObject *ste = ZvSymtableEntry_New(t.st, (char *)n, TYPE_FUNCTION, 1);
        ASSERT_NE(ste, nullptr);
        EXPECT_STREQ(ZvString_AS_STRING(ste->ste_name), n);
        Zv_DECREF(ste);
    }
}

TEST_F(Symtable, DeepTreesAreAnalysed)
{
    std::string src = "x = " + std::string(30, '(') + "y" + std::string(30, ')') + "\n";
    Table t(src);
    ASSERT_NE(t.st, nullptr);
    EXPECT_EQ(flags(t.module(), "y"), USE);
    std::string fns;
    for (int i = 0; i < 90; i++) fns += std::string(i, ' ') + "def f" + std::to_string(i) + "():\n";
    fns += std::string(90, ' ') + "return v\n";
    Table deep(fns);
    ASSERT_NE(deep.st, nullptr);
}
