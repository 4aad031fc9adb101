#include "OVPaths.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVSyscalls.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Source path named by the assertions of the status helpers.
constexpr const char* kAssertFile = "repositoryhandler/src/libs/OVRepositoryHandler";
// Status of a failed system call, the error result code of the repository.
constexpr int kFailed = 8;
// First buffer size tried for a link target.
constexpr size_t kLinkBufferStart = 100;

// mkdir of one level; a level that exists as a directory already (made by another process
// since it was tested) counts as created.
bool makeLevel(const char* level, unsigned long mode) {
    if (ovsys::table().mkdir(level, static_cast<mode_t>(mode)) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st;
    return ovsys::table().stat(level, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string withoutTrailingSlash(const char* path) {
    std::string text(path);
    if (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

bool readLinkTarget(const std::string& path, std::string& target) {
    std::vector<char> buffer(kLinkBufferStart);
    for (;;) {
        ssize_t length = ovsys::table().readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0)
            return false;
        if (static_cast<size_t>(length) < buffer.size()) {
            target.assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

int myStat(const char* resource, struct stat* resStat) {
    ovAssert(resource != nullptr, "resource", 298, kAssertFile);
    ovAssert(resStat != nullptr, "resStat", 299, kAssertFile);
    if (ovsys::table().stat(resource, resStat) == 0)
        return 0;
    int error = errno;
    std::string text = std::string("The resource \"") + resource +
                       "\" can not be stat-ed. Error code is " + std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
    errno = error; // callers report the failure's code, not the logger's
    return kFailed;
}

int myStatVfs(const char* mountPath, struct statvfs* resStatVfs) {
    ovAssert(mountPath != nullptr, "mountPath", 232, kAssertFile);
    ovAssert(resStatVfs != nullptr, "resStatVfs", 233, kAssertFile);
    if (ovsys::table().statvfs(mountPath, resStatVfs) == 0)
        return 0;
    int error = errno;
    std::string text = std::string("Error occured while statvfs call to \"") + mountPath +
                       "\". Error code is " + std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
    errno = error; // callers report the failure's code, not the logger's
    return kFailed;
}

int isDir(const char* path, bool* result, struct stat* st) {
    if (st != nullptr) {
        *result = S_ISDIR(st->st_mode);
        return 0;
    }
    struct stat fresh;
    int status = myStat(path, &fresh);
    if (status == 0)
        *result = S_ISDIR(fresh.st_mode);
    return status;
}

time_t lastModified(const char* path) {
    struct stat st;
    if (myStat(path, &st) != 0)
        return -1;
    return st.st_mtime;
}

time_t lastAccess(const char* path, const struct stat* st) {
    struct stat fresh;
    if (st == nullptr) {
        if (myStat(path, &fresh) != 0)
            return -1;
        st = &fresh;
    }
    return st->st_atime > st->st_mtime ? st->st_atime : st->st_mtime;
}

Presence lstatPresence(const std::string& path, struct stat* st) {
    if (ovsys::table().lstat(path.c_str(), st) == 0)
        return Presence::Present;
    return errno == ENOENT || errno == ENOTDIR ? Presence::Absent : Presence::Failed;
}

void logStatFailure(const std::string& path, int error) {
    std::string text =
        "The resource \"" + path + "\" can not be stat-ed. Error code is " + std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
    errno = error;
}

namespace {

// Reads the open listing handle to its end and closes it: 0 with the names in ascending byte
// order, or the errno of the readdir that failed (names then holds nothing).
int readListing(DIR* handle, std::vector<std::string>& names) {
    int error = 0;
    for (;;) {
        errno = 0;
        const struct dirent* entry = ovsys::table().readdir(handle);
        if (entry == nullptr) {
            error = errno; // 0 at the end of the listing
            break;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    closedir(handle);
    if (error != 0) {
        names.clear(); // a listing cut short is no listing
        errno = error;
        return error;
    }
    std::sort(names.begin(), names.end());
    return 0;
}

} // namespace

int readDirectory(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* handle = ovsys::table().opendir(dir.c_str());
    if (handle == nullptr)
        return errno != 0 ? errno : EIO;
    return readListing(handle, names);
}

int readDirectoryAt(int dirFd, std::vector<std::string>& names, bool keepAccessTime) {
    names.clear();
    // A descriptor of its own, as closedir closes what fdopendir was given. Reading a directory
    // sets its access time unless the descriptor read from was opened with O_NOATIME.
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int own = ovsys::table().openat(dirFd, ".", flags | (keepAccessTime ? O_NOATIME : 0), 0);
    if (own < 0 && keepAccessTime && errno == EPERM)
        own = ovsys::table().openat(dirFd, ".", flags, 0); // neither owner nor privileged
    DIR* handle = own >= 0 ? ovsys::table().fdopendir(own) : nullptr;
    if (handle == nullptr) {
        int error = errno != 0 ? errno : EIO;
        if (own >= 0)
            ovsys::table().close(own);
        errno = error;
        return error;
    }
    return readListing(handle, names);
}

int renameNoReplace(const char* from, const char* to) {
    if (ovsys::table().renameNoReplace(from, to) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    struct stat st;
    if (ovsys::table().lstat(from, &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        // A hard link is never made over an existing name. Where the old name cannot be
        // removed, the new one is taken back: the file keeps one name, and the caller, told of
        // the failure, finds nothing put in place.
        if (ovsys::table().linkat(AT_FDCWD, from, AT_FDCWD, to, 0) == 0) {
            if (ovsys::table().unlink(from) == 0)
                return 0;
            int error = errno;
            ovsys::table().unlink(to);
            errno = error;
            return -1;
        }
        if (errno == EEXIST)
            return -1;
    }
    struct stat there;
    Presence target = lstatPresence(to, &there);
    if (target != Presence::Absent) {
        if (target == Presence::Present)
            errno = EEXIST;
        return -1;
    }
    return ovsys::table().rename(from, to);
}

bool lstatOk(const std::string& path, struct stat* st) {
    return ovsys::table().lstat(path.c_str(), st) == 0;
}

bool exists(const char* path) {
    return ovsys::table().access(path, F_OK) == 0;
}

int setTimesOf(const char* path, const struct utimbuf* times) {
    if (times == nullptr)
        return ovsys::table().utimensat(AT_FDCWD, path, nullptr, AT_SYMLINK_NOFOLLOW);
    struct timespec both[2] = {{times->actime, 0}, {times->modtime, 0}};
    return ovsys::table().utimensat(AT_FDCWD, path, both, AT_SYMLINK_NOFOLLOW);
}

bool isNotLink(const char* path) {
    char buffer[1];
    return ovsys::table().readlink(path, buffer, 1) < 0 && errno == EINVAL;
}

bool isDangling(const char* path) {
    std::string link = withoutTrailingSlash(path);
    std::string target;
    if (!readLinkTarget(link, target))
        return true;
    // A relative target is relative to the directory that holds the link.
    if (!target.empty() && target[0] != '/') {
        std::string::size_type slash = link.rfind('/');
        if (slash != std::string::npos)
            target = link.substr(0, slash + 1) + target;
    }
    return !exists(target.c_str());
}

bool IsOnTheSameMount(const char* a, const char* b) {
    struct stat first;
    struct stat second;
    if (myStat(a, &first) != 0 || myStat(b, &second) != 0)
        return false;
    return first.st_dev == second.st_dev;
}

char* toArray(const std::string& text) {
    char* copy = new char[text.size() + 1];
    text.copy(copy, text.size());
    copy[text.size()] = '\0';
    return copy;
}

char* mystrdup(const char* s) {
    return s == nullptr ? nullptr : toArray(s);
}

void release_(char* s) {
    delete[] s;
}

extern "C" void release(char* text) {
    release_(text);
}

char* append0(const char* a, const char* b) {
    return toArray(std::string(a) + b);
}

char* append(char* a, const char* b) {
    char* joined = append0(a, b);
    delete[] a;
    return joined;
}

char* baseDir(const char* path) {
    if (path == nullptr)
        return nullptr;
    const char* slash = strrchr(path, '/');
    if (slash == nullptr)
        return nullptr;
    return toArray(std::string(path, static_cast<size_t>(slash - path) + 1));
}

char* parentDir(const char* path) {
    char* dir = baseDir(path);
    if (dir == nullptr)
        return nullptr;
    // Hide the final "/" so that the next "/" to the left ends the result.
    dir[strlen(dir) - 1] = 'x';
    char* parent = baseDir(dir);
    delete[] dir;
    return parent;
}

int myunlink(const char* path) {
    return ovsys::table().unlink(withoutTrailingSlash(path).c_str());
}

namespace {

// Gives the directory made at level the owner, group and mode of the directory above it.
bool inheritFromParent(const std::string& level) {
    size_t slash = level.find_last_of('/');
    std::string parent = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : level.substr(0, slash);
    struct stat above;
    if (ovsys::table().stat(parent.c_str(), &above) != 0)
        return false;
    int fd = ovsys::table().open(level.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // The owner first: a change of owner may clear set-id bits, which the mode then sets again.
    // A maker that may not give it away still gives it the group, where it may.
    if (ovsys::table().fchown(fd, above.st_uid, above.st_gid) != 0)
        ovsys::table().fchown(fd, static_cast<uid_t>(-1), above.st_gid);
    bool moded = ovsys::table().fchmod(fd, above.st_mode & 07777) == 0;
    int error = errno;
    ovsys::table().close(fd);
    errno = error;
    return moded;
}

} // namespace

int mkdirsInherited(const char* path) {
    std::string copy(path);
    while (copy.size() > 1 && copy.back() == '/')
        copy.pop_back();
    for (size_t i = 1; i <= copy.size(); ++i) {
        if (i < copy.size() && copy[i] != '/')
            continue;
        if (copy[i - 1] == '/')
            continue; // an empty component
        std::string level = copy.substr(0, i);
        struct stat st;
        if (ovsys::table().stat(level.c_str(), &st) == 0)
            continue;
        if (errno != ENOENT)
            return -1;
        if (ovsys::table().mkdir(level.c_str(), 0700) == 0) {
            // Made private first and opened up once it has its owner: nobody else uses it before.
            if (!inheritFromParent(level))
                return -1;
        } else if (!(errno == EEXIST && ovsys::table().stat(level.c_str(), &st) == 0 &&
                     S_ISDIR(st.st_mode))) {
            return -1; // made by another process meanwhile counts as made
        }
    }
    return 0;
}

int mkdirs(const char* path, unsigned long mode) {
    std::string copy(path);
    // Every prefix that ends before a "/" is one level; index 0 is the root of an absolute path.
    for (size_t i = 1; i < copy.size(); ++i) {
        if (copy[i] != '/')
            continue;
        copy[i] = '\0';
        bool made = exists(copy.c_str()) || makeLevel(copy.c_str(), mode);
        copy[i] = '/';
        if (!made)
            return -1;
    }
    if (!exists(path) && !makeLevel(path, mode))
        return -1;
    return 0;
}
