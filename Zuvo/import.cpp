/* The import system: dotted names to module objects.
 *
 * Modules live in the interpreter's `modules` dictionary (sys.modules)
 * under their full dotted names; an entry of None records a relative name
 * known to be missing, so the lookup goes straight to the absolute one.
 * `import a.b.c` walks the components left to right, each found inside the
 * package before it (its __path__), binding each submodule into its
 * parent.  The name of the importing module decides the package in which a
 * name is first tried relative to it.
 *
 * The whole of an import runs under the import lock (recursive, per
 * thread), so two threads never load the same module at once.  This file
 * holds the walk, from-lists, reload and running a module's code; the
 * search and the loaders are in import_find.cpp, the .zvc cache in
 * import_cache.cpp. */
#include "import_internal.h"

#include <atomic>
#include <stdarg.h>
#include <string.h>

using zv::Ref;
using namespace zv::imp;

/* --- the import lock ------------------------------------------------------------- */

namespace {

constexpr unsigned long NO_THREAD = (unsigned long)-1;

ZvThread_type_lock import_lock = nullptr;
std::atomic<unsigned long> import_lock_thread{NO_THREAD};
int import_lock_level = 0;

} // namespace

namespace zv::imp {

void lock_import()
{
    unsigned long me = ZvThread_get_thread_ident();
    if (me == NO_THREAD) return;
    if (import_lock == nullptr) {
        import_lock = ZvThread_allocate_lock();
        if (import_lock == nullptr) return;
    }
    if (import_lock_thread == me) {
        import_lock_level++;
        return;
    }
    /* Waiting for another thread's import must not hold the interpreter
     * lock, or that thread could never finish. */
    if (import_lock_thread != NO_THREAD || !ZvThread_acquire_lock(import_lock, NOWAIT_LOCK)) {
        ZvThreadState *ts = ZvEval_SaveThread();
        ZvThread_acquire_lock(import_lock, WAIT_LOCK);
        ZvEval_RestoreThread(ts);
    }
    import_lock_thread = me;
    import_lock_level = 1;
    return;
}

int unlock_import()
{
    unsigned long me = ZvThread_get_thread_ident();
    if (me == NO_THREAD || import_lock == nullptr) return 0;
    if (import_lock_thread != me) return -1;
    if (--import_lock_level == 0) {
        import_lock_thread = NO_THREAD;
        ZvThread_release_lock(import_lock);
    }
    return 1;
}

bool import_lock_held() { return import_lock_thread != NO_THREAD; }

void trace(int level, const char *format, ...)
{
    if (Zv_VerboseFlag < level) return;
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
}

} // namespace zv::imp

/* --- the walk over a dotted name ------------------------------------------------------ */

