#include "OVException.h"
#include "OVPaths.h"
#include "TestSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string base(const char* path) {
    return take(baseDir(path));
}
std::string parent(const char* path) {
    return take(parentDir(path));
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Changes the working directory for its lifetime.
class ScopedCwd {
public:
    explicit ScopedCwd(const char* dir) : old(getcwd(nullptr, 0)) { EXPECT_EQ(0, chdir(dir)); }
    ~ScopedCwd() {
        EXPECT_EQ(0, chdir(old));
        free(old);
    }

private:
    char* old;
};

int mkdirCalls = 0;
int countingMkdir(const char* path, mode_t mode) {
    ++mkdirCalls;
    return ovsys::real().mkdir(path, mode);
}

} // namespace

TEST(PathStrings, SplitsAndJoins) {
    EXPECT_EQ("/a/b/", base("/a/b/c"));
    EXPECT_EQ("/a/b/", base("/a/b/"));
    EXPECT_EQ("/", base("/abc"));
    EXPECT_EQ("/", base("/"));
    EXPECT_EQ("(null)", base("abc"));
    EXPECT_EQ("(null)", base(""));
    EXPECT_EQ("(null)", base(nullptr));

    EXPECT_EQ("/a/", parent("/a/b/"));
    EXPECT_EQ("/a/", parent("/a/b/c"));
    EXPECT_EQ("a/", parent("a/b/"));
    EXPECT_EQ("/", parent("/a/"));
    EXPECT_EQ("(null)", parent("a/"));
    EXPECT_EQ("(null)", parent("/"));

    // The intermediate string of append is freed (the leak checker of the sanitizer build sees
    // it otherwise).
    EXPECT_EQ("/m/y", take(append(baseDir("/m/x"), "y")));
    EXPECT_EQ("(null)", take(mystrdup(nullptr)));
    release(nullptr);
    release(mystrdup("x"));
}

TEST(PathMkdirs, CreatesMissingLevelsOnce) {
    TempDir tmp;
    ScopedSyscalls calls;
    calls.table().mkdir = countingMkdir;
    std::string deep = tmp / "a/b/";
    EXPECT_EQ(0, mkdirs(deep.c_str(), 0755));
    EXPECT_TRUE(isDirectory(tmp / "a/b"));
    mkdirCalls = 0;
    EXPECT_EQ(0, mkdirs(deep.c_str(), 0755));
    EXPECT_EQ(0, mkdirs((tmp / "a//b/c").c_str(), 0755));
    EXPECT_EQ(1, mkdirCalls);
    EXPECT_TRUE(isDirectory(tmp / "a/b/c"));

    writeFile(tmp / "file", "x");
    EXPECT_EQ(-1, mkdirs((tmp / "file/sub/").c_str(), 0755));
    EXPECT_EQ(0, mkdirs((tmp / "file").c_str(), 0755)); // exists, though no directory
}

TEST(PathMkdirs, FailuresAndLevelsMadeMeanwhile) {
    TempDir tmp;
    ScopedSyscalls calls;
    calls.table().mkdir = failing<EACCES>(calls.table().mkdir);
    EXPECT_EQ(-1, mkdirs((tmp / "denied").c_str(), 0755));

    // Another process makes the level between the test and the creation.
    calls.table().mkdir = [](const char* path, mode_t mode) {
        ovsys::real().mkdir(path, mode);
        errno = EEXIST;
        return -1;
    };
    EXPECT_EQ(0, mkdirs((tmp / "raced/deeper/").c_str(), 0755));
    EXPECT_TRUE(isDirectory(tmp / "raced/deeper"));

    // ... but a file made there meanwhile is no directory.
    calls.table().mkdir = [](const char* path, mode_t) {
        close(open(path, O_CREAT | O_WRONLY, 0644));
        errno = EEXIST;
        return -1;
    };
    EXPECT_EQ(-1, mkdirs((tmp / "file/deeper/").c_str(), 0755));
}

TEST(PathMkdirs, ConcurrentCreatorsAllSucceed) {
    TempDir tmp;
    constexpr int kRounds = 40;
    constexpr int kCreators = 4;
    for (int round = 0; round < kRounds; ++round) {
        std::string deep = tmp / ("r" + std::to_string(round) + "/a/b/c/d/e/f/g/");
        int gate[2];
        ASSERT_EQ(0, pipe(gate));
        pid_t children[kCreators];
        for (pid_t& child : children)
            child = startChild([&] {
                close(gate[1]);
                char byte;
                (void)!read(gate[0], &byte, 1); // returns when the gate opens
                return mkdirs(deep.c_str(), 0755) == 0 ? 0 : 1;
            });
        close(gate[0]);
        close(gate[1]); // opens the gate for all creators at once
        for (pid_t child : children)
            EXPECT_EQ(0, waitForChild(child)) << "round " << round;
    }
}

