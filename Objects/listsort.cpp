/* The list sort: a stable, adaptive natural merge sort.
 *
 * The array is cut into runs: maximal non-descending stretches, or
 * strictly descending ones, which are reversed in place (strictness keeps
 * the sort stable).  Runs shorter than minrun (32..64 for large inputs)
 * are extended by binary insertion.  Each run is pushed on a stack of
 * pending runs whose lengths, read from the top as C, B, A, D, keep
 *     A > B + C,  B > C  (and D > A + B)
 * so they grow at least like the Fibonacci numbers: 85 entries cover any
 * array this machine can hold.  Merging two runs first skips what is
 * already in place with galloping searches, then merges from the shorter
 * side through a temporary area; when one side keeps winning, the merge
 * switches to galloping (exponential then binary search) and copies whole
 * blocks.  min_gallop adapts: galloping that pays lowers it, galloping
 * that does not raises it.  Ordered and reverse-ordered input cost n - 1
 * comparisons; the worst case is O(n log n).
 *
 * User code (comparisons, key functions) may run at every step and may
 * change the list, so the items are detached for the duration: the list
 * looks empty and its `allocated` is -1.  Any change user code makes
 * shows as a different `allocated`; whatever the list holds afterwards is
 * discarded, the sorted items are put back, and the sort reports
 * ValueError "list modified during sort".  A failing comparison stops the
 * sort but every item is always put back.  The merges must never read or
 * write out of bounds, even if the comparison is inconsistent. */
#include "listsort.h"

#include <string.h>

