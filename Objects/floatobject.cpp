/* The `float` type: one IEEE 754 double.
 *
 * Allocation.  Float records are carved from ZvFloatBlock chunks of 62
 * records, kept until ZvFloat_Fini; free records form a singly linked list
 * threaded through their ob_type field, so creating and dropping floats in
 * a loop never reaches the general allocator.  Under AddressSanitizer a
 * free record is poisoned except for that link.
 *
 * Mixed operands: an int converts exactly, a long through the long type's
 * double conversion (its OverflowError propagates), anything else makes a
 * binary slot answer NotImplemented.  Comparisons against ints and longs
 * are exact at every size, and integral values hash like the equal int or
 * long, so 2.0, 2 and 2L are one dictionary key.
 *
 * Text in both directions goes through the locale-independent conversions
 * of zvstrtod.h. */
#include "zuvo.h"
#include "numglue.h"
#include "zvref.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define FLOAT_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define FLOAT_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define FLOAT_POISON(p, n) ((void)(p), (void)(n))
#define FLOAT_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

using zv::Ref;

extern "C" {

/* --- allocation ------------------------------------------------------------ */

/* A block budget of 1000 bytes less the link, divided by the record size of
 * the 32-bit layout (16 bytes): 62 records. */
#define N_FLOATOBJECTS 62

struct ZvFloatBlock {
    ZvFloatBlock *next;
    ZvFloatObject objects[N_FLOATOBJECTS];
};

static ZvFloatBlock *block_list = nullptr;
static ZvFloatObject *free_list = nullptr;

static void free_push(ZvFloatObject *v)
{
    Zv_TYPE(v) = (ZvTypeObject *)free_list;
    free_list = v;
    FLOAT_POISON(&v->ob_refcnt, sizeof v->ob_refcnt);
    FLOAT_POISON(&v->ob_fval, sizeof v->ob_fval);
}

/* Allocates a block and threads its records, the highest index first. */
[[gnu::noinline]] static ZvFloatObject *fill_free_list(void)
{
    auto *b = (ZvFloatBlock *)ZvMem_Malloc(sizeof(ZvFloatBlock));
    if (b == nullptr) return (ZvFloatObject *)ZvErr_NoMemory();
    b->next = block_list;
    block_list = b;
    ZvFloatObject *head = nullptr;
    for (ZvFloatObject &rec : b->objects) {
        Zv_TYPE(&rec) = (ZvTypeObject *)head;
        FLOAT_POISON(&rec.ob_refcnt, sizeof rec.ob_refcnt);
        FLOAT_POISON(&rec.ob_fval, sizeof rec.ob_fval);
        head = &rec;
    }
    return head;
}

ZvObject *ZvFloat_FromDouble(double fval)
{
    if (free_list == nullptr && (free_list = fill_free_list()) == nullptr) return nullptr;
    ZvFloatObject *op = free_list;
    free_list = (ZvFloatObject *)Zv_TYPE(op);
    FLOAT_UNPOISON(&op->ob_refcnt, sizeof op->ob_refcnt);
    FLOAT_UNPOISON(&op->ob_fval, sizeof op->ob_fval);
    _ZvObject_INIT(op, &ZvFloat_Type);
    op->ob_fval = fval;
    return (ZvObject *)op;
}

static void float_dealloc(ZvObject *v)
{
    if (ZvFloat_CheckExact(v))
        free_push((ZvFloatObject *)v);
    else
        Zv_TYPE(v)->tp_free(v);
}

double ZvFloat_AsDouble(ZvObject *op)
{
    if (op == nullptr) {
        ZvErr_BadInternalCall();
        return -1.0;
    }
    if (ZvFloat_Check(op)) return ZvFloat_AS_DOUBLE(op);
    ZvNumberMethods *nb = Zv_TYPE(op)->tp_as_number;
    if (nb == nullptr || nb->nb_float == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "a float is required");
        return -1.0;
    }
    Ref fo(nb->nb_float(op));
    if (!fo) return -1.0;
    if (!ZvFloat_Check(fo.get())) {
        ZvErr_SetString(ZvExc_TypeError, "nb_float should return float object");
        return -1.0;
    }
    return ZvFloat_AS_DOUBLE(fo.get());
}

/* --- parsing --------------------------------------------------------------- */

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

