// Moving the oldest resources off an overloaded mount, and every resource off a mount being
// emptied, in batches that share their flushes and their dirty-flag writes. A batch locks its
// members one by one, stages and checks their copies on the target, then flags them together,
// writes the copies to disk together, puts them in place and takes the origins away, unflags them
// together and releases their locks. A batch takes members for at most kBatchTime and
// kBatchMoves, so that a lookup of a member waits briefly; it takes no lock it would have to wait
// for while it holds others (it is committed first), and it stops taking members once the mount
// would fall below its clean limit or the target rose to its own.
#include "Balancer.h"

#include "MoveDelete.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"

#include <chrono>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A lookup of a member waits for the batch; the more members, the more lookups meet one. With 32
// members taken within 100 ms about 1 % of an application's lookups of the moving resources
// waited, which made its 99th percentile 2 to 12 times that without a check; 8 within 50 ms keep
// it within 1.2 times and cost a check a third more time in flushes.
constexpr size_t kBatchMoves = 8;
constexpr auto kBatchTime = std::chrono::milliseconds(50);

// The text of ctime, newline included, for a time; a placeholder for a time it cannot show.
std::string timeText(time_t when) {
    char buffer[64];
    if (ctime_r(&when, buffer) == nullptr)
        return "(unknown)\n";
    return buffer;
}

// The bytes available on the file system at path; 0 when it cannot be queried.
long double availableBytes(const std::string& path) {
    struct statvfs fs;
    if (ovsys::table().statvfs(path.c_str(), &fs) != 0)
        return 0;
    return static_cast<long double>(fs.f_bavail) * (fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize);
}

} // namespace

// One batch of moves from one mount to one target: moving off an overloaded mount (its oldest,
// each unused since gathered, until it is below its clean limit) or emptying a mount (every
// resource, whatever its age).
class OVRepositoryHandler::Balancer::MoveRun {
public:
    MoveRun(Balancer& balancer, OVMountPointHandler& from, OVMountPointHandler& to, bool emptying)
        : b(balancer), from(from), to(to), emptying(emptying),
          batch(balancer.repo.getMoveOptions()), fromBefore(availableBytes(from.getMountPath())) {}

    // Gone: it left the mount meanwhile (moved or removed by another process).
    enum class Offer { Taken, Passed, Touched, Gone, Busy };

    // Locks entry, checks it and adds its move. Busy: its lock is held elsewhere and this batch
    // holds locks already; commit first and offer it again to a new batch.
    Offer offer(const ResourceEntry& entry);
    // Whether the batch may take another member.
    bool open() const;
    // Completes the batch; the number of resources moved.
    int commit();
    bool empty() const { return members.empty(); }

private:
    struct Member {
        ResourceEntry entry;
        std::unique_ptr<OVSemaphore> lock;
        int result;
        bool wasDirty;
        // Its place in the batch; -1 when it was never added.
        long index;
        // Flagged for this batch's commit, to be unflagged once it is settled.
        bool flagged;
        // What its copy took on the target.
        long double bytes;
    };

    void flagAndCommit();
    void report(const Member& member);

    Balancer& b;
    OVMountPointHandler& from;
    OVMountPointHandler& to;
    bool emptying;
    MoveBatch batch;
    std::vector<Member> members;
    Clock::time_point started = Clock::now();
    // What the target's copies took so far: what the origins will free.
    long double staged = 0;
    long double fromBefore;
    bool targetFilled = false;
};

