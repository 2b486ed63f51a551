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
 * for signals.  True when a signal handler raised.  Threads adding pending
 * calls store 0 into the ticker at any moment, so it is read and written
 * as an atomic word (a store lost to the countdown only delays the check
 * to the end of the interval). */
inline bool signal_pending()
{
    int left = __atomic_load_n(&_Zv_Ticker, __ATOMIC_RELAXED) - 1;
    __atomic_store_n(&_Zv_Ticker, left, __ATOMIC_RELAXED);
    if (left >= 0) return false;
    __atomic_store_n(&_Zv_Ticker, _Zv_CheckInterval, __ATOMIC_RELAXED);
    return ZvErr_CheckSignals() != 0;
}

} // namespace zv

#endif /* ZV_NUMGLUE_H */