ZvObject *ZvFloat_FromString(ZvObject *v, char **pend)
{
    if (pend) *pend = nullptr;
    if (v == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    /* The parser reads up to a NUL: a string always ends in one, another
     * character buffer is copied into a string first.
     * (Unicode text, once there is a unicode type, is first converted to
     * decimal ASCII here.) */
    Ref text = Ref::borrow(v);
    if (!ZvString_Check(v)) {
        const char *buffer;
        int buffer_len;
        if (ZvObject_AsCharBuffer(v, &buffer, &buffer_len) < 0) {
            ZvErr_SetString(ZvExc_TypeError, "float() argument must be a string or a number");
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
        ZvErr_SetString(ZvExc_ValueError, "empty string for float()");
        return nullptr;
    }
    char *end;
    int saved_errno = errno;
    /* An overflowing literal is an infinity and an underflowing one zero,
     * as the arithmetic would make them. */
    double x = ZvOS_ascii_strtod(p, &end);
    errno = saved_errno;
    const char *q = end;
    while (q < last && is_blank(*q)) q++;
    if (end == p || q != last) {
        if (memchr(s, '\0', (size_t)(last - s)) != nullptr)
            ZvErr_SetString(ZvExc_ValueError, "null byte in argument for float()");
        else
            ZvErr_Format(ZvExc_ValueError, "invalid literal for float(): %.200s", s);
        return nullptr;
    }
    return ZvFloat_FromDouble(x);
}

/* --- text ------------------------------------------------------------------ */

void _ZvFloat_DoubleAsString(char *buf, double x, int precision)
{
    /* 100 bytes hold any %g text of up to 80 significant digits. */
    if (precision < 0 || precision > 80) precision = 17;
    int n = _ZvOS_FormatDouble(buf, 100, x, 'g', precision, 0);
    if (n < 0) {
        strcpy(buf, "?");
        return;
    }
    /* Only digits: add ".0" so the text reads back as a float. */
    const char *cp = buf + (*buf == '-');
    for (; *cp != '\0'; cp++)
        if (*cp < '0' || *cp > '9') return;
    strcpy(buf + n, ".0");
}

void ZvFloat_AsStringEx(char *buf, ZvFloatObject *v, int precision)
{
    _ZvFloat_DoubleAsString(buf, v->ob_fval, precision);
}

void ZvFloat_AsString(char *buf, ZvFloatObject *v) { _ZvFloat_DoubleAsString(buf, v->ob_fval, 12); }

void ZvFloat_AsReprString(char *buf, ZvFloatObject *v)
{
    _ZvFloat_DoubleAsString(buf, v->ob_fval, 17);
}

static ZvObject *float_repr(ZvObject *v)
{
    char buf[100];
    ZvFloat_AsReprString(buf, (ZvFloatObject *)v);
    return ZvString_FromString(buf);
}

static ZvObject *float_str(ZvObject *v)
{
    char buf[100];
    ZvFloat_AsString(buf, (ZvFloatObject *)v);
    return ZvString_FromString(buf);
}

static int float_print(ZvObject *v, FILE *fp, int flags)
{
    char buf[100];
    ZvFloat_AsStringEx(buf, (ZvFloatObject *)v, (flags & Zv_PRINT_RAW) ? 12 : 17);
    fputs(buf, fp);
    return 0;
}

/* --- hash ------------------------------------------------------------------ */

/* Equal numbers hash equal: the shared double hash gives an integral value
 * the hash of the int or long of the same value. */
static Zv_hash_t float_hash(ZvObject *v) { return _Zv_HashDouble(ZvFloat_AS_DOUBLE(v)); }

/* --- operands ---------------------------------------------------------------- */

enum operand_result { OPERAND_OK, OPERAND_OTHER, OPERAND_ERROR };

[[nodiscard]] static operand_result float_operand(ZvObject *o, double *out)
{
    if (ZvFloat_Check(o))
        *out = ZvFloat_AS_DOUBLE(o);
    else if (ZvInt_Check(o))
        *out = (double)ZvInt_AS_LONG(o);
    else if (ZvLong_Check(o)) {
        *out = ZvLong_AsDouble(o);
        if (*out == -1.0 && ZvErr_Occurred()) return OPERAND_ERROR;
    } else
        return OPERAND_OTHER;
    return OPERAND_OK;
}

#define CONVERT_TO_DOUBLE(obj, dbl)                                           \
    switch (float_operand(obj, &dbl)) {                                       \
    case OPERAND_OK: break;                                                   \
    case OPERAND_OTHER: Zv_RETURN_NOTIMPLEMENTED;                             \
    default: return nullptr;                                                  \
    }

#define CONVERT_BINOP(v, w, a, b)                                             \
    double a, b;                                                              \
    CONVERT_TO_DOUBLE(v, a);                                                  \
    CONVERT_TO_DOUBLE(w, b)

/* --- arithmetic -------------------------------------------------------------- */

static ZvObject *float_add(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvFloat_FromDouble(a + b);
}

static ZvObject *float_sub(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvFloat_FromDouble(a - b);
}

static ZvObject *float_mul(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    return ZvFloat_FromDouble(a * b);
}

static ZvObject *float_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (b == 0.0) {
        ZvErr_SetString(ZvExc_ZeroDivisionError, "float division");
        return nullptr;
    }
    return ZvFloat_FromDouble(a / b);
}

static ZvObject *float_classic_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, a, b);
    if (zv::division_warning_flag() >= 2 &&
        zv::deprecation_warning("classic float division") < 0)
        return nullptr;
    if (b == 0.0) {
        ZvErr_SetString(ZvExc_ZeroDivisionError, "float division");
        return nullptr;
    }
    return ZvFloat_FromDouble(a / b);
}

