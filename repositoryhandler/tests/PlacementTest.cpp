#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

namespace {

// A repository with mounts "m0".."m<n-1>" in that order, each at a faked fill level.
struct Mounts {
    explicit Mounts(int count, const std::string& config = "") {
        std::string list;
        for (int i = 0; i < count; ++i) {
            paths.push_back(repo.addMount("m" + std::to_string(i)));
            list += (i ? "\\m" : "m") + std::to_string(i);
        }
        repo.configure("mountPoints = " + list + "\n" + config);
    }
    OVRepositoryHandler* at(std::vector<double> percents) {
        for (size_t i = 0; i < percents.size(); ++i)
            fill.setPercent(paths[i], percents[i]);
        return getRepository(repo.id());
    }
    bool present(int mount, const char* file) const {
        return access((paths[mount] + "/" + file).c_str(), F_OK) == 0;
    }

    TestRepository repo;
    FakeFillLevels fill;
    std::vector<std::string> paths;
};

} // namespace

TEST(Placement, FillsInOrderThenPicksTheLeastUsed) {
    Mounts m(2);
    EXPECT_EQ(m.at({96, 50})->getActualMountPoint(), 1);
    EXPECT_FALSE(m.at({96, 50})->checkRepositoryStatus() & REPO_SWITCH);
    EXPECT_EQ(m.at({50, 10})->getActualMountPoint(), 0); // in order, not by fill level
    EXPECT_EQ(m.at({96, 95.5})->getActualMountPoint(), 1);
    EXPECT_TRUE(m.at({96, 95.5})->checkRepositoryStatus() & REPO_SWITCH);
    EXPECT_EQ(m.at({96, 96})->getActualMountPoint(), 0); // a tie goes to the earlier mount
    EXPECT_EQ(m.at({97, 96})->getActualMountPoint(), 1); // full mounts are never chosen

    for (auto* handler : {m.at({97, 99}), m.at({100, 97})}) {
        EXPECT_EQ(handler->getActualMountPoint(), -1);
        EXPECT_EQ(handler->getActualMountPointForMove(handler->getMounts()[0].get()), -1);
        EXPECT_EQ(handler->getActualMountPointForLegacy(), -1);
    }
}

TEST(Placement, UnmountedMountsAreSkipped) {
    Mounts m(2);
    ASSERT_EQ(unlink((m.paths[0] + "/repositorypart.cfg").c_str()), 0);
    OVRepositoryHandler* handler = m.at({10, 10});
    EXPECT_EQ(handler->checkRepositoryStatus(), REPO_INCOMPLETE);
    EXPECT_EQ(handler->getActualMountPoint(), 1);
    ASSERT_EQ(unlink((m.paths[1] + "/repositorypart.cfg").c_str()), 0);
    handler = m.at({10, 10});
    EXPECT_EQ(handler->checkRepositoryStatus(), REPO_MISSING);
    EXPECT_EQ(handler->getActualMountPoint(), -1);
}

TEST(Placement, MovesNeverGoBackToTheSourceNorToACleaningMount) {
    Mounts m(3, "cleanLimit = 60\n");
    OVRepositoryHandler* handler = m.at({10, 70, 20});
    const auto& mounts = handler->getMounts();
    EXPECT_EQ(handler->getActualMountPointForMove(mounts[0].get()), 2); // m1 is cleaning
    EXPECT_EQ(handler->getActualMountPointForMove(mounts[2].get()), 0);
    EXPECT_EQ(handler->getActualMountPoint(), 0);

    Mounts d(3); // default limits, every mount past its switch limit: the least used
    handler = d.at({96, 99, 96.5});
    EXPECT_EQ(handler->getActualMountPointForMove(handler->getMounts()[0].get()), 2);
    EXPECT_EQ(handler->getActualMountPointForMove(handler->getMounts()[2].get()), 0);

    // Past every switch limit, a least used mount that is past its own clean limit is passed over.
    Mounts s(3, "switchLimit = 50\ncleanLimit = 90\n");
    writeFile(s.paths[1] + "/repositorypart.cfg", "cleanLimit = 55\n");
    handler = s.at({70, 60, 80});
    EXPECT_EQ(handler->getActualMountPointForMove(handler->getMounts()[0].get()), 2);

    Mounts single(1);
    handler = single.at({10});
    EXPECT_EQ(handler->getActualMountPointForMove(handler->getMounts()[0].get()), -1);
}

