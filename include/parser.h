/* The table-driven LL(1) push-down parser.
 *
 * The stack holds one entry per nonterminal being recognised (its DFA, the
 * current state, the node being built).  It has a fixed capacity of
 * MAXSTACK entries and grows downward from the end of s_base: that bound is
 * what keeps deeply nested input (thousands of brackets) from exhausting
 * the native stack; overflowing it is reported as E_NOMEM. */
#ifndef ZVPARSER_H
#define ZVPARSER_H

#include "grammar.h"
#include "node.h"

ZV_BEGIN_DECLS

#define MAXSTACK 500

typedef struct {
    int s_state;  /* state in the DFA */
    dfa *s_dfa;
    node *s_parent; /* node being built for this nonterminal */
} stackentry;

typedef struct {
    stackentry *s_top; /* top entry; &s_base[MAXSTACK] when empty */
    stackentry s_base[MAXSTACK];
} stack;

typedef struct {
    stack p_stack;
    grammar *p_grammar;
    node *p_tree; /* root of the tree, owned until handed to the caller */
} parser_state;

ZvAPI_FUNC(parser_state *) ZvParser_New(grammar *g, int start);
ZvAPI_FUNC(void) ZvParser_Delete(parser_state *ps);
/* Feeds one token; returns E_OK, E_DONE, E_SYNTAX, E_NOMEM or E_OVERFLOW.
 * On E_OK and E_DONE the parser owns str. */
ZvAPI_FUNC(int) ZvParser_AddToken(parser_state *ps, int type, char *str, int lineno,
                                  int *expected_ret);

ZV_END_DECLS

#endif /* ZVPARSER_H */
