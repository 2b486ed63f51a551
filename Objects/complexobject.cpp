/* The `complex` type: a pair of doubles.
 *
 * The arithmetic lives in functions on plain ZvComplex values, which report
 * domain errors through errno as the C library does; the slots wrap them
 * and turn errno into exceptions.
 *
 * Mixed arithmetic: complex is an old-style number (no CHECKTYPES), so the
 * generic dispatch reaches its binary slots only after coercion, which
 * turns an int, long or float partner into a complex.  The slots still
 * convert any number they are handed, because a subclass's special-method
 * wrapper may call them with a plain operand.
 *
 * Equality against ints and longs is exact, like the float's, so that
 * numbers that compare equal also hash equal: a long too large for a
 * double is simply unequal to every complex instead of raising. */
#include "zuvo.h"
#include "numglue.h"
#include "zvref.h"

#include <errno.h>
#include <math.h>
#include <stddef.h>
#include <string.h>

using zv::Ref;

namespace {

constexpr ZvComplex c_1 = {1.0, 0.0};

/* x ** n for 0 < n, by squaring: the bits of n from the lowest, the base
 * squared at each step. */
ZvComplex c_powu(ZvComplex x, long n)
{
    ZvComplex r = c_1, p = x;
    for (long mask = 1; mask > 0 && n >= mask; mask <<= 1) {
        if (n & mask) r = _Zv_c_prod(r, p);
        p = _Zv_c_prod(p, p);
    }
    return r;
}

ZvComplex c_powi(ZvComplex x, long n)
{
    if (n > 0) return c_powu(x, n);
    if (n == 0) return c_1;
    return _Zv_c_quot(c_1, c_powu(x, -n));
}

} // namespace

