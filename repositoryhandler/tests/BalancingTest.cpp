// Overload balancing on real file systems: small mounts of their own in a private mount namespace
// of a child process, filled with resources of known sizes whose last use times are set with
// utime, and limits chosen so that the check must act. Standard output is caught by running the
// check in a process of its own whose descriptor 1 is a file.
#include "Balancing.h"
#include "MoveDelete.h"
#include "OVHash.h"
#include "OVPaths.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "Staging.h"
#include "TwoMounts.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace {

namespace fs = std::filesystem;
using Owned = std::unique_ptr<char[]>;

constexpr time_t kNomove = 1000;

// The fill level of the file system at mount, computed as the library computes it.
float usedPercent(const std::string& mount) {
    struct statvfs fs {};
    statvfs(mount.c_str(), &fs);
    long double blocks = static_cast<long double>(fs.f_blocks);
    return static_cast<float>(100.0L + static_cast<long double>(fs.f_bavail) / (blocks / -100.0L));
}

// A resource directory holding "data" (bytes of the id's first letter) and, when given, "extra".
std::string makeResource(const std::string& mount, const std::string& id, size_t bytes, time_t when,
                         const std::string& extra = "") {
    std::string location = place(mount, id);
    mkdirs(location.c_str(), 0755);
    writeFile(location + "/data", std::string(bytes, id[0]));
    if (!extra.empty())
        writeFile(location + "/extra", extra);
    setTimes(location, when);
    return location;
}

bool movedTo(const std::string& from, const std::string& to, const std::string& id) {
    return !present(place(from, id)) && present(place(to, id));
}

// Runs body in a process whose standard output goes to file and returns what it wrote; checks
// failing in that process count in this one.
std::string outputOf(const std::string& file, const std::function<void()>& body) {
    int failed = runInChild([&] {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
        int before = childFailures();
        body();
        fflush(stdout);
        return childFailures() - before;
    });
    check(failed == 0, "checks in the process that wrote " + file);
    return readFile(file);
}

// The lines of text that begin with prefix, in order.
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Counts the dirty-flag set files put in place.
int setFileWrites = 0;

// Whether the set file has failed to open (every open of it fails), and the lstat calls on paths
// below m0 since.
bool setFileFailed = false;
int lstatsSinceFailure = 0;

bool isSetFile(const std::string& name) {
    return name.size() >= 7 && name.compare(name.size() - 7, 7, "/.dirty") == 0;
}

int unreadableSetFile(const char* path, int flags, mode_t mode) {
    if (!isSetFile(path))
        return ovsys::real().open(path, flags, mode);
    setFileFailed = true;
    errno = EACCES;
    return -1;
}

int countingLstat(const char* path, struct stat* st) {
    lstatsSinceFailure += setFileFailed && std::strstr(path, "/m0/") != nullptr;
    return ovsys::real().lstat(path, st);
}

int countingRename(const char* from, const char* to) {
    setFileWrites += isSetFile(to);
    return ovsys::real().rename(from, to);
}

