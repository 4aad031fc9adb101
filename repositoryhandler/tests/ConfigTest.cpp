#include "OVException.h"
#include "OVSemaphore.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "SharedRepository.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <unistd.h>
#include <utime.h>

namespace {

std::vector<std::string> mountPaths(const OVRepositoryHandler* handler) {
    std::vector<std::string> paths;
    for (const auto& mount : handler->getMounts())
        paths.push_back(mount->getMountPath());
    return paths;
}

// The limits: remind, warn, warn2, warn3, switch, full, clean and move.
std::vector<int> limitsOf(const OVRepositoryHandler* handler) {
    return {handler->getRemindLimit(), handler->getWarnLimit(),   handler->getWarn2Limit(),
            handler->getWarn3Limit(),  handler->getSwitchLimit(), handler->getFullLimit(),
            handler->getCleanLimit(),  handler->getMoveLimit()};
}

} // namespace

TEST(ConfigNumbers, OnlyPlainDigitStringsCount) {
    EXPECT_EQ(parseNatInt("0"), 0);
    EXPECT_EQ(parseNatInt("007"), 7);
    EXPECT_EQ(parseNatInt("2147483647"), 2147483647);
    EXPECT_EQ(parseNatInt("2147483648"), -2147483647 - 1); // wraps modulo 2^32
    EXPECT_EQ(parseNatInt("4294967295"), -1);
    EXPECT_EQ(parseNatInt("4294967296"), 0);
    for (const char* invalid : {"", "12a", "-5", "+5", " 5", "5 ", "9 0", "\xb5"})
        EXPECT_EQ(parseNatInt(invalid), -1) << "'" << invalid << "'";
}

TEST(ConfigFile, WithoutConfigurationTheRepositoryIsItsOwnMount) {
    TestRepository repo;
    writeFile(repo / "repositorypart.cfg", "");
    OVRepositoryHandler* handler = getRepository(repo.id());
    EXPECT_EQ(mountPaths(handler), std::vector<std::string>{repo.path()});
    EXPECT_EQ(limitsOf(handler), std::vector<int>({80, 90, 92, 94, 95, 97, 98, 99}));
    EXPECT_EQ(handler->getNomoveTime(), 86400);
    EXPECT_FALSE(handler->getIsClearable());
    EXPECT_EQ(handler->getLegacyDir(), "");
    EXPECT_STREQ(handler->getID(), repo.id());

    mark(handler); // the absence of "repository.cfg" is its version: no rebuild
    EXPECT_TRUE(isMarked(getRepository(repo.id())));
    repo.configure("warnLimit = 50\n"); // a file that appears is a change
    EXPECT_EQ(getRepository(repo.id())->getWarnLimit(), 50);
}

TEST(ConfigFile, KeysAndTheirInvalidForms) {
    TestRepository repo;
    repo.configure("legacyDir = /old/data\n"
                   "remindLimit = 007\n"
                   "warnLimit = +5\n"
                   "warn2Limit = 9 0\n"
                   "warn3Limit =\n"
                   "switchLimit = 0\n"
                   "fullLimit = 4294967295\n"
                   "cleanLimit = 50\n"
                   "moveLimit = 60x\n"
                   "isClearable = TRUE\n"
                   "verifyOnDevice = yes\n"
                   "nomoveTimeSeconds = 10\n"
                   "nomoveTime = 2\n");
    OVRepositoryHandler* handler = getRepository(repo.id());
    EXPECT_EQ(handler->getLegacyDir(), "/old/data");
    EXPECT_EQ(limitsOf(handler), std::vector<int>({7, 90, 92, 94, 0, 97, 50, 99}));
    EXPECT_FALSE(handler->getIsClearable());
    EXPECT_FALSE(handler->getMoveOptions().verifyOnDevice || handler->getMoveOptions().flushFiles);
    EXPECT_EQ(handler->getNomoveTime(), 2 * 86400);

    // Flags are case-sensitive; seconds count when no day value is given; large day counts do
    // not overflow.
    for (const char* flag : {"1", "yes", "True"}) {
        repo.configure(std::string("isClearable = ") + flag + "\nnomoveTimeSeconds = 10\n");
        setModified(repo / "repository.cfg", 0);
        EXPECT_FALSE(getRepository(repo.id())->getIsClearable()) << flag;
    }
    repo.configure("isClearable = true\nnomoveTimeSeconds = 10\nverifyOnDevice = true\n"
                   "flushFiles = true\n");
    setModified(repo / "repository.cfg", 5);
    EXPECT_TRUE(getRepository(repo.id())->getIsClearable());
    EXPECT_TRUE(getRepository(repo.id())->getMoveOptions().verifyOnDevice);
    EXPECT_TRUE(getRepository(repo.id())->getMoveOptions().flushFiles);
    EXPECT_EQ(getRepository(repo.id())->getNomoveTime(), 10);
    repo.configure("nomoveTime = 100000\n");
    setModified(repo / "repository.cfg", 10);
    EXPECT_EQ(getRepository(repo.id())->getNomoveTime(), 100000L * 86400);
}

