// The whole run of shakelog, from the arguments to the exit status.
#ifndef SHAKELOG_RUN_SEQUENCE_H
#define SHAKELOG_RUN_SEQUENCE_H

// memInfoFile is where a capture's memory is checked (memInfoPath, or a
// stand-in with the same format).
int runShakelog(int argc, char **argv, const char *memInfoFile);

#endif
