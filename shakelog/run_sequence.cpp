#include "run_sequence.h"

#include <cstdio>

#include <pigpio.h>

#include "capture_mode.h"
#include "command_line.h"
#include "console_mode.h"
#include "fifo_mode.h"
#include "save_destination.h"
#include "save_space.h"
#include "self_test.h"
#include "sensor_link.h"
#include "stop_signal.h"

int runShakelog(int argc, char **argv)
{
    ignoreBrokenPipe();
    RunSettings settings = defaultSettings();
    if (!parseCommandLine(argc, argv, settings) || !deriveCounts(settings)) {
        return 1;
    }
    // A destination that cannot be written is refused before minutes of
    // capture are spent on it.
    if (settings.saveToFile && !checkSaveDestination(settings.savePath)) {
        return 1;
    }
    // Nor is a capture started whose file cannot fit: it would end in a
    // cut-off file.
    if (settings.saveToFile && !checkSaveSpace(settings)) {
        return 1;
    }
    // Likewise a capture the memory cannot hold: started, it would be killed
    // by the kernel once the memory runs out, with nothing saved.  The FIFO
    // capture streams its rows and holds the same little whatever its length.
    CaptureRecord record{};
    if (settings.saveToFile && !settings.fifoCapture && !prepareCapture(settings, record)) {
        return 1;
    }
    StopDispositions dispositions = recordStopDispositions();
    if (gpioInitialise() < 0) {
        printf("Failed to initialize GPIO!");
        fflush(stdout);
        return 1;
    }
    installStopHandlers(dispositions);
    SensorLink link{};
    openSensorLink(link);
    // A missing or miswired sensor reads as zeros: refuse it rather than
    // stream zeros and report success.
    int deviceId = readDeviceId(link);
    if (deviceId != devIdADXL345) {
        gpioTerminate();
        printMissingSensor(deviceId);
        return 1;
    }
    settings.samplePeriod = 1.0 / settings.rateHz;
    if (settings.selfTest) {
        return runSelfTest(link);
    }
    if (settings.fifoCapture) {
        return runFifoCaptureMode(settings, link);
    }
    if (!configureDirectReading(link)) {
        gpioTerminate();
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    if (settings.saveToFile) {
        return runCaptureMode(settings, link, record);
    }
    return runConsoleMode(settings, link);
}
