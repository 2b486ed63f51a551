/* The error indicator of the current thread state, and the helpers that
 * set, match, normalize and report errors.
 *
 * A failing function stores (type, value, traceback) in the current thread
 * state and returns NULL or -1; callers propagate until someone handles or
 * prints it.  The indicator owns its three references; all NULL means no
 * error.  Only a real traceback object may sit in the traceback slot.
 *
 * Exception classes are classic classes (exceptions.cpp).  Errors are
 * usually set as a class with a plain value (a message string); the value
 * becomes an instance of the class only when someone normalizes the error
 * (an except clause binding it, the top-level printer), so raising stays
 * cheap.  Anything else raised, such as a string, is an exception that
 * matches only itself. */
#include "zuvo.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "fileobject.h"
#include "linereader.h"
#include "sysmodule.h"
#include "zvref.h"

namespace {

/* Normalizing gives up after this many failures in a row (a class whose
 * constructor keeps failing with an error of the same class would
 * otherwise be retried for ever); the last error then stays as raised. */
constexpr int MAX_NORMALIZE_ROUNDS = 32;

/* Prints `obj` to the error stream; a failure to print is not reported
 * (there is nowhere left to report it). */
void print_quietly(ZvObject *obj, FILE *f, int flags)
{
    if (ZvObject_Print(obj, f, flags) != 0) ZvErr_Clear();
}

} // namespace

