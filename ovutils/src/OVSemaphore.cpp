#include "OVSemaphore.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVStop.h"
#include "OVSyscalls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <unistd.h>

namespace {

std::string lockDirectory(const std::string& given) {
    if (!given.empty())
        return given;
    // Set but empty counts as unset: "" + "/" + name would put the lock files at the root.
    const char* fromEnvironment = getenv("LOCK_VAR");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : ".";
}

std::string failure(const char* what, const std::string& name, int error) {
    return std::string(what) + name + " [" + strerror(error) + "]";
}

// Ends a wait for the lock file that a stop request cut short.
[[noreturn]] void abandonWait(const std::string& file) {
    rh_logger.infoLog("The wait for the lock file \"%s\" was abandoned: signal %d asked to stop",
                      file.c_str(), ovstop::signal());
    throw OVTimeoutException(EINTR, "Semaphore wait abandoned: stop requested");
}

void sleepMicros(long micros) {
    struct timespec delay = {micros / 1000000L, (micros % 1000000L) * 1000L};
    ovsys::table().nanosleep(&delay, nullptr); // an interrupted sleep is not resumed
}

// The retries whose delays grow: the ceiling 1 ms << kGrowingRetries passes the longest delay.
constexpr int kGrowingRetries = 10;
constexpr long kFirstCeilingMicros = 1000;
constexpr long kShortestLateMicros = 10000;
constexpr long kLongestMicros = 989000;

} // namespace

OVSemaphore::OVSemaphore(const std::string& name, bool autoRelease)
    : OVSemaphore(name, std::string(), autoRelease) {}

OVSemaphore::OVSemaphore(const std::string& name, const std::string& directory, bool autoRelease)
    : name(name), directory(lockDirectory(directory)), autoRelease(autoRelease), locked(false) {}

OVSemaphore::~OVSemaphore() {
    if (!autoRelease)
        return;
    try {
        unlock();
    } catch (const OVException&) {
        // A destructor must not throw; the lock file stays, and unlock logged its path and errno.
    }
}

std::string OVSemaphore::path() const {
    return directory + "/" + lockFileName(name);
}

std::string lockFileName(const std::string& name) {
    std::string file = "semaphore_" + name;
    if (file.size() <= kLockFileNameMax)
        return file;
    // FNV-1a over the whole name: a fixed function, so that every process shortens alike.
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return file.substr(0, kLockFileNameMax - 17) + "-" + digits;
}

bool OVSemaphore::lockResource() {
    std::string file = path();
    errno = 0;
    int fd = ovsys::table().open(file.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_CLOEXEC, 0660);
    if (fd >= 0) {
        ovsys::table().close(fd);
        locked = true;
        return true;
    }
    if (errno == EEXIST)
        return false;
    int error = errno;
    // Not a held lock but a lock directory that is missing or not writable: the operator needs the
    // path to mend it, which the exception's text (the lock's name) does not give.
    rh_logger.errorLog("The lock file \"%s\" could not be created. Error code is %d", file.c_str(),
                       error);
    throw OVIOException(error, failure("Creating semaphore failed: ", name, error));
}

bool OVSemaphore::lock(int timeoutSeconds) {
    long long remainingMicros = static_cast<long long>(timeoutSeconds) * 1000000;
    for (int retry = 0;; retry = std::min(retry + 1, kGrowingRetries)) {
        if (lockResource())
            return true;
        // A lock that is free is still taken after a stop request: only waiting ends, so that
        // the short steps that release a stopped operation's work still get their locks.
        if (ovstop::requested())
            abandonWait(path());
        if (timeoutSeconds != 0 && remainingMicros <= 0)
            throw OVTimeoutException(1, "Semaphore timed out");
        long delay = lockDelayMicros(retry);
        sleepMicros(delay); // cut short by a signal, so a stop is heeded at once
        if (ovstop::requested())
            abandonWait(path());
        if (timeoutSeconds > 0)
            remainingMicros -= delay;
    }
}

bool OVSemaphore::tryLock(int timeoutSeconds) {
    try {
        return lock(timeoutSeconds);
    } catch (const OVException&) {
        return false;
    }
}

void OVSemaphore::unlock() {
    if (!locked)
        return;
    std::string file = path();
    errno = 0;
    if (ovsys::table().unlink(file.c_str()) != 0 && errno != ENOENT) {
        int error = errno;
        rh_logger.errorLog("The lock file \"%s\" could not be removed. Error code is %d",
                           file.c_str(), error);
        throw OVIOException(error, failure("Releasing semaphore failed: ", name, error));
    }
    locked = false;
}

long lockDelayMicros(int retry) {
    static std::minstd_rand generator;
    static pid_t seededFor = 0;
    pid_t self = getpid();
    if (seededFor != self) {
        // Seeded anew in every process: a child of fork would otherwise repeat its parent's
        // sequence and poll in step with its siblings.
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        generator.seed(static_cast<unsigned long>(ticks) ^
                       (static_cast<unsigned long>(self) << 16));
        seededFor = self;
    }
    // Most locks are held for a few milliseconds (one resource's move or lookup): the first
    // retries come soon, and the delays double (each drawn from the upper half of its ceiling)
    // until they reach the range of a long wait. A waiter then polls rarely, and the draws keep
    // waiters that met the same holder from polling in step.
    if (retry >= 0 && retry < kGrowingRetries) {
        long ceiling = kFirstCeilingMicros << retry;
        return std::uniform_int_distribution<long>(ceiling / 2, ceiling)(generator);
    }
    return std::uniform_int_distribution<long>(kShortestLateMicros, kLongestMicros)(generator);
}

char* toResourceID(const char* repositoryPath, const char* resource) {
    ovAssert(repositoryPath != nullptr, "repositoryPath", 41, "ovutils/src/OVSemaphore");
    ovAssert(resource != nullptr, "resource", 42, "ovutils/src/OVSemaphore");
    std::string id = std::string("OVRepositoryHandler-") + repositoryPath + "-" + resource;
    std::replace(id.begin(), id.end(), '/', '_');
    return toArray(id);
}

std::string resourceLockName(const std::string& repositoryPath, const std::string& resource) {
    std::unique_ptr<char[]> id(toResourceID(repositoryPath.c_str(), resource.c_str()));
    return id.get();
}
