#include "ResourceSizes.h"

#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "RepositoryStatus.h"
#include "Staging.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace {

// Depth below a mount at which the entries are the resources (three hash levels above them).
constexpr unsigned int kResourceDepth = 3;

bool isDotOrDotDot(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

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
    struct dirent** entries = nullptr;
    // alphasort compares with strcoll; the library never sets a locale, so this is byte order.
    int count = scandir(dir, &entries, nullptr, alphasort);
    for (int i = 0; i < count; ++i) {
        if (!isDotOrDotDot(entries[i]->d_name))
            names->push_back(entries[i]->d_name);
        std::free(entries[i]);
    }
    std::free(entries);
    return static_cast<int>(names->size());
}

int listResourcesRecursively(const char* dir, std::vector<std::string>* out, int kind, bool hashed,
                             unsigned int depth) {
    std::vector<std::string> names;
    listDir(dir, &names);
    bool resourcesHere = depth == kResourceDepth || !hashed;
    for (const std::string& name : names) {
        // The file system's own recovery directory at the top of a mount is no hash level, and
        // the library's staging directory holds no resource.
        if ((hashed && depth == 0 && name == "lost+found") || name == kStagingName)
            continue;
        std::string full = std::string(dir) + "/" + name;
        bool directory = false;
        if (isDir(full.c_str(), &directory, nullptr) != 0)
            continue;
        if (directory && !resourcesHere)
            listResourcesRecursively(full.c_str(), out, kind, hashed, depth + 1);
        else if (resourcesHere && wanted(kind, directory))
            out->push_back(name);
        // Anything else is a stray plain file among the hash directories.
    }
    return static_cast<int>(out->size());
}

void OVMountPointHandler::listResources(std::vector<std::string>* out, int kind) {
    if (checkStatus(true) != MOUNT_UNMOUNTED)
        listResourcesRecursively(mountPath.c_str(), out, kind, true, 0);
}