extern "C" {

/* --- value arithmetic -------------------------------------------------------- */

ZvComplex _Zv_c_sum(ZvComplex a, ZvComplex b) { return {a.real + b.real, a.imag + b.imag}; }

ZvComplex _Zv_c_diff(ZvComplex a, ZvComplex b) { return {a.real - b.real, a.imag - b.imag}; }

ZvComplex _Zv_c_neg(ZvComplex a) { return {-a.real, -a.imag}; }

ZvComplex _Zv_c_prod(ZvComplex a, ZvComplex b)
{
    return {a.real * b.real - a.imag * b.imag, a.real * b.imag + a.imag * b.real};
}

/* Scaled by the larger part of the divisor so that the intermediate
 * products do not overflow where the quotient would not. */
ZvComplex _Zv_c_quot(ZvComplex a, ZvComplex b)
{
    double abs_breal = fabs(b.real), abs_bimag = fabs(b.imag);
    if (abs_breal >= abs_bimag) {
        if (abs_breal == 0.0) {
            errno = EDOM;
            return {0.0, 0.0};
        }
        double ratio = b.imag / b.real;
        double denom = b.real + b.imag * ratio;
        return {(a.real + a.imag * ratio) / denom, (a.imag - a.real * ratio) / denom};
    }
    double ratio = b.real / b.imag;
    double denom = b.real * ratio + b.imag;
    return {(a.real * ratio + a.imag) / denom, (a.imag * ratio - a.real) / denom};
}

ZvComplex _Zv_c_pow(ZvComplex a, ZvComplex b)
{
    if (b.real == 0.0 && b.imag == 0.0) return c_1;
    if (a.real == 0.0 && a.imag == 0.0) {
        if (b.imag != 0.0 || b.real < 0.0) errno = EDOM;
        return {0.0, 0.0};
    }
    double vabs = hypot(a.real, a.imag);
    double len = pow(vabs, b.real);
    double at = atan2(a.imag, a.real);
    double phase = at * b.real;
    if (b.imag != 0.0) {
        len /= exp(at * b.imag);
        phase += b.imag * log(vabs);
    }
    return {len * cos(phase), len * sin(phase)};
}

/* --- creation and access ------------------------------------------------------- */

static ZvObject *complex_subtype_from_c_complex(ZvTypeObject *type, ZvComplex cval)
{
    ZvObject *op = type->tp_alloc(type, 0);
    if (op != nullptr) ((ZvComplexObject *)op)->cval = cval;
    return op;
}

ZvObject *ZvComplex_FromCComplex(ZvComplex cval)
{
    auto *op = (ZvComplexObject *)ZvObject_Malloc(sizeof(ZvComplexObject));
    if (op == nullptr) return ZvErr_NoMemory();
    ZvObject_Init((ZvObject *)op, &ZvComplex_Type);
    op->cval = cval;
    return (ZvObject *)op;
}

ZvObject *ZvComplex_FromDoubles(double real, double imag)
{
    return ZvComplex_FromCComplex({real, imag});
}

double ZvComplex_RealAsDouble(ZvObject *op)
{
    if (op != nullptr && ZvComplex_Check(op)) return ((ZvComplexObject *)op)->cval.real;
    return ZvFloat_AsDouble(op);
}

double ZvComplex_ImagAsDouble(ZvObject *op)
{
    if (op == nullptr) {
        ZvErr_BadInternalCall();
        return -1.0;
    }
    if (ZvComplex_Check(op)) return ((ZvComplexObject *)op)->cval.imag;
    return 0.0;
}

ZvComplex ZvComplex_AsCComplex(ZvObject *op)
{
    if (op != nullptr && ZvComplex_Check(op)) return ((ZvComplexObject *)op)->cval;
    return {ZvFloat_AsDouble(op), 0.0};
}

static ZvComplex cval_of(ZvObject *op) { return ((ZvComplexObject *)op)->cval; }

static void complex_dealloc(ZvObject *op) { Zv_TYPE(op)->tp_free(op); }

/* --- text ------------------------------------------------------------------ */

/* "1j" for a zero real part, else "(1+2j)": the parts in the %g form at the
 * given precision, the imaginary one always signed.  buf holds 100 bytes. */
static void complex_to_buf(char *buf, ZvComplex c, int precision)
{
    if (c.real == 0.0) {
        int n = _ZvOS_FormatDouble(buf, 98, c.imag, 'g', precision, 0);
        strcpy(buf + (n < 0 ? 0 : n), "j");
        return;
    }
    char re[48], im[48];
    if (_ZvOS_FormatDouble(re, sizeof re, c.real, 'g', precision, 0) < 0) strcpy(re, "?");
    if (_ZvOS_FormatDouble(im, sizeof im, c.imag, 'g', precision, ZvOS_FORMAT_SIGN) < 0)
        strcpy(im, "?");
    snprintf(buf, 100, "(%s%sj)", re, im);
}

static ZvObject *complex_repr(ZvObject *v)
{
    char buf[100];
    complex_to_buf(buf, cval_of(v), 17);
    return ZvString_FromString(buf);
}

static ZvObject *complex_str(ZvObject *v)
{
    char buf[100];
    complex_to_buf(buf, cval_of(v), 12);
    return ZvString_FromString(buf);
}

static int complex_print(ZvObject *v, FILE *fp, int flags)
{
    char buf[100];
    complex_to_buf(buf, cval_of(v), (flags & Zv_PRINT_RAW) ? 12 : 17);
    fputs(buf, fp);
    return 0;
}

/* --- hash ------------------------------------------------------------------ */

/* A zero imaginary part hashes to 0, so a complex with a real value hashes
 * like that float (and the equal int or long). */
static Zv_hash_t complex_hash(ZvObject *v)
{
    ZvComplex c = cval_of(v);
    Zv_hash_t hashreal = _Zv_HashDouble(c.real);
    if (hashreal == -1) return -1;
    Zv_hash_t hashimag = _Zv_HashDouble(c.imag);
    if (hashimag == -1) return -1;
    /* Wraps in 32 bits like every hash. */
    auto combined = (Zv_hash_t)((uint32_t)hashreal + 1000003u * (uint32_t)hashimag);
    return combined == -1 ? -2 : combined;
}

/* --- operands ---------------------------------------------------------------- */

enum operand_result { OPERAND_OK, OPERAND_OTHER, OPERAND_ERROR };

/* The value of a complex, float, int or long operand as a complex. */
[[nodiscard]] static operand_result complex_operand(ZvObject *o, ZvComplex *out)
{
    if (ZvComplex_Check(o)) {
        *out = cval_of(o);
    } else if (ZvFloat_Check(o)) {
        *out = {ZvFloat_AS_DOUBLE(o), 0.0};
    } else if (ZvInt_Check(o)) {
        *out = {(double)ZvInt_AS_LONG(o), 0.0};
    } else if (ZvLong_Check(o)) {
        double x = ZvLong_AsDouble(o);
        if (x == -1.0 && ZvErr_Occurred()) return OPERAND_ERROR;
        *out = {x, 0.0};
    } else
        return OPERAND_OTHER;
    return OPERAND_OK;
}

#define CONVERT_TO_COMPLEX(obj, c)                                            \
    switch (complex_operand(obj, &c)) {                                       \
    case OPERAND_OK: break;                                                   \
    case OPERAND_OTHER: Zv_RETURN_NOTIMPLEMENTED;                             \
    default: return nullptr;                                                  \
    }

#define CONVERT_BINOP(v, w, a, b)                                             \
    ZvComplex a, b;                                                           \
    CONVERT_TO_COMPLEX(v, a);                                                 \
    CONVERT_TO_COMPLEX(w, b)

/* --- arithmetic -------------------------------------------------------------- */

static ZvObject *complex_add(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvComplex_FromCComplex(_Zv_c_sum(a, b));
}

static ZvObject *complex_sub(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvComplex_FromCComplex(_Zv_c_diff(a, b));
}

static ZvObject *complex_mul(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvComplex_FromCComplex(_Zv_c_prod(a, b));
}

/* a / b, or false with ZeroDivisionError(message) for a zero divisor. */
[[nodiscard]] static bool quotient(ZvComplex a, ZvComplex b, const char *message, ZvComplex *out)
{
    int saved_errno = errno;
    errno = 0;
    *out = _Zv_c_quot(a, b);
    bool ok = errno != EDOM;
    errno = saved_errno;
    if (!ok) ZvErr_SetString(ZvExc_ZeroDivisionError, message);
    return ok;
}

static ZvObject *complex_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvComplex q;
    if (!quotient(a, b, "complex division", &q)) return nullptr;
    return ZvComplex_FromCComplex(q);
}

