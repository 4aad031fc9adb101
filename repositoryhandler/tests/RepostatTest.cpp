// The repository state tool, run in-process with chosen fill levels: its lines, its JSON and its
// exit status for healthy, warning, full and missing repositories, a resource with several
// copies, the configuration check, and that it changes nothing at all while it looks.
#include "Repostat.h"
#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "OVSemaphore.h"
#include "Registry.h"
#include "RepoState.h"
#include "RepositoryTestSupport.h"
#include "SharedRepository.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
    bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
};

ToolRun repostat(const std::vector<std::string>& args) {
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0, errSize = 0;
    std::FILE* out = open_memstream(&outText, &outSize);
    std::FILE* err = open_memstream(&errText, &errSize);
    ToolRun run;
    run.status = runRepostat(args, out, err);
    std::fclose(out);
    std::fclose(err);
    run.out.assign(outText, outSize);
    run.err.assign(errText, errSize);
    std::free(outText);
    std::free(errText);
    return run;
}

std::string lockDir() {
    return std::getenv("LOCK_VAR");
}

// Creates a lock file of the given name that was last changed secondsAgo.
std::string makeLock(const std::string& repository, const std::string& resource, long secondsAgo) {
    std::string path = lockDir() + "/" + lockFileName(resourceLockName(repository, resource));
    writeFile(path, "");
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - secondsAgo;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
}

// The copy of resource on mount.
std::string copyOn(const std::string& mount, const char* resource) {
    std::string hashed;
    hashedResourcePath(resource, hashed);
    hashed.pop_back();
    return mount + "/" + hashed;
}

void makeCopy(const std::string& dir, size_t bytes, time_t lastUse) {
    mkdirs(dir.c_str(), 0755);
    writeFile(dir + "/data", std::string(bytes, 'x'));
    struct utimbuf times = {lastUse, lastUse};
    utime(dir.c_str(), &times);
}

// Every entry below root (root included) with its times and, for files, its content.
using Snapshot = std::map<std::string, std::string>;

void takeSnapshot(const std::string& path, Snapshot& snapshot) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    auto nanos = [](const struct timespec& t) {
        return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
    };
    std::string entry = nanos(st.st_atim) + " " + nanos(st.st_mtim) + " " + nanos(st.st_ctim) +
                        " " + std::to_string(st.st_size);
    std::string content;
    if (S_ISREG(st.st_mode) && readQuietly(path, content))
        entry += " " + content;
    snapshot[path] = entry;
    if (!S_ISDIR(st.st_mode))
        return;
    std::vector<std::string> names;
    listQuietly(path, names);
    for (const std::string& name : names)
        takeSnapshot(path + "/" + name, snapshot);
}

} // namespace

