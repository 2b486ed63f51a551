// Code objects: the line table, validation and interning in ZvCode_New,
// the code() constructor, repr, comparison, hashing and the attributes.
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
        {"\x06\x01\x08\x02", 10, {{0, 10}, {5, 10}, {6, 11}, {13, 11}, {14, 13}, {1000, 13}}},
        // (255, 0) carries a long address step; (0, 255) a long line step.
        {std::string("\xff\x00\x01\x01", 4), 1, {{254, 1}, {255, 1}, {256, 2}}},
        {std::string("\x02\xff\x00\xff\x00\x02", 6), 1, {{1, 1}, {2, 513}}},
        {"\x02\x01\x05", 1, {{1, 1}, {2, 2}, {50, 2}}}, // a dangling odd byte
        // Lines that would pass the int range stop at its end.
        {std::string("\x00\xff", 2), INT32_MAX - 3, {{0, INT32_MAX}}},
    };
    for (const Case &c : cases) {
        CodeFields fields;
        fields.lnotab = c.lnotab;
        fields.firstlineno = c.firstlineno;
        Owned co((ZvObject *)fields.make());
        ASSERT_NE(co.get(), nullptr);
        for (auto [addr, line] : c.addr_line)
            EXPECT_EQ(ZvCode_Addr2Line((ZvCodeObject *)co.get(), addr), line) << addr;
    }
}

TEST_F(CodeTest, NoFreeFlagTellsTheTruthAndNamesAreInterned)
{
    // CO_NOFREE is set exactly without cells and free variables; a false
    // claim is dropped, the other bits are kept.
    for (int claim : {0, CO_NOFREE | CO_OPTIMIZED}) {
        for (int kind = 0; kind < 3; kind++) {
            CodeFields fields;
            fields.flags = claim;
            if (kind == 1) fields.freevars = {"x"};
            if (kind == 2) fields.cellvars = {"y"};
            Owned co((ZvObject *)fields.make());
            int flags = ((ZvCodeObject *)co.get())->co_flags;
            EXPECT_EQ((flags & CO_NOFREE) != 0, kind == 0);
            EXPECT_EQ(flags & CO_OPTIMIZED, claim & CO_OPTIMIZED);
        }
    }
    // Names, and string constants made of letters, digits and underscores
    // (even empty), are interned; other constants are not.
    Owned texts(zv_names({"abc_1", "", "0123", "a b", "a-b"}));
    const bool expected[] = {true, true, true, false, false};
    CodeFields fields;
    fields.consts.clear();
    for (int i = 0; i < 5; i++)
        fields.consts.push_back(ZvTuple_GET_ITEM(texts.get(), i));
    fields.names = {"name_n"};
    fields.nlocals = 1;
    fields.varnames = {"name_v"};
    fields.freevars = {"name_f"};
    fields.cellvars = {"name_c"};
    Owned co((ZvObject *)fields.make());
    ASSERT_NE(co.get(), nullptr);
    auto *c = (ZvCodeObject *)co.get();
    auto interned = [](ZvObject *s) { return ZvString_CHECK_INTERNED(s) != SSTATE_NOT_INTERNED; };
    for (ZvObject *t : {c->co_names, c->co_varnames, c->co_freevars, c->co_cellvars})
        EXPECT_TRUE(interned(ZvTuple_GET_ITEM(t, 0)));
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(interned(ZvTuple_GET_ITEM(c->co_consts, i)), expected[i]);
}

