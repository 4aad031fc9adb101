// The walk of a tree copy: every entry of the origin reached by descriptor, made again in the
// copy by kind, hard links inside the tree linked again; and the flush that makes the copies
// durable (and, when asked, checks them once more from the device).
#include "TreeCopy.h"

#include "CopyParts.h"
#include "OVPaths.h"
#include "OVSyscalls.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <set>
#include <unistd.h>

namespace treecopy {

namespace {

constexpr int kDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// openat that leaves the access time alone where the process may (owner or privileged).
int openQuietly(int dir, const char* name, int flags) {
    int fd = ovsys::table().openat(dir, name, flags | O_NOATIME, 0);
    if (fd < 0 && errno == EPERM)
        fd = ovsys::table().openat(dir, name, flags, 0);
    return fd;
}

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The copy of one tree.
class Walk {
public:
    Walk(DataCopier& data, const Options& options,
         std::map<std::pair<dev_t, ino_t>, FileRecord>& records, int top, bool sameFileSystem,
         const NewEntries& made)
        : data(data), options(options), records(records), top(top), sameFileSystem(sameFileSystem),
          made(made) {}

    // Copies the entry name of fromDir (status st) to the new entry toName of toDir.
    int entry(int fromDir, const std::string& name, int toDir, const std::string& toName,
              const std::string& shown, const struct stat& st);
    std::vector<std::string> place; // the copy's path below top, as components

private:
    int directory(int fromDir, const std::string& name, int toDir, const std::string& toName,
                  const std::string& shown, const struct stat& st);
    int file(int fromDir, const std::string& name, int toDir, const std::string& toName,
             const std::string& shown, const struct stat& st);
    int link(int fromDir, const std::string& name, int toDir, const std::string& toName,
             const std::string& shown, const struct stat& st);
    int special(int fromDir, const std::string& name, int toDir, const std::string& toName,
                const std::string& shown, const struct stat& st);
    int linkAgain(const std::vector<std::string>& first, int toDir, const std::string& toName,
                  const std::string& shown);

