#include "ResourceSizes.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "RunCommand.h"
#include "Staging.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Depth below a mount at which the entries are the resources (three hash levels above them).
constexpr unsigned int kResourceDepth = 3;

// Resources untouched for longer than this get their times set back after du has read them.
constexpr time_t kRestoreAge = 3600;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Leading blanks, an optional sign and digits, like atoi; 0 when there is no number.
long toNumber(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

void logCountFailure(const std::string& file, const char* what, int error) {
    std::string text = "The count file \"" + file + "\" could not be " + what + ". Error code is " +
                       std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
}

// Reads the cache file (see readCountRecords). One that cannot be read is logged and counts as
// empty: every resource is then measured anew.
void readCountFile(const std::string& countFile, CountCache* known) {
    std::ifstream in(countFile, std::ios::binary);
    if (!in.is_open()) {
        logCountFailure(countFile, "read", errno);
        return;
    }
    readCountRecords(in, known);
}

// Creates a file of its own next to countFile, readable like a file made by fopen ("wb").
int createTemporary(const std::string& countFile, std::string* path) {
    static std::atomic<unsigned long> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = countFile + "." + std::to_string(getpid()) + "." + std::to_string(serial++);
        int fd = ovsys::table().open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Writes one record per resource, in the order of the set. False, with errno, on a failure.
bool writeRecords(int fd, const CountResultSet& result) {
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        int error = errno;
        ovsys::table().close(fd);
        errno = error;
        return false;
    }
    int error = 0;
    for (const CountResourceSetEntry& entry : result)
        if (error == 0 && std::fprintf(f, "%s\n%ld\n%ld\n", entry.resourceId.c_str(),
                                       static_cast<long>(entry.time), entry.size) < 0)
            error = errno;
    if (std::fclose(f) != 0 && error == 0) // fclose flushes what is still buffered
        error = errno;
    errno = error;
    return error == 0;
}

// Replaces the cache file by a completely written new one: a failure while writing leaves the
// previous cache in place rather than a partial one.
void writeCountFile(const std::string& countFile, const CountResultSet& result) {
    std::string temporary;
    int fd = createTemporary(countFile, &temporary);
    if (fd < 0) {
        logCountFailure(countFile, "written", errno); // the previous cache stays
        return;
    }
    if (!writeRecords(fd, result) ||
        ovsys::table().rename(temporary.c_str(), countFile.c_str()) != 0) {
        int error = errno;
        ovsys::table().unlink(temporary.c_str());
        logCountFailure(countFile, "written", error);
    }
}

// The first decimal number in du's output; false when it holds none.
bool readDuOutput(const std::string& output, long* size) {
    File f(std::fopen(output.c_str(), "rb"));
    if (f == nullptr) {
        logCountFailure(output, "read", errno);
        return false;
    }
    char text[64];
    if (std::fgets(text, sizeof text, f.get()) == nullptr)
        return false;
    char* end = nullptr;
    *size = std::strtol(text, &end, 10);
    return end != text;
}

// The size in kibibytes that "du -sk" reports for path, 0 when it fails. du runs without a shell,
// so no character of the path is interpreted; its output goes to countDir/.countres.
long runDu(const std::string& path, const char* countDir) {
    std::string output = std::string(countDir) + "/.countres";
    long size = 0;
    if (runCommand({"du", "-sk", "--", path}, output.c_str()) == 0 && exists(output.c_str()) &&
        readDuOutput(output, &size))
        return size;
    rh_logger.debugLog("ERROR: du terminated abnormally\n");
    return 0;
}

// du reads the resource's directories and so makes a long unused resource look used; its times
// are set back so that it keeps its place among the old ones and its cached size next time.
void restoreTimes(const std::string& path, const struct stat& before) {
    time_t limit = time(nullptr) - kRestoreAge;
    if (before.st_atime < limit && before.st_mtime < limit) {
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
}

// Measures the resource with du; before: its status taken just now, or null when it could not
// be taken (its last use time is then -1 and its times are not set back).
CountResourceSetEntry measure(const std::string& id, const std::string& path,
                              const struct stat* before, const char* countDir) {
    time_t used = before != nullptr ? lastAccess(path.c_str(), before) : -1;
    long size = runDu(path, countDir);
    if (before != nullptr)
        restoreTimes(path, *before);
    rh_logger.debugLog("resource: %s new size:%ld\n", id.c_str(), size);
    return CountResourceSetEntry{id, used, size};
}

// The cached figures of a resource not used since it was measured, else a fresh measurement.
CountResourceSetEntry sizeOf(const std::string& id, const std::string& path,
                             const CountCache& known, const char* countDir) {
    struct stat st;
    const struct stat* status = myStat(path.c_str(), &st) == 0 ? &st : nullptr;
    time_t used = status != nullptr ? lastAccess(path.c_str(), status) : -1;
    auto cached = known.find(id);
    if (cached != known.end() && used <= cached->second.time) {
        rh_logger.debugLog("resource not changed:%s\n", id.c_str());
        return CountResourceSetEntry{id, cached->second.time, cached->second.size};
    }
    return measure(id, path, status, countDir);
}

// Names that are no resource: the count's own files among the resources, the library's staging
// directory, and the file system's recovery directory at the top of a mount.
bool skippedName(const std::string& name, unsigned int depth) {
    if (name == kStagingName)
        return true;
    if (depth == kResourceDepth)
        return name == ".count" || name == ".countres";
    return depth == 0 && name == "lost+found";
}

bool isDirectory(const std::string& path) {
    bool directory = false;
    return isDir(path.c_str(), &directory, nullptr) == 0 && directory;
}

} // namespace

void readCountRecords(std::istream& in, CountCache* known) {
    std::string line, id;
    time_t used = 0;
    for (unsigned long n = 0; std::getline(in, line); ++n) {
        switch (n % 3) {
        case 0:
            id = line;
            break;
        case 1:
            used = toNumber(line);
            break;
        default:
            (*known)[id] = CountResourceEntry{used, toNumber(line)};
        }
    }
}

long countSizeRecursively(const char* dir, CountCache* known, CountResultSet* measured,
                          const char* countDir, long base, unsigned int depth, bool skipLinks) {
    std::vector<std::string> names;
    listDir(dir, &names);
    long total = base;
    for (const std::string& name : names) {
        if (skippedName(name, depth))
            continue;
        std::string full = std::string(dir) + "/" + name;
        if (depth < kResourceDepth) {
            if (isDirectory(full))
                total += countSizeRecursively(full.c_str(), known, measured, countDir, base,
                                              depth + 1, skipLinks);
        } else if (depth == kResourceDepth) {
            if (skipLinks && !isNotLink(full.c_str()))
                continue;
            CountResourceSetEntry entry = sizeOf(name, full, *known, countDir);
            measured->insert(entry);
            total += entry.size;
        }
    }
    return total;
}

long countSize(const char* directory, bool flat) {
    std::string countFile = std::string(directory) + "/.count";
    rh_logger.debugLog("Filename: %s\n", countFile.c_str());
    CountCache known;
    if (exists(countFile.c_str())) {
        rh_logger.debugLog("Exists\n");
        readCountFile(countFile, &known);
    }
    CountResultSet result;
    long total = countSizeRecursively(directory, &known, &result, directory, 0,
                                      flat ? kResourceDepth : 0, flat);
    writeCountFile(countFile, result);
    return total;
}

int blocksToFree(const char* mountPath, int percent, long* blockCount, struct statvfs* fsInfo) {
    ovAssert(mountPath != nullptr, "mountPath", 273, kRepositorySource);
    ovAssert(blockCount != nullptr, "blockCount", 274, kRepositorySource);
    struct statvfs queried;
    if (fsInfo == nullptr) {
        if (myStatVfs(mountPath, &queried) != 0)
            return 1;
        fsInfo = &queried;
    }
    // The share in single precision and the product in extended precision, truncated: 95 % of
    // 1000 blocks allows 949 of them.
    float share = static_cast<float>(percent) / 100.0f;
    long allowed = static_cast<long>(static_cast<long double>(fsInfo->f_blocks) * share);
    long used = static_cast<long>(fsInfo->f_blocks) - static_cast<long>(fsInfo->f_bavail);
    *blockCount = used - allowed;
    return 0;
}
