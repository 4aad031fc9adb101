#ifndef REPOSITORYHANDLER_RESOURCELOCK_H
#define REPOSITORYHANDLER_RESOURCELOCK_H

#include "OVSemaphore.h"

#include <string>

// The lock of one resource of a repository, named toResourceID(repository, resource) with the
// resource's bare name, so that "/r", "r/" and "r" exclude each other; taken with
// a wait of up to 30 seconds and released when the object goes away (also when an exception
// leaves the operation). A lock that cannot be had is logged as 'The resource "<lock name>"
// could not be locked.' and the operation gives up.
class ResourceLock {
public:
    // lockDirectory: the repository's lock directory ("": LOCK_VAR, else the working directory).
    ResourceLock(const std::string& repositoryPath, const char* resource,
                 const std::string& lockDirectory);
    // Whether the lock is held.
    bool acquired() const { return held; }

private:
    OVSemaphore semaphore;
    bool held;
};

// Whether resource may name a resource: not null, and once leading and trailing "/" are removed
// not empty, one path component (unless innerSlashAllowed), not "." or ".." (nor holding such a
// component), without a line feed, and not the name of the staging directory. A refused name is
// logged.
bool isAcceptableResourceName(const char* resource, bool innerSlashAllowed = false);

// resource without its leading and trailing "/".
std::string bareResourceName(const char* resource);

// Throws the OVAssertionException of creation when bareName still holds a "/".
void assertSingleComponent(const std::string& bareName);

#endif
