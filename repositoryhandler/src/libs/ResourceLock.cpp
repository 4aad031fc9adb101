#include "ResourceLock.h"

#include "OVException.h"
#include "OVLogger.h"

ResourceLock::ResourceLock(const std::string& repositoryPath, const char* resource) : held(false) {
    std::unique_ptr<char[]> id(toResourceID(repositoryPath.c_str(), resource));
    semaphore = std::make_unique<OVSemaphore>(id.get(), true);
    try {
        held = semaphore->lock(30);
    } catch (const OVException&) {
        held = false;
    }
    if (!held) {
        std::string text = std::string("The resource \"") + id.get() + "\" could not be locked.";
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
