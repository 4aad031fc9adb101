#ifndef OVUTILS_OVSYSLOG_H
#define OVUTILS_OVSYSLOG_H

#include <cstdarg>

// The three syslog calls of the logger. Tests replace them to see the ident, option, facility,
// priority and text of every message; everything else leaves them as they are.
struct OVSyslogSink {
    void (*openlog)(const char* ident, int option, int facility);
    void (*vsyslog)(int priority, const char* fmt, va_list args);
    void (*closelog)();
};

// The sink in use; starts with the real syslog calls.
OVSyslogSink& ovSyslogSink();
// The real syslog calls.
const OVSyslogSink& ovRealSyslog();

#endif
