/* `super`: attribute lookup that starts after a given class in the MRO of
 * an instance's (or a class's) type.
 *
 * A super object records the class it was created for (`type`), the
 * object it is bound to (`obj`, or NULL when unbound) and the type whose
 * MRO is searched (`obj_type`: obj's type, or obj itself when obj is a
 * subclass of `type`).  All three are owned.  An unbound super object is a
 * descriptor that binds itself when fetched through an instance. */
#include "typeobject_internal.h"
#include "abstract.h"

#include <string.h>

#include "zvref.h"

using zv::Ref;

extern "C" {

typedef struct {
    ZvObject_HEAD
    ZvTypeObject *type;     /* the class passed first */
    ZvObject *obj;          /* the second argument, or NULL */
    ZvTypeObject *obj_type; /* where the search starts, or NULL */
} superobject;

static ZvMemberDef super_members[] = {
    {"__thisclass__", T_OBJECT, offsetof(superobject, type), READONLY,
     "the class invoking super()"},
    {"__self__", T_OBJECT, offsetof(superobject, obj), READONLY,
     "the instance invoking super(); may be None"},
    {"__self_class__", T_OBJECT, offsetof(superobject, obj_type), READONLY,
     "the type of the instance invoking super(); may be None"},
    {},
};

static int super_clear(ZvObject *self)
{
    auto *su = (superobject *)self;
    Zv_CLEAR(su->obj);
    Zv_CLEAR(su->type);
    Zv_CLEAR(su->obj_type);
    return 0;
}

static void super_dealloc(ZvObject *self)
{
    ZvObject_GC_UnTrack(self);
    ZvTrash_BEGIN(self)
    super_clear(self);
    Zv_TYPE(self)->tp_free(self);
    ZvTrash_END(self)
}

static int super_traverse(ZvObject *self, visitproc visit, void *arg)
{
    auto *su = (superobject *)self;
    Zv_VISIT(su->obj);
    Zv_VISIT(su->type);
    Zv_VISIT(su->obj_type);
    return 0;
}

static ZvObject *super_repr(ZvObject *self)
{
    auto *su = (superobject *)self;
    const char *cls = su->type ? su->type->tp_name : "NULL";
    if (su->obj_type != nullptr)
        return ZvString_FromFormat("<super: <class '%s'>, <%s object>>", cls,
                                   su->obj_type->tp_name);
    return ZvString_FromFormat("<super: <class '%s'>, NULL>", cls);
}

/* Position just after `type` in the MRO of `start`; -1 when absent. */
static int index_after(ZvTypeObject *start, ZvTypeObject *type)
{
    ZvObject *mro = start->tp_mro;
    int n = mro ? ZvTuple_GET_SIZE(mro) : 0;
    for (int i = 0; i < n; i++)
        if (ZvTuple_GET_ITEM(mro, i) == (ZvObject *)type) return i + 1;
    return -1;
}

static ZvObject *super_getattro(ZvObject *self, ZvObject *name)
{
    auto *su = (superobject *)self;
    /* __class__ is the super object's own, so that super instances can be
     * recognised. */
    bool skip = su->obj_type == nullptr ||
                (ZvString_Check(name) && strcmp(ZvString_AS_STRING(name), "__class__") == 0);
    if (!skip && ZvString_Check(name)) {
        /* Everything the walk uses is held: a key's __eq__ in a dictionary
         * along the way can assign __bases__ (replacing the MRO) or
         * initialise this super object again (releasing what it holds). */
        Ref type = Ref::borrow((ZvObject *)su->type);
        Ref obj = Ref::borrow(su->obj);
        Ref starttype = Ref::borrow((ZvObject *)su->obj_type);
        int i = index_after((ZvTypeObject *)starttype.get(), (ZvTypeObject *)type.get());
        if (i < 0 && obj && ZvType_Check(obj.get())) {
            starttype = Ref::borrow(obj.get());
            i = index_after((ZvTypeObject *)starttype.get(), (ZvTypeObject *)type.get());
        }
        Ref mro = Ref::borrow(((ZvTypeObject *)starttype.get())->tp_mro);
        for (int n = (i < 0 || !mro) ? 0 : ZvTuple_GET_SIZE(mro.get()); i >= 0 && i < n; i++) {
            ZvObject *tmp = ZvTuple_GET_ITEM(mro.get(), i);
            if (!ZvType_Check(tmp)) continue;
            ZvObject *dict = ((ZvTypeObject *)tmp)->tp_dict;
            ZvObject *res = dict ? ZvDict_GetItem(dict, name) : nullptr;
            if (res == nullptr) continue;
            Ref hold = Ref::borrow(res);
            descrgetfunc f = Zv_TYPE(res)->tp_descr_get;
            if (f == nullptr) return hold.release();
            /* Through the class itself the attribute is fetched unbound. */
            ZvObject *through = obj.get() == starttype.get() ? nullptr : obj.get();
            return f(res, through, starttype.get());
        }
    }
    return ZvObject_GenericGetAttr(self, name);
}

/* The type to search for super(type, obj): obj itself when it is a
 * subclass of type, else its type (or its __class__). */
static ZvTypeObject *supercheck(ZvTypeObject *type, ZvObject *obj)
{
    if (ZvType_Check(obj) && ZvType_IsSubtype((ZvTypeObject *)obj, type)) {
        Zv_INCREF(obj);
        return (ZvTypeObject *)obj;
    }
    if (ZvType_IsSubtype(Zv_TYPE(obj), type)) {
        Zv_INCREF(Zv_TYPE(obj));
        return Zv_TYPE(obj);
    }
    ZvObject *class_attr = ZvObject_GetAttrString(obj, "__class__");
    if (class_attr != nullptr && ZvType_Check(class_attr) &&
        (ZvTypeObject *)class_attr != Zv_TYPE(obj) &&
        ZvType_IsSubtype((ZvTypeObject *)class_attr, type))
        return (ZvTypeObject *)class_attr;
    if (class_attr == nullptr)
        ZvErr_Clear();
    else
        Zv_DECREF(class_attr);
    ZvErr_SetString(ZvExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    return nullptr;
}

static int super_set(superobject *su, ZvTypeObject *type, ZvObject *obj)
{
    ZvTypeObject *obj_type = nullptr;
    if (obj == Zv_None) obj = nullptr;
    if (obj != nullptr) {
        obj_type = supercheck(type, obj);
        if (obj_type == nullptr) return -1;
        Zv_INCREF(obj);
    }
    Zv_INCREF(type);
    /* Re-initialising replaces what an earlier __init__ stored. */
    super_clear((ZvObject *)su);
    su->type = type;
    su->obj = obj;
    su->obj_type = obj_type;
    return 0;
}

static int super_init(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    ZvTypeObject *type;
    ZvObject *obj = nullptr;
    if (!ZvArg_ParseTuple(args, "O!|O:super", &ZvType_Type, &type, &obj)) return -1;
    return super_set((superobject *)self, type, obj);
}

static ZvObject *super_descr_get(ZvObject *self, ZvObject *obj, ZvObject *)
{
    auto *su = (superobject *)self;
    if (obj == nullptr || obj == Zv_None || su->obj != nullptr) {
        Zv_INCREF(self);
        return self;
    }
    if (Zv_TYPE(su) != &ZvSuper_Type)
        return ZvObject_CallFunctionObjArgs((ZvObject *)Zv_TYPE(su), (ZvObject *)su->type, obj,
                                            nullptr);
    Ref newobj(ZvType_GenericNew(&ZvSuper_Type, nullptr, nullptr));
    if (!newobj || super_set((superobject *)newobj.get(), su->type, obj) < 0) return nullptr;
    return newobj.release();
}

static const char super_doc[] =
    "super(type) -> unbound super object\n"
    "super(type, obj) -> bound super object; requires isinstance(obj, type)\n"
    "super(type, type2) -> bound super object; requires issubclass(type2, type)\n"
    "Typical use to call a cooperative superclass method:\n"
    "class C(B):\n"
    "    def meth(self, arg):\n"
    "        super(C, self).meth(arg)";

ZvTypeObject ZvSuper_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "super", sizeof(superobject), 0,
    super_dealloc,         /* tp_dealloc */
    nullptr,               /* tp_print */
    nullptr,               /* tp_getattr */
    nullptr,               /* tp_setattr */
    nullptr,               /* tp_compare */
    super_repr,            /* tp_repr */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    super_getattro,        /* tp_getattro */
    nullptr,               /* tp_setattro */
    nullptr,               /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    super_doc,
    super_traverse,        /* tp_traverse */
    super_clear,           /* tp_clear */
    nullptr, 0, nullptr, nullptr,
    nullptr,               /* tp_methods */
    super_members,         /* tp_members */
    nullptr,               /* tp_getset */
    nullptr,               /* tp_base */
    nullptr,               /* tp_dict */
    super_descr_get,       /* tp_descr_get */
    nullptr,               /* tp_descr_set */
    0,                     /* tp_dictoffset */
    super_init,            /* tp_init */
    ZvType_GenericAlloc,   /* tp_alloc */
    ZvType_GenericNew,     /* tp_new */
    ZvObject_GC_Del,       /* tp_free */
};

} // extern "C"
