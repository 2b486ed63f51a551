// Writing a parse tree back out as source text: a debugging aid.  INDENT
// and DEDENT adjust a tab count, every newline is followed by that many
// tabs, and the other tokens are separated by spaces.
#include <cstdio>

extern "C" {
#include "node.h"
#include "token.h"
}

namespace {

struct Lister {
    FILE *fp;
    int level = 0;
    bool atbol = true;

    void list(node *n)
    {
        if (n == nullptr) return;
        if (ISNONTERMINAL(TYPE(n))) {
            for (int i = 0; i < NCH(n); i++) list(CHILD(n, i));
            return;
        }
        switch (TYPE(n)) {
        case INDENT:
            level++;
            return;
        case ENDMARKER:
            return;
        case DEDENT:
            level--;
            return;
        case NEWLINE:
            std::fputc('\n', fp);
            atbol = true;
            return;
        default:
            if (atbol) {
                for (int i = 0; i < level; i++) std::fputc('\t', fp);
                atbol = false;
            } else {
                std::fputc(' ', fp);
            }
            if (STR(n) != nullptr) std::fputs(STR(n), fp);
            return;
        }
    }
};

} // namespace

extern "C" {

void ZvNode_ListTreeTo(FILE *fp, node *n)
{
    Lister l{fp};
    l.list(n);
}

void ZvNode_ListTree(node *n) { ZvNode_ListTreeTo(stdout, n); }

} // extern "C"
