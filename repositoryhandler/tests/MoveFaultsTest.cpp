// Moves, merges, take-overs and removals cut short or failing at every file-system call in turn,
// run side by side in several processes, and with odd names: a lookup that answers 0 always gives
// the whole resource, the next lookups settle it, and the staging directories empty.
#include "MoveDelete.h"
#include "OVException.h"
#include "OVStop.h"
#include "RepositoryStatus.h"
#include "Staging.h"
#include "TwoMounts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Owned = std::unique_ptr<char[]>;

const std::vector<std::string> kMerged = {"d/a", "d/b", "d/s/x", "d/s/w", "d/z"};
const std::vector<std::string> kLegacyTree = {"t/a", "t/s/x"};

// The resources of a sweep: "d" dirty with copies on both mounts, "t" in the legacy directory.
void makeSweepResources(TwoMounts& r) {
    makeTree(parentOf(r.on(r.m0, "d")), {"d/a", "d/s/x", "d/z"});
    makeTree(parentOf(r.on(r.m1, "d")), {"d/b", "d/s/w"});
    r.handler()->getDirtyFlags().setDirty("d", true);
    makeTree(r.legacy, kLegacyTree);
}

// A killed or failing process leaves its lock files (their documented recovery is by hand).
void removeLockFiles() {
    for (const auto& entry : std::filesystem::directory_iterator(getenv("LOCK_VAR")))
        std::filesystem::remove(entry.path());
}

} // namespace

namespace {

// The n-th call of rename, renameNoReplace, unlink, unlinkat, rmdir or mkdir kills the process,
// fails with EIO, or goes through after requesting a stop as a signal handler would.
enum class Trip { Kill, Fail, Stop };
int callsLeft = 0;
Trip trip = Trip::Fail;
bool tripped() {
    if (callsLeft <= 0 || --callsLeft != 0)
        return false;
    if (trip == Trip::Kill)
        raise(SIGKILL);
    if (trip == Trip::Stop) {
        ovstop::request(SIGTERM);
        return false;
    }
    errno = EIO;
    return true;
}
int trippingRename(const char* a, const char* b) {
    return tripped() ? -1 : ovsys::real().rename(a, b);
}
int trippingUnlink(const char* a) {
    return tripped() ? -1 : ovsys::real().unlink(a);
}
int trippingUnlinkAt(int fd, const char* a, int flags) {
    return tripped() ? -1 : ovsys::real().unlinkat(fd, a, flags);
}
int trippingRmdir(const char* a) {
    return tripped() ? -1 : ovsys::real().rmdir(a);
}
int trippingMkdir(const char* a, mode_t m) {
    return tripped() ? -1 : ovsys::real().mkdir(a, m);
}
// The placing rename goes on to the one in place before (which may pretend other file systems).
int (*placing)(const char*, const char*) = nullptr;
int trippingPlacing(const char* a, const char* b) {
    return tripped() ? -1 : placing(a, b);
}

// Puts the tripping calls in place while it lives; the n-th of them trips.
class Tripwire {
public:
    Tripwire(int n, Trip how) {
        calls.table().rename = trippingRename;
        calls.table().unlink = trippingUnlink;
        calls.table().unlinkat = trippingUnlinkAt;
        calls.table().rmdir = trippingRmdir;
        calls.table().mkdir = trippingMkdir;
        placing = calls.table().renameNoReplace;
        calls.table().renameNoReplace = trippingPlacing;
        callsLeft = n;
        trip = how;
    }
    ~Tripwire() {
        callsLeft = 0;
        ovstop::reset();
    }

private:
    ScopedSyscalls calls;
};

// Runs body in a child killed at the n-th mutating call; -1 when it was killed.
int killedAt(int n, const std::function<void()>& body) {
    return runInChild([&] {
        Tripwire wire(n, Trip::Kill);
        body();
        return 0;
    });
}

} // namespace

