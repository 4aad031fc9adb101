#include "ResourceLock.h"

#include "OVException.h"
#include "OVLogger.h"
#include "RepositoryStatus.h"
#include "Staging.h"

#include <algorithm>

ResourceLock::ResourceLock(const std::string& repositoryPath, const char* resource,
                           const std::string& lockDirectory)
    : semaphore(resourceLockName(repositoryPath, bareResourceName(resource)), lockDirectory, true),
      held(semaphore.tryLock(30)) {
    if (!held) {
        std::string text = "The resource \"" + semaphore.getName() + "\" could not be locked.";
        rh_logger.errorLog("%s", text.c_str());
    }
}

std::string bareResourceName(const char* resource) {
    std::string name(resource);
    size_t first = name.find_first_not_of('/');
    if (first == std::string::npos)
        return "";
    return name.substr(first, name.find_last_not_of('/') - first + 1);
}

void assertSingleComponent(const std::string& bareName) {
    if (bareName.find('/') != std::string::npos)
        throw OVAssertionException("subDirectory.find( '/' ) == string::npos", 1429,
                                   kRepositorySource);
}

bool isAcceptableResourceName(const char* resource, bool innerSlashAllowed) {
    if (resource == nullptr) {
        rh_logger.errorLog("A resource name is missing.");
        return false;
    }
    std::string name = bareResourceName(resource);
    bool inner = name.find('/') != std::string::npos;
    // A line feed could not be stored in the dirty-flag file, one identifier per line.
    bool acceptable = !name.empty() && (innerSlashAllowed || !inner) && name != kStagingName &&
                      name.find('\n') == std::string::npos;
    // With an inner "/" allowed (creation asserts on it), no component may climb or stay.
    for (size_t start = 0; acceptable && start <= name.size();) {
        size_t end = std::min(name.find('/', start), name.size());
        std::string component = name.substr(start, end - start);
        acceptable = component != "." && component != "..";
        start = end + 1;
    }
    if (acceptable)
        return true;
    std::string text = "The resource name \"" + std::string(resource) + "\" is refused.";
    rh_logger.errorLog("%s", text.c_str());
    return false;
}
