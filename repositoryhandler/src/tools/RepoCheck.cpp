#include "RepoCheck.h"

#include "OVRepositoryHandler.h"
#include "OVSyscalls.h"
#include "RepoReport.h"
#include "RepoState.h"
#include "SharedRepository.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

const char* const kNumberKeys[] = {"remindLimit", "warnLimit",        "warn2Limit", "warn3Limit",
                                   "switchLimit", "fullLimit",        "cleanLimit", "moveLimit",
                                   "nomoveTime",  "nomoveTimeSeconds"};
const char* const kPartKeys[] = {"switchLimit", "fullLimit", "cleanLimit", "moveLimit"};

std::string trimmed(const std::string& text) {
    const char* space = " \t\n\v\f\r";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The name/value pairs of a configuration text, read as the library reads them: split at the
// first '=', '"' taken as a space, white space around both removed; empty names, lines without
// '=' and comment lines skipped.
Entries entriesOf(const std::string& text) {
    Entries entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t equals = line.find('=');
        std::string name = trimmed(line.substr(0, equals));
        if (equals == std::string::npos || name.empty() || name[0] == '#')
            continue;
        std::string value = line.substr(equals + 1);
        std::replace(value.begin(), value.end(), '"', ' ');
        entries.emplace_back(name, trimmed(value));
    }
    return entries;
}

bool isOneOf(const std::string& name, const char* const* first, const char* const* last) {
    return std::any_of(first, last, [&](const char* key) { return name == key; });
}

// Reads the file's entries; false when it does not exist.
bool readEntries(const std::string& file, Entries& entries) {
    std::string text;
    if (!readQuietly(file, text)) {
        if (errno == ENOENT)
            return false;
        throw std::runtime_error("\"" + file + "\" cannot be read: " + std::strerror(errno));
    }
    entries = entriesOf(text);
    return true;
}

class Checker {
public:
    Checker(std::string path, time_t now) : path(std::move(path)), now(now) {}

    std::vector<Problem> run() {
        if (!isDirectory(path)) {
            problems.push_back({3, "the repository directory " + path + " does not exist"});
            return problems;
        }
        Entries config;
        std::string file = path + "/repository.cfg";
        bool configured = readEntries(file, config);
        checkKeys(file, config, true);
        std::string mountPoints, legacyDir;
        for (const auto& entry : config) {
            if (entry.first == "mountPoints")
                mountPoints = entry.second;
            else if (entry.first == "legacyDir")
                legacyDir = entry.second;
        }
        if (!configured || mountPoints.empty())
            checkMount(path); // the repository directory is its own mount
        else
            checkMountList(mountPoints);
        if (!legacyDir.empty() && !isDirectory(legacyDir))
            warning("the legacy directory " + legacyDir + " does not exist");
        RepoState state = readRepoState(path, {}, now);
        checkLocks(state);
        checkClearableLimits(state);
        checkBalancingLimits(state);
        return std::move(problems);
    }

private:
    void warning(const std::string& text) { problems.push_back({1, text}); }
    void critical(const std::string& text) { problems.push_back({2, text}); }

