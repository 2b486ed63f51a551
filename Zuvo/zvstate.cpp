/* Interpreter and thread states, the interpreter lock, the automatic lock
 * state, pending calls, the recursion limit and the frame/hook queries.
 *
 * Interpreter states form a list (newest first) and each owns a list of
 * its thread states (newest first); head_mutex guards both kinds of list,
 * and is held only for short list operations.  No object is released while
 * it is held: a finalizer may itself need the lists (set an asynchronous
 * exception, make or delete a thread state), and the lock is not
 * re-entrant, so what a locked walk takes out of the states is released
 * after the lock is dropped.  Exactly one thread state is current while its
 * thread holds the interpreter lock; the lock does not exist until
 * ZvEval_InitThreads, and until then nothing is ever released.
 *
 * The automatic lock state stores each OS thread's thread state under one
 * storage key (autoTLSkey), so that code called from a thread the
 * interpreter did not create can find or make its state; gilstate_counter
 * counts the nested Ensure calls that rely on a state.  Such a thread asks
 * whether its state is current before it holds the interpreter lock, so
 * the current-state word is read and written as an atomic word.
 *
 * The pending-call queue is written by signal handlers and by any thread,
 * and read by the main thread, without a lock (a signal handler must never
 * block): an atomic test-and-set busy flag lets one adder in at a time and
 * refuses the others, the writer only advances pendinglast and the reader
 * only pendingfirst (release stores, acquire loads, so a slot is complete
 * before its index moves past it), one slot always stays empty, and the
 * reader has a busy flag of its own against re-entry. */
#include "zuvo.h"
#include "zvflags.h"
#include "zvref.h"

#include <atomic>
#include <vector>

#include <errno.h>
#include <stdlib.h>

