// Removing resources: renamed away first and deleted in a work directory, walking by descriptor
// and never following a link; and the blocks a tree takes.
#include "MoveSteps.h"

#include "OVLogger.h"
#include "OVPaths.h"

#include <unistd.h>

using namespace moving;

namespace {

// Deletes everything in the open directory fd (shown as path in messages), depth first, in
// byte order; stops at the first failure (logged), leaving what was not reached.
int deleteEntriesAt(int fd, const std::string& path) {
    std::vector<std::string> names;
    if (int error = readDirectoryAt(fd, names))
        return failed("The directory \"" + path + "\" could not be listed.", error);
    for (const std::string& name : names) {
        // Most entries are no directories: one unlink, and only a directory needs more.
        if (ovsys::table().unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT)
            continue;
        std::string shown = path + "/" + name;
        if (errno != EISDIR && errno != EPERM)
            return notRemoved(shown, errno);
        struct stat st;
        if (ovsys::table().fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone meanwhile
            return statFailed(shown);
        }
        if (S_ISDIR(st.st_mode)) {
            int child = ovsys::table().openat(fd, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
            if (child < 0)
                return notRemoved(shown, errno);
            int result = deleteEntriesAt(child, shown);
            ovsys::table().close(child);
            if (result != kOk)
                return result;
        }
        if (ovsys::table().unlinkat(fd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
            return notRemoved(shown, errno);
    }
    return kOk;
}

// Removes path, which stands with status st, where home's staging directory has no room for a
// work directory (a full file system): a plain file by one unlink; a directory by one rename into
// the existing staging directory, deleted there; else, when not even that is possible, the tree
// is deleted in place. Only that last case may show a partly deleted resource under its name,
// should the deletion be cut short: a full file system without a staging directory leaves no
// room to take a tree away in one step.
int removeWithoutWorkDir(const std::string& path, const struct stat& st, const std::string& home) {
    if (!S_ISDIR(st.st_mode)) {
        if (ovsys::table().unlink(path.c_str()) != 0)
            return notRemoved(path, errno);
        rh_logger.infoLog("The resource %s was removed by one unlink", path.c_str());
        return kOk;
    }
    if (retireIntoStaging(path, home) == 0)
        return kOk;
    if (errno != ENOENT)
        return notRemoved(path, errno);
    rh_logger.infoLog("The resource %s is removed in place: no staging directory can be made",
                      path.c_str());
    return deleteRes(path.c_str());
}

} // namespace

int deleteResStaged(const char* pathText, const char* home) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    Presence present = lstatPresence(path, &st);
    if (present != Presence::Present)
        return present == Presence::Absent ? kOk : statFailed(path);
    if (!reachedWithoutLinks(home, path))
        return kError;
    {
        WorkDir dir(home);
        if (dir.ok()) {
            if (ovsys::table().rename(path.c_str(), dir.newEntry().c_str()) != 0)
                return notRemoved(path, errno);
            return kOk; // deleted as dir goes
        }
        // Only a file system without room goes on without a work directory; any other reason
        // (a refused permission, an I/O error) stops the removal with the resource whole.
        int error = dir.error();
        if (error != ENOSPC && error != EDQUOT && error != EMLINK)
            return notRemoved(path, error);
    }
    return removeWithoutWorkDir(path, st, home);
}

int deleteRes(const char* pathText) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat st;
    Presence present = lstatPresence(path, &st);
    if (present != Presence::Present)
        return present == Presence::Absent ? kOk : statFailed(path);
    if (!S_ISDIR(st.st_mode))
        return ovsys::table().unlink(path.c_str()) == 0 ? kOk : notRemoved(path, errno);
    // The tree is walked through descriptors opened without following links: a directory that
    // someone turns into a link meanwhile stops the deletion instead of leading it elsewhere.
    Descriptor dir(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (dir.get() < 0)
        return notRemoved(path, errno);
    int result = deleteEntriesAt(dir.get(), path);
    if (result != kOk)
        return result;
    return ovsys::table().rmdir(path.c_str()) == 0 ? kOk : notRemoved(path, errno);
}

long getSize(const char* pathText, struct stat* st) {
    std::string path = withoutTrailingSlashes(pathText);
    struct stat own;
    if (st == nullptr) {
        if (!lstatLogged(path, &own))
            return -1;
        st = &own;
    }
    long total = static_cast<long>(st->st_blocks);
    if (!S_ISDIR(st->st_mode))
        return total;
    std::vector<std::string> names;
    if (!listed(path, names))
        return -1;
    for (const std::string& entry : names) {
        long size = getSize((path + "/" + entry).c_str(), nullptr);
        if (size < 0)
            return -1;
        total += size;
    }
    return total;
}
