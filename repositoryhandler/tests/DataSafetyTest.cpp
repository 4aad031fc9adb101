// What the library must never do, tried as a hostile caller and as an operator would: reach
// outside a resource through a name or a link, serve a partial copy, delete what it did not make.
// Cut-short moves are made repeatable by killing the process at a chosen rename.
#include "OVException.h"
#include "OVSemaphore.h"
#include "RepositoryStatus.h"
#include "ResourceLock.h"
#include "ResourceSizes.h"
#include "Staging.h"
#include "TwoMounts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

using Owned = std::unique_ptr<char[]>;

// Every entry below root (root included): kind, modification time, content or link target.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> seen;
    std::vector<std::string> paths = {root};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        paths.push_back(entry.path().string());
    for (const std::string& path : paths) {
        struct stat st {};
        lstat(path.c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) +
                           "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode))
            what += " " + readFile(path);
        seen[path] = what;
    }
    return seen;
}

std::vector<std::string> listed(OVRepositoryHandler* handler, int kind) {
    long count = 0;
    char** names = handler->listResources(kind, &count, true);
    std::vector<std::string> result;
    for (long i = 0; i < count; ++i) {
        result.push_back(names[i]);
        delete[] names[i];
    }
    delete[] names;
    return result;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += name + " ";
    return text;
}

// The mount of the two that holds resource, or "".
std::string holder(TwoMounts& r, const std::string& resource) {
    for (const std::string& mount : {r.m0, r.m1})
        if (present(r.on(mount, resource)))
            return mount;
    return "";
}

// While set, renaming anything whose path starts with it kills the process: a power loss at that
// instant of a move.
std::string dieAtRenameOf;

int renameOrDie(const char* from, const char* to) {
    if (!dieAtRenameOf.empty() && std::string(from).rfind(dieAtRenameOf, 0) == 0)
        raise(SIGKILL);
    return ovsys::real().rename(from, to);
}

// A lookup (without the lock, whose file would outlive the process) in a child that dies when it
// takes anything below prefix away. The child's exit status: -1 when it died there.
int lookUpDyingAt(TwoMounts& r, const std::string& prefix, const char* resource) {
    return runInChild([&] {
        ScopedSyscalls calls;
        calls.table().rename = renameOrDie;
        dieAtRenameOf = prefix;
        Owned location(r.handler()->getLocation(resource, nullptr, false, false));
        return 0;
    });
}

// A balancing move of resource from m0 to m1 in a child that dies where lookUpDyingAt's does.
int moveDyingAt(TwoMounts& r, const std::string& prefix, const char* resource) {
    return runInChild([&] {
        ScopedSyscalls calls;
        calls.table().rename = renameOrDie;
        dieAtRenameOf = prefix;
        return moveResBetween(r.on(r.m0, resource).c_str(), r.on(r.m1, resource).c_str(),
                              r.m0.c_str(), r.m1.c_str());
    });
}

// Deleting a file named "b" fails (in the scenario below, only the staged legacy copy has one).
int unlinkFailingForB(int dirFd, const char* name, int flags) {
    if (std::string(name) == "b") {
        errno = EACCES;
        return -1;
    }
    return ovsys::real().unlinkat(dirFd, name, flags);
}

