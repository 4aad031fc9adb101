#include "MoveNoReplace.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

bool moveNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    // EINVAL: the file system refuses the flag; ENOSYS: the kernel has no renameat2.
    if (errno == EINVAL || errno == ENOSYS) {
        return linkThenUnlink(from, to);
    }
    return false;
}

bool linkThenUnlink(const std::string& from, const std::string& to) {
    if (link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    if (unlink(from.c_str()) != 0) {
        const int saved = errno;
        unlink(to.c_str());
        errno = saved;
        return false;
    }
    return true;
}
