/* The evaluation loop: runs one frame's bytecode.
 *
 * One loop decodes an instruction at a time and dispatches on the opcode
 * (computed goto where the compiler offers labels as values, a switch
 * elsewhere; both generated from the opcode table).  The instruction and
 * stack pointers live in locals and reach the frame only where others must
 * see them: f_lasti before each normally dispatched instruction,
 * f_stacktop around line tracing and at a yield.
 *
 * Every instruction passes three steps before its body: the periodic work
 * (pending calls, the hand-over of the interpreter lock, asynchronous
 * exceptions) when the ticker runs out, the store of f_lasti, and line
 * tracing when a trace function is set.  Cheap instructions skip the
 * periodic work (FAST_DISPATCH); the pairs the compiler always emits
 * together skip all three for their second half (PREDICT).
 *
 * Errors, return, break, continue and yield travel as one status, `why`,
 * through the frame's block stack: an except or finally block catches
 * what it handles, a loop block catches break and continue, and anything
 * left over ends the frame.
 *
 * Safety against hand-made bytecode: every code object was verified when
 * it was made (operands in range, jumps onto instructions, the stack
 * within co_stacksize on every path), so the loop itself checks only what
 * depends on run-time values: what END_FINALLY pops, the cells of a
 * closure, the target of a continue. */
#include "zuvo.h"
#include "opcode.h"
#include "ceval_internal.h"
#include "sysmodule.h"
#include "zvref.h"

#include <string.h>

#if defined(__GNUC__) && !defined(ZUVO_SWITCH_DISPATCH)
#define USE_COMPUTED_GOTOS 1
#else
#define USE_COMPUTED_GOTOS 0
#endif

using namespace zv::ceval;

