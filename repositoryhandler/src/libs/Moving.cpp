#include "MoveDelete.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"
#include "Staging.h"
#include "TreeCopy.h"

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

// Logs text with the errno that caused it (the failing call's own, taken right after it) and
// gives the error result; errno keeps the cause for the caller.
int failed(const std::string& text, int error) {
    logError(text + " Error code is " + std::to_string(error));
    errno = error;
    return kError;
}

// The stat failure of path that errno tells, logged.
int statFailed(const std::string& path) {
    int error = errno;
    logStatFailure(path, error);
    return kError;
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
    statFailed(path);
    return false;
}

// Gives path (a link itself, not its target) the access and modification times of st. A failure
// is ignored: the data has arrived (or stayed), only its times are off.
void keepTimes(const std::string& path, const struct stat& st) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ovsys::table().utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The names of the entries of dir in ascending byte order. A listing that fails is logged and
// false: a decision that rests on a listing never takes a failed one for an empty one.
bool listed(const std::string& dir, std::vector<std::string>& names) {
    int error = readDirectory(dir, names);
    if (error == 0)
        return true;
    failed("The directory \"" + dir + "\" could not be listed.", error);
    return false;
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

// The outcome of a comparison: a failure to read is no difference (and no sameness either).
enum class Same { Yes, No, Failed };

Same unreadable(const std::string& path, int error) {
    failed("The resource \"" + path + "\" could not be read.", error);
    return Same::Failed;
}

// Reads until buffer is full or the file ends: the count, or -1 with errno.
ssize_t readUpTo(int fd, std::vector<char>& buffer) {
    size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t got = ovsys::table().read(fd, buffer.data() + filled, buffer.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(filled);
}

Same sameBytes(const std::string& a, const std::string& b) {
    Descriptor first(a, O_RDONLY | O_NOFOLLOW);
    if (first.get() < 0)
        return unreadable(a, errno);
    Descriptor second(b, O_RDONLY | O_NOFOLLOW);
    if (second.get() < 0)
        return unreadable(b, errno);
    std::vector<char> one(64 * 1024), other(64 * 1024);
    for (;;) {
        ssize_t got = readUpTo(first.get(), one);
        if (got < 0)
            return unreadable(a, errno);
        ssize_t more = readUpTo(second.get(), other);
        if (more < 0)
            return unreadable(b, errno);
        if (got != more || std::memcmp(one.data(), other.data(), static_cast<size_t>(got)) != 0)
            return Same::No;
        if (got == 0)
            return Same::Yes;
    }
}

// Whether a and b, neither a directory, hold the same: regular files with the same bytes, or
// links with the same target. Such an entry at a destination counts as moved there already (a
// move that was interrupted after putting it in place). Failed (logged) when either cannot be read.
Same sameContent(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (!lstatLogged(a, &sa) || !lstatLogged(b, &sb))
        return Same::Failed;
    if (S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode))
        return sa.st_size != sb.st_size ? Same::No : sameBytes(a, b);
    if (!S_ISLNK(sa.st_mode) || !S_ISLNK(sb.st_mode))
        return Same::No;
    std::string ta, tb;
    if (!readLinkTarget(a, ta))
        return unreadable(a, errno);
    if (!readLinkTarget(b, tb))
        return unreadable(b, errno);
    return ta == tb ? Same::Yes : Same::No;
}

int notRemoved(const std::string& path, int error) {
    return failed("The resource \"" + path + "\" could not be removed.", error);
}

// Deletes everything in the open directory fd (shown as path in messages), depth first, in
// byte order; stops at the first failure (logged), leaving what was not reached.
int deleteEntriesAt(int fd, const std::string& path) {
    std::vector<std::string> names;
    if (int error = readDirectoryAt(fd, names))
        return failed("The directory \"" + path + "\" could not be listed.", error);
    for (const std::string& name : names) {
        std::string shown = path + "/" + name;
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone meanwhile
            return statFailed(shown);
        }
        if (S_ISDIR(st.st_mode)) {
            int child = ovsys::table().openat(fd, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
            if (child < 0)
                return notRemoved(shown, errno);
            int result = deleteEntriesAt(child, shown);
            ovsys::table().close(child);
            if (result != kOk)
                return result;
        }
        if (ovsys::table().unlinkat(fd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
            return notRemoved(shown, errno);
    }
    return kOk;
}

// Writes the entries of dir (a rename into it) to disk. False with errno.
bool syncDirectory(const std::string& dir) {
    Descriptor handle(dir, O_RDONLY | O_DIRECTORY);
    return handle.get() >= 0 && fsync(handle.get()) == 0;
}

int conflict(const std::string& origin, const std::string& dest) {
    logError("The resource \"" + origin + "\" conflicts with \"" + dest + "\".");
    return kConflict;
}

int notRenamed(const std::string& origin, const std::string& dest, int error) {
    return failed("The resource \"" + origin + "\" could not be renamed to \"" + dest + "\".",
                  error);
}

// One move of a resource. Copies are made in a work directory on the destination's file system
// and renamed into place once verified and on disk, never over anything that stands there; the
// origin is then renamed as a whole into a work directory on its own file system and deleted
// there. A name therefore shows either a complete copy or nothing, and a move cut short at any
// instant leaves complete copies that the next move of the same resource reconciles. Every
// result is 0, 2 (conflict) or 8 (logged with the path and the failing call's errno).
class Move {
public:
    explicit Move(const MoveOptions& options = MoveOptions())
        : copier(treecopy::Options{options.verifyOnDevice, options.flushFiles
                                                               ? treecopy::Flush::Files
                                                               : treecopy::Flush::FileSystem}) {}
    Move(std::string originHome, std::string destHome, const MoveOptions& options = MoveOptions())
        : Move(options) {
        setHomes(std::move(originHome), std::move(destHome));
    }
    // The homes of the staging directories of the next move.
    void setHomes(std::string origin, std::string dest) {
        originHome = std::move(origin);
        destHome = std::move(dest);
    }

    // st: the status of origin (present).
    int run(const std::string& origin, const std::string& dest, struct stat st);
    // Takes path away from its name in one rename into the origin's work directory, where it is
    // deleted when the move ends.
    int retire(const std::string& path);
    int toNewPath(const std::string& from, const std::string& to);

    // The steps of a move to a new path, for moves that share their flushes: the verified copy
    // of from (not yet on disk) in the destination's work directory, in copy, with the parent of
    // to made (copy empty: from was renamed to to, on one mount, and the move is done); then,
    // once flushed, the copy put in place (without writing parent to disk yet).
    int stageNewPath(const std::string& from, const std::string& to, std::string& parent,
                     std::string& copy);
    int flushCopies();
    int placeCopy(const std::string& copy, const std::string& parent, const std::string& from,
                  const std::string& to, bool sync = true);
    // Renames from to the new path to where both lie on one mount: 0 or 8; -1 (errno EXDEV or
    // EEXIST) when a copy is needed after all.
    int renameOnMount(const std::string& from, const std::string& to, const std::string& parent);
    // Ends the moves made so far: the work directories go, with the origins taken away into them.
    void finish() { work.clear(); }

private:
    // A directory present on both sides: once merged it gets the origin's times.
    struct MergedDirectory {
        std::string dest;
        struct stat originStatus;
    };

    WorkDir* workIn(const std::string& home);
    int merge(const std::string& origin, const std::string& dest, const struct stat& st);
    int stageCopy(const std::string& from, const std::string& to, std::string& copy);
    int copyAndReconcile(const std::string& origin, const std::string& dest);
    int reconcile(const std::string& copy, const std::string& origin, const std::string& dest);
    int placeEntry(const std::string& copied, const std::string& from, const std::string& to);
    Same standsAlready(const std::string& origin, const std::string& dest);

    treecopy::TreeCopy copier;
    std::string originHome;
    std::string destHome;
    std::map<std::string, std::unique_ptr<WorkDir>> work;
    std::vector<MergedDirectory> merged;
};

// The work directory in home, made once; null (errno set) when it cannot be made.
WorkDir* Move::workIn(const std::string& home) {
    std::unique_ptr<WorkDir>& dir = work[home];
    if (!dir)
        dir = std::make_unique<WorkDir>(home);
    if (!dir->ok())
        errno = dir->error();
    return dir->ok() ? dir.get() : nullptr;
}

int Move::retire(const std::string& path) {
    WorkDir* dir = workIn(originHome);
    if (dir == nullptr || ovsys::table().rename(path.c_str(), dir->newEntry().c_str()) != 0)
        return notRemoved(path, errno);
    return kOk;
}

// Renames the verified copy onto the new name to, never replacing what another process put there
// meanwhile: the same content there counts as moved, anything else is a conflict. sync: write
// the name to disk now (else the caller writes parent to disk before the origin leaves).
int Move::placeCopy(const std::string& copy, const std::string& parent, const std::string& from,
                    const std::string& to, bool sync) {
    // Hash directories are shared and removed without a lock when they fall empty: one may have
    // gone since it was made.
    bool renamed = renameNoReplace(copy.c_str(), to.c_str()) == 0 ||
                   (errno == ENOENT && mkdirsInherited(parent.c_str()) == 0 &&
                    renameNoReplace(copy.c_str(), to.c_str()) == 0);
    if (!renamed && errno != EEXIST)
        return notRenamed(from, to, errno);
    if (!renamed) {
        struct stat st;
        if (!lstatLogged(copy, &st))
            return kError;
        Same same = S_ISDIR(st.st_mode) ? Same::No : sameContent(copy, to);
        if (same != Same::Yes)
            return same == Same::No ? conflict(from, to) : kError;
    }
    if (sync && !syncDirectory(parent))
        return notRenamed(from, to, errno);
    return kOk;
}

// Copies from into a new entry copy of the work directory on the destination's file system and
// verifies it, without writing it to disk yet: 0, or 8 (logged as a failed move of from to to).
int Move::stageCopy(const std::string& from, const std::string& to, std::string& copy) {
    WorkDir* dir = workIn(destHome);
    if (dir == nullptr)
        return notRenamed(from, to, errno);
    copy = dir->newEntry();
    if (int error = copier.copy(from, copy))
        return notRenamed(from, to, error);
    return kOk;
}

// Writes every copy staged so far to disk (and checks it from the device when asked).
int Move::flushCopies() {
    return copier.flush() == 0 ? kOk : kError;
}

int Move::renameOnMount(const std::string& from, const std::string& to, const std::string& parent) {
    if (renameNoReplace(from.c_str(), to.c_str()) != 0)
        return errno == EXDEV || errno == EEXIST ? -1 : notRenamed(from, to, errno);
    // The new name, and the old one gone, on disk before the caller relies on either.
    OwnedString fromParent(baseDir(from.c_str()));
    if (!syncDirectory(parent) || (fromParent && !syncDirectory(fromParent.get())))
        return notRenamed(from, to, errno);
    return kOk;
}

int Move::stageNewPath(const std::string& from, const std::string& to, std::string& parent,
                       std::string& copy) {
    OwnedString parentText(baseDir(to.c_str()));
    if (!parentText || to.size() == std::strlen(parentText.get()))
        return notRenamed(from, to, EINVAL);
    parent = parentText.get();
    if (mkdirsInherited(parent.c_str()) != 0)
        return notRenamed(from, to, errno);
    struct stat origin, target;
    if (lstatOk(from, &origin) && ovsys::table().stat(parent.c_str(), &target) == 0 &&
        origin.st_dev == target.st_dev) {
        int renamed = renameOnMount(from, to, parent);
        if (renamed >= 0) {
            copy.clear(); // nothing left to put in place
            return renamed;
        }
    }
    return stageCopy(from, to, copy);
}

// A move to a new path: a rename where origin and destination share a mount; else a verified
// copy, written to disk, put in place, and the origin taken away.
int Move::toNewPath(const std::string& from, const std::string& to) {
    std::string parent, copy;
    if (int result = stageNewPath(from, to, parent, copy))
        return result;
    if (copy.empty())
        return kOk;
    if (flushCopies() != kOk)
        return notRenamed(from, to, errno);
    int result = placeCopy(copy, parent, from, to);
    return result == kOk ? retire(from) : result;
}

// Puts the verified copy of the origin's entry from in place at to, or, where something stands
// at to, merges with it: a directory on both sides in turn, the same content as moved already.
int Move::placeEntry(const std::string& copied, const std::string& from, const std::string& to) {
    struct stat made, there, original;
    if (!lstatLogged(copied, &made) || !lstatLogged(from, &original))
        return kError;
    Presence at = lstatPresence(to, &there);
    if (at == Presence::Failed)
        return statFailed(to);
    if (at == Presence::Absent) {
        if (renameNoReplace(copied.c_str(), to.c_str()) == 0)
            return kOk;
        if (errno != EEXIST)
            return notRenamed(from, to, errno);
        // Another process put an entry there meanwhile: it is compared like any other.
        if (!lstatLogged(to, &there))
            return kError;
    }
    if (S_ISDIR(made.st_mode) && S_ISDIR(there.st_mode)) {
        int result = reconcile(copied, from, to);
        if (result == kOk)
            merged.push_back({to, original});
        return result;
    }
    if (S_ISDIR(made.st_mode) || S_ISDIR(there.st_mode))
        return conflict(from, to); // a link at the destination is never entered
    Same same = sameContent(copied, to);
    if (same == Same::Failed)
        return kError;
    return same == Same::Yes ? kOk : conflict(from, to);
}

int Move::reconcile(const std::string& copy, const std::string& origin, const std::string& dest) {
    std::vector<std::string> names;
    if (!listed(copy, names))
        return kError;
    for (const std::string& entry : names) {
        int result = placeEntry(copy + "/" + entry, origin + "/" + entry, dest + "/" + entry);
        if (result != kOk)
            return result;
    }
    return kOk;
}

// Whether everything below the directory origin stands at dest with the same content; notes the
// directories on both sides for their times. Failed (logged) when anything could not be read.
Same Move::standsAlready(const std::string& origin, const std::string& dest) {
    std::vector<std::string> names;
    if (!listed(origin, names))
        return Same::Failed;
    for (const std::string& entry : names) {
        std::string from = origin + "/" + entry, to = dest + "/" + entry;
        struct stat original, there;
        if (!lstatLogged(from, &original))
            return Same::Failed;
        Presence at = lstatPresence(to, &there);
        if (at == Presence::Failed) {
            statFailed(to);
            return Same::Failed;
        }
        if (at == Presence::Absent || S_ISDIR(original.st_mode) != S_ISDIR(there.st_mode))
            return Same::No;
        Same same = S_ISDIR(original.st_mode) ? standsAlready(from, to) : sameContent(from, to);
        if (same != Same::Yes)
            return same;
        if (S_ISDIR(original.st_mode))
            merged.push_back({to, original});
    }
    return Same::Yes;
}

// Copies the whole origin once, verifies it, and puts every entry of the copy in place at dest.
int Move::copyAndReconcile(const std::string& origin, const std::string& dest) {
    std::string copy;
    if (int result = stageCopy(origin, dest, copy))
        return result;
    if (flushCopies() != kOk)
        return notRenamed(origin, dest, errno);
    int result = reconcile(copy, origin, dest);
    // The origin loses nothing before what was put in place is on disk.
    if (!workIn(destHome)->syncFileSystem())
        return notRenamed(origin, dest, errno);
    return result;
}

// Moves the entries of the directory origin into the existing directory dest: the whole origin
// is copied and verified once, every entry that dest lacks is renamed into place, and
// directories on both sides are merged in turn. Once all of it stands at dest and is on disk, the
// origin leaves its name in one step. The first entry that differs from what stands at dest stops
// the merge with a conflict: the entries before it (in byte order) stand at dest too, and the
// origin stays whole, so that a later merge counts them as moved. Anything that cannot be read
// or listed on either side stops the merge the same way, with an error.
int Move::merge(const std::string& origin, const std::string& dest, const struct stat& st) {
    merged.clear();
    // A merge cut short after everything was put in place has nothing to copy (nor room to need).
    Same done = standsAlready(origin, dest);
    if (done == Same::Failed)
        return kError;
    if (done == Same::No) {
        merged.clear();
        int result = copyAndReconcile(origin, dest);
        if (result != kOk)
            return result;
    }
    if (retire(origin) != kOk)
        return kError;
    for (const MergedDirectory& directory : merged)
        keepTimes(directory.dest, directory.originStatus);
    keepTimes(dest, st);
    return kOk;
}

int Move::run(const std::string& origin, const std::string& dest, struct stat st) {
    bool link = S_ISLNK(st.st_mode);
    if (!reachedWithoutLinks(originHome, origin) || !reachedWithoutLinks(destHome, dest))
        return kError;
    struct stat there;
    Presence at = lstatPresence(dest, &there);
    if (at == Presence::Failed)
        return statFailed(dest);
    if (at == Presence::Absent) {
        int result = toNewPath(origin, dest);
        if (result == kOk)
            keepTimes(dest, st);
        return result;
    }
    bool directory = !link && S_ISDIR(st.st_mode);
    if (directory && S_ISDIR(there.st_mode))
        return merge(origin, dest, st);
    if (directory || S_ISDIR(there.st_mode))
        return conflict(origin, dest);
    Same same = sameContent(origin, dest);
    if (same == Same::Yes)
        return retire(origin); // moved before, but not yet taken away
    return same == Same::No ? conflict(origin, dest) : kError;
}

// Gives the origin of a move that failed the access and modification times it had before: the
// tools that copied and compared it read it, and a resource that looks used now would never be
// tried again. Only while the same entry stands under its name.
void restoreTimes(const std::string& origin, const struct stat& before) {
    struct stat now;
    if (!lstatOk(origin, &now) || now.st_ino != before.st_ino || now.st_dev != before.st_dev)
        return;
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (ovsys::table().utimensat(AT_FDCWD, origin.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        rh_logger.debugLog("The times of %s stay changed", origin.c_str());
}

// Removes path, which stands with status st, where home's staging directory has no room for a
// work directory (a full file system): a plain file by one unlink; a directory by one rename into
// the existing staging directory, deleted there; else, when not even that is possible, the tree
// is deleted in place. Only that last case may show a partly deleted resource under its name,
// should the deletion be cut short: a full file system without a staging directory leaves no
// room to take a tree away in one step.
int removeWithoutWorkDir(const std::string& path, const struct stat& st, const std::string& home) {
    if (!S_ISDIR(st.st_mode)) {
        if (ovsys::table().unlink(path.c_str()) != 0)
            return notRemoved(path, errno);
        rh_logger.infoLog("The resource %s was removed by one unlink", path.c_str());
        return kOk;
    }
    if (retireIntoStaging(path, home) == 0)
        return kOk;
    if (errno != ENOENT)
        return notRemoved(path, errno);
    rh_logger.infoLog("The resource %s is removed in place: no staging directory can be made",
                      path.c_str());
    return deleteRes(path.c_str());
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
    return moveResWith(originPath, destPath, originHome, destHome, MoveOptions());
}

int moveResWith(const char* originPath, const char* destPath, const char* originHome,
                const char* destHome, const MoveOptions& options) {
    std::string origin = withoutTrailingSlashes(originPath);
    std::string dest = withoutTrailingSlashes(destPath);
    struct stat st;
    Presence present = lstatPresence(origin, &st);
    // Only a truly missing origin is the caller's mistake; anything else is a failure of the
    // file system, logged and reported like any other.
    if (present == Presence::Failed)
        return statFailed(origin);
    ovAssert(present == Presence::Present, "access( origin, F_OK ) == 0", 538, kRepositorySource);
    int result = Move(originHome, destHome, options).run(origin, dest, st);
    if (result != kOk)
        restoreTimes(origin, st);
    return result;
}

struct MoveBatch::State {
    explicit State(const MoveOptions& options) : move(options) {}

    // A move to a new path whose copy waits for the batch's flush.
    struct Member {
        std::string origin, dest, originHome, destHome, parent, copy;
        struct stat st;
        int result;
        bool staged;
    };

    int stage(Member& member);
    void place(std::vector<Member*>& staged);

    Move move;
    std::vector<Member> members;
};

// Carries out the move of member at once, or stages its copy (member.staged): 0, 2 or 8.
int MoveBatch::State::stage(Member& member) {
    move.setHomes(member.originHome, member.destHome);
    if (!reachedWithoutLinks(member.originHome, member.origin) ||
        !reachedWithoutLinks(member.destHome, member.dest))
        return kError;
    struct stat there;
    Presence at = lstatPresence(member.dest, &there);
    if (at == Presence::Failed)
        return statFailed(member.dest);
    if (at == Presence::Present)
        return move.run(member.origin, member.dest, member.st);
    int result = move.stageNewPath(member.origin, member.dest, member.parent, member.copy);
    member.staged = result == kOk && !member.copy.empty();
    return result;
}

// Puts the flushed copies of staged in place, writes each destination directory to disk once,
// and then takes the origins away.
void MoveBatch::State::place(std::vector<Member*>& staged) {
    std::map<std::string, bool> parents; // destination directory: written to disk
    for (Member* member : staged) {
        move.setHomes(member->originHome, member->destHome);
        member->result =
            move.placeCopy(member->copy, member->parent, member->origin, member->dest, false);
        if (member->result == kOk)
            parents[member->parent] = false;
    }
    for (auto& parent : parents)
        parent.second = syncDirectory(parent.first);
    for (Member* member : staged) {
        if (member->result != kOk)
            continue;
        move.setHomes(member->originHome, member->destHome);
        if (!parents[member->parent])
            member->result = notRenamed(member->origin, member->dest, errno);
        else if ((member->result = move.retire(member->origin)) == kOk)
            keepTimes(member->dest, member->st);
    }
}

MoveBatch::MoveBatch(const MoveOptions& options) : state(std::make_unique<State>(options)) {}

// Copies staged but never committed go with the work directories; their origins stay.
MoveBatch::~MoveBatch() = default;

size_t MoveBatch::size() const {
    return state->members.size();
}

int MoveBatch::add(const char* originPath, const char* destPath, const char* originHome,
                   const char* destHome) {
    State::Member member{withoutTrailingSlashes(originPath),
                         withoutTrailingSlashes(destPath),
                         originHome,
                         destHome,
                         "",
                         "",
                         {},
                         kOk,
                         false};
    Presence present = lstatPresence(member.origin, &member.st);
    if (present == Presence::Failed)
        return statFailed(member.origin);
    ovAssert(present == Presence::Present, "access( origin, F_OK ) == 0", 538, kRepositorySource);
    member.result = state->stage(member);
    if (member.result != kOk)
        restoreTimes(member.origin, member.st);
    state->members.push_back(member);
    return member.result;
}

std::vector<int> MoveBatch::commit() {
    std::vector<State::Member*> staged;
    for (State::Member& member : state->members)
        if (member.staged)
            staged.push_back(&member);
    if (!staged.empty() && state->move.flushCopies() != kOk) {
        int error = errno;
        for (State::Member* member : staged)
            member->result = notRenamed(member->origin, member->dest, error);
    } else {
        state->place(staged);
    }
    std::vector<int> results;
    for (State::Member& member : state->members) {
        if (member.result != kOk && member.staged)
            restoreTimes(member.origin, member.st);
        results.push_back(member.result);
    }
    state->members.clear();
    state->move.finish();
    return results;
}

int mountRename(const char* from, const char* to) {
    std::string origin = withoutTrailingSlashes(from);
    std::string target = withoutTrailingSlashes(to);
    return Move(stagingHomeOf(origin), stagingHomeOf(target)).toNewPath(origin, target);
}

int deleteResStaged(const char* pathText, const char* home) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    Presence present = lstatPresence(path, &st);
    if (present != Presence::Present)
        return present == Presence::Absent ? kOk : statFailed(path);
    if (!reachedWithoutLinks(home, path))
        return kError;
    {
        WorkDir dir(home);
        if (dir.ok()) {
            if (ovsys::table().rename(path.c_str(), dir.newEntry().c_str()) != 0)
                return notRemoved(path, errno);
            return kOk; // deleted as dir goes
        }
        // Only a file system without room goes on without a work directory; any other reason
        // (a refused permission, an I/O error) stops the removal with the resource whole.
        int error = dir.error();
        if (error != ENOSPC && error != EDQUOT && error != EMLINK)
            return notRemoved(path, error);
    }
    return removeWithoutWorkDir(path, st, home);
}

int deleteRes(const char* pathText) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    Presence present = lstatPresence(path, &st);
    if (present != Presence::Present)
        return present == Presence::Absent ? kOk : statFailed(path);
    if (!S_ISDIR(st.st_mode))
        return ovsys::table().unlink(path.c_str()) == 0 ? kOk : notRemoved(path, errno);
    // The tree is walked through descriptors opened without following links: a directory that
    // someone turns into a link meanwhile stops the deletion instead of leading it elsewhere.
    Descriptor dir(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (dir.get() < 0)
        return notRemoved(path, errno);
    int result = deleteEntriesAt(dir.get(), path);
    if (result != kOk)
        return result;
    return ovsys::table().rmdir(path.c_str()) == 0 ? kOk : notRemoved(path, errno);
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
    std::vector<std::string> names;
    if (!listed(path, names))
        return -1;
    for (const std::string& entry : names) {
        long size = getSize((path + "/" + entry).c_str(), nullptr);
        if (size < 0)
            return -1;
        total += size;
    }
    return total;
}
