/* Starting and stopping the runtime, and fatal errors.
 *
 * Start-up reads the environment into the flags, creates the interpreter
 * and its first thread state, readies the core types, fills the small-int
 * cache, creates the module table, the standard exceptions and __main__,
 * and registers the thread state for the automatic lock state.  Shut-down
 * undoes it in reverse: the interpreter state goes first (it owns the
 * modules and so most objects), then the exceptions, and last the free
 * lists and caches, once nothing can hand them another object.
 *
 * `initialized` is the only state: a finalized runtime can be started
 * again, from scratch, by the next Zv_Initialize. */
#include "zuvo.h"
#include "zvflags.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
void _ZvExc_Init(void);
void _ZvExc_Fini(void);
void _ZvArg_Fini(void);
}

namespace {

int initialized = 0;

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
void ignore_fatal_signals()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
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

/* The per-type free lists and caches, in an order where no step refills a
 * list already emptied: releasing the interned strings builds a key list
 * and frees a dictionary, so strings come before lists and dicts. */
void free_type_caches()
{
    ZvFrame_Fini();
    ZvCFunction_Fini();
    ZvMethod_Fini();
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

    /* Unicode, the builtins and sys modules, the search path and
     * the import machinery join this sequence as they arrive. */
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
    _ZvExc_Init();
    if (install_sigs) ignore_fatal_signals();
    initmain();
    _ZvGILState_Init(interp, ts);
}

void Zv_Initialize(void) { Zv_InitializeEx(1); }

void Zv_Finalize(void)
{
    if (!initialized) return;
    /* Shutting down needs the thread that holds the runtime: without a
     * current thread state this is a fatal error, not a crash. */
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;
    /* sys.exitfunc runs here once sys exists. */
    if (Zv_FlushLine() != 0) ZvErr_Clear();
    initialized = 0;

    /* Finalizers run while the modules still exist; argument items still
     * kept for the callers of earlier parses go first. */
    _ZvArg_Fini();
    (void)ZvGC_Collect();

    _ZvGILState_Fini();
    ZvInterpreterState_Clear(interp);
    _ZvExc_Fini();
    (void)ZvThreadState_Swap(nullptr);
    ZvInterpreterState_Delete(interp);

    free_type_caches();
    call_exitfuncs();
}

} // extern "C"
