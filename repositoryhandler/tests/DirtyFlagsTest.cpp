#include "OVDirtyFlagHandler.h"
#include "OVException.h"
#include "OVSemaphore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A repository directory, with lock files going to a directory of their own.
class DirtyFlags : public ::testing::Test {
protected:
    DirtyFlags() : lockVar("LOCK_VAR", locks.path().c_str()) {}

    void bind(OVDirtyFlagHandler& handler) { handler.setRepository(repo.path().c_str()); }
    std::string temporaryFile() const { return setFile + "." + std::to_string(getpid()); }

    TempDir locks;
    ScopedEnv lockVar;
    TempDir repo;
    std::string setFile = repo / ".dirty";
};

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct stat statOf(const std::string& path) {
    struct stat st = {};
    stat(path.c_str(), &st);
    return st;
}

std::string textOf(const OVException& e) {
    std::string text;
    e.toString(text);
    return text;
}

std::string& failingPath() {
    static std::string path;
    return path;
}

int failOpenOfOnePath(const char* path, int flags, mode_t mode) {
    if (failingPath() == path) {
        errno = EACCES;
        return -1;
    }
    return ovsys::real().open(path, flags, mode);
}

void post(int fd) {
    char token = 'x';
    ASSERT_EQ(write(fd, &token, 1), 1);
}

void await(int fd) {
    char token;
    ASSERT_EQ(read(fd, &token, 1), 1);
}

} // namespace

TEST_F(DirtyFlags, KeepsOneSortedLinePerIdentifierAndNothingElse) {
    OVDirtyFlagHandler handler;
    bind(handler);
    EXPECT_EQ(handler.getSetFile(), setFile);
    EXPECT_FALSE(handler.isDirty("a"));
    handler.setDirty("b", false);
    EXPECT_TRUE(entries(repo.path()).empty()); // no file before the first change

    handler.setDirty("a", true);
    handler.setDirty("c", true);
    handler.setDirty("b", true);
    EXPECT_EQ(readFile(setFile), "a\nb\nc\n");
    handler.setDirty("b", false);
    EXPECT_EQ(readFile(setFile), "a\nc\n");
    EXPECT_TRUE(handler.isDirty("c"));
    EXPECT_FALSE(handler.isDirty("b"));
    // An identifier with a line feed would flag two others: refused, the file unchanged.
    EXPECT_FALSE(handler.setDirty("x\nc", true));
    EXPECT_EQ(readFile(setFile), "a\nc\n");

    EXPECT_EQ(entries(repo.path()), std::vector<std::string>{".dirty"}); // no temporary left
    EXPECT_TRUE(entries(locks.path()).empty());                          // every lock released
}

TEST_F(DirtyFlags, RewritesTheFileOnlyWhenTheSetChanges) {
    OVDirtyFlagHandler handler;
    bind(handler);
    handler.setDirty("a", true);
    struct stat before = statOf(setFile);
    handler.setDirty("a", true);
    handler.setDirty("z", false);
    struct stat after = statOf(setFile);
    EXPECT_EQ(after.st_ino, before.st_ino); // a rewrite would have put a new file in place
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    handler.clearDirtySet();
    EXPECT_EQ(entries(repo.path()), std::vector<std::string>{".dirty"});
    EXPECT_EQ(statOf(setFile).st_size, 0);
    EXPECT_FALSE(handler.isDirty("a"));
}

TEST_F(DirtyFlags, ReadsWholeLinesOfAnyLength) {
    std::string longId(1500, 'x');
    writeFile(setFile, "a\n\n" + longId + "\nlast");
    OVDirtyFlagHandler handler;
    bind(handler);
    EXPECT_TRUE(handler.isDirty("a"));
    EXPECT_TRUE(handler.isDirty("")); // an empty line is the empty identifier
    EXPECT_TRUE(handler.isDirty("last"));
    EXPECT_TRUE(handler.isDirty(longId.c_str()));
    EXPECT_FALSE(handler.isDirty(longId.substr(0, 1023).c_str()));

    handler.setDirty("b", true);
    EXPECT_EQ(readFile(setFile), "\na\nb\nlast\n" + longId + "\n");
    OVDirtyFlagHandler reader;
    bind(reader);
    EXPECT_TRUE(reader.isDirty(longId.c_str()));
}

