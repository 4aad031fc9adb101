#include "OVSemaphore.h"
#include "OVTextLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

int noSleep(const struct timespec*, struct timespec*) {
    return 0;
}

// The lock file that guards the text log at path, in the lock directory dir.
std::string lockFileOf(const TempDir& dir, const std::string& path) {
    std::unique_ptr<char[]> name(toResourceID(path.c_str(), ""));
    return dir / (std::string("semaphore_") + name.get());
}

} // namespace

TEST(TextLog, WritesEachDistinctLineOnce) {
    TempDir dir;
    ScopedEnv lockVar("LOCK_VAR", dir.path().c_str());
    SyslogCapture capture;
    std::string log = dir / "notes.txt";

    writeToLogGlobal(log.c_str(), "/data/r1/100%s");
    EXPECT_EQ(readFile(log), "/data/r1/100%s\n");
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{"WritetoLog", "text:/data/r1/100%s\n"}));

    writeToLogGlobal(log.c_str(), "second");
    writeToLogGlobal(log.c_str(), "/data/r1/100%s");
    writeToLogGlobal(log.c_str(), "second");
    writeToLogGlobal(log.c_str(), "second  "); // trailing spaces make another line
    writeToLogGlobal(log.c_str(), "sec");      // a prefix of a line is another line
    EXPECT_EQ(readFile(log), "/data/r1/100%s\nsecond\nsecond  \nsec\n");

    // Whole lines of any length are compared.
    std::string longLine(1500, 'L');
    writeToLogGlobal(log.c_str(), longLine.c_str());
    writeToLogGlobal(log.c_str(), longLine.c_str());
    writeToLogGlobal(log.c_str(), longLine.substr(1023).c_str());
    EXPECT_EQ(readFile(log), "/data/r1/100%s\nsecond\nsecond  \nsec\n" + longLine + "\n" +
                                 longLine.substr(1023) + "\n");
    EXPECT_EQ(access(lockFileOf(dir, log).c_str(), F_OK), -1); // released
}

TEST(TextLog, ProcessesWritingTheSameLineAtOnceWriteItOnce) {
    TempDir dir;
    ScopedEnv lockVar("LOCK_VAR", dir.path().c_str());
    std::string log = dir / "shared.txt";
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> writers;
    for (int i = 0; i < 8; ++i)
        writers.push_back(startChild([&] {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 0) // wait until the parent closes the pipe
                return 1;
            writeToLogGlobal(log.c_str(), "the same line");
            writeToLogGlobal(log.c_str(), ("own line " + std::to_string(getpid())).c_str());
            return 0;
        }));
    close(go[0]);
    close(go[1]); // all writers start together
    for (pid_t pid : writers)
        EXPECT_EQ(waitForChild(pid), 0);

    std::string content = readFile(log);
    size_t first = content.find("the same line\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(content.find("the same line\n", first + 1), std::string::npos);
    for (pid_t pid : writers)
        EXPECT_NE(content.find("own line " + std::to_string(pid) + "\n"), std::string::npos);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 9);
}

TEST(TextLog, FailuresAreLoggedNotThrown) {
    TempDir dir;
    ScopedEnv lockVar("LOCK_VAR", dir.path().c_str());
    SyslogCapture capture;

    // A lock that is never released: the writer gives up (here without really sleeping).
    std::string log = dir / "locked.txt";
    std::string lockFile = lockFileOf(dir, log);
    int fd = open(lockFile.c_str(), O_CREAT | O_EXCL | O_RDONLY, 0660);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        ScopedSyscalls calls;
        calls.table().nanosleep = noSleep;
        writeToLogGlobal(log.c_str(), "x");
    }
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"The log file \"" + log + "\" could not be locked."});
    EXPECT_EQ(access(log.c_str(), F_OK), -1);
    EXPECT_EQ(access(lockFile.c_str(), F_OK), 0); // someone else's lock is left alone

    // A path that cannot be written to (here a directory).
    capture.clear();
    std::string directory = dir / "a-directory";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    writeToLogGlobal(directory.c_str(), "x");
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"couldn't create logfile:" + directory});

    capture.clear();
    writeToLogGlobal((dir / "missing-dir/log.txt").c_str(), "x");
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"couldn't create logfile:" + dir / "missing-dir/log.txt"});
}
