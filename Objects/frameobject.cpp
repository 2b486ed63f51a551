/* Frames: one activation of a code object.
 *
 * A frame owns its caller (f_back), its code, its builtins, globals and
 * locals, and one slot array f_localsplus laid out as
 *
 *     [ fast locals | cells | free variables | value stack ]
 *       f_nlocals    f_ncells  f_nfreevars      f_stacksize
 *
 * with f_valuestack pointing at the first value-stack slot.  The slots
 * before it are owned (NULL when empty); value-stack entries are owned by
 * the running evaluation loop, and by the frame only while it is
 * suspended (f_stacktop set).  ob_size is the number of slots allocated,
 * which for a recycled frame may exceed what its current code needs.
 *
 * Frames are recycled: at most MAXFREELIST released frames wait on
 * free_list, chained through f_back, keeping their slot arrays; one is
 * grown only when too small.  Deallocation runs inside the deep-
 * deallocation guard, so a long chain of callers is released without deep
 * native recursion.
 *
 * Cell and free-variable slots hold cells made by the evaluation loop (or
 * taken from a function's closure); a slot may still be NULL in a frame
 * that has not started, and the locals copies treat that as an empty cell. */
#include "zuvo.h"
#include "frameobject.h"
#include "funcobject.h"
#include "opcode.h"
#include "structmember.h"
#include "zvref.h"

#include <string.h>

namespace {

/* Enough for deep recursion to reuse frames, few enough not to pin memory. */
constexpr int MAXFREELIST = 200;

ZvFrameObject *free_list = nullptr;
int numfree = 0;

/* The interned "__builtins__", made by _ZvFrame_Init. */
ZvObject *builtin_object = nullptr;

int slot_count(ZvFrameObject *f) { return f->f_nlocals + f->f_ncells + f->f_nfreevars; }

/* --- builtins of a new frame --------------------------------------------- */

/* The builtins a frame running against `globals` uses: the caller's when
 * it runs against the same globals, else globals["__builtins__"] (a module
 * gives its dictionary), else a minimal dictionary holding only None.  New
 * reference or NULL. */
ZvObject *frame_builtins(ZvFrameObject *back, ZvObject *globals)
{
    if (back != nullptr && back->f_globals == globals) {
        Zv_INCREF(back->f_builtins);
        return back->f_builtins;
    }
    if (builtin_object == nullptr) {
        builtin_object = ZvString_InternFromString("__builtins__");
        if (builtin_object == nullptr) return nullptr;
    }
    ZvObject *builtins = ZvDict_GetItem(globals, builtin_object);
    if (builtins != nullptr) {
        if (ZvModule_Check(builtins))
            builtins = ZvModule_GetDict(builtins);
        else if (!ZvDict_Check(builtins))
            builtins = nullptr;
    }
    if (builtins != nullptr) {
        Zv_INCREF(builtins);
        return builtins;
    }
    zv::Ref minimal(ZvDict_New());
    if (!minimal || ZvDict_SetItemString(minimal.get(), "None", Zv_None) < 0) return nullptr;
    return minimal.release();
}

/* A frame of at least `slots` slots, from the free list when possible
 * (untracked, reference count 1, fields undefined) or NULL. */
ZvFrameObject *frame_alloc(int slots)
{
    if (free_list == nullptr) return ZvObject_GC_NewVar(ZvFrameObject, &ZvFrame_Type, slots);
    ZvFrameObject *f = free_list;
    free_list = f->f_back;
    --numfree;
    if (Zv_SIZE(f) < slots) {
        ZvFrameObject *g = ZvObject_GC_Resize(ZvFrameObject, f, slots);
        if (g == nullptr) {
            /* The old block is still ours: free it rather than leak it. */
            ZvObject_GC_Del(f);
            return nullptr;
        }
        f = g;
    }
    f->ob_refcnt = 1;
    return f;
}

} // namespace

