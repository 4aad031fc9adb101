#include "MoveDelete.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"
#include "RunCommand.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kConflict = 2;
constexpr int kError = 8;

// An array string returned by the path helpers, freed at the end of the scope.
using OwnedString = std::unique_ptr<char[]>;

void logError(const std::string& text) {
    rh_logger.errorLog("%s", text.c_str());
}

std::string errnoText() {
    return std::to_string(errno);
}

// path without trailing "/" (a lone "/" stays), so that a link given as "link/" names the link
// itself and is never followed.
std::string withoutTrailingSlashes(const char* path) {
    std::string text(path);
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// Whether path names an entry, a dangling link included.
bool present(const std::string& path) {
    struct stat st;
    return ovsys::table().lstat(path.c_str(), &st) == 0;
}

// lstat that logs its failure in the words of myStat.
bool lstatLogged(const std::string& path, struct stat* st) {
    if (ovsys::table().lstat(path.c_str(), st) == 0)
        return true;
    logError("The resource \"" + path + "\" can not be stat-ed. Error code is " + errnoText());
    return false;
}

// Gives path (a link itself, not its target) the access and modification times of st. A failure
// is ignored: the data has arrived, only its times are off.
void keepTimes(const std::string& path, const struct stat& st) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The names of the entries of dir in ascending byte order.
std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    listDir(dir.c_str(), &names);
    return names;
}

int removeTree(const std::string& path) {
    return runCommand({"rm", "-fr", "--", path});
}

// Removes a rejected temporary copy, keeping the errno of the failure that rejected it.
void discard(const std::string& tmp) {
    int saved = errno;
    removeTree(tmp);
    errno = saved;
}

// An open descriptor on a directory, closed at the end of the scope.
class DirectoryHandle {
public:
    explicit DirectoryHandle(const std::string& path)
        : fd(ovsys::table().open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)) {}
    ~DirectoryHandle() {
        int saved = errno;
        if (fd >= 0)
            ovsys::table().close(fd);
        errno = saved;
    }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;

    // Writes everything of the directory's file system to disk.
    bool syncFileSystem() const { return fd >= 0 && syncfs(fd) == 0; }
    // Writes the directory's own entries (a rename into it) to disk.
    bool syncEntries() const { return fd >= 0 && fsync(fd) == 0; }

private:
    int fd;
};

// Prefix of the temporary copies made for the destination name, e.g. ".r.moving-" for "r"; the
// process id follows. Hidden, and beside the destination, so on its file system.
std::string tempPrefix(const std::string& name) {
    return "." + name + ".moving-";
}

