// Special methods that change or free what the runtime is in the middle of
// using: a key's __eq__ that assigns __bases__ or __class__ during a
// dictionary lookup, a __del__ that changes its own class, a __hash__ that
// empties the list its object came from, __bases__ computed afresh on each
// access, objects whose __bases__ or __call__ lead back to themselves.  The
// runtime must hold what it still uses, re-read what user code may have
// changed, and bound every walk that user code can make endless.
//
// Classes here are built with type() as an embedder does; special methods
// are native functions (unbound, they receive only the explicit arguments)
// or method descriptors added to a class after it exists (they receive
// self).  A class stays alive through the cycle of its own MRO and
// dictionary, so a test that needs a class to die does what the collector
// would do: it clears the class and drops its reference, leaving the last
// ones to its instances.
#include <functional>
#include <string>
#include <vector>

#include "typetest.h"

namespace {

std::string text(ZvObject *o)
{
    std::string s = o ? zv_str(o) : "<NULL>";
    Zv_XDECREF(o);
    return s;
}

ZvObject *tp_dict(ZvObject *cls) { return ((ZvTypeObject *)cls)->tp_dict; }

// Gives `cls` a method that receives self.
void add_method(ZvObject *cls, ZvMethodDef *def)
{
    Owned m(ZvDescr_NewMethod((ZvTypeObject *)cls, def));
    EXPECT_EQ(ZvObject_SetAttrString(cls, def->ml_name, m), 0);
}

// What the collector does to an unreachable class; the caller's reference
// is dropped, so the class lives on only through its instances.
void forget_class(ZvObject *cls)
{
    Zv_TYPE(cls)->tp_clear(cls);
    Zv_DECREF(cls);
}

ZvObject *new_tuple_of_self(ZvObject *o, int copies)
{
    ZvObject *t = ZvTuple_New(copies);
    for (int i = 0; i < copies; i++) {
        Zv_INCREF(o);
        ZvTuple_SET_ITEM(t, i, o);
    }
    return t;
}

// --- a dictionary key that runs an action when it is compared -----------

std::function<void()> on_eq; // runs once, at the next comparison of a Key

ZvObject *fn_key_eq(ZvObject *, ZvObject *)
{
    if (on_eq) {
        auto action = std::move(on_eq);
        on_eq = nullptr;
        action();
    }
    Zv_RETURN_FALSE;
}
ZvMethodDef key_eq_def = {"__eq__", fn_key_eq, METH_VARARGS, nullptr};

// A new key (an int, so its hash is its value) whose hash is `hash`.
ZvObject *key_with_hash(int32_t hash)
{
    static ZvObject *key_class;
    if (key_class == nullptr) {
        Owned e(zv_native(&key_eq_def));
        key_class = zv_class("Key", {ZV_TYPE_OBJ(ZvInt_Type)}, {{"__eq__", e.get()}});
    }
    return zv_call(key_class, {Owned(zv_int(hash)).get()});
}

// Stores a key colliding with the string `name` in a dictionary.
void plant_key(ZvObject *dict, const char *name)
{
    Owned key(key_with_hash(ZvObject_Hash(Owned(zv_string(name))))), one(zv_int(1));
    EXPECT_EQ(ZvDict_SetItem(dict, key, one), 0);
}

// object's own __class__ setter, reachable even from a cleared class.
int set_class(ZvObject *obj, ZvObject *cls)
{
    ZvObject *descr = ZvDict_GetItemString(ZvBaseObject_Type.tp_dict, "__class__");
    return Zv_TYPE(descr)->tp_descr_set(descr, obj, cls);
}

// --- a metaclass whose mro() the test decides ----------------------------

std::function<ZvObject *(ZvObject *)> mro_body;
ZvObject *fn_meta_mro(ZvObject *self, ZvObject *) { return mro_body(self); }
ZvMethodDef meta_mro_def = {"mro", fn_meta_mro, METH_NOARGS, nullptr};

ZvObject *new_meta()
{
    ZvObject *meta = zv_class("Meta", {ZV_TYPE_OBJ(ZvType_Type)});
    add_method(meta, &meta_mro_def);
    return meta;
}

// The MRO type itself computes.
ZvObject *standard_mro(ZvObject *cls)
{
    Owned mro(zv_getattr(ZV_TYPE_OBJ(ZvType_Type), "mro"));
    return zv_call(mro, {cls});
}

ZvObject *short_mro(ZvObject *cls) { return ZvTuple_Pack(2, cls, ZV_TYPE_OBJ(ZvBaseObject_Type)); }

// A class named `name` over a chain of 24 plain classes, the first with
// `body`: its MRO is too long for the tuple free list, so a replaced MRO
// is really freed.
ZvObject *over_long_chain(const char *name, ZvBody body = {})
{
    Owned top(zv_class("Top", {}, body));
    ZvObject *base = top.get();
    Zv_INCREF(base);
    for (int i = 0; i < 23; i++) {
        ZvObject *next = zv_class("Link", {base});
        Zv_DECREF(base);
        base = next;
    }
    ZvObject *cls = zv_class(name, {base});
    Zv_DECREF(base);
    return cls;
}

} // namespace

