// Many processes on one repository of three real file systems, through the flat entry points,
// while the overload-check tool runs in a loop; afterwards every resource is accounted for.
//
// Eight workers each run a seeded random sequence of operations on resources of their own (and
// lookups of the others'): creating a resource and writing its files, lookups with a check of the
// content, removals, listings, setting times (old times make resources candidates for moving and
// deleting), switching a mount off and on again, and legacy entries placed by hand. The content of
// every file follows from its resource's name, so any copy can be checked. A balancer process
// alternates runs of the tool and in-process checks with limits that force moves, and for a part
// of the run with a clearable configuration that forces deletions, whose victims it records.
//
// What a correct system may do meanwhile, and what it may not:
// - A resource is not found while the mount that holds it is switched off, or once a clearable
//   check deleted it. It must be found whenever no mount was switched off during the lookup and
//   it was created after the latest clearable phase.
// - A removal that answers 0 took away every copy; other answers leave the resource as it was.
// - A copy that is found holds exactly the files of its name with their exact content, unless its
//   owner was writing it meanwhile (a copy that vanishes while being read was moved or merged).
// Afterwards, with every mount switched on: each resource created and neither removed nor
// deleted exists once (or on several mounts and flagged dirty, then the next lookup merges it
// into one intact copy); removed ones are gone; no lock file, staging directory or dirty flag is
// left; ".dirty" holds resource names only; every process exited normally.
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "OVSyslog.h"
#include "RepositoryTestSupport.h"
#include "RunCommand.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef STRESS_OPERATIONS
#define STRESS_OPERATIONS 1000
#endif

namespace {

constexpr int kWorkers = 8;
constexpr int kOperations = STRESS_OPERATIONS;
constexpr int kMounts = 3;
constexpr int kMountMebibytes[kMounts] = {12, 16, 24};
constexpr int kMaxNames = kOperations + 1;
// Processes killed on purpose (the hosts' scenario) make resources of their own under the worker
// numbers after the checked workers', one number per host.
constexpr int kVictims = 2;
// The victims whose leftovers the final checks clear; the victims are killed a few times a second.
constexpr int kMostKills = 4096;

// The operations of each worker in this run: kOperations, or fewer where STRESS_RUN_OPERATIONS
// asks for fewer (slow file systems).
int operationCount() {
    const char* given = getenv("STRESS_RUN_OPERATIONS");
    int count = given != nullptr ? atoi(given) : 0;
    return count > 0 && count < kOperations ? count : kOperations;
}

using Owned = std::unique_ptr<char, void (*)(char*)>;

Owned owned(char* text) {
    return Owned(text, release);
}

long long nowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// ---- A trace of the run --------------------------------------------------------------------

// Every process appends what it did, and the library's log messages, to one file; a lost or
// damaged resource is reported with the lines that name it, so that a rare failure can be
// understood from the run that showed it.
int traceFd = -1;
std::string tracePath;

void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* fmt, ...) {
    if (traceFd < 0)
        return;
    char text[1024];
    long long now = nowNs();
    int head = std::snprintf(text, sizeof text, "%lld.%03lld %d ", now / 1000000000LL,
                             now / 1000000LL % 1000LL, static_cast<int>(getpid()));
    va_list args;
    va_start(args, fmt);
    int body = std::vsnprintf(text + head, sizeof text - static_cast<size_t>(head) - 1, fmt, args);
    va_end(args);
    size_t length = std::min(static_cast<size_t>(head) + static_cast<size_t>(std::max(body, 0)),
                             sizeof text - 2);
    text[length++] = '\n';
    // One write of an O_APPEND file: the lines of the processes do not interleave.
    if (write(traceFd, text, length) < 0)
        traceFd = -1;
}

void traceOpen(const char*, int, int) {}
void traceClose() {}
void traceMessage(int, const char* fmt, va_list args) {
    char text[900];
    std::vsnprintf(text, sizeof text, fmt, args);
    trace("log: %s", text);
}

// Starts the trace at path (fresh: emptied first): this process and its children trace their
// steps and log messages.
void startTrace(const std::string& path, bool fresh) {
    tracePath = path;
    traceFd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | (fresh ? O_TRUNC : 0) | O_CLOEXEC, 0644);
    ovSyslogSink() = OVSyslogSink{traceOpen, traceMessage, traceClose};
}

bool namesId(const std::string& line, const std::string& id) {
    for (size_t at = line.find(id); at != std::string::npos; at = line.find(id, at + 1)) {
        size_t end = at + id.size();
        if (end == line.size() || !std::isdigit(static_cast<unsigned char>(line[end])))
            return true;
    }
    return false;
}

// The lines of the trace that name id (as a whole name, not the start of a longer one), with
// the switching of mounts and the starts of checks between the first and the last of them.
std::string traceOf(const std::string& id) {
    std::vector<std::string> lines;
    std::istringstream text(readFile(tracePath));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    size_t first = lines.size(), last = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        if (namesId(lines[i], id)) {
            first = std::min(first, i);
            last = i;
        }
    std::string found;
    for (size_t i = first, count = 0; i <= last && i < lines.size() && count < 400; ++i)
        if (namesId(lines[i], id) || lines[i].find(" switched o") != std::string::npos ||
            lines[i].find(" check ") != std::string::npos) {
            found += "    " + lines[i] + "\n";
            ++count;
        }
    return found;
}

// ---- Resources of known content -------------------------------------------------------------

std::uint64_t hashOf(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ULL;
    return hash;
}

// The files of a resource and their content, all derived from its name: one to three files, one
// of them possibly in a subdirectory, of 100 to 6000 bytes.
std::map<std::string, std::string> contentOf(const std::string& name) {
    std::map<std::string, std::string> files;
    std::uint64_t hash = hashOf(name);
    int count = 1 + static_cast<int>(hash % 3);
    for (int i = 0; i < count; ++i) {
        std::string file = (i == 2 && hash % 2 == 0 ? "sub/f" : "f") + std::to_string(i);
        std::string line = name + ":" + file + "\n";
        size_t size = 100 + hashOf(line) % 5900;
        std::string text;
        while (text.size() < size)
            text += line;
        text.resize(size);
        files[file] = text;
    }
    return files;
}

// Writes the files of name below dir that are not there yet; false with errno on a failure.
bool writeContent(const std::string& dir, const std::string& name) {
    for (const auto& [file, text] : contentOf(name)) {
        if (file.find('/') != std::string::npos && mkdir((dir + "/sub").c_str(), 0755) != 0 &&
            errno != EEXIST)
            return false;
        int fd = open((dir + "/" + file).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return false;
        bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        if (!written)
            return false;
    }
    return true;
}

enum class Read { Intact, Corrupt, Vanished };

// The regular files below dir (relative paths), or false when dir could not be listed.
bool listFiles(const std::string& dir, const std::string& prefix, std::set<std::string>& files) {
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return false;
    bool ok = true;
    while (dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode))
            ok = listFiles(dir + "/" + name, prefix + name + "/", files) && ok;
        else
            files.insert(prefix + name);
    }
    closedir(stream);
    return ok;
}