namespace {

/* Stack room for pending runs; see the invariants above. */
constexpr int MAX_MERGE_PENDING = 85;
/* Initial galloping threshold, and the count that keeps a merge galloping. */
constexpr int MIN_GALLOP = 7;
/* Slots of the merge area carried inside the state; bigger merges allocate. */
constexpr int MERGESTATE_TEMP_SIZE = 256;

struct s_slice {
    ZvObject **base;
    int len;
};

struct MergeState {
    ZvObject *compare; /* comparison callable, or NULL for the built-in < */
    int min_gallop;
    ZvObject **a;      /* the temporary merge area: temparray or a heap block */
    int alloced;
    int n;             /* number of pending runs */
    s_slice pending[MAX_MERGE_PENDING];
    ZvObject *temparray[MERGESTATE_TEMP_SIZE];
};

ZvObject *call_one(ZvObject *func, ZvObject *arg)
{
    ZvObject *args = ZvTuple_Pack(1, arg);
    if (args == nullptr) return nullptr;
    ZvObject *res = ZvObject_Call(func, args, nullptr);
    Zv_DECREF(args);
    return res;
}

/* x < y through a comparison callable: 1, 0, or -1 on error. */
int islt_with_cmp(ZvObject *x, ZvObject *y, ZvObject *compare)
{
    ZvObject *args = ZvTuple_Pack(2, x, y);
    if (args == nullptr) return -1;
    ZvObject *res = ZvObject_Call(compare, args, nullptr);
    Zv_DECREF(args);
    if (res == nullptr) return -1;
    if (!ZvInt_Check(res)) {
        Zv_DECREF(res);
        ZvErr_SetString(ZvExc_TypeError, "comparison function must return int");
        return -1;
    }
    int32_t i = ZvInt_AS_LONG(res);
    Zv_DECREF(res);
    return i < 0;
}

/* x < y for the sort.  Exact ints can only compare by value, so they skip
 * the generic comparison machinery: sorting numbers is the common case. */
inline int islt(ZvObject *x, ZvObject *y, ZvObject *compare)
{
    if (compare == nullptr) {
        if (ZvInt_CheckExact(x) && ZvInt_CheckExact(y)) return ZvInt_AS_LONG(x) < ZvInt_AS_LONG(y);
        return ZvObject_RichCompareBool(x, y, Zv_LT);
    }
    return islt_with_cmp(x, y, compare);
}

/* Evaluates islt(X, Y), jumping to `fail` on error; k receives the result. */
#define IFLT(X, Y)                                                            \
    if ((k = islt(X, Y, compare)) < 0) goto fail;                             \
    if (k)

/* Sorts [lo, hi) by binary insertion, knowing [lo, start) is sorted.  An
 * item equal to earlier ones goes after them, which keeps stability. */
int binarysort(ZvObject **lo, ZvObject **hi, ZvObject **start, ZvObject *compare)
{
    int k;
    if (lo == start) ++start;
    for (; start < hi; ++start) {
        ZvObject **l = lo, **r = start;
        ZvObject *pivot = *r;
        /* Invariants: pivot >= everything in [lo, l), pivot < everything in
         * [r, start). */
        do {
            ZvObject **p = l + ((r - l) >> 1);
            IFLT(pivot, *p) r = p;
            else l = p + 1;
        } while (l < r);
        for (ZvObject **p = start; p > l; --p) *p = *(p - 1);
        *l = pivot;
    }
    return 0;
fail:
    return -1;
}

/* Length of the run starting at lo (hi > lo); sets *descending when the
 * run is strictly descending.  -1 on error. */
int count_run(ZvObject **lo, ZvObject **hi, ZvObject *compare, int *descending)
{
    int k, n;
    *descending = 0;
    ++lo;
    if (lo == hi) return 1;
    n = 2;
    if ((k = islt(*lo, *(lo - 1), compare)) < 0) goto fail;
    *descending = k;
    /* Descending runs must be strictly descending, ascending ones may
     * hold equal neighbours: either way reversing keeps stability. */
    for (lo = lo + 1; lo < hi; ++lo, ++n) {
        if ((k = islt(*lo, *(lo - 1), compare)) < 0) goto fail;
        if (k != *descending) break;
    }
    return n;
fail:
    return -1;
}

/* The next probe offset after ofs (1, 3, 7, 15, ...), capped at maxofs
 * instead of overflowing. */
inline int next_offset(int ofs, int maxofs)
{
    if (ofs > (INT32_MAX - 1) / 2) return maxofs;
    return (ofs << 1) + 1;
}

/* Leftmost k in [0, n] with a[k-1] < key <= a[k], searching outward from
 * hint.  -1 on error. */
int gallop_left(ZvObject *key, ZvObject **a, int n, int hint, ZvObject *compare)
{
    int k, ofs = 1, lastofs = 0;
    a += hint;
    IFLT(*a, key)
    {
        /* a[hint] < key: gallop right until a[hint+lastofs] < key <= a[hint+ofs]. */
        int maxofs = n - hint;
        while (ofs < maxofs) {
            IFLT(a[ofs], key)
            {
                lastofs = ofs;
                ofs = next_offset(ofs, maxofs);
            }
            else break;
        }
        if (ofs > maxofs) ofs = maxofs;
        lastofs += hint;
        ofs += hint;
    }
    else {
        /* key <= a[hint]: gallop left until a[hint-ofs] < key <= a[hint-lastofs]. */
        int maxofs = hint + 1;
        while (ofs < maxofs) {
            IFLT(*(a - ofs), key) break;
            lastofs = ofs;
            ofs = next_offset(ofs, maxofs);
        }
        if (ofs > maxofs) ofs = maxofs;
        int t = lastofs;
        lastofs = hint - ofs;
        ofs = hint - t;
    }
    a -= hint;
    /* Now a[lastofs] < key <= a[ofs]: binary search in between. */
    ++lastofs;
    while (lastofs < ofs) {
        int m = lastofs + ((ofs - lastofs) >> 1);
        IFLT(a[m], key) lastofs = m + 1;
        else ofs = m;
    }
    return ofs;
fail:
    return -1;
}

/* Rightmost k in [0, n] with a[k-1] <= key < a[k], searching outward from
 * hint.  -1 on error. */
int gallop_right(ZvObject *key, ZvObject **a, int n, int hint, ZvObject *compare)
{
    int k, ofs = 1, lastofs = 0;
    a += hint;
    IFLT(key, *a)
    {
        /* key < a[hint]: gallop left until a[hint-ofs] <= key < a[hint-lastofs]. */
        int maxofs = hint + 1;
        while (ofs < maxofs) {
            IFLT(key, *(a - ofs))
            {
                lastofs = ofs;
                ofs = next_offset(ofs, maxofs);
            }
            else break;
        }
        if (ofs > maxofs) ofs = maxofs;
        int t = lastofs;
        lastofs = hint - ofs;
        ofs = hint - t;
    }
    else {
        /* a[hint] <= key: gallop right until a[hint+lastofs] <= key < a[hint+ofs]. */
        int maxofs = n - hint;
        while (ofs < maxofs) {
            IFLT(key, a[ofs]) break;
            lastofs = ofs;
            ofs = next_offset(ofs, maxofs);
        }
        if (ofs > maxofs) ofs = maxofs;
        lastofs += hint;
        ofs += hint;
    }
    a -= hint;
    /* Now a[lastofs] <= key < a[ofs]: binary search in between. */
    ++lastofs;
    while (lastofs < ofs) {
        int m = lastofs + ((ofs - lastofs) >> 1);
        IFLT(key, a[m]) ofs = m;
        else lastofs = m + 1;
    }
    return ofs;
fail:
    return -1;
}

void merge_init(MergeState *ms, ZvObject *compare)
{
    ms->compare = compare;
    ms->a = ms->temparray;
    ms->alloced = MERGESTATE_TEMP_SIZE;
    ms->n = 0;
    ms->min_gallop = MIN_GALLOP;
}

void merge_freemem(MergeState *ms)
{
    if (ms->a != ms->temparray) ZvMem_Free(ms->a);
    ms->a = ms->temparray;
    ms->alloced = MERGESTATE_TEMP_SIZE;
}

/* Makes the merge area hold at least need slots.  The old contents are
 * not kept, so a fresh block is allocated rather than reallocated. */
int merge_getmem(MergeState *ms, int need)
{
    if (need <= ms->alloced) return 0;
    merge_freemem(ms);
    auto *block = (ZvObject **)ZvMem_Malloc((size_t)need * sizeof(ZvObject *));
    if (block == nullptr) {
        ZvErr_NoMemory();
        return -1;
    }
    ms->a = block;
    ms->alloced = need;
    return 0;
}

inline void copy_slots(ZvObject **dest, ZvObject **src, int n)
{
    memmove(dest, src, (size_t)n * sizeof(ZvObject *));
}

/* Merges the adjacent runs pa[0:na] and pb[0:nb] (pa + na == pb) in place,
 * with 0 < na <= nb, trimmed by the caller so that B's first item belongs
 * before A's first and A's last item belongs after B's last.  A is copied
 * to the merge area and the runs are merged from the left. */
int merge_lo(MergeState *ms, ZvObject **pa, int na, ZvObject **pb, int nb)
{
    int k, result = -1;
    ZvObject *compare = ms->compare;
    if (merge_getmem(ms, na) < 0) return -1;
    copy_slots(ms->a, pa, na);
    ZvObject **dest = pa;
    pa = ms->a;

    *dest++ = *pb++;
    --nb;
    if (nb == 0) goto succeed;
    if (na == 1) goto copyB;

    for (int min_gallop = ms->min_gallop;;) {
        int acount = 0, bcount = 0; /* consecutive wins of each run */
        /* One pair at a time until one run wins min_gallop times in a row. */
        for (;;) {
            IFLT(*pb, *pa)
            {
                *dest++ = *pb++;
                ++bcount;
                acount = 0;
                --nb;
                if (nb == 0) goto succeed;
                if (bcount >= min_gallop) break;
            }
            else {
                *dest++ = *pa++;
                ++acount;
                bcount = 0;
                --na;
                if (na == 1) goto copyB;
                if (acount >= min_gallop) break;
            }
        }
        /* Galloping: copy blocks while the searches keep paying off. */
        do {
            min_gallop -= min_gallop > 1;
            ms->min_gallop = min_gallop;
            k = gallop_right(*pb, pa, na, 0, compare);
            acount = k;
            if (k) {
                if (k < 0) goto fail;
                copy_slots(dest, pa, k);
                dest += k;
                pa += k;
                na -= k;
                if (na == 1) goto copyB;
                /* Only an inconsistent comparison can empty A here. */
                if (na == 0) goto succeed;
            }
            *dest++ = *pb++;
            --nb;
            if (nb == 0) goto succeed;

            k = gallop_left(*pa, pb, nb, 0, compare);
            bcount = k;
            if (k) {
                if (k < 0) goto fail;
                copy_slots(dest, pb, k);
                dest += k;
                pb += k;
                nb -= k;
                if (nb == 0) goto succeed;
            }
            *dest++ = *pa++;
            --na;
            if (na == 1) goto copyB;
        } while (acount >= MIN_GALLOP || bcount >= MIN_GALLOP);
        ++min_gallop; /* leaving galloping costs a little */
        ms->min_gallop = min_gallop;
    }
succeed:
    result = 0;
fail:
    if (na) copy_slots(dest, pa, na);
    return result;
copyB:
    /* The last A item goes after the rest of B. */
    copy_slots(dest, pb, nb);
    dest[nb] = *pa;
    return 0;
}

/* The mirror image of merge_lo for nb <= na: B is copied to the merge
 * area and the runs are merged from their right ends. */
int merge_hi(MergeState *ms, ZvObject **pa, int na, ZvObject **pb, int nb)
{
    int k, result = -1;
    ZvObject *compare = ms->compare;
    if (merge_getmem(ms, nb) < 0) return -1;
    ZvObject **dest = pb + nb - 1;
    copy_slots(ms->a, pb, nb);
    ZvObject **basea = pa, **baseb = ms->a;
    pb = ms->a + nb - 1;
    pa += na - 1;

    *dest-- = *pa--;
    --na;
    if (na == 0) goto succeed;
    if (nb == 1) goto copyA;

    for (int min_gallop = ms->min_gallop;;) {
        int acount = 0, bcount = 0;
        for (;;) {
            IFLT(*pb, *pa)
            {
                *dest-- = *pa--;
                ++acount;
                bcount = 0;
                --na;
                if (na == 0) goto succeed;
                if (acount >= min_gallop) break;
            }
            else {
                *dest-- = *pb--;
                ++bcount;
                acount = 0;
                --nb;
                if (nb == 1) goto copyA;
                if (bcount >= min_gallop) break;
            }
        }
        do {
            min_gallop -= min_gallop > 1;
            ms->min_gallop = min_gallop;
            k = gallop_right(*pb, basea, na, na - 1, compare);
            if (k < 0) goto fail;
            k = na - k;
            acount = k;
            if (k) {
                dest -= k;
                pa -= k;
                copy_slots(dest + 1, pa + 1, k);
                na -= k;
                if (na == 0) goto succeed;
            }
            *dest-- = *pb--;
            --nb;
            if (nb == 1) goto copyA;

            k = gallop_left(*pa, baseb, nb, nb - 1, compare);
            if (k < 0) goto fail;
            k = nb - k;
            bcount = k;
            if (k) {
                dest -= k;
                pb -= k;
                copy_slots(dest + 1, pb + 1, k);
                nb -= k;
                if (nb == 1) goto copyA;
                /* Only an inconsistent comparison can empty B here. */
                if (nb == 0) goto succeed;
            }
            *dest-- = *pa--;
            --na;
            if (na == 0) goto succeed;
        } while (acount >= MIN_GALLOP || bcount >= MIN_GALLOP);
        ++min_gallop;
        ms->min_gallop = min_gallop;
    }
succeed:
    result = 0;
fail:
    if (nb) copy_slots(dest - (nb - 1), baseb, nb);
    return result;
copyA:
    /* The first B item goes before the rest of A. */
    dest -= na;
    pa -= na;
    copy_slots(dest + 1, pa + 1, na);
    *dest = *pb;
    return 0;
}

/* Merges the pending runs i and i + 1; i is the second or third from the
 * top of the stack. */
int merge_at(MergeState *ms, int i)
{
    ZvObject *compare = ms->compare;
    ZvObject **pa = ms->pending[i].base;
    int na = ms->pending[i].len;
    ZvObject **pb = ms->pending[i + 1].base;
    int nb = ms->pending[i + 1].len;

    ms->pending[i].len = na + nb;
    if (i == ms->n - 3) ms->pending[i + 1] = ms->pending[i + 2];
    --ms->n;

    /* A's items not greater than B's first are already in place. */
    int k = gallop_right(*pb, pa, na, 0, compare);
    if (k < 0) return -1;
    pa += k;
    na -= k;
    if (na == 0) return 0;
    /* B's items not less than A's last are already in place. */
    nb = gallop_left(pa[na - 1], pb, nb, nb - 1, compare);
    if (nb <= 0) return nb;
    if (na <= nb) return merge_lo(ms, pa, na, pb, nb);
    return merge_hi(ms, pa, na, pb, nb);
}

/* Restores the stack invariants after a push.  Checking the fourth run
 * from the top too keeps the invariants true all the way down the stack,
 * not only among the top three. */
int merge_collapse(MergeState *ms)
{
    s_slice *p = ms->pending;
    while (ms->n > 1) {
        int n = ms->n - 2;
        if ((n > 0 && p[n - 1].len <= p[n].len + p[n + 1].len) ||
            (n > 1 && p[n - 2].len <= p[n - 1].len + p[n].len)) {
            if (p[n - 1].len < p[n + 1].len) --n;
            if (merge_at(ms, n) < 0) return -1;
        } else if (p[n].len <= p[n + 1].len) {
            if (merge_at(ms, n) < 0) return -1;
        } else {
            break;
        }
    }
    return 0;
}

/* Merges every pending run into one. */
int merge_force_collapse(MergeState *ms)
{
    s_slice *p = ms->pending;
    while (ms->n > 1) {
        int n = ms->n - 2;
        if (n > 0 && p[n - 1].len < p[n + 1].len) --n;
        if (merge_at(ms, n) < 0) return -1;
    }
    return 0;
}

/* The minimum run length for n items: n itself below 64, else a value in
 * [32, 64] such that n / minrun is a power of 2 or slightly less, which
 * keeps the final merges balanced. */
int merge_compute_minrun(int n)
{
    int r = 0;
    while (n >= 64) {
        r |= n & 1;
        n >>= 1;
    }
    return n + r;
}

/* Sorts the slots [lo, lo + n) in place.  0, or -1 with an error set. */
int sort_slots(MergeState *ms, ZvObject **lo, int n)
{
    ZvObject *compare = ms->compare;
    ZvObject **hi = lo + n;
    int nremaining = n;
    int minrun = merge_compute_minrun(nremaining);
    do {
        int descending;
        int run = count_run(lo, hi, compare, &descending);
        if (run < 0) return -1;
        if (descending) _ZvList_ReverseSlice(lo, lo + run);
        if (run < minrun) {
            int force = nremaining <= minrun ? nremaining : minrun;
            if (binarysort(lo, lo + force, lo + run, compare) < 0) return -1;
            run = force;
        }
        if (ms->n >= MAX_MERGE_PENDING) {
            /* Unreachable while the invariants hold; never overrun the stack. */
            ZvErr_SetString(ZvExc_SystemError, "sort: too many pending runs");
            return -1;
        }
        ms->pending[ms->n].base = lo;
        ms->pending[ms->n].len = run;
        ++ms->n;
        if (merge_collapse(ms) < 0) return -1;
        lo += run;
        nremaining -= run;
    } while (nremaining);
    return merge_force_collapse(ms);
}

} // namespace

