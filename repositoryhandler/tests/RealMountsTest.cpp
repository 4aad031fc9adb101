// The mount scenarios on real, separate file systems: small tmpfs mounts in a private mount
// namespace of a child process (the test runs as root), filled with real files.
#include "OVPaths.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

namespace {

void fillingAndUnmounting(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\n");
    writeFile(m0 + "/data", std::string(1020 * 1000, 'x')); // about 98 % of 1 MiB
    OVRepositoryHandler* handler = getRepository(repo.id());
    int full = handler->getMounts()[0]->checkStatus(false);
    check(full & MOUNT_FULL, "a filled mount is full, status " + std::to_string(full));
    check(handler->getMounts()[1]->checkStatus(false) == 0, "an empty mount has no bits");
    check(handler->getActualMountPoint() == 1, "new data goes to the empty file system");
    check(handler->getActualMountPointForMove(handler->getMounts()[0].get()) == 1,
          "data moved from the full mount goes to the empty one");

    // The file system goes away: the bare directory lacks "repositorypart.cfg".
    check(umount2(m1.c_str(), 0) == 0, "unmount m1");
    handler = getRepository(repo.id());
    int status = handler->checkRepositoryStatus();
    check(status & REPO_INCOMPLETE, "incomplete without m1, status " + std::to_string(status));
    check(status & REPO_FULL, "the remaining mount is full");
    check(handler->getActualMountPoint() == -1, "no room without m1");

    // It comes back: the next lookup builds the repository with it.
    check(mountTmpfs(m1, "1m"), "mount m1 again");
    writeFile(m1 + "/repositorypart.cfg", "");
    handler = getRepository(repo.id());
    check(!(handler->checkRepositoryStatus() & REPO_INCOMPLETE), "m1 is back");
    check(handler->getActualMountPoint() == 1, "m1 receives new data again");
}

void legacyOnItsFileSystem(TestRepository& repo) {
    std::string legacy = repo / "m1/legacy";
    check(mkdir(legacy.c_str(), 0755) == 0, "make the legacy directory");
    repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy + "\n");
    OVRepositoryHandler* handler = getRepository(repo.id());
    check(handler->getActualMountPoint() == 0, "new data fills m0 first");
    check(handler->getActualMountPointForLegacy() == 1, "legacy data stays on its file system");
    check(IsOnTheSameMount(legacy.c_str(), (repo / "m1").c_str()), "same device");
    check(!IsOnTheSameMount(legacy.c_str(), (repo / "m0").c_str()), "different devices");
}

} // namespace

TEST(RealMounts, FillLevelsAndUnmountedFileSystems) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "1m", fillingAndUnmounting));
}

TEST(RealMounts, LegacyPlacementByDevice) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "1m", legacyOnItsFileSystem));
}