TEST(PathLinks, DanglingAndPlainEntries) {
    TempDir tmp;
    struct stat st;
    std::string dir = tmp / "dir";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, symlink(dir.c_str(), (tmp / "toDir").c_str()));
    ASSERT_EQ(0, symlink((tmp / "missing").c_str(), (tmp / "toMissing").c_str()));
    EXPECT_FALSE(isDangling((tmp / "toDir").c_str()));
    EXPECT_FALSE(isDangling((tmp / "toDir/").c_str()));
    EXPECT_TRUE(isDangling((tmp / "toMissing").c_str()));
    EXPECT_TRUE(isDangling(dir.c_str()));
    EXPECT_TRUE(isDangling((tmp / "missing").c_str()));
    EXPECT_FALSE(exists((tmp / "toMissing").c_str()));

    // A target longer than the first read buffer is read completely.
    std::string level(100, 'n');
    std::string longName = tmp / (level + "/" + level + "/" + level);
    ASSERT_EQ(0, mkdirs(longName.c_str(), 0755));
    ASSERT_EQ(0, symlink(longName.c_str(), (tmp / "toLong").c_str()));
    EXPECT_FALSE(isDangling((tmp / "toLong").c_str()));

    // Relative targets count from the link's directory, not from the working directory.
    ASSERT_EQ(0, symlink("dir", (tmp / "relative").c_str()));
    ASSERT_EQ(0, symlink("elsewhere", (tmp / "relativeMissing").c_str()));
    ASSERT_EQ(0, mkdir((tmp / "elsewhere").c_str(), 0755));
    ScopedCwd cwd(dir.c_str());
    ASSERT_EQ(0, mkdir("elsewhere", 0755));
    EXPECT_FALSE(isDangling((tmp / "relative").c_str()));
    EXPECT_FALSE(isDangling((tmp / "relativeMissing").c_str()));
    ASSERT_EQ(0, rmdir((tmp / "elsewhere").c_str()));
    EXPECT_TRUE(isDangling((tmp / "relativeMissing").c_str()));

    EXPECT_TRUE(isNotLink(dir.c_str()));
    EXPECT_FALSE(isNotLink((tmp / "toDir").c_str()));
    EXPECT_FALSE(isNotLink((tmp / "missing").c_str()));

    EXPECT_EQ(0, myunlink((tmp / "toDir/").c_str()));
    EXPECT_NE(0, lstat((tmp / "toDir").c_str(), &st));
    EXPECT_TRUE(isDirectory(dir));
    EXPECT_EQ(-1, myunlink(""));
}

TEST(PathStatus, FailuresAreLogged) {
    SyslogCapture syslog;
    struct stat st;
    std::string missing = "/nonexistent/%s/x";
    EXPECT_EQ(8, myStat(missing.c_str(), &st));
    EXPECT_EQ(-1, lastModified(missing.c_str()));
    EXPECT_EQ(-1, lastAccess(missing.c_str(), nullptr));
    bool result = true;
    EXPECT_EQ(8, isDir(missing.c_str(), &result, nullptr));
    EXPECT_TRUE(result);
    std::string message = "The resource \"/nonexistent/%s/x\" can not be stat-ed. Error code is 2";
    EXPECT_EQ(std::vector<std::string>(4, message), syslog.messages());

    syslog.clear();
    ScopedSyscalls calls;
    calls.table().statvfs = failing<EIO>(calls.table().statvfs);
    struct statvfs vfs;
    EXPECT_EQ(8, myStatVfs("/tmp", &vfs));
    EXPECT_EQ(
        std::vector<std::string>{"Error occured while statvfs call to \"/tmp\". Error code is 5"},
        syslog.messages());
}

TEST(PathStatus, NullArgumentsAssert) {
    struct stat st;
    struct statvfs vfs;
    const char* source = "repositoryhandler/src/libs/OVRepositoryHandler";
    auto expectAssert = [&](auto call, const char* expression, long line) {
        try {
            call();
            ADD_FAILURE() << expression;
        } catch (const OVAssertionException& e) {
            EXPECT_EQ(expression, e.getExpression());
            EXPECT_EQ(line, e.getLine());
            EXPECT_EQ(source, e.getFile());
        }
    };
    expectAssert([&] { myStat(nullptr, &st); }, "resource", 298);
    expectAssert([&] { myStat("/", nullptr); }, "resStat", 299);
    expectAssert([&] { myStatVfs(nullptr, &vfs); }, "mountPath", 232);
    expectAssert([&] { myStatVfs("/", nullptr); }, "resStatVfs", 233);
}

