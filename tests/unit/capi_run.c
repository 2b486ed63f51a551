/* The run API as an embedder uses it: code run in __main__, errors
 * printed through sys.stderr with the caret under a syntax error, future
 * statements carried by the flags, compiled bytecode files run as
 * scripts, the interactive loop's return codes, sub-interpreters, and
 * Zv_Main leaving the caller's argument list alone. */
#define _POSIX_C_SOURCE 200809L

#include "zuvo.h"
#include "zvfrontend.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                        \
        }                                                                      \
    } while (0)

static char scratch[] = "/tmp/zvrun.XXXXXX";
static char path_buf[512];

static const char *scratch_path(const char *name)
{
    snprintf(path_buf, sizeof path_buf, "%s/%s", scratch, name);
    return path_buf;
}

/* The scratch files, then their directory. */
static void remove_scratch(void)
{
    static const char *const names[] = {"count.zvc", "count.bin", "badmagic.zvc", "truncated.zvc",
                                        "any.zv", "session.txt"};
    size_t i;
    for (i = 0; i < sizeof names / sizeof names[0]; i++) unlink(scratch_path(names[i]));
    rmdir(scratch);
}

static ZvObject *main_dict(void) { return ZvModule_GetDict(ZvImport_AddModule("__main__")); }

/* A __main__ name as a C int (-999 when missing or not an int). */
static long main_int(const char *name)
{
    ZvObject *v = ZvDict_GetItemString(main_dict(), name);
    return v != NULL && ZvInt_Check(v) ? ZvInt_AsLong(v) : -999;
}

/* sys.stderr and sys.stdout are replaced by an object that keeps what is
 * written; this returns it and empties it. */
static char captured[4096];
static const char *take_sink(void)
{
    ZvObject *sink = ZvDict_GetItemString(main_dict(), "sink");
    ZvObject *text = sink ? ZvObject_GetAttrString(sink, "text") : NULL;
    captured[0] = '\0';
    if (text != NULL && ZvString_Check(text))
        snprintf(captured, sizeof captured, "%s", ZvString_AS_STRING(text));
    Zv_XDECREF(text);
    ZvErr_Clear();
    CHECK(ZvRun_SimpleString("sink.text = ''\n") == 0);
    return captured;
}

/* A bytecode file: the magic (or a wrong one), a time stamp and `code`
 * compiled from source (or raw bytes that are no code object). */
static void write_bytecode(const char *name, long magic, const char *source)
{
    FILE *fp = fopen(scratch_path(name), "wb");
    ZvObject *co = Zv_CompileString(source, "<bytecode>", Zv_file_input);
    CHECK(fp != NULL && co != NULL);
    ZvMarshal_WriteLongToFile(magic, fp, 1);
    ZvMarshal_WriteLongToFile(0, fp, 1);
    if (co != NULL) ZvMarshal_WriteObjectToFile(co, fp, 1);
    Zv_XDECREF(co);
    fclose(fp);
}

static int run_file(const char *name, int closeit)
{
    FILE *fp = fopen(scratch_path(name), "rb");
    int r;
    CHECK(fp != NULL);
    if (fp == NULL) return -2;
    r = ZvRun_SimpleFileExFlags(fp, scratch_path(name), closeit, NULL);
    if (!closeit) fclose(fp);
    return r;
}