extern "C" {

ZvFrameObject *ZvFrame_New(ZvThreadState *tstate, ZvCodeObject *code, ZvObject *globals,
                           ZvObject *locals)
{
    if (tstate == nullptr || code == nullptr || !ZvCode_Check(code) || globals == nullptr ||
        !ZvDict_Check(globals) || (locals != nullptr && !ZvMapping_Check(locals))) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return _ZvFrame_NewUnchecked(tstate, code, globals, locals);
}

namespace {

/* Empties the first n slots; most frames have a handful, which stores
 * clear faster than a call. */
inline void clear_slots(ZvObject **p, int n)
{
    switch (n) {
    case 4: p[3] = nullptr; [[fallthrough]];
    case 3: p[2] = nullptr; [[fallthrough]];
    case 2: p[1] = nullptr; [[fallthrough]];
    case 1: p[0] = nullptr; [[fallthrough]];
    case 0: return;
    default: memset(p, 0, (size_t)n * sizeof *p);
    }
}

/* Fills in a frame taken from frame_alloc for code: every field but the
 * reference count, from references the caller passes in (builtins) or
 * takes here. */
inline void frame_init(ZvFrameObject *f, ZvThreadState *tstate, ZvFrameObject *back,
                       ZvCodeObject *code, ZvObject *builtins, ZvObject *globals, int ncells,
                       int nfrees)
{
    Zv_XINCREF(back);
    f->f_back = back;
    Zv_INCREF(code);
    f->f_code = code;
    f->f_builtins = builtins;
    Zv_INCREF(globals);
    f->f_globals = globals;
    f->f_locals = nullptr;
    f->f_trace = nullptr;
    f->f_exc_type = f->f_exc_value = f->f_exc_traceback = nullptr;
    f->f_tstate = tstate;
    f->f_lasti = -1;
    f->f_lineno = code->co_firstlineno;
    f->f_restricted = builtins != tstate->interp->builtins;
    f->f_iblock = 0;
    f->f_nlocals = code->co_nlocals;
    f->f_ncells = ncells;
    f->f_nfreevars = nfrees;
    f->f_stacksize = code->co_stacksize;
    /* The value stack is not cleared: nothing reads above the stack top. */
    int nslots = code->co_nlocals + ncells + nfrees;
    clear_slots(f->f_localsplus, nslots);
    f->f_valuestack = f->f_localsplus + nslots;
    f->f_stacktop = f->f_valuestack;
}

/* The general case of _ZvFrame_NewUnchecked. */
ZvFrameObject *new_frame(ZvThreadState *tstate, ZvCodeObject *code, ZvObject *globals,
                         ZvObject *locals)
{
    ZvFrameObject *back = tstate->frame;
    ZvObject *builtins = frame_builtins(back, globals);
    if (builtins == nullptr) return nullptr;

    int ncells = ZvTuple_GET_SIZE(code->co_cellvars);
    int nfrees = ZvTuple_GET_SIZE(code->co_freevars);
    /* Each term is at most ZV_CODE_MAX_SLOTS (checked when the code was
     * made), so the sum cannot overflow. */
    ZvFrameObject *f = frame_alloc(code->co_stacksize + code->co_nlocals + ncells + nfrees);
    if (f == nullptr) {
        Zv_DECREF(builtins);
        return nullptr;
    }
    frame_init(f, tstate, back, code, builtins, globals, ncells, nfrees);

    const int both = CO_NEWLOCALS | CO_OPTIMIZED;
    if ((code->co_flags & both) == CO_NEWLOCALS) {
        f->f_locals = ZvDict_New();
        if (f->f_locals == nullptr) {
            Zv_DECREF(f);
            return nullptr;
        }
    } else if ((code->co_flags & CO_NEWLOCALS) == 0) {
        f->f_locals = locals != nullptr ? locals : globals;
        Zv_INCREF(f->f_locals);
    }
    _ZvObject_GC_TRACK(f);
    return f;
}

} // namespace

ZvFrameObject *_ZvFrame_NewUnchecked(ZvThreadState *tstate, ZvCodeObject *code,
                                     ZvObject *globals, ZvObject *locals)
{
    /* Most frames are a function's, called from code with the same
     * globals, and a recycled frame is big enough: no dictionary to look
     * in, nothing to allocate. */
    ZvFrameObject *back = tstate->frame;
    ZvFrameObject *f = free_list;
    const int both = CO_NEWLOCALS | CO_OPTIMIZED;
    if (f == nullptr || back == nullptr || back->f_globals != globals ||
        (code->co_flags & both) != both || ZvTuple_GET_SIZE(code->co_cellvars) != 0 ||
        ZvTuple_GET_SIZE(code->co_freevars) != 0 ||
        Zv_SIZE(f) < code->co_stacksize + code->co_nlocals)
        return new_frame(tstate, code, globals, locals);
    free_list = f->f_back;
    --numfree;
    f->ob_refcnt = 1;
    Zv_INCREF(back->f_builtins);
    frame_init(f, tstate, back, code, back->f_builtins, globals, 0, 0);
    _ZvObject_GC_TRACK(f);
    return f;
}

void ZvFrame_BlockSetup(ZvFrameObject *f, int type, int handler, int level)
{
    if (f->f_iblock >= CO_MAXBLOCKS) Zv_FatalError("XXX block stack overflow");
    ZvTryBlock *b = &f->f_blockstack[f->f_iblock++];
    b->b_type = type;
    b->b_handler = handler;
    b->b_level = level;
}

ZvTryBlock *ZvFrame_BlockPop(ZvFrameObject *f)
{
    if (f->f_iblock <= 0) Zv_FatalError("XXX block stack underflow");
    return &f->f_blockstack[--f->f_iblock];
}

} // extern "C"

