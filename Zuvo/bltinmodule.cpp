/* The __builtin__ module: the names every piece of code can use without
 * importing anything.  Code reaches it through the `__builtins__` entry of
 * its globals, after its own globals.
 *
 * The module holds the singletons, the built-in types under their
 * user-visible names, `__debug__`, the exception classes (added by the
 * exceptions module) and the built-in functions of the table below. */
#include "zuvo.h"
#include "zvflags.h"
#include "zvref.h"

namespace {

ZvObject *builtin_len(ZvObject *, ZvObject *v)
{
    int n = ZvObject_Size(v);
    if (n < 0 && ZvErr_Occurred()) return nullptr;
    return ZvInt_FromLong(n);
}

ZvObject *builtin_repr(ZvObject *, ZvObject *v) { return ZvObject_Repr(v); }

ZvObject *builtin_callable(ZvObject *, ZvObject *v)
{
    return ZvBool_FromLong(ZvCallable_Check(v));
}

ZvObject *builtin_id(ZvObject *, ZvObject *v) { return ZvLong_FromVoidPtr(v); }

ZvObject *builtin_hash(ZvObject *, ZvObject *v)
{
    Zv_hash_t h = ZvObject_Hash(v);
    if (h == -1) return nullptr;
    return ZvInt_FromLong(h);
}

ZvObject *builtin_abs(ZvObject *, ZvObject *v) { return ZvNumber_Absolute(v); }

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

ZvObject *builtin_cmp(ZvObject *, ZvObject *args)
{
    ZvObject *a, *b;
    int c;
    if (!ZvArg_UnpackTuple(args, "cmp", 2, 2, &a, &b)) return nullptr;
    if (ZvObject_Cmp(a, b, &c) < 0) return nullptr;
    return ZvInt_FromLong(c);
}

/* getattr, hasattr, setattr and delattr take a string name. */
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

ZvObject *builtin_setattr(ZvObject *, ZvObject *args)
{
    ZvObject *v, *name, *value;
    if (!ZvArg_UnpackTuple(args, "setattr", 3, 3, &v, &name, &value)) return nullptr;
    if (ZvObject_SetAttr(v, name, value) < 0) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *builtin_delattr(ZvObject *, ZvObject *args)
{
    ZvObject *v, *name;
    if (!ZvArg_UnpackTuple(args, "delattr", 2, 2, &v, &name)) return nullptr;
    if (ZvObject_SetAttr(v, name, nullptr) < 0) return nullptr;
    Zv_RETURN_NONE;
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

ZvObject *builtin_globals(ZvObject *, ZvObject *)
{
    ZvObject *d = ZvEval_GetGlobals();
    Zv_XINCREF(d);
    return d;
}

ZvObject *builtin_locals(ZvObject *, ZvObject *)
{
    ZvObject *d = ZvEval_GetLocals();
    Zv_XINCREF(d);
    return d;
}

ZvObject *builtin_dir(ZvObject *, ZvObject *args)
{
    ZvObject *arg = nullptr;
    if (!ZvArg_UnpackTuple(args, "dir", 0, 1, &arg)) return nullptr;
    return ZvObject_Dir(arg);
}


ZvObject *builtin_range(ZvObject *, ZvObject *args)
{
    long ilow = 0, ihigh = 0, istep = 1;
    int ok = ZvTuple_Size(args) <= 1
                 ? ZvArg_ParseTuple(args, "l;range() requires 1-3 int arguments", &ihigh)
                 : ZvArg_ParseTuple(args, "ll|l;range() requires 1-3 int arguments", &ilow,
                                    &ihigh, &istep);
    if (!ok) return nullptr;
    if (istep == 0) {
        ZvErr_SetString(ZvExc_ValueError, "range() step argument must not be zero");
        return nullptr;
    }
    uint32_t count = 0;
    int32_t lo = (int32_t)ilow, hi = (int32_t)ihigh, step = (int32_t)istep;
    if (step > 0 && lo < hi) count = ((uint32_t)hi - (uint32_t)lo - 1) / (uint32_t)step + 1;
    if (step < 0 && hi < lo) count = ((uint32_t)lo - (uint32_t)hi - 1) / (0u - (uint32_t)step) + 1;
    if (count > (uint32_t)INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "range() result has too many items");
        return nullptr;
    }
    int32_t n = (int32_t)count;
    zv::Ref list(ZvList_New(n));
    if (!list) return nullptr;
    int32_t value = lo;
    for (int32_t i = 0; i < n; i++, value = (int32_t)((uint32_t)value + (uint32_t)step)) {
        ZvObject *item = ZvInt_FromLong(value);
        if (item == nullptr) return nullptr;
        ZvList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

ZvMethodDef builtin_methods[] = {
    {"abs", builtin_abs, METH_O, "abs(number) -> number"},
    {"callable", builtin_callable, METH_O, "callable(object) -> bool"},
    {"chr", builtin_chr, METH_VARARGS, "chr(i) -> character"},
    {"cmp", builtin_cmp, METH_VARARGS, "cmp(x, y) -> integer"},
    {"delattr", builtin_delattr, METH_VARARGS, "delattr(object, name)"},
    {"dir", builtin_dir, METH_VARARGS, "dir([object]) -> list of strings"},
    {"getattr", builtin_getattr, METH_VARARGS, "getattr(object, name[, default]) -> value"},
    {"globals", builtin_globals, METH_NOARGS, "globals() -> dictionary"},
    {"hasattr", builtin_hasattr, METH_VARARGS, "hasattr(object, name) -> bool"},
    {"hash", builtin_hash, METH_O, "hash(object) -> integer"},
    {"id", builtin_id, METH_O, "id(object) -> integer"},
    {"isinstance", builtin_isinstance, METH_VARARGS, "isinstance(object, class-or-type) -> bool"},
    {"issubclass", builtin_issubclass, METH_VARARGS, "issubclass(C, B) -> bool"},
    {"iter", builtin_iter, METH_VARARGS, "iter(collection) -> iterator"},
    {"len", builtin_len, METH_O, "len(object) -> integer"},
    {"locals", builtin_locals, METH_NOARGS, "locals() -> dictionary"},
    {"ord", builtin_ord, METH_O, "ord(c) -> integer"},
    {"range", builtin_range, METH_VARARGS, "range([start,] stop[, step]) -> list of integers"},
    {"repr", builtin_repr, METH_O, "repr(object) -> string"},
    {"setattr", builtin_setattr, METH_VARARGS, "setattr(object, name, value)"},
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
        {"classmethod", (ZvObject *)&ZvClassMethod_Type},
        {"dict", (ZvObject *)&ZvDict_Type},
        {"enumerate", (ZvObject *)&ZvEnum_Type},
        {"float", (ZvObject *)&ZvFloat_Type},
        {"property", (ZvObject *)&ZvProperty_Type},
        {"int", (ZvObject *)&ZvInt_Type},
        {"list", (ZvObject *)&ZvList_Type},
        {"long", (ZvObject *)&ZvLong_Type},
        {"object", (ZvObject *)&ZvBaseObject_Type},
        {"reversed", (ZvObject *)&ZvReversed_Type},
        {"slice", (ZvObject *)&ZvSlice_Type},
        {"staticmethod", (ZvObject *)&ZvStaticMethod_Type},
        {"str", (ZvObject *)&ZvString_Type},
        {"super", (ZvObject *)&ZvSuper_Type},
        {"tuple", (ZvObject *)&ZvTuple_Type},
        {"type", (ZvObject *)&ZvType_Type},
        {"xrange", (ZvObject *)&ZvRange_Type},
    };
    for (auto &n : names)
        if (ZvDict_SetItemString(dict, n.name, n.value) < 0) return nullptr;
    if (ZvDict_SetItemString(dict, "__debug__", Zv_OptimizeFlag == 0 ? Zv_True : Zv_False) < 0)
        return nullptr;
    return mod;
}
