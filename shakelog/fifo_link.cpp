#include "fifo_link.h"

#include <pigpio.h>

int fifoRateCode(double rateHz)
{
    int code = bwRateCodeSlowest;
    while (code < bwRateCodeFastest && rateCodeHz(code) < 2 * rateHz) {
        ++code;
    }
    return code;
}

double rateCodeHz(int code)
{
    return bwRateFastestHz / static_cast<double>(1 << (bwRateCodeFastest - code));
}

static int readRegister(SensorLink &link, char address)
{
    link.buffer[0] = address;
    link.buffer[1] = 0;
    if (readBytes(link.handle, link.buffer, 2) != 2) {
        return -1;
    }
    return static_cast<unsigned char>(link.buffer[1]);
}

// Writes one register and reads it back.
static bool setRegister(SensorLink &link, char address, unsigned char value)
{
    link.buffer[0] = address;
    link.buffer[1] = static_cast<char>(value);
    if (writeBytes(link.handle, link.buffer, 2) != 2) {
        return false;
    }
    return readRegister(link, address) == value;
}

bool configureFifo(SensorLink &link, int rateCode, int watermark)
{
    // Measurement last: samples enter the FIFO only once it is on, and then
    // in the format and at the rate set before.
    unsigned char fifoCtl = fifoCtlStream | (watermark & fifoCtlSamplesMask);
    return setRegister(link, regBwRate, static_cast<unsigned char>(rateCode)) &&
           setRegister(link, regFifoCtl, fifoCtl) &&
           setRegister(link, regDataFormat, dataFormatFullRes16g) &&
           setRegister(link, regPowerCtl, powerCtlMeasure);
}

int readFifoEntries(SensorLink &link)
{
    int status = readRegister(link, regFifoStatus);
    return status < 0 ? -1 : status & fifoStatusEntriesMask;
}

int readIntSource(SensorLink &link)
{
    return readRegister(link, regIntSource);
}
