/* The grammar tables: one deterministic finite automaton per nonterminal.
 *
 * The tables of the language are generated at build time from
 * Grammar/Grammar and live in _ZvParser_Grammar.  Each state lists its arcs
 * (label number -> target state); an accepting state carries an arc with
 * label 0 ("EMPTY") to itself.  The accelerators, built once on first use,
 * map every label in [s_lower, s_upper) straight to an action: a target
 * state (shift), or, with bit 128 set, a nonterminal to push in bits 8 and
 * up and the state to continue in afterwards in bits 0..6. */
#ifndef ZVGRAMMAR_H
#define ZVGRAMMAR_H

#include "bitset.h"
#include "token.h"

ZV_BEGIN_DECLS

/* A grammar label: a token number, a keyword (NAME with its text), or a
 * nonterminal number. */
typedef struct {
    int lb_type;
    const char *lb_str; /* keyword text, NULL otherwise */
} label;

#define EMPTY 0 /* label number of the accepting-state marker */

typedef struct {
    int ll_nlabels;
    label *ll_label;
} labellist;

typedef struct {
    short a_lbl;   /* label number */
    short a_arrow; /* target state */
} arc;

typedef struct {
    int s_narcs;
    arc *s_arc;
    /* Accelerator: filled in by ZvGrammar_AddAccelerators. */
    int s_lower;
    int s_upper;
    int *s_accel; /* s_upper - s_lower entries, -1 = no action */
    int s_accept; /* nonzero if the state is accepting */
} state;

typedef struct {
    int d_type;      /* nonterminal number */
    const char *d_name; /* the rule name */
    int d_initial;   /* always 0 */
    int d_nstates;
    state *d_state;
    bitset d_first;  /* FIRST set over label numbers */
} dfa;

typedef struct {
    int g_ndfas;
    dfa *g_dfa;     /* indexed by nonterminal number - NT_OFFSET */
    labellist g_ll;
    int g_start;    /* default start symbol */
    int g_accel;    /* set once the accelerators are built */
} grammar;

/* The language grammar. */
ZvAPI_DATA(grammar) _ZvParser_Grammar;

ZvAPI_FUNC(dfa *) ZvGrammar_FindDFA(grammar *g, int type);
ZvAPI_FUNC(void) ZvGrammar_AddAccelerators(grammar *g);
ZvAPI_FUNC(void) ZvGrammar_RemoveAccelerators(grammar *g);
/* A printable form of a label for diagnostics, in a static buffer. */
ZvAPI_FUNC(const char *) ZvGrammar_LabelRepr(label *lb);

ZV_END_DECLS

#endif /* ZVGRAMMAR_H */
