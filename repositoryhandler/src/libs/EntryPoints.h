#ifndef REPOSITORYHANDLER_ENTRYPOINTS_H
#define REPOSITORYHANDLER_ENTRYPOINTS_H

#include "OVExport.h"

// The flat entry points of the repository library (plain C names). Each names the repository by
// its directory path; see repositoryhandler.h for their meaning.
extern "C" {
OV_EXPORT void setup_(const char* repository);
OV_EXPORT int getRepositoryStatus_(const char* repository);
OV_EXPORT int MountUnmount_(const char* repository, int index, bool mount);
OV_EXPORT void rndMount_(const char* repository);
OV_EXPORT int giveBackMounts_(const char* repository);
}

#endif
