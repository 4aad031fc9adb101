#ifndef REPOSITORYHANDLER_MOVESTEPS_H
#define REPOSITORYHANDLER_MOVESTEPS_H

// The steps that moves, batched moves and removals share (Moving.cpp, MoveBatch.cpp,
// Deleting.cpp, Comparing.cpp).

#include "MoveDelete.h"
#include "OVSyscalls.h"
#include "Staging.h"
#include "TreeCopy.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace moving {

constexpr int kOk = 0;
constexpr int kConflict = 2;
constexpr int kError = 8;

// An array string returned by the path helpers, freed at the end of the scope.
using OwnedString = std::unique_ptr<char[]>;

void logError(const std::string& text);

// Logs text with the errno that caused it (the failing call's own, taken right after it) and
// gives the error result; errno keeps the cause for the caller.
int failed(const std::string& text, int error);

// The stat failure of path that errno tells, logged.
int statFailed(const std::string& path);

// Whether a stop was requested (OVStop.h): then logs that what (a step, as the subject of a
// sentence) was stopped, and leaves EINTR in errno. The loops of merges and comparisons ask
// between entries and pieces; a step given up so fails like any other, every copy kept.
bool stopRequested(const std::string& what);

// path without trailing "/" (a lone "/" stays), so that a link given as "link/" names the link
// itself and is never followed.
std::string withoutTrailingSlashes(const char* path);

// lstat that logs its failure in the words of myStat.
bool lstatLogged(const std::string& path, struct stat* st);

// Gives path (a link itself, not its target) the access and modification times of st. A failure
// is ignored: the data has arrived (or stayed), only its times are off.
void keepTimes(const std::string& path, const struct stat& st);

// The names of the entries of dir in ascending byte order. A listing that fails is logged and
// false: a decision that rests on a listing never takes a failed one for an empty one.
bool listed(const std::string& dir, std::vector<std::string>& names);

// A descriptor opened on path, closed at the end of the scope.
class Descriptor : public treecopy::Fd {
public:
    Descriptor(const std::string& path, int flags)
        : Fd(ovsys::table().open(path.c_str(), flags | O_CLOEXEC, 0)) {}
};

// The outcome of a comparison: a failure to read is no difference (and no sameness either).
enum class Same { Yes, No, Failed };

// Whether a and b, neither a directory, hold the same: regular files with the same bytes, or
// links with the same target. Such an entry at a destination counts as moved there already (a
// move that was interrupted after putting it in place). Failed (logged) when either cannot be read.
Same sameContent(const std::string& a, const std::string& b);

int notRemoved(const std::string& path, int error);

// Writes the entries of dir (a rename into it) to disk. False with errno.
bool syncDirectory(const std::string& dir);

int conflict(const std::string& origin, const std::string& dest);

int notRenamed(const std::string& origin, const std::string& dest, int error);

// Gives the origin of a move that failed the access and modification times it had before: where
// it could not be read without touching them (not the copier's, which reads with O_NOATIME where
// it may), a resource that looks used now would never be tried again. Only while the same entry
// stands under its name.
void restoreTimes(const std::string& origin, const struct stat& before);

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
                                                               : treecopy::Flush::FileSystem}),
          settleOnly(options.settleOnly) {}
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
    // Nothing is copied: a move that needs a copy is a conflict.
    bool settleOnly;
    std::string originHome;
    std::string destHome;
    std::map<std::string, std::unique_ptr<WorkDir>> work;
    std::vector<MergedDirectory> merged;
};

} // namespace moving

#endif