OVRepositoryHandler::Balancer::MoveRun::Offer
OVRepositoryHandler::Balancer::MoveRun::offer(const ResourceEntry& entry) {
    auto lock = std::make_unique<OVSemaphore>(
        resourceLockName(b.repo.repositoryPath, entry.resourceId), b.repo.lockDir, true);
    Outcome outcome = b.take(entry, !emptying, *lock, members.empty());
    if (outcome == Outcome::NotLocked)
        return members.empty() ? Offer::Passed : Offer::Busy;
    if (outcome == Outcome::Gone)
        return Offer::Gone;
    if (outcome == Outcome::Touched) {
        b.print("Resource touched while checking: %s\n", entry.path.c_str());
        return Offer::Touched;
    }
    if (outcome != Outcome::Acted)
        return Offer::Passed;
    // The target was chosen before; switched off or unmounted since, it would hold the resource
    // where no lookup finds it.
    if (has(to.checkStatus(true), MOUNT_UNMOUNTED)) {
        rh_logger.debugLog("The target mount %s is gone", to.getMountPath().c_str());
        targetFilled = true;
        return Offer::Passed;
    }
    std::string source = from.getMountPath() + entry.relativePath;
    std::string destination = to.getMountPath() + entry.relativePath;
    if (emptying) {
        // Emptying takes whatever stands on the mount: what left it meanwhile is what emptying
        // wants; what cannot be queried has not left it, and stays.
        struct stat st;
        Presence here = lstatPresence(source, &st);
        if (here == Presence::Failed) {
            logStatFailure(source, errno);
            b.giveUp(entry);
        }
        if (here != Presence::Present)
            return here == Presence::Absent ? Offer::Gone : Offer::Passed;
        rh_logger.infoLog("EmptyMount moves %s to %s", source.c_str(), destination.c_str());
    } else {
        std::string when = timeText(entry.accessTime);
        rh_logger.infoLog("CheckOverload moves %s to %s", source.c_str(), destination.c_str());
        rh_logger.infoLog("CheckOverload: Last access/modification time of the resource: %s",
                          when.c_str());
        b.print("CheckOverload moves %s to %s\n", source.c_str(), destination.c_str());
        b.print("CheckOverload: Last access/modification time of the resource: %s\n", when.c_str());
    }
    Member member{entry, std::move(lock), RES_OK, false, -1, false, 0};
    const char* id = entry.resourceId.c_str();
    member.wasDirty = b.repo.dirtyFlags.isDirty(id);
    // Flags that cannot be read could not be written either: nothing is moved without its flag.
    if (!b.repo.dirtyFlags.lastAnswerCertain())
        b.flagsRefused = true;
    struct stat there;
    Presence found = lstatPresence(destination, &there);
    // A merge is carried out when added: its flag must be set first (and stays until a lookup
    // finds the resource in one place). One that cannot be queried is never unflagged either.
    if (b.flagsRefused || (found != Presence::Absent && !b.markForMove(entry, member.wasDirty))) {
        b.giveUp(entry);
        member.result = RES_ERROR;
        member.wasDirty = true;
    } else {
        long double before = availableBytes(to.getMountPath());
        member.index = static_cast<long>(batch.size());
        member.result = batch.add(source.c_str(), destination.c_str(), from.getMountPath().c_str(),
                                  to.getMountPath().c_str());
        member.bytes = std::max(0.0L, before - availableBytes(to.getMountPath()));
        staged += member.bytes;
        if (found != Presence::Absent)
            member.wasDirty = true;
    }
    members.push_back(std::move(member));
    targetFilled =
        targetFilled || has(to.checkStatus(false), MOUNT_UNMOUNTED | MOUNT_CLEAN | MOUNT_FULL);
    return Offer::Taken;
}

bool OVRepositoryHandler::Balancer::MoveRun::open() const {
    if (members.empty())
        return true;
    return members.size() < kBatchMoves && Clock::now() - started < kBatchTime && !targetFilled &&
           (emptying || has(from.statusAfterFreeing(staged), MOUNT_CLEAN)) && !b.stopping();
}

// Flags the members whose copies are staged, commits, and unflags them once each stands in one
// place. A name with a line feed cannot be flagged (and no lookup accepts it): it is moved
// without a flag, as ever.
void OVRepositoryHandler::Balancer::MoveRun::flagAndCommit() {
    std::vector<std::string> flag;
    for (Member& member : members) {
        bool pending = member.index >= 0 && batch.pending(static_cast<size_t>(member.index));
        member.flagged =
            pending && !member.wasDirty && member.entry.resourceId.find('\n') == std::string::npos;
        if (member.flagged)
            flag.push_back(member.entry.resourceId);
    }
    // Without the flags a move cut short after its copy took the name would leave two copies no
    // lookup settles: the staged copies are discarded instead (with the batch), the origins stay.
    if (!flag.empty() && (b.flagsRefused || !b.repo.dirtyFlags.setDirty(flag, true))) {
        b.flagsRefused = true;
        for (Member& member : members)
            if (member.index >= 0 && batch.pending(static_cast<size_t>(member.index)))
                member.result = RES_ERROR;
        return;
    }
    std::vector<int> results = batch.commit();
    std::vector<std::string> unflag;
    for (Member& member : members) {
        if (member.index < 0 || static_cast<size_t>(member.index) >= results.size())
            continue;
        member.result = results[static_cast<size_t>(member.index)];
        std::string destination = to.getMountPath() + member.entry.relativePath;
        struct stat there;
        // A conflict keeps both copies and the flag; a failed move put nothing in place, unless
        // its destination cannot be queried.
        if (member.flagged &&
            (member.result == RES_OK || (!has(member.result, RES_CONFLICT) &&
                                         lstatPresence(destination, &there) == Presence::Absent)))
            unflag.push_back(member.entry.resourceId);
    }
    b.repo.dirtyFlags.setDirty(unflag, false);
}

