/* The standard exception objects.
 *
 * Until classic classes exist, each standard exception is a small static
 * class record that knows its name and its base, so that matching an error
 * against a base class (KeyError against LookupError) works already.  The
 * records are created at start-up in the order of the class table and held
 * in the ZvExc_* globals. */
#include "zuvo.h"
#include "exceptions_internal.h"

extern "C" {

static ZvObject *excclass_repr(ZvObject *self)
{
    return ZvString_FromFormat("<class exceptions.%s>", ((ZvExcClassObject *)self)->name);
}

static void excclass_dealloc(ZvObject *self)
{
    Zv_XDECREF(((ZvExcClassObject *)self)->base);
    ZvObject_Free(self);
}

ZvTypeObject _ZvExcClass_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "classobj", sizeof(ZvExcClassObject), 0,
    excclass_dealloc, nullptr, nullptr, nullptr, nullptr, excclass_repr,
};

#define EXC_ROW(name, base) ZvObject *ZvExc_##name = nullptr;
#include "exceptions_rows.h"
#undef EXC_ROW
ZvObject *ZvExc_MemoryErrorInst = nullptr;

int _ZvExcClass_IsSubclass(ZvObject *cls, ZvObject *base)
{
    for (; cls != nullptr && Zv_TYPE(cls) == &_ZvExcClass_Type;
         cls = ((ZvExcClassObject *)cls)->base)
        if (cls == base) return 1;
    return 0;
}

static ZvObject *new_excclass(const char *name, ZvObject *base)
{
    auto *c = (ZvExcClassObject *)_ZvObject_New(&_ZvExcClass_Type);
    if (c == nullptr) return nullptr;
    c->name = name;
    c->base = base;
    Zv_XINCREF(base);
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
        *r.global = new_excclass(r.name, r.base ? *r.base : nullptr);
        if (*r.global == nullptr) Zv_FatalError("can't create the standard exceptions");
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
