/* The top level's error report: what an uncaught exception prints, and
 * SystemExit, which ends the process instead of being printed.
 *
 * ZvErr_PrintEx hands the error to sys.excepthook (whose default is
 * ZvErr_Display); ZvErr_Display writes the traceback, then for syntax
 * errors the file, line, source text and a caret under the column, then
 * "Name: message".  Errors raised while reporting are swallowed: the
 * report must never replace the error it reports. */
#include "zuvo.h"
#include "zvref.h"

#include <string.h>

#include <string>
#include <utility>

namespace {

/* Writes to f; once a write failed (err != 0) nothing more is written. */
void put(int &err, const char *text, ZvObject *f)
{
    if (err == 0) err = ZvFile_WriteString(text, f);
}

/* Output written so far goes out before the report, in order. */
void flush_output()
{
    if (Zv_FlushLine() != 0) ZvErr_Clear();
    fflush(stdout);
}

/* The status SystemExit asks for: 0 for no value or None, the `code` of
 * an instance, an integer as it is; any other value is printed (raw) to
 * the process's error stream and gives 1.  Ends the process. */
[[noreturn]] void handle_system_exit()
{
    ZvObject *exception, *raw_value, *tb;
    ZvErr_Fetch(&exception, &raw_value, &tb);
    flush_output();
    zv::Ref value = zv::Ref::borrow(raw_value);
    int exitcode = 0;
    if (value && ZvInstance_Check(value.get())) {
        zv::Ref code(ZvObject_GetAttrString(value.get(), "code"));
        if (code)
            value = std::move(code);
        else
            ZvErr_Clear(); /* no code: the instance itself is printed below */
    }
    if (value && value.get() != Zv_None) {
        if (ZvInt_Check(value.get())) {
            exitcode = (int)ZvInt_AsLong(value.get());
        } else {
            if (ZvObject_Print(value.get(), stderr, Zv_PRINT_RAW) != 0) ZvErr_Clear();
            ZvSys_WriteStderr("\n");
            exitcode = 1;
        }
    }
    value.reset();
    /* The exception is released before shut-down: its traceback holds
     * frames whose objects must go while their types still exist. */
    ZvErr_Restore(exception, raw_value, tb);
    ZvErr_Clear();
    Zv_Exit(exitcode);
}

/* The parts of a syntax error worth showing: from a (msg, (filename,
 * lineno, offset, text)) tuple or from the instance's attributes. */
struct SyntaxParts {
    zv::Ref message;
    std::string filename;
    int lineno = 0;
    int offset = -1;
    bool has_text = false;
    std::string text;
};

bool parse_syntax_tuple(ZvObject *value, SyntaxParts &parts)
{
    ZvObject *message;
    const char *filename = nullptr, *text = nullptr;
    if (!ZvArg_ParseTuple(value, "O(ziiz)", &message, &filename, &parts.lineno, &parts.offset,
                          &text))
        return false;
    parts.message = zv::Ref::borrow(message);
    parts.filename = filename != nullptr ? filename : "<string>";
    parts.has_text = text != nullptr;
    if (text != nullptr) parts.text = text;
    return true;
}

/* An optional string attribute: None (or absent text) gives nothing. */
bool string_attr(ZvObject *value, const char *name, std::string &out, bool &present)
{
    zv::Ref v(ZvObject_GetAttrString(value, name));
    if (!v) return false;
    present = v.get() != Zv_None;
    if (!present) return true;
    const char *s = ZvString_AsString(v.get());
    if (s == nullptr) return false;
    out.assign(s, (size_t)ZvString_GET_SIZE(v.get()));
    return true;
}

/* An int attribute; None gives `*if_none`, or fails when that is null (a
 * syntax error that carries no line is shown without a location). */
bool int_attr(ZvObject *value, const char *name, int &out, const int *if_none)
{
    zv::Ref v(ZvObject_GetAttrString(value, name));
    if (!v) return false;
    if (v.get() == Zv_None && if_none != nullptr) {
        out = *if_none;
        return true;
    }
    long n = ZvInt_AsLong(v.get());
    if (n == -1 && ZvErr_Occurred()) return false;
    out = (int)n;
    return true;
}

bool parse_syntax_error(ZvObject *value, SyntaxParts &parts)
{
    if (ZvTuple_Check(value)) return parse_syntax_tuple(value, parts);
    parts.message.reset(ZvObject_GetAttrString(value, "msg"));
    if (!parts.message) return false;
    bool has_filename = false;
    if (!string_attr(value, "filename", parts.filename, has_filename)) return false;
    if (!has_filename) parts.filename = "<string>";
    if (!int_attr(value, "lineno", parts.lineno, nullptr)) return false;
    const int no_offset = -1;
    if (!int_attr(value, "offset", parts.offset, &no_offset)) return false;
    return string_attr(value, "text", parts.text, parts.has_text);
}

/* The source line, trimmed to the line holding `offset` and of its
 * leading blanks, and a caret under the column (none for offset -1). */
void print_error_text(int &err, ZvObject *f, int offset, std::string text)
{
    if (offset >= 0) {
        if (offset > 0 && (size_t)offset == text.size()) offset--;
        for (;;) {
            size_t nl = text.find('\n');
            if (nl == std::string::npos || (int)nl >= offset) break;
            offset -= (int)(nl + 1);
            text.erase(0, nl + 1);
        }
        size_t lead = 0;
        while (lead < text.size() && (text[lead] == ' ' || text[lead] == '\t')) lead++;
        text.erase(0, lead);
        offset -= (int)lead;
    }
    put(err, "    ", f);
    put(err, text.c_str(), f);
    if (text.empty() || text.back() != '\n') put(err, "\n", f);
    if (offset == -1) return;
    std::string caret = "    ";
    for (int i = 1; i < offset; i++) caret += ' ';
    caret += "^\n";
    put(err, caret.c_str(), f);
}

/* "module.Name" for a classic class (without the module for the standard
 * exceptions), str() of anything else (string exceptions). */
void print_exception_name(int &err, ZvObject *exception, ZvObject *f)
{
    if (exception == nullptr) { /* an embedder's call without an error */
        put(err, "<unknown>", f);
        return;
    }
    if (!ZvClass_Check(exception)) {
        if (err == 0) err = ZvFile_WriteObject(exception, f, Zv_PRINT_RAW);
        return;
    }
    auto *klass = (ZvClassObject *)exception;
    ZvObject *module = ZvDict_GetItemString(klass->cl_dict, "__module__");
    if (module == nullptr || !ZvString_Check(module)) {
        put(err, "<unknown>.", f);
    } else if (strcmp(ZvString_AS_STRING(module), "exceptions") != 0) {
        put(err, ZvString_AS_STRING(module), f);
        put(err, ".", f);
    }
    ZvObject *name = klass->cl_name;
    put(err, name != nullptr && ZvString_Check(name) ? ZvString_AS_STRING(name) : "<unknown>", f);
}

void display_on(ZvObject *f, ZvObject *exception, ZvObject *value, ZvObject *tb)
{
    int err = 0;
    if (tb != nullptr && tb != Zv_None) err = ZvTraceBack_Print(tb, f);
    zv::Ref v = zv::Ref::borrow(value);
    if (err == 0 && v && ZvObject_HasAttrString(v.get(), "print_file_and_line")) {
        SyntaxParts parts;
        if (!parse_syntax_error(v.get(), parts)) {
            ZvErr_Clear();
        } else {
            std::string where = "  File \"" + parts.filename + "\", line " +
                                std::to_string(parts.lineno) + "\n";
            put(err, where.c_str(), f);
            if (parts.has_text) print_error_text(err, f, parts.offset, parts.text);
            v = std::move(parts.message);
        }
    }
    print_exception_name(err, exception, f);
    if (err == 0 && v && v.get() != Zv_None) {
        zv::Ref s(ZvObject_Str(v.get()));
        if (!s)
            err = -1;
        else if (!ZvString_Check(s.get()) || ZvString_GET_SIZE(s.get()) != 0)
            put(err, ": ", f);
        if (err == 0) err = ZvFile_WriteObject(s.get(), f, Zv_PRINT_RAW);
    }
    put(err, "\n", f);
    if (err != 0) ZvErr_Clear();
}

} // namespace

