#include "MoveSteps.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "RepositoryStatus.h"

#include <cstring>

namespace moving {

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
    // The hash directory made for to may have been taken away since, by another process (of
    // this host or another) that removed it as empty: it is made again once.
    bool renamed = renameNoReplace(from.c_str(), to.c_str()) == 0 ||
                   (errno == ENOENT && mkdirsInherited(parent.c_str()) == 0 &&
                    renameNoReplace(from.c_str(), to.c_str()) == 0);
    if (!renamed)
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
namespace {

// The directory at path, for the calls on its entries: path itself while short; else, so that a
// merge reaches entries at any depth, "/proc/self/fd/<n>" of a descriptor opened on it (path is
// then at most this limit plus one name, well within what a call takes).
class Reached {
public:
    explicit Reached(const std::string& path)
        : fd(path.size() <= kShort
                 ? -1
                 : ovsys::table().open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
                                       0)),
          usable(fd.get() < 0 ? path : "/proc/self/fd/" + std::to_string(fd.get())) {}
    const std::string& path() const { return usable; }
    // Whether a path names an entry below such a descriptor, which is gone once the walk leaves
    // it: nothing may be noted by that name for later (times are set at once instead).
    static bool passing(const std::string& path) { return path.rfind("/proc/self/fd/", 0) == 0; }

private:
    static constexpr size_t kShort = 2048;
    treecopy::Fd fd;
    std::string usable;
};

// A move refused because it would have to copy onto a destination that takes nothing.
int needsRoom(const std::string& origin, const std::string& dest) {
    logError("The resource \"" + origin + "\" is not moved to \"" + dest +
             "\": it would need a copy, and the destination has no room for one.");
    return kConflict;
}

} // namespace

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
        Reached copy(copied), origin(from), dest(to);
        int result = reconcile(copy.path(), origin.path(), dest.path());
        if (result == kOk && Reached::passing(to))
            keepTimes(to, original); // its name does not outlast this walk: the times go now
        else if (result == kOk)
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
        // Given up between entries, the merge is one cut short: the entries placed so far stand
        // whole at dest, the origin stays whole, and the next merge completes it.
        if (stopRequested("The merge of \"" + origin + "\" into \"" + dest + "\""))
            return kError;
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
        if (stopRequested("The comparison of \"" + origin + "\" with \"" + dest + "\""))
            return Same::Failed;
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
        Same same = Same::No;
        if (S_ISDIR(original.st_mode)) {
            Reached deeperOrigin(from), deeperDest(to);
            same = standsAlready(deeperOrigin.path(), deeperDest.path());
        } else {
            same = sameContent(from, to);
        }
        if (same != Same::Yes)
            return same;
        if (S_ISDIR(original.st_mode) && Reached::passing(to))
            keepTimes(to, original);
        else if (S_ISDIR(original.st_mode))
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
    if (done == Same::No && settleOnly)
        return needsRoom(origin, dest);
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
    if (at == Presence::Absent && settleOnly)
        return needsRoom(origin, dest);
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

} // namespace moving

using namespace moving;

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

int mountRename(const char* from, const char* to) {
    std::string origin = withoutTrailingSlashes(from);
    std::string target = withoutTrailingSlashes(to);
    return Move(stagingHomeOf(origin), stagingHomeOf(target)).toNewPath(origin, target);
}
