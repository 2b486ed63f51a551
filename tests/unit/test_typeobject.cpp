// Types and classes created at run time: type(), the MRO, instance layout
// and __slots__, attribute lookup and assignment on types and instances,
// __class__ and __bases__ assignment, subclasses of built-in types.
#include <string.h>

#include <string>

#include "typetest.h"

namespace {

std::string text(ZvObject *o)
{
    std::string s = o ? zv_str(o) : "<NULL>";
    Zv_XDECREF(o);
    return s;
}

int init_calls = 0;

ZvObject *fn_count_init(ZvObject *, ZvObject *)
{
    init_calls++;
    Zv_RETURN_NONE;
}
ZvObject *fn_new_gives_int(ZvObject *, ZvObject *) { return ZvInt_FromLong(5); }
ZvObject *fn_mro_bad(ZvObject *, ZvObject *) { return Zv_BuildValue("[i]", 1); }
ZvObject *fn_self(ZvObject *self, ZvObject *) { return ZvString_FromFormat("method of %s", Zv_TYPE(self)->tp_name); }

ZvMethodDef defs[] = {
    {"__init__", fn_count_init, METH_VARARGS, nullptr},
    {"__new__", fn_new_gives_int, METH_VARARGS, nullptr},
    {"mro", fn_mro_bad, METH_VARARGS, nullptr},
    {"m", fn_self, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZvObject *new_instance(ZvObject *cls) { return zv_call(cls); }

} // namespace


using TypeTest = ZvTest;

TEST_F(TypeTest, TypeWithOneArgumentGivesTheType)
{
    Owned five(zv_int(5));
    Owned t(zv_call(ZV_TYPE_OBJ(ZvType_Type), {five.get()}));
    EXPECT_EQ(t.get(), ZV_TYPE_OBJ(ZvInt_Type));
    Owned name(zv_string("C")), bases(ZvTuple_New(0));
    EXPECT_EQ(zv_call(ZV_TYPE_OBJ(ZvType_Type), {name.get(), bases.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "type() takes 1 or 3 arguments");
    Owned d(ZvDict_New());
    EXPECT_EQ(zv_call(ZV_TYPE_OBJ(ZvType_Type), {five.get(), bases.get(), d.get()}), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(zv_repr(ZV_TYPE_OBJ(ZvInt_Type)), "<type 'int'>");
}

TEST_F(TypeTest, ClassesDeriveFromObjectAndHoldTheirDictionary)
{
    Owned mod(zv_string("mymod")), doc(zv_string("A class."));
    Owned cls(zv_class("C", {}, {{"__module__", mod.get()}, {"__doc__", doc.get()}}));
    ASSERT_NE(cls.get(), nullptr);
    auto *type = (ZvTypeObject *)cls.get();
    EXPECT_EQ(type->tp_base, &ZvBaseObject_Type);
    EXPECT_EQ(zv_repr(cls), "<class 'mymod.C'>");
    EXPECT_EQ(text(zv_getattr(cls, "__mro__")), "(<class 'mymod.C'>, <type 'object'>)");
    EXPECT_EQ(text(zv_getattr(cls, "__bases__")), "(<type 'object'>,)");
    EXPECT_EQ(text(zv_getattr(cls, "__doc__")), "A class.");
    EXPECT_STREQ(type->tp_doc, "A class.");
    EXPECT_EQ(text(zv_getattr(cls, "__module__")), "mymod");
    EXPECT_EQ(zv_getattr(cls, "nothing"), nullptr);
    EXPECT_EQ(zv_error_text(), "type object 'C' has no attribute 'nothing'");

    Owned inst(new_instance(cls));
    ASSERT_NE(inst.get(), nullptr);
    EXPECT_EQ(zv_repr(inst).rfind("<mymod.C object at ", 0), 0u);
    Owned one(zv_int(1));
    EXPECT_EQ(ZvObject_SetAttrString(inst, "x", one), 0);
    EXPECT_EQ(text(zv_getattr(inst, "x")), "1");
    EXPECT_EQ(text(zv_getattr(inst, "__dict__")), "{'x': 1}");
    Owned klass(zv_getattr(inst, "__class__"));
    EXPECT_EQ(klass.get(), cls.get());
    EXPECT_EQ(ZvObject_SetAttrString(inst, "x", nullptr), 0);
    EXPECT_EQ(ZvObject_SetAttrString(inst, "x", nullptr), -1);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__dict__", one), -1);
    EXPECT_EQ(zv_error_text(), "__dict__ must be set to a dictionary");

    // Arguments need an __init__ that takes them.
    EXPECT_EQ(zv_call(cls, {one.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "default __new__ takes no parameters");
}

TEST_F(TypeTest, NamesAndModulesOfTypes)
{
    Owned cls(zv_class("Old", {}));
    Owned nm(zv_string("New"));
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__name__", nm), 0);
    EXPECT_STREQ(((ZvTypeObject *)cls.get())->tp_name, "New");
    Owned bad(ZvString_FromStringAndSize("a\0b", 3));
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__name__", bad), -1);
    EXPECT_EQ(zv_error_text(), "__name__ must not contain null bytes");
    Owned one(zv_int(1));
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__name__", one), -1);
    EXPECT_EQ(zv_error_text(), "can only assign string to New.__name__, not 'int'");
    EXPECT_EQ(ZvObject_SetAttrString(cls, "__name__", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "can't delete New.__name__");
    EXPECT_EQ(ZvObject_SetAttrString(ZV_TYPE_OBJ(ZvInt_Type), "__name__", nm), -1);
    EXPECT_EQ(zv_error_text(), "can't set attributes of built-in/extension type 'int'");
    EXPECT_EQ(text(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__module__")), "__builtin__");
    EXPECT_EQ(text(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__name__")), "int");
    EXPECT_EQ(text(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__base__")), "<type 'object'>");
    Owned flags(zv_getattr(ZV_TYPE_OBJ(ZvType_Type), "__flags__"));
    EXPECT_EQ(zv_intval(flags), ZvType_Type.tp_flags);
}

TEST_F(TypeTest, DiamondMroIsLinearised)
{
    Owned a(zv_class("A", {})), b(zv_class("B", {a.get()})), c(zv_class("C", {a.get()}));
    Owned d(zv_class("D", {b.get(), c.get()}));
    ASSERT_NE(d.get(), nullptr);
    EXPECT_EQ(text(zv_getattr(d, "__mro__")),
              "(<class 'D'>, <class 'B'>, <class 'C'>, <class 'A'>, <type 'object'>)");
    EXPECT_EQ(text(zv_callattr(d, "mro")),
              "[<class 'D'>, <class 'B'>, <class 'C'>, <class 'A'>, <type 'object'>]");
    EXPECT_EQ(ZvType_IsSubtype((ZvTypeObject *)d.get(), (ZvTypeObject *)a.get()), 1);
    EXPECT_EQ(ZvType_IsSubtype((ZvTypeObject *)b.get(), (ZvTypeObject *)c.get()), 0);
    EXPECT_EQ(text(zv_callattr(a, "__subclasses__")), "[<class 'B'>, <class 'C'>]");
}

TEST_F(TypeTest, ImpossibleHierarchiesAreRefused)
{
    Owned a(zv_class("A", {})), b(zv_class("B", {}));
    Owned x(zv_class("X", {a.get(), b.get()})), y(zv_class("Y", {b.get(), a.get()}));
    EXPECT_EQ(zv_class("Z", {x.get(), y.get()}), nullptr);
    std::string msg = zv_error_text();
    EXPECT_TRUE(msg == "Cannot create a consistent method resolution\norder (MRO) for bases A, B" ||
                msg == "Cannot create a consistent method resolution\norder (MRO) for bases B, A")
        << msg;

    EXPECT_EQ(zv_class("C", {ZV_TYPE_OBJ(ZvBaseObject_Type), ZV_TYPE_OBJ(ZvBaseObject_Type)}), nullptr);
    EXPECT_EQ(zv_error_text(), "duplicate base class object");
    EXPECT_EQ(zv_class("C", {ZV_TYPE_OBJ(ZvInt_Type), ZV_TYPE_OBJ(ZvString_Type)}), nullptr);
    EXPECT_EQ(zv_error_text(), "multiple bases have instance lay-out conflict");
    EXPECT_EQ(zv_class("C", {ZV_TYPE_OBJ(ZvList_Type), ZV_TYPE_OBJ(ZvDict_Type)}), nullptr);
    EXPECT_EQ(zv_error_text(), "multiple bases have instance lay-out conflict");
    EXPECT_EQ(zv_class("C", {ZV_TYPE_OBJ(ZvCFunction_Type)}), nullptr);
    EXPECT_EQ(zv_error_text(), "type 'builtin_function_or_method' is not an acceptable base type");
    Owned one(zv_int(1));
    EXPECT_EQ(zv_class("C", {one.get()}), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));

    Owned m1(zv_class("M1", {ZV_TYPE_OBJ(ZvType_Type)})), m2(zv_class("M2", {ZV_TYPE_OBJ(ZvType_Type)}));
    Owned p(zv_class("P", {}, {}, m1)), q(zv_class("Q", {}, {}, m2));
    ASSERT_TRUE(p.get() != nullptr && q.get() != nullptr);
    EXPECT_EQ(Zv_TYPE(p), (ZvTypeObject *)m1.get());
    EXPECT_EQ(zv_class("R", {p.get(), q.get()}), nullptr);
    EXPECT_EQ(zv_error_text(),
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    // The most derived metaclass wins even when type is called.
    Owned r(zv_class("R", {p.get()}));
    EXPECT_EQ(Zv_TYPE(r), (ZvTypeObject *)m1.get());
}

TEST_F(TypeTest, MetatypeMroMustReturnClasses)
{
    Owned bad_mro(zv_native(&defs[2]));
    Owned meta(zv_class("Meta", {ZV_TYPE_OBJ(ZvType_Type)}, {{"mro", bad_mro.get()}}));
    ASSERT_NE(meta.get(), nullptr);
    EXPECT_EQ(zv_class("C", {}, {}, meta), nullptr);
    EXPECT_EQ(zv_error_text(), "mro() returned a non-class ('int')");
}

TEST_F(TypeTest, SlotsDecideTheInstanceLayout)
{
    Owned a(zv_string("a")), dict_name(zv_string("__dict__"));
    Owned slots(zv_tuple({a.get(), dict_name.get()}));
    Owned both(zv_class("Both", {}, {{"__slots__", slots.get()}}));
    ASSERT_NE(both.get(), nullptr);
    Owned inst(new_instance(both));
    Owned one(zv_int(1));
    EXPECT_EQ(zv_getattr(inst, "a"), nullptr);
    EXPECT_EQ(zv_error_text(), "a");
    EXPECT_EQ(ZvObject_SetAttrString(inst, "a", one), 0);
    EXPECT_EQ(ZvObject_SetAttrString(inst, "other", one), 0);
    EXPECT_EQ(text(zv_getattr(inst, "__dict__")), "{'other': 1}");
    EXPECT_EQ(text(zv_getattr(inst, "a")), "1");
    EXPECT_EQ(text(zv_getattr(both, "a")), "<member 'a' of 'Both' objects>");

    Owned empty(ZvTuple_New(0));
    Owned bare(zv_class("Bare", {}, {{"__slots__", empty.get()}}));
    ASSERT_NE(bare.get(), nullptr);
    EXPECT_EQ(((ZvTypeObject *)bare.get())->tp_flags & Zv_TPFLAGS_HAVE_GC, 0);
    EXPECT_EQ(((ZvTypeObject *)bare.get())->tp_basicsize, (int)sizeof(ZvObject));
    Owned binst(new_instance(bare));
    EXPECT_EQ(ZvObject_SetAttrString(binst, "x", one), -1);
    EXPECT_EQ(zv_error_text(), "'Bare' object has no attribute 'x'");
    EXPECT_EQ(zv_getattr(binst, "__dict__"), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));

    // Private names are mangled with the class name.
    Owned priv(zv_string("__p"));
    Owned mangled(zv_class("_M", {}, {{"__slots__", priv.get()}}));
    Owned minst(new_instance(mangled));
    EXPECT_EQ(ZvObject_SetAttrString(minst, "_M__p", one), 0);
    EXPECT_EQ(ZvObject_SetAttrString(minst, "__p", one), -1);
    EXPECT_TRUE(zv_raised(ZvExc_AttributeError));
}

TEST_F(TypeTest, BadSlotsAreRefused)
{
    Owned one(zv_int(1)), digits_name(zv_string("1a")), dict_name(zv_string("__dict__")),
        weak(zv_string("__weakref__")), x(zv_string("x"));
    struct Case {
        ZvObject *slots;
        ZvObject *base;
        const char *message;
    };
    Owned ones(zv_tuple({one.get()})), digits(zv_tuple({digits_name.get()})),
        dicts(zv_tuple({dict_name.get(), dict_name.get()})), weaks(zv_tuple({weak.get(), weak.get()})),
        xs(zv_tuple({x.get()}));
    Owned with_dict(zv_class("WithDict", {}));
    for (const Case &c : {
             Case{ones, ZV_TYPE_OBJ(ZvBaseObject_Type), "__slots__ must be strings"},
             Case{digits, ZV_TYPE_OBJ(ZvBaseObject_Type), "__slots__ must be identifiers"},
             Case{dicts, ZV_TYPE_OBJ(ZvBaseObject_Type), "__dict__ slot disallowed: we already got one"},
             Case{weaks, ZV_TYPE_OBJ(ZvBaseObject_Type),
                  "__weakref__ slot disallowed: either we already got one, or __itemsize__ != 0"},
             Case{dict_name, with_dict, "__dict__ slot disallowed: we already got one"},
             Case{xs, ZV_TYPE_OBJ(ZvTuple_Type), "nonempty __slots__ not supported for subtype of 'tuple'"},
         }) {
        EXPECT_EQ(zv_class("S", {c.base}, {{"__slots__", c.slots}}), nullptr);
        EXPECT_EQ(zv_error_text(), c.message);
    }
}

TEST_F(TypeTest, DataDescriptorsWinOverTheInstanceDictionary)
{
    static ZvMethodDef getter_def = {"getter", [](ZvObject *, ZvObject *) { return ZvString_FromString("from property"); },
                                 METH_O, nullptr};
    Owned fget(zv_native(&getter_def));
    Owned prop(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {fget.get()}));
    Owned plain(zv_string("class value"));
    Owned cls(zv_class("C", {}, {{"p", prop.get()}, {"plain", plain.get()}}));
    Owned m(ZvDescr_NewMethod((ZvTypeObject *)cls.get(), &defs[3]));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "m", m), 0);
    Owned inst(new_instance(cls));
    Owned dict(zv_getattr(inst, "__dict__"));
    Owned shadow(zv_string("instance value"));
    ZvDict_SetItemString(dict, "p", shadow);
    EXPECT_EQ(text(zv_getattr(inst, "p")), "from property");
    EXPECT_EQ(text(zv_getattr(inst, "plain")), "class value");
    EXPECT_EQ(text(zv_getattr(inst, "m")).rfind("<built-in method m of C object", 0), 0u);
    EXPECT_EQ(text(zv_callattr(inst, "m")), "method of C");
    ZvDict_SetItemString(dict, "plain", shadow);
    ZvDict_SetItemString(dict, "m", shadow);
    EXPECT_EQ(text(zv_getattr(inst, "plain")), "instance value");
    EXPECT_EQ(text(zv_getattr(inst, "m")), "instance value");
    // Assigning through a data descriptor without a setter fails.
    EXPECT_EQ(ZvObject_SetAttrString(inst, "p", shadow), -1);
    EXPECT_EQ(zv_error_text(), "can't set attribute");
}

TEST_F(TypeTest, TypeCallRunsNewThenInit)
{
    Owned init(zv_native(&defs[0])), newfn(zv_native(&defs[1]));
    Owned counted(zv_class("Counted", {}, {{"__init__", init.get()}}));
    init_calls = 0;
    Owned one(zv_int(1));
    Owned inst(zv_call(counted, {one.get()}));
    ASSERT_NE(inst.get(), nullptr);
    EXPECT_EQ(init_calls, 1);

    // __new__ returning an unrelated object: no __init__.
    Owned odd(zv_class("Odd", {}, {{"__init__", init.get()}, {"__new__", newfn.get()}}));
    init_calls = 0;
    EXPECT_EQ(text(zv_call(odd)), "5");
    EXPECT_EQ(init_calls, 0);

    // A static type whose base is object and that has no __new__.
    static ZvTypeObject noinst;
    noinst.ob_refcnt = 1;
    noinst.ob_type = &ZvType_Type;
    noinst.tp_name = "NoInstances";
    noinst.tp_basicsize = sizeof(ZvObject);
    noinst.tp_flags = Zv_TPFLAGS_DEFAULT;
    ASSERT_EQ(ZvType_Ready(&noinst), 0);
    EXPECT_EQ(zv_call(ZV_TYPE_OBJ(noinst)), nullptr);
    EXPECT_EQ(zv_error_text(), "cannot create 'NoInstances' instances");
}

TEST_F(TypeTest, NewIsCheckedAgainstTheLayout)
{
    Owned cls(zv_class("C", {}));
    Owned obj_new(zv_getattr(ZV_TYPE_OBJ(ZvBaseObject_Type), "__new__"));
    ASSERT_NE(obj_new.get(), nullptr);
    Owned inst(zv_call(obj_new, {cls.get()}));
    ASSERT_NE(inst.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(inst), (ZvTypeObject *)cls.get());
    Owned five(zv_int(5));
    EXPECT_EQ(zv_call(obj_new, {five.get()}), nullptr);
    EXPECT_EQ(zv_error_text(), "object.__new__(X): X is not a type object (int)");
    EXPECT_EQ(zv_call(obj_new, {ZV_TYPE_OBJ(ZvInt_Type)}), nullptr);
    EXPECT_EQ(zv_error_text(), "object.__new__(int) is not safe, use int.__new__()");
    EXPECT_EQ(zv_call(obj_new), nullptr);
    EXPECT_EQ(zv_error_text(), "object.__new__(): not enough arguments");
    Owned int_new(zv_getattr(ZV_TYPE_OBJ(ZvInt_Type), "__new__"));
    EXPECT_EQ(zv_call(int_new, {ZV_TYPE_OBJ(ZvString_Type)}), nullptr);
    EXPECT_EQ(zv_error_text(), "int.__new__(str): str is not a subtype of int");
    EXPECT_EQ(text(zv_call(int_new, {ZV_TYPE_OBJ(ZvInt_Type), five.get()})), "5");
}

TEST_F(TypeTest, ClassAssignmentNeedsCompatibleHeapTypes)
{
    Owned a(zv_class("A", {})), b(zv_class("B", {}));
    Owned x(zv_string("x"));
    Owned slots(zv_tuple({x.get()}));
    Owned s(zv_class("S", {}, {{"__slots__", slots.get()}}));
    Owned inst(new_instance(a));
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__class__", b), 0);
    EXPECT_EQ(Zv_TYPE(inst), (ZvTypeObject *)b.get());
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__class__", s), -1);
    EXPECT_EQ(zv_error_text(), "__class__ assignment: 'S' object layout differs from 'B'");
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__class__", ZV_TYPE_OBJ(ZvInt_Type)), -1);
    EXPECT_EQ(zv_error_text(), "__class__ assignment: only for heap types");
    Owned one(zv_int(1));
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__class__", one), -1);
    EXPECT_EQ(zv_error_text(), "__class__ must be set to new-style class, not 'int' object");
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__class__", nullptr), -1);
    EXPECT_EQ(zv_error_text(), "can't delete __class__ attribute");
    Owned l(zv_class("L", {ZV_TYPE_OBJ(ZvList_Type)}));
    EXPECT_EQ(ZvObject_SetAttrString(inst, "__class__", l), -1);
    EXPECT_EQ(zv_error_text(), "__class__ assignment: 'L' object layout differs from 'B'");
}

TEST_F(TypeTest, BasesAssignmentRecomputesTheMro)
{
    Owned a(zv_class("A", {})), a2(zv_class("A2", {}));
    Owned b(zv_class("B", {a.get()})), c(zv_class("C", {b.get()}));
    Owned new_bases(zv_tuple({a2.get()}));
    ASSERT_EQ(ZvObject_SetAttrString(b, "__bases__", new_bases), 0);
    EXPECT_EQ(text(zv_getattr(c, "__mro__")),
              "(<class 'C'>, <class 'B'>, <class 'A2'>, <type 'object'>)");
    EXPECT_EQ(text(zv_callattr(a, "__subclasses__")), "[]");
    EXPECT_EQ(text(zv_callattr(a2, "__subclasses__")), "[<class 'B'>]");

    Owned cycle(zv_tuple({c.get()}));
    EXPECT_EQ(ZvObject_SetAttrString(b, "__bases__", cycle), -1);
    EXPECT_EQ(zv_error_text(), "a __bases__ item causes an inheritance cycle");
    Owned empty(ZvTuple_New(0)), one(zv_int(1));
    EXPECT_EQ(ZvObject_SetAttrString(b, "__bases__", empty), -1);
    EXPECT_EQ(zv_error_text(), "can only assign non-empty tuple to B.__bases__, not ()");
    EXPECT_EQ(ZvObject_SetAttrString(b, "__bases__", one), -1);
    EXPECT_EQ(zv_error_text(), "can only assign tuple to B.__bases__, not int");
    Owned ones(zv_tuple({one.get()}));
    EXPECT_EQ(ZvObject_SetAttrString(b, "__bases__", ones), -1);
    EXPECT_EQ(zv_error_text(), "B.__bases__ must be tuple of old- or new-style classes, not 'int'");
    Owned lists(zv_tuple({ZV_TYPE_OBJ(ZvList_Type)}));
    EXPECT_EQ(ZvObject_SetAttrString(b, "__bases__", lists), -1);
    EXPECT_EQ(zv_error_text(), "__bases__ assignment: 'list' deallocator differs from 'A2'");
    EXPECT_EQ(ZvObject_SetAttrString(ZV_TYPE_OBJ(ZvInt_Type), "__bases__", new_bases), -1);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    // The failed attempts changed nothing.
    EXPECT_EQ(text(zv_getattr(b, "__bases__")), "(<class 'A2'>,)");
}

TEST_F(TypeTest, SubclassesOfBuiltinTypesKeepTheirStorage)
{
    Owned myint(zv_class("MyInt", {ZV_TYPE_OBJ(ZvInt_Type)}));
    Owned seven(zv_int(7)), one(zv_int(1));
    Owned i(zv_call(myint, {seven.get()}));
    ASSERT_NE(i.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(i), (ZvTypeObject *)myint.get());
    EXPECT_EQ(text(ZvNumber_Add(i, one)), "8");
    EXPECT_EQ(ZvObject_SetAttrString(i, "tag", one), 0);
    EXPECT_EQ(text(zv_getattr(i, "tag")), "1");

    // Variable-size bases keep the dictionary after the items.
    Owned mytuple(zv_class("MyTuple", {ZV_TYPE_OBJ(ZvTuple_Type)}));
    EXPECT_LT(((ZvTypeObject *)mytuple.get())->tp_dictoffset, 0);
    Owned items(zv_tuple({one.get(), seven.get(), one.get()}));
    Owned t(zv_call(mytuple, {items.get()}));
    ASSERT_NE(t.get(), nullptr);
    EXPECT_EQ(ZvObject_SetAttrString(t, "tag", seven), 0);
    EXPECT_EQ(text(zv_getattr(t, "tag")), "7");
    EXPECT_EQ(ZvTuple_GET_SIZE(t.get()), 3);

    Owned mystr(zv_class("MyStr", {ZV_TYPE_OBJ(ZvString_Type)}));
    Owned hello(zv_string("hello"));
    Owned s(zv_call(mystr, {hello.get()}));
    ASSERT_NE(s.get(), nullptr);
    EXPECT_EQ(ZvObject_SetAttrString(s, "tag", seven), 0);
    EXPECT_EQ(text(zv_callattr(s, "upper")), "HELLO");

    Owned mylist(zv_class("MyList", {ZV_TYPE_OBJ(ZvList_Type)}));
    Owned l(zv_call(mylist));
    ASSERT_NE(l.get(), nullptr);
    Owned r(zv_callattr(l, "append", {seven.get()}));
    EXPECT_EQ(ZvList_GET_SIZE(l.get()), 1);
    Owned mydict(zv_class("MyDict", {ZV_TYPE_OBJ(ZvDict_Type)}));
    Owned d(zv_call(mydict));
    ASSERT_NE(d.get(), nullptr);
    EXPECT_EQ(ZvDict_SetItemString(d, "k", seven), 0);
    EXPECT_EQ(text(zv_callattr(d, "keys")), "['k']");
}

TEST_F(TypeTest, FreeingAClassUnregistersIt)
{
    Owned a(zv_class("A", {}));
    ZvObject *b = zv_class("B", {a.get()});
    Owned c(zv_class("C", {a.get()}));
    EXPECT_EQ(text(zv_callattr(a, "__subclasses__")), "[<class 'B'>, <class 'C'>]");
    // What the collector does with an unreachable class: clear it, then
    // drop the last reference.
    Zv_TYPE(b)->tp_clear(b);
    Zv_DECREF(b);
    EXPECT_EQ(text(zv_callattr(a, "__subclasses__")), "[<class 'C'>]");
    Owned d(zv_class("D", {a.get()}));
    EXPECT_EQ(text(zv_callattr(a, "__subclasses__")), "[<class 'D'>, <class 'C'>]");
}

TEST_F(TypeTest, DeepChainsOfInstancesAreFreedWithoutDeepRecursion)
{
    Owned cls(zv_class("Node", {}));
    ZvObject *head = new_instance(cls);
    for (int i = 0; i < 100000 && head != nullptr; i++) {
        ZvObject *node = new_instance(cls);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(ZvObject_SetAttrString(node, "next", head), 0);
        Zv_DECREF(head);
        head = node;
    }
    Zv_DECREF(head);
}
