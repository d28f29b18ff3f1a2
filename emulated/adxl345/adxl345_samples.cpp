// What the emulated ADXL345 measures and how it turns it into register
// values.  Everything is a pure function of the sample index and its time,
// so any sample can be recomputed on its own and every run is identical.
#include <cmath>

#include "adxl345.h"

namespace {

inline constexpr double twoPi = 6.283185307179586;
inline constexpr int noiseFieldBits = 16;
inline constexpr uint64_t noiseFieldMask = 0xFFFF;
inline constexpr unsigned lowByteMask = 0xFF;
inline constexpr int bitsPerByte = 8;

double sine(double amplitudeG, double hz, double seconds)
{
    return amplitudeG * std::sin(twoPi * hz * seconds);
}

// splitmix64: a well-mixed 64-bit hash of its input.
uint64_t splitMix64(uint64_t value)
{
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

int bitsForFormat(uint8_t dataFormat)
{
    if (dataFormat & adxlFormatFullRes)
        return adxlFixedResBits + (dataFormat & adxlFormatRangeMask);
    return adxlFixedResBits;
}

int countsPerG(uint8_t dataFormat)
{
    if (dataFormat & adxlFormatFullRes)
        return adxlFullResCountsPerG;
    return adxlFullResCountsPerG >> (dataFormat & adxlFormatRangeMask);
}

double offsetG(const Adxl345 &device, int axis)
{
    auto trim = static_cast<int8_t>(device.registers[adxlRegOfsX + axis]);
    return trim * adxlOffsetGPerCount;
}

}  // namespace

// The acceleration the device senses, without noise, at a time in seconds
// since Measure was first set.
void adxlMotionG(double seconds, double g[adxlAxisCount])
{
    g[0] = sine(adxlXSlowAmplitudeG, adxlXSlowHz, seconds) +
           sine(adxlXFastAmplitudeG, adxlXFastHz, seconds);
    g[1] = sine(adxlYAmplitudeG, adxlYHz, seconds);
    g[2] = adxlGravityG + sine(adxlZAmplitudeG, adxlZHz, seconds);
}

// What the device senses, without noise, under the chosen signal.
void adxlSignalG(const AdxlSignal &signal, double seconds, double g[adxlAxisCount])
{
    if (!signal.tone) {
        adxlMotionG(seconds, g);
        return;
    }
    g[0] = 0.0;
    g[1] = 0.0;
    g[2] = adxlGravityG;
    g[signal.toneAxis] += sine(signal.toneAmplitudeG, signal.toneHz, seconds);
}

// Noise of one axis of one sample: -amplitude..amplitude, uniform (to
// within 1 % up to adxlMaxNoiseCounts).
int adxlNoiseCountsAt(int64_t sampleIndex, int axis, int amplitude)
{
    uint64_t hash = splitMix64(adxlNoiseSeed ^ static_cast<uint64_t>(sampleIndex));
    uint64_t field = (hash >> (axis * noiseFieldBits)) & noiseFieldMask;
    return static_cast<int>(field % static_cast<uint64_t>(2 * amplitude + 1)) - amplitude;
}

// The 16-bit value of one axis's register pair for an acceleration in g:
// rounded to the format's resolution, clipped to its range (10 bits, or 10
// to 13 bits in full resolution), two's complement, right-justified and sign
// extended or, with the justify bit, moved to the top of the 16 bits.
uint16_t adxlAxisRegisterValue(double g, uint8_t dataFormat)
{
    int bits = bitsForFormat(dataFormat);
    double highest = (1 << (bits - 1)) - 1;
    double lowest = -(1 << (bits - 1));
    double counts = std::round(g * countsPerG(dataFormat));
    counts = std::fmin(std::fmax(counts, lowest), highest);
    int shift = (dataFormat & adxlFormatJustify) ? adxlRegisterBits - bits : 0;
    auto pattern = static_cast<uint32_t>(static_cast<int32_t>(counts));
    return static_cast<uint16_t>(pattern << shift);
}

// The six data-register bytes of sample sampleIndex, sensed at motionSec,
// in the data format the device holds now: with SELF_TEST set, shifted as
// by an added acceleration.
void adxlMakeSample(const Adxl345 &device, int64_t sampleIndex, double motionSec,
                    uint8_t sample[adxlSampleBytes])
{
    double g[adxlAxisCount];
    adxlSignalG(device.signal, motionSec, g);
    uint8_t format = device.registers[adxlRegDataFormat];
    bool selfTest = (format & adxlFormatSelfTest) != 0;
    for (int axis = 0; axis < adxlAxisCount; ++axis) {
        int noise = adxlNoiseCountsAt(sampleIndex, axis, device.noiseCounts);
        double sensed = device.holding
                            ? static_cast<double>(device.heldCounts[axis]) / adxlFullResCountsPerG
                            : g[axis] + static_cast<double>(noise) / adxlFullResCountsPerG;
        if (selfTest)
            sensed += static_cast<double>(device.selfTestShift[axis]) / adxlFullResCountsPerG;
        uint16_t value = adxlAxisRegisterValue(sensed + offsetG(device, axis), format);
        size_t low = 2 * static_cast<size_t>(axis);
        sample[low] = static_cast<uint8_t>(value & lowByteMask);
        sample[low + 1] = static_cast<uint8_t>(value >> bitsPerByte);
    }
}