TEST(Repostat, ExitStatusAndLinesFollowTheRepositoryState) {
    TestRepository repo;
    FakeFillLevels fill;
    std::string m0 = repo.addMount("m0"), m1 = repo.addMount("m1", "switchLimit = 60\n");
    repo.configure("mountPoints = m0\\m1\nlegacyDir = " + repo.path() + "/legacy\n");
    fill.setPercent(m0, 50);
    fill.setPercent(m1, 50);

    ToolRun ok = repostat({repo.path()});
    EXPECT_EQ(0, ok.status) << ok.out << ok.err;
    EXPECT_TRUE(ok.has("OK: repository " + repo.path() + ", no status bits\n")) << ok.out;
    EXPECT_TRUE(ok.has("mount " + m0 +
                       ": mounted, used 50.0% [##########..........], limits switch 95 full 97 "
                       "clean 98 move 99, no status bits\n"))
        << ok.out;
    EXPECT_TRUE(ok.has("mount " + m1 +
                       ": mounted, used 50.0% [##########..........], limits "
                       "switch 60 full 97 clean 98 move 99, no status bits\n"))
        << ok.out;
    EXPECT_TRUE(ok.has("dirty resources: 0\nlegacy directory: " + repo.path() + "/legacy\n"));
    EXPECT_TRUE(ok.has("lock directory: " + lockDir() + ", 0 lock files of this repository\n"));
    EXPECT_TRUE(ok.err.empty());

    // A configured mount directory that is missing: the library refuses the repository.
    repo.configure("mountPoints = m0\\gone\\m1\n");
    ToolRun gone = repostat({repo.path()});
    EXPECT_EQ(2, gone.status) << gone.out;
    EXPECT_TRUE(gone.has("mount " + repo.path() + "/gone: missing, used ? [....................]"))
        << gone.out;
    repo.configure("mountPoints = m0\\m1\nlegacyDir = " + repo.path() + "/legacy\n");

    // A warn bit on one mount is a warning even while the repository as a whole has room; so are
    // a stale lock and a dirty count in the set file. Young locks and locks of another
    // repository whose path begins alike are listed or passed over without a warning.
    fill.setPercent(m0, 91);
    writeFile(repo / ".dirty", "a\nb\n");
    makeLock(repo.path() + "x", "r", 7200);
    std::string young = makeLock(repo.path(), "r", 10);
    ToolRun warn = repostat({repo.path()});
    EXPECT_EQ(1, warn.status) << warn.out;
    EXPECT_TRUE(warn.has("MOUNT_REMIND|MOUNT_WARN\n")) << warn.out;
    EXPECT_TRUE(warn.has("dirty resources: 2 (a, b)\n")) << warn.out;
    EXPECT_TRUE(warn.has(", 1 lock file of this repository\nlock " + young + ": 1"));
    EXPECT_FALSE(warn.has("stale")) << warn.out;
    fill.setPercent(m0, 50);
    EXPECT_EQ(0, repostat({repo.path()}).status) << "young locks and dirty flags are no warning";
    // The repository lock is stale after a quarter of an hour, a resource lock not yet.
    std::string checkLock = makeLock(repo.path(), "", 800);
    std::string resourceLock = makeLock(repo.path(), "held", 1000);
    EXPECT_EQ(0, repostat({repo.path()}).status) << repostat({repo.path()}).out;
    makeLock(repo.path(), "", 1000);
    ToolRun held = repostat({repo.path()});
    EXPECT_EQ(1, held.status) << held.out;
    EXPECT_TRUE(held.has("lock " + checkLock + ": 100") && // 1000 or 1001 seconds
                held.has(" seconds old, probably stale (the repository lock: every balancing "
                         "check gives up while it stays; once no mountbalance or application "
                         "process of the repository runs, remove the file)\n"))
        << held.out;
    unlink(checkLock.c_str());
    unlink(resourceLock.c_str());
    std::string stale = makeLock(repo.path() + "/.dirty", "", 3700);
    warn = repostat({repo.path()});
    EXPECT_EQ(1, warn.status);
    EXPECT_TRUE(warn.has("lock " + stale + ": 370")) << warn.out;
    EXPECT_TRUE(warn.has(" seconds old, probably stale\n")) << warn.out;
    unlink(stale.c_str());
    unlink(young.c_str());

    // One mount full is no crisis while the other has room; both full is.
    fill.setPercent(m0, 98);
    ToolRun one = repostat({repo.path()});
    EXPECT_EQ(1, one.status) << one.out;
    EXPECT_TRUE(one.has("[####################]")) << one.out;
    fill.setPercent(m1, 97.5);
    ToolRun full = repostat({repo.path()});
    EXPECT_EQ(2, full.status) << full.out;
    EXPECT_TRUE(full.has("CRITICAL: repository " + repo.path() +
                         ", REPO_REMIND|REPO_WARN|"
                         "REPO_WARN2|REPO_WARN3|REPO_"
                         "SWITCH|REPO_NO_ROOM|REPO_FULL\n"))
        << full.out;
    EXPECT_TRUE(full.has("MOUNT_FULL|MOUNT_CLEAN\n")) << "m0 reached its clean limit";

    // A mount switched off makes the repository incomplete and shows the limits it will have
    // when switched on again; a bare mount point (the file system not mounted) shows neither
    // limits nor the fill level of the file system below it. None mounted makes it missing.
    fill.setPercent(m0, 10);
    fill.setPercent(m1, 10);
    rename((m1 + "/repositorypart.cfg").c_str(), (m1 + "/repositorypart.no").c_str());
    ToolRun incomplete = repostat({repo.path()});
    EXPECT_EQ(1, incomplete.status);
    EXPECT_TRUE(incomplete.has("mount " + m1 +
                               ": switched off, used 10.0% [##..................], limits switch "
                               "60 full 97 clean 98 move 99, MOUNT_UNMOUNTED\n"))
        << incomplete.out;
    EXPECT_TRUE(incomplete.has("repository status: REPO_INCOMPLETE\n")) << incomplete.out;
    unlink((m1 + "/repositorypart.no").c_str());
    ToolRun bare = repostat({repo.path()});
    EXPECT_EQ(1, bare.status);
    EXPECT_TRUE(bare.has("mount " + m1 + ": not mounted, MOUNT_UNMOUNTED\n")) << bare.out;
    bare = repostat({"-j", repo.path()});
    EXPECT_TRUE(bare.has("\"state\": \"not mounted\"") &&
                bare.has("\"usedPercent\": null, \"switchLimit\": null, \"fullLimit\": null"))
        << bare.out;
    writeFile(m1 + "/repositorypart.no", "switchLimit = 60\n");
    fill.fail(m0, EIO);
    ToolRun missing = repostat({repo.path()});
    EXPECT_EQ(3, missing.status);
    EXPECT_TRUE(
        missing.has("mount " + m0 + ": fill level unreadable, used ? [....................]"))
        << missing.out;
    EXPECT_TRUE(missing.has("UNKNOWN: repository " + repo.path() + ", REPO_MISSING\n"));
    EXPECT_EQ(3, repostat({repo.path() + "/nowhere"}).status);

    // An error ends the tool with UNKNOWN and its text on standard error; so does a wrong call.
    unlink((repo / "repository.cfg").c_str());
    mkdir((repo / "repository.cfg").c_str(), 0755);
    ToolRun error = repostat({"-j", repo.path()});
    EXPECT_EQ(3, error.status);
    EXPECT_TRUE(error.out.empty());
    EXPECT_EQ("Error: \"" + repo.path() + "/repository.cfg\" cannot be read: Is a directory\n",
              error.err);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"-x", repo.path()}, {"--check", repo.path(), "r"}}) {
        ToolRun usage = repostat(args);
        EXPECT_EQ(3, usage.status);
        EXPECT_EQ(0u, usage.err.find("Usage: repostat [-j] <repository> [resource ...]\n"));
    }
}

