// Symbol-table analysis.
//
// Data structure: a `symtable` owns a dict of scope entries keyed by scope
// number; each entry owns a dict name -> int flags, the list of its
// parameters and the list of its child entries.  `st_cur` is the scope being
// walked and `st_stack` its enclosing scopes.  Names are stored mangled
// (inside a class) and interned, so the code generator finds them under the
// same key it computes.
//
// The walk (pass 1) visits the tree in the order the code generator emits
// it (source order, except that an assigned value comes before its targets
// and a loop's sequence before its target), entering a new scope for every
// funcdef, lambdef, classdef and generator expression; constant false `if`
// branches are skipped exactly as the code generator skips them, so both
// number the scopes identically.  When a scope is left, the names
// free in its children are propagated outward (update_free_vars).
// ZvSymtable_LoadSymbols later turns a scope's flags into a block's tables.
//
// Recursion follows the tree, whose depth the parser's fixed stack bounds.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "frontwarn.h"
#include "nodequery.h"

extern "C" {
#include "symtable.h"
#include "boolobject.h"
#include "dictobject.h"
#include "graminit.h"
#include "intobject.h"
#include "listobject.h"
#include "objimpl.h"
#include "stringobject.h"
#include "token.h"
#include "zverrors.h"
#include "zvflags.h"
}

namespace {

constexpr size_t kMangleLen = 256;

// --- Scope entries --------------------------------------------------------

void ste_dealloc(ZvObject *op)
{
    ZvSymtableEntryObject *ste = (ZvSymtableEntryObject *)op;
    Zv_XDECREF(ste->ste_id);
    Zv_XDECREF(ste->ste_symbols);
    Zv_XDECREF(ste->ste_name);
    Zv_XDECREF(ste->ste_varnames);
    Zv_XDECREF(ste->ste_children);
    ZvObject_Del(op);
}

ZvObject *ste_repr(ZvObject *op)
{
    ZvSymtableEntryObject *ste = (ZvSymtableEntryObject *)op;
    return ZvString_FromFormat("<symtable entry %.100s(%d), line %d>",
                               ZvString_AS_STRING(ste->ste_name), (int)ZvInt_AS_LONG(ste->ste_id),
                               ste->ste_lineno);
}

int scope_kind(int type)
{
    switch (type) {
    case TYPE_FUNCTION:
    case funcdef:
    case lambdef:
    case testlist_gexp:
    case argument:
        return TYPE_FUNCTION;
    case TYPE_CLASS:
    case classdef:
        return TYPE_CLASS;
    default:
        return TYPE_MODULE;
    }
}

// --- Errors and warnings ----------------------------------------------------

int error_at(symtable *st, int lineno, const char *fmt, ...)
{
    char buf[600];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    zv::front_syntax_error(buf, st->st_filename, lineno);
    st->st_errors++;
    return -1;
}

// A SyntaxWarning at the current scope's line; a warning the filters turn
// into an error becomes a SyntaxError with the same message.
int warn(symtable *st, const char *fmt, const char *name)
{
    char buf[600];
    std::snprintf(buf, sizeof buf, fmt, name);
    int lineno = st->st_cur->ste_lineno;
    if (zv::front_warn(ZvExc_SyntaxWarning, buf, st->st_filename, lineno) == 0) return 0;
    if (ZvErr_ExceptionMatches(ZvExc_SyntaxWarning)) {
        ZvErr_Clear();
        return error_at(st, lineno, "%s", buf);
    }
    st->st_errors++;
    return -1;
}

// --- Flags ------------------------------------------------------------------

int flags_of(ZvObject *dict, ZvObject *name)
{
    ZvObject *v = ZvDict_GetItem(dict, name);
    return v ? (int)ZvInt_AS_LONG(v) : 0;
}

int set_flags(ZvObject *dict, ZvObject *name, int flags)
{
    ZvObject *v = ZvInt_FromLong(flags);
    if (v == nullptr) return -1;
    int r = ZvDict_SetItem(dict, name, v);
    Zv_DECREF(v);
    return r;
}

int or_flags(ZvObject *dict, ZvObject *name, int flags)
{
    return set_flags(dict, name, flags_of(dict, name) | flags);
}

bool is_free(int v)
{
    return ((v & (USE | DEF_FREE)) && !(v & (DEF_LOCAL | DEF_PARAM | DEF_GLOBAL))) ||
           (v & DEF_FREE_CLASS);
}

// --- The walker --------------------------------------------------------------

struct Walker {
    symtable *st;

    ZvSymtableEntryObject *cur() { return st->st_cur; }

    // Records `flag` for `name` in the current scope (symtable_add_def).
    int add_def(const char *name, int flag)
    {
        char buffer[kMangleLen];
        if (st->st_private && _Zv_Mangle(st->st_private, (char *)name, buffer, sizeof buffer))
            name = buffer;
        ZvObject *key = ZvString_InternFromString(name);
        if (key == nullptr) return -1;
        int r = add_def_o(cur(), key, flag);
        Zv_DECREF(key);
        return r;
    }

