// The generated grammar tables: numbering, labels, FIRST sets and the
// shape of a few DFAs, plus the accelerators built from them.
#include "zvtest.h"
#include "zvfrontend.h"

#include <set>
#include <string>

#include "graminit.h"

namespace {

grammar &G() { return _ZvParser_Grammar; }

dfa *find(const char *name)
{
    for (int i = 0; i < G().g_ndfas; i++)
        if (std::string(G().g_dfa[i].d_name) == name) return &G().g_dfa[i];
    return nullptr;
}

// The label number of a keyword, an operator token or a rule.
int keyword_label(const char *kw)
{
    for (int i = 0; i < G().g_ll.ll_nlabels; i++) {
        label &l = G().g_ll.ll_label[i];
        if (l.lb_type == NAME && l.lb_str && std::string(l.lb_str) == kw) return i;
    }
    return -1;
}

int token_label(int type)
{
    for (int i = 0; i < G().g_ll.ll_nlabels; i++) {
        label &l = G().g_ll.ll_label[i];
        if (l.lb_type == type && l.lb_str == nullptr) return i;
    }
    return -1;
}

std::set<std::string> first_set(const char *rule)
{
    std::set<std::string> out;
    dfa *d = find(rule);
    for (int i = 0; i < G().g_ll.ll_nlabels; i++)
        if (testbit(d->d_first, i)) out.insert(ZvGrammar_LabelRepr(&G().g_ll.ll_label[i]));
    return out;
}

} // namespace

TEST(Grammar, RulesAreNumberedInOrderFrom256)
{
    static const char *const names[] = {
        "single_input", "file_input", "eval_input", "decorator", "decorators", "funcdef",
        "parameters", "varargslist", "fpdef", "fplist", "stmt", "simple_stmt", "small_stmt",
        "expr_stmt", "augassign", "print_stmt", "del_stmt", "pass_stmt", "flow_stmt",
        "break_stmt", "continue_stmt", "return_stmt", "yield_stmt", "raise_stmt",
        "import_stmt", "import_name", "import_from", "import_as_name", "dotted_as_name",
        "import_as_names", "dotted_as_names", "dotted_name", "global_stmt", "exec_stmt",
        "assert_stmt", "compound_stmt", "if_stmt", "while_stmt", "for_stmt", "try_stmt",
        "except_clause", "suite", "test", "and_test", "not_test", "comparison", "comp_op",
        "expr", "xor_expr", "and_expr", "shift_expr", "arith_expr", "term", "factor", "power",
        "atom", "listmaker", "testlist_gexp", "lambdef", "trailer", "subscriptlist",
        "subscript", "sliceop", "exprlist", "testlist", "testlist_safe", "dictmaker",
        "classdef", "arglist", "argument", "list_iter", "list_for", "list_if", "gen_iter",
        "gen_for", "gen_if", "testlist1", "encoding_decl"};
    ASSERT_EQ(G().g_ndfas, 78);
    ASSERT_EQ(sizeof names / sizeof names[0], 78u);
    for (int i = 0; i < 78; i++) {
        EXPECT_EQ(G().g_dfa[i].d_type, 256 + i);
        EXPECT_STREQ(G().g_dfa[i].d_name, names[i]);
        EXPECT_EQ(G().g_dfa[i].d_initial, 0);
        EXPECT_EQ(ZvGrammar_FindDFA(&G(), 256 + i), &G().g_dfa[i]);
    }
    EXPECT_EQ(G().g_start, single_input);
    EXPECT_EQ(file_input, 257);
    EXPECT_EQ(eval_input, 258);
    EXPECT_EQ(comp_op, 302);
    EXPECT_EQ(encoding_decl, 333);
}

TEST(Grammar, LabelsAndKeywords)
{
    ASSERT_EQ(G().g_ll.ll_nlabels, 160);
    label &empty = G().g_ll.ll_label[0];
    EXPECT_EQ(empty.lb_type, 0);
    EXPECT_STREQ(empty.lb_str, "EMPTY");
    EXPECT_STREQ(ZvGrammar_LabelRepr(&empty), "EMPTY");

    std::set<std::string> keywords;
    for (int i = 1; i < G().g_ll.ll_nlabels; i++) {
        label &l = G().g_ll.ll_label[i];
        if (l.lb_str != nullptr) {
            EXPECT_EQ(l.lb_type, NAME);
            EXPECT_TRUE(keywords.insert(l.lb_str).second) << "duplicate keyword " << l.lb_str;
        }
    }
    std::set<std::string> expected = {
        "and", "assert", "break", "class", "continue", "def", "del", "elif", "else", "except",
        "exec", "finally", "for", "from", "global", "if", "import", "in", "is", "lambda", "not",
        "or", "pass", "print", "raise", "return", "try", "while", "yield"};
    EXPECT_EQ(keywords, expected);
    // 'as', None, True and False are ordinary names.
    EXPECT_EQ(keyword_label("as"), -1);
    EXPECT_EQ(keyword_label("None"), -1);

    label kw = {NAME, "if"};
    EXPECT_STREQ(ZvGrammar_LabelRepr(&kw), "NAME(if)");
    label nt = {test, nullptr};
    EXPECT_STREQ(ZvGrammar_LabelRepr(&nt), "test");
    label tok = {COLON, nullptr};
    EXPECT_STREQ(ZvGrammar_LabelRepr(&tok), "COLON");
}

