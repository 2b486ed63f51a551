// Dictionary throughput: inserting and looking up a million string keys
// and a million int keys.  Keys are made before timing starts; lookups run
// both with the stored key objects (identity hits, the namespace case) and
// with equal copies (hash and contents compared).
#include <benchmark/benchmark.h>

#include <vector>

#include "zuvo.h"

namespace {

constexpr int N = 1000000;

struct Keys {
    std::vector<ZvObject *> stored, copies;
};

Keys &string_keys()
{
    static Keys keys = [] {
        Zv_Initialize();
        Keys k;
        for (int i = 0; i < N; i++) {
            k.stored.push_back(ZvString_FromFormat("name_%d", i));
            k.copies.push_back(ZvString_FromFormat("name_%d", i));
            (void)ZvObject_Hash(k.stored.back()); // cache the hashes up front
            (void)ZvObject_Hash(k.copies.back());
        }
        return k;
    }();
    return keys;
}

Keys &int_keys()
{
    static Keys keys = [] {
        Zv_Initialize();
        Keys k;
        for (int i = 0; i < N; i++) {
            // Spread the values so that they do not sit in consecutive slots.
            int32_t v = (int32_t)((uint32_t)i * 2654435761u >> 1);
            k.stored.push_back(ZvInt_FromLong(v));
            k.copies.push_back(ZvInt_FromLong(v));
        }
        return k;
    }();
    return keys;
}

ZvObject *filled(const std::vector<ZvObject *> &keys)
{
    ZvObject *d = ZvDict_New();
    for (ZvObject *k : keys) ZvDict_SetItem(d, k, Zv_None);
    return d;
}

void insert(benchmark::State &state, Keys &keys)
{
    for (auto _ : state) {
        ZvObject *d = filled(keys.stored);
        state.PauseTiming();
        Zv_DECREF(d);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}

void lookup(benchmark::State &state, Keys &keys, bool copies)
{
    ZvObject *d = filled(keys.stored);
    const std::vector<ZvObject *> &probe = copies ? keys.copies : keys.stored;
    for (auto _ : state) {
        for (ZvObject *k : probe) benchmark::DoNotOptimize(ZvDict_GetItem(d, k));
    }
    state.SetItemsProcessed(state.iterations() * N);
    Zv_DECREF(d);
}

void BM_InsertStrings(benchmark::State &state) { insert(state, string_keys()); }
void BM_LookupStrings(benchmark::State &state) { lookup(state, string_keys(), false); }
void BM_LookupStringCopies(benchmark::State &state) { lookup(state, string_keys(), true); }
void BM_InsertInts(benchmark::State &state) { insert(state, int_keys()); }
void BM_LookupInts(benchmark::State &state) { lookup(state, int_keys(), false); }
void BM_LookupIntCopies(benchmark::State &state) { lookup(state, int_keys(), true); }

BENCHMARK(BM_InsertStrings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupStrings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupStringCopies)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertInts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupInts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupIntCopies)->Unit(benchmark::kMillisecond);

} // namespace
