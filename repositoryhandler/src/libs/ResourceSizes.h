#ifndef REPOSITORYHANDLER_RESOURCESIZES_H
#define REPOSITORYHANDLER_RESOURCESIZES_H

#include "OVExport.h"

#include <istream>
#include <map>
#include <set>
#include <string>
#include <sys/statvfs.h>
#include <time.h>
#include <vector>

// Directory walks and size accounting of the repository. A hashed directory (a mount) holds
// three levels of hash directories whose entries are the resources; a flat directory (the legacy
// directory) holds the resources directly.

// Resource kinds of a listing.
enum ResourceKind { ALL_RESOURCES = 0, DIRECTORY_RESOURCES = 1, FILE_RESOURCES = 2 };

// Appends the names in dir (without "." and "..") in ascending byte order; returns the number of
// names afterwards. A directory that cannot be read adds nothing, logs its path and error code
// unless it is missing, and leaves the error code in errno (0 after a complete listing).
int listDir(const char* dir, std::vector<std::string>* names);

// Appends the identifiers of the resources below dir of the given kind (0 all, 1 directories,
// anything else non-directories); returns the number of identifiers afterwards, or -1 (logged)
// when a directory could not be listed or a resource could not be queried. hashed: dir is a
// mount ("lost+found" at its top is skipped); otherwise its entries are the resources.
int listResourcesRecursively(const char* dir, std::vector<std::string>* out, int kind, bool hashed,
                             unsigned int depth);

// One cached measurement of ".count".
struct CountResourceEntry {
    time_t time; // last use time when measured
    long size;   // kibibytes
};

// One measured or cached resource of a count.
struct CountResourceSetEntry {
    std::string resourceId;
    time_t time;
    long size;
};

// Orders a count's result by descending identifier.
struct ctres {
    bool operator()(const CountResourceSetEntry& a, const CountResourceSetEntry& b) const {
        return a.resourceId > b.resourceId;
    }
};

using CountCache = std::map<std::string, CountResourceEntry>;
using CountResultSet = std::set<CountResourceSetEntry, ctres>;

// Reads the records of a ".count" file: identifier, time and size lines in turn, the numbers
// like atoi. A record counts once its size line was read; a later record of an identifier
// replaces an earlier one.
void readCountRecords(std::istream& in, CountCache* known);

// Adds the sizes of the resources below dir (at the given depth; skipLinks: links among them are
// no resources) to base, taking unchanged ones from known and putting every size it has into
// measured. -1 when a directory could not be listed or a resource could not be queried or
// measured (each logged): the sizes it did get are in measured all the same.
long countSizeRecursively(const char* dir, CountCache* known, CountResultSet* measured, long base,
                          unsigned int depth, bool skipLinks);

// The total size in kibibytes of the resources below directory (flat: its entries are the
// resources; otherwise a mount), using and rewriting the cache file directory/.count; only
// resources used since their last measurement are measured again. A resource's size is what
// "du -sk" reports for it, measured by the library itself (allocated blocks, links not followed,
// files with several names once). -1, never a smaller total, when anything could not be listed,
// queried or measured (logged with its path and error code); the cache then keeps the sizes that
// were measured and the rest is measured again next time.
extern "C" OV_EXPORT long countSize(const char* directory, bool flat);

// The number of blocks to free to bring the file system of mountPath down to percent used
// (zero or negative: already at or below it). 0, or 1 when the file system cannot be queried.
int blocksToFree(const char* mountPath, int percent, long* blockCount, struct statvfs* fsInfo);

#endif
