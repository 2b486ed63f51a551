// Thread and interpreter states, the thread primitives, the automatic lock
// state, pending calls, hooks and the frame queries.
#include "typetest.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

using StateTest = ZvTest;

std::vector<int> ran;
int record_call(void *arg)
{
    ran.push_back((int)(intptr_t)arg);
    return 0;
}
int failing_call(void *)
{
    ZvErr_SetString(ZvExc_ValueError, "pending failed");
    return -1;
}
int nested_result = 99;
int nesting_call(void *)
{
    nested_result = Zv_MakePendingCalls(); // refused while the queue runs
    return 0;
}

TEST_F(StateTest, PendingQueueHoldsThirtyOneCalls)
{
    ran.clear();
    for (int i = 0; i < 31; i++) ASSERT_EQ(Zv_AddPendingCall(record_call, (void *)(intptr_t)i), 0);
    EXPECT_EQ(Zv_AddPendingCall(record_call, (void *)99), -1) << "one slot always stays empty";
    EXPECT_EQ(_Zv_Ticker, 0) << "the loop is asked to look at once";
    EXPECT_EQ(_Zv_PendingThingsToDo, 1);
    EXPECT_EQ(Zv_MakePendingCalls(), 0);
    ASSERT_EQ(ran.size(), 31u);
    for (int i = 0; i < 31; i++) EXPECT_EQ(ran[i], i) << "calls run in order";
    EXPECT_EQ(_Zv_PendingThingsToDo, 0);
    _Zv_Ticker = _Zv_CheckInterval;
}

TEST_F(StateTest, FailingPendingCallStopsTheRoundAndKeepsTheRest)
{
    ran.clear();
    ASSERT_EQ(Zv_AddPendingCall(record_call, (void *)1), 0);
    ASSERT_EQ(Zv_AddPendingCall(failing_call, nullptr), 0);
    ASSERT_EQ(Zv_AddPendingCall(record_call, (void *)2), 0);
    EXPECT_EQ(Zv_MakePendingCalls(), -1);
    EXPECT_EQ(zv_error_text(), "pending failed");
    EXPECT_EQ(ran, std::vector<int>{1});
    EXPECT_EQ(_Zv_PendingThingsToDo, 1);
    EXPECT_EQ(Zv_MakePendingCalls(), 0);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));

    ASSERT_EQ(Zv_AddPendingCall(nesting_call, nullptr), 0);
    ASSERT_EQ(Zv_AddPendingCall(record_call, (void *)3), 0);
    EXPECT_EQ(Zv_MakePendingCalls(), 0);
    EXPECT_EQ(nested_result, 0);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3})) << "the nested run did not run anything";
    _Zv_Ticker = _Zv_CheckInterval;
}

TEST_F(StateTest, StorageKeysKeepTheFirstValuePerThread)
{
    int key = ZvThread_create_key();
    ASSERT_GT(key, 0);
    int a = 1, b = 2;
    EXPECT_EQ(ZvThread_get_key_value(key), nullptr);
    EXPECT_EQ(ZvThread_set_key_value(key, nullptr), -1) << "no entry, no value to store";
    EXPECT_EQ(ZvThread_set_key_value(key, &a), 0);
    EXPECT_EQ(ZvThread_set_key_value(key, &b), 0);
    EXPECT_EQ(ZvThread_get_key_value(key), &a);

    // Another thread sees its own (empty) entry.
    struct Probe {
        int key;
        void *seen;
        ZvThread_type_lock done;
    } probe{key, &b, ZvThread_allocate_lock()};
    ZvThread_acquire_lock(probe.done, WAIT_LOCK);
    ASSERT_NE(ZvThread_start_new_thread(
                  [](void *raw) {
                      auto *p = (Probe *)raw;
                      p->seen = ZvThread_get_key_value(p->key);
                      ZvThread_release_lock(p->done); // released by another thread
                  },
                  &probe),
              -1);
    ZvThread_acquire_lock(probe.done, WAIT_LOCK);
    EXPECT_EQ(probe.seen, nullptr);
    ZvThread_release_lock(probe.done);
    ZvThread_free_lock(probe.done);

    ZvThread_delete_key_value(key);
    EXPECT_EQ(ZvThread_get_key_value(key), nullptr);
    ZvThread_set_key_value(key, &b);
    ZvThread_delete_key(key);
    EXPECT_EQ(ZvThread_get_key_value(key), nullptr);
    EXPECT_GT(ZvThread_create_key(), key) << "keys are not reused";
}

