/* Method objects ("instancemethod"): a callable paired with the instance
 * it is bound to (im_self) and the class it was found in (im_class).
 *
 * A function found through a class or instance becomes one of these (the
 * function's descriptor get), so one is made on every method fetch; freed
 * records go on an unbounded free list linked through im_self and are
 * reused by the next creation, keeping their collector header while
 * parked.  A bound method prepends im_self to the arguments; an unbound
 * one checks that its first argument is an instance of im_class. */
#include "classobject_internal.h"

#include <stddef.h>
#include <string.h>

#include "zvref.h"

using zv::Ref;

namespace {

ZvMethodObject *free_list = nullptr;

/* The __name__ of a class for messages, cut to 255 bytes, or "?". */
void class_name_into(ZvObject *cls, char *buf, size_t size)
{
    snprintf(buf, size, "?");
    if (cls == nullptr) return;
    Ref name(ZvObject_GetAttrString(cls, "__name__"));
    if (!name) {
        ZvErr_Clear();
        return;
    }
    if (ZvString_Check(name.get())) snprintf(buf, size, "%.255s", ZvString_AS_STRING(name.get()));
}

/* The class name of the first argument: its __class__, or its type when
 * that cannot be had; "nothing" when there is no first argument. */
void instance_class_name_into(ZvObject *inst, char *buf, size_t size)
{
    if (inst == nullptr) {
        snprintf(buf, size, "nothing");
        return;
    }
    Ref cls(ZvObject_GetAttrString(inst, "__class__"));
    if (!cls) {
        ZvErr_Clear();
        cls = Ref::borrow((ZvObject *)Zv_TYPE(inst));
    }
    class_name_into(cls.get(), buf, size);
}

ZvObject *method_call(ZvObject *op, ZvObject *args, ZvObject *kw)
{
    auto *im = (ZvMethodObject *)op;
    /* Held: the call may drop the last other reference to the method. */
    Ref func = Ref::borrow(im->im_func);
    Ref self = Ref::borrow(im->im_self);
    if (self) {
        int n = ZvTuple_GET_SIZE(args);
        Ref newargs(ZvTuple_New(n + 1));
        if (!newargs) return nullptr;
        ZvTuple_SET_ITEM(newargs.get(), 0, self.release());
        for (int i = 0; i < n; i++) {
            ZvObject *x = ZvTuple_GET_ITEM(args, i);
            Zv_INCREF(x);
            ZvTuple_SET_ITEM(newargs.get(), i + 1, x);
        }
        return ZvObject_Call(func.get(), newargs.get(), kw);
    }
    ZvObject *first = ZvTuple_GET_SIZE(args) >= 1 ? ZvTuple_GET_ITEM(args, 0) : nullptr;
    int ok = first != nullptr;
    /* A method made by native code without a class accepts any instance. */
    if (ok && im->im_class != nullptr) {
        ok = ZvObject_IsInstance(first, im->im_class);
        if (ok < 0) return nullptr;
    }
    if (!ok) {
        char clsbuf[256], instbuf[256];
        class_name_into(im->im_class, clsbuf, sizeof clsbuf);
        instance_class_name_into(first, instbuf, sizeof instbuf);
        ZvErr_Format(ZvExc_TypeError,
                     "unbound method %s%s must be called with %s instance as first argument "
                     "(got %s%s instead)",
                     ZvEval_GetFuncName(func.get()), ZvEval_GetFuncDesc(func.get()), clsbuf,
                     instbuf, first == nullptr ? "" : " instance");
        return nullptr;
    }
    return ZvObject_Call(func.get(), args, kw);
}

/* A bound method, or an unbound one fetched through a class unrelated to
 * its own, stays as it is; otherwise the function is bound anew. */
ZvObject *method_descr_get(ZvObject *op, ZvObject *obj, ZvObject *cls)
{
    auto *im = (ZvMethodObject *)op;
    if (im->im_self != nullptr) {
        Zv_INCREF(op);
        return op;
    }
    if (im->im_class != nullptr && cls != nullptr) {
        int ok = ZvObject_IsSubclass(cls, im->im_class);
        if (ok < 0) return nullptr;
        if (!ok) {
            Zv_INCREF(op);
            return op;
        }
    }
    return ZvMethod_New(im->im_func, obj == Zv_None ? nullptr : obj, cls);
}

/* An object's __name__ when it is a string, else NULL (unknown);
 * an AttributeError counts as unknown, any other error fails. */
ZvObject *name_or_unknown(ZvObject *obj, bool *failed)
{
    *failed = false;
    if (obj == nullptr) return nullptr;
    ZvObject *name = ZvObject_GetAttrString(obj, "__name__");
    if (name == nullptr) {
        if (!ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
            *failed = true;
            return nullptr;
        }
        ZvErr_Clear();
        return nullptr;
    }
    if (!ZvString_Check(name)) {
        Zv_DECREF(name);
        return nullptr;
    }
    return name;
}

ZvObject *method_repr(ZvObject *op)
{
    auto *im = (ZvMethodObject *)op;
    bool failed;
    Ref funcname(name_or_unknown(im->im_func, &failed));
    if (failed) return nullptr;
    Ref klassname(name_or_unknown(im->im_class, &failed));
    if (failed) return nullptr;
    const char *fn = funcname ? ZvString_AS_STRING(funcname.get()) : "?";
    const char *kn = klassname ? ZvString_AS_STRING(klassname.get()) : "?";
    if (im->im_self == nullptr) return ZvString_FromFormat("<unbound method %s.%s>", kn, fn);
    Ref selfrepr(ZvObject_Repr(im->im_self));
    if (!selfrepr) return nullptr;
    return ZvString_FromFormat("<bound method %s.%s of %s>", kn, fn,
                               ZvString_AS_STRING(selfrepr.get()));
}

int method_compare(ZvObject *v, ZvObject *w)
{
    auto *a = (ZvMethodObject *)v, *b = (ZvMethodObject *)w;
    if (a->im_self != b->im_self) return (uintptr_t)a->im_self < (uintptr_t)b->im_self ? -1 : 1;
    return ZvObject_Compare(a->im_func, b->im_func);
}

Zv_hash_t method_hash(ZvObject *op)
{
    auto *im = (ZvMethodObject *)op;
    Zv_hash_t x = ZvObject_Hash(im->im_self != nullptr ? im->im_self : Zv_None);
    if (x == -1) return -1;
    Zv_hash_t y = ZvObject_Hash(im->im_func);
    if (y == -1) return -1;
    Zv_hash_t r = x ^ y;
    return r == -1 ? -2 : r;
}

/* Attributes: what the method type offers (im_func, __call__, ...), else
 * the function's own (its __name__, its dictionary's entries). */
ZvObject *method_getattro(ZvObject *op, ZvObject *name)
{
    ZvTypeObject *tp = Zv_TYPE(op);
    if (tp->tp_dict == nullptr && ZvType_Ready(tp) < 0) return nullptr;
    ZvObject *descr = _ZvType_Lookup(tp, name);
    if (descr != nullptr) {
        descrgetfunc f = ZvType_HasFeature(Zv_TYPE(descr), Zv_TPFLAGS_HAVE_CLASS)
                             ? Zv_TYPE(descr)->tp_descr_get
                             : nullptr;
        Ref hold = Ref::borrow(descr);
        if (f != nullptr) return f(descr, op, (ZvObject *)tp);
        return hold.release();
    }
    return ZvObject_GetAttr(((ZvMethodObject *)op)->im_func, name);
}

ZvObject *method_get_doc(ZvObject *op, void *)
{
    return ZvObject_GetAttrString(((ZvMethodObject *)op)->im_func, "__doc__");
}

/* A method can be bound to a method, so chains of them are freed through
 * the depth guard like containers. */
void method_dealloc(ZvObject *op)
{
    auto *im = (ZvMethodObject *)op;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    /* Weak references are cleared here once weak reference objects exist. */
    Zv_DECREF(im->im_func);
    Zv_XDECREF(im->im_self);
    Zv_XDECREF(im->im_class);
    im->im_self = (ZvObject *)free_list;
    free_list = im;
    ZvTrash_END(op)
}

int method_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *im = (ZvMethodObject *)op;
    Zv_VISIT(im->im_func);
    Zv_VISIT(im->im_self);
    Zv_VISIT(im->im_class);
    return 0;
}

