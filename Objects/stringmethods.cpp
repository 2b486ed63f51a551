/* The methods of `str`.
 *
 * Every method leaves its receiver untouched and returns a new object; a
 * method that would return the receiver's value unchanged returns the
 * receiver itself when it is exactly a `str` (strings are immutable, so
 * sharing is safe) and a plain copy for a subtype instance.
 *
 * Results are sized before they are built: join, replace, expandtabs and
 * the padding methods compute the exact length first, check it against the
 * largest string, and fill one allocation.  Searches go through the
 * memchr/memmem primitives of stringlib.h.
 *
 * Operands that are unicode objects will be handed to the unicode type's
 * counterpart operations once that type exists; until then such an operand
 * is treated like any other non-string (read through the character-buffer
 * protocol, or rejected with the method's TypeError). */
#include "zuvo.h"

#include "stringlib.h"
#include "zvref.h"

#include <ctype.h>
#include <limits.h>
#include <string.h>

namespace sl = zv::strlib;
using sl::kMaxSize;



/* --- small helpers ------------------------------------------------------- */

#define STR(self) ZvString_AS_STRING(self)
#define LEN(self) ZvString_GET_SIZE(self)

/* Appends self[i:j] to list (self itself for the whole of an exact str).
 * Returns 0, or -1 with an error set. */
static int append_piece(ZvObject *list, ZvObject *self, int i, int j)
{
    if (i == 0 && j == LEN(self) && ZvString_CheckExact(self)) return ZvList_Append(list, self);
    zv::Ref piece(ZvString_FromStringAndSize(STR(self) + i, j - i));
    if (!piece) return -1;
    return ZvList_Append(list, piece.get());
}

/* Reads a separator-like argument: a string directly, anything else
 * through the character-buffer protocol. */
static int read_operand(ZvObject *obj, const char **p, int *n)
{
    if (ZvString_Check(obj)) {
        *p = ZvString_AS_STRING(obj);
        *n = ZvString_GET_SIZE(obj);
        return 0;
    }
    return ZvObject_AsCharBuffer(obj, p, n);
}

static inline bool is_space(char c) { return isspace((unsigned char)c) != 0; }

/* --- join ---------------------------------------------------------------- */

/* The items of seq as an exact list or tuple; a TypeError (not iterable)
 * becomes "sequence expected, <type> found". */
static ZvObject *sequence_fast(ZvObject *seq, const char *message)
{
    ZvObject *fast = ZvSequence_Fast(seq, "");
    if (fast == nullptr && ZvErr_ExceptionMatches(ZvExc_TypeError))
        ZvErr_Format(ZvExc_TypeError, message, Zv_TYPE(seq)->tp_name);
    return fast;
}

static ZvObject *string_join(ZvObject *self, ZvObject *orig)
{
    zv::Ref seq(sequence_fast(orig, "sequence expected, %.80s found"));
    if (!seq) return nullptr;
    int seqlen = ZvSequence_Fast_GET_SIZE(seq.get());
    if (seqlen == 0) return ZvString_FromStringAndSize(nullptr, 0);
    /* A single exact string is its own join. */
    ZvObject *first = ZvSequence_Fast_GET_ITEM(seq.get(), 0);
    if (seqlen == 1 && ZvString_CheckExact(first)) {
        Zv_INCREF(first);
        return first;
    }
    /* Size the result while checking every item; a unicode item will hand
     * the whole join to the unicode join here once that type exists. */
    const int seplen = LEN(self);
    long long sz = 0;
    for (int i = 0; i < seqlen; i++) {
        ZvObject *item = ZvSequence_Fast_GET_ITEM(seq.get(), i);
        if (!ZvString_Check(item)) {
            ZvErr_Format(ZvExc_TypeError, "sequence item %i: expected string, %.80s found", i,
                         Zv_TYPE(item)->tp_name);
            return nullptr;
        }
        sz += LEN(item) + (i != 0 ? seplen : 0);
        if (sz > kMaxSize) {
            ZvErr_SetString(ZvExc_OverflowError, "join() is too long for a Zuvo string");
            return nullptr;
        }
    }
    ZvObject *res = ZvString_FromStringAndSize(nullptr, (int)sz);
    if (res == nullptr || sz == 0) return res;
    char *p = STR(res);
    for (int i = 0; i < seqlen; i++) {
        if (i != 0 && seplen != 0) {
            memcpy(p, STR(self), (size_t)seplen);
            p += seplen;
        }
        ZvObject *item = ZvSequence_Fast_GET_ITEM(seq.get(), i);
        memcpy(p, STR(item), (size_t)LEN(item));
        p += LEN(item);
    }
    return res;
}

