#ifndef REPOSITORYHANDLER_STAGING_H
#define REPOSITORYHANDLER_STAGING_H

#include <string>

// The library's own temporary entries: copies that are being verified before they take a
// resource's place, and origins of moves and removed resources that are being deleted. They live
// in the staging directory ".repository-staging" at the top of a mount (or of the legacy
// directory), its *home*, on the same file system as the resources, so that putting a copy in
// place and taking a resource away are single renames: a resource's name never shows a partial
// copy. No resource can bear the staging directory's name (it is refused as a resource name) and
// every listing and count passes over it.
//
// Protocol:
//   - Each operation works in a work directory of its own, "work-<host>-<pid>-<n>" inside the
//     staging directory, and holds an exclusive flock on it for as long as it works there.
//   - Whoever opens a work directory first removes every work directory of its own host whose
//     flock it can take: their makers are gone (a process that dies loses its flocks). A live
//     maker is never disturbed, also not one of another user or of another PID namespace. Names
//     of the earlier form "work-<pid>-<n>" count as this host's.
//   - flock across hosts cannot be relied on: GlusterFS's FUSE client keeps a regular file's
//     flock across hosts but grants a directory's flock on every host; NFS turns flock into a
//     whole-file lock of the NFS lock protocol, which an exclusive lock only gets on a file open
//     for writing (never a directory), and with "local_lock=flock" keeps it within the host. So
//     the rule rests on no cross-host flock: another host's work directory is removed only when
//     it is older than a day (kForeignLeftoverSeconds) and its flock is free here as well. On NFS
//     the flock of a work directory works only with "local_lock=flock" (or "all").
//   - A maker takes its flock after creating the directory; should a cleaner have removed the
//     directory in between, the maker notices (the directory is gone) and makes another.
//   - The work directory goes when its operation ends, and the staging directory with it when it
//     is empty; so a staging directory that stays holds leftovers or work in progress.
//
// By hand: once no process of the repository runs (or `fuser -v <dir>` shows none for a work
// directory), everything in ".repository-staging" may be deleted; nothing in it is a resource.

// The name of the staging directory.
constexpr const char* kStagingName = ".repository-staging";

// A work directory in the staging directory of home, for one operation.
class WorkDir {
public:
    // Creates the staging directory when missing (with home's mode and, where allowed, owner),
    // removes the leftovers of dead makers, and creates and locks a work directory. Check ok().
    explicit WorkDir(const std::string& home);
    // Deletes the work directory with everything in it (links are removed, never followed), then
    // the staging directory if it is empty. What cannot be deleted stays for a later cleaner.
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    // Whether the work directory exists and is locked; when not, error() tells why. A work
    // directory that cannot be made leaves nothing behind: neither a half-made work directory nor
    // a staging directory it created itself.
    bool ok() const { return fd >= 0; }
    int error() const { return failure; }
    const std::string& path() const { return dir; }
    // A path for a new entry in the work directory (short: any resource name can be moved).
    std::string newEntry();
    // Writes everything of the work directory's file system to disk. False with errno.
    bool syncFileSystem() const;

private:
    std::string staging;
    std::string dir;
    int fd;
    int failure;
    unsigned int entries;
};

// For a file system too full to make a work directory in (no free inode or block): takes the
// directory tree path away from its name in one rename into home's existing staging directory,
// under a work directory's name, and deletes it there under that name's flock, as every cleaner
// would. 0 when the name is gone (what cannot be deleted is logged and left to a later cleaner);
// -1 with errno when there is no staging directory or the rename fails.
int retireIntoStaging(const std::string& path, const std::string& home);

// Removes the work directories in home's staging directory whose makers are gone; then the
// staging directory itself when it is empty. A staging directory that is a link (or no
// directory) is logged and left alone. The number of work directories removed.
int removeStagingLeftovers(const std::string& home);

// The home for the staging entries of path when the caller does not name one: the nearest of the
// four directories above path that is the top of a mount (holds "repositorypart.cfg" or
// "repositorypart.no") or holds a staging directory, on path's file system; else the directory
// of path itself.
std::string stagingHomeOf(const std::string& path);

// Whether no directory strictly between home and path is a symbolic link (levels that do not
// exist yet are fine; one that cannot be queried is not). A path outside home has nothing between.
bool noLinkBetween(const std::string& home, const std::string& path);
// noLinkBetween, logging a path that passes a link (errno then is ELOOP) or a level that cannot
// be queried (errno then is its error).
bool reachedWithoutLinks(const std::string& home, const std::string& path);

#endif
