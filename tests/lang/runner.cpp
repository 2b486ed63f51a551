// Runs one Zuvo script and checks it against the expectations written
// beside its code:
//
//     print 1 + 2            # expect: 3
//     x = 1 / 0              # expect error: ZeroDivisionError
//     raise KeyError("k")    # expect error: KeyError: 'k'
//
// Every "# expect: TEXT" is one line of standard output, in order.  An
// "# expect error: NAME[: MESSAGE]" says the script ends with that
// uncaught exception, raised on that line (the innermost traceback entry);
// output printed before it is still checked.  A failing script reports
// each mismatch as "file:line: ..." and exits with status 1.
//
// A script that needs files of its own finds a fresh temporary directory
// in sys.argv[1]; the runner removes it, with whatever is in it, at the end.
#include "zuvo.h"
#include "structmember.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// --- the captured standard output ---------------------------------------------

struct Capture {
    ZvObject_HEAD
    int softspace;
    std::string *text;
};

ZvObject *capture_write(ZvObject *self, ZvObject *arg)
{
    if (!ZvString_Check(arg)) {
        ZvErr_SetString(ZvExc_TypeError, "write() argument must be a string");
        return nullptr;
    }
    ((Capture *)self)->text->append(ZvString_AS_STRING(arg), (size_t)ZvString_GET_SIZE(arg));
    Zv_RETURN_NONE;
}

void capture_dealloc(ZvObject *self)
{
    delete ((Capture *)self)->text;
    ZvObject_Del(self);
}

