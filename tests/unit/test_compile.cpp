// The code generator: source snippets compiled through the parser and
// ZvNode_CompileFlags, checked against the disassembly of the code they
// produce, plus the code objects' tables, the line table, and every
// compile-time error with its message and line.
#include "zvtest.h"
#include "zvfrontend.h"

#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

#include "graminit.h"
#include "opcode.h"
#include "../../Zuvo/peephole.h"

namespace {

// Every code object the compiler makes, nested ones included, must pass
// the verifier the evaluation loop runs before the code first runs.
void verify_tree(ZvObject *code)
{
    if (_ZvCode_Verify((ZvCodeObject *)code) < 0) {
        ADD_FAILURE() << "refused by the verifier: " << zv_error_text();
        return;
    }
    ZvObject *consts = ((ZvCodeObject *)code)->co_consts;
    for (int i = 0; i < ZvTuple_GET_SIZE(consts); i++)
        if (ZvCode_Check(ZvTuple_GET_ITEM(consts, i))) verify_tree(ZvTuple_GET_ITEM(consts, i));
}

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
        if (code == nullptr)
            record_error();
        else
            verify_tree(code);
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


// The code objects among the constants of `co`, in order.
std::vector<ZvObject *> nested_codes(ZvObject *co)
{
    std::vector<ZvObject *> out;
    ZvObject *consts = ((ZvCodeObject *)co)->co_consts;
    for (int i = 0; i < ZvTuple_GET_SIZE(consts); i++)
        if (ZvCode_Check(ZvTuple_GET_ITEM(consts, i))) out.push_back(ZvTuple_GET_ITEM(consts, i));
    return out;
}

// The first code-object constant of `co`.
ZvObject *first_nested(ZvObject *co)
{
    ZvObject *consts = ((ZvCodeObject *)co)->co_consts;
    for (int i = 0; i < ZvTuple_GET_SIZE(consts); i++)
        if (ZvCode_Check(ZvTuple_GET_ITEM(consts, i))) return ZvTuple_GET_ITEM(consts, i);
    return nullptr;
}


// One instruction of a listing.
struct Insn {
    int offset;
    std::string name, arg, note;
};

std::vector<Insn> parse_listing(const std::string &text)
{
    std::vector<Insn> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        Insn in;
        size_t p = 0;
        in.offset = std::stoi(line, &p);
        line = line.substr(p + 1);
        size_t paren = line.find(" (");
        if (paren != std::string::npos) {
            in.note = line.substr(paren + 2, line.size() - paren - 3);
            line = line.substr(0, paren);
        }
        size_t space = line.find(' ');
        in.name = line.substr(0, space);
        if (space != std::string::npos) in.arg = line.substr(space + 1);
        out.push_back(in);
    }
    return out;
}

// A one-line form of a listing: "LOAD_NAME a, LOAD_CONST 1, COMPARE_OP <,
// JUMP_IF_FALSE >7, ...": names, constants and variables by what they
// designate, counts by number, comparisons by operator, and jump targets
// as the index of the target instruction; with `lines`, each instruction
// has its source line in front ("3 LOAD_FAST a").  A module's closing
// "LOAD_CONST None, RETURN_VALUE" is left out when `strip_tail` is set (a
// jump there shows as one past the last instruction shown).
std::string compact(ZvObject *code, bool strip_tail, bool lines = false)
{
    std::vector<Insn> insns = parse_listing(disassemble(code));
    std::vector<std::string> tokens;
    for (const Insn &in : insns) {
        std::string t = in.name;
        if (in.note.compare(0, 3, "to ") == 0) {
            int target = std::stoi(in.note.substr(3));
            std::string where = "?";
            for (size_t k = 0; k < insns.size(); k++)
                if (insns[k].offset == target) where = std::to_string(k);
            t += " >" + where;
        } else if (!in.arg.empty()) {
            t += " " + (in.note.empty() ? in.arg : in.note);
        }
        if (lines) t = std::to_string(ZvCode_Addr2Line((ZvCodeObject *)code, in.offset)) + " " + t;
        tokens.push_back(t);
    }
    if (strip_tail && tokens.size() >= 2 && tokens.back() == "RETURN_VALUE" &&
        tokens[tokens.size() - 2] == "LOAD_CONST None")
        tokens.resize(tokens.size() - 2);
    std::string out;
    for (const auto &t : tokens) out += (out.empty() ? "" : ", ") + t;
    return out;
}

// The compact listing of a module snippet (depth 0) or of its first nested
// code object, depth levels down.
std::string ops(const std::string &src, int depth = 0)
{
    Compiled c(src);
    if (c.code == nullptr) return "error " + c.error;
    ZvObject *co = c.code;
    for (int i = 0; i < depth && co; i++) co = first_nested(co);
    if (co == nullptr) return "<no nested code>";
    return compact(co, depth == 0);
}

// The line table as "firstline: addr,line addr,line ...".
std::string lnotab_of(ZvObject *code)
{
    ZvCodeObject *co = (ZvCodeObject *)code;
    std::string out = std::to_string(co->co_firstlineno) + ":";
    auto *p = (const unsigned char *)ZvString_AS_STRING(co->co_lnotab);
    for (int i = 0; i + 1 < ZvString_GET_SIZE(co->co_lnotab); i += 2)
        out += " " + std::to_string(p[i]) + "," + std::to_string(p[i + 1]);
    return out;
}

// Sets Zv_OptimizeFlag for the life of the guard.
struct Optimize {
    int saved = Zv_OptimizeFlag;
    explicit Optimize(int level) { Zv_OptimizeFlag = level; }
    ~Optimize() { Zv_OptimizeFlag = saved; }
};

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
}
} // namespace

class Compile : public ZvTest {};


struct Case {
    const char *src;
    const char *expected;
};

