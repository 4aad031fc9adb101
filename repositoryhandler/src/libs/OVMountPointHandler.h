#ifndef REPOSITORYHANDLER_OVMOUNTPOINTHANDLER_H
#define REPOSITORYHANDLER_OVMOUNTPOINTHANDLER_H

#include "Balancing.h"
#include "FileVersion.h"
#include "OVPaths.h"

#include <string>
#include <time.h>
#include <vector>

class OVRepositoryHandler;
struct GatherTake;

// One mount point of a repository: a directory, normally the root of a file system of its own.
// It counts as mounted while "repositorypart.cfg" is present in it (an unmounted file system shows
// only the bare directory); renaming the file to "repositorypart.no" switches the mount off. The
// file may override the mount's switch, full, clean and move limits, which the mount otherwise
// inherits from its repository.
class OVMountPointHandler {
public:
    // Throws OVAssertionException when the directory does not exist.
    OVMountPointHandler(std::string mountPath, OVRepositoryHandler* repository);
    // Builds a fresh mount for the same directory; no status is copied.
    OVMountPointHandler(const OVMountPointHandler& other);
    OVMountPointHandler& operator=(const OVMountPointHandler&) = delete;
    ~OVMountPointHandler();

    void setup(std::string mountPath, OVRepositoryHandler* repository);
    // Reads the per-mount limits from "repositorypart.cfg", when it exists. Always 0.
    int parseConfigFile();
    // Whether "repositorypart.cfg" exists, was read before and has not changed since.
    bool isUpToDate() const;
    // The used share of the file system in percent, blocks reserved for the super-user counting
    // as used; -1 when the file system cannot be queried.
    float getUsedPercentage() const;
    // The mount status bits; with useCached the fill level is not measured again (the presence of
    // "repositorypart.cfg" always is). A read-only file system (statvfs says so, or a write was
    // refused with EROFS within the last minute) also has MOUNT_FULL and MOUNT_SWITCH: it is
    // passed over for new and moved resources like a full mount.
    int checkStatus(bool useCached);
    // Whether the mount was read-only at the latest measurement.
    bool isReadOnly() const { return readOnly; }
    // A write on the mount failed with EROFS: it counts as read-only for a while.
    void noteWritesRefused();

    // The location of resource on this mount if it exists there (status 0; touch sets its times to
    // now), else null: status 4 when it is not there, 8 when its location cannot be tested (an
    // I/O error, logged); null without a status when the mount is unmounted.
    char* getLocation(const char* resource, int* status, int* mountStatus, bool touch);
    // As getLocation, for a resource whose hashed path (hashedResourcePath) is given; null for a
    // refused name. A lookup over several mounts hashes the name only once.
    char* getHashedLocation(const std::string* hashed, int* status, int* mountStatus, bool touch);
    // A new location for resource with its hash directories made (status 0), or null (status 8).
    char* createLocation(const char* resource, int* status);
    // As createLocation, and the resource directory itself is made.
    char* createDirectory(const char* resource, int* status);
    // Deletes the copy of resource on this mount: 0, 4 when there is none, 8 when its location
    // cannot be tested, or deleteRes's code.
    int removeResource(const char* resource);
    // Appends the identifiers of this mount's resources of the given kind, unless unmounted. False
    // when the listing could not be completed (logged).
    bool listResources(std::vector<std::string>* out, int kind);

    // Balancing walks over the hashed layout below subPath (depth hash levels down; callers
    // start with "" and 0). Every entry of a third-level hash directory is a resource; links are
    // never walked into, "lost+found" at the top and the staging directory are passed over. A
    // resource flagged dirty is settled with a lookup first, and skipped while it stays dirty;
    // when the dirty flags cannot be read the walk ends with what it has. At depth 0 a mount
    // found unmounted gives -1. The result is the size of candidates afterwards.
    //
    // The up to maxCount oldest resources not used within the mount's nomoveTime; those whose
    // paths are in skip are passed over.
    int getOldestResources(CandidateSet& candidates, int maxCount, const std::string& subPath,
                           int depth, const PathSet* skip = nullptr);
    // Up to maxCount resources regardless of age; the walk stops once it has them.
    int getRandomResources(CandidateSet& candidates, int maxCount, const std::string& subPath,
                           int depth);

    // Called with a path after the location code located or created a directory; does nothing.
    void writeToLog(const char* text);

    const std::string& getMountPath() const { return mountPath; }
    int getStatus() const { return status; }
    // The status bits the fill level would give once bytes more were available; the stored
    // status when the file system cannot be queried. Nothing is stored.
    int statusAfterFreeing(long double bytes) const;
    int getSwitchLimit() const { return switchLimit; }
    int getFullLimit() const { return fullLimit; }
    int getCleanLimit() const { return cleanLimit; }
    int getMoveLimit() const { return moveLimit; }
    time_t getNomoveTime() const { return nomoveTime; }
    // Kept, not composed anew: every lookup tests it on each mount it visits.
    const std::string& configFile() const { return partConfigPath; }
    std::string switchedOffFile() const { return mountPath + "/repositorypart.no"; }

private:
    int statusFromFillLevel(float used) const;
    float measureFillLevel(bool& readOnly) const;
    // Records the read-only state, logging a change.
    void noteReadOnly(bool now);
    // The location of the resource of the given hashed path on this mount, tested and touched.
    char* locate(const std::string* hashed, int* status, bool touch);
    // Whether location exists and no hash directory on its way is a symbolic link; handle is an
    // open handle on it, or -1.
    Presence foundWithoutLinks(const std::string& location, int& handle) const;
    static void touchFound(const std::string& location, int handle);
    int gather(CandidateSet& candidates, int maxCount, const std::string& subPath, int depth,
               GatherTake& take);
    bool settledClean(const std::string& name, const std::string& full, struct stat& st,
                      GatherTake& take);
    bool standing(const std::string& full, struct stat& st) const;

    std::string mountPath;
    std::string partConfigPath; // mountPath + "/repositorypart.cfg"
    OVRepositoryHandler* repository;
    int status;
    int switchLimit;
    int fullLimit;
    int cleanLimit;
    int moveLimit;
    time_t nomoveTime;
    bool readOnly;
    time_t writesRefusedAt;
    // The version of "repositorypart.cfg" read last.
    FileVersion partConfig;
};

// The hashed path of resource below a mount, ending in "/" (convertToHashed of the name with one
// "/" appended where it lacks one); false, and logged, for a refused name.
bool hashedResourcePath(const char* resource, std::string& hashed);

#endif
