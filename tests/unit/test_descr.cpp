// Descriptors, built-in functions and member access, driven through the
// public API: the descriptors readying stores in type dictionaries, the
// calling conventions of native functions, member conversions, property
// and the dictionary proxy.
#include <string.h>

#include <string>

#include "typetest.h"

namespace {

// --- native functions with every calling convention ---------------------

ZvObject *last_args = nullptr; // what the recording functions saw last

ZvObject *fn_noargs(ZvObject *, ZvObject *arg)
{
    EXPECT_EQ(arg, nullptr);
    return ZvString_FromString("noargs");
}
ZvObject *fn_o(ZvObject *, ZvObject *arg)
{
    Zv_INCREF(arg);
    return arg;
}
ZvObject *fn_varargs(ZvObject *, ZvObject *args)
{
    Zv_INCREF(args);
    return args;
}
ZvObject *fn_keywords(ZvObject *, ZvObject *, ZvObject *kw)
{
    ZvObject *r = kw ? kw : Zv_None;
    Zv_INCREF(r);
    return r;
}
ZvObject *fn_old(ZvObject *, ZvObject *arg)
{
    ZvObject *r = arg ? arg : Zv_None;
    Zv_INCREF(r);
    return r;
}
ZvObject *fn_record(ZvObject *, ZvObject *args)
{
    Zv_XDECREF(last_args);
    Zv_INCREF(args);
    last_args = args;
    Zv_RETURN_NONE;
}
ZvObject *fn_fail(ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_ValueError, "refused");
    return nullptr;
}

