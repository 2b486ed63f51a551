// Label translation, FIRST sets and the LL(1) check.
//
// A raw NAME label names either a rule (it becomes that nonterminal) or a
// token (`NUMBER` becomes token 2).  A quoted word that starts with a letter
// is a keyword: a NAME token with that text.  Any other quoted word is an
// operator, translated with the tokenizer's own operator tables.
//
// The FIRST set of a rule is the set of terminal labels that can begin it,
// found from the arcs of its initial state.  The parser decides every step
// on one token, so in every state of every DFA the terminal labels that
// start different arcs must not overlap; two labels for the same token
// (such as '<>' and '!=') are allowed only when their arcs lead to the same
// state, since the parser always picks the first of them.
#include "pgen.h"

#include <cctype>
#include <map>

extern "C" {
#include "token.h"
}

namespace zvpgen {

namespace {

int find_rule(const std::vector<Rule> &rules, const std::string &name)
{
    for (size_t i = 0; i < rules.size(); i++)
        if (rules[i].name == name) return 256 + (int)i;
    return -1;
}

int find_token(const std::string &name)
{
    for (int i = 0; i < N_TOKENS; i++)
        if (name == _ZvParser_TokenNames[i]) return i;
    return -1;
}

void translate(Label &lb, const std::vector<Rule> &rules)
{
    const std::string &raw = lb.raw;
    if (raw[0] != '\'') {
        int t = find_rule(rules, raw);
        if (t < 0) t = find_token(raw);
        if (t < 0) fail("'" + raw + "' is neither a rule nor a token");
        lb.type = t;
        return;
    }
    std::string word = raw.substr(1, raw.size() - 2);
    if (std::isalpha((unsigned char)word[0]) || word[0] == '_') {
        lb.type = NAME;
        lb.str = word;
        lb.has_str = true;
        return;
    }
    int t = OP;
    if (word.size() == 1) t = ZvToken_OneChar(word[0]);
    if (word.size() == 2) t = ZvToken_TwoChars(word[0], word[1]);
    if (word.size() == 3) t = ZvToken_ThreeChars(word[0], word[1], word[2]);
    if (t == OP) fail("the operator " + raw + " is not a token");
    lb.type = t;
}

class FirstSets {
public:
    FirstSets(Grammar &g) : g_(g), busy_(g.dfas.size(), false), done_(g.dfas.size(), false) {}

    const std::set<int> &of(int type)
    {
        Dfa &d = g_.dfas[type - 256];
        size_t i = type - 256;
        if (done_[i]) return d.first;
        if (busy_[i]) fail("rule '" + d.name + "' is left-recursive");
        busy_[i] = true;
        for (const DfaArc &a : d.states[0].arcs) {
            if (a.label == 0) fail("rule '" + d.name + "' can match empty input");
            const Label &lb = g_.labels[a.label];
            if (lb.type >= 256) {
                const std::set<int> &sub = of(lb.type);
                d.first.insert(sub.begin(), sub.end());
            } else {
                d.first.insert(a.label);
            }
        }
        busy_[i] = false;
        done_[i] = true;
        return d.first;
    }

private:
    Grammar &g_;
    std::vector<bool> busy_, done_;
};

std::string describe(const Grammar &g, int label)
{
    const Label &lb = g.labels[label];
    return lb.raw;
}

// Checks that one token never starts two different arcs of a state.
void check_state(const Grammar &g, const Dfa &d, int si)
{
    // token key (type, keyword text) -> (arc index, label)
    std::map<std::pair<int, std::string>, std::pair<int, int>> claimed;
    const DfaState &s = d.states[si];
    for (size_t ai = 0; ai < s.arcs.size(); ai++) {
        const DfaArc &a = s.arcs[ai];
        if (a.label == 0) continue;
        const Label &lb = g.labels[a.label];
        std::set<int> starts;
        if (lb.type >= 256)
            starts = g.dfas[lb.type - 256].first;
        else
            starts.insert(a.label);
        for (int t : starts) {
            const Label &tl = g.labels[t];
            auto key = std::make_pair(tl.type, tl.str);
            auto it = claimed.find(key);
            if (it == claimed.end()) {
                claimed[key] = {(int)ai, a.label};
                continue;
            }
            if (it->second.first == (int)ai) continue; // one arc, two labels of a token
            const DfaArc &other = s.arcs[it->second.first];
            bool harmless = other.target == a.target && lb.type < 256 &&
                            g.labels[other.label].type < 256;
            if (!harmless)
                fail("rule '" + d.name + "' is not LL(1): in state " + std::to_string(si) + ", " +
                     describe(g, t) + " starts both " + describe(g, it->second.second) +
                     " and " + describe(g, a.label));
        }
    }
}

} // namespace

void finish_tables(Grammar &g, const std::vector<Rule> &rules)
{
    for (size_t i = 1; i < g.labels.size(); i++) translate(g.labels[i], rules);
    FirstSets first(g);
    for (const Dfa &d : g.dfas) first.of(d.type);
    for (const Dfa &d : g.dfas) {
        // The accelerators pack a state in 7 bits and a rule in 8.
        if (d.states.size() > 128) fail("rule '" + d.name + "' has more than 128 states");
        if (d.type - 256 > 127) fail("rule '" + d.name + "': too many rules");
        for (size_t si = 0; si < d.states.size(); si++) check_state(g, d, (int)si);
    }
    if (g.labels.size() > 32767) fail("too many labels");
}

} // namespace zvpgen
