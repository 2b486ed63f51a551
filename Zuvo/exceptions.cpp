/* The standard exception classes and the built-in module "exceptions".
 *
 * The standard exceptions are ordinary classic classes, made at start-up
 * in the order of exceptions_rows.h, so that programs can subclass them
 * and catch them by class.  Each is held in a ZvExc_* global and inserted
 * into the exceptions module and the builtins.  Their few special methods
 * are native functions without a bound self, wrapped as unbound methods of
 * their class: called through an instance, the instance arrives as the
 * first item of the argument tuple.  Instances keep all their data as
 * instance attributes (args, errno, msg, ...).
 *
 * The Unicode errors' constructors and accessors that need the unicode
 * type (encode and translate errors, whose object is a unicode string)
 * refuse their arguments until that type exists; the decode error, whose
 * object is a byte string, works fully. */
#include "zuvo.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "zvref.h"

using zv::Ref;

extern "C" {
#define EXC_ROW(name, base, doc) ZvObject *ZvExc_##name = nullptr;
#include "exceptions_rows.h"
#undef EXC_ROW
ZvObject *ZvExc_MemoryErrorInst = nullptr;
}

namespace {

const char module_doc[] =
    "Zuvo's standard exception class hierarchy.\n"
    "\n"
    "The exceptions are classes; user code may subclass and catch them by class.\n"
    "\n"
    "Exception\n"
    " |\n"
    " +-- SystemExit\n"
    " +-- StopIteration\n"
    " +-- StandardError\n"
    " |    |\n"
    " |    +-- KeyboardInterrupt\n"
    " |    +-- ImportError\n"
    " |    +-- EnvironmentError\n"
    " |    |    |\n"
    " |    |    +-- IOError\n"
    " |    |    +-- OSError\n"
    " |    |\n"
    " |    +-- EOFError\n"
    " |    +-- RuntimeError\n"
    " |    |    |\n"
    " |    |    +-- NotImplementedError\n"
    " |    |\n"
    " |    +-- NameError\n"
    " |    |    |\n"
    " |    |    +-- UnboundLocalError\n"
    " |    |\n"
    " |    +-- AttributeError\n"
    " |    +-- SyntaxError\n"
    " |    |    |\n"
    " |    |    +-- IndentationError\n"
    " |    |         |\n"
    " |    |         +-- TabError\n"
    " |    |\n"
    " |    +-- TypeError\n"
    " |    +-- AssertionError\n"
    " |    +-- LookupError\n"
    " |    |    |\n"
    " |    |    +-- IndexError\n"
    " |    |    +-- KeyError\n"
    " |    |\n"
    " |    +-- ArithmeticError\n"
    " |    |    |\n"
    " |    |    +-- OverflowError\n"
    " |    |    +-- ZeroDivisionError\n"
    " |    |    +-- FloatingPointError\n"
    " |    |\n"
    " |    +-- ValueError\n"
    " |    |    |\n"
    " |    |    +-- UnicodeError\n"
    " |    |         |\n"
    " |    |         +-- UnicodeEncodeError\n"
    " |    |         +-- UnicodeDecodeError\n"
    " |    |         +-- UnicodeTranslateError\n"
    " |    |\n"
    " |    +-- ReferenceError\n"
    " |    +-- SystemError\n"
    " |    +-- MemoryError\n"
    " |\n"
    " +-- Warning\n"
    "      |\n"
    "      +-- UserWarning\n"
    "      +-- DeprecationWarning\n"
    "      +-- PendingDeprecationWarning\n"
    "      +-- SyntaxWarning\n"
    "      +-- OverflowWarning\n"
    "      +-- RuntimeWarning\n"
    "      +-- FutureWarning\n";

/* --- helpers for the methods ------------------------------------------------ */

/* The instance (the first argument) and the tuple of the others. */
bool split_self(ZvObject *args, ZvObject **self, Ref *rest)
{
    if (args == nullptr || !ZvTuple_Check(args) || ZvTuple_GET_SIZE(args) < 1) {
        ZvErr_SetString(ZvExc_TypeError,
                        "unbound method must be called with instance as first argument");
        return false;
    }
    *self = ZvTuple_GET_ITEM(args, 0);
    rest->reset(ZvTuple_GetSlice(args, 1, ZvTuple_GET_SIZE(args)));
    return static_cast<bool>(*rest);
}

ZvObject *none() { Zv_RETURN_NONE; }

/* Appends str(obj) (or repr when `use_repr`) to out. */
bool append_text(std::string &out, ZvObject *obj, bool use_repr = false)
{
    Ref s(use_repr ? ZvObject_Repr(obj) : ZvObject_Str(obj));
    if (!s) return false;
    out.append(ZvString_AS_STRING(s.get()), (size_t)ZvString_GET_SIZE(s.get()));
    return true;
}

ZvObject *string_of(const std::string &s)
{
    return ZvString_FromStringAndSize(s.data(), (int)s.size());
}

/* Exception's text: "" for no arguments, str of the only one, else str of
 * the tuple (also when the arguments have no length). */
ZvObject *exception_text(ZvObject *self)
{
    Ref args(ZvObject_GetAttrString(self, "args"));
    if (!args) return nullptr;
    int n = ZvObject_Size(args.get());
    if (n < 0) {
        ZvErr_Clear();
        return ZvObject_Str(args.get());
    }
    if (n == 0) return ZvString_FromString("");
    if (n > 1) return ZvObject_Str(args.get());
    Ref item(ZvSequence_GetItem(args.get(), 0));
    return item ? ZvObject_Str(item.get()) : nullptr;
}

/* --- Exception, SystemExit, KeyError ------------------------------------------- */

ZvObject *exception_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    if (ZvObject_SetAttrString(self, "args", rest.get()) < 0) return nullptr;
    return none();
}

