#include "OVException.h"
#include "OVHash.h"
#include "OVPaths.h"
#include "OVSemaphore.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "TwoMounts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utime.h>

namespace {

using Owned = std::unique_ptr<char[]>;

time_t modified(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

long sleptMicros = 0;

int countSleep(const struct timespec* delay, struct timespec*) {
    sleptMicros += delay->tv_sec * 1000000 + delay->tv_nsec / 1000;
    return 0;
}

// Fails the first read of the dirty-flag file only.
bool flagReadFailed = false;

ssize_t failFirstFlagRead(int fd, void* into, size_t size) {
    if (!flagReadFailed && pathOfFd(fd).find("/.dirty") != std::string::npos) {
        flagReadFailed = true;
        errno = EIO;
        return -1;
    }
    return ovsys::real().read(fd, into, size);
}

// Set once a copy was refused its place: from then on neither place of it can be tested.
bool placingRefused = false;

int refusePlacing(const char*, const char*) {
    placingRefused = true;
    errno = EIO;
    return -1;
}

int untestableAfterwards(const char* path, struct stat* st) {
    if (placingRefused && std::strstr(path, "/untestable") != nullptr) {
        errno = EIO;
        return -1;
    }
    return ovsys::real().lstat(path, st);
}

} // namespace

TEST(Location, CleanResourceComesFromTheFirstMountHoldingIt) {
    TwoMounts r;
    std::string first = r.make(r.m0, "r1"), second = r.make(r.m1, "r1");
    struct utimbuf old = {1000, 1000};
    utime(first.c_str(), &old);
    utime(second.c_str(), &old);
    int status = -1;
    Owned location(r.handler()->getLocation("r1", &status, true, true));
    EXPECT_STREQ(location.get(), first.c_str());
    EXPECT_EQ(status, RES_OK);
    EXPECT_GT(modified(first), 1000);  // touched
    EXPECT_EQ(modified(second), 1000); // neither touched nor merged
    EXPECT_TRUE(present(second + "/f"));

    EXPECT_EQ(r.lookUp("nowhere", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);
    size_t held = openDescriptors();
    EXPECT_EQ(r.lookUp("r1", status), first);
    EXPECT_EQ(openDescriptors(), held); // the handle on the copy found is closed
}

// Lookups settle the location test and the link test in one call where no link is on the way;
// every link must still be told apart: above the mount it is followed, below it not.
TEST(Location, LinksAboveTheMountAreFollowedLinksBelowItAreNot) {
    TwoMounts r;
    std::string location = r.make(r.m1, "r1");
    struct utimbuf old = {1000, 1000};
    utime(location.c_str(), &old);
    std::string alias = r.repo / "alias";
    ASSERT_EQ(symlink(r.repo.path().c_str(), alias.c_str()), 0);
    int status = -1;
    Owned found(getRepository(alias.c_str())->getLocation("r1", &status, true, true));
    ASSERT_TRUE(found);
    EXPECT_EQ(std::string(found.get()), alias + location.substr(r.repo.path().size()));
    EXPECT_EQ(status, RES_OK);
    EXPECT_GT(modified(location), 1000); // touched through the link

    // A resource that is itself a link is found as the link.
    std::string target = r.make(r.m0, "target");
    std::string linked = r.on(r.m0, "linked");
    ASSERT_EQ(mkdirs(linked.substr(0, linked.rfind('/')).c_str(), 0755), 0);
    ASSERT_EQ(symlink(target.c_str(), linked.c_str()), 0);
    EXPECT_EQ(r.lookUp("linked", status), linked);
    EXPECT_EQ(status, RES_OK);

    // The last hash level replaced by a link: what lies behind it is not found.
    std::string hidden = r.on(r.m1, "hidden");
    std::string level = hidden.substr(0, hidden.rfind('/'));
    std::string outside = r.repo / "outside";
    ASSERT_EQ(mkdirs((outside + "/hidden").c_str(), 0755), 0);
    ASSERT_EQ(mkdirs(level.substr(0, level.rfind('/')).c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), level.c_str()), 0);
    EXPECT_EQ(r.lookUp("hidden", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);

    // A plain file where a hash level should be holds no copy either: not found, no error.
    std::string onFile = r.on(r.m0, "onfile"), fileLevel = onFile.substr(0, onFile.rfind('/'));
    ASSERT_EQ(mkdirs(fileLevel.substr(0, fileLevel.rfind('/')).c_str(), 0755), 0);
    writeFile(fileLevel, "plain");
    EXPECT_EQ(r.lookUp("onfile", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);

    // Where the kernel or file system cannot refuse links in one call, each level is tested, with
    // the same answers.
    for (int refusal : {0, ENOSYS, EINVAL, EXDEV, ELOOP}) {
        SeamFaults injected({{"openNoLinks", "/", refusal}});
        EXPECT_EQ(r.lookUp("target", status), target) << refusal;
        EXPECT_EQ(status, RES_OK) << refusal;
        for (const char* absent : {"hidden", "onfile", "nowhere"}) {
            EXPECT_EQ(r.lookUp(absent, status), "(null)") << refusal << absent;
            EXPECT_EQ(status, RES_NOT_FOUND) << refusal << absent;
        }
    }
    // A name too long for the file system holds nothing on a mount, also level by level.
    std::string longName(300, 'x'), longPlace = r.on(r.m0, longName);
    ASSERT_EQ(mkdirs(longPlace.substr(0, longPlace.rfind('/')).c_str(), 0755), 0);
    for (int refusal : {0, ENOSYS}) {
        SeamFaults injected({{"openNoLinks", "/", refusal}});
        status = -1;
        Owned tooLong(
            r.handler()->getMounts()[0]->getLocation(longName.c_str(), &status, nullptr, false));
        EXPECT_EQ(tooLong, nullptr) << refusal;
        EXPECT_EQ(status, RES_NOT_FOUND) << refusal;
    }
}

TEST(Location, DirtyCopiesAreMergedIntoTheLastMount) {
    TwoMounts r;
    // Past its clean and switch limits, but not full: m1 still takes what the merge copies.
    writeFile(r.m1 + "/repositorypart.cfg", "moveLimit = 60\ncleanLimit = 50\nswitchLimit = 50\n");
    r.fill.setPercent(r.m1, 55);
    std::string first = r.make(r.m0, "r1", "a"), second = r.make(r.m1, "r1", "b");
    r.handler()->getDirtyFlags().setDirty("r1", true);
    int status = -1;
    EXPECT_EQ(r.lookUp("r1", status), second);
    EXPECT_EQ(status, RES_OK);
    EXPECT_EQ(readFile(second + "/a"), "a");
    EXPECT_EQ(readFile(second + "/b"), "b");
    EXPECT_FALSE(present(first));
    EXPECT_FALSE(present(first.substr(0, r.m0.size() + 3))); // m0's hash directories went too
    EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty("r1"));
}

TEST(Location, DirtyCopiesThatCannotBeSettled) {
    TwoMounts r;
    // The earlier copy is a plain file: a conflict, both copies stay.
    std::string fileCopy = r.on(r.m0, "r2");
    mkdirs(fileCopy.substr(0, fileCopy.rfind('/')).c_str(), 0755);
    writeFile(fileCopy, "plain");
    std::string dirCopy = r.make(r.m1, "r2");
    r.handler()->getDirtyFlags().setDirty("r2", true);
    int status = -1;
    EXPECT_EQ(r.lookUp("r2", status), "(null)");
    EXPECT_EQ(status, RES_CONFLICT);
    EXPECT_TRUE(present(fileCopy));
    EXPECT_TRUE(present(dirCopy + "/f"));
    EXPECT_EQ(r.handler()->removeResource("r2"), RES_DIRTY); // removal refuses it
    EXPECT_TRUE(present(fileCopy));

    // One copy while the other mount is unmounted: found, but still dirty.
    std::string only = r.make(r.m0, "r3");
    r.handler()->getDirtyFlags().setDirty("r3", true);
    r.unmount(r.m1);
    EXPECT_EQ(r.lookUp("r3", status), only);
    EXPECT_EQ(status, RES_DIRTY);
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("r3"));

    // Flags that could not be read: the copies are merged, but a flag set meanwhile by another
    // process stays.
    rename((r.m1 + "/repositorypart.no").c_str(), (r.m1 + "/repositorypart.cfg").c_str());
    std::string earlier = r.make(r.m0, "r4", "a"), later = r.make(r.m1, "r4", "b");
    r.handler(); // sees m1 back before the flags fail
    writeFile(r.repo / ".dirty", "r2\nr3\nr4\n");
    {
        ScopedSyscalls calls;
        calls.table().read = failFirstFlagRead;
        EXPECT_EQ(r.lookUp("r4", status), later);
    }
    EXPECT_TRUE(flagReadFailed && !present(earlier) && present(later + "/a"));
    EXPECT_EQ(readFile(r.repo / ".dirty"), "r2\nr3\nr4\n");

    // The only copy on a mount switched off: not found, and the flag stays for when it is back.
    r.make(r.m0, "r5");
    r.handler()->getDirtyFlags().setDirty("r5", true);
    r.unmount(r.m0);
    EXPECT_EQ(r.lookUp("r5", status), "(null)");
    EXPECT_EQ(status, RES_NOT_FOUND);
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("r5"));
}

