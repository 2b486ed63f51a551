/* Source text, files and interactive input to results: parse with the
 * built-in grammar, compile, and evaluate in the namespaces given.  Parse
 * failures become exceptions here (ZvParser_SetError), so every caller
 * sees one kind of failure: NULL with the error set.
 *
 * The top level (the Simple*, AnyFile and Interactive* entry points) runs
 * in __main__ and ends every run the same way: an uncaught exception is
 * printed (ZvErr_Print), a result dropped and the line a trailing-comma
 * print left open is finished. */
#include "zuvo.h"
#include "zvfrontend.h"
#include "zvref.h"

#include <string.h>


namespace {

/* What an embedder hands the parser: NULL text or stream, or a start
 * symbol the grammar does not have, is the caller's mistake (a symbol out
 * of range would index past the grammar's tables). */
bool parse_args_ok(const void *input, int start)
{
    /* Before Zv_Initialize (or after Zv_Finalize) this is the fatal "no
     * current thread", not a crash somewhere inside the compiler. */
    (void)ZvThreadState_Get();
    if (input != nullptr && start >= NT_OFFSET && start < NT_OFFSET + _ZvParser_Grammar.g_ndfas)
        return true;
    ZvErr_BadInternalCall();
    return false;
}

/* Only the three top-level symbols make a tree the compiler can take. */
bool compile_args_ok(const void *input, int start)
{
    if (start == Zv_single_input || start == Zv_file_input || start == Zv_eval_input)
        return parse_args_ok(input, start);
    ZvErr_BadInternalCall();
    return false;
}

int parser_flags(ZvCompilerFlags *flags)
{
    return (flags != nullptr && (flags->cf_flags & ZvCF_DONT_IMPLY_DEDENT))
               ? ZvPARSE_DONT_IMPLY_DEDENT
               : 0;
}

/* The class and message of a parser error, by code; NULL class means the
 * error has been set already (an interrupt or no memory). */
ZvObject *syntax_error_class(perrdetail *err, const char **msg)
{
    switch (err->error) {
    case E_EOF: *msg = "unexpected EOF while parsing"; return ZvExc_SyntaxError;
    case E_INTR:
        if (!ZvErr_Occurred()) ZvErr_SetNone(ZvExc_KeyboardInterrupt);
        return nullptr;
    case E_TOKEN: *msg = "invalid token"; return ZvExc_SyntaxError;
    case E_SYNTAX:
        if (err->expected == INDENT) {
            *msg = "expected an indented block";
            return ZvExc_IndentationError;
        }
        if (err->token == INDENT) {
            *msg = "unexpected indent";
            return ZvExc_IndentationError;
        }
        if (err->token == DEDENT) {
            *msg = "unexpected unindent";
            return ZvExc_IndentationError;
        }
        *msg = "invalid syntax";
        return ZvExc_SyntaxError;
    case E_NOMEM: ZvErr_NoMemory(); return nullptr;
    case E_TABSPACE:
        *msg = "inconsistent use of tabs and spaces in indentation";
        return ZvExc_TabError;
    case E_OVERFLOW: *msg = "expression too long"; return ZvExc_SyntaxError;
    case E_TOODEEP: *msg = "too many levels of indentation"; return ZvExc_IndentationError;
    case E_DEDENT:
        *msg = "unindent does not match any outer indentation level";
        return ZvExc_IndentationError;
    case E_EOFS: *msg = "EOF while scanning triple-quoted string"; return ZvExc_SyntaxError;
    case E_EOLS: *msg = "EOL while scanning single-quoted string"; return ZvExc_SyntaxError;
    default:
        fprintf(stderr, "error=%d\n", err->error);
        *msg = "unknown parsing error";
        return ZvExc_SyntaxError;
    }
}

/* The message of a decoding failure: the text of the pending error. */
zv::Ref decode_error_message()
{
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    zv::Ref msg;
    if (value != nullptr) msg.reset(ZvObject_Str(value));
    Zv_XDECREF(type);
    Zv_XDECREF(value);
    Zv_XDECREF(tb);
    if (!msg) {
        ZvErr_Clear();
        msg.reset(ZvString_FromString("unknown decode error"));
    }
    return msg;
}

ZvObject *run_tree(node *n, const char *filename, ZvObject *globals, ZvObject *locals,
                   ZvCompilerFlags *flags)
{
    zv::Ref co(ZvNode_CompileFlags(n, filename, flags));
    ZvNode_Free(n);
    if (!co) return nullptr;
    return ZvEval_EvalCode((ZvCodeObject *)co.get(), globals, locals);
}

} // namespace

