/* The `%` operator of byte strings: format % args.
 *
 * One pass over the format copies ordinary text and expands each
 * conversion directive ("%" [(key)] [flags] [width] [.precision]
 * [h|l|L] conversion) into a result string that grows as needed.
 *
 * Arguments come from a tuple (one item per conversion, and a `*` width or
 * precision), from a single non-tuple value (usable exactly once), or, for
 * directives with a key, from a mapping: the value found under the key
 * then becomes the single-value source.  Every count is checked: widths and
 * precisions beyond the int range raise ValueError, numbers whose text
 * would not fit the conversion buffer raise OverflowError, and the result
 * never grows past the largest string.
 *
 * str(), repr(), __int__, __float__ and the mapping lookup may run any
 * code; what the loop still needs across them (the text of a conversion,
 * the keyed value) is held by a strong reference.
 *
 * A unicode value for %s or %c is meant to hand the rest of the formatting
 * to the unicode type's own formatting; there is no unicode type yet, so
 * every value goes through str() and the result is always a byte string. */
#include "zuvo.h"
#include "stringlib.h"
#include "zvref.h"

#include <algorithm>
#include <ctype.h>
#include <limits.h>
#include <math.h>
#include <string.h>

using zv::Ref;

namespace {

/* Flag bits of a directive. */
enum : int { F_LJUST = 1, F_SIGN = 2, F_BLANK = 4, F_ALT = 8, F_ZERO = 16 };

/* Numbers and characters are converted into a buffer of this size; a
 * precision that would not fit is refused (OverflowError). */
constexpr int FORMATBUFLEN = 120;

/* The result: a fresh string with `used` bytes filled and room for more. */
class Result {
public:
    [[nodiscard]] bool init(int capacity)
    {
        str_.reset(ZvString_FromStringAndSize(nullptr, capacity));
        return (bool)str_;
    }

    /* Room for n more bytes; when short, grows by n plus the rest of the
     * format and some slack, so that short conversions rarely grow. */
    [[nodiscard]] bool reserve(long long n, long long format_left)
    {
        if (used_ + n <= ZvString_GET_SIZE(str_.get())) return true;
        long long want = used_ + n + format_left + 100;
        if (used_ + n > zv::strlib::kMaxSize) {
            ZvErr_NoMemory();
            return false;
        }
        if (want > zv::strlib::kMaxSize) want = zv::strlib::kMaxSize;
        ZvObject *s = str_.release();
        if (_ZvString_Resize(&s, (int)want) < 0) return false;
        str_.reset(s);
        return true;
    }

    void put(char c) { at()[0] = c, used_++; }
    void put(const char *p, int n)
    {
        memcpy(at(), p, (size_t)n);
        used_ += n;
    }
    void fill(char c, int n)
    {
        memset(at(), c, (size_t)n);
        used_ += n;
    }

    ZvObject *finish()
    {
        ZvObject *s = str_.release();
        if (_ZvString_Resize(&s, used_) < 0) return nullptr;
        return s;
    }

private:
    char *at() { return ZvString_AS_STRING(str_.get()) + used_; }
    Ref str_;
    int used_ = 0;
};

/* Where the next argument comes from. */
struct ArgSource {
    ZvObject *args;   /* borrowed: the caller's, or `keyed` */
    int arglen;       /* tuple size, or -1 for a single value */
    int argidx;       /* next index; -2 for an unused single value */
    Ref keyed;        /* the value of the last mapping key */

    void single(ZvObject *v)
    {
        args = v;
        arglen = -1;
        argidx = -2;
    }