/* --- locals copies ----------------------------------------------------------
 * Both directions go through the general mapping protocol, so f_locals may
 * be any mapping; its methods may run arbitrary code, so the frame, the
 * mapping and each value are held across every call, and slots are
 * re-read afterwards.  Errors are swallowed: the copies are a courtesy to
 * debuggers and locals(), never a reason to fail. */

namespace {

/* The value a slot stands for: the content of its cell for cell and free
 * slots (an empty or missing cell stands for no value). */
ZvObject *slot_value(ZvObject *slot, bool deref)
{
    if (!deref || slot == nullptr) return slot;
    return ZvCell_GET(slot);
}

void map_to_dict(ZvObject *names, int n, ZvObject *dict, ZvObject **values, bool deref)
{
    for (int j = n; --j >= 0;) {
        ZvObject *key = ZvTuple_GET_ITEM(names, j);
        zv::Ref value = zv::Ref::borrow(slot_value(values[j], deref));
        int err = value ? ZvObject_SetItem(dict, key, value.get()) : ZvObject_DelItem(dict, key);
        if (err != 0) ZvErr_Clear();
    }
}

/* Stores `value` (a new reference or NULL) into the slot or its cell when
 * it differs from what is there. */
void store_slot(ZvObject **slot, ZvObject *value, bool deref)
{
    ZvObject **target = slot;
    if (deref) {
        if (*slot == nullptr) {
            Zv_XDECREF(value); /* no cell to store into yet */
            return;
        }
        target = &ZvCell_GET(*slot);
    }
    ZvObject *old = *target;
    if (old == value) {
        Zv_XDECREF(value);
        return;
    }
    *target = value;
    Zv_XDECREF(old);
}

void dict_to_map(ZvObject *names, int n, ZvObject *dict, ZvObject **values, bool deref,
                 int clear)
{
    for (int j = n; --j >= 0;) {
        ZvObject *key = ZvTuple_GET_ITEM(names, j);
        ZvObject *value = ZvObject_GetItem(dict, key);
        if (value == nullptr) ZvErr_Clear();
        if (value == nullptr && !clear) continue;
        store_slot(&values[j], value, deref);
    }
}

int visible_locals(ZvFrameObject *f)
{
    int nnames = ZvTuple_GET_SIZE(f->f_code->co_varnames);
    return nnames < f->f_nlocals ? nnames : f->f_nlocals;
}

} // namespace

