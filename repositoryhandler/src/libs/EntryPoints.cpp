// The flat entry points: each looks the repository up by its path and calls one operation of
// its handler. They add no locking. An I/O error (OVIOException, logged with path and errno
// where it arose) becomes the entry point's failure result; assertions of broken preconditions
// (null texts, a configured mount directory that does not exist, a creation name with an inner
// "/") reach the caller.
#include "EntryPoints.h"

#include "OVException.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"

namespace {

// call(), or failed when it ended in an I/O error.
template <typename Result, typename Call> Result orOnIOError(Result failed, Call call) {
    try {
        return call();
    } catch (const OVIOException&) {
        return failed;
    }
}

template <typename Call> void ignoringIOError(Call call) {
    try {
        call();
    } catch (const OVIOException&) {
        // Logged where it arose; a call without a result has nothing more to report.
    }
}

// A location call: null with status RES_ERROR on an I/O error.
template <typename Call> char* locating(int* status, Call call) {
    try {
        return call();
    } catch (const OVIOException&) {
        setStatus(status, RES_ERROR);
        return nullptr;
    }
}

} // namespace

void setup_(const char* repository) {
    ignoringIOError([&] { getRepository(repository)->setup(repository); });
}

int getRepositoryStatus_(const char* repository) {
    return orOnIOError(static_cast<int>(REPO_MISSING), [&] {
        return getRepository(repository)->checkRepositoryStatus() & ~REPO_SWITCH;
    });
}

int MountUnmount_(const char* repository, int index, bool mount) {
    return orOnIOError(-1, [&] { return getRepository(repository)->MountUnmount(index, mount); });
}

void rndMount_(const char* repository) {
    ignoringIOError([&] { getRepository(repository)->rndMount(); });
}

int giveBackMounts_(const char* repository) {
    return orOnIOError(static_cast<int>(REPO_MISSING),
                       [&] { return getRepository(repository)->giveBackMounts(); });
}

char* getLocation_(const char* repository, const char* resource, int* status) {
    return locating(status, [&] {
        return getRepository(repository)->getLocation(resource, status, true, true);
    });
}

char* createLocation_(const char* repository, const char* resource, int* status, bool skipDirty) {
    return locating(status, [&] {
        return getRepository(repository)->createLocation(resource, status, skipDirty);
    });
}

char* createDirectory_(const char* repository, const char* resource, int* status, bool skipDirty) {
    return locating(status, [&] {
        return getRepository(repository)->createDirectory(resource, status, skipDirty);
    });
}

int removeResource_(const char* repository, const char* resource) {
    return orOnIOError(static_cast<int>(RES_ERROR),
                       [&] { return getRepository(repository)->removeResource(resource); });
}

int checkResourceStatus_(const char* repository, const char* resource) {
    return orOnIOError(static_cast<int>(RES_ERROR),
                       [&] { return getRepository(repository)->checkResourceStatus(resource); });
}

char* createToLegacy_(const char* repository, const char* resource) {
    return orOnIOError(static_cast<char*>(nullptr),
                       [&] { return getRepository(repository)->createToLegacy(resource); });
}

namespace {

// A listing: null with no entry on an I/O error.
char** listing(const char* repository, int kind, long* count, bool sorted) {
    try {
        return getRepository(repository)->listResources(kind, count, sorted);
    } catch (const OVIOException&) {
        if (count != nullptr)
            *count = 0;
        return nullptr;
    }
}

} // namespace

char** listDirs_(const char* repository, long* count, bool sorted) {
    return listing(repository, DIRECTORY_RESOURCES, count, sorted);
}

char** listFiles_(const char* repository, long* count, bool sorted) {
    return listing(repository, FILE_RESOURCES, count, sorted);
}

void releaseList(char** list, long count) {
    if (list == nullptr)
        return;
    for (long i = 0; i < count; ++i)
        delete[] list[i];
    delete[] list;
}

void makeEmpty_(const char* repository) {
    ignoringIOError([&] { getRepository(repository)->makeEmpty(); });
}

int setTimeProperties_(const char* repository, const char* resource, struct utimbuf* times) {
    return orOnIOError(
        0, [&] { return getRepository(repository)->setTimeProperties(resource, times); });
}

int getTimeProperties_(const char* repository, const char* resource, struct utimbuf* times) {
    return orOnIOError(
        0, [&] { return getRepository(repository)->getTimeProperties(resource, times); });
}

void checkOverload_(const char* repository, bool verbose) {
    ignoringIOError([&] { getRepository(repository)->checkOverload(verbose); });
}

int freeMount_(const char* repository, const char* mountName) {
    // 3: nothing could be moved.
    return orOnIOError(
        3, [&] { return getRepository(repository)->moveAllResourcesFromMount(mountName); });
}

// The list of the handler that ran the latest check, even when the configuration changed since:
// a handler built anew would answer with an empty list, and the deletions would go unreported.
std::list<std::string>* getDeletedDirs_(const char* repository) {
    if (repository != nullptr)
        if (OVRepositoryHandler* known = repositoryMap.find(normalizedRepositoryPath(repository)))
            return known->getDeletedDirs();
    static std::list<std::string> none; // no check ran: nothing was deleted
    return orOnIOError(&none, [&] { return getRepository(repository)->getDeletedDirs(); });
}
