#include "run_captured.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "capture_memory.h"
#include "run_sequence.h"

namespace {

std::string readDescriptor(int fd)
{
    std::string content;
    char chunk[65536];
    ssize_t n;
    off_t offset = 0;
    while ((n = pread(fd, chunk, sizeof chunk, offset)) > 0) {
        content.append(chunk, static_cast<size_t>(n));
        offset += n;
    }
    return content;
}

// What the program and the emulated gpioInitialise take over.
const int changedSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};
constexpr int changedSignalCount = sizeof changedSignals / sizeof changedSignals[0];

}  // namespace

std::string writeMemInfo(const std::string &content)
{
    char path[] = "/tmp/shakelog-meminfo-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) {
        ssize_t written = write(fd, content.data(), content.size());
        close(fd);
        if (written != static_cast<ssize_t>(content.size())) {
            unlink(path);
        }
    }
    return path;
}

namespace {

std::string ampleMemInfoPath;

void removeAmpleMemInfo()
{
    unlink(ampleMemInfoPath.c_str());
}

}  // namespace

const char *ampleMemInfo()
{
    if (ampleMemInfoPath.empty()) {
        ampleMemInfoPath = writeMemInfo(
            "MemTotal:       1073741824 kB\n"
            "MemAvailable:   1073741824 kB\n"
            "SwapFree:              0 kB\n");
        atexit(removeAmpleMemInfo);
    }
    return ampleMemInfoPath.c_str();
}

CapturedRun runShakelogCaptured(const std::vector<std::string> &args, const char *memInfoFile)
{
    std::vector<std::string> words{"shakelog"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // Removed at once: a run that kills the process leaves nothing behind.
    char path[] = "/tmp/shakelog-stdout-XXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);

    struct sigaction dispositions[changedSignalCount];
    for (int i = 0; i < changedSignalCount; ++i) {
        sigaction(changedSignals[i], nullptr, &dispositions[i]);
    }
    CapturedRun run;
    useMemInfoFile(memInfoFile);
    run.status = runShakelog(static_cast<int>(words.size()), argv.data());
    useMemInfoFile(memInfoPath);
    for (int i = 0; i < changedSignalCount; ++i) {
        sigaction(changedSignals[i], &dispositions[i], nullptr);
    }
    std::string flushed = readDescriptor(fd);
    fflush(stdout);
    run.out = readDescriptor(fd);
    run.unflushed = run.out.substr(flushed.size());

    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    return run;
}
