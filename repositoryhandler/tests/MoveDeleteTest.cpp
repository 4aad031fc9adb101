// Moving resources as verified copies, deleting them, and measuring them: merges, links,
// hostile names, real separate file systems, rejected copies and interrupted moves.
#include "MoveDelete.h"
#include "OVException.h"
#include "RepositoryTestSupport.h"
#include "SharedRepository.h"
#include "Staging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string linkTarget(const std::string& path) {
    char buffer[4096];
    ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    return length < 0 ? "" : std::string(buffer, static_cast<size_t>(length));
}

// Before the directory swapped is entered through openat, it is replaced by a link to swapTarget.
std::string swapped, swapTarget;

int swappingOpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    if (!swapped.empty() && swapped.substr(swapped.rfind('/') + 1) == name) {
        std::filesystem::rename(swapped, swapped + ".moved");
        symlink(swapTarget.c_str(), swapped.c_str());
        swapped.clear();
    }
    return ovsys::real().openat(dirFd, name, flags, mode);
}

// Deleting an entry of this name fails with failingError while failingUnlinkAt is installed:
// ENOENT once another process removed it, EPERM only for an unlink without AT_REMOVEDIR (as some
// systems answer for a directory).
std::string failingName;
int failingError = EACCES;

int failingUnlinkAt(int dirFd, const char* name, int flags) {
    if (name != failingName || (failingError == EPERM && flags != 0))
        return ovsys::real().unlinkat(dirFd, name, flags);
    if (failingError == ENOENT)
        ovsys::real().unlinkat(dirFd, name, flags);
    errno = failingError;
    return -1;
}

// Removing the directory failingName fails with failingError.
int failingRmdir(const char* path) {
    std::string text = path;
    if (text.size() <= failingName.size() ||
        text.compare(text.size() - failingName.size() - 1, std::string::npos, "/" + failingName) !=
            0)
        return ovsys::real().rmdir(path);
    errno = failingError;
    return -1;
}

} // namespace

TEST(MoveRes, MissingOriginThrowsTheAssertion) {
    TempDir dir;
    try {
        moveRes((dir / "missing").c_str(), (dir / "dest").c_str());
        FAIL() << "no assertion";
    } catch (const OVAssertionException& e) {
        std::string text;
        e.toString(text);
        EXPECT_EQ(text, "ASSERT (access( origin, F_OK ) == 0) in "
                        "repositoryhandler/src/libs/OVRepositoryHandler at line 538.");
    }
    EXPECT_FALSE(present(dir / "dest"));
}

TEST(MoveRes, FileToAMissingParentKeepsItsTimes) {
    TempDir dir;
    makeTree(dir.path(), {"m1/a/f"});
    setModified(dir / "m1/a/f", -7200);
    struct stat before = statOf(dir / "m1/a/f");
    ASSERT_EQ(chmod(dir.path().c_str(), 0751), 0);
    mode_t oldMask = umask(077); // the made levels take the mode above them, never the umask's
    EXPECT_EQ(moveRes((dir / "m1/a/f").c_str(), (dir / "m2/a/f").c_str()), 0);
    umask(oldMask);

    EXPECT_FALSE(present(dir / "m1/a/f"));
    EXPECT_EQ(readFile(dir / "m2/a/f"), "m1/a/f");
    EXPECT_EQ(statOf(dir / "m2/a").st_mode & 07777, 0751u);
    EXPECT_EQ(statOf(dir / "m2/a/f").st_mtime, before.st_mtime);
    EXPECT_EQ(namesIn(dir / "m2/a"), std::vector<std::string>{"f"}); // no temporary copy left

    // Another process puts the same file at the new name just before the rename: it counts as
    // moved there, and the origin goes.
    makeTree(dir.path(), {"m1/a/g"});
    {
        ScopedSyscalls calls;
        calls.table().renameNoReplace = [](const char* from, const char* to) {
            writeFile(to, readFile(from));
            return ovsys::real().renameNoReplace(from, to);
        };
        EXPECT_EQ(moveRes((dir / "m1/a/g").c_str(), (dir / "m2/a/g").c_str()), 0);
    }
    EXPECT_TRUE(!present(dir / "m1/a/g") && readFile(dir / "m2/a/g") == "m1/a/g");
}