// Compares the copy at location with the content of name. A copy that was taken away or
// replaced while it was read (the directory at location changed) counts as vanished; a file that
// could be read with other bytes, or a different set of files, as corrupt.
Read readResource(const std::string& location, const std::string& name, std::string& why) {
    struct stat before, after;
    if (lstat(location.c_str(), &before) != 0)
        return Read::Vanished;
    std::map<std::string, std::string> expected = contentOf(name);
    std::set<std::string> files;
    bool listed = listFiles(location, "", files);
    bool corrupt = false;
    for (const auto& [file, text] : expected) {
        std::ifstream in(location + "/" + file, std::ios::binary);
        if (!in)
            continue; // absent: judged with the listing below
        std::ostringstream got;
        got << in.rdbuf();
        if (got.str() != text) {
            why = file + " holds " + std::to_string(got.str().size()) + " bytes, not its " +
                  std::to_string(text.size());
            corrupt = true;
        }
    }
    bool same = lstat(location.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                after.st_dev == before.st_dev;
    if (!same || !listed)
        return corrupt ? Read::Corrupt : Read::Vanished;
    std::set<std::string> names;
    for (const auto& entry : expected)
        names.insert(entry.first);
    if (files != names) {
        why =
            "holds " + std::to_string(files.size()) + " files, not " + std::to_string(names.size());
        return Read::Corrupt;
    }
    return corrupt ? Read::Corrupt : Read::Intact;
}

// ---- State shared by all processes (anonymous shared memory) --------------------------------

enum SlotState { kNever = 0, kLive = 1, kRemoved = 2 };

struct Slot {
    std::atomic<int> state;
    std::atomic<int> legacy;
    // Odd while the owner writes or removes the resource.
    std::atomic<unsigned> version;
    // When its latest creation started.
    std::atomic<long long> createdNs;
};

struct Shared {
    // Mounts that a worker is switching off or holds switched off, and clearable phases; gen
    // changes with each of their changes, so that a lookup can tell it saw a quiet repository.
    std::atomic<int> mountsOff;
    std::atomic<int> clearable;
    std::atomic<unsigned> gen;
    std::atomic<long long> clearableEndNs;
    std::atomic<long> operationsDone;
    std::atomic<int> stop;
    // Set once the balancer moved something and ended its clearable phase with deletions.
    std::atomic<int> phasesDone;
    // Workers that ended, on every host.
    std::atomic<int> workersDone;
    // Per host: the victims killed (their process ids) and the names their resources got.
    std::atomic<int> victimsKilled[kVictims];
    std::atomic<int> victimNames[kVictims];
    std::atomic<int> killedPids[kVictims][kMostKills];
    std::atomic<int> names[kWorkers];
    std::atomic<long> created, removed, lookups, found, notFound, dirty, recreated, legacyPlaced,
        switched, listings, timesSet, crossLookups;
    Slot slots[kWorkers][kMaxNames];
};

static_assert(std::atomic<long long>::is_always_lock_free, "shared atomics across processes");

Shared* shared = nullptr;

bool killsHappened() {
    int killed = 0;
    for (const auto& count : shared->victimsKilled)
        killed += count.load();
    return killed > 0;
}

std::string resourceName(int worker, int number, bool legacy) {
    return "w" + std::to_string(worker) + (legacy ? "-L" : "-") + std::to_string(number);
}

// ---- The repository --------------------------------------------------------------------------

struct Setup {
    std::string repository;
    std::string legacy;
    std::string scratch; // on the legacy directory's file system, for placing entries by hand
    std::vector<std::string> mounts;
};

std::string hashedPlace(const std::string& mount, const std::string& name) {
    Owned hashed = owned(convertToHashed((name + "/").c_str()));
    std::string location = mount + "/" + hashed.get();
    location.pop_back();
    return location;
}

// Every place where a copy of name stands: on the mounts and in the legacy directory.
std::vector<std::string> copiesOf(const Setup& setup, const std::string& name) {
    std::vector<std::string> copies;
    for (const std::string& mount : setup.mounts)
        if (present(hashedPlace(mount, name)))
            copies.push_back(hashedPlace(mount, name));
    if (present(setup.legacy + "/" + name))
        copies.push_back(setup.legacy + "/" + name);
    return copies;
}

// The limits follow the fill levels, so that every check has work: the fullest mount is at its
// move limit, and its old resources move to the emptiest mount, which is below the clean limit.
// Clearable: every mount is at its move and clean limits of 1 % and none has room, so a check
// deletes the oldest resources of the whole repository.
struct Limits {
    int move = 99;
    int clean = 98;
    bool operator!=(const Limits& other) const {
        return move != other.move || clean != other.clean;
    }
};

// Lines that every configuration written here ends with.
std::string extraConfiguration;

void configure(const Setup& setup, bool clearable, const Limits& limits) {
    std::string text =
        "mountPoints = m0\\m1\\m2\nlegacyDir = " + setup.legacy +
        "\nnomoveTimeSeconds = 60\nmoveLimit = " + std::to_string(clearable ? 1 : limits.move) +
        "\ncleanLimit = " + std::to_string(clearable ? 1 : limits.clean) + "\n";
    if (clearable)
        text += "isClearable = true\n";
    text += extraConfiguration;
    std::string temporary = setup.repository + "/repository.cfg.new";
    writeFile(temporary, text);
    rename(temporary.c_str(), (setup.repository + "/repository.cfg").c_str());
}

// Limits from the fill levels of the mounts now, computed as the library computes them.
Limits limitsNow(const Setup& setup) {
    double fullest = 0, emptiest = 100;
    for (const std::string& mount : setup.mounts) {
        struct statvfs fs;
        if (statvfs(mount.c_str(), &fs) != 0 || fs.f_blocks == 0)
            continue;
        double used =
            100.0 - 100.0 * static_cast<double>(fs.f_bavail) / static_cast<double>(fs.f_blocks);
        fullest = std::max(fullest, used);
        emptiest = std::min(emptiest, used);
    }
    Limits limits;
    limits.move = std::max(1, static_cast<int>(fullest));
    limits.clean = std::min(limits.move, static_cast<int>(emptiest) + 1);
    return limits;
}

// A fresh ext4 file system of megabytes MiB at path, from an image in a tmpfs at scratch.
[[maybe_unused]] bool mountExt4(const std::string& path, const std::string& scratch,
                                int megabytes) {
    std::string size = std::to_string(megabytes + 4) + "m";
    std::string image = scratch + "/fs.img";
    return mountTmpfs(scratch, size.c_str()) &&
           runCommand({"truncate", "-s", std::to_string(megabytes) + "M", image}) == 0 &&
           runCommand({"mkfs.ext4", "-q", "-F", "-I", "128", "-i", "1024", image}, "/dev/null") ==
               0 &&
           runCommand({"mount", "-o", "loop", image, path}, "/dev/null") == 0;
}

// ---- A worker --------------------------------------------------------------------------------

// A snapshot of whether the repository is quiet: no mount switched off, no clearable phase.
struct Quiet {
    unsigned gen;
    bool quiet;
    long long clearableEnd;
};

Quiet quietNow() {
    unsigned gen = shared->gen.load();
    bool quiet = shared->mountsOff.load() == 0 && shared->clearable.load() == 0;
    return Quiet{gen, quiet, shared->clearableEndNs.load()};
}

bool stayedQuiet(const Quiet& before) {
    return before.quiet && shared->gen.load() == before.gen;
}

// Whether the resource of slot s must have been found by an operation that began at before:
// every mount was switched on throughout, and no clearable check ran since it was created.
bool mustBeFound(const Quiet& before, const Slot& s) {
    return stayedQuiet(before) && s.createdNs.load() > before.clearableEnd;
}

class Worker {
public:
    Worker(const Setup& setup, int index, unsigned seed)
        : setup(setup), repo(setup.repository.c_str()), index(index), random(seed) {}

    int run();

private:
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }
    Slot& slot(int number) { return shared->slots[index][number]; }
    std::string name(int number) { return resourceName(index, number, slot(number).legacy.load()); }
    // A number of one of this worker's live resources, or -1.
    int liveNumber();

    void create();
    void placeLegacy();
    void lookUpOwn();
    void lookUpOther();
    void remove();
    void list();
    void setTimes();
    void switchMount();
    void switchBackOn();
    // Looks name up until a found copy could be read whole; checks what it finds.
    void lookUpAndCheck(const std::string& name, int* status, bool& found);
    void recreate(int number);

    const Setup& setup;
    const char* repo;
    int index;
    std::mt19937 random;
    int next = 0;
    int switchedOff = -1;
    int switchedOpsLeft = 0;
};