static ZvObject *float_rem(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, vx, wx);
    if (wx == 0.0) {
        ZvErr_SetString(ZvExc_ZeroDivisionError, "float modulo");
        return nullptr;
    }
    double mod = fmod(vx, wx);
    if (mod != 0.0 && ((wx < 0) != (mod < 0))) mod += wx;
    return ZvFloat_FromDouble(mod);
}

/* Floored quotient and remainder, the quotient snapped to an integral
 * value; false with ZeroDivisionError for a zero divisor. */
[[nodiscard]] static bool float_divmod_values(double vx, double wx, double *pdiv, double *pmod)
{
    if (wx == 0.0) {
        ZvErr_SetString(ZvExc_ZeroDivisionError, "float divmod()");
        return false;
    }
    double mod = fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) {
            mod += wx;
            div -= 1.0;
        }
    } else
        mod = copysign(0.0, wx);
    double floordiv;
    if (div != 0.0) {
        floordiv = floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else
        floordiv = copysign(0.0, vx / wx);
    *pdiv = floordiv;
    *pmod = mod;
    return true;
}

static ZvObject *float_divmod(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, vx, wx);
    double div, mod;
    if (!float_divmod_values(vx, wx, &div, &mod)) return nullptr;
    Ref d(ZvFloat_FromDouble(div)), m(ZvFloat_FromDouble(mod));
    if (!d || !m) return nullptr;
    return ZvTuple_Pack(2, d.get(), m.get());
}

static ZvObject *float_floor_div(ZvObject *v, ZvObject *w)
{
    CONVERT_BINOP(v, w, vx, wx);
    double div, mod;
    if (!float_divmod_values(vx, wx, &div, &mod)) return nullptr;
    return ZvFloat_FromDouble(div);
}

static ZvObject *float_pow(ZvObject *v, ZvObject *w, ZvObject *z)
{
    if (z != Zv_None) {
        ZvErr_SetString(ZvExc_TypeError,
                        "pow() 3rd argument not allowed unless all arguments are integers");
        return nullptr;
    }
    CONVERT_BINOP(v, w, iv, iw);
    if (iw == 0) return ZvFloat_FromDouble(1.0);
    if (iv == 0.0) {
        if (iw < 0.0) {
            ZvErr_SetString(ZvExc_ZeroDivisionError, "0.0 cannot be raised to a negative power");
            return nullptr;
        }
        return ZvFloat_FromDouble(0.0);
    }
    if (iv < 0.0) {
        if (iw != floor(iw)) {
            ZvErr_SetString(ZvExc_ValueError,
                            "negative number cannot be raised to a fractional power");
            return nullptr;
        }
        if (iv == -1.0 && isfinite(iw))
            return ZvFloat_FromDouble(floor(iw * 0.5) * 2.0 == iw ? 1.0 : -1.0);
    }
    int saved_errno = errno;
    errno = 0;
    double ix = pow(iv, iw);
    /* Only overflow is a range error: an infinite result from finite
     * operands is one whether or not the library said so, and a result
     * that underflowed to zero (which the library may also flag) is the
     * right answer. */
    if (isinf(ix) && isfinite(iv) && isfinite(iw))
        errno = ERANGE;
    else if (errno == ERANGE)
        errno = 0;
    if (errno != 0) {
        ZvErr_SetFromErrno(errno == ERANGE ? ZvExc_OverflowError : ZvExc_ValueError);
        errno = saved_errno;
        return nullptr;
    }
    errno = saved_errno;
    return ZvFloat_FromDouble(ix);
}

