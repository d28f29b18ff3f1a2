#include "lost_session_cases.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_captured.h"

namespace {

struct Watched {
    int status;           // the wait status
    std::string printed;  // standard output up to the end, or to the closing
    double secondsAfter;  // from the signal or the close to the exit
};

// Starts the command with SIGPIPE and SIGHUP at their defaults, as from a
// login shell, reads standard output to the first line, then either sends
// signo or (signo 0) closes the pipe.
Watched watch(const std::string &command, int signo)
{
    Watched result{-1, "", 0};
    int out[2];
    if (pipe(out) != 0) {
        ADD_FAILURE() << "pipe";
        return result;
    }
    pid_t child = fork();
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        dup2(out[1], STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char chunk[256];
    ssize_t n = 0;
    while (result.printed.find('\n') == std::string::npos &&
           (n = read(out[0], chunk, sizeof chunk)) > 0) {
        result.printed.append(chunk, static_cast<size_t>(n));
    }
    auto acted = std::chrono::steady_clock::now();
    if (signo != 0) {
        kill(child, signo);
        while ((n = read(out[0], chunk, sizeof chunk)) > 0) {
            result.printed.append(chunk, static_cast<size_t>(n));
        }
    }
    close(out[0]);
    waitpid(child, &result.status, 0);
    result.secondsAfter =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - acted).count();
    return result;
}

long lineCount(const std::string &text)
{
    long lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    return lines;
}

struct LostSessionCase {
    const char *what;
    const char *args;        // " -s FILE" is appended when fileRows is not 0
    int signo;               // 0: the reader closes the pipe after one line
    const char *closing;     // how the output ends, or "" when nobody reads it
    int fileRows;            // rows the file must hold; -1: as the closing says; 0: no file
    double secondsAfterMax;  // from the signal or the close to the exit
};

// Console runs of a minute at 2 Hz must end at once, not after the minute:
// the bound leaves a loaded machine all the slack it needs and still tells
// the two apart (how soon is counted in transfers by the in-process tests).
const LostSessionCase lostSessionCases[] = {
    {"console into a pipe closed after one line", "-t 60 -f 2", 0, "", 0, 20},
    {"SIGHUP in console mode", "-t 60 -f 2", SIGHUP, "Stream interrupted after ", 0, 20},
    {"file mode with its progress pipe closed", "-t 3 -f 100", 0, "", 300, 10},
    {"SIGHUP mid-capture", "-t 60 -f 10", SIGHUP, "Capture interrupted: ", -1, 10},
    {"Ctrl-C mid-capture", "-t 60 -f 10", SIGINT, "Capture interrupted: ", -1, 10},
};

}  // namespace

void expectLostSessionCases(const std::string &program)
{
    std::string path = "/tmp/shakelog-lost-session-" + std::to_string(getpid()) + ".csv";
    for (const LostSessionCase &c : lostSessionCases) {
        SCOPED_TRACE(c.what);
        std::remove(path.c_str());
        std::string command = program + " " + c.args + (c.fileRows != 0 ? " -s " + path : "");
        Watched run = watch(command, c.signo);
        std::string content = readFile(path);
        std::remove(path.c_str());
        ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
        EXPECT_EQ(WEXITSTATUS(run.status), 1) << run.printed;
        EXPECT_LT(run.secondsAfter, c.secondsAfterMax);
        int rows = c.fileRows;
        if (*c.closing != '\0') {
            size_t last = run.printed.rfind(c.closing);
            ASSERT_NE(last, std::string::npos) << run.printed;
            EXPECT_EQ(run.printed.find('\n', last), run.printed.size() - 1) << "the last line";
            if (rows < 0) {
                ASSERT_EQ(sscanf(run.printed.c_str() + last, "Capture interrupted: %d of", &rows), 1);
            }
        }
        if (rows != 0) {
            EXPECT_EQ(lineCount(content), rows + 1L) << "the header and every row";
        }
    }
}
