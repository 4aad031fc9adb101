#ifndef REPOSITORYHANDLER_FILEVERSION_H
#define REPOSITORYHANDLER_FILEVERSION_H

#include <string>
#include <sys/stat.h>

// The version of a configuration file that a process read, to tell at a later lookup whether the
// file still holds it. The status fields (device, inode, size, modification and change times to
// the nanosecond) tell most changes apart. They cannot tell two versions apart that were written
// within one tick of the file system's clock (a whole second on some file systems) into a file
// of the same size and inode number (an inode number is reused as soon as it is free): as long as
// the file's change time is that recent, the bytes read are kept and compared again.
//
// A missing file has a version too, its absence: a file that was missing and still is, is
// unchanged; one that appears is a change. A version not read yet stands for a missing file (an
// owner that found the file missing need not read it).
class FileVersion {
public:
    // Reads the whole file and records its version: true with its bytes in text, or false when it
    // cannot be read. A missing file (errno ENOENT) records its absence; any other failure
    // records nothing, so that the file counts as changed until it is read.
    bool read(const std::string& path, std::string& text);
    // Whether path still holds the version read last (or is still missing); false once it was
    // forgotten, or when it cannot be stated.
    bool unchanged(const std::string& path) const;
    // Records nothing: the file counts as changed until it is read again.
    void forget() { state = Unknown; }

private:
    bool sameStatus(const struct stat& st) const;

    enum State { Unknown, Absent, Present };
    State state = Absent;
    struct stat status = {};
    std::string bytes;
    // Whether a later version may still carry the same status; cleared once the clock passed it.
    mutable bool recent = false;
};

#endif
