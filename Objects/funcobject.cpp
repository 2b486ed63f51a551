/* Function objects, and the classmethod and staticmethod wrappers.
 *
 * A function pairs a code object with the globals it runs in, the
 * defaults of its last parameters and the cells of its free variables.
 * Calling it binds the arguments through ZvEval_EvalCodeEx.  Fetched
 * through a class or an instance it becomes a method object (its
 * descriptor get), which is how `self` gets passed.
 *
 * Invariants: func_code is a code object whose number of free variables
 * equals the closure's length (0 for NULL), func_globals a dictionary and
 * func_name a string.  The setters keep them, since a closure shorter than
 * the code expects would make the evaluation loop read past it.
 *
 * The function attributes that expose or change what a function runs
 * (its code, globals, closure, defaults, dictionary and name) are off
 * limits to restricted code. */
#include "zuvo.h"

#include <stddef.h>

#include "zvref.h"

using zv::Ref;

namespace {

bool restricted()
{
    if (!ZvEval_GetRestricted()) return false;
    ZvErr_SetString(ZvExc_RuntimeError, "function attributes not accessible in restricted mode");
    return true;
}

ZvFunctionObject *F(ZvObject *op) { return (ZvFunctionObject *)op; }

ZvObject *new_ref_or_none(ZvObject *v)
{
    if (v == nullptr) v = Zv_None;
    Zv_INCREF(v);
    return v;
}

void replace(ZvObject **slot, ZvObject *v)
{
    ZvObject *old = *slot;
    Zv_XINCREF(v);
    *slot = v;
    Zv_XDECREF(old);
}

/* --- attributes ---------------------------------------------------------- */

ZvObject *func_get_closure(ZvObject *op, void *)
{
    return restricted() ? nullptr : new_ref_or_none(F(op)->func_closure);
}

ZvObject *func_get_globals(ZvObject *op, void *)
{
    return restricted() ? nullptr : new_ref_or_none(F(op)->func_globals);
}

/* func_closure and func_globals are read-only the way every other read-only
 * attribute of the execution objects is (methods, generators, tracebacks):
 * setting or deleting them is a TypeError. */
int func_set_readonly(ZvObject *, ZvObject *, void *)
{
    ZvErr_SetString(ZvExc_TypeError, "readonly attribute");
    return -1;
}

ZvObject *func_get_doc(ZvObject *op, void *) { return new_ref_or_none(F(op)->func_doc); }

int func_set_doc(ZvObject *op, ZvObject *v, void *)
{
    if (restricted()) return -1;
    replace(&F(op)->func_doc, v != nullptr ? v : Zv_None);
    return 0;
}

ZvObject *func_get_module(ZvObject *op, void *) { return new_ref_or_none(F(op)->func_module); }

int func_set_module(ZvObject *op, ZvObject *v, void *)
{
    if (restricted()) return -1;
    replace(&F(op)->func_module, v);
    return 0;
}

ZvObject *func_get_code(ZvObject *op, void *)
{
    return restricted() ? nullptr : new_ref_or_none(F(op)->func_code);
}

int func_set_code(ZvObject *op, ZvObject *v, void *)
{
    if (restricted()) return -1;
    if (v == nullptr || !ZvCode_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "func_code must be set to a code object");
        return -1;
    }
    ZvFunctionObject *f = F(op);
    int nfree = ZvCode_GetNumFree(v);
    int nclosure = f->func_closure == nullptr ? 0 : ZvTuple_GET_SIZE(f->func_closure);
    if (nfree != nclosure) {
        ZvErr_Format(ZvExc_ValueError, "%s() requires a code object with %d free vars, not %d",
                     ZvString_AsString(f->func_name), nclosure, nfree);
        return -1;
    }
    replace(&f->func_code, v);
    return 0;
}

ZvObject *func_get_defaults(ZvObject *op, void *)
{
    return restricted() ? nullptr : new_ref_or_none(F(op)->func_defaults);
}

int func_set_defaults(ZvObject *op, ZvObject *v, void *)
{
    if (restricted()) return -1;
    if (v == Zv_None) v = nullptr;
    if (v != nullptr && !ZvTuple_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "func_defaults must be set to a tuple object");
        return -1;
    }
    replace(&F(op)->func_defaults, v);
    return 0;
}

