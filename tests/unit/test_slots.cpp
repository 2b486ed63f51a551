// Special methods of classes filling the native slots: the protocols of
// the runtime reach native functions stored in a class under special
// names, slots follow later assignments to the class, and a misbehaving
// special method gives an error, never a crash.
//
// A built-in function stored in a class is not bound to the instance (it
// has no __get__), so the functions here receive only the explicit
// arguments; methods that need self are method descriptors made for the
// class after it exists.
#include <string>

#include "typetest.h"

namespace {

std::string text(ZvObject *o)
{
    std::string s = o ? zv_str(o) : "<NULL>";
    Zv_XDECREF(o);
    return s;
}

ZvObject *the_class = nullptr; // for methods that change their own class
int calls = 0;

ZvObject *tag(const char *s)
{
    calls++;
    return ZvString_FromString(s);
}

ZvObject *fn_a_add(ZvObject *, ZvObject *) { return tag("A.add"); }
ZvObject *fn_b_radd(ZvObject *, ZvObject *) { return tag("B.radd"); }
ZvObject *fn_a_radd(ZvObject *, ZvObject *) { return tag("A.radd"); }
ZvObject *fn_mine(ZvObject *, ZvObject *) { return tag("mine"); }
ZvObject *fn_len_seven(ZvObject *, ZvObject *) { return ZvInt_FromLong(7); }
ZvObject *fn_len_negative(ZvObject *, ZvObject *) { return ZvInt_FromLong(-1); }
ZvObject *fn_return_str(ZvObject *, ZvObject *) { return ZvString_FromString("text"); }
ZvObject *fn_return_int(ZvObject *, ZvObject *) { return ZvInt_FromLong(3); }
ZvObject *fn_return_minus_one(ZvObject *, ZvObject *) { return ZvInt_FromLong(-1); }
ZvObject *fn_raise(ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_ValueError, "from the method");
    return nullptr;
}
ZvObject *fn_echo_args(ZvObject *, ZvObject *args)
{
    Zv_INCREF(args);
    return args;
}
ZvObject *fn_true(ZvObject *, ZvObject *) { Zv_RETURN_TRUE; }
ZvObject *fn_delete_own_add(ZvObject *, ZvObject *)
{
    if (ZvObject_SetAttrString(the_class, "__add__", nullptr) < 0) return nullptr;
    return tag("deleted myself");
}

ZvObject *resurrected = nullptr;
int del_calls = 0;
ZvObject *fn_del_resurrect(ZvObject *self, ZvObject *)
{
    if (del_calls++ == 0) {
        Zv_INCREF(self);
        resurrected = self;
    }
    Zv_RETURN_NONE;
}

#define VARARGS(name, fn) {name, fn, METH_VARARGS, nullptr}
ZvMethodDef a_add = VARARGS("__add__", fn_a_add);
ZvMethodDef a_radd = VARARGS("__radd__", fn_a_radd);
ZvMethodDef b_radd = VARARGS("__radd__", fn_b_radd);
ZvMethodDef mine = VARARGS("__getitem__", fn_mine);
ZvMethodDef len_seven = VARARGS("__len__", fn_len_seven);
ZvMethodDef len_negative = VARARGS("__len__", fn_len_negative);
ZvMethodDef return_str = VARARGS("f", fn_return_str);
ZvMethodDef return_int = VARARGS("f", fn_return_int);
ZvMethodDef return_minus_one = VARARGS("f", fn_return_minus_one);
ZvMethodDef raising = VARARGS("f", fn_raise);
ZvMethodDef echo = VARARGS("f", fn_echo_args);
ZvMethodDef truth = VARARGS("f", fn_true);
ZvMethodDef delete_own_add = VARARGS("__add__", fn_delete_own_add);
ZvMethodDef del_resurrect = {"__del__", fn_del_resurrect, METH_NOARGS, nullptr};

ZvObject *native(ZvMethodDef &def) { return zv_native(&def); }

} // namespace

using SlotTest = ZvTest;

