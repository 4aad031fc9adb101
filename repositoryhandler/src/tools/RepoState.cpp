#include "RepoState.h"

#include "OVDirtyFlagHandler.h"
#include "OVMountPointHandler.h"
#include "OVProperties.h"
#include "OVRepositoryHandler.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceLock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// Opens path for reading without moving its access time. O_NOATIME is refused (EPERM) to a
// process that neither owns the file nor may act for its owner; such a reader falls back to a
// plain open, as any reader would.
int openQuietly(const std::string& path, int flags) {
    int fd = ovsys::table().open(path.c_str(), flags | O_NOATIME, 0);
    if (fd < 0 && errno == EPERM)
        fd = ovsys::table().open(path.c_str(), flags, 0);
    return fd;
}

[[noreturn]] void cannotRead(const std::string& path, int error) {
    throw std::runtime_error("\"" + path + "\" cannot be read: " + std::strerror(error));
}

struct Limits {
    int remind = 80, warn = 90, warn2 = 92, warn3 = 94;
    int switchAt = 95, full = 97, clean = 98, move = 99;
};

// Whether used reached limit; limits of 0 and below are switched off unless always is set.
bool reached(double used, int limit, bool always = false) {
    return (always || limit > 0) && used >= static_cast<double>(limit);
}

int mountBits(const MountState& mount, const Limits& limits) {
    const double used = mount.used;
    int bits = 0;
    bits |= reached(used, limits.remind) ? MOUNT_REMIND : 0;
    bits |= reached(used, limits.warn) ? MOUNT_WARN : 0;
    bits |= reached(used, limits.warn2) ? MOUNT_WARN2 : 0;
    bits |= reached(used, limits.warn3) ? MOUNT_WARN3 : 0;
    bits |= reached(used, mount.switchLimit, true) ? MOUNT_SWITCH : 0;
    bits |= reached(used, mount.fullLimit) ? MOUNT_FULL : 0;
    bits |= reached(used, mount.cleanLimit) ? MOUNT_CLEAN : 0;
    bits |= reached(used, mount.moveLimit) ? MOUNT_MOVE : 0;
    return bits;
}

// The used share of the file system in percent, reserved blocks counting as used; -1 when it
// cannot be queried. readOnly tells whether it is mounted read-only.
double usedPercent(const std::string& path, bool& readOnly) {
    struct statvfs fs;
    if (ovsys::table().statvfs(path.c_str(), &fs) != 0 || fs.f_blocks == 0)
        return -1;
    readOnly = (fs.f_flag & ST_RDONLY) != 0;
    return 100.0 - 100.0 * static_cast<double>(fs.f_bavail) / static_cast<double>(fs.f_blocks);
}

bool readProperties(const std::string& file, OVProperties& properties) {
    std::string text;
    if (!readQuietly(file, text)) {
        if (errno != ENOENT)
            cannotRead(file, errno);
        return false;
    }
    properties.loadText(text);
    return true;
}

MountState readMount(const std::string& path, const Limits& limits) {
    MountState mount;
    mount.path = path;
    mount.switchLimit = limits.switchAt;
    mount.fullLimit = limits.full;
    mount.cleanLimit = limits.clean;
    mount.moveLimit = limits.move;
    struct stat st;
    mount.present = ovsys::table().stat(path.c_str(), &st) == 0;
    OVProperties part;
    bool configured = mount.present && readProperties(path + "/repositorypart.cfg", part);
    // Switching a mount back on renames repositorypart.no to repositorypart.cfg: the limits in
    // it are those the library will use then.
    mount.switchedOff =
        mount.present && !configured && readProperties(path + "/repositorypart.no", part);
    mount.limitsKnown = configured || mount.switchedOff;
    if (mount.limitsKnown) {
        readNatInt(part, "switchLimit", mount.switchLimit);
        readNatInt(part, "fullLimit", mount.fullLimit);
        readNatInt(part, "cleanLimit", mount.cleanLimit);
        readNatInt(part, "moveLimit", mount.moveLimit);
    }
    // The fill level of a bare mount point is that of the file system below it, not the mount's.
    mount.used = mount.limitsKnown ? usedPercent(path, mount.readOnly) : -1;
    mount.mounted = configured && mount.used >= 0;
    mount.status = mount.mounted ? mountBits(mount, limits) : MOUNT_UNMOUNTED;
    // The library passes a read-only mount over like a full one.
    if (mount.mounted && mount.readOnly)
        mount.status |= MOUNT_FULL | MOUNT_SWITCH;
    return mount;
}

