#include "Staging.h"

#include "MoveDelete.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"
#include "ResourceSizes.h"
#include "SharedRepository.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kAttempts = 5;
// How far above a resource path the top of its mount may lie: three hash levels and the mount.
constexpr int kHomeSearchLevels = 4;

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isRealDirectory(const std::string& path) {
    struct stat st;
    return lstatOk(path, &st) && S_ISDIR(st.st_mode);
}

constexpr const char* kWorkPrefix = "work-";

// The maker named by a work directory's name: "work-", its writer tag ("<host>-<pid>", or the
// process id alone in names of the earlier form), "-" and digits. false for any other name.
bool workDirMaker(const std::string& name, Writer& maker) {
    size_t start = std::strlen(kWorkPrefix);
    size_t dash = name.rfind('-');
    if (name.compare(0, start, kWorkPrefix) != 0 || dash == std::string::npos || dash <= start ||
        dash + 1 == name.size())
        return false;
    bool digits = std::all_of(name.begin() + static_cast<long>(dash + 1), name.end(),
                              [](unsigned char c) { return std::isdigit(c) != 0; });
    return digits && parseWriterTag(name.substr(start, dash - start), maker);
}

// Opens dir without following a link and takes its flock without waiting. -1 when the directory
// is gone or another process holds the flock.
int openLocked(const std::string& dir) {
    int fd = ovsys::table().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (ovsys::table().flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        ovsys::table().close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Whether fd still is the directory at path: a cleaner may have removed it before the flock.
bool stillThere(int fd, const std::string& path) {
    struct stat open, named;
    return ovsys::table().fstat(fd, &open) == 0 && lstatOk(path, &named) &&
           open.st_ino == named.st_ino && open.st_dev == named.st_dev;
}

// The staging directory of home, created with home's mode and owner when missing (made then
// tells so).
bool makeStaging(const std::string& home, const std::string& staging, bool& made) {
    if (ovsys::table().mkdir(staging.c_str(), 0700) == 0) {
        made = true;
        struct stat st;
        if (ovsys::table().stat(home.c_str(), &st) == 0) {
            // Every process that may write the mount may stage its work there.
            if (ovsys::table().fchownat(AT_FDCWD, staging.c_str(), st.st_uid, st.st_gid,
                                        AT_SYMLINK_NOFOLLOW) != 0)
                rh_logger.debugLog("The owner of the staging directory stays.");
            ovsys::table().fchmodat(AT_FDCWD, staging.c_str(), st.st_mode & 07777, 0);
        }
        return true;
    }
    return errno == EEXIST && isRealDirectory(staging);
}

void removeIfEmpty(const std::string& staging) {
    int saved = errno;
    ovsys::table().rmdir(staging.c_str()); // fails while anything is in it: that stays
    errno = saved;
}

// Removes the work directories in staging whose makers are gone. How many went; a staging
// directory that cannot be listed is logged and left as it is.
int removeDeadWorkDirs(const std::string& staging) {
    std::vector<std::string> names;
    if (int error = readDirectory(staging, names)) {
        std::string text = "The staging directory \"" + staging +
                           "\" could not be listed. Error code is " + std::to_string(error);
        rh_logger.errorLog("%s", text.c_str());
        return 0;
    }
    int removed = 0;
    time_t now = time(nullptr);
    for (const std::string& name : names) {
        std::string path = staging + "/" + name;
        Writer maker;
        if (!workDirMaker(name, maker))
            continue; // not ours
        struct stat st;
        // Another host's flock is not honoured on every file system: its work directory goes only
        // once it is far older than any operation, and then only when its flock is free here.
        if (!maker.ownHost && (!lstatOk(path, &st) || !writerGone(maker, st.st_mtime, now)))
            continue;
        int fd = openLocked(path);
        if (fd < 0)
            continue; // its maker still works in it
        if (stillThere(fd, path) && deleteRes(path.c_str()) == 0)
            ++removed;
        ovsys::table().close(fd);
    }
    return removed;
}

// A new name for a work directory of this process in staging.
std::string newWorkDirName(const std::string& staging) {
    static unsigned int made = 0;
    return staging + "/" + kWorkPrefix + writerTag() + "-" + std::to_string(made++);
}

// Opens and locks the work directory just made at dir; one that cannot be locked is taken away
// again (a cleaner that removed it first leaves nothing to take). The descriptor, or -1 with errno.
int lockMadeWorkDir(const std::string& dir) {
    int fd = openLocked(dir);
    if (fd >= 0 && stillThere(fd, dir))
        return fd;
    int saved = fd >= 0 ? ENOENT : errno;
    if (fd >= 0)
        ovsys::table().close(fd);
    else if (saved != EWOULDBLOCK)
        ovsys::table().rmdir(dir.c_str()); // a cleaner that holds its flock deletes it itself
    errno = saved;
    return -1;
}

} // namespace

WorkDir::WorkDir(const std::string& home)
    : staging(home + "/" + kStagingName), fd(-1), failure(0), entries(0) {
    bool madeStaging = false;
    for (int attempt = 0; attempt < kAttempts && fd < 0; ++attempt) {
        if (!makeStaging(home, staging, madeStaging)) {
            if (errno == ENOENT)
                continue; // the last process working there took it away meanwhile
            break;
        }
        removeDeadWorkDirs(staging);
        dir = newWorkDirName(staging);
        if (ovsys::table().mkdir(dir.c_str(), 0755) != 0)
            continue; // the staging directory went away meanwhile, or the name is taken
        fd = lockMadeWorkDir(dir);
    }
    if (fd < 0) {
        failure = errno != 0 ? errno : EIO;
        std::string text = "No work directory could be made in \"" + staging +
                           "\". Error code is " + std::to_string(failure);
        rh_logger.errorLog("%s", text.c_str());
        if (madeStaging)
            removeIfEmpty(staging);
        errno = failure;
    }
}

WorkDir::~WorkDir() {
    if (fd < 0)
        return;
    int saved = errno;
    deleteRes(dir.c_str()); // logs what it cannot delete; a later cleaner tries again
    ovsys::table().close(fd);
    removeIfEmpty(staging);
    errno = saved;
}

std::string WorkDir::newEntry() {
    return dir + "/" + std::to_string(entries++);
}

bool WorkDir::syncFileSystem() const {
    return fd >= 0 && ovsys::table().syncfs(fd) == 0;
}

int retireIntoStaging(const std::string& path, const std::string& home) {
    std::string staging = home + "/" + kStagingName;
    if (!isRealDirectory(staging)) {
        errno = ENOENT;
        return -1;
    }
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = newWorkDirName(staging);
        if (renameNoReplace(path.c_str(), name.c_str()) == 0)
            break;
        if (errno != EEXIST || attempt + 1 == kAttempts) {
            removeIfEmpty(staging); // left as after a removal: no empty staging directory stays
            return -1;
        }
    }
    // Under a work directory's name it is garbage to every cleaner: one that takes its flock
    // before this process does deletes it instead.
    int fd = openLocked(name);
    if (fd < 0)
        return 0;
    deleteRes(name.c_str()); // logs what it cannot delete; a later cleaner tries again
    ovsys::table().close(fd);
    removeIfEmpty(staging);
    return 0;
}

