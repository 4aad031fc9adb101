#include "RepositoryTestSupport.h"

#include "Registry.h"
#include "RunCommand.h"
#include "repositoryhandler.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

struct FakeFill {
    fsblkcnt_t blocks = 0;
    fsblkcnt_t available = 0;
    int error = 0;
};

std::map<std::string, FakeFill>& fills() {
    static std::map<std::string, FakeFill> table;
    return table;
}

int fakeStatvfs(const char* path, struct statvfs* out) {
    auto it = fills().find(path);
    if (it == fills().end())
        return ovsys::real().statvfs(path, out);
    if (it->second.error != 0) {
        errno = it->second.error;
        return -1;
    }
    *out = {};
    out->f_frsize = 4096;
    out->f_bsize = 65536; // the preferred I/O size, larger than a block on many file systems
    out->f_blocks = it->second.blocks;
    out->f_bfree = out->f_bavail = it->second.available;
    return 0;
}

std::vector<std::pair<std::string, dev_t>>& devices() {
    static std::vector<std::pair<std::string, dev_t>> table;
    return table;
}

int fakeStat(const char* path, struct stat* out) {
    int result = ovsys::real().stat(path, out);
    if (result == 0)
        for (const auto& [prefix, device] : devices())
            if (std::string(path).compare(0, prefix.size(), prefix) == 0)
                out->st_dev = device;
    return result;
}

} // namespace

TestRepository::TestRepository() : lockVar("LOCK_VAR", lockDir.path().c_str()) {
    repositoryMap.clear();
}

TestRepository::~TestRepository() {
    repositoryMap.clear();
}

void TestRepository::configure(const std::string& content) const {
    writeFile(dir / "repository.cfg", content);
}

std::string TestRepository::addMount(const std::string& name, const std::string& partConfig,
                                     bool mounted) const {
    std::string mount = dir / name;
    mkdir(mount.c_str(), 0755);
    if (mounted)
        writeFile(mount + "/repositorypart.cfg", partConfig);
    return mount;
}

FakeFillLevels::FakeFillLevels() {
    fills().clear();
    calls.table().statvfs = fakeStatvfs;
}

FakeFillLevels::~FakeFillLevels() {
    fills().clear();
}

void FakeFillLevels::setPercent(const std::string& path, double percent) {
    setBlocks(path, 100000, static_cast<fsblkcnt_t>((100.0 - percent) * 1000.0 + 0.5));
}

void FakeFillLevels::setBlocks(const std::string& path, fsblkcnt_t blocks, fsblkcnt_t available) {
    fills()[path] = FakeFill{blocks, available, 0};
}

void FakeFillLevels::fail(const std::string& path, int error) {
    fills()[path] = FakeFill{0, 0, error};
}

namespace {

ovsys::Table beforeAcross;

// Whether path lies in a staging directory, or below a descriptor's "/proc/self/fd/<n>" (the
// library names the entries of a copy deeper than PATH_MAX so: such a rename never leaves it).
bool staged(const char* path) {
    return std::strstr(path, "/.repository-staging/") != nullptr ||
           std::strncmp(path, "/proc/self/fd/", 14) == 0;
}

int renameAcross(const char* from, const char* to) {
    if (!staged(from) && !staged(to)) {
        errno = EXDEV;
        return -1;
    }
    return beforeAcross.renameNoReplace(from, to);
}

} // namespace

AcrossFileSystems::AcrossFileSystems() {
    beforeAcross = calls.table();
    calls.table().renameNoReplace = renameAcross;
    calls.table().cloneFile = failing<EXDEV>(calls.table().cloneFile);
}

