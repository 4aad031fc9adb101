#include "OVDirtyFlagHandler.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "ResourceSizes.h"
#include "SharedRepository.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Assertion lines of this unit, as the repository library's assertion texts have always named them.
constexpr long kRepositoryLine = 1682;
constexpr long kIsDirtyLine = 1725;
constexpr long kSetDirtyLine = 1748;

const char* const kSetFileName = ".dirty";

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The whole content of an open file; false on a read error.
bool readAll(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        ssize_t got = ovsys::table().read(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
    }
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = ovsys::table().write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno != EINTR)
            return false;
        if (put > 0)
            done += static_cast<size_t>(put);
    }
    return true;
}

void logFailure(const std::string& path, const char* what, int error) {
    std::string text = "The dirty mechanism \"" + path + "\" could not be " + what +
                       ". Error code is " + std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
}

// The directory that holds the set file.
std::string directoryOf(const std::string& setFile) {
    size_t slash = setFile.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : setFile.substr(0, slash);
}

// The writer named by a temporary set file (".dirty." and its tag); false for any other name.
bool writerOf(const std::string& name, Writer& writer) {
    std::string prefix = std::string(kSetFileName) + ".";
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           parseWriterTag(name.substr(prefix.size()), writer);
}

} // namespace

std::set<std::string> OVDirtyFlagHandler::parseSetText(const std::string& text) {
    std::set<std::string> identifiers;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        // Written files are sorted: each identifier offered at the end of the set goes there
        // without a search (any other order is still taken).
        identifiers.emplace_hint(identifiers.end(), text, start, end - start);
        start = end + 1;
    }
    return identifiers;
}

std::string OVDirtyFlagHandler::setText(const std::set<std::string>& identifiers) {
    std::string text;
    for (const std::string& id : identifiers)
        text.append(id).push_back('\n');
    return text;
}

bool OVDirtyFlagHandler::SeenFile::hold(int descriptor) {
    struct stat status;
    if (ovsys::table().fstat(descriptor, &status) != 0) {
        ovsys::table().close(descriptor);
        forget();
        return false;
    }
    forget();
    fd = descriptor;
    st = status;
    return true;
}

bool OVDirtyFlagHandler::SeenFile::stillHeld() const {
    struct stat now;
    return fd >= 0 && ovsys::table().fstat(fd, &now) == 0 && now.st_dev == st.st_dev &&
           now.st_ino == st.st_ino;
}

void OVDirtyFlagHandler::SeenFile::forget() {
    if (stillHeld()) // a number that now names another file of the program's is not closed
        ovsys::table().close(fd);
    fd = -1;
    st = {};
}

bool OVDirtyFlagHandler::SeenFile::matches(const struct stat& other) const {
    return stillHeld() && st.st_dev == other.st_dev && st.st_ino == other.st_ino &&
           st.st_size == other.st_size && sameTime(st.st_mtim, other.st_mtim) &&
           sameTime(st.st_ctim, other.st_ctim);
}

OVDirtyFlagHandler::OVDirtyFlagHandler() = default;
OVDirtyFlagHandler::~OVDirtyFlagHandler() = default;

std::string OVDirtyFlagHandler::lockName() const {
    return resourceLockName(setFile, "");
}

void OVDirtyFlagHandler::setRepository(const char* repositoryPath) {
    ovAssert(repositoryPath != nullptr, "repository", kRepositoryLine, kRepositorySource);
    setFile = std::string(repositoryPath) + "/" + kSetFileName;
    // Whatever was known belonged to the file bound before; the new one is read afresh.
    dirtySet.clear();
    seen.forget();
    known = false;
    if (!refresh())
        logReadFailure("; every flag counts as set until it can be read");
}

bool OVDirtyFlagHandler::takeLock(OVSemaphore& lock) {
    // After one time-out in this call the holder is taken to be gone for good (a killed process
    // leaves its lock file): waiting again would only multiply the delay of the call.
    if (lock.tryLock(lockGivenUp ? -1 : 30))
        return true;
    lockGivenUp = true;
    std::string text = "The dirty mechanism \"" + setFile + "\" could not be locked.";
    rh_logger.errorLog("%s", text.c_str());
    return false;
}

void OVDirtyFlagHandler::logReadFailure(const std::string& consequence) const {
    std::string text = "The dirty mechanism \"" + setFile + "\" could not be read. Error code is " +
                       std::to_string(readError) + consequence;
    rh_logger.errorLog("%s", text.c_str());
}

bool OVDirtyFlagHandler::unchangedSinceSeen() const {
    if (!known)
        return false;
    struct stat st;
    if (ovsys::table().stat(setFile.c_str(), &st) != 0)
        return errno == ENOENT && !seen.present();
    return seen.matches(st);
}

bool OVDirtyFlagHandler::refresh() {
    auto fail = [this](int error) {
        known = false;
        readError = error;
        return false;
    };
    struct stat st;
    int fd = -1;
    if (ovsys::table().stat(setFile.c_str(), &st) == 0) {
        if (known && seen.matches(st))
            return true;
        // Read through one descriptor, which is then kept: its status describes what was read.
        fd = ovsys::table().open(setFile.c_str(), O_RDONLY | O_CLOEXEC, 0);
    }
    if (fd < 0) {
        if (errno != ENOENT)
            return fail(errno);
        // Writers replace the file but never remove it: a file seen before and gone now was
        // removed on purpose, and with it every flag.
        dirtySet.clear();
        seen.forget();
        known = true;
        return true;
    }
    std::string text;
    if (!readAll(fd, text)) {
        int error = errno;
        ovsys::table().close(fd);
        return fail(error);
    }
    if (!seen.hold(fd))
        return fail(errno);
    dirtySet = parseSetText(text);
    known = true;
    return true;
}