static ZvObject *complex_classic_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (zv::division_warning_flag() >= 2 &&
        zv::deprecation_warning("classic complex division") < 0)
        return nullptr;
    ZvComplex q;
    if (!quotient(a, b, "complex division", &q)) return nullptr;
    return ZvComplex_FromCComplex(q);
}

/* The floored quotient (real part floored, imaginary part 0) and the
 * remainder a - b * div, after the deprecation warning every one of
 * %, // and divmod() gives. */
[[nodiscard]] static bool complex_divmod_values(ZvComplex a, ZvComplex b, const char *message,
                                                ZvComplex *div, ZvComplex *mod)
{
    if (zv::deprecation_warning("complex divmod(), // and % are deprecated") < 0) return false;
    if (!quotient(a, b, message, div)) return false;
    *div = {floor(div->real), 0.0};
    *mod = _Zv_c_diff(a, _Zv_c_prod(b, *div));
    return true;
}

static ZvObject *complex_remainder(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvComplex div, mod;
    if (!complex_divmod_values(a, b, "complex remainder", &div, &mod)) return nullptr;
    return ZvComplex_FromCComplex(mod);
}

static ZvObject *complex_divmod(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvComplex div, mod;
    if (!complex_divmod_values(a, b, "complex divmod()", &div, &mod)) return nullptr;
    Ref d(ZvComplex_FromCComplex(div)), m(ZvComplex_FromCComplex(mod));
    if (!d || !m) return nullptr;
    return ZvTuple_Pack(2, d.get(), m.get());
}

static ZvObject *complex_floor_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    ZvComplex div, mod;
    if (!complex_divmod_values(a, b, "complex divmod()", &div, &mod)) return nullptr;
    return ZvComplex_FromCComplex(div);
}