    int add_def_o(ZvSymtableEntryObject *ste, ZvObject *name, int flag)
    {
        int old = flags_of(ste->ste_symbols, name);
        if ((flag & DEF_PARAM) && (old & DEF_PARAM))
            return error_at(st, cur()->ste_lineno, "duplicate argument '%s' in function definition",
                            ZvString_AS_STRING(name));
        if (set_flags(ste->ste_symbols, name, old | flag) < 0) return -1;
        if ((flag & DEF_PARAM) && ZvList_Append(ste->ste_varnames, name) < 0) return -1;
        if ((flag & DEF_GLOBAL) && or_flags(st->st_global, name, DEF_GLOBAL) < 0) return -1;
        return 0;
    }

    // --- Scopes ---

    int enter_scope(const char *name, int type, int lineno)
    {
        ZvSymtableEntryObject *prev = st->st_cur;
        if (prev && ZvList_Append(st->st_stack, (ZvObject *)prev) < 0) return -1;
        ZvSymtableEntryObject *ste = ZvSymtableEntry_New(st, (char *)name, type, lineno);
        if (ste == nullptr) return -1;
        if (prev && st->st_pass == 1 &&
            ZvList_Append(prev->ste_children, (ZvObject *)ste) < 0) {
            Zv_DECREF(ste);
            return -1;
        }
        // The entry stays alive in st_symbols; st_cur borrows it.
        Zv_DECREF(ste);
        st->st_cur = ste;
        if (prev && (prev->ste_type == TYPE_FUNCTION || prev->ste_nested)) ste->ste_nested = 1;
        if (type == TYPE_MODULE || scope_kind(type) == TYPE_MODULE)
            st->st_global = ste->ste_symbols;
        return 0;
    }

    int exit_scope()
    {
        if (st->st_pass == 1 && update_free_vars() < 0) return -1;
        int n = ZvList_Size(st->st_stack);
        if (n <= 0) {
            st->st_cur = nullptr;
            return 0;
        }
        st->st_cur = (ZvSymtableEntryObject *)ZvList_GetItem(st->st_stack, n - 1);
        return ZvList_SetSlice(st->st_stack, n - 1, n, nullptr);
    }

    // Undoing a free name: global here and in every child where it is free.
    int undo_free(ZvSymtableEntryObject *ste, ZvObject *name)
    {
        int v = flags_of(ste->ste_symbols, name);
        if (!v || !is_free(v)) return 0;
        if (set_flags(ste->ste_symbols, name, v | DEF_FREE_GLOBAL) < 0) return -1;
        int n = ZvList_Size(ste->ste_children);
        for (int i = 0; i < n; i++) {
            auto *child = (ZvSymtableEntryObject *)ZvList_GetItem(ste->ste_children, i);
            if (undo_free(child, name) < 0) return -1;
        }
        return 0;
    }

    int update_free_vars()
    {
        ZvSymtableEntryObject *p = cur();
        int nchildren = ZvList_Size(p->ste_children);
        for (int i = 0; i < nchildren; i++) {
            auto *c = (ZvSymtableEntryObject *)ZvList_GetItem(p->ste_children, i);
            // Collect first: the loop below changes the child's flags.
            ZvObject *names = ZvList_New(0);
            if (names == nullptr) return -1;
            int pos = 0;
            ZvObject *name, *value;
            while (ZvDict_Next(c->ste_symbols, &pos, &name, &value)) {
                if (is_free((int)ZvInt_AS_LONG(value)) && ZvList_Append(names, name) < 0) {
                    Zv_DECREF(names);
                    return -1;
                }
            }
            int nfree = ZvList_Size(names);
            if (nfree > 0) p->ste_child_free = 1;
            for (int j = 0; j < nfree; j++) {
                if (propagate(p, c, ZvList_GetItem(names, j)) < 0) {
                    Zv_DECREF(names);
                    return -1;
                }
            }
            Zv_DECREF(names);
        }
        return 0;
    }

    int propagate(ZvSymtableEntryObject *p, ZvSymtableEntryObject *c, ZvObject *name)
    {
        int v = flags_of(p->ste_symbols, name);
        if (p->ste_type != TYPE_CLASS && (v & DEF_GLOBAL)) return undo_free(c, name);
        if (p->ste_nested)
            return add_def_o(p, name, p->ste_type == TYPE_CLASS ? DEF_FREE_CLASS : DEF_FREE);
        if (p->ste_type == TYPE_CLASS || v == 0 || is_free(v) || (v & DEF_GLOBAL))
            return undo_free(c, name);
        return add_def_o(p, name, DEF_FREE);
    }

    // --- Statements and expressions ---

    int walk_children(node *n, int from = 0)
    {
        for (int i = from; i < NCH(n); i++)
            if (walk(CHILD(n, i)) < 0) return -1;
        return 0;
    }