// Half of the picks go to the 16 newest, so that the processes meet on the same resources.
int Worker::liveNumber() {
    for (int attempt = 0; attempt < 8 && next > 0; ++attempt) {
        int number = pick(2) == 0 ? pick(next) : next - 1 - pick(std::min(next, 16));
        if (slot(number).state.load() == kLive)
            return number;
    }
    return -1;
}

int Worker::run() {
    const int operations = operationCount();
    for (int done = 0; done < operations; ++done) {
        // Workers faster than the checks (the sanitizer build) wait for the balancer's phases
        // to have run beside them (at most a minute), before they finish.
        for (int waited = 0; done == operations * 6 / 10 && !shared->phasesDone && waited < 6000;
             ++waited)
            usleep(10000);
        int roll = pick(100);
        if (roll < 20)
            create();
        else if (roll < 24)
            placeLegacy();
        else if (roll < 46)
            lookUpOwn();
        else if (roll < 56)
            lookUpOther();
        else if (roll < 66)
            remove();
        else if (roll < 71)
            list();
        else if (roll < 86)
            setTimes();
        else if (roll < 90 && switchedOff < 0)
            switchMount();
        else
            lookUpOwn();
        if (switchedOff >= 0 && --switchedOpsLeft < 0)
            switchBackOn();
        shared->operationsDone++;
    }
    if (switchedOff >= 0)
        switchBackOn();
    return std::min(childFailures(), 100);
}

void Worker::create() {
    int number = next;
    Slot& s = slot(number);
    std::string id = resourceName(index, number, false);
    s.version++;
    s.createdNs = nowNs();
    int status = -1;
    Owned location = owned(createDirectory_(repo, id.c_str(), &status, false));
    trace("create %s: %d at %s", id.c_str(), status, location ? location.get() : "-");
    if (location) {
        check(status == 0 && writeContent(location.get(), id),
              id + ": creation answered " + std::to_string(status) + " or its files could not " +
                  "be written: " + strerror(errno));
        s.state = kLive;
        shared->created++;
    } else {
        check(status == 8, id + ": creation failed with status " + std::to_string(status));
    }
    s.version++;
    shared->names[index] = ++next;
}

// An entry of the legacy directory, made complete in a scratch directory of the same file system
// and renamed into place, as an operator would move old data in.
void Worker::placeLegacy() {
    int number = next;
    Slot& s = slot(number);
    std::string id = resourceName(index, number, true);
    std::string work = setup.scratch + "/" + id;
    check(mkdir(work.c_str(), 0755) == 0 && writeContent(work, id) &&
              rename(work.c_str(), (setup.legacy + "/" + id).c_str()) == 0,
          id + ": the legacy entry could not be placed");
    trace("placed %s in the legacy directory", id.c_str());
    s.legacy = 1;
    s.createdNs = nowNs();
    s.state = kLive;
    shared->legacyPlaced++;
    shared->names[index] = ++next;
}

void Worker::lookUpAndCheck(const std::string& id, int* status, bool& found) {
    found = false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        *status = -1;
        Owned location = owned(getLocation_(repo, id.c_str(), status));
        trace("lookup %s: %d at %s", id.c_str(), *status, location ? location.get() : "-");
        if (!location)
            return;
        found = true;
        std::string why;
        Read read = readResource(location.get(), id, why);
        check(read != Read::Corrupt, id + " at " + location.get() + " is corrupt: " + why);
        if (read != Read::Vanished)
            return;
    }
    check(false, id + " vanished while being read, five times in a row");
}

void Worker::lookUpOwn() {
    int number = liveNumber();
    if (number < 0)
        return;
    std::string id = name(number);
    Quiet before = quietNow();
    int status = -1;
    bool found = false;
    lookUpAndCheck(id, &status, found);
    shared->lookups++;
    check(status == 0 || status == 1 || status == 4,
          id + ": lookup answered " + std::to_string(status));
    if (found) {
        shared->found++;
        if (status == 1)
            shared->dirty++;
        return;
    }
    shared->notFound++;
    check(!mustBeFound(before, slot(number)), id + " was not found");
    if (pick(2) == 0)
        recreate(number);
}