extern "C" {

void ZvErr_Restore(ZvObject *type, ZvObject *value, ZvObject *traceback)
{
    ZvThreadState *ts = ZvThreadState_Get();
    /* Only a real traceback object may sit in the indicator. */
    if (traceback != nullptr && !ZvTraceBack_Check(traceback)) {
        Zv_DECREF(traceback);
        traceback = nullptr;
    }
    ZvObject *oldtype = ts->curexc_type, *oldvalue = ts->curexc_value,
             *oldtb = ts->curexc_traceback;
    ts->curexc_type = type;
    ts->curexc_value = value;
    ts->curexc_traceback = traceback;
    /* Released last: a destructor run here may itself look at the error. */
    Zv_XDECREF(oldtype);
    Zv_XDECREF(oldvalue);
    Zv_XDECREF(oldtb);
}

void ZvErr_SetObject(ZvObject *exception, ZvObject *value)
{
    Zv_XINCREF(exception);
    Zv_XINCREF(value);
    ZvErr_Restore(exception, value, nullptr);
}

void ZvErr_SetNone(ZvObject *exception) { ZvErr_SetObject(exception, nullptr); }

void ZvErr_SetString(ZvObject *exception, const char *string)
{
    ZvObject *value = ZvString_FromString(string);
    ZvErr_SetObject(exception, value);
    Zv_XDECREF(value);
}

ZvObject *ZvErr_Occurred(void)
{
    ZvThreadState *ts = ZvThreadState_GET();
    return ts == nullptr ? nullptr : ts->curexc_type;
}

void ZvErr_Fetch(ZvObject **p_type, ZvObject **p_value, ZvObject **p_traceback)
{
    ZvThreadState *ts = ZvThreadState_Get();
    *p_type = ts->curexc_type;
    *p_value = ts->curexc_value;
    *p_traceback = ts->curexc_traceback;
    ts->curexc_type = ts->curexc_value = ts->curexc_traceback = nullptr;
}

void ZvErr_Clear(void) { ZvErr_Restore(nullptr, nullptr, nullptr); }

/* Exception classes given as (nested) tuples are searched item by item.
 * `depth` bounds the nesting a program can build, so matching never runs
 * out of native stack: a tuple nested deeper matches nothing. */
static int given_exception_matches(ZvObject *err, ZvObject *exc, int depth)
{
    if (ZvTuple_Check(exc)) {
        if (depth <= 0) return 0;
        int n = ZvTuple_GET_SIZE(exc);
        for (int i = 0; i < n; i++)
            if (given_exception_matches(err, ZvTuple_GET_ITEM(exc, i), depth - 1)) return 1;
        return 0;
    }
    if (ZvInstance_Check(err)) err = (ZvObject *)((ZvInstanceObject *)err)->in_class;
    if (ZvClass_Check(err) && ZvClass_Check(exc)) return ZvClass_IsSubclass(err, exc);
    /* Strings and other objects match only themselves. */
    return err == exc;
}

int ZvErr_GivenExceptionMatches(ZvObject *err, ZvObject *exc)
{
    if (err == nullptr || exc == nullptr) return 0;
    return given_exception_matches(err, exc, Zv_GetRecursionLimit());
}

int ZvErr_ExceptionMatches(ZvObject *exc)
{
    return ZvErr_GivenExceptionMatches(ZvErr_Occurred(), exc);
}

/* The constructor arguments a raised value stands for: None none, a tuple
 * its items, anything else itself. */
static ZvObject *constructor_args(ZvObject *value)
{
    if (value == Zv_None) return ZvTuple_New(0);
    if (ZvTuple_Check(value)) {
        Zv_INCREF(value);
        return value;
    }
    return ZvTuple_Pack(1, value);
}

/* Makes the value an instance of the class.  A missing value becomes
 * None; a type that is not a class (a string exception) keeps its value
 * as raised; an instance of the class or a subclass stays, the type
 * becoming the instance's own class.  Otherwise the class is called with
 * the value as its arguments; when that fails, the new error replaces the
 * old one (keeping the old traceback unless it has its own) and is
 * normalized in turn. */
void ZvErr_NormalizeException(ZvObject **exc, ZvObject **val, ZvObject **tb)
{
    for (int failures = 0;; failures++) {
        ZvObject *type = *exc;
        if (type == nullptr) return;
        if (*val == nullptr) {
            Zv_INCREF(Zv_None);
            *val = Zv_None;
        }
        if (!ZvClass_Check(type)) return;
        ZvObject *value = *val;
        if (ZvInstance_Check(value)) {
            auto *inclass = (ZvObject *)((ZvInstanceObject *)value)->in_class;
            if (ZvClass_IsSubclass(inclass, type)) {
                if (inclass != type) {
                    Zv_INCREF(inclass);
                    *exc = inclass;
                    Zv_DECREF(type);
                }
                return;
            }
        }
        if (failures >= MAX_NORMALIZE_ROUNDS) return;
        zv::Ref args(constructor_args(value));
        ZvObject *res = args ? ZvObject_Call(type, args.get(), nullptr) : nullptr;
        args.reset();
        if (res != nullptr) {
            *val = res;
            Zv_DECREF(value);
            return;
        }
        Zv_DECREF(type);
        Zv_DECREF(value);
        ZvObject *initial_tb = *tb;
        ZvErr_Fetch(exc, val, tb);
        if (*tb == nullptr)
            *tb = initial_tb;
        else
            Zv_XDECREF(initial_tb);
    }
}

ZvObject *ZvErr_NoMemory(void)
{
    if (ZvErr_ExceptionMatches(ZvExc_MemoryError)) return nullptr;
    /* The pre-made value: reporting lack of memory must not need memory. */
    if (ZvExc_MemoryErrorInst != nullptr)
        ZvErr_SetObject(ZvExc_MemoryError, ZvExc_MemoryErrorInst);
    else
        ZvErr_SetNone(ZvExc_MemoryError);
    return nullptr;
}

int ZvErr_BadArgument(void)
{
    ZvErr_SetString(ZvExc_TypeError, "bad argument type for built-in operation");
    return 0;
}

void ZvErr_BadInternalCall(void)
{
    ZvErr_SetString(ZvExc_SystemError, "bad argument to internal function");
}

void _ZvErr_BadInternalCall(const char *filename, int lineno)
{
    ZvErr_Format(ZvExc_SystemError, "%s:%d: bad argument to internal function", filename, lineno);
}

ZvObject *ZvErr_Format(ZvObject *exception, const char *format, ...)
{
    va_list vargs;
    va_start(vargs, format);
    ZvObject *string = ZvString_FromFormatV(format, vargs);
    va_end(vargs);
    ZvErr_SetObject(exception, string);
    Zv_XDECREF(string);
    return nullptr;
}

/* --- errors from the system ------------------------------------------------ */

ZvObject *ZvErr_SetFromErrnoWithFilenameObject(ZvObject *exc, ZvObject *filenameObject)
{
    int i = errno;
    /* An interrupted call: a signal handler that raised wins. */
    if (i == EINTR && ZvErr_CheckSignals() != 0) return nullptr;
    const char *s = i == 0 ? "Error" : strerror(i);
    zv::Ref num(ZvInt_FromLong(i));
    zv::Ref msg(ZvString_FromString(s));
    if (!num || !msg) return nullptr;
    zv::Ref v(filenameObject != nullptr ? ZvTuple_Pack(3, num.get(), msg.get(), filenameObject)
                                        : ZvTuple_Pack(2, num.get(), msg.get()));
    if (v) ZvErr_SetObject(exc, v.get());
    return nullptr;
}

ZvObject *ZvErr_SetFromErrnoWithFilename(ZvObject *exc, const char *filename)
{
    int saved = errno; /* creating the name may touch errno */
    zv::Ref name;
    if (filename != nullptr) {
        name.reset(ZvString_FromString(filename));
        if (!name) return nullptr;
    }
    errno = saved;
    return ZvErr_SetFromErrnoWithFilenameObject(exc, name.get());
}

ZvObject *ZvErr_SetFromErrno(ZvObject *exc)
{
    return ZvErr_SetFromErrnoWithFilenameObject(exc, nullptr);
}

/* Pending signals are checked here once the signal module exists. */
int ZvErr_CheckSignals(void) { return 0; }

/* --- new exception classes --------------------------------------------------- */

ZvObject *ZvErr_NewException(const char *name, ZvObject *base, ZvObject *dict)
{
    if (name == nullptr || (dict != nullptr && !ZvDict_Check(dict))) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    const char *dot = strrchr(name, '.');
    if (dot == nullptr) {
        ZvErr_SetString(ZvExc_SystemError, "ZvErr_NewException: name must be module.class");
        return nullptr;
    }
    if (base == nullptr) base = ZvExc_Exception;
    /* A base that is not a class makes a string exception. */
    if (base == nullptr || !ZvClass_Check(base)) return ZvString_FromString(name);
    zv::Ref mydict;
    if (dict == nullptr) {
        mydict.reset(ZvDict_New());
        if (!mydict) return nullptr;
        dict = mydict.get();
    }
    if (ZvDict_GetItemString(dict, "__module__") == nullptr) {
        zv::Ref modname(ZvString_FromStringAndSize(name, (int)(dot - name)));
        if (!modname || ZvDict_SetItemString(dict, "__module__", modname.get()) < 0)
            return nullptr;
    }
    zv::Ref classname(ZvString_FromString(dot + 1));
    zv::Ref bases(ZvTuple_Pack(1, base));
    if (!classname || !bases) return nullptr;
    return ZvClass_New(bases.get(), dict, classname.get());
}

/* --- reporting ------------------------------------------------------------- */

/* Writes what WriteUnraisable reports: to sys.stderr when it exists,
 * else straight to the process's error stream. */
static void write_unraisable_text(ZvObject *t, ZvObject *v, ZvObject *obj)
{
    ZvObject *f = ZvSys_GetObject("stderr");
    if (f == nullptr) {
        FILE *fp = stderr;
        fputs("Exception ", fp);
        if (t != nullptr) print_quietly(t, fp, Zv_PRINT_RAW);
        if (v != nullptr && v != Zv_None) {
            fputs(": ", fp);
            print_quietly(v, fp, 0);
        }
        fputs(" in ", fp);
        print_quietly(obj, fp, 0);
        fputs(" ignored\n", fp);
        fflush(fp);
        return;
    }
    zv::Ref hold = zv::Ref::borrow(f); /* writing may replace sys.stderr */
    ZvFile_WriteString("Exception ", f);
    if (t != nullptr) ZvFile_WriteObject(t, f, Zv_PRINT_RAW);
    if (v != nullptr && v != Zv_None) {
        ZvFile_WriteString(": ", f);
        ZvFile_WriteObject(v, f, 0);
    }
    ZvFile_WriteString(" in ", f);
    ZvFile_WriteObject(obj, f, 0);
    ZvFile_WriteString(" ignored\n", f);
}

/* For errors that cannot propagate (destructors, callbacks). */
void ZvErr_WriteUnraisable(ZvObject *obj)
{
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    write_unraisable_text(t, v, obj);
    ZvErr_Clear();
    Zv_XDECREF(t);
    Zv_XDECREF(v);
    Zv_XDECREF(tb);
}

/* The warnings module once start-up (or a program) has imported it, found
 * in sys.modules; until then every warning takes the fallback path: one
 * line on the error stream, and the caller goes on.  A pending error is
 * kept across the lookup. */
static ZvObject *warnings_function(const char *name)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts == nullptr || ts->interp->modules == nullptr) return nullptr;
    ZvObject *t, *v, *tb;
    ZvErr_Fetch(&t, &v, &tb);
    ZvObject *func = nullptr;
    ZvObject *mod = ZvDict_GetItemString(ts->interp->modules, "warnings");
    if (mod != nullptr && ZvModule_Check(mod))
        func = ZvDict_GetItemString(ZvModule_GetDict(mod), name);
    ZvErr_Restore(t, v, tb);
    return func;
}

