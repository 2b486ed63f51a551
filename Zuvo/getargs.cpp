/* Argument parsing for native functions: ZvArg_ParseTuple and friends.
 *
 * A parse format is a string of conversion units ("i", "s#", "O!", ...),
 * optionally a '|' after which units are optional, and at its end either
 * ":name" (the function name for messages) or ";message" (a complete
 * message used instead of the generated one).  Parentheses group units that
 * convert the items of a sequence argument.  Destinations are pointers
 * passed after the format, in unit order.
 *
 * One scanner (unit_end) decides where each unit ends; the counting pass,
 * the conversion pass and the skipping pass of keyword parsing all use it,
 * so they always agree on how many units a format holds and how many
 * destinations each consumes.  Conversion failures produce a short text
 * ("must be integer<i>, not str"); the caller prefixes the argument
 * position and function name.  A unit whose conversion already set an
 * error (an overflow, a converter's own error) keeps that error.
 *
 * "e" units allocate buffers; until the parse succeeds they are recorded in
 * a cleanup list so that a later failure frees them and resets the caller's
 * pointer to NULL.
 *
 * Results such as "s" and "O" point into the argument objects, which the
 * caller holds.  A group over a sequence other than a tuple or a list may
 * take items that only the parse holds, so it keeps them alive as long as
 * the caller holds the arguments (convert_tuple, keep_for_caller).
 *
 * Integer units follow the language's 32-bit integers: "i" and "l" store
 * the 32-bit value of the argument, "l" into a C `long` only for source
 * compatibility with existing extension code, and "k" keeps the low 32
 * bits; "L" and "K" cover 64 bits.  "k" and "K" take only int and long
 * objects; the other integer units also take a float, truncated after a
 * DeprecationWarning. */
#include "zuvo.h"
#include "zvref.h"

#include <ctype.h>
#include <limits.h>
#include <string.h>

#include <vector>

namespace {

// Nesting depth of parenthesized groups that messages can name; deeper
// groups still convert, their item numbers are just not reported.
constexpr int kMaxLevels = 32;
// The longest generated message: name, position, items and expected type.
constexpr size_t kMsgSize = 512;
// "e" units per format whose buffers can be tracked for cleanup.
constexpr int kMaxCleanups = 32;

struct Cleanup {
    char **slots[kMaxCleanups];
    int count = 0;

    bool add(char **slot)
    {
        if (count == kMaxCleanups) return false;
        slots[count++] = slot;
        return true;
    }
    // Frees every buffer recorded so far and clears the caller's pointers,
    // so that a caller freeing them after the failure does no harm.
    void release()
    {
        for (int i = 0; i < count; i++) {
            ZvMem_Free(*slots[i]);
            *slots[i] = nullptr;
        }
        count = 0;
    }
};

// Everything one parse needs besides the argument objects.
struct ParseState {
    explicit ParseState(va_list *v) : va(v) {}
    va_list *va;
    char msgbuf[kMsgSize]; // left uninitialized: written before any read
    Cleanup cleanup;
    // Items of groups that must outlive the parse (see convert_tuple): a
    // list made on first use, handed to keep_for_caller on success and
    // released with the state on failure.
    zv::Ref kept;