// Interrupted take-overs and merges, and a deletion that fails half way, on r's mounts; checks
// with check(), so that it can run in a child on real file systems.
void cutShortMoves(TwoMounts& r) {
    OVRepositoryHandler* handler = r.handler();
    int status = -1;

    // A take-over dies after its copy took the resource's name, before the legacy copy went: the
    // next lookup finds both whole and completes the take-over instead of keeping two copies.
    makeTree(r.legacy, {"old/a", "old/sub/b"});
    check(lookUpDyingAt(r, r.legacy + "/old", "old") == -1, "the take-over died");
    std::string mount = holder(r, "old");
    check(!mount.empty() && holdsTree(r.legacy, {"old/a", "old/sub/b"}), "both copies whole");
    std::string placed = r.on(mount, "old");
    check(r.lookUp("old", status) == placed && status == RES_OK, "the copy on the mount");
    check(!present(r.legacy + "/old") && holdsTree(parentOf(placed), {"old/a", "old/sub/b"}),
          "the take-over completed");

    // A merge of dirty copies dies after putting m0's entries into m1's copy, before taking m0's
    // copy away: the next lookup counts what stands in both as moved, and clears the flag.
    makeTree(parentOf(r.on(r.m0, "d")), {"d/a", "d/common/x"});
    makeTree(parentOf(r.on(r.m1, "d")), {"d/b", "d/common/y"});
    handler->getDirtyFlags().setDirty("d", true);
    check(lookUpDyingAt(r, r.on(r.m0, "d"), "d") == -1, "the merge died");
    check(holdsTree(parentOf(r.on(r.m0, "d")), {"d/a", "d/common/x"}), "m0's copy is whole");
    check(holdsTree(parentOf(r.on(r.m1, "d")), {"d/a", "d/b", "d/common/x", "d/common/y"}),
          "m1's copy has everything");
    check(r.lookUp("d", status) == r.on(r.m1, "d") && status == RES_OK,
          "merged, status " + std::to_string(status));
    check(!present(r.on(r.m0, "d")) && !handler->getDirtyFlags().isDirty("d"), "settled");
    check(listed(handler, DIRECTORY_RESOURCES) == std::vector<std::string>{"d", "old"},
          "each listed once");

    // A balancing move that filled its target dies after its copy took the name, before the
    // origin went: identical copies need no room, so the full mount still settles them. Copies
    // that differ would need a copy there: a conflict, nothing written to the full mount.
    for (const char* extra : {"", "d2/extra"}) {
        std::string id = *extra ? "fulldiff" : "fullsame";
        makeTree(parentOf(r.on(r.m0, id)), {id + "/a", id + "/sub/b"});
        handler->getDirtyFlags().setDirty(id.c_str(), true);
        check(moveDyingAt(r, r.on(r.m0, id), id.c_str()) == -1, "the move died");
        if (*extra)
            makeTree(r.on(r.m0, id), {extra});
        auto before = snapshot(r.m1);
        r.fill.setPercent(r.m1, 100);
        std::string found = r.lookUp(id.c_str(), status);
        r.fill.setPercent(r.m1, 10);
        if (*extra) {
            check(found == "(null)" && status == RES_CONFLICT && snapshot(r.m1) == before &&
                      present(r.on(r.m0, id) + "/" + extra),
                  "differing copies stay apart on a full mount");
            continue;
        }
        check(found == r.on(r.m1, id) && status == RES_OK, "settled on the full mount");
        check(!present(r.on(r.m0, id)) && !handler->getDirtyFlags().isDirty(id.c_str()) &&
                  holdsTree(parentOf(found), {id + "/a", id + "/sub/b"}),
              "one whole copy, flag gone");
    }

    // Deleting the taken-over legacy copy fails half way: its name is free already, the lookup
    // returns the whole copy, and the leftover goes with the next removal in that directory.
    makeTree(r.legacy, {"big/a", "big/b", "big/c"});
    {
        ScopedSyscalls calls;
        calls.table().unlinkat = unlinkFailingForB;
        std::string location = r.lookUp("big", status);
        check(status == RES_OK && holdsTree(parentOf(location), {"big/a", "big/b", "big/c"}),
              "the whole copy is served: " + location);
    }
    check(!present(r.legacy + "/big") && present(r.legacy + "/" + kStagingName), "a leftover");
    check(listed(handler, ALL_RESOURCES) ==
              std::vector<std::string>{"big", "d", "fulldiff", "fulldiff", "fullsame", "old"},
          "the leftover is not listed: " + joined(listed(handler, ALL_RESOURCES)));
    Owned other(handler->createToLegacy("other"));
    check(other && handler->removeResource("other") == RES_OK, "removal in the legacy directory");
    check(!present(r.legacy + "/" + kStagingName), "the leftover went with it");
}

} // namespace

