// Parser accelerators.
//
// For each state of each DFA, a table indexed by label number (trimmed to
// the range of labels that have an action) gives the parser its move in one
// lookup: a target state for a terminal arc, or, for an arc whose label is a
// nonterminal, an entry for every label in that nonterminal's FIRST set
// packing the nonterminal (bits 8 and up, minus 256), a push marker (bit
// 128) and the state to return to (bits 0..6).  A state with an EMPTY arc
// is accepting.  The tables are built once, on first use of the grammar.
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" {
#include "grammar.h"
#include "objimpl.h"
}

namespace {

[[noreturn]] void out_of_memory(const char *what)
{
    std::fputs(what, stderr);
    std::exit(1);
}

void fix_state(grammar *g, state *s)
{
    int nl = g->g_ll.ll_nlabels;
    s->s_accept = 0;
    std::vector<int> accel(nl, -1);
    for (int k = 0; k < s->s_narcs; k++) {
        const arc *a = &s->s_arc[k];
        int lbl = a->a_lbl;
        const label *l = &g->g_ll.ll_label[lbl];
        int type = l->lb_type;
        if (a->a_arrow >= (1 << 7)) {
            std::printf("XXX too many states!\n");
            continue;
        }
        if (ISNONTERMINAL(type)) {
            dfa *d1 = ZvGrammar_FindDFA(g, type);
            if (type - NT_OFFSET >= (1 << 7)) {
                std::printf("XXX too high nonterminal number!\n");
                continue;
            }
            for (int ibit = 0; ibit < nl; ibit++) {
                if (!testbit(d1->d_first, ibit)) continue;
                if (accel[ibit] != -1) std::printf("XXX ambiguity!\n");
                accel[ibit] = a->a_arrow | (1 << 7) | ((type - NT_OFFSET) << 8);
            }
        } else if (lbl == EMPTY) {
            s->s_accept = 1;
        } else if (lbl >= 0 && lbl < nl) {
            accel[lbl] = a->a_arrow;
        }
    }
    int lo = 0, hi = nl;
    while (lo < nl && accel[lo] == -1) lo++;
    while (hi > lo && accel[hi - 1] == -1) hi--;
    s->s_lower = lo;
    s->s_upper = hi;
    s->s_accel = nullptr;
    if (hi > lo) {
        s->s_accel = (int *)ZvMem_Malloc((size_t)(hi - lo) * sizeof(int));
        if (s->s_accel == nullptr) out_of_memory("no mem to add parser accelerators\n");
        for (int i = lo; i < hi; i++) s->s_accel[i - lo] = accel[i];
    }
}

} // namespace

extern "C" {

void ZvGrammar_AddAccelerators(grammar *g)
{
    for (int i = 0; i < g->g_ndfas; i++) {
        dfa *d = &g->g_dfa[i];
        for (int j = 0; j < d->d_nstates; j++) fix_state(g, &d->d_state[j]);
    }
    g->g_accel = 1;
}

void ZvGrammar_RemoveAccelerators(grammar *g)
{
    g->g_accel = 0;
    for (int i = 0; i < g->g_ndfas; i++) {
        dfa *d = &g->g_dfa[i];
        for (int j = 0; j < d->d_nstates; j++) {
            state *s = &d->d_state[j];
            ZvMem_Free(s->s_accel);
            s->s_accel = nullptr;
            s->s_lower = s->s_upper = 0;
        }
    }
}

} // extern "C"