static ZvObject *complex_pow(ZvObject *v, ZvObject *w, ZvObject *z)
{
    if (z != Zv_None) {
        ZvErr_SetString(ZvExc_ValueError, "complex modulo");
        return nullptr;
    }
    CONVERT_BINOP(v, w, a, exponent);
    int saved_errno = errno;
    errno = 0;
    ZvComplex p;
    /* Small integral exponents multiply, which is exact where it can be
     * (1j ** 2 is -1 exactly). */
    if (exponent.imag == 0.0 && fabs(exponent.real) <= 100.0 &&
        exponent.real == floor(exponent.real))
        p = c_powi(a, (long)exponent.real);
    else
        p = _Zv_c_pow(a, exponent);
    /* Overflow is a part that is not finite from finite operands, whatever
     * the library said (products of infinities made on the way turn into
     * NaN: inf - inf, 0 * inf); an underflow it flagged is no error. */
    bool finite_in = isfinite(a.real) && isfinite(a.imag) && isfinite(exponent.real) &&
                     isfinite(exponent.imag);
    if (errno != EDOM) errno = (finite_in && !(isfinite(p.real) && isfinite(p.imag))) ? ERANGE : 0;
    int err = errno;
    errno = saved_errno;
    if (err == EDOM) {
        ZvErr_SetString(ZvExc_ZeroDivisionError, "0.0 to a negative or complex power");
        return nullptr;
    }
    if (err == ERANGE) {
        ZvErr_SetString(ZvExc_OverflowError, "complex exponentiaion");
        return nullptr;
    }
    return ZvComplex_FromCComplex(p);
}

static ZvObject *complex_neg(ZvObject *v) { return ZvComplex_FromCComplex(_Zv_c_neg(cval_of(v))); }

static ZvObject *complex_pos(ZvObject *v)
{
    if (ZvComplex_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    return ZvComplex_FromCComplex(cval_of(v));
}

static ZvObject *complex_abs(ZvObject *v)
{
    ZvComplex c = cval_of(v);
    return ZvFloat_FromDouble(hypot(c.real, c.imag));
}

static int complex_nonzero(ZvObject *v)
{
    ZvComplex c = cval_of(v);
    return c.real != 0.0 || c.imag != 0.0;
}

static int complex_coerce(ZvObject **pv, ZvObject **pw)
{
    ZvComplex c;
    switch (complex_operand(*pw, &c)) {
    case OPERAND_OTHER: return 1;
    case OPERAND_ERROR: return -1;
    case OPERAND_OK: break;
    }
    if (ZvComplex_Check(*pw)) {
        Zv_INCREF(*pw);
    } else if ((*pw = ZvComplex_FromCComplex(c)) == nullptr) {
        return -1;
    }
    Zv_INCREF(*pv);
    return 0;
}

static ZvObject *complex_int(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "can't convert complex to int; use int(abs(z))");
    return nullptr;
}

static ZvObject *complex_long(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "can't convert complex to long; use long(abs(z))");
    return nullptr;
}

static ZvObject *complex_float(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "can't convert complex to float; use abs(z)");
    return nullptr;
}

/* --- comparison -------------------------------------------------------------- */

/* a == w for an int or long w, exactly: the real part is compared by the
 * float's exact comparison. */
static int equals_integer(ZvComplex a, ZvObject *w)
{
    if (a.imag != 0.0) return 0;
    Ref real(ZvFloat_FromDouble(a.real));
    if (!real) return -1;
    Ref eq(ZvFloat_Type.tp_richcompare(real.get(), w, Zv_EQ));
    if (!eq) return -1;
    return eq.get() == Zv_True;
}

