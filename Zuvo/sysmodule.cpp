/* The sys module.
 *
 * Native code reaches sys through the interpreter's `sysdict`; the module
 * holds the module table, the standard streams, the hooks and whatever
 * the run-time pieces store in it (the exception being handled, the
 * prompts, the search path).  Its functions change the interpreter's own
 * settings: the recursion limit, the check interval, the trace and profile
 * hooks of the current thread.
 *
 * Two pieces of state live outside any interpreter: the -W option list,
 * which the command line fills before start-up, and the seven event names
 * handed to trace and profile functions, interned on first use. */
#include "zuvo.h"
#include "zvref.h"

#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

/* The unicode type's default encoding, which getdefaultencoding and
 * setdefaultencoding show and change. */
extern "C" {
const char *ZvUnicode_GetDefaultEncoding(void);
int ZvUnicode_SetDefaultEncoding(const char *encoding);
}

namespace {

ZvObject *warnoptions = nullptr;

/* --- trace and profile trampolines ------------------------------------------------ */

/* The event names in the order of the ZvTrace_* codes. */
constexpr const char *kEventNames[] = {"call",   "exception", "line",    "return",
                                       "c_call", "c_exception", "c_return"};
ZvObject *event_names[7];

/* The interned name of an event.  A name kept from before a shut-down is
 * no longer interned (shut-down releases the interned table), so it is
 * made again for the new interpreter. */
ZvObject *event_name(int what)
{
    ZvObject *&name = event_names[what];
    if (name != nullptr && !ZvString_CHECK_INTERNED(name)) Zv_CLEAR(name);
    if (name == nullptr) name = ZvString_InternFromString(kEventNames[what]);
    return name;
}

/* Calls a trace or profile function with (frame, event, arg).  The
 * function sees the frame's locals as a dictionary and may change them;
 * what it changed is copied back into the fast locals. */
ZvObject *call_trampoline(ZvObject *callback, ZvFrameObject *frame, int what, ZvObject *arg)
{
    if (what < 0 || what > 6) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvObject *name = event_name(what);
    if (name == nullptr) return nullptr;
    zv::Ref args(ZvTuple_Pack(3, (ZvObject *)frame, name, arg != nullptr ? arg : Zv_None));
    if (!args) return nullptr;
    ZvFrame_FastToLocals(frame);
    ZvObject *result = ZvEval_CallObject(callback, args.get());
    ZvFrame_LocalsToFast(frame, 1);
    if (result == nullptr) ZvTraceBack_Here(frame);
    return result;
}

/* The thread's trace hook: the function given to settrace for a "call",
 * the frame's own f_trace for every other event.  Its result becomes the
 * frame's f_trace; None keeps the one there.  A failing call turns
 * tracing off. */
int trace_trampoline(ZvObject *self, ZvFrameObject *frame, int what, ZvObject *arg)
{
    ZvObject *callback = what == ZvTrace_CALL ? self : frame->f_trace;
    if (callback == nullptr) return 0;
    zv::Ref hold = zv::Ref::borrow(callback);
    ZvObject *result = call_trampoline(callback, frame, what, arg);
    if (result == nullptr) {
        ZvEval_SetTrace(nullptr, nullptr);
        Zv_CLEAR(frame->f_trace);
        return -1;
    }
    if (result == Zv_None) {
        Zv_DECREF(result);
        return 0;
    }
    ZvObject *old = frame->f_trace;
    frame->f_trace = result;
    Zv_XDECREF(old);
    return 0;
}

int profile_trampoline(ZvObject *self, ZvFrameObject *frame, int what, ZvObject *arg)
{
    zv::Ref hold = zv::Ref::borrow(self);
    ZvObject *result = call_trampoline(self, frame, what, arg);
    if (result == nullptr) {
        ZvEval_SetProfile(nullptr, nullptr);
        return -1;
    }
    Zv_DECREF(result);
    return 0;
}

/* --- module functions ----------------------------------------------------------- */

ZvObject *sys_displayhook(ZvObject *, ZvObject *value)
{
    ZvInterpreterState *interp = ZvThreadState_GET()->interp;
    zv::Ref builtins = zv::Ref::borrow(
        interp->modules != nullptr ? ZvDict_GetItemString(interp->modules, "__builtin__")
                                   : nullptr);
    if (!builtins) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost __builtin__");
        return nullptr;
    }
    /* An expression statement whose value is None shows nothing and
     * leaves _ alone. */
    if (value == Zv_None) Zv_RETURN_NONE;
    /* _ is None while the value prints, so the printing cannot see a
     * stale value. */
    if (ZvObject_SetAttrString(builtins.get(), "_", Zv_None) != 0) return nullptr;
    if (Zv_FlushLine() != 0) return nullptr;
    zv::Ref out = zv::Ref::borrow(ZvSys_GetObject("stdout"));
    if (!out) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost sys.stdout");
        return nullptr;
    }
    if (ZvFile_WriteObject(value, out.get(), 0) != 0) return nullptr;
    ZvFile_SoftSpace(out.get(), 1);
    if (Zv_FlushLine() != 0) return nullptr;
    if (ZvObject_SetAttrString(builtins.get(), "_", value) != 0) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *sys_excepthook(ZvObject *, ZvObject *args)
{
    ZvObject *exc, *value, *tb;
    if (!ZvArg_UnpackTuple(args, "excepthook", 3, 3, &exc, &value, &tb)) return nullptr;
    ZvErr_Display(exc, value, tb);
    Zv_RETURN_NONE;
}

