// The library side of the move benchmark (move_bench.sh), and its memory helper.
//
//   move_bench [--batch K] [--verify-on-device] [--flush-files] [--legacy] from to
//   move_bench --touch-memory MiB
//
// Moves every resource of the mount from (the hashed layout: three levels of hash directories)
// to the same path below the mount to, as balancing does: each by one moveResBetween with the
// tops of the two mounts as homes. With --legacy, from is a flat legacy directory instead, and
// each of its resources goes to its hashed path below to, as a take-over does. An option of the
// copy (--verify-on-device, --flush-files) makes each move a moveResWith; --batch K adds the
// moves to a MoveBatch and commits every K of them. Prints the count of resources and the time
// of the moves alone (the listing before them is not counted); ends with 1 when a move fails.
//
// --touch-memory writes every page of MiB mebibytes of anonymous memory and frees it again: this
// virtual machine hands freed memory back to its host, and filling memory that came back from
// there costs two to three times more than memory freed a moment ago, so every timed run is
// preceded by this and meets memory in the same state.
#include "MoveDelete.h"
#include "OVHash.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

// The names in dir other than "." and "..", sorted.
std::vector<std::string> namesIn(const std::string& dir) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr)
        fail(dir);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

// A hash directory's name: two characters of the hash table. Everything else at the top of a
// mount (its configuration, the staging directory, lost+found) is not a resource.
bool isHashName(const std::string& name) {
    return name.size() == static_cast<size_t>(hashLength) &&
           name.find_first_not_of(sHashTable) == std::string::npos;
}

// The paths of the resources below a mount, relative to it.
std::vector<std::string> resourcesOfMount(const std::string& mount) {
    std::vector<std::string> found;
    for (const std::string& a : namesIn(mount))
        if (isHashName(a))
            for (const std::string& b : namesIn(mount + "/" + a))
                for (const std::string& c : namesIn(mount + "/" + a + "/" + b))
                    for (const std::string& r : namesIn(mount + "/" + a + "/" + b + "/" + c))
                        found.push_back(a + "/" + b + "/" + c + "/" + r);
    return found;
}

std::string hashedPath(const std::string& name) {
    std::unique_ptr<char[]> hashed(convertToHashed((name + "/").c_str()));
    if (!hashed)
        fail("hashed path of " + name);
    std::string path = hashed.get();
    path.pop_back();
    return path;
}

void touchMemory(size_t mebibytes) {
    size_t size = mebibytes << 20;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        fail("mmap");
    char* bytes = static_cast<char*>(memory);
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (size_t at = 0; at < size; at += page)
        bytes[at] = 1;
    munmap(memory, size);
}

void check(int result, const std::string& what) {
    if (result != 0) {
        std::fprintf(stderr, "move_bench: moving %s gave %d\n", what.c_str(), result);
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    MoveOptions options;
    bool withOptions = false, legacy = false;
    size_t batchSize = 0;
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--touch-memory" && i + 1 < argc) {
            touchMemory(std::strtoul(argv[++i], nullptr, 10));
            return 0;
        } else if (arg == "--batch" && i + 1 < argc) {
            batchSize = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--verify-on-device") {
            options.verifyOnDevice = withOptions = true;
        } else if (arg == "--flush-files") {
            options.flushFiles = withOptions = true;
        } else if (arg == "--legacy") {
            legacy = true;
        } else {
            dirs.push_back(arg);
        }
    }
    if (dirs.size() != 2) {
        std::printf("Usage: move_bench [--batch K] [--verify-on-device] [--flush-files] "
                    "[--legacy] from to\n       move_bench --touch-memory MiB\n");
        return 2;
    }
    const std::string& from = dirs[0];
    const std::string& to = dirs[1];
    // Origin and destination of each move, below from and to.
    std::vector<std::pair<std::string, std::string>> moves;
    if (legacy) {
        for (const std::string& name : namesIn(from))
            if (name[0] != '.')
                moves.emplace_back(name, hashedPath(name));
    } else {
        for (const std::string& path : resourcesOfMount(from))
            moves.emplace_back(path, path);
    }

    auto start = std::chrono::steady_clock::now();
    if (batchSize > 0) {
        MoveBatch batch(options);
        for (size_t i = 0; i < moves.size(); ++i) {
            std::string origin = from + "/" + moves[i].first;
            check(batch.add(origin.c_str(), (to + "/" + moves[i].second).c_str(), from.c_str(),
                            to.c_str()),
                  origin);
            if (batch.size() >= batchSize || i + 1 == moves.size())
                for (int result : batch.commit())
                    check(result, "a batch ending with " + origin);
        }
    } else {
        for (const auto& move : moves) {
            std::string origin = from + "/" + move.first, dest = to + "/" + move.second;
            check(withOptions
                      ? moveResWith(origin.c_str(), dest.c_str(), from.c_str(), to.c_str(), options)
                      : moveResBetween(origin.c_str(), dest.c_str(), from.c_str(), to.c_str()),
                  origin);
        }
    }
    auto end = std::chrono::steady_clock::now();
    std::printf("moved %zu resources in %.1f ms\n", moves.size(),
                std::chrono::duration<double, std::milli>(end - start).count());
    return 0;
}
