// Code objects: the line table, validation and interning in ZvCode_New,
// the code() constructor, repr, comparison, hashing and the attributes.
#include <cstring>
#include <vector>

#include "codetest.h"

using CodeTest = ZvTest;

TEST_F(CodeTest, Addr2LineFollowsTheTable)
{
    struct Case {
        std::string lnotab;
        int firstlineno;
        std::vector<std::pair<int, int>> addr_line;
    };
    const Case cases[] = {
        {"", 7, {{-1, 7}, {0, 7}, {100, 7}}},
        {std::string("\x06\x01\x08\x02", 4), 10,
         {{0, 10}, {5, 10}, {6, 11}, {13, 11}, {14, 13}, {1000, 13}}},
        // (255, 0) carries a long address step; (0, 255) a long line step.
        {std::string("\xff\x00\x01\x01", 4), 1, {{254, 1}, {255, 1}, {256, 2}}},
        {std::string("\x02\xff\x00\xff\x00\x02", 6), 1, {{1, 1}, {2, 513}}},
        // A dangling odd byte is not half a pair.
        {std::string("\x02\x01\x05", 3), 1, {{1, 1}, {2, 2}, {50, 2}}},
        // Lines that would pass the int range stop at its end.
        {std::string("\x00\xff", 2), INT32_MAX - 3, {{0, INT32_MAX}}},
    };
    for (const Case &c : cases) {
        CodeSpec spec;
        spec.lnotab = c.lnotab;
        spec.firstlineno = c.firstlineno;
        Owned co((ZvObject *)spec.make());
        ASSERT_NE(co.get(), nullptr);
        for (auto [addr, line] : c.addr_line)
            EXPECT_EQ(ZvCode_Addr2Line((ZvCodeObject *)co.get(), addr), line)
                << "first line " << c.firstlineno << ", address " << addr;
    }
}

TEST_F(CodeTest, NoFreeFlagTellsTheTruth)
{
    struct Case {
        int flags;
        std::vector<const char *> freevars, cellvars;
        bool nofree;
    };
    const Case cases[] = {
        {0, {}, {}, true},
        {CO_NOFREE, {}, {}, true},
        {CO_NOFREE, {"x"}, {}, false}, // a false claim is dropped
        {0, {}, {"y"}, false},
        {CO_NOFREE | CO_OPTIMIZED, {"x"}, {"y"}, false},
    };
    for (const Case &c : cases) {
        CodeSpec spec;
        spec.flags = c.flags;
        spec.freevars = c.freevars;
        spec.cellvars = c.cellvars;
        Owned co((ZvObject *)spec.make());
        ASSERT_NE(co.get(), nullptr);
        EXPECT_EQ((((ZvCodeObject *)co.get())->co_flags & CO_NOFREE) != 0, c.nofree);
        EXPECT_EQ(((ZvCodeObject *)co.get())->co_flags & ~CO_NOFREE, c.flags & ~CO_NOFREE);
    }
}

TEST_F(CodeTest, NamesAndIdentifierLikeConstantsAreInterned)
{
    Owned abc(ZvString_FromString("abc_1")), empty(ZvString_FromString("")),
        blank(ZvString_FromString("a b")), hyphen(ZvString_FromString("a-b")),
        digits(ZvString_FromString("0123")), one(ZvInt_FromLong(1));
    // Built at run time, so no interned copy is the same object yet.
    Owned consts(zv_tuple({abc.get(), empty.get(), blank.get(), hyphen.get(), digits.get(),
                           one.get()}));
    Owned names(zv_names({"spam"})), varnames(zv_names({"eggs"})), freevars(zv_names({"fv"})),
        cellvars(zv_names({"cv"}));
    Owned code(zv_bytes(std::string("d\0\0S", 4))), filename(ZvString_FromString("f.zv")),
        name(ZvString_FromString("n")), lnotab(ZvString_FromString(""));
    Owned co((ZvObject *)ZvCode_New(0, 1, 1, 0, code, consts, names, varnames, freevars,
                                    cellvars, filename, name, 1, lnotab));
    ASSERT_NE(co.get(), nullptr);
    auto interned = [](ZvObject *tuple, int i) {
        return ZvString_CHECK_INTERNED(ZvTuple_GET_ITEM(tuple, i)) != SSTATE_NOT_INTERNED;
    };
    auto *c = (ZvCodeObject *)co.get();
    EXPECT_TRUE(interned(c->co_names, 0));
    EXPECT_TRUE(interned(c->co_varnames, 0));
    EXPECT_TRUE(interned(c->co_freevars, 0));
    EXPECT_TRUE(interned(c->co_cellvars, 0));
    const bool expected[] = {true, true, false, false, true};
    for (int i = 0; i < 5; i++) EXPECT_EQ(interned(c->co_consts, i), expected[i]) << i;
    Owned spam(ZvString_InternFromString("spam"));
    EXPECT_EQ(ZvTuple_GET_ITEM(c->co_names, 0), spam.get());
}

