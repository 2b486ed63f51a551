/* Source text and files to results: parse with the built-in grammar,
 * compile, and evaluate in the namespaces given.  Parse failures become
 * exceptions here (ZvParser_SetError), so every caller sees one kind of
 * failure: NULL with the error set. */
#include "zuvo.h"
#include "zvfrontend.h"
#include "zvref.h"


namespace {

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
    perrdetail err;
    node *n = ZvParser_ParseFileFlags(fp, filename, &_ZvParser_Grammar, start, nullptr, nullptr,
                                      &err, flags);
    if (n == nullptr) ZvParser_SetError(&err);
    return n;
}

ZvObject *ZvRun_StringFlags(const char *str, int start, ZvObject *globals, ZvObject *locals,
                            ZvCompilerFlags *flags)
{
    node *n = ZvParser_SimpleParseStringFlags(str, start, parser_flags(flags));
    if (n == nullptr) return nullptr;
    return run_tree(n, "<string>", globals, locals, flags);
}

ZvObject *ZvRun_FileExFlags(FILE *fp, const char *filename, int start, ZvObject *globals,
                            ZvObject *locals, int closeit, ZvCompilerFlags *flags)
{
    node *n = ZvParser_SimpleParseFileFlags(fp, filename, start, parser_flags(flags));
    if (closeit) fclose(fp);
    if (n == nullptr) return nullptr;
    return run_tree(n, filename, globals, locals, flags);
}

ZvObject *Zv_CompileStringFlags(const char *str, const char *filename, int start,
                                ZvCompilerFlags *flags)
{
    node *n = ZvParser_SimpleParseStringFlagsFilename(str, filename, start, parser_flags(flags));
    if (n == nullptr) return nullptr;
    ZvObject *co = ZvNode_CompileFlags(n, filename, flags);
    ZvNode_Free(n);
    return co;
}

} // extern "C"