namespace {

struct ArmedFault {
    SeamFault fault;
    int seen;
};
std::vector<ArmedFault> armedFaults;

std::string pathAt(int dirFd, const char* name) {
    return dirFd == AT_FDCWD ? name : pathOfFd(dirFd) + "/" + name;
}

// The real path behind a "/proc/self/fd/<n>" name.
std::string resolved(const char* path) {
    const char prefix[] = "/proc/self/fd/";
    return std::strncmp(path, prefix, sizeof prefix - 1) == 0
               ? pathOfFd(std::atoi(path + sizeof prefix - 1))
               : path;
}

// What the armed faults do to this call: 0 nothing, an errno, or kLie.
int action(const char* call, const std::string& path) {
    for (ArmedFault& armed : armedFaults)
        if (armed.fault.call == call && path.find(armed.fault.path) != std::string::npos) {
            if (armed.seen++ < armed.fault.passes)
                return 0;
            if (armed.fault.error == EINTR && armed.seen > armed.fault.passes + 1)
                return 0; // an interrupted call goes through when it is made again
            if (armed.fault.error == kLie && std::strcmp(call, "pread") != 0 &&
                std::strcmp(call, "read") != 0 && SeamFaults::onLie != nullptr)
                SeamFaults::onLie(path);
            return armed.fault.error;
        }
    return 0;
}

bool fails(const char* call, const std::string& path) {
    int error = action(call, path);
    if (error > 0)
        errno = error;
    return error > 0;
}

template <typename Read> ssize_t lyingRead(const char* call, int fd, void* into, Read read) {
    int what = action(call, pathOfFd(fd));
    if (what > 0) {
        errno = what;
        return -1;
    }
    ssize_t got = read();
    if (what == kLie && got > 0)
        static_cast<char*>(into)[0] ^= 1;
    return got;
}

void hookPaths(ovsys::Table& t) {
    t.lstat = [](const char* p, struct stat* st) {
        return fails("lstat", p) ? -1 : ovsys::real().lstat(p, st);
    };
    t.stat = [](const char* p, struct stat* st) {
        return fails("stat", p) ? -1 : ovsys::real().stat(p, st);
    };
    t.openNoLinks = [](const char* p) {
        return fails("openNoLinks", p) ? -1 : ovsys::real().openNoLinks(p);
    };
    t.mkdir = [](const char* p, mode_t m) {
        return fails("mkdir", p) ? -1 : ovsys::real().mkdir(p, m);
    };
    t.rename = [](const char* a, const char* b) {
        return fails("rename", a) ? -1 : ovsys::real().rename(a, b);
    };
    t.renameNoReplace = [](const char* a, const char* b) {
        return fails("renameNoReplace", b) ? -1 : ovsys::real().renameNoReplace(a, b);
    };
    t.opendir = [](const char* p) {
        return fails("opendir", p) ? nullptr : ovsys::real().opendir(p);
    };
    t.readdir = [](DIR* d) {
        return fails("readdir", pathOfFd(dirfd(d))) ? nullptr : ovsys::real().readdir(d);
    };
}

void hookData(ovsys::Table& t) {
    t.read = [](int fd, void* b, size_t n) {
        return lyingRead("read", fd, b, [&] { return ovsys::real().read(fd, b, n); });
    };
    t.pread = [](int fd, void* b, size_t n, off_t at) {
        return lyingRead("pread", fd, b, [&] { return ovsys::real().pread(fd, b, n, at); });
    };
    t.pwrite = [](int fd, const void* b, size_t n, off_t at) -> ssize_t {
        return fails("pwrite", pathOfFd(fd)) ? -1 : ovsys::real().pwrite(fd, b, n, at);
    };
    t.ftruncate = [](int fd, off_t size) {
        return fails("ftruncate", pathOfFd(fd)) ? -1 : ovsys::real().ftruncate(fd, size);
    };
    t.fsync = [](int fd) { return fails("fsync", pathOfFd(fd)) ? -1 : ovsys::real().fsync(fd); };
    t.syncfs = [](int fd) { return fails("syncfs", pathOfFd(fd)) ? -1 : ovsys::real().syncfs(fd); };
    t.flock = [](int fd, int op) {
        return fails("flock", pathOfFd(fd)) ? -1 : ovsys::real().flock(fd, op);
    };
    t.syncFileRange = [](int fd, off_t at, off_t n, unsigned int f) {
        return fails("syncFileRange", pathOfFd(fd)) ? -1
                                                    : ovsys::real().syncFileRange(fd, at, n, f);
    };
    t.fadvise = [](int fd, off_t at, off_t n, int advice) {
        return fails("fadvise", pathOfFd(fd)) ? -1 : ovsys::real().fadvise(fd, at, n, advice);
    };
}

void hookEntries(ovsys::Table& t) {
    t.fstatat = [](int d, const char* n, struct stat* st, int f) {
        return fails("fstatat", pathAt(d, n)) ? -1 : ovsys::real().fstatat(d, n, st, f);
    };
    t.openat = [](int d, const char* n, int f, mode_t m) {
        return fails("openat", pathAt(d, n)) ? -1 : ovsys::real().openat(d, n, f, m);
    };
    t.mkdirat = [](int d, const char* n, mode_t m) {
        return fails("mkdirat", pathAt(d, n)) ? -1 : ovsys::real().mkdirat(d, n, m);
    };
    t.symlinkat = [](const char* target, int d, const char* n) {
        return fails("symlinkat", pathAt(d, n)) ? -1 : ovsys::real().symlinkat(target, d, n);
    };
    t.mknodat = [](int d, const char* n, mode_t m, dev_t dev) {
        return fails("mknodat", pathAt(d, n)) ? -1 : ovsys::real().mknodat(d, n, m, dev);
    };
    t.linkat = [](int fd, const char* from, int td, const char* to, int f) {
        return fails("linkat", pathAt(td, to)) ? -1 : ovsys::real().linkat(fd, from, td, to, f);
    };
}

void hookAttributes(ovsys::Table& t) {
    t.fchownat = [](int d, const char* n, uid_t u, gid_t g, int f) {
        return fails("owner", pathAt(d, n)) ? -1 : ovsys::real().fchownat(d, n, u, g, f);
    };
    t.fchown = [](int fd, uid_t u, gid_t g) {
        return fails("owner", pathOfFd(fd)) ? -1 : ovsys::real().fchown(fd, u, g);
    };
    t.fchmodat = [](int d, const char* n, mode_t m, int f) {
        return fails("mode", pathAt(d, n)) ? -1 : ovsys::real().fchmodat(d, n, m, f);
    };
    t.fchmod = [](int fd, mode_t m) {
        return fails("mode", pathOfFd(fd)) ? -1 : ovsys::real().fchmod(fd, m);
    };
    t.utimensat = [](int d, const char* n, const struct timespec times[2], int f) {
        return fails("times", pathAt(d, n)) ? -1 : ovsys::real().utimensat(d, n, times, f);
    };
    t.futimens = [](int fd, const struct timespec times[2]) {
        return fails("times", pathOfFd(fd)) ? -1 : ovsys::real().futimens(fd, times);
    };
    t.listxattr = [](const char* p, char* list, size_t size) -> ssize_t {
        return fails("listxattr", resolved(p)) ? -1 : ovsys::real().listxattr(p, list, size);
    };
    t.flistxattr = [](int fd, char* list, size_t size) -> ssize_t {
        return fails("listxattr", pathOfFd(fd)) ? -1 : ovsys::real().flistxattr(fd, list, size);
    };
    t.getxattr = [](const char* p, const char* n, void* v, size_t size) -> ssize_t {
        return fails("getxattr", resolved(p)) ? -1 : ovsys::real().getxattr(p, n, v, size);
    };
    t.fgetxattr = [](int fd, const char* n, void* v, size_t size) -> ssize_t {
        return fails("getxattr", pathOfFd(fd)) ? -1 : ovsys::real().fgetxattr(fd, n, v, size);
    };
    t.setxattr = [](const char* p, const char* n, const void* v, size_t size, int f) {
        return fails("setxattr", resolved(p)) ? -1 : ovsys::real().setxattr(p, n, v, size, f);
    };
    t.fsetxattr = [](int fd, const char* n, const void* v, size_t size, int f) {
        return fails("setxattr", pathOfFd(fd)) ? -1 : ovsys::real().fsetxattr(fd, n, v, size, f);
    };
}

} // namespace