// Makes a resource that was not found anew, as a caller would that fetches it again: a copy on a
// switched-off mount then meets the new one when its mount comes back, and lookups merge them.
void Worker::recreate(int number) {
    Slot& s = slot(number);
    std::string id = name(number);
    s.version++;
    long long createdBefore = s.createdNs.exchange(nowNs());
    int status = -1;
    Owned location = owned(createDirectory_(repo, id.c_str(), &status, false));
    trace("create anew %s: %d at %s", id.c_str(), status, location ? location.get() : "-");
    // Nothing was made (no mount had room, or one that may hold a copy is switched off): the
    // resource is what it was, also for a clearable check that deleted it before.
    if (!location)
        s.createdNs = createdBefore;
    if (location) {
        // A merge may take the new copy away while it is written: the other copy is whole.
        bool written = writeContent(location.get(), id);
        check(written || errno == ENOENT,
              id + ": the new copy could not be written: " + strerror(errno));
        shared->recreated++;
    } else {
        check(status == 8, id + ": creating it anew failed with status " + std::to_string(status));
    }
    s.version++;
}

void Worker::lookUpOther() {
    int other = pick(kWorkers);
    int count = shared->names[other].load();
    if (other == index || count == 0)
        return;
    int number = count - 1 - pick(std::min(count, 16));
    Slot& s = shared->slots[other][number];
    unsigned version = s.version.load();
    if (s.state.load() != kLive || version % 2 != 0)
        return;
    std::string id = resourceName(other, number, s.legacy.load());
    int status = -1;
    Owned location = owned(getLocation_(repo, id.c_str(), &status));
    trace("lookup by another process %s: %d at %s", id.c_str(), status,
          location ? location.get() : "-");
    std::string why;
    Read read = location ? readResource(location.get(), id, why) : Read::Intact;
    shared->crossLookups++;
    if (s.version.load() != version)
        return; // its owner wrote or removed it meanwhile
    check(status == 0 || status == 1 || status == 4,
          id + ": lookup by another process answered " + std::to_string(status));
    check(read != Read::Corrupt, id + " is corrupt when read by another process: " + why);
}

void Worker::remove() {
    int number = liveNumber();
    if (number < 0)
        return;
    Slot& s = slot(number);
    std::string id = name(number);
    s.version++;
    Quiet before = quietNow();
    int result = removeResource_(repo, id.c_str());
    trace("remove %s: %d", id.c_str(), result);
    check(result == 0 || result == 1 || result == 4,
          id + ": removal answered " + std::to_string(result));
    check(result != 4 || !mustBeFound(before, s), id + ": removal found nothing");
    if (result == 0) {
        s.state = kRemoved;
        shared->removed++;
    }
    s.version++;
}

void Worker::list() {
    long count = -1;
    char** names = listDirs_(repo, &count, pick(2) == 0);
    shared->listings++;
    check(count >= 0, "a listing without a count");
    for (long i = 0; i < count; ++i) {
        int worker = -1, number = -1;
        char legacy = 0;
        bool known = (sscanf(names[i], "w%d-%d", &worker, &number) == 2 ||
                      sscanf(names[i], "w%d-%c%d", &worker, &legacy, &number) == 3) &&
                     worker >= 0 && worker < kWorkers + kVictims && number >= 0 &&
                     number < kMaxNames;
        check(known, std::string("the listing shows an unknown name: ") + names[i]);
    }
    releaseList(names, count);
}

// Old times make a resource a candidate for moving and deleting; now makes it young again.
void Worker::setTimes() {
    int number = liveNumber();
    if (number < 0)
        return;
    std::string id = name(number);
    struct utimbuf old;
    old.actime = old.modtime = time(nullptr) - 3600 - pick(3600);
    Quiet before = quietNow();
    bool now = pick(4) == 0;
    int done = setTimeProperties_(repo, id.c_str(), now ? nullptr : &old);
    trace("times of %s set to %s: %d", id.c_str(), now ? "now" : "an old time", done);
    check(done == 1 || (done == 0 && !mustBeFound(before, slot(number))),
          id + ": setting its times answered " + std::to_string(done));
    shared->timesSet++;
}

void Worker::switchMount() {
    switchedOff = pick(kMounts);
    switchedOpsLeft = pick(4);
    shared->gen++;
    shared->mountsOff++;
    check(MountUnmount_(repo, switchedOff, false) == 0, "switching a mount off");
    trace("mount m%d switched off", switchedOff);
    shared->switched++;
}

void Worker::switchBackOn() {
    check(MountUnmount_(repo, switchedOff, true) == 0, "switching a mount on");
    trace("mount m%d switched on", switchedOff);
    shared->mountsOff--;
    shared->gen++;
    switchedOff = -1;
}

// ---- The balancer ----------------------------------------------------------------------------

struct Deletion {
    std::string name;
    long long endNs;
};

struct BalancerStats {
    long checks = 0, moves = 0, deletions = 0, conflicts = 0;
};

std::string lastName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The names in the "Deleting resource: " lines of a check's output; counts its moves.
std::vector<std::string> countOutput(const std::string& output, BalancerStats& stats) {
    std::vector<std::string> victims;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        trace("check: %s", line.c_str());
        if (line.compare(0, 19, "Deleting resource: ") == 0)
            victims.push_back(lastName(line.substr(19)));
        stats.moves += line == "Move succeeded";
        stats.conflicts += line == "Conflict prevented resource move";
    }
    return victims;
}

// One check in this process, its progress written to the file output.
void inProcessCheck(const std::string& repository, const std::string& output) {
    fflush(stdout);
    int saved = dup(1);
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, 1);
    close(fd);
    checkOverload_(repository.c_str(), true);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

// Runs checks until the workers are done: runs of the tool and, in turn, checks in this process,
// whose deletions getDeletedDirs_ lists. The deletions go to deletedFile, one "<end> <name>" line
// each; the counts to statsFile.
int runBalancer(const Setup& setup, const std::string& deletedFile, const std::string& statsFile) {
    std::ofstream deleted(deletedFile);
    BalancerStats stats;
    bool clearable = false;
    Limits limits;
    int clearableLeft = -1; // checks left in the clearable phase; -1 before it
    const long total = static_cast<long>(kWorkers) * operationCount();
    std::string output = setup.repository + "/balance.out";
    for (long round = 0; shared->stop.load() == 0; ++round) {
        long done = shared->operationsDone.load();
        // One clearable phase of three checks (or more, until one deleted something), from 40 %
        // of the operations on.
        if (clearableLeft < 0 && done >= total * 40 / 100)
            clearableLeft = 3;
        bool wanted = clearableLeft > 0;
        if (wanted)
            --clearableLeft;
        if (wanted && !clearable) {
            shared->clearable = 1;
            shared->gen++;
        }
        Limits now = limitsNow(setup);
        if (wanted != clearable || now != limits)
            configure(setup, wanted, now);
        if (!wanted && clearable) {
            shared->clearableEndNs = nowNs();
            shared->clearable = 0;
            shared->gen++;
        }
        clearable = wanted;
        limits = now;
        std::vector<std::string> victims;
        trace("check %ld %s, %s, moveLimit %d, cleanLimit %d", round,
              round % 2 == 0 ? "by the tool" : "in this process",
              clearable ? "clearable" : "not clearable", limits.move, limits.clean);
        if (round % 2 == 0) {
            int exit = runCommand({MOUNTBALANCE_PATH, setup.repository}, output.c_str());
            check(exit == 0, "mountbalance ended with " + std::to_string(exit));
            victims = countOutput(readFile(output), stats);
        } else {
            // The check's own report of its deletions must agree with what it printed.
            inProcessCheck(setup.repository, output);
            victims = countOutput(readFile(output), stats);
            std::vector<std::string> listed;
            for (const std::string& path : *getDeletedDirs_(setup.repository.c_str()))
                listed.push_back(lastName(path));
            check(listed == victims, "getDeletedDirs_ lists " + std::to_string(listed.size()) +
                                         " deletions of the " + std::to_string(victims.size()) +
                                         " the check printed");
        }
        long long end = nowNs();
        for (const std::string& victim : victims)
            deleted << end << " " << victim << "\n";
        stats.deletions += static_cast<long>(victims.size());
        if (clearable && clearableLeft == 0 && stats.deletions == 0)
            clearableLeft = 1; // the phase lasts until a check deleted something
        shared->phasesDone = clearableLeft == 0 && stats.deletions > 0 && stats.moves > 0;
        stats.checks++;
        usleep(20000);
    }
    if (clearable) {
        configure(setup, false, limits);
        shared->clearableEndNs = nowNs();
        shared->clearable = 0;
    }
    writeFile(statsFile, std::to_string(stats.checks) + " " + std::to_string(stats.moves) + " " +
                             std::to_string(stats.deletions) + " " +
                             std::to_string(stats.conflicts));
    return std::min(childFailures(), 100);
}