    DataCopier& data;
    const Options& options;
    std::map<std::pair<dev_t, ino_t>, FileRecord>& records;
    int top;
    bool sameFileSystem;
    NewEntries made;
    // Where the first name of an origin inode with more than one link was copied.
    std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> firstCopies;
};

int Walk::entry(int fromDir, const std::string& name, int toDir, const std::string& toName,
                const std::string& shown, const struct stat& st) {
    // Also between entries: a tree of many small files ends as promptly as a large file.
    if (int error = stoppedOnRequest(shown))
        return error;
    if (S_ISDIR(st.st_mode))
        return directory(fromDir, name, toDir, toName, shown, st);
    auto key = std::make_pair(st.st_dev, st.st_ino);
    if (st.st_nlink > 1) {
        auto first = firstCopies.find(key);
        if (first != firstCopies.end())
            return linkAgain(first->second, toDir, toName, shown);
    }
    int result = S_ISREG(st.st_mode)   ? file(fromDir, name, toDir, toName, shown, st)
                 : S_ISLNK(st.st_mode) ? link(fromDir, name, toDir, toName, shown, st)
                                       : special(fromDir, name, toDir, toName, shown, st);
    if (result == 0 && st.st_nlink > 1)
        firstCopies[key] = place;
    return result;
}

int Walk::directory(int fromDir, const std::string& name, int toDir, const std::string& toName,
                    const std::string& shown, const struct stat& st) {
    Fd from(openQuietly(fromDir, name.c_str(), kDirectory));
    if (from.get() < 0)
        return copyFailed(shown, "open", errno);
    if (ovsys::table().mkdirat(toDir, toName.c_str(), 0700) != 0)
        return copyFailed(shown, "make the directory", errno);
    Fd to(ovsys::table().openat(toDir, toName.c_str(), kDirectory, 0));
    if (to.get() < 0)
        return copyFailed(shown, "open the copy", errno);
    std::vector<std::string> names;
    if (int error = readDirectoryAt(from.get(), names, true))
        return copyFailed(shown, "list", error);
    for (const std::string& child : names) {
        struct stat cst;
        std::string childShown = shown + "/" + child;
        if (ovsys::table().fstatat(from.get(), child.c_str(), &cst, AT_SYMLINK_NOFOLLOW) != 0)
            return copyFailed(childShown, "status", errno);
        place.push_back(child);
        int result = entry(from.get(), child, to.get(), child, childShown, cst);
        place.pop_back();
        if (result != 0)
            return result;
    }
    return copyAttributes(from.get(), toDir, toName.c_str(), to.get(), st, shown, Handles::Opened,
                          made);
}

int Walk::file(int fromDir, const std::string& name, int toDir, const std::string& toName,
               const std::string& shown, const struct stat& st) {
    // Non-blocking: should a pipe have taken the file's name meanwhile, opening it never waits.
    // The status from the listing stands for the file: the copier checks at the end that the
    // file open is still the same file, unchanged.
    Fd from(openQuietly(fromDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (from.get() < 0)
        return copyFailed(shown, "open", errno);
    const struct stat& now = st;
    // Made with its final mode where the mask and the directory let it be, saving a change of
    // mode; the copy is writable through this descriptor whatever its mode.
    mode_t mode = st.st_mode & 0777;
    bool modeSet = !made.inherits && (st.st_mode & 07000) == 0 && (mode & made.umask) == 0;
    Fd to(ovsys::table().openat(toDir, toName.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                modeSet ? mode : 0600));
    if (to.get() < 0)
        return copyFailed(shown, "create the copy", errno);
    FileRecord record;
    if (int error = data.copy(from.get(), now, to.get(), sameFileSystem,
                              options.flush == Flush::Files, record, shown))
        return error;
    if (int error = copyAttributes(from.get(), toDir, toName.c_str(), to.get(), now, shown,
                                   Handles::Opened, made, modeSet))
        return error;
    struct stat made;
    if (options.verifyOnDevice && !record.shared) {
        if (ovsys::table().fstat(to.get(), &made) != 0)
            return copyFailed(shown, "status of the copy", errno);
        records[std::make_pair(made.st_dev, made.st_ino)] = std::move(record);
    }
    return 0;
}

int Walk::link(int fromDir, const std::string& name, int toDir, const std::string& toName,
               const std::string& shown, const struct stat& st) {
    std::vector<char> target(static_cast<size_t>(st.st_size) + 2);
    for (;;) {
        ssize_t size =
            ovsys::table().readlinkat(fromDir, name.c_str(), target.data(), target.size());
        if (size < 0)
            return copyFailed(shown, "read the link", errno);
        if (static_cast<size_t>(size) < target.size()) {
            target.resize(static_cast<size_t>(size));
            break;
        }
        target.resize(target.size() * 2); // grown meanwhile
    }
    target.push_back('\0');
    if (ovsys::table().symlinkat(target.data(), toDir, toName.c_str()) != 0)
        return copyFailed(shown, "make the link", errno);
    return copyAttributes(-1, toDir, toName.c_str(), -1, st, shown, Handles::None, made);
}

// A pipe, socket or device, made again as what it is; never opened for reading.
int Walk::special(int fromDir, const std::string& name, int toDir, const std::string& toName,
                  const std::string& shown, const struct stat& st) {
    if (ovsys::table().mknodat(toDir, toName.c_str(), (st.st_mode & S_IFMT) | 0600, st.st_rdev) !=
        0)
        return copyFailed(shown, "make it again", errno);
    Fd from(ovsys::table().openat(fromDir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
    Fd to(ovsys::table().openat(toDir, toName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
    if (from.get() < 0 || to.get() < 0)
        return copyFailed(shown, "open", errno);
    return copyAttributes(from.get(), toDir, toName.c_str(), to.get(), st, shown, Handles::PathOnly,
                          made);
}

// Links the copy made for an earlier name of the same origin inode at toName.
int Walk::linkAgain(const std::vector<std::string>& first, int toDir, const std::string& toName,
                    const std::string& shown) {
    int dir = top;
    std::vector<std::unique_ptr<Fd>> opened;
    for (size_t level = 0; level + 1 < first.size(); ++level) {
        dir = ovsys::table().openat(dir, first[level].c_str(),
                                    O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        if (dir < 0)
            return copyFailed(shown, "find the first copy of the linked file", errno);
        opened.push_back(std::make_unique<Fd>(dir));
    }
    if (ovsys::table().linkat(dir, first.back().c_str(), toDir, toName.c_str(), 0) != 0)
        return copyFailed(shown, "link", errno);
    return 0;
}

// Visits every regular file and directory of the copied tree name in dir (directories after
// their entries), each opened read-only without following links.
int visitCopy(int dir, const std::string& name, const std::string& shown,
              const TreeCopy::Visit& visit) {
    struct stat st;
    if (ovsys::table().fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return copyFailed(shown, "status of the copy", errno);
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return 0;
    int flags = S_ISDIR(st.st_mode) ? kDirectory : O_RDONLY | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(openQuietly(dir, name.c_str(), flags));
    if (fd.get() < 0)
        return copyFailed(shown, "open the copy", errno);
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        if (int error = readDirectoryAt(fd.get(), names, true))
            return copyFailed(shown, "list the copy", error);
        for (const std::string& child : names)
            if (int error = visitCopy(fd.get(), child, shown + "/" + child, visit))
                return error;
    }
    return visit(fd.get(), st, shown);
}

// Whether what is made in dir inherits access control lists: dir has a default list, or it cannot
// be told (then the copy removes whatever it inherited).
bool inheritsAccessLists(int dir) {
    if (ovsys::table().fgetxattr(dir, "system.posix_acl_default", nullptr, 0) >= 0)
        return true;
    return errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP;
}

} // namespace

TreeCopy::TreeCopy(Options options) : options(options), data(options.verifyOnDevice) {}

TreeCopy::~TreeCopy() = default;

int TreeCopy::copy(const std::string& from, const std::string& to, const std::string& shownName) {
    std::string shown = shownName.empty() ? from : shownName;
    Fd fromDir(ovsys::table().open(parentOf(from).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
    if (fromDir.get() < 0)
        return copyFailed(shown, "open its directory", errno);
    Fd toDir(ovsys::table().open(parentOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (toDir.get() < 0)
        return copyFailed(to, "open the directory of the copy", errno);
    struct stat st, there;
    std::string name = nameOf(from), toName = nameOf(to);
    if (ovsys::table().fstatat(fromDir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return copyFailed(shown, "status", errno);
    if (ovsys::table().fstat(toDir.get(), &there) != 0)
        return copyFailed(to, "status of the directory of the copy", errno);
    // New entries belong to the copier, in its group or, below a setgid directory, in that
    // directory's group; an origin entry owned alike needs no change of owner.
    NewEntries entries{geteuid(), (there.st_mode & S_ISGID) ? there.st_gid : getegid(),
                       inheritsAccessLists(toDir.get()), currentUmask()};
    Walk walk(data, options, records, toDir.get(), st.st_dev == there.st_dev, entries);
    walk.place.push_back(toName);
    int result = walk.entry(fromDir.get(), name, toDir.get(), toName, shown, st);
    if (result == 0) // a partial copy is the caller's to discard, never to flush
        pending.push_back(Copied{to, there.st_dev});
    return result;
}

int TreeCopy::flushFileSystems() {
    std::set<dev_t> flushed;
    for (const Copied& copied : pending) {
        if (!flushed.insert(copied.device).second)
            continue;
        std::string parent = parentOf(copied.path);
        Fd dir(ovsys::table().open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (dir.get() < 0 || ovsys::table().syncfs(dir.get()) != 0)
            return copyFailed(copied.path, "write to disk", errno);
    }
    return 0;
}

int TreeCopy::visitCopies(const Visit& visit) {
    for (const Copied& copied : pending) {
        Fd dir(ovsys::table().open(parentOf(copied.path).c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (dir.get() < 0)
            return copyFailed(copied.path, "open its directory", errno);
        if (int error = visitCopy(dir.get(), nameOf(copied.path), copied.path, visit))
            return error;
    }
    return 0;
}

int TreeCopy::flushFiles() {
    return visitCopies([](int fd, const struct stat&, const std::string& shown) {
        return ovsys::table().fsync(fd) == 0 ? 0 : copyFailed(shown, "write to disk", errno);
    });
}

int TreeCopy::verifyFromDevice() {
    return visitCopies([&](int fd, const struct stat& st, const std::string& shown) {
        auto record = records.find(std::make_pair(st.st_dev, st.st_ino));
        if (!S_ISREG(st.st_mode) || record == records.end())
            return 0; // shares the origin's blocks: nothing of its own
        Hash hash;
        if (int failure = data.rehash(fd, record->second, true, hash, shown))
            return failure;
        return hash == record->second.hash
                   ? 0
                   : copyFailed(shown, "read back from the device: the copy differs", EIO);
    });
}

int TreeCopy::flush() {
    int error = options.flush == Flush::Files ? flushFiles() : flushFileSystems();
    if (error == 0 && options.verifyOnDevice)
        error = verifyFromDevice();
    if (error == 0) {
        pending.clear();
        records.clear();
    }
    return error;
}

} // namespace treecopy
