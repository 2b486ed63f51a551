/* Finding a module and choosing its loader.
 *
 * The search asks, in order: the meta-path hooks, the built-in table, the
 * frozen table, then each directory of the search path (sys.path, or a
 * package's __path__).  For a directory entry a path hook may supply an
 * importer (cached per entry in sys.path_importer_cache, None meaning the
 * plain file search); otherwise the entry is searched for a package
 * directory holding an __init__ module, then for a file with each suffix
 * of the file table in turn.  The result is a file descriptor record
 * saying what kind of module was found, with the path in a buffer and the
 * open file for the loader. */
#include "import_internal.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

using zv::Ref;
using namespace zv::imp;

/* --- the file table ------------------------------------------------------------- */

namespace {

/* Shared libraries first, then source, then bytecode ("U": universal
 * newlines, which text mode gives on this platform).  The bytecode suffix
 * follows -O when the table is built. */
filedescr filetab[] = {
    {".so", "rb", C_EXTENSION},
    {"module.so", "rb", C_EXTENSION},
    {".zv", "U", ZV_SOURCE},
    {".zvc", "rb", ZV_COMPILED},
    {nullptr, nullptr, SEARCH_ERROR},
};
constexpr size_t MAXSUFFIXSIZE = 9; /* "module.so" */

filedescr fd_frozen = {"", "", ZV_FROZEN};
filedescr fd_builtin = {"", "", C_BUILTIN};
filedescr fd_package = {"", "", PKG_DIRECTORY};
filedescr importhookdescr = {"", "", IMP_HOOK};

constexpr long MAGIC = 62061 | ((long)'\r' << 16) | ((long)'\n' << 24);
long zvc_magic = MAGIC;

const char *fopen_mode(const char *mode) { return mode[0] == 'U' ? "r" : mode; }

} // namespace

extern "C" {
filedescr *_ZvImport_Filetab = filetab;
}

long zv::imp::magic() { return zvc_magic; }
void zv::imp::init_filetab()
{
    for (filedescr *fdp = filetab; fdp->suffix != nullptr; fdp++)
        if (fdp->type == ZV_COMPILED) fdp->suffix = Zv_OptimizeFlag ? ".zvo" : ".zvc";
    zvc_magic = Zv_UnicodeFlag ? MAGIC + 1 : MAGIC;
}


/* --- the built-in and frozen tables --------------------------------------------------- */

namespace {

/* Whatever exists of the built-in modules, in the table's order.  The
 * modules start-up makes itself have no init function: they cannot be made
 * a second time. */
_inittab builtin_table[] = {
    {"marshal", ZvMarshal_Init},
    {"imp", zv::imp::initimp},
    {"__main__", nullptr},
    {"__builtin__", nullptr},
    {"sys", nullptr},
    {"exceptions", nullptr},
    {"gc", initgc},
    {nullptr, nullptr},
};
/* Whether ZvImport_Inittab was allocated here (by an append) and so may be
 * reallocated. */
bool inittab_owned = false;

/* The frozen test modules: a greeting, the same code as a package and a
 * submodule of that package.  Their code is compiled on first use. */
_frozen frozen_table[] = {
    {"__hello__", nullptr, 0},
    {"__phello__", nullptr, 0},
    {"__phello__.spam", nullptr, 0},
    {nullptr, nullptr, 0},
};
std::string *hello_code = nullptr;

} // namespace

