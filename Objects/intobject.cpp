/* The `int` type: one immutable signed 32-bit value.
 *
 * Allocation.  Int records are carved from ZvIntBlock chunks of 82 records
 * that are never returned to the system before ZvInt_Fini.  Free records
 * form a singly linked list threaded through their ob_type field, so the
 * steady state of "create an int, drop an int" never calls the general
 * allocator.  Under AddressSanitizer a free record is poisoned except for
 * that link, so a use after release is still caught.
 *
 * Sharing.  The 105 values -5..99 are created once (small_ints) and every
 * producer of an int returns the shared object for them.
 *
 * Arithmetic.  Every slot first takes the 32-bit values of both operands
 * (anything that is not an int answers NotImplemented) and detects overflow
 * itself; an overflowing operation hands the *original operand objects* to
 * the long slot of the same name, which accepts int operands, so the user
 * sees one seamless integer domain. */
#include "zuvo.h"
#include "numglue.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define INT_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define INT_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define INT_POISON(p, n) ((void)(p), (void)(n))
#define INT_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

extern "C" {

/* --- allocation ------------------------------------------------------------ */

/* A block budget of 1000 bytes less the link, divided by the record size
 * of the 32-bit layout: 82 records.  Kept on this host so block counts in
 * the shut-down report mean the same everywhere. */
#define N_INTOBJECTS 82

struct ZvIntBlock {
    ZvIntBlock *next;
    ZvIntObject objects[N_INTOBJECTS];
};

static ZvIntBlock *block_list = nullptr;
static ZvIntObject *free_list = nullptr;

#define NSMALLNEGINTS _ZvInt_NSMALLNEG
#define NSMALLPOSINTS _ZvInt_NSMALLPOS
static ZvIntObject *small_ints[NSMALLNEGINTS + NSMALLPOSINTS];

/* The link of a free record lives in ob_type; everything else of the
 * record is poisoned while it waits. */
static ZvIntObject *free_next(ZvIntObject *v) { return (ZvIntObject *)Zv_TYPE(v); }

static void free_push(ZvIntObject *v)
{
    Zv_TYPE(v) = (ZvTypeObject *)free_list;
    free_list = v;
    INT_POISON(&v->ob_refcnt, sizeof v->ob_refcnt);
    INT_POISON(&v->ob_ival, sizeof v->ob_ival);
}

/* Allocates a block and threads its records so that the highest index is
 * handed out first. */
[[gnu::noinline]] static ZvIntObject *fill_free_list(void)
{
    auto *b = (ZvIntBlock *)ZvMem_Malloc(sizeof(ZvIntBlock));
    if (b == nullptr) return (ZvIntObject *)ZvErr_NoMemory();
    b->next = block_list;
    block_list = b;
    ZvIntObject *head = nullptr;
    for (ZvIntObject &rec : b->objects) {
        Zv_TYPE(&rec) = (ZvTypeObject *)head;
        INT_POISON(&rec.ob_refcnt, sizeof rec.ob_refcnt);
        INT_POISON(&rec.ob_ival, sizeof rec.ob_ival);
        head = &rec;
    }
    return head;
}

static ZvIntObject *int_alloc(int32_t ival)
{
    if (free_list == nullptr && (free_list = fill_free_list()) == nullptr) return nullptr;
    ZvIntObject *v = free_list;
    free_list = free_next(v);
    INT_UNPOISON(&v->ob_refcnt, sizeof v->ob_refcnt);
    INT_UNPOISON(&v->ob_ival, sizeof v->ob_ival);
    _ZvObject_INIT(v, &ZvInt_Type);
    v->ob_ival = ival;
    return v;
}

static bool is_small(int32_t ival)
{
    return (uint32_t)ival + NSMALLNEGINTS < (uint32_t)(NSMALLNEGINTS + NSMALLPOSINTS);
}

/* Before start-up (or after shut-down) the small-int cache fills on demand. */
[[gnu::noinline]] static ZvObject *small_int_missing(int32_t ival)
{
    ZvIntObject *&slot = small_ints[ival + NSMALLNEGINTS];
    if ((slot = int_alloc(ival)) == nullptr) return nullptr;
    Zv_INCREF(slot);
    return (ZvObject *)slot;
}

ZvObject *ZvInt_FromLong(int32_t ival)
{
    if (is_small(ival)) {
        ZvIntObject *v = small_ints[ival + NSMALLNEGINTS];
        if (v == nullptr) return small_int_missing(ival);
        Zv_INCREF(v);
        return (ZvObject *)v;
    }
    return (ZvObject *)int_alloc(ival);
}

int _ZvInt_Init(void)
{
    for (int32_t ival = -NSMALLNEGINTS; ival < NSMALLPOSINTS; ival++) {
        ZvIntObject *&slot = small_ints[ival + NSMALLNEGINTS];
        if (slot != nullptr) continue;
        if ((slot = int_alloc(ival)) == nullptr) return 0;
    }
    return 1;
}

static void int_dealloc(ZvObject *v)
{
    if (ZvInt_CheckExact(v))
        free_push((ZvIntObject *)v);
    else
        Zv_TYPE(v)->tp_free(v);
}

static void int_free(void *v) { free_push((ZvIntObject *)v); }

/* --- conversions to machine integers ------------------------------------- */

/* Calls o's nb_int for the ZvInt_As* family; NULL with TypeError when the
 * object has none. */
static ZvObject *call_nb_int(ZvObject *op)
{
    ZvNumberMethods *nb = op ? Zv_TYPE(op)->tp_as_number : nullptr;
    if (nb == nullptr || nb->nb_int == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "an integer is required");
        return nullptr;
    }
    return nb->nb_int(op);
}

