/* The built-in functions that import modules, compile and run code, and
 * read input: __import__, compile, eval, execfile, input, raw_input and
 * reload.  They are thin layers over the import system, the run API and
 * the file objects; what they add is the choice of namespaces and flags
 * and their argument checks. */
#include "zuvo.h"
#include "bltin_internal.h"
#include "fileobject.h"
#include "compile.h"
#include "tokenizer.h"
#include "sysmodule.h"
#include "zvref.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

/* The compiler flags that compile() accepts from its caller: future
 * division, the generator and nested-scope future bits (always on, kept
 * for old callers) and the one that stops an implied DEDENT at the end. */
constexpr int kGeneratorFutureFlag = 0x1000;
constexpr int kCompileFlagsAllowed =
    CO_FUTURE_DIVISION | kGeneratorFutureFlag | ZvCF_DONT_IMPLY_DEDENT | CO_NESTED;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

/* The namespaces for eval, execfile and input: globals and locals as given
 * (None: not given), defaulting to the running frame's; locals defaults to
 * globals when only globals is given.  Both are held for the caller.
 * False with TypeError when there is no frame to take them from. */
[[nodiscard]] bool scope(ZvObject *globals, ZvObject *locals, zv::Ref &g, zv::Ref &l,
                         const char *fn)
{
    if (globals == Zv_None) {
        globals = ZvEval_GetGlobals();
        if (locals == Zv_None) {
            locals = ZvEval_GetLocals();
            if (locals == nullptr && ZvErr_Occurred()) return false;
        }
    } else if (locals == Zv_None) {
        locals = globals;
    }
    if (globals == nullptr || locals == nullptr) {
        ZvErr_Format(ZvExc_TypeError,
                     "%s must be given globals and locals when called without a frame", fn);
        return false;
    }
    g = zv::Ref::borrow(globals);
    l = zv::Ref::borrow(locals);
    return true;
}

/* Code run against globals without "__builtins__" gets the current
 * builtins there. */
[[nodiscard]] bool ensure_builtins(ZvObject *globals)
{
    if (ZvDict_GetItemString(globals, "__builtins__") != nullptr) return true;
    if (ZvErr_Occurred()) return false;
    return ZvDict_SetItemString(globals, "__builtins__", ZvEval_GetBuiltins()) == 0;
}

bool check_locals(ZvObject *locals)
{
    if (locals == Zv_None || ZvMapping_Check(locals)) return true;
    ZvErr_SetString(ZvExc_TypeError, "locals must be a mapping");
    return false;
}

/* raw_input on a terminal: the console line hook, which edits the line,
 * releases the interpreter lock while it waits and returns the line with
 * its newline ("" at end of input, NULL when interrupted). */
ZvObject *read_console_line(FILE *in, FILE *out, ZvObject *prompt_obj)
{
    zv::Ref prompt_str;
    const char *prompt = "";
    if (prompt_obj != nullptr) {
        prompt_str.reset(ZvObject_Str(prompt_obj));
        if (!prompt_str) return nullptr;
        prompt = ZvString_AsString(prompt_str.get());
        if (prompt == nullptr) return nullptr;
    }
    char *line = ZvOS_Readline(in, out, (char *)prompt);
    if (line == nullptr) {
        if (!ZvErr_Occurred()) ZvErr_SetNone(ZvExc_KeyboardInterrupt);
        return nullptr;
    }
    ZvObject *result = nullptr;
    size_t len = strlen(line);
    /* A last line may end without a newline: only a newline is dropped. */
    if (len > 0 && line[len - 1] == '\n') len--;
    if (line[0] == '\0')
        ZvErr_SetNone(ZvExc_EOFError);
    else if (len > INT_MAX)
        ZvErr_SetString(ZvExc_OverflowError, "[raw_]input: input too long");
    else
        result = ZvString_FromStringAndSize(line, (int)len);
    ZvMem_Free(line);
    return result;
}

/* Whether both streams are files open on terminals. */
bool on_terminals(ZvObject *fin, ZvObject *fout, FILE **in, FILE **out)
{
    if (!ZvFile_Check(fin) || !ZvFile_Check(fout)) return false;
    *in = ZvFile_AsFile(fin);
    *out = ZvFile_AsFile(fout);
    /* A closed file has no stream; its own reader reports that. */
    if (*in == nullptr || *out == nullptr) return false;
    return isatty(fileno(*in)) && isatty(fileno(*out));
}

} // namespace

