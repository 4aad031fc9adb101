#ifndef REPOSITORYHANDLER_TESTS_REPOSITORYTESTSUPPORT_H
#define REPOSITORYHANDLER_TESTS_REPOSITORYTESTSUPPORT_H

#include "TestSupport.h"

#include <ctime>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

class OVRepositoryHandler;

// A repository directory below /tmp, with helpers to write its configuration and its mounts.
// The registry is emptied when it is created and when it goes away, so that every test starts
// from handlers built afresh; lock files go to a directory of its own.
class TestRepository {
public:
    TestRepository();
    ~TestRepository();

    const std::string& path() const { return dir.path(); }
    const char* id() const { return dir.path().c_str(); }
    std::string operator/(const std::string& relative) const { return dir / relative; }

    // Writes "repository.cfg" with the given lines.
    void configure(const std::string& content) const;
    // Creates the mount directory path()/name, mounted ("repositorypart.cfg" with partConfig)
    // unless mounted is false; returns its path.
    std::string addMount(const std::string& name, const std::string& partConfig = "",
                         bool mounted = true) const;

private:
    TempDir dir;
    TempDir lockDir;
    ScopedEnv lockVar;
};

// Fill levels reported by statvfs for chosen paths while it lives; other paths get the real
// figures. A percentage p is reported as 100000 blocks of which (100 - p) * 1000 are available.
class FakeFillLevels {
public:
    FakeFillLevels();
    ~FakeFillLevels();
    void setPercent(const std::string& path, double percent);
    void setBlocks(const std::string& path, fsblkcnt_t blocks, fsblkcnt_t available);
    // statvfs of path fails with error.
    void fail(const std::string& path, int error);

private:
    ScopedSyscalls calls;
};

// The device that stat reports for every path below prefix, while it lives: lets a test place
// directories of one real file system on "different file systems".
class FakeDevices {
public:
    FakeDevices();
    ~FakeDevices();
    void place(const std::string& prefix, dev_t device);

private:
    ScopedSyscalls calls;
};

// While it lives, a rename between two paths outside the library's staging directories and a
// clone fail with EXDEV, as between two file systems: moves between
// directories of one test file system then copy and verify as between the mounts of a repository.
class AcrossFileSystems {
public:
    AcrossFileSystems();

private:
    ScopedSyscalls calls;
};

// A call of the system-call table that fails with error where the path it reaches contains path,
// once `passes` such calls went through (EINTR only once: the call made again goes through).
// kLie instead of an error: the call goes through but lies (a read flips the first byte it
// returns; any other call runs SeamFaults::onLie first).
struct SeamFault {
    std::string call;
    std::string path;
    int error;
    int passes = 0;
};
constexpr int kLie = -1;

// Puts the faults in place while it lives. The calls by name: "lstat", "stat", "openNoLinks",
// "mkdir", "rename" (its origin), "renameNoReplace" (its target), "opendir", "readdir", "read",
// "pread", "pwrite", "ftruncate", "fstatat", "openat", "mkdirat", "symlinkat", "mknodat",
// "linkat" (the new name), "owner", "mode", "times", "listxattr", "getxattr", "setxattr",
// "fsync", "syncfs", "syncFileRange", "fadvise". Descriptors are named by their /proc/self/fd
// paths (a path beyond PATH_MAX by "").
class SeamFaults {
public:
    explicit SeamFaults(std::vector<SeamFault> faults = {});
    ~SeamFaults();
    void arm(std::vector<SeamFault> faults);
    // Whether every fault acted: a fault that never meets its call tests nothing.
    bool met() const;
    static void (*onLie)(const std::string& path);

private:
    ScopedSyscalls calls;
};
// Puts in the table rename, unlink, unlinkat, rmdir and mkdir calls that call counter() first and
// then the real call: a test kills its process at a chosen change of a directory. Entries may be
// replaced afterwards (by calls that count too).
void countDirectoryChanges(ovsys::Table& table, void (*counter)());
// The path of an open descriptor ("" beyond PATH_MAX), errno kept.
std::string pathOfFd(int fd);

