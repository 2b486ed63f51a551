/* The arbitrary-precision integer type `long`.
 *
 * Representation.  A number is sign-magnitude: |ob_size| digits of 15 bits
 * each (SHIFT, BASE, MASK), least significant first, and the sign of
 * ob_size is the sign of the number.  Every result is normalized: the top
 * digit is non-zero, so zero has ob_size 0 and equal values have equal
 * digit arrays.  Internal routines on magnitudes ignore the sign and take
 * |ob_size|; the public slots set the sign at the end.
 *
 * Algorithms.  Multiplication is schoolbook up to KARATSUBA_CUTOFF digits
 * (a separate pass for squares), Karatsuba above, with lopsided operands
 * cut into slices; division is Knuth's algorithm D; powers use left-to-right
 * binary or 5-ary windows; bitwise operations emulate infinite two's
 * complement through De Morgan's laws.  Loops that may run long (multiply,
 * divide, decimal formatting) count down the evaluation loop's ticker and
 * check for pending signals, so a huge computation can be interrupted.
 *
 * Two-digit intermediates fit 32 bits (twodigits / stwodigits); a few
 * inner loops use 64-bit temporaries where that keeps the code plain. */
#include "zuvo.h"
#include "numglue.h"
#include "zvref.h"

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

using zv::Ref;