TEST_F(StateTest, LockIsABinarySemaphore)
{
    ZvThread_type_lock lock = ZvThread_allocate_lock();
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(ZvThread_acquire_lock(lock, NOWAIT_LOCK), 1);
    EXPECT_EQ(ZvThread_acquire_lock(lock, NOWAIT_LOCK), 0) << "not re-entrant";
    ZvThread_release_lock(lock);
    EXPECT_EQ(ZvThread_acquire_lock(lock, NOWAIT_LOCK), 1);
    ZvThread_release_lock(lock);
    ZvThread_free_lock(lock);
}

TEST_F(StateTest, StatesListsAndDictionary)
{
    ZvThreadState *ts = ZvThreadState_Get();
    EXPECT_EQ(ts->thread_id, ZvThread_get_thread_ident());
    EXPECT_EQ(ZvGILState_GetThisThreadState(), ts);
    EXPECT_EQ(ZvInterpreterState_Head(), ts->interp);
    EXPECT_EQ(ZvInterpreterState_ThreadHead(ts->interp), ts);
    ZvObject *d = ZvThreadState_GetDict();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ZvThreadState_GetDict(), d);

    // A second interpreter with a thread state of its own.
    ZvInterpreterState *interp = ZvInterpreterState_New();
    ASSERT_NE(interp, nullptr);
    EXPECT_EQ(interp->dlopenflags, 2);
    EXPECT_EQ(ZvInterpreterState_Head(), interp);
    EXPECT_EQ(ZvInterpreterState_Next(interp), ts->interp);
    ZvThreadState *other = ZvThreadState_New(interp);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(ZvGILState_GetThisThreadState(), ts) << "a thread's first state stays its own";
    Zv_INCREF(ZvExc_KeyError);
    other->curexc_type = ZvExc_KeyError;
    ZvInterpreterState_Clear(interp);
    EXPECT_EQ(other->curexc_type, nullptr);
    ZvInterpreterState_Delete(interp);
    EXPECT_EQ(ZvInterpreterState_Head(), ts->interp);
    EXPECT_EQ(ZvGILState_GetThisThreadState(), ts);
}

TEST_F(StateTest, AsyncExceptionIsSetPerThreadId)
{
    ZvThreadState *ts = ZvThreadState_Get();
    EXPECT_EQ(ZvThreadState_SetAsyncExc(ts->thread_id, ZvExc_KeyboardInterrupt), 1);
    EXPECT_EQ(ts->async_exc, ZvExc_KeyboardInterrupt);
    EXPECT_EQ(ZvThreadState_SetAsyncExc(ts->thread_id + 1, ZvExc_ValueError), 0);
    EXPECT_EQ(ZvThreadState_SetAsyncExc(ts->thread_id, nullptr), 1);
    EXPECT_EQ(ts->async_exc, nullptr);
}

// __del__ of a class whose instances end up owned by thread states: it
// reaches the state lists, as finalizers of real programs may.  The lists'
// lock is not re-entrant, so nothing may be released while it is held.
int state_reentries = 0;
ZvObject *fn_touch_states(ZvObject *, ZvObject *)
{
    state_reentries++;
    ZvThreadState *cur = ZvThreadState_Get();
    (void)ZvThreadState_SetAsyncExc(0, nullptr);
    ZvThreadState_Delete(ZvThreadState_New(cur->interp));
    Zv_RETURN_NONE;
}
ZvMethodDef touch_states = {"__del__", fn_touch_states, METH_VARARGS, nullptr};

TEST_F(StateTest, FinalizersRunAfterTheStateListLockIsDropped)
{
    Owned del(zv_native(&touch_states));
    Owned cls(zv_class("TouchesStates", {}, {{"__del__", del.get()}}));
    ZvThreadState *ts = ZvThreadState_Get();
    state_reentries = 0;
    {
        Owned victim(zv_call(cls));
        ASSERT_EQ(ZvThreadState_SetAsyncExc(ts->thread_id, victim), 1);
    }
    EXPECT_EQ(state_reentries, 0);
    EXPECT_EQ(ZvThreadState_SetAsyncExc(ts->thread_id, ZvExc_KeyError), 1) << "replaced";
    EXPECT_EQ(state_reentries, 1);
    EXPECT_EQ(ts->async_exc, ZvExc_KeyError);
    EXPECT_EQ(ZvThreadState_SetAsyncExc(ts->thread_id, nullptr), 1);

    // Clearing an interpreter releases what all its thread states own.
    ZvInterpreterState *interp = ZvInterpreterState_New();
    ZvThreadState *a = ZvThreadState_New(interp), *b = ZvThreadState_New(interp);
    a->async_exc = zv_call(cls);
    b->curexc_value = zv_call(cls);
    b->c_traceobj = zv_call(cls);
    ZvInterpreterState_Clear(interp);
    EXPECT_EQ(state_reentries, 4);
    EXPECT_EQ(a->async_exc, nullptr);
    EXPECT_EQ(b->curexc_value, nullptr);
    EXPECT_EQ(b->c_traceobj, nullptr);
    ZvInterpreterState_Delete(interp);
}