    /* A borrowed reference, or NULL with TypeError. */
    ZvObject *next()
    {
        if (argidx < arglen) {
            int idx = argidx++;
            return arglen < 0 ? args : ZvTuple_GET_ITEM(args, idx);
        }
        ZvErr_SetString(ZvExc_TypeError, "not enough arguments for format string");
        return nullptr;
    }
};

/* Decimal digits of a width or precision, accumulated with a check; false
 * with ValueError when the value leaves the int range. */
[[nodiscard]] bool read_count(const char *&fmt, const char *end, int *out, const char *too_big)
{
    long long v = 0;
    for (; fmt < end && *fmt >= '0' && *fmt <= '9'; fmt++) {
        v = v * 10 + (*fmt - '0');
        if (v > INT_MAX) {
            ZvErr_SetString(ZvExc_ValueError, too_big);
            return false;
        }
    }
    *out = (int)v;
    return true;
}

/* A `*` width or precision: the next argument, which must be an int. */
[[nodiscard]] bool star_count(ArgSource &src, long long *out)
{
    ZvObject *v = src.next();
    if (v == nullptr) return false;
    if (!ZvInt_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "* wants int");
        return false;
    }
    *out = ZvInt_AS_LONG(v);
    return true;
}

/* Digits of u in the given base, most significant first, into buf (at
 * least 23 bytes); returns their count. */
int unsigned_digits(char *buf, unsigned long long u, int base, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = digits[u % (unsigned)base];
        u /= (unsigned)base;
    } while (u != 0);
    for (int i = 0; i < n; i++) buf[i] = tmp[n - 1 - i];
    return n;
}

/* The printf text of a 32-bit value for d, u, o, x, X at a minimum digit
 * count: a negative value shows "-" before any base marker, the alternate
 * form of x and X always writes its "0x"/"0X" marker (also for 0) and that
 * of o a leading 0.  Returns the length, or -1 with OverflowError when the
 * precision leaves no room in the buffer. */
[[nodiscard]] int format_int_value(char *buf, int flags, int prec, char type, long long x)
{
    if (prec < 0) prec = 1;
    if (prec > FORMATBUFLEN - 1 - 3) {
        ZvErr_SetString(ZvExc_OverflowError,
                        "formatted integer is too long (precision too large?)");
        return -1;
    }
    int n = 0;
    if (x < 0) buf[n++] = '-';
    unsigned long long u = x < 0 ? (unsigned long long)-x : (unsigned long long)x;
    bool hex = type == 'x' || type == 'X';
    if ((flags & F_ALT) && hex) {
        buf[n++] = '0';
        buf[n++] = type;
    }
    char digits[24];
    int nd = (u == 0 && prec == 0) ? 0 : unsigned_digits(digits, u, hex ? 16 : type == 'o' ? 8 : 10,
                                                          type == 'X');
    int zeros = prec > nd ? prec - nd : 0;
    /* The alternate octal form starts with a 0, added only when needed. */
    if ((flags & F_ALT) && type == 'o' && zeros == 0 && (nd == 0 || digits[0] != '0')) zeros = 1;
    memset(buf + n, '0', (size_t)zeros);
    n += zeros;
    memcpy(buf + n, digits, (size_t)nd);
    n += nd;
    buf[n] = '\0';
    return n;
}

/* The integer conversions of a value that is not a long: its machine
 * integer value (through __int__ for other types).  A value that has none,
 * or only one too large for a machine integer, cannot be formatted. */
[[nodiscard]] int format_int(char *buf, int flags, int prec, char type, ZvObject *v)
{
    long long x = ZvInt_AsLong(v);
    if (x == -1 && ZvErr_Occurred()) {
        ZvErr_SetString(ZvExc_TypeError, "int argument required");
        return -1;
    }
    /* "u" of a negative value is "d"; the others show a sign and the
     * magnitude, as the printf of an unsigned conversion cannot. */
    if (x < 0 && type == 'u') type = 'd';
    return format_int_value(buf, flags, prec, type, x);
}

/* e, E, f, g, G into buf.  A fixed-point text of a value of 1e50 or more
 * switches to g; precisions whose text cannot fit raise OverflowError. */