// Kills a dirty merge, a take-over and a removal at every mutating call in turn: a lookup with
// status 0 must always give the whole resource, and the next lookups must settle it.
TEST(MoveFaults, KilledAtEveryCallNeverServesHalf) {
    const std::vector<std::string>& merged = kMerged;
    const std::vector<std::string>& legacyTree = kLegacyTree;
    const std::vector<std::string> removed = {"r/a", "r/s/x"};
    const std::vector<std::string> takenOver = {"u/a", "u/s/x"};
    for (int n = 1; n < 200; ++n) {
        TwoMounts r;
        makeSweepResources(r);
        makeTree(parentOf(r.on(r.m0, "r")), removed);
        // A take-over cut short before: the legacy copy and a whole copy on m0.
        makeTree(r.legacy, takenOver);
        makeTree(parentOf(r.on(r.m0, "u")), takenOver);
        int result = killedAt(n, [&] {
            Owned a(r.handler()->getLocation("d", nullptr, false, false));
            Owned b(r.handler()->getLocation("t", nullptr, false, false));
            Owned c(r.handler()->getLocation("u", nullptr, false, false));
            r.handler()->removeResource("r"); // its lock file stays when killed: last
        });
        if (result == 0)
            break;
        removeLockFiles();
        // Whatever bears the name u is whole, also the legacy copy that a full repository uses.
        EXPECT_TRUE(!present(r.legacy + "/u") || holdsTree(r.legacy, takenOver)) << "n=" << n;
        for (int round = 0; round < 2; ++round) {
            int status = -1;
            std::string u = r.lookUp("u", status);
            EXPECT_TRUE(status == RES_OK && holdsTree(parentOf(u), takenOver)) << "n=" << n;
            std::string d = r.lookUp("d", status);
            if (status == RES_OK) {
                EXPECT_TRUE(holdsTree(parentOf(d), merged)) << "n=" << n << " half d at " << d;
            } else {
                EXPECT_TRUE(round == 0 && status == RES_DIRTY) << "n=" << n << " d " << status;
            }
            std::string t = r.lookUp("t", status);
            EXPECT_EQ(status, RES_OK) << "n=" << n;
            if (status == RES_OK) {
                EXPECT_TRUE(holdsTree(parentOf(t), legacyTree)) << "n=" << n << " half t " << t;
            }
        }
        int status = -1;
        std::string rr = r.lookUp("r", status);
        if (status == RES_OK) {
            EXPECT_TRUE(holdsTree(parentOf(rr), removed)) << "n=" << n << " half r " << rr;
        } else {
            EXPECT_EQ(status, RES_NOT_FOUND) << "n=" << n;
        }
        EXPECT_EQ(r.handler()->removeResource("t"), RES_OK) << "n=" << n;
        for (const std::string& m : {r.m0, r.m1, r.legacy})
            EXPECT_EQ(removeStagingLeftovers(m) >= 0 && !present(m + "/" + kStagingName), true)
                << "n=" << n << " staging stays in " << m;
    }
}

// The n-th mutating call fails, then requests a stop: no lookup may report 0 with a half copy.
TEST(MoveFaults, FailingAtEveryCallNeverServesHalf) {
    const std::vector<std::string>& merged = kMerged;
    const std::vector<std::string>& legacyTree = kLegacyTree;
    Trip how = Trip::Fail;
    int stoppedLookups = 0;
    for (int n = 1; n < 200; ++n) {
        TwoMounts r;
        makeSweepResources(r);
        int left = -1;
        {
            Tripwire wire(n, how);
            int status = -1;
            std::string d;
            try {
                d = r.lookUp("d", status);
            } catch (const OVException&) {
                // A failed write of the dirty flags asserts: no subject here.
            }
            if (status == RES_OK) {
                EXPECT_TRUE(holdsTree(parentOf(d), merged)) << "n=" << n << " half d at " << d;
            }
            stoppedLookups += how == Trip::Stop && status != RES_OK ? 1 : 0;
            std::string t = r.lookUp("t", status);
            if (status == RES_OK) {
                EXPECT_TRUE(holdsTree(parentOf(t), legacyTree)) << "n=" << n << " half t " << t;
            }
            left = callsLeft;
        }
        EXPECT_TRUE(how == Trip::Fail || std::filesystem::is_empty(getenv("LOCK_VAR")))
            << "n=" << n << " left a lock file";
        // A take-over that failed once its copy stood leaves two copies, flagged.
        bool twoOfT =
            present(r.legacy + "/t") && (present(r.on(r.m0, "t")) || present(r.on(r.m1, "t")));
        EXPECT_TRUE(!twoOfT || r.handler()->getDirtyFlags().isDirty("t")) << "n=" << n;
        removeLockFiles();
        for (int round = 0; round < 2; ++round) {
            int status = -1;
            std::string d = r.lookUp("d", status);
            if (status == RES_OK) {
                EXPECT_TRUE(holdsTree(parentOf(d), merged)) << "n=" << n << " after, d " << d;
            }
            std::string t = r.lookUp("t", status);
            if (status == RES_OK) {
                EXPECT_TRUE(holdsTree(parentOf(t), legacyTree)) << "n=" << n << " after, t " << t;
            } else {
                EXPECT_EQ(round, 0) << "n=" << n << " t status " << status;
            }
        }
        if (left > 0 && how == Trip::Fail) {
            how = Trip::Stop; // every call failed in turn: now a stop at each
            n = 0;
        } else if (left > 0) {
            break;
        }
    }
    EXPECT_GT(stoppedLookups, 0);
}