/* The attribute dictionary, made on first use. */
ZvObject *func_get_dict(ZvObject *op, void *)
{
    if (restricted()) return nullptr;
    ZvFunctionObject *f = F(op);
    if (f->func_dict == nullptr && (f->func_dict = ZvDict_New()) == nullptr) return nullptr;
    Zv_INCREF(f->func_dict);
    return f->func_dict;
}

int func_set_dict(ZvObject *op, ZvObject *v, void *)
{
    if (restricted()) return -1;
    if (v == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!ZvDict_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    replace(&F(op)->func_dict, v);
    return 0;
}

ZvObject *func_get_name(ZvObject *op, void *)
{
    return restricted() ? nullptr : new_ref_or_none(F(op)->func_name);
}

int func_set_name(ZvObject *op, ZvObject *v, void *)
{
    if (restricted()) return -1;
    if (v == nullptr || !ZvString_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "func_name must be set to a string object");
        return -1;
    }
    replace(&F(op)->func_name, v);
    return 0;
}

ZvGetSetDef func_getsets[] = {
    {"func_closure", func_get_closure, func_set_readonly, nullptr, nullptr},
    {"func_doc", func_get_doc, func_set_doc, nullptr, nullptr},
    {"__doc__", func_get_doc, func_set_doc, nullptr, nullptr},
    {"func_globals", func_get_globals, func_set_readonly, nullptr, nullptr},
    {"__module__", func_get_module, func_set_module, nullptr, nullptr},
    {"func_code", func_get_code, func_set_code, nullptr, nullptr},
    {"func_defaults", func_get_defaults, func_set_defaults, nullptr, nullptr},
    {"func_dict", func_get_dict, func_set_dict, nullptr, nullptr},
    {"__dict__", func_get_dict, func_set_dict, nullptr, nullptr},
    {"func_name", func_get_name, func_set_name, nullptr, nullptr},
    {"__name__", func_get_name, func_set_name, nullptr, nullptr},
    {},
};

/* --- the function type ------------------------------------------------------ */

ZvObject *func_repr(ZvObject *op)
{
    return ZvString_FromFormat("<function %s at %p>", ZvString_AsString(F(op)->func_name),
                               (void *)op);
}

/* Keyword pairs copied into an owned array (name, value, name, value ...):
 * the dictionary belongs to the caller and the called code may change it. */
struct KeywordArray {
    ZvObject **items = nullptr;
    int count = 0;
    ~KeywordArray()
    {
        for (int i = 0; i < 2 * count; i++) Zv_DECREF(items[i]);
        ZvMem_Free(items);
    }
    bool fill(ZvObject *kw)
    {
        int n = ZvDict_Size(kw);
        if (n <= 0) return true;
        items = (ZvObject **)ZvMem_Malloc(sizeof(ZvObject *) * 2 * (size_t)n);
        if (items == nullptr) {
            ZvErr_NoMemory();
            return false;
        }
        int pos = 0;
        ZvObject *key, *value;
        while (count < n && ZvDict_Next(kw, &pos, &key, &value)) {
            Zv_INCREF(key);
            Zv_INCREF(value);
            items[2 * count] = key;
            items[2 * count + 1] = value;
            count++;
        }
        return true;
    }
};

ZvObject *func_call(ZvObject *op, ZvObject *args, ZvObject *kw)
{
    ZvFunctionObject *f = F(op);
    /* Held for the call: the function's attributes may be replaced while
     * its code runs. */
    Ref code = Ref::borrow(f->func_code);
    Ref globals = Ref::borrow(f->func_globals);
    Ref defaults = Ref::borrow(f->func_defaults);
    Ref closure = Ref::borrow(f->func_closure);
    ZvObject **defs = nullptr;
    int ndefs = 0;
    if (defaults) {
        defs = &ZvTuple_GET_ITEM(defaults.get(), 0);
        ndefs = ZvTuple_GET_SIZE(defaults.get());
    }
    KeywordArray kws;
    if (kw != nullptr && ZvDict_Check(kw) && !kws.fill(kw)) return nullptr;
    return ZvEval_EvalCodeEx((ZvCodeObject *)code.get(), globals.get(), nullptr,
                             &ZvTuple_GET_ITEM(args, 0), ZvTuple_GET_SIZE(args), kws.items,
                             kws.count, defs, ndefs, closure.get());
}

