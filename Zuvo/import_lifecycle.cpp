/* The import system's start-up and shut-down.
 *
 * Start-up fixes the file table and the magic number for the flags in
 * force, then (once the exceptions exist) installs the hook lists in sys.
 * Shut-down empties the modules in an order that lets each module's code
 * still find what it commonly uses while it is torn down: __main__ first,
 * then whatever nothing else refers to, then the rest, and sys and
 * __builtin__ last.  A module is "deleted" by clearing its dictionary
 * (its names become None) and replacing its sys.modules entry by None. */
#include "import_internal.h"

#include <string.h>

using zv::Ref;
using namespace zv::imp;

namespace {


/* __import__ and reload for a builtins module that lacks them. */
ZvObject *builtin___import__(ZvObject *, ZvObject *args)
{
    const char *name;
    ZvObject *globals = nullptr, *locals = nullptr, *fromlist = nullptr;
    if (!ZvArg_ParseTuple(args, "s|OOO:__import__", &name, &globals, &locals, &fromlist))
        return nullptr;
    return ZvImport_ImportModuleEx(name, globals, locals, fromlist);
}

ZvObject *builtin_reload(ZvObject *, ZvObject *v) { return ZvImport_ReloadModule(v); }

ZvMethodDef import_builtins[] = {
    {"__import__", builtin___import__, METH_VARARGS,
     "__import__(name, globals, locals, fromlist) -> module"},
    {"reload", builtin_reload, METH_O, "reload(module) -> module"},
    {nullptr, nullptr, 0, nullptr},
};

/* The builtins module gets the import functions unless it has its own. */
void add_import_builtins(ZvObject *builtins)
{
    for (ZvMethodDef *def = import_builtins; def->ml_name != nullptr; def++) {
        if (ZvDict_GetItemString(builtins, def->ml_name) != nullptr) continue;
        Ref f(ZvCFunction_NewEx(def, nullptr, nullptr));
        if (!f || ZvDict_SetItemString(builtins, def->ml_name, f.get()) < 0)
            Zv_FatalError("can't initialize the import functions");
    }
}

/* Until the search-path computation fills sys.path at start-up, the
 * library directory of the source tree this runtime was built from is
 * the whole path. */
void default_search_path()
{
    if (ZvSys_GetObject("path") != nullptr) return;
#ifdef ZUVO_SOURCE_LIB
    Ref path(Zv_BuildValue("[s]", ZUVO_SOURCE_LIB));
#else
    Ref path(ZvList_New(0));
#endif
    if (!path || ZvSys_SetObject("path", path.get()) < 0) Zv_FatalError("can't create sys.path");
}

/* --- shut-down ---------------------------------------------------------------------- */

const char *const sys_deletes[] = {
    "path", "argv", "ps1", "ps2", "exitfunc", "exc_type", "exc_value", "exc_traceback",
    "last_type", "last_value", "last_traceback", "path_hooks", "path_importer_cache",
    "meta_path", nullptr,
};
const char *const sys_files[] = {"stdin", "__stdin__", "stdout", "__stdout__",
                                 "stderr", "__stderr__", nullptr};

void delete_module(ZvObject *modules, ZvObject *key, ZvObject *value)
{
    Ref hold = Ref::borrow(value);
    Ref name = Ref::borrow(key);
    _ZvModule_Clear(value);
    if (ZvDict_SetItem(modules, name.get(), Zv_None) < 0) ZvErr_Clear();
}

void delete_named(ZvObject *modules, const char *name, const char *message)
{
    ZvObject *value = ZvDict_GetItemString(modules, name);
    if (value == nullptr || !ZvModule_Check(value)) return;
    trace(1, message, name);
    Ref key(ZvString_FromString(name));
    if (key) delete_module(modules, key.get(), value);
    else ZvErr_Clear();
}

bool spared(const char *name) { return strcmp(name, "__builtin__") == 0 || strcmp(name, "sys") == 0; }

/* One pass over the modules: deletes those other than sys and __builtin__
 * (only the unreferenced ones when `only_unused`); the number deleted. */
int delete_pass(ZvObject *modules, bool only_unused)
{
    Ref keys(ZvDict_Keys(modules));
    if (!keys) {
        ZvErr_Clear();
        return 0;
    }
    int ndone = 0;
    for (int i = 0; i < ZvList_GET_SIZE(keys.get()); i++) {
        ZvObject *key = ZvList_GET_ITEM(keys.get(), i);
        ZvObject *value = ZvDict_GetItem(modules, key);
        if (value == nullptr || !ZvString_Check(key) || !ZvModule_Check(value)) continue;
        if (only_unused && Zv_REFCNT(value) != 1) continue;
        const char *name = ZvString_AS_STRING(key);
        if (spared(name)) continue;
        trace(1, only_unused ? "# cleanup[1] %s\n" : "# cleanup[2] %s\n", name);
        delete_module(modules, key, value);
        ndone++;
    }
    return ndone;
}

void clear_sys(ZvObject *modules)
{
    /* Held: the values replaced below may have finalizers. */
    Ref sys = Ref::borrow(ZvDict_GetItemString(modules, "sys"));
    if (!sys || !ZvModule_Check(sys.get())) return;
    Ref dict = Ref::borrow(ZvModule_GetDict(sys.get()));
    for (const char *const *p = sys_deletes; *p != nullptr; p++) {
        trace(1, "# clear sys.%s\n", *p);
        if (ZvDict_SetItemString(dict.get(), *p, Zv_None) < 0) ZvErr_Clear();
    }
    for (const char *const *p = sys_files; *p != nullptr; p += 2) {
        trace(1, "# restore sys.%s\n", p[0]);
        ZvObject *v = ZvDict_GetItemString(dict.get(), p[1]);
        if (ZvDict_SetItemString(dict.get(), p[0], v != nullptr ? v : Zv_None) < 0) ZvErr_Clear();
    }
}

} // namespace

