#include "Output.h"

#include <cstdio>

void printError(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void printOutput(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
}