// Processes that remove and merge different resources on the same mounts at the same time share
// the staging directories: none may fail or lose the other's work.
TEST(MoveFaults, ConcurrentMoversOnOneMount) {
    TwoMounts r;
    std::vector<pid_t> children;
    for (int k = 0; k < 3; ++k) {
        children.push_back(startChild([&r, k] {
            OVRepositoryHandler* handler = r.handler();
            for (int i = 0; i < 60; ++i) {
                std::string name = "p" + std::to_string(k) + "-" + std::to_string(i);
                int status = -1;
                makeTree(parentOf(r.on(r.m0, name)), {name + "/a", name + "/s/x"});
                makeTree(parentOf(r.on(r.m1, name)), {name + "/b"});
                handler->getDirtyFlags().setDirty(name.c_str(), true);
                std::string found = r.lookUp(name.c_str(), status);
                check(status == RES_OK &&
                          holdsTree(parentOf(found), {name + "/a", name + "/s/x", name + "/b"}),
                      name + " merged, status " + std::to_string(status));
                int removed = handler->removeResource(name.c_str());
                check(removed == RES_OK, name + " removed: " + std::to_string(removed));
            }
            return childFailures();
        }));
    }
    for (pid_t child : children)
        EXPECT_EQ(waitForChild(child), 0);
    for (const std::string& m : {r.m0, r.m1})
        EXPECT_FALSE(present(m + "/" + kStagingName)) << m;
}