// Module-level statements, without the closing LOAD_CONST None, RETURN_VALUE.
TEST_F(Compile, Statements)
{
    const Case cases[] = {
        {"x = y = z\n", "LOAD_NAME z, DUP_TOP, STORE_NAME x, STORE_NAME y"},
        {"a, (b, [c]) = e\n",
         "LOAD_NAME e, UNPACK_SEQUENCE 2, STORE_NAME a, UNPACK_SEQUENCE 2, STORE_NAME b, "
         "UNPACK_SEQUENCE 1, STORE_NAME c"},
        {"x, = y\n", "LOAD_NAME y, UNPACK_SEQUENCE 1, STORE_NAME x"},
        {"a.b = c\n", "LOAD_NAME c, LOAD_NAME a, STORE_ATTR b"},
        {"a[b] = c\n", "LOAD_NAME c, LOAD_NAME a, LOAD_NAME b, STORE_SUBSCR"},
        {"a[1:2] = c; a[:] = c\n",
         "LOAD_NAME c, LOAD_NAME a, LOAD_CONST 1, LOAD_CONST 2, STORE_SLICE_3, LOAD_NAME c, "
         "LOAD_NAME a, STORE_SLICE_0"},
        {"a[:2, ...] = c\n",
         "LOAD_NAME c, LOAD_NAME a, LOAD_CONST None, LOAD_CONST 2, BUILD_SLICE 2, "
         "LOAD_CONST Ellipsis, BUILD_TUPLE 2, STORE_SUBSCR"},
        {"del a.b, c[1], d[1:2], e[:], f[1:], g[:2], (h, [i])\n",
         "LOAD_NAME a, DELETE_ATTR b, LOAD_NAME c, LOAD_CONST 1, DELETE_SUBSCR, LOAD_NAME d, "
         "LOAD_CONST 1, LOAD_CONST 2, DELETE_SLICE_3, LOAD_NAME e, DELETE_SLICE_0, LOAD_NAME f, "
         "LOAD_CONST 1, DELETE_SLICE_1, LOAD_NAME g, LOAD_CONST 2, DELETE_SLICE_2, DELETE_NAME h, "
         "DELETE_NAME i"},
        // Augmented assignment evaluates its target once, for every kind.
        {"x += 1\n", "LOAD_NAME x, LOAD_CONST 1, INPLACE_ADD, STORE_NAME x"},
        {"a.b -= 1\n",
         "LOAD_NAME a, DUP_TOP, LOAD_ATTR b, LOAD_CONST 1, INPLACE_SUBTRACT, ROT_TWO, "
         "STORE_ATTR b"},
        {"a[k] *= 1\n",
         "LOAD_NAME a, LOAD_NAME k, DUP_TOPX 2, BINARY_SUBSCR, LOAD_CONST 1, INPLACE_MULTIPLY, "
         "ROT_THREE, STORE_SUBSCR"},
        {"a[:] /= 1\n",
         "LOAD_NAME a, DUP_TOP, SLICE_0, LOAD_CONST 1, INPLACE_DIVIDE, ROT_TWO, STORE_SLICE_0"},
        {"a[1:] //= 1\n",
         "LOAD_NAME a, LOAD_CONST 1, DUP_TOPX 2, SLICE_1, LOAD_CONST 1, INPLACE_FLOOR_DIVIDE, "
         "ROT_THREE, STORE_SLICE_1"},
        {"a[:2] %= 1\n",
         "LOAD_NAME a, LOAD_CONST 2, DUP_TOPX 2, SLICE_2, LOAD_CONST 1, INPLACE_MODULO, "
         "ROT_THREE, STORE_SLICE_2"},
        {"a[1:2] **= 3\n",
         "LOAD_NAME a, LOAD_CONST 1, LOAD_CONST 2, DUP_TOPX 3, SLICE_3, LOAD_CONST 3, "
         "INPLACE_POWER, ROT_FOUR, STORE_SLICE_3"},
        {"x <<= 1; x >>= 1; x &= 1; x ^= 1; x |= 1\n",
         "LOAD_NAME x, LOAD_CONST 1, INPLACE_LSHIFT, STORE_NAME x, LOAD_NAME x, LOAD_CONST 1, "
         "INPLACE_RSHIFT, STORE_NAME x, LOAD_NAME x, LOAD_CONST 1, INPLACE_AND, STORE_NAME x, "
         "LOAD_NAME x, LOAD_CONST 1, INPLACE_XOR, STORE_NAME x, LOAD_NAME x, LOAD_CONST 1, "
         "INPLACE_OR, STORE_NAME x"},
        {"print\n", "PRINT_NEWLINE"},
        {"print a, b\n", "LOAD_NAME a, PRINT_ITEM, LOAD_NAME b, PRINT_ITEM, PRINT_NEWLINE"},
        {"print a,\n", "LOAD_NAME a, PRINT_ITEM"},
        {"print >>f\n", "LOAD_NAME f, PRINT_NEWLINE_TO"},
        {"print >>f, a, b\n",
         "LOAD_NAME f, DUP_TOP, LOAD_NAME a, ROT_TWO, PRINT_ITEM_TO, DUP_TOP, LOAD_NAME b, "
         "ROT_TWO, PRINT_ITEM_TO, PRINT_NEWLINE_TO"},
        // The stream is consumed and no newline is printed.
        {"print >>f, x,\n", "LOAD_NAME f, DUP_TOP, LOAD_NAME x, ROT_TWO, PRINT_ITEM_TO, POP_TOP"},
        {"pass\nglobal x\n'just a string'\n", ""},
        {"raise\nraise E\nraise E, v\nraise E, v, t\n",
         "RAISE_VARARGS 0, LOAD_NAME E, RAISE_VARARGS 1, LOAD_NAME E, LOAD_NAME v, RAISE_VARARGS "
         "2, LOAD_NAME E, LOAD_NAME v, LOAD_NAME t, RAISE_VARARGS 3"},
        {"exec c\nexec c in g\nexec c in g, l\n",
         "LOAD_NAME c, LOAD_CONST None, DUP_TOP, EXEC_STMT, LOAD_NAME c, LOAD_NAME g, DUP_TOP, "
         "EXEC_STMT, LOAD_NAME c, LOAD_NAME g, LOAD_NAME l, EXEC_STMT"},
        {"assert x, 'm'\n",
         "LOAD_NAME x, JUMP_IF_TRUE >6, POP_TOP, LOAD_GLOBAL AssertionError, LOAD_CONST 'm', "
         "RAISE_VARARGS 2, POP_TOP"},
        {"import a.b.c\n", "LOAD_CONST None, IMPORT_NAME a.b.c, STORE_NAME a"},
        {"import a.b.c as d, e\n",
         "LOAD_CONST None, IMPORT_NAME a.b.c, LOAD_ATTR b, LOAD_ATTR c, STORE_NAME d, "
         "LOAD_CONST None, IMPORT_NAME e, STORE_NAME e"},
        {"from m import x as y, z\n",
         "LOAD_CONST ('x', 'z'), IMPORT_NAME m, IMPORT_FROM x, STORE_NAME y, IMPORT_FROM z, "
         "STORE_NAME z, POP_TOP"},
        {"from m import (x,)\n",
         "LOAD_CONST ('x',), IMPORT_NAME m, IMPORT_FROM x, STORE_NAME x, POP_TOP"},
        {"from a.b import *\n", "LOAD_CONST ('*',), IMPORT_NAME a.b, IMPORT_STAR"},
        {"if a:\n    b\nelif c:\n    d\nelse:\n    e\n",
         "LOAD_NAME a, JUMP_IF_FALSE >6, POP_TOP, LOAD_NAME b, POP_TOP, JUMP_FORWARD >16, "
         "POP_TOP, LOAD_NAME c, JUMP_IF_FALSE >13, POP_TOP, LOAD_NAME d, POP_TOP, "
         "JUMP_FORWARD >16, POP_TOP, LOAD_NAME e, POP_TOP"},
        // Branches whose test is a constant false value generate nothing.
        {"if 0:\n    a\nelif '':\n    b\nelif 0x0L:\n    c\nelse:\n    d\n",
         "LOAD_NAME d, POP_TOP"},
        // A constant true test keeps its branch; the optimizer drops the test.
        {"if 0xe:\n    a\n", "LOAD_NAME a, POP_TOP, JUMP_FORWARD >4, POP_TOP"},
        {"if 'abcd':\n    a\n", "LOAD_NAME a, POP_TOP, JUMP_FORWARD >4, POP_TOP"},
        {"while x:\n    break\nelse:\n    y\n",
         "SETUP_LOOP >10, LOAD_NAME x, JUMP_IF_FALSE >6, POP_TOP, BREAK_LOOP, JUMP_ABSOLUTE >1, "
         "POP_TOP, POP_BLOCK, LOAD_NAME y, POP_TOP"},
        {"for i in x:\n    continue\nelse:\n    y\n",
         "SETUP_LOOP >10, LOAD_NAME x, GET_ITER, FOR_ITER >7, STORE_NAME i, JUMP_ABSOLUTE >3, "
         "JUMP_ABSOLUTE >3, POP_BLOCK, LOAD_NAME y, POP_TOP"},
        // continue inside a try block unwinds it first (the jumps to the
        // loop's end go straight to its start).
        {"for i in x:\n    try:\n        continue\n    except:\n        pass\n",
         "SETUP_LOOP >16, LOAD_NAME x, GET_ITER, FOR_ITER >15, STORE_NAME i, SETUP_EXCEPT >9, "
         "CONTINUE_LOOP >3, POP_BLOCK, JUMP_ABSOLUTE >3, POP_TOP, POP_TOP, POP_TOP, JUMP_ABSOLUTE "
         ">3, END_FINALLY, JUMP_ABSOLUTE >3, POP_BLOCK"},
        {"while 1:\n    try:\n        pass\n    finally:\n        break\n",
         "SETUP_LOOP >9, SETUP_FINALLY >4, POP_BLOCK, LOAD_CONST None, BREAK_LOOP, END_FINALLY, "
         "JUMP_ABSOLUTE >1, POP_TOP, POP_BLOCK"},
        {"try:\n    a\nexcept E, (x, y):\n    b\nexcept:\n    c\nelse:\n    d\n",
         "SETUP_EXCEPT >5, LOAD_NAME a, POP_TOP, POP_BLOCK, JUMP_FORWARD >26, DUP_TOP, LOAD_NAME "
         "E, COMPARE_OP exception match, JUMP_IF_FALSE >18, POP_TOP, POP_TOP, UNPACK_SEQUENCE 2, "
         "STORE_NAME x, STORE_NAME y, POP_TOP, LOAD_NAME b, POP_TOP, JUMP_FORWARD >28, POP_TOP, "
         "POP_TOP, POP_TOP, POP_TOP, LOAD_NAME c, POP_TOP, JUMP_FORWARD >28, END_FINALLY, "
         "LOAD_NAME d, POP_TOP"},
        {"try:\n    a\nfinally:\n    b\n",
         "SETUP_FINALLY >5, LOAD_NAME a, POP_TOP, POP_BLOCK, LOAD_CONST None, LOAD_NAME b, "
         "POP_TOP, END_FINALLY"},
        {"@a.b(1)\n@c\ndef f(x=2): pass\n",
         "LOAD_NAME a, LOAD_ATTR b, LOAD_CONST 1, CALL_FUNCTION 1, LOAD_NAME c, LOAD_CONST 2, "
         "LOAD_CONST <code object f, line 1>, MAKE_FUNCTION 1, CALL_FUNCTION 1, CALL_FUNCTION 1, "
         "STORE_NAME f"},
        {"@d()\ndef f(): pass\n",
         "LOAD_NAME d, CALL_FUNCTION 0, LOAD_CONST <code object f, line 1>, MAKE_FUNCTION 0, "
         "CALL_FUNCTION 1, STORE_NAME f"},
        {"class C(A, B): pass\n",
         "LOAD_CONST 'C', LOAD_NAME A, LOAD_NAME B, BUILD_TUPLE 2, LOAD_CONST <code object C, "
         "line 1>, MAKE_FUNCTION 0, CALL_FUNCTION 0, BUILD_CLASS, STORE_NAME C"},
        {"class C: pass\n",
         "LOAD_CONST 'C', LOAD_CONST (), LOAD_CONST <code object C, line 1>, MAKE_FUNCTION 0, "
         "CALL_FUNCTION 0, BUILD_CLASS, STORE_NAME C"},
        {"'''doc'''\nx = 1\n", "LOAD_CONST 'doc', STORE_NAME __doc__, LOAD_CONST 1, STORE_NAME x"},
    };
    for (const Case &t : cases) EXPECT_EQ(ops(t.src), t.expected) << t.src;
}

