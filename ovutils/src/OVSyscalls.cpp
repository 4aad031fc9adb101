#include "OVSyscalls.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace ovsys {
namespace {

int realOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int realOpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    return ::openat(dirFd, name, flags, mode);
}

const Table kReal = {
    realOpen,  ::close,  ::unlink, ::mkdir,     ::rmdir, ::stat,   ::lstat,  ::statvfs,  ::readlink,
    ::symlink, ::access, ::rename, ::nanosleep, ::fstat, ::fchmod, ::fchown, realOpenAt, ::unlinkat,
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