// ---- Afterwards ------------------------------------------------------------------------------

std::set<std::string> dirtyNames(const Setup& setup, bool& parses) {
    std::set<std::string> names;
    std::istringstream lines(readFile(setup.repository + "/.dirty"));
    parses = true;
    for (std::string line; std::getline(lines, line);) {
        int worker = -1, number = -1;
        char legacy = 0;
        parses = parses && (sscanf(line.c_str(), "w%d-%d", &worker, &number) == 2 ||
                            sscanf(line.c_str(), "w%d-%c%d", &worker, &legacy, &number) == 3);
        names.insert(line);
    }
    return names;
}

// The names of the entries of dir and of its directories, " "-separated, for a message.
std::string entriesOf(const std::string& dir) {
    std::string names;
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return names;
    while (dirent* entry = readdir(stream))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names +=
                std::string(" ") + entry->d_name +
                (entry->d_type == DT_DIR ? " (" + entriesOf(dir + "/" + entry->d_name) + ")" : "");
    closedir(stream);
    return names;
}

size_t lockFilesIn(const std::string& dir) {
    size_t count = 0;
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return 0;
    while (dirent* entry = readdir(stream))
        count += std::strncmp(entry->d_name, "semaphore_", 10) == 0;
    closedir(stream);
    return count;
}

// Checks the final state; returns the number of lost resources.
long checkAfterwards(const Setup& setup, const std::multimap<std::string, long long>& deletions) {
    check(lockFilesIn(getenv("LOCK_VAR")) == 0, "lock files are left");
    giveBackMounts_(setup.repository.c_str());
    bool parses = false;
    std::set<std::string> dirty = dirtyNames(setup, parses);
    check(parses, "\".dirty\" holds a line that is no resource name");
    long lost = 0;
    std::vector<std::string> standing;
    for (int worker = 0; worker < kWorkers; ++worker)
        for (int number = 0; number < shared->names[worker].load(); ++number) {
            Slot& s = shared->slots[worker][number];
            std::string id = resourceName(worker, number, s.legacy.load());
            std::vector<std::string> copies = copiesOf(setup, id);
            bool deleted = false;
            auto [from, to] = deletions.equal_range(id);
            for (auto it = from; it != to; ++it)
                deleted = deleted || it->second >= s.createdNs.load();
            if (s.state.load() == kRemoved) {
                check(copies.empty(), id + " was removed, yet a copy stands at " +
                                          (copies.empty() ? "" : copies[0]));
                continue;
            }
            if (s.state.load() != kLive || (copies.empty() && deleted))
                continue;
            if (copies.empty()) {
                check(false, id + " is lost; the trace of the run names it here:\n" + traceOf(id));
                ++lost;
                continue;
            }
            // A take-over from the legacy directory killed after its copy took the name leaves the
            // legacy copy and that one, unflagged: the next lookup, which looks at the legacy
            // directory first, completes it (checked below). Only killed processes leave that.
            bool cutShortTakeOver =
                copies.size() == 2 && copies[1] == setup.legacy + "/" + id && killsHappened();
            if (copies.size() > 1 && dirty.count(id) == 0 && !cutShortTakeOver)
                check(false,
                      id + " stands on " + std::to_string(copies.size()) +
                          " places, not flagged dirty; the trace of the run names it here:\n" +
                          traceOf(id));
            int status = -1;
            Owned location = owned(getLocation_(setup.repository.c_str(), id.c_str(), &status));
            std::string why;
            Read read = location ? readResource(location.get(), id, why) : Read::Vanished;
            if (read != Read::Intact) {
                ++lost;
                printf("the trace of %s:\n%s", id.c_str(), traceOf(id).c_str());
            }
            check(status == 0 && read == Read::Intact,
                  id + ": the final lookup answered " + std::to_string(status) + ", content " +
                      (read == Read::Intact ? "intact" : "not intact: " + why));
            check(copiesOf(setup, id).size() == 1, id + " is not settled into one copy");
            standing.push_back(id);
        }
    // Lookups of every other name settle their flags too: nothing may stay dirty.
    for (const std::string& id : dirty)
        owned(getLocation_(setup.repository.c_str(), id.c_str(), nullptr));
    check(readFile(setup.repository + "/.dirty").empty(), "dirty flags are left");
    long count = 0;
    char** listed = listDirs_(setup.repository.c_str(), &count, true);
    std::vector<std::string> names(listed, listed + count);
    releaseList(listed, count);
    std::sort(standing.begin(), standing.end());
    check(names == standing, "the final listing shows " + std::to_string(names.size()) +
                                 " names for " + std::to_string(standing.size()) + " resources");
    std::vector<std::string> homes = setup.mounts;
    homes.push_back(setup.legacy);
    for (const std::string& home : homes)
        check(!present(home + "/.repository-staging"),
              "a staging directory is left in " + home +
                  ", holding:" + entriesOf(home + "/.repository-staging"));
    check(lockFilesIn(getenv("LOCK_VAR")) == 0, "lock files are left after the final lookups");
    return lost;
}

// ---- The run ---------------------------------------------------------------------------------

