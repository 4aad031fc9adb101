#include "OVException.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "ResourceSizes.h"
#include "RunCommand.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utime.h>

namespace fs = std::filesystem;

namespace {

void makeDirs(const std::string& path) {
    fs::create_directories(path);
}

// 20000 bytes that no file system can store in less than 19 KiB.
void writeIncompressible(const std::string& path) {
    std::mt19937 random(7);
    std::string content(20000, '\0');
    for (char& c : content)
        c = static_cast<char>(random());
    writeFile(path, content);
}

std::vector<std::string> listing(const std::string& dir, int kind, bool hashed) {
    std::vector<std::string> out;
    listResourcesRecursively(dir.c_str(), &out, kind, hashed, 0);
    return out;
}

// A "du" first on PATH that records that it ran: sizes are measured without any program.
class DuTrap {
public:
    DuTrap() : path(bin.path() + ":" + searchPath()), pathVar("PATH", path.c_str()) {
        writeFile(bin / "du", "#!/bin/sh\necho ran >> '" + bin / "ran" + "'\nexit 1\n");
        chmod((bin / "du").c_str(), 0755);
    }
    ~DuTrap() { EXPECT_FALSE(fs::exists(bin / "ran")) << "du was run"; }

private:
    static std::string searchPath() {
        const char* value = std::getenv("PATH");
        return value != nullptr ? value : "/usr/bin:/bin";
    }

    TempDir bin;
    std::string path;
    ScopedEnv pathVar;
};

// The resources that a count measured, from its debug messages, in order.
std::vector<std::string> measured(const SyslogCapture& capture) {
    std::vector<std::string> ids;
    const std::string prefix = "resource: ", suffix = " new size:";
    for (const std::string& text : capture.messages())
        if (text.compare(0, prefix.size(), prefix) == 0 && text.rfind(suffix) != std::string::npos)
            ids.push_back(text.substr(prefix.size(), text.rfind(suffix) - prefix.size()));
    return ids;
}

struct CountRecord {
    std::string id;
    long time;
    long size;
};

// The records of a ".count" file.
std::vector<CountRecord> records(const std::string& dir) {
    std::vector<CountRecord> out;
    std::istringstream in(readFile(dir + "/.count"));
    std::string id, time, size;
    while (std::getline(in, id) && std::getline(in, time) && std::getline(in, size))
        out.push_back({id, std::atol(time.c_str()), std::atol(size.c_str())});
    return out;
}

std::vector<std::string> ids(const std::vector<CountRecord>& recs) {
    std::vector<std::string> out;
    for (const CountRecord& r : recs)
        out.push_back(r.id);
    return out;
}

long sum(const std::vector<CountRecord>& recs) {
    long total = 0;
    for (const CountRecord& r : recs)
        total += r.size;
    return total;
}

// Builds mount/h1/h2/h3/<resource> for each "h1/h2/h3/resource" given: names ending in "/" are
// directories, others incompressible files.
void hashedTree(const std::string& mount, const std::vector<std::string>& resources) {
    for (const std::string& r : resources) {
        makeDirs(fs::path(mount + "/" + r).parent_path());
        if (r.back() == '/')
            makeDirs(mount + "/" + r);
        else
            writeIncompressible(mount + "/" + r);
    }
}

// The kibibytes that "du -sk" reports for path; -1 when it fails.
long duSize(const std::string& path) {
    TempDir out;
    if (runCommand({"du", "-sk", "--", path}, (out / "size").c_str()) != 0)
        return -1;
    std::string text = readFile(out / "size");
    return text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))
               ? -1
               : std::atol(text.c_str());
}

