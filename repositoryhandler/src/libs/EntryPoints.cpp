// The flat entry points: each looks the repository up by its path and calls one operation of
// its handler. They add no locking and catch nothing: exceptions reach the caller.
#include "EntryPoints.h"

#include "Registry.h"
#include "RepositoryStatus.h"

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
