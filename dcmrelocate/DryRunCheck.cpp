#include "DryRunCheck.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The directory part of a path: "" for a bare name, "/" for a name just below the root.
std::string parentOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return path.substr(0, slash == 0 ? 1 : slash);
}

// A path as the system takes it, the empty one being the current directory.
const char* asPath(const std::string& path) {
    return path.empty() ? "." : path.c_str();
}

// Why a file cannot be renamed into `dir` (which exists), or the empty text.
std::string writeProblem(const std::string& dir) {
    return access(asPath(dir), W_OK | X_OK) == 0 ? std::string() : std::strerror(errno);
}

} // namespace

DryRunCheck::DryRunCheck(const std::string& studyDir) {
    // The nearest directory of the study directory (itself or a parent) that exists: the file
    // system and the permissions of whatever the run creates below it.
    std::string existing = studyDir;
    struct stat status;
    while (stat(asPath(existing), &status) != 0) {
        if (existing.empty() || existing == "/") {
            targetProblem = std::strerror(errno);
            return;
        }
        existing = parentOf(existing);
    }
    targetDevice = status.st_dev;
    targetProblem = S_ISDIR(status.st_mode) ? writeProblem(existing) : std::strerror(ENOTDIR);
}

std::string DryRunCheck::refusal(const std::string& from, const std::string& to) {
    struct stat status;
    if (lstat(to.c_str(), &status) == 0 || taken.count(to) != 0) {
        return "target exists";
    }
    if (!targetProblem.empty()) {
        return targetProblem;
    }
    if (lstat(from.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (status.st_dev != targetDevice) {
        return std::strerror(EXDEV);
    }
    const std::string sourceProblem = writeProblem(parentOf(from));
    if (!sourceProblem.empty()) {
        return sourceProblem;
    }
    taken.insert(to);
    return std::string();
}
