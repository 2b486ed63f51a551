// Warnings issued by the front end (the tokenizer's non-ASCII warning, the
// symbol table's syntax warnings).
#pragma once

#include "object.h"

namespace zv {

// Issues a warning of `category` located at filename:lineno through the
// warning machinery.  Returns 0, or -1 when the warning filters turned it
// into an exception (which is then set).
int front_warn(ZvObject *category, const char *message, const char *filename, int lineno);

} // namespace zv