// The mount directories named by "mountPoints" (backslash-separated, empty names skipped), or
// the repository directory itself without the key.
std::vector<std::string> mountPaths(const std::string& repository, const char* list) {
    if (list == nullptr || *list == '\0')
        return {repository};
    std::vector<std::string> paths;
    std::string names(list);
    for (size_t start = 0; start <= names.size();) {
        size_t end = std::min(names.find('\\', start), names.size());
        if (end > start)
            paths.push_back(repository + "/" + names.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}

int repositoryBits(const std::vector<MountState>& mounts) {
    bool anyMounted = false, incomplete = false, roomy = false;
    int common = ~0;
    for (const MountState& mount : mounts) {
        if (!mount.mounted) {
            incomplete = true;
            continue;
        }
        anyMounted = true;
        common &= mount.status;
        roomy = roomy || !has(mount.status, MOUNT_FULL | MOUNT_CLEAN);
    }
    if (!anyMounted)
        return REPO_MISSING;
    int bits = incomplete ? REPO_INCOMPLETE : 0;
    bits |= roomy ? 0 : REPO_NO_ROOM;
    bits |= has(common, MOUNT_FULL) ? REPO_FULL : 0;
    return bits | (common & (MOUNT_SWITCH | MOUNT_WARN3 | MOUNT_WARN2 | MOUNT_WARN | MOUNT_REMIND));
}

// The host records in the repository directory; one being written ("~" and a process id) is not
// one yet.
void readHostRecords(RepoState& state) {
    std::vector<std::string> names;
    if (!listQuietly(state.path, names))
        cannotRead(state.path, errno);
    std::sort(names.begin(), names.end());
    std::string prefix = kHostRecordPrefix;
    for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size() ||
            name.find('~') != std::string::npos)
            continue;
        std::string text;
        if (!readQuietly(state.path + "/" + name, text)) {
            if (errno != ENOENT)
                cannotRead(state.path + "/" + name, errno);
            continue;
        }
        state.hosts.push_back(parseHostRecord(name.substr(prefix.size()), text));
    }
}

void readLocks(RepoState& state, time_t now) {
    std::vector<std::string> names;
    // A missing lock directory holds no lock (the configuration check names it); any other
    // failure to list it is no such answer.
    if (!listQuietly(state.lockDir, names) && errno != ENOENT)
        cannotRead(state.lockDir, errno);
    std::vector<std::string> prefixes = lockFilePrefixes(state.path);
    std::string repositoryLock = lockFileName(resourceLockName(state.path, ""));
    for (const std::string& name : names) {
        bool ours = false;
        for (const std::string& prefix : prefixes)
            ours = ours || name.compare(0, prefix.size(), prefix) == 0;
        struct stat st;
        std::string path = state.lockDir + "/" + name;
        if (!ours || ovsys::table().lstat(path.c_str(), &st) != 0)
            continue; // not this repository's, or released meanwhile
        LockFileState lock;
        lock.path = path;
        lock.age = now > st.st_mtime ? now - st.st_mtime : 0;
        lock.repositoryLock = name == repositoryLock;
        lock.stale =
            lock.age > (lock.repositoryLock ? kStaleRepositoryLockSeconds : kStaleLockSeconds);
        state.locks.push_back(lock);
    }
}

// Bytes of the regular files below path; links are counted, never followed.
uint64_t sizeBelow(const std::string& path, const struct stat& st) {
    if (!S_ISDIR(st.st_mode))
        return S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    std::vector<std::string> names;
    if (!listQuietly(path, names))
        return 0;
    uint64_t total = 0;
    for (const std::string& name : names) {
        std::string child = path + "/" + name;
        struct stat cst;
        if (ovsys::table().lstat(child.c_str(), &cst) == 0)
            total += sizeBelow(child, cst);
    }
    return total;
}

void addCopy(ResourceState& resource, const std::string& path, bool legacy) {
    struct stat st;
    if (ovsys::table().lstat(path.c_str(), &st) != 0)
        return;
    CopyState copy;
    copy.path = path;
    copy.legacy = legacy;
    copy.size = sizeBelow(path, st);
    copy.lastUse = st.st_atime > st.st_mtime ? st.st_atime : st.st_mtime;
    resource.copies.push_back(copy);
}

ResourceState readResource(const RepoState& state, const std::string& name) {
    ResourceState resource;
    resource.name = name;
    std::string bare = bareResourceName(name.c_str());
    resource.dirty = state.dirty.count(name) != 0 || state.dirty.count(bare) != 0;
    resource.lockFile = state.lockDir + "/" + lockFileName(resourceLockName(state.path, bare));
    resource.locked = ovsys::table().access(resource.lockFile.c_str(), F_OK) == 0;
    std::string hashed;
    if (!hashedResourcePath(name.c_str(), hashed)) {
        resource.refused = true;
        return resource;
    }
    hashed.pop_back(); // the trailing "/"
    for (const MountState& mount : state.mounts)
        addCopy(resource, mount.path + "/" + hashed, false);
    if (!state.legacyDir.empty())
        addCopy(resource, state.legacyDir + "/" + bare, true);
    return resource;
}

const char* const kMountNames[] = {"MOUNT_REMIND", "MOUNT_WARN",   "MOUNT_WARN2",
                                   "MOUNT_WARN3",  "MOUNT_SWITCH", "MOUNT_FULL",
                                   "MOUNT_CLEAN",  "MOUNT_MOVE",   "MOUNT_UNMOUNTED"};