    int walk(node *n)
    {
        switch (TYPE(n)) {
        case funcdef: return do_funcdef(n);
        case lambdef: return do_lambdef(n);
        case classdef: return do_classdef(n);
        case if_stmt: return do_if(n);
        case global_stmt: return do_global(n);
        case import_name: return do_import_name(n);
        case import_from: return do_import_from(n);
        case exec_stmt: return do_exec(n);
        case assert_stmt:
            if (Zv_OptimizeFlag) return 0;
            return walk_children(n);
        case yield_stmt:
            cur()->ste_generator = 1;
            return walk_children(n);
        case expr_stmt: return do_expr_stmt(n);
        case del_stmt: return assign(CHILD(n, 1), 0);
        case for_stmt:
            // for_stmt: 'for' exprlist 'in' testlist ':' suite ['else' ':' suite]
            // The sequence is evaluated before the target is assigned.
            if (walk(CHILD(n, 3)) < 0 || assign(CHILD(n, 1), 0) < 0) return -1;
            return walk_children(n, 4);
        case except_clause:
            if (NCH(n) > 1 && walk(CHILD(n, 1)) < 0) return -1;
            return NCH(n) == 4 ? assign(CHILD(n, 3), 0) : 0;
        case atom: return do_atom(n);
        case decorator: return do_decorator(n);
        case trailer: return do_trailer(n);
        case testlist_gexp:
            if (NCH(n) == 2 && TYPE(CHILD(n, 1)) == gen_for) return genexpr(n);
            return walk_children(n);
        case argument:
            if (NCH(n) == 2 && TYPE(CHILD(n, 1)) == gen_for) return genexpr(n);
            // keyword=value: the keyword is not a name of this scope.
            if (NCH(n) >= 3 && TYPE(CHILD(n, 1)) == EQUAL) return walk_children(n, 2);
            return walk_children(n);
        case listmaker:
            if (NCH(n) == 2 && TYPE(CHILD(n, 1)) == list_for) return list_comprehension(n);
            return walk_children(n);
        default:
            if (ISTERMINAL(TYPE(n))) return 0;
            return walk_children(n);
        }
    }

    int do_funcdef(node *n)
    {
        // funcdef: [decorators] 'def' NAME parameters ':' suite
        int off = 0;
        if (TYPE(CHILD(n, 0)) == decorators) {
            if (walk(CHILD(n, 0)) < 0) return -1;
            off = 1;
        }
        const char *name = STR(CHILD(n, off + 1));
        if (add_def(name, DEF_LOCAL) < 0) return -1;
        node *params = CHILD(n, off + 2);
        node *args = NCH(params) == 3 ? CHILD(params, 1) : nullptr;
        if (args && default_args(args) < 0) return -1;
        if (enter_scope(name, funcdef, LINENO(n)) < 0) return -1;
        if (args && record_params(args) < 0) return -1;
        if (walk(CHILD(n, off + 4)) < 0) return -1;
        return exit_scope();
    }

    int do_lambdef(node *n)
    {
        // lambdef: 'lambda' [varargslist] ':' test
        node *args = NCH(n) == 4 ? CHILD(n, 1) : nullptr;
        if (args && default_args(args) < 0) return -1;
        if (enter_scope("lambda", lambdef, LINENO(n)) < 0) return -1;
        if (args && record_params(args) < 0) return -1;
        if (walk(CHILD(n, NCH(n) - 1)) < 0) return -1;
        return exit_scope();
    }

    int do_classdef(node *n)
    {
        // classdef: 'class' NAME ['(' testlist ')'] ':' suite
        char *name = STR(CHILD(n, 1));
        if (add_def(name, DEF_LOCAL) < 0) return -1;
        if (NCH(n) == 7 && walk(CHILD(n, 3)) < 0) return -1;
        if (enter_scope(name, classdef, LINENO(n)) < 0) return -1;
        char *saved = st->st_private;
        st->st_private = name;
        int r = walk(CHILD(n, NCH(n) - 1));
        st->st_private = saved;
        if (r < 0) return -1;
        return exit_scope();
    }

    int do_if(node *n)
    {
        // if_stmt: 'if' test ':' suite ('elif' test ':' suite)* ['else' ':' suite]
        for (int i = 0; i + 3 < NCH(n); i += 4) {
            node *t = CHILD(n, i + 1), *body = CHILD(n, i + 3);
            if (zv::node_is_constant_false(t)) {
                if (!cur()->ste_generator && contains_yield(body)) cur()->ste_generator = 1;
                continue;
            }
            if (walk(t) < 0 || walk(body) < 0) return -1;
        }
        if (NCH(n) % 4 == 3) return walk(CHILD(n, NCH(n) - 1));
        return 0;
    }

    // Whether a skipped suite contains a yield statement (not counting
    // nested functions, classes and lambdas).
    bool contains_yield(node *n)
    {
        switch (TYPE(n)) {
        case yield_stmt: return true;
        case funcdef:
        case classdef:
        case lambdef: return false;
        default:
            for (int i = 0; i < NCH(n); i++)
                if (contains_yield(CHILD(n, i))) return true;
            return false;
        }
    }

    int do_global(node *n)
    {
        // global_stmt: 'global' NAME (',' NAME)*
        for (int i = 1; i < NCH(n); i += 2) {
            const char *name = STR(CHILD(n, i));
            char buffer[kMangleLen];
            if (st->st_private && _Zv_Mangle(st->st_private, (char *)name, buffer, sizeof buffer))
                name = buffer;
            ZvObject *key = ZvString_InternFromString(name);
            if (key == nullptr) return -1;
            int v = flags_of(cur()->ste_symbols, key);
            Zv_DECREF(key);
            if (v & DEF_PARAM)
                return error_at(st, LINENO(n),
                                "name '%.400s' is a function parameter and declared global", name);
            if (v & DEF_LOCAL) {
                if (warn(st, "name '%.400s' is assigned to before global declaration", name) < 0)
                    return -1;
            } else if (v && warn(st, "name '%.400s' is used prior to global declaration", name) < 0) {
                return -1;
            }
            if (add_def(STR(CHILD(n, i)), DEF_GLOBAL) < 0) return -1;
        }
        return 0;
    }

