// The CSV file of file mode.
#ifndef SHAKELOG_CSV_OUTPUT_H
#define SHAKELOG_CSV_OUTPUT_H

#include "resample.h"

inline constexpr char csvHeader[] = "time, x, y, z\n";
// Longest number in a row: sign, 309 integer digits of the largest double,
// point and five decimals, with room to spare.
inline constexpr int csvNumberMaxChars = 330;
// Four numbers, three ", " separators and the closing " \n".
inline constexpr int csvRowMaxChars = 4 * csvNumberMaxChars + 3 * 2 + 2;

// Formats one data line exactly as printf("%.5f, %.5f, %.5f, %.5f \n") would,
// into out (at least csvRowMaxChars bytes); returns the end of the line.
char *formatCsvRow(char *out, double t, double x, double y, double z);

// Writes the header and sampleCount data lines to savePath.  Returns false,
// after printing a message on standard output, when the file cannot be
// created or written completely.  A regular file that this call created is
// then removed, and an existing one is left empty, so that a cut-off series
// never passes for a complete one.  Special files (a pipe, a terminal,
// /dev/null) are written in place; when savePath is the very file standard
// output goes to, the lines follow what was already printed there.
bool writeCsvFile(const char *savePath, const ResampledSeries &series, int sampleCount);

// Checks, without creating anything, that savePath can be created or
// truncated for writing.  Returns false after printing a message on standard
// output when it certainly cannot: a missing directory, a directory, no
// write permission.  Whatever only the write can tell (a full disk) is left
// to writeCsvFile.
bool checkSaveDestination(const char *savePath);

#endif
