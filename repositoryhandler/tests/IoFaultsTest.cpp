// Moves, merges, removals, lookups, creations and take-overs meeting a failing file-system call on
// one chosen path, and mounts so full that no inode or block is free: no copy loses or changes a
// file, the result tells an error (8) from a difference (2) or an absence (4), and the cause is
// logged with its path and its own errno.
#include "MoveDelete.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "Staging.h"
#include "TwoMounts.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// A call that fails with error on every path that contains path, and the calls failing so.
using Fault = SeamFault;
using Faults = SeamFaults;

// Merge: into a copy at d with the same "a"; Differing: its "a" differs in size; LastByte and
// FarByte: its "a" has the origin's size and differs only in the last byte, or only in a byte past
// the first 64 KiB. Cramped: a removal where no staging directory can be made; Staged: one
// stands, but no work directory can be made in it.
enum class Op { Merge, Differing, LastByte, FarByte, NewPath, Removal, Cramped, Staged };

struct Row {
    const char* name;
    Op op;
    Fault fault;
    int expected;       // the result
    const char* logged; // the end of the path in the expected log line ("": none expected)
};

const std::vector<std::string> kOrigin = {"r/a", "r/s/x", "r/z"};
const std::vector<std::string> kDest = {"r/a", "r/b", "r/s/w", "r/z"};
constexpr time_t kOld = 1000000000;

bool intoACopy(Op op) {
    return op == Op::Merge || op == Op::Differing || op == Op::LastByte || op == Op::FarByte;
}

// The content of "a" in the origin and at the destination.
std::pair<std::string, std::string> contentsOfA(Op op) {
    std::string large(64 * 1024 + 100, 'a'), largeOther = large;
    largeOther[64 * 1024 + 50] = 'b';
    if (op == Op::Differing)
        return {"r/a", "other"};
    if (op == Op::LastByte)
        return {"r/a", "r/b"};
    if (op == Op::FarByte)
        return {large, largeOther};
    return {"r/a", "r/a"};
}

// Every file of both copies as it was: at its place, with its content.
bool bothKept(TempDir& dir, const Row& row) {
    auto a = contentsOfA(row.op);
    bool origin = holdsTree(dir / "o", {"r/s/x", "r/z"}) && readFile(dir / "o/r/a") == a.first;
    if (!intoACopy(row.op))
        return origin;
    return origin && holdsTree(dir / "d", {"r/b", "r/s/w", "r/z"}) &&
           readFile(dir / "d/r/a") == a.second;
}

// The state that a successful operation leaves.
bool done(TempDir& dir, const Row& row) {
    if (present(dir / "o/r"))
        return false;
    if (row.op == Op::Merge)
        return holdsTree(dir / "d", {"r/a", "r/b", "r/s/w", "r/s/x", "r/z"});
    return row.op != Op::NewPath || holdsTree(dir / "n", kOrigin);
}

// Makes the copies of row and runs its operation with its faults.
int runOperation(TempDir& dir, const Row& row) {
    makeTree(dir / "o", kOrigin);
    if (intoACopy(row.op)) {
        makeTree(dir / "d", kDest);
        writeFile(dir / "o/r/a", contentsOfA(row.op).first);
        writeFile(dir / "d/r/a", contentsOfA(row.op).second);
    }
    setTimes(dir / "o/r", kOld);
    if (row.op == Op::Staged)
        mkdir((dir / "o/" + kStagingName).c_str(), 0755);
    std::vector<Fault> chosen = {row.fault};
    if (row.op == Op::Cramped)
        chosen.push_back({"mkdir", kStagingName, ENOSPC});
    if (row.op == Op::Staged)
        chosen.push_back({"mkdir", "/work-", ENOSPC});
    Faults injected(chosen);
    AcrossFileSystems across;
    if (row.op == Op::Removal || row.op == Op::Cramped || row.op == Op::Staged)
        return deleteResStaged((dir / "o/r").c_str(), (dir / "o").c_str());
    return moveRes((dir / "o/r").c_str(), (dir / (row.op == Op::NewPath ? "n/r" : "d/r")).c_str());
}

} // namespace

