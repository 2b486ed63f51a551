// super: lookup that starts after a class in the MRO of an instance's type
// (or of a class), binding, and its errors.
#include <string>

#include "typetest.h"

namespace {

std::string text(ZvObject *o)
{
    std::string s = o ? zv_str(o) : "<NULL>";
    Zv_XDECREF(o);
    return s;
}

ZvObject *fn_who(ZvObject *self, ZvObject *) { return ZvString_FromFormat("C.meth of %s", Zv_TYPE(self)->tp_name); }
ZvMethodDef meth_def = {"meth", fn_who, METH_NOARGS, nullptr};

struct Diamond {
    Owned a, b, c, d, inst;
    Diamond()
        : a(nullptr), b(nullptr), c(nullptr), d(nullptr), inst(nullptr)
    {
        Owned wa(zv_string("A")), wb(zv_string("B")), wc(zv_string("C")), wd(zv_string("D"));
        a.p = zv_class("A", {}, {{"who", wa.get()}});
        b.p = zv_class("B", {a.get()}, {{"who", wb.get()}});
        c.p = zv_class("C", {a.get()}, {{"who", wc.get()}});
        d.p = zv_class("D", {b.get(), c.get()}, {{"who", wd.get()}});
        inst.p = zv_call(d);
    }
};

ZvObject *super_of(ZvObject *type, ZvObject *obj)
{
    return obj ? zv_call(ZV_TYPE_OBJ(ZvSuper_Type), {type, obj})
               : zv_call(ZV_TYPE_OBJ(ZvSuper_Type), {type});
}

} // namespace

using SuperTest = ZvTest;

TEST_F(SuperTest, LookupStartsAfterTheClassInTheInstancesMro)
{
    Diamond dm;
    ASSERT_NE(dm.inst.get(), nullptr);
    EXPECT_EQ(text(zv_getattr(Owned(super_of(dm.d, dm.inst)), "who")), "B");
    EXPECT_EQ(text(zv_getattr(Owned(super_of(dm.b, dm.inst)), "who")), "C");
    EXPECT_EQ(text(zv_getattr(Owned(super_of(dm.c, dm.inst)), "who")), "A");
    Owned last(super_of(dm.a, dm.inst));
    EXPECT_EQ(zv_getattr(last, "who"), nullptr);
    EXPECT_EQ(zv_error_text(), "'super' object has no attribute 'who'");
}

TEST_F(SuperTest, DescriptorsFoundThroughSuperAreBound)
{
    Diamond dm;
    Owned meth(ZvDescr_NewMethod((ZvTypeObject *)dm.c.get(), &meth_def));
    ASSERT_EQ(ZvObject_SetAttrString(dm.c, "meth", meth), 0);
    Owned s(super_of(dm.b, dm.inst));
    EXPECT_EQ(text(zv_callattr(s, "meth")), "C.meth of D");
    // With a class as second argument the attribute comes unbound.
    Owned cs(super_of(dm.b, dm.d));
    Owned unbound(zv_getattr(cs, "meth"));
    EXPECT_EQ(unbound.get(), meth.get());
    EXPECT_EQ(text(zv_getattr(cs, "who")), "C");
}

TEST_F(SuperTest, ItsOwnAttributesAndRepr)
{
    Diamond dm;
    Owned s(super_of(dm.b, dm.inst));
    Owned cls(zv_getattr(s, "__class__"));
    EXPECT_EQ(cls.get(), ZV_TYPE_OBJ(ZvSuper_Type));
    EXPECT_EQ(zv_repr(s), "<super: <class 'B'>, <D object>>");
    Owned thisclass(zv_getattr(s, "__thisclass__")), self(zv_getattr(s, "__self__")),
        self_class(zv_getattr(s, "__self_class__"));
    EXPECT_EQ(thisclass.get(), dm.b.get());
    EXPECT_EQ(self.get(), dm.inst.get());
    EXPECT_EQ(self_class.get(), dm.d.get());

    Owned unbound(super_of(dm.b, nullptr));
    EXPECT_EQ(zv_repr(unbound), "<super: <class 'B'>, NULL>");
    EXPECT_EQ(text(zv_getattr(unbound, "__self__")), "None");
    Owned none_bound(super_of(dm.b, Zv_None));
    EXPECT_EQ(zv_repr(none_bound), "<super: <class 'B'>, NULL>");
}

TEST_F(SuperTest, UnboundSuperBindsThroughAnInstance)
{
    Diamond dm;
    Owned unbound(super_of(dm.b, nullptr));
    Owned bound(ZvSuper_Type.tp_descr_get(unbound, dm.inst, dm.d));
    ASSERT_NE(bound.get(), nullptr);
    EXPECT_NE(bound.get(), unbound.get());
    EXPECT_EQ(text(zv_getattr(bound, "who")), "C");
    Owned same(ZvSuper_Type.tp_descr_get(bound, dm.inst, dm.d));
    EXPECT_EQ(same.get(), bound.get());
    Owned via_none(ZvSuper_Type.tp_descr_get(unbound, Zv_None, dm.d));
    EXPECT_EQ(via_none.get(), unbound.get());

    // A subclass of super is rebuilt through its own type.
    Owned mysuper(zv_class("MySuper", {ZV_TYPE_OBJ(ZvSuper_Type)}));
    Owned sub_unbound(zv_call(mysuper, {dm.b.get()}));
    Owned sub_bound(ZvSuper_Type.tp_descr_get(sub_unbound, dm.inst, dm.d));
    ASSERT_NE(sub_bound.get(), nullptr);
    EXPECT_EQ(Zv_TYPE(sub_bound), (ZvTypeObject *)mysuper.get());
    EXPECT_EQ(text(zv_getattr(sub_bound, "who")), "C");
}

TEST_F(SuperTest, ArgumentsAreChecked)
{
    Diamond dm;
    Owned one(zv_int(1));
    EXPECT_EQ(super_of(dm.b, one), nullptr);
    EXPECT_EQ(zv_error_text(), "super(type, obj): obj must be an instance or subtype of type");
    EXPECT_EQ(super_of(one, dm.inst), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    EXPECT_EQ(zv_call(ZV_TYPE_OBJ(ZvSuper_Type)), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
    Owned unrelated(zv_class("U", {}));
    EXPECT_EQ(super_of(dm.b, unrelated), nullptr);
    EXPECT_TRUE(zv_raised(ZvExc_TypeError));
}
