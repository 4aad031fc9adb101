#ifndef REPOSITORYHANDLER_OVREPOSITORYHANDLER_H
#define REPOSITORYHANDLER_OVREPOSITORYHANDLER_H

#include "FileVersion.h"
#include "MoveDelete.h"
#include "OVDirtyFlagHandler.h"
#include "OVMountPointHandler.h"

#include <list>
#include <memory>
#include <set>
#include <string>
#include <time.h>
#include <utime.h>
#include <vector>

// A repository: a directory whose resources are spread over an ordered list of mounts. It is
// configured by "repository.cfg" in that directory (fill limits, legacy directory, mount names,
// lock directory);
// without the file the repository directory is its own single mount. Handlers are reached through
// getRepository, which rebuilds a handler whenever its configuration files changed.
class OVRepositoryHandler {
public:
    explicit OVRepositoryHandler(const char* path);
    // Builds a fresh handler for the same path; no state is copied.
    OVRepositoryHandler(const OVRepositoryHandler& other);
    OVRepositoryHandler& operator=(const OVRepositoryHandler&) = delete;
    ~OVRepositoryHandler();

    // (Re)initialises the handler in place for path (normalised as by normalizedRepositoryPath):
    // defaults, then the dirty flags, the configuration and the mounts when the directory exists,
    // else status REPO_MISSING without mounts. When any step fails (a mount cannot be built, the
    // dirty flags cannot be read), the handler is left without mounts, with REPO_MISSING and
    // marked for rebuilding by the next lookup, and the exception passes on.
    void setup(const char* path);
    // Reads "repository.cfg" and rebuilds the mounts. Always 0.
    int parseConfigFile();
    // Whether "repository.cfg" and every mount's "repositorypart.cfg" are unchanged since read.
    bool isUpToDate() const;
    const char* getID() const { return repositoryPath.c_str(); }
    std::list<std::string>* getDeletedDirs() { return &deletedDirs; }

    // Mount status and placement.
    int checkRepositoryStatus();
    int getActualMountPoint();
    int getActualMountPointForMove(OVMountPointHandler* source);
    int getActualMountPointForLegacy();
    int MountUnmount(int index, bool mount);
    void rndMount();
    int giveBackMounts();

    // Resources. Returned paths are new arrays owned by the caller; a status is written only
    // through a non-null pointer. Names that are empty (after removing leading and trailing "/")
    // or hold a "." or ".." component are refused: lookups give null with RES_NOT_FOUND, creations
    // null with RES_ERROR, removal RES_NOT_FOUND, the time operations 0.

    // The location of resource, taking over a copy from the legacy directory and merging the
    // copies of a dirty resource. useLock: hold the resource lock meanwhile; touch: set the
    // found copy's times to now. Status RES_OK, RES_DIRTY, RES_CONFLICT, RES_NOT_FOUND or a code
    // of a failed merge; null and the status untouched when the lock was not obtained.
    char* getLocation(const char* resource, int* status, bool useLock, bool touch);
    // The existing location, or a new one on the mount for new data with its hash directories
    // made; marks the resource dirty while a mount is unmounted unless skipDirty.
    char* createLocation(const char* resource, int* status, bool skipDirty);
    // As createLocation, and the resource directory exists on return.
    char* createDirectory(const char* resource, int* status, bool skipDirty);
    // Deletes every copy on the mounted mounts and in the legacy directory, under the lock.
    int removeResource(const char* resource);
    // The status of a locked lookup; RES_LOCK_FAILED when the lock was not obtained.
    int checkResourceStatus(const char* resource);
    // Makes the resource directory in the legacy directory; null without one or on failure.
    char* createToLegacy(const char* resource);
    // The names of the resources of the given kind on every mounted mount, then in the legacy
    // directory (duplicates kept); byte-sorted when sorted. A new array of *count new texts; null
    // with *count 0 when a listing could not be completed (logged).
    char** listResources(int kind, long* count, bool sorted);
    // Removes every resource of the repository, after clearing the dirty flags and switching
    // every mount on again.
    void makeEmpty();
    // Sets the access and modification times of the resource (null: now); 1 on success, else 0.
    int setTimeProperties(const char* resource, struct utimbuf* times);
    // Reads them; 1 on success, else 0 with times untouched.
    int getTimeProperties(const char* resource, struct utimbuf* times);

    // Overload balancing (see Balancing.h). One check under the repository lock: every mount at
    // its move limit is brought below its clean limit by moving its oldest resources, after
    // deleting the oldest of the repository in a clearable one without room. verbose also
    // reports the progress on standard output. deletedDirs then lists the paths handed to
    // deletion, in order.
    void checkOverload(bool verbose);
    // Whether the latest check could take the repository lock (true before any check).
    bool lastCheckHadTheLock() const { return lastCheckLocked; }
    // Moves the oldest resources of mount elsewhere until it is below its clean limit: 1 when no
    // target mount or no old resource was found, else 0.
    int moveResourcesFromMount(OVMountPointHandler* mount, bool verbose);
    // Moves every resource of the mount repositoryPath/mountName elsewhere: 0 done, 1 no such
    // mount, 2 no target mount (left), 3 a batch in which nothing could be moved.
    int moveAllResourcesFromMount(const char* mountName);
    // The up to cap oldest resources not recently used of all mounted mounts together, passing
    // over the paths in skip.
    int getGlobalOldestResources(CandidateSet& candidates, int cap = kOldestBatch,
                                 const PathSet* skip = nullptr);
    // Whether a balancing step of the running check or emptying gave up on path already (its lock
    // could not be had, or moving or deleting it failed): it is not gathered again meanwhile.
    bool isPassedOver(const std::string& path) const { return passedOver.count(path) != 0; }
    void passOver(const std::string& path) { passedOver.insert(path); }