TEST(ConfigFile, MountPointsSplitAtBackslashes) {
    TestRepository repo;
    repo.addMount("a");
    repo.addMount("b");
    repo.addMount("c d");
    repo.configure("mountPoints = \\a\\\\b\\\n");
    EXPECT_EQ(mountPaths(getRepository(repo.id())),
              (std::vector<std::string>{repo / "a", repo / "b"}));

    repo.configure("mountPoints = \"c d\\a\"\n");
    setModified(repo / "repository.cfg", 5);
    EXPECT_EQ(mountPaths(getRepository(repo.id())),
              (std::vector<std::string>{repo / "c d", repo / "a"}));

    repo.configure("mountPoints = \\\\\\\n");
    setModified(repo / "repository.cfg", 10);
    OVRepositoryHandler* handler = getRepository(repo.id());
    EXPECT_TRUE(handler->getMounts().empty());
    EXPECT_EQ(handler->getStatus(), REPO_MISSING);

    repo.configure("mountPoints =\n"); // no list: the repository is its own mount
    setModified(repo / "repository.cfg", 15);
    EXPECT_EQ(mountPaths(getRepository(repo.id())), std::vector<std::string>{repo.path()});
}

TEST(ConfigRegistry, RebuildsOnlyWhenAConfigurationFileChanged) {
    TestRepository repo;
    repo.addMount("m1");
    std::string m2 = repo.addMount("m2");
    repo.configure("mountPoints = m1\\m2\n");

    OVRepositoryHandler* handler = getRepository(repo.id());
    mark(handler);
    EXPECT_TRUE(isMarked(getRepository(repo.id()))); // nothing changed: the same handler

    setModified(repo / "repository.cfg", 5);
    handler = getRepository(repo.id());
    EXPECT_FALSE(isMarked(handler));

    mark(handler);
    setModified(m2 + "/repositorypart.cfg", 5);
    handler = getRepository(repo.id());
    EXPECT_FALSE(isMarked(handler));

    // A mount switched off: its file disappearing is a change, its staying absent is none; its
    // coming back is a change again.
    mark(handler);
    ASSERT_EQ(rename((m2 + "/repositorypart.cfg").c_str(), (m2 + "/repositorypart.no").c_str()), 0);
    handler = getRepository(repo.id());
    EXPECT_FALSE(isMarked(handler));
    mark(handler);
    for (int call = 0; call < 3; ++call)
        EXPECT_TRUE(isMarked(getRepository(repo.id())));
    ASSERT_EQ(rename((m2 + "/repositorypart.no").c_str(), (m2 + "/repositorypart.cfg").c_str()), 0);
    handler = getRepository(repo.id());
    EXPECT_FALSE(isMarked(handler));
    mark(handler);
    EXPECT_TRUE(isMarked(getRepository(repo.id())));

    // Every spelling of the directory with trailing or doubled "/" is the same repository.
    for (std::string spelling : {repo.path() + "/", repo.path() + "//", "/" + repo.path()}) {
        OVRepositoryHandler* same = getRepository(spelling.c_str());
        EXPECT_TRUE(isMarked(same)) << spelling;
        EXPECT_STREQ(same->getID(), repo.id());
    }
    EXPECT_EQ(repositoryMap.size(), 1u);
}

