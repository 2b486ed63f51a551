// Module definition from a method table, as an extension module does it.
#include "zvtest.h"

using ModuleDefTest = ZvTest;

namespace {

ZvObject *spam_echo(ZvObject *self, ZvObject *args)
{
    ZvObject *o;
    if (!ZvArg_ParseTuple(args, "O:echo", &o)) return nullptr;
    Zv_INCREF(o);
    return o;
}

ZvObject *spam_self(ZvObject *self, ZvObject *)
{
    ZvObject *r = self ? self : Zv_None;
    Zv_INCREF(r);
    return r;
}

ZvMethodDef spam_methods[] = {
    {"echo", spam_echo, METH_VARARGS, "echo(x) -> x"},
    {"self", spam_self, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZvMethodDef bad_methods[] = {
    {"cm", spam_self, METH_NOARGS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

TEST_F(ModuleDefTest, InitModuleRegistersFunctionsBoundToSelf)
{
    Owned passthrough(ZvString_FromString("state"));
    ZvObject *m = Zv_InitModule4("spam", spam_methods, "The spam module.", passthrough,
                                 ZUVO_API_VERSION);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(ZvDict_GetItemString(ZvImport_GetModuleDict(), "spam"), m);
    EXPECT_EQ(zv_str(ZvDict_GetItemString(ZvModule_GetDict(m), "__doc__")), "The spam module.");

    Owned echo(ZvObject_GetAttrString(m, "echo"));
    ASSERT_NE(echo.get(), nullptr);
    Owned r(ZvObject_CallFunction(echo, "(i)", 42));
    EXPECT_EQ(zv_repr(r), "42");
    Owned bound(ZvObject_CallMethod(m, "self", nullptr));
    EXPECT_EQ(bound.get(), passthrough.get());

    // A second init finds the same module object in sys.modules.
    EXPECT_EQ(Zv_InitModule("spam", nullptr), m);
    ZvDict_DelItemString(ZvImport_GetModuleDict(), "spam");
}

TEST_F(ModuleDefTest, ClassOrStaticFunctionsAreRefused)
{
    EXPECT_EQ(Zv_InitModule("badmod", bad_methods), nullptr);
    EXPECT_EQ(zv_error_text(), "module functions cannot set METH_CLASS or METH_STATIC");
    ZvDict_DelItemString(ZvImport_GetModuleDict(), "badmod");
}

TEST_F(ModuleDefTest, AddObjectChecksAndConsumesItsValue)
{
    ZvObject *m = ZvImport_AddModule("addmod");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(ZvModule_AddIntConstant(m, "ANSWER", 42), 0);
    EXPECT_EQ(ZvModule_AddStringConstant(m, "NAME", "addmod"), 0);
    EXPECT_EQ(zv_repr(ZvDict_GetItemString(ZvModule_GetDict(m), "ANSWER")), "42");

    ZvObject *v = ZvString_FromString("consumed-even-on-error");
    EXPECT_EQ(ZvModule_AddObject(Zv_None, "x", v), -1); // v released here
    EXPECT_EQ(zv_error_text(), "ZvModule_AddObject() needs module as first arg");
    EXPECT_EQ(ZvModule_AddObject(m, "x", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "ZvModule_AddObject() needs non-NULL value");
    ZvDict_DelItemString(ZvImport_GetModuleDict(), "addmod");
}
