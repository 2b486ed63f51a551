/* Descriptor objects, the method-wrapper, the dictionary proxy and
 * `property`.
 *
 * Readying a type stores one descriptor per method, member, computed
 * attribute and filled slot in the type's dictionary; generic attribute
 * lookup finds it along the MRO and calls its get/set slot.  Descriptors
 * own their defining type (d_type) and their name, and are collected
 * objects because the type's dictionary refers back to them.  A descriptor
 * only applies to instances of d_type (or subtypes): the checks here are
 * what stops list.append from running on a dict. */
#include "typeobject_internal.h"
#include "abstract.h"

#include <string.h>

#include "zvref.h"

extern "C" {

/* --- the common part ---------------------------------------------------- */

static const char *descr_name(ZvDescrObject *d)
{
    return (d->d_name != nullptr && ZvString_Check(d->d_name)) ? ZvString_AS_STRING(d->d_name)
                                                               : "?";
}

static void descr_dealloc(ZvObject *op)
{
    auto *d = (ZvDescrObject *)op;
    ZvObject_GC_UnTrack(d);
    Zv_XDECREF(d->d_type);
    Zv_XDECREF(d->d_name);
    ZvObject_GC_Del(d);
}

static int descr_traverse(ZvObject *op, visitproc visit, void *arg)
{
    Zv_VISIT(((ZvDescrObject *)op)->d_type);
    return 0;
}

static ZvObject *descr_repr(ZvDescrObject *d, const char *format)
{
    return ZvString_FromFormat(format, descr_name(d), d->d_type->tp_name);
}

static ZvObject *method_repr(ZvObject *d) { return descr_repr((ZvDescrObject *)d, "<method '%s' of '%s' objects>"); }
static ZvObject *member_repr(ZvObject *d) { return descr_repr((ZvDescrObject *)d, "<member '%s' of '%s' objects>"); }
static ZvObject *getset_repr(ZvObject *d) { return descr_repr((ZvDescrObject *)d, "<attribute '%s' of '%s' objects>"); }
static ZvObject *wrapperdescr_repr(ZvObject *d) { return descr_repr((ZvDescrObject *)d, "<slot wrapper '%s' of '%s' objects>"); }

/* The get check: access through the class gives the descriptor itself
 * (returns 1 with *pres set); an object of the wrong type is an error
 * (returns 1 with *pres NULL); 0 means go on. */
static int descr_check(ZvDescrObject *descr, ZvObject *obj, ZvObject **pres)
{
    if (obj == nullptr) {
        Zv_INCREF(descr);
        *pres = (ZvObject *)descr;
        return 1;
    }
    if (!ZvObject_TypeCheck(obj, descr->d_type)) {
        ZvErr_Format(ZvExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to '%s' object",
                     descr_name(descr), descr->d_type->tp_name, Zv_TYPE(obj)->tp_name);
        *pres = nullptr;
        return 1;
    }
    return 0;
}

static ZvObject *method_get(ZvObject *self, ZvObject *obj, ZvObject *)
{
    auto *descr = (ZvMethodDescrObject *)self;
    ZvObject *res;
    if (descr_check((ZvDescrObject *)descr, obj, &res)) return res;
    return ZvCFunction_New(descr->d_method, obj);
}

static ZvObject *classmethod_get(ZvObject *self, ZvObject *obj, ZvObject *type)
{
    auto *descr = (ZvMethodDescrObject *)self;
    const char *name = descr_name((ZvDescrObject *)descr);
    if (type == nullptr) {
        if (obj == nullptr) {
            ZvErr_Format(ZvExc_TypeError, "descriptor '%s' for type '%s' needs either an object or a type",
                         name, descr->d_type->tp_name);
            return nullptr;
        }
        type = (ZvObject *)Zv_TYPE(obj);
    }
    if (!ZvType_Check(type)) {
        ZvErr_Format(ZvExc_TypeError, "descriptor '%s' for type '%s' needs a type, not a '%s' as arg 2",
                     name, descr->d_type->tp_name, Zv_TYPE(type)->tp_name);
        return nullptr;
    }
    if (!ZvType_IsSubtype((ZvTypeObject *)type, descr->d_type)) {
        ZvErr_Format(ZvExc_TypeError, "descriptor '%s' for type '%s' doesn't apply to type '%s'", name,
                     descr->d_type->tp_name, ((ZvTypeObject *)type)->tp_name);
        return nullptr;
    }
    return ZvCFunction_New(descr->d_method, type);
}

static ZvObject *member_get(ZvObject *self, ZvObject *obj, ZvObject *)
{
    auto *descr = (ZvMemberDescrObject *)self;
    ZvObject *res;
    if (descr_check((ZvDescrObject *)descr, obj, &res)) return res;
    return ZvMember_GetOne((const char *)obj, descr->d_member);
}

static ZvObject *getset_get(ZvObject *self, ZvObject *obj, ZvObject *)
{
    auto *descr = (ZvGetSetDescrObject *)self;
    ZvObject *res;
    if (descr_check((ZvDescrObject *)descr, obj, &res)) return res;
    if (descr->d_getset->get != nullptr) return descr->d_getset->get(obj, descr->d_getset->closure);
    ZvErr_Format(ZvExc_AttributeError, "attribute '%.300s' of '%.100s' objects is not readable",
                 descr_name((ZvDescrObject *)descr), descr->d_type->tp_name);
    return nullptr;
}

static ZvObject *wrapperdescr_get(ZvObject *self, ZvObject *obj, ZvObject *)
{
    ZvObject *res;
    if (descr_check((ZvDescrObject *)self, obj, &res)) return res;
    return ZvWrapper_New(self, obj);
}

/* The set check: 0 when obj is an instance of the defining type. */
static int descr_setcheck(ZvDescrObject *descr, ZvObject *obj)
{
    if (ZvObject_TypeCheck(obj, descr->d_type)) return 0;
    ZvErr_Format(ZvExc_TypeError,
                 "descriptor '%.200s' for '%.100s' objects doesn't apply to '%.100s' object",
                 descr_name(descr), descr->d_type->tp_name, Zv_TYPE(obj)->tp_name);
    return -1;
}

static int member_set(ZvObject *self, ZvObject *obj, ZvObject *value)
{
    auto *descr = (ZvMemberDescrObject *)self;
    if (descr_setcheck((ZvDescrObject *)descr, obj) < 0) return -1;
    return ZvMember_SetOne((char *)obj, descr->d_member, value);
}

static int getset_set(ZvObject *self, ZvObject *obj, ZvObject *value)
{
    auto *descr = (ZvGetSetDescrObject *)self;
    if (descr_setcheck((ZvDescrObject *)descr, obj) < 0) return -1;
    if (descr->d_getset->set != nullptr)
        return descr->d_getset->set(obj, value, descr->d_getset->closure);
    ZvErr_Format(ZvExc_AttributeError, "attribute '%.300s' of '%.100s' objects is not writable",
                 descr_name((ZvDescrObject *)descr), descr->d_type->tp_name);
    return -1;
}

/* The first positional argument of a direct call (type.method(obj, ...))
 * must be an instance of the defining type; returns it borrowed.  The
 * test is on the real type: the native code behind the descriptor reads
 * the instance's layout, which an object claiming the type through its
 * __class__ attribute does not have. */
static ZvObject *descr_call_self(ZvDescrObject *descr, ZvObject *args)
{
    if (args == nullptr || !ZvTuple_Check(args)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (ZvTuple_GET_SIZE(args) < 1) {
        ZvErr_Format(ZvExc_TypeError, "descriptor '%.300s' of '%.100s' object needs an argument",
                     descr_name(descr), descr->d_type->tp_name);
        return nullptr;
    }
    ZvObject *self = ZvTuple_GET_ITEM(args, 0);
    if (!ZvObject_TypeCheck(self, descr->d_type)) {
        ZvErr_Format(ZvExc_TypeError, "descriptor '%.200s' requires a '%.100s' object but received a '%.100s'",
                     descr_name(descr), descr->d_type->tp_name, Zv_TYPE(self)->tp_name);
        return nullptr;
    }
    return self;
}

static ZvObject *methoddescr_call(ZvObject *op, ZvObject *args, ZvObject *kwds)
{
    auto *descr = (ZvMethodDescrObject *)op;
    ZvObject *self = descr_call_self((ZvDescrObject *)descr, args);
    if (self == nullptr) return nullptr;
    ZvObject *func = ZvCFunction_New(descr->d_method, self);
    if (func == nullptr) return nullptr;
    ZvObject *rest = ZvTuple_GetSlice(args, 1, ZvTuple_GET_SIZE(args));
    ZvObject *result = rest ? ZvCFunction_Call(func, rest, kwds) : nullptr;
    Zv_XDECREF(rest);
    Zv_DECREF(func);
    return result;
}

static ZvObject *classmethoddescr_call(ZvObject *op, ZvObject *args, ZvObject *kwds)
{
    auto *descr = (ZvMethodDescrObject *)op;
    ZvObject *func = ZvCFunction_New(descr->d_method, (ZvObject *)descr->d_type);
    if (func == nullptr) return nullptr;
    ZvObject *result = ZvCFunction_Call(func, args, kwds);
    Zv_DECREF(func);
    return result;
}

static ZvObject *wrapper_call(ZvObject *op, ZvObject *args, ZvObject *kwds);

static ZvObject *wrapperdescr_call(ZvObject *op, ZvObject *args, ZvObject *kwds)
{
    ZvObject *self = descr_call_self((ZvDescrObject *)op, args);
    if (self == nullptr) return nullptr;
    ZvObject *func = ZvWrapper_New(op, self);
    if (func == nullptr) return nullptr;
    ZvObject *rest = ZvTuple_GetSlice(args, 1, ZvTuple_GET_SIZE(args));
    ZvObject *result = rest ? wrapper_call(func, rest, kwds) : nullptr;
    Zv_XDECREF(rest);
    Zv_DECREF(func);
    return result;
}

static ZvObject *doc_or_none(const char *doc)
{
    if (doc == nullptr) Zv_RETURN_NONE;
    return ZvString_FromString(doc);
}

static ZvObject *method_get_doc(ZvObject *d, void *) { return doc_or_none(((ZvMethodDescrObject *)d)->d_method->ml_doc); }
static ZvObject *member_get_doc(ZvObject *d, void *) { return doc_or_none(((ZvMemberDescrObject *)d)->d_member->doc); }
static ZvObject *getset_get_doc(ZvObject *d, void *) { return doc_or_none(((ZvGetSetDescrObject *)d)->d_getset->doc); }
static ZvObject *wrapperdescr_get_doc(ZvObject *d, void *) { return doc_or_none(((ZvWrapperDescrObject *)d)->d_base->doc); }

static ZvMemberDef descr_members[] = {
    {"__objclass__", T_OBJECT, offsetof(ZvDescrObject, d_type), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(ZvDescrObject, d_name), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static ZvGetSetDef method_getset[] = {{"__doc__", method_get_doc, nullptr, nullptr, nullptr}, {}};
static ZvGetSetDef member_getset[] = {{"__doc__", member_get_doc, nullptr, nullptr, nullptr}, {}};
static ZvGetSetDef getset_getset[] = {{"__doc__", getset_get_doc, nullptr, nullptr, nullptr}, {}};
static ZvGetSetDef wrapperdescr_getset[] = {{"__doc__", wrapperdescr_get_doc, nullptr, nullptr, nullptr}, {}};

/* All five descriptor types share everything but their name, size, repr,
 * call, get/set slots and doc accessor. */
#define DESCR_TYPE(NAME, RECORD, REPR, CALL, GETSET, GET, SET)                \
    {                                                                         \
        ZvObject_HEAD_INIT(&ZvType_Type) 0, NAME, sizeof(RECORD), 0,          \
        descr_dealloc, nullptr, nullptr, nullptr, nullptr, REPR,              \
        nullptr, nullptr, nullptr, nullptr, CALL, nullptr,                    \
        ZvObject_GenericGetAttr, nullptr, nullptr,                            \
        Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC, nullptr,                     \
        descr_traverse, nullptr, nullptr, 0, nullptr, nullptr,                \
        nullptr, descr_members, GETSET, nullptr, nullptr, GET, SET,           \
    }

ZvTypeObject ZvMethodDescr_Type = DESCR_TYPE("method_descriptor", ZvMethodDescrObject, method_repr,
                                             methoddescr_call, method_getset, method_get, nullptr);
ZvTypeObject ZvClassMethodDescr_Type =
    DESCR_TYPE("classmethod_descriptor", ZvMethodDescrObject, method_repr, classmethoddescr_call,
               method_getset, classmethod_get, nullptr);
ZvTypeObject ZvMemberDescr_Type = DESCR_TYPE("member_descriptor", ZvMemberDescrObject, member_repr,
                                             nullptr, member_getset, member_get, member_set);
ZvTypeObject ZvGetSetDescr_Type = DESCR_TYPE("getset_descriptor", ZvGetSetDescrObject, getset_repr,
                                             nullptr, getset_getset, getset_get, getset_set);
ZvTypeObject ZvWrapperDescr_Type =
    DESCR_TYPE("wrapper_descriptor", ZvWrapperDescrObject, wrapperdescr_repr, wrapperdescr_call,
               wrapperdescr_getset, wrapperdescr_get, nullptr);

#undef DESCR_TYPE

static ZvDescrObject *descr_new(ZvTypeObject *descrtype, ZvTypeObject *type, const char *name)
{
    if (type == nullptr || name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *descr = (ZvDescrObject *)_ZvObject_GC_New(descrtype);
    if (descr == nullptr) return nullptr;
    Zv_INCREF(type);
    descr->d_type = type;
    descr->d_name = ZvString_InternFromString(name);
    if (descr->d_name == nullptr) {
        Zv_DECREF(descr);
        return nullptr;
    }
    ZvObject_GC_Track(descr);
    return descr;
}

ZvObject *ZvDescr_NewMethod(ZvTypeObject *type, ZvMethodDef *method)
{
    if (method == nullptr) return ZvErr_BadInternalCall(), nullptr;
    auto *d = (ZvMethodDescrObject *)descr_new(&ZvMethodDescr_Type, type, method->ml_name);
    if (d != nullptr) d->d_method = method;
    return (ZvObject *)d;
}

ZvObject *ZvDescr_NewClassMethod(ZvTypeObject *type, ZvMethodDef *method)
{
    if (method == nullptr) return ZvErr_BadInternalCall(), nullptr;
    auto *d = (ZvMethodDescrObject *)descr_new(&ZvClassMethodDescr_Type, type, method->ml_name);
    if (d != nullptr) d->d_method = method;
    return (ZvObject *)d;
}

ZvObject *ZvDescr_NewMember(ZvTypeObject *type, ZvMemberDef *member)
{
    if (member == nullptr) return ZvErr_BadInternalCall(), nullptr;
    auto *d = (ZvMemberDescrObject *)descr_new(&ZvMemberDescr_Type, type, member->name);
    if (d != nullptr) d->d_member = member;
    return (ZvObject *)d;
}

ZvObject *ZvDescr_NewGetSet(ZvTypeObject *type, ZvGetSetDef *getset)
{
    if (getset == nullptr) return ZvErr_BadInternalCall(), nullptr;
    auto *d = (ZvGetSetDescrObject *)descr_new(&ZvGetSetDescr_Type, type, getset->name);
    if (d != nullptr) d->d_getset = getset;
    return (ZvObject *)d;
}

ZvObject *ZvDescr_NewWrapper(ZvTypeObject *type, struct wrapperbase *base, void *wrapped)
{
    if (base == nullptr) return ZvErr_BadInternalCall(), nullptr;
    auto *d = (ZvWrapperDescrObject *)descr_new(&ZvWrapperDescr_Type, type, base->name);
    if (d != nullptr) {
        d->d_base = base;
        d->d_wrapped = wrapped;
    }
    return (ZvObject *)d;
}

/* --- method-wrapper: a wrapper descriptor bound to an object -------------- */

typedef struct {
    ZvObject_HEAD
    ZvWrapperDescrObject *descr; /* owned */
    ZvObject *self;              /* owned */
} wrapperobject;

ZvObject *ZvWrapper_New(ZvObject *d, ZvObject *self)
{
    if (d == nullptr || Zv_TYPE(d) != &ZvWrapperDescr_Type || self == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *descr = (ZvWrapperDescrObject *)d;
    if (!ZvObject_TypeCheck(self, descr->d_type)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    wrapperobject *wp = ZvObject_GC_New(wrapperobject, &ZvMethodWrapper_Type);
    if (wp == nullptr) return nullptr;
    Zv_INCREF(descr);
    wp->descr = descr;
    Zv_INCREF(self);
    wp->self = self;
    ZvObject_GC_Track(wp);
    return (ZvObject *)wp;
}

static void wrapper_dealloc(ZvObject *op)
{
    auto *wp = (wrapperobject *)op;
    ZvObject_GC_UnTrack(wp);
    ZvTrash_BEGIN(wp)
    Zv_XDECREF(wp->descr);
    Zv_XDECREF(wp->self);
    ZvObject_GC_Del(wp);
    ZvTrash_END(wp)
}

static int wrapper_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *wp = (wrapperobject *)op;
    Zv_VISIT(wp->descr);
    Zv_VISIT(wp->self);
    return 0;
}

static ZvObject *wrapper_call(ZvObject *op, ZvObject *args, ZvObject *kwds)
{
    auto *wp = (wrapperobject *)op;
    struct wrapperbase *base = wp->descr->d_base;
    if (base->flags & ZvWrapperFlag_KEYWORDS) {
        auto wk = (wrapperfunc_kwds)(void (*)(void))base->wrapper;
        return wk(wp->self, args, wp->descr->d_wrapped, kwds);
    }
    if (kwds != nullptr && (!ZvDict_Check(kwds) || ZvDict_Size(kwds) != 0)) {
        ZvErr_Format(ZvExc_TypeError, "wrapper %s doesn't take keyword arguments", base->name);
        return nullptr;
    }
    return base->wrapper(wp->self, args, wp->descr->d_wrapped);
}

static ZvObject *wrapper_repr(ZvObject *op)
{
    auto *wp = (wrapperobject *)op;
    return ZvString_FromFormat("<method-wrapper '%s' of %s object at %p>", wp->descr->d_base->name,
                               Zv_TYPE(wp->self)->tp_name, (void *)wp->self);
}

static ZvObject *wrapper_name(ZvObject *op, void *)
{
    return ZvString_FromString(((wrapperobject *)op)->descr->d_base->name);
}

static ZvObject *wrapper_doc(ZvObject *op, void *)
{
    return doc_or_none(((wrapperobject *)op)->descr->d_base->doc);
}

static ZvGetSetDef wrapper_getsets[] = {
    {"__name__", wrapper_name, nullptr, nullptr, nullptr},
    {"__doc__", wrapper_doc, nullptr, nullptr, nullptr},
    {},
};

ZvTypeObject ZvMethodWrapper_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "method-wrapper", sizeof(wrapperobject), 0,
    wrapper_dealloc, nullptr, nullptr, nullptr, nullptr, wrapper_repr,
    nullptr, nullptr, nullptr, nullptr,
    wrapper_call,            /* tp_call */
    nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC, nullptr,
    wrapper_traverse, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr, nullptr, wrapper_getsets,
};

/* --- the dictionary proxy --------------------------------------------- */

typedef struct {
    ZvObject_HEAD
    ZvObject *dict; /* owned */
} proxyobject;

#define PROXY_DICT(op) (((proxyobject *)(op))->dict)

static int proxy_len(ZvObject *pp) { return ZvObject_Size(PROXY_DICT(pp)); }
static ZvObject *proxy_getitem(ZvObject *pp, ZvObject *key) { return ZvObject_GetItem(PROXY_DICT(pp), key); }
static int proxy_contains(ZvObject *pp, ZvObject *key) { return ZvSequence_Contains(PROXY_DICT(pp), key); }
static ZvObject *proxy_iter(ZvObject *pp) { return ZvObject_GetIter(PROXY_DICT(pp)); }
static ZvObject *proxy_str(ZvObject *pp) { return ZvObject_Str(PROXY_DICT(pp)); }
static int proxy_compare(ZvObject *v, ZvObject *w) { return ZvObject_Compare(PROXY_DICT(v), w); }
static ZvObject *proxy_richcompare(ZvObject *v, ZvObject *w, int op) { return ZvObject_RichCompare(PROXY_DICT(v), w, op); }

static ZvMappingMethods proxy_as_mapping = {proxy_len, proxy_getitem, nullptr};

static ZvSequenceMethods proxy_as_sequence = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, proxy_contains,
};

/* Calls the mapping's method of the same name with the given arguments. */
static ZvObject *proxy_forward(ZvObject *pp, const char *name, ZvObject *args)
{
    ZvObject *meth = ZvObject_GetAttrString(PROXY_DICT(pp), name);
    if (meth == nullptr) return nullptr;
    ZvObject *res;
    if (args != nullptr) {
        res = ZvObject_Call(meth, args, nullptr);
    } else {
        ZvObject *empty = ZvTuple_New(0);
        res = empty ? ZvObject_Call(meth, empty, nullptr) : nullptr;
        Zv_XDECREF(empty);
    }
    Zv_DECREF(meth);
    return res;
}

static ZvObject *proxy_has_key(ZvObject *pp, ZvObject *key)
{
    ZvObject *args = ZvTuple_Pack(1, key);
    if (args == nullptr) return nullptr;
    ZvObject *res = proxy_forward(pp, "has_key", args);
    Zv_DECREF(args);
    return res;
}

static ZvObject *proxy_get(ZvObject *pp, ZvObject *args) { return proxy_forward(pp, "get", args); }
static ZvObject *proxy_keys(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "keys", nullptr); }
static ZvObject *proxy_values(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "values", nullptr); }
static ZvObject *proxy_items(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "items", nullptr); }
static ZvObject *proxy_iterkeys(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "iterkeys", nullptr); }
static ZvObject *proxy_itervalues(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "itervalues", nullptr); }
static ZvObject *proxy_iteritems(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "iteritems", nullptr); }
static ZvObject *proxy_copy(ZvObject *pp, ZvObject *) { return proxy_forward(pp, "copy", nullptr); }

