#include "RepositoryTestSupport.h"

#include "Registry.h"
#include "RunCommand.h"
#include "repositoryhandler.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
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
    out->f_bsize = out->f_frsize = 4096;
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

bool staged(const char* path) {
    return std::strstr(path, "/.repository-staging/") != nullptr;
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
    calls.table().cloneFile = [](int, int) {
        errno = EXDEV;
        return -1;
    };
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

bool mountFileSystem(FileSystemKind kind, const std::string& path, const std::string& scratch) {
    if (kind == FileSystemKind::Tmpfs)
        return mountTmpfs(path, "16m");
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

bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
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