int ZvErr_Warn(ZvObject *category, const char *message)
{
    zv::Ref func = zv::Ref::borrow(warnings_function("warn"));
    if (!func) {
        fprintf(stderr, "warning: %s\n", message);
        return 0;
    }
    if (category == nullptr) category = ZvExc_RuntimeWarning;
    zv::Ref res(ZvObject_CallFunction(func.get(), "(sO)", message, category));
    return res ? 0 : -1;
}

int ZvErr_WarnExplicit(ZvObject *category, const char *message, const char *filename, int lineno,
                       const char *module, ZvObject *registry)
{
    zv::Ref func = zv::Ref::borrow(warnings_function("warn_explicit"));
    if (!func) {
        fprintf(stderr, "warning: %s\n", message);
        return 0;
    }
    if (category == nullptr) category = ZvExc_RuntimeWarning;
    zv::Ref res(ZvObject_CallFunction(func.get(), "(sOsizO)", message, category, filename, lineno,
                                      module, registry != nullptr ? registry : Zv_None));
    return res ? 0 : -1;
}

/* --- syntax error locations ---------------------------------------------------- */

/* Sets an attribute, ignoring failure (the value may not take attributes). */
static void set_attr_quietly(ZvObject *v, const char *name, ZvObject *value)
{
    if (value == nullptr || ZvObject_SetAttrString(v, name, value) < 0) ZvErr_Clear();
}

