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

/* Set by the loader while an extension module inside a package runs its
 * init function: the module's full dotted name. */
ZvAPI_DATA(const char *) _Zv_PackageContext;

/* The built-in module table: names with their init functions (none for
 * the modules start-up makes), ending with a NULL name. */
struct _inittab {
    const char *name;
    void (*initfunc)(void);
};
ZvAPI_DATA(struct _inittab *) ZvImport_Inittab;

ZV_END_DECLS

#endif /* ZVIMPORT_H */
