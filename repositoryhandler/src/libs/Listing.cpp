#include "ResourceSizes.h"

#include "OVLogger.h"
#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "RepositoryStatus.h"
#include "Staging.h"

#include <cerrno>
#include <cstring>

namespace {

// Depth below a mount at which the entries are the resources (three hash levels above them).
constexpr unsigned int kResourceDepth = 3;

// Whether a resource of the given kind is listed: 0 all, 1 directories, anything else the rest.
bool wanted(int kind, bool directory) {
    if (kind == ALL_RESOURCES)
        return true;
    if (kind == DIRECTORY_RESOURCES)
        return directory;
    return !directory;
}

} // namespace

int listDir(const char* dir, std::vector<std::string>* names) {
    std::vector<std::string> found;
    int error = readDirectory(dir, found);
    if (error != 0 && error != ENOENT) {
        // Not the same as an empty directory: the caller sees nothing, the operator sees why.
        std::string text = std::string("The directory \"") + dir +
                           "\" could not be listed. Error code is " + std::to_string(error);
        rh_logger.errorLog("%s", text.c_str());
    }
    names->insert(names->end(), found.begin(), found.end());
    errno = error;
    return static_cast<int>(names->size());
}

int listResourcesRecursively(const char* dir, std::vector<std::string>* out, int kind, bool hashed,
                             unsigned int depth) {
    std::vector<std::string> names;
    listDir(dir, &names);
    if (errno != 0 && errno != ENOENT)
        return -1; // logged by listDir
    bool resourcesHere = depth == kResourceDepth || !hashed;
    for (const std::string& name : names) {
        // The file system's own recovery directory at the top of a mount is no hash level, and
        // the library's staging directory holds no resource.
        if ((hashed && depth == 0 && name == "lost+found") || name == kStagingName)
            continue;
        std::string full = std::string(dir) + "/" + name;
        bool directory = false;
        if (isDir(full.c_str(), &directory, nullptr) != 0) {
            if (errno == ENOENT)
                continue; // gone meanwhile, or a link to nothing (logged)
            return -1;    // a resource that cannot be queried is no absent one (logged)
        }
        if (directory && !resourcesHere) {
            if (listResourcesRecursively(full.c_str(), out, kind, hashed, depth + 1) < 0)
                return -1;
        } else if (resourcesHere && wanted(kind, directory)) {
            out->push_back(name);
        }
        // Anything else is a stray plain file among the hash directories.
    }
    return static_cast<int>(out->size());
}

bool OVMountPointHandler::listResources(std::vector<std::string>* out, int kind) {
    return checkStatus(true) == MOUNT_UNMOUNTED ||
           listResourcesRecursively(mountPath.c_str(), out, kind, true, 0) >= 0;
}
