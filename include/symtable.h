/* Symbol-table analysis: the scopes of a parse tree and how each scope
 * uses each name.
 *
 * One walk over the tree (pass 1) creates a scope entry for the module and
 * for every class, function, lambda and generator expression, numbered in
 * source order, and records the flags of every name in every scope.  When a
 * function or class scope is left, the names free in its children are
 * propagated outward.  The code generator then re-enters the scopes in the
 * same order (ZvSymtableEntry_New returns the existing entry for the next
 * number) and resolves each block's names into fast locals, globals, free
 * and cell variables (ZvSymtable_LoadSymbols). */
#ifndef ZVSYMTABLE_H
#define ZVSYMTABLE_H

#include "object.h"
#include "node.h"
#include "compile.h"

ZV_BEGIN_DECLS

typedef struct _symtable_entry ZvSymtableEntryObject;

struct symtable {
    int st_pass;                  /* 1 during analysis, 2 during code generation */
    const char *st_filename;
    ZvSymtableEntryObject *st_cur; /* the scope being walked (borrowed) */
    ZvObject *st_symbols;         /* dict: scope number -> entry */
    ZvObject *st_stack;           /* list of the enclosing entries of st_cur */
    ZvObject *st_global;          /* the module scope's symbol dict (borrowed) */
    int st_nscopes;               /* the number the next scope takes */
    int st_errors;
    char *st_private;             /* the class whose body is walked, for mangling */
    ZvFutureFeatures *st_future;  /* owned */
};

struct _symtable_entry {
    ZvObject_HEAD
    ZvObject *ste_id;       /* int: the scope number */
    ZvObject *ste_symbols;  /* dict: name -> int flags */
    ZvObject *ste_name;     /* string */
    ZvObject *ste_varnames; /* list of parameter names in order */
    ZvObject *ste_children; /* list of directly nested entries */
    int ste_type;           /* TYPE_FUNCTION, TYPE_CLASS or TYPE_MODULE */
    int ste_lineno;
    int ste_optimized;      /* 0 or OPT_* bits */
    int ste_nested;         /* inside a function scope, directly or not */
    int ste_child_free;     /* some nested scope has free variables */
    int ste_generator;      /* 1: contains yield; 2: a generator expression */
    int ste_opt_lineno;     /* line of the last import * or bare exec */
    int ste_tmpname;        /* counter of list-comprehension temporaries */
    struct symtable *ste_table;
};

ZvAPI_DATA(ZvTypeObject) ZvSymtableEntry_Type;
#define ZvSymtableEntry_Check(op) (Zv_TYPE(op) == &ZvSymtableEntry_Type)

/* Name flags. */
#define DEF_GLOBAL 1
#define DEF_LOCAL 2
#define DEF_PARAM 4
#define USE 8
#define DEF_STAR 16
#define DEF_DOUBLESTAR 32
#define DEF_INTUPLE 64
#define DEF_FREE 128
#define DEF_FREE_GLOBAL 256
#define DEF_FREE_CLASS 512
#define DEF_IMPORT 1024
#define DEF_BOUND (DEF_LOCAL | DEF_PARAM | DEF_IMPORT)

/* Scope kinds. */
#define TYPE_FUNCTION 1
#define TYPE_CLASS 2
#define TYPE_MODULE 3

/* What keeps a function from using fast locals. */
#define OPT_IMPORT_STAR 1
#define OPT_EXEC 2
#define OPT_BARE_EXEC 4

/* Reference kinds of a resolved name. */
#define LOCAL 1
#define GLOBAL_EXPLICIT 2
#define GLOBAL_IMPLICIT 3
#define FREE 4
#define CELL 5

/* Runs the future scan and the analysis; NULL with an exception set. */
ZvAPI_FUNC(struct symtable *) ZvNode_CompileSymtable(node *n, const char *filename);
ZvAPI_FUNC(void) ZvSymtable_Free(struct symtable *st);

/* Creates the scope entry with the next number, or returns (as a new
 * reference) the existing one.  `type` is the node type of the construct
 * (funcdef, lambdef, classdef, a start symbol, ...) or a TYPE_* value. */
ZvAPI_FUNC(ZvSymtableEntryObject *) ZvSymtableEntry_New(struct symtable *st, char *name,
                                                         int type, int lineno);

/* Name mangling inside a class: writes the mangled name into buffer and
 * returns 1, or returns 0 when the name is not mangled. */
ZvAPI_FUNC(int) _Zv_Mangle(char *classname, char *name, char *buffer, size_t maxlen);

/* The resolved names of one code block. */
typedef struct {
    ZvObject *c_locals;   /* dict: name -> fast-local index */
    ZvObject *c_globals;  /* dict: name -> None (explicit) or True (implicit) */
    ZvObject *c_freevars; /* dict: name -> index (after the cells) */
    ZvObject *c_cellvars; /* dict: name -> index */
    ZvObject *c_varnames; /* list: parameters, then other locals */
    int c_argcount;
    int c_nlocals;
    int c_flags;          /* CO_* bits */
} ZvBlockSymbols;

/* Resolves the names of the block whose scope is `ste`, or-ing
 * `future_flags` into its flags.  Returns 0, or -1 with SyntaxError set
 * (and all tables released). */
ZvAPI_FUNC(int) ZvSymtable_LoadSymbols(struct symtable *st, ZvSymtableEntryObject *ste,
                                       int future_flags, ZvBlockSymbols *out);
ZvAPI_FUNC(void) ZvBlockSymbols_Clear(ZvBlockSymbols *b);
/* LOCAL, GLOBAL_EXPLICIT, GLOBAL_IMPLICIT, FREE or CELL; -1 with
 * SystemError set for a name the block does not know. */
ZvAPI_FUNC(int) ZvBlockSymbols_RefType(ZvBlockSymbols *b, const char *name);

ZV_END_DECLS

#endif /* ZVSYMTABLE_H */
