// mountbalance <repository>: runs one verbose overload check of the repository, for operators and
// timers. The check reports its progress on standard output; a failure that stops it is written
// on standard error as "Error: " and its text, with exit status 1; a repository lock that could
// not be had within 30 seconds (the check did not run) gives exit status 3.
//
// SIGTERM, SIGINT and SIGHUP stop the check cleanly. The handler only records a stop request
// (OVStop.h): the library then gives up its waits for lock files and abandons the copy at hand
// (its origin stays whole), the check returns and releases every lock it holds, and the tool
// exits with 128 + the number of the first such signal. The handlers are installed without
// SA_RESTART, so that a sleep or a blocking call in progress returns at once. After the first of
// them, SIGINT gets its default action back: a second Ctrl-C ends the tool at once, for an
// operator who will not wait, and leaves its lock files behind as SIGKILL does. SIGTERM and
// SIGHUP stay caught: a service manager or a hang-up may deliver them more than once, and a
// repeated one must not turn a clean stop into a kill. A signal ignored when the tool starts
// (nohup, a background job of a script) stays ignored.
#include "OVException.h"
#include "OVLogger.h"
#include "OVRepositoryHandler.h"
#include "OVStop.h"
#include "Registry.h"
#include "repositoryhandler.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

namespace {

// The check did not run: another check held the repository lock for 30 seconds, or a killed one
// left it. Not 0, so that a timer shows the run as failed and balancing is not off unnoticed.
constexpr int kNotLocked = 3;

struct StopSignal {
    int number;
    const char* name;
};
constexpr StopSignal kStopSignals[] = {
    {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};

void requestStop(int signo) {
    int saved = errno;
    ovstop::request(signo);
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGINT, &fallback, nullptr);
    errno = saved;
}

void installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    for (const StopSignal& stop : kStopSignals)
        sigaddset(&action.sa_mask, stop.number); // one handler at a time
    action.sa_flags = 0;                         // no SA_RESTART: interrupted calls return
    for (const StopSignal& stop : kStopSignals) {
        struct sigaction before = {};
        if (sigaction(stop.number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(stop.number, &action, nullptr);
    }
}

int failed(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", text.c_str());
    return 1;
}

// Reports the stop on standard output and to syslog; the exit status of a stopped check.
int stopped() {
    int signo = ovstop::signal();
    const char* name = "?";
    for (const StopSignal& stop : kStopSignals)
        if (stop.number == signo)
            name = stop.name;
    std::string text = "The check was stopped by signal " + std::to_string(signo) + " (" + name +
                       "); its locks are released.";
    std::printf("%s\n", text.c_str());
    rh_logger.infoLog("%s", text.c_str());
    return 128 + signo;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Usage: mountbalance <repository>\n");
        return -1;
    }
    installStopHandlers();
    // Line by line, so that a log that follows the output (a timer's journal) shows the progress
    // as it happens, and a killed run loses no finished line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("calling library...\n");
    int status = 0;
    try {
        if (!ovstop::requested()) {
            checkOverload_(argv[1], true);
            if (!getRepository(argv[1])->lastCheckHadTheLock())
                status = kNotLocked;
        }
    } catch (const OVAssertionException& failure) {
        // A wrong configuration reaches the operator as what is wrong and how to mend it; the
        // assertion's expression and line mean nothing to an operator.
        std::string text;
        failure.toString(text);
        status = failed(failure.isDetailed() ? failure.getMessage() : text);
    } catch (const OVException& failure) {
        std::string text;
        failure.toString(text);
        status = failed(text);
    } catch (const std::exception& failure) {
        status = failed(failure.what());
    }
    // A failure while stopping is shown, but the stop decides the status: the run was stopped.
    return ovstop::requested() ? stopped() : status;
}
