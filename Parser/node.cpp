// Parse-tree nodes.
//
// Children live by value in one array per node.  The array's capacity is
// never stored: it is a function of the child count (the rounding rule
// below), so a node needs no extra field and growth happens exactly when
// the count crosses a capacity boundary.  Small counts round up to a
// multiple of 4, large ones to a power of two, which keeps both the waste
// and the number of reallocations low for the long child lists of big
// files.
#include <climits>
#include <cstring>

extern "C" {
#include "node.h"
#include "errcode.h"
#include "objimpl.h"
}

namespace {

// Capacity for n children, or -1 on overflow.
int round_up(int n)
{
    if (n <= 1) return n;
    if (n <= 128) return (n + 3) & ~3;
    int cap = 256;
    while (cap < n) {
        if (cap > INT_MAX / 2) return -1;
        cap <<= 1;
    }
    return cap;
}

void free_children(node *n)
{
    for (int i = NCH(n) - 1; i >= 0; i--) free_children(CHILD(n, i));
    if (n->n_child != nullptr) ZvObject_Free(n->n_child);
    if (STR(n) != nullptr) ZvObject_Free(STR(n));
}

} // namespace

extern "C" {

node *ZvNode_New(int type)
{
    node *n = (node *)ZvObject_Malloc(sizeof(node));
    if (n == nullptr) return nullptr;
    n->n_type = (short)type;
    n->n_str = nullptr;
    n->n_lineno = 0;
    n->n_nchildren = 0;
    n->n_child = nullptr;
    return n;
}

int ZvNode_AddChild(node *n1, int type, char *str, int lineno)
{
    int nch = n1->n_nchildren;
    if (nch == INT_MAX || nch < 0) return E_OVERFLOW;
    int current = round_up(nch);
    int required = round_up(nch + 1);
    if (current < 0 || required < 0) return E_OVERFLOW;
    if (current < required) {
        if ((size_t)required > SIZE_MAX / sizeof(node)) return E_OVERFLOW;
        node *grown = (node *)ZvObject_Realloc(n1->n_child, (size_t)required * sizeof(node));
        if (grown == nullptr) return E_NOMEM;
        n1->n_child = grown;
    }
    node *n = &n1->n_child[n1->n_nchildren++];
    n->n_type = (short)type;
    n->n_str = str;
    n->n_lineno = lineno;
    n->n_nchildren = 0;
    n->n_child = nullptr;
    return 0;
}

void ZvNode_Free(node *n)
{
    if (n == nullptr) return;
    free_children(n);
    ZvObject_Free(n);
}

} // extern "C"
