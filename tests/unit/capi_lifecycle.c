/* The lifecycle as an embedder sees it: the environment raises the flags
 * unless it is to be ignored, start-up builds the module table, __main__
 * and the exceptions, shut-down runs the exit functions newest first, and
 * the runtime can be started again after it was finalized. */
#define _POSIX_C_SOURCE 200809L

#include "zuvo.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                        \
        }                                                                      \
    } while (0)

/* Exit functions write their mark into `trail` in the order they run. */
static char trail[64];
static int trail_len = 0;
static void mark(char c)
{
    if (trail_len < (int)sizeof trail - 1) trail[trail_len++] = c;
}
static void first_registered(void) { mark('F'); }
static void middle_registered(void) { mark('m'); }
static void last_registered(void) { mark('L'); }

static void (*sigpipe_handler(void))(int)
{
    struct sigaction current;
    sigaction(SIGPIPE, NULL, &current);
    return current.sa_handler;
}


/* Built-in modules an embedder adds before start-up: made by their init
 * function on first import, restored from the stored copy after that,
 * made afresh in a runtime started again. */
static int module_inits = 0;
static ZvObject *answer(ZvObject *self, ZvObject *args) { return ZvInt_FromLong(42); }
static ZvMethodDef answer_methods[] = {{"answer", answer, METH_VARARGS, NULL},
                                       {NULL, NULL, 0, NULL}};
static void initembedded(void)
{
    module_inits++;
    Zv_InitModule("embedded", answer_methods);
}
static void initfailing(void) { ZvErr_SetString(ZvExc_ValueError, "init failed"); }

static void check_added_modules(void)
{
    int debug = Zv_DebugFlag;
    Zv_DebugFlag = 0; /* no parser trace for these lines */
    /* (no assert statements: the first runtime runs under -O) */
    CHECK(ZvRun_SimpleString("import sys, imp, embedded\n"
                             "def need(c):\n"
                             "    if not c: raise AssertionError\n"
                             "need(embedded.answer() == 42)\n"
                             "need('embedded' in sys.builtin_module_names)\n"
                             "need(imp.is_builtin('embedded') == 1)\n"
                             "del sys.modules['embedded']\n"
                             "import embedded\n"
                             "try:\n"
                             "    import failing\n"
                             "except ValueError, e:\n"
                             "    need(str(e) == 'init failed')\n"
                             "else:\n"
                             "    need(0)\n") == 0);
    Zv_DebugFlag = debug;
}

/* Calls that need a running runtime, made without one: each ends the
 * process with the fatal error about the missing thread, never a crash. */
static void compile_something(void) { (void)Zv_CompileString("1", "f", Zv_eval_input); }
static void run_something(void) { (void)ZvRun_SimpleString("x = 1\n"); }
static void import_something(void) { (void)ZvImport_ImportModule("sys"); }

static int dies_without_runtime(void (*call)(void))
{
    static const char expected[] = "Fatal Zuvo error: ZvThreadState_Get: no current thread\n";
    char out[256];
    int fds[2], status = 0;
    ssize_t n;
    pid_t pid;
    if (pipe(fds) != 0) return 0;
    pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        call();
        _exit(0);
    }
    close(fds[1]);
    n = read(fds[0], out, sizeof out - 1);
    close(fds[0]);
    waitpid(pid, &status, 0);
    out[n > 0 ? n : 0] = '\0';
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT && strcmp(out, expected) == 0;
}
/* What start-up must have built, and a little work with it. */
static void check_running_runtime(void)
{
    ZvObject *modules, *main_module, *a, *b, *k;

    CHECK(Zv_IsInitialized());
    modules = ZvImport_GetModuleDict();
    main_module = ZvDict_GetItemString(modules, "__main__");
    CHECK(main_module != NULL && ZvModule_Check(main_module));
    CHECK(ZvImport_AddModule("__main__") == main_module);

    a = ZvInt_FromLong(7);
    b = ZvInt_FromLong(7);
    CHECK(a == b); /* small ints come from the cache */
    Zv_DECREF(a);
    Zv_DECREF(b);

    k = ZvString_InternFromString("lifecycle");
    CHECK(k != NULL);
    Zv_XDECREF(k);

    CHECK(ZvErr_GivenExceptionMatches(ZvExc_KeyError, ZvExc_LookupError));
    CHECK(ZvObject_IsSubclass(ZvExc_KeyError, ZvExc_LookupError) == 1);
    ZvErr_SetString(ZvExc_KeyError, "gone");
    CHECK(ZvErr_ExceptionMatches(ZvExc_LookupError));
    ZvErr_Clear();
}