extern "C" {
_inittab *ZvImport_Inittab = builtin_table;
const _frozen *ZvImport_FrozenModules = frozen_table;

int ZvImport_ExtendInittab(_inittab *newtab)
{
    /* Called before start-up: there is no error indicator to set yet. */
    if (newtab == nullptr) return -1;
    size_t n = 0, add = 0;
    while (ZvImport_Inittab[n].name != nullptr) n++;
    while (newtab[add].name != nullptr) add++;
    if (add == 0) return 0;
    _inittab *table = (_inittab *)malloc((n + add + 1) * sizeof(_inittab));
    if (table == nullptr) return -1;
    memcpy(table, ZvImport_Inittab, n * sizeof(_inittab));
    memcpy(table + n, newtab, (add + 1) * sizeof(_inittab));
    if (inittab_owned) free(ZvImport_Inittab);
    ZvImport_Inittab = table;
    inittab_owned = true;
    return 0;
}

int ZvImport_AppendInittab(const char *name, void (*initfunc)(void))
{
    if (name == nullptr) return -1; /* it would end the table, adding nothing */
    _inittab entry[2] = {{name, initfunc}, {nullptr, nullptr}};
    return ZvImport_ExtendInittab(entry);
}
}

int zv::imp::find_builtin(const char *name)
{
    for (const _inittab *p = ZvImport_Inittab; p->name != nullptr; p++)
        if (strcmp(name, p->name) == 0) return p->initfunc == nullptr ? 0 : 1;
    return -1;
}

ZvObject *zv::imp::builtin_module_names()
{
    Ref list(ZvList_New(0));
    if (!list) return nullptr;
    for (const _inittab *p = ZvImport_Inittab; p->name != nullptr; p++) {
        Ref name(ZvString_FromString(p->name));
        if (!name || ZvList_Append(list.get(), name.get()) < 0) return nullptr;
    }
    if (ZvList_Sort(list.get()) < 0) return nullptr;
    return ZvList_AsTuple(list.get());
}

void zv::imp::init_frozen_table()
{
    if (hello_code != nullptr) return;
    Ref co(Zv_CompileString("print 'Hello world...'\n", "hello.zv", Zv_file_input));
    Ref bytes;
    if (co) bytes.reset(ZvMarshal_WriteObjectToString(co.get(), Zv_MARSHAL_VERSION));
    if (!bytes) {
        /* Left without code the modules read as excluded. */
        ZvErr_Clear();
        return;
    }
    hello_code = new std::string(ZvString_AS_STRING(bytes.get()),
                                 (size_t)ZvString_GET_SIZE(bytes.get()));
    int size = (int)hello_code->size();
    const unsigned char *code = (const unsigned char *)hello_code->data();
    frozen_table[0] = {"__hello__", code, size};
    frozen_table[1] = {"__phello__", code, -size};
    frozen_table[2] = {"__phello__.spam", code, size};
}

const _frozen *zv::imp::find_frozen(const char *name)
{
    if (ZvImport_FrozenModules == frozen_table) init_frozen_table();
    for (const _frozen *p = ZvImport_FrozenModules; p->name != nullptr; p++)
        if (strcmp(p->name, name) == 0) return p;
    return nullptr;
}

/* --- the extension store ---------------------------------------------------------------- */

namespace {
ZvObject *extensions = nullptr;
}

void zv::imp::clear_extensions() { Zv_CLEAR(extensions); }

extern "C" {

ZvObject *_ZvImport_FixupExtension(const char *name, const char *filename)
{
    if (extensions == nullptr) {
        extensions = ZvDict_New();
        if (extensions == nullptr) return nullptr;
    }
    ZvObject *mod = ZvDict_GetItemString(ZvImport_GetModuleDict(), name);
    if (mod == nullptr || !ZvModule_Check(mod)) {
        ZvErr_Format(ZvExc_SystemError, "_ZvImport_FixupExtension: module %.200s not loaded", name);
        return nullptr;
    }
    Ref copy(ZvDict_Copy(ZvModule_GetDict(mod)));
    if (!copy || ZvDict_SetItemString(extensions, filename, copy.get()) < 0) return nullptr;
    return copy.get(); /* the store keeps it */
}

ZvObject *_ZvImport_FindExtension(const char *name, const char *filename)
{
    if (extensions == nullptr) return nullptr;
    Ref dict = Ref::borrow(ZvDict_GetItemString(extensions, filename));
    if (!dict) return nullptr;
    /* Held: the values the copy replaces may have finalizers that take the
     * module out of sys.modules; what is returned is what is there now. */
    Ref mod = Ref::borrow(ZvImport_AddModule(name));
    if (!mod) return nullptr;
    if (ZvDict_Update(ZvModule_GetDict(mod.get()), dict.get()) < 0) return nullptr;
    trace(1, "import %s # previously loaded (%s)\n", name, filename);
    ZvObject *now = ZvDict_GetItemString(ZvImport_GetModuleDict(), name);
    if (now == nullptr)
        ZvErr_Format(ZvExc_ImportError, "Loaded module %.200s not found in sys.modules", name);
    return now;
}

} // extern "C"

