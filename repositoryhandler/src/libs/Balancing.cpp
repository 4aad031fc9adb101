// The overload check and the emptying of a mount. Both work resource by resource: lock the
// resource (30 seconds), make sure it was not used since it was gathered, act, release. Every
// loop ends: a batch in which nothing could be moved or deleted ends the handling of its mount,
// and a resource given up on (lock not had, move or deletion failed) is not gathered again within
// the same operation, so a lock left by a dead process costs one wait, not one per batch.
#include "Balancing.h"

#include "MoveDelete.h"
#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "Staging.h"

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace {

// The last use time of path's own entry (a link is not followed); -1 when it is gone.
time_t lastUse(const std::string& path) {
    struct stat st;
    return lstatOk(path, &st) ? lastAccess(path.c_str(), &st) : -1;
}

// The text of ctime, newline included, for a time; a placeholder for a time it cannot show.
std::string timeText(time_t when) {
    char buffer[64];
    if (ctime_r(&when, buffer) == nullptr)
        return "(unknown)\n";
    return buffer;
}

// The blocks available on the file system at path; 0 when it cannot be queried.
fsblkcnt_t availableBlocks(const std::string& path) {
    struct statvfs fs;
    if (ovsys::table().statvfs(path.c_str(), &fs) != 0)
        return 0;
    return fs.f_bavail;
}

// Some file systems (xfs) free the blocks of removed files in the background, shortly after the
// removal returned. Until they show, the fill level would make the check move or delete one
// resource more than needed; so after a resource was taken away from the file system at path,
// wait a little (at most 50 ms) while its available blocks are still those of before.
void awaitFreedBlocks(const std::string& path, fsblkcnt_t before) {
    for (int attempt = 0; attempt < 5 && availableBlocks(path) == before; ++attempt) {
        struct timespec pause = {0, 10 * 1000 * 1000};
        ovsys::table().nanosleep(&pause, nullptr);
    }
}

// The top of the mount that holds entry: its path without the relative part.
std::string mountOf(const ResourceEntry& entry) {
    return entry.path.substr(0, entry.path.size() - entry.relativePath.size());
}

} // namespace

// One balancing operation: its progress report and the per-resource protocol.
class OVRepositoryHandler::Balancer {
public:
    Balancer(OVRepositoryHandler& repository, bool verbose) : repo(repository), verbose(verbose) {
        repo.passedOver.clear();
    }
    ~Balancer() {
        repo.passedOver.clear();
        if (verbose)
            std::fflush(stdout);
    }
    Balancer(const Balancer&) = delete;
    Balancer& operator=(const Balancer&) = delete;

    void check();
    int moveOff(OVMountPointHandler& mount, int& moved);
    int empty(const char* mountName);

private:
    enum class Outcome { NotLocked, Touched, Acted };

