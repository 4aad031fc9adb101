// Moves, merges and removals meeting a failing file-system call on one chosen path, and mounts so
// full that no inode or block is free: no copy loses or changes a file, the result tells an error
// (8) from a difference (2), and the cause is logged with its path and its own errno.
#include "MoveDelete.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "Staging.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// A call that fails with error on every path that ends with path (or, for a path ending in "*",
// that contains the rest).
struct Fault {
    std::string call;
    std::string path;
    int error;
};
std::vector<Fault> faults;

bool hit(const char* call, const std::string& path) {
    for (const Fault& fault : faults) {
        bool some = !fault.path.empty() && fault.path.back() == '*';
        std::string key = some ? fault.path.substr(0, fault.path.size() - 1) : fault.path;
        bool matches = some ? path.find(key) != std::string::npos
                            : path.size() >= key.size() &&
                                  path.compare(path.size() - key.size(), key.size(), key) == 0;
        if (fault.call == call && matches) {
            errno = fault.error;
            return true;
        }
    }
    return false;
}

std::string pathOf(int fd) {
    char buffer[4096];
    ssize_t size = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof buffer);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : "";
}

// Puts the failing calls in place while it lives.
class Faults {
public:
    explicit Faults(std::vector<Fault> chosen) {
        faults = std::move(chosen);
        ovsys::Table& t = calls.table();
        t.lstat = [](const char* p, struct stat* st) {
            return hit("lstat", p) ? -1 : ovsys::real().lstat(p, st);
        };
        t.mkdir = [](const char* p, mode_t m) {
            return hit("mkdir", p) ? -1 : ovsys::real().mkdir(p, m);
        };
        t.rename = [](const char* a, const char* b) {
            return hit("rename", a) ? -1 : ovsys::real().rename(a, b);
        };
        t.renameNoReplace = [](const char* a, const char* b) {
            return hit("renameNoReplace", b) ? -1 : ovsys::real().renameNoReplace(a, b);
        };
        t.opendir = [](const char* p) {
            return hit("opendir", p) ? nullptr : ovsys::real().opendir(p);
        };
        t.fdopendir = [](int fd) {
            return hit("fdopendir", pathOf(fd)) ? nullptr : ovsys::real().fdopendir(fd);
        };
        t.readdir = [](DIR* d) {
            return hit("readdir", pathOf(dirfd(d))) ? nullptr : ovsys::real().readdir(d);
        };
        t.read = [](int fd, void* b, size_t n) {
            return hit("read", pathOf(fd)) ? -1 : ovsys::real().read(fd, b, n);
        };
    }
    ~Faults() { faults.clear(); }

private:
    ScopedSyscalls calls;
};

enum class Op { Merge, NewPath, Removal };

struct Row {
    const char* name;
    Op op;
    std::vector<Fault> faults;
    bool differs;       // the destination's "a" holds something else
    bool staging;       // a staging directory stands before the removal
    int expected;       // the result
    const char* logged; // a part of the logged path
    int error;          // its errno in the log; 0: no errno logged
};

const std::vector<std::string> kOrigin = {"r/a", "r/s/x", "r/z"};
const std::vector<std::string> kDest = {"r/a", "r/b", "r/s/w", "r/z"};
constexpr time_t kOld = 1000000000;

// Every file of both copies as it was: at its place, with its content.
bool bothKept(TempDir& dir, const Row& row) {
    bool origin = holdsTree(dir / "o", kOrigin);
    if (row.op != Op::Merge)
        return origin;
    return origin && holdsTree(dir / "d", {"r/b", "r/s/w", "r/z"}) &&
           readFile(dir / "d/r/a") == (row.differs ? "other" : "r/a");
}

// The state that a successful operation leaves.
bool done(TempDir& dir, const Row& row) {
    if (present(dir / "o/r"))
        return false;
    if (row.op == Op::Merge)
        return holdsTree(dir / "d", {"r/a", "r/b", "r/s/w", "r/s/x", "r/z"});
    return row.op == Op::Removal || holdsTree(dir / "n", kOrigin);
}

int runOperation(TempDir& dir, const Row& row) {
    if (row.op == Op::Removal)
        return deleteResStaged((dir / "o/r").c_str(), (dir / "o").c_str());
    return moveRes((dir / "o/r").c_str(), (dir / (row.op == Op::Merge ? "d/r" : "n/r")).c_str());
}

} // namespace

