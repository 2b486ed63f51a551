// Shared fixture for the C-level tests: starts the runtime once per test
// program and checks that no test leaves an error set behind.
#ifndef ZV_TEST_ZVTEST_H
#define ZV_TEST_ZVTEST_H

#include <gtest/gtest.h>
#include <string>

#include "zuvo.h"

class ZvTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(ZvErr_Occurred(), nullptr) << "a test left an error set";
        ZvErr_Clear();
    }
};

// An owned reference released at the end of the scope.
struct Owned {
    ZvObject *p;
    explicit Owned(ZvObject *o) : p(o) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { Zv_XDECREF(p); }
    ZvObject *get() const { return p; }
    operator ZvObject *() const { return p; }
};

// repr() of an object as a std::string ("<error>" when repr fails).
std::string zv_repr(ZvObject *o);
// str() of an object as a std::string ("<error>" when str fails).
std::string zv_str(ZvObject *o);
// True when the error indicator holds `exc` (or a subclass); clears it.
bool zv_raised(ZvObject *exc);
// The message of the pending error's value as a string, then clears it.
std::string zv_error_text();

// Calls obj.name(*args, **kwds) through attribute lookup; `args` is a tuple
// or NULL for none, `kwds` a dictionary or NULL.  Returns a new reference or
// NULL with an error set.
ZvObject *zv_call_method(ZvObject *obj, const char *name, ZvObject *args = nullptr,
                         ZvObject *kwds = nullptr);
#endif