// Six old resources, one exactly at the cut-off and two younger ones on m0. A first, quiet check
// must move exactly the three oldest to get m0 below its clean limit; a second, with limits m0
// can never meet, moves every eligible resource, oldest first, and then ends. xfs frees the blocks
// of a removed file in the background: the check waits for them, or it would move one too many.
void oldestMoveFirst(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    struct statvfs fs {};
    statvfs(m0.c_str(), &fs);
    size_t bytes = fs.f_blocks * fs.f_frsize / 25 / 4096 * 4096; // 4 % of the file system
    time_t now = time(nullptr);
    std::vector<std::string> eligible = {"o0", "o1", "o2", "o3", "o4", "o5", "edge"};
    for (size_t i = 0; i + 1 < eligible.size(); ++i)
        makeResource(m0, eligible[i], bytes, now - 9000 + 100 * static_cast<time_t>(i));
    // The cut-off only grows while the check runs: "edge" stays a candidate, "y..." never are.
    makeResource(m0, "edge", bytes, now - kNomove);
    makeResource(m0, "y900", bytes, now - 900);
    makeResource(m0, "y10", bytes, now - 10);
    int used = static_cast<int>(usedPercent(m0));
    int clean = static_cast<int>(usedPercent(m0) - 10); // 2 moves are not enough, 3 are
    writeFile(m0 + "/repositorypart.cfg", "moveLimit = " + std::to_string(used) +
                                              "\ncleanLimit = " + std::to_string(clean) + "\n");

    check(outputOf(repo / "quiet.out", [&] { checkOverload_(repo.id(), false); }).empty(),
          "a check without verbose writes nothing to standard output");
    size_t moved = 0;
    while (moved < eligible.size() && movedTo(m0, m1, eligible[moved]))
        ++moved;
    check(moved == 3, "the 3 oldest moved: " + std::to_string(moved));
    for (size_t i = moved; i < eligible.size(); ++i)
        check(present(place(m0, eligible[i])), eligible[i] + " stays on m0");
    check(usedPercent(m0) < clean, "m0 ends below its clean limit");
    check(readFile(place(m1, "o0") + "/data") == std::string(bytes, 'o'), "o0 arrived whole");

    writeFile(m0 + "/repositorypart.cfg", "moveLimit = 1\ncleanLimit = 1\n");
    setFileWrites = 0;
    std::string out = outputOf(repo / "verbose.out", [&] {
        ScopedSyscalls calls;
        calls.table().rename = countingRename;
        checkOverload_(repo.id(), true);
        std::printf("flag writes: %d\n", setFileWrites);
    });
    // Each batch (one progress line) flags its members with one write and clears them with one.
    size_t batches = linesStarting(out, "(moveLimit=").size();
    std::string writes = "flag writes: " + std::to_string(2 * batches);
    check(batches > 0 && linesStarting(out, "flag writes: ") == std::vector<std::string>{writes},
          "two writes of the flags for each of " + std::to_string(batches) + " batches:\n" + out);
    std::vector<std::string> expected;
    for (size_t i = moved; i < eligible.size(); ++i)
        expected.push_back("CheckOverload moves " + place(m0, eligible[i]) + " to " +
                           place(m1, eligible[i]));
    check(linesStarting(out, "CheckOverload moves ") == expected,
          "the rest moves oldest first, the resource at the cut-off too:\n" + out);
    check(present(place(m0, "y900")) && present(place(m0, "y10")), "young resources stay");
    check(countOf(out, "mount " + m0 +
                           " stays above its move limit: no resource unused for the no-move time "
                           "(1000 seconds) is left on it\n") == 1,
          "it says why m0 stays overloaded:\n" + out);
    check(!present(place(m1, "y900")) && !present(place(m1, "y10")), "none of them was moved");
}

// m0 can never meet its limits; m1 takes resources only until it reaches its clean limit, which
// two of them reach: the batch stops there, and no later batch fills m1 further.
void targetFilledToItsCleanLimit(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    writeFile(m0 + "/repositorypart.cfg", "moveLimit = 1\ncleanLimit = 1\n");
    time_t now = time(nullptr);
    for (int i = 0; i < 8; ++i)
        makeResource(m0, "r" + std::to_string(i), 128 * 1024, now - 9000 + i); // 3.125 % each
    int clean = static_cast<int>(usedPercent(m1)) + 5;
    writeFile(m1 + "/repositorypart.cfg",
              "moveLimit = 90\ncleanLimit = " + std::to_string(clean) + "\n");
    checkOverload_(repo.id(), false);
    int moved = 0;
    for (int i = 0; i < 8; ++i)
        moved += movedTo(m0, m1, "r" + std::to_string(i)) ? 1 : 0;
    check(moved == 2,
          "m1 took " + std::to_string(moved) + " resources, clean limit " + std::to_string(clean));
}

// While the check waits for the lock of the oldest resource a, its holder uses it: a is skipped
// as touched and moved by the next batch. b's lock file was left by a dead process: one wait,
// one message. c meets a different copy on m1: both stay, c is dirty. e's identical copy on m1 is
// merged, f's merge breaks off: both are dirty, and the next lookup settles them.
std::string failingRenameTarget;

int failingPlacement(const char* from, const char* to) {
    if (to == failingRenameTarget) {
        errno = EIO;
        return -1;
    }
    return ovsys::real().renameNoReplace(from, to);
}

