// The flat entry points: each looks the repository up by its path and calls one operation of
// its handler. They add no locking and catch nothing: exceptions reach the caller.
#include "EntryPoints.h"

#include "Registry.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"

void setup_(const char* repository) {
    getRepository(repository)->setup(repository);
}

int getRepositoryStatus_(const char* repository) {
    return getRepository(repository)->checkRepositoryStatus() & ~REPO_SWITCH;
}

int MountUnmount_(const char* repository, int index, bool mount) {
    return getRepository(repository)->MountUnmount(index, mount);
}

void rndMount_(const char* repository) {
    getRepository(repository)->rndMount();
}

int giveBackMounts_(const char* repository) {
    return getRepository(repository)->giveBackMounts();
}

char* getLocation_(const char* repository, const char* resource, int* status) {
    return getRepository(repository)->getLocation(resource, status, true, true);
}

char* createLocation_(const char* repository, const char* resource, int* status, bool skipDirty) {
    return getRepository(repository)->createLocation(resource, status, skipDirty);
}

char* createDirectory_(const char* repository, const char* resource, int* status, bool skipDirty) {
    return getRepository(repository)->createDirectory(resource, status, skipDirty);
}

int removeResource_(const char* repository, const char* resource) {
    return getRepository(repository)->removeResource(resource);
}

int checkResourceStatus_(const char* repository, const char* resource) {
    return getRepository(repository)->checkResourceStatus(resource);
}

char* createToLegacy_(const char* repository, const char* resource) {
    return getRepository(repository)->createToLegacy(resource);
}

char** listDirs_(const char* repository, long* count, bool sorted) {
    return getRepository(repository)->listResources(DIRECTORY_RESOURCES, count, sorted);
}

char** listFiles_(const char* repository, long* count, bool sorted) {
    return getRepository(repository)->listResources(FILE_RESOURCES, count, sorted);
}

void releaseList(char** list, long count) {
    if (list == nullptr)
        return;
    for (long i = 0; i < count; ++i)
        delete[] list[i];
    delete[] list;
}

void makeEmpty_(const char* repository) {
    getRepository(repository)->makeEmpty();
}

int setTimeProperties_(const char* repository, const char* resource, struct utimbuf* times) {
    return getRepository(repository)->setTimeProperties(resource, times);
}

int getTimeProperties_(const char* repository, const char* resource, struct utimbuf* times) {
    return getRepository(repository)->getTimeProperties(resource, times);
}

void checkOverload_(const char* repository, bool verbose) {
    getRepository(repository)->checkOverload(verbose);
}

int freeMount_(const char* repository, const char* mountName) {
    return getRepository(repository)->moveAllResourcesFromMount(mountName);
}

// The list of the handler that ran the latest check, even when the configuration changed since:
// a handler built anew would answer with an empty list, and the deletions would go unreported.
std::list<std::string>* getDeletedDirs_(const char* repository) {
    if (repository != nullptr)
        if (OVRepositoryHandler* known = repositoryMap.find(normalizedRepositoryPath(repository)))
            return known->getDeletedDirs();
    return getRepository(repository)->getDeletedDirs();
}