static void check_strings_and_errors(void)
{
    ZvCompilerFlags cf = {0};
    ZvObject *co, *v;
    struct symtable *st;

    CHECK(ZvRun_SimpleString("x = 6 * 7\n") == 0);
    CHECK(main_int("x") == 42);

    /* A syntax error: the file, the line, the source and a caret under the
     * column where it was noticed; the error is kept as sys.last_*. */
    CHECK(ZvRun_SimpleString("y = (1 +\n      * 2)\n") == -1);
    CHECK(ZvErr_Occurred() == NULL);
    CHECK(strcmp(take_sink(), "  File \"<string>\", line 2\n    * 2)\n    ^\n"
                              "SyntaxError: invalid syntax\n") == 0);
    CHECK(ZvSys_GetObject("last_type") == ZvExc_SyntaxError);
    CHECK(ZvRun_SimpleString("raise KeyError\n") == -1);
    CHECK(strcmp(take_sink(), "Traceback (most recent call last):\n"
                              "  File \"<string>\", line 1, in ?\nKeyError\n") == 0);

    /* A future statement stays in force for later runs with the same
     * flags.  (The flags are under test here, not the __future__ module:
     * a stand-in with the one name imported serves.) */
    CHECK(ZvModule_AddIntConstant(ZvImport_AddModule("__future__"), "division", 1) == 0);
    CHECK(ZvRun_SimpleStringFlags("from __future__ import division\n", &cf) == 0);
    CHECK((cf.cf_flags & CO_FUTURE_DIVISION) != 0);
    CHECK(ZvRun_SimpleStringFlags("half = 1 / 2\n", &cf) == 0);
    v = ZvDict_GetItemString(main_dict(), "half");
    CHECK(v != NULL && ZvFloat_Check(v) && ZvFloat_AsDouble(v) == 0.5);
    CHECK(ZvRun_SimpleString("whole = 1 / 2\n") == 0);
    CHECK(main_int("whole") == 0);

    /* Compiling prints nothing: the error stays set for the caller. */
    co = Zv_CompileString("1 + 2", "<expr>", Zv_eval_input);
    CHECK(co != NULL && ZvCode_Check(co));
    v = co ? ZvEval_EvalCode((ZvCodeObject *)co, main_dict(), main_dict()) : NULL;
    CHECK(v != NULL && ZvInt_AsLong(v) == 3);
    Zv_XDECREF(v);
    Zv_XDECREF(co);
    CHECK(Zv_CompileString("1 +", "<expr>", Zv_eval_input) == NULL);
    CHECK(ZvErr_ExceptionMatches(ZvExc_SyntaxError));
    ZvErr_Clear();
    CHECK(strcmp(take_sink(), "") == 0);
    st = Zv_SymtableString("def f(a):\n    return a\n", "<st>", Zv_file_input);
    CHECK(st != NULL);
    if (st != NULL) ZvSymtable_Free(st);
    CHECK(Zv_SymtableString("def (:\n", "<st>", Zv_file_input) == NULL);
    ZvErr_Clear();

    /* The newline a trailing-comma print owes goes to the stream whose
     * flag reset just replaced sys.stdout (and dropped it). */
    CHECK(ZvRun_SimpleString("class Swapper:\n"
                             "    softspace = 0\n"
                             "    def write(self, s):\n"
                             "        sink.write(s)\n"
                             "    def __setattr__(self, name, value):\n"
                             "        if name == 'softspace' and not value and self.softspace:\n"
                             "            sys.stdout = sys.__stdout__\n"
                             "        self.__dict__[name] = value\n"
                             "sys.stdout = Swapper()\n"
                             "print 'swapped',\n") == 0);
    CHECK(strcmp(take_sink(), "swapped\n") == 0);
}

static void check_bytecode_scripts(void)
{
    FILE *fp;
    long magic = ZvImport_GetMagicNumber();

    /* By its name, and (only when the caller hands the stream over) by
     * its first two bytes; __file__ names the first script run. */
    write_bytecode("count.zvc", magic, "z = z + 1\n");
    write_bytecode("count.bin", magic, "z = z + 1\n");
    CHECK(ZvRun_SimpleString("z = 0\n") == 0);
    if (ZvDict_DelItemString(main_dict(), "__file__") < 0) ZvErr_Clear();
    CHECK(run_file("count.zvc", 0) == 0);
    CHECK(run_file("count.zvc", 1) == 0);
    CHECK(run_file("count.bin", 1) == 0);
    CHECK(main_int("z") == 3);
    {
        ZvObject *file = ZvDict_GetItemString(main_dict(), "__file__");
        CHECK(file != NULL && strstr(ZvString_AsString(file), "count.zvc") != NULL);
    }
    CHECK(run_file("count.bin", 0) == -1); /* read as source: not Zuvo */
    CHECK(main_int("z") == 3);
    CHECK(strstr(take_sink(), "Error") != NULL);

    write_bytecode("badmagic.zvc", magic + 1, "z = 100\n");
    CHECK(run_file("badmagic.zvc", 1) == -1);
    CHECK(strstr(take_sink(), "RuntimeError: Bad magic number in .zvc file\n") != NULL);
    fp = fopen(scratch_path("truncated.zvc"), "wb");
    ZvMarshal_WriteLongToFile(magic, fp, 1);
    ZvMarshal_WriteLongToFile(0, fp, 1);
    fputs("c\x01", fp);
    fclose(fp);
    CHECK(run_file("truncated.zvc", 1) == -1);
    CHECK(strstr(take_sink(), "RuntimeError: Bad code object in .zvc file\n") != NULL);
    CHECK(main_int("z") == 3);

    /* A source file through AnyFile: not a terminal, so run as a script. */
    fp = fopen(scratch_path("any.zv"), "w");
    fputs("w = 11\n", fp);
    fclose(fp);
    fp = fopen(scratch_path("any.zv"), "r");
    CHECK(ZvRun_AnyFileExFlags(fp, NULL, 1, NULL) == 0);
    CHECK(main_int("w") == 11);
}

/* The interactive loop over standard input (not a terminal): each
 * statement's own return code, and the prompts it sets up. */
