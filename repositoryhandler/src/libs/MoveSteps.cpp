// The small steps of moves and removals: logging a failure with its errno, status queries,
// listings and times.
#include "MoveSteps.h"

#include "OVLogger.h"
#include "OVPaths.h"
#include "OVStop.h"

#include <unistd.h>

namespace moving {

void logError(const std::string& text) {
    rh_logger.errorLog("%s", text.c_str());
}

// Logs text with the errno that caused it (the failing call's own, taken right after it) and
// gives the error result; errno keeps the cause for the caller.
int failed(const std::string& text, int error) {
    logError(text + " Error code is " + std::to_string(error));
    errno = error;
    return kError;
}

// The stat failure of path that errno tells, logged.
int statFailed(const std::string& path) {
    int error = errno;
    logStatFailure(path, error);
    return kError;
}

bool stopRequested(const std::string& what) {
    if (!ovstop::requested())
        return false;
    failed(what + " was stopped on request.", EINTR);
    return true;
}

// path without trailing "/" (a lone "/" stays), so that a link given as "link/" names the link
// itself and is never followed.
std::string withoutTrailingSlashes(const char* path) {
    std::string text(path);
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// lstat that logs its failure in the words of myStat.
bool lstatLogged(const std::string& path, struct stat* st) {
    if (lstatOk(path, st))
        return true;
    statFailed(path);
    return false;
}

// Gives path (a link itself, not its target) the access and modification times of st. A failure
// is ignored: the data has arrived (or stayed), only its times are off.
void keepTimes(const std::string& path, const struct stat& st) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ovsys::table().utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The names of the entries of dir in ascending byte order. A listing that fails is logged and
// false: a decision that rests on a listing never takes a failed one for an empty one.
bool listed(const std::string& dir, std::vector<std::string>& names) {
    int error = readDirectory(dir, names);
    if (error == 0)
        return true;
    failed("The directory \"" + dir + "\" could not be listed.", error);
    return false;
}

int notRemoved(const std::string& path, int error) {
    return failed("The resource \"" + path + "\" could not be removed.", error);
}

// Writes the entries of dir (a rename into it) to disk. False with errno.
bool syncDirectory(const std::string& dir) {
    Descriptor handle(dir, O_RDONLY | O_DIRECTORY);
    return handle.get() >= 0 && ovsys::table().fsync(handle.get()) == 0;
}

int conflict(const std::string& origin, const std::string& dest) {
    logError("The resource \"" + origin + "\" conflicts with \"" + dest + "\".");
    return kConflict;
}

int notRenamed(const std::string& origin, const std::string& dest, int error) {
    return failed("The resource \"" + origin + "\" could not be renamed to \"" + dest + "\".",
                  error);
}

// Gives the origin of a move that failed the access and modification times it had before: where
// it could not be read without touching them (not the copier's, which reads with O_NOATIME where
// it may), a resource that looks used now would never be tried again. Only while the same entry
// stands under its name.
void restoreTimes(const std::string& origin, const struct stat& before) {
    struct stat now;
    if (!lstatOk(origin, &now) || now.st_ino != before.st_ino || now.st_dev != before.st_dev)
        return;
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (ovsys::table().utimensat(AT_FDCWD, origin.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        rh_logger.debugLog("The times of %s stay changed", origin.c_str());
}

} // namespace moving
