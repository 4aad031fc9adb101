#include "OVRepositoryHandler.h"

#include "OVException.h"
#include "OVLogger.h"
#include "OVPaths.h"
#include "OVProperties.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "SharedRepository.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace {

constexpr time_t kSecondsPerDay = 86400;

std::string configFileOf(const std::string& repositoryPath) {
    return repositoryPath + "/repository.cfg";
}

} // namespace

void readNatInt(const OVProperties& properties, const char* key, int& field) {
    const char* value = properties.getProperty(key);
    if (value == nullptr)
        return;
    int number = parseNatInt(value);
    if (number != -1)
        field = number;
}

std::string normalizedRepositoryPath(const char* path) {
    std::string normalized;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c != '/' || normalized.empty() || normalized.back() != '/')
            normalized += *c;
    if (normalized.size() > 1 && normalized.back() == '/')
        normalized.pop_back();
    return normalized;
}

int parseNatInt(const char* text) {
    if (text == nullptr || *text == '\0')
        return -1;
    // Accumulated in unsigned 32-bit arithmetic: a value above the signed range wraps.
    uint32_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return -1;
        value = value * 10u + static_cast<uint32_t>(*c - '0');
    }
    return static_cast<int32_t>(value);
}

OVRepositoryHandler::OVRepositoryHandler(const char* path)
    : status(0), nomoveTime(0), isClearable(false), setupFailed(false) {
    setDefaults();
    setup(path);
}

OVRepositoryHandler::OVRepositoryHandler(const OVRepositoryHandler& other)
    : status(0), nomoveTime(0), isClearable(false), setupFailed(false) {
    rh_logger.debugLog("Repository copy constructor");
    setDefaults();
    setup(other.repositoryPath.c_str());
}

OVRepositoryHandler::~OVRepositoryHandler() = default;

void OVRepositoryHandler::setDefaults() {
    isClearable = false;
    moveOptions = MoveOptions();
    legacyDir.clear();
    lockDir.clear();
    remindLimit = 80;
    warnLimit = 90;
    warn2Limit = 92;
    warn3Limit = 94;
    switchLimit = 95;
    fullLimit = 97;
    cleanLimit = 98;
    moveLimit = 99;
    nomoveTime = kSecondsPerDay;
}

void OVRepositoryHandler::setup(const char* path) {
    ovAssert(path != nullptr, "path", __LINE__, kRepositorySource);
    setDefaults();
    repositoryPath = normalizedRepositoryPath(path);
    configVersion = FileVersion();
    setupFailed = false;
    if (ovsys::table().access(repositoryPath.c_str(), F_OK) != 0) {
        if (errno != ENOENT) {
            std::string text = "The repository directory \"" + repositoryPath +
                               "\" could not be reached. Error code is " + std::to_string(errno);
            rh_logger.errorLog("%s", text.c_str());
        }
        // Looked up again by the next call: the directory may be made (or reachable) meanwhile.
        configVersion.forget();
        mounts.clear();
        status = REPO_MISSING;
        return;
    }
    try {
        dirtyFlags.setRepository(repositoryPath.c_str());
        status = 0;
        parseConfigFile();
        checkRepositoryStatus();
    } catch (...) {
        abandonSetup();
        throw;
    }
}

// The fields were reset to their defaults and may be half read: such a handler must neither run
// on them nor count as current, so it has no mount and the next lookup builds it again.
void OVRepositoryHandler::abandonSetup() {
    mounts.clear();
    status = REPO_MISSING;
    setupFailed = true;
}

void OVRepositoryHandler::readLimits(const OVProperties& properties) {
    if (const char* value = properties.getProperty("legacyDir"))
        legacyDir = value;
    lockDir = resolveLockDirectory(repositoryPath, properties.getProperty("lockDirectory"));
    readNatInt(properties, "remindLimit", remindLimit);
    readNatInt(properties, "warnLimit", warnLimit);
    readNatInt(properties, "warn2Limit", warn2Limit);
    readNatInt(properties, "warn3Limit", warn3Limit);
    readNatInt(properties, "switchLimit", switchLimit);
    readNatInt(properties, "fullLimit", fullLimit);
    readNatInt(properties, "cleanLimit", cleanLimit);
    readNatInt(properties, "moveLimit", moveLimit);
    if (const char* value = properties.getProperty("isClearable"))
        isClearable = strcmp(value, "true") == 0;
    if (const char* value = properties.getProperty("verifyOnDevice"))
        moveOptions.verifyOnDevice = strcmp(value, "true") == 0;
    if (const char* value = properties.getProperty("flushFiles"))
        moveOptions.flushFiles = strcmp(value, "true") == 0;
    int seconds = -1;
    readNatInt(properties, "nomoveTimeSeconds", seconds);
    if (seconds != -1)
        nomoveTime = seconds;
    int days = -1;
    readNatInt(properties, "nomoveTime", days);
    if (days != -1)
        nomoveTime = static_cast<time_t>(days) * kSecondsPerDay; // 64-bit: no overflow
}

int OVRepositoryHandler::parseConfigFile() {
    std::string file = configFileOf(repositoryPath);
    std::string text;
    if (!configVersion.read(file, text)) {
        if (errno != ENOENT) {
            // It exists but cannot be read: running on the defaults would be running wrong.
            int error = errno;
            std::string message = "The configuration \"" + file +
                                  "\" could not be read. Error code is " + std::to_string(error);
            rh_logger.errorLog("%s", message.c_str());
            throw OVIOException(error, message);
        }
        dirtyFlags.setLockDirectory(lockDir);
        buildMounts(nullptr);
        return 0;
    }
    OVProperties properties;
    properties.loadText(text);
    readLimits(properties);
    dirtyFlags.setLockDirectory(lockDir);
    if (!lockDir.empty())
        recordHost(repositoryPath, lockDir);
    buildMounts(properties.getProperty("mountPoints"));
    return 0;
}

// Replaces the mounts by one per name of the backslash-separated list (empty names skipped), or by
// the repository directory itself when there is no list. Mounts are built after the limits are
// read, so that they inherit them. When one cannot be built the handler keeps no mount at all.
void OVRepositoryHandler::buildMounts(const char* mountPoints) {
    mounts.clear();
    try {
        if (mountPoints == nullptr || *mountPoints == '\0') {
            mounts.push_back(std::make_unique<OVMountPointHandler>(repositoryPath, this));
            return;
        }
        std::string list(mountPoints);
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find('\\', start);
            if (end == std::string::npos)
                end = list.size();
            if (end > start)
                mounts.push_back(std::make_unique<OVMountPointHandler>(
                    repositoryPath + "/" + list.substr(start, end - start), this));
            start = end + 1;
        }
    } catch (...) {
        abandonSetup();
        throw;
    }
}

bool OVRepositoryHandler::isUpToDate() const {
    if (setupFailed)
        return false;
    if (!configVersion.unchanged(configFileOf(repositoryPath)))
        return false;
    for (const auto& mount : mounts)
        if (!mount->isUpToDate())
            return false;
    return true;
}

void OVRepositoryHandler::writeToLegacyLog(const char*) {}
