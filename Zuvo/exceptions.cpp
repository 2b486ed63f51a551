/* The standard exception objects.
 *
 * Until classic classes exist, each exception class is a small record that
 * knows its name, its base and (for classes made at run time by
 * ZvErr_NewException) its dictionary, so that matching an error against a
 * base class (KeyError against LookupError) works already.  The standard
 * records are created at start-up in the order of the class table and held
 * in the ZvExc_* globals; each record owns a reference to its base. */
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

ZvTypeObject _ZvExcClass_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "classobj", sizeof(ZvExcClassObject), 0,
    excclass_dealloc, nullptr, nullptr, nullptr, nullptr, excclass_repr,
    nullptr, nullptr, nullptr, nullptr, nullptr, excclass_str,
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
