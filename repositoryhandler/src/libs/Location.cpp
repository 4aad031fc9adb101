#include "MoveDelete.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceLock.h"
#include "ResourceSizes.h"
#include "Staging.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

using Owned = std::unique_ptr<char[]>;

void logNoMount(const std::string& repositoryPath, int status) {
    std::string text = "The repository \"" + repositoryPath + "\" is ";
    if (status & REPO_MISSING)
        text += "missing";
    else
        text += (status & REPO_INCOMPLETE) ? "full and incomplete" : "full";
    rh_logger.errorLog("%s", text.c_str());
}

} // namespace

// Built from the bare name: a trailing "/" would make every later call follow a link there.
std::string OVRepositoryHandler::legacyPath(const char* resource) const {
    return legacyDir + "/" + bareResourceName(resource);
}

Presence OVRepositoryHandler::legacyEntry(const char* resource, struct stat* st) const {
    std::string legacy = legacyPath(resource);
    Presence there = lstatPresence(legacy, st);
    if (there == Presence::Failed)
        logStatFailure(legacy, errno);
    return there;
}

char* OVRepositoryHandler::takeOverLegacy(const char* resource, bool touch, int* failure) {
    std::string legacy = legacyPath(resource);
    int target = getActualMountPointForLegacy();
    // A take-over cut short left a copy on a mount, which a check may have moved since: the
    // legacy copy goes onto that copy (they settle into one) rather than to a third place.
    for (size_t i = 0; target != -1 && i < mounts.size(); ++i) {
        int found = RES_NOT_FOUND;
        Owned there(mounts[i]->getLocation(resource, &found, nullptr, false));
        if (there) {
            target = static_cast<int>(i);
            break;
        }
    }
    // Taking it over creates the resource on the mounts: an absent mount may hold an older copy,
    // which must not pass for the clean one later. Without the flag it stays where it lies.
    bool flagged =
        target == -1 || !has(status, REPO_INCOMPLETE) || dirtyFlags.setDirty(resource, true);
    Owned location;
    if (target != -1 && flagged)
        location.reset(mounts[static_cast<size_t>(target)]->createLocation(resource, nullptr));
    if (!location) {
        // No mount can take it now: it is used where it lies.
        if (touch)
            setTimesOf(legacy.c_str(), nullptr);
        return toArray(legacy);
    }
    // A take-over cut short is completed by the next lookup. One that fails leaves the legacy
    // copy whole under its name (a move takes its origin away only in one step, once done), so
    // it is used where it lies rather than reported missing.
    int moved =
        moveResWith(legacy.c_str(), location.get(), legacyDir.c_str(),
                    mounts[static_cast<size_t>(target)]->getMountPath().c_str(), moveOptions);
    if (moved == RES_OK)
        return nullptr;
    // A move that failed once its copy stood (taking the legacy copy away failed) leaves two
    // copies: flagged, so that no check or listing takes the one on the mount for the only one.
    struct stat st;
    if (lstatPresence(location.get(), &st) != Presence::Absent)
        dirtyFlags.setDirty(resource, true);
    Presence left = lstatPresence(legacy, &st);
    if (left == Presence::Present && !S_ISLNK(st.st_mode)) {
        if (touch)
            setTimesOf(legacy.c_str(), nullptr);
        return toArray(legacy);
    }
    if (left == Presence::Failed) {
        logStatFailure(legacy, errno);
        *failure = RES_ERROR;
    }
    return nullptr;
}

