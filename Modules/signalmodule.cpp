/* Signal handling.
 *
 * Handlers only record that a signal arrived; the main thread acts on the
 * record at its next check.  This file starts with the record for SIGINT
 * and the poll native code uses; the `signal` module and the handler that
 * sets the record are built on it. */
#include "zuvo.h"
#include "intrcheck.h"

#include <pthread.h>
#include <signal.h>

extern "C" {

/* Set from a signal handler, so only an atomic flag is safe to touch. */
static volatile sig_atomic_t sigint_tripped = 0;

/* Only the thread that started the runtime acts on interrupts. */
static pthread_t main_thread = pthread_self();

int ZvOS_InterruptOccurred(void)
{
    if (!pthread_equal(pthread_self(), main_thread)) return 0;
    if (!sigint_tripped) return 0;
    sigint_tripped = 0;
    return 1;
}

} // extern "C"