TEST_F(DirtyFlags, ProcessesSeeAndKeepEachOthersChanges) {
    OVDirtyFlagHandler mine;
    bind(mine);
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = startChild([&] {
        close(toChild[1]); // a parent that dies ends the wait below instead of hanging it
        OVDirtyFlagHandler theirs;
        bind(theirs);
        post(toParent[1]);
        await(toChild[0]); // the parent marks "a" meanwhile
        theirs.setDirty("b", true);
        return theirs.isDirty("a") ? 0 : 1;
    });
    await(toParent[0]);
    EXPECT_NO_THROW(mine.setDirty("a", true));
    post(toChild[1]);
    EXPECT_EQ(waitForChild(child), 0); // the child saw "a"
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
    EXPECT_EQ(readFile(setFile), "a\nb\n");
    EXPECT_TRUE(mine.isDirty("b"));

    // A flag cleared elsewhere reads as clean here.
    EXPECT_EQ(runInChild([&] {
                  OVDirtyFlagHandler theirs;
                  bind(theirs);
                  theirs.setDirty("a", false);
                  return 0;
              }),
              0);
    EXPECT_FALSE(mine.isDirty("a"));
    EXPECT_TRUE(mine.isDirty("b"));
}

TEST_F(DirtyFlags, BusyLockCountsAsDirtyAndChangesNothing) {
    SyslogCapture syslog;
    ScopedSyscalls calls;
    calls.table().nanosleep = [](const struct timespec*, struct timespec*) { return 0; };
    OVDirtyFlagHandler handler;
    bind(handler);
    writeFile(setFile, "x\n"); // another writer, after the handler looked

    std::string name = "OVRepositoryHandler-" + repo.path() + "/.dirty-";
    std::replace(name.begin(), name.end(), '/', '_');
    OVSemaphore held(name, true);
    ASSERT_TRUE(held.lock(30));
    EXPECT_TRUE(handler.isDirty("y"));
    handler.setDirty("y", true);
    handler.clearDirtySet();
    OVDirtyFlagHandler late;
    bind(late);
    EXPECT_EQ(readFile(setFile), "x\n");
    std::string message = "The dirty mechanism \"" + setFile + "\" could not be locked.";
    EXPECT_EQ(syslog.messages(), std::vector<std::string>(4, message));

    held.unlock();
    EXPECT_FALSE(handler.isDirty("y"));
    EXPECT_TRUE(late.isDirty("x"));

    // A file unchanged since it was read is answered for without the lock.
    syslog.clear();
    ASSERT_TRUE(held.lock(30));
    EXPECT_TRUE(handler.isDirty("x"));
    EXPECT_FALSE(handler.isDirty("y"));
    EXPECT_TRUE(syslog.messages().empty());
}

TEST_F(DirtyFlags, FailuresThrowAssertionsAndReleaseTheLock) {
    OVDirtyFlagHandler handler;
    try {
        handler.setRepository(nullptr);
        ADD_FAILURE() << "a null repository was accepted";
    } catch (const OVAssertionException& e) {
        EXPECT_EQ(e.getExpression(), "repository");
        EXPECT_EQ(e.getLine(), 1682);
    }
    bind(handler);
    EXPECT_THROW(handler.isDirty(nullptr), OVAssertionException);
    EXPECT_THROW(handler.setDirty(nullptr, true), OVAssertionException);

    const std::string writeFailure =
        "ASSERT (f) in repositoryhandler/src/libs/OVRepositoryHandler at line 1781.";
    ASSERT_EQ(mkdir(temporaryFile().c_str(), 0700), 0); // the temporary cannot be opened
    try {
        handler.setDirty("a", true);
        ADD_FAILURE() << "an unwritable set file went unnoticed";
    } catch (const OVAssertionException& e) {
        EXPECT_EQ(textOf(e), writeFailure);
    }
    ASSERT_EQ(rmdir(temporaryFile().c_str()), 0);
    handler.setDirty("b", true);
    EXPECT_EQ(readFile(setFile), "a\nb\n"); // the change of the failed write was kept
    {
        ScopedSyscalls calls; // the set file cannot be replaced
        calls.table().rename = [](const char*, const char*) {
            errno = EACCES;
            return -1;
        };
        EXPECT_THROW(handler.setDirty("c", true), OVAssertionException);
    }
    EXPECT_EQ(readFile(setFile), "a\nb\n");
    EXPECT_EQ(entries(repo.path()), std::vector<std::string>{".dirty"}); // no temporary left

    writeFile(setFile, "d\n"); // by another writer
    ScopedSyscalls calls;      // the set file cannot be read
    failingPath() = setFile;
    calls.table().open = failOpenOfOnePath;
    try {
        handler.setDirty("e", true);
        ADD_FAILURE() << "an unreadable set file went unnoticed";
    } catch (const OVAssertionException& e) {
        EXPECT_EQ(e.getExpression(), "f");
        EXPECT_EQ(e.getLine(), 1705);
    }
    EXPECT_EQ(readFile(setFile), "d\n");
    EXPECT_TRUE(entries(locks.path()).empty());
}