using ReentrantTest = ZvTest;

// --- __del__ and __class__ ------------------------------------------------

ZvObject *del_target = nullptr;
ZvObject *fn_del_moves(ZvObject *self, ZvObject *)
{
    if (ZvObject_SetAttrString(self, "__class__", del_target) < 0) return nullptr;
    Zv_RETURN_NONE;
}
ZvMethodDef del_moves_def = {"__del__", fn_del_moves, METH_NOARGS, nullptr};

TEST_F(ReentrantTest, DelThatChangesTheClassReleasesTheClassTheInstanceEndsWith)
{
    Owned a(zv_class("A", {})), b(zv_class("B", {}));
    add_method(a, &del_moves_def);
    del_target = b;
    int a_count = a.get()->ob_refcnt, b_count = b.get()->ob_refcnt;
    for (int i = 0; i < 8; i++) Zv_DECREF(zv_call(a));
    EXPECT_EQ(a.get()->ob_refcnt, a_count);
    EXPECT_EQ(b.get()->ob_refcnt, b_count);
    del_target = nullptr;
}

// --- descriptors check the real type -------------------------------------

ZvObject *fn_claims_list(ZvObject *, ZvObject *)
{
    Zv_INCREF(&ZvList_Type);
    return ZV_TYPE_OBJ(ZvList_Type);
}
ZvMethodDef claims_list_def = {"fget", fn_claims_list, METH_O, nullptr};

TEST_F(ReentrantTest, DescriptorCallsCheckTheRealTypeNotClass)
{
    Owned fget(zv_native(&claims_list_def));
    Owned prop(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {fget.get()}));
    Owned f_cls(zv_class("F", {}, {{"__class__", prop.get()}}));
    Owned f(zv_call(f_cls)), one(zv_int(1));
    ASSERT_EQ(ZvObject_IsInstance(f, ZV_TYPE_OBJ(ZvList_Type)), 1); // what it claims
    for (const char *name : {"append", "__len__"}) {
        Owned descr(zv_getattr(ZV_TYPE_OBJ(ZvList_Type), name));
        Owned res(std::string(name) == "append" ? zv_call(descr, {f.get(), one.get()})
                                                : zv_call(descr, {f.get()}));
        EXPECT_EQ(res.get(), nullptr);
        EXPECT_EQ(zv_error_text(), std::string("descriptor '") + name +
                                       "' requires a 'list' object but received a 'F'");
    }
}

// --- lookups along an MRO that user code replaces -----------------------

TEST_F(ReentrantTest, LookupAlongTheMroSurvivesBasesAssignment)
{
    Owned c(over_long_chain("C")), d(zv_class("D", {}));
    plant_key(tp_dict(c), "zzz");
    Owned inst(zv_call(c)), new_bases(zv_tuple({d.get()}));
    Owned old_bases(zv_getattr(c, "__bases__"));
    on_eq = [&] { EXPECT_EQ(ZvObject_SetAttrString(c, "__bases__", new_bases), 0); };
    EXPECT_EQ(zv_getattr(inst, "zzz"), nullptr);
    EXPECT_EQ(zv_error_text(), "'C' object has no attribute 'zzz'");
    EXPECT_EQ(text(zv_getattr(c, "__mro__")), "(<class 'C'>, <class 'D'>, <type 'object'>)");
    // The same through the class itself.
    on_eq = [&] { EXPECT_EQ(ZvObject_SetAttrString(c, "__bases__", old_bases), 0); };
    EXPECT_EQ(zv_getattr(c, "zzz"), nullptr);
    EXPECT_EQ(zv_error_text(), "type object 'C' has no attribute 'zzz'");
    EXPECT_FALSE(on_eq);
}

ZvObject *fn_echo_self(ZvObject *, ZvObject *obj)
{
    Zv_INCREF(obj);
    return obj;
}
ZvMethodDef echo_self_def = {"fget", fn_echo_self, METH_O, nullptr};