int dummy_hook(ZvObject *, struct _frame *, int, ZvObject *) { return 0; }

TEST_F(StateTest, HooksKeepTheirObjectAndTheTracingWord)
{
    ZvThreadState *ts = ZvThreadState_Get();
    Owned a(ZvString_FromString("profile-obj")), b(ZvString_FromString("trace-obj"));
    int before = Zv_REFCNT(a.get());
    ZvEval_SetProfile(dummy_hook, a);
    EXPECT_EQ(ts->use_tracing, 1);
    EXPECT_EQ(Zv_REFCNT(a.get()), before + 1);
    ZvEval_SetTrace(dummy_hook, b);
    ZvEval_SetProfile(nullptr, nullptr);
    EXPECT_EQ(Zv_REFCNT(a.get()), before) << "the old hook object is released";
    EXPECT_EQ(ts->use_tracing, 1) << "the trace hook is still set";
    ZvEval_SetTrace(nullptr, nullptr);
    EXPECT_EQ(ts->use_tracing, 0);
    EXPECT_EQ(ts->c_traceobj, nullptr);
}

namespace {
// Records the tracing words it runs under and returns its argument count.
int seen_tracing = -1, seen_use_tracing = -1;
ZvObject *report_tracing(ZvObject *, ZvObject *args)
{
    ZvThreadState *ts = ZvThreadState_Get();
    seen_tracing = ts->tracing;
    seen_use_tracing = ts->use_tracing;
    if (ZvTuple_GET_SIZE(args) > 1) {
        ZvErr_SetString(ZvExc_ValueError, "too many");
        return nullptr;
    }
    return ZvInt_FromLong(ZvTuple_GET_SIZE(args));
}
ZvMethodDef report_tracing_def = {"report_tracing", report_tracing, METH_VARARGS, nullptr};
} // namespace

TEST_F(StateTest, CallTracingRearmsTheHooksForOneCall)
{
    ZvThreadState *ts = ZvThreadState_Get();
    Owned f(ZvCFunction_New(&report_tracing_def, nullptr));
    Owned marker(ZvString_FromString("trace-obj"));
    ZvEval_SetTrace(dummy_hook, marker);
    // As inside a trace function: tracing is on and the hooks are idle.
    ts->tracing = 1;
    ts->use_tracing = 0;
    Owned one(ZvTuple_Pack(1, Zv_None));
    Owned r(_ZvEval_CallTracing(f, one));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(ZvInt_AsLong(r), 1);
    EXPECT_EQ(seen_tracing, 0) << "the called code is traced";
    EXPECT_EQ(seen_use_tracing, 1);
    EXPECT_EQ(ts->tracing, 1) << "the caller's state comes back";
    EXPECT_EQ(ts->use_tracing, 0);

    // No arguments at all, a failing call and a non-callable restore it too.
    Owned none(_ZvEval_CallTracing(f, nullptr));
    EXPECT_EQ(ZvInt_AsLong(none), 0);
    Owned two(ZvTuple_Pack(2, Zv_None, Zv_None));
    EXPECT_EQ(_ZvEval_CallTracing(f, two), nullptr);
    EXPECT_EQ(zv_error_text(), "too many");
    EXPECT_EQ(_ZvEval_CallTracing(marker, one), nullptr);
    EXPECT_EQ(zv_error_text(), "'str' object is not callable");
    EXPECT_EQ(ts->tracing, 1);
    EXPECT_EQ(ts->use_tracing, 0);

    ts->tracing = 0;
    ZvEval_SetTrace(nullptr, nullptr);
}

TEST_F(StateTest, FrameQueriesWithoutAFrame)
{
    EXPECT_EQ(ZvEval_GetFrame(), nullptr);
    EXPECT_EQ(ZvEval_GetBuiltins(), ZvThreadState_Get()->interp->builtins);
    EXPECT_EQ(ZvEval_GetGlobals(), nullptr);
    EXPECT_EQ(ZvEval_GetLocals(), nullptr);
    EXPECT_EQ(ZvEval_GetRestricted(), 0);
    ZvCompilerFlags cf = {0};
    EXPECT_EQ(ZvEval_MergeCompilerFlags(&cf), 0);
    cf.cf_flags = 0x2000;
    EXPECT_EQ(ZvEval_MergeCompilerFlags(&cf), 1);
    Owned stats(ZvEval_GetCallStats(nullptr));
    EXPECT_EQ(stats.get(), Zv_None);
    EXPECT_EQ(Zv_FlushLine(), 0);
}

