/* Parse-tree nodes.
 *
 * A leaf holds a token (n_type below 256, n_str its text); an interior node
 * holds a nonterminal (n_type from 256) and its children, stored by value in
 * one contiguous array.  Because children live inline, a child's address
 * changes when its parent's array grows: never keep a pointer to a child
 * while children are still being added to its parent.  All memory comes
 * from the object allocator. */
#ifndef ZVNODE_H
#define ZVNODE_H

#include "zvport.h"

ZV_BEGIN_DECLS

typedef struct _node {
    short n_type;
    char *n_str;       /* owned; token text, NULL for interior nodes */
    int n_lineno;
    int n_nchildren;
    struct _node *n_child; /* owned array of n_nchildren nodes */
} node;

/* A fresh node with no string, line 0 and no children; NULL on failure. */
ZvAPI_FUNC(node *) ZvNode_New(int type);
/* Appends a child, taking ownership of str; returns 0, E_NOMEM or
 * E_OVERFLOW (str is then still the caller's). */
ZvAPI_FUNC(int) ZvNode_AddChild(node *parent, int type, char *str, int lineno);
/* Frees the whole tree. */
ZvAPI_FUNC(void) ZvNode_Free(node *n);
/* Writes the tokens of a tree back out as source text to standard output. */
ZvAPI_FUNC(void) ZvNode_ListTree(node *n);
/* As ZvNode_ListTree, to any stream. */
ZvAPI_FUNC(void) ZvNode_ListTreeTo(FILE *fp, node *n);

#define NCH(n) ((n)->n_nchildren)
#define CHILD(n, i) (&(n)->n_child[i])
#define RCHILD(n, i) (CHILD(n, NCH(n) + (i)))
#define TYPE(n) ((n)->n_type)
#define STR(n) ((n)->n_str)
#define LINENO(n) ((n)->n_lineno)

ZV_END_DECLS

#endif /* ZVNODE_H */