extern "C" {

void ZvErr_Display(ZvObject *exception, ZvObject *value, ZvObject *tb)
{
    zv::Ref f = zv::Ref::borrow(ZvSys_GetObject("stderr"));
    if (!f) {
        fprintf(stderr, "lost sys.stderr\n");
        return;
    }
    flush_output();
    /* The report runs user code (str, write): hold what it reports. */
    zv::Ref e = zv::Ref::borrow(exception), v = zv::Ref::borrow(value), t = zv::Ref::borrow(tb);
    display_on(f.get(), exception, value, tb);
}

void ZvErr_PrintEx(int set_sys_last_vars)
{
    if (ZvErr_ExceptionMatches(ZvExc_SystemExit)) handle_system_exit();
    ZvObject *exception, *value, *tb;
    ZvErr_Fetch(&exception, &value, &tb);
    if (exception == nullptr) return;
    ZvErr_NormalizeException(&exception, &value, &tb);
    zv::Ref e(exception), v(value), t(tb);
    if (exception == nullptr) return;
    if (set_sys_last_vars &&
        (ZvSys_SetObject("last_type", exception) < 0 || ZvSys_SetObject("last_value", value) < 0 ||
         ZvSys_SetObject("last_traceback", tb) < 0))
        ZvErr_Clear();

    zv::Ref hook = zv::Ref::borrow(ZvSys_GetObject("excepthook"));
    if (!hook) {
        ZvSys_WriteStderr("sys.excepthook is missing\n");
        ZvErr_Display(exception, value, tb);
        return;
    }
    zv::Ref args(Zv_BuildValue("(OOO)", exception, value ? value : Zv_None, tb ? tb : Zv_None));
    zv::Ref result;
    if (args) result.reset(ZvEval_CallObjectWithKeywords(hook.get(), args.get(), nullptr));
    if (result) return;
    if (ZvErr_ExceptionMatches(ZvExc_SystemExit)) handle_system_exit();
    ZvObject *exception2, *value2, *tb2;
    ZvErr_Fetch(&exception2, &value2, &tb2);
    ZvErr_NormalizeException(&exception2, &value2, &tb2);
    zv::Ref e2(exception2), v2(value2), t2(tb2);
    flush_output();
    ZvSys_WriteStderr("Error in sys.excepthook:\n");
    ZvErr_Display(exception2, value2, tb2);
    ZvSys_WriteStderr("\nOriginal exception was:\n");
    ZvErr_Display(exception, value, tb);
}

void ZvErr_Print(void) { ZvErr_PrintEx(1); }

} // extern "C"