void skippedAndMergedResources(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    writeFile(m0 + "/repositorypart.cfg", "moveLimit = 1\ncleanLimit = 1\n"); // never met
    time_t now = time(nullptr);
    const size_t bytes = 256 * 1024;
    std::string a = makeResource(m0, "a", bytes, now - 6000);
    for (const char* id : {"b", "c", "e", "g"})
        makeResource(m0, id, bytes, now - 5900 + 100 * (id[0] - 'b'));
    std::string f = makeResource(m0, "f", bytes, now - 5400, "only on m0");
    makeResource(m0, "young", bytes, now - 10);
    makeResource(m1, "c", bytes / 2, now);
    makeResource(m1, "e", bytes, now);
    makeResource(m1, "f", bytes, now);
    failingRenameTarget = place(m1, "f") + "/extra";
    std::string bLock = resourceLockName(repo.path(), "b");
    writeFile(std::string(getenv("LOCK_VAR")) + "/" + lockFileName(bLock), "");

    int ready[2];
    check(pipe(ready) == 0, "pipe");
    pid_t holder = startChild([&] {
        OVSemaphore lock(resourceLockName(repo.path(), "a"), true);
        bool locked = lock.lock(5);
        if (write(ready[1], "x", 1) != 1 || !locked)
            return 1;
        sleep(2); // the check gathers meanwhile and waits for the lock
        setTimes(a, now - 4000);
        return 0;
    });
    char token;
    check(read(ready[0], &token, 1) == 1, "the holder has the lock of a");
    std::string out = outputOf(repo / "check.out", [&] {
        SyslogCapture syslog;
        ScopedSyscalls calls;
        calls.table().renameNoReplace = failingPlacement;
        time_t start = time(nullptr);
        checkOverload_(repo.id(), true);
        check(time(nullptr) - start < 50, "the lock left behind costs one wait");
        std::string message = "The resource \"" + bLock + "\" could not be locked.";
        size_t logged = 0;
        for (const std::string& text : syslog.messages())
            logged += text == message ? 1 : 0;
        check(logged == 1, "the lock message is logged once");
    });
    check(waitForChild(holder) == 0, "the holder");
    check(countOf(out, "Resource touched while checking: " + a + "\n") == 1,
          "a was touched:\n" + out);
    check(countOf(out, "The resource \"" + bLock + "\" could not be locked.\n") == 1,
          "b's lock message, once");
    check(countOf(out, "Conflict prevented resource move\n") == 1, "c's conflict");
    for (const char* id : {"a", "e", "g"})
        check(movedTo(m0, m1, id), std::string(id) + " moved");
    for (const char* id : {"b", "c", "f", "young"})
        check(present(place(m0, id)), std::string(id) + " stays on m0");
    check(readFile(place(m1, "c") + "/data").size() == bytes / 2, "m1's copy of c is kept");
    check(readFile(repo / ".dirty") == "c\ne\nf\n", "c, e and f are dirty");

    // The lookups merge what is left of e and f into m1's copies and clear their flags.
    OVRepositoryHandler* handler = getRepository(repo.id());
    for (const char* id : {"e", "f"}) {
        int status = -1;
        Owned location(handler->getLocation(id, &status, true, false));
        check(location && location.get() == place(m1, id) && status == RES_OK,
              std::string("the lookup of ") + id + " settles it on m1");
    }
    check(!present(f) && readFile(place(m1, "f") + "/extra") == "only on m0", "f merged whole");
    check(readFile(repo / ".dirty") == "c\n", "only c stays dirty");

    // A check settles every dirty resource, with no mount overloaded too, and names what stays.
    writeFile(m0 + "/repositorypart.cfg", "");
    check(handler->getDirtyFlags().setDirty("g", true), "g flagged");
    std::string settling = outputOf(repo / "settle.out", [&] { checkOverload_(repo.id(), true); });
    check(countOf(settling, "dirty resource c stays dirty: its copies differ") == 1 &&
              countOf(settling, "dirty resources: 1 settled, 1 in conflict, 0 left for a later "
                                "check\n") == 1 &&
              countOf(settling, "trying to clean mount") == 0,
          "the check settled g and named c:\n" + settling);
    check(readFile(repo / ".dirty") == "c\n", "g is settled");

    // While a mount is off no flag can be cleared: ten of the resources left are named, all
    // counted.
    for (int i = 0; i < 11; ++i)
        handler->getDirtyFlags().setDirty(("h" + std::to_string(i)).c_str(), true);
    rename((m1 + "/repositorypart.cfg").c_str(), (m1 + "/repositorypart.no").c_str());
    std::string off = outputOf(repo / "off.out", [&] { checkOverload_(repo.id(), true); });
    check(countOf(off, " stays dirty: a mount that may hold a copy is unmounted") == 10 &&
              countOf(off, "dirty resources: 0 settled, 0 in conflict, 12 left for a later "
                           "check\n") == 1,
          "ten of twelve named:\n" + off);
}

