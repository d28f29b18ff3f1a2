// The text of a CSV row: "%.5f" numbers from std::to_chars.
#include "csv_format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "tuning.h"

static constexpr char csvSeparator[] = ", ";
static constexpr char csvLineEnd[] = " \n";

// Most numbers of a file are a whole count of the sensor's +-16 g range:
// their texts are formatted once, at the first row, and copied.
static constexpr double countsPerG = 1.0 / accConversion;  // a power of two
static constexpr int textedCounts = 16 * 256 + 1;
namespace {
struct CountText {
    char chars[8];  // "16.00000" at most
    unsigned char length;
};
}  // namespace
static CountText countTexts[textedCounts];
static bool countTextsReady = false;

static char *formatMagnitude(char *out, char *last, double magnitude)
{
    return std::to_chars(out, last, magnitude, std::chars_format::fixed, csvDecimals).ptr;
}

// printf writes a "-" whenever the sign bit is set (-0.0, -1e-9, -nan);
// formatting the magnitude and adding the sign makes that independent of
// how the library treats a negative value that rounds to zero.
static char *formatNumber(char *out, double value)
{
    if (std::signbit(value)) {
        *out++ = '-';
    }
    double magnitude = std::fabs(value);
    double counts = magnitude * countsPerG;  // exact, so a whole count is exactly that value
    if (counts < textedCounts && counts == static_cast<int>(counts)) {
        const CountText &text = countTexts[static_cast<int>(counts)];
        std::memcpy(out, text.chars, sizeof text.chars);  // within the row's room
        return out + text.length;
    }
    return formatMagnitude(out, out + csvNumberMaxChars, magnitude);
}

static char *appendText(char *out, const char *text, std::size_t length)
{
    std::memcpy(out, text, length);
    return out + length;
}

static void prepareCountTexts()
{
    for (int count = 0; count < textedCounts; ++count) {
        CountText &text = countTexts[count];
        char *end = formatMagnitude(text.chars, text.chars + sizeof text.chars, count / countsPerG);
        text.length = static_cast<unsigned char>(end - text.chars);
    }
    countTextsReady = true;
}

char *formatCsvRow(char *out, double t, double x, double y, double z)
{
    if (!countTextsReady) {
        prepareCountTexts();
    }
    out = formatNumber(out, t);
    for (double value : {x, y, z}) {
        out = appendText(out, csvSeparator, sizeof csvSeparator - 1);
        out = formatNumber(out, value);
    }
    return appendText(out, csvLineEnd, sizeof csvLineEnd - 1);
}
