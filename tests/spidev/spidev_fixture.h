// The spidev backend on the stand-in for the kernel's driver, reset for
// every test and released after it.
#ifndef TESTS_SPIDEV_FIXTURE_H
#define TESTS_SPIDEV_FIXTURE_H

#include <gtest/gtest.h>

#include <linux/spi/spidev.h>

#include <pigpio.h>

#include "spidev_emulation.h"

inline constexpr unsigned busBaud = 2000000;
inline constexpr unsigned mode3 = 3;

class SpidevBus : public testing::Test {
protected:
    void SetUp() override
    {
        spidevEmulationReset();
        spidevEmulationSetWireTime(false);
    }
    void TearDown() override
    {
        gpioTerminate();
        spidevEmulationReset();
    }
};

inline SpidevTransfer loggedTransfer(long index)
{
    SpidevTransfer transfer{};
    EXPECT_TRUE(spidevEmulationTransfer(index, &transfer)) << "transfer " << index;
    return transfer;
}

#endif
