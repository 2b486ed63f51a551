/* The byte-string type `str`.
 *
 * Header and bytes share one allocation; ob_sval[ob_size] is always NUL.
 * The hash is cached in the object, the empty string and every one-byte
 * string are shared, and interned strings live in one process-wide
 * dictionary that maps each to itself (its two references there are not
 * counted, so an interned string still dies when its users let go).
 *
 * This first version carries construction, access, interning, hashing,
 * comparison, repr and concatenation; the methods join it. */
#include "zuvo.h"

#include <ctype.h>
#include <inttypes.h>
#include <limits.h>
#include <string.h>

extern "C" {

static ZvStringObject *characters[UCHAR_MAX + 1];
static ZvStringObject *nullstring;
static ZvObject *interned;

ZvObject *ZvString_FromStringAndSize(const char *str, int size)
{
    if (size < 0) {
        ZvErr_SetString(ZvExc_SystemError, "Negative size passed to ZvString_FromStringAndSize");
        return nullptr;
    }
    if (size == 0 && nullstring != nullptr) {
        Zv_INCREF(nullstring);
        return (ZvObject *)nullstring;
    }
    if (size == 1 && str != nullptr && characters[(unsigned char)*str] != nullptr) {
        ZvStringObject *op = characters[(unsigned char)*str];
        Zv_INCREF(op);
        return (ZvObject *)op;
    }
    if ((size_t)size > (size_t)INT32_MAX - sizeof(ZvStringObject)) return ZvErr_NoMemory();
    auto *op = (ZvStringObject *)ZvObject_Malloc(sizeof(ZvStringObject) + (size_t)size);
    if (op == nullptr) return ZvErr_NoMemory();
    ZvObject_InitVar((ZvVarObject *)op, &ZvString_Type, size);
    op->ob_shash = -1;
    op->ob_sstate = SSTATE_NOT_INTERNED;
    if (str != nullptr) memcpy(op->ob_sval, str, (size_t)size);
    op->ob_sval[size] = '\0';
    if (size == 0) {
        ZvObject *t = (ZvObject *)op;
        ZvString_InternInPlace(&t);
        op = (ZvStringObject *)t;
        nullstring = op;
        Zv_INCREF(op);
    } else if (size == 1 && str != nullptr) {
        ZvObject *t = (ZvObject *)op;
        ZvString_InternInPlace(&t);
        op = (ZvStringObject *)t;
        characters[(unsigned char)*str] = op;
        Zv_INCREF(op);
    }
    return (ZvObject *)op;
}

ZvObject *ZvString_FromString(const char *str)
{
    size_t size = strlen(str);
    if (size > (size_t)INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "string is too long for a Zuvo string");
        return nullptr;
    }
    return ZvString_FromStringAndSize(str, (int)size);
}

/* Formatting in two passes: the first bounds the length, the second writes
 * into a string of that size, which is then shrunk. */