extern "C" {

/* Below these sizes (in digits of the shorter factor) schoolbook
 * multiplication beats the recursion's overhead. */
#define KARATSUBA_CUTOFF 70
#define KARATSUBA_SQUARE_CUTOFF (2 * KARATSUBA_CUTOFF)
/* Exponents longer than this many digits pay for the 32-entry table. */
#define FIVEARY_CUTOFF 8

static inline int abs_size(const ZvLongObject *v) { return v->ob_size < 0 ? -v->ob_size : v->ob_size; }
static inline ZvLongObject *L(const Ref &r) { return (ZvLongObject *)r.get(); }

/* --- allocation and normalization ---------------------------------------- */

ZvLongObject *_ZvLong_New(int size)
{
    const size_t head = offsetof(ZvLongObject, ob_digit);
    if (size < 0 || (size_t)size > (INT32_MAX - head) / sizeof(digit)) {
        ZvErr_NoMemory();
        return nullptr;
    }
    size_t n = (head + (size_t)size * sizeof(digit) + sizeof(void *) - 1) & ~(sizeof(void *) - 1);
    auto *v = (ZvVarObject *)ZvObject_Malloc(n);
    if (v == nullptr) return (ZvLongObject *)ZvErr_NoMemory();
    return (ZvLongObject *)ZvObject_InitVar(v, &ZvLong_Type, size);
}

/* Drops leading zero digits, keeping the sign. */
static ZvLongObject *long_normalize(ZvLongObject *v)
{
    int j = abs_size(v), i = j;
    while (i > 0 && v->ob_digit[i - 1] == 0) --i;
    if (i != j) v->ob_size = v->ob_size < 0 ? -i : i;
    return v;
}

ZvObject *_ZvLong_Copy(ZvLongObject *src)
{
    if (src == nullptr || !ZvLong_Check(src)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    int n = abs_size(src);
    ZvLongObject *result = _ZvLong_New(n);
    if (result == nullptr) return nullptr;
    result->ob_size = src->ob_size;
    memcpy(result->ob_digit, src->ob_digit, (size_t)n * sizeof(digit));
    return (ZvObject *)result;
}

/* --- construction from machine values ------------------------------------ */

/* The digits of a 64-bit magnitude, with the given sign. */
static ZvObject *from_magnitude(unsigned long long mag, bool negative)
{
    int ndigits = 0;
    for (unsigned long long t = mag; t != 0; t >>= SHIFT) ++ndigits;
    ZvLongObject *v = _ZvLong_New(ndigits);
    if (v == nullptr) return nullptr;
    for (int i = 0; i < ndigits; i++, mag >>= SHIFT) v->ob_digit[i] = (digit)(mag & MASK);
    v->ob_size = negative ? -ndigits : ndigits;
    return (ZvObject *)v;
}

static unsigned long long magnitude64(long long x)
{
    return x < 0 ? 0ull - (unsigned long long)x : (unsigned long long)x;
}

ZvObject *ZvLong_FromLong(int32_t ival) { return from_magnitude(magnitude64(ival), ival < 0); }

ZvObject *ZvLong_FromUnsignedLong(uint32_t ival) { return from_magnitude(ival, false); }

ZvObject *ZvLong_FromLongLong(long long ival) { return from_magnitude(magnitude64(ival), ival < 0); }

ZvObject *ZvLong_FromUnsignedLongLong(unsigned long long ival)
{
    return from_magnitude(ival, false);
}

ZvObject *ZvLong_FromVoidPtr(void *p) { return from_magnitude((uintptr_t)p, false); }

ZvObject *ZvLong_FromDouble(double dval)
{
    if (isinf(dval)) {
        ZvErr_SetString(ZvExc_OverflowError, "cannot convert float infinity to long");
        return nullptr;
    }
    if (isnan(dval)) {
        ZvErr_SetString(ZvExc_ValueError, "cannot convert float NaN to integer");
        return nullptr;
    }
    bool neg = dval < 0.0;
    int expo;
    double frac = frexp(neg ? -dval : dval, &expo); /* dval = frac * 2**expo */
    if (expo <= 0) return ZvLong_FromLong(0);
    int ndig = (expo - 1) / SHIFT + 1;
    ZvLongObject *v = _ZvLong_New(ndig);
    if (v == nullptr) return nullptr;
    frac = ldexp(frac, (expo - 1) % SHIFT + 1);
    for (int i = ndig; --i >= 0;) {
        auto bits = (digit)frac;
        v->ob_digit[i] = bits;
        frac = ldexp(frac - (double)bits, SHIFT);
    }
    if (neg) v->ob_size = -v->ob_size;
    return (ZvObject *)long_normalize(v);
}

/* --- conversion to machine values ---------------------------------------- */

/* The magnitude of v if it fits 64 bits; false on overflow. */
static bool magnitude_u64(ZvLongObject *v, unsigned long long *out)
{
    unsigned long long x = 0;
    for (int i = abs_size(v); --i >= 0;) {
        if (x >> (64 - SHIFT)) return false;
        x = (x << SHIFT) | v->ob_digit[i];
    }
    *out = x;
    return true;
}

/* The magnitude modulo 2**64. */
static unsigned long long magnitude_mask64(ZvLongObject *v)
{
    unsigned long long x = 0;
    for (int i = abs_size(v); --i >= 0;) x = (x << SHIFT) | v->ob_digit[i];
    return x;
}

int32_t ZvLong_AsLong(ZvObject *vv)
{
    if (vv == nullptr || !ZvLong_Check(vv)) {
        if (vv != nullptr && ZvInt_Check(vv)) return ZvInt_AsLong(vv);
        ZvErr_BadInternalCall();
        return -1;
    }
    auto *v = (ZvLongObject *)vv;
    unsigned long long x;
    /* Only the most negative value has a magnitude of 2**31. */
    if (magnitude_u64(v, &x) && (x <= 0x7FFFFFFFull || (v->ob_size < 0 && x == 0x80000000ull)))
        return v->ob_size < 0 ? (int32_t)(0u - (uint32_t)x) : (int32_t)x;
    ZvErr_SetString(ZvExc_OverflowError, "long int too large to convert to int");
    return -1;
}

uint32_t ZvLong_AsUnsignedLong(ZvObject *vv)
{
    if (vv != nullptr && ZvInt_Check(vv)) {
        int32_t x = ZvInt_AS_LONG(vv);
        if (x >= 0) return (uint32_t)x;
    } else if (vv == nullptr || !ZvLong_Check(vv)) {
        ZvErr_BadInternalCall();
        return (uint32_t)-1;
    }
    if (ZvInt_Check(vv) || ((ZvLongObject *)vv)->ob_size < 0) {
        ZvErr_SetString(ZvExc_OverflowError, "can't convert negative value to unsigned long");
        return (uint32_t)-1;
    }
    unsigned long long x;
    if (magnitude_u64((ZvLongObject *)vv, &x) && x <= 0xFFFFFFFFull) return (uint32_t)x;
    ZvErr_SetString(ZvExc_OverflowError, "long int too large to convert");
    return (uint32_t)-1;
}

uint32_t ZvLong_AsUnsignedLongMask(ZvObject *vv)
{
    if (vv != nullptr && ZvInt_Check(vv)) return (uint32_t)ZvInt_AS_LONG(vv);
    if (vv == nullptr || !ZvLong_Check(vv)) {
        ZvErr_BadInternalCall();
        return (uint32_t)-1;
    }
    auto *v = (ZvLongObject *)vv;
    auto x = (uint32_t)magnitude_mask64(v);
    return v->ob_size < 0 ? 0u - x : x;
}

unsigned long long ZvLong_AsUnsignedLongLongMask(ZvObject *vv)
{
    if (vv != nullptr && ZvInt_Check(vv)) return (unsigned long long)(long long)ZvInt_AS_LONG(vv);
    if (vv == nullptr || !ZvLong_Check(vv)) {
        ZvErr_BadInternalCall();
        return (unsigned long long)-1;
    }
    auto *v = (ZvLongObject *)vv;
    unsigned long long x = magnitude_mask64(v);
    return v->ob_size < 0 ? 0ull - x : x;
}

long long ZvLong_AsLongLong(ZvObject *vv)
{
    if (vv == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (ZvInt_Check(vv)) return ZvInt_AS_LONG(vv);
    if (!ZvLong_Check(vv)) {
        ZvNumberMethods *nb = Zv_TYPE(vv)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            ZvErr_SetString(ZvExc_TypeError, "an integer is required");
            return -1;
        }
        Ref io(nb->nb_int(vv));
        if (!io) return -1;
        if (ZvInt_Check(io.get()) || ZvLong_Check(io.get())) return ZvLong_AsLongLong(io.get());
        ZvErr_SetString(ZvExc_TypeError, "integer conversion failed");
        return -1;
    }
    long long bytes;
    if (_ZvLong_AsByteArray((ZvLongObject *)vv, (unsigned char *)&bytes, sizeof bytes, 1, 1) < 0)
        return -1;
    return bytes;
}

unsigned long long ZvLong_AsUnsignedLongLong(ZvObject *vv)
{
    if (vv != nullptr && ZvInt_Check(vv)) {
        int32_t x = ZvInt_AS_LONG(vv);
        if (x >= 0) return (unsigned long long)x;
        ZvErr_SetString(ZvExc_OverflowError, "can't convert negative long to unsigned");
        return (unsigned long long)-1;
    }
    if (vv == nullptr || !ZvLong_Check(vv)) {
        ZvErr_BadInternalCall();
        return (unsigned long long)-1;
    }
    unsigned long long bytes;
    if (_ZvLong_AsByteArray((ZvLongObject *)vv, (unsigned char *)&bytes, sizeof bytes, 1, 0) < 0)
        return (unsigned long long)-1;
    return bytes;
}

void *ZvLong_AsVoidPtr(ZvObject *vv)
{
    /* Pointers are 64 bits here, so the 64-bit conversions carry them. */
    if (vv != nullptr && ZvInt_Check(vv)) return (void *)(intptr_t)ZvInt_AS_LONG(vv);
    if (vv == nullptr || !ZvLong_Check(vv)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (((ZvLongObject *)vv)->ob_size < 0) return (void *)(intptr_t)ZvLong_AsLongLong(vv);
    return (void *)(uintptr_t)ZvLong_AsUnsignedLongLong(vv);
}

int _ZvLong_Sign(ZvObject *vv)
{
    auto *v = (ZvLongObject *)vv;
    return v->ob_size == 0 ? 0 : (v->ob_size < 0 ? -1 : 1);
}

size_t _ZvLong_NumBits(ZvObject *vv)
{
    auto *v = (ZvLongObject *)vv;
    int ndigits = abs_size(v);
    if (ndigits == 0) return 0;
    digit top = v->ob_digit[ndigits - 1];
    size_t result = (size_t)(ndigits - 1) * SHIFT;
    if (result / SHIFT != (size_t)(ndigits - 1)) {
        ZvErr_SetString(ZvExc_OverflowError,
                        "long has too many bits to express in a platform size_t");
        return (size_t)-1;
    }
    for (; top != 0; top >>= 1) ++result;
    return result;
}

double _ZvLong_AsScaledDouble(ZvObject *vv, int *exponent)
{
    auto *v = (ZvLongObject *)vv;
    int i = abs_size(v);
    if (i == 0) {
        *exponent = 0;
        return 0.0;
    }
    --i;
    double x = (double)v->ob_digit[i];
    /* 57 bits in all: the top digit plus up to 56 further bits. */
    for (int nbitsneeded = 56; i > 0 && nbitsneeded > 0; nbitsneeded -= SHIFT)
        x = x * (double)BASE + (double)v->ob_digit[--i];
    *exponent = i;
    return v->ob_size < 0 ? -x : x;
}

double ZvLong_AsDouble(ZvObject *vv)
{
    if (vv == nullptr || !ZvLong_Check(vv)) {
        ZvErr_BadInternalCall();
        return -1.0;
    }
    int e;
    double x = _ZvLong_AsScaledDouble(vv, &e);
    if (e > INT32_MAX / SHIFT) goto overflow;
    x = ldexp(x, e * SHIFT);
    if (isinf(x)) goto overflow;
    return x;
overflow:
    ZvErr_SetString(ZvExc_OverflowError, "long int too large to convert to float");
    return -1.0;
}

/* --- byte arrays ---------------------------------------------------------- */

ZvObject *_ZvLong_FromByteArray(const unsigned char *bytes, size_t n, int little_endian,
                                int is_signed)
{
    if (n == 0) return ZvLong_FromLong(0);
    if (bytes == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    const unsigned char *p = little_endian ? bytes : bytes + n - 1; /* least significant */
    const int step = little_endian ? 1 : -1;
    const unsigned char *msb = little_endian ? bytes + n - 1 : bytes;
    bool negative = is_signed && (*msb & 0x80);

    /* Significant bytes: drop the sign-extension bytes at the top. */
    size_t numsig = n;
    for (const unsigned char *q = msb; numsig > 0; q -= step, numsig--)
        if (*q != (negative ? 0xFF : 0x00)) break;
    if (numsig > (size_t)INT32_MAX / 8) {
        ZvErr_SetString(ZvExc_OverflowError, "byte array too long to convert to int");
        return nullptr;
    }
    size_t ndigits = (numsig * 8 + SHIFT - 1) / SHIFT + 1; /* +1: carry of the negation */
    if (ndigits > (size_t)INT32_MAX) return ZvErr_NoMemory();
    ZvLongObject *v = _ZvLong_New((int)ndigits);
    if (v == nullptr) return nullptr;

    /* Two's complement of a negative number: magnitude = ~bytes + 1. */
    unsigned int carry = 1, accum = 0, accumbits = 0;
    int idigit = 0;
    for (size_t i = 0; i < n; i++, p += step) {
        unsigned int byte = *p;
        if (negative) {
            byte = (byte ^ 0xFF) + carry;
            carry = byte >> 8;
            byte &= 0xFF;
        }
        accum |= byte << accumbits;
        accumbits += 8;
        while (accumbits >= SHIFT && idigit < (int)ndigits) {
            v->ob_digit[idigit++] = (digit)(accum & MASK);
            accum >>= SHIFT;
            accumbits -= SHIFT;
        }
        if (idigit >= (int)ndigits) break;
    }
    if (idigit < (int)ndigits) v->ob_digit[idigit++] = (digit)(accum & MASK);
    while (idigit < (int)ndigits) v->ob_digit[idigit++] = 0;
    v->ob_size = negative ? -(int)ndigits : (int)ndigits;
    return (ZvObject *)long_normalize(v);
}

int _ZvLong_AsByteArray(ZvLongObject *v, unsigned char *bytes, size_t n, int little_endian,
                        int is_signed)
{
    if (v == nullptr || !ZvLong_Check(v) || (bytes == nullptr && n != 0)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    const bool negative = v->ob_size < 0;
    if (negative && !is_signed) {
        ZvErr_SetString(ZvExc_OverflowError, "can't convert negative long to unsigned");
        return -1;
    }
    const int ndigits = abs_size(v);
    const unsigned fill = negative ? 0xFF : 0x00;

    /* Produce the bytes of the infinite two's-complement form from the
     * least significant end (a negative number is ~magnitude + 1).  Bytes
     * that do not fit in n must be pure sign fill. */
    size_t j = 0;
    auto put = [&](unsigned byte) -> bool {
        if (j < n) bytes[little_endian ? j : n - 1 - j] = (unsigned char)byte;
        return j++ < n || byte == fill;
    };
    unsigned accum = 0, accumbits = 0, carry = negative ? 1 : 0;
    for (int i = 0; i < ndigits; i++) {
        unsigned d = v->ob_digit[i];
        if (negative) {
            d = (d ^ MASK) + carry;
            carry = d >> SHIFT;
            d &= MASK;
        }
        accum |= d << accumbits;
        accumbits += SHIFT;
        for (; accumbits >= 8; accumbits -= 8, accum >>= 8)
            if (!put(accum & 0xFF)) goto overflow;
    }
    if (accumbits > 0) {
        if (negative) accum |= ~0u << accumbits;
        if (!put(accum & 0xFF)) goto overflow;
    }
    while (j < n) (void)put(fill);
    if (n == 0) {
        if (ndigits != 0) goto overflow;
        return 0;
    }
    /* A signed result must show the right sign in its top bit. */
    if (is_signed && ((bytes[little_endian ? n - 1 : 0] & 0x80) != 0) != negative) goto overflow;
    return 0;
overflow:
    ZvErr_SetString(ZvExc_OverflowError, "long too big to convert");
    return -1;
}

/* --- magnitude arithmetic -------------------------------------------------- */

/* x[0:m] += y[0:n] (m >= n); returns the carry out of x. */
static digit v_iadd(digit *x, int m, const digit *y, int n)
{
    unsigned carry = 0;
    int i = 0;
    for (; i < n; ++i) {
        carry += (unsigned)x[i] + y[i];
        x[i] = (digit)(carry & MASK);
        carry >>= SHIFT;
    }
    for (; carry && i < m; ++i) {
        carry += x[i];
        x[i] = (digit)(carry & MASK);
        carry >>= SHIFT;
    }
    return (digit)carry;
}

/* x[0:m] -= y[0:n] (m >= n); returns the borrow out of x. */
static digit v_isub(digit *x, int m, const digit *y, int n)
{
    unsigned borrow = 0;
    int i = 0;
    for (; i < n; ++i) {
        borrow = (unsigned)x[i] - y[i] - borrow;
        x[i] = (digit)(borrow & MASK);
        borrow = (borrow >> SHIFT) & 1;
    }
    for (; borrow && i < m; ++i) {
        borrow = (unsigned)x[i] - borrow;
        x[i] = (digit)(borrow & MASK);
        borrow = (borrow >> SHIFT) & 1;
    }
    return (digit)borrow;
}

/* |a| + |b|. */
static ZvLongObject *x_add(ZvLongObject *a, ZvLongObject *b)
{
    int size_a = abs_size(a), size_b = abs_size(b);
    if (size_a < size_b) {
        std::swap(a, b);
        std::swap(size_a, size_b);
    }
    ZvLongObject *z = _ZvLong_New(size_a + 1);
    if (z == nullptr) return nullptr;
    memcpy(z->ob_digit, a->ob_digit, (size_t)size_a * sizeof(digit));
    z->ob_digit[size_a] = v_iadd(z->ob_digit, size_a, b->ob_digit, size_b);
    return long_normalize(z);
}

/* |a| - |b|, with the sign of the difference. */
static ZvLongObject *x_sub(ZvLongObject *a, ZvLongObject *b)
{
    int size_a = abs_size(a), size_b = abs_size(b);
    bool negate = false;
    if (size_a < size_b) {
        negate = true;
        std::swap(a, b);
        std::swap(size_a, size_b);
    } else if (size_a == size_b) {
        int i = size_a;
        while (--i >= 0 && a->ob_digit[i] == b->ob_digit[i]) {
        }
        if (i < 0) return _ZvLong_New(0);
        if (a->ob_digit[i] < b->ob_digit[i]) {
            negate = true;
            std::swap(a, b);
        }
        size_a = size_b = i + 1;
    }
    ZvLongObject *z = _ZvLong_New(size_a);
    if (z == nullptr) return nullptr;
    memcpy(z->ob_digit, a->ob_digit, (size_t)size_a * sizeof(digit));
    (void)v_isub(z->ob_digit, size_a, b->ob_digit, size_b);
    if (negate) z->ob_size = -z->ob_size;
    return long_normalize(z);
}

/* Schoolbook |a| * |b|; squares use each cross product once, doubled. */
static ZvLongObject *x_mul(ZvLongObject *a, ZvLongObject *b)
{
    const int size_a = abs_size(a), size_b = abs_size(b);
    ZvLongObject *z = _ZvLong_New(size_a + size_b);
    if (z == nullptr) return nullptr;
    memset(z->ob_digit, 0, (size_t)z->ob_size * sizeof(digit));
    if (a == b) {
        for (int i = 0; i < size_a; ++i) {
            if (zv::signal_pending()) {
                Zv_DECREF(z);
                return nullptr;
            }
            twodigits f = a->ob_digit[i];
            digit *pz = z->ob_digit + (i << 1);
            twodigits carry = *pz + f * f;
            *pz++ = (digit)(carry & MASK);
            carry >>= SHIFT;
            f <<= 1; /* the cross products count twice */
            for (int k = i + 1; k < size_a; ++k) {
                carry += *pz + a->ob_digit[k] * f;
                *pz++ = (digit)(carry & MASK);
                carry >>= SHIFT;
            }
            for (; carry; carry >>= SHIFT) {
                carry += *pz;
                *pz++ = (digit)(carry & MASK);
            }
        }
    } else {
        for (int i = 0; i < size_a; ++i) {
            if (zv::signal_pending()) {
                Zv_DECREF(z);
                return nullptr;
            }
            twodigits carry = 0, f = a->ob_digit[i];
            digit *pz = z->ob_digit + i;
            for (int k = 0; k < size_b; ++k) {
                carry += *pz + b->ob_digit[k] * f;
                *pz++ = (digit)(carry & MASK);
                carry >>= SHIFT;
            }
            if (carry) *pz += (digit)(carry & MASK);
        }
    }
    return long_normalize(z);
}

/* Splits |n| into high and low halves at `size` digits, both normalized. */
static int kmul_split(ZvLongObject *n, int size, ZvLongObject **high, ZvLongObject **low)
{
    const int size_n = abs_size(n);
    const int size_lo = std::min(size_n, size), size_hi = size_n - size_lo;
    ZvLongObject *hi = _ZvLong_New(size_hi);
    if (hi == nullptr) return -1;
    ZvLongObject *lo = _ZvLong_New(size_lo);
    if (lo == nullptr) {
        Zv_DECREF(hi);
        return -1;
    }
    memcpy(lo->ob_digit, n->ob_digit, (size_t)size_lo * sizeof(digit));
    memcpy(hi->ob_digit, n->ob_digit + size_lo, (size_t)size_hi * sizeof(digit));
    *high = long_normalize(hi);
    *low = long_normalize(lo);
    return 0;
}

static ZvLongObject *k_lopsided_mul(ZvLongObject *a, ZvLongObject *b);

/* |a| * |b| by Karatsuba's method:
 *   a*b = ah*bh*B^2s + ((ah+al)(bh+bl) - ah*bh - al*bl)*B^s + al*bl
 * with s half the longer operand's size. */
static ZvLongObject *k_mul(ZvLongObject *a, ZvLongObject *b)
{
    int asize = abs_size(a), bsize = abs_size(b);
    if (asize > bsize) {
        std::swap(a, b);
        std::swap(asize, bsize);
    }
    if (asize <= (a == b ? KARATSUBA_SQUARE_CUTOFF : KARATSUBA_CUTOFF))
        return asize == 0 ? _ZvLong_New(0) : x_mul(a, b);
    if (2 * asize <= bsize) return k_lopsided_mul(a, b);

    const int shift = bsize >> 1;
    ZvLongObject *ah, *al, *bh, *bl;
    if (kmul_split(a, shift, &ah, &al) < 0) return nullptr;
    Ref rah((ZvObject *)ah), ral((ZvObject *)al), rbh, rbl;
    if (a == b) {
        rbh = Ref::borrow(rah.get());
        rbl = Ref::borrow(ral.get());
    } else {
        if (kmul_split(b, shift, &bh, &bl) < 0) return nullptr;
        rbh.reset((ZvObject *)bh);
        rbl.reset((ZvObject *)bl);
    }

    Ref ret((ZvObject *)_ZvLong_New(asize + bsize));
    if (!ret) return nullptr;
    digit *rd = L(ret)->ob_digit;
    const int retsize = asize + bsize;

    /* ah*bh into the high digits, al*bl into the low ones. */
    Ref t1((ZvObject *)k_mul(L(rah), L(rbh)));
    if (!t1) return nullptr;
    const int t1size = abs_size(L(t1));
    memcpy(rd + 2 * shift, L(t1)->ob_digit, (size_t)t1size * sizeof(digit));
    memset(rd + 2 * shift + t1size, 0, (size_t)(retsize - 2 * shift - t1size) * sizeof(digit));

    Ref t2((ZvObject *)k_mul(L(ral), L(rbl)));
    if (!t2) return nullptr;
    const int t2size = abs_size(L(t2));
    memcpy(rd, L(t2)->ob_digit, (size_t)t2size * sizeof(digit));
    memset(rd + t2size, 0, (size_t)(2 * shift - t2size) * sizeof(digit));

    /* Subtract both products at the middle position... */
    const int i = retsize - shift;
    (void)v_isub(rd + shift, i, L(t2)->ob_digit, t2size);
    (void)v_isub(rd + shift, i, L(t1)->ob_digit, t1size);
    t1.reset();
    t2.reset();

    /* ...and add (ah+al)(bh+bl) there. */
    Ref sa((ZvObject *)x_add(L(rah), L(ral)));
    if (!sa) return nullptr;
    Ref sb;
    if (a == b)
        sb = Ref::borrow(sa.get());
    else if (!(sb = Ref((ZvObject *)x_add(L(rbh), L(rbl)))))
        return nullptr;
    Ref t3((ZvObject *)k_mul(L(sa), L(sb)));
    if (!t3) return nullptr;
    (void)v_iadd(rd + shift, i, L(t3)->ob_digit, abs_size(L(t3)));
    return long_normalize((ZvLongObject *)ret.release());
}

/* |a| * |b| when b is at least twice as long as a: multiply a by slices of
 * b of a's size, so each product is balanced and Karatsuba pays off. */
static ZvLongObject *k_lopsided_mul(ZvLongObject *a, ZvLongObject *b)
{
    const int asize = abs_size(a);
    int bsize = abs_size(b);
    Ref ret((ZvObject *)_ZvLong_New(asize + bsize));
    if (!ret) return nullptr;
    memset(L(ret)->ob_digit, 0, (size_t)(asize + bsize) * sizeof(digit));
    Ref bslice((ZvObject *)_ZvLong_New(asize));
    if (!bslice) return nullptr;
    int nbdone = 0;
    while (bsize > 0) {
        const int nbtouse = std::min(bsize, asize);
        memcpy(L(bslice)->ob_digit, b->ob_digit + nbdone, (size_t)nbtouse * sizeof(digit));
        L(bslice)->ob_size = nbtouse;
        long_normalize(L(bslice));
        Ref product((ZvObject *)k_mul(a, L(bslice)));
        if (!product) return nullptr;
        (void)v_iadd(L(ret)->ob_digit + nbdone, asize + abs_size(b) - nbdone,
                     L(product)->ob_digit, abs_size(L(product)));
        bsize -= nbtouse;
        nbdone += nbtouse;
    }
    return long_normalize((ZvLongObject *)ret.release());
}

/* |a| * n for a single digit n, one digit longer than a. */
static ZvLongObject *mul1(ZvLongObject *a, digit n)
{
    const int size_a = abs_size(a);
    ZvLongObject *z = _ZvLong_New(size_a + 1);
    if (z == nullptr) return nullptr;
    twodigits carry = 0;
    for (int i = 0; i < size_a; ++i) {
        carry += (twodigits)a->ob_digit[i] * n;
        z->ob_digit[i] = (digit)(carry & MASK);
        carry >>= SHIFT;
    }
    z->ob_digit[size_a] = (digit)carry;
    return long_normalize(z);
}

/* pout[0:size] = pin[0:size] / n (pout may be pin); returns the remainder. */
static digit inplace_divrem1(digit *pout, const digit *pin, int size, digit n)
{
    twodigits rem = 0;
    for (int i = size; --i >= 0;) {
        rem = (rem << SHIFT) | pin[i];
        auto hi = (digit)(rem / n);
        pout[i] = hi;
        rem -= (twodigits)hi * n;
    }
    return (digit)rem;
}

/* |a| / n for a single digit n, the remainder in *prem. */
static ZvLongObject *divrem1(ZvLongObject *a, digit n, digit *prem)
{
    const int size = abs_size(a);
    ZvLongObject *z = _ZvLong_New(size);
    if (z == nullptr) return nullptr;
    *prem = inplace_divrem1(z->ob_digit, a->ob_digit, size, n);
    return long_normalize(z);
}

/* |v1| / |w1| by Knuth's algorithm D (|w1| has at least two digits and
 * |v1| >= |w1|); the magnitude of the remainder in *prem. */
static ZvLongObject *x_divrem(ZvLongObject *v1, ZvLongObject *w1, ZvLongObject **prem)
{
    const int size_w = abs_size(w1);
    /* Scale both so the divisor's top digit is at least BASE/2; the
     * quotient estimates are then off by at most two. */
    const auto d = (digit)(BASE / (w1->ob_digit[size_w - 1] + 1));
    Ref v((ZvObject *)mul1(v1, d)), w((ZvObject *)mul1(w1, d));
    if (!v || !w) return nullptr;
    /* v gets one spare top digit so every step sees three digits. */
    const int size_v = abs_size(v1);
    Ref vv((ZvObject *)_ZvLong_New(size_v + 1));
    if (!vv) return nullptr;
    digit *vd = L(vv)->ob_digit;
    memset(vd, 0, (size_t)(size_v + 1) * sizeof(digit));
    memcpy(vd, L(v)->ob_digit, (size_t)abs_size(L(v)) * sizeof(digit));
    const digit *wd = L(w)->ob_digit;
    const twodigits wtop = wd[size_w - 1], wnext = wd[size_w - 2];

    const int k = size_v - size_w;
    Ref a((ZvObject *)_ZvLong_New(k + 1));
    if (!a) return nullptr;
    for (int j = k; j >= 0; --j) {
        if (zv::signal_pending()) return nullptr;
        digit *vj = vd + j; /* the window vj[0 .. size_w] */
        uint64_t num = ((uint64_t)vj[size_w] << SHIFT) | vj[size_w - 1];
        uint64_t q = num / wtop, r = num - q * wtop;
        while (q >= BASE || q * wnext > ((r << SHIFT) | vj[size_w - 2])) {
            --q;
            r += wtop;
            if (r >= BASE) break;
        }
        /* vj -= q * w */
        int64_t carry = 0;
        for (int i = 0; i < size_w; ++i) {
            int64_t t = (int64_t)vj[i] + carry - (int64_t)(q * wd[i]);
            vj[i] = (digit)(t & MASK);
            carry = t >> SHIFT;
        }
        int64_t top = (int64_t)vj[size_w] + carry;
        vj[size_w] = (digit)(top & MASK);
        if (top < 0) {
            /* The estimate was one too large: add w back once. */
            --q;
            carry = 0;
            for (int i = 0; i < size_w; ++i) {
                int64_t t = (int64_t)vj[i] + wd[i] + carry;
                vj[i] = (digit)(t & MASK);
                carry = t >> SHIFT;
            }
            vj[size_w] = (digit)((vj[size_w] + carry) & MASK);
        }
        L(a)->ob_digit[j] = (digit)q;
    }
    /* The remainder is the low size_w digits, scaled back by d. */
    ZvLongObject *rem = _ZvLong_New(size_w);
    if (rem == nullptr) return nullptr;
    (void)inplace_divrem1(rem->ob_digit, vd, size_w, d);
    *prem = long_normalize(rem);
    return long_normalize((ZvLongObject *)a.release());
}

/* A plain long of the same value (v itself when exact). */
static ZvLongObject *plain_long(ZvLongObject *v)
{
    if (ZvLong_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    return (ZvLongObject *)_ZvLong_Copy(v);
}

static ZvObject *zero_division(void)
{
    ZvErr_SetString(ZvExc_ZeroDivisionError, "long division or modulo by zero");
    return nullptr;
}

/* Truncating division: the quotient is negative when the signs differ,
 * the remainder takes the sign of a. */
static int long_divrem(ZvLongObject *a, ZvLongObject *b, ZvLongObject **pdiv, ZvLongObject **prem)
{
    const int size_a = abs_size(a), size_b = abs_size(b);
    if (size_b == 0) {
        zero_division();
        return -1;
    }
    if (size_a < size_b ||
        (size_a == size_b && a->ob_digit[size_a - 1] < b->ob_digit[size_b - 1])) {
        *pdiv = _ZvLong_New(0);
        if (*pdiv == nullptr) return -1;
        *prem = plain_long(a);
        if (*prem == nullptr) {
            Zv_CLEAR(*pdiv);
            return -1;
        }
        return 0;
    }
    ZvLongObject *z, *rem;
    if (size_b == 1) {
        digit r = 0;
        z = divrem1(a, b->ob_digit[0], &r);
        if (z == nullptr) return -1;
        rem = (ZvLongObject *)ZvLong_FromLong(r);
        if (rem == nullptr) {
            Zv_DECREF(z);
            return -1;
        }
    } else if ((z = x_divrem(a, b, &rem)) == nullptr)
        return -1;
    if ((a->ob_size < 0) != (b->ob_size < 0)) z->ob_size = -z->ob_size;
    if (a->ob_size < 0) rem->ob_size = -rem->ob_size;
    *pdiv = z;
    *prem = rem;
    return 0;
}

static ZvObject *long_add(ZvObject *v, ZvObject *w);
static ZvObject *long_sub(ZvObject *v, ZvObject *w);

/* Floored division: when the remainder's sign differs from w's, move the
 * remainder by w and the quotient down by one.  Either output may be
 * NULL when the caller does not want it. */
static int l_divmod(ZvLongObject *v, ZvLongObject *w, ZvLongObject **pdiv, ZvLongObject **pmod)
{
    ZvLongObject *div, *mod;
    if (long_divrem(v, w, &div, &mod) < 0) return -1;
    Ref rdiv((ZvObject *)div), rmod((ZvObject *)mod);
    if ((mod->ob_size < 0 && w->ob_size > 0) || (mod->ob_size > 0 && w->ob_size < 0)) {
        rmod.reset(long_add((ZvObject *)mod, (ZvObject *)w));
        if (!rmod) return -1;
        Ref one(ZvLong_FromLong(1));
        if (!one) return -1;
        rdiv.reset(long_sub((ZvObject *)div, one.get()));
        if (!rdiv) return -1;
    }
    if (pdiv) *pdiv = (ZvLongObject *)rdiv.release();
    if (pmod) *pmod = (ZvLongObject *)rmod.release();
    return 0;
}

/* --- text ------------------------------------------------------------------ */

ZvObject *_ZvLong_Format(ZvObject *aa, int base, int addL)
{
    if (aa == nullptr || !ZvLong_Check(aa) || base < 2 || base > 36) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *a = (ZvLongObject *)aa;
    const int size_a = abs_size(a);
    int bits = 0;
    for (int i = base; i > 1; i >>= 1) ++bits;
    /* Room for the digits, "-", a prefix of up to "36#" and "L". */
    const long long sz = 5LL + (addL ? 1 : 0) + ((long long)size_a * SHIFT + bits - 1) / bits;
    if (sz > INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "long is too large to format");
        return nullptr;
    }
    Ref str(ZvString_FromStringAndSize(nullptr, (int)sz));
    if (!str) return nullptr;
    char *const buf = ZvString_AS_STRING(str.get());
    char *p = buf + sz;
    *p = '\0';
    if (addL) *--p = 'L';
    auto digit_char = [](unsigned c) { return (char)(c < 10 ? '0' + c : 'A' + c - 10); };

    if (size_a == 0) {
        *--p = '0';
    } else if ((base & (base - 1)) == 0) {
        /* A power of two: peel `bits` bits at a time. */
        twodigits accum = 0;
        int accumbits = 0;
        for (int i = 0; i < size_a; ++i) {
            accum |= (twodigits)a->ob_digit[i] << accumbits;
            accumbits += SHIFT;
            do {
                *--p = digit_char((unsigned)(accum & (unsigned)(base - 1)));
                accumbits -= bits;
                accum >>= bits;
            } while (i < size_a - 1 ? accumbits >= bits : accum > 0);
        }
    } else {
        /* Divide a scratch copy by the largest power of base below BASE and
         * emit `power` characters per remainder. */
        digit powbase = (digit)base;
        int power = 1;
        for (twodigits next = (twodigits)powbase * base; next < BASE; next *= base) {
            powbase = (digit)next;
            ++power;
        }
        Ref scratch((ZvObject *)_ZvLong_New(size_a));
        if (!scratch) return nullptr;
        digit *sd = L(scratch)->ob_digit;
        memcpy(sd, a->ob_digit, (size_t)size_a * sizeof(digit));
        int size = size_a;
        do {
            digit rem = inplace_divrem1(sd, sd, size, powbase);
            if (sd[size - 1] == 0) --size;
            if (zv::signal_pending()) return nullptr;
            int ntostore = power;
            do {
                digit nextrem = (digit)(rem / base);
                *--p = digit_char((unsigned)(rem - nextrem * base));
                rem = nextrem;
                --ntostore;
            } while (ntostore && (size || rem));
        } while (size != 0);
    }

    if (base == 8) {
        if (size_a != 0) *--p = '0';
    } else if (base == 16) {
        *--p = 'x';
        *--p = '0';
    } else if (base != 10) {
        *--p = '#';
        *--p = (char)('0' + base % 10);
        if (base > 10) *--p = (char)('0' + base / 10);
    }
    if (a->ob_size < 0) *--p = '-';
    const int len = (int)(buf + sz - p);
    memmove(buf, p, (size_t)len + 1);
    ZvObject *result = str.release();
    if (_ZvString_Resize(&result, len) < 0) return nullptr;
    return result;
}

static ZvObject *invalid_long_literal(const char *orig)
{
    return ZvErr_Format(ZvExc_ValueError, "invalid literal for long(): %.200s", orig);
}

static int char_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

/* Digits of a power-of-two base: read them all, then build the number
 * from the bits, least significant character first. */
static ZvLongObject *long_from_binary_base(const char **str, int base)
{
    const char *start = *str, *p = start;
    int bits_per_char = 0;
    for (int n = base; n > 1; n >>= 1) ++bits_per_char;
    while (char_digit(*p) < base) ++p;
    *str = p;
    const long long nbits = (long long)(p - start) * bits_per_char;
    if (nbits / bits_per_char != p - start || nbits > (long long)INT32_MAX - SHIFT) {
        ZvErr_SetString(ZvExc_ValueError, "long string too large to convert");
        return nullptr;
    }
    const int ndigits = (int)((nbits + SHIFT - 1) / SHIFT);
    ZvLongObject *z = _ZvLong_New(ndigits);
    if (z == nullptr) return nullptr;
    twodigits accum = 0;
    int accumbits = 0, idigit = 0;
    while (--p >= start) {
        accum |= (twodigits)char_digit(*p) << accumbits;
        accumbits += bits_per_char;
        if (accumbits >= SHIFT) {
            z->ob_digit[idigit++] = (digit)(accum & MASK);
            accum >>= SHIFT;
            accumbits -= SHIFT;
        }
    }
    if (accumbits) z->ob_digit[idigit++] = (digit)accum;
    while (idigit < ndigits) z->ob_digit[idigit++] = 0;
    return long_normalize(z);
}

/* z = z * mult + add in place (z has a spare top digit or grows). */
static ZvLongObject *muladd1(ZvLongObject *z, digit mult, digit add)
{
    const int size = abs_size(z);
    ZvLongObject *r = _ZvLong_New(size + 1);
    if (r == nullptr) return nullptr;
    twodigits carry = add;
    for (int i = 0; i < size; ++i) {
        carry += (twodigits)z->ob_digit[i] * mult;
        r->ob_digit[i] = (digit)(carry & MASK);
        carry >>= SHIFT;
    }
    r->ob_digit[size] = (digit)carry;
    return long_normalize(r);
}

/* Digits of any other base: z = z * base + digit, taking as many
 * characters per pass as keep base**k below BASE. */
static ZvLongObject *long_from_other_base(const char **str, int base)
{
    ZvLongObject *z = _ZvLong_New(0);
    if (z == nullptr) return nullptr;
    const char *p = *str;
    while (char_digit(*p) < base) {
        twodigits mult = 1, acc = 0;
        while (char_digit(*p) < base && mult * base < BASE) {
            acc = acc * base + (twodigits)char_digit(*p++);
            mult *= base;
        }
        ZvLongObject *next = muladd1(z, (digit)mult, (digit)acc);
        Zv_DECREF(z);
        if (next == nullptr) return nullptr;
        z = next;
    }
    *str = p;
    return z;
}

ZvObject *ZvLong_FromString(const char *str, char **pend, int base)
{
    if (str == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if ((base != 0 && base < 2) || base > 36) {
        ZvErr_SetString(ZvExc_ValueError, "long() arg 2 must be >= 2 and <= 36");
        return nullptr;
    }
    const char *orig = str;
    while (*str != '\0' && isspace((unsigned char)*str)) str++;
    bool negative = false;
    if (*str == '+')
        ++str;
    else if (*str == '-') {
        ++str;
        negative = true;
    }
    while (*str != '\0' && isspace((unsigned char)*str)) str++;
    const bool hexprefix = str[0] == '0' && (str[1] == 'x' || str[1] == 'X');
    if (base == 0) {
        if (str[0] != '0')
            base = 10;
        else if (hexprefix)
            base = 16;
        else
            base = 8;
    }
    if (base == 16 && hexprefix) str += 2;

    const char *digits = str;
    ZvLongObject *z = (base & (base - 1)) == 0 ? long_from_binary_base(&str, base)
                                               : long_from_other_base(&str, base);
    if (z == nullptr) return nullptr;
    Ref rz((ZvObject *)z);
    if (str == digits) return invalid_long_literal(orig);
    if (*str == 'L' || *str == 'l') str++;
    while (*str && isspace((unsigned char)*str)) str++;
    if (*str != '\0') return invalid_long_literal(orig);
    if (negative) z->ob_size = -z->ob_size;
    if (pend) *pend = (char *)str;
    return rz.release();
}

ZvObject *ZvLong_FromUnicode(const uint16_t *u, int length, int base)
{
    /* The decimal encoding of Unicode text belongs to the Unicode type,
     * which this runtime does not have yet. */
    (void)u;
    (void)length;
    (void)base;
    ZvErr_SetString(ZvExc_SystemError, "unicode support is not available");
    return nullptr;
}

/* --- slots ------------------------------------------------------------------ */

static void long_dealloc(ZvObject *v) { Zv_TYPE(v)->tp_free(v); }

static ZvObject *long_repr(ZvObject *v) { return _ZvLong_Format(v, 10, 1); }

static ZvObject *long_str(ZvObject *v) { return _ZvLong_Format(v, 10, 0); }

static int long_compare(ZvObject *aa, ZvObject *bb)
{
    auto *a = (ZvLongObject *)aa, *b = (ZvLongObject *)bb;
    if (a->ob_size != b->ob_size) return a->ob_size < b->ob_size ? -1 : 1;
    int i = abs_size(a);
    while (--i >= 0 && a->ob_digit[i] == b->ob_digit[i]) {
    }
    if (i < 0) return 0;
    int sign = a->ob_digit[i] < b->ob_digit[i] ? -1 : 1;
    return a->ob_size < 0 ? -sign : sign;
}

static Zv_hash_t long_hash(ZvObject *vv)
{
    auto *v = (ZvLongObject *)vv;
    /* Rotating by SHIFT bits per digit makes the hash of a value that fits
     * an int equal that int's hash. */
    uint32_t x = 0;
    for (int i = abs_size(v); --i >= 0;) x = ((x << SHIFT) | (x >> (32 - SHIFT))) + v->ob_digit[i];
    if (v->ob_size < 0) x = 0u - x;
    auto h = (Zv_hash_t)x;
    return h == -1 ? -2 : h;
}

/* Both operands as longs (new references); false for an operand of any
 * other type, which makes the slot answer NotImplemented. */
static bool convert_binop(ZvObject *v, ZvObject *w, Ref *a, Ref *b)
{
    auto convert = [](ZvObject *o, Ref *out) {
        if (ZvLong_Check(o))
            *out = Ref::borrow(o);
        else if (ZvInt_Check(o))
            *out = Ref(ZvLong_FromLong(ZvInt_AS_LONG(o)));
        else
            return false;
        return true;
    };
    return convert(v, a) && convert(w, b);
}

#define CONVERT_BINOP(v, w, a, b)                                             \
    Ref a, b;                                                                 \
    if (!convert_binop(v, w, &a, &b)) Zv_RETURN_NOTIMPLEMENTED;               \
    if (!a || !b) return nullptr

static ZvObject *long_add(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvLongObject *z;
    if (L(a)->ob_size < 0) {
        if (L(b)->ob_size < 0) {
            z = x_add(L(a), L(b));
            if (z != nullptr) z->ob_size = -z->ob_size;
        } else
            z = x_sub(L(b), L(a));
    } else
        z = L(b)->ob_size < 0 ? x_sub(L(a), L(b)) : x_add(L(a), L(b));
    return (ZvObject *)z;
}

static ZvObject *long_sub(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvLongObject *z;
    if (L(a)->ob_size < 0) {
        z = L(b)->ob_size < 0 ? x_sub(L(a), L(b)) : x_add(L(a), L(b));
        if (z != nullptr) z->ob_size = -z->ob_size;
    } else
        z = L(b)->ob_size < 0 ? x_add(L(a), L(b)) : x_sub(L(a), L(b));
    return (ZvObject *)z;
}

static ZvObject *long_mul(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvLongObject *z = k_mul(L(a), L(b));
    if (z != nullptr && (L(a)->ob_size ^ L(b)->ob_size) < 0) z->ob_size = -z->ob_size;
    return (ZvObject *)z;
}

static ZvObject *long_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvLongObject *div;
    if (l_divmod(L(a), L(b), &div, nullptr) < 0) return nullptr;
    return (ZvObject *)div;
}

static ZvObject *long_classic_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (zv::division_warning_flag() && zv::deprecation_warning("classic long division") < 0)
        return nullptr;
    ZvLongObject *div;
    if (l_divmod(L(a), L(b), &div, nullptr) < 0) return nullptr;
    return (ZvObject *)div;
}

static ZvObject *long_true_divide(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int aexp, bexp;
    double ad = _ZvLong_AsScaledDouble(a.get(), &aexp);
    double bd = _ZvLong_AsScaledDouble(b.get(), &bexp);
    if (bd == 0.0) return zero_division();
    ad /= bd; /* overflow and underflow are impossible here */
    aexp -= bexp;
    if (aexp > INT32_MAX / SHIFT) goto overflow;
    if (aexp < -(INT32_MAX / SHIFT)) return ZvFloat_FromDouble(0.0);
    ad = ldexp(ad, aexp * SHIFT);
    if (isinf(ad)) goto overflow;
    return ZvFloat_FromDouble(ad);
overflow:
    ZvErr_SetString(ZvExc_OverflowError, "long/long too large for a float");
    return nullptr;
}

static ZvObject *long_mod(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvLongObject *mod;
    if (l_divmod(L(a), L(b), nullptr, &mod) < 0) return nullptr;
    return (ZvObject *)mod;
}

static ZvObject *long_divmod(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvLongObject *div, *mod;
    if (l_divmod(L(a), L(b), &div, &mod) < 0) return nullptr;
    ZvObject *z = ZvTuple_New(2);
    if (z == nullptr) {
        Zv_DECREF(div);
        Zv_DECREF(mod);
        return nullptr;
    }
    ZvTuple_SET_ITEM(z, 0, (ZvObject *)div);
    ZvTuple_SET_ITEM(z, 1, (ZvObject *)mod);
    return z;
}

/* z = x * y, reduced modulo c when c is given. */
static bool mult_mod(Ref &z, ZvObject *x, ZvObject *y, ZvLongObject *c)
{
    Ref t(long_mul(x, y));
    if (!t) return false;
    if (c != nullptr) {
        ZvLongObject *mod;
        if (l_divmod(L(t), c, nullptr, &mod) < 0) return false;
        t.reset((ZvObject *)mod);
    }
    z = std::move(t);
    return true;
}

static ZvObject *long_pow(ZvObject *v, ZvObject *w, ZvObject *x)
{
    CONVERT_BINOP(v, w, a, b);
    Ref c;
    if (ZvLong_Check(x))
        c = Ref::borrow(x);
    else if (ZvInt_Check(x)) {
        if (!(c = Ref(ZvLong_FromLong(ZvInt_AS_LONG(x))))) return nullptr;
    } else if (x != Zv_None)
        Zv_RETURN_NOTIMPLEMENTED;

    if (L(b)->ob_size < 0) {
        if (c) {
            ZvErr_SetString(ZvExc_TypeError,
                            "pow() 2nd argument cannot be negative when 3rd argument specified");
            return nullptr;
        }
        return ZvFloat_Type.tp_as_number->nb_power(v, w, x);
    }

    bool negative_output = false;
    if (c) {
        if (L(c)->ob_size == 0) {
            ZvErr_SetString(ZvExc_ValueError, "pow() 3rd argument cannot be 0");
            return nullptr;
        }
        if (L(c)->ob_size < 0) {
            /* Work with |c| and move the result into (c, 0] at the end. */
            negative_output = true;
            c = Ref(_ZvLong_Copy(L(c)));
            if (!c) return nullptr;
            L(c)->ob_size = -L(c)->ob_size;
        }
        if (L(c)->ob_size == 1 && L(c)->ob_digit[0] == 1) return ZvLong_FromLong(0);
        if (L(a)->ob_size < 0 || abs_size(L(a)) > abs_size(L(c))) {
            ZvLongObject *mod;
            if (l_divmod(L(a), L(c), nullptr, &mod) < 0) return nullptr;
            a = Ref((ZvObject *)mod);
        }
    }
    ZvLongObject *const cm = c ? L(c) : nullptr;
    Ref z(ZvLong_FromLong(1));
    if (!z) return nullptr;
    const int bsize = L(b)->ob_size;

    if (bsize <= FIVEARY_CUTOFF) {
        /* Left-to-right binary exponentiation. */
        for (int i = bsize - 1; i >= 0; --i) {
            const digit bi = L(b)->ob_digit[i];
            for (digit j = (digit)1 << (SHIFT - 1); j != 0; j >>= 1) {
                if (!mult_mod(z, z.get(), z.get(), cm)) return nullptr;
                if ((bi & j) && !mult_mod(z, z.get(), a.get(), cm)) return nullptr;
            }
        }
    } else {
        /* Left-to-right 5-ary exponentiation: table[i] = a**i. */
        Ref table[32];
        table[0] = Ref::borrow(z.get());
        for (int i = 1; i < 32; ++i)
            if (!mult_mod(table[i], table[i - 1].get(), a.get(), cm)) return nullptr;
        for (int i = bsize - 1; i >= 0; --i) {
            const digit bi = L(b)->ob_digit[i];
            for (int j = SHIFT - 5; j >= 0; j -= 5) {
                const int index = (bi >> j) & 0x1f;
                for (int k = 0; k < 5; ++k)
                    if (!mult_mod(z, z.get(), z.get(), cm)) return nullptr;
                if (index && !mult_mod(z, z.get(), table[index].get(), cm)) return nullptr;
            }
        }
    }
    if (negative_output && L(z)->ob_size != 0) return long_sub(z.get(), c.get());
    return z.release();
}

static ZvObject *long_invert(ZvObject *v)
{
    /* ~x == -(x+1) */
    Ref one(ZvLong_FromLong(1));
    if (!one) return nullptr;
    ZvObject *x = long_add(v, one.get());
    if (x != nullptr) ((ZvLongObject *)x)->ob_size = -((ZvLongObject *)x)->ob_size;
    return x;
}

static ZvObject *long_pos(ZvObject *v) { return (ZvObject *)plain_long((ZvLongObject *)v); }

static ZvObject *long_neg(ZvObject *v)
{
    auto *z = (ZvLongObject *)v;
    if (z->ob_size == 0) return long_pos(v);
    z = (ZvLongObject *)_ZvLong_Copy(z);
    if (z != nullptr) z->ob_size = -z->ob_size;
    return (ZvObject *)z;
}

static ZvObject *long_abs(ZvObject *v)
{
    return ((ZvLongObject *)v)->ob_size < 0 ? long_neg(v) : long_pos(v);
}

static int long_nonzero(ZvObject *v) { return ((ZvLongObject *)v)->ob_size != 0; }

static ZvObject *negative_shift(void)
{
    ZvErr_SetString(ZvExc_ValueError, "negative shift count");
    return nullptr;
}

static ZvObject *long_rshift(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (L(b)->ob_size < 0) return negative_shift();
    if (L(a)->ob_size < 0) {
        /* Right shift of a negative number: ~((~a) >> n), which rounds
         * toward minus infinity. */
        Ref a1(long_invert(a.get()));
        if (!a1) return nullptr;
        Ref a2(long_rshift(a1.get(), b.get()));
        if (!a2) return nullptr;
        return long_invert(a2.get());
    }
    /* A count too large for an int shifts every bit out. */
    int32_t shiftby = ZvLong_AsLong(b.get());
    if (shiftby == -1 && ZvErr_Occurred()) {
        if (!ZvErr_ExceptionMatches(ZvExc_OverflowError)) return nullptr;
        ZvErr_Clear();
        return ZvLong_FromLong(0);
    }
    const int wordshift = shiftby / SHIFT, loshift = shiftby % SHIFT;
    const int newsize = abs_size(L(a)) - wordshift;
    if (newsize <= 0) return ZvLong_FromLong(0);
    const int hishift = SHIFT - loshift;
    const digit lomask = (digit)((1 << hishift) - 1), himask = (digit)(MASK ^ lomask);
    ZvLongObject *z = _ZvLong_New(newsize);
    if (z == nullptr) return nullptr;
    const digit *ad = L(a)->ob_digit;
    for (int i = 0, j = wordshift; i < newsize; i++, j++) {
        z->ob_digit[i] = (digit)((ad[j] >> loshift) & lomask);
        if (i + 1 < newsize) z->ob_digit[i] |= (digit)((ad[j + 1] << hishift) & himask);
    }
    return (ZvObject *)long_normalize(z);
}

static ZvObject *long_lshift(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t shiftby = ZvLong_AsLong(b.get());
    if (shiftby == -1 && ZvErr_Occurred()) return nullptr;
    if (shiftby < 0) return negative_shift();
    if (L(a)->ob_size == 0) return ZvLong_FromLong(0);
    const int wordshift = shiftby / SHIFT, remshift = shiftby % SHIFT;
    const int oldsize = abs_size(L(a));
    const long long newsize = (long long)oldsize + wordshift + (remshift ? 1 : 0);
    if (newsize > INT32_MAX) return ZvErr_NoMemory();
    ZvLongObject *z = _ZvLong_New((int)newsize);
    if (z == nullptr) return nullptr;
    if (L(a)->ob_size < 0) z->ob_size = -z->ob_size;
    memset(z->ob_digit, 0, (size_t)wordshift * sizeof(digit));
    twodigits accum = 0;
    int i = wordshift;
    for (int j = 0; j < oldsize; i++, j++) {
        accum |= (twodigits)L(a)->ob_digit[j] << remshift;
        z->ob_digit[i] = (digit)(accum & MASK);
        accum >>= SHIFT;
    }
    if (remshift) z->ob_digit[newsize - 1] = (digit)accum;
    return (ZvObject *)long_normalize(z);
}

/* and, or, xor on the infinite two's-complement forms.  A negative operand
 * is replaced by its complement (non-negative) with an all-ones mask; De
 * Morgan's laws turn every case into one loop over digits. */
static ZvObject *long_bitwise(ZvLongObject *a, int op, ZvLongObject *b)
{
    Ref ra, rb;
    digit maska = 0, maskb = 0;
    if (a->ob_size < 0) {
        ra.reset(long_invert((ZvObject *)a));
        if (!ra) return nullptr;
        maska = MASK;
    } else
        ra = Ref::borrow((ZvObject *)a);
    if (b->ob_size < 0) {
        rb.reset(long_invert((ZvObject *)b));
        if (!rb) return nullptr;
        maskb = MASK;
    } else
        rb = Ref::borrow((ZvObject *)b);
    a = L(ra);
    b = L(rb);

    bool negz = false;
    switch (op) {
    case '^':
        if (maska != maskb) {
            maska ^= MASK;
            negz = true;
        }
        break;
    case '&':
        if (maska && maskb) {
            op = '|';
            maska ^= MASK;
            maskb ^= MASK;
            negz = true;
        }
        break;
    case '|':
        if (maska || maskb) {
            op = '&';
            maska ^= MASK;
            maskb ^= MASK;
            negz = true;
        }
        break;
    }
    /* Past its digits an operand reads as its mask: for '&' a zero mask
     * ends the result, for '|' and '^' the longer operand decides. */
    const int size_a = abs_size(a), size_b = abs_size(b);
    int size_z;
    if (op == '&')
        size_z = maska ? size_b : (maskb ? size_a : std::min(size_a, size_b));
    else
        size_z = std::max(size_a, size_b);
    ZvLongObject *z = _ZvLong_New(size_z);
    if (z == nullptr) return nullptr;
    for (int i = 0; i < size_z; ++i) {
        digit da = (digit)((i < size_a ? a->ob_digit[i] : 0) ^ maska);
        digit db = (digit)((i < size_b ? b->ob_digit[i] : 0) ^ maskb);
        switch (op) {
        case '&': z->ob_digit[i] = da & db; break;
        case '|': z->ob_digit[i] = da | db; break;
        default: z->ob_digit[i] = da ^ db; break;
        }
    }
    z = long_normalize(z);
    if (!negz) return (ZvObject *)z;
    Ref rz((ZvObject *)z);
    return long_invert(rz.get());
}

static ZvObject *long_and(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return long_bitwise(L(a), '&', L(b));
}

static ZvObject *long_xor(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return long_bitwise(L(a), '^', L(b));
}

static ZvObject *long_or(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return long_bitwise(L(a), '|', L(b));
}

static int long_coerce(ZvObject **pv, ZvObject **pw)
{
    if (ZvInt_Check(*pw)) {
        ZvObject *w = ZvLong_FromLong(ZvInt_AS_LONG(*pw));
        if (w == nullptr) return -1;
        *pw = w;
        Zv_INCREF(*pv);
        return 0;
    }
    if (ZvLong_Check(*pw)) {
        Zv_INCREF(*pv);
        Zv_INCREF(*pw);
        return 0;
    }
    return 1;
}

static ZvObject *long_int(ZvObject *v)
{
    int32_t x = ZvLong_AsLong(v);
    if (x == -1 && ZvErr_Occurred()) {
        if (!ZvErr_ExceptionMatches(ZvExc_OverflowError)) return nullptr;
        /* Too large for an int: int() of it stays a long. */
        ZvErr_Clear();
        return long_pos(v);
    }
    return ZvInt_FromLong(x);
}

static ZvObject *long_long(ZvObject *v)
{
    Zv_INCREF(v);
    return v;
}

static ZvObject *long_float(ZvObject *v)
{
    double result = ZvLong_AsDouble(v);
    if (result == -1.0 && ZvErr_Occurred()) return nullptr;
    return ZvFloat_FromDouble(result);
}

static ZvObject *long_oct(ZvObject *v) { return _ZvLong_Format(v, 8, 1); }

static ZvObject *long_hex(ZvObject *v) { return _ZvLong_Format(v, 16, 1); }

/* --- construction ---------------------------------------------------------- */

static ZvObject *long_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds);

/* A subtype instance with the digits long(*args) would give. */
static ZvObject *long_subtype_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    Ref tmp(long_new(&ZvLong_Type, args, kwds));
    if (!tmp) return nullptr;
    if (ZvInt_Check(tmp.get())) { /* nb_long may answer with an int */
        tmp = Ref(ZvLong_FromLong(ZvInt_AS_LONG(tmp.get())));
        if (!tmp) return nullptr;
    }
    const int n = abs_size(L(tmp));
    auto *newobj = (ZvLongObject *)type->tp_alloc(type, n);
    if (newobj == nullptr) return nullptr;
    newobj->ob_size = L(tmp)->ob_size;
    memcpy(newobj->ob_digit, L(tmp)->ob_digit, (size_t)n * sizeof(digit));
    return (ZvObject *)newobj;
}

static ZvObject *long_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    if (type != &ZvLong_Type) return long_subtype_new(type, args, kwds);
    ZvObject *x = nullptr;
    const int nobase = -909;
    int base = nobase;
    static const char *kwlist[] = {"x", "base", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|Oi:long", (char **)kwlist, &x, &base))
        return nullptr;
    if (x == nullptr) return ZvLong_FromLong(0);
    if (base == nobase) return ZvNumber_Long(x);
    if (ZvString_Check(x)) return ZvLong_FromString(ZvString_AS_STRING(x), nullptr, base);
    ZvErr_SetString(ZvExc_TypeError, "long() can't convert non-string with explicit base");
    return nullptr;
}

static ZvObject *long_getnewargs(ZvObject *v, ZvObject *)
{
    return Zv_BuildValue("(N)", _ZvLong_Copy((ZvLongObject *)v));
}

static ZvMethodDef long_methods[] = {
    {"__getnewargs__", long_getnewargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static ZvNumberMethods long_as_number = {
    long_add,         /* nb_add */
    long_sub,         /* nb_subtract */
    long_mul,         /* nb_multiply */
    long_classic_div, /* nb_divide */
    long_mod,         /* nb_remainder */
    long_divmod,      /* nb_divmod */
    long_pow,         /* nb_power */
    long_neg,         /* nb_negative */
    long_pos,         /* nb_positive */
    long_abs,         /* nb_absolute */
    long_nonzero,     /* nb_nonzero */
    long_invert,      /* nb_invert */
    long_lshift,      /* nb_lshift */
    long_rshift,      /* nb_rshift */
    long_and,         /* nb_and */
    long_xor,         /* nb_xor */
    long_or,          /* nb_or */
    long_coerce,      /* nb_coerce */
    long_int,         /* nb_int */
    long_long,        /* nb_long */
    long_float,       /* nb_float */
    long_oct,         /* nb_oct */
    long_hex,         /* nb_hex */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* in-place add .. remainder */
    nullptr, nullptr, nullptr, nullptr,          /* in-place power .. and */
    nullptr, nullptr,                            /* in-place xor, or */
    long_div,                                    /* nb_floor_divide */
    long_true_divide,                            /* nb_true_divide */
    nullptr, nullptr,                            /* in-place floor, true divide */
};

static const char long_doc[] =
    "long(x[, base]) -> integer\n"
    "\n"
    "Convert a string or number to a long integer, if possible.  A floating\n"
    "point argument will be truncated towards zero (this does not include a\n"
    "string representation of a floating point number!)  When converting a\n"
    "string, use the optional base.  It is an error to supply a base when\n"
    "converting a non-string.";

ZvTypeObject ZvLong_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "long",                              /* tp_name */
    offsetof(ZvLongObject, ob_digit),    /* tp_basicsize */
    sizeof(digit),                       /* tp_itemsize */
    long_dealloc,                        /* tp_dealloc */
    nullptr,                             /* tp_print */
    nullptr,                             /* tp_getattr */
    nullptr,                             /* tp_setattr */
    long_compare,                        /* tp_compare */
    long_repr,                           /* tp_repr */
    &long_as_number,                     /* tp_as_number */
    nullptr,                             /* tp_as_sequence */
    nullptr,                             /* tp_as_mapping */
    long_hash,                           /* tp_hash */
    nullptr,                             /* tp_call */
    long_str,                            /* tp_str */
    ZvObject_GenericGetAttr,             /* tp_getattro */
    nullptr,                             /* tp_setattro */
    nullptr,                             /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    long_doc,                            /* tp_doc */
    nullptr,                             /* tp_traverse */
    nullptr,                             /* tp_clear */
    nullptr,                             /* tp_richcompare */
    0,                                   /* tp_weaklistoffset */
    nullptr,                             /* tp_iter */
    nullptr,                             /* tp_iternext */
    long_methods,                        /* tp_methods */
    nullptr,                             /* tp_members */
    nullptr,                             /* tp_getset */
    nullptr,                             /* tp_base */
    nullptr,                             /* tp_dict */
    nullptr,                             /* tp_descr_get */
    nullptr,                             /* tp_descr_set */
    0,                                   /* tp_dictoffset */
    nullptr,                             /* tp_init */
    ZvType_GenericAlloc,                 /* tp_alloc */
    long_new,                            /* tp_new */
    ZvObject_Free,                       /* tp_free */
};

} // extern "C"