// Module-level expression statements (each ends with POP_TOP).
TEST_F(Compile, Expressions)
{
    const Case cases[] = {
        {"a or b or c\n",
         "LOAD_NAME a, JUMP_IF_TRUE >7, POP_TOP, LOAD_NAME b, JUMP_IF_TRUE >7, POP_TOP, LOAD_NAME "
         "c, POP_TOP"},
        {"a and b or not c\n",
         "LOAD_NAME a, JUMP_IF_FALSE >5, POP_TOP, LOAD_NAME b, JUMP_IF_TRUE >8, POP_TOP, LOAD_NAME "
         "c, UNARY_NOT, POP_TOP"},
        {"a < b; a <= b; a == b; a != b; a <> b\n",
         "LOAD_NAME a, LOAD_NAME b, COMPARE_OP <, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP "
         "<=, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP ==, POP_TOP, LOAD_NAME a, LOAD_NAME b, "
         "COMPARE_OP !=, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP !=, POP_TOP"},
        {"a > b; a >= b; a in b; a not in b; a is b; a is not b\n",
         "LOAD_NAME a, LOAD_NAME b, COMPARE_OP >, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP "
         ">=, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP in, POP_TOP, LOAD_NAME a, LOAD_NAME b, "
         "COMPARE_OP not in, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP is, POP_TOP, LOAD_NAME "
         "a, LOAD_NAME b, COMPARE_OP is not, POP_TOP"},
        // b is evaluated once; a false link is the value and c is skipped.
        {"a < b < c\n",
         "LOAD_NAME a, LOAD_NAME b, DUP_TOP, ROT_THREE, COMPARE_OP <, JUMP_IF_FALSE >10, POP_TOP, "
         "LOAD_NAME c, COMPARE_OP <, JUMP_FORWARD >12, ROT_TWO, POP_TOP, POP_TOP"},
        {"a | b ^ c & d << e >> f + g - h * i / j // k % l\n",
         "LOAD_NAME a, LOAD_NAME b, LOAD_NAME c, LOAD_NAME d, LOAD_NAME e, BINARY_LSHIFT, "
         "LOAD_NAME f, LOAD_NAME g, BINARY_ADD, LOAD_NAME h, LOAD_NAME i, BINARY_MULTIPLY, "
         "LOAD_NAME j, BINARY_DIVIDE, LOAD_NAME k, BINARY_FLOOR_DIVIDE, LOAD_NAME l, "
         "BINARY_MODULO, BINARY_SUBTRACT, BINARY_RSHIFT, BINARY_AND, BINARY_XOR, BINARY_OR, "
         "POP_TOP"},
        {"-a ** -b\n",
         "LOAD_NAME a, LOAD_NAME b, UNARY_NEGATIVE, BINARY_POWER, UNARY_NEGATIVE, POP_TOP"},
        {"a ** b ** c\n",
         "LOAD_NAME a, LOAD_NAME b, LOAD_NAME c, BINARY_POWER, BINARY_POWER, POP_TOP"},
        {"+a; ~a\n", "LOAD_NAME a, UNARY_POSITIVE, POP_TOP, LOAD_NAME a, UNARY_INVERT, POP_TOP"},
        // Unary operators on a bare literal fold, unless the sign must survive.
        {"-5; +5; ~5; -5L; -1.5\n",
         "LOAD_CONST -5, POP_TOP, LOAD_CONST 5, POP_TOP, LOAD_CONST -6, POP_TOP, LOAD_CONST -5L, "
         "POP_TOP, LOAD_CONST -1.5, POP_TOP"},
        {"-0; -0x10; -0.0; -.0; -00.0e3\n",
         "LOAD_CONST 0, UNARY_NEGATIVE, POP_TOP, LOAD_CONST 16, UNARY_NEGATIVE, POP_TOP, "
         "LOAD_CONST 0.0, UNARY_NEGATIVE, POP_TOP, LOAD_CONST 0.0, UNARY_NEGATIVE, POP_TOP, "
         "LOAD_CONST 0.0, UNARY_NEGATIVE, POP_TOP"},
        {"-2147483648; -2147483649; 2147483648; 0xffffffff; 017\n",
         "LOAD_CONST -2147483648, POP_TOP, LOAD_CONST -2147483649L, POP_TOP, LOAD_CONST "
         "2147483648L, POP_TOP, LOAD_CONST 4294967295L, POP_TOP, LOAD_CONST 15, POP_TOP"},
        {"--5; -(5); -5 .x; ~1.5\n",
         "LOAD_CONST -5, UNARY_NEGATIVE, POP_TOP, LOAD_CONST 5, UNARY_NEGATIVE, POP_TOP, "
         "LOAD_CONST 5, LOAD_ATTR x, UNARY_NEGATIVE, POP_TOP, LOAD_CONST 1.5, UNARY_INVERT, "
         "POP_TOP"},
        {"(); (a); (a,); []; [a, b]; {}\n",
         "LOAD_CONST (), POP_TOP, LOAD_NAME a, POP_TOP, LOAD_NAME a, BUILD_TUPLE 1, POP_TOP, "
         "BUILD_LIST 0, POP_TOP, LOAD_NAME a, LOAD_NAME b, BUILD_LIST 2, POP_TOP, BUILD_MAP 0, "
         "POP_TOP"},
        // Keys are evaluated before their values.
        {"{f(): g(), 1: 2}\n",
         "BUILD_MAP 0, DUP_TOP, LOAD_NAME f, CALL_FUNCTION 0, LOAD_NAME g, CALL_FUNCTION 0, "
         "ROT_THREE, STORE_SUBSCR, DUP_TOP, LOAD_CONST 1, LOAD_CONST 2, ROT_THREE, STORE_SUBSCR, "
         "POP_TOP"},
        {"`a`; `a, b`\n",
         "LOAD_NAME a, UNARY_CONVERT, POP_TOP, LOAD_NAME a, LOAD_NAME b, BUILD_TUPLE 2, "
         "UNARY_CONVERT, POP_TOP"},
        {"x = 'a' 'b' r'\\n' '\\x41\\101'\n",
         "LOAD_CONST 'ab\\\\nAA', STORE_NAME x"},
        {"a.b.c; a[b]; a[b:c]; a[:]; a[b:]; a[:c]\n",
         "LOAD_NAME a, LOAD_ATTR b, LOAD_ATTR c, POP_TOP, LOAD_NAME a, LOAD_NAME b, BINARY_SUBSCR, "
         "POP_TOP, LOAD_NAME a, LOAD_NAME b, LOAD_NAME c, SLICE_3, POP_TOP, LOAD_NAME a, SLICE_0, "
         "POP_TOP, LOAD_NAME a, LOAD_NAME b, SLICE_1, POP_TOP, LOAD_NAME a, LOAD_NAME c, SLICE_2, "
         "POP_TOP"},
        {"a[b:c:d]; a[:b:]; a[b,]; a[...]\n",
         "LOAD_NAME a, LOAD_NAME b, LOAD_NAME c, LOAD_NAME d, BUILD_SLICE 3, BINARY_SUBSCR, "
         "POP_TOP, LOAD_NAME a, LOAD_CONST None, LOAD_NAME b, LOAD_CONST None, BUILD_SLICE 3, "
         "BINARY_SUBSCR, POP_TOP, LOAD_NAME a, LOAD_NAME b, BUILD_TUPLE 1, BINARY_SUBSCR, "
         "POP_TOP, LOAD_NAME a, LOAD_CONST Ellipsis, BINARY_SUBSCR, POP_TOP"},
        {"f(a, k=b)\n",
         "LOAD_NAME f, LOAD_NAME a, LOAD_CONST 'k', LOAD_NAME b, CALL_FUNCTION 257, POP_TOP"},
        {"f(*a); f(**k); f(a, *b, **c); f(x=1, *a)\n",
         "LOAD_NAME f, LOAD_NAME a, CALL_FUNCTION_VAR 0, POP_TOP, LOAD_NAME f, LOAD_NAME k, "
         "CALL_FUNCTION_KW 0, POP_TOP, LOAD_NAME f, LOAD_NAME a, LOAD_NAME b, LOAD_NAME c, "
         "CALL_FUNCTION_VAR_KW 1, POP_TOP, LOAD_NAME f, LOAD_CONST 'x', LOAD_CONST 1, LOAD_NAME a, "
         "CALL_FUNCTION_VAR 256, POP_TOP"},
        {"lambda x, y=1: x\n",
         "LOAD_CONST 1, LOAD_CONST <code object <lambda>, line 1>, MAKE_FUNCTION 1, POP_TOP"},
        {"[x for x in y for z in w if z]\n",
         "BUILD_LIST 0, DUP_TOP, STORE_NAME _[1], LOAD_NAME y, GET_ITER, FOR_ITER >21, STORE_NAME "
         "x, LOAD_NAME w, GET_ITER, FOR_ITER >20, STORE_NAME z, LOAD_NAME z, JUMP_IF_FALSE >18, "
         "POP_TOP, LOAD_NAME _[1], LOAD_NAME x, LIST_APPEND, JUMP_ABSOLUTE >9, POP_TOP, "
         "JUMP_ABSOLUTE >9, JUMP_ABSOLUTE >5, DELETE_NAME _[1], POP_TOP"},
        {"[[x for x in y] for z in 1, 2]\n",
         "BUILD_LIST 0, DUP_TOP, STORE_NAME _[1], LOAD_CONST (1, 2), GET_ITER, FOR_ITER >22, "
         "STORE_NAME z, LOAD_NAME _[1], BUILD_LIST 0, DUP_TOP, STORE_NAME _[2], LOAD_NAME y, "
         "GET_ITER, FOR_ITER >19, STORE_NAME x, LOAD_NAME _[2], LOAD_NAME x, LIST_APPEND, "
         "JUMP_ABSOLUTE >13, DELETE_NAME _[2], LIST_APPEND, JUMP_ABSOLUTE >5, DELETE_NAME _[1], "
         "POP_TOP"},
        {"f(x for x in y)\n",
         "LOAD_NAME f, LOAD_CONST <code object <generator expression>, line 1>, MAKE_FUNCTION 0, "
         "LOAD_NAME y, GET_ITER, CALL_FUNCTION 1, CALL_FUNCTION 1, POP_TOP"},
    };
    for (const Case &t : cases) EXPECT_EQ(ops(t.src), t.expected) << t.src;
}