TEST(ConfigRegistry, MissingDirectoriesAndMountsThatCannotBeBuilt) {
    TestRepository repo;
    std::string missing = repo / "not-there";
    OVRepositoryHandler* handler = nullptr;
    {
        SyslogCapture quiet; // a missing directory is no error; one that cannot be reached is
        handler = getRepository(missing.c_str());
        ScopedSyscalls calls;
        calls.table().access = failing<EACCES>(calls.table().access);
        EXPECT_EQ(getRepository(repo.id())->getStatus(), REPO_MISSING);
        EXPECT_EQ(quiet.messages(),
                  std::vector<std::string>{"The repository directory \"" + repo.path() +
                                           "\" could not be reached. Error code "
                                           "is 13"});
    }
    EXPECT_STREQ(handler->getID(), missing.c_str());
    EXPECT_EQ(handler->getStatus(), REPO_MISSING);
    EXPECT_TRUE(handler->getMounts().empty());
    // Looked for again by the next lookup: made meanwhile, it is found.
    ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
    writeFile(missing + "/repositorypart.cfg", "");
    EXPECT_EQ(getRepository(missing.c_str())->getStatus() & REPO_MISSING, 0);

    repo.configure("mountPoints = m1\\gone\n");
    repo.addMount("m1");
    SyslogCapture capture;
    try {
        getRepository(repo.id());
        FAIL() << "no exception";
    } catch (const OVAssertionException& e) {
        std::string text;
        e.toString(text);
        EXPECT_EQ(text, "ASSERT (access( mountPath.c_str(), F_OK & X_OK ) == 0) in "
                        "repositoryhandler/src/libs/OVRepositoryHandler at line 1250.\n"
                        "the mount directory \"" +
                            (repo / "gone") +
                            "\" does not exist: create it and mount its file system there, or "
                            "correct mountPoints in " +
                            repo.path() + "/repository.cfg");
    }
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"The mount directory \"" + (repo / "gone") +
                                       "\" does not exist. Error code is 2"});
    EXPECT_EQ(repositoryMap.find(repo.path()), nullptr);

    // A live handler whose mount vanished: a new setup leaves it without mounts, and the next
    // lookup builds it again.
    repo.addMount("gone");
    handler = getRepository(repo.id());
    ASSERT_EQ(handler->getMounts().size(), 2u);
    ASSERT_EQ(unlink((repo / "gone/repositorypart.cfg").c_str()), 0);
    ASSERT_EQ(rmdir((repo / "gone").c_str()), 0);
    EXPECT_THROW(handler->setup(repo.id()), OVAssertionException);
    EXPECT_TRUE(handler->getMounts().empty());
    EXPECT_EQ(handler->getStatus(), REPO_MISSING);
    EXPECT_FALSE(handler->isUpToDate());
    repo.addMount("gone");
    EXPECT_EQ(getRepository(repo.id())->getMounts().size(), 2u);
}

namespace {

std::string& unreadablePath() {
    static std::string path;
    return path;
}

int openExceptUnreadable(const char* path, int flags, mode_t mode) {
    if (unreadablePath() == path) {
        errno = EIO;
        return -1;
    }
    return ovsys::real().open(path, flags, mode);
}

} // namespace

TEST(ConfigRegistry, ASetupThatFailsHalfWayIsBuiltAgainByTheNextLookup) {
    TestRepository repo;
    repo.addMount("m");
    std::string legacy = repo / "legacy";
    ASSERT_EQ(mkdir(legacy.c_str(), 0755), 0);
    repo.configure("mountPoints = m\nlegacyDir = " + legacy + "\nisClearable = true\n");
    writeFile(repo / ".dirty", "x\n");
    OVRepositoryHandler* handler = getRepository(repo.id());
    mark(handler);
    {
        ScopedSyscalls calls; // the configuration cannot be read, after the fields were reset
        unreadablePath() = repo / "repository.cfg";
        calls.table().open = openExceptUnreadable;
        EXPECT_THROW(handler->setup(repo.id()), OVIOException);
        EXPECT_TRUE(handler->getMounts().empty()); // nothing runs on the defaults
        EXPECT_EQ(handler->getStatus(), REPO_MISSING);
        EXPECT_FALSE(handler->isUpToDate());
        // The flat entry point gives no exception, and its lookup that failed stored nothing.
        EXPECT_NO_THROW(setup_(repo.id()));
        EXPECT_EQ(repositoryMap.size(), 0u);
    }
    handler = getRepository(repo.id());
    EXPECT_FALSE(isMarked(handler));
    EXPECT_EQ(handler->getLegacyDir(), legacy);
    EXPECT_TRUE(handler->getIsClearable());
    EXPECT_EQ(mountPaths(handler), std::vector<std::string>{repo / "m"});
    EXPECT_TRUE(handler->getDirtyFlags().isDirty("x"));
    mark(handler);
    EXPECT_TRUE(isMarked(getRepository(repo.id())));
}

