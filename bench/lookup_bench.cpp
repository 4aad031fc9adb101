// Times the repository library's resource operations through its flat entry points, on a
// repository laid out as bench/LookupSet.h describes; lookup_floor makes only the system calls
// that the same work cannot do without, and bench/lookup_bench.sh runs the two side by side.
//
//   lookup_bench fill    repo mounts perMount 0      builds the repository (config and resources)
//   lookup_bench lookup  repo mounts perMount count  count lookups (getLocation_) of clean
//   resources lookup_bench procs   repo mounts perMount count  count lookups in each of $PROCS
//   processes lookup_bench create  repo mounts perMount count  count createDirectory_, then as many
//                                                    removeResource_ of the new resources
//   lookup_bench dirty   repo mounts perMount count  isDirty and setDirty with $DIRTY_IDS (default
//                                                    10000) identifiers flagged, and lookups
//
// Every figure is printed as one line "<name> <value>", nanoseconds per operation unless the name
// says otherwise. A result that is not the expected one (a status other than 0, a missing
// location) ends the program with status 1: a fast wrong answer is no figure. The first call of
// each kind builds the repository handler and is not timed.
#include "EntryPoints.h"
#include "LookupSet.h"
#include "OVHash.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "Registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using lookupset::Args;
using Owned = std::unique_ptr<char[]>;

const char* const kUsage = "lookup_bench fill|lookup|procs|create|dirty repo mounts perMount count";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "lookup_bench: %s\n", what.c_str());
    std::exit(1);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path);
    out << content;
    if (!out)
        fail("cannot write " + path);
}

void fill(const Args& a) {
    std::string list;
    for (int m = 0; m < a.mounts; ++m) {
        std::string mount = a.repo + "/" + lookupset::mountName(m);
        if (mkdirs(mount.c_str(), 0755) != 0)
            fail("cannot make " + mount);
        writeFile(mount + "/repositorypart.cfg", "");
        list += (m ? "\\" : "") + lookupset::mountName(m);
    }
    writeFile(a.repo + "/repository.cfg", "mountPoints = " + list + "\n");
    for (int m = 0; m < a.mounts; ++m)
        for (long i = 0; i < a.perMount; ++i) {
            std::string name = lookupset::resourceName({m, i}) + "/";
            Owned hashed(convertToHashed(name.c_str()));
            std::string dir = a.repo + "/" + lookupset::mountName(m) + "/" + hashed.get();
            if (mkdirs(dir.c_str(), 0755) != 0)
                fail("cannot make " + dir);
        }
}

void lookUp(const std::string& repo, const std::string& name) {
    int status = -1;
    Owned location(getLocation_(repo.c_str(), name.c_str(), &status));
    if (!location || status != 0)
        fail("lookup of " + name + " gave status " + std::to_string(status));
}

// count lookups, from the first resource on, after one untimed lookup; prints their times as name.
void timeLookups(const Args& a, long count, const char* name) {
    lookUp(a.repo, lookupset::resourceName(lookupset::pick(count, a.mounts, a.perMount)));
    lookupset::Stopwatch watch;
    for (long k = 0; k < count; ++k)
        lookUp(a.repo, lookupset::resourceName(lookupset::pick(k, a.mounts, a.perMount)));
    watch.print(name, count);
}

// $PROCS processes, each count lookups of its own share of the resources. Prints the lookups per
// second of all of them together.
void procs(const Args& a) {
    const char* given = std::getenv("PROCS");
    int processes = given ? std::atoi(given) : 2;
    if (processes < 1 || (a.mounts * a.perMount) % processes != 0)
        fail("PROCS must divide the number of resources");
    double perSecond = lookupset::inProcesses(processes, a.count, [&](int p, long k) {
        lookUp(a.repo,
               lookupset::resourceName(lookupset::pick(p + k * processes, a.mounts, a.perMount)));
    });
    if (perSecond < 0)
        fail("a process failed");
    std::printf("lookups_per_second %.0f\n", perSecond);
}