[[nodiscard]] int format_float(char *buf, int flags, int prec, char type, ZvObject *v)
{
    double x = ZvFloat_AsDouble(v);
    if (x == -1.0 && ZvErr_Occurred()) {
        ZvErr_SetString(ZvExc_TypeError, "float argument required");
        return -1;
    }
    if (prec < 0) prec = 6;
    if (type == 'f' && fabs(x) / 1e25 >= 1e25) type = 'g';
    int n = -1;
    if (!((type == 'g' || type == 'G') && prec > FORMATBUFLEN - 1 - 10) &&
        !(type == 'f' && prec > FORMATBUFLEN - 1 - 53))
        n = _ZvOS_FormatDouble(buf, FORMATBUFLEN, x, type, prec,
                               (flags & F_ALT) ? ZvOS_FORMAT_ALT : 0);
    if (n < 0)
        ZvErr_SetString(ZvExc_OverflowError, "formatted float is too long (precision too large?)");
    return n;
}

/* %c: a one-byte string, or an integer 0..255. */
[[nodiscard]] int format_char(char *buf, ZvObject *v)
{
    if (ZvString_Check(v)) {
        if (ZvString_GET_SIZE(v) != 1) {
            ZvErr_SetString(ZvExc_TypeError, "%c requires int or char");
            return -1;
        }
        buf[0] = ZvString_AS_STRING(v)[0];
    } else {
        Ref arg(ZvTuple_Pack(1, v));
        unsigned char byte;
        if (!arg || !ZvArg_ParseTuple(arg.get(), "b;%c requires int or char", &byte)) return -1;
        buf[0] = (char)byte;
    }
    buf[1] = '\0';
    return 1;
}

} // namespace

