// The whole run of shakelog, from the arguments to the exit status.
#ifndef SHAKELOG_RUN_SEQUENCE_H
#define SHAKELOG_RUN_SEQUENCE_H

int runShakelog(int argc, char **argv);

#endif