TEST_F(SlotTest, NativeAddOfAClassIsReachedByNumberAdd)
{
    Owned add(native(a_add)), radd(native(a_radd));
    Owned cls(zv_class("A", {}, {{"__add__", add.get()}, {"__radd__", radd.get()}}));
    Owned a(zv_call(cls)), one(zv_int(1));
    EXPECT_EQ(text(ZvNumber_Add(a, one)), "A.add");
    EXPECT_EQ(text(ZvNumber_Add(one, a)), "A.radd");
    EXPECT_EQ(text(zv_callattr(a, "__add__", {one.get()})), "A.add");
}

TEST_F(SlotTest, OverriddenReflectedMethodOfASubclassGoesFirst)
{
    Owned add(native(a_add)), radd(native(a_radd)), bradd(native(b_radd));
    Owned a_cls(zv_class("A", {}, {{"__add__", add.get()}, {"__radd__", radd.get()}}));
    Owned b_cls(zv_class("B", {a_cls.get()}, {{"__radd__", bradd.get()}}));
    Owned a(zv_call(a_cls)), b(zv_call(b_cls));
    EXPECT_EQ(text(ZvNumber_Add(a, b)), "B.radd");
    EXPECT_EQ(text(ZvNumber_Add(b, a)), "A.add");
}

TEST_F(SlotTest, SubclassOfListWithGetitemWinsOverTheBaseSlot)
{
    Owned getitem(native(mine));
    Owned cls(zv_class("L", {ZV_TYPE_OBJ(ZvList_Type)}, {{"__getitem__", getitem.get()}}));
    Owned l(zv_call(cls)), zero(zv_int(0)), x(zv_string("x"));
    ASSERT_EQ(ZvList_Append(l, x), 0);
    EXPECT_EQ(text(ZvObject_GetItem(l, zero)), "mine");
    EXPECT_EQ(text(ZvSequence_GetItem(l, 0)), "mine");
    // What the class does not define stays the list's native slot.
    auto *type = (ZvTypeObject *)cls.get();
    EXPECT_EQ(type->tp_as_sequence->sq_length, ZvList_Type.tp_as_sequence->sq_length);
    EXPECT_EQ(ZvObject_Size(l), 1);
}

TEST_F(SlotTest, InheritedNativeSlotsStayUntilAMethodIsAssigned)
{
    Owned cls(zv_class("I", {ZV_TYPE_OBJ(ZvInt_Type)}));
    auto *type = (ZvTypeObject *)cls.get();
    EXPECT_EQ(type->tp_as_number->nb_add, ZvInt_Type.tp_as_number->nb_add);
    Owned two(zv_int(2));
    Owned i(zv_call(cls, {two.get()}));
    EXPECT_EQ(text(ZvNumber_Add(i, two)), "4");

    Owned add(native(a_add));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "__add__", add), 0);
    EXPECT_NE(type->tp_as_number->nb_add, ZvInt_Type.tp_as_number->nb_add);
    EXPECT_EQ(text(ZvNumber_Add(i, two)), "A.add");
    Owned int_add(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__add__"));
    EXPECT_EQ(Zv_TYPE(int_add), &ZvWrapperDescr_Type);
    EXPECT_EQ(text(zv_call(int_add, {i.get(), two.get()})), "4");

    ASSERT_EQ(ZvObject_SetAttrString(cls, "__add__", nullptr), 0);
    EXPECT_EQ(type->tp_as_number->nb_add, ZvInt_Type.tp_as_number->nb_add);
    EXPECT_EQ(text(ZvNumber_Add(i, two)), "4");
}

