// Hand-made bytecode: what the verifier refuses before it runs, what the
// evaluation loop refuses while it runs, and that neither ever reads or
// writes outside the frame.
#include <gtest/gtest.h>

#include <string>

#include "codetest.h"
#include "opcode.h"
#include "zvtest.h"

namespace {

std::string op(int code) { return std::string(1, (char)code); }

std::string op(int code, int arg)
{
    std::string s(1, (char)code);
    s += (char)(arg & 0xff);
    s += (char)((arg >> 8) & 0xff);
    return s;
}

// Runs a code object in a fresh namespace; returns the result (new
// reference) or NULL with the error left set.
ZvObject *run(ZvCodeObject *co)
{
    Owned globals(ZvDict_New());
    ZvDict_SetItemString(globals, "__builtins__", ZvImport_AddModule("__builtin__"));
    return ZvEval_EvalCode(co, globals, globals);
}

struct BadCase {
    const char *what;
    std::string code;
    int stacksize;
    int nlocals;
};

const std::string ret = op(LOAD_CONST, 0) + op(RETURN_VALUE);

TEST(VerifyTest, RefusesBytecodeThatWouldLeaveTheFrame)
{
    std::string nest;
    for (int i = 0; i < 21; i++) nest += op(SETUP_LOOP, 0);
    const BadCase cases[] = {
        {"empty", "", 1, 0},
        {"unknown opcode", op(0) + ret, 1, 0},
        {"constant out of range", op(LOAD_CONST, 5) + op(RETURN_VALUE), 1, 0},
        {"local out of range", op(LOAD_FAST, 3) + op(RETURN_VALUE), 1, 1},
        {"name out of range", op(LOAD_NAME, 0) + op(RETURN_VALUE), 1, 0},
        {"cell out of range", op(LOAD_DEREF, 0) + op(RETURN_VALUE), 1, 0},
        {"pop from an empty stack", op(POP_TOP) + ret, 1, 0},
        {"push past the stack size", op(LOAD_CONST, 0) + op(LOAD_CONST, 0) + ret, 1, 0},
        {"jump into an argument", op(JUMP_ABSOLUTE, 1) + ret, 1, 0},
        {"jump past the end", op(JUMP_FORWARD, 100) + ret, 1, 0},
        {"falls off the end", op(LOAD_CONST, 0) + op(POP_TOP), 1, 0},
        {"truncated argument", ret + std::string(1, (char)LOAD_CONST), 1, 0},
        {"extended argument before a plain opcode", op(EXTENDED_ARG, 0) + op(POP_TOP) + ret, 1, 0},
        {"DUP_TOPX 4", op(LOAD_CONST, 0) + op(DUP_TOPX, 4) + ret, 8, 0},
        {"comparison code 11", ret.substr(0, 3) + ret.substr(0, 3) + op(COMPARE_OP, 11) + op(RETURN_VALUE), 2, 0},
        {"21 nested blocks", nest + ret, 1, 0},
        {"POP_BLOCK without a block", op(POP_BLOCK) + ret, 1, 0},
        {"break outside a loop", op(BREAK_LOOP) + ret, 1, 0},
        {"a loop that grows the stack", op(LOAD_CONST, 0) + op(JUMP_ABSOLUTE, 0), 50, 0},
        {"pop below the block's level",
         op(LOAD_CONST, 0) + op(SETUP_EXCEPT, 4) + op(POP_TOP) + op(POP_BLOCK) + ret, 4, 0},
        {"MAKE_CLOSURE without its code", op(LOAD_CONST, 0) + op(MAKE_CLOSURE, 0) + op(RETURN_VALUE), 2, 0},
    };
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.what);
        CodeFields fields;
        fields.code = c.code;
        fields.stacksize = c.stacksize;
        fields.nlocals = c.nlocals;
        for (int i = 0; i < c.nlocals; i++) fields.varnames.push_back("v");
        Owned co((ZvObject *)fields.make());
        ASSERT_NE(co.get(), nullptr) << zv_error_text();
        Owned result(run((ZvCodeObject *)co.get()));
        EXPECT_EQ(result.get(), nullptr);
        EXPECT_TRUE(zv_raised(ZvExc_SystemError));
        ZvErr_Clear();
    }
}

// A continue through a finally block travels as values on the stack; a
// forged one that would land with a different stack is refused at run time.
TEST(VerifyTest, ForgedContinueIsRefusedWhereARealOneRuns)
{
    // 0 SETUP_LOOP (to 19); 3-9 three constants; 12 END_FINALLY; 13-14 two
    // POP_TOPs; 15 CONTINUE_LOOP 3, the only verified landing (depth 0);
    // 18 POP_BLOCK; 19 LOAD_CONST 0; 22 RETURN_VALUE.  END_FINALLY meets
    // the forged status 32 with the target 3 below it and one extra item
    // under that, so the continue would land with depth 1.
    CodeFields fields;
    fields.stacksize = 3;
    Owned three(ZvInt_FromLong(3)), status(ZvInt_FromLong(32));
    std::string forged = op(SETUP_LOOP, 16) + op(LOAD_CONST, 0) + op(LOAD_CONST, 1) +
                         op(LOAD_CONST, 2) + op(END_FINALLY) + op(POP_TOP) + op(POP_TOP) +
                         op(CONTINUE_LOOP, 3) + op(POP_BLOCK) + ret;
    fields.code = forged;
    fields.consts = {Zv_None, three.get(), status.get()};
    Owned bad((ZvObject *)fields.make());
    ASSERT_NE(bad.get(), nullptr) << zv_error_text();
    Owned result(run((ZvCodeObject *)bad.get()));
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    ZvErr_Clear();
}

// Statuses END_FINALLY cannot act on, and items it would pop from below
// the block, are errors rather than jumps.
TEST(VerifyTest, EndFinallyChecksWhatItPops)
{
    Owned big(ZvInt_FromLong(1000)), ret_status(ZvInt_FromLong(8)), cls(ZvString_FromString("x"));
    struct {
        const char *what;
        std::vector<ZvObject *> consts;
    } cases[] = {
        {"unknown status", {Zv_None, big.get()}},
        {"return status without a value", {Zv_None, ret_status.get()}},
        {"re-raise without value and traceback", {Zv_None, cls.get()}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        CodeFields fields;
        fields.code = op(LOAD_CONST, 1) + op(END_FINALLY) + ret;
        fields.stacksize = 2;
        fields.consts = c.consts;
        Owned co((ZvObject *)fields.make());
        ASSERT_NE(co.get(), nullptr) << zv_error_text();
        Owned result(run((ZvCodeObject *)co.get()));
        EXPECT_EQ(result.get(), nullptr);
        EXPECT_TRUE(zv_raised(ZvExc_SystemError));
        ZvErr_Clear();
    }
}

} // namespace
