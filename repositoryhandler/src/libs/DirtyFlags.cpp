#include "OVDirtyFlagHandler.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Assertion lines of this unit, as the repository library's assertion texts have always named them.
constexpr long kRepositoryLine = 1682;
constexpr long kIsDirtyLine = 1725;
constexpr long kSetDirtyLine = 1748;
constexpr long kReadLine = 1705;
constexpr long kWriteLine = 1781;

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Reads one identifier per line, whatever its length; a trailing line feed is not part of it.
// Throws the read assertion when the file cannot be opened or read, leaving nothing half-read.
std::set<std::string> readIdentifiers(const std::string& path) {
    int fd = ovsys::table().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    FILE* f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (f == nullptr) {
        if (fd >= 0)
            ovsys::table().close(fd);
        throw OVAssertionException("f", kReadLine, kRepositorySource);
    }
    std::set<std::string> identifiers;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, f)) >= 0) {
        if (length > 0 && line[length - 1] == '\n')
            --length;
        identifiers.emplace(line, static_cast<size_t>(length));
    }
    free(line);
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed)
        throw OVAssertionException("f", kReadLine, kRepositorySource);
    return identifiers;
}

// Writes the identifiers, one per line, and forces them to the disk; false on any failure.
bool writeIdentifiers(FILE* f, const std::set<std::string>& identifiers) {
    for (const std::string& id : identifiers)
        if (fwrite(id.data(), 1, id.size(), f) != id.size() || fputc('\n', f) == EOF)
            return false;
    return fflush(f) == 0 && fsync(fileno(f)) == 0;
}

// Gives up a write: removes the temporary file when it was created, and throws.
[[noreturn]] void discard(const std::string& temporary, bool created) {
    if (created)
        ovsys::table().unlink(temporary.c_str());
    throw OVAssertionException("f", kWriteLine, kRepositorySource);
}

// Takes the dirty-flag lock of setFile; a failure is logged, and the caller then gives up.
bool takeLock(OVSemaphore& lock, const std::string& setFile) {
    if (lock.tryLock(30))
        return true;
    std::string text = "The dirty mechanism \"" + setFile + "\" could not be locked.";
    rh_logger.errorLog("%s", text.c_str());
    return false;
}

} // namespace

OVDirtyFlagHandler::FileStamp OVDirtyFlagHandler::FileStamp::of(const struct stat& st) {
    FileStamp stamp;
    stamp.present = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    stamp.changed = st.st_ctim;
    return stamp;
}

bool OVDirtyFlagHandler::FileStamp::matches(const struct stat& st) const {
    return present && device == st.st_dev && inode == st.st_ino && size == st.st_size &&
           sameTime(modified, st.st_mtim) && sameTime(changed, st.st_ctim);
}

OVDirtyFlagHandler::OVDirtyFlagHandler() = default;

std::string OVDirtyFlagHandler::lockName() const {
    return resourceLockName(setFile, "");
}

void OVDirtyFlagHandler::setRepository(const char* repositoryPath) {
    ovAssert(repositoryPath != nullptr, "repository", kRepositoryLine, kRepositorySource);
    setFile = std::string(repositoryPath) + "/.dirty";
    // Whatever was known belonged to the file bound before; the new one is read afresh.
    dirtySet.clear();
    lastSeen = FileStamp();
    OVSemaphore lock(lockName(), true);
    if (!takeLock(lock, setFile))
        return;
    refresh();
}

bool OVDirtyFlagHandler::unchangedSinceSeen() const {
    struct stat st;
    if (ovsys::table().stat(setFile.c_str(), &st) != 0)
        return errno == ENOENT && !lastSeen.present;
    return lastSeen.matches(st);
}

void OVDirtyFlagHandler::refresh() {
    struct stat st;
    if (ovsys::table().stat(setFile.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw OVAssertionException("f", kReadLine, kRepositorySource);
        // Writers replace the file but never remove it: a file seen before and gone now was
        // removed on purpose, and with it every flag. One never seen leaves the set as it is.
        if (lastSeen.present) {
            dirtySet.clear();
            lastSeen = FileStamp();
        }
        return;
    }
    if (lastSeen.matches(st))
        return;
    // Under the lock nobody replaces the file, so the status taken above describes what is read.
    dirtySet = readIdentifiers(setFile);
    lastSeen = FileStamp::of(st);
}

bool OVDirtyFlagHandler::isDirty(const char* resourceId) {
    ovAssert(resourceId != nullptr, "resourceId", kIsDirtyLine, kRepositorySource);
    // The file is only ever replaced whole, so an unchanged file means the set is current.
    if (unchangedSinceSeen())
        return dirtySet.count(resourceId) != 0;
    OVSemaphore lock(lockName(), true);
    if (!takeLock(lock, setFile))
        return true; // a state that cannot be read is treated as dirty
    refresh();
    return dirtySet.count(resourceId) != 0;
}

void OVDirtyFlagHandler::setDirty(const char* resourceId, bool dirty) {
    ovAssert(resourceId != nullptr, "resourceId", kSetDirtyLine, kRepositorySource);
    OVSemaphore lock(lockName(), true);
    if (!takeLock(lock, setFile))
        return;
    refresh();
    bool changed = dirty ? dirtySet.insert(resourceId).second : dirtySet.erase(resourceId) != 0;
    if (changed)
        writeSetFile();
}

void OVDirtyFlagHandler::clearDirtySet() {
    OVSemaphore lock(lockName(), true);
    if (!takeLock(lock, setFile))
        return;
    // The file's content does not matter: it is replaced by the empty set.
    dirtySet.clear();
    writeSetFile();
}

int OVDirtyFlagHandler::writeSetFile() {
    // The whole set goes to a file of this process's own next to the set file, which then
    // replaces the set file in one step: readers and a crash see the old set or the new one.
    std::string temporary = setFile + "." + std::to_string(getpid());
    int fd = ovsys::table().open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (f == nullptr) {
        if (fd >= 0)
            ovsys::table().close(fd);
        discard(temporary, fd >= 0);
    }
    bool written = writeIdentifiers(f, dirtySet);
    written = fclose(f) == 0 && written;
    if (!written || ovsys::table().rename(temporary.c_str(), setFile.c_str()) != 0)
        discard(temporary, true);
    // Remember the file just written, so that it is not read back as someone else's change.
    struct stat st;
    lastSeen = ovsys::table().stat(setFile.c_str(), &st) == 0 ? FileStamp::of(st) : FileStamp();
    return 0;
}
