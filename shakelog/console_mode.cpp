#include "console_mode.h"

#include <cstdio>

#include <pigpio.h>

#include "file_capture.h"
#include "stop_signal.h"
#include "tuning.h"

// The first reads after power-up may not hold a sample yet: read and drop.
static bool warmUp(SensorLink &link)
{
    bool readOk = true;
    AccelSample sample;
    for (int i = 0; i < coldStartSamples; ++i) {
        if (readSample(link, sample) != sampleBytes) {
            readOk = false;
        }
        time_sleep(coldStartDelay);
    }
    return readOk;
}

int runConsoleMode(const RunSettings &settings, SensorLink &link)
{
    bool readOk = warmUp(link);
    double t0 = time_time();
    double lastCheck = t0;
    int attempted = 0;
    bool interrupted = false;
    bool readerGone = false;
    for (; attempted < settings.sampleCount; ++attempted) {
        if (stopSignal != 0) {
            interrupted = true;
            break;
        }
        // A sensor that went away reads as a still one: only its ID tells.
        double now = time_time();
        if (now - lastCheck >= sensorCheckSec) {
            lastCheck = now;
            int deviceId = readDeviceId(link);
            if (deviceId < 0) {
                readOk = false;  // a failed read, as any other
            } else if (deviceId != devIdADXL345) {
                gpioTerminate();
                printMissingSensor(deviceId);
                return 1;
            }
        }
        AccelSample sample;
        if (readSample(link, sample) == sampleBytes) {
            double t = time_time() - t0;
            printf("time = %.3f, x = %.3f, y = %.3f, z = %.3f\n", t, sample.x, sample.y, sample.z);
            // Nobody reads the stream any more (a closed pipe, a full disk):
            // reading on would only fail again.
            if (fflush(stdout) != 0) {
                readerGone = true;
                break;
            }
        } else {
            readOk = false;
        }
        // Open-loop pacing: the time spent reading is not subtracted.
        time_sleep(settings.samplePeriod);
    }
    gpioTerminate();
    if (readerGone) {
        return 1;
    }
    double elapsed = time_time() - t0;
    // A clock that did not advance (or was set back) must not print nan or a
    // negative rate.
    double rate = elapsed > 0 ? attempted / elapsed : 0.0;
    printf("%d samples read in %.2f seconds with sampling rate %.1f Hz\n", attempted, elapsed, rate);
    fflush(stdout);
    // The interruption is the run's outcome, in place of "Done" or "Error
    // occurred!": the readings stopped short of what was asked.
    if (interrupted) {
        printf("Stream interrupted after %d of %d readings.\n", attempted, settings.sampleCount);
        fflush(stdout);
        return 1;
    }
    if (!readOk) {
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    printf("Done\n");
    fflush(stdout);
    return 0;
}
