// The walks that gather balancing candidates from the hashed layout of a mount: the oldest
// resources of one mount, of all mounts together, or any resources of a mount. Each walk keeps a
// bounded set, so that its memory does not grow with the number of resources.
#include "Balancing.h"

#include "OVDirtyFlagHandler.h"
#include "OVLogger.h"
#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVStop.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"
#include "Staging.h"

#include <cerrno>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {

// Depth below a mount at which the entries are the resources.
constexpr int kResourceLevel = 3;

} // namespace

// What one walk keeps, and whether it gave up.
struct GatherTake {
    size_t maxCount;
    // Only resources used no later than this are taken; all when any.
    time_t cutOff;
    bool any;
    // Set when the dirty flags cannot be read: every further name would wait for their lock in
    // vain, so the walk ends with what it has.
    bool abandoned = false;
    // Paths offered before, passed over.
    const PathSet* skip = nullptr;

    // A stop request ends the walk too: what it has is enough for the little work left.
    bool satisfied(const CandidateSet& candidates) const {
        return abandoned || (any && candidates.size() >= maxCount) || ovstop::requested();
    }
    // Keeps the maxCount oldest (or, with any, the first maxCount) resources offered.
    void offer(CandidateSet& candidates, ResourceEntry&& entry) const {
        if (any) {
            candidates.insert(std::move(entry));
            return;
        }
        if (entry.accessTime > cutOff)
            return;
        if (candidates.size() >= maxCount && entry.accessTime > candidates.rbegin()->accessTime)
            return;
        candidates.insert(std::move(entry));
        if (candidates.size() > maxCount)
            candidates.erase(std::prev(candidates.end()));
    }
};

// Whether the resource at full stands there (status in st). One that cannot be queried is logged
// and passed over: it is no candidate, yet it has not left the mount.
bool OVMountPointHandler::standing(const std::string& full, struct stat& st) const {
    Presence here = lstatPresence(full, &st);
    if (here == Presence::Failed) {
        logStatFailure(full, errno);
        repository->passOver(full);
    }
    return here == Presence::Present;
}

bool ltres::operator()(const ResourceEntry& a, const ResourceEntry& b) const {
    if (a.accessTime != b.accessTime)
        return a.accessTime < b.accessTime;
    return a.path > b.path;
}

// A resource flagged dirty (copies on several mounts may differ) is settled by a lookup first,
// which merges its copies and clears the flag. True when it then stands at full, no longer
// dirty, with its status in st. One that stays dirty is given up for the running operation.
bool OVMountPointHandler::settledClean(const std::string& name, const std::string& full,
                                       struct stat& st, GatherTake& take) {
    OVDirtyFlagHandler& flags = repository->getDirtyFlags();
    if (!flags.isDirty(name.c_str()))
        return standing(full, st);
    if (!flags.lastAnswerCertain()) {
        rh_logger.debugLog("The walk of %s ends: the dirty flags cannot be read",
                           mountPath.c_str());
        take.abandoned = true;
        repository->passOver(full);
        return false;
    }
    std::unique_ptr<char[]> settled(repository->getLocation(name.c_str(), nullptr, true, false));
    if (ovsys::table().lstat(full.c_str(), &st) != 0)
        return false; // settled on another mount
    if (!flags.isDirty(name.c_str()))
        return true;
    repository->passOver(full);
    return false;
}

int OVMountPointHandler::gather(CandidateSet& candidates, int maxCount, const std::string& subPath,
                                int depth, GatherTake& take) {
    if (maxCount <= 0)
        return 0;
    if (depth == 0 && (checkStatus(true) & MOUNT_UNMOUNTED))
        return -1;
    std::string dir = mountPath + subPath;
    std::vector<std::string> names;
    listDir(dir.c_str(), &names); // a failure is logged
    if (errno != 0 && errno != ENOENT)
        repository->passOver(dir); // what it holds has not left the mount
    for (const std::string& name : names) {
        if (take.satisfied(candidates))
            break;
        // The file system's recovery directory is no hash level; the staging directory holds the
        // library's own temporary entries, never a resource.
        if ((depth == 0 && name == "lost+found") || name == kStagingName)
            continue;
        std::string full = dir + "/" + name;
        std::string relative = subPath + "/" + name;
        struct stat st;
        if (depth < kResourceLevel) {
            // Links are never walked into: a linked hash directory is not the mount's own.
            if (ovsys::table().lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                gather(candidates, maxCount, relative, depth + 1, take) == -1)
                return -1;
            continue;
        }
        if ((take.skip != nullptr && take.skip->count(full) != 0) ||
            repository->isPassedOver(full) || !settledClean(name, full, st, take))
            continue;
        take.offer(candidates, ResourceEntry{full, relative, name, lastAccess(full.c_str(), &st)});
    }
    return static_cast<int>(candidates.size());
}

int OVMountPointHandler::getOldestResources(CandidateSet& candidates, int maxCount,
                                            const std::string& subPath, int depth,
                                            const PathSet* skip) {
    GatherTake take{static_cast<size_t>(maxCount > 0 ? maxCount : 0), time(nullptr) - nomoveTime,
                    false};
    take.skip = skip;
    return gather(candidates, maxCount, subPath, depth, take);
}

int OVMountPointHandler::getRandomResources(CandidateSet& candidates, int maxCount,
                                            const std::string& subPath, int depth) {
    GatherTake take{static_cast<size_t>(maxCount > 0 ? maxCount : 0), 0, true};
    return gather(candidates, maxCount, subPath, depth, take);
}

int OVRepositoryHandler::getGlobalOldestResources(CandidateSet& candidates, int cap,
                                                  const PathSet* skip) {
    checkRepositoryStatus();
    int previous = 0;
    for (const auto& mount : mounts) {
        if (mount->getStatus() & MOUNT_UNMOUNTED)
            continue;
        int mountCap = previous + cap;
        // A mount found unmounted meanwhile adds nothing; the next one still gets its own cap.
        if (mount->getOldestResources(candidates, mountCap, "", 0, skip) >= 0)
            previous = static_cast<int>(candidates.size());
        rh_logger.debugLog("global newresnum:%d, size:%d, backsize:%d", mountCap,
                           static_cast<int>(candidates.size()), previous);
    }
    while (candidates.size() > static_cast<size_t>(cap))
        candidates.erase(std::prev(candidates.end()));
    return static_cast<int>(candidates.size());
}