int main(void)
{
    int i;

    CHECK(!Zv_IsInitialized());
    Zv_Finalize(); /* harmless before start-up */
    CHECK(dies_without_runtime(compile_something));
    CHECK(dies_without_runtime(run_something));
    CHECK(dies_without_runtime(import_something));

    {
        struct _inittab more[] = {{"failing", initfailing}, {NULL, NULL}};
        CHECK(ZvImport_AppendInittab("embedded", initembedded) == 0);
        CHECK(ZvImport_ExtendInittab(more) == 0);
        CHECK(ZvImport_AppendInittab(NULL, initembedded) == -1);
        CHECK(ZvImport_ExtendInittab(NULL) == -1);
        for (i = 0; ZvImport_Inittab[i].name != NULL; i++) {
        }
        CHECK(i > 3 && strcmp(ZvImport_Inittab[i - 3].name, "gc") == 0 &&
              strcmp(ZvImport_Inittab[i - 1].name, "failing") == 0);
    }

    /* "0" still raises a flag to 1; an empty value is ignored; a number
     * too large for an int is clamped, not overflowed. */
    setenv("ZUVODEBUG", "0", 1);
    setenv("ZUVOVERBOSE", "", 1);
    setenv("ZUVOOPTIMIZE", "99999999999999999999", 1);
    Zv_Initialize();
    CHECK(Zv_DebugFlag == 1);
    CHECK(Zv_VerboseFlag == 0);
    CHECK(Zv_OptimizeFlag == 2147483647);
    CHECK(sigpipe_handler() == SIG_IGN);
    check_running_runtime();
    check_added_modules();
    CHECK(module_inits == 1); /* the second import restored the copy */
    Zv_Initialize(); /* a second call does nothing */
    CHECK(Zv_IsInitialized());

    CHECK(Zv_AtExit(first_registered) == 0);
    for (i = 0; i < 30; i++) CHECK(Zv_AtExit(middle_registered) == 0);
    CHECK(Zv_AtExit(last_registered) == 0);
    CHECK(Zv_AtExit(middle_registered) == -1); /* the 33rd is refused */
    Zv_Finalize();
    CHECK(!Zv_IsInitialized());
    CHECK(trail_len == 32 && trail[0] == 'L' && trail[31] == 'F');
    Zv_Finalize();
    CHECK(trail_len == 32); /* each function runs once */

    /* Started again, from scratch, with the environment ignored and the
     * signal dispositions left alone. */
    Zv_OptimizeFlag = 0;
    Zv_IgnoreEnvironmentFlag = 1;
    signal(SIGPIPE, SIG_DFL);
    setenv("ZUVOOPTIMIZE", "3", 1);
    Zv_InitializeEx(0);
    CHECK(Zv_OptimizeFlag == 0);
    CHECK(sigpipe_handler() == SIG_DFL);
    check_running_runtime();
    check_added_modules();
    CHECK(module_inits == 2); /* the stored copy went with the runtime */
    Zv_Finalize();
    CHECK(!Zv_IsInitialized());
    CHECK(dies_without_runtime(compile_something)); /* nor after shut-down */

    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures != 0;
}
