// The copier of resource trees. A tree holding every kind of entry is copied between and within
// file systems of several kinds and must arrive identical, compared entry by entry in a manifest,
// while its origin stays untouched, its access times too. A system call that fails or lies on the
// way fails the copy with its errno, logged with the entry, and leaves the origin as it was.
#include "TreeCopy.h"
#include "RepositoryTestSupport.h"
#include "RunCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using treecopy::Flush;
using treecopy::Options;
using treecopy::TreeCopy;

constexpr uid_t kOwner = 4321;
constexpr time_t kOldAccess = 1000000000; // older than any modification: relatime would move it
constexpr off_t kSparseSize = 64 << 20;
constexpr off_t kSparseSecond = 40 << 20;
constexpr long kSmallAllocation = 1 << 20; // bytes the copy of the sparse file may take up

// A descriptor closed when it goes out of scope.
struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

void must(bool done, const std::string& what) {
    if (!done)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A path that reaches name in the open directory dirFd, however deep that lies.
std::string viaFd(int dirFd, const std::string& name) {
    return dirFd == AT_FDCWD ? name : "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
}

int openDir(int dirFd, const std::string& name) {
    return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOATIME);
}

void put(int dirFd, const std::string& name, const std::string& content, mode_t mode = 0644) {
    Fd file(openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode));
    must(file.fd >= 0 &&
             write(file.fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
         "write " + name);
    must(fchmod(file.fd, mode) == 0, "mode of " + name);
}

// An access control list as the kernel keeps it in "system.posix_acl_*": version 2, then
// entries of tag, permissions and id, ordered by tag.
std::string acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
    std::string value("\x02\0\0\0", 4);
    for (const auto& [tag, perm, id] : entries) {
        uint16_t head[2] = {static_cast<uint16_t>(tag), static_cast<uint16_t>(perm)};
        value.append(reinterpret_cast<const char*>(head), sizeof head);
        value.append(reinterpret_cast<const char*>(&id), sizeof id);
    }
    return value;
}

void setAttribute(int dirFd, const std::string& name, const char* key, const std::string& value) {
    must(lsetxattr(viaFd(dirFd, name).c_str(), key, value.data(), value.size(), 0) == 0,
         std::string(key) + " on " + name);
}

// Calls visit for every entry below the open directory dirFd, each directory after its content.
using Visit = std::function<void(int dirFd, const std::string& name, const std::string& path,
                                 const struct stat& st)>;

void walk(int dirFd, const std::string& prefix, const Visit& visit) {
    DIR* dir = fdopendir(openDir(dirFd, "."));
    must(dir != nullptr, "list " + prefix);
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    for (const std::string& name : names) {
        struct stat st;
        must(fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0, "status " + name);
        if (S_ISDIR(st.st_mode)) {
            Fd sub(openDir(dirFd, name));
            must(sub.fd >= 0, "open " + prefix + name);
            walk(sub.fd, prefix + name + "/", visit);
        }
        visit(dirFd, name, prefix + name, st);
    }
}

// Visits root itself after everything below it, as the entry "." of its parent.
void walkAll(const std::string& root, const Visit& visit) {
    std::filesystem::path path(root);
    Fd parent(openDir(AT_FDCWD, path.parent_path()));
    Fd top(openDir(AT_FDCWD, root));
    must(parent.fd >= 0 && top.fd >= 0, "open " + root);
    walk(top.fd, "", visit);
    struct stat st;
    must(fstat(top.fd, &st) == 0, "status " + root);
    visit(parent.fd, path.filename(), ".", st);
}

