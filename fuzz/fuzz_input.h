// Turning a fuzzer's bytes into an argument vector.
#ifndef FUZZ_FUZZ_INPUT_H
#define FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>

// More words than any command line of these programs needs.
inline constexpr int maxFuzzWords = 64;

// The words of an argument vector: the input split at NUL bytes, each word
// terminated, and argv[argc] a null pointer as in a real argument vector.
// Owns its text.
struct FuzzArguments {
    char *text;
    int argc;
    char *argv[maxFuzzWords + 2];
};

// Splits size bytes of data into words after a first word firstWord (pass
// nullptr to take the first word from the data too).  Each NUL byte ends a
// word and the bytes after the last one form a word of their own, so that
// every vector can be written: no bytes give no words, a single NUL one empty
// word.  Words beyond maxFuzzWords are dropped.
void splitArguments(const uint8_t *data, size_t size, char *firstWord,
                    FuzzArguments &arguments);

void freeArguments(FuzzArguments &arguments);

#endif