// A clearable repository whose mounts are all at their clean limit: the oldest resources of the
// whole repository are deleted, one at a time, until a mount has room; then m0 moves to it.
void clearableDeletesOldest(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1", m2 = repo / "m2";
    repo.configure("mountPoints = m0\\m1\\m2\nnomoveTimeSeconds = 1000\nisClearable = true\n"
                   "cleanLimit = 40\nmoveLimit = 45\n");
    writeFile(m0 + "/repositorypart.cfg", "moveLimit = 42\n");
    time_t now = time(nullptr);
    const size_t bytes = 256 * 1024; // 6.25 % of a 4 MiB tmpfs
    // Globally oldest first: p0 (m0), s0 (m2), q0 (m1), p1 (m0), then the rest.
    makeResource(m0, "p0", bytes, now - 9000);
    makeResource(m2, "s0", bytes, now - 8900);
    makeResource(m1, "q0", bytes, now - 8800);
    makeResource(m0, "p1", bytes, now - 8700);
    for (int i = 2; i < 8; ++i)
        makeResource(m0, "p" + std::to_string(i), bytes, now - 5000 + i);
    for (int i = 1; i < 7; ++i) {
        makeResource(m1, "q" + std::to_string(i), bytes, now - 5000 + i);
        makeResource(m2, "s" + std::to_string(i), bytes, now - 5000 + i);
    }
    check(usedPercent(m0) >= 45 && usedPercent(m1) >= 40 && usedPercent(m2) < 45,
          "m0 is to be cleaned, m1 and m2 are at their clean limit");

    checkOverload_(repo.id(), false);
    std::list<std::string>* deleted = getDeletedDirs_(repo.id());
    check(*deleted == std::list<std::string>{place(m0, "p0"), place(m2, "s0")},
          "the two globally oldest are deleted, then m2 has room");
    // Another process edits a mount's configuration after the check (switching a mount off and on
    // does as much): the deletions are still those of the check.
    writeFile(m1 + "/repositorypart.cfg", "\n");
    setModified(m1 + "/repositorypart.cfg", 5);
    check(*getDeletedDirs_(repo.id()) == std::list<std::string>{place(m0, "p0"), place(m2, "s0")},
          "the deletions are still listed after the configuration changed");
    check(!present(place(m0, "p0")) && !present(place(m2, "s0")), "and they are gone");
    check(present(place(m1, "q0")), "the third oldest stays");
    check(movedTo(m0, m2, "p1"), "m0's oldest then moves to the mount with room");
    check(usedPercent(m0) < 40, "m0 ends below its clean limit");
}

// Walks of a mount's top directory while counting (the path of each mount).
std::map<std::string, int> topWalks;

DIR* countingOpendir(const char* path) {
    auto found = topWalks.find(path);
    if (found != topWalks.end())
        ++found->second;
    return ovsys::real().opendir(path);
}

// A clearable repository whose two mounts are both full: the check deletes some 240 of the 500
// globally oldest, alternating between the mounts, until one is below its clean limit. It keeps
// what one walk found and walks again only when that is used up, with a larger bound: each mount
// is walked twice (100 kept, then 1,600), where a walk per 100 deletions would make it three or
// more, and a walk per deletion cycle as many as the deletions.
void clearableWalksFewTimes(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\nisClearable = true\n"
                   "fullLimit = 97\nmoveLimit = 97\ncleanLimit = 50\n");
    time_t now = time(nullptr);
    for (int i = 0; i < 250; ++i)
        for (const std::string& mount : {m0, m1})
            makeResource(mount, "r" + std::to_string(i) + (mount == m0 ? "a" : "b"), 4096,
                         now - 5000 - 2 * i - (mount == m0 ? 0 : 1));
    check(usedPercent(m0) >= 97 && usedPercent(m1) >= 97, "both mounts full");
    topWalks = {{m0, 0}, {m1, 0}};
    {
        ScopedSyscalls calls;
        calls.table().opendir = countingOpendir;
        checkOverload_(repo.id(), false);
    }
    size_t deleted = getDeletedDirs_(repo.id())->size();
    check(deleted > 200 && (usedPercent(m0) < 50 || usedPercent(m1) < 50),
          "deleted until a mount had room: " + std::to_string(deleted));
    check(topWalks[m0] <= 2 && topWalks[m1] <= 2, "walks of m0 " + std::to_string(topWalks[m0]) +
                                                      ", of m1 " + std::to_string(topWalks[m1]));
}

