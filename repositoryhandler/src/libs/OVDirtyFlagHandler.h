#ifndef REPOSITORYHANDLER_OVDIRTYFLAGHANDLER_H
#define REPOSITORYHANDLER_OVDIRTYFLAGHANDLER_H

#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

// The dirty flags of one repository: the identifiers of resources whose placement cannot be
// trusted (copies may exist on several mounts, or a deletion was left unfinished). They are kept
// in the set file <repository>/.dirty, one identifier per line in ascending byte order, and in
// memory.
//
// Every operation takes the dirty-flag lock (lock file named toResourceID(setFile, ""), 30
// seconds), first brings the in-memory set up to date with the set file when the file changed
// since this process last read it (another process may have written it), then answers or applies
// its change. A change rewrites the whole set: into a temporary file in the repository directory,
// renamed over ".dirty", so that readers never see a partial set and a crash never leaves one.
// isDirty skips the lock while the file is unchanged since this process read it, because writers
// replace it atomically.
//
// When the lock cannot be had, the failure is logged ("The dirty mechanism "<setFile>" could not
// be locked."), isDirty answers true and nothing changes.
class OVDirtyFlagHandler {
public:
    OVDirtyFlagHandler();

    // Binds the handler to a repository and loads its set file.
    void setRepository(const char* repositoryPath);
    bool isDirty(const char* resourceId);
    // Marks or unmarks one identifier; the file is rewritten only when the set changes.
    void setDirty(const char* resourceId, bool dirty);
    // Unmarks everything, leaving an empty set file.
    void clearDirtySet();
    // Writes the whole set to the set file; the caller holds the lock. 0 on success.
    int writeSetFile();

    const std::string& getSetFile() const { return setFile; }

private:
    // Identity of the set file as last read or written by this process. Writers always put a new
    // file in place, so any change shows in one of these fields.
    struct FileStamp {
        bool present = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified = {0, 0};
        struct timespec changed = {0, 0};

        static FileStamp of(const struct stat& st);
        // Whether st describes the file this stamp was taken of, unchanged.
        bool matches(const struct stat& st) const;
    };

    // The name of the dirty-flag lock: toResourceID(setFile, "").
    std::string lockName() const;
    // One status call: whether the set file is as this process last saw it (or still missing).
    bool unchangedSinceSeen() const;
    // Re-reads the set file when it changed since it was last read; the caller holds the lock.
    void refresh();

    std::set<std::string> dirtySet;
    std::string setFile;
    FileStamp lastSeen;
};

#endif
