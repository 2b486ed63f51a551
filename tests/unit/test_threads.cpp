// Native threads calling into the library at once: pending calls and
// storage keys raced from several threads, then a stress run of everything
// an embedder's threads may do.  Each case repeats its race many times so
// that a missing lock or a non-atomic step shows on every run; the tsan
// preset runs this program under ThreadSanitizer, which reports any
// unsynchronized access even when the race did no visible harm.  The
// cases run in file order: the stress run initializes threads, last.
#include "zvtest.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <sched.h>

namespace {

using Threads = ZvTest;

// Runs fn(0) .. fn(n - 1) in n threads of their own, all released at once
// when the last has started, and waits for them all.
template <class Fn> void run_threads(int n, Fn fn)
{
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back([&, i] {
            started.fetch_add(1);
            while (started.load() < n) std::this_thread::yield();
            fn(i);
        });
    for (auto &t : threads) t.join();
}

int count_hit(void *slot)
{
    ((std::atomic<int> *)slot)->fetch_add(1);
    return 0;
}

// Every slot's pending call was accepted once, so it must have run once.
void expect_each_ran_once(const std::atomic<int> *hits, int n)
{
    int lost = 0, repeated = 0;
    for (int i = 0; i < n; i++) {
        lost += hits[i].load() == 0;
        repeated += hits[i].load() > 1;
    }
    EXPECT_EQ(lost, 0) << "accepted pending calls that never ran";
    EXPECT_EQ(repeated, 0) << "pending calls that ran more than once";
}

// The keys the threads made, sorted, after checking that none came twice.
std::vector<int> expect_unique_keys(const std::vector<int> *made, int threads)
{
    std::vector<int> all;
    for (int t = 0; t < threads; t++) all.insert(all.end(), made[t].begin(), made[t].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end())
        << "a key was handed out twice";
    return all;
}

// Runs first: until threads are initialized any thread may run the queue,
// so the adders empty it themselves whenever it is full and all of them
// keep adding at full speed.
TEST_F(Threads, ConcurrentPendingCallsRunOnceOrAreRefused)
{
    ASSERT_EQ(ZvEval_ThreadsInitialized(), 0);
    constexpr int kThreads = 8, kPerThread = 20000;
    static std::atomic<int> hits[kThreads * kPerThread];
    run_threads(kThreads, [](int t) {
        for (int k = 0; k < kPerThread; k++)
            while (Zv_AddPendingCall(count_hit, &hits[t * kPerThread + k]) != 0)
                (void)Zv_MakePendingCalls(); // refused: busy or full
    });
    EXPECT_EQ(Zv_MakePendingCalls(), 0);
    expect_each_ran_once(hits, kThreads * kPerThread);
    _Zv_Ticker = _Zv_CheckInterval;
}

TEST_F(Threads, StorageKeysAreUniqueAndSurviveConcurrentDeletion)
{
    constexpr int kThreads = 8, kKeys = 20000;
    std::vector<int> made[kThreads];
    run_threads(kThreads, [&](int t) {
        for (int k = 0; k < kKeys; k++) made[t].push_back(ZvThread_create_key());
    });
    EXPECT_GT(expect_unique_keys(made, kThreads).front(), 0);

    // Readers look their value up while another thread deletes the key
    // (every thread's entry) over and over.
    int key = ZvThread_create_key();
    std::atomic<int> readers_done{0}, wrong{0};
    run_threads(5, [&](int t) {
        if (t == 0) {
            while (readers_done.load() < 4) ZvThread_delete_key(key);
            return;
        }
        int mine = t;
        for (int k = 0; k < 50000; k++) {
            ZvThread_set_key_value(key, &mine);
            void *v = ZvThread_get_key_value(key);
            if (v != nullptr && v != &mine) wrong++;
        }
        readers_done++;
    });
    EXPECT_EQ(wrong.load(), 0) << "a thread saw another thread's value";
    ZvThread_delete_key(key);
}

// ---------------------------------------------------------------------------
// The stress run.  kWorkers native threads that the interpreter did not
// create call in through the automatic lock state, round after round.  A
// round works on a shared list and dictionary, makes and deletes a thread
// state, sets and clears asynchronous exceptions, and releases the
// interpreter lock around a blocking call; while it is released it makes,
// uses and deletes a storage key and adds a pending call, which the main
// thread runs.  Every round ends with the thread's last Release, which
// deletes its state, so the next Ensure makes a new one.

constexpr int kWorkers = 8, kRounds = 12000;

struct StressRun {
    ZvObject *list = nullptr; // one item per round, trimmed from the front
    int trimmed = 0;          // items taken from the list (under the lock)
    ZvObject *dict = nullptr; // "w<worker>-<round % 16>" -> the latest such item
    std::atomic<int> hits[kWorkers * kRounds] = {};
    std::vector<int> keys[kWorkers];
    std::atomic<int> finished{0}, wrong{0};
};

// Runs in the main thread, holding the interpreter lock: allocates.
int stress_pending(void *slot)
{
    ZvObject *o = ZvInt_FromLong(1 << 20);
    Zv_XDECREF(o);
    ((std::atomic<int> *)slot)->fetch_add(1);
    return 0;
}

// The item every round makes; its value names the worker and the round.
int32_t round_value(int t, int round) { return 100000 + t * kRounds + round; }

void stress_containers(StressRun &run, int t, int round)
{
    ZvObject *item = ZvInt_FromLong(round_value(t, round));
    ZvObject *key = ZvString_FromFormat("w%d-%d", t, round % 16);
    if (ZvList_Append(run.list, item) != 0 || ZvDict_SetItem(run.dict, key, item) != 0) run.wrong++;
    if (ZvList_Size(run.list) > 512) {
        if (ZvList_SetSlice(run.list, 0, 256, nullptr) != 0) run.wrong++;
        run.trimmed += 256;
    }
    if (round % 64 == 63 && ZvList_Sort(run.list) != 0) run.wrong++;
    // A group over xrange keeps the integers it makes for the results, in
    // entries all threads share.
    int32_t v = round_value(t, round);
    ZvObject *args = Zv_BuildValue("(N)", ZvRange_New(v, 2, 1, 1));
    ZvObject *first = nullptr, *second = nullptr;
    if (!ZvArg_ParseTuple(args, "(OO)", &first, &second) || ZvInt_AsLong(first) != v ||
        ZvInt_AsLong(second) != v + 1)
        run.wrong++;
    Zv_DECREF(args);
    Zv_DECREF(key);
    Zv_DECREF(item);
}

void stress_states(StressRun &run)
{
    ZvThreadState *me = ZvThreadState_Get();
    ZvThreadState *extra = ZvThreadState_New(me->interp);
    extra->dict = ZvDict_New();
    // Both states carry this thread's identifier.
    if (ZvThreadState_SetAsyncExc(me->thread_id, ZvExc_KeyError) != 2) run.wrong++;
    if (ZvThreadState_SetAsyncExc(me->thread_id, nullptr) != 2) run.wrong++;
    ZvThreadState_Clear(extra);
    ZvThreadState_Delete(extra);
    if (Zv_MakePendingCalls() != 0) run.wrong++; // not the main thread: runs nothing
}

// What a thread may do without the interpreter lock.
void stress_unlocked(StressRun &run, int t, int round)
{
    sched_yield(); // the blocking call
    int key = ZvThread_create_key();
    run.keys[t].push_back(key);
    int mine = round;
    if (ZvThread_set_key_value(key, &mine) != 0 || ZvThread_get_key_value(key) != &mine)
        run.wrong++;
    if (round % 2 == 0) ZvThread_delete_key_value(key);
    ZvThread_delete_key(key);
    while (Zv_AddPendingCall(stress_pending, &run.hits[t * kRounds + round]) != 0)
        sched_yield(); // refused while another add runs or the queue is full
}

void stress_worker(StressRun &run, int t)
{
    for (int round = 0; round < kRounds; round++) {
        ZvGILState_STATE outer = ZvGILState_Ensure();
        ZvGILState_STATE inner = ZvGILState_Ensure();
        if (outer != ZvGILState_UNLOCKED || inner != ZvGILState_LOCKED) run.wrong++;
        stress_containers(run, t, round);
        stress_states(run);
        Zv_BEGIN_ALLOW_THREADS
        stress_unlocked(run, t, round);
        Zv_END_ALLOW_THREADS
        ZvGILState_Release(inner);
        ZvGILState_Release(outer);
        if (ZvGILState_GetThisThreadState() != nullptr) run.wrong++;
    }
    run.finished++;
}

// Runs last: it initializes threads, and the main thread keeps the lock.
TEST_F(Threads, StressThroughTheAutomaticLockState)
{
    ZvEval_InitThreads();
    auto run = std::make_unique<StressRun>();
    run->list = ZvList_New(0);
    run->dict = ZvDict_New();
    int failed_rounds = 0;
    std::vector<std::thread> workers;
    Zv_BEGIN_ALLOW_THREADS
    for (int t = 0; t < kWorkers; t++) workers.emplace_back(stress_worker, std::ref(*run), t);
    Zv_END_ALLOW_THREADS
    while (run->finished.load() < kWorkers) {
        Zv_BEGIN_ALLOW_THREADS
        sched_yield();
        Zv_END_ALLOW_THREADS
        failed_rounds += Zv_MakePendingCalls() != 0;
    }
    Zv_BEGIN_ALLOW_THREADS
    for (auto &w : workers) w.join();
    Zv_END_ALLOW_THREADS
    EXPECT_EQ(Zv_MakePendingCalls(), 0);
    EXPECT_EQ(failed_rounds, 0);
    EXPECT_EQ(run->wrong.load(), 0);

    expect_each_ran_once(run->hits, kWorkers * kRounds);
    EXPECT_EQ(expect_unique_keys(run->keys, kWorkers).size(), (size_t)kWorkers * kRounds);

    // Each round added one item, trimming took some; each dictionary
    // entry holds the last round that wrote it.
    EXPECT_EQ(ZvList_Size(run->list), kWorkers * kRounds - run->trimmed);
    EXPECT_EQ(ZvDict_Size(run->dict), kWorkers * 16);
    for (int t = 0; t < kWorkers; t++) {
        Owned key(ZvString_FromFormat("w%d-%d", t, (kRounds - 1) % 16));
        EXPECT_EQ(ZvInt_AsLong(ZvDict_GetItem(run->dict, key)), round_value(t, kRounds - 1));
    }
    ZvThreadState *main_ts = ZvThreadState_Get();
    EXPECT_EQ(ZvInterpreterState_ThreadHead(main_ts->interp), main_ts);
    EXPECT_EQ(ZvThreadState_Next(main_ts), nullptr) << "every worker's state was deleted";
    Zv_DECREF(run->list);
    Zv_DECREF(run->dict);
    _Zv_Ticker = _Zv_CheckInterval;
}

} // namespace
