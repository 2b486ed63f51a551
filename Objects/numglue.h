/* Runtime services the number types share: the command-line flags they
 * read, the deprecation warning of classic division and the periodic
 * signal check of long-running arithmetic (huge multiplications, base
 * conversions), which counts down the evaluation loop's ticker so that an
 * interrupt is noticed within one check interval. */
#ifndef ZV_NUMGLUE_H
#define ZV_NUMGLUE_H

#include "zuvo.h"

namespace zv {

inline int verbose_flag() { return Zv_VerboseFlag; }

inline int division_warning_flag() { return Zv_DivisionWarningFlag; }

/* Issues a DeprecationWarning; -1 when the warning was turned into an
 * error. */
inline int deprecation_warning(const char *message)
{
    return ZvErr_Warn(ZvExc_DeprecationWarning, message);
}

/* Counts down the shared ticker; when it runs out, resets it and checks
 * for signals.  True when a signal handler raised. */
inline bool signal_pending()
{
    _Zv_Ticker = _Zv_Ticker - 1;
    if (_Zv_Ticker >= 0) return false;
    _Zv_Ticker = _Zv_CheckInterval;
    return ZvErr_CheckSignals() != 0;
}

} // namespace zv

#endif /* ZV_NUMGLUE_H */
