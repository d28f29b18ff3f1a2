#include "stop_signal.h"

volatile sig_atomic_t stopSignal = 0;

namespace {

// SIGHUP is what a lost terminal or SSH session sends: a capture running
// in it is kept as on Ctrl-C.
inline constexpr int stopSignals[] = {SIGHUP, SIGINT, SIGTERM};

bool ignoredNow(int signo)
{
    struct sigaction current {};
    return sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void setDisposition(int signo, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    // A write to a slow pipe that the signal interrupts carries on rather
    // than failing as a lost message.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int other : stopSignals) {
        sigaddset(&action.sa_mask, other);
    }
    sigaction(signo, &action, nullptr);
}

}  // namespace

// The first signal is only noted.  A second one (of either kind) gets the
// default action back and is raised again, so the program ends at once
// killed by that signal, as it would have been without a handler; the
// raised signal is blocked until the handler returns.
extern "C" void onStopSignal(int signo)
{
    if (stopSignal == 0) {
        stopSignal = signo;
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
}

StopDispositions recordStopDispositions()
{
    return StopDispositions{ignoredNow(SIGHUP), ignoredNow(SIGINT), ignoredNow(SIGTERM)};
}

void ignoreBrokenPipe()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void installStopHandlers(const StopDispositions &dispositions)
{
    stopSignal = 0;
    setDisposition(SIGHUP, dispositions.hangupIgnored ? SIG_IGN : onStopSignal);
    setDisposition(SIGINT, dispositions.interruptIgnored ? SIG_IGN : onStopSignal);
    setDisposition(SIGTERM, dispositions.terminateIgnored ? SIG_IGN : onStopSignal);
    // Whatever the library made of it.
    ignoreBrokenPipe();
}