ZvObject *exception_getitem(ZvObject *, ZvObject *args)
{
    ZvObject *self, *index;
    if (!ZvArg_ParseTuple(args, "OO:__getitem__", &self, &index)) return nullptr;
    Ref a(ZvObject_GetAttrString(self, "args"));
    return a ? ZvObject_GetItem(a.get(), index) : nullptr;
}

ZvObject *exception_str(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    if (!ZvArg_ParseTuple(args, "O:__str__", &self)) return nullptr;
    return exception_text(self);
}

ZvObject *systemexit_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    if (ZvObject_SetAttrString(self, "args", rest.get()) < 0) return nullptr;
    int n = ZvTuple_GET_SIZE(rest.get());
    ZvObject *code = n == 0 ? Zv_None : n == 1 ? ZvTuple_GET_ITEM(rest.get(), 0) : rest.get();
    if (ZvObject_SetAttrString(self, "code", code) < 0) return nullptr;
    return none();
}

/* A lone key shows as its repr, so that an empty-string key is visible. */
ZvObject *keyerror_str(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    if (!ZvArg_ParseTuple(args, "O:__str__", &self)) return nullptr;
    Ref a(ZvObject_GetAttrString(self, "args"));
    if (!a) return nullptr;
    if (ZvTuple_Check(a.get()) && ZvTuple_GET_SIZE(a.get()) == 1)
        return ZvObject_Repr(ZvTuple_GET_ITEM(a.get(), 0));
    return exception_text(self);
}

/* --- EnvironmentError ----------------------------------------------------------- */

ZvObject *environment_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    if (ZvObject_SetAttrString(self, "args", rest.get()) < 0 ||
        ZvObject_SetAttrString(self, "errno", Zv_None) < 0 ||
        ZvObject_SetAttrString(self, "strerror", Zv_None) < 0 ||
        ZvObject_SetAttrString(self, "filename", Zv_None) < 0)
        return nullptr;
    int n = ZvTuple_GET_SIZE(rest.get());
    if (n != 2 && n != 3) return none();
    if (ZvObject_SetAttrString(self, "errno", ZvTuple_GET_ITEM(rest.get(), 0)) < 0 ||
        ZvObject_SetAttrString(self, "strerror", ZvTuple_GET_ITEM(rest.get(), 1)) < 0)
        return nullptr;
    if (n == 3) {
        /* The file name is kept apart from args. */
        if (ZvObject_SetAttrString(self, "filename", ZvTuple_GET_ITEM(rest.get(), 2)) < 0)
            return nullptr;
        Ref two(ZvTuple_GetSlice(rest.get(), 0, 2));
        if (!two || ZvObject_SetAttrString(self, "args", two.get()) < 0) return nullptr;
    }
    return none();
}