/* --- key and cmp wrappers -------------------------------------------------
 * With key=, each item is replaced by a sortwrapper holding (key, item)
 * for the duration; wrappers compare by their keys.  With both key= and
 * cmp=, the cmp function is wrapped so that it receives the keys. */

namespace {

struct sortwrapperobject {
    ZvObject_HEAD
    ZvObject *key;
    ZvObject *value;
};

struct cmpwrapperobject {
    ZvObject_HEAD
    ZvObject *func;
};

} // namespace

extern "C" {

static void sortwrapper_dealloc(ZvObject *o)
{
    auto *so = (sortwrapperobject *)o;
    Zv_XDECREF(so->key);
    Zv_XDECREF(so->value);
    ZvObject_Free(so);
}

static ZvObject *sortwrapper_richcompare(ZvObject *a, ZvObject *b, int op);

ZvTypeObject _ZvSortWrapper_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "sortwrapper", sizeof(sortwrapperobject), 0,
    sortwrapper_dealloc,      /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* print .. repr */
    nullptr, nullptr, nullptr, /* number, sequence, mapping */
    nullptr, nullptr, nullptr, /* hash, call, str */
    ZvObject_GenericGetAttr,  /* tp_getattro */
    nullptr, nullptr,         /* setattro, as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_RICHCOMPARE,
    "Object wrapper with a custom sort key.",
    nullptr, nullptr,         /* traverse, clear */
    sortwrapper_richcompare,  /* tp_richcompare */
};