const char* const kRepositoryNames[] = {"REPO_REMIND", "REPO_WARN",       "REPO_WARN2",
                                        "REPO_WARN3",  "REPO_SWITCH",     "REPO_NO_ROOM",
                                        "REPO_FULL",   "REPO_INCOMPLETE", "REPO_MISSING"};

std::vector<std::string> bitNames(int status, const char* const (&names)[9]) {
    std::vector<std::string> set;
    for (int bit = 0; bit < 9; ++bit)
        if (has(status, 1 << bit))
            set.push_back(names[bit]);
    return set;
}

} // namespace

bool readQuietly(const std::string& path, std::string& text) {
    int fd = openQuietly(path, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return false;
    text.clear();
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    int error = errno;
    ovsys::table().close(fd);
    errno = error;
    return n == 0;
}

bool listQuietly(const std::string& path, std::vector<std::string>& names) {
    int fd = openQuietly(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        ovsys::table().close(fd);
        return false;
    }
    names.clear();
    while (const struct dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    return true;
}

std::string lockDirectory() {
    const char* value = std::getenv("LOCK_VAR");
    return value != nullptr && *value != '\0' ? value : ".";
}

std::vector<std::string> lockFilePrefixes(const std::string& repositoryPath) {
    // Long lock names are shortened to their first 238 bytes and a hash: compare at most those.
    auto prefix = [](const std::string& name) { return ("semaphore_" + name).substr(0, 238); };
    return {prefix(resourceLockName(repositoryPath, "")),
            prefix(resourceLockName(repositoryPath + "/.dirty", ""))};
}

RepoState readRepoState(const std::string& path, const std::vector<std::string>& resources,
                        time_t now) {
    RepoState state;
    state.path = normalizedRepositoryPath(path.c_str());
    state.lockDir = lockDirectory();
    struct stat st;
    state.exists = ovsys::table().stat(state.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (state.exists) {
        OVProperties config;
        readProperties(state.path + "/repository.cfg", config);
        Limits limits;
        readNatInt(config, "remindLimit", limits.remind);
        readNatInt(config, "warnLimit", limits.warn);
        readNatInt(config, "warn2Limit", limits.warn2);
        readNatInt(config, "warn3Limit", limits.warn3);
        readNatInt(config, "switchLimit", limits.switchAt);
        readNatInt(config, "fullLimit", limits.full);
        readNatInt(config, "cleanLimit", limits.clean);
        readNatInt(config, "moveLimit", limits.move);
        if (const char* legacy = config.getProperty("legacyDir"))
            state.legacyDir = legacy;
        std::string shared = resolveLockDirectory(state.path, config.getProperty("lockDirectory"));
        if (!shared.empty()) {
            state.lockDir = shared;
            state.sharedLocks = true;
            readHostRecords(state);
        }
        state.cleanLimit = limits.clean;
        state.moveLimit = limits.move;
        const char* clearable = config.getProperty("isClearable");
        state.clearable = clearable != nullptr && std::strcmp(clearable, "true") == 0;
        for (const std::string& mount : mountPaths(state.path, config.getProperty("mountPoints")))
            state.mounts.push_back(readMount(mount, limits));
        std::string text;
        if (readQuietly(state.path + "/.dirty", text))
            state.dirty = OVDirtyFlagHandler::parseSetText(text);
        else if (errno != ENOENT)
            cannotRead(state.path + "/.dirty", errno);
    }
    state.status = repositoryBits(state.mounts);
    readLocks(state, now);
    for (const std::string& name : resources)
        state.resources.push_back(readResource(state, name));
    return state;
}

int exitStatusOf(const RepoState& state) {
    if (has(state.status, REPO_MISSING))
        return 3;
    // A configured mount directory that is missing makes every use of the repository fail.
    bool mountMissing = false;
    for (const MountState& mount : state.mounts)
        mountMissing = mountMissing || !mount.present;
    if (mountMissing || has(state.status, REPO_NO_ROOM | REPO_FULL))
        return 2;
    bool warn = has(state.status, REPO_WARN | REPO_WARN2 | REPO_WARN3 | REPO_INCOMPLETE);
    for (const MountState& mount : state.mounts)
        warn =
            warn || (mount.mounted &&
                     (mount.readOnly || has(mount.status, MOUNT_WARN | MOUNT_WARN2 | MOUNT_WARN3)));
    for (const LockFileState& lock : state.locks)
        warn = warn || lock.stale;
    // A resource that exists nowhere is an answer a script must not take for a clean one.
    for (const ResourceState& resource : state.resources)
        warn = warn || !resource.found();
    return warn ? 1 : 0;
}

const char* exitStatusName(int exitStatus) {
    static const char* const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return exitStatus >= 0 && exitStatus <= 3 ? names[exitStatus] : "UNKNOWN";
}

std::vector<std::string> mountStatusNames(int status) {
    return bitNames(status, kMountNames);
}

std::vector<std::string> repositoryStatusNames(int status) {
    return bitNames(status, kRepositoryNames);
}