// Switches the mount on and puts ballast of 5 % of its size at its top (balancing never touches
// plain files there): no mount is below the clean limit of the clearable phase, so that it has to
// delete.
void prepareMount(const std::string& mount, int mebibytes) {
    writeFile(mount + "/repositorypart.cfg", "");
    writeFile(mount + "/ballast", std::string(static_cast<size_t>(mebibytes) * 52429, 'b'));
}

// What the workers and the balancer did, and the verdict: nothing lost, and the balancer both
// moved and deleted.
void reportAndCheck(long lost, const std::string& statsFile) {
    long checks = 0, moves = 0, deleted = 0, conflicts = 0;
    std::istringstream(readFile(statsFile)) >> checks >> moves >> deleted >> conflicts;
    printf("  created %ld, legacy entries %ld, created anew %ld, removed %ld; lookups %ld (found "
           "%ld, dirty %ld, not found %ld), by other processes %ld; listings %ld, times set %ld, "
           "mounts switched off %ld\n",
           shared->created.load(), shared->legacyPlaced.load(), shared->recreated.load(),
           shared->removed.load(), shared->lookups.load(), shared->found.load(),
           shared->dirty.load(), shared->notFound.load(), shared->crossLookups.load(),
           shared->listings.load(), shared->timesSet.load(), shared->switched.load());
    printf("  balancer: %ld checks, %ld moves, %ld deletions, %ld conflicts\n", checks, moves,
           deleted, conflicts);
    fflush(stdout);
    check(lost == 0, "resources were lost");
    check(moves > 0, "the balancer moved nothing");
    check(deleted > 0, "the clearable checks deleted nothing");
}

unsigned seedOfRun() {
    const char* given = getenv("STRESS_SEED");
    if (given != nullptr && *given != '\0')
        return static_cast<unsigned>(std::strtoul(given, nullptr, 10));
    return static_cast<unsigned>(time(nullptr));
}

std::multimap<std::string, long long> readDeletions(const std::string& file) {
    std::multimap<std::string, long long> deletions;
    std::istringstream lines(readFile(file));
    long long end = 0;
    for (std::string name; lines >> end >> name;)
        deletions.emplace(name, end);
    return deletions;
}

#ifndef STRESS_HOSTS

// The whole run inside a private mount namespace; its failure count, or kNoNamespace.
int stressRun(TestRepository& repo, FileSystemKind kind) {
    Setup setup{repo.path(), repo / "legacy", repo / "scratch", {}};
    if (!enterPrivateMountNamespace())
        return kNoNamespace;
    for (int i = 0; i < kMounts; ++i) {
        std::string mount = repo.addMount("m" + std::to_string(i), "", false);
        std::string size = std::to_string(kMountMebibytes[i]) + "m";
        bool mounted = kind == FileSystemKind::Tmpfs
                           ? mountTmpfs(mount, size.c_str())
                           : mountExt4(mount, repo.addMount("img" + std::to_string(i), "", false),
                                       kMountMebibytes[i]);
        if (!mounted)
            return kNoNamespace;
        prepareMount(mount, kMountMebibytes[i]);
        setup.mounts.push_back(mount);
    }
    mkdir(setup.legacy.c_str(), 0755);
    mkdir(setup.scratch.c_str(), 0755);
    configure(setup, false, Limits());

    void* memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return 1;
    shared = new (memory) Shared();
    startTrace(repo / "trace.txt", true);
    unsigned seed = seedOfRun();
    printf("stress on %s: seed %u (STRESS_SEED=%u repeats the operations of each process)\n",
           nameOf(kind), seed, seed);
    fflush(stdout);

    std::string deletedFile = repo / "deleted.txt", statsFile = repo / "balancer.txt";
    pid_t balancer = startChild([&] { return runBalancer(setup, deletedFile, statsFile); });
    long long start = nowNs();
    std::vector<pid_t> workers;
    for (int index = 0; index < kWorkers; ++index)
        workers.push_back(startChild([&setup, index, seed] {
            return Worker(setup, index, seed + 7919u * static_cast<unsigned>(index)).run();
        }));
    for (int index = 0; index < kWorkers; ++index) {
        int status = waitForChild(workers[static_cast<size_t>(index)]);
        check(status == 0, "worker " + std::to_string(index) + " ended with " +
                               std::to_string(status) + " (-1: it crashed)");
    }
    double seconds = static_cast<double>(nowNs() - start) / 1e9;
    shared->stop = 1;
    int balancerStatus = waitForChild(balancer);
    check(balancerStatus == 0,
          "the balancer ended with " + std::to_string(balancerStatus) + " (-1: it crashed)");

    long lost = checkAfterwards(setup, readDeletions(deletedFile));
    long operations = shared->operationsDone.load();
    printf("stress on %s: %d processes x %d operations in %.1f s = %.0f operations/s; "
           "lost resources: %ld\n",
           nameOf(kind), kWorkers, operationCount(), seconds,
           static_cast<double>(operations) / seconds, lost);
    reportAndCheck(lost, statsFile);
    return std::min(childFailures(), 100);
}

int stressOn(FileSystemKind kind) {
    TestRepository repo;
    return runInChild([&] { return stressRun(repo, kind); });
}

} // namespace

TEST(Stress, EightProcessesOnTmpfs) {
    EXPECT_SCENARIO(stressOn(FileSystemKind::Tmpfs));
}

TEST(Stress, EightProcessesOnExt4) {
    EXPECT_SCENARIO(stressOn(FileSystemKind::Ext4SmallInodes));
}

#else

// ---- Several hosts -----------------------------------------------------------------------------
//
// The same workload from several hosts at once on one repository whose directory and mounts are
// mounted by every host at the same paths (the scenario script makes the hosts). Each step is a
// test of its own, run by the script with --gtest_filter; the environment names the repository
// (STRESS_REPOSITORY, with m0, m1 and m2 mounted below it) and a directory that every host sees
// (STRESS_STATE) for the bookkeeping that the checks compare with: the shared memory of the
// workers is a file there.
//   Hosts.Prepare    makes the repository; once, before the hosts start
//   Hosts.Run        the workers of host STRESS_HOST (0 or 1): half of the eight; the balancer
//                    where STRESS_BALANCER=1; with STRESS_KILLS=1 a process beside them that is
//                    killed again and again at one of its file-system changes
//   Hosts.Check      the final checks; once, after every host ended
//   Hosts.HoldLock   takes a resource's lock, tells so, and holds it until told to let go
//   Hosts.ProbeLock  while the lock is held elsewhere, fails to take it; takes it once it is free

constexpr int kHosts = 2;

std::string environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

std::string stateFile(const std::string& name) {
    return environment("STRESS_STATE") + "/" + name;
}