void ZvErr_SyntaxLocation(const char *filename, int lineno)
{
    ZvObject *exc, *v, *tb;
    ZvErr_Fetch(&exc, &v, &tb);
    ZvErr_NormalizeException(&exc, &v, &tb);
    if (v != nullptr) {
        zv::Ref line(ZvInt_FromLong(lineno));
        set_attr_quietly(v, "lineno", line.get());
        if (filename != nullptr) {
            zv::Ref fn(ZvString_FromString(filename));
            set_attr_quietly(v, "filename", fn.get());
            zv::Ref text(ZvErr_ProgramText(filename, lineno));
            if (text) set_attr_quietly(v, "text", text.get());
        }
        set_attr_quietly(v, "offset", Zv_None);
        if (exc != ZvExc_SyntaxError) {
            if (!ZvObject_HasAttrString(v, "msg")) {
                zv::Ref msg(ZvObject_Str(v));
                set_attr_quietly(v, "msg", msg.get());
            }
            if (!ZvObject_HasAttrString(v, "print_file_and_line"))
                set_attr_quietly(v, "print_file_and_line", Zv_None);
        }
    }
    ZvErr_Restore(exc, v, tb);
}

/* Line `lineno` (1-based) of the file, leading blanks removed, newline
 * kept; NULL when there is no such file or line.  Lines are read in pieces
 * of at most 999 characters, so a long line costs no more memory; a piece
 * that does not end in a newline continues the same line.  Of the wanted
 * line the first piece is returned.  Only a regular file is read.  */
ZvObject *ZvErr_ProgramText(const char *filename, int lineno)
{
    if (filename == nullptr || *filename == '\0' || lineno <= 0) return nullptr;
    FILE *fp = zv::open_source(filename);
    if (fp == nullptr) return nullptr;
    char buf[1000];
    size_t n = zv::read_line(fp, lineno, buf, sizeof buf);
    fclose(fp);
    if (n == 0) return nullptr;
    return ZvString_FromString(zv::skip_blanks(buf));
}

} // extern "C"