// Odd names as resources and as entries: taken over, merged and removed like any other.
TEST(MoveFaults, OddNamesMoveAndGo) {
    const std::vector<std::string> names = {"-rf",
                                            "--",
                                            "-",
                                            " sp ace ",
                                            "back\\slash",
                                            "\xff\xfe",
                                            std::string(255, 'x'),
                                            "*",
                                            "$(id)",
                                            ".hidden",
                                            "...",
                                            ".repository-stagingX",
                                            "semaphore_"};
    TwoMounts r;
    OVRepositoryHandler* handler = r.handler();
    for (const std::string& name : names) {
        std::string entry = name.size() > 250 ? std::string(255, 'e') : name;
        SCOPED_TRACE("name [" + name + "]");
        makeTree(r.legacy, {name + "/" + entry});
        int status = -1;
        std::string found = r.lookUp(name.c_str(), status);
        EXPECT_EQ(status, RES_OK);
        EXPECT_EQ(found, r.on(r.m0, name));
        EXPECT_TRUE(holdsTree(parentOf(found), {name + "/" + entry}));
        makeTree(parentOf(r.on(r.m1, name)), {name + "/-" + entry.substr(1)});
        handler->getDirtyFlags().setDirty(name.c_str(), true);
        found = r.lookUp(name.c_str(), status);
        EXPECT_EQ(status, RES_OK);
        EXPECT_TRUE(
            holdsTree(parentOf(found), {name + "/" + entry, name + "/-" + entry.substr(1)}));
        EXPECT_EQ(handler->removeResource(name.c_str()), RES_OK);
        found = r.lookUp(name.c_str(), status);
        EXPECT_EQ(status, RES_NOT_FOUND);
    }
    for (const std::string& m : {r.m0, r.m1, r.legacy})
        EXPECT_FALSE(present(m + "/" + kStagingName)) << m;
    // A line feed cannot be kept in the dirty-flag file (one identifier per line): such a name is
    // refused, and its legacy entry stays where it is.
    makeTree(r.legacy, {"new\nline/f"});
    int status = -1;
    EXPECT_EQ(r.lookUp("new\nline", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);
    EXPECT_TRUE(present(r.legacy + "/new\nline/f"));
}

namespace {

// The first mkdir of a staging directory fails with EEXIST although none stands there: another
// process had one, and took it away as its work ended, between this mkdir and the next look.
int stagingGoneMkdirs = 0;

int mkdirMeetingAVanishedStaging(const char* path, mode_t mode) {
    std::string name(path);
    if (stagingGoneMkdirs > 0 && name.size() > std::strlen(kStagingName) &&
        name.compare(name.size() - std::strlen(kStagingName), std::string::npos, kStagingName) ==
            0) {
        --stagingGoneMkdirs;
        errno = EEXIST;
        return -1;
    }
    return ovsys::real().mkdir(path, mode);
}

} // namespace

// A removal or move whose staging directory vanishes while it looks for it (the last other
// process working there took it away) makes it anew instead of failing.
TEST(MoveFaults, AStagingDirectoryTakenAwayMeanwhileIsMadeAnew) {
    TwoMounts r;
    makeTree(parentOf(r.on(r.m0, "x")), {"x/a"});
    ScopedSyscalls calls;
    calls.table().mkdir = mkdirMeetingAVanishedStaging;
    stagingGoneMkdirs = 1;
    EXPECT_EQ(r.handler()->removeResource("x"), RES_OK);
    EXPECT_FALSE(present(r.on(r.m0, "x")));
    EXPECT_FALSE(present(r.m0 + "/" + kStagingName));
}

namespace {

// One call that flushes or renames, as the table saw it: the descriptor's path for a flush;
// done when it succeeded (a rename tried across file systems first fails with EXDEV).
struct Seen {
    std::string call, path, to;
    bool done = false;
};
std::vector<Seen> seenCalls;
ovsys::Table passedOn;

// Records a call that returned result; returns result with errno as the call left it.
int noted(Seen seen, int result) {
    int error = errno;
    seen.done = result == 0;
    seenCalls.push_back(seen);
    errno = error;
    return result;
}

// Records the flushes and renames while it lives and passes them on to the table in place before
// (faults and other file systems pretended by the helpers set up earlier).
class CallRecorder {
public:
    CallRecorder() {
        seenCalls.clear();
        passedOn = calls.table();
        calls.table().syncfs = [](int fd) {
            return noted({"syncfs", pathOfFd(fd), "", false}, passedOn.syncfs(fd));
        };
        calls.table().fsync = [](int fd) {
            return noted({"fsync", pathOfFd(fd), "", false}, passedOn.fsync(fd));
        };
        calls.table().renameNoReplace = [](const char* from, const char* to) {
            return noted({"renameNoReplace", from, to, false}, passedOn.renameNoReplace(from, to));
        };
        calls.table().rename = [](const char* from, const char* to) {
            return noted({"rename", from, to, false}, passedOn.rename(from, to));
        };
    }

private:
    ScopedSyscalls calls;
};

// Takes the directory of a rename's destination away once, right before the rename.
bool hashGoneOnce = false;
ovsys::Table beforeHashGone;

int renameAfterHashGone(const char* from, const char* to) {
    std::string parent = to;
    if (hashGoneOnce && parent.find('/') != std::string::npos) {
        hashGoneOnce = false;
        parent.erase(parent.rfind('/'));
        EXPECT_EQ(rmdir(parent.c_str()), 0);
    }
    return beforeHashGone.renameNoReplace(from, to);
}

// The index of the first recorded call at or after start that matches, or -1.
long firstSeen(const std::function<bool(const Seen&)>& matches, long start = 0) {
    for (size_t i = static_cast<size_t>(std::max(start, 0L)); i < seenCalls.size(); ++i)
        if (matches(seenCalls[i]))
            return static_cast<long>(i);
    return -1;
}

bool below(const std::string& path, const std::string& dir) {
    return path.rfind(dir + "/", 0) == 0;
}

} // namespace

// A move to a new path on another file system, alone and in a batch of two, flushing the whole
// destination file system or each copied file: a crash at any instant must leave a whole copy or
// the origin under the names. So the copy is on disk before it takes its name, and its name is on
// disk before the origin leaves for the staging directory. A flush that fails puts nothing in
// place and keeps the origin. On one file system the origin is renamed, and both directories,
// the one it entered and the one it left, are flushed after the rename.
TEST(MoveFaults, CopiesAreOnDiskBeforeTheyTakeTheirNamesAndNamesBeforeOriginsLeave) {
    const std::vector<std::string> files = {"f", "sub/g"};
    struct Row {
        const char* name;
        bool batch, flushFiles;
        const char* failing;        // the flush that fails on the destination with EIO, or ""
        bool oneFileSystem = false; // a rename in place of the copy
        // The destination's hash directory, empty until the move, is taken away right before
        // the move renames into it, as another process's cleanup of empty hash levels does.
        bool hashGone = false;
    };
    const Row rows[] = {
        {"one move on one file system", false, false, "", true},
        {"one move on one file system, its hash directory taken away", false, false, "", true,
         true},
        {"one move, its hash directory taken away", false, false, "", false, true},
        {"one move, file system flushed", false, false, ""},
        {"one move, files flushed", false, true, ""},
        {"a batch, file system flushed", true, false, ""},
        {"a batch, files flushed", true, true, ""},
        {"one move, file system flush fails", false, false, "syncfs"},
        {"one move, file flush fails", false, true, "fsync"},
        {"a batch, file system flush fails", true, false, "syncfs"},
        {"a batch, file flush fails", true, true, "fsync"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        std::string o = dir / "o", d = dir / "d", work = d + "/" + kStagingName;
        std::vector<std::string> names =
            row.batch ? std::vector<std::string>{"r1", "r2"} : std::vector<std::string>{"r1"};
        for (const std::string& name : names)
            makeTree(o + "/" + name, files);
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        MoveOptions options;
        options.flushFiles = row.flushFiles;
        bool failing = *row.failing != '\0';
        SyslogCapture log;
        std::vector<int> results;
        {
            SeamFaults faults;
            if (failing)
                faults.arm({{row.failing, work, EIO}});
            std::optional<AcrossFileSystems> across; // after the faults: passes their calls on
            if (!row.oneFileSystem)
                across.emplace();
            ScopedSyscalls hashLevels;
            hashGoneOnce = row.hashGone;
            beforeHashGone = hashLevels.table();
            hashLevels.table().renameNoReplace = renameAfterHashGone;
            CallRecorder recorder;
            auto dest = [&](const std::string& name) { return d + "/h/" + name; };
            if (row.batch) {
                MoveBatch batch(options);
                for (const std::string& name : names)
                    EXPECT_EQ(batch.add((o + "/" + name).c_str(), dest(name).c_str(), o.c_str(),
                                        d.c_str()),
                              0);
                results = batch.commit();
            } else {
                results.push_back(moveResWith((o + "/r1").c_str(), dest("r1").c_str(), o.c_str(),
                                              d.c_str(), options));
            }
            EXPECT_EQ(faults.met(), failing);
        }
        EXPECT_EQ(results, std::vector<int>(names.size(), failing ? 8 : 0));
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            std::string origin = o + "/" + name, to = d + "/h/" + name;
            long place = firstSeen([&](const Seen& s) { return s.done && s.to == to; });
            long retired = firstSeen(
                [&](const Seen& s) { return s.done && s.call != "fsync" && s.path == origin; });
            if (failing) {
                EXPECT_TRUE(place < 0 && retired < 0) << "nothing is put in place or taken away";
                EXPECT_FALSE(present(to));
                EXPECT_TRUE(holdsTree(origin, files));
                std::string text = "The resource \"" + origin + "\" could not be renamed to \"" +
                                   to + "\". Error code is " + std::to_string(EIO);
                std::vector<std::string> said = log.messages();
                EXPECT_NE(std::find(said.begin(), said.end(), text), said.end())
                    << ::testing::PrintToString(said);
                continue;
            }
            if (place < 0 || retired < 0) { // checked here, so that the other rows still run
                ADD_FAILURE() << "the copy is not put in place, or the origin not taken away";
                continue;
            }
            auto flushedAfter = [&](const std::string& dir) {
                return firstSeen([&](const Seen& s) { return s.call == "fsync" && s.path == dir; },
                                 place);
            };
            if (row.oneFileSystem) { // the origin renamed, both directories on disk after that
                EXPECT_TRUE(place == retired && flushedAfter(d + "/h") >= 0 &&
                            flushedAfter(o) >= 0);
                EXPECT_TRUE(holdsTree(to, files) && !present(origin));
                continue;
            }
            const Seen& placing = seenCalls[static_cast<size_t>(place)];
            EXPECT_EQ(placing.call, "renameNoReplace");
            std::string copy = placing.path;
            if (row.flushFiles) {
                for (const std::string& file : files) {
                    long flushed = firstSeen([&](const Seen& s) {
                        return s.call == "fsync" && s.path == copy + "/" + file;
                    });
                    EXPECT_TRUE(flushed >= 0 && flushed < place) << file << " flushed in place";
                }
            } else {
                long flushed = firstSeen(
                    [&](const Seen& s) { return s.call == "syncfs" && below(s.path, d); });
                EXPECT_TRUE(flushed >= 0 && flushed < place) << "file system flushed in place";
            }
            long named = flushedAfter(d + "/h");
            EXPECT_GE(named, 0) << "the destination directory is flushed after the rename";
            EXPECT_EQ(seenCalls[static_cast<size_t>(retired)].call, "rename");
            EXPECT_TRUE(below(seenCalls[static_cast<size_t>(retired)].to, o + "/" + kStagingName));
            EXPECT_TRUE(named >= 0 && named < retired) << "the origin leaves after its new name";
            EXPECT_TRUE(holdsTree(to, files));
            EXPECT_FALSE(present(origin));
        }
    }
}
