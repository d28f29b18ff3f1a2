// What can be told about the output file of file mode before the capture:
// that it can be written, and that the file system has room for it.
#ifndef SHAKELOG_SAVE_DESTINATION_H
#define SHAKELOG_SAVE_DESTINATION_H

#include "command_line.h"

// Checks, without creating anything, that savePath can be created or
// truncated for writing.  Returns false after printing a message on standard
// output when it certainly cannot: a missing directory, a directory, no
// write permission.  Whatever only the write can tell (a full device) is
// left to the writer.
bool checkSaveDestination(const char *savePath);

// The most bytes a CSV file of sampleCount rows can take when its times lie
// within the duration and its values within the sensor's +-16 g.
long long csvBytesBound(int sampleCount);

// True when a file of the settings' rows fits the free space of the file
// system savePath is on, counting the space an existing file gives back when
// it is emptied.  Special files and the file standard output goes to are not
// checked, nor is anything whose file system cannot be asked.  Otherwise
// prints the refusal and the longest capture that fits, and returns false.
bool checkSaveSpace(const RunSettings &settings);

#endif
