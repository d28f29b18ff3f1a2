// SIGHUP, SIGINT and SIGTERM during a run: the first asks the acquisition to stop at
// its next reading and keep what it has, a second ends the program at once.
//
// pigpio's gpioInitialise installs handlers of its own that terminate the
// library and exit with status 255, losing the capture; handlers installed
// after it replace them.  A signal that was ignored when the program started
// (a background job of a non-interactive shell inherits SIGINT ignored, nohup
// starts it with SIGHUP ignored) stays ignored, so the dispositions are
// recorded before gpioInitialise.
//
// SIGPIPE is ignored on every backend: a reader that went away shows as a
// failed write where the write is made, and a capture is not lost to it.
#ifndef SHAKELOG_STOP_SIGNAL_H
#define SHAKELOG_STOP_SIGNAL_H

#include <csignal>

// The signal that asked the run to stop, or 0.  The acquisition loops test
// it once per reading.
extern volatile sig_atomic_t stopSignal;

struct StopDispositions {
    bool hangupIgnored;     // SIGHUP
    bool interruptIgnored;  // SIGINT
    bool terminateIgnored;  // SIGTERM
};

// Which of the three signals the program was started with ignored.
StopDispositions recordStopDispositions();

// SIGPIPE ignored, so that a write to a pipe nobody reads fails with EPIPE.
void ignoreBrokenPipe();

// Clears stopSignal and installs the handler for each signal that was not
// ignored at start; puts the ignored ones back to ignored; ignores SIGPIPE.
void installStopHandlers(const StopDispositions &dispositions);

#endif