namespace {

/* The check at frame entry that cells and free-variable slots hold cells:
 * a frame built by hand from native code may leave them empty, and the
 * cell opcodes read through them without looking. */
bool cells_are_sound(ZvFrameObject *f)
{
    ZvObject **cells = f->f_localsplus + f->f_nlocals;
    int n = f->f_ncells + f->f_nfreevars;
    for (int i = 0; i < n; i++)
        if (cells[i] == nullptr || !ZvCell_Check(cells[i])) return false;
    return true;
}

/* A continue that unwound through a finally block carries its target on
 * the value stack, where hand-made bytecode could put anything: it must land
 * where a CONTINUE_LOOP of this code was verified to land, with the same
 * stack depth and number of blocks. */
bool continue_target_ok(ZvCodeObject *co, ZvObject *target, int depth, int nblocks)
{
    ZvObject *landings = co->co_zvcontinue;
    if (landings == nullptr || !ZvInt_CheckExact(target)) return false;
    int t = ZvInt_AS_LONG(target);
    for (int i = 0; i + 2 < ZvTuple_GET_SIZE(landings); i += 3) {
        if (ZvInt_AS_LONG(ZvTuple_GET_ITEM(landings, i)) == t &&
            ZvInt_AS_LONG(ZvTuple_GET_ITEM(landings, i + 1)) == depth &&
            ZvInt_AS_LONG(ZvTuple_GET_ITEM(landings, i + 2)) == nblocks)
            return true;
    }
    return false;
}

/* The lowest stack depth the innermost block allows: what END_FINALLY pops
 * depends on run-time values, and must not reach below it. */
inline int block_floor(ZvFrameObject *f)
{
    return f->f_iblock > 0 ? f->f_blockstack[f->f_iblock - 1].b_level : 0;
}

/* CALL_FUNCTION of a plain function that this loop can run itself, without
 * a native call: positional arguments only, exactly its parameters, no
 * defaults, no cells, not a generator, its code already verified, and no
 * hook set (a hook sees every frame enter through the native path).
 * Returns the callee's frame with the arguments copied in (new
 * references; the stack keeps its own), or NULL when the call takes the
 * general way; NULL with *failed set when making the frame failed. */
ZvFrameObject *inline_frame(ZvThreadState *tstate, ZvObject **pfunc, int na, bool *failed)
{
    ZvObject *func = *pfunc;
    ZvObject *self = nullptr;
    if (ZvMethod_Check(func) && ZvMethod_GET_SELF(func) != nullptr) {
        self = ZvMethod_GET_SELF(func);
        func = ZvMethod_GET_FUNCTION(func);
    }
    if (!ZvFunction_Check(func) || ZvFunction_GET_DEFAULTS(func) != nullptr) return nullptr;
    auto *co = (ZvCodeObject *)ZvFunction_GET_CODE(func);
    if (co->co_argcount != na + (self != nullptr) ||
        co->co_flags != (CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE) || !co->co_zvverified)
        return nullptr;
    ZvFrameObject *callee =
        _ZvFrame_NewUnchecked(tstate, co, ZvFunction_GET_GLOBALS(func), nullptr);
    if (callee == nullptr) {
        *failed = true;
        return nullptr;
    }
    ZvObject **dst = callee->f_localsplus;
    if (self != nullptr) {
        Zv_INCREF(self);
        *dst++ = self;
    }
    for (int i = 0; i < na; i++) {
        Zv_INCREF(pfunc[1 + i]);
        dst[i] = pfunc[1 + i];
    }
    return callee;
}

/* The interpreter lock changes hands: let a waiting thread run. */
void hand_over_lock(ZvThreadState *tstate)
{
    if (ZvThreadState_Swap(nullptr) != tstate) Zv_FatalError("ceval: tstate mix-up");
    ZvEval_ReleaseLock();
    ZvEval_AcquireLock();
    if (ZvThreadState_Swap(tstate) != nullptr) Zv_FatalError("ceval: orphan tstate");
}

/* The events of entering and leaving a frame, for the trace and profile
 * hooks.  A failing call event ends the frame before its first
 * instruction. */
int trace_frame_entry(ZvThreadState *tstate, ZvFrameObject *f)
{
    if (tstate->c_tracefunc != nullptr &&
        call_trace(tstate->c_tracefunc, tstate->c_traceobj, f, ZvTrace_CALL, Zv_None))
        return -1;
    if (tstate->c_profilefunc != nullptr &&
        call_trace(tstate->c_profilefunc, tstate->c_profileobj, f, ZvTrace_CALL, Zv_None))
        return -1;
    return 0;
}

/* Returns the frame's result after the return events, or NULL when a hook
 * failed (the result is then released). */
ZvObject *trace_frame_exit(ZvThreadState *tstate, ZvFrameObject *f, int why, ZvObject *retval)
{
    if (tstate->c_tracefunc != nullptr) {
        if (why == WHY_RETURN || why == WHY_YIELD) {
            if (call_trace(tstate->c_tracefunc, tstate->c_traceobj, f, ZvTrace_RETURN, retval)) {
                Zv_XDECREF(retval);
                retval = nullptr;
                why = WHY_EXCEPTION;
            }
        } else if (why == WHY_EXCEPTION) {
            call_trace_protected(tstate->c_tracefunc, tstate->c_traceobj, f, ZvTrace_RETURN,
                                 nullptr);
        }
    }
    if (tstate->c_profilefunc != nullptr) {
        if (why == WHY_EXCEPTION) {
            call_trace_protected(tstate->c_profilefunc, tstate->c_profileobj, f,
                                 ZvTrace_RETURN, nullptr);
        } else if (call_trace(tstate->c_profilefunc, tstate->c_profileobj, f, ZvTrace_RETURN,
                              retval)) {
            Zv_XDECREF(retval);
            retval = nullptr;
        }
    }
    return retval;
}

inline uint16_t load_u16(const unsigned char *p)
{
    uint16_t v;
    memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = (uint16_t)(v >> 8 | v << 8);
#endif
    return v;
}

/* One tick of the periodic-work counter.  Threads adding pending calls
 * store 0 into it at any moment, so it is an atomic word (a store lost to
 * the countdown only delays the check to the end of the interval). */
inline bool ticker_expired()
{
    int t = __atomic_load_n(&_Zv_Ticker, __ATOMIC_RELAXED) - 1;
    __atomic_store_n(&_Zv_Ticker, t, __ATOMIC_RELAXED);
    return t < 0;
}

/* Arithmetic on exact ints and floats done here, giving what the number
 * protocol would give (int results that overflow, zero divisors, classic
 * division with its warnings and everything else take the general path:
 * the result is then NULL, with no error set). */
enum class Arith { Add, Sub, Mul, Mod, FloorDiv, TrueDiv, ClassicDiv };

/* A result goes into an operand that only the value stack holds (a
 * temporary: its count is one, so no one else can see it change) rather
 * than into a new object; small ints stay the shared ones.  The operand
 * gains the reference the caller's release of it takes back. */
inline ZvObject *reuse_operand(ZvObject *o)
{
    Zv_INCREF(o);
    return o;
}

inline ZvObject *int_result(int32_t r, ZvObject *v, ZvObject *w)
{
    if (!_ZvInt_IS_SMALL(r)) {
        ZvObject *t = v->ob_refcnt == 1 ? v : w->ob_refcnt == 1 ? w : nullptr;
        if (t != nullptr) {
            ((ZvIntObject *)t)->ob_ival = r;
            return reuse_operand(t);
        }
    }
    return ZvInt_FromLong(r);
}

inline ZvObject *float_result(double r, ZvObject *v, ZvObject *w)
{
    ZvObject *t = ZvFloat_CheckExact(v) && v->ob_refcnt == 1   ? v
                  : ZvFloat_CheckExact(w) && w->ob_refcnt == 1 ? w
                                                               : nullptr;
    if (t == nullptr) return ZvFloat_FromDouble(r);
    ((ZvFloatObject *)t)->ob_fval = r;
    return reuse_operand(t);
}

/* v and w are exact ints. */
inline ZvObject *int_arith(Arith op, ZvObject *v, ZvObject *w)
{
    int32_t a = ZvInt_AS_LONG(v), b = ZvInt_AS_LONG(w), r;
    switch (op) {
    case Arith::Add:
        if (__builtin_add_overflow(a, b, &r)) return nullptr;
        return int_result(r, v, w);
    case Arith::Sub:
        if (__builtin_sub_overflow(a, b, &r)) return nullptr;
        return int_result(r, v, w);
    case Arith::Mul:
        if (__builtin_mul_overflow(a, b, &r)) return nullptr;
        return int_result(r, v, w);
    case Arith::Mod:
        /* The remainder takes the divisor's sign. */
        if (b == 0 || (a == INT32_MIN && b == -1)) return nullptr;
        r = a % b;
        if (r != 0 && ((r ^ b) < 0)) r += b;
        return int_result(r, v, w);
    case Arith::ClassicDiv:
        if (Zv_DivisionWarningFlag) return nullptr; /* it warns */
        [[fallthrough]];
    case Arith::FloorDiv:
        if (b == 0 || (a == INT32_MIN && b == -1)) return nullptr;
        r = a / b;
        if (a % b != 0 && ((a ^ b) < 0)) r--;
        return int_result(r, v, w);
    default:
        return nullptr;
    }
}

inline ZvObject *arith_fast(Arith op, ZvObject *v, ZvObject *w)
{
    if (ZvInt_CheckExact(v) && ZvInt_CheckExact(w)) return int_arith(op, v, w);
    double a, b;
    if (ZvFloat_CheckExact(v))
        a = ZvFloat_AS_DOUBLE(v);
    else if (ZvInt_CheckExact(v) && ZvFloat_CheckExact(w))
        a = ZvInt_AS_LONG(v);
    else
        return nullptr;
    if (ZvFloat_CheckExact(w))
        b = ZvFloat_AS_DOUBLE(w);
    else if (ZvInt_CheckExact(w))
        b = ZvInt_AS_LONG(w);
    else
        return nullptr;
    switch (op) {
    case Arith::Add: return float_result(a + b, v, w);
    case Arith::Sub: return float_result(a - b, v, w);
    case Arith::Mul: return float_result(a * b, v, w);
    case Arith::ClassicDiv:
        if (Zv_DivisionWarningFlag >= 2) return nullptr;
        [[fallthrough]];
    case Arith::TrueDiv:
        if (b == 0.0) return nullptr;
        return float_result(a / b, v, w);
    default: return nullptr;
    }
}

/* COMPARE_OP of two exact ints for the ordering and identity codes. */
inline bool int_compare(int op, ZvObject *v, ZvObject *w)
{
    int32_t a = ZvInt_AS_LONG(v), b = ZvInt_AS_LONG(w);
    switch (op) {
    case ZvCmp_LT: return a < b;
    case ZvCmp_LE: return a <= b;
    case ZvCmp_EQ: return a == b;
    case ZvCmp_NE: return a != b;
    case ZvCmp_GT: return a > b;
    case ZvCmp_GE: return a >= b;
    case ZvCmp_IS: return v == w;
    default: return v != w; /* ZvCmp_IS_NOT */
    }
}

/* What LOAD_GLOBAL found, per name of the code: the dictionaries it looked
 * in, their mapping tags then, and the value (borrowed: while a dictionary
 * keeps its tag it keeps its values).  A name found in the globals does not
 * depend on the builtins (builtins NULL). */
struct GlobalCacheEntry {
    ZvObject *globals;
    uint64_t globals_tag;
    ZvObject *builtins;
    uint64_t builtins_tag;
    ZvObject *value;
};

inline uint64_t dict_tag(ZvObject *d) { return ((ZvDictObject *)d)->ma_tag; }

inline ZvObject *cached_global(ZvCodeObject *co, int i, ZvObject *globals, ZvObject *builtins)
{
    auto *cache = (GlobalCacheEntry *)co->co_zvcache;
    if (cache == nullptr) return nullptr;
    const GlobalCacheEntry &e = cache[i];
    if (e.globals != globals || e.globals_tag != dict_tag(globals)) return nullptr;
    if (e.builtins != nullptr && (e.builtins != builtins || e.builtins_tag != dict_tag(builtins)))
        return nullptr;
    return e.value;
}

/* Remembers a global found by the full lookup; out of memory, nothing is
 * remembered. */
void remember_global(ZvCodeObject *co, int i, ZvObject *globals, ZvObject *builtins,
                     bool in_builtins, ZvObject *value)
{
    if (co->co_zvcache == nullptr) {
        size_t n = (size_t)ZvTuple_GET_SIZE(co->co_names);
        co->co_zvcache = ZvMem_Malloc(n * sizeof(GlobalCacheEntry));
        if (co->co_zvcache == nullptr) {
            ZvErr_Clear();
            return;
        }
        memset(co->co_zvcache, 0, n * sizeof(GlobalCacheEntry));
    }
    GlobalCacheEntry &e = ((GlobalCacheEntry *)co->co_zvcache)[i];
    e.globals = globals;
    e.globals_tag = dict_tag(globals);
    e.builtins = in_builtins ? builtins : nullptr;
    e.builtins_tag = in_builtins ? dict_tag(builtins) : 0;
    e.value = value;
}

/* A plain dictionary lookup of an exact string with its hash cached: the
 * slot the hash points at first, where a name usually is, and the full
 * probe otherwise. */
inline ZvObject *dict_lookup_name(ZvObject *dict, ZvObject *name, Zv_hash_t hash)
{
    auto *d = (ZvDictObject *)dict;
    ZvDictEntry *ep = &d->ma_table[(uint32_t)hash & (uint32_t)d->ma_mask];
    if (ep->me_key == name) return ep->me_value;
    return d->ma_lookup(d, name, hash)->me_value;
}

/* COMPARE_OP of two exact floats for the ordering codes: the comparisons
 * the float type itself makes (a NaN compares false, but unequal). */
inline bool float_compare(int op, double a, double b)
{
    switch (op) {
    case ZvCmp_LT: return a < b;
    case ZvCmp_LE: return a <= b;
    case ZvCmp_EQ: return a == b;
    case ZvCmp_NE: return a != b;
    case ZvCmp_GT: return a > b;
    default: return a >= b; /* ZvCmp_GE */
    }
}

inline bool int_fast_cmp_op(int op)
{
    constexpr unsigned mask = (1u << ZvCmp_LT) | (1u << ZvCmp_LE) | (1u << ZvCmp_EQ) |
                              (1u << ZvCmp_NE) | (1u << ZvCmp_GT) | (1u << ZvCmp_GE) |
                              (1u << ZvCmp_IS) | (1u << ZvCmp_IS_NOT);
    return (unsigned)op < 32 && ((mask >> op) & 1u) != 0;
}

/* The truth of a condition: exact ints are true when not zero, with no
 * call to make; -1 with an error set on failure. */
inline int condition_truth(ZvObject *w)
{
    return ZvInt_CheckExact(w) ? ZvInt_AS_LONG(w) != 0 : ZvObject_IsTrue(w);
}

} // namespace

