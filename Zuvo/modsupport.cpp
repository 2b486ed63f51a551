/* Value building and module definition for native code.
 *
 * Zv_InitModule4 turns a method table into a module registered in
 * sys.modules; the ZvModule_Add* helpers populate it.
 *
 * Zv_BuildValue and Zv_VaBuildValue:
 *
 * A build format is a string of units, each taking its native value(s)
 * from the argument list and making one object: "i" an int, "s" a string,
 * "O" an object, "(...)" a tuple, "[...]" a list, "{...}" a dict of
 * alternating keys and values.  Blanks, tabs, ',' and ':' only separate.
 * No unit gives None, one unit gives its value, more give a tuple.
 *
 * The guarantee callers rely on: every "N" unit's reference is consumed,
 * whether building succeeds or fails.  So the format is checked first
 * (brackets matched, every character known); a malformed format consumes
 * the arguments it can account for, releasing "N" objects, and fails.  A
 * well-formed format is then built to the end even after a unit fails,
 * each result going into its container, and the whole is released at the
 * end: the "N" objects go with it. */
#include "zuvo.h"

#include <limits.h>
#include <string.h>

namespace {

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ',' || c == ':'; }
bool is_opener(char c) { return c == '(' || c == '[' || c == '{'; }
bool is_closer(char c) { return c == ')' || c == ']' || c == '}'; }

char closer_of(char opener)
{
    return opener == '(' ? ')' : opener == '[' ? ']' : '}';
}

// Characters that start a build unit.
bool is_unit(char c)
{
    return c != '\0' && strchr("bBhHiIlkLKfdDcszuNSO", c) != nullptr;
}

// The character after the unit starting at f: '#' follows the string
// units, '&' the object units.
const char *unit_end(const char *f)
{
    char c = *f++;
    if ((c == 's' || c == 'z' || c == 'u') && *f == '#') return f + 1;
    if ((c == 'O' || c == 'S' || c == 'N') && *f == '&') return f + 1;
    return f;
}

enum class FormatFault { None, BadChar, UnclosedParen, StrayParen };

// Checks brackets and characters.  *stop receives the place where the
// arguments can no longer be accounted for (the end of the format unless
// an unknown character stands there).
FormatFault check_format(const char *f, const char **stop)
{
    char stack[256];
    int depth = 0;
    FormatFault fault = FormatFault::None;
    for (; *f != '\0'; ) {
        char c = *f;
        if (is_opener(c)) {
            // Nesting past the stack is reported as unmatched: no real
            // format nests this deep.
            if (depth == (int)sizeof stack) {
                if (fault == FormatFault::None) fault = FormatFault::StrayParen;
            } else {
                stack[depth++] = closer_of(c);
            }
            f++;
        } else if (is_closer(c)) {
            if (depth == 0 || stack[depth - 1] != c) {
                if (fault == FormatFault::None) fault = FormatFault::StrayParen;
            } else {
                depth--;
            }
            f++;
        } else if (is_separator(c)) {
            f++;
        } else if (is_unit(c)) {
            f = unit_end(f);
        } else {
            *stop = f;
            return FormatFault::BadChar;
        }
    }
    *stop = f;
    if (fault == FormatFault::None && depth > 0) fault = FormatFault::UnclosedParen;
    return fault;
}

// Reads the native values of one unit without making an object, releasing
// the reference an "N" unit hands over.
void discard_unit(const char *f, va_list *va)
{
    const char *end = unit_end(f);
    bool sized = end - f == 2 && end[-1] == '#';
    bool converter = end - f == 2 && end[-1] == '&';
    switch (*f) {
    case 'b': case 'B': case 'h': case 'H': case 'i': case 'c':
        (void)va_arg(*va, int);
        break;
    case 'I':
        (void)va_arg(*va, unsigned int);
        break;
    case 'l':
        (void)va_arg(*va, long);
        break;
    case 'k':
        (void)va_arg(*va, unsigned long);
        break;
    case 'L':
        (void)va_arg(*va, long long);
        break;
    case 'K':
        (void)va_arg(*va, unsigned long long);
        break;
    case 'f': case 'd':
        (void)va_arg(*va, double);
        break;
    case 'D':
        (void)va_arg(*va, void *);
        break;
    case 's': case 'z': case 'u':
        (void)va_arg(*va, void *);
        if (sized) (void)va_arg(*va, int);
        break;
    case 'N': case 'S': case 'O':
        if (converter) {
            typedef ZvObject *(*converter_fn)(void *);
            (void)va_arg(*va, converter_fn);
            (void)va_arg(*va, void *);
        } else {
            ZvObject *o = va_arg(*va, ZvObject *);
            if (*f == 'N') Zv_XDECREF(o);
        }
        break;
    }
}

