/* The import system.
 *
 * Today this holds the module table every later piece builds on: modules
 * live in the interpreter's `modules` dictionary (sys.modules) under their
 * full dotted names. */
#include "zuvo.h"

extern "C" {

ZvObject *ZvImport_GetModuleDict(void)
{
    ZvInterpreterState *interp = ZvThreadState_GET()->interp;
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

} // extern "C"