static ZvMethodDef proxy_methods[] = {
    {"has_key", proxy_has_key, METH_O, "D.has_key(k) -> True if D has a key k, else False"},
    {"get", proxy_get, METH_VARARGS,
     "D.get(k[,d]) -> D[k] if D.has_key(k), else d.  d defaults to None."},
    {"keys", proxy_keys, METH_NOARGS, "D.keys() -> list of D's keys"},
    {"values", proxy_values, METH_NOARGS, "D.values() -> list of D's values"},
    {"items", proxy_items, METH_NOARGS, "D.items() -> list of D's (key, value) pairs, as 2-tuples"},
    {"iterkeys", proxy_iterkeys, METH_NOARGS, "D.iterkeys() -> an iterator over the keys of D"},
    {"itervalues", proxy_itervalues, METH_NOARGS, "D.itervalues() -> an iterator over the values of D"},
    {"iteritems", proxy_iteritems, METH_NOARGS,
     "D.iteritems() -> an iterator over the (key, value) items of D"},
    {"copy", proxy_copy, METH_NOARGS, "D.copy() -> a shallow copy of D"},
    {nullptr, nullptr, 0, nullptr},
};

static void proxy_dealloc(ZvObject *op)
{
    ZvObject_GC_UnTrack(op);
    Zv_XDECREF(PROXY_DICT(op));
    ZvObject_GC_Del(op);
}

