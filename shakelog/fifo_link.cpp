#include "fifo_link.h"

uint8_t fifoRateCode(double rateHz)
{
    uint8_t code = rateCode6Hz25;
    while (code < rateCode3200Hz && rateCodeHz(code) < 2 * rateHz) {
        ++code;
    }
    return code;
}

double rateCodeHz(uint8_t code)
{
    return rateCode3200HzHz / static_cast<double>(1 << (rateCode3200Hz - code));
}

int readFifoStatus(SensorLink &link)
{
    return readRegister(link, regFifoStatus);
}

int fifoEntries(int status)
{
    return static_cast<int>(fieldOf(fifoStatusEntriesMask, static_cast<uint8_t>(status)));
}