/* --- loading built-in and frozen modules ------------------------------------------------------ */

int zv::imp::init_builtin(const char *name)
{
    if (_ZvImport_FindExtension(name, name) != nullptr) return 1;
    if (ZvErr_Occurred()) return -1;
    for (const _inittab *p = ZvImport_Inittab; p->name != nullptr; p++) {
        if (strcmp(name, p->name) != 0) continue;
        if (p->initfunc == nullptr) {
            ZvErr_Format(ZvExc_ImportError, "Cannot re-init internal module %.200s", name);
            return -1;
        }
        trace(1, "import %s # builtin\n", name);
        (*p->initfunc)();
        if (ZvErr_Occurred()) return -1;
        if (_ZvImport_FixupExtension(name, name) == nullptr) return -1;
        return 1;
    }
    return 0;
}

extern "C" int ZvImport_ImportFrozenModule(const char *name)
{
    if (name == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    const _frozen *p = find_frozen(name);
    if (p == nullptr) return 0;
    if (p->code == nullptr) {
        ZvErr_Format(ZvExc_ImportError, "Excluded frozen object named %.200s", name);
        return -1;
    }
    bool ispackage = p->size < 0;
    int size = ispackage ? -p->size : p->size;
    trace(1, "import %s # frozen%s\n", name, ispackage ? " package" : "");
    Ref co(ZvMarshal_ReadObjectFromString((const char *)p->code, size));
    if (!co) return -1;
    if (!ZvCode_Check(co.get())) {
        ZvErr_Format(ZvExc_TypeError, "frozen object %.200s is not a code object", name);
        return -1;
    }
    if (ispackage) {
        ZvObject *m = ZvImport_AddModule(name);
        if (m == nullptr) return -1;
        Ref s(ZvString_InternFromString(name));
        if (!s || ZvDict_SetItemString(ZvModule_GetDict(m), "__path__", s.get()) < 0) return -1;
    }
    Ref m(ZvImport_ExecCodeModuleEx(name, co.get(), "<frozen>"));
    return m ? 1 : -1;
}

/* --- the file search --------------------------------------------------------------------- */

namespace {

bool is_dir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/* Whether the last component of `path` is spelled in the directory exactly
 * so (name plus suffix): on a file system that ignores case, "Foo.zv" must
 * not import as "foo".  ZUVOCASEOK accepts any match. */
bool case_ok(const std::string &path, size_t lastlen)
{
    if (!Zv_IgnoreEnvironmentFlag && getenv("ZUVOCASEOK") != nullptr) return true;
    std::string dir = path.substr(0, path.size() - lastlen);
    /* The current directory (appended: assigning "." trips a false
     * -Wrestrict warning in g++ 12). */
    if (dir.empty()) dir.push_back('.');
    const char *last = path.c_str() + path.size() - lastlen;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return false;
    bool found = false;
    while (struct dirent *e = readdir(d)) {
        if (strlen(e->d_name) == lastlen && memcmp(e->d_name, last, lastlen) == 0) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

/* A directory is a package when it holds __init__.zv or the bytecode of
 * one, spelled in that case. */
bool find_init_module(const std::string &dir)
{
    if (dir.size() >= MAXPATHLEN - 13) return false;
    std::string source = dir + "/__init__.zv";
    if (exists(source) && case_ok(source, 11)) return true;
    std::string compiled = source + (Zv_OptimizeFlag ? "o" : "c");
    return exists(compiled) && case_ok(compiled, 12);
}

/* The importer for one search-path entry: the cached one, else the first
 * path hook that accepts the entry (None when none does).  None is cached
 * before the hooks run, so a hook that imports does not recurse. */
ZvObject *get_path_importer(ZvObject *cache, ZvObject *hooks, ZvObject *entry)
{
    ZvObject *cached = ZvDict_GetItem(cache, entry);
    if (cached != nullptr) {
        Zv_INCREF(cached);
        return cached;
    }
    if (ZvDict_SetItem(cache, entry, Zv_None) < 0) return nullptr;
    Ref importer;
    for (int j = 0; j < ZvList_GET_SIZE(hooks); j++) {
        Ref hook = Ref::borrow(ZvList_GET_ITEM(hooks, j));
        importer.reset(ZvObject_CallFunction(hook.get(), "O", entry));
        if (importer) break;
        if (!ZvErr_ExceptionMatches(ZvExc_ImportError)) return nullptr;
        ZvErr_Clear();
    }
    if (!importer) Zv_RETURN_NONE;
    if (importer.get() != Zv_None && ZvDict_SetItem(cache, entry, importer.get()) < 0)
        return nullptr;
    return importer.release();
}

/* A list attribute of sys the search needs, or NULL with ImportError. */
ZvObject *sys_list(const char *name, const char *message)
{
    ZvObject *v = ZvSys_GetObject(name);
    if (v == nullptr || !ZvList_Check(v)) {
        ZvErr_SetString(ZvExc_ImportError, message);
        return nullptr;
    }
    return v;
}

/* Asks each meta-path hook; 1 with *loader set, 0 none claimed it, -1
 * error. */
int search_meta_path(const char *fullname, ZvObject *path, ZvObject **loader)
{
    Ref meta_path = Ref::borrow(sys_list("meta_path", "sys.meta_path must be a list of import hooks"));
    if (!meta_path) return -1;
    for (int i = 0; i < ZvList_GET_SIZE(meta_path.get()); i++) {
        Ref hook = Ref::borrow(ZvList_GET_ITEM(meta_path.get(), i));
        Ref found(ZvObject_CallMethod(hook.get(), "find_module", "sO", fullname,
                                      path != nullptr ? path : Zv_None));
        if (!found) return -1;
        if (found.get() != Zv_None) {
            *loader = found.release();
            return 1;
        }
    }
    return 0;
}

/* Tries the files for `subname` in one directory: a package directory,
 * then each suffix.  `buf` holds the candidate path without suffix on
 * entry and the path found on success. */
filedescr *search_directory(std::string &buf, size_t namelen, FILE **p_fp)
{
    if (is_dir(buf) && case_ok(buf, namelen) && find_init_module(buf)) return &fd_package;
    size_t base = buf.size();
    for (filedescr *fdp = _ZvImport_Filetab; fdp->suffix != nullptr; fdp++) {
        buf.resize(base);
        buf += fdp->suffix;
        trace(2, "# trying %s\n", buf.c_str());
        FILE *fp = fopen(buf.c_str(), fopen_mode(fdp->mode));
        if (fp == nullptr) continue;
        /* A directory opens but cannot be read as a module. */
        struct stat st;
        if (fstat(fileno(fp), &st) == 0 && !S_ISDIR(st.st_mode) &&
            case_ok(buf, namelen + strlen(fdp->suffix))) {
            *p_fp = fp;
            return fdp;
        }
        fclose(fp);
    }
    return nullptr;
}

} // namespace

filedescr *zv::imp::find_module(const char *fullname, const char *subname, ZvObject *path_in,
                                std::string &buf, FILE **p_fp, ZvObject **p_loader)
{
    *p_fp = nullptr;
    size_t namelen = strlen(subname);
    if (namelen > MAXPATHLEN) {
        ZvErr_SetString(ZvExc_OverflowError, "module name is too long");
        return nullptr;
    }
    Ref path = Ref::borrow(path_in);
    if (p_loader != nullptr) {
        *p_loader = nullptr;
        int r = search_meta_path(fullname, path.get(), p_loader);
        if (r < 0) return nullptr;
        if (r > 0) return &importhookdescr;
    }
    if (path && ZvString_Check(path.get())) {
        /* The __path__ of a frozen package: only frozen submodules. */
        if ((size_t)ZvString_GET_SIZE(path.get()) + 1 + namelen >= MAXPATHLEN) {
            ZvErr_SetString(ZvExc_ImportError, "full frozen module name too long");
            return nullptr;
        }
        buf = std::string(ZvString_AS_STRING(path.get())) + "." + subname;
        if (find_frozen(buf.c_str()) != nullptr) return &fd_frozen;
        ZvErr_Format(ZvExc_ImportError, "No frozen submodule named %.200s", buf.c_str());
        return nullptr;
    }
    if (!path) {
        if (find_builtin(fullname) >= 0) {
            buf = fullname;
            return &fd_builtin;
        }
        if (find_frozen(fullname) != nullptr) {
            buf = fullname;
            return &fd_frozen;
        }
        path = Ref::borrow(ZvSys_GetObject("path"));
    }
    if (!path || !ZvList_Check(path.get())) {
        ZvErr_SetString(ZvExc_ImportError, "sys.path must be a list of directory names");
        return nullptr;
    }
    Ref hooks = Ref::borrow(sys_list("path_hooks", "sys.path_hooks must be a list of import hooks"));
    if (!hooks) return nullptr;
    Ref cache = Ref::borrow(ZvSys_GetObject("path_importer_cache"));
    if (!cache || !ZvDict_Check(cache.get())) {
        ZvErr_SetString(ZvExc_ImportError, "sys.path_importer_cache must be a dict");
        return nullptr;
    }

    for (int i = 0; i < ZvList_GET_SIZE(path.get()); i++) {
        Ref entry = Ref::borrow(ZvList_GET_ITEM(path.get(), i));
        if (!ZvString_Check(entry.get())) continue;
        size_t len = (size_t)ZvString_GET_SIZE(entry.get());
        if (len + 2 + namelen + MAXSUFFIXSIZE >= MAXPATHLEN) continue;
        const char *dir = ZvString_AS_STRING(entry.get());
        if (strlen(dir) != len) continue; /* a NUL byte inside */
        if (p_loader != nullptr) {
            Ref importer(get_path_importer(cache.get(), hooks.get(), entry.get()));
            if (!importer) return nullptr;
            if (importer.get() != Zv_None) {
                Ref loader(ZvObject_CallMethod(importer.get(), "find_module", "s", fullname));
                if (!loader) return nullptr;
                if (loader.get() != Zv_None) {
                    *p_loader = loader.release();
                    return &importhookdescr;
                }
                continue;
            }
        }
        /* An empty entry is the current directory: the candidate is the
         * bare name, never "/name" at the root. */
        buf.assign(dir, len);
        if (len > 0 && buf.back() != '/') buf += '/';
        buf += subname;
        filedescr *fdp = search_directory(buf, namelen, p_fp);
        if (fdp != nullptr) return fdp;
    }
    ZvErr_Format(ZvExc_ImportError, "No module named %.200s", subname);
    return nullptr;
}

/* --- loading what was found ---------------------------------------------------------------- */

ZvObject *zv::imp::load_package(const char *name, const char *pathname)
{
    Ref m = Ref::borrow(ZvImport_AddModule(name));
    if (!m) return nullptr;
    trace(1, "import %s # directory %s\n", name, pathname);
    ZvObject *d = ZvModule_GetDict(m.get());
    Ref file(ZvString_FromString(pathname));
    if (!file) return nullptr;
    Ref path(Zv_BuildValue("[O]", file.get()));
    if (!path || ZvDict_SetItemString(d, "__file__", file.get()) < 0 ||
        ZvDict_SetItemString(d, "__path__", path.get()) < 0)
        return nullptr;
    std::string buf;
    FILE *fp = nullptr;
    filedescr *fdp = find_module(name, "__init__", path.get(), buf, &fp, nullptr);
    if (fdp == nullptr) {
        if (!ZvErr_ExceptionMatches(ZvExc_ImportError)) return nullptr;
        ZvErr_Clear();
        return m.release();
    }
    ZvObject *result = load_module(name, fp, buf, fdp->type, nullptr);
    if (fp != nullptr) fclose(fp);
    return result;
}

namespace {

/* Built-in and frozen modules: initialized in place, then read back from
 * sys.modules. */
ZvObject *load_internal(const char *name, int type)
{
    int err = type == C_BUILTIN ? init_builtin(name) : ZvImport_ImportFrozenModule(name);
    const char *kind = type == C_BUILTIN ? "builtin" : "frozen";
    if (err < 0) return nullptr;
    if (err == 0) {
        ZvErr_Format(ZvExc_ImportError, "Purported %s module %.200s not found", kind, name);
        return nullptr;
    }
    ZvObject *m = ZvDict_GetItemString(ZvImport_GetModuleDict(), name);
    if (m == nullptr) {
        ZvErr_Format(ZvExc_ImportError, "%s module %.200s not properly initialized", kind, name);
        return nullptr;
    }
    Zv_INCREF(m);
    return m;
}

} // namespace

ZvObject *zv::imp::load_module(const char *name, FILE *fp, const std::string &pathname, int type,
                               ZvObject *loader)
{
    if ((type == ZV_SOURCE || type == ZV_COMPILED) && fp == nullptr) {
        ZvErr_Format(ZvExc_ValueError, "file object required for import (type code %d)", type);
        return nullptr;
    }
    switch (type) {
    case ZV_SOURCE: return load_source_module(name, pathname.c_str(), fp);
    case ZV_COMPILED: return load_compiled_module(name, pathname.c_str(), fp);
    case C_EXTENSION: return _ZvImport_LoadDynamicModule(name, pathname.c_str(), fp);
    case PKG_DIRECTORY: return load_package(name, pathname.c_str());
    case C_BUILTIN:
    case ZV_FROZEN: return load_internal(pathname.empty() ? name : pathname.c_str(), type);
    case IMP_HOOK:
        if (loader == nullptr) {
            ZvErr_SetString(ZvExc_ImportError, "import hook without loader");
            return nullptr;
        }
        return ZvObject_CallMethod(loader, "load_module", "s", name);
    default:
        ZvErr_Format(ZvExc_ImportError, "Don't know how to import %.200s (type code %d)", name,
                     type);
        return nullptr;
    }
}

/* --- the C API of the search --------------------------------------------------------------- */

extern "C" {

filedescr *_ZvImport_FindModule(const char *name, ZvObject *path, char *buf, size_t buflen,
                                FILE **p_fp, ZvObject **p_loader)
{
    std::string found;
    filedescr *fdp = find_module(name, name, path, found, p_fp, p_loader);
    if (fdp == nullptr) return nullptr;
    if (buf != nullptr && buflen > 0) {
        size_t n = found.size() < buflen - 1 ? found.size() : buflen - 1;
        memcpy(buf, found.data(), n);
        buf[n] = '\0';
    }
    return fdp;
}

int _ZvImport_IsScript(filedescr *fd) { return fd->type == ZV_SOURCE || fd->type == ZV_COMPILED; }

long ZvImport_GetMagicNumber(void) { return zvc_magic; }

} // extern "C"
