#include "run_sequence.h"

#include <cstdio>

#include <pigpio.h>

#include "capture_mode.h"
#include "command_line.h"
#include "console_mode.h"
#include "csv_output.h"
#include "sensor_link.h"
#include "stop_signal.h"

int runShakelog(int argc, char **argv, const char *memInfoFile)
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
    // Likewise a capture the memory cannot hold: started, it would be killed
    // by the kernel once the memory runs out, with nothing saved.
    CaptureRecord record{};
    if (settings.saveToFile && !prepareCapture(settings, memInfoFile, record)) {
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
    configureSensor(link);
    settings.samplePeriod = 1.0 / settings.rateHz;
    if (settings.saveToFile) {
        return runCaptureMode(settings, link, record);
    }
    return runConsoleMode(settings, link);
}