// Whether entry is a temporary copy for the destination with this prefix. Only digits may follow,
// so that the copies of a destination that is itself named "r.moving-1" are not taken for "r"'s.
bool isTempCopy(const std::string& entry, const std::string& prefix) {
    if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(entry.begin() + static_cast<long>(prefix.size()), entry.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Removes the temporary copies that interrupted moves to name left in parent. The caller holds
// the resource's lock, so no running move uses them. 0, or the status of a failed removal.
int removeLeftovers(const std::string& parent, const std::string& name) {
    std::string prefix = tempPrefix(name);
    for (const std::string& entry : entriesOf(parent)) {
        if (!isTempCopy(entry, prefix))
            continue;
        int status = removeTree(parent + entry);
        if (status != 0)
            return status;
    }
    return 0;
}

// Copies from to tmp and compares the two; a copy that failed or differs is removed.
int copyVerified(const std::string& from, const std::string& tmp) {
    int status = runCommand({"cp", "-r", "--", from, tmp});
    if (status == 0)
        status = runCommand({"diff", "-q", "-r", "--no-dereference", "--", from, tmp});
    if (status != 0)
        discard(tmp);
    return status;
}

// Flushes the verified copy tmp to disk and gives it the name target in the same directory
// parent, then flushes that rename. -1 with errno on failure; the copy is removed unless it had
// been renamed already.
int publish(const std::string& parent, const std::string& tmp, const std::string& target) {
    DirectoryHandle dir(parent);
    if (!dir.syncFileSystem() || ovsys::table().rename(tmp.c_str(), target.c_str()) != 0) {
        discard(tmp);
        return -1;
    }
    return dir.syncEntries() ? 0 : -1;
}

// Makes a link at dest with the target of the link origin, writes it to disk, then removes
// origin. 0, or -1 with errno.
int relink(const std::string& origin, const std::string& dest) {
    std::string target;
    OwnedString parent(baseDir(dest.c_str()));
    if (!readLinkTarget(origin, target) || !parent || mkdirs(parent.get(), 0755) != 0)
        return -1;
    if (ovsys::table().symlink(target.c_str(), dest.c_str()) != 0)
        return -1;
    if (!DirectoryHandle(parent.get()).syncFileSystem()) {
        int saved = errno;
        ovsys::table().unlink(dest.c_str());
        errno = saved;
        return -1;
    }
    return ovsys::table().unlink(origin.c_str());
}

int conflict(const std::string& origin, const std::string& dest) {
    logError("The resource \"" + origin + "\" conflicts with \"" + dest + "\".");
    return kConflict;
}

// Moves each entry of the directory origin into the existing dest, then removes origin.
int merge(const std::string& origin, const std::string& dest, const struct stat& st) {
    for (const std::string& entry : entriesOf(origin)) {
        int result = moveRes((origin + "/" + entry).c_str(), (dest + "/" + entry).c_str());
        if (result != kOk)
            return result;
    }
    if (ovsys::table().rmdir(origin.c_str()) != 0) {
        logError("The directory \"" + origin + "\" could not be removed. Error code is " +
                 errnoText());
        return kError;
    }
    keepTimes(dest, st);
    return kOk;
}

} // namespace

int moveRes(const char* originPath, const char* destPath) {
    std::string origin = withoutTrailingSlashes(originPath);
    std::string dest = withoutTrailingSlashes(destPath);
    struct stat st;
    ovAssert(ovsys::table().lstat(origin.c_str(), &st) == 0, "access( origin, F_OK ) == 0", 538,
             kRepositorySource);
    bool link = S_ISLNK(st.st_mode);
    if (!link && myStat(origin.c_str(), &st) != 0) {
        logError("The resource \"" + origin + "\" could not be stated \"" + errnoText());
        return kError;
    }
    if (!present(dest)) {
        int result = link ? relink(origin, dest) : mountRename(origin.c_str(), dest.c_str());
        if (result != 0) {
            logError("The resource \"" + origin + "\" could not be renamed to \"" + dest +
                     "\". Error code is " + errnoText());
            return kError;
        }
        keepTimes(dest, st);
        return kOk;
    }
    bool directory = false;
    if (isDir(origin.c_str(), &directory, &st) != 0)
        return kError;
    return directory ? merge(origin, dest, st) : conflict(origin, dest);
}

int mountRename(const char* from, const char* to) {
    std::string target = withoutTrailingSlashes(to);
    OwnedString parentText(baseDir(target.c_str()));
    if (!parentText)
        return -1;
    std::string parent = parentText.get();
    std::string name = target.substr(parent.size());
    if (name.empty() || mkdirs(parent.c_str(), 0755) != 0)
        return -1;
    int status = removeLeftovers(parent, name);
    if (status != 0)
        return status;
    std::string tmp = parent + tempPrefix(name) + std::to_string(getpid());
    status = copyVerified(from, tmp);
    if (status != 0)
        return status;
    status = publish(parent, tmp, target);
    if (status != 0)
        return status;
    removeTree(from); // the move is complete; a failure has been logged by runCommand
    return 0;
}

int deleteRes(const char* pathText) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    if (ovsys::table().lstat(path.c_str(), &st) != 0)
        return kOk;
    bool directory = S_ISDIR(st.st_mode);
    if (directory) {
        for (const std::string& entry : entriesOf(path)) {
            int result = deleteRes((path + "/" + entry).c_str());
            if (result != kOk)
                return result;
        }
    }
    int removed =
        directory ? ovsys::table().rmdir(path.c_str()) : ovsys::table().unlink(path.c_str());
    if (removed != 0) {
        logError("The resource \"" + path + "\" could not be removed. Error code is " +
                 errnoText());
        return kError;
    }
    return kOk;
}

long getSize(const char* pathText, struct stat* st) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat own;
    if (st == nullptr) {
        if (!lstatLogged(path, &own))
            return -1;
        st = &own;
    }
    long total = static_cast<long>(st->st_blocks);
    if (!S_ISDIR(st->st_mode))
        return total;
    for (const std::string& entry : entriesOf(path)) {
        long size = getSize((path + "/" + entry).c_str(), nullptr);
        if (size < 0)
            return -1;
        total += size;
    }
    return total;
}
