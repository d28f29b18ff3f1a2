// The text of the CSV file of file mode.
#ifndef SHAKELOG_CSV_FORMAT_H
#define SHAKELOG_CSV_FORMAT_H

inline constexpr char csvHeader[] = "time, x, y, z\n";
inline constexpr int csvDecimals = 5;
// Longest number in a row: sign, 309 integer digits of the largest double,
// point and five decimals, with room to spare.
inline constexpr int csvNumberMaxChars = 330;
// Four numbers, three ", " separators and the closing " \n".
inline constexpr int csvRowMaxChars = 4 * csvNumberMaxChars + 3 * 2 + 2;

// Formats one data line exactly as printf("%.5f, %.5f, %.5f, %.5f \n") would,
// into out (at least csvRowMaxChars bytes); returns the end of the line.
char *formatCsvRow(char *out, double t, double x, double y, double z);

#endif
