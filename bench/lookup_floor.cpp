// The floor of the lookup benchmarks: the system calls that no implementation of the same
// operations can leave out, on the repository of bench/LookupSet.h, with the arguments and output
// lines of lookup_bench (bench/lookup_bench.sh runs both).
//
//   lookup_floor lookup repo mounts perMount count
//   lookup_floor procs  repo mounts perMount count   ($PROCS processes, as lookup_bench procs)
//   lookup_floor create repo mounts perMount count
//   lookup_floor dirty  repo mounts perMount count
//
// A lookup of a resource on mount k, with M mounts:
//   - the resource lock: its lock file created exclusively (open, close) and removed (unlink);
//   - the configuration stamps, so that a changed configuration is seen: one stat of
//     "repository.cfg" and of each mount's "repositorypart.cfg";
//   - the dirty check: one stat of the set file ".dirty" (another process may flag the resource);
//   - for mounts 0 .. k: the switch-off test (access of "repositorypart.cfg"), the fill level
//     (statvfs) and the location test (access);
//   - the touch (utimensat) of the location found.
// Creation is the lookup of an absent resource (every mount visited) followed by one mkdir of the
// resource on mount 0 (and of its hash directories, only when they are missing); removal is the
// same lookup of every mount followed by rmdir of the empty resource and of the hash directories
// it leaves empty. The set-file figures: a stat for an unchanged set; lock, read and search for a
// changed one; lock, write, fsync and rename for a change. Paths are composed per operation with
// the library's own naming functions, as any lookup must compose them.
#include "LookupSet.h"
#include "OVHash.h"
#include "OVRepositoryHandler.h"
#include "OVSemaphore.h"
#include "Registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

using lookupset::Args;
using Owned = std::unique_ptr<char[]>;

const char* const kUsage = "lookup_floor lookup|procs|create|dirty repo mounts perMount count";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "lookup_floor: %s\n", what.c_str());
    std::exit(1);
}

struct Repository {
    std::string path;
    std::string config;
    std::string setFile;
    std::string lockDir;
    std::vector<std::string> mounts;
    std::vector<std::string> partConfigs;
};

Repository open(const Args& a) {
    Repository r;
    r.path = a.repo;
    r.config = a.repo + "/repository.cfg";
    r.setFile = a.repo + "/.dirty";
    // The library's lock directory: "lockDirectory" of the repository, else LOCK_VAR, else here.
    OVRepositoryHandler* handler = getRepository(a.repo.c_str());
    const char* locks = std::getenv("LOCK_VAR");
    r.lockDir = handler != nullptr && !handler->getLockDirectory().empty()
                    ? handler->getLockDirectory()
                : locks != nullptr && *locks != '\0' ? locks
                                                     : ".";
    for (int m = 0; m < a.mounts; ++m) {
        r.mounts.push_back(a.repo + "/" + lookupset::mountName(m));
        r.partConfigs.push_back(r.mounts.back() + "/repositorypart.cfg");
    }
    return r;
}

std::string lockFile(const Repository& r, const std::string& name) {
    Owned id(toResourceID(r.path.c_str(), name.c_str()));
    return r.lockDir + "/semaphore_" + id.get();
}

void lock(const std::string& file) {
    int fd = ::open(file.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_CLOEXEC, 0660);
    if (fd < 0 || close(fd) != 0)
        fail("cannot lock " + file);
}

void unlock(const std::string& file) {
    if (unlink(file.c_str()) != 0)
        fail("cannot unlock " + file);
}

// The stamps of the configuration and of the set file.
void stamps(const Repository& r) {
    struct stat st;
    if (stat(r.config.c_str(), &st) != 0)
        fail(r.config);
    for (const std::string& part : r.partConfigs)
        if (stat(part.c_str(), &st) != 0)
            fail(part);
    stat(r.setFile.c_str(), &st); // absent while nothing was ever flagged
}

// The hashed path of name below a mount, composed once per operation.
std::string hashedPath(const std::string& name) {
    Owned hashed(convertToHashed((name + "/").c_str()));
    std::string path = hashed.get();
    path.pop_back();
    return path;
}

// Visits mounts in order (all of them with every set) until one holds the resource of the hashed
// path; its index or -1, and its location in found.
int visit(const Repository& r, const std::string& hashed, bool every, std::string& found) {
    int at = -1;
    for (size_t m = 0; m < r.mounts.size(); ++m) {
        struct statvfs fs;
        if (access(r.partConfigs[m].c_str(), F_OK) != 0 || statvfs(r.mounts[m].c_str(), &fs) != 0)
            fail("mount " + r.mounts[m]);
        std::string location = r.mounts[m] + "/" + hashed;
        if (at == -1 && access(location.c_str(), F_OK) == 0) {
            at = static_cast<int>(m);
            found = location;
            if (!every)
                break;
        }
    }
    return at;
}