TEST_F(ReentrantTest, SuperHoldsTheMroAndWhatItWasBoundTo)
{
    // C's MRO: C, 23 links, Top (whose zzz gives the instance it is read
    // through), object; the key sits in the first link.
    Owned fget(zv_native(&echo_self_def));
    Owned prop(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {fget.get()}));
    Owned c(over_long_chain("C", {{"zzz", prop.get()}})), d(zv_class("D", {}));
    Owned e(zv_class("E", {c.get()}));
    plant_key(((ZvTypeObject *)c.get())->tp_base->tp_dict, "zzz");

    // The lookup replaces the MRO it walks.
    Owned s(zv_call(ZV_TYPE_OBJ(ZvSuper_Type), {c.get(), Owned(zv_call(c)).get()}));
    Owned old_bases(zv_getattr(c, "__bases__")), new_bases(zv_tuple({d.get()}));
    on_eq = [&] { EXPECT_EQ(ZvObject_SetAttrString(c, "__bases__", new_bases), 0); };
    Owned found(zv_getattr(s, "zzz"));
    EXPECT_EQ(Zv_TYPE(found.get()), (ZvTypeObject *)c.get());
    EXPECT_FALSE(on_eq);

    // The lookup rebinds the super object and frees what it was bound to.
    ASSERT_EQ(ZvObject_SetAttrString(c, "__bases__", old_bases), 0);
    Owned other(zv_call(e));
    on_eq = [&] {
        EXPECT_NE(Owned(zv_callattr(s, "__init__", {c.get(), other.get()})).get(), nullptr);
    };
    Owned found_again(zv_getattr(s, "zzz"));
    EXPECT_EQ(Zv_TYPE(found_again.get()), (ZvTypeObject *)c.get());
    EXPECT_FALSE(on_eq);
}

// --- class creation ------------------------------------------------------

ZvObject *slots_dict = nullptr;
ZvObject *fn_slots_iter(ZvObject *, ZvObject *)
{
    if (ZvDict_DelItemString(slots_dict, "__slots__") < 0) return nullptr;
    Owned names(Zv_BuildValue("(s)", "a"));
    return ZvObject_GetIter(names);
}
ZvMethodDef slots_iter_def = {"__iter__", fn_slots_iter, METH_NOARGS, nullptr};

TEST_F(ReentrantTest, SlotsThatDeleteThemselvesWhileIteratedAreHeld)
{
    Owned s_cls(zv_class("S", {}));
    add_method(s_cls, &slots_iter_def);
    Owned d(ZvDict_New());
    ASSERT_EQ(ZvDict_SetItemString(d, "__slots__", Owned(zv_call(s_cls))), 0);
    slots_dict = d;
    Owned name(zv_string("C")), bases(zv_tuple({ZV_TYPE_OBJ(ZvBaseObject_Type)}));
    Owned cls(zv_call(ZV_TYPE_OBJ(ZvType_Type), {name.get(), bases.get(), d.get()}));
    slots_dict = nullptr;
    ASSERT_NE(cls.get(), nullptr);
    Owned inst(zv_call(cls)), one(zv_int(1));
    EXPECT_EQ(ZvObject_SetAttrString(inst, "a", one), 0);
    EXPECT_EQ(ZvObject_SetAttrString(inst, "b", one), -1);
    EXPECT_EQ(zv_error_text(), "'C' object has no attribute 'b'");
}

TEST_F(ReentrantTest, BasesAssignedInsideMroRegisterTheClassOnce)
{
    Owned meta(new_meta());
    Owned w(zv_class("W", {})), x(zv_class("X", {})), y(zv_class("Y", {}));
    Owned to_x(zv_tuple({x.get()})), to_y(zv_tuple({y.get()}));

    // During class creation.
    int calls = 0;
    mro_body = [&](ZvObject *self) -> ZvObject * {
        if (calls++ == 0 && ZvObject_SetAttrString(self, "__bases__", to_x) < 0) return nullptr;
        return standard_mro(self);
    };
    ZvObject *c = zv_class("C", {w.get()}, {}, meta);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(text(zv_callattr(x, "__subclasses__")), "[<class 'C'>]");
    EXPECT_EQ(text(zv_callattr(w, "__subclasses__")), "[]");
    forget_class(c);
    EXPECT_EQ(text(zv_callattr(x, "__subclasses__")), "[]");

    // During another __bases__ assignment: the inner one wins, and the
    // class stays registered exactly with the bases it ends with.
    calls = 1;
    ZvObject *d = zv_class("D", {w.get()}, {}, meta);
    ASSERT_NE(d, nullptr);
    calls = 0;
    mro_body = [&](ZvObject *self) -> ZvObject * {
        if (calls++ == 0 && ZvObject_SetAttrString(self, "__bases__", to_y) < 0) return nullptr;
        return standard_mro(self);
    };
    EXPECT_EQ(ZvObject_SetAttrString(d, "__bases__", to_x), 0);
    EXPECT_EQ(text(zv_getattr(d, "__bases__")), "(<class 'Y'>,)");
    EXPECT_EQ(text(zv_callattr(x, "__subclasses__")), "[]");
    EXPECT_EQ(text(zv_callattr(y, "__subclasses__")), "[<class 'D'>]");
    EXPECT_EQ(text(zv_callattr(w, "__subclasses__")), "[]");
    forget_class(d);
    EXPECT_EQ(text(zv_callattr(y, "__subclasses__")), "[]");
    mro_body = nullptr;
}

