#ifndef OVUTILS_OVPATHS_H
#define OVUTILS_OVPATHS_H

#include "OVExport.h"

#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <utime.h>
#include <vector>

// Path and file-status helpers over NUL-terminated byte strings with "/" as the only separator.
// No normalisation is done anywhere: "." and ".." and links are taken as they are written.
//
// Every returned string is a new array owned by the caller, freed with delete[] or release(); a
// null result means that the asked-for part does not exist. Status results: 0 success, 8 the
// system call failed (and was logged through rh_logger).

// stat (follows links); on failure logs 'The resource "<path>" can not be stat-ed. Error code is
// <errno>' and returns 8.
int myStat(const char* resource, struct stat* resStat);
// statvfs; on failure logs 'Error occured while statvfs call to "<path>". Error code is <errno>'
// and returns 8.
int myStatVfs(const char* mountPath, struct statvfs* resStatVfs);
// *result = whether path is a directory, from st when given, else from a fresh myStat.
int isDir(const char* path, bool* result, struct stat* st);
// Modification time, -1 when the path cannot be stat-ed.
time_t lastModified(const char* path);
// The later of access and modification time, from st when given; -1 when it cannot be stat-ed.
time_t lastAccess(const char* path, const struct stat* st);
// access(F_OK): follows links, so a dangling link does not exist.
bool exists(const char* path);
// Sets the access and modification times of path itself, never of a link's target; null times
// mean now. 0, or -1 with errno.
int setTimesOf(const char* path, const struct utimbuf* times);
// lstat through the system-call table (a link is not followed); false when path cannot be read.
bool lstatOk(const std::string& path, struct stat* st);
// What a status query found. Only ENOENT and ENOTDIR mean that nothing stands at a path; every
// other failure (EIO, EACCES, ELOOP, ...) is an error, never an absence: a step that would
// delete, overwrite or retire anything on the strength of "nothing there" stops instead.
enum class Presence { Absent, Present, Failed };
// lstat through the system-call table, told apart as above; on Failed errno holds the cause.
Presence lstatPresence(const std::string& path, struct stat* st);
// Logs 'The resource "<path>" can not be stat-ed. Error code is <error>' at error level.
void logStatFailure(const std::string& path, int error);
// The names in dir (without "." and "..") in ascending byte order, read through the system-call
// table. 0, or the errno of the opendir or readdir that failed (names then holds nothing).
int readDirectory(const std::string& dir, std::vector<std::string>& names);
// readDirectory of the open directory dirFd (which stays open and unmoved). keepAccessTime: the
// listing leaves the directory's access time as it was (O_NOATIME), where the process may ask for
// that (it owns the directory or is privileged); otherwise it lists as usual.
int readDirectoryAt(int dirFd, std::vector<std::string>& names, bool keepAccessTime = false);
// Renames from to the new name to, never replacing what stands there: -1 with EEXIST when to
// exists. Where the file system cannot refuse in the rename itself, a plain file is linked and
// unlinked (which refuses as well), and anything else is renamed after a test that to is absent.
int renameNoReplace(const char* from, const char* to);

// True exactly when path exists and is not a symbolic link.
bool isNotLink(const char* path);
// True when path is not a symbolic link (or is missing), or is a link whose target is missing. A
// relative target is resolved against the link's own directory.
bool isDangling(const char* path);
// The complete target of the link at path (of any length); false when path is no readable link.
bool readLinkTarget(const std::string& path, std::string& target);
// True when both paths lie on the same file system (same device); false when either cannot be
// queried.
bool IsOnTheSameMount(const char* a, const char* b);

// A new array holding text.
char* toArray(const std::string& text);
char* mystrdup(const char* s);
void release_(char* s);
extern "C" OV_EXPORT void release(char* text);
// a + b
char* append0(const char* a, const char* b);
// a + b, freeing a (which must be an array of this library)
char* append(char* a, const char* b);
// Everything up to and including the last "/"; null without one.
char* baseDir(const char* path);
// The directory one level above the directory part of path; null when there is none.
char* parentDir(const char* path);
// path with one trailing "/" removed, so that a link given as "link/" names the link itself.
std::string withoutTrailingSlash(const char* path);
// unlink of path with one trailing "/" removed, so that a link is removed, not followed.
int myunlink(const char* path);

// Creates every missing directory along path with mode (less the umask), like mkdir -p: a level
// that another process creates meanwhile counts as created. 0 on success, -1 on failure.
int mkdirs(const char* path, unsigned long mode);
// mkdirs for the library's hash directories: every level it makes takes the owner, group and mode
// of the directory above it, whoever runs the library and whatever its umask, so that a balancer
// run as root never locks the application out of levels it made. 0, or -1 with errno.
int mkdirsInherited(const char* path);

#endif
