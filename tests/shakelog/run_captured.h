// Runs shakelog's code in-process and captures what it prints on standard
// output, on whichever backend the test program is linked with.
#ifndef TESTS_SHAKELOG_RUN_CAPTURED_H
#define TESTS_SHAKELOG_RUN_CAPTURED_H

#include <string>
#include <vector>

// Transactions before the first reading of the console and default file
// modes: the ID read, then the configuration writes (standby, bypass, the
// three offsets in one, rate, format, measure).
inline constexpr long startTransactions = 7;

struct CapturedRun {
    int status;
    std::string out;        // everything printed on standard output
    std::string unflushed;  // the end of it that was still in stdio's buffer afterwards
};

// Emulated sensor at power-on, on a virtual clock, without the notice
// (programs linked with the emulated pigpio library only).
void resetEmulatedSensor();

// A stand-in for /proc/meminfo that reports memory for any capture.
const char *ampleMemInfo();

// Writes a stand-in for /proc/meminfo with the given lines; returns its path.
std::string writeMemInfo(const std::string &content);

// Runs with "shakelog" as the program name followed by args, checking the
// memory of a capture against memInfoFile.  The signal dispositions the run
// changes are put back afterwards.
CapturedRun runShakelogCaptured(const std::vector<std::string> &args,
                                const char *memInfoFile = ampleMemInfo());

// Reads a whole file; empty when it does not exist.
std::string readFile(const std::string &path);

#endif