namespace {

int failStatOfOnePath(const char* path, struct stat* st) {
    if (failingPath() == path) {
        errno = EACCES;
        return -1;
    }
    return ovsys::real().stat(path, st);
}

} // namespace

TEST_F(DirtyFlags, AStateThatCannotBeReadCountsAsDirty) {
    SyslogCapture syslog;
    OVDirtyFlagHandler handler;
    bind(handler);
    handler.setDirty("a", true);
    failingPath() = setFile;
    {
        ScopedSyscalls calls; // ".dirty" cannot be stated
        calls.table().stat = failStatOfOnePath;
        EXPECT_TRUE(handler.isDirty("b"));
        EXPECT_THROW(handler.setDirty("b", true), OVAssertionException);
    }
    EXPECT_FALSE(handler.isDirty("b")); // the failed look is not taken for the answer
    writeFile(setFile, "c\nd\n");       // by another writer
    {
        ScopedSyscalls calls; // ".dirty" cannot be opened
        calls.table().open = failOpenOfOnePath;
        EXPECT_TRUE(handler.isDirty("b"));
    }
    EXPECT_FALSE(handler.isDirty("a"));
    EXPECT_TRUE(handler.isDirty("c"));
    std::string message = "The dirty mechanism \"" + setFile +
                          "\" could not be read (error code 13); \"b\" counts as dirty.";
    EXPECT_EQ(syslog.messages(), std::vector<std::string>(2, message));
    EXPECT_TRUE(entries(locks.path()).empty());
}

TEST_F(DirtyFlags, ANewSetFileKeepsModeAndOwnerOfTheOldOne) {
    // The repository belongs to the application's user; writers run as root with umask 077.
    ASSERT_EQ(chown(repo.path().c_str(), 1234, 1235), 0);
    ASSERT_EQ(chmod(repo.path().c_str(), 0770), 0);
    ASSERT_EQ(chmod(locks.path().c_str(), 0777), 0);
    auto writeAs = [&](uid_t user, gid_t group, const char* id) {
        return runInChild([&] {
            umask(077);
            if (group != 0 && (setgid(group) != 0 || setuid(user) != 0))
                return 2;
            OVDirtyFlagHandler handler;
            bind(handler);
            handler.setDirty(id, true);
            return handler.isDirty(id) ? 0 : 1;
        });
    };
    ASSERT_EQ(writeAs(0, 0, "a"), 0);
    struct stat st = statOf(setFile); // a first file: the directory's owner, its read/write bits
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1235u);
    EXPECT_EQ(st.st_mode & 07777, 0660u);

    ASSERT_EQ(chmod(setFile.c_str(), 0644), 0);
    ASSERT_EQ(writeAs(0, 0, "b"), 0);
    st = statOf(setFile);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1235u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(setFile), "a\nb\n");

    // Another user of the group may not give the file away, but keeps its group and mode.
    ASSERT_EQ(chmod(setFile.c_str(), 0664), 0);
    ASSERT_EQ(writeAs(1236, 1235, "c"), 0);
    st = statOf(setFile);
    EXPECT_EQ(st.st_uid, 1236u);
    EXPECT_EQ(st.st_gid, 1235u);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(readFile(setFile), "a\nb\nc\n");
}

TEST_F(DirtyFlags, TemporariesOfWritersThatDiedAreRemoved) {
    pid_t dead = startChild([] { return 0; });
    ASSERT_EQ(waitForChild(dead), 0);
    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    pid_t alive = startChild([&] {
        close(toChild[1]);
        char token;
        return static_cast<int>(read(toChild[0], &token, 1)); // waits for the end of the test
    });
    close(toChild[0]);
    std::string deadOnes = setFile + "." + std::to_string(dead);
    std::string liveOnes = setFile + "." + std::to_string(alive);
    for (const std::string& file : {deadOnes, liveOnes, setFile + ".x1", setFile + ".1x"})
        writeFile(file, "left over\n");

    OVDirtyFlagHandler handler;
    bind(handler);
    handler.setDirty("a", true);
    std::vector<std::string> left = {".dirty", ".dirty." + std::to_string(alive), ".dirty.1x",
                                     ".dirty.x1"};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(entries(repo.path()), left);
    close(toChild[1]);
    waitForChild(alive);
}