// Walks (makes, with make) below dir a chain of 25 directories of 200-byte names, beyond
// PATH_MAX, and opens file at its bottom (makes it, and dates the last directory kOld); whether
// that worked. bottom: the status of the last directory.
constexpr time_t kOld = 1000000000;
bool deepChain(const std::string& dir, const std::string& file, bool make,
               struct stat* bottom = nullptr) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 25 && fd >= 0; ++level) {
        std::string name(200, static_cast<char>('a' + level));
        if (make)
            mkdirat(fd, name.c_str(), 0755);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        close(fd);
        fd = next;
    }
    int leaf = fd < 0 ? -1 : openat(fd, file.c_str(), make ? O_WRONLY | O_CREAT : O_RDONLY, 0644);
    struct timespec old[2] = {{kOld, 0}, {kOld, 0}};
    if (make && fd >= 0)
        futimens(fd, old);
    if (bottom != nullptr && fd >= 0)
        fstat(fd, bottom);
    close(fd);
    close(leaf);
    return leaf >= 0;
}

TEST(MoveRes, DirectoriesMergeUntilTheFirstConflictAndTheOriginStaysWhole) {
    TempDir dir;
    SyslogCapture log;
    makeTree(dir / "o", {"r/sub/a", "r/sub/c", "r/sub/d", "r/x"});
    makeTree(dir / "d", {"r/sub/d", "r/sub/c", "r/y"});
    writeFile(dir / "d/r/sub/c", "kept");
    ASSERT_TRUE(setTimes(dir / "o/r/sub/d", 1000000000)); // read, but never made to look used

    EXPECT_EQ(moveRes((dir / "o/r").c_str(), (dir / "d/r").c_str()), 2);
    EXPECT_EQ(statOf(dir / "o/r/sub/d").st_atime, 1000000000);
    std::string conflict =
        "The resource \"" + dir / "o/r/sub/c" + "\" conflicts with \"" + dir / "d/r/sub/c" + "\".";
    EXPECT_EQ(log.messages(), std::vector<std::string>{conflict});
    EXPECT_EQ(readFile(dir / "d/r/sub/c"), "kept");
    EXPECT_TRUE(holdsTree(dir / "d", {"r/sub/a", "r/y"})); // put in place before the conflict
    EXPECT_FALSE(present(dir / "d/r/x"));                  // not reached
    EXPECT_TRUE(holdsTree(dir / "o", {"r/sub/a", "r/sub/c", "r/sub/d", "r/x"}));

    // Once the conflict is settled the rest merges (what stands on both sides counts as moved)
    // and the origin goes.
    ASSERT_EQ(unlink((dir / "o/r/sub/c").c_str()), 0);
    // Where the destination takes nothing, only what stands there whole already is settled.
    MoveOptions settle;
    settle.settleOnly = true;
    auto settled = [&](const std::string& to) {
        return moveResWith((dir / "o/r").c_str(), (dir / to).c_str(), dir.path().c_str(),
                           dir.path().c_str(), settle);
    };
    log.clear();
    EXPECT_EQ(settled("d/r"), 2); // x would need a copy
    EXPECT_EQ(settled("n/r"), 2);
    EXPECT_EQ(log.messages().back(), "The resource \"" + dir / "o/r" + "\" is not moved to \"" +
                                         dir / "n/r" +
                                         "\": it would need a copy, and the destination has no "
                                         "room for one.");
    EXPECT_TRUE(holdsTree(dir / "o", {"r/sub/a", "r/sub/d", "r/x"}) && !present(dir / "d/r/x"));
    setModified(dir / "o/r", -7200);
    time_t originTime = statOf(dir / "o/r").st_mtime;
    EXPECT_EQ(moveRes((dir / "o/r").c_str(), (dir / "d/r").c_str()), 0);
    EXPECT_FALSE(present(dir / "o/r"));
    EXPECT_TRUE(holdsTree(dir / "d", {"r/sub/a", "r/sub/d", "r/x", "r/y"}));
    EXPECT_EQ(statOf(dir / "d/r").st_mtime, originTime);
    makeTree(dir / "o", {"r/x"}); // stands at the destination already
    EXPECT_EQ(settled("d/r"), 0);
    EXPECT_FALSE(present(dir / "o/r"));

    // Below the top, a link to a directory outside, or a plain file, where the origin has a
    // directory (even an empty one) is a conflict too: nothing is written through the link, the
    // origin stays whole.
    makeTree(dir / "outside", {"keep"});
    for (const std::string kind : {"link", "file", "link-empty", "file-empty"}) {
        SCOPED_TRACE(kind);
        const std::string o = dir / "o-" + kind, d = dir / "d-" + kind;
        makeTree(o, {"r/a", kind.size() > 4 ? "r/sub/" : "r/sub/x"});
        makeTree(d, {"r/a"});
        bool link = kind.compare(0, 4, "link") == 0;
        if (link)
            ASSERT_EQ(symlink((dir / "outside").c_str(), (d + "/r/sub").c_str()), 0);
        else
            writeFile(d + "/r/sub", "plain");
        EXPECT_EQ(moveRes((o + "/r").c_str(), (d + "/r").c_str()), 2);
        EXPECT_EQ(namesIn(dir / "outside"), std::vector<std::string>{"keep"});
        EXPECT_TRUE(holdsTree(o, {"r/a"}) && S_ISDIR(statOf(o + "/r/sub").st_mode));
        EXPECT_TRUE(kind.size() > 4 || holdsTree(o, {"r/sub/x"}));
        EXPECT_EQ(namesIn(d + "/r"), (std::vector<std::string>{"a", "sub"}));
        EXPECT_TRUE(link ? linkTarget(d + "/r/sub") == dir / "outside"
                         : readFile(d + "/r/sub") == "plain");
    }

    // Entries deeper than PATH_MAX merge like any other.
    AcrossFileSystems across;
    makeTree(dir.path(), {"o/deep/", "d/deep/"});
    ASSERT_TRUE(deepChain(dir / "o/deep", "new", true) && deepChain(dir / "d/deep", "old", true));
    log.clear();
    EXPECT_EQ(moveRes((dir / "o/deep").c_str(), (dir / "d/deep").c_str()), 0)
        << ::testing::PrintToString(log.messages());
    struct stat bottom {};
    EXPECT_TRUE(deepChain(dir / "d/deep", "new", false, &bottom) &&
                deepChain(dir / "d/deep", "old", false));
    EXPECT_EQ(bottom.st_mtime, kOld) << "the origin's times, however deep";
    EXPECT_FALSE(present(dir / "o/deep"));
}

