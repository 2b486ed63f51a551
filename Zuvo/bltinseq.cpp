/* The built-in functions that walk sequences: filter, map, max and min,
 * range, reduce, sorted, sum and zip.
 *
 * Any step may run user code (an iterator's next, a __len__, the function
 * given, a comparison), which can change or free what it reaches.  The
 * iterators, the items and the results under construction are therefore
 * owned references here, and the result objects are never reachable from
 * user code until they are returned. */
#include "zuvo.h"
#include "bltin_internal.h"
#include "zvref.h"

#include <string.h>

#include <vector>

namespace {

/* A sequence's length as the guess of a result's size: `fallback` when it
 * has none (TypeError or AttributeError, cleared); -1 on another error. */
int guess_length(ZvObject *seq, int fallback)
{
    int n = ZvObject_Size(seq);
    if (n >= 0) return n;
    if (!ZvErr_Occurred()) return fallback;
    if (!ZvErr_ExceptionMatches(ZvExc_TypeError) && !ZvErr_ExceptionMatches(ZvExc_AttributeError))
        return -1;
    ZvErr_Clear();
    return fallback;
}

/* A result list built to a guessed length: the first items are stored into
 * slots made up front, the rest appended, and the list is cut to the number
 * stored at the end.  The slots hold None until they are filled, so the
 * list is a valid list at every moment.  A length is only a guess (a
 * __len__ may say anything), so at most kMaxPrealloc slots are made ahead;
 * past them the list grows as items come. */
class GuessedList {
public:
    static constexpr int kMaxPrealloc = 1 << 16;

    [[nodiscard]] bool init(int guess)
    {
        slots_ = guess < kMaxPrealloc ? guess : kMaxPrealloc;
        list_.reset(ZvList_New(slots_));
        if (!list_) return false;
        for (int i = 0; i < slots_; i++) {
            Zv_INCREF(Zv_None);
            ZvList_SET_ITEM(list_.get(), i, Zv_None);
        }
        return true;
    }

    /* Takes the reference to item. */
    [[nodiscard]] bool add(ZvObject *item)
    {
        zv::Ref owned(item);
        if (stored_ < slots_) {
            ZvList_SET_ITEM(list_.get(), stored_++, owned.release());
            Zv_DECREF(Zv_None);
            return true;
        }
        if (ZvList_Append(list_.get(), item) < 0) return false;
        stored_++;
        return true;
    }

