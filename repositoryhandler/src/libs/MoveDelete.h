#ifndef REPOSITORYHANDLER_MOVEDELETE_H
#define REPOSITORYHANDLER_MOVEDELETE_H

#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

// Moving and deleting resources (directory trees or single files) between and on mounts. Results:
// 0 done, 2 conflict (a file of the origin exists at the destination), 8 a file-system operation
// failed (logged with the path and the failing call's errno; a failed copy with the entry and the
// step that failed). Only ENOENT (and ENOTDIR) mean that nothing stands at a path: an entry or
// listing that cannot be read stops the step with 8 and every copy whole, never counts as absent
// or empty. Nothing is ever put in place over an entry that stands at the destination.

// Moves origin to the new path dest. An existing destination directory is merged entry by entry.
// Where origin and dest's directory lie on one mount, a move to a new path is one rename;
// otherwise a move is a verified copy (TreeCopy.h): the copy takes dest's name only when
// complete, verified and on disk; only then is the origin taken away, by one rename into a
// staging directory (see Staging.h), and deleted there. An entry that stands at the destination
// with the same content as the origin's counts as moved, so that a move cut short at any instant
// is completed by the next one; only entries that differ (or a link at the destination) are a
// conflict, which stops the merge with the origin whole (the entries before the conflict stand at
// the destination too). The staging directories are found above origin and dest (stagingHomeOf).
// A move that fails (2 or 8) gives the origin back the access and modification times it had
// (the comparisons of a merge read it). Throws OVAssertionException when origin does not exist
// (ENOENT); any other failure to query it gives 8.
int moveRes(const char* origin, const char* dest);

// moveRes with the homes of the staging directories named: originHome on the origin's file
// system, destHome on the destination's (the tops of their mounts, or the legacy directory). A
// path that passes a symbolic link below its home is refused (8, logged).
int moveResBetween(const char* origin, const char* dest, const char* originHome,
                   const char* destHome);

// How the copies of moves are checked and flushed (see TreeCopy.h).
struct MoveOptions {
    // After the flush, drop the copy's pages and hash it again from the device.
    bool verifyOnDevice = false;
    // Flush each copied file and directory instead of the destination's whole file system.
    bool flushFiles = false;
    // Only settle what stands already: a move that would have to copy anything (a destination
    // that lacks an entry of the origin) is refused as a conflict before anything is written, so
    // that it needs no room; one whose every entry stands at the destination takes the origin
    // away. For a full destination, where identical copies must still be settled.
    bool settleOnly = false;
};

// moveResBetween with options.
int moveResWith(const char* origin, const char* dest, const char* originHome, const char* destHome,
                const MoveOptions& options);

// Several moves that share their flushes: each move to a new path is copied and verified when
// added; commit() then makes all copies durable at once, renames them into place, writes each
// destination directory once, and takes the origins away. Every member keeps the guarantee of a
// single move: its copy is on disk before its name appears, and its name is on disk before its
// origin leaves. A move onto an existing destination (a merge, a conflict) or within one mount
// (a rename) is carried out when added, and its result is final then.
class MoveBatch {
public:
    explicit MoveBatch(const MoveOptions& options = MoveOptions());
    ~MoveBatch();
    MoveBatch(const MoveBatch&) = delete;
    MoveBatch& operator=(const MoveBatch&) = delete;

    // Adds the move of origin to dest, homes as for moveResBetween. The result of a move carried
    // out at once; for a staged move 0 (its final result comes from commit) or 8 when its copy
    // failed (nothing is put in place, the origin stays).
    int add(const char* origin, const char* dest, const char* originHome, const char* destHome);
    // Puts every staged move in place; the results of the moves added, in the order added (the
    // results of moves carried out when added among them). The batch is empty afterwards.
    std::vector<int> commit();
    size_t size() const;
    // Whether the move added as the index-th (from 0) waits for commit (its copy is staged).
    bool pending(size_t index) const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// Copies from to the new path to (checked as in TreeCopy.h, written to disk), and takes the
// origin away once the copy is in place; a copy that fails or differs is discarded and the origin
// stays. The
// hash directories above to are made with the owner, group and mode of the level above them.
// 0 on success, 2 when another process put something else at to meanwhile, 8 on failure.
int mountRename(const char* from, const char* to);

// Removes path (a resource) by renaming it into home's staging directory first, so that its name
// never shows a partly deleted resource, then deletes it there. 0 also when path does not exist;
// 8 (logged) when it cannot be taken away or passes a symbolic link below home. On a file system
// too full for a work directory, a plain file is unlinked, a directory renamed into an existing
// staging directory under a work directory's name; without one, it is deleted in place (logged at
// info level), the one case where a removal cut short leaves part of a resource under its name.
int deleteResStaged(const char* path, const char* home);

// Removes the file or directory tree path. Symbolic links are removed as links, never followed.
int deleteRes(const char* path);

// The 512-byte blocks allocated to path and everything below it (links counted as links), or -1
// when an entry cannot be queried or a directory cannot be listed (logged). st: the already known
// status of path, or null.
long getSize(const char* path, struct stat* st);

#endif