int32_t ZvInt_AsLong(ZvObject *op)
{
    if (op != nullptr && ZvInt_Check(op)) return ZvInt_AS_LONG(op);
    ZvObject *io = call_nb_int(op);
    if (io == nullptr) return -1;
    int32_t val;
    if (ZvInt_Check(io))
        val = ZvInt_AS_LONG(io);
    else if (ZvLong_Check(io))
        val = ZvLong_AsLong(io); /* its OverflowError propagates with -1 */
    else {
        Zv_DECREF(io);
        ZvErr_SetString(ZvExc_TypeError, "nb_int should return int object");
        return -1;
    }
    Zv_DECREF(io);
    return val;
}

uint32_t ZvInt_AsUnsignedLongMask(ZvObject *op)
{
    if (op != nullptr && ZvInt_Check(op)) return (uint32_t)ZvInt_AS_LONG(op);
    if (op != nullptr && ZvLong_Check(op)) return ZvLong_AsUnsignedLongMask(op);
    ZvObject *io = call_nb_int(op);
    if (io == nullptr) return (uint32_t)-1;
    uint32_t val;
    if (ZvInt_Check(io))
        val = (uint32_t)ZvInt_AS_LONG(io);
    else if (ZvLong_Check(io)) {
        val = ZvLong_AsUnsignedLongMask(io);
        if (ZvErr_Occurred()) val = (uint32_t)-1;
    } else {
        Zv_DECREF(io);
        ZvErr_SetString(ZvExc_TypeError, "nb_int should return int object");
        return (uint32_t)-1;
    }
    Zv_DECREF(io);
    return val;
}

