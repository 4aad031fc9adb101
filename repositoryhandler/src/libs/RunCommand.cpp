#include "RunCommand.h"

#include "OVLogger.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

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

} // namespace

int runCommand(const std::vector<std::string>& argv, const char* stdoutPath) {
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (stdoutPath != nullptr)
        posix_spawn_file_actions_addopen(actions.get(), 1, stdoutPath, O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (error != 0) {
        logFailure(argv[0], "could not be started. Error code is " + std::to_string(error));
        return -1;
    }
    return waitFor(pid, argv[0]);
}
