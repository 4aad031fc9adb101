#include "RepoReport.h"

#include <cinttypes>

namespace {

// The most dirty resources named in the text report.
constexpr size_t kDirtyNamesShown = 10;

std::string joined(const std::vector<std::string>& names, const char* empty) {
    if (names.empty())
        return empty;
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : "|") + name;
    return text;
}

std::string localTime(time_t when) {
    struct tm parts;
    char text[64];
    if (localtime_r(&when, &parts) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
        return std::to_string(static_cast<long long>(when));
    return text;
}

std::string percent(double used) {
    if (used < 0)
        return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", used);
    return text;
}

// The length of the UTF-8 sequence starting at text[i], or 0 when none valid starts there.
size_t utf8Length(const std::string& text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xc2) || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2)
            return 0;
    return length;
}

std::string jsonNames(const std::vector<std::string>& names) {
    std::string text = "[";
    for (const std::string& name : names)
        text += (text.size() > 1 ? ", " : "") + jsonString(name);
    return text + "]";
}

const char* boolean(bool value) {
    return value ? "true" : "false";
}

// How the mount stands, in the words of the mount line and of the JSON "state".
const char* mountCondition(const MountState& mount) {
    return mount.mounted && mount.readOnly ? "mounted read-only"
           : mount.mounted                 ? "mounted"
           : !mount.present                ? "missing"
           : mount.switchedOff             ? "switched off"
           : mount.limitsKnown             ? "fill level unreadable"
                                           : "not mounted";
}

// A bare mount point has neither limits nor a fill level of its own to show.
bool bareMountPoint(const MountState& mount) {
    return mount.present && !mount.limitsKnown;
}

void printMountLine(std::FILE* out, const MountState& mount) {
    std::string status = joined(mountStatusNames(mount.status), "no status bits");
    if (bareMountPoint(mount)) {
        std::fprintf(out, "mount %s: %s, %s\n", mount.path.c_str(), mountCondition(mount),
                     status.c_str());
        return;
    }
    std::fprintf(out, "mount %s: %s, used %s [%s], limits switch %d full %d clean %d move %d, %s\n",
                 mount.path.c_str(), mountCondition(mount), percent(mount.used).c_str(),
                 fillBar(mount.used, 20).c_str(), mount.switchLimit, mount.fullLimit,
                 mount.cleanLimit, mount.moveLimit, status.c_str());
}

const char* staleNote(const LockFileState& lock) {
    if (!lock.stale)
        return "";
    if (!lock.repositoryLock)
        return ", probably stale";
    return ", probably stale (the repository lock: every balancing check gives up while it stays; "
           "once no mountbalance or application process of the repository runs, remove the file)";
}

void printResource(std::FILE* out, const ResourceState& resource) {
    if (resource.refused) {
        std::fprintf(out, "resource %s: not a valid resource name\n", resource.name.c_str());
        return;
    }
    std::string flag = resource.dirty ? "dirty" : "clean";
    std::string what = resource.found()
                           ? flag + ", " + counted(resource.copies.size(), "copy", "copies")
                           : "not found, " + flag;
    std::fprintf(out, "resource %s: %s, lock file %s %s\n", resource.name.c_str(), what.c_str(),
                 resource.lockFile.c_str(), resource.locked ? "exists" : "absent");
    for (const CopyState& copy : resource.copies)
        std::fprintf(out, "  copy %s%s: %s, last used %s\n", copy.path.c_str(),
                     copy.legacy ? " (legacy)" : "", counted(copy.size, "byte", "bytes").c_str(),
                     localTime(copy.lastUse).c_str());
}

} // namespace

std::string counted(unsigned long long count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string fillBar(double used, int width) {
    int filled = used <= 0 ? 0 : used >= 100 ? width : static_cast<int>(used * width / 100 + 0.5);
    return std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.');
}

std::string jsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = utf8Length(text, i);
        if (length == 0) {
            json += "\\ufffd";
            ++i;
        } else if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            json += escape;
            ++i;
        } else {
            json.append(text, i, length);
            i += length;
        }
    }
    return json + "\"";
}

