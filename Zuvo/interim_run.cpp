/* Interim: weak stand-ins for the pieces of the sys module and signal
 * handling that start-up, the run API and the command line call, so that
 * `zuvo` runs before those pieces are in.  Each does the least its callers
 * need: sys gets its streams (for the command only), hooks and a few
 * functions where they are missing.  The real definitions override these
 * at link time; this file goes once they are all in. */
#include "zuvo.h"
#include "intrcheck.h"
#include "structmember.h"
#include "zvref.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

/* --- a stream over a C stdio stream ------------------------------------------------- */

struct Stream {
    ZvObject_HEAD
    FILE *fp;
    int softspace;
};

ZvObject *stream_write(ZvObject *self, ZvObject *arg)
{
    if (!ZvString_Check(arg)) {
        ZvErr_SetString(ZvExc_TypeError, "write() argument must be a string");
        return nullptr;
    }
    FILE *fp = ((Stream *)self)->fp;
    size_t n = (size_t)ZvString_GET_SIZE(arg);
    if (fwrite(ZvString_AS_STRING(arg), 1, n, fp) != n) {
        clearerr(fp);
        return ZvErr_SetFromErrno(ZvExc_IOError);
    }
    Zv_RETURN_NONE;
}

ZvObject *stream_flush(ZvObject *self, ZvObject *)
{
    fflush(((Stream *)self)->fp);
    Zv_RETURN_NONE;
}

ZvObject *stream_isatty(ZvObject *self, ZvObject *)
{
    return ZvBool_FromLong(isatty(fileno(((Stream *)self)->fp)));
}

