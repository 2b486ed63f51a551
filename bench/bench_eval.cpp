// The evaluation loop: small programs compiled once and run through the
// run API, timed per run.  Each reports the work it does per second
// (instructions for the plain loop, calls for the call benchmarks).
#include <benchmark/benchmark.h>

#include "zuvo.h"

namespace {

struct Runtime {
    Runtime() { Zv_Initialize(); }
} runtime;

// Reports a failure on the process's error stream.
void report()
{
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    ZvErr_NormalizeException(&type, &value, &tb);
    fprintf(stderr, "bench_eval: ");
    if (value != nullptr) ZvObject_Print(value, stderr, Zv_PRINT_RAW);
    fprintf(stderr, "\n");
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
}

// Compiles the setup and the body once; each iteration runs the body.
class Program {
public:
    Program(const char *setup, const char *body)
    {
        globals_ = ZvDict_New();
        ZvDict_SetItemString(globals_, "__builtins__",
                             ZvImport_AddModule("__builtin__"));
        ZvObject *r = ZvRun_String(setup, Zv_file_input, globals_, globals_);
        if (r == nullptr) report();
        Zv_XDECREF(r);
        code_ = Zv_CompileString(body, "<bench>", Zv_file_input);
        if (code_ == nullptr) report();
    }
    ~Program()
    {
        Zv_XDECREF(code_);
        Zv_DECREF(globals_);
    }
    bool run()
    {
        ZvObject *r = ZvEval_EvalCode((ZvCodeObject *)code_, globals_, globals_);
        if (r == nullptr) {
            report();
            return false;
        }
        Zv_DECREF(r);
        return true;
    }

private:
    ZvObject *globals_;
    ZvObject *code_;
};

void run_program(benchmark::State &state, const char *setup, const char *body, double units)
{
    Program p(setup, body);
    for (auto _ : state)
        if (!p.run()) state.SkipWithError("program failed");
    state.counters["rate"] =
        benchmark::Counter(units, benchmark::Counter::kIsIterationInvariantRate);
}

// for-loop of LOAD_FAST/LOAD_CONST/BINARY_ADD/STORE_FAST: six instructions a turn
// (FOR_ITER, STORE_FAST, LOAD_FAST, LOAD_CONST, BINARY_ADD, STORE_FAST, JUMP_ABSOLUTE).
void BM_AddLoop(benchmark::State &state)
{
    run_program(state,
                "def loop():\n"
                "    x = 0\n"
                "    for i in xrange(100000):\n"
                "        x = x + 1\n"
                "    return x\n",
                "loop()\n", 100000 * 7);
}
BENCHMARK(BM_AddLoop)->Unit(benchmark::kMillisecond);

void BM_FunctionCalls(benchmark::State &state)
{
    run_program(state,
                "def f(a, b):\n"
                "    return a\n"
                "def loop():\n"
                "    for i in xrange(100000):\n"
                "        f(i, 2)\n",
                "loop()\n", 100000);
}
BENCHMARK(BM_FunctionCalls)->Unit(benchmark::kMillisecond);

void BM_MethodCallsNewStyle(benchmark::State &state)
{
    run_program(state,
                "class C(object):\n"
                "    def m(self, a):\n"
                "        return a\n"
                "def loop():\n"
                "    c = C()\n"
                "    for i in xrange(100000):\n"
                "        c.m(i)\n",
                "loop()\n", 100000);
}
BENCHMARK(BM_MethodCallsNewStyle)->Unit(benchmark::kMillisecond);

void BM_MethodCallsClassic(benchmark::State &state)
{
    run_program(state,
                "class C:\n"
                "    def m(self, a):\n"
                "        return a\n"
                "def loop():\n"
                "    c = C()\n"
                "    for i in xrange(100000):\n"
                "        c.m(i)\n",
                "loop()\n", 100000);
}
BENCHMARK(BM_MethodCallsClassic)->Unit(benchmark::kMillisecond);

void BM_Fib25(benchmark::State &state)
{
    // fib(25) makes 242785 calls.
    run_program(state,
                "def fib(n):\n"
                "    if n < 2:\n"
                "        return n\n"
                "    return fib(n - 1) + fib(n - 2)\n",
                "fib(25)\n", 242785);
}
BENCHMARK(BM_Fib25)->Unit(benchmark::kMillisecond);

} // namespace
