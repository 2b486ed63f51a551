/* Verification of bytecode before it can run. */
#include "zuvo.h"

extern "C" {

/* Interim: accepts everything until the verifier lands with the
 * evaluation loop. */
int _ZvCode_Verify(ZvCodeObject *) { return 0; }

} // extern "C"