TEST_F(CodeTest, NewRejectsBadKindsAndCountsThatWouldMisSizeAFrame)
{
    Owned code(zv_bytes("S")), tup(ZvTuple_New(0)), num(ZvInt_FromLong(3)),
        str(ZvString_FromString("not_yet_interned_name")),
        bad_names(zv_tuple({str.get(), num.get()}));
    ZvObject *t = tup, *s = str, *c = code, *b = bad_names;
    struct Kinds {
        int argcount, nlocals;
        ZvObject *code, *consts, *names, *varnames, *freevars, *cellvars, *filename, *name, *lnotab;
    };
    const Kinds kinds[] = {
        {-1, 0, c, t, t, t, t, t, s, s, s},      {0, -1, c, t, t, t, t, t, s, s, s},
        {0, 0, nullptr, t, t, t, t, t, s, s, s}, {0, 0, num, t, t, t, t, t, s, s, s},
        {0, 0, c, nullptr, t, t, t, t, s, s, s}, {0, 0, c, s, t, t, t, t, s, s, s},
        {0, 0, c, t, s, t, t, t, s, s, s},       {0, 0, c, t, t, nullptr, t, t, s, s, s},
        {0, 0, c, t, t, t, s, t, s, s, s},       {0, 0, c, t, t, t, t, s, s, s, s},
        {0, 0, c, t, t, t, t, t, t, s, s},       {0, 0, c, t, t, t, t, t, s, nullptr, s},
        {0, 0, c, t, t, t, t, t, s, s, t},       {0, 0, c, t, b, t, t, t, s, s, s},
        {0, 0, c, t, t, t, t, b, s, s, s},
    };
    for (const Kinds &k : kinds) {
        EXPECT_EQ(ZvCode_New(k.argcount, k.nlocals, 0, 0, k.code, k.consts, k.names, k.varnames,
                             k.freevars, k.cellvars, k.filename, k.name, 1, k.lnotab),
                  nullptr);
        EXPECT_NE(zv_error_text().find("bad argument to internal function"), std::string::npos);
    }
    // A refused tuple is left as it was.
    EXPECT_EQ(ZvString_CHECK_INTERNED(ZvTuple_GET_ITEM(b, 0)), SSTATE_NOT_INTERNED);

    struct Counts {
        int argcount, nlocals, stacksize, flags;
        std::vector<const char *> varnames;
        const char *message;
    };
    const int max = ZV_CODE_MAX_SLOTS;
    const Counts counts[] = {
        {0, 0, -1, 0, {}, "code: stacksize out of range"},
        {0, 0, max + 1, 0, {}, "code: stacksize out of range"},
        {0, max + 1, 0, 0, {}, "code: nlocals out of range"},
        {0, 2, 1, 0, {"a"}, "code: varnames is shorter than nlocals"},
        {2, 1, 1, 0, {"a"}, "code: more parameters than nlocals"},
        {1, 1, 1, CO_VARARGS, {"a"}, "code: more parameters than nlocals"},
        {0, 1, 1, CO_VARARGS | CO_VARKEYWORDS, {"a"}, "code: more parameters than nlocals"},
        {1, 3, max, CO_VARARGS | CO_VARKEYWORDS, {"a", "b", "c", "d"}, nullptr}, // fits
    };
    for (const Counts &k : counts) {
        CodeFields fields;
        fields.argcount = k.argcount;
        fields.nlocals = k.nlocals;
        fields.stacksize = k.stacksize;
        fields.flags = k.flags;
        fields.varnames = k.varnames;
        Owned co((ZvObject *)fields.make());
        EXPECT_EQ(co.get() == nullptr, k.message != nullptr);
        if (k.message == nullptr) continue;
        EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_ValueError));
        EXPECT_EQ(zv_error_text(), k.message);
    }
}

