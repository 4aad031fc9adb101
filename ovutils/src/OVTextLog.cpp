#include "OVTextLog.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSemaphore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct LineFree {
    void operator()(char* line) const { free(line); }
};

// Whether one line of the file, without its line feed, equals text. Lines are read whole,
// whatever their length.
bool containsLine(FILE* file, const char* text) {
    size_t textLength = strlen(text);
    char* raw = nullptr;
    size_t capacity = 0;
    bool found = false;
    ssize_t length;
    while (!found && (length = getline(&raw, &capacity, file)) >= 0) {
        size_t size = static_cast<size_t>(length);
        if (size > 0 && raw[size - 1] == '\n')
            --size;
        found = size == textLength && memcmp(raw, text, size) == 0;
    }
    std::unique_ptr<char, LineFree> line(raw);
    return found;
}

void cannotOpen(const char* path) {
    rh_logger.errorLog("couldn't create logfile:%s", path);
}

// Writes text and a line feed to a file opened with mode.
void writeLine(const char* path, const char* mode, const char* text) {
    File file(fopen(path, mode));
    if (!file) {
        cannotOpen(path);
        return;
    }
    bool written = fprintf(file.get(), "%s\n", text) >= 0;
    if (fclose(file.release()) != 0 || !written) {
        rh_logger.errorLog("couldn't write logfile:%s", path);
        return;
    }
    rh_logger.debugLog("WritetoLog");
    rh_logger.debugLog("text:%s\n", text);
}

void appendUnlessPresent(const char* path, const char* text) {
    if (!exists(path)) {
        writeLine(path, "wb", text);
        return;
    }
    File file(fopen(path, "rb"));
    if (!file) {
        cannotOpen(path);
        return;
    }
    bool present = containsLine(file.get(), text);
    file.reset();
    if (!present)
        writeLine(path, "ab", text);
}

} // namespace

void writeToLogGlobal(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) {
        rh_logger.errorLog("writeToLogGlobal needs a path and a text");
        return;
    }
    OVSemaphore lock(resourceLockName(path, ""), true);
    if (!lock.tryLock(30)) {
        std::string message = std::string("The log file \"") + path + "\" could not be locked.";
        rh_logger.errorLog("%s", message.c_str());
        return;
    }
    appendUnlessPresent(path, text);
}
