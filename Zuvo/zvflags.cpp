// Process-wide flags.  Plain ints: they are set once before start-up and
// only read afterwards.
extern "C" {
#include "zvflags.h"
}

extern "C" {
int Zv_DebugFlag = 0;
int Zv_VerboseFlag = 0;
int Zv_TabcheckFlag = 0;
int Zv_OptimizeFlag = 0;
}