extern "C" {

void ZvFrame_FastToLocals(ZvFrameObject *f)
{
    if (f == nullptr) return;
    zv::Ref hold = zv::Ref::borrow((ZvObject *)f);
    /* Saved first, so that not even a failure to make the dictionary can
     * disturb a pending exception. */
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    if (f->f_locals == nullptr) f->f_locals = ZvDict_New();
    if (f->f_locals == nullptr) {
        ZvErr_Restore(type, value, tb);
        return;
    }
    zv::Ref locals = zv::Ref::borrow(f->f_locals);
    ZvCodeObject *co = f->f_code;
    map_to_dict(co->co_varnames, visible_locals(f), locals.get(), f->f_localsplus, false);
    if (f->f_ncells != 0 || f->f_nfreevars != 0) {
        ZvObject **cells = f->f_localsplus + f->f_nlocals;
        map_to_dict(co->co_cellvars, f->f_ncells, locals.get(), cells, true);
        map_to_dict(co->co_freevars, f->f_nfreevars, locals.get(), cells + f->f_ncells, true);
    }
    ZvErr_Restore(type, value, tb);
}

void ZvFrame_LocalsToFast(ZvFrameObject *f, int clear)
{
    if (f == nullptr || f->f_locals == nullptr) return;
    zv::Ref hold = zv::Ref::borrow((ZvObject *)f);
    zv::Ref locals = zv::Ref::borrow(f->f_locals);
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    ZvCodeObject *co = f->f_code;
    dict_to_map(co->co_varnames, visible_locals(f), locals.get(), f->f_localsplus, false, clear);
    if (f->f_ncells != 0 || f->f_nfreevars != 0) {
        ZvObject **cells = f->f_localsplus + f->f_nlocals;
        dict_to_map(co->co_cellvars, f->f_ncells, locals.get(), cells, true, clear);
        dict_to_map(co->co_freevars, f->f_nfreevars, locals.get(), cells + f->f_ncells, true,
                    clear);
    }
    ZvErr_Restore(type, value, tb);
}

} // extern "C"

/* --- jumping by setting f_lineno -------------------------------------------
 * A trace function may move a frame to another line of its code, while the
 * evaluation loop is stopped for the trace call of a line event.  The
 * bytecode is walked to check that the jump neither enters nor leaves a
 * finally body and does not enter a block, and blocks jumped out of are
 * popped.  Nothing here trusts the tables: the line table may point past
 * the code or into the middle of an instruction, and the setup and pop
 * opcodes need not pair up, in code that did not come from the compiler;
 * such jumps are refused rather than followed. */