TEST(PathStatus, TimesKindsAndMounts) {
    TempDir tmp;
    std::string file = tmp / "file";
    writeFile(file, "x");
    // Read after the last change: the access time; never read since: the modification time.
    struct timespec readLater[2] = {{2000, 0}, {1000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), readLater, 0));
    EXPECT_EQ(2000, lastAccess(file.c_str(), nullptr));
    EXPECT_EQ(1000, lastModified(file.c_str()));
    struct timespec changedLater[2] = {{1000, 0}, {3000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), changedLater, 0));
    EXPECT_EQ(3000, lastAccess(file.c_str(), nullptr));
    struct stat given = {};
    given.st_atime = 7;
    given.st_mode = S_IFDIR;
    EXPECT_EQ(7, lastAccess("/nonexistent", &given));
    bool result = false;
    EXPECT_EQ(0, isDir("/nonexistent", &result, &given)); // the file system is not asked
    EXPECT_TRUE(result);
    EXPECT_EQ(0, isDir(file.c_str(), &result, nullptr));
    EXPECT_FALSE(result);

    SyslogCapture syslog;
    ASSERT_EQ(0, mkdir((tmp / "other").c_str(), 0755));
    EXPECT_TRUE(IsOnTheSameMount(tmp.path().c_str(), (tmp / "other").c_str()));
    EXPECT_FALSE(IsOnTheSameMount("/proc", tmp.path().c_str()));
    EXPECT_FALSE(IsOnTheSameMount(tmp.path().c_str(), (tmp / "missing").c_str()));
    EXPECT_EQ(1u, syslog.messages().size());
}

namespace {

int readdirCalls = 0;
struct dirent* failingSecondReaddir(DIR* dir) {
    errno = EIO;
    return ++readdirCalls == 2 ? nullptr : ovsys::real().readdir(dir);
}

} // namespace

// Only a missing name is an absence; a rename into place never replaces, also where the file
// system cannot refuse by itself; a listing cut short is an error, not a shorter listing.
TEST(PathStatus, ErrorsAreNoAbsenceAndPlacementNeverReplaces) {
    TempDir tmp;
    writeFile(tmp / "file", "f");
    struct stat st;
    EXPECT_EQ(lstatPresence(tmp / "missing", &st), Presence::Absent);
    EXPECT_EQ(lstatPresence(tmp / "file/below", &st), Presence::Absent); // ENOTDIR
    ScopedSyscalls calls;
    calls.table().lstat = failing<EIO>(calls.table().lstat);
    EXPECT_EQ(lstatPresence(tmp / "file", &st), Presence::Failed);
    calls.table().lstat = ovsys::real().lstat;
    for (int fallback = 0; fallback < 2; ++fallback) {
        if (fallback == 1) // a file system that cannot refuse in the rename itself
            calls.table().renameNoReplace = [](const char*, const char*) {
                return errno = EINVAL, -1;
            };
        writeFile(tmp / "b", "b");
        std::filesystem::create_directories(tmp / "d/x");
        std::filesystem::create_directories(tmp / "e/y");
        for (const char* taken : {"b", "e"})
            EXPECT_TRUE(renameNoReplace((tmp / "file").c_str(), (tmp / taken).c_str()) == -1 &&
                        errno == EEXIST &&
                        renameNoReplace((tmp / "d").c_str(), (tmp / taken).c_str()) == -1)
                << fallback << taken;
        EXPECT_EQ(readFile(tmp / "b"), "b");
        if (fallback == 1) { // the old name cannot go: the new link is taken back
            calls.table().unlink = [](const char* path) {
                return std::string(path).find("/file") != std::string::npos
                           ? (errno = EIO, -1)
                           : ovsys::real().unlink(path);
            };
            EXPECT_TRUE(renameNoReplace((tmp / "file").c_str(), (tmp / "c").c_str()) == -1 &&
                        errno == EIO);
            EXPECT_TRUE(readFile(tmp / "file") == "f" && !std::filesystem::exists(tmp / "c"));
            EXPECT_EQ(std::filesystem::hard_link_count(tmp / "file"), 1u);
            calls.table().unlink = ovsys::real().unlink;
        }
        EXPECT_EQ(renameNoReplace((tmp / "file").c_str(), (tmp / "c").c_str()), 0);
        EXPECT_EQ(renameNoReplace((tmp / "d").c_str(), (tmp / "f").c_str()), 0);
        EXPECT_TRUE(readFile(tmp / "c") == "f" && isDirectory(tmp / "f/x"));
        std::filesystem::rename(tmp / "c", tmp / "file");
        std::filesystem::remove_all(tmp / "e");
        std::filesystem::remove_all(tmp / "f");
    }
    std::vector<std::string> names;
    EXPECT_EQ(readDirectory(tmp.path(), names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"b", "file"}));
    EXPECT_EQ(readDirectory(tmp / "missing", names), ENOENT);
    calls.table().readdir = failingSecondReaddir;
    EXPECT_EQ(readDirectory(tmp.path(), names), EIO);
    EXPECT_TRUE(names.empty());
}