Setup hostsSetup() {
    std::string repository = environment("STRESS_REPOSITORY");
    Setup setup{repository, repository + "/legacy", repository + "/scratch", {}};
    for (int i = 0; i < kMounts; ++i)
        setup.mounts.push_back(repository + "/m" + std::to_string(i));
    // Every lock of the repository in one directory of the shared file system.
    extraConfiguration = "lockDirectory = locks\n";
    return setup;
}

// Maps the shared state of the run from its file; fresh: makes it anew.
bool attachShared(bool fresh) {
    int fd = open(stateFile("shared").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool sized = !fresh || ftruncate(fd, sizeof(Shared)) == 0;
    void* memory =
        sized ? mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : nullptr;
    close(fd);
    if (memory == nullptr || memory == MAP_FAILED)
        return false;
    shared = fresh ? new (memory) Shared() : static_cast<Shared*>(memory);
    return true;
}

bool waitForFile(const std::string& path, int seconds) {
    for (int waited = 0; waited < seconds * 100 && !present(path); ++waited)
        usleep(10000);
    return present(path);
}

// ---- Temporary files of live processes -------------------------------------------------------

// A worker's rename of its own temporary dirty-flag file or of an entry of its own staging work
// directory finds it gone: another process took a live process's temporary file for a leftover.
bool ownTemporary(const char* path) {
    std::string text = path;
    std::string pid = std::to_string(getpid());
    std::string name = lastName(text);
    // "work-<host>-<pid>-<n>"
    return name.compare(0, 7, ".dirty.") == 0 ||
           (text.find("/.repository-staging/work-") != std::string::npos &&
            text.find("-" + pid + "-") != std::string::npos);
}

class WatchedTemporaries {
public:
    WatchedTemporaries() {
        calls.table().rename = [](const char* from, const char* to) {
            int result = ovsys::real().rename(from, to);
            if (result != 0 && errno == ENOENT && ownTemporary(from))
                check(false, std::string("a live temporary entry was removed: ") + from);
            return result;
        };
    }

private:
    ScopedSyscalls calls;
};

// ---- Processes killed at a counted call ------------------------------------------------------

// The victim kills itself at its n-th rename, unlink, unlinkat, rmdir, mkdir or creating open, and
// before that writes down the lock files it holds: the operator's recovery after a kill removes
// exactly those, while every other process goes on.
std::vector<std::string> heldLocks;
std::string heldLocksFile;
long victimCalls = 0;
long dyingCall = 0;

bool isLockFile(const char* path) {
    return std::strstr(path, "/semaphore_") != nullptr;
}

void countVictimCall() {
    if (++victimCalls != dyingCall)
        return;
    std::string text;
    for (const std::string& lock : heldLocks)
        text += lock + "\n";
    writeFile(heldLocksFile, text);
    raise(SIGKILL);
}

class DyingCalls {
public:
    explicit DyingCalls(long n) {
        dyingCall = n;
        ovsys::Table& table = calls.table();
        countDirectoryChanges(table, countVictimCall);
        table.open = [](const char* path, int flags, mode_t mode) {
            if ((flags & O_CREAT) != 0)
                countVictimCall();
            int fd = ovsys::real().open(path, flags, mode);
            if (fd >= 0 && (flags & O_EXCL) != 0 && isLockFile(path))
                heldLocks.push_back(path);
            return fd;
        };
        table.unlink = [](const char* path) {
            countVictimCall();
            int result = ovsys::real().unlink(path);
            if (isLockFile(path))
                heldLocks.erase(std::remove(heldLocks.begin(), heldLocks.end(), path),
                                heldLocks.end());
            return result;
        };
    }

private:
    ScopedSyscalls calls;
};

// Lookups of the workers' resources (which merge dirty copies), and creations and removals of
// resources of its own, under worker number kWorkers + host.
int runVictim(const Setup& setup, int host, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&random](int bound) {
        return std::uniform_int_distribution<int>(0, bound - 1)(random);
    };
    heldLocksFile = stateFile("held-" + std::to_string(host));
    unlink(heldLocksFile.c_str());
    DyingCalls dying(1 + pick(60));
    const char* repo = setup.repository.c_str();
    for (int operation = 0; operation < 200; ++operation) {
        int roll = pick(4);
        if (roll < 2) {
            int worker = pick(kWorkers);
            int count = shared->names[worker].load();
            if (count > 0) {
                int number = count - 1 - pick(std::min(count, 16));
                std::string id =
                    resourceName(worker, number, shared->slots[worker][number].legacy.load() != 0);
                Owned location = owned(getLocation_(repo, id.c_str(), nullptr));
                trace("lookup by a victim %s: at %s", id.c_str(), location ? location.get() : "-");
            }
        } else if (roll == 2 && shared->victimNames[host] < kMaxNames) {
            std::string id = resourceName(kWorkers + host, shared->victimNames[host]++, false);
            Owned location = owned(createDirectory_(repo, id.c_str(), nullptr, false));
            if (location)
                writeContent(location.get(), id);
        } else if (shared->victimNames[host] > 0) {
            int number = pick(shared->victimNames[host]);
            removeResource_(repo, resourceName(kWorkers + host, number, false).c_str());
        }
    }
    return 0;
}

// Starts victims one after the other until every worker of every host ended; after each kill,
// removes the lock files the victim held.
int killVictims(const Setup& setup, int host, unsigned seed) {
    for (unsigned round = 0; shared->workersDone.load() < kWorkers; ++round) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(runVictim(setup, host, seed + 104729u * round));
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            return 1;
        if (!WIFSIGNALED(status)) {
            check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a victim failed");
            continue;
        }
        check(WTERMSIG(status) == SIGKILL, "a victim crashed");
        std::istringstream locks(readFile(stateFile("held-" + std::to_string(host))));
        for (std::string lock; std::getline(locks, lock);)
            unlink(lock.c_str());
        int killed = shared->victimsKilled[host]++;
        if (killed < kMostKills)
            shared->killedPids[host][killed] = pid;
        usleep(100000); // a few kills a second, each with the others' work in between
    }
    return std::min(childFailures(), 100);
}

// ---- The steps -------------------------------------------------------------------------------

} // namespace