namespace {

/* The package the importing module belongs to (borrowed; None when there
 * is none), and its name in `buf`.  A package's own code imports relative
 * to itself; a module relative to the package holding it.  A parent name
 * that is not (or no longer) in sys.modules means no parent: searching the
 * top level under a dotted name would load a module under the wrong name. */
ZvObject *get_parent(ZvObject *globals, std::string &buf)
{
    buf.clear();
    if (globals == nullptr || !ZvDict_Check(globals)) return Zv_None;
    /* Held: the lookup of __path__ below may run a key's __eq__. */
    Ref modname = Ref::borrow(ZvDict_GetItemString(globals, "__name__"));
    if (!modname || !ZvString_Check(modname.get())) return Zv_None;
    const char *text = ZvString_AS_STRING(modname.get());
    size_t len = (size_t)ZvString_GET_SIZE(modname.get());
    if (ZvDict_GetItemString(globals, "__path__") == nullptr) {
        const char *lastdot = strrchr(text, '.');
        if (lastdot == nullptr) return Zv_None;
        len = (size_t)(lastdot - text);
    }
    if (len >= MAXPATHLEN) {
        ZvErr_SetString(ZvExc_ValueError, "Module name too long");
        return nullptr;
    }
    buf.assign(text, len);
    ZvObject *parent = ZvDict_GetItemString(ZvImport_GetModuleDict(), buf.c_str());
    if (parent == nullptr || parent == Zv_None) {
        buf.clear();
        return Zv_None;
    }
    return parent;
}

/* Binds a freshly imported submodule into its parent package.  After a
 * failed load the module may still be in sys.modules (a module that
 * replaced itself): that is what gets bound. */
bool add_submodule(ZvObject *mod, ZvObject *submod, const char *fullname, const char *subname)
{
    if (mod == Zv_None) return true;
    Ref sub = Ref::borrow(submod);
    if (!sub) {
        sub = Ref::borrow(ZvDict_GetItemString(ZvImport_GetModuleDict(), fullname));
        if (!sub) return true;
    }
    if (ZvModule_Check(mod)) {
        ZvObject *dict = ZvModule_GetDict(mod);
        return dict != nullptr && ZvDict_SetItemString(dict, subname, sub.get()) == 0;
    }
    return ZvObject_SetAttrString(mod, subname, sub.get()) == 0;
}

/* Imports `subname` inside `mod` (None: the top level) as `fullname`; a new
 * reference, None when it is not there, NULL on error. */
ZvObject *import_submodule(ZvObject *mod, const char *subname, const char *fullname)
{
    ZvObject *known = ZvDict_GetItemString(ZvImport_GetModuleDict(), fullname);
    if (known != nullptr) {
        Zv_INCREF(known);
        return known;
    }
    Ref path;
    if (mod != Zv_None) {
        path.reset(ZvObject_GetAttrString(mod, "__path__"));
        if (!path) {
            /* Not a package: it has no submodules. */
            ZvErr_Clear();
            Zv_RETURN_NONE;
        }
    }
    std::string buf;
    FILE *fp = nullptr;
    ZvObject *loader_out = nullptr;
    filedescr *fdp = find_module(fullname, subname, path.get(), buf, &fp, &loader_out);
    Ref loader(loader_out);
    if (fdp == nullptr) {
        if (!ZvErr_ExceptionMatches(ZvExc_ImportError)) return nullptr;
        ZvErr_Clear();
        Zv_RETURN_NONE;
    }
    Ref m(load_module(fullname, fp, buf, fdp->type, loader.get()));
    if (fp != nullptr) fclose(fp);
    if (!add_submodule(mod, m.get(), fullname, subname)) return nullptr;
    return m.release();
}

/* Records that a name relative to a package is not there, so the next
 * import of it from that package goes straight to the absolute name. */
int mark_miss(const std::string &name)
{
    return ZvDict_SetItemString(ZvImport_GetModuleDict(), name.c_str(), Zv_None);
}

/* Imports the next component of *p_name inside `mod` (altmod: the module
 * whose absolute fallback applies, differing from mod only for the first
 * component under a package).  Advances *p_name past the component and its
 * dot (NULL at the end) and appends it to `buf`. */
ZvObject *load_next(ZvObject *mod, ZvObject *altmod, const char **p_name, std::string &buf)
{
    const char *name = *p_name;
    const char *dot = strchr(name, '.');
    size_t len = dot != nullptr ? (size_t)(dot - name) : strlen(name);
    if (len == 0) {
        ZvErr_SetString(ZvExc_ValueError, "Empty module name");
        return nullptr;
    }
    if (buf.size() + (buf.empty() ? 0 : 1) + len >= MAXPATHLEN) {
        ZvErr_SetString(ZvExc_ValueError, "Module name too long");
        return nullptr;
    }
    std::string component(name, len);
    if (!buf.empty()) buf += '.';
    buf += component;

    Ref result(import_submodule(mod, component.c_str(), buf.c_str()));
    if (result && result.get() == Zv_None && altmod != mod) {
        result.reset(import_submodule(Zv_None, component.c_str(), component.c_str()));
        if (result && result.get() != Zv_None) {
            if (mark_miss(buf) != 0) return nullptr;
            buf = component;
        }
    }
    if (!result) return nullptr;
    if (result.get() == Zv_None) {
        ZvErr_Format(ZvExc_ImportError, "No module named %.200s", name);
        return nullptr;
    }
    *p_name = dot != nullptr ? dot + 1 : nullptr;
    return result.release();
}

/* Makes sure every name of a from-list is there when `mod` is a package:
 * names it lacks are imported as its submodules.  A submodule that is not
 * found is no error here (the name error comes from the import-from
 * instruction); a failing import is. */
bool ensure_fromlist(ZvObject *mod, ZvObject *fromlist, const std::string &buf, bool recursive)
{
    if (!ZvObject_HasAttrString(mod, "__path__")) return true;
    for (int i = 0;; i++) {
        Ref item(ZvSequence_GetItem(fromlist, i));
        if (!item) {
            if (!ZvErr_ExceptionMatches(ZvExc_IndexError)) return false;
            ZvErr_Clear();
            return true;
        }
        if (!ZvString_Check(item.get())) {
            ZvErr_SetString(ZvExc_TypeError, "Item in ``from list'' not a string");
            return false;
        }
        const char *text = ZvString_AS_STRING(item.get());
        if (text[0] == '*') {
            if (recursive) continue;
            Ref all(ZvObject_GetAttrString(mod, "__all__"));
            if (!all) {
                ZvErr_Clear();
                continue;
            }
            if (!ensure_fromlist(mod, all.get(), buf, true)) return false;
            continue;
        }
        if (ZvObject_HasAttr(mod, item.get())) continue;
        if (buf.size() + 1 + (size_t)ZvString_GET_SIZE(item.get()) >= MAXPATHLEN) {
            ZvErr_SetString(ZvExc_ValueError, "Module name too long");
            return false;
        }
        std::string subname(text, (size_t)ZvString_GET_SIZE(item.get()));
        std::string fullname = buf + "." + subname;
        Ref submod(import_submodule(mod, subname.c_str(), fullname.c_str()));
        if (!submod) return false;
    }
}

ZvObject *import_module_ex(const char *name, ZvObject *globals, ZvObject *fromlist)
{
    if (strlen(name) > MAXPATHLEN) {
        ZvErr_SetString(ZvExc_ValueError, "Module name too long");
        return nullptr;
    }
    std::string buf;
    Ref parent = Ref::borrow(get_parent(globals, buf));
    if (!parent) return nullptr;
    Ref head(load_next(parent.get(), Zv_None, &name, buf));
    if (!head) return nullptr;
    Ref tail = Ref::borrow(head.get());
    while (name != nullptr) {
        Ref next(load_next(tail.get(), tail.get(), &name, buf));
        if (!next) return nullptr;
        tail = std::move(next);
    }
    int wanted = 0;
    if (fromlist != nullptr && fromlist != Zv_None) {
        wanted = ZvObject_IsTrue(fromlist);
        if (wanted < 0) return nullptr;
    }
    if (!wanted) return head.release();
    if (!ensure_fromlist(tail.get(), fromlist, buf, false)) return nullptr;
    return tail.release();
}

/* Takes a module out of sys.modules after its code failed. */
void remove_module(const char *name)
{
    ZvObject *modules = ZvImport_GetModuleDict();
    if (ZvDict_GetItemString(modules, name) == nullptr) return;
    if (ZvDict_DelItemString(modules, name) < 0)
        Zv_FatalError("import:  deleting existing key insys.modules failed");
}

} // namespace

