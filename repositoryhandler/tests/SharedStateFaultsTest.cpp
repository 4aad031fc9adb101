// The dirty flags, configuration changes and set-up against a hostile neighbour: an unreadable
// configuration, a stale dirty-flag lock, a link planted under the temporary set file's name,
// and a program that closes descriptors it did not open.
#include "OVSemaphore.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool endsWith(const char* text, const char* tail) {
    size_t a = strlen(text), b = strlen(tail);
    return a >= b && strcmp(text + a - b, tail) == 0;
}

int openFailingConfig(const char* path, int flags, mode_t mode) {
    if (endsWith(path, "/repository.cfg")) {
        errno = EACCES;
        return -1;
    }
    return ovsys::real().open(path, flags, mode);
}

long sleptMicros = 0;

// The descriptor of this process that is open on path, or -1.
int descriptorOn(const std::string& path) {
    DIR* dir = opendir("/proc/self/fd");
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        char target[PATH_MAX] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target)
            found = atoi(entry->d_name);
    }
    closedir(dir);
    return found;
}

// A single-mount repository (its directory is the mount) with a legacy directory holding 4711.
void makeLegacyRepository(const TestRepository& repo, const std::string& legacy) {
    writeFile(repo / "repositorypart.cfg", "");
    mkdir(legacy.c_str(), 0755);
    mkdir((legacy + "/4711").c_str(), 0755);
    repo.configure("legacyDir = " + legacy + "\nfullLimit = 50\n");
}

} // namespace

// A "repository.cfg" that exists but cannot be read (EACCES after a root edit with umask 077,
// EMFILE, EIO) is no missing configuration: the set-up fails, logged, instead of running on the
// default limits without the legacy directory, and the next lookup tries again.
TEST(SetUpFaults, UnreadableConfigurationNeverRunsOnDefaults) {
    TestRepository repo;
    TempDir legacyRoot;
    makeLegacyRepository(repo, legacyRoot / "old");
    {
        SyslogCapture log;
        ScopedSyscalls calls;
        calls.table().open = openFailingConfig;
        // Every flat entry point gives its failure result; none throws.
        int status = -1;
        EXPECT_EQ(getLocation_(repo.id(), "4711", &status), nullptr);
        EXPECT_EQ(std::vector<int>({status, getRepositoryStatus_(repo.id()),
                                    removeResource_(repo.id(), "4711")}),
                  std::vector<int>({RES_ERROR, REPO_MISSING, RES_ERROR}));
        EXPECT_NO_THROW(setup_(repo.id()));
        EXPECT_NO_THROW(makeEmpty_(repo.id()));
        std::string message = "The configuration \"" + repo / "repository.cfg" +
                              "\" could not be read. Error code is 13";
        EXPECT_EQ(log.messages(), std::vector<std::string>(5, message));
    }
    OVRepositoryHandler* handler = getRepository(repo.id());
    EXPECT_EQ(handler->getFullLimit(), 50);
    EXPECT_EQ(handler->getLegacyDir(), legacyRoot / "old");
}

// Many repositories (or one under many spellings: "/r/.", "/r/./.", ...) each keep their ".dirty"
// open; once descriptors run out, a new handler cannot read its configuration and must fail
// rather than run on defaults.
TEST(SetUpFaults, DescriptorsRunningOutNeverGiveDefaultHandlers) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime opens descriptors of its own to check memory while an exception is
    // thrown; without any left it reports an error where there is none.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    TestRepository repo;
    TempDir legacyRoot;
    makeLegacyRepository(repo, legacyRoot / "old");
    writeFile(repo / ".dirty", "1\n");
    int status = runInChild([&] {
        std::string spelling = repo.path();
        auto lookUp = [&](int times, int& onDefaults, int& failed) {
            for (int i = 0; i < times; ++i) {
                spelling += "/.";
                try {
                    OVRepositoryHandler* handler = getRepository(spelling.c_str());
                    if (handler->getStatus() != REPO_MISSING && handler->getLegacyDir().empty())
                        ++onDefaults;
                } catch (...) {
                    ++failed;
                }
            }
        };
        int onDefaults = 0, failed = 0;
        lookUp(50, onDefaults, failed);
        // Descriptors run short: a few left. Set-ups may fail then, but never run on defaults.
        int open = static_cast<int>(openDescriptors()) - 3; // ".", ".." and the listing's own
        struct rlimit limit = {static_cast<rlim_t>(open + 4), static_cast<rlim_t>(open + 4)};
        setrlimit(RLIMIT_NOFILE, &limit);
        lookUp(20, onDefaults, failed);
        check(onDefaults == 0, std::to_string(onDefaults) + " handlers run on defaults");
        return childFailures();
    });
    EXPECT_EQ(status, 0);
}

