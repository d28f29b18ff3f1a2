#include "fifo_output.h"

#include <cmath>
#include <cstdio>

#include <soxr.h>

#include "csv_output.h"
#include "tuning.h"

inline constexpr int axes = 3;
inline constexpr size_t chunkSamples = 1024;

// The resampler and the file, with the rows still to come.
struct RowSink {
    soxr_t resampler;
    CsvWriter writer;
    double rowPeriodHz;
    int64_t produced;  // resampler outputs so far, leads included
    int rows;
    int written;
    bool failed;
};

int fifoRowsCovered(const RunSettings &settings, const FifoRecord &record, double inputHz)
{
    int64_t samples = record.stored + record.lostTotal;
    if (samples == 0) {
        return 0;
    }
    // Row r lies (fifoLeadRows + r) row periods after sample 0.
    double lastSampleSec = static_cast<double>(samples - 1) / inputHz;
    double rows = std::floor(lastSampleSec * settings.rateHz) - fifoLeadRows + 1;
    if (rows <= 0) {
        return 0;
    }
    return rows < settings.sampleCount ? static_cast<int>(rows) : settings.sampleCount;
}

static void takeOutputs(RowSink &sink, const double *out, size_t count)
{
    for (size_t i = 0; i < count && !sink.failed; ++i, ++sink.produced) {
        int64_t row = sink.produced - fifoLeadRows;
        if (row < 0 || row >= sink.rows) {
            continue;
        }
        const double *values = out + i * axes;
        double t = static_cast<double>(row) / sink.rowPeriodHz;
        if (!writeCsvRow(sink.writer, t, values[0], values[1], values[2])) {
            sink.failed = true;
        }
        ++sink.written;
    }
}

// Hands count samples (nullptr: the end of input) to the resampler and
// writes what comes out.
static void feed(RowSink &sink, const double *in, size_t count)
{
    double out[chunkSamples * axes];
    size_t used = 0;
    do {
        size_t taken = 0;
        size_t made = 0;
        soxr_error_t error = soxr_process(sink.resampler, in ? in + used * axes : nullptr, count - used,
                                          &taken, out, chunkSamples, &made);
        if (error != nullptr) {
            printf("Failed to resample the capture: %s\n", error);
            sink.failed = true;
            return;
        }
        used += taken;
        takeOutputs(sink, out, made);
        if (in == nullptr && made == 0) {
            return;
        }
    } while (!sink.failed && (in == nullptr || used < count));
}

// Collects samples into chunks for the resampler.
struct SampleChunk {
    double values[chunkSamples * axes];
    size_t count;
};

static void push(RowSink &sink, SampleChunk &chunk, const double *g)
{
    for (int axis = 0; axis < axes; ++axis) {
        chunk.values[chunk.count * axes + axis] = g[axis];
    }
    if (++chunk.count == chunkSamples) {
        feed(sink, chunk.values, chunk.count);
        chunk.count = 0;
    }
}

static void storedG(const FifoRecord &record, int64_t index, double g[axes])
{
    for (int axis = 0; axis < axes; ++axis) {
        g[axis] = record.counts[index * axes + axis] * accConversion;
    }
}

// Every sample in order, a gap's lost samples as a straight line from the
// sample before it to the one after, then the last sample held for as long
// as the filter reaches past the last row: a resampler fed zeros there
// would pull the last rows towards 0 g.
static void feedRecord(RowSink &sink, const FifoRecord &record, double inputHz)
{
    SampleChunk chunk;
    chunk.count = 0;
    double g[axes] = {0, 0, 0};
    double previous[axes] = {0, 0, 0};
    int gap = 0;
    for (int64_t s = 0; s < record.stored && !sink.failed; ++s) {
        storedG(record, s, g);
        if (gap < record.gapCount && record.gaps[gap].storedBefore == s) {
            int64_t lost = record.gaps[gap++].lost;
            for (int64_t k = 1; k <= lost && s > 0; ++k) {
                double bridged[axes];
                double share = static_cast<double>(k) / static_cast<double>(lost + 1);
                for (int axis = 0; axis < axes; ++axis) {
                    bridged[axis] = previous[axis] + (g[axis] - previous[axis]) * share;
                }
                push(sink, chunk, bridged);
            }
        }
        push(sink, chunk, g);
        for (int axis = 0; axis < axes; ++axis) {
            previous[axis] = g[axis];
        }
    }
    double holdSamples = std::ceil((fifoLeadRows + 1) * inputHz / sink.rowPeriodHz) + 1;
    for (int64_t k = 0; k < static_cast<int64_t>(holdSamples) && !sink.failed; ++k) {
        push(sink, chunk, previous);
    }
    if (!sink.failed && chunk.count > 0) {
        feed(sink, chunk.values, chunk.count);
    }
    if (!sink.failed) {
        feed(sink, nullptr, 0);
    }
}

bool writeFifoRows(const RunSettings &settings, const FifoRecord &record, double inputHz, int rows)
{
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    RowSink sink{};
    sink.rowPeriodHz = settings.rateHz;
    sink.rows = rows;
    sink.resampler = soxr_create(inputHz, settings.rateHz, axes, &error, &io, &quality, &runtime);
    if (error != nullptr) {
        printf("Failed to resample the capture: %s\n", error);
        return false;
    }
    if (!openCsvFile(settings.savePath, sink.writer)) {
        soxr_delete(sink.resampler);
        return false;
    }
    feedRecord(sink, record, inputHz);
    soxr_delete(sink.resampler);
    if (!sink.failed && sink.written < rows) {
        // The held samples reach past the last row: not seen, but a short
        // file must never pass for a complete one.
        printf("Failed to resample the capture: %d of %d rows came out\n", sink.written, rows);
        sink.failed = true;
    }
    bool closed = closeCsvFile(sink.writer);
    return !sink.failed && closed;
}