TEST_F(ReentrantTest, BasesAssignmentRefusesCyclesTheMroDoesNotShow)
{
    Owned meta(new_meta());
    mro_body = short_mro; // subclasses' MROs leave their bases out
    Owned w(zv_class("W", {})), w2(zv_class("W2", {}));
    Owned c(zv_class("C", {w.get()}, {}, meta)), d(zv_class("D", {c.get()}, {}, meta));
    ASSERT_TRUE(c.get() != nullptr && d.get() != nullptr);
    Owned through_base(zv_tuple({d.get()})), through_bases(zv_tuple({w2.get(), d.get()}));
    for (ZvObject *bases : {through_base.get(), through_bases.get()}) {
        EXPECT_EQ(ZvObject_SetAttrString(c, "__bases__", bases), -1);
        EXPECT_EQ(zv_error_text(), "a __bases__ item causes an inheritance cycle");
    }
    EXPECT_EQ(text(zv_getattr(c, "__bases__")), "(<class 'W'>,)");
    EXPECT_EQ(((ZvTypeObject *)c.get())->tp_base, (ZvTypeObject *)w.get());
    mro_body = nullptr;
}

TEST_F(ReentrantTest, SlotUpdatesWalkDeepHierarchiesWithoutRecursing)
{
    // A hierarchy 3000 classes deep whose leaf holds a key that collides
    // with "__len__": assigning __len__ on the root compares it when the
    // update reaches the leaf, and the comparison notes how far down the
    // native stack it runs.  A walk that recursed once per level would be
    // at least 3000 frames deeper than one that did not.
    Owned meta(new_meta());
    mro_body = short_mro; // keeps class creation cheap
    std::vector<ZvObject *> chain;
    chain.push_back(zv_class("C", {}, {}, meta));
    for (int i = 1; i < 3000 && chain.back() != nullptr; i++)
        chain.push_back(zv_class("C", {chain.back()}, {}, meta));
    ASSERT_NE(chain.back(), nullptr);
    plant_key(tp_dict(chain.back()), "__len__");
    char *leaf_frame = nullptr;
    on_eq = [&] { leaf_frame = (char *)__builtin_frame_address(0); };
    static ZvMethodDef len_def = {"__len__",
                                  [](ZvObject *, ZvObject *) { return ZvInt_FromLong(7); },
                                  METH_VARARGS, nullptr};
    Owned len(zv_native(&len_def));
    char *top_frame = (char *)__builtin_frame_address(0);
    EXPECT_EQ(ZvObject_SetAttrString(chain.front(), "__len__", len), 0);
    ASSERT_NE(leaf_frame, nullptr);
    EXPECT_LT(top_frame - leaf_frame, 64 * 1024);
    EXPECT_EQ(ZvObject_Size(Owned(zv_call(chain.front()))), 7);
    // Freed from the leaf up, so no deallocation recurses down the chain.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) forget_class(*it);
    mro_body = nullptr;
}

// --- the generic protocols -----------------------------------------------

TEST_F(ReentrantTest, GenericGetattrHoldsTheTypeItStartedWith)
{
    Owned b(zv_class("B", {}));
    ZvObject *a = zv_class("A", {});
    Owned inst(zv_call(a));
    Owned dict(zv_getattr(inst, "__dict__"));
    plant_key(dict, "zzz");
    forget_class(a);
    on_eq = [&] { EXPECT_EQ(set_class(inst, b), 0); };
    EXPECT_EQ(zv_getattr(inst, "zzz"), nullptr);
    EXPECT_EQ(zv_error_text(), "'A' object has no attribute 'zzz'");
    EXPECT_EQ(Zv_TYPE(inst), (ZvTypeObject *)b.get());
}

