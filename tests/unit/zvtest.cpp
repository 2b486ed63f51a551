#include "zvtest.h"

#include <string.h>

namespace {
// Starts the runtime before any test and stops it after the last one, so a
// test program also checks that shut-down releases everything.
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Zv_Initialize(); }
    void TearDown() override { Zv_Finalize(); }
};
const auto *const env = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);
} // namespace

std::string zv_repr(ZvObject *o)
{
    ZvObject *r = ZvObject_Repr(o);
    if (r == nullptr) {
        ZvErr_Clear();
        return "<error>";
    }
    std::string s(ZvString_AS_STRING(r), (size_t)ZvString_GET_SIZE(r));
    Zv_DECREF(r);
    return s;
}

std::string zv_str(ZvObject *o)
{
    ZvObject *r = ZvObject_Str(o);
    if (r == nullptr) {
        ZvErr_Clear();
        return "<error>";
    }
    std::string s(ZvString_AS_STRING(r), (size_t)ZvString_GET_SIZE(r));
    Zv_DECREF(r);
    return s;
}

bool zv_raised(ZvObject *exc)
{
    bool m = ZvErr_ExceptionMatches(exc) != 0;
    ZvErr_Clear();
    return m;
}

std::string zv_error_text()
{
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    std::string s = v ? zv_str(v) : "";
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);
    return s;
}

// Finds the entry in the type's (or a base type's) method table and applies
// its calling convention.  Once types expose their methods through their
// dictionaries, this becomes an ordinary attribute call.
ZvObject *zv_call_method(ZvObject *obj, const char *name, ZvObject *args, ZvObject *kwds)
{
    for (ZvTypeObject *tp = Zv_TYPE(obj); tp != nullptr; tp = tp->tp_base) {
        for (ZvMethodDef *ml = tp->tp_methods; ml != nullptr && ml->ml_name != nullptr; ml++) {
            if (strcmp(ml->ml_name, name) != 0) continue;
            Owned empty(ZvTuple_New(0));
            ZvObject *a = args ? args : empty.get();
            ZvObject *self = (ml->ml_flags & METH_CLASS) ? (ZvObject *)Zv_TYPE(obj) : obj;
            if (ml->ml_flags & METH_STATIC) self = nullptr;
            switch (ml->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST)) {
            case METH_NOARGS:
                if (ZvTuple_GET_SIZE(a) != 0) {
                    ZvErr_Format(ZvExc_TypeError, "%.200s() takes no arguments (%d given)",
                                 name, ZvTuple_GET_SIZE(a));
                    return nullptr;
                }
                return ml->ml_meth(self, nullptr);
            case METH_O:
                if (ZvTuple_GET_SIZE(a) != 1) {
                    ZvErr_Format(ZvExc_TypeError,
                                 "%.200s() takes exactly one argument (%d given)", name,
                                 ZvTuple_GET_SIZE(a));
                    return nullptr;
                }
                return ml->ml_meth(self, ZvTuple_GET_ITEM(a, 0));
            case METH_VARARGS:
                return ml->ml_meth(self, a);
            case METH_VARARGS | METH_KEYWORDS:
                return ((ZvCFunctionWithKeywords)(void (*)(void))ml->ml_meth)(self, a, kwds);
            default:
                ADD_FAILURE() << "unsupported calling convention for " << name;
                return nullptr;
            }
        }
    }
    ADD_FAILURE() << Zv_TYPE(obj)->tp_name << " has no method " << name;
    return nullptr;
}
