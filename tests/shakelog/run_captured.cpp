#include "run_captured.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "run_sequence.h"

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
