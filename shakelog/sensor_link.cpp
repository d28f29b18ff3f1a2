#include "sensor_link.h"

#include <cstdio>

#include <pigpio.h>

#include "tuning.h"

int writeBytes(int handle, char *buffer, int count)
{
    if (count > 1) {
        buffer[0] = static_cast<char>(buffer[0] | commandMultiByte);
    }
    return spiWrite(handle, buffer, count);
}

int readBytes(int handle, char *buffer, int count)
{
    buffer[0] = static_cast<char>(buffer[0] | commandRead);
    if (count > 1) {
        buffer[0] = static_cast<char>(buffer[0] | commandMultiByte);
    }
    return spiXfer(handle, buffer, buffer, count);
}

void openSensorLink(SensorLink &link)
{
    link.handle = spiOpen(spiChannel, speedSPI, spiMode3);
}

int readRegister(SensorLink &link, uint8_t address)
{
    link.buffer[0] = static_cast<char>(address);
    link.buffer[1] = 0;
    if (readBytes(link.handle, link.buffer, 2) != 2) {
        return -1;
    }
    return static_cast<unsigned char>(link.buffer[1]);
}

bool writeRegisters(SensorLink &link, uint8_t address, const uint8_t *values, int count)
{
    if (count < 1 || count >= linkBufferBytes) {
        return false;
    }
    link.buffer[0] = static_cast<char>(address);
    for (int i = 0; i < count; ++i) {
        link.buffer[1 + i] = static_cast<char>(values[i]);
    }
    return writeBytes(link.handle, link.buffer, count + 1) == count + 1;
}

int readDeviceId(SensorLink &link)
{
    return readRegister(link, regDevId);
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

bool writeRegister(SensorLink &link, uint8_t address, uint8_t value)
{
    return writeRegisters(link, address, &value, 1);
}

// The FIFO_CTL value of a mode and watermark.
static uint8_t fifoControl(uint8_t fifoMode, uint8_t watermark)
{
    return fieldValue(fifoCtlModeMask, fifoMode) | fieldValue(fifoCtlSamplesMask, watermark);
}

bool configureSensor(SensorLink &link, uint8_t rateCode, uint8_t fifoMode, uint8_t watermark)
{
    // Standby first: the FIFO and the sample clock start afresh at the
    // measure bit, in the format and at the rate set before it.  Leaving a
    // FIFO mode for bypass empties the FIFO, so a stream left full by an
    // earlier run is not read as new samples.  The offset trims, all three
    // in one transfer, go back to none.
    const uint8_t noOffsets[offsetRegisters] = {0, 0, 0};
    return writeRegister(link, regPowerCtl, powerCtlStandby) &&
           writeRegister(link, regFifoCtl, fifoControl(fifoModeBypass, 0)) &&
           (fifoMode == fifoModeBypass ||
            writeRegister(link, regFifoCtl, fifoControl(fifoMode, watermark))) &&
           writeRegisters(link, regOfsX, noOffsets, offsetRegisters) &&
           writeRegister(link, regBwRate, fieldValue(bwRateRateMask, rateCode)) &&
           writeRegister(link, regDataFormat, dataFormatCapture) &&
           writeRegister(link, regPowerCtl, powerCtlMeasure);
}

bool sensorHoldsConfiguration(SensorLink &link, uint8_t rateCode, uint8_t fifoMode, uint8_t watermark)
{
    for (int i = 0; i < offsetRegisters; ++i) {
        if (readRegister(link, static_cast<uint8_t>(regOfsX + i)) != 0) {
            return false;
        }
    }
    return readRegister(link, regBwRate) == fieldValue(bwRateRateMask, rateCode) &&
           readRegister(link, regFifoCtl) == fifoControl(fifoMode, watermark) &&
           readRegister(link, regDataFormat) == dataFormatCapture &&
           readRegister(link, regPowerCtl) == powerCtlMeasure;
}

bool configureDirectReading(SensorLink &link)
{
    return configureSensor(link, rateCode3200Hz, fifoModeBypass, 0);
}

void releaseSensor(SensorLink &link)
{
    writeRegister(link, regFifoCtl, fifoControl(fifoModeBypass, 0));
    writeRegister(link, regDataFormat, dataFormatCapture);
    writeRegister(link, regPowerCtl, powerCtlStandby);
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
    link.buffer[0] = static_cast<char>(regDataX0);
    int result = readBytes(link.handle, link.buffer, sampleBytes);
    if (result == sampleBytes) {
        sample = decodeSample(link.buffer);
    }
    return result;
}

int readFifoSample(SensorLink &link, AccelSample &sample, uint8_t &intSource)
{
    link.buffer[0] = static_cast<char>(regIntSource);
    int result = readBytes(link.handle, link.buffer, fifoSampleBytes);
    if (result == fifoSampleBytes) {
        intSource = static_cast<uint8_t>(link.buffer[1]);
        // The data bytes follow INT_SOURCE and DATA_FORMAT.
        sample = decodeSample(link.buffer + (regDataX0 - regIntSource));
    }
    return result;
}