TEST(MoveIoFaults, FailuresKeepEveryCopyAndAreLoggedWithTheirErrno) {
    const std::vector<Row> rows = {
        {"merge", Op::Merge, {}, 0, ""},
        {"a different file", Op::Differing, {}, 2, "d/r/a"},
        {"a file differing in its last byte", Op::LastByte, {}, 2, "d/r/a"},
        {"a file differing past the first 64 KiB", Op::FarByte, {}, 2, "d/r/a"},
        {"destination entry unreadable", Op::Differing, {"lstat", "d/r/a", EIO}, 8, "d/r/a"},
        {"origin subdirectory unopenable", Op::Merge, {"opendir", "o/r/s", EIO}, 8, "o/r/s"},
        {"origin subdirectory listing breaks", Op::Merge, {"readdir", "o/r/s", EIO}, 8, "o/r/s"},
        {"verified copy unlistable", Op::Merge, {"opendir", "/0/s", EACCES}, 8, "/0/s"},
        {"destination file unreadable", Op::Merge, {"pread", "d/r/a", EIO}, 8, "d/r/a"},
        // Past "s/x", which the destination lacks, "z" is first compared while put in place.
        {"destination file unreadable when placed", Op::Merge, {"pread", "d/r/z", EIO}, 8, "d/r/z"},
        {"destination entry unreadable when placed",
         Op::Merge,
         {"lstat", "d/r/z", EIO},
         8,
         "d/r/z"},
        {"origin unreadable", Op::Merge, {"lstat", "o/r", EIO}, 8, "o/r"},
        {"origin forbidden", Op::Merge, {"lstat", "o/r", EACCES}, 8, "o/r"},
        {"placing fails", Op::Merge, {"renameNoReplace", "d/r/s/x", EIO}, 8, "d/r/s/x"},
        {"copying into a full mount", Op::Merge, {"pwrite", kStagingName, ENOSPC}, 8, "d/r"},
        {"merge not on disk", Op::Merge, {"syncfs", kStagingName, EIO, 1}, 8, "d/r"},
        {"move", Op::NewPath, {}, 0, ""},
        {"origin file unreadable", Op::NewPath, {"pread", "o/r/s/x", EIO}, 8, "n/r"},
        {"copy unwritable", Op::NewPath, {"pwrite", kStagingName, EDQUOT}, 8, "n/r"},
        {"copy not flushed", Op::NewPath, {"syncfs", kStagingName, EIO}, 8, "n/r"},
        {"destination unreadable", Op::NewPath, {"lstat", "n/r", EIO}, 8, "n/r"},
        {"no room for staging", Op::NewPath, {"mkdir", kStagingName, ENOSPC}, 8, "n/r"},
        {"no lock on staging (NFS)", Op::NewPath, {"flock", kStagingName, ENOLCK}, 8, "n/r"},
        {"placing the copy fails", Op::NewPath, {"renameNoReplace", "n/r", EIO}, 8, "n/r"},
        {"placing the copy refused", Op::NewPath, {"renameNoReplace", "n/r", EACCES}, 8, "n/r"},
        {"no parent for the copy", Op::NewPath, {"mkdir", "/n", EACCES}, 8, "n/r"},
        {"the new name not written to disk", Op::NewPath, {"fsync", "/n", EIO}, 8, "n/r"},
        {"removal", Op::Removal, {}, 0, ""},
        {"removal of an unreadable resource", Op::Removal, {"lstat", "o/r", EIO}, 8, "o/r"},
        {"taking away fails", Op::Removal, {"rename", "o/r", EIO}, 8, "o/r"},
        {"staging forbidden", Op::Removal, {"mkdir", kStagingName, EACCES}, 8, "o/r"},
        {"staging takes no more directories", Op::Removal, {"mkdir", "/work-", EMLINK}, 0, ""},
        {"staging over quota", Op::Removal, {"mkdir", "/work-", EDQUOT}, 0, ""},
        {"removal in place", Op::Cramped, {}, 0, kStagingName},
        {"removal in place, unlistable", Op::Cramped, {"readdir", "o/r", EIO}, 8, "o/r"},
        {"removal into the staging directory", Op::Staged, {}, 0, kStagingName},
        {"removal into the staging directory fails",
         Op::Staged,
         {"renameNoReplace", "/work-", EIO},
         8,
         "o/r"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        SyslogCapture log;
        int result = -1;
        try {
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
        int error = row.fault.error != 0 || row.expected == 2 ? row.fault.error : ENOSPC;
        EXPECT_TRUE(*row.logged == 0 || loggedLines(log, row.logged + std::string("\""), error) > 0)
            << ::testing::PrintToString(log.messages());
        for (const char* side : {"o", "d", "n"}) {
            EXPECT_FALSE(present(dir / side + "/" + kStagingName)) << side;
        }
    }
}

namespace {

enum RepoOp { Lookup, Create, TakeOver, Remove };
enum Where { M0, M1, Legacy, M0HashLevel, M0TopHashLevel };

// A resource at copy (flagged dirty with a second copy on m0), and the place of the resource on
// faultOn that cannot be tested with call.
struct PlaceRow {
    const char* name;
    RepoOp op;
    Where copy;
    bool dirty;
    const char* call;
    Where faultOn;
    int error;
    int passes = 0; // calls on the place that succeed before the failing one
};

// Everything below root: path, kind and content.
std::map<std::string, std::string> contentOf(const std::string& root) {
    std::map<std::string, std::string> seen;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        seen[entry.path()] = entry.is_regular_file() ? readFile(entry.path()) : "/";
    return seen;
}

int runRepositoryOperation(TwoMounts& r, RepoOp op) {
    int status = -1;
    if (op == Remove)
        return removeResource_(r.repo.id(), "res");
    std::unique_ptr<char[]> location(op == Create
                                         ? createDirectory_(r.repo.id(), "new", &status, false)
                                         : getLocation_(r.repo.id(), "res", &status));
    return location ? -1 : status;
}

} // namespace

// A place that cannot be tested may hold the resource: the answer is 8, never "not found";
// nothing is made beside it, nothing is removed, no flag is cleared, and once the place can be
// tested again everything is where it was.
TEST(RepositoryIoFaults, AnUntestablePlaceIsAnErrorNeverAnAbsence) {
    const std::vector<PlaceRow> rows = {
        {"lookup, before the copy", Lookup, M1, false, "openNoLinks", M0, EIO},
        {"lookup, forbidden", Lookup, M1, false, "openNoLinks", M0, EACCES},
        {"lookup, the copy itself", Lookup, M1, false, "openNoLinks", M1, EIO},
        {"lookup, without openat2", Lookup, M1, false, "stat", M0, EIO},
        {"dirty lookup", Lookup, M1, true, "openNoLinks", M1, EIO},
        {"dirty lookup, the earlier copy cannot be merged", Lookup, M1, true, "lstat", M0, EIO},
        {"creation", Create, M1, false, "openNoLinks", M1, EIO},
        {"creation, without openat2", Create, M1, false, "stat", M0, EACCES},
        {"creation, the place cannot be made", Create, M1, false, "mkdir", M0TopHashLevel, EIO},
        {"take-over", TakeOver, Legacy, false, "lstat", Legacy, EIO},
        {"lookup, a hash level past a link", Lookup, M0, false, "lstat", M0HashLevel, EIO},
        {"removal", Remove, M1, false, "openNoLinks", M0, EIO},
        {"dirty removal", Remove, M1, true, "openNoLinks", M1, EIO},
        {"removal, the legacy place", Remove, M1, false, "lstat", Legacy, EIO},
        {"removal, the copy untestable once found", Remove, M1, false, "openNoLinks", M1, EIO, 1},
    };
    for (const PlaceRow& row : rows) {
        SCOPED_TRACE(row.name);
        TwoMounts r;
        std::string id = row.op == Create ? "new" : "res";
        auto placeOf = [&](Where where) {
            if (where == M0HashLevel)
                return parentOf(r.on(r.m0, id));
            if (where == M0TopHashLevel)
                return parentOf(parentOf(parentOf(r.on(r.m0, id))));
            return where == Legacy ? r.legacy + "/" + id : r.on(where == M0 ? r.m0 : r.m1, id);
        };
        if (row.copy == Legacy)
            makeTree(r.legacy, {"res/a"});
        else if (row.op != Create)
            r.make(row.copy == M0 ? r.m0 : r.m1, "res", "a");
        if (row.dirty) {
            r.make(r.m0, "res", "b");
            r.handler()->getDirtyFlags().setDirty("res", true);
        }
        std::map<std::string, std::string> before = contentOf(r.repo.path());
        SyslogCapture log;
        std::vector<Fault> chosen = {{row.call, placeOf(row.faultOn), row.error, row.passes}};
        if (std::string(row.call) == "stat")
            chosen.push_back({"openNoLinks", "/", ENOSYS}); // a kernel without openat2
        if (row.faultOn == M0HashLevel) // a link above the mount: each level is tested
            chosen.push_back({"openNoLinks", "/", ELOOP});
        {
            Faults injected(chosen);
            EXPECT_NO_THROW(EXPECT_EQ(runRepositoryOperation(r, row.op), RES_ERROR));
        }
        EXPECT_EQ(contentOf(r.repo.path()), before) << "a copy was touched or one was made";
        // A hash level that cannot be made is logged with the whole chain of levels.
        Where logged = row.faultOn == M0TopHashLevel ? M0HashLevel : row.faultOn;
        EXPECT_EQ(loggedLines(log, placeOf(logged) + '"', row.error), 1u);
        int status = -1;
        std::unique_ptr<char[]> again(getLocation_(r.repo.id(), id.c_str(), &status));
        EXPECT_EQ(status, row.op == Create ? RES_NOT_FOUND : RES_OK);
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

} // namespace

TEST(RealMountsFull, RemovalAndClearingEmptyAFullMount) {
    for (FileSystemKind kind : {FileSystemKind::Tmpfs, FileSystemKind::Ext4SmallInodes}) {
        SCOPED_TRACE(nameOf(kind));
        EXPECT_SCENARIO(withMounts({"m0"}, kind, "1m,nr_inodes=64", fullMountIsEmptied));
    }
}
