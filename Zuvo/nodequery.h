// Queries on parse trees shared by the symbol-table pass and the code
// generator.  The two walks must agree exactly on which branches are dead
// (both skip them, so both number the nested scopes alike), so the test
// lives in one place.
#pragma once

#include "node.h"

namespace zv {

// A test whose value is known false at compile time: a number or string
// literal whose truth value is false, or `__debug__` when optimizing,
// reached through a chain of single-child nodes.
bool node_is_constant_false(node *n);

} // namespace zv
