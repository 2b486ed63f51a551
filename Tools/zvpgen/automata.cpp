// From rules to DFAs.
//
// Each rule is first compiled into an NFA (Thompson's construction: every
// word is a pair of states joined by an arc carrying its label, and the
// operators join such pairs with EMPTY arcs).  The subset construction then
// yields a DFA whose states are sets of NFA states closed under EMPTY arcs;
// states are numbered in the order they are discovered from the initial
// state, and arcs in the order their labels first appear while scanning the
// NFA states of the set in ascending order.  Finally states that accept
// alike and carry the same arcs are merged until none remain, and each
// accepting state gets its EMPTY arc to itself.
#include "pgen.h"

#include <algorithm>
#include <map>

namespace zvpgen {

int Grammar::add_label(const std::string &raw)
{
    for (size_t i = 0; i < labels.size(); i++)
        if (labels[i].raw == raw) return (int)i;
    Label lb;
    lb.raw = raw;
    labels.push_back(lb);
    return (int)labels.size() - 1;
}

namespace {

struct NfaArc {
    int label; // 0 = EMPTY
    int to;
};

struct Nfa {
    std::vector<std::vector<NfaArc>> states;
    int start = 0, finish = 0;

    int new_state()
    {
        states.emplace_back();
        return (int)states.size() - 1;
    }
    void arc(int from, int to, int label) { states[from].push_back({label, to}); }
};

struct Span {
    int start, end;
};

Span compile(Grammar &g, Nfa &nfa, const Expr &e)
{
    switch (e.kind) {
    case Expr::Name:
    case Expr::String: {
        int lbl = g.add_label(e.text);
        Span s{nfa.new_state(), nfa.new_state()};
        nfa.arc(s.start, s.end, lbl);
        return s;
    }
    case Expr::Seq: {
        Span whole = compile(g, nfa, e.kids[0]);
        for (size_t i = 1; i < e.kids.size(); i++) {
            Span next = compile(g, nfa, e.kids[i]);
            nfa.arc(whole.end, next.start, 0);
            whole.end = next.end;
        }
        return whole;
    }
    case Expr::Alt: {
        if (e.kids.size() == 1) return compile(g, nfa, e.kids[0]);
        Span whole{nfa.new_state(), nfa.new_state()};
        for (const Expr &k : e.kids) {
            Span s = compile(g, nfa, k);
            nfa.arc(whole.start, s.start, 0);
            nfa.arc(s.end, whole.end, 0);
        }
        return whole;
    }
    case Expr::Opt: {
        Span s = compile(g, nfa, e.kids[0]);
        nfa.arc(s.start, s.end, 0);
        return s;
    }
    case Expr::Star: {
        Span s = compile(g, nfa, e.kids[0]);
        nfa.arc(s.end, s.start, 0);
        return {s.start, s.start};
    }
    case Expr::Plus: {
        Span s = compile(g, nfa, e.kids[0]);
        nfa.arc(s.end, s.start, 0);
        return s;
    }
    }
    return {0, 0};
}

using StateSet = std::vector<bool>;

void close_over_empty(const Nfa &nfa, StateSet &set, int s)
{
    if (set[s]) return;
    set[s] = true;
    for (const NfaArc &a : nfa.states[s])
        if (a.label == 0) close_over_empty(nfa, set, a.to);
}

struct Subset {
    StateSet set;
    DfaState dfa;
    bool deleted = false;
};

std::vector<Subset> subset_construction(const Nfa &nfa)
{
    std::vector<Subset> out;
    Subset first;
    first.set.assign(nfa.states.size(), false);
    close_over_empty(nfa, first.set, nfa.start);
    out.push_back(std::move(first));
    for (size_t i = 0; i < out.size(); i++) {
        // Arcs in order of first appearance of their labels.
        std::vector<std::pair<int, StateSet>> moves;
        for (size_t s = 0; s < nfa.states.size(); s++) {
            if (!out[i].set[s]) continue;
            for (const NfaArc &a : nfa.states[s]) {
                if (a.label == 0) continue;
                auto it = std::find_if(moves.begin(), moves.end(),
                                       [&](auto &m) { return m.first == a.label; });
                if (it == moves.end()) {
                    moves.push_back({a.label, StateSet(nfa.states.size(), false)});
                    it = moves.end() - 1;
                }
                close_over_empty(nfa, it->second, a.to);
            }
        }
        out[i].dfa.accept = out[i].set[nfa.finish];
        for (auto &[label, set] : moves) {
            size_t target = 0;
            while (target < out.size() && out[target].set != set) target++;
            if (target == out.size()) {
                Subset next;
                next.set = set;
                out.push_back(std::move(next));
            }
            out[i].dfa.arcs.push_back({label, (int)target});
        }
    }
    return out;
}

bool same_state(const DfaState &a, const DfaState &b)
{
    if (a.accept != b.accept || a.arcs.size() != b.arcs.size()) return false;
    auto key = [](const DfaState &s) {
        std::vector<std::pair<int, int>> v;
        for (const DfaArc &x : s.arcs) v.push_back({x.label, x.target});
        std::sort(v.begin(), v.end());
        return v;
    };
    return key(a) == key(b);
}

// Merges states that accept alike and have the same arcs, repeatedly, since
// one merge can make two more states identical.
void merge_identical(std::vector<Subset> &states)
{
    bool changed = true;
    while (changed) {
        changed = false;
        for (size_t i = 0; i < states.size(); i++) {
            if (states[i].deleted) continue;
            for (size_t j = i + 1; j < states.size(); j++) {
                if (states[j].deleted || !same_state(states[i].dfa, states[j].dfa)) continue;
                states[j].deleted = true;
                for (Subset &s : states)
                    for (DfaArc &a : s.dfa.arcs)
                        if (a.target == (int)j) a.target = (int)i;
                changed = true;
            }
        }
    }
}

std::vector<DfaState> renumber(const std::vector<Subset> &states)
{
    std::vector<int> number(states.size(), -1);
    int n = 0;
    for (size_t i = 0; i < states.size(); i++)
        if (!states[i].deleted) number[i] = n++;
    std::vector<DfaState> out;
    for (size_t i = 0; i < states.size(); i++) {
        if (states[i].deleted) continue;
        DfaState s = states[i].dfa;
        for (DfaArc &a : s.arcs) a.target = number[a.target];
        if (s.accept) s.arcs.push_back({0, (int)out.size()});
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace

void build_automata(Grammar &g, const std::vector<Rule> &rules)
{
    Label empty;
    empty.raw = "EMPTY";
    empty.str = "EMPTY";
    empty.has_str = true;
    g.labels.push_back(empty);
    for (size_t i = 0; i < rules.size(); i++) {
        const Rule &r = rules[i];
        for (size_t j = 0; j < i; j++)
            if (rules[j].name == r.name) fail("rule '" + r.name + "' is defined twice");
        g.add_label(r.name);
        Nfa nfa;
        Span s = compile(g, nfa, r.rhs);
        nfa.start = s.start;
        nfa.finish = s.end;
        std::vector<Subset> subsets = subset_construction(nfa);
        merge_identical(subsets);
        Dfa d;
        d.type = 256 + (int)i;
        d.name = r.name;
        d.states = renumber(subsets);
        g.dfas.push_back(std::move(d));
    }
}

} // namespace zvpgen