TEST(Location, CreationPlacesAndMarksWhileIncomplete) {
    TwoMounts r;
    r.fill.setPercent(r.m0, 96); // past its switch limit: new data goes to m1
    int status = -1;
    Owned location(r.handler()->createLocation("/new/", &status, false));
    EXPECT_EQ(std::string(location.get()), r.on(r.m1, "new"));
    EXPECT_EQ(status, RES_OK);
    std::string made(location.get());
    EXPECT_TRUE(present(made.substr(0, made.rfind('/')))); // its hash directories
    EXPECT_FALSE(present(location.get())); // the resource itself is the caller's business

    Owned directory(r.handler()->createDirectory("new", &status, false));
    EXPECT_STREQ(directory.get(), location.get());
    EXPECT_TRUE(present(directory.get()));
    Owned again(r.handler()->createLocation("new", &status, false)); // exists: nothing new
    EXPECT_STREQ(again.get(), location.get());

    EXPECT_THROW(r.handler()->createLocation("a/b", &status, false), OVAssertionException);

    r.unmount(r.m0);
    Owned skipped(r.handler()->createDirectory("skip", &status, true));
    EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty("skip"));
    Owned marked(r.handler()->createDirectory("mark", &status, false));
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("mark"));
    EXPECT_EQ(status, RES_OK);
}