void (*SeamFaults::onLie)(const std::string& path) = nullptr;

std::string pathOfFd(int fd) {
    int saved = errno;
    char buffer[4096];
    ssize_t size = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof buffer);
    errno = saved;
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : "";
}

SeamFaults::SeamFaults(std::vector<SeamFault> faults) {
    arm(std::move(faults));
    hookPaths(calls.table());
    hookData(calls.table());
    hookEntries(calls.table());
    hookAttributes(calls.table());
}

SeamFaults::~SeamFaults() {
    armedFaults.clear();
    onLie = nullptr;
}

void SeamFaults::arm(std::vector<SeamFault> faults) {
    armedFaults.clear();
    for (SeamFault& fault : faults)
        armedFaults.push_back({std::move(fault), 0});
}

bool SeamFaults::met() const {
    return !armedFaults.empty() &&
           std::all_of(armedFaults.begin(), armedFaults.end(),
                       [](const ArmedFault& a) { return a.seen > a.fault.passes; });
}

FakeDevices::FakeDevices() {
    devices().clear();
    calls.table().stat = fakeStat;
}

FakeDevices::~FakeDevices() {
    devices().clear();
}

void FakeDevices::place(const std::string& prefix, dev_t device) {
    devices().emplace_back(prefix, device);
}

std::string place(const std::string& mount, const std::string& id) {
    std::unique_ptr<char[]> hashed(convertToHashed((id + "/").c_str()));
    std::string location = mount + "/" + hashed.get();
    location.pop_back();
    return location;
}

bool setTimes(const std::string& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

void setModified(const std::string& path, long secondsFromNow) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct utimbuf times = {now.tv_sec + secondsFromNow, now.tv_sec + secondsFromNow};
    utime(path.c_str(), &times);
}

namespace {
int failedChecks = 0;
} // namespace

void check(bool condition, const std::string& what) {
    if (!condition) {
        fprintf(stderr, "check failed: %s\n", what.c_str());
        ++failedChecks;
    }
}

