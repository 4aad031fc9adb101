#include "Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool failed = false;

} // namespace

void printError(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void printOutput(const std::string& line, const std::string& what) {
    if (failed) {
        return;
    }
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
        std::fflush(stdout) == 0) {
        return;
    }
    failed = true;
    const std::string reason = errno != 0 ? std::strerror(errno) : "write error";
    std::string shown = line;
    if (!shown.empty() && shown.back() == '\n') {
        shown.pop_back();
    }
    printError("Error: Cannot write " + what + " \"" + shown + "\" to standard output (" + reason +
               ")\n");
}

bool outputFailed() {
    return failed;
}