bool OVDirtyFlagHandler::isDirty(const char* resourceId) {
    ovAssert(resourceId != nullptr, "resourceId", kIsDirtyLine, kRepositorySource);
    // The file is only ever replaced whole: it is read without the lock.
    certain = unchangedSinceSeen() || refresh();
    if (!certain) {
        logReadFailure("; \"" + std::string(resourceId) + "\" counts as dirty.");
        return true; // a state that cannot be read is treated as dirty
    }
    return dirtySet.count(resourceId) != 0;
}

bool OVDirtyFlagHandler::setDirty(const char* resourceId, bool dirty) {
    ovAssert(resourceId != nullptr, "resourceId", kSetDirtyLine, kRepositorySource);
    return setDirty(std::vector<std::string>{resourceId}, dirty);
}

bool OVDirtyFlagHandler::setDirty(const std::vector<std::string>& resourceIds, bool dirty) {
    for (const std::string& id : resourceIds)
        if (id.find('\n') != std::string::npos) {
            // The set file holds one identifier per line: this one would flag two others.
            std::string text = "The identifier \"" + id + "\" cannot be flagged.";
            rh_logger.errorLog("%s", text.c_str());
            return false;
        }
    if (resourceIds.empty())
        return true;
    OVSemaphore lock(lockName(), lockDir, true);
    if (!takeLock(lock))
        return false;
    if (!refresh()) {
        logReadFailure("; the flag of \"" + resourceIds.front() + "\" is not changed.");
        return false;
    }
    bool changed = false;
    for (const std::string& id : resourceIds)
        changed = (dirty ? dirtySet.insert(id).second : dirtySet.erase(id) != 0) || changed;
    return !changed || writeSetFile() == 0;
}

bool OVDirtyFlagHandler::flagged(std::vector<std::string>& identifiers) {
    if (!unchangedSinceSeen() && !refresh()) {
        logReadFailure("; the flagged resources cannot be listed.");
        return false;
    }
    identifiers.assign(dirtySet.begin(), dirtySet.end());
    return true;
}

bool OVDirtyFlagHandler::clearDirtySet() {
    OVSemaphore lock(lockName(), lockDir, true);
    if (!takeLock(lock))
        return false;
    // The file's content does not matter: it is replaced by the empty set.
    dirtySet.clear();
    return writeSetFile() == 0;
}

int OVDirtyFlagHandler::writeSetFile() {
    // The whole set goes to a file of this process's own next to the set file, which then
    // replaces the set file in one step: readers and a crash see the old set or the new one.
    // A stop request (OVStop.h) does not cut the writing short: it is brief, and the flag it
    // records (or clears) is what keeps a move that was stopped safe. Only the wait for the
    // lock gives up (takeLock).
    std::string temporary = setFile + "." + writerTag();
    // Made anew, never through what stands under the name (a link placed there would have the
    // set written, and its owner and mode changed, wherever it leads).
    ovsys::table().unlink(temporary.c_str());
    int fd = ovsys::table().open(temporary.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    int error = fd < 0 ? errno : 0;
    const std::string* failed = &temporary;
    if (error == 0 && (!writeAll(fd, setText(dirtySet)) || ovsys::table().fsync(fd) != 0))
        error = errno;
    if (error == 0 && (error = keepAttributes(fd)) != 0)
        failed = &setFile;
    if (error == 0 && ovsys::table().rename(temporary.c_str(), setFile.c_str()) != 0) {
        error = errno;
        failed = &setFile;
    }
    if (error != 0) {
        logFailure(*failed, "written", error);
        if (fd >= 0) {
            ovsys::table().close(fd);
            ovsys::table().unlink(temporary.c_str());
        }
        // The change did not reach the file: the set is read from it again, flags as they were.
        known = false;
        return error;
    }
    // The file just written is held as the one seen, so that it is not read back as someone
    // else's change (its status is taken after the rename, which may change it).
    known = seen.hold(fd);
    removeStaleTemporaries();
    return 0;
}

int OVDirtyFlagHandler::keepAttributes(int fd) const {
    struct stat previous;
    bool replacing = ovsys::table().stat(setFile.c_str(), &previous) == 0;
    if (!replacing && errno != ENOENT)
        return errno; // the mode and owner to keep are unknown
    // A first set file belongs to the owner of the repository directory and may be read and
    // written by whoever may read and write that directory.
    if (!replacing && ovsys::table().stat(directoryOf(setFile).c_str(), &previous) != 0)
        return 0;
    mode_t mode = replacing ? previous.st_mode & 07777 : previous.st_mode & 0666;
    // The owner first: changing it may clear set-id bits, which the mode then sets again. A
    // writer that may not give the file away still gives it the group, when it may.
    if (ovsys::table().fchown(fd, previous.st_uid, previous.st_gid) != 0)
        ovsys::table().fchown(fd, static_cast<uid_t>(-1), previous.st_gid);
    ovsys::table().fchmod(fd, mode);
    return 0;
}

void OVDirtyFlagHandler::removeStaleTemporaries() const {
    // Every writer holds the lock, which this process holds now: a temporary whose writer is no
    // longer running was left by a writer that died. Only this host's process ids can be asked;
    // another host's temporary goes once it is far older than any write.
    std::string directory = directoryOf(setFile);
    std::vector<std::string> names;
    listDir(directory.c_str(), &names);
    time_t now = time(nullptr);
    for (const std::string& name : names) {
        Writer writer;
        struct stat st;
        std::string path = directory + "/" + name;
        if (writerOf(name, writer) && ovsys::table().lstat(path.c_str(), &st) == 0 &&
            writerGone(writer, st.st_mtime, now))
            ovsys::table().unlink(path.c_str());
    }
}