// A class that nothing but its instances keeps alive: its metaclass gives
// it an MRO that leaves the class itself out, and with empty __slots__ its
// dictionary holds nothing that refers back to it.  Its special methods
// come from the base K; moving an instance to B drops a reference to it.
struct Doomed {
    Owned meta{new_meta()};
    Owned empty{ZvTuple_New(0)};
    Owned k{zv_class("K", {}, {{"__slots__", empty.get()}})};
    Owned b{zv_class("B", {k.get()}, {{"__slots__", empty.get()}})};

    // A new instance of a new such class, and the class's only holder.
    ZvObject *instance()
    {
        mro_body = [this](ZvObject *) {
            return ZvTuple_Pack(2, k.get(), ZV_TYPE_OBJ(ZvBaseObject_Type));
        };
        Owned a(zv_class("A", {k.get()}, {{"__slots__", empty.get()}}, meta));
        mro_body = nullptr;
        return a.get() ? zv_call(a) : nullptr;
    }
    ~Doomed() { mro_body = nullptr; }
};

ZvObject *move_target = nullptr;
ZvObject *fn_len_moves_self(ZvObject *self, ZvObject *)
{
    if (set_class(self, move_target) < 0) return nullptr;
    return ZvInt_FromLong(1);
}
ZvMethodDef len_moves_def = {"__len__", fn_len_moves_self, METH_NOARGS, nullptr};
ZvObject *fn_eq_moves_both(ZvObject *self, ZvObject *other)
{
    if (set_class(self, move_target) < 0 || set_class(other, move_target) < 0) return nullptr;
    Zv_RETURN_NOTIMPLEMENTED;
}
ZvMethodDef eq_moves_def = {"__eq__", fn_eq_moves_both, METH_O, nullptr};
ZvMethodDef getitem_def = {"__getitem__", [](ZvObject *, ZvObject *) { return zv_string("item"); },
                           METH_VARARGS, nullptr};
ZvMethodDef getattr_def = {"__getattr__",
                           [](ZvObject *, ZvObject *) { return zv_string("fallback"); },
                           METH_VARARGS, nullptr};

TEST_F(ReentrantTest, ProtocolsHoldOrReReadTheClassTheyStartedWith)
{
    Doomed d;
    ASSERT_EQ(ZvObject_SetAttrString(d.k, "__getitem__", Owned(zv_native(&getitem_def))), 0);
    add_method(d.k, &len_moves_def);
    add_method(d.k, &eq_moves_def);
    plant_key(tp_dict(d.k), "zzz");
    plant_key(tp_dict(d.k), "__getattr__"); // before __getattr__ itself, so met first
    ASSERT_EQ(ZvObject_SetAttrString(d.k, "__getattr__", Owned(zv_native(&getattr_def))), 0);
    move_target = d.b;

    // A negative index asks __len__, which moves the instance.
    Owned a1(d.instance());
    EXPECT_EQ(text(ZvSequence_GetItem(a1, -1)), "item");
    EXPECT_EQ(Zv_TYPE(a1), (ZvTypeObject *)d.b.get());

    // The same-type comparison: __eq__ moves both operands.
    Owned a2(d.instance()), a3(zv_call((ZvObject *)Zv_TYPE(a2.get())));
    EXPECT_EQ(ZvObject_RichCompareBool(a2, a3, Zv_EQ), 0);
    EXPECT_EQ(Zv_TYPE(a3), (ZvTypeObject *)d.b.get());

    // The generic setter's lookup compares a key that moves the instance.
    Owned a4(d.instance()), one(zv_int(1));
    on_eq = [&] { EXPECT_EQ(set_class(a4, d.b), 0); };
    EXPECT_EQ(ZvObject_SetAttrString(a4, "zzz", one), -1);
    EXPECT_EQ(zv_error_text(), "'A' object has no attribute 'zzz'");

    // So does the __getattr__ hook's lookup of __getattr__.
    Owned a5(d.instance());
    on_eq = [&] { EXPECT_EQ(set_class(a5, d.b), 0); };
    EXPECT_EQ(text(zv_getattr(a5, "nothing")), "fallback");

    // And the default repr's lookup of the class's __module__.
    Owned a6(d.instance());
    plant_key(tp_dict((ZvObject *)Zv_TYPE(a6.get())), "__module__");
    on_eq = [&] { EXPECT_EQ(set_class(a6, d.b), 0); };
    EXPECT_EQ(zv_repr(a6).rfind("<A object at ", 0), 0u);
    EXPECT_FALSE(on_eq);
    move_target = nullptr;
}

