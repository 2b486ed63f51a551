/* The small-object allocator and the raw memory front-ends.
 *
 * Requests of 1..256 bytes are served from 4 KB pools carved out of 256 KB
 * arenas taken from the system allocator; everything else goes to the
 * system allocator.  Block sizes are multiples of 8, giving 32 size
 * classes; a pool serves one class at a time.
 *
 * Every pool is in exactly one state:
 *   used        on usedpools[class]: it has allocated and free blocks;
 *   full        on no list: every block is allocated;
 *   empty       on freepools: no block is allocated, reusable by any class;
 *   never used  beyond arenabase in the newest arena.
 * A used pool's free list is never empty: when its last free block is
 * taken, either the untouched tail of the pool supplies the next one (the
 * tail is handed out lazily, one block at a time) or the pool is full and
 * leaves the used list.  A full pool that gets a block back goes to the
 * END of its used list, so the first pool of a list is the one being filled.
 * Arenas are never returned to the system.
 *
 * Ownership.  Free and realloc must tell our blocks from system blocks
 * without reading memory we do not own: peeking at the start of the page of
 * a foreign pointer (it may be unmapped, or belong to another allocation)
 * is undefined behaviour and blinds the memory checkers.  So the decision
 * is made from our own records only: the arena base addresses are kept in a
 * sorted table, and an address is ours when the nearest base at or below it
 * is less than one arena size away (a binary search, O(log arenas)).
 *
 * The arena records grow by doubling and the old vector is never freed (a
 * late reader holding the old pointer still reads valid memory); each new
 * vector keeps a link to its predecessor so that the memory stays
 * reachable.  Table slots are rewritten one word at a time, always holding
 * some arena base, so even an unsynchronised reader never sees garbage.
 *
 * Everything here runs under the interpreter lock: there is no lock of its
 * own.  With ZUVO_SYSTEM_OBJECT_MALLOC (the sanitizer build) the object
 * front-ends call the system allocator directly so that every object's
 * lifetime is visible to the checkers; the pool code is still compiled and
 * reachable through the _ZvPool_* hooks, which its tests use. */
#include "objimpl.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t ALIGNMENT = 8;
constexpr unsigned ALIGNMENT_SHIFT = 3;
constexpr size_t SMALL_REQUEST_THRESHOLD = 256;
constexpr unsigned NB_SMALL_SIZE_CLASSES = SMALL_REQUEST_THRESHOLD / ALIGNMENT;
constexpr size_t POOL_SIZE = 4096; /* one system page */
constexpr uintptr_t POOL_SIZE_MASK = POOL_SIZE - 1;
constexpr size_t ARENA_SIZE = 256 * 1024;
constexpr uint32_t INITIAL_ARENA_OBJECTS = 16;
constexpr uint32_t UNUSED_SZIDX = 65535; /* szidx of a pool never used */

typedef unsigned char block;

struct pool_header {
    uint32_t ref;           /* blocks currently allocated */
    block *freeblock;       /* head of the free list, NULL when empty */
    pool_header *nextpool;  /* next pool in its list */
    pool_header *prevpool;  /* previous pool (not kept on freepools) */
    uint32_t arenaindex;    /* owning arena's index in the arena vector */
    uint32_t szidx;         /* size class, UNUSED_SZIDX before first use */
    uint32_t nextoffset;    /* offset of the first never-used block */
    uint32_t maxnextoffset; /* largest offset where a whole block fits */
};

constexpr size_t POOL_OVERHEAD = (sizeof(pool_header) + ALIGNMENT - 1) & ~(ALIGNMENT - 1);

constexpr uint32_t index2size(uint32_t i) { return (i + 1) << ALIGNMENT_SHIFT; }

/* The used-pool list heads.  Each is a dummy pool header whose nextpool and
 * prevpool make the circular list; only those two fields are ever read. */
pool_header usedpools[NB_SMALL_SIZE_CLASSES];
bool usedpools_ready = false;

pool_header *freepools = nullptr;
block *arenabase = nullptr;  /* next never-used pool of the newest arena */
uint32_t nfreepools = 0;     /* never-used pools left in it */

/* One allocation holds both arena tables and the link to the previous one:
 * [0, max) arena bases in creation order (indexed by arenaindex),
 * [max, 2 max) the same bases in ascending order, [2 max] the old vector. */
uintptr_t *arena_vector = nullptr;
uintptr_t *arenas = nullptr;
uintptr_t *sorted_arenas = nullptr;
uint32_t narenas = 0;
uint32_t maxarenas = 0;

void init_usedpools()
{
    for (pool_header &h : usedpools) h.nextpool = h.prevpool = &h;
    usedpools_ready = true;
}

pool_header *pool_addr(const void *p) { return (pool_header *)((uintptr_t)p & ~POOL_SIZE_MASK); }

/* The ownership test: the nearest arena base at or below p must be less
 * than ARENA_SIZE away.  Reads only the allocator's own tables. */