TEST(Grammar, FirstSets)
{
    EXPECT_EQ(first_set("if_stmt"), (std::set<std::string>{"NAME(if)"}));
    EXPECT_EQ(first_set("comp_op"),
              (std::set<std::string>{"LESS", "GREATER", "EQEQUAL", "GREATEREQUAL", "LESSEQUAL",
                                     "NOTEQUAL", "NAME(in)", "NAME(not)", "NAME(is)"}));
    std::set<std::string> atoms = {"LPAR", "LSQB", "LBRACE", "BACKQUOTE", "NAME", "NUMBER",
                                  "STRING"};
    EXPECT_EQ(first_set("atom"), atoms);
    std::set<std::string> test_first = atoms;
    for (const char *s : {"PLUS", "MINUS", "TILDE", "NAME(not)", "NAME(lambda)"})
        test_first.insert(s);
    EXPECT_EQ(first_set("test"), test_first);
    std::set<std::string> stmts = first_set("stmt");
    for (const char *s : {"AT", "NAME(def)", "NAME(class)", "NAME(if)", "NAME(print)",
                          "NAME(yield)", "NAME(global)", "NAME(exec)", "NAME(assert)", "NAME"})
        EXPECT_TRUE(stmts.count(s)) << s;
    EXPECT_FALSE(stmts.count("NAME(else)"));
    EXPECT_EQ(first_set("file_input"), (std::set<std::string>([&] {
                  std::set<std::string> s = stmts;
                  s.insert("NEWLINE");
                  s.insert("ENDMARKER");
                  return s;
              }())));
}

TEST(Grammar, DfaShapes)
{
    // pass_stmt: 'pass', then an accepting state that takes nothing more.
    dfa *pass = find("pass_stmt");
    ASSERT_EQ(pass->d_nstates, 2);
    ASSERT_EQ(pass->d_state[0].s_narcs, 1);
    EXPECT_EQ(pass->d_state[0].s_arc[0].a_lbl, keyword_label("pass"));
    EXPECT_EQ(pass->d_state[0].s_arc[0].a_arrow, 1);
    ASSERT_EQ(pass->d_state[1].s_narcs, 1);
    EXPECT_EQ(pass->d_state[1].s_arc[0].a_lbl, EMPTY);
    EXPECT_EQ(pass->d_state[1].s_arc[0].a_arrow, 1);

    // comp_op: '<>' and '!=' are two labels of one token leading to the
    // same state.
    dfa *cmp = find("comp_op");
    int targets[2] = {-1, -1}, found = 0;
    for (int i = 0; i < cmp->d_state[0].s_narcs; i++) {
        arc &a = cmp->d_state[0].s_arc[i];
        if (G().g_ll.ll_label[a.a_lbl].lb_type == NOTEQUAL) targets[found++] = a.a_arrow;
    }
    ASSERT_EQ(found, 2);
    EXPECT_EQ(targets[0], targets[1]);

    // file_input: a loop over NEWLINE and stmt, left by ENDMARKER.
    dfa *fi = find("file_input");
    ASSERT_EQ(fi->d_nstates, 2);
    EXPECT_EQ(fi->d_state[0].s_narcs, 3);
    EXPECT_EQ(fi->d_state[1].s_narcs, 1);

    // Every state's arcs point inside the DFA; accepting states end with
    // their EMPTY arc to themselves.
    for (int i = 0; i < G().g_ndfas; i++) {
        dfa *d = &G().g_dfa[i];
        for (int s = 0; s < d->d_nstates; s++) {
            state *st = &d->d_state[s];
            for (int k = 0; k < st->s_narcs; k++) {
                EXPECT_LT(st->s_arc[k].a_arrow, d->d_nstates);
                EXPECT_LT(st->s_arc[k].a_lbl, G().g_ll.ll_nlabels);
                if (st->s_arc[k].a_lbl == EMPTY) {
                    EXPECT_EQ(k, st->s_narcs - 1);
                    EXPECT_EQ(st->s_arc[k].a_arrow, s);
                }
            }
        }
    }
}

TEST(Grammar, AcceleratorsAreUnambiguous)
{
    // Build (if not built yet) and check that every accepting state is
    // marked and every terminal arc is reachable through its label.
    testing::internal::CaptureStdout();
    if (!G().g_accel) ZvGrammar_AddAccelerators(&G());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(G().g_accel);
    for (int i = 0; i < G().g_ndfas; i++) {
        dfa *d = &G().g_dfa[i];
        for (int s = 0; s < d->d_nstates; s++) {
            state *st = &d->d_state[s];
            bool accepting = false;
            for (int k = 0; k < st->s_narcs; k++) {
                arc &a = st->s_arc[k];
                if (a.a_lbl == EMPTY) {
                    accepting = true;
                    continue;
                }
                if (ISNONTERMINAL(G().g_ll.ll_label[a.a_lbl].lb_type)) continue;
                ASSERT_GE(a.a_lbl, st->s_lower);
                ASSERT_LT(a.a_lbl, st->s_upper);
                EXPECT_EQ(st->s_accel[a.a_lbl - st->s_lower], a.a_arrow) << d->d_name;
            }
            EXPECT_EQ(st->s_accept != 0, accepting) << d->d_name << " state " << s;
        }
    }
    // A token starting a nonterminal is a push of that nonterminal.
    state *s0 = &find("if_stmt")->d_state[1]; // after 'if': test
    int x = s0->s_accel[token_label(NAME) - s0->s_lower];
    EXPECT_TRUE(x & 128);
    EXPECT_EQ((x >> 8) + 256, test);
}