/* The function stays (calls must find one); the instance and class go. */
int method_clear(ZvObject *op)
{
    auto *im = (ZvMethodObject *)op;
    Zv_CLEAR(im->im_self);
    Zv_CLEAR(im->im_class);
    return 0;
}

ZvObject *method_new(ZvTypeObject *, ZvObject *args, ZvObject *kw)
{
    ZvObject *func, *self, *klass = nullptr;
    if (!_ZvArg_NoKeywords("instancemethod", kw)) return nullptr;
    if (!ZvArg_UnpackTuple(args, "instancemethod", 2, 3, &func, &self, &klass)) return nullptr;
    if (!ZvCallable_Check(func)) {
        ZvErr_SetString(ZvExc_TypeError, "first argument must be callable");
        return nullptr;
    }
    if (self == Zv_None) self = nullptr;
    if (self == nullptr && klass == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "unbound methods must have non-NULL im_class");
        return nullptr;
    }
    return ZvMethod_New(func, self, klass);
}

ZvMemberDef method_members[] = {
    {"im_class", T_OBJECT, offsetof(ZvMethodObject, im_class), READONLY | READ_RESTRICTED,
     "the class associated with a method"},
    {"im_func", T_OBJECT, offsetof(ZvMethodObject, im_func), READONLY | READ_RESTRICTED,
     "the function (or other callable) implementing a method"},
    {"im_self", T_OBJECT, offsetof(ZvMethodObject, im_self), READONLY | READ_RESTRICTED,
     "the instance to which a method is bound; None for unbound methods"},
    {},
};