// Bodies of nested blocks (the first code object among the constants).
TEST_F(Compile, Bodies)
{
    const Case cases[] = {
        // Tuple parameters arrive in the hidden local named after their position.
        {"def f(a, (b, (c, d))): pass\n",
         "LOAD_FAST .2, UNPACK_SEQUENCE 2, STORE_FAST b, UNPACK_SEQUENCE 2, STORE_FAST c, "
         "STORE_FAST d, LOAD_CONST None, RETURN_VALUE"},
        {"lambda (a, b), c: a\n",
         "LOAD_FAST .0, UNPACK_SEQUENCE 2, STORE_FAST a, STORE_FAST b, LOAD_FAST a, RETURN_VALUE"},
        // A tuple parameter that a nested function uses is stored in its cell.
        {"def f((a, b)):\n    return lambda: a\n",
         "LOAD_FAST .0, UNPACK_SEQUENCE 2, STORE_DEREF a, STORE_FAST b, LOAD_CLOSURE a, "
         "LOAD_CONST <code object <lambda>, line 2>, MAKE_CLOSURE 0, RETURN_VALUE"},
        {"def f():\n    '''doc'''\n    return 1\n", "LOAD_CONST 1, RETURN_VALUE"},
        {"def f():\n    x = 1\n    def g():\n        return x\n    return g\n",
         "LOAD_CONST 1, STORE_DEREF x, LOAD_CLOSURE x, LOAD_CONST <code object g, line 3>, "
         "MAKE_CLOSURE 0, STORE_FAST g, LOAD_FAST g, RETURN_VALUE"},
        {"def f():\n    global x\n    x = 1\n    del x\n    return y\n",
         "LOAD_CONST 1, STORE_GLOBAL x, DELETE_GLOBAL x, LOAD_GLOBAL y, RETURN_VALUE"},
        {"def f(a):\n    del a\n    [a for a in a]\n",
         "DELETE_FAST a, BUILD_LIST 0, DUP_TOP, STORE_FAST _[1], LOAD_FAST a, GET_ITER, FOR_ITER "
         ">12, STORE_FAST a, LOAD_FAST _[1], LOAD_FAST a, LIST_APPEND, JUMP_ABSOLUTE >6, "
         "DELETE_FAST _[1], POP_TOP, LOAD_CONST None, RETURN_VALUE"},
        // exec and import * keep the locals in a dictionary: names go by name.
        {"def f():\n    exec 'x'\n    return x\n",
         "LOAD_CONST 'x', LOAD_CONST None, DUP_TOP, EXEC_STMT, LOAD_NAME x, RETURN_VALUE"},
        {"def f():\n    for i in x:\n        yield i\n",
         "SETUP_LOOP >10, LOAD_GLOBAL x, GET_ITER, FOR_ITER >9, STORE_FAST i, LOAD_FAST i, "
         "YIELD_VALUE, POP_TOP, JUMP_ABSOLUTE >3, POP_BLOCK, LOAD_CONST None, RETURN_VALUE"},
        {"def f():\n    try:\n        yield 1\n    except:\n        pass\n",
         "SETUP_EXCEPT >6, LOAD_CONST 1, YIELD_VALUE, POP_TOP, POP_BLOCK, JUMP_FORWARD >11, "
         "POP_TOP, POP_TOP, POP_TOP, JUMP_FORWARD >11, END_FINALLY, LOAD_CONST None, RETURN_VALUE"},
        {"(x for x in y if x for z in x)\n",
         "SETUP_LOOP >21, LOAD_FAST [outmost-iterable], FOR_ITER >20, STORE_FAST x, LOAD_FAST x, "
         "JUMP_IF_FALSE >18, POP_TOP, SETUP_LOOP >19, LOAD_FAST x, GET_ITER, FOR_ITER >16, "
         "STORE_FAST z, LOAD_FAST x, YIELD_VALUE, POP_TOP, JUMP_ABSOLUTE >10, POP_BLOCK, "
         "JUMP_ABSOLUTE >2, POP_TOP, JUMP_ABSOLUTE >2, POP_BLOCK, LOAD_CONST None, RETURN_VALUE"},
        {"class C:\n    'doc'\n    x = 1\n",
         "LOAD_GLOBAL __name__, STORE_NAME __module__, LOAD_CONST 'doc', STORE_NAME __doc__, "
         "LOAD_CONST 1, STORE_NAME x, LOAD_LOCALS, RETURN_VALUE"},
        // Names starting with two underscores are mangled inside a class.
        {"class _C:\n    __x = __y__ = f(__k=1)\n    import __m\n",
         "LOAD_GLOBAL __name__, STORE_NAME __module__, LOAD_NAME f, LOAD_CONST '__k', LOAD_CONST "
         "1, CALL_FUNCTION 256, DUP_TOP, STORE_NAME _C__x, STORE_NAME __y__, LOAD_CONST None, "
         "IMPORT_NAME _C__m, STORE_NAME _C__m, LOAD_LOCALS, RETURN_VALUE"},
        // A class body passes an enclosing function's variable on to its methods.
        {"def f():\n    x = 1\n    class C:\n        def m(self): return x\n",
         "LOAD_CONST 1, STORE_DEREF x, LOAD_CONST 'C', LOAD_CONST (), LOAD_CLOSURE x, LOAD_CONST "
         "<code object C, line 3>, MAKE_CLOSURE 0, CALL_FUNCTION 0, BUILD_CLASS, STORE_FAST C, "
         "LOAD_CONST None, RETURN_VALUE"},
    };
    for (const Case &t : cases) EXPECT_EQ(ops(t.src, 1), t.expected) << t.src;
    EXPECT_EQ(ops("class C:\n    def m(self):\n        return self.__x + __y\n", 2),
              "LOAD_FAST self, LOAD_ATTR _C__x, LOAD_GLOBAL _C__y, BINARY_ADD, RETURN_VALUE");
    EXPECT_EQ(ops("def f():\n    x = 1\n    class C:\n        def m(self): return x\n", 2),
              "LOAD_GLOBAL __name__, STORE_NAME __module__, LOAD_CLOSURE x, LOAD_CONST <code "
              "object m, line 4>, MAKE_CLOSURE 0, STORE_NAME m, LOAD_LOCALS, RETURN_VALUE");
    // A class binding the name its method takes from the enclosing function:
    // the class's own x by name, the closure's from the cell.
    EXPECT_EQ(ops("def f():\n    x = 1\n    class C:\n        x = 2\n"
                  "        def m(self): return x\n",
                  2),
              "LOAD_GLOBAL __name__, STORE_NAME __module__, LOAD_CONST 2, STORE_NAME x, "
              "LOAD_CLOSURE x, LOAD_CONST <code object m, line 5>, MAKE_CLOSURE 0, STORE_NAME m, "
              "LOAD_LOCALS, RETURN_VALUE");
    EXPECT_EQ(ops("def f():\n    x = 1\n    def g():\n        def h(): return x\n", 2),
              "LOAD_CLOSURE x, LOAD_CONST <code object h, line 4>, MAKE_CLOSURE 0, STORE_FAST h, "
              "LOAD_CONST None, RETURN_VALUE");
}

// Interactive statements print their expressions; evaluated input returns it.
TEST_F(Compile, InteractiveAndEval)
{
    struct {
        int start;
        const char *src, *expected;
    } cases[] = {
        {single_input, "x\n", "LOAD_NAME x, PRINT_EXPR"},
        {single_input, "'s'\n", "LOAD_CONST 's', PRINT_EXPR"},
        {single_input, "if x:\n    y\n\n",
         "LOAD_NAME x, JUMP_IF_FALSE >6, POP_TOP, LOAD_NAME y, PRINT_EXPR, JUMP_FORWARD >7, "
         "POP_TOP"},
        {eval_input, "a + 1\n", "LOAD_NAME a, LOAD_CONST 1, BINARY_ADD, RETURN_VALUE"},
        {eval_input, "a, b", "LOAD_NAME a, LOAD_NAME b, BUILD_TUPLE 2, RETURN_VALUE"},
    };
    for (const auto &t : cases) {
        Compiled c(t.src, t.start);
        ASSERT_NE(c.code, nullptr) << t.src << c.error << t.start;
        EXPECT_EQ(compact(c.code, t.start == single_input), t.expected) << t.src;
    }
    // An empty interactive line (as the console delivers it) does nothing.
    node *blank = ZvNode_New(single_input);
    ASSERT_EQ(ZvNode_AddChild(blank, NEWLINE, nullptr, 1), 0);
    Owned code(ZvNode_Compile(blank, "<stdin>"));
    ZvNode_Free(blank);
    ASSERT_NE(code.get(), nullptr);
    EXPECT_EQ(compact(code, false), "LOAD_CONST None, RETURN_VALUE");
    // Interactive errors carry the message alone.
    Compiled e("return\n", single_input);
    EXPECT_EQ(e.error, "SyntaxError: 'return' outside function");
    EXPECT_EQ(e.lineno, -1);
}

// The tables of the code objects: counts, flags, names and stack depth.
TEST_F(Compile, CodeObjectTables)
{
    struct {
        const char *src;
        int depth, argcount, nlocals, flags;
        const char *name, *varnames, *cellvars, *freevars;
    } cases[] = {
        {"x = 1\n", 0, 0, 0, CO_NOFREE, "?", "('x',)", "()", "()"},
        {"def f(a, b=1, *c, **d):\n    x = 1\n", 1, 2, 5,
         CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS | CO_NOFREE, "f",
         "('a', 'b', 'c', 'd', 'x')", "()", "()"},
        {"def f(a, (b, c)): pass\n", 1, 2, 4, CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE, "f",
         "('a', '.2', 'b', 'c')", "()", "()"},
        {"def f():\n    yield 1\n", 1, 0, 0, CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR | CO_NOFREE,
         "f", "()", "()", "()"},
        {"def f():\n    exec 'x' in d\n", 1, 0, 0, CO_NEWLOCALS | CO_NOFREE, "f", "()", "()", "()"},
        // Cells that are parameters come first, in parameter order.
        {"def f(b, a):\n    c = 1\n    return lambda: a + b + c\n", 1, 2, 2,
         CO_OPTIMIZED | CO_NEWLOCALS, "f", "('b', 'a')", "('b', 'a', 'c')", "()"},
        {"def f(x):\n    return lambda: x\n", 2, 0, 0, CO_OPTIMIZED | CO_NEWLOCALS, "<lambda>",
         "()", "()", "('x',)"},
        {"class C: pass\n", 1, 0, 0, CO_NEWLOCALS | CO_NOFREE, "C", "()", "()", "()"},
        {"(x for x in y)\n", 1, 1, 2, CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR | CO_NOFREE,
         "<generator expression>", "('[outmost-iterable]', 'x')", "()", "()"},
    };
    for (const auto &t : cases) {
        Compiled c(t.src);
        ASSERT_NE(c.code, nullptr) << t.src << c.error;
        ZvObject *code = c.code;
        for (int i = 0; i < t.depth; i++) code = first_nested(code);
        ASSERT_NE(code, nullptr) << t.src;
        auto *co = (ZvCodeObject *)code;
        EXPECT_EQ(co->co_argcount, t.argcount) << t.src;
        EXPECT_EQ(co->co_nlocals, t.nlocals) << t.src;
        EXPECT_EQ(co->co_flags, t.flags) << t.src;
        EXPECT_EQ(zv_str(co->co_name), t.name) << t.src;
        EXPECT_EQ(zv_repr(co->co_varnames), t.varnames) << t.src;
        EXPECT_EQ(zv_repr(co->co_cellvars), t.cellvars) << t.src;
        EXPECT_EQ(zv_repr(co->co_freevars), t.freevars) << t.src;
        EXPECT_EQ(zv_str(co->co_filename), "<test>");
    }
}

// The deepest value stack of each construct, counting what handlers push.
TEST_F(Compile, StackDepth)
{
    const struct {
        const char *src;
        int depth;
    } cases[] = {
        {"x = 1\n", 1},
        {"f(a, b, c)\n", 4},
        {"a < b < c\n", 3},
        {"{a: b}\n", 4},
        {"x[1:2] += 3\n", 6},
        {"for i in x: pass\n", 2},
        {"[x for x in y]\n", 4},
        {"def f(a=1, b=2): pass\n", 3},
        {"try:\n    a\nexcept E:\n    b\n", 5},
        {"try:\n    a\nfinally:\n    b\n", 4},
        {"for i in x:\n    try:\n        pass\n    finally:\n        [a, b]\n", 6},
    };
    for (const auto &t : cases) {
        Compiled c(t.src);
        ASSERT_NE(c.code, nullptr) << t.src << c.error;
        EXPECT_EQ(c.co()->co_stacksize, t.depth) << t.src;
    }
}

// Constants are keyed by value and type: equal values of one type share a
// slot; 1, 1.0 and 1L do not.
TEST_F(Compile, Constants)
{
    struct {
        const char *src;
        int depth;
        const char *consts;
    } cases[] = {
        {"x = 1; y = 1.0; z = 1L; w = 1; v = 1.0; a = 2; b = 2\n", 0, "(1, 1.0, 1L, 2, None)"},
        {"from m import x\nfrom n import x\nx = 'x'\n", 0, "(('x',), 'x', None)"},
        // A function's first constant is its docstring, or None.
        {"def f():\n    'doc'\n    return 'doc'\n", 1, "('doc', None)"},
        {"def f():\n    return 5\n", 1, "(None, 5)"},
        {"lambda: 'a'\n", 1, "(None, 'a')"},
        {"('a' for x in y)\n", 1, "(None, 'a')"},
        {"class C:\n    x = 5\n", 1, "(None, 5)"},
    };
    for (const auto &t : cases) {
        Compiled c(t.src);
        ASSERT_NE(c.code, nullptr) << t.src << c.error;
        ZvObject *code = c.code;
        for (int i = 0; i < t.depth; i++) code = first_nested(code);
        EXPECT_EQ(zv_repr(((ZvCodeObject *)code)->co_consts), t.consts) << t.src;
    }
    Compiled names("a.b = a.c; import a\n");
    EXPECT_EQ(zv_repr(names.co()->co_names), "('a', 'c', 'b')");
}