TEST(MoveRes, LinksMoveAsLinks) {
    TempDir dir;
    makeTree(dir.path(), {"outside/keep", "o/r/f", "d/r/g"});
    ASSERT_EQ(symlink((dir / "missing").c_str(), (dir / "o/r/dangling").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "o/r/out").c_str()), 0);

    EXPECT_EQ(moveRes((dir / "o/r").c_str(), (dir / "d/r").c_str()), 0);
    EXPECT_EQ(linkTarget(dir / "d/r/dangling"), dir / "missing");
    EXPECT_EQ(linkTarget(dir / "d/r/out"), dir / "outside");
    EXPECT_FALSE(present(dir / "o/r"));
    EXPECT_EQ(namesIn(dir / "outside"), std::vector<std::string>{"keep"});

    // A dangling link is an origin that exists; at the destination it is a conflict.
    EXPECT_EQ(moveRes((dir / "d/r/dangling").c_str(), (dir / "e/dangling").c_str()), 0);
    EXPECT_EQ(linkTarget(dir / "e/dangling"), dir / "missing");
    // A moved link keeps its own times; the file it leads to keeps its own.
    setModified(dir / "outside/keep", -7200);
    ASSERT_EQ(symlink((dir / "outside/keep").c_str(), (dir / "keep").c_str()), 0);
    time_t kept = statOf(dir / "outside/keep").st_mtime, own = statOf(dir / "keep").st_mtime;
    EXPECT_EQ(moveRes((dir / "keep").c_str(), (dir / "e/keep").c_str()), 0);
    EXPECT_TRUE(statOf(dir / "outside/keep").st_mtime == kept &&
                statOf(dir / "e/keep").st_mtime == own);
    ASSERT_EQ(symlink("x", (dir / "other").c_str()), 0);
    EXPECT_EQ(moveRes((dir / "other").c_str(), (dir / "e/dangling").c_str()), 2);
    {
        ScopedSyscalls calls; // a link that cannot be read is an error, never a difference
        calls.table().readlink = failing<EIO>(calls.table().readlink);
        EXPECT_EQ(moveRes((dir / "other").c_str(), (dir / "e/dangling").c_str()), 8);
    }
    // A plain file where the other side has a link, either way round, is a conflict as well.
    writeFile(dir / "plain", dir / "missing"); // as long as the link's target
    for (const std::string from : {"plain", "e/dangling"}) {
        std::string to = from == "plain" ? "e/dangling" : "plain";
        SyslogCapture log;
        EXPECT_EQ(moveRes((dir / from).c_str(), (dir / to).c_str()), 2);
        EXPECT_EQ(log.messages(),
                  std::vector<std::string>{"The resource \"" + dir / from + "\" conflicts with \"" +
                                           dir / to + "\"."});
    }
    EXPECT_TRUE(readFile(dir / "plain") == dir / "missing" &&
                linkTarget(dir / "e/dangling") == dir / "missing");

    // A tree holding a dangling link is copied and verified as it is, not refused.
    ASSERT_EQ(symlink((dir / "missing").c_str(), (dir / "d/r/gone").c_str()), 0);
    EXPECT_EQ(moveRes((dir / "d/r").c_str(), (dir / "n/r").c_str()), 0);
    EXPECT_EQ(linkTarget(dir / "n/r/gone"), dir / "missing");
    EXPECT_FALSE(present(dir / "d/r"));
}