unsigned long long ZvInt_AsUnsignedLongLongMask(ZvObject *op)
{
    if (op != nullptr && ZvInt_Check(op)) return (unsigned long long)(long long)ZvInt_AS_LONG(op);
    if (op != nullptr && ZvLong_Check(op)) return ZvLong_AsUnsignedLongLongMask(op);
    ZvObject *io = call_nb_int(op);
    if (io == nullptr) return (unsigned long long)-1;
    unsigned long long val;
    if (ZvInt_Check(io))
        val = (unsigned long long)(long long)ZvInt_AS_LONG(io);
    else if (ZvLong_Check(io)) {
        val = ZvLong_AsUnsignedLongLongMask(io);
        if (ZvErr_Occurred()) val = (unsigned long long)-1;
    } else {
        Zv_DECREF(io);
        ZvErr_SetString(ZvExc_TypeError, "nb_int should return int object");
        return (unsigned long long)-1;
    }
    Zv_DECREF(io);
    return val;
}

int32_t ZvInt_GetMax(void) { return ZvInt_MAX; }

/* --- digit-string conversion --------------------------------------------- */

static int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

uint32_t ZvOS_strtoul(const char *str, char **ptr, int base)
{
    const char *start = str;
    if (base != 0 && (base < 2 || base > 36)) {
        if (ptr) *ptr = (char *)start;
        return 0;
    }
    while (*str && isspace((unsigned char)*str)) str++;
    /* A "0x" prefix counts only when a hex digit follows: "0x" alone is the
     * number 0 followed by an 'x', which the caller then rejects. */
    bool hexprefix = str[0] == '0' && (str[1] == 'x' || str[1] == 'X') && digit_value(str[2]) < 16;
    if (base == 0) {
        if (hexprefix) {
            base = 16;
            str += 2;
        } else if (*str == '0') {
            base = 8;
            str++;
        } else
            base = 10;
    } else if (base == 16 && hexprefix)
        str += 2;

    const char *digits = str;
    uint32_t result = 0;
    bool overflow = false;
    int c;
    for (; (c = digit_value(*str)) < base; str++) {
        uint32_t prev = result;
        result = result * (uint32_t)base + (uint32_t)c;
        if (overflow) continue;
        /* Base 10 tests in signed arithmetic, so every decimal value the
         * signed conversion cannot hold is reported as overflow too. */
        if (base == 10)
            overflow = (int32_t)(result - (uint32_t)c) / 10 != (int32_t)prev;
        else
            overflow = (result - (uint32_t)c) / (uint32_t)base != prev;
    }
    /* A leading "0" consumed as the octal marker is itself the digits. */
    if (str == digits && !(digits > start && digits[-1] == '0')) str = start;
    if (ptr) *ptr = (char *)str;
    if (overflow) {
        errno = ERANGE;
        return 0xFFFFFFFFu;
    }
    return result;
}

int32_t ZvOS_strtol(const char *str, char **ptr, int base)
{
    const char *start = str;
    while (*str && isspace((unsigned char)*str)) str++;
    char sign = *str;
    if (sign == '+' || sign == '-') str++;
    char *end;
    uint32_t result = ZvOS_strtoul(str, &end, base);
    if (end == str) {
        if (ptr) *ptr = (char *)start;
        return 0;
    }
    if (ptr) *ptr = end;
    if (result > 0x7FFFFFFFu && !(sign == '-' && result == 0x80000000u)) {
        errno = ERANGE;
        result = 0x7FFFFFFFu;
    }
    return sign == '-' ? (int32_t)(0u - result) : (int32_t)result;
}

static ZvObject *invalid_int_literal(const char *s)
{
    return ZvErr_Format(ZvExc_ValueError, "invalid literal for int(): %.200s", s);
}

