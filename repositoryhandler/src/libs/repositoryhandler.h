/*
 * The plain-name functions of the repository library (librepositoryhandler.so and its static
 * twin librepositoryhandler.a), for C and C++ callers.
 *
 * Ownership: every text the library returns is a new allocation owned by the caller, who frees it
 * with release() (and with nothing else: the library allocates with its own allocator). A null
 * text means that there is none.
 *
 * Failures: most outcomes come back as results and status values, but some failures are thrown
 * as C++ exceptions of the library's exception family. A C program cannot catch them: the first
 * one ends it ("terminate called after throwing an instance of ...", abort, exit status 134).
 * Thrown are:
 *   - a null repository path (every entry point) or another null text where one is required;
 *   - a configuration that cannot be set up, by every entry point that names the repository (the
 *     set-up runs at its first use and again after each change of its configuration files): a
 *     directory named in "mountPoints" that does not exist. The call fails each time until the
 *     configuration is mended; "repostat --check <repository>" names such problems before a
 *     program meets them;
 *   - creation (createLocation_, createDirectory_) of a name with an inner "/".
 * An I/O error is never thrown by the entry points: a "repository.cfg" that exists but cannot be
 * read gives the call's failure result (null with status 8, 8, or the status REPO_MISSING); a
 * ".dirty" that cannot be read makes every flag count as set, and one that cannot be written
 * makes the change that needed it fail (creation while a mount is off answers 8); a place that
 * cannot be tested answers 8, never 4; countSize measures every resource anew when ".count"
 * cannot be read, keeps the old one when a new one cannot be written, and answers -1 when a
 * directory or resource cannot be listed, queried or measured. Each is logged with its path and
 * error code.
 * A C++ caller catches them with catch (...) (they do not derive from std::exception). A lock
 * that is not obtained is never thrown: see the status 16 below.
 *
 * Compiling and linking, once installed (the pkg-config file is "repositoryhandler.pc"):
 *   cc prog.c $(pkg-config --cflags --libs repositoryhandler)              shared library
 *   cc prog.c $(pkg-config --static --cflags --libs repositoryhandler)     static library
 * In the source tree, after a build in build/:
 *   cc -Irepositoryhandler/src/libs prog.c -Lbuild/lib -lrepositoryhandler
 * (at run time LD_LIBRARY_PATH=build/lib), and static, which needs the C++ runtime:
 *   cc -Irepositoryhandler/src/libs prog.c build/lib/librepositoryhandler.a -lxxhash -lstdc++ -lm
 *
 * Programs started: none. Moves (copied, checked and flushed), removals and size counts are made
 * by the library itself. Link with -lxxhash as well when linking the static library by hand.
 */
#ifndef REPOSITORYHANDLER_H
#define REPOSITORYHANDLER_H

#ifndef __cplusplus
#include <stdbool.h>
#endif
#include <utime.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The lock name of a resource of a repository: "OVRepositoryHandler-" + repositoryPath + "-" +
 * resource, each with every "/" replaced by "_". An empty resource names the whole repository. */
char* toResourceID(const char* repositoryPath, const char* resource);

/* Frees a text returned by the library; nothing for null. */
void release(char* text);

/* The hashed form of a relative path: each name N becomes h1/h2/h3/N with three two-character
 * hash levels. A trailing "/" hashes the last name too; without one the last name stays plain.
 * Null for a null path or one with a "." or ".." name (refused and logged). */
char* convertToHashed(const char* path);

/* Creates the hashed directory of the directory part of path below the directory part of
 * hashRoot and, when linkRoot is not null, the symbolic links that make the plain path usable
 * below the directory part of linkRoot. 0 done, 1 path has no "/", 2 hashRoot has no "/", 3 path
 * is null or has a "." or ".." name, which could reach outside the roots (refused and logged;
 * nothing is touched). */
int createHashDirectory(const char* linkRoot, const char* hashRoot, const char* path);