TEST_F(ReentrantTest, PropertyHoldsItsFunctionsWhileTheyRun)
{
    // fget is the bound get of a dictionary only fget holds; looking the
    // instance up compares a key whose __eq__ initialises the property
    // again, releasing fget.
    Owned dict_cls(zv_class("D", {ZV_TYPE_OBJ(ZvDict_Type)})); // freed for real, not recycled
    ZvObject *d = zv_call(dict_cls);
    Owned fget(zv_getattr(d, "get"));
    Zv_DECREF(d);
    Owned prop(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {fget.get()}));
    Owned cls(zv_class("C", {}, {{"p", prop.get()}}));
    Owned inst(zv_call(cls)), one(zv_int(1));
    ASSERT_EQ(ZvDict_SetItem(d, Owned(key_with_hash(ZvObject_Hash(inst))), one), 0);
    Zv_DECREF(fget.p); // the property holds the only reference now
    fget.p = nullptr;
    on_eq = [&] { EXPECT_NE(Owned(zv_callattr(prop, "__init__")).get(), nullptr); };
    EXPECT_EQ(text(zv_getattr(inst, "p")), "None");
    EXPECT_FALSE(on_eq);
    EXPECT_EQ(zv_getattr(inst, "p"), nullptr);
    EXPECT_EQ(zv_error_text(), "unreadable attribute");
}

ZvObject *slotnames_list = nullptr;
ZvObject *fn_getattr_empties(ZvObject *, ZvObject *args)
{
    ZvObject *name = ZvTuple_GET_ITEM(args, 0);
    if (strcmp(ZvString_AS_STRING(name), "fresh") != 0) {
        ZvErr_SetObject(ZvExc_AttributeError, name);
        return nullptr;
    }
    if (ZvList_SetSlice(slotnames_list, 0, ZvList_GET_SIZE(slotnames_list), nullptr) < 0)
        return nullptr;
    return ZvInt_FromLong(1);
}
ZvMethodDef getattr_empties_def = {"__getattr__", fn_getattr_empties, METH_VARARGS, nullptr};

TEST_F(ReentrantTest, PicklingHoldsTheSlotNamesItReads)
{
    Owned getattr(zv_native(&getattr_empties_def));
    Owned cls(zv_class("C", {}, {{"__getattr__", getattr.get()}}));
    Owned names(ZvList_New(0));
    ZvList_Append(names, Owned(ZvString_FromStringAndSize("fresh", 5)));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "__slotnames__", names), 0);
    slotnames_list = names;
    Owned inst(zv_call(cls)), two(zv_int(2));
    // The state is gathered while __getattr__ empties the names being read.
    Owned reduced(zv_callattr(inst, "__reduce_ex__", {two.get()}));
    EXPECT_NE(reduced.get(), nullptr) << zv_error_text();
    EXPECT_EQ(ZvList_GET_SIZE(names.get()), 0);
    slotnames_list = nullptr;
}

ZvObject *kwargs_dict = nullptr;
ZvObject *fn_int_deletes_b(ZvObject *, ZvObject *)
{
    if (ZvDict_DelItemString(kwargs_dict, "b") < 0) return nullptr;
    return ZvInt_FromLong(4);
}
ZvMethodDef int_deletes_b_def = {"__int__", fn_int_deletes_b, METH_VARARGS, nullptr};

TEST_F(ReentrantTest, KeywordParsingNeverSkipsARequiredArgument)
{
    Owned fn(zv_native(&int_deletes_b_def));
    Owned x_cls(zv_class("X", {}, {{"__int__", fn.get()}}));
    Owned kw(ZvDict_New()), five(zv_int(5)), args(ZvTuple_New(0));
    ZvDict_SetItemString(kw, "a", Owned(zv_call(x_cls)));
    ZvDict_SetItemString(kw, "b", five);
    kwargs_dict = kw;
    static char *kwlist[] = {(char *)"a", (char *)"b", nullptr};
    int a = -1, b = -1;
    EXPECT_EQ(ZvArg_ParseTupleAndKeywords(args, kw, "ii:f", kwlist, &a, &b), 0);
    EXPECT_EQ(zv_error_text(), "f() takes exactly 2 arguments (1 given)");
    kwargs_dict = nullptr;
}

// --- __bases__ walks of the abstract subclass test ------------------------