ZvObject *ZvInt_FromString(const char *s, char **pend, int base)
{
    if (s == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if ((base != 0 && base < 2) || base > 36) {
        ZvErr_SetString(ZvExc_ValueError, "int() base must be >= 2 and <= 36");
        return nullptr;
    }
    while (*s && isspace((unsigned char)*s)) s++;
    errno = 0;
    char *end;
    int32_t x;
    if (base == 0 && s[0] == '0') {
        uint32_t u = ZvOS_strtoul(s, &end, 0);
        if (u > 0x7FFFFFFFu) return ZvLong_FromString(s, pend, 0);
        x = (int32_t)u;
    } else
        x = ZvOS_strtol(s, &end, base);
    if (end == s || !isalnum((unsigned char)end[-1])) return invalid_int_literal(s);
    while (*end && isspace((unsigned char)*end)) end++;
    if (*end != '\0') return invalid_int_literal(s);
    if (errno != 0) return ZvLong_FromString(s, pend, base);
    if (pend) *pend = end;
    return ZvInt_FromLong(x);
}

ZvObject *ZvInt_FromUnicode(const uint16_t *s, int length, int base)
{
    /* The decimal encoding of Unicode text belongs to the Unicode type,
     * which this runtime does not have yet. */
    (void)s;
    (void)length;
    (void)base;
    ZvErr_SetString(ZvExc_SystemError, "unicode support is not available");
    return nullptr;
}

/* --- operand access ------------------------------------------------------ */

/* The 32-bit value of an int operand; false for any other type, which
 * makes the slot answer NotImplemented. */
static bool int_operand(ZvObject *o, int32_t *out)
{
    if (!ZvInt_Check(o)) return false;
    *out = ZvInt_AS_LONG(o);
    return true;
}

#define CONVERT_BINOP(v, w, a, b)                                             \
    int32_t a, b;                                                             \
    if (!int_operand(v, &a) || !int_operand(w, &b)) Zv_RETURN_NOTIMPLEMENTED

static ZvNumberMethods *long_slots(void) { return ZvLong_Type.tp_as_number; }

/* --- arithmetic ---------------------------------------------------------- */

static ZvObject *int_add(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t x;
    if (__builtin_add_overflow(a, b, &x)) return long_slots()->nb_add(v, w);
    return ZvInt_FromLong(x);
}

static ZvObject *int_sub(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t x;
    if (__builtin_sub_overflow(a, b, &x)) return long_slots()->nb_subtract(v, w);
    return ZvInt_FromLong(x);
}

static ZvObject *int_mul(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t x;
    if (__builtin_mul_overflow(a, b, &x)) return long_slots()->nb_multiply(v, w);
    return ZvInt_FromLong(x);
}

enum divmod_result { DIVMOD_OK, DIVMOD_OVERFLOW, DIVMOD_ERROR };

/* Floored division: the quotient rounds toward minus infinity and the
 * remainder takes the sign of the divisor. */
static divmod_result i_divmod(int32_t x, int32_t y, int32_t *p_xdivy, int32_t *p_xmody)
{
    if (y == 0) {
        ZvErr_SetString(ZvExc_ZeroDivisionError, "integer division or modulo by zero");
        return DIVMOD_ERROR;
    }
    if (y == -1 && x == ZvInt_MIN) return DIVMOD_OVERFLOW;
    int32_t xdivy = x / y;
    int32_t xmody = x - xdivy * y;
    if (xmody != 0 && ((y ^ xmody) < 0)) {
        xmody += y;
        --xdivy;
    }
    *p_xdivy = xdivy;
    *p_xmody = xmody;
    return DIVMOD_OK;
}

static ZvObject *int_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t d, m;
    switch (i_divmod(a, b, &d, &m)) {
    case DIVMOD_OK: return ZvInt_FromLong(d);
    case DIVMOD_OVERFLOW: return long_slots()->nb_floor_divide(v, w);
    default: return nullptr;
    }
}

static ZvObject *int_classic_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (zv::division_warning_flag() && zv::deprecation_warning("classic int division") < 0)
        return nullptr;
    int32_t d, m;
    switch (i_divmod(a, b, &d, &m)) {
    case DIVMOD_OK: return ZvInt_FromLong(d);
    case DIVMOD_OVERFLOW: return long_slots()->nb_divide(v, w);
    default: return nullptr;
    }
}

