// The rows of a capture through the FIFO: the samples, at the sensor's
// fitted rate, band-limited and resampled onto the requested grid, written
// as the resampler produces them.
#ifndef SHAKELOG_FIFO_OUTPUT_H
#define SHAKELOG_FIFO_OUTPUT_H

#include "command_line.h"
#include "fifo_capture.h"

// Rows whose time lies within the samples read: all of them for a complete
// capture; for one cut short, those up to its last sample.
int fifoRowsCovered(const RunSettings &settings, const FifoRecord &record, double inputHz);

// Writes the header and `rows` rows to settings.savePath from the record's
// samples taken at inputHz.  Samples lost in a gap are bridged linearly, so
// that the samples after it keep their times.  False after a message when
// the resampler or the file fails.
bool writeFifoRows(const RunSettings &settings, const FifoRecord &record, double inputHz, int rows);

#endif