    int do_import_name(node *n)
    {
        // import_name: 'import' dotted_as_names
        node *names = CHILD(n, 1);
        for (int i = 0; i < NCH(names); i += 2) {
            node *d = CHILD(names, i); // dotted_as_name: dotted_name [NAME NAME]
            const char *bound = NCH(d) == 3 ? STR(CHILD(d, 2)) : STR(CHILD(CHILD(d, 0), 0));
            if (add_def(bound, DEF_LOCAL | DEF_IMPORT) < 0) return -1;
        }
        return 0;
    }

    int do_import_from(node *n)
    {
        // import_from: 'from' dotted_name 'import' ('*' | '(' import_as_names ')' | import_as_names)
        node *module = CHILD(n, 1);
        if (NCH(module) == 1 && !std::strcmp(STR(CHILD(module, 0)), "__future__") &&
            st->st_future && LINENO(n) >= st->st_future->ff_last_lineno)
            return error_at(st, LINENO(n),
                            "from __future__ imports must occur at the beginning of the file");
        node *names = CHILD(n, 3);
        if (TYPE(names) == STAR) {
            if (cur()->ste_type != TYPE_MODULE &&
                warn(st, "import * only allowed at module level%s", "") < 0)
                return -1;
            cur()->ste_optimized |= OPT_IMPORT_STAR;
            cur()->ste_opt_lineno = LINENO(n);
            return 0;
        }
        if (TYPE(names) == LPAR) names = CHILD(n, 4);
        for (int i = 0; i < NCH(names); i += 2) {
            node *a = CHILD(names, i); // import_as_name: NAME [NAME NAME]
            const char *bound = STR(CHILD(a, NCH(a) == 3 ? 2 : 0));
            if (add_def(bound, DEF_LOCAL | DEF_IMPORT) < 0) return -1;
        }
        return 0;
    }

    int do_exec(node *n)
    {
        // exec_stmt: 'exec' expr ['in' test [',' test]]
        cur()->ste_optimized |= OPT_EXEC;
        if (NCH(n) == 2) {
            cur()->ste_optimized |= OPT_BARE_EXEC;
            cur()->ste_opt_lineno = LINENO(n);
        }
        return walk_children(n);
    }

    int do_expr_stmt(node *n)
    {
        // expr_stmt: testlist (augassign testlist | ('=' testlist)*)
        if (NCH(n) == 1) return walk(CHILD(n, 0));
        if (TYPE(CHILD(n, 1)) == augassign) {
            if (assign(CHILD(n, 0), 0) < 0) return -1;
            return walk(CHILD(n, 2));
        }
        // The value is evaluated before the targets, left to right.
        if (walk(CHILD(n, NCH(n) - 1)) < 0) return -1;
        for (int i = 0; i < NCH(n) - 1; i += 2)
            if (assign(CHILD(n, i), 0) < 0) return -1;
        return 0;
    }

    int do_atom(node *n)
    {
        node *first = CHILD(n, 0);
        if (TYPE(first) == NAME) return add_def(STR(first), USE);
        return walk_children(n);
    }

    int do_decorator(node *n)
    {
        // decorator: '@' dotted_name [ '(' [arglist] ')' ] NEWLINE
        if (add_def(STR(CHILD(CHILD(n, 1), 0)), USE) < 0) return -1;
        if (NCH(n) == 6) return walk(CHILD(n, 3));
        return 0;
    }

    int do_trailer(node *n)
    {
        // trailer: '(' [arglist] ')' | '[' subscriptlist ']' | '.' NAME
        if (TYPE(CHILD(n, 0)) == DOT) return 0; // attribute names are not recorded
        if (TYPE(CHILD(n, 0)) == LPAR && NCH(n) == 3) {
            node *args = CHILD(n, 1);
            // A generator expression must be the only argument unless it is
            // parenthesised.
            if (NCH(args) > 1) {
                for (int i = 0; i < NCH(args); i++) {
                    node *a = CHILD(args, i);
                    if (TYPE(a) == argument && NCH(a) == 2 && TYPE(CHILD(a, 1)) == gen_for)
                        return error_at(st, LINENO(a), "invalid syntax");
                }
            }
        }
        return walk_children(n);
    }

    // --- Comprehensions and generator expressions ---

    int list_comprehension(node *n)
    {
        // listmaker: test list_for
        char tmp[32];
        std::snprintf(tmp, sizeof tmp, "_[%d]", ++cur()->ste_tmpname);
        if (add_def(tmp, DEF_LOCAL) < 0) return -1;
        if (walk_list_iter(CHILD(n, 1)) < 0) return -1;
        if (walk(CHILD(n, 0)) < 0) return -1;
        cur()->ste_tmpname--;
        return 0;
    }

    int walk_list_iter(node *n)
    {
        if (TYPE(n) == list_iter) n = CHILD(n, 0);
        if (TYPE(n) == list_for) {
            // list_for: 'for' exprlist 'in' testlist_safe [list_iter]
            // The sequence is evaluated before the target is assigned.
            if (walk(CHILD(n, 3)) < 0 || assign(CHILD(n, 1), 0) < 0) return -1;
            return NCH(n) == 5 ? walk_list_iter(CHILD(n, 4)) : 0;
        }
        // list_if: 'if' test [list_iter]
        if (walk(CHILD(n, 1)) < 0) return -1;
        return NCH(n) == 3 ? walk_list_iter(CHILD(n, 2)) : 0;
    }

