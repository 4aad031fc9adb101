// Compiles the public C header together with the library's own declarations of the same
// functions: a signature that drifts apart between them stops the build.
#include "repositoryhandler.h"

#include "EntryPoints.h"
#include "OVHash.h"
#include "OVPaths.h"
#include "OVSemaphore.h"
#include "OVTextLog.h"
#include "ResourceSizes.h"