    ZvObject *finish()
    {
        if (stored_ < slots_ && ZvList_SetSlice(list_.get(), stored_, slots_, nullptr) < 0)
            return nullptr;
        return list_.release();
    }

private:
    zv::Ref list_;
    int slots_ = 0;
    int stored_ = 0;
};

/* Whether filter keeps item: its truth, or the truth of func(item).
 * 1, 0 or -1 with an error set. */
int keeps(ZvObject *func, ZvObject *item)
{
    if (func == nullptr) return ZvObject_IsTrue(item);
    zv::Ref verdict(ZvObject_CallFunctionObjArgs(func, item, nullptr));
    if (!verdict) return -1;
    return ZvObject_IsTrue(verdict.get());
}

[[nodiscard]] bool resize_string(zv::Ref &s, int size)
{
    ZvObject *p = s.release();
    if (_ZvString_Resize(&p, size) < 0) return false;
    s.reset(p);
    return true;
}

/* filter over a string: the kept items, concatenated.  Items come from the
 * type's item slot, so a subclass's __getitem__ decides them and may give
 * strings longer than one character.  The result has room for the items
 * still to come at one byte each; a longer kept item grows it to at least
 * twice its size. */
ZvObject *filter_string(ZvObject *func, ZvObject *str)
{
    int len = ZvString_GET_SIZE(str);
    intargfunc getitem = Zv_TYPE(str)->tp_as_sequence->sq_item;
    zv::Ref result(ZvString_FromStringAndSize(nullptr, len));
    if (!result) return nullptr;
    int capacity = len, used = 0;
    for (int i = 0; i < len; i++) {
        zv::Ref item(getitem(str, i));
        if (!item) return nullptr;
        if (!ZvString_Check(item.get())) {
            ZvErr_SetString(ZvExc_TypeError,
                            "can't filter str to str: __getitem__ returned different type");
            return nullptr;
        }
        int ok = keeps(func, item.get());
        if (ok < 0) return nullptr;
        if (ok == 0) continue;
        int n = ZvString_GET_SIZE(item.get());
        /* Room for this item and one byte for each item after it. */
        int64_t need = (int64_t)used + n + (len - i - 1);
        if (need > capacity) {
            int64_t grown = need > 2 * (int64_t)capacity ? need : 2 * (int64_t)capacity;
            if (grown > INT32_MAX) grown = need;
            if (grown > INT32_MAX) {
                ZvErr_SetString(ZvExc_OverflowError, "filter(): result string too long");
                return nullptr;
            }
            if (!resize_string(result, (int)grown)) return nullptr;
            capacity = (int)grown;
        }
        memcpy(ZvString_AS_STRING(result.get()) + used, ZvString_AS_STRING(item.get()),
               (size_t)n);
        used += n;
    }
    if (used < capacity && !resize_string(result, used)) return nullptr;
    return result.release();
}

/* filter over a tuple: a tuple of the kept items, fetched through the
 * type's item slot. */
ZvObject *filter_tuple(ZvObject *func, ZvObject *tuple)
{
    int len = ZvTuple_GET_SIZE(tuple);
    if (len == 0) {
        if (ZvTuple_CheckExact(tuple)) {
            Zv_INCREF(tuple);
            return tuple;
        }
        return ZvTuple_New(0);
    }
    ZvSequenceMethods *sq = Zv_TYPE(tuple)->tp_as_sequence;
    if (sq == nullptr || sq->sq_item == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "filter(): unsubscriptable tuple");
        return nullptr;
    }
    zv::Ref result(ZvTuple_New(len));
    if (!result) return nullptr;
    for (int i = 0; i < len; i++) {
        Zv_INCREF(Zv_None);
        ZvTuple_SET_ITEM(result.get(), i, Zv_None);
    }
    int kept = 0;
    for (int i = 0; i < len; i++) {
        zv::Ref item(sq->sq_item(tuple, i));
        if (!item) return nullptr;
        int ok = keeps(func, item.get());
        if (ok < 0) return nullptr;
        if (ok == 0) continue;
        Zv_DECREF(Zv_None);
        ZvTuple_SET_ITEM(result.get(), kept++, item.release());
    }
    ZvObject *p = result.release();
    if (_ZvTuple_Resize(&p, kept) < 0) return nullptr;
    return p;
}

/* filter over anything else: a list of the kept items. */
ZvObject *filter_iterable(ZvObject *func, ZvObject *seq)
{
    zv::Ref it(ZvObject_GetIter(seq));
    if (!it) return nullptr;
    int guess = guess_length(seq, 8);
    if (guess < 0) return nullptr;
    GuessedList result;
    if (!result.init(guess)) return nullptr;
    for (;;) {
        zv::Ref item(ZvIter_Next(it.get()));
        if (!item) {
            if (ZvErr_Occurred()) return nullptr;
            break;
        }
        int ok = keeps(func, item.get());
        if (ok < 0) return nullptr;
        if (ok && !result.add(item.release())) return nullptr;
    }
    return result.finish();
}

/* One sequence of map: its iterator until it ends. */
struct MapSource {
    zv::Ref it;
    bool ended = false;
};