void printText(std::FILE* out, const RepoState& state) {
    int exitStatus = exitStatusOf(state);
    std::fprintf(out, "%s: repository %s, %s\n", exitStatusName(exitStatus), state.path.c_str(),
                 joined(repositoryStatusNames(state.status), "no status bits").c_str());
    for (const MountState& mount : state.mounts)
        printMountLine(out, mount);
    std::fprintf(out, "repository status: %s\n",
                 joined(repositoryStatusNames(state.status), "no status bits").c_str());
    // The names too, so that an operator sees which resources the next check will settle (or
    // which stay in conflict); a long set is cut short.
    std::string names;
    size_t shown = 0;
    for (const std::string& name : state.dirty)
        if (++shown <= kDirtyNamesShown)
            names += (shown == 1 ? " (" : ", ") + name;
    if (shown > kDirtyNamesShown)
        names += ", ...";
    std::fprintf(out, "dirty resources: %zu%s\n", state.dirty.size(),
                 names.empty() ? "" : (names + ")").c_str());
    std::fprintf(out, "legacy directory: %s\n",
                 state.legacyDir.empty() ? "none" : state.legacyDir.c_str());
    std::fprintf(out, "lock directory: %s, %s of this repository\n", state.lockDir.c_str(),
                 counted(state.locks.size(), "lock file", "lock files").c_str());
    for (const LockFileState& lock : state.locks)
        std::fprintf(
            out, "lock %s: %s old%s\n", lock.path.c_str(),
            counted(static_cast<unsigned long long>(lock.age), "second", "seconds").c_str(),
            staleNote(lock));
    for (const ResourceState& resource : state.resources)
        printResource(out, resource);
}

void printJson(std::FILE* out, const RepoState& state) {
    int exitStatus = exitStatusOf(state);
    std::fprintf(out, "{\"repository\": %s, \"result\": \"%s\", \"exitStatus\": %d,\n",
                 jsonString(state.path).c_str(), exitStatusName(exitStatus), exitStatus);
    std::fprintf(out, " \"mounts\": [");
    for (size_t i = 0; i < state.mounts.size(); ++i) {
        const MountState& m = state.mounts[i];
        std::string used = m.used < 0 ? "null" : std::to_string(m.used);
        auto limit = [&m](int value) {
            return bareMountPoint(m) ? std::string("null") : std::to_string(value);
        };
        std::fprintf(
            out,
            "%s\n  {\"path\": %s, \"state\": \"%s\", \"present\": %s, \"mounted\": %s, "
            "\"switchedOff\": %s, \"readOnly\": %s, \"usedPercent\": %s, \"switchLimit\": %s, "
            "\"fullLimit\": %s, \"cleanLimit\": %s, \"moveLimit\": %s, \"status\": %s}",
            i == 0 ? "" : ",", jsonString(m.path).c_str(), mountCondition(m), boolean(m.present),
            boolean(m.mounted), boolean(m.switchedOff), boolean(m.readOnly), used.c_str(),
            limit(m.switchLimit).c_str(), limit(m.fullLimit).c_str(), limit(m.cleanLimit).c_str(),
            limit(m.moveLimit).c_str(), jsonNames(mountStatusNames(m.status)).c_str());
    }
    std::fprintf(out, "],\n \"status\": %s,\n \"dirtyResources\": %zu,\n \"legacyDir\": %s,\n",
                 jsonNames(repositoryStatusNames(state.status)).c_str(), state.dirty.size(),
                 state.legacyDir.empty() ? "null" : jsonString(state.legacyDir).c_str());
    std::fprintf(out, " \"lockDirectory\": %s,\n \"locks\": [", jsonString(state.lockDir).c_str());
    for (size_t i = 0; i < state.locks.size(); ++i)
        std::fprintf(out,
                     "%s\n  {\"path\": %s, \"ageSeconds\": %lld, \"stale\": %s, "
                     "\"repositoryLock\": %s}",
                     i == 0 ? "" : ",", jsonString(state.locks[i].path).c_str(),
                     static_cast<long long>(state.locks[i].age), boolean(state.locks[i].stale),
                     boolean(state.locks[i].repositoryLock));
    std::fprintf(out, "],\n \"resources\": [");
    for (size_t i = 0; i < state.resources.size(); ++i) {
        const ResourceState& r = state.resources[i];
        std::fprintf(out,
                     "%s\n  {\"name\": %s, \"valid\": %s, \"found\": %s, \"dirty\": %s, "
                     "\"lockFile\": %s, \"lockFileExists\": %s, \"copies\": [",
                     i == 0 ? "" : ",", jsonString(r.name).c_str(), boolean(!r.refused),
                     boolean(r.found()), boolean(r.dirty), jsonString(r.lockFile).c_str(),
                     boolean(r.locked));
        for (size_t k = 0; k < r.copies.size(); ++k)
            std::fprintf(out,
                         "%s\n    {\"path\": %s, \"legacy\": %s, \"size\": %" PRIu64
                         ", \"lastUse\": %lld, \"lastUseText\": %s}",
                         k == 0 ? "" : ",", jsonString(r.copies[k].path).c_str(),
                         boolean(r.copies[k].legacy), r.copies[k].size,
                         static_cast<long long>(r.copies[k].lastUse),
                         jsonString(localTime(r.copies[k].lastUse)).c_str());
        std::fprintf(out, "]}");
    }
    std::fprintf(out, "]}\n");
}
