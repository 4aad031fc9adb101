/*
 * The plain-name functions of the repository library (librepositoryhandler.so and its static
 * twin librepositoryhandler.a), for C and C++ callers.
 *
 * Ownership: every text the library returns is a new allocation owned by the caller, who frees it
 * with release() (and with nothing else: the library allocates with its own allocator). A null
 * text means that there is none.
 *
 * Failures: the functions report through their results; precondition failures (null arguments
 * where a text is required) are thrown as C++ exceptions of the library's exception family, which
 * a C caller must not provoke.
 */
#ifndef REPOSITORYHANDLER_H
#define REPOSITORYHANDLER_H

#ifdef __cplusplus
extern "C" {
#endif

/* The lock name of a resource of a repository: "OVRepositoryHandler-" + repositoryPath + "-" +
 * resource, each with every "/" replaced by "_". An empty resource names the whole repository. */
char* toResourceID(const char* repositoryPath, const char* resource);

/* Frees a text returned by the library; nothing for null. */
void release(char* text);

/* The hashed form of a relative path: each name N becomes h1/h2/h3/N with three two-character
 * hash levels. A trailing "/" hashes the last name too; without one the last name stays plain. */
char* convertToHashed(const char* path);

/* Creates the hashed directory of the directory part of path below the directory part of
 * hashRoot and, when linkRoot is not null, the symbolic links that make the plain path usable
 * below the directory part of linkRoot. 0 done, 1 path has no "/", 2 hashRoot has no "/". */
int createHashDirectory(const char* linkRoot, const char* hashRoot, const char* path);

/* Removes the hashed directory of path, the hash and name levels above it that became empty, and
 * (linkRoot not null) the links below linkRoot left dangling. 0, or -1 when the directory of path
 * itself could not be removed. */
int removeHashDirectory(const char* linkRoot, const char* hashRoot, const char* path);

/* Appends text as one line to the text file at path unless a line equal to text is already in
 * it. Writers are serialised by a lock file; problems are logged to syslog, never returned. */
void writeToLogGlobal(const char* path, const char* text);

#ifdef __cplusplus
}
#endif

#endif
