#ifndef REPOSITORYHANDLER_OVREPOSITORYHANDLER_H
#define REPOSITORYHANDLER_OVREPOSITORYHANDLER_H

#include "OVDirtyFlagHandler.h"
#include "OVMountPointHandler.h"

#include <list>
#include <memory>
#include <string>
#include <time.h>
#include <vector>

// A repository: a directory whose resources are spread over an ordered list of mounts. It is
// configured by "repository.cfg" in that directory (fill limits, legacy directory, mount names);
// without the file the repository directory is its own single mount. Handlers are reached through
// getRepository, which rebuilds a handler whenever its configuration files changed.
class OVRepositoryHandler {
public:
    explicit OVRepositoryHandler(const char* path);
    // Builds a fresh handler for the same path; no state is copied.
    OVRepositoryHandler(const OVRepositoryHandler& other);
    OVRepositoryHandler& operator=(const OVRepositoryHandler&) = delete;
    ~OVRepositoryHandler();

    // (Re)initialises the handler in place for path: defaults, then the configuration and the
    // mounts when the directory exists, else status REPO_MISSING. When a mount cannot be built,
    // the handler is left without mounts, with REPO_MISSING, and the exception passes on.
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

    // Called with a path after a resource was located in or created below the legacy directory;
    // does nothing.
    void writeToLegacyLog(const char* text);

    int getStatus() const { return status; }
    const std::vector<std::unique_ptr<OVMountPointHandler>>& getMounts() const { return mounts; }
    OVDirtyFlagHandler& getDirtyFlags() { return dirtyFlags; }
    const std::string& getLegacyDir() const { return legacyDir; }
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

private:
    void setDefaults();
    void readLimits(const class OVProperties& properties);
    void buildMounts(const char* mountPoints);
    // The index of the placement rules' choice among the mounts that pass the filter.
    template <typename Filter> int firstMount(Filter usable) const;
    template <typename Filter> int leastUsedMount(Filter usable) const;
    int chooseMount(int excluded, int excludedInSwitchMode, const OVMountPointHandler* source);

    std::string repositoryPath;
    time_t configTime;
    std::vector<std::unique_ptr<OVMountPointHandler>> mounts;
    OVDirtyFlagHandler dirtyFlags;
    int status;
    std::string legacyDir;
    std::list<std::string> deletedDirs;
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
    // Set while a setup did not complete; such a handler is never up to date.
    bool setupFailed;
};

// The value of a text made only of the digits 0 to 9 (at least one), or -1. The value wraps
// modulo 2^32 into a signed 32-bit number, as it always has.
int parseNatInt(const char* text);
// Overwrites field with the number stored under key, when the table holds a valid one.
void readNatInt(const class OVProperties& properties, const char* key, int& field);

#endif
