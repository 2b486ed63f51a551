/* The sys module.
 *
 * Native code reaches sys through the interpreter's `sysdict`; the module
 * holds the module table and whatever the run-time pieces store in it (the
 * standard streams, the exception being handled, the hooks).  Its
 * functions and the rest of its static entries join with the command
 * line. */
#include "zuvo.h"
#include "sysmodule.h"

extern "C" {

ZvObject *ZvSys_GetObject(const char *name)
{
    ZvThreadState *ts = ZvThreadState_GET();
    if (ts == nullptr || ts->interp->sysdict == nullptr) return nullptr;
    ZvObject *type, *value, *tb;
    ZvErr_Fetch(&type, &value, &tb);
    ZvObject *v = ZvDict_GetItemString(ts->interp->sysdict, name);
    ZvErr_Restore(type, value, tb);
    return v;
}

int ZvSys_SetObject(const char *name, ZvObject *v)
{
    ZvThreadState *ts = ZvThreadState_GET();
    ZvObject *sd = ts == nullptr ? nullptr : ts->interp->sysdict;
    if (sd == nullptr) {
        ZvErr_SetString(ZvExc_RuntimeError, "lost sys module");
        return -1;
    }
    if (v != nullptr) return ZvDict_SetItemString(sd, name, v);
    if (ZvDict_GetItemString(sd, name) == nullptr) return 0;
    return ZvDict_DelItemString(sd, name);
}

ZvObject *_ZvSys_Init(void)
{
    ZvInterpreterState *interp = ZvThreadState_Get()->interp;
    ZvObject *m = Zv_InitModule4("sys", nullptr, nullptr, nullptr, ZUVO_API_VERSION);
    if (m == nullptr) return nullptr;
    ZvObject *d = ZvModule_GetDict(m);
    if (ZvDict_SetItemString(d, "modules", interp->modules) < 0) return nullptr;
    Zv_INCREF(d);
    Zv_XDECREF(interp->sysdict);
    interp->sysdict = d;
    return m;
}

} // extern "C"
