// Integer arithmetic: int addition on shared small values and on values
// that need fresh records (the free-list path), and long multiplication
// at 100, 1,000 and 10,000 decimal digits (schoolbook vs Karatsuba range).
#include <benchmark/benchmark.h>

#include <string>

#include "zuvo.h"

namespace {
struct Runtime {
    Runtime() { Zv_Initialize(); }
};
const Runtime runtime;

void BM_IntAddSmall(benchmark::State &state)
{
    ZvObject *a = ZvInt_FromLong(3), *b = ZvInt_FromLong(4);
    binaryfunc add = ZvInt_Type.tp_as_number->nb_add;
    for (auto _ : state) {
        ZvObject *r = add(a, b);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    Zv_DECREF(a);
    Zv_DECREF(b);
}
BENCHMARK(BM_IntAddSmall);

void BM_IntAddUncached(benchmark::State &state)
{
    ZvObject *a = ZvInt_FromLong(123456), *b = ZvInt_FromLong(654321);
    binaryfunc add = ZvInt_Type.tp_as_number->nb_add;
    for (auto _ : state) {
        ZvObject *r = add(a, b);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    Zv_DECREF(a);
    Zv_DECREF(b);
}
BENCHMARK(BM_IntAddUncached);

ZvObject *decimal(int ndigits, int seed)
{
    std::string s;
    unsigned x = (unsigned)seed * 2654435761u;
    for (int i = 0; i < ndigits; i++) {
        x = x * 1103515245u + 12345u;
        s += (char)('0' + (x >> 16) % 10);
    }
    s[0] = '7';
    return ZvLong_FromString(s.c_str(), nullptr, 10);
}

void BM_LongMultiply(benchmark::State &state)
{
    const int ndigits = (int)state.range(0);
    ZvObject *a = decimal(ndigits, 1), *b = decimal(ndigits, 2);
    binaryfunc mul = ZvLong_Type.tp_as_number->nb_multiply;
    for (auto _ : state) {
        ZvObject *r = mul(a, b);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    Zv_DECREF(a);
    Zv_DECREF(b);
}
BENCHMARK(BM_LongMultiply)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
} // namespace