TEST_F(StateTest, LockStateEnsureInTheMainThread)
{
    ZvThreadState *ts = ZvThreadState_Get();
    int counter = ts->gilstate_counter;
    ZvGILState_STATE s1 = ZvGILState_Ensure();
    ZvGILState_STATE s2 = ZvGILState_Ensure();
    EXPECT_EQ(s1, ZvGILState_LOCKED);
    EXPECT_EQ(s2, ZvGILState_LOCKED);
    ZvGILState_Release(s2);
    ZvGILState_Release(s1);
    EXPECT_EQ(ZvThreadState_Get(), ts) << "the state stays alive and current";
    EXPECT_EQ(ts->gilstate_counter, counter);
}

// Runs in a thread the interpreter did not create.
struct Foreign {
    ZvThread_type_lock done;
    ZvGILState_STATE first, nested;
    bool had_state, made_object, deleted;
    unsigned long state_thread;
};

void foreign_body(void *raw)
{
    auto *f = (Foreign *)raw;
    f->had_state = ZvGILState_GetThisThreadState() != nullptr;
    f->first = ZvGILState_Ensure();
    f->state_thread = ZvThreadState_Get()->thread_id;
    ZvObject *o = ZvInt_FromLong(123456);
    f->made_object = o != nullptr;
    Zv_XDECREF(o);
    f->nested = ZvGILState_Ensure();
    ZvGILState_Release(f->nested);
    ZvGILState_Release(f->first); // deletes the state, releases the lock
    f->deleted = ZvGILState_GetThisThreadState() == nullptr;
    ZvThread_release_lock(f->done);
}

TEST_F(StateTest, LockStateEnsureInAForeignThread)
{
    ZvEval_InitThreads();
    ZvEval_InitThreads(); // a second call does nothing
    EXPECT_EQ(ZvEval_ThreadsInitialized(), 1);
    ZvThreadState *main_ts = ZvThreadState_Get();
    Foreign f{ZvThread_allocate_lock(), ZvGILState_LOCKED, ZvGILState_LOCKED, true, false, false, 0};
    ZvThread_acquire_lock(f.done, WAIT_LOCK);
    Zv_BEGIN_ALLOW_THREADS
    ASSERT_NE(ZvThread_start_new_thread(foreign_body, &f), -1);
    ZvThread_acquire_lock(f.done, WAIT_LOCK);
    Zv_END_ALLOW_THREADS
    EXPECT_EQ(ZvThreadState_Get(), main_ts);
    EXPECT_FALSE(f.had_state);
    EXPECT_EQ(f.first, ZvGILState_UNLOCKED);
    EXPECT_EQ(f.nested, ZvGILState_LOCKED);
    EXPECT_TRUE(f.made_object);
    EXPECT_TRUE(f.deleted);
    EXPECT_NE(f.state_thread, main_ts->thread_id);
    int states = 0;
    for (ZvThreadState *p = ZvInterpreterState_ThreadHead(main_ts->interp); p; p = ZvThreadState_Next(p))
        states++;
    EXPECT_EQ(states, 1) << "the foreign thread's state was deleted";
    ZvThread_release_lock(f.done);
    ZvThread_free_lock(f.done);

    // Pending calls now run only in the main thread.
    ran.clear();
    ZvThread_type_lock done = ZvThread_allocate_lock();
    ZvThread_acquire_lock(done, WAIT_LOCK);
    ASSERT_EQ(Zv_AddPendingCall(record_call, (void *)7), 0);
    static int other_result;
    static ZvThread_type_lock other_done;
    other_done = done;
    ZvThread_start_new_thread(
        [](void *) {
            other_result = Zv_MakePendingCalls();
            ZvThread_release_lock(other_done);
        },
        nullptr);
    ZvThread_acquire_lock(done, WAIT_LOCK);
    EXPECT_EQ(other_result, 0);
    EXPECT_TRUE(ran.empty()) << "not run outside the main thread";
    EXPECT_EQ(Zv_MakePendingCalls(), 0);
    EXPECT_EQ(ran, std::vector<int>{7});
    ZvThread_release_lock(done);
    ZvThread_free_lock(done);
    _Zv_Ticker = _Zv_CheckInterval;
}

} // namespace