static ZvObject *int_true_divide(ZvObject *v, ZvObject *w)
{
    /* Only int/int lands here; mixed operands are the other type's job. */
    if (!ZvInt_Check(v) || !ZvInt_Check(w)) Zv_RETURN_NOTIMPLEMENTED;
    return ZvFloat_Type.tp_as_number->nb_true_divide(v, w);
}

static ZvObject *int_mod(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t d, m;
    switch (i_divmod(a, b, &d, &m)) {
    case DIVMOD_OK: return ZvInt_FromLong(m);
    case DIVMOD_OVERFLOW: return long_slots()->nb_remainder(v, w);
    default: return nullptr;
    }
}

/* A 2-tuple of two fresh ints. */
static ZvObject *int_pair(int32_t a, int32_t b)
{
    ZvObject *x = ZvInt_FromLong(a);
    ZvObject *y = x ? ZvInt_FromLong(b) : nullptr;
    ZvObject *t = y ? ZvTuple_New(2) : nullptr;
    if (t == nullptr) {
        Zv_XDECREF(x);
        Zv_XDECREF(y);
        return nullptr;
    }
    ZvTuple_SET_ITEM(t, 0, x);
    ZvTuple_SET_ITEM(t, 1, y);
    return t;
}

static ZvObject *int_divmod(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    int32_t d, m;
    switch (i_divmod(a, b, &d, &m)) {
    case DIVMOD_OK: return int_pair(d, m);
    case DIVMOD_OVERFLOW: return long_slots()->nb_divmod(v, w);
    default: return nullptr;
    }
}

/* The truncating remainder, safe for the one quotient that overflows. */
static int32_t trunc_mod(int32_t x, int32_t c) { return c == -1 ? 0 : x % c; }

static ZvObject *int_pow(ZvObject *v, ZvObject *w, ZvObject *z)
{
    CONVERT_BINOP(v, w, base, exp);
    if (exp < 0) {
        if (z != Zv_None) {
            ZvErr_SetString(ZvExc_TypeError,
                            "pow() 2nd argument cannot be negative when 3rd argument specified");
            return nullptr;
        }
        return ZvFloat_Type.tp_as_number->nb_power(v, w, z);
    }
    int32_t c = 0;
    if (z != Zv_None) {
        if (!int_operand(z, &c)) Zv_RETURN_NOTIMPLEMENTED;
        if (c == 0) {
            ZvErr_SetString(ZvExc_ValueError, "pow() 3rd argument cannot be 0");
            return nullptr;
        }
    }
    /* Repeated squaring; any multiplication that leaves 32 bits hands the
     * whole operation to the long type. */
    int32_t ix = 1, temp = base;
    while (exp > 0) {
        if ((exp & 1) && __builtin_mul_overflow(ix, temp, &ix))
            return long_slots()->nb_power(v, w, z);
        exp >>= 1;
        if (exp == 0) break;
        if (__builtin_mul_overflow(temp, temp, &temp)) return long_slots()->nb_power(v, w, z);
        if (c != 0) {
            ix = trunc_mod(ix, c);
            temp = trunc_mod(temp, c);
        }
    }
    if (c != 0) {
        int32_t d, m;
        switch (i_divmod(ix, c, &d, &m)) {
        case DIVMOD_OK: ix = m; break;
        case DIVMOD_OVERFLOW: return long_slots()->nb_power(v, w, z);
        default: return nullptr;
        }
    }
    return ZvInt_FromLong(ix);
}

