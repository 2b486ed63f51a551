// The pooled small-object allocator, driven through its _ZvPool_* hooks so
// that the same tests run in every build (the sanitizer build sends
// ZvObject_Malloc to the system allocator), and the raw front-ends.
#include "zvtest.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

constexpr size_t kArenaSize = 256 * 1024;
constexpr uintptr_t kPoolSize = 4096;

// Blocks allocated by a test, all freed when it ends.
struct Blocks {
    std::vector<void *> v;
    ~Blocks()
    {
        for (void *p : v) _ZvPool_Free(p);
    }
    void *add(void *p)
    {
        v.push_back(p);
        return p;
    }
};

// Allocates blocks of n bytes (kept in `keep`) until one is the only
// allocated block of its pool: the class's used list was empty, so a new or
// empty pool was taken and is now the class's only used pool.
void *lone_block(size_t n, Blocks &keep)
{
    for (;;) {
        void *p = _ZvPool_Malloc(n);
        if (_ZvPool_BlocksInUse(p) == 1) return p;
        keep.add(p);
    }
}

using ObmallocTest = ZvTest;

TEST_F(ObmallocTest, SizeClassBoundaries)
{
    Blocks b;
    void *p1 = b.add(_ZvPool_Malloc(1));
    void *p8 = b.add(_ZvPool_Malloc(8));
    void *p9 = b.add(_ZvPool_Malloc(9));
    void *p256 = b.add(_ZvPool_Malloc(256));
    void *p257 = b.add(_ZvPool_Malloc(257));
    EXPECT_EQ(_ZvPool_BlockSize(p1), 8);
    EXPECT_EQ(_ZvPool_BlockSize(p8), 8);
    EXPECT_EQ(_ZvPool_BlockSize(p9), 16);
    EXPECT_EQ(_ZvPool_BlockSize(p256), 256);
    EXPECT_FALSE(_ZvPool_Owns(p257)) << "257 bytes is not a small request";
    EXPECT_EQ(_ZvPool_BlockSize(p257), 0);
    for (void *p : {p1, p8, p9, p256, p257}) EXPECT_EQ((uintptr_t)p % 8, 0u);

    // Zero bytes: a unique system block, never NULL.
    void *z1 = b.add(_ZvPool_Malloc(0));
    void *z2 = b.add(_ZvPool_Malloc(0));
    ASSERT_NE(z1, nullptr);
    EXPECT_NE(z1, z2);
    EXPECT_FALSE(_ZvPool_Owns(z1));
}

TEST_F(ObmallocTest, EmptyPoolIsReusedByAnyClassAndKeepsItsFreeList)
{
    Blocks keep;
    void *a = lone_block(248, keep);
    void *pool = _ZvPool_PoolOf(a);
    int before = _ZvPool_FreePoolCount();
    _ZvPool_Free(a);
    EXPECT_EQ(_ZvPool_FreePoolCount(), before + 1) << "an empty pool goes to the free pools";

    // Another class takes it as its next new pool.
    void *b = lone_block(16, keep);
    EXPECT_EQ(_ZvPool_PoolOf(b), pool);
    EXPECT_EQ(_ZvPool_BlockSize(b), 16);
    EXPECT_EQ(_ZvPool_FreePoolCount(), before);

    // Emptied again, it comes back to the same class with its free list
    // intact: the freed block first, then the next block of the pool.
    _ZvPool_Free(b);
    void *c = keep.add(_ZvPool_Malloc(16));
    void *d = keep.add(_ZvPool_Malloc(16));
    EXPECT_EQ(c, b);
    EXPECT_EQ((char *)d, (char *)b + 16);
}

