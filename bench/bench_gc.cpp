// The cyclic collector: a program that makes and drops small reference
// cycles must run in flat memory, the threshold collections reclaiming
// them as it goes; and a full collection over a large live heap must stay
// cheap.  Peak memory is the process's resident-set high-water mark.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include "zuvo.h"

namespace {

struct Runtime {
    Runtime() { Zv_Initialize(); }
} runtime;

long peak_rss_kb()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

bool run(const char *source)
{
    ZvObject *main = ZvModule_GetDict(ZvImport_AddModule("__main__"));
    ZvObject *r = ZvRun_String(source, Zv_file_input, main, main);
    if (r == nullptr) {
        ZvErr_Clear();
        return false;
    }
    Zv_DECREF(r);
    return true;
}

const char churn_setup[] =
    "class Classic: pass\n"
    "class New(object): pass\n"
    "def churn(kind, n):\n"
    "    for i in xrange(n):\n"
    "        a = kind(); b = kind()\n"
    "        a.other = b; b.other = a\n";

// One iteration makes and drops a million two-instance cycles.  The peak
// after the first 100,000 and after the whole million should be the same.
void BM_CycleChurn(benchmark::State &state, const char *kind)
{
    if (!run(churn_setup)) return state.SkipWithError("setup failed");
    char warm[64], full[64];
    snprintf(warm, sizeof warm, "churn(%s, 100000)\n", kind);
    snprintf(full, sizeof full, "churn(%s, 1000000)\n", kind);
    ZvGC_Collect();
    if (!run(warm)) return state.SkipWithError("churn failed");
    long after_warm = peak_rss_kb();
    for (auto _ : state)
        if (!run(full)) state.SkipWithError("churn failed");
    state.counters["peak_kb_100k"] = (double)after_warm;
    state.counters["peak_kb_1m"] = (double)peak_rss_kb();
    state.counters["cycles"] =
        benchmark::Counter(1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK_CAPTURE(BM_CycleChurn, classic, "Classic")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CycleChurn, newstyle, "New")->Unit(benchmark::kMillisecond);

// A full collection over a million live containers: a list of lists, and
// instances with their dictionaries.
void BM_CollectLiveHeap(benchmark::State &state, const char *make)
{
    if (!run(make)) return state.SkipWithError("setup failed");
    ZvGC_Collect();
    for (auto _ : state) benchmark::DoNotOptimize(ZvGC_Collect());
    if (!run("del live\n")) state.SkipWithError("cleanup failed");
    ZvGC_Collect();
}
BENCHMARK_CAPTURE(BM_CollectLiveHeap, lists, "live = [[] for i in xrange(1000000)]\n")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CollectLiveHeap, instances,
                  "class C: pass\nlive = [C() for i in xrange(500000)]\n")
    ->Unit(benchmark::kMillisecond);

} // namespace
