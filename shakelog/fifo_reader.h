// The reading side of a capture through the FIFO: wakes, reads
// FIFO_STATUS, pops what it counts, and hands every sample and every
// transfer's timing to the writer through the queue.  It decides nothing
// about time or losses beyond what the sensor says; the writer does.
//
// Wakes come about every fifoWakeSec.  Where the sample period is long
// against that, each wake is aimed close to the next sample's arrival by
// the reader's own rough fit of the clock, a little before or after it in
// turn, so that every read pins that arrival tightly; where it is short,
// wakes fall at every phase of the period.  Either way the phases follow a
// low-discrepancy sequence in units of the period, so no clock within
// tolerance can lock to them.
#ifndef SHAKELOG_FIFO_READER_H
#define SHAKELOG_FIFO_READER_H

#include "fifo_plan.h"
#include "fifo_queue.h"
#include "sensor_link.h"

// 8.38 samples at 3200 Hz: the FIFO, emptied at each wake, then still has
// room for a stall of 24 samples (7.5 ms) before it overflows.
inline constexpr double fifoWakeSec = 8.381966 / 3200;
// A transfer that took longer than this was held up inside: when in it the
// sensor answered is too loose to time anything by.
inline constexpr double readLongestSec = 0.001;
// No new sample for this long, or for this many periods if longer, while
// samples are due, and none in this many batches: the sensor has stopped.
// A reader held up by the host reads at least that often before it says so.
inline constexpr double silentLimitSec = 0.5;
inline constexpr int silentLimitPeriods = 4;
inline constexpr int silentLimitBatches = 20;

// Reads until plan.endSec has passed, a stop signal, a failed transfer, a
// lost sensor, or the writer's failure; sets queue.readerEnd last.
void runFifoReader(const FifoPlan &plan, SensorLink &link, FifoQueue &queue);

#endif