TEST(Repostat, ShowsEveryCopyOfAResource) {
    TestRepository repo;
    FakeFillLevels fill;
    std::string m0 = repo.addMount("m0"), m1 = repo.addMount("m1");
    std::string legacy = repo / "legacy";
    mkdir(legacy.c_str(), 0755);
    repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy + "\n");
    fill.setPercent(m0, 20);
    fill.setPercent(m1, 30);
    makeCopy(copyOn(m0, "abc"), 1000, 1000000000);
    mkdirs((copyOn(m1, "abc") + "/sub").c_str(), 0755);
    writeFile(copyOn(m1, "abc") + "/sub/more", "12345");
    symlink("/etc/passwd", (copyOn(m1, "abc") + "/link").c_str()); // a link, not its target
    makeCopy(copyOn(m1, "abc"), 2500, 1100000000);
    makeCopy(legacy + "/abc", 7, 1200000000);
    writeFile(repo / ".dirty", "abc\n");
    std::string lock = makeLock(repo.path(), "abc", 5);
    makeCopy(copyOn(m0, "other"), 1, 1000000000);
    ScopedEnv tz("TZ", "UTC");
    tzset();

    // A name with no copy anywhere (or one the library refuses) is not found: a warning.
    ToolRun text = repostat({repo.path(), "/abc/", "other", "../x", "none"});
    EXPECT_EQ(1, text.status) << text.out;
    EXPECT_TRUE(text.has("WARNING: repository " + repo.path() + ", no status bits\n")) << text.out;
    EXPECT_TRUE(text.has("resource /abc/: dirty, 3 copies, lock file " + lock +
                         " exists\n"
                         "  copy " +
                         copyOn(m0, "abc") +
                         ": 1000 bytes, last used 2001-09-09 01:46:40\n"
                         "  copy " +
                         copyOn(m1, "abc") +
                         ": 2505 bytes, last used 2004-11-09 11:33:20\n"
                         "  copy " +
                         legacy + "/abc (legacy): 7 bytes, last used 2008-01-10 21:20:00\n"))
        << text.out;
    EXPECT_TRUE(text.has("resource other: clean, 1 copy, lock file ")) << text.out;
    EXPECT_TRUE(text.has("  copy " + copyOn(m0, "other") + ": 1 byte, last used 2001-09-09"))
        << text.out;
    EXPECT_TRUE(text.has("resource ../x: not a valid resource name\n")) << text.out;
    EXPECT_TRUE(text.has("resource none: not found, clean, lock file ")) << text.out;
    EXPECT_EQ(1, repostat({repo.path(), "../x"}).status) << "refused names exist nowhere";
    EXPECT_TRUE(repostat({"-j", repo.path(), "none"}).has("\"valid\": true, \"found\": false"));

    // JSON: one document, strings escaped (quotes, backslashes, control characters, bytes that
    // are no UTF-8), numbers and truth values bare.
    std::string odd = "q\"b\\s\tc\xff\xc3\xa9";
    makeCopy(copyOn(m0, odd.c_str()), 3, 1000000000);
    ToolRun json = repostat({"-j", repo.path(), "abc", odd});
    EXPECT_EQ(0, json.status);
    EXPECT_EQ('{', json.out.front());
    EXPECT_EQ("}\n", json.out.substr(json.out.size() - 2));
    EXPECT_TRUE(json.has("{\"name\": \"abc\", \"valid\": true, \"found\": true, \"dirty\": true, "
                         "\"lockFile\": \"" +
                         lock +
                         "\", \"lockFileExists\": true, \"copies\": [\n"
                         "    {\"path\": \"" +
                         copyOn(m0, "abc") +
                         "\", \"legacy\": false, \"size\": 1000, \"lastUse\": 1000000000, "
                         "\"lastUseText\": \"2001-09-09 01:46:40\"},"))
        << json.out;
    EXPECT_TRUE(json.has("\"name\": \"q\\\"b\\\\s\\u0009c\\ufffd\xc3\xa9\", \"valid\": true, "
                         "\"found\": true, \"dirty\": false"))
        << json.out;
    EXPECT_TRUE(json.has("\"usedPercent\": 20.000000, \"switchLimit\": 95, \"fullLimit\": 97, "
                         "\"cleanLimit\": 98, \"moveLimit\": 99, \"status\": []}"))
        << json.out;
    EXPECT_TRUE(json.has("\"legacyDir\": \"" + legacy + "\"")) << json.out;
}