extern "C" {

void ZvParser_SetError(perrdetail *err)
{
    if (err == nullptr) {
        ZvErr_BadInternalCall();
        return;
    }
    zv::Ref location(Zv_BuildValue("(ziiz)", err->filename, err->lineno, err->offset, err->text));
    if (err->text != nullptr) {
        ZvObject_Free(err->text);
        err->text = nullptr;
    }
    if (!location) return;
    zv::Ref msg;
    ZvObject *cls;
    if (err->error == E_DECODE) {
        msg = decode_error_message();
        cls = ZvExc_SyntaxError;
    } else {
        const char *text = nullptr;
        cls = syntax_error_class(err, &text);
        if (cls == nullptr) return;
        msg.reset(ZvString_FromString(text));
    }
    if (!msg) return;
    zv::Ref value(Zv_BuildValue("(OO)", msg.get(), location.get()));
    if (value) ZvErr_SetObject(cls, value.get());
}

node *ZvParser_SimpleParseStringFlagsFilename(const char *str, const char *filename, int start,
                                              int flags)
{
    if (!parse_args_ok(str, start)) return nullptr;
    perrdetail err;
    node *n = ZvParser_ParseStringFlagsFilename(str, filename, &_ZvParser_Grammar, start, &err,
                                                flags);
    if (n == nullptr) ZvParser_SetError(&err);
    return n;
}

node *ZvParser_SimpleParseStringFlags(const char *str, int start, int flags)
{
    return ZvParser_SimpleParseStringFlagsFilename(str, "<string>", start, flags);
}

node *ZvParser_SimpleParseFileFlags(FILE *fp, const char *filename, int start, int flags)
{
    if (!parse_args_ok(fp, start)) return nullptr;
    perrdetail err;
    node *n = ZvParser_ParseFileFlags(fp, filename, &_ZvParser_Grammar, start, nullptr, nullptr,
                                      &err, flags);
    if (n == nullptr) ZvParser_SetError(&err);
    return n;
}

ZvObject *ZvRun_StringFlags(const char *str, int start, ZvObject *globals, ZvObject *locals,
                            ZvCompilerFlags *flags)
{
    if (!compile_args_ok(str, start)) return nullptr;
    node *n = ZvParser_SimpleParseStringFlags(str, start, parser_flags(flags));
    if (n == nullptr) return nullptr;
    return run_tree(n, "<string>", globals, locals, flags);
}

ZvObject *ZvRun_FileExFlags(FILE *fp, const char *filename, int start, ZvObject *globals,
                            ZvObject *locals, int closeit, ZvCompilerFlags *flags)
{
    if (!compile_args_ok(fp, start)) {
        if (fp != nullptr && closeit) fclose(fp);
        return nullptr;
    }
    node *n = ZvParser_SimpleParseFileFlags(fp, filename, start, parser_flags(flags));
    if (closeit) fclose(fp);
    if (n == nullptr) return nullptr;
    return run_tree(n, filename, globals, locals, flags);
}

ZvObject *Zv_CompileStringFlags(const char *str, const char *filename, int start,
                                ZvCompilerFlags *flags)
{
    if (!compile_args_ok(str, start)) return nullptr;
    node *n = ZvParser_SimpleParseStringFlagsFilename(str, filename, start, parser_flags(flags));
    if (n == nullptr) return nullptr;
    ZvObject *co = ZvNode_CompileFlags(n, filename, flags);
    ZvNode_Free(n);
    return co;
}

} // extern "C"

