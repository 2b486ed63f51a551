// Frames: creation (locals, builtins, restricted flag, free list), the block
// stack, the locals copies, the attributes with the f_lineno jump, the
// collector hooks, deep deallocation and the current-frame queries.
#include <cstring>
#include <vector>

#include "codetest.h"
#include "opcode.h"

namespace {

using FrameTest = ZvTest;

ZvThreadState *tstate() { return ZvThreadState_GET(); }

ZvFrameObject *new_frame(ZvCodeObject *co, ZvObject *globals, ZvObject *locals = nullptr)
{
    return ZvFrame_New(tstate(), co, globals, locals);
}

// Makes `f` the thread's current frame for the lifetime of the guard.
struct CurrentFrame {
    ZvFrameObject *saved;
    explicit CurrentFrame(ZvFrameObject *f) : saved(tstate()->frame) { tstate()->frame = f; }
    ~CurrentFrame() { tstate()->frame = saved; }
};

// A stand-in for the cell type: the frame reads cells only through their
// record, so any object of that layout exercises the copies.
void fakecell_dealloc(ZvObject *o)
{
    Zv_XDECREF(ZvCell_GET(o));
    ZvObject_Del(o);
}
ZvTypeObject FakeCell_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "fakecell", sizeof(ZvCellObject), 0, fakecell_dealloc,
};
ZvObject *fake_cell(ZvObject *v)
{
    auto *c = ZvObject_New(ZvCellObject, &FakeCell_Type);
    Zv_XINCREF(v);
    c->ob_ref = v;
    return (ZvObject *)c;
}

// The items of a dictionary as "key=value" pairs in key order.
std::string dict_text(ZvObject *d)
{
    Owned keys(ZvDict_Keys(d));
    ZvList_Sort(keys);
    std::string s;
    for (int i = 0; i < ZvList_GET_SIZE(keys.get()); i++) {
        ZvObject *k = ZvList_GET_ITEM(keys.get(), i);
        if (!s.empty()) s += ' ';
        s += zv_str(k) + "=" + zv_repr(ZvDict_GetItem(d, k));
    }
    return s;
}

} // namespace

