// Control of the stand-in for the kernel's SPI driver, for tests and
// benchmarks.  The stand-in takes the place of the C library's open, close
// and ioctl for the one path /dev/spidev0.0 (every other path and descriptor
// goes to the real C library) and answers as the kernel's spidev driver
// does, with the emulated ADXL345 on the bus.
//
// The device's settings belong to the device, not to one open file, and
// start as on a freshly booted Pi: SPI mode 0, 8 bits per word, 125 MHz.
// The ADXL345 follows only mode 3 at up to 5 MHz; otherwise every transfer
// succeeds but the data is garbage, as on the hardware.  A transfer's
// speed_hz and bits_per_word of 0 mean the device's settings.
//
// Refused with the kernel's error numbers: a message of more than one
// transfer (EINVAL: not emulated), a transfer longer than the driver's
// 4096-byte buffer (EMSGSIZE), a word size other than 8 (EINVAL, as the
// Pi's controller does), unused fields of a transfer that are not zero
// (EINVAL: the kernel would act on them), a buffer address beyond the
// address space (EFAULT), and ioctl requests spidev does not know (ENOTTY).
//
// The ADXL345's FIFO pops a sample when a read of its data registers ends,
// and needs 5 us after that before the data registers or FIFO_STATUS can be
// read again (emulated/adxl345/adxl345.h has the rules).  A transfer ends
// when its bytes have gone over the wire, or at once with wire time off.
#ifndef SPIDEV_EMULATION_H
#define SPIDEV_EMULATION_H

#include <cstddef>
#include <cstdint>

inline constexpr char spidevEmulatedPath[] = "/dev/spidev0.0";
inline constexpr uint32_t spidevPowerOnMode = 0;
inline constexpr uint8_t spidevPowerOnBits = 8;
inline constexpr uint32_t spidevPowerOnSpeedHz = 125000000;
inline constexpr uint32_t spidevBufferBytes = 4096;

struct SpidevSettings {
    uint32_t mode;
    uint8_t bitsPerWord;
    uint32_t maxSpeedHz;
};

// One transfer as the driver received it, with the settings it ran at.
inline constexpr size_t spidevLoggedBytes = 8;
struct SpidevTransfer {
    uint32_t len;
    uint32_t speedHz;                     // the transfer's own field (0: the device's)
    uint32_t mode;                        // the device's mode when it ran
    uint8_t bitsPerWord;                  // the transfer's own field (0: the device's)
    bool hasTx;                           // tx_buf not 0
    bool hasRx;                           // rx_buf not 0
    bool sameBuffer;                      // tx_buf == rx_buf
    unsigned char tx[spidevLoggedBytes];  // first bytes sent
    unsigned char rx[spidevLoggedBytes];  // first bytes received
};
inline constexpr long spidevLogCapacity = 256;

// Back to the state after boot: settings at power-on, ADXL345 at power-on
// and attached, opens succeed, wire time on, logs empty, no open files.
// Descriptors still open stay open in the C library but are forgotten.
void spidevEmulationReset();

// Opens of the device fail with this errno from now on (ENOENT: SPI not
// enabled; EACCES: not in group spi); 0 lets them succeed again.
void spidevEmulationFailOpen(int error);

// Whether a transfer waits for its time on the wire (len * 8 clock cycles)
// before it returns, as the kernel's does.  Off, the stand-in's own cost is
// all that is left.
void spidevEmulationSetWireTime(bool on);

// Nothing drives MISO: every byte read is 0x00 (no sensor wired).
void spidevEmulationDetachSensor();

SpidevSettings spidevEmulationSettings();
// Flags of the latest successful open, and how many files are open now.
int spidevEmulationOpenFlags();
int spidevEmulationOpenFiles();

// Transfers that ran (the first spidevLogCapacity are kept), and the
// ioctl calls refused, with the errno of the latest.
long spidevEmulationTransferCount();
bool spidevEmulationTransfer(long index, SpidevTransfer *transfer);
long spidevEmulationRefusedCount();
int spidevEmulationLastRefusal();

// The sample clock, its drift, the start phase, the signal, the noise and
// the self-test shift of the ADXL345, as the pigpio stand-in's
// emulatedSetSampleClockError, emulatedSetSampleClockDrift,
// emulatedSetStartPhase, emulatedSetTone, emulatedSetNoiseCounts and
// emulatedSetSelfTestShift set them (refused with a line on standard error
// alike).  The device's time here is CLOCK_MONOTONIC.
void spidevEmulationSetSampleClockError(double fractionOffNominal);
void spidevEmulationSetSampleClockDrift(double rampPerSecond, double wanderFraction,
                                        double wanderPeriodSec);
void spidevEmulationSetStartPhase(double seconds);
void spidevEmulationSetTone(int axis, double amplitudeG, double hz);
void spidevEmulationSetNoiseCounts(int counts);
void spidevEmulationSetSelfTestShift(int x, int y, int z);

// A register of the ADXL345 as a read would return it, without the read's
// side effects and without the FIFO's wait after a pop; -1 for an address
// outside 0x00..0x3F.
int spidevEmulationRegister(int address);

#endif
