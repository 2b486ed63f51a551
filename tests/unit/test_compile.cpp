// The code generator: source snippets compiled through the parser and
// ZvNode_CompileFlags, checked against the disassembly of the code they
// produce, plus the code objects' tables, the line table, and every
// compile-time error with its message and line.
#include "zvtest.h"
#include "zvfrontend.h"

#include <cstring>
#include <string>
#include <vector>

#include "graminit.h"

namespace {

// A compiled snippet: the code object, or the error it raised.
struct Compiled {
    ZvObject *code = nullptr;
    std::string error;      // "SyntaxError: msg" when compilation failed
    int lineno = -1;        // the error's line, when it has one
    int cf_flags = 0;       // the flags handed back

    Compiled(const std::string &src, int start = file_input, int flags = 0)
    {
        perrdetail err;
        node *tree = ZvParser_ParseStringFlagsFilename(src.c_str(), "<test>", &_ZvParser_Grammar,
                                                        start, &err, 0);
        ZvObject_Free(err.text);
        if (tree == nullptr) {
            error = "parse error";
            ZvErr_Clear();
            return;
        }
        ZvCompilerFlags cf;
        cf.cf_flags = flags;
        code = ZvNode_CompileFlags(tree, "<test>", &cf);
        cf_flags = cf.cf_flags;
        ZvNode_Free(tree);
        if (code == nullptr) record_error();
    }
    ~Compiled() { Zv_XDECREF(code); }

    void record_error()
    {
        ZvObject *type, *value, *tb;
        ZvErr_Fetch(&type, &value, &tb);
        error = exc_name(type);
        if (value && ZvTuple_Check(value) && ZvTuple_GET_SIZE(value) == 2) {
            error += ": " + zv_str(ZvTuple_GET_ITEM(value, 0));
            ZvObject *loc = ZvTuple_GET_ITEM(value, 1);
            if (ZvTuple_Check(loc) && ZvTuple_GET_SIZE(loc) == 4)
                lineno = (int)ZvInt_AsLong(ZvTuple_GET_ITEM(loc, 1));
        } else if (value) {
            error += ": " + zv_str(value);
            ZvObject *l = ZvObject_GetAttrString(value, "lineno");
            if (l && ZvInt_Check(l)) lineno = (int)ZvInt_AsLong(l);
            Zv_XDECREF(l);
        }
        ZvErr_Clear();
        Zv_XDECREF(type);
        Zv_XDECREF(value);
        Zv_XDECREF(tb);
    }

    static std::string exc_name(ZvObject *type)
    {
        ZvObject *n = ZvObject_GetAttrString(type, "__name__");
        std::string s = n ? zv_str(n) : "?";
        Zv_XDECREF(n);
        ZvErr_Clear();
        return s;
    }

    ZvCodeObject *co() const { return (ZvCodeObject *)code; }
};

std::string disassemble(ZvObject *code)
{
    Owned d(_ZvCode_Disassemble(code));
    if (d.get() == nullptr) {
        ZvErr_Clear();
        return "<no listing>";
    }
    return ZvString_AS_STRING(d.get());
}

// The nested code object that is constant `i` of `co`.
ZvObject *nested(ZvObject *co, int i)
{
    ZvObject *consts = ((ZvCodeObject *)co)->co_consts;
    if (i >= ZvTuple_GET_SIZE(consts)) return nullptr;
    ZvObject *v = ZvTuple_GET_ITEM(consts, i);
    return ZvCode_Check(v) ? v : nullptr;
}

// The first code-object constant of `co`.
ZvObject *first_nested(ZvObject *co)
{
    ZvObject *consts = ((ZvCodeObject *)co)->co_consts;
    for (int i = 0; i < ZvTuple_GET_SIZE(consts); i++)
        if (ZvCode_Check(ZvTuple_GET_ITEM(consts, i))) return ZvTuple_GET_ITEM(consts, i);
    return nullptr;
}

std::string listing(const std::string &src, int depth = 0)
{
    Compiled c(src);
    if (c.code == nullptr) return "error " + c.error;
    ZvObject *co = c.code;
    for (int i = 0; i < depth && co; i++) co = first_nested(co);
    if (co == nullptr) return "<no nested code>";
    return disassemble(co);
}

} // namespace

class Compile : public ZvTest {};

TEST_F(Compile, Explore)
{
    const char *srcs[] = {
        "x = 1\n",
        "-5\n",
        "a < b < c\n",
        "def f(a, (b, c)): pass\n",
        "for i in x:\n    print i\nelse:\n    pass\n",
        "try:\n    f()\nexcept E, e:\n    g()\nexcept:\n    h()\nelse:\n    k()\n",
        "[x*2 for x in y if x]\n",
        "print >>f, x,\n",
        "x[1:2] += 3\n",
    };
    for (const char *s : srcs) {
        std::printf("=== %s%s\n", s, listing(s).c_str());
    }
    std::printf("=== nested\n%s\n", listing("def f(a, (b, c)): pass\n", 1).c_str());
}
