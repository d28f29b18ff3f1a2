// shakelog: records acceleration from an ADXL345 on SPI channel 0.
#include "run_sequence.h"

int main(int argc, char **argv)
{
    return runShakelog(argc, argv);
}
