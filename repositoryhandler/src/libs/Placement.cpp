#include "OVLogger.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"

#include <cstdlib>

namespace {

// Switches a mount on or off by renaming its configuration file; a failing rename is ignored,
// the next status check shows the state reached.
void switchMount(const OVMountPointHandler& mount, int index, bool on) {
    std::string cfg = mount.configFile();
    std::string no = mount.switchedOffFile();
    if (on) {
        rh_logger.debugLog("Mounting mount %d", index);
        ovsys::table().rename(no.c_str(), cfg.c_str());
    } else {
        rh_logger.debugLog("Unmounting mount %d", index);
        ovsys::table().rename(cfg.c_str(), no.c_str());
    }
}

} // namespace

int OVRepositoryHandler::checkRepositoryStatus() {
    bool anyMounted = false;
    bool incomplete = false;
    bool roomy = false;
    int common = ~0;
    for (const auto& mount : mounts) {
        int s = mount->checkStatus(false);
        if (has(s, MOUNT_UNMOUNTED)) {
            incomplete = true;
            continue;
        }
        anyMounted = true;
        common &= s;
        if (!has(s, MOUNT_FULL | MOUNT_CLEAN))
            roomy = true;
    }
    if (!anyMounted) {
        status = REPO_MISSING;
        return status;
    }
    status = incomplete ? REPO_INCOMPLETE : 0;
    if (!roomy)
        status |= REPO_NO_ROOM;
    if (has(common, MOUNT_FULL))
        status |= REPO_FULL;
    status |= common & (MOUNT_SWITCH | MOUNT_WARN3 | MOUNT_WARN2 | MOUNT_WARN | MOUNT_REMIND);
    return status;
}

template <typename Filter> int OVRepositoryHandler::firstMount(Filter usable) const {
    for (size_t i = 0; i < mounts.size(); ++i)
        if (usable(*mounts[i]))
            return static_cast<int>(i);
    return -1;
}

// The usable mount with the lowest used percentage, measured now; on a tie the earlier one. A
// mount whose fill level cannot be read now is no candidate: its -1 is no fill level.
template <typename Filter> int OVRepositoryHandler::leastUsedMount(Filter usable) const {
    int chosen = -1;
    float lowest = 0;
    for (size_t i = 0; i < mounts.size(); ++i) {
        if (!usable(*mounts[i]))
            continue;
        float used = mounts[i]->getUsedPercentage();
        if (used == -1.0f)
            continue;
        if (chosen == -1 || used < lowest) {
            chosen = static_cast<int>(i);
            lowest = used;
        }
    }
    return chosen;
}

// Mounts are filled one after the other up to their switch limit; once every mounted mount has
// passed it, the least used one is chosen. excluded: status bits that rule a mount out while some
// mount is below its switch limit; excludedInSwitchMode: once all have passed it.
int OVRepositoryHandler::chooseMount(int excluded, int excludedInSwitchMode,
                                     const OVMountPointHandler* source) {
    checkRepositoryStatus();
    if (has(status, REPO_FULL))
        return -1;
    int bits = has(status, REPO_SWITCH) ? excludedInSwitchMode : excluded;
    auto usable = [bits, source](const OVMountPointHandler& mount) {
        return &mount != source && !has(mount.getStatus(), bits);
    };
    return has(status, REPO_SWITCH) ? leastUsedMount(usable) : firstMount(usable);
}

int OVRepositoryHandler::getActualMountPoint() {
    return chooseMount(MOUNT_UNMOUNTED | MOUNT_FULL | MOUNT_SWITCH, MOUNT_UNMOUNTED | MOUNT_FULL,
                       nullptr);
}

int OVRepositoryHandler::getActualMountPointForMove(OVMountPointHandler* source) {
    return chooseMount(MOUNT_UNMOUNTED | MOUNT_CLEAN | MOUNT_FULL | MOUNT_SWITCH,
                       MOUNT_UNMOUNTED | MOUNT_CLEAN | MOUNT_FULL, source);
}

// Prefers a mount on the file system of the legacy directory, where taking a resource over is a
// rename instead of a copy.
int OVRepositoryHandler::getActualMountPointForLegacy() {
    checkRepositoryStatus();
    if (has(status, REPO_FULL))
        return -1;
    int sameFileSystem = firstMount([this](const OVMountPointHandler& mount) {
        return !has(mount.getStatus(), MOUNT_UNMOUNTED | MOUNT_FULL) &&
               IsOnTheSameMount(mount.getMountPath().c_str(), legacyDir.c_str());
    });
    if (sameFileSystem != -1)
        return sameFileSystem;
    if (!has(status, REPO_SWITCH))
        return firstMount([](const OVMountPointHandler& mount) {
            return !has(mount.getStatus(), MOUNT_UNMOUNTED | MOUNT_SWITCH);
        });
    return leastUsedMount([](const OVMountPointHandler& mount) {
        return !has(mount.getStatus(), MOUNT_UNMOUNTED | MOUNT_FULL);
    });
}

int OVRepositoryHandler::MountUnmount(int index, bool mount) {
    if (static_cast<unsigned>(index) >= mounts.size())
        return -1;
    const OVMountPointHandler& target = *mounts[static_cast<size_t>(index)];
    bool mounted = exists(target.configFile().c_str());
    if (mounted != mount)
        switchMount(target, index, mount);
    checkRepositoryStatus();
    return 0;
}

void OVRepositoryHandler::rndMount() {
    if (mounts.empty())
        return; // no mount to pick
    size_t index = static_cast<size_t>(rand()) % mounts.size();
    const OVMountPointHandler& target = *mounts[index];
    switchMount(target, static_cast<int>(index), !exists(target.configFile().c_str()));
    checkRepositoryStatus();
}

int OVRepositoryHandler::giveBackMounts() {
    rh_logger.debugLog("Mounts are back");
    for (const auto& mount : mounts)
        if (!exists(mount->configFile().c_str()))
            ovsys::table().rename(mount->switchedOffFile().c_str(), mount->configFile().c_str());
    return checkRepositoryStatus();
}