    static bool isDirectory(const std::string& dir) {
        struct stat st;
        return ovsys::table().stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    void checkKeys(const std::string& file, const Entries& entries, bool repositoryFile) {
        for (const auto& entry : entries) {
            const std::string& name = entry.first;
            bool number = repositoryFile
                              ? isOneOf(name, std::begin(kNumberKeys), std::end(kNumberKeys))
                              : isOneOf(name, std::begin(kPartKeys), std::end(kPartKeys));
            bool flag = repositoryFile &&
                        (name == "isClearable" || name == "verifyOnDevice" || name == "flushFiles");
            bool text = flag || (repositoryFile && (name == "mountPoints" || name == "legacyDir" ||
                                                    name == "lockDirectory"));
            if (!number && !text)
                warning(file + ": unknown key \"" + name + "\"");
            else if (number && parseNatInt(entry.second.c_str()) == -1)
                warning(file + ": the value \"" + entry.second + "\" of " + name +
                        " is not a number");
            else if (flag && entry.second != "true" && entry.second != "false")
                warning(file + ": the value \"" + entry.second + "\" of " + name +
                        " is neither true nor false");
        }
    }

    void checkMountList(const std::string& list) {
        for (char separator : {',', ';', ':', '|', ' ', '\t', '/'})
            if (list.find(separator) != std::string::npos) {
                warning(std::string("mountPoints \"") + list + "\" holds '" + separator +
                        "': mount names are separated by '\\' only");
                break;
            }
        for (size_t start = 0; start <= list.size();) {
            size_t end = std::min(list.find('\\', start), list.size());
            if (end > start)
                checkMount(path + "/" + list.substr(start, end - start));
            start = end + 1;
        }
    }

    void checkMount(const std::string& mount) {
        if (!isDirectory(mount)) {
            critical("the mount directory " + mount + " does not exist");
            return;
        }
        Entries part;
        std::string file = mount + "/repositorypart.cfg";
        if (readEntries(file, part)) {
            checkKeys(file, part, false);
            return;
        }
        bool off = ovsys::table().access((mount + "/repositorypart.no").c_str(), F_OK) == 0;
        warning("the mount directory " + mount + " lacks repositorypart.cfg" +
                (off ? " (switched off: repositorypart.no is there)" : ""));
    }

    // A clearable repository deletes only once a mount reached its move limit, while new
    // resources stop at the full limit: a move limit that is not below the full limit is never
    // reached by new data, and the repository fills up without clearing itself.
    void checkClearableLimits(const RepoState& state) {
        if (!state.clearable)
            return;
        for (const MountState& mount : state.mounts)
            if (mount.limitsKnown && mount.moveLimit >= mount.fullLimit)
                warning("the repository is clearable, but the moveLimit " +
                        std::to_string(mount.moveLimit) + " of " + mount.path +
                        " is not below its fullLimit " + std::to_string(mount.fullLimit) +
                        ": new resources stop at the full limit and old ones are never deleted; "
                        "set moveLimit below fullLimit (for example fullLimit = 97, moveLimit = "
                        "95, cleanLimit = 90)");
    }

    // Balancing starts on a mount at its moveLimit and moves resources off it until it is below
    // its cleanLimit. A cleanLimit of 0 is never reached, and one above the moveLimit is not
    // reached when balancing starts: the mount then counts as overloaded, but nothing is moved
    // off it. A moveLimit of 0 switches balancing off and is no such mistake.
    void checkBalancingLimits(const RepoState& state) {
        auto stopsBalancing = [](int clean, int move) {
            return move > 0 && (clean == 0 || clean > move);
        };
        if (stopsBalancing(state.cleanLimit, state.moveLimit))
            balancingWarning("the repository", path + "/repository.cfg", state.cleanLimit,
                             state.moveLimit);
        // A mount with the repository's limits is named by the warning above.
        for (const MountState& mount : state.mounts)
            if (mount.limitsKnown && stopsBalancing(mount.cleanLimit, mount.moveLimit) &&
                (mount.cleanLimit != state.cleanLimit || mount.moveLimit != state.moveLimit))
                balancingWarning(
                    "the mount " + mount.path,
                    mount.path + (mount.switchedOff ? "/repositorypart.no" : "/repositorypart.cfg"),
                    mount.cleanLimit, mount.moveLimit);
    }

    void balancingWarning(const std::string& whose, const std::string& file, int clean, int move) {
        std::string cleanLimit = std::to_string(clean), moveLimit = std::to_string(move);
        warning("the cleanLimit " + cleanLimit + " of " + whose +
                (clean == 0 ? " is never reached" : " is above its moveLimit " + moveLimit) +
                ": a mount at the moveLimit " + moveLimit +
                " counts as overloaded, but balancing moves nothing off it; in " + file +
                " set cleanLimit above 0 and not above moveLimit (for example moveLimit = 99, "
                "cleanLimit = 98)");
    }

    void checkLocks(const RepoState& state) {
        const char* lockVar = std::getenv("LOCK_VAR");
        if (state.sharedLocks) {
            if (checkSharedLocks(state, lockVar))
                checkLockFiles(state, state.lockDir);
            return;
        }
        if (lockVar == nullptr || *lockVar == '\0') {
            critical(std::string("LOCK_VAR is ") + (lockVar == nullptr ? "not set" : "empty") +
                     ": lock files go to each process's working directory and exclude nothing");
            return;
        }
        std::string dir = lockVar;
        if (!isDirectory(dir) || ovsys::table().access(dir.c_str(), W_OK | X_OK) != 0) {
            critical("the lock directory " + dir + " (LOCK_VAR) is missing or not writable");
            return;
        }
        checkLockFiles(state, dir);
    }

    // A repository that names its lock directory is used from several hosts: the directory must
    // be reachable, on a file system that the hosts share, and the same directory for each of
    // them. false when it cannot be reached.
    bool checkSharedLocks(const RepoState& state, const char* lockVar) {
        const std::string& dir = state.lockDir;
        if (lockVar != nullptr && *lockVar != '\0')
            problems.push_back({0, std::string("LOCK_VAR (") + lockVar +
                                       ") is set, but lockDirectory of repository.cfg wins for "
                                       "this repository: its lock files go to " +
                                       dir});
        if (!isDirectory(dir) || ovsys::table().access(dir.c_str(), W_OK | X_OK) != 0) {
            critical("the lock directory " + dir +
                     " (lockDirectory) is missing or not writable: is its file system mounted?");
            return false;
        }
        struct statfs fs;
        if (::statfs(dir.c_str(), &fs) != 0) {
            critical("the file system of the lock directory " + dir +
                     " cannot be queried: " + std::strerror(errno));
        } else if (sharedFileSystemName(static_cast<long>(fs.f_type)) == nullptr) {
            char type[24];
            std::snprintf(type, sizeof type, "0x%lx",
                          static_cast<unsigned long>(fs.f_type) & 0xffffffffUL);
            critical("the lock directory " + dir + " is on a local file system (type " + type +
                     "), but lockDirectory marks the repository as used from several hosts: "
                     "the other hosts never see its lock files, and nothing excludes them");
        }
        checkHosts(state);
        return true;
    }

    // Every host that opened the repository recorded the token it found in the lock directory:
    // a host with another token uses another directory under that name.
    void checkHosts(const RepoState& state) {
        std::string token;
        std::string file = state.lockDir + "/" + kLockDirectoryIdName;
        if (readQuietly(file, token)) {
            token = parseHostRecord("", token).token; // "token=" is a record's field as well
        } else if (errno != ENOENT) {
            throw std::runtime_error("\"" + file + "\" cannot be read: " + std::strerror(errno));
        }
        for (const HostRecord& host : state.hosts) {
            if (!host.repositoryPath.empty() && host.repositoryPath != state.path)
                critical("the host " + host.host + " reaches the repository as " +
                         host.repositoryPath + ", this host as " + state.path +
                         ": lock names hold the repository path, so their locks exclude nothing; "
                         "mount the repository under the same path on every host");
            if (host.token.empty() || host.token != token)
                critical("the host " + host.host + " uses the lock directory " +
                         host.lockDirectory + " with the token \"" + host.token +
                         "\", but the lock directory " + state.lockDir + " here holds " +
                         (token.empty() ? std::string("no token") : "the token \"" + token + "\"") +
                         ": the hosts lock in different directories and exclude nothing (see " +
                         state.path + "/" + kHostRecordPrefix + host.host + ")");
        }
    }

    void checkLockFiles(const RepoState& state, const std::string& dir) {
        std::string dirtyPrefix = lockFilePrefixes(state.path)[1];
        for (const LockFileState& lock : state.locks) {
            if (!lock.stale)
                continue;
            if (lock.repositoryLock) {
                warning("the repository lock file " + lock.path + " is " +
                        counted(static_cast<unsigned long long>(lock.age), "second", "seconds") +
                        " old, longer than a balancing check takes (" +
                        std::to_string(kStaleRepositoryLockSeconds / 60) +
                        " minutes): probably left by a killed mountbalance, and every check gives "
                        "up while it stays; once no mountbalance or application process of the "
                        "repository runs, remove the file");
                continue;
            }
            bool dirtyLock =
                lock.path.compare(dir.size() + 1, dirtyPrefix.size(), dirtyPrefix) == 0;
            warning("the lock file " + lock.path + " is " +
                    counted(static_cast<unsigned long long>(lock.age), "second", "seconds") +
                    " old, probably stale" +
                    (dirtyLock ? " (the dirty-flag lock: it stalls every lookup)" : ""));
        }
    }

    std::string path;
    time_t now;
    std::vector<Problem> problems;
};

} // namespace

std::vector<Problem> checkConfiguration(const std::string& path, time_t now) {
    return Checker(normalizedRepositoryPath(path.c_str()), now).run();
}

int exitStatusOf(const std::vector<Problem>& problems) {
    int status = 0;
    for (const Problem& problem : problems)
        status = std::max(status, problem.level);
    return status;
}
