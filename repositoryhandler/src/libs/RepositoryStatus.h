#ifndef REPOSITORYHANDLER_REPOSITORYSTATUS_H
#define REPOSITORYHANDLER_REPOSITORYSTATUS_H

// Status bits of one mount, from its fill level (used percentage) and its limits.
enum MountStatus {
    MOUNT_REMIND = 0x001,
    MOUNT_WARN = 0x002,
    MOUNT_WARN2 = 0x004,
    MOUNT_WARN3 = 0x008,
    MOUNT_SWITCH = 0x010,
    MOUNT_FULL = 0x020,
    MOUNT_CLEAN = 0x040,
    MOUNT_MOVE = 0x080,
    MOUNT_UNMOUNTED = 0x100 // "repositorypart.cfg" absent or fill level unreadable; alone
};

// Status bits of a repository, derived from its mounted mounts.
enum RepositoryStatus {
    REPO_REMIND = 0x001,     // every mounted mount has MOUNT_REMIND
    REPO_WARN = 0x002,       // ... MOUNT_WARN
    REPO_WARN2 = 0x004,      // ... MOUNT_WARN2
    REPO_WARN3 = 0x008,      // ... MOUNT_WARN3
    REPO_SWITCH = 0x010,     // ... MOUNT_SWITCH
    REPO_NO_ROOM = 0x020,    // no mounted mount is free of both MOUNT_FULL and MOUNT_CLEAN
    REPO_FULL = 0x040,       // every mounted mount has MOUNT_FULL
    REPO_INCOMPLETE = 0x080, // some mount is unmounted
    REPO_MISSING = 0x100     // no mount is mounted, or no repository directory; alone
};

// Result codes of the resource operations; removeResource combines them with bitwise or.
enum ResourceResult {
    RES_OK = 0,          // found (or made) and consistent
    RES_DIRTY = 1,       // found, but another copy may exist on an unmounted mount
    RES_CONFLICT = 2,    // copies on several mounts that cannot be merged
    RES_NOT_FOUND = 4,   // no copy on any mounted mount nor in the legacy directory
    RES_ERROR = 8,       // no mount can take it, or a file-system operation failed
    RES_LOCK_FAILED = 16 // the resource lock was not obtained
};

// Whether status holds any of bits.
inline bool has(int status, int bits) {
    return (status & bits) != 0;
}

// Writes a resource status for callers that asked for one (status not null).
inline void setStatus(int* status, int value) {
    if (status != nullptr)
        *status = value;
}

// Source path named by the assertions of the repository library.
constexpr const char* kRepositorySource = "repositoryhandler/src/libs/OVRepositoryHandler";

#endif
