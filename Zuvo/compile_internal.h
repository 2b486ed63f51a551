// The code generator's shared record and the routines its files share.
//
// One `Compiling` record exists per code block being generated (the module,
// an interactive statement, an evaluated expression, and recursively each
// function, lambda, class body and generator expression).  Bytecode goes
// straight into `c_code`, a string object that doubles when full; the line
// table grows the same way in `c_lnotab`.  Constants and names are lists
// with a dictionary beside each mapping (value, type of value) to the index,
// so equal values of one type share a slot while 1, 1.0, 1L and True stay
// apart.  The resolution tables of the block's scope (fast locals, globals,
// cells, free variables) sit in `c_sym`.
//
// The files of the generator, by concern:
//   compile.cpp          the entry point, one block at a time (jcompile),
//                        and the code-block bodies (module, function, ...)
//   compile_emit.cpp     emitting: bytes, arguments and EXTENDED_ARG,
//                        forward-jump chains, stack depth, the static block
//                        stack, the line table, constants and names, name
//                        access by reference kind, error reporting
//   compile_literals.cpp number and string literals
//   compile_expr.cpp     expressions, calls, comprehensions, generator
//                        expressions, lambda, assignment targets
//   compile_stmt.cpp     statements, def and class
//
// Errors: an error is reported through com_error, which counts it (the
// first error of a compilation is the one reported).  A block with errors
// yields no code object, so the statements and expressions after the
// error are not generated (com_node returns at once); the construct being
// generated finishes with placeholders.
#pragma once

#include "object.h"
#include "node.h"

extern "C" {
#include "compile.h"
#include "symtable.h"
}

namespace zv::compiler {

// The deepest static nesting of loops and try blocks one block may have;
// the frame's block stack has the same size.
constexpr int kMaxBlocks = 20;
// Names are mangled into buffers of this size.
constexpr size_t kMangleLen = 256;

// Kinds of name access.
enum VarKind { VAR_LOAD, VAR_STORE, VAR_DELETE };

// What an assignment target is being compiled for: a store, a delete, or
// the store half of an augmented assignment (carrying the in-place opcode).
enum AssignKind { ASSIGN_DELETE, ASSIGN_STORE, ASSIGN_AUGMENTED };

struct Compiling {
    ZvObject *c_code = nullptr;       // string: the bytecode being built
    ZvObject *c_consts = nullptr;     // list of constants
    ZvObject *c_const_dict = nullptr; // (value, type) -> index into c_consts
    ZvObject *c_names = nullptr;      // list of names for name/attr/import ops
    ZvObject *c_name_dict = nullptr;  // (name, type) -> index into c_names
    ZvBlockSymbols c_sym{};           // c_locals, c_globals, c_varnames, ...
    int c_nexti = 0;                  // offset of the next byte to emit
    int c_errors = 0;
    int c_infunction = 0;             // inside a def body: return allowed
    int c_interactive = 0;            // expression statements are printed
    int c_loops = 0;                  // loops around the current point
    int c_begin = 0;                  // start of the innermost loop
    int c_block[kMaxBlocks] = {};     // the static block stack
    int c_nblocks = 0;
    const char *c_filename = nullptr;
    const char *c_name = "?";         // the block's name
    int c_lineno = 0;                 // the current source line
    int c_stacklevel = 0;
    int c_maxstacklevel = 0;
    int c_firstlineno = 0;
    ZvObject *c_lnotab = nullptr;     // string: the line table being built
    int c_last_addr = 0;              // address and line of the last entry
    int c_last_line = 0;
    int c_lnotab_next = 0;            // write position in c_lnotab
    int c_lnotab_last = 0;            // position before the last entry
    bool c_lineno_set = false;        // the block's first line is recorded
    char *c_private = nullptr;        // the class for name mangling
    int c_tmpname = 0;                // list-comprehension temporaries
    int c_nested = 0;                 // nested inside a function
    int c_closure = 0;
    struct symtable *c_symtable = nullptr;
    ZvFutureFeatures *c_future = nullptr;
    const char *c_encoding = nullptr; // the source encoding, or NULL
    ZvSymtableEntryObject *c_ste = nullptr; // this block's scope (borrowed)

    Compiling() = default;
    Compiling(const Compiling &) = delete;
    Compiling &operator=(const Compiling &) = delete;
    ~Compiling();

