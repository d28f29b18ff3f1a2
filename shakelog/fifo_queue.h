// What the FIFO reader hands the row writer, from one thread to the other:
// the samples in the order they were popped, and the events that time them
// (each FIFO_STATUS read, and each pop that found a sample lost before it),
// with the moments between which each transfer took place.  The reader
// never waits for the writer unless the queue is full; the writer never
// touches the bus.
#ifndef SHAKELOG_FIFO_QUEUE_H
#define SHAKELOG_FIFO_QUEUE_H

#include <atomic>
#include <cstdint>

// Samples the queue holds: 82 s at 3200 Hz, 11 hours at 6.25 Hz.
inline constexpr int64_t queueSampleCapacity = int64_t{1} << 18;
// Events: over a minute of reads at any rate.
inline constexpr int64_t queueEventCapacity = int64_t{1} << 16;

enum class FifoEventKind : int32_t { status, overrun };

struct FifoEvent {
    FifoEventKind kind;
    int32_t entries;  // status: FIFO_STATUS's entries
    int64_t stored;   // status: samples popped before it; overrun: the sample whose pop saw it
    double begin;     // host seconds before and after the transfer
    double end;
};

struct FifoSample {
    int16_t counts[3];
};

struct FifoQueue {
    FifoSample *samples;  // rings of the capacities above
    FifoEvent *events;
    std::atomic<int64_t> samplesIn;
    std::atomic<int64_t> samplesFreed;  // the writer needs none below this
    std::atomic<int64_t> eventsIn;
    std::atomic<int64_t> eventsFreed;
    // Every event whose transfer began before this host time is in.
    std::atomic<double> readerSec;
    // -1 while the reader reads; then how it ended (a CaptureEnd), and what
    // it saw: the device ID, the impossible FIFO_STATUS, or the seconds
    // without a new sample.
    std::atomic<int> readerEnd;
    std::atomic<double> readerDetail;
    // The file takes no more rows: the reader stops.
    std::atomic<bool> writerFailed;
};

// Maps the rings; false when they cannot be had.
bool openFifoQueue(FifoQueue &queue);
void closeFifoQueue(FifoQueue &queue);

// Appends one sample or event, waiting while the ring is full (the writer
// held up by the disk: the sensor's FIFO then overflows, and the loss is
// counted like any other).  False, with nothing stored, once the writer
// has failed or a stop signal has come while the ring was full.
bool pushSample(FifoQueue &queue, const FifoSample &sample);
bool pushEvent(FifoQueue &queue, const FifoEvent &event);

// Waits about this long, on the host's clock, for the other side.
void waitForOtherSide();

#endif
