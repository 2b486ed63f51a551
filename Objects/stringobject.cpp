/* The byte-string type `str` and its abstract base `basestring`.
 *
 * A string is one allocation: the variable-size header, the cached hash
 * (ob_shash, -1 until computed), the interning state (ob_sstate) and the
 * bytes, always followed by one NUL that is not part of the value.  A
 * string never changes once it has been handed out; only _ZvString_Resize
 * may touch a fresh string that has a single reference.
 *
 * Three caches make the common strings cheap: `nullstring` (the empty
 * string), `characters` (one string per byte value) and `interned`, a
 * dictionary mapping each interned string to itself.  The dictionary's two
 * references to a mortal interned string are not counted in its ob_refcnt,
 * so an interned string still dies when its last user lets go; its
 * deallocator then removes it from the dictionary.  The caches fill lazily
 * and are emptied at shut-down.
 *
 * This file holds construction, access, interning and the type's slots;
 * the methods live in stringmethods.cpp and the `%` operator's engine in
 * stringformat.cpp. */
#include "zuvo.h"

#include "stringlib.h"
#include "zvref.h"

#include <ctype.h>
#include <inttypes.h>
#include <limits.h>
#include <string.h>

using zv::strlib::kMaxSize;

extern "C" {

static ZvStringObject *characters[UCHAR_MAX + 1];
static ZvStringObject *nullstring;
static ZvObject *interned;

/* --- construction -------------------------------------------------------- */

/* A fresh, unshared string of `size` bytes whose contents the caller fills. */
static ZvStringObject *string_alloc(int size)
{
    if (size > kMaxSize) return (ZvStringObject *)ZvErr_NoMemory();
    auto *op = (ZvStringObject *)ZvObject_Malloc(offsetof(ZvStringObject, ob_sval) +
                                                 (size_t)size + 1);
    if (op == nullptr) return (ZvStringObject *)ZvErr_NoMemory();
    ZvObject_InitVar((ZvVarObject *)op, &ZvString_Type, size);
    op->ob_shash = -1;
    op->ob_sstate = SSTATE_NOT_INTERNED;
    op->ob_sval[size] = '\0';
    return op;
}

/* Interns a new cache entry and gives the cache its own reference. */
static ZvStringObject *cache_entry(ZvStringObject *op, ZvStringObject **slot)
{
    ZvObject *t = (ZvObject *)op;
    ZvString_InternInPlace(&t);
    *slot = (ZvStringObject *)t;
    Zv_INCREF(t);
    return (ZvStringObject *)t;
}

ZvObject *ZvString_FromStringAndSize(const char *str, int size)
{
    if (size < 0) {
        ZvErr_SetString(ZvExc_SystemError,
                        "Negative size passed to ZvString_FromStringAndSize");
        return nullptr;
    }
    if (size == 0 && nullstring != nullptr) {
        Zv_INCREF(nullstring);
        return (ZvObject *)nullstring;
    }
    if (size == 1 && str != nullptr) {
        ZvStringObject *op = characters[(unsigned char)*str];
        if (op != nullptr) {
            Zv_INCREF(op);
            return (ZvObject *)op;
        }
    }
    ZvStringObject *op = string_alloc(size);
    if (op == nullptr) return nullptr;
    if (str != nullptr) memcpy(op->ob_sval, str, (size_t)size);
    if (size == 0) return (ZvObject *)cache_entry(op, &nullstring);
    if (size == 1 && str != nullptr)
        return (ZvObject *)cache_entry(op, &characters[(unsigned char)*str]);
    return (ZvObject *)op;
}

ZvObject *ZvString_FromString(const char *str)
{
    if (str == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    size_t size = strlen(str);
    if (size > (size_t)INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "string is too long for a Zuvo string");
        return nullptr;
    }
    return ZvString_FromStringAndSize(str, (int)size);
}

/* --- printf-like construction -------------------------------------------- */

} // extern "C"