TEST_F(ObmallocTest, PoolThatWasFullReturnsAtTheEndOfItsList)
{
    Blocks keep;
    void *first = lone_block(200, keep);
    keep.add(first);
    void *full_pool = _ZvPool_PoolOf(first);
    // Fill it: the next lone block sits in a new pool, the first is full.
    void *second = lone_block(200, keep);
    keep.add(second);
    void *next_pool = _ZvPool_PoolOf(second);
    ASSERT_NE(full_pool, next_pool);

    // Give one block back to the full pool: it rejoins the used list at
    // the end, so allocation keeps filling the pool at the front.
    _ZvPool_Free(first);
    keep.v.erase(std::find(keep.v.begin(), keep.v.end(), first));
    void *p = keep.add(_ZvPool_Malloc(200));
    EXPECT_EQ(_ZvPool_PoolOf(p), next_pool);
}

TEST_F(ObmallocTest, ReallocKeepsSmallShrinksInPlaceAndMovesOtherwise)
{
    auto *p = (unsigned char *)_ZvPool_Malloc(256);
    for (int i = 0; i < 256; i++) p[i] = (unsigned char)i;
    // 4 * 200 > 3 * 256: shrinking by less than a quarter stays in place.
    EXPECT_EQ(_ZvPool_Realloc(p, 200), p);
    EXPECT_EQ(_ZvPool_Realloc(p, 256), p);
    // 4 * 64 <= 3 * 256: moves to a 64-byte block, keeping the prefix.
    auto *q = (unsigned char *)_ZvPool_Realloc(p, 64);
    ASSERT_NE(q, p);
    EXPECT_EQ(_ZvPool_BlockSize(q), 64);
    for (int i = 0; i < 64; i++) ASSERT_EQ(q[i], i);
    // Growing past the small limit moves to the system allocator.
    auto *r = (unsigned char *)_ZvPool_Realloc(q, 5000);
    ASSERT_NE(r, nullptr);
    EXPECT_FALSE(_ZvPool_Owns(r));
    for (int i = 0; i < 64; i++) ASSERT_EQ(r[i], i);
    // A system block stays a system block, even when it becomes small.
    auto *s = (unsigned char *)_ZvPool_Realloc(r, 16);
    EXPECT_FALSE(_ZvPool_Owns(s));
    for (int i = 0; i < 16; i++) ASSERT_EQ(s[i], i);
    _ZvPool_Free(s);

    void *n = _ZvPool_Realloc(nullptr, 24);
    EXPECT_EQ(_ZvPool_BlockSize(n), 24);
    _ZvPool_Free(n);
}

TEST_F(ObmallocTest, ReallocToZeroNeverReturnsNull)
{
    void *sys = _ZvPool_Malloc(1000);
    void *r = _ZvPool_Realloc(sys, 0);
    ASSERT_NE(r, nullptr);
    _ZvPool_Free(r);

    void *small = _ZvPool_Malloc(40);
    void *r2 = _ZvPool_Realloc(small, 0);
    ASSERT_NE(r2, nullptr);
    _ZvPool_Free(r2);

    void *o = ZvObject_Realloc(ZvObject_Malloc(300), 0);
    ASSERT_NE(o, nullptr);
    ZvObject_Free(o);
    void *m = ZvMem_Realloc(ZvMem_Malloc(0), 0);
    ASSERT_NE(m, nullptr);
    ZvMem_Free(m);
}

TEST_F(ObmallocTest, ForeignAddressesAreRejectedWithoutBeingRead)
{
    // A page nobody may read: an ownership test that peeked at the start of
    // the page would crash here.
    long page = sysconf(_SC_PAGESIZE);
    void *guard = mmap(nullptr, (size_t)page * 2, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guard, MAP_FAILED);
    EXPECT_FALSE(_ZvPool_Owns((char *)guard + 100));
    EXPECT_EQ(_ZvPool_PoolOf((char *)guard + page + 8), nullptr);
    munmap(guard, (size_t)page * 2);

    int on_stack = 0;
    EXPECT_FALSE(_ZvPool_Owns(&on_stack));
    EXPECT_FALSE(_ZvPool_Owns(nullptr));

    // A system block is released to the system by the pool's free.
    void *sys = malloc(32);
    EXPECT_FALSE(_ZvPool_Owns(sys));
    _ZvPool_Free(sys);
    _ZvPool_Free(nullptr);

    // Arena edges: its first byte is in range, the byte before is not.
    Blocks b;
    b.add(_ZvPool_Malloc(8));
    ASSERT_GE(_ZvPool_ArenaCount(), 1);
    auto *base = (char *)_ZvPool_ArenaBase(0);
    EXPECT_TRUE(_ZvPool_Owns(base));
    EXPECT_TRUE(_ZvPool_Owns(base + kArenaSize - 1));
    EXPECT_FALSE(_ZvPool_Owns(base - 1));
    EXPECT_EQ(_ZvPool_ArenaBase(-1), nullptr);
    EXPECT_EQ(_ZvPool_ArenaBase(_ZvPool_ArenaCount()), nullptr);
}

