#ifndef OVUTILS_OVHASH_H
#define OVUTILS_OVHASH_H

#include "OVExport.h"

// The hashed directory layout: every name N of a stored path lies below three two-character hash
// directories computed from N alone, h1/h2/h3/N, so that no directory level grows beyond
// 37 * 37 entries. Returned strings are new arrays owned by the caller (delete[] or release()).

constexpr int hashLength = 2;
constexpr const char* sHashTable = "QWERTYUIOPASDFGHJKLZXCVBNM1234567890_";
constexpr int nHashTableSize = 37;

// 'h1/h2/h3/name' for one name.
char* createHash(const char* name);
// The hashed form of a relative path: every name followed by "/" is hashed; text after the last
// "/" is appended unchanged; a leading "/" and empty names are dropped.
char* convertToHashed_(const char* path);
// As convertToHashed_, but a null path, or one with a "." or ".." name, is refused: logged, and
// the result is null.
extern "C" OV_EXPORT char* convertToHashed(const char* path);

// The result of createDirectory for a refused path.
constexpr int kPathRefused = 3;

// Creates the hashed directory of the directory part of path below the directory part of
// hashRoot, and with a linkRoot the symbolic links that make the plain path usable below the
// directory part of linkRoot. 0 done, 1 path has no "/", 2 hashRoot has no "/", 3 (kPathRefused)
// path is null or has a "." or ".." name, which could reach outside the roots: the refusal is
// logged and nothing is touched.
int createDirectory(const char* linkRoot, const char* hashRoot, const char* path);
extern "C" OV_EXPORT int createHashDirectory(const char* linkRoot, const char* hashRoot,
                                             const char* path);
// The links of every directory level of path that do not exist yet.
void mylink(const char* linkRoot, const char* hashRoot, const char* path);
// Removes the hashed directory of path and, climbing, every level that became empty, together
// with the links below linkRoot (may be null) left dangling. 0, or -1 when the directory of path
// itself could not be removed, or when path is null or has a "." or ".." name (logged; nothing is
// touched then).
int removeDirectory(const char* linkRoot, const char* hashRoot, const char* path);
extern "C" OV_EXPORT int removeHashDirectory(const char* linkRoot, const char* hashRoot,
                                             const char* path);

#endif
