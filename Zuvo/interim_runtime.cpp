/* Interim: weak stand-ins for the file, import and Unicode interfaces that
 * the builtins call, so that they link and run before those pieces are in.
 * Each keeps to the real interface and does the part that needs nothing
 * missing: readline() of any object, imports of modules already in
 * sys.modules.  The real definitions override these at link time; this
 * file goes once they are in. */
#include "zuvo.h"
#include "interim_runtime.h"
#include "zvref.h"

#include <string.h>

extern "C" {

/* No file object exists yet: nothing is an instance of this type. */
__attribute__((weak)) ZvTypeObject ZvFile_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0, "file", 0, 0,
};

__attribute__((weak)) FILE *ZvFile_AsFile(ZvObject *) { return nullptr; }

/* The path for objects other than files: their readline method. */
__attribute__((weak)) ZvObject *ZvFile_GetLine(ZvObject *f, int n)
{
    if (f == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    zv::Ref reader(ZvObject_GetAttrString(f, "readline"));
    if (!reader) return nullptr;
    zv::Ref line(n <= 0 ? ZvObject_CallObject(reader.get(), nullptr)
                        : ZvObject_CallFunction(reader.get(), "i", n));
    if (!line) return nullptr;
    if (!ZvString_Check(line.get())) {
        ZvErr_SetString(ZvExc_TypeError, "object.readline() returned non-string");
        return nullptr;
    }
    if (n >= 0) return line.release();
    int len = ZvString_GET_SIZE(line.get());
    if (len == 0) {
        ZvErr_SetString(ZvExc_EOFError, "EOF when reading a line");
        return nullptr;
    }
    const char *text = ZvString_AS_STRING(line.get());
    if (text[len - 1] != '\n') return line.release();
    return ZvString_FromStringAndSize(text, len - 1);
}

/* Only modules already in sys.modules can be imported: nothing finds or
 * loads one yet.  "a.b" without a from-list gives the package "a", as the
 * import statement expects. */
__attribute__((weak)) ZvObject *ZvImport_ImportModuleEx(char *name, ZvObject *, ZvObject *,
                                                        ZvObject *fromlist)
{
    ZvObject *modules = ZvImport_GetModuleDict();
    ZvObject *m = ZvDict_GetItemString(modules, name);
    if (m == nullptr || m == Zv_None) {
        ZvErr_Format(ZvExc_ImportError, "No module named %.200s", name);
        return nullptr;
    }
    const char *dot = strchr(name, '.');
    bool want_top = dot != nullptr && (fromlist == nullptr || !ZvObject_IsTrue(fromlist));
    if (want_top) {
        zv::Ref top(ZvString_FromStringAndSize(name, (int)(dot - name)));
        if (!top) return nullptr;
        m = ZvDict_GetItem(modules, top.get());
        if (m == nullptr) {
            ZvErr_Format(ZvExc_ImportError, "No module named %.200s",
                         ZvString_AS_STRING(top.get()));
            return nullptr;
        }
    }
    Zv_INCREF(m);
    return m;
}

/* The checks of reload; finding the module again is what cannot work yet. */
__attribute__((weak)) ZvObject *ZvImport_ReloadModule(ZvObject *m)
{
    if (m == nullptr || !ZvModule_Check(m)) {
        ZvErr_SetString(ZvExc_TypeError, "reload() argument must be module");
        return nullptr;
    }
    const char *name = ZvModule_GetName(m);
    if (name == nullptr) return nullptr;
    if (ZvDict_GetItemString(ZvImport_GetModuleDict(), name) != m) {
        ZvErr_Format(ZvExc_ImportError, "reload(): module %.200s not in sys.modules", name);
        return nullptr;
    }
    ZvErr_Format(ZvExc_ImportError, "No module named %.200s", name);
    return nullptr;
}

__attribute__((weak)) ZvObject *ZvUnicode_FromOrdinal(int)
{
    ZvErr_SetString(ZvExc_NotImplementedError, "unicode strings are not available yet");
    return nullptr;
}

} // extern "C"