ZvMethodDef capture_methods[] = {
    {"write", capture_write, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZvMemberDef capture_members[] = {
    {(char *)"softspace", T_INT, offsetof(Capture, softspace), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

ZvTypeObject Capture_Type;

ZvObject *new_capture()
{
    Capture_Type.tp_name = "capture";
    Capture_Type.tp_basicsize = sizeof(Capture);
    Capture_Type.tp_dealloc = capture_dealloc;
    Capture_Type.tp_getattro = ZvObject_GenericGetAttr;
    Capture_Type.tp_setattro = ZvObject_GenericSetAttr;
    Capture_Type.tp_flags = Zv_TPFLAGS_DEFAULT;
    Capture_Type.tp_methods = capture_methods;
    Capture_Type.tp_members = capture_members;
    if (ZvType_Ready(&Capture_Type) < 0) return nullptr;
    Capture *c = ZvObject_New(Capture, &Capture_Type);
    if (c == nullptr) return nullptr;
    c->softspace = 0;
    c->text = new std::string;
    return (ZvObject *)c;
}

// --- expectations ----------------------------------------------------------------

struct Expected {
    int line;
    std::string text;
};

struct Expectations {
    std::vector<Expected> output;
    int error_line = 0;
    std::string error; // "Name" or "Name: message"
};

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

Expectations read_expectations(const char *path)
{
    Expectations ex;
    std::ifstream in(path);
    std::string line;
    for (int n = 1; std::getline(in, line); n++) {
        size_t at = line.find("# expect");
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + 8);
        if (rest.rfind(": ", 0) == 0) {
            ex.output.push_back({n, rest.substr(2)});
        } else if (rest == ":") {
            ex.output.push_back({n, ""});
        } else if (rest.rfind(" error: ", 0) == 0) {
            ex.error_line = n;
            ex.error = trim(rest.substr(8));
        }
    }
    return ex;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// --- the uncaught exception ---------------------------------------------------------

std::string text_of(ZvObject *o)
{
    if (o == nullptr) return "";
    ZvObject *s = ZvObject_Str(o);
    if (s == nullptr) {
        ZvErr_Clear();
        return "<unprintable>";
    }
    std::string r(ZvString_AS_STRING(s), (size_t)ZvString_GET_SIZE(s));
    Zv_DECREF(s);
    return r;
}

std::string class_name(ZvObject *type)
{
    if (ZvClass_Check(type)) return text_of(((ZvClassObject *)type)->cl_name);
    if (ZvType_Check(type)) return ((ZvTypeObject *)type)->tp_name;
    return text_of(type); // a string exception
}

int innermost_line(ZvObject *tb)
{
    int line = 0;
    while (tb != nullptr && ZvTraceBack_Check(tb)) {
        line = ((ZvTracebackObject *)tb)->tb_lineno;
        tb = (ZvObject *)((ZvTracebackObject *)tb)->tb_next;
    }
    return line;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: zvlang script.zv\n");
        return 2;
    }
    const char *path = argv[1];
    Expectations ex = read_expectations(path);

    Zv_Initialize();
    ZvObject *out = new_capture();
    if (out == nullptr || ZvSys_SetObject("stdout", out) < 0) {
        fprintf(stderr, "%s: cannot capture standard output\n", path);
        return 1;
    }
    char tmpdir[] = "/tmp/zvlang-XXXXXX";
    if (mkdtemp(tmpdir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    char *script_argv[] = {argv[1], tmpdir};
    ZvSys_SetArgv(2, script_argv);
    ZvObject *main_dict = ZvModule_GetDict(ZvImport_AddModule("__main__"));
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        perror(path);
        return 1;
    }
    ZvObject *result = ZvRun_FileExFlags(fp, path, Zv_file_input, main_dict, main_dict, 1, nullptr);
    Zv_XDECREF(result);
    if (result != nullptr && Zv_FlushLine() != 0) ZvErr_Clear();

    int failures = 0;
    std::string got_error;
    int error_line = 0;
    if (result == nullptr) {
        ZvObject *type, *value, *tb;
        ZvErr_Fetch(&type, &value, &tb);
        ZvErr_NormalizeException(&type, &value, &tb);
        std::string name = class_name(type);
        std::string message = text_of(value);
        got_error = message.empty() ? name : name + ": " + message;
        error_line = innermost_line(tb);
        bool match = !ex.error.empty() &&
                     (got_error == ex.error || (ex.error.find(':') == std::string::npos &&
                                                name == ex.error));
        if (!match) {
            fprintf(stderr, "%s:%d: uncaught %s\n", path, error_line, got_error.c_str());
            if (tb != nullptr) ZvTraceBack_Print(tb, ZvSys_GetObject("stdout"));
            failures++;
        } else if (error_line != ex.error_line) {
            fprintf(stderr, "%s:%d: %s raised on line %d\n", path, ex.error_line,
                    got_error.c_str(), error_line);
            failures++;
        }
        Zv_XDECREF(type);
        Zv_XDECREF(value);
        Zv_XDECREF(tb);
    } else if (!ex.error.empty()) {
        fprintf(stderr, "%s:%d: expected %s, but the script ended normally\n", path,
                ex.error_line, ex.error.c_str());
        failures++;
    }

    std::vector<std::string> got = split_lines(*((Capture *)out)->text);
    size_t n = ex.output.size() > got.size() ? ex.output.size() : got.size();
    for (size_t i = 0; i < n && failures < 20; i++) {
        if (i >= ex.output.size()) {
            fprintf(stderr, "%s: unexpected output line %zu: '%s'\n", path, i + 1, got[i].c_str());
            failures++;
        } else if (i >= got.size()) {
            fprintf(stderr, "%s:%d: expected '%s', got no more output\n", path, ex.output[i].line,
                    ex.output[i].text.c_str());
            failures++;
        } else if (got[i] != ex.output[i].text) {
            fprintf(stderr, "%s:%d: expected '%s', got '%s'\n", path, ex.output[i].line,
                    ex.output[i].text.c_str(), got[i].c_str());
            failures++;
        }
    }
    Zv_DECREF(out);
    Zv_Finalize();
    std::error_code ignored;
    std::filesystem::remove_all(tmpdir, ignored);
    return failures == 0 ? 0 : 1;
}
