#include "sensor_link.h"

#include <cstdio>

#include <pigpio.h>

#include "tuning.h"

int writeBytes(int handle, char *buffer, int count)
{
    if (count > 1) {
        buffer[0] |= commandMultiByte;
    }
    return spiWrite(handle, buffer, count);
}

int readBytes(int handle, char *buffer, int count)
{
    buffer[0] |= commandRead;
    if (count > 1) {
        buffer[0] |= commandMultiByte;
    }
    return spiXfer(handle, buffer, buffer, count);
}

void openSensorLink(SensorLink &link)
{
    link.handle = spiOpen(spiChannel, speedSPI, spiMode3);
}

int readDeviceId(SensorLink &link)
{
    link.buffer[0] = regDevId;
    link.buffer[1] = 0;
    if (readBytes(link.handle, link.buffer, 2) != 2) {
        return -1;
    }
    return static_cast<unsigned char>(link.buffer[1]);
}

void printMissingSensor(int deviceId)
{
    if (deviceId < 0) {
        printf("Accelerometer not found: reading its device ID failed (expected 0x%02X)!\n",
               devIdADXL345);
    } else {
        printf("Accelerometer not found: device ID 0x%02X, expected 0x%02X!\n",
               static_cast<unsigned>(deviceId), devIdADXL345);
    }
    fflush(stdout);
}

static void writeRegister(SensorLink &link, char address, char value)
{
    link.buffer[0] = address;
    link.buffer[1] = value;
    writeBytes(link.handle, link.buffer, 2);
}

void configureSensor(SensorLink &link)
{
    writeRegister(link, regBwRate, bwRate3200Hz);
    writeRegister(link, regDataFormat, dataFormatFullRes16g);
    writeRegister(link, regPowerCtl, powerCtlMeasure);
}

static int16_t decodeCount(char low, char high)
{
    return static_cast<int16_t>(static_cast<unsigned char>(high) << 8 | static_cast<unsigned char>(low));
}

AccelSample decodeSample(const char *buffer)
{
    AccelSample sample;
    sample.countX = decodeCount(buffer[1], buffer[2]);
    sample.countY = decodeCount(buffer[3], buffer[4]);
    sample.countZ = decodeCount(buffer[5], buffer[6]);
    sample.x = sample.countX * accConversion;
    sample.y = sample.countY * accConversion;
    sample.z = sample.countZ * accConversion;
    return sample;
}

int readSample(SensorLink &link, AccelSample &sample)
{
    link.buffer[0] = regDataX0;
    int result = readBytes(link.handle, link.buffer, sampleBytes);
    if (result == sampleBytes) {
        sample = decodeSample(link.buffer);
    }
    return result;
}