ZvObject *fresh_class = nullptr;
int fresh_levels = 0;
ZvObject *fn_fresh_bases(ZvObject *, ZvObject *args)
{
    ZvObject *name = ZvTuple_GET_ITEM(args, 0);
    if (strcmp(ZvString_AS_STRING(name), "__bases__") != 0) {
        ZvErr_SetObject(ZvExc_AttributeError, name);
        return nullptr;
    }
    if (fresh_levels-- <= 0) return ZvTuple_New(0);
    Owned fresh(zv_call(fresh_class));
    return zv_tuple({fresh.get()});
}
ZvMethodDef fresh_bases_def = {"__getattr__", fn_fresh_bases, METH_VARARGS, nullptr};
ZvObject *fn_fresh_instance(ZvObject *, ZvObject *) { return zv_call(fresh_class); }
ZvMethodDef fresh_instance_def = {"fget", fn_fresh_instance, METH_O, nullptr};

TEST_F(ReentrantTest, SubclassTestHoldsBasesComputedAfresh)
{
    Owned getattr(zv_native(&fresh_bases_def));
    Owned p_cls(zv_class("P", {}, {{"__getattr__", getattr.get()}}));
    fresh_class = p_cls;
    Owned fget(zv_native(&fresh_instance_def));
    Owned prop(zv_call(ZV_TYPE_OBJ(ZvProperty_Type), {fget.get()}));
    Owned q_cls(zv_class("Q", {}, {{"__class__", prop.get()}}));
    Owned derived(zv_call(p_cls)), cls(zv_call(p_cls)), q(zv_call(q_cls));
    ASSERT_EQ(ZvObject_SetAttrString(cls, "__bases__", Owned(ZvTuple_New(0))), 0);
    fresh_levels = 3;
    EXPECT_EQ(ZvObject_IsSubclass(derived, cls), 0);
    fresh_levels = 3;
    EXPECT_EQ(ZvObject_IsInstance(q, cls), 0);
    EXPECT_EQ(ZvObject_IsSubclass(derived, derived), 1);
    fresh_class = nullptr;
}

TEST_F(ReentrantTest, SubclassTestStopsAtTheRecursionLimit)
{
    Owned names(Zv_BuildValue("(s)", "__bases__"));
    Owned n_cls(zv_class("N", {}, {{"__slots__", names.get()}}));
    auto node = [&] { return zv_call(n_cls); };
    auto set_bases = [](ZvObject *o, ZvObject *bases) {
        EXPECT_EQ(ZvObject_SetAttrString(o, "__bases__", bases), 0);
    };
    Owned target(node()), end(node()), empty(ZvTuple_New(0));
    set_bases(target, empty);
    set_bases(end, empty);
    const std::string too_deep = "maximum recursion depth exceeded while checking __bases__";

    // Bases that contain the object itself, once or twice.
    for (int copies : {1, 2}) {
        Owned self_ref(node());
        set_bases(self_ref, Owned(new_tuple_of_self(self_ref, copies)));
        EXPECT_EQ(ZvObject_IsSubclass(self_ref, target), -1);
        EXPECT_EQ(zv_error_text(), too_deep);
        set_bases(self_ref, empty); // breaks the cycle
    }

    // A finite chain with two bases per link: deeper than the limit is an
    // error, a shallow one is walked.
    auto chain = [&](int depth, ZvObject *last) {
        ZvObject *head = node();
        set_bases(head, Owned(zv_tuple({last, end.get()})));
        for (int i = 1; i < depth; i++) {
            ZvObject *link = node();
            set_bases(link, Owned(zv_tuple({head, end.get()})));
            Zv_DECREF(head);
            head = link;
        }
        return head;
    };
    Owned deep(chain(5000, end));
    EXPECT_EQ(ZvObject_IsSubclass(deep, target), -1);
    EXPECT_EQ(zv_error_text(), too_deep);
    Owned shallow(chain(50, target));
    EXPECT_EQ(ZvObject_IsSubclass(shallow, target), 1);
    EXPECT_EQ(ZvObject_IsSubclass(shallow, end), 1);
    EXPECT_EQ(ZvObject_IsSubclass(end, target), 0);
}

// --- iterators ------------------------------------------------------------

ZvObject *calliter = nullptr;
ZvObject *sentinel = nullptr;
int calliter_calls = 0;
ZvObject *eq_class = nullptr;
ZvObject *fn_eq_steps_iterator(ZvObject *, ZvObject *)
{
    ZvObject *next = ZvIter_Next(calliter);
    Zv_XDECREF(next);
    if (ZvErr_Occurred()) return nullptr;
    Zv_RETURN_NOTIMPLEMENTED;
}
ZvMethodDef eq_steps_def = {"__eq__", fn_eq_steps_iterator, METH_VARARGS, nullptr};
ZvObject *fn_produce(ZvObject *, ZvObject *)
{
    if (calliter_calls++ == 0) return zv_call(eq_class);
    Zv_INCREF(sentinel);
    return sentinel;
}
ZvMethodDef produce_def = {"produce", fn_produce, METH_VARARGS, nullptr};