TEST(DataSafety, NamesAndLinksNeverLeadOutOfTheRepository) {
    TwoMounts r;
    TempDir outside;
    makeTree(outside.path(), {"x", "sub/y"});
    auto before = snapshot(outside.path());
    ASSERT_EQ(symlink(outside.path().c_str(), (r.legacy + "/L").c_str()), 0);
    struct utimbuf old = {1000, 1000};
    OVRepositoryHandler* handler = r.handler();
    int status = -1;

    // A name with an inner "/" is refused by every operation; creation keeps its assertion.
    SyslogCapture log;
    EXPECT_EQ(r.lookUp("L/x", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);
    EXPECT_EQ(handler->removeResource("L/x"), RES_NOT_FOUND);
    EXPECT_EQ(handler->removeResource("/L/sub/"), RES_NOT_FOUND);
    EXPECT_EQ(handler->checkResourceStatus("L/x"), RES_NOT_FOUND);
    EXPECT_EQ(handler->createToLegacy("L/new"), nullptr);
    EXPECT_EQ(handler->setTimeProperties("L/x", &old), 0);
    EXPECT_EQ(handler->getTimeProperties("L/x", &old), 0);
    EXPECT_THROW(Owned(handler->createLocation("L/x", &status, false)), OVAssertionException);
    EXPECT_EQ(log.messages().front(), "The resource name \"L/x\" is refused.");
    // The link itself is left alone by the take-over and is never made into a resource.
    EXPECT_EQ(handler->createToLegacy("L"), nullptr);
    EXPECT_EQ(r.lookUp("L", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);
    EXPECT_EQ(Owned(handler->createDirectory(kStagingName, &status, false)), nullptr);
    EXPECT_EQ(status, RES_ERROR);
    EXPECT_EQ(Owned(handler->createDirectory("two\nlines", &status, false)), nullptr);
    EXPECT_EQ(status, RES_ERROR);
    // A trailing "/" on the name must not make the link count as a directory: not for creation,
    // nor for a full repository's lookup and times, which use legacy entries where they lie.
    EXPECT_EQ(handler->createToLegacy("L/"), nullptr);
    r.fill.setPercent(r.m0, 100);
    r.fill.setPercent(r.m1, 100);
    EXPECT_EQ(r.lookUp("L/", status), "(null)");
    EXPECT_EQ(handler->setTimeProperties("L/", &old), 0);
    r.fill.setPercent(r.m0, 10);
    r.fill.setPercent(r.m1, 10);
    // A staging directory replaced by a link: nothing behind it is the library's to clear, nor to
    // stage a copy in; a move that would stage there fails and keeps its origin.
    makeTree(outside.path(), {"work-1-1/report"});
    before = snapshot(outside.path());
    ASSERT_EQ(symlink(outside.path().c_str(), (r.m0 + "/" + kStagingName).c_str()), 0);
    EXPECT_EQ(removeStagingLeftovers(r.m0), 0);
    std::string moving = r.make(r.m1, "moving");
    EXPECT_EQ(
        moveResBetween(moving.c_str(), r.on(r.m0, "moving").c_str(), r.m1.c_str(), r.m0.c_str()),
        8);
    EXPECT_EQ(snapshot(outside.path()), before);
    EXPECT_TRUE(present(moving + "/f") && !present(r.on(r.m0, "moving")));
    ASSERT_EQ(unlink((r.m0 + "/" + kStagingName).c_str()), 0);

    // A resource that is a link placed by hand: lookups and times reach the link, never what it
    // leads to, and removal removes the link.
    std::string linked = r.on(r.m0, "lk");
    ASSERT_EQ(mkdirs(parentOf(linked).c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), linked.c_str()), 0);
    EXPECT_EQ(Owned(handler->getLocation("lk", &status, true, true)).get(), std::string(linked));
    EXPECT_EQ(handler->setTimeProperties("lk", &old), 1);
    struct utimbuf read = {};
    EXPECT_EQ(handler->getTimeProperties("lk", &read), 1);
    EXPECT_EQ(read.modtime, 1000);
    EXPECT_EQ(handler->removeResource("lk"), RES_OK);
    EXPECT_FALSE(present(linked));

    // A link at a merge destination is a conflict: nothing is written through it.
    std::string copy = r.make(r.m0, "dirty");
    std::string target = r.on(r.m1, "dirty");
    ASSERT_EQ(mkdirs(parentOf(target).c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), target.c_str()), 0);
    handler->getDirtyFlags().setDirty("dirty", true);
    EXPECT_EQ(r.lookUp("dirty", status), "(null)");
    EXPECT_EQ(status, RES_CONFLICT);
    EXPECT_EQ(readFile(copy + "/f"), "f");

    // A hash directory replaced by a link: what lies behind it is not the mount's; it is neither
    // found, nor touched, nor removed.
    std::string behind = r.on(r.m1, "hidden");
    std::string level = behind.substr(0, r.m1.size() + 3);
    ASSERT_EQ(symlink(outside.path().c_str(), level.c_str()), 0);
    makeTree(outside.path(), {behind.substr(level.size() + 1) + "/f"});
    before = snapshot(outside.path());
    EXPECT_EQ(r.lookUp("hidden", status), "(null)");
    EXPECT_EQ(handler->setTimeProperties("hidden", &old), 0);
    EXPECT_EQ(handler->removeResource("hidden"), RES_NOT_FOUND);
    // Moves from and to it, and its removal, are refused as well when asked for directly.
    std::string here = r.make(r.m0, "here");
    EXPECT_EQ(moveResBetween(behind.c_str(), (r.m0 + "/h").c_str(), r.m1.c_str(), r.m0.c_str()), 8);
    EXPECT_EQ(moveResBetween(here.c_str(), behind.c_str(), r.m0.c_str(), r.m1.c_str()), 8);
    MoveBatch batch;
    std::string beside = behind + "-new";
    EXPECT_EQ(batch.add(here.c_str(), beside.c_str(), r.m0.c_str(), r.m1.c_str()), 8);
    EXPECT_EQ(deleteResStaged(behind.c_str(), r.m1.c_str()), 8);
    EXPECT_EQ(snapshot(outside.path()), before);
    EXPECT_TRUE(present(here + "/f") && !present(r.m0 + "/h"));
}

