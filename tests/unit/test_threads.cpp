// Native threads calling into the library at once: pending calls and
// storage keys raced from several threads.  Each case repeats its race many
// times so that a missing lock or a non-atomic step shows on every run.
#include "zvtest.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

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
    int lost = 0, repeated = 0;
    for (auto &h : hits) {
        lost += h.load() == 0;
        repeated += h.load() > 1;
    }
    EXPECT_EQ(lost, 0) << "accepted calls that never ran";
    EXPECT_EQ(repeated, 0) << "calls that ran more than once";
    _Zv_Ticker = _Zv_CheckInterval;
}

TEST_F(Threads, StorageKeysAreUniqueAndSurviveConcurrentDeletion)
{
    constexpr int kThreads = 8, kKeys = 20000;
    std::vector<std::vector<int>> made(kThreads);
    run_threads(kThreads, [&](int t) {
        for (int k = 0; k < kKeys; k++) made[t].push_back(ZvThread_create_key());
    });
    std::vector<int> all;
    for (auto &m : made) all.insert(all.end(), m.begin(), m.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end())
        << "a key was handed out twice";
    EXPECT_GT(all.front(), 0);

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

} // namespace