ZvObject *_ZvString_Join(ZvObject *sep, ZvObject *x)
{
    if (sep == nullptr || !ZvString_Check(sep) || x == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return string_join(sep, x);
}

/* --- split and rsplit ---------------------------------------------------- */

static ZvObject *split_whitespace(ZvObject *self, int maxsplit)
{
    const char *s = STR(self);
    const int len = LEN(self);
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    int i = 0, j = 0;
    while (i < len) {
        while (i < len && is_space(s[i])) i++;
        j = i;
        while (i < len && !is_space(s[i])) i++;
        if (j < i) {
            if (maxsplit-- <= 0) break;
            if (append_piece(list.get(), self, j, i) < 0) return nullptr;
            while (i < len && is_space(s[i])) i++;
            j = i;
        }
    }
    /* After maxsplit words, the rest (from the next word on) is one item. */
    if (j < len && append_piece(list.get(), self, j, len) < 0) return nullptr;
    return list.release();
}

static ZvObject *rsplit_whitespace(ZvObject *self, int maxsplit)
{
    const char *s = STR(self);
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    int i = LEN(self) - 1, j = i;
    while (i >= 0) {
        while (i >= 0 && is_space(s[i])) i--;
        j = i;
        while (i >= 0 && !is_space(s[i])) i--;
        if (j > i) {
            if (maxsplit-- <= 0) break;
            if (append_piece(list.get(), self, i + 1, j + 1) < 0) return nullptr;
            while (i >= 0 && is_space(s[i])) i--;
            j = i;
        }
    }
    if (j >= 0 && append_piece(list.get(), self, 0, j + 1) < 0) return nullptr;
    /* The pieces were found from the right. */
    if (ZvList_Reverse(list.get()) < 0) return nullptr;
    return list.release();
}

/* Parses the (sep, maxsplit) arguments of split and rsplit.  Returns 1 with
 * *sep NULL for white-space splitting, 1 with the separator bytes, or 0
 * with an error set. */
static int split_args(ZvObject *args, const char *format, const char **sep, int *seplen,
                      int *maxsplit)
{
    ZvObject *subobj = Zv_None;
    *maxsplit = -1;
    if (!ZvArg_ParseTuple(args, format, &subobj, maxsplit)) return 0;
    if (*maxsplit < 0) *maxsplit = INT_MAX;
    *sep = nullptr;
    if (subobj == Zv_None) return 1;
    if (read_operand(subobj, sep, seplen) < 0) return 0;
    if (*seplen == 0) {
        ZvErr_SetString(ZvExc_ValueError, "empty separator");
        return 0;
    }
    return 1;
}

static ZvObject *string_split(ZvObject *self, ZvObject *args)
{
    const char *sep;
    int n, maxsplit;
    if (!split_args(args, "|Oi:split", &sep, &n, &maxsplit)) return nullptr;
    if (sep == nullptr) return split_whitespace(self, maxsplit);
    const char *s = STR(self);
    const int len = LEN(self);
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    int i = 0;
    for (; maxsplit > 0; maxsplit--) {
        int k = sl::find(s + i, len - i, sep, n);
        if (k < 0) break;
        if (append_piece(list.get(), self, i, i + k) < 0) return nullptr;
        i += k + n;
    }
    if (append_piece(list.get(), self, i, len) < 0) return nullptr;
    return list.release();
}

static ZvObject *string_rsplit(ZvObject *self, ZvObject *args)
{
    const char *sep;
    int n, maxsplit;
    if (!split_args(args, "|Oi:rsplit", &sep, &n, &maxsplit)) return nullptr;
    if (sep == nullptr) return rsplit_whitespace(self, maxsplit);
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    int j = LEN(self);
    for (; maxsplit > 0; maxsplit--) {
        int k = sl::rfind(STR(self), j, sep, n);
        if (k < 0) break;
        if (append_piece(list.get(), self, k + n, j) < 0) return nullptr;
        j = k;
    }
    if (append_piece(list.get(), self, 0, j) < 0) return nullptr;
    /* The pieces were found from the right. */
    if (ZvList_Reverse(list.get()) < 0) return nullptr;
    return list.release();
}

static ZvObject *string_splitlines(ZvObject *self, ZvObject *args)
{
    int keepends = 0;
    if (!ZvArg_ParseTuple(args, "|i:splitlines", &keepends)) return nullptr;
    const char *s = STR(self);
    const int len = LEN(self);
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    for (int i = 0, j = 0; i < len; j = i) {
        while (i < len && s[i] != '\n' && s[i] != '\r') i++;
        int eol = i;
        if (i < len) {
            i += (s[i] == '\r' && i + 1 < len && s[i + 1] == '\n') ? 2 : 1;
            if (keepends) eol = i;
        }
        if (append_piece(list.get(), self, j, eol) < 0) return nullptr;
    }
    return list.release();
}

/* --- strip --------------------------------------------------------------- */

enum { LEFTSTRIP = 1, RIGHTSTRIP = 2, BOTHSTRIP = 3 };

static ZvObject *do_strip(ZvObject *self, int striptype, const bool *strip_set)
{
    const char *s = STR(self);
    int i = 0, j = LEN(self);
    auto strips = [&](char c) {
        return strip_set != nullptr ? strip_set[(unsigned char)c] : is_space(c);
    };
    if (striptype & LEFTSTRIP)
        while (i < j && strips(s[i])) i++;
    if (striptype & RIGHTSTRIP)
        while (j > i && strips(s[j - 1])) j--;
    if (i == 0 && j == LEN(self)) return _ZvString_SelfOrCopy(self);
    return ZvString_FromStringAndSize(s + i, j - i);
}

static ZvObject *do_argstrip(ZvObject *self, ZvObject *args, int striptype, const char *format,
                             const char *name)
{
    ZvObject *sep = nullptr;
    if (!ZvArg_ParseTuple(args, format, &sep)) return nullptr;
    if (sep == nullptr || sep == Zv_None) return do_strip(self, striptype, nullptr);
    /* A unicode argument will convert the string to unicode and strip it
     * there once that type exists. */
    if (!ZvString_Check(sep)) {
        ZvErr_Format(ZvExc_TypeError, "%s arg must be None, str or unicode", name);
        return nullptr;
    }
    bool set[UCHAR_MAX + 1] = {};
    for (int k = 0; k < LEN(sep); k++) set[(unsigned char)STR(sep)[k]] = true;
    return do_strip(self, striptype, set);
}

static ZvObject *string_strip(ZvObject *self, ZvObject *args)
{
    return do_argstrip(self, args, BOTHSTRIP, "|O:strip", "strip");
}

static ZvObject *string_lstrip(ZvObject *self, ZvObject *args)
{
    return do_argstrip(self, args, LEFTSTRIP, "|O:lstrip", "lstrip");
}

static ZvObject *string_rstrip(ZvObject *self, ZvObject *args)
{
    return do_argstrip(self, args, RIGHTSTRIP, "|O:rstrip", "rstrip");
}

/* --- searching ----------------------------------------------------------- */

/* Parses (sub[, start[, end]]) and adjusts the bounds to the string.
 * Returns 1, or 0 with an error set. */
static int search_args(ZvObject *self, ZvObject *args, const char *format, ZvObject **subobj,
                       const char **sub, int *n, int *start, int *end)
{
    *start = 0;
    *end = INT_MAX;
    if (!ZvArg_ParseTuple(args, format, subobj, _ZvString_SliceIndex, start,
                          _ZvString_SliceIndex, end))
        return 0;
    sl::adjust_indices(start, end, LEN(self));
    if (sub == nullptr) return 1;
    /* A unicode sub will hand the search to the unicode type here once
     * that type exists. */
    return read_operand(*subobj, sub, n) == 0;
}

/* The index of sub in self[start:end], searching from the left (dir > 0)
 * or the right; -1 when absent, -2 on error. */
static int find_internal(ZvObject *self, ZvObject *args, int dir, const char *format)
{
    ZvObject *subobj;
    const char *sub;
    int n, start, end;
    if (!search_args(self, args, format, &subobj, &sub, &n, &start, &end)) return -2;
    if (start > end || end - start < n) return -1;
    int k = dir > 0 ? sl::find(STR(self) + start, end - start, sub, n)
                    : sl::rfind(STR(self) + start, end - start, sub, n);
    return k < 0 ? -1 : start + k;
}

static ZvObject *find_result(int r)
{
    return r == -2 ? nullptr : ZvInt_FromLong(r);
}

static ZvObject *index_result(int r)
{
    if (r == -1) {
        ZvErr_SetString(ZvExc_ValueError, "substring not found");
        return nullptr;
    }
    return find_result(r);
}

static ZvObject *string_find(ZvObject *self, ZvObject *args)
{
    return find_result(find_internal(self, args, +1, "O|O&O&:find"));
}

static ZvObject *string_rfind(ZvObject *self, ZvObject *args)
{
    return find_result(find_internal(self, args, -1, "O|O&O&:rfind"));
}

static ZvObject *string_index(ZvObject *self, ZvObject *args)
{
    return index_result(find_internal(self, args, +1, "O|O&O&:index"));
}

static ZvObject *string_rindex(ZvObject *self, ZvObject *args)
{
    return index_result(find_internal(self, args, -1, "O|O&O&:rindex"));
}

static ZvObject *string_count(ZvObject *self, ZvObject *args)
{
    ZvObject *subobj;
    const char *sub;
    int n, start, end;
    if (!search_args(self, args, "O|O&O&:count", &subobj, &sub, &n, &start, &end))
        return nullptr;
    if (n == 0) return ZvInt_FromLong(end - start + 1 < 0 ? 0 : end - start + 1);
    if (end - start < n) return ZvInt_FromLong(0);
    return ZvInt_FromLong(sl::count(STR(self) + start, end - start, sub, n, INT_MAX));
}

/* Whether self[start:end] begins (dir < 0) or ends (dir > 0) with the
 * bytes of one operand; -1 on error. */
static int tailmatch(ZvObject *self, ZvObject *substr, int start, int end, int dir)
{
    const char *sub;
    int n;
    if (read_operand(substr, &sub, &n) < 0) return -1;
    if (end - start < n) return 0;
    const char *at = STR(self) + (dir < 0 ? start : end - n);
    return memcmp(at, sub, (size_t)n) == 0;
}

/* startswith/endswith: the argument may be a tuple of candidates, which
 * matches when any of them does. */
static ZvObject *do_tailmatch(ZvObject *self, ZvObject *args, const char *format, int dir)
{
    ZvObject *subobj;
    int start, end;
    if (!search_args(self, args, format, &subobj, nullptr, nullptr, &start, &end))
        return nullptr;
    if (ZvTuple_Check(subobj)) {
        for (int i = 0; i < ZvTuple_GET_SIZE(subobj); i++) {
            int r = tailmatch(self, ZvTuple_GET_ITEM(subobj, i), start, end, dir);
            if (r != 0) return r < 0 ? nullptr : ZvBool_FromLong(1);
        }
        return ZvBool_FromLong(0);
    }
    int r = tailmatch(self, subobj, start, end, dir);
    return r < 0 ? nullptr : ZvBool_FromLong(r);
}

static ZvObject *string_startswith(ZvObject *self, ZvObject *args)
{
    return do_tailmatch(self, args, "O|O&O&:startswith", -1);
}

static ZvObject *string_endswith(ZvObject *self, ZvObject *args)
{
    return do_tailmatch(self, args, "O|O&O&:endswith", +1);
}

/* --- replace ------------------------------------------------------------- */

/* Replacement with an empty `old`: new before each of the first n bytes
 * (n may also cover the position after the last byte). */
static ZvObject *replace_interleave(ZvObject *self, const char *to, int tolen, int n,
                                    long long rlen)
{
    ZvObject *res = ZvString_FromStringAndSize(nullptr, (int)rlen);
    if (res == nullptr) return nullptr;
    const char *s = STR(self);
    const int len = LEN(self);
    char *p = STR(res);
    int i = 0;
    for (int k = 0; k < n; k++) {
        memcpy(p, to, (size_t)tolen);
        p += tolen;
        if (i < len) *p++ = s[i++];
    }
    memcpy(p, s + i, (size_t)(len - i));
    return res;
}

static ZvObject *replace_general(ZvObject *self, const char *from, int fromlen, const char *to,
                                 int tolen, int n, long long rlen)
{
    const char *s = STR(self);
    const int len = LEN(self);
    if (rlen == 0) return ZvString_FromStringAndSize(nullptr, 0);
    ZvObject *res = ZvString_FromStringAndSize(nullptr, (int)rlen);
    if (res == nullptr) return nullptr;
    char *p = STR(res);
    if (fromlen == tolen) {
        /* Same length: copy everything once, then overwrite the matches. */
        memcpy(p, s, (size_t)len);
        for (int i = 0, k = 0; k < n; k++) {
            int at = i + sl::find(s + i, len - i, from, fromlen);
            memcpy(p + at, to, (size_t)tolen);
            i = at + fromlen;
        }
        return res;
    }
    int i = 0;
    for (int k = 0; k < n; k++) {
        int at = i + sl::find(s + i, len - i, from, fromlen);
        memcpy(p, s + i, (size_t)(at - i));
        p += at - i;
        memcpy(p, to, (size_t)tolen);
        p += tolen;
        i = at + fromlen;
    }
    memcpy(p, s + i, (size_t)(len - i));
    return res;
}

static ZvObject *string_replace(ZvObject *self, ZvObject *args)
{
    ZvObject *oldobj, *newobj;
    int maxcount = -1;
    if (!ZvArg_ParseTuple(args, "OO|i:replace", &oldobj, &newobj, &maxcount)) return nullptr;
    /* Unicode operands will hand the call to the unicode replace here once
     * that type exists. */
    const char *from, *to;
    int fromlen, tolen;
    if (read_operand(oldobj, &from, &fromlen) < 0 || read_operand(newobj, &to, &tolen) < 0)
        return nullptr;
    const int len = LEN(self);
    if (len == 0 || (fromlen == 0 && tolen == 0) || fromlen > len)
        return _ZvString_SelfOrCopy(self);
    if (maxcount < 0) maxcount = INT_MAX;
    int n;
    if (fromlen == 0)
        n = len < maxcount ? len + 1 : maxcount;
    else
        n = sl::count(STR(self), len, from, fromlen, maxcount);
    if (n == 0 || (fromlen == tolen && memcmp(from, to, (size_t)fromlen) == 0))
        return _ZvString_SelfOrCopy(self);
    long long rlen = (long long)len + (long long)n * ((long long)tolen - fromlen);
    if (rlen > kMaxSize) {
        ZvErr_SetString(ZvExc_OverflowError, "replace string is too long");
        return nullptr;
    }
    if (fromlen == 0) return replace_interleave(self, to, tolen, n, rlen);
    return replace_general(self, from, fromlen, to, tolen, n, rlen);
}

/* --- translate ----------------------------------------------------------- */

static ZvObject *string_translate(ZvObject *self, ZvObject *args)
{
    ZvObject *tableobj, *delobj = nullptr;
    if (!ZvArg_UnpackTuple(args, "translate", 1, 2, &tableobj, &delobj)) return nullptr;
    /* A unicode table (or a unicode deletechars, which raises "deletions
     * are implemented differently for unicode") will be handled here once
     * that type exists. */
    const char *table;
    int tablen;
    if (read_operand(tableobj, &table, &tablen) < 0) return nullptr;
    if (tablen != 256) {
        ZvErr_SetString(ZvExc_ValueError, "translation table must be 256 characters long");
        return nullptr;
    }
    bool del[UCHAR_MAX + 1] = {};
    int dellen = 0;
    if (delobj != nullptr) {
        const char *dels;
        if (read_operand(delobj, &dels, &dellen) < 0) return nullptr;
        for (int k = 0; k < dellen; k++) del[(unsigned char)dels[k]] = true;
    }
    const char *s = STR(self);
    const int len = LEN(self);
    zv::Ref res(ZvString_FromStringAndSize(nullptr, len));
    if (!res) return nullptr;
    char *out = STR(res.get());
    /* A zero-length result is the shared empty string: nothing to write. */
    if (len == 0) return _ZvString_SelfOrCopy(self);
    bool changed = false;
    char *p = out;
    for (int i = 0; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (dellen != 0 && del[c]) {
            changed = true;
            continue;
        }
        *p = table[c];
        changed |= *p != (char)c;
        p++;
    }
    if (!changed) return _ZvString_SelfOrCopy(self);
    int n = (int)(p - out);
    if (n == len) return res.release();
    return ZvString_FromStringAndSize(out, n);
}

/* --- padding ------------------------------------------------------------- */

static ZvObject *pad(ZvObject *self, int left, int right, char fill)
{
    if (left < 0) left = 0;
    if (right < 0) right = 0;
    if (left == 0 && right == 0) return _ZvString_SelfOrCopy(self);
    long long total = (long long)left + LEN(self) + right;
    if (total > kMaxSize) {
        ZvErr_SetString(ZvExc_OverflowError, "padded string is too long");
        return nullptr;
    }
    ZvObject *u = ZvString_FromStringAndSize(nullptr, (int)total);
    if (u == nullptr) return nullptr;
    char *p = STR(u);
    memset(p, fill, (size_t)left);
    memcpy(p + left, STR(self), (size_t)LEN(self));
    memset(p + left + LEN(self), fill, (size_t)right);
    return u;
}

static ZvObject *string_ljust(ZvObject *self, ZvObject *args)
{
    int width;
    char fill = ' ';
    if (!ZvArg_ParseTuple(args, "i|c:ljust", &width, &fill)) return nullptr;
    if (LEN(self) >= width) return _ZvString_SelfOrCopy(self);
    return pad(self, 0, width - LEN(self), fill);
}

static ZvObject *string_rjust(ZvObject *self, ZvObject *args)
{
    int width;
    char fill = ' ';
    if (!ZvArg_ParseTuple(args, "i|c:rjust", &width, &fill)) return nullptr;
    if (LEN(self) >= width) return _ZvString_SelfOrCopy(self);
    return pad(self, width - LEN(self), 0, fill);
}

static ZvObject *string_center(ZvObject *self, ZvObject *args)
{
    int width;
    char fill = ' ';
    if (!ZvArg_ParseTuple(args, "i|c:center", &width, &fill)) return nullptr;
    if (LEN(self) >= width) return _ZvString_SelfOrCopy(self);
    int marg = width - LEN(self);
    /* An odd margin puts the extra byte on the left when width is odd. */
    int left = marg / 2 + (marg & width & 1);
    return pad(self, left, marg - left, fill);
}

static ZvObject *string_zfill(ZvObject *self, ZvObject *args)
{
    int width;
    if (!ZvArg_ParseTuple(args, "i:zfill", &width)) return nullptr;
    if (LEN(self) >= width) return _ZvString_SelfOrCopy(self);
    int fill = width - LEN(self);
    ZvObject *s = pad(self, fill, 0, '0');
    if (s == nullptr) return nullptr;
    char *p = STR(s);
    if (p[fill] == '+' || p[fill] == '-') {
        /* The sign moves to the front, ahead of the zeros. */
        p[0] = p[fill];
        p[fill] = '0';
    }
    return s;
}

/* --- expandtabs ---------------------------------------------------------- */

static ZvObject *string_expandtabs(ZvObject *self, ZvObject *args)
{
    int tabsize = 8;
    if (!ZvArg_ParseTuple(args, "|i:expandtabs", &tabsize)) return nullptr;
    const char *s = STR(self);
    const int len = LEN(self);
    if (memchr(s, '\t', (size_t)len) == nullptr) return _ZvString_SelfOrCopy(self);
    /* First pass: the result's length; columns restart after \n and \r. */
    long long total = 0, col = 0;
    for (int i = 0; i < len; i++) {
        if (s[i] == '\t') {
            if (tabsize > 0) {
                long long incr = tabsize - col % tabsize;
                col += incr;
                total += incr;
            }
        } else {
            total++;
            col = (s[i] == '\n' || s[i] == '\r') ? 0 : col + 1;
        }
        if (total > kMaxSize) {
            ZvErr_SetString(ZvExc_OverflowError, "result is too long");
            return nullptr;
        }
    }
    ZvObject *u = ZvString_FromStringAndSize(nullptr, (int)total);
    if (u == nullptr || total == 0) return u;
    char *q = STR(u);
    col = 0;
    for (int i = 0; i < len; i++) {
        if (s[i] == '\t') {
            if (tabsize > 0) {
                long long incr = tabsize - col % tabsize;
                col += incr;
                memset(q, ' ', (size_t)incr);
                q += incr;
            }
        } else {
            *q++ = s[i];
            col = (s[i] == '\n' || s[i] == '\r') ? 0 : col + 1;
        }
    }
    return u;
}

/* --- case mapping -------------------------------------------------------- */

/* A new string with every byte mapped by f(byte, index, state). */
template <typename F> static ZvObject *map_bytes(ZvObject *self, F f)
{
    const int len = LEN(self);
    if (len == 0) return _ZvString_SelfOrCopy(self);
    ZvObject *u = ZvString_FromStringAndSize(nullptr, len);
    if (u == nullptr) return nullptr;
    const char *s = STR(self);
    char *p = STR(u);
    for (int i = 0; i < len; i++) p[i] = (char)f((unsigned char)s[i], i);
    return u;
}

static ZvObject *string_lower(ZvObject *self, ZvObject *)
{
    return map_bytes(self, [](int c, int) { return tolower(c); });
}

static ZvObject *string_upper(ZvObject *self, ZvObject *)
{
    return map_bytes(self, [](int c, int) { return toupper(c); });
}

static ZvObject *string_swapcase(ZvObject *self, ZvObject *)
{
    return map_bytes(self, [](int c, int) {
        return islower(c) ? toupper(c) : isupper(c) ? tolower(c) : c;
    });
}

static ZvObject *string_capitalize(ZvObject *self, ZvObject *)
{
    return map_bytes(self, [](int c, int i) { return i == 0 ? toupper(c) : tolower(c); });
}

static ZvObject *string_title(ZvObject *self, ZvObject *)
{
    bool prev_cased = false;
    return map_bytes(self, [&prev_cased](int c, int) {
        if (islower(c)) {
            if (!prev_cased) c = toupper(c);
            prev_cased = true;
        } else if (isupper(c)) {
            if (prev_cased) c = tolower(c);
            prev_cased = true;
        } else {
            prev_cased = false;
        }
        return c;
    });
}

/* --- predicates ---------------------------------------------------------- */

/* True when the string is non-empty and every byte satisfies pred. */
template <typename P> static ZvObject *all_bytes(ZvObject *self, P pred)
{
    const unsigned char *s = (const unsigned char *)STR(self);
    const int len = LEN(self);
    if (len == 0) return ZvBool_FromLong(0);
    for (int i = 0; i < len; i++)
        if (!pred(s[i])) return ZvBool_FromLong(0);
    return ZvBool_FromLong(1);
}

static ZvObject *string_isspace(ZvObject *self, ZvObject *)
{
    return all_bytes(self, [](int c) { return isspace(c) != 0; });
}

static ZvObject *string_isalpha(ZvObject *self, ZvObject *)
{
    return all_bytes(self, [](int c) { return isalpha(c) != 0; });
}

static ZvObject *string_isalnum(ZvObject *self, ZvObject *)
{
    return all_bytes(self, [](int c) { return isalnum(c) != 0; });
}

static ZvObject *string_isdigit(ZvObject *self, ZvObject *)
{
    return all_bytes(self, [](int c) { return isdigit(c) != 0; });
}

/* islower (want_lower) or isupper: no byte of the opposite case and at
 * least one of the asked case. */
static ZvObject *cased_check(ZvObject *self, bool want_lower)
{
    const unsigned char *s = (const unsigned char *)STR(self);
    const int len = LEN(self);
    bool cased = false;
    for (int i = 0; i < len; i++) {
        bool lower = islower(s[i]) != 0, upper = isupper(s[i]) != 0;
        if (want_lower ? upper : lower) return ZvBool_FromLong(0);
        cased |= want_lower ? lower : upper;
    }
    return ZvBool_FromLong(cased);
}

static ZvObject *string_islower(ZvObject *self, ZvObject *) { return cased_check(self, true); }

static ZvObject *string_isupper(ZvObject *self, ZvObject *) { return cased_check(self, false); }

static ZvObject *string_istitle(ZvObject *self, ZvObject *)
{
    const unsigned char *s = (const unsigned char *)STR(self);
    const int len = LEN(self);
    if (len == 1) return ZvBool_FromLong(isupper(s[0]) != 0);
    bool cased = false, prev_cased = false;
    for (int i = 0; i < len; i++) {
        if (isupper(s[i])) {
            if (prev_cased) return ZvBool_FromLong(0);
            prev_cased = cased = true;
        } else if (islower(s[i])) {
            if (!prev_cased) return ZvBool_FromLong(0);
            prev_cased = cased = true;
        } else {
            prev_cased = false;
        }
    }
    return ZvBool_FromLong(cased);
}

/* --- codecs and pickling ------------------------------------------------- */

/* A codec result must be a str or unicode object. */
static ZvObject *check_codec_result(ZvObject *v, const char *what)
{
    if (v == nullptr || ZvObject_TypeCheck(v, &ZvBaseString_Type)) return v;
    ZvErr_Format(ZvExc_TypeError, "%s did not return a string/unicode object (type=%.400s)",
                 what, Zv_TYPE(v)->tp_name);
    Zv_DECREF(v);
    return nullptr;
}

static ZvObject *string_encode(ZvObject *self, ZvObject *args)
{
    const char *encoding = nullptr, *errors = nullptr;
    if (!ZvArg_ParseTuple(args, "|ss:encode", &encoding, &errors)) return nullptr;
    return check_codec_result(ZvString_AsEncodedObject(self, encoding, errors), "encoder");
}

static ZvObject *string_decode(ZvObject *self, ZvObject *args)
{
    const char *encoding = nullptr, *errors = nullptr;
    if (!ZvArg_ParseTuple(args, "|ss:decode", &encoding, &errors)) return nullptr;
    return check_codec_result(ZvString_AsDecodedObject(self, encoding, errors), "decoder");
}

static ZvObject *string_getnewargs(ZvObject *self, ZvObject *)
{
    zv::Ref copy(ZvString_FromStringAndSize(STR(self), LEN(self)));
    if (!copy) return nullptr;
    return ZvTuple_Pack(1, copy.get());
}

/* --- the table ----------------------------------------------------------- */

#define M(name, func, flags, doc) {name, (ZvCFunction)(func), flags, doc}

ZvMethodDef _ZvString_Methods[] = {
    M("join", string_join, METH_O,
      "S.join(sequence) -> string\n\nReturn the strings of the sequence joined, with S "
      "between them."),
    M("split", string_split, METH_VARARGS,
      "S.split([sep [,maxsplit]]) -> list of strings\n\nSplit S at sep (at runs of white "
      "space when sep is None), at most maxsplit times."),
    M("rsplit", string_rsplit, METH_VARARGS,
      "S.rsplit([sep [,maxsplit]]) -> list of strings\n\nLike split, counting the splits "
      "from the right."),
    M("lower", string_lower, METH_NOARGS, "S.lower() -> string"),
    M("upper", string_upper, METH_NOARGS, "S.upper() -> string"),
    M("islower", string_islower, METH_NOARGS, "S.islower() -> bool"),
    M("isupper", string_isupper, METH_NOARGS, "S.isupper() -> bool"),
    M("isspace", string_isspace, METH_NOARGS, "S.isspace() -> bool"),
    M("isdigit", string_isdigit, METH_NOARGS, "S.isdigit() -> bool"),
    M("istitle", string_istitle, METH_NOARGS, "S.istitle() -> bool"),
    M("isalpha", string_isalpha, METH_NOARGS, "S.isalpha() -> bool"),
    M("isalnum", string_isalnum, METH_NOARGS, "S.isalnum() -> bool"),
    M("capitalize", string_capitalize, METH_NOARGS, "S.capitalize() -> string"),
    M("count", string_count, METH_VARARGS,
      "S.count(sub[, start[, end]]) -> int\n\nNumber of non-overlapping occurrences of sub "
      "in S[start:end]."),
    M("endswith", string_endswith, METH_VARARGS,
      "S.endswith(suffix[, start[, end]]) -> bool\n\nsuffix may also be a tuple of strings."),
    M("find", string_find, METH_VARARGS,
      "S.find(sub [,start [,end]]) -> int\n\nLowest index of sub in S[start:end], or -1."),
    M("index", string_index, METH_VARARGS,
      "S.index(sub [,start [,end]]) -> int\n\nLike find, but raises ValueError when absent."),
    M("lstrip", string_lstrip, METH_VARARGS, "S.lstrip([chars]) -> string"),
    M("replace", string_replace, METH_VARARGS,
      "S.replace(old, new[, count]) -> string\n\nEvery occurrence of old replaced by new (at "
      "most count of them)."),
    M("rfind", string_rfind, METH_VARARGS,
      "S.rfind(sub [,start [,end]]) -> int\n\nHighest index of sub in S[start:end], or -1."),
    M("rindex", string_rindex, METH_VARARGS,
      "S.rindex(sub [,start [,end]]) -> int\n\nLike rfind, but raises ValueError when absent."),
    M("rstrip", string_rstrip, METH_VARARGS, "S.rstrip([chars]) -> string"),
    M("startswith", string_startswith, METH_VARARGS,
      "S.startswith(prefix[, start[, end]]) -> bool\n\nprefix may also be a tuple of strings."),
    M("strip", string_strip, METH_VARARGS, "S.strip([chars]) -> string"),
    M("swapcase", string_swapcase, METH_NOARGS, "S.swapcase() -> string"),
    M("translate", string_translate, METH_VARARGS,
      "S.translate(table [,deletechars]) -> string\n\nBytes in deletechars removed, the "
      "others mapped through the 256-byte table."),
    M("title", string_title, METH_NOARGS, "S.title() -> string"),
    M("ljust", string_ljust, METH_VARARGS, "S.ljust(width[, fillchar]) -> string"),
    M("rjust", string_rjust, METH_VARARGS, "S.rjust(width[, fillchar]) -> string"),
    M("center", string_center, METH_VARARGS, "S.center(width[, fillchar]) -> string"),
    M("zfill", string_zfill, METH_VARARGS,
      "S.zfill(width) -> string\n\nPadded with zeros on the left, after any sign."),
    M("encode", string_encode, METH_VARARGS, "S.encode([encoding[,errors]]) -> object"),
    M("decode", string_decode, METH_VARARGS, "S.decode([encoding[,errors]]) -> object"),
    M("expandtabs", string_expandtabs, METH_VARARGS, "S.expandtabs([tabsize]) -> string"),
    M("splitlines", string_splitlines, METH_VARARGS,
      "S.splitlines([keepends]) -> list of strings"),
    M("__getnewargs__", string_getnewargs, METH_NOARGS, nullptr),
    {nullptr, nullptr, 0, nullptr},
};


