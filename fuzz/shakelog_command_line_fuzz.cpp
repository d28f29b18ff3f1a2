// shakelog's command line on arbitrary argument vectors: parseCommandLine and
// deriveCounts must never crash, and what they accept must agree with the
// rules of the command line, checked here by a model of those rules.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line.h"
#include "fuzz_input.h"
#include "tuning.h"

namespace {

char programName[] = "shakelog";

enum class OptionKind { none, fifo, selfTest, save, time, freq, split };

OptionKind optionOf(const char *word)
{
    if (strcmp(word, "-F") == 0 || strcmp(word, "--fifo") == 0) {
        return OptionKind::fifo;
    }
    if (strcmp(word, "--self-test") == 0) {
        return OptionKind::selfTest;
    }
    if (strcmp(word, "--split") == 0) {
        return OptionKind::split;
    }
    if (strcmp(word, "-s") == 0 || strcmp(word, "--save") == 0) {
        return OptionKind::save;
    }
    if (strcmp(word, "-t") == 0 || strcmp(word, "--time") == 0) {
        return OptionKind::time;
    }
    if (strcmp(word, "-f") == 0 || strcmp(word, "--freq") == 0) {
        return OptionKind::freq;
    }
    return OptionKind::none;
}

// What a word gives as a number: atoi's reading, saturated at the int range
// instead of wrapping.
double numberOf(const char *word)
{
    long long value = strtoll(word, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<double>(value);
}

// The settings the rules give, and whether they accept the vector at all:
// option words, each but -F and --self-test followed by its argument, every
// rate within 1..freqMax and split within 1..splitMax, -F only with a save
// path, --split only with -F, --self-test alone, and the final duration
// within 0..durationMax (0..fifoDurationMax with -F).
struct ExpectedRun {
    bool parses;
    bool derives;
    bool fifo;
    bool selfTest;
    bool split;
    bool saveToFile;
    const char *savePath;
    double durationSec;
    double rateHz;
    double splitSec;
};

ExpectedRun expectedRun(int argc, char **argv)
{
    ExpectedRun run{false, false, false, false, false, false, "", timeDefault, freqDefault, 0};
    for (int index = 1; index < argc; index += 2) {
        OptionKind kind = optionOf(argv[index]);
        if (kind == OptionKind::fifo || kind == OptionKind::selfTest) {
            (kind == OptionKind::fifo ? run.fifo : run.selfTest) = true;
            --index;  // a flag: the next word is an option again
            continue;
        }
        if (kind == OptionKind::none || index + 1 >= argc) {
            return run;
        }
        const char *value = argv[index + 1];
        if (kind == OptionKind::save) {
            run.saveToFile = true;
            run.savePath = value;
        } else if (kind == OptionKind::time) {
            run.durationSec = numberOf(value);
        } else if (kind == OptionKind::split) {
            run.split = true;
            run.splitSec = numberOf(value);
            if (run.splitSec < 1 || run.splitSec > splitMax) {
                return run;
            }
        } else {
            run.rateHz = numberOf(value);
            if (run.rateHz < 1 || run.rateHz > freqMax) {
                return run;
            }
        }
    }
    bool capture = run.saveToFile || run.fifo || run.split;
    if ((run.fifo && !run.saveToFile) || (run.split && !run.fifo) || (run.selfTest && (capture || argc > 2))) {
        return run;
    }
    run.parses = true;
    run.derives =
        run.durationSec >= 0 && run.durationSec <= (run.fifo ? fifoDurationMax : durationMax);
    return run;
}

void require(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

void checkCounts(const RunSettings &settings)
{
    require(settings.rateHz >= 1 && settings.rateHz <= freqMax, "rate within 1..freqMax");
    require(settings.durationSec >= 0 &&
                settings.durationSec <= (settings.fifoCapture ? fifoDurationMax : durationMax),
            "duration within the mode's limit");
    require(std::trunc(settings.rateHz) == settings.rateHz &&
                std::trunc(settings.durationSec) == settings.durationSec,
            "rate and duration are whole numbers");
    require(settings.sampleCount >= 0 && settings.rawCapacity >= 0, "counts are not negative");
    // Both products are exact in a double: they stay far below 2^53.
    require(settings.sampleCount == static_cast<int64_t>(settings.rateHz * settings.durationSec),
            "sampleCount = rateHz x durationSec");
    if (settings.fifoCapture) {
        require(settings.rawCapacity == 0, "no raw record through the FIFO");
        return;
    }
    require(settings.rawCapacity ==
                static_cast<int64_t>(static_cast<double>(freqMaxSPI) * settings.durationSec),
            "rawCapacity = freqMaxSPI x durationSec");
    require(settings.sampleCount <= settings.rawCapacity,
            "the raw record holds at least as many readings as the rows");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The usage text is printed for most inputs; nobody needs to read it.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArguments arguments;
    splitArguments(data, size, programName, arguments);
    ExpectedRun expected = expectedRun(arguments.argc, arguments.argv);

    RunSettings settings = defaultSettings();
    bool parsed = parseCommandLine(arguments.argc, arguments.argv, settings);
    require(parsed == expected.parses, "accepts exactly the vectors the rules accept");
    if (parsed) {
        require(settings.saveToFile == expected.saveToFile, "file mode as the rules say");
        require(settings.fifoCapture == expected.fifo, "the FIFO capture as the rules say");
        require(settings.selfTest == expected.selfTest, "the self-test as the rules say");
        require(settings.splitSec == expected.splitSec, "the last split length wins");
        if (expected.saveToFile) {
            require(settings.savePath == expected.savePath, "the last save path wins");
        } else {
            require(settings.savePath[0] == '\0', "no save path without file mode");
        }
        require(settings.durationSec == expected.durationSec, "the last duration wins");
        require(settings.rateHz == expected.rateHz, "the last rate wins");
        bool derived = deriveCounts(settings);
        require(derived == expected.derives, "refuses exactly the durations out of range");
        if (derived) {
            checkCounts(settings);
        }
    }
    fflush(stdout);
    freeArguments(arguments);
    return 0;
}
