// Runs shakelog's code in-process and captures what it prints on standard
// output, on whichever backend the test program is linked with.
#ifndef TESTS_SHAKELOG_RUN_CAPTURED_H
#define TESTS_SHAKELOG_RUN_CAPTURED_H

#include <string>
#include <vector>

struct CapturedRun {
    int status;
    std::string out;        // everything printed on standard output
    std::string unflushed;  // the end of it that was still in stdio's buffer afterwards
};

// Emulated sensor at power-on, on a virtual clock, without the notice
// (programs linked with the emulated pigpio library only).
void resetEmulatedSensor();

// Runs with "shakelog" as the program name followed by args.
CapturedRun runShakelogCaptured(const std::vector<std::string> &args);

// Reads a whole file; empty when it does not exist.
std::string readFile(const std::string &path);

#endif