TEST(ConfigRegistry, OneRepositoryOneSetOfLockNames) {
    TestRepository repo;
    repo.addMount("m");
    repo.configure("mountPoints = m\n");
    ScopedSyscalls calls;
    calls.table().nanosleep = [](const struct timespec*, struct timespec*) { return 0; };
    OVSemaphore held(resourceLockName(repo.path(), "12345"), true);
    ASSERT_TRUE(held.lock(30));
    for (std::string spelling : {repo.path(), repo.path() + "/", "/" + repo.path()}) {
        EXPECT_EQ(checkResourceStatus_(spelling.c_str(), "12345"), RES_LOCK_FAILED) << spelling;
        EXPECT_EQ(getRepository(spelling.c_str())->getDirtyFlags().getSetFile(), repo / ".dirty");
    }
    held.unlock();
    EXPECT_EQ(checkResourceStatus_((repo.path() + "//").c_str(), "12345"), RES_NOT_FOUND);

    EXPECT_EQ(normalizedRepositoryPath("//data//rep///"), "/data/rep");
    EXPECT_EQ(normalizedRepositoryPath("/"), "/");
    EXPECT_EQ(normalizedRepositoryPath("///"), "/");
    EXPECT_EQ(normalizedRepositoryPath("rep/./x/"), "rep/./x"); // nothing but slashes changes
    EXPECT_EQ(normalizedRepositoryPath(""), "");
}

namespace {

std::string readyFile;

} // namespace