static int proxy_traverse(ZvObject *op, visitproc visit, void *arg)
{
    Zv_VISIT(PROXY_DICT(op));
    return 0;
}

ZvTypeObject ZvDictProxy_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "dictproxy", sizeof(proxyobject), 0,
    proxy_dealloc, nullptr, nullptr, nullptr,
    proxy_compare,           /* tp_compare */
    nullptr,                 /* tp_repr */
    nullptr,                 /* tp_as_number */
    &proxy_as_sequence,      /* tp_as_sequence */
    &proxy_as_mapping,       /* tp_as_mapping */
    nullptr, nullptr,
    proxy_str,               /* tp_str */
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC, nullptr,
    proxy_traverse, nullptr,
    proxy_richcompare,       /* tp_richcompare */
    0,
    proxy_iter,              /* tp_iter */
    nullptr,
    proxy_methods,
};

ZvObject *ZvDictProxy_New(ZvObject *dict)
{
    if (dict == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    proxyobject *pp = ZvObject_GC_New(proxyobject, &ZvDictProxy_Type);
    if (pp == nullptr) return nullptr;
    Zv_INCREF(dict);
    pp->dict = dict;
    ZvObject_GC_Track(pp);
    return (ZvObject *)pp;
}

/* --- property ------------------------------------------------------------ */

typedef struct {
    ZvObject_HEAD
    ZvObject *prop_get; /* each owned or NULL */
    ZvObject *prop_set;
    ZvObject *prop_del;
    ZvObject *prop_doc;
} propertyobject;

static ZvMemberDef property_members[] = {
    {"fget", T_OBJECT, offsetof(propertyobject, prop_get), READONLY, nullptr},
    {"fset", T_OBJECT, offsetof(propertyobject, prop_set), READONLY, nullptr},
    {"fdel", T_OBJECT, offsetof(propertyobject, prop_del), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(propertyobject, prop_doc), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static int property_clear(ZvObject *self)
{
    auto *gs = (propertyobject *)self;
    Zv_CLEAR(gs->prop_get);
    Zv_CLEAR(gs->prop_set);
    Zv_CLEAR(gs->prop_del);
    Zv_CLEAR(gs->prop_doc);
    return 0;
}

static void property_dealloc(ZvObject *self)
{
    ZvObject_GC_UnTrack(self);
    ZvTrash_BEGIN(self)
    property_clear(self);
    Zv_TYPE(self)->tp_free(self);
    ZvTrash_END(self)
}

static int property_traverse(ZvObject *self, visitproc visit, void *arg)
{
    auto *gs = (propertyobject *)self;
    Zv_VISIT(gs->prop_get);
    Zv_VISIT(gs->prop_set);
    Zv_VISIT(gs->prop_del);
    Zv_VISIT(gs->prop_doc);
    return 0;
}

/* The property's functions are held for their calls: a function can run
 * code that initialises the property again, which releases them. */
static ZvObject *property_descr_get(ZvObject *self, ZvObject *obj, ZvObject *)
{
    auto *gs = (propertyobject *)self;
    if (obj == nullptr || obj == Zv_None) {
        Zv_INCREF(self);
        return self;
    }
    if (gs->prop_get == nullptr) {
        ZvErr_SetString(ZvExc_AttributeError, "unreadable attribute");
        return nullptr;
    }
    zv::Ref func = zv::Ref::borrow(gs->prop_get);
    return ZvObject_CallFunctionObjArgs(func.get(), obj, nullptr);
}

static int property_descr_set(ZvObject *self, ZvObject *obj, ZvObject *value)
{
    auto *gs = (propertyobject *)self;
    zv::Ref func = zv::Ref::borrow(value == nullptr ? gs->prop_del : gs->prop_set);
    if (!func) {
        ZvErr_SetString(ZvExc_AttributeError,
                        value == nullptr ? "can't delete attribute" : "can't set attribute");
        return -1;
    }
    ZvObject *res = value == nullptr
                        ? ZvObject_CallFunctionObjArgs(func.get(), obj, nullptr)
                        : ZvObject_CallFunctionObjArgs(func.get(), obj, value, nullptr);
    if (res == nullptr) return -1;
    Zv_DECREF(res);
    return 0;
}

static int property_init(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    ZvObject *get = nullptr, *set = nullptr, *del = nullptr, *doc = nullptr;
    static char *kwlist[] = {(char *)"fget", (char *)"fset", (char *)"fdel", (char *)"doc", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|OOOO:property", kwlist, &get, &set, &del, &doc))
        return -1;
    if (get == Zv_None) get = nullptr;
    if (set == Zv_None) set = nullptr;
    if (del == Zv_None) del = nullptr;
    Zv_XINCREF(get);
    Zv_XINCREF(set);
    Zv_XINCREF(del);
    Zv_XINCREF(doc);
    /* Re-initialising replaces the old functions. */
    property_clear(self);
    auto *gs = (propertyobject *)self;
    gs->prop_get = get;
    gs->prop_set = set;
    gs->prop_del = del;
    gs->prop_doc = doc;
    return 0;
}

static const char property_doc[] =
    "property(fget=None, fset=None, fdel=None, doc=None) -> property attribute\n"
    "\n"
    "fget is a function to be used for getting an attribute value, and likewise\n"
    "fset is a function for setting, and fdel a function for del'ing, an\n"
    "attribute.  Typical use is to define a managed attribute x:\n"
    "class C(object):\n"
    "    def getx(self): return self.__x\n"
    "    def setx(self, value): self.__x = value\n"
    "    def delx(self): del self.__x\n"
    "    x = property(getx, setx, delx, \"I'm the 'x' property.\")";

ZvTypeObject ZvProperty_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "property", sizeof(propertyobject), 0,
    property_dealloc, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    property_doc,
    property_traverse,
    property_clear,
    nullptr, 0, nullptr, nullptr,
    nullptr,                 /* tp_methods */
    property_members,        /* tp_members */
    nullptr,                 /* tp_getset */
    nullptr,                 /* tp_base */
    nullptr,                 /* tp_dict */
    property_descr_get,      /* tp_descr_get */
    property_descr_set,      /* tp_descr_set */
    0,                       /* tp_dictoffset */
    property_init,           /* tp_init */
    ZvType_GenericAlloc,     /* tp_alloc */
    ZvType_GenericNew,       /* tp_new */
    ZvObject_GC_Del,         /* tp_free */
};

} // extern "C"
