// The overload check and the emptying of a mount. Both work resource by resource: lock the
// resource (30 seconds), make sure it was not used since it was gathered, act, release (moves go
// in batches that share their flushes, BalanceMoves.cpp). Every loop ends: each candidate is
// offered once per operation, a hundred candidates in a row that could not be moved or deleted
// end the handling of their mount, and a resource given up on (lock not had, move or deletion
// failed) is not gathered again within the same operation, so a lock left by a dead process costs
// one wait, not one per walk. A stop request ends the loops after the resource at hand.
#include "Balancer.h"

#include "MoveDelete.h"
#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVSemaphore.h"
#include "OVStop.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "Staging.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
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

const ResourceEntry* CandidateStream::next() {
    if (exhausted())
        return nullptr;
    current = std::move(set.extract(set.begin()).value());
    offered.insert(current.path);
    return &current;
}

bool CandidateStream::exhausted() {
    if (set.empty() && more)
        refill();
    return set.empty();
}

void CandidateStream::refill() {
    int got = walk(set, cap, &offered);
    more = got >= cap;
    if (got < 0)
        set.clear();
    cap = std::min(cap * 16, kMostCandidates);
}

OVRepositoryHandler::Balancer::Balancer(OVRepositoryHandler& repository, bool verbose)
    : repo(repository), verbose(verbose),
      globalCandidates([this](CandidateSet& candidates, int cap, const PathSet* skip) {
          return repo.getGlobalOldestResources(candidates, cap, skip);
      }) {
    repo.passedOver.clear();
}

OVRepositoryHandler::Balancer::~Balancer() {
    repo.passedOver.clear();
    if (verbose)
        std::fflush(stdout);
}

CandidateStream& OVRepositoryHandler::Balancer::moveCandidates(OVMountPointHandler& mount) {
    auto found = mountCandidates.find(&mount);
    if (found == mountCandidates.end())
        found = mountCandidates
                    .emplace(&mount, CandidateStream([&mount](CandidateSet& candidates, int cap,
                                                              const PathSet* skip) {
                        return mount.getOldestResources(candidates, cap, "", 0, skip);
                    }))
                    .first;
    return found->second;
}

bool OVRepositoryHandler::Balancer::noRoom() const {
    return has(repo.status, REPO_NO_ROOM);
}

bool OVRepositoryHandler::Balancer::stopping() const {
    return ovstop::requested();
}

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

OVRepositoryHandler::Balancer::Outcome
OVRepositoryHandler::Balancer::take(const ResourceEntry& entry, bool touchTest, OVSemaphore& lock,
                                    bool wait) {
    if (!lock.tryLock(wait ? 30 : -1)) {
        if (!wait)
            return Outcome::NotLocked;
        std::string text = "The resource \"" + lock.getName() + "\" could not be locked.";
        rh_logger.errorLog("%s", text.c_str());
        line(text);
        giveUp(entry);
        return Outcome::NotLocked;
    }
    if (!touchTest)
        return Outcome::Acted;
    time_t used = lastUse(entry.path);
    if (used == -1) {
        // Moved or removed by another process since it was gathered: nothing to do here.
        rh_logger.debugLog("Resource gone:%s", entry.path.c_str());
        return Outcome::Gone;
    }
    if (used == entry.accessTime)
        return Outcome::Acted;
    ++tally.touched;
    return Outcome::Touched;
}