bool address_in_arenas(const void *p)
{
    uintptr_t a = (uintptr_t)p;
    uint32_t lo = 0, hi = narenas;
    const uintptr_t *sorted = sorted_arenas;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (sorted[mid] <= a)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo > 0 && a - sorted[lo - 1] < ARENA_SIZE;
}

/* Makes room for one more arena record; false when the vector cannot grow. */
bool grow_arena_vector()
{
    if (narenas < maxarenas) return true;
    uint32_t newmax = maxarenas == 0 ? INITIAL_ARENA_OBJECTS : maxarenas * 2;
    if (newmax <= maxarenas || (size_t)newmax > (SIZE_MAX / sizeof(uintptr_t) - 1) / 2)
        return false;
    auto *v = (uintptr_t *)malloc((2 * (size_t)newmax + 1) * sizeof(uintptr_t));
    if (v == nullptr) return false;
    if (narenas != 0) {
        memcpy(v, arenas, narenas * sizeof(uintptr_t));
        memcpy(v + newmax, sorted_arenas, narenas * sizeof(uintptr_t));
    }
    v[2 * (size_t)newmax] = (uintptr_t)arena_vector;
    arena_vector = v;
    arenas = v;
    sorted_arenas = v + newmax;
    maxarenas = newmax;
    return true;
}

/* Records a new arena base in both tables.  The sorted table is shifted
 * from the top down, word by word, so every slot keeps holding a base. */
void record_arena(uintptr_t base)
{
    arenas[narenas] = base;
    uint32_t i = narenas;
    while (i > 0 && sorted_arenas[i - 1] > base) {
        sorted_arenas[i] = sorted_arenas[i - 1];
        --i;
    }
    sorted_arenas[i] = base;
    ++narenas;
}

/* Takes a new arena from the system; false when none can be had (the
 * request then goes to the system allocator). */
bool new_arena()
{
    void *mem = malloc(ARENA_SIZE);
    if (mem == nullptr) return false;
    if (!grow_arena_vector()) {
        free(mem);
        nfreepools = 0;
        return false;
    }
    record_arena((uintptr_t)mem);
    uintptr_t base = (uintptr_t)mem;
    uintptr_t excess = base & POOL_SIZE_MASK;
    nfreepools = (uint32_t)(ARENA_SIZE / POOL_SIZE);
    if (excess != 0) {
        --nfreepools;
        base += POOL_SIZE - excess;
    }
    arenabase = (block *)base;
    return true;
}

void *system_malloc(size_t n) { return malloc(n ? n : 1); }

/* Links `pool` as the only pool of class `size` and hands out a block. */
block *start_pool(pool_header *pool, uint32_t size)
{
    pool_header *head = &usedpools[size];
    pool->nextpool = head;
    pool->prevpool = head;
    head->nextpool = pool;
    head->prevpool = pool;
    pool->ref = 1;
    block *bp;
    if (pool->szidx == size) {
        /* An empty pool that last served this class: its free list is
         * intact and holds at least two blocks. */
        bp = pool->freeblock;
        pool->freeblock = *(block **)bp;
        return bp;
    }
    pool->szidx = size;
    uint32_t s = index2size(size);
    bp = (block *)pool + POOL_OVERHEAD;
    pool->nextoffset = (uint32_t)(POOL_OVERHEAD + 2 * s);
    pool->maxnextoffset = (uint32_t)(POOL_SIZE - s);
    pool->freeblock = bp + s;
    *(block **)pool->freeblock = nullptr;
    return bp;
}

void *pool_malloc(size_t nbytes)
{
    if (nbytes - 1 >= SMALL_REQUEST_THRESHOLD) return system_malloc(nbytes); /* 0 wraps */
    if (!usedpools_ready) init_usedpools();
    uint32_t size = (uint32_t)(nbytes - 1) >> ALIGNMENT_SHIFT;
    pool_header *pool = usedpools[size].nextpool;
    if (pool != &usedpools[size]) {
        ++pool->ref;
        block *bp = pool->freeblock;
        if ((pool->freeblock = *(block **)bp) != nullptr) return bp;
        if (pool->nextoffset <= pool->maxnextoffset) {
            pool->freeblock = (block *)pool + pool->nextoffset;
            pool->nextoffset += index2size(size);
            *(block **)pool->freeblock = nullptr;
            return bp;
        }
        /* Full: leave the used list. */
        pool_header *next = pool->nextpool;
        pool_header *prev = pool->prevpool;
        next->prevpool = prev;
        prev->nextpool = next;
        return bp;
    }
    if (freepools != nullptr) {
        pool = freepools;
        freepools = pool->nextpool;
        return start_pool(pool, size);
    }
    if (nfreepools == 0 && !new_arena()) return system_malloc(nbytes);
    pool = (pool_header *)arenabase;
    --nfreepools;
    arenabase += POOL_SIZE;
    pool->arenaindex = narenas - 1;
    pool->szidx = UNUSED_SZIDX;
    return start_pool(pool, size);
}