// A writer killed while holding the dirty-flag lock leaves its lock file. A creation while a
// mount is unmounted must mark the resource dirty; when it cannot, it creates nothing (else
// the older copy on the absent mount would later be served as clean).
TEST(DirtyFlagFaults, CreationWithoutItsDirtyFlagIsNoSuccess) {
    TestRepository repo;
    repo.addMount("disk1");
    repo.addMount("disk2");
    repo.configure("mountPoints = disk1\\disk2\n");
    int status = -1;
    std::unique_ptr<char[]> old(createDirectory_(repo.id(), "777", &status, false));
    ASSERT_EQ(status, RES_OK);
    ASSERT_NE(std::string(old.get()).find("/disk1/"), std::string::npos);
    writeFile(std::string(old.get()) + "/content", "old");
    ASSERT_EQ(MountUnmount_(repo.id(), 0, false), 0);

    std::string setFile = repo.path() + "/.dirty";
    OVSemaphore stale(resourceLockName(setFile, ""), false);
    EXPECT_EQ(runInChild([&] { // killed while it holds the lock: the lock file stays
                  OVSemaphore(stale.getName(), false).lockResource();
                  return raise(SIGKILL);
              }),
              -1);
    ASSERT_EQ(access(stale.path().c_str(), F_OK), 0);
    std::unique_ptr<char[]> fresh;
    ScopedSyscalls calls;
    calls.table().nanosleep = [](const struct timespec* delay, struct timespec*) {
        return sleptMicros += delay->tv_sec * 1000000 + delay->tv_nsec / 1000, 0; // no wait
    };
    // Reading the flags needs no lock: a lookup of a clean resource answers without a wait.
    status = -1;
    EXPECT_EQ(std::unique_ptr<char[]>(getLocation_(repo.id(), "777", &status)), nullptr);
    EXPECT_EQ(status, RES_NOT_FOUND); // its copy lies on the switched-off mount
    EXPECT_EQ(sleptMicros, 0);
    // A change waits for the lock once, at most 30 seconds and one delay, then gives up.
    status = -1;
    fresh.reset(createDirectory_(repo.id(), "777", &status, false));
    EXPECT_EQ(fresh, nullptr) << "created at " << fresh.get() << " without its dirty flag";
    EXPECT_EQ(status, RES_ERROR);
    EXPECT_TRUE(sleptMicros >= 30000000 && sleptMicros < 31000000) << sleptMicros;
    ASSERT_EQ(unlink(stale.path().c_str()), 0); // the operator removes the stale lock file
    ASSERT_EQ(MountUnmount_(repo.id(), 0, true), 0);
    status = -1;
    std::unique_ptr<char[]> found(getLocation_(repo.id(), "777", &status));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(status, RES_OK);
    EXPECT_EQ(readFile(std::string(found.get()) + "/content"), "old"); // the only copy
}

// Whoever may write the repository directory (the application's user) may plant a link under the
// temporary set file's name of the next writer (a balancer run as root): the writer must neither
// write through it nor give its target away.
TEST(DirtyFlagFaults, TemporarySetFileNeverFollowsALink) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    TestRepository repo;
    writeFile(repo / "repositorypart.cfg", "");
    TempDir elsewhere;
    std::string victim = elsewhere / "victim";
    writeFile(victim, "precious\n");
    chmod(victim.c_str(), 0600);
    getRepository(repo.id())->getDirtyFlags().setDirty("a", true);
    std::string setFile = repo / ".dirty";
    ASSERT_EQ(chown(setFile.c_str(), 65534, 65534), 0); // the application user's file
    ASSERT_EQ(chmod(setFile.c_str(), 0644), 0);

    int status = runInChild([&] {
        std::string planted = setFile + "." + std::to_string(getpid());
        symlink(victim.c_str(), planted.c_str()); // as the application's user would
        getRepository(repo.id())->getDirtyFlags().setDirty("b", true);
        return 0;
    });
    ASSERT_EQ(status, 0);
    struct stat st = {};
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(readFile(victim), "precious\n") << "the link's target was overwritten";
    EXPECT_EQ(st.st_uid, 0u) << "the link's target was given away";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    struct stat setStatus = {};
    ASSERT_EQ(lstat(setFile.c_str(), &setStatus), 0);
    EXPECT_FALSE(S_ISLNK(setStatus.st_mode)) << ".dirty became a symbolic link";
}

// A program that closes descriptors it did not open (as daemons do after fork) and opens a file
// of its own under the number the handler kept: the handler must not close that file, and must
// notice that it no longer holds the set file.
TEST(DirtyFlagFaults, NeverClosesADescriptorItDoesNotOwn) {
    TestRepository repo;
    writeFile(repo / "repositorypart.cfg", "");
    OVDirtyFlagHandler& flags = getRepository(repo.id())->getDirtyFlags();
    flags.setDirty("a", true);
    int held = descriptorOn(repo / ".dirty");
    ASSERT_GE(held, 0);
    close(held);
    TempDir own;
    int mine = open((own / "journal").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(mine, held);
    ASSERT_EQ(runInChild([&] {
                  getRepository(repo.id())->getDirtyFlags().setDirty("b", true);
                  return 0;
              }),
              0);
    EXPECT_TRUE(getRepository(repo.id())->getDirtyFlags().isDirty("b"));
    EXPECT_EQ(descriptorOn(own / "journal"), mine)
        << "the program's own descriptor was closed (and its number reused)";
    close(mine);
}
