#ifndef REPOSITORYHANDLER_TREECOPY_H
#define REPOSITORYHANDLER_TREECOPY_H

#include "CopyParts.h"

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// The copy behind every move of a resource: a tree (or a single entry) copied to a new path by
// the library itself, every system call through the system-call table.
//
// What is copied: directories, regular files (sparse ones stay sparse), symbolic links (made
// again with the same target, never followed), pipes, devices and sockets (made again as what
// they are, never opened for reading), hard links inside the tree (one copy, linked again), the
// mode, the owner and group where the process may give files away (otherwise the copy keeps the
// copier's, as "cp --preserve=ownership" does), the access and modification times to the
// nanosecond, and the extended attributes "user.*" and the access control lists
// ("system.posix_acl_access", "system.posix_acl_default"). Other name spaces ("trusted.*",
// "security.*") are the file system's own business and are not copied. The tree is walked by
// descriptor (openat and fstatat relative to the directory), so names of any bytes and paths of
// any length are copied; the origin is read with O_NOATIME where the process may, so copying
// never makes a resource look used.
//
// What the check proves: each piece of every regular file is read back from the copy as soon as
// it is written and compared byte for byte with what was read from the origin; the origin's
// size and times must not have moved while it was read (a file changed during the copy fails
// it). A read-back served by the page cache proves that the copying code put the right bytes in
// the right places; it proves nothing about the disk. With verifyOnDevice every file is also
// hashed (XXH3, 128 bits) as it is read from the origin, and flush() drops the copies' pages
// after writing them to disk and hashes them again from the device: that also catches writes
// lost or corrupted below the page cache. A clone that shares the origin's blocks (same file
// system) is checked by its size only: reading it back would read the origin.
//
// Every failure is logged with the path and the reason, and answered with the errno of the
// failing call (EAGAIN: a file changed while it was copied; EIO: a read-back that differs; EINTR:
// a stop was requested, see OVStop.h, heeded between entries and between pieces of data, also
// during the check from the device). Nothing is removed on failure: the caller discards the
// partial copy.

namespace treecopy {

// How copies are made durable before their names appear.
enum class Flush {
    // One syncfs of each destination file system: cheapest for many small files; pays for
    // whatever else is dirty on that file system.
    FileSystem,
    // Writeback started for each file as it is written (sync_file_range), then an fsync of every
    // copied file and directory: pays only for the copies.
    Files,
};

struct Options {
    bool verifyOnDevice = false;
    Flush flush = Flush::FileSystem;
};

class TreeCopy {
public:
    explicit TreeCopy(Options options = Options());
    ~TreeCopy();
    TreeCopy(const TreeCopy&) = delete;
    TreeCopy& operator=(const TreeCopy&) = delete;

    // Copies from (not followed when a link) to the new path to, whose parent exists and which
    // must not exist, and checks every regular file as above. shown: the name of from in
    // messages (from itself when empty). 0, or the errno of the failure (logged).
    int copy(const std::string& from, const std::string& to, const std::string& shown = "");

    // Makes every copy made since the last flush durable: its contents, its entries and its
    // attributes (the names of the tops themselves are the caller's: they go when renamed into
    // place). With verifyOnDevice, then hashes every copied file again from the device. 0, or
    // the errno of the failure (logged).
    int flush();

    // What is done to each copied regular file and directory (opened read-only): 0 or an errno.
    using Visit = std::function<int(int fd, const struct stat& st, const std::string& shown)>;

private:
    // A copy made since the last flush: the path of its top and the file system it lies on.
    struct Copied {
        std::string path;
        dev_t device;
    };
    // Visits every regular file and directory of the copies made since the last flush.
    int visitCopies(const Visit& visit);
    int flushFileSystems();
    int flushFiles();
    int verifyFromDevice();

    Options options;
    DataCopier data;
    std::vector<Copied> pending;
    // The hashes of the files copied since the last flush, for the check from the device.
    std::map<std::pair<dev_t, ino_t>, FileRecord> records;
};

} // namespace treecopy

#endif