template <typename Act>
OVRepositoryHandler::Balancer::Outcome
OVRepositoryHandler::Balancer::withResource(const ResourceEntry& entry, bool touchTest, Act act) {
    OVSemaphore lock(resourceLockName(repo.repositoryPath, entry.resourceId), repo.lockDir, true);
    Outcome outcome = take(entry, touchTest, lock, true);
    if (outcome == Outcome::Acted)
        act();
    return outcome;
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
bool OVRepositoryHandler::Balancer::deleteOldest(OVMountPointHandler& mount) {
    // A lasting failure (a mount that refuses deletions) is not tried on every resource.
    int failedInARow = 0;
    while (noRoom() && !stopping()) {
        const ResourceEntry* next = globalCandidates.next();
        if (next == nullptr) {
            rh_logger.debugLog("No other resources found to be deleted...");
            line("No other resources found to be deleted...");
            return false;
        }
        ResourceEntry entry = *next;
        bool deleted = false;
        Outcome outcome = withResource(entry, true, [&] { deleted = deleteEntry(mount, entry); });
        tally.deleted += deleted ? 1 : 0;
        if (outcome == Outcome::Touched) {
            globalCandidates.again(entry.path);
            rh_logger.debugLog("Resource touched:%s", entry.path.c_str());
            print("Resource touched while checking: %s\n", entry.path.c_str());
        }
        if (outcome == Outcome::Acted)
            repo.checkRepositoryStatus();
        failedInARow = deleted ? 0 : failedInARow + 1;
        if (failedInARow >= kOldestBatch) {
            rh_logger.debugLog("Nothing of the last %d candidates could be deleted", failedInARow);
            return false;
        }
    }
    return !stopping();
}

// The cycles of a clearable repository: delete the oldest of the repository while nothing has
// room, then move off the mount; until the mount is below its move limit or nothing goes on.
// The candidates of both kinds are kept from cycle to cycle: each cycle goes on where the last
// one ended instead of walking the mounts again.
void OVRepositoryHandler::Balancer::clearMount(OVMountPointHandler& mount) {
    line("repository is clearable");
    bool stop = false;
    while (has(mount.getStatus(), MOUNT_MOVE) && !stop && !stopping()) {
        repo.checkRepositoryStatus();
        if (noRoom() && globalCandidates.exhausted()) {
            line("no global old resource found");
            rh_logger.debugLog("no global old resource found");
            return;
        }
        int count = static_cast<int>(globalCandidates.held());
        rh_logger.debugLog("Move limit: %d Clean limit: %d", mount.getMoveLimit(),
                           mount.getCleanLimit());
        rh_logger.debugLog("GlobalOldResources:%d", count);
        print("Move limit: %d Clean limit: %d\n", mount.getMoveLimit(), mount.getCleanLimit());
        print("GlobalOldResources: %d\n", count);
        stop = !deleteOldest(mount);
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
    float usedBefore = mount.getUsedPercentage();
    tally = Tally();
    if (repo.isClearable) {
        clearMount(mount);
    } else if (!noRoom()) {
        int moved = 0;
        moveOff(mount, moved);
    }
    summarize(mount, usedBefore);
}

namespace {

// An amount of bytes as operators read it: "768 KiB", "1.5 GiB".
std::string bytesText(long double bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        bytes /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, unit == 0 || bytes >= 100 ? "%.0Lf %s" : "%.1Lf %s", bytes,
                  units[unit]);
    return text;
}

} // namespace

void OVRepositoryHandler::Balancer::summarize(OVMountPointHandler& mount, float usedBefore) {
    const char* path = mount.getMountPath().c_str();
    int status = mount.checkStatus(false);
    char text[512];
    std::snprintf(text, sizeof text,
                  "mount %s: %d moved (%s), %d deleted, %d skipped as used meanwhile, %d given "
                  "up; used %.1f %% before, %.1f %% after (moveLimit=%i, cleanLimit=%i)",
                  path, tally.moved, bytesText(tally.movedBytes).c_str(), tally.deleted,
                  tally.touched, tally.givenUp, usedBefore, mount.getUsedPercentage(),
                  mount.getMoveLimit(), mount.getCleanLimit());
    line(text);
    rh_logger.infoLog("%s", text);
    if (!has(status, MOUNT_MOVE) || has(status, MOUNT_UNMOUNTED))
        return;
    // Why it stays overloaded: what an operator can do about it differs.
    std::string why;
    if (moveCandidates(mount).exhausted())
        why = "no resource unused for the no-move time (" + std::to_string(mount.getNomoveTime()) +
              " seconds) is left on it";
    else if (repo.getActualMountPointForMove(&mount) < 0 && !repo.isClearable)
        why = "no other mount has room for its resources";
    else
        why = "what is left could not be moved or deleted in this check (see above)";
    std::string stays = "mount " + mount.getMountPath() + " stays above its move limit: " + why;
    line(stays);
    rh_logger.errorLog("%s", stays.c_str());
}

// Dirty resources (copies on several mounts, a deletion left unfinished) are settled by their next
// lookup; one the application does not ask for would stay dirty, and be passed over by balancing,
// for ever. Every check settles them all, overloaded mounts or not.
void OVRepositoryHandler::Balancer::settleDirty() {
    constexpr int kLeftNamed = 10;
    std::vector<std::string> flagged;
    if (!repo.dirtyFlags.flagged(flagged) || flagged.empty())
        return;
    int settled = 0, conflicts = 0, left = 0;
    for (const std::string& id : flagged) {
        if (stopping())
            break;
        int status = -1;
        std::unique_ptr<char[]> location(repo.getLocation(id.c_str(), &status, true, false));
        if (!repo.dirtyFlags.isDirty(id.c_str())) {
            ++settled;
            continue;
        }
        std::string why = status == RES_CONFLICT
                              ? "its copies differ; keep one copy by hand (operator guide, "
                                "\"Dirty resources\")"
                              : "a mount that may hold a copy is unmounted, its lock was not had, "
                                "or a copy cannot be read (see syslog); the next check tries again";
        (status == RES_CONFLICT ? conflicts : left) += 1;
        // While a mount is off every flagged resource stays: ten of them tell the operator why.
        if (status != RES_CONFLICT && left > kLeftNamed)
            continue;
        std::string text = "dirty resource " + id + " stays dirty: " + why;
        line(text);
        rh_logger.errorLog("%s", text.c_str());
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "dirty resources: %d settled, %d in conflict, %d left for a later check", settled,
                  conflicts, left);
    line(text);
    rh_logger.infoLog("%s", text);
}

void OVRepositoryHandler::Balancer::check() {
    print("checking repository %s\n", repo.repositoryPath.c_str());
    repo.deletedDirs.clear();
    repo.lastCheckLocked = true;
    OVSemaphore lock(resourceLockName(repo.repositoryPath, ""), repo.lockDir, true);
    if (!lock.tryLock(30)) {
        repo.lastCheckLocked = false;
        std::string text = "The repository \"" + repo.repositoryPath + "\" could not be locked.";
        line(text);
        rh_logger.errorLog("%s", text.c_str());
        // Another check holds it, or one that was killed left it: the operator needs the file.
        std::string hint = "Its lock file " + lock.path() +
                           " is held by another check, or was left by one that was killed: once "
                           "no mountbalance and no application process of the repository runs, "
                           "remove it (operator guide, \"Stale lock files\").";
        line(hint);
        rh_logger.errorLog("%s", hint.c_str());
        return;
    }
    // Work directories left by killed moves and removals count towards the fill levels and
    // would otherwise stay until the next move or removal on their mount.
    for (const auto& mount : repo.mounts)
        if (!has(mount->checkStatus(true), MOUNT_UNMOUNTED))
            removeStagingLeftovers(mount->getMountPath());
    settleDirty();
    repo.checkRepositoryStatus();
    if (noRoom() && !repo.isClearable) {
        line("the repository is full, we can't do anything");
        return;
    }
    // The count is read anew each time: the mounts stay as they are during a check, but nothing
    // here relies on it.
    for (size_t i = 0; i < repo.mounts.size() && !stopping(); ++i)
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
    int found = source->getRandomResources(candidates, kRandomBatch, "", 0);
    if (found < 1) {
        // A mount switched off is not walked (-1): whatever it holds is still on it. A resource
        // the walk had to pass over (it stays dirty) is still on the mount, and so may be any
        // when a stop request ended the walk.
        if (found < 0)
            rh_logger.errorLog("The mount \"%s\" is switched off: its resources cannot be moved.",
                               wanted.c_str());
        if (found < 0 || !repo.passedOver.empty() || stopping()) {
            rh_logger.debugLog("Not all resources could be moved");
            return 3;
        }
        rh_logger.debugLog("no movable resource found");
        return 0;
    }
    bool progress = true;
    while (!candidates.empty() && target >= 0 && progress && !stopping()) {
        progress = emptyBatches(*source, target, candidates);
        if (target < 0 || !progress)
            break;
        candidates.clear();
        if (source->getRandomResources(candidates, kRandomBatch, "", 0) < 0) {
            progress = false; // switched off meanwhile: what is left stays on it
            break;
        }
    }
    if (target < 0) {
        rh_logger.debugLog("Nospaceleft? EmptyMount couldn't move");
        return 2;
    }
    // A resource given up on (locked, failed, in conflict) is still on the mount, and so may be
    // others when a stop was requested.
    if (!progress || !repo.passedOver.empty() || stopping()) {
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