ZvObject *ZvString_FromFormatV(const char *format, va_list vargs)
{
    va_list count;
    va_copy(count, vargs);
    size_t n = 0;
    for (const char *f = format; *f; f++) {
        if (*f != '%') {
            n++;
            continue;
        }
        const char *p = f;
        while (*++f && *f != '%' && !isalpha((unsigned char)*f)) {
        }
        if (*f == 'l' && (f[1] == 'd' || f[1] == 'x')) ++f;
        switch (*f) {
        case 'c': (void)va_arg(count, int); n++; break;
        case '%': n++; break;
        case 'd': case 'i': case 'x':
            if (f[-1] == 'l') (void)va_arg(count, long); else (void)va_arg(count, int);
            n += 20;
            break;
        case 's': n += strlen(va_arg(count, const char *)); break;
        case 'p': (void)va_arg(count, void *); n += 19; break;
        default:
            /* Unknown conversion: the rest of the format is copied verbatim. */
            n += strlen(p);
            goto expand;
        }
    }
expand:
    va_end(count);
    if (n > (size_t)INT32_MAX) return ZvErr_NoMemory();
    ZvObject *string = ZvString_FromStringAndSize(nullptr, (int)n);
    if (string == nullptr) return nullptr;
    char *s = ZvString_AS_STRING(string);
    for (const char *f = format; *f; f++) {
        if (*f != '%') {
            *s++ = *f;
            continue;
        }
        const char *p = f++;
        int longflag = 0, precision = -1;
        while (isdigit((unsigned char)*f)) f++;
        if (*f == '.') {
            precision = 0;
            for (f++; isdigit((unsigned char)*f); f++) precision = precision * 10 + (*f - '0');
        }
        if (*f == 'l' && (f[1] == 'd' || f[1] == 'x')) {
            longflag = 1;
            ++f;
        }
        switch (*f) {
        case 'c': *s++ = (char)va_arg(vargs, int); break;
        case 'd':
        case 'i':
            if (longflag) s += sprintf(s, "%ld", va_arg(vargs, long));
            else s += sprintf(s, "%d", va_arg(vargs, int));
            break;
        case 'x':
            if (longflag) s += sprintf(s, "%lx", va_arg(vargs, unsigned long));
            else s += sprintf(s, "%x", va_arg(vargs, unsigned int));
            break;
        case 's': {
            const char *arg = va_arg(vargs, const char *);
            size_t len = strlen(arg);
            if (precision >= 0 && (size_t)precision < len) len = (size_t)precision;
            memcpy(s, arg, len);
            s += len;
            break;
        }
        case 'p':
            /* Always "0x" followed by the hex digits, whatever the C library
             * prints for %p. */
            s += sprintf(s, "0x%" PRIxPTR, (uintptr_t)va_arg(vargs, void *));
            break;
        case '%': *s++ = '%'; break;
        default: {
            size_t len = strlen(p);
            memcpy(s, p, len);
            s += len;
            goto end;
        }
        }
    }
end:
    *s = '\0';
    _ZvString_Resize(&string, (int)(s - ZvString_AS_STRING(string)));
    return string;
}

ZvObject *ZvString_FromFormat(const char *format, ...)
{
    va_list vargs;
    va_start(vargs, format);
    ZvObject *ret = ZvString_FromFormatV(format, vargs);
    va_end(vargs);
    return ret;
}

