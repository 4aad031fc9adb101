#ifndef OVUTILS_OVSTOP_H
#define OVUTILS_OVSTOP_H

// A request to stop, made by a program's signal handler and heeded by the library's long-running
// work: waits for lock files give up, a copy in progress is abandoned (its origin stays whole),
// and the balancing loops end after the resource at hand, releasing every lock they hold. The
// library never installs a handler itself (the program embedding it owns its signals); a program
// that wants to stop cleanly on a signal calls request() from its handler.
namespace ovstop {

// Records that the signal signo asks the work to stop. Safe to call from a signal handler.
void request(int signo) noexcept;
// The signal of the first request, or 0 when none was made.
int signal() noexcept;
bool requested() noexcept;
// Forgets the request (for tests that make one on purpose).
void reset() noexcept;

} // namespace ovstop

#endif
