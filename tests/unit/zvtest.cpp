#include "zvtest.h"

namespace {
// Starts the runtime before any test and stops it after the last one, so a
// test program also checks that shut-down releases everything.  The
// warnings module that start-up imports is set aside: C-level tests read
// native warnings on the error stream as the fallback writes them (the
// route through the module is tested with the import system).
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        Zv_Initialize();
        if (ZvDict_GetItemString(ZvImport_GetModuleDict(), "warnings") != nullptr)
            ZvDict_DelItemString(ZvImport_GetModuleDict(), "warnings");
    }
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

// obj.name(*args, **kwds): an ordinary attribute call, so a method is found
// through the type's dictionary and bound by its descriptor exactly as
// running code would find it.
ZvObject *zv_call_method(ZvObject *obj, const char *name, ZvObject *args, ZvObject *kwds)
{
    Owned method(ZvObject_GetAttrString(obj, name));
    if (method.get() == nullptr) return nullptr;
    Owned empty(args == nullptr ? ZvTuple_New(0) : nullptr);
    return ZvObject_Call(method, args != nullptr ? args : empty.get(), kwds);
}