// Looks for the resource on every mount in order. A clean resource is taken from the first
// mount holding it; the copies of a dirty one are merged, each earlier copy into the later one.
// A mount on which the location cannot be tested (an I/O error) may hold the copy that counts:
// the lookup then answers RES_ERROR, never "not found" and never a later mount's copy, and keeps
// the flag. While the dirty flags cannot be read, every mount is searched as for a dirty
// resource, and the flag, unknown, is left as it is.
char* OVRepositoryHandler::lookUpMounts(const char* resource, int* status, bool touch) {
    bool dirty = dirtyFlags.isDirty(resource);
    bool flagKnown = dirtyFlags.lastAnswerCertain();
    bool sawUnmounted = false;
    Owned found;
    const OVMountPointHandler* foundOn = nullptr;
    std::string hashed;
    const std::string* hashedPath = hashedResourcePath(resource, hashed) ? &hashed : nullptr;
    for (const auto& mount : mounts) {
        int mountStatus = 0;
        int located = RES_NOT_FOUND;
        Owned location(mount->getHashedLocation(hashedPath, &located, &mountStatus, touch));
        if (!location) {
            if (located == RES_ERROR && !(mountStatus & MOUNT_UNMOUNTED)) {
                setStatus(status, RES_ERROR);
                return nullptr;
            }
            sawUnmounted = sawUnmounted || (mountStatus & MOUNT_UNMOUNTED);
            continue;
        }
        if (!found) {
            found = std::move(location);
            foundOn = mount.get();
            if (!dirty) {
                setStatus(status, RES_OK);
                return found.release();
            }
            continue;
        }
        int merged = mergeInto(found, foundOn, location, *mount, mountStatus);
        if (merged != RES_OK) {
            setStatus(status, merged);
            return nullptr;
        }
    }
    if (dirty && !sawUnmounted) {
        // Every copy was seen and merged; a flag that could not be read is not cleared.
        if (flagKnown)
            dirtyFlags.setDirty(resource, false);
        dirty = false;
    }
    setStatus(status, found ? (dirty ? RES_DIRTY : RES_OK) : RES_NOT_FOUND);
    return found.release();
}

// Merges the copy found earlier into the later copy at location on mount, which then is the copy
// found. RES_OK, RES_CONFLICT (copies that differ; on a full mount, also an earlier copy with
// anything the later one lacks) or the code of the failed merge. A full mount takes no copy, but
// copies that are identical already (a move cut short after its copy took its name, the last
// move onto a mount often being the one that filled it) are settled there: that needs no room.
int OVRepositoryHandler::mergeInto(Owned& found, const OVMountPointHandler*& foundOn,
                                   Owned& location, const OVMountPointHandler& mount,
                                   int mountStatus) {
    // Plain files are settled by the move too: the same bytes on both mounts (a move cut short
    // after its copy took its name) leave the later copy; different ones conflict.
    MoveOptions options = moveOptions;
    options.settleOnly = (mountStatus & MOUNT_FULL) != 0;
    struct stat st;
    if (lstatPresence(found.get(), &st) != Presence::Present) {
        logStatFailure(found.get(), errno);
        return RES_ERROR;
    }
    rh_logger.debugLog("--- Dirty conflict handling ---");
    int moved = moveResWith(found.get(), location.get(), foundOn->getMountPath().c_str(),
                            mount.getMountPath().c_str(), options);
    if (moved != RES_OK)
        return moved;
    clearEmptyHash(found.get());
    found = std::move(location);
    foundOn = &mount;
    return RES_OK;
}

char* OVRepositoryHandler::getLocation(const char* resource, int* status, bool useLock,
                                       bool touch) {
    if (!isAcceptableResourceName(resource)) {
        setStatus(status, RES_NOT_FOUND);
        return nullptr;
    }
    std::unique_ptr<ResourceLock> lock;
    if (useLock) {
        lock = std::make_unique<ResourceLock>(repositoryPath, resource, lockDir);
        if (!lock->acquired())
            return nullptr;
    }
    if (!legacyDir.empty()) {
        struct stat st;
        Presence inLegacy = legacyEntry(resource, &st);
        if (inLegacy == Presence::Failed) {
            setStatus(status, RES_ERROR);
            return nullptr;
        }
        if (inLegacy == Presence::Present && !S_ISLNK(st.st_mode)) {
            int failure = RES_OK;
            if (char* stays = takeOverLegacy(resource, touch, &failure)) {
                setStatus(status, RES_OK);
                return stays;
            }
            if (failure != RES_OK) {
                setStatus(status, failure);
                return nullptr;
            }
        }
    }
    return lookUpMounts(resource, status, touch);
}