static ZvObject *int_pos(ZvObject *v)
{
    if (ZvInt_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    return ZvInt_FromLong(ZvInt_AS_LONG(v));
}

static ZvObject *int_neg(ZvObject *v)
{
    int32_t a = ZvInt_AS_LONG(v);
    if (a == ZvInt_MIN) {
        ZvObject *o = ZvLong_FromLong(a);
        if (o == nullptr) return nullptr;
        ZvObject *result = long_slots()->nb_negative(o);
        Zv_DECREF(o);
        return result;
    }
    return ZvInt_FromLong(-a);
}

static ZvObject *int_abs(ZvObject *v)
{
    return ZvInt_AS_LONG(v) >= 0 ? int_pos(v) : int_neg(v);
}

static int int_nonzero(ZvObject *v) { return ZvInt_AS_LONG(v) != 0; }

static ZvObject *int_invert(ZvObject *v) { return ZvInt_FromLong(~ZvInt_AS_LONG(v)); }

static ZvObject *negative_shift(void)
{
    ZvErr_SetString(ZvExc_ValueError, "negative shift count");
    return nullptr;
}

static ZvObject *int_lshift(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (b < 0) return negative_shift();
    if (a == 0 || b == 0) return int_pos(v);
    int32_t c = b < 32 ? (int32_t)((uint32_t)a << b) : 0;
    if (b >= 32 || (c >> b) != a) {
        /* Bits fell off the top: redo the shift with longs. */
        ZvObject *lv = ZvLong_FromLong(a);
        ZvObject *lw = lv ? ZvLong_FromLong(b) : nullptr;
        ZvObject *result = lw ? long_slots()->nb_lshift(lv, lw) : nullptr;
        Zv_XDECREF(lv);
        Zv_XDECREF(lw);
        return result;
    }
    return ZvInt_FromLong(c);
}

static ZvObject *int_rshift(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (b < 0) return negative_shift();
    if (a == 0 || b == 0) return int_pos(v);
    if (b >= 32) return ZvInt_FromLong(a < 0 ? -1 : 0);
    return ZvInt_FromLong(a >> b);
}

static ZvObject *int_and(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvInt_FromLong(a & b);
}

static ZvObject *int_xor(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvInt_FromLong(a ^ b);
}

static ZvObject *int_or(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvInt_FromLong(a | b);
}

static int int_coerce(ZvObject **pv, ZvObject **pw)
{
    if (!ZvInt_Check(*pw)) return 1;
    Zv_INCREF(*pv);
    Zv_INCREF(*pw);
    return 0;
}

static ZvObject *int_int(ZvObject *v)
{
    Zv_INCREF(v);
    return v;
}

static ZvObject *int_long(ZvObject *v) { return ZvLong_FromLong(ZvInt_AS_LONG(v)); }

static ZvObject *int_float(ZvObject *v) { return ZvFloat_FromDouble((double)ZvInt_AS_LONG(v)); }

/* The magnitude of x as an unsigned value (exact for the minimum too). */
static uint32_t magnitude(int32_t x) { return x < 0 ? 0u - (uint32_t)x : (uint32_t)x; }

static ZvObject *int_oct(ZvObject *v)
{
    char buf[100];
    int32_t x = ZvInt_AS_LONG(v);
    if (x < 0)
        snprintf(buf, sizeof buf, "-0%o", magnitude(x));
    else if (x == 0)
        strcpy(buf, "0");
    else
        snprintf(buf, sizeof buf, "0%o", (uint32_t)x);
    return ZvString_FromString(buf);
}

static ZvObject *int_hex(ZvObject *v)
{
    char buf[100];
    int32_t x = ZvInt_AS_LONG(v);
    if (x < 0)
        snprintf(buf, sizeof buf, "-0x%x", magnitude(x));
    else
        snprintf(buf, sizeof buf, "0x%x", (uint32_t)x);
    return ZvString_FromString(buf);
}

/* --- comparison, hash, text ---------------------------------------------- */

static int int_compare(ZvObject *v, ZvObject *w)
{
    int32_t i = ZvInt_AS_LONG(v), j = ZvInt_AS_LONG(w);
    return (i < j) ? -1 : (i > j) ? 1 : 0;
}

static Zv_hash_t int_hash(ZvObject *v)
{
    /* -1 is the error marker of hash functions. */
    Zv_hash_t x = ZvInt_AS_LONG(v);
    return x == -1 ? -2 : x;
}

static ZvObject *int_repr(ZvObject *v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%d", ZvInt_AS_LONG(v));
    return ZvString_FromString(buf);
}

static int int_print(ZvObject *v, FILE *fp, int)
{
    fprintf(fp, "%d", ZvInt_AS_LONG(v));
    return 0;
}

/* --- construction -------------------------------------------------------- */

static ZvObject *int_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds);