// Consumes the arguments of every unit before `stop`.
void discard_units(const char *f, const char *stop, va_list *va)
{
    while (f < stop) {
        if (is_unit(*f)) {
            discard_unit(f, va);
            f = unit_end(f);
        } else {
            f++;
        }
    }
}

// Number of units from f up to the closer `endchar` at this level (the
// format is known to be well formed).
int count_units(const char *f, char endchar)
{
    int count = 0, level = 0;
    for (; level > 0 || *f != endchar; ) {
        char c = *f;
        if (is_opener(c)) {
            if (level == 0) count++;
            level++;
            f++;
        } else if (is_closer(c)) {
            level--;
            f++;
        } else if (is_unit(c)) {
            if (level == 0) count++;
            f = unit_end(f);
        } else {
            f++;
        }
    }
    return count;
}

ZvObject *build_value(const char **fp, va_list *va);

void skip_separators(const char **fp)
{
    while (is_separator(**fp)) (*fp)++;
}

// Builds the n items of a tuple or list; *fp is just after the opener and
// is left just after `endchar`.  Items are built even after a failure so
// that every argument is consumed.
ZvObject *build_sequence(const char **fp, va_list *va, char endchar, int n, bool list)
{
    ZvObject *v = list ? ZvList_New(n) : ZvTuple_New(n);
    bool failed = v == nullptr;
    for (int i = 0; i < n; i++) {
        ZvObject *w = build_value(fp, va);
        if (w == nullptr) {
            failed = true;
            continue;
        }
        if (v == nullptr) {
            Zv_DECREF(w);
        } else if (list) {
            ZvList_SET_ITEM(v, i, w);
        } else {
            ZvTuple_SET_ITEM(v, i, w);
        }
    }
    skip_separators(fp);
    if (**fp == endchar) (*fp)++;
    if (failed) {
        Zv_XDECREF(v);
        return nullptr;
    }
    return v;
}

ZvObject *build_dict(const char **fp, va_list *va, int n)
{
    ZvObject *d = ZvDict_New();
    bool failed = d == nullptr;
    for (int i = 0; i < n; i += 2) {
        ZvObject *k = build_value(fp, va);
        ZvObject *v = i + 1 < n ? build_value(fp, va) : nullptr;
        if (i + 1 >= n && !failed && ZvErr_Occurred() == nullptr)
            ZvErr_SetString(ZvExc_SystemError, "bad format char passed to Zv_BuildValue");
        if (k == nullptr || v == nullptr || d == nullptr || ZvDict_SetItem(d, k, v) < 0)
            failed = true;
        Zv_XDECREF(k);
        Zv_XDECREF(v);
    }
    skip_separators(fp);
    if (**fp == '}') (*fp)++;
    if (failed) {
        Zv_XDECREF(d);
        return nullptr;
    }
    return d;
}

// A unit whose result type this build does not have yet.
ZvObject *type_not_available(char unit, const char *type)
{
    ZvErr_Format(ZvExc_SystemError,
                 "Zv_BuildValue: format unit '%c' needs the %s type, which is not built yet", unit,
                 type);
    return nullptr;
}

// The integer units whose value may exceed an int ("l" and "k" hold 64
// bits here, "I" 32 unsigned ones) make a long then.
ZvObject *from_long_long(long long v)
{
    if (v >= INT32_MIN && v <= INT32_MAX) return ZvInt_FromLong((int32_t)v);
    return ZvLong_FromLongLong(v);
}

ZvObject *from_unsigned_long_long(unsigned long long v)
{
    if (v <= (unsigned long long)INT32_MAX) return ZvInt_FromLong((int32_t)v);
    return ZvLong_FromUnsignedLongLong(v);
}