/* --- the C API ------------------------------------------------------------------ */

extern "C" {

ZvObject *ZvImport_GetModuleDict(void)
{
    /* Called before start-up this is a fatal error, not a crash. */
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;
    if (interp->modules == nullptr) Zv_FatalError("ZvImport_GetModuleDict: no module dictionary!");
    return interp->modules;
}

ZvObject *ZvImport_AddModule(const char *name)
{
    ZvObject *modules = ZvImport_GetModuleDict();
    ZvObject *m = ZvDict_GetItemString(modules, name);
    if (m != nullptr && ZvModule_Check(m)) return m;
    m = ZvModule_New(name);
    if (m == nullptr) return nullptr;
    if (ZvDict_SetItemString(modules, name, m) != 0) {
        Zv_DECREF(m);
        return nullptr;
    }
    Zv_DECREF(m); /* sys.modules holds the reference */
    return m;
}

ZvObject *ZvImport_ImportModuleEx(const char *name, ZvObject *globals, ZvObject *locals,
                                  ZvObject *fromlist)
{
    (void)locals;
    if (name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    lock_import();
    ZvObject *result = import_module_ex(name, globals, fromlist);
    if (unlock_import() < 0) {
        Zv_XDECREF(result);
        ZvErr_SetString(ZvExc_RuntimeError, "not holding the import lock");
        return nullptr;
    }
    return result;
}

ZvObject *ZvImport_Import(ZvObject *module_name)
{
    if (module_name == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    Ref globals = Ref::borrow(ZvEval_GetGlobals());
    Ref builtins;
    if (globals) {
        Ref key(ZvString_InternFromString("__builtins__"));
        if (!key) return nullptr;
        builtins.reset(ZvObject_GetItem(globals.get(), key.get()));
        if (!builtins) return nullptr;
    } else {
        /* No code is running: use __builtin__ itself and fake globals. */
        ZvErr_Clear();
        builtins.reset(ZvImport_ImportModuleEx("__builtin__", nullptr, nullptr, nullptr));
        if (!builtins) return nullptr;
        globals.reset(Zv_BuildValue("{sO}", "__builtins__",
                                    builtins.get()));
        if (!globals) return nullptr;
    }
    Ref import;
    if (ZvDict_Check(builtins.get())) {
        import = Ref::borrow(ZvDict_GetItemString(builtins.get(), "__import__"));
        if (!import) {
            ZvErr_SetString(ZvExc_KeyError, "__import__");
            return nullptr;
        }
    } else {
        import.reset(ZvObject_GetAttrString(builtins.get(), "__import__"));
        if (!import) return nullptr;
    }
    /* A non-empty from-list makes __import__ return the last component. */
    Ref fromlist(Zv_BuildValue("[s]", "__doc__"));
    if (!fromlist) return nullptr;
    return ZvObject_CallFunction(import.get(), "OOOO", module_name, globals.get(), globals.get(),
                                 fromlist.get());
}

ZvObject *ZvImport_ImportModule(const char *name)
{
    Ref s(ZvString_FromString(name));
    if (!s) return nullptr;
    return ZvImport_Import(s.get());
}

ZvObject *ZvImport_ExecCodeModule(const char *name, ZvObject *co)
{
    return ZvImport_ExecCodeModuleEx(name, co, nullptr);
}

ZvObject *ZvImport_ExecCodeModuleEx(const char *name, ZvObject *co, const char *pathname)
{
    /* Checked first: a refused call must not leave an empty module in
     * sys.modules under the name. */
    if (co == nullptr || !ZvCode_Check(co)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    Ref m = Ref::borrow(ZvImport_AddModule(name));
    if (!m) return nullptr;
    Ref d = Ref::borrow(ZvModule_GetDict(m.get()));
    if (ZvDict_GetItemString(d.get(), "__builtins__") == nullptr &&
        ZvDict_SetItemString(d.get(), "__builtins__", ZvEval_GetBuiltins()) != 0)
        return nullptr;
    Ref file;
    if (pathname != nullptr) {
        file.reset(ZvString_FromString(pathname));
    } else {
        file = Ref::borrow(((ZvCodeObject *)co)->co_filename);
    }
    if (!file || ZvDict_SetItemString(d.get(), "__file__", file.get()) != 0) ZvErr_Clear();
    Ref result(ZvEval_EvalCode((ZvCodeObject *)co, d.get(), d.get()));
    if (!result) {
        remove_module(name);
        return nullptr;
    }
    /* The code may have put something else in its place. */
    ZvObject *now = ZvDict_GetItemString(ZvImport_GetModuleDict(), name);
    if (now == nullptr) {
        ZvErr_Format(ZvExc_ImportError, "Loaded module %.200s not found in sys.modules", name);
        return nullptr;
    }
    Zv_INCREF(now);
    return now;
}

ZvObject *ZvImport_ReloadModule(ZvObject *m)
{
    if (m == nullptr || !ZvModule_Check(m)) {
        ZvErr_SetString(ZvExc_TypeError, "reload() argument must be module");
        return nullptr;
    }
    const char *modname = ZvModule_GetName(m);
    if (modname == nullptr) return nullptr;
    std::string name(modname);
    ZvObject *modules = ZvImport_GetModuleDict();
    if (ZvDict_GetItemString(modules, name.c_str()) != m) {
        ZvErr_Format(ZvExc_ImportError, "reload(): module %.200s not in sys.modules", name.c_str());
        return nullptr;
    }
    std::string::size_type dot = name.rfind('.');
    std::string subname = name;
    Ref path;
    if (dot != std::string::npos) {
        std::string parentname = name.substr(0, dot);
        ZvObject *parent = ZvDict_GetItemString(modules, parentname.c_str());
        if (parent == nullptr) {
            ZvErr_Format(ZvExc_ImportError, "reload(): parent %.200s not in sys.modules",
                         parentname.c_str());
            return nullptr;
        }
        subname = name.substr(dot + 1);
        path.reset(ZvObject_GetAttrString(parent, "__path__"));
        if (!path) ZvErr_Clear();
    }
    std::string buf;
    FILE *fp = nullptr;
    filedescr *fdp = find_module(name.c_str(), subname.c_str(), path.get(), buf, &fp, nullptr);
    if (fdp == nullptr) return nullptr;
    Ref existing = Ref::borrow(m);
    ZvObject *newm = load_module(name.c_str(), fp, buf, fdp->type, nullptr);
    if (fp != nullptr) fclose(fp);
    if (newm == nullptr) {
        /* The failed code took the module out of sys.modules; put the
         * module that was there back, keeping the error. */
        ZvObject *t, *v, *tb;
        ZvErr_Fetch(&t, &v, &tb);
        if (ZvDict_SetItemString(ZvImport_GetModuleDict(), name.c_str(), existing.get()) < 0)
            ZvErr_Clear();
        ZvErr_Restore(t, v, tb);
    }
    return newm;
}

void _ZvImport_ReInitLock(void)
{
    if (import_lock != nullptr) import_lock = ZvThread_allocate_lock();
    import_lock_thread = NO_THREAD;
    import_lock_level = 0;
}

} // extern "C"
