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

// Sets SyntaxError(message, (filename, lineno, None, text)), text being the
// source line read back from the file (None when it cannot be read), as
// the error-location routine does for other syntax errors: the report then
// shows the offending line, without a caret.
void front_syntax_error(const char *message, const char *filename, int lineno)
{
    ZvObject *text = ZvErr_ProgramText(filename, lineno);
    if (text == nullptr) {
        ZvErr_Clear();
        text = (Zv_INCREF(Zv_None), Zv_None);
    }
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
        Zv_DECREF(text);
        return;
    }
    ZvTuple_SET_ITEM(loc, 0, file);
    ZvTuple_SET_ITEM(loc, 1, line);
    Zv_INCREF(Zv_None);
    ZvTuple_SET_ITEM(loc, 2, Zv_None);
    ZvTuple_SET_ITEM(loc, 3, text);
    ZvTuple_SET_ITEM(args, 0, msg);
    ZvTuple_SET_ITEM(args, 1, loc);
    ZvErr_SetObject(ZvExc_SyntaxError, args);
    Zv_DECREF(args);
}

} // namespace zv