// A mount switched off by another process after this one last looked (while it awaited the
// resource lock): the older copy there must still make the new one dirty, or once the mount is
// back the two copies would stand side by side, both taken for clean.
TEST(Location, CreationMarksWhenAMountWentAwayMeanwhile) {
    TwoMounts r;
    std::string older = r.make(r.m1, "late", "old");
    OVRepositoryHandler* handler = r.handler();
    handler->checkRepositoryStatus();
    r.unmount(r.m1);
    int status = -1;
    Owned made(handler->createDirectory("late", &status, false));
    ASSERT_NE(made.get(), nullptr);
    EXPECT_EQ(std::string(made.get()), r.on(r.m0, "late"));
    EXPECT_TRUE(handler->getDirtyFlags().isDirty("late"));
}

// A take-over of a legacy entry while a mount is off is a creation on the mounts: the absent
// mount may hold an older copy, which must not later pass for the clean one.
TEST(Location, LegacyTakeOverWhileAMountIsOffMarksTheResource) {
    TwoMounts r;
    r.make(r.m1, "both", "old");
    mkdir((r.legacy + "/both").c_str(), 0755);
    writeFile(r.legacy + "/both/data", "legacy");
    r.unmount(r.m1);
    int status = -1;
    EXPECT_EQ(r.lookUp("both", status), r.on(r.m0, "both"));
    EXPECT_EQ(status, RES_DIRTY);
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("both"));

    // With every mount on, a take-over needs no flag.
    mkdir((r.legacy + "/alone").c_str(), 0755);
    rename((r.m1 + "/repositorypart.no").c_str(), (r.m1 + "/repositorypart.cfg").c_str());
    EXPECT_EQ(r.lookUp("alone", status), r.on(r.m0, "alone"));
    EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty("alone"));
}