// Builds the resource r from entries, each a path below it (the resource itself when empty;
// outside when it starts with "OUT/") ending in a mark: "/" a directory, "=" an empty file, "~" a
// sparse file (4 KiB written in the middle of 1 GiB), none 20000 incompressible bytes; or
// "path -> target" a symbolic link ("OUT" in the target stands for outside), "path == other" a
// second name of the file other. False when anything could not be made.
bool buildTree(const std::string& r, const std::string& outside,
               const std::vector<std::string>& entries) {
    auto at = [&](const std::string& name) {
        return name.compare(0, 4, "OUT/") == 0 ? outside + name.substr(3)
               : name.empty()                  ? r
                                               : r + "/" + name;
    };
    bool built = true;
    for (const std::string& entry : entries) {
        size_t arrow = entry.find(" -> "), equal = entry.find(" == ");
        char mark = entry.empty() ? '\0' : entry.back();
        bool marked = mark == '/' || mark == '=' || mark == '~';
        std::string path = at(entry.substr(0, std::min({arrow, equal, entry.size() - marked})));
        makeDirs(fs::path(path).parent_path());
        if (arrow != std::string::npos) {
            std::string target = entry.substr(arrow + 4);
            if (target.compare(0, 3, "OUT") == 0)
                target = outside + target.substr(3);
            built &= symlink(target.c_str(), path.c_str()) == 0;
        } else if (equal != std::string::npos) {
            built &= link(at(entry.substr(equal + 4)).c_str(), path.c_str()) == 0;
        } else if (mark == '/') {
            makeDirs(path);
        } else if (mark == '=' || mark == '~') {
            writeFile(path, "");
            int fd = open(path.c_str(), O_WRONLY);
            built &=
                mark == '=' || (fd >= 0 && ftruncate(fd, 1L << 30) == 0 &&
                                pwrite(fd, std::string(4096, 'x').data(), 4096, 1L << 29) == 4096);
            close(fd);
        } else {
            writeIncompressible(path);
        }
    }
    return built;
}

// 25 levels of 200-byte names, a file at the bottom: a path of more than 5000 bytes.
long beyondPathMax(const std::string& r) {
    makeDirs(r);
    int fd = open(r.c_str(), O_RDONLY | O_DIRECTORY);
    blkcnt_t blocks = 0;
    struct stat st = {};
    std::string name(200, 'd');
    for (int level = 0; fd >= 0 && level < 25; ++level) {
        int next = mkdirat(fd, name.c_str(), 0755) == 0 && fstat(fd, &st) == 0
                       ? openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY)
                       : -1;
        blocks += st.st_blocks;
        close(fd);
        fd = next;
    }
    int file = fd >= 0 ? openat(fd, "data", O_WRONLY | O_CREAT, 0644) : -1;
    std::string data(20000, 'x');
    bool built = file >= 0 && write(file, data.data(), data.size()) == 20000 && fsync(file) == 0 &&
                 fstat(file, &st) == 0;
    blocks += st.st_blocks;
    built = built && fstat(fd, &st) == 0;
    blocks += st.st_blocks;
    close(file);
    close(fd);
    return built ? (blocks * 512 + 1023) / 1024 : -1;
}

// The size table: each row's resource is built from its entries, then its expected size is what
// "du -sk" reports for it, or, where du is no reference (paths beyond PATH_MAX), what its own
// builder computed from the blocks it saw.
struct SizeRow {
    const char* name;
    std::vector<std::string> entries;
    long (*build)(const std::string& r);
};

const std::string kLongTarget = "OUT" + std::string(80, '/') + "big"; // needs a block on ext4
// Nested directories, one of them empty, one of more than one block.
std::vector<std::string> nestedDirectories() {
    std::vector<std::string> entries = {"a/b/c/d/e/g", "a/empty/", "a/b/f"};
    for (int i = 0; i < 300; ++i)
        entries.push_back("a/" + std::string(40, 'n') + std::to_string(i) + "=");
    return entries;
}

const std::vector<SizeRow> kSizeRows = {
    {"sparse file", {"sparse~"}, nullptr},
    {"hard links", {"a", "sub/b == a", "sub/deeper/c == a", "OUT/d == a"}, nullptr},
    {"links to a large file",
     {"OUT/big", "link -> OUT/big", "sub/long -> " + kLongTarget, "dirlink -> OUT"},
     nullptr},
    {"nested directories", nestedDirectories(), nullptr},
    {"empty directory", {"/"}, nullptr},
    {"empty file", {"="}, nullptr},
    {"a file", {""}, nullptr},
    {"odd names",
     {"line\nbreak/inner/$(ls)", "q\"uote", "$(touch x)", "\x01\xff\x7f", "-rf"},
     nullptr},
    {"beyond PATH_MAX", {}, beyondPathMax},
};

