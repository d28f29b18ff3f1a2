// shakelog: records acceleration from an ADXL345 on SPI channel 0.
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "run_sequence.h"

static constexpr char nullDevicePath[] = "/dev/null";

// A standard descriptor closed at start would be handed to the first file
// the program opens: the save file would become standard output.  Each
// closed one is opened on /dev/null, read-only, so that writes to a closed
// standard output still fail and are reported as such.
static bool openClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor: fd itself, as those below it are open.
        int opened = open(nullDevicePath, O_RDONLY);
        if (opened != fd) {
            return false;
        }
    }
    return true;
}

int main(int argc, char **argv)
{
    if (!openClosedStandardDescriptors()) {
        return 1;
    }
    int status = runShakelog(argc, argv);
    // Output that never arrived (a full disk behind a redirection) is not a
    // successful run.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "shakelog: write error on standard output\n");
        return 1;
    }
    return status;
}
