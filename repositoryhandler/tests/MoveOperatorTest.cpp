// Moves and merges seen from an operator's side: what a move keeps of a resource's files, how much
// room a resumed merge needs, a mover that cannot read, and real processes working side by side.
#include "MoveDelete.h"
#include "OVHash.h"
#include "RepositoryStatus.h"
#include "ResourceLock.h"
#include "ResourceSizes.h"
#include "Staging.h"
#include "TwoMounts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Owned = std::unique_ptr<char[]>;

// Whether path has the owner and mode bits of want.
bool sameOwnerAndMode(const std::string& path, const struct stat& want) {
    struct stat st = statOf(path);
    return st.st_uid == want.st_uid && st.st_gid == want.st_gid &&
           (st.st_mode & 07777) == (want.st_mode & 07777);
}

} // namespace

// A mover running as root with umask 077 (a balancer started by an operator) moves and merges
// resources of the application's user: the files must stay that user's, with their modes, or
// the application can no longer read what it stored.
TEST(MovesSeenByOperators, MovesKeepOwnerAndMode) {
    TwoMounts r;
    std::string origin = r.make(r.m0, "moved", "f"), merged = r.make(r.m0, "merged", "g");
    r.make(r.m1, "merged", "h");
    for (const std::string& dir : {origin, merged}) {
        std::string file = dir + (dir == origin ? "/f" : "/g");
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(file.c_str(), 0664), 0);
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(dir.c_str(), 02775), 0);
    }
    struct stat file = statOf(origin + "/f"), dir = statOf(origin);
    int result = runInChild([&] {
        umask(077);
        check(moveRes(origin.c_str(), r.on(r.m1, "moved").c_str()) == RES_OK, "move");
        check(moveRes(merged.c_str(), r.on(r.m1, "merged").c_str()) == RES_OK, "merge");
        return childFailures();
    });
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(sameOwnerAndMode(r.on(r.m1, "moved") + "/f", file)) << "moved file";
    EXPECT_TRUE(sameOwnerAndMode(r.on(r.m1, "moved"), dir)) << "moved directory";
    EXPECT_TRUE(sameOwnerAndMode(r.on(r.m1, "merged") + "/g", file)) << "merged file";
}

// A dirty merge cut short after every entry stood at the destination leaves two whole copies.
// Resuming it needs no room at the destination: on a mount with room for the resource once, but
// not twice, it must still complete.
TEST(MovesSeenByOperators, ResumedMergeNeedsNoRoomForWhatStandsAlready) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "8m", [](TestRepository& repo) {
        std::string m0 = repo / "m0", m1 = repo / "m1";
        repo.configure("mountPoints = m0\\m1\n");
        OVRepositoryHandler* handler = getRepository(repo.id());
        Owned hashed(convertToHashed("d/"));
        std::string d0 = m0 + "/" + hashed.get(), d1 = m1 + "/" + hashed.get();
        const std::string big(5 * 1024 * 1024, 'b');
        for (const std::string& d : {d0, d1}) {
            mkdirs(d.c_str(), 0755);
            writeFile(d + "big", big); // 5 of 8 MiB: 63 %, far below the full limit
        }
        handler->getDirtyFlags().setDirty("d", true);
        int status = -1;
        Owned location(handler->getLocation("d", &status, true, false));
        check(status == RES_OK && location, "resumed merge, status " + std::to_string(status));
        check(readFile(d1 + "big") == big && !present(d0), "merged into m1's copy");
    }));
}

namespace {

const std::vector<std::string> kShared = {"s/a", "s/b", "s/k/x", "s/k/y", "s/z"};

// One worker of the stress below: role 0 looks up and checks, 1 moves the resource between the
// mounts under its lock as a balancer does, 2 adds a partial second copy and marks it dirty,
// 3 takes over and removes neighbours from the legacy directory.
int stressWorker(TwoMounts& r, int role) {
    OVRepositoryHandler* handler = r.handler();
    for (int round = 0; round < 40; ++round) {
        if (role == 0) {
            int status = -1;
            Owned at(handler->getLocation("s", &status, true, false));
            if (status == RES_OK)
                check(at && holdsTree(parentOf(at.get()), kShared),
                      "whole s at " + std::string(at ? at.get() : "(null)"));
            else
                check(status == RES_DIRTY || status == RES_LOCK_FAILED || !at,
                      "lookup status " + std::to_string(status));
        } else if (role == 1) {
            ResourceLock lock(r.repo.path(), "s", "");
            if (!lock.acquired())
                continue;
            bool on0 = present(r.on(r.m0, "s")), on1 = present(r.on(r.m1, "s"));
            if (on0 != on1 && !handler->getDirtyFlags().isDirty("s")) {
                std::string from = on0 ? r.on(r.m0, "s") : r.on(r.m1, "s");
                std::string to = on0 ? r.on(r.m1, "s") : r.on(r.m0, "s");
                check(moveRes(from.c_str(), to.c_str()) == RES_OK, "balancer move");
                clearEmptyHash(from.c_str());
            }
        } else if (role == 2) {
            ResourceLock lock(r.repo.path(), "s", "");
            if (!lock.acquired())
                continue;
            std::string other = present(r.on(r.m0, "s")) ? r.m1 : r.m0;
            if (!present(r.on(other, "s"))) {
                check(handler->getDirtyFlags().setDirty("s", true), "mark dirty");
                makeTree(parentOf(r.on(other, "s")), {"s/b", "s/k/y"});
            }
        } else {
            std::string name = "t" + std::to_string(round);
            makeTree(r.legacy, {name + "/a", name + "/q/b"});
            int status = -1;
            Owned at(handler->getLocation(name.c_str(), &status, true, false));
            check(status == RES_OK && at && holdsTree(parentOf(at.get()), {name + "/a"}),
                  "take-over of " + name);
            check(handler->removeResource(name.c_str()) == RES_OK, "removal of " + name);
        }
    }
    return childFailures();
}

} // namespace