// Checks inside a forked child, whose gtest assertions would not reach the parent: a failed check
// is printed on standard error and counted; the child returns childFailures() as its status.
void check(bool condition, const std::string& what);
int childFailures();

// Exit status of a child that could not get a private mount namespace with tmpfs mounts.
constexpr int kNoNamespace = 77;
// Expects a scenario run in a child of its own (its exit status) to pass; skips the test where the
// machine gives no private mount namespace with the file systems the scenario needs.
#define EXPECT_SCENARIO(call)                                                                      \
    do {                                                                                           \
        int result = (call);                                                                       \
        if (result == kNoNamespace)                                                                \
            GTEST_SKIP() << "no private mount namespace with these file systems here";             \
        EXPECT_EQ(result, 0) << "failed checks, see the messages above";                           \
    } while (0)
// Gives the calling (child) process mounts of its own, so that its tmpfs mounts vanish with it.
bool enterPrivateMountNamespace();
// Mounts a fresh tmpfs of the given size ("1m") at the existing directory path.
bool mountTmpfs(const std::string& path, const char* size);

// The kinds of file system the cross-process scenarios run on: tmpfs (nanosecond times, inode
// numbers never reused soon), ext4 with 128-byte inodes (times in whole seconds, inode numbers
// reused at once), ext4 with 256-byte inodes and 4 KiB blocks (nanosecond times, attributes
// of a few KiB; a 64 MiB image) and xfs.
enum class FileSystemKind { Tmpfs, Ext4SmallInodes, Ext4, Xfs };
const char* nameOf(FileSystemKind kind);
// Mounts a fresh file system of the kind at the existing directory path, inside the private mount
// namespace of the calling child. Images are made with mkfs in a tmpfs mounted at the existing
// directory scratch and loop-mounted; everything goes away with the namespace. A tmpfs is mounted
// at path itself, of tmpfsSize (the mount option's value).
bool mountFileSystem(FileSystemKind kind, const std::string& path, const std::string& scratch,
                     const char* tmpfsSize = "16m");
// Runs scenario in a child with a file system of the kind (tmpfs of tmpfsSize) mounted at each of
// the named mounts of repo, and marked as a mount; its failure count, or kNoNamespace.
int withMounts(TestRepository& repo, const std::vector<std::string>& names, FileSystemKind kind,
               const char* tmpfsSize, const std::function<void(TestRepository&)>& scenario);
// The same in a repository of its own.
int withMounts(const std::vector<std::string>& names, FileSystemKind kind, const char* tmpfsSize,
               const std::function<void(TestRepository&)>& scenario);

// Where resource id lies on mount: mount + "/" + its three hash levels + "/" + id.
std::string place(const std::string& mount, const std::string& id);
// Sets the access and modification times of path (a link itself, not what it points to);
// false when they could not be set.
bool setTimes(const std::string& path, time_t when);

// Touches path with a modification time 'seconds' away from now (so that a change is seen even
// within the same second).
void setModified(const std::string& path, long secondsFromNow);

// Whether an entry (a dangling link too) stands at path; its status, a link's own (zeros when
// none).
bool present(const std::string& path);
struct stat statOf(const std::string& path);
// The log lines that hold part and end with "Error code is <error>" (any code, for 0).
size_t loggedLines(const SyslogCapture& log, const std::string& part, int error);
// The names in dir that start with prefix, hidden ones included, sorted (none when it cannot be
// listed).
std::vector<std::string> namesIn(const std::string& dir, const std::string& prefix = "");
// Leaves a mark in the handler's memory: a later lookup that returns a handler without it has
// built a new one (a pointer comparison cannot tell, the new one may reuse the address).
void mark(OVRepositoryHandler* handler);
bool isMarked(OVRepositoryHandler* handler);
// path up to its last "/".
std::string parentOf(const std::string& path);

// Creates the files (with their own path as content) and directories ("name/") below root.
void makeTree(const std::string& root, const std::vector<std::string>& paths);
// Whether every file below root holds its own path, as makeTree made it.
bool holdsTree(const std::string& root, const std::vector<std::string>& files);

#endif
