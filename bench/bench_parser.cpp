// Front-end throughput: tokenizing, and tokenizing plus parsing, a
// generated 100,000-line module that uses every statement kind.  Reports
// lines per second and the memory held by the parse tree.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "zuvo.h"
#include "zvfrontend.h"
#include "graminit.h"

namespace {

// One block of statements of every kind; repeated to the wanted length.
const char kBlock[] =
    "import os.path as p, sys\n"
    "from m import (a, b as c)\n"
    "@decorate(1)\n"
    "def f%d(x, (y, z)=(1, 2), *args, **kw):\n"
    "    '''docstring'''\n"
    "    global g\n"
    "    g = x + y * z ** 2 - ~x // 3 %% 4\n"
    "    if x < y <= z and not x in args or y is not None:\n"
    "        print >>sys.stderr, 'a', \"b\",\n"
    "    elif x:\n"
    "        pass\n"
    "    else:\n"
    "        del args[0], kw['k']\n"
    "    for i, j in zip(a, b):\n"
    "        if i: continue\n"
    "        break\n"
    "    else:\n"
    "        x += 1\n"
    "    while x > 0:\n"
    "        x -= 1\n"
    "    try:\n"
    "        raise ValueError, 'v'\n"
    "    except (ValueError, TypeError), e:\n"
    "        exec 'y = 1' in {}\n"
    "    else:\n"
    "        assert x, 'message'\n"
    "    try:\n"
    "        yield [q * 2 for q in range(10) if q]\n"
    "    finally:\n"
    "        l = lambda u, v=2: (u, v, `u`, {1: 2}, a[1:2, ::3, ...])\n"
    "    return\n"
    "class C%d(object):\n"
    "    x = sum(t for t in (1, 2, 3))\n"
    "    def m(self): return self.x << 1 | 2 & 3 ^ 4\n";

std::string make_source(int lines)
{
    std::string src;
    int per_block = 0;
    for (const char *p = kBlock; *p; p++) per_block += *p == '\n';
    char buf[sizeof kBlock + 32];
    for (int i = 0, n = 0; n < lines; i++, n += per_block) {
        std::snprintf(buf, sizeof buf, kBlock, i, i);
        src += buf;
    }
    return src;
}

const std::string &source()
{
    static const std::string src = make_source(100000);
    return src;
}

int count_lines(const std::string &s)
{
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

// Bytes the tree holds: nodes, child arrays at their rounded capacity and
// token strings.
size_t tree_bytes(node *n)
{
    size_t total = 0;
    int nch = NCH(n);
    if (nch > 0) {
        int cap = nch <= 1 ? nch : nch <= 128 ? (nch + 3) & ~3 : 256;
        while (cap < nch) cap <<= 1;
        total += (size_t)cap * sizeof(node);
    }
    if (STR(n)) total += std::strlen(STR(n)) + 1;
    for (int i = 0; i < nch; i++) total += tree_bytes(CHILD(n, i));
    return total;
}

void BM_Tokenize(benchmark::State &state)
{
    const std::string &src = source();
    for (auto _ : state) {
        tok_state *tok = ZvTokenizer_FromString(src.c_str());
        char *a, *b;
        int t, ntokens = 0;
        while ((t = ZvTokenizer_Get(tok, &a, &b)) != ENDMARKER && t != ERRORTOKEN) ntokens++;
        benchmark::DoNotOptimize(ntokens);
        ZvTokenizer_Free(tok);
    }
    state.counters["lines/s"] = benchmark::Counter((double)count_lines(src) * state.iterations(),
                                                   benchmark::Counter::kIsRate);
}

void BM_TokenizeAndParse(benchmark::State &state)
{
    const std::string &src = source();
    size_t bytes = 0;
    for (auto _ : state) {
        perrdetail err;
        node *n = ZvParser_ParseString(src.c_str(), &_ZvParser_Grammar, file_input, &err);
        if (n == nullptr) {
            state.SkipWithError("parse failed");
            break;
        }
        state.PauseTiming();
        bytes = tree_bytes(n) + sizeof(node);
        state.ResumeTiming();
        ZvNode_Free(n);
    }
    state.counters["lines/s"] = benchmark::Counter((double)count_lines(src) * state.iterations(),
                                                   benchmark::Counter::kIsRate);
    state.counters["tree_MB"] = (double)bytes / (1024.0 * 1024.0);
    state.counters["lines"] = count_lines(src);
}

struct Runtime {
    Runtime() { Zv_Initialize(); }
} runtime;

} // namespace

BENCHMARK(BM_Tokenize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenizeAndParse)->Unit(benchmark::kMillisecond);