static ZvObject *complex_richcompare(ZvObject *v, ZvObject *w, int op)
{
    if (!ZvComplex_Check(v)) Zv_RETURN_NOTIMPLEMENTED;
    ZvComplex a = cval_of(v), b;
    int equal;
    if (ZvInt_Check(w) || ZvLong_Check(w)) {
        if (op != Zv_EQ && op != Zv_NE) goto no_ordering;
        if ((equal = equals_integer(a, w)) < 0) return nullptr;
    } else if (ZvComplex_Check(w) || ZvFloat_Check(w)) {
        if (op != Zv_EQ && op != Zv_NE) goto no_ordering;
        (void)complex_operand(w, &b);
        equal = a.real == b.real && a.imag == b.imag;
    } else {
        /* Another type may still coerce to complex (a classic instance's
         * __coerce__). */
        ZvObject *cv = v, *cw = w;
        int c = ZvNumber_CoerceEx(&cv, &cw);
        if (c < 0) return nullptr;
        if (c > 0) Zv_RETURN_NOTIMPLEMENTED;
        Ref rv(cv), rw(cw);
        if (!ZvComplex_Check(cv) || !ZvComplex_Check(cw)) Zv_RETURN_NOTIMPLEMENTED;
        if (op != Zv_EQ && op != Zv_NE) goto no_ordering;
        a = cval_of(cv);
        b = cval_of(cw);
        equal = a.real == b.real && a.imag == b.imag;
    }
    return ZvBool_FromLong(op == Zv_EQ ? equal : !equal);
no_ordering:
    ZvErr_SetString(ZvExc_TypeError, "no ordering relation is defined for complex numbers");
    return nullptr;
}

/* --- parsing ------------------------------------------------------------------- */

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum parse_result { PARSE_OK, PARSE_NONE, PARSE_OVERFLOW };

/* One signed real number at s (no white space skipped).  A value too large
 * for a double is an error here, unlike in float(), because a complex
 * literal has no other way to say which part overflowed. */
[[nodiscard]] static parse_result read_part(const char *s, const char **end, double *x)
{
    if (is_blank(*s)) return PARSE_NONE;
    int saved_errno = errno;
    errno = 0;
    char *e;
    *x = ZvOS_ascii_strtod(s, &e);
    bool overflow = errno == ERANGE && isinf(*x);
    errno = saved_errno;
    *end = e;
    if (e == s) return PARSE_NONE;
    return overflow ? PARSE_OVERFLOW : PARSE_OK;
}

/* Parses "real", "imagj", "real+imagj" or "real-imagj", where a lone j
 * (with or without a sign) stands for 1j; white space may surround the
 * whole.  Returns false on a malformed text, with *overflow set when a
 * part was out of range instead. */
[[nodiscard]] static bool parse_complex(const char *s, const char *last, ZvComplex *out,
                                        bool *overflow)
{
    *overflow = false;
    double x = 0.0, y = 0.0;
    const char *p = s, *end;
    parse_result r = read_part(p, &end, &x);
    if (r == PARSE_OVERFLOW) return !(*overflow = true);
    if (r == PARSE_NONE) {
        /* j, +j or -j */
        double sign = 1.0;
        if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1.0 : 1.0;
        if (*p != 'j' && *p != 'J') return false;
        *out = {0.0, sign};
        p++;
    } else if (*end == 'j' || *end == 'J') {
        *out = {0.0, x};
        p = end + 1;
    } else if (*end == '+' || *end == '-') {
        p = end;
        r = read_part(p, &end, &y);
        if (r == PARSE_OVERFLOW) return !(*overflow = true);
        if (r == PARSE_NONE) {
            y = *p++ == '-' ? -1.0 : 1.0;
            end = p;
        }
        if (*end != 'j' && *end != 'J') return false;
        *out = {x, y};
        p = end + 1;
    } else {
        *out = {x, 0.0};
        p = end;
    }
    while (p < last && is_blank(*p)) p++;
    return p == last;
}

