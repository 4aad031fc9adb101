#include "OVMountPointHandler.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVProperties.h"
#include "OVRepositoryHandler.h"
#include "RepositoryStatus.h"

#include <cerrno>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Whether used has reached limit; limits of 0 and below are switched off unless always is set.
bool reached(float used, int limit, bool always = false) {
    return (always || limit > 0) && static_cast<double>(used) >= static_cast<double>(limit);
}

// A mount that refused a write with EROFS counts as read-only for this long, also where statvfs
// does not say so; then it is tried again.
constexpr time_t kWritesRefusedSeconds = 60;

} // namespace

OVMountPointHandler::OVMountPointHandler(std::string mountPath, OVRepositoryHandler* repository)
    : repository(nullptr), status(0), switchLimit(0), fullLimit(0), cleanLimit(0), moveLimit(0),
      nomoveTime(0), readOnly(false), writesRefusedAt(0) {
    setup(std::move(mountPath), repository);
}

OVMountPointHandler::OVMountPointHandler(const OVMountPointHandler& other)
    : repository(nullptr), status(0), switchLimit(0), fullLimit(0), cleanLimit(0), moveLimit(0),
      nomoveTime(0), readOnly(false), writesRefusedAt(0) {
    rh_logger.debugLog("mount point copy constructor");
    setup(other.mountPath, other.repository);
}

OVMountPointHandler::~OVMountPointHandler() = default;

void OVMountPointHandler::setup(std::string mountPath, OVRepositoryHandler* repository) {
    if (!exists(mountPath.c_str())) {
        // The assertion keeps its expression and line for callers that know them; its message
        // names the directory and the fix, for the operator.
        rh_logger.errorLog("The mount directory \"%s\" does not exist. Error code is %d",
                           mountPath.c_str(), errno);
        std::string config = repository != nullptr ? repository->getID() : "";
        throw OVAssertionException(
            "access( mountPath.c_str(), F_OK & X_OK ) == 0", 1250, kRepositorySource,
            "the mount directory \"%s\" does not exist: create it and mount its file system "
            "there, or correct mountPoints in %s/repository.cfg",
            mountPath.c_str(), config.c_str());
    }
    status = 0;
    this->mountPath = std::move(mountPath);
    partConfigPath = this->mountPath + "/repositorypart.cfg";
    this->repository = repository;
    switchLimit = repository->getSwitchLimit();
    fullLimit = repository->getFullLimit();
    cleanLimit = repository->getCleanLimit();
    moveLimit = repository->getMoveLimit();
    nomoveTime = repository->getNomoveTime();
    // The configuration file is read (or its absence recorded) whatever the fill level says, so
    // that a mount whose fill level cannot be read does not count as changed at every call.
    parseConfigFile();
    checkStatus(false);
}

int OVMountPointHandler::parseConfigFile() {
    std::string text;
    if (!partConfig.read(configFile(), text))
        return 0;
    OVProperties properties;
    properties.loadText(text);
    readNatInt(properties, "switchLimit", switchLimit);
    readNatInt(properties, "fullLimit", fullLimit);
    readNatInt(properties, "cleanLimit", cleanLimit);
    readNatInt(properties, "moveLimit", moveLimit);
    return 0;
}

bool OVMountPointHandler::isUpToDate() const {
    return partConfig.unchanged(configFile());
}

float OVMountPointHandler::getUsedPercentage() const {
    bool readOnly = false;
    return measureFillLevel(readOnly);
}

float OVMountPointHandler::measureFillLevel(bool& readOnly) const {
    struct statvfs fs;
    if (myStatVfs(mountPath.c_str(), &fs) != 0)
        return -1.0f;
    readOnly = (fs.f_flag & ST_RDONLY) != 0;
    // Full block counts: a file system above 16 TiB still gives its true share. Blocks reserved
    // for the super-user count as used. Zero blocks give a percentage that is not finite.
    long double blocks = static_cast<long double>(fs.f_blocks);
    long double avail = static_cast<long double>(fs.f_bavail);
    return static_cast<float>(100.0L + avail / (blocks / -100.0L));
}

void OVMountPointHandler::noteWritesRefused() {
    writesRefusedAt = time(nullptr);
    if (!readOnly)
        noteReadOnly(true);
}

void OVMountPointHandler::noteReadOnly(bool now) {
    if (now == readOnly)
        return;
    readOnly = now;
    std::string text =
        "The mount \"" + mountPath +
        (now ? "\" is read-only: no new resource goes there." : "\" is writable again.");
    if (now)
        rh_logger.errorLog("%s", text.c_str());
    else
        rh_logger.infoLog("%s", text.c_str());
}

int OVMountPointHandler::statusFromFillLevel(float used) const {
    int bits = 0;
    if (reached(used, repository->getRemindLimit()))
        bits |= MOUNT_REMIND;
    if (reached(used, repository->getWarnLimit()))
        bits |= MOUNT_WARN;
    if (reached(used, repository->getWarn2Limit()))
        bits |= MOUNT_WARN2;
    if (reached(used, repository->getWarn3Limit()))
        bits |= MOUNT_WARN3;
    if (reached(used, switchLimit, true))
        bits |= MOUNT_SWITCH;
    if (reached(used, fullLimit))
        bits |= MOUNT_FULL;
    if (reached(used, cleanLimit))
        bits |= MOUNT_CLEAN;
    if (reached(used, moveLimit))
        bits |= MOUNT_MOVE;
    return bits;
}

int OVMountPointHandler::statusAfterFreeing(long double bytes) const {
    struct statvfs fs;
    if (myStatVfs(mountPath.c_str(), &fs) != 0 || fs.f_blocks == 0)
        return status;
    long double block = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    long double avail = static_cast<long double>(fs.f_bavail) + bytes / block;
    return statusFromFillLevel(
        static_cast<float>(100.0L - avail * 100.0L / static_cast<long double>(fs.f_blocks)));
}

int OVMountPointHandler::checkStatus(bool useCached) {
    const std::string& file = configFile();
    if (!exists(file.c_str())) {
        status = MOUNT_UNMOUNTED;
        return status;
    }
    if (status & MOUNT_UNMOUNTED) {
        rh_logger.debugLog("Mount is back in town:%s", file.c_str());
        useCached = false;
        parseConfigFile();
    }
    if (useCached)
        return status;
    bool readOnlyNow = false;
    float used = measureFillLevel(readOnlyNow);
    if (used == -1.0f) {
        status = MOUNT_UNMOUNTED;
        return status;
    }
    // The clock is read only after a refused write.
    noteReadOnly(readOnlyNow ||
                 (writesRefusedAt != 0 && time(nullptr) - writesRefusedAt < kWritesRefusedSeconds));
    status = statusFromFillLevel(used);
    // Passed over for new and moved resources like a full mount.
    if (readOnly)
        status |= MOUNT_FULL | MOUNT_SWITCH;
    return status;
}

void OVMountPointHandler::writeToLog(const char*) {}
