/* The __builtin__ module: the names every piece of code can use without
 * importing anything.  Code reaches it through the `__builtins__` entry of
 * its globals, after its own globals.
 *
 * The module holds the singletons, the built-in types under their
 * user-visible names, `__debug__`, the exception classes (added by the
 * exceptions module) and the built-in functions of the method table below,
 * in its order.  This file holds the table, start-up and the functions that
 * wrap the object and number protocols; the functions that walk sequences
 * live in bltinseq.cpp, those that import, compile, run code or read input
 * in bltinrun.cpp.
 *
 * The functions take borrowed arguments from their argument tuple, which
 * the caller keeps alive for the whole call; anything they fetch and still
 * use after running user code is held with zv::Ref. */
#include "zuvo.h"
#include "bltin_internal.h"
#include "fileobject.h"
#include "zvflags.h"
#include "zvref.h"

#include <math.h>

namespace {

namespace bi = zv::builtins;

ZvObject *builtin_abs(ZvObject *, ZvObject *v) { return ZvNumber_Absolute(v); }

/* apply(func[, args[, kwargs]]): the call with args as the positional
 * arguments (any sequence) and kwargs as the keywords. */
ZvObject *builtin_apply(ZvObject *, ZvObject *args)
{
    ZvObject *func, *alist = nullptr, *kwdict = nullptr;
    if (!ZvArg_UnpackTuple(args, "apply", 1, 3, &func, &alist, &kwdict)) return nullptr;
    zv::Ref positional = zv::Ref::borrow(alist);
    if (alist != nullptr && !ZvTuple_Check(alist)) {
        if (!ZvSequence_Check(alist)) {
            ZvErr_Format(ZvExc_TypeError, "apply() arg 2 expected sequence, found %s",
                         Zv_TYPE(alist)->tp_name);
            return nullptr;
        }
        positional.reset(ZvSequence_Tuple(alist));
        if (!positional) return nullptr;
    }
    if (kwdict != nullptr && !ZvDict_Check(kwdict)) {
        ZvErr_Format(ZvExc_TypeError, "apply() arg 3 expected dictionary, found %s",
                     Zv_TYPE(kwdict)->tp_name);
        return nullptr;
    }
    return ZvEval_CallObjectWithKeywords(func, positional.get(), kwdict);
}

ZvObject *builtin_callable(ZvObject *, ZvObject *v)
{
    return ZvBool_FromLong(ZvCallable_Check(v));
}

ZvObject *builtin_chr(ZvObject *, ZvObject *args)
{
    long x;
    if (!ZvArg_ParseTuple(args, "l:chr", &x)) return nullptr;
    if (x < 0 || x >= 256) {
        ZvErr_SetString(ZvExc_ValueError, "chr() arg not in range(256)");
        return nullptr;
    }
    char c = (char)x;
    return ZvString_FromStringAndSize(&c, 1);
}

ZvObject *builtin_cmp(ZvObject *, ZvObject *args)
{
    ZvObject *a, *b;
    int c;
    if (!ZvArg_UnpackTuple(args, "cmp", 2, 2, &a, &b)) return nullptr;
    if (ZvObject_Cmp(a, b, &c) < 0) return nullptr;
    return ZvInt_FromLong(c);
}

ZvObject *builtin_coerce(ZvObject *, ZvObject *args)
{
    ZvObject *v, *w;
    if (!ZvArg_UnpackTuple(args, "coerce", 2, 2, &v, &w)) return nullptr;
    /* On success v and w are replaced by new references. */
    if (ZvNumber_Coerce(&v, &w) < 0) return nullptr;
    zv::Ref cv(v), cw(w);
    return ZvTuple_Pack(2, cv.get(), cw.get());
}

ZvObject *builtin_delattr(ZvObject *, ZvObject *args)
{
    ZvObject *v, *name;
    if (!ZvArg_UnpackTuple(args, "delattr", 2, 2, &v, &name)) return nullptr;
    if (ZvObject_SetAttr(v, name, nullptr) < 0) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *builtin_dir(ZvObject *, ZvObject *args)
{
    ZvObject *arg = nullptr;
    if (!ZvArg_UnpackTuple(args, "dir", 0, 1, &arg)) return nullptr;
    return ZvObject_Dir(arg);
}

ZvObject *builtin_divmod(ZvObject *, ZvObject *args)
{
    ZvObject *v, *w;
    if (!ZvArg_UnpackTuple(args, "divmod", 2, 2, &v, &w)) return nullptr;
    return ZvNumber_Divmod(v, w);
}

/* The attribute name of getattr and hasattr must be a string.  Unicode
 * names, converted to their default-encoded string first, join here with
 * the Unicode type. */
bool attribute_name(ZvObject *name, const char *fn)
{
    if (ZvString_Check(name)) return true;
    ZvErr_Format(ZvExc_TypeError, "%s(): attribute name must be string", fn);
    return false;
}

ZvObject *builtin_getattr(ZvObject *, ZvObject *args)
{
    ZvObject *v, *name, *dflt = nullptr;
    if (!ZvArg_UnpackTuple(args, "getattr", 2, 3, &v, &name, &dflt)) return nullptr;
    if (!attribute_name(name, "getattr")) return nullptr;
    ZvObject *result = ZvObject_GetAttr(v, name);
    if (result == nullptr && dflt != nullptr && ZvErr_ExceptionMatches(ZvExc_AttributeError)) {
        ZvErr_Clear();
        Zv_INCREF(dflt);
        result = dflt;
    }
    return result;
}

/* Without a running frame (a call from native code) there is no scope to
 * show: None. */
ZvObject *builtin_globals(ZvObject *, ZvObject *)
{
    ZvObject *d = ZvEval_GetGlobals();
    if (d == nullptr) d = Zv_None;
    Zv_INCREF(d);
    return d;
}

/* Any failure of the lookup, whatever the exception, means "no". */
ZvObject *builtin_hasattr(ZvObject *, ZvObject *args)
{
    ZvObject *v, *name;
    if (!ZvArg_UnpackTuple(args, "hasattr", 2, 2, &v, &name)) return nullptr;
    if (!attribute_name(name, "hasattr")) return nullptr;
    ZvObject *result = ZvObject_GetAttr(v, name);
    if (result == nullptr) {
        ZvErr_Clear();
        return ZvBool_FromLong(0);
    }
    Zv_DECREF(result);
    return ZvBool_FromLong(1);
}

ZvObject *builtin_hash(ZvObject *, ZvObject *v)
{
    Zv_hash_t h = ZvObject_Hash(v);
    if (h == -1) return nullptr;
    return ZvInt_FromLong(h);
}

/* hex() and oct(): the type's own conversion, which must give a string. */
ZvObject *base_text(ZvObject *v, bool hex)
{
    ZvNumberMethods *nb = Zv_TYPE(v)->tp_as_number;
    unaryfunc convert = nb == nullptr ? nullptr : hex ? nb->nb_hex : nb->nb_oct;
    if (convert == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, hex ? "hex() argument can't be converted to hex"
                                             : "oct() argument can't be converted to oct");
        return nullptr;
    }
    ZvObject *res = convert(v);
    if (res != nullptr && !ZvString_Check(res)) {
        ZvErr_Format(ZvExc_TypeError,
                     hex ? "__hex__ returned non-string (type %.200s)"
                         : "__oct__ returned non-string (type %.200s)",
                     Zv_TYPE(res)->tp_name);
        Zv_DECREF(res);
        return nullptr;
    }
    return res;
}

ZvObject *builtin_hex(ZvObject *, ZvObject *v) { return base_text(v, true); }

ZvObject *builtin_id(ZvObject *, ZvObject *v) { return ZvLong_FromVoidPtr(v); }

/* Only exact strings are interned: the table must hold plain strings,
 * whose equality and hash no subclass can change. */
ZvObject *builtin_intern(ZvObject *, ZvObject *args)
{
    ZvObject *s;
    if (!ZvArg_ParseTuple(args, "S:intern", &s)) return nullptr;
    if (!ZvString_CheckExact(s)) {
        ZvErr_SetString(ZvExc_TypeError, "can't intern subclass of string");
        return nullptr;
    }
    Zv_INCREF(s);
    ZvString_InternInPlace(&s);
    return s;
}

ZvObject *builtin_isinstance(ZvObject *, ZvObject *args)
{
    ZvObject *inst, *cls;
    if (!ZvArg_UnpackTuple(args, "isinstance", 2, 2, &inst, &cls)) return nullptr;
    int r = ZvObject_IsInstance(inst, cls);
    if (r < 0) return nullptr;
    return ZvBool_FromLong(r);
}

ZvObject *builtin_issubclass(ZvObject *, ZvObject *args)
{
    ZvObject *derived, *cls;
    if (!ZvArg_UnpackTuple(args, "issubclass", 2, 2, &derived, &cls)) return nullptr;
    int r = ZvObject_IsSubclass(derived, cls);
    if (r < 0) return nullptr;
    return ZvBool_FromLong(r);
}

ZvObject *builtin_iter(ZvObject *, ZvObject *args)
{
    ZvObject *v, *w = nullptr;
    if (!ZvArg_UnpackTuple(args, "iter", 1, 2, &v, &w)) return nullptr;
    if (w == nullptr) return ZvObject_GetIter(v);
    if (!ZvCallable_Check(v)) {
        ZvErr_SetString(ZvExc_TypeError, "iter(v, w): v must be callable");
        return nullptr;
    }
    return ZvCallIter_New(v, w);
}

ZvObject *builtin_len(ZvObject *, ZvObject *v)
{
    int n = ZvObject_Size(v);
    if (n < 0 && ZvErr_Occurred()) return nullptr;
    return ZvInt_FromLong(n);
}

/* The frame's fast locals are copied into its dictionary first. */
ZvObject *builtin_locals(ZvObject *, ZvObject *)
{
    ZvObject *d = ZvEval_GetLocals();
    if (d == nullptr) {
        if (ZvErr_Occurred()) return nullptr;
        d = Zv_None;
    }
    Zv_INCREF(d);
    return d;
}

ZvObject *builtin_oct(ZvObject *, ZvObject *v) { return base_text(v, false); }

/* A one-character string's byte.  The code unit of a one-character
 * Unicode string joins here with the Unicode type. */
ZvObject *builtin_ord(ZvObject *, ZvObject *v)
{
    if (ZvString_Check(v)) {
        int size = ZvString_GET_SIZE(v);
        if (size == 1) return ZvInt_FromLong((unsigned char)ZvString_AS_STRING(v)[0]);
        ZvErr_Format(ZvExc_TypeError, "ord() expected a character, but string of length %d found",
                     size);
        return nullptr;
    }
    ZvErr_Format(ZvExc_TypeError, "ord() expected string of length 1, but %.200s found",
                 Zv_TYPE(v)->tp_name);
    return nullptr;
}

ZvObject *builtin_pow(ZvObject *, ZvObject *args)
{
    ZvObject *v, *w, *z = Zv_None;
    if (!ZvArg_UnpackTuple(args, "pow", 2, 3, &v, &w, &z)) return nullptr;
    return ZvNumber_Power(v, w, z);
}

ZvObject *builtin_reload(ZvObject *self, ZvObject *v) { return bi::reload(self, v); }

ZvObject *builtin_repr(ZvObject *, ZvObject *v) { return ZvObject_Repr(v); }

/* round(x[, n]): x scaled by 10**n, rounded half away from zero, scaled
 * back; always a float.
 *
 * The scale is computed by repeated multiplication and stops growing once
 * it is infinite.  At that point, or when x times the scale overflows, x
 * has no digits left to drop at that precision, and scaling back would
 * turn it into a NaN (inf/inf) or infinity: x itself is the answer.  With
 * n negative and an infinite scale every finite x rounds to zero. */
ZvObject *builtin_round(ZvObject *, ZvObject *args)
{
    double x;
    int ndigits = 0;
    if (!ZvArg_ParseTuple(args, "d|i:round", &x, &ndigits)) return nullptr;
    if (!isfinite(x)) return ZvFloat_FromDouble(x);
    uint32_t count = ndigits < 0 ? 0u - (uint32_t)ndigits : (uint32_t)ndigits;
    double f = 1.0;
    for (uint32_t i = 0; i < count && !isinf(f); i++) f *= 10.0;
    double y = ndigits >= 0 ? x * f : x / f;
    if (ndigits >= 0 && (isinf(f) || isinf(y))) return ZvFloat_FromDouble(x);
    double z = y >= 0.0 ? floor(y + 0.5) : ceil(y - 0.5);
    if (ndigits >= 0) return ZvFloat_FromDouble(z / f);
    return ZvFloat_FromDouble(isinf(f) ? z : z * f);
}

ZvObject *builtin_setattr(ZvObject *, ZvObject *args)
{
    ZvObject *v, *name, *value;
    if (!ZvArg_UnpackTuple(args, "setattr", 3, 3, &v, &name, &value)) return nullptr;
    if (ZvObject_SetAttr(v, name, value) < 0) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *builtin_unichr(ZvObject *, ZvObject *args)
{
    long x;
    if (!ZvArg_ParseTuple(args, "l:unichr", &x)) return nullptr;
    return ZvUnicode_FromOrdinal((int)x);
}

/* vars(): the scope's locals; vars(obj): obj.__dict__. */
ZvObject *builtin_vars(ZvObject *, ZvObject *args)
{
    ZvObject *v = nullptr;
    if (!ZvArg_UnpackTuple(args, "vars", 0, 1, &v)) return nullptr;
    if (v == nullptr) {
        ZvObject *d = ZvEval_GetLocals();
        if (d == nullptr) {
            if (!ZvErr_Occurred()) ZvErr_SetString(ZvExc_SystemError, "vars(): no locals!?");
            return nullptr;
        }
        Zv_INCREF(d);
        return d;
    }
    ZvObject *d = ZvObject_GetAttrString(v, "__dict__");
    if (d == nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "vars() argument must have __dict__ attribute");
        return nullptr;
    }
    return d;
}

#define WITH_KEYWORDS(fn) ((ZvCFunction)(void (*)(void))(fn))

ZvMethodDef builtin_methods[] = {
    {"__import__", bi::import, METH_VARARGS,
     "__import__(name, globals, locals, fromlist) -> module\n\nImport a module."},
    {"abs", builtin_abs, METH_O, "abs(number) -> number"},
    {"apply", builtin_apply, METH_VARARGS, "apply(object[, args[, kwargs]]) -> value"},
    {"callable", builtin_callable, METH_O, "callable(object) -> bool"},
    {"chr", builtin_chr, METH_VARARGS, "chr(i) -> character"},
    {"cmp", builtin_cmp, METH_VARARGS, "cmp(x, y) -> integer"},
    {"coerce", builtin_coerce, METH_VARARGS, "coerce(x, y) -> (x1, y1)"},
    {"compile", bi::compile, METH_VARARGS,
     "compile(source, filename, mode[, flags[, dont_inherit]]) -> code object"},
    {"delattr", builtin_delattr, METH_VARARGS, "delattr(object, name)"},
    {"dir", builtin_dir, METH_VARARGS, "dir([object]) -> list of strings"},
    {"divmod", builtin_divmod, METH_VARARGS, "divmod(x, y) -> (div, mod)"},
    {"eval", bi::eval, METH_VARARGS, "eval(source[, globals[, locals]]) -> value"},
    {"execfile", bi::execfile, METH_VARARGS, "execfile(filename[, globals[, locals]])"},
    {"filter", bi::filter, METH_VARARGS,
     "filter(function or None, sequence) -> list, tuple, or string"},
    {"getattr", builtin_getattr, METH_VARARGS, "getattr(object, name[, default]) -> value"},
    {"globals", builtin_globals, METH_NOARGS, "globals() -> dictionary"},
    {"hasattr", builtin_hasattr, METH_VARARGS, "hasattr(object, name) -> bool"},
    {"hash", builtin_hash, METH_O, "hash(object) -> integer"},
    {"hex", builtin_hex, METH_O, "hex(number) -> string"},
    {"id", builtin_id, METH_O, "id(object) -> integer"},
    {"input", bi::input, METH_VARARGS, "input([prompt]) -> value"},
    {"intern", builtin_intern, METH_VARARGS, "intern(string) -> string"},
    {"isinstance", builtin_isinstance, METH_VARARGS, "isinstance(object, class-or-type) -> bool"},
    {"issubclass", builtin_issubclass, METH_VARARGS, "issubclass(C, B) -> bool"},
    {"iter", builtin_iter, METH_VARARGS,
     "iter(collection) -> iterator\niter(callable, sentinel) -> iterator"},
    {"len", builtin_len, METH_O, "len(object) -> integer"},
    {"locals", builtin_locals, METH_NOARGS, "locals() -> dictionary"},
    {"map", bi::map, METH_VARARGS, "map(function, sequence[, sequence, ...]) -> list"},
    {"max", bi::max, METH_VARARGS, "max(sequence) -> value\nmax(a, b, c, ...) -> value"},
    {"min", bi::min, METH_VARARGS, "min(sequence) -> value\nmin(a, b, c, ...) -> value"},
    {"oct", builtin_oct, METH_O, "oct(number) -> string"},
    {"ord", builtin_ord, METH_O, "ord(c) -> integer"},
    {"pow", builtin_pow, METH_VARARGS, "pow(x, y[, z]) -> number"},
    {"range", bi::range, METH_VARARGS, "range([start,] stop[, step]) -> list of integers"},
    {"raw_input", bi::raw_input, METH_VARARGS, "raw_input([prompt]) -> string"},
    {"reduce", bi::reduce, METH_VARARGS, "reduce(function, sequence[, initial]) -> value"},
    {"reload", builtin_reload, METH_O, "reload(module) -> module"},
    {"repr", builtin_repr, METH_O, "repr(object) -> string"},
    {"round", builtin_round, METH_VARARGS, "round(number[, ndigits]) -> floating point number"},
    {"setattr", builtin_setattr, METH_VARARGS, "setattr(object, name, value)"},
    {"sorted", WITH_KEYWORDS(bi::sorted), METH_VARARGS | METH_KEYWORDS,
     "sorted(iterable, cmp=None, key=None, reverse=False) --> new sorted list"},
    {"sum", bi::sum, METH_VARARGS, "sum(sequence, start=0) -> value"},
    {"unichr", builtin_unichr, METH_VARARGS, "unichr(i) -> Unicode character"},
    {"vars", builtin_vars, METH_VARARGS, "vars([object]) -> dictionary"},
    {"zip", bi::zip, METH_VARARGS, "zip(seq1 [, seq2 [...]]) -> [(seq1[0], seq2[0] ...), (...)]"},
    {nullptr, nullptr, 0, nullptr},
};

const char builtin_doc[] =
    "Built-in functions, exceptions, and other objects.\n\nNoteworthy: None is the `nil' "
    "object; Ellipsis represents `...' in slices.";

} // namespace