/* max and min: the first item that no later item beats under op. */
ZvObject *min_max(ZvObject *args, int op, const char *name)
{
    ZvObject *seq = args;
    if (ZvTuple_GET_SIZE(args) <= 1 && !ZvArg_UnpackTuple(args, name, 1, 1, &seq))
        return nullptr;
    zv::Ref it(ZvObject_GetIter(seq));
    if (!it) return nullptr;
    zv::Ref best;
    for (;;) {
        zv::Ref item(ZvIter_Next(it.get()));
        if (!item) {
            if (ZvErr_Occurred()) return nullptr;
            break;
        }
        if (!best) {
            best = std::move(item);
            continue;
        }
        int better = ZvObject_RichCompareBool(item.get(), best.get(), op);
        if (better < 0) return nullptr;
        if (better) best = std::move(item);
    }
    if (!best) {
        ZvErr_Format(ZvExc_ValueError, "%s() arg is an empty sequence", name);
        return nullptr;
    }
    return best.release();
}

const char kRangeTooMany[] = "range() result has too many items";
const char kRangeZeroStep[] = "range() step argument must not be zero";

/* range over machine integers.  The count is exact in unsigned 32-bit
 * arithmetic for every pair of signed 32-bit bounds. */
ZvObject *range_ints(int32_t lo, int32_t hi, int32_t step)
{
    if (step == 0) {
        ZvErr_SetString(ZvExc_ValueError, kRangeZeroStep);
        return nullptr;
    }
    uint32_t count = 0;
    if (step > 0 && lo < hi) count = ((uint32_t)hi - (uint32_t)lo - 1) / (uint32_t)step + 1;
    if (step < 0 && hi < lo) count = ((uint32_t)lo - (uint32_t)hi - 1) / (0u - (uint32_t)step) + 1;
    if (count > (uint32_t)INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, kRangeTooMany);
        return nullptr;
    }
    int32_t n = (int32_t)count;
    zv::Ref list(ZvList_New(n));
    if (!list) return nullptr;
    uint32_t value = (uint32_t)lo;
    for (int32_t i = 0; i < n; i++, value += (uint32_t)step) {
        ZvObject *item = ZvInt_FromLong((int32_t)value);
        if (item == nullptr) return nullptr;
        ZvList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

/* The number of items from lo up to hi by a positive step, by generic
 * arithmetic: 0 when lo >= hi, else (hi - lo - 1) // step + 1.  -1 with an
 * error set, OverflowError when it does not fit an int. */
int range_long_length(ZvObject *lo, ZvObject *hi, ZvObject *step)
{
    int c;
    if (ZvObject_Cmp(lo, hi, &c) < 0) return -1;
    if (c >= 0) return 0;
    zv::Ref one(ZvLong_FromLong(1));
    if (!one) return -1;
    zv::Ref diff(ZvNumber_Subtract(hi, lo));
    if (!diff) return -1;
    zv::Ref less(ZvNumber_Subtract(diff.get(), one.get()));
    if (!less) return -1;
    zv::Ref quot(ZvNumber_FloorDivide(less.get(), step));
    if (!quot) return -1;
    zv::Ref n(ZvNumber_Add(quot.get(), one.get()));
    if (!n) return -1;
    int32_t count = ZvLong_Check(n.get()) ? ZvLong_AsLong(n.get()) : ZvInt_AsLong(n.get());
    if (count == -1 && ZvErr_Occurred()) {
        if (!ZvErr_ExceptionMatches(ZvExc_OverflowError)) return -1;
        ZvErr_SetString(ZvExc_OverflowError, kRangeTooMany);
        return -1;
    }
    return count;
}

bool range_integer(ZvObject *v, const char *what)
{
    if (ZvInt_Check(v) || ZvLong_Check(v)) return true;
    ZvErr_Format(ZvExc_TypeError, "range() integer %s argument expected, got %s.", what,
                 Zv_TYPE(v)->tp_name);
    return false;
}

/* range over ints and longs of any size, by generic arithmetic. */
ZvObject *range_longs(ZvObject *args)
{
    ZvObject *ilow = nullptr, *ihigh = nullptr, *istep = nullptr;
    if (!ZvArg_UnpackTuple(args, "range", 1, 3, &ilow, &ihigh, &istep)) return nullptr;
    if (ihigh == nullptr) {
        ihigh = ilow;
        ilow = nullptr;
    }
    zv::Ref zero(ZvLong_FromLong(0));
    if (!zero) return nullptr;
    zv::Ref lo = zv::Ref::borrow(ilow != nullptr ? ilow : zero.get());
    zv::Ref step(istep != nullptr ? zv::Ref::borrow(istep).release() : ZvLong_FromLong(1));
    if (!step) return nullptr;
    if (!range_integer(lo.get(), "start") || !range_integer(ihigh, "end") ||
        !range_integer(step.get(), "step"))
        return nullptr;
    int sign;
    if (ZvObject_Cmp(step.get(), zero.get(), &sign) < 0) return nullptr;
    if (sign == 0) {
        ZvErr_SetString(ZvExc_ValueError, kRangeZeroStep);
        return nullptr;
    }
    int n;
    if (sign > 0) {
        n = range_long_length(lo.get(), ihigh, step.get());
    } else {
        zv::Ref negstep(ZvNumber_Negative(step.get()));
        if (!negstep) return nullptr;
        n = range_long_length(ihigh, lo.get(), negstep.get());
    }
    if (n < 0) return nullptr;
    zv::Ref list(ZvList_New(n));
    if (!list) return nullptr;
    zv::Ref value = std::move(lo);
    for (int i = 0; i < n; i++) {
        ZvList_SET_ITEM(list.get(), i, zv::Ref::borrow(value.get()).release());
        if (i + 1 == n) break;
        value.reset(ZvNumber_Add(value.get(), step.get()));
        if (!value) return nullptr;
    }
    return list.release();
}

} // namespace

