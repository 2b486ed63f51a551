/* The imp module: the import machinery's pieces for programs that build
 * their own import hooks: find a module without loading it, load what was
 * found, the magic number and suffixes, the built-in and frozen tables and
 * the import lock. */
#include "import_internal.h"

#include <errno.h>
#include <string.h>

using zv::Ref;
using namespace zv::imp;

/* File objects come from the file-object family, linked into the same
 * library; declared weak so that the module also builds where that family
 * is absent (a build of the runtime without it), and then refuses the
 * functions that need files. */
extern "C" {
ZvObject *ZvFile_FromFile(FILE *fp, char *name, char *mode, int (*close)(FILE *))
    __attribute__((weak));
FILE *ZvFile_AsFile(ZvObject *f) __attribute__((weak));
}

namespace {

bool files_available()
{
    if (ZvFile_FromFile != nullptr && ZvFile_AsFile != nullptr) return true;
    ZvErr_SetString(ZvExc_NotImplementedError, "file objects are not available");
    return false;
}

ZvObject *imp_get_magic(ZvObject *, ZvObject *)
{
    long magic_number = ZvImport_GetMagicNumber();
    char buf[4] = {(char)(magic_number & 0xff), (char)((magic_number >> 8) & 0xff),
                   (char)((magic_number >> 16) & 0xff), (char)((magic_number >> 24) & 0xff)};
    return ZvString_FromStringAndSize(buf, 4);
}

ZvObject *imp_get_suffixes(ZvObject *, ZvObject *)
{
    Ref list(ZvList_New(0));
    if (!list) return nullptr;
    for (filedescr *fdp = _ZvImport_Filetab; fdp->suffix != nullptr; fdp++) {
        Ref item(Zv_BuildValue("ssi", fdp->suffix, fdp->mode, (int)fdp->type));
        if (!item || ZvList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

ZvObject *imp_find_module(ZvObject *, ZvObject *args)
{
    const char *name;
    ZvObject *path = nullptr;
    if (!ZvArg_ParseTuple(args, "s|O:find_module", &name, &path)) return nullptr;
    if (path == Zv_None) path = nullptr;
    std::string buf;
    FILE *fp = nullptr;
    filedescr *fdp = find_module(name, name, path, buf, &fp, nullptr);
    if (fdp == nullptr) return nullptr;
    Ref file;
    if (fp != nullptr) {
        if (!files_available()) {
            fclose(fp);
            return nullptr;
        }
        file.reset(ZvFile_FromFile(fp, (char *)buf.c_str(), (char *)fdp->mode, fclose));
        if (!file) {
            fclose(fp);
            return nullptr;
        }
    } else {
        file = Ref::borrow(Zv_None);
    }
    return Zv_BuildValue("Os(ssi)", file.get(), buf.c_str(), fdp->suffix, fdp->mode,
                         (int)fdp->type);
}

/* The stream of a file argument (None: no file); false with the error
 * set for anything else. */
bool file_argument(ZvObject *fob, FILE **fp, const char *message)
{
    *fp = nullptr;
    if (fob == nullptr || fob == Zv_None) return true;
    if (files_available()) *fp = ZvFile_AsFile(fob);
    else ZvErr_Clear();
    if (*fp != nullptr) return true;
    ZvErr_SetString(ZvExc_ValueError, message);
    return false;
}

ZvObject *imp_load_module(ZvObject *, ZvObject *args)
{
    const char *name, *pathname, *suffix, *mode;
    int type;
    ZvObject *fob;
    if (!ZvArg_ParseTuple(args, "sOs(ssi):load_module", &name, &fob, &pathname, &suffix, &mode,
                          &type))
        return nullptr;
    if (*mode != '\0' && ((mode[0] != 'r' && mode[0] != 'U') || strchr(mode, '+') != nullptr)) {
        ZvErr_Format(ZvExc_ValueError, "invalid file open mode %.200s", mode);
        return nullptr;
    }
    FILE *fp;
    if (!file_argument(fob, &fp, "load_module arg#2 should be a file or None")) return nullptr;
    return load_module(name, fp, pathname, type, nullptr);
}

/* The stream for load_source and friends: the given file's, or the path
 * opened in `mode` (closed by the caller when *opened). */
FILE *open_for_load(const char *pathname, ZvObject *fob, const char *mode, bool *opened)
{
    *opened = false;
    if (fob != nullptr) {
        FILE *fp = files_available() ? ZvFile_AsFile(fob) : nullptr;
        if (fp == nullptr) {
            ZvErr_Clear();
            ZvErr_SetString(ZvExc_ValueError, "bad/closed file object");
        }
        return fp;
    }
    FILE *fp = fopen(pathname, mode);
    if (fp == nullptr) {
        ZvErr_SetFromErrno(ZvExc_IOError);
        return nullptr;
    }
    *opened = true;
    return fp;
}

typedef ZvObject *(*file_loader)(const char *name, const char *pathname, FILE *fp);

ZvObject *load_with(ZvObject *args, const char *format, const char *mode, file_loader load)
{
    const char *name, *pathname;
    ZvObject *fob = nullptr;
    if (!ZvArg_ParseTuple(args, format, &name, &pathname, &ZvFile_Type, &fob)) return nullptr;
    bool opened;
    FILE *fp = open_for_load(pathname, fob, mode, &opened);
    if (fp == nullptr) return nullptr;
    ZvObject *m = load(name, pathname, fp);
    if (opened) fclose(fp);
    return m;
}

ZvObject *imp_load_source(ZvObject *, ZvObject *args)
{
    return load_with(args, "ss|O!:load_source", "r", load_source_module);
}

ZvObject *imp_load_compiled(ZvObject *, ZvObject *args)
{
    return load_with(args, "ss|O!:load_compiled", "rb", load_compiled_module);
}

ZvObject *imp_load_dynamic(ZvObject *, ZvObject *args)
{
    const char *name, *pathname;
    ZvObject *fob = nullptr;
    if (!ZvArg_ParseTuple(args, "ss|O!:load_dynamic", &name, &pathname, &ZvFile_Type,
                          &fob))
        return nullptr;
    FILE *fp = nullptr;
    if (fob != nullptr) {
        bool opened;
        fp = open_for_load(pathname, fob, "r", &opened);
        if (fp == nullptr) return nullptr;
    }
    return _ZvImport_LoadDynamicModule(name, pathname, fp);
}

ZvObject *imp_load_package(ZvObject *, ZvObject *args)
{
    const char *name, *pathname;
    if (!ZvArg_ParseTuple(args, "ss:load_package", &name, &pathname)) return nullptr;
    return load_package(name, pathname);
}

ZvObject *imp_new_module(ZvObject *, ZvObject *args)
{
    const char *name;
    if (!ZvArg_ParseTuple(args, "s:new_module", &name)) return nullptr;
    return ZvModule_New(name);
}

/* The module now in sys.modules after init_builtin / init_frozen, None
 * when the name is not in the table. */
ZvObject *initialized_module(const char *name, int ret)
{
    if (ret < 0) return nullptr;
    if (ret == 0) Zv_RETURN_NONE;
    ZvObject *m = ZvImport_AddModule(name);
    Zv_XINCREF(m);
    return m;
}

ZvObject *imp_init_builtin(ZvObject *, ZvObject *args)
{
    const char *name;
    if (!ZvArg_ParseTuple(args, "s:init_builtin", &name)) return nullptr;
    return initialized_module(name, init_builtin(name));
}

ZvObject *imp_init_frozen(ZvObject *, ZvObject *args)
{
    const char *name;
    if (!ZvArg_ParseTuple(args, "s:init_frozen", &name)) return nullptr;
    return initialized_module(name, ZvImport_ImportFrozenModule(name));
}

ZvObject *imp_is_builtin(ZvObject *, ZvObject *args)
{
    const char *name;
    if (!ZvArg_ParseTuple(args, "s:is_builtin", &name)) return nullptr;
    int found = find_builtin(name);
    return ZvInt_FromLong(found < 0 ? 0 : found == 0 ? -1 : 1);
}

ZvObject *imp_is_frozen(ZvObject *, ZvObject *args)
{
    const char *name;
    if (!ZvArg_ParseTuple(args, "s:is_frozen", &name)) return nullptr;
    return ZvBool_FromLong(find_frozen(name) != nullptr);
}

ZvObject *imp_get_frozen_object(ZvObject *, ZvObject *args)
{
    const char *name;
    if (!ZvArg_ParseTuple(args, "s:get_frozen_object", &name)) return nullptr;
    const _frozen *p = find_frozen(name);
    if (p == nullptr) {
        ZvErr_Format(ZvExc_ImportError, "No such frozen object named %.200s", name);
        return nullptr;
    }
    if (p->code == nullptr) {
        ZvErr_Format(ZvExc_ImportError, "Excluded frozen object named %.200s", name);
        return nullptr;
    }
    int size = p->size < 0 ? -p->size : p->size;
    return ZvMarshal_ReadObjectFromString((const char *)p->code, size);
}

ZvObject *imp_lock_held(ZvObject *, ZvObject *) { return ZvBool_FromLong(import_lock_held()); }

ZvObject *imp_acquire_lock(ZvObject *, ZvObject *)
{
    lock_import();
    Zv_RETURN_NONE;
}

ZvObject *imp_release_lock(ZvObject *, ZvObject *)
{
    if (unlock_import() < 0) {
        ZvErr_SetString(ZvExc_RuntimeError, "not holding the import lock");
        return nullptr;
    }
    Zv_RETURN_NONE;
}

ZvMethodDef imp_methods[] = {
    {"find_module", imp_find_module, METH_VARARGS,
     "find_module(name, [path]) -> (file, filename, (suffix, mode, type))"},
    {"get_magic", imp_get_magic, METH_NOARGS, "get_magic() -> string"},
    {"get_suffixes", imp_get_suffixes, METH_NOARGS, "get_suffixes() -> [(suffix, mode, type), ...]"},
    {"load_module", imp_load_module, METH_VARARGS,
     "load_module(name, file, filename, (suffix, mode, type)) -> module"},
    {"new_module", imp_new_module, METH_VARARGS, "new_module(name) -> module"},
    {"lock_held", imp_lock_held, METH_NOARGS, "lock_held() -> boolean"},
    {"acquire_lock", imp_acquire_lock, METH_NOARGS, "acquire_lock() -> None"},
    {"release_lock", imp_release_lock, METH_NOARGS, "release_lock() -> None"},
    {"get_frozen_object", imp_get_frozen_object, METH_VARARGS, nullptr},
    {"init_builtin", imp_init_builtin, METH_VARARGS, nullptr},
    {"init_frozen", imp_init_frozen, METH_VARARGS, nullptr},
    {"is_builtin", imp_is_builtin, METH_VARARGS, nullptr},
    {"is_frozen", imp_is_frozen, METH_VARARGS, nullptr},
    {"load_compiled", imp_load_compiled, METH_VARARGS, nullptr},
    {"load_dynamic", imp_load_dynamic, METH_VARARGS, nullptr},
    {"load_package", imp_load_package, METH_VARARGS, nullptr},
    {"load_source", imp_load_source, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char imp_doc[] =
    "This module provides the components needed to build your own\n"
    "__import__ function.  Undocumented functions are obsolete.";

} // namespace

void zv::imp::initimp()
{
    ZvObject *m = Zv_InitModule4("imp", imp_methods, imp_doc, nullptr, ZUVO_API_VERSION);
    if (m == nullptr) return;
    static const struct {
        const char *name;
        int value;
    } kinds[] = {
        {"SEARCH_ERROR", SEARCH_ERROR}, {"ZV_SOURCE", ZV_SOURCE},
        {"ZV_COMPILED", ZV_COMPILED},   {"C_EXTENSION", C_EXTENSION},
        {"ZV_RESOURCE", ZV_RESOURCE},   {"PKG_DIRECTORY", PKG_DIRECTORY},
        {"C_BUILTIN", C_BUILTIN},       {"ZV_FROZEN", ZV_FROZEN},
        {"ZV_CODERESOURCE", ZV_CODERESOURCE}, {"IMP_HOOK", IMP_HOOK},
    };
    for (const auto &k : kinds)
        if (ZvModule_AddIntConstant(m, k.name, k.value) < 0) return;
}