// Lookups, balancer moves, dirty second copies and take-overs of neighbours in real processes
// at once: the resource lock serialises them, no lookup with status 0 gives less than the whole
// resource, and no process deletes the live work of another.
TEST(MovesSeenByOperators, ProcessesSideBySideNeverServeHalf) {
    TwoMounts r;
    makeTree(parentOf(r.on(r.m0, "s")), kShared);
    std::vector<pid_t> workers;
    for (int role = 0; role < 4; ++role)
        for (int copy = 0; copy < (role == 0 ? 2 : 1); ++copy)
            workers.push_back(startChild([&r, role] { return stressWorker(r, role); }));
    for (pid_t pid : workers)
        EXPECT_EQ(waitForChild(pid), 0) << "failed checks, see the messages above";
    int status = -1;
    std::string at = r.lookUp("s", status);
    EXPECT_TRUE(status == RES_OK && holdsTree(parentOf(at), kShared)) << status << " " << at;
    for (const std::string& m : {r.m0, r.m1, r.legacy})
        EXPECT_FALSE(present(m + "/" + kStagingName)) << m;
}

// A take-over cut short after its copy stood on m0 leaves that copy and the whole legacy copy.
// When the next lookup chooses another mount for the take-over, it must still end with one copy:
// a second clean copy is never looked at again, doubles the resource's room and is listed twice.
TEST(MovesSeenByOperators, ResumedTakeOverOntoAnotherMountLeavesOneCopy) {
    TwoMounts r;
    const std::vector<std::string> tree = {"u/a", "u/s/x"};
    makeTree(r.legacy, tree);
    makeTree(parentOf(r.on(r.m0, "u")), tree);
    r.fill.setPercent(r.m0, 60); // m1 now takes new data
    int status = -1;
    std::string at = r.lookUp("u", status);
    EXPECT_EQ(status, RES_OK);
    EXPECT_FALSE(present(r.legacy + "/u"));
    EXPECT_FALSE(present(r.on(r.m0, "u")) && present(r.on(r.m1, "u"))) << "served " << at;
    long count = 0;
    char** names = r.handler()->listResources(ALL_RESOURCES, &count, true);
    for (long i = 0; i < count; ++i)
        delete[] names[i];
    delete[] names;
    EXPECT_EQ(count, 1) << "u listed once";
}

// A mover that cannot read a file of the origin (another user's, mode 0600) fails cleanly: the
// origin stays whole, nothing of it stands at the destination, and no work is left behind.
TEST(MovesSeenByOperators, UnreadableEntryKeepsTheOriginWhole) {
    TwoMounts r;
    std::string origin = r.make(r.m0, "p", "a"), dest = r.make(r.m1, "p", "b");
    writeFile(origin + "/secret", "s");
    ASSERT_EQ(chmod((origin + "/secret").c_str(), 0600), 0);
    for (const std::string& path : {r.repo.path(), r.m0, r.m1, parentOf(origin), parentOf(dest)})
        chmod(path.c_str(), 0777);
    for (const std::string& mount : {r.m0, r.m1}) {
        ASSERT_EQ(lchown(mount.c_str(), 65534, 65534), 0);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(mount))
            ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chown((origin + "/secret").c_str(), 0, 0), 0);
    int result = runInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 99;
        check(moveRes(origin.c_str(), dest.c_str()) == RES_ERROR, "unreadable merge fails");
        return childFailures();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(origin + "/a"), "a");
    EXPECT_EQ(readFile(origin + "/secret"), "s");
    EXPECT_FALSE(present(dest + "/a")) << "nothing merged";
    EXPECT_FALSE(present(r.m1 + "/" + kStagingName));
}
