// The CSV file of file mode.
#ifndef SHAKELOG_CSV_OUTPUT_H
#define SHAKELOG_CSV_OUTPUT_H

#include "resample.h"

// Writes the header and sampleCount data lines to savePath.  Returns false,
// after printing a message on standard output, when the file cannot be
// created or written completely.
bool writeCsvFile(const char *savePath, const ResampledSeries &series, int sampleCount);

// Checks, without creating anything, that savePath can be created or
// truncated for writing.  Returns false after printing a message on standard
// output when it certainly cannot.
bool checkSaveDestination(const char *savePath);

#endif