namespace {

ZvInterpreterState *interp_head = nullptr;
ZvThread_type_lock head_mutex = nullptr;

void head_lock()
{
    if (head_mutex != nullptr) ZvThread_acquire_lock(head_mutex, WAIT_LOCK);
}
void head_unlock()
{
    if (head_mutex != nullptr) ZvThread_release_lock(head_mutex);
}

ZvThread_type_lock interpreter_lock = nullptr;
unsigned long main_thread = 0;

int autoTLSkey = 0;
ZvInterpreterState *autoInterpreterState = nullptr;

struct _frame *threadstate_getframe(ZvThreadState *ts) { return ts->frame; }

/* Unlinks `tstate` from its interpreter's list and frees it. */
void tstate_delete_common(ZvThreadState *tstate)
{
    if (tstate == nullptr) Zv_FatalError("ZvThreadState_Delete: NULL tstate");
    ZvInterpreterState *interp = tstate->interp;
    if (interp == nullptr) Zv_FatalError("ZvThreadState_Delete: NULL interp");
    head_lock();
    ZvThreadState **p = &interp->tstate_head;
    while (*p != tstate) {
        if (*p == nullptr) {
            head_unlock();
            Zv_FatalError("ZvThreadState_Delete: invalid tstate");
        }
        p = &(*p)->next;
    }
    *p = tstate->next;
    head_unlock();
    free(tstate);
}

/* The objects a thread state owns, in the order ZvThreadState_Clear
 * releases them. */
constexpr int NOWNED = 11;
struct owned_objects {
    ZvObject *objects[NOWNED];
    void release()
    {
        for (ZvObject *o : objects) Zv_XDECREF(o);
    }
};

/* Takes every object out of `ts` and clears its hooks, releasing nothing:
 * this is what may be done under head_mutex. */
owned_objects take_owned(ZvThreadState *ts)
{
    if (Zv_VerboseFlag && ts->frame != nullptr)
        fprintf(stderr, "ZvThreadState_Clear: warning: thread still has a frame\n");
    owned_objects taken = {{(ZvObject *)ts->frame /* frames are objects */, ts->dict,
                            ts->async_exc, ts->curexc_type, ts->curexc_value,
                            ts->curexc_traceback, ts->exc_type, ts->exc_value, ts->exc_traceback,
                            ts->c_profileobj, ts->c_traceobj}};
    ts->frame = nullptr;
    ts->dict = ts->async_exc = nullptr;
    ts->curexc_type = ts->curexc_value = ts->curexc_traceback = nullptr;
    ts->exc_type = ts->exc_value = ts->exc_traceback = nullptr;
    ts->c_profilefunc = nullptr;
    ts->c_tracefunc = nullptr;
    ts->c_profileobj = ts->c_traceobj = nullptr;
    return taken;
}

/* Forgets the calling thread's automatic state if it is `tstate`. */
void forget_auto_state(ZvThreadState *tstate)
{
    if (autoTLSkey != 0 && ZvThread_get_key_value(autoTLSkey) == tstate)
        ZvThread_delete_key_value(autoTLSkey);
}

/* --- pending calls -------------------------------------------------------- */

constexpr int NPENDINGCALLS = 32;
struct pending_call {
    int (*func)(void *);
    void *arg;
};
pending_call pendingcalls[NPENDINGCALLS];
std::atomic<int> pendingfirst{0};
std::atomic<int> pendinglast{0};
std::atomic<bool> adding_busy{false};
std::atomic<bool> running_busy{false};
// Signal handlers may only use atomics that never fall back on a lock.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

/* The public words the evaluation loop polls are plain volatile ints for
 * C callers; every thread that stores into them does so atomically, so a
 * concurrent store and read are never a data race. */
void store_word(volatile int *word, int value) { __atomic_store_n(word, value, __ATOMIC_RELAXED); }

/* The current-state word.  Stores happen only in the thread holding the
 * interpreter lock, but the automatic lock state reads it before taking
 * the lock, to learn whether its thread is already the current one. */
ZvThreadState *load_current()
{
    return __atomic_load_n(&_ZvThreadState_Current, __ATOMIC_RELAXED);
}

int recursion_limit = 1000;

/* Clears one hook (the other stays) and recomputes use_tracing. */
void clear_hook(ZvThreadState *ts, Zv_tracefunc *func, ZvObject **obj, Zv_tracefunc other)
{
    ZvObject *old = *obj;
    *func = nullptr;
    *obj = nullptr;
    ts->use_tracing = other != nullptr;
    Zv_XDECREF(old);
}

/* Evaluation loops running on this thread dispatch through a table chosen
 * by use_tracing; the periodic check, forced here, makes them choose
 * again. */
void hooks_changed(ZvThreadState *ts)
{
    ts->use_tracing = ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr;
    __atomic_store_n(&_Zv_Ticker, 0, __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

ZvThreadState *_ZvThreadState_Current = nullptr;
ZvThreadFrameGetter _ZvThreadState_GetFrame = nullptr;

/* --- interpreter and thread states --------------------------------------- */

ZvInterpreterState *ZvInterpreterState_New(void)
{
    auto *interp = (ZvInterpreterState *)calloc(1, sizeof(ZvInterpreterState));
    if (interp == nullptr) return nullptr;
    if (head_mutex == nullptr) {
        head_mutex = ZvThread_allocate_lock();
        if (head_mutex == nullptr) {
            free(interp);
            return nullptr;
        }
    }
    interp->dlopenflags = 2; /* load extension modules immediately */
    head_lock();
    interp->next = interp_head;
    interp_head = interp;
    head_unlock();
    return interp;
}

void ZvInterpreterState_Clear(ZvInterpreterState *interp)
{
    std::vector<owned_objects> taken;
    head_lock();
    for (ZvThreadState *ts = interp->tstate_head; ts != nullptr; ts = ts->next)
        taken.push_back(take_owned(ts));
    head_unlock();
    for (owned_objects &objects : taken) objects.release();
    Zv_CLEAR(interp->codec_search_path);
    Zv_CLEAR(interp->codec_search_cache);
    Zv_CLEAR(interp->codec_error_registry);
    Zv_CLEAR(interp->modules);
    Zv_CLEAR(interp->sysdict);
    Zv_CLEAR(interp->builtins);
}

void ZvInterpreterState_Delete(ZvInterpreterState *interp)
{
    while (interp->tstate_head != nullptr) {
        ZvThreadState *ts = interp->tstate_head;
        ZvThreadState_Delete(ts);
    }
    head_lock();
    ZvInterpreterState **p = &interp_head;
    while (*p != interp) {
        if (*p == nullptr) {
            head_unlock();
            Zv_FatalError("ZvInterpreterState_Delete: invalid interp");
        }
        p = &(*p)->next;
    }
    if (interp->tstate_head != nullptr) {
        head_unlock();
        Zv_FatalError("ZvInterpreterState_Delete: remaining threads");
    }
    *p = interp->next;
    head_unlock();
    free(interp);
}

ZvThreadState *ZvThreadState_New(ZvInterpreterState *interp)
{
    auto *ts = (ZvThreadState *)calloc(1, sizeof(ZvThreadState));
    if (ts == nullptr) return nullptr;
    if (_ZvThreadState_GetFrame == nullptr) _ZvThreadState_GetFrame = threadstate_getframe;
    ts->interp = interp;
    ts->thread_id = ZvThread_get_thread_ident();
    if (autoTLSkey != 0) {
        if (ZvThread_set_key_value(autoTLSkey, ts) < 0)
            Zv_FatalError("Couldn't create autoTLSkey mapping");
        ts->gilstate_counter = 1;
    }
    head_lock();
    ts->next = interp->tstate_head;
    interp->tstate_head = ts;
    head_unlock();
    return ts;
}

void ZvThreadState_Clear(ZvThreadState *ts)
{
    owned_objects taken = take_owned(ts);
    taken.release();
}

void ZvThreadState_Delete(ZvThreadState *ts)
{
    if (ts == load_current() && ts != nullptr)
        Zv_FatalError("ZvThreadState_Delete: tstate is still current");
    ZvThreadState *stored =
        autoTLSkey != 0 ? (ZvThreadState *)ZvThread_get_key_value(autoTLSkey) : nullptr;
    tstate_delete_common(ts);
    if (stored == ts) ZvThread_delete_key_value(autoTLSkey);
}

void ZvThreadState_DeleteCurrent(void)
{
    ZvThreadState *ts = ZvThreadState_Swap(nullptr);
    if (ts == nullptr) Zv_FatalError("ZvThreadState_DeleteCurrent: no current tstate");
    forget_auto_state(ts);
    tstate_delete_common(ts);
    if (interpreter_lock != nullptr) ZvThread_release_lock(interpreter_lock);
}

ZvThreadState *ZvThreadState_Get(void)
{
    ZvThreadState *ts = load_current();
    if (ts == nullptr) Zv_FatalError("ZvThreadState_Get: no current thread");
    return ts;
}

ZvThreadState *ZvThreadState_Swap(ZvThreadState *ts)
{
    return __atomic_exchange_n(&_ZvThreadState_Current, ts, __ATOMIC_RELAXED);
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

int ZvThreadState_SetAsyncExc(unsigned long id, ZvObject *exc)
{
    ZvThreadState *cur = _ZvThreadState_Current;
    if (cur == nullptr) return 0;
    std::vector<ZvObject *> replaced;
    head_lock();
    for (ZvThreadState *p = cur->interp->tstate_head; p != nullptr; p = p->next) {
        if (p->thread_id != id) continue;
        replaced.push_back(p->async_exc);
        Zv_XINCREF(exc);
        p->async_exc = exc;
    }
    head_unlock();
    for (ZvObject *old : replaced) Zv_XDECREF(old);
    return (int)replaced.size();
}

ZvInterpreterState *ZvInterpreterState_Head(void) { return interp_head; }
ZvInterpreterState *ZvInterpreterState_Next(ZvInterpreterState *i) { return i->next; }
ZvThreadState *ZvInterpreterState_ThreadHead(ZvInterpreterState *i) { return i->tstate_head; }
ZvThreadState *ZvThreadState_Next(ZvThreadState *ts) { return ts->next; }

/* --- automatic lock state ------------------------------------------------ */

void _ZvGILState_Init(ZvInterpreterState *interp, ZvThreadState *tstate)
{
    autoTLSkey = ZvThread_create_key();
    if (autoTLSkey == 0) Zv_FatalError("Couldn't create autoTLSkey mapping");
    autoInterpreterState = interp;
    if (ZvThread_set_key_value(autoTLSkey, tstate) < 0)
        Zv_FatalError("Couldn't create autoTLSkey mapping");
    tstate->gilstate_counter = 1;
}

void _ZvGILState_Fini(void)
{
    if (autoTLSkey != 0) ZvThread_delete_key(autoTLSkey);
    autoTLSkey = 0;
    autoInterpreterState = nullptr;
}

ZvThreadState *ZvGILState_GetThisThreadState(void)
{
    if (autoInterpreterState == nullptr || autoTLSkey == 0) return nullptr;
    return (ZvThreadState *)ZvThread_get_key_value(autoTLSkey);
}

ZvGILState_STATE ZvGILState_Ensure(void)
{
    if (autoInterpreterState == nullptr || autoTLSkey == 0)
        Zv_FatalError("ZvGILState_Ensure: the interpreter is not initialized");
    auto *tcur = (ZvThreadState *)ZvThread_get_key_value(autoTLSkey);
    bool current;
    if (tcur == nullptr) {
        tcur = ZvThreadState_New(autoInterpreterState);
        if (tcur == nullptr) Zv_FatalError("Couldn't create thread-state for new thread");
        tcur->gilstate_counter = 0;
        current = false;
    } else {
        current = tcur == load_current();
    }
    if (!current) ZvEval_RestoreThread(tcur);
    ++tcur->gilstate_counter;
    return current ? ZvGILState_LOCKED : ZvGILState_UNLOCKED;
}

void ZvGILState_Release(ZvGILState_STATE oldstate)
{
    auto *tcur = autoTLSkey != 0 ? (ZvThreadState *)ZvThread_get_key_value(autoTLSkey) : nullptr;
    if (tcur == nullptr)
        Zv_FatalError("auto-releasing thread-state, but no thread-state for this thread");
    if (tcur != load_current())
        Zv_FatalError("This thread state must be current when releasing");
    --tcur->gilstate_counter;
    if (tcur->gilstate_counter == 0) {
        ZvThreadState_Clear(tcur);
        ZvThreadState_DeleteCurrent(); /* also releases the interpreter lock */
    } else if (oldstate == ZvGILState_UNLOCKED) {
        ZvEval_SaveThread();
    }
}

/* --- the interpreter lock -------------------------------------------------- */

int ZvEval_ThreadsInitialized(void) { return interpreter_lock != nullptr; }

void ZvEval_InitThreads(void)
{
    if (interpreter_lock != nullptr) return;
    interpreter_lock = ZvThread_allocate_lock();
    if (interpreter_lock == nullptr) Zv_FatalError("ZvEval_InitThreads: can't create the lock");
    ZvThread_acquire_lock(interpreter_lock, WAIT_LOCK);
    main_thread = ZvThread_get_thread_ident();
}

void ZvEval_AcquireLock(void)
{
    if (interpreter_lock != nullptr) ZvThread_acquire_lock(interpreter_lock, WAIT_LOCK);
}

void ZvEval_ReleaseLock(void)
{
    if (interpreter_lock != nullptr) ZvThread_release_lock(interpreter_lock);
}

void ZvEval_AcquireThread(ZvThreadState *tstate)
{
    if (tstate == nullptr) Zv_FatalError("ZvEval_AcquireThread: NULL new thread state");
    ZvEval_AcquireLock();
    if (ZvThreadState_Swap(tstate) != nullptr)
        Zv_FatalError("ZvEval_AcquireThread: non-NULL old thread state");
}

void ZvEval_ReleaseThread(ZvThreadState *tstate)
{
    if (tstate == nullptr) Zv_FatalError("ZvEval_ReleaseThread: NULL thread state");
    if (ZvThreadState_Swap(nullptr) != tstate)
        Zv_FatalError("ZvEval_ReleaseThread: wrong thread state");
    ZvEval_ReleaseLock();
}

ZvThreadState *ZvEval_SaveThread(void)
{
    ZvThreadState *tstate = ZvThreadState_Swap(nullptr);
    if (tstate == nullptr) Zv_FatalError("ZvEval_SaveThread: NULL tstate");
    ZvEval_ReleaseLock();
    return tstate;
}

void ZvEval_RestoreThread(ZvThreadState *tstate)
{
    if (tstate == nullptr) Zv_FatalError("ZvEval_RestoreThread: NULL tstate");
    if (interpreter_lock != nullptr) {
        /* The caller just made a system call whose errno it still needs. */
        int err = errno;
        ZvThread_acquire_lock(interpreter_lock, WAIT_LOCK);
        errno = err;
    }
    ZvThreadState_Swap(tstate);
}

/* After fork() the child has only the calling thread; the old lock may be
 * held by a thread that no longer exists, so it is abandoned, not freed. */
void ZvEval_ReInitThreads(void)
{
    if (interpreter_lock == nullptr) return;
    interpreter_lock = ZvThread_allocate_lock();
    if (interpreter_lock == nullptr) Zv_FatalError("ZvEval_ReInitThreads: can't create the lock");
    ZvThread_acquire_lock(interpreter_lock, WAIT_LOCK);
    main_thread = ZvThread_get_thread_ident();
}

/* --- pending calls ------------------------------------------------------- */

int _Zv_CheckInterval = 100;
volatile int _Zv_Ticker = 100;
volatile int _Zv_PendingThingsToDo = 0;

int Zv_AddPendingCall(int (*func)(void *), void *arg)
{
    /* Test and set in one step: of two adders arriving together, one is
     * refused rather than both writing the same slot. */
    if (adding_busy.exchange(true, std::memory_order_acquire)) return -1;
    int i = pendinglast.load(std::memory_order_relaxed); /* only adders move it */
    int j = (i + 1) % NPENDINGCALLS;
    if (j == pendingfirst.load(std::memory_order_acquire)) { /* full: 31 calls wait */
        adding_busy.store(false, std::memory_order_release);
        return -1;
    }
    pendingcalls[i].func = func;
    pendingcalls[i].arg = arg;
    pendinglast.store(j, std::memory_order_release); /* publishes the slot */
    store_word(&_Zv_Ticker, 0); /* make the evaluation loop look at once */
    store_word(&_Zv_PendingThingsToDo, 1);
    adding_busy.store(false, std::memory_order_release);
    return 0;
}

int Zv_MakePendingCalls(void)
{
    if (main_thread != 0 && ZvThread_get_thread_ident() != main_thread) return 0;
    if (running_busy.exchange(true, std::memory_order_acquire)) return 0;
    store_word(&_Zv_PendingThingsToDo, 0);
    for (;;) {
        int i = pendingfirst.load(std::memory_order_relaxed); /* only runners move it */
        if (i == pendinglast.load(std::memory_order_acquire)) break;
        pending_call call = pendingcalls[i];
        /* The slot is copied: releasing it lets an adder reuse it. */
        pendingfirst.store((i + 1) % NPENDINGCALLS, std::memory_order_release);
        if (call.func(call.arg) < 0) {
            running_busy.store(false, std::memory_order_release);
            store_word(&_Zv_PendingThingsToDo, 1); /* the rest waits for the next round */
            return -1;
        }
    }
    running_busy.store(false, std::memory_order_release);
    return 0;
}

/* --- recursion limit -------------------------------------------------------- */

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

/* --- frame and hook queries ------------------------------------------------
 * Every query reads the current frame through _ZvThreadState_GetFrame;
 * with no frame running the answers are those of the interpreter itself
 * (its builtins, no globals or locals, unrestricted). */

struct _frame *ZvEval_GetFrame(void)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts == nullptr || _ZvThreadState_GetFrame == nullptr) return nullptr;
    return _ZvThreadState_GetFrame(ts);
}

ZvObject *ZvEval_GetBuiltins(void)
{
    ZvFrameObject *current = ZvEval_GetFrame();
    if (current != nullptr) return current->f_builtins;
    ZvThreadState *ts = ZvThreadState_GET();
    return ts == nullptr ? nullptr : ts->interp->builtins;
}

ZvObject *ZvEval_GetGlobals(void)
{
    ZvFrameObject *current = ZvEval_GetFrame();
    return current == nullptr ? nullptr : current->f_globals;
}

/* The fast locals are copied in first, so the mapping is up to date. */
ZvObject *ZvEval_GetLocals(void)
{
    ZvFrameObject *current = ZvEval_GetFrame();
    if (current == nullptr) return nullptr;
    ZvFrame_FastToLocals(current);
    return current->f_locals;
}

int ZvEval_GetRestricted(void)
{
    ZvFrameObject *current = ZvEval_GetFrame();
    return current == nullptr ? 0 : current->f_restricted;
}

/* Only the future bits pass from running code to code it compiles. */
int ZvEval_MergeCompilerFlags(ZvCompilerFlags *cf)
{
    int result = cf->cf_flags != 0;
    ZvFrameObject *current = ZvEval_GetFrame();
    if (current != nullptr) {
        int compilerflags = current->f_code->co_flags & CO_FUTURE_DIVISION;
        if (compilerflags != 0) {
            result = 1;
            cf->cf_flags |= compilerflags;
        }
    }
    return result;
}

void ZvEval_SetProfile(Zv_tracefunc func, ZvObject *arg)
{
    ZvThreadState *ts = ZvThreadState_GET();
    Zv_XINCREF(arg);
    clear_hook(ts, &ts->c_profilefunc, &ts->c_profileobj, ts->c_tracefunc);
    ts->c_profilefunc = func;
    ts->c_profileobj = arg;
    hooks_changed(ts);
}

void ZvEval_SetTrace(Zv_tracefunc func, ZvObject *arg)
{
    ZvThreadState *ts = ZvThreadState_GET();
    Zv_XINCREF(arg);
    clear_hook(ts, &ts->c_tracefunc, &ts->c_traceobj, ts->c_profilefunc);
    ts->c_tracefunc = func;
    ts->c_traceobj = arg;
    hooks_changed(ts);
}

/* Lets a debugger run code that is itself traced: the hooks are re-armed
 * for the call and the previous tracing state comes back afterwards, even
 * when the call fails. */
ZvObject *_ZvEval_CallTracing(ZvObject *func, ZvObject *args)
{
    ZvThreadState *ts = ZvThreadState_GET();
    int save_tracing = ts->tracing;
    int save_use_tracing = ts->use_tracing;
    ts->tracing = 0;
    ts->use_tracing = ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr;
    ZvObject *result = ZvObject_CallObject(func, args);
    ts->tracing = save_tracing;
    ts->use_tracing = save_use_tracing;
    return result;
}

ZvObject *ZvEval_GetCallStats(ZvObject *)
{
    Zv_RETURN_NONE; /* no call statistics are kept */
}

/* A print statement that ended with a comma owes sys.stdout a newline. */
int Zv_FlushLine(void)
{
    /* Held: resetting the flag of a stream that is no file runs its code,
     * which may replace sys.stdout and drop the last reference. */
    zv::Ref f = zv::Ref::borrow(ZvSys_GetObject("stdout"));
    if (!f || !ZvFile_SoftSpace(f.get(), 0)) return 0;
    return ZvFile_WriteString("\n", f.get());
}

} // extern "C"
