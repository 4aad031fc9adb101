#ifndef REPOSITORYHANDLER_RESOURCELOCK_H
#define REPOSITORYHANDLER_RESOURCELOCK_H

#include "OVSemaphore.h"

#include <string>

// The lock of one resource of a repository, named toResourceID(repository, resource), taken with
// a wait of up to 30 seconds and released when the object goes away (also when an exception
// leaves the operation). A lock that cannot be had is logged as 'The resource "<lock name>"
// could not be locked.' and the operation gives up.
class ResourceLock {
public:
    ResourceLock(const std::string& repositoryPath, const char* resource);
    // Whether the lock is held.
    bool acquired() const { return held; }

private:
    OVSemaphore semaphore;
    bool held;
};

// Whether resource may name a resource: not null, not empty once leading and trailing "/" are
// removed, and without a "." or ".." component. A refused name is logged.
bool isAcceptableResourceName(const char* resource);

#endif