    void print(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void line(const std::string& text) const;
    template <typename Act>
    Outcome withResource(const ResourceEntry& entry, bool touchTest, Act act);
    int moveEntry(const ResourceEntry& entry, OVMountPointHandler& from, OVMountPointHandler& to,
                  bool awaitBlocks);
    // Marks entry dirty for its move; wasDirty tells whether it was before. False when the flag
    // could not be set; after a failure to write the flags, always false.
    bool markForMove(const ResourceEntry& entry, bool& wasDirty);
    void checkMount(OVMountPointHandler& mount);
    void clearMount(OVMountPointHandler& mount);
    bool deleteOldest(OVMountPointHandler& mount, CandidateSet& candidates);
    bool deleteEntry(OVMountPointHandler& mount, const ResourceEntry& entry);
    void giveUp(const ResourceEntry& entry) { repo.passedOver.insert(entry.path); }
    bool noRoom() const { return has(repo.status, REPO_NO_ROOM); }

    OVRepositoryHandler& repo;
    bool verbose;
    // The dirty flag of a resource to be moved could not be set: no more moves.
    bool flagsRefused = false;
};

void OVRepositoryHandler::Balancer::print(const char* format, ...) const {
    if (!verbose)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void OVRepositoryHandler::Balancer::line(const std::string& text) const {
    print("%s\n", text.c_str());
}

template <typename Act>
OVRepositoryHandler::Balancer::Outcome
OVRepositoryHandler::Balancer::withResource(const ResourceEntry& entry, bool touchTest, Act act) {
    OVSemaphore lock(resourceLockName(repo.repositoryPath, entry.resourceId), true);
    if (!lock.tryLock(30)) {
        std::string text = "The resource \"" + lock.getName() + "\" could not be locked.";
        rh_logger.errorLog("%s", text.c_str());
        line(text);
        giveUp(entry);
        return Outcome::NotLocked;
    }
    if (touchTest && lastUse(entry.path) != entry.accessTime)
        return Outcome::Touched;
    act();
    return Outcome::Acted;
}

bool OVRepositoryHandler::Balancer::markForMove(const ResourceEntry& entry, bool& wasDirty) {
    const char* id = entry.resourceId.c_str();
    if (flagsRefused)
        return false;
    wasDirty = repo.dirtyFlags.isDirty(id);
    if (repo.dirtyFlags.lastAnswerCertain() && repo.dirtyFlags.setDirty(id, true))
        return true;
    // The flags cannot be written (a name with a line feed only cannot be flagged itself).
    flagsRefused = entry.resourceId.find('\n') == std::string::npos;
    return false;
}

// Moves one resource between mounts. A destination that exists already is merged with the origin.
// The resource is marked dirty before every move, so that the next lookup settles what a move cut
// short leaves: a merge half done (instead of a lookup serving half a resource), or a copy in place
// beside an origin not yet taken away (instead of two whole copies that drift apart unnoticed).
// Without the flag nothing is moved; once the flags could not be written, the operation moves
// nothing more rather than await the dirty-flag lock again for every resource.
// awaitBlocks: wait for the blocks freed on from to show, for a caller led by from's fill level.
int OVRepositoryHandler::Balancer::moveEntry(const ResourceEntry& entry, OVMountPointHandler& from,
                                             OVMountPointHandler& to, bool awaitBlocks) {
    std::string source = from.getMountPath() + entry.relativePath;
    std::string destination = to.getMountPath() + entry.relativePath;
    // The target was chosen before the resource lock was awaited. Switched off or unmounted
    // since, it would hold the resource where no lookup finds it.
    if (has(to.checkStatus(true), MOUNT_UNMOUNTED)) {
        rh_logger.debugLog("The target mount %s is gone", to.getMountPath().c_str());
        return RES_ERROR;
    }
    const char* id = entry.resourceId.c_str();
    struct stat there;
    Presence found = lstatPresence(destination, &there);
    bool merging = found != Presence::Absent; // one that cannot be queried is never unflagged
    // A name with a line feed cannot be flagged (and no lookup accepts it): it is moved to a new
    // path without a flag, as ever, and never merged.
    bool flagged = merging || entry.resourceId.find('\n') == std::string::npos;
    bool wasDirty = false;
    if (flagged && !markForMove(entry, wasDirty)) {
        giveUp(entry);
        return RES_ERROR;
    }
    // The flag set for a move to a new path alone goes again once the copy stands in one place.
    bool unflag = flagged && !merging && !wasDirty;
    fsblkcnt_t before = availableBlocks(from.getMountPath());
    int result = moveResWith(source.c_str(), destination.c_str(), from.getMountPath().c_str(),
                             to.getMountPath().c_str(), repo.getMoveOptions());
    if (has(result, RES_CONFLICT)) {
        giveUp(entry); // stays dirty: both copies stay until the conflict is settled
    } else if (has(result, RES_ERROR)) {
        // Nothing was put in place; a destination that cannot be queried keeps the flag.
        if (unflag && lstatPresence(destination, &there) == Presence::Absent)
            repo.dirtyFlags.setDirty(id, false);
        giveUp(entry);
    } else {
        if (unflag)
            repo.dirtyFlags.setDirty(id, false);
        clearEmptyHash(source.c_str());
        if (awaitBlocks)
            awaitFreedBlocks(from.getMountPath(), before);
    }
    return result;
}

int OVRepositoryHandler::Balancer::moveOff(OVMountPointHandler& mount, int& moved) {
    int target = repo.getActualMountPointForMove(&mount);
    if (target < 0)
        return 1;
    rh_logger.debugLog("CheckOverload tries to move");
    line("CheckOverload tries to move");
    CandidateSet candidates;
    if (mount.getOldestResources(candidates, kOldestBatch, "", 0) < 1) {
        rh_logger.debugLog("no old resource found");
        print("no old resource found on mount %s\n", mount.getMountPath().c_str());
        return 1;
    }
    auto going = [&] { return has(mount.getStatus(), MOUNT_CLEAN) && target >= 0; };
    while (!candidates.empty() && going()) {
        int before = moved;
        for (const ResourceEntry& entry : candidates) {
            if (!going())
                break;
            OVMountPointHandler& to = *repo.mounts[target];
            Outcome outcome = withResource(entry, true, [&] {
                std::string source = mount.getMountPath() + entry.relativePath;
                std::string destination = to.getMountPath() + entry.relativePath;
                std::string when = timeText(entry.accessTime);
                rh_logger.infoLog("CheckOverload moves %s to %s", source.c_str(),
                                  destination.c_str());
                rh_logger.infoLog(
                    "CheckOverload: Last access/modification time of the resource: %s",
                    when.c_str());
                print("CheckOverload moves %s to %s\n", source.c_str(), destination.c_str());
                print("CheckOverload: Last access/modification time of the resource: %s\n",
                      when.c_str());
                int result = moveEntry(entry, mount, to, true);
                if (has(result, RES_CONFLICT)) {
                    line("Conflict prevented resource move");
                } else if (has(result, RES_ERROR)) {
                    line("Move failed (Maybe out of space?)");
                    rh_logger.debugLog("Nospaceleft? checkoverload couldn't move");
                } else {
                    line("Move succeeded");
                    ++moved;
                }
            });
            if (outcome == Outcome::Touched)
                print("Resource touched while checking: %s\n", entry.path.c_str());
            if (outcome != Outcome::Acted)
                continue;
            target = repo.getActualMountPointForMove(&mount);
            print("(moveLimit=%i, used=%f)\n", mount.getMoveLimit(), mount.getUsedPercentage());
        }
        if (!going())
            break;
        if (moved == before) {
            rh_logger.debugLog("Nothing of the batch could be moved off %s",
                               mount.getMountPath().c_str());
            break;
        }
        candidates.clear();
        if (mount.getOldestResources(candidates, kOldestBatch, "", 0) < 0)
            break;
    }
    return 0;
}

bool OVRepositoryHandler::Balancer::deleteEntry(OVMountPointHandler& mount,
                                                const ResourceEntry& entry) {
    // The mount that holds the resource may have been switched off while its lock was awaited: a
    // deletion there frees no room that counts, so the resource stays.
    std::string home = mountOf(entry);
    for (const auto& holder : repo.mounts)
        if (holder->getMountPath() == home && has(holder->checkStatus(true), MOUNT_UNMOUNTED)) {
            rh_logger.debugLog("The mount %s is gone", home.c_str());
            return false;
        }
    std::string when = timeText(entry.accessTime);
    rh_logger.infoLog("CheckOverload deletes resource: %s when cleaning mount: %s",
                      entry.path.c_str(), mount.getMountPath().c_str());
    rh_logger.infoLog("CheckOverload: Last access/modification time of the resource: %s",
                      when.c_str());
    print("Deleting resource: %s\n", entry.path.c_str());
    print("Last access/modification time of the resource: %s\n", when.c_str());
    repo.deletedDirs.push_back(entry.path);
    fsblkcnt_t before = availableBlocks(home);
    if (deleteResStaged(entry.path.c_str(), home.c_str()) != 0) {
        rh_logger.errorLog("Resource deleting didn't succeed:%s", entry.path.c_str());
        print("Deleting resource %s failed\n", entry.path.c_str());
        repo.dirtyFlags.setDirty(entry.resourceId.c_str(), true);
        giveUp(entry);
        return false;
    }
    clearEmptyHash(entry.path.c_str());
    awaitFreedBlocks(home, before);
    return true;
}

// Deletes the oldest resources of the repository while no mount has room. False when the
// deleting ran out of resources or made no progress: the handling of the mount then ends.
bool OVRepositoryHandler::Balancer::deleteOldest(OVMountPointHandler& mount,
                                                 CandidateSet& candidates) {
    while (noRoom() && !candidates.empty()) {
        int deleted = 0;
        for (const ResourceEntry& entry : candidates) {
            if (!noRoom())
                break;
            Outcome outcome = withResource(entry, true, [&] {
                if (deleteEntry(mount, entry))
                    ++deleted;
            });
            if (outcome == Outcome::Touched) {
                rh_logger.debugLog("Resource touched:%s", entry.path.c_str());
                print("Resource touched while checking: %s\n", entry.path.c_str());
            }
            if (outcome == Outcome::Acted)
                repo.checkRepositoryStatus();
        }
        if (!noRoom())
            break;
        if (deleted == 0) {
            rh_logger.debugLog("Nothing of the batch could be deleted");
            return false;
        }
        rh_logger.debugLog("Clearing is not enough...");
        candidates.clear();
        if (repo.getGlobalOldestResources(candidates) < 1) {
            rh_logger.debugLog("No other resources found to be deleted...");
            line("No other resources found to be deleted...");
            return false;
        }
    }
    return true;
}

// The cycles of a clearable repository: delete the oldest of the repository while nothing has
// room, then move off the mount; until the mount is below its move limit or nothing goes on.
void OVRepositoryHandler::Balancer::clearMount(OVMountPointHandler& mount) {
    line("repository is clearable");
    bool stop = false;
    while (has(mount.getStatus(), MOUNT_MOVE) && !stop) {
        CandidateSet candidates;
        if (repo.getGlobalOldestResources(candidates) < 1) {
            line("no global old resource found");
            rh_logger.debugLog("no global old resource found");
            return;
        }
        int count = static_cast<int>(candidates.size());
        rh_logger.debugLog("Move limit: %d Clean limit: %d", mount.getMoveLimit(),
                           mount.getCleanLimit());
        rh_logger.debugLog("GlobalOldResources:%d", count);
        print("Move limit: %d Clean limit: %d\n", mount.getMoveLimit(), mount.getCleanLimit());
        print("GlobalOldResources: %d\n", count);
        stop = !deleteOldest(mount, candidates);
        if (has(mount.getStatus(), MOUNT_MOVE) && !stop && !noRoom()) {
            rh_logger.debugLog("Trying to move instead of cleaning first...");
            int moved = 0;
            if (moveOff(mount, moved) != 0 || moved == 0)
                stop = true;
        }
    }
    if (stop)
        rh_logger.debugLog("Cleaning %s ends", mount.getMountPath().c_str());
}

void OVRepositoryHandler::Balancer::checkMount(OVMountPointHandler& mount) {
    const char* path = mount.getMountPath().c_str();
    print("checking mount %s\n", path);
    if (has(mount.getStatus(), MOUNT_UNMOUNTED)) {
        line("mount is unmounted");
        return;
    }
    if (!has(mount.getStatus(), MOUNT_MOVE)) {
        print("mount does not need maintenance (moveLimit=%i, used=%f)\n", mount.getMoveLimit(),
              mount.getUsedPercentage());
        return;
    }
    print("trying to clean mount %s\n", path);
    rh_logger.debugLog("CheckOverload detected %s has to be clean", path);
    if (repo.isClearable) {
        clearMount(mount);
    } else if (!noRoom()) {
        int moved = 0;
        moveOff(mount, moved);
    }
}

void OVRepositoryHandler::Balancer::check() {
    print("checking repository %s\n", repo.repositoryPath.c_str());
    repo.deletedDirs.clear();
    OVSemaphore lock(resourceLockName(repo.repositoryPath, ""), true);
    if (!lock.tryLock(30)) {
        std::string text = "The repository \"" + repo.repositoryPath + "\" could not be locked.";
        line(text);
        rh_logger.errorLog("%s", text.c_str());
        return;
    }
    // Work directories left by killed moves and removals count towards the fill levels and
    // would otherwise stay until the next move or removal on their mount.
    for (const auto& mount : repo.mounts)
        if (!has(mount->checkStatus(true), MOUNT_UNMOUNTED))
            removeStagingLeftovers(mount->getMountPath());
    repo.checkRepositoryStatus();
    if (noRoom() && !repo.isClearable) {
        line("the repository is full, we can't do anything");
        return;
    }
    // The count is read anew each time: the mounts stay as they are during a check, but nothing
    // here relies on it.
    for (size_t i = 0; i < repo.mounts.size(); ++i)
        checkMount(*repo.mounts[i]);
}

int OVRepositoryHandler::Balancer::empty(const char* mountName) {
    if (mountName == nullptr)
        throw OVAssertionException("mountName != NULL", __LINE__, kRepositorySource);
    std::string wanted = repo.repositoryPath + "/" + mountName;
    OVMountPointHandler* source = nullptr;
    for (const auto& mount : repo.mounts)
        if (source == nullptr && mount->getMountPath() == wanted)
            source = mount.get();
    if (source == nullptr) {
        std::string text = "Source mount \"" + wanted + "\" could not be found in repository.";
        rh_logger.debugLog("%s", text.c_str());
        return 1;
    }
    int target = repo.getActualMountPointForMove(source);
    if (target < 0) {
        rh_logger.debugLog("Could not find target mount for data moving.");
        return 2;
    }
    CandidateSet candidates;
    if (source->getRandomResources(candidates, kRandomBatch, "", 0) < 1) {
        // A resource the walk had to pass over (it stays dirty) is still on the mount.
        if (!repo.passedOver.empty()) {
            rh_logger.debugLog("Not all resources could be moved");
            return 3;
        }
        rh_logger.debugLog("no movable resource found");
        return 0;
    }
    bool progress = true;
    while (!candidates.empty() && target >= 0 && progress) {
        progress = false;
        for (const ResourceEntry& entry : candidates) {
            if (target < 0)
                break;
            OVMountPointHandler& to = *repo.mounts[target];
            Outcome outcome = withResource(entry, false, [&] {
                // Removed or moved by another process while the lock was awaited: it has left
                // the mount, which is what emptying wants. One that cannot be queried has not:
                // it stays, and the emptying does not report the mount empty.
                struct stat st;
                Presence here = lstatPresence(entry.path, &st);
                if (here != Presence::Present) {
                    if (here == Presence::Failed) {
                        logStatFailure(entry.path, errno);
                        giveUp(entry);
                    } else {
                        progress = true;
                    }
                    return;
                }
                std::string destination = to.getMountPath() + entry.relativePath;
                rh_logger.infoLog("EmptyMount moves %s to %s", entry.path.c_str(),
                                  destination.c_str());
                int result = moveEntry(entry, *source, to, false);
                if (!has(result, RES_CONFLICT) && has(result, RES_ERROR))
                    rh_logger.debugLog("Nospaceleft? EmptyMount couldn't move");
                if (result == RES_OK)
                    progress = true;
            });
            if (outcome == Outcome::Acted)
                target = repo.getActualMountPointForMove(source);
        }
        if (target < 0 || !progress)
            break;
        candidates.clear();
        if (source->getRandomResources(candidates, kRandomBatch, "", 0) < 0)
            break;
    }
    if (target < 0) {
        rh_logger.debugLog("Nospaceleft? EmptyMount couldn't move");
        return 2;
    }
    // A resource given up on (locked, failed, in conflict) is still on the mount.
    if (!progress || !repo.passedOver.empty()) {
        rh_logger.debugLog("Not all resources could be moved");
        return 3;
    }
    return 0;
}

void OVRepositoryHandler::checkOverload(bool verbose) {
    Balancer(*this, verbose).check();
}

int OVRepositoryHandler::moveResourcesFromMount(OVMountPointHandler* mount, bool verbose) {
    int moved = 0;
    return Balancer(*this, verbose).moveOff(*mount, moved);
}

int OVRepositoryHandler::moveAllResourcesFromMount(const char* mountName) {
    return Balancer(*this, false).empty(mountName);
}