// Builds and counts every row below base, each resource alone in a flat directory; "" when every
// count and cached size is the expected one, else a line per difference.
std::string sizeDifferences(const std::string& base) {
    std::string differences;
    for (size_t i = 0; i < kSizeRows.size(); ++i) {
        const SizeRow& row = kSizeRows[i];
        std::string dir = base + "/" + std::to_string(i), outside = dir + "-outside";
        makeDirs(dir);
        makeDirs(outside);
        std::string r = dir + "/odd \"$(touch y)\" `z`";
        long expected = row.build != nullptr                 ? row.build(r)
                        : buildTree(r, outside, row.entries) ? duSize(r)
                                                             : -1;
        SyslogCapture quiet;
        long total = countSize(dir.c_str(), true);
        std::vector<CountRecord> recs = records(dir);
        if (expected < 0 || total != expected || recs.size() != 1 || recs[0].size != expected)
            differences += std::string(row.name) + ": counted " + std::to_string(total) +
                           ", expected " + std::to_string(expected) + "\n";
    }
    return differences;
}

int sizeTableOn(FileSystemKind kind) {
    if (!enterPrivateMountNamespace())
        return kNoNamespace;
    TempDir d;
    std::string base = d / "fs", scratch = d / "scratch";
    makeDirs(base);
    makeDirs(scratch);
    if (!mountFileSystem(kind, base, scratch))
        return kNoNamespace;
    std::string differences = sizeDifferences(base);
    check(differences.empty(), std::string(nameOf(kind)) + ":\n" + differences);
    return childFailures();
}

} // namespace

TEST(Listing, DirectoryNamesInByteOrder) {
    TempDir d;
    for (const char* name : {"b", "a", ".hidden", "A"})
        writeFile(d / name, "");
    std::vector<std::string> names{"kept"};
    EXPECT_EQ(listDir(d.path().c_str(), &names), 5);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", ".hidden", "A", "a", "b"}));
    EXPECT_EQ(listDir((d / "missing").c_str(), &names), 5);
}

TEST(Listing, ResourcesOfHashedAndFlatDirectoriesByKind) {
    TempDir d;
    std::string m = d / "m";
    hashedTree(m, {"AA/BB/CC/dir/", "AA/BB/CC/file", "AA/BB/DD/other/", "lost+found/AA/BB/CC/lf/",
                   "AA/stray", "top", "AA/BB/CC/dir/inner/AA/BB/CC/deep/"});
    SyslogCapture quiet; // the dangling link's stat failure is logged
    symlink("/nonexistent", (m + "/AA/BB/CC/dangling").c_str());
    EXPECT_EQ(listing(m, ALL_RESOURCES, true), (std::vector<std::string>{"dir", "file", "other"}));
    EXPECT_EQ(listing(m, DIRECTORY_RESOURCES, true), (std::vector<std::string>{"dir", "other"}));
    EXPECT_EQ(listing(m, FILE_RESOURCES, true), std::vector<std::string>{"file"});
    EXPECT_EQ(listing(m, 7, true), std::vector<std::string>{"file"});

    // Flat: the direct entries are the resources, "lost+found" among them.
    EXPECT_EQ(listing(m, ALL_RESOURCES, false),
              (std::vector<std::string>{"AA", "lost+found", "top"}));
    EXPECT_EQ(listing(m, FILE_RESOURCES, false), std::vector<std::string>{"top"});
}

