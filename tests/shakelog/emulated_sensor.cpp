#include "pigpio_emulation.h"
#include "run_captured.h"

void resetEmulatedSensor()
{
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(1000.0);
}
