// The walks that gather balancing candidates from the hashed layout of a mount: the oldest
// resources of one mount, of all mounts together, or any resources of a mount. Each walk keeps a
// bounded set, so that its memory does not grow with the number of resources.
#include "Balancing.h"

#include "OVLogger.h"
#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"
#include "Staging.h"

#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {

// Depth below a mount at which the entries are the resources.
constexpr int kResourceLevel = 3;

// Keeps the maxCount oldest resources used no later than cutOff.
struct TakeOldest {
    size_t maxCount;
    time_t cutOff;

    bool satisfied(const CandidateSet&) const { return false; }
    void operator()(CandidateSet& candidates, ResourceEntry&& entry) const {
        if (entry.accessTime > cutOff)
            return;
        if (candidates.size() >= maxCount && entry.accessTime > candidates.rbegin()->accessTime)
            return;
        candidates.insert(std::move(entry));
        if (candidates.size() > maxCount)
            candidates.erase(std::prev(candidates.end()));
    }
};

// Takes every resource until the set holds maxCount.
struct TakeAny {
    size_t maxCount;

    bool satisfied(const CandidateSet& candidates) const { return candidates.size() >= maxCount; }
    void operator()(CandidateSet& candidates, ResourceEntry&& entry) const {
        candidates.insert(std::move(entry));
    }
};

} // namespace

bool ltres::operator()(const ResourceEntry& a, const ResourceEntry& b) const {
    if (a.accessTime != b.accessTime)
        return a.accessTime < b.accessTime;
    return a.path > b.path;
}

template <typename Take>
int OVMountPointHandler::gather(CandidateSet& candidates, int maxCount, const std::string& subPath,
                                int depth, Take take) {
    if (maxCount <= 0)
        return 0;
    if (depth == 0 && (checkStatus(true) & MOUNT_UNMOUNTED))
        return -1;
    std::string dir = mountPath + subPath;
    std::vector<std::string> names;
    listDir(dir.c_str(), &names);
    for (const std::string& name : names) {
        if (take.satisfied(candidates))
            break;
        // The file system's recovery directory is no hash level; the staging directory holds the
        // library's own temporary entries, never a resource.
        if ((depth == 0 && name == "lost+found") || name == kStagingName)
            continue;
        std::string full = dir + "/" + name;
        if (depth == kResourceLevel && repository->isPassedOver(full))
            continue;
        if (repository->getDirtyFlags().isDirty(name.c_str())) {
            // The lookup settles the copies of a dirty resource and clears its flag; the resource
            // is gathered again by a later walk.
            std::unique_ptr<char[]> settled(
                repository->getLocation(name.c_str(), nullptr, true, false));
            continue;
        }
        struct stat st;
        if (ovsys::table().lstat(full.c_str(), &st) != 0)
            continue;
        std::string relative = subPath + "/" + name;
        if (depth < kResourceLevel) {
            // Links are never walked into: a linked hash directory is not the mount's own.
            if (S_ISDIR(st.st_mode) &&
                gather(candidates, maxCount, relative, depth + 1, take) == -1)
                return -1;
            continue;
        }
        take(candidates, ResourceEntry{full, relative, name, lastAccess(full.c_str(), &st)});
    }
    return static_cast<int>(candidates.size());
}

int OVMountPointHandler::getOldestResources(CandidateSet& candidates, int maxCount,
                                            const std::string& subPath, int depth) {
    TakeOldest take{static_cast<size_t>(maxCount > 0 ? maxCount : 0), time(nullptr) - nomoveTime};
    return gather(candidates, maxCount, subPath, depth, take);
}

int OVMountPointHandler::getRandomResources(CandidateSet& candidates, int maxCount,
                                            const std::string& subPath, int depth) {
    TakeAny take{static_cast<size_t>(maxCount > 0 ? maxCount : 0)};
    return gather(candidates, maxCount, subPath, depth, take);
}

int OVRepositoryHandler::getGlobalOldestResources(CandidateSet& candidates) {
    checkRepositoryStatus();
    int previous = 0;
    for (const auto& mount : mounts) {
        if (mount->getStatus() & MOUNT_UNMOUNTED)
            continue;
        int cap = previous + kOldestBatch;
        // A mount found unmounted meanwhile adds nothing; the next one still gets its own 100.
        if (mount->getOldestResources(candidates, cap, "", 0) >= 0)
            previous = static_cast<int>(candidates.size());
        rh_logger.debugLog("global newresnum:%d, size:%d, backsize:%d", cap,
                           static_cast<int>(candidates.size()), previous);
    }
    while (candidates.size() > static_cast<size_t>(kOldestBatch))
        candidates.erase(std::prev(candidates.end()));
    return static_cast<int>(candidates.size());
}
