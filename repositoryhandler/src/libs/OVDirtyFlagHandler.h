#ifndef REPOSITORYHANDLER_OVDIRTYFLAGHANDLER_H
#define REPOSITORYHANDLER_OVDIRTYFLAGHANDLER_H

#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <vector>

// The dirty flags of one repository: the identifiers of resources whose placement cannot be
// trusted (copies may exist on several mounts, or a deletion was left unfinished). They are kept
// in the set file <repository>/.dirty, one identifier per line in ascending byte order, and in
// memory.
//
// Reading needs no lock: writers replace the set file whole, by one rename, so a reader sees the
// old set or the new one. isDirty and setRepository bring the in-memory set up to date with the
// set file when it changed since this process last read it (another process may have written
// it). Changes take the dirty-flag lock (lock file named toResourceID(setFile, ""), 30 seconds),
// read the set afresh and rewrite it whole: into a temporary file in the repository directory
// (".dirty." and the writer's "<host>-<pid>"), renamed over ".dirty", so that readers never see a
// partial set and a crash never leaves one. The new file keeps the mode and, where the writer may
// set it, the owner of the file it replaces (a first file: the owner of the repository
// directory), so that a writer with another user or umask does not lock the others out.
// Temporaries left by writers that died are removed by the next write: a temporary of this host
// when its process is gone, one of another host (whose process ids mean nothing here) only when
// it is older than a day; one named by a process id alone counts as this host's.
//
// Change detection: the handler keeps the file it read last open. While it is open its inode
// cannot be freed, so no other file can carry its device and inode numbers: a set file with the
// same numbers, size and times is the file read, unchanged, whatever the resolution of the file
// system's clock.
//
// Failures never throw (only null arguments do). Each is logged once with the path of the set
// file (or of the temporary) and the failing call's errno. A set file that cannot be stated or
// read makes every flag count as set (isDirty answers true, lastAnswerCertain() false) until it
// can be read again; a change that cannot be locked, read or written leaves the flag as it was
// and reports false. A call of the library waits for the lock once at most: after one time-out,
// further changes until the next beginCall() make a single attempt.
class OVDirtyFlagHandler {
public:
    OVDirtyFlagHandler();
    ~OVDirtyFlagHandler();
    OVDirtyFlagHandler(const OVDirtyFlagHandler&) = delete;
    OVDirtyFlagHandler& operator=(const OVDirtyFlagHandler&) = delete;

    // Binds the handler to a repository and reads its set file, without the lock. When the file
    // cannot be read, the failure is logged and the set stays unknown: isDirty tries again.
    void setRepository(const char* repositoryPath);
    // The directory of the dirty-flag lock ("": LOCK_VAR, else the working directory).
    void setLockDirectory(const std::string& directory) { lockDir = directory; }
    // A new call of the library begins: the dirty-flag lock may be waited for again.
    void beginCall() { lockGivenUp = false; }
    bool isDirty(const char* resourceId);
    // Whether the latest isDirty answer came from the set as stored, rather than from a lock or
    // read failure (which answers true).
    bool lastAnswerCertain() const { return certain; }
    // Marks or unmarks one identifier; the file is rewritten only when the set changes. false
    // when the lock could not be had, the set file could not be read or written, or the
    // identifier holds a line feed (logged): the flag is then as it was, and a caller that relies
    // on it being set must not go on.
    bool setDirty(const char* resourceId, bool dirty);
    // setDirty for several identifiers at once: one wait for the lock and at most one write.
    // false, with no flag changed, when any of them cannot be flagged or the change failed.
    bool setDirty(const std::vector<std::string>& resourceIds, bool dirty);
    // The flagged identifiers as the set file holds them now, in byte order; false (logged) when
    // it cannot be read.
    bool flagged(std::vector<std::string>& identifiers);
    // Unmarks everything, leaving an empty set file; false (logged) when that failed.
    bool clearDirtySet();
    // Writes the whole set to the set file; the caller holds the lock. 0 on success, else the
    // errno of the failed call (logged); the set then counts as unknown and is read again.
    int writeSetFile();

    const std::string& getSetFile() const { return setFile; }

    // The identifiers held by the text of a set file: one per line, whatever its length; a
    // trailing line feed is not part of it, and a last line without one is taken as it is.
    static std::set<std::string> parseSetText(const std::string& text);
    // The text of a set file holding these identifiers, in ascending byte order.
    static std::string setText(const std::set<std::string>& identifiers);

private:
    // The set file as last read or written by this process, held open.
    class SeenFile {
    public:
        SeenFile() = default;
        ~SeenFile() { forget(); }
        SeenFile(const SeenFile&) = delete;
        SeenFile& operator=(const SeenFile&) = delete;

        bool present() const { return fd >= 0; }
        // Takes over the open descriptor fd of the file (closing the one held before).
        bool hold(int fd);
        void forget();
        // Whether st describes the held file, unchanged, and the descriptor still is that file
        // (a program may have closed it and opened another under its number).
        bool matches(const struct stat& st) const;
        const struct stat& status() const { return st; }

    private:
        // Whether fd is still the file held (same device and inode).
        bool stillHeld() const;

        int fd = -1;
        struct stat st = {};
    };

    // The name of the dirty-flag lock: toResourceID(setFile, "").
    std::string lockName() const;
    // One status call: whether the set file is as this process last saw it (or still missing).
    bool unchangedSinceSeen() const;
    // Re-reads the set file when it changed since it was last read. false when it cannot be
    // stated or read: the set then counts as unknown and readError holds the errno.
    bool refresh();
    // Takes the lock for a change: the first time-out within a call waits, later ones do not.
    bool takeLock(class OVSemaphore& lock);
    // Logs a failed read of the set file, with readError and what follows from it.
    void logReadFailure(const std::string& consequence) const;
    // Gives the new set file, open as fd, the mode and owner the set file had. 0, or the errno
    // of a set file that exists but cannot be stated (its attributes are then unknown).
    int keepAttributes(int fd) const;
    // Removes the temporary set files of writers that are no longer running.
    void removeStaleTemporaries() const;

    std::set<std::string> dirtySet;
    std::string setFile;
    std::string lockDir;
    SeenFile seen;
    // Whether dirtySet holds what the set file said when last looked at (false before the first
    // look and after a failed one).
    bool known = false;
    // Whether the latest isDirty answer was read from the set.
    bool certain = true;
    // errno of the last failed look at the set file, for the messages.
    int readError = 0;
    // Whether a wait for the lock timed out in the current call.
    bool lockGivenUp = false;
};

#endif
