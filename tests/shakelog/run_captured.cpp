#include "run_captured.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "pigpio_emulation.h"
#include "run_sequence.h"

void resetEmulatedSensor()
{
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(1000.0);
}

std::string readFile(const std::string &path)
{
    std::string content;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return content;
    }
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, n);
    }
    fclose(file);
    return content;
}

CapturedRun runShakelogCaptured(const std::vector<std::string> &args)
{
    std::vector<std::string> words{"shakelog"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    char path[] = "/tmp/shakelog-stdout-XXXXXX";
    int fd = mkstemp(path);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);

    CapturedRun run;
    run.status = runShakelog(static_cast<int>(words.size()), argv.data());
    std::string flushed = readFile(path);
    fflush(stdout);
    run.out = readFile(path);
    run.unflushed = run.out.substr(flushed.size());

    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    unlink(path);
    return run;
}
