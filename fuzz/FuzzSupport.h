#ifndef FUZZ_FUZZSUPPORT_H
#define FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// The entry point of every fuzz target: one input, returns 0.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A property the code must keep for every input; a broken one ends the run like a crash, so
// that the fuzzer keeps the input that broke it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);  \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

inline std::string bytesOf(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A file in memory, private to this process, that readers which only take a path can open by
// its name (/proc/self/fd/N). Each input replaces its whole content; nothing on disk is touched.
class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd(memfd_create(name, MFD_CLOEXEC)) {
        if (fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemoryFile() { close(fd); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Replaces the content by the bytes; returns the path to open.
    const std::string& hold(const uint8_t* data, size_t size) {
        if (ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != ssize_t(size))) {
            std::perror("memory file");
            std::abort();
        }
        return path;
    }

private:
    int fd;
    std::string path;
};

#endif
