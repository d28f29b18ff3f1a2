#include "self_test.h"

#include <cstdio>

#include <pigpio.h>

int runSelfTest(SensorLink &link)
{
    releaseSensor(link);
    gpioTerminate();
    printf("Error occurred!");
    fflush(stdout);
    return 1;
}