// A creation of a resource whose copies conflict must report the conflict, not hand out one of
// the copies (or a new one beside them) as if the resource were whole.
TEST(Location, CreationOfAConflictingResourceReportsTheConflict) {
    TwoMounts r;
    std::string first = r.make(r.m0, "split");
    std::string second = r.make(r.m1, "split");
    writeFile(second + "/f", "different");
    ASSERT_TRUE(r.handler()->getDirtyFlags().setDirty("split", true));
    for (bool directory : {false, true}) {
        int status = -1;
        Owned made(directory ? r.handler()->createDirectory("split", &status, false)
                             : r.handler()->createLocation("split", &status, false));
        EXPECT_EQ(made.get(), nullptr);
        EXPECT_EQ(status, RES_CONFLICT);
    }
    EXPECT_EQ(readFile(first + "/f"), "f");
    EXPECT_EQ(readFile(second + "/f"), "different");
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("split"));
}

TEST(Location, CreationWithoutAUsableMount) {
    TwoMounts r;
    SyslogCapture capture;
    int status = -1;
    // A mount that refuses the write for any cause but a read-only file system ends the creation;
    // one that is read-only (though statvfs did not tell) is passed over, and counts as such.
    {
        SeamFaults failing({{"mkdir", r.on(r.m0, "io"), EIO}});
        EXPECT_EQ(r.handler()->createDirectory("io", &status, false), nullptr);
        EXPECT_EQ(status, RES_ERROR);
        SeamFaults readOnly({{"mkdir", r.on(r.m0, "ro"), EROFS}});
        Owned made(r.handler()->createDirectory("ro", &status, false));
        EXPECT_EQ(made ? std::string(made.get()) : "", r.on(r.m1, "ro"));
        EXPECT_EQ(status, RES_OK);
    }
    EXPECT_FALSE(present(r.on(r.m0, "io")) || present(r.on(r.m1, "io")));
    EXPECT_TRUE(has(r.handler()->getMounts()[0]->checkStatus(false), MOUNT_FULL));
    const std::string readOnly =
        "The mount \"" + r.m0 + "\" is read-only: no new resource goes there.";
    EXPECT_EQ(std::count_if(capture.records().begin(), capture.records().end(),
                            [&](const SyslogRecord& record) {
                                return record.priority == LOG_ERR && record.text == readOnly;
                            }),
              1);
    r.fill.setPercent(r.m0, 98);
    r.fill.setPercent(r.m1, 97);
    EXPECT_EQ(r.handler()->createLocation("x", &status, false), nullptr);
    EXPECT_EQ(status, RES_ERROR);
    r.unmount(r.m1);
    EXPECT_EQ(r.handler()->createLocation("x", &status, false), nullptr);
    r.unmount(r.m0);
    EXPECT_EQ(r.handler()->createLocation("x", &status, false), nullptr);
    std::vector<std::string> errors;
    for (const std::string& message : capture.messages())
        if (message.rfind("The repository", 0) == 0)
            errors.push_back(message);
    std::string prefix = "The repository \"" + r.repo.path() + "\" is ";
    EXPECT_EQ(errors, (std::vector<std::string>{prefix + "full", prefix + "full and incomplete",
                                                prefix + "missing"}));
}

