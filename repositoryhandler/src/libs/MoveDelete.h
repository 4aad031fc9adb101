#ifndef REPOSITORYHANDLER_MOVEDELETE_H
#define REPOSITORYHANDLER_MOVEDELETE_H

#include <sys/stat.h>

// Moving and deleting resources (directory trees or single files) between and on mounts. Results:
// 0 done, 2 conflict (a file of the origin exists at the destination), 8 a file-system operation
// failed (logged).

// Moves origin to the new path dest. An existing destination directory is merged entry by entry.
// A move is a verified copy, never a rename of the origin: the copy appears under dest's name
// only when complete, verified and flushed to disk, and only then is the origin removed.
// Throws OVAssertionException when origin does not exist.
int moveRes(const char* origin, const char* dest);

// Copies from to the new path to (cp -r), compares the copy (diff -q -r), and removes the origin
// when they agree or the copy when they differ. 0 on success, -1 when the parent of to cannot
// be made, otherwise the failing command's status.
int mountRename(const char* from, const char* to);

// Removes the file or directory tree path. Symbolic links are removed as links, never followed.
int deleteRes(const char* path);

// The 512-byte blocks allocated to path and everything below it (links counted as links), or -1
// when an entry cannot be queried. st: the already known status of path, or null.
long getSize(const char* path, struct stat* st);

#endif
