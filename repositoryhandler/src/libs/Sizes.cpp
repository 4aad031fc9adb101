#include "ResourceSizes.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "SharedRepository.h"
#include "Staging.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Depth below a mount at which the entries are the resources (three hash levels above them).
constexpr unsigned int kResourceDepth = 3;

// Resources untouched for longer than this get their times set back after their measurement.
constexpr time_t kRestoreAge = 3600;

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

// Creates a file of its own next to countFile (named with the host, the process id and a
// serial, so that no other process of any host picks the same name), readable like a file made by
// fopen ("wb").
int createTemporary(const std::string& countFile, std::string* path) {
    static std::atomic<unsigned long> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *path = countFile + "." + writerTag() + "." + std::to_string(serial++);
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

// Where a measurement ended.
enum class Measured { Done, Gone, Failed };

// Opens the directory name below dirFd without following a link. O_NOATIME where the process may
// use it (owner or privileged), so that measuring never makes a resource look used.
int openDirectory(int dirFd, const char* name) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ovsys::table().openat(dirFd, name, flags | O_NOATIME, 0);
    if (fd < 0 && errno == EPERM)
        fd = ovsys::table().openat(dirFd, name, flags, 0);
    return fd;
}

// The disk usage of one resource as "du -sk" reports it: the allocated blocks (512 bytes each) of
// the resource and of every entry below it, links as links, directories with their own blocks, a
// file with several names once; the sum rounded up to whole kibibytes. The tree is walked by
// descriptor, so names of any bytes and paths of any length are measured. One descriptor per
// level of the tree stays open while the levels below it are read: a tree deeper than the
// process may open descriptors fails (EMFILE, logged) rather than being cut short.
class TreeMeasurement {
public:
    explicit TreeMeasurement(const std::string& root) : resource(root), path(root) {}
    ~TreeMeasurement() {
        for (const Level& level : levels)
            ovsys::table().close(level.fd);
    }
    TreeMeasurement(const TreeMeasurement&) = delete;
    TreeMeasurement& operator=(const TreeMeasurement&) = delete;

    // Done with *kib set; Gone when the resource vanished before it was reached; Failed when a
    // call failed, logged with the path it was made for and its error code.
    Measured run(long* kib) {
        Measured result = add(AT_FDCWD, resource);
        while (result != Measured::Failed && !levels.empty()) {
            Level& level = levels.back();
            path.resize(level.pathLength);
            if (level.next == level.names.size()) {
                ovsys::table().close(level.fd);
                levels.pop_back();
                continue;
            }
            std::string name = level.names[level.next++];
            path += "/" + name;
            // Entries removed since the listing take no more room.
            result = add(level.fd, name) == Measured::Failed ? Measured::Failed : Measured::Done;
        }
        if (result == Measured::Done)
            *kib = static_cast<long>((bytes + 1023) / 1024);
        return result;
    }

private:
    struct Level {
        int fd;
        std::vector<std::string> names;
        size_t next;
        size_t pathLength; // of the directory's path
    };