TEST_F(CodeTest, NewRejectsBadKindsWithoutTouchingTheTuples)
{
    Owned code(zv_bytes("S")), tup(ZvTuple_New(0)), str(ZvString_FromString("not_yet_interned_name")),
        num(ZvInt_FromLong(3)), bad_names(zv_tuple({str.get(), num.get()}));
    ZvObject *t = tup, *s = str, *c = code;
    struct Case {
        int argcount, nlocals;
        ZvObject *code, *consts, *names, *varnames, *freevars, *cellvars, *filename, *name,
            *lnotab;
    };
    const Case cases[] = {
        {-1, 0, c, t, t, t, t, t, s, s, s},
        {0, -1, c, t, t, t, t, t, s, s, s},
        {0, 0, nullptr, t, t, t, t, t, s, s, s},
        {0, 0, num, t, t, t, t, t, s, s, s}, // no buffer
        {0, 0, c, nullptr, t, t, t, t, s, s, s},
        {0, 0, c, s, t, t, t, t, s, s, s},
        {0, 0, c, t, s, t, t, t, s, s, s},
        {0, 0, c, t, t, nullptr, t, t, s, s, s},
        {0, 0, c, t, t, t, s, t, s, s, s},
        {0, 0, c, t, t, t, t, s, s, s, s},
        {0, 0, c, t, t, t, t, t, t, s, s},
        {0, 0, c, t, t, t, t, t, s, nullptr, s},
        {0, 0, c, t, t, t, t, t, s, s, t},
        {0, 0, c, t, bad_names, t, t, t, s, s, s},
        {0, 0, c, t, t, t, t, bad_names, s, s, s},
    };
    for (const Case &k : cases) {
        EXPECT_EQ(ZvCode_New(k.argcount, k.nlocals, 0, 0, k.code, k.consts, k.names, k.varnames,
                             k.freevars, k.cellvars, k.filename, k.name, 1, k.lnotab),
                  nullptr);
        std::string msg = zv_error_text();
        EXPECT_NE(msg.find("bad argument to internal function"), std::string::npos) << msg;
    }
    // The refused tuple was not interned into.
    EXPECT_EQ(ZvString_CHECK_INTERNED(ZvTuple_GET_ITEM(bad_names.get(), 0)), SSTATE_NOT_INTERNED);
}

TEST_F(CodeTest, NewRejectsCountsThatWouldMisSizeAFrame)
{
    struct Case {
        int argcount, nlocals, stacksize, flags;
        std::vector<const char *> varnames;
        const char *message;
    };
    const int max = ZV_CODE_MAX_SLOTS;
    const Case cases[] = {
        {0, 0, -1, 0, {}, "code: stacksize out of range"},
        {0, 0, max + 1, 0, {}, "code: stacksize out of range"},
        {0, max + 1, 0, 0, {}, "code: nlocals out of range"},
        {0, 2, 1, 0, {"a"}, "code: varnames is shorter than nlocals"},
        {2, 1, 1, 0, {"a"}, "code: more parameters than nlocals"},
        {1, 1, 1, CO_VARARGS, {"a"}, "code: more parameters than nlocals"},
        {0, 1, 1, CO_VARARGS | CO_VARKEYWORDS, {"a"}, "code: more parameters than nlocals"},
    };
    for (const Case &c : cases) {
        CodeSpec spec;
        spec.argcount = c.argcount;
        spec.nlocals = c.nlocals;
        spec.stacksize = c.stacksize;
        spec.flags = c.flags;
        spec.varnames = c.varnames;
        EXPECT_EQ(spec.make(), nullptr);
        EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_ValueError));
        EXPECT_EQ(zv_error_text(), c.message);
    }
    // The limits themselves, and the usual shapes, are accepted.
    CodeSpec ok;
    ok.stacksize = max;
    ok.argcount = 1;
    ok.nlocals = 3;
    ok.flags = CO_VARARGS | CO_VARKEYWORDS;
    ok.varnames = {"a", "args", "kw", "extra"};
    Owned co((ZvObject *)ok.make());
    EXPECT_NE(co.get(), nullptr);
}

