#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

namespace {

// A repository with one mount "m" (with the given per-mount configuration) at a faked fill level.
struct OneMount {
    explicit OneMount(const std::string& repositoryConfig = "", const std::string& partConfig = "")
        : mount(repo.addMount("m", partConfig)) {
        repo.configure("mountPoints = m\n" + repositoryConfig);
    }
    int statusAt(double percent) {
        fill.setPercent(mount, percent);
        return getRepository(repo.id())->getMounts()[0]->checkStatus(false);
    }

    TestRepository repo;
    FakeFillLevels fill;
    std::string mount;
};

} // namespace

TEST(MountStatus, EveryBitAtItsLimitAndNotJustBelow) {
    OneMount m("", "cleanLimit = 75\n"); // per mount; repository-wide limits stay at default
    const struct {
        int bit;
        double limit;
    } limits[] = {{MOUNT_REMIND, 80}, {MOUNT_WARN, 90}, {MOUNT_WARN2, 92}, {MOUNT_WARN3, 94},
                  {MOUNT_SWITCH, 95}, {MOUNT_FULL, 97}, {MOUNT_CLEAN, 75}, {MOUNT_MOVE, 99}};
    for (const auto& l : limits) {
        EXPECT_TRUE(m.statusAt(l.limit) & l.bit) << "bit " << l.bit << " at " << l.limit;
        EXPECT_FALSE(m.statusAt(l.limit - 0.1) & l.bit) << "bit " << l.bit << " below";
    }
    EXPECT_EQ(m.statusAt(0), 0);
    EXPECT_EQ(m.statusAt(100), 0xff);
}

TEST(MountStatus, LimitsOfZeroSwitchBitsOffExceptTheSwitchLimit) {
    OneMount m("remindLimit = 0\nfullLimit = 0\n", "switchLimit = 0\nmoveLimit = 0\n");
    EXPECT_EQ(m.statusAt(0), MOUNT_SWITCH);
    EXPECT_EQ(m.statusAt(100), MOUNT_WARN | MOUNT_WARN2 | MOUNT_WARN3 | MOUNT_SWITCH | MOUNT_CLEAN);
}

TEST(MountStatus, FillLevelsOfLargeAndOddFileSystems) {
    OneMount m;
    OVMountPointHandler& mount = *getRepository(m.repo.id())->getMounts()[0];
    // 40 TiB of 4 KiB blocks, 20 % available: the block counts do not fit 32 bits.
    m.fill.setBlocks(m.mount, fsblkcnt_t(10) << 30, fsblkcnt_t(2) << 30);
    EXPECT_FLOAT_EQ(mount.getUsedPercentage(), 80.0f);

    m.fill.setBlocks(m.mount, 0, 0); // no blocks at all: mounted, no limit reached
    EXPECT_FALSE(std::isfinite(mount.getUsedPercentage()));
    EXPECT_EQ(mount.checkStatus(false), 0);

    // Freeing is counted in blocks, not in the larger preferred I/O size; a mount whose size
    // cannot be known keeps its last status.
    m.fill.setPercent(m.mount, 98.5);
    int full = mount.checkStatus(false);
    EXPECT_TRUE(has(full, MOUNT_CLEAN));
    EXPECT_FALSE(has(mount.statusAfterFreeing(1000.0L * 4096), MOUNT_CLEAN)); // 97.5 %
    EXPECT_TRUE(has(mount.statusAfterFreeing(400.0L * 4096), MOUNT_CLEAN));   // 98.1 %
    m.fill.setBlocks(m.mount, 0, 0);
    EXPECT_EQ(mount.statusAfterFreeing(1000.0L * 4096), full);

    SyslogCapture capture;
    m.fill.fail(m.mount, EIO);
    EXPECT_EQ(mount.getUsedPercentage(), -1.0f);
    EXPECT_EQ(mount.checkStatus(false), MOUNT_UNMOUNTED);
    EXPECT_EQ(capture.messages()[0],
              "Error occured while statvfs call to \"" + m.mount + "\". Error code is 5");
}

TEST(MountStatus, UnmountedWhileItsFileIsAwayAndBackWithItsLimits) {
    OneMount m("", "fullLimit = 50\n");
    OVRepositoryHandler* handler = getRepository(m.repo.id());
    OVMountPointHandler& mount = *handler->getMounts()[0];
    m.fill.setPercent(m.mount, 60);
    EXPECT_TRUE(mount.checkStatus(false) & MOUNT_FULL);

    ASSERT_EQ(
        rename((m.mount + "/repositorypart.cfg").c_str(), (m.mount + "/repositorypart.no").c_str()),
        0);
    EXPECT_EQ(mount.checkStatus(true), MOUNT_UNMOUNTED); // the file is looked for even cached
    writeFile(m.mount + "/repositorypart.no", "fullLimit = 70\n");

    SyslogCapture capture;
    ASSERT_EQ(
        rename((m.mount + "/repositorypart.no").c_str(), (m.mount + "/repositorypart.cfg").c_str()),
        0);
    EXPECT_EQ(mount.checkStatus(true), 0); // measured again although the cached status was asked
    EXPECT_EQ(mount.getFullLimit(), 70);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"Mount is back in town:" + m.mount + "/repositorypart.cfg"});
}

TEST(RepositoryStatusBits, DerivedFromTheMountedMounts) {
    TestRepository repo;
    FakeFillLevels fill;
    std::string a = repo.addMount("a"), b = repo.addMount("b"), c = repo.addMount("c", "", false);
    repo.configure("mountPoints = a\\b\\c\n");
    auto statusAt = [&](double pa, double pb) {
        fill.setPercent(a, pa);
        fill.setPercent(b, pb);
        return getRepository(repo.id())->checkRepositoryStatus();
    };
    EXPECT_EQ(statusAt(10, 10), REPO_INCOMPLETE);
    EXPECT_EQ(statusAt(96, 50), REPO_INCOMPLETE);
    EXPECT_EQ(statusAt(96, 95),
              REPO_INCOMPLETE | REPO_SWITCH | REPO_WARN3 | REPO_WARN2 | REPO_WARN | REPO_REMIND);
    EXPECT_EQ(statusAt(98, 97.5), REPO_INCOMPLETE | REPO_NO_ROOM | REPO_FULL | 0x1f);
    EXPECT_EQ(statusAt(98, 50), REPO_INCOMPLETE);
    EXPECT_EQ(statusAt(97, 97), REPO_INCOMPLETE | REPO_NO_ROOM | REPO_FULL | 0x1f);

    writeFile(c + "/repositorypart.cfg", "");
    EXPECT_EQ(statusAt(10, 10) & REPO_INCOMPLETE, 0);
    fill.setPercent(c, 10);
    EXPECT_EQ(getRepository(repo.id())->checkRepositoryStatus(), 0);

    for (const std::string& mount : {a, b, c})
        unlink((mount + "/repositorypart.cfg").c_str());
    EXPECT_EQ(getRepository(repo.id())->checkRepositoryStatus(), REPO_MISSING);
}
