#include "FileVersion.h"

#include "OVSyscalls.h"

#include <cerrno>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

// A change made at least this many seconds after the recorded change time carries a later one,
// on every file system whose clock ticks at most once a second (the kernel's coarse clock may lag
// the real-time clock by a tick, hence one second more).
constexpr time_t kSettledAfter = 2;

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

time_t now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

// The whole content of an open file; false on a read error.
bool readAll(int fd, std::string& text) {
    text.clear();
    char buffer[4096];
    for (;;) {
        ssize_t got = ovsys::table().read(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        text.append(buffer, static_cast<size_t>(got));
    }
}

// Reads path whole, with the status of the very file read.
bool readWithStatus(const std::string& path, std::string& text, struct stat& st) {
    int fd = ovsys::table().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool read = ovsys::table().fstat(fd, &st) == 0 && readAll(fd, text);
    int error = errno; // the caller tells a missing file from an unreadable one
    ovsys::table().close(fd);
    errno = error;
    return read;
}

} // namespace

bool FileVersion::read(const std::string& path, std::string& text) {
    // The clock is read before the file: a change after it carries a later change time.
    time_t before = now();
    struct stat st;
    state = Unknown;
    if (!readWithStatus(path, text, st)) {
        if (errno == ENOENT)
            state = Absent;
        return false;
    }
    state = Present;
    status = st;
    bytes = text;
    recent = before < st.st_ctim.tv_sec + kSettledAfter;
    return true;
}

bool FileVersion::sameStatus(const struct stat& st) const {
    return st.st_dev == status.st_dev && st.st_ino == status.st_ino &&
           st.st_size == status.st_size && sameTime(st.st_mtim, status.st_mtim) &&
           sameTime(st.st_ctim, status.st_ctim);
}

bool FileVersion::unchanged(const std::string& path) const {
    if (state == Unknown)
        return false;
    time_t before = now();
    struct stat st;
    if (ovsys::table().stat(path.c_str(), &st) != 0)
        return state == Absent && errno == ENOENT;
    if (state == Absent || !sameStatus(st))
        return false;
    if (!recent)
        return true;
    std::string text;
    struct stat readStatus;
    if (!readWithStatus(path, text, readStatus) || !sameStatus(readStatus) || text != bytes)
        return false;
    // From now on a change can no longer carry the recorded status.
    recent = before < status.st_ctim.tv_sec + kSettledAfter;
    return true;
}