// -O drops assert statements and makes `if __debug__` dead; -OO drops
// docstrings too.
TEST_F(Compile, OptimizeFlags)
{
    {
        Optimize o(1);
        EXPECT_EQ(ops("assert (lambda: 1)()\nif __debug__:\n    x\nf = lambda: 2\n"),
                  "LOAD_CONST <code object <lambda>, line 4>, MAKE_FUNCTION 0, STORE_NAME f");
        Compiled c("f = lambda: 2\n");
        EXPECT_EQ(zv_repr(((ZvCodeObject *)first_nested(c.code))->co_consts), "(None, 2)");
        EXPECT_EQ(ops("'doc'\n"), "LOAD_CONST 'doc', STORE_NAME __doc__");
    }
    Optimize o(2);
    EXPECT_EQ(ops("'doc'\nx = 1\n"), "LOAD_CONST 1, STORE_NAME x");
    Compiled f("def f():\n    'doc'\n");
    EXPECT_EQ(zv_repr(((ZvCodeObject *)first_nested(f.code))->co_consts), "(None,)");
    EXPECT_EQ(ops("class C:\n    'doc'\n", 1),
              "LOAD_GLOBAL __name__, STORE_NAME __module__, LOAD_LOCALS, RETURN_VALUE");
}

// `from __future__ import division`, or the caller's flag, makes / true
// division in the block and every block nested in it; the flags come back
// merged.
TEST_F(Compile, FutureDivision)
{
    Compiled c("from __future__ import division\na / b\na /= b\ndef f(): return a / b\n");
    ASSERT_NE(c.code, nullptr) << c.error;
    EXPECT_EQ(compact(c.code, true),
              "LOAD_CONST ('division',), IMPORT_NAME __future__, IMPORT_FROM division, STORE_NAME "
              "division, POP_TOP, LOAD_NAME a, LOAD_NAME b, BINARY_TRUE_DIVIDE, POP_TOP, "
              "LOAD_NAME a, LOAD_NAME b, INPLACE_TRUE_DIVIDE, STORE_NAME a, LOAD_CONST <code "
              "object f, line 4>, MAKE_FUNCTION 0, STORE_NAME f");
    EXPECT_EQ(c.co()->co_flags, CO_FUTURE_DIVISION | CO_NOFREE);
    EXPECT_EQ(((ZvCodeObject *)first_nested(c.code))->co_flags & CO_FUTURE_DIVISION,
              CO_FUTURE_DIVISION);
    EXPECT_EQ(c.cf_flags, CO_FUTURE_DIVISION);
    Compiled given("a / b\n", file_input, CO_FUTURE_DIVISION | ZvCF_SOURCE_IS_UTF8);
    EXPECT_EQ(compact(given.code, true), "LOAD_NAME a, LOAD_NAME b, BINARY_TRUE_DIVIDE, POP_TOP");
    // The source-encoding bit is not a code flag.
    EXPECT_EQ(given.co()->co_flags, CO_FUTURE_DIVISION | CO_NOFREE);
    Compiled classic("a / b\n");
    EXPECT_EQ(classic.cf_flags, 0);
}

// Nested scopes are compiled in the order the analysis numbered them, also
// where evaluation order is not source order (an assigned value before its
// targets, a loop's sequence before its target).
TEST_F(Compile, ScopeOrder)
{
    const char *srcs[] = {
        "def f(a, b):\n    a[(lambda: a)()] = (lambda: b)\n",
        "def f(a, b):\n    for (lambda: a)().x in (lambda: b)(): pass\n",
        "def f(a, b):\n    [1 for (lambda: a)().x in (lambda: b)()]\n",
        "def f(a, b, c):\n    (1 for c in c for (lambda: a)().x in (lambda: b)())\n",
    };
    for (const char *src : srcs) {
        Compiled c(src);
        ASSERT_NE(c.code, nullptr) << src << c.error;
        ZvObject *f = first_nested(c.code);
        std::vector<ZvObject *> inner = nested_codes(f);
        if (inner.size() == 1) inner = nested_codes(inner[0]); // inside the generator
        ASSERT_EQ(inner.size(), 2u) << src;
        EXPECT_EQ(zv_repr(((ZvCodeObject *)inner[0])->co_freevars), "('b',)") << src;
        EXPECT_EQ(zv_repr(((ZvCodeObject *)inner[1])->co_freevars), "('a',)") << src;
    }
}

// The line table: one (address, line) increment pair per new line, split
// when an increment exceeds 255, without a final entry that no instruction
// follows, and never going backwards.
TEST_F(Compile, LineTable)
{
    std::string names;
    for (int i = 0; i < 100; i++) names += "n,";
    const struct {
        std::string src;
        int depth;
        const char *table;
    } cases[] = {
        {"x = 1\ny = 2\n\n\nz = 3\n", 0, "0: 0,1 6,1 6,3"},
        // The statement on the last line emits nothing: its entry goes.
        {"x = 1\npass\n", 0, "0: 0,1"},
        {"x = 1\nif 0:\n    y\n", 0, "0: 0,1"},
        {"def f():\n    x = 1\n    global y\n", 1, "1: 0,1"},
        {"class C:\n    x = 1\n    pass\n", 1, "1: 6,1"},
        // The loop head repeats the line so each iteration starts an entry.
        {"for i in x:\n    y\n", 0, "0: 0,1 7,0 6,1"},
        {"while x:\n    y\n", 0, "0: 0,1 3,0 7,1"},
        {"if a:\n    b\nelif c:\n    d\n", 0, "0: 0,1 7,1 8,1 7,1"},
        {"try:\n    a\nexcept E:\n    b\nexcept:\n    c\n", 0, "0: 0,1 3,1 8,1 14,1 8,1 3,1"},
        {"try:\n    a\nfinally:\n    b\n", 0, "0: 0,1 3,1 8,1 0,1"},
        {"f(a,\n  b)\nx = 1\n", 0, "0: 0,1 6,1 7,1"},
        {"x = 1\n" + std::string(600, '\n') + "y = 2\n", 0, "0: 0,1 6,255 0,255 0,91"},
        {"x = [" + names + "]\ny = 1\n", 0, "0: 0,1 255,0 51,1"},
        // The comprehension's element is compiled after its condition, on a
        // later line: the earlier lines get no entry, later lines stay exact.
        {"[f(a,\n   b) for x in y if g(\n c)]\nz = 1\n", 0, "0: 0,1 20,2 37,1"},
    };
    for (const auto &t : cases) {
        Compiled c(t.src);
        ASSERT_NE(c.code, nullptr) << t.src << c.error;
        ZvObject *code = c.code;
        for (int i = 0; i < t.depth; i++) code = first_nested(code);
        EXPECT_EQ(lnotab_of(code), t.table) << t.src;
    }
}

// Arguments above 0xFFFF are carried by EXTENDED_ARG: constant indexes,
// counts and backward jump targets.
TEST_F(Compile, ExtendedArg)
{
    std::string items;
    for (int i = 0; i <= 65536; i++) items += std::to_string(i) + ",";
    Compiled big("x = [" + items + "]\n");
    ASSERT_NE(big.code, nullptr) << big.error;
    std::string text = disassemble(big.code);
    EXPECT_NE(text.find("196608 EXTENDED_ARG 1\n196611 LOAD_CONST 65536 (65536)\n"
                        "196614 EXTENDED_ARG 1\n196617 BUILD_LIST 65537\n"),
              std::string::npos);
    EXPECT_EQ(big.co()->co_stacksize, 65537);

    Compiled loop(repeat("a = 1\n", 11000) + "for i in x:\n    pass\n");
    ASSERT_NE(loop.code, nullptr) << loop.error;
    text = disassemble(loop.code);
    EXPECT_NE(text.find("66013 EXTENDED_ARG 1\n66016 JUMP_ABSOLUTE 66007 (to 66007)\n"),
              std::string::npos);
    // A forward jump has only 16 bits.
    Compiled far("if x:\n" + repeat("    a = 1\n", 11000));
    EXPECT_EQ(far.error, "SystemError: com_backpatch: offset too large");
}