TEST(Location, LegacyResourcesAreTakenOver) {
    TwoMounts r;
    mkdir((r.legacy + "/old").c_str(), 0755);
    writeFile(r.legacy + "/old/data", "x");
    int status = -1;
    EXPECT_EQ(r.lookUp("old", status), r.on(r.m0, "old"));
    EXPECT_EQ(status, RES_OK);
    EXPECT_EQ(readFile(r.on(r.m0, "old") + "/data"), "x");
    EXPECT_FALSE(present(r.legacy + "/old"));
    // A take-over cut short, its copy moved to m1 since: the two settle there, into one.
    makeTree(r.legacy, {"cut/data"});
    makeTree(parentOf(r.on(r.m1, "cut")), {"cut/data"});
    EXPECT_EQ(r.lookUp("cut", status), r.on(r.m1, "cut"));
    EXPECT_TRUE(status == RES_OK && !present(r.on(r.m0, "cut")) && !present(r.legacy + "/cut"));

    // No mount can take it: used where it lies.
    mkdir((r.legacy + "/kept").c_str(), 0755);
    r.fill.setPercent(r.m0, 99);
    r.fill.setPercent(r.m1, 99);
    EXPECT_EQ(r.lookUp("kept", status), r.legacy + "/kept");
    EXPECT_EQ(status, RES_OK);
    // Used where it lies, it is touched only when asked to be.
    struct utimbuf old = {1000, 1000};
    utime((r.legacy + "/kept").c_str(), &old);
    EXPECT_EQ(r.lookUp("kept", status), r.legacy + "/kept");
    EXPECT_EQ(modified(r.legacy + "/kept"), 1000);
    Owned(r.handler()->getLocation("kept", &status, true, true));
    EXPECT_GT(modified(r.legacy + "/kept"), 1000);

    // The chosen mount cannot make a location: the same, and nothing moves.
    r.fill.setPercent(r.m0, 10);
    {
        ScopedSyscalls calls;
        calls.table().mkdir = failing<EROFS>(calls.table().mkdir);
        EXPECT_EQ(r.lookUp("kept", status), r.legacy + "/kept");
    }
    EXPECT_EQ(status, RES_OK);
    EXPECT_TRUE(present(r.legacy + "/kept"));

    Owned created(r.handler()->createToLegacy("fresh"));
    EXPECT_STREQ(created.get(), (r.legacy + "/fresh").c_str());

    // The move fails: the legacy copy is used where it lies, touched when asked to be.
    makeTree(r.legacy, {"refused/data"});
    utime((r.legacy + "/refused").c_str(), &old);
    {
        ScopedSyscalls calls;
        calls.table().renameNoReplace = refusePlacing;
        Owned kept(r.handler()->getLocation("refused", &status, true, true));
        EXPECT_STREQ(kept.get(), (r.legacy + "/refused").c_str());
    }
    EXPECT_GT(modified(r.legacy + "/refused"), 1000);
    placingRefused = false;

    // The move fails, and then neither place can be tested: an error, never "not found", and
    // flagged, since a copy may stand on the mount.
    makeTree(r.legacy, {"untestable/data"});
    {
        ScopedSyscalls calls;
        calls.table().renameNoReplace = refusePlacing;
        calls.table().lstat = untestableAfterwards;
        EXPECT_EQ(r.lookUp("untestable", status), "(null)");
    }
    EXPECT_EQ(status, RES_ERROR);
    EXPECT_TRUE(placingRefused && present(r.legacy + "/untestable/data"));
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("untestable"));
}