    // Counts the entry name below dirFd (path) and, for a directory, opens and lists it.
    Measured add(int dirFd, const std::string& name) {
        struct stat st;
        if (ovsys::table().fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT || errno == ENOTDIR ? Measured::Gone : fail("stat-ed", errno);
        uintmax_t allocated = static_cast<uintmax_t>(st.st_blocks) * 512;
        if (!S_ISDIR(st.st_mode)) {
            if (st.st_nlink <= 1 || linked.insert({st.st_dev, st.st_ino}).second)
                bytes += allocated;
            return Measured::Done;
        }
        bytes += allocated;
        int fd = openDirectory(dirFd, name.c_str());
        if (fd < 0)
            return errno == ENOENT ? Measured::Gone : fail("opened", errno);
        levels.push_back(Level{fd, {}, 0, path.size()});
        int error = readDirectoryAt(fd, levels.back().names, true);
        if (error != 0 && error != ENOENT) // ENOENT: removed meanwhile, so empty
            return fail("listed", error);
        return Measured::Done;
    }

    Measured fail(const char* what, int error) {
        std::string text = "The size of \"" + resource + "\" could not be measured: \"" + path +
                           "\" could not be " + what + ". Error code is " + std::to_string(error);
        rh_logger.errorLog("%s", text.c_str());
        return Measured::Failed;
    }

    const std::string resource;
    std::string path; // of the entry at hand
    std::vector<Level> levels;
    std::set<std::pair<dev_t, ino_t>> linked; // files with more than one name, counted
    uintmax_t bytes = 0;
};

// A resource's times are set back after its measurement where it has not been used for long, so
// that it keeps its place among the old ones and its cached size next time even where the walk
// could not keep its directories' access times (a process that neither owns them nor is
// privileged).
void restoreTimes(const std::string& path, const struct stat& before) {
    time_t limit = time(nullptr) - kRestoreAge;
    if (before.st_atime < limit && before.st_mtime < limit) {
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ovsys::table().utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
}

// Measures the resource; before: its status taken just now, or null when it could not be taken
// (its last use time is then -1 and its times are not set back). False when it vanished or could
// not be measured (logged): it then has no entry.
bool measure(const std::string& id, const std::string& path, const struct stat* before,
             CountResourceSetEntry* entry, bool* failed) {
    time_t used = before != nullptr ? lastAccess(path.c_str(), before) : -1;
    long size = 0;
    Measured result = TreeMeasurement(path).run(&size);
    if (before != nullptr && result != Measured::Gone)
        restoreTimes(path, *before);
    if (result == Measured::Failed)
        *failed = true;
    if (result != Measured::Done)
        return false;
    rh_logger.debugLog("resource: %s new size:%ld\n", id.c_str(), size);
    *entry = CountResourceSetEntry{id, used, size};
    return true;
}

// The cached figures of a resource not used since it was measured, else a fresh measurement.
bool sizeOf(const std::string& id, const std::string& path, const CountCache& known,
            CountResourceSetEntry* entry, bool* failed) {
    struct stat st;
    const struct stat* status = myStat(path.c_str(), &st) == 0 ? &st : nullptr;
    time_t used = status != nullptr ? lastAccess(path.c_str(), status) : -1;
    auto cached = known.find(id);
    if (cached != known.end() && used <= cached->second.time) {
        rh_logger.debugLog("resource not changed:%s\n", id.c_str());
        *entry = CountResourceSetEntry{id, cached->second.time, cached->second.size};
        return true;
    }
    return measure(id, path, status, entry, failed);
}

// Names that are no resource: the count's own files among the resources (".countres" is the
// scratch file of earlier versions, which ran a program to measure), the library's staging
// directory, and the file system's recovery directory at the top of a mount.
bool skippedName(const std::string& name, unsigned int depth) {
    if (name == kStagingName)
        return true;
    if (depth == kResourceDepth)
        return name == ".count" || name == ".countres";
    return depth == 0 && name == "lost+found";
}

// Whether path is a directory (links followed); false for a missing one or a link to nothing,
// and, logged, when it cannot be queried (*failed set).
bool isDirectory(const std::string& path, bool* failed) {
    bool directory = false;
    if (isDir(path.c_str(), &directory, nullptr) == 0)
        return directory;
    if (errno != ENOENT)
        *failed = true; // logged by myStat
    return false;
}

// Whether the entry at path is a link, or gone; an entry that cannot be queried is logged, sets
// *failed and counts as no resource.
bool linkOrGone(const std::string& path, bool* failed) {
    struct stat st;
    switch (lstatPresence(path, &st)) {
    case Presence::Present:
        return S_ISLNK(st.st_mode);
    case Presence::Absent:
        return true;
    case Presence::Failed:
        break;
    }
    logStatFailure(path, errno);
    *failed = true;
    return true;
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

long countSizeRecursively(const char* dir, CountCache* known, CountResultSet* measured, long base,
                          unsigned int depth, bool skipLinks) {
    std::vector<std::string> names;
    listDir(dir, &names);
    bool failed = errno != 0 && errno != ENOENT; // logged by listDir
    long total = base;
    for (const std::string& name : names) {
        if (skippedName(name, depth))
            continue;
        std::string full = std::string(dir) + "/" + name;
        if (depth < kResourceDepth) {
            if (!isDirectory(full, &failed))
                continue;
            long below =
                countSizeRecursively(full.c_str(), known, measured, base, depth + 1, skipLinks);
            if (below < 0)
                failed = true;
            else
                total += below;
        } else if (depth == kResourceDepth) {
            if (skipLinks && linkOrGone(full, &failed))
                continue;
            CountResourceSetEntry entry{};
            if (sizeOf(name, full, *known, &entry, &failed)) {
                measured->insert(entry);
                total += entry.size;
            }
        }
    }
    return failed ? -1 : total;
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
    long total =
        countSizeRecursively(directory, &known, &result, 0, flat ? kResourceDepth : 0, flat);
    // The sizes measured are kept also when others could not be: only those are measured again.
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