// Every compile-time error, with its message and the line it is reported at.
TEST_F(Compile, Errors)
{
    std::string args256;
    for (int i = 0; i < 256; i++) args256 += "a,";
    std::string kwargs256;
    for (int i = 0; i < 256; i++) kwargs256 += "k" + std::to_string(i) + "=1,";
    const struct {
        std::string src;
        const char *error;
        int line;
    } cases[] = {
        {"x = 1\nNone = 1\n", "SyntaxError: assignment to None", 2},
        // The first error is reported, and later code cannot replace or lose it.
        {"break\nreturn\n", "SyntaxError: 'break' outside loop", 1},
        {"None = 1; x = ~1.5\n", "SyntaxError: assignment to None", 1},
        {"x.None = 1\n", "SyntaxError: assignment to None", 1},
        {"f(None=1)\n", "SyntaxError: assignment to None", 1},
        {"None += 1\n", "SyntaxError: assignment to None", 1},
        {"for None in x: pass\n", "SyntaxError: assignment to None", 1},
        {"import a as None\n", "SyntaxError: assignment to None", 1},
        {"def f((a, None)): pass\n", "SyntaxError: assignment to None", 1},
        {"del None\n", "SyntaxError: deleting None", 1},
        {"del x.None\n", "SyntaxError: deleting None", 1},
        {"def f():\n    x = 1\n    def g(): return x\n    del x\n",
         "SyntaxError: can not delete variable 'x' referenced in nested scope", 4},
        {"\nbreak\n", "SyntaxError: 'break' outside loop", 2},
        {"def f():\n    continue\n", "SyntaxError: 'continue' not properly in loop", 2},
        {"try:\n    pass\nfinally:\n    continue\n",
         "SyntaxError: 'continue' not properly in loop", 4},
        {"for x in y:\n    try:\n        pass\n    finally:\n        continue\n",
         "SyntaxError: 'continue' not supported inside 'finally' clause", 5},
        // Also through a try block inside the finally body.
        {"for x in y:\n    try:\n        pass\n    finally:\n        try:\n            continue\n"
         "        except:\n            pass\n",
         "SyntaxError: 'continue' not supported inside 'finally' clause", 6},
        {"return 1\n", "SyntaxError: 'return' outside function", 1},
        {"def f():\n    class C:\n        return\n", "SyntaxError: 'return' outside function", 3},
        {"def f():\n    yield 1\n    return 2\n",
         "SyntaxError: 'return' with argument inside generator", 3},
        // Dead code still counts (reported at the if statement).
        {"def f():\n    yield 1\n    if 0:\n        return 2\n",
         "SyntaxError: 'return' with argument inside generator", 3},
        {"yield 1\n", "SyntaxError: 'yield' outside function", 1},
        {"def f():\n    try:\n        yield 1\n    finally:\n        pass\n",
         "SyntaxError: 'yield' not allowed in a 'try' block with a 'finally' clause", 3},
        {"import a b c\n", "SyntaxError: invalid syntax", 1},
        {"from m import x y z\n", "SyntaxError: invalid syntax", 1},
        {"from m import x,\n",
         "SyntaxError: trailing comma not allowed without surrounding parentheses", 1},
        {"try:\n    pass\nexcept:\n    pass\nexcept E:\n    pass\n",
         "SyntaxError: default 'except:' must be last", 3},
        {"def f(a=1, b): pass\n", "SyntaxError: non-default argument follows default argument", 1},
        {"lambda a=1, (b, c): 0\n",
         "SyntaxError: non-default argument follows default argument", 1},
        {"f(a=1, b)\n", "SyntaxError: non-keyword arg after keyword arg", 1},
        {"f(a.b=1)\n", "SyntaxError: keyword can't be an expression", 1},
        {"f(lambda x: x=1)\n", "SyntaxError: lambda cannot contain assignment", 1},
        {"f(a=1,\n  a=2)\n", "SyntaxError: duplicate keyword argument", 2},
        {"f(" + args256 + ")\n", "SyntaxError: more than 255 arguments", 1},
        {"f(" + kwargs256 + ")\n", "SyntaxError: more than 255 arguments", 1},
        {"a + b = 1\n", "SyntaxError: can't assign to operator", 1},
        {"-a = 1\n", "SyntaxError: can't assign to operator", 1},
        {"a ** b = 1\n", "SyntaxError: can't assign to operator", 1},
        {"del a + b\n", "SyntaxError: can't assign to operator", 1},
        {"f() = 1\n", "SyntaxError: can't assign to function call", 1},
        {"f() += 1\n", "SyntaxError: can't assign to function call", 1},
        {"del f()\n", "SyntaxError: can't delete function call", 1},
        {"() = x\n", "SyntaxError: can't assign to ()", 1},
        {"[] = x\n", "SyntaxError: can't assign to []", 1},
        {"(lambda: 1) = x\n", "SyntaxError: can't assign to lambda", 1},
        {"1 = x\n", "SyntaxError: can't assign to literal", 1},
        {"for 'a' in x: pass\n", "SyntaxError: can't assign to literal", 1},
        {"{} = x\n", "SyntaxError: can't assign to literal", 1},
        {"[x for x in y] = 1\n", "SyntaxError: can't assign to list comprehension", 1},
        {"(x for x in y) = 1\n", "SyntaxError: assign to generator expression not possible", 1},
        {"a, b += 1\n",
         "SyntaxError: augmented assign to tuple literal or generator expression not possible", 1},
        {"(a, b) += 1\n",
         "SyntaxError: augmented assign to tuple literal or generator expression not possible", 1},
        {"(x for x in y) += 1\n",
         "SyntaxError: augmented assign to generator expression not possible", 1},
        {"[a] += 1\n",
         "SyntaxError: augmented assign to list literal or comprehension not possible", 1},
        {"[x for x in y] += 1\n",
         "SyntaxError: augmented assign to list literal or comprehension not possible", 1},
        {"import a" + repeat(".abcdefghi", 100) + "\n", "SyntaxError: dotted_name too long", 1},
        // Errors of the analysis pass through unchanged.
        {"def f():\n    from m import *\n    return lambda: x\n",
         "SyntaxError: import * is not allowed in function 'f' because it contains a nested "
         "function with free variables", 2},
        {"from __future__ import braces\n", "SyntaxError: not a chance", 1},
        // Literals this runtime cannot represent yet.
        {"x = u'a'\n", "NotImplementedError: unicode string literals are not supported yet", 1},
        {"x = 'a'\ny = '\\x4'\n", "ValueError: invalid \\x escape", 2},
    };
    for (const auto &t : cases) {
        Compiled c(t.src);
        EXPECT_EQ(c.code, nullptr) << t.src;
        EXPECT_EQ(c.error, t.error) << t.src;
        // Other classes than SyntaxError carry their line as an attribute,
        // which needs exception instances.
        if (c.error.compare(0, 12, "SyntaxError:") == 0 || c.lineno != -1) {
            EXPECT_EQ(c.lineno, t.line) << t.src;
        }
    }
    // Twenty nested blocks are the most a frame can hold.
    auto loops = [](int n) {
        std::string s;
        for (int depth = 0; depth < n; depth++) s += std::string(depth, ' ') + "for x in y:\n";
        return s + std::string(n, ' ') + "pass\n";
    };
    Compiled deep(loops(21));
    EXPECT_EQ(deep.error, "SystemError: too many statically nested blocks");
    Compiled ok(loops(20));
    EXPECT_NE(ok.code, nullptr) << ok.error;
}

// A SyntaxError's value is (message, (filename, line, None, source line)),
// the line read from the file when there is one.
TEST_F(Compile, SyntaxErrorValue)
{
    char path[] = "/tmp/zv_compile_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char src[] = "x = 1\n    \n  None = 2\n";
    ASSERT_EQ(write(fd, src, sizeof src - 1), (ssize_t)(sizeof src - 1));
    close(fd);
    perrdetail err;
    node *tree = ZvParser_ParseStringFlagsFilename("x = 1\n\nNone = 2\n", path, &_ZvParser_Grammar,
                                                    file_input, &err, 0);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(ZvNode_Compile(tree, path), nullptr);
    ZvNode_Free(tree);
    unlink(path);
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    EXPECT_EQ(type, ZvExc_SyntaxError);
    EXPECT_EQ(zv_repr(value), "('assignment to None', ('" + std::string(path) +
                                  "', 3, None, 'None = 2\\n'))");
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
}

// Number and string literals, and the source encoding.
TEST_F(Compile, Literals)
{
    const Case cases[] = {
        {"x = [0x7fffffff, 0x80000000, 0777, 0L, 0x10l, 1e3, 1.25e-1, 00.5]\n",
         "LOAD_CONST 2147483647, LOAD_CONST 2147483648L, LOAD_CONST 511, LOAD_CONST 0L, LOAD_CONST "
         "16L, LOAD_CONST 1000.0, LOAD_CONST 0.125, LOAD_CONST 0.5, BUILD_LIST 8, STORE_NAME x"},
        {"x = 99999999999999999999\n", "LOAD_CONST 99999999999999999999L, STORE_NAME x"},
        {"x = '''a\"b''' \"c'\" r\"\\'\" '\\t\\q\\\n'\n",
         "LOAD_CONST 'a\"bc\\'\\\\\\'\\t\\\\q', STORE_NAME x"},
        {"# coding: latin-1\nx = '\xe9'\n", "LOAD_CONST '\\xe9', STORE_NAME x"},
        {"# coding: utf-8\nx = '\xc3\xa9'\n", "LOAD_CONST '\\xc3\\xa9', STORE_NAME x"},
        {"# coding: ascii\nx = ['a\\n', r'\\n']\n",
         "LOAD_CONST 'a\\n', LOAD_CONST '\\\\n', BUILD_LIST 2, STORE_NAME x"},
    };
    for (const Case &t : cases) EXPECT_EQ(ops(t.src), t.expected) << t.src;
    // A source that arrived as unicode text has no encoding declaration.
    Compiled declared("# coding: latin-1\nx = 1\n", file_input, ZvCF_SOURCE_IS_UTF8);
    EXPECT_EQ(declared.error, "SyntaxError: encoding declaration in Unicode string");
    Compiled utf8("x = '\xc3\xa9'\n", file_input, ZvCF_SOURCE_IS_UTF8);
    EXPECT_EQ(compact(utf8.code, true), "LOAD_CONST '\\xc3\\xa9', STORE_NAME x");
}

