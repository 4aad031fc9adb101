#include "MoveDelete.h"
#include "OVException.h"
#include "OVHash.h"
#include "OVLogger.h"
#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceLock.h"
#include "Staging.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr int kCreateAttempts = 5;

using Owned = std::unique_ptr<char[]>;

// mkdirs, repeated: a hash level that another process creates at the same moment makes one
// attempt fail and the next one find it.
// Each level made takes owner, group and mode from the level above, so that a balancer run as
// root (with any umask) never makes a level the application cannot use.
bool makeDirectories(const std::string& dir) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (mkdirsInherited(dir.c_str()) == 0)
            return true;
        if (errno == EROFS || errno == ENOSPC || errno == EDQUOT)
            break; // lasting: another attempt would fail alike
    }
    int error = errno;
    std::string text = "Error occured while creating directory \"" + dir + "\". Error code is " +
                       std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
    errno = error;
    return false;
}

} // namespace

bool hashedResourcePath(const char* resource, std::string& hashed) {
    std::string name(resource != nullptr ? resource : "");
    if (name.empty() || name.back() != '/')
        name += '/';
    Owned converted(isAcceptableResourceName(resource) ? convertToHashed(name.c_str()) : nullptr);
    if (!converted)
        return false;
    hashed = converted.get();
    return true;
}

char* OVMountPointHandler::getLocation(const char* resource, int* status, int* mountStatus,
                                       bool touch) {
    int s = checkStatus(false);
    if (mountStatus != nullptr)
        *mountStatus = s;
    if (s == MOUNT_UNMOUNTED)
        return nullptr;
    std::string hashed;
    bool acceptable = hashedResourcePath(resource, hashed);
    return locate(acceptable ? &hashed : nullptr, status, touch);
}

char* OVMountPointHandler::getHashedLocation(const std::string* hashed, int* status,
                                             int* mountStatus, bool touch) {
    int s = checkStatus(false);
    if (mountStatus != nullptr)
        *mountStatus = s;
    if (s == MOUNT_UNMOUNTED)
        return nullptr;
    return locate(hashed, status, touch);
}

char* OVMountPointHandler::locate(const std::string* hashed, int* status, bool touch) {
    std::string location = hashed ? mountPath + "/" + *hashed : "";
    if (!location.empty())
        location.pop_back();
    int handle = -1;
    Presence found = location.empty() ? Presence::Absent : foundWithoutLinks(location, handle);
    if (found != Presence::Present) {
        // A location that cannot be tested may hide the resource: never "not found".
        setStatus(status, found == Presence::Failed ? RES_ERROR : RES_NOT_FOUND);
        return nullptr;
    }
    if (touch)
        touchFound(location, handle);
    if (handle >= 0)
        ovsys::table().close(handle);
    setStatus(status, RES_OK);
    return toArray(location);
}

// Whether the location exists and is reached without a link below the mount. Mostly one system
// call settles both: a location reached through no link at all, of which handle then is a handle
// (-1 otherwise). A link anywhere on the path (also above the mount, or the resource itself)
// leaves it to the test of each level below the mount. Only a missing name is an absence; any
// other failure (EIO, EACCES, ...) is logged with the location and its error code.
Presence OVMountPointHandler::foundWithoutLinks(const std::string& location, int& handle) const {
    handle = ovsys::table().openNoLinks(location.c_str());
    if (handle >= 0)
        return Presence::Present;
    // Nothing can stand under a name too long for the file system either.
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
        return Presence::Absent;
    if (errno != ELOOP && errno != ENOSYS && errno != EINVAL && errno != EXDEV) {
        logStatFailure(location, errno);
        return Presence::Failed;
    }
    struct stat st;
    if (ovsys::table().stat(location.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
            return Presence::Absent;
        logStatFailure(location, errno);
        return Presence::Failed;
    }
    if (!reachedWithoutLinks(mountPath, location)) {
        // A hash directory replaced by a link: what lies behind it is not this mount's. A level
        // that cannot be queried may be one or not: an error.
        return errno == ELOOP ? Presence::Absent : Presence::Failed;
    }
    return Presence::Present;
}

// Sets the times of the location found to now: through the handle on it when there is one (the
// very file that was tested, without walking its path again), else, or where the kernel cannot
// set times through such a handle, by its path.
void OVMountPointHandler::touchFound(const std::string& location, int handle) {
    if (handle >= 0 && utimensat(handle, "", nullptr, AT_EMPTY_PATH) == 0)
        return;
    setTimesOf(location.c_str(), nullptr);
}

char* OVMountPointHandler::createLocation(const char* resource, int* status) {
    if (checkStatus(true) == MOUNT_UNMOUNTED) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
    // An empty name would address the mount directory itself, ".." a directory above it.
    if (!isAcceptableResourceName(resource, true)) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
    std::string name = bareResourceName(resource);
    assertSingleComponent(name);
    Owned hashed(convertToHashed((name + "/").c_str()));
    Owned hashDirs(hashed ? parentDir(hashed.get()) : nullptr);
    std::string dir = mountPath + "/" + (hashDirs ? hashDirs.get() : "");
    dir.pop_back();
    if (!makeDirectories(dir)) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
    setStatus(status, RES_OK);
    return toArray(dir + "/" + name);
}

char* OVMountPointHandler::createDirectory(const char* resource, int* status) {
    Owned location(createLocation(resource, status));
    if (!location)
        return nullptr;
    if (!makeDirectories(location.get())) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
    return location.release();
}

int OVMountPointHandler::removeResource(const char* resource) {
    int found = RES_NOT_FOUND;
    Owned location(getLocation(resource, &found, nullptr, false));
    if (!location)
        return found == RES_ERROR ? RES_ERROR : RES_NOT_FOUND;
    int result = deleteResStaged(location.get(), mountPath.c_str());
    if (result == RES_OK)
        clearEmptyHash(location.get());
    return result;
}

void clearEmptyHash(const char* location) {
    if (exists(location))
        return;
    // Only directories go: the three hash levels above the resource, as far as they are empty.
    std::string path(location);
    for (int level = 0; level < 3; ++level) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return;
        path.erase(slash);
        if (ovsys::table().rmdir(path.c_str()) != 0)
            return;
    }
}