TEST(MoveIoFaults, FailuresKeepEveryCopyAndAreLoggedWithTheirErrno) {
    const Fault stagingFull{"mkdir", ".repository-staging", ENOSPC};
    const std::vector<Row> rows = {
        {"merge", Op::Merge, {}, false, false, 0, "", 0},
        {"merge meeting a different file", Op::Merge, {}, true, false, 2, "/d/r/a\"", 0},
        {"destination entry unreadable",
         Op::Merge,
         {{"lstat", "d/r/a", EIO}},
         true,
         false,
         8,
         "/d/r/a\"",
         EIO},
        {"origin subdirectory unopenable",
         Op::Merge,
         {{"opendir", "o/r/s", EIO}},
         false,
         false,
         8,
         "/o/r/s\"",
         EIO},
        {"origin subdirectory listing breaks",
         Op::Merge,
         {{"readdir", "o/r/s", EIO}},
         false,
         false,
         8,
         "/o/r/s\"",
         EIO},
        {"verified copy unlistable",
         Op::Merge,
         {{"opendir", "/0/s", EACCES}},
         false,
         false,
         8,
         "/0/s\"",
         EACCES},
        {"destination file unreadable",
         Op::Merge,
         {{"read", "d/r/a", EIO}},
         false,
         false,
         8,
         "/d/r/a\"",
         EIO},
        {"origin unreadable", Op::Merge, {{"lstat", "o/r", EIO}}, false, false, 8, "/o/r\"", EIO},
        {"origin forbidden",
         Op::Merge,
         {{"lstat", "o/r", EACCES}},
         false,
         false,
         8,
         "/o/r\"",
         EACCES},
        {"placing fails",
         Op::Merge,
         {{"renameNoReplace", "d/r/s/x", EIO}},
         false,
         false,
         8,
         "/d/r/s/x\"",
         EIO},
        {"move", Op::NewPath, {}, false, false, 0, "", 0},
        {"destination unreadable",
         Op::NewPath,
         {{"lstat", "n/r", EIO}},
         false,
         false,
         8,
         "/n/r\"",
         EIO},
        {"no room for staging", Op::NewPath, {stagingFull}, false, false, 8, "/n/r\"", ENOSPC},
        {"placing the copy fails",
         Op::NewPath,
         {{"renameNoReplace", "n/r", EIO}},
         false,
         false,
         8,
         "/n/r\"",
         EIO},
        {"removal", Op::Removal, {}, false, false, 0, "", 0},
        {"removal of an unreadable resource",
         Op::Removal,
         {{"lstat", "o/r", EIO}},
         false,
         false,
         8,
         "/o/r\"",
         EIO},
        {"taking away fails",
         Op::Removal,
         {{"rename", "o/r", EIO}},
         false,
         false,
         8,
         "/o/r\"",
         EIO},
        {"removal in place", Op::Removal, {stagingFull}, false, false, 0, "staging\"", ENOSPC},
        {"removal into the staging directory",
         Op::Removal,
         {{"mkdir", "/work-*", ENOSPC}},
         false,
         true,
         0,
         "staging\"",
         ENOSPC},
        {"removal in place, unlistable",
         Op::Removal,
         {stagingFull, {"readdir", "o/r", EIO}},
         false,
         false,
         8,
         "/o/r\"",
         EIO},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        makeTree(dir / "o", kOrigin);
        ASSERT_TRUE(setTimes(dir / "o/r", kOld));
        if (row.op == Op::Merge)
            makeTree(dir / "d", kDest);
        if (row.differs)
            writeFile(dir / "d/r/a", "other");
        if (row.staging) {
            ASSERT_EQ(mkdir((dir / "o/" + kStagingName).c_str(), 0755), 0);
        }
        SyslogCapture log;
        int result = -1;
        try {
            Faults injected(row.faults);
            result = runOperation(dir, row);
        } catch (...) {
            ADD_FAILURE() << "an exception";
        }
        EXPECT_EQ(result, row.expected);
        EXPECT_TRUE(result == 0 ? done(dir, row) : bothKept(dir, row));
        struct stat st;
        if (result != 0 && lstat((dir / "o/r").c_str(), &st) == 0) {
            EXPECT_EQ(st.st_atime, kOld) << "the origin's times are restored";
        }
        std::string code = "Error code is " + std::to_string(row.error);
        size_t matching = 0;
        for (const std::string& text : log.messages())
            matching += text.find(row.logged) != std::string::npos &&
                        (row.error == 0 ||
                         text.compare(text.size() - code.size(), std::string::npos, code) == 0);
        EXPECT_TRUE(*row.logged == 0 || matching > 0) << ::testing::PrintToString(log.messages());
        for (const char* side : {"o", "d", "n"}) {
            EXPECT_FALSE(present(dir / side + "/" + kStagingName)) << side;
        }
    }
}