// Builds at root (new) a tree of every kind of entry, with one file linked from outside (a
// directory beside it). Owners, devices and the setuid bit need root and are left out otherwise.
void buildTree(const std::string& root, const std::string& outside) {
    const bool privileged = geteuid() == 0;
    const gid_t group = privileged ? kOwner : getegid();
    must(mkdir(root.c_str(), 0755) == 0 && mkdir(outside.c_str(), 0755) == 0, "make " + root);
    Fd top(openDir(AT_FDCWD, root)), out(openDir(AT_FDCWD, outside));
    const int t = top.fd;
    put(t, "file", "some bytes\n", 0640);
    put(t, "empty", "", 0600);
    put(t, "exec", "#!/bin/sh\nexit 0\n", 0755);
    {
        Fd sparse(openat(t, "sparse", O_WRONLY | O_CREAT | O_EXCL, 0644));
        std::string head(4096, 'h'), middle(8192, 'm');
        must(pwrite(sparse.fd, head.data(), head.size(), 0) == 4096 &&
                 pwrite(sparse.fd, middle.data(), middle.size(), kSparseSecond) == 8192 &&
                 ftruncate(sparse.fd, kSparseSize) == 0,
             "sparse");
    }
    std::mt19937_64 random(20240611);
    std::string large(8 << 20, '\0');
    for (size_t at = 0; at < large.size(); at += 8) {
        uint64_t word = random();
        memcpy(&large[at], &word, 8);
    }
    put(t, "large", large);
    must(symlinkat("file", t, "link") == 0 && symlinkat("no/such/target", t, "dangling") == 0 &&
             mkfifoat(t, "fifo", 0620) == 0,
         "link, fifo");
    if (privileged)
        must(mknodat(t, "null", S_IFCHR | 0666, makedev(1, 3)) == 0, "device");
    {
        Fd sock(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string at = viaFd(t, "socket");
        must(at.size() < sizeof address.sun_path, "socket path");
        memcpy(address.sun_path, at.c_str(), at.size() + 1);
        must(bind(sock.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "socket");
    }
    // Two names inside the tree, and one name in the tree of a file also linked from outside.
    must(mkdirat(t, "d", 0755) == 0, "d");
    Fd d(openDir(t, "d"));
    put(t, "hard1", "linked twice");
    put(out.fd, "other", "linked from outside");
    must(linkat(t, "hard1", d.fd, "hard2", 0) == 0 && linkat(out.fd, "other", t, "shared", 0) == 0,
         "hard links");
    put(t, "acl", "with an access control list");
    const uint32_t none = ~0u;
    setAttribute(
        t, "acl", "system.posix_acl_access",
        acl({{1, 6, none}, {2, 5, kOwner}, {4, 4, none}, {0x10, 5, none}, {0x20, 0, none}}));
    must(mkdirat(t, "acldir", 0755) == 0, "acldir");
    setAttribute(
        t, "acldir", "system.posix_acl_default",
        acl({{1, 7, none}, {4, 5, none}, {8, 7, kOwner}, {0x10, 7, none}, {0x20, 5, none}}));
    setAttribute(t, "file", "user.note", std::string("a value\0with a zero", 19));
    setAttribute(t, "file", "user.big", std::string(3000, 'v'));
    setAttribute(t, "d", "user.dir", "on a directory");
    for (const char* odd : {"new\nline", "quo\"te", "back\\slash", "$(x)", "\xff", "-dash", " "})
        put(t, odd, odd);
    // Deeper than PATH_MAX: made step by step relative to the directory above.
    Fd level(openDir(t, "."));
    for (int depth = 0; depth < 24; ++depth) {
        std::string name(200, static_cast<char>('a' + depth));
        must(mkdirat(level.fd, name.c_str(), 0755) == 0, "deep");
        Fd below(openDir(level.fd, name));
        std::swap(level.fd, below.fd);
    }
    put(level.fd, "deep", "at the bottom");
    must(symlinkat("../deep", level.fd, "deeplink") == 0, "deep link");
    // Modes, owners, a setgid directory whose entries were given other groups and modes.
    must(mkdirat(t, "private", 0700) == 0 && mkdirat(t, "setgid", 0755) == 0, "dirs");
    Fd priv(openDir(t, "private")), sgid(openDir(t, "setgid"));
    put(priv.fd, "p", "private", 0600);
    must(fchown(sgid.fd, static_cast<uid_t>(-1), group) == 0 && fchmod(sgid.fd, 02775) == 0,
         "setgid");
    put(sgid.fd, "inherited", "group of the directory");
    put(sgid.fd, "own-group", "group of the process");
    must(mkdirat(sgid.fd, "plain", 0755) == 0 && fchmodat(sgid.fd, "plain", 0755, 0) == 0 &&
             fchownat(sgid.fd, "own-group", static_cast<uid_t>(-1), getegid(), 0) == 0,
         "inside setgid");
    if (privileged) {
        put(t, "owned", "by another", 0644);
        put(t, "setuid", "setuid, by another", 0644);
        must(symlinkat("owned", t, "ownedlink") == 0, "ownedlink");
        for (const char* name : {"owned", "setuid", "ownedlink", "private", "fifo"})
            must(fchownat(t, name, kOwner, kOwner, AT_SYMLINK_NOFOLLOW) == 0, name);
        must(fchmodat(t, "setuid", 04750, 0) == 0, "setuid");
    }
    // Times with nanoseconds everywhere; access times old enough that any read would move them.
    long n = 0;
    walkAll(root, [&](int dirFd, const std::string& name, const std::string&, const struct stat&) {
        ++n;
        struct timespec times[2] = {{kOldAccess, 100000000 + n}, {1500000000 + n, 200000000 + n}};
        must(utimensat(dirFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "times " + name);
    });
}

// Bytes shown as text: printable ones as they are, others as \xNN; long ones by their hash and
// their end.
std::string escaped(const std::string& bytes) {
    std::ostringstream out;
    if (bytes.size() > 100)
        out << "(" << bytes.size() << " bytes, hash " << std::hash<std::string>()(bytes) << ") ...";
    for (unsigned char c : bytes.substr(bytes.size() > 100 ? bytes.size() - 60 : 0))
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out << c;
        else
            out << "\\x" << std::hex << std::setw(2) << std::setfill('0') << int(c) << std::dec;
    return out.str();
}

// A hash of the content, chunk by chunk (holes are read as the zeros they are).
std::string hashOf(int dirFd, const std::string& name) {
    Fd file(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOATIME));
    must(file.fd >= 0, "open " + name);
    size_t hash = 0;
    std::vector<char> buffer(1 << 20);
    ssize_t got;
    while ((got = read(file.fd, buffer.data(), buffer.size())) > 0)
        hash = hash * 1000003 +
               std::hash<std::string_view>()(std::string_view(buffer.data(), size_t(got)));
    must(got == 0, "read " + name);
    return std::to_string(hash);
}

// The extended attributes the copy promises to keep, with their values.
std::string attributesOf(const std::string& path) {
    std::vector<char> names(65536), value(65536);
    ssize_t size = llistxattr(path.c_str(), names.data(), names.size());
    if (size < 0)
        return errno == ENOTSUP ? "" : " xattrs " + std::string(strerror(errno));
    std::vector<std::string> listed;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(strlen(&names[at])) + 1)
        listed.push_back(&names[static_cast<size_t>(at)]);
    std::sort(listed.begin(), listed.end());
    std::string text;
    for (const std::string& name : listed) {
        if (name.compare(0, 9, "security.") == 0 || name.compare(0, 8, "trusted.") == 0)
            continue; // the file system's own (xfs shows its lists there again)
        ssize_t length = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        text += " " + name + "=" +
                (length < 0 ? strerror(errno) : escaped(std::string(value.data(), length)));
    }
    return text;
}

// Every entry below root (root itself as "."), described by everything a copy must keep.
using Manifest = std::map<std::string, std::string>;

Manifest manifestOf(const std::string& root) {
    Manifest rows;
    std::map<ino_t, std::vector<std::string>> inodes;
    walkAll(root, [&](int dirFd, const std::string& name, const std::string& path,
                      const struct stat& st) {
        std::ostringstream row;
        mode_t type = st.st_mode & S_IFMT;
        row << (type == S_IFDIR    ? "dir"
                : type == S_IFREG  ? "file"
                : type == S_IFLNK  ? "link"
                : type == S_IFIFO  ? "fifo"
                : type == S_IFCHR  ? "chr"
                : type == S_IFSOCK ? "socket"
                                   : "other")
            << " mode " << std::oct << (st.st_mode & 07777) << std::dec << " owner " << st.st_uid
            << ':' << st.st_gid << " mtime " << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
        if (type != S_IFLNK) // reading a link's target is an access
            row << " atime " << st.st_atim.tv_sec << '.' << st.st_atim.tv_nsec;
        if (type == S_IFREG)
            row << " size " << st.st_size << " hash " << hashOf(dirFd, name);
        if (type == S_IFCHR)
            row << " rdev " << major(st.st_rdev) << ':' << minor(st.st_rdev);
        if (type == S_IFLNK) {
            std::vector<char> target(PATH_MAX);
            ssize_t length = readlinkat(dirFd, name.c_str(), target.data(), target.size());
            must(length >= 0, "target of " + path);
            row << " target " << escaped(std::string(target.data(), length));
        }
        row << attributesOf(viaFd(dirFd, name));
        rows[path] = row.str();
        if (type != S_IFDIR && st.st_nlink > 1)
            inodes[st.st_ino].push_back(path);
    });
    for (auto& [inode, paths] : inodes)
        if (paths.size() > 1) {
            std::sort(paths.begin(), paths.end());
            for (const std::string& path : paths)
                rows[path] += " linked with " + escaped(paths.front());
        }
    return rows;
}

// The entries that differ, as text ("" when none): the first ten, then their number.
std::string differences(const Manifest& wanted, const Manifest& found) {
    std::map<std::string, std::pair<std::string, std::string>> both;
    for (const auto& [path, row] : wanted)
        both[path].first = row;
    for (const auto& [path, row] : found)
        both[path].second = row;
    std::string text;
    int differing = 0;
    for (const auto& [path, rows] : both)
        if (rows.first != rows.second && ++differing <= 10)
            text +=
                escaped(path) + "\n  wanted: " + rows.first + "\n  found:  " + rows.second + "\n";
    return differing > 10 ? text + std::to_string(differing) + " entries differ\n" : text;
}

} // namespace

