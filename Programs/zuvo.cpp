// The `zuvo` command: its whole behaviour is Zv_Main.
//
// Zv_Main runs on a thread of its own with a large native stack, so that
// programs may raise sys.setrecursionlimit well above the default and
// still recurse that deep (the evaluation loop measures the stack it runs
// on and raises RuntimeError before it runs out, whatever its size).  The
// stack is reserved address space; only the pages a program touches are
// ever used.  Every asynchronous signal is blocked in the first thread
// while it waits, so that signals such as SIGINT reach the interpreter's
// thread.
#include "zuvo.h"

#include <pthread.h>
#include <signal.h>

namespace {

constexpr size_t STACK_SIZE = size_t(512) << 20; // 512 MiB of address space

struct MainCall {
    int argc;
    char **argv;
    int status;
};

void *run_main(void *arg)
{
    auto *call = static_cast<MainCall *>(arg);
    call->status = Zv_Main(call->argc, call->argv);
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    MainCall call = {argc, argv, 0};
    pthread_attr_t attr;
    pthread_t thread;
    if (pthread_attr_init(&attr) != 0) return Zv_Main(argc, argv);
    bool started = pthread_attr_setstacksize(&attr, STACK_SIZE) == 0 &&
                   pthread_create(&thread, &attr, run_main, &call) == 0;
    pthread_attr_destroy(&attr);
    // Without the thread (no address space for its stack), the program
    // runs on this one: only deep recursion is shallower.
    if (!started) return Zv_Main(argc, argv);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_join(thread, nullptr);
    return call.status;
}
