/* Interim: a weak stand-in for the Unicode interface that the builtins
 * call, so that they link and run before the Unicode type is in.  The real
 * definition overrides it at link time; this file goes once it is in. */
#include "zuvo.h"
#include "interim_runtime.h"

extern "C" {

__attribute__((weak)) ZvObject *ZvUnicode_FromOrdinal(int)
{
    ZvErr_SetString(ZvExc_NotImplementedError, "unicode strings are not available yet");
    return nullptr;
}

} // extern "C"
