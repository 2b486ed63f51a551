// Process-wide flags.  Plain ints: they are set once before start-up (by
// the command line, the environment or an embedding program) and only read
// afterwards, so they need no lock.
extern "C" {
#include "zvflags.h"
}

extern "C" {
int Zv_DebugFlag = 0;
int Zv_VerboseFlag = 0;
int Zv_InteractiveFlag = 0;
int Zv_OptimizeFlag = 0;
int Zv_NoSiteFlag = 0;
int Zv_UseClassExceptionsFlag = 0;
int Zv_FrozenFlag = 0;
int Zv_TabcheckFlag = 0;
int Zv_UnicodeFlag = 0;
int Zv_IgnoreEnvironmentFlag = 0;
int Zv_DivisionWarningFlag = 0;
int _Zv_QnewFlag = 0;
}
