// The grammar-table generator's internal model.
//
// A grammar file is read into rules (metagrammar.cpp); each rule's
// right-hand side becomes a nondeterministic automaton whose arcs carry
// label numbers, label 0 (EMPTY) being the silent arc (automata.cpp); the
// subset construction turns it into a DFA whose identical states are then
// merged.  Labels start as raw grammar words (a NAME such as `test` or
// `NUMBER`, a STRING such as 'if' or '+=') and are translated into token,
// keyword or nonterminal labels once every rule is known (tables.cpp),
// after which the FIRST sets are computed and every state is checked to be
// LL(1).  emit.cpp writes graminit.h and graminit.cpp.
//
// Everything here runs once at build time, so it favours clarity over speed
// and reports any defect of the grammar as an error naming the rule.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace zvpgen {

// One node of a rule's right-hand side.
struct Expr {
    enum Kind { Alt, Seq, Opt, Star, Plus, Name, String };
    Kind kind;
    std::string text; // for Name and String (a String keeps its quotes)
    std::vector<Expr> kids;
};

struct Rule {
    std::string name;
    Expr rhs;
    int line;
};

// Reads a grammar file; exits with a message on a syntax error.
std::vector<Rule> read_grammar(const std::string &path);

// A grammar label.  Before translation `raw` holds the grammar word; after
// it, `type` is a token or nonterminal number and `str` the keyword text.
struct Label {
    std::string raw;
    int type = 0;
    std::string str;
    bool has_str = false;
};

struct DfaArc {
    int label;
    int target;
};

struct DfaState {
    std::vector<DfaArc> arcs; // the EMPTY arc of an accepting state is last
    bool accept = false;
};

struct Dfa {
    int type;
    std::string name;
    std::vector<DfaState> states;
    std::set<int> first; // label numbers
};

struct Grammar {
    std::string path;
    std::vector<Label> labels; // labels[0] is EMPTY
    std::vector<Dfa> dfas;

    int add_label(const std::string &raw);
};

// Builds every rule's DFA, collecting labels in order of appearance.
void build_automata(Grammar &g, const std::vector<Rule> &rules);
// Translates labels, computes FIRST sets and checks the LL(1) property;
// exits with a message naming the rule on failure.
void finish_tables(Grammar &g, const std::vector<Rule> &rules);
// Writes the header and source of the tables.
bool emit_header(const Grammar &g, const std::string &path);
bool emit_source(const Grammar &g, const std::string &path, const std::string &header_name);

[[noreturn]] void fail(const std::string &message);

} // namespace zvpgen