int ZvString_AsStringAndSize(ZvObject *obj, char **s, int *len)
{
    if (s == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (!ZvString_Check(obj)) {
        ZvErr_Format(ZvExc_TypeError, "expected string or Unicode object, %.200s found",
                     Zv_TYPE(obj)->tp_name);
        return -1;
    }
    *s = ZvString_AS_STRING(obj);
    if (len != nullptr) {
        *len = ZvString_GET_SIZE(obj);
    } else if ((int)strlen(*s) != ZvString_GET_SIZE(obj)) {
        ZvErr_SetString(ZvExc_TypeError, "expected string without null bytes");
        return -1;
    }
    return 0;
}

int ZvString_Size(ZvObject *op)
{
    char *s;
    int len;
    if (!ZvString_Check(op)) {
        if (ZvString_AsStringAndSize(op, &s, &len)) return -1;
        return len;
    }
    return ZvString_GET_SIZE(op);
}

char *ZvString_AsString(ZvObject *op)
{
    char *s;
    int len;
    if (!ZvString_Check(op)) {
        if (ZvString_AsStringAndSize(op, &s, &len)) return nullptr;
        return s;
    }
    return ZvString_AS_STRING(op);
}

int _ZvString_Resize(ZvObject **pv, int newsize)
{
    ZvObject *v = *pv;
    if (v == nullptr || !ZvString_Check(v) || Zv_REFCNT(v) != 1 || newsize < 0 ||
        ZvString_CHECK_INTERNED(v)) {
        *pv = nullptr;
        Zv_XDECREF(v);
        ZvErr_BadInternalCall();
        return -1;
    }
    auto *sv = (ZvStringObject *)ZvObject_Realloc(v, sizeof(ZvStringObject) + (size_t)newsize);
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

static Zv_hash_t string_hash(ZvObject *o)
{
    auto *a = (ZvStringObject *)o;
    if (a->ob_shash != -1) return a->ob_shash;
    int len = a->ob_size;
    auto *p = (const unsigned char *)a->ob_sval;
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
        c = (op == Zv_EQ || op == Zv_LE || op == Zv_GE) ? 1 : 0;
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

ZvObject *ZvString_Repr(ZvObject *obj, int smartquotes)
{
    auto *op = (ZvStringObject *)obj;
    size_t newsize = 2 + 4 * (size_t)op->ob_size;
    if (newsize > (size_t)INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "string is too large to make repr");
        return nullptr;
    }
    ZvObject *v = ZvString_FromStringAndSize(nullptr, (int)newsize);
    if (v == nullptr) return nullptr;
    char quote = '\'';
    if (smartquotes && memchr(op->ob_sval, '\'', (size_t)op->ob_size) &&
        !memchr(op->ob_sval, '"', (size_t)op->ob_size))
        quote = '"';
    char *p = ZvString_AS_STRING(v);
    *p++ = quote;
    for (int i = 0; i < op->ob_size; i++) {
        unsigned char c = (unsigned char)op->ob_sval[i];
        if (c == (unsigned char)quote || c == '\\') {
            *p++ = '\\';
            *p++ = (char)c;
        } else if (c == '\t') {
            *p++ = '\\';
            *p++ = 't';
        } else if (c == '\n') {
            *p++ = '\\';
            *p++ = 'n';
        } else if (c == '\r') {
            *p++ = '\\';
            *p++ = 'r';
        } else if (c < ' ' || c >= 0x7f) {
            sprintf(p, "\\x%02x", c);
            p += 4;
        } else {
            *p++ = (char)c;
        }
    }
    *p++ = quote;
    *p = '\0';
    _ZvString_Resize(&v, (int)(p - ZvString_AS_STRING(v)));
    return v;
}

static ZvObject *string_repr(ZvObject *op) { return ZvString_Repr(op, 1); }

static ZvObject *string_str(ZvObject *s)
{
    if (ZvString_CheckExact(s)) {
        Zv_INCREF(s);
        return s;
    }
    return ZvString_FromStringAndSize(ZvString_AS_STRING(s), ZvString_GET_SIZE(s));
}

static ZvObject *string_concat(ZvObject *a, ZvObject *bb)
{
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
    if (la > INT32_MAX - lb) {
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
    if (*pv == nullptr) return;
    if (w == nullptr || !ZvString_Check(*pv)) {
        Zv_CLEAR(*pv);
        return;
    }
    ZvObject *v = string_concat(*pv, w);
    Zv_DECREF(*pv);
    *pv = v;
}

void ZvString_ConcatAndDel(ZvObject **pv, ZvObject *w)
{
    ZvString_Concat(pv, w);
    Zv_XDECREF(w);
}

static int string_length(ZvObject *a) { return ZvString_GET_SIZE(a); }

static ZvObject *string_item(ZvObject *a, int i)
{
    if (i < 0 || i >= ZvString_GET_SIZE(a)) {
        ZvErr_SetString(ZvExc_IndexError, "string index out of range");
        return nullptr;
    }
    return ZvString_FromStringAndSize(ZvString_AS_STRING(a) + i, 1);
}

/* --- interning ----------------------------------------------------------- */

void ZvString_InternInPlace(ZvObject **p)
{
    ZvObject *s = *p;
    if (s == nullptr || !ZvString_Check(s)) Zv_FatalError("ZvString_InternInPlace: strings only please!");
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
        return;
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

static ZvSequenceMethods string_as_sequence = {
    string_length, string_concat, nullptr, string_item,
};

static ZvObject *basestring_new(ZvTypeObject *, ZvObject *, ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "The basestring type cannot be instantiated");
    return nullptr;
}

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
    nullptr,             /* tp_print */
    nullptr,             /* tp_getattr */
    nullptr,             /* tp_setattr */
    nullptr,             /* tp_compare */
    string_repr,         /* tp_repr */
    nullptr,             /* tp_as_number */
    &string_as_sequence, /* tp_as_sequence */
    nullptr,             /* tp_as_mapping */
    string_hash,         /* tp_hash */
    nullptr,             /* tp_call */
    string_str,          /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_CHECKTYPES | Zv_TPFLAGS_BASETYPE,
    "str(object) -> string\n\nReturn a nice string representation of the object.\n"
    "If the argument is a string, the return value is the same object.",
    nullptr, nullptr,
    string_richcompare,  /* tp_richcompare */
    0, nullptr, nullptr,
    nullptr, nullptr, nullptr,
    &ZvBaseString_Type,  /* tp_base */
    nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
    ZvObject_Free,       /* tp_free */
};

} // extern "C"
