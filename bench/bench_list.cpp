// list.sort on a million ints: random order (the merge machinery) and
// already sorted (a single run, n - 1 comparisons).  The list is rebuilt
// outside the timed region on every iteration.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "zuvo.h"

namespace {

struct Runtime {
    Runtime() { Zv_Initialize(); }
    ~Runtime() { Zv_Finalize(); }
};

ZvObject *make_list(const std::vector<int32_t> &values)
{
    ZvObject *l = ZvList_New((int)values.size());
    for (size_t i = 0; i < values.size(); i++) ZvList_SET_ITEM(l, i, ZvInt_FromLong(values[i]));
    return l;
}

void sort_benchmark(benchmark::State &state, const std::vector<int32_t> &values)
{
    static Runtime runtime;
    for (auto _ : state) {
        state.PauseTiming();
        ZvObject *l = make_list(values);
        state.ResumeTiming();
        if (ZvList_Sort(l) < 0) state.SkipWithError("sort failed");
        state.PauseTiming();
        Zv_DECREF(l);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)values.size());
}

constexpr int N = 1000000;

void BM_ListSortRandom(benchmark::State &state)
{
    std::vector<int32_t> v(N);
    std::mt19937 rng(42);
    for (auto &x : v) x = (int32_t)(rng() & 0x7fffffff);
    sort_benchmark(state, v);
}

void BM_ListSortSorted(benchmark::State &state)
{
    std::vector<int32_t> v(N);
    for (int i = 0; i < N; i++) v[i] = i;
    sort_benchmark(state, v);
}

} // namespace

BENCHMARK(BM_ListSortRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListSortSorted)->Unit(benchmark::kMillisecond);