TEST(Repostat, CheckNamesEveryMistake) {
    TestRepository repo;
    std::string m0 = repo.addMount("m0", "fullLimit = 9x\ncleanlimit = 3\n");
    std::string m1 = repo.addMount("m1", "", false);
    writeFile(repo / "m1/repositorypart.no", "");
    repo.configure("# comment\nmountPoints = m0\\m1,m2\\gone\nmountpoints = m0\n"
                   "warnLimit = ninety\nmoveLimit = 99\nisClearable = yes\nverifyOnDevice = on\n"
                   "legacyDir = /nonexistent/legacy\n");
    makeLock(repo.path() + "/.dirty", "", 4000);
    makeLock(repo.path(), "r", 4000);
    makeLock(repo.path(), "fresh", 60);

    ToolRun check = repostat({"--check", repo.path()});
    EXPECT_EQ(2, check.status) << check.out;
    std::string cfg = repo / "repository.cfg", part = m0 + "/repositorypart.cfg";
    std::string expected =
        "CRITICAL: configuration of " + repo.path() + ", 12 problems\n" + "WARNING: " + cfg +
        ": unknown key \"mountpoints\"\n" + "WARNING: " + cfg +
        ": the value \"ninety\" of warnLimit is not a number\n" + "WARNING: " + cfg +
        ": the value \"yes\" of isClearable is neither true nor false\n" + "WARNING: " + cfg +
        ": the value \"on\" of verifyOnDevice is neither true nor false\n" +
        "WARNING: mountPoints \"m0\\m1,m2\\gone\" holds ',': mount names are separated by '\\' "
        "only\n" +
        "WARNING: " + part + ": the value \"9x\" of fullLimit is not a number\n" +
        "WARNING: " + part + ": unknown key \"cleanlimit\"\n" + "CRITICAL: the mount directory " +
        repo.path() + "/m1,m2 does not exist\n" + "CRITICAL: the mount directory " + repo.path() +
        "/gone does not exist\n" +
        "WARNING: the legacy directory /nonexistent/legacy does not exist\n";
    EXPECT_EQ(0u, check.out.find(expected)) << check.out;
    EXPECT_TRUE(check.has("seconds old, probably stale (the dirty-flag lock: it stalls every "
                          "lookup)\n"))
        << check.out;
    EXPECT_TRUE(check.has(lockFileName(resourceLockName(repo.path(), "r")) + " is 400"));
    EXPECT_FALSE(check.has("fresh")) << check.out;

    // The mount list fixed: m1 is switched off, which is named but not critical. Clearable with
    // the default limits, it would never clear itself: new data stops below the move limit.
    // Limits that stop balancing are named once, where they are set (m0 inherits cleanLimit 0).
    repo.configure("mountPoints = m0\\m1\nisClearable = true\ncleanLimit = 0\n");
    writeFile(part, "fullLimit = 97\n");
    writeFile(repo / "m1/repositorypart.no", "cleanLimit = 99\nmoveLimit = 98\n");
    std::string checkLock = makeLock(repo.path(), "", 1000);
    ToolRun fixed = repostat({"--check", "-j", repo.path()});
    EXPECT_EQ(1, fixed.status) << fixed.out;
    EXPECT_TRUE(fixed.has("\"problems\": [\n  {\"level\": \"WARNING\", \"text\": \"the mount "
                          "directory " +
                          repo.path() +
                          "/m1 lacks repositorypart.cfg (switched "
                          "off: repositorypart.no is there)\"},"))
        << fixed.out;
    EXPECT_TRUE(fixed.has("the repository is clearable, but the moveLimit 99 of " + m0 +
                          " is not below its fullLimit 97"))
        << fixed.out;
    EXPECT_TRUE(fixed.has("the cleanLimit 0 of the repository is never reached: a mount at the "
                          "moveLimit 99 counts as overloaded, but balancing moves nothing off it; "
                          "in " +
                          cfg + " set cleanLimit above 0 and not above moveLimit"));
    EXPECT_TRUE(
        fixed.has("the cleanLimit 99 of the mount " + m1 + " is above its moveLimit 98: ") &&
        fixed.has("; in " + m1 + "/repositorypart.no set cleanLimit"))
        << fixed.out;
    EXPECT_FALSE(fixed.has("cleanLimit 0 of the mount")) << "m0 only inherits it";
    EXPECT_TRUE(fixed.has("the repository lock file " + checkLock + " is 100") &&
                fixed.has(" old, longer than a balancing check takes (15 minutes): probably left "
                          "by a killed mountbalance"));
    writeFile(repo / "m1/repositorypart.no", "");
    repo.configure("mountPoints = m0\\m1\nisClearable = true\nmoveLimit = 95\ncleanLimit = 90\n");

    // Without a lock directory nothing is excluded; that is critical.
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv unset("LOCK_VAR", value);
        ToolRun noLocks = repostat({"--check", repo.path()});
        EXPECT_EQ(2, noLocks.status);
        EXPECT_TRUE(noLocks.has(std::string("CRITICAL: LOCK_VAR is ") +
                                (value ? "empty" : "not set") +
                                ": lock files go to each process's working directory and exclude "
                                "nothing\n"))
            << noLocks.out;
    }
    {
        ScopedEnv gone("LOCK_VAR", (repo / "nolocks").c_str());
        ToolRun noDir = repostat({"--check", repo.path()});
        EXPECT_TRUE(noDir.has("CRITICAL: the lock directory " + repo.path() +
                              "/nolocks (LOCK_VAR) is missing or not writable\n"))
            << noDir.out;
    }

    // Everything in order; a moveLimit of 0 switches balancing off, and a cleanLimit equal to the
    // moveLimit still ends it.
    rename((repo / "m1/repositorypart.no").c_str(), (repo / "m1/repositorypart.cfg").c_str());
    writeFile(part, "moveLimit = 0\ncleanLimit = 0\n");
    writeFile(repo / "m1/repositorypart.cfg", "cleanLimit = 95\n");
    std::vector<std::string> locks;
    listQuietly(lockDir(), locks);
    for (const std::string& name : locks)
        unlink((lockDir() + "/" + name).c_str());
    ToolRun clean = repostat({"--check", repo.path()});
    EXPECT_EQ(0, clean.status) << clean.out;
    EXPECT_EQ("OK: configuration of " + repo.path() + ", 0 problems\n", clean.out);
    ToolRun nowhere = repostat({"--check", repo.path() + "/nowhere"});
    EXPECT_EQ(3, nowhere.status);
    EXPECT_TRUE(nowhere.has("/nowhere, 1 problem\n")) << nowhere.out;
}