extern "C" {

/* The text of a long for d, u, o, x and X: the long type's own decimal,
 * octal or hexadecimal form (never a subclass's override), without the
 * trailing L, without the base marker unless F_ALT asks for it, padded
 * with zeros to prec digits, hexadecimal letters in the case of the
 * conversion.  Returns a new string whose bytes *pbuf and *plen describe. */
ZvObject *_ZvString_FormatLong(ZvObject *val, int flags, int prec, int type, char **pbuf,
                               int *plen)
{
    if (val == nullptr || !ZvLong_Check(val) || pbuf == nullptr || plen == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    Ref src;
    int marker = 0; /* base-marker characters after the sign */
    switch (type) {
    case 'd':
    case 'u':
        src.reset(ZvLong_Type.tp_str(val));
        break;
    case 'o':
        src.reset(ZvLong_Type.tp_as_number->nb_oct(val));
        break;
    case 'x':
    case 'X':
        marker = 2;
        src.reset(ZvLong_Type.tp_as_number->nb_hex(val));
        break;
    default:
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (!src) return nullptr;
    if (!ZvString_Check(src.get())) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    const char *s = ZvString_AS_STRING(src.get());
    int len = ZvString_GET_SIZE(src.get());
    if (len > 0 && s[len - 1] == 'L') len--;
    int sign = len > 0 && s[0] == '-';
    int numdigits = len - sign - marker;
    if (numdigits <= 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    const char *digits = s + sign + marker;
    int keep_marker = marker;
    if (!(flags & F_ALT)) {
        keep_marker = 0;
        /* The octal marker is the leading 0 of more than one digit. */
        if (type == 'o' && numdigits > 1) {
            digits++;
            numdigits--;
        }
    }
    int zeros = prec > numdigits ? prec - numdigits : 0;
    long long total = (long long)sign + keep_marker + zeros + numdigits;
    if (total > zv::strlib::kMaxSize) {
        ZvErr_SetString(ZvExc_OverflowError, "precision too large");
        return nullptr;
    }
    Ref result(ZvString_FromStringAndSize(nullptr, (int)total));
    if (!result) return nullptr;
    char *out = ZvString_AS_STRING(result.get());
    char *p = out;
    if (sign) *p++ = '-';
    if (keep_marker) {
        *p++ = '0';
        *p++ = type == 'X' ? 'X' : 'x';
    }
    memset(p, '0', (size_t)zeros);
    p += zeros;
    memcpy(p, digits, (size_t)numdigits);
    /* The long type writes upper-case hexadecimal digits. */
    if (type == 'x')
        for (char *q = p; q < p + numdigits; q++)
            if (*q >= 'A' && *q <= 'F') *q = (char)(*q - 'A' + 'a');
    *pbuf = out;
    *plen = (int)total;
    return result.release();
}

ZvObject *ZvString_Format(ZvObject *format, ZvObject *args)
{
    if (format == nullptr || !ZvString_Check(format) || args == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    const char *const fmt_start = ZvString_AS_STRING(format);
    const char *fmt = fmt_start;
    const char *const end = fmt + ZvString_GET_SIZE(format);
    Result res;
    if (!res.init((int)std::min<long long>((long long)(end - fmt) + 100, zv::strlib::kMaxSize)))
        return nullptr;

    ArgSource src;
    src.args = args;
    if (ZvTuple_Check(args)) {
        src.arglen = ZvTuple_GET_SIZE(args);
        src.argidx = 0;
    } else {
        src.single(args);
    }
    /* A mapping serves keyed directives; one that is never used is
     * accepted like an empty tuple. */
    ZvObject *dict = nullptr;
    if (Zv_TYPE(args)->tp_as_mapping != nullptr && !ZvTuple_Check(args) &&
        !ZvObject_TypeCheck(args, &ZvBaseString_Type))
        dict = args;

    while (fmt < end) {
        if (*fmt != '%') {
            const char *pct = (const char *)memchr(fmt, '%', (size_t)(end - fmt));
            const char *run_end = pct != nullptr ? pct : end;
            int n = (int)(run_end - fmt);
            if (!res.reserve(n, end - run_end)) return nullptr;
            res.put(fmt, n);
            fmt = run_end;
            continue;
        }
        fmt++;
        /* The mapping key, with balanced parentheses inside. */
        if (fmt < end && *fmt == '(') {
            if (dict == nullptr) {
                ZvErr_SetString(ZvExc_TypeError, "format requires a mapping");
                return nullptr;
            }
            const char *keystart = ++fmt;
            int depth = 1;
            for (; fmt < end && depth > 0; fmt++) {
                if (*fmt == ')')
                    depth--;
                else if (*fmt == '(')
                    depth++;
            }
            if (depth > 0) {
                ZvErr_SetString(ZvExc_ValueError, "incomplete format key");
                return nullptr;
            }
            Ref key(ZvString_FromStringAndSize(keystart, (int)(fmt - 1 - keystart)));
            if (!key) return nullptr;
            src.keyed.reset(ZvObject_GetItem(dict, key.get()));
            if (!src.keyed) return nullptr;
            src.single(src.keyed.get());
        }
        int flags = 0;
        for (bool more = true; more && fmt < end; fmt += more) {
            switch (*fmt) {
            case '-': flags |= F_LJUST; break;
            case '+': flags |= F_SIGN; break;
            case ' ': flags |= F_BLANK; break;
            case '#': flags |= F_ALT; break;
            case '0': flags |= F_ZERO; break;
            default: more = false;
            }
        }
        int width = -1;
        if (fmt < end && *fmt == '*') {
            long long w;
            if (!star_count(src, &w)) return nullptr;
            if (w < 0) {
                flags |= F_LJUST;
                w = -w;
            }
            if (w > INT_MAX) {
                ZvErr_SetString(ZvExc_ValueError, "width too big");
                return nullptr;
            }
            width = (int)w;
            fmt++;
        } else if (fmt < end && *fmt >= '0' && *fmt <= '9') {
            if (!read_count(fmt, end, &width, "width too big")) return nullptr;
        }
        int prec = -1;
        if (fmt < end && *fmt == '.') {
            fmt++;
            prec = 0;
            if (fmt < end && *fmt == '*') {
                long long p;
                if (!star_count(src, &p)) return nullptr;
                prec = p < 0 ? 0 : (int)p;
                fmt++;
            } else if (!read_count(fmt, end, &prec, "prec too big")) {
                return nullptr;
            }
        }
        if (fmt < end && (*fmt == 'h' || *fmt == 'l' || *fmt == 'L')) fmt++;
        if (fmt >= end) {
            ZvErr_SetString(ZvExc_ValueError, "incomplete format");
            return nullptr;
        }
        char c = *fmt++;
        ZvObject *v = nullptr;
        if (c != '%' && (v = src.next()) == nullptr) return nullptr;

        char formatbuf[FORMATBUFLEN];
        Ref text;              /* owns what pbuf points into, when not formatbuf */
        const char *pbuf = formatbuf;
        int len;
        bool numeric = false;
        char fill = ' ';
        switch (c) {
        case '%':
            pbuf = "%";
            len = 1;
            break;
        case 's':
        case 'r':
            text.reset(c == 's' ? ZvObject_Str(v) : ZvObject_Repr(v));
            if (!text) return nullptr;
            if (!ZvString_Check(text.get())) {
                ZvErr_SetString(ZvExc_TypeError, "%s argument has non-string str()");
                return nullptr;
            }
            pbuf = ZvString_AS_STRING(text.get());
            len = ZvString_GET_SIZE(text.get());
            if (prec >= 0 && len > prec) len = prec;
            break;
        case 'i':
        case 'd':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (c == 'i') c = 'd';
            if (ZvLong_Check(v)) {
                char *lbuf;
                text.reset(_ZvString_FormatLong(v, flags, prec, c, &lbuf, &len));
                if (!text) return nullptr;
                pbuf = lbuf;
            } else if ((len = format_int(formatbuf, flags, prec, c, v)) < 0) {
                return nullptr;
            }
            numeric = true;
            if (flags & F_ZERO) fill = '0';
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
            if (c == 'F') c = 'f';
            if ((len = format_float(formatbuf, flags, prec, c, v)) < 0) return nullptr;
            numeric = true;
            /* Zeros before inf or nan would make no number. */
            if ((flags & F_ZERO) && isdigit((unsigned char)formatbuf[len - 1])) fill = '0';
            break;
        case 'c':
            if ((len = format_char(formatbuf, v)) < 0) return nullptr;
            break;
        default:
            ZvErr_Format(ZvExc_ValueError, "unsupported format character '%c' (0x%x) at index %i",
                         c, (unsigned)(unsigned char)c, (int)(fmt - 1 - fmt_start));
            return nullptr;
        }

        /* A numeric text's own sign, or the one the flags ask for. */
        char sign = 0;
        if (numeric) {
            if (len > 0 && (*pbuf == '-' || *pbuf == '+')) {
                sign = *pbuf++;
                len--;
            } else if (flags & F_SIGN) {
                sign = '+';
            } else if (flags & F_BLANK) {
                sign = ' ';
            }
        }
        if (width < len) width = len;
        if (!res.reserve((long long)width + 3, end - fmt)) return nullptr;
        if (sign) {
            if (fill != ' ') res.put(sign);
            if (width > len) width--;
        }
        /* The alternate hexadecimal marker stands before zero fill and after
         * blank fill, like the sign, and takes two columns. */
        const char *marker = nullptr;
        if ((flags & F_ALT) && (c == 'x' || c == 'X') && len >= 2 && pbuf[0] == '0' &&
            (pbuf[1] == 'x' || pbuf[1] == 'X')) {
            marker = pbuf;
            pbuf += 2;
            len -= 2;
            width = width >= 2 ? width - 2 : 0;
            if (fill != ' ') res.put(marker, 2);
        }
        if (width > len && !(flags & F_LJUST)) {
            res.fill(fill, width - len);
            width = len;
        }
        if (fill == ' ') {
            if (sign) res.put(sign);
            if (marker) res.put(marker, 2);
        }
        res.put(pbuf, len);
        if (width > len) res.fill(' ', width - len);

        if (dict != nullptr && src.argidx < src.arglen && c != '%') {
            ZvErr_SetString(ZvExc_TypeError,
                            "not all arguments converted during string formatting");
            return nullptr;
        }
    }
    if (src.argidx < src.arglen && dict == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "not all arguments converted during string formatting");
        return nullptr;
    }
    return res.finish();
}

} // extern "C"
