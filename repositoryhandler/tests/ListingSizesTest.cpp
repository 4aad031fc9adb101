#include "OVException.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "ResourceSizes.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

// A "du" first on PATH that records the arguments of every call and then runs the real one;
// a path containing "du-fails" makes it fail, "du-silent" print nothing, "du-garbled" no number.
class FakeDu {
public:
    FakeDu() : path(bin.path() + ":" + searchPath()), pathVar("PATH", path.c_str()) {
        writeFile(bin / "du",
                  "#!/bin/sh\nprintf '%s\\0' \"$@\" >> '" + log() +
                      "'\ncase \"$3\" in\n*du-fails*) exit 3 ;;\n"
                      "*du-silent*) exit 0 ;;\n*du-garbled*) echo n/a; exit 0 ;;\nesac\nexec " +
                      realDu() + " \"$@\"\n");
        chmod((bin / "du").c_str(), 0755);
    }
    // The paths measured since the last call, in order; every call must have been "-sk -- path".
    std::vector<std::string> takeMeasured() {
        std::vector<std::string> args, paths;
        std::string text = readFile(log());
        for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos;
             start = end + 1)
            args.push_back(text.substr(start, end - start));
        EXPECT_EQ(args.size() % 3, 0u) << "du called with other arguments";
        for (size_t i = 0; i + 2 < args.size(); i += 3) {
            EXPECT_EQ(args[i], "-sk");
            EXPECT_EQ(args[i + 1], "--");
            paths.push_back(args[i + 2]);
        }
        unlink(log().c_str());
        return paths;
    }

private:
    std::string log() const { return bin / "calls"; }
    static std::string searchPath() {
        const char* value = std::getenv("PATH");
        return value != nullptr ? value : "/usr/bin:/bin";
    }
    static std::string realDu() {
        return access("/usr/bin/du", X_OK) == 0 ? "/usr/bin/du" : "/bin/du";
    }

    TempDir bin;
    std::string path;
    ScopedEnv pathVar;
};

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
        ScopedSyscalls calls;
        calls.table().opendir = [](const char* p) {
            return std::string(p).find("/DD") != std::string::npos ? (errno = EIO, nullptr)
                                                                   : ovsys::real().opendir(p);
        };
        SyslogCapture log;
        EXPECT_EQ(listDirs_(repo.id(), &count, true), nullptr);
        EXPECT_EQ(count, 0);
    }

    ASSERT_EQ(unlink((m + "/repositorypart.cfg").c_str()), 0);
    out = {"kept"};
    getRepository(repo.id())->getMounts()[0]->listResources(&out, ALL_RESOURCES);
    EXPECT_EQ(out, std::vector<std::string>{"kept"});
}

TEST(SizesCache, UnusedResourcesKeepTheirCachedSizes) {
    TempDir d;
    FakeDu du;
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
    EXPECT_TRUE(du.takeMeasured().empty());
    EXPECT_FALSE(fs::exists(d / ".countres"));
    EXPECT_EQ(readFile(d / ".count"), "r2\n1000\n5\nr1\n2000\n7\n");

    // Used since: measured again, and its old times put back afterwards.
    ASSERT_TRUE(setTimes(d / "r1", 3000));
    SyslogCapture capture;
    long total = countSize(d.path().c_str(), true);
    EXPECT_EQ(du.takeMeasured(), std::vector<std::string>{d / "r1"});
    std::vector<CountRecord> recs = records(d.path());
    ASSERT_EQ(ids(recs), (std::vector<std::string>{"r2", "r1"}));
    EXPECT_EQ(recs[1].time, 3000);
    EXPECT_GE(recs[1].size, 19);
    EXPECT_EQ(total, 5 + recs[1].size);
    std::vector<std::string> messages = capture.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "resource: r1 new size:" + std::to_string(recs[1].size) + "\n"),
              messages.end());
    struct stat st;
    ASSERT_EQ(stat((d / "r1").c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 3000);
    EXPECT_EQ(st.st_mtime, 3000);
}

