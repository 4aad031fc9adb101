#include "Tally.h"

namespace {

// "what: N" appended to a list separated by ", ", when N is not zero.
void addReason(std::string& list, int count, const char* what) {
    if (count == 0) {
        return;
    }
    if (!list.empty()) {
        list += ", ";
    }
    list += std::string(what) + ": " + std::to_string(count);
}

} // namespace

std::string Tally::closingLine(bool execute) const {
    std::string reasons;
    addReason(reasons, unparsable, "cannot be parsed");
    addReason(reasons, symbolicLinks, "symbolic link");
    std::string line = execute ? "Info: " : "Info: Dry run: ";
    line += std::to_string(filed) + (execute ? " filed, " : " to be filed, ");
    line += std::to_string(unparsable + symbolicLinks) + " skipped";
    if (!reasons.empty()) {
        line += " (" + reasons + ")";
    }
    line += ", " + std::to_string(failed) + (execute ? " failed" : " refused");
    if (unreadDirectories > 0) {
        line += ", " + std::to_string(unreadDirectories) +
                (unreadDirectories == 1 ? " directory" : " directories") + " not read";
    }
    return line + "\n";
}