namespace zv::builtins {

ZvObject *filter(ZvObject *, ZvObject *args)
{
    ZvObject *func, *seq;
    if (!ZvArg_UnpackTuple(args, "filter", 2, 2, &func, &seq)) return nullptr;
    if (func == Zv_None && ZvString_CheckExact(seq)) {
        /* Every character of a string is true. */
        Zv_INCREF(seq);
        return seq;
    }
    /* None and bool both mean: keep the items that are true. */
    ZvObject *test = func == Zv_None || func == (ZvObject *)&ZvBool_Type ? nullptr : func;
    if (ZvString_Check(seq)) return filter_string(test, seq);
    /* Unicode strings get their own path, like byte strings, with the
     * Unicode type. */
    if (ZvTuple_Check(seq)) return filter_tuple(test, seq);
    return filter_iterable(test, seq);
}

/* map(func, seq1, ...): func applied to the items of the sequences in
 * step; shorter sequences are padded with None.  With None as func the
 * result items are the tuples of items themselves. */
ZvObject *map(ZvObject *, ZvObject *args)
{
    int nargs = ZvTuple_GET_SIZE(args);
    if (nargs < 2) {
        ZvErr_SetString(ZvExc_TypeError, "map() requires at least two args");
        return nullptr;
    }
    ZvObject *func = ZvTuple_GET_ITEM(args, 0);
    int n = nargs - 1;
    if (func == Zv_None && n == 1) return ZvSequence_List(ZvTuple_GET_ITEM(args, 1));

    std::vector<MapSource> sources((size_t)n);
    int guess = 0;
    for (int i = 0; i < n; i++) {
        ZvObject *seq = ZvTuple_GET_ITEM(args, i + 1);
        sources[(size_t)i].it.reset(ZvObject_GetIter(seq));
        if (!sources[(size_t)i].it) {
            ZvErr_Format(ZvExc_TypeError, "argument %d to map() must support iteration", i + 2);
            return nullptr;
        }
        int len = guess_length(seq, 8);
        if (len < 0) return nullptr;
        if (len > guess) guess = len;
    }

    GuessedList result;
    if (!result.init(guess)) return nullptr;
    for (;;) {
        /* A fresh tuple every round: func may keep the one it was given. */
        zv::Ref alist(ZvTuple_New(n));
        if (!alist) return nullptr;
        int active = 0;
        for (int i = 0; i < n; i++) {
            MapSource &src = sources[(size_t)i];
            ZvObject *item = nullptr;
            if (!src.ended) {
                item = ZvIter_Next(src.it.get());
                if (item == nullptr) {
                    if (ZvErr_Occurred()) return nullptr;
                    src.ended = true;
                    src.it.reset();
                } else {
                    active++;
                }
            }
            if (item == nullptr) {
                Zv_INCREF(Zv_None);
                item = Zv_None;
            }
            ZvTuple_SET_ITEM(alist.get(), i, item);
        }
        if (active == 0) break;
        ZvObject *value =
            func == Zv_None ? alist.release() : ZvObject_Call(func, alist.get(), nullptr);
        if (value == nullptr || !result.add(value)) return nullptr;
    }
    return result.finish();
}

ZvObject *max(ZvObject *, ZvObject *args) { return min_max(args, Zv_GT, "max"); }

ZvObject *min(ZvObject *, ZvObject *args) { return min_max(args, Zv_LT, "min"); }

/* range([start,] stop[, step]): machine integers when every argument is
 * one, else (longs, or any other failure of that parse) the long path,
 * which also gives the type errors. */
ZvObject *range(ZvObject *, ZvObject *args)
{
    long ilow = 0, ihigh = 0, istep = 1;
    int ok = ZvTuple_GET_SIZE(args) <= 1
                 ? ZvArg_ParseTuple(args, "l;range() requires 1-3 int arguments", &ihigh)
                 : ZvArg_ParseTuple(args, "ll|l;range() requires 1-3 int arguments", &ilow,
                                    &ihigh, &istep);
    if (ok) return range_ints((int32_t)ilow, (int32_t)ihigh, (int32_t)istep);
    ZvErr_Clear();
    return range_longs(args);
}

/* reduce(func, seq[, initial]): folds func over the items from the left.
 * The argument pair is reused while func keeps no reference to it. */
ZvObject *reduce(ZvObject *, ZvObject *args)
{
    ZvObject *func, *seq, *initial = nullptr;
    if (!ZvArg_UnpackTuple(args, "reduce", 2, 3, &func, &seq, &initial)) return nullptr;
    zv::Ref acc = zv::Ref::borrow(initial);
    zv::Ref it(ZvObject_GetIter(seq));
    if (!it) {
        ZvErr_SetString(ZvExc_TypeError, "reduce() arg 2 must support iteration");
        return nullptr;
    }
    zv::Ref pair;
    for (;;) {
        zv::Ref item(ZvIter_Next(it.get()));
        if (!item) {
            if (ZvErr_Occurred()) return nullptr;
            break;
        }
        if (!acc) {
            acc = std::move(item);
            continue;
        }
        if (!pair || Zv_REFCNT(pair.get()) > 1) {
            pair.reset(ZvTuple_New(2));
            if (!pair) return nullptr;
        }
        /* SetItem releases what the previous round left in the pair. */
        if (ZvTuple_SetItem(pair.get(), 0, acc.release()) < 0 ||
            ZvTuple_SetItem(pair.get(), 1, item.release()) < 0)
            return nullptr;
        acc.reset(ZvObject_Call(func, pair.get(), nullptr));
        if (!acc) return nullptr;
    }
    if (!acc) {
        ZvErr_SetString(ZvExc_TypeError, "reduce() of empty sequence with no initial value");
        return nullptr;
    }
    return acc.release();
}

/* sorted(iterable, cmp=None, key=None, reverse=False): a new list, sorted
 * by its own sort method with the other arguments passed on.  An iterable
 * given by keyword is not passed on: sort() does not know that name. */
ZvObject *sorted(ZvObject *, ZvObject *args, ZvObject *kwds)
{
    static const char *kwlist[] = {"iterable", "cmp", "key", "reverse", nullptr};
    ZvObject *seq, *compare = nullptr, *keyfunc = nullptr;
    int reverse;
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "O|OOi:sorted", (char **)kwlist, &seq, &compare,
                                     &keyfunc, &reverse))
        return nullptr;
    zv::Ref list(ZvSequence_List(seq));
    if (!list) return nullptr;
    zv::Ref sort(ZvObject_GetAttrString(list.get(), "sort"));
    if (!sort) return nullptr;
    zv::Ref rest(ZvTuple_GetSlice(args, 1, 4));
    if (!rest) return nullptr;
    zv::Ref kw = zv::Ref::borrow(kwds);
    if (kwds != nullptr && ZvDict_GetItemString(kwds, "iterable") != nullptr) {
        kw.reset(ZvDict_Copy(kwds));
        if (!kw || ZvDict_DelItemString(kw.get(), "iterable") < 0) return nullptr;
    }
    zv::Ref done(ZvObject_Call(sort.get(), rest.get(), kw.get()));
    if (!done) return nullptr;
    return list.release();
}

