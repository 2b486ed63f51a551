// The pooled small-object allocator against the system allocator, side by
// side: single allocate+free pairs, and batches (allocate many, then free
// them all), for several block sizes.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <vector>

#include "zuvo.h"

namespace {

void BM_PoolPair(benchmark::State &state)
{
    auto n = (size_t)state.range(0);
    for (auto _ : state) {
        void *p = _ZvPool_Malloc(n);
        benchmark::DoNotOptimize(p);
        _ZvPool_Free(p);
    }
}

void BM_SystemPair(benchmark::State &state)
{
    auto n = (size_t)state.range(0);
    for (auto _ : state) {
        void *p = malloc(n);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

constexpr int kBatch = 1000;

void BM_PoolBatch(benchmark::State &state)
{
    auto n = (size_t)state.range(0);
    std::vector<void *> v(kBatch);
    for (auto _ : state) {
        for (auto &p : v) p = _ZvPool_Malloc(n);
        benchmark::DoNotOptimize(v.data());
        for (auto *p : v) _ZvPool_Free(p);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_SystemBatch(benchmark::State &state)
{
    auto n = (size_t)state.range(0);
    std::vector<void *> v(kBatch);
    for (auto _ : state) {
        for (auto &p : v) p = malloc(n);
        benchmark::DoNotOptimize(v.data());
        for (auto *p : v) free(p);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

#define SIZES ->Arg(8)->Arg(32)->Arg(64)->Arg(128)->Arg(256)
BENCHMARK(BM_PoolPair) SIZES;
BENCHMARK(BM_SystemPair) SIZES;
BENCHMARK(BM_PoolBatch) SIZES;
BENCHMARK(BM_SystemBatch) SIZES;

} // namespace
