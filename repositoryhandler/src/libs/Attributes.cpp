// The attributes of one copied entry: owner and group, extended attributes (user attributes and
// access control lists), mode, then the times, which every earlier step would move again.
#include "CopyParts.h"

#include "OVSyscalls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <vector>

namespace treecopy {

namespace {

// The attributes a copy keeps: the application's own and the access control lists. Other name
// spaces belong to the file system or its security modules.
bool kept(const char* name) {
    return std::strncmp(name, "user.", 5) == 0 ||
           std::strcmp(name, "system.posix_acl_access") == 0 ||
           std::strcmp(name, "system.posix_acl_default") == 0;
}

std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Reads with a call that tells its size first (listxattr, getxattr) into out; the size may grow
// between the two calls. -1 with errno.
template <typename Call> ssize_t readSized(std::vector<char>& out, Call call) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t size = call(nullptr, 0);
        if (size <= 0)
            return size;
        out.resize(static_cast<size_t>(size));
        ssize_t got = call(out.data(), out.size());
        if (got >= 0 || errno != ERANGE)
            return got;
    }
    errno = ERANGE;
    return -1;
}

int copyExtendedAttributes(int fromFd, int toFd, const std::string& shown) {
    std::string from = procPath(fromFd), to = procPath(toFd);
    std::vector<char> names, value;
    ssize_t size = readSized(names, [&](char* into, size_t n) {
        return ovsys::table().listxattr(from.c_str(), into, n);
    });
    if (size < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
        return 0; // the origin's file system keeps none
    if (size < 0)
        return copyFailed(shown, "list the extended attributes", errno);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char* name = &names[static_cast<size_t>(at)];
        if (!kept(name))
            continue;
        ssize_t length = readSized(value, [&](char* into, size_t n) {
            return ovsys::table().getxattr(from.c_str(), name, into, n);
        });
        if (length < 0 && errno == ENODATA)
            continue; // removed meanwhile
        if (length < 0)
            return copyFailed(shown, std::string("read the attribute ") + name, errno);
        if (ovsys::table().setxattr(to.c_str(), name, value.data(), static_cast<size_t>(length),
                                    0) != 0)
            return copyFailed(shown, std::string("write the attribute ") + name, errno);
    }
    return 0;
}

} // namespace

int copyAttributes(int fromFd, int toDir, const char* name, int toFd, const struct stat& st,
                   const std::string& shown) {
    const ovsys::Table& sys = ovsys::table();
    if (sys.fchownat(toDir, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
        // Without the right to give files away the copy stays the copier's, in the origin's
        // group where the copier belongs to it.
        if (errno != EPERM)
            return copyFailed(shown, "set the owner", errno);
        sys.fchownat(toDir, name, static_cast<uid_t>(-1), st.st_gid, AT_SYMLINK_NOFOLLOW);
    }
    bool link = S_ISLNK(st.st_mode);
    if (!link && fromFd >= 0 && toFd >= 0)
        if (int error = copyExtendedAttributes(fromFd, toFd, shown))
            return error;
    if (!link && sys.fchmodat(toDir, name, st.st_mode & 07777, 0) != 0)
        return copyFailed(shown, "set the mode", errno);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (sys.utimensat(toDir, name, times, AT_SYMLINK_NOFOLLOW) != 0)
        return copyFailed(shown, "set the times", errno);
    return 0;
}

} // namespace treecopy