/* A subtype instance holding the value int(*args) would give. */
static ZvObject *int_subtype_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    ZvObject *tmp = int_new(&ZvInt_Type, args, kwds);
    if (tmp == nullptr) return nullptr;
    int32_t ival;
    if (ZvInt_Check(tmp))
        ival = ZvInt_AS_LONG(tmp);
    else {
        ival = ZvLong_AsLong(tmp);
        if (ival == -1 && ZvErr_Occurred()) {
            Zv_DECREF(tmp);
            return nullptr;
        }
    }
    ZvObject *newobj = type->tp_alloc(type, 0);
    if (newobj != nullptr) ((ZvIntObject *)newobj)->ob_ival = ival;
    Zv_DECREF(tmp);
    return newobj;
}

static ZvObject *int_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    if (type != &ZvInt_Type) return int_subtype_new(type, args, kwds);
    ZvObject *x = nullptr;
    const int nobase = -909;
    int base = nobase;
    static const char *kwlist[] = {"x", "base", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|Oi:int", (char **)kwlist, &x, &base))
        return nullptr;
    if (x == nullptr) return ZvInt_FromLong(0);
    if (base == nobase) return ZvNumber_Int(x);
    if (ZvString_Check(x)) return ZvInt_FromString(ZvString_AS_STRING(x), nullptr, base);
    ZvErr_SetString(ZvExc_TypeError, "int() can't convert non-string with explicit base");
    return nullptr;
}

static ZvObject *int_getnewargs(ZvObject *v, ZvObject *)
{
    return Zv_BuildValue("(N)", ZvInt_FromLong(ZvInt_AS_LONG(v)));
}

