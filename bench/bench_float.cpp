// Floats and string formatting: float addition (the free-list path), the
// repr and parse round trip through the locale-independent conversions,
// complex multiplication, and the % operator on a typical mixed format.
#include <benchmark/benchmark.h>

#include "zuvo.h"

namespace {
struct Runtime {
    Runtime() { Zv_Initialize(); }
};
const Runtime runtime;

void BM_FloatAdd(benchmark::State &state)
{
    ZvObject *a = ZvFloat_FromDouble(1.5), *b = ZvFloat_FromDouble(2.25);
    binaryfunc add = ZvFloat_Type.tp_as_number->nb_add;
    for (auto _ : state) {
        ZvObject *r = add(a, b);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    Zv_DECREF(a);
    Zv_DECREF(b);
}
BENCHMARK(BM_FloatAdd);

void BM_FloatReprAndParse(benchmark::State &state)
{
    ZvObject *f = ZvFloat_FromDouble(0.1234567890123);
    for (auto _ : state) {
        ZvObject *s = ZvObject_Repr(f);
        ZvObject *back = ZvFloat_FromString(s, nullptr);
        benchmark::DoNotOptimize(back);
        Zv_DECREF(back);
        Zv_DECREF(s);
    }
    Zv_DECREF(f);
}
BENCHMARK(BM_FloatReprAndParse);

void BM_ComplexMultiply(benchmark::State &state)
{
    ZvObject *a = ZvComplex_FromDoubles(1.5, -2.0), *b = ZvComplex_FromDoubles(0.5, 3.0);
    for (auto _ : state) {
        ZvObject *r = ZvNumber_Multiply(a, b);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    Zv_DECREF(a);
    Zv_DECREF(b);
}
BENCHMARK(BM_ComplexMultiply);

void BM_PercentFormat(benchmark::State &state)
{
    ZvObject *format = ZvString_FromString("%s: %5d items at %.2f (%x)");
    ZvObject *args = Zv_BuildValue("(sidi)", "widgets", 42, 3.14159, 255);
    for (auto _ : state) {
        ZvObject *r = ZvString_Format(format, args);
        benchmark::DoNotOptimize(r);
        Zv_DECREF(r);
    }
    Zv_DECREF(format);
    Zv_DECREF(args);
}
BENCHMARK(BM_PercentFormat);
} // namespace
