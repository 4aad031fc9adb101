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

namespace {

// Creates empty files in dir until no inode is left, then one file until no block is left; true
// when both ended for want of space.
bool fill(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    int n = 0;
    for (;; ++n) {
        int fd = open((dir + "/" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0)
            break;
        close(fd);
    }
    bool noInode = errno == ENOSPC;
    std::string block(4096, 'x');
    int fd = open((dir + "/0").c_str(), O_WRONLY | O_APPEND);
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0)
        ;
    bool noBlock = errno == ENOSPC;
    close(fd);
    return noInode && noBlock;
}

// A mount without a free inode or block: a removal and the deletions of a clearable repository
// still free it (a leftover staging directory is used where it stands), and a copy that finds no
// room is logged with ENOSPC.
void fullMountIsEmptied(TestRepository& repo) {
    std::string m0 = repo / "m0";
    repo.configure("mountPoints = m0\nnomoveTimeSeconds = 1000\nisClearable = true\n"
                   "cleanLimit = 90\nmoveLimit = 95\n");
    for (const char* id : {"r", "old", "older"}) {
        makeTree(parentOf(place(m0, id)), {std::string(id) + "/a", std::string(id) + "/s/x"});
        check(setTimes(place(m0, id), time(nullptr) - (id[1] == 'l' ? 9000 : 8000)), "times");
    }
    makeTree(repo / "out", {"q/a"});
    check(mkdir((m0 + "/" + kStagingName).c_str(), 0755) == 0, "a staging directory stands");
    check(fill(m0 + "/fill"), "the mount is full");
    SyslogCapture log;
    check(moveRes((repo / "out/q").c_str(), (m0 + "/q").c_str()) == 8, "no room for q");
    bool noSpace = false;
    for (const std::string& text : log.messages())
        noSpace = noSpace || text.find("Error code is 28") != std::string::npos;
    check(noSpace && holdsTree(repo / "out", {"q/a"}), "q stays, ENOSPC logged");

    OVRepositoryHandler* handler = getRepository(repo.id());
    check(handler->removeResource("r") == RES_OK && !present(place(m0, "r")), "r removed");
    check(!present(m0 + "/" + kStagingName), "no staging directory stays");
    check(fill(m0 + "/fill2"), "full again");
    checkOverload_(repo.id(), false);
    check(!present(place(m0, "older")) && !present(place(m0, "old")), "the old ones deleted");
}

int onFullMount(TestRepository& repo, FileSystemKind kind) {
    return runInChild([&] {
        std::string m0 = repo.addMount("m0", "", false);
        if (!enterPrivateMountNamespace() ||
            !(kind == FileSystemKind::Tmpfs
                  ? mountTmpfs(m0, "1m,nr_inodes=64")
                  : mountFileSystem(kind, m0, repo.addMount("m0-img", "", false))))
            return kNoNamespace;
        writeFile(m0 + "/repositorypart.cfg", "");
        fullMountIsEmptied(repo);
        return childFailures();
    });
}

} // namespace

TEST(RealMountsFull, RemovalAndClearingEmptyAFullTmpfs) {
    TestRepository repo;
    EXPECT_SCENARIO(onFullMount(repo, FileSystemKind::Tmpfs));
}

TEST(RealMountsFull, RemovalAndClearingEmptyAFullExt4) {
    TestRepository repo;
    EXPECT_SCENARIO(onFullMount(repo, FileSystemKind::Ext4SmallInodes));
}