static ZvObject *sortwrapper_richcompare(ZvObject *a, ZvObject *b, int op)
{
    if (Zv_TYPE(a) != &_ZvSortWrapper_Type || Zv_TYPE(b) != &_ZvSortWrapper_Type) {
        ZvErr_SetString(ZvExc_TypeError, "expected a sortwrapperobject");
        return nullptr;
    }
    return ZvObject_RichCompare(((sortwrapperobject *)a)->key, ((sortwrapperobject *)b)->key, op);
}

static void cmpwrapper_dealloc(ZvObject *o)
{
    Zv_XDECREF(((cmpwrapperobject *)o)->func);
    ZvObject_Free(o);
}

static ZvObject *cmpwrapper_call(ZvObject *self, ZvObject *args, ZvObject *)
{
    ZvObject *x, *y;
    if (!ZvArg_UnpackTuple(args, "", 2, 2, &x, &y)) return nullptr;
    if (Zv_TYPE(x) != &_ZvSortWrapper_Type || Zv_TYPE(y) != &_ZvSortWrapper_Type) {
        ZvErr_SetString(ZvExc_TypeError, "expected a sortwrapperobject");
        return nullptr;
    }
    ZvObject *keys = ZvTuple_Pack(2, ((sortwrapperobject *)x)->key, ((sortwrapperobject *)y)->key);
    if (keys == nullptr) return nullptr;
    ZvObject *res = ZvObject_Call(((cmpwrapperobject *)self)->func, keys, nullptr);
    Zv_DECREF(keys);
    return res;
}