    int genexpr(node *n)
    {
        // (testlist_gexp | argument): test gen_for
        node *outer = CHILD(n, 1);
        if (enter_scope("<genexpr>", TYPE(n), LINENO(n)) < 0) return -1;
        cur()->ste_generator = 2;
        if (add_def("[outmost-iterable]", DEF_PARAM) < 0) return -1;
        if (walk_gen_iter(outer, true) < 0 || walk(CHILD(n, 0)) < 0) return -1;
        if (exit_scope() < 0) return -1;
        return walk(CHILD(outer, 3));
    }

    int walk_gen_iter(node *n, bool outermost)
    {
        if (TYPE(n) == gen_iter) n = CHILD(n, 0);
        if (TYPE(n) == gen_for) {
            // gen_for: 'for' exprlist 'in' test [gen_iter]
            // The outermost sequence belongs to the enclosing scope; an
            // inner one is evaluated before its target is assigned.
            if (!outermost && walk(CHILD(n, 3)) < 0) return -1;
            if (assign(CHILD(n, 1), 0) < 0) return -1;
            return NCH(n) == 5 ? walk_gen_iter(CHILD(n, 4), false) : 0;
        }
        // gen_if: 'if' test [gen_iter]
        if (walk(CHILD(n, 1)) < 0) return -1;
        return NCH(n) == 3 ? walk_gen_iter(CHILD(n, 2), false) : 0;
    }

    // --- Assignment targets and parameters ---

    int assign(node *n, int flag)
    {
        for (;;) {
            switch (TYPE(n)) {
            case exprlist:
            case testlist:
            case testlist_gexp:
            case listmaker:
            case fplist:
                if (NCH(n) == 2 && (TYPE(CHILD(n, 1)) == gen_for || TYPE(CHILD(n, 1)) == list_for))
                    return walk(n); // not a target; the compiler reports it
                for (int i = 0; i < NCH(n); i += 2)
                    if (assign(CHILD(n, i), flag) < 0) return -1;
                return 0;
            case power:
                if (NCH(n) > 1) return walk(n); // a subscript or attribute
                n = CHILD(n, 0);
                continue;
            case atom: {
                node *first = CHILD(n, 0);
                if (TYPE(first) == NAME) return def_name(first, flag);
                if ((TYPE(first) == LPAR || TYPE(first) == LSQB) && NCH(n) == 3) {
                    n = CHILD(n, 1);
                    continue;
                }
                return walk(n);
            }
            case fpdef:
                if (NCH(n) == 1) return def_name(CHILD(n, 0), flag);
                n = CHILD(n, 1);
                continue;
            case NAME: return def_name(n, flag);
            default:
                if (NCH(n) == 1 && ISNONTERMINAL(TYPE(n))) {
                    n = CHILD(n, 0);
                    continue;
                }
                return walk(n);
            }
        }
    }

    int def_name(node *name, int flag)
    {
        if (!std::strcmp(STR(name), "__debug__"))
            return error_at(st, LINENO(name), "can not assign to __debug__");
        return add_def(STR(name), DEF_LOCAL | flag);
    }

    // Default values are evaluated in the enclosing scope.
    int default_args(node *args)
    {
        for (int i = 0; i < NCH(args); i++)
            if (TYPE(CHILD(args, i)) == EQUAL && walk(CHILD(args, i + 1)) < 0) return -1;
        return 0;
    }

    int record_params(node *args)
    {
        // varargslist: (fpdef ['=' test] ',')* ('*' NAME [',' '**' NAME] | '**' NAME)
        //            | fpdef ['=' test] (',' fpdef ['=' test])* [',']
        bool complex = false;
        for (int i = 0; i < NCH(args); i++) {
            node *c = CHILD(args, i);
            if (TYPE(c) == STAR || TYPE(c) == DOUBLESTAR) {
                int extra = TYPE(c) == STAR ? DEF_STAR : DEF_DOUBLESTAR;
                if (param(STR(CHILD(args, ++i)), DEF_PARAM | extra, LINENO(c)) < 0) return -1;
                continue;
            }
            if (TYPE(c) == EQUAL) {
                i++; // the default value
                continue;
            }
            if (TYPE(c) != fpdef) continue;
            if (NCH(c) == 1) {
                if (param(STR(CHILD(c, 0)), DEF_PARAM, LINENO(c)) < 0) return -1;
                continue;
            }
            char hidden[32];
            std::snprintf(hidden, sizeof hidden, ".%d", i);
            if (add_def(hidden, DEF_PARAM) < 0) return -1;
            complex = true;
        }
        if (!complex) return 0;
        for (int i = 0; i < NCH(args); i++) {
            node *c = CHILD(args, i);
            if (TYPE(c) == fpdef && NCH(c) == 3 && tuple_params(CHILD(c, 1)) < 0) return -1;
        }
        return 0;
    }

    int param(const char *name, int flag, int lineno)
    {
        if (!(flag & DEF_INTUPLE) && !std::strcmp(name, "None"))
            return error_at(st, lineno, "Invalid syntax.  Assignment to None.");
        return add_def(name, flag);
    }