static ZvObject *float_neg(ZvObject *v) { return ZvFloat_FromDouble(-ZvFloat_AS_DOUBLE(v)); }

static ZvObject *float_pos(ZvObject *v)
{
    if (ZvFloat_CheckExact(v)) {
        Zv_INCREF(v);
        return v;
    }
    return ZvFloat_FromDouble(ZvFloat_AS_DOUBLE(v));
}

static ZvObject *float_abs(ZvObject *v) { return ZvFloat_FromDouble(fabs(ZvFloat_AS_DOUBLE(v))); }

static int float_nonzero(ZvObject *v) { return ZvFloat_AS_DOUBLE(v) != 0.0; }

static int float_coerce(ZvObject **pv, ZvObject **pw)
{
    if (ZvInt_Check(*pw)) {
        *pw = ZvFloat_FromDouble((double)ZvInt_AS_LONG(*pw));
    } else if (ZvLong_Check(*pw)) {
        double x = ZvLong_AsDouble(*pw);
        if (x == -1.0 && ZvErr_Occurred()) return -1;
        *pw = ZvFloat_FromDouble(x);
    } else if (ZvFloat_Check(*pw)) {
        Zv_INCREF(*pw);
    } else
        return 1;
    if (*pw == nullptr) return -1;
    Zv_INCREF(*pv);
    return 0;
}

static ZvObject *float_int(ZvObject *v)
{
    double wholepart;
    (void)modf(ZvFloat_AS_DOUBLE(v), &wholepart);
    if (-2147483648.0 < wholepart && wholepart < 2147483647.0)
        return ZvInt_FromLong((int32_t)wholepart);
    return ZvLong_FromDouble(wholepart);
}

static ZvObject *float_long(ZvObject *v) { return ZvLong_FromDouble(ZvFloat_AS_DOUBLE(v)); }

static ZvObject *float_float(ZvObject *v) { return float_pos(v); }

/* --- comparison -------------------------------------------------------------- */

static ZvObject *compare_result(double i, double j, int op)
{
    bool r = false;
    switch (op) {
    case Zv_LT: r = i < j; break;
    case Zv_LE: r = i <= j; break;
    case Zv_EQ: r = i == j; break;
    case Zv_NE: r = i != j; break;
    case Zv_GT: r = i > j; break;
    case Zv_GE: r = i >= j; break;
    }
    return ZvBool_FromLong(r);
}

/* A finite non-zero float against a long of the same sign whose value
 * needs more than 48 bits, compared exactly. */
static ZvObject *compare_with_big_long(double i, ZvObject *w, int op)
{
    size_t nbits = _ZvLong_NumBits(w);
    if (nbits == (size_t)-1 && ZvErr_Occurred()) {
        /* Too many bits to count: larger in magnitude than any float. */
        ZvErr_Clear();
        return compare_result(0.0, _ZvLong_Sign(w) > 0 ? 1.0 : -1.0, op);
    }
    Ref ww = Ref::borrow(w);
    if (i < 0.0) {
        /* Compare -i with -w instead, which swaps the operator. */
        i = -i;
        ww = Ref(ZvLong_Type.tp_as_number->nb_negative(w));
        if (!ww) return nullptr;
        op = _Zv_SwappedOp[op];
    }
    int exponent;
    (void)frexp(i, &exponent);
    if (exponent < 0 || (size_t)exponent < nbits) return compare_result(0.0, 1.0, op);
    if ((size_t)exponent > nbits) return compare_result(1.0, 0.0, op);
    /* Same bit length: compare the integral parts as longs, with one extra
     * low bit standing for a non-zero fraction. */
    double intpart, fracpart = modf(i, &intpart);
    Ref vv(ZvLong_FromDouble(intpart));
    if (!vv) return nullptr;
    if (fracpart != 0.0) {
        Ref one(ZvLong_FromLong(1));
        if (!one) return nullptr;
        ZvNumberMethods *nb = ZvLong_Type.tp_as_number;
        ww = Ref(nb->nb_lshift(ww.get(), one.get()));
        if (!ww) return nullptr;
        vv = Ref(nb->nb_lshift(vv.get(), one.get()));
        if (!vv) return nullptr;
        vv = Ref(nb->nb_or(vv.get(), one.get()));
        if (!vv) return nullptr;
    }
    int c = ZvLong_Type.tp_compare(vv.get(), ww.get());
    return compare_result((double)c, 0.0, op);
}