void OVRepositoryHandler::Balancer::MoveRun::report(const Member& member) {
    if (has(member.result, RES_CONFLICT)) {
        b.line("Conflict prevented resource move");
        b.giveUp(member.entry);
    } else if (has(member.result, RES_ERROR)) {
        b.line("Move failed (Maybe out of space?)");
        rh_logger.debugLog(emptying ? "Nospaceleft? EmptyMount couldn't move"
                                    : "Nospaceleft? checkoverload couldn't move");
        b.giveUp(member.entry);
    } else {
        b.line("Move succeeded");
        clearEmptyHash((from.getMountPath() + member.entry.relativePath).c_str());
    }
}

int OVRepositoryHandler::Balancer::MoveRun::commit() {
    if (members.empty())
        return 0;
    flagAndCommit();
    int moved = 0;
    for (const Member& member : members) {
        report(member);
        moved += member.result == RES_OK ? 1 : 0;
        b.tally.movedBytes += member.result == RES_OK ? member.bytes : 0;
    }
    b.tally.moved += moved;
    // Some file systems (xfs) free the blocks of removed files in the background, shortly after
    // the removal returned. Until they show, the fill level would make the check move one batch
    // more than needed: wait a little (at most 50 ms) while the origin's space is still as before.
    for (int attempt = 0;
         moved > 0 && !emptying && attempt < 5 && availableBytes(from.getMountPath()) <= fromBefore;
         ++attempt) {
        struct timespec pause = {0, 10 * 1000 * 1000};
        ovsys::table().nanosleep(&pause, nullptr);
    }
    members.clear(); // releases the locks, after the flags are as they should be
    return moved;
}

int OVRepositoryHandler::Balancer::moveOff(OVMountPointHandler& mount, int& moved) {
    int target = repo.getActualMountPointForMove(&mount);
    if (target < 0)
        return 1;
    rh_logger.debugLog("CheckOverload tries to move");
    line("CheckOverload tries to move");
    CandidateStream& candidates = moveCandidates(mount);
    if (candidates.exhausted()) {
        rh_logger.debugLog("no old resource found");
        print("no old resource found on mount %s\n", mount.getMountPath().c_str());
        return 1;
    }
    // Ends the handling of the mount when this many candidates in a row could not be moved: a
    // lasting failure (a full or failing target) is not tried on every resource of the mount.
    int failedInARow = 0;
    ResourceEntry waiting; // a candidate whose lock a batch could not take at once
    bool hasWaiting = false;
    while (has(mount.getStatus(), MOUNT_CLEAN) && target >= 0 && !stopping() && !flagsRefused &&
           failedInARow < kOldestBatch) {
        MoveRun run(*this, mount, *repo.mounts[static_cast<size_t>(target)], false);
        int tried = 0;
        while (run.open()) {
            const ResourceEntry* entry = hasWaiting ? &waiting : candidates.next();
            if (entry == nullptr)
                break;
            ResourceEntry offered = *entry;
            MoveRun::Offer result = run.offer(offered);
            if (result == MoveRun::Offer::Touched)
                candidates.again(offered.path);
            hasWaiting = result == MoveRun::Offer::Busy;
            if (hasWaiting) {
                waiting = offered;
                break;
            }
            ++tried;
        }
        if (tried == 0 && !hasWaiting)
            break; // no candidate left
        bool acted = !run.empty();
        int now = run.commit();
        moved += now;
        failedInARow = now > 0 ? 0 : failedInARow + tried;
        if (!acted)
            continue;
        target = repo.getActualMountPointForMove(&mount);
        print("(moveLimit=%i, used=%f)\n", mount.getMoveLimit(), mount.getUsedPercentage());
        print("(cleanLimit=%i: moving off the mount ends below it)\n", mount.getCleanLimit());
    }
    if (failedInARow >= kOldestBatch)
        rh_logger.debugLog("Nothing of the last %d candidates could be moved off %s", failedInARow,
                           mount.getMountPath().c_str());
    return 0;
}

bool OVRepositoryHandler::Balancer::emptyBatches(OVMountPointHandler& source, int& target,
                                                 const CandidateSet& candidates) {
    bool progress = false;
    auto next = candidates.begin();
    ResourceEntry waiting; // a candidate whose lock a batch could not take at once
    bool hasWaiting = false;
    while ((hasWaiting || next != candidates.end()) && target >= 0 && !stopping() &&
           !flagsRefused) {
        MoveRun run(*this, source, *repo.mounts[static_cast<size_t>(target)], true);
        while (run.open() && (hasWaiting || next != candidates.end())) {
            ResourceEntry entry = hasWaiting ? waiting : *next++;
            MoveRun::Offer result = run.offer(entry);
            hasWaiting = result == MoveRun::Offer::Busy;
            if (hasWaiting) {
                waiting = entry;
                break;
            }
            progress = progress || result == MoveRun::Offer::Gone;
        }
        bool acted = !run.empty();
        progress = run.commit() > 0 || progress;
        if (acted)
            target = repo.getActualMountPointForMove(&source);
    }
    return progress;
}
