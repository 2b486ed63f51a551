// Expressions: boolean operators, comparisons, arithmetic, atoms and their
// trailers, calls, list comprehensions, generator expressions and lambda,
// and the assignment targets of store, delete and augmented assignment.
//
// Every expression leaves exactly one value on the stack.  Where control
// reaches a label with a different depth than the fall-through path (the
// cleanup of a chained comparison, the skip of a comprehension's `if`, the
// exit of a `for` clause), the depth is set explicitly at the label.
// List comprehensions build their list in the hidden local "_[N]" and have
// no scope of their own; generator expressions are nested code blocks
// whose one parameter is the iterator of the outermost sequence, which the
// enclosing block evaluates.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compile_internal.h"
#include "zvref.h"

extern "C" {
#include "zuvo.h"
#include "graminit.h"
#include "opcode.h"
#include "token.h"
}

namespace zv::compiler {

namespace {

// How a subscript or attribute trailer is used.
enum class Use { Load, Store, Delete, Augmented };

Use use_of(AssignKind kind)
{
    switch (kind) {
    case ASSIGN_STORE: return Use::Store;
    case ASSIGN_DELETE: return Use::Delete;
    default: return Use::Augmented;
    }
}

void com_atom(Compiling *c, node *n);
void com_apply_trailer(Compiling *c, node *n);
void com_subscriptlist(Compiling *c, node *n, Use use, node *augn, int inplace);
void com_generator_expression(Compiling *c, node *n);
void com_list_comprehension(Compiling *c, node *n);

// --- Boolean operators and comparisons ----------------------------------------

// a or b or c / a and b and c: every jump goes to the end with the deciding
// value on the stack.
void com_shortcircuit(Compiling *c, node *n, int jump)
{
    int anchor = 0;
    for (int i = 0;; i += 2) {
        com_node(c, CHILD(n, i));
        if (i + 1 >= NCH(n)) break;
        com_addfwref(c, jump, &anchor);
        com_addop(c, POP_TOP);
    }
    com_backpatch(c, anchor);
}

void com_test(Compiling *c, node *n)
{
    // test: and_test ('or' and_test)* | lambdef
    if (NCH(n) == 1) {
        com_node(c, CHILD(n, 0));
        return;
    }
    com_shortcircuit(c, n, JUMP_IF_TRUE);
}

int cmp_op(node *n)
{
    // comp_op: '<'|'>'|'=='|'>='|'<='|'<>'|'!='|'in'|'not' 'in'|'is'|'is' 'not'
    if (NCH(n) == 1) {
        node *t = CHILD(n, 0);
        switch (TYPE(t)) {
        case LESS: return ZvCmp_LT;
        case GREATER: return ZvCmp_GT;
        case EQEQUAL: return ZvCmp_EQ;
        case LESSEQUAL: return ZvCmp_LE;
        case GREATEREQUAL: return ZvCmp_GE;
        case NOTEQUAL: return ZvCmp_NE;
        case NAME:
            if (!std::strcmp(STR(t), "in")) return ZvCmp_IN;
            if (!std::strcmp(STR(t), "is")) return ZvCmp_IS;
            return ZvCmp_BAD;
        default: return ZvCmp_BAD;
        }
    }
    if (NCH(n) == 2 && TYPE(CHILD(n, 0)) == NAME) {
        if (!std::strcmp(STR(CHILD(n, 0)), "not")) return ZvCmp_NOT_IN;
        if (!std::strcmp(STR(CHILD(n, 0)), "is")) return ZvCmp_IS_NOT;
    }
    return ZvCmp_BAD;
}

void com_compare(Compiling *c, node *comp_op_node)
{
    int op = cmp_op(comp_op_node);
    if (op == ZvCmp_BAD) {
        com_error(c, ZvExc_SystemError, "com_comparison: unknown comparison op");
        op = ZvCmp_EQ;
    }
    com_addoparg(c, COMPARE_OP, op);
}

void com_comparison(Compiling *c, node *n)
{
    // comparison: expr (comp_op expr)*
    com_node(c, CHILD(n, 0));
    if (NCH(n) == 1) return;
    if (NCH(n) == 3) {
        com_node(c, CHILD(n, 2));
        com_compare(c, CHILD(n, 1));
        return;
    }
    // a < b < c: b is evaluated once; a false link is the result and the
    // rest is not evaluated.
    int base = c->c_stacklevel - 1;
    int cleanup = 0;
    for (int i = 2; i < NCH(n); i += 2) {
        com_node(c, CHILD(n, i));
        if (i + 2 < NCH(n)) {
            com_addop(c, DUP_TOP);
            com_addop(c, ROT_THREE);
        }
        com_compare(c, CHILD(n, i - 1));
        if (i + 2 < NCH(n)) {
            com_addfwref(c, JUMP_IF_FALSE, &cleanup);
            com_addop(c, POP_TOP);
        }
    }
    int end = 0;
    com_addfwref(c, JUMP_FORWARD, &end);
    com_backpatch(c, cleanup);
    // Here with the middle operand under the false result.
    com_set_level(c, base + 2);
    com_addop(c, ROT_TWO);
    com_addop(c, POP_TOP);
    com_backpatch(c, end);
}

// --- Arithmetic -------------------------------------------------------------------

struct BinaryRule {
    int node_type;
    const char *error;
    struct {
        int token, opcode;
    } ops[4];
};

const BinaryRule kBinaryRules[] = {
    {expr, "com_expr: expr operator not |", {{VBAR, BINARY_OR}}},
    {xor_expr, "com_xor_expr: operator not ^", {{CIRCUMFLEX, BINARY_XOR}}},
    {and_expr, "com_and_expr: operator not &", {{AMPER, BINARY_AND}}},
    {shift_expr,
     "com_shift_expr: operator not << or >>",
     {{LEFTSHIFT, BINARY_LSHIFT}, {RIGHTSHIFT, BINARY_RSHIFT}}},
    {arith_expr,
     "com_arith_expr: operator not + or -",
     {{PLUS, BINARY_ADD}, {MINUS, BINARY_SUBTRACT}}},
    {term,
     "com_term: operator not *, /, // or %",
     {{STAR, BINARY_MULTIPLY},
      {SLASH, BINARY_DIVIDE},
      {PERCENT, BINARY_MODULO},
      {DOUBLESLASH, BINARY_FLOOR_DIVIDE}}},
};

void com_binary(Compiling *c, node *n, const BinaryRule &rule)
{
    com_node(c, CHILD(n, 0));
    for (int i = 2; i < NCH(n); i += 2) {
        com_node(c, CHILD(n, i));
        int token = TYPE(CHILD(n, i - 1));
        int op = 0;
        for (const auto &o : rule.ops)
            if (o.opcode && o.token == token) op = o.opcode;
        if (op == BINARY_DIVIDE && (c->flags() & CO_FUTURE_DIVISION)) op = BINARY_TRUE_DIVIDE;
        if (op == 0) {
            com_error(c, ZvExc_SystemError, rule.error);
            op = BINARY_ADD;
        }
        com_addop(c, op);
    }
}

// The NUMBER token of a factor that is a bare number literal (no trailers,
// no power), or NULL.
node *bare_number(node *f)
{
    if (TYPE(f) != factor || NCH(f) != 1) return nullptr;
    node *p = CHILD(f, 0);
    if (TYPE(p) != power || NCH(p) != 1) return nullptr;
    node *a = CHILD(p, 0);
    if (NCH(a) != 1 || TYPE(CHILD(a, 0)) != NUMBER) return nullptr;
    return CHILD(a, 0);
}

// Whether negating the literal at compile time would lose its sign: texts
// starting with 0 (-0 and -0x10 are computed at run time) and floating
// zeros such as .0 or 0e3, whose negation is -0.0.
bool sign_must_survive(const char *s)
{
    if (s[0] == '0') return true;
    for (const char *p = s; *p; p++) {
        char ch = *p;
        if (ch == 'e' || ch == 'E' || ch == 'j' || ch == 'J') break;
        if (ch != '0' && ch != '.') return false;
    }
    return true;
}

void load_number(Compiling *c, const char *text)
{
    zv::Ref v(parsenumber(c, text));
    if (!v) {
        com_addoparg(c, LOAD_CONST, 0);
        return;
    }
    com_load_const(c, v.get());
}

void com_factor(Compiling *c, node *n)
{
    // factor: ('+'|'-'|'~') factor | power
    if (NCH(n) == 1) {
        com_node(c, CHILD(n, 0));
        return;
    }
    int op = TYPE(CHILD(n, 0));
    node *operand = CHILD(n, 1);
    if (node *num = bare_number(operand)) {
        const char *text = STR(num);
        if (op == PLUS) {
            load_number(c, text);
            return;
        }
        if (op == MINUS && !sign_must_survive(text)) {
            load_number(c, (std::string("-") + text).c_str());
            return;
        }
        if (op == TILDE) {
            zv::Ref v(parsenumber(c, text));
            if (!v) {
                com_addoparg(c, LOAD_CONST, 0);
                return;
            }
            zv::Ref inverted(ZvNumber_Invert(v.get()));
            if (inverted) {
                com_load_const(c, inverted.get());
                return;
            }
            // A literal without inversion (a float) fails when it runs.
            ZvErr_Clear();
            com_load_const(c, v.get());
            com_addop(c, UNARY_INVERT);
            return;
        }
    }
    com_node(c, operand);
    switch (op) {
    case PLUS: com_addop(c, UNARY_POSITIVE); break;
    case MINUS: com_addop(c, UNARY_NEGATIVE); break;
    case TILDE: com_addop(c, UNARY_INVERT); break;
    default: com_error(c, ZvExc_SystemError, "com_factor: operator not +, - or ~");
    }
}

void com_power(Compiling *c, node *n)
{
    // power: atom trailer* ['**' factor]
    com_atom(c, CHILD(n, 0));
    for (int i = 1; i < NCH(n); i++) {
        node *ch = CHILD(n, i);
        if (TYPE(ch) == DOUBLESTAR) {
            com_node(c, CHILD(n, i + 1));
            com_addop(c, BINARY_POWER);
            return;
        }
        com_apply_trailer(c, ch);
    }
}

// --- Atoms ---------------------------------------------------------------------------

void com_dictmaker(Compiling *c, node *n)
{
    // dictmaker: test ':' test (',' test ':' test)* [',']
    for (int i = 0; i + 2 < NCH(n); i += 4) {
        com_addop(c, DUP_TOP);
        com_node(c, CHILD(n, i));     // the key first,
        com_node(c, CHILD(n, i + 2)); // then its value
        com_addop(c, ROT_THREE);
        com_addop(c, STORE_SUBSCR);
    }
}

void com_listmaker(Compiling *c, node *n)
{
    // listmaker: test (list_for | (',' test)* [','])
    if (NCH(n) == 2 && TYPE(CHILD(n, 1)) == list_for) {
        com_list_comprehension(c, n);
        return;
    }
    int count = 0;
    for (int i = 0; i < NCH(n); i += 2, count++) com_node(c, CHILD(n, i));
    com_addoparg(c, BUILD_LIST, count);
}

void com_atom(Compiling *c, node *n)
{
    if (TYPE(n) != atom) {
        com_error(c, ZvExc_SystemError, "com_atom: unexpected node type");
        return;
    }
    node *ch = CHILD(n, 0);
    switch (TYPE(ch)) {
    case LPAR:
        if (TYPE(CHILD(n, 1)) == RPAR) {
            com_addoparg(c, BUILD_TUPLE, 0);
            return;
        }
        com_node(c, CHILD(n, 1)); // testlist_gexp
        return;
    case LSQB:
        if (TYPE(CHILD(n, 1)) == RSQB) {
            com_addoparg(c, BUILD_LIST, 0);
            return;
        }
        com_listmaker(c, CHILD(n, 1));
        return;
    case LBRACE:
        com_addoparg(c, BUILD_MAP, 0);
        if (TYPE(CHILD(n, 1)) == dictmaker) com_dictmaker(c, CHILD(n, 1));
        return;
    case BACKQUOTE:
        com_node(c, CHILD(n, 1));
        com_addop(c, UNARY_CONVERT);
        return;
    case NUMBER:
        load_number(c, STR(ch));
        return;
    case STRING: {
        zv::Ref v(parsestrplus(c, n));
        if (!v) {
            com_addoparg(c, LOAD_CONST, 0);
            return;
        }
        com_load_const(c, v.get());
        return;
    }
    case NAME:
        com_addop_varname(c, VAR_LOAD, STR(ch));
        return;
    default:
        com_error(c, ZvExc_SystemError, "com_atom: unexpected node type");
    }
}

// --- Trailers and subscripts --------------------------------------------------------

void com_apply_trailer(Compiling *c, node *n)
{
    // trailer: '(' [arglist] ')' | '[' subscriptlist ']' | '.' NAME
    switch (TYPE(CHILD(n, 0))) {
    case LPAR: com_call_function(c, NCH(n) == 3 ? CHILD(n, 1) : nullptr); return;
    case DOT: com_addopname(c, LOAD_ATTR, CHILD(n, 1)); return;
    case LSQB: com_subscriptlist(c, CHILD(n, 1), Use::Load, nullptr, 0); return;
    default: com_error(c, ZvExc_SystemError, "com_apply_trailer: unknown trailer type");
    }
}

// x[a:b], x[a:], x[:b], x[:]: one subscript with one colon and no step.
bool is_simple_slice(node *list)
{
    if (NCH(list) != 1) return false;
    node *sub = CHILD(list, 0);
    if (TYPE(CHILD(sub, 0)) == DOT) return false;
    bool colon = false;
    for (int i = 0; i < NCH(sub); i++) {
        if (TYPE(CHILD(sub, i)) == sliceop) return false;
        if (TYPE(CHILD(sub, i)) == COLON) colon = true;
    }
    return colon;
}

void com_simple_slice(Compiling *c, node *sub, Use use, node *augn, int inplace)
{
    // subscript: [test] ':' [test]
    int kind = 0; // 1: lower bound present, 2: upper bound present
    bool after_colon = false;
    for (int i = 0; i < NCH(sub); i++) {
        node *ch = CHILD(sub, i);
        if (TYPE(ch) == COLON) {
            after_colon = true;
            continue;
        }
        com_node(c, ch);
        kind |= after_colon ? 2 : 1;
    }
    static const int load[] = {SLICE_0, SLICE_1, SLICE_2, SLICE_3};
    static const int store[] = {STORE_SLICE_0, STORE_SLICE_1, STORE_SLICE_2, STORE_SLICE_3};
    static const int del[] = {DELETE_SLICE_0, DELETE_SLICE_1, DELETE_SLICE_2, DELETE_SLICE_3};
    switch (use) {
    case Use::Load: com_addop(c, load[kind]); return;
    case Use::Store: com_addop(c, store[kind]); return;
    case Use::Delete: com_addop(c, del[kind]); return;
    case Use::Augmented: break;
    }
    // The object and its bounds are evaluated once: duplicate them for the
    // slice, and rotate the new value under them for the store.
    if (kind == 0)
        com_addop(c, DUP_TOP);
    else
        com_addoparg(c, DUP_TOPX, kind == 3 ? 3 : 2);
    com_addop(c, load[kind]);
    com_node(c, augn);
    com_addop(c, inplace);
    static const int rot[] = {ROT_TWO, ROT_THREE, ROT_THREE, ROT_FOUR};
    com_addop(c, rot[kind]);
    com_addop(c, store[kind]);
}

void com_sliceobj(Compiling *c, node *n)
{
    // subscript: [test] ':' [test] [sliceop];  sliceop: ':' [test]
    int i = 0;
    if (TYPE(CHILD(n, 0)) == COLON) {
        com_load_none(c);
    } else {
        com_node(c, CHILD(n, 0));
        i++;
    }
    i++; // the colon
    if (i < NCH(n) && TYPE(CHILD(n, i)) == test) {
        com_node(c, CHILD(n, i));
        i++;
    } else {
        com_load_none(c);
    }
    if (i < NCH(n) && TYPE(CHILD(n, i)) == sliceop) {
        node *step = CHILD(n, i);
        if (NCH(step) == 2)
            com_node(c, CHILD(step, 1));
        else
            com_load_none(c);
        com_addoparg(c, BUILD_SLICE, 3);
        return;
    }
    com_addoparg(c, BUILD_SLICE, 2);
}

void com_subscript(Compiling *c, node *n)
{
    // subscript: '.' '.' '.' | test | [test] ':' [test] [sliceop]
    if (TYPE(CHILD(n, 0)) == DOT)
        com_load_const(c, Zv_Ellipsis);
    else if (NCH(n) == 1 && TYPE(CHILD(n, 0)) == test)
        com_node(c, CHILD(n, 0));
    else
        com_sliceobj(c, n);
}

void com_subscriptlist(Compiling *c, node *n, Use use, node *augn, int inplace)
{
    // subscriptlist: subscript (',' subscript)* [',']
    if (is_simple_slice(n)) {
        com_simple_slice(c, CHILD(n, 0), use, augn, inplace);
        return;
    }
    int count = 0;
    for (int i = 0; i < NCH(n); i += 2, count++) com_subscript(c, CHILD(n, i));
    if (NCH(n) > 1) com_addoparg(c, BUILD_TUPLE, count);
    switch (use) {
    case Use::Load: com_addop(c, BINARY_SUBSCR); return;
    case Use::Store: com_addop(c, STORE_SUBSCR); return;
    case Use::Delete: com_addop(c, DELETE_SUBSCR); return;
    case Use::Augmented:
        com_addoparg(c, DUP_TOPX, 2);
        com_addop(c, BINARY_SUBSCR);
        com_node(c, augn);
        com_addop(c, inplace);
        com_addop(c, ROT_THREE);
        com_addop(c, STORE_SUBSCR);
        return;
    }
}

// --- Calls ------------------------------------------------------------------------------

// One argument; returns true for a keyword argument.
bool com_argument(Compiling *c, node *n, std::vector<std::string> &keywords)
{
    // argument: test [gen_for] | test '=' test ['(' gen_for ')']
    if (NCH(n) == 1) {
        com_node(c, CHILD(n, 0));
        return false;
    }
    if (NCH(n) == 2) {
        com_generator_expression(c, n);
        return false;
    }
    // The grammar lets a parenthesised generator clause follow a keyword
    // value; it has no meaning and is not silently dropped.
    if (NCH(n) > 3) com_error(c, ZvExc_SyntaxError, "invalid syntax");
    node *m = n;
    do {
        m = CHILD(m, 0);
    } while (NCH(m) == 1);
    if (TYPE(m) != NAME) {
        com_error(c, ZvExc_SyntaxError,
                  TYPE(m) == lambdef ? "lambda cannot contain assignment"
                                     : "keyword can't be an expression");
    } else if (!std::strcmp(STR(m), "None")) {
        com_error(c, ZvExc_SyntaxError, "assignment to None");
    } else {
        for (const auto &k : keywords) {
            if (k == STR(m)) {
                com_error(c, ZvExc_SyntaxError, "duplicate keyword argument");
                break;
            }
        }
        keywords.emplace_back(STR(m));
        zv::Ref name(ZvString_InternFromString(STR(m)));
        if (name)
            com_load_const(c, name.get());
        else
            com_failed(c);
    }
    com_node(c, CHILD(n, 2));
    return true;
}

} // namespace

void com_call_function(Compiling *c, node *n)
{
    if (n == nullptr) {
        com_addoparg(c, CALL_FUNCTION, 0);
        return;
    }
    // arglist: (argument ',')* (argument [','] | '*' test [',' '**' test] | '**' test)
    std::vector<std::string> keywords;
    int npositional = 0, nkeywords = 0;
    bool star = false, dstar = false;
    for (int i = 0; i < NCH(n); i++) {
        node *ch = CHILD(n, i);
        if (TYPE(ch) == COMMA) continue;
        if (TYPE(ch) == STAR || TYPE(ch) == DOUBLESTAR) {
            (TYPE(ch) == STAR ? star : dstar) = true;
            com_node(c, CHILD(n, ++i));
            continue;
        }
        // An argument that starts on another line than the current one
        // gets a line entry of its own.
        if (LINENO(ch) != c->c_lineno) com_set_lineno(c, LINENO(ch));
        if (com_argument(c, ch, keywords)) {
            nkeywords++;
        } else {
            if (nkeywords)
                com_error(c, ZvExc_SyntaxError, "non-keyword arg after keyword arg");
            npositional++;
        }
    }
    if (npositional > 255 || nkeywords > 255) {
        com_error(c, ZvExc_SyntaxError, "more than 255 arguments");
        npositional &= 0xff;
        nkeywords &= 0xff;
    }
    int op = star ? (dstar ? CALL_FUNCTION_VAR_KW : CALL_FUNCTION_VAR)
                  : (dstar ? CALL_FUNCTION_KW : CALL_FUNCTION);
    com_addoparg(c, op, (nkeywords << 8) | npositional);
}

// --- Functions, lambda and generator expressions ---------------------------------------

int com_argdefs(Compiling *c, node *n)
{
    node *args = nullptr;
    if (TYPE(n) == lambdef) {
        // lambdef: 'lambda' [varargslist] ':' test
        if (NCH(n) == 4) args = CHILD(n, 1);
    } else {
        // funcdef: [decorators] 'def' NAME parameters ':' suite
        node *params = RCHILD(n, -3);
        if (NCH(params) == 3) args = CHILD(params, 1);
    }
    if (args == nullptr) return 0;
    // varargslist: (fpdef ['=' test] ',')* ('*' NAME [',' '**' NAME] | '**' NAME)
    //            | fpdef ['=' test] (',' fpdef ['=' test])* [',']
    int ndefs = 0;
    for (int i = 0; i < NCH(args); i++) {
        int t = TYPE(CHILD(args, i));
        if (t == STAR || t == DOUBLESTAR) break;
        if (t != fpdef) continue;
        if (i + 1 < NCH(args) && TYPE(CHILD(args, i + 1)) == EQUAL) {
            com_node(c, CHILD(args, i + 2));
            ndefs++;
            i += 2;
        } else if (ndefs) {
            com_error(c, ZvExc_SyntaxError, "non-default argument follows default argument");
        }
    }
    return ndefs;
}

void com_make_closure(Compiling *c, ZvObject *code, int ndefaults)
{
    if (code == nullptr) {
        // The nested block failed: keep the stack count as if it had not.
        com_pop(c, ndefaults);
        com_push(c, 1);
        return;
    }
    ZvObject *freevars = ((ZvCodeObject *)code)->co_freevars;
    int nfree = ZvTuple_GET_SIZE(freevars);
    if (nfree == 0) {
        com_load_const(c, code);
        com_addoparg(c, MAKE_FUNCTION, ndefaults);
        return;
    }
    for (int i = 0; i < nfree; i++) {
        const char *name = ZvString_AS_STRING(ZvTuple_GET_ITEM(freevars, i));
        // A class body can bind a name that its methods take from an
        // enclosing function: the name is then local to the class (for the
        // class's own lookups) and free as well (for the closure).
        int reftype = com_ref_type(c, name);
        ZvObject *table = reftype == CELL ? c->c_sym.c_cellvars : c->c_sym.c_freevars;
        ZvObject *index = reftype >= 0 ? ZvDict_GetItemString(table, name) : nullptr;
        if (index == nullptr) {
            if (reftype >= 0) {
                char msg[400];
                std::snprintf(msg, sizeof msg, "lookup %.100s in %.100s %d: not a cell", name,
                              c->c_name, reftype);
                com_error(c, ZvExc_SystemError, msg);
            }
            com_addoparg(c, LOAD_CLOSURE, 0);
            continue;
        }
        com_addoparg(c, LOAD_CLOSURE, (int)ZvInt_AS_LONG(index));
    }
    com_load_const(c, code);
    com_addoparg(c, MAKE_CLOSURE, ndefaults);
    com_pop(c, nfree); // the cells, which the opcode table cannot count
}

namespace {

void com_lambda(Compiling *c, node *n)
{
    int ndefs = com_argdefs(c, n);
    zv::Ref code(com_nested_block(c, n));
    com_make_closure(c, code.get(), ndefs);
}

void com_generator_expression(Compiling *c, node *n)
{
    // (testlist_gexp | argument): test gen_for
    zv::Ref code(com_nested_block(c, n));
    com_make_closure(c, code.get(), 0);
    node *outer = CHILD(n, 1); // gen_for: 'for' exprlist 'in' test [gen_iter]
    com_node(c, CHILD(outer, 3));
    com_addop(c, GET_ITER);
    com_addoparg(c, CALL_FUNCTION, 1);
}

// if clauses of comprehensions and generator expressions:
// test, JUMP_IF_FALSE skip, POP_TOP, inner, JUMP_FORWARD end, skip: POP_TOP.
template <typename Inner>
void com_if_clause(Compiling *c, node *n, Inner inner)
{
    // list_if / gen_if: 'if' test [list_iter | gen_iter]
    int skip = 0, end = 0;
    com_node(c, CHILD(n, 1));
    com_addfwref(c, JUMP_IF_FALSE, &skip);
    com_addop(c, POP_TOP);
    inner(NCH(n) == 3 ? CHILD(n, 2) : nullptr);
    com_addfwref(c, JUMP_FORWARD, &end);
    com_backpatch(c, skip);
    com_push(c, 1); // the false test value
    com_addop(c, POP_TOP);
    com_backpatch(c, end);
}

void com_list_iter(Compiling *c, node *n, node *e, const char *t);

void com_list_for(Compiling *c, node *n, node *e, const char *t)
{
    // list_for: 'for' exprlist 'in' testlist_safe [list_iter]
    int anchor = 0;
    int save_begin = c->c_begin;
    com_node(c, CHILD(n, 3));
    com_addop(c, GET_ITER);
    c->c_begin = c->c_nexti;
    com_addfwref(c, FOR_ITER, &anchor);
    com_assign(c, CHILD(n, 1), ASSIGN_STORE);
    c->c_loops++;
    com_list_iter(c, NCH(n) == 5 ? CHILD(n, 4) : nullptr, e, t);
    c->c_loops--;
    com_addoparg(c, JUMP_ABSOLUTE, c->c_begin);
    c->c_begin = save_begin;
    com_backpatch(c, anchor);
    com_pop(c, 1); // FOR_ITER popped the exhausted iterator
}

void com_list_iter(Compiling *c, node *n, node *e, const char *t)
{
    if (n == nullptr) {
        // The innermost clause: append the element to the hidden list.
        com_addop_varname(c, VAR_LOAD, t);
        com_node(c, e);
        com_addop(c, LIST_APPEND);
        return;
    }
    if (TYPE(n) == list_iter) n = CHILD(n, 0);
    if (TYPE(n) == list_for) {
        com_list_for(c, n, e, t);
    } else if (TYPE(n) == list_if) {
        com_if_clause(c, n, [&](node *inner) { com_list_iter(c, inner, e, t); });
    } else {
        com_error(c, ZvExc_SystemError, "invalid list_iter node type");
    }
}

void com_list_comprehension(Compiling *c, node *n)
{
    // listmaker: test list_for
    char tmpname[32];
    std::snprintf(tmpname, sizeof tmpname, "_[%d]", ++c->c_tmpname);
    com_addoparg(c, BUILD_LIST, 0);
    com_addop(c, DUP_TOP);
    com_addop_varname(c, VAR_STORE, tmpname);
    com_list_for(c, CHILD(n, 1), CHILD(n, 0), tmpname);
    com_addop_varname(c, VAR_DELETE, tmpname);
    c->c_tmpname--;
}

void com_gen_iter(Compiling *c, node *n, node *e);

void com_gen_for(Compiling *c, node *n, node *e, bool outermost)
{
    // gen_for: 'for' exprlist 'in' test [gen_iter]
    int break_anchor = 0, anchor = 0;
    int save_begin = c->c_begin;
    com_addfwref(c, SETUP_LOOP, &break_anchor);
    block_push(c, SETUP_LOOP);
    if (outermost) {
        // The enclosing block evaluated the outermost sequence and passes
        // its iterator as the one parameter.
        com_addop_varname(c, VAR_LOAD, "[outmost-iterable]");
    } else {
        com_node(c, CHILD(n, 3));
        com_addop(c, GET_ITER);
    }
    c->c_begin = c->c_nexti;
    com_set_lineno(c, c->c_last_line);
    com_addfwref(c, FOR_ITER, &anchor);
    com_assign(c, CHILD(n, 1), ASSIGN_STORE);
    c->c_loops++;
    com_gen_iter(c, NCH(n) == 5 ? CHILD(n, 4) : nullptr, e);
    c->c_loops--;
    com_addoparg(c, JUMP_ABSOLUTE, c->c_begin);
    c->c_begin = save_begin;
    com_backpatch(c, anchor);
    com_pop(c, 1); // FOR_ITER popped the exhausted iterator
    com_addop(c, POP_BLOCK);
    block_pop(c, SETUP_LOOP);
    com_backpatch(c, break_anchor);
}

void com_gen_iter(Compiling *c, node *n, node *e)
{
    if (n == nullptr) {
        com_node(c, e);
        com_addop(c, YIELD_VALUE);
        com_addop(c, POP_TOP);
        return;
    }
    if (TYPE(n) == gen_iter) n = CHILD(n, 0);
    if (TYPE(n) == gen_for) {
        com_gen_for(c, n, e, false);
    } else if (TYPE(n) == gen_if) {
        com_if_clause(c, n, [&](node *inner) { com_gen_iter(c, inner, e); });
    } else {
        com_error(c, ZvExc_SystemError, "invalid gen_iter node type");
    }
}

} // namespace

void com_genexp_body(Compiling *c, node *n)
{
    com_gen_for(c, CHILD(n, 1), CHILD(n, 0), true);
}

// --- Expression lists and dispatch ---------------------------------------------------

void com_list(Compiling *c, node *n)
{
    // testlist, exprlist, testlist_safe, testlist1, testlist_gexp: a single
    // item without trailing comma is that item, anything else a tuple.
    if (NCH(n) == 1) {
        com_node(c, CHILD(n, 0));
        return;
    }
    int count = 0;
    for (int i = 0; i < NCH(n); i += 2, count++) com_node(c, CHILD(n, i));
    com_addoparg(c, BUILD_TUPLE, count);
}

void com_expr(Compiling *c, node *n)
{
    switch (TYPE(n)) {
    case testlist:
    case exprlist:
    case testlist_safe:
    case testlist1:
        com_list(c, n);
        return;
    case testlist_gexp:
        if (NCH(n) == 2 && TYPE(CHILD(n, 1)) == gen_for)
            com_generator_expression(c, n);
        else
            com_list(c, n);
        return;
    case test: com_test(c, n); return;
    case lambdef: com_lambda(c, n); return;
    case and_test:
        if (NCH(n) == 1)
            com_node(c, CHILD(n, 0));
        else
            com_shortcircuit(c, n, JUMP_IF_FALSE);
        return;
    case not_test:
        // not_test: 'not' not_test | comparison
        if (NCH(n) == 2) {
            com_node(c, CHILD(n, 1));
            com_addop(c, UNARY_NOT);
        } else {
            com_node(c, CHILD(n, 0));
        }
        return;
    case comparison: com_comparison(c, n); return;
    case factor: com_factor(c, n); return;
    case power: com_power(c, n); return;
    case atom: com_atom(c, n); return;
    default: break;
    }
    for (const auto &rule : kBinaryRules) {
        if (rule.node_type == TYPE(n)) {
            com_binary(c, n, rule);
            return;
        }
    }
    com_error(c, ZvExc_SystemError, "com_node: unexpected node type");
}

void com_node(Compiling *c, node *n)
{
    // A block with an error yields no code: the rest of it is not
    // generated, so nothing runs with the first error's exception pending
    // (and nothing replaces it).
    if (c->c_errors) return;
    if (com_is_stmt(TYPE(n)))
        com_stmt(c, n);
    else
        com_expr(c, n);
}

bool is_string_atom(node *n)
{
    while (NCH(n) == 1 && TYPE(n) != atom && ISNONTERMINAL(TYPE(n))) n = CHILD(n, 0);
    return TYPE(n) == atom && TYPE(CHILD(n, 0)) == STRING;
}

int com_augassign_op(Compiling *c, node *n)
{
    switch (TYPE(CHILD(n, 0))) {
    case PLUSEQUAL: return INPLACE_ADD;
    case MINEQUAL: return INPLACE_SUBTRACT;
    case STAREQUAL: return INPLACE_MULTIPLY;
    case SLASHEQUAL:
        return (c->flags() & CO_FUTURE_DIVISION) ? INPLACE_TRUE_DIVIDE : INPLACE_DIVIDE;
    case DOUBLESLASHEQUAL: return INPLACE_FLOOR_DIVIDE;
    case PERCENTEQUAL: return INPLACE_MODULO;
    case DOUBLESTAREQUAL: return INPLACE_POWER;
    case LEFTSHIFTEQUAL: return INPLACE_LSHIFT;
    case RIGHTSHIFTEQUAL: return INPLACE_RSHIFT;
    case AMPEREQUAL: return INPLACE_AND;
    case CIRCUMFLEXEQUAL: return INPLACE_XOR;
    case VBAREQUAL: return INPLACE_OR;
    default:
        com_error(c, ZvExc_SystemError, "com_augassign: bad operator");
        return INPLACE_ADD;
    }
}

// --- Assignment targets ---------------------------------------------------------------

namespace {

void com_assign_sequence(Compiling *c, node *n, AssignKind kind)
{
    if (kind == ASSIGN_STORE) com_addoparg(c, UNPACK_SEQUENCE, (NCH(n) + 1) / 2);
    for (int i = 0; i < NCH(n); i += 2) com_assign(c, CHILD(n, i), kind);
}

void com_assign_attr(Compiling *c, node *name, AssignKind kind, node *augn, int inplace)
{
    if (!std::strcmp(STR(name), "None")) {
        com_error(c, ZvExc_SyntaxError,
                  kind == ASSIGN_DELETE ? "deleting None" : "assignment to None");
        return;
    }
    switch (kind) {
    case ASSIGN_STORE: com_addopname(c, STORE_ATTR, name); return;
    case ASSIGN_DELETE: com_addopname(c, DELETE_ATTR, name); return;
    case ASSIGN_AUGMENTED:
        com_addop(c, DUP_TOP);
        com_addopname(c, LOAD_ATTR, name);
        com_node(c, augn);
        com_addop(c, inplace);
        com_addop(c, ROT_TWO);
        com_addopname(c, STORE_ATTR, name);
        return;
    }
}

void com_assign_trailer(Compiling *c, node *n, AssignKind kind, node *augn, int inplace)
{
    switch (TYPE(CHILD(n, 0))) {
    case LPAR:
        com_error(c, ZvExc_SyntaxError,
                  kind == ASSIGN_DELETE ? "can't delete function call"
                                        : "can't assign to function call");
        return;
    case DOT: com_assign_attr(c, CHILD(n, 1), kind, augn, inplace); return;
    case LSQB: com_subscriptlist(c, CHILD(n, 1), use_of(kind), augn, inplace); return;
    default: com_error(c, ZvExc_SystemError, "unknown trailer type");
    }
}

void com_assign_name(Compiling *c, node *n, AssignKind kind, node *augn, int inplace)
{
    switch (kind) {
    case ASSIGN_STORE: com_addop_varname(c, VAR_STORE, STR(n)); return;
    case ASSIGN_DELETE: com_addop_varname(c, VAR_DELETE, STR(n)); return;
    case ASSIGN_AUGMENTED:
        com_addop_varname(c, VAR_LOAD, STR(n));
        com_node(c, augn);
        com_addop(c, inplace);
        com_addop_varname(c, VAR_STORE, STR(n));
        return;
    }
}

} // namespace

void com_assign(Compiling *c, node *n, AssignKind kind, node *augn, int inplace)
{
    bool augmented = kind == ASSIGN_AUGMENTED;
    for (;;) {
        switch (TYPE(n)) {
        case exprlist:
        case testlist:
        case testlist1:
        case testlist_safe:
        case testlist_gexp:
            if (NCH(n) > 1) {
                if (TYPE(CHILD(n, 1)) == gen_for) {
                    com_error(c, ZvExc_SyntaxError,
                              augmented ? "augmented assign to generator expression not possible"
                                        : "assign to generator expression not possible");
                    return;
                }
                if (augmented) {
                    com_error(c, ZvExc_SyntaxError,
                              "augmented assign to tuple literal or generator expression "
                              "not possible");
                    return;
                }
                com_assign_sequence(c, n, kind);
                return;
            }
            n = CHILD(n, 0);
            continue;
        case listmaker:
            if (augmented) {
                com_error(c, ZvExc_SyntaxError,
                          "augmented assign to list literal or comprehension not possible");
                return;
            }
            if (NCH(n) > 1 && TYPE(CHILD(n, 1)) == list_for) {
                com_error(c, ZvExc_SyntaxError, "can't assign to list comprehension");
                return;
            }
            com_assign_sequence(c, n, kind);
            return;
        case test:
        case and_test:
        case not_test:
        case comparison:
        case expr:
        case xor_expr:
        case and_expr:
        case shift_expr:
        case arith_expr:
        case term:
        case factor:
            if (NCH(n) > 1) {
                com_error(c, ZvExc_SyntaxError, "can't assign to operator");
                return;
            }
            n = CHILD(n, 0);
            continue;
        case power:
            if (NCH(n) > 1 && TYPE(RCHILD(n, -2)) == DOUBLESTAR) {
                com_error(c, ZvExc_SyntaxError, "can't assign to operator");
                return;
            }
            if (NCH(n) > 1) {
                com_atom(c, CHILD(n, 0));
                for (int i = 1; i < NCH(n) - 1; i++) com_apply_trailer(c, CHILD(n, i));
                com_assign_trailer(c, RCHILD(n, -1), kind, augn, inplace);
                return;
            }
            n = CHILD(n, 0);
            continue;
        case atom:
            switch (TYPE(CHILD(n, 0))) {
            case LPAR:
                if (TYPE(CHILD(n, 1)) == RPAR) {
                    com_error(c, ZvExc_SyntaxError, "can't assign to ()");
                    return;
                }
                n = CHILD(n, 1);
                continue;
            case LSQB:
                if (TYPE(CHILD(n, 1)) == RSQB) {
                    com_error(c, ZvExc_SyntaxError, "can't assign to []");
                    return;
                }
                n = CHILD(n, 1);
                continue;
            case NAME: com_assign_name(c, CHILD(n, 0), kind, augn, inplace); return;
            default: com_error(c, ZvExc_SyntaxError, "can't assign to literal"); return;
            }
        case lambdef: com_error(c, ZvExc_SyntaxError, "can't assign to lambda"); return;
        default: com_error(c, ZvExc_SystemError, "com_assign: bad node"); return;
        }
    }
}

} // namespace zv::compiler