/* "[Errno e] text: 'file'", "[Errno e] text", or Exception's text. */
ZvObject *environment_str(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    if (!ZvArg_ParseTuple(args, "O:__str__", &self)) return nullptr;
    Ref filename(ZvObject_GetAttrString(self, "filename"));
    Ref serrno(ZvObject_GetAttrString(self, "errno"));
    Ref strerror(ZvObject_GetAttrString(self, "strerror"));
    if (!filename || !serrno || !strerror) return nullptr;
    std::string out = "[Errno ";
    if (filename.get() != Zv_None) {
        if (!append_text(out, serrno.get())) return nullptr;
        out += "] ";
        if (!append_text(out, strerror.get())) return nullptr;
        out += ": ";
        if (!append_text(out, filename.get(), true)) return nullptr;
        return string_of(out);
    }
    int has_errno = ZvObject_IsTrue(serrno.get());
    if (has_errno < 0) return nullptr;
    int has_text = has_errno ? ZvObject_IsTrue(strerror.get()) : 0;
    if (has_text < 0) return nullptr;
    if (!has_text) return exception_text(self);
    if (!append_text(out, serrno.get())) return nullptr;
    out += "] ";
    if (!append_text(out, strerror.get())) return nullptr;
    return string_of(out);
}

/* --- SyntaxError ------------------------------------------------------------------ */

int syntaxerror_class_init(ZvObject *klass)
{
    Ref empty(ZvString_FromString(""));
    if (!empty || ZvObject_SetAttrString(klass, "msg", empty.get()) < 0) return -1;
    for (const char *name : {"filename", "lineno", "offset", "text", "print_file_and_line"})
        if (ZvObject_SetAttrString(klass, name, Zv_None) < 0) return -1;
    return 0;
}

ZvObject *syntaxerror_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    if (ZvObject_SetAttrString(self, "args", rest.get()) < 0) return nullptr;
    int n = ZvTuple_GET_SIZE(rest.get());
    if (n >= 1 && ZvObject_SetAttrString(self, "msg", ZvTuple_GET_ITEM(rest.get(), 0)) < 0)
        return nullptr;
    if (n == 2) {
        ZvObject *info = ZvTuple_GET_ITEM(rest.get(), 1);
        const char *names[] = {"filename", "lineno", "offset", "text"};
        for (int i = 0; i < 4; i++) {
            Ref item(ZvSequence_GetItem(info, i));
            if (!item || ZvObject_SetAttrString(self, names[i], item.get()) < 0) return nullptr;
        }
    }
    return none();
}

/* The message, followed by the file's base name and the line when known:
 * "msg (file, line n)", "msg (file)" or "msg (line n)". */
ZvObject *syntaxerror_str(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    if (!ZvArg_ParseTuple(args, "O:__str__", &self)) return nullptr;
    Ref msg(ZvObject_GetAttrString(self, "msg"));
    if (!msg) return nullptr;
    Ref m(ZvObject_Str(msg.get()));
    if (!m || !ZvString_Check(m.get())) return m.release();
    Ref filename(ZvObject_GetAttrString(self, "filename"));
    if (!filename) ZvErr_Clear();
    Ref lineno(ZvObject_GetAttrString(self, "lineno"));
    if (!lineno) ZvErr_Clear();
    bool have_file = filename && ZvString_Check(filename.get());
    bool have_line = lineno && ZvInt_Check(lineno.get());
    if (!have_file && !have_line) return m.release();
    std::string out(ZvString_AS_STRING(m.get()), (size_t)ZvString_GET_SIZE(m.get()));
    out += " (";
    if (have_file) {
        const char *path = ZvString_AS_STRING(filename.get());
        const char *slash = strrchr(path, '/');
        out += slash != nullptr ? slash + 1 : path;
    }
    if (have_line) {
        char line[40];
        snprintf(line, sizeof line, "%sline %ld", have_file ? ", " : "",
                 (long)ZvInt_AS_LONG(lineno.get()));
        out += line;
    }
    out += ")";
    return string_of(out);
}

/* --- the Unicode errors -------------------------------------------------------------- */

/* An attribute that must be a byte string ("str") or a unicode string.
 * No unicode type exists yet, so the second kind is always refused. */
