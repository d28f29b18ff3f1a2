// SIGINT, SIGTERM and SIGHUP (a lost SSH session) during a run: the first
// asks the acquisition to stop at its next reading and keep what it has, a
// second ends the program at once.  SIGPIPE is ignored: a reader that went
// away shows as a failed write where the write is made, which each mode
// answers (console mode stops, file mode keeps capturing).
//
// pigpio's gpioInitialise installs handlers of its own that terminate the
// library and exit with status 255, losing the capture; handlers installed
// after it replace them.  A signal that was ignored when the program started
// (a background job of a non-interactive shell inherits SIGINT ignored) stays
// ignored, so the dispositions are recorded before gpioInitialise.
#ifndef SHAKELOG_STOP_SIGNAL_H
#define SHAKELOG_STOP_SIGNAL_H

#include <csignal>

// The signal that asked the run to stop, or 0.  The acquisition loops test
// it once per reading.
extern volatile sig_atomic_t stopSignal;

struct StopDispositions {
    bool interruptIgnored;  // SIGINT
    bool terminateIgnored;  // SIGTERM
    bool hangUpIgnored;     // SIGHUP, as nohup leaves it
};

// Ignores SIGPIPE, from the start of the run: a usage text into a closed
// pipe is a failed write too.
void ignoreBrokenPipe();

// Which of the three signals the program was started with ignored.
StopDispositions recordStopDispositions();

// Clears stopSignal and installs the handler for each signal that was not
// ignored at start; puts the ignored ones back to ignored; ignores SIGPIPE.
void installStopHandlers(const StopDispositions &dispositions);

#endif