static ZvObject *complex_from_string(ZvTypeObject *type, ZvObject *v)
{
    /* The parser reads up to a NUL: a string always ends in one, another
     * character buffer is copied into a string first.
     * (Unicode text, once there is a unicode type, is first converted to
     * decimal ASCII here.) */
    Ref text = Ref::borrow(v);
    if (!ZvString_Check(v)) {
        const char *buffer;
        int buffer_len;
        if (ZvObject_AsCharBuffer(v, &buffer, &buffer_len) < 0) {
            ZvErr_SetString(ZvExc_TypeError, "complex() arg is not a string");
            return nullptr;
        }
        text.reset(ZvString_FromStringAndSize(buffer, buffer_len));
        if (!text) return nullptr;
    }
    const char *s = ZvString_AS_STRING(text.get());
    const char *last = s + ZvString_GET_SIZE(text.get());
    const char *p = s;
    while (p < last && is_blank(*p)) p++;
    if (p == last) {
        ZvErr_SetString(ZvExc_ValueError, "complex() arg is an empty string");
        return nullptr;
    }
    if (memchr(p, '\0', (size_t)(last - p)) != nullptr) {
        ZvErr_SetString(ZvExc_ValueError, "complex() arg contains a null byte");
        return nullptr;
    }
    ZvComplex c;
    bool overflow;
    if (!parse_complex(p, last, &c, &overflow)) {
        if (overflow)
            ZvErr_Format(ZvExc_ValueError, "float() out of range: %.150s", s);
        else
            ZvErr_SetString(ZvExc_ValueError, "complex() arg is a malformed string");
        return nullptr;
    }
    return complex_subtype_from_c_complex(type, c);
}

/* --- construction ------------------------------------------------------------ */

/* A number argument of complex() as a complex: a complex as it is, any
 * other number through its type's float conversion (the caller has made
 * sure there is one), whose answer must be a float. */
[[nodiscard]] static bool complex_argument(ZvObject *o, ZvComplex *out)
{
    if (ZvComplex_Check(o)) {
        *out = cval_of(o);
        return true;
    }
    Ref f(Zv_TYPE(o)->tp_as_number->nb_float(o));
    if (!f) return false;
    if (!ZvFloat_Check(f.get())) {
        ZvErr_SetString(ZvExc_TypeError, "float(r) didn't return a float");
        return false;
    }
    *out = {ZvFloat_AS_DOUBLE(f.get()), 0.0};
    return true;
}

static bool has_nb_float(ZvObject *o)
{
    ZvNumberMethods *nb = Zv_TYPE(o)->tp_as_number;
    return nb != nullptr && nb->nb_float != nullptr;
}

static ZvObject *complex_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    ZvObject *r = nullptr, *i = nullptr;
    static const char *kwlist[] = {"real", "imag", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|OO:complex", (char **)kwlist, &r, &i))
        return nullptr;
    if (r != nullptr && ZvString_Check(r)) {
        if (i != nullptr) {
            ZvErr_SetString(ZvExc_TypeError,
                            "complex() can't take second arg if first is a string");
            return nullptr;
        }
        return complex_from_string(type, r);
    }
    if (i != nullptr && ZvString_Check(i)) {
        ZvErr_SetString(ZvExc_TypeError, "complex() second arg can't be a string");
        return nullptr;
    }
    if (r != nullptr && i == nullptr && ZvComplex_CheckExact(r) && type == &ZvComplex_Type) {
        Zv_INCREF(r);
        return r;
    }
    /* An object may say how it becomes a complex; its answer is then the
     * real argument.  (The call may run any code: the answer is owned.) */
    Ref real = Ref::borrow(r);
    if (r != nullptr) {
        Ref f(ZvObject_GetAttrString(r, "__complex__"));
        if (f) {
            Ref noargs(ZvTuple_New(0));
            if (!noargs) return nullptr;
            real.reset(ZvObject_Call(f.get(), noargs.get(), nullptr));
            if (!real) return nullptr;
        } else if (ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
            ZvErr_Clear();
        } else {
            return nullptr;
        }
    }
    if ((real && !has_nb_float(real.get())) || (i != nullptr && !has_nb_float(i))) {
        ZvErr_SetString(ZvExc_TypeError, "complex() argument must be a string or a number");
        return nullptr;
    }
    ZvComplex cr = {0.0, 0.0}, ci = {0.0, 0.0};
    if (real && !complex_argument(real.get(), &cr)) return nullptr;
    if (i != nullptr) {
        if (!complex_argument(i, &ci)) return nullptr;
        /* real + imag * 1j */
        cr.real -= ci.imag;
        cr.imag += ci.real;
    }
    return complex_subtype_from_c_complex(type, cr);
}

static ZvObject *complex_conjugate(ZvObject *self, ZvObject *)
{
    ZvComplex c = cval_of(self);
    return ZvComplex_FromDoubles(c.real, -c.imag);
}

