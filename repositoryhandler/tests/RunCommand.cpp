#include "RunCommand.h"

#include "OVLogger.h"
#include "OVSyscalls.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Owns the file actions of one spawn.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions; }

private:
    posix_spawn_file_actions_t actions;
};

void logFailure(const std::string& program, const std::string& what) {
    std::string text = "The command \"" + program + "\" " + what;
    rh_logger.errorLog("%s", text.c_str());
}

// strerror in the C locale, whatever locale the calling program chose.
std::string messageOf(int error) {
    static locale_t plain = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return plain != static_cast<locale_t>(nullptr) ? strerror_l(error, plain) : strerror(error);
}

// The caller's environment with LC_ALL=C (and no LANGUAGE, which some programs read first).
class PlainEnvironment {
public:
    PlainEnvironment() {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
            if (std::strncmp(*entry, "LC_ALL=", 7) != 0 &&
                std::strncmp(*entry, "LANGUAGE=", 9) != 0)
                pointers.push_back(*entry);
        pointers.push_back(const_cast<char*>("LC_ALL=C"));
        pointers.push_back(nullptr);
    }
    char** get() { return pointers.data(); }

private:
    std::vector<char*> pointers;
};

// Waits for the child across interruptions and maps its end to one status number.
int waitFor(pid_t pid, const std::string& program) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            logFailure(program, "could not be waited for. Error code is " + std::to_string(errno));
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        logFailure(program, "was killed by signal " + std::to_string(WTERMSIG(status)));
        return 128 + WTERMSIG(status);
    }
    int code = WEXITSTATUS(status);
    if (code != 0)
        logFailure(program, "ended with status " + std::to_string(code));
    return code;
}

// Reads fd to its end (the child closed its standard error) and closes it.
std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t got = ovsys::table().read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    ovsys::table().close(fd);
    return text;
}

void logLines(const std::string& program, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty())
            logFailure(program, "says: " + line);
        at = end == std::string::npos ? text.size() : end + 1;
    }
}

} // namespace

int runCommand(const std::vector<std::string>& argv, const char* stdoutPath, std::string* errors) {
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        int error = errno;
        logFailure(argv[0], "could not be started. Error code is " + std::to_string(error));
        if (errors != nullptr)
            *errors = messageOf(error);
        return -1;
    }
    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (stdoutPath != nullptr)
        posix_spawn_file_actions_addopen(actions.get(), 1, stdoutPath, O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    posix_spawn_file_actions_adddup2(actions.get(), pipeFds[1], 2);
    PlainEnvironment environment;
    pid_t pid = 0;
    int error = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environment.get());
    ovsys::table().close(pipeFds[1]);
    if (error != 0) {
        ovsys::table().close(pipeFds[0]);
        logFailure(argv[0], "could not be started. Error code is " + std::to_string(error));
        if (errors != nullptr)
            *errors = messageOf(error);
        return -1;
    }
    std::string text = readAll(pipeFds[0]);
    logLines(argv[0], text);
    if (errors != nullptr)
        *errors = text;
    return waitFor(pid, argv[0]);
}

int errnoInMessages(const std::string& text) {
    int found = EIO;
    size_t longest = 0;
    for (int error = 1; error < 134; ++error) {
        std::string message = messageOf(error);
        if (message.size() > longest && message.compare(0, 7, "Unknown") != 0 &&
            text.find(message) != std::string::npos) {
            found = error;
            longest = message.size();
        }
    }
    return found;
}
