#include "fifo_mode.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <pigpio.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "band_limit.h"
#include "capture_files.h"
#include "fifo_link.h"
#include "fifo_plan.h"
#include "fifo_queue.h"
#include "fifo_reader.h"
#include "fifo_writer.h"
#include "host_clock.h"
#include "record_file.h"
#include "capture_memory.h"
#include "stop_signal.h"

namespace {

// The watermark: not wired to an interrupt, but a sensor left with its
// reset value of 0 would flag a watermark that never clears.
inline constexpr uint8_t fifoWatermark = 16;
// The writer yields to the reader on a busy single-core board.
inline constexpr int writerNiceness = 10;

// The writer's thread: the stop signals go to the reader's, which tests
// for them; it gives way to the reader.
void writerThread(FifoWriter *writer)
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), writerNiceness);
    runFifoWriter(writer);
}

void printLine(char *lastLine, size_t size, const char *line)
{
    fputs(line, stdout);
    snprintf(lastLine, size, "%.*s", static_cast<int>(strcspn(line, "\n")), line);
}

void printLostSamples(const FifoWriterResult &result, char *lastLine, size_t size)
{
    const char *about = result.inexactGaps > 0 ? "about " : "";
    char line[256];
    if (result.gaps == 1) {
        snprintf(line, sizeof line,
                 "Lost %s%lld samples in a stall longer than the sensor's FIFO holds: "
                 "rows from %.5f to %.5f seconds are bridged linearly.\n",
                 about, static_cast<long long>(result.lost), result.firstGapFromSec,
                 result.firstGapToSec);
    } else {
        snprintf(line, sizeof line,
                 "Lost %s%lld samples in %d stalls longer than the sensor's FIFO holds: "
                 "rows over %.1f ms, the first from %.5f to %.5f seconds, are bridged linearly.\n",
                 about, static_cast<long long>(result.lost), result.gaps, 1000 * result.bridgedSec,
                 result.firstGapFromSec, result.firstGapToSec);
    }
    printLine(lastLine, size, line);
    if (result.inexactGaps > 0) {
        snprintf(
            line, sizeof line,
            "%d of the losses could not be sized exactly: the rows after %s may be off by a sample.\n",
            result.inexactGaps, result.inexactGaps == 1 ? "it" : "them");
        printLine(lastLine, size, line);
    }
}

// The line of a sensor that stopped answering as one.
void printLostSensor(const FifoWriterResult &result, int rows, int sampleCount, char *lastLine,
                     size_t size)
{
    char line[256];
    if (result.end == CaptureEnd::sensorSilent) {
        snprintf(
            line, sizeof line,
            "Sensor lost: no new sample for %.2f seconds while they were due: %d of %d rows written.\n",
            result.detail, rows, sampleCount);
    } else {
        auto status = static_cast<unsigned>(result.detail);
        snprintf(line, sizeof line,
                 "Sensor lost: FIFO_STATUS read 0x%02X twice, %u entries where the FIFO holds %d: "
                 "%d of %d rows written.\n",
                 status, status & fifoStatusEntriesMask, fifoEntriesMax, rows, sampleCount);
    }
    printLine(lastLine, size, line);
}

const char *endState(CaptureEnd end, bool lost)
{
    switch (end) {
    case CaptureEnd::complete:
        return lost ? "lost samples" : "done";
    case CaptureEnd::interrupted:
        return "interrupted";
    case CaptureEnd::writeFailed:
        return "write error";
    case CaptureEnd::readFailed:
        return "read error";
    case CaptureEnd::recordFull:
    case CaptureEnd::sensorMissing:
    case CaptureEnd::sensorSilent:
    case CaptureEnd::sensorImpossible:
        return "sensor lost";
    }
    return "done";
}

const char *signalName(int signo)
{
    switch (signo) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return nullptr;
    }
}