TEST_F(CodeTest, CodeStringFromAnotherBufferIsCopied)
{
    // A string subclass is kept; its bytes are what the code holds.
    Owned sub(zv_class("S", {ZV_TYPE_OBJ(ZvString_Type)}));
    Owned text(zv_bytes(std::string("d\0\0S", 4)));
    Owned code(zv_call(sub, {text.get()}));
    ASSERT_NE(code.get(), nullptr);
    Owned t(ZvTuple_New(0)), consts(zv_tuple({Zv_None})), s(ZvString_FromString("x"));
    Owned co((ZvObject *)ZvCode_New(0, 0, 1, 0, code, consts, t, t, t, t, s, s, 1, s));
    ASSERT_NE(co.get(), nullptr);
    ZvObject *cs = ((ZvCodeObject *)co.get())->co_code;
    EXPECT_TRUE(ZvString_Check(cs));
    EXPECT_EQ(std::string(ZvString_AS_STRING(cs), 4), std::string("d\0\0S", 4));
}

namespace {

ZvObject *call_code(std::initializer_list<ZvObject *> args, ZvObject *kw = nullptr)
{
    return zv_call(ZV_TYPE_OBJ(ZvCode_Type), args, kw);
}

} // namespace

TEST_F(CodeTest, ConstructorParsesItsArgumentsAndFiltersNames)
{
    Owned zero(zv_int(0)), one(zv_int(1)), neg(zv_int(-1)), code(zv_bytes(std::string("d\0\0S", 4))),
        consts(zv_tuple({Zv_None})), empty(ZvTuple_New(0)), vars(zv_names({"a"})),
        file(zv_string("f.zv")), name(zv_string("g")), lno(zv_int(5)), tab(zv_string(""));
    Owned sub(zv_class("S", {ZV_TYPE_OBJ(ZvString_Type)}));
    Owned subname(zv_call(sub, {file.get()}));
    Owned mixed(zv_tuple({subname.get()}));
    Owned with_int(zv_tuple({one.get()}));
    // argcount, nlocals, stacksize, flags, code, consts, names, varnames,
    // filename, name, firstlineno, lnotab[, freevars[, cellvars]]
    Owned co(call_code({one, one, one, zero, code, consts, empty, vars, file, name, lno, tab,
                        mixed, empty}));
    ASSERT_NE(co.get(), nullptr);
    auto *c = (ZvCodeObject *)co.get();
    EXPECT_EQ(c->co_argcount, 1);
    EXPECT_EQ(c->co_firstlineno, 5);
    ZvObject *fv = ZvTuple_GET_ITEM(c->co_freevars, 0);
    EXPECT_TRUE(ZvString_CheckExact(fv)); // the subclass was converted
    EXPECT_EQ(zv_str(fv), "f.zv");
    EXPECT_EQ(ZvTuple_GET_ITEM(mixed.get(), 0), subname.get()); // the caller's tuple is kept

    struct Bad {
        std::vector<ZvObject *> args;
        ZvObject *exc;
        const char *message;
    };
    const Bad bads[] = {
        {{neg, one, one, zero, code, consts, empty, vars, file, name, lno, tab}, ZvExc_ValueError,
         "code: argcount must not be negative"},
        {{zero, neg, one, zero, code, consts, empty, vars, file, name, lno, tab}, ZvExc_ValueError,
         "code: nlocals must not be negative"},
        {{zero, zero, one, zero, code, consts, with_int, empty, file, name, lno, tab},
         ZvExc_TypeError, "name tuples must contain only strings, not 'int'"},
        {{zero, zero, one, zero, code, consts, empty, empty, file, name, lno, tab, empty, with_int},
         ZvExc_TypeError, "name tuples must contain only strings, not 'int'"},
        {{zero, zero, one, zero, one, consts, empty, empty, file, name, lno, tab}, ZvExc_TypeError,
         nullptr},
        {{zero, zero, one, zero, code, empty, empty, empty, file, name, lno}, ZvExc_TypeError,
         nullptr},
        {{zero, one, one, zero, code, consts, empty, empty, file, name, lno, tab},
         ZvExc_ValueError, "code: varnames is shorter than nlocals"},
    };
    for (const Bad &b : bads) {
        Owned args(ZvTuple_New((int)b.args.size()));
        for (size_t i = 0; i < b.args.size(); i++) {
            Zv_INCREF(b.args[i]);
            ZvTuple_SET_ITEM(args.get(), (int)i, b.args[i]);
        }
        Owned r(ZvObject_Call(ZV_TYPE_OBJ(ZvCode_Type), args, nullptr));
        EXPECT_EQ(r.get(), nullptr);
        EXPECT_TRUE(ZvErr_ExceptionMatches(b.exc));
        std::string msg = zv_error_text();
        if (b.message != nullptr) {
            EXPECT_EQ(msg, b.message);
        }
    }
    // Keywords are refused rather than ignored.
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "argcount", one);
    Owned r(call_code({one, one, one, zero, code, consts, empty, vars, file, name, lno, tab}, kw));
    EXPECT_EQ(r.get(), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(CodeTest, ReprShowsNameFileAndLine)
{
    CodeSpec spec;
    spec.name = "spam";
    spec.filename = "eggs.zv";
    spec.firstlineno = 42;
    Owned co((ZvObject *)spec.make());
    char expected[200];
    snprintf(expected, sizeof(expected), "<code object spam at %p, file \"eggs.zv\", line 42>",
             (void *)co.get());
    EXPECT_EQ(zv_repr(co), expected);
    spec.firstlineno = 0; // shown as -1
    Owned co0((ZvObject *)spec.make());
    EXPECT_NE(zv_repr(co0).find("line -1>"), std::string::npos);
    // Long names and file names are cut.
    std::string longname(150, 'n'), longfile(400, 'f');
    spec.name = longname.c_str();
    spec.filename = longfile.c_str();
    Owned col((ZvObject *)spec.make());
    std::string r = zv_repr(col);
    EXPECT_NE(r.find(std::string(100, 'n') + " at"), std::string::npos);
    EXPECT_NE(r.find("\"" + std::string(300, 'f') + "\""), std::string::npos);
}

TEST_F(CodeTest, ComparisonAndHashFollowTheFields)
{
    CodeSpec base;
    base.nlocals = 1;
    base.varnames = {"a"};
    Owned a((ZvObject *)base.make()), b((ZvObject *)base.make());
    EXPECT_EQ(ZvObject_Compare(a, b), 0);
    EXPECT_EQ(ZvObject_Hash(a), ZvObject_Hash(b));

    CodeSpec moved = base;
    moved.firstlineno = 99; // compared, but not hashed
    Owned m((ZvObject *)moved.make());
    EXPECT_EQ(ZvObject_Compare(a, m), -1);
    EXPECT_EQ(ZvObject_Compare(m, a), 1);
    EXPECT_EQ(ZvObject_Hash(a), ZvObject_Hash(m));

    struct Variant {
        CodeSpec spec;
        int expected; // compare(base-derived a, variant)
    };
    CodeSpec name_z = base, arg1 = base, code2 = base, vars2 = base;
    name_z.name = "z";
    arg1.argcount = 1;
    code2.code = std::string("d\0\0d\0\0\x01S", 8);
    vars2.varnames = {"b"};
    const Variant variants[] = {{name_z, -1}, {arg1, -1}, {code2, -1}, {vars2, -1}};
    for (const Variant &v : variants) {
        Owned other((ZvObject *)v.spec.make());
        ASSERT_NE(other.get(), nullptr);
        EXPECT_EQ(ZvObject_Compare(a, other), v.expected);
        EXPECT_EQ(ZvObject_Compare(other, a), -v.expected);
    }
    // An unhashable constant makes the code unhashable.
    Owned list(ZvList_New(0));
    CodeSpec unhashable = base;
    unhashable.consts = {Zv_None, list.get()};
    Owned u((ZvObject *)unhashable.make());
    EXPECT_EQ(ZvObject_Hash(u), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(CodeTest, TheFourteenAttributesAreReadOnly)
{
    CodeSpec spec;
    spec.argcount = 1;
    spec.nlocals = 2;
    spec.stacksize = 3;
    spec.flags = CO_OPTIMIZED;
    spec.varnames = {"a", "b"};
    spec.names = {"n"};
    spec.freevars = {"fv"};
    spec.cellvars = {"cv"};
    spec.firstlineno = 4;
    spec.lnotab = "\x01\x01";
    Owned co((ZvObject *)spec.make());
    auto *c = (ZvCodeObject *)co.get();
    struct Attr {
        const char *name;
        std::string repr;
    };
    const Attr attrs[] = {
        {"co_argcount", "1"},         {"co_nlocals", "2"},
        {"co_stacksize", "3"},        {"co_flags", "1"},
        {"co_code", zv_repr(c->co_code)},
        {"co_consts", "(None,)"},     {"co_names", "('n',)"},
        {"co_varnames", "('a', 'b')"}, {"co_freevars", "('fv',)"},
        {"co_cellvars", "('cv',)"},   {"co_filename", "'test.zv'"},
        {"co_name", "'f'"},           {"co_firstlineno", "4"},
        {"co_lnotab", "'\\x01\\x01'"},
    };
    for (const Attr &a : attrs) {
        Owned v(ZvObject_GetAttrString(co, a.name));
        ASSERT_NE(v.get(), nullptr) << a.name;
        EXPECT_EQ(zv_repr(v), a.repr) << a.name;
        EXPECT_EQ(ZvObject_SetAttrString(co, a.name, Zv_None), -1) << a.name;
        EXPECT_TRUE(zv_raised(ZvExc_TypeError)) << a.name;
    }
}