namespace {

/* One conversion of a ZvString_FromFormat format: after the '%', optional
 * width digits (read and ignored), an optional precision, an optional 'l'
 * before d, i or x, and the conversion character ('\0' at the end of the
 * format, which counts as unknown).  Both passes read the format through
 * this one parser, so the sizing pass can never undercount what the
 * writing pass produces. */
struct Conversion {
    int precision = -1;
    bool longflag = false;
    char conv = '\0';
    const char *end = nullptr; /* the conversion character */
};

Conversion parse_conversion(const char *f)
{
    Conversion c;
    while (isdigit((unsigned char)*f)) f++;
    if (*f == '.') {
        c.precision = 0;
        /* Capped so that a silly precision cannot overflow. */
        for (f++; isdigit((unsigned char)*f); f++)
            if (c.precision < 100000000) c.precision = c.precision * 10 + (*f - '0');
    }
    if (*f == 'l' && (f[1] == 'd' || f[1] == 'i' || f[1] == 'x')) {
        c.longflag = true;
        f++;
    }
    c.conv = *f;
    c.end = f;
    return c;
}

const char *format_arg_text(const char *s) { return s != nullptr ? s : "(null)"; }

/* Bytes the conversion may need; consumes its argument.  -1 for an unknown
 * conversion, which ends formatting. */
long long conversion_bound(const Conversion &c, va_list *ap)
{
    switch (c.conv) {
    case 'c': (void)va_arg(*ap, int); return 1;
    case '%': return 1;
    case 'd':
    case 'i':
    case 'x':
        if (c.longflag)
            (void)va_arg(*ap, long);
        else
            (void)va_arg(*ap, int);
        return 20;
    case 's': return (long long)strlen(format_arg_text(va_arg(*ap, const char *)));
    case 'p': (void)va_arg(*ap, void *); return 19;
    default: return -1;
    }
}

/* Writes one known conversion at s; returns the number of bytes written. */
size_t write_conversion(const Conversion &c, va_list *ap, char *s)
{
    char buf[32];
    int n = 0;
    switch (c.conv) {
    case 'c': *s = (char)va_arg(*ap, int); return 1;
    case '%': *s = '%'; return 1;
    case 'd':
    case 'i':
        if (c.longflag)
            n = snprintf(buf, sizeof buf, "%ld", va_arg(*ap, long));
        else
            n = snprintf(buf, sizeof buf, "%d", va_arg(*ap, int));
        break;
    case 'x':
        if (c.longflag)
            n = snprintf(buf, sizeof buf, "%lx", va_arg(*ap, unsigned long));
        else
            n = snprintf(buf, sizeof buf, "%x", va_arg(*ap, unsigned int));
        break;
    case 's': {
        const char *arg = format_arg_text(va_arg(*ap, const char *));
        size_t len = strlen(arg);
        if (c.precision >= 0 && (size_t)c.precision < len) len = (size_t)c.precision;
        memcpy(s, arg, len);
        return len;
    }
    case 'p':
        /* Always "0x" and the hex digits, whatever the C library prints
         * for %p (glibc writes "(nil)" for a null pointer). */
        n = snprintf(buf, sizeof buf, "0x%" PRIxPTR, (uintptr_t)va_arg(*ap, void *));
        break;
    default: return 0;
    }
    memcpy(s, buf, (size_t)n);
    return (size_t)n;
}

} // namespace

