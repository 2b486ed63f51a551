/* The standard exception objects.
 *
 * Until classic classes exist, each exception class is a small record that
 * knows its name, its base and (for classes made at run time by
 * ZvErr_NewException) its dictionary, so that matching an error against a
 * base class (KeyError against LookupError) works already.  The standard
 * records are created at start-up in the order of the class table and held
 * in the ZvExc_* globals; each record owns a reference to its base.
 *
 * A record also answers __name__, __module__, __bases__ and __dict__ like
 * a class, so the generic protocols (isinstance, issubclass, dir) reach
 * the same verdicts as exception matching does. */
#include "zuvo.h"
#include "exceptions_internal.h"

extern "C" {

/* The module part of a class's full name: the dictionary's __module__ when
 * it is a string, else the standard classes' module. */
static const char *excclass_module(ZvExcClassObject *c)
{
    ZvObject *mod = c->dict ? ZvDict_GetItemString(c->dict, "__module__") : nullptr;
    return (mod != nullptr && ZvString_Check(mod)) ? ZvString_AS_STRING(mod) : "exceptions";
}

static ZvObject *excclass_repr(ZvObject *self)
{
    auto *c = (ZvExcClassObject *)self;
    return ZvString_FromFormat("<class %s.%s>", excclass_module(c), c->name);
}

/* str() of a class is its full name, as the traceback printer shows it. */
static ZvObject *excclass_str(ZvObject *self)
{
    auto *c = (ZvExcClassObject *)self;
    return ZvString_FromFormat("%s.%s", excclass_module(c), c->name);
}

static void excclass_dealloc(ZvObject *self)
{
    auto *c = (ZvExcClassObject *)self;
    Zv_XDECREF(c->base);
    Zv_XDECREF(c->dict);
    Zv_XDECREF(c->name_obj);
    ZvObject_Free(self);
}

/* The attributes a class offers to generic code (isinstance, issubclass,
 * dir, messages): read-only, computed from the record. */
static ZvObject *excclass_get_name(ZvObject *self, void *)
{
    return ZvString_FromString(((ZvExcClassObject *)self)->name);
}

static ZvObject *excclass_get_module(ZvObject *self, void *)
{
    return ZvString_FromString(excclass_module((ZvExcClassObject *)self));
}

/* The root class has no bases; every other class has exactly one, so the
 * generic subclass test walks the same chain as exception matching. */
static ZvObject *excclass_get_bases(ZvObject *self, void *)
{
    ZvObject *base = ((ZvExcClassObject *)self)->base;
    return base != nullptr ? ZvTuple_Pack(1, base) : ZvTuple_New(0);
}

/* The standard classes are made without a dictionary; one is created the
 * first time it is asked for, so that it can be used like any other. */
static ZvObject *excclass_get_dict(ZvObject *self, void *)
{
    auto *c = (ZvExcClassObject *)self;
    if (c->dict == nullptr && (c->dict = ZvDict_New()) == nullptr) return nullptr;
    Zv_INCREF(c->dict);
    return c->dict;
}

static ZvGetSetDef excclass_getset[] = {
    {"__name__", excclass_get_name, nullptr, nullptr, nullptr},
    {"__module__", excclass_get_module, nullptr, nullptr, nullptr},
    {"__bases__", excclass_get_bases, nullptr, nullptr, nullptr},
    {"__dict__", excclass_get_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ZvTypeObject _ZvExcClass_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "classobj",                   /* tp_name */
    sizeof(ZvExcClassObject),     /* tp_basicsize */
    0,                            /* tp_itemsize */
    excclass_dealloc,             /* tp_dealloc */
    nullptr,                      /* tp_print */
    nullptr,                      /* tp_getattr */
    nullptr,                      /* tp_setattr */
    nullptr,                      /* tp_compare */
    excclass_repr,                /* tp_repr */
    nullptr,                      /* tp_as_number */
    nullptr,                      /* tp_as_sequence */
    nullptr,                      /* tp_as_mapping */
    nullptr,                      /* tp_hash */
    nullptr,                      /* tp_call */
    excclass_str,                 /* tp_str */
    ZvObject_GenericGetAttr,      /* tp_getattro */
    nullptr,                      /* tp_setattro */
    nullptr,                      /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT,           /* tp_flags */
    nullptr,                      /* tp_doc */
    nullptr,                      /* tp_traverse */
    nullptr,                      /* tp_clear */
    nullptr,                      /* tp_richcompare */
    0,                            /* tp_weaklistoffset */
    nullptr,                      /* tp_iter */
    nullptr,                      /* tp_iternext */
    nullptr,                      /* tp_methods */
    nullptr,                      /* tp_members */
    excclass_getset,              /* tp_getset */
};

#define EXC_ROW(name, base) ZvObject *ZvExc_##name = nullptr;
#include "exceptions_rows.h"
#undef EXC_ROW
ZvObject *ZvExc_MemoryErrorInst = nullptr;

int _ZvExcClass_IsSubclass(ZvObject *cls, ZvObject *base)
{
    for (; cls != nullptr && _ZvExcClass_Check(cls); cls = ((ZvExcClassObject *)cls)->base)
        if (cls == base) return 1;
    return 0;
}

static ZvExcClassObject *alloc_excclass(ZvObject *base, ZvObject *dict)
{
    auto *c = (ZvExcClassObject *)_ZvObject_New(&_ZvExcClass_Type);
    if (c == nullptr) return nullptr;
    c->name = "";
    c->name_obj = nullptr;
    c->base = base;
    c->dict = dict;
    Zv_XINCREF(base);
    Zv_XINCREF(dict);
    return c;
}

ZvObject *_ZvExcClass_New(const char *name, ZvObject *base, ZvObject *dict)
{
    ZvObject *name_obj = ZvString_FromString(name);
    if (name_obj == nullptr) return nullptr;
    ZvExcClassObject *c = alloc_excclass(base, dict);
    if (c == nullptr) {
        Zv_DECREF(name_obj);
        return nullptr;
    }
    c->name_obj = name_obj;
    c->name = ZvString_AS_STRING(name_obj);
    return (ZvObject *)c;
}

void _ZvExc_Init(void)
{
    if (ZvType_Ready(&_ZvExcClass_Type) < 0) Zv_FatalError("can't create the standard exceptions");
    struct Row {
        ZvObject **global;
        const char *name;
        ZvObject **base;
    };
    static const Row rows[] = {
#define EXC_ROW(name, base) {&ZvExc_##name, #name, base},
#include "exceptions_rows.h"
#undef EXC_ROW
    };
    for (const Row &r : rows) {
        ZvExcClassObject *c = alloc_excclass(r.base ? *r.base : nullptr, nullptr);
        if (c == nullptr) Zv_FatalError("can't create the standard exceptions");
        c->name = r.name;
        *r.global = (ZvObject *)c;
    }
    /* Without instances yet, the pre-allocated out-of-memory value is the
     * class itself: raising it never needs memory. */
    ZvExc_MemoryErrorInst = ZvExc_MemoryError;
    Zv_INCREF(ZvExc_MemoryErrorInst);
}

void _ZvExc_Fini(void)
{
    Zv_CLEAR(ZvExc_MemoryErrorInst);
    /* Release in reverse creation order so bases outlive their subclasses'
     * globals (each class also owns a reference to its base). */
    ZvObject **globals[] = {
#define EXC_ROW(name, base) &ZvExc_##name,
#include "exceptions_rows.h"
#undef EXC_ROW
    };
    for (size_t i = sizeof(globals) / sizeof(globals[0]); i-- > 0;) Zv_CLEAR(*globals[i]);
}

} // extern "C"