TEST_F(FrameTest, NewFrameStartsEmptyWithTheCodesCounts)
{
    CodeSpec spec;
    spec.nlocals = 2;
    spec.varnames = {"a", "b"};
    spec.cellvars = {"c"};
    spec.freevars = {"d", "e"};
    spec.stacksize = 4;
    spec.firstlineno = 17;
    Owned co((ZvObject *)spec.make());
    Owned g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    ASSERT_NE(fo.get(), nullptr);
    auto *f = (ZvFrameObject *)fo.get();
    EXPECT_EQ(f->f_code, (ZvCodeObject *)co.get());
    EXPECT_EQ(f->f_globals, g.get());
    EXPECT_EQ(f->f_back, nullptr);
    EXPECT_EQ(f->f_tstate, tstate());
    EXPECT_EQ(f->f_lasti, -1);
    EXPECT_EQ(f->f_lineno, 17);
    EXPECT_EQ(f->f_iblock, 0);
    EXPECT_EQ(f->f_nlocals, 2);
    EXPECT_EQ(f->f_ncells, 1);
    EXPECT_EQ(f->f_nfreevars, 2);
    EXPECT_EQ(f->f_stacksize, 4);
    EXPECT_GE(Zv_SIZE(f), 9);
    EXPECT_EQ(f->f_valuestack, f->f_localsplus + 5);
    EXPECT_EQ(f->f_stacktop, f->f_valuestack);
    for (int i = 0; i < 9; i++) EXPECT_EQ(f->f_localsplus[i], nullptr);
    EXPECT_TRUE(_ZvGC_IS_TRACKED(fo.get()));
    // Bad arguments are internal-call errors.
    Owned notdict(ZvList_New(0)), notmapping(ZvInt_FromLong(1));
    EXPECT_EQ(ZvFrame_New(nullptr, (ZvCodeObject *)co.get(), g, nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(new_frame((ZvCodeObject *)g.get(), g), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(new_frame((ZvCodeObject *)co.get(), notdict), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(new_frame((ZvCodeObject *)co.get(), g, notmapping), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(FrameTest, LocalsDependOnTheCodeFlags)
{
    Owned g(ZvDict_New()), l(ZvDict_New());
    struct Case {
        int flags;
        ZvObject *locals;
        enum { NONE, FRESH, GLOBALS, GIVEN } expect;
    };
    const Case cases[] = {
        {CO_NEWLOCALS | CO_OPTIMIZED, l, Case::NONE},
        {CO_NEWLOCALS, l, Case::FRESH},
        {0, nullptr, Case::GLOBALS}, // a module body
        {0, l, Case::GIVEN},
        {CO_OPTIMIZED, l, Case::GIVEN},
    };
    for (const Case &c : cases) {
        CodeSpec spec;
        spec.flags = c.flags;
        Owned co((ZvObject *)spec.make());
        Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g, c.locals));
        ASSERT_NE(fo.get(), nullptr);
        ZvObject *locals = ((ZvFrameObject *)fo.get())->f_locals;
        switch (c.expect) {
        case Case::NONE: EXPECT_EQ(locals, nullptr); break;
        case Case::FRESH:
            ASSERT_NE(locals, nullptr);
            EXPECT_TRUE(ZvDict_CheckExact(locals));
            EXPECT_NE(locals, l.get());
            EXPECT_EQ(ZvDict_Size(locals), 0);
            break;
        case Case::GLOBALS: EXPECT_EQ(locals, g.get()); break;
        case Case::GIVEN: EXPECT_EQ(locals, l.get()); break;
        }
    }
}

TEST_F(FrameTest, BuiltinsComeFromTheGlobalsOrTheCaller)
{
    CodeSpec spec;
    Owned co((ZvObject *)spec.make());
    auto *code = (ZvCodeObject *)co.get();
    Owned module(ZvModule_New("fakebuiltins")), bdict(ZvDict_New()), five(ZvInt_FromLong(5));
    struct Case {
        ZvObject *entry; // globals["__builtins__"], or NULL for none
        ZvObject *expected; // NULL: a minimal dictionary
    };
    const Case cases[] = {
        {module, ZvModule_GetDict(module)},
        {bdict, bdict},
        {five, nullptr},
        {nullptr, nullptr},
    };
    for (const Case &c : cases) {
        Owned g(ZvDict_New());
        if (c.entry) ZvDict_SetItemString(g, "__builtins__", c.entry);
        Owned fo((ZvObject *)new_frame(code, g));
        ASSERT_NE(fo.get(), nullptr);
        auto *f = (ZvFrameObject *)fo.get();
        if (c.expected != nullptr) {
            EXPECT_EQ(f->f_builtins, c.expected);
        } else {
            EXPECT_EQ(zv_repr(f->f_builtins), "{'None': None}");
        }
    }

    // Restricted exactly when the builtins are not the interpreter's own.
    ZvInterpreterState *interp = tstate()->interp;
    ZvObject *saved = interp->builtins;
    interp->builtins = bdict;
    Owned g(ZvDict_New());
    ZvDict_SetItemString(g, "__builtins__", bdict);
    Owned own((ZvObject *)new_frame(code, g));
    Owned g2(ZvDict_New());
    Owned other((ZvObject *)new_frame(code, g2));
    interp->builtins = saved;
    EXPECT_EQ(((ZvFrameObject *)own.get())->f_restricted, 0);
    EXPECT_EQ(((ZvFrameObject *)other.get())->f_restricted, 1);

    // A callee running against the caller's globals shares its builtins,
    // even when the globals' entry changed in between.
    ZvDict_SetItemString(g, "__builtins__", five);
    {
        CurrentFrame current((ZvFrameObject *)own.get());
        Owned callee((ZvObject *)new_frame(code, g));
        EXPECT_EQ(((ZvFrameObject *)callee.get())->f_back, (ZvFrameObject *)own.get());
        EXPECT_EQ(((ZvFrameObject *)callee.get())->f_builtins, bdict.get());
        Owned stranger((ZvObject *)new_frame(code, g2));
        EXPECT_NE(((ZvFrameObject *)stranger.get())->f_builtins, bdict.get());
    }
}

TEST_F(FrameTest, FramesAreRecycledAndGrownWhenTooSmall)
{
    CodeSpec small, big;
    big.stacksize = 300;
    Owned cs((ZvObject *)small.make()), cb((ZvObject *)big.make()), g(ZvDict_New());
    ZvFrameObject *f = new_frame((ZvCodeObject *)cs.get(), g);
    ZvFrameObject *first = f;
    Zv_DECREF(f);
    f = new_frame((ZvCodeObject *)cs.get(), g);
    EXPECT_EQ(f, first); // taken back from the free list
    EXPECT_EQ(Zv_REFCNT(f), 1);
    Zv_DECREF(f);
    f = new_frame((ZvCodeObject *)cb.get(), g);
    ASSERT_NE(f, nullptr);
    EXPECT_GE(Zv_SIZE(f), 300);
    for (int i = 0; i < 300; i++) EXPECT_EQ(f->f_valuestack[i], nullptr);
    Zv_DECREF(f);
}

TEST_F(FrameTest, BlockStackPushesAndPops)
{
    CodeSpec spec;
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    for (int i = 0; i < CO_MAXBLOCKS; i++) ZvFrame_BlockSetup(f, SETUP_LOOP, 100 + i, i);
    EXPECT_EQ(f->f_iblock, CO_MAXBLOCKS);
    EXPECT_DEATH(ZvFrame_BlockSetup(f, SETUP_LOOP, 0, 0), "XXX block stack overflow");
    for (int i = CO_MAXBLOCKS; --i >= 0;) {
        ZvTryBlock *b = ZvFrame_BlockPop(f);
        EXPECT_EQ(b->b_type, SETUP_LOOP);
        EXPECT_EQ(b->b_handler, 100 + i);
        EXPECT_EQ(b->b_level, i);
    }
    EXPECT_DEATH(ZvFrame_BlockPop(f), "XXX block stack underflow");
}

TEST_F(FrameTest, LocalsCopiesGoBothWaysAndKeepThePendingError)
{
    CodeSpec spec;
    spec.flags = CO_NEWLOCALS | CO_OPTIMIZED;
    spec.nlocals = 3;
    spec.varnames = {"a", "b", "c"};
    spec.cellvars = {"cell", "nocell"};
    spec.freevars = {"free"};
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    Owned one(ZvInt_FromLong(1)), two(ZvInt_FromLong(2)), three(ZvInt_FromLong(3));
    ZvObject **fast = f->f_localsplus;
    fast[0] = ZvInt_FromLong(10);         // a
    fast[2] = ZvInt_FromLong(30);         // c; b unbound
    fast[3] = fake_cell(one);             // cell
    fast[4] = nullptr;                    // nocell: a frame not started yet
    fast[5] = fake_cell(nullptr);         // free, empty

    ZvErr_SetString(ZvExc_KeyError, "pending");
    ZvFrame_FastToLocals(f);
    ASSERT_NE(f->f_locals, nullptr);
    EXPECT_EQ(dict_text(f->f_locals), "a=10 c=30 cell=1");
    EXPECT_EQ(zv_error_text(), "pending"); // survived the copy

    // Stale keys go when their slot is empty.
    ZvDict_SetItemString(f->f_locals, "b", two);
    ZvDict_SetItemString(f->f_locals, "free", two);
    ZvFrame_FastToLocals(f);
    EXPECT_EQ(dict_text(f->f_locals), "a=10 c=30 cell=1");

    // Back to the slots: without clear a missing name keeps its slot.
    ZvDict_SetItemString(f->f_locals, "b", two);
    ZvDict_SetItemString(f->f_locals, "free", three);
    ZvDict_SetItemString(f->f_locals, "nocell", three);
    ZvDict_DelItemString(f->f_locals, "a");
    ZvDict_DelItemString(f->f_locals, "cell");
    ZvErr_SetString(ZvExc_KeyError, "still pending");
    ZvFrame_LocalsToFast(f, 0);
    EXPECT_EQ(zv_error_text(), "still pending");
    EXPECT_EQ(zv_repr(fast[0]), "10");
    EXPECT_EQ(fast[1], two.get());
    EXPECT_EQ(ZvCell_GET(fast[3]), one.get());
    EXPECT_EQ(fast[4], nullptr); // no cell to store into
    EXPECT_EQ(ZvCell_GET(fast[5]), three.get());
    // With clear the missing ones are emptied.
    ZvFrame_LocalsToFast(f, 1);
    EXPECT_EQ(fast[0], nullptr);
    EXPECT_EQ(fast[1], two.get());
    EXPECT_EQ(ZvCell_GET(fast[3]), nullptr);

    // Any mapping will do, and its errors are swallowed: a read-only view
    // refuses every store.
    Owned backing(ZvDict_New()), proxy(ZvDictProxy_New(backing));
    CodeSpec module;
    module.nlocals = 1;
    module.varnames = {"x"};
    Owned mco((ZvObject *)module.make());
    Owned mf((ZvObject *)new_frame((ZvCodeObject *)mco.get(), g, proxy));
    ASSERT_NE(mf.get(), nullptr);
    auto *m = (ZvFrameObject *)mf.get();
    m->f_localsplus[0] = ZvInt_FromLong(5);
    ZvErr_SetString(ZvExc_IndexError, "kept");
    ZvFrame_FastToLocals(m);
    ZvFrame_LocalsToFast(m, 1);
    EXPECT_EQ(zv_error_text(), "kept");
    EXPECT_EQ(ZvDict_Size(backing), 0);
    EXPECT_EQ(m->f_localsplus[0], nullptr); // the failed lookup counted as missing
}

TEST_F(FrameTest, AttributesReadAndWrite)
{
    CodeSpec spec;
    spec.flags = CO_NEWLOCALS | CO_OPTIMIZED;
    spec.nlocals = 1;
    spec.varnames = {"v"};
    spec.firstlineno = 10;
    spec.code = std::string("d\0\0d\0\0S", 7);
    spec.stacksize = 2;
    spec.lnotab = std::string("\x03\x02", 2);
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    f->f_localsplus[0] = ZvString_FromString("value");
    auto attr = [&](const char *name) {
        Owned v(ZvObject_GetAttrString(fo, name));
        return zv_repr(v);
    };
    EXPECT_EQ(attr("f_locals"), "{'v': 'value'}");
    EXPECT_EQ(attr("f_lasti"), "-1");
    EXPECT_EQ(attr("f_restricted"), "1");
    EXPECT_EQ(attr("f_back"), "None");
    EXPECT_EQ(attr("f_trace"), "None");
    EXPECT_EQ(attr("f_exc_type"), "None");
    // Without a trace function the line comes from f_lasti.
    f->f_lineno = 999;
    f->f_lasti = 3;
    EXPECT_EQ(attr("f_lineno"), "12");
    // Installing one brings f_lineno up to date; reading then gives it.
    Owned hook(ZvInt_FromLong(7));
    ASSERT_EQ(ZvObject_SetAttrString(fo, "f_trace", hook), 0);
    EXPECT_EQ(f->f_lineno, 12);
    f->f_lineno = 999;
    EXPECT_EQ(attr("f_lineno"), "999");
    ASSERT_EQ(ZvObject_SetAttrString(fo, "f_trace", nullptr), 0);
    EXPECT_EQ(f->f_trace, nullptr);
    EXPECT_EQ(attr("f_lineno"), "12");
    // The handled-exception fields are writable; the others are not.
    ASSERT_EQ(ZvObject_SetAttrString(fo, "f_exc_type", ZvExc_KeyError), 0);
    EXPECT_EQ(f->f_exc_type, ZvExc_KeyError);
    for (const char *ro : {"f_back", "f_code", "f_builtins", "f_globals", "f_lasti",
                           "f_restricted", "f_locals"}) {
        EXPECT_EQ(ZvObject_SetAttrString(fo, ro, Zv_None), -1) << ro;
        EXPECT_NE(ZvErr_Occurred(), nullptr) << ro;
        ZvErr_Clear();
    }
}

namespace {

// A tiny assembler: instructions with their source lines; jump arguments
// name the target instruction's index.  Produces the bytecode, the line
// table the compiler would make, and each instruction's address.
struct Ins {
    int line, op, arg;
};
struct Assembled {
    std::string code, lnotab;
    std::vector<int> addr;
};
Assembled assemble(const std::vector<Ins> &prog, int firstlineno)
{
    Assembled a;
    int pc = 0;
    for (const Ins &i : prog) {
        a.addr.push_back(pc);
        pc += HAS_ARG(i.op) ? 3 : 1;
    }
    int last_addr = 0, last_line = firstlineno;
    for (size_t k = 0; k < prog.size(); k++) {
        const Ins &i = prog[k];
        if (i.line != last_line) {
            a.lnotab += (char)(a.addr[k] - last_addr);
            a.lnotab += (char)(i.line - last_line);
            last_addr = a.addr[k];
            last_line = i.line;
        }
        a.code += (char)i.op;
        if (!HAS_ARG(i.op)) continue;
        int arg = i.arg;
        int kind = _ZvOpcode_ArgKind(i.op);
        if (kind == ZvOpArg_REL) arg = a.addr[arg] - (a.addr[k] + 3);
        if (kind == ZvOpArg_ABS) arg = a.addr[arg];
        a.code += (char)(arg & 0xff);
        a.code += (char)(arg >> 8);
    }
    return a;
}

// x = 1 / for i in y: x = 2 / try: x = 3 finally: x = 4 /
// try: x = 5 except: x = 6 / return x
const std::vector<Ins> kProgram = {
    {2, LOAD_CONST, 1},     {2, STORE_FAST, 0},      {3, SETUP_LOOP, 11},  // 0-2
    {3, LOAD_FAST, 1},      {3, GET_ITER, 0},        {3, FOR_ITER, 10},    // 3-5
    {3, STORE_FAST, 2},     {4, LOAD_CONST, 1},      {4, STORE_FAST, 0},   // 6-8
    {4, JUMP_ABSOLUTE, 5},  {4, POP_BLOCK, 0},       {5, SETUP_FINALLY, 16}, // 9-11
    {6, LOAD_CONST, 1},     {6, STORE_FAST, 0},      {6, POP_BLOCK, 0},    // 12-14
    {6, LOAD_CONST, 0},     {8, LOAD_CONST, 1},      {8, STORE_FAST, 0},   // 15-17
    {8, END_FINALLY, 0},    {9, SETUP_EXCEPT, 24},   {10, LOAD_CONST, 1},  // 18-20
    {10, STORE_FAST, 0},    {10, POP_BLOCK, 0},      {10, JUMP_FORWARD, 31}, // 21-23
    {11, POP_TOP, 0},       {11, POP_TOP, 0},        {11, POP_TOP, 0},     // 24-26
    {12, LOAD_CONST, 1},    {12, STORE_FAST, 0},     {12, JUMP_FORWARD, 31}, // 27-29
    {12, END_FINALLY, 0},   {13, LOAD_FAST, 0},      {13, RETURN_VALUE, 0}, // 30-32
};

struct JumpFrame {
    Owned co, globals, frame;
    explicit JumpFrame(const Assembled &a)
        : co(nullptr), globals(ZvDict_New()), frame(nullptr)
    {
        CodeSpec spec;
        spec.flags = CO_NEWLOCALS | CO_OPTIMIZED;
        spec.nlocals = 3;
        spec.varnames = {"x", "y", "i"};
        spec.stacksize = 3;
        spec.consts = {Zv_None, Zv_True};
        spec.code = a.code;
        spec.lnotab = a.lnotab;
        co.p = (ZvObject *)spec.make();
        if (co.p != nullptr) frame.p = (ZvObject *)new_frame((ZvCodeObject *)co.p, globals);
    }
    ZvFrameObject *f() const { return (ZvFrameObject *)frame.get(); }
    int set_trace()
    {
        return ZvObject_SetAttrString(frame, "f_trace", Zv_True);
    }
    int jump(ZvObject *lineno) { return ZvObject_SetAttrString(frame, "f_lineno", lineno); }
    int jump(int lineno)
    {
        Owned v(ZvInt_FromLong(lineno));
        return jump(v);
    }
};

} // namespace

TEST_F(FrameTest, JumpingRefusesWhatTheCodeCannotDo)
{
    Assembled a = assemble(kProgram, 1);
    struct Case {
        int from;   // instruction index of f_lasti
        int blocks; // loop blocks active at `from`
        int to_line;
        const char *message;
    };
    const Case cases[] = {
        {0, 0, 0, "line 0 comes before the current code block"},
        {0, 0, 14, "line 14 comes after the current code block"},
        {0, 0, 11, "can't jump to 'except' line as there's no exception"},
        {0, 0, 8, "can't jump into or out of a 'finally' block"},
        {16, 0, 6, "can't jump into or out of a 'finally' block"},
        {0, 0, 4, "can't jump into the middle of a block"},
        {0, 0, 10, "can't jump into the middle of a block"},
    };
    for (const Case &c : cases) {
        JumpFrame jf(a);
        ASSERT_NE(jf.f(), nullptr);
        ASSERT_EQ(jf.set_trace(), 0);
        jf.f()->f_lasti = a.addr[c.from];
        EXPECT_EQ(jf.jump(c.to_line), -1) << c.to_line;
        EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_ValueError));
        EXPECT_EQ(zv_error_text(), c.message) << "line " << c.to_line;
        EXPECT_EQ(jf.f()->f_lasti, a.addr[c.from]);
    }
    JumpFrame jf(a);
    EXPECT_EQ(jf.jump(2), -1);
    EXPECT_EQ(zv_error_text(), "f_lineno can only be set by a trace function");
    ASSERT_EQ(jf.set_trace(), 0);
    Owned text(ZvString_FromString("2"));
    EXPECT_EQ(jf.jump(text), -1);
    EXPECT_EQ(zv_error_text(), "lineno must be an integer");
    EXPECT_EQ(jf.jump(nullptr), -1); // deleting
    EXPECT_EQ(zv_error_text(), "lineno must be an integer");
}

TEST_F(FrameTest, JumpingMovesAndPopsBlocks)
{
    Assembled a = assemble(kProgram, 1);
    // Forward over whole statements, and from a frame not started yet.
    for (int from : {0, -1}) {
        JumpFrame jf(a);
        ASSERT_EQ(jf.set_trace(), 0);
        jf.f()->f_lasti = from < 0 ? -1 : a.addr[from];
        ASSERT_EQ(jf.jump(13), 0);
        EXPECT_EQ(jf.f()->f_lasti, a.addr[31]);
        EXPECT_EQ(jf.f()->f_lineno, 13);
    }
    // A line without code lands on the next line that has some.
    {
        JumpFrame jf(a);
        ASSERT_EQ(jf.set_trace(), 0);
        jf.f()->f_lasti = a.addr[12]; // inside try: finally
        ZvFrame_BlockSetup(jf.f(), SETUP_FINALLY, a.addr[16], 0);
        ASSERT_EQ(jf.jump(9), 0);
        EXPECT_EQ(jf.f()->f_lasti, a.addr[19]);
        jf.f()->f_lasti = a.addr[16];
        ASSERT_EQ(jf.jump(7), 0); // line 8: inside the same finally body
        EXPECT_EQ(jf.f()->f_lasti, a.addr[16]);
        EXPECT_EQ(jf.f()->f_lineno, 8);
    }
    // Backwards out of the loop body: the loop block and the iterator above
    // its level are dropped.
    JumpFrame jf(a);
    ASSERT_EQ(jf.set_trace(), 0);
    ZvFrameObject *f = jf.f();
    f->f_lasti = a.addr[7];
    ZvFrame_BlockSetup(f, SETUP_LOOP, a.addr[11], 0);
    Owned iterator(ZvList_New(0));
    Zv_INCREF(iterator.get());
    f->f_valuestack[0] = iterator.get();
    f->f_stacktop = f->f_valuestack + 1;
    int refs = Zv_REFCNT(iterator.get());
    ASSERT_EQ(jf.jump(2), 0);
    EXPECT_EQ(f->f_lasti, 0);
    EXPECT_EQ(f->f_lineno, 2);
    EXPECT_EQ(f->f_iblock, 0);
    EXPECT_EQ(f->f_stacktop, f->f_valuestack);
    EXPECT_EQ(Zv_REFCNT(iterator.get()), refs - 1);
}

TEST_F(FrameTest, JumpingRefusesTablesThatDoNotMatchTheCode)
{
    struct Case {
        std::string code, lnotab;
        int lasti, iblock, line;
        const char *message;
    };
    std::string nested;
    for (int i = 0; i < CO_MAXBLOCKS + 1; i++) nested += std::string("x\0\0", 3);
    nested += "S";
    const Case cases[] = {
        // The table points past the end of the code.
        {std::string("d\0\0S", 4), std::string("\x10\x01", 2), 0, 0, 2,
         "line 2 comes after the current code block"},
        // ... into an argument ...
        {std::string("d\0\0S", 4), std::string("\x01\x01", 2), 0, 0, 2,
         "can't jump into the middle of an instruction"},
        // ... or just after EXTENDED_ARG, whose high half would be lost.
        {std::string("\x8f\0\0d\0\0S", 7), std::string("\x03\x01", 2), 0, 0, 2,
         "can't jump into the middle of an instruction"},
        // Block ends without a start, and more blocks than a frame holds.
        {std::string("Wd\0\0S", 5), std::string("\x01\x01", 2), 0, 0, 2,
         "can't jump: unmatched block end"},
        {nested, std::string("\x03\x01", 2), 0, 0, 2, "can't jump: too many nested blocks"},
        // A frame whose block count does not match its position.
        {std::string("x\0\0d\0\0Wd\0\0S", 11), std::string("\x03\x01\x04\x01", 4), 3, 0, 3,
         "can't jump into the middle of a block"},
    };
    for (const Case &c : cases) {
        CodeSpec spec;
        spec.code = c.code;
        spec.lnotab = c.lnotab;
        spec.stacksize = 2;
        Owned co((ZvObject *)spec.make()), g(ZvDict_New());
        if (co.get() == nullptr) {
            // Refusing such code at creation is just as safe.
            EXPECT_TRUE(zv_raised(ZvExc_SystemError));
            continue;
        }
        Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
        auto *f = (ZvFrameObject *)fo.get();
        ASSERT_EQ(ZvObject_SetAttrString(fo, "f_trace", Zv_True), 0);
        f->f_lasti = c.lasti;
        f->f_iblock = c.iblock;
        Owned line(ZvInt_FromLong(c.line));
        EXPECT_EQ(ZvObject_SetAttrString(fo, "f_lineno", line), -1);
        EXPECT_EQ(zv_error_text(), c.message);
        EXPECT_EQ(f->f_iblock, c.iblock);
    }
}

TEST_F(FrameTest, CollectorHooksVisitAndClearEverything)
{
    CodeSpec spec;
    spec.nlocals = 1;
    spec.varnames = {"a"};
    spec.stacksize = 2;
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    f->f_localsplus[0] = ZvInt_FromLong(1000);
    f->f_valuestack[0] = ZvInt_FromLong(2000);
    f->f_stacktop = f->f_valuestack + 1; // suspended with one entry
    f->f_trace = ZvInt_FromLong(3000);
    f->f_exc_type = ZvInt_FromLong(4000);
    std::vector<ZvObject *> seen;
    auto visit = [](ZvObject *o, void *arg) {
        static_cast<std::vector<ZvObject *> *>(arg)->push_back(o);
        return 0;
    };
    ASSERT_EQ(ZvFrame_Type.tp_traverse(fo, visit, &seen), 0);
    // code, builtins, globals, locals (the globals again), trace, exc_type,
    // the local and the stack entry.
    EXPECT_EQ(seen.size(), 8u);
    ASSERT_EQ(ZvFrame_Type.tp_clear(fo), 0);
    EXPECT_EQ(f->f_stacktop, nullptr);
    EXPECT_EQ(f->f_localsplus[0], nullptr);
    EXPECT_EQ(f->f_valuestack[0], nullptr);
    EXPECT_EQ(f->f_trace, nullptr);
    EXPECT_EQ(f->f_exc_type, nullptr);
}

TEST_F(FrameTest, LongCallerChainsAreReleasedWithoutDeepRecursion)
{
    CodeSpec spec;
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    ZvFrameObject *last = nullptr;
    ZvFrameObject *saved = tstate()->frame;
    for (int i = 0; i < 100000; i++) {
        tstate()->frame = last;
        ZvFrameObject *f = new_frame((ZvCodeObject *)co.get(), g);
        ASSERT_NE(f, nullptr);
        Zv_XDECREF(last); // the chain now holds it
        last = f;
    }
    tstate()->frame = saved;
    Zv_DECREF(last);
}

TEST_F(FrameTest, CurrentFrameQueriesReadTheRunningFrame)
{
    EXPECT_EQ(ZvEval_GetFrame(), nullptr);
    EXPECT_EQ(ZvEval_GetGlobals(), nullptr);
    EXPECT_EQ(ZvEval_GetLocals(), nullptr);
    EXPECT_EQ(ZvEval_GetRestricted(), 0);
    EXPECT_EQ(ZvEval_GetBuiltins(), tstate()->interp->builtins);
    ZvCompilerFlags none = {0};
    EXPECT_EQ(ZvEval_MergeCompilerFlags(&none), 0);
    EXPECT_EQ(ZvObject_Dir(nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    CodeSpec spec;
    spec.flags = CO_NEWLOCALS | CO_OPTIMIZED | CO_FUTURE_DIVISION | CO_GENERATOR;
    spec.nlocals = 2;
    spec.varnames = {"zeta", "alpha"};
    Owned co((ZvObject *)spec.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    f->f_localsplus[0] = ZvInt_FromLong(1);
    f->f_localsplus[1] = ZvInt_FromLong(2);
    CurrentFrame current(f);
    EXPECT_EQ(ZvEval_GetFrame(), f);
    EXPECT_EQ(ZvEval_GetGlobals(), g.get());
    EXPECT_EQ(ZvEval_GetBuiltins(), f->f_builtins);
    EXPECT_EQ(ZvEval_GetRestricted(), 1);
    ZvObject *locals = ZvEval_GetLocals();
    EXPECT_EQ(dict_text(locals), "alpha=2 zeta=1");
    Owned dir(ZvObject_Dir(nullptr));
    EXPECT_EQ(zv_repr(dir), "['alpha', 'zeta']");
    // Only the future bits pass on.
    ZvCompilerFlags cf = {0};
    EXPECT_EQ(ZvEval_MergeCompilerFlags(&cf), 1);
    EXPECT_EQ(cf.cf_flags, CO_FUTURE_DIVISION);
}