extern "C" {

ZvObject *ZvString_FromFormatV(const char *format, va_list vargs)
{
    if (format == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    /* First pass: an upper bound of the length. */
    va_list count;
    va_copy(count, vargs);
    long long n = 0;
    for (const char *f = format; *f && n <= kMaxSize; f++) {
        if (*f != '%') {
            n++;
            continue;
        }
        Conversion c = parse_conversion(f + 1);
        long long k = conversion_bound(c, &count);
        if (k < 0) {
            n += (long long)strlen(f);
            break;
        }
        n += k;
        f = c.end;
    }
    va_end(count);
    if (n > kMaxSize) return ZvErr_NoMemory();

    /* Second pass: format into a fresh string of that size. */
    ZvStringObject *op = string_alloc((int)n);
    if (op == nullptr) return nullptr;
    va_list ap;
    va_copy(ap, vargs);
    char *s = op->ob_sval;
    for (const char *f = format; *f; f++) {
        if (*f != '%') {
            *s++ = *f;
            continue;
        }
        Conversion c = parse_conversion(f + 1);
        if (strchr("cdixsp%", c.conv) == nullptr || c.conv == '\0') {
            /* Unknown conversion: the rest of the format is copied as it
             * stands and formatting ends. */
            size_t len = strlen(f);
            memcpy(s, f, len);
            s += len;
            break;
        }
        s += write_conversion(c, &ap, s);
        f = c.end;
    }
    va_end(ap);
    int len = (int)(s - op->ob_sval);
    if (len <= 1) {
        /* Share the cached empty and one-byte strings. */
        ZvObject *r = ZvString_FromStringAndSize(op->ob_sval, len);
        Zv_DECREF(op);
        return r;
    }
    ZvObject *r = (ZvObject *)op;
    if (_ZvString_Resize(&r, len) < 0) return nullptr;
    return r;
}

ZvObject *ZvString_FromFormat(const char *format, ...)
{
    va_list vargs;
    va_start(vargs, format);
    ZvObject *ret = ZvString_FromFormatV(format, vargs);
    va_end(vargs);
    return ret;
}

/* --- access -------------------------------------------------------------- */

int ZvString_AsStringAndSize(ZvObject *obj, char **s, int *len)
{
    if (obj == nullptr || s == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    /* A unicode object will be read through its cached default-encoded
     * string here once that type exists. */
    if (!ZvString_Check(obj)) {
        ZvErr_Format(ZvExc_TypeError, "expected string or Unicode object, %.200s found",
                     Zv_TYPE(obj)->tp_name);
        return -1;
    }
    *s = ZvString_AS_STRING(obj);
    if (len != nullptr) {
        *len = ZvString_GET_SIZE(obj);
    } else if (memchr(*s, '\0', (size_t)ZvString_GET_SIZE(obj)) != nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "expected string without null bytes");
        return -1;
    }
    return 0;
}

int ZvString_Size(ZvObject *op)
{
    if (op != nullptr && ZvString_Check(op)) return ZvString_GET_SIZE(op);
    char *s;
    int len;
    if (ZvString_AsStringAndSize(op, &s, &len)) return -1;
    return len;
}

char *ZvString_AsString(ZvObject *op)
{
    if (op != nullptr && ZvString_Check(op)) return ZvString_AS_STRING(op);
    char *s;
    int len;
    if (ZvString_AsStringAndSize(op, &s, &len)) return nullptr;
    return s;
}

int _ZvString_Resize(ZvObject **pv, int newsize)
{
    ZvObject *v = pv != nullptr ? *pv : nullptr;
    /* Only an exact string is reallocated in place: an instance of a
     * subclass comes from the generic allocator with the collector's
     * header in front of it and its dictionary slot after the bytes, so
     * its address is not a block this allocator handed out.  It is
     * refused like a shared string. */
    if (v == nullptr || !ZvString_CheckExact(v) || Zv_REFCNT(v) != 1 || newsize < 0 ||
        newsize > kMaxSize || ZvString_CHECK_INTERNED(v)) {
        if (pv != nullptr) *pv = nullptr;
        Zv_XDECREF(v);
        ZvErr_BadInternalCall();
        return -1;
    }
    auto *sv = (ZvStringObject *)ZvObject_Realloc(v, offsetof(ZvStringObject, ob_sval) +
                                                        (size_t)newsize + 1);
    if (sv == nullptr) {
        *pv = nullptr;
        ZvObject_Free(v);
        ZvErr_NoMemory();
        return -1;
    }
    sv->ob_size = newsize;
    sv->ob_sval[newsize] = '\0';
    sv->ob_shash = -1;
    *pv = (ZvObject *)sv;
    return 0;
}

ZvObject *_ZvString_SelfOrCopy(ZvObject *self)
{
    if (ZvString_CheckExact(self)) {
        Zv_INCREF(self);
        return self;
    }
    return ZvString_FromStringAndSize(ZvString_AS_STRING(self), ZvString_GET_SIZE(self));
}

/* --- hashing and comparison ---------------------------------------------- */

static Zv_hash_t string_hash(ZvObject *o)
{
    auto *a = (ZvStringObject *)o;
    if (a->ob_shash != -1) return a->ob_shash;
    int len = a->ob_size;
    auto *p = (const unsigned char *)a->ob_sval;
    /* The empty string reads its NUL terminator here, so it hashes to 0. */
    uint32_t x = (uint32_t)*p << 7;
    while (--len >= 0) x = (1000003u * x) ^ *p++;
    x ^= (uint32_t)a->ob_size;
    Zv_hash_t h = (Zv_hash_t)x;
    if (h == -1) h = -2;
    a->ob_shash = h;
    return h;
}

int _ZvString_Eq(ZvObject *o1, ZvObject *o2)
{
    auto *a = (ZvStringObject *)o1, *b = (ZvStringObject *)o2;
    return a->ob_size == b->ob_size && *a->ob_sval == *b->ob_sval &&
           memcmp(a->ob_sval, b->ob_sval, (size_t)a->ob_size) == 0;
}

static ZvObject *string_richcompare(ZvObject *a, ZvObject *b, int op)
{
    if (!ZvString_Check(a) || !ZvString_Check(b)) Zv_RETURN_NOTIMPLEMENTED;
    int c;
    if (a == b) {
        c = (op == Zv_EQ || op == Zv_LE || op == Zv_GE);
    } else if (op == Zv_EQ || op == Zv_NE) {
        c = _ZvString_Eq(a, b);
        if (op == Zv_NE) c = !c;
    } else {
        int len_a = ZvString_GET_SIZE(a), len_b = ZvString_GET_SIZE(b);
        int min_len = len_a < len_b ? len_a : len_b;
        int d = 0;
        if (min_len > 0) {
            d = (unsigned char)*ZvString_AS_STRING(a) - (unsigned char)*ZvString_AS_STRING(b);
            if (d == 0) d = memcmp(ZvString_AS_STRING(a), ZvString_AS_STRING(b), (size_t)min_len);
        }
        if (d == 0) d = (len_a < len_b) ? -1 : (len_a > len_b) ? 1 : 0;
        switch (op) {
        case Zv_LT: c = d < 0; break;
        case Zv_LE: c = d <= 0; break;
        case Zv_GT: c = d > 0; break;
        default: c = d >= 0; break;
        }
    }
    return ZvBool_FromLong(c);
}

/* --- repr and print ------------------------------------------------------ */

static const char hexdigits[] = "0123456789abcdef";

/* The quote character of the repr: an apostrophe, unless smart quoting is
 * asked for and the text holds an apostrophe but no double quote. */
static char repr_quote(const ZvStringObject *op, int smartquotes)
{
    if (smartquotes && memchr(op->ob_sval, '\'', (size_t)op->ob_size) != nullptr &&
        memchr(op->ob_sval, '"', (size_t)op->ob_size) == nullptr)
        return '"';
    return '\'';
}

/* Writes the escaped form of byte c (quoted with `quote`) at p; returns the
 * number of bytes written (1 to 4). */
static int repr_byte(unsigned char c, char quote, char *p)
{
    if (c == (unsigned char)quote || c == '\\') {
        p[0] = '\\';
        p[1] = (char)c;
        return 2;
    }
    char e = c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\0';
    if (e != '\0') {
        p[0] = '\\';
        p[1] = e;
        return 2;
    }
    if (c < ' ' || c >= 0x7f) {
        p[0] = '\\';
        p[1] = 'x';
        p[2] = hexdigits[c >> 4];
        p[3] = hexdigits[c & 0xf];
        return 4;
    }
    p[0] = (char)c;
    return 1;
}

ZvObject *ZvString_Repr(ZvObject *obj, int smartquotes)
{
    if (obj == nullptr || !ZvString_Check(obj)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *op = (ZvStringObject *)obj;
    long long newsize = 2 + 4 * (long long)op->ob_size;
    if (newsize > INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "string is too large to make repr");
        return nullptr;
    }
    ZvStringObject *v = string_alloc((int)newsize);
    if (v == nullptr) return nullptr;
    char quote = repr_quote(op, smartquotes);
    char *p = v->ob_sval;
    *p++ = quote;
    for (int i = 0; i < op->ob_size; i++) p += repr_byte((unsigned char)op->ob_sval[i], quote, p);
    *p++ = quote;
    ZvObject *r = (ZvObject *)v;
    if (_ZvString_Resize(&r, (int)(p - v->ob_sval)) < 0) return nullptr;
    return r;
}

static ZvObject *string_repr(ZvObject *op) { return ZvString_Repr(op, 1); }

static ZvObject *string_str(ZvObject *s) { return _ZvString_SelfOrCopy(s); }

/* Writes the bytes of op, raw or in repr form. */
static int print_bytes(const ZvStringObject *op, FILE *fp, int flags)
{
    if (flags & Zv_PRINT_RAW) {
        fwrite(op->ob_sval, 1, (size_t)op->ob_size, fp);
        return 0;
    }
    char quote = repr_quote(op, 1);
    char buf[4];
    fputc(quote, fp);
    for (int i = 0; i < op->ob_size; i++)
        fwrite(buf, 1, (size_t)repr_byte((unsigned char)op->ob_sval[i], quote, buf), fp);
    fputc(quote, fp);
    return 0;
}

static int string_print(ZvObject *obj, FILE *fp, int flags)
{
    if (ZvString_CheckExact(obj)) return print_bytes((ZvStringObject *)obj, fp, flags);
    /* A subtype prints what str() makes of it (always a string). */
    zv::Ref s(ZvObject_Str(obj));
    if (!s) return -1;
    return print_bytes((ZvStringObject *)s.get(), fp, flags);
}

/* --- concatenation and repetition ---------------------------------------- */

static ZvObject *string_concat(ZvObject *a, ZvObject *bb)
{
    /* A unicode right operand will hand the whole operation to the unicode
     * concatenation here once that type exists. */
    if (!ZvString_Check(bb)) {
        ZvErr_Format(ZvExc_TypeError, "cannot concatenate 'str' and '%.200s' objects",
                     Zv_TYPE(bb)->tp_name);
        return nullptr;
    }
    int la = ZvString_GET_SIZE(a), lb = ZvString_GET_SIZE(bb);
    if ((la == 0 || lb == 0) && ZvString_CheckExact(a) && ZvString_CheckExact(bb)) {
        ZvObject *r = lb == 0 ? a : bb;
        Zv_INCREF(r);
        return r;
    }
    if (la > kMaxSize - lb) {
        ZvErr_SetString(ZvExc_OverflowError, "strings are too large to concat");
        return nullptr;
    }
    ZvObject *op = ZvString_FromStringAndSize(nullptr, la + lb);
    if (op == nullptr) return nullptr;
    memcpy(ZvString_AS_STRING(op), ZvString_AS_STRING(a), (size_t)la);
    memcpy(ZvString_AS_STRING(op) + la, ZvString_AS_STRING(bb), (size_t)lb);
    return op;
}

void ZvString_Concat(ZvObject **pv, ZvObject *w)
{
    if (pv == nullptr || *pv == nullptr) return;
    if (w == nullptr || !ZvString_Check(*pv)) {
        /* Report the failure unless the caller's own error is pending (a
         * NULL w is usually a failed construction). */
        if (!ZvErr_Occurred()) ZvErr_BadInternalCall();
        Zv_CLEAR(*pv);
        return;
    }
    ZvObject *v = *pv;
    /* Appending to a string nobody else holds grows it in place, which
     * makes building a string piece by piece linear rather than quadratic. */
    if (ZvString_CheckExact(v) && Zv_REFCNT(v) == 1 && !ZvString_CHECK_INTERNED(v) &&
        w != v && ZvString_CheckExact(w) && ZvString_GET_SIZE(w) > 0) {
        int la = ZvString_GET_SIZE(v), lb = ZvString_GET_SIZE(w);
        if (la > kMaxSize - lb) {
            ZvErr_SetString(ZvExc_OverflowError, "strings are too large to concat");
            Zv_CLEAR(*pv);
            return;
        }
        if (_ZvString_Resize(pv, la + lb) < 0) return;
        memcpy(ZvString_AS_STRING(*pv) + la, ZvString_AS_STRING(w), (size_t)lb);
        return;
    }
    *pv = string_concat(v, w);
    Zv_DECREF(v);
}

void ZvString_ConcatAndDel(ZvObject **pv, ZvObject *w)
{
    ZvString_Concat(pv, w);
    Zv_XDECREF(w);
}

static ZvObject *string_repeat(ZvObject *a, int n)
{
    if (n < 0) n = 0;
    int len = ZvString_GET_SIZE(a);
    long long size = (long long)len * n;
    if (size > kMaxSize) {
        ZvErr_SetString(ZvExc_OverflowError, "repeated string is too long");
        return nullptr;
    }
    if (size == len && ZvString_CheckExact(a)) {
        Zv_INCREF(a);
        return a;
    }
    const char *src = ZvString_AS_STRING(a);
    if (size <= 1) return ZvString_FromStringAndSize(src, (int)size);
    ZvObject *op = ZvString_FromStringAndSize(nullptr, (int)size);
    if (op == nullptr) return nullptr;
    char *dst = ZvString_AS_STRING(op);
    if (len == 1) {
        memset(dst, src[0], (size_t)size);
        return op;
    }
    /* Copy once, then double the filled part until it covers the result. */
    memcpy(dst, src, (size_t)len);
    for (long long done = len; done < size;) {
        long long chunk = done <= size - done ? done : size - done;
        memcpy(dst + done, dst, (size_t)chunk);
        done += chunk;
    }
    return op;
}

/* --- sequence and mapping access ----------------------------------------- */

static int string_length(ZvObject *a) { return ZvString_GET_SIZE(a); }

static int string_contains(ZvObject *s, ZvObject *el)
{
    /* A unicode element will hand the test to the unicode membership test
     * here once that type exists. */
    if (!ZvString_Check(el)) {
        ZvErr_SetString(ZvExc_TypeError, "'in <string>' requires string as left operand");
        return -1;
    }
    return zv::strlib::find(ZvString_AS_STRING(s), ZvString_GET_SIZE(s),
                            ZvString_AS_STRING(el), ZvString_GET_SIZE(el)) >= 0;
}

static ZvObject *string_item(ZvObject *a, int i)
{
    if (i < 0 || i >= ZvString_GET_SIZE(a)) {
        ZvErr_SetString(ZvExc_IndexError, "string index out of range");
        return nullptr;
    }
    return ZvString_FromStringAndSize(ZvString_AS_STRING(a) + i, 1);
}

static ZvObject *string_slice(ZvObject *a, int i, int j)
{
    int len = ZvString_GET_SIZE(a);
    if (i < 0) i = 0;
    if (j < 0) j = 0;
    if (j > len) j = len;
    if (i == 0 && j == len && ZvString_CheckExact(a)) {
        Zv_INCREF(a);
        return a;
    }
    if (j < i) j = i;
    return ZvString_FromStringAndSize(ZvString_AS_STRING(a) + i, j - i);
}

int _ZvString_SliceIndex(ZvObject *v, void *pi)
{
    if (v == nullptr || v == Zv_None) return 1;
    return _ZvEval_SliceIndex(v, (int *)pi);
}

/* s[i] with the length added once to a negative index (a long index is
 * clipped, so it always lands out of range), or s[start:stop:step]. */
static ZvObject *string_subscript(ZvObject *self, ZvObject *item)
{
    if (ZvInt_Check(item) || ZvLong_Check(item)) {
        int i = 0;
        if (!_ZvEval_SliceIndex(item, &i)) return nullptr;
        if (i < 0) i += ZvString_GET_SIZE(self);
        return string_item(self, i);
    }
    if (!ZvSlice_Check(item)) {
        ZvErr_SetString(ZvExc_TypeError, "string indices must be integers");
        return nullptr;
    }
    int start, stop, step, slicelength;
    if (ZvSlice_GetIndicesEx((ZvSliceObject *)item, ZvString_GET_SIZE(self), &start, &stop,
                             &step, &slicelength) < 0)
        return nullptr;
    if (slicelength <= 0) return ZvString_FromStringAndSize("", 0);
    if (step == 1) return ZvString_FromStringAndSize(ZvString_AS_STRING(self) + start, slicelength);
    ZvObject *result = ZvString_FromStringAndSize(nullptr, slicelength);
    if (result == nullptr) return nullptr;
    const char *src = ZvString_AS_STRING(self);
    char *dst = ZvString_AS_STRING(result);
    /* 64 bits: one step past the last byte can leave the int range. */
    int64_t cur = start;
    for (int i = 0; i < slicelength; cur += step, i++) dst[i] = src[cur];
    return result;
}

/* --- buffer interface ---------------------------------------------------- */

static int string_buffer_getreadbuf(ZvObject *self, int index, void **ptr)
{
    if (index != 0) {
        ZvErr_SetString(ZvExc_SystemError, "accessing non-existent string segment");
        return -1;
    }
    *ptr = ZvString_AS_STRING(self);
    return ZvString_GET_SIZE(self);
}

static int string_buffer_getwritebuf(ZvObject *, int, void **)
{
    ZvErr_SetString(ZvExc_TypeError, "Cannot use string as modifiable buffer");
    return -1;
}

static int string_buffer_getsegcount(ZvObject *self, int *lenp)
{
    if (lenp != nullptr) *lenp = ZvString_GET_SIZE(self);
    return 1;
}

static int string_buffer_getcharbuf(ZvObject *self, int index, const char **ptr)
{
    if (index != 0) {
        ZvErr_SetString(ZvExc_SystemError, "accessing non-existent string segment");
        return -1;
    }
    *ptr = ZvString_AS_STRING(self);
    return ZvString_GET_SIZE(self);
}

/* --- interning ----------------------------------------------------------- */

void ZvString_InternInPlace(ZvObject **p)
{
    ZvObject *s = p != nullptr ? *p : nullptr;
    if (s == nullptr || !ZvString_Check(s))
        Zv_FatalError("ZvString_InternInPlace: strings only please!");
    if (!ZvString_CheckExact(s)) return;
    if (ZvString_CHECK_INTERNED(s)) return;
    if (interned == nullptr) {
        interned = ZvDict_New();
        if (interned == nullptr) {
            ZvErr_Clear();
            return;
        }
    }
    ZvObject *t = ZvDict_GetItem(interned, s);
    if (t != nullptr) {
        Zv_INCREF(t);
        Zv_DECREF(*p);
        *p = t;
        return;
    }
    if (ZvDict_SetItem(interned, s, s) < 0) {
        ZvErr_Clear();
        /* A failed growth still stores the pair; the string then counts
         * as interned, since the table holds only strings marked so. */
        if (ZvDict_GetItem(interned, s) != s) return;
    }
    /* The two references held by the dictionary are not counted. */
    s->ob_refcnt -= 2;
    ((ZvStringObject *)s)->ob_sstate = SSTATE_INTERNED_MORTAL;
}

void ZvString_InternImmortal(ZvObject **p)
{
    ZvString_InternInPlace(p);
    if (ZvString_CHECK_INTERNED(*p) != SSTATE_INTERNED_IMMORTAL) {
        ((ZvStringObject *)*p)->ob_sstate = SSTATE_INTERNED_IMMORTAL;
        Zv_INCREF(*p);
    }
}

ZvObject *ZvString_InternFromString(const char *cp)
{
    ZvObject *s = ZvString_FromString(cp);
    if (s == nullptr) return nullptr;
    ZvString_InternInPlace(&s);
    return s;
}

static void string_dealloc(ZvObject *op)
{
    switch (ZvString_CHECK_INTERNED(op)) {
    case SSTATE_NOT_INTERNED: break;
    case SSTATE_INTERNED_MORTAL:
        /* Revive the two uncounted dictionary references plus one for the
         * duration of the deletion, so it cannot re-enter this function. */
        op->ob_refcnt = 3;
        if (ZvDict_DelItem(interned, op) != 0) Zv_FatalError("deletion of interned string failed");
        break;
    case SSTATE_INTERNED_IMMORTAL: Zv_FatalError("Immortal interned string died.");
    default: Zv_FatalError("Inconsistent interned string state.");
    }
    Zv_TYPE(op)->tp_free(op);
}

void _Zv_ReleaseInternedStrings(void)
{
    if (interned == nullptr || !ZvDict_Check(interned)) return;
    ZvObject *keys = ZvDict_Keys(interned);
    if (keys == nullptr) {
        ZvErr_Clear();
        return;
    }
    /* Only under -v: every program's error stream would otherwise end with
     * this line. */
    if (Zv_VerboseFlag) fprintf(stderr, "releasing interned strings\n");
    int n = ZvList_GET_SIZE(keys);
    for (int i = 0; i < n; i++) {
        auto *s = (ZvStringObject *)ZvList_GET_ITEM(keys, i);
        switch (s->ob_sstate) {
        case SSTATE_INTERNED_IMMORTAL: s->ob_refcnt += 1; break;
        case SSTATE_INTERNED_MORTAL: s->ob_refcnt += 2; break;
        default: Zv_FatalError("Inconsistent interned string state.");
        }
        s->ob_sstate = SSTATE_NOT_INTERNED;
    }
    Zv_DECREF(keys);
    ZvDict_Clear(interned);
    Zv_CLEAR(interned);
}

void ZvString_Fini(void)
{
    for (ZvStringObject *&c : characters) Zv_CLEAR(c);
    Zv_CLEAR(nullstring);
}

/* --- escape decoding ----------------------------------------------------- */

/* Whether an encoding name denotes UTF-8 ("utf-8", "UTF8", "utf_8"...). */
static bool is_utf8_name(const char *name)
{
    char norm[8];
    size_t n = 0;
    for (; name[n] != '\0'; n++) {
        if (n + 1 >= sizeof norm) return false;
        char c = (char)tolower((unsigned char)name[n]);
        norm[n] = c == '_' ? '-' : c;
    }
    norm[n] = '\0';
    return strcmp(norm, "utf-8") == 0 || strcmp(norm, "utf8") == 0;
}

/* Recodes a run of non-ASCII source bytes (UTF-8) into `encoding` at p;
 * returns the number of bytes written or -1 with an error set.  UTF-8 to
 * UTF-8 is the identity; every other target needs the codec registry, and
 * until that exists no other encoding is known. */
static int recode_run(const char *s, int n, const char *encoding, char *p)
{
    if (is_utf8_name(encoding)) {
        memcpy(p, s, (size_t)n);
        return n;
    }
    ZvErr_Format(ZvExc_LookupError, "unknown encoding: %.400s", encoding);
    return -1;
}

static int hexvalue(unsigned char c)
{
    return isdigit(c) ? c - '0' : tolower(c) - 'a' + 10;
}

/* Handles an invalid \x escape under the given error mode: 0 to go on,
 * -1 with ValueError set. */
static int bad_hex_escape(const char *errors, char **p)
{
    if (errors == nullptr || strcmp(errors, "strict") == 0) {
        ZvErr_SetString(ZvExc_ValueError, "invalid \\x escape");
        return -1;
    }
    if (strcmp(errors, "replace") == 0) {
        *(*p)++ = '?';
        return 0;
    }
    if (strcmp(errors, "ignore") == 0) return 0;
    ZvErr_Format(ZvExc_ValueError, "decoding error; unknown error handling code: %.400s",
                 errors);
    return -1;
}

static bool is_octal(char c) { return c >= '0' && c <= '7'; }

ZvObject *ZvString_DecodeEscape(const char *s, int len, const char *errors, int unicode,
                                const char *recode_encoding)
{
    (void)unicode; /* the flag only matters to the unicode escape decoder */
    if (len < 0 || (s == nullptr && len > 0)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    /* Every escape yields at most as many bytes as it spans; recoding may
     * widen a byte up to four times. */
    long long cap = recode_encoding != nullptr ? 4LL * len : len;
    if (cap > kMaxSize) return ZvErr_NoMemory();
    ZvStringObject *v = string_alloc((int)cap);
    if (v == nullptr) return nullptr;
    zv::Ref result((ZvObject *)v);
    char *p = v->ob_sval;
    const char *end = s + len;
    while (s < end) {
        if (*s != '\\') {
            if (recode_encoding != nullptr && (unsigned char)*s >= 0x80) {
                const char *t = s;
                while (t < end && (unsigned char)*t >= 0x80) t++;
                int w = recode_run(s, (int)(t - s), recode_encoding, p);
                if (w < 0) return nullptr;
                p += w;
                s = t;
                continue;
            }
            *p++ = *s++;
            continue;
        }
        if (++s == end) {
            ZvErr_SetString(ZvExc_ValueError, "Trailing \\ in string");
            return nullptr;
        }
        char c = *s++;
        switch (c) {
        case '\n': break; /* line continuation */
        case '\\': *p++ = '\\'; break;
        case '\'': *p++ = '\''; break;
        case '"': *p++ = '"'; break;
        case 'a': *p++ = '\a'; break;
        case 'b': *p++ = '\b'; break;
        case 'f': *p++ = '\f'; break;
        case 't': *p++ = '\t'; break;
        case 'n': *p++ = '\n'; break;
        case 'r': *p++ = '\r'; break;
        case 'v': *p++ = '\v'; break;
        case '0': case '1': case '2': case '3':
        case '4': case '5': case '6': case '7': {
            int x = c - '0';
            for (int k = 0; k < 2 && s < end && is_octal(*s); k++) x = x * 8 + (*s++ - '0');
            *p++ = (char)(x & 0xff);
            break;
        }
        case 'x':
            if (end - s >= 2 && isxdigit((unsigned char)s[0]) && isxdigit((unsigned char)s[1])) {
                *p++ = (char)(hexvalue((unsigned char)s[0]) * 16 + hexvalue((unsigned char)s[1]));
                s += 2;
                break;
            }
            /* The bytes after "\x" are then read as ordinary text. */
            if (bad_hex_escape(errors, &p) < 0) return nullptr;
            break;
        default:
            *p++ = '\\';
            *p++ = c;
            break;
        }
    }
    int n = (int)(p - v->ob_sval);
    if (n <= 1) return ZvString_FromStringAndSize(v->ob_sval, n);
    ZvObject *r = result.release();
    if (_ZvString_Resize(&r, n) < 0) return nullptr;
    return r;
}

/* --- codecs -------------------------------------------------------------- */

/* The encoding used when none is named: the unicode type's default
 * encoding, which starts out as ASCII. */
static const char *default_encoding() { return "ascii"; }

/* The codec registry's encode and decode calls.  Until the registry exists
 * no codec is registered, so every encoding is reported unknown exactly as
 * the registry reports a name it cannot find. */
static ZvObject *codec_call(ZvObject *, const char *encoding, const char *)
{
    ZvErr_Format(ZvExc_LookupError, "unknown encoding: %.400s", encoding);
    return nullptr;
}

ZvObject *ZvString_AsEncodedObject(ZvObject *str, const char *encoding, const char *errors)
{
    if (str == nullptr || !ZvString_Check(str)) {
        ZvErr_BadArgument();
        return nullptr;
    }
    return codec_call(str, encoding != nullptr ? encoding : default_encoding(), errors);
}

ZvObject *ZvString_AsDecodedObject(ZvObject *str, const char *encoding, const char *errors)
{
    if (str == nullptr || !ZvString_Check(str)) {
        ZvErr_BadArgument();
        return nullptr;
    }
    return codec_call(str, encoding != nullptr ? encoding : default_encoding(), errors);
}

/* A codec result that must be a byte string.  A unicode result will be
 * turned into its default-encoded string here once that type exists. */
static ZvObject *require_string_result(ZvObject *v, const char *what)
{
    if (v == nullptr || ZvString_Check(v)) return v;
    ZvErr_Format(ZvExc_TypeError, "%s did not return a string object (type=%.400s)", what,
                 Zv_TYPE(v)->tp_name);
    Zv_DECREF(v);
    return nullptr;
}

ZvObject *ZvString_AsEncodedString(ZvObject *str, const char *encoding, const char *errors)
{
    return require_string_result(ZvString_AsEncodedObject(str, encoding, errors), "encoder");
}

ZvObject *ZvString_AsDecodedString(ZvObject *str, const char *encoding, const char *errors)
{
    return require_string_result(ZvString_AsDecodedObject(str, encoding, errors), "decoder");
}

ZvObject *ZvString_Encode(const char *s, int size, const char *encoding, const char *errors)
{
    zv::Ref str(ZvString_FromStringAndSize(s, size));
    if (!str) return nullptr;
    return ZvString_AsEncodedString(str.get(), encoding, errors);
}

ZvObject *ZvString_Decode(const char *s, int size, const char *encoding, const char *errors)
{
    zv::Ref str(ZvString_FromStringAndSize(s, size));
    if (!str) return nullptr;
    return ZvString_AsDecodedObject(str.get(), encoding, errors);
}

/* --- construction from the language -------------------------------------- */

static ZvObject *string_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds);

/* A subtype instance holds a copy of the bytes of str(object). */
static ZvObject *str_subtype_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    zv::Ref tmp(string_new(&ZvString_Type, args, kwds));
    if (!tmp) return nullptr;
    int n = ZvString_GET_SIZE(tmp.get());
    auto *pnew = (ZvStringObject *)type->tp_alloc(type, n);
    if (pnew == nullptr) return nullptr;
    memcpy(pnew->ob_sval, ZvString_AS_STRING(tmp.get()), (size_t)n + 1);
    pnew->ob_shash = ((ZvStringObject *)tmp.get())->ob_shash;
    pnew->ob_sstate = SSTATE_NOT_INTERNED;
    return (ZvObject *)pnew;
}

static ZvObject *string_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    if (type != &ZvString_Type) return str_subtype_new(type, args, kwds);
    ZvObject *x = nullptr;
    static char object_kw[] = "object";
    static char *kwlist[] = {object_kw, nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|O:str", kwlist, &x)) return nullptr;
    if (x == nullptr) return ZvString_FromString("");
    return ZvObject_Str(x);
}

static ZvObject *basestring_new(ZvTypeObject *, ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "The basestring type cannot be instantiated");
    return nullptr;
}

