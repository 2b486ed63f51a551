// zvpgen: the grammar-table generator.
//
//     zvpgen GRAMMAR-FILE OUT-HEADER OUT-SOURCE
//
// Reads the grammar, builds one DFA per rule, checks that the grammar is
// LL(1) and writes the tables the parser runs on.  Any defect of the
// grammar is an error naming the rule, and no output is written.
#include "pgen.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: zvpgen GRAMMAR-FILE OUT-HEADER OUT-SOURCE\n");
        return 2;
    }
    zvpgen::Grammar g;
    g.path = argv[1];
    std::vector<zvpgen::Rule> rules = zvpgen::read_grammar(argv[1]);
    zvpgen::build_automata(g, rules);
    zvpgen::finish_tables(g, rules);
    std::string header = argv[2];
    size_t slash = header.find_last_of('/');
    std::string header_name = slash == std::string::npos ? header : header.substr(slash + 1);
    if (!zvpgen::emit_header(g, argv[2]) || !zvpgen::emit_source(g, argv[3], header_name)) {
        std::fprintf(stderr, "zvpgen: cannot write the output files\n");
        std::remove(argv[2]);
        std::remove(argv[3]);
        return 1;
    }
    return 0;
}
