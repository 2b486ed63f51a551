// Frames: creation (locals, builtins, restricted flag, free list), the block
// stack, the locals copies, the attributes with the f_lineno jump, the
// collector hooks, deep deallocation and the current-frame queries.
#include <cstring>
#include <vector>

#include "codetest.h"
#include "opcode.h"

namespace {

using FrameTest = ZvTest;

ZvThreadState *tstate()
{
    return ZvThreadState_GET();
}

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

TEST_F(FrameTest, NewFramesTakeTheirShapeAndLocalsFromTheCode)
{
    CodeFields fields;
    fields.nlocals = 2;
    fields.varnames = {"a", "b"};
    fields.cellvars = {"c"};
    fields.freevars = {"d", "e"};
    fields.stacksize = 4;
    fields.firstlineno = 17;
    Owned co((ZvObject *)fields.make()), g(ZvDict_New()), l(ZvDict_New());
    auto *code = (ZvCodeObject *)co.get();
    ZvFrameObject *f = new_frame(code, g);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->f_code, code);
    EXPECT_EQ(f->f_back, nullptr);
    EXPECT_EQ(f->f_tstate, tstate());
    EXPECT_EQ(f->f_lasti, -1);
    EXPECT_EQ(f->f_lineno, 17);
    EXPECT_EQ(f->f_nlocals + f->f_ncells + f->f_nfreevars + f->f_stacksize, 9);
    EXPECT_EQ(f->f_valuestack, f->f_localsplus + 5);
    EXPECT_EQ(f->f_stacktop, f->f_valuestack);
    for (int i = 0; i < 5; i++) // locals, cells and free variables; the stack is not read
        EXPECT_EQ(f->f_localsplus[i], nullptr);
    EXPECT_TRUE(_ZvGC_IS_TRACKED(f));
    // Released frames are recycled, and grown when too small.
    ZvFrameObject *first = f;
    Zv_DECREF(f);
    f = new_frame(code, g);
    EXPECT_EQ(f, first);
    Zv_DECREF(f);
    fields.stacksize = 300;
    Owned big((ZvObject *)fields.make());
    f = new_frame((ZvCodeObject *)big.get(), g);
    EXPECT_EQ(Zv_REFCNT(f), 1);
    EXPECT_GE(Zv_SIZE(f), 305);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(f->f_localsplus[i], nullptr);
    Zv_DECREF(f);
    f = new_frame(code, g);
    EXPECT_GE(Zv_SIZE(f), 305); // kept its slots
    Zv_DECREF(f);

