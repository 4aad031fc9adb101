#ifndef OVUTILS_OVSYSCALLS_H
#define OVUTILS_OVSYSCALLS_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

// The file-system and sleep calls of the libraries, reached through one table so that tests can
// replace an entry: report a chosen fill level from statvfs, or fail the n-th call of open with a
// chosen errno. Code outside the tests only calls through ovsys::table() and never changes it.
namespace ovsys {

struct Table {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    int (*stat)(const char* path, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    int (*statvfs)(const char* path, struct statvfs* st);
    ssize_t (*readlink)(const char* path, char* buffer, size_t size);
    int (*symlink)(const char* target, const char* linkPath);
    int (*access)(const char* path, int mode);
    int (*rename)(const char* from, const char* to);
    int (*nanosleep)(const struct timespec* request, struct timespec* remaining);
    int (*fstat)(int fd, struct stat* st);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    // Relative to an open directory, for walks that must not be led elsewhere by a name that
    // turns into a link while they run.
    int (*openat)(int dirFd, const char* name, int flags, mode_t mode);
    int (*unlinkat)(int dirFd, const char* name, int flags);
    // A handle (O_PATH) on path, refusing a symbolic link anywhere on the way: -1 with ELOOP for
    // a link, ENOENT for a missing name, ENOSYS where the kernel cannot refuse links this way.
    int (*openNoLinks)(const char* path);
    // rename that never replaces: -1 with EEXIST when to exists; EINVAL or ENOSYS where the file
    // system or kernel cannot refuse that way (renameNoReplace in OVPaths.h falls back then).
    int (*renameNoReplace)(const char* from, const char* to);
    // Directory listings and file contents, so that tests can fail a listing or a read midway.
    DIR* (*opendir)(const char* path);
    DIR* (*fdopendir)(int fd);
    struct dirent* (*readdir)(DIR* dir);
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    int (*utimensat)(int dirFd, const char* path, const struct timespec times[2], int flags);
    // The calls of the in-library copy of a resource tree, which walks by descriptor.
    int (*fstatat)(int dirFd, const char* name, struct stat* st, int flags);
    int (*mkdirat)(int dirFd, const char* name, mode_t mode);
    int (*symlinkat)(const char* target, int dirFd, const char* name);
    int (*mknodat)(int dirFd, const char* name, mode_t mode, dev_t device);
    int (*linkat)(int fromDirFd, const char* from, int toDirFd, const char* to, int flags);
    ssize_t (*readlinkat)(int dirFd, const char* name, char* buffer, size_t size);
    ssize_t (*pread)(int fd, void* buffer, size_t size, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t size, off_t offset);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ftruncate)(int fd, off_t size);
    int (*fsync)(int fd);
    int (*syncfs)(int fd);
    int (*syncFileRange)(int fd, off_t offset, off_t size, unsigned int flags);
    int (*fadvise)(int fd, off_t offset, off_t size, int advice);
    int (*futimens)(int fd, const struct timespec times[2]);
    int (*fchownat)(int dirFd, const char* name, uid_t owner, gid_t group, int flags);
    int (*fchmodat)(int dirFd, const char* name, mode_t mode, int flags);
    // Extended attributes of an open file or directory, and by path for what is never opened for
    // reading (the library passes "/proc/self/fd/<n>" of an O_PATH descriptor of a pipe or device).
    ssize_t (*flistxattr)(int fd, char* list, size_t size);
    ssize_t (*fgetxattr)(int fd, const char* name, void* value, size_t size);
    int (*fsetxattr)(int fd, const char* name, const void* value, size_t size, int flags);
    ssize_t (*listxattr)(const char* path, char* list, size_t size);
    ssize_t (*getxattr)(const char* path, const char* name, void* value, size_t size);
    int (*setxattr)(const char* path, const char* name, const void* value, size_t size, int flags);
    int (*fremovexattr)(int fd, const char* name);
    int (*removexattr)(const char* path, const char* name);
    // A clone of the whole of fromFd into toFd (FICLONE), sharing blocks on file systems that can.
    int (*cloneFile)(int toFd, int fromFd);
    // An advisory whole-file lock of fd (flock).
    int (*flock)(int fd, int operation);
};

// The table in use.
Table& table();
// The real system calls, for restoring an entry or for a replacement that passes calls on.
const Table& real();

} // namespace ovsys

#endif
