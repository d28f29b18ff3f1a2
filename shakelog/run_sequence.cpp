#include "run_sequence.h"

#include <cstdio>

#include <pigpio.h>

#include "capture_mode.h"
#include "command_line.h"
#include "console_mode.h"
#include "csv_output.h"
#include "sensor_link.h"

int runShakelog(int argc, char **argv)
{
    RunSettings settings = defaultSettings();
    if (!parseCommandLine(argc, argv, settings) || !deriveCounts(settings)) {
        return 1;
    }
    // A destination that cannot be written is refused before minutes of
    // capture are spent on it.
    if (settings.saveToFile && !checkSaveDestination(settings.savePath)) {
        return 1;
    }
    if (gpioInitialise() < 0) {
        printf("Failed to initialize GPIO!");
        fflush(stdout);
        return 1;
    }
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
        return runCaptureMode(settings, link);
    }
    return runConsoleMode(settings, link);
}
