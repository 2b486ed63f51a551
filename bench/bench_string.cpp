// Byte-string throughput on a 10 MB text: split, join, replace and the
// searches they are built on.  Methods are called through the type's
// method table, the way a bound built-in method calls them.
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>

#include "zuvo.h"

namespace {

struct Runtime {
    Runtime() { Zv_Initialize(); }
};
const Runtime runtime;

constexpr int kTextSize = 10 * 1024 * 1024;

// "w0 word1, w2 word3, ..." up to 10 MB: short words, commas and spaces.
ZvObject *make_text()
{
    std::string text;
    text.reserve(kTextSize + 32);
    for (int i = 0; (int)text.size() < kTextSize; i++) {
        text += (i & 1) ? "word" : "w";
        text += std::to_string(i % 1000);
        text += (i % 2) ? ", " : " ";
    }
    text.resize(kTextSize);
    return ZvString_FromStringAndSize(text.data(), (int)text.size());
}

ZvObject *text()
{
    static ZvObject *t = make_text();
    return t;
}

ZvMethodDef *method(const char *name)
{
    for (ZvMethodDef *ml = ZvString_Type.tp_methods; ml->ml_name != nullptr; ml++)
        if (strcmp(ml->ml_name, name) == 0) return ml;
    return nullptr;
}

// Calls text().name(*args) and drops the result.
void run(benchmark::State &state, const char *name, ZvObject *args)
{
    ZvMethodDef *ml = method(name);
    for (auto _ : state) {
        ZvObject *r = ml->ml_flags & METH_O ? ml->ml_meth(text(), ZvTuple_GET_ITEM(args, 0))
                                            : ml->ml_meth(text(), args);
        if (r == nullptr) {
            state.SkipWithError("method raised");
            ZvErr_Clear();
            break;
        }
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kTextSize);
    Zv_DECREF(args);
}

ZvObject *strs(std::initializer_list<const char *> items)
{
    ZvObject *t = ZvTuple_New((int)items.size());
    int i = 0;
    for (const char *s : items) ZvTuple_SET_ITEM(t, i++, ZvString_FromString(s));
    return t;
}

void BM_SplitOneByte(benchmark::State &state) { run(state, "split", strs({","})); }
void BM_SplitTwoBytes(benchmark::State &state) { run(state, "split", strs({", "})); }
void BM_SplitWhiteSpace(benchmark::State &state) { run(state, "split", strs({})); }
void BM_RsplitOneByte(benchmark::State &state) { run(state, "rsplit", strs({","})); }

void BM_Join(benchmark::State &state)
{
    // Join the text's own pieces back together: about 2 million items.
    ZvMethodDef *split = method("split");
    ZvObject *sep = strs({" "});
    ZvObject *pieces = split->ml_meth(text(), sep);
    Zv_DECREF(sep);
    ZvObject *joiner = ZvString_FromString(" ");
    for (auto _ : state) {
        ZvObject *r = _ZvString_Join(joiner, pieces);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kTextSize);
    state.counters["items"] = ZvList_GET_SIZE(pieces);
    Zv_DECREF(joiner);
    Zv_DECREF(pieces);
}

void BM_ReplaceSameLength(benchmark::State &state) { run(state, "replace", strs({",", ";"})); }
void BM_ReplaceGrow(benchmark::State &state) { run(state, "replace", strs({", ", " ,, "})); }
void BM_ReplaceShrink(benchmark::State &state) { run(state, "replace", strs({"word", "w"})); }
void BM_ReplaceAbsent(benchmark::State &state) { run(state, "replace", strs({"zebra", "x"})); }
void BM_FindAbsent(benchmark::State &state) { run(state, "find", strs({"word1000"})); }
void BM_CountOneByte(benchmark::State &state) { run(state, "count", strs({","})); }
void BM_CountWord(benchmark::State &state) { run(state, "count", strs({"word"})); }

} // namespace

BENCHMARK(BM_SplitOneByte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitTwoBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitWhiteSpace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RsplitOneByte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Join)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplaceSameLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplaceGrow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplaceShrink)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplaceAbsent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindAbsent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountOneByte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountWord)->Unit(benchmark::kMillisecond);
