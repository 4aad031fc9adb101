#ifndef REPOSITORYHANDLER_SHAREDREPOSITORY_H
#define REPOSITORYHANDLER_SHAREDREPOSITORY_H

#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

// One repository used from several hosts at once (its directories on a network file system).
//
// Lock directory: "lockDirectory = <path>" in repository.cfg names the directory of every lock
// file of the repository (a relative path lies below the repository directory), for every process
// of every host; it overrides LOCK_VAR for this repository. Without the key, locks go to LOCK_VAR,
// else to the working directory, as before. The key marks the repository as shared.
//
// Writer tags: the library's temporary names carry "<host>-<pid>" of the process that made them.
// A process judges a leftover abandoned by the process id only when the host is its own: another
// host's process ids mean nothing here. Another host's leftovers go once they are older than
// kForeignLeftoverSeconds (far beyond any operation), or by hand. Names of the earlier form,
// "<pid>" alone, were written before hosts were named, on this host: they count as its own.
//
// Lock names hold the repository path: every host must reach the repository under the same path.
//
// Host records: each process that opens a shared repository records once, in
// "<repository>/.host.<host>", the repository path and the lock directory as its host names them,
// and the identity token
// found in that directory (a random text in "<lock directory>/lockdirectory.id", made by the
// first process that needs it). repostat --check compares every host's record with what it sees:
// a host whose token differs uses another directory under the same name (another file system
// mounted there, or none), and one that names the repository by another path locks other names:
// the locks of either exclude nothing.

// The host name in temporary names: ORVANE_HOST when set and not empty (for tests), else
// gethostname(); every character other than a letter, digit, '.' or '_' becomes '_' (so that a
// '-' never splits it), "localhost" when there is none.
std::string hostName();

// "<host>-<pid>" of this process.
std::string writerTag();

// A writer named by a tag.
struct Writer {
    std::string host;
    pid_t pid = 0;
    bool ownHost = false; // this host, or a tag of the earlier form without a host
};

// Parses "<host>-<pid>" or "<pid>" (digits only, at most 9). false for anything else.
bool parseWriterTag(const std::string& tag, Writer& writer);

// How long after its last change another host's leftover counts as abandoned.
constexpr time_t kForeignLeftoverSeconds = 86400;

// Whether the writer of a leftover no longer works on it: on this host, when the process is not
// this one and kill(pid, 0) fails with ESRCH; on another host, when the leftover last changed
// more than kForeignLeftoverSeconds before now.
bool writerGone(const Writer& writer, time_t lastChange, time_t now);

// The lock directory that a repository's "lockDirectory" value names: absolute as it is, relative
// below repositoryPath. "" for a missing or empty value (the repository is not shared).
std::string resolveLockDirectory(const std::string& repositoryPath, const char* value);

// The name of the identity token's file in a lock directory.
constexpr const char* kLockDirectoryIdName = "lockdirectory.id";
// The prefix of a host record's file name in the repository directory.
constexpr const char* kHostRecordPrefix = ".host.";

// The token of the lock directory, made when missing (written aside and linked into place, so that
// concurrent makers agree on one). "" when it cannot be read or made (logged).
std::string lockDirectoryToken(const std::string& lockDir);

// Records this host's view of the lock directory in the repository directory, once per process
// and repository; also checks that the lock directory is there, logging a missing one with its
// path (it is never created: a missing shared directory is mostly a file system not mounted).
// Failures are logged and change nothing else.
void recordHost(const std::string& repositoryPath, const std::string& lockDir);

struct HostRecord {
    std::string host;
    std::string repositoryPath;
    std::string lockDirectory;
    std::string token;
};

// The record held by the text of a host record file.
HostRecord parseHostRecord(const std::string& host, const std::string& text);

// The name of a file system type (statfs f_type) that several hosts share, or null for a local
// one (or one not known to be shared).
const char* sharedFileSystemName(long type);

#endif
