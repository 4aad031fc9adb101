#include "SharedRepository.h"

#include "OVLogger.h"
#include "OVSyscalls.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t kMaxPidDigits = 9;
constexpr size_t kTokenLength = 32;

bool allDigits(const std::string& text, size_t from) {
    if (from >= text.size() || text.size() - from > kMaxPidDigits)
        return false;
    for (size_t i = from; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

pid_t toPid(const std::string& digits) {
    pid_t pid = 0;
    for (char c : digits)
        pid = pid * 10 + (c - '0');
    return pid;
}

void logFailure(const std::string& what, const std::string& path, int error) {
    std::string text = "The " + what + " \"" + path + "\" could not be written. Error code is " +
                       std::to_string(error);
    rh_logger.errorLog("%s", text.c_str());
}

// The whole (short) content of the file at path; false with errno.
bool readSmallFile(const std::string& path, std::string& text) {
    int fd = ovsys::table().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    text.clear();
    char buffer[512];
    for (;;) {
        ssize_t got = ovsys::table().read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0 && errno != EINTR) {
            int error = errno;
            ovsys::table().close(fd);
            errno = error;
            return false;
        }
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
    }
    ovsys::table().close(fd);
    return true;
}

// Writes text into a new file at path (which must not exist) and flushes it; false with errno,
// leaving no file.
bool writeNewFile(const std::string& path, const std::string& text) {
    int fd = ovsys::table().open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    int error = 0;
    while (error == 0 && done < text.size()) {
        ssize_t put = ovsys::table().write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno != EINTR)
            error = errno;
        if (put > 0)
            done += static_cast<size_t>(put);
    }
    if (error == 0 && ovsys::table().fsync(fd) != 0)
        error = errno;
    ovsys::table().close(fd);
    if (error != 0) {
        ovsys::table().unlink(path.c_str());
        errno = error;
        return false;
    }
    return true;
}

std::string newToken() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<unsigned long long>(device()) << 32) ^ device() ^
                              static_cast<unsigned long long>(
                                  std::chrono::system_clock::now().time_since_epoch().count()));
    static const char digits[] = "0123456789abcdef";
    std::string token;
    while (token.size() < kTokenLength)
        token.push_back(digits[generator() % 16]);
    return token;
}

// The value of "name=" in a record text, or "".
std::string field(const std::string& text, const std::string& name) {
    std::string key = name + "=";
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, key.size(), key) == 0)
            return text.substr(start + key.size(), end - start - key.size());
        start = end + 1;
    }
    return "";
}

} // namespace