int removeStagingLeftovers(const std::string& home) {
    std::string staging = home + "/" + kStagingName;
    struct stat st;
    if (!lstatOk(staging, &st))
        return 0;
    if (!S_ISDIR(st.st_mode)) {
        // Placed by hand (a link leads elsewhere): nothing in it is the library's to delete.
        std::string text = "The staging directory \"" + staging + "\" is no directory; left alone.";
        rh_logger.errorLog("%s", text.c_str());
        return 0;
    }
    int removed = removeDeadWorkDirs(staging);
    removeIfEmpty(staging);
    return removed;
}

std::string stagingHomeOf(const std::string& path) {
    std::string parent = parentOf(path);
    struct stat own;
    if (ovsys::table().stat(parent.c_str(), &own) != 0)
        return parent;
    std::string dir = parent;
    for (int level = 0; level < kHomeSearchLevels; ++level) {
        struct stat st;
        if (ovsys::table().stat(dir.c_str(), &st) != 0 || st.st_dev != own.st_dev)
            break; // the search stays on path's file system
        for (const char* marker : {"repositorypart.cfg", "repositorypart.no", kStagingName})
            if (lstatOk(dir + "/" + marker, &st))
                return dir;
        if (dir == "/" || dir == ".")
            break;
        dir = parentOf(dir);
    }
    return parent;
}

namespace {

// 0 when no directory strictly between home and path is a symbolic link; ELOOP when one is; the
// errno of a level that could not be queried otherwise (set in level): it may be a link as well.
int linkBetween(const std::string& home, const std::string& path, std::string& level) {
    std::string prefix = home.empty() || home.back() != '/' ? home + "/" : home;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return 0;
    for (size_t slash = path.find('/', prefix.size()); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/')
            continue; // an empty component
        struct stat st;
        level = path.substr(0, slash);
        Presence at = lstatPresence(level, &st);
        if (at == Presence::Absent)
            return 0; // not made yet: it will be made as a directory
        if (at == Presence::Failed)
            return errno;
        if (S_ISLNK(st.st_mode))
            return ELOOP;
    }
    return 0;
}

} // namespace

bool noLinkBetween(const std::string& home, const std::string& path) {
    std::string level;
    return linkBetween(home, path, level) == 0;
}

bool reachedWithoutLinks(const std::string& home, const std::string& path) {
    std::string level;
    int error = linkBetween(home, path, level);
    if (error == 0)
        return true;
    if (error != ELOOP) {
        logStatFailure(level, error);
        return false;
    }
    std::string text = "The resource \"" + path + "\" lies behind a symbolic link below \"" + home +
                       "\" and is left alone.";
    rh_logger.errorLog("%s", text.c_str());
    errno = ELOOP;
    return false;
}