    // Called with a path after a resource was located in or created below the legacy directory;
    // does nothing.
    void writeToLegacyLog(const char* text);

    int getStatus() const { return status; }
    const std::vector<std::unique_ptr<OVMountPointHandler>>& getMounts() const { return mounts; }
    OVDirtyFlagHandler& getDirtyFlags() { return dirtyFlags; }
    const std::string& getLegacyDir() const { return legacyDir; }
    // The directory of this repository's lock files named by "lockDirectory" (resolved), or ""
    // when the key is not set: LOCK_VAR then, else the working directory.
    const std::string& getLockDirectory() const { return lockDir; }
    int getRemindLimit() const { return remindLimit; }
    int getWarnLimit() const { return warnLimit; }
    int getWarn2Limit() const { return warn2Limit; }
    int getWarn3Limit() const { return warn3Limit; }
    int getSwitchLimit() const { return switchLimit; }
    int getFullLimit() const { return fullLimit; }
    int getCleanLimit() const { return cleanLimit; }
    int getMoveLimit() const { return moveLimit; }
    time_t getNomoveTime() const { return nomoveTime; }
    bool getIsClearable() const { return isClearable; }
    // How this repository's moves check and flush their copies ("verifyOnDevice = true": once
    // more from the device after the flush; "flushFiles = true": each copied file and directory
    // flushed instead of the destination's whole file system).
    const MoveOptions& getMoveOptions() const { return moveOptions; }

private:
    void setDefaults();
    // Leaves a handler whose setup did not complete without mounts, missing and out of date.
    void abandonSetup();
    void readLimits(const class OVProperties& properties);
    void buildMounts(const char* mountPoints);
    // The index of the placement rules' choice among the mounts that pass the filter.
    template <typename Filter> int firstMount(Filter usable) const;
    template <typename Filter> int leastUsedMount(Filter usable) const;
    int chooseMount(int excluded, int excludedInSwitchMode, const OVMountPointHandler* source);
    std::string legacyPath(const char* resource) const;
    // What stands at the resource's legacy path (a link itself, not its target); a failure to
    // tell is logged.
    Presence legacyEntry(const char* resource, struct stat* st) const;
    // Moves a resource found in the legacy directory onto a mount. Returns the legacy path when
    // it stays there (no mount can take it), else null; *failure becomes RES_ERROR when what is
    // left of it cannot be tested.
    char* takeOverLegacy(const char* resource, bool touch, int* failure);
    int mergeInto(std::unique_ptr<char[]>& found, const OVMountPointHandler*& foundOn,
                  std::unique_ptr<char[]>& location, const OVMountPointHandler& mount,
                  int mountStatus);
    char* lookUpMounts(const char* resource, int* status, bool touch);
    template <typename Create>
    char* create(const char* resource, int* status, bool skipDirty, Create onMount);
    // The names of every place; *complete, when given, tells whether every listing succeeded.
    std::vector<std::string> collectNames(int kind, bool* complete);
    class Balancer;
    friend class Balancer;

    std::string repositoryPath;
    // The version of "repository.cfg" read last.
    FileVersion configVersion;
    std::vector<std::unique_ptr<OVMountPointHandler>> mounts;
    OVDirtyFlagHandler dirtyFlags;
    int status;
    std::string legacyDir;
    std::string lockDir;
    std::list<std::string> deletedDirs;
    std::set<std::string> passedOver;
    bool lastCheckLocked = true;
    int remindLimit;
    int warnLimit;
    int warn2Limit;
    int warn3Limit;
    int switchLimit;
    int fullLimit;
    int cleanLimit;
    int moveLimit;
    time_t nomoveTime;
    bool isClearable;
    MoveOptions moveOptions;
    // Set while a setup did not complete; such a handler is never up to date.
    bool setupFailed;
};

// The repository path as the library keys and names it: repeated "/" collapsed into one and a
// trailing "/" removed ("/" itself stays). Nothing else changes, so that a path already written
// this way keeps its registry entry and its lock names.
std::string normalizedRepositoryPath(const char* path);

// The value of a text made only of the digits 0 to 9 (at least one), or -1. The value wraps
// modulo 2^32 into a signed 32-bit number, as it always has.
int parseNatInt(const char* text);

// Removes the hash directories above a resource location that is gone, as far as they are empty.
void clearEmptyHash(const char* location);
// Overwrites field with the number stored under key, when the table holds a valid one.
void readNatInt(const class OVProperties& properties, const char* key, int& field);

#endif
