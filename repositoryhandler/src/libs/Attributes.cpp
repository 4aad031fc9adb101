// The attributes of one copied entry: owner and group, extended attributes (user attributes and
// access control lists), mode, then the times, which every earlier step would move again.
#include "CopyParts.h"

#include "OVSyscalls.h"

#include <cerrno>
#include <cstdlib>
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

// The extended-attribute calls on two descriptors: opened ones directly; O_PATH ones (pipes,
// devices, sockets) through their /proc/self/fd names.
class AttributeAccess {
public:
    AttributeAccess(int fromFd, int toFd, bool opened)
        : fromFd(fromFd), toFd(toFd), opened(opened), from(procPath(fromFd)), to(procPath(toFd)) {}
    ssize_t list(char* into, size_t size) const {
        return opened ? ovsys::table().flistxattr(fromFd, into, size)
                      : ovsys::table().listxattr(from.c_str(), into, size);
    }
    ssize_t get(const char* name, char* into, size_t size) const {
        return opened ? ovsys::table().fgetxattr(fromFd, name, into, size)
                      : ovsys::table().getxattr(from.c_str(), name, into, size);
    }
    int set(const char* name, const char* value, size_t size) const {
        return opened ? ovsys::table().fsetxattr(toFd, name, value, size, 0)
                      : ovsys::table().setxattr(to.c_str(), name, value, size, 0);
    }
    int remove(const char* name) const {
        return opened ? ovsys::table().fremovexattr(toFd, name)
                      : ovsys::table().removexattr(to.c_str(), name);
    }

private:
    int fromFd, toFd;
    bool opened;
    std::string from, to;
};

// Takes away the access control lists that the copy inherited from the default list of a
// directory above it and the origin does not have: a copy grants no access the origin did not.
int dropInherited(const AttributeAccess& access, const std::vector<char>& names, ssize_t size,
                  const std::string& shown) {
    for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
        bool own = false;
        for (ssize_t at = 0; at < size && !own;
             at += static_cast<ssize_t>(std::strlen(&names[static_cast<size_t>(at)])) + 1)
            own = std::strcmp(&names[static_cast<size_t>(at)], acl) == 0;
        if (!own && access.remove(acl) != 0 && errno != ENODATA && errno != ENOTSUP &&
            errno != EOPNOTSUPP)
            return copyFailed(shown, std::string("remove the inherited ") + acl, errno);
    }
    return 0;
}

int copyExtendedAttributes(const AttributeAccess& access, bool inherits, const std::string& shown) {
    std::vector<char> names, value;
    ssize_t size = readSized(names, [&](char* into, size_t n) { return access.list(into, n); });
    if (size < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
        size = 0; // the origin's file system keeps none
    if (size < 0)
        return copyFailed(shown, "list the extended attributes", errno);
    if (inherits)
        if (int error = dropInherited(access, names, size, shown))
            return error;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char* name = &names[static_cast<size_t>(at)];
        if (!kept(name))
            continue;
        ssize_t length =
            readSized(value, [&](char* into, size_t n) { return access.get(name, into, n); });
        if (length < 0 && errno == ENODATA)
            continue; // removed meanwhile
        if (length < 0)
            return copyFailed(shown, std::string("read the attribute ") + name, errno);
        if (access.set(name, value.data(), static_cast<size_t>(length)) != 0)
            return copyFailed(shown, std::string("write the attribute ") + name, errno);
    }
    return 0;
}

} // namespace

int copyAttributes(int fromFd, int toDir, const char* name, int toFd, const struct stat& st,
                   const std::string& shown, Handles handles, const NewEntries& made,
                   bool modeSet) {
    const ovsys::Table& sys = ovsys::table();
    bool opened = handles == Handles::Opened;
    auto chown = [&](uid_t owner, gid_t group) {
        return opened ? sys.fchown(toFd, owner, group)
                      : sys.fchownat(toDir, name, owner, group, AT_SYMLINK_NOFOLLOW);
    };
    bool owned = st.st_uid == made.owner && st.st_gid == made.group;
    if (!owned && chown(st.st_uid, st.st_gid) != 0) {
        // Without the right to give files away the copy stays the copier's, in the origin's
        // group where the copier belongs to it.
        if (errno != EPERM)
            return copyFailed(shown, "set the owner", errno);
        chown(static_cast<uid_t>(-1), st.st_gid);
    }
    if (handles != Handles::None)
        if (int error =
                copyExtendedAttributes(AttributeAccess(fromFd, toFd, opened), made.inherits, shown))
            return error;
    mode_t mode = st.st_mode & 07777;
    if (handles != Handles::None && !modeSet &&
        (opened ? sys.fchmod(toFd, mode) : sys.fchmodat(toDir, name, mode, 0)) != 0)
        return copyFailed(shown, "set the mode", errno);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if ((opened ? sys.futimens(toFd, times)
                : sys.utimensat(toDir, name, times, AT_SYMLINK_NOFOLLOW)) != 0)
        return copyFailed(shown, "set the times", errno);
    return 0;
}

mode_t currentUmask() {
    int fd = ovsys::table().open("/proc/self/status", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 07777;
    char text[4096];
    ssize_t size = ovsys::table().read(fd, text, sizeof text - 1);
    ovsys::table().close(fd);
    text[size > 0 ? size : 0] = '\0';
    const char* line = std::strstr(text, "\nUmask:");
    return line != nullptr ? static_cast<mode_t>(std::strtoul(line + 7, nullptr, 8) & 0777) : 07777;
}

} // namespace treecopy