ZvObject *get_string_attr(ZvObject *exc, const char *name, bool want_unicode)
{
    if (exc == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *v = ZvObject_GetAttrString(exc, name);
    if (v == nullptr) return nullptr;
    if (want_unicode || !ZvString_Check(v)) {
        ZvErr_Format(ZvExc_TypeError, "%.200s attribute must be %s", name,
                     want_unicode ? "unicode" : "str");
        Zv_DECREF(v);
        return nullptr;
    }
    return v;
}

/* The start or end attribute as an int, clamped against the object's
 * length: start into [0, len-1] (0 for an empty object), end into
 * [1, len] (0 for an empty object). */
int get_position(ZvObject *exc, const char *name, bool want_unicode, bool is_end, int *out)
{
    Ref obj(get_string_attr(exc, "object", want_unicode));
    if (!obj) return -1;
    int len = ZvString_GET_SIZE(obj.get());
    Ref v(ZvObject_GetAttrString(exc, name));
    if (!v) return -1;
    if (!ZvInt_Check(v.get())) {
        ZvErr_Format(ZvExc_TypeError, "%.200s attribute must be int", name);
        return -1;
    }
    int32_t x = ZvInt_AS_LONG(v.get());
    if (is_end) {
        if (x < 1) x = 1;
        if (x > len) x = len;
    } else {
        if (x >= len) x = len - 1;
        if (x < 0) x = 0;
    }
    *out = x;
    return 0;
}

int set_int_attr(ZvObject *exc, const char *name, int value)
{
    Ref v(ZvInt_FromLong(value));
    return v ? ZvObject_SetAttrString(exc, name, v.get()) : -1;
}

int set_string_attr(ZvObject *exc, const char *name, const char *value)
{
    Ref v(ZvString_FromString(value));
    return v ? ZvObject_SetAttrString(exc, name, v.get()) : -1;
}

/* Stores args and the five attributes of a Unicode error from the parsed
 * arguments (encoding is NULL for translate errors). */
ZvObject *store_unicode_error(ZvObject *self, ZvObject *rest, ZvObject *encoding, ZvObject *object,
                              ZvObject *start, ZvObject *end, ZvObject *reason)
{
    if (ZvObject_SetAttrString(self, "args", rest) < 0) return nullptr;
    if (encoding != nullptr && ZvObject_SetAttrString(self, "encoding", encoding) < 0)
        return nullptr;
    if (ZvObject_SetAttrString(self, "object", object) < 0 ||
        ZvObject_SetAttrString(self, "start", start) < 0 ||
        ZvObject_SetAttrString(self, "end", end) < 0 ||
        ZvObject_SetAttrString(self, "reason", reason) < 0)
        return nullptr;
    return none();
}

ZvObject *unicode_decode_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    ZvObject *encoding, *object, *start, *end, *reason;
    if (!ZvArg_ParseTuple(rest.get(), "O!O!O!O!O!", &ZvString_Type, &encoding, &ZvString_Type,
                          &object, &ZvInt_Type, &start, &ZvInt_Type, &end, &ZvString_Type, &reason))
        return nullptr;
    return store_unicode_error(self, rest.get(), encoding, object, start, end, reason);
}

/* The encode and translate errors' object is a unicode string: the "U"
 * unit refuses every argument until that type exists. */
ZvObject *unicode_encode_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    ZvObject *encoding, *object, *start, *end, *reason;
    if (!ZvArg_ParseTuple(rest.get(), "O!UO!O!O!", &ZvString_Type, &encoding, &object, &ZvInt_Type,
                          &start, &ZvInt_Type, &end, &ZvString_Type, &reason))
        return nullptr;
    return store_unicode_error(self, rest.get(), encoding, object, start, end, reason);
}

ZvObject *unicode_translate_init(ZvObject *, ZvObject *args)
{
    ZvObject *self;
    Ref rest;
    if (!split_self(args, &self, &rest)) return nullptr;
    ZvObject *object, *start, *end, *reason;
    if (!ZvArg_ParseTuple(rest.get(), "UO!O!O!", &object, &ZvInt_Type, &start, &ZvInt_Type, &end,
                          &ZvString_Type, &reason))
        return nullptr;
    return store_unicode_error(self, rest.get(), nullptr, object, start, end, reason);
}

