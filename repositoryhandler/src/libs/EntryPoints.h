#ifndef REPOSITORYHANDLER_ENTRYPOINTS_H
#define REPOSITORYHANDLER_ENTRYPOINTS_H

#include "OVExport.h"

#include <list>
#include <string>
#include <utime.h>

// The flat entry points of the repository library (plain C names). Each names the repository by
// its directory path; see repositoryhandler.h for their meaning.
extern "C" {
OV_EXPORT void setup_(const char* repository);
OV_EXPORT int getRepositoryStatus_(const char* repository);
OV_EXPORT int MountUnmount_(const char* repository, int index, bool mount);
OV_EXPORT void rndMount_(const char* repository);
OV_EXPORT int giveBackMounts_(const char* repository);

OV_EXPORT char* getLocation_(const char* repository, const char* resource, int* status);
OV_EXPORT char* createLocation_(const char* repository, const char* resource, int* status,
                                bool skipDirty);
OV_EXPORT char* createDirectory_(const char* repository, const char* resource, int* status,
                                 bool skipDirty);
OV_EXPORT int removeResource_(const char* repository, const char* resource);
OV_EXPORT int checkResourceStatus_(const char* repository, const char* resource);
OV_EXPORT char* createToLegacy_(const char* repository, const char* resource);
OV_EXPORT char** listDirs_(const char* repository, long* count, bool sorted);
OV_EXPORT char** listFiles_(const char* repository, long* count, bool sorted);
OV_EXPORT void releaseList(char** list, long count);
OV_EXPORT void makeEmpty_(const char* repository);
OV_EXPORT int setTimeProperties_(const char* repository, const char* resource,
                                 struct utimbuf* times);
OV_EXPORT int getTimeProperties_(const char* repository, const char* resource,
                                 struct utimbuf* times);
OV_EXPORT void checkOverload_(const char* repository, bool verbose);
OV_EXPORT int freeMount_(const char* repository, const char* mountName);
OV_EXPORT std::list<std::string>* getDeletedDirs_(const char* repository);
}

#endif