// lockDirectory names one directory for the locks of every process, whatever its LOCK_VAR: a
// relative path lies below the repository, and a missing directory is reported, never made.
TEST(ConfigFile, ALockDirectoryHoldsTheLocksOfEveryProcess) {
    TestRepository repo; // LOCK_VAR: a directory of its own
    TempDir shared, elsewhere;
    writeFile(repo / "repositorypart.cfg", ""); // the repository is its own mount
    mkdir((repo / "locks").c_str(), 0755);
    const struct {
        std::string line;
        std::string resolved;
    } rows[] = {
        {"lockDirectory = locks\n", repo / "locks"},
        {"lockDirectory = locks//\n", repo / "locks"},
        {"lockDirectory = " + shared.path() + "\n", shared.path()},
        {"lockDirectory =\n", ""},
        {"warnLimit = 50\n", ""},
    };
    long stamp = 0;
    for (const auto& row : rows) {
        repo.configure(row.line);
        setModified(repo / "repository.cfg", stamp += 5);
        OVRepositoryHandler* handler = getRepository(repo.id());
        EXPECT_EQ(handler->getLockDirectory(), row.resolved) << row.line;
    }

    {
        SyslogCapture log;
        repo.configure("lockDirectory = gone\n");
        setModified(repo / "repository.cfg", stamp += 5);
        EXPECT_EQ(checkResourceStatus_(repo.id(), "r"), RES_LOCK_FAILED);
        EXPECT_FALSE(present(repo / "gone")) << "a missing lock directory is not made";
        bool named = false;
        for (const std::string& message : log.messages())
            named = named || (message.find("The lock directory \"" + repo / "gone" +
                                           "\" of the repository") == 0);
        EXPECT_TRUE(named) << "the missing lock directory is named in the log";
    }

    repo.configure("lockDirectory = " + shared.path() + "\n");
    setModified(repo / "repository.cfg", stamp += 5);
    // The dirty flags are locked there too, also after a set-up of the same handler.
    {
        OVSemaphore flagLock(resourceLockName(repo / ".dirty", ""), shared.path(), true);
        ASSERT_TRUE(flagLock.lock(1));
        ScopedSyscalls calls;
        calls.table().nanosleep = [](const struct timespec*, struct timespec*) { return 0; };
        OVRepositoryHandler* handler = getRepository(repo.id());
        EXPECT_FALSE(handler->getDirtyFlags().setDirty("x", true));
        handler->setup(repo.id());
        EXPECT_FALSE(handler->getDirtyFlags().setDirty("x", true));
        unlink((repo / "repository.cfg").c_str()); // not shared any more
        handler->setup(repo.id());
        handler->getDirtyFlags().beginCall();
        EXPECT_TRUE(handler->getDirtyFlags().setDirty("x", false));
        repo.configure("lockDirectory = " + shared.path() + "\n");
        setModified(repo / "repository.cfg", stamp += 5);
    }
    int status = 0;
    std::unique_ptr<char[]> made(createDirectory_(repo.id(), "r", &status, false));
    ASSERT_NE(made, nullptr);
    readyFile = repo / "ready";
    pid_t holder = startChild([&] {
        // Another LOCK_VAR: holds the lock of "r" while it looks the resource up, until killed.
        ScopedEnv other("LOCK_VAR", elsewhere.path().c_str());
        repositoryMap.clear();
        ovsys::table().lstat = [](const char* path, struct stat* st) {
            std::string p(path);
            if (p.size() > 2 && p.compare(p.size() - 2, 2, "/r") == 0) {
                writeFile(readyFile, "");
                sleep(60);
            }
            return ovsys::real().lstat(path, st);
        };
        struct utimbuf times;
        return getTimeProperties_(repo.id(), "r", &times);
    });
    for (int i = 0; i < 1000 && !present(readyFile); ++i)
        usleep(10 * 1000);
    ASSERT_TRUE(present(readyFile)) << "the holder did not take the lock";
    {
        ScopedSyscalls calls; // waiting for the lock takes no time here
        calls.table().nanosleep = [](const struct timespec*, struct timespec*) { return 0; };
        EXPECT_EQ(checkResourceStatus_(repo.id(), "r"), RES_LOCK_FAILED);
    }
    std::vector<std::string> held = namesIn(shared.path(), "semaphore_");
    EXPECT_EQ(held.size(), 1u);
    EXPECT_TRUE(namesIn(elsewhere.path()).empty());
    kill(holder, SIGKILL);
    waitForChild(holder);
    for (const std::string& name : held)
        unlink((shared / name).c_str());
    EXPECT_EQ(checkResourceStatus_(repo.id(), "r"), RES_OK);

    // The host's record names the directory and the token found there.
    std::string token = readFile(shared / kLockDirectoryIdName);
    EXPECT_EQ(token.rfind("token=", 0), 0u);
    EXPECT_EQ(readFile(repo / (kHostRecordPrefix + hostName())),
              "repositoryPath=" + repo.path() + "\nlockDirectory=" + shared.path() + "\n" + token);

    // Of two processes making the token at once, the one that links it second takes the first's.
    unlink((shared / kLockDirectoryIdName).c_str());
    ScopedSyscalls calls;
    calls.table().linkat = [](int fd, const char* from, int toFd, const char* to, int flags) {
        writeFile(to, "token=first\n");
        return ovsys::real().linkat(fd, from, toFd, to, flags);
    };
    EXPECT_EQ(lockDirectoryToken(shared.path()), "first");

    // A lock directory missing at one set-up is recorded by a later one of this process.
    repo.configure("lockDirectory = later\n");
    setModified(repo / "repository.cfg", stamp += 5);
    EXPECT_EQ(checkResourceStatus_(repo.id(), "r"), RES_LOCK_FAILED);
    ASSERT_EQ(mkdir((repo / "later").c_str(), 0755), 0);
    setModified(repo / "repository.cfg", stamp += 5);
    EXPECT_EQ(checkResourceStatus_(repo.id(), "r"), RES_OK);
    EXPECT_NE(readFile(repo / (kHostRecordPrefix + hostName())).find(repo / "later"),
              std::string::npos);
}

