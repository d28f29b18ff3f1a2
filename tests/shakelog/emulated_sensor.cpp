#include "pigpio_emulation.h"
#include "run_captured.h"

void resetEmulatedSensor()
{
    // Made here, so that a forked child of a death test finds it made.
    ampleMemInfo();
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(1000.0);
}