TEST(Listing, MountListsItsResourcesOnlyWhileMounted) {
    TestRepository repo;
    std::string m = repo.addMount("m");
    repo.configure("mountPoints = m\n");
    hashedTree(m, {"AA/BB/CC/r1/", "DD/EE/FF/r2"});
    std::vector<std::string> out{"kept"};
    getRepository(repo.id())->getMounts()[0]->listResources(&out, ALL_RESOURCES);
    EXPECT_EQ(out, (std::vector<std::string>{"kept", "r1", "r2"}));

    // A hash directory that cannot be listed makes no shorter list, but none.
    long count = -1;
    {
        SeamFaults unlistable({{"opendir", "/DD", EIO}});
        SyslogCapture log;
        EXPECT_EQ(listDirs_(repo.id(), &count, true), nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_TRUE(unlistable.met());
    }

    ASSERT_EQ(unlink((m + "/repositorypart.cfg").c_str()), 0);
    out = {"kept"};
    getRepository(repo.id())->getMounts()[0]->listResources(&out, ALL_RESOURCES);
    EXPECT_EQ(out, std::vector<std::string>{"kept"});
}

TEST(SizesCache, UnusedResourcesKeepTheirCachedSizes) {
    TempDir d;
    makeDirs(d / "r1");
    writeIncompressible(d / "r1/data");
    writeFile(d / "r2", "");
    ASSERT_TRUE(setTimes(d / "r1", 2000)); // not later than its cached time
    ASSERT_TRUE(setTimes(d / "r2", 999));
    writeFile(d / ".count", "r2\n1000\n5\nr1\n2000\n7\ngone\n1\n100\n");
    {
        SyslogCapture capture;
        EXPECT_EQ(countSize(d.path().c_str(), true), 12);
        EXPECT_EQ(
            capture.messages(),
            (std::vector<std::string>{"Filename: " + d.path() + "/.count\n", "Exists\n",
                                      "resource not changed:r1\n", "resource not changed:r2\n"}));
    }
    EXPECT_FALSE(fs::exists(d / ".countres"));
    EXPECT_EQ(readFile(d / ".count"), "r2\n1000\n5\nr1\n2000\n7\n");

    // Used since: measured again, and its old times put back afterwards.
    ASSERT_TRUE(setTimes(d / "r1", 3000));
    SyslogCapture capture;
    long total = countSize(d.path().c_str(), true);
    EXPECT_EQ(measured(capture), std::vector<std::string>{"r1"});
    std::vector<CountRecord> recs = records(d.path());
    ASSERT_EQ(ids(recs), (std::vector<std::string>{"r2", "r1"}));
    EXPECT_EQ(recs[1].time, 3000);
    EXPECT_GE(recs[1].size, 19);
    EXPECT_EQ(total, 5 + recs[1].size);
    EXPECT_FALSE(fs::exists(d / ".countres")); // no scratch file
    struct stat st;
    ASSERT_EQ(stat((d / "r1").c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 3000);
    EXPECT_EQ(st.st_mtime, 3000);
}

TEST(SizesCache, DamagedAndRepeatedRecords) {
    TempDir d;
    for (const char* r : {"r1", "r2", "r3"}) {
        writeIncompressible(d / r);
        ASSERT_TRUE(setTimes(d / r, 1000));
    }
    // A long identifier stays one line; r3's later record replaces the earlier one; r1's record
    // lacks its size line, so r1 is measured.
    writeFile(d / ".count", std::string(3000, 'x') + "\n1\n2\nr3\n1000\n1\nr2\n1000\n5\nr3\n1000\n"
                                                     "6\nr1\n1000\n");
    SyslogCapture capture;
    long total = countSize(d.path().c_str(), true);
    EXPECT_EQ(measured(capture), std::vector<std::string>{"r1"});
    std::vector<CountRecord> recs = records(d.path());
    ASSERT_EQ(ids(recs), (std::vector<std::string>{"r3", "r2", "r1"}));
    EXPECT_EQ(recs[0].size, 6);
    EXPECT_EQ(total, 11 + recs[2].size);
}

TEST(SizesCache, FailedWriteKeepsThePreviousCache) {
    TempDir d;
    writeFile(d / ".count", "old\n1\n2\n");
    ScopedSyscalls calls;
    calls.table().rename = failing<EIO>(calls.table().rename);
    SyslogCapture capture;
    EXPECT_EQ(countSize(d.path().c_str(), true), 0);
    EXPECT_EQ(capture.messages().back(),
              "The count file \"" + d.path() + "/.count\" could not be written. Error code is 5");
    calls.table().open = failing<EACCES>(calls.table().open);
    EXPECT_NO_THROW(countSize(d.path().c_str(), true)); // no temporary can be made
    EXPECT_EQ(capture.messages().back(),
              "The count file \"" + d.path() + "/.count\" could not be written. Error code is 13");
    std::vector<std::string> names;
    listDir(d.path().c_str(), &names);
    EXPECT_EQ(names, std::vector<std::string>{".count"});
    EXPECT_EQ(readFile(d / ".count"), "old\n1\n2\n");
}

TEST(Sizes, HashedMountInDescendingOrder) {
    TempDir d;
    std::string m = d / "m";
    hashedTree(m, {"AA/BB/CC/a", "AA/BB/CC/c", "DD/EE/FF/b", "lost+found/AA/BB/CC/lf", "top"});
    SyslogCapture capture;
    long total = countSize(m.c_str(), false);
    EXPECT_EQ(measured(capture), (std::vector<std::string>{"a", "c", "b"}));
    std::vector<CountRecord> recs = records(m);
    EXPECT_EQ(ids(recs), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(total, sum(recs));
    EXPECT_GE(total, 3 * 19);
    EXPECT_FALSE(fs::exists(m + "/.countres"));

    capture.clear();
    EXPECT_EQ(countSize(m.c_str(), false), total); // nothing used since
    EXPECT_TRUE(measured(capture).empty());
}

TEST(Sizes, LinksAreSkippedOnlyInFlatDirectories) {
    TempDir d;
    makeDirs(d / "AA/BB/CC");
    writeIncompressible(d / "AA/BB/CC/real");
    symlink("real", (d / "AA/BB/CC/link").c_str());
    SyslogCapture quiet;
    countSize((d / "AA/BB/CC").c_str(), true);
    EXPECT_EQ(ids(records(d / "AA/BB/CC")), std::vector<std::string>{"real"});
    unlink((d / "AA/BB/CC/.count").c_str());
    countSize(d.path().c_str(), false);
    EXPECT_EQ(ids(records(d.path())), (std::vector<std::string>{"real", "link"}));
}

TEST(Sizes, HostileNamesAreMeasuredAndNothingElseRuns) {
    TempDir d;
    DuTrap du;
    std::vector<std::string> names = {"$(touch x)",  "-rf",     "`touch y`",  "a b",
                                      "line\nbreak", "q\"uote", "s'q;touch z"};
    for (const std::string& name : names)
        writeIncompressible(d / name);
    writeFile(d / ".countres", "9\tstale\n"); // left by an older version: no resource
    std::string before = fs::current_path();
    fs::current_path(d.path()); // where a shell would have made its files
    SyslogCapture capture;
    long total = countSize(d.path().c_str(), true);
    fs::current_path(before);

    EXPECT_EQ(measured(capture), names);
    EXPECT_GE(total, 19 * static_cast<long>(names.size())); // every one of them was found
    std::vector<std::string> present;
    listDir(d.path().c_str(), &present);
    names.insert(names.end(), {".count", ".countres"});
    std::sort(names.begin(), names.end());
    EXPECT_EQ(present, names);
}

TEST(SizesTable, SameAsDuOnEveryFileSystem) {
    TempDir d;
    EXPECT_EQ(sizeDifferences(d.path()), "");
    for (FileSystemKind kind :
         {FileSystemKind::Tmpfs, FileSystemKind::Ext4SmallInodes, FileSystemKind::Xfs})
        EXPECT_SCENARIO(runInChild([kind] { return sizeTableOn(kind); }));
}

// Block counts as a file system of 512-byte blocks reports them (here: the number a file's name
// starts with): the byte total is rounded up to whole kibibytes once, not each file's.
TEST(SizesTable, OddBlockCountsRoundUpOnce) {
    ScopedSyscalls calls;
    calls.table().fstatat = [](int dir, const char* name, struct stat* st, int flags) {
        int result = ovsys::real().fstatat(dir, name, st, flags);
        if (result == 0)
            st->st_blocks = S_ISDIR(st->st_mode) ? 0 : std::atoi(name);
        return result;
    };
    using Files = std::vector<std::string>;
    for (auto [files, kib] : {std::pair{Files{"1"}, 1L},
                              {Files{"1a", "1b"}, 1L},
                              {Files{"3"}, 2L},
                              {Files{"1a", "1b", "1c"}, 2L},
                              {Files{}, 0L}}) {
        TempDir d;
        makeDirs(d / "res");
        for (const std::string& file : files)
            writeFile(d / ("res/" + file), "");
        SyslogCapture quiet;
        EXPECT_EQ(countSize(d.path().c_str(), true), kib) << files.size() << " files";
    }
}

// Each kind of call of a count failing once: the count answers -1, never a smaller total; the
// cause is logged with its path and error code; the sizes it did get are cached, the one it could
// not get is not and is measured by the next count.
TEST(SizesTable, AFailedMeasurementIsNeverASmallSize) {
    struct Row {
        const char* name;
        bool flat;
        SeamFault fault;
        const char* logged; // the end of the expected log line
    };
    const std::vector<Row> rows = {
        {"resource cannot be queried",
         true,
         {"fstatat", "/res", EIO},
         "/res\" could not be stat-ed"},
        {"entry cannot be queried",
         false,
         {"fstatat", "/res/sub/f", EIO},
         "/res/sub/f\" could not be stat-ed"},
        {"directory cannot be opened",
         true,
         {"openat", "/res/sub", EACCES},
         "/res/sub\" could not be opened"},
        {"listing breaks", false, {"readdir", "/res/sub", EIO}, "/res/sub\" could not be listed"},
        {"hash level cannot be listed",
         false,
         {"opendir", "/CC", EIO},
         "/CC\" could not be listed"},
        {"flat entry cannot be queried", true, {"lstat", "/res", EIO}, "/res\" can not be stat-ed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir d;
        std::string res = row.flat ? d / "res" : d / "AA/BB/CC/res";
        std::string ok = row.flat ? d / "ok" : d / "DD/EE/FF/ok";
        makeDirs(res + "/sub");
        makeDirs(fs::path(ok).parent_path());
        writeIncompressible(res + "/sub/f");
        writeIncompressible(ok);
        long size;
        {
            SeamFaults fault({row.fault});
            SyslogCapture capture;
            EXPECT_EQ(countSize(d.path().c_str(), row.flat), -1);
            std::string expected =
                std::string(row.logged) + ". Error code is " + std::to_string(row.fault.error);
            std::vector<std::string> messages = capture.messages();
            EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
                return m.size() >= expected.size() &&
                       m.compare(m.size() - expected.size(), expected.size(), expected) == 0;
            })) << expected;
            EXPECT_EQ(measured(capture), std::vector<std::string>{"ok"});
            std::vector<CountRecord> recs = records(d.path());
            ASSERT_EQ(ids(recs), std::vector<std::string>{"ok"});
            size = recs[0].size;
        }
        SyslogCapture capture;
        EXPECT_EQ(countSize(d.path().c_str(), row.flat), size + duSize(res));
        EXPECT_EQ(measured(capture), std::vector<std::string>{"res"});
    }
}

// Measuring reads every directory of a resource but leaves their access times, also where the
// file system would update them on every read (an access time not later than the modification
// time); a process that may not keep them measures all the same.
TEST(Sizes, MeasuringKeepsAccessTimes) {
    TempDir d;
    makeDirs(d / "res/sub/deeper");
    writeIncompressible(d / "res/sub/deeper/f");
    time_t recent = time(nullptr) - 60; // used lately: its times are not set back
    ASSERT_TRUE(setTimes(d / "res/sub", 1000) && setTimes(d / "res/sub/deeper", 1000) &&
                setTimes(d / "res", recent));
    SyslogCapture quiet;
    long size = countSize(d.path().c_str(), true);
    for (auto [dir, atime] :
         {std::pair{"res", recent}, {"res/sub", 1000L}, {"res/sub/deeper", 1000L}}) {
        struct stat st;
        ASSERT_EQ(stat((d / dir).c_str(), &st), 0);
        EXPECT_EQ(st.st_atime, atime) << dir;
    }

    EXPECT_EQ(size, duSize(d / "res")); // du itself sets them

    constexpr uid_t kOther = 4321;
    ASSERT_EQ(chmod(d.path().c_str(), 0755), 0);
    ASSERT_EQ(chown(d.path().c_str(), kOther, kOther), 0);
    ASSERT_EQ(unlink((d / ".count").c_str()), 0);
    // Not the owner: the directories are read without O_NOATIME.
    EXPECT_EQ(runInChild([&] {
                  if (setgid(kOther) != 0 || setuid(kOther) != 0)
                      return 90;
                  return countSize(d.path().c_str(), true) == size ? 0 : 1;
              }),
              0);
    EXPECT_EQ(records(d.path()).at(0).size, size);
}

TEST(SizesBlocksToFree, ArithmeticAndFailures) {
    struct statvfs info = {};
    info.f_blocks = 1000;
    info.f_bavail = 100;
    long count = 0;
    for (auto [percent, blocks] : {std::pair{80, 100L}, {95, -49L}, {90, 1L}}) {
        EXPECT_EQ(blocksToFree("/m", percent, &count, &info), 0);
        EXPECT_EQ(count, blocks) << percent;
    }
    FakeFillLevels fill;
    fill.setBlocks("/m", 1000, 100);
    EXPECT_EQ(blocksToFree("/m", 95, &count, nullptr), 0);
    EXPECT_EQ(count, -49);
    fill.fail("/m", EIO);
    count = 12345;
    SyslogCapture quiet;
    EXPECT_EQ(blocksToFree("/m", 95, &count, nullptr), 1);
    EXPECT_EQ(count, 12345);

    for (auto [path, out, expression, line] :
         {std::tuple{static_cast<const char*>(nullptr), &count, "mountPath", 273},
          {"/m", static_cast<long*>(nullptr), "blockCount", 274}}) {
        try {
            blocksToFree(path, 95, out, &info);
            ADD_FAILURE() << expression;
        } catch (const OVAssertionException& e) {
            EXPECT_EQ(e.getExpression(), expression);
            EXPECT_EQ(e.getLine(), line);
            EXPECT_EQ(e.getFile(), kRepositorySource);
        }
    }
}
