#include "record_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/timex.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "capture_files.h"
#include "capture_memory.h"
#include "host_clock.h"
#include "version.h"

namespace {

inline constexpr char recordFormat[] = "shakelog-record";
inline constexpr int recordFormatVersion = 1;
inline constexpr char temporarySuffix[] = ".tmp";
inline constexpr int microsPerSecond = 1000000;
// The least room taken for the next replacement.
inline constexpr int64_t recordSpareLeastBytes = int64_t{64} * 1024;

// The system clock's time of a monotonic moment, and what the kernel says
// of the system clock's accuracy.
void rowZeroInUtc(RecordFile &record, double rowZeroSec)
{
    timespec realNow{};
    clock_gettime(CLOCK_REALTIME, &realNow);
    double monotonicNow = hostMonotonicSec();
    double realSec = static_cast<double>(realNow.tv_sec) + realNow.tv_nsec * 1e-9;
    record.rowZeroUnixSec = realSec + (rowZeroSec - monotonicNow);
    record.rowZeroMonotonicSec = rowZeroSec;
    timex status{};
    int state = adjtimex(&status);
    record.clockSynchronised = state != -1 && state != TIME_ERROR && (status.status & STA_UNSYNC) == 0;
    record.clockEstimatedErrorUs = status.esterror;
    record.clockMaximumErrorUs = status.maxerror;
}

std::string utcText(double unixSec)
{
    double whole = std::floor(unixSec);
    auto seconds = static_cast<time_t>(whole);
    long micros = std::lround((unixSec - whole) * microsPerSecond);
    if (micros >= microsPerSecond) {
        ++seconds;
        micros -= microsPerSecond;
    }
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    size_t used = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + used, sizeof text - used, ".%06ldZ", micros);
    return text;
}

nlohmann::ordered_json partsOf(const RecordFile &record)
{
    const RunSettings &settings = *record.settings;
    nlohmann::ordered_json parts = nlohmann::ordered_json::array();
    int64_t partRows = static_cast<int64_t>(settings.splitSec) * static_cast<int64_t>(settings.rateHz);
    for (int part = 1; part <= record.partsWritten; ++part) {
        char name[PATH_MAX];
        if (settings.splitSec > 0) {
            partName(settings.savePath, part, name, sizeof name);
        } else {
            snprintf(name, sizeof name, "%s", settings.savePath);
        }
        const char *nameSlash = strrchr(name, '/');
        const char *file = nameSlash != nullptr ? nameSlash + 1 : name;
        int64_t first = settings.splitSec > 0 ? (part - 1) * partRows : 0;
        int64_t rows =
            settings.splitSec > 0 ? std::min(partRows, record.rowsWritten - first) : record.rowsWritten;
        parts.push_back({{"file", file},
                         {"first_row", first},
                         {"rows", rows < 0 ? 0 : rows},
                         {"first_time_s", static_cast<double>(first) / settings.rateHz}});
    }
    return parts;
}

nlohmann::ordered_json recordJson(const RecordFile &record)
{
    const RunSettings &settings = *record.settings;
    nlohmann::ordered_json commandLine = nlohmann::ordered_json::array();
    for (int i = 0; i < settings.argumentCount; ++i) {
        commandLine.push_back(settings.arguments[i]);
    }
    nlohmann::ordered_json rates = nlohmann::ordered_json::array();
    for (int i = 0; i < record.rateCount; ++i) {
        double ppm = (record.rates[i].rateHz / record.nominalHz - 1) * 1e6;
        rates.push_back({{"time_s", record.rates[i].timeSec},
                         {"rate_hz", record.rates[i].rateHz},
                         {"ppm", std::round(ppm * 10) / 10}});
    }
    nlohmann::ordered_json gaps = nlohmann::ordered_json::array();
    for (int i = 0; i < record.gapCount; ++i) {
        const RecordGap &gap = record.gaps[i];
        gaps.push_back({{"first_row", gap.firstRow},
                        {"last_row", gap.lastRow},
                        {"first_time_s", gap.fromSec},
                        {"last_time_s", gap.toSec},
                        {"samples_lost", gap.lost},
                        {"exact", gap.exact}});
    }
    nlohmann::ordered_json split = nullptr;
    if (settings.splitSec > 0) {
        split = settings.splitSec;
    }
    return {
        {"format", recordFormat},
        {"format_version", recordFormatVersion},
        {"program", "shakelog"},
        {"version", codeVersion},
        {"backend", backendName()},
        {"command_line", commandLine},
        {"options",
         {{"duration_s", settings.durationSec},
          {"rate_hz", settings.rateHz},
          {"file", settings.savePath},
          {"split_s", split}}},
        {"sensor", {{"data_rate_code", record.rateCode}, {"nominal_rate_hz", record.nominalHz}}},
        {"row0",
         {{"utc", utcText(record.rowZeroUnixSec)},
          {"unix_s", record.rowZeroUnixSec},
          {"monotonic_s", record.rowZeroMonotonicSec},
          {"clock_synchronised", record.clockSynchronised},
          {"clock_estimated_error_us", record.clockEstimatedErrorUs},
          {"clock_maximum_error_us", record.clockMaximumErrorUs}}},
        {"rows_written", record.rowsWritten},
        {"parts", partsOf(record)},
        {"sensor_rate", rates},
        {"gaps", gaps},
        {"gaps_not_listed", record.gapsNotListed},
        {"end",
         {{"state", record.state},
          {"signal", record.signalName != nullptr ? nlohmann::ordered_json(record.signalName)
                                                  : nlohmann::ordered_json()},
          {"exit_status", record.exitStatus >= 0 ? nlohmann::ordered_json(record.exitStatus)
                                                 : nlohmann::ordered_json()},
          {"message", record.message}}},
    };
}

}  // namespace