    int tuple_params(node *fplist_node)
    {
        // fplist: fpdef (',' fpdef)* [',']
        for (int i = 0; i < NCH(fplist_node); i += 2) {
            node *f = CHILD(fplist_node, i);
            if (NCH(f) == 1) {
                if (param(STR(CHILD(f, 0)), DEF_PARAM | DEF_INTUPLE, LINENO(f)) < 0) return -1;
            } else if (tuple_params(CHILD(f, 1)) < 0) {
                return -1;
            }
        }
        return 0;
    }
};

void symtable_clear(symtable *st)
{
    Zv_CLEAR(st->st_symbols);
    Zv_CLEAR(st->st_stack);
    ZvMem_Free(st->st_future);
    st->st_future = nullptr;
}

} // namespace

extern "C" {

ZvTypeObject ZvSymtableEntry_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "symtable entry", sizeof(ZvSymtableEntryObject), 0,
    ste_dealloc, /* tp_dealloc */
    nullptr,     /* tp_print */
    nullptr,     /* tp_getattr */
    nullptr,     /* tp_setattr */
    nullptr,     /* tp_compare */
    ste_repr,    /* tp_repr */
    nullptr, nullptr, nullptr,
    nullptr,     /* tp_hash */
    nullptr,     /* tp_call */
    nullptr,     /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT,
    nullptr,     /* tp_doc */
};

ZvSymtableEntryObject *ZvSymtableEntry_New(struct symtable *st, char *name, int type, int lineno)
{
    ZvObject *k = ZvInt_FromLong(st->st_nscopes);
    if (k == nullptr) return nullptr;
    ZvObject *existing = ZvDict_GetItem(st->st_symbols, k);
    if (existing != nullptr) {
        Zv_DECREF(k);
        st->st_nscopes++;
        Zv_INCREF(existing);
        return (ZvSymtableEntryObject *)existing;
    }
    ZvSymtableEntryObject *ste = ZvObject_New(ZvSymtableEntryObject, &ZvSymtableEntry_Type);
    if (ste == nullptr) {
        Zv_DECREF(k);
        return nullptr;
    }
    ste->ste_id = k;
    ste->ste_table = st;
    ste->ste_name = ZvString_InternFromString(name);
    ste->ste_symbols = ZvDict_New();
    ste->ste_varnames = ZvList_New(0);
    ste->ste_children = ZvList_New(0);
    ste->ste_type = scope_kind(type);
    ste->ste_lineno = lineno;
    ste->ste_optimized = 0;
    ste->ste_nested = 0;
    ste->ste_child_free = 0;
    ste->ste_generator = 0;
    ste->ste_opt_lineno = 0;
    ste->ste_tmpname = 0;
    if (!ste->ste_name || !ste->ste_symbols || !ste->ste_varnames || !ste->ste_children ||
        ZvDict_SetItem(st->st_symbols, k, (ZvObject *)ste) < 0) {
        Zv_DECREF(ste);
        return nullptr;
    }
    st->st_nscopes++;
    return ste;
}

int _Zv_Mangle(char *classname, char *name, char *buffer, size_t maxlen)
{
    // Only __names, not __dunder__ names, inside a class.
    if (classname == nullptr || name[0] != '_' || name[1] != '_') return 0;
    size_t nlen = std::strlen(name);
    if (nlen + 2 >= maxlen) return 0;
    if (name[nlen - 1] == '_' && name[nlen - 2] == '_') return 0;
    while (*classname == '_') classname++;
    size_t plen = std::strlen(classname);
    if (plen == 0) return 0;
    if (plen + nlen >= maxlen) plen = maxlen - nlen - 2; // truncate the class name
    buffer[0] = '_';
    std::memcpy(buffer + 1, classname, plen);
    std::strcpy(buffer + 1 + plen, name);
    return 1;
}

struct symtable *ZvNode_CompileSymtable(node *n, const char *filename)
{
    if (n == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (ZvSymtableEntry_Type.tp_flags & Zv_TPFLAGS_READY) {
        // already readied
    } else if (ZvType_Ready(&ZvSymtableEntry_Type) < 0) {
        return nullptr;
    }
    symtable *st = (symtable *)ZvMem_Malloc(sizeof(symtable));
    if (st == nullptr) {
        ZvErr_NoMemory();
        return nullptr;
    }
    std::memset(st, 0, sizeof *st);
    st->st_pass = 1;
    st->st_filename = filename;
    st->st_nscopes = 0;
    st->st_symbols = ZvDict_New();
    st->st_stack = ZvList_New(0);
    st->st_future = st->st_symbols && st->st_stack ? ZvNode_Future(n, filename) : nullptr;
    if (st->st_future == nullptr) {
        ZvSymtable_Free(st);
        return nullptr;
    }
    node *root = TYPE(n) == encoding_decl ? CHILD(n, 0) : n;
    Walker w{st};
    int r = w.enter_scope("global", TYPE_MODULE, LINENO(root));
    if (r == 0) r = w.walk(root);
    if (r == 0) r = w.exit_scope();
    if (r < 0 || st->st_errors) {
        if (!ZvErr_Occurred()) ZvErr_SetString(ZvExc_SystemError, "lost exception");
        ZvSymtable_Free(st);
        return nullptr;
    }
    return st;
}

void ZvSymtable_Free(struct symtable *st)
{
    if (st == nullptr) return;
    symtable_clear(st);
    ZvMem_Free(st);
}

} // extern "C"

// --- Resolution of one block --------------------------------------------