/* Removes the hashed directory of path, the hash and name levels above it that became empty, and
 * (linkRoot not null) the links below linkRoot left dangling. 0, or -1 when the directory of path
 * itself could not be removed, or when path is null or has a "." or ".." name (refused and
 * logged; nothing is touched). */
int removeHashDirectory(const char* linkRoot, const char* hashRoot, const char* path);

/* Appends text as one line to the text file at path unless a line equal to text is already in
 * it. Writers are serialised by a lock file; problems are logged to syslog, never returned. */
void writeToLogGlobal(const char* path, const char* text);

/* Flat entry points. Each names the repository by its directory path (the registry key, compared
 * as exact text); the repository's handler is built on first use and rebuilt whenever its
 * configuration files changed. */

/* Reads the configuration of the repository again. Without "mountPoints" (or with an empty one)
 * the repository directory is its own single mount: it needs its own "repositorypart.cfg", or
 * the repository counts as missing (status 256). */
void setup_(const char* repository);

/* The repository status bits, without REPO_SWITCH (16): 1 remind, 2 warn, 4 warn2, 8 warn3 (every
 * mounted mount has reached the limit), 32 no room, 64 full, 128 incomplete (a mount is
 * unmounted); 256 alone: no mount is mounted or the directory is missing. The fill levels behind
 * the bits are (size - available) / size of each file system: blocks reserved for the
 * super-user count as used, so they are higher than what df shows. */
int getRepositoryStatus_(const char* repository);

/* Switches mount number index (from 0, in configuration order) on (mount true) or off by renaming
 * its "repositorypart.no" / "repositorypart.cfg". 0, or -1 for an index out of range. While a
 * mount is off, its copies are out of reach: lookups do not see them, removals do not reach them
 * (they are there again when it is switched on), and new resources are marked dirty. */
int MountUnmount_(const char* repository, int index, bool mount);

/* Switches one mount, picked at random, the other way (for tests of the callers). */
void rndMount_(const char* repository);

/* Switches every switched-off mount on again; returns the repository status afterwards. */
int giveBackMounts_(const char* repository);

/* Resources. A resource name is one path component; leading and trailing "/" are ignored. Names
 * that are empty, ".", "..", ".repository-staging" or still hold a "/" or a line feed are refused
 * (creation of a name with an inner "/" throws). Status values: 0 found and consistent, 1 dirty (a
 * mount is unmounted and may hold another copy), 2 conflicting copies, 4 not found, 8 error (no
 * mount can take it, or a file-system operation failed), 16 the resource lock was not obtained
 * within 30 seconds (at once when the lock directory is missing or not writable).
 * A status is written only through a non-null pointer. After a lock failure the location calls
 * return null and leave it as it was, so start it with a sentinel: int status = 16;
 * The lock directory is LOCK_VAR (unset or empty: the working directory of each process); every
 * process sharing the repository needs write and search permission on it.
 * Conflicting copies (2), found when the copies of a dirty resource are merged: the copies differ
 * (a directory beside a plain file or a link; files, links or entries inside whose bytes or
 * targets differ; a file beside a link), the later copy lies on a mount that reached its
 * fullLimit and lacks something of the earlier one (identical copies are settled there too), or
 * the kind of the earlier copy cannot be read. No copy loses data (the later one may have gained
 * entries of the earlier one) and the resource stays dirty until an operator keeps one copy. */

/* The location of the resource (its times set to now), taking it over from the legacy directory
 * and merging the copies of a dirty resource (both copy data between mounts and may take long);
 * null when there is none. Holds the resource lock. */
char* getLocation_(const char* repository, const char* resource, int* status);

/* The existing location, or a new one on the mount for new data whose hash directories exist
 * (the resource itself is left to the caller). While a mount is unmounted the resource is marked
 * dirty, unless skipDirty. A dirty resource whose copies conflict (or whose merge failed) gives
 * null with status 2 (or 8): nothing is created beside its copies. */
