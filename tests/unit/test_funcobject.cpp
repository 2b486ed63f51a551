// Cells, classmethod and staticmethod (and the static methods of type
// tables), through the C API.
#include <string>

#include "codetest.h"

namespace {

using FuncTest = ZvTest;

std::string R(ZvObject *owned)
{
    if (owned == nullptr) return "!" + zv_error_text();
    std::string s = zv_repr(owned);
    Zv_DECREF(owned);
    return s;
}

// Returns its arguments (self first, when bound).
ZvObject *fn_args(ZvObject *self, ZvObject *args)
{
    if (self == nullptr) {
        Zv_INCREF(args);
        return args;
    }
    Owned head(zv_tuple({self}));
    return ZvSequence_Concat(head, args);
}
ZvMethodDef args_def = {"args", fn_args, METH_VARARGS, nullptr};
ZvMethodDef static_defs[] = {
    {"smeth", fn_args, METH_VARARGS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZvTypeObject StaticHolder_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "StaticHolder", sizeof(ZvObject), 0,
};

} // namespace

TEST_F(FuncTest, CellsHoldOneValue)
{
    Owned one(zv_int(1)), two(zv_int(2));
    Owned empty(ZvCell_New(nullptr)), full(ZvCell_New(one));
    EXPECT_EQ(ZvCell_Get(empty), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr) << "an empty cell is no error";
    EXPECT_EQ(R(ZvCell_Get(full)), "1");
    std::string r = zv_repr(empty);
    EXPECT_EQ(r.rfind("<cell at 0x", 0), 0u);
    EXPECT_EQ(r.substr(r.size() - 8), ": empty>");
    EXPECT_NE(zv_repr(full).find(": int object at 0x"), std::string::npos);

    // Empty sorts first; full cells compare their contents.
    Owned full2(ZvCell_New(two)), empty2(ZvCell_New(nullptr));
    EXPECT_EQ(ZvObject_Compare(empty, full), -1);
    EXPECT_EQ(ZvObject_Compare(full, empty), 1);
    EXPECT_EQ(ZvObject_Compare(empty, empty2), 0);
    EXPECT_EQ(ZvObject_Compare(full, full2), -1);

    EXPECT_EQ(ZvCell_Set(full, two), 0);
    EXPECT_EQ(ZvObject_Compare(full, full2), 0);
    EXPECT_EQ(ZvCell_Set(full, nullptr), 0);
    EXPECT_EQ(ZvCell_Get(full), nullptr);
    EXPECT_EQ(ZvCell_Set(one, two), -1);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    EXPECT_EQ(ZvCell_Get(one), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
}

TEST_F(FuncTest, WrappersMadeWithoutTheirConstructor)
{
    // The binding rules are exercised by tests/lang/functions/methods.zv;
    // from native code a wrapper can also be made without its callable.
    Owned f(ZvCFunction_New(&args_def, nullptr));
    Owned T(zv_class("T", {ZV_TYPE_OBJ(ZvBaseObject_Type)}));
    Owned t(zv_call(T));
    Owned raw_cm(ZvType_GenericNew(&ZvClassMethod_Type, nullptr, nullptr));
    Owned raw_sm(ZvType_GenericNew(&ZvStaticMethod_Type, nullptr, nullptr));
    EXPECT_EQ(R(ZvClassMethod_Type.tp_descr_get(raw_cm, t, T)),
              "!uninitialized classmethod object");
    EXPECT_EQ(R(ZvStaticMethod_Type.tp_descr_get(raw_sm, t, T)),
              "!uninitialized staticmethod object");
    EXPECT_EQ(ZvClassMethod_New(nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    Owned cm(ZvClassMethod_New(f)), sm(ZvStaticMethod_New(f));
    Owned bound(ZvClassMethod_Type.tp_descr_get(cm, t, nullptr));
    EXPECT_EQ(ZvMethod_GET_SELF(bound.get()), T.get()) << "no owner given: the instance's type";
    Owned plain(ZvStaticMethod_Type.tp_descr_get(sm, nullptr, T));
    EXPECT_EQ(plain.get(), f.get());
    Owned kw(Zv_BuildValue("{s:O}", "f", f.get()));
    EXPECT_EQ(R(zv_call(ZV_TYPE_OBJ(ZvStaticMethod_Type), {}, kw)),
              "!staticmethod does not take keyword arguments");
}

TEST_F(FuncTest, TypeTablesStaticMethodsAreStaticmethodObjects)
{
    StaticHolder_Type.tp_flags = Zv_TPFLAGS_DEFAULT;
    StaticHolder_Type.tp_methods = static_defs;
    StaticHolder_Type.tp_new = ZvType_GenericNew;
    ASSERT_EQ(ZvType_Ready(&StaticHolder_Type), 0);
    ZvObject *raw = ZvDict_GetItemString(StaticHolder_Type.tp_dict, "smeth");
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(Zv_TYPE(raw), &ZvStaticMethod_Type);
    Owned one(zv_int(1));
    Owned via_type(zv_getattr(ZV_TYPE_OBJ(StaticHolder_Type), "smeth"));
    EXPECT_TRUE(ZvCFunction_Check(via_type.get()));
    EXPECT_EQ(R(zv_call(via_type, {one.get()})), "(1,)") << "no self is passed";
    Owned inst(zv_call(ZV_TYPE_OBJ(StaticHolder_Type)));
    Owned via_inst(zv_getattr(inst, "smeth"));
    EXPECT_EQ(R(zv_call(via_inst, {one.get()})), "(1,)");
}

TEST_F(FuncTest, FunctionsFromCodeObjects)
{
    CodeFields cf;
    Owned doc(zv_string("the doc"));
    cf.consts = {doc.get()};
    cf.name = "fn";
    Owned code((ZvObject *)cf.make());
    CodeFields free_cf;
    free_cf.freevars = {"x"};
    free_cf.flags = CO_NESTED;
    Owned free_code((ZvObject *)free_cf.make());
    Owned globals(Zv_BuildValue("{s:s}", "__name__", "mod"));
    Owned f(ZvFunction_New(code, globals));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(ZvFunction_GetCode(f), code.get());
    EXPECT_EQ(ZvFunction_GetGlobals(f), globals.get());
    EXPECT_EQ(R(zv_getattr(f, "__doc__")), "'the doc'");
    EXPECT_EQ(zv_str(ZvFunction_GetModule(f)), "mod");
    EXPECT_EQ(ZvFunction_GetDefaults(f), nullptr);
    EXPECT_EQ(ZvFunction_GetClosure(f), nullptr);
    EXPECT_EQ(R(zv_call(f)), "'the doc'") << "the code returns its first constant";
    EXPECT_EQ(R(ZvFunction_New(globals, globals)), "!bad argument to internal function");
    EXPECT_EQ(ZvFunction_GetCode(globals), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");

    Owned defs(zv_tuple({doc.get()})), list(ZvList_New(0)), cell(ZvCell_New(doc));
    Owned closure(zv_tuple({cell.get()}));
    EXPECT_EQ(ZvFunction_SetDefaults(f, defs), 0);
    EXPECT_EQ(ZvFunction_GetDefaults(f), defs.get());
    EXPECT_EQ(ZvFunction_SetDefaults(f, Zv_None), 0);
    EXPECT_EQ(ZvFunction_GetDefaults(f), nullptr);
    EXPECT_EQ(ZvFunction_SetDefaults(f, list), -1);
    EXPECT_EQ(zv_error_text(), "non-tuple default args");
    EXPECT_EQ(ZvFunction_SetClosure(f, list), -1);
    EXPECT_EQ(zv_error_text(), "non-tuple closure");
    // A closure must fit the code's free variables: the evaluation loop
    // copies that many cells out of it.
    EXPECT_EQ(ZvFunction_SetClosure(f, closure), -1);
    EXPECT_EQ(zv_error_text(), "fn() requires a closure of length 0, not 1");
    Owned g(ZvFunction_New(free_code, globals));
    EXPECT_EQ(ZvFunction_SetClosure(g, Zv_None), -1);
    EXPECT_EQ(zv_error_text(), "f() requires a closure of length 1, not 0");
    EXPECT_EQ(ZvFunction_SetClosure(g, closure), 0);
    EXPECT_EQ(ZvFunction_GetClosure(g), closure.get());

    // Functions bind as methods.
    Owned T(zv_class("T", {ZV_TYPE_OBJ(ZvBaseObject_Type)}, {{"m", f.get()}}));
    Owned t(zv_call(T));
    Owned m(zv_getattr(t, "m")), um(zv_getattr(T, "m"));
    EXPECT_EQ(ZvMethod_GET_SELF(m.get()), t.get());
    EXPECT_EQ(ZvMethod_GET_SELF(um.get()), nullptr);
    EXPECT_EQ(R(zv_call(m)), "!fn() takes no arguments (1 given)");
}
