#include "pigpio.h"
#include "pigpio_emulation.h"
