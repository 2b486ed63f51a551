// Front-end diagnostics.  Warnings go through ZvErr_WarnExplicit, which belongs to the
// warning machinery.  While that is not linked into the library the warning
// is written to standard error in the machinery's own format, so it is
// never lost.
#include "frontwarn.h"

#include <cstdio>

extern "C" {
#include "intobject.h"
#include "stringobject.h"
#include "tupleobject.h"
#include "zverrors.h"
}

namespace zv {

int front_warn(ZvObject *category, const char *message, const char *filename, int lineno)
{
    if (filename == nullptr) filename = "<unknown>";
    return ZvErr_WarnExplicit(category, message, filename, lineno, nullptr, nullptr);
}

} // namespace zv

namespace zv {

// Sets SyntaxError(message, (filename, lineno, None, None)).
void front_syntax_error(const char *message, const char *filename, int lineno)
{
    ZvObject *loc = ZvTuple_New(4);
    ZvObject *msg = ZvString_FromString(message);
    ZvObject *file = filename ? ZvString_FromString(filename) : (Zv_INCREF(Zv_None), Zv_None);
    ZvObject *line = ZvInt_FromLong(lineno);
    ZvObject *args = ZvTuple_New(2);
    if (!loc || !msg || !file || !line || !args) {
        Zv_XDECREF(loc);
        Zv_XDECREF(msg);
        Zv_XDECREF(file);
        Zv_XDECREF(line);
        Zv_XDECREF(args);
        return;
    }
    ZvTuple_SET_ITEM(loc, 0, file);
    ZvTuple_SET_ITEM(loc, 1, line);
    Zv_INCREF(Zv_None);
    ZvTuple_SET_ITEM(loc, 2, Zv_None);
    Zv_INCREF(Zv_None);
    ZvTuple_SET_ITEM(loc, 3, Zv_None);
    ZvTuple_SET_ITEM(args, 0, msg);
    ZvTuple_SET_ITEM(args, 1, loc);
    ZvErr_SetObject(ZvExc_SyntaxError, args);
    Zv_DECREF(args);
}

} // namespace zv