void create(const Args& a) {
    std::vector<std::string> names;
    for (long k = 0; k <= a.count; ++k)
        names.push_back("c" + std::to_string(getpid()) + "-" + std::to_string(k));
    auto makeOne = [&](const std::string& name) {
        int status = -1;
        Owned location(createDirectory_(a.repo.c_str(), name.c_str(), &status, false));
        struct stat st;
        if (!location || status != 0 || lstat(location.get(), &st) != 0 || !S_ISDIR(st.st_mode))
            fail("creation of " + name + " gave status " + std::to_string(status));
    };
    auto removeOne = [&](const std::string& name) {
        int result = removeResource_(a.repo.c_str(), name.c_str());
        if (result != 0)
            fail("removal of " + name + " gave " + std::to_string(result));
    };
    makeOne(names[0]);
    lookupset::Stopwatch creating;
    for (long k = 1; k <= a.count; ++k)
        makeOne(names[static_cast<size_t>(k)]);
    creating.print("create", a.count);
    removeOne(names[0]);
    lookupset::Stopwatch removing;
    for (long k = 1; k <= a.count; ++k)
        removeOne(names[static_cast<size_t>(k)]);
    removing.print("remove", a.count);
}

// The set file with ids identifiers, none of them a resource of the repository, in byte order as
// the library writes it.
void writeDirtySet(const std::string& repo, long ids) {
    std::set<std::string> flagged;
    for (long k = 0; k < ids; ++k)
        flagged.insert("flagged-" + std::to_string(k));
    std::string text;
    for (const std::string& id : flagged)
        text.append(id).push_back('\n');
    writeFile(repo + "/.dirty", text);
}

void dirty(const Args& a) {
    const char* given = std::getenv("DIRTY_IDS");
    long ids = given ? std::atol(given) : 10000;
    writeDirtySet(a.repo, ids);
    OVDirtyFlagHandler& flags = getRepository(a.repo.c_str())->getDirtyFlags();
    std::vector<std::string> asked; // flagged and clean identifiers, in turn
    for (long k = 0; k < 64; ++k)
        asked.push_back(k % 2 ? "flagged-" + std::to_string(k * 97 % ids)
                              : "clean-" + std::to_string(k));
    auto ask = [&](long k) {
        const std::string& id = asked[static_cast<size_t>(k % 64)];
        if (flags.isDirty(id.c_str()) != (k % 2 == 1))
            fail("wrong dirty flag for " + id);
    };
    ask(0);
    lookupset::Stopwatch unchanged;
    for (long k = 0; k < a.count; ++k)
        ask(k);
    unchanged.print("isdirty_unchanged", a.count);

    // Another writer's change, as a new modification time of the file, makes every isDirty read
    // the set again. Only the isDirty calls are timed.
    long rereads = std::max(1L, a.count / 100);
    std::string setFile = a.repo + "/.dirty";
    lookupset::Stopwatch rereading;
    rereading.pause();
    for (long k = 0; k < rereads; ++k) {
        struct timespec times[2] = {{1000000 + k, 0}, {1000000 + k, 0}};
        if (utimensat(AT_FDCWD, setFile.c_str(), times, 0) != 0)
            fail("cannot touch " + setFile);
        rereading.resume();
        ask(k);
        rereading.pause();
    }
    rereading.print("isdirty_reread", rereads);

    // Flagging and unflagging rewrite the whole set file.
    lookupset::Stopwatch flagging;
    for (long k = 0; k < rereads; ++k)
        if (!flags.setDirty("clean-0", k % 2 == 0))
            fail("setDirty failed");
    flagging.print("setdirty", rereads);
    flags.setDirty("clean-0", false);
    timeLookups(a, a.count, "lookup_large_set");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        fail(std::string("usage: ") + kUsage);
    std::string mode = argv[1];
    Args a = lookupset::parseArgs(argc, argv, 2, kUsage);
    if (mode != "fill" && a.count < 1)
        fail(std::string("usage: ") + kUsage);
    if (mode == "fill")
        fill(a);
    else if (mode == "lookup")
        timeLookups(a, a.count, "lookup");
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