namespace zv::builtins {

ZvObject *import(ZvObject *, ZvObject *args)
{
    char *name;
    ZvObject *globals = nullptr, *locals = nullptr, *fromlist = nullptr;
    if (!ZvArg_ParseTuple(args, "s|OOO:__import__", &name, &globals, &locals, &fromlist))
        return nullptr;
    return ZvImport_ImportModuleEx(name, globals, locals, fromlist);
}

/* compile(source, filename, mode[, flags[, dont_inherit]]): a code object.
 * The source comes through the read-buffer protocol; a source that is not
 * a string object has no terminating NUL of its own, so its text is copied
 * into one that has.  Unicode sources (encoded to UTF-8, with the flag
 * that says so) join here with the Unicode type. */
ZvObject *compile(ZvObject *, ZvObject *args)
{
    ZvObject *cmd;
    char *filename, *startstr;
    int supplied_flags = 0, dont_inherit = 0;
    if (!ZvArg_ParseTuple(args, "Oss|ii:compile", &cmd, &filename, &startstr, &supplied_flags,
                          &dont_inherit))
        return nullptr;
    const void *buffer;
    int length;
    if (ZvObject_AsReadBuffer(cmd, &buffer, &length) < 0) return nullptr;
    if (memchr(buffer, '\0', (size_t)length) != nullptr) {
        ZvErr_SetString(ZvExc_TypeError, "compile() expected string without null bytes");
        return nullptr;
    }
    std::string copy;
    const char *source = (const char *)buffer;
    if (!ZvString_Check(cmd)) {
        copy.assign(source, (size_t)length);
        source = copy.c_str();
    }
    int start;
    if (strcmp(startstr, "exec") == 0) {
        start = Zv_file_input;
    } else if (strcmp(startstr, "eval") == 0) {
        start = Zv_eval_input;
    } else if (strcmp(startstr, "single") == 0) {
        start = Zv_single_input;
    } else {
        ZvErr_SetString(ZvExc_ValueError, "compile() arg 3 must be 'exec' or 'eval' or 'single'");
        return nullptr;
    }
    if (supplied_flags & ~kCompileFlagsAllowed) {
        ZvErr_SetString(ZvExc_ValueError, "compile(): unrecognised flags");
        return nullptr;
    }
    ZvCompilerFlags cf;
    cf.cf_flags = supplied_flags;
    if (!dont_inherit) (void)ZvEval_MergeCompilerFlags(&cf);
    return Zv_CompileStringFlags(source, filename, start, &cf);
}

/* eval(source[, globals[, locals]]): the value of an expression, or of a
 * code object, in the namespaces given or the caller's.  Unicode sources
 * join here with the Unicode type. */
ZvObject *eval(ZvObject *, ZvObject *args)
{
    ZvObject *cmd, *globals = Zv_None, *locals = Zv_None;
    if (!ZvArg_UnpackTuple(args, "eval", 1, 3, &cmd, &globals, &locals)) return nullptr;
    if (!check_locals(locals)) return nullptr;
    if (globals != Zv_None && !ZvDict_Check(globals)) {
        ZvErr_SetString(ZvExc_TypeError,
                        ZvMapping_Check(globals)
                            ? "globals must be a real dict; try eval(expr, {}, mapping)"
                            : "globals must be a dict");
        return nullptr;
    }
    zv::Ref g, l;
    if (!scope(globals, locals, g, l, "eval") || !ensure_builtins(g.get())) return nullptr;
    if (ZvCode_Check(cmd)) {
        if (ZvCode_GetNumFree(cmd) > 0) {
            ZvErr_SetString(ZvExc_TypeError,
                            "code object passed to eval() may not contain free variables");
            return nullptr;
        }
        return ZvEval_EvalCode((ZvCodeObject *)cmd, g.get(), l.get());
    }
    if (!ZvString_Check(cmd)) {
        ZvErr_SetString(ZvExc_TypeError, "eval() arg 1 must be a string or code object");
        return nullptr;
    }
    char *str;
    if (ZvString_AsStringAndSize(cmd, &str, nullptr) < 0) return nullptr;
    while (is_blank(*str)) str++;
    ZvCompilerFlags cf;
    cf.cf_flags = 0;
    (void)ZvEval_MergeCompilerFlags(&cf);
    return ZvRun_StringFlags(str, Zv_eval_input, g.get(), l.get(), &cf);
}

/* execfile(filename[, globals[, locals]]): runs the file as a module body
 * in the namespaces given or the caller's; returns None. */
ZvObject *execfile(ZvObject *, ZvObject *args)
{
    char *filename;
    ZvObject *globals = Zv_None, *locals = Zv_None;
    if (!ZvArg_ParseTuple(args, "s|O!O:execfile", &filename, &ZvDict_Type, &globals, &locals))
        return nullptr;
    if (!check_locals(locals)) return nullptr;
    zv::Ref g, l;
    if (!scope(globals, locals, g, l, "execfile") || !ensure_builtins(g.get())) return nullptr;

    /* A directory opens fine for reading on this platform; refuse it as
     * the error it is. */
    FILE *fp = nullptr;
    struct stat st;
    if (stat(filename, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
        } else {
            int saved;
            Zv_BEGIN_ALLOW_THREADS
            fp = fopen(filename, "rb");
            saved = errno;
            Zv_END_ALLOW_THREADS
            errno = saved;
        }
    }
    if (fp == nullptr) return ZvErr_SetFromErrnoWithFilename(ZvExc_IOError, filename);

    ZvCompilerFlags cf;
    cf.cf_flags = 0;
    zv::Ref result(ZvEval_MergeCompilerFlags(&cf)
                       ? ZvRun_FileExFlags(fp, filename, Zv_file_input, g.get(), l.get(), 1, &cf)
                       : ZvRun_FileEx(fp, filename, Zv_file_input, g.get(), l.get(), 1));
    return result.release();
}

/* input([prompt]): a line as raw_input reads it, evaluated as an
 * expression in the caller's namespaces. */
ZvObject *input(ZvObject *self, ZvObject *args)
{
    zv::Ref line(raw_input(self, args));
    if (!line) return nullptr;
    /* The line as the one argument of a tuple: the ";" message of the
     * format is then the whole message of a failed conversion. */
    zv::Ref packed(ZvTuple_Pack(1, line.get()));
    if (!packed) return nullptr;
    char *str;
    if (!ZvArg_ParseTuple(packed.get(), "s;embedded '\\0' in input line", &str)) return nullptr;
    while (is_blank(*str)) str++;
    zv::Ref g, l;
    if (!scope(Zv_None, Zv_None, g, l, "input") || !ensure_builtins(g.get())) return nullptr;
    ZvCompilerFlags cf;
    cf.cf_flags = 0;
    (void)ZvEval_MergeCompilerFlags(&cf);
    return ZvRun_StringFlags(str, Zv_eval_input, g.get(), l.get(), &cf);
}

/* raw_input([prompt]): one line of sys.stdin without its newline, after
 * writing the prompt to sys.stdout.  On terminals the console line hook
 * reads it (line editing); otherwise the prompt is written as it is and
 * the file's own line reader reads. */
ZvObject *raw_input(ZvObject *, ZvObject *args)
{
    ZvObject *prompt = nullptr;
    if (!ZvArg_UnpackTuple(args, "[raw_]input", 0, 1, &prompt)) return nullptr;
    zv::Ref fin = zv::Ref::borrow(ZvSys_GetObject("stdin"));
    zv::Ref fout = zv::Ref::borrow(ZvSys_GetObject("stdout"));
    if (!fin) {
        ZvErr_SetString(ZvExc_RuntimeError, "[raw_]input: lost sys.stdin");
        return nullptr;
    }
    if (!fout) {
        ZvErr_SetString(ZvExc_RuntimeError, "[raw_]input: lost sys.stdout");
        return nullptr;
    }
    if (ZvFile_SoftSpace(fout.get(), 0) && ZvFile_WriteString(" ", fout.get()) != 0)
        return nullptr;
    FILE *in, *out;
    if (on_terminals(fin.get(), fout.get(), &in, &out)) return read_console_line(in, out, prompt);
    if (prompt != nullptr && ZvFile_WriteObject(prompt, fout.get(), Zv_PRINT_RAW) != 0)
        return nullptr;
    return ZvFile_GetLine(fin.get(), -1);
}

ZvObject *reload(ZvObject *, ZvObject *module) { return ZvImport_ReloadModule(module); }

} // namespace zv::builtins