TEST_F(CodeTest, ConstructorParsesItsArgumentsAndFiltersNames)
{
    Owned zero(zv_int(0)), one(zv_int(1)), neg(zv_int(-1)), code(zv_bytes({"d\0\0S", 4})),
        consts(zv_tuple({Zv_None})), empty(ZvTuple_New(0)), vars(zv_names({"a"})),
        file(zv_string("f.zv")), name(zv_string("g")), lno(zv_int(5)), tab(zv_string(""));
    Owned sub(zv_class("S", {ZV_TYPE_OBJ(ZvString_Type)}));
    Owned subname(zv_call(sub, {file.get()}));
    Owned mixed(zv_tuple({subname.get()})), with_int(zv_tuple({one.get()}));
    // argcount, nlocals, stacksize, flags, code, consts, names, varnames,
    // filename, name, firstlineno, lnotab[, freevars[, cellvars]]
    Owned co(zv_call(ZV_TYPE_OBJ(ZvCode_Type), {one, one, one, zero, code, consts, empty, vars,
                                                file, name, lno, tab, mixed, empty}));
    ASSERT_NE(co.get(), nullptr);
    auto *c = (ZvCodeObject *)co.get();
    EXPECT_EQ(c->co_firstlineno, 5);
    EXPECT_TRUE(ZvString_CheckExact(ZvTuple_GET_ITEM(c->co_freevars, 0))); // converted copy
    EXPECT_EQ(ZvTuple_GET_ITEM(mixed.get(), 0), subname.get());            // caller's kept

    struct Bad {
        std::vector<ZvObject *> args;
        ZvObject *exc;
        const char *message;
    };
    const Bad bads[] = {
        {{neg, one, one, zero, code, consts, empty, vars, file, name, lno, tab},
         ZvExc_ValueError,
         "code: argcount must not be negative"},
        {{zero, neg, one, zero, code, consts, empty, vars, file, name, lno, tab},
         ZvExc_ValueError,
         "code: nlocals must not be negative"},
        {{zero, zero, one, zero, code, consts, with_int, empty, file, name, lno, tab},
         ZvExc_TypeError,
         "name tuples must contain only strings, not 'int'"},
        {{zero, zero, one, zero, code, consts, empty, empty, file, name, lno, tab, empty, with_int},
         ZvExc_TypeError,
         "name tuples must contain only strings, not 'int'"},
        {{zero, zero, one, zero, one, consts, empty, empty, file, name, lno, tab},
         ZvExc_TypeError,
         nullptr},
        {{zero, one, one, zero, code, consts, empty, empty, file, name, lno, tab},
         ZvExc_ValueError,
         "code: varnames is shorter than nlocals"},
    };
    for (const Bad &b : bads) {
        Owned args(zv_tuple_of(b.args));
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
    Owned r(zv_call(ZV_TYPE_OBJ(ZvCode_Type),
                    {one, one, one, zero, code, consts, empty, vars, file, name, lno, tab}, kw));
    EXPECT_EQ(r.get(), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}

TEST_F(CodeTest, ReprComparisonHashAndAttributes)
{
    CodeFields fields;
    fields.name = "spam";
    fields.filename = "eggs.zv";
    fields.firstlineno = 42;
    fields.argcount = 1;
    fields.nlocals = 2;
    fields.stacksize = 3;
    fields.flags = CO_OPTIMIZED;
    fields.varnames = {"a", "b"};
    fields.names = {"n"};
    fields.lnotab = "\x01\x01";
    Owned a((ZvObject *)fields.make()), b((ZvObject *)fields.make());
    char expected[200];
    snprintf(expected, sizeof(expected), "<code object spam at %p, file \"eggs.zv\", line 42>",
             (void *)a.get());
    EXPECT_EQ(zv_repr(a), expected);
    EXPECT_EQ(ZvObject_Compare(a, b), 0);
    EXPECT_EQ(ZvObject_Hash(a), ZvObject_Hash(b));

    // Each field decides the order; the first line is compared, not hashed.
    std::vector<CodeFields> greater(6, fields);
    greater[0].name = "z";
    greater[1].argcount = 2;
    greater[1].nlocals = 3;
    greater[1].varnames = {"a", "b", "c"};
    greater[2].flags = CO_OPTIMIZED | CO_NEWLOCALS;
    greater[3].firstlineno = 0; // also shown as line -1
    greater[4].code = std::string("d\0\0d\0\0S", 7);
    greater[5].varnames = {"a", "c"};
    for (size_t i = 0; i < greater.size(); i++) {
        Owned g((ZvObject *)greater[i].make());
        ASSERT_NE(g.get(), nullptr) << i;
        int expect = i == 3 ? 1 : -1;
        EXPECT_EQ(ZvObject_Compare(a, g), expect) << i;
        EXPECT_EQ(ZvObject_Compare(g, a), -expect) << i;
        if (i == 3) {
            EXPECT_EQ(ZvObject_Hash(a), ZvObject_Hash(g));
            EXPECT_NE(zv_repr(g).find("line -1>"), std::string::npos);
        }
    }
    // An unhashable constant makes the code unhashable.
    Owned list(ZvList_New(0));
    CodeFields unhashable = fields;
    unhashable.consts = {Zv_None, list.get()};
    Owned u((ZvObject *)unhashable.make());
    EXPECT_EQ(ZvObject_Hash(u), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    const std::pair<const char *, const char *> attrs[] = {
        {"co_argcount", "1"},     {"co_nlocals", "2"},           {"co_stacksize", "3"},
        {"co_flags", "65"},       {"co_code", "'d\\x00\\x00S'"}, {"co_consts", "(None,)"},
        {"co_names", "('n',)"},   {"co_varnames", "('a', 'b')"}, {"co_freevars", "()"},
        {"co_cellvars", "()"},    {"co_filename", "'eggs.zv'"},  {"co_name", "'spam'"},
        {"co_firstlineno", "42"}, {"co_lnotab", "'\\x01\\x01'"},
    };
    for (auto [name, repr] : attrs) {
        Owned v(ZvObject_GetAttrString(a, name));
        EXPECT_EQ(zv_repr(v), repr) << name;
        EXPECT_EQ(ZvObject_SetAttrString(a, name, Zv_None), -1) << name;
        EXPECT_TRUE(zv_raised(ZvExc_TypeError)) << name;
    }
}
