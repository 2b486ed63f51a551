/* Interpreter and thread states, the interpreter lock, per-thread storage,
 * pending calls and the recursion limit. */
#ifndef ZVSTATE_H
#define ZVSTATE_H

#include "object.h"

ZV_BEGIN_DECLS

struct _frame;
struct _ts;

typedef struct _is {
    struct _is *next;
    struct _ts *tstate_head;
    ZvObject *modules;
    ZvObject *sysdict;
    ZvObject *builtins;
    ZvObject *codec_search_path;
    ZvObject *codec_search_cache;
    ZvObject *codec_error_registry;
    int dlopenflags;
} ZvInterpreterState;

/* A trace or profile hook: (object, frame, event, argument) -> non-zero on error. */
typedef int (*Zv_tracefunc)(ZvObject *, struct _frame *, int, ZvObject *);

/* Hook event codes. */
#define ZvTrace_CALL 0
#define ZvTrace_EXCEPTION 1
#define ZvTrace_LINE 2
#define ZvTrace_RETURN 3
#define ZvTrace_C_CALL 4
#define ZvTrace_C_EXCEPTION 5
#define ZvTrace_C_RETURN 6

typedef struct _ts {
    struct _ts *next;
    ZvInterpreterState *interp;
    struct _frame *frame;
    int recursion_depth;
    int tracing;
    int use_tracing;
    Zv_tracefunc c_profilefunc;
    Zv_tracefunc c_tracefunc;
    ZvObject *c_profileobj;
    ZvObject *c_traceobj;
    ZvObject *curexc_type;
    ZvObject *curexc_value;
    ZvObject *curexc_traceback;
    ZvObject *exc_type;
    ZvObject *exc_value;
    ZvObject *exc_traceback;
    ZvObject *dict;
    int tick_counter;
    int gilstate_counter;
    ZvObject *async_exc;
    unsigned long thread_id;
} ZvThreadState;

ZvAPI_FUNC(ZvInterpreterState *) ZvInterpreterState_New(void);
ZvAPI_FUNC(void) ZvInterpreterState_Clear(ZvInterpreterState *);
ZvAPI_FUNC(void) ZvInterpreterState_Delete(ZvInterpreterState *);
ZvAPI_FUNC(ZvThreadState *) ZvThreadState_New(ZvInterpreterState *);
ZvAPI_FUNC(void) ZvThreadState_Clear(ZvThreadState *);
ZvAPI_FUNC(void) ZvThreadState_Delete(ZvThreadState *);
ZvAPI_FUNC(void) ZvThreadState_DeleteCurrent(void);
ZvAPI_FUNC(ZvThreadState *) ZvThreadState_Get(void);
ZvAPI_FUNC(ZvThreadState *) ZvThreadState_Swap(ZvThreadState *);
ZvAPI_FUNC(ZvObject *) ZvThreadState_GetDict(void);
ZvAPI_FUNC(int) ZvThreadState_SetAsyncExc(unsigned long, ZvObject *);
ZvAPI_FUNC(ZvInterpreterState *) ZvInterpreterState_Head(void);
ZvAPI_FUNC(ZvInterpreterState *) ZvInterpreterState_Next(ZvInterpreterState *);
ZvAPI_FUNC(ZvThreadState *) ZvInterpreterState_ThreadHead(ZvInterpreterState *);
ZvAPI_FUNC(ZvThreadState *) ZvThreadState_Next(ZvThreadState *);

ZvAPI_DATA(ZvThreadState *) _ZvThreadState_Current;
typedef struct _frame *(*ZvThreadFrameGetter)(ZvThreadState *);
ZvAPI_DATA(ZvThreadFrameGetter) _ZvThreadState_GetFrame;

#define ZvThreadState_GET() (_ZvThreadState_Current)

/* Automatic lock state for threads the interpreter did not create. */
typedef enum { ZvGILState_LOCKED, ZvGILState_UNLOCKED } ZvGILState_STATE;
ZvAPI_FUNC(void) _ZvGILState_Init(ZvInterpreterState *, ZvThreadState *);
ZvAPI_FUNC(void) _ZvGILState_Fini(void);
ZvAPI_FUNC(ZvGILState_STATE) ZvGILState_Ensure(void);
ZvAPI_FUNC(void) ZvGILState_Release(ZvGILState_STATE);
ZvAPI_FUNC(ZvThreadState *) ZvGILState_GetThisThreadState(void);