static void check_interactive(void)
{
    FILE *fp = fopen(scratch_path("session.txt"), "w");
    ZvObject *ps1;
    fputs("1/0\n1 +* 2\nb = 2\nif b:\n  b = b + 1\n\n", fp);
    fclose(fp);
    CHECK(freopen(scratch_path("session.txt"), "r", stdin) != NULL);
    CHECK(ZvRun_InteractiveOne(stdin, "<stdin>") == -1);
    CHECK(strstr(take_sink(), "ZeroDivisionError") != NULL);
    CHECK(ZvRun_InteractiveOne(stdin, "<stdin>") == E_SYNTAX);
    CHECK(strstr(take_sink(), "    1 +* 2\n       ^\nSyntaxError: invalid syntax\n") != NULL);
    CHECK(ZvRun_InteractiveLoop(stdin, "<stdin>") == 0);
    CHECK(main_int("b") == 3);
    ps1 = ZvSys_GetObject("ps1");
    CHECK(ps1 != NULL && strcmp(ZvString_AsString(ps1), ">>> ") == 0);
    CHECK(ZvRun_InteractiveOne(stdin, "<stdin>") == E_EOF);
}

static void check_sub_interpreter(void)
{
    ZvThreadState *main_ts = ZvThreadState_Get(), *sub;
    ZvObject *main_modules = ZvImport_GetModuleDict();

    sub = Zv_NewInterpreter();
    CHECK(sub != NULL && ZvThreadState_Get() == sub);
    if (sub == NULL) return;
    CHECK(ZvImport_GetModuleDict() != main_modules);
    CHECK(ZvSys_GetObject("modules") == ZvImport_GetModuleDict());
    CHECK(ZvSys_GetObject("path") != NULL);
    CHECK(ZvRun_SimpleString("import sys\nsub_only = len(sys.modules)\n") == 0);
    CHECK(main_int("sub_only") > 0);
    CHECK(main_int("x") == -999); /* __main__ is its own */
    Zv_EndInterpreter(sub);
    CHECK(_ZvThreadState_Current == NULL);
    ZvThreadState_Swap(main_ts);
    CHECK(main_int("x") == 42);
    CHECK(main_int("sub_only") == -999);
}

static void check_process_helpers(void)
{
    int fds[2];
    ZvObject *type, *value, *tb, *warnings;

    CHECK(pipe(fds) == 0);
    {
        FILE *fp = fdopen(fds[0], "r");
        CHECK(!Zv_FdIsInteractive(fp, NULL));
        Zv_InteractiveFlag = 1;
        CHECK(Zv_FdIsInteractive(fp, NULL) && Zv_FdIsInteractive(fp, "<stdin>") &&
              Zv_FdIsInteractive(fp, "???") && !Zv_FdIsInteractive(fp, "x.zv"));
        Zv_InteractiveFlag = 0;
        fclose(fp);
        close(fds[1]);
    }

    CHECK(ZvOS_setsig(SIGUSR1, SIG_IGN) == SIG_DFL);
    CHECK(ZvOS_getsig(SIGUSR1) == SIG_IGN);
    CHECK(ZvOS_setsig(SIGUSR1, SIG_DFL) == SIG_IGN);

    Zv_SetProgramName(NULL);
    Zv_SetProgramName("");
    CHECK(strcmp(Zv_GetProgramName(), "zuvo") == 0);
    setenv("ZUVOHOME", "/from/env", 1);
    CHECK(strcmp(Zv_GetZuvoHome(), "/from/env") == 0);
    Zv_IgnoreEnvironmentFlag = 1;
    CHECK(Zv_GetZuvoHome() == NULL);
    Zv_IgnoreEnvironmentFlag = 0;
    Zv_SetZuvoHome("/set");
    CHECK(strcmp(Zv_GetZuvoHome(), "/set") == 0);
    Zv_SetZuvoHome(NULL);
    unsetenv("ZUVOHOME");

    /* Looking up the warnings module keeps an error being handled. */
    ZvErr_SetString(ZvExc_KeyError, "kept");
    warnings = ZvModule_GetWarningsModule();
    CHECK(warnings == NULL || ZvModule_Check(warnings));
    CHECK(ZvErr_ExceptionMatches(ZvExc_KeyError));
    ZvErr_Fetch(&type, &value, &tb);
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
}

static int raised_system_error(void)
{
    int matched = ZvErr_ExceptionMatches(ZvExc_SystemError);
    ZvErr_Clear();
    return matched;
}

/* An embedder's mistakes (no text, no stream, a start symbol the grammar
 * does not have, no code) are SystemErrors, printed by the top level. */
