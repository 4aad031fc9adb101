#include "TestSupport.h"

#include "OVLogger.h"
#include "OVSyslog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir() {
    char pattern[] = "/tmp/ovutils-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

namespace {

std::vector<SyslogRecord>& captured() {
    static std::vector<SyslogRecord> records;
    return records;
}

void captureOpen(const char* ident, int option, int facility) {
    SyslogRecord record{SyslogRecord::Open, ident, option, facility, 0, ""};
    captured().push_back(record);
}

void captureMessage(int priority, const char* fmt, va_list args) {
    char buffer[8192];
    vsnprintf(buffer, sizeof buffer, fmt, args);
    SyslogRecord record{SyslogRecord::Message, "", 0, 0, priority, buffer};
    captured().push_back(record);
}

void captureClose() {
    captured().push_back(SyslogRecord{SyslogRecord::Close, "", 0, 0, 0, ""});
}

// Brings the process's logger state back to "no connection open" through the sink in use.
void closeConnection() {
    OVLogger closer(nullptr);
    closer.openLog(APP_FACILITY);
} // its destructor closes the connection and resets the facility kind

} // namespace

SyslogCapture::SyslogCapture() {
    ovSyslogSink() = OVSyslogSink{captureOpen, captureMessage, captureClose};
    closeConnection();
    captured().clear();
}

SyslogCapture::~SyslogCapture() {
    closeConnection();
    captured().clear();
    ovSyslogSink() = ovRealSyslog();
}

const std::vector<SyslogRecord>& SyslogCapture::records() const {
    return captured();
}

std::vector<std::string> SyslogCapture::messages() const {
    std::vector<std::string> texts;
    for (const SyslogRecord& record : captured())
        if (record.kind == SyslogRecord::Message)
            texts.push_back(record.text);
    return texts;
}

void SyslogCapture::clear() {
    captured().clear();
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name(name), hadValue(false) {
    if (const char* old = getenv(name)) {
        hadValue = true;
        oldValue = old;
    }
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (hadValue)
        setenv(name.c_str(), oldValue.c_str(), 1);
    else
        unsetenv(name.c_str());
}

ScopedSyscalls::ScopedSyscalls() : saved(ovsys::table()) {}

ScopedSyscalls::~ScopedSyscalls() {
    ovsys::table() = saved;
}

pid_t startChild(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
            status = 98;
        }
        _exit(status);
    }
    return pid;
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runInChild(const std::function<int()>& body) {
    return waitForChild(startChild(body));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string take(char* text) {
    std::unique_ptr<char[]> owned(text);
    return owned ? std::string(owned.get()) : std::string("(null)");
}

size_t openDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}