// On mounts that only pretend to be file systems of their own, then on real ones of every kind.
TEST(DataSafety, CutShortMovesAreCompletedAndNeverServedHalf) {
    const std::optional<FileSystemKind> kinds[] = {
        std::nullopt, FileSystemKind::Tmpfs, FileSystemKind::Ext4SmallInodes, FileSystemKind::Xfs};
    for (const std::optional<FileSystemKind>& kind : kinds) {
        SCOPED_TRACE(kind ? nameOf(*kind) : "pretended file systems");
        TwoMounts r;
        std::string s0 = r.repo / "scratch0", s1 = r.repo / "scratch1";
        EXPECT_SCENARIO(runInChild([&] {
            if (kind && (mkdir(s0.c_str(), 0700) != 0 || mkdir(s1.c_str(), 0700) != 0 ||
                         !enterPrivateMountNamespace() || !mountFileSystem(*kind, r.m0, s0) ||
                         !mountFileSystem(*kind, r.m1, s1)))
                return kNoNamespace;
            writeFile(r.m0 + "/repositorypart.cfg", "");
            writeFile(r.m1 + "/repositorypart.cfg", "");
            check(!kind || (!IsOnTheSameMount(r.m0.c_str(), r.m1.c_str()) &&
                            !IsOnTheSameMount(r.m0.c_str(), r.legacy.c_str())),
                  "three file systems");
            cutShortMoves(r);
            return childFailures();
        }));
    }
}

TEST(DataSafety, UserEntriesNamedLikeTemporariesAndLongNamesMove) {
    TwoMounts r;
    OVRepositoryHandler* handler = r.handler();
    int status = -1;
    std::string longEntry(250, 'e');
    makeTree(parentOf(r.on(r.m0, "r")), {"r/foo", "r/" + longEntry, "r/.foo.moving-1"});
    makeTree(parentOf(r.on(r.m1, "r")), {"r/.foo.moving-4242", "r/.r.moving-7"});
    handler->getDirtyFlags().setDirty("r", true);
    EXPECT_EQ(r.lookUp("r", status), r.on(r.m1, "r"));
    EXPECT_EQ(status, RES_OK);
    EXPECT_TRUE(holdsTree(parentOf(r.on(r.m1, "r")), {"r/foo", "r/" + longEntry, "r/.foo.moving-1",
                                                      "r/.foo.moving-4242", "r/.r.moving-7"}));

    // The longest name a file may have can be made, locked, found and removed.
    std::string longName(255, 'n');
    Owned made(handler->createDirectory(longName.c_str(), &status, false));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(r.lookUp(longName.c_str(), status), made.get());
    EXPECT_EQ(status, RES_OK);
    EXPECT_EQ(handler->setTimeProperties(longName.c_str(), nullptr), 1);
    EXPECT_EQ(handler->removeResource(longName.c_str()), RES_OK);
    EXPECT_EQ(lockFileName(resourceLockName(r.repo.path(), longName)).size(), 255u);
    // Names that fit keep the lock file name that processes of older builds use.
    std::string fits = resourceLockName(r.repo.path(), "1234");
    EXPECT_EQ(lockFileName(fits), "semaphore_" + fits);
}

