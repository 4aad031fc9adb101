// mountbalance <repository>: runs one verbose overload check of the repository, for operators and
// timers. The check reports its progress on standard output; a failure that stops it is written
// on standard error as "Error: " and its text, with exit status 1.
#include "OVException.h"
#include "repositoryhandler.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

int failed(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", text.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Usage: mountbalance <repository>\n");
        return -1;
    }
    // Line by line, so that a log that follows the output (a timer's journal) shows the progress
    // as it happens, and a killed run loses no finished line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("calling library...\n");
    try {
        checkOverload_(argv[1], true);
    } catch (const OVException& failure) {
        std::string text;
        failure.toString(text);
        return failed(text);
    } catch (const std::exception& failure) {
        return failed(failure.what());
    }
    return 0;
}
