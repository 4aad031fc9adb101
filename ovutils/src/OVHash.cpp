#include "OVHash.h"

#include "OVLogger.h"
#include "OVPaths.h"
#include "OVSyscalls.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

// Hash levels in front of every name.
constexpr int kLevels = 3;
constexpr size_t kHashBytes = static_cast<size_t>(kLevels * hashLength);
constexpr unsigned long kDirectoryMode = 0755;

// An array result of this library, freed with delete[] when it goes out of scope.
using Owned = std::unique_ptr<char[]>;

// The hashed form of one name, as a std::string.
std::string hashedName(const std::string& name) {
    // Sums of byte * (position + level + 1)^2; unsigned arithmetic wraps modulo a multiple of
    // 256, so the byte kept of each sum is the sum modulo 256.
    unsigned char sums[kHashBytes] = {};
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned long byte = static_cast<unsigned char>(name[i]);
        for (size_t j = 0; j < kHashBytes; ++j) {
            unsigned long weight = i + j + 1;
            sums[j] = static_cast<unsigned char>(sums[j] + byte * weight * weight);
        }
    }
    std::string hashed;
    for (int level = 0; level < kLevels; ++level) {
        hashed += sHashTable[sums[2 * level] % nHashTableSize];
        hashed += sHashTable[sums[2 * level + 1] % nHashTableSize];
        hashed += '/';
    }
    return hashed + name;
}

// The hashed form of a relative path, as a std::string.
std::string hashedPath(const std::string& path) {
    std::string result;
    std::string::size_type start = 0;
    for (std::string::size_type slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', start)) {
        if (slash > start) // empty names (leading "/", "//") add nothing
            result += hashedName(path.substr(start, slash - start)) + "/";
        start = slash + 1;
    }
    return result + path.substr(start);
}

// Whether path (with one trailing "/" ignored) is a symbolic link itself.
bool isSymbolicLink(const std::string& path) {
    struct stat st;
    return ovsys::table().lstat(withoutTrailingSlash(path.c_str()).c_str(), &st) == 0 &&
           S_ISLNK(st.st_mode);
}

// Removes the links below linkRoot of dir and of its parents that no longer lead anywhere,
// deepest first, up to the first level whose link still works. Leaves dir at the first level
// kept, or null when every level was climbed. An entry that dangles without being a link (a
// file standing where a link belongs) is kept, but the climb goes on past it.
void removeDanglingLinks(const std::string& linkRoot, Owned& dir) {
    std::string link = linkRoot + dir.get();
    while (isDangling(link.c_str())) {
        if (isSymbolicLink(link))
            myunlink(link.c_str());
        dir.reset(parentDir(dir.get()));
        if (!dir)
            return;
        link = linkRoot + dir.get();
    }
}

// Whether path may be taken below a root: a path that is null, or has a "." or ".." name, could
// make or remove links and directories outside the roots. A refused path is logged.
bool isAcceptablePath(const char* path) {
    if (path == nullptr) {
        rh_logger.errorLog("A path below the hashed layout is missing.");
        return false;
    }
    const std::string text(path);
    for (std::string::size_type start = 0; start <= text.size();) {
        std::string::size_type end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string name = text.substr(start, end - start);
        if (name == "." || name == "..") {
            const std::string message =
                "The path \"" + text + "\" is refused: it has a \"" + name + "\" component.";
            rh_logger.errorLog("%s", message.c_str());
            return false;
        }
        start = end + 1;
    }
    return true;
}

} // namespace

char* createHash(const char* name) {
    return toArray(hashedName(name));
}

char* convertToHashed_(const char* path) {
    return toArray(hashedPath(path));
}

extern "C" char* convertToHashed(const char* path) {
    if (!isAcceptablePath(path))
        return nullptr;
    return convertToHashed_(path);
}

int createDirectory(const char* linkRoot, const char* hashRoot, const char* path) {
    if (!isAcceptablePath(path))
        return kPathRefused;
    Owned dirPart(baseDir(path));
    if (!dirPart)
        return 1;
    Owned root(baseDir(hashRoot));
    if (!root)
        return 2;
    // Whether the creation worked is for the caller to test; the links are made in any case.
    mkdirs((root.get() + hashedPath(dirPart.get())).c_str(), kDirectoryMode);
    Owned linkDir(baseDir(linkRoot));
    if (linkDir)
        mylink(linkRoot, hashRoot, path);
    return 0;
}

extern "C" int createHashDirectory(const char* linkRoot, const char* hashRoot, const char* path) {
    return createDirectory(linkRoot, hashRoot, path);
}

void mylink(const char* linkRoot, const char* hashRoot, const char* path) {
    Owned links(baseDir(linkRoot));
    Owned hashes(baseDir(hashRoot));
    Owned dirPart(baseDir(path));
    if (!links || !hashes || !dirPart)
        return; // an argument without a directory part: nothing to link
    const std::string dir(dirPart.get());
    // One link per level, from the top: once the link of a level exists, the link of the next
    // level is made through it, inside the hashed directory of the level above.
    for (std::string::size_type p = dir.find('/'); p != std::string::npos;
         p = dir.find('/', p + 1)) {
        std::string link = links.get() + dir.substr(0, p);
        if (exists(link.c_str()))
            continue;
        std::string target = hashes.get() + hashedPath(dir.substr(0, p + 1));
        ovsys::table().symlink(target.c_str(), link.c_str()); // a failure leaves the level as is
    }
}

int removeDirectory(const char* linkRoot, const char* hashRoot, const char* path) {
    if (!isAcceptablePath(path))
        return -1; // nothing removed
    if (std::string(path).find_first_not_of('/') == std::string::npos) {
        // No name at all: the directory of path would be the hash root itself.
        const std::string message =
            std::string("The path \"") + path + "\" is refused: it names no directory.";
        rh_logger.errorLog("%s", message.c_str());
        return -1;
    }
    Owned hashes(baseDir(hashRoot));
    if (!hashes)
        return -1; // no hash root, so no directory of path to remove
    // Null without a links root: the links are then left alone.
    Owned links(baseDir(linkRoot));
    Owned hashed(convertToHashed_(path));
    Owned dirPart(baseDir(path));
    int result = 0;
    // Climb from the directory of path through every hash and name level above it, and stop at
    // the first one that cannot be removed (still in use) or at the top.
    for (bool first = true;; first = false) {
        std::string dir = std::string(hashes.get()) + hashed.get();
        hashed.reset(parentDir(hashed.get()));
        bool last = !hashed;
        if (ovsys::table().rmdir(dir.c_str()) != 0) {
            if (first)
                result = -1;
            last = true;
        }
        if (links && dirPart)
            removeDanglingLinks(links.get(), dirPart);
        if (last)
            return result;
    }
}

extern "C" int removeHashDirectory(const char* linkRoot, const char* hashRoot, const char* path) {
    return removeDirectory(linkRoot, hashRoot, path);
}