ZvTypeObject _ZvCmpWrapper_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "cmpwrapper", sizeof(cmpwrapperobject), 0,
    cmpwrapper_dealloc,       /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* print .. repr */
    nullptr, nullptr, nullptr, /* number, sequence, mapping */
    nullptr,                  /* tp_hash */
    cmpwrapper_call,          /* tp_call */
    nullptr,                  /* tp_str */
    ZvObject_GenericGetAttr,  /* tp_getattro */
    nullptr, nullptr,         /* setattro, as_buffer */
    Zv_TPFLAGS_DEFAULT,
    "cmp() wrapper for sort with custom keys.",
};

} // extern "C"

namespace {

/* Steals key; takes a new reference to value. */
ZvObject *build_sortwrapper(ZvObject *key, ZvObject *value)
{
    auto *so = ZvObject_New(sortwrapperobject, &_ZvSortWrapper_Type);
    if (so == nullptr) {
        Zv_DECREF(key);
        return nullptr;
    }
    so->key = key;
    Zv_INCREF(value);
    so->value = value;
    return (ZvObject *)so;
}

ZvObject *build_cmpwrapper(ZvObject *func)
{
    auto *co = ZvObject_New(cmpwrapperobject, &_ZvCmpWrapper_Type);
    if (co == nullptr) return nullptr;
    Zv_INCREF(func);
    co->func = func;
    return (ZvObject *)co;
}

/* Replaces each wrapper in items[0:n] by its value.  A slot holding
 * anything else is left as it is and reported. */
int unwrap_items(ZvObject **items, int n)
{
    int status = 0;
    for (int i = 0; i < n; i++) {
        ZvObject *w = items[i];
        if (w == nullptr || Zv_TYPE(w) != &_ZvSortWrapper_Type) {
            if (status == 0) ZvErr_SetString(ZvExc_TypeError, "expected a sortwrapperobject");
            status = -1;
            continue;
        }
        ZvObject *value = ((sortwrapperobject *)w)->value;
        Zv_INCREF(value);
        items[i] = value;
        Zv_DECREF(w);
    }
    return status;
}

/* Wraps items[0:n] for key=.  On failure the items already wrapped are
 * unwrapped again and -1 is returned. */
int wrap_items(ZvObject **items, int n, ZvObject *keyfunc)
{
    for (int i = 0; i < n; i++) {
        ZvObject *value = items[i];
        ZvObject *key = call_one(keyfunc, value);
        ZvObject *w = key != nullptr ? build_sortwrapper(key, value) : nullptr;
        if (w == nullptr) {
            (void)unwrap_items(items, i);
            return -1;
        }
        items[i] = w;
        Zv_DECREF(value);
    }
    return 0;
}

} // namespace