/* --- the top level ------------------------------------------------------------------- */

namespace {

/* __main__, held while code runs in it (the code may drop it from
 * sys.modules); NULL with the error set. */
zv::Ref main_module()
{
    return zv::Ref::borrow(ZvImport_AddModule("__main__"));
}

/* The end of a top-level run: an error is printed, a result dropped and
 * the soft-space line flushed. */
int finish_top_level(zv::Ref result)
{
    if (!result) {
        ZvErr_Print();
        return -1;
    }
    result.reset();
    if (Zv_FlushLine() != 0) ZvErr_Clear();
    return 0;
}

bool ends_with(const char *s, const char *tail)
{
    size_t n = strlen(s), t = strlen(tail);
    return n >= t && strcmp(s + n - t, tail) == 0;
}

/* A script is compiled bytecode by its name, or (only for a stream the
 * caller opened for us, still at its start) by its first two bytes: the
 * low half of the magic number, stored little-endian.  The stream is
 * rewound after the look. */
bool is_bytecode(FILE *fp, const char *filename, int closeit)
{
    if (ends_with(filename, ".zvc") || ends_with(filename, ".zvo")) return true;
    if (!closeit || ftell(fp) != 0) return false;
    int lo = getc(fp);
    int hi = getc(fp);
    rewind(fp);
    if (lo == EOF || hi == EOF) return false;
    return (unsigned)(lo | (hi << 8)) == ((unsigned long)ZvImport_GetMagicNumber() & 0xFFFF);
}

/* Runs a bytecode file (magic, modification time, one marshalled code
 * object) in `d`, closing it; the code's future bits join `flags`. */
ZvObject *run_bytecode_file(FILE *fp, ZvObject *d, ZvCompilerFlags *flags)
{
    long magic = ZvMarshal_ReadLongFromFile(fp);
    if (magic != ZvImport_GetMagicNumber()) {
        fclose(fp);
        ZvErr_SetString(ZvExc_RuntimeError, "Bad magic number in .zvc file");
        return nullptr;
    }
    (void)ZvMarshal_ReadLongFromFile(fp);
    zv::Ref v(ZvMarshal_ReadLastObjectFromFile(fp));
    fclose(fp);
    if (!v || !ZvCode_Check(v.get())) {
        ZvErr_Clear();
        ZvErr_SetString(ZvExc_RuntimeError, "Bad code object in .zvc file");
        return nullptr;
    }
    auto *co = (ZvCodeObject *)v.get();
    ZvObject *result = ZvEval_EvalCode(co, d, d);
    if (result != nullptr && flags != nullptr) flags->cf_flags |= co->co_flags & ZvCF_MASK;
    return result;
}

/* str() of sys.<name> as a prompt: the text stays alive in `hold`; a
 * missing prompt, a failing str or a non-string gives "". */
const char *prompt_text(const char *name, zv::Ref &hold)
{
    ZvObject *v = ZvSys_GetObject(name);
    if (v == nullptr) return "";
    hold.reset(ZvObject_Str(v));
    if (!hold) {
        ZvErr_Clear();
        return "";
    }
    return ZvString_Check(hold.get()) ? ZvString_AS_STRING(hold.get()) : "";
}

void default_prompt(const char *name, const char *text)
{
    if (ZvSys_GetObject(name) != nullptr) return;
    zv::Ref v(ZvString_FromString(text));
    if (!v || ZvSys_SetObject(name, v.get()) < 0) ZvErr_Clear();
}

/* A top-level run handed no stream: reported like any failure there. */
int refuse_top_level()
{
    ZvErr_BadInternalCall();
    ZvErr_Print();
    return -1;
}

} // namespace

