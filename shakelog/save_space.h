// Whether the output file of a capture fits the disk.
#ifndef SHAKELOG_SAVE_SPACE_H
#define SHAKELOG_SAVE_SPACE_H

#include "command_line.h"

// The most bytes a CSV file of sampleCount rows can take when its times lie
// within longestSec (the mode's longest duration) and its values within the
// sensor's +-16 g.
long long csvBytesBound(int sampleCount, int longestSec);

// True when a file of the settings' rows fits the free space of the file
// system savePath is on, counting the space an existing file gives back when
// it is emptied.  Special files and the file standard output goes to are not
// checked, nor is anything whose file system cannot be asked.  Otherwise
// prints the refusal and the longest capture that fits, and returns false.
bool checkSaveSpace(const RunSettings &settings);

#endif
