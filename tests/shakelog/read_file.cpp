#include <cstdio>

#include "run_captured.h"

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