// Emptying a mount: every result of freeMount_.
void emptyingAMount(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\n");
    makeResource(m0, "p", 4096, 1000);
    std::string q = makeResource(m0, "q", 4096, 1000);
    std::string other = makeResource(m1, "q", 8192, 1000);
    check(freeMount_(repo.id(), "m9") == 1, "no such mount");
    std::string on = m1 + "/repositorypart.cfg", off = m1 + "/repositorypart.no";
    rename(on.c_str(), off.c_str()); // m1 switched off
    check(freeMount_(repo.id(), "m0") == 2, "no target mount");
    check(present(place(m0, "p")), "nothing moved without a target");
    rename(off.c_str(), on.c_str());
    std::string source = m0 + "/repositorypart.cfg", sourceOff = m0 + "/repositorypart.no";
    rename(source.c_str(), sourceOff.c_str()); // m0 switched off: nothing of it is reached
    check(freeMount_(repo.id(), "m0") == 3 && present(place(m0, "p")), "a source switched off");
    rename(sourceOff.c_str(), source.c_str());
    check(freeMount_(repo.id(), "m0") == 3, "q met a different copy on m1");
    check(movedTo(m0, m1, "p") && present(q) && present(other), "p moved, both copies of q stay");
    check(readFile(repo / ".dirty") == "q\n", "q is dirty");
    check(freeMount_(repo.id(), "m0") == 3 && present(q), "q stays dirty: the mount is not empty");

    // Without the other copy the lookup clears the flag, and q goes too.
    check(deleteRes(other.c_str()) == 0, "remove m1's copy of q");
    int status = -1;
    Owned location(getRepository(repo.id())->getLocation("q", &status, true, false));
    check(location && location.get() == q, "q is found on m0");
    check(freeMount_(repo.id(), "m0") == 0, "everything moved");
    check(movedTo(m0, m1, "q"), "q moved");
    check(freeMount_(repo.id(), "m0") == 0, "nothing left to move");
    check(freeMount_(repo.id(), "m1") == 0 && movedTo(m1, m0, "q"), "m1 empties onto m0");

    // A dirty resource is settled by the walk, then moved like any other, even when it is the
    // only one and its name is that of a hash directory.
    Owned hashed(convertToHashed("r/"));
    std::string hashName(hashed.get(), 2);
    makeResource(m0, hashName, 4096, 1000);
    getRepository(repo.id())->getDirtyFlags().setDirty(hashName.c_str(), true);
    check(freeMount_(repo.id(), "m0") == 0 && movedTo(m0, m1, hashName), "dirty resource moved");
    check(readFile(repo / ".dirty").empty(), "its flag is cleared");

    // One whose other copy may be on a mount switched off stays dirty where it is.
    mkdir((repo / "m2").c_str(), 0755); // listed, without its repositorypart.cfg: off
    repo.configure("mountPoints = m0\\m1\\m2\n");
    std::string x = makeResource(m0, "x", 4096, 1000);
    getRepository(repo.id())->getDirtyFlags().setDirty("x", true);
    check(freeMount_(repo.id(), "m0") == 3 && present(x), "x stays dirty on m0, result 3");
    repo.configure("mountPoints = m0\\m1\n");
    check(deleteRes(x.c_str()) == 0, "x removed");

    // While the dirty flags cannot be read the walk gives up at the first resource, without
    // waiting name after name, and the mount is not reported empty.
    makeResource(m0, "s", 4096, 1000);
    writeFile(repo / ".dirty", "t\n"); // changed meanwhile: it has to be read again
    ScopedSyscalls calls;
    calls.table().open = [](const char* path, int flags, mode_t mode) {
        if (std::strstr(path, ".dirty-") == nullptr)
            return ovsys::real().open(path, flags, mode);
        errno = EACCES; // the dirty-flag lock file cannot be made
        return -1;
    };
    check(freeMount_(repo.id(), "m0") == 3 && present(place(m0, "s")), "s stays, result 3");

    // A set file that cannot be opened ends the walk at the first name it is asked for: the
    // forty other resources are not walked to one by one, and nothing moves.
    calls.table().open = ovsys::real().open;
    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i)
        many.push_back(makeResource(m0, "u" + std::to_string(i), 4096, 1000));
    writeFile(repo / ".dirty", "vw\n"); // changed meanwhile: it has to be read again
    calls.table().open = unreadableSetFile;
    calls.table().lstat = countingLstat;
    check(freeMount_(repo.id(), "m0") == 3, "result 3");
    check(setFileFailed && lstatsSinceFailure <= 3,
          "the walk ended, lstat calls: " + std::to_string(lstatsSinceFailure));
    for (const std::string& resource : many)
        check(present(resource), "stays: " + resource);
}

