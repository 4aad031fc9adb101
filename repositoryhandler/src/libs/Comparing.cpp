// Whether an entry at a destination holds what the origin holds: a move cut short after putting
// an entry in place left it there, and the next move counts it as moved.
#include "MoveSteps.h"

#include "OVPaths.h"
#include "OVStop.h"

#include <cstring>

namespace moving {

namespace {

Same unreadable(const std::string& path, int error) {
    failed("The resource \"" + path + "\" could not be read.", error);
    return Same::Failed;
}

// Opens path for reading without moving its access time where the process may.
int openQuietly(const std::string& path) {
    int fd = ovsys::table().open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC, 0);
    if (fd < 0 && errno == EPERM)
        fd = ovsys::table().open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    return fd;
}

Same sameBytes(const std::string& a, const std::string& b) {
    treecopy::Fd first(openQuietly(a));
    if (first.get() < 0)
        return unreadable(a, errno);
    treecopy::Fd second(openQuietly(b));
    if (second.get() < 0)
        return unreadable(b, errno);
    std::vector<char> one(64 * 1024), other(64 * 1024);
    for (off_t offset = 0;; offset += static_cast<off_t>(one.size())) {
        // A comparison is no sameness until it ends: a stop leaves it undecided.
        if (stopRequested("The comparison of \"" + a + "\" with \"" + b + "\""))
            return Same::Failed;
        ssize_t got = treecopy::readFully(first.get(), one.data(), one.size(), offset);
        if (got < 0)
            return unreadable(a, errno);
        ssize_t more = treecopy::readFully(second.get(), other.data(), other.size(), offset);
        if (more < 0)
            return unreadable(b, errno);
        if (got != more || std::memcmp(one.data(), other.data(), static_cast<size_t>(got)) != 0)
            return Same::No;
        if (got == 0)
            return Same::Yes;
    }
}

} // namespace

// Whether a and b, neither a directory, hold the same: regular files with the same bytes, or
// links with the same target. Such an entry at a destination counts as moved there already (a
// move that was interrupted after putting it in place). Failed (logged) when either cannot be read.
Same sameContent(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (!lstatLogged(a, &sa) || !lstatLogged(b, &sb))
        return Same::Failed;
    if (S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode))
        return sa.st_size != sb.st_size ? Same::No : sameBytes(a, b);
    if (!S_ISLNK(sa.st_mode) || !S_ISLNK(sb.st_mode))
        return Same::No;
    std::string ta, tb;
    if (!readLinkTarget(a, ta))
        return unreadable(a, errno);
    if (!readLinkTarget(b, tb))
        return unreadable(b, errno);
    return ta == tb ? Same::Yes : Same::No;
}

} // namespace moving