/* Fetched through an instance: a bound method; through a class (or with
 * an instance of None): an unbound one. */
ZvObject *func_descr_get(ZvObject *func, ZvObject *obj, ZvObject *type)
{
    if (obj == Zv_None) obj = nullptr;
    return ZvMethod_New(func, obj, type);
}

/* A function can hold another in its __doc__ or __module__: chains of them
 * are freed through the depth guard like containers. */
void func_dealloc(ZvObject *op)
{
    ZvFunctionObject *f = F(op);
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    /* Weak references are cleared here once weak reference objects exist. */
    Zv_XDECREF(f->func_code);
    Zv_XDECREF(f->func_globals);
    Zv_XDECREF(f->func_module);
    Zv_XDECREF(f->func_name);
    Zv_XDECREF(f->func_defaults);
    Zv_XDECREF(f->func_doc);
    Zv_XDECREF(f->func_dict);
    Zv_XDECREF(f->func_closure);
    ZvObject_GC_Del(op);
    ZvTrash_END(op)
}

int func_traverse(ZvObject *op, visitproc visit, void *arg)
{
    ZvFunctionObject *f = F(op);
    Zv_VISIT(f->func_code);
    Zv_VISIT(f->func_globals);
    Zv_VISIT(f->func_module);
    Zv_VISIT(f->func_defaults);
    Zv_VISIT(f->func_doc);
    Zv_VISIT(f->func_name);
    Zv_VISIT(f->func_dict);
    Zv_VISIT(f->func_closure);
    return 0;
}

/* What the invariants allow to go: the code, globals, name and closure
 * stay (the closure's cells are cleared themselves). */
int func_clear(ZvObject *op)
{
    ZvFunctionObject *f = F(op);
    Zv_CLEAR(f->func_defaults);
    Zv_CLEAR(f->func_dict);
    Zv_CLEAR(f->func_module);
    replace(&f->func_doc, Zv_None);
    return 0;
}

ZvObject *func_new(ZvTypeObject *, ZvObject *args, ZvObject *kw)
{
    static const char *kwlist[] = {"code", "globals", "name", "argdefs", "closure", nullptr};
    ZvObject *code, *globals, *name = Zv_None, *defaults = Zv_None, *closure = Zv_None;
    if (!ZvArg_ParseTupleAndKeywords(args, kw, "O!O!|OOO:function", (char **)kwlist, &ZvCode_Type,
                                     &code, &ZvDict_Type, &globals, &name, &defaults, &closure))
        return nullptr;
    if (name != Zv_None && !ZvString_Check(name)) {
        ZvErr_SetString(ZvExc_TypeError, "arg 3 (name) must be None or string");
        return nullptr;
    }
    if (defaults != Zv_None && !ZvTuple_Check(defaults)) {
        ZvErr_SetString(ZvExc_TypeError, "arg 4 (defaults) must be None or tuple");
        return nullptr;
    }
    int nfree = ZvCode_GetNumFree(code);
    if (!ZvTuple_Check(closure)) {
        if (nfree && closure == Zv_None) {
            ZvErr_SetString(ZvExc_TypeError, "arg 5 (closure) must be tuple");
            return nullptr;
        }
        if (closure != Zv_None) {
            ZvErr_SetString(ZvExc_TypeError, "arg 5 (closure) must be None or tuple");
            return nullptr;
        }
    }
    int nclosure = closure == Zv_None ? 0 : ZvTuple_GET_SIZE(closure);
    if (nfree != nclosure) {
        ZvErr_Format(ZvExc_ValueError, "%s requires closure of length %d, not %d",
                     ZvString_AsString(((ZvCodeObject *)code)->co_name), nfree, nclosure);
        return nullptr;
    }
    for (int i = 0; i < nclosure; i++) {
        ZvObject *o = ZvTuple_GET_ITEM(closure, i);
        if (!ZvCell_Check(o)) {
            ZvErr_Format(ZvExc_TypeError, "arg 5 (closure) expected cell, found %s",
                         Zv_TYPE(o)->tp_name);
            return nullptr;
        }
    }
    Ref f(ZvFunction_New(code, globals));
    if (!f) return nullptr;
    ZvFunctionObject *fp = F(f.get());
    if (name != Zv_None) replace(&fp->func_name, name);
    if (defaults != Zv_None) replace(&fp->func_defaults, defaults);
    if (closure != Zv_None) replace(&fp->func_closure, closure);
    return f.release();
}

