// Changing mounts on real file systems: a mount remounted read-only, and a balancer run as root
// under umask 077 beside an application of its own user.
#include "RepositoryStatus.h"
#include "TwoMounts.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

namespace {

using Owned = std::unique_ptr<char[]>;

// A repository of two mounts on fresh file systems of the kind, inside the calling child's
// private mount namespace; m0 is remounted read-only after a first resource was made there.
int readOnlyMountScenario(FileSystemKind kind) {
    if (!enterPrivateMountNamespace())
        return kNoNamespace;
    TestRepository repo;
    std::string m0 = repo / "m0", m1 = repo / "m1", scratch = repo / "scratch";
    for (const std::string& dir : {m0, m1, scratch})
        mkdir(dir.c_str(), 0755);
    if (!mountFileSystem(kind, m0, scratch) || !mountTmpfs(m1, "4m"))
        return kNoNamespace;
    writeFile(m0 + "/repositorypart.cfg", "");
    writeFile(m1 + "/repositorypart.cfg", "");
    repo.configure("mountPoints = m0\\m1\nswitchLimit = 99\n");
    int status = -1;
    Owned first(createDirectory_(repo.id(), "first", &status, false));
    check(status == RES_OK && first && std::string(first.get()).find(m0) == 0,
          "m0 takes the first");
    SyslogCapture syslog;
    check(mount(nullptr, m0.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
          "remounted read-only");
    Owned second(createDirectory_(repo.id(), "second", &status, false));
    check(status == RES_OK && second && std::string(second.get()).find(m1) == 0,
          "a new resource goes to the writable mount");
    Owned found(getLocation_(repo.id(), "first", &status));
    check(status == RES_OK && found && std::string(found.get()) == first.get(),
          "a resource on the read-only mount is still found");
    std::string logged = "The mount \"" + m0 + "\" is read-only: no new resource goes there.";
    check(syslog.messages() == std::vector<std::string>{logged}, "the read-only mount is logged");
    return childFailures();
}

// The application's user and group, and a balancer that runs as root under umask 077.
constexpr uid_t kApplication = 4321;

int asApplication(const std::function<int()>& body) {
    return runInChild([&] { return setgid(kApplication) || setuid(kApplication) ? 90 : body(); });
}

} // namespace

TEST(FailingMounts, AReadOnlyMountIsPassedOverForNewResources) {
    EXPECT_SCENARIO(runInChild([] { return readOnlyMountScenario(FileSystemKind::Tmpfs); }));
    EXPECT_SCENARIO(
        runInChild([] { return readOnlyMountScenario(FileSystemKind::Ext4SmallInodes); }));
}

TEST(FailingMounts, ARootBalancerNeverLocksTheApplicationOut) {
    TwoMounts r;
    for (const std::string& dir : {r.repo.path(), r.m0, r.m1, r.legacy})
        ASSERT_EQ(chown(dir.c_str(), kApplication, kApplication), 0);
    ASSERT_EQ(chmod(getenv("LOCK_VAR"), 01777), 0);
    ASSERT_EQ(asApplication([&] {
                  umask(022);
                  int status = -1;
                  Owned made(createDirectory_(r.repo.id(), "old", &status, false));
                  writeFile(std::string(made.get()) + "/f", "f");
                  return status;
              }),
              RES_OK);
    ASSERT_TRUE(setTimes(r.on(r.m0, "old"), time(nullptr) - 3 * 86400));
    mode_t saved = umask(077);
    r.fill.setPercent(r.m0, 99.5);
    checkOverload_(r.repo.id(), false);
    umask(saved);
    ASSERT_TRUE(present(r.on(r.m1, "old"))) << "the balancer moved nothing";
    struct stat level;
    EXPECT_TRUE(stat(parentOf(r.on(r.m1, "old")).c_str(), &level) == 0 &&
                level.st_uid == kApplication && (level.st_mode & 07777) == 0755);
    // The application finds the moved resource, may add to its hash level, and removes it.
    EXPECT_EQ(asApplication([&] {
                  int status = -1;
                  Owned found(getLocation_(r.repo.id(), "old", &status));
                  bool usable =
                      status == RES_OK && access(parentOf(found.get()).c_str(), W_OK) == 0;
                  return usable ? removeResource_(r.repo.id(), "old") : 30 + status;
              }),
              RES_OK);
}
