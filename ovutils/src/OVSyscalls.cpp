#include "OVSyscalls.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ovsys {
namespace {

int realOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int realOpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    return ::openat(dirFd, name, flags, mode);
}

int realOpenNoLinks(const char* path) {
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

int realRenameNoReplace(const char* from, const char* to) {
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to,
                                    static_cast<unsigned>(RENAME_NOREPLACE)));
}

int realCloneFile(int toFd, int fromFd) {
    return ::ioctl(toFd, FICLONE, fromFd);
}

int realFadvise(int fd, off_t offset, off_t size, int advice) {
    int error = ::posix_fadvise(fd, offset, size, advice);
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

int realFutimens(int fd, const struct timespec times[2]) {
    return ::futimens(fd, times);
}

const Table kReal = {
    realOpen,     ::close,        ::unlink,          ::mkdir,
    ::rmdir,      ::stat,         ::lstat,           ::statvfs,
    ::readlink,   ::symlink,      ::access,          ::rename,
    ::nanosleep,  ::fstat,        ::fchmod,          ::fchown,
    realOpenAt,   ::unlinkat,     realOpenNoLinks,   realRenameNoReplace,
    ::opendir,    ::fdopendir,    ::readdir,         ::read,
    ::write,      ::utimensat,    ::fstatat,         ::mkdirat,
    ::symlinkat,  ::mknodat,      ::linkat,          ::readlinkat,
    ::pread,      ::pwrite,       ::lseek,           ::ftruncate,
    ::fsync,      ::syncfs,       ::sync_file_range, realFadvise,
    realFutimens, ::fchownat,     ::fchmodat,        ::flistxattr,
    ::fgetxattr,  ::fsetxattr,    ::listxattr,       ::getxattr,
    ::setxattr,   ::fremovexattr, ::removexattr,     realCloneFile,
    ::flock,
};

} // namespace

Table& table() {
    static Table live = kReal;
    return live;
}

const Table& real() {
    return kReal;
}

} // namespace ovsys
