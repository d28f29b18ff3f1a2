// Settings and record of the stand-in when it is preloaded into the real
// program (LD_PRELOAD), where no test code can call its control functions:
//
//   SPIDEV_STANDIN_FAIL_OPEN=ENOENT|EACCES   opens of the device fail so
//   SPIDEV_STANDIN_LOG=FILE                  at exit, what the program did
//                                            with the device, one fact a line
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#include "spidev_emulation.h"

namespace {

inline constexpr char failOpenVariable[] = "SPIDEV_STANDIN_FAIL_OPEN";
inline constexpr char logVariable[] = "SPIDEV_STANDIN_LOG";
inline constexpr long transfersShown = 8;

struct NamedError {
    const char *name;
    int error;
};
inline constexpr NamedError openErrors[] = {{"ENOENT", ENOENT}, {"EACCES", EACCES}};

void writeTransfer(FILE *log, const SpidevTransfer &transfer)
{
    std::fprintf(log, "transfer len %u speed %u bits %u mode %u tx %s rx %s same %s:", transfer.len,
                 transfer.speedHz, static_cast<unsigned>(transfer.bitsPerWord), transfer.mode,
                 transfer.hasTx ? "yes" : "no", transfer.hasRx ? "yes" : "no",
                 transfer.sameBuffer ? "yes" : "no");
    for (size_t i = 0; i < transfer.len && i < spidevLoggedBytes; ++i)
        std::fprintf(log, " %02X", transfer.tx[i]);
    std::fprintf(log, "\n");
}

__attribute__((constructor)) void configureFromEnvironment()
{
    const char *failOpen = std::getenv(failOpenVariable);
    if (failOpen == nullptr)
        return;
    for (const NamedError &named : openErrors)
        if (std::strcmp(failOpen, named.name) == 0)
            spidevEmulationFailOpen(named.error);
}

__attribute__((destructor)) void writeLog()
{
    const char *path = std::getenv(logVariable);
    if (path == nullptr)
        return;
    FILE *log = std::fopen(path, "w");
    if (log == nullptr)
        return;
    SpidevSettings settings = spidevEmulationSettings();
    int flags = spidevEmulationOpenFlags();
    std::fprintf(log, "open flags%s%s\n", (flags & O_ACCMODE) == O_RDWR ? " O_RDWR" : "",
                 (flags & O_CLOEXEC) != 0 ? " O_CLOEXEC" : "");
    std::fprintf(log, "mode %u\nbits %u\nspeed %u\n", settings.mode,
                 static_cast<unsigned>(settings.bitsPerWord), settings.maxSpeedHz);
    long count = spidevEmulationTransferCount();
    SpidevTransfer transfer{};
    for (long i = 0; i < transfersShown && spidevEmulationTransfer(i, &transfer); ++i)
        writeTransfer(log, transfer);
    std::fprintf(log, "transfers %ld\nrefused %ld\nstill open %d\n", count,
                 spidevEmulationRefusedCount(), spidevEmulationOpenFiles());
    std::fclose(log);
}

}  // namespace
