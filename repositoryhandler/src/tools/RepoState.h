#ifndef REPOSITORYHANDLER_TOOLS_REPOSTATE_H
#define REPOSITORYHANDLER_TOOLS_REPOSTATE_H

// The state of a repository as repostat shows it, gathered without changing anything: no lock is
// taken, no time is set, nothing is written, and files and directories are opened with O_NOATIME
// where the kernel allows it, so that not even an access time moves.

#include "SharedRepository.h"

#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

// A lock file older than this is probably left by a process that died.
constexpr time_t kStaleLockSeconds = 3600;
// The repository lock is held for one balancing check: seconds for 2 x 100,000 resources, minutes
// when gigabytes are moved. Older than the 15 minutes between two runs of the ready timer, it has
// made at least one run give up, and it is most likely left by a check that was killed.
constexpr time_t kStaleRepositoryLockSeconds = 900;

struct MountState {
    std::string path;
    bool present = false;     // the directory exists
    bool mounted = false;     // "repositorypart.cfg" present and the fill level readable
    bool switchedOff = false; // "repositorypart.no" present instead
    // The limits come from the mount's own file (".cfg", or ".no" while switched off). Without
    // either, the directory is a bare mount point: the file system meant for it is not mounted,
    // and neither its limits nor its fill level can be known.
    bool limitsKnown = false;
    double used = -1;      // percent, -1 when it cannot be read or is not the mount's
    bool readOnly = false; // the file system is mounted read-only: no new resource goes there
    int switchLimit = 0;
    int fullLimit = 0;
    int cleanLimit = 0;
    int moveLimit = 0;
    int status = 0; // MountStatus bits
};

struct LockFileState {
    std::string path;
    time_t age = 0; // seconds since its last change
    bool stale = false;
    bool repositoryLock = false; // the lock of the balancing check, not of a resource
};

struct CopyState {
    std::string path;
    bool legacy = false; // in the legacy directory rather than on a mount
    uint64_t size = 0;   // bytes of the regular files below it
    time_t lastUse = 0;  // the later of its access and modification times
};

struct ResourceState {
    std::string name;
    bool refused = false; // not a name the library accepts
    bool dirty = false;
    std::string lockFile;
    bool locked = false; // the lock file exists
    std::vector<CopyState> copies;
    // Some copy exists, on a mount (switched off or not) or in the legacy directory.
    bool found() const { return !copies.empty(); }
};

struct RepoState {
    std::string path;
    bool exists = false;
    std::vector<MountState> mounts;
    int status = 0; // RepositoryStatus bits
    std::set<std::string> dirty;
    std::string legacyDir;
    // "isClearable = true": a check deletes the oldest resources when no mount has room.
    bool clearable = false;
    // The limits of repository.cfg (or their defaults), which mounts override in their own file.
    int cleanLimit = 0;
    int moveLimit = 0;
    std::string lockDir;
    // "lockDirectory" is set: lockDir is the directory it names, for every host.
    bool sharedLocks = false;
    // What each host recorded of the lock directory (".host.<host>" in the repository directory).
    std::vector<HostRecord> hosts;
    std::vector<LockFileState> locks;
    std::vector<ResourceState> resources;
};

// Reads the state of the repository at path and of the named resources, at the time now. Throws
// std::runtime_error when something that exists cannot be read.
RepoState readRepoState(const std::string& path, const std::vector<std::string>& resources,
                        time_t now);

// Exit status for monitoring: 0 OK, 1 WARNING (also for a resource asked for that has no copy
// anywhere), 2 CRITICAL (also for a configured mount directory that does not exist: the library
// refuses such a repository), 3 UNKNOWN.
int exitStatusOf(const RepoState& state);
const char* exitStatusName(int exitStatus);
// The names of the set bits, joined by "|" ("" for none).
std::vector<std::string> mountStatusNames(int status);
std::vector<std::string> repositoryStatusNames(int status);

// Small read-only file helpers shared with the configuration check.

// The whole content of the file at path, read without moving its access time; false with errno.
bool readQuietly(const std::string& path, std::string& text);
// The entries of the directory (without "." and ".."), read without moving its access time; false
// with errno.
bool listQuietly(const std::string& path, std::vector<std::string>& names);
// The directory lock files go to without "lockDirectory": "LOCK_VAR", else the working directory.
std::string lockDirectory();
// The prefixes of this repository's lock file names (its resources and its dirty-flag lock).
std::vector<std::string> lockFilePrefixes(const std::string& repositoryPath);

#endif