TEST_F(SlotTest, AssignedMethodsReachSubclassesThatDoNotDefineThem)
{
    Owned base(zv_class("Base", {}));
    Owned plain(zv_class("Plain", {base.get()}));
    Owned own_len(native(len_negative));
    Owned own(zv_class("Own", {base.get()}, {{"__len__", own_len.get()}}));
    Owned b(zv_call(base)), p(zv_call(plain)), o(zv_call(own));
    EXPECT_EQ(ZvObject_Size(p), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    Owned len(native(len_seven));
    ASSERT_EQ(ZvObject_SetAttrString(base, "__len__", len), 0);
    EXPECT_EQ(ZvObject_Size(b), 7);
    EXPECT_EQ(ZvObject_Size(p), 7);
    EXPECT_EQ(ZvObject_Size(o), -1);
    EXPECT_EQ(zv_error_text(), "__len__() should return >= 0");
    EXPECT_EQ(ZvObject_IsTrue(p), 1);
}

TEST_F(SlotTest, MisbehavingSpecialMethodsGiveErrors)
{
    Owned str_fn(native(return_str)), int_fn(native(return_int)), raise_fn(native(raising)),
        minus_one(native(return_minus_one));
    Owned cls(zv_class("Bad", {}, {{"__len__", str_fn.get()}, {"__nonzero__", str_fn.get()},
                                   {"__repr__", int_fn.get()}, {"__str__", raise_fn.get()},
                                   {"__hash__", minus_one.get()}, {"__getitem__", raise_fn.get()},
                                   {"__call__", raise_fn.get()}}));
    Owned bad(zv_call(cls)), one(zv_int(1));
    EXPECT_EQ(ZvObject_Size(bad), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(ZvObject_IsTrue(bad), -1);
    EXPECT_EQ(zv_error_text(), "__nonzero__ should return bool or int, returned str");
    EXPECT_EQ(ZvObject_Repr(bad), nullptr);
    EXPECT_EQ(zv_error_text(), "__repr__ returned non-string (type int)");
    EXPECT_EQ(ZvObject_Str(bad), nullptr);
    EXPECT_EQ(zv_error_text(), "from the method");
    EXPECT_EQ(ZvObject_Hash(bad), -2);
    EXPECT_EQ(ZvObject_GetItem(bad, one), nullptr);
    EXPECT_EQ(zv_error_text(), "from the method");
    EXPECT_EQ(zv_call(bad), nullptr);
    EXPECT_EQ(zv_error_text(), "from the method");
    // No special methods: the defaults.
    Owned plain_cls(zv_class("Plain", {}));
    Owned plain(zv_call(plain_cls));
    EXPECT_EQ(ZvObject_IsTrue(plain), 1);
    EXPECT_EQ(zv_call(plain), nullptr);
    EXPECT_EQ(zv_error_text(), "'Plain' object is not callable");
}

TEST_F(SlotTest, AMethodThatDeletesItselfWhileRunning)
{
    // The class holds the only reference to the method it deletes.
    ZvObject *add = native(delete_own_add);
    Owned cls(zv_class("SelfDeleting", {}, {{"__add__", add}}));
    Zv_DECREF(add);
    the_class = cls.get();
    Owned inst(zv_call(cls)), one(zv_int(1));
    EXPECT_EQ(text(ZvNumber_Add(inst, one)), "deleted myself");
    EXPECT_EQ(ZvNumber_Add(inst, one), nullptr);
    EXPECT_EQ(zv_error_text(), "unsupported operand type(s) for +: 'SelfDeleting' and 'int'");
    the_class = nullptr;
}

TEST_F(SlotTest, CallsComparisonsAndAttributeHooks)
{
    Owned echo_fn(native(echo)), true_fn(native(truth)), int_fn(native(return_int));
    Owned cls(zv_class("Hooks", {}, {{"__call__", echo_fn.get()}, {"__lt__", true_fn.get()},
                                     {"__getattr__", echo_fn.get()}, {"__cmp__", int_fn.get()},
                                     {"__contains__", true_fn.get()}}));
    Owned h(zv_call(cls)), g(zv_call(cls)), one(zv_int(1));
    EXPECT_EQ(text(zv_call(h, {one.get()})), "(1,)");
    EXPECT_EQ(ZvObject_RichCompareBool(h, g, Zv_LT), 1);
    EXPECT_EQ(ZvObject_Compare(h, g), 1);
    EXPECT_EQ(ZvSequence_Contains(h, one), 1);
    // __getattr__ only runs when the normal lookup fails.
    EXPECT_EQ(text(zv_getattr(h, "missing")), "('missing',)");
    ASSERT_EQ(ZvObject_SetAttrString(h, "present", one), 0);
    EXPECT_EQ(text(zv_getattr(h, "present")), "1");

    Owned setattr_cls(zv_class("Setter", {}, {{"__setattr__", echo_fn.get()},
                                              {"__delattr__", echo_fn.get()}}));
    Owned s(zv_call(setattr_cls));
    EXPECT_EQ(ZvObject_SetAttrString(s, "x", one), 0);
    EXPECT_EQ(ZvObject_SetAttrString(s, "x", nullptr), 0);
    EXPECT_EQ(zv_getattr(s, "x"), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
}

TEST_F(SlotTest, SetattrWrappersCannotBypassAnotherTypesProtection)
{
    Owned cls(zv_class("C", {}));
    Owned setattr(zv_getattr(ZV_TYPE_OBJ(ZvBaseObject_Type), "__setattr__"));
    Owned name(zv_string("x")), one(zv_int(1));
    EXPECT_EQ(zv_call(setattr, {cls.get(), name.get(), one.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "can't apply this __setattr__ to type object");
    Owned inst(zv_call(cls));
    EXPECT_EQ(text(zv_call(setattr, {inst.get(), name.get(), one.get()})), "None");
    EXPECT_EQ(text(zv_getattr(inst, "x")), "1");
}

TEST_F(SlotTest, DescriptorClassesDefinedWithGetAndSet)
{
    Owned echo_fn(native(echo));
    Owned descr_cls(zv_class("Descr", {}, {{"__get__", echo_fn.get()}, {"__set__", echo_fn.get()}}));
    Owned descr(zv_call(descr_cls));
    Owned owner(zv_class("Owner", {}, {{"attr", descr.get()}}));
    Owned o(zv_call(owner)), one(zv_int(1));
    // __get__ receives the descriptor, the instance and the owner.
    Owned got(zv_getattr(o, "attr"));
    ASSERT_TRUE(got.get() != nullptr && ZvTuple_Check(got));
    EXPECT_EQ(ZvTuple_GET_SIZE(got.get()), 3);
    EXPECT_EQ(ZvTuple_GET_ITEM(got.get(), 1), o.get());
    Owned via_class(zv_getattr(owner, "attr"));
    EXPECT_EQ(ZvTuple_GET_ITEM(via_class.get(), 1), Zv_None);
    // A data descriptor: the store goes to __set__, not the dictionary.
    EXPECT_EQ(ZvObject_SetAttrString(o, "attr", one), 0);
    EXPECT_EQ(text(zv_getattr(o, "__dict__")), "{}");
}

TEST_F(SlotTest, InitReturningAValueWarns)
{
    Owned int_fn(native(return_int));
    Owned cls(zv_class("C", {}, {{"__init__", int_fn.get()}}));
    Owned inst(zv_call(cls));
    EXPECT_NE(inst.get(), nullptr);
}

TEST_F(SlotTest, FinalizersRunAndMayResurrect)
{
    Owned cls(zv_class("Phoenix", {}));
    Owned del(ZvDescr_NewMethod((ZvTypeObject *)cls.get(), &del_resurrect));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "__del__", del), 0);
    del_calls = 0;
    ZvObject *p = zv_call(cls);
    Owned one(zv_int(1));
    ASSERT_EQ(ZvObject_SetAttrString(p, "x", one), 0);
    Zv_DECREF(p);
    EXPECT_EQ(del_calls, 1);
    ASSERT_EQ(resurrected, p);
    EXPECT_EQ(text(zv_getattr(resurrected, "x")), "1");
    ZvObject *again = resurrected;
    resurrected = nullptr;
    Zv_DECREF(again);
    EXPECT_EQ(del_calls, 2);

    // A finalizer that raises is reported and the object still goes.
    Owned raise_fn(native(raising));
    Owned bad_cls(zv_class("BadDel", {}, {{"__del__", raise_fn.get()}}));
    ZvObject *bad = zv_call(bad_cls);
    ZvErr_SetString(ZvExc_KeyError, "pending");
    Zv_DECREF(bad);
    EXPECT_EQ(zv_error_text(), "pending");
}

TEST_F(SlotTest, SequenceIterationFallsBackToGetitem)
{
    Owned getitem(native(mine));
    Owned cls(zv_class("Seq", {}, {{"__getitem__", getitem.get()}}));
    Owned s(zv_call(cls));
    Owned iter_method(zv_getattr(s, "__iter__"));
    EXPECT_EQ(iter_method.get(), nullptr);
    ZvErr_Clear();
    Owned noiter_cls(zv_class("NoIter", {}));
    Owned n(zv_call(noiter_cls));
    EXPECT_EQ(ZvObject_GetIter(n), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}