ZvObject *build_string(const char **fp, va_list *va)
{
    const char *str = va_arg(*va, const char *);
    int n = -1;
    if (**fp == '#') {
        (*fp)++;
        n = va_arg(*va, int);
    }
    if (str == nullptr) Zv_RETURN_NONE;
    if (n < 0) {
        size_t m = strlen(str);
        if (m > (size_t)INT32_MAX) {
            ZvErr_SetString(ZvExc_OverflowError, "string too long for Zuvo string");
            return nullptr;
        }
        n = (int)m;
    }
    return ZvString_FromStringAndSize(str, n);
}

ZvObject *build_object(char unit, const char **fp, va_list *va)
{
    if (**fp == '&') {
        (*fp)++;
        typedef ZvObject *(*converter)(void *);
        converter func = va_arg(*va, converter);
        void *arg = va_arg(*va, void *);
        return func(arg);
    }
    ZvObject *v = va_arg(*va, ZvObject *);
    if (v == nullptr) {
        if (ZvErr_Occurred() == nullptr)
            ZvErr_SetString(ZvExc_SystemError, "NULL object passed to Zv_BuildValue");
        return nullptr;
    }
    if (unit != 'N') Zv_INCREF(v);
    return v;
}

// Builds the next unit (skipping separators before it).
ZvObject *build_value(const char **fp, va_list *va)
{
    skip_separators(fp);
    char c = *(*fp)++;
    switch (c) {
    case '(':
        return build_sequence(fp, va, ')', count_units(*fp, ')'), false);
    case '[':
        return build_sequence(fp, va, ']', count_units(*fp, ']'), true);
    case '{':
        return build_dict(fp, va, count_units(*fp, '}'));
    case 'b': case 'B': case 'h': case 'i':
        return ZvInt_FromLong(va_arg(*va, int));
    case 'H':
        return ZvInt_FromLong((int32_t)va_arg(*va, unsigned int));
    case 'I':
        return from_unsigned_long_long(va_arg(*va, unsigned int));
    case 'l':
        return from_long_long(va_arg(*va, long));
    case 'k':
        return from_unsigned_long_long(va_arg(*va, unsigned long));
    case 'L':
        return ZvLong_FromLongLong(va_arg(*va, long long));
    case 'K':
        return ZvLong_FromUnsignedLongLong(va_arg(*va, unsigned long long));
    case 'f':
    case 'd':
        return ZvFloat_FromDouble(va_arg(*va, double));
    case 'D': {
        const auto *value = va_arg(*va, const ZvComplex *);
        if (value == nullptr) {
            ZvErr_BadInternalCall();
            return nullptr;
        }
        return ZvComplex_FromCComplex(*value);
    }
    case 'c': {
        char ch = (char)va_arg(*va, int);
        return ZvString_FromStringAndSize(&ch, 1);
    }
    case 's':
    case 'z':
        return build_string(fp, va);
    case 'u': {
        void *p = va_arg(*va, void *);
        if (**fp == '#') {
            (*fp)++;
            (void)va_arg(*va, int);
        }
        if (p == nullptr) Zv_RETURN_NONE;
        return type_not_available(c, "unicode");
    }
    case 'N':
    case 'S':
    case 'O':
        return build_object(c, fp, va);
    }
    // The format was checked before building: nothing else reaches here.
    ZvErr_SetString(ZvExc_SystemError, "bad format char passed to Zv_BuildValue");
    return nullptr;
}

ZvObject *va_build_value(const char *format, va_list *va)
{
    if (format == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    const char *stop = nullptr;
    switch (check_format(format, &stop)) {
    case FormatFault::None:
        break;
    case FormatFault::BadChar:
        ZvErr_SetString(ZvExc_SystemError, "bad format char passed to Zv_BuildValue");
        discard_units(format, stop, va);
        return nullptr;
    case FormatFault::UnclosedParen:
        ZvErr_SetString(ZvExc_SystemError, "unmatched paren in format");
        discard_units(format, stop, va);
        return nullptr;
    case FormatFault::StrayParen:
        ZvErr_SetString(ZvExc_SystemError, "Unmatched paren in format");
        discard_units(format, stop, va);
        return nullptr;
    }
    int n = count_units(format, '\0');
    if (n == 0) Zv_RETURN_NONE;
    const char *f = format;
    if (n == 1) return build_value(&f, va);
    return build_sequence(&f, va, '\0', n, false);
}

} // namespace