TEST(Hosts, Prepare) {
    auto setup = hostsSetup();
    for (int i = 0; i < kMounts; ++i)
        prepareMount(setup.mounts[static_cast<size_t>(i)], kMountMebibytes[i]);
    ASSERT_EQ(mkdir(setup.legacy.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(setup.scratch.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((setup.repository + "/locks").c_str(), 0755), 0);
    configure(setup, false, Limits());
    ASSERT_TRUE(attachShared(true));
    startTrace(stateFile("trace.txt"), true);
    unsigned seed = seedOfRun();
    writeFile(stateFile("seed"), std::to_string(seed));
    printf("stress on several hosts: seed %u (STRESS_SEED=%u repeats the operations of each "
           "process)\n",
           seed, seed);
}

TEST(Hosts, Run) {
    auto setup = hostsSetup();
    ASSERT_TRUE(attachShared(false));
    int host = atoi(environment("STRESS_HOST").c_str());
    ASSERT_TRUE(host >= 0 && host < kHosts);
    startTrace(stateFile("trace.txt"), false);
    unsigned seed = static_cast<unsigned>(std::stoul(readFile(stateFile("seed"))));
    pid_t balancer = -1, killer = -1;
    if (environment("STRESS_BALANCER") == "1")
        balancer = startChild([&] {
            return runBalancer(setup, stateFile("deleted.txt"), stateFile("balancer.txt"));
        });
    if (environment("STRESS_KILLS") == "1")
        killer = startChild([&] { return killVictims(setup, host, seed + 31u * host); });
    long long start = nowNs();
    std::vector<pid_t> workers;
    constexpr int kPerHost = kWorkers / kHosts;
    for (int index = host * kPerHost; index < (host + 1) * kPerHost; ++index)
        workers.push_back(startChild([&setup, index, seed] {
            WatchedTemporaries watched;
            int failures = Worker(setup, index, seed + 7919u * static_cast<unsigned>(index)).run();
            shared->workersDone++;
            return failures;
        }));
    for (size_t i = 0; i < workers.size(); ++i) {
        EXPECT_EQ(waitForChild(workers[i]), 0)
            << "worker " << host * kPerHost + static_cast<int>(i) << " (-1: it crashed)";
    }
    double seconds = static_cast<double>(nowNs() - start) / 1e9;
    // The balancer and the victims go on until the workers of every host ended.
    for (int waited = 0; shared->workersDone.load() < kWorkers && waited < 60000; ++waited)
        usleep(10000);
    shared->stop = 1;
    if (killer > 0) {
        EXPECT_EQ(waitForChild(killer), 0) << "the victims' killer";
    }
    if (balancer > 0) {
        EXPECT_EQ(waitForChild(balancer), 0) << "the balancer (-1: it crashed)";
    }
    printf("host %d: %d workers x %d operations in %.1f s; victims killed: %d\n", host, kPerHost,
           operationCount(), seconds, shared->victimsKilled[host].load());
}

TEST(Hosts, Check) {
    auto setup = hostsSetup();
    ASSERT_TRUE(attachShared(false));
    startTrace(stateFile("trace.txt"), false);
    int failures = runInChild([&] {
        const char* repo = setup.repository.c_str();
        // The operator's recovery after the kills: the victims' staging work directories go, and
        // the resources of the victims are removed like any other test data.
        std::vector<std::string> homes = setup.mounts;
        homes.push_back(setup.legacy);
        for (int host = 0; host < kHosts; ++host)
            for (int k = 0; k < std::min(shared->victimsKilled[host].load(), kMostKills); ++k)
                for (const std::string& home : homes) {
                    std::string staging = home + "/.repository-staging";
                    // "work-<host>-<pid>-<n>"
                    std::string tag = "host" + std::string(1, static_cast<char>('A' + host)) + "-" +
                                      std::to_string(shared->killedPids[host][k].load()) + "-";
                    std::string prefix = "work-" + tag;
                    std::vector<std::string> leftovers;
                    if (DIR* stream = opendir(staging.c_str())) {
                        while (dirent* entry = readdir(stream))
                            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                                leftovers.push_back(staging + "/" + entry->d_name);
                        closedir(stream);
                    }
                    for (const std::string& leftover : leftovers)
                        runCommand({"rm", "-rf", "--", leftover});
                    rmdir(staging.c_str());
                }
        for (int host = 0; host < kHosts; ++host)
            for (int number = 0; number < shared->victimNames[host].load(); ++number)
                removeResource_(repo, resourceName(kWorkers + host, number, false).c_str());
        long lost = checkAfterwards(setup, readDeletions(stateFile("deleted.txt")));
        printf("several hosts: lost resources: %ld; victims killed: %d and %d\n", lost,
               shared->victimsKilled[0].load(), shared->victimsKilled[1].load());
        reportAndCheck(lost, stateFile("balancer.txt"));
        return std::min(childFailures(), 100);
    });
    EXPECT_EQ(failures, 0) << "failed checks, see the messages above";
}

// flocks between hosts: a regular file's and a directory's, each taken by the holder.
struct FlockProbe {
    const char* what;
    const char* name;
    bool directory;
};
const FlockProbe kFlockProbes[] = {{"a file", "flock-file", false},
                                   {"a directory", "flock-directory", true}};

int openProbe(const std::string& repository, const FlockProbe& probe, bool make) {
    std::string path = repository + "/" + probe.name;
    if (make && probe.directory)
        mkdir(path.c_str(), 0755);
    int flags = probe.directory ? O_RDONLY | O_DIRECTORY : O_RDWR | (make ? O_CREAT : 0);
    return open(path.c_str(), flags | O_CLOEXEC, 0644);
}

TEST(Hosts, HoldLock) {
    std::string repository = environment("STRESS_REPOSITORY");
    OVSemaphore lock(resourceLockName(repository, "probe"), true);
    ASSERT_TRUE(lock.tryLock(10));
    std::vector<int> fds;
    for (const FlockProbe& probe : kFlockProbes) {
        fds.push_back(openProbe(repository, probe, true));
        EXPECT_EQ(flock(fds.back(), LOCK_EX | LOCK_NB), 0) << probe.what << ": " << strerror(errno);
    }
    writeFile(stateFile("held"), "");
    EXPECT_TRUE(waitForFile(stateFile("release"), 60)) << "nobody asked for the lock";
    lock.unlock();
    for (int fd : fds)
        close(fd);
}

// The lock files of the library must exclude; so must the flock of a file. The flock of a
// directory is reported only: FUSE clients need not pass it on to the other hosts.
TEST(Hosts, ProbeLock) {
    std::string repository = environment("STRESS_REPOSITORY");
    ASSERT_TRUE(waitForFile(stateFile("held"), 60)) << "the other host did not take the lock";
    OVSemaphore lock(resourceLockName(repository, "probe"), true);
    EXPECT_TRUE(present(lock.path())) << "the lock file is not seen from here";
    EXPECT_FALSE(lock.tryLock(2)) << "the lock held by another host was taken";
    for (const FlockProbe& probe : kFlockProbes) {
        int fd = openProbe(repository, probe, false);
        ASSERT_GE(fd, 0) << probe.what << ": " << strerror(errno);
        bool taken = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        printf("the flock of %s held by another host is %s\n", probe.what,
               taken ? "NOT honoured here" : "honoured here");
        if (!probe.directory) {
            EXPECT_FALSE(taken) << "the flock of " << probe.what
                                << " held by another host was taken";
        }
    }
    writeFile(stateFile("release"), "");
    EXPECT_TRUE(lock.tryLock(20)) << "the lock let go by another host is still taken";
}

#endif