extern "C" ZvObject *_ZvBuiltin_Init(void)
{
    ZvObject *mod = Zv_InitModule4("__builtin__", builtin_methods, builtin_doc, nullptr,
                                   ZUVO_API_VERSION);
    if (mod == nullptr) return nullptr;
    ZvObject *dict = ZvModule_GetDict(mod);
    /* Types still being built get their line here, at their place, when
     * they arrive: "buffer", "frozenset", "set", "unicode", and
     * the file type under both "open" and "file". */
    struct {
        const char *name;
        ZvObject *value;
    } names[] = {
        {"None", Zv_None},
        {"Ellipsis", Zv_Ellipsis},
        {"NotImplemented", Zv_NotImplemented},
        {"False", Zv_False},
        {"True", Zv_True},
        {"basestring", (ZvObject *)&ZvBaseString_Type},
        {"bool", (ZvObject *)&ZvBool_Type},
        /* "buffer" */
        {"classmethod", (ZvObject *)&ZvClassMethod_Type},
        {"complex", (ZvObject *)&ZvComplex_Type},
        {"dict", (ZvObject *)&ZvDict_Type},
        {"enumerate", (ZvObject *)&ZvEnum_Type},
        {"float", (ZvObject *)&ZvFloat_Type},
        /* "frozenset" */
        {"property", (ZvObject *)&ZvProperty_Type},
        {"int", (ZvObject *)&ZvInt_Type},
        {"list", (ZvObject *)&ZvList_Type},
        {"long", (ZvObject *)&ZvLong_Type},
        {"object", (ZvObject *)&ZvBaseObject_Type},
        {"reversed", (ZvObject *)&ZvReversed_Type},
        /* "set" */
        {"slice", (ZvObject *)&ZvSlice_Type},
        {"staticmethod", (ZvObject *)&ZvStaticMethod_Type},
        {"str", (ZvObject *)&ZvString_Type},
        {"super", (ZvObject *)&ZvSuper_Type},
        {"tuple", (ZvObject *)&ZvTuple_Type},
        {"type", (ZvObject *)&ZvType_Type},
        {"xrange", (ZvObject *)&ZvRange_Type},
        {"open", (ZvObject *)&ZvFile_Type},
        {"file", (ZvObject *)&ZvFile_Type},
        /* "unicode" */
    };
    for (auto &n : names)
        if (ZvDict_SetItemString(dict, n.name, n.value) < 0) return nullptr;
    if (ZvDict_SetItemString(dict, "__debug__", Zv_OptimizeFlag == 0 ? Zv_True : Zv_False) < 0)
        return nullptr;
    return mod;
}
