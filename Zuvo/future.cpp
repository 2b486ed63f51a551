// The future-statement scan.
//
// `from __future__ import ...` statements must open a module (after at
// most one docstring).  The scan walks the leading statements in order,
// records the selected features and the line after the last future
// statement (ff_last_lineno); the symbol-table pass later rejects any future
// statement at or after that line.  Several small statements on one line
// are examined one by one, so `x = 1; from __future__ import division` is
// caught here.
#include <cstdio>
#include <cstring>

#include "frontwarn.h"

extern "C" {
#include "compile.h"
#include "graminit.h"
#include "objimpl.h"
#include "intobject.h"
#include "stringobject.h"
#include "tupleobject.h"
#include "token.h"
#include "zverrors.h"
}

namespace {

const char kLateFuture[] = "from __future__ imports must occur at the beginning of the file";

int check_features(ZvFutureFeatures *ff, node *n, const char *filename)
{
    // import_from: 'from' dotted_name 'import' ('*' | '(' import_as_names ')' | import_as_names)
    node *names = CHILD(n, 3);
    if (TYPE(names) == STAR) {
        zv::front_syntax_error("future statement does not support import *", filename, LINENO(n));
        return -1;
    }
    if (TYPE(names) == LPAR) names = CHILD(n, 4);
    for (int i = 0; i < NCH(names); i += 2) {
        const char *feature = STR(CHILD(CHILD(names, i), 0));
        if (!std::strcmp(feature, FUTURE_NESTED_SCOPES) || !std::strcmp(feature, FUTURE_GENERATORS))
            continue;
        if (!std::strcmp(feature, FUTURE_DIVISION)) {
            ff->ff_features |= CO_FUTURE_DIVISION;
            continue;
        }
        char buf[160];
        if (!std::strcmp(feature, "braces"))
            std::snprintf(buf, sizeof buf, "not a chance");
        else
            std::snprintf(buf, sizeof buf, "future feature %.100s is not defined", feature);
        zv::front_syntax_error(buf, filename, LINENO(CHILD(names, i)));
        return -1;
    }
    return 0;
}

bool is_future_import(node *n)
{
    node *name = CHILD(n, 1); // dotted_name
    return NCH(name) == 1 && std::strcmp(STR(CHILD(name, 0)), "__future__") == 0;
}

// A statement that is only a string literal.
bool is_docstring(node *n)
{
    while (NCH(n) == 1 && TYPE(n) != atom) n = CHILD(n, 0);
    if (TYPE(n) != atom) return false;
    for (int i = 0; i < NCH(n); i++)
        if (TYPE(CHILD(n, i)) != STRING) return false;
    return true;
}

struct Scan {
    ZvFutureFeatures *ff;
    const char *filename;
    bool found = false;

    void stop_at(int lineno)
    {
        if (!found) ff->ff_last_lineno = lineno;
    }

    // 1: a future statement (or the docstring): go on; 0: stop; -1: error.
    int small(node *n)
    {
        node *s = CHILD(n, 0); // small_stmt's one child
        if (TYPE(s) == import_stmt && TYPE(CHILD(s, 0)) == import_from &&
            is_future_import(CHILD(s, 0))) {
            if (check_features(ff, CHILD(s, 0), filename) < 0) return -1;
            found = true;
            ff->ff_last_lineno = LINENO(s) + 1;
            return 1;
        }
        if (TYPE(s) == expr_stmt && NCH(s) == 1 && is_docstring(s) && !ff->ff_found_docstring &&
            !found) {
            ff->ff_found_docstring = 1;
            return 1;
        }
        stop_at(LINENO(s));
        return 0;
    }

    int simple(node *n)
    {
        // simple_stmt: small_stmt (';' small_stmt)* [';'] NEWLINE
        bool ended = false;
        for (int i = 0; i < NCH(n); i += 2) {
            node *ss = CHILD(n, i);
            if (TYPE(ss) != small_stmt) break;
            if (ended) {
                // A future import later on the same line is misplaced.
                node *s = CHILD(ss, 0);
                if (TYPE(s) == import_stmt && TYPE(CHILD(s, 0)) == import_from &&
                    is_future_import(CHILD(s, 0))) {
                    zv::front_syntax_error(kLateFuture, filename, LINENO(s));
                    return -1;
                }
                continue;
            }
            int r = small(ss);
            if (r < 0) return -1;
            if (r == 0) ended = true;
        }
        return ended ? 0 : 1;
    }

    int statement(node *n)
    {
        if (TYPE(n) == stmt) n = CHILD(n, 0);
        if (TYPE(n) == simple_stmt) return simple(n);
        stop_at(LINENO(n));
        return 0;
    }

    int run(node *n)
    {
        if (TYPE(n) == encoding_decl) n = CHILD(n, 0);
        if (TYPE(n) == single_input) {
            node *c = CHILD(n, 0);
            return TYPE(c) == NEWLINE ? 0 : statement(c);
        }
        if (TYPE(n) != file_input) return 0;
        for (int i = 0; i < NCH(n); i++) {
            node *c = CHILD(n, i);
            if (TYPE(c) != stmt) continue;
            int r = statement(c);
            if (r <= 0) return r;
        }
        return 0;
    }
};

} // namespace

extern "C" ZvFutureFeatures *ZvNode_Future(node *n, const char *filename)
{
    ZvFutureFeatures *ff = (ZvFutureFeatures *)ZvMem_Malloc(sizeof(ZvFutureFeatures));
    if (ff == nullptr) {
        ZvErr_NoMemory();
        return nullptr;
    }
    ff->ff_found_docstring = 0;
    ff->ff_last_lineno = -1;
    ff->ff_features = 0;
    Scan scan{ff, filename};
    if (scan.run(n) < 0) {
        ZvMem_Free(ff);
        return nullptr;
    }
    return ff;
}
