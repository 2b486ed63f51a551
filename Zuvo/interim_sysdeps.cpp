/* Interim: weak stand-ins for what the sys module reads from pieces still
 * being built elsewhere -- the installation directories of the module
 * search path, the error display behind sys.excepthook and the unicode
 * default encoding -- so that sys links and works before them.  The real
 * definitions override these at link time; this file goes once they are
 * all in. */
#include "zuvo.h"
#include "zvref.h"

#include <ctype.h>
#include <string.h>

extern "C" {
const char *ZvUnicode_GetDefaultEncoding(void);
int ZvUnicode_SetDefaultEncoding(const char *encoding);
}

namespace {

char interim_default_encoding[100] = "ascii";

/* Encodings whose codecs are built into the unicode type; without the
 * codec registry these are all that can be looked up. */
bool builtin_encoding(const char *name)
{
    static const char *const names[] = {"ascii", "utf-8", "utf8", "latin-1", "latin1",
                                        "iso-8859-1", "iso8859-1"};
    for (const char *n : names) {
        const char *a = n, *b = name;
        while (*a && tolower((unsigned char)*b) == *a) a++, b++;
        if (*a == '\0' && *b == '\0') return true;
    }
    return false;
}

/* The exception's name as the top level shows it: a classic class with
 * its module (unless that is "exceptions"), anything else as its str. */
void write_exception_name(ZvObject *exc, ZvObject *f)
{
    if (!ZvClass_Check(exc)) {
        ZvFile_WriteObject(exc, f, Zv_PRINT_RAW);
        return;
    }
    zv::Ref module(ZvObject_GetAttrString(exc, "__module__"));
    if (!module || !ZvString_Check(module.get())) {
        ZvErr_Clear();
        ZvFile_WriteString("<unknown>.", f);
    } else if (strcmp(ZvString_AS_STRING(module.get()), "exceptions") != 0) {
        ZvFile_WriteString(ZvString_AS_STRING(module.get()), f);
        ZvFile_WriteString(".", f);
    }
    ZvObject *name = ((ZvClassObject *)exc)->cl_name;
    if (name != nullptr && ZvString_Check(name))
        ZvFile_WriteString(ZvString_AS_STRING(name), f);
    else
        ZvFile_WriteString("<unknown>", f);
}

} // namespace

extern "C" {

__attribute__((weak)) char *Zv_GetProgramFullPath(void) { return (char *)""; }
__attribute__((weak)) char *Zv_GetPrefix(void) { return (char *)""; }
__attribute__((weak)) char *Zv_GetExecPrefix(void) { return (char *)""; }


__attribute__((weak)) const char *ZvUnicode_GetDefaultEncoding(void)
{
    return interim_default_encoding;
}

__attribute__((weak)) int ZvUnicode_SetDefaultEncoding(const char *encoding)
{
    if (!builtin_encoding(encoding) || strlen(encoding) >= sizeof interim_default_encoding) {
        ZvErr_Format(ZvExc_LookupError, "unknown encoding: %s", encoding);
        return -1;
    }
    strcpy(interim_default_encoding, encoding);
    return 0;
}

/* The traceback, then "Name: value"; errors while displaying are dropped. */
__attribute__((weak)) void ZvErr_Display(ZvObject *exc, ZvObject *value, ZvObject *tb)
{
    zv::Ref f = zv::Ref::borrow(ZvSys_GetObject("stderr"));
    if (!f) {
        fprintf(stderr, "lost sys.stderr\n");
        return;
    }
    if (Zv_FlushLine() != 0) ZvErr_Clear();
    fflush(stdout);
    if (tb != nullptr && tb != Zv_None) ZvTraceBack_Print(tb, f.get());
    write_exception_name(exc, f.get());
    if (value != nullptr && value != Zv_None) {
        zv::Ref text(ZvObject_Str(value));
        if (text && ZvString_GET_SIZE(text.get()) > 0) {
            ZvFile_WriteString(": ", f.get());
            ZvFile_WriteObject(text.get(), f.get(), Zv_PRINT_RAW);
        }
    }
    ZvFile_WriteString("\n", f.get());
    ZvErr_Clear();
}

} // extern "C"