extern "C" {

struct symtable *Zv_SymtableString(const char *str, const char *filename, int start)
{
    if (!compile_args_ok(str, start)) return nullptr;
    node *n = ZvParser_SimpleParseStringFlagsFilename(str, filename, start, 0);
    if (n == nullptr) return nullptr;
    struct symtable *st = ZvNode_CompileSymtable(n, filename);
    ZvNode_Free(n);
    return st;
}

int ZvRun_SimpleStringFlags(const char *command, ZvCompilerFlags *flags)
{
    zv::Ref m = main_module();
    if (!m) return -1;
    ZvObject *d = ZvModule_GetDict(m.get());
    return finish_top_level(zv::Ref(ZvRun_StringFlags(command, Zv_file_input, d, d, flags)));
}

int ZvRun_SimpleFileExFlags(FILE *fp, const char *filename, int closeit, ZvCompilerFlags *flags)
{
    if (fp == nullptr) return refuse_top_level();
    if (filename == nullptr) filename = "???";
    zv::Ref m = main_module();
    if (!m) {
        if (closeit) fclose(fp);
        return -1;
    }
    ZvObject *d = ZvModule_GetDict(m.get());
    if (ZvDict_GetItemString(d, "__file__") == nullptr) {
        zv::Ref name(ZvString_FromString(filename));
        if (!name || ZvDict_SetItemString(d, "__file__", name.get()) < 0) {
            if (closeit) fclose(fp);
            return -1;
        }
    }
    if (!is_bytecode(fp, filename, closeit))
        return finish_top_level(
            zv::Ref(ZvRun_FileExFlags(fp, filename, Zv_file_input, d, d, closeit, flags)));
    if (closeit) fclose(fp);
    FILE *bytecode = fopen(filename, "rb");
    if (bytecode == nullptr) {
        fprintf(stderr, "zuvo: Can't reopen .zvc file\n");
        return -1;
    }
    if (ends_with(filename, ".zvo")) Zv_OptimizeFlag = 1;
    return finish_top_level(zv::Ref(run_bytecode_file(bytecode, d, flags)));
}

int ZvRun_AnyFileExFlags(FILE *fp, const char *filename, int closeit, ZvCompilerFlags *flags)
{
    if (fp == nullptr) return refuse_top_level();
    if (filename == nullptr) filename = "???";
    if (!Zv_FdIsInteractive(fp, filename))
        return ZvRun_SimpleFileExFlags(fp, filename, closeit, flags);
    int err = ZvRun_InteractiveLoopFlags(fp, filename, flags);
    if (closeit) fclose(fp);
    return err;
}

int ZvRun_InteractiveLoopFlags(FILE *fp, const char *filename, ZvCompilerFlags *flags)
{
    /* Without a stream every statement would fail alike, for ever. */
    if (fp == nullptr) return refuse_top_level();
    ZvCompilerFlags local = {0};
    if (flags == nullptr) flags = &local;
    default_prompt("ps1", ">>> ");
    default_prompt("ps2", "... ");
    while (ZvRun_InteractiveOneFlags(fp, filename, flags) != E_EOF) {
    }
    return 0;
}

int ZvRun_InteractiveOneFlags(FILE *fp, const char *filename, ZvCompilerFlags *flags)
{
    if (fp == nullptr) return refuse_top_level();
    zv::Ref ps1_hold, ps2_hold;
    const char *ps1 = prompt_text("ps1", ps1_hold);
    const char *ps2 = prompt_text("ps2", ps2_hold);
    perrdetail err;
    node *n = ZvParser_ParseFileFlags(fp, filename, &_ZvParser_Grammar, Zv_single_input,
                                      (char *)ps1, (char *)ps2, &err, parser_flags(flags));
    if (n == nullptr) {
        if (err.error == E_EOF) {
            if (err.text != nullptr) ZvObject_Free(err.text);
            return E_EOF;
        }
        int code = err.error;
        ZvParser_SetError(&err);
        ZvErr_Print();
        return code;
    }
    zv::Ref m = main_module();
    if (!m) {
        ZvNode_Free(n);
        return -1;
    }
    ZvObject *d = ZvModule_GetDict(m.get());
    return finish_top_level(zv::Ref(run_tree(n, filename, d, d, flags)));
}

} // extern "C"