    bool keep(ZvObject *item)
    {
        if (!kept) kept = zv::Ref(ZvList_New(0));
        return kept && ZvList_Append(kept.get(), item) == 0;
    }
};

// What the counting pass learns about a format.
struct FormatInfo {
    int min = -1;                   // units before '|'; -1 until seen
    int max = 0;                    // units at level 0
    const char *fname = nullptr;    // after ':'
    const char *message = nullptr;  // after ';'
    bool has_bar = false;
};

bool is_modifier_unit(char c) { return c == 's' || c == 'z' || c == 'u' || c == 'w' || c == 't'; }

// Returns the character after the unit starting at f (f is not '(' ).
const char *unit_end(const char *f)
{
    char c = *f++;
    if (c == 'e') {
        if (*f != 's' && *f != 't') return f;
        c = *f++;
    }
    if (is_modifier_unit(c) && *f == '#') return f + 1;
    if (c == 'O' && (*f == '!' || *f == '&' || *f == '?')) return f + 1;
    return f;
}

bool ends_format(char c) { return c == '\0' || c == ':' || c == ';'; }

// Counts the units of a positional format and finds its name or message.
// Unbalanced parentheses are programming errors in the caller: fatal.
FormatInfo scan_format(const char *f)
{
    FormatInfo info;
    int level = 0;
    while (!ends_format(*f)) {
        char c = *f;
        if (c == '(') {
            if (level == 0) info.max++;
            level++;
            f++;
        } else if (c == ')') {
            if (level == 0) Zv_FatalError("excess ')' in getargs format");
            level--;
            f++;
        } else if (c == '|') {
            if (level == 0 && info.min < 0) info.min = info.max;
            info.has_bar = true;
            f++;
        } else {
            if (level == 0) info.max++;
            f = unit_end(f);
        }
    }
    if (level != 0) Zv_FatalError("missing ')' in getargs format");
    if (*f == ':') info.fname = f + 1;
    if (*f == ';') info.message = f + 1;
    if (info.min < 0) info.min = info.max;
    return info;
}

const char *type_name_of(ZvObject *arg)
{
    return arg == Zv_None ? "None" : Zv_TYPE(arg)->tp_name;
}

// The failure text of a unit: "must be <expected>, not <type>", or the
// expected text alone when it is a parenthesized remark.
const char *converterr(const char *expected, ZvObject *arg, ParseState &st)
{
    if (expected[0] == '(')
        snprintf(st.msgbuf, sizeof st.msgbuf, "%.100s", expected);
    else
        snprintf(st.msgbuf, sizeof st.msgbuf, "must be %.50s, not %.50s", expected,
                 type_name_of(arg));
    return st.msgbuf;
}

// Appends formatted text to buf (of `size` bytes), where *n bytes are used;
// past the end it writes nothing more.
__attribute__((format(printf, 4, 5))) void append_format(char *buf, size_t size, size_t *n,
                                                        const char *fmt, ...)
{
    if (*n >= size) return;
    va_list va;
    va_start(va, fmt);
    *n += (size_t)vsnprintf(buf + *n, size - *n, fmt, va);
    va_end(va);
}

// Sets the TypeError for a failed conversion of argument `iarg` (1-based,
// 0 for "argument" without a number).  `levels` lists the 1-based item
// numbers inside nested groups, ending with 0.  An error a conversion has
// already set (an overflow, a converter's own error) is kept.
void seterror(int iarg, const char *msg, const int *levels, const char *fname,
              const char *message)
{
    if (ZvErr_Occurred() != nullptr) return;
    char buf[kMsgSize];
    if (message == nullptr) {
        size_t n = 0;
        if (fname != nullptr) append_format(buf, sizeof buf, &n, "%.200s() ", fname);
        if (iarg != 0) {
            append_format(buf, sizeof buf, &n, "argument %d", iarg);
            for (int i = 0; i < kMaxLevels && levels[i] > 0 && n < 220; i++)
                append_format(buf, sizeof buf, &n, ", item %d", levels[i] - 1);
        } else {
            append_format(buf, sizeof buf, &n, "argument");
        }
        append_format(buf, sizeof buf, &n, " %.256s", msg);
        message = buf;
    }
    ZvErr_SetString(ZvExc_TypeError, message);
}

// ---------------------------------------------------------------------------
// Integer units.

// Objects the integer units try to convert: ints, longs and anything that
// offers a conversion to int.  Others fail with the unit's expected type.
bool is_integer_like(ZvObject *arg)
{
    if (ZvInt_Check(arg) || ZvLong_Check(arg)) return true;
    ZvNumberMethods *nb = Zv_TYPE(arg)->tp_as_number;
    return nb != nullptr && nb->nb_int != nullptr;
}

// The first check of the units that take any integer: the argument must
// be integer-like, and a float (which converts by truncation) is warned
// about.  A warning turned into an error fails the unit with that error.
const char *check_integer(ZvObject *arg, const char *expected, ParseState &st)
{
    if (!is_integer_like(arg)) return converterr(expected, arg, st);
    if (ZvFloat_Check(arg) &&
        ZvErr_Warn(ZvExc_DeprecationWarning, "integer argument expected, got float") != 0)
        return converterr(expected, arg, st);
    return nullptr;
}

// The 32-bit value of an integer argument.  Returns false when the
// conversion raised (a long outside the int range raises OverflowError);
// that error stands.
bool int_value(ZvObject *arg, int32_t *out)
{
    int32_t v = ZvLong_Check(arg) ? ZvLong_AsLong(arg) : ZvInt_AsLong(arg);
    if (v == -1 && ZvErr_Occurred() != nullptr) return false;
    *out = v;
    return true;
}

// Signed units with a range: "b" (0..255) and "h" (short).
const char *convert_ranged(ZvObject *arg, const char *expected, int32_t lo, int32_t hi,
                           const char *lo_msg, const char *hi_msg, int32_t *out,
                           ParseState &st)
{
    if (const char *msg = check_integer(arg, expected, st)) return msg;
    if (!int_value(arg, out)) return converterr(expected, arg, st);
    if (*out < lo) {
        ZvErr_SetString(ZvExc_OverflowError, lo_msg);
        return converterr(expected, arg, st);
    }
    if (*out > hi) {
        ZvErr_SetString(ZvExc_OverflowError, hi_msg);
        return converterr(expected, arg, st);
    }
    return nullptr;
}

// The low 32 bits of any integer, longs of any size included: "B", "H"
// and "I" keep what fits their destination without a range check.
const char *convert_mask32(ZvObject *arg, const char *expected, uint32_t *out, ParseState &st)
{
    if (const char *msg = check_integer(arg, expected, st)) return msg;
    uint32_t v = ZvInt_AsUnsignedLongMask(arg);
    if (v == (uint32_t)-1 && ZvErr_Occurred() != nullptr) return converterr(expected, arg, st);
    *out = v;
    return nullptr;
}

const char *convert_integer(char c, ZvObject *arg, ParseState &st)
{
    va_list &va = *st.va;
    switch (c) {
    case 'b': {
        auto *p = va_arg(va, unsigned char *);
        int32_t v;
        const char *msg = convert_ranged(arg, "integer<b>", 0, UCHAR_MAX,
                                         "unsigned byte integer is less than minimum",
                                         "unsigned byte integer is greater than maximum", &v, st);
        if (msg == nullptr) *p = (unsigned char)v;
        return msg;
    }
    case 'h': {
        auto *p = va_arg(va, short *);
        int32_t v;
        const char *msg = convert_ranged(arg, "integer<h>", SHRT_MIN, SHRT_MAX,
                                         "signed short integer is less than minimum",
                                         "signed short integer is greater than maximum", &v, st);
        if (msg == nullptr) *p = (short)v;
        return msg;
    }
    case 'B': {
        auto *p = va_arg(va, unsigned char *);
        uint32_t v;
        const char *msg = convert_mask32(arg, "integer<B>", &v, st);
        if (msg == nullptr) *p = (unsigned char)v;
        return msg;
    }
    case 'H': {
        auto *p = va_arg(va, unsigned short *);
        uint32_t v;
        const char *msg = convert_mask32(arg, "integer<H>", &v, st);
        if (msg == nullptr) *p = (unsigned short)v;
        return msg;
    }
    case 'I': {
        auto *p = va_arg(va, unsigned int *);
        uint32_t v;
        const char *msg = convert_mask32(arg, "integer<I>", &v, st);
        if (msg == nullptr) *p = v;
        return msg;
    }
    case 'i':
    case 'l': {
        int *ip = c == 'i' ? va_arg(va, int *) : nullptr;
        long *lp = c == 'l' ? va_arg(va, long *) : nullptr;
        const char *expected = c == 'i' ? "integer<i>" : "integer<l>";
        if (const char *msg = check_integer(arg, expected, st)) return msg;
        int32_t v;
        if (!int_value(arg, &v)) return converterr(expected, arg, st);
        if (ip != nullptr) *ip = v;
        if (lp != nullptr) *lp = v;
        return nullptr;
    }
    case 'k': {
        // Only int and long objects, low 32 bits kept.
        auto *p = va_arg(va, unsigned long *);
        if (!ZvInt_Check(arg) && !ZvLong_Check(arg)) return converterr("integer<k>", arg, st);
        *p = ZvLong_AsUnsignedLongMask(arg);
        return nullptr;
    }
    case 'L': {
        // The full 64-bit range; a long beyond it raises OverflowError.
        auto *p = va_arg(va, long long *);
        if (const char *msg = check_integer(arg, "long<L>", st)) return msg;
        long long v = ZvLong_AsLongLong(arg);
        if (v == -1 && ZvErr_Occurred() != nullptr) return converterr("long<L>", arg, st);
        *p = v;
        return nullptr;
    }
    case 'K': {
        // Only int and long objects, low 64 bits kept.
        auto *p = va_arg(va, unsigned long long *);
        if (!ZvInt_Check(arg) && !ZvLong_Check(arg)) return converterr("integer<K>", arg, st);
        *p = ZvLong_AsUnsignedLongLongMask(arg);
        return nullptr;
    }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Floating-point units.  A number is a float or anything that converts to
// one (ints, longs); a long too large for a double raises OverflowError,
// which stands.

bool is_float_like(ZvObject *arg)
{
    if (ZvFloat_Check(arg)) return true;
    ZvNumberMethods *nb = Zv_TYPE(arg)->tp_as_number;
    return nb != nullptr && nb->nb_float != nullptr;
}

const char *number_as_double(ZvObject *arg, const char *expected, double *out, ParseState &st)
{
    if (!is_float_like(arg)) return converterr(expected, arg, st);
    double d = ZvFloat_AsDouble(arg);
    if (d == -1.0 && ZvErr_Occurred() != nullptr) return converterr(expected, arg, st);
    *out = d;
    return nullptr;
}

const char *convert_floating(char c, ZvObject *arg, ParseState &st)
{
    va_list &va = *st.va;
    double d = 0.0;
    const char *msg;
    switch (c) {
    case 'f': {
        auto *p = va_arg(va, float *);
        msg = number_as_double(arg, "float<f>", &d, st);
        if (msg == nullptr) *p = (float)d;
        return msg;
    }
    case 'd': {
        auto *p = va_arg(va, double *);
        msg = number_as_double(arg, "float<d>", &d, st);
        if (msg == nullptr) *p = d;
        return msg;
    }
    case 'D': {
        // The destination is a complex record: two doubles, real first.
        // A complex gives both parts; another number is a real one.
        auto *p = va_arg(va, ZvComplex *);
        if (ZvComplex_Check(arg)) {
            *p = ZvComplex_AsCComplex(arg);
            return nullptr;
        }
        msg = number_as_double(arg, "complex<D>", &d, st);
        if (msg == nullptr) *p = {d, 0.0};
        return msg;
    }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// String and buffer units.

// A read-only single-segment buffer of any object that offers one.
// Returns the length, or -1 with *errmsg naming what was expected.
int read_buffer(ZvObject *arg, void **p, const char **errmsg)
{
    ZvBufferProcs *pb = Zv_TYPE(arg)->tp_as_buffer;
    if (pb == nullptr || pb->bf_getreadbuffer == nullptr || pb->bf_getsegcount == nullptr) {
        *errmsg = "string or read-only buffer";
        return -1;
    }
    if (pb->bf_getsegcount(arg, nullptr) != 1) {
        *errmsg = "string or single-segment read-only buffer";
        return -1;
    }
    int count = pb->bf_getreadbuffer(arg, 0, p);
    if (count < 0) *errmsg = "(unspecified)";
    return count;
}

// "s", "s#", "z", "z#".  `none_ok` is the "z" form.
const char *convert_string(ZvObject *arg, const char **fp, bool none_ok, ParseState &st)
{
    va_list &va = *st.va;
    bool sized = **fp == '#';
    auto **p = va_arg(va, const char **);
    int *q = sized ? va_arg(va, int *) : nullptr;
    if (sized) (*fp)++;
    if (none_ok && arg == Zv_None) {
        *p = nullptr;
        if (q != nullptr) *q = 0;
        return nullptr;
    }
    if (ZvString_Check(arg)) {
        *p = ZvString_AS_STRING(arg);
        if (q != nullptr) {
            *q = ZvString_GET_SIZE(arg);
            return nullptr;
        }
        if ((int)strlen(*p) != ZvString_GET_SIZE(arg))
            return converterr(none_ok ? "string without null bytes or None"
                                      : "string without null bytes",
                              arg, st);
        return nullptr;
    }
    if (q == nullptr) return converterr(none_ok ? "string or None" : "string", arg, st);
    const char *errmsg = nullptr;
    void *buf = nullptr;
    int count = read_buffer(arg, &buf, &errmsg);
    if (count < 0) return converterr(errmsg, arg, st);
    *p = (const char *)buf;
    *q = count;
    return nullptr;
}

// "t#": an object's character buffer.
const char *convert_charbuffer(ZvObject *arg, const char **fp, ParseState &st)
{
    va_list &va = *st.va;
    auto **p = va_arg(va, const char **);
    if (**fp != '#') {
        ZvErr_SetString(ZvExc_SystemError, "invalid use of 't' format character");
        return converterr("(unspecified)", arg, st);
    }
    (*fp)++;
    int *q = va_arg(va, int *);
    if (ZvString_Check(arg)) {
        *p = ZvString_AS_STRING(arg);
        *q = ZvString_GET_SIZE(arg);
        return nullptr;
    }
    ZvBufferProcs *pb = Zv_TYPE(arg)->tp_as_buffer;
    if (!ZvType_HasFeature(Zv_TYPE(arg), Zv_TPFLAGS_HAVE_GETCHARBUFFER) || pb == nullptr ||
        pb->bf_getcharbuffer == nullptr || pb->bf_getsegcount == nullptr)
        return converterr("string or read-only character buffer", arg, st);
    if (pb->bf_getsegcount(arg, nullptr) != 1)
        return converterr("string or single-segment read-only buffer", arg, st);
    int count = pb->bf_getcharbuffer(arg, 0, p);
    if (count < 0) return converterr("(unspecified)", arg, st);
    *q = count;
    return nullptr;
}

// "w", "w#": a writable single-segment buffer.
const char *convert_writebuffer(ZvObject *arg, const char **fp, ParseState &st)
{
    va_list &va = *st.va;
    auto **p = va_arg(va, void **);
    int *q = nullptr;
    if (**fp == '#') {
        q = va_arg(va, int *);
        (*fp)++;
    }
    ZvBufferProcs *pb = Zv_TYPE(arg)->tp_as_buffer;
    if (pb == nullptr || pb->bf_getwritebuffer == nullptr || pb->bf_getsegcount == nullptr)
        return converterr("read-write buffer", arg, st);
    if (pb->bf_getsegcount(arg, nullptr) != 1)
        return converterr("single-segment read-write buffer", arg, st);
    int count = pb->bf_getwritebuffer(arg, 0, p);
    if (count < 0) return converterr("(unspecified)", arg, st);
    if (q != nullptr) *q = count;
    return nullptr;
}

// Case-insensitive name comparison where '-' and '_' are the same.
bool same_encoding_name(const char *a, const char *b)
{
    for (;; a++, b++) {
        char x = (char)tolower((unsigned char)*a), y = (char)tolower((unsigned char)*b);
        if (x == '_') x = '-';
        if (y == '_') y = '-';
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

// Encodings under which ASCII text encodes to itself.  Until the codec
// registry exists these are the ones an "es" unit can apply.
bool ascii_compatible(const char *encoding)
{
    static const char *const names[] = {"ascii",      "us-ascii",   "646",    "utf-8",
                                        "utf8",       "latin-1",    "latin1", "iso-8859-1",
                                        "iso8859-1", "l1"};
    for (const char *n : names)
        if (same_encoding_name(encoding, n)) return true;
    return false;
}

// Re-encodes a byte string for an "es" unit: the string is decoded with
// the default encoding (ASCII) and encoded with `encoding`.  Returns a new
// reference or NULL with the error set.
ZvObject *recode_string(ZvObject *arg, const char *encoding)
{
    const unsigned char *s = (const unsigned char *)ZvString_AS_STRING(arg);
    int n = ZvString_GET_SIZE(arg);
    for (int i = 0; i < n; i++) {
        if (s[i] >= 128) {
            ZvErr_Format(ZvExc_UnicodeDecodeError,
                         "'ascii' codec can't decode byte 0x%x in position %d: "
                         "ordinal not in range(128)",
                         (int)s[i], i);
            return nullptr;
        }
    }
    if (!ascii_compatible(encoding)) {
        ZvErr_Format(ZvExc_LookupError, "unknown encoding: %s", encoding);
        return nullptr;
    }
    Zv_INCREF(arg);
    return arg;
}

// "es", "et", "es#", "et#": an encoded copy of a string argument.
const char *convert_encoded(ZvObject *arg, const char **fp, ParseState &st)
{
    va_list &va = *st.va;
    const char *encoding = va_arg(va, const char *);
    if (encoding == nullptr) encoding = "ascii";
    char marker = **fp;
    if (marker != 's' && marker != 't')
        return converterr("(unknown parser marker combination)", arg, st);
    (*fp)++;
    auto **buffer = va_arg(va, char **);
    bool sized = **fp == '#';
    int *buffer_len = sized ? va_arg(va, int *) : nullptr;
    if (sized) (*fp)++;
    if (buffer == nullptr) return converterr("(buffer is NULL)", arg, st);
    if (!ZvString_Check(arg)) return converterr("string or unicode or text buffer", arg, st);

    ZvObject *s;
    if (marker == 't') {
        Zv_INCREF(arg);
        s = arg;
    } else {
        s = recode_string(arg, encoding);
        if (s == nullptr) return converterr("(encoding failed)", arg, st);
    }
    int size = ZvString_GET_SIZE(s);
    const char *result = nullptr;
    if (sized) {
        if (buffer_len == nullptr) {
            result = converterr("(buffer_len is NULL)", arg, st);
        } else if (*buffer == nullptr) {
            *buffer = (char *)ZvMem_Malloc((size_t)size + 1);
            if (*buffer == nullptr)
                result = converterr("(memory error)", arg, st);
            else if (!st.cleanup.add(buffer)) {
                ZvMem_Free(*buffer);
                *buffer = nullptr;
                result = converterr("(cleanup problem)", arg, st);
            }
        } else if (size + 1 > *buffer_len) {
            result = converterr("(buffer overflow)", arg, st);
        }
        if (result == nullptr) {
            memcpy(*buffer, ZvString_AS_STRING(s), (size_t)size + 1);
            *buffer_len = size;
        }
    } else if ((int)strlen(ZvString_AS_STRING(s)) != size) {
        result = converterr("(encoded string without NULL bytes)", arg, st);
    } else {
        *buffer = (char *)ZvMem_Malloc((size_t)size + 1);
        if (*buffer == nullptr)
            result = converterr("(memory error)", arg, st);
        else if (!st.cleanup.add(buffer)) {
            ZvMem_Free(*buffer);
            *buffer = nullptr;
            result = converterr("(cleanup problem)", arg, st);
        } else {
            memcpy(*buffer, ZvString_AS_STRING(s), (size_t)size + 1);
        }
    }
    Zv_DECREF(s);
    return result;
}

// "u", "u#", "U": no object is unicode until the unicode type exists, so
// these units refuse every argument with their expected type.
const char *convert_unicode(char c, ZvObject *arg, const char **fp, ParseState &st)
{
    va_list &va = *st.va;
    (void)va_arg(va, void *);
    if (c == 'u' && **fp == '#') {
        (void)va_arg(va, int *);
        (*fp)++;
    }
    return converterr("unicode", arg, st);
}

// "O", "O!", "O&", "O?".
const char *convert_object(ZvObject *arg, const char **fp, ParseState &st)
{
    va_list &va = *st.va;
    char mod = **fp;
    if (mod == '!') {
        (*fp)++;
        auto *type = va_arg(va, ZvTypeObject *);
        auto **p = va_arg(va, ZvObject **);
        if (type == nullptr || !ZvObject_TypeCheck(arg, type))
            return converterr(type != nullptr ? type->tp_name : "(unspecified)", arg, st);
        *p = arg;
        return nullptr;
    }
    if (mod == '?') {
        (*fp)++;
        auto pred = va_arg(va, inquiry);
        auto **p = va_arg(va, ZvObject **);
        if (!pred(arg)) return converterr("(unspecified)", arg, st);
        *p = arg;
        return nullptr;
    }
    if (mod == '&') {
        (*fp)++;
        typedef int (*converter)(ZvObject *, void *);
        auto convert = va_arg(va, converter);
        void *addr = va_arg(va, void *);
        if (!convert(arg, addr)) return converterr("(unspecified)", arg, st);
        return nullptr;
    }
    *va_arg(va, ZvObject **) = arg;
    return nullptr;
}

// Converts one unit that is not a group; advances *fp past it.
const char *convert_simple(ZvObject *arg, const char **fp, ParseState &st)
{
    const char *f = *fp;
    char c = *f++;
    const char *msg = nullptr;
    va_list &va = *st.va;
    switch (c) {
    case 'b': case 'B': case 'h': case 'H': case 'i': case 'I':
    case 'l': case 'k': case 'L': case 'K':
        msg = convert_integer(c, arg, st);
        break;
    case 'f': case 'd': case 'D':
        msg = convert_floating(c, arg, st);
        break;
    case 'c': {
        char *p = va_arg(va, char *);
        if (ZvString_Check(arg) && ZvString_GET_SIZE(arg) == 1)
            *p = ZvString_AS_STRING(arg)[0];
        else
            msg = converterr("char", arg, st);
        break;
    }
    case 's':
    case 'z':
        msg = convert_string(arg, &f, c == 'z', st);
        break;
    case 'e':
        msg = convert_encoded(arg, &f, st);
        break;
    case 'u':
    case 'U':
        msg = convert_unicode(c, arg, &f, st);
        break;
    case 'S': {
        auto **p = va_arg(va, ZvObject **);
        if (ZvString_Check(arg))
            *p = arg;
        else
            msg = converterr("string", arg, st);
        break;
    }
    case 'O':
        msg = convert_object(arg, &f, st);
        break;
    case 'w':
        msg = convert_writebuffer(arg, &f, st);
        break;
    case 't':
        msg = convert_charbuffer(arg, &f, st);
        break;
    default:
        msg = converterr("impossible<bad format char>", arg, st);
        break;
    }
    *fp = f;
    return msg;
}

// "(...)" units take any sequence but a string: "(cc)" must not silently
// split "ab".
bool is_sequence(ZvObject *o) { return !ZvString_Check(o) && ZvSequence_Check(o); }

// Number of units in the group whose first unit is at f.
int group_size(const char *f)
{
    int n = 0;
    while (*f != ')' && !ends_format(*f)) {
        n++;
        if (*f != '(') {
            f = unit_end(f);
            continue;
        }
        int level = 0;
        do {
            if (*f == '(') level++;
            if (*f == ')') level--;
            f++;
        } while (level > 0 && *f != '\0');
    }
    return n;
}

// True when a unit of the group whose first unit is at f, or of a group
// nested in it, stores a pointer into its item or the item itself rather
// than a converted value ("s", "S", "O", ...; an "O&" converter may too).
bool group_borrows(const char *f)
{
    int level = 0;
    while (!ends_format(*f)) {
        char c = *f;
        if (c == '(' || c == ')') {
            if (c == ')' && level-- == 0) return false;
            if (c == '(') level++;
            f++;
            continue;
        }
        if (strchr("szuwtSUO", c) != nullptr) return true;
        f = unit_end(f);
    }
    return false;
}

// The item path of a failed conversion: path[d] is the 1-based item number
// at nesting depth d, 0 ending the path.  Depths past kMaxLevels are not
// recorded (their conversions still run).
struct ItemPath {
    int v[kMaxLevels + 1] = {};
    void set(int depth, int value)
    {
        if (depth < kMaxLevels) v[depth] = value;
    }
};

const char *convert_item(ZvObject *arg, const char **fp, ItemPath &path, int depth,
                         ParseState &st);

// Converts the items of a sequence argument with the units of a group;
// *fp points at the first unit after the '('.
//
// A tuple or a list owns its items, and the caller holds the arguments, so
// pointers into them stay valid (for a list, while the caller leaves it
// alone, as with any borrowed list item).  Any other sequence may make its
// items on access (a class with __getitem__, xrange) or drop them at any
// time, so when the group stores pointers into its items they are kept in
// the parse state and, if the parse succeeds, as long as the arguments
// live.
const char *convert_tuple(ZvObject *arg, const char **fp, ItemPath &path, int depth,
                          ParseState &st)
{
    int n = group_size(*fp);
    path.set(depth, 0);
    if (!is_sequence(arg)) {
        snprintf(st.msgbuf, sizeof st.msgbuf, "must be %d-item sequence, not %.50s", n,
                 type_name_of(arg));
        return st.msgbuf;
    }
    int len = ZvSequence_Size(arg);
    if (len < 0) return converterr("(unspecified)", arg, st);
    if (len != n) {
        snprintf(st.msgbuf, sizeof st.msgbuf, "must be sequence of length %d, not %d", n, len);
        return st.msgbuf;
    }
    bool owns_items = ZvTuple_CheckExact(arg) || ZvList_CheckExact(arg);
    bool keep = !owns_items && group_borrows(*fp);
    const char *f = *fp;
    for (int i = 0; i < n; i++) {
        zv::Ref item(ZvSequence_GetItem(arg, i));
        const char *msg;
        if (!item || (keep && !st.keep(item.get())))
            msg = converterr("(unspecified)", arg, st);
        else
            msg = convert_item(item.get(), &f, path, depth + 1, st);
        if (msg != nullptr) {
            path.set(depth, i + 1);
            return msg;
        }
    }
    *fp = f;
    return nullptr;
}

// Converts one unit or group and advances *fp past it.
const char *convert_item(ZvObject *arg, const char **fp, ItemPath &path, int depth,
                         ParseState &st)
{
    const char *f = *fp;
    const char *msg;
    if (*f == '(') {
        f++;
        msg = convert_tuple(arg, &f, path, depth, st);
        if (msg == nullptr) f++; // past the ')'
    } else {
        msg = convert_simple(arg, &f, st);
        if (msg != nullptr) path.set(depth, 0);
    }
    if (msg == nullptr) *fp = f;
    return msg;
}

// Converts one argument of the top-level list; on failure sets the error
// for argument number `iarg` and frees what "e" units allocated.
bool convert_argument(ZvObject *arg, const char **fp, int iarg, const FormatInfo &info,
                      ParseState &st)
{
    if (**fp == '|') (*fp)++;
    ItemPath path;
    const char *msg = convert_item(arg, fp, path, 0, st);
    if (msg == nullptr) return true;
    seterror(iarg, msg, path.v, info.fname, info.message);
    st.cleanup.release();
    return false;
}

// "%.150s%s takes %s %d argument%s (%d given)" for a wrong argument count,
// or the format's own message.
void count_error(const FormatInfo &info, int len)
{
    if (info.message != nullptr) {
        ZvErr_SetString(ZvExc_TypeError, info.message);
        return;
    }
    int bound = len < info.min ? info.min : info.max;
    char buf[kMsgSize];
    snprintf(buf, sizeof buf, "%.150s%s takes %s %d argument%s (%d given)",
             info.fname != nullptr ? info.fname : "function", info.fname != nullptr ? "()" : "",
             info.min == info.max ? "exactly" : len < info.min ? "at least" : "at most", bound,
             bound == 1 ? "" : "s", len);
    ZvErr_SetString(ZvExc_TypeError, buf);
}

// ---------------------------------------------------------------------------
// Items kept for the callers of successful parses.
//
// The results of a group over a sequence other than a tuple or a list may
// point into items nothing else holds.  They must stay valid as long as the
// caller holds the arguments, as they do when a tuple owns the items, so
// each entry holds the argument object and a list of the items kept for it.
// When only its entry still holds the argument object, the caller is done
// with it, and the entry goes at the start of the next parse; shut-down
// lets go of the rest.  Only the thread holding the interpreter lock
// parses, so the entries need no lock of their own.  Arguments parsed
// again while the caller still holds them gain a list per parse: the
// results of the earlier parses may still be in use.

struct KeptEntry {
    ZvObject *owner; // the argument object of the parse
    ZvObject *items; // list of kept items (and lists of later parses)
};
std::vector<KeptEntry> kept_for_callers;
bool sweeping = false;

// Releases the entries whose argument object only the entry still holds.
// Releasing may run finalizers that parse again: their parses do not sweep
// and add entries only at the end, past the walk.
void release_finished_parses()
{
    if (sweeping || kept_for_callers.empty()) return;
    sweeping = true;
    for (size_t i = kept_for_callers.size(); i-- > 0;) {
        KeptEntry entry = kept_for_callers[i];
        if (Zv_REFCNT(entry.owner) > 1) continue;
        kept_for_callers.erase(kept_for_callers.begin() + (long)i);
        Zv_DECREF(entry.items);
        Zv_DECREF(entry.owner);
    }
    sweeping = false;
}

// Keeps `items` alive with `owner`, one entry per argument object.  False
// with the error set when the list cannot grow: the parse then fails, as
// its results would not stay valid.
bool keep_for_caller(ZvObject *owner, zv::Ref items)
{
    for (KeptEntry &entry : kept_for_callers)
        if (entry.owner == owner) return ZvList_Append(entry.items, items.get()) == 0;
    Zv_INCREF(owner);
    kept_for_callers.push_back({owner, items.release()});
    return true;
}

// Ends a parse whose conversions all succeeded.
int parse_succeeded(ZvObject *args, ParseState &st)
{
    if (st.kept && !keep_for_caller(args, std::move(st.kept))) {
        st.cleanup.release();
        return 0;
    }
    return 1;
}

// Positional parsing.  `compat` is the old convention of ZvArg_Parse,
// where a format of one unit converts `args` itself.
int vgetargs1(ZvObject *args, const char *format, va_list *va, bool compat)
{
    if (format == nullptr) {
        ZvErr_BadInternalCall();
        return 0;
    }
    release_finished_parses();
    FormatInfo info = scan_format(format);
    ParseState st(va);

    if (compat && (info.has_bar || info.fname != nullptr || info.message != nullptr))
        Zv_FatalError("old style getargs format uses new features");
    // The old convention has no function names, so its messages say "function".
    if (compat && info.max < 2) {
        if (info.max == 0) {
            if (args == nullptr) return 1;
            ZvErr_SetString(ZvExc_TypeError, "function takes no arguments");
            return 0;
        }
        if (args == nullptr) {
            ZvErr_SetString(ZvExc_TypeError, "function takes at least one argument");
            return 0;
        }
        ItemPath path;
        const char *msg = convert_item(args, &format, path, 0, st);
        if (msg == nullptr) return parse_succeeded(args, st);
        // The single argument has no position: name its item path only.
        seterror(path.v[0], msg, path.v + 1, nullptr, nullptr);
        st.cleanup.release();
        return 0;
    }

    if (args == nullptr || !ZvTuple_Check(args)) {
        ZvErr_SetString(ZvExc_SystemError,
                        "new style getargs format but argument is not a tuple");
        return 0;
    }
    int len = ZvTuple_GET_SIZE(args);
    if (len < info.min || len > info.max) {
        count_error(info, len);
        return 0;
    }
    for (int i = 0; i < len; i++)
        if (!convert_argument(ZvTuple_GET_ITEM(args, i), &format, i + 1, info, st)) return 0;
    return parse_succeeded(args, st);
}

// Counts the units of a keyword format and checks it against kwlist.
// Returns false with SystemError set when they disagree.
bool scan_keyword_format(const char *f, char **kwlist, FormatInfo *info)
{
    char **p = kwlist;
    while (!ends_format(*f)) {
        if (*f == '(') {
            ZvErr_SetString(ZvExc_SystemError,
                            "tuple found in format when using keyword arguments");
            return false;
        }
        if (*f == '|') {
            if (info->min < 0) info->min = info->max;
            info->has_bar = true;
            f++;
            continue;
        }
        if (*p == nullptr) {
            ZvErr_SetString(ZvExc_SystemError,
                            "more argument specifiers than keyword list entries");
            return false;
        }
        p++;
        info->max++;
        f = unit_end(f);
    }
    if (*p != nullptr) {
        ZvErr_SetString(ZvExc_SystemError, "more keyword list entries than argument specifiers");
        return false;
    }
    if (*f == ':') info->fname = f + 1;
    if (*f == ';') info->message = f + 1;
    if (info->min < 0) info->min = info->max;
    return true;
}

// Consumes the destinations of the unit at *fp without converting.
void skip_unit(const char **fp, va_list *va)
{
    const char *f = *fp;
    char c = *f;
    const char *end = unit_end(f);
    if (c == 'O' && end - f == 2) {
        // O!, O& and O? take two destinations: the type, converter or
        // predicate, then the object or the converter's target.
        if (f[1] == '&') {
            typedef int (*converter)(ZvObject *, void *);
            (void)va_arg(*va, converter);
        } else if (f[1] == '?') {
            (void)va_arg(*va, inquiry);
        } else {
            (void)va_arg(*va, ZvTypeObject *);
        }
        (void)va_arg(*va, void *);
    } else if (c == 'e') {
        // encoding, buffer and, with '#', the length
        (void)va_arg(*va, const char *);
        if (end - f >= 2) (void)va_arg(*va, char **);
        if (end[-1] == '#') (void)va_arg(*va, int *);
    } else {
        (void)va_arg(*va, void *);
        if (end - f == 2 && end[-1] == '#') (void)va_arg(*va, int *);
    }
    *fp = end;
}

// The number of arguments that fill required units: the positional ones
// and the keywords naming the required units after them; -1 when a lookup
// failed.
int required_given(ZvObject *kwargs, char **kwlist, int nargs, int min)
{
    int len = nargs;
    for (int i = nargs; kwargs != nullptr && i < min; i++) {
        if (ZvDict_GetItemString(kwargs, kwlist[i]) != nullptr)
            len++;
        else if (ZvErr_Occurred() != nullptr)
            return -1;
    }
    return len;
}

int vgetargskeywords(ZvObject *args, ZvObject *kwargs, const char *format, char **kwlist,
                     va_list *va)
{
    FormatInfo info;
    if (!scan_keyword_format(format, kwlist, &info)) return 0;
    ParseState st(va);

    int nargs = ZvTuple_GET_SIZE(args);
    int nkeywords = kwargs == nullptr ? 0 : ZvDict_Size(kwargs);

    if (nkeywords > 0) {
        for (int i = 0; i < nargs && i < info.max; i++) {
            if (ZvDict_GetItemString(kwargs, kwlist[i]) != nullptr) {
                ZvErr_Format(ZvExc_TypeError,
                             "keyword parameter '%s' was given by position and by name",
                             kwlist[i]);
                return 0;
            }
            if (ZvErr_Occurred() != nullptr) return 0;
        }
    }

    // Required arguments missing from the positional ones may come by name.
    int len = nkeywords > 0 ? required_given(kwargs, kwlist, nargs, info.min) : nargs;
    if (len < 0) return 0;
    if (len < info.min || nargs > info.max) {
        count_error(info, len);
        return 0;
    }

    for (int i = 0; i < nargs; i++)
        if (!convert_argument(ZvTuple_GET_ITEM(args, i), &format, i + 1, info, st)) return 0;

    // A conversion can run code (__int__, a converter) that changes the
    // keyword dictionary: a required unit whose keyword was counted above
    // may be gone by its turn, which is the missing-argument error, never
    // a unit left unconverted.
    int remaining = nkeywords;
    for (int i = nargs; i < info.max && (remaining > 0 || i < info.min); i++) {
        if (*format == '|') format++;
        ZvObject *item = kwargs != nullptr ? ZvDict_GetItemString(kwargs, kwlist[i]) : nullptr;
        if (item == nullptr) {
            if (ZvErr_Occurred() == nullptr && i >= info.min) {
                skip_unit(&format, va);
                continue;
            }
            if (ZvErr_Occurred() == nullptr) {
                int given = required_given(kwargs, kwlist, nargs, info.min);
                if (given >= 0) count_error(info, given);
            }
            st.cleanup.release();
            return 0;
        }
        Zv_INCREF(item);
        bool ok = convert_argument(item, &format, i + 1, info, st);
        Zv_DECREF(item);
        if (!ok) return 0;
        remaining--;
    }

    if (remaining > 0) {
        int pos = 0;
        ZvObject *key, *value;
        while (ZvDict_Next(kwargs, &pos, &key, &value)) {
            if (!ZvString_Check(key)) {
                ZvErr_SetString(ZvExc_TypeError, "keywords must be strings");
                st.cleanup.release();
                return 0;
            }
            const char *ks = ZvString_AS_STRING(key);
            bool match = false;
            for (int i = 0; i < info.max && !match; i++) match = strcmp(ks, kwlist[i]) == 0;
            if (!match) {
                ZvErr_Format(ZvExc_TypeError,
                             "'%s' is an invalid keyword argument for this function", ks);
                st.cleanup.release();
                return 0;
            }
        }
    }
    return 1;
}

} // namespace

extern "C" {

/* Shut-down: releases every item still kept for a caller.  Finalizers run
 * by the release may parse and keep more, hence the loop. */
void _ZvArg_Fini(void)
{
    while (!kept_for_callers.empty()) {
        std::vector<KeptEntry> entries;
        entries.swap(kept_for_callers);
        for (KeptEntry &entry : entries) {
            Zv_DECREF(entry.items);
            Zv_DECREF(entry.owner);
        }
    }
}

int ZvArg_Parse(ZvObject *args, const char *format, ...)
{
    va_list va;
    va_start(va, format);
    int r = vgetargs1(args, format, &va, true);
    va_end(va);
    return r;
}

int ZvArg_ParseTuple(ZvObject *args, const char *format, ...)
{
    va_list va;
    va_start(va, format);
    int r = vgetargs1(args, format, &va, false);
    va_end(va);
    return r;
}

int ZvArg_VaParse(ZvObject *args, const char *format, va_list va)
{
    va_list lva;
    va_copy(lva, va);
    int r = vgetargs1(args, format, &lva, false);
    va_end(lva);
    return r;
}

static bool keyword_call_ok(ZvObject *args, ZvObject *kwargs, const char *format,
                            char **kwlist)
{
    if (args == nullptr || !ZvTuple_Check(args) || (kwargs != nullptr && !ZvDict_Check(kwargs)) ||
        format == nullptr || kwlist == nullptr) {
        _ZvErr_BadInternalCall("Zuvo/getargs.cpp", __LINE__);
        return false;
    }
    return true;
}

int ZvArg_ParseTupleAndKeywords(ZvObject *args, ZvObject *kwargs, const char *format,
                                char **kwlist, ...)
{
    if (!keyword_call_ok(args, kwargs, format, kwlist)) return 0;
    va_list va;
    va_start(va, kwlist);
    int r = vgetargskeywords(args, kwargs, format, kwlist, &va);
    va_end(va);
    return r;
}

int ZvArg_VaParseTupleAndKeywords(ZvObject *args, ZvObject *kwargs, const char *format,
                                  char **kwlist, va_list va)
{
    if (!keyword_call_ok(args, kwargs, format, kwlist)) return 0;
    va_list lva;
    va_copy(lva, va);
    int r = vgetargskeywords(args, kwargs, format, kwlist, &lva);
    va_end(lva);
    return r;
}

int ZvArg_UnpackTuple(ZvObject *args, const char *name, int min, int max, ...)
{
    if (min < 0 || max < min) {
        ZvErr_BadInternalCall();
        return 0;
    }
    if (args == nullptr || !ZvTuple_Check(args)) {
        ZvErr_SetString(ZvExc_SystemError, "ZvArg_UnpackTuple() argument list is not a tuple");
        return 0;
    }
    int len = ZvTuple_GET_SIZE(args);
    if (len < min || len > max) {
        const char *word = min == max ? "" : len < min ? "at least " : "at most ";
        int bound = len < min ? min : max;
        if (name != nullptr)
            ZvErr_Format(ZvExc_TypeError, "%s expected %s%d arguments, got %d", name, word,
                         bound, len);
        else
            ZvErr_Format(ZvExc_TypeError, "unpacked tuple should have %s%d elements, but has %d",
                         word, bound, len);
        return 0;
    }
    va_list va;
    va_start(va, max);
    for (int i = 0; i < len; i++) *va_arg(va, ZvObject **) = ZvTuple_GET_ITEM(args, i);
    va_end(va);
    return 1;
}

int _ZvArg_NoKeywords(const char *funcname, ZvObject *kw)
{
    if (kw == nullptr) return 1;
    if (!ZvDict_Check(kw)) {
        ZvErr_BadInternalCall();
        return 0;
    }
    if (ZvDict_Size(kw) == 0) return 1;
    ZvErr_Format(ZvExc_TypeError, "%s does not take keyword arguments", funcname);
    return 0;
}

} // extern "C"