int childFailures() {
    return failedChecks;
}

bool enterPrivateMountNamespace() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool mountTmpfs(const std::string& path, const char* size) {
    return mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
}

const char* nameOf(FileSystemKind kind) {
    switch (kind) {
    case FileSystemKind::Tmpfs:
        return "tmpfs";
    case FileSystemKind::Ext4SmallInodes:
        return "ext4 -I 128";
    case FileSystemKind::Ext4:
        return "ext4";
    case FileSystemKind::Xfs:
        return "xfs";
    }
    return "?";
}

bool mountFileSystem(FileSystemKind kind, const std::string& path, const std::string& scratch,
                     const char* tmpfsSize) {
    if (kind == FileSystemKind::Tmpfs)
        return mountTmpfs(path, tmpfsSize);
    // xfs wants at least 300 MiB; the image is sparse, mkfs writes only its metadata and log.
    if (!mountTmpfs(scratch, "512m"))
        return false;
    std::string image = scratch + "/fs.img";
    bool ext4 = kind != FileSystemKind::Xfs, small = kind == FileSystemKind::Ext4SmallInodes;
    std::vector<std::string> mkfs =
        !ext4 ? std::vector<std::string>{"mkfs.xfs", "-q", "-f", image}
        : small
            ? std::vector<std::string>{"mkfs.ext4", "-q", "-F", "-I", "128", image}
            : std::vector<std::string>{"mkfs.ext4", "-q", "-F", "-I", "256", "-b", "4096", image};
    return runCommand({"truncate", "-s",
                       !ext4   ? "300M"
                       : small ? "16M"
                               : "64M",
                       image}) == 0 &&
           runCommand(mkfs, "/dev/null") == 0 &&
           runCommand({"mount", "-o", "loop", image, path}, "/dev/null") == 0;
}

int withMounts(TestRepository& repo, const std::vector<std::string>& names, FileSystemKind kind,
               const char* tmpfsSize, const std::function<void(TestRepository&)>& scenario) {
    return runInChild([&] {
        if (!enterPrivateMountNamespace())
            return kNoNamespace;
        for (const std::string& name : names) {
            std::string mount = repo.addMount(name, "", false);
            if (!mountFileSystem(kind, mount, repo.addMount(name + "-img", "", false), tmpfsSize))
                return kNoNamespace;
            writeFile(mount + "/repositorypart.cfg", "");
        }
        scenario(repo);
        return childFailures();
    });
}

int withMounts(const std::vector<std::string>& names, FileSystemKind kind, const char* tmpfsSize,
               const std::function<void(TestRepository&)>& scenario) {
    TestRepository repo;
    return withMounts(repo, names, kind, tmpfsSize, scenario);
}

bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

size_t loggedLines(const SyslogCapture& log, const std::string& part, int error) {
    std::string code = "Error code is " + std::to_string(error);
    size_t matching = 0;
    for (const std::string& text : log.messages())
        matching +=
            text.find(part) != std::string::npos &&
            (error == 0 || (text.size() >= code.size() &&
                            text.compare(text.size() - code.size(), code.size(), code) == 0));
    return matching;
}

std::vector<std::string> namesIn(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void mark(OVRepositoryHandler* handler) {
    handler->getDeletedDirs()->push_back("mark");
}

bool isMarked(OVRepositoryHandler* handler) {
    return !handler->getDeletedDirs()->empty();
}

std::string parentOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// Creates the files (with their own path as content) and directories ("name/") below root.
void makeTree(const std::string& root, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + path).parent_path());
        if (path.back() != '/')
            writeFile(root + "/" + path, path);
    }
}

bool holdsTree(const std::string& root, const std::vector<std::string>& files) {
    for (const std::string& file : files)
        if (readFile(root + "/" + file) != file)
            return false;
    return true;
}

namespace {
void (*changeCounter)() = nullptr;
} // namespace

void countDirectoryChanges(ovsys::Table& table, void (*counter)()) {
    changeCounter = counter;
    table.rename = [](const char* from, const char* to) {
        changeCounter();
        return ovsys::real().rename(from, to);
    };
    table.unlink = [](const char* path) {
        changeCounter();
        return ovsys::real().unlink(path);
    };
    table.unlinkat = [](int fd, const char* name, int flags) {
        changeCounter();
        return ovsys::real().unlinkat(fd, name, flags);
    };
    table.rmdir = [](const char* path) {
        changeCounter();
        return ovsys::real().rmdir(path);
    };
    table.mkdir = [](const char* path, mode_t mode) {
        changeCounter();
        return ovsys::real().mkdir(path, mode);
    };
}