// Starts the tool with args (stop signals at their defaults), its output in dir/tool.out, .err.
pid_t startTool(const std::vector<std::string>& args, const std::string& dir) {
    return startChild([&] {
        int fd = open((dir + "/tool.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fd2 = open((dir + "/tool.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd2, 2);
        std::vector<char*> argv{const_cast<char*>(MOUNTBALANCE_PATH)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        setenv("TZ", "UTC", 1);
        for (int signo : {SIGTERM, SIGINT, SIGHUP})
            signal(signo, SIG_DFL);
        execv(argv[0], argv.data());
        return 127;
    });
}

// Runs the tool with args; its exit status, with what it wrote to out and err.
int runTool(const std::vector<std::string>& args, std::string& out, std::string& err,
            const std::string& dir) {
    int status = waitForChild(startTool(args, dir));
    out = readFile(dir + "/tool.out");
    err = readFile(dir + "/tool.err");
    return status;
}

// The whole standard output of mountbalance for one resource moved off an overloaded mount.
void toolOutput(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1";
    repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    writeFile(m0 + "/repositorypart.cfg", "moveLimit = 5\ncleanLimit = 5\n");
    makeResource(m0, "r", 256 * 1024, 1000000000);
    char before[32];
    snprintf(before, sizeof before, "%.1f", usedPercent(m0));
    std::string out, err;
    check(runTool({repo.path()}, out, err, repo.path()) == 0 && err.empty(), "exit status 0");
    char used0[64], used1[64], after[32];
    snprintf(used0, sizeof used0, "%f", usedPercent(m0));
    snprintf(used1, sizeof used1, "%f", usedPercent(m1));
    snprintf(after, sizeof after, "%.1f", usedPercent(m0));
    std::string expected = "calling library...\n"
                           "checking repository " +
                           repo.path() +
                           "\n"
                           "checking mount " +
                           m0 +
                           "\n"
                           "trying to clean mount " +
                           m0 +
                           "\n"
                           "CheckOverload tries to move\n"
                           "CheckOverload moves " +
                           place(m0, "r") + " to " + place(m1, "r") +
                           "\n"
                           "CheckOverload: Last access/modification time of the resource: "
                           "Sun Sep  9 01:46:40 2001\n\n"
                           "Move succeeded\n"
                           "(moveLimit=5, used=" +
                           used0 +
                           ")\n"
                           "(cleanLimit=5: moving off the mount ends below it)\n"
                           "mount " +
                           m0 + ": 1 moved (256 KiB), 0 deleted, 0 skipped as used meanwhile, 0 " +
                           "given up; used " + before + " % before, " + after +
                           " % after (moveLimit=5, cleanLimit=5)\n"
                           "checking mount " +
                           m1 +
                           "\n"
                           "mount does not need maintenance (moveLimit=99, used=" +
                           used1 + ")\n";
    check(out == expected, "the tool's output:\n" + out + "\nexpected:\n" + expected);
    check(runTool({}, out, err, repo.path()) == 255, "no argument");
    check(out == "Usage: mountbalance <repository>\n", "the usage line");
    check(runTool({repo.path(), "x"}, out, err, repo.path()) == 255, "two arguments");
    check(movedTo(m0, m1, "r"), "the check moved r");
    {
        // A repository lock that cannot be had (here at once: its directory is missing; a lock
        // held for 30 seconds ends the same way): the check does not run, and a timer must see it.
        ScopedEnv noLocks("LOCK_VAR", (repo / "nolocks").c_str());
        check(runTool({repo.path()}, out, err, repo.path()) == 3, "no repository lock: status 3");
        check(out.find("could not be locked.\nIts lock file " + repo.path() +
                       "/nolocks/semaphore_OVRepositoryHandler-") != std::string::npos,
              "the lock file is named:\n" + out);
    }
    repo.configure("mountPoints = m0\\gone\n");
    check(runTool({repo.path()}, out, err, repo.path()) == 1, "an exception ends the tool with 1");
    check(err == "Error: the mount directory \"" + repo.path() +
                     "/gone\" does not exist: create it and mount its file system there, or "
                     "correct mountPoints in " +
                     repo.path() + "/repository.cfg\n",
          "what is wrong and the fix on standard error: " + err);
}

// The bytes of the first "data" file that a copy in mount's staging directory holds so far.
off_t stagedData(const std::string& mount) {
    std::error_code error;
    fs::recursive_directory_iterator it(mount + "/" + kStagingName, error), end;
    for (struct stat st; !error && it != end; it.increment(error))
        if (it->path().filename() == "data" && stat(it->path().c_str(), &st) == 0)
            return st.st_size;
    return 0;
}

// Each stop signal while the tool waits for the lock of the oldest resource (held here) and while
// it copies that resource: the tool exits with 128 + the signal at once, leaving no lock file and
// nothing staged, every resource whole on m0 and unflagged; the next run takes every lock at once.
void stoppedBySignals(TestRepository& repo) {
    std::string m0 = repo / "m0", m1 = repo / "m1", lockDir = getenv("LOCK_VAR");
    const std::string bigData(64 << 20, 'b'); // a copy long enough for the signal to land in it
    repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    writeFile(m0 + "/repositorypart.cfg", "moveLimit = 1\ncleanLimit = 1\n");
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        for (bool waiting : {true, false}) {
            std::string row = "signal " + std::to_string(signo) + (waiting ? " in a wait: " : ": ");
            fs::remove_all(place(m1, "big"));
            makeResource(m0, "big", bigData.size(), time(nullptr) - 6000);
            makeResource(m0, "small", 4096, time(nullptr) - 5000);
            OVSemaphore held(resourceLockName(repo.path(), "big"), true);
            check(!waiting || held.lockResource(), row + "the test holds big");
            pid_t tool = startTool({repo.path()}, repo.path());
            for (int i = 0; i < 200000 && (waiting ? countOf(readFile(repo / "tool.out"), "tries")
                                                   : stagedData(m1)) == 0;
                 ++i)
                usleep(100);
            if (waiting) {
                usleep(300 * 1000); // the gathering is done: the tool waits for big's lock
            } else {                // frozen to see that the copy is under way
                kill(tool, SIGSTOP);
                waitpid(tool, nullptr, WUNTRACED);
                check(stagedData(m1) < static_cast<off_t>(bigData.size()), row + "copying");
            }
            auto start = std::chrono::steady_clock::now();
            kill(tool, signo);
            kill(tool, SIGCONT);
            check(waitForChild(tool) == 128 + signo &&
                      std::chrono::steady_clock::now() - start < std::chrono::seconds(5) &&
                      countOf(readFile(repo / "tool.out"), "stopped by signal") == 1,
                  row + "exit status 128 + the signal, at once:\n" + readFile(repo / "tool.out"));
            held.unlock();
            check(fs::is_empty(lockDir), row + "no lock file stays");
            check(readFile(place(m0, "big") + "/data") == bigData && !present(place(m1, "big")) &&
                      !present(m0 + "/" + kStagingName) && !present(m1 + "/" + kStagingName) &&
                      readFile(place(m0, "small") + "/data") == std::string(4096, 's') &&
                      !present(place(m1, "small")) && readFile(repo / ".dirty").empty(),
                  row + "every resource whole on m0, none flagged, nothing staged");
            std::string out, err;
            check(runTool({repo.path()}, out, err, repo.path()) == 0 &&
                      countOf(out, "could not be locked") == 0 && movedTo(m0, m1, "big") &&
                      readFile(place(m1, "big") + "/data") == bigData,
                  row + "the next run takes every lock at once and moves big:\n" + out);
        }
}

} // namespace

TEST(Balancing, GatheringTakesTheOldestEligibleResources) {
    TwoMounts r;
    r.repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    std::vector<std::string> ids = {"old", "tie1", "tie2", "edge", "younger", "file", "link"};
    for (const std::string& id : ids)
        r.make(r.m0, id, "f");
    deleteRes(place(r.m0, "file").c_str());
    deleteRes(place(r.m0, "link").c_str());
    writeFile(place(r.m0, "file"), "a plain file is a resource too");
    ASSERT_EQ(symlink("/tmp", place(r.m0, "link").c_str()), 0);
    // Nothing below these is the mount's own: not gathered, links not walked into.
    makeTree(r.m0, {"lost+found/a/b/c/lf", ".repository-staging/a/b/c/st", "toplevel", "ab/plain"});
    ASSERT_EQ(symlink((r.m0 + "/lost+found").c_str(), (r.m0 + "/zz").c_str()), 0);
    std::vector<std::string> gathered;
    for (int attempt = 0; attempt < 5; ++attempt) {
        // Times relative to a second just begun, so that the cut-off is this second's.
        time_t now = time(nullptr);
        while (time(nullptr) == now)
            usleep(1000);
        now = time(nullptr);
        setTimes(place(r.m0, "old"), now - 5000);
        setTimes(place(r.m0, "link"), now - 4000);
        setTimes(place(r.m0, "tie1"), now - 3000);
        setTimes(place(r.m0, "tie2"), now - 3000);
        setTimes(place(r.m0, "file"), now - 2000);
        setTimes(place(r.m0, "edge"), now - kNomove);
        setTimes(place(r.m0, "younger"), now - kNomove + 1);
        for (const char* path : {"lost+found/a/b/c/lf", ".repository-staging/a/b/c/st"})
            setTimes(r.m0 + "/" + path, 1000);
        CandidateSet candidates;
        r.handler()->getMounts()[0]->getOldestResources(candidates, 100, "", 0);
        if (time(nullptr) != now)
            continue; // the clock ticked: the cut-off may have passed "younger"
        gathered.clear();
        for (const ResourceEntry& entry : candidates)
            gathered.push_back(entry.resourceId);
        CandidateSet three;
        r.handler()->getMounts()[0]->getOldestResources(three, 3, "", 0);
        ASSERT_EQ(three.size(), 3u);
        EXPECT_EQ(three.rbegin()->resourceId,
                  place(r.m0, "tie1") > place(r.m0, "tie2") ? "tie1" : "tie2");
        break;
    }
    // Equal ages: the greater path first.
    bool oneFirst = place(r.m0, "tie1") > place(r.m0, "tie2");
    EXPECT_EQ(gathered, (std::vector<std::string>{"old", "link", oneFirst ? "tie1" : "tie2",
                                                  oneFirst ? "tie2" : "tie1", "file", "edge"}));
}

// Fill levels, the cut-off and freed blocks behave differently on each file system.
TEST(Balancing, OldestMoveFirstOnEveryFileSystem) {
    for (FileSystemKind kind :
         {FileSystemKind::Tmpfs, FileSystemKind::Ext4SmallInodes, FileSystemKind::Xfs}) {
        SCOPED_TRACE(nameOf(kind));
        EXPECT_SCENARIO(withMounts({"m0", "m1"}, kind, kind == FileSystemKind::Tmpfs ? "16m" : "",
                                   oldestMoveFirst));
    }
}

TEST(Balancing, ATargetIsFilledOnlyToItsCleanLimit) {
    EXPECT_SCENARIO(
        withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "4m", targetFilledToItsCleanLimit));
}

TEST(Balancing, SkippedTouchedLockedConflictingAndMergedResources) {
    EXPECT_SCENARIO(
        withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "4m", skippedAndMergedResources));
}

TEST(Balancing, ClearableRepositoryDeletesTheGloballyOldest) {
    EXPECT_SCENARIO(
        withMounts({"m0", "m1", "m2"}, FileSystemKind::Tmpfs, "4m", clearableDeletesOldest));
}

TEST(Balancing, ClearableCheckWalksEachMountTwice) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "1m", clearableWalksFewTimes));
}

TEST(Balancing, EmptyingAMountResults) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "4m", emptyingAMount));
}

TEST(Balancing, MountbalanceOutput) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "4m", toolOutput));
}

TEST(Balancing, MountbalanceStopsCleanlyOnSignals) {
    EXPECT_SCENARIO(withMounts({"m0", "m1"}, FileSystemKind::Tmpfs, "512m", stoppedBySignals));
}