/* The `%` operator; the formatting engine is ZvString_Format. */
static ZvObject *string_mod(ZvObject *v, ZvObject *w)
{
    if (!ZvString_Check(v)) Zv_RETURN_NOTIMPLEMENTED;
    return ZvString_Format(v, w);
}

/* --- type records -------------------------------------------------------- */

static ZvNumberMethods string_as_number = {
    nullptr,    /* nb_add */
    nullptr,    /* nb_subtract */
    nullptr,    /* nb_multiply */
    nullptr,    /* nb_divide */
    string_mod, /* nb_remainder */
};

static ZvSequenceMethods string_as_sequence = {
    string_length,   /* sq_length */
    string_concat,   /* sq_concat */
    string_repeat,   /* sq_repeat */
    string_item,     /* sq_item */
    string_slice,    /* sq_slice */
    nullptr,         /* sq_ass_item */
    nullptr,         /* sq_ass_slice */
    string_contains, /* sq_contains */
};

static ZvMappingMethods string_as_mapping = {
    string_length,    /* mp_length */
    string_subscript, /* mp_subscript */
    nullptr,          /* mp_ass_subscript */
};

static ZvBufferProcs string_as_buffer = {
    string_buffer_getreadbuf,
    string_buffer_getwritebuf,
    string_buffer_getsegcount,
    string_buffer_getcharbuf,
};

