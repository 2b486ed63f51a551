/* Built-in function objects ("builtin_function_or_method").
 *
 * A built-in function pairs a static ZvMethodDef (not owned) with the
 * object it is bound to (m_self, owned, NULL for a plain function) and the
 * name of its module (m_module, owned or NULL).  Calling it applies the
 * entry's calling convention.  Bound methods of built-in types are created
 * on every attribute access, so freed records go on an unbounded free list
 * linked through m_self and are reused by the next creation; the records
 * keep their collector header while parked. */
#include "typeobject_internal.h"

#include <string.h>

#include <algorithm>
#include <vector>

extern "C" {

static ZvCFunctionObject *free_list = nullptr;

ZvObject *ZvCFunction_NewEx(ZvMethodDef *ml, ZvObject *self, ZvObject *module)
{
    if (ml == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvCFunctionObject *op = free_list;
    if (op != nullptr) {
        free_list = (ZvCFunctionObject *)op->m_self;
        _ZvObject_INIT(op, &ZvCFunction_Type);
    } else {
        op = ZvObject_GC_New(ZvCFunctionObject, &ZvCFunction_Type);
        if (op == nullptr) return nullptr;
    }
    op->m_ml = ml;
    Zv_XINCREF(self);
    op->m_self = self;
    Zv_XINCREF(module);
    op->m_module = module;
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

ZvCFunction ZvCFunction_GetFunction(ZvObject *op)
{
    if (op == nullptr || !ZvCFunction_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return ZvCFunction_GET_FUNCTION(op);
}

ZvObject *ZvCFunction_GetSelf(ZvObject *op)
{
    if (op == nullptr || !ZvCFunction_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return ZvCFunction_GET_SELF(op);
}

int ZvCFunction_GetFlags(ZvObject *op)
{
    if (op == nullptr || !ZvCFunction_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return ZvCFunction_GET_FLAGS(op);
}

static bool has_keywords(ZvObject *kw)
{
    return kw != nullptr && (!ZvDict_Check(kw) || ZvDict_Size(kw) != 0);
}

ZvObject *ZvCFunction_Call(ZvObject *func, ZvObject *arg, ZvObject *kw)
{
    if (func == nullptr || !ZvCFunction_Check(func) || arg == nullptr || !ZvTuple_Check(arg)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *f = (ZvCFunctionObject *)func;
    ZvCFunction meth = f->m_ml->ml_meth;
    ZvObject *self = f->m_self;
    const char *name = f->m_ml->ml_name;
    int flags = f->m_ml->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST);

    if (flags == (METH_VARARGS | METH_KEYWORDS) || flags == METH_KEYWORDS)
        return ((ZvCFunctionWithKeywords)(void (*)(void))meth)(self, arg, kw);
    if (has_keywords(kw)) {
        ZvErr_Format(ZvExc_TypeError, "%.200s() takes no keyword arguments", name);
        return nullptr;
    }
    int size = ZvTuple_GET_SIZE(arg);
    switch (flags) {
    case METH_VARARGS:
        return (*meth)(self, arg);
    case METH_NOARGS:
        if (size != 0) {
            ZvErr_Format(ZvExc_TypeError, "%.200s() takes no arguments (%d given)", name, size);
            return nullptr;
        }
        return (*meth)(self, nullptr);
    case METH_O:
        if (size != 1) {
            ZvErr_Format(ZvExc_TypeError, "%.200s() takes exactly one argument (%d given)", name,
                         size);
            return nullptr;
        }
        return (*meth)(self, ZvTuple_GET_ITEM(arg, 0));
    case METH_OLDARGS:
        if (size == 0) return (*meth)(self, nullptr);
        if (size == 1) return (*meth)(self, ZvTuple_GET_ITEM(arg, 0));
        return (*meth)(self, arg);
    default:
        /* The line number is part of the historical message. */
        _ZvErr_BadInternalCall("Objects/methodobject.cpp", 112);
        return nullptr;
    }
}

static void meth_dealloc(ZvObject *op)
{
    auto *m = (ZvCFunctionObject *)op;
    ZvObject_GC_UnTrack(m);
    ZvTrash_BEGIN(m)
    Zv_XDECREF(m->m_self);
    Zv_XDECREF(m->m_module);
    m->m_self = (ZvObject *)free_list;
    free_list = m;
    ZvTrash_END(m)
}

void ZvCFunction_Fini(void)
{
    while (free_list != nullptr) {
        ZvCFunctionObject *v = free_list;
        free_list = (ZvCFunctionObject *)v->m_self;
        ZvObject_GC_Del(v);
    }
}

static int meth_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *m = (ZvCFunctionObject *)op;
    Zv_VISIT(m->m_self);
    Zv_VISIT(m->m_module);
    return 0;
}

static ZvObject *meth_get__doc__(ZvObject *op, void *)
{
    const char *doc = ((ZvCFunctionObject *)op)->m_ml->ml_doc;
    if (doc != nullptr) return ZvString_FromString(doc);
    Zv_RETURN_NONE;
}

static ZvObject *meth_get__name__(ZvObject *op, void *)
{
    return ZvString_FromString(((ZvCFunctionObject *)op)->m_ml->ml_name);
}

static ZvObject *meth_get__self__(ZvObject *op, void *)
{
    if (_zv_in_restricted_mode()) {
        ZvErr_SetString(ZvExc_RuntimeError, "method.__self__ not accessible in restricted mode");
        return nullptr;
    }
    ZvObject *self = ((ZvCFunctionObject *)op)->m_self;
    if (self == nullptr) self = Zv_None;
    Zv_INCREF(self);
    return self;
}

static ZvGetSetDef meth_getsets[] = {
    {"__doc__", meth_get__doc__, nullptr, nullptr, nullptr},
    {"__name__", meth_get__name__, nullptr, nullptr, nullptr},
    {"__self__", meth_get__self__, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static ZvMemberDef meth_members[] = {
    {"__module__", T_OBJECT, offsetof(ZvCFunctionObject, m_module), WRITE_RESTRICTED, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static ZvObject *meth_repr(ZvObject *op)
{
    auto *m = (ZvCFunctionObject *)op;
    if (m->m_self == nullptr) return ZvString_FromFormat("<built-in function %s>", m->m_ml->ml_name);
    return ZvString_FromFormat("<built-in method %s of %s object at %p>", m->m_ml->ml_name,
                               Zv_TYPE(m->m_self)->tp_name, (void *)m->m_self);
}

static int meth_compare(ZvObject *av, ZvObject *bv)
{
    auto *a = (ZvCFunctionObject *)av, *b = (ZvCFunctionObject *)bv;
    if (a->m_self != b->m_self) return ((uintptr_t)a->m_self < (uintptr_t)b->m_self) ? -1 : 1;
    if (a->m_ml->ml_meth == b->m_ml->ml_meth) return 0;
    return strcmp(a->m_ml->ml_name, b->m_ml->ml_name) < 0 ? -1 : 1;
}

static Zv_hash_t meth_hash(ZvObject *op)
{
    auto *m = (ZvCFunctionObject *)op;
    Zv_hash_t x = 0;
    if (m->m_self != nullptr) {
        x = ZvObject_Hash(m->m_self);
        if (x == -1) return -1;
    }
    Zv_hash_t y = _Zv_HashPointer((void *)m->m_ml->ml_meth);
    if (y == -1) return -1;
    x ^= y;
    return x == -1 ? -2 : x;
}

ZvTypeObject ZvCFunction_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "builtin_function_or_method",
    sizeof(ZvCFunctionObject),
    0,
    meth_dealloc,            /* tp_dealloc */
    nullptr,                 /* tp_print */
    nullptr,                 /* tp_getattr */
    nullptr,                 /* tp_setattr */
    meth_compare,            /* tp_compare */
    meth_repr,               /* tp_repr */
    nullptr,                 /* tp_as_number */
    nullptr,                 /* tp_as_sequence */
    nullptr,                 /* tp_as_mapping */
    meth_hash,               /* tp_hash */
    ZvCFunction_Call,        /* tp_call */
    nullptr,                 /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,                 /* tp_setattro */
    nullptr,                 /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,                 /* tp_doc */
    meth_traverse,           /* tp_traverse */
    nullptr,                 /* tp_clear */
    nullptr,                 /* tp_richcompare */
    0,                       /* tp_weaklistoffset */
    nullptr,                 /* tp_iter */
    nullptr,                 /* tp_iternext */
    nullptr,                 /* tp_methods */
    meth_members,            /* tp_members */
    meth_getsets,            /* tp_getset */
    nullptr,                 /* tp_base */
    nullptr,                 /* tp_dict */
};

/* --- old-style lookup through method chains ----------------------------- */

static ZvObject *list_methods(ZvMethodChain *chain)
{
    std::vector<const char *> names;
    for (ZvMethodChain *c = chain; c != nullptr; c = c->link)
        for (ZvMethodDef *ml = c->methods; ml && ml->ml_name != nullptr; ml++)
            names.push_back(ml->ml_name);
    std::sort(names.begin(), names.end(),
              [](const char *a, const char *b) { return strcmp(a, b) < 0; });
    ZvObject *v = ZvList_New((int)names.size());
    if (v == nullptr) return nullptr;
    for (size_t i = 0; i < names.size(); i++) {
        ZvObject *s = ZvString_FromString(names[i]);
        if (s == nullptr) {
            Zv_DECREF(v);
            return nullptr;
        }
        ZvList_SET_ITEM(v, (int)i, s);
    }
    return v;
}

ZvObject *Zv_FindMethodInChain(ZvMethodChain *chain, ZvObject *self, const char *name)
{
    if (name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (name[0] == '_' && name[1] == '_') {
        if (strcmp(name, "__methods__") == 0) return list_methods(chain);
        if (strcmp(name, "__doc__") == 0 && self != nullptr) {
            const char *doc = Zv_TYPE(self)->tp_doc;
            if (doc != nullptr) return ZvString_FromString(doc);
        }
    }
    for (; chain != nullptr; chain = chain->link) {
        /* A link without a table (NULL) contributes no methods. */
        for (ZvMethodDef *ml = chain->methods; ml && ml->ml_name != nullptr; ml++) {
            if (name[0] == ml->ml_name[0] && strcmp(name, ml->ml_name) == 0)
                return ZvCFunction_New(ml, self);
        }
    }
    ZvErr_SetString(ZvExc_AttributeError, name);
    return nullptr;
}

ZvObject *Zv_FindMethod(ZvMethodDef *methods, ZvObject *self, const char *name)
{
    ZvMethodChain chain = {methods, nullptr};
    return Zv_FindMethodInChain(&chain, self, name);
}

} // extern "C"
