/* Starting and stopping the runtime, sub-interpreters, and fatal errors.
 *
 * Start-up reads the environment into the flags, creates the interpreter
 * and its first thread state, readies the core types, fills the small-int
 * cache, creates the module table, __builtin__ and sys (with the search
 * path), the import machinery and the standard exceptions, records the
 * three built-in modules in the extension store (sub-interpreters start
 * from those copies), installs the signal dispositions, creates __main__
 * and imports `site` and `warnings`.  Shut-down runs sys.exitfunc while
 * everything still works, collects garbage so that finalizers see their
 * modules, tears the modules down, then the interpreter state (which owns
 * most objects) and the exceptions, and last the free lists and caches,
 * once nothing can hand them another object.
 *
 * `initialized` is the only lifecycle state: a finalized runtime can be
 * started again, from scratch, by the next Zv_Initialize. */
#include "zuvo.h"
#include "intrcheck.h"
#include "zvflags.h"
#include "zvfrontend.h"
#include "zvref.h"
#include "typeobject_internal.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {
void _ZvExc_Init(void);
void _ZvExc_Fini(void);
void _ZvArg_Fini(void);
void _ZvPath_Fini(void);
}

namespace {

int initialized = 0;

char default_progname[] = "zuvo";
char *progname = default_progname;
char *default_home = nullptr;

/* The `warnings` module, held from start-up so that warnings raised late
 * in shut-down can still find it; dropped before the modules go. */
ZvObject *warnings_module = nullptr;

/* Zv_AtExit's functions, called last in Zv_Finalize, newest first.  The
 * number is fixed so that registering never allocates. */
constexpr int NEXITFUNCS = 32;
void (*exitfuncs[NEXITFUNCS])(void);
int nexitfuncs = 0;

/* Raises *flag to the number in the environment variable, and to at least
 * 1, when the variable is set and not empty (so "ZUVOVERBOSE=0" still
 * means verbose).  The text is read with strtol and clamped, so a huge or
 * malformed number cannot overflow. */
void flag_from_env(int *flag, const char *name)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0') return;
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < 1) value = 1;
    if (*flag < value) *flag = (int)value;
}

/* A process whose output pipe closes or whose file grows past its limit
 * should see a failed write (an IOError), not be killed by a signal. */
void initsigs()
{
    ZvOS_setsig(SIGPIPE, SIG_IGN);
    ZvOS_setsig(SIGXFSZ, SIG_IGN);
    ZvOS_InitInterrupts();
}

/* The __main__ module, where top-level code runs, with the builtins module
 * as its __builtins__. */
void initmain()
{
    ZvObject *m = ZvImport_AddModule("__main__");
    if (m == nullptr) Zv_FatalError("can't create __main__ module");
    ZvObject *d = ZvModule_GetDict(m);
    if (ZvDict_GetItemString(d, "__builtins__") != nullptr) return;
    ZvObject *bimod = ZvDict_GetItemString(ZvThreadState_Get()->interp->modules, "__builtin__");
    if (bimod == nullptr || ZvDict_SetItemString(d, "__builtins__", bimod) < 0)
        Zv_FatalError("can't add __builtins__ to __main__");
}

/* `site` sets up the site-specific search path; a program still starts
 * without it, with a one-line note (the traceback under -v). */
void initsite()
{
    ZvObject *m = ZvImport_ImportModule("site");
    if (m != nullptr) {
        Zv_DECREF(m);
        return;
    }
    if (Zv_VerboseFlag) {
        ZvSys_WriteStderr("'import site' failed; traceback:\n");
        ZvErr_Print();
    } else {
        ZvSys_WriteStderr("'import site' failed; use -v for traceback\n");
        ZvErr_Clear();
    }
}

/* sys.exitfunc is called once, with sys and every module still whole; it
 * is removed first so that it cannot run twice. */
void call_sys_exitfunc()
{
    zv::Ref exitfunc = zv::Ref::borrow(ZvSys_GetObject("exitfunc"));
    if (exitfunc) {
        if (ZvSys_SetObject("exitfunc", nullptr) < 0) ZvErr_Clear();
        zv::Ref res(ZvEval_CallObjectWithKeywords(exitfunc.get(), nullptr, nullptr));
        if (!res) {
            if (!ZvErr_ExceptionMatches(ZvExc_SystemExit))
                ZvSys_WriteStderr("Error in sys.exitfunc:\n");
            ZvErr_Print();
        }
    }
    if (Zv_FlushLine() != 0) ZvErr_Clear();
}

/* The per-type free lists and caches, in an order where no step refills a
 * list already emptied: releasing the interned strings builds a key list
 * and frees a dictionary, so strings come before lists and dicts. */
