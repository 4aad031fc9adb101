#ifndef REPOSITORYHANDLER_BALANCER_H
#define REPOSITORYHANDLER_BALANCER_H

// The working parts of one balancing operation (a check, moving off one mount, emptying one).
#include "Balancing.h"
#include "OVMountPointHandler.h"
#include "OVRepositoryHandler.h"

#include <functional>
#include <map>
#include <string>

// The candidates of one scope (a mount, or every mounted mount), oldest first, each offered once
// in an operation. A walk keeps a bounded set; the scope is walked again only when the set is
// used up, keeping sixteen times as many as before (up to kMostCandidates) and passing over what
// it offered already. So an operation that works through P candidates of N resources walks them
// about log16(P / 100) + 1 times (three walks for up to 27,300), not P / 100 times.
class CandidateStream {
public:
    // Gathers up to cap candidates into the set, passing over the paths in skip: the count, or
    // -1 when the scope cannot be walked (a mount gone).
    using Walk = std::function<int(CandidateSet& candidates, int cap, const PathSet* skip)>;

    explicit CandidateStream(Walk walk) : walk(std::move(walk)) {}

    // The next candidate, or null when none is left. Valid until the next call.
    const ResourceEntry* next();
    // Whether no candidate is left (walks when the set is used up).
    bool exhausted();
    // How many candidates the set holds now.
    size_t held() const { return set.size(); }
    // Lets a later walk offer path again: it was used meanwhile, and may still be old enough.
    void again(const std::string& path) {
        offered.erase(path);
        more = true;
    }

private:
    void refill();

    Walk walk;
    CandidateSet set;
    PathSet offered;
    ResourceEntry current;
    int cap = kOldestBatch;
    // Whether the last walk filled its set: more may lie beyond it.
    bool more = true;
};

// One balancing operation: its progress report and the per-resource protocol.
class OVRepositoryHandler::Balancer {
public:
    Balancer(OVRepositoryHandler& repository, bool verbose);
    ~Balancer();
    Balancer(const Balancer&) = delete;
    Balancer& operator=(const Balancer&) = delete;

    void check();
    int moveOff(OVMountPointHandler& mount, int& moved);
    int empty(const char* mountName);

    enum class Outcome { NotLocked, Touched, Gone, Acted };

    void print(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void line(const std::string& text) const;
    // Locks the resource (30 seconds, or one attempt with wait false) into lock; with touchTest,
    // checks that it was not used since it was gathered. Logs and gives up a resource whose lock
    // was not had after a wait.
    Outcome take(const ResourceEntry& entry, bool touchTest, class OVSemaphore& lock, bool wait);
    void giveUp(const ResourceEntry& entry) {
        tally.givenUp += repo.passedOver.insert(entry.path).second ? 1 : 0;
    }
    bool stopping() const;

    OVRepositoryHandler& repo;
    bool verbose;
    // The dirty flag of a resource to be moved could not be set: no more moves.
    bool flagsRefused = false;

    // What the check did for the mount at hand, for its summary.
    struct Tally {
        int moved = 0;
        long double movedBytes = 0;
        int deleted = 0;
        int touched = 0;
        int givenUp = 0;
    };
    Tally tally;

private:
    class MoveRun;

    template <typename Act>
    Outcome withResource(const ResourceEntry& entry, bool touchTest, Act act);
    // Moves the candidates of one gathering off source in batches, target following the
    // placement rules after each batch (-1 when none is left). Whether anything left the mount.
    bool emptyBatches(OVMountPointHandler& source, int& target, const CandidateSet& candidates);
    // Marks entry dirty for its move; wasDirty tells whether it was before. False when the flag
    // could not be set; after a failure to write the flags, always false.
    bool markForMove(const ResourceEntry& entry, bool& wasDirty);
    void checkMount(OVMountPointHandler& mount);
    // Settles every resource flagged dirty by a lookup, and reports what stays dirty.
    void settleDirty();
    // The summary of a mount that needed maintenance, and why it stays overloaded if it does.
    void summarize(OVMountPointHandler& mount, float usedBefore);
    void clearMount(OVMountPointHandler& mount);
    bool deleteOldest(OVMountPointHandler& mount);
    bool deleteEntry(OVMountPointHandler& mount, const ResourceEntry& entry);
    bool noRoom() const;
    CandidateStream& moveCandidates(OVMountPointHandler& mount);

    // The oldest resources of each mount, and of the whole repository, as far as used so far.
    std::map<const OVMountPointHandler*, CandidateStream> mountCandidates;
    CandidateStream globalCandidates;
};

#endif