static ZvMethodDef int_methods[] = {
    {"__getnewargs__", int_getnewargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static ZvNumberMethods int_as_number = {
    int_add,         /* nb_add */
    int_sub,         /* nb_subtract */
    int_mul,         /* nb_multiply */
    int_classic_div, /* nb_divide */
    int_mod,         /* nb_remainder */
    int_divmod,      /* nb_divmod */
    int_pow,         /* nb_power */
    int_neg,         /* nb_negative */
    int_pos,         /* nb_positive */
    int_abs,         /* nb_absolute */
    int_nonzero,     /* nb_nonzero */
    int_invert,      /* nb_invert */
    int_lshift,      /* nb_lshift */
    int_rshift,      /* nb_rshift */
    int_and,         /* nb_and */
    int_xor,         /* nb_xor */
    int_or,          /* nb_or */
    int_coerce,      /* nb_coerce */
    int_int,         /* nb_int */
    int_long,        /* nb_long */
    int_float,       /* nb_float */
    int_oct,         /* nb_oct */
    int_hex,         /* nb_hex */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* in-place add .. remainder */
    nullptr, nullptr, nullptr, nullptr,          /* in-place power .. and */
    nullptr, nullptr,                            /* in-place xor, or */
    int_div,                                     /* nb_floor_divide */
    int_true_divide,                             /* nb_true_divide */
    nullptr, nullptr,                            /* in-place floor, true divide */
};

static const char int_doc[] =
    "int(x[, base]) -> integer\n"
    "\n"
    "Convert a string or number to an integer, if possible.  A floating point\n"
    "argument will be truncated towards zero (this does not include a string\n"
    "representation of a floating point number!)  When converting a string, use\n"
    "the optional base.  It is an error to supply a base when converting a\n"
    "non-string. If the argument is outside the integer range a long object\n"
    "will be returned instead.";

ZvTypeObject ZvInt_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "int",                   /* tp_name */
    sizeof(ZvIntObject),     /* tp_basicsize */
    0,                       /* tp_itemsize */
    int_dealloc,             /* tp_dealloc */
    int_print,               /* tp_print */
    nullptr,                 /* tp_getattr */
    nullptr,                 /* tp_setattr */
    int_compare,             /* tp_compare */
    int_repr,                /* tp_repr */
    &int_as_number,          /* tp_as_number */
    nullptr,                 /* tp_as_sequence */
    nullptr,                 /* tp_as_mapping */
    int_hash,                /* tp_hash */
    nullptr,                 /* tp_call */
    int_repr,                /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,                 /* tp_setattro */
    nullptr,                 /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    int_doc,                 /* tp_doc */
    nullptr,                 /* tp_traverse */
    nullptr,                 /* tp_clear */
    nullptr,                 /* tp_richcompare */
    0,                       /* tp_weaklistoffset */
    nullptr,                 /* tp_iter */
    nullptr,                 /* tp_iternext */
    int_methods,             /* tp_methods */
    nullptr,                 /* tp_members */
    nullptr,                 /* tp_getset */
    nullptr,                 /* tp_base */
    nullptr,                 /* tp_dict */
    nullptr,                 /* tp_descr_get */
    nullptr,                 /* tp_descr_set */
    0,                       /* tp_dictoffset */
    nullptr,                 /* tp_init */
    nullptr,                 /* tp_alloc */
    int_new,                 /* tp_new */
    int_free,                /* tp_free */
};

/* --- shut-down ----------------------------------------------------------- */

static bool record_is_live(ZvIntObject *p)
{
    /* A free record's ob_type is a link into some block (or NULL), never
     * &ZvInt_Type, and its poisoned count is then not read. */
    return Zv_TYPE(p) == &ZvInt_Type && p->ob_refcnt != 0;
}

void ZvInt_Fini(void)
{
    for (ZvIntObject *&v : small_ints) Zv_CLEAR(v);

    free_list = nullptr;
    ZvIntBlock *list = block_list;
    block_list = nullptr;
    int nblocks = 0, kept_blocks = 0, live_total = 0;
    while (list != nullptr) {
        ZvIntBlock *next = list->next;
        nblocks++;
        int live = 0;
        for (ZvIntObject &rec : list->objects) live += record_is_live(&rec);
        if (live == 0) {
            ZvMem_Free(list);
        } else {
            kept_blocks++;
            live_total += live;
            list->next = block_list;
            block_list = list;
            for (ZvIntObject &rec : list->objects) {
                if (!record_is_live(&rec)) {
                    free_push(&rec);
                    continue;
                }
                int32_t ival = rec.ob_ival;
                if (is_small(ival) && small_ints[ival + NSMALLNEGINTS] == nullptr) {
                    Zv_INCREF(&rec);
                    small_ints[ival + NSMALLNEGINTS] = &rec;
                }
            }
        }
        list = next;
    }
    const int verbose = zv::verbose_flag();
    if (!verbose) return;
    fprintf(stderr, "# cleanup ints");
    if (live_total == 0) {
        fprintf(stderr, "\n");
        return;
    }
    fprintf(stderr, ": %d unfreed int%s in %d out of %d block%s\n", live_total,
            live_total == 1 ? "" : "s", kept_blocks, nblocks, nblocks == 1 ? "" : "s");
    if (verbose < 2) return;
    for (ZvIntBlock *b = block_list; b != nullptr; b = b->next)
        for (ZvIntObject &rec : b->objects)
            if (record_is_live(&rec))
                fprintf(stderr, "#   <int at %p, refcnt=%d, val=%d>\n", (void *)&rec,
                        rec.ob_refcnt, rec.ob_ival);
}

} // extern "C"
