// Statements: simple statements, the control-flow statements with their
// loop and handler blocks, def and class.
//
// Loops and try statements push their setup opcode on the record's static
// block stack (c_block), which decides what `continue` compiles to and
// where `yield` is allowed; the body of a `finally` clause is marked with
// END_FINALLY while it is generated.  A handler is entered with three more
// values on the stack than the protected body had (traceback, value and
// type), which the depth tracking counts at the handler's label.
#include <cstdio>
#include <cstring>

#include "compile_internal.h"
#include "nodequery.h"
#include "zvref.h"

extern "C" {
#include "zuvo.h"
#include "graminit.h"
#include "opcode.h"
#include "token.h"
}

namespace zv::compiler {

namespace {

void com_expr_stmt(Compiling *c, node *n)
{
    // expr_stmt: testlist (augassign testlist | ('=' testlist)*)
    if (NCH(n) == 1) {
        // A bare string is a docstring or a comment: nothing to run.
        if (!c->c_interactive && is_string_atom(CHILD(n, 0))) return;
        com_node(c, CHILD(n, 0));
        com_addop(c, c->c_interactive ? PRINT_EXPR : POP_TOP);
        return;
    }
    if (TYPE(CHILD(n, 1)) == augassign) {
        int op = com_augassign_op(c, CHILD(n, 1));
        com_assign(c, CHILD(n, 0), ASSIGN_AUGMENTED, CHILD(n, 2), op);
        return;
    }
    com_node(c, RCHILD(n, -1));
    for (int i = 0; i < NCH(n) - 2; i += 2) {
        if (i + 2 < NCH(n) - 1) com_addop(c, DUP_TOP);
        com_assign(c, CHILD(n, i), ASSIGN_STORE);
    }
}

void com_print_stmt(Compiling *c, node *n)
{
    // print_stmt: 'print' ( [ test (',' test)* [','] ] | '>>' test [ (',' test)+ [','] ] )
    bool newline = TYPE(RCHILD(n, -1)) != COMMA;
    if (NCH(n) > 1 && TYPE(CHILD(n, 1)) == RIGHTSHIFT) {
        // The stream is evaluated once and kept under each item.
        com_node(c, CHILD(n, 2));
        for (int i = 4; i < NCH(n); i += 2) {
            com_addop(c, DUP_TOP);
            com_node(c, CHILD(n, i));
            com_addop(c, ROT_TWO);
            com_addop(c, PRINT_ITEM_TO);
        }
        com_addop(c, newline ? PRINT_NEWLINE_TO : POP_TOP);
        return;
    }
    for (int i = 1; i < NCH(n); i += 2) {
        com_node(c, CHILD(n, i));
        com_addop(c, PRINT_ITEM);
    }
    if (newline) com_addop(c, PRINT_NEWLINE);
}

void com_continue_stmt(Compiling *c)
{
    int i = c->c_nblocks - 1;
    if (i >= 0 && c->c_block[i] == SETUP_LOOP) {
        com_addoparg(c, JUMP_ABSOLUTE, c->c_begin);
        return;
    }
    int loop = i;
    while (loop >= 0 && c->c_block[loop] != SETUP_LOOP) loop--;
    if (loop < 0) {
        com_error(c, ZvExc_SyntaxError, "'continue' not properly in loop");
        return;
    }
    // Inside a finally body the stack holds what the finally machinery
    // saved, and a jump back to the loop would leave it behind: refuse it
    // whatever try blocks lie nearer.
    for (int j = i; j > loop; j--) {
        if (c->c_block[j] == END_FINALLY) {
            com_error(c, ZvExc_SyntaxError, "'continue' not supported inside 'finally' clause");
            return;
        }
    }
    // The try blocks in between must be unwound first.
    com_addoparg(c, CONTINUE_LOOP, c->c_begin);
}

void com_return_stmt(Compiling *c, node *n)
{
    // return_stmt: 'return' [testlist]
    if (!c->c_infunction) com_error(c, ZvExc_SyntaxError, "'return' outside function");
    if (NCH(n) < 2) {
        com_load_none(c);
    } else {
        if (c->flags() & CO_GENERATOR)
            com_error(c, ZvExc_SyntaxError, "'return' with argument inside generator");
        com_node(c, CHILD(n, 1));
    }
    com_addop(c, RETURN_VALUE);
}

void com_yield_stmt(Compiling *c, node *n)
{
    // yield_stmt: 'yield' testlist
    if (!c->c_infunction) com_error(c, ZvExc_SyntaxError, "'yield' outside function");
    for (int i = 0; i < c->c_nblocks; i++) {
        if (c->c_block[i] == SETUP_FINALLY) {
            com_error(c, ZvExc_SyntaxError,
                      "'yield' not allowed in a 'try' block with a 'finally' clause");
            break;
        }
    }
    com_node(c, CHILD(n, 1));
    com_addop(c, YIELD_VALUE);
    com_addop(c, POP_TOP);
}

void com_raise_stmt(Compiling *c, node *n)
{
    // raise_stmt: 'raise' [test [',' test [',' test]]]
    for (int i = 1; i < NCH(n); i += 2) com_node(c, CHILD(n, i));
    com_addoparg(c, RAISE_VARARGS, NCH(n) / 2);
}

void com_exec_stmt(Compiling *c, node *n)
{
    // exec_stmt: 'exec' expr ['in' test [',' test]]
    com_node(c, CHILD(n, 1));
    if (NCH(n) >= 4)
        com_node(c, CHILD(n, 3));
    else
        com_load_none(c);
    if (NCH(n) >= 6)
        com_node(c, CHILD(n, 5));
    else
        com_addop(c, DUP_TOP);
    com_addop(c, EXEC_STMT);
}

void com_assert_stmt(Compiling *c, node *n)
{
    // assert_stmt: 'assert' test [',' test]
    if (Zv_OptimizeFlag) return;
    int end = 0;
    com_node(c, CHILD(n, 1));
    com_addfwref(c, JUMP_IF_TRUE, &end);
    com_addop(c, POP_TOP);
    com_addopnamestr(c, LOAD_GLOBAL, "AssertionError");
    if (NCH(n) == 4) {
        com_node(c, CHILD(n, 3));
        com_addoparg(c, RAISE_VARARGS, 2);
    } else {
        com_addoparg(c, RAISE_VARARGS, 1);
    }
    com_backpatch(c, end);
    com_push(c, 1); // the true test value
    com_addop(c, POP_TOP);
}

// `NAME [NAME NAME]`: the middle name must be `as`.
bool check_as(Compiling *c, node *n)
{
    if (NCH(n) == 3 && std::strcmp(STR(CHILD(n, 1)), "as") != 0) {
        com_error(c, ZvExc_SyntaxError, "invalid syntax");
        return false;
    }
    return true;
}

void com_import_name(Compiling *c, node *n)
{
    // import_name: 'import' dotted_as_names
    node *names = CHILD(n, 1);
    for (int i = 0; i < NCH(names); i += 2) {
        node *sub = CHILD(names, i); // dotted_as_name: dotted_name [NAME NAME]
        if (!check_as(c, sub)) continue;
        node *dotted = CHILD(sub, 0);
        com_load_none(c);
        com_addopname(c, IMPORT_NAME, dotted);
        if (NCH(sub) == 3) {
            // import a.b.c as n binds the innermost module.
            for (int j = 2; j < NCH(dotted); j += 2) com_addopname(c, LOAD_ATTR, CHILD(dotted, j));
            com_addop_varname(c, VAR_STORE, STR(CHILD(sub, 2)));
        } else {
            com_addop_varname(c, VAR_STORE, STR(CHILD(dotted, 0)));
        }
    }
}

void com_import_from(Compiling *c, node *n)
{
    // import_from: 'from' dotted_name 'import' ('*' | '(' import_as_names ')' | import_as_names)
    node *what = CHILD(n, 3);
    if (TYPE(what) == STAR) {
        zv::Ref star(ZvString_InternFromString("*"));
        zv::Ref fromlist(star ? ZvTuple_Pack(1, star.get()) : nullptr);
        if (!fromlist) {
            com_failed(c);
            return;
        }
        com_load_const(c, fromlist.get());
        com_addopname(c, IMPORT_NAME, CHILD(n, 1));
        com_addop(c, IMPORT_STAR);
        return;
    }
    node *names = what;
    if (TYPE(what) == LPAR) {
        names = CHILD(n, 4);
    } else if (TYPE(RCHILD(names, -1)) == COMMA) {
        com_error(c, ZvExc_SyntaxError,
                  "trailing comma not allowed without surrounding parentheses");
        return;
    }
    // import_as_names: import_as_name (',' import_as_name)* [',']
    int count = (NCH(names) + 1) / 2;
    zv::Ref fromlist(ZvTuple_New(count));
    if (!fromlist) {
        com_failed(c);
        return;
    }
    for (int i = 0; i < count; i++) {
        ZvObject *s = ZvString_InternFromString(STR(CHILD(CHILD(names, 2 * i), 0)));
        if (s == nullptr) {
            com_failed(c);
            return;
        }
        ZvTuple_SET_ITEM(fromlist.get(), i, s);
    }
    com_load_const(c, fromlist.get());
    com_addopname(c, IMPORT_NAME, CHILD(n, 1));
    for (int i = 0; i < NCH(names); i += 2) {
        node *sub = CHILD(names, i); // import_as_name: NAME [NAME NAME]
        if (!check_as(c, sub)) continue;
        com_addopname(c, IMPORT_FROM, CHILD(sub, 0));
        com_addop_varname(c, VAR_STORE, STR(CHILD(sub, NCH(sub) == 3 ? 2 : 0)));
    }
    com_addop(c, POP_TOP);
}

// A `return` with a value outside nested def, class and lambda.
bool has_valued_return(node *n)
{
    switch (TYPE(n)) {
    case return_stmt: return NCH(n) > 1;
    case funcdef:
    case classdef:
    case lambdef: return false;
    default:
        for (int i = 0; i < NCH(n); i++)
            if (has_valued_return(CHILD(n, i))) return true;
        return false;
    }
}

void com_if_stmt(Compiling *c, node *n)
{
    // if_stmt: 'if' test ':' suite ('elif' test ':' suite)* ['else' ':' suite]
    int end = 0;
    int i = 0;
    for (; i + 3 < NCH(n); i += 4) {
        node *t = CHILD(n, i + 1);
        if (zv::node_is_constant_false(t)) {
            // Dead code still may not break the generator rules.
            if ((c->flags() & CO_GENERATOR) && has_valued_return(CHILD(n, i + 3)))
                com_error(c, ZvExc_SyntaxError, "'return' with argument inside generator");
            continue;
        }
        int next = 0;
        com_set_lineno(c, LINENO(t));
        com_node(c, t);
        com_addfwref(c, JUMP_IF_FALSE, &next);
        com_addop(c, POP_TOP);
        com_node(c, CHILD(n, i + 3));
        com_addfwref(c, JUMP_FORWARD, &end);
        com_backpatch(c, next);
        com_push(c, 1); // the false test value
        com_addop(c, POP_TOP);
    }
    if (i + 2 < NCH(n)) com_node(c, CHILD(n, i + 2));
    com_backpatch(c, end);
}

void com_while_stmt(Compiling *c, node *n)
{
    // while_stmt: 'while' test ':' suite ['else' ':' suite]
    int break_anchor = 0, exit = 0;
    int save_begin = c->c_begin;
    com_addfwref(c, SETUP_LOOP, &break_anchor);
    block_push(c, SETUP_LOOP);
    c->c_begin = c->c_nexti;
    com_set_lineno(c, LINENO(n));
    com_node(c, CHILD(n, 1));
    com_addfwref(c, JUMP_IF_FALSE, &exit);
    com_addop(c, POP_TOP);
    c->c_loops++;
    com_node(c, CHILD(n, 3));
    c->c_loops--;
    com_addoparg(c, JUMP_ABSOLUTE, c->c_begin);
    c->c_begin = save_begin;
    com_backpatch(c, exit);
    com_push(c, 1); // the false test value
    com_addop(c, POP_TOP);
    com_addop(c, POP_BLOCK);
    block_pop(c, SETUP_LOOP);
    if (NCH(n) > 4) com_node(c, CHILD(n, 6));
    com_backpatch(c, break_anchor);
}

void com_for_stmt(Compiling *c, node *n)
{
    // for_stmt: 'for' exprlist 'in' testlist ':' suite ['else' ':' suite]
    int break_anchor = 0, exit = 0;
    int save_begin = c->c_begin;
    com_addfwref(c, SETUP_LOOP, &break_anchor);
    block_push(c, SETUP_LOOP);
    com_node(c, CHILD(n, 3));
    com_addop(c, GET_ITER);
    c->c_begin = c->c_nexti;
    com_set_lineno(c, c->c_last_line);
    com_addfwref(c, FOR_ITER, &exit);
    com_assign(c, CHILD(n, 1), ASSIGN_STORE);
    c->c_loops++;
    com_node(c, CHILD(n, 5));
    c->c_loops--;
    com_addoparg(c, JUMP_ABSOLUTE, c->c_begin);
    c->c_begin = save_begin;
    com_backpatch(c, exit);
    com_pop(c, 1); // FOR_ITER popped the exhausted iterator
    com_addop(c, POP_BLOCK);
    block_pop(c, SETUP_LOOP);
    if (NCH(n) > 6) com_node(c, CHILD(n, 8));
    com_backpatch(c, break_anchor);
}

void com_try_except(Compiling *c, node *n)
{
    // try_stmt: 'try' ':' suite (except_clause ':' suite)+ ['else' ':' suite]
    int base = c->c_stacklevel;
    int handlers = 0, else_anchor = 0, end = 0;
    com_addfwref(c, SETUP_EXCEPT, &handlers);
    block_push(c, SETUP_EXCEPT);
    com_node(c, CHILD(n, 2));
    com_addop(c, POP_BLOCK);
    block_pop(c, SETUP_EXCEPT);
    com_addfwref(c, JUMP_FORWARD, &else_anchor);
    com_backpatch(c, handlers);
    com_set_level(c, base + 3); // traceback, value, type
    int i = 3;
    for (; i < NCH(n) && TYPE(CHILD(n, i)) == except_clause; i += 3) {
        node *clause = CHILD(n, i); // except_clause: 'except' [test [',' test]]
        com_set_lineno(c, LINENO(clause));
        if (NCH(clause) == 1 && i + 3 < NCH(n) && TYPE(CHILD(n, i + 3)) == except_clause)
            com_error(c, ZvExc_SyntaxError, "default 'except:' must be last");
        int next = 0;
        if (NCH(clause) > 1) {
            com_addop(c, DUP_TOP);
            com_node(c, CHILD(clause, 1));
            com_addoparg(c, COMPARE_OP, ZvCmp_EXC_MATCH);
            com_addfwref(c, JUMP_IF_FALSE, &next);
            com_addop(c, POP_TOP);
        }
        com_addop(c, POP_TOP); // the type
        if (NCH(clause) == 4)
            com_assign(c, CHILD(clause, 3), ASSIGN_STORE);
        else
            com_addop(c, POP_TOP); // the value
        com_addop(c, POP_TOP); // the traceback
        com_node(c, CHILD(n, i + 2));
        com_addfwref(c, JUMP_FORWARD, &end);
        if (next) {
            com_backpatch(c, next);
            com_set_level(c, base + 4); // the exception and the false match
            com_addop(c, POP_TOP);
        }
    }
    // No clause matched: raise the exception again.
    com_set_level(c, base + 3);
    com_addop(c, END_FINALLY);
    com_set_level(c, base);
    com_backpatch(c, else_anchor);
    if (i + 2 < NCH(n)) com_node(c, CHILD(n, i + 2));
    com_backpatch(c, end);
}

void com_try_finally(Compiling *c, node *n)
{
    // try_stmt: 'try' ':' suite 'finally' ':' suite
    int base = c->c_stacklevel;
    int final = 0;
    com_addfwref(c, SETUP_FINALLY, &final);
    block_push(c, SETUP_FINALLY);
    com_node(c, CHILD(n, 2));
    com_addop(c, POP_BLOCK);
    block_pop(c, SETUP_FINALLY);
    block_push(c, END_FINALLY);
    com_load_none(c);
    com_backpatch(c, final);
    // Entered by an exception with three values, by return or continue
    // with two, by break or falling through with one.
    com_set_level(c, base + 3);
    node *body = RCHILD(n, -1);
    com_set_lineno(c, LINENO(body));
    com_node(c, body);
    com_addop(c, END_FINALLY);
    block_pop(c, END_FINALLY);
    com_set_level(c, base);
}

void com_try_stmt(Compiling *c, node *n)
{
    if (TYPE(CHILD(n, 3)) == except_clause)
        com_try_except(c, n);
    else
        com_try_finally(c, n);
}

int com_decorators(Compiling *c, node *n)
{
    // decorators: decorator+
    // decorator: '@' dotted_name [ '(' [arglist] ')' ] NEWLINE
    for (int i = 0; i < NCH(n); i++) {
        node *d = CHILD(n, i);
        node *dotted = CHILD(d, 1);
        com_addop_varname(c, VAR_LOAD, STR(CHILD(dotted, 0)));
        for (int j = 2; j < NCH(dotted); j += 2) com_addopname(c, LOAD_ATTR, CHILD(dotted, j));
        if (NCH(d) > 3) com_call_function(c, NCH(d) == 6 ? CHILD(d, 3) : nullptr);
    }
    return NCH(n);
}

void com_funcdef(Compiling *c, node *n)
{
    // funcdef: [decorators] 'def' NAME parameters ':' suite
    int ndecorators = TYPE(CHILD(n, 0)) == decorators ? com_decorators(c, CHILD(n, 0)) : 0;
    int ndefs = com_argdefs(c, n);
    zv::Ref code(com_nested_block(c, n));
    com_make_closure(c, code.get(), ndefs);
    // The decorator listed last is applied first.
    for (int i = 0; i < ndecorators; i++) com_addoparg(c, CALL_FUNCTION, 1);
    com_addop_varname(c, VAR_STORE, STR(RCHILD(n, -4)));
}

void com_classdef(Compiling *c, node *n)
{
    // classdef: 'class' NAME ['(' testlist ')'] ':' suite
    const char *name = STR(CHILD(n, 1));
    zv::Ref v(ZvString_InternFromString(name));
    if (!v) {
        com_failed(c);
        return;
    }
    com_load_const(c, v.get());
    int nbases = 0;
    if (NCH(n) == 7) {
        node *bases = CHILD(n, 3);
        for (int i = 0; i < NCH(bases); i += 2, nbases++) com_node(c, CHILD(bases, i));
    }
    com_addoparg(c, BUILD_TUPLE, nbases);
    zv::Ref code(com_nested_block(c, n));
    com_make_closure(c, code.get(), 0);
    com_addoparg(c, CALL_FUNCTION, 0);
    com_addop(c, BUILD_CLASS);
    com_addop_varname(c, VAR_STORE, name);
}

void com_fplist(Compiling *c, node *n)
{
    // fplist: fpdef (',' fpdef)* [',']
    com_addoparg(c, UNPACK_SEQUENCE, (NCH(n) + 1) / 2);
    for (int i = 0; i < NCH(n); i += 2) {
        node *f = CHILD(n, i); // fpdef: NAME | '(' fplist ')'
        if (NCH(f) == 1)
            com_addop_varname(c, VAR_STORE, STR(CHILD(f, 0)));
        else
            com_fplist(c, CHILD(f, 1));
    }
}

} // namespace

void com_arglist(Compiling *c, node *n)
{
    // varargslist: the tuple parameters are the fpdefs '(' fplist ')'; each
    // arrives in the hidden local named after its position among the
    // children.
    for (int i = 0; i < NCH(n); i++) {
        node *ch = CHILD(n, i);
        if (TYPE(ch) == STAR || TYPE(ch) == DOUBLESTAR) break;
        if (TYPE(ch) != fpdef || NCH(ch) != 3) continue;
        char hidden[32];
        std::snprintf(hidden, sizeof hidden, ".%d", i);
        com_addop_varname(c, VAR_LOAD, hidden);
        com_fplist(c, CHILD(ch, 1));
    }
}

bool com_is_stmt(int type)
{
    switch (type) {
    case suite:
    case stmt:
    case simple_stmt:
    case small_stmt:
    case compound_stmt:
    case flow_stmt:
    case import_stmt:
    case expr_stmt:
    case print_stmt:
    case del_stmt:
    case pass_stmt:
    case break_stmt:
    case continue_stmt:
    case return_stmt:
    case yield_stmt:
    case raise_stmt:
    case import_name:
    case import_from:
    case global_stmt:
    case exec_stmt:
    case assert_stmt:
    case if_stmt:
    case while_stmt:
    case for_stmt:
    case try_stmt:
    case funcdef:
    case classdef: return true;
    default: return false;
    }
}

void com_stmt(Compiling *c, node *n)
{
    switch (TYPE(n)) {
    case suite:
        // suite: simple_stmt | NEWLINE INDENT stmt+ DEDENT
        if (NCH(n) == 1) {
            com_node(c, CHILD(n, 0));
            return;
        }
        for (int i = 0; i < NCH(n); i++)
            if (TYPE(CHILD(n, i)) == stmt) com_node(c, CHILD(n, i));
        return;
    case stmt:
    case small_stmt:
    case flow_stmt:
    case import_stmt: com_node(c, CHILD(n, 0)); return;
    case simple_stmt:
        // simple_stmt: small_stmt (';' small_stmt)* [';'] NEWLINE
        com_set_lineno(c, LINENO(n));
        for (int i = 0; i < NCH(n); i += 2)
            if (TYPE(CHILD(n, i)) == small_stmt) com_node(c, CHILD(n, i));
        return;
    case compound_stmt:
        com_set_lineno(c, LINENO(n));
        com_node(c, CHILD(n, 0));
        return;
    case expr_stmt: com_expr_stmt(c, n); return;
    case print_stmt: com_print_stmt(c, n); return;
    case del_stmt: com_assign(c, CHILD(n, 1), ASSIGN_DELETE); return;
    case pass_stmt:
    case global_stmt: return;
    case break_stmt:
        if (c->c_loops == 0)
            com_error(c, ZvExc_SyntaxError, "'break' outside loop");
        else
            com_addop(c, BREAK_LOOP);
        return;
    case continue_stmt: com_continue_stmt(c); return;
    case return_stmt: com_return_stmt(c, n); return;
    case yield_stmt: com_yield_stmt(c, n); return;
    case raise_stmt: com_raise_stmt(c, n); return;
    case import_name: com_import_name(c, n); return;
    case import_from: com_import_from(c, n); return;
    case exec_stmt: com_exec_stmt(c, n); return;
    case assert_stmt: com_assert_stmt(c, n); return;
    case if_stmt: com_if_stmt(c, n); return;
    case while_stmt: com_while_stmt(c, n); return;
    case for_stmt: com_for_stmt(c, n); return;
    case try_stmt: com_try_stmt(c, n); return;
    case funcdef: com_funcdef(c, n); return;
    case classdef: com_classdef(c, n); return;
    default: com_error(c, ZvExc_SystemError, "com_node: unexpected node type");
    }
}

} // namespace zv::compiler