namespace {

// One copy of the tree: from a fresh file system of one kind onto another (or the same one).
struct CopyRow {
    const char* name;
    FileSystemKind from;
    FileSystemKind to;
    bool sameFileSystem;
    Options options;
    bool inheriting = false; // the copy's directory hands a default access control list down
    bool setgid = false;     // the copy's directory is set-group-ID, of a group of its own
};

// In a child of its own, with mounts of its own below base; its failures counted by check.
int copyScenario(const std::string& base, const CopyRow& row) {
    std::string a = base + "/a", b = row.sameFileSystem ? a : base + "/b";
    for (const char* dir : {"/a", "/b", "/sa", "/sb"})
        mkdir((base + dir).c_str(), 0755);
    if (!enterPrivateMountNamespace() || !mountFileSystem(row.from, a, base + "/sa", "256m") ||
        (!row.sameFileSystem && !mountFileSystem(row.to, b, base + "/sb", "256m")))
        return kNoNamespace;
    std::string origin = a + "/r", copy = b + "/in/copy", name = std::string(row.name) + ": ";
    try {
        buildTree(origin, a + "/outside");
        must(mkdir((b + "/in").c_str(), 0755) == 0, "the copy's directory");
        if (row.inheriting)
            setAttribute(
                AT_FDCWD, b + "/in", "system.posix_acl_default",
                acl({{1, 7, ~0u}, {2, 7, kOwner}, {4, 7, ~0u}, {0x10, 7, ~0u}, {0x20, 7, ~0u}}));
        if (row.setgid)
            must(chown((b + "/in").c_str(), static_cast<uid_t>(-1), 1234) == 0 &&
                     chmod((b + "/in").c_str(), 02755) == 0,
                 "set-group-ID");
        Manifest before = manifestOf(origin);
        umask(077); // the copy's modes are the origin's, whatever the umask
        SyslogCapture log;
        TreeCopy copier(row.options);
        int copied = copier.copy(origin, copy), flushed = copied == 0 ? copier.flush() : -1;
        std::string logged;
        for (const std::string& text : log.messages())
            logged += "\n  " + text;
        check(copied == 0 && flushed == 0, name + "copy " + std::to_string(copied) + ", flush " +
                                               std::to_string(flushed) + logged);
        std::string changed = differences(before, manifestOf(origin));
        check(changed.empty(), name + "the origin changed:\n" + changed);
        std::string differing = differences(before, manifestOf(copy));
        check(differing.empty(), name + "the copy differs:\n" + differing);
        struct stat sparse {};
        bool found = lstat((copy + "/sparse").c_str(), &sparse) == 0;
        long taken = sparse.st_blocks * 512;
        check(found && taken <= kSmallAllocation,
              name + "the sparse copy takes " + std::to_string(taken) + " bytes");
    } catch (const std::exception& e) {
        check(false, name + e.what());
    }
    return childFailures();
}

} // namespace