// The end lines, and the record's last word.  Returns the exit status.
int finishFifoCapture(const RunSettings &settings, const FifoWriterResult &result, RecordFile &record)
{
    int rows = static_cast<int>(result.rows);
    char *lastLine = record.message;
    size_t size = sizeof record.message;
    if (result.lost > 0) {
        printLostSamples(result, lastLine, size);
    }
    if (result.end == CaptureEnd::sensorSilent || result.end == CaptureEnd::sensorImpossible) {
        printLostSensor(result, rows, settings.sampleCount, lastLine, size);
    }
    if (result.end == CaptureEnd::writeFailed) {
        snprintf(lastLine, size, "Failed to write the output file %s", settings.savePath);
    }
    int status = finishCapture(result.end, rows, settings.sampleCount, static_cast<int>(result.detail),
                               result.lost > 0, lastLine, static_cast<int>(size));
    record.state = endState(result.end, result.lost > 0);
    record.signalName = result.end == CaptureEnd::interrupted ? signalName(stopSignal) : nullptr;
    record.exitStatus = status;
    return status;
}

// Runs the reader here and the writer beside it; returns what the writer
// found.
FifoWriterResult captureThroughFifo(const FifoPlan &plan, SensorLink &link, FifoQueue &queue,
                                    FifoWriter *writer)
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread writing(writerThread, writer);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    runFifoReader(plan, link, queue);
    // After a failed write its lines are the last word.
    if (!queue.writerFailed.load(std::memory_order_acquire)) {
        printf("Writing to the output file...\n");
        fflush(stdout);
    }
    writing.join();
    return fifoWriterResult(writer);
}

// What a capture holds in memory, all of it made before the sensor starts.
struct FifoParts {
    BandLimit filter;
    FifoQueue queue;
    CaptureFiles files;
    RecordFile record;
    FifoWriter *writer;
};

void releaseParts(FifoParts &parts)
{
    releaseFifoWriter(parts.writer);
    closeRecordFile(parts.record);
    releaseRecordFile(parts.record);
    closeFifoQueue(parts.queue);
    releaseBandLimit(parts.filter);
}

}  // namespace

int runFifoCaptureMode(const RunSettings &settings, SensorLink &link)
{
    printf("Reading %d samples in %.1f seconds with sampling rate %.1f Hz...\n", settings.sampleCount,
           settings.durationSec, settings.rateHz);
    fflush(stdout);
    FifoParts parts{};
    uint8_t rateCode = fifoRateCode(settings.rateHz);
    if (!designBandLimit(rateCodeHz(rateCode), settings.rateHz, parts.filter) ||
        !openFifoQueue(parts.queue)) {
        printNotEnoughMemory(settings);
        fflush(stdout);
        releaseParts(parts);
        releaseSensor(link);
        gpioTerminate();
        return 1;
    }
    // The file before the sensor starts: from then on the FIFO fills.
    int64_t partRows = static_cast<int64_t>(settings.splitSec) * static_cast<int64_t>(settings.rateHz);
    if (!openCaptureFiles(parts.files, settings.savePath, partRows, hostMonotonicSec())) {
        releaseParts(parts);
        releaseSensor(link);
        gpioTerminate();
        return 1;
    }
    if (!configureSensor(link, rateCode, fifoModeStream, fifoWatermark) ||
        !sensorHoldsConfiguration(link, rateCode, fifoModeStream, fifoWatermark)) {
        discardCaptureFiles(parts.files);
        releaseParts(parts);
        releaseSensor(link);
        gpioTerminate();
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    FifoPlan plan = planFifoCapture(settings, rateCode, parts.filter.halfTaps, hostMonotonicSec());
    bool ready = openRecordFile(parts.record, settings, rateCode, plan.sampleHz, plan.rowZeroSec);
    parts.record.enabled = parts.record.enabled && parts.files.regular;
    parts.writer =
        ready ? makeFifoWriter(plan, parts.queue, parts.filter, parts.files, parts.record) : nullptr;
    if (parts.writer == nullptr) {
        discardCaptureFiles(parts.files);
        releaseParts(parts);
        releaseSensor(link);
        gpioTerminate();
        printNotEnoughMemory(settings);
        fflush(stdout);
        return 1;
    }
    FifoWriterResult result = captureThroughFifo(plan, link, parts.queue, parts.writer);
    releaseSensor(link);
    gpioTerminate();
    if (result.end != CaptureEnd::writeFailed && !closeCaptureFiles(parts.files)) {
        result.end = CaptureEnd::writeFailed;
    }
    parts.record.partsWritten = parts.files.part;
    parts.record.rowsWritten = rowsKept(parts.files);
    result.rows = parts.record.rowsWritten;
    int status = finishFifoCapture(settings, result, parts.record);
    writeRecordFile(parts.record, hostMonotonicSec());
    releaseParts(parts);
    return status;
}