ZvObject *unicode_decode_str(ZvObject *, ZvObject *self)
{
    Ref encoding(ZvUnicodeDecodeError_GetEncoding(self));
    Ref object(ZvUnicodeDecodeError_GetObject(self));
    Ref reason(ZvUnicodeDecodeError_GetReason(self));
    int start, end;
    if (!encoding || !object || !reason || ZvUnicodeDecodeError_GetStart(self, &start) < 0 ||
        ZvUnicodeDecodeError_GetEnd(self, &end) < 0)
        return nullptr;
    char buf[1000];
    if (end == start + 1 && start < ZvString_GET_SIZE(object.get())) {
        auto byte = (unsigned char)ZvString_AS_STRING(object.get())[start];
        snprintf(buf, sizeof buf, "'%.400s' codec can't decode byte 0x%02x in position %d: %.400s",
                 ZvString_AS_STRING(encoding.get()), byte, start, ZvString_AS_STRING(reason.get()));
    } else {
        snprintf(buf, sizeof buf, "'%.400s' codec can't decode bytes in position %d-%d: %.400s",
                 ZvString_AS_STRING(encoding.get()), start, end - 1,
                 ZvString_AS_STRING(reason.get()));
    }
    return ZvString_FromString(buf);
}

/* Both fail at reading the unicode object until that type exists. */
ZvObject *unicode_encode_str(ZvObject *, ZvObject *self)
{
    Ref object(ZvUnicodeEncodeError_GetObject(self));
    return nullptr;
}

ZvObject *unicode_translate_str(ZvObject *, ZvObject *self)
{
    Ref object(ZvUnicodeTranslateError_GetObject(self));
    return nullptr;
}

/* --- the class table ---------------------------------------------------------------------- */

ZvMethodDef exception_methods[] = {
    {"__getitem__", exception_getitem, METH_VARARGS, nullptr},
    {"__str__", exception_str, METH_VARARGS, nullptr},
    {"__init__", exception_init, METH_VARARGS, nullptr},
    {},
};
ZvMethodDef systemexit_methods[] = {
    {"__init__", systemexit_init, METH_VARARGS, nullptr},
    {},
};
ZvMethodDef environment_methods[] = {
    {"__init__", environment_init, METH_VARARGS, nullptr},
    {"__str__", environment_str, METH_VARARGS, nullptr},
    {},
};
ZvMethodDef syntaxerror_methods[] = {
    {"__init__", syntaxerror_init, METH_VARARGS, nullptr},
    {"__str__", syntaxerror_str, METH_VARARGS, nullptr},
    {},
};
ZvMethodDef keyerror_methods[] = {
    {"__str__", keyerror_str, METH_VARARGS, nullptr},
    {},
};
ZvMethodDef unicode_encode_methods[] = {
    {"__init__", unicode_encode_init, METH_VARARGS, nullptr},
    {"__str__", unicode_encode_str, METH_O, nullptr},
    {},
};
ZvMethodDef unicode_decode_methods[] = {
    {"__init__", unicode_decode_init, METH_VARARGS, nullptr},
    {"__str__", unicode_decode_str, METH_O, nullptr},
    {},
};
ZvMethodDef unicode_translate_methods[] = {
    {"__init__", unicode_translate_init, METH_VARARGS, nullptr},
    {"__str__", unicode_translate_str, METH_O, nullptr},
    {},
};

struct Row {
    ZvObject **global;
    const char *name;
    ZvObject **base;
    const char *doc;
};

const Row rows[] = {
#define EXC_ROW(name, base, doc) {&ZvExc_##name, #name, base, doc},
#include "exceptions_rows.h"
#undef EXC_ROW
};

ZvMethodDef *methods_of(ZvObject **global)
{
    if (global == &ZvExc_Exception) return exception_methods;
    if (global == &ZvExc_SystemExit) return systemexit_methods;
    if (global == &ZvExc_EnvironmentError) return environment_methods;
    if (global == &ZvExc_SyntaxError) return syntaxerror_methods;
    if (global == &ZvExc_KeyError) return keyerror_methods;
    if (global == &ZvExc_UnicodeEncodeError) return unicode_encode_methods;
    if (global == &ZvExc_UnicodeDecodeError) return unicode_decode_methods;
    if (global == &ZvExc_UnicodeTranslateError) return unicode_translate_methods;
    return nullptr;
}

