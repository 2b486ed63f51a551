/* The `float` type: one IEEE 754 double.
 *
 * This is the first version: the record layout, creation and conversion,
 * text forms, hashing, the arithmetic slots (mixed with int and long by
 * converting the other operand to double) and exact comparison against
 * integers of any size.  Records come straight from the object allocator;
 * the block free list joins later, as does parsing beyond the C library's
 * strtod.
 *
 * Mixed operands: an int converts exactly, a long through the long type's
 * double conversion (its OverflowError propagates), anything else makes a
 * binary slot answer NotImplemented. */
#include "zuvo.h"
#include "numglue.h"
#include "zvref.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

using zv::Ref;

extern "C" {

ZvObject *ZvFloat_FromDouble(double fval)
{
    auto *op = (ZvFloatObject *)ZvObject_Malloc(sizeof(ZvFloatObject));
    if (op == nullptr) return ZvErr_NoMemory();
    ZvObject_Init((ZvObject *)op, &ZvFloat_Type);
    op->ob_fval = fval;
    return (ZvObject *)op;
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

ZvObject *ZvFloat_FromString(ZvObject *v, char **pend)
{
    if (pend) *pend = nullptr;
    if (v == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (!ZvString_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "float() argument must be a string or a number");
        return nullptr;
    }
    const char *s = ZvString_AS_STRING(v);
    const char *last = s + ZvString_GET_SIZE(v);
    while (s < last && isspace((unsigned char)*s)) s++;
    if (s == last) {
        ZvErr_SetString(ZvExc_ValueError, "empty string for float()");
        return nullptr;
    }
    errno = 0;
    char *end;
    double x = strtod(s, &end);
    const char *p = end;
    while (p < last && isspace((unsigned char)*p)) p++;
    if (end == s || p != last) {
        if (p < last && *p == '\0')
            ZvErr_SetString(ZvExc_ValueError, "null byte in argument for float()");
        else
            ZvErr_Format(ZvExc_ValueError, "invalid literal for float(): %.200s", s);
        return nullptr;
    }
    return ZvFloat_FromDouble(x);
}

/* --- text ------------------------------------------------------------------ */

void ZvFloat_AsStringEx(char *buf, ZvFloatObject *v, int precision)
{
    snprintf(buf, 100, "%.*g", precision, v->ob_fval);
    /* A decimal comma from a foreign locale becomes a point. */
    char *cp = buf;
    if (*cp == '-') cp++;
    for (; *cp != '\0'; cp++) {
        if (*cp == ',') *cp = '.';
        if (!isdigit((unsigned char)*cp)) break;
    }
    /* Only digits: add ".0" so the text reads back as a float. */
    if (*cp == '\0') strcat(buf, ".0");
}

void ZvFloat_AsString(char *buf, ZvFloatObject *v) { ZvFloat_AsStringEx(buf, v, 12); }

void ZvFloat_AsReprString(char *buf, ZvFloatObject *v) { ZvFloat_AsStringEx(buf, v, 17); }

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

static operand_result float_operand(ZvObject *o, double *out)
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
static bool float_divmod_values(double vx, double wx, double *pdiv, double *pmod)
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
    errno = 0;
    double ix = pow(iv, iw);
    if (errno == 0 && isinf(ix) && isfinite(iv) && isfinite(iw)) errno = ERANGE;
    if (errno != 0) {
        ZvErr_SetString(errno == ERANGE ? ZvExc_OverflowError : ZvExc_ValueError,
                        errno == ERANGE ? "(34, 'Numerical result out of range')"
                                        : "(33, 'Numerical argument out of domain')");
        return nullptr;
    }
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

static void float_dealloc(ZvObject *v) { Zv_TYPE(v)->tp_free(v); }

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

} // extern "C"