const char func_doc[] = "function(code, globals[, name[, argdefs[, closure]]])\n\n"
                        "Create a function object from a code object and a dictionary.\n"
                        "The optional name string overrides the name from the code object.\n"
                        "The optional argdefs tuple specifies the default argument values.\n"
                        "The optional closure tuple supplies the bindings for free variables.";

ZvFunctionObject *checked(ZvObject *op)
{
    if (op == nullptr || !ZvFunction_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return F(op);
}

/* --- classmethod and staticmethod ---------------------------------------------- */

/* Both wrappers are one callable (NULL until the constructor ran, which a
 * subclass's __new__ may skip). */
typedef struct {
    ZvObject_HEAD
    ZvObject *callable;
} WrapperObject;

ZvObject *&callable_of(ZvObject *op) { return ((WrapperObject *)op)->callable; }

/* Chains of wrappers (a static method of a static method ...) are freed
 * through the depth guard like containers. */
void wrapper_dealloc(ZvObject *op)
{
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    Zv_XDECREF(callable_of(op));
    Zv_TYPE(op)->tp_free(op);
    ZvTrash_END(op)
}

int wrapper_traverse(ZvObject *op, visitproc visit, void *arg)
{
    Zv_VISIT(callable_of(op));
    return 0;
}

int wrapper_clear(ZvObject *op)
{
    Zv_CLEAR(callable_of(op));
    return 0;
}

int wrapper_init(ZvObject *op, ZvObject *args, ZvObject *kw, const char *name, bool must_call)
{
    ZvObject *callable;
    if (!_ZvArg_NoKeywords(name, kw)) return -1;
    if (!ZvArg_UnpackTuple(args, name, 1, 1, &callable)) return -1;
    if (must_call && !ZvCallable_Check(callable)) {
        ZvErr_Format(ZvExc_TypeError, "'%s' object is not callable", Zv_TYPE(callable)->tp_name);
        return -1;
    }
    replace(&callable_of(op), callable);
    return 0;
}

int cm_init(ZvObject *op, ZvObject *args, ZvObject *kw)
{
    return wrapper_init(op, args, kw, "classmethod", true);
}

int sm_init(ZvObject *op, ZvObject *args, ZvObject *kw)
{
    return wrapper_init(op, args, kw, "staticmethod", false);
}

/* A method bound to the owner class: the class it was fetched through,
 * or the instance's type. */
ZvObject *cm_descr_get(ZvObject *op, ZvObject *obj, ZvObject *type)
{
    ZvObject *callable = callable_of(op);
    if (callable == nullptr) {
        ZvErr_SetString(ZvExc_RuntimeError, "uninitialized classmethod object");
        return nullptr;
    }
    if (type == nullptr) type = (ZvObject *)Zv_TYPE(obj);
    return ZvMethod_New(callable, type, (ZvObject *)Zv_TYPE(type));
}

ZvObject *sm_descr_get(ZvObject *op, ZvObject *, ZvObject *)
{
    ZvObject *callable = callable_of(op);
    if (callable == nullptr) {
        ZvErr_SetString(ZvExc_RuntimeError, "uninitialized staticmethod object");
        return nullptr;
    }
    Zv_INCREF(callable);
    return callable;
}

const char cm_doc[] =
    "classmethod(function) -> method\n\n"
    "Convert a function to be a class method.\n\n"
    "A class method receives the class as implicit first argument,\n"
    "just like an instance method receives the instance.\n"
    "It can be called either on the class (e.g. C.f()) or on an instance\n"
    "(e.g. C().f()); the instance is ignored except for its class.\n"
    "If a class method is called for a derived class, the derived class\n"
    "object is passed as the implied first argument.";

const char sm_doc[] =
    "staticmethod(function) -> method\n\n"
    "Convert a function to be a static method.\n\n"
    "A static method does not receive an implicit first argument.\n"
    "It can be called either on the class (e.g. C.f()) or on an instance\n"
    "(e.g. C().f()); the instance is ignored except for its class.";

ZvObject *new_wrapper(ZvTypeObject *type, ZvObject *callable)
{
    if (callable == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *op = ZvType_GenericAlloc(type, 0);
    if (op != nullptr) replace(&callable_of(op), callable);
    return op;
}

} // namespace

extern "C" {

ZvObject *ZvFunction_New(ZvObject *code, ZvObject *globals)
{
    if (code == nullptr || !ZvCode_Check(code) || globals == nullptr || !ZvDict_Check(globals)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    static ZvObject *name_key = nullptr;
    if (name_key == nullptr && (name_key = ZvString_InternFromString("__name__")) == nullptr)
        return nullptr;
    auto *co = (ZvCodeObject *)code;
    auto *op = ZvObject_GC_New(ZvFunctionObject, &ZvFunction_Type);
    if (op == nullptr) return nullptr;
    op->func_weakreflist = nullptr;
    Zv_INCREF(code);
    op->func_code = code;
    Zv_INCREF(globals);
    op->func_globals = globals;
    Zv_INCREF(co->co_name);
    op->func_name = co->co_name;
    op->func_defaults = nullptr;
    op->func_closure = nullptr;
    op->func_dict = nullptr;
    /* The docstring is the first constant when that is a string. */
    ZvObject *doc = Zv_None;
    if (ZvTuple_Check(co->co_consts) && ZvTuple_GET_SIZE(co->co_consts) > 0) {
        ZvObject *first = ZvTuple_GET_ITEM(co->co_consts, 0);
        if (ZvString_Check(first)) doc = first;
    }
    Zv_INCREF(doc);
    op->func_doc = doc;
    ZvObject *module = ZvDict_GetItem(globals, name_key);
    Zv_XINCREF(module);
    op->func_module = module;
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

ZvObject *ZvFunction_GetCode(ZvObject *op)
{
    ZvFunctionObject *f = checked(op);
    return f != nullptr ? f->func_code : nullptr;
}

ZvObject *ZvFunction_GetGlobals(ZvObject *op)
{
    ZvFunctionObject *f = checked(op);
    return f != nullptr ? f->func_globals : nullptr;
}

ZvObject *ZvFunction_GetModule(ZvObject *op)
{
    ZvFunctionObject *f = checked(op);
    return f != nullptr ? f->func_module : nullptr;
}

ZvObject *ZvFunction_GetDefaults(ZvObject *op)
{
    ZvFunctionObject *f = checked(op);
    return f != nullptr ? f->func_defaults : nullptr;
}

ZvObject *ZvFunction_GetClosure(ZvObject *op)
{
    ZvFunctionObject *f = checked(op);
    return f != nullptr ? f->func_closure : nullptr;
}

int ZvFunction_SetDefaults(ZvObject *op, ZvObject *defaults)
{
    ZvFunctionObject *f = checked(op);
    if (f == nullptr) return -1;
    if (defaults == Zv_None) defaults = nullptr;
    if (defaults != nullptr && !ZvTuple_Check(defaults)) {
        ZvErr_SetString(ZvExc_SystemError, "non-tuple default args");
        return -1;
    }
    replace(&f->func_defaults, defaults);
    return 0;
}

/* The closure must fit the code (one cell per free variable): the
 * evaluation loop copies that many cells out of it. */
int ZvFunction_SetClosure(ZvObject *op, ZvObject *closure)
{
    ZvFunctionObject *f = checked(op);
    if (f == nullptr) return -1;
    if (closure == Zv_None) closure = nullptr;
    if (closure != nullptr && !ZvTuple_Check(closure)) {
        ZvErr_SetString(ZvExc_SystemError, "non-tuple closure");
        return -1;
    }
    int n = closure != nullptr ? ZvTuple_GET_SIZE(closure) : 0;
    if (n != ZvCode_GetNumFree(f->func_code)) {
        ZvErr_Format(ZvExc_ValueError, "%s() requires a closure of length %d, not %d",
                     ZvString_AsString(f->func_name), ZvCode_GetNumFree(f->func_code), n);
        return -1;
    }
    replace(&f->func_closure, closure);
    return 0;
}

ZvObject *ZvClassMethod_New(ZvObject *callable)
{
    return new_wrapper(&ZvClassMethod_Type, callable);
}

ZvObject *ZvStaticMethod_New(ZvObject *callable)
{
    return new_wrapper(&ZvStaticMethod_Type, callable);
}

ZvTypeObject ZvFunction_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "function",                                 /* tp_name */
    sizeof(ZvFunctionObject),                   /* tp_basicsize */
    0,                                          /* tp_itemsize */
    func_dealloc,                               /* tp_dealloc */
    nullptr,                                    /* tp_print */
    nullptr,                                    /* tp_getattr */
    nullptr,                                    /* tp_setattr */
    nullptr,                                    /* tp_compare */
    func_repr,                                  /* tp_repr */
    nullptr,                                    /* tp_as_number */
    nullptr,                                    /* tp_as_sequence */
    nullptr,                                    /* tp_as_mapping */
    nullptr,                                    /* tp_hash */
    func_call,                                  /* tp_call */
    nullptr,                                    /* tp_str */
    ZvObject_GenericGetAttr,                    /* tp_getattro */
    ZvObject_GenericSetAttr,                    /* tp_setattro */
    nullptr,                                    /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,    /* tp_flags */
    func_doc,                                   /* tp_doc */
    func_traverse,                              /* tp_traverse */
    func_clear,                                 /* tp_clear */
    nullptr,                                    /* tp_richcompare */
    offsetof(ZvFunctionObject, func_weakreflist), /* tp_weaklistoffset */
    nullptr,                                    /* tp_iter */
    nullptr,                                    /* tp_iternext */
    nullptr,                                    /* tp_methods */
    nullptr,                                    /* tp_members */
    func_getsets,                               /* tp_getset */
    nullptr,                                    /* tp_base */
    nullptr,                                    /* tp_dict */
    func_descr_get,                             /* tp_descr_get */
    nullptr,                                    /* tp_descr_set */
    offsetof(ZvFunctionObject, func_dict),      /* tp_dictoffset */
    nullptr,                                    /* tp_init */
    nullptr,                                    /* tp_alloc */
    func_new,                                   /* tp_new */
};

#define ZV_WRAPPER_TYPE(var, name, doc, descr_get, init)                         \
    ZvTypeObject var = {                                                          \
        ZvObject_HEAD_INIT(&ZvType_Type) 0,                                       \
        name,                                                                     \
        sizeof(WrapperObject),                                                    \
        0,                                                                        \
        wrapper_dealloc,                                                          \
        nullptr, nullptr, nullptr, nullptr, nullptr,                              \
        nullptr, nullptr, nullptr,                                                \
        nullptr, nullptr, nullptr,                                                \
        ZvObject_GenericGetAttr,                                                  \
        nullptr,                                                                  \
        nullptr,                                                                  \
        Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE | Zv_TPFLAGS_HAVE_GC,            \
        doc,                                                                      \
        wrapper_traverse,                                                         \
        wrapper_clear,                                                            \
        nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, \
        descr_get,                                                                \
        nullptr,                                                                  \
        0,                                                                        \
        init,                                                                     \
        ZvType_GenericAlloc,                                                      \
        ZvType_GenericNew,                                                        \
        ZvObject_GC_Del,                                                          \
    }

ZV_WRAPPER_TYPE(ZvClassMethod_Type, "classmethod", cm_doc, cm_descr_get, cm_init);
ZV_WRAPPER_TYPE(ZvStaticMethod_Type, "staticmethod", sm_doc, sm_descr_get, sm_init);

} // extern "C"