TEST(TreeCopy, EveryKindOfEntryArrivesAsItWasOnEveryFileSystem) {
    using K = FileSystemKind;
    const std::vector<CopyRow> rows = {
        {"tmpfs to another tmpfs", K::Tmpfs, K::Tmpfs, false, {}},
        {"within one tmpfs", K::Tmpfs, K::Tmpfs, true, {}},
        {"tmpfs to ext4", K::Tmpfs, K::Ext4, false, {}},
        {"tmpfs to xfs", K::Tmpfs, K::Xfs, false, {}},
        {"within one xfs (clones)", K::Xfs, K::Xfs, true, {}},
        {"within one ext4, verified on the device, files flushed",
         K::Ext4,
         K::Ext4,
         true,
         {true, Flush::Files}},
        {"tmpfs to ext4, verified on the device",
         K::Tmpfs,
         K::Ext4,
         false,
         {true, Flush::FileSystem}},
        {"xfs to tmpfs, files flushed", K::Xfs, K::Tmpfs, false, {false, Flush::Files}},
        {"tmpfs to ext4, below a default ACL", K::Tmpfs, K::Ext4, false, {}, true},
        {"tmpfs to another tmpfs, into a set-group-ID directory",
         K::Tmpfs,
         K::Tmpfs,
         false,
         {},
         false,
         true},
    };
    std::string skipped;
    for (const CopyRow& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir base;
        int result = runInChild([&] { return copyScenario(base.path(), row); });
        if (result == kNoNamespace)
            skipped += std::string(" \"") + row.name + "\"";
        else
            EXPECT_EQ(result, 0) << "failed checks, see the messages above";
    }
    if (!skipped.empty())
        GTEST_SKIP() << "no private mount namespace with the file systems of" << skipped;
}

