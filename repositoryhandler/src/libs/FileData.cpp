// The data of one regular file: copied run by run (holes stay holes), read back from the copy
// piece by piece and compared with what was read; hashed as it is read from the origin when the
// copy is to be checked once more from the device. A stop request (OVStop.h) abandons the copy
// and the check between two pieces.
#include "CopyParts.h"

#include "OVLogger.h"
#include "OVStop.h"
#include "OVSyscalls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

namespace treecopy {

namespace {

constexpr size_t kChunk = 256 * 1024;

XXH3_state_t* state(void* p) {
    return static_cast<XXH3_state_t*>(p);
}

Hash digest(void* p) {
    XXH128_hash_t h = XXH3_128bits_digest(state(p));
    return Hash{h.low64, h.high64};
}

// Feeds the place of a run into a hash, so that the same bytes elsewhere hash otherwise.
void feedRun(void* p, const Extent& run) {
    int64_t place[2] = {static_cast<int64_t>(run.offset), static_cast<int64_t>(run.length)};
    XXH3_128bits_update(state(p), place, sizeof place);
}

bool writeFully(int fd, const char* from, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t put =
            ovsys::table().pwrite(fd, from + done, size - done, offset + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR && !ovstop::requested())
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

char* threadBuffer(int which) {
    static thread_local std::unique_ptr<char[]> buffers[2];
    if (!buffers[which])
        buffers[which].reset(new char[kChunk]);
    return buffers[which].get();
}

} // namespace

// pread until size bytes are in or the file ends; -1 with errno on a failure.
ssize_t readFully(int fd, char* into, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t got =
            ovsys::table().pread(fd, into + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR && !ovstop::requested())
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

int stoppedOnRequest(const std::string& shown) {
    return ovstop::requested() ? copyFailed(shown, "stopped on request", EINTR) : 0;
}

int copyFailed(const std::string& shown, const std::string& step, int error) {
    std::string text = "The entry \"" + shown + "\" could not be copied (" + step +
                       "). Error code is " + std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
    errno = error;
    return error;
}

bool unchanged(const struct stat& before, const struct stat& after) {
    return before.st_ino == after.st_ino && before.st_dev == after.st_dev &&
           (before.st_mode & S_IFMT) == (after.st_mode & S_IFMT) &&
           before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
           before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// The buffers are the thread's, allocated once: a copier is made for every move, and filling two
// fresh buffers each time would cost more than copying a small resource.
DataCopier::DataCopier(bool hashing)
    : buffer(threadBuffer(0)), readBack(threadBuffer(1)), hashing(hashing),
      origin(XXH3_createState()), written(XXH3_createState()) {}

DataCopier::~DataCopier() {
    XXH3_freeState(state(origin));
    XXH3_freeState(state(written));
}

// The runs of data of fd, a file of size bytes. A file system that cannot tell holes gives one
// run over the whole file.
int DataCopier::dataRuns(int fd, const struct stat& st, std::vector<Extent>& extents,
                         const std::string& shown) {
    extents.clear();
    off_t size = st.st_size;
    // Blocks enough for every byte: no hole to look for.
    if (static_cast<off_t>(st.st_blocks) * 512 >= size) {
        if (size > 0)
            extents.push_back(Extent{0, size});
        return 0;
    }
    off_t at = 0;
    while (at < size) {
        off_t data = ovsys::table().lseek(fd, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break; // only a hole up to the end
        if (data < 0 && errno == EINVAL) {
            extents.assign(1, Extent{0, size});
            return 0;
        }
        if (data < 0)
            return copyFailed(shown, "seek", errno);
        off_t hole = ovsys::table().lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            return copyFailed(shown, "seek", errno);
        if (hole > size)
            hole = size;
        if (hole > data)
            extents.push_back(Extent{data, hole - data});
        at = hole;
    }
    return 0;
}

int DataCopier::copyRun(int from, int to, const Extent& run, bool startWriteback,
                        const std::string& shown) {
    if (hashing)
        feedRun(origin, run);
    off_t end = run.offset + run.length;
    for (off_t at = run.offset; at < end;) {
        if (int error = stoppedOnRequest(shown))
            return error;
        size_t want = static_cast<size_t>(std::min<off_t>(end - at, kChunk));
        ssize_t got = readFully(from, buffer, want, at);
        if (got < 0)
            return copyFailed(shown, "read", errno);
        if (static_cast<size_t>(got) != want)
            return copyFailed(shown, "changed while copied: shorter", EAGAIN);
        if (hashing)
            XXH3_128bits_update(state(origin), buffer, want);
        if (!writeFully(to, buffer, want, at))
            return copyFailed(shown, "write", errno);
        // The piece read back is compared with the bytes read from the origin, while both are
        // still in the processor's caches: stronger than comparing hashes, and cheaper.
        ssize_t back = readFully(to, readBack, want, at);
        if (back < 0)
            return copyFailed(shown, "read back", errno);
        if (static_cast<size_t>(back) != want || std::memcmp(readBack, buffer, want))
            return copyFailed(shown, "read back: the copy differs", EIO);
        at += static_cast<off_t>(want);
    }
    if (startWriteback &&
        ovsys::table().syncFileRange(to, run.offset, run.length, SYNC_FILE_RANGE_WRITE) != 0)
        return copyFailed(shown, "start writing", errno);
    return 0;
}

int DataCopier::copy(int from, const struct stat& st, int to, bool sameFileSystem,
                     bool startWriteback, FileRecord& record, const std::string& shown) {
    record.shared = false;
    if (int error = dataRuns(from, st, record.extents, shown))
        return error;
    struct stat after;
    // A clone shares the origin's blocks; where the file system cannot clone, the copier copies
    // and checks by itself (a copy made by the kernel would escape the read-back).
    if (sameFileSystem && st.st_size > 0 && ovsys::table().cloneFile(to, from) == 0) {
        // Reading the clone back would read the origin's blocks again: its size is checked.
        if (ovsys::table().ftruncate(to, st.st_size) != 0)
            return copyFailed(shown, "set the size", errno);
        if (ovsys::table().fstat(to, &after) != 0)
            return copyFailed(shown, "status of the copy", errno);
        if (after.st_size != st.st_size)
            return copyFailed(shown, "the clone's size differs", EIO);
        record.shared = true;
    } else {
        XXH3_128bits_reset(state(origin));
        for (const Extent& run : record.extents)
            if (int error = copyRun(from, to, run, startWriteback, shown))
                return error;
        // A file that ends in a hole gets its size here.
        off_t written = record.extents.empty()
                            ? 0
                            : record.extents.back().offset + record.extents.back().length;
        if (written < st.st_size && ovsys::table().ftruncate(to, st.st_size) != 0)
            return copyFailed(shown, "set the size", errno);
        // What the check from the device compares with.
        if (hashing)
            record.hash = digest(origin);
    }
    if (ovsys::table().fstat(from, &after) != 0)
        return copyFailed(shown, "status", errno);
    if (!unchanged(st, after))
        return copyFailed(shown, "changed while copied", EAGAIN);
    return 0;
}

int DataCopier::hashRuns(int fd, const std::vector<Extent>& runs, Hash& hash,
                         const std::string& shown, const char* step) {
    XXH3_128bits_reset(state(written));
    for (const Extent& run : runs) {
        feedRun(written, run);
        off_t end = run.offset + run.length;
        for (off_t at = run.offset; at < end;) {
            if (int error = stoppedOnRequest(shown))
                return error;
            size_t want = static_cast<size_t>(std::min<off_t>(end - at, kChunk));
            ssize_t got = readFully(fd, readBack, want, at);
            if (got < 0)
                return copyFailed(shown, step, errno);
            XXH3_128bits_update(state(written), readBack, static_cast<size_t>(got));
            at += static_cast<off_t>(want);
        }
    }
    hash = digest(written);
    return 0;
}

int DataCopier::rehash(int fd, const FileRecord& record, bool evict, Hash& hash,
                       const std::string& shown) {
    if (evict && ovsys::table().fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
        return copyFailed(shown, "drop the cached pages", errno);
    return hashRuns(fd, record.extents, hash, shown, "read back from the device");
}

} // namespace treecopy
