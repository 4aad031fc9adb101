#include "OVSyscalls.h"

#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
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

const Table kReal = {
    realOpen,    ::close,     ::unlink,    ::mkdir,         ::rmdir,
    ::stat,      ::lstat,     ::statvfs,   ::readlink,      ::symlink,
    ::access,    ::rename,    ::nanosleep, ::fstat,         ::fchmod,
    ::fchown,    realOpenAt,  ::unlinkat,  realOpenNoLinks, realRenameNoReplace,
    ::opendir,   ::fdopendir, ::readdir,   ::read,          ::write,
    ::utimensat,
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
