// Grammar queries used at run time: finding a rule's DFA and printing a
// label for diagnostics.
#include <cstdio>

extern "C" {
#include "grammar.h"
}

extern "C" {

dfa *ZvGrammar_FindDFA(grammar *g, int type)
{
    // Rules are numbered consecutively from NT_OFFSET, so this is an index.
    return &g->g_dfa[type - NT_OFFSET];
}

const char *ZvGrammar_LabelRepr(label *lb)
{
    static char buf[100];
    if (lb->lb_type == ENDMARKER && lb->lb_str != nullptr) return "EMPTY";
    if (ISNONTERMINAL(lb->lb_type)) {
        grammar *g = &_ZvParser_Grammar;
        int i = lb->lb_type - NT_OFFSET;
        if (i < g->g_ndfas && g->g_dfa[i].d_name != nullptr) return g->g_dfa[i].d_name;
        std::snprintf(buf, sizeof buf, "NT%d", lb->lb_type);
        return buf;
    }
    if (lb->lb_type < 0 || lb->lb_type >= N_TOKENS) {
        std::snprintf(buf, sizeof buf, "token %d", lb->lb_type);
        return buf;
    }
    if (lb->lb_str == nullptr) return _ZvParser_TokenNames[lb->lb_type];
    std::snprintf(buf, sizeof buf, "%.32s(%.32s)", _ZvParser_TokenNames[lb->lb_type], lb->lb_str);
    return buf;
}

} // extern "C"
