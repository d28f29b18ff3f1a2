#include "command_line.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tuning.h"
#include "version.h"

RunSettings defaultSettings()
{
    RunSettings settings{};
    settings.durationSec = timeDefault;
    settings.rateHz = freqDefault;
    settings.saveToFile = false;
    settings.savePath = "";
    return settings;
}

void printUsage()
{
    printf(
        "shakelog (version %s) \n"
        "<%s>\n"
        "\n"
        "Usage: shakelog [OPTION]... \n"
        "Read data from ADXL345 accelerometer through SPI interface on Raspberry Pi.\n"
        "Online help, docs & bug reports: <%s>\n"
        "\n"
        "Mandatory arguments to long options are mandatory for short options too.\n"
        "  -s, --save FILE     save data to specified FILE (data printed to command-line\n"
        "                      output, if not specified)\n"
        "  -t, --time TIME     set the duration of data stream to TIME seconds\n"
        "                      (default: %i seconds) [integer]\n"
        "  -f, --freq FREQ     set the sampling rate of data stream to FREQ samples per\n"
        "                      second, 1 <= FREQ <= %i (default: %i Hz) [integer]\n"
        "  -F, --fifo          with -s: read the sensor's FIFO on the sensor's own clock\n"
        "                      and stream the rows to FILE as the capture runs\n"
        "      --split SECONDS with -F: start a new file every SECONDS of rows, FILE's\n"
        "                      name numbered before its extension (run-0001.csv, ...)\n"
        "      --self-test     test the sensor (self-test force, offsets, noise and data\n"
        "                      rate) and exit: 0 if every check passes\n"
        "\n"
        "Data is streamed in comma separated format, e. g.:\n"
        "  time,     x,     y,     z\n"
        "   0.0,  10.0,   0.0, -10.0\n"
        "   1.0,   5.0,  -5.0,  10.0\n"
        "   ...,   ...,   ...,   ...\n"
        "  time shows seconds elapsed since the first reading;\n"
        "  x, y and z show acceleration along x, y and z axis in fractions of <g>.\n"
        "\n"
        "Exit status:\n"
        "  0  if OK\n"
        "  1  if error occurred during data reading or wrong cmdline arguments.\n",
        codeVersion, homePageURL, bugReportURL, timeDefault, freqMax, freqDefault);
}

// atoi, except that a number beyond the int range saturates instead of
// wrapping: a frequency of 4294967297 must not come out as 1 Hz.
static int parseInteger(const char *word)
{
    long value = strtol(word, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

static bool isOption(const char *word, const char *shortName, const char *longName)
{
    return strcmp(word, shortName) == 0 || strcmp(word, longName) == 0;
}

bool parseCommandLine(int argc, char **argv, RunSettings &settings)
{
    settings.argumentCount = argc;
    settings.arguments = argv;
    bool split = false;
    int index = 1;
    while (index < argc) {
        const char *word = argv[index];
        bool hasArgument = index + 1 <= argc - 1;
        if (isOption(word, "-F", "--fifo")) {
            settings.fifoCapture = true;
            index += 1;
            continue;
        }
        if (strcmp(word, "--self-test") == 0) {
            settings.selfTest = true;
            index += 1;
            continue;
        }
        if (strcmp(word, "--split") == 0) {
            split = true;
            if (!hasArgument) {
                printUsage();
                return false;
            }
            settings.splitSec = parseInteger(argv[index + 1]);
            if (settings.splitSec < 1 || settings.splitSec > splitMax) {
                printf("Wrong split length specified (1 to %d seconds)!\n\n", splitMax);
                printUsage();
                return false;
            }
        } else if (isOption(word, "-s", "--save")) {
            settings.saveToFile = true;
            if (!hasArgument) {
                printUsage();
                return false;
            }
            settings.savePath = argv[index + 1];
        } else if (isOption(word, "-t", "--time")) {
            if (!hasArgument) {
                printUsage();
                return false;
            }
            settings.durationSec = parseInteger(argv[index + 1]);
        } else if (isOption(word, "-f", "--freq")) {
            if (!hasArgument) {
                printUsage();
                return false;
            }
            settings.rateHz = parseInteger(argv[index + 1]);
            if (settings.rateHz < 1 || settings.rateHz > freqMax) {
                puts("Wrong sampling rate specified!\n");
                printUsage();
                return false;
            }
        } else {
            printUsage();
            return false;
        }
        index += 2;
    }
    // The FIFO is a way of capturing to a file: without one it has no use;
    // nor has splitting without the FIFO's streaming, nor a capture's
    // options beside the self-test.
    bool capture = settings.saveToFile || settings.fifoCapture || split;
    if ((settings.fifoCapture && !settings.saveToFile) || (split && !settings.fifoCapture) ||
        (settings.selfTest && (capture || argc > 2))) {
        printUsage();
        return false;
    }
    return true;
}

bool deriveCounts(RunSettings &settings)
{
    // Checked on the doubles, before any conversion, so that a negative or
    // overflowing count can never reach an allocation or an index.
    // The FIFO capture keeps no count of reads, only of rows and samples.
    int longest = settings.fifoCapture ? fifoDurationMax : durationMax;
    if (settings.durationSec < 0 || settings.durationSec > longest) {
        printf("Wrong duration specified (0 to %d seconds)!\n\n", longest);
        printUsage();
        return false;
    }
    settings.sampleCount = static_cast<int>(settings.rateHz * settings.durationSec);
    settings.rawCapacity =
        settings.fifoCapture ? 0 : static_cast<int>(freqMaxSPI * settings.durationSec);
    return true;
}
