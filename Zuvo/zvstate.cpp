/* Interpreter and thread states.
 *
 * One interpreter state per interpreter holds what its threads share; one
 * thread state per OS thread holds its frame chain, recursion depth, hooks
 * and error indicator.  This first version keeps the lists and the current
 * state; the interpreter lock and the automatic lock state join it. */
#include "zuvo.h"

#include <pthread.h>
#include <stdlib.h>

extern "C" {

ZvThreadState *_ZvThreadState_Current = nullptr;
ZvThreadFrameGetter _ZvThreadState_GetFrame = nullptr;

static ZvInterpreterState *interp_head = nullptr;

static struct _frame *threadstate_getframe(ZvThreadState *ts) { return ts->frame; }

ZvInterpreterState *ZvInterpreterState_New(void)
{
    auto *interp = (ZvInterpreterState *)calloc(1, sizeof(ZvInterpreterState));
    if (interp == nullptr) return nullptr;
    interp->dlopenflags = 2;
    interp->next = interp_head;
    interp_head = interp;
    return interp;
}

void ZvInterpreterState_Clear(ZvInterpreterState *interp)
{
    for (ZvThreadState *ts = interp->tstate_head; ts != nullptr; ts = ts->next)
        ZvThreadState_Clear(ts);
    Zv_CLEAR(interp->codec_search_path);
    Zv_CLEAR(interp->codec_search_cache);
    Zv_CLEAR(interp->codec_error_registry);
    Zv_CLEAR(interp->modules);
    Zv_CLEAR(interp->sysdict);
    Zv_CLEAR(interp->builtins);
}

void ZvInterpreterState_Delete(ZvInterpreterState *interp)
{
    while (interp->tstate_head != nullptr) ZvThreadState_Delete(interp->tstate_head);
    ZvInterpreterState **p;
    for (p = &interp_head; *p != interp; p = &(*p)->next)
        if (*p == nullptr) Zv_FatalError("ZvInterpreterState_Delete: invalid interp");
    *p = interp->next;
    free(interp);
}

ZvThreadState *ZvThreadState_New(ZvInterpreterState *interp)
{
    auto *ts = (ZvThreadState *)calloc(1, sizeof(ZvThreadState));
    if (ts == nullptr) return nullptr;
    if (_ZvThreadState_GetFrame == nullptr) _ZvThreadState_GetFrame = threadstate_getframe;
    ts->interp = interp;
    ts->thread_id = (unsigned long)pthread_self();
    ts->next = interp->tstate_head;
    interp->tstate_head = ts;
    return ts;
}

void ZvThreadState_Clear(ZvThreadState *ts)
{
    ts->frame = nullptr;
    Zv_CLEAR(ts->dict);
    Zv_CLEAR(ts->async_exc);
    Zv_CLEAR(ts->curexc_type);
    Zv_CLEAR(ts->curexc_value);
    Zv_CLEAR(ts->curexc_traceback);
    Zv_CLEAR(ts->exc_type);
    Zv_CLEAR(ts->exc_value);
    Zv_CLEAR(ts->exc_traceback);
    ts->c_profilefunc = nullptr;
    ts->c_tracefunc = nullptr;
    Zv_CLEAR(ts->c_profileobj);
    Zv_CLEAR(ts->c_traceobj);
}

void ZvThreadState_Delete(ZvThreadState *ts)
{
    if (ts == nullptr) Zv_FatalError("ZvThreadState_Delete: NULL tstate");
    if (ts == _ZvThreadState_Current) Zv_FatalError("ZvThreadState_Delete: tstate is still current");
    ZvInterpreterState *interp = ts->interp;
    if (interp == nullptr) Zv_FatalError("ZvThreadState_Delete: NULL interp");
    ZvThreadState **p;
    for (p = &interp->tstate_head; *p != ts; p = &(*p)->next)
        if (*p == nullptr) Zv_FatalError("ZvThreadState_Delete: invalid tstate");
    *p = ts->next;
    free(ts);
}

ZvThreadState *ZvThreadState_Get(void)
{
    if (_ZvThreadState_Current == nullptr) Zv_FatalError("ZvThreadState_Get: no current thread");
    return _ZvThreadState_Current;
}

ZvThreadState *ZvThreadState_Swap(ZvThreadState *ts)
{
    ZvThreadState *old = _ZvThreadState_Current;
    _ZvThreadState_Current = ts;
    return old;
}

ZvObject *ZvThreadState_GetDict(void)
{
    ZvThreadState *ts = _ZvThreadState_Current;
    if (ts == nullptr) return nullptr;
    if (ts->dict == nullptr) {
        ts->dict = ZvDict_New();
        if (ts->dict == nullptr) ZvErr_Clear();
    }
    return ts->dict;
}

ZvInterpreterState *ZvInterpreterState_Head(void) { return interp_head; }
ZvInterpreterState *ZvInterpreterState_Next(ZvInterpreterState *i) { return i->next; }
ZvThreadState *ZvInterpreterState_ThreadHead(ZvInterpreterState *i) { return i->tstate_head; }
ZvThreadState *ZvThreadState_Next(ZvThreadState *ts) { return ts->next; }

/* --- recursion limit ------------------------------------------------------ */

static int recursion_limit = 1000;
int _Zv_CheckRecursionLimit = 1000;

int Zv_GetRecursionLimit(void) { return recursion_limit; }

void Zv_SetRecursionLimit(int n)
{
    recursion_limit = n;
    _Zv_CheckRecursionLimit = n;
}

int _Zv_CheckRecursiveCall(const char *where)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts->recursion_depth > recursion_limit) {
        --ts->recursion_depth;
        ZvErr_Format(ZvExc_RuntimeError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    _Zv_CheckRecursionLimit = recursion_limit;
    return 0;
}

struct _frame *ZvEval_GetFrame(void)
{
    ZvThreadState *ts = ZvThreadState_GET();
    return (ts != nullptr && _ZvThreadState_GetFrame != nullptr) ? _ZvThreadState_GetFrame(ts)
                                                                  : nullptr;
}

} // extern "C"