template <typename Create>
char* OVRepositoryHandler::create(const char* resource, int* status, bool skipDirty,
                                  Create onMount) {
    if (!isAcceptableResourceName(resource, true)) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
    ResourceLock lock(repositoryPath, resource, lockDir);
    if (!lock.acquired())
        return nullptr;
    assertSingleComponent(bareResourceName(resource));
    int found = RES_NOT_FOUND;
    if (char* existing = getLocation(resource, &found, false, false)) {
        setStatus(status, found);
        return existing;
    }
    if (found != RES_NOT_FOUND) {
        // Copies in conflict, or a merge that failed: a new copy beside them would be handed out
        // as if the resource were whole.
        setStatus(status, found);
        return nullptr;
    }
    // An unmounted mount may hold an older copy: without its flag the new copy must not be made,
    // or a later lookup would take the older one for clean. The lookup above has just read every
    // mount's status; the repository's may be older than that (a mount switched off while the
    // lock was awaited).
    bool sawUnmounted = std::any_of(mounts.begin(), mounts.end(), [](const auto& mount) {
        return has(mount->getStatus(), MOUNT_UNMOUNTED);
    });
    if ((sawUnmounted || (this->status & REPO_INCOMPLETE)) && !skipDirty &&
        !dirtyFlags.setDirty(resource, true)) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
    // A mount that refuses writes (read-only, though statvfs did not tell) is passed over and
    // the next one chosen.
    for (size_t attempt = 0; attempt < mounts.size(); ++attempt) {
        int target = getActualMountPoint();
        if (target == -1)
            break;
        OVMountPointHandler& mount = *mounts[static_cast<size_t>(target)];
        char* made = onMount(mount);
        if (made != nullptr || errno != EROFS)
            return made;
        mount.noteWritesRefused();
    }
    logNoMount(repositoryPath, this->status);
    setStatus(status, RES_ERROR);
    return nullptr;
}

char* OVRepositoryHandler::createLocation(const char* resource, int* status, bool skipDirty) {
    return create(resource, status, skipDirty, [&](OVMountPointHandler& mount) {
        return mount.createLocation(resource, status);
    });
}

char* OVRepositoryHandler::createDirectory(const char* resource, int* status, bool skipDirty) {
    return create(resource, status, skipDirty, [&](OVMountPointHandler& mount) {
        return mount.createDirectory(resource, status);
    });
}

int OVRepositoryHandler::removeResource(const char* resource) {
    if (!isAcceptableResourceName(resource))
        return RES_NOT_FOUND;
    ResourceLock lock(repositoryPath, resource, lockDir);
    if (!lock.acquired())
        return RES_LOCK_FAILED;
    if (dirtyFlags.isDirty(resource)) {
        // Merges the copies. With flags that cannot be read, a lookup that saw every mount and
        // settled the copies is as good as a cleared flag.
        int settledStatus = RES_DIRTY;
        Owned settled(getLocation(resource, &settledStatus, false, false));
        bool settledUnread = !dirtyFlags.lastAnswerCertain() &&
                             (settledStatus == RES_OK || settledStatus == RES_NOT_FOUND);
        if (settledStatus == RES_ERROR)
            return RES_ERROR;
        if (!settledUnread && dirtyFlags.isDirty(resource))
            return RES_DIRTY;
    }
    // Every place is tested before anything goes: a place that cannot be tested may hold a copy,
    // and the removal then stops with every copy kept.
    std::vector<OVMountPointHandler*> holders;
    for (const auto& mount : mounts) {
        int found = RES_NOT_FOUND;
        Owned location(mount->getLocation(resource, &found, nullptr, false));
        if (found == RES_ERROR)
            return RES_ERROR;
        if (location)
            holders.push_back(mount.get());
    }
    bool inLegacy = false;
    if (!legacyDir.empty()) {
        struct stat st;
        Presence there = legacyEntry(resource, &st);
        if (there == Presence::Failed)
            return RES_ERROR;
        inLegacy = there == Presence::Present;
    }
    // A copy that is no longer found (its mount was switched off meanwhile) was not removed.
    int result = RES_OK;
    bool removed = false;
    for (OVMountPointHandler* mount : holders) {
        int r = mount->removeResource(resource);
        if (r != RES_NOT_FOUND) {
            result |= r;
            removed = true;
        }
    }
    if (inLegacy) {
        result |= deleteResStaged(legacyPath(resource).c_str(), legacyDir.c_str());
        removed = true;
    }
    return removed ? result : RES_NOT_FOUND;
}