extern "C" {

ZvObject *Zv_BuildValue(const char *format, ...)
{
    va_list va;
    va_start(va, format);
    ZvObject *r = va_build_value(format, &va);
    va_end(va);
    return r;
}

ZvObject *Zv_VaBuildValue(const char *format, va_list va)
{
    va_list lva;
    va_copy(lva, va);
    ZvObject *r = va_build_value(format, &lva);
    va_end(lva);
    return r;
}

} // extern "C"

/* --- module definition --------------------------------------------------- */

extern "C" {

/* The full dotted name of an extension module being loaded inside a
 * package, set by the import system around the module's init function. */
const char *_Zv_PackageContext = nullptr;

ZvObject *Zv_InitModule4(const char *name, ZvMethodDef *methods, const char *doc,
                         ZvObject *passthrough, int module_api_version)
{
    if (!Zv_IsInitialized()) Zv_FatalError("Interpreter not initialized (version mismatch?)");
    if (module_api_version != ZUVO_API_VERSION) {
        char message[512];
        snprintf(message, sizeof(message),
                 "Zuvo C API version mismatch for module %.100s: This Zuvo has API version "
                 "%d, module %.100s has version %d.",
                 name, ZUVO_API_VERSION, name, module_api_version);
        if (ZvErr_Warn(ZvExc_RuntimeWarning, message)) return nullptr;
    }
    /* Inside a package the module's real name is the full dotted context. */
    if (_Zv_PackageContext != nullptr) {
        const char *p = strrchr(_Zv_PackageContext, '.');
        if (p != nullptr && strcmp(name, p + 1) == 0) {
            name = _Zv_PackageContext;
            _Zv_PackageContext = nullptr;
        }
    }
    ZvObject *m = ZvImport_AddModule(name);
    if (m == nullptr) return nullptr;
    ZvObject *d = ZvModule_GetDict(m);
    if (methods != nullptr) {
        ZvObject *n = ZvString_FromString(name);
        if (n == nullptr) return nullptr;
        for (ZvMethodDef *ml = methods; ml->ml_name != nullptr; ml++) {
            if (ml->ml_flags & (METH_CLASS | METH_STATIC)) {
                ZvErr_SetString(ZvExc_ValueError,
                                "module functions cannot set METH_CLASS or METH_STATIC");
                Zv_DECREF(n);
                return nullptr;
            }
            ZvObject *v = ZvCFunction_NewEx(ml, passthrough, n);
            if (v == nullptr || ZvDict_SetItemString(d, ml->ml_name, v) != 0) {
                Zv_XDECREF(v);
                Zv_DECREF(n);
                return nullptr;
            }
            Zv_DECREF(v);
        }
        Zv_DECREF(n);
    }
    if (doc != nullptr) {
        ZvObject *v = ZvString_FromString(doc);
        if (v == nullptr || ZvDict_SetItemString(d, "__doc__", v) != 0) {
            Zv_XDECREF(v);
            return nullptr;
        }
        Zv_DECREF(v);
    }
    return m;
}

int ZvModule_AddObject(ZvObject *m, const char *name, ZvObject *o)
{
    if (m == nullptr || !ZvModule_Check(m)) {
        ZvErr_SetString(ZvExc_TypeError, "ZvModule_AddObject() needs module as first arg");
        Zv_XDECREF(o);
        return -1;
    }
    if (o == nullptr) {
        if (!ZvErr_Occurred())
            ZvErr_SetString(ZvExc_TypeError, "ZvModule_AddObject() needs non-NULL value");
        return -1;
    }
    ZvObject *dict = ZvModule_GetDict(m);
    if (dict == nullptr) {
        ZvErr_Format(ZvExc_SystemError, "module '%s' has no __dict__", ZvModule_GetName(m));
        Zv_DECREF(o);
        return -1;
    }
    int res = ZvDict_SetItemString(dict, name, o);
    Zv_DECREF(o);
    return res == 0 ? 0 : -1;
}

int ZvModule_AddIntConstant(ZvObject *m, const char *name, int32_t value)
{
    return ZvModule_AddObject(m, name, ZvInt_FromLong(value));
}

int ZvModule_AddStringConstant(ZvObject *m, const char *name, const char *value)
{
    return ZvModule_AddObject(m, name, ZvString_FromString(value));
}

} // extern "C"