static void check_misuse(void)
{
    static const char bad_call[] = "SystemError: bad argument to internal function\n";
    ZvObject *d = main_dict(), *name = ZvString_FromString("nothing"), *co;
    CHECK(ZvRun_SimpleString(NULL) == -1);
    CHECK(strcmp(take_sink(), bad_call) == 0);
    CHECK(ZvRun_AnyFileExFlags(NULL, NULL, 1, NULL) == -1);
    CHECK(ZvRun_InteractiveLoop(NULL, "<stdin>") == -1); /* not a loop for ever */
    CHECK(ZvRun_InteractiveOne(NULL, "<stdin>") == -1);
    CHECK(ZvRun_SimpleFileExFlags(NULL, "x.zv", 0, NULL) == -1);
    CHECK(strcmp(take_sink(), "SystemError: bad argument to internal function\n"
                              "SystemError: bad argument to internal function\n"
                              "SystemError: bad argument to internal function\n"
                              "SystemError: bad argument to internal function\n") == 0);
    CHECK(ZvRun_String(NULL, Zv_eval_input, d, d) == NULL && raised_system_error());
    CHECK(ZvRun_String("1", 9999, d, d) == NULL && raised_system_error());
    CHECK(ZvRun_String("1", Zv_eval_input + 3, d, d) == NULL && raised_system_error());
    CHECK(ZvRun_FileExFlags(NULL, "f", Zv_file_input, d, d, 1, NULL) == NULL &&
          raised_system_error());
    CHECK(Zv_CompileString(NULL, "f", Zv_eval_input) == NULL && raised_system_error());
    CHECK(Zv_CompileString("1", "f", -1) == NULL && raised_system_error());
    CHECK(Zv_SymtableString("1", "f", 12345) == NULL && raised_system_error());
    CHECK(ZvParser_SimpleParseString(NULL, Zv_file_input) == NULL && raised_system_error());
    CHECK(ZvParser_SimpleParseFile(NULL, "f", Zv_file_input) == NULL && raised_system_error());
    ZvParser_SetError(NULL);
    CHECK(raised_system_error());
    co = Zv_CompileString("1", NULL, Zv_eval_input); /* no file name: "???" */
    CHECK(co != NULL && strcmp(ZvString_AsString(((ZvCodeObject *)co)->co_filename), "???") == 0);
    CHECK(ZvCode_Addr2Line(NULL, 0) == -1 && raised_system_error());
    Zv_XDECREF(co);
    CHECK(!Zv_FdIsInteractive(NULL, "x.zv"));

    CHECK(ZvImport_ImportModule(NULL) == NULL && raised_system_error());
    CHECK(ZvImport_ImportModuleEx(NULL, NULL, NULL, NULL) == NULL && raised_system_error());
    CHECK(ZvImport_Import(NULL) == NULL && raised_system_error());
    CHECK(ZvImport_ImportFrozenModule(NULL) == -1 && raised_system_error());
    CHECK(ZvImport_AddModule(NULL) == NULL && raised_system_error());
    /* Refused code leaves no empty module behind. */
    CHECK(ZvImport_ExecCodeModule("nothing", NULL) == NULL && raised_system_error());
    CHECK(ZvImport_ExecCodeModuleEx("nothing", name, "p") == NULL && raised_system_error());
    CHECK(ZvDict_GetItemString(ZvImport_GetModuleDict(), "nothing") == NULL);
    Zv_XDECREF(name);

    ZvErr_Display(NULL, NULL, NULL);
    CHECK(strcmp(take_sink(), "<unknown>\n") == 0);
}

int main(void)
{
    static char arg0[] = "zuvo", arg1[] = "-S", arg2[] = "-c",
                arg3[] = "import sys\nassert sys.argv == ['-c', 'a'], sys.argv\n", arg4[] = "a";
    char *args[] = {arg0, arg1, arg2, arg3, arg4, NULL};
    int argc;
    char **argv;

    CHECK(mkdtemp(scratch) != NULL);
    Zv_NoSiteFlag = 1;
    Zv_Initialize();
    CHECK(ZvRun_SimpleString("class Sink:\n"
                             "    text = ''\n"
                             "    def write(self, s):\n"
                             "        self.text = self.text + s\n"
                             "import sys\n"
                             "sink = Sink()\n"
                             "sys.stderr = sink\n") == 0);
    check_strings_and_errors();
    check_bytecode_scripts();
    check_interactive();
    check_sub_interpreter();
    check_process_helpers();
    check_misuse();
    Zv_Finalize();

    /* Zv_Main works on a copy: the list it was given is as it was. */
    CHECK(Zv_Main(5, args) == 0);
    Zv_GetArgcArgv(&argc, &argv);
    CHECK(argc == 5 && argv == args && argv[3] == arg3 && argv[2] == arg2);

    remove_scratch();
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures != 0;
}