ZvObject *sys_exc_info(ZvObject *, ZvObject *)
{
    ZvThreadState *ts = ZvThreadState_GET();
    auto or_none = [](ZvObject *o) { return o != nullptr ? o : Zv_None; };
    return ZvTuple_Pack(3, or_none(ts->exc_type), or_none(ts->exc_value),
                        or_none(ts->exc_traceback));
}

ZvObject *sys_exc_clear(ZvObject *, ZvObject *)
{
    ZvThreadState *ts = ZvThreadState_GET();
    ZvObject *type = ts->exc_type, *value = ts->exc_value, *tb = ts->exc_traceback;
    ts->exc_type = ts->exc_value = ts->exc_traceback = nullptr;
    /* Releasing them may run finalizers: the thread state is clean first. */
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
    if (ZvSys_SetObject("exc_type", Zv_None) < 0 || ZvSys_SetObject("exc_value", Zv_None) < 0 ||
        ZvSys_SetObject("exc_traceback", Zv_None) < 0)
        return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *sys_exit(ZvObject *, ZvObject *args)
{
    ZvObject *status = Zv_None;
    if (!ZvArg_UnpackTuple(args, "exit", 0, 1, &status)) return nullptr;
    /* The top level turns this into the process's exit status. */
    ZvErr_SetObject(ZvExc_SystemExit, status);
    return nullptr;
}

ZvObject *sys_getdefaultencoding(ZvObject *, ZvObject *)
{
    return ZvString_FromString(ZvUnicode_GetDefaultEncoding());
}

ZvObject *sys_setdefaultencoding(ZvObject *, ZvObject *args)
{
    const char *encoding;
    if (!ZvArg_ParseTuple(args, "s:setdefaultencoding", &encoding)) return nullptr;
    if (ZvUnicode_SetDefaultEncoding(encoding) != 0) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *sys_getfilesystemencoding(ZvObject *, ZvObject *)
{
    if (Zv_FileSystemDefaultEncoding == nullptr) Zv_RETURN_NONE;
    return ZvString_FromString(Zv_FileSystemDefaultEncoding);
}

ZvObject *sys_getrefcount(ZvObject *, ZvObject *o) { return ZvInt_FromLong(o->ob_refcnt); }

ZvObject *sys_getrecursionlimit(ZvObject *, ZvObject *)
{
    return ZvInt_FromLong(Zv_GetRecursionLimit());
}

ZvObject *sys_setrecursionlimit(ZvObject *, ZvObject *args)
{
    int limit;
    if (!ZvArg_ParseTuple(args, "i:setrecursionlimit", &limit)) return nullptr;
    if (limit <= 0) {
        ZvErr_SetString(ZvExc_ValueError, "recursion limit must be positive");
        return nullptr;
    }
    Zv_SetRecursionLimit(limit);
    Zv_RETURN_NONE;
}

ZvObject *sys_getcheckinterval(ZvObject *, ZvObject *) { return ZvInt_FromLong(_Zv_CheckInterval); }

ZvObject *sys_setcheckinterval(ZvObject *, ZvObject *args)
{
    if (!ZvArg_ParseTuple(args, "i:setcheckinterval", &_Zv_CheckInterval)) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *sys_getdlopenflags(ZvObject *, ZvObject *)
{
    return ZvInt_FromLong(ZvThreadState_GET()->interp->dlopenflags);
}

ZvObject *sys_setdlopenflags(ZvObject *, ZvObject *args)
{
    int flags;
    if (!ZvArg_ParseTuple(args, "i:setdlopenflags", &flags)) return nullptr;
    ZvThreadState_GET()->interp->dlopenflags = flags;
    Zv_RETURN_NONE;
}

ZvObject *sys_getframe(ZvObject *, ZvObject *args)
{
    int depth = 0;
    if (!ZvArg_ParseTuple(args, "|i:_getframe", &depth)) return nullptr;
    ZvFrameObject *f = ZvThreadState_GET()->frame;
    for (; depth > 0 && f != nullptr; depth--) f = f->f_back;
    if (f == nullptr) {
        ZvErr_SetString(ZvExc_ValueError, "call stack is not deep enough");
        return nullptr;
    }
    Zv_INCREF(f);
    return (ZvObject *)f;
}

ZvObject *sys_settrace(ZvObject *, ZvObject *func)
{
    if (func == Zv_None)
        ZvEval_SetTrace(nullptr, nullptr);
    else
        ZvEval_SetTrace(trace_trampoline, func);
    Zv_RETURN_NONE;
}

ZvObject *sys_setprofile(ZvObject *, ZvObject *func)
{
    if (func == Zv_None)
        ZvEval_SetProfile(nullptr, nullptr);
    else
        ZvEval_SetProfile(profile_trampoline, func);
    Zv_RETURN_NONE;
}

ZvObject *sys_call_tracing(ZvObject *, ZvObject *args)
{
    ZvObject *func, *funcargs;
    if (!ZvArg_ParseTuple(args, "OO!:call_tracing", &func, &ZvTuple_Type, &funcargs))
        return nullptr;
    return _ZvEval_CallTracing(func, funcargs);
}

ZvObject *sys_callstats(ZvObject *, ZvObject *) { return ZvEval_GetCallStats(nullptr); }

ZvMethodDef sys_methods[] = {
    {"callstats", sys_callstats, METH_NOARGS,
     "callstats() -> None\n\nCall statistics are not collected in this build."},
    {"call_tracing", sys_call_tracing, METH_VARARGS,
     "call_tracing(func, args) -> object\n\nCall func(*args), while tracing is enabled."},
    {"displayhook", sys_displayhook, METH_O,
     "displayhook(object) -> None\n\nPrint an object to sys.stdout and also save it in "
     "__builtin__._"},
    {"exc_info", sys_exc_info, METH_NOARGS,
     "exc_info() -> (type, value, traceback)\n\nReturn information about the most recent "
     "exception caught by an except clause in the current stack frame or in an older one."},
    {"exc_clear", sys_exc_clear, METH_NOARGS,
     "exc_clear() -> None\n\nClear global information on the current exception."},
    {"excepthook", sys_excepthook, METH_VARARGS,
     "excepthook(exctype, value, traceback) -> None\n\nHandle an exception by displaying it "
     "with a traceback on sys.stderr."},
    {"exit", sys_exit, METH_VARARGS,
     "exit([status])\n\nExit the interpreter by raising SystemExit(status).\nIf the status is "
     "omitted or None, it defaults to zero (i.e., success).\nIf the status is numeric, it will "
     "be used as the system exit status.\nIf it is another kind of object, it will be printed "
     "and the system\nexit status will be one (i.e., failure)."},
    {"getdefaultencoding", sys_getdefaultencoding, METH_NOARGS,
     "getdefaultencoding() -> string\n\nReturn the current default string encoding used by "
     "the Unicode implementation."},
    {"getdlopenflags", sys_getdlopenflags, METH_NOARGS,
     "getdlopenflags() -> int\n\nReturn the current value of the flags that are used for "
     "dlopen()."},
    {"getfilesystemencoding", sys_getfilesystemencoding, METH_NOARGS,
     "getfilesystemencoding() -> string\n\nReturn the encoding used to convert Unicode "
     "filenames in operating system filenames."},
    {"getrefcount", sys_getrefcount, METH_O,
     "getrefcount(object) -> integer\n\nReturn the reference count of object.  The count "
     "returned is generally one higher than you might expect, because it includes the "
     "(temporary) reference as an argument to getrefcount()."},
    {"getrecursionlimit", sys_getrecursionlimit, METH_NOARGS,
     "getrecursionlimit()\n\nReturn the current value of the recursion limit."},
    {"_getframe", sys_getframe, METH_VARARGS,
     "_getframe([depth]) -> frameobject\n\nReturn a frame object from the call stack.  If "
     "optional integer depth is given, return the frame object that many calls below the top "
     "of the stack.  If that is deeper than the call stack, ValueError is raised."},
    {"setcheckinterval", sys_setcheckinterval, METH_VARARGS,
     "setcheckinterval(n)\n\nTell the interpreter to perform periodic things (thread "
     "switches, signal handlers) every n instructions."},
    {"getcheckinterval", sys_getcheckinterval, METH_NOARGS,
     "getcheckinterval() -> current check interval; see setcheckinterval()."},
    {"setdefaultencoding", sys_setdefaultencoding, METH_VARARGS,
     "setdefaultencoding(encoding)\n\nSet the current default string encoding used by the "
     "Unicode implementation."},
    {"setdlopenflags", sys_setdlopenflags, METH_VARARGS,
     "setdlopenflags(n) -> None\n\nSet the flags that will be used for dlopen() calls."},
    {"setprofile", sys_setprofile, METH_O,
     "setprofile(function)\n\nSet the profiling function.  It will be called on each "
     "function call and return."},
    {"setrecursionlimit", sys_setrecursionlimit, METH_VARARGS,
     "setrecursionlimit(n)\n\nSet the maximum depth of the Zuvo interpreter stack to n."},
    {"settrace", sys_settrace, METH_O,
     "settrace(function)\n\nSet the global debug tracing function.  It will be called on "
     "each function call."},
    {nullptr, nullptr, 0, nullptr},
};

const char sys_doc[] =
    "This module provides access to some objects used or maintained by the\n"
    "interpreter and to functions that interact strongly with the interpreter.\n\n"
    "Dynamic objects:\n\n"
    "argv -- command line arguments; argv[0] is the script pathname if known\n"
    "path -- module search path; path[0] is the script directory, else ''\n"
    "modules -- dictionary of loaded modules\n\n"
    "displayhook -- called to show results in an interactive session\n"
    "excepthook -- called to handle any uncaught exception other than SystemExit\n\n"
    "stdin -- standard input file object; used by raw_input() and input()\n"
    "stdout -- standard output file object; used by the print statement\n"
    "stderr -- standard error object; used for error messages\n\n"
    "last_type, last_value, last_traceback -- the last uncaught exception\n"
    "exc_type, exc_value, exc_traceback -- the exception being handled\n\n"
    "Static objects:\n\n"
    "maxint -- the largest supported integer\n"
    "maxunicode -- the largest supported character\n"
    "builtin_module_names -- tuple of module names built into this interpreter\n"
    "version -- the version of this interpreter as a string\n"
    "version_info -- version information as a tuple\n"
    "hexversion -- version information encoded as a single integer\n"
    "copyright -- copyright notice pertaining to this interpreter\n"
    "platform -- platform identifier\n"
    "executable -- pathname of this interpreter\n"
    "prefix -- prefix used to find the library modules\n"
    "exec_prefix -- prefix used to find the platform-dependent files\n"
    "byteorder -- the host's byte order, 'big' or 'little'\n"
    "api_version -- the API version of the C interface\n"
    "warnoptions -- the -W options given\n"
    "__stdin__, __stdout__, __stderr__ -- the original stdin, stdout and stderr\n"
    "__displayhook__, __excepthook__ -- the original displayhook and excepthook\n";

/* --- start-up ------------------------------------------------------------------- */

/* The names of the built-in module table, sorted. */
ZvObject *builtin_module_names()
{
    zv::Ref list(ZvList_New(0));
    if (!list) return nullptr;
    for (const struct _inittab *p = ZvImport_Inittab; p != nullptr && p->name != nullptr; p++) {
        zv::Ref name(ZvString_FromString(p->name));
        if (!name || ZvList_Append(list.get(), name.get()) < 0) return nullptr;
    }
    if (ZvList_Sort(list.get()) < 0) return nullptr;
    return ZvList_AsTuple(list.get());
}

/* A standard stream as a file object that never closes it. */
ZvObject *standard_file(FILE *fp, const char *name, const char *mode)
{
    return ZvFile_FromFile(fp, (char *)name, (char *)mode, nullptr);
}

/* Stores a new reference under name; false on failure. */
bool set_new(ZvObject *dict, const char *name, ZvObject *value)
{
    zv::Ref owned(value);
    return owned && ZvDict_SetItemString(dict, name, owned.get()) == 0;
}

bool set_string(ZvObject *dict, const char *name, const char *value)
{
    return set_new(dict, name, ZvString_FromString(value != nullptr ? value : ""));
}

bool set_streams(ZvObject *d)
{
    struct stat st;
    if (fstat(fileno(stdin), &st) == 0 && S_ISDIR(st.st_mode))
        Zv_FatalError("<stdin> is a directory");
    struct {
        FILE *fp;
        const char *file, *name, *saved, *mode;
    } streams[] = {
        {stdin, "<stdin>", "stdin", "__stdin__", "r"},
        {stdout, "<stdout>", "stdout", "__stdout__", "w"},
        {stderr, "<stderr>", "stderr", "__stderr__", "w"},
    };
    for (auto &s : streams) {
        zv::Ref f(standard_file(s.fp, s.file, s.mode));
        if (!f || ZvDict_SetItemString(d, s.name, f.get()) < 0 ||
            ZvDict_SetItemString(d, s.saved, f.get()) < 0)
            return false;
    }
    return true;
}

bool set_hooks(ZvObject *d)
{
    ZvObject *display = ZvDict_GetItemString(d, "displayhook");
    ZvObject *except = ZvDict_GetItemString(d, "excepthook");
    return display != nullptr && except != nullptr &&
           ZvDict_SetItemString(d, "__displayhook__", display) == 0 &&
           ZvDict_SetItemString(d, "__excepthook__", except) == 0;
}

bool set_version(ZvObject *d)
{
    return set_string(d, "version", Zv_GetVersion()) &&
           set_new(d, "hexversion", ZvInt_FromLong(ZUVO_VERSION_HEX)) &&
           set_new(d, "version_info", Zv_BuildValue("(iiisi)", 2, 4, 3, "final", 0)) &&
           set_new(d, "api_version", ZvInt_FromLong(ZUVO_API_VERSION)) &&
           set_string(d, "copyright", Zv_GetCopyright()) &&
           set_string(d, "platform", Zv_GetPlatform());
}

bool set_installation(ZvObject *d)
{
    return set_string(d, "executable", Zv_GetProgramFullPath()) &&
           set_string(d, "prefix", Zv_GetPrefix()) &&
           set_string(d, "exec_prefix", Zv_GetExecPrefix());
}

bool set_limits(ZvObject *d)
{
    const unsigned probe = 1;
    bool little = *(const unsigned char *)&probe == 1;
    return set_new(d, "maxint", ZvInt_FromLong(INT32_MAX)) &&
           set_new(d, "maxunicode", ZvInt_FromLong(0xFFFF)) &&
           set_new(d, "builtin_module_names", builtin_module_names()) &&
           set_string(d, "byteorder", little ? "little" : "big");
}

bool set_warnoptions(ZvObject *d)
{
    if (warnoptions == nullptr || !ZvList_Check(warnoptions)) {
        Zv_XDECREF(warnoptions);
        warnoptions = ZvList_New(0);
        if (warnoptions == nullptr) return false;
    }
    return ZvDict_SetItemString(d, "warnoptions", warnoptions) == 0;
}

/* --- writing to sys.stdout and sys.stderr ----------------------------------------- */

/* The stdio stream behind a sys file, or NULL when it is another object
 * (or closed). */
FILE *stream_of(ZvObject *file) { return file != nullptr ? ZvFile_AsFile(file) : nullptr; }

void sys_write(const char *name, FILE *fp, const char *format, va_list va)
{
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    zv::Ref file = zv::Ref::borrow(ZvSys_GetObject(name));
    if (!file || stream_of(file.get()) == fp) {
        vfprintf(fp, format, va);
    } else {
        char buffer[1001];
        int needed = vsnprintf(buffer, sizeof buffer, format, va);
        if (ZvFile_WriteString(buffer, file.get()) != 0) {
            ZvErr_Clear();
            fputs(buffer, fp);
        }
        if (needed > 1000 && ZvFile_WriteString("... truncated", file.get()) != 0) {
            ZvErr_Clear();
            fputs("... truncated", fp);
        }
    }
    ZvErr_Restore(type, value, tb);
}

} // namespace

extern "C" {

const char *Zv_FileSystemDefaultEncoding = "utf-8";

ZvObject *ZvSys_GetObject(const char *name)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts == nullptr || ts->interp->sysdict == nullptr) return nullptr;
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    ZvObject *v = ZvDict_GetItemString(ts->interp->sysdict, name);
    ZvErr_Restore(type, value, tb);
    return v;
}

int ZvSys_SetObject(const char *name, ZvObject *v)
{
    ZvThreadState *ts = ZvThreadState_GET();
    ZvObject *sd = ts == nullptr ? nullptr : ts->interp->sysdict;
    if (sd == nullptr) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost sys module");
        return -1;
    }
    if (v != nullptr) return ZvDict_SetItemString(sd, name, v);
    if (ZvDict_GetItemString(sd, name) == nullptr) return 0;
    return ZvDict_DelItemString(sd, name);
}

