// shakelog: records acceleration from an ADXL345 on SPI channel 0.
#include <cstdio>

#include "capture_memory.h"
#include "run_sequence.h"

int main(int argc, char **argv)
{
    int status = runShakelog(argc, argv, memInfoPath);
    // Output that never arrived (a full disk behind a redirection) is not a
    // successful run.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "shakelog: write error on standard output\n");
        return 1;
    }
    return status;
}
