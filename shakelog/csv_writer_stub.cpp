// TEMPORARY until the row writer lands.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include "csv_output.h"
bool openCsvFile(const char *savePath, CsvWriter &writer)
{
    writer = CsvWriter{};
    writer.fd = open(savePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (writer.fd < 0) {
        printf("Cannot write the output file %s\n", savePath);
        return false;
    }
    return write(writer.fd, csvHeader, strlen(csvHeader)) > 0;
}
bool writeCsvRow(CsvWriter &writer, double t, double x, double y, double z)
{
    char line[csvRowMaxChars];
    char *end = formatCsvRow(line, t, x, y, z);
    ++writer.rowsWritten;
    return write(writer.fd, line, end - line) == end - line;
}
bool closeCsvFile(CsvWriter &writer)
{
    return close(writer.fd) == 0;
}