void lookUp(const Repository& r, const std::string& name) {
    std::string file = lockFile(r, name);
    lock(file);
    stamps(r);
    std::string location;
    if (visit(r, hashedPath(name), false, location) == -1)
        fail("no " + name);
    if (utimensat(AT_FDCWD, location.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0)
        fail("cannot touch " + location);
    unlock(file);
}

void timeLookups(const Args& a, const char* name) {
    Repository r = open(a);
    lookupset::Stopwatch watch;
    for (long k = 0; k < a.count; ++k)
        lookUp(r, lookupset::resourceName(lookupset::pick(k, a.mounts, a.perMount)));
    watch.print(name, a.count);
}

void procs(const Args& a) {
    const char* given = std::getenv("PROCS");
    int processes = given ? std::atoi(given) : 2;
    if (processes < 1 || (a.mounts * a.perMount) % processes != 0)
        fail("PROCS must divide the number of resources");
    Repository r = open(a);
    double perSecond = lookupset::inProcesses(processes, a.count, [&](int p, long k) {
        lookUp(r,
               lookupset::resourceName(lookupset::pick(p + k * processes, a.mounts, a.perMount)));
    });
    if (perSecond < 0)
        fail("a process failed");
    std::printf("lookups_per_second %.0f\n", perSecond);
}

void makeOne(const Repository& r, const std::string& name) {
    std::string file = lockFile(r, name);
    lock(file);
    stamps(r);
    std::string location, hashed = hashedPath(name);
    if (visit(r, hashed, true, location) != -1)
        fail(name + " exists");
    location = r.mounts[0] + "/" + hashed;
    if (mkdir(location.c_str(), 0755) != 0) {
        if (errno != ENOENT)
            fail("cannot make " + location);
        for (size_t slash = r.mounts[0].size() + 1; slash < location.size(); ++slash)
            if (location[slash] == '/')
                mkdir(location.substr(0, slash).c_str(), 0755);
        if (mkdir(location.c_str(), 0755) != 0)
            fail("cannot make " + location);
    }
    unlock(file);
}

void removeOne(const Repository& r, const std::string& name) {
    std::string file = lockFile(r, name);
    lock(file);
    stamps(r);
    std::string location;
    if (visit(r, hashedPath(name), true, location) == -1 || rmdir(location.c_str()) != 0)
        fail("cannot remove " + name);
    for (int level = 0; level < 3; ++level) {
        location.erase(location.rfind('/'));
        if (rmdir(location.c_str()) != 0)
            break;
    }
    unlock(file);
}

void create(const Args& a) {
    Repository r = open(a);
    std::vector<std::string> names;
    for (long k = 0; k < a.count; ++k)
        names.push_back("c" + std::to_string(getpid()) + "-" + std::to_string(k));
    lookupset::Stopwatch creating;
    for (const std::string& name : names)
        makeOne(r, name);
    creating.print("create", a.count);
    lookupset::Stopwatch removing;
    for (const std::string& name : names)
        removeOne(r, name);
    removing.print("remove", a.count);
}

bool readAll(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    ssize_t got;
    text.clear();
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(fd);
    return got == 0;
}

void dirty(const Args& a) {
    Repository r = open(a);
    std::string text;
    if (!readAll(r.setFile, text))
        fail("no set file " + r.setFile + " (run lookup_bench dirty first)");
    std::set<std::string> flagged;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        flagged.insert(text.substr(start, end - start));
    }
    long ids = static_cast<long>(flagged.size());
    auto idOf = [&](long k) {
        return k % 2 ? "flagged-" + std::to_string(k * 97 % ids) : "clean-" + std::to_string(k);
    };
    lookupset::Stopwatch unchanged;
    for (long k = 0; k < a.count; ++k) {
        struct stat st;
        if (stat(r.setFile.c_str(), &st) != 0 || (flagged.count(idOf(k)) != 0) != (k % 2 == 1))
            fail("wrong dirty flag");
    }
    unchanged.print("isdirty_unchanged", a.count);

    long rereads = std::max(1L, a.count / 100);
    std::string setLock = r.lockDir + "/semaphore_" + resourceLockName(r.setFile, "");
    lookupset::Stopwatch rereading;
    for (long k = 0; k < rereads; ++k) {
        lock(setLock);
        if (!readAll(r.setFile, text) ||
            (text.find("\n" + idOf(k) + "\n") != std::string::npos) != (k % 2 == 1))
            fail("wrong dirty flag");
        unlock(setLock);
    }
    rereading.print("isdirty_reread", rereads);

    std::string temporary = r.setFile + "." + std::to_string(getpid());
    std::string out;
    lookupset::Stopwatch flagging;
    for (long k = 0; k < rereads; ++k) {
        lock(setLock);
        if (k % 2 == 0)
            flagged.insert("clean-0");
        else
            flagged.erase("clean-0");
        out.clear(); // one buffer for every write, as a writer that keeps running would
        for (const std::string& id : flagged)
            out.append(id).push_back('\n');
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()) ||
            fsync(fd) != 0 || close(fd) != 0 || rename(temporary.c_str(), r.setFile.c_str()) != 0)
            fail("cannot write " + temporary);
        unlock(setLock);
    }
    flagging.print("setdirty", rereads);
    timeLookups(a, "lookup_large_set");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        fail(std::string("usage: ") + kUsage);
    std::string mode = argv[1];
    Args a = lookupset::parseArgs(argc, argv, 2, kUsage);
    if (a.count < 1)
        fail(std::string("usage: ") + kUsage);
    if (mode == "lookup")
        timeLookups(a, "lookup");
    else if (mode == "procs")
        procs(a);
    else if (mode == "create")
        create(a);
    else if (mode == "dirty")
        dirty(a);
    else
        fail(std::string("usage: ") + kUsage);
    return 0;
}
