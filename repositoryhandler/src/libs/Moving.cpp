#include "MoveDelete.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"
#include "RunCommand.h"
#include "Staging.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kConflict = 2;
constexpr int kError = 8;

// An array string returned by the path helpers, freed at the end of the scope.
using OwnedString = std::unique_ptr<char[]>;

void logError(const std::string& text) {
    rh_logger.errorLog("%s", text.c_str());
}

std::string errnoText() {
    return std::to_string(errno);
}

// path without trailing "/" (a lone "/" stays), so that a link given as "link/" names the link
// itself and is never followed.
std::string withoutTrailingSlashes(const char* path) {
    std::string text(path);
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// lstat that logs its failure in the words of myStat.
bool lstatLogged(const std::string& path, struct stat* st) {
    if (lstatOk(path, st))
        return true;
    logError("The resource \"" + path + "\" can not be stat-ed. Error code is " + errnoText());
    return false;
}

// Gives path (a link itself, not its target) the access and modification times of st. A failure
// is ignored: the data has arrived, only its times are off.
void keepTimes(const std::string& path, const struct stat& st) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The names of the entries of dir in ascending byte order.
std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    listDir(dir.c_str(), &names);
    return names;
}

// An open descriptor, closed at the end of the scope.
class Descriptor {
public:
    Descriptor(const std::string& path, int flags)
        : fd(ovsys::table().open(path.c_str(), flags | O_CLOEXEC, 0)) {}
    ~Descriptor() {
        int saved = errno;
        if (fd >= 0)
            ovsys::table().close(fd);
        errno = saved;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

bool sameBytes(const std::string& a, const std::string& b) {
    Descriptor first(a, O_RDONLY | O_NOFOLLOW), second(b, O_RDONLY | O_NOFOLLOW);
    if (first.get() < 0 || second.get() < 0)
        return false;
    std::vector<char> one(64 * 1024), other(64 * 1024);
    for (;;) {
        ssize_t got = read(first.get(), one.data(), one.size());
        if (got < 0)
            return false;
        ssize_t filled = 0;
        while (filled < got) {
            ssize_t more =
                read(second.get(), other.data() + filled, static_cast<size_t>(got - filled));
            if (more <= 0)
                return false;
            filled += more;
        }
        if (got == 0)
            return read(second.get(), other.data(), 1) == 0;
        if (std::memcmp(one.data(), other.data(), static_cast<size_t>(got)) != 0)
            return false;
    }
}

// Whether a and b, neither a directory, hold the same: regular files with the same bytes, or
// links with the same target. Such an entry at a destination counts as moved there already (a
// move that was interrupted after putting it in place).
bool sameContent(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (!lstatOk(a, &sa) || !lstatOk(b, &sb))
        return false;
    if (S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode))
        return sa.st_size == sb.st_size && sameBytes(a, b);
    std::string ta, tb;
    return S_ISLNK(sa.st_mode) && S_ISLNK(sb.st_mode) && readLinkTarget(a, ta) &&
           readLinkTarget(b, tb) && ta == tb;
}

int notRemoved(const std::string& path) {
    logError("The resource \"" + path + "\" could not be removed. Error code is " + errnoText());
    return kError;
}

// The names in the open directory fd, in ascending byte order.
std::vector<std::string> entriesAt(int fd) {
    std::vector<std::string> names;
    int own = dup(fd); // closedir closes what fdopendir was given
    DIR* dir = own >= 0 ? fdopendir(own) : nullptr;
    if (dir == nullptr) {
        if (own >= 0)
            close(own);
        return names;
    }
    while (const struct dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Deletes everything in the open directory fd (shown as path in messages), depth first, in
// byte order; stops at the first failure (logged), leaving what was not reached.
int deleteEntriesAt(int fd, const std::string& path) {
    for (const std::string& name : entriesAt(fd)) {
        std::string shown = path + "/" + name;
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISDIR(st.st_mode)) {
            int child = ovsys::table().openat(fd, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
            if (child < 0)
                return notRemoved(shown);
            int result = deleteEntriesAt(child, shown);
            ovsys::table().close(child);
            if (result != kOk)
                return result;
        }
        if (ovsys::table().unlinkat(fd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
            return notRemoved(shown);
    }
    return kOk;
}

// Copies from (links as links) to the new path copy and compares the two. 0, or the status of the
// command that failed. Owner, mode and times are kept: a mover run as root (with any umask) must
// not take the application's files away from it; without the right to give files away, cp keeps
// the mover as owner and goes on. The tools' standard output is not read (the status tells) and
// must not reach the calling program's.
// A pipe, socket or device given as from is verified by its kind and device number: diff would
// read it, and a pipe without a writer or a device without end never let it finish.
int copyVerified(const std::string& from, const std::string& copy) {
    struct stat original, made;
    bool special = lstatOk(from, &original) && !S_ISDIR(original.st_mode) &&
                   !S_ISREG(original.st_mode) && !S_ISLNK(original.st_mode);
    int status = runCommand({"cp", "-RP", "--preserve=mode,ownership,timestamps", "--", from, copy},
                            "/dev/null");
    if (status == 0 && special)
        return lstatOk(copy, &made) && (made.st_mode & S_IFMT) == (original.st_mode & S_IFMT) &&
                       made.st_rdev == original.st_rdev
                   ? 0
                   : 1;
    if (status == 0)
        status =
            runCommand({"diff", "-q", "-r", "--no-dereference", "--", from, copy}, "/dev/null");
    return status;
}

// Writes the entries of dir (a rename into it) to disk.
bool syncDirectory(const std::string& dir) {
    Descriptor handle(dir, O_RDONLY | O_DIRECTORY);
    return handle.get() >= 0 && fsync(handle.get()) == 0;
}

int conflict(const std::string& origin, const std::string& dest) {
    logError("The resource \"" + origin + "\" conflicts with \"" + dest + "\".");
    return kConflict;
}

int notRenamed(const std::string& origin, const std::string& dest) {
    logError("The resource \"" + origin + "\" could not be renamed to \"" + dest +
             "\". Error code is " + errnoText());
    return kError;
}

// One move of a resource. Copies are made in a work directory on the destination's file system
// and renamed into place once verified and on disk; the origin is then renamed as a whole into a
// work directory on its own file system and deleted there. A name therefore shows either a
// complete copy or nothing, and a move cut short at any instant leaves complete copies that the
// next move of the same resource reconciles.
class Move {
public:
    Move(std::string originHome, std::string destHome)
        : originHome(std::move(originHome)), destHome(std::move(destHome)) {}

    int run(const std::string& origin, const std::string& dest);
    // Takes path away from its name in one rename into the origin's work directory, where it is
    // deleted when the move ends. 0, or -1 (logged).
    int retire(const std::string& path);
    // The move to a new path: 0, -1 when a file-system call failed, or a command's status.
    int toNewPath(const std::string& from, const std::string& to);

private:
    // A directory present on both sides: once merged it gets the origin's times.
    struct MergedDirectory {
        std::string dest;
        struct stat originStatus;
    };

    WorkDir* workIn(const std::string& home);
    int merge(const std::string& origin, const std::string& dest, const struct stat& st);
    int reconcile(const std::string& copy, const std::string& origin, const std::string& dest);
    bool standsAlready(const std::string& origin, const std::string& dest);

    std::string originHome;
    std::string destHome;
    std::map<std::string, std::unique_ptr<WorkDir>> work;
    std::vector<MergedDirectory> merged;
};

WorkDir* Move::workIn(const std::string& home) {
    std::unique_ptr<WorkDir>& dir = work[home];
    if (!dir)
        dir = std::make_unique<WorkDir>(home);
    return dir->ok() ? dir.get() : nullptr;
}

int Move::retire(const std::string& path) {
    WorkDir* dir = workIn(originHome);
    if (dir == nullptr || ovsys::table().rename(path.c_str(), dir->newEntry().c_str()) != 0) {
        logError("The resource \"" + path + "\" could not be removed. Error code is " +
                 errnoText());
        return -1;
    }
    return 0;
}

int Move::toNewPath(const std::string& from, const std::string& to) {
    OwnedString parentText(baseDir(to.c_str()));
    if (!parentText || to.size() == std::strlen(parentText.get()))
        return -1;
    std::string parent = parentText.get();
    WorkDir* dir = nullptr;
    if (mkdirs(parent.c_str(), 0755) != 0 || (dir = workIn(destHome)) == nullptr)
        return -1;
    std::string copy = dir->newEntry();
    int status = copyVerified(from, copy);
    if (status != 0)
        return status;
    if (!dir->syncFileSystem())
        return -1;
    // Hash directories are shared and removed without a lock when they fall empty: one may have
    // gone since it was made above.
    bool renamed = ovsys::table().rename(copy.c_str(), to.c_str()) == 0 ||
                   (errno == ENOENT && mkdirs(parent.c_str(), 0755) == 0 &&
                    ovsys::table().rename(copy.c_str(), to.c_str()) == 0);
    if (!renamed || !syncDirectory(parent))
        return -1;
    return retire(from);
}

int Move::reconcile(const std::string& copy, const std::string& origin, const std::string& dest) {
    for (const std::string& entry : entriesOf(copy)) {
        std::string copied = copy + "/" + entry, from = origin + "/" + entry,
                    to = dest + "/" + entry;
        struct stat made, there, original;
        if (!lstatLogged(copied, &made) || !lstatLogged(from, &original))
            return kError;
        if (!lstatOk(to, &there)) {
            if (ovsys::table().rename(copied.c_str(), to.c_str()) != 0)
                return notRenamed(from, to);
        } else if (S_ISDIR(made.st_mode) && S_ISDIR(there.st_mode)) {
            int result = reconcile(copied, from, to);
            if (result != kOk)
                return result;
            merged.push_back({to, original});
        } else if (S_ISDIR(made.st_mode) || S_ISDIR(there.st_mode) || !sameContent(copied, to)) {
            return conflict(from, to); // a link at the destination is never entered
        }
        // An entry with the same content on both sides counts as moved already.
    }
    return kOk;
}

// Whether everything below the directory origin stands at dest with the same content; notes the
// directories on both sides for their times.
bool Move::standsAlready(const std::string& origin, const std::string& dest) {
    for (const std::string& entry : entriesOf(origin)) {
        std::string from = origin + "/" + entry, to = dest + "/" + entry;
        struct stat original, there;
        if (!lstatOk(from, &original) || !lstatOk(to, &there) ||
            S_ISDIR(original.st_mode) != S_ISDIR(there.st_mode))
            return false;
        if (!S_ISDIR(original.st_mode) && !sameContent(from, to))
            return false;
        if (S_ISDIR(original.st_mode)) {
            if (!standsAlready(from, to))
                return false;
            merged.push_back({to, original});
        }
    }
    return true;
}

// Moves the entries of the directory origin into the existing directory dest: the whole origin
// is copied and verified once, every entry that dest lacks is renamed into place, and
// directories on both sides are merged in turn. Once all of it stands at dest and is on disk, the
// origin leaves its name in one step. The first entry that differs from what stands at dest stops
// the merge with a conflict: the entries before it (in byte order) stand at dest too, and the
// origin stays whole, so that a later merge counts them as moved.
int Move::merge(const std::string& origin, const std::string& dest, const struct stat& st) {
    merged.clear();
    // A merge cut short after everything was put in place has nothing to copy (nor room to need).
    if (!standsAlready(origin, dest)) {
        merged.clear();
        WorkDir* dir = workIn(destHome);
        std::string copy = dir != nullptr ? dir->newEntry() : "";
        if (dir == nullptr || copyVerified(origin, copy) != 0 || !dir->syncFileSystem())
            return notRenamed(origin, dest);
        int result = reconcile(copy, origin, dest);
        // The origin loses nothing before what was put in place is on disk.
        if (!dir->syncFileSystem())
            return notRenamed(origin, dest);
        if (result != kOk)
            return result;
    }
    if (retire(origin) != 0)
        return kError;
    for (const MergedDirectory& directory : merged)
        keepTimes(directory.dest, directory.originStatus);
    keepTimes(dest, st);
    return kOk;
}

int Move::run(const std::string& origin, const std::string& dest) {
    struct stat st;
    ovAssert(lstatOk(origin, &st), "access( origin, F_OK ) == 0", 538, kRepositorySource);
    bool link = S_ISLNK(st.st_mode);
    if (!link && myStat(origin.c_str(), &st) != 0) {
        logError("The resource \"" + origin + "\" could not be stated \"" + errnoText());
        return kError;
    }
    if (!reachedWithoutLinks(originHome, origin) || !reachedWithoutLinks(destHome, dest))
        return kError;
    struct stat there;
    if (!lstatOk(dest, &there)) {
        if (toNewPath(origin, dest) != 0)
            return notRenamed(origin, dest);
        keepTimes(dest, st);
        return kOk;
    }
    bool directory = !link && S_ISDIR(st.st_mode);
    if (directory && S_ISDIR(there.st_mode))
        return merge(origin, dest, st);
    if (!directory && !S_ISDIR(there.st_mode) && sameContent(origin, dest))
        return retire(origin) == 0 ? kOk : kError; // moved before, but not yet taken away
    return conflict(origin, dest);
}

} // namespace

int moveRes(const char* originPath, const char* destPath) {
    std::string origin = withoutTrailingSlashes(originPath);
    std::string dest = withoutTrailingSlashes(destPath);
    return moveResBetween(origin.c_str(), dest.c_str(), stagingHomeOf(origin).c_str(),
                          stagingHomeOf(dest).c_str());
}

int moveResBetween(const char* originPath, const char* destPath, const char* originHome,
                   const char* destHome) {
    std::string origin = withoutTrailingSlashes(originPath);
    std::string dest = withoutTrailingSlashes(destPath);
    return Move(originHome, destHome).run(origin, dest);
}

int mountRename(const char* from, const char* to) {
    std::string origin = withoutTrailingSlashes(from);
    std::string target = withoutTrailingSlashes(to);
    return Move(stagingHomeOf(origin), stagingHomeOf(target)).toNewPath(origin, target);
}

int deleteResStaged(const char* pathText, const char* home) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    if (!lstatOk(path, &st))
        return kOk;
    if (!reachedWithoutLinks(home, path))
        return kError;
    return Move(home, home).retire(path) == 0 ? kOk : kError; // deleted as the move ends
}

int deleteRes(const char* pathText) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    if (ovsys::table().lstat(path.c_str(), &st) != 0)
        return kOk;
    if (!S_ISDIR(st.st_mode))
        return ovsys::table().unlink(path.c_str()) == 0 ? kOk : notRemoved(path);
    // The tree is walked through descriptors opened without following links: a directory that
    // someone turns into a link meanwhile stops the deletion instead of leading it elsewhere.
    Descriptor dir(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (dir.get() < 0)
        return notRemoved(path);
    int result = deleteEntriesAt(dir.get(), path);
    if (result != kOk)
        return result;
    return ovsys::table().rmdir(path.c_str()) == 0 ? kOk : notRemoved(path);
}

long getSize(const char* pathText, struct stat* st) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat own;
    if (st == nullptr) {
        if (!lstatLogged(path, &own))
            return -1;
        st = &own;
    }
    long total = static_cast<long>(st->st_blocks);
    if (!S_ISDIR(st->st_mode))
        return total;
    for (const std::string& entry : entriesOf(path)) {
        long size = getSize((path + "/" + entry).c_str(), nullptr);
        if (size < 0)
            return -1;
        total += size;
    }
    return total;
}