/* sum(seq, start=0): start + item1 + item2 + ... by generic addition.
 * Strings are refused: joining them is ''.join's work. */
ZvObject *sum(ZvObject *, ZvObject *args)
{
    ZvObject *seq, *start = nullptr;
    if (!ZvArg_UnpackTuple(args, "sum", 1, 2, &seq, &start)) return nullptr;
    zv::Ref it(ZvObject_GetIter(seq));
    if (!it) return nullptr;
    zv::Ref total;
    if (start == nullptr) {
        total.reset(ZvInt_FromLong(0));
        if (!total) return nullptr;
    } else if (ZvObject_TypeCheck(start, &ZvBaseString_Type)) {
        ZvErr_SetString(ZvExc_TypeError, "sum() can't sum strings [use ''.join(seq) instead]");
        return nullptr;
    } else {
        total = zv::Ref::borrow(start);
    }
    for (;;) {
        zv::Ref item(ZvIter_Next(it.get()));
        if (!item) {
            if (ZvErr_Occurred()) return nullptr;
            break;
        }
        total.reset(ZvNumber_Add(total.get(), item.get()));
        if (!total) return nullptr;
    }
    return total.release();
}

/* zip(seq1, ...): tuples of the items in step, as long as the shortest. */
ZvObject *zip(ZvObject *, ZvObject *args)
{
    int n = ZvTuple_GET_SIZE(args);
    if (n == 0) return ZvList_New(0);
    int guess = -1;
    for (int i = 0; i < n; i++) {
        int len = guess_length(ZvTuple_GET_ITEM(args, i), -2);
        if (len == -1) return nullptr;
        if (len == -2) {
            guess = 10;
            break;
        }
        if (guess < 0 || len < guess) guess = len;
    }
    std::vector<zv::Ref> iters((size_t)n);
    for (int i = 0; i < n; i++) {
        iters[(size_t)i].reset(ZvObject_GetIter(ZvTuple_GET_ITEM(args, i)));
        if (!iters[(size_t)i]) {
            if (ZvErr_ExceptionMatches(ZvExc_TypeError))
                ZvErr_Format(ZvExc_TypeError, "zip argument #%d must support iteration", i + 1);
            return nullptr;
        }
    }
    GuessedList result;
    if (!result.init(guess)) return nullptr;
    for (;;) {
        zv::Ref row(ZvTuple_New(n));
        if (!row) return nullptr;
        for (int i = 0; i < n; i++) {
            ZvObject *item = ZvIter_Next(iters[(size_t)i].get());
            if (item == nullptr) {
                if (ZvErr_Occurred()) return nullptr;
                return result.finish();
            }
            ZvTuple_SET_ITEM(row.get(), i, item);
        }
        if (!result.add(row.release())) return nullptr;
    }
}

} // namespace zv::builtins