    int flags() const { return c_sym.c_flags; }
};

// --- compile.cpp ---------------------------------------------------------

// Compiles one block: `n` is the block's root (file_input, single_input,
// eval_input, encoding_decl, funcdef, lambdef, classdef, or the
// testlist_gexp/argument of a generator expression); `base` is the
// enclosing block's record or NULL at the top.  New code object or NULL.
ZvObject *jcompile(node *n, const char *filename, Compiling *base, ZvCompilerFlags *flags);

// A nested block (def, lambda, class body, generator expression) compiled
// into a code object; NULL, counted as an error of `c`, when it fails or
// when `c` already has an error.
ZvObject *com_nested_block(Compiling *c, node *n);

// The docstring of a block body (the first statement, when it is a string
// literal alone), as a new reference; NULL when there is none (or on error,
// which is then counted).
ZvObject *get_docstring(Compiling *c, node *n);

// --- compile_emit.cpp ----------------------------------------------------

void com_error(Compiling *c, ZvObject *exc, const char *msg);
// Counts an error whose exception the failing call already set.
void com_failed(Compiling *c);

void com_addbyte(Compiling *c, int byte);
// An instruction and its stack effect; arguments above 0xFFFF are preceded
// by EXTENDED_ARG.
void com_addop(Compiling *c, int op);
void com_addoparg(Compiling *c, int op, int arg);
// A forward jump whose target is not known yet: `*anchor` chains every
// jump to the same target; com_backpatch points them all at c_nexti.
void com_addfwref(Compiling *c, int op, int *anchor);
void com_backpatch(Compiling *c, int anchor);

void com_push(Compiling *c, int n);
void com_pop(Compiling *c, int n);
// The stack depth where control arrives by a jump with another depth than
// the fall-through path.
void com_set_level(Compiling *c, int level);

void block_push(Compiling *c, int type);
void block_pop(Compiling *c, int type);

void com_set_lineno(Compiling *c, int lineno);
// Drops the last line entry when no instruction followed it.
void com_drop_dangling_lineno(Compiling *c);

// Index of `v` (borrowed) in the constants or names, added when new; -1
// after counting an error.
int com_addconst(Compiling *c, ZvObject *v);
int com_addname(Compiling *c, ZvObject *v);
// The name mangled for the enclosing class and interned: its index in the
// names.
int com_addnamestr(Compiling *c, const char *name);
void com_addopnamestr(Compiling *c, int op, const char *name);
void com_addopname(Compiling *c, int op, node *n); // n is a NAME or dotted_name
void com_load_const(Compiling *c, ZvObject *v);
void com_load_none(Compiling *c);

// Loads, stores or deletes a variable by its reference kind in this block.
void com_addop_varname(Compiling *c, VarKind kind, const char *name);
// The mangled form of `name` in `buffer`, or `name` itself.
const char *com_mangle(Compiling *c, const char *name, char *buffer);
// LOCAL, GLOBAL_EXPLICIT, GLOBAL_IMPLICIT, FREE or CELL; -1 (counted) for a
// name the block does not know.
int com_ref_type(Compiling *c, const char *mangled);

// --- compile_literals.cpp ------------------------------------------------

ZvObject *parsenumber(Compiling *c, const char *s);
// Adjacent string literals of an atom, concatenated.
ZvObject *parsestrplus(Compiling *c, node *n);

// --- compile_expr.cpp ----------------------------------------------------

void com_node(Compiling *c, node *n);          // any statement or expression
void com_expr(Compiling *c, node *n);          // one expression node
void com_list(Compiling *c, node *n); // expression list
// `augn` and `inplace` are the value and in-place opcode of an augmented
// assignment (kind ASSIGN_AUGMENTED).
void com_assign(Compiling *c, node *n, AssignKind kind, node *augn = nullptr, int inplace = 0);
void com_call_function(Compiling *c, node *arglist); // arglist may be NULL
// Evaluates the defaults of a def or lambda; returns their number.
int com_argdefs(Compiling *c, node *n);
// Makes the function (or closure) of a compiled nested block and pushes it.
void com_make_closure(Compiling *c, ZvObject *code, int ndefaults);
// The body of a generator expression block.
void com_genexp_body(Compiling *c, node *n);
// In-place opcode of an augassign node.
int com_augassign_op(Compiling *c, node *augassign);
// True when `n` reduces through single children to a bare string atom.
bool is_string_atom(node *n);

// --- compile_stmt.cpp ----------------------------------------------------

void com_stmt(Compiling *c, node *n);          // statement node types
bool com_is_stmt(int type);
// Unpacks the tuple parameters of a def or lambda at the top of its body.
void com_arglist(Compiling *c, node *varargslist);

} // namespace zv::compiler
