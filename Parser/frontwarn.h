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

namespace zv {

// Sets SyntaxError with the message and the location (filename, lineno),
// in the (message, (filename, lineno, offset, text)) form the error
// reporting expects; offset is None, text the source line if readable.
void front_syntax_error(const char *message, const char *filename, int lineno);

} // namespace zv