TEST(MoveRes, HostileNamesRunNothing) {
    TempDir dir;
    // Relative paths, so that a name with a leading "-" reaches the commands as it is.
    int result = runInChild([&] {
        if (chdir(dir.path().c_str()) != 0)
            return 99;
        const std::vector<std::string> names = {"with space",   "quo\"te's", "$(touch stray)",
                                                "-rf",          "new\nline", "`touch stray`",
                                                "a;touch stray"};
        for (const std::string& name : names) {
            writeFile(name, name);
            check(moveRes(name.c_str(), ("out/" + name).c_str()) == 0, "move " + name);
            check(!present(name) && readFile("out/" + name) == name, "moved " + name);
        }
        std::string tree = "-d $(touch stray)";
        makeTree(tree, {"-f;`touch stray`", "sub 'q'/new\nline"});
        check(moveRes(tree.c_str(), ("out/" + tree).c_str()) == 0, "move the tree");
        check(holdsTree("out/" + tree, {"-f;`touch stray`", "sub 'q'/new\nline"}), "tree");
        check(deleteRes(("out/" + tree).c_str()) == 0 && deleteRes("out/-rf") == 0, "delete");
        check(!present("out/-rf") && namesIn("out").size() == names.size() - 1, "deleted");
        check(namesIn(".") == std::vector<std::string>{"out"}, "nothing else appeared");
        return childFailures();
    });
    EXPECT_EQ(result, 0) << "failed checks, see the messages above";
}

// Two tmpfs file systems, m0 of 4 MiB and m1 of 1 MiB, in a private mount namespace of a child.
int onTwoFileSystems(const TempDir& dir, const std::function<void(const std::string&)>& body) {
    return runInChild([&] {
        std::string m0 = dir / "m0", m1 = dir / "m1";
        if (mkdir(m0.c_str(), 0755) != 0 || mkdir(m1.c_str(), 0755) != 0 ||
            !enterPrivateMountNamespace() || !mountTmpfs(m0, "4m") || !mountTmpfs(m1, "1m"))
            return kNoNamespace;
        body(dir.path());
        return childFailures();
    });
}

TEST(MoveAcrossFileSystems, VerifiedCopiesKeepTimesAndFullTargetsKeepTheOrigin) {
    TempDir dir;
    EXPECT_SCENARIO(onTwoFileSystems(dir, [](const std::string& root) {
        std::string m0 = root + "/m0", m1 = root + "/m1";
        writeFile(root + "/repositorypart.cfg", ""); // a marker above the mounts
        makeTree(m0, {"r/a", "r/sub/b", "r/sub/empty/"});
        writeFile(m0 + "/r/big", std::string(300 * 1024, 'x'));
        setModified(m0 + "/r", -7200);
        struct stat before = statOf(m0 + "/r");
        check(moveRes((m0 + "/r").c_str(), (m1 + "/x/y/r").c_str()) == 0, "move r");
        check(!present(m0 + "/r"), "origin gone");
        check(holdsTree(m1 + "/x/y", {"r/a", "r/sub/b"}) && present(m1 + "/x/y/r/sub/empty"),
              "tree arrived");
        check(readFile(m1 + "/x/y/r/big") == std::string(300 * 1024, 'x'), "big file arrived");
        struct stat after = statOf(m1 + "/x/y/r");
        check(after.st_mtime == before.st_mtime && after.st_atime == before.st_atime, "times");
        check(namesIn(m1 + "/x/y") == std::vector<std::string>{"r"}, "no temporary copy");

        // 2 MiB do not fit into m1: the copy fails, the origin stays, nothing is left at m1.
        writeFile(m0 + "/huge", std::string(2 * 1024 * 1024, 'y'));
        check(moveRes((m0 + "/huge").c_str(), (m1 + "/huge").c_str()) == 8, "huge refused");
        check(readFile(m0 + "/huge").size() == 2 * 1024 * 1024, "huge kept");
        check(namesIn(m1) == std::vector<std::string>{"x"}, "nothing of huge at m1");
        check(!present(root + "/" + kStagingName), "the work stayed on the mounts");
    }));
}