// The disassembler lists hand-made bytecode as far as it makes sense and
// never trusts it.
TEST_F(Compile, Disassembler)
{
    const unsigned char bytes[] = {
        LOAD_CONST, 0, 0,         // (5)
        LOAD_NAME, 0, 0,          // (n)
        LOAD_FAST, 5, 0,          // out of range
        LOAD_DEREF, 0, 0,         // the cell
        LOAD_DEREF, 1, 0,         // the free variable
        COMPARE_OP, 6, 0,         // (in)
        200,                      // not an opcode
        EXTENDED_ARG, 1, 0,       // the next argument is 65536 + 2
        LOAD_CONST, 2, 0,         // out of range
        JUMP_FORWARD, 3, 0,       // relative
        JUMP_ABSOLUTE, 0, 0,      // absolute
        EXTENDED_ARG, 0xff, 0x7f, // the largest relative jump
        JUMP_FORWARD, 0xff, 0xff,
        POP_TOP,
        LOAD_CONST, 0,            // truncated
    };
    Owned code(ZvString_FromStringAndSize((const char *)bytes, sizeof bytes));
    Owned consts(Zv_BuildValue("(is)", 5, "s"));
    Owned names(Zv_BuildValue("(s)", "n"));
    Owned varnames(Zv_BuildValue("(s)", "v"));
    Owned freevars(Zv_BuildValue("(s)", "f"));
    Owned cellvars(Zv_BuildValue("(s)", "c"));
    Owned file(ZvString_FromString("f.zv"));
    Owned name(ZvString_FromString("g"));
    Owned lnotab(ZvString_FromString(""));
    Owned co((ZvObject *)ZvCode_New(0, 1, 1, 0, code, consts, names, varnames, freevars, cellvars,
                                    file, name, 1, lnotab));
    ASSERT_NE(co.get(), nullptr);
    EXPECT_EQ(disassemble(co),
              "  0 LOAD_CONST 0 (5)\n"
              "  3 LOAD_NAME 0 (n)\n"
              "  6 LOAD_FAST 5 (?)\n"
              "  9 LOAD_DEREF 0 (c)\n"
              " 12 LOAD_DEREF 1 (f)\n"
              " 15 COMPARE_OP 6 (in)\n"
              " 18 <200>\n"
              " 19 EXTENDED_ARG 1\n"
              " 22 LOAD_CONST 65538 (?)\n"
              " 25 JUMP_FORWARD 3 (to 31)\n"
              " 28 JUMP_ABSOLUTE 0 (to 0)\n"
              " 31 EXTENDED_ARG 32767\n"
              " 34 JUMP_FORWARD 2147483647 (to 2147483684)\n"
              " 37 POP_TOP\n"
              " 38 LOAD_CONST <truncated>\n");
    EXPECT_EQ(_ZvCode_Disassemble(consts), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(_ZvCode_Disassemble(nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

// --- The peephole pass -------------------------------------------------------

namespace {

// Hand-made code for the pass itself: `bytes` with constants (5, "s"), one
// name and a line table.
struct Handmade {
    Owned code, consts, names, lnotab;
    Handmade(const std::vector<int> &bytes, const std::string &table = "")
        : code(ZvString_FromStringAndSize(nullptr, (int)bytes.size())),
          consts(Zv_BuildValue("[is]", 5, "s")), names(Zv_BuildValue("(s)", "n")),
          lnotab(ZvString_FromStringAndSize(table.data(), (int)table.size()))
    {
        char *p = ZvString_AS_STRING(code.get());
        for (size_t i = 0; i < bytes.size(); i++) p[i] = (char)bytes[i];
    }
    ZvObject *optimize() { return _ZvCode_Optimize(code, consts, names, lnotab); }
};

} // namespace

// Each rewrite, and where it must not apply: module snippets without the
// closing return (depth 0) or the first nested body (depth 1).
TEST_F(Compile, PeepholeRewrites)
{
    const struct {
        const char *src;
        int depth;
        const char *expected;
    } cases[] = {
        // Tuples of constants become one constant; a
        // tuple with a variable, or whose loads a jump can enter, is built.
        {"x = (1, 2, 3)\n", 0, "LOAD_CONST (1, 2, 3), STORE_NAME x"},
        // A folded tuple counts as one constant load, after which the count
        // starts again: a folded tuple can only lead a tuple that folds.
        {"x = ((1, 'a'), 2); y = 1,\n", 0,
         "LOAD_CONST ((1, 'a'), 2), STORE_NAME x, LOAD_CONST (1,), STORE_NAME y"},
        {"x = (1, (2, 3)); y = (1, (), 2)\n", 0,
         "LOAD_CONST 1, LOAD_CONST (2, 3), BUILD_TUPLE 2, STORE_NAME x, LOAD_CONST 1, "
         "LOAD_CONST (), LOAD_CONST 2, BUILD_TUPLE 3, STORE_NAME y"},
        {"x = (1, y, 3)\n", 0,
         "LOAD_CONST 1, LOAD_NAME y, LOAD_CONST 3, BUILD_TUPLE 3, STORE_NAME x"},
        {"x = y, (1, 2)\n", 0, "LOAD_NAME y, LOAD_CONST (1, 2), BUILD_TUPLE 2, STORE_NAME x"},
        {"x = (a or 1, 2)\n", 0,
         "LOAD_NAME a, JUMP_IF_TRUE >4, POP_TOP, LOAD_CONST 1, LOAD_CONST 2, BUILD_TUPLE 2, "
         "STORE_NAME x"},
        {"x = [1, 2]\n", 0, "LOAD_CONST 1, LOAD_CONST 2, BUILD_LIST 2, STORE_NAME x"},
        // Swaps need no sequence; other counts and mismatches keep it.
        {"a, b = b, a\n", 0, "LOAD_NAME b, LOAD_NAME a, ROT_TWO, STORE_NAME a, STORE_NAME b"},
        {"a, b, c = c, b, a\n", 0,
         "LOAD_NAME c, LOAD_NAME b, LOAD_NAME a, ROT_THREE, ROT_TWO, STORE_NAME a, STORE_NAME b, "
         "STORE_NAME c"},
        {"[a, b] = [b, a]\n", 0, "LOAD_NAME b, LOAD_NAME a, ROT_TWO, STORE_NAME a, STORE_NAME b"},
        {"a, = b,\n", 0, "LOAD_NAME b, STORE_NAME a"},
        {"a, b = [1, 2]\n", 0, "LOAD_CONST 1, LOAD_CONST 2, ROT_TWO, STORE_NAME a, STORE_NAME b"},
        {"a, b = 1, 2\n", 0, "LOAD_CONST (1, 2), UNPACK_SEQUENCE 2, STORE_NAME a, STORE_NAME b"},
        {"a, b, c, d = d, c, b, a\n", 0,
         "LOAD_NAME d, LOAD_NAME c, LOAD_NAME b, LOAD_NAME a, BUILD_TUPLE 4, UNPACK_SEQUENCE 4, "
         "STORE_NAME a, STORE_NAME b, STORE_NAME c, STORE_NAME d"},
        {"a, b = b, c, d\n", 0,
         "LOAD_NAME b, LOAD_NAME c, LOAD_NAME d, BUILD_TUPLE 3, UNPACK_SEQUENCE 2, STORE_NAME a, "
         "STORE_NAME b"},
        // A true constant is not tested; a false one is.
        {"while 1:\n    f()\n", 0,
         "SETUP_LOOP >7, LOAD_NAME f, CALL_FUNCTION 0, POP_TOP, JUMP_ABSOLUTE >1, POP_TOP, "
         "POP_BLOCK"},
        {"while 0:\n    f()\n", 0,
         "SETUP_LOOP >10, LOAD_CONST 0, JUMP_IF_FALSE >8, POP_TOP, LOAD_NAME f, CALL_FUNCTION 0, "
         "POP_TOP, JUMP_ABSOLUTE >1, POP_TOP, POP_BLOCK"},
        {"if 1:\n    a\nelse:\n    b\n", 0,
         "LOAD_NAME a, POP_TOP, JUMP_FORWARD >6, POP_TOP, LOAD_NAME b, POP_TOP"},
        // not before a test: one JUMP_IF_TRUE, when the target pops.
        {"if not x:\n    a\n", 0,
         "LOAD_NAME x, JUMP_IF_TRUE >6, POP_TOP, LOAD_NAME a, POP_TOP, JUMP_FORWARD >7, POP_TOP"},
        {"x = not a and b\n", 0,
         "LOAD_NAME a, UNARY_NOT, JUMP_IF_FALSE >5, POP_TOP, LOAD_NAME b, STORE_NAME x"},
        {"x = not a\n", 0, "LOAD_NAME a, UNARY_NOT, STORE_NAME x"},
        // not before in, not in, is, is not: the opposite comparison.
        {"not a in b; not a not in b; not a is b; not a is not b; not a == b\n", 0,
         "LOAD_NAME a, LOAD_NAME b, COMPARE_OP not in, POP_TOP, LOAD_NAME a, LOAD_NAME b, "
         "COMPARE_OP in, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP is not, POP_TOP, LOAD_NAME "
         "a, LOAD_NAME b, COMPARE_OP is, POP_TOP, LOAD_NAME a, LOAD_NAME b, COMPARE_OP ==, "
         "UNARY_NOT, POP_TOP"},
        // A conditional jump onto one of the same kind goes on to its
        // target, onto the opposite kind past it.
        {"if a and b:\n    c\n", 0,
         "LOAD_NAME a, JUMP_IF_FALSE >9, POP_TOP, LOAD_NAME b, JUMP_IF_FALSE >9, POP_TOP, "
         "LOAD_NAME c, POP_TOP, JUMP_FORWARD >10, POP_TOP"},
        {"if a or b:\n    c\n", 0,
         "LOAD_NAME a, JUMP_IF_TRUE >5, POP_TOP, LOAD_NAME b, JUMP_IF_FALSE >9, POP_TOP, "
         "LOAD_NAME c, POP_TOP, JUMP_FORWARD >10, POP_TOP"},
        // Jumps onto unconditional jumps go to their destination: forward,
        // backward for JUMP_FORWARD (made absolute), never backward for the
        // other relative ones.
        {"if a:\n    if b:\n        c\n", 0,
         "LOAD_NAME a, JUMP_IF_FALSE >11, POP_TOP, LOAD_NAME b, JUMP_IF_FALSE >9, POP_TOP, "
         "LOAD_NAME c, POP_TOP, JUMP_ABSOLUTE >12, POP_TOP, JUMP_FORWARD >12, POP_TOP"},
        {"for i in x:\n    if a:\n        b\n", 0,
         "SETUP_LOOP >14, LOAD_NAME x, GET_ITER, FOR_ITER >13, STORE_NAME i, LOAD_NAME a, "
         "JUMP_IF_FALSE >11, POP_TOP, LOAD_NAME b, POP_TOP, JUMP_ABSOLUTE >3, POP_TOP, "
         "JUMP_ABSOLUTE >3, POP_BLOCK"},
        {"if a:\n    while b:\n        break\nc\n", 0,
         "LOAD_NAME a, JUMP_IF_FALSE >12, POP_TOP, SETUP_LOOP >13, LOAD_NAME b, JUMP_IF_FALSE >9, "
         "POP_TOP, BREAK_LOOP, JUMP_ABSOLUTE >4, POP_TOP, POP_BLOCK, JUMP_FORWARD >13, POP_TOP, "
         "LOAD_NAME c, POP_TOP"},
        {"for a in b:\n    while c:\n        pass\n", 0,
         "SETUP_LOOP >14, LOAD_NAME b, GET_ITER, FOR_ITER >13, STORE_NAME a, SETUP_LOOP >12, "
         "LOAD_NAME c, JUMP_IF_FALSE >10, POP_TOP, JUMP_ABSOLUTE >6, POP_TOP, POP_BLOCK, "
         "JUMP_ABSOLUTE >3, POP_BLOCK"},
        // The name None is the None constant where the block has one.
        {"x = None; y = (None, 1)\n", 0,
         "LOAD_CONST None, STORE_NAME x, LOAD_CONST (None, 1), STORE_NAME y"},
        {"def f():\n    return None\n", 1, "LOAD_CONST None, RETURN_VALUE"},
        {"lambda: None\n", 1, "LOAD_CONST None, RETURN_VALUE"},
        {"class C:\n    'd'\n    x = None\n", 1,
         "LOAD_GLOBAL __name__, STORE_NAME __module__, LOAD_CONST 'd', STORE_NAME __doc__, "
         "LOAD_NAME None, STORE_NAME x, LOAD_LOCALS, RETURN_VALUE"},
        // An explicit return drops the implicit one after it, not a return
        // a jump can reach.
        {"def f(x):\n    if x:\n        return 1\n    return 2\n", 1,
         "LOAD_FAST x, JUMP_IF_FALSE >6, POP_TOP, LOAD_CONST 1, RETURN_VALUE, JUMP_FORWARD >7, "
         "POP_TOP, LOAD_CONST 2, RETURN_VALUE"},
        {"def f(x):\n    while x:\n        return 1\n", 1,
         "SETUP_LOOP >9, LOAD_FAST x, JUMP_IF_FALSE >7, POP_TOP, LOAD_CONST 1, RETURN_VALUE, "
         "JUMP_ABSOLUTE >1, POP_TOP, POP_BLOCK, LOAD_CONST None, RETURN_VALUE"},
    };
    for (const auto &t : cases) EXPECT_EQ(ops(t.src, t.depth), t.expected) << t.src;

    // The None constant by its index: 0 without a docstring, or when -OO
    // drops it.
    const char *doc = "def f():\n    'doc'\n    return None\n";
    EXPECT_NE(disassemble(first_nested(Compiled(doc).code)).find("LOAD_CONST 1 (None)"),
              std::string::npos);
    {
        Optimize oo(2);
        EXPECT_EQ(disassemble(first_nested(Compiled(doc).code)),
                  "  0 LOAD_CONST 0 (None)\n  3 RETURN_VALUE\n");
    }
    // Without a None constant the lookup stays.
    Compiled eval("None\n", eval_input);
    EXPECT_EQ(compact(eval.code, false), "LOAD_NAME None, RETURN_VALUE");
}

// The bytes after a return are dropped only when they are one instruction
// and a return: an argument byte of 83 (the return opcode) after two
// one-byte instructions is not a return.
TEST_F(Compile, PeepholeDeadReturnNeedsAnInstruction)
{
    std::string params;
    for (int i = 0; i < 84; i++) params += (i ? ", a" : "a") + std::to_string(i);
    Compiled c("def f(" + params + "):\n    return 1\n    print\n    print\n    a83\n");
    ASSERT_NE(c.code, nullptr) << c.error;
    EXPECT_EQ(compact(first_nested(c.code), false),
              "LOAD_CONST 1, RETURN_VALUE, PRINT_NEWLINE, PRINT_NEWLINE, LOAD_FAST a83, POP_TOP, "
              "LOAD_CONST None, RETURN_VALUE");
}

// Every instruction keeps its line and every jump its instruction, across
// every kind of rewrite in one function.
TEST_F(Compile, PeepholeKeepsLinesAndTargets)
{
    Compiled c("def f(a, b):\n"
               "    while 1:\n"
               "        if not a:\n"
               "            return 1\n"
               "        a, b = b, a\n"
               "    return (1, 2)\n");
    ASSERT_NE(c.code, nullptr) << c.error;
    EXPECT_EQ(compact(first_nested(c.code), false, true),
              "2 SETUP_LOOP >16, 3 LOAD_FAST a, 3 JUMP_IF_TRUE >7, 3 POP_TOP, 4 LOAD_CONST 1, "
              "4 RETURN_VALUE, 4 JUMP_FORWARD >8, 4 POP_TOP, 5 LOAD_FAST b, 5 LOAD_FAST a, "
              "5 ROT_TWO, 5 STORE_FAST a, 5 STORE_FAST b, 5 JUMP_ABSOLUTE >1, 5 POP_TOP, "
              "5 POP_BLOCK, 6 LOAD_CONST (1, 2), 6 RETURN_VALUE");
    EXPECT_EQ(lnotab_of(first_nested(c.code)), "1: 0,1 3,0 0,1 7,1 8,1 18,1");
    Compiled m("x = 1\nwhile 1:\n    y = (1,\n         2)\n    if not x in y:\n        break\n");
    ASSERT_NE(m.code, nullptr) << m.error;
    EXPECT_EQ(compact(m.code, false, true),
              "1 LOAD_CONST 1, 1 STORE_NAME x, 2 SETUP_LOOP >16, 3 LOAD_CONST (1, 2), "
              "3 STORE_NAME y, 5 LOAD_NAME x, 5 LOAD_NAME y, 5 COMPARE_OP not in, "
              "5 JUMP_IF_FALSE >12, 5 POP_TOP, 6 BREAK_LOOP, 6 JUMP_ABSOLUTE >3, 6 POP_TOP, "
              "6 JUMP_ABSOLUTE >3, 6 POP_TOP, 6 POP_BLOCK, 6 LOAD_CONST None, 6 RETURN_VALUE");
}

// What the pass leaves exactly as generated: code over 32700 bytes, a line
// table with a 255 byte, and (on hand-made code) EXTENDED_ARG, a pending
// exception, malformed code and lack of memory.
TEST_F(Compile, PeepholeGivesUp)
{
    // 2724 statements of 12 bytes, then 8 + 4 more: exactly 32700 bytes.
    std::string body = repeat("a = (1, 2)\n", 2724) + "b = c\nprint\nprint\n";
    Compiled longest(body);
    ASSERT_NE(longest.code, nullptr) << longest.error;
    EXPECT_EQ(ZvString_GET_SIZE(longest.co()->co_code), 32700 - 2724 * 6);
    Compiled too_long(body + "print\n");
    ASSERT_NE(too_long.code, nullptr) << too_long.error;
    EXPECT_EQ(ZvString_GET_SIZE(too_long.co()->co_code), 32701); // left as generated

    // A line increment of 254 is written as it is, 255 as a 255 byte.
    Compiled near("x = (1, 2)\n" + std::string(253, '\n') + "y = 3\n");
    EXPECT_EQ(compact(near.code, true),
              "LOAD_CONST (1, 2), STORE_NAME x, LOAD_CONST 3, STORE_NAME y");
    Compiled gap("x = (1, 2)\n" + std::string(254, '\n') + "y = 3\n");
    EXPECT_EQ(lnotab_of(gap.code), "0: 0,1 12,255");
    EXPECT_EQ(compact(gap.code, true),
              "LOAD_CONST 1, LOAD_CONST 2, BUILD_TUPLE 2, STORE_NAME x, LOAD_CONST 3, "
              "STORE_NAME y");

    const std::vector<int> fold = {LOAD_CONST, 0, 0, LOAD_CONST, 1, 0, BUILD_TUPLE, 2, 0};
    const struct {
        const char *what;
        std::vector<int> tail;
    } unchanged[] = {
        {"EXTENDED_ARG", {EXTENDED_ARG, 0, 0, LOAD_CONST, 0, 0, RETURN_VALUE}},
        {"a jump into an argument", {JUMP_ABSOLUTE, 1, 0, RETURN_VALUE}},
        {"a jump past the end", {JUMP_FORWARD, 9, 0, RETURN_VALUE}},
        {"a truncated instruction", {RETURN_VALUE, LOAD_CONST, 0}},
    };
    for (const auto &t : unchanged) {
        std::vector<int> bytes = fold;
        bytes.insert(bytes.end(), t.tail.begin(), t.tail.end());
        Handmade h(bytes);
        Owned out(h.optimize());
        EXPECT_EQ(out.get(), h.code.get()) << t.what;
        EXPECT_EQ(ZvList_GET_SIZE(h.consts.get()), 2) << t.what;
    }
    std::vector<int> ok = fold;
    ok.push_back(RETURN_VALUE);
    {
        Handmade h(ok);
        ZvErr_SetString(ZvExc_KeyError, "pending");
        Owned out(h.optimize());
        EXPECT_EQ(out.get(), h.code.get());
        EXPECT_TRUE(zv_raised(ZvExc_KeyError));
    }
    // Whichever allocation fails, the result is the code unchanged (the
    // same object, and no constant added), or rewritten without the fold,
    // or rewritten in full; no error is left behind.
    std::string outcomes;
    for (int n = 1; n <= 6; n++) {
        Handmade h(ok, std::string("\x03\x01\x06\x01", 4));
        _ZvMem_FailNth(n);
        Owned out(h.optimize());
        _ZvMem_FailNth(0);
        ASSERT_NE(out.get(), nullptr);
        EXPECT_EQ(ZvErr_Occurred(), nullptr);
        ZvErr_Clear();
        std::string bytes(ZvString_AS_STRING(out.get()), ZvString_GET_SIZE(out.get()));
        std::string table(ZvString_AS_STRING(h.lnotab.get()), 4);
        if (out.get() == h.code.get()) {
            outcomes += "same ";
            EXPECT_EQ(zv_repr(h.consts), "[5, 's']") << n;
            EXPECT_EQ(table, std::string("\x03\x01\x06\x01", 4)) << n;
        } else if (bytes.size() == 4) {
            outcomes += "folded ";
            EXPECT_EQ(bytes, std::string("\x64\x02\x00\x53", 4)) << n;
            EXPECT_EQ(zv_repr(h.consts), "[5, 's', (5, 's')]") << n;
            EXPECT_EQ(table, std::string("\x00\x01\x03\x01", 4)) << n;
        } else {
            outcomes += "kept ";
            EXPECT_EQ(bytes, std::string(ZvString_AS_STRING(h.code.get()), 10)) << n;
            EXPECT_EQ(zv_repr(h.consts), "[5, 's']") << n;
        }
    }
    for (const char *kind : {"same", "kept", "folded"})
        EXPECT_NE(outcomes.find(kind), std::string::npos) << outcomes;
}

// -O and -OO still compile correct code: run a function that goes through
// the rewrites at each level.
TEST_F(Compile, PeepholeAtEveryOptimizationLevel)
{
    const char *src = "def f(a, b):\n"
                      "    'doc'\n"
                      "    while 1:\n"
                      "        if not a in (1, 2):\n"
                      "            break\n"
                      "        a, b = b, a + 1\n"
                      "    try:\n"
                      "        assert not a\n"
                      "        checked = 'no'\n"
                      "    except AssertionError:\n"
                      "        checked = 'yes'\n"
                      "    return a, b, f.__doc__, checked, None\n"
                      "result = f(1, 5)\n";
    const char *expected[] = {"(5, 2, 'doc', 'yes', None)", "(5, 2, 'doc', 'no', None)",
                              "(5, 2, None, 'no', None)"};
    for (int level = 0; level < 3; level++) {
        Optimize o(level);
        Compiled c(src);
        ASSERT_NE(c.code, nullptr) << c.error;
        Owned globals(ZvDict_New());
        ZvDict_SetItemString(globals, "__builtins__", ZvImport_AddModule("__builtin__"));
        Owned r(ZvEval_EvalCode(c.co(), globals, globals));
        ASSERT_NE(r.get(), nullptr) << zv_error_text();
        EXPECT_EQ(zv_repr(ZvDict_GetItemString(globals, "result")), expected[level]) << level;
    }
}
