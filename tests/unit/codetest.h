// Helpers for the tests of code objects, frames and marshal: building code
// objects from plain C++ values.
#ifndef ZV_TEST_CODETEST_H
#define ZV_TEST_CODETEST_H

#include <string>
#include <vector>

#include "typetest.h"

// A new tuple of new strings.
inline ZvObject *zv_names(const std::vector<const char *> &names)
{
    ZvObject *t = ZvTuple_New((int)names.size());
    int i = 0;
    for (const char *n : names)
        ZvTuple_SET_ITEM(t, i++, ZvString_FromString(n));
    return t;
}

// A new tuple of the given (borrowed) items.
inline ZvObject *zv_tuple_of(const std::vector<ZvObject *> &items)
{
    ZvObject *t = ZvTuple_New((int)items.size());
    int i = 0;
    for (ZvObject *o : items) {
        Zv_INCREF(o);
        ZvTuple_SET_ITEM(t, i++, o);
    }
    return t;
}

inline ZvObject *zv_bytes(const std::string &s)
{
    return ZvString_FromStringAndSize(s.data(), (int)s.size());
}

// The pending error's message when it is `exc` (or a subclass), else a
// text saying it is not; clears the error.
inline std::string zv_error_of(ZvObject *exc)
{
    bool match = ZvErr_ExceptionMatches(exc) != 0;
    std::string text = zv_error_text();
    return match ? text : "<another error: " + text + ">";
}

// The fields of a code object, with harmless defaults; make() builds it.
struct CodeFields {
    int argcount = 0, nlocals = 0, stacksize = 1, flags = 0;
    std::string code = std::string("d\0\0S", 4); // LOAD_CONST 0; RETURN_VALUE
    std::vector<ZvObject *> consts = {Zv_None};
    std::vector<const char *> names, varnames, freevars, cellvars;
    const char *filename = "test.zv";
    const char *name = "f";
    int firstlineno = 1;
    std::string lnotab;

    ZvCodeObject *make() const
    {
        Owned c(zv_bytes(code)), k(zv_tuple_of(consts)), n(zv_names(names)), v(zv_names(varnames)),
            fv(zv_names(freevars)), cv(zv_names(cellvars)), fn(ZvString_FromString(filename)),
            nm(ZvString_FromString(name)), lt(zv_bytes(lnotab));
        return ZvCode_New(argcount, nlocals, stacksize, flags, c, k, n, v, fv, cv, fn, nm,
                          firstlineno, lt);
    }
};

#endif