namespace {

// Set by the pwrite below, which then hangs: the mover has begun to write its copy.
std::string readyFile;

} // namespace

TEST(MoveVerification, RejectedCopiesKeepTheOrigin) {
    TempDir dir;
    SyslogCapture log;
    makeTree(dir / "o", {"r/a", "r/sub/b"});
    static std::string origin = dir / "o/r/sub/b";
    struct Row {
        const char* name;
        SeamFault fault;
        int error;
    };
    const Row rows[] = {
        {"a copy that reads back otherwise", {"pread", kStagingName, kLie}, EIO},
        {"an origin that changes while it is copied", {"pwrite", "/sub/b", kLie}, EAGAIN},
        {"a full destination", {"pwrite", kStagingName, ENOSPC}, ENOSPC},
        {"a copy that cannot be put in place", {"renameNoReplace", "/d/r", EIO}, EIO},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log.clear();
        {
            SeamFaults faults({row.fault});
            AcrossFileSystems across; // after the faults, whose calls it passes on
            SeamFaults::onLie = [](const std::string&) { writeFile(origin, "changed meanwhile"); };
            EXPECT_EQ(moveRes((dir / "o/r").c_str(), (dir / "d/r").c_str()), 8);
            EXPECT_TRUE(faults.met());
        }
        EXPECT_TRUE(present(dir / "o/r/a") && present(origin));
        EXPECT_EQ(namesIn(dir / "d"), std::vector<std::string>{});
        std::string text = "The resource \"" + dir / "o/r" + "\" could not be renamed to \"" +
                           dir / "d/r" + "\". Error code is " + std::to_string(row.error);
        ASSERT_FALSE(log.messages().empty());
        EXPECT_EQ(log.messages().back(), text);
        writeFile(origin, "r/sub/b");
    }
}

