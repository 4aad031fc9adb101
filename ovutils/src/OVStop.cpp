#include "OVStop.h"

#include <atomic>

namespace {

// The first signal that asked to stop; written by a signal handler (possibly in another thread
// than the work's), read by the work. Lock-free, so that a handler may set it.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler must be able to set it");

} // namespace

namespace ovstop {

void request(int signo) noexcept {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signo);
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