namespace {

int set_value_error(const char *msg)
{
    ZvErr_SetString(ZvExc_ValueError, msg);
    return -1;
}

bool is_setup(int op) { return op == SETUP_LOOP || op == SETUP_EXCEPT || op == SETUP_FINALLY; }

/* The bytecode address and line of the first line-table entry at or after
 * `line`; false when there is none. */
bool find_line(ZvCodeObject *co, int line, int *addr, int64_t *found)
{
    auto *tab = (const unsigned char *)ZvString_AS_STRING(co->co_lnotab);
    int len = ZvString_GET_SIZE(co->co_lnotab);
    int64_t a = 0, l = co->co_firstlineno;
    for (int off = 0; off + 1 < len; off += 2) {
        a += tab[off];
        l += tab[off + 1];
        if (l >= line) {
            if (a > INT32_MAX) return false;
            *addr = (int)a;
            *found = l;
            return true;
        }
    }
    return false;
}

struct FinallyScan {
    int lasti_setup = -1;  /* SETUP_FINALLY whose finally body holds f_lasti */
    int target_setup = -1; /* likewise for the target */
    bool target_is_instruction = false;
};

/* The innermost setup whose finally body is running, or -1. */
int innermost_finally(const int *stack, const bool *in_finally, int top)
{
    for (int i = top - 1; i >= 0; i--)
        if (in_finally[i]) return stack[i];
    return -1;
}

/* Walks the whole bytecode with a simulated block stack; false (with
 * ValueError set) when the block structure cannot be followed. */
bool scan_finally(const unsigned char *code, int len, int lasti, int target, FinallyScan *out)
{
    int stack[CO_MAXBLOCKS];
    bool in_finally[CO_MAXBLOCKS];
    int top = 0;
    bool after_extended = false;
    for (int addr = 0; addr < len; addr++) {
        int op = code[addr];
        if (is_setup(op)) {
            if (top >= CO_MAXBLOCKS) {
                set_value_error("can't jump: too many nested blocks");
                return false;
            }
            stack[top] = addr;
            in_finally[top++] = false;
        } else if (op == POP_BLOCK) {
            if (top == 0) {
                set_value_error("can't jump: unmatched block end");
                return false;
            }
            if (code[stack[top - 1]] == SETUP_FINALLY)
                in_finally[top - 1] = true;
            else
                top--;
        } else if (op == END_FINALLY) {
            /* An END_FINALLY ending an except clause has no setup of its own. */
            if (top > 0 && code[stack[top - 1]] == SETUP_FINALLY) top--;
        }
        if (addr == target) {
            /* An argument's high half from EXTENDED_ARG would be lost. */
            out->target_is_instruction = !after_extended;
            out->target_setup = innermost_finally(stack, in_finally, top);
        }
        if (addr == lasti) out->lasti_setup = innermost_finally(stack, in_finally, top);
        after_extended = op == EXTENDED_ARG;
        if (HAS_ARG(op)) addr += 2;
    }
    return true;
}

/* Net block-stack change over [from, to) and its lowest point. */
void block_delta(const unsigned char *code, int from, int to, int *delta, int *min_delta)
{
    *delta = *min_delta = 0;
    for (int addr = from; addr < to; addr++) {
        int op = code[addr];
        if (is_setup(op))
            ++*delta;
        else if (op == POP_BLOCK)
            --*delta;
        if (*delta < *min_delta) *min_delta = *delta;
        if (HAS_ARG(op)) addr += 2;
    }
}

/* True while the evaluation loop waits on a line-event trace call for f:
 * only there has it saved its stack top (f_stacktop set) with the frame
 * among the thread's running frames, and only there does it resume at
 * f_lasti afterwards.  A frame that is running (no saved top) or a
 * suspended generator (not among the running frames) would resume
 * elsewhere: in the middle of an instruction, or with its blocks out of
 * step with its code. */
bool stopped_for_trace(ZvFrameObject *f)
{
    if (f->f_stacktop == nullptr) return false;
    ZvThreadState *ts = ZvThreadState_GET();
    for (ZvFrameObject *p = ts != nullptr ? ts->frame : nullptr; p != nullptr; p = p->f_back)
        if (p == f) return true;
    return false;
}

int frame_setlineno(ZvFrameObject *f, ZvObject *p_new_lineno)
{
    if (p_new_lineno == nullptr || !ZvInt_Check(p_new_lineno))
        return set_value_error("lineno must be an integer");
    if (f->f_trace == nullptr || !stopped_for_trace(f))
        return set_value_error("f_lineno can only be set by a trace function");
    ZvCodeObject *co = f->f_code;
    int new_lineno = ZvInt_AS_LONG(p_new_lineno);
    if (new_lineno < co->co_firstlineno) {
        ZvErr_Format(ZvExc_ValueError, "line %d comes before the current code block", new_lineno);
        return -1;
    }
    auto *code = (const unsigned char *)ZvString_AS_STRING(co->co_code);
    int code_len = ZvString_GET_SIZE(co->co_code);
    int new_lasti;
    int64_t target_line;
    if (!find_line(co, new_lineno, &new_lasti, &target_line) || new_lasti >= code_len) {
        ZvErr_Format(ZvExc_ValueError, "line %d comes after the current code block", new_lineno);
        return -1;
    }
    if (code[new_lasti] == DUP_TOP || code[new_lasti] == POP_TOP)
        return set_value_error("can't jump to 'except' line as there's no exception");

    /* A frame that has not started counts as standing at its first byte. */
    int lasti = f->f_lasti < 0 ? 0 : (f->f_lasti > code_len ? code_len : f->f_lasti);
    FinallyScan scan;
    if (!scan_finally(code, code_len, lasti, new_lasti, &scan)) return -1;
    if (!scan.target_is_instruction)
        return set_value_error("can't jump into the middle of an instruction");
    if (scan.target_setup != scan.lasti_setup)
        return set_value_error("can't jump into or out of a 'finally' block");

    int delta, min_delta;
    block_delta(code, lasti < new_lasti ? lasti : new_lasti, lasti < new_lasti ? new_lasti : lasti,
                &delta, &min_delta);
    int min_iblock = f->f_iblock + min_delta;
    int new_iblock = new_lasti > lasti ? f->f_iblock + delta : f->f_iblock - delta;
    /* A negative depth means the frame's blocks do not match its code. */
    if (new_iblock > min_iblock || new_iblock < 0)
        return set_value_error("can't jump into the middle of a block");

    /* The stack the target will see: what is left after the blocks jumped
     * out of are popped.  It must be one the code was verified for, or the
     * instructions there would read what is not on the stack (a line table
     * may mark a line in the middle of an expression). */
    int depth = f->f_stacktop != nullptr ? (int)(f->f_stacktop - f->f_valuestack) : 0;
    for (int i = f->f_iblock; i > new_iblock; i--)
        if (depth > f->f_blockstack[i - 1].b_level) depth = f->f_blockstack[i - 1].b_level;
    if (!_ZvCode_CanResumeAt(co, new_lasti, depth, f->f_blockstack, new_iblock))
        return set_value_error("can't jump into the middle of an expression");

    while (f->f_iblock > new_iblock) {
        ZvTryBlock *b = &f->f_blockstack[--f->f_iblock];
        /* The value-stack entries above the block's level go with it (the
         * top is re-read: a release may run code that jumps again). */
        while (f->f_stacktop != nullptr && f->f_stacktop - f->f_valuestack > b->b_level) {
            ZvObject *v = *--f->f_stacktop;
            Zv_XDECREF(v);
        }
    }
    f->f_lineno = target_line > INT32_MAX ? INT32_MAX : (int)target_line;
    f->f_lasti = new_lasti;
    return 0;
}

/* --- attributes ------------------------------------------------------------ */

ZvObject *frame_getlocals(ZvObject *op, void *)
{
    auto *f = (ZvFrameObject *)op;
    ZvFrame_FastToLocals(f);
    if (f->f_locals == nullptr) return ZvErr_NoMemory();
    Zv_INCREF(f->f_locals);
    return f->f_locals;
}

ZvObject *frame_getlineno(ZvObject *op, void *)
{
    auto *f = (ZvFrameObject *)op;
    int lineno = f->f_trace != nullptr ? f->f_lineno : ZvCode_Addr2Line(f->f_code, f->f_lasti);
    return ZvInt_FromLong(lineno);
}

int frame_setlineno_attr(ZvObject *op, ZvObject *value, void *)
{
    return frame_setlineno((ZvFrameObject *)op, value);
}

ZvObject *frame_gettrace(ZvObject *op, void *)
{
    ZvObject *trace = ((ZvFrameObject *)op)->f_trace;
    if (trace == nullptr) trace = Zv_None;
    Zv_INCREF(trace);
    return trace;
}

/* f_lineno is only maintained while a trace function is set, so it is
 * brought up to date whenever one is installed. */
int frame_settrace(ZvObject *op, ZvObject *value, void *)
{
    auto *f = (ZvFrameObject *)op;
    ZvObject *old = f->f_trace;
    Zv_XINCREF(value);
    f->f_trace = value;
    if (value != nullptr) f->f_lineno = ZvCode_Addr2Line(f->f_code, f->f_lasti);
    Zv_XDECREF(old);
    return 0;
}

#define OFF(x) offsetof(ZvFrameObject, x)

ZvMemberDef frame_memberlist[] = {
    {"f_back", T_OBJECT, OFF(f_back), READONLY, nullptr},
    {"f_code", T_OBJECT, OFF(f_code), READONLY, nullptr},
    {"f_builtins", T_OBJECT, OFF(f_builtins), READONLY, nullptr},
    {"f_globals", T_OBJECT, OFF(f_globals), READONLY, nullptr},
    {"f_lasti", T_INT, OFF(f_lasti), READONLY, nullptr},
    {"f_restricted", T_INT, OFF(f_restricted), READONLY, nullptr},
    {"f_exc_type", T_OBJECT, OFF(f_exc_type), 0, nullptr},
    {"f_exc_value", T_OBJECT, OFF(f_exc_value), 0, nullptr},
    {"f_exc_traceback", T_OBJECT, OFF(f_exc_traceback), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef OFF

ZvGetSetDef frame_getsetlist[] = {
    {"f_locals", frame_getlocals, nullptr, nullptr, nullptr},
    {"f_lineno", frame_getlineno, frame_setlineno_attr, nullptr, nullptr},
    {"f_trace", frame_gettrace, frame_settrace, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* --- lifetime -------------------------------------------------------------- */

void frame_dealloc(ZvObject *op)
{
    auto *f = (ZvFrameObject *)op;
    if (_ZvGC_IS_TRACKED(f)) _ZvObject_GC_UNTRACK(f);
    ZvTrash_BEGIN(f)
    ZvObject **valuestack = f->f_valuestack;
    for (ZvObject **p = f->f_localsplus; p < valuestack; p++) Zv_CLEAR(*p);
    if (f->f_stacktop != nullptr) {
        ZvObject **top = f->f_stacktop;
        f->f_stacktop = nullptr;
        for (ZvObject **p = valuestack; p < top; p++) Zv_XDECREF(*p);
    }
    Zv_XDECREF(f->f_back);
    Zv_DECREF(f->f_code);
    Zv_DECREF(f->f_builtins);
    Zv_DECREF(f->f_globals);
    Zv_CLEAR(f->f_locals);
    Zv_CLEAR(f->f_trace);
    Zv_CLEAR(f->f_exc_type);
    Zv_CLEAR(f->f_exc_value);
    Zv_CLEAR(f->f_exc_traceback);
    if (numfree < MAXFREELIST) {
        ++numfree;
        f->f_back = free_list;
        free_list = f;
    } else {
        ZvObject_GC_Del(f);
    }
    ZvTrash_END(f)
}

int frame_traverse(ZvObject *op, visitproc visit, void *arg)
{
    auto *f = (ZvFrameObject *)op;
    Zv_VISIT(f->f_back);
    Zv_VISIT(f->f_code);
    Zv_VISIT(f->f_builtins);
    Zv_VISIT(f->f_globals);
    Zv_VISIT(f->f_locals);
    Zv_VISIT(f->f_trace);
    Zv_VISIT(f->f_exc_type);
    Zv_VISIT(f->f_exc_value);
    Zv_VISIT(f->f_exc_traceback);
    ZvObject **slots = f->f_localsplus;
    for (int i = slot_count(f); --i >= 0;) Zv_VISIT(slots[i]);
    if (f->f_stacktop != nullptr)
        for (ZvObject **p = f->f_valuestack; p < f->f_stacktop; p++) Zv_VISIT(*p);
    return 0;
}

/* Breaks the cycles a frame can be part of.  The stack top is forgotten
 * first, so that nothing run by the releases below sees a half-cleared
 * value stack as the frame's. */
int frame_clear(ZvObject *op)
{
    auto *f = (ZvFrameObject *)op;
    ZvObject **oldtop = f->f_stacktop;
    f->f_stacktop = nullptr;
    Zv_CLEAR(f->f_exc_type);
    Zv_CLEAR(f->f_exc_value);
    Zv_CLEAR(f->f_exc_traceback);
    Zv_CLEAR(f->f_trace);
    ZvObject **slots = f->f_localsplus;
    for (int i = slot_count(f); --i >= 0;) Zv_CLEAR(slots[i]);
    if (oldtop != nullptr)
        for (ZvObject **p = f->f_valuestack; p < oldtop; p++) Zv_CLEAR(*p);
    return 0;
}

} // namespace

extern "C" {

ZvTypeObject ZvFrame_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "frame", (int32_t)offsetof(ZvFrameObject, f_localsplus), sizeof(ZvObject *),
    frame_dealloc, /* tp_dealloc */
    nullptr,       /* tp_print */
    nullptr,       /* tp_getattr */
    nullptr,       /* tp_setattr */
    nullptr,       /* tp_compare */
    nullptr,       /* tp_repr */
    nullptr, nullptr, nullptr,
    nullptr,       /* tp_hash */
    nullptr,       /* tp_call */
    nullptr,       /* tp_str */
    ZvObject_GenericGetAttr,
    ZvObject_GenericSetAttr,
    nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,          /* tp_doc */
    frame_traverse,   /* tp_traverse */
    frame_clear,      /* tp_clear */
    nullptr, 0, nullptr, nullptr,
    nullptr,          /* tp_methods */
    frame_memberlist, /* tp_members */
    frame_getsetlist, /* tp_getset */
};

void _ZvFrame_Init(void)
{
    if (builtin_object == nullptr) builtin_object = ZvString_InternFromString("__builtins__");
    if (builtin_object == nullptr) Zv_FatalError("Zv_Initialize: can't init frames");
}

void ZvFrame_Fini(void)
{
    while (free_list != nullptr) {
        ZvFrameObject *f = free_list;
        free_list = f->f_back;
        ZvObject_GC_Del(f);
    }
    numfree = 0;
    Zv_CLEAR(builtin_object);
}

} // extern "C"