// The moves of one batch share their flushes. Moves to new paths wait for the commit to take
// their names; merges and conflicts are settled when added. A flush that fails puts nothing in
// place and keeps every origin with its times. On one file system a move is a rename when added,
// and the commit has nothing left to do for it.
TEST(MoveBatch, StagedMovesTakeTheirNamesTogetherAndNeverBeforeTheFlush) {
    TempDir dir;
    std::optional<AcrossFileSystems> across(std::in_place);
    makeTree(dir / "o", {"a/f", "a/sub/g", "c", "m/new", "k/f", "p/f", "q/f"});
    makeTree(dir / "d", {"m/old", "k/f"});
    writeFile(dir / "d/k/f", "differs");
    setTimes(dir / "o/a", 1000000000);
    std::string o = dir / "o", d = dir / "d";
    auto add = [&](MoveBatch& batch, const std::string& from, const std::string& to) {
        return batch.add((o + "/" + from).c_str(), (d + "/" + to).c_str(), o.c_str(), d.c_str());
    };
    {
        MoveBatch batch;
        EXPECT_EQ(add(batch, "a", "h1/h2/a"), 0);
        EXPECT_EQ(add(batch, "c", "c"), 0);
        EXPECT_EQ(add(batch, "m", "m"), 0);
        EXPECT_EQ(add(batch, "k", "k"), 2);
        {
            SeamFaults unreadable({{"lstat", "/o/z", EIO}});
            EXPECT_EQ(add(batch, "z", "z"), 8);
        }
        {
            SeamFaults unreadable({{"lstat", "/d/y", EIO}});
            EXPECT_EQ(add(batch, "k", "y"), 8);
        }
        EXPECT_EQ(add(batch, "q", "q"), 0);
        makeTree(d, {"q/other"}); // another process's copy takes the name before the commit
        EXPECT_FALSE(present(d + "/h1/h2/a")) << "a staged copy waits for the commit";
        EXPECT_TRUE(present(o + "/a/sub/g") && present(o + "/c"));
        EXPECT_EQ(batch.commit(), (std::vector<int>{0, 0, 0, 2, 8, 8, 2}));
        EXPECT_EQ(batch.size(), 0u);
    }
    EXPECT_TRUE(holdsTree(d + "/h1/h2", {"a/f", "a/sub/g"}));
    EXPECT_TRUE(holdsTree(d, {"c", "m/new", "m/old"}));
    EXPECT_EQ(statOf(d + "/h1/h2/a").st_mtime, 1000000000);
    EXPECT_EQ(namesIn(o), (std::vector<std::string>{"k", "p", "q"}));
    EXPECT_TRUE(holdsTree(d, {"q/other"}) && !present(d + "/q/f"));
    // The copy cannot be flushed, or its new name cannot be written to disk: the origin stays.
    for (bool copyUnflushed : {true, false}) {
        SCOPED_TRACE(copyUnflushed ? "syncfs fails" : "fsync fails");
        {
            ScopedSyscalls calls;
            (copyUnflushed ? calls.table().syncfs : calls.table().fsync) =
                failing<EIO>(calls.table().fsync);
            MoveBatch batch;
            EXPECT_EQ(add(batch, "p", "p"), 0);
            EXPECT_EQ(batch.commit(), std::vector<int>{8});
        }
        EXPECT_TRUE(holdsTree(o, {"p/f", "k/f"}));
        if (copyUnflushed) {
            EXPECT_FALSE(present(d + "/p"));
            EXPECT_FALSE(present(d + "/" + kStagingName)) << "the unflushed copy is gone";
        }
    }

    across.reset();
    SyslogCapture log;
    MoveBatch batch;
    EXPECT_EQ(add(batch, "p", "h3/p"), 0);
    EXPECT_TRUE(holdsTree(d + "/h3", {"p/f"}) && !present(o + "/p"));
    EXPECT_EQ(batch.commit(), std::vector<int>{0});
    EXPECT_EQ(log.messages(), std::vector<std::string>{});
    EXPECT_TRUE(holdsTree(d + "/h3", {"p/f"}));
}

TEST(MoveInterrupted, KilledMoveLeavesTheOriginAndItsLeftoverGoesOnlyWithItsMaker) {
    TempDir dir;
    makeTree(dir / "o", {"r/a", "r/b", "r/sub/c", "s/x"});
    makeTree(dir / "d", {".r.moving-1/z"}); // a user's entry, named like a temporary copy
    std::string ready = dir / "ready", staging = dir / "d/.repository-staging";
    AcrossFileSystems across;
    readyFile = ready;
    pid_t mover = startChild([&] {
        // Writes part of the copy, then hangs until it is killed.
        setpgid(0, 0);
        ovsys::table().pwrite = [](int, const void*, size_t, off_t) -> ssize_t {
            writeFile(readyFile, "");
            sleep(60);
            return -1;
        };
        return moveRes((dir / "o/r").c_str(), (dir / "d/r").c_str());
    });
    for (int i = 0; i < 1000 && !present(ready); ++i)
        usleep(10 * 1000);
    ASSERT_TRUE(present(ready)) << "the copy did not start";
    // Another move on the same file system leaves the living mover's work alone.
    std::vector<std::string> work = namesIn(staging);
    ASSERT_EQ(work.size(), 1u);
    std::string prefix = "work-" + hostName() + "-" + std::to_string(mover) + "-";
    EXPECT_EQ(work[0].rfind(prefix, 0), 0u) << work[0];
    EXPECT_EQ(moveRes((dir / "o/s").c_str(), (dir / "d/s").c_str()), 0);
    EXPECT_EQ(namesIn(staging), work);

    kill(mover, SIGKILL);
    EXPECT_EQ(waitForChild(mover), -1);
    EXPECT_TRUE(holdsTree(dir / "o", {"r/a", "r/b", "r/sub/c"}));
    EXPECT_EQ(namesIn(dir / "d"),
              (std::vector<std::string>{".r.moving-1", ".repository-staging", "s"}));

    // The next move finds the maker gone and removes its leftover; the user's entry stays.
    EXPECT_EQ(moveRes((dir / "o/r").c_str(), (dir / "d/r").c_str()), 0);
    EXPECT_TRUE(holdsTree(dir / "d", {"r/a", "r/b", "r/sub/c", "s/x"}));
    EXPECT_EQ(readFile(dir / "d/.r.moving-1/z"), ".r.moving-1/z");
    EXPECT_FALSE(present(dir / "o/r"));
    EXPECT_EQ(namesIn(dir / "d"), (std::vector<std::string>{".r.moving-1", "r", "s"}));
}

