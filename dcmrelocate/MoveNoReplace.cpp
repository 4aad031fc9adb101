#include "MoveNoReplace.h"

#include "OVSyscalls.h"

#include <cerrno>
#include <fcntl.h>

// Every call that changes a name goes through the system-call table, so that tests can fail a
// chosen one and see what is left behind.
bool moveNoReplace(const std::string& from, const std::string& to) {
    if (ovsys::table().renameNoReplace(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    // EINVAL: the file system refuses the flag; ENOSYS: the kernel has no renameat2.
    if (errno == EINVAL || errno == ENOSYS) {
        return linkThenUnlink(from, to);
    }
    return false;
}

bool linkThenUnlink(const std::string& from, const std::string& to) {
    if (ovsys::table().linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) != 0) {
        return false;
    }
    if (ovsys::table().unlink(from.c_str()) != 0) {
        const int saved = errno;
        ovsys::table().unlink(to.c_str());
        errno = saved;
        return false;
    }
    return true;
}