TEST_F(ObmallocTest, UnalignedArenaHoldsOnePoolFewer)
{
    Blocks b;
    int n0 = _ZvPool_ArenaCount();
    while (_ZvPool_ArenaCount() == n0) b.add(_ZvPool_Malloc(256));
    auto base = (uintptr_t)_ZvPool_ArenaBase(n0);
    // No block is freed meanwhile, so every pool taken until the next arena
    // comes from this one, in order.
    while (_ZvPool_ArenaCount() == n0 + 1) b.add(_ZvPool_Malloc(256));
    std::set<void *> pools;
    for (void *p : b.v)
        if ((uintptr_t)p - base < kArenaSize) pools.insert(_ZvPool_PoolOf(p));
    size_t expected = (base % kPoolSize == 0) ? 64 : 63;
    EXPECT_EQ(pools.size(), expected);
    for (void *pool : pools) EXPECT_EQ((uintptr_t)pool % kPoolSize, 0u);
}

TEST_F(ObmallocTest, OwnershipSurvivesArenaTableGrowth)
{
    Blocks b;
    int target = _ZvPool_ArenaCount() + 18; // past the first table of 16
    while (_ZvPool_ArenaCount() < target) b.add(_ZvPool_Malloc(256));
    for (void *p : b.v) ASSERT_TRUE(_ZvPool_Owns(p));
    std::set<void *> bases;
    for (int i = 0; i < _ZvPool_ArenaCount(); i++) bases.insert(_ZvPool_ArenaBase(i));
    EXPECT_EQ(bases.size(), (size_t)_ZvPool_ArenaCount());
}

// Random allocation, reallocation and freeing with every block's contents
// checked: a corrupted free list or an overlap shows up as a wrong byte.
TEST_F(ObmallocTest, RandomWorkloadKeepsEveryBlockIntact)
{
    struct Live {
        unsigned char *p;
        size_t n;
        unsigned char tag;
    };
    std::mt19937 rng(12345);
    std::vector<Live> live;
    auto fill = [](Live &l) { memset(l.p, l.tag, l.n); };
    auto check = [](const Live &l) {
        for (size_t i = 0; i < l.n; i++)
            if (l.p[i] != l.tag) return false;
        return true;
    };
    for (int step = 0; step < 20000; step++) {
        int action = (int)(rng() % 10);
        if (action < 5 || live.empty()) {
            Live l{nullptr, rng() % 300, (unsigned char)(rng() % 251 + 1)};
            l.p = (unsigned char *)_ZvPool_Malloc(l.n);
            ASSERT_NE(l.p, nullptr);
            fill(l);
            live.push_back(l);
        } else if (action < 8) {
            size_t i = rng() % live.size();
            ASSERT_TRUE(check(live[i])) << "block corrupted before free";
            _ZvPool_Free(live[i].p);
            live[i] = live.back();
            live.pop_back();
        } else {
            Live &l = live[rng() % live.size()];
            size_t n = rng() % 300;
            auto *q = (unsigned char *)_ZvPool_Realloc(l.p, n);
            ASSERT_NE(q, nullptr);
            for (size_t k = 0; k < (n < l.n ? n : l.n); k++)
                ASSERT_EQ(q[k], l.tag) << "realloc lost contents";
            l.p = q;
            l.n = n;
            fill(l);
        }
    }
    for (Live &l : live) {
        EXPECT_TRUE(check(l));
        _ZvPool_Free(l.p);
    }
}

} // namespace