// A cleaner removes this host's work directories whose flock is free, also those named in the
// earlier form without a host. Another host's flock need not reach this host (NFS): its work
// directories wait a day, and then still go only when their flock is free.
TEST(MoveInterrupted, OtherHostsWorkDirectoriesWaitADay) {
    TempDir dir;
    ScopedEnv host("ORVANE_HOST", "here");
    std::string staging = dir / kStagingName;
    const time_t old = time(nullptr) - kForeignLeftoverSeconds - 60;
    const struct {
        const char* name;
        time_t changed; // 0: now
        bool held;      // a live process holds its flock
        bool removed;
    } rows[] = {
        {"work-77-0", 0, false, true},                // the earlier form: this host's
        {"work-here-77-1", 0, false, true},           // this host's, its maker gone
        {"work-here-77-2", 0, true, false},           // this host's, its maker working
        {"work-there-77-3", 0, false, false},         // another host's, recent
        {"work-there-77-4", old + 120, false, false}, // not quite a day
        {"work-there-77-5", old, false, true},        // older than a day
        {"work-there-77-6", old, true, false},        // older, but its flock is held
        {"work-there-x-7", old, false, false},        // no writer tag: not the library's
        {"work-here-77-x8", old, false, false},       // no number at its end: not the library's
        {"work-here-77-", old, false, false},         // nor none
        {"other", old, false, false},                 //
    };
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    std::vector<pid_t> holders;
    std::vector<std::string> left;
    for (const auto& row : rows) {
        std::string path = staging + "/" + row.name;
        makeTree(path, {"f"});
        if (row.changed != 0) {
            ASSERT_TRUE(setTimes(path, row.changed));
        }
        if (row.held) {
            int ready[2];
            ASSERT_EQ(pipe(ready), 0);
            holders.push_back(startChild([&] {
                close(release[1]);
                int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
                char token = 'x';
                if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], &token, 1) != 1)
                    return 1;
                return read(release[0], &token, 1) == 0 ? 0 : 1; // until the test ends
            }));
            close(ready[1]);
            char token;
            ASSERT_EQ(read(ready[0], &token, 1), 1) << row.name;
            close(ready[0]);
        }
        if (!row.removed)
            left.push_back(row.name);
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(removeStagingLeftovers(dir.path()), 3);
    EXPECT_EQ(namesIn(staging), left);
    close(release[1]);
    for (pid_t holder : holders)
        EXPECT_EQ(waitForChild(holder), 0);

    // A directory put under the name once the dead one was locked is not the dead one: it stays.
    static std::string swapped;
    swapped = staging + "/work-here-77-9";
    makeTree(swapped, {"f"});
    ScopedSyscalls calls;
    calls.table().flock = [](int fd, int operation) {
        int locked = ovsys::real().flock(fd, operation);
        if (pathOfFd(fd) == swapped && rename(swapped.c_str(), (swapped + "x").c_str()) == 0)
            makeTree(swapped, {"g"});
        return locked;
    };
    removeStagingLeftovers(dir.path());
    EXPECT_TRUE(present(swapped + "/g"));
}

TEST(DeleteRes, TreesFilesAndMissingPaths) {
    TempDir dir;
    makeTree(dir.path(), {"r/a", "r/sub/b", "r/sub/deeper/c", "r/empty/", "f"});
    EXPECT_EQ(deleteRes((dir / "missing").c_str()), 0);
    {
        SeamFaults untestable({{"lstat", "/r", EIO}}); // not known to be gone: kept, an error
        EXPECT_EQ(deleteRes((dir / "r").c_str()), 8);
    }
    EXPECT_EQ(deleteRes((dir / "r").c_str()), 0);
    {
        ScopedSyscalls calls;
        calls.table().unlink = failing<EROFS>(calls.table().unlink);
        EXPECT_EQ(deleteRes((dir / "f").c_str()), 8);
    }
    EXPECT_EQ(deleteRes((dir / "f").c_str()), 0);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{});
}

