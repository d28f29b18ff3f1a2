// The real program, started as a shell would start it, losing its reader or
// its session mid-run: a pipe closed after the first line, SIGHUP from a lost
// terminal, Ctrl-C.  One table of cases, run against each backend's program.
#ifndef TESTS_SHAKELOG_LOST_SESSION_CASES_H
#define TESTS_SHAKELOG_LOST_SESSION_CASES_H

#include <string>

// program: a shell command that starts the program (extra environment
// included); the cases append the arguments.  Reports through gtest.
void expectLostSessionCases(const std::string &program);

#endif