static ZvObject *float_richcompare(ZvObject *v, ZvObject *w, int op)
{
    if (!ZvFloat_Check(v)) Zv_RETURN_NOTIMPLEMENTED;
    double i = ZvFloat_AS_DOUBLE(v);
    if (ZvFloat_Check(w)) return compare_result(i, ZvFloat_AS_DOUBLE(w), op);
    if (!ZvInt_Check(w) && !ZvLong_Check(w)) Zv_RETURN_NOTIMPLEMENTED;
    /* An infinity or NaN orders against any integer as against 0. */
    if (!isfinite(i)) return compare_result(i, 0.0, op);
    if (ZvInt_Check(w)) return compare_result(i, (double)ZvInt_AS_LONG(w), op);
    int vsign = i == 0.0 ? 0 : (i < 0.0 ? -1 : 1);
    int wsign = _ZvLong_Sign(w);
    if (vsign != wsign) return compare_result((double)vsign, (double)wsign, op);
    size_t nbits = _ZvLong_NumBits(w);
    if (nbits <= 48) return compare_result(i, ZvLong_AsDouble(w), op);
    return compare_with_big_long(i, w, op);
}

/* --- construction ------------------------------------------------------------ */

static ZvObject *float_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    ZvObject *x = nullptr;
    static const char *kwlist[] = {"x", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|O:float", (char **)kwlist, &x)) return nullptr;
    Ref value;
    if (x == nullptr)
        value = Ref(ZvFloat_FromDouble(0.0));
    else if (ZvString_Check(x))
        value = Ref(ZvFloat_FromString(x, nullptr));
    else if (ZvFloat_CheckExact(x))
        value = Ref::borrow(x);
    else
        value = Ref(ZvNumber_Float(x));
    if (!value || type == &ZvFloat_Type) return value.release();
    ZvObject *newobj = type->tp_alloc(type, 0);
    if (newobj != nullptr) ((ZvFloatObject *)newobj)->ob_fval = ZvFloat_AS_DOUBLE(value.get());
    return newobj;
}

static ZvObject *float_getnewargs(ZvObject *v, ZvObject *)
{
    Ref x(ZvFloat_FromDouble(ZvFloat_AS_DOUBLE(v)));
    if (!x) return nullptr;
    return ZvTuple_Pack(1, x.get());
}