bool openRecordFile(RecordFile &record, const RunSettings &settings, uint8_t rateCode, double nominalHz,
                    double rowZeroSec)
{
    record.settings = &settings;
    record.rateCode = rateCode;
    record.nominalHz = nominalHz;
    record.state = "running";
    record.exitStatus = -1;
    record.lastWrittenSec = -INFINITY;  // the first replacement is due at once
    record.spareFd = -1;
    int length = snprintf(record.path, sizeof record.path, "%s%s", settings.savePath, recordSuffix);
    record.enabled = length > 0 && static_cast<size_t>(length) < sizeof record.path;
    rowZeroInUtc(record, rowZeroSec);
    record.rates = static_cast<RecordRate *>(reserveArray(recordRatesMax, sizeof(RecordRate)));
    record.gaps = static_cast<RecordGap *>(reserveArray(recordGapsMax, sizeof(RecordGap)));
    return record.rates != nullptr && record.gaps != nullptr;
}

void releaseRecordFile(RecordFile &record)
{
    releaseArray(record.rates, recordRatesMax, sizeof(RecordRate));
    releaseArray(record.gaps, recordGapsMax, sizeof(RecordGap));
    record.rates = nullptr;
    record.gaps = nullptr;
}

void noteRecordRate(RecordFile &record, double timeSec, double rateHz)
{
    if (record.rateCount < recordRatesMax) {
        record.rates[record.rateCount++] = RecordRate{timeSec, rateHz};
    }
}

void noteRecordGap(RecordFile &record, const RecordGap &gap)
{
    if (record.gapCount < recordGapsMax) {
        record.gaps[record.gapCount++] = gap;
    } else {
        ++record.gapsNotListed;
    }
}

// Takes room on the disk for the next replacement, at least twice what the
// record needs now; false when the disk has none left.
bool prepareSpare(RecordFile &record, const char *temporary, size_t bytes)
{
    int64_t wanted = std::max<int64_t>(recordSpareLeastBytes, 2 * static_cast<int64_t>(bytes));
    if (record.spareFd >= 0 && record.spareBytes >= static_cast<int64_t>(bytes)) {
        return true;
    }
    if (record.spareFd < 0) {
        record.spareFd = open(temporary, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        record.spareBytes = 0;
        if (record.spareFd < 0) {
            return false;
        }
    }
    int error = posix_fallocate(record.spareFd, 0, wanted);
    if (error != 0) {
        errno = error;
        return false;
    }
    record.spareBytes = wanted;
    return true;
}

bool writeRecordFile(RecordFile &record, double nowSec)
{
    if (!record.enabled) {
        return true;
    }
    record.lastWrittenSec = nowSec;
    std::string text = recordJson(record).dump(2);
    char temporary[PATH_MAX + sizeof temporarySuffix];
    snprintf(temporary, sizeof temporary, "%s%s", record.path, temporarySuffix);
    size_t needed = text.size() + 1;
    bool written = prepareSpare(record, temporary, needed);
    if (written) {
        // Spaces to the end of the room taken: what a JSON reader passes over.
        text.append(static_cast<size_t>(record.spareBytes) - text.size() - 1, ' ');
        text.push_back('\n');
        written =
            pwrite(record.spareFd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
            fsync(record.spareFd) == 0;
    }
    int error = errno;
    if (record.spareFd >= 0) {
        written = close(record.spareFd) == 0 && written;
        record.spareFd = -1;
    }
    written = written && rename(temporary, record.path) == 0;
    if (!written) {
        error = errno != 0 ? errno : error;
        unlink(temporary);
        printf("Failed to write the record %s: %s\n", record.path, strerror(error));
        fflush(stdout);
        record.enabled = false;  // said once; the rows go on
        return false;
    }
    syncDirectoryOf(record.path);
    // The room the record just left makes the next one's.
    prepareSpare(record, temporary, needed);
    return true;
}

void closeRecordFile(RecordFile &record)
{
    if (record.spareFd >= 0) {
        close(record.spareFd);
        record.spareFd = -1;
        char temporary[PATH_MAX + sizeof temporarySuffix];
        snprintf(temporary, sizeof temporary, "%s%s", record.path, temporarySuffix);
        unlink(temporary);
    }
}