extern "C" {

void _ZvImport_Init(void)
{
    init_filetab();
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;
    if (interp->builtins != nullptr) add_import_builtins(interp->builtins);
    default_search_path();
    if (ZvSys_GetObject("builtin_module_names") == nullptr) {
        Ref names(builtin_module_names());
        if (!names || ZvSys_SetObject("builtin_module_names", names.get()) < 0)
            Zv_FatalError("can't initialize sys.builtin_module_names");
    }
}

void _ZvImport_Fini(void)
{
    clear_extensions();
}

void _ZvImportHooks_Init(void)
{
    trace(1, "# installing zipimport hook\n");
    Ref meta_path(ZvList_New(0)), cache(ZvDict_New()), hooks(ZvList_New(0));
    if (!meta_path || !cache || !hooks || ZvSys_SetObject("meta_path", meta_path.get()) < 0 ||
        ZvSys_SetObject("path_importer_cache", cache.get()) < 0 ||
        ZvSys_SetObject("path_hooks", hooks.get()) < 0) {
        ZvErr_Clear();
        Zv_FatalError("initializing sys.meta_path, sys.path_hooks or path_importer_cache failed");
    }
    Ref zipimport(ZvImport_ImportModule("zipimport"));
    if (!zipimport) {
        ZvErr_Clear();
        trace(1, "# can't import zipimport\n");
        return;
    }
    Ref zipimporter(ZvObject_GetAttrString(zipimport.get(), "zipimporter"));
    if (!zipimporter) {
        ZvErr_Clear();
        trace(1, "# can't import zipimport.zipimporter\n");
        return;
    }
    if (ZvList_Append(hooks.get(), zipimporter.get()) < 0) {
        ZvErr_Clear();
        return;
    }
    trace(1, "# installed zipimport hook\n");
}

void ZvImport_Cleanup(void)
{
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;
    Ref modules = Ref::borrow(interp->modules);
    if (!modules) return;

    ZvObject *builtin = ZvDict_GetItemString(modules.get(), "__builtin__");
    if (builtin != nullptr && ZvModule_Check(builtin)) {
        trace(1, "# clear __builtin__._\n");
        if (ZvDict_SetItemString(ZvModule_GetDict(builtin), "_", Zv_None) < 0) ZvErr_Clear();
    }
    clear_sys(modules.get());
    delete_named(modules.get(), "__main__", "# cleanup %s\n");
    while (delete_pass(modules.get(), true) > 0) {
    }
    delete_pass(modules.get(), false);
    delete_named(modules.get(), "sys", "# cleanup %s\n");
    delete_named(modules.get(), "__builtin__", "# cleanup %s\n");
    ZvDict_Clear(modules.get());
    Zv_CLEAR(interp->modules);
}

} // extern "C"
