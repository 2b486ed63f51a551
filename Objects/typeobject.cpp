/* Type objects: `type` and `object`, subtype tests, readying and the
 * lookup of a name along a type's resolution order.
 *
 * Readying here is the first, small version: it links a type to its base,
 * gives it a dictionary and inherits the generic slots.  Class creation at
 * run time, the MRO and slot inheritance in full grow from it. */
#include "zuvo.h"

#include <string.h>

extern "C" {

int ZvType_IsSubtype(ZvTypeObject *a, ZvTypeObject *b)
{
    ZvObject *mro = a->tp_mro;
    if (mro != nullptr && ZvTuple_Check(mro)) {
        int n = ZvTuple_GET_SIZE(mro);
        for (int i = 0; i < n; i++)
            if (ZvTuple_GET_ITEM(mro, i) == (ZvObject *)b) return 1;
        return 0;
    }
    for (; a != nullptr; a = a->tp_base)
        if (a == b) return 1;
    return b == &ZvBaseObject_Type;
}

ZvObject *_ZvType_Lookup(ZvTypeObject *type, ZvObject *name)
{
    ZvObject *mro = type->tp_mro;
    if (mro != nullptr && ZvTuple_Check(mro)) {
        int n = ZvTuple_GET_SIZE(mro);
        for (int i = 0; i < n; i++) {
            ZvObject *dict = ((ZvTypeObject *)ZvTuple_GET_ITEM(mro, i))->tp_dict;
            ZvObject *res = dict ? ZvDict_GetItem(dict, name) : nullptr;
            if (res != nullptr) return res;
        }
        return nullptr;
    }
    for (ZvTypeObject *t = type; t != nullptr; t = t->tp_base) {
        ZvObject *res = t->tp_dict ? ZvDict_GetItem(t->tp_dict, name) : nullptr;
        if (res != nullptr) return res;
    }
    return nullptr;
}

static void inherit_generic_slots(ZvTypeObject *type, ZvTypeObject *base)
{
    if (type->tp_getattro == nullptr && type->tp_getattr == nullptr) {
        type->tp_getattro = base->tp_getattro;
        type->tp_getattr = base->tp_getattr;
    }
    if (type->tp_setattro == nullptr && type->tp_setattr == nullptr) {
        type->tp_setattro = base->tp_setattro;
        type->tp_setattr = base->tp_setattr;
    }
    if (type->tp_alloc == nullptr) type->tp_alloc = base->tp_alloc;
    if (type->tp_free == nullptr) type->tp_free = base->tp_free;
    if (type->tp_dealloc == nullptr) type->tp_dealloc = base->tp_dealloc;
    if (type->tp_compare == nullptr && type->tp_richcompare == nullptr &&
        type->tp_hash == nullptr) {
        type->tp_compare = base->tp_compare;
        type->tp_richcompare = base->tp_richcompare;
        type->tp_hash = base->tp_hash;
    }
    if (type->tp_as_number == nullptr) type->tp_as_number = base->tp_as_number;
    if (type->tp_as_sequence == nullptr) type->tp_as_sequence = base->tp_as_sequence;
    if (type->tp_as_mapping == nullptr) type->tp_as_mapping = base->tp_as_mapping;
}

int ZvType_Ready(ZvTypeObject *type)
{
    if (type->tp_flags & Zv_TPFLAGS_READY) return 0;
    type->tp_flags |= Zv_TPFLAGS_READYING;
    ZvTypeObject *base = type->tp_base;
    if (base == nullptr && type != &ZvBaseObject_Type) base = type->tp_base = &ZvBaseObject_Type;
    if (base != nullptr && base->tp_dict == nullptr && ZvType_Ready(base) < 0) goto error;
    if (type->tp_dict == nullptr) {
        type->tp_dict = ZvDict_New();
        if (type->tp_dict == nullptr) goto error;
    }
    if (base != nullptr) inherit_generic_slots(type, base);
    type->tp_flags = (type->tp_flags & ~Zv_TPFLAGS_READYING) | Zv_TPFLAGS_READY;
    return 0;
error:
    type->tp_flags &= ~Zv_TPFLAGS_READYING;
    return -1;
}

ZvObject *ZvType_GenericAlloc(ZvTypeObject *type, int nitems)
{
    size_t size = _ZvObject_VAR_SIZE(type, nitems + 1);
    ZvObject *obj = (ZvObject *)ZvObject_Malloc(size);
    if (obj == nullptr) return ZvErr_NoMemory();
    memset(obj, 0, size);
    if (type->tp_flags & Zv_TPFLAGS_HEAPTYPE) Zv_INCREF(type);
    if (type->tp_itemsize == 0)
        ZvObject_Init(obj, type);
    else
        ZvObject_InitVar((ZvVarObject *)obj, type, nitems);
    return obj;
}

ZvObject *ZvType_GenericNew(ZvTypeObject *type, ZvObject *, ZvObject *)
{
    return type->tp_alloc(type, 0);
}

static ZvObject *type_repr(ZvObject *self)
{
    return ZvString_FromFormat("<type '%s'>", ((ZvTypeObject *)self)->tp_name);
}

static ZvObject *object_repr(ZvObject *self)
{
    return ZvString_FromFormat("<%s object at %p>", Zv_TYPE(self)->tp_name, (void *)self);
}

static void object_dealloc(ZvObject *self) { Zv_TYPE(self)->tp_free(self); }

ZvTypeObject ZvType_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "type",                                   /* tp_name */
    sizeof(ZvTypeObject),                     /* tp_basicsize */
    0,                                        /* tp_itemsize */
    nullptr,                                  /* tp_dealloc */
    nullptr,                                  /* tp_print */
    nullptr,                                  /* tp_getattr */
    nullptr,                                  /* tp_setattr */
    nullptr,                                  /* tp_compare */
    type_repr,                                /* tp_repr */
    nullptr, nullptr, nullptr,                /* number, sequence, mapping */
    (hashfunc)_Zv_HashPointer,                /* tp_hash */
    nullptr,                                  /* tp_call */
    nullptr,                                  /* tp_str */
    ZvObject_GenericGetAttr,                  /* tp_getattro */
    nullptr,                                  /* tp_setattro */
    nullptr,                                  /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "type(object) -> the object's type\ntype(name, bases, dict) -> a new type",
};