namespace {

int dict_set_int(ZvObject *d, ZvObject *key, int value)
{
    ZvObject *v = ZvInt_FromLong(value);
    if (v == nullptr) return -1;
    int r = ZvDict_SetItem(d, key, v);
    Zv_DECREF(v);
    return r;
}

const char *opt_blocker_message(int optimized)
{
    if ((optimized & OPT_IMPORT_STAR) && !(optimized & OPT_BARE_EXEC))
        return "import * is not allowed in function '%.100s' because it %s";
    if (optimized == (OPT_EXEC | OPT_BARE_EXEC))
        return "unqualified exec is not allowed in function '%.100s' it %s";
    return "function '%.100s' uses import * and bare exec, which are illegal because it %s";
}

struct Resolver {
    symtable *st;
    ZvSymtableEntryObject *ste;
    ZvBlockSymbols *b;
    int ncells = 0, nfree = 0, nlocals = 0;
    bool implicit_globals = false;

    int run(int future_flags)
    {
        // 1. Parameters first, at their positions.
        int nparams = ZvList_Size(ste->ste_varnames);
        for (int i = 0; i < nparams; i++) {
            ZvObject *name = ZvList_GetItem(ste->ste_varnames, i);
            if (ZvList_Append(b->c_varnames, name) < 0 || dict_set_int(b->c_locals, name, i) < 0)
                return -1;
        }
        nlocals = nparams;
        b->c_argcount = nparams;
        int pos = 0;
        ZvObject *name, *value;
        while (ZvDict_Next(ste->ste_symbols, &pos, &name, &value))
            if (one_name(name, (int)ZvInt_AS_LONG(value)) < 0) return -1;
        if (ncells > 1 && params_first() < 0) return -1;
        // Cells and free variables share one index space, cells first.
        pos = 0;
        while (ZvDict_Next(b->c_freevars, &pos, &name, &value))
            if (dict_set_int(b->c_freevars, name, (int)ZvInt_AS_LONG(value) + ncells) < 0)
                return -1;
        b->c_flags |= future_flags;
        if (ste->ste_generator) b->c_flags |= CO_GENERATOR;
        if (ste->ste_type != TYPE_MODULE) b->c_flags |= CO_NEWLOCALS;
        if (ste->ste_type == TYPE_FUNCTION) return function_flags();
        return 0;
    }

    int one_name(ZvObject *name, int flags)
    {
        if (flags & DEF_FREE_GLOBAL) flags &= ~(DEF_FREE | DEF_FREE_CLASS);
        bool cell = false;
        if (flags & (DEF_FREE | DEF_FREE_CLASS)) {
            if (ste->ste_type == TYPE_FUNCTION) {
                if (flags & (DEF_LOCAL | DEF_PARAM)) {
                    if (dict_set_int(b->c_cellvars, name, ncells++) < 0) return -1;
                    cell = true;
                }
            } else if ((flags & DEF_FREE_CLASS) && flags != DEF_FREE_CLASS &&
                       ((flags & (DEF_GLOBAL | DEF_LOCAL | DEF_PARAM)) ||
                        !(flags & (USE | DEF_FREE)))) {
                // The class body passes the name on to its methods.
                if (add_free(name) < 0) return -1;
            }
        }
        if (flags & DEF_STAR) {
            b->c_argcount--;
            b->c_flags |= CO_VARARGS;
        } else if (flags & DEF_DOUBLESTAR) {
            b->c_argcount--;
            b->c_flags |= CO_VARKEYWORDS;
        } else if (flags & DEF_INTUPLE) {
            b->c_argcount--;
        } else if (flags & DEF_GLOBAL) {
            if (flags & DEF_PARAM)
                return error_at(st, ste->ste_lineno,
                                "name '%.400s' is a function parameter and declared global",
                                ZvString_AS_STRING(name));
            if (ZvDict_SetItem(b->c_globals, name, Zv_None) < 0) return -1;
        } else if (flags & DEF_FREE_GLOBAL) {
            implicit_globals = true;
            if (ZvDict_SetItem(b->c_globals, name, Zv_True) < 0) return -1;
        } else if ((flags & DEF_LOCAL) && !(flags & DEF_PARAM)) {
            // A cell lives in its cell slot, not among the fast locals.
            if (cell) return 0;
            if (dict_set_int(b->c_locals, name, nlocals++) < 0) return -1;
            if (ste->ste_type != TYPE_CLASS && ZvList_Append(b->c_varnames, name) < 0) return -1;
        } else if (is_free(flags)) {
            if (ste->ste_nested) return add_free(name);
            implicit_globals = true;
            if (ZvDict_SetItem(b->c_globals, name, Zv_True) < 0) return -1;
            if (st->st_global != ste->ste_symbols && or_flags(st->st_global, name, flags) < 0)
                return -1;
        }
        return 0;
    }

    int add_free(ZvObject *name)
    {
        if (ZvDict_GetItem(b->c_freevars, name)) return 0;
        return dict_set_int(b->c_freevars, name, nfree++);
    }

