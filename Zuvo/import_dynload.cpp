/* Native extension modules: shared libraries loaded with dlopen.
 *
 * A library NAME.so or NAMEmodule.so exports `initNAME`, which creates the
 * module with Zv_InitModule4.  The module's dictionary is kept in the
 * extension store under the file name, so a second import of the same file
 * (from another interpreter, or after the module was removed from
 * sys.modules) restores the copy instead of running the init function
 * again.  Libraries are never unloaded: their functions may be referenced
 * from anywhere. */
#include "import_internal.h"

#include <dlfcn.h>
#include <string.h>

using zv::Ref;
using namespace zv::imp;

namespace {

typedef void (*initfunc_t)(void);

/* The init function of the library at `pathname`; NULL with ImportError
 * when the library cannot be loaded or lacks the function. */
initfunc_t get_init_function(const char *shortname, const char *pathname)
{
    int flags = ZvThreadState_Get()->interp->dlopenflags;
    /* A name without '/' (found through the empty sys.path entry, the
     * current directory) would send dlopen to the library search path. */
    std::string path = strchr(pathname, '/') != nullptr ? pathname : std::string("./") + pathname;
    void *handle = dlopen(path.c_str(), flags != 0 ? flags : RTLD_NOW);
    if (handle == nullptr) {
        const char *why = dlerror();
        ZvErr_Format(ZvExc_ImportError, "Failure linking new module: %.200s: %.400s", pathname,
                     why != nullptr ? why : "unknown error");
        return nullptr;
    }
    std::string funcname = std::string("init") + shortname;
    initfunc_t p = (initfunc_t)dlsym(handle, funcname.c_str());
    if (p == nullptr)
        ZvErr_Format(ZvExc_ImportError, "dynamic module does not define init function (init%.200s)",
                     shortname);
    return p;
}

} // namespace

extern "C" ZvObject *_ZvImport_LoadDynamicModule(const char *name, const char *pathname,
                                                 FILE *fp)
{
    (void)fp;
    ZvObject *known = _ZvImport_FindExtension(name, pathname);
    if (known != nullptr) {
        Zv_INCREF(known);
        return known;
    }
    if (ZvErr_Occurred()) return nullptr;
    const char *lastdot = strrchr(name, '.');
    const char *shortname = lastdot != nullptr ? lastdot + 1 : name;
    if (strlen(shortname) > 200) {
        ZvErr_SetString(ZvExc_ImportError, "module name is too long");
        return nullptr;
    }
    initfunc_t init = get_init_function(shortname, pathname);
    if (init == nullptr) return nullptr;

    /* Inside a package the module's real name is the dotted one, which
     * Zv_InitModule4 takes from here. */
    const char *oldcontext = _Zv_PackageContext;
    _Zv_PackageContext = lastdot != nullptr ? name : nullptr;
    (*init)();
    _Zv_PackageContext = oldcontext;
    if (ZvErr_Occurred()) return nullptr;

    if (_ZvImport_FixupExtension(name, pathname) == nullptr) return nullptr;
    ZvObject *m = ZvDict_GetItemString(ZvImport_GetModuleDict(), name);
    if (m == nullptr) {
        ZvErr_SetString(ZvExc_SystemError, "dynamic module not initialized properly");
        return nullptr;
    }
    if (ZvModule_Check(m)) {
        Ref file(ZvString_FromString(pathname));
        if (!file || ZvDict_SetItemString(ZvModule_GetDict(m), "__file__", file.get()) < 0)
            ZvErr_Clear();
    }
    trace(1, "import %s # dynamically loaded from %s\n", name, pathname);
    Zv_INCREF(m);
    return m;
}