TEST(Location, RemovalCodesAndWhatItLeaves) {
    TwoMounts r;
    std::string a = r.make(r.m0, "gone"), b = r.make(r.m1, "gone");
    mkdir((r.legacy + "/gone").c_str(), 0755);
    // A link from the resource to an outside directory: removed as a link only.
    std::string outside = r.repo / "outside";
    mkdir(outside.c_str(), 0755);
    writeFile(outside + "/keep", "k");
    symlink(outside.c_str(), (a + "/link").c_str());

    EXPECT_EQ(r.handler()->removeResource("gone"), RES_OK);
    EXPECT_FALSE(present(a));
    EXPECT_FALSE(present(b));
    EXPECT_FALSE(present(r.legacy + "/gone"));
    EXPECT_FALSE(present(a.substr(0, r.m0.size() + 3))); // the hash directories went too
    EXPECT_EQ(readFile(outside + "/keep"), "k");
    EXPECT_EQ(r.handler()->removeResource("gone"), RES_NOT_FOUND);
    // A copy that cannot be removed fails the removal, whatever became of the others.
    std::string stuck = r.make(r.m0, "half");
    r.make(r.m1, "half");
    makeTree(r.legacy, {"half/f"});
    {
        SeamFaults injected({{"rename", stuck, EIO}});
        EXPECT_EQ(r.handler()->removeResource("half"), RES_ERROR);
    }
    EXPECT_TRUE(present(stuck + "/f"));

    // While the flags cannot be read, a lookup that saw every mount settles a removal: a resource
    // found on one mount is removed, one found nowhere is not found.
    std::string single = r.make(r.m1, "single");
    writeFile(r.repo / ".dirty", "other\n"); // by another process: read again
    {
        SeamFaults injected({{"read", "/.dirty", EIO}});
        EXPECT_EQ(r.handler()->removeResource("single"), RES_OK);
        EXPECT_EQ(r.handler()->removeResource("nowhere"), RES_NOT_FOUND);
    }
    EXPECT_FALSE(present(single));

    // Held by another process: 16 (the 30-second wait runs without sleeping here).
    r.make(r.m0, "busy");
    std::unique_ptr<char[]> id(toResourceID(r.repo.id(), "busy"));
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = startChild([&] {
        OVSemaphore lock(id.get(), true);
        lock.lock(1);
        close(ready[0]);
        close(release[1]);
        char byte = 'x';
        if (write(ready[1], &byte, 1) != 1)
            return 1;
        return read(release[0], &byte, 1) == 0 ? 0 : 1; // holds the lock until released
    });
    char byte;
    close(ready[1]);
    close(release[0]);
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    {
        ScopedSyscalls calls;
        calls.table().nanosleep = countSleep;
        sleptMicros = 0;
        EXPECT_EQ(r.handler()->removeResource("busy"), RES_LOCK_FAILED);
        EXPECT_TRUE(sleptMicros >= 30000000 && sleptMicros < 31000000) << sleptMicros;
        EXPECT_EQ(r.handler()->checkResourceStatus("busy"), RES_LOCK_FAILED);
        EXPECT_EQ(Owned(r.handler()->createDirectory("busy", nullptr, false)), nullptr);
        int status = 77;
        EXPECT_EQ(r.handler()->getLocation("busy", &status, true, false), nullptr);
        EXPECT_EQ(status, 77);
    }
    close(release[1]);
    EXPECT_EQ(waitForChild(holder), 0);
    EXPECT_EQ(r.handler()->checkResourceStatus("busy"), RES_OK);
}

TEST(Location, HostileNamesAreRefusedOrKeptInside) {
    TwoMounts r;
    r.make(r.m0, "victim");
    SyslogCapture capture;
    for (const char* name : {"", "/", "//", ".", "..", "../x", "x/..", "./x", "a/./b"}) {
        int status = -1;
        EXPECT_EQ(r.handler()->getLocation(name, &status, true, true), nullptr) << name;
        EXPECT_EQ(status, RES_NOT_FOUND) << name;
        EXPECT_EQ(r.handler()->createDirectory(name, &status, false), nullptr) << name;
        EXPECT_EQ(status, RES_ERROR) << name;
        EXPECT_EQ(r.handler()->removeResource(name), RES_NOT_FOUND) << name;
        EXPECT_EQ(r.handler()->checkResourceStatus(name), RES_NOT_FOUND) << name;
        EXPECT_EQ(r.handler()->createToLegacy(name), nullptr) << name;
        struct utimbuf times = {1, 1};
        EXPECT_EQ(r.handler()->setTimeProperties(name, &times), 0) << name;
        EXPECT_EQ(r.handler()->getTimeProperties(name, &times), 0) << name;
    }
    EXPECT_TRUE(present(r.legacy));
    EXPECT_TRUE(present(r.m0 + "/repositorypart.cfg"));
    EXPECT_TRUE(present(r.on(r.m0, "victim") + "/f"));
    EXPECT_EQ(capture.messages().front(), "The resource name \"\" is refused.");

    std::string cwd = r.repo.path();
    for (const char* name : {"with space", "quote\"'", "$(touch x)", "-rf", "100%s"}) {
        int status = -1;
        Owned made(r.handler()->createDirectory(name, &status, false));
        ASSERT_NE(made, nullptr) << name;
        EXPECT_EQ(status, RES_OK);
        writeFile(std::string(made.get()) + "/data", "d");
        EXPECT_EQ(r.handler()->removeResource(name), RES_OK) << name;
        EXPECT_FALSE(present(made.get())) << name;
    }
    EXPECT_FALSE(present("x"));
    EXPECT_FALSE(present(r.repo / "x"));
}