    // Cells that are parameters come first, in parameter order.
    int params_first()
    {
        ZvObject *renumbered = ZvDict_New();
        if (renumbered == nullptr) return -1;
        int next = 0;
        int nparams = ZvList_Size(ste->ste_varnames);
        for (int i = 0; i < nparams; i++) {
            ZvObject *name = ZvList_GetItem(ste->ste_varnames, i);
            if (ZvDict_GetItem(b->c_cellvars, name) && !ZvDict_GetItem(renumbered, name) &&
                dict_set_int(renumbered, name, next++) < 0) {
                Zv_DECREF(renumbered);
                return -1;
            }
        }
        // The others keep their relative order.
        for (int index = 0; index < ncells; index++) {
            int pos = 0;
            ZvObject *name, *value;
            while (ZvDict_Next(b->c_cellvars, &pos, &name, &value)) {
                if (ZvInt_AS_LONG(value) != index || ZvDict_GetItem(renumbered, name)) continue;
                if (dict_set_int(renumbered, name, next++) < 0) {
                    Zv_DECREF(renumbered);
                    return -1;
                }
            }
        }
        Zv_DECREF(b->c_cellvars);
        b->c_cellvars = renumbered;
        return 0;
    }

    int function_flags()
    {
        b->c_nlocals = nlocals;
        int opt = ste->ste_optimized;
        if (opt == 0) {
            b->c_flags |= CO_OPTIMIZED;
            return 0;
        }
        if (opt == OPT_EXEC) return 0; // `exec ... in ...` only turns fast locals off
        bool closure = ncells || nfree || ste->ste_child_free;
        if (!closure && !(ste->ste_nested && implicit_globals)) return 0;
        const char *why =
            ste->ste_child_free ? "contains a nested function with free variables" : "is a nested function";
        return error_at(st, ste->ste_opt_lineno, opt_blocker_message(opt),
                        ZvString_AS_STRING(ste->ste_name), why);
    }
};

} // namespace

extern "C" {

void ZvBlockSymbols_Clear(ZvBlockSymbols *b)
{
    Zv_CLEAR(b->c_locals);
    Zv_CLEAR(b->c_globals);
    Zv_CLEAR(b->c_freevars);
    Zv_CLEAR(b->c_cellvars);
    Zv_CLEAR(b->c_varnames);
}

int ZvSymtable_LoadSymbols(struct symtable *st, ZvSymtableEntryObject *ste, int future_flags,
                           ZvBlockSymbols *b)
{
    if (st == nullptr || ste == nullptr || b == nullptr || !ZvSymtableEntry_Check(ste)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    std::memset(b, 0, sizeof *b);
    b->c_locals = ZvDict_New();
    b->c_globals = ZvDict_New();
    b->c_freevars = ZvDict_New();
    b->c_cellvars = ZvDict_New();
    b->c_varnames = ZvList_New(0);
    Resolver r{st, ste, b};
    if (!b->c_locals || !b->c_globals || !b->c_freevars || !b->c_cellvars || !b->c_varnames ||
        r.run(future_flags) < 0) {
        ZvBlockSymbols_Clear(b);
        return -1;
    }
    return 0;
}

int ZvBlockSymbols_RefType(ZvBlockSymbols *b, const char *name)
{
    ZvObject *key = ZvString_InternFromString(name);
    if (key == nullptr) return -1;
    int kind = -1;
    if (ZvDict_GetItem(b->c_cellvars, key))
        kind = CELL;
    else if (ZvDict_GetItem(b->c_locals, key))
        kind = LOCAL;
    else if (ZvDict_GetItem(b->c_freevars, key))
        kind = FREE;
    else if (ZvObject *g = ZvDict_GetItem(b->c_globals, key))
        kind = g == Zv_None ? GLOBAL_EXPLICIT : GLOBAL_IMPLICIT;
    Zv_DECREF(key);
    if (kind < 0)
        ZvErr_Format(ZvExc_SystemError, "unknown scope for %.100s", name);
    return kind;
}

} // extern "C"

// --- Dead branches ------------------------------------------------------------

namespace {

// Any spelling of zero: 0, 00, 0x0, 0L, 0.0, 0e5, 0j, .0 ...  In a hex
// literal every digit counts, 'e' included.
bool number_is_zero(const char *s)
{
    bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    for (const char *p = hex ? s + 2 : s; *p; p++) {
        char c = *p;
        if (c == 'l' || c == 'L') break;
        if (hex) {
            if (c != '0') return false;
            continue;
        }
        if (c == 'e' || c == 'E') return true; // the mantissa was zero
        if (c == 'j' || c == 'J') break;
        if (c != '0' && c != '.') return false;
    }
    return true;
}

// '' and "" and the triple-quoted forms, after any prefix.  Only the
// triple-quoted empty literal has six characters with the quote tripled:
// 'abcd' has six characters too.
bool string_is_empty(const char *s)
{
    while (*s && *s != '\'' && *s != '"') s++; // skip the prefix
    size_t n = std::strlen(s);
    return n == 2 || (n == 6 && s[1] == s[0] && s[2] == s[0]);
}

} // namespace

bool zv::node_is_constant_false(node *n)
{
    while (NCH(n) == 1 && ISNONTERMINAL(TYPE(n))) n = CHILD(n, 0);
    if (TYPE(n) == NAME) return Zv_OptimizeFlag && !std::strcmp(STR(n), "__debug__");
    if (TYPE(n) == NUMBER) return number_is_zero(STR(n));
    if (TYPE(n) == STRING) return string_is_empty(STR(n));
    if (TYPE(n) == atom) {
        for (int i = 0; i < NCH(n); i++)
            if (TYPE(CHILD(n, i)) != STRING || !string_is_empty(STR(CHILD(n, i)))) return false;
        return NCH(n) > 0;
    }
    return false;
}
