// The rules of the output file of file mode: how it is opened, and what can
// be told about it before the capture.  Compiled with 64-bit file offsets
// (_FILE_OFFSET_BITS=64), as is every unit that passes it a struct stat.
#ifndef SHAKELOG_SAVE_DESTINATION_H
#define SHAKELOG_SAVE_DESTINATION_H

#include <cstddef>

#include <sys/stat.h>

// Checks, without creating anything, that savePath can be created or
// truncated for writing.  Returns false after printing a message on standard
// output when it certainly cannot: a missing directory, a directory, no
// write permission.  Whatever only the write can tell (a full device) is
// left to the writer.
bool checkSaveDestination(const char *savePath);

// Opens savePath for writing.  An existing regular file is emptied, except
// when it is where standard output goes: the rows then follow what was
// printed there.  Special files (a pipe, a terminal, /dev/null) are written
// in place, and a dangling symbolic link gets its target created.  Returns
// the descriptor, with created and regular saying what was opened, or -1
// with errno set and nothing created.
int openSaveDestination(const char *savePath, bool &created, bool &regular);

// The directory a new file named by path would be created in; false when
// it does not fit dirSize.
bool parentDirectory(const char *path, char *dir, std::size_t dirSize);

// Whether file is the file standard output writes to.
bool isStandardOutput(const struct stat &file);

#endif