TEST(DataSafety, OneLockForEverySpellingAndLegacyCopiesThatStay) {
    TwoMounts r;
    OVRepositoryHandler* handler = r.handler();
    std::string copy = r.make(r.m0, "r");
    {
        ScopedSyscalls calls; // waiting for a lock takes no time here
        calls.table().nanosleep = [](const struct timespec*, struct timespec*) { return 0; };
        ResourceLock held(r.repo.path(), "r", "");
        ASSERT_TRUE(held.acquired());
        EXPECT_EQ(handler->removeResource("r/"), RES_LOCK_FAILED);
        EXPECT_EQ(handler->removeResource("/r"), RES_LOCK_FAILED);
        EXPECT_TRUE(present(copy + "/f"));
    }

    // A take-over that cannot complete (the pipe cannot be made again on the mount) leaves the
    // legacy copy whole, and the lookup and a creation use it where it lies instead of calling it
    // missing.
    makeTree(r.legacy, {"p/data"});
    ASSERT_EQ(mkfifo((r.legacy + "/p/pipe").c_str(), 0644), 0);
    int status = -1;
    {
        ScopedSyscalls calls;
        calls.table().mknodat = failing<EIO>(calls.table().mknodat);
        EXPECT_EQ(r.lookUp("p", status), r.legacy + "/p");
        EXPECT_EQ(status, RES_OK);
        EXPECT_EQ(Owned(handler->createDirectory("p", &status, false)).get(), r.legacy + "/p");
    }

    // A legacy entry that bore the staging directory's name before it was reserved is no work of
    // the library's: take-overs beside it leave it alone.
    makeTree(r.legacy, {std::string(kStagingName) + "/2024.01/report", "t/a"});
    EXPECT_NE(r.lookUp("t", status), "(null)");
    EXPECT_EQ(readFile(r.legacy + "/" + kStagingName + "/2024.01/report"),
              std::string(kStagingName) + "/2024.01/report");
}

TEST(DataSafety, LeftoversAreInvisibleAndGoOnlyWithTheirMaker) {
    TwoMounts r;
    OVRepositoryHandler* handler = r.handler();
    r.make(r.m0, "keep");
    r.make(r.m0, "gone");
    long size = countSize(r.m0.c_str(), false);
    std::string staging = r.m0 + "/" + kStagingName;
    // The staging directory belongs to whoever owns the mount, so that every user of it may stage.
    ASSERT_EQ(chown(r.m0.c_str(), 4321, 4322), 0);
    ASSERT_EQ(chmod(r.m0.c_str(), 03771), 0); // set-group-ID and sticky bits too

    // A worker that holds a work directory with a copy in it until told to die.
    int ready[2], die[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(die), 0);
    pid_t worker = startChild([&] {
        WorkDir work(r.m0);
        makeTree(work.newEntry(), {"copy/data"});
        char c = 'x';
        if (write(ready[1], &c, 1) != 1 || ::read(die[0], &c, 1) != 1)
            return 1;
        raise(SIGKILL); // no clean-up
        return 0;
    });
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    struct stat made {};
    ASSERT_EQ(stat(staging.c_str(), &made), 0);
    EXPECT_TRUE(made.st_uid == 4321 && made.st_gid == 4322 && (made.st_mode & 07777) == 03771);
    EXPECT_EQ(listed(handler, ALL_RESOURCES), (std::vector<std::string>{"gone", "keep"}));
    EXPECT_EQ(countSize(r.m0.c_str(), false), size);
    EXPECT_EQ(handler->removeResource("gone"), RES_OK);
    EXPECT_EQ(removeStagingLeftovers(r.m0), 0); // its maker lives
    // A check that moves the old resources off a full m0 passes over the live copy, old as it is.
    std::vector<std::string> works = namesIn(staging);
    ASSERT_EQ(works.size(), 1u);
    std::string copy = staging + "/" + works[0] + "/" + namesIn(staging + "/" + works[0])[0];
    setTimes(r.on(r.m0, "keep"), 1000000000);
    setTimes(copy + "/copy", 1000000000);
    r.fill.setPercent(r.m0, 99);
    handler->checkOverload(false);
    EXPECT_TRUE(present(copy + "/copy/data") && present(r.on(r.m1, "keep")));

    ASSERT_EQ(write(die[1], &c, 1), 1);
    EXPECT_EQ(waitForChild(worker), -1);
    EXPECT_TRUE(present(staging));
    handler->checkOverload(false); // a check clears the leftovers of every mount it visits
    EXPECT_FALSE(present(staging));
    handler->makeEmpty();
    EXPECT_EQ(listed(handler, ALL_RESOURCES), std::vector<std::string>{});
    for (int fd : {ready[0], ready[1], die[0], die[1]})
        close(fd);
}
