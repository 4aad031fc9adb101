// The repository of the lookup benchmarks (lookup_bench, lookup_floor): its layout, the names of
// its resources and the order in which they are looked up, the same for the library and for the
// floor it is compared with.
//
// A repository of M mounts "m0" .. "m<M-1>" holds N resources on each mount, every one an empty
// directory in the hashed layout named "r<mount>-<index>". The i-th lookup of a run takes the
// resource ((i * kStride) + offset) mod (M * N) of the whole set, so that successive lookups go
// to every mount in turn and spread over all hash directories, and two runs with different
// offsets modulo P (P dividing M * N) never take the same resource.
#ifndef BENCH_LOOKUPSET_H
#define BENCH_LOOKUPSET_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace lookupset {

// A prime that divides none of the benchmark's set sizes: i -> i * kStride mod size is one-to-one.
constexpr long kStride = 7919;

struct Resource {
    int mount;
    long index;
};

inline std::string mountName(int mount) {
    return "m" + std::to_string(mount);
}

inline std::string resourceName(const Resource& r) {
    char name[40];
    std::snprintf(name, sizeof name, "r%d-%07ld", r.mount, r.index);
    return name;
}

// The resource of lookup i; mounts take turns.
inline Resource pick(long i, int mounts, long perMount) {
    long size = mounts * perMount;
    long j = static_cast<long>((static_cast<unsigned long long>(i) * kStride) % size);
    return {static_cast<int>(j % mounts), j / mounts};
}

// The arguments every lookup program takes: repository mounts perMount count.
struct Args {
    std::string repo;
    int mounts = 0;
    long perMount = 0;
    long count = 0;
};

inline Args parseArgs(int argc, char** argv, int first, const char* usage) {
    Args args;
    if (argc - first != 4) {
        std::fprintf(stderr, "Usage: %s\n", usage);
        std::exit(2);
    }
    args.repo = argv[first];
    args.mounts = std::atoi(argv[first + 1]);
    args.perMount = std::atol(argv[first + 2]);
    args.count = std::atol(argv[first + 3]);
    if (args.mounts < 1 || args.perMount < 1 || args.count < 0) {
        std::fprintf(stderr, "Usage: %s\n", usage);
        std::exit(2);
    }
    return args;
}

} // namespace lookupset

#endif