TEST(SizesCache, DamagedAndRepeatedRecords) {
    TempDir d;
    FakeDu du;
    for (const char* r : {"r1", "r2", "r3"}) {
        writeIncompressible(d / r);
        ASSERT_TRUE(setTimes(d / r, 1000));
    }
    // A long identifier stays one line; r3's later record replaces the earlier one; r1's record
    // lacks its size line, so r1 is measured.
    writeFile(d / ".count", std::string(3000, 'x') + "\n1\n2\nr3\n1000\n1\nr2\n1000\n5\nr3\n1000\n"
                                                     "6\nr1\n1000\n");
    SyslogCapture quiet;
    long total = countSize(d.path().c_str(), true);
    EXPECT_EQ(du.takeMeasured(), std::vector<std::string>{d / "r1"});
    std::vector<CountRecord> recs = records(d.path());
    ASSERT_EQ(ids(recs), (std::vector<std::string>{"r3", "r2", "r1"}));
    EXPECT_EQ(recs[0].size, 6);
    EXPECT_EQ(total, 11 + recs[2].size);
}

TEST(SizesCache, FailedWriteKeepsThePreviousCache) {
    TempDir d;
    writeFile(d / ".count", "old\n1\n2\n");
    ScopedSyscalls calls;
    calls.table().rename = [](const char*, const char*) {
        errno = EIO;
        return -1;
    };
    SyslogCapture capture;
    EXPECT_EQ(countSize(d.path().c_str(), true), 0);
    EXPECT_EQ(capture.messages().back(),
              "The count file \"" + d.path() + "/.count\" could not be written. Error code is 5");
    calls.table().open = [](const char*, int, mode_t) {
        errno = EACCES;
        return -1;
    };
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
    FakeDu du;
    std::string m = d / "m";
    hashedTree(m, {"AA/BB/CC/a", "AA/BB/CC/c", "DD/EE/FF/b", "lost+found/AA/BB/CC/lf", "top"});
    SyslogCapture quiet;
    long total = countSize(m.c_str(), false);
    EXPECT_EQ(du.takeMeasured(),
              (std::vector<std::string>{m + "/AA/BB/CC/a", m + "/AA/BB/CC/c", m + "/DD/EE/FF/b"}));
    std::vector<CountRecord> recs = records(m);
    EXPECT_EQ(ids(recs), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(total, sum(recs));
    EXPECT_GE(total, 3 * 19);
    EXPECT_TRUE(fs::exists(m + "/.countres"));

    EXPECT_EQ(countSize(m.c_str(), false), total); // nothing used since
    EXPECT_TRUE(du.takeMeasured().empty());
}

TEST(Sizes, LinksAreSkippedOnlyInFlatDirectories) {
    TempDir d;
    FakeDu du;
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
    FakeDu du;
    std::vector<std::string> names = {"$(touch x)",  "-rf",     "`touch y`",  "a b",
                                      "line\nbreak", "q\"uote", "s'q;touch z"};
    for (const std::string& name : names)
        writeIncompressible(d / name);
    std::string before = fs::current_path();
    fs::current_path(d.path()); // where a shell would have made its files
    SyslogCapture quiet;
    long total = countSize(d.path().c_str(), true);
    fs::current_path(before);

    std::vector<std::string> measured = du.takeMeasured(), expected;
    for (const std::string& name : names)
        expected.push_back(d / name);
    EXPECT_EQ(measured, expected);
    EXPECT_GE(total, 19 * static_cast<long>(names.size())); // du found every one of them
    std::vector<std::string> present;
    listDir(d.path().c_str(), &present);
    names.insert(names.end(), {".count", ".countres"});
    std::sort(names.begin(), names.end());
    EXPECT_EQ(present, names);
}

TEST(Sizes, FailingOrSilentDuCountsZero) {
    TempDir d;
    FakeDu du;
    for (const char* r : {"du-fails", "du-garbled", "du-silent", "ok"})
        writeIncompressible(d / r);
    SyslogCapture capture;
    long total = countSize(d.path().c_str(), true);
    std::vector<CountRecord> recs = records(d.path());
    ASSERT_EQ(ids(recs), (std::vector<std::string>{"ok", "du-silent", "du-garbled", "du-fails"}));
    for (size_t i = 1; i < recs.size(); ++i)
        EXPECT_EQ(recs[i].size, 0) << recs[i].id;
    EXPECT_EQ(total, recs[0].size);
    std::vector<std::string> messages = capture.messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "ERROR: du terminated abnormally\n"), 3);
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