ZvMethodDef stream_methods[] = {
    {"write", stream_write, METH_O, nullptr},
    {"flush", stream_flush, METH_NOARGS, nullptr},
    {"isatty", stream_isatty, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZvMemberDef stream_members[] = {
    {(char *)"softspace", T_INT, offsetof(Stream, softspace), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

ZvTypeObject Stream_Type;

ZvObject *new_stream(FILE *fp)
{
    if (Stream_Type.tp_name == nullptr) {
        Stream_Type.tp_name = "stream";
        Stream_Type.tp_basicsize = sizeof(Stream);
        Stream_Type.tp_dealloc = [](ZvObject *self) { ZvObject_Del(self); };
        Stream_Type.tp_getattro = ZvObject_GenericGetAttr;
        Stream_Type.tp_setattro = ZvObject_GenericSetAttr;
        Stream_Type.tp_flags = Zv_TPFLAGS_DEFAULT;
        Stream_Type.tp_methods = stream_methods;
        Stream_Type.tp_members = stream_members;
    }
    if (ZvType_Ready(&Stream_Type) < 0) return nullptr;
    Stream *s = ZvObject_New(Stream, &Stream_Type);
    if (s == nullptr) return nullptr;
    s->fp = fp;
    s->softspace = 0;
    return (ZvObject *)s;
}

/* --- sys functions -------------------------------------------------------------------- */

ZvObject *sys_displayhook(ZvObject *, ZvObject *value)
{
    ZvObject *builtins = ZvDict_GetItemString(ZvImport_GetModuleDict(), "__builtin__");
    if (builtins == nullptr) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost __builtin__");
        return nullptr;
    }
    if (value == Zv_None) Zv_RETURN_NONE;
    if (ZvObject_SetAttrString(builtins, "_", Zv_None) != 0) return nullptr;
    if (Zv_FlushLine() != 0) return nullptr;
    zv::Ref out = zv::Ref::borrow(ZvSys_GetObject("stdout"));
    if (!out) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost sys.stdout");
        return nullptr;
    }
    if (ZvFile_WriteObject(value, out.get(), 0) != 0) return nullptr;
    ZvFile_SoftSpace(out.get(), 1);
    if (Zv_FlushLine() != 0) return nullptr;
    if (ZvObject_SetAttrString(builtins, "_", value) != 0) return nullptr;
    Zv_RETURN_NONE;
}

ZvObject *sys_excepthook(ZvObject *, ZvObject *args)
{
    ZvObject *exc, *value, *tb;
    if (!ZvArg_UnpackTuple(args, "excepthook", 3, 3, &exc, &value, &tb)) return nullptr;
    ZvErr_Display(exc, value, tb);
    Zv_RETURN_NONE;
}

ZvObject *sys_exit(ZvObject *, ZvObject *args)
{
    ZvObject *status = Zv_None;
    if (!ZvArg_UnpackTuple(args, "exit", 0, 1, &status)) return nullptr;
    ZvErr_SetObject(ZvExc_SystemExit, status);
    return nullptr;
}

ZvObject *sys_setrecursionlimit(ZvObject *, ZvObject *args)
{
    int n;
    if (!ZvArg_ParseTuple(args, "i:setrecursionlimit", &n)) return nullptr;
    if (n <= 0) {
        ZvErr_SetString(ZvExc_ValueError, "recursion limit must be positive");
        return nullptr;
    }
    Zv_SetRecursionLimit(n);
    Zv_RETURN_NONE;
}

ZvObject *sys_getrecursionlimit(ZvObject *, ZvObject *)
{
    return ZvInt_FromLong(Zv_GetRecursionLimit());
}

ZvMethodDef sys_methods[] = {
    {"displayhook", sys_displayhook, METH_O, nullptr},
    {"excepthook", sys_excepthook, METH_VARARGS, nullptr},
    {"exit", sys_exit, METH_VARARGS, nullptr},
    {"setrecursionlimit", sys_setrecursionlimit, METH_VARARGS, nullptr},
    {"getrecursionlimit", sys_getrecursionlimit, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

std::vector<std::string> warn_options;

void set_if_missing(const char *name, ZvObject *v)
{
    if (v == nullptr || ZvSys_GetObject(name) != nullptr || ZvSys_SetObject(name, v) < 0)
        ZvErr_Clear();
}

void install_missing_sys_entries()
{
    struct {
        const char *name, *saved;
        FILE *fp;
    } streams[] = {{"stdin", "__stdin__", stdin},
                   {"stdout", "__stdout__", stdout},
                   {"stderr", "__stderr__", stderr}};
    /* Only the command gets stand-in streams: embedders and their tests
     * keep the stream-less behaviour they had until file objects arrive. */
    int argc = 0;
    char **argv = nullptr;
    Zv_GetArgcArgv(&argc, &argv);
    for (auto &s : streams) {
        if (argc == 0 || ZvSys_GetObject(s.name) != nullptr) continue;
        zv::Ref f(new_stream(s.fp));
        set_if_missing(s.name, f.get());
        set_if_missing(s.saved, f.get());
    }
    for (ZvMethodDef *ml = sys_methods; ml->ml_name != nullptr; ml++) {
        zv::Ref fn(ZvCFunction_NewEx(ml, nullptr, nullptr));
        set_if_missing(ml->ml_name, fn.get());
    }
    set_if_missing("__displayhook__", ZvSys_GetObject("displayhook"));
    set_if_missing("__excepthook__", ZvSys_GetObject("excepthook"));
    zv::Ref options(ZvList_New(0));
    for (const std::string &o : warn_options) {
        zv::Ref s(ZvString_FromString(o.c_str()));
        if (!options || !s || ZvList_Append(options.get(), s.get()) < 0) ZvErr_Clear();
    }
    set_if_missing("warnoptions", options.get());
    zv::Ref maxint(ZvInt_FromLong(ZvInt_MAX));
    set_if_missing("maxint", maxint.get());
    struct {
        const char *name, *value;
    } texts[] = {{"prefix", Zv_GetPrefix()},   {"exec_prefix", Zv_GetExecPrefix()},
                 {"executable", Zv_GetProgramFullPath()}, {"version", Zv_GetVersion()},
                 {"platform", Zv_GetPlatform()}};
    for (auto &t : texts) {
        zv::Ref s(ZvString_FromString(t.value));
        set_if_missing(t.name, s.get());
    }
}

/* The directory of the script, with its symbolic link followed, for the
 * front of sys.path; "" for -c and standard input. */
std::string script_directory(int argc, char **argv)
{
    if (argc <= 0 || strcmp(argv[0], "-c") == 0) return "";
    std::string arg = argv[0];
    char link[PATH_MAX + 1];
    ssize_t n = readlink(arg.c_str(), link, PATH_MAX);
    if (n > 0) {
        link[n] = '\0';
        if (link[0] == '/') {
            arg = link;
        } else if (strchr(link, '/') != nullptr) {
            size_t slash = arg.rfind('/');
            arg = slash == std::string::npos ? std::string(link) : arg.substr(0, slash + 1) + link;
        }
    }
    char full[PATH_MAX];
    if (realpath(arg.c_str(), full) != nullptr) arg = full;
    size_t slash = arg.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : arg.substr(0, slash);
}

} // namespace

extern "C" {

__attribute__((weak)) const char *Zv_GetVersion(void)
{
    static char version[250];
    if (version[0] == '\0')
        snprintf(version, sizeof version, "%.80s (%.80s) %.80s", ZUVO_VERSION,
                 "#1, " __DATE__ ", " __TIME__, "[GCC " __VERSION__ "]");
    return version;
}

__attribute__((weak)) const char *Zv_GetPlatform(void) { return "linux2"; }

__attribute__((weak)) void ZvSys_SetPath(const char *path)
{
    zv::Ref list(ZvList_New(0));
    if (!list) Zv_FatalError("can't create sys.path");
    for (const char *p = path;; p++) {
        const char *end = strchr(p, ':');
        std::string part = end != nullptr ? std::string(p, end) : std::string(p);
        zv::Ref s(ZvString_FromString(part.c_str()));
        if (!s || ZvList_Append(list.get(), s.get()) < 0) Zv_FatalError("can't create sys.path");
        if (end == nullptr) break;
        p = end;
    }
    if (ZvSys_SetObject("path", list.get()) != 0) Zv_FatalError("can't assign sys.path");
    install_missing_sys_entries();
}

__attribute__((weak)) void ZvSys_SetArgv(int argc, char **argv)
{
    zv::Ref av(ZvList_New(0));
    if (!av) Zv_FatalError("no mem for sys.argv");
    for (int i = 0; i < (argc > 0 ? argc : 1); i++) {
        zv::Ref s(ZvString_FromString(argc > 0 ? argv[i] : ""));
        if (!s || ZvList_Append(av.get(), s.get()) < 0) Zv_FatalError("no mem for sys.argv");
    }
    if (ZvSys_SetObject("argv", av.get()) != 0) Zv_FatalError("can't assign sys.argv");
    ZvObject *path = ZvSys_GetObject("path");
    if (path == nullptr || !ZvList_Check(path)) return;
    zv::Ref dir(ZvString_FromString(script_directory(argc, argv).c_str()));
    if (!dir) Zv_FatalError("no mem for sys.path insertion");
    if (ZvList_Insert(path, 0, dir.get()) < 0) Zv_FatalError("sys.path.insert(0) failed");
}

__attribute__((weak)) void ZvSys_ResetWarnOptions(void) { warn_options.clear(); }

__attribute__((weak)) void ZvSys_AddWarnOption(const char *option)
{
    warn_options.push_back(option);
}

__attribute__((weak)) void ZvOS_InitInterrupts(void) {}

__attribute__((weak)) void ZvOS_FiniInterrupts(void) {}

} // extern "C"