/* Each native function becomes an unbound method of the class. */
int add_methods(ZvObject *klass, ZvMethodDef *methods, ZvObject *modname)
{
    ZvObject *dict = ((ZvClassObject *)klass)->cl_dict;
    for (ZvMethodDef *ml = methods; ml != nullptr && ml->ml_name != nullptr; ml++) {
        Ref func(ZvCFunction_NewEx(ml, nullptr, modname));
        if (!func) return -1;
        Ref meth(ZvMethod_New(func.get(), nullptr, klass));
        if (!meth || ZvDict_SetItemString(dict, ml->ml_name, meth.get()) < 0) return -1;
    }
    return 0;
}

/* The types the exceptions are made of, readied before the first class. */
bool ready_types()
{
    ZvTypeObject *types[] = {&ZvClass_Type, &ZvInstance_Type, &ZvMethod_Type, &ZvCFunction_Type};
    for (ZvTypeObject *t : types)
        if (ZvType_Ready(t) < 0) return false;
    return true;
}

ZvObject *make_root(const Row &r, ZvObject *modname)
{
    Ref dict(ZvDict_New());
    Ref doc(ZvString_FromString(r.doc));
    Ref name(ZvString_FromString(r.name));
    if (!dict || !doc || !name || ZvDict_SetItemString(dict.get(), "__module__", modname) < 0 ||
        ZvDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0)
        return nullptr;
    Ref klass(ZvClass_New(nullptr, dict.get(), name.get()));
    if (!klass || add_methods(klass.get(), methods_of(r.global), modname) < 0) return nullptr;
    return klass.release();
}

ZvObject *make_class(const Row &r, ZvObject *modname)
{
    Ref dict(ZvDict_New());
    Ref doc(ZvString_FromString(r.doc));
    if (!dict || !doc || ZvDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0) return nullptr;
    std::string fullname = std::string("exceptions.") + r.name;
    ZvObject *base = r.base != nullptr ? *r.base : ZvExc_StandardError;
    Ref klass(ZvErr_NewException(fullname.c_str(), base, dict.get()));
    if (!klass || add_methods(klass.get(), methods_of(r.global), modname) < 0) return nullptr;
    return klass.release();
}

/* Into the module and, when it exists, the builtins dictionary. */
bool insert(ZvObject *mydict, ZvObject *bdict, const char *name, ZvObject *klass)
{
    if (ZvDict_SetItemString(mydict, name, klass) < 0) return false;
    return bdict == nullptr || ZvDict_SetItemString(bdict, name, klass) == 0;
}

} // namespace