int OVRepositoryHandler::checkResourceStatus(const char* resource) {
    int status = RES_LOCK_FAILED; // stays when the lock is not obtained
    Owned location(getLocation(resource, &status, true, false));
    return status;
}

char* OVRepositoryHandler::createToLegacy(const char* resource) {
    if (legacyDir.empty() || !isAcceptableResourceName(resource))
        return nullptr;
    std::string legacy = legacyPath(resource);
    struct stat st;
    if (ovsys::table().lstat(legacy.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link placed there by hand: the new resource would be made wherever it leads.
        std::string text = "The legacy resource \"" + legacy + "\" is a symbolic link.";
        rh_logger.errorLog("%s", text.c_str());
        return nullptr;
    }
    return mkdirs(legacy.c_str(), 0755) == 0 ? toArray(legacy) : nullptr;
}

std::vector<std::string> OVRepositoryHandler::collectNames(int kind, bool* complete) {
    std::vector<std::string> names;
    bool listed = true;
    for (const auto& mount : mounts)
        listed = mount->listResources(&names, kind) && listed;
    if (!legacyDir.empty())
        listed = listResourcesRecursively(legacyDir.c_str(), &names, kind, false, 0) >= 0 && listed;
    if (complete != nullptr)
        *complete = listed;
    return names;
}

// A listing that could not be completed is no listing: a caller would take the resources it
// could not see for gone.
char** OVRepositoryHandler::listResources(int kind, long* count, bool sorted) {
    bool complete = true;
    std::vector<std::string> names = collectNames(kind, &complete);
    if (!complete) {
        if (count != nullptr)
            *count = 0;
        return nullptr;
    }
    if (sorted)
        std::sort(names.begin(), names.end());
    char** list = new char*[names.size()];
    for (size_t i = 0; i < names.size(); ++i)
        list[i] = toArray(names[i]);
    if (count != nullptr)
        *count = static_cast<long>(names.size());
    return list;
}

void OVRepositoryHandler::makeEmpty() {
    dirtyFlags.clearDirtySet();
    giveBackMounts();
    for (const std::string& name : collectNames(ALL_RESOURCES, nullptr))
        removeResource(name.c_str());
    for (const auto& mount : mounts)
        removeStagingLeftovers(mount->getMountPath());
    if (!legacyDir.empty())
        removeStagingLeftovers(legacyDir);
}

// Time properties take the resource lock like every lookup: finding the resource may take it
// over from the legacy directory or merge its copies.
int OVRepositoryHandler::setTimeProperties(const char* resource, struct utimbuf* times) {
    if (!isAcceptableResourceName(resource))
        return 0;
    ResourceLock lock(repositoryPath, resource, lockDir);
    Owned location(lock.acquired() ? getLocation(resource, nullptr, false, false) : nullptr);
    return location && setTimesOf(location.get(), times) == 0 ? 1 : 0;
}

int OVRepositoryHandler::getTimeProperties(const char* resource, struct utimbuf* times) {
    if (!isAcceptableResourceName(resource))
        return 0;
    ResourceLock lock(repositoryPath, resource, lockDir);
    Owned location(lock.acquired() ? getLocation(resource, nullptr, false, false) : nullptr);
    struct stat st;
    if (!location || times == nullptr || ovsys::table().lstat(location.get(), &st) != 0)
        return 0;
    times->actime = st.st_atime;
    times->modtime = st.st_mtime;
    return 1;
}
