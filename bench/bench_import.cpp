// Importing a generated module of 1,000 functions: compiled from source
// (its cache removed before each import) and loaded from its .zvc.
#include <benchmark/benchmark.h>

#include "zuvo.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

struct Runtime {
    std::string dir;
    Runtime()
    {
        Zv_Initialize();
        char tmpl[] = "/tmp/zvbench-import-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        dir = tmpl;
        std::ofstream out(dir + "/thousand.zv");
        for (int i = 0; i < 1000; i++)
            out << "def f" << i << "(a, b=" << i << "):\n    x = a + b * " << i
                << "\n    return [x, a, b, 'f" << i << "']\n\n";
        ZvObject *path = ZvSys_GetObject("path");
        ZvObject *entry = ZvString_FromString(dir.c_str());
        ZvList_Insert(path, 0, entry);
        Zv_DECREF(entry);
    }
    ~Runtime()
    {
        unlink((dir + "/thousand.zv").c_str());
        unlink((dir + "/thousand.zvc").c_str());
        rmdir(dir.c_str());
    }
} runtime;

void import_once(benchmark::State &state)
{
    ZvObject *m = ZvImport_ImportModule("thousand");
    if (m == nullptr) {
        state.SkipWithError("import failed");
        ZvErr_Clear();
        return;
    }
    Zv_DECREF(m);
    ZvDict_DelItemString(ZvImport_GetModuleDict(), "thousand");
}

void BM_ImportFromSource(benchmark::State &state)
{
    std::string zvc = runtime.dir + "/thousand.zvc";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(zvc.c_str());
        state.ResumeTiming();
        import_once(state);
    }
}
BENCHMARK(BM_ImportFromSource)->Unit(benchmark::kMillisecond);

void BM_ImportFromCache(benchmark::State &state)
{
    import_once(state); // writes the cache
    for (auto _ : state) import_once(state);
}
BENCHMARK(BM_ImportFromCache)->Unit(benchmark::kMillisecond);

} // namespace