/* The interpreter lock. */
ZvAPI_FUNC(int) ZvEval_ThreadsInitialized(void);
ZvAPI_FUNC(void) ZvEval_InitThreads(void);
ZvAPI_FUNC(void) ZvEval_AcquireLock(void);
ZvAPI_FUNC(void) ZvEval_ReleaseLock(void);
ZvAPI_FUNC(void) ZvEval_AcquireThread(ZvThreadState *);
ZvAPI_FUNC(void) ZvEval_ReleaseThread(ZvThreadState *);
ZvAPI_FUNC(ZvThreadState *) ZvEval_SaveThread(void);
ZvAPI_FUNC(void) ZvEval_RestoreThread(ZvThreadState *);
ZvAPI_FUNC(void) ZvEval_ReInitThreads(void);

#define Zv_BEGIN_ALLOW_THREADS { ZvThreadState *_save = ZvEval_SaveThread();
#define Zv_END_ALLOW_THREADS ZvEval_RestoreThread(_save); }

/* Thread primitives: a lock is a binary semaphore any thread may release. */
typedef void *ZvThread_type_lock;
ZvAPI_FUNC(ZvThread_type_lock) ZvThread_allocate_lock(void);
ZvAPI_FUNC(void) ZvThread_free_lock(ZvThread_type_lock);
ZvAPI_FUNC(int) ZvThread_acquire_lock(ZvThread_type_lock, int);
ZvAPI_FUNC(void) ZvThread_release_lock(ZvThread_type_lock);
#define WAIT_LOCK 1
#define NOWAIT_LOCK 0
ZvAPI_FUNC(unsigned long) ZvThread_get_thread_ident(void);
ZvAPI_FUNC(long) ZvThread_start_new_thread(void (*)(void *), void *);
ZvAPI_FUNC(int) ZvThread_create_key(void);
ZvAPI_FUNC(void) ZvThread_delete_key(int);
ZvAPI_FUNC(int) ZvThread_set_key_value(int, void *);
ZvAPI_FUNC(void *) ZvThread_get_key_value(int);
ZvAPI_FUNC(void) ZvThread_delete_key_value(int);

/* Pending calls and periodic work. */
ZvAPI_FUNC(int) Zv_AddPendingCall(int (*func)(void *), void *arg);
ZvAPI_FUNC(int) Zv_MakePendingCalls(void);
ZvAPI_DATA(int) _Zv_CheckInterval;
ZvAPI_DATA(volatile int) _Zv_Ticker;
ZvAPI_DATA(volatile int) _Zv_PendingThingsToDo;

/* The recursion limit. */
ZvAPI_FUNC(int) Zv_GetRecursionLimit(void);
ZvAPI_FUNC(void) Zv_SetRecursionLimit(int);
ZvAPI_DATA(int) _Zv_CheckRecursionLimit;
ZvAPI_FUNC(int) _Zv_CheckRecursiveCall(const char *where);

/* Guard a recursive native call; Zv_EnterRecursiveCall returns non-zero
 * (with RuntimeError set) past the limit. */
#define Zv_EnterRecursiveCall(where)                                          \
    ((++(ZvThreadState_GET()->recursion_depth) > _Zv_CheckRecursionLimit) &&  \
     _Zv_CheckRecursiveCall(where))
#define Zv_LeaveRecursiveCall() (--(ZvThreadState_GET()->recursion_depth))

/* Frame and hook queries (borrowed results). */
ZvAPI_FUNC(struct _frame *) ZvEval_GetFrame(void);
ZvAPI_FUNC(ZvObject *) ZvEval_GetBuiltins(void);
ZvAPI_FUNC(ZvObject *) ZvEval_GetGlobals(void);
ZvAPI_FUNC(ZvObject *) ZvEval_GetLocals(void);
ZvAPI_FUNC(int) ZvEval_GetRestricted(void);
ZvAPI_FUNC(void) ZvEval_SetProfile(Zv_tracefunc, ZvObject *);
ZvAPI_FUNC(void) ZvEval_SetTrace(Zv_tracefunc, ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvEval_GetCallStats(ZvObject *);
/* Calls func(*args) with the hooks re-armed (a debugger running traced
 * code); args is a tuple or NULL for none.  The tracing state is restored
 * afterwards.  New reference or NULL. */
ZvAPI_FUNC(ZvObject *) _ZvEval_CallTracing(ZvObject *func, ZvObject *args);

/* Compiler and future bits passed from the run functions to the compiler
 * and back. */
typedef struct {
    int cf_flags;
} ZvCompilerFlags;
/* ORs the running frame's future bits into cf; non-zero when any is set. */
ZvAPI_FUNC(int) ZvEval_MergeCompilerFlags(ZvCompilerFlags *cf);

/* Writes the newline owed to sys.stdout after a trailing-comma print. */
ZvAPI_FUNC(int) Zv_FlushLine(void);

/* Fatal errors end the process: "Fatal Zuvo error: %s". */
ZvAPI_FUNC(void) Zv_FatalError(const char *message) __attribute__((noreturn));

ZV_END_DECLS

#endif /* ZVSTATE_H */
