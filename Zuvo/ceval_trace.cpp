/* Calls of the trace and profile hooks from the evaluation loop.
 *
 * A hook is never re-entered: while one runs, `tracing` is raised and
 * `use_tracing` cleared, so the code the hook itself runs is not traced.
 * Line events come from the line table: the loop keeps the address range
 * of the current line, so the table is only walked when execution leaves
 * that range. */
#include "zuvo.h"
#include "ceval_internal.h"

#include <limits.h>

namespace zv::ceval {

int call_trace(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame, int what, ZvObject *arg)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts->tracing) return 0;
    ts->tracing++;
    ts->use_tracing = 0;
    int result = func(obj, frame, what, arg);
    ts->use_tracing = ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr;
    ts->tracing--;
    return result;
}

void call_trace_protected(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame, int what,
                          ZvObject *arg)
{
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    if (call_trace(func, obj, frame, what, arg) == 0) {
        ZvErr_Restore(type, value, tb);
        return;
    }
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
}

void call_exc_trace(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame)
{
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    ZvObject *arg = ZvTuple_Pack(3, type, value != nullptr ? value : Zv_None,
                                 tb != nullptr ? tb : Zv_None);
    if (arg == nullptr) {
        ZvErr_Restore(type, value, tb);
        return;
    }
    int err = call_trace(func, obj, frame, ZvTrace_EXCEPTION, arg);
    Zv_DECREF(arg);
    if (err == 0) {
        ZvErr_Restore(type, value, tb);
        return;
    }
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
}

int maybe_call_line_trace(Zv_tracefunc func, ZvObject *obj, ZvFrameObject *frame,
                          int *instr_lb, int *instr_ub, int *instr_prev)
{
    int result = 0;
    int lasti = frame->f_lasti;
    if (lasti < *instr_lb || lasti >= *instr_ub) {
        ZvCodeObject *co = frame->f_code;
        int size = ZvString_GET_SIZE(co->co_lnotab) / 2;
        const auto *p = (const unsigned char *)ZvString_AS_STRING(co->co_lnotab);
        int addr = 0, line = co->co_firstlineno;
        /* Find the pair that covers lasti; its line starts at instr_lb. */
        while (size > 0) {
            if (addr + *p > lasti) break;
            addr += *p++;
            if (*p) *instr_lb = addr;
            line += *p++;
            --size;
        }
        if (addr == lasti) {
            frame->f_lineno = line;
            result = call_trace(func, obj, frame, ZvTrace_LINE, Zv_None);
        }
        /* The line ends where the next pair that changes the line begins. */
        if (size > 0) {
            while (--size >= 0) {
                addr += *p++;
                if (*p++) break;
            }
            *instr_ub = addr;
        } else {
            *instr_ub = INT_MAX;
        }
    } else if (lasti <= *instr_prev) {
        /* A backward jump inside one line, as at the top of a loop. */
        result = call_trace(func, obj, frame, ZvTrace_LINE, Zv_None);
    }
    *instr_prev = frame->f_lasti;
    return result;
}

} // namespace zv::ceval
