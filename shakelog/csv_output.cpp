#include "csv_output.h"

bool checkSaveDestination(const char *)
{
    return true;
}

bool writeCsvFile(const char *, const ResampledSeries &, int)
{
    return false;
}
