#ifndef OVUTILS_OVSEMAPHORE_H
#define OVUTILS_OVSEMAPHORE_H

#include "OVExport.h"

#include <cstddef>
#include <string>

// A named lock between processes, made of an empty file: whoever creates
// <directory>/semaphore_<name> (exclusively) holds the lock, and removing the file releases it.
// A name too long for a file name is shortened by lockFileName.
//
// Protocol:
//   OVSemaphore lock(toResourceID(repository, resource), true);  // nothing happens yet
//   lock.lock(30);   // true once held; throws OVTimeoutException(1, "Semaphore timed out") when
//                    // the delays slept add up to 30 seconds and the lock is still taken,
//                    // OVIOException (code errno, message
//                    // "Creating semaphore failed: <name> [<system text>]") when the file cannot
//                    // be created for another reason than that it exists, and
//                    // OVTimeoutException(EINTR, "Semaphore wait abandoned: stop requested")
//                    // when a stop was requested (OVStop.h) while the lock is held by another
//   ... work ...
//   lock.unlock();   // or let the destructor release it (autoRelease)
//
// The directory is the one given, else the value of "LOCK_VAR" (when set and not empty), else
// "."; every cooperating
// process must agree on it. The file records no owner: a lock left by a process that died stays
// taken until someone removes the file. The lock is not re-entrant: a second object of the same
// name, even in the same process, waits like any stranger. There is no queue: waiters poll, the
// first retries soon and then ever more rarely (lockDelayMicros), so that a lock held briefly
// costs a brief wait and a lock held long costs few attempts.
class OVSemaphore {
public:
    OVSemaphore(const std::string& name, bool autoRelease);
    OVSemaphore(const std::string& name, const std::string& directory, bool autoRelease);
    ~OVSemaphore();
    OVSemaphore(const OVSemaphore&) = delete;
    OVSemaphore& operator=(const OVSemaphore&) = delete;

    // One attempt: true when the lock file was created, false when it exists already.
    bool lockResource();
    // Waits for the lock. timeoutSeconds 0 waits for ever; a positive value gives up once the
    // delays slept reach that many seconds; a negative value makes exactly one attempt. A stop
    // request (OVStop.h) ends any wait before and after each delay; a free lock is still taken.
    bool lock(int timeoutSeconds);
    // lock(timeoutSeconds), with a time-out, an abandoned wait or a lock file that cannot be
    // created reported as false instead of an exception, for callers that log the failure and
    // give up.
    bool tryLock(int timeoutSeconds);
    // Removes the lock file if this object holds the lock; a file already gone is no error.
    void unlock();

    bool isLocked() const { return locked; }
    const std::string& getName() const { return name; }
    // The path of the lock file.
    std::string path() const;

private:
    std::string name;
    std::string directory;
    bool autoRelease;
    bool locked;
};

// The longest file name that file systems take.
constexpr size_t kLockFileNameMax = 255;

// The name of the lock file of the lock name: "semaphore_" + name. When that is longer than a file
// name may be (kLockFileNameMax bytes), its first 238 bytes, "-" and the 16 lower-case hex digits
// of the 64-bit FNV-1a hash of the whole name (offset basis 0xcbf29ce484222325, prime
// 0x100000001b3), 255 bytes in all. Names that fit keep their file name unchanged. Two long names
// that shorten alike only wait for each other: they never fail to exclude each other.
std::string lockFileName(const std::string& name);

// The lock name of a resource: "OVRepositoryHandler-" + repositoryPath + "-" + resource, each with
// every "/" replaced by "_". A new array owned by the caller.
extern "C" OV_EXPORT char* toResourceID(const char* repositoryPath, const char* resource);

// toResourceID as a std::string.
std::string resourceLockName(const std::string& repositoryPath, const std::string& resource);

// The delay in microseconds before retry number retry (0 for the first) of a wait for a lock:
// drawn from [c / 2, c] with the ceiling c = 1 ms << retry for retries 0 to 9 (0.5 to 1 ms, then
// 1 to 2 ms, ... 256 to 512 ms; about 0.5 to 1 s in all), and from 10 to 989 ms from retry 10
// on. Drawn from a generator of the library's own, seeded per process from its process id and
// the clock, so that competing processes do not poll in step and rand() of the program is left
// alone.
long lockDelayMicros(int retry);

#endif