ZvObject *_ZvList_SortImpl(ZvListObject *self, ZvObject *compare, ZvObject *keyfunc, int reverse)
{
    if (compare != nullptr && keyfunc != nullptr) {
        compare = build_cmpwrapper(compare);
        if (compare == nullptr) return nullptr;
    } else {
        Zv_XINCREF(compare);
    }

    /* Detach the items: user code sees an empty list while we sort, and
     * any change it makes alters `allocated`. */
    int saved_ob_size = self->ob_size;
    ZvObject **saved_ob_item = self->ob_item;
    int saved_allocated = self->allocated;
    self->ob_size = 0;
    self->ob_item = nullptr;
    self->allocated = -1;

    ZvObject *result = nullptr;
    bool wrapped = false;
    if (keyfunc != nullptr) {
        if (wrap_items(saved_ob_item, saved_ob_size, keyfunc) < 0) goto restore;
        wrapped = true;
    }
    {
        /* Reversing first, and again afterwards, keeps equal items in their
         * original order in a descending sort. */
        if (reverse && saved_ob_size > 1)
            _ZvList_ReverseSlice(saved_ob_item, saved_ob_item + saved_ob_size);

        MergeState ms;
        merge_init(&ms, compare);
        if (saved_ob_size < 2 || sort_slots(&ms, saved_ob_item, saved_ob_size) == 0)
            result = Zv_None;
        merge_freemem(&ms);

        if (wrapped && unwrap_items(saved_ob_item, saved_ob_size) < 0) result = nullptr;
        if (self->allocated != -1 && result != nullptr) {
            ZvErr_SetString(ZvExc_ValueError, "list modified during sort");
            result = nullptr;
        }
        if (reverse && saved_ob_size > 1)
            _ZvList_ReverseSlice(saved_ob_item, saved_ob_item + saved_ob_size);
    }

restore:
    /* Whatever user code put into the list meanwhile is dropped, after the
     * sorted items are back in place. */
    {
        ZvObject **final_ob_item = self->ob_item;
        int i = self->ob_size;
        self->ob_size = saved_ob_size;
        self->ob_item = saved_ob_item;
        self->allocated = saved_allocated;
        if (final_ob_item != nullptr) {
            while (--i >= 0) Zv_XDECREF(final_ob_item[i]);
            ZvMem_Free(final_ob_item);
        }
    }
    Zv_XDECREF(compare);
    Zv_XINCREF(result);
    return result;
}
