// Moves never replace an existing file, and fail cleanly across file systems.
#include <cerrno>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "MoveNoReplace.h"
#include "OVSyscalls.h"
#include "TestSupport.h"

namespace {

class MoveTest : public RelocateTest {};

// Makes a tmpfs the child's `dir`: it exists only in the child's own mount namespace.
std::function<bool()> tmpfsOn(const std::string& dir) {
    return [dir] {
        return unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    };
}

TEST(MoveNoReplaceTest, RefusesAnExistingNameAndMovesOtherwise) {
    for (const auto move : {&moveNoReplace, &linkThenUnlink}) {
        TempDir dir;
        const std::string a = dir.path() + "/a", b = dir.path() + "/b", c = dir.path() + "/c";
        writeText(a, "A");
        writeText(b, "B");
        errno = 0;
        EXPECT_FALSE(move(a, b));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_FALSE(move(a, dir.path() + "/missing/c"));
        EXPECT_EQ(readFile(a), "A");
        EXPECT_EQ(readFile(b), "B");
        EXPECT_TRUE(move(a, c));
        EXPECT_FALSE(exists(a));
        EXPECT_EQ(readFile(c), "A");
    }
}

// Replaces entries of the system-call table for its lifetime and restores the whole table after.
class SeamCalls {
public:
    SeamCalls() : saved(ovsys::table()) {}
    ~SeamCalls() { ovsys::table() = saved; }
    SeamCalls(const SeamCalls&) = delete;
    SeamCalls& operator=(const SeamCalls&) = delete;

private:
    ovsys::Table saved;
};

// The failing calls of a row, and every name-changing call seen, as "call path...".
struct Fallback {
    int renameError;        // of the no-replace rename, which is always refused
    std::string call, path; // the second failing call, on this path ("" for none)
    int error;
} fallback;
std::vector<std::string> seen;

bool failing(const std::string& call, const std::string& path) {
    if (fallback.call != call || fallback.path != path) {
        return false;
    }
    errno = fallback.error;
    return true;
}

// Where the no-replace rename is refused, the move links the new name and unlinks the old; when
// either step fails the file keeps exactly its old name (a failed unlink takes the new link back).
TEST(MoveNoReplaceTest, WhereNoReplaceIsRefusedTheFileEndsUnderExactlyOneName) {
    TempDir dir;
    const std::string a = dir.path() + "/a", c = dir.path() + "/c";
    struct Row {
        Fallback fault;
        bool moved;
        std::vector<std::string> calls;
    };
    // The calls seen: the rename and the link of a to c, the unlink of a or of c.
    const std::string renameAC = "rename " + a + " " + c, linkAC = "link " + a + " " + c;
    const std::string unlinkA = "unlink " + a, unlinkC = "unlink " + c;
    const Row rows[] = {
        {{EINVAL, "", "", 0}, true, {renameAC, linkAC, unlinkA}},
        {{ENOSYS, "", "", 0}, true, {renameAC, linkAC, unlinkA}},
        {{EINVAL, "unlink", a, EIO}, false, {renameAC, linkAC, unlinkA, unlinkC}},
        {{ENOSYS, "unlink", a, EACCES}, false, {renameAC, linkAC, unlinkA, unlinkC}},
        {{EINVAL, "link", a, EPERM}, false, {renameAC, linkAC}},
        {{EXDEV, "", "", 0}, false, {renameAC}}, // no fallback across mounts
        {{EIO, "", "", 0}, false, {renameAC}},
    };
    for (const Row& row : rows) {
        const std::string name = std::to_string(row.fault.renameError) + " " + row.fault.call +
                                 " " + std::to_string(row.fault.error);
        std::filesystem::remove(c);
        writeText(a, "A");
        fallback = row.fault;
        seen.clear();
        bool moved;
        int error;
        {
            SeamCalls calls;
            ovsys::table().renameNoReplace = [](const char* from, const char* to) {
                seen.push_back(std::string("rename ") + from + " " + to);
                errno = fallback.renameError;
                return -1;
            };
            ovsys::table().linkat = [](int fromDir, const char* from, int toDir, const char* to,
                                       int flags) {
                seen.push_back(std::string("link ") + from + " " + to);
                return failing("link", from)
                           ? -1
                           : ovsys::real().linkat(fromDir, from, toDir, to, flags);
            };
            ovsys::table().unlink = [](const char* path) {
                seen.push_back(std::string("unlink ") + path);
                return failing("unlink", path) ? -1 : ovsys::real().unlink(path);
            };
            moved = moveNoReplace(a, c);
            error = errno;
        }
        EXPECT_EQ(moved, row.moved) << name;
        EXPECT_EQ(seen, row.calls) << name;
        if (row.moved) {
            EXPECT_FALSE(exists(a)) << name;
            EXPECT_EQ(readFile(c), "A") << name;
            continue;
        }
        EXPECT_EQ(error, row.fault.call.empty() ? row.fault.renameError : row.fault.error) << name;
        EXPECT_EQ(readFile(a), "A") << name;
        EXPECT_FALSE(exists(c)) << name;
        struct stat st;
        EXPECT_TRUE(stat(a.c_str(), &st) == 0 && st.st_nlink == 1) << name;
    }
}

TEST_F(MoveTest, FilingAStudyTwiceKeepsTheFirstCopy) {
    SampleSpec first = ctImage();
    first.patientName = "First";
    writeDicom(first, at("src/f1"));
    const std::string firstContent = readFile(at("src/f1"));
    expectRun(run({"src", "dst"}), "201103/15/1.2.3\n", kOneFileFiled, 0);

    SampleSpec second = ctImage();
    second.patientName = "Second";
    writeDicom(second, at("src/f1"));
    const std::string secondContent = readFile(at("src/f1"));
    const std::string refused =
        "Can't move src/f1 to dst/201103/15/1.2.3/CT.1.2.3.1 (target exists)\n";
    expectRun(run({"-d", "src", "dst"}), "",
              kOneFileMoving + "Warning: " + refused + closing(0, "0 skipped", 1, true), 2);
    expectRun(run({"src", "dst"}), "",
              kOneFileMoving + "Error: " + refused + closing(0, "0 skipped", 1), 2);
    EXPECT_EQ(readFile(at("dst/201103/15/1.2.3/CT.1.2.3.1")), firstContent);
    EXPECT_EQ(readFile(at("src/f1")), secondContent);
}

TEST_F(MoveTest, SecondFileOfTheSameNameStays) {
    for (const char* name : {"f1", "f2"}) {
        SampleSpec sample = ctImage();
        sample.patientName = name;
        writeDicom(sample, at("src/") + name);
    }
    const std::vector<std::string> names = listingOrder(at("src"));
    const std::string firstContent = readFile(at("src/" + names[0]));
    const std::string secondContent = readFile(at("src/" + names[1]));
    const std::string target = "dst/201103/15/1.2.3/CT.1.2.3.1";
    expectRun(run({"src", "dst"}), "",
              lines({
                  "Info: Processing directory src",
                  "Info: Processing file src/" + names[0],
                  "Info: Processing file src/" + names[1],
              }) + kMakeStudyDir +
                  lines({
                      "Info: Moving src/" + names[0] + " to " + target,
                      "Info: Moving src/" + names[1] + " to " + target,
                      "Error: Can't move src/" + names[1] + " to " + target + " (target exists)",
                  }) +
                  closing(1, "0 skipped", 1),
              2);
    EXPECT_EQ(readFile(at(target)), firstContent);
    EXPECT_FALSE(exists(at("src/" + names[0])));
    EXPECT_EQ(readFile(at("src/" + names[1])), secondContent);
}

TEST_F(MoveTest, TargetOnAnotherFileSystemMovesNothing) {
    writeDicom(ctImage("1.2.3.1"), at("src/f1"));
    writeDicom(ctImage("1.2.3.2"), at("src/f2"));
    ASSERT_EQ(mkdir(at("dst").c_str(), 0755), 0);
    // The tmpfs on dst exists only in the child's own mount namespace and goes with it.
    const std::string mountPoint = at("dst");
    RunOptions options;
    options.prepare = tmpfsOn(mountPoint);
    const RunResult result = run({"src", "dst"}, options);
    if (result.status == kPrepareFailed && result.err.empty()) {
        GTEST_SKIP() << "no permission for a private mount namespace";
    }
    std::string processed;
    std::string moves;
    for (const std::string& name : listingOrder(at("src"))) {
        const std::string target = "dst/201103/15/1.2.3/CT.1.2.3." + name.substr(1);
        processed += lines({"Info: Processing file src/" + name});
        moves += lines(
            {"Info: Moving src/" + name + " to " + target,
             "Error: Can't move src/" + name + " to " + target + " (Invalid cross-device link)"});
    }
    expectRun(result, "",
              "Info: Processing directory src\n" + processed + kMakeStudyDir + moves +
                  closing(0, "0 skipped", 2),
              2);
    EXPECT_TRUE(exists(at("src/f1")));
    EXPECT_TRUE(exists(at("src/f2")));
    EXPECT_TRUE(listingOrder(mountPoint).empty()); // the directories were made on the tmpfs
}

// A target below a missing top-level directory is made on the root file system, wherever the run
// is started: the dry run judges a move against "/", not against the current directory.
TEST_F(MoveTest, DryRunJudgesAMissingTopLevelTargetAgainstTheRoot) {
    writeDicom(ctImage(), at("src/f1"));
    ASSERT_EQ(mkdir(at("here").c_str(), 0755), 0);
    const std::string here = at("here");
    RunOptions options;
    options.prepare = [here] { return tmpfsOn(here)() && chdir(here.c_str()) == 0; };
    const RunResult result =
        run({"-d", at("src"), "/dcmrelocate-missing-" + std::to_string(getpid())}, options);
    if (result.status == kPrepareFailed && result.err.empty()) {
        GTEST_SKIP() << "no permission for a private mount namespace";
    }
    struct stat root, source;
    ASSERT_EQ(stat("/", &root), 0);
    ASSERT_EQ(stat(at("src/f1").c_str(), &source), 0);
    EXPECT_EQ(result.err.find("Invalid cross-device link") != std::string::npos,
              root.st_dev != source.st_dev)
        << result.err;
}

// Causes beside those above and the unknown SOP Class (ScanTest): the real run names each in an
// error, the dry run in a warning instead of the "mv"; both end with 2 and no result line.
TEST_F(MoveTest, EveryCauseOfAFailedMoveIsNamedByTheRealAndTheDryRun) {
    const std::string target = "dst/201103/15/1.2.3/CT.1.2.3.1";
    struct Cause {
        const char* what;
        std::function<void()> arrange; // after src/f1 is written from ctImage()
        std::string reason;
        std::function<bool()> prepare = nullptr;
        int filed = 0;
    };
    const auto asNobody = [] { return setgid(65534) == 0 && setuid(65534) == 0; };
    const Cause causes[] = {
        {"two files of one name", [&] { writeDicom(ctImage(), at("src/f2")); }, "target exists",
         nullptr, 1},
        {"a dangling link at the target",
         [&] {
             std::filesystem::create_directories(at("dst/201103/15/1.2.3"));
             symlink("nowhere", at(target).c_str());
         },
         "target exists"},
        {"a file in the way", [&] { writeText(at("dst"), ""); }, "Not a directory"},
        {"another file system", [&] { mkdir(at("dst").c_str(), 0755); },
         "Invalid cross-device link", tmpfsOn(at("dst"))},
        {"no permission",
         [&] {
             chmod(tmp.path().c_str(), 0755);
             std::filesystem::create_directories(at("dst/201103/15/1.2.3"));
         },
         "Permission denied", asNobody},
        {"a target directory that cannot be searched",
         [&] {
             chmod(tmp.path().c_str(), 0755);
             std::filesystem::create_directories(at("dst"));
             chmod(at("dst").c_str(), 0776);
             chmod(at("src").c_str(), 0777);
         },
         "Permission denied", asNobody},
        {"a source directory that may not be written",
         [&] {
             chmod(tmp.path().c_str(), 0755);
             std::filesystem::create_directories(at("dst"));
             chmod(at("dst").c_str(), 0777);
         },
         "Permission denied", asNobody},
    };
    for (const Cause& cause : causes) {
        SCOPED_TRACE(cause.what);
        std::filesystem::remove_all(at("src"));
        std::filesystem::remove_all(at("dst"));
        writeDicom(ctImage(), at("src/f1"));
        cause.arrange();
        // Of two files of one name the second in walk order fails.
        const std::string failing = "src/" + listingOrder(at("src")).back();
        const std::string refused =
            "Can't move " + failing + " to " + target + " (" + cause.reason + ")\n";
        const std::string before = treeListing(tmp.path());
        for (const bool dry : {true, false}) {
            RunOptions options;
            options.prepare = cause.prepare;
            const RunResult result = run(dry ? std::vector<std::string>{"-d", "src", "dst"}
                                             : std::vector<std::string>{"src", "dst"},
                                         options);
            if (result.status == kPrepareFailed && result.err.empty()) {
                break; // no private mount namespace, or not root
            }
            EXPECT_EQ(result.out.find("mv " + failing), std::string::npos) << result.out;
            EXPECT_EQ(("\n" + result.out).find("\n201103/15/1.2.3\n"), std::string::npos);
            EXPECT_NE(result.err.find((dry ? "Warning: " : "Error: ") + refused), std::string::npos)
                << result.err;
            EXPECT_NE(result.err.find(closing(cause.filed, "0 skipped", 1, dry)),
                      std::string::npos);
            EXPECT_EQ(result.status, 2);
            EXPECT_TRUE(!dry || treeListing(tmp.path()) == before); // the dry run changes nothing
        }
    }
}

} // namespace
