/* Runtime globals the number types read but do not own: the evaluation
 * loop's tick counter, the warning call and two command-line flags.
 *
 * They are weak references so that the number types link and run in a
 * library built before those definitions are part of it: an absent flag
 * reads as 0, an absent ticker skips the periodic signal check, and an
 * absent warning call issues no warning.  Once the runtime core defines
 * them all, these wrappers reduce to plain reads and calls. */
#ifndef ZV_NUMGLUE_H
#define ZV_NUMGLUE_H

#include "zuvo.h"

extern "C" {
extern ZvAPI_EXPORT int Zv_VerboseFlag __attribute__((weak));
extern ZvAPI_EXPORT int Zv_DivisionWarningFlag __attribute__((weak));
extern ZvAPI_EXPORT int _Zv_CheckInterval __attribute__((weak));
extern ZvAPI_EXPORT volatile int _Zv_Ticker __attribute__((weak));
ZvAPI_FUNC(int) ZvErr_Warn(ZvObject *, const char *) __attribute__((weak));
}

namespace zv {

inline int verbose_flag() { return &Zv_VerboseFlag != nullptr ? Zv_VerboseFlag : 0; }

inline int division_warning_flag()
{
    return &Zv_DivisionWarningFlag != nullptr ? Zv_DivisionWarningFlag : 0;
}

/* Issues a DeprecationWarning; -1 when the warning was turned into an
 * error. */
inline int deprecation_warning(const char *message)
{
    return &ZvErr_Warn != nullptr ? ZvErr_Warn(ZvExc_DeprecationWarning, message) : 0;
}

/* Counts down the shared ticker; when it runs out, resets it and checks
 * for signals.  True when a signal handler raised. */
inline bool signal_pending()
{
    if (&_Zv_Ticker == nullptr) return false;
    _Zv_Ticker = _Zv_Ticker - 1;
    if (_Zv_Ticker >= 0) return false;
    _Zv_Ticker = &_Zv_CheckInterval != nullptr ? _Zv_CheckInterval : 100;
    return ZvErr_CheckSignals() != 0;
}

} // namespace zv

#endif /* ZV_NUMGLUE_H */