static ZvObject *complex_getnewargs(ZvObject *self, ZvObject *)
{
    ZvComplex c = cval_of(self);
    return Zv_BuildValue("(D)", &c);
}

static ZvMethodDef complex_methods[] = {
    {"conjugate", complex_conjugate, METH_NOARGS,
     "Returns self, with the sign of the imaginary part flipped."},
    {"__getnewargs__", complex_getnewargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static ZvMemberDef complex_members[] = {
    {"real", T_DOUBLE, (int)offsetof(ZvComplexObject, cval.real), READONLY,
     "the real part of a complex number"},
    {"imag", T_DOUBLE, (int)offsetof(ZvComplexObject, cval.imag), READONLY,
     "the imaginary part of a complex number"},
    {nullptr, 0, 0, 0, nullptr},
};

static ZvNumberMethods complex_as_number = {
    complex_add,         /* nb_add */
    complex_sub,         /* nb_subtract */
    complex_mul,         /* nb_multiply */
    complex_classic_div, /* nb_divide */
    complex_remainder,   /* nb_remainder */
    complex_divmod,      /* nb_divmod */
    complex_pow,         /* nb_power */
    complex_neg,         /* nb_negative */
    complex_pos,         /* nb_positive */
    complex_abs,         /* nb_absolute */
    complex_nonzero,     /* nb_nonzero */
    nullptr,             /* nb_invert */
    nullptr,             /* nb_lshift */
    nullptr,             /* nb_rshift */
    nullptr,             /* nb_and */
    nullptr,             /* nb_xor */
    nullptr,             /* nb_or */
    complex_coerce,      /* nb_coerce */
    complex_int,         /* nb_int */
    complex_long,        /* nb_long */
    complex_float,       /* nb_float */
    nullptr,             /* nb_oct */
    nullptr,             /* nb_hex */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* in-place add .. remainder */
    nullptr, nullptr, nullptr, nullptr,          /* in-place power .. and */
    nullptr, nullptr,                            /* in-place xor, or */
    complex_floor_div,                           /* nb_floor_divide */
    complex_div,                                 /* nb_true_divide */
    nullptr, nullptr,                            /* in-place floor, true divide */
};

ZvTypeObject ZvComplex_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "complex",                /* tp_name */
    sizeof(ZvComplexObject),  /* tp_basicsize */
    0,                        /* tp_itemsize */
    complex_dealloc,          /* tp_dealloc */
    complex_print,            /* tp_print */
    nullptr,                  /* tp_getattr */
    nullptr,                  /* tp_setattr */
    nullptr,                  /* tp_compare */
    complex_repr,             /* tp_repr */
    &complex_as_number,       /* tp_as_number */
    nullptr,                  /* tp_as_sequence */
    nullptr,                  /* tp_as_mapping */
    complex_hash,             /* tp_hash */
    nullptr,                  /* tp_call */
    complex_str,              /* tp_str */
    ZvObject_GenericGetAttr,  /* tp_getattro */
    nullptr,                  /* tp_setattro */
    nullptr,                  /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "complex(real[, imag]) -> complex number\n\nCreate a complex number from a real part and "
    "an optional imaginary part.\nThis is equivalent to (real + imag*1j) where imag defaults "
    "to 0.",                  /* tp_doc */
    nullptr,                  /* tp_traverse */
    nullptr,                  /* tp_clear */
    complex_richcompare,      /* tp_richcompare */
    0,                        /* tp_weaklistoffset */
    nullptr,                  /* tp_iter */
    nullptr,                  /* tp_iternext */
    complex_methods,          /* tp_methods */
    complex_members,          /* tp_members */
    nullptr,                  /* tp_getset */
    nullptr,                  /* tp_base */
    nullptr,                  /* tp_dict */
    nullptr,                  /* tp_descr_get */
    nullptr,                  /* tp_descr_set */
    0,                        /* tp_dictoffset */
    nullptr,                  /* tp_init */
    ZvType_GenericAlloc,      /* tp_alloc */
    complex_new,              /* tp_new */
    ZvObject_Free,            /* tp_free */
};

} // extern "C"
