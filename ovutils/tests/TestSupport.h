#ifndef OVUTILS_TESTS_TESTSUPPORT_H
#define OVUTILS_TESTS_TESTSUPPORT_H

#include "OVSyscalls.h"

#include <cerrno>
#include <functional>
#include <string>
#include <sys/types.h>
#include <type_traits>
#include <vector>

// A fresh directory below /tmp, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return dir + "/" + relative; }

private:
    std::string dir;
};

// One call that reached the syslog seam.
struct SyslogRecord {
    enum Kind { Open, Message, Close } kind;
    std::string ident; // Open
    int option = 0;    // Open
    int facility = 0;  // Open
    int priority = 0;  // Message
    std::string text;  // Message, formatted
};

// Replaces the syslog calls for its lifetime and records every call; the real syslog is not
// touched. Starts from a closed connection, so that the first message opens it again.
class SyslogCapture {
public:
    SyslogCapture();
    ~SyslogCapture();
    const std::vector<SyslogRecord>& records() const;
    // The texts of the messages only, in order.
    std::vector<std::string> messages() const;
    void clear();
};

// Sets (or, with a null value, unsets) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

private:
    std::string name;
    bool hadValue;
    std::string oldValue;
};

// Replaces entries of the system-call table for its lifetime; restores the whole table after.
class ScopedSyscalls {
public:
    ScopedSyscalls();
    ~ScopedSyscalls();
    ovsys::Table& table() { return ovsys::table(); }

private:
    ovsys::Table saved;
};
// An entry of the type of entry whose every call fails with error (-1 or a null pointer):
// calls.table().unlink = failing<EROFS>(calls.table().unlink).
template <int error, typename Result, typename... Args>
auto failing(Result (*)(Args...)) -> Result (*)(Args...) {
    return [](Args...) -> Result {
        errno = error;
        if constexpr (std::is_pointer_v<Result>)
            return nullptr;
        else
            return -1;
    };
}

// Runs body in a child process created with fork and returns its exit status (body's result),
// or -1 when the child did not exit normally. The child never returns into the test.
int runInChild(const std::function<int()>& body);
// Starts body in a child process and returns its pid; collect it with waitForChild.
pid_t startChild(const std::function<int()>& body);
int waitForChild(pid_t pid);

// The string result of a helper, freed by the test; "(null)" stands for a null result.
std::string take(char* text);
// The number of descriptors this process holds.
size_t openDescriptors();

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

#endif
