/* Preloaded into Wine's 32-bit processes that qemu-i386 emulates. qemu leaves the trap number
 * in a signal's context at -1, and Wine's i386 fault handler decides by that number what kind of
 * fault it met; without this every access violation ends as "unexpected trap -1". The fault
 * handlers Wine installs are wrapped so that the context carries the number the processor would
 * have reported for that signal. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <ucontext.h>

typedef void (*info_handler)(int, siginfo_t *, void *);
typedef int (*sigaction_function)(int, const struct sigaction *, struct sigaction *);

static info_handler wrapped[NSIG];

/* Numbers of the x86 exceptions that Linux reports as these signals. */
static int TrapNumber(int signal, int code) {
    switch (signal) {
    case SIGSEGV: return code == SEGV_MAPERR || code == SEGV_ACCERR ? 14 : 13;
    case SIGBUS: return 13;
    case SIGILL: return 6;
    case SIGFPE: return code == FPE_INTDIV ? 0 : code == FPE_INTOVF ? 4 : 16;
    case SIGTRAP: return code == TRAP_TRACE ? 1 : 3;
    }
    return 13;
}

static int IsFault(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE || signal == SIGTRAP;
}

static void WithTrapNumber(int signal, siginfo_t *info, void *context) {
    ((ucontext_t *)context)->uc_mcontext.gregs[REG_TRAPNO] = TrapNumber(signal, info->si_code);
    wrapped[signal](signal, info, context);
}

int sigaction(int signal, const struct sigaction *action, struct sigaction *previous) {
    static sigaction_function real;
    if (!real) real = (sigaction_function)dlsym(RTLD_NEXT, "sigaction");
    if (signal <= 0 || signal >= NSIG || !IsFault(signal)) return real(signal, action, previous);
    info_handler before = wrapped[signal];
    struct sigaction replacement;
    if (action && (action->sa_flags & SA_SIGINFO) && action->sa_sigaction) {
        replacement = *action;
        replacement.sa_sigaction = WithTrapNumber;
        wrapped[signal] = action->sa_sigaction;
        action = &replacement;
    }
    int result = real(signal, action, previous);
    if (result == 0 && previous && previous->sa_sigaction == WithTrapNumber) previous->sa_sigaction = before;
    return result;
}

/* The 64-bit processes that a 32-bit one starts must not see this library. */
__attribute__((constructor)) static void ForgetPreload(void) { unsetenv("LD_PRELOAD"); }
