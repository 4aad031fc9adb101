#include "ResourceLock.h"

#include "OVLogger.h"

ResourceLock::ResourceLock(const std::string& repositoryPath, const char* resource)
    : semaphore(resourceLockName(repositoryPath, resource), true), held(semaphore.tryLock(30)) {
    if (!held) {
        std::string text = "The resource \"" + semaphore.getName() + "\" could not be locked.";
        rh_logger.errorLog("%s", text.c_str());
    }
}

bool isAcceptableResourceName(const char* resource) {
    if (resource == nullptr) {
        rh_logger.errorLog("A resource name is missing.");
        return false;
    }
    std::string name(resource);
    bool meaningful = false;
    bool acceptable = true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        std::string component = name.substr(start, end - start);
        if (component == "." || component == "..")
            acceptable = false;
        if (!component.empty())
            meaningful = true;
        start = end + 1;
    }
    if (acceptable && meaningful)
        return true;
    std::string text = "The resource name \"" + name + "\" is refused.";
    rh_logger.errorLog("%s", text.c_str());
    return false;
}