TEST(Location, ListingTimesAndEmptying) {
    TwoMounts r;
    r.make(r.m1, "b");
    r.make(r.m0, "c");
    r.make(r.m1, "c");
    std::string file = r.on(r.m0, "f");
    mkdirs(file.substr(0, file.rfind('/')).c_str(), 0755);
    writeFile(file, "plain");
    mkdir((r.legacy + "/a").c_str(), 0755);
    writeFile(r.legacy + "/g", "plain");

    long count = -1;
    char** dirs = r.handler()->listResources(1, &count, true);
    std::vector<std::string> names(dirs, dirs + count);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c", "c"}));
    for (long i = 0; i < count; ++i)
        delete[] dirs[i];
    delete[] dirs;
    char** files = r.handler()->listResources(2, &count, false);
    names.assign(files, files + count);
    EXPECT_EQ(names, (std::vector<std::string>{"f", "g"}));
    for (long i = 0; i < count; ++i)
        delete[] files[i];
    delete[] files;

    {
        SeamFaults injected({{"opendir", r.m1, EIO}}); // incomplete: no listing at all
        EXPECT_EQ(r.handler()->listResources(1, &count, true), nullptr);
        EXPECT_EQ(count, 0);
    }
    struct utimbuf times = {12345, 67890}, read = {0, 0};
    {
        SeamFaults injected({{"times", r.on(r.m1, "b"), EIO}});
        EXPECT_EQ(r.handler()->setTimeProperties("b", &times), 0);
    }
    EXPECT_EQ(r.handler()->setTimeProperties("b", &times), 1);
    EXPECT_EQ(r.handler()->getTimeProperties("b", &read), 1);
    EXPECT_EQ(read.actime, 12345);
    EXPECT_EQ(read.modtime, 67890);
    struct utimbuf untouched = {5, 5};
    EXPECT_EQ(r.handler()->getTimeProperties("missing", &untouched), 0);
    EXPECT_EQ(untouched.actime, 5);

    r.handler()->getDirtyFlags().setDirty("c", true);
    r.unmount(r.m1);
    r.handler()->makeEmpty();
    char** all = r.handler()->listResources(0, &count, false);
    EXPECT_NE(all, nullptr); // empty, yet complete
    delete[] all;
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(present(r.m1 + "/repositorypart.cfg")); // switched on again
    EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty("c"));
}

// A plain-file resource on two mounts: the same bytes on both (a move cut short after its copy
// took its name) settle into the later copy; different bytes are a conflict, both stay.
TEST(Location, DirtyPlainFileCopiesSettleWhenTheSame) {
    TwoMounts r;
    auto plain = [&](const std::string& mount, const std::string& id, const std::string& text) {
        std::string path = r.on(mount, id);
        mkdirs(path.substr(0, path.rfind('/')).c_str(), 0755);
        writeFile(path, text);
        r.handler()->getDirtyFlags().setDirty(id.c_str(), true);
        return path;
    };
    std::string earlier = plain(r.m0, "same", "bytes"), later = plain(r.m1, "same", "bytes");
    int status = -1;
    EXPECT_EQ(r.lookUp("same", status), later);
    EXPECT_EQ(status, RES_OK);
    EXPECT_EQ(readFile(later), "bytes");
    EXPECT_FALSE(present(earlier));
    EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty("same"));

    earlier = plain(r.m0, "other", "one");
    later = plain(r.m1, "other", "two");
    EXPECT_EQ(r.lookUp("other", status), "(null)");
    EXPECT_EQ(status, RES_CONFLICT);
    EXPECT_EQ(readFile(earlier) + readFile(later), "onetwo");
    EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty("other"));
}