// A repository that names its lock directory is used from several hosts: the check names a
// directory that is missing or local, hosts that lock elsewhere, and which of LOCK_VAR and
// lockDirectory holds; the lock files it looks at are those in the named directory.
TEST(Repostat, CheckOfASharedLockDirectory) {
    TestRepository repo;
    repo.addMount("m0");
    std::string locks = repo / "locks";
    ASSERT_EQ(mkdir(locks.c_str(), 0777), 0);
    std::string hostRecord = repo / (kHostRecordPrefix + hostName());
    EXPECT_SCENARIO(runInChild([&] {
        if (!enterPrivateMountNamespace() || !mountTmpfs(locks, "1m"))
            return kNoNamespace;
        ScopedEnv unset("LOCK_VAR", nullptr);
        repo.configure("mountPoints = m0\nlockDirectory = locks\n");
        ToolRun missing = repostat({"--check", repo.path()});
        check(missing.has("CRITICAL: configuration of " + repo.path() + ", 1 problem\n"),
              missing.out);
        check(missing.has("CRITICAL: the lock directory " + locks +
                          " is on a local file system (type 0x1021994), but lockDirectory marks "
                          "the repository as used from several hosts"),
              missing.out);

        // The library records this host's view; a host with another token or another path to
        // the repository locks elsewhere.
        repositoryMap.clear();
        check(getRepository(repo.id())->getLockDirectory() == locks, "the lock directory");
        std::string token = parseHostRecord("", readFile(hostRecord)).token;
        check(token.size() == 32 &&
                  readFile(locks + "/" + kLockDirectoryIdName) == "token=" + token + "\n",
              "the host record holds the token of the lock directory");
        writeFile(repo / ".host.b", "repositoryPath=" + repo.path() + "\nlockDirectory=" + locks +
                                        "\ntoken=" + token + "\n");
        writeFile(repo / ".host.c",
                  "repositoryPath=/elsewhere\nlockDirectory=" + locks + "\ntoken=0123\n");
        writeFile(repo / ".host.d~77", "being written\n");
        std::string lock = locks + "/" + lockFileName(resourceLockName(repo.path(), "r"));
        writeFile(lock, "");
        setModified(lock, -4000);
        ScopedEnv set("LOCK_VAR", "/var/lock/archive");
        ToolRun hosts = repostat({"--check", repo.path()});
        check(hosts.status == 2, hosts.out);
        check(hosts.has("OK: LOCK_VAR (/var/lock/archive) is set, but lockDirectory of "
                        "repository.cfg wins for this repository: its lock files go to " +
                        locks + "\n"),
              hosts.out);
        check(hosts.has("CRITICAL: the host c reaches the repository as /elsewhere, this host as " +
                        repo.path()),
              hosts.out);
        check(hosts.has("CRITICAL: the host c uses the lock directory " + locks +
                        " with the token \"0123\", but the lock directory " + locks +
                        " here holds the token \"" + token + "\""),
              hosts.out);
        check(!hosts.has("host b") && !hosts.has("host d") && !hosts.has("host " + hostName()),
              hosts.out);
        check(hosts.has("WARNING: the lock file " + lock + " is 400"), hosts.out);
        check(hosts.has(", 4 problems, 1 note\n"), hosts.out);
        umount2(locks.c_str(), MNT_DETACH);
        return childFailures();
    }));

    repo.configure("mountPoints = m0\nlockDirectory = /nonexistent/locks\n");
    ToolRun gone = repostat({"--check", repo.path()});
    EXPECT_EQ(2, gone.status);
    EXPECT_TRUE(gone.has("CRITICAL: the lock directory /nonexistent/locks (lockDirectory) is "
                         "missing or not writable: is its file system mounted?\n"))
        << gone.out;
    EXPECT_FALSE(gone.has("unknown key")) << gone.out;
}