    // The locals mapping depends on the flags.
    const struct {
        int flags;
        ZvObject *locals, *expected; // expected NULL: a fresh dictionary
        bool none;
    } cases[] = {
        {CO_NEWLOCALS | CO_OPTIMIZED, l, nullptr, true},
        {CO_NEWLOCALS, l, nullptr, false},
        {0, nullptr, g, false}, // a module body
        {0, l, l, false},
        {CO_OPTIMIZED, l, l, false},
    };
    for (const auto &c : cases) {
        CodeFields s;
        s.flags = c.flags;
        Owned cc((ZvObject *)s.make());
        Owned fo((ZvObject *)new_frame((ZvCodeObject *)cc.get(), g, c.locals));
        ZvObject *locals = ((ZvFrameObject *)fo.get())->f_locals;
        if (c.none)
            EXPECT_EQ(locals, nullptr);
        else if (c.expected)
            EXPECT_EQ(locals, c.expected);
        else
            EXPECT_TRUE(locals != l.get() && ZvDict_CheckExact(locals) && ZvDict_Size(locals) == 0);
    }
    // Bad arguments are internal-call errors.
    Owned notdict(ZvList_New(0)), notmapping(ZvInt_FromLong(1));
    EXPECT_EQ(ZvFrame_New(nullptr, code, g, nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(new_frame((ZvCodeObject *)g.get(), g), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(new_frame(code, notdict), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
    EXPECT_EQ(new_frame(code, g, notmapping), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}

TEST_F(FrameTest, BuiltinsComeFromTheGlobalsOrTheCaller)
{
    CodeFields fields;
    Owned co((ZvObject *)fields.make());
    auto *code = (ZvCodeObject *)co.get();
    Owned module(ZvModule_New("fakebuiltins")), bdict(ZvDict_New()), five(ZvInt_FromLong(5));
    // globals["__builtins__"] (NULL: none) and the builtins it gives (NULL:
    // a minimal dictionary).
    const std::pair<ZvObject *, ZvObject *> cases[] = {
        {module, ZvModule_GetDict(module)}, {bdict, bdict}, {five, nullptr}, {nullptr, nullptr}};
    for (auto [entry, expected] : cases) {
        Owned g(ZvDict_New());
        if (entry) ZvDict_SetItemString(g, "__builtins__", entry);
        Owned fo((ZvObject *)new_frame(code, g));
        ZvObject *builtins = ((ZvFrameObject *)fo.get())->f_builtins;
        if (expected != nullptr)
            EXPECT_EQ(builtins, expected);
        else
            EXPECT_EQ(zv_repr(builtins), "{'None': None}");
    }

    // Restricted exactly when the builtins are not the interpreter's own.
    ZvInterpreterState *interp = tstate()->interp;
    ZvObject *saved = interp->builtins;
    interp->builtins = bdict;
    Owned g(ZvDict_New()), g2(ZvDict_New());
    ZvDict_SetItemString(g, "__builtins__", bdict);
    Owned own((ZvObject *)new_frame(code, g)), other((ZvObject *)new_frame(code, g2));
    interp->builtins = saved;
    EXPECT_EQ(((ZvFrameObject *)own.get())->f_restricted, 0);
    EXPECT_EQ(((ZvFrameObject *)other.get())->f_restricted, 1);

    // A callee running against the caller's globals shares its builtins,
    // even when the globals' entry changed in between.
    ZvDict_SetItemString(g, "__builtins__", five);
    CurrentFrame current((ZvFrameObject *)own.get());
    Owned callee((ZvObject *)new_frame(code, g)), stranger((ZvObject *)new_frame(code, g2));
    EXPECT_EQ(((ZvFrameObject *)callee.get())->f_back, (ZvFrameObject *)own.get());
    EXPECT_EQ(((ZvFrameObject *)callee.get())->f_builtins, bdict.get());
    EXPECT_NE(((ZvFrameObject *)stranger.get())->f_builtins, bdict.get());
}

TEST_F(FrameTest, BlockStackPushesAndPops)
{
    CodeFields fields;
    Owned co((ZvObject *)fields.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    for (int i = 0; i < CO_MAXBLOCKS; i++)
        ZvFrame_BlockSetup(f, SETUP_LOOP + i % 3, 100 + i, i);
    EXPECT_DEATH(ZvFrame_BlockSetup(f, SETUP_LOOP, 0, 0), "XXX block stack overflow");
    for (int i = CO_MAXBLOCKS; --i >= 0;) {
        ZvTryBlock *b = ZvFrame_BlockPop(f);
        EXPECT_EQ(b->b_type * 10000 + b->b_handler * 100 + b->b_level,
                  (SETUP_LOOP + i % 3) * 10000 + (100 + i) * 100 + i);
    }
    EXPECT_DEATH(ZvFrame_BlockPop(f), "XXX block stack underflow");
}

TEST_F(FrameTest, LocalsCopiesGoBothWaysAndKeepThePendingError)
{
    CodeFields fields;
    fields.flags = CO_NEWLOCALS | CO_OPTIMIZED;
    fields.nlocals = 3;
    fields.varnames = {"a", "b", "c"};
    fields.cellvars = {"cell", "nocell"};
    fields.freevars = {"free"};
    Owned co((ZvObject *)fields.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    Owned one(ZvInt_FromLong(1)), two(ZvInt_FromLong(2)), three(ZvInt_FromLong(3));
    ZvObject **fast = f->f_localsplus;
    fast[0] = ZvInt_FromLong(10); // a
    fast[2] = ZvInt_FromLong(30); // c; b unbound
    fast[3] = fake_cell(one);     // cell
    fast[4] = nullptr;            // nocell: a frame not started yet
    fast[5] = fake_cell(nullptr); // free, empty

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
    CodeFields module;
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
    CodeFields fields;
    fields.flags = CO_NEWLOCALS | CO_OPTIMIZED;
    fields.nlocals = 1;
    fields.varnames = {"v"};
    fields.firstlineno = 10;
    fields.code = std::string("d\0\0d\0\0S", 7);
    fields.stacksize = 2;
    fields.lnotab = "\x03\x02";
    Owned co((ZvObject *)fields.make()), g(ZvDict_New()), hook(ZvInt_FromLong(7));
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    f->f_localsplus[0] = ZvString_FromString("value");
    auto attrs = [&](std::initializer_list<const char *> names) {
        std::string s;
        for (const char *name : names) {
            Owned v(ZvObject_GetAttrString(fo, name));
            s += zv_repr(v) + " ";
        }
        return s;
    };
    EXPECT_EQ(attrs({"f_locals", "f_lasti", "f_restricted", "f_back", "f_trace", "f_exc_type"}),
              "{'v': 'value'} -1 1 None None None ");
    // Without a trace function the line comes from f_lasti; installing one
    // brings f_lineno up to date, and reading then gives f_lineno.
    f->f_lineno = 999;
    f->f_lasti = 3;
    EXPECT_EQ(attrs({"f_lineno"}), "12 ");
    ASSERT_EQ(ZvObject_SetAttrString(fo, "f_trace", hook), 0);
    EXPECT_EQ(f->f_lineno, 12);
    f->f_lineno = 999;
    EXPECT_EQ(attrs({"f_lineno", "f_trace"}), "999 7 ");
    ASSERT_EQ(ZvObject_SetAttrString(fo, "f_trace", nullptr), 0);
    EXPECT_EQ(attrs({"f_lineno", "f_trace"}), "12 None ");
    // The handled-exception fields are writable; the others are not.
    ASSERT_EQ(ZvObject_SetAttrString(fo, "f_exc_type", ZvExc_KeyError), 0);
    EXPECT_EQ(f->f_exc_type, ZvExc_KeyError);
    for (const char *ro :
         {"f_back", "f_code", "f_builtins", "f_globals", "f_lasti", "f_restricted", "f_locals"}) {
        EXPECT_EQ(ZvObject_SetAttrString(fo, ro, Zv_None), -1) << ro;
        ZvErr_Clear();
    }
}

namespace {

// A tiny assembler: instructions with their source lines, jump arguments
// naming the target instruction's index.  Gives the bytecode, the line
// table the compiler would make, and each instruction's address.
struct Ins {
    int line, op, arg;
};
struct Assembled {
    std::string code, lnotab;
    std::vector<int> addr;
};
Assembled assemble(const std::vector<Ins> &prog)
{
    Assembled a;
    int pc = 0;
    for (const Ins &i : prog) {
        a.addr.push_back(pc);
        pc += HAS_ARG(i.op) ? 3 : 1;
    }
    int last_addr = 0, last_line = 1;
    for (size_t k = 0; k < prog.size(); k++) {
        const Ins &i = prog[k];
        if (i.line != last_line) {
            a.lnotab += {(char)(a.addr[k] - last_addr), (char)(i.line - last_line)};
            last_addr = a.addr[k];
            last_line = i.line;
        }
        a.code += (char)i.op;
        if (!HAS_ARG(i.op)) continue;
        int arg = i.arg, kind = _ZvOpcode_ArgKind(i.op);
        if (kind == ZvOpArg_REL) arg = a.addr[arg] - (a.addr[k] + 3);
        if (kind == ZvOpArg_ABS) arg = a.addr[arg];
        a.code += {(char)(arg & 0xff), (char)(arg >> 8)};
    }
    return a;
}

// def f(): (line 1)  x = 1 / for i in y: x = 2 / try: x = 3 finally: x = 4 /
// try: x = 5 except: x = 6 / return x
const std::vector<Ins> kProgram = {
    {2, LOAD_CONST, 1},    {2, STORE_FAST, 0},    {3, SETUP_LOOP, 11},    // 0-2
    {3, LOAD_FAST, 1},     {3, GET_ITER, 0},      {3, FOR_ITER, 10},      // 3-5
    {3, STORE_FAST, 2},    {4, LOAD_CONST, 1},    {4, STORE_FAST, 0},     // 6-8
    {4, JUMP_ABSOLUTE, 5}, {4, POP_BLOCK, 0},     {5, SETUP_FINALLY, 16}, // 9-11
    {6, LOAD_CONST, 1},    {6, STORE_FAST, 0},    {6, POP_BLOCK, 0},      // 12-14
    {6, LOAD_CONST, 0},    {8, LOAD_CONST, 1},    {8, STORE_FAST, 0},     // 15-17
    {8, END_FINALLY, 0},   {9, SETUP_EXCEPT, 24}, {10, LOAD_CONST, 1},    // 18-20
    {10, STORE_FAST, 0},   {10, POP_BLOCK, 0},    {10, JUMP_FORWARD, 31}, // 21-23
    {11, POP_TOP, 0},      {11, POP_TOP, 0},      {11, POP_TOP, 0},       // 24-26
    {12, LOAD_CONST, 1},   {12, STORE_FAST, 0},   {12, JUMP_FORWARD, 31}, // 27-29
    {12, END_FINALLY, 0},  {13, LOAD_FAST, 0},    {13, RETURN_VALUE, 0},  // 30-32
};

// A frame with a trace function for `code`, standing at `lasti` with
// `blocks` loop blocks; NULL when the code is refused at creation.
ZvObject *traced_frame(const std::string &code, const std::string &lnotab, int lasti, int blocks)
{
    CodeFields fields;
    fields.flags = CO_NEWLOCALS | CO_OPTIMIZED;
    fields.nlocals = 3;
    fields.varnames = {"x", "y", "i"};
    fields.stacksize = 5; // room for the handlers' items
    fields.consts = {Zv_None, Zv_True};
    fields.code = code;
    fields.lnotab = lnotab;
    Owned co((ZvObject *)fields.make()), g(ZvDict_New());
    if (co.get() == nullptr) return nullptr;
    auto *f = new_frame((ZvCodeObject *)co.get(), g);
    ZvObject_SetAttrString((ZvObject *)f, "f_trace", Zv_True);
    f->f_lasti = lasti;
    for (int i = 0; i < blocks; i++)
        ZvFrame_BlockSetup(f, SETUP_LOOP, 0, 0);
    return (ZvObject *)f;
}

// Sets f_lineno the way a trace function does: with the frame running and
// stopped for the call, its stack top saved.
int jump(ZvObject *f, int line, bool current = true)
{
    Owned v(ZvInt_FromLong(line));
    CurrentFrame running(current ? (ZvFrameObject *)f : tstate()->frame);
    return ZvObject_SetAttrString(f, "f_lineno", v);
}

} // namespace

TEST_F(FrameTest, JumpingRefusesWhatTheCodeCannotDo)
{
    Assembled a = assemble(kProgram);
    std::string nested;
    for (int i = 0; i <= CO_MAXBLOCKS; i++)
        nested += std::string("x\0\0", 3);
    const struct {
        std::string code, lnotab; // empty code: the program above
        int lasti, blocks, line;
        const char *message;
    } cases[] = {
        {"", "", 0, 0, 0, "line 0 comes before the current code block"},
        {"", "", 0, 0, 14, "line 14 comes after the current code block"},
        {"", "", 0, 0, 11, "can't jump to 'except' line as there's no exception"},
        {"", "", 0, 0, 8, "can't jump into or out of a 'finally' block"},
        {"", "", a.addr[16], 0, 6, "can't jump into or out of a 'finally' block"},
        {"", "", 0, 0, 4, "can't jump into the middle of a block"},
        {"", "", 0, 0, 10, "can't jump into the middle of a block"},
        // Tables that do not match the code: pointing past its end, into an
        // argument, or just after EXTENDED_ARG (whose high half would be
        // lost); block ends without a start, more blocks than a frame
        // holds, and a frame whose blocks do not match its position.
        {{"d\0\0S", 4}, "\x10\x01", 0, 0, 2, "line 2 comes after the current code block"},
        {{"d\0\0S", 4}, "\x01\x01", 0, 0, 2, "can't jump into the middle of an instruction"},
        {{"\x8f\0\0d\0\0S", 7},
         "\x03\x01",
         0,
         0,
         2,
         "can't jump into the middle of an instruction"},
        {{"Wd\0\0S", 5}, "\x01\x01", 0, 0, 2, "can't jump: unmatched block end"},
        {nested + "S", "\x03\x01", 0, 0, 2, "can't jump: too many nested blocks"},
        {{"x\0\0d\0\0Wd\0\0S", 11},
         "\x03\x01\x04\x01",
         3,
         0,
         3,
         "can't jump into the middle of a block"},
    };
    for (const auto &c : cases) {
        bool program = c.code.empty();
        Owned f(traced_frame(program ? a.code : c.code, program ? a.lnotab : c.lnotab, c.lasti,
                             c.blocks));
        if (f.get() == nullptr) { // refusing such code at creation is just as safe
            EXPECT_TRUE(zv_raised(ZvExc_SystemError));
            continue;
        }
        EXPECT_EQ(jump(f, c.line), -1);
        EXPECT_EQ(zv_error_of(ZvExc_ValueError), c.message) << c.line;
        EXPECT_EQ(((ZvFrameObject *)f.get())->f_lasti, c.lasti);
    }
    Owned f(traced_frame(a.code, a.lnotab, 0, 0)), text(ZvString_FromString("2"));
    EXPECT_EQ(ZvObject_SetAttrString(f, "f_lineno", text), -1);
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "lineno must be an integer");
    EXPECT_EQ(ZvObject_SetAttrString(f, "f_lineno", nullptr), -1); // deleting
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "lineno must be an integer");
    // Only a frame stopped for a trace call may jump: not one that is not
    // running (a suspended generator), nor one running without a saved
    // stack top, nor one without a trace function.
    EXPECT_EQ(jump(f, 2, false), -1);
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "f_lineno can only be set by a trace function");
    ZvObject **top = ((ZvFrameObject *)f.get())->f_stacktop;
    ((ZvFrameObject *)f.get())->f_stacktop = nullptr;
    EXPECT_EQ(jump(f, 2), -1);
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "f_lineno can only be set by a trace function");
    ((ZvFrameObject *)f.get())->f_stacktop = top;
    ZvObject_SetAttrString(f, "f_trace", nullptr);
    EXPECT_EQ(jump(f, 2), -1);
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "f_lineno can only be set by a trace function");
}

TEST_F(FrameTest, JumpingMovesAndPopsBlocks)
{
    Assembled a = assemble(kProgram);
    // Each frame stands where the program could stand: `blocks` blocks and
    // `stack` items (the loop's iterator, or the None a finally body starts
    // with) on the value stack.
    const struct {
        int lasti, blocks, stack, line; // lasti -1: not started
        int new_lasti, new_line, new_blocks, new_stack;
    } cases[] = {
        {0, 0, 0, 13, a.addr[31], 13, 0, 0},          // forward over whole statements
        {-1, 0, 0, 13, a.addr[31], 13, 0, 0},         // from a frame not started yet
        {a.addr[12], 1, 0, 9, a.addr[19], 9, 0, 0},   // out of a try body
        {a.addr[16], 0, 1, 7, a.addr[16], 8, 0, 1},   // a line without code: the next one
        {a.addr[7], 1, 1, 2, 0, 2, 0, 0},             // backwards out of a loop body
        {a.addr[7], 1, 1, 3, a.addr[2], 3, 0, 0},     // ... to the loop's own line
    };
    for (const auto &c : cases) {
        Owned fo(traced_frame(a.code, a.lnotab, c.lasti, c.blocks));
        auto *f = (ZvFrameObject *)fo.get();
        Owned item(ZvList_New(0));
        for (int i = 0; i < c.stack; i++) {
            Zv_INCREF(item.get());
            *f->f_stacktop++ = item.get();
        }
        ASSERT_EQ(jump(fo, c.line), 0) << c.line << ": " << zv_error_text();
        EXPECT_EQ(f->f_lasti, c.new_lasti) << c.line;
        EXPECT_EQ(f->f_lineno, c.new_line) << c.line;
        EXPECT_EQ(f->f_iblock, c.new_blocks) << c.line;
        EXPECT_EQ(f->f_stacktop - f->f_valuestack, c.new_stack) << c.line;
        EXPECT_EQ(Zv_REFCNT(item.get()), 1 + c.new_stack) << c.line;
    }
}

// The stack a jump leaves must be one the code was verified for: a line
// may begin in the middle of an expression, with operands on the stack.
TEST_F(FrameTest, JumpingRefusesAStackTheTargetDoesNotExpect)
{
    Assembled a = assemble(kProgram);
    Owned fo(traced_frame(a.code, a.lnotab, 0, 0));
    auto *f = (ZvFrameObject *)fo.get();
    Zv_INCREF(Zv_None);
    *f->f_stacktop++ = Zv_None; // an operand the target line does not expect
    EXPECT_EQ(jump(fo, 13), -1);
    EXPECT_EQ(zv_error_of(ZvExc_ValueError), "can't jump into the middle of an expression");
    EXPECT_EQ(f->f_lasti, 0);
}

TEST_F(FrameTest, CollectorHooksAndLongCallerChains)
{
    CodeFields fields;
    fields.nlocals = 1;
    fields.varnames = {"a"};
    fields.stacksize = 2;
    Owned co((ZvObject *)fields.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    f->f_localsplus[0] = ZvInt_FromLong(1000);
    f->f_valuestack[0] = ZvInt_FromLong(2000);
    f->f_stacktop = f->f_valuestack + 1; // suspended with one entry
    f->f_trace = ZvInt_FromLong(3000);
    f->f_exc_type = ZvInt_FromLong(4000);
    int seen = 0;
    auto visit = [](ZvObject *, void *arg) { return ++*static_cast<int *>(arg), 0; };
    ASSERT_EQ(ZvFrame_Type.tp_traverse(fo, visit, &seen), 0);
    // code, builtins, globals, locals (the globals again), trace, exc_type,
    // the local and the stack entry.
    EXPECT_EQ(seen, 8);
    ASSERT_EQ(ZvFrame_Type.tp_clear(fo), 0);
    EXPECT_TRUE(!f->f_stacktop && !f->f_localsplus[0] && !f->f_valuestack[0] && !f->f_trace &&
                !f->f_exc_type);

    // A chain of callers far longer than the native stack could recurse
    // through is released by the deep-deallocation guard.
    ZvFrameObject *last = nullptr;
    for (int i = 0; i < 100000; i++) {
        CurrentFrame current(last);
        ZvFrameObject *callee = new_frame((ZvCodeObject *)co.get(), g);
        ASSERT_NE(callee, nullptr);
        Zv_XDECREF(last); // the callee holds it now
        last = callee;
    }
    Zv_DECREF(last);
}

TEST_F(FrameTest, CurrentFrameQueriesReadTheRunningFrame)
{
    ZvCompilerFlags cf = {0};
    EXPECT_TRUE(!ZvEval_GetFrame() && !ZvEval_GetGlobals() && !ZvEval_GetLocals());
    EXPECT_EQ(ZvEval_GetRestricted(), 0);
    EXPECT_EQ(ZvEval_GetBuiltins(), tstate()->interp->builtins);
    EXPECT_EQ(ZvEval_MergeCompilerFlags(&cf), 0);
    EXPECT_EQ(ZvObject_Dir(nullptr), nullptr);
    EXPECT_EQ(zv_error_of(ZvExc_SystemError), "frame does not exist");

    CodeFields fields;
    fields.flags = CO_NEWLOCALS | CO_OPTIMIZED | CO_FUTURE_DIVISION | CO_GENERATOR;
    fields.nlocals = 2;
    fields.varnames = {"zeta", "alpha"};
    Owned co((ZvObject *)fields.make()), g(ZvDict_New());
    Owned fo((ZvObject *)new_frame((ZvCodeObject *)co.get(), g));
    auto *f = (ZvFrameObject *)fo.get();
    f->f_localsplus[0] = ZvInt_FromLong(1);
    f->f_localsplus[1] = ZvInt_FromLong(2);
    CurrentFrame current(f);
    EXPECT_EQ(ZvEval_GetFrame(), f);
    EXPECT_EQ(ZvEval_GetGlobals(), g.get());
    EXPECT_EQ(ZvEval_GetBuiltins(), f->f_builtins);
    EXPECT_EQ(ZvEval_GetRestricted(), 1);
    EXPECT_EQ(dict_text(ZvEval_GetLocals()), "alpha=2 zeta=1"); // fast locals copied in
    Owned dir(ZvObject_Dir(nullptr));
    EXPECT_EQ(zv_repr(dir), "['alpha', 'zeta']");
    EXPECT_EQ(ZvEval_MergeCompilerFlags(&cf), 1); // only the future bits pass on
    EXPECT_EQ(cf.cf_flags, CO_FUTURE_DIVISION);
}
