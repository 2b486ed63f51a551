/* What the evaluation loop shares with its out-of-line helpers: the
 * unwinding status codes, the slow paths of the opcodes (printing, exec,
 * import, class building, raising, unpacking, slicing, comparison, name
 * errors), the hook calls and the call dispatch.
 *
 * The loop keeps its instruction and stack pointers in locals; helpers
 * that pop values take the stack pointer by address and leave it where
 * the opcode's stack effect says. */
#ifndef ZV_CEVAL_INTERNAL_H
#define ZV_CEVAL_INTERNAL_H

#include "zuvo.h"

/* Unwinding status; finally handlers keep it on the value stack as an int. */
enum why_code {
    WHY_NOT = 0x0001,
    WHY_EXCEPTION = 0x0002,
    WHY_RERAISE = 0x0004,
    WHY_RETURN = 0x0008,
    WHY_BREAK = 0x0010,
    WHY_CONTINUE = 0x0020,
    WHY_YIELD = 0x0040
};

namespace zv::ceval {

/* --- hooks (ceval_trace.cpp) --------------------------------------------- */

/* One call of a trace or profile hook, skipped while a hook runs: during
 * the call `tracing` is raised and `use_tracing` cleared. */
int call_trace(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame, int what,
               ZvObject *arg);
/* The same, keeping a pending error unless the hook fails itself. */
void call_trace_protected(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame, int what,
                          ZvObject *arg);
/* Reports the pending exception to the trace function. */
void call_exc_trace(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame);
/* Line events: called before an instruction while a trace function is
 * set; instr_lb/ub bound the addresses of the current line. */
int maybe_call_line_trace(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame,
                          int *instr_lb, int *instr_ub, int *instr_prev);

/* --- the exception being handled (ceval_ops.cpp) ------------------------- */

/* Entering an except handler: remember the thread's previous triple in the
 * frame once, then record the new one in the thread state and sys. */
void set_exc_info(ZvThreadState *ts, ZvFrameObject *f, ZvObject *type, ZvObject *value,
                  ZvObject *tb);
/* Leaving a frame that saved a triple: put it back. */
void reset_exc_info(ZvThreadState *ts, ZvFrameObject *f);

/* --- opcode slow paths (ceval_ops.cpp) ----------------------------------- */

/* The raise statement with 0-3 operands (NULL when absent; references are
 * consumed).  Returns WHY_EXCEPTION or WHY_RERAISE, the error set. */
int do_raise(ZvObject *type, ZvObject *value, ZvObject *tb);
/* Stores the n items of v at sp[n-1] .. sp[0] (first item on top).  0, or
 * -1 with the error set and nothing stored. */
int unpack_iterable(ZvObject *v, int n, ZvObject **sp);
/* a[lo:hi] with either bound possibly NULL. */
ZvObject *apply_slice(ZvObject *u, ZvObject *v, ZvObject *w);
/* a[lo:hi] = x, or del a[lo:hi] when x is NULL. */
int assign_slice(ZvObject *u, ZvObject *v, ZvObject *w, ZvObject *x);
/* COMPARE_OP for codes the loop's fast path does not handle. */
ZvObject *cmp_outcome(int op, ZvObject *v, ZvObject *w);
/* Sets exc with fmt formatted with the name's text (%.200s). */
void format_exc_check_arg(ZvObject *exc, const char *fmt, ZvObject *name);
/* The error of a LOAD_FAST/DELETE_FAST of an unbound local. */
void unbound_local_error(ZvCodeObject *co, int index);
/* The error of LOAD_DEREF on an empty cell. */
void unbound_deref_error(ZvCodeObject *co, int index);
/* LOAD_NAME: locals, then globals, then builtins.  New reference. */
ZvObject *load_name(ZvFrameObject *f, ZvObject *name);
/* LOAD_GLOBAL when the name's hash is not cached. */
ZvObject *load_global(ZvFrameObject *f, ZvObject *name);
/* The print statement's pieces; stream NULL or None means sys.stdout. */
int print_item(ZvObject *v, ZvObject *stream);
int print_newline(ZvObject *stream);
int print_expr(ZvObject *v);
/* The exec statement. */
int exec_statement(ZvFrameObject *f, ZvObject *prog, ZvObject *globals, ZvObject *locals);
/* BUILD_CLASS: chooses the metaclass and calls it.  New reference. */
ZvObject *build_class(ZvObject *methods, ZvObject *bases, ZvObject *name, ZvObject *globals);
/* IMPORT_NAME, IMPORT_FROM and IMPORT_STAR. */
ZvObject *import_name(ZvFrameObject *f, ZvObject *name, ZvObject *fromlist);
ZvObject *import_from(ZvObject *module, ZvObject *name);
int import_all_from(ZvFrameObject *f, ZvObject *module);
/* Concatenation for BINARY_ADD/INPLACE_ADD of two exact strings, reusing
 * the left operand's storage when the next instruction stores it back.
 * Consumes the reference to v. */
ZvObject *string_concatenate(ZvObject *v, ZvObject *w, ZvFrameObject *f,
                             const unsigned char *next_instr);
/* MAKE_FUNCTION/MAKE_CLOSURE: pops the code, the cells (closures) and the
 * defaults.  New reference to the function, or NULL. */
ZvObject *make_function(ZvFrameObject *f, ZvObject ***pp_stack, int ndefaults, int closure);

/* --- calls (ceval_call.cpp) ---------------------------------------------- */

/* CALL_FUNCTION: the callable and its arguments are popped; the result is
 * a new reference or NULL. */
ZvObject *call_function(ZvObject ***pp_stack, int oparg);
/* CALL_FUNCTION_VAR/_KW/_VAR_KW: flags bit 1 = *args present, 2 = **kwargs. */
ZvObject *ext_do_call(ZvObject ***pp_stack, int flags, int na, int nk);

/* Whether the native stack has room for another frame of evaluation; past
 * the margin a RuntimeError is set and 0 returned. */
int native_stack_ok(void);

} // namespace zv::ceval

#endif /* ZV_CEVAL_INTERNAL_H */