extern "C" {

ZvObject *ZvEval_EvalCode(ZvCodeObject *co, ZvObject *globals, ZvObject *locals)
{
    return ZvEval_EvalCodeEx(co, globals, locals, nullptr, 0, nullptr, 0, nullptr, 0, nullptr);
}

ZvObject *ZvEval_EvalFrame(ZvFrameObject *f)
{
    if (f == nullptr) return nullptr;

    ZvThreadState *tstate = ZvThreadState_GET();
    if (++tstate->recursion_depth > _Zv_CheckRecursionLimit && _Zv_CheckRecursiveCall(""))
        return nullptr;
    /* Shallow evaluation cannot exhaust the native stack (the floor keeps a
     * wide margin), so only deeper levels measure it. */
    if (tstate->recursion_depth > 50 && !native_stack_ok()) {
        --tstate->recursion_depth;
        return nullptr;
    }
    tstate->frame = f;

    /* Loop state. */
    int why = WHY_NOT;
    int opcode = 0, oparg = 0;
    ZvObject *retval = nullptr;
    ZvObject *v, *w, *u, *x;
    int err;
    int instr_lb = 0, instr_ub = -1, instr_prev = -1;
    /* How many callers of the running frame wait in this same loop. */
    int inline_depth = 0;
    /* Where each instruction is dispatched: to its handler, or (while a
     * hook is set) to the trace check first.  Re-read at the periodic
     * check, which setting a hook forces. */
#if USE_COMPUTED_GOTOS
    void *const *dispatch_table = nullptr;
#endif

    ZvCodeObject *co = f->f_code;
    ZvObject **fastlocals = f->f_localsplus;
    ZvObject **freevars = fastlocals + f->f_nlocals;
    ZvObject *consts = co->co_consts;
    ZvObject *names = co->co_names;
    const unsigned char *first_instr = (const unsigned char *)ZvString_AS_STRING(co->co_code);
    const unsigned char *next_instr = nullptr;
    ZvObject **stack_pointer = nullptr;

    /* The call event comes first: a trace function may move the frame to
     * another line before it starts. */
    int entry_lasti = f->f_lasti;
    if (tstate->use_tracing && trace_frame_entry(tstate, f) != 0) {
        why = WHY_EXCEPTION;
        goto leave_frame;
    }
    if (!co->co_zvverified) {
        if (_ZvCode_Verify(co) < 0) {
            why = WHY_EXCEPTION;
            goto leave_frame;
        }
        co->co_zvverified = 1;
    }
    if (f->f_stacktop == nullptr || (entry_lasti == -1 && !cells_are_sound(f))) {
        ZvErr_SetString(ZvExc_SystemError, "frame is not ready to run");
        why = WHY_EXCEPTION;
        goto leave_frame;
    }
    /* A trace function that moved the frame (by setting f_lineno) chose the
     * instruction to run next; otherwise the one after f_lasti runs. */
    next_instr = first_instr + f->f_lasti + (f->f_lasti == entry_lasti ? 1 : 0);
    stack_pointer = f->f_stacktop;
    f->f_stacktop = nullptr;

#define INSTR_OFFSET() ((int)(next_instr - first_instr))
#define PEEKARG() (next_instr[2] << 8 | next_instr[1])
/* The argument: 16 bits, low byte first, read with one load on this
 * little-endian host. */
#define NEXTARG() (next_instr += 2, (int)load_u16(next_instr - 2))
#define JUMPTO(x) (next_instr = first_instr + (x))
#define JUMPBY(x) (next_instr += (x))
#define STACK_LEVEL() ((int)(stack_pointer - f->f_valuestack))
#define TOP() (stack_pointer[-1])
#define SECOND() (stack_pointer[-2])
#define THIRD() (stack_pointer[-3])
#define FOURTH() (stack_pointer[-4])
#define SET_TOP(v) (stack_pointer[-1] = (v))
#define SET_SECOND(v) (stack_pointer[-2] = (v))
#define SET_THIRD(v) (stack_pointer[-3] = (v))
#define SET_FOURTH(v) (stack_pointer[-4] = (v))
#define PUSH(v) (*stack_pointer++ = (v))
#define POP() (*--stack_pointer)
#define STACKADJ(n) (stack_pointer += (n))
#define GETLOCAL(i) (fastlocals[i])
#define SETLOCAL(i, value)                                                    \
    do {                                                                      \
        ZvObject *tmp_ = GETLOCAL(i);                                         \
        GETLOCAL(i) = (value);                                                \
        Zv_XDECREF(tmp_);                                                     \
    } while (0)
#define GETITEM(t, i) ZvTuple_GET_ITEM(t, i)
/* After switching to another frame of this loop: its code and tables. */
#define LOAD_FRAME_STATE()                                                    \
    do {                                                                      \
        co = f->f_code;                                                       \
        fastlocals = f->f_localsplus;                                         \
        freevars = fastlocals + f->f_nlocals;                                 \
        consts = co->co_consts;                                               \
        names = co->co_names;                                                 \
        first_instr = (const unsigned char *)ZvString_AS_STRING(co->co_code); \
    } while (0)

#if USE_COMPUTED_GOTOS
    /* Two tables from the one opcode list: `targets` enters an opcode at
     * its argument decoding, `bodies` after it (EXTENDED_ARG has decoded
     * the wide argument itself).  `trace_targets` sends every opcode to the
     * trace check, which then enters it through `targets`. */
    static void *targets[256];
    static void *bodies[256];
    static void *trace_targets[256];
    if (targets[0] == nullptr) {
        for (int i = 0; i < 256; i++) {
            targets[i] = bodies[i] = &&unknown_opcode;
            trace_targets[i] = &&trace_check;
        }
#define ZV_SET_TARGET(name, num, kind, stack)                                 \
    targets[num] = &&L_##name;                                                \
    bodies[num] = &&B_##name;
        ZV_OPCODES(ZV_SET_TARGET)
#undef ZV_SET_TARGET
    }
    dispatch_table = tstate->use_tracing ? trace_targets : targets;
#define TARGET(op)                                                            \
    L_##op:                                                                   \
    if constexpr (HAS_ARG(op)) oparg = NEXTARG();                             \
    B_##op:
/* An opcode whose body is another's: its argument is decoded once, here, and
 * execution joins the shared body after that opcode's own decoding. */
#define TARGET_SHARED(op, shared)                                             \
    L_##op:                                                                   \
    if constexpr (HAS_ARG(op)) oparg = NEXTARG();                             \
    B_##op:                                                                   \
    goto B_##shared;
#define DISPATCH()                                                            \
    do {                                                                      \
        if (ticker_expired()) goto periodic;                                  \
        f->f_lasti = INSTR_OFFSET();                                          \
        goto *dispatch_table[opcode = *next_instr++];                         \
    } while (0)
#define FAST_DISPATCH()                                                       \
    do {                                                                      \
        f->f_lasti = INSTR_OFFSET();                                          \
        goto *dispatch_table[opcode = *next_instr++];                         \
    } while (0)
#else
#define TARGET(op) case op:
#define TARGET_SHARED(op, shared) case op:
#define DISPATCH() goto next_opcode
#define FAST_DISPATCH() goto fast_next_opcode
#endif

/* The second instruction of a pair, dispatched at once. */
#define PREDICT(op)                                                           \
    do {                                                                      \
        if (*next_instr == op) {                                              \
            opcode = op;                                                      \
            next_instr++;                                                     \
            if constexpr (HAS_ARG(op)) oparg = NEXTARG();                     \
            goto PRED_##op;                                                   \
        }                                                                     \
    } while (0)
#define PREDICTED(op) PRED_##op:

#if !USE_COMPUTED_GOTOS
next_opcode:
#endif
    if (ticker_expired()) goto periodic;
fast_next_opcode:
    f->f_lasti = INSTR_OFFSET();
    if (tstate->use_tracing) goto trace_check;
dispatch_next:
    opcode = *next_instr++;
#if USE_COMPUTED_GOTOS
    goto *targets[opcode];
#else
    if (HAS_ARG(opcode)) oparg = NEXTARG();
dispatch_opcode:
    switch (opcode) {
#endif

    TARGET(NOP) FAST_DISPATCH();

    TARGET(LOAD_FAST) {
        x = GETLOCAL(oparg);
        if (x == nullptr) {
            unbound_local_error(co, oparg);
            goto error;
        }
        Zv_INCREF(x);
        PUSH(x);
        FAST_DISPATCH();
    }

    TARGET(LOAD_CONST) {
        x = GETITEM(consts, oparg);
        Zv_INCREF(x);
        PUSH(x);
        FAST_DISPATCH();
    }

    TARGET(STORE_FAST) PREDICTED(STORE_FAST) {
        v = POP();
        SETLOCAL(oparg, v);
        FAST_DISPATCH();
    }

    TARGET(POP_TOP) PREDICTED(POP_TOP) {
        v = POP();
        Zv_DECREF(v);
        FAST_DISPATCH();
    }

    TARGET(ROT_TWO) {
        v = TOP();
        SET_TOP(SECOND());
        SET_SECOND(v);
        FAST_DISPATCH();
    }

    TARGET(ROT_THREE) {
        v = TOP();
        SET_TOP(SECOND());
        SET_SECOND(THIRD());
        SET_THIRD(v);
        FAST_DISPATCH();
    }

    TARGET(ROT_FOUR) {
        v = TOP();
        SET_TOP(SECOND());
        SET_SECOND(THIRD());
        SET_THIRD(FOURTH());
        SET_FOURTH(v);
        FAST_DISPATCH();
    }

    TARGET(DUP_TOP) {
        v = TOP();
        Zv_INCREF(v);
        PUSH(v);
        FAST_DISPATCH();
    }

    TARGET(DUP_TOPX) {
        if (oparg == 2) {
            x = TOP();
            w = SECOND();
            Zv_INCREF(x);
            Zv_INCREF(w);
            STACKADJ(2);
            SET_TOP(x);
            SET_SECOND(w);
            FAST_DISPATCH();
        }
        if (oparg == 3) {
            x = TOP();
            w = SECOND();
            v = THIRD();
            Zv_INCREF(x);
            Zv_INCREF(w);
            Zv_INCREF(v);
            STACKADJ(3);
            SET_TOP(x);
            SET_SECOND(w);
            SET_THIRD(v);
            FAST_DISPATCH();
        }
        Zv_FatalError("invalid argument to DUP_TOPX (bytecode corruption?)");
    }

/* Unary and binary operators through the number protocol. */
#define UNARY_OP(op, func)                                                    \
    TARGET(op)                                                                \
    {                                                                         \
        v = TOP();                                                            \
        x = func(v);                                                          \
        Zv_DECREF(v);                                                         \
        SET_TOP(x);                                                           \
        if (x == nullptr) goto error;                                         \
        DISPATCH();                                                           \
    }
#define BINARY_OP(op, expr)                                                   \
    TARGET(op)                                                                \
    {                                                                         \
        w = POP();                                                            \
        v = TOP();                                                            \
        x = expr;                                                             \
        Zv_DECREF(v);                                                         \
        Zv_DECREF(w);                                                         \
        SET_TOP(x);                                                           \
        if (x == nullptr) goto error;                                         \
        DISPATCH();                                                           \
    }

    UNARY_OP(UNARY_POSITIVE, ZvNumber_Positive)
    UNARY_OP(UNARY_NEGATIVE, ZvNumber_Negative)
    UNARY_OP(UNARY_CONVERT, ZvObject_Repr)
    UNARY_OP(UNARY_INVERT, ZvNumber_Invert)

    TARGET(UNARY_NOT) {
        v = TOP();
        err = ZvObject_IsTrue(v);
        Zv_DECREF(v);
        if (err < 0) {
            STACKADJ(-1);
            goto error;
        }
        x = err == 0 ? Zv_True : Zv_False;
        Zv_INCREF(x);
        SET_TOP(x);
        DISPATCH();
    }

/* Operators with fast paths for exact ints and floats (arith_fast). */
#define ARITH_OP(op, kind, generic)                                           \
    TARGET(op)                                                                \
    {                                                                         \
        w = POP();                                                            \
        v = TOP();                                                            \
        x = arith_fast(kind, v, w);                                           \
        if (x == nullptr) x = generic;                                        \
        Zv_DECREF(v);                                                         \
        Zv_DECREF(w);                                                         \
        SET_TOP(x);                                                           \
        if (x == nullptr) goto error;                                         \
        DISPATCH();                                                           \
    }

    BINARY_OP(BINARY_POWER, ZvNumber_Power(v, w, Zv_None))
    ARITH_OP(BINARY_MULTIPLY, Arith::Mul, ZvNumber_Multiply(v, w))
    ARITH_OP(BINARY_DIVIDE, _Zv_QnewFlag ? Arith::TrueDiv : Arith::ClassicDiv,
             _Zv_QnewFlag ? ZvNumber_TrueDivide(v, w) : ZvNumber_Divide(v, w))
    ARITH_OP(BINARY_TRUE_DIVIDE, Arith::TrueDiv, ZvNumber_TrueDivide(v, w))
    ARITH_OP(BINARY_FLOOR_DIVIDE, Arith::FloorDiv, ZvNumber_FloorDivide(v, w))
    ARITH_OP(BINARY_MODULO, Arith::Mod, ZvNumber_Remainder(v, w))
    BINARY_OP(BINARY_LSHIFT, ZvNumber_Lshift(v, w))
    BINARY_OP(BINARY_RSHIFT, ZvNumber_Rshift(v, w))
    BINARY_OP(BINARY_AND, ZvNumber_And(v, w))
    BINARY_OP(BINARY_XOR, ZvNumber_Xor(v, w))
    BINARY_OP(BINARY_OR, ZvNumber_Or(v, w))
    BINARY_OP(INPLACE_POWER, ZvNumber_InPlacePower(v, w, Zv_None))
    ARITH_OP(INPLACE_MULTIPLY, Arith::Mul, ZvNumber_InPlaceMultiply(v, w))
    ARITH_OP(INPLACE_DIVIDE, _Zv_QnewFlag ? Arith::TrueDiv : Arith::ClassicDiv,
             _Zv_QnewFlag ? ZvNumber_InPlaceTrueDivide(v, w) : ZvNumber_InPlaceDivide(v, w))
    ARITH_OP(INPLACE_TRUE_DIVIDE, Arith::TrueDiv, ZvNumber_InPlaceTrueDivide(v, w))
    ARITH_OP(INPLACE_FLOOR_DIVIDE, Arith::FloorDiv, ZvNumber_InPlaceFloorDivide(v, w))
    ARITH_OP(INPLACE_MODULO, Arith::Mod, ZvNumber_InPlaceRemainder(v, w))
    BINARY_OP(INPLACE_LSHIFT, ZvNumber_InPlaceLshift(v, w))
    BINARY_OP(INPLACE_RSHIFT, ZvNumber_InPlaceRshift(v, w))
    BINARY_OP(INPLACE_AND, ZvNumber_InPlaceAnd(v, w))
    BINARY_OP(INPLACE_XOR, ZvNumber_InPlaceXor(v, w))
    BINARY_OP(INPLACE_OR, ZvNumber_InPlaceOr(v, w))

/* Addition also concatenates strings, reusing the left one's storage when
 * the result is stored back where it came from. */
#define ADD_OP(op, generic)                                                   \
    TARGET(op)                                                                \
    {                                                                         \
        w = POP();                                                            \
        v = TOP();                                                            \
        if (ZvString_CheckExact(v) && ZvString_CheckExact(w)) {               \
            x = string_concatenate(v, w, f, next_instr);                      \
            Zv_DECREF(w);                                                     \
            SET_TOP(x);                                                       \
            if (x == nullptr) goto error;                                     \
            DISPATCH();                                                       \
        }                                                                     \
        x = arith_fast(Arith::Add, v, w);                                     \
        if (x == nullptr) x = generic(v, w);                                  \
        Zv_DECREF(v);                                                         \
        Zv_DECREF(w);                                                         \
        SET_TOP(x);                                                           \
        if (x == nullptr) goto error;                                         \
        DISPATCH();                                                           \
    }

    ADD_OP(BINARY_ADD, ZvNumber_Add)
    ADD_OP(INPLACE_ADD, ZvNumber_InPlaceAdd)
    ARITH_OP(BINARY_SUBTRACT, Arith::Sub, ZvNumber_Subtract(v, w))
    ARITH_OP(INPLACE_SUBTRACT, Arith::Sub, ZvNumber_InPlaceSubtract(v, w))

    TARGET(BINARY_SUBSCR) {
        w = POP();
        v = TOP();
        x = nullptr;
        if (ZvList_CheckExact(v) && ZvInt_CheckExact(w)) {
            int32_t i = ZvInt_AS_LONG(w);
            if (i < 0) i += ZvList_GET_SIZE(v);
            if (i >= 0 && i < ZvList_GET_SIZE(v)) {
                x = ZvList_GET_ITEM(v, i);
                Zv_INCREF(x);
            }
        }
        if (x == nullptr) x = ZvObject_GetItem(v, w);
        Zv_DECREF(v);
        Zv_DECREF(w);
        SET_TOP(x);
        if (x == nullptr) goto error;
        DISPATCH();
    }

    TARGET_SHARED(SLICE_0, SLICE_3)
    TARGET_SHARED(SLICE_1, SLICE_3)
    TARGET_SHARED(SLICE_2, SLICE_3)
    TARGET(SLICE_3) {
        w = (opcode - SLICE_0) & 2 ? POP() : nullptr;
        v = (opcode - SLICE_0) & 1 ? POP() : nullptr;
        u = TOP();
        x = apply_slice(u, v, w);
        Zv_DECREF(u);
        Zv_XDECREF(v);
        Zv_XDECREF(w);
        SET_TOP(x);
        if (x == nullptr) goto error;
        DISPATCH();
    }

    TARGET_SHARED(STORE_SLICE_0, STORE_SLICE_3)
    TARGET_SHARED(STORE_SLICE_1, STORE_SLICE_3)
    TARGET_SHARED(STORE_SLICE_2, STORE_SLICE_3)
    TARGET(STORE_SLICE_3) {
        w = (opcode - STORE_SLICE_0) & 2 ? POP() : nullptr;
        v = (opcode - STORE_SLICE_0) & 1 ? POP() : nullptr;
        u = POP();
        x = POP();
        err = assign_slice(u, v, w, x);
        Zv_DECREF(x);
        Zv_DECREF(u);
        Zv_XDECREF(v);
        Zv_XDECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET_SHARED(DELETE_SLICE_0, DELETE_SLICE_3)
    TARGET_SHARED(DELETE_SLICE_1, DELETE_SLICE_3)
    TARGET_SHARED(DELETE_SLICE_2, DELETE_SLICE_3)
    TARGET(DELETE_SLICE_3) {
        w = (opcode - DELETE_SLICE_0) & 2 ? POP() : nullptr;
        v = (opcode - DELETE_SLICE_0) & 1 ? POP() : nullptr;
        u = POP();
        err = assign_slice(u, v, w, nullptr);
        Zv_DECREF(u);
        Zv_XDECREF(v);
        Zv_XDECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(STORE_SUBSCR) {
        w = TOP();
        v = SECOND();
        u = THIRD();
        STACKADJ(-3);
        if (ZvList_CheckExact(v) && ZvInt_CheckExact(w)) {
            /* An item of a list by an index inside it: the value's reference
             * goes straight into the list. */
            int32_t i = ZvInt_AS_LONG(w);
            if (i < 0) i += ZvList_GET_SIZE(v);
            if (i >= 0 && i < ZvList_GET_SIZE(v)) {
                x = ZvList_GET_ITEM(v, i);
                ZvList_SET_ITEM(v, i, u);
                Zv_DECREF(x);
                Zv_DECREF(v);
                Zv_DECREF(w);
                DISPATCH();
            }
        }
        err = ZvObject_SetItem(v, w, u);
        Zv_DECREF(u);
        Zv_DECREF(v);
        Zv_DECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(DELETE_SUBSCR) {
        w = TOP();
        v = SECOND();
        STACKADJ(-2);
        err = ZvObject_DelItem(v, w);
        Zv_DECREF(v);
        Zv_DECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(LIST_APPEND) {
        w = POP();
        v = POP();
        err = ZvList_Append(v, w);
        Zv_DECREF(v);
        Zv_DECREF(w);
        if (err != 0) goto error;
        PREDICT(JUMP_ABSOLUTE);
        DISPATCH();
    }

    TARGET(GET_ITER) {
        v = TOP();
        x = ZvObject_GetIter(v);
        Zv_DECREF(v);
        SET_TOP(x);
        if (x == nullptr) goto error;
        PREDICT(FOR_ITER);
        DISPATCH();
    }

    TARGET(FOR_ITER) PREDICTED(FOR_ITER) {
        v = TOP();
        iternextfunc next = Zv_TYPE(v)->tp_iternext;
        if (next == nullptr) {
            ZvErr_Format(ZvExc_TypeError, "'%.100s' object is not an iterator",
                         Zv_TYPE(v)->tp_name);
            goto error;
        }
        x = next(v);
        if (x != nullptr) {
            PUSH(x);
            PREDICT(STORE_FAST);
            PREDICT(UNPACK_SEQUENCE);
            DISPATCH();
        }
        if (ZvErr_Occurred()) {
            if (!ZvErr_ExceptionMatches(ZvExc_StopIteration)) goto error;
            ZvErr_Clear();
        }
        v = POP();
        Zv_DECREF(v);
        JUMPBY(oparg);
        DISPATCH();
    }

    TARGET(PRINT_EXPR) {
        v = POP();
        err = print_expr(v);
        Zv_DECREF(v);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET_SHARED(PRINT_ITEM_TO, PRINT_ITEM)
    TARGET(PRINT_ITEM) {
        w = opcode == PRINT_ITEM_TO ? POP() : nullptr;
        v = POP();
        err = print_item(v, w);
        Zv_DECREF(v);
        Zv_XDECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET_SHARED(PRINT_NEWLINE_TO, PRINT_NEWLINE)
    TARGET(PRINT_NEWLINE) {
        w = opcode == PRINT_NEWLINE_TO ? POP() : nullptr;
        err = print_newline(w);
        Zv_XDECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(BREAK_LOOP) {
        why = WHY_BREAK;
        goto unwind;
    }

    TARGET(CONTINUE_LOOP) {
        retval = ZvInt_FromLong(oparg);
        if (retval == nullptr) goto error;
        why = WHY_CONTINUE;
        goto unwind;
    }

    TARGET(LOAD_LOCALS) {
        x = f->f_locals;
        if (x == nullptr) {
            ZvErr_SetString(ZvExc_SystemError, "no locals");
            goto error;
        }
        Zv_INCREF(x);
        PUSH(x);
        DISPATCH();
    }

    TARGET(RETURN_VALUE) {
        retval = POP();
        why = WHY_RETURN;
        /* With no block to unwind through, the frame simply ends. */
        if (f->f_iblock == 0) goto frame_end;
        goto unwind;
    }

    TARGET(YIELD_VALUE) {
        /* The value stays on the stack: the compiler pops it after the resume. */
        retval = TOP();
        Zv_INCREF(retval);
        f->f_stacktop = stack_pointer;
        why = WHY_YIELD;
        goto leave_frame;
    }

    TARGET(IMPORT_STAR) {
        v = POP();
        err = import_all_from(f, v);
        Zv_DECREF(v);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(EXEC_STMT) {
        w = TOP();
        v = SECOND();
        u = THIRD();
        STACKADJ(-3);
        err = exec_statement(f, u, v, w);
        Zv_DECREF(u);
        Zv_DECREF(v);
        Zv_DECREF(w);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(POP_BLOCK) {
        ZvTryBlock *b = ZvFrame_BlockPop(f);
        while (STACK_LEVEL() > b->b_level) {
            v = POP();
            Zv_XDECREF(v);
        }
        DISPATCH();
    }

    TARGET(END_FINALLY) {
        v = POP();
        if (ZvInt_Check(v)) {
            why = ZvInt_AS_LONG(v);
            Zv_DECREF(v);
            if (why == WHY_RETURN || why == WHY_CONTINUE) {
                if (STACK_LEVEL() - 1 < block_floor(f)) goto bad_finally;
                retval = POP();
            }
            if (why == WHY_NOT) DISPATCH();
            if (why != WHY_RETURN && why != WHY_CONTINUE && why != WHY_BREAK &&
                why != WHY_EXCEPTION)
                goto bad_finally;
            goto unwind;
        }
        if (ZvClass_Check(v) || ZvString_Check(v) || ZvType_Check(v)) {
            if (STACK_LEVEL() - 2 < block_floor(f)) {
                Zv_DECREF(v);
                goto bad_finally;
            }
            w = POP();
            u = POP();
            ZvErr_Restore(v, w, u);
            why = WHY_RERAISE;
            goto unwind;
        }
        if (v != Zv_None) {
            ZvErr_SetString(ZvExc_SystemError, "'finally' pops bad exception");
            Zv_DECREF(v);
            goto error;
        }
        Zv_DECREF(v);
        DISPATCH();
    bad_finally:
        why = WHY_NOT;
        Zv_CLEAR(retval);
        ZvErr_SetString(ZvExc_SystemError, "'finally' pops bad exception");
        goto error;
    }

    TARGET(BUILD_CLASS) {
        u = TOP();
        v = SECOND();
        w = THIRD();
        STACKADJ(-2);
        x = build_class(u, v, w, f->f_globals);
        SET_TOP(x);
        Zv_DECREF(u);
        Zv_DECREF(v);
        Zv_DECREF(w);
        if (x == nullptr) goto error;
        DISPATCH();
    }

    TARGET(STORE_NAME) {
        w = GETITEM(names, oparg);
        v = POP();
        x = f->f_locals;
        if (x == nullptr) {
            zv::Ref r(ZvObject_Repr(w));
            if (r) ZvErr_Format(ZvExc_SystemError, "no locals found when storing %s",
                                ZvString_AsString(r.get()));
            Zv_DECREF(v);
            goto error;
        }
        err = ZvDict_CheckExact(x) ? ZvDict_SetItem(x, w, v) : ZvObject_SetItem(x, w, v);
        Zv_DECREF(v);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(DELETE_NAME) {
        w = GETITEM(names, oparg);
        x = f->f_locals;
        if (x == nullptr) {
            zv::Ref r(ZvObject_Repr(w));
            if (r) ZvErr_Format(ZvExc_SystemError, "no locals when deleting %s",
                                ZvString_AsString(r.get()));
            goto error;
        }
        if (ZvObject_DelItem(x, w) != 0) {
            format_exc_check_arg(ZvExc_NameError, "name '%.200s' is not defined", w);
            goto error;
        }
        DISPATCH();
    }

    TARGET(UNPACK_SEQUENCE) PREDICTED(UNPACK_SEQUENCE) {
        v = POP();
        if (ZvTuple_CheckExact(v) && ZvTuple_GET_SIZE(v) == oparg) {
            for (int i = oparg; --i >= 0;) {
                w = ZvTuple_GET_ITEM(v, i);
                Zv_INCREF(w);
                PUSH(w);
            }
        } else if (ZvList_CheckExact(v) && ZvList_GET_SIZE(v) == oparg) {
            for (int i = oparg; --i >= 0;) {
                w = ZvList_GET_ITEM(v, i);
                Zv_INCREF(w);
                PUSH(w);
            }
        } else if (unpack_iterable(v, oparg, stack_pointer) == 0) {
            stack_pointer += oparg;
        } else {
            Zv_DECREF(v);
            goto error;
        }
        Zv_DECREF(v);
        DISPATCH();
    }

    TARGET(STORE_ATTR) {
        w = GETITEM(names, oparg);
        v = TOP();
        u = SECOND();
        STACKADJ(-2);
        if (ZvString_CHECK_INTERNED(w) && Zv_TYPE(v)->tp_setattro != nullptr)
            err = Zv_TYPE(v)->tp_setattro(v, w, u); /* as LOAD_ATTR */
        else
            err = ZvObject_SetAttr(v, w, u);
        Zv_DECREF(v);
        Zv_DECREF(u);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(DELETE_ATTR) {
        w = GETITEM(names, oparg);
        v = POP();
        err = ZvObject_SetAttr(v, w, nullptr);
        Zv_DECREF(v);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(STORE_GLOBAL) {
        w = GETITEM(names, oparg);
        v = POP();
        err = ZvDict_SetItem(f->f_globals, w, v);
        Zv_DECREF(v);
        if (err != 0) goto error;
        DISPATCH();
    }

    TARGET(DELETE_GLOBAL) {
        w = GETITEM(names, oparg);
        if (ZvDict_DelItem(f->f_globals, w) != 0) {
            format_exc_check_arg(ZvExc_NameError, "global name '%.200s' is not defined", w);
            goto error;
        }
        DISPATCH();
    }

    TARGET(LOAD_NAME) {
        x = load_name(f, GETITEM(names, oparg));
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET(LOAD_GLOBAL) {
        x = cached_global(co, oparg, f->f_globals, f->f_builtins);
        if (x != nullptr) {
            Zv_INCREF(x);
            PUSH(x);
            DISPATCH();
        }
        w = GETITEM(names, oparg);
        if (ZvString_CheckExact(w)) {
            Zv_hash_t hash = ((ZvStringObject *)w)->ob_shash;
            if (hash != -1) {
                bool in_builtins = false;
                x = dict_lookup_name(f->f_globals, w, hash);
                if (x == nullptr) {
                    x = dict_lookup_name(f->f_builtins, w, hash);
                    in_builtins = true;
                }
                if (x != nullptr) {
                    remember_global(co, oparg, f->f_globals, f->f_builtins, in_builtins, x);
                    Zv_INCREF(x);
                    PUSH(x);
                    DISPATCH();
                }
                format_exc_check_arg(ZvExc_NameError, "global name '%.200s' is not defined",
                                     w);
                goto error;
            }
        }
        x = load_global(f, w);
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET(DELETE_FAST) {
        x = GETLOCAL(oparg);
        if (x == nullptr) {
            unbound_local_error(co, oparg);
            goto error;
        }
        SETLOCAL(oparg, nullptr);
        DISPATCH();
    }

    TARGET(LOAD_CLOSURE) {
        x = freevars[oparg];
        Zv_INCREF(x);
        PUSH(x);
        DISPATCH();
    }

    TARGET(LOAD_DEREF) {
        x = ZvCell_GET(freevars[oparg]);
        if (x == nullptr) {
            unbound_deref_error(co, oparg);
            goto error;
        }
        Zv_INCREF(x);
        PUSH(x);
        DISPATCH();
    }

    TARGET(STORE_DEREF) {
        w = POP();
        ZvCell_Set(freevars[oparg], w);
        Zv_DECREF(w);
        DISPATCH();
    }

    TARGET(BUILD_TUPLE) {
        x = ZvTuple_New(oparg);
        if (x == nullptr) goto error;
        for (int i = oparg; --i >= 0;) ZvTuple_SET_ITEM(x, i, POP());
        PUSH(x);
        DISPATCH();
    }

    TARGET(BUILD_LIST) {
        x = ZvList_New(oparg);
        if (x == nullptr) goto error;
        for (int i = oparg; --i >= 0;) ZvList_SET_ITEM(x, i, POP());
        PUSH(x);
        DISPATCH();
    }

    TARGET(BUILD_MAP) {
        x = ZvDict_New();
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET(LOAD_ATTR) {
        w = GETITEM(names, oparg);
        v = TOP();
        /* Names are exact strings, interned when the code was made: the
         * type's own hook takes them as they are. */
        if (ZvString_CHECK_INTERNED(w) && Zv_TYPE(v)->tp_getattro != nullptr)
            x = Zv_TYPE(v)->tp_getattro(v, w);
        else
            x = ZvObject_GetAttr(v, w);
        Zv_DECREF(v);
        SET_TOP(x);
        if (x == nullptr) goto error;
        DISPATCH();
    }

    TARGET(COMPARE_OP) {
        w = POP();
        v = TOP();
        if (ZvInt_CheckExact(w) && ZvInt_CheckExact(v) && int_fast_cmp_op(oparg)) {
            x = int_compare(oparg, v, w) ? Zv_True : Zv_False;
            Zv_INCREF(x);
        } else if (ZvFloat_CheckExact(w) && ZvFloat_CheckExact(v) && oparg <= ZvCmp_GE) {
            x = float_compare(oparg, ZvFloat_AS_DOUBLE(v), ZvFloat_AS_DOUBLE(w)) ? Zv_True : Zv_False;
            Zv_INCREF(x);
        } else {
            x = cmp_outcome(oparg, v, w);
        }
        Zv_DECREF(v);
        Zv_DECREF(w);
        SET_TOP(x);
        if (x == nullptr) goto error;
        PREDICT(JUMP_IF_FALSE);
        PREDICT(JUMP_IF_TRUE);
        DISPATCH();
    }

    TARGET(IMPORT_NAME) {
        w = GETITEM(names, oparg);
        u = TOP();
        x = import_name(f, w, u);
        Zv_DECREF(u);
        SET_TOP(x);
        if (x == nullptr) goto error;
        DISPATCH();
    }

    TARGET(IMPORT_FROM) {
        w = GETITEM(names, oparg);
        x = import_from(TOP(), w);
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET(JUMP_FORWARD) {
        JUMPBY(oparg);
        FAST_DISPATCH();
    }

    TARGET(JUMP_IF_FALSE) PREDICTED(JUMP_IF_FALSE) {
        w = TOP();
        if (w == Zv_True) {
            PREDICT(POP_TOP);
            FAST_DISPATCH();
        }
        if (w == Zv_False) {
            JUMPBY(oparg);
            FAST_DISPATCH();
        }
        err = condition_truth(w);
        if (err < 0) goto error;
        if (err == 0) JUMPBY(oparg);
        DISPATCH();
    }

    TARGET(JUMP_IF_TRUE) PREDICTED(JUMP_IF_TRUE) {
        w = TOP();
        if (w == Zv_False) {
            PREDICT(POP_TOP);
            FAST_DISPATCH();
        }
        if (w == Zv_True) {
            JUMPBY(oparg);
            FAST_DISPATCH();
        }
        err = condition_truth(w);
        if (err < 0) goto error;
        if (err > 0) JUMPBY(oparg);
        DISPATCH();
    }

    TARGET(JUMP_ABSOLUTE) PREDICTED(JUMP_ABSOLUTE) {
        JUMPTO(oparg);
        DISPATCH();
    }

    TARGET_SHARED(SETUP_LOOP, SETUP_FINALLY)
    TARGET_SHARED(SETUP_EXCEPT, SETUP_FINALLY)
    TARGET(SETUP_FINALLY) {
        ZvFrame_BlockSetup(f, opcode, INSTR_OFFSET() + oparg, STACK_LEVEL());
        DISPATCH();
    }

    TARGET(RAISE_VARARGS) {
        u = oparg > 2 ? POP() : nullptr;
        v = oparg > 1 ? POP() : nullptr;
        w = oparg > 0 ? POP() : nullptr;
        why = do_raise(w, v, u);
        goto unwind;
    }

    TARGET(CALL_FUNCTION) {
        if (!tstate->use_tracing && (oparg & 0xff00) == 0) {
            ZvObject **pfunc = stack_pointer - oparg - 1;
            bool failed = false;
            ZvFrameObject *callee = inline_frame(tstate, pfunc, oparg, &failed);
            if (callee != nullptr || failed) {
                while (stack_pointer > pfunc) {
                    v = POP();
                    Zv_DECREF(v);
                }
                if (failed) goto error;
                if (++tstate->recursion_depth > _Zv_CheckRecursionLimit &&
                    _Zv_CheckRecursiveCall("")) {
                    ++tstate->recursion_depth;
                    Zv_DECREF(callee);
                    --tstate->recursion_depth;
                    goto error;
                }
                /* The caller waits here; the callee runs in this same loop. */
                f->f_zvresume = INSTR_OFFSET();
                f->f_zvsp = stack_pointer;
                f = callee;
                tstate->frame = f;
                ++inline_depth;
                LOAD_FRAME_STATE();
                next_instr = first_instr;
                stack_pointer = f->f_valuestack;
                f->f_stacktop = nullptr;
                instr_lb = 0, instr_ub = -1, instr_prev = -1;
                DISPATCH();
            }
        }
        ZvObject **sp = stack_pointer;
        x = call_function(&sp, oparg);
        stack_pointer = sp;
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET_SHARED(CALL_FUNCTION_VAR, CALL_FUNCTION_VAR_KW)
    TARGET_SHARED(CALL_FUNCTION_KW, CALL_FUNCTION_VAR_KW)
    TARGET(CALL_FUNCTION_VAR_KW) {
        ZvObject **sp = stack_pointer;
        x = ext_do_call(&sp, opcode - CALL_FUNCTION, oparg & 0xff, (oparg >> 8) & 0xff);
        stack_pointer = sp;
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET_SHARED(MAKE_FUNCTION, MAKE_CLOSURE)
    TARGET(MAKE_CLOSURE) {
        ZvObject **sp = stack_pointer;
        x = make_function(f, &sp, oparg, opcode == MAKE_CLOSURE);
        stack_pointer = sp;
        if (x == nullptr) goto error;
        PUSH(x);
        DISPATCH();
    }

    TARGET(BUILD_SLICE) {
        w = oparg == 3 ? POP() : nullptr;
        v = POP();
        u = TOP();
        x = ZvSlice_New(u, v, w);
        Zv_DECREF(u);
        Zv_DECREF(v);
        Zv_XDECREF(w);
        SET_TOP(x);
        if (x == nullptr) goto error;
        DISPATCH();
    }

    TARGET(EXTENDED_ARG) {
        opcode = *next_instr++;
        oparg = oparg << 16 | NEXTARG();
#if USE_COMPUTED_GOTOS
        goto *bodies[opcode];
#else
        goto dispatch_opcode;
#endif
    }

#if !USE_COMPUTED_GOTOS
    default:
        goto unknown_opcode;
    } /* switch */
#endif

unknown_opcode:
    fprintf(stderr, "XXX lineno: %d, opcode: %d\n", ZvCode_Addr2Line(co, f->f_lasti), opcode);
    ZvErr_SetString(ZvExc_SystemError, "unknown opcode");
    goto error;

periodic:
    /* A finally block must be set up before anything can interrupt, or the
     * handler it protects could be skipped. */
    if (*next_instr == SETUP_FINALLY) goto fast_next_opcode;
    __atomic_store_n(&_Zv_Ticker, _Zv_CheckInterval, __ATOMIC_RELAXED);
    tstate->tick_counter++;
    if (__atomic_load_n(&_Zv_PendingThingsToDo, __ATOMIC_RELAXED)) {
        if (Zv_MakePendingCalls() < 0) goto error;
        if (__atomic_load_n(&_Zv_PendingThingsToDo, __ATOMIC_RELAXED))
            __atomic_store_n(&_Zv_Ticker, 0, __ATOMIC_RELAXED);
    }
    if (ZvEval_ThreadsInitialized()) {
        hand_over_lock(tstate);
        if (tstate->async_exc != nullptr) {
            x = tstate->async_exc;
            tstate->async_exc = nullptr;
            ZvErr_SetNone(x);
            Zv_DECREF(x);
            goto error;
        }
    }
#if USE_COMPUTED_GOTOS
    dispatch_table = tstate->use_tracing ? trace_targets : targets;
#endif
    goto fast_next_opcode;

trace_check:
    /* Entered before the instruction at f_lasti runs, its opcode perhaps
     * already read. */
    JUMPTO(f->f_lasti);
    if (tstate->c_tracefunc != nullptr && !tstate->tracing) {
        f->f_stacktop = stack_pointer;
        err = maybe_call_line_trace(tstate->c_tracefunc, tstate->c_traceobj, f, &instr_lb,
                                    &instr_ub, &instr_prev);
        /* The trace function may have moved the frame by setting f_lineno. */
        JUMPTO(f->f_lasti);
        if (f->f_stacktop != nullptr) {
            stack_pointer = f->f_stacktop;
            f->f_stacktop = nullptr;
        }
        if (err != 0) goto error;
    }
    goto dispatch_next;

error:
    why = WHY_EXCEPTION;
unwind:
    if (why == WHY_EXCEPTION || why == WHY_RERAISE) {
        if (!ZvErr_Occurred()) {
            ZvErr_SetString(ZvExc_SystemError, "error return without exception set");
            why = WHY_EXCEPTION;
        }
    }
    if (why == WHY_EXCEPTION) {
        ZvTraceBack_Here(f);
        if (tstate->c_tracefunc != nullptr)
            call_exc_trace(tstate->c_tracefunc, tstate->c_traceobj, f);
    }
    if (why == WHY_RERAISE) why = WHY_EXCEPTION;

    while (why != WHY_NOT && f->f_iblock > 0) {
        ZvTryBlock *b = ZvFrame_BlockPop(f);
        if (b->b_type == SETUP_LOOP && why == WHY_CONTINUE) {
            ZvFrame_BlockSetup(f, b->b_type, b->b_handler, b->b_level);
            if (!continue_target_ok(co, retval, STACK_LEVEL(), f->f_iblock)) {
                Zv_CLEAR(retval);
                ZvErr_SetString(ZvExc_SystemError, "continue lands where the code was not verified");
                why = WHY_EXCEPTION;
                continue;
            }
            why = WHY_NOT;
            JUMPTO(ZvInt_AS_LONG(retval));
            Zv_CLEAR(retval);
            break;
        }
        while (STACK_LEVEL() > b->b_level) {
            v = POP();
            Zv_XDECREF(v);
        }
        if (b->b_type == SETUP_LOOP && why == WHY_BREAK) {
            why = WHY_NOT;
            JUMPTO(b->b_handler);
            break;
        }
        if (b->b_type == SETUP_FINALLY || (b->b_type == SETUP_EXCEPT && why == WHY_EXCEPTION)) {
            if (why == WHY_EXCEPTION) {
                ZvObject *exc, *val, *tb;
                ZvErr_Fetch(&exc, &val, &tb);
                if (val == nullptr) {
                    val = Zv_None;
                    Zv_INCREF(val);
                }
                if (b->b_type == SETUP_EXCEPT) {
                    ZvErr_NormalizeException(&exc, &val, &tb);
                    set_exc_info(tstate, f, exc, val, tb);
                }
                if (tb == nullptr) {
                    Zv_INCREF(Zv_None);
                    PUSH(Zv_None);
                } else {
                    PUSH(tb);
                }
                PUSH(val);
                PUSH(exc);
            } else {
                if (why & (WHY_RETURN | WHY_CONTINUE)) PUSH(retval);
                v = ZvInt_FromLong(why);
                if (v == nullptr) Zv_FatalError("can't allocate the unwinding status");
                PUSH(v);
            }
            why = WHY_NOT;
            JUMPTO(b->b_handler);
            break;
        }
    }
    if (why == WHY_NOT) DISPATCH();

frame_end:
    /* The frame ends: nothing on its stack survives. */
    while (STACK_LEVEL() > 0) {
        v = POP();
        Zv_XDECREF(v);
    }
    if (why != WHY_RETURN) Zv_CLEAR(retval);

leave_frame:
    if (tstate->use_tracing) {
        /* A yield keeps its stack top in the frame; no jump from the return
         * event may move a frame that is not stopped at a line. */
        ZvObject **saved_top = f->f_stacktop;
        f->f_stacktop = nullptr;
        retval = trace_frame_exit(tstate, f, why, retval);
        f->f_stacktop = saved_top;
    }
    if (f->f_exc_type != nullptr) reset_exc_info(tstate, f);
    Zv_LeaveRecursiveCall();
    tstate->frame = f->f_back;
    if (inline_depth > 0) {
        /* Back to the caller waiting in this loop, as if its call returned. */
        ZvFrameObject *callee = f;
        f = f->f_back;
        --inline_depth;
        ++tstate->recursion_depth;
        Zv_DECREF(callee);
        --tstate->recursion_depth;
        LOAD_FRAME_STATE();
        next_instr = first_instr + f->f_zvresume;
        stack_pointer = f->f_zvsp;
        instr_lb = 0, instr_ub = -1, instr_prev = -1;
        why = WHY_NOT;
        if (retval == nullptr) goto error;
        PUSH(retval);
        retval = nullptr;
        DISPATCH();
    }
    return retval;
}

} // extern "C"
