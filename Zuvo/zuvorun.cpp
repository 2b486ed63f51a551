/* Starting and stopping the runtime, and fatal errors.
 *
 * Start-up creates the interpreter and its first thread state, makes it
 * current, registers it for the automatic lock state, readies the core
 * types and creates the standard exceptions; shut-down undoes it in
 * reverse and frees the caches and free lists. */
#include "zuvo.h"

#include <stdlib.h>

extern "C" {

void _ZvExc_Init(void);
void _ZvExc_Fini(void);

static int initialized = 0;

/* Internal inconsistencies from which there is no recovery end here; the
 * message goes straight to the process's error stream (nothing above the
 * C library can be trusted any more). */
void Zv_FatalError(const char *msg)
{
    fprintf(stderr, "Fatal Zuvo error: %s\n", msg);
    fflush(stderr);
    abort();
}

int Zv_IsInitialized(void) { return initialized; }

void Zv_Initialize(void)
{
    if (initialized) return;
    initialized = 1;
    ZvInterpreterState *interp = ZvInterpreterState_New();
    if (interp == nullptr) Zv_FatalError("Zv_Initialize: can't make first interpreter");
    ZvThreadState *ts = ZvThreadState_New(interp);
    if (ts == nullptr) Zv_FatalError("Zv_Initialize: can't make first thread");
    (void)ZvThreadState_Swap(ts);
    _ZvGILState_Init(interp, ts);
    _Zv_ReadyTypes();
    interp->modules = ZvDict_New();
    if (interp->modules == nullptr) Zv_FatalError("Zv_Initialize: can't make modules dictionary");
    _ZvExc_Init();
}

void Zv_Finalize(void)
{
    if (!initialized) return;
    initialized = 0;
    ZvThreadState *ts = ZvThreadState_GET();
    ZvInterpreterState *interp = ts->interp;
    ZvInterpreterState_Clear(interp);
    _ZvExc_Fini();
    (void)ZvThreadState_Swap(nullptr);
    ZvInterpreterState_Delete(interp);
    _ZvGILState_Fini();
    _Zv_ReleaseInternedStrings();
    ZvString_Fini();
    ZvTuple_Fini();
    ZvList_Fini();
    ZvDict_Fini();
    ZvInt_Fini();
    ZvCFunction_Fini();
}

} // extern "C"
