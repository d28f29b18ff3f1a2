// The part of the pigpio C interface that shakelog uses, with pigpio's own
// signatures and error codes.  The spidev backend (shakelog/spidev/) and the
// emulated library (emulated/pigpio/) provide these functions; a build on
// the pigpio backend compiles the same code against pigpio's own pigpio.h.
#ifndef SHAKELOG_PIGPIO_API_H
#define SHAKELOG_PIGPIO_API_H

#define PI_INIT_FAILED (-1)
#define PI_NO_HANDLE (-24)
#define PI_BAD_HANDLE (-25)
#define PI_NOT_INITIALISED (-31)
#define PI_SPI_OPEN_FAILED (-73)
#define PI_BAD_SPI_CHANNEL (-76)
#define PI_BAD_FLAGS (-77)
#define PI_BAD_SPI_SPEED (-78)
#define PI_BAD_SPI_COUNT (-84)
#define PI_SPI_XFER_FAILED (-89)

#ifdef __cplusplus
// The clocks spiOpen accepts, and the flag bits that hold the SPI mode.
inline constexpr unsigned spiMinBaud = 32000;
inline constexpr unsigned spiMaxBaud = 125000000;
inline constexpr unsigned spiFlagModeMask = 0x3;
#endif

#ifdef __cplusplus
extern "C" {
#endif

int gpioInitialise(void);
void gpioTerminate(void);
int spiOpen(unsigned spiChan, unsigned baud, unsigned spiFlags);
int spiWrite(unsigned handle, char *buf, unsigned count);
int spiXfer(unsigned handle, char *txBuf, char *rxBuf, unsigned count);
double time_time(void);
void time_sleep(double seconds);

#ifdef __cplusplus
}
#endif

#endif