ZvMethodDef funcs[] = {
    {"noargs", fn_noargs, METH_NOARGS, nullptr},
    {"o", fn_o, METH_O, "o(x) -> x"},
    {"varargs", fn_varargs, METH_VARARGS, nullptr},
    {"keywords", (ZvCFunction)(void (*)(void))fn_keywords, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"old", fn_old, METH_OLDARGS, nullptr},
    {"bad", fn_o, METH_O | METH_VARARGS, nullptr},
    {"record", fn_record, METH_VARARGS, nullptr},
    {"fail", fn_fail, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
ZvMethodDef *const NOARGS = &funcs[0], *const O = &funcs[1], *const VARARGS = &funcs[2],
                   *const KEYWORDS = &funcs[3], *const OLD = &funcs[4], *const BAD = &funcs[5],
                   *const RECORD = &funcs[6], *const FAIL = &funcs[7];

// --- a static type with one member of every storage code -----------------

struct Rec {
    ZvObject_HEAD
    int16_t s;
    int32_t i;
    int32_t l;
    float f;
    double d;
    const char *str;
    ZvObject *obj;
    char c;
    int8_t b;
    uint8_t ub;
    uint16_t us;
    uint32_t ui;
    uint32_t ul;
    char inplace[8];
    ZvObject *objex;
    int32_t ro;
    int32_t unknown;
};

ZvMemberDef rec_members[] = {
    {"s", T_SHORT, offsetof(Rec, s), 0, nullptr},
    {"i", T_INT, offsetof(Rec, i), 0, "an int"},
    {"l", T_LONG, offsetof(Rec, l), 0, nullptr},
    {"f", T_FLOAT, offsetof(Rec, f), 0, nullptr},
    {"d", T_DOUBLE, offsetof(Rec, d), 0, nullptr},
    {"str", T_STRING, offsetof(Rec, str), 0, nullptr},
    {"obj", T_OBJECT, offsetof(Rec, obj), 0, nullptr},
    {"c", T_CHAR, offsetof(Rec, c), 0, nullptr},
    {"b", T_BYTE, offsetof(Rec, b), 0, nullptr},
    {"ub", T_UBYTE, offsetof(Rec, ub), 0, nullptr},
    {"us", T_USHORT, offsetof(Rec, us), 0, nullptr},
    {"ui", T_UINT, offsetof(Rec, ui), 0, nullptr},
    {"ul", T_ULONG, offsetof(Rec, ul), 0, nullptr},
    {"inplace", T_STRING_INPLACE, offsetof(Rec, inplace), 0, nullptr},
    {"objex", T_OBJECT_EX, offsetof(Rec, objex), 0, nullptr},
    {"ro", T_INT, offsetof(Rec, ro), READONLY, nullptr},
    {"unknown", 99, offsetof(Rec, unknown), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

ZvObject *rec_get_only(ZvObject *self, void *) { return ZvInt_FromLong(((Rec *)self)->i * 2); }
int rec_set_only(ZvObject *self, ZvObject *v, void *closure)
{
    ((Rec *)self)->i = v ? ZvInt_AsLong(v) + *(int *)closure : 0;
    return 0;
}
int ten = 10;

ZvGetSetDef rec_getset[] = {
    {"twice", rec_get_only, nullptr, "twice i", nullptr},
    {"plus_ten", nullptr, rec_set_only, nullptr, &ten},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void rec_dealloc(ZvObject *self)
{
    Zv_XDECREF(((Rec *)self)->obj);
    Zv_XDECREF(((Rec *)self)->objex);
    ZvObject_Free(self);
}

ZvTypeObject Rec_Type;

ZvTypeObject *rec_type()
{
    if (!(Rec_Type.tp_flags & Zv_TPFLAGS_READY)) {
        Rec_Type.ob_refcnt = 1;
        Rec_Type.ob_type = &ZvType_Type;
        Rec_Type.tp_name = "Rec";
        Rec_Type.tp_basicsize = sizeof(Rec);
        Rec_Type.tp_dealloc = rec_dealloc;
        Rec_Type.tp_getattro = ZvObject_GenericGetAttr;
        Rec_Type.tp_setattro = ZvObject_GenericSetAttr;
        Rec_Type.tp_flags = Zv_TPFLAGS_DEFAULT;
        Rec_Type.tp_members = rec_members;
        Rec_Type.tp_getset = rec_getset;
        EXPECT_EQ(ZvType_Ready(&Rec_Type), 0);
    }
    return &Rec_Type;
}

ZvObject *new_rec()
{
    auto *r = (Rec *)_ZvObject_New(rec_type());
    memset((char *)r + sizeof(ZvObject), 0, sizeof(Rec) - sizeof(ZvObject));
    return (ZvObject *)r;
}

std::string text(ZvObject *o)
{
    std::string s = o ? zv_str(o) : "<NULL>";
    Zv_XDECREF(o);
    return s;
}

} // namespace

using DescrTest = ZvTest;

TEST_F(DescrTest, MethodDescriptorsCheckTheirFirstArgument)
{
    Owned upper(zv_getattr(ZV_TYPE_OBJ(ZvString_Type), "upper"));
    ASSERT_NE(upper.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(upper), &ZvMethodDescr_Type);
    EXPECT_EQ(zv_repr(upper), "<method 'upper' of 'str' objects>");
    Owned abc(zv_string("abc")), one(zv_int(1));
    EXPECT_EQ(text(zv_call(upper, {abc.get()})), "ABC");

    EXPECT_EQ(zv_call(upper, {one.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor 'upper' requires a 'str' object but received a 'int'");
    EXPECT_EQ(zv_call(upper), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor 'upper' of 'str' object needs an argument");

    Owned objclass(zv_getattr(upper, "__objclass__"));
    EXPECT_EQ(objclass.get(), ZV_TYPE_OBJ(ZvString_Type));
    EXPECT_EQ(text(zv_getattr(upper, "__name__")), "upper");
    Owned doc(zv_getattr(upper, "__doc__"));
    EXPECT_TRUE(doc.get() != nullptr && ZvString_Check(doc));
}

TEST_F(DescrTest, BoundBuiltinMethodsKeepTheirSelf)
{
    Owned lst(ZvList_New(0));
    Owned append(zv_getattr(lst, "append"));
    ASSERT_TRUE(append.get() != nullptr && ZvCFunction_Check(append));
    Owned self(zv_getattr(append, "__self__"));
    EXPECT_EQ(self.get(), lst.get());
    EXPECT_EQ(zv_repr(append).rfind("<built-in method append of list object at ", 0), 0u);

    Owned five(zv_int(5));
    Owned r(zv_call(append, {five.get()}));
    EXPECT_EQ(ZvList_GET_SIZE(lst.get()), 1);

    // Two bindings of one method to one object are equal; hashing needs a
    // hashable self.
    Owned again(zv_getattr(lst, "append"));
    EXPECT_EQ(ZvObject_Compare(append, again), 0);
    EXPECT_EQ(ZvObject_Hash(append), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    Owned s(zv_string("x"));
    Owned up1(zv_getattr(s, "upper")), up2(zv_getattr(s, "upper"));
    EXPECT_EQ(ZvObject_Hash(up1), ZvObject_Hash(up2));
    EXPECT_NE(ZvObject_Hash(up1), -1);
}

TEST_F(DescrTest, ClassMethodsBindToTheType)
{
    Owned d(ZvDict_New());
    Owned fromkeys(zv_getattr(d, "fromkeys"));
    ASSERT_NE(fromkeys.get(), nullptr);
    Owned self(zv_getattr(fromkeys, "__self__"));
    EXPECT_EQ(self.get(), ZV_TYPE_OBJ(ZvDict_Type));
    Owned a(zv_string("a")), b(zv_string("b"));
    Owned keys(zv_tuple({a.get(), b.get()}));
    Owned made(zv_call(fromkeys, {keys.get()}));
    ASSERT_TRUE(made.get() != nullptr && ZvDict_CheckExact(made));
    EXPECT_EQ(ZvDict_Size(made), 2);

    ZvObject *descr = ZvDict_GetItemString(ZvDict_Type.tp_dict, "fromkeys");
    ASSERT_TRUE(descr != nullptr && Zv_TYPE(descr) == &ZvClassMethodDescr_Type);
    descrgetfunc get = Zv_TYPE(descr)->tp_descr_get;
    EXPECT_EQ(get(descr, nullptr, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor 'fromkeys' for type 'dict' needs either an object or a type");
    EXPECT_EQ(get(descr, nullptr, a), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor 'fromkeys' for type 'dict' needs a type, not a 'str' as arg 2");
    EXPECT_EQ(get(descr, nullptr, ZV_TYPE_OBJ(ZvInt_Type)), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor 'fromkeys' for type 'dict' doesn't apply to type 'int'");
    // Called directly, it binds to the defining type.
    Owned direct(zv_call(descr, {keys.get()}));
    EXPECT_TRUE(direct.get() != nullptr && ZvDict_CheckExact(direct));
}

TEST_F(DescrTest, CallingConventionsCheckTheirArguments)
{
    Owned noargs(zv_native(NOARGS)), o(zv_native(O)), varargs(zv_native(VARARGS)),
        keywords(zv_native(KEYWORDS)), old(zv_native(OLD)), bad(zv_native(BAD));
    Owned one(zv_int(1)), two(zv_int(2));
    Owned kw(ZvDict_New()), empty_kw(ZvDict_New());
    ZvDict_SetItemString(kw, "a", one);

    EXPECT_EQ(text(zv_call(noargs)), "noargs");
    EXPECT_EQ(zv_call(noargs, {one.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "noargs() takes no arguments (1 given)");
    EXPECT_EQ(zv_call(noargs, {}, kw), nullptr);
    EXPECT_EQ(zv_error_text(), "noargs() takes no keyword arguments");
    EXPECT_EQ(text(zv_call(noargs, {}, empty_kw)), "noargs");

    EXPECT_EQ(text(zv_call(o, {two.get()})), "2");
    EXPECT_EQ(zv_call(o, {one.get(), two.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "o() takes exactly one argument (2 given)");
    EXPECT_EQ(zv_call(varargs, {one.get()}, kw), nullptr);
    EXPECT_EQ(zv_error_text(), "varargs() takes no keyword arguments");
    EXPECT_EQ(text(zv_call(varargs, {one.get(), two.get()})), "(1, 2)");
    EXPECT_EQ(text(zv_call(keywords, {}, kw)), "{'a': 1}");

    // The legacy convention: nothing, the argument itself, or the tuple.
    EXPECT_EQ(text(zv_call(old)), "None");
    EXPECT_EQ(text(zv_call(old, {two.get()})), "2");
    EXPECT_EQ(text(zv_call(old, {one.get(), two.get()})), "(1, 2)");

    EXPECT_EQ(zv_call(bad, {one.get()}), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_SystemError));
    EXPECT_NE(zv_error_text().find("methodobject.cpp:112"), std::string::npos);
}

TEST_F(DescrTest, BuiltinFunctionAttributesAndAccessors)
{
    Owned noargs(zv_native(NOARGS)), o(zv_native(O));
    EXPECT_EQ(zv_repr(noargs), "<built-in function noargs>");
    EXPECT_EQ(text(zv_getattr(noargs, "__self__")), "None");
    EXPECT_EQ(text(zv_getattr(noargs, "__doc__")), "None");
    EXPECT_EQ(text(zv_getattr(o, "__doc__")), "o(x) -> x");
    EXPECT_EQ(text(zv_getattr(o, "__name__")), "o");
    EXPECT_EQ(text(zv_getattr(o, "__module__")), "None");
    Owned mod(zv_string("mymod"));
    EXPECT_EQ(ZvObject_SetAttrString(o, "__module__", mod), 0);
    EXPECT_EQ(text(zv_getattr(o, "__module__")), "mymod");
    EXPECT_EQ(ZvObject_SetAttrString(o, "__name__", mod), -1);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));

    EXPECT_EQ(ZvCFunction_GetFunction(o), (ZvCFunction)fn_o);
    EXPECT_EQ(ZvCFunction_GetFlags(o), METH_O);
    EXPECT_EQ(ZvCFunction_GetSelf(o), nullptr);
    EXPECT_EQ(ZvCFunction_GetSelf(mod), nullptr);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    EXPECT_EQ(ZvCFunction_GetFlags(mod), -1);
    EXPECT_EQ(zv_error_text(), "bad argument to internal function");
    EXPECT_EQ(ZvCFunction_NewEx(nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    // Unbound functions order by name when their selves are equal.
    EXPECT_EQ(ZvObject_Compare(noargs, o), -1);
    EXPECT_EQ(ZvObject_Compare(o, noargs), 1);
}

TEST_F(DescrTest, FindMethodSearchesTheChainInOrder)
{
    static ZvMethodDef first[] = {{"zeta", fn_o, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
    static ZvMethodDef second[] = {{"alpha", fn_noargs, METH_NOARGS, nullptr},
                                   {"zeta", fn_noargs, METH_NOARGS, nullptr},
                                   {nullptr, nullptr, 0, nullptr}};
    ZvMethodChain tail = {second, nullptr};
    ZvMethodChain chain = {first, &tail};
    Owned self(zv_string("s"));

    EXPECT_EQ(text(Zv_FindMethodInChain(&chain, self, "__methods__")), "['alpha', 'zeta', 'zeta']");
    Owned zeta(Zv_FindMethodInChain(&chain, self, "zeta"));
    ASSERT_NE(zeta.get(), nullptr);
    EXPECT_EQ(ZvCFunction_GET_FUNCTION(zeta.get()), (ZvCFunction)fn_o);
    EXPECT_EQ(ZvCFunction_GET_SELF(zeta.get()), self.get());
    Owned alpha(Zv_FindMethodInChain(&chain, self, "alpha"));
    EXPECT_EQ(text(zv_call(alpha)), "noargs");
    EXPECT_EQ(Zv_FindMethodInChain(&chain, self, "missing"), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_AttributeError));
    EXPECT_EQ(zv_error_text(), "missing");
    EXPECT_EQ(text(Zv_FindMethod(first, self, "__doc__")), ZvString_Type.tp_doc);
    EXPECT_EQ(Zv_FindMethod(first, self, ""), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
}

TEST_F(DescrTest, MembersConvertEveryStorageType)
{
    Owned r(new_rec());
    auto *rec = (Rec *)r.get();
    struct Case {
        const char *name;
        int32_t in;
        const char *out;
    };
    // Integer fields keep the low bits of what is written.
    for (const Case &c : {Case{"s", 70000, "4464"}, Case{"i", -7, "-7"}, Case{"l", 123, "123"},
                          Case{"b", 255, "-1"}, Case{"ub", -1, "255"}, Case{"us", -1, "65535"},
                          Case{"ui", 5, "5"}}) {
        Owned v(zv_int(c.in));
        EXPECT_EQ(ZvObject_SetAttrString(r, c.name, v), 0) << c.name;
        EXPECT_EQ(text(zv_getattr(r, c.name)), c.out) << c.name;
    }
    // An unsigned field with the top bit set reads as a negative int
    // (T_UINT) or as a long (T_ULONG).
    rec->ui = 0x80000000u;
    rec->ul = 0x80000000u;
    EXPECT_EQ(text(zv_getattr(r, "ui")), "-2147483648");
    Owned big(zv_getattr(r, "ul"));
    ASSERT_TRUE(big.get() != nullptr && ZvLong_CheckExact(big));
    EXPECT_EQ(zv_repr(big), "2147483648L");
    // What was read can be written back.
    rec->ul = 0;
    EXPECT_EQ(ZvObject_SetAttrString(r, "ul", big), 0);
    EXPECT_EQ(rec->ul, 0x80000000u);

    Owned three(zv_int(3));
    EXPECT_EQ(ZvObject_SetAttrString(r, "f", three), 0);
    EXPECT_EQ(rec->f, 3.0f);
    Owned half(ZvFloat_FromDouble(0.5));
    EXPECT_EQ(ZvObject_SetAttrString(r, "d", half), 0);
    EXPECT_EQ(text(zv_getattr(r, "d")), "0.5");

    EXPECT_EQ(text(zv_getattr(r, "str")), "None");
    rec->str = "chars";
    EXPECT_EQ(text(zv_getattr(r, "str")), "chars");
    strcpy(rec->inplace, "inl");
    EXPECT_EQ(text(zv_getattr(r, "inplace")), "inl");
    Owned q(zv_string("q"));
    EXPECT_EQ(ZvObject_SetAttrString(r, "c", q), 0);
    EXPECT_EQ(text(zv_getattr(r, "c")), "q");

    EXPECT_EQ(text(zv_getattr(r, "obj")), "None");
    EXPECT_EQ(ZvObject_SetAttrString(r, "obj", q), 0);
    EXPECT_EQ(rec->obj, q.get());
    EXPECT_EQ(ZvObject_SetAttrString(r, "obj", nullptr), 0);
    EXPECT_EQ(rec->obj, nullptr);
}

TEST_F(DescrTest, MemberWritesAreChecked)
{
    Owned r(new_rec());
    Owned ab(zv_string("ab")), one(zv_int(1)), half(ZvFloat_FromDouble(0.5));

    EXPECT_EQ(ZvObject_SetAttrString(r, "i", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "can't delete numeric/char attribute");
    EXPECT_EQ(ZvObject_SetAttrString(r, "i", half), -1);
    EXPECT_EQ(zv_error_text(), "bad argument type for built-in operation");
    EXPECT_EQ(ZvObject_SetAttrString(r, "c", ab), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvObject_SetAttrString(r, "ro", one), -1);
    EXPECT_EQ(zv_error_text(), "readonly attribute");
    EXPECT_EQ(ZvObject_SetAttrString(r, "str", ab), -1);
    EXPECT_EQ(zv_error_text(), "readonly attribute");
    EXPECT_EQ(zv_getattr(r, "unknown"), nullptr);
    EXPECT_EQ(zv_error_text(), "bad memberdescr type for unknown");
    EXPECT_EQ(ZvObject_SetAttrString(r, "unknown", one), -1);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));

    // An unset T_OBJECT_EX member reads as AttributeError; deleting it is quiet.
    EXPECT_EQ(zv_getattr(r, "objex"), nullptr);
    EXPECT_TRUE(ZvErr_ExceptionMatches(ZvExc_AttributeError));
    EXPECT_EQ(zv_error_text(), "objex");
    EXPECT_EQ(ZvObject_SetAttrString(r, "objex", nullptr), 0);
    EXPECT_EQ(ZvObject_SetAttrString(r, "objex", one), 0);
    EXPECT_EQ(text(zv_getattr(r, "objex")), "1");

    // No instance dictionary: unknown names cannot be stored.
    EXPECT_EQ(ZvObject_SetAttrString(r, "nosuch", one), -1);
    EXPECT_EQ(zv_error_text(), "'Rec' object has no attribute 'nosuch'");
}

TEST_F(DescrTest, OldStyleMemberListsByName)
{
    struct Pair {
        int32_t x;
        ZvObject *y;
    } p = {4, nullptr};
    struct memberlist list[] = {{"y", T_OBJECT, offsetof(Pair, y), 0},
                                {"x", T_INT, offsetof(Pair, x), READONLY},
                                {nullptr, 0, 0, 0}};
    EXPECT_EQ(text(ZvMember_Get((char *)&p, list, "__members__")), "['x', 'y']");
    EXPECT_EQ(text(ZvMember_Get((char *)&p, list, "x")), "4");
    Owned one(zv_int(1));
    EXPECT_EQ(ZvMember_Set((char *)&p, list, "x", one), -1);
    EXPECT_EQ(zv_error_text(), "readonly attribute");
    EXPECT_EQ(ZvMember_Set((char *)&p, list, "y", one), 0);
    EXPECT_EQ(p.y, one.get());
    EXPECT_EQ(ZvMember_Set((char *)&p, list, "y", nullptr), 0);
    EXPECT_EQ(ZvMember_Get((char *)&p, list, "z"), nullptr);
    EXPECT_EQ(zv_error_text(), "z");
    EXPECT_EQ(ZvMember_Set((char *)&p, list, "z", one), -1);
    EXPECT_EQ(zv_error_text(), "z");
}

TEST_F(DescrTest, GetSetAndMemberDescriptorsApplyOnlyToTheirType)
{
    Owned r(new_rec());
    Owned five(zv_int(5));
    EXPECT_EQ(ZvObject_SetAttrString(r, "plus_ten", five), 0);
    EXPECT_EQ(text(zv_getattr(r, "twice")), "30");
    EXPECT_EQ(zv_getattr(r, "plus_ten"), nullptr);
    EXPECT_EQ(zv_error_text(), "attribute 'plus_ten' of 'Rec' objects is not readable");
    EXPECT_EQ(ZvObject_SetAttrString(r, "twice", five), -1);
    EXPECT_EQ(zv_error_text(), "attribute 'twice' of 'Rec' objects is not writable");

    ZvObject *member = ZvDict_GetItemString(rec_type()->tp_dict, "i");
    ZvObject *getset = ZvDict_GetItemString(rec_type()->tp_dict, "twice");
    ASSERT_TRUE(member != nullptr && getset != nullptr);
    EXPECT_EQ(zv_repr(member), "<member 'i' of 'Rec' objects>");
    EXPECT_EQ(zv_repr(getset), "<attribute 'twice' of 'Rec' objects>");
    EXPECT_EQ(text(zv_getattr(member, "__doc__")), "an int");
    EXPECT_EQ(text(zv_getattr(getset, "__doc__")), "twice i");
    EXPECT_TRUE(ZvDescr_IsData(member));
    EXPECT_TRUE(ZvDescr_IsData(getset));

    // Through the class the descriptor itself comes back.
    Owned via_class(zv_getattr(ZV_TYPE_OBJ(Rec_Type), "i"));
    EXPECT_EQ(via_class.get(), member);

    EXPECT_EQ(Zv_TYPE(member)->tp_descr_get(member, five, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor 'i' for 'Rec' objects doesn't apply to 'int' object");
    EXPECT_EQ(Zv_TYPE(getset)->tp_descr_set(getset, five, five), -1);
    EXPECT_EQ(zv_error_text(), "descriptor 'twice' for 'Rec' objects doesn't apply to 'int' object");
}

TEST_F(DescrTest, SlotWrappersExposeNativeSlots)
{
    Owned add(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__add__"));
    ASSERT_TRUE(add.get() != nullptr && Zv_TYPE(add) == &ZvWrapperDescr_Type);
    EXPECT_EQ(zv_repr(add), "<slot wrapper '__add__' of 'int' objects>");
    EXPECT_EQ(text(zv_getattr(add, "__doc__")), "x.__add__(y) <==> x+y");
    Owned one(zv_int(1)), two(zv_int(2)), s(zv_string("s"));
    EXPECT_EQ(text(zv_call(add, {one.get(), two.get()})), "3");
    EXPECT_EQ(zv_call(add, {s.get(), one.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "descriptor '__add__' requires a 'int' object but received a 'str'");

    Owned bound(zv_getattr(one, "__add__"));
    ASSERT_NE(bound.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(bound), &ZvMethodWrapper_Type);
    EXPECT_EQ(text(zv_getattr(bound, "__name__")), "__add__");
    EXPECT_EQ(text(zv_call(bound, {two.get()})), "3");
    // Operands of other types get NotImplemented, as a slot would answer.
    EXPECT_EQ(text(zv_call(bound, {s.get()})), "NotImplemented");
    EXPECT_EQ(zv_call(bound, {}), nullptr);
    EXPECT_EQ(zv_error_text(), "expected 1 arguments, got 0");
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "y", two);
    EXPECT_EQ(zv_call(bound, {two.get()}, kw), nullptr);
    EXPECT_EQ(zv_error_text(), "wrapper __add__ doesn't take keyword arguments");

    Owned radd(zv_getattr(one, "__radd__"));
    Owned sub_r(zv_getattr(two, "__rsub__"));
    EXPECT_EQ(text(zv_call(sub_r, {one.get()})), "-1");
    Owned lt(zv_getattr(one, "__lt__"));
    if (lt.get() != nullptr)
        EXPECT_EQ(text(zv_call(lt, {two.get()})), "True");
    else
        ZvErr_Clear(); // int compares three-way only
    Owned cmp(zv_getattr(one, "__cmp__"));
    ASSERT_NE(cmp.get(), nullptr);
    EXPECT_EQ(text(zv_call(cmp, {two.get()})), "-1");
    EXPECT_EQ(zv_call(cmp, {s.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "int.__cmp__(x,y) requires y to be a 'int', not a 'str'");
    Owned hash(zv_getattr(s, "__hash__"));
    EXPECT_EQ(zv_intval(Owned(zv_call(hash)).get()), ZvObject_Hash(s));
}

TEST_F(DescrTest, SequenceWrappersAdjustNegativeIndexes)
{
    Owned a(zv_string("a")), b(zv_string("b")), c(zv_string("c"));
    Owned t(zv_tuple({a.get(), b.get(), c.get()}));
    Owned minus_one(zv_int(-1)), len(zv_getattr(t, "__len__"));
    EXPECT_EQ(text(zv_call(len)), "3");
    Owned getitem(zv_getattr(ZV_TYPE_OBJ(ZvTuple_Type), "__getitem__"));
    EXPECT_EQ(text(zv_call(getitem, {t.get(), minus_one.get()})), "c");
    Owned contains(zv_getattr(t, "__contains__"));
    EXPECT_EQ(text(zv_call(contains, {b.get()})), "True");
}

TEST_F(DescrTest, PropertyCallsItsFunctions)
{
    Owned fget(zv_native(O)), fset(zv_native(RECORD)), fdel(zv_native(FAIL)),
        doc(zv_string("the doc"));
    Owned prop(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {fget.get(), fset.get(), fdel.get(), doc.get()}));
    ASSERT_NE(prop.get(), nullptr);
    Owned inst(zv_int(42));
    descrgetfunc get = ZvProperty_Type.tp_descr_get;
    descrsetfunc set = ZvProperty_Type.tp_descr_set;

    EXPECT_EQ(text(get(prop, inst, nullptr)), "42");
    Owned same(get(prop, nullptr, nullptr));
    EXPECT_EQ(same.get(), prop.get());
    Owned same2(get(prop, Zv_None, nullptr));
    EXPECT_EQ(same2.get(), prop.get());
    Owned seven(zv_int(7));
    EXPECT_EQ(set(prop, inst, seven), 0);
    EXPECT_EQ(zv_str(last_args), "(42, 7)");
    EXPECT_EQ(set(prop, inst, nullptr), -1);
    EXPECT_EQ(zv_error_text(), "refused");
    EXPECT_EQ(text(zv_getattr(prop, "__doc__")), "the doc");
    Owned f(zv_getattr(prop, "fget"));
    EXPECT_EQ(f.get(), fget.get());
    EXPECT_EQ(ZvObject_SetAttrString(prop, "fget", fset), -1);
    EXPECT_EQ(zv_error_text(), "readonly attribute");

    // None stands for a missing function; keywords name the parts.
    Owned kw(ZvDict_New());
    ZvDict_SetItemString(kw, "fget", Zv_None);
    Owned bare(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {}, kw));
    ASSERT_NE(bare.get(), nullptr);
    EXPECT_EQ(text(zv_getattr(bare, "fget")), "None");
    EXPECT_EQ(get(bare, inst, nullptr), nullptr);
    EXPECT_EQ(zv_error_text(), "unreadable attribute");
    EXPECT_EQ(set(bare, inst, seven), -1);
    EXPECT_EQ(zv_error_text(), "can't set attribute");
    EXPECT_EQ(set(bare, inst, nullptr), -1);
    EXPECT_EQ(zv_error_text(), "can't delete attribute");
    Owned five(zv_int(5));
    EXPECT_EQ(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {five.get(), five.get(), five.get(), five.get(), five.get()}), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    Zv_CLEAR(last_args);
}

TEST_F(DescrTest, TypeDictionaryIsAReadOnlyProxy)
{
    Owned proxy(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__dict__"));
    ASSERT_TRUE(proxy.get() != nullptr && Zv_TYPE(proxy) == &ZvDictProxy_Type);
    Owned name(zv_string("__add__")), nope(zv_string("nope"));
    EXPECT_EQ(ZvObject_Size(proxy), ZvDict_Size(ZvInt_Type.tp_dict));
    Owned item(ZvObject_GetItem(proxy, name));
    EXPECT_EQ(Zv_TYPE(item), &ZvWrapperDescr_Type);
    EXPECT_EQ(ZvSequence_Contains(proxy, name), 1);
    EXPECT_EQ(ZvSequence_Contains(proxy, nope), 0);
    EXPECT_EQ(text(zv_callattr(proxy, "has_key", {name.get()})), "True");
    Owned one(zv_int(1));
    EXPECT_EQ(text(zv_callattr(proxy, "get", {nope.get(), one.get()})), "1");
    Owned keys(zv_callattr(proxy, "keys"));
    EXPECT_TRUE(keys.get() != nullptr && ZvList_Check(keys));
    Owned copy(zv_callattr(proxy, "copy"));
    EXPECT_TRUE(copy.get() != nullptr && ZvDict_CheckExact(copy));
    EXPECT_EQ(ZvObject_SetItem(proxy, nope, one), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvObject_SetAttrString(ZV_TYPE_OBJ(ZvInt_Type), "__dict__", one), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvDictProxy_New(nullptr), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_SystemError));
}