void free_type_caches()
{
    _ZvType_ClearCache();
    ZvMethod_Fini();
    ZvFrame_Fini();
    ZvSlice_Fini();
    ZvCFunction_Fini();
    _Zv_ReleaseInternedStrings();
    ZvString_Fini();
    ZvTuple_Fini();
    ZvList_Fini();
    ZvDict_Fini();
    ZvInt_Fini();
    ZvFloat_Fini();
    /* Unicode strings keep no free list yet. */
}

void call_exitfuncs()
{
    while (nexitfuncs > 0) (*exitfuncs[--nexitfuncs])();
    fflush(stdout);
    fflush(stderr);
}

/* A sub-interpreter that could not be completed: its error is printed and
 * both states are undone (their objects released while the new state is
 * still current), the previous thread state current again. */
ZvThreadState *abandon_interpreter(ZvThreadState *ts, ZvThreadState *save)
{
    ZvErr_Print();
    ZvInterpreterState *interp = ts->interp;
    ZvInterpreterState_Clear(interp);
    (void)ZvThreadState_Swap(save);
    ZvInterpreterState_Delete(interp);
    return nullptr;
}

} // namespace

extern "C" {

/* Internal inconsistencies from which there is no recovery end here; the
 * message goes straight to the process's error stream (nothing above the
 * C library can be trusted any more). */
void Zv_FatalError(const char *msg)
{
    fprintf(stderr, "Fatal Zuvo error: %s\n", msg);
    fflush(stderr);
    abort();
}

int Zv_IsInitialized(void) { return initialized; }

int Zv_AtExit(void (*func)(void))
{
    if (func == nullptr || nexitfuncs >= NEXITFUNCS) return -1;
    exitfuncs[nexitfuncs++] = func;
    return 0;
}

void Zv_Exit(int status)
{
    Zv_Finalize();
    exit(status);
}

void Zv_SetProgramName(char *name)
{
    if (name != nullptr && *name != '\0') progname = name;
}

char *Zv_GetProgramName(void) { return progname; }

void Zv_SetZuvoHome(char *home) { default_home = home; }

char *Zv_GetZuvoHome(void)
{
    if (default_home != nullptr) return default_home;
    if (Zv_IgnoreEnvironmentFlag) return nullptr;
    char *home = getenv("ZUVOHOME");
    return home != nullptr && *home != '\0' ? home : nullptr;
}

int Zv_FdIsInteractive(FILE *fp, const char *filename)
{
    if (fp != nullptr && isatty(fileno(fp))) return 1;
    if (!Zv_InteractiveFlag) return 0;
    return filename == nullptr || strcmp(filename, "<stdin>") == 0 || strcmp(filename, "???") == 0;
}

ZvOS_sighandler_t ZvOS_getsig(int sig)
{
    struct sigaction context;
    if (sigaction(sig, nullptr, &context) == -1) return SIG_ERR;
    return context.sa_handler;
}

ZvOS_sighandler_t ZvOS_setsig(int sig, ZvOS_sighandler_t handler)
{
    struct sigaction context = {}, ocontext;
    context.sa_handler = handler;
    sigemptyset(&context.sa_mask);
    context.sa_flags = 0;
    if (sigaction(sig, &context, &ocontext) == -1) return SIG_ERR;
    return ocontext.sa_handler;
}

ZvObject *ZvModule_GetWarningsModule(void)
{
    if (warnings_module != nullptr) return warnings_module;
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts == nullptr || ts->interp->modules == nullptr) return nullptr;
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    ZvObject *m = ZvDict_GetItemString(ts->interp->modules, "warnings");
    if (m != nullptr && m != Zv_None) {
        Zv_INCREF(m);
        warnings_module = m;
    }
    ZvErr_Restore(type, value, tb);
    return warnings_module;
}

