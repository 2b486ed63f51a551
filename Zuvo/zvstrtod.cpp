/* Locale-independent conversions between doubles and decimal text.
 *
 * Both directions go through the C++ library's exact conversions
 * (std::from_chars, std::to_chars with a precision), which never consult
 * the C locale and round correctly, so a repr() text always reads back as
 * the same double and no thread ever has to switch the process locale.
 *
 * What the library leaves to us: the "+" sign (from_chars takes only "-"),
 * the value of a number beyond the double range (from_chars reports the
 * range error but stores nothing), upper-case letters and the alternate
 * form "#" of printf. */
#include "zuvo.h"
#include "zvstrtod.h"

#include <charconv>
#include <errno.h>
#include <math.h>
#include <string.h>

namespace {

bool is_ascii_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

/* Whether decimal text that from_chars found out of range is too large
 * (rather than too small): the decimal exponent of its first significant
 * digit is positive.  Only the sign of that exponent matters, and an out of
 * range value is hundreds of decades from zero, so a saturating estimate
 * suffices. */
bool decimal_overflows(const char *s, const char *end)
{
    long long e10 = 0;
    bool seen_nonzero = false;
    bool after_point = false;
    for (; s < end && (is_digit(*s) || *s == '.'); s++) {
        if (*s == '.') {
            after_point = true;
            continue;
        }
        if (!seen_nonzero && *s == '0') {
            if (after_point) e10--;
            continue;
        }
        seen_nonzero = true;
        if (!after_point) e10++;
    }
    if (s < end && (*s == 'e' || *s == 'E')) {
        s++;
        bool neg = s < end && *s == '-';
        if (s < end && (*s == '-' || *s == '+')) s++;
        long long exp = 0;
        for (; s < end && is_digit(*s); s++)
            if (exp < 1000000000) exp = exp * 10 + (*s - '0');
        e10 += neg ? -exp : exp;
    }
    return e10 > 0;
}

/* Parses one number at [s, end) without skipping anything; returns the
 * position after it, or s when there is none. */
const char *parse_double(const char *s, const char *end, double *out, bool *range_error)
{
    *range_error = false;
    const char *p = s;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
        /* from_chars would take a second "-" itself. */
        if (p < end && (*p == '+' || *p == '-')) return s;
    }
    double x = 0.0;
    auto [ptr, ec] = std::from_chars(p, end, x, std::chars_format::general);
    if (ptr == p) return s;
    if (ec == std::errc::result_out_of_range) {
        *range_error = true;
        x = decimal_overflows(p, ptr) ? HUGE_VAL : 0.0;
    } else if (ec != std::errc()) {
        return s;
    }
    *out = negative ? -x : x;
    return ptr;
}

void to_upper(char *s, char *end)
{
    for (; s < end; s++)
        if (*s >= 'a' && *s <= 'z') *s = (char)(*s - 'a' + 'A');
}

/* Position of the exponent marker in [s, end), or end. */
char *find_exponent(char *s, char *end)
{
    for (; s < end; s++)
        if (*s == 'e' || *s == 'E') return s;
    return end;
}

/* Inserts one character at pos, moving [pos, end) up; the caller has
 * checked the room. */
char *insert_char(char *pos, char *end, char c)
{
    memmove(pos + 1, pos, (size_t)(end - pos));
    *pos = c;
    return end + 1;
}

/* The decimal exponent written at [s, end) ("+05", "-123"). */
int read_exponent(const char *s, const char *end)
{
    bool negative = s < end && *s == '-';
    if (s < end && (*s == '-' || *s == '+')) s++;
    int e = 0;
    for (; s < end; s++) e = e * 10 + (*s - '0');
    return negative ? -e : e;
}

/* %#g: the %g choice between fixed and exponent form, with its trailing
 * zeros kept.  The exponent is the one of the value rounded to `digits`
 * significant digits, which the e form shows. */
char *format_alt_general(char *buf, char *last, double x, int digits)
{
    auto r = std::to_chars(buf, last, x, std::chars_format::scientific, digits - 1);
    if (r.ec != std::errc()) return nullptr;
    char *e = find_exponent(buf, r.ptr);
    int exponent = read_exponent(e + 1, r.ptr);
    if (exponent < -4 || exponent >= digits) return r.ptr;
    r = std::to_chars(buf, last, x, std::chars_format::fixed, digits - 1 - exponent);
    return r.ec == std::errc() ? r.ptr : nullptr;
}

} // namespace

