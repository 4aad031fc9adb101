// Fills a mount with resources in the hashed layout, for the balancing benchmark
// (balance_bench.sh).
//
//   hashed_fill mount count bytesPerResource [filesPerResource [first step]]
//
// Makes count resources below mount, named res00000 .. (count - 1), or with first and step
// res<first>, res<first + step>, ... (so that two mounts can be filled with resources of their
// own whose ages interleave), each holding filesPerResource files (default 1) that together take
// bytesPerResource bytes, and sets the times of every file and resource directory of the
// resource numbered n to one day plus n minutes ago, all distinct. The
// contents are pseudo-random and differ from file to file (a file's first MiB repeats in larger
// ones), so that a file put in another's place does not pass any comparison.
#include "OVHash.h"
#include "OVPaths.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

void setTime(const std::string& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        fail(path);
}

// The first bytes of block, from a generator (xorshift) started from seed.
void fillBlock(std::vector<char>& block, size_t bytes, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull | 1;
    for (size_t j = 0; j < bytes; j += sizeof x) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(block.data() + j, &x, std::min(sizeof x, bytes - j));
    }
}

void writeFile(const std::string& path, const std::vector<char>& block, long long size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        fail(path);
    while (size > 0) {
        size_t chunk =
            size < static_cast<long long>(block.size()) ? static_cast<size_t>(size) : block.size();
        ssize_t written = write(fd, block.data(), chunk);
        if (written <= 0)
            fail(path);
        size -= written;
    }
    if (close(fd) != 0)
        fail(path);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 7 || argc == 6) {
        std::printf("Usage: hashed_fill mount count bytesPerResource [filesPerResource [first "
                    "step]]\n");
        return 2;
    }
    std::string mount = argv[1];
    long count = std::atol(argv[2]);
    long long bytes = std::atoll(argv[3]);
    long files = argc >= 5 ? std::atol(argv[4]) : 1;
    long first = argc == 7 ? std::atol(argv[5]) : 0;
    long step = argc == 7 ? std::atol(argv[6]) : 1;
    if (count < 0 || bytes < 0 || files < 1) {
        std::fprintf(stderr, "hashed_fill: bad count or size\n");
        return 2;
    }
    std::vector<char> block(1 << 20);
    time_t now = time(nullptr);
    for (long n = 0; n < count; ++n) {
        long i = first + n * step;
        char name[32];
        std::snprintf(name, sizeof name, "res%05ld", i);
        std::unique_ptr<char[]> hashed(convertToHashed((std::string(name) + "/").c_str()));
        std::string dir = mount + "/" + hashed.get();
        dir.pop_back();
        if (mkdirs(dir.c_str(), 0755) != 0)
            fail(dir);
        time_t when = now - 24 * 60 * 60 - i * 60;
        for (long f = 0; f < files; ++f) {
            std::string file = dir + "/part" + std::to_string(f);
            long long size = bytes / files + (f < bytes % files ? 1 : 0);
            fillBlock(block, static_cast<size_t>(std::min<long long>(size, block.size())),
                      static_cast<uint64_t>(i) << 32 | static_cast<uint64_t>(f));
            writeFile(file, block, size);
            setTime(file, when);
        }
        setTime(dir, when);
    }
    return 0;
}