void pool_free(void *p)
{
    if (p == nullptr) return;
    if (!address_in_arenas(p)) {
        free(p);
        return;
    }
    pool_header *pool = pool_addr(p);
    block *lastfree = pool->freeblock;
    *(block **)p = lastfree;
    pool->freeblock = (block *)p;
    if (lastfree != nullptr) {
        if (--pool->ref != 0) return;
        /* Empty: off the used list, onto freepools. */
        pool_header *next = pool->nextpool;
        pool_header *prev = pool->prevpool;
        next->prevpool = prev;
        prev->nextpool = next;
        pool->nextpool = freepools;
        freepools = pool;
        return;
    }
    /* It was full: back at the end of its class's used list.  Every class
     * fits at least two blocks per pool, so ref cannot reach 0 here. */
    --pool->ref;
    pool_header *head = &usedpools[pool->szidx];
    pool_header *prev = head->prevpool;
    pool->nextpool = head;
    pool->prevpool = prev;
    head->prevpool = pool;
    prev->nextpool = pool;
}

void *pool_realloc(void *p, size_t nbytes)
{
    if (p == nullptr) return pool_malloc(nbytes);
    if (address_in_arenas(p)) {
        size_t size = index2size(pool_addr(p)->szidx);
        if (nbytes <= size) {
            /* Same size or shrinking by less than a quarter: keep it. */
            if (4 * nbytes > 3 * size) return p;
            size = nbytes;
        }
        void *bp = pool_malloc(nbytes);
        if (bp != nullptr) {
            memcpy(bp, p, size);
            pool_free(p);
        }
        return bp;
    }
    /* A system block stays a system block, and a request for 0 bytes never
     * yields NULL: if even one byte cannot be had, the old block stands. */
    if (nbytes != 0) return realloc(p, nbytes);
    void *bp = realloc(p, 1);
    return bp != nullptr ? bp : p;
}

} // namespace

extern "C" {

/* --- allocation-failure injection, for tests -------------------------------
 * The countdown is consulted by the four front-ends below, whatever
 * allocator serves them; 0 means disarmed.  One predictable branch per
 * request. */
static int32_t fail_countdown = 0;

static inline bool injected_failure()
{
    return fail_countdown != 0 && --fail_countdown == 0;
}

void _ZvMem_FailNth(int n) { fail_countdown = n > 0 ? n : 0; }

int _ZvMem_FailPending(void) { return fail_countdown; }

void *ZvMem_Malloc(size_t n)
{
    if (injected_failure()) [[unlikely]] return nullptr;
    return malloc(n ? n : 1);
}

void *ZvMem_Realloc(void *p, size_t n)
{
    if (injected_failure()) [[unlikely]] return nullptr;
    return realloc(p, n ? n : 1);
}

void ZvMem_Free(void *p) { ZvObject_Free(p); }

#ifdef ZUVO_SYSTEM_OBJECT_MALLOC

void *ZvObject_Malloc(size_t n)
{
    if (injected_failure()) [[unlikely]] return nullptr;
    return system_malloc(n);
}

void *ZvObject_Realloc(void *p, size_t n)
{
    if (injected_failure()) [[unlikely]] return nullptr;
    if (p == nullptr) return system_malloc(n);
    if (n != 0) return realloc(p, n);
    void *r = realloc(p, 1);
    return r != nullptr ? r : p;
}

void ZvObject_Free(void *p) { free(p); }

#else

void *ZvObject_Malloc(size_t n)
{
    if (injected_failure()) [[unlikely]] return nullptr;
    return pool_malloc(n);
}

void *ZvObject_Realloc(void *p, size_t n)
{
    if (injected_failure()) [[unlikely]] return nullptr;
    return pool_realloc(p, n);
}

void ZvObject_Free(void *p) { pool_free(p); }

#endif

/* --- hooks for the allocator's own tests --------------------------------- */

void *_ZvPool_Malloc(size_t n) { return pool_malloc(n); }
void *_ZvPool_Realloc(void *p, size_t n) { return pool_realloc(p, n); }
void _ZvPool_Free(void *p) { pool_free(p); }

int _ZvPool_Owns(const void *p) { return p != nullptr && address_in_arenas(p); }

void *_ZvPool_PoolOf(const void *p) { return _ZvPool_Owns(p) ? (void *)pool_addr(p) : nullptr; }

int _ZvPool_BlockSize(const void *p)
{
    return _ZvPool_Owns(p) ? (int)index2size(pool_addr(p)->szidx) : 0;
}

int _ZvPool_BlocksInUse(const void *p) { return _ZvPool_Owns(p) ? (int)pool_addr(p)->ref : 0; }

int _ZvPool_FreePoolCount(void)
{
    int n = 0;
    for (pool_header *p = freepools; p != nullptr; p = p->nextpool) ++n;
    return n;
}

int _ZvPool_ArenaCount(void) { return (int)narenas; }

void *_ZvPool_ArenaBase(int i)
{
    return (i >= 0 && (uint32_t)i < narenas) ? (void *)arenas[i] : nullptr;
}

} // extern "C"
