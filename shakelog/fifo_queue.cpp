#include "fifo_queue.h"

#include <ctime>

#include "capture_memory.h"
#include "stop_signal.h"

namespace {

// Long enough not to spin, short against the FIFO's 10 ms at 3200 Hz.
inline constexpr long waitNs = 200000;

}  // namespace

bool openFifoQueue(FifoQueue &queue)
{
    queue.samples = static_cast<FifoSample *>(reserveArray(queueSampleCapacity, sizeof(FifoSample)));
    queue.events = static_cast<FifoEvent *>(reserveArray(queueEventCapacity, sizeof(FifoEvent)));
    queue.samplesIn = 0;
    queue.samplesFreed = 0;
    queue.eventsIn = 0;
    queue.eventsFreed = 0;
    queue.readerSec = 0;
    queue.readerEnd = -1;
    queue.readerDetail = 0;
    queue.writerFailed = false;
    return queue.samples != nullptr && queue.events != nullptr;
}

void closeFifoQueue(FifoQueue &queue)
{
    releaseArray(queue.samples, queueSampleCapacity, sizeof(FifoSample));
    releaseArray(queue.events, queueEventCapacity, sizeof(FifoEvent));
    queue.samples = nullptr;
    queue.events = nullptr;
}

// The host's own sleep, not the library's: on the emulated library's
// virtual clock, waiting for the writer must not let sensor time pass.
void waitForOtherSide()
{
    timespec pause{0, waitNs};
    nanosleep(&pause, nullptr);
}

bool pushSample(FifoQueue &queue, const FifoSample &sample)
{
    int64_t in = queue.samplesIn.load(std::memory_order_relaxed);
    while (in - queue.samplesFreed.load(std::memory_order_acquire) >= queueSampleCapacity) {
        if (queue.writerFailed.load(std::memory_order_acquire) || stopSignal != 0) {
            return false;  // nobody will free it, or the run is to stop
        }
        waitForOtherSide();
    }
    queue.samples[in & (queueSampleCapacity - 1)] = sample;
    queue.samplesIn.store(in + 1, std::memory_order_release);
    return true;
}

bool pushEvent(FifoQueue &queue, const FifoEvent &event)
{
    int64_t in = queue.eventsIn.load(std::memory_order_relaxed);
    while (in - queue.eventsFreed.load(std::memory_order_acquire) >= queueEventCapacity) {
        if (queue.writerFailed.load(std::memory_order_acquire) || stopSignal != 0) {
            return false;
        }
        waitForOtherSide();
    }
    queue.events[in & (queueEventCapacity - 1)] = event;
    queue.eventsIn.store(in + 1, std::memory_order_release);
    return true;
}
