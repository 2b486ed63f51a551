/* The import system's interface for native code. */
#ifndef ZVIMPORT_H
#define ZVIMPORT_H

#include <stdio.h>

#include "object.h"

ZV_BEGIN_DECLS

/* The interpreter's module table (sys.modules), borrowed. */
ZvAPI_FUNC(ZvObject *) ZvImport_GetModuleDict(void);
/* The module of that name in sys.modules, created empty and inserted when
 * missing (or when the entry is not a module); borrowed. */
ZvAPI_FUNC(ZvObject *) ZvImport_AddModule(const char *name);

/* Imports a (dotted) module through the current __import__ and returns the
 * last component; new reference. */
ZvAPI_FUNC(ZvObject *) ZvImport_ImportModule(const char *name);
ZvAPI_FUNC(ZvObject *) ZvImport_Import(ZvObject *name);
/* The import machinery proper, under the import lock: with an empty
 * fromlist the head of a dotted name, else its tail. */
ZvAPI_FUNC(ZvObject *) ZvImport_ImportModuleEx(const char *name, ZvObject *globals,
                                               ZvObject *locals, ZvObject *fromlist);
/* Runs a code object as the body of module `name` (an existing module is
 * reused with its dictionary); the module now in sys.modules, or NULL. */
ZvAPI_FUNC(ZvObject *) ZvImport_ExecCodeModule(const char *name, ZvObject *co);
ZvAPI_FUNC(ZvObject *) ZvImport_ExecCodeModuleEx(const char *name, ZvObject *co,
                                                 const char *pathname);
ZvAPI_FUNC(ZvObject *) ZvImport_ReloadModule(ZvObject *m);
/* Empties and releases every module at shut-down, in a fixed order. */
ZvAPI_FUNC(void) ZvImport_Cleanup(void);
/* The four-byte tag at the front of every .zvc/.zvo file. */
ZvAPI_FUNC(long) ZvImport_GetMagicNumber(void);
/* 1 imported, 0 no such frozen module, -1 error. */
ZvAPI_FUNC(int) ZvImport_ImportFrozenModule(const char *name);

/* Modules compiled into the library: a name and the function that creates
 * the module (NULL for the ones start-up makes).  Ended by a NULL name. */
struct _inittab {
    const char *name;
    void (*initfunc)(void);
};
ZvAPI_DATA(struct _inittab *) ZvImport_Inittab;
/* Both replace the table by a copy with the entries appended; call them
 * before Zv_Initialize.  0 on success, -1 when memory runs out. */
ZvAPI_FUNC(int) ZvImport_AppendInittab(const char *name, void (*initfunc)(void));
ZvAPI_FUNC(int) ZvImport_ExtendInittab(struct _inittab *newtab);

/* Frozen modules: marshalled code objects kept in the library.  A negative
 * size marks a package.  Ended by a NULL name. */
struct _frozen {
    const char *name;
    const unsigned char *code;
    int size;
};
ZvAPI_DATA(const struct _frozen *) ZvImport_FrozenModules;

/* Module kinds, as the imp module exports them. */
enum filetype {
    SEARCH_ERROR,
    ZV_SOURCE,
    ZV_COMPILED,
    C_EXTENSION,
    ZV_RESOURCE,
    PKG_DIRECTORY,
    C_BUILTIN,
    ZV_FROZEN,
    ZV_CODERESOURCE,
    IMP_HOOK
};

/* One kind of file the search tries: suffix, fopen mode, module kind. */
struct filedescr {
    const char *suffix;
    const char *mode;
    enum filetype type;
};
ZvAPI_DATA(struct filedescr *) _ZvImport_Filetab;

/* Finds module `name` along `path` (NULL: built-ins, frozen modules, then
 * sys.path) without loading it.  On success returns its descriptor, with
 * the path found in buf and, for files, the open stream in *p_fp (the
 * caller closes it).  p_loader NULL means the import hooks are not
 * consulted; otherwise a hook's loader lands there (kind IMP_HOOK).  NULL
 * with ImportError when nothing is found. */
ZvAPI_FUNC(struct filedescr *) _ZvImport_FindModule(const char *name, ZvObject *path, char *buf,
                                                    size_t buflen, FILE **p_fp,
                                                    ZvObject **p_loader);
/* True for the kinds that can run as a script: source and bytecode. */
ZvAPI_FUNC(int) _ZvImport_IsScript(struct filedescr *fd);

/* The store of extension-module dictionaries, keyed by file name (the
 * module name for built-ins): a module initialized once is restored from
 * its copy instead of running its init function again. */
ZvAPI_FUNC(ZvObject *) _ZvImport_FixupExtension(const char *name, const char *filename);
ZvAPI_FUNC(ZvObject *) _ZvImport_FindExtension(const char *name, const char *filename);
ZvAPI_FUNC(ZvObject *) _ZvImport_LoadDynamicModule(const char *name, const char *pathname,
                                                   FILE *fp);

ZvAPI_FUNC(void) _ZvImport_Init(void);
ZvAPI_FUNC(void) _ZvImport_Fini(void);
ZvAPI_FUNC(void) _ZvImportHooks_Init(void);
/* In the child after fork: the lock another thread may have held is reset. */
ZvAPI_FUNC(void) _ZvImport_ReInitLock(void);

/* Set by the loader while an extension module inside a package runs its
 * init function: the module's full dotted name. */
ZvAPI_DATA(const char *) _Zv_PackageContext;

ZV_END_DECLS

#endif /* ZVIMPORT_H */
