// Front-end warnings go through ZvErr_WarnExplicit, which belongs to the
// warning machinery.  While that is not linked into the library the warning
// is written to standard error in the machinery's own format, so it is
// never lost.
#include "frontwarn.h"

#include <cstdio>

extern "C" {
#include "zverrors.h"
}

#pragma weak ZvErr_WarnExplicit

namespace zv {

namespace {

const char *category_name(ZvObject *category)
{
    if (category == ZvExc_DeprecationWarning) return "DeprecationWarning";
    if (category == ZvExc_SyntaxWarning) return "SyntaxWarning";
    return "Warning";
}

} // namespace

int front_warn(ZvObject *category, const char *message, const char *filename, int lineno)
{
    if (filename == nullptr) filename = "<unknown>";
    if (ZvErr_WarnExplicit)
        return ZvErr_WarnExplicit(category, message, filename, lineno, nullptr, nullptr);
    std::fprintf(stderr, "%s:%d: %s: %s\n", filename, lineno, category_name(category), message);
    return 0;
}

} // namespace zv
