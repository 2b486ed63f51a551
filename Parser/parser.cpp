// The push-down parser.
//
// Each token is classified into a grammar label, then the accelerator of
// the top entry's state says what to do with it: push a nonterminal whose
// FIRST set contains it (and retry), or shift it into the node being built.
// When the state has no action for the label but is accepting, the
// nonterminal is complete and popped, and the enclosing one retries the
// token.  The tree is built as the parse goes: a push adds an interior
// child, a shift a leaf.
//
// Invariant: every stack entry's s_parent is the last child of the entry
// below it (or the root), and children are only ever added to the top
// entry's node, so no stack entry points into an array that may move.
#include <cstdio>
#include <cstring>

extern "C" {
#include "parser.h"
#include "errcode.h"
#include "objimpl.h"
#include "zvflags.h"
}

namespace {

void s_reset(stack *s) { s->s_top = &s->s_base[MAXSTACK]; }

bool s_empty(const stack *s) { return s->s_top == &s->s_base[MAXSTACK]; }

int s_push(stack *s, dfa *d, node *parent)
{
    if (s->s_top == s->s_base) {
        std::fprintf(stderr, "s_push: parser stack overflow\n");
        return E_NOMEM;
    }
    stackentry *top = --s->s_top;
    top->s_dfa = d;
    top->s_parent = parent;
    top->s_state = 0;
    return 0;
}

void s_pop(stack *s) { s->s_top++; }

int shift(stack *s, int type, char *str, int newstate, int lineno)
{
    int err = ZvNode_AddChild(s->s_top->s_parent, type, str, lineno);
    if (err) return err;
    s->s_top->s_state = newstate;
    return 0;
}

int push(stack *s, int type, dfa *d, int newstate, int lineno)
{
    node *n = s->s_top->s_parent;
    int err = ZvNode_AddChild(n, type, nullptr, lineno);
    if (err) return err;
    s->s_top->s_state = newstate;
    return s_push(s, d, CHILD(n, NCH(n) - 1));
}

// The first label matching a token, by searching the whole label list.
int classify_search(const grammar *g, int type, const char *str)
{
    int n = g->g_ll.ll_nlabels;
    const label *l = g->g_ll.ll_label;
    if (type == NAME && str != nullptr) {
        for (int i = 0; i < n; i++) {
            const char *kw = l[i].lb_str;
            if (l[i].lb_type != NAME || kw == nullptr) continue;
            if (kw[0] == str[0] && std::strcmp(kw, str) == 0) return i;
        }
    }
    for (int i = 0; i < n; i++)
        if (l[i].lb_type == type && l[i].lb_str == nullptr) return i;
    return -1;
}

// The same answers for the language's own grammar, whose labels never
// change, from an index made once: a parse meets thousands of tokens, and
// the label list is long.
struct LabelIndex {
    int by_type[NT_OFFSET];  // the plain label of each token type
    int keywords[NT_OFFSET]; // the NAME keyword labels, in label order
    int nkeywords = 0;
};

LabelIndex make_builtin_index()
{
    LabelIndex idx;
    const grammar *g = &_ZvParser_Grammar;
    const label *l = g->g_ll.ll_label;
    for (int &t : idx.by_type) t = -1;
    for (int i = 0; i < g->g_ll.ll_nlabels; i++) {
        int type = l[i].lb_type;
        if (type < 0 || type >= NT_OFFSET) continue;
        if (l[i].lb_str == nullptr) {
            if (idx.by_type[type] < 0) idx.by_type[type] = i;
        } else if (type == NAME && idx.nkeywords < NT_OFFSET) {
            idx.keywords[idx.nkeywords++] = i;
        }
    }
    return idx;
}

// Made by the first parse; the initialisation is safe against parses
// starting together on several threads.
const LabelIndex &builtin_index()
{
    static const LabelIndex idx = make_builtin_index();
    return idx;
}

// The label of a token: a keyword label for a NAME spelling a keyword,
// else the plain label of the token type; -1 if the grammar has neither.
int classify(grammar *g, int type, const char *str)
{
    if (g != &_ZvParser_Grammar || type < 0 || type >= NT_OFFSET)
        return classify_search(g, type, str);
    const LabelIndex &idx = builtin_index();
    const label *l = g->g_ll.ll_label;
    if (type == NAME && str != nullptr) {
        for (int k = 0; k < idx.nkeywords; k++) {
            const char *kw = l[idx.keywords[k]].lb_str;
            if (kw[0] == str[0] && std::strcmp(kw, str) == 0) return idx.keywords[k];
        }
    }
    return idx.by_type[type];
}

void trace(const char *fmt, const char *arg)
{
    if (Zv_DebugFlag) std::fprintf(stderr, fmt, arg);
}

} // namespace