static ZvMethodDef float_methods[] = {
    {"__getnewargs__", float_getnewargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static ZvNumberMethods float_as_number = {
    float_add,         /* nb_add */
    float_sub,         /* nb_subtract */
    float_mul,         /* nb_multiply */
    float_classic_div, /* nb_divide */
    float_rem,         /* nb_remainder */
    float_divmod,      /* nb_divmod */
    float_pow,         /* nb_power */
    float_neg,         /* nb_negative */
    float_pos,         /* nb_positive */
    float_abs,         /* nb_absolute */
    float_nonzero,     /* nb_nonzero */
    nullptr,           /* nb_invert */
    nullptr,           /* nb_lshift */
    nullptr,           /* nb_rshift */
    nullptr,           /* nb_and */
    nullptr,           /* nb_xor */
    nullptr,           /* nb_or */
    float_coerce,      /* nb_coerce */
    float_int,         /* nb_int */
    float_long,        /* nb_long */
    float_float,       /* nb_float */
    nullptr,           /* nb_oct */
    nullptr,           /* nb_hex */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* in-place add .. remainder */
    nullptr, nullptr, nullptr, nullptr,          /* in-place power .. and */
    nullptr, nullptr,                            /* in-place xor, or */
    float_floor_div,                             /* nb_floor_divide */
    float_div,                                   /* nb_true_divide */
    nullptr, nullptr,                            /* in-place floor, true divide */
};

ZvTypeObject ZvFloat_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "float",                 /* tp_name */
    sizeof(ZvFloatObject),   /* tp_basicsize */
    0,                       /* tp_itemsize */
    float_dealloc,           /* tp_dealloc */
    float_print,             /* tp_print */
    nullptr,                 /* tp_getattr */
    nullptr,                 /* tp_setattr */
    nullptr,                 /* tp_compare */
    float_repr,              /* tp_repr */
    &float_as_number,        /* tp_as_number */
    nullptr,                 /* tp_as_sequence */
    nullptr,                 /* tp_as_mapping */
    float_hash,              /* tp_hash */
    nullptr,                 /* tp_call */
    float_str,               /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,                 /* tp_setattro */
    nullptr,                 /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE, /* tp_flags */
    "float(x) -> floating point number\n\nConvert a string or number to a floating point "
    "number, if possible.",  /* tp_doc */
    nullptr,                 /* tp_traverse */
    nullptr,                 /* tp_clear */
    float_richcompare,       /* tp_richcompare */
    0,                       /* tp_weaklistoffset */
    nullptr,                 /* tp_iter */
    nullptr,                 /* tp_iternext */
    float_methods,           /* tp_methods */
    nullptr,                 /* tp_members */
    nullptr,                 /* tp_getset */
    nullptr,                 /* tp_base */
    nullptr,                 /* tp_dict */
    nullptr,                 /* tp_descr_get */
    nullptr,                 /* tp_descr_set */
    0,                       /* tp_dictoffset */
    nullptr,                 /* tp_init */
    ZvType_GenericAlloc,     /* tp_alloc */
    float_new,               /* tp_new */
    ZvObject_Free,           /* tp_free */
};

/* --- IEEE byte layouts --------------------------------------------------------- */

namespace {

/* One IEEE binary interchange format: exponent and fraction widths, and
 * the letter its overflow message names. */
struct IeeeFormat {
    int ebits;
    int mbits;
    int nbytes;
    const char *overflow;
};

constexpr IeeeFormat kHalf{5, 10, 2, "float too large to pack with e format"};
constexpr IeeeFormat kSingle{8, 23, 4, "float too large to pack with f format"};
constexpr IeeeFormat kDouble{11, 52, 8, "float too large to pack with d format"};

void store_bits(uint64_t bits, unsigned char *p, int nbytes, int le)
{
    for (int i = 0; i < nbytes; i++) {
        unsigned char byte = (unsigned char)(bits >> (8 * i));
        p[le ? i : nbytes - 1 - i] = byte;
    }
}

uint64_t load_bits(const unsigned char *p, int nbytes, int le)
{
    uint64_t bits = 0;
    for (int i = 0; i < nbytes; i++) bits |= (uint64_t)p[le ? i : nbytes - 1 - i] << (8 * i);
    return bits;
}

/* Rounds a non-negative value to an integer, halves to even, as the IEEE
 * conversion between formats does. */
double round_half_even(double m)
{
    double fl = floor(m);
    double diff = m - fl;
    if (diff > 0.5 || (diff == 0.5 && fmod(fl, 2.0) != 0.0)) fl += 1.0;
    return fl;
}

int pack(const IeeeFormat &fmt, double x, unsigned char *p, int le)
{
    const int bias = (1 << (fmt.ebits - 1)) - 1;
    const uint64_t emax_field = (1u << fmt.ebits) - 1; /* all ones: inf, nan */
    const double mscale = ldexp(1.0, fmt.mbits);
    uint64_t sign = signbit(x) ? 1 : 0;
    x = fabs(x);
    uint64_t efield, mant;
    if (isnan(x)) {
        efield = emax_field;
        mant = (uint64_t)1 << (fmt.mbits - 1); /* a quiet NaN */
    } else if (isinf(x)) {
        efield = emax_field;
        mant = 0;
    } else {
        int e;
        double f = frexp(x, &e);
        if (f == 0.0) {
            efield = 0;
            mant = 0;
        } else if (!(0.5 <= f && f < 1.0)) {
            ZvErr_SetString(ZvExc_SystemError, "frexp() result out of range");
            return -1;
        } else {
            /* x = f * 2**e with f in [1, 2). */
            f *= 2.0;
            e--;
            if (e > bias) goto overflow;
            if (e < 1 - bias) {
                /* Gradual underflow: a denormal with the smallest exponent. */
                f = ldexp(f, e - (1 - bias));
                efield = 0;
            } else {
                efield = (uint64_t)(e + bias);
                f -= 1.0;
            }
            double m = round_half_even(f * mscale);
            if (m >= mscale) {
                /* The rounding carried into the exponent. */
                m = 0.0;
                efield++;
                if (efield >= emax_field) goto overflow;
            }
            mant = (uint64_t)m;
        }
    }
    store_bits((sign << (fmt.ebits + fmt.mbits)) | (efield << fmt.mbits) | mant, p, fmt.nbytes,
               le);
    return 0;
overflow:
    ZvErr_SetString(ZvExc_OverflowError, fmt.overflow);
    return -1;
}

double unpack(const IeeeFormat &fmt, const unsigned char *p, int le)
{
    const int bias = (1 << (fmt.ebits - 1)) - 1;
    const uint64_t emax_field = (1u << fmt.ebits) - 1;
    uint64_t bits = load_bits(p, fmt.nbytes, le);
    bool negative = (bits >> (fmt.ebits + fmt.mbits)) & 1;
    uint64_t efield = (bits >> fmt.mbits) & emax_field;
    uint64_t mant = bits & (((uint64_t)1 << fmt.mbits) - 1);
    double x;
    if (efield == emax_field)
        x = mant == 0 ? HUGE_VAL : NAN;
    else if (efield == 0)
        x = ldexp((double)mant, 1 - bias - fmt.mbits);
    else
        x = ldexp((double)(mant | ((uint64_t)1 << fmt.mbits)), (int)efield - bias - fmt.mbits);
    return negative ? copysign(x, -1.0) : copysign(x, 1.0);
}

} // namespace

int _ZvFloat_Pack2(double x, unsigned char *p, int le) { return pack(kHalf, x, p, le); }
int _ZvFloat_Pack4(double x, unsigned char *p, int le) { return pack(kSingle, x, p, le); }
int _ZvFloat_Pack8(double x, unsigned char *p, int le) { return pack(kDouble, x, p, le); }
double _ZvFloat_Unpack2(const unsigned char *p, int le) { return unpack(kHalf, p, le); }
double _ZvFloat_Unpack4(const unsigned char *p, int le) { return unpack(kSingle, p, le); }
double _ZvFloat_Unpack8(const unsigned char *p, int le) { return unpack(kDouble, p, le); }

/* --- shut-down ----------------------------------------------------------- */

static bool record_is_live(ZvFloatObject *p)
{
    /* A free record's ob_type is a link into some block (or NULL), never
     * &ZvFloat_Type, and its poisoned count is then not read. */
    return Zv_TYPE(p) == &ZvFloat_Type && p->ob_refcnt != 0;
}

void ZvFloat_Fini(void)
{
    free_list = nullptr;
    ZvFloatBlock *list = block_list;
    block_list = nullptr;
    int nblocks = 0, kept_blocks = 0, live_total = 0;
    while (list != nullptr) {
        ZvFloatBlock *next = list->next;
        nblocks++;
        int live = 0;
        for (ZvFloatObject &rec : list->objects) live += record_is_live(&rec);
        if (live == 0) {
            ZvMem_Free(list);
        } else {
            kept_blocks++;
            live_total += live;
            list->next = block_list;
            block_list = list;
            for (ZvFloatObject &rec : list->objects)
                if (!record_is_live(&rec)) free_push(&rec);
        }
        list = next;
    }
    const int verbose = zv::verbose_flag();
    if (!verbose) return;
    fprintf(stderr, "# cleanup floats");
    if (live_total == 0) {
        fprintf(stderr, "\n");
        return;
    }
    fprintf(stderr, ": %d unfreed float%s in %d out of %d block%s\n", live_total,
            live_total == 1 ? "" : "s", kept_blocks, nblocks, nblocks == 1 ? "" : "s");
    if (verbose < 2) return;
    for (ZvFloatBlock *b = block_list; b != nullptr; b = b->next)
        for (ZvFloatObject &rec : b->objects)
            if (record_is_live(&rec)) {
                char buf[100];
                ZvFloat_AsReprString(buf, &rec);
                fprintf(stderr, "#   <float at %p, refcnt=%d, val=%s>\n", (void *)&rec,
                        rec.ob_refcnt, buf);
            }
}

} // extern "C"
