#include "OVStop.h"

#include <csignal>

namespace {

// The first signal that asked to stop; written by a signal handler, read by the work.
volatile std::sig_atomic_t stopSignal = 0;

} // namespace

namespace ovstop {

void request(int signo) noexcept {
    if (stopSignal == 0)
        stopSignal = signo;
}

int signal() noexcept {
    return stopSignal;
}

bool requested() noexcept {
    return stopSignal != 0;
}

void reset() noexcept {
    stopSignal = 0;
}

} // namespace ovstop