TEST_F(ReentrantTest, CallableIteratorHoldsItsSentinelWhileComparing)
{
    Owned eq(zv_native(&eq_steps_def));
    Owned r_cls(zv_class("R", {}, {{"__eq__", eq.get()}}));
    eq_class = r_cls;
    Owned produce(zv_native(&produce_def));
    sentinel = zv_call(Owned(zv_class("Sentinel", {})));
    calliter_calls = 0;
    Owned it(ZvCallIter_New(produce, sentinel));
    Zv_DECREF(sentinel); // the iterator holds the only reference
    calliter = it;
    Owned first(ZvIter_Next(it));
    EXPECT_EQ(Zv_TYPE(first.get()), (ZvTypeObject *)r_cls.get());
    EXPECT_EQ(ZvIter_Next(it), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    calliter = sentinel = eq_class = nullptr;
}

ZvObject *seqiter = nullptr;
ZvObject *fn_getitem_steps_iterator(ZvObject *, ZvObject *args)
{
    // The nested step ends the iteration; then this one ends too.
    static bool nested = false;
    if (!nested) {
        nested = true;
        Zv_XDECREF(ZvIter_Next(seqiter));
        nested = false;
    }
    ZvErr_SetString(ZvExc_IndexError, "done");
    return nullptr;
}
ZvMethodDef getitem_steps_def = {"__getitem__", fn_getitem_steps_iterator, METH_VARARGS, nullptr};

TEST_F(ReentrantTest, SequenceIteratorReleasesItsSequenceOnce)
{
    Owned getitem(zv_native(&getitem_steps_def));
    Owned s_cls(zv_class("S", {}, {{"__getitem__", getitem.get()}}));
    Owned s(zv_call(s_cls));
    int count = s.get()->ob_refcnt;
    Owned it(ZvSeqIter_New(s));
    seqiter = it;
    EXPECT_EQ(ZvIter_Next(it), nullptr);
    EXPECT_EQ(ZvErr_Occurred(), nullptr);
    EXPECT_EQ(s.get()->ob_refcnt, count);
    seqiter = nullptr;
}

// --- dir() and calls ------------------------------------------------------

ZvObject *members_list = nullptr;
ZvObject *fn_hash_empties_list(ZvObject *, ZvObject *)
{
    if (ZvList_SetSlice(members_list, 0, ZvList_GET_SIZE(members_list), nullptr) < 0)
        return nullptr;
    return ZvInt_FromLong(7);
}
ZvMethodDef hash_empties_def = {"__hash__", fn_hash_empties_list, METH_VARARGS, nullptr};

TEST_F(ReentrantTest, DirHoldsTheNamesItCopies)
{
    Owned hash(zv_native(&hash_empties_def));
    Owned mystr(zv_class("MyStr", {ZV_TYPE_OBJ(ZvString_Type)}, {{"__hash__", hash.get()}}));
    Owned o(zv_call(Owned(zv_class("O", {}))));
    Owned list(ZvList_New(0));
    ZvList_Append(list, Owned(zv_call(mystr, {Owned(zv_string("shown")).get()})));
    members_list = list;
    ASSERT_EQ(ZvObject_SetAttrString(o, "__members__", list), 0);
    std::string names = text(ZvObject_Dir(o));
    EXPECT_NE(names.find("'shown'"), std::string::npos) << names;
    members_list = nullptr;
}

TEST_F(ReentrantTest, ObjectsCallingThemselvesStopAtTheRecursionLimit)
{
    Owned cls(zv_class("C", {}));
    Owned inst(zv_call(cls));
    for (const char *name : {"__call__", "__init__", "__new__"}) {
        ZvObject *target = std::string(name) == "__call__" ? inst.get() : cls.get();
        ASSERT_EQ(ZvObject_SetAttrString(cls, name, target), 0);
        EXPECT_EQ(zv_call(target), nullptr);
        std::string expected = "maximum recursion depth exceeded in " + std::string(name);
        EXPECT_EQ(zv_error_text().rfind(expected, 0), 0u);
        ASSERT_EQ(ZvObject_SetAttrString(cls, name, nullptr), 0);
    }
}
