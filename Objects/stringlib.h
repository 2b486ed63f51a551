/* Private helpers shared by the byte-string sources (stringobject.cpp holds
 * the type and its slots, stringmethods.cpp the method table).
 *
 * The search primitives work on (pointer, length) pairs and never read past
 * the given length, so they serve slices of a string as well as whole ones.
 * Single-byte needles go through memchr/memrchr and longer ones through the
 * C library's memmem: both are vectorised and give the same answers as a
 * left-to-right "first byte, then memory compare" scan. */
#ifndef ZV_STRINGLIB_H
#define ZV_STRINGLIB_H

#include "zuvo.h"

#include <limits.h>
#include <stddef.h>
#include <string.h>

namespace zv::strlib {

/* The longest string: header, bytes and the trailing NUL together must fit
 * in a signed 32-bit size, as every size the language sees does. */
inline constexpr int kMaxSize = INT32_MAX - (int)offsetof(ZvStringObject, ob_sval) - 1;

/* Index of the first occurrence of p[0:m] in s[0:n], or -1.  An empty
 * needle is found at 0. */
inline int find(const char *s, int n, const char *p, int m)
{
    if (m == 0) return 0;
    if (m > n) return -1;
    if (m == 1) {
        const void *r = memchr(s, (unsigned char)p[0], (size_t)n);
        return r ? (int)((const char *)r - s) : -1;
    }
    /* Try the first few candidates found by memchr (cheap when matches are
     * near, as in split and replace loops), then hand the rest to memmem,
     * whose setup cost pays off on long scans and which bounds the worst
     * case. */
    const char *c = s, *last = s + (n - m);
    for (int misses = 0; misses < 8; misses++) {
        c = (const char *)memchr(c, (unsigned char)p[0], (size_t)(last - c) + 1);
        if (c == nullptr) return -1;
        if (c[m - 1] == p[m - 1] && memcmp(c + 1, p + 1, (size_t)m - 2) == 0) return (int)(c - s);
        if (c++ == last) return -1;
    }
    const void *r = memmem(c, (size_t)(s + n - c), p, (size_t)m);
    return r ? (int)((const char *)r - s) : -1;
}

/* Index of the last occurrence of p[0:m] in s[0:n], or -1.  An empty
 * needle is found at n. */
inline int rfind(const char *s, int n, const char *p, int m)
{
    if (m == 0) return n;
    if (m > n) return -1;
    /* Candidates are the positions of the needle's first byte, visited from
     * the right; each is confirmed with one memory compare. */
    for (int last = n - m; last >= 0;) {
        const char *c = (const char *)memrchr(s, (unsigned char)p[0], (size_t)last + 1);
        if (c == nullptr) return -1;
        if (memcmp(c + 1, p + 1, (size_t)m - 1) == 0) return (int)(c - s);
        last = (int)(c - s) - 1;
    }
    return -1;
}

/* Number of non-overlapping occurrences of a non-empty p[0:m] in s[0:n],
 * scanning left to right and skipping past each match; stops at maxcount. */
inline int count(const char *s, int n, const char *p, int m, int maxcount)
{
    int c = 0;
    if (m == 1 && maxcount >= n) {
        /* A plain loop the compiler vectorises beats repeated memchr calls
         * when matches are dense. */
        const unsigned char ch = (unsigned char)p[0];
        for (int i = 0; i < n; i++) c += (unsigned char)s[i] == ch;
        return c;
    }
    for (int i = 0; c < maxcount;) {
        int k = find(s + i, n - i, p, m);
        if (k < 0) break;
        c++;
        i += k + m;
    }
    return c;
}

/* Clamps start and end the way count, the find family, startswith and
 * endswith read their optional bounds: negative values count from the end
 * and everything ends up within 0..len (start may still exceed end). */
inline void adjust_indices(int *start, int *end, int len)
{
    if (*end > len)
        *end = len;
    else if (*end < 0) {
        *end += len;
        if (*end < 0) *end = 0;
    }
    if (*start < 0) {
        *start += len;
        if (*start < 0) *start = 0;
    }
}

} // namespace zv::strlib

extern "C" {

/* The method table of `str` (stringmethods.cpp). */
extern ZvMethodDef _ZvString_Methods[];

/* The slice-bound conversion as an "O&" converter for the argument parser:
 * None leaves the default in place, anything else goes through
 * _ZvEval_SliceIndex.  Returns 1 on success and 0 with an error set. */
int _ZvString_SliceIndex(ZvObject *v, void *pi);

/* The object itself (with a new reference) when it is exactly a `str`,
 * otherwise a plain `str` copy of its bytes: what an operation returns when
 * it leaves a string unchanged. */
ZvObject *_ZvString_SelfOrCopy(ZvObject *self);

} // extern "C"

#endif // ZV_STRINGLIB_H