TEST(Repostat, ChangesNothingWhileItLooks) {
    TestRepository repo;
    std::string m0 = repo.addMount("m0"), m1 = repo.addMount("m1"), legacy = repo / "legacy";
    mkdir(legacy.c_str(), 0755);
    repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy + "\n");
    makeCopy(copyOn(m0, "abc"), 10, 1000000000);
    makeCopy(copyOn(m1, "abc"), 10, 1000000000);
    makeCopy(legacy + "/abc", 10, 1000000000);
    writeFile(repo / ".dirty", "abc\n");
    makeLock(repo.path(), "abc", 7200);
    // Access times before modification times: a read of any file or directory would move them.
    Snapshot before;
    takeSnapshot(repo.path(), before);
    takeSnapshot(lockDir(), before);
    for (const auto& entry : before) {
        struct timespec times[2] = {{1000, 0}, {UTIME_OMIT, UTIME_OMIT}};
        utimensat(AT_FDCWD, entry.first.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    before.clear();
    takeSnapshot(repo.path(), before);
    takeSnapshot(lockDir(), before);

    for (const auto& args :
         std::vector<std::vector<std::string>>{{repo.path()},
                                               {"-j", repo.path(), "abc", "none"},
                                               {repo.path(), "abc"},
                                               {"--check", repo.path()}}) {
        ToolRun run = repostat(args);
        EXPECT_NE(3, run.status) << run.err;
        Snapshot after;
        takeSnapshot(repo.path(), after);
        takeSnapshot(lockDir(), after);
        EXPECT_EQ(before, after) << "after repostat " << args.back();
    }
}
