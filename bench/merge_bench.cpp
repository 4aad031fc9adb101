// Times moveRes merging a directory of many small entries into an existing directory of the same
// name (the merge of two copies of a dirty resource), on the file system of the work directory.
//
//   merge_bench [--entries N] [--runs N] [workDir]
//
// Each run builds a fresh origin of N files of 1 KiB plus one sub-directory, and a destination
// that already holds one other file, then moves the origin onto it. Prints the time of every run
// and the median, in milliseconds.
#include "MoveDelete.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void writeSmallFile(const std::string& path) {
    static const std::string content(1024, 'x');
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 ||
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        std::perror(path.c_str());
        std::exit(1);
    }
    close(fd);
}

void makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

double oneRun(const std::string& root, int entries) {
    std::string origin = root + "/o", dest = root + "/d";
    makeDir(root);
    makeDir(origin);
    makeDir(origin + "/r");
    makeDir(origin + "/r/sub");
    for (int i = 0; i < entries; ++i)
        writeSmallFile(origin + "/r/e" + std::to_string(i));
    makeDir(dest);
    makeDir(dest + "/r");
    writeSmallFile(dest + "/r/already-there");
    sync();
    auto start = std::chrono::steady_clock::now();
    int result = moveRes((origin + "/r").c_str(), (dest + "/r").c_str());
    auto end = std::chrono::steady_clock::now();
    if (result != 0) {
        std::fprintf(stderr, "moveRes returned %d\n", result);
        std::exit(1);
    }
    std::filesystem::remove_all(root);
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace

int main(int argc, char** argv) {
    int entries = 1000, runs = 5;
    std::string work = "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--entries") == 0 && i + 1 < argc)
            entries = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else
            work = argv[i];
    }
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        double ms = oneRun(work + "/merge-bench-" + std::to_string(getpid()), entries);
        std::printf("run %d: %.1f ms\n", run + 1, ms);
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("merge of %d entries: median %.1f ms over %d runs\n", entries,
                times[times.size() / 2], runs);
    return 0;
}
