#ifndef REPOSITORYHANDLER_COPYPARTS_H
#define REPOSITORYHANDLER_COPYPARTS_H

// The pieces of the tree copy (TreeCopy.h): the data of one regular file and the attributes of
// one entry. Each returns 0 or the errno of the failing call, after logging the path and the step.

#include "OVSyscalls.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace treecopy {

// A descriptor closed (through the system-call table, errno kept) at the end of the scope.
class Fd {
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        int saved = errno;
        if (fd >= 0)
            ovsys::table().close(fd);
        errno = saved;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

// A 128-bit content hash.
struct Hash {
    uint64_t low = 0;
    uint64_t high = 0;
    bool operator==(const Hash& other) const { return low == other.low && high == other.high; }
    bool operator!=(const Hash& other) const { return !(*this == other); }
};

// A run of data in a file; what lies between runs is a hole (reads as zeros).
struct Extent {
    off_t offset;
    off_t length;
};

// What the copy of one regular file found: the runs of data copied, their hash, and whether the
// copy shares the origin's blocks (then there is nothing of its own to read back).
struct FileRecord {
    std::vector<Extent> extents;
    Hash hash;
    bool shared = false;
};

// Logs that the entry shown could not be copied at step, with error, and returns error.
int copyFailed(const std::string& shown, const std::string& step, int error);

// EINTR, logged as the copy of the entry shown stopped, once a stop was requested (OVStop.h);
// else 0. The copier asks between entries and between pieces of data: a copy is abandoned like
// any failed one (the caller discards it, the origin stays whole).
int stoppedOnRequest(const std::string& shown);

// Reused buffers and hash state of one copier.
class DataCopier {
public:
    // hashing: hash every file as it is read from the origin, for rehash().
    explicit DataCopier(bool hashing);
    ~DataCopier();
    DataCopier(const DataCopier&) = delete;
    DataCopier& operator=(const DataCopier&) = delete;

    // Copies the data of the open regular file from (status st) into the new empty file to and
    // reads it back: the hashes must agree and from must not change meanwhile. sameFileSystem:
    // try a clone first. startWriteback: start writing each run to disk as it is written.
    int copy(int from, const struct stat& st, int to, bool sameFileSystem, bool startWriteback,
             FileRecord& record, const std::string& shown);
    // Hashes the runs of record in the open file fd; with evict, drops fd's cached pages first,
    // so that the bytes come from the device.
    int rehash(int fd, const FileRecord& record, bool evict, Hash& hash, const std::string& shown);

private:
    int dataRuns(int fd, const struct stat& st, std::vector<Extent>& extents,
                 const std::string& shown);
    int copyRun(int from, int to, const Extent& run, bool startWriteback, const std::string& shown);
    int hashRuns(int fd, const std::vector<Extent>& runs, Hash& hash, const std::string& shown,
                 const char* step);

    char* buffer;
    char* readBack;
    bool hashing;
    void* origin; // hash states (XXH3_state_t)
    void* written;
};

// What copyAttributes is given of an entry: descriptors opened on the origin and the copy (a
// regular file or directory), O_PATH descriptors (a pipe, device or socket, never opened for
// reading), or none (a symbolic link, which has no mode or extended attributes of its own).
enum class Handles { Opened, PathOnly, None };

// What every new entry of a copy gets from the copier and the directory it is made in.
struct NewEntries {
    uid_t owner;
    gid_t group;
    // Made below a directory with a default access control list: the lists it passes on must go.
    bool inherits;
    // The copier's file-creation mask; 07777 when unknown.
    mode_t umask;
};

// The file-creation mask of this process, read without changing it (a change would reach every
// thread); 07777 when it cannot be read.
mode_t currentUmask();

// The owner, extended attributes, mode and times (last: every earlier step moves them) of the
// copy named name in toDir, taken from the origin's status st.
// modeSet: the copy was made with its final mode already.
int copyAttributes(int fromFd, int toDir, const char* name, int toFd, const struct stat& st,
                   const std::string& shown, Handles handles, const NewEntries& made,
                   bool modeSet = false);

// pread until size bytes are in or the file ends: the count, or -1 with errno on a failure (an
// interruption by a stop request is one).
ssize_t readFully(int fd, char* into, size_t size, off_t offset);

// Whether two statuses of one file show it unchanged: size, modification and change times.
bool unchanged(const struct stat& before, const struct stat& after);

} // namespace treecopy

#endif
