// Reading console lines.
//
// ZvOS_Readline is the one door through which interactive input enters.
// It lets other threads run while it waits (the interpreter lock is
// released), lets only one thread at a time read (its own lock), refuses
// re-entry from the thread already reading, and calls the installed line
// editor when both streams are terminals, else the plain stdio reader.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

extern "C" {
#include "tokenizer.h"
#include "objimpl.h"
#include "zverrors.h"
#include "zvstate.h"
#include "intrcheck.h"
}

extern "C" {
char *(*ZvOS_ReadlineFunctionPointer)(FILE *, FILE *, char *) = nullptr;
int (*ZvOS_InputHook)(void) = nullptr;
}

namespace {

std::mutex readline_lock;
// The thread state of the thread inside ZvOS_Readline, to refuse re-entry.
ZvThreadState *readline_tstate = nullptr;

// 0: a line (or part of one) was read; -1: end of file; -2: error;
// 1: interrupted (a signal handler raised, or a keyboard interrupt).
int my_fgets(char *buf, int len, FILE *fp)
{
    for (;;) {
        if (ZvOS_InputHook != nullptr) (void)ZvOS_InputHook();
        errno = 0;
        char *p = std::fgets(buf, len, fp);
        if (p != nullptr) return 0;
        int err = errno;
        if (std::feof(fp)) return -1;
        if (err == EINTR) {
            ZvThreadState *save = readline_tstate;
            if (save != nullptr) ZvEval_RestoreThread(save);
            int raised = ZvErr_CheckSignals();
            if (save != nullptr) (void)ZvEval_SaveThread();
            if (raised < 0) return 1;
            std::clearerr(fp);
            continue;
        }
        if (ZvOS_InterruptOccurred()) return 1;
        return -2;
    }
}

} // namespace

extern "C" {

char *ZvOS_StdioReadline(FILE *sys_stdin, FILE *sys_stdout, char *prompt)
{
    size_t n = 100;
    char *p = (char *)ZvMem_Malloc(n);
    if (p == nullptr) return nullptr;
    std::fflush(sys_stdout);
    if (prompt != nullptr) std::fputs(prompt, stderr);
    std::fflush(stderr);
    switch (my_fgets(p, (int)n, sys_stdin)) {
    case 0:
        break;
    case 1:
        ZvMem_Free(p);
        return nullptr;
    default: // end of file or error: an empty line
        *p = '\0';
        break;
    }
    n = std::strlen(p);
    while (n > 0 && p[n - 1] != '\n') {
        size_t incr = n + 2;
        if (incr > INT_MAX - n) {
            ZvMem_Free(p);
            ZvErr_SetString(ZvExc_OverflowError, "input line too long");
            return nullptr;
        }
        char *grown = (char *)ZvMem_Realloc(p, n + incr);
        if (grown == nullptr) {
            ZvMem_Free(p);
            return nullptr;
        }
        p = grown;
        if (my_fgets(p + n, (int)incr, sys_stdin) != 0) break;
        n += std::strlen(p + n);
    }
    char *trimmed = (char *)ZvMem_Realloc(p, n + 1);
    return trimmed ? trimmed : p;
}

char *ZvOS_Readline(FILE *sys_stdin, FILE *sys_stdout, char *prompt)
{
    ZvThreadState *me = _ZvThreadState_Current;
    if (me != nullptr && readline_tstate == me) {
        ZvErr_SetString(ZvExc_RuntimeError, "can't re-enter readline");
        return nullptr;
    }
    if (ZvOS_ReadlineFunctionPointer == nullptr) ZvOS_ReadlineFunctionPointer = ZvOS_StdioReadline;
    ZvThreadState *saved = nullptr;
    if (me != nullptr) saved = ZvEval_SaveThread();
    char *rv;
    {
        std::lock_guard<std::mutex> guard(readline_lock);
        readline_tstate = me;
        if (isatty(fileno(sys_stdin)) && isatty(fileno(sys_stdout)))
            rv = ZvOS_ReadlineFunctionPointer(sys_stdin, sys_stdout, prompt);
        else
            rv = ZvOS_StdioReadline(sys_stdin, sys_stdout, prompt);
    }
    if (saved != nullptr) ZvEval_RestoreThread(saved);
    readline_tstate = nullptr;
    return rv;
}

} // extern "C"
