// The writing side of a capture through the FIFO, on a thread of its own:
// it takes samples and their timing from the queue, works out where each
// sample lies on the sensor's own clock and what was lost, and writes every
// row as soon as the samples and the reads around it are in.
//
// Losses.  The FIFO holds 33 samples; a stall that outlasts it loses the
// oldest.  The pop after the loss reads Overrun in INT_SOURCE: that places
// the gap exactly, before that sample, and since the FIFO was full then,
// the sample it popped was the 33rd newest by the clock at that moment.  The
// FIFO_STATUS reads that follow say the same again independently (the
// newest sample's index is the samples popped, plus those lost, plus the
// entries, plus one); the loss is the count all of them agree on, and
// marked inexact where they leave more than one.  A read whose count the
// clock cannot explain shows a loss no pop reported: it is counted where it
// must lie, and marked inexact.
//
// Time.  Each block of rows gets its own fit of the clock, over the
// observations from clockWindowSec before it to clockLookaheadSec after
// it, so that the rate and phase follow a drifting clock; row r is the
// band-limited value of the samples at the fractional index the fit gives
// for its host time.  Samples lost are bridged by a straight line between
// their neighbours, so the rows after a gap keep their true times.
#ifndef SHAKELOG_FIFO_WRITER_H
#define SHAKELOG_FIFO_WRITER_H

#include <cstdint>

#include "band_limit.h"
#include "capture_files.h"
#include "fifo_plan.h"
#include "fifo_queue.h"
#include "file_capture.h"
#include "record_file.h"
#include "sample_clock.h"

// A block of rows shares one fit of the clock.
inline constexpr double blockSec = 0.1;

struct FifoWriterResult {
    CaptureEnd end;          // the reader's end, or writeFailed
    double detail;           // what the reader saw (see FifoQueue)
    int64_t rows;            // rows written
    int64_t lost;            // samples lost in all
    int gaps;                // gaps they fell in
    int inexactGaps;         // gaps not sized exactly
    double firstGapFromSec;  // the first gap, in the file's time
    double firstGapToSec;
    double bridgedSec;  // the time all gaps span
};

// The writer's working state: large, so made once.
struct FifoWriter;

// Sets up a writer for the plan; nullptr when its memory cannot be had.
FifoWriter *makeFifoWriter(const FifoPlan &plan, FifoQueue &queue, const BandLimit &filter,
                           CaptureFiles &files, RecordFile &record);
void releaseFifoWriter(FifoWriter *writer);

// Runs until the reader has ended and every row it allows is written (the
// thread's body).
void runFifoWriter(FifoWriter *writer);

FifoWriterResult fifoWriterResult(const FifoWriter *writer);

#endif