void Zv_InitializeEx(int install_sigs)
{
    if (initialized) return;
    initialized = 1;
    if (!Zv_IgnoreEnvironmentFlag) {
        flag_from_env(&Zv_DebugFlag, "ZUVODEBUG");
        flag_from_env(&Zv_VerboseFlag, "ZUVOVERBOSE");
        flag_from_env(&Zv_OptimizeFlag, "ZUVOOPTIMIZE");
    }

    ZvInterpreterState *interp = ZvInterpreterState_New();
    if (interp == nullptr) Zv_FatalError("Zv_Initialize: can't make first interpreter");
    ZvThreadState *ts = ZvThreadState_New(interp);
    if (ts == nullptr) Zv_FatalError("Zv_Initialize: can't make first thread");
    (void)ZvThreadState_Swap(ts);

    _Zv_ReadyTypes();
    _ZvFrame_Init();
    if (!_ZvInt_Init()) Zv_FatalError("Zv_Initialize: can't init ints");
    interp->modules = ZvDict_New();
    if (interp->modules == nullptr) Zv_FatalError("Zv_Initialize: can't make modules dictionary");

    ZvObject *bimod = _ZvBuiltin_Init();
    if (bimod == nullptr) Zv_FatalError("Zv_Initialize: can't initialize __builtin__");
    interp->builtins = ZvModule_GetDict(bimod);
    Zv_INCREF(interp->builtins);
    if (_ZvSys_Init() == nullptr) Zv_FatalError("Zv_Initialize: can't initialize sys");
    _ZvImport_FixupExtension("sys", "sys");
    ZvSys_SetPath(Zv_GetPath());
    if (ZvDict_SetItemString(interp->sysdict, "modules", interp->modules) < 0)
        Zv_FatalError("Zv_Initialize: can't initialize sys");

    _ZvImport_Init();
    _ZvExc_Init();
    _ZvImport_FixupExtension("exceptions", "exceptions");
    _ZvImport_FixupExtension("__builtin__", "__builtin__");
    _ZvImportHooks_Init();

    if (install_sigs) initsigs();
    initmain();
    if (!Zv_NoSiteFlag) initsite();
    _ZvGILState_Init(interp, ts);

    warnings_module = ZvImport_ImportModule("warnings");
    if (warnings_module == nullptr) ZvErr_Clear();
    /* The terminal encodings of sys.stdin and sys.stdout join here with
     * the codec registry. */
}

void Zv_Initialize(void) { Zv_InitializeEx(1); }

void Zv_Finalize(void)
{
    if (!initialized) return;
    call_sys_exitfunc();
    initialized = 0;
    /* Shutting down needs the thread that holds the runtime: without a
     * current thread state this is a fatal error, not a crash. */
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;

    ZvOS_FiniInterrupts();
    Zv_CLEAR(warnings_module);

    /* Finalizers run while the modules still exist; argument items still
     * kept for the callers of earlier parses go first. */
    _ZvArg_Fini();
    (void)ZvGC_Collect();
    ZvImport_Cleanup();
    _ZvImport_Fini();

    _ZvGILState_Fini();
    ZvInterpreterState_Clear(interp);
    _ZvExc_Fini();
    (void)ZvThreadState_Swap(nullptr);
    ZvInterpreterState_Delete(interp);

    free_type_caches();
    ZvGrammar_RemoveAccelerators(&_ZvParser_Grammar);
    _ZvPath_Fini();
    call_exitfuncs();
}

ZvThreadState *Zv_NewInterpreter(void)
{
    if (!initialized) Zv_FatalError("Zv_NewInterpreter: call Zv_Initialize first");
    ZvInterpreterState *interp = ZvInterpreterState_New();
    if (interp == nullptr) return nullptr;
    ZvThreadState *ts = ZvThreadState_New(interp);
    if (ts == nullptr) {
        ZvInterpreterState_Delete(interp);
        return nullptr;
    }
    ZvThreadState *save = ZvThreadState_Swap(ts);

    interp->modules = ZvDict_New();
    if (interp->modules == nullptr) return abandon_interpreter(ts, save);
    ZvObject *bimod = _ZvImport_FindExtension("__builtin__", "__builtin__");
    ZvObject *sysmod = bimod != nullptr ? _ZvImport_FindExtension("sys", "sys") : nullptr;
    if (bimod != nullptr && sysmod != nullptr) {
        interp->builtins = ZvModule_GetDict(bimod);
        Zv_INCREF(interp->builtins);
        interp->sysdict = ZvModule_GetDict(sysmod);
        Zv_INCREF(interp->sysdict);
        ZvSys_SetPath(Zv_GetPath());
        if (ZvDict_SetItemString(interp->sysdict, "modules", interp->modules) < 0)
            return abandon_interpreter(ts, save);
        _ZvImportHooks_Init();
        initmain();
        if (!Zv_NoSiteFlag) initsite();
    }
    if (ZvErr_Occurred()) return abandon_interpreter(ts, save);
    return ts;
}

void Zv_EndInterpreter(ZvThreadState *tstate)
{
    if (tstate != ZvThreadState_GET()) Zv_FatalError("Zv_EndInterpreter: thread is not current");
    if (tstate->frame != nullptr) Zv_FatalError("Zv_EndInterpreter: thread still has a frame");
    ZvInterpreterState *interp = tstate->interp;
    if (tstate != interp->tstate_head || tstate->next != nullptr)
        Zv_FatalError("Zv_EndInterpreter: not the last thread");
    ZvImport_Cleanup();
    ZvInterpreterState_Clear(interp);
    (void)ZvThreadState_Swap(nullptr);
    ZvInterpreterState_Delete(interp);
}

} // extern "C"
