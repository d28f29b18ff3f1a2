// The record of SPI transactions the host sent through the emulated library.
#ifndef EMULATED_LOG_H
#define EMULATED_LOG_H

#include <cstddef>

void logReset();
void logTransaction(const unsigned char *bytes, size_t count, double startSec);
void logTransactionEnd(double endSec);
long logCount();
int logBytes(long index, unsigned char *bytes, size_t maxBytes);
bool logTimes(long index, double *startSec, double *endSec);

#endif