// A lock directory token or a host record that cannot be read or written gives no token (or
// leaves the record as it was), is logged with its path and errno, and leaves no file beside it.
TEST(ConfigFile, ATokenOrHostRecordThatFailsIsLoggedAndLeavesNothingBeside) {
    const std::string token = std::string("/") + kLockDirectoryIdName;
    const std::string record = std::string("/") + kHostRecordPrefix + hostName();
    const struct {
        const char* what;
        bool host;       // the host record is written, else the token is read or made
        bool tokenThere; // before, and after for a token
        SeamFault fault;
        std::string logged; // the path below its directory, then the verb
        bool tokenLeft;
    } rows[] = {
        {"token unreadable",
         false,
         true,
         {"read", token, EIO},
         token + "\" could not be read",
         true},
        {"token not flushed",
         false,
         false,
         {"fsync", token, EIO},
         token + "." + writerTag() + "\" could not be written",
         false},
        {"token not linked",
         false,
         false,
         {"linkat", token, EIO},
         token + "\" could not be written",
         false},
        {"token not read back",
         false,
         false,
         {"read", token, EIO},
         token + "\" could not be read",
         true},
        {"record not flushed",
         true,
         true,
         {"fsync", record, EIO},
         record + "~" + std::to_string(getpid()) + "\" could not be written",
         true},
        {"record not placed",
         true,
         true,
         {"rename", record, EIO},
         record + "\" could not be written",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir lockDir, repo;
        if (row.tokenThere)
            writeFile(lockDir / kLockDirectoryIdName, "token=old\n");
        SyslogCapture log;
        {
            SeamFaults injected({row.fault});
            if (row.host)
                recordHost(repo.path(), lockDir.path());
            else
                EXPECT_EQ(lockDirectoryToken(lockDir.path()), "");
        }
        std::string dir = row.host ? repo.path() : lockDir.path();
        std::string kind = row.host ? "host record" : "lock directory token";
        EXPECT_EQ(log.messages(), std::vector<std::string>{"The " + kind + " \"" + dir +
                                                           row.logged + ". Error code is 5"});
        EXPECT_TRUE(namesIn(repo.path()).empty());
        EXPECT_EQ(namesIn(lockDir.path()).size(), row.tokenLeft ? 1u : 0u);
    }
    // What a killed process of the same number left under the name written aside is no obstacle.
    TempDir lockDir, repo;
    writeFile(lockDir / kLockDirectoryIdName + "." + writerTag(), "token=ha");
    EXPECT_EQ(lockDirectoryToken(lockDir.path()).size(), 32u);
    writeFile(repo.path() + record + "~" + std::to_string(getpid()), "half");
    recordHost(repo.path(), lockDir.path());
    EXPECT_EQ(namesIn(repo.path()), std::vector<std::string>{record.substr(1)});
    EXPECT_EQ(readFile(repo.path() + record).rfind("repositoryPath=", 0), 0u);
}

// The "<host>-<pid>" tags of temporary names, and when their writer counts as gone: on this host
// only when no such process is left (a live process of another user is not gone), on another
// host only once its leftover is older than a day.
TEST(ConfigFile, WriterTagsAndWhenTheirWriterIsGone) {
    const struct {
        std::string tag;
        bool parsed;
        std::string host;
        pid_t pid;
    } rows[] = {
        {"12345", true, hostName(), 12345},
        {"h-123456789", true, "h", 123456789},
        {"a-b-42", true, "a-b", 42},
        {hostName() + "-7", true, hostName(), 7},
        {"h-1234567890", false, "", 0},
        {"123456789012", false, "", 0},
        {"-12", false, "", 0},
        {"h-", false, "", 0},
        {"h-1x", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& row : rows) {
        Writer writer;
        EXPECT_EQ(parseWriterTag(row.tag, writer), row.parsed) << row.tag;
        EXPECT_TRUE(!row.parsed || (writer.host == row.host && writer.pid == row.pid &&
                                    writer.ownHost == (row.host == hostName())))
            << row.tag;
    }
    const time_t now = 1000000;
    pid_t ended = startChild([] { return 0; });
    waitForChild(ended);
    EXPECT_TRUE(writerGone({hostName(), ended, true}, now, now));
    EXPECT_FALSE(writerGone({hostName(), getpid(), true}, 0, now));
    EXPECT_EQ(runInChild([&] { // pid 1 lives, but another user may not signal it
                  return setuid(65534) == 0 && !writerGone({hostName(), 1, true}, 0, now) ? 0 : 1;
              }),
              0);
    EXPECT_FALSE(writerGone({"other", 1, false}, now - kForeignLeftoverSeconds, now));
    EXPECT_TRUE(writerGone({"other", 1, false}, now - kForeignLeftoverSeconds - 1, now));
    // Trailing "/" go, but the root stays the root.
    EXPECT_EQ(resolveLockDirectory("/r", "/"), "/");
    EXPECT_EQ(resolveLockDirectory("/r", "///"), "/");
    EXPECT_EQ(resolveLockDirectory("/r", "l/"), "/r/l");
}