char* createLocation_(const char* repository, const char* resource, int* status, bool skipDirty);

/* As createLocation_, and the resource directory exists on return. */
char* createDirectory_(const char* repository, const char* resource, int* status, bool skipDirty);

/* Removes every copy on the mounted mounts and in the legacy directory: 0, 4 when there was none,
 * 1 when the resource is dirty and its copies cannot be settled, 16 when it is locked, or the
 * codes of failed deletions combined. A copy on a switched-off mount is not reached: a clean
 * resource whose copy lies there answers 4 and is back when the mount is switched on. */
int removeResource_(const char* repository, const char* resource);

/* The status of a locked lookup (16 when the lock is not obtained). It leaves the resource's
 * times alone but is a full lookup otherwise: it takes the resource over from the legacy
 * directory and settles a dirty resource by merging its copies, which moves data and clears the
 * flag when every mount is on. */
int checkResourceStatus_(const char* repository, const char* resource);

/* Makes the resource directory in the legacy directory; null without one or on failure. */
char* createToLegacy_(const char* repository, const char* resource);

/* The names of the resources that are directories (listDirs_) or not (listFiles_) on every
 * mounted mount and in the legacy directory, duplicates kept; byte-sorted when sorted. *count
 * receives their number; free the list with releaseList. Null with *count 0 when a directory
 * could not be listed or a resource could not be queried (logged): never a shorter list. */
char** listDirs_(const char* repository, long* count, bool sorted);
char** listFiles_(const char* repository, long* count, bool sorted);

/* Frees a list returned by listDirs_ or listFiles_ with its count texts. */
void releaseList(char** list, long count);

/* Removes every resource of the repository, after clearing all dirty flags and switching every
 * mount on again. */
void makeEmpty_(const char* repository);

/* Sets (times null: to now) or reads the resource's access and modification times; 1 on
 * success, 0 otherwise (times untouched). */
int setTimeProperties_(const char* repository, const char* resource, struct utimbuf* times);
int getTimeProperties_(const char* repository, const char* resource, struct utimbuf* times);

/* Overload balancing. One check of the repository under its repository lock: every mount that
 * reached its move limit gets its least recently used resources (not used within nomoveTime)
 * moved to mounts with room until it is below its clean limit; in a clearable repository in which
 * no mount has room, the oldest resources of the whole repository are deleted first. verbose also
 * writes the progress on standard output. */
void checkOverload_(const char* repository, bool verbose);

/* Moves every resource of the mount repository/mountName to other mounts: 0 done, 1 no such
 * mount, 2 no mount can take them (some are left), 3 some are left (a batch in which nothing
 * could be moved, a resource given up, or the mount switched off). */
int freeMount_(const char* repository, const char* mountName);

/* The total size in kibibytes of the resources below directory (flat: its entries are the
 * resources; otherwise a mount directory with three hash levels). The library measures each
 * resource itself (no program runs) and gets what "du -sk" reports: allocated blocks, links not
 * followed, a file with several names once. The sizes are cached in directory/.count; only
 * resources used since their last count are measured again. The process needs write permission
 * on directory. -1, never a smaller total, when a directory or resource cannot be listed,
 * queried or measured (logged with its path and error code); the failed resource is not cached,
 * so the next count measures it again. */
long countSize(const char* directory, bool flat);

#ifdef __cplusplus
}

#include <list>
#include <string>

/* The paths of the resources that the latest check handed to deletion, in order (also those whose
 * deletion failed). The list belongs to the repository's handler: it stays valid until the next
 * call of the library names the repository. */
extern "C" std::list<std::string>* getDeletedDirs_(const char* repository);
#else
/* For C callers the list of getDeletedDirs_ is opaque (a C++ std::list of std::string). */
struct OVDeletedDirs;
struct OVDeletedDirs* getDeletedDirs_(const char* repository);
#endif

#endif