ZvTypeObject ZvBaseObject_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "object",                                 /* tp_name */
    sizeof(ZvObject),                         /* tp_basicsize */
    0,                                        /* tp_itemsize */
    object_dealloc,                           /* tp_dealloc */
    nullptr,                                  /* tp_print */
    nullptr,                                  /* tp_getattr */
    nullptr,                                  /* tp_setattr */
    nullptr,                                  /* tp_compare */
    object_repr,                              /* tp_repr */
    nullptr, nullptr, nullptr,                /* number, sequence, mapping */
    (hashfunc)_Zv_HashPointer,                /* tp_hash */
    nullptr,                                  /* tp_call */
    nullptr,                                  /* tp_str */
    ZvObject_GenericGetAttr,                  /* tp_getattro */
    ZvObject_GenericSetAttr,                  /* tp_setattro */
    nullptr,                                  /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "The most base type",                     /* tp_doc */
    nullptr, nullptr, nullptr, 0, nullptr, nullptr, /* traverse .. iternext */
    nullptr, nullptr, nullptr,                /* methods, members, getset */
    nullptr,                                  /* tp_base */
    nullptr,                                  /* tp_dict */
    nullptr, nullptr, 0,                      /* descr_get, descr_set, dictoffset */
    nullptr,                                  /* tp_init */
    ZvType_GenericAlloc,                      /* tp_alloc */
    ZvType_GenericNew,                        /* tp_new */
    ZvObject_Free,                            /* tp_free */
};

} // extern "C"
