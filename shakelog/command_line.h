// Command line of shakelog and the counts derived from it.
#ifndef SHAKELOG_COMMAND_LINE_H
#define SHAKELOG_COMMAND_LINE_H

#include <climits>

#include "tuning.h"

// Web addresses shown in the usage text.
inline constexpr char homePageURL[] = "https://shakelog.example.org/";
inline constexpr char bugReportURL[] = "https://shakelog.example.org/issues";

// Longest duration whose raw record still fits the 32-bit counts.
inline constexpr int durationMax = INT_MAX / freqMaxSPI;
// Through the FIFO: the longest whose row count still fits an int.
inline constexpr int fifoDurationMax = INT_MAX / freqMax;
// The longest part of a split capture.
inline constexpr int splitMax = fifoDurationMax;

struct RunSettings {
    double durationSec;
    double rateHz;
    bool saveToFile;
    const char *savePath;  // points into the argument vector; never copied
    bool fifoCapture;      // file mode through the sensor's FIFO
    int splitSec;          // with the FIFO: a new file every splitSec of rows (0: one file)
    bool selfTest;         // test the sensor instead of capturing
    int argumentCount;     // the command line as given, for the record of a capture
    char **arguments;
    int sampleCount;
    int rawCapacity;
    double samplePeriod;
};

RunSettings defaultSettings();

void printUsage();

// Fills settings from the arguments.  On a wrong argument prints the usage
// text (and the sampling-rate message where it applies) and returns false.
bool parseCommandLine(int argc, char **argv, RunSettings &settings);

// Computes sampleCount and rawCapacity.  Refuses, with a message and the
// usage text, a duration that is negative or too long for the counts of the
// mode chosen.
bool deriveCounts(RunSettings &settings);

#endif