std::string hostName() {
    std::string name;
    const char* given = std::getenv("ORVANE_HOST");
    if (given != nullptr && *given != '\0') {
        name = given;
    } else {
        char buffer[256] = {};
        if (gethostname(buffer, sizeof buffer - 1) == 0)
            name = buffer;
    }
    if (name.empty())
        return "localhost";
    for (char& c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_'))
            c = '_';
    return name;
}

std::string writerTag() {
    return hostName() + "-" + std::to_string(getpid());
}

bool parseWriterTag(const std::string& tag, Writer& writer) {
    size_t dash = tag.rfind('-');
    if (dash == std::string::npos) {
        if (!allDigits(tag, 0))
            return false;
        writer = Writer{hostName(), toPid(tag), true};
        return true;
    }
    if (dash == 0 || !allDigits(tag, dash + 1))
        return false;
    std::string host = tag.substr(0, dash);
    writer = Writer{host, toPid(tag.substr(dash + 1)), host == hostName()};
    return true;
}

bool writerGone(const Writer& writer, time_t lastChange, time_t now) {
    if (!writer.ownHost)
        return now - lastChange > kForeignLeftoverSeconds;
    return writer.pid > 0 && writer.pid != getpid() && kill(writer.pid, 0) != 0 && errno == ESRCH;
}

std::string resolveLockDirectory(const std::string& repositoryPath, const char* value) {
    if (value == nullptr || *value == '\0')
        return "";
    std::string dir(value);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir[0] == '/' ? dir : repositoryPath + "/" + dir;
}

std::string lockDirectoryToken(const std::string& lockDir) {
    std::string file = lockDir + "/" + kLockDirectoryIdName;
    std::string token;
    if (readSmallFile(file, token))
        return field(token, "token");
    if (errno != ENOENT) {
        rh_logger.errorLog("The lock directory token \"%s\" could not be read. Error code is %d",
                           file.c_str(), errno);
        return "";
    }
    // Written aside in full and linked into place: a reader never sees half a token, and of two
    // hosts making it at once the first link wins and the other takes its token.
    std::string aside = file + "." + writerTag();
    ovsys::table().unlink(aside.c_str());
    if (!writeNewFile(aside, "token=" + newToken() + "\n")) {
        logFailure("lock directory token", aside, errno);
        return "";
    }
    int linked = ovsys::table().linkat(AT_FDCWD, aside.c_str(), AT_FDCWD, file.c_str(), 0);
    int error = errno;
    ovsys::table().unlink(aside.c_str());
    if (linked != 0 && error != EEXIST) {
        logFailure("lock directory token", file, error);
        return "";
    }
    if (!readSmallFile(file, token)) {
        rh_logger.errorLog("The lock directory token \"%s\" could not be read. Error code is %d",
                           file.c_str(), errno);
        return "";
    }
    return field(token, "token");
}

void recordHost(const std::string& repositoryPath, const std::string& lockDir) {
    static std::mutex guard;
    static std::set<std::pair<std::string, std::string>> recorded;
    {
        std::lock_guard<std::mutex> hold(guard);
        if (!recorded.insert({repositoryPath, lockDir}).second)
            return;
    }
    struct stat st;
    int error = ovsys::table().stat(lockDir.c_str(), &st) != 0 ? errno
                : S_ISDIR(st.st_mode)                          ? 0
                                                               : ENOTDIR;
    if (error != 0) {
        std::string text = "The lock directory \"" + lockDir + "\" of the repository \"" +
                           repositoryPath +
                           "\" is missing (is its file system mounted?); every lock of the "
                           "repository fails until it is there. Error code is " +
                           std::to_string(error);
        rh_logger.errorLog("%s", text.c_str());
        // Looked at again by the next process, or by this one once the directory is there.
        std::lock_guard<std::mutex> hold(guard);
        recorded.erase({repositoryPath, lockDir});
        return;
    }
    std::string token = lockDirectoryToken(lockDir);
    std::string text = "repositoryPath=" + repositoryPath + "\nlockDirectory=" + lockDir +
                       "\ntoken=" + token + "\n";
    std::string record = repositoryPath + "/" + kHostRecordPrefix + hostName();
    std::string current;
    if (readSmallFile(record, current) && current == text)
        return;
    std::string aside = record + "~" + std::to_string(getpid()); // "~" is in no host name
    ovsys::table().unlink(aside.c_str());
    if (!writeNewFile(aside, text)) {
        logFailure("host record", aside, errno);
        return;
    }
    if (ovsys::table().rename(aside.c_str(), record.c_str()) != 0) {
        logFailure("host record", record, errno);
        ovsys::table().unlink(aside.c_str());
    }
}

HostRecord parseHostRecord(const std::string& host, const std::string& text) {
    return HostRecord{host, field(text, "repositoryPath"), field(text, "lockDirectory"),
                      field(text, "token")};
}

const char* sharedFileSystemName(long type) {
    static const struct {
        unsigned long magic;
        const char* name;
    } kShared[] = {
        {0x6969, "NFS"},          {0x65735546, "FUSE"},   {0x00c36400, "CephFS"},
        {0x517b, "SMB"},          {0xfe534d42, "SMB2"},   {0xff534d42, "CIFS"},
        {0x5346414f, "AFS"},      {0x6b414653, "kAFS"},   {0x7461636f, "OCFS2"},
        {0x01161970, "GFS2"},     {0x0bd00bd0, "Lustre"}, {0x47504653, "GPFS"},
        {0x20030528, "OrangeFS"}, {0x01021997, "9P"},
    };
    unsigned long magic = static_cast<unsigned long>(type) & 0xffffffffUL;
    for (const auto& entry : kShared)
        if (entry.magic == magic)
            return entry.name;
    return nullptr;
}
