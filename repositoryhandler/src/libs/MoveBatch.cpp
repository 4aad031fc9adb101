// Moves that share their flushes: copies staged and checked one by one, written to disk together,
// put in place together, and only then the origins taken away.
#include "MoveSteps.h"

#include "OVException.h"
#include "OVPaths.h"
#include "RepositoryStatus.h"

using namespace moving;

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
    std::map<std::string, int> parents; // destination directory: 0 once on disk, else the errno
    for (Member* member : staged) {
        move.setHomes(member->originHome, member->destHome);
        member->result =
            move.placeCopy(member->copy, member->parent, member->origin, member->dest, false);
        if (member->result == kOk)
            parents[member->parent] = 0;
    }
    for (auto& parent : parents)
        parent.second = syncDirectory(parent.first) ? 0 : errno;
    for (Member* member : staged) {
        if (member->result != kOk)
            continue;
        move.setHomes(member->originHome, member->destHome);
        if (int error = parents[member->parent])
            member->result = notRenamed(member->origin, member->dest, error);
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

bool MoveBatch::pending(size_t index) const {
    return index < state->members.size() && state->members[index].staged;
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
    if (present != Presence::Failed)
        ovAssert(present == Presence::Present, "access( origin, F_OK ) == 0", 538,
                 kRepositorySource);
    member.result = present == Presence::Failed ? statFailed(member.origin) : state->stage(member);
    if (member.result != kOk && present == Presence::Present)
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