FILE *ZvSys_GetFile(const char *name, FILE *def)
{
    FILE *fp = ZvFile_AsFile(ZvSys_GetObject(name));
    /* A closed file has no stream: the caller gets its default, never
     * NULL. */
    return fp != nullptr ? fp : def;
}

void ZvSys_SetPath(const char *path)
{
    zv::Ref list(ZvList_New(0));
    if (!list) Zv_FatalError("can't create sys.path");
    for (const char *p = path != nullptr ? path : "";; ) {
        const char *end = strchr(p, ':');
        size_t len = end != nullptr ? (size_t)(end - p) : strlen(p);
        zv::Ref part(ZvString_FromStringAndSize(p, (int)len));
        if (!part || ZvList_Append(list.get(), part.get()) < 0)
            Zv_FatalError("can't create sys.path");
        if (end == nullptr) break;
        p = end + 1;
    }
    if (ZvSys_SetObject("path", list.get()) != 0) Zv_FatalError("can't assign sys.path");
}

} // extern "C"

namespace {

/* The directory of the script argv0 for the front of sys.path: a symbolic
 * link is followed (a relative target is relative to the link's own
 * directory), the result made absolute where possible, and cut at its
 * last '/'.  No fixed-size buffers: a long argument cannot overflow. */
std::string script_directory(const char *argv0)
{
    std::string path = argv0;
    if (path == "-c") return "";
    char link[1024 + 1];
    ssize_t n = readlink(argv0, link, sizeof link - 1);
    if (n > 0) {
        link[n] = '\0';
        if (link[0] == '/') {
            path = link;
        } else if (strchr(link, '/') != nullptr) {
            size_t slash = path.rfind('/');
            path = slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
        }
    }
    if (char *real = realpath(path.c_str(), nullptr)) {
        path = real;
        free(real);
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

extern "C" {

void ZvSys_SetArgv(int argc, char **argv)
{
    /* A missing vector or entry reads as an empty argument. */
    auto arg_at = [&](int i) -> const char * {
        return argc > 0 && argv != nullptr && argv[i] != nullptr ? argv[i] : "";
    };
    zv::Ref av(ZvList_New(argc > 0 ? argc : 1));
    if (!av) Zv_FatalError("no mem for sys.argv");
    for (int i = 0; i < (argc > 0 ? argc : 1); i++) {
        ZvObject *arg = ZvString_FromString(arg_at(i));
        if (arg == nullptr) Zv_FatalError("no mem for sys.argv");
        ZvList_SET_ITEM(av.get(), i, arg);
    }
    if (ZvSys_SetObject("argv", av.get()) != 0) Zv_FatalError("can't assign sys.argv");
    ZvObject *path = ZvSys_GetObject("path");
    if (path == nullptr) return;
    std::string dir = argc > 0 ? script_directory(arg_at(0)) : std::string();
    zv::Ref entry(ZvString_FromStringAndSize(dir.data(), (int)dir.size()));
    if (!entry) Zv_FatalError("no mem for sys.path insertion");
    if (ZvList_Insert(path, 0, entry.get()) < 0) Zv_FatalError("sys.path.insert(0) failed");
}

void ZvSys_ResetWarnOptions(void)
{
    if (warnoptions == nullptr || !ZvList_Check(warnoptions)) return;
    ZvList_SetSlice(warnoptions, 0, ZvList_GET_SIZE(warnoptions), nullptr);
}

void ZvSys_AddWarnOption(const char *option)
{
    if (warnoptions == nullptr || !ZvList_Check(warnoptions)) {
        Zv_XDECREF(warnoptions);
        warnoptions = ZvList_New(0);
        if (warnoptions == nullptr) return;
    }
    zv::Ref str(ZvString_FromString(option));
    if (str) ZvList_Append(warnoptions, str.get());
}

void ZvSys_WriteStdout(const char *format, ...)
{
    va_list va;
    va_start(va, format);
    sys_write("stdout", stdout, format, va);
    va_end(va);
}

void ZvSys_WriteStderr(const char *format, ...)
{
    va_list va;
    va_start(va, format);
    sys_write("stderr", stderr, format, va);
    va_end(va);
}

ZvObject *_ZvSys_Init(void)
{
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;
    ZvObject *m = Zv_InitModule4("sys", sys_methods, sys_doc, nullptr, ZUVO_API_VERSION);
    if (m == nullptr) return nullptr;
    ZvObject *d = ZvModule_GetDict(m);
    if (!set_streams(d) || !set_hooks(d) || !set_version(d) || !set_installation(d) ||
        !set_limits(d) || !set_warnoptions(d))
        return nullptr;
    if (ZvDict_SetItemString(d, "modules", interp->modules) < 0) return nullptr;
    Zv_INCREF(d);
    Zv_XDECREF(interp->sysdict);
    interp->sysdict = d;
    return m;
}

} // extern "C"