extern "C" {

double ZvOS_ascii_strtod(const char *nptr, char **endptr)
{
    const char *s = nptr;
    while (is_ascii_space(*s)) s++;
    double x = 0.0;
    bool range_error;
    const char *end = parse_double(s, s + strlen(s), &x, &range_error);
    if (end == s) {
        if (endptr) *endptr = (char *)nptr;
        return 0.0;
    }
    if (range_error) errno = ERANGE;
    if (endptr) *endptr = (char *)end;
    return x;
}

double ZvOS_ascii_atof(const char *nptr) { return ZvOS_ascii_strtod(nptr, nullptr); }

int _ZvOS_FormatDouble(char *buf, size_t buf_len, double x, char type, int precision,
                       int flags)
{
    if (buf_len < 2 || type == '\0' || strchr("eEfFgG", type) == nullptr) return -1;
    if (precision < 0) precision = 6;
    bool alt = (flags & ZvOS_FORMAT_ALT) != 0;
    if ((type == 'g' || type == 'G') && !alt) {
        /* A double's exact decimal expansion has at most 767 significant
         * digits, so a larger precision changes nothing. */
        if (precision > 800) precision = 800;
    } else if ((size_t)precision >= buf_len) {
        return -1; /* at least that many digits: cannot fit */
    }
    char *last = buf + buf_len - 1; /* room for the NUL */
    char *p = buf;
    if ((flags & ZvOS_FORMAT_SIGN) && (isnan(x) || !signbit(x))) *p++ = '+';
    bool upper = type == 'E' || type == 'F' || type == 'G';
    char *end = nullptr;
    std::to_chars_result r{};
    if (!isfinite(x)) {
        /* printf's spelling: inf with its sign; a NaN's sign bit means
         * nothing (arithmetic sets it at whim), so it is always "nan". */
        const char *word = isnan(x) ? "nan" : signbit(x) ? "-inf" : "inf";
        size_t n = strlen(word);
        end = (size_t)(last - p) >= n ? (char *)memcpy(p, word, n) + n : nullptr;
    } else {
        switch (type) {
        case 'e':
        case 'E':
            r = std::to_chars(p, last, x, std::chars_format::scientific, precision);
            end = r.ec == std::errc() ? r.ptr : nullptr;
            break;
        case 'f':
        case 'F':
            r = std::to_chars(p, last, x, std::chars_format::fixed, precision);
            end = r.ec == std::errc() ? r.ptr : nullptr;
            break;
        case 'g':
        case 'G':
            if (alt)
                end = format_alt_general(p, last, x, precision == 0 ? 1 : precision);
            else {
                r = std::to_chars(p, last, x, std::chars_format::general, precision);
                end = r.ec == std::errc() ? r.ptr : nullptr;
            }
            break;
        default:
            return -1;
        }
        /* The alternate form always shows the point. */
        if (end != nullptr && alt && memchr(p, '.', (size_t)(end - p)) == nullptr) {
            if (end >= last) return -1;
            end = insert_char(find_exponent(p, end), end, '.');
        }
    }
    if (end == nullptr) return -1;
    if (upper) to_upper(p, end);
    *end = '\0';
    return (int)(end - buf);
}

char *ZvOS_ascii_formatd(char *buffer, size_t buf_len, const char *format, double d)
{
    if (format == nullptr || *format++ != '%') return nullptr;
    int flags = 0;
    for (;; format++) {
        if (*format == '#')
            flags |= ZvOS_FORMAT_ALT;
        else if (*format == '+')
            flags |= ZvOS_FORMAT_SIGN;
        else
            break;
    }
    if (*format++ != '.') return nullptr;
    int precision = 0;
    for (; is_digit(*format); format++) {
        precision = precision * 10 + (*format - '0');
        if (precision > 1000) return nullptr;
    }
    char type = *format;
    if (type == '\0' || strchr("eEfFgG", type) == nullptr || format[1] != '\0') return nullptr;
    if (buffer == nullptr || _ZvOS_FormatDouble(buffer, buf_len, d, type, precision, flags) < 0)
        return nullptr;
    return buffer;
}

} // extern "C"