extern "C" {

parser_state *ZvParser_New(grammar *g, int start)
{
    if (!g->g_accel) ZvGrammar_AddAccelerators(g);
    parser_state *ps = (parser_state *)ZvMem_Malloc(sizeof(parser_state));
    if (ps == nullptr) return nullptr;
    ps->p_grammar = g;
    ps->p_tree = ZvNode_New(start);
    if (ps->p_tree == nullptr) {
        ZvMem_Free(ps);
        return nullptr;
    }
    s_reset(&ps->p_stack);
    (void)s_push(&ps->p_stack, ZvGrammar_FindDFA(g, start), ps->p_tree);
    return ps;
}

void ZvParser_Delete(parser_state *ps)
{
    if (ps == nullptr) return;
    ZvNode_Free(ps->p_tree);
    ZvMem_Free(ps);
}

int ZvParser_AddToken(parser_state *ps, int type, char *str, int lineno, int *expected_ret)
{
    grammar *g = ps->p_grammar;
    if (Zv_DebugFlag)
        std::fprintf(stderr, "Token %s/'%s' ... ",
                     type >= 0 && type < N_TOKENS ? _ZvParser_TokenNames[type] : "?",
                     str ? str : "");
    int ilabel = classify(g, type, str);
    if (ilabel < 0) {
        trace("Illegal token%s\n", "");
        return E_SYNTAX;
    }
    for (;;) {
        stackentry *top = ps->p_stack.s_top;
        dfa *d = top->s_dfa;
        state *s = &d->d_state[top->s_state];
        if (s->s_lower <= ilabel && ilabel < s->s_upper) {
            int x = s->s_accel[ilabel - s->s_lower];
            if (x != -1) {
                if (x & (1 << 7)) {
                    int nt = (x >> 8) + NT_OFFSET;
                    trace(" Push %s\n", ZvGrammar_FindDFA(g, nt)->d_name);
                    int err = push(&ps->p_stack, nt, ZvGrammar_FindDFA(g, nt), x & ((1 << 7) - 1),
                                   lineno);
                    if (err) return err;
                    continue;
                }
                int err = shift(&ps->p_stack, type, str, x, lineno);
                if (err) return err;
                trace(" Shift.%s\n", "");
                // Pop every nonterminal that is now complete and can take
                // nothing more.
                for (;;) {
                    top = ps->p_stack.s_top;
                    s = &top->s_dfa->d_state[top->s_state];
                    if (!s->s_accept || s->s_narcs != 1) break;
                    trace("  DFA '%s', state accepts and is final: pop.\n", top->s_dfa->d_name);
                    s_pop(&ps->p_stack);
                    if (s_empty(&ps->p_stack)) {
                        trace("  ACCEPT.%s\n", "");
                        return E_DONE;
                    }
                }
                return E_OK;
            }
        }
        if (s->s_accept) {
            trace(" Pop %s\n", d->d_name);
            s_pop(&ps->p_stack);
            if (s_empty(&ps->p_stack)) {
                trace("Error: bottom of stack.%s\n", "");
                return E_SYNTAX;
            }
            continue;
        }
        trace("Error.%s\n", "");
        if (expected_ret) {
            if (s->s_lower == s->s_upper - 1)
                *expected_ret = g->g_ll.ll_label[s->s_lower].lb_type;
            else
                *expected_ret = -1;
        }
        return E_SYNTAX;
    }
}

} // extern "C"