TEST(DeleteRes, LinksAreRemovedNeverFollowed) {
    TempDir dir;
    makeTree(dir.path(), {"outside/keep", "outside/sub/keep", "r/f"});
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "r/out").c_str()), 0);
    ASSERT_EQ(symlink((dir / "missing").c_str(), (dir / "r/dangling").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);

    EXPECT_EQ(deleteRes((dir / "r").c_str()), 0);
    EXPECT_EQ(deleteRes((dir / "link/").c_str()), 0); // the link, not the directory it leads to
    EXPECT_EQ(deleteRes((dir / "dangling").c_str()), 0);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"outside"});
    EXPECT_TRUE(holdsTree(dir.path(), {"outside/keep", "outside/sub/keep"}));

    // A directory turned into a link while the deletion runs (just before it is entered): the
    // deletion stops there instead of following it.
    makeTree(dir.path(), {"r/sub/f", "r/z"});
    swapped = dir / "r/sub";
    swapTarget = dir / "outside";
    ScopedSyscalls calls;
    calls.table().openat = swappingOpenAt;
    EXPECT_EQ(deleteRes((dir / "r").c_str()), 8);
    EXPECT_TRUE(holdsTree(dir.path(), {"outside/keep", "outside/sub/keep", "r/z"}));
}

TEST(DeleteRes, AFailureStopsTheWalkAndIsLogged) {
    struct Row {
        const char* name;
        int error;
        int expected;
        std::vector<std::string> left; // in r
    };
    const Row rows[] = {
        {"b", EACCES, 8, {"b", "c", "sub"}},
        {"b", ENOENT, 0, {}},  // removed meanwhile
        {"sub", EPERM, 0, {}}, // a directory: removed as one
        {"r", EBUSY, 8, {}},   // all but the directory itself
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.error));
        TempDir dir;
        SyslogCapture log;
        makeTree(dir.path(), {"r/a", "r/b", "r/c", "r/sub/d"});
        ScopedSyscalls calls;
        failingName = row.name;
        failingError = row.error;
        calls.table().unlinkat = failingUnlinkAt;
        calls.table().rmdir = failingRmdir;
        EXPECT_EQ(deleteRes((dir / "r").c_str()), row.expected);
        if (row.expected == 0) {
            EXPECT_TRUE(!present(dir / "r") && log.messages().empty());
            continue;
        }
        std::string shown = dir / (row.error == EBUSY ? "r" : "r/b");
        EXPECT_EQ(log.messages(),
                  std::vector<std::string>{"The resource \"" + shown +
                                           "\" could not be removed. Error code is " +
                                           std::to_string(row.error)});
        EXPECT_EQ(namesIn(dir / "r"), row.left);
    }
}

TEST(MoveDeleteSizes, BlocksOfFilesDirectoriesAndLinks) {
    TempDir dir;
    makeTree(dir.path(), {"r/sub/b"});
    writeFile(dir / "empty", "");
    writeFile(dir / "r/a", std::string(64 * 1024, 'x'));
    writeFile(dir / "big", std::string(256 * 1024, 'x'));
    ASSERT_EQ(symlink((dir / "big").c_str(), (dir / "r/link").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "r/up").c_str()), 0);

    EXPECT_EQ(getSize((dir / "empty").c_str(), nullptr), 0);
    long expected = 0;
    for (const char* part : {"r", "r/a", "r/sub", "r/sub/b", "r/link", "r/up"})
        expected += statOf(dir / part).st_blocks;
    EXPECT_EQ(getSize((dir / "r").c_str(), nullptr), expected);
    EXPECT_LT(expected, statOf(dir / "big").st_blocks); // the links' targets are not counted

    struct stat given = statOf(dir / "empty");
    given.st_blocks = 42;
    EXPECT_EQ(getSize((dir / "empty").c_str(), &given), 42);

    SyslogCapture log;
    SeamFaults faults({{"lstat", "/sub/b", EACCES}});
    EXPECT_EQ(getSize((dir / "r").c_str(), nullptr), -1);
    EXPECT_EQ(log.messages().size(), 1u);
    faults.arm({{"readdir", "/r/sub", EIO}});
    EXPECT_EQ(getSize((dir / "r").c_str(), nullptr), -1);
}
