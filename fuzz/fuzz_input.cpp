#include "fuzz_input.h"

#include <cstdlib>
#include <cstring>

void splitArguments(const uint8_t *data, size_t size, char *firstWord,
                    FuzzArguments &arguments)
{
    // One spare byte terminates the last word; malloc gives ASan the exact
    // bounds of the text, so a parser reading past a word is caught.
    arguments.text = static_cast<char *>(malloc(size + 1));
    if (size > 0) {
        memcpy(arguments.text, data, size);
    }
    arguments.text[size] = '\0';
    arguments.argc = 0;
    if (firstWord != nullptr) {
        arguments.argv[arguments.argc++] = firstWord;
    }
    // Every NUL ends a word; bytes after the last NUL form one more word.
    size_t start = 0;
    while (start < size && arguments.argc < maxFuzzWords + 1) {
        arguments.argv[arguments.argc++] = arguments.text + start;
        start += strlen(arguments.text + start) + 1;
    }
    arguments.argv[arguments.argc] = nullptr;
}

void freeArguments(FuzzArguments &arguments)
{
    free(arguments.text);
    arguments.text = nullptr;
}