extern "C" {

void _ZvExc_Init(void)
{
    if (!ready_types()) Zv_FatalError("exceptions bootstrapping error.");
    ZvObject *module = Zv_InitModule4("exceptions", nullptr, module_doc, nullptr, ZUVO_API_VERSION);
    if (module == nullptr) Zv_FatalError("exceptions bootstrapping error.");
    ZvObject *mydict = ZvModule_GetDict(module);
    ZvObject *bdict = ZvThreadState_GET()->interp->builtins;
    Ref modname(ZvString_FromString("exceptions"));
    if (mydict == nullptr || !modname) Zv_FatalError("exceptions bootstrapping error.");

    const Row &root = rows[0];
    *root.global = make_root(root, modname.get());
    if (*root.global == nullptr || !insert(mydict, bdict, root.name, *root.global))
        Zv_FatalError("Base class `Exception' could not be created.");
    for (size_t i = 1; i < sizeof rows / sizeof rows[0]; i++) {
        const Row &r = rows[i];
        *r.global = make_class(r, modname.get());
        if (*r.global == nullptr) Zv_FatalError("Standard exception classes could not be created.");
        if (r.global == &ZvExc_SyntaxError && syntaxerror_class_init(*r.global) < 0)
            Zv_FatalError("An exception class could not be initialized.");
        if (!insert(mydict, bdict, r.name, *r.global))
            Zv_FatalError("Module dictionary insertion problem.");
    }
    ZvExc_MemoryErrorInst = ZvObject_CallObject(ZvExc_MemoryError, nullptr);
    if (ZvExc_MemoryErrorInst == nullptr)
        Zv_FatalError("Cannot pre-allocate MemoryError instance\n");
}

void _ZvExc_Fini(void)
{
    Zv_CLEAR(ZvExc_MemoryErrorInst);
    for (const Row &r : rows) {
        ZvObject *klass = *r.global;
        if (klass == nullptr) continue;
        /* Each class's methods refer back to it: empty its dictionary. */
        if (ZvClass_Check(klass)) ZvDict_Clear(((ZvClassObject *)klass)->cl_dict);
        Zv_CLEAR(*r.global);
    }
}

ZvObject *ZvUnicodeDecodeError_Create(const char *encoding, const char *object, int length,
                                      int start, int end, const char *reason)
{
    return ZvObject_CallFunction(ZvExc_UnicodeDecodeError, "ss#iis", encoding, object, length,
                                 start, end, reason);
}

ZvObject *ZvUnicodeEncodeError_GetEncoding(ZvObject *exc)
{
    return get_string_attr(exc, "encoding", false);
}
ZvObject *ZvUnicodeDecodeError_GetEncoding(ZvObject *exc)
{
    return get_string_attr(exc, "encoding", false);
}
ZvObject *ZvUnicodeEncodeError_GetObject(ZvObject *exc)
{
    return get_string_attr(exc, "object", true);
}
ZvObject *ZvUnicodeDecodeError_GetObject(ZvObject *exc)
{
    return get_string_attr(exc, "object", false);
}
ZvObject *ZvUnicodeTranslateError_GetObject(ZvObject *exc)
{
    return get_string_attr(exc, "object", true);
}
ZvObject *ZvUnicodeEncodeError_GetReason(ZvObject *exc)
{
    return get_string_attr(exc, "reason", false);
}
ZvObject *ZvUnicodeDecodeError_GetReason(ZvObject *exc)
{
    return get_string_attr(exc, "reason", false);
}
ZvObject *ZvUnicodeTranslateError_GetReason(ZvObject *exc)
{
    return get_string_attr(exc, "reason", false);
}

int ZvUnicodeEncodeError_GetStart(ZvObject *exc, int *start)
{
    return get_position(exc, "start", true, false, start);
}
int ZvUnicodeDecodeError_GetStart(ZvObject *exc, int *start)
{
    return get_position(exc, "start", false, false, start);
}
int ZvUnicodeTranslateError_GetStart(ZvObject *exc, int *start)
{
    return get_position(exc, "start", true, false, start);
}
int ZvUnicodeEncodeError_GetEnd(ZvObject *exc, int *end)
{
    return get_position(exc, "end", true, true, end);
}
int ZvUnicodeDecodeError_GetEnd(ZvObject *exc, int *end)
{
    return get_position(exc, "end", false, true, end);
}
int ZvUnicodeTranslateError_GetEnd(ZvObject *exc, int *end)
{
    return get_position(exc, "end", true, true, end);
}

int ZvUnicodeEncodeError_SetStart(ZvObject *exc, int start)
{
    return set_int_attr(exc, "start", start);
}
int ZvUnicodeDecodeError_SetStart(ZvObject *exc, int start)
{
    return set_int_attr(exc, "start", start);
}
int ZvUnicodeTranslateError_SetStart(ZvObject *exc, int start)
{
    return set_int_attr(exc, "start", start);
}
int ZvUnicodeEncodeError_SetEnd(ZvObject *exc, int end)
{
    return set_int_attr(exc, "end", end);
}
int ZvUnicodeDecodeError_SetEnd(ZvObject *exc, int end)
{
    return set_int_attr(exc, "end", end);
}
int ZvUnicodeTranslateError_SetEnd(ZvObject *exc, int end)
{
    return set_int_attr(exc, "end", end);
}
int ZvUnicodeEncodeError_SetReason(ZvObject *exc, const char *reason)
{
    return set_string_attr(exc, "reason", reason);
}
int ZvUnicodeDecodeError_SetReason(ZvObject *exc, const char *reason)
{
    return set_string_attr(exc, "reason", reason);
}
int ZvUnicodeTranslateError_SetReason(ZvObject *exc, const char *reason)
{
    return set_string_attr(exc, "reason", reason);
}

} // extern "C"
