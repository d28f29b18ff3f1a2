// Tuning constants of shakelog.
#ifndef SHAKELOG_TUNING_H
#define SHAKELOG_TUNING_H

inline constexpr int timeDefault = 5;          // default duration, seconds
inline constexpr int freqDefault = 5;          // default sampling rate, Hz
inline constexpr int freqMax = 3200;           // highest accepted sampling rate, Hz
inline constexpr int speedSPI = 2000000;       // SPI clock, Hz
inline constexpr int freqMaxSPI = 100000;      // readings per second assumed when sizing the raw record
inline constexpr int coldStartSamples = 2;     // discarded warm-up reads of console mode
inline constexpr double coldStartDelay = 0.1;  // seconds between warm-up reads
inline constexpr double accConversion = 0.00390625;  // g per count
inline constexpr double tStatusReport = 1.0;         // seconds between progress lines of file mode
// Time from setting the sensor's measure bit to its first sample: 1.1 ms
// turn-on plus one period at 3200 Hz, rounded up.
inline constexpr double firstSampleDelay = 0.002;

#endif