TEST(Placement, LegacyDataGoesToAMountOnItsFileSystemFirst) {
    Mounts m(2);
    std::string legacy = m.repo / "legacy";
    ASSERT_EQ(mkdir(legacy.c_str(), 0755), 0);
    m.repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy + "\n");
    FakeDevices devices;
    devices.place(m.paths[0], 1001);
    devices.place(m.paths[1], 1002);
    devices.place(legacy, 1002);

    EXPECT_EQ(m.at({10, 96})->getActualMountPointForLegacy(), 1); // switch limit passed, not full
    EXPECT_EQ(m.at({10, 97})->getActualMountPointForLegacy(), 0); // full: the usual order
    devices.place(legacy, 1003);
    EXPECT_EQ(m.at({96, 10})->getActualMountPointForLegacy(), 1);
    EXPECT_EQ(m.at({96.5, 96})->getActualMountPointForLegacy(), 1); // least used
}

TEST(Placement, SwitchingMountsOnAndOff) {
    Mounts m(2);
    OVRepositoryHandler* handler = m.at({10, 10});
    EXPECT_EQ(handler->MountUnmount(0, false), 0);
    EXPECT_TRUE(m.present(0, "repositorypart.no"));
    EXPECT_FALSE(m.present(0, "repositorypart.cfg"));
    EXPECT_EQ(handler->getStatus(), REPO_INCOMPLETE);
    EXPECT_EQ(handler->MountUnmount(0, false), 0); // already off: nothing renamed
    EXPECT_TRUE(m.present(0, "repositorypart.no"));
    EXPECT_EQ(handler->MountUnmount(0, true), 0);
    EXPECT_TRUE(m.present(0, "repositorypart.cfg"));
    EXPECT_EQ(handler->getStatus(), 0);
    EXPECT_EQ(handler->MountUnmount(2, true), -1);
    EXPECT_EQ(handler->MountUnmount(-1, false), -1);

    // Give back: a mount with both files keeps its "repositorypart.no".
    writeFile(m.paths[1] + "/repositorypart.no", "x");
    handler->MountUnmount(0, false);
    SyslogCapture capture;
    EXPECT_EQ(handler->giveBackMounts(), 0);
    EXPECT_TRUE(m.present(0, "repositorypart.cfg"));
    EXPECT_TRUE(m.present(1, "repositorypart.no"));
    EXPECT_EQ(capture.messages().front(), "Mounts are back");

    // A random mount is switched the other way.
    srand(1);
    handler->rndMount();
    EXPECT_EQ(m.present(0, "repositorypart.cfg") + m.present(1, "repositorypart.cfg"), 1);
    EXPECT_EQ(handler->getStatus(), REPO_INCOMPLETE);

    m.repo.configure("mountPoints = \\\n"); // no mounts: nothing to pick
    setModified(m.repo / "repository.cfg", 5);
    handler = getRepository(m.repo.id());
    handler->rndMount();
    EXPECT_EQ(handler->getStatus(), REPO_MISSING);
}

namespace {

// Paths whose fill level can be read once more (the status check), then no longer.
std::map<std::string, int>& answersLeft() {
    static std::map<std::string, int> left;
    return left;
}
int (*passStatvfsOn)(const char*, struct statvfs*) = nullptr;

int statvfsTurningUnreadable(const char* path, struct statvfs* out) {
    auto it = answersLeft().find(path);
    if (it != answersLeft().end() && it->second-- <= 0) {
        errno = EIO;
        return -1;
    }
    return passStatvfsOn(path, out);
}

} // namespace

TEST(Placement, AMountThatTurnsUnreadableIsNeverTheLeastUsed) {
    Mounts m(3);
    OVRepositoryHandler* handler = m.at({96, 96.5, 97}); // all past switching, m2 full
    ScopedSyscalls calls;
    passStatvfsOn = calls.table().statvfs;
    calls.table().statvfs = statvfsTurningUnreadable;

    // m0 answers the status check at 96 % and fails the measurement that follows.
    answersLeft() = {{m.paths[0], 1}};
    EXPECT_EQ(handler->getActualMountPoint(), 1);
    answersLeft() = {{m.paths[0], 1}};
    EXPECT_EQ(handler->getActualMountPointForLegacy(), 1);
    answersLeft() = {{m.paths[0], 1}};
    EXPECT_EQ(handler->getActualMountPointForMove(handler->getMounts()[2].get()), 1);
    answersLeft() = {{m.paths[0], 1}, {m.paths[1], 1}};
    EXPECT_EQ(handler->getActualMountPoint(), -1); // no readable candidate is left
    answersLeft().clear();
    EXPECT_EQ(handler->getActualMountPoint(), 0);
}