ZvGetSetDef method_getset[] = {
    {"__doc__", method_get_doc, nullptr, nullptr, nullptr},
    {},
};

const char method_doc[] = "instancemethod(function, instance, class)\n\n"
                          "Create an instance method object.";

ZvMethodObject *checked(ZvObject *op)
{
    if (op == nullptr || !ZvMethod_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return (ZvMethodObject *)op;
}

} // namespace

extern "C" {

ZvObject *ZvMethod_New(ZvObject *func, ZvObject *self, ZvObject *klass)
{
    if (!ZvCallable_Check(func)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvMethodObject *im = free_list;
    if (im != nullptr) {
        free_list = (ZvMethodObject *)im->im_self;
        _ZvObject_INIT(im, &ZvMethod_Type);
    } else {
        im = ZvObject_GC_New(ZvMethodObject, &ZvMethod_Type);
        if (im == nullptr) return nullptr;
    }
    im->im_weakreflist = nullptr;
    Zv_INCREF(func);
    im->im_func = func;
    Zv_XINCREF(self);
    im->im_self = self;
    Zv_XINCREF(klass);
    im->im_class = klass;
    ZvObject_GC_Track(im);
    return (ZvObject *)im;
}

ZvObject *ZvMethod_Function(ZvObject *op)
{
    ZvMethodObject *im = checked(op);
    return im != nullptr ? im->im_func : nullptr;
}

ZvObject *ZvMethod_Self(ZvObject *op)
{
    ZvMethodObject *im = checked(op);
    return im != nullptr ? im->im_self : nullptr;
}

ZvObject *ZvMethod_Class(ZvObject *op)
{
    ZvMethodObject *im = checked(op);
    return im != nullptr ? im->im_class : nullptr;
}

void ZvMethod_Fini(void)
{
    while (free_list != nullptr) {
        ZvMethodObject *im = free_list;
        free_list = (ZvMethodObject *)im->im_self;
        ZvObject_GC_Del(im);
    }
}

ZvTypeObject ZvMethod_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "instancemethod",                               /* tp_name */
    sizeof(ZvMethodObject),                         /* tp_basicsize */
    0,                                              /* tp_itemsize */
    method_dealloc,                                 /* tp_dealloc */
    nullptr,                                        /* tp_print */
    nullptr,                                        /* tp_getattr */
    nullptr,                                        /* tp_setattr */
    method_compare,                                 /* tp_compare */
    method_repr,                                    /* tp_repr */
    nullptr,                                        /* tp_as_number */
    nullptr,                                        /* tp_as_sequence */
    nullptr,                                        /* tp_as_mapping */
    method_hash,                                    /* tp_hash */
    method_call,                                    /* tp_call */
    nullptr,                                        /* tp_str */
    method_getattro,                                /* tp_getattro */
    ZvObject_GenericSetAttr,                        /* tp_setattro */
    nullptr,                                        /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,        /* tp_flags */
    method_doc,                                     /* tp_doc */
    method_traverse,                                /* tp_traverse */
    method_clear,                                   /* tp_clear */
    nullptr,                                        /* tp_richcompare */
    offsetof(ZvMethodObject, im_weakreflist),       /* tp_weaklistoffset */
    nullptr,                                        /* tp_iter */
    nullptr,                                        /* tp_iternext */
    nullptr,                                        /* tp_methods */
    method_members,                                 /* tp_members */
    method_getset,                                  /* tp_getset */
    nullptr,                                        /* tp_base */
    nullptr,                                        /* tp_dict */
    method_descr_get,                               /* tp_descr_get */
    nullptr,                                        /* tp_descr_set */
    0,                                              /* tp_dictoffset */
    nullptr,                                        /* tp_init */
    nullptr,                                        /* tp_alloc */
    method_new,                                     /* tp_new */
};

} // extern "C"