namespace {

std::string originRoot, copyRoot;

// The lie of the row "the origin changes": the first write into the copy appends a byte to the
// file of the origin it copies.
void changeOrigin(const std::string& path) {
    static std::string changed;
    if (path.compare(0, copyRoot.size(), copyRoot) != 0 || changed == copyRoot)
        return;
    changed = copyRoot;
    Fd origin(open((originRoot + path.substr(copyRoot.size())).c_str(), O_WRONLY | O_APPEND));
    if (origin.fd < 0 || write(origin.fd, "+", 1) != 1)
        ADD_FAILURE() << "the origin of " << path << " could not be changed";
}

// Where a row copies to, with which options, and whether its fault acts in copy or in flush.
struct Setup {
    bool sameFileSystem;
    Options options;
    bool atFlush;
};
const Setup kApart{false, {}, false}, kWithin{true, {}, false},
    kWriteback{false, {false, Flush::Files}, false}, kFsync{false, {false, Flush::Files}, true},
    kSyncfs{false, {}, true}, kFromDevice{false, {true, Flush::FileSystem}, true};

struct FaultRow {
    const char* name;
    SeamFault fault;
    int expected;       // the errno answered by copy, or by flush
    const char* logged; // in the expected log line (the entry's path ends with it, then a quote)
    Setup setup = kApart;
};

// A directory on a file system other than that of /tmp, removed at the end.
struct ShmDir {
    ShmDir() {
        char pattern[] = "/dev/shm/treecopy-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path = pattern;
    }
    ~ShmDir() {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

} // namespace

TEST(TreeCopyFaults, AFailingOrLyingCallFailsTheCopyWithItsErrnoAndSparesTheOrigin) {
    const std::vector<FaultRow> rows = {
        {"an origin file cannot be opened", {"openat", "/o/r/file", EACCES}, EACCES, "r/file\""},
        {"an origin file fails midway", {"pread", "/o/r/large", EIO, 2}, EIO, "r/large\""},
        {"no room for the data", {"pwrite", "/d/r/large", ENOSPC, 1}, ENOSPC, "r/large\""},
        {"the size cannot be set", {"ftruncate", "/d/r/sparse", EIO}, EIO, "r/sparse\""},
        {"the origin's status cannot be read", {"fstatat", "/o/r", EACCES}, EACCES, "o/r\""},
        {"an entry's status cannot be read", {"fstatat", "/o/r/file", EIO}, EIO, "r/file\""},
        {"a directory cannot be opened", {"openat", "/o/r/d", EACCES}, EACCES, "r/d\""},
        {"a copy cannot be created", {"openat", "/d/r/file", EDQUOT}, EDQUOT, "r/file\""},
        {"a directory cannot be made", {"mkdirat", "/d/r/d", ENOSPC}, ENOSPC, "r/d\""},
        {"a link cannot be made", {"symlinkat", "/d/r/dangling", EIO}, EIO, "r/dangling\""},
        {"a pipe cannot be made", {"mknodat", "/d/r/fifo", EPERM}, EPERM, "r/fifo\""},
        {"a pipe cannot be reached", {"openat", "/o/r/fifo", EACCES}, EACCES, "r/fifo\""},
        {"a hard link cannot be made", {"linkat", "/d/r/", EMLINK}, EMLINK, "/hard"},
        {"a listing breaks", {"readdir", "/o/r/d", EIO}, EIO, "r/d\""},
        {"an owner cannot be set", {"owner", "/d/r/owned", EIO}, EIO, "r/owned\""},
        {"a pipe's owner cannot be set", {"owner", "/d/r/fifo", EIO}, EIO, "r/fifo\""},
        {"a mode cannot be set", {"mode", "/d/r/private", EIO}, EIO, "r/private\""},
        {"a pipe's mode cannot be set", {"mode", "/d/r/fifo", EIO}, EIO, "r/fifo\""},
        {"times cannot be set", {"times", "/d/r/link", EIO}, EIO, "r/link\""},
        {"a directory's times cannot be set",
         {"times", "/d/r/setgid/plain", EIO},
         EIO,
         "r/setgid/plain\""},
        {"attributes cannot be listed", {"listxattr", "/o/r/acldir", EIO}, EIO, "r/acldir\""},
        {"an attribute cannot be read", {"getxattr", "/o/r/file", EIO}, EIO, "r/file\""},
        {"a user attribute refused", {"setxattr", "/d/r/file", EOPNOTSUPP}, EOPNOTSUPP, "r/file\""},
        {"a directory's attribute refused", {"setxattr", "/d/r/d", ENOTSUP}, ENOTSUP, "r/d\""},
        {"an access control list refused", {"setxattr", "/d/r/acl", EIO}, EIO, "r/acl\""},
        {"the read-back differs", {"pread", "/d/r/large", kLie}, EIO, "r/large\""},
        {"the read-back fails", {"pread", "/d/r/large", EBADMSG}, EBADMSG, "r/large\""},
        // Where the file system cannot clone, a copy within it is read back like any other.
        {"read back wrong within one file system",
         {"pread", "/d/r/large", kLie},
         EIO,
         "r/large\"",
         kWithin},
        {"no writeback", {"syncFileRange", "/d/r/large", EIO}, EIO, "r/large\"", kWriteback},
        {"fsync fails", {"fsync", "/d/r/large", EIO}, EIO, "r/large\"", kFsync},
        {"a copy cannot be opened to flush", {"openat", "/d/r/file", EIO}, EIO, "r/file\"", kFsync},
        {"a copy cannot be listed to flush", {"readdir", "/d/r/d", EIO}, EIO, "r/d\"", kFsync},
        {"a copy's status unread to flush", {"fstatat", "/d/r/d", EIO}, EIO, "r/d\"", kFsync},
        {"syncfs fails", {"syncfs", "", EIO}, EIO, "d/r\"", kSyncfs},
        {"device read wrong", {"pread", "/d/r/large", kLie}, EIO, "r/large\"", kFromDevice},
        {"device read fails", {"pread", "/d/r/large", EIO}, EIO, "r/large\"", kFromDevice},
        {"syncfs fails before the device read", {"syncfs", "", EIO}, EIO, "d/r\"", kFromDevice},
        {"no dropping of cached pages", {"fadvise", "/d/r/", EIO}, EIO, "/d/r/", kFromDevice},
        {"a read interrupted midway goes on", {"pread", "/o/r/large", EINTR, 1}, 0, ""},
        {"a write interrupted midway goes on", {"pwrite", "/d/r/large", EINTR, 1}, 0, ""},
        // Changes the origin: the last row.
        {"the origin changes", {"pwrite", "/d/r/large", kLie}, EAGAIN, "r/large\""},
    };
    TempDir base;
    ShmDir other;
    struct stat here, there;
    if (other.path.empty() || stat(other.path.c_str(), &there) != 0 ||
        stat(base.path().c_str(), &here) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    originRoot = base / "o/r";
    ASSERT_EQ(mkdir((base / "o").c_str(), 0755), 0);
    ASSERT_NO_THROW(buildTree(originRoot, base / "outside"));
    const Manifest before = manifestOf(originRoot);
    for (size_t i = 0; i < rows.size(); ++i) {
        const FaultRow& row = rows[i];
        SCOPED_TRACE(row.name);
        if (row.fault.call == std::string("owner") && geteuid() != 0)
            continue; // only root gives entries to other owners
        std::string top =
            (row.setup.sameFileSystem ? base.path() : other.path) + "/" + std::to_string(i);
        ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((top + "/d").c_str(), 0755), 0);
        copyRoot = top + "/d/r";
        SyslogCapture log;
        int result = -1;
        {
            SeamFaults faults;
            SeamFaults::onLie = changeOrigin;
            TreeCopy copier(row.setup.options);
            if (!row.setup.atFlush)
                faults.arm({row.fault});
            result = copier.copy(originRoot, copyRoot);
            if (result == 0) {
                if (row.setup.atFlush)
                    faults.arm({row.fault});
                result = copier.flush();
            }
            EXPECT_TRUE(faults.met());
        }
        EXPECT_EQ(result, row.expected) << ::testing::PrintToString(log.messages());
        EXPECT_TRUE(row.expected == 0 || loggedLines(log, row.logged, row.expected) > 0)
            << ::testing::PrintToString(log.messages());
        if (row.expected == 0) {
            EXPECT_EQ(differences(before, manifestOf(copyRoot)), "");
        }
        if (row.fault.call != "pwrite" || row.fault.error != kLie) { // it changes its origin
            EXPECT_EQ(differences(before, manifestOf(originRoot)), "") << "the origin changed";
        }
        std::error_code ignored;
        std::filesystem::remove_all(top, ignored);
    }
}
