/* The import system's interface for native code. */
#ifndef ZVIMPORT_H
#define ZVIMPORT_H

#include "object.h"

ZV_BEGIN_DECLS

/* The interpreter's module table (sys.modules), borrowed. */
ZvAPI_FUNC(ZvObject *) ZvImport_GetModuleDict(void);
/* The module of that name in sys.modules, created empty and inserted when
 * missing (or when the entry is not a module); borrowed. */
ZvAPI_FUNC(ZvObject *) ZvImport_AddModule(const char *name);

/* Imports a module by its (dotted) name through the current __import__;
 * new reference or NULL. */
ZvAPI_FUNC(ZvObject *) ZvImport_ImportModule(const char *name);
/* The 32-bit number every compiled bytecode file starts with. */
ZvAPI_FUNC(long) ZvImport_GetMagicNumber(void);
/* Empties and destroys the modules in a fixed order (shut-down). */
ZvAPI_FUNC(void) ZvImport_Cleanup(void);

/* Start-up and shut-down of the import machinery, the import hooks
 * (sys.meta_path, sys.path_hooks, sys.path_importer_cache) and the store
 * of extension-module dictionaries that sub-interpreters copy from. */
ZvAPI_FUNC(void) _ZvImport_Init(void);
ZvAPI_FUNC(void) _ZvImport_Fini(void);
ZvAPI_FUNC(void) _ZvImportHooks_Init(void);
ZvAPI_FUNC(ZvObject *) _ZvImport_FixupExtension(const char *name, const char *filename);
ZvAPI_FUNC(ZvObject *) _ZvImport_FindExtension(const char *name, const char *filename);

/* The module search: finds `name` on `path` (sys.path when NULL), leaves
 * its file name in buf and its opened file in *fp (NULL for kinds without
 * one) and returns the file kind's descriptor, or NULL with ImportError. */
struct filedescr;
ZvAPI_FUNC(struct filedescr *) _ZvImport_FindModule(const char *name, ZvObject *path, char *buf,
                                                    size_t buflen, FILE **fp, ZvObject **loader);
/* True for the kinds a script can be run from: source and bytecode. */
ZvAPI_FUNC(int) _ZvImport_IsScript(struct filedescr *fd);

/* Set by the loader while an extension module inside a package runs its
 * init function: the module's full dotted name. */
ZvAPI_DATA(const char *) _Zv_PackageContext;

ZV_END_DECLS

#endif /* ZVIMPORT_H */