ZvTypeObject ZvBaseString_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "basestring", 0, 0,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE,
    "Type basestring cannot be instantiated; it is the base for str and unicode.",
    nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr, nullptr, nullptr,
    &ZvBaseObject_Type, /* tp_base */
    nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    basestring_new, /* tp_new */
};

ZvTypeObject ZvString_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "str", sizeof(ZvStringObject), sizeof(char),
    string_dealloc,      /* tp_dealloc */
    string_print,        /* tp_print */
    nullptr,             /* tp_getattr */
    nullptr,             /* tp_setattr */
    nullptr,             /* tp_compare */
    string_repr,         /* tp_repr */
    &string_as_number,   /* tp_as_number */
    &string_as_sequence, /* tp_as_sequence */
    &string_as_mapping,  /* tp_as_mapping */
    string_hash,         /* tp_hash */
    nullptr,             /* tp_call */
    string_str,          /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,             /* tp_setattro */
    &string_as_buffer,   /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "str(object) -> string\n\nReturn a nice string representation of the object.\n"
    "If the argument is a string, the return value is the same object.",
    nullptr,             /* tp_traverse */
    nullptr,             /* tp_clear */
    string_richcompare,  /* tp_richcompare */
    0,                   /* tp_weaklistoffset */
    nullptr,             /* tp_iter */
    nullptr,             /* tp_iternext */
    _ZvString_Methods,   /* tp_methods */
    nullptr,             /* tp_members */
    nullptr,             /* tp_getset */
    &ZvBaseString_Type,  /* tp_base */
    nullptr,             /* tp_dict */
    nullptr,             /* tp_descr_get */
    nullptr,             /* tp_descr_set */
    0,                   /* tp_dictoffset */
    nullptr,             /* tp_init */
    nullptr,             /* tp_alloc */
    string_new,          /* tp_new */
    ZvObject_Free,       /* tp_free */
};

} // extern "C"
