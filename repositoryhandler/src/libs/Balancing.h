#ifndef REPOSITORYHANDLER_BALANCING_H
#define REPOSITORYHANDLER_BALANCING_H

#include <set>
#include <string>
#include <time.h>
#include <unordered_set>

// Overload balancing: a mount whose fill level reached its move limit gets its least recently
// used resources moved to mounts with room until it is below its clean limit; a clearable
// repository without room deletes the oldest resources of the whole repository first. Age is the
// last use time of the resource's own directory entry (the later of access and modification
// time), read without following a link.

// One candidate resource of a balancing walk.
struct ResourceEntry {
    // The mount's path + relativePath.
    std::string path;
    // "/" + h1 + "/" + h2 + "/" + h3 + "/" + resourceId: the resource's place below any mount.
    std::string relativePath;
    // The resource identifier; it names the resource's lock and its dirty flag.
    std::string resourceId;
    // The last use time when the resource was gathered.
    time_t accessTime;
};

// Candidate order: oldest first; entries of equal age in descending path order.
struct ltres {
    bool operator()(const ResourceEntry& a, const ResourceEntry& b) const;
};

using CandidateSet = std::set<ResourceEntry, ltres>;

// Paths of resources a walk passes over: those offered by earlier walks of the same operation.
using PathSet = std::unordered_set<std::string>;

// The most candidates one gathering keeps: per mount for moving, over the whole repository for
// deleting, and for emptying a mount.
constexpr int kOldestBatch = 100;
constexpr int kRandomBatch = 1000;
// The most candidates a walk keeps when an operation gathers again after using up what it had
// (each time sixteen times as many, up to this bound: some 15 MB).
constexpr int kMostCandidates = 102400;

#endif
