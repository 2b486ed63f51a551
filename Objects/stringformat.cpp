/* The `%` operator of byte strings: format % args.
 *
 * The conversion engine (mapping keys, flags, width, precision and the
 * conversion characters) is not written yet.  Until it is, this entry point
 * checks its arguments and reports plainly that formatting is unavailable,
 * so that `str % x` fails loudly instead of producing a wrong string. */
#include "zuvo.h"

extern "C" {

ZvObject *ZvString_Format(ZvObject *format, ZvObject *args)
{
    if (format == nullptr || !ZvString_Check(format) || args == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    ZvErr_SetString(ZvExc_NotImplementedError, "string formatting is not available yet");
    return nullptr;
}

} // extern "C"
