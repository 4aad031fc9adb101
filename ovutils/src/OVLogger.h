#ifndef OVUTILS_OVLOGGER_H
#define OVUTILS_OVLOGGER_H

#include <cstdarg>

// The two syslog facility kinds: messages for operators and messages of the application.
enum LOG_FACILITY { OPER_FACILITY = 0, APP_FACILITY = 1, NO_FACILITY = 2 };

enum LOG_MODE {
    OPER_INFO_MODE = 0,
    OPER_ERROR_MODE = 1,
    INFO_MODE = 2,
    ERROR_MODE = 3,
    DEBUG_MODE = 4
};

// The facility kind of each mode, indexed by LOG_MODE.
extern const LOG_FACILITY FACILITY_ARRAY[5];

// Writes to syslog. The facility of each kind is read from "LOG_OPER_FACILITY" (operator
// messages) or "LOG_FACILITY" (application messages) each time the connection is opened:
// "local0" to "local7" select LOG_LOCAL0 to LOG_LOCAL7, anything else LOG_LOCAL0. The connection
// opens with the first message and re-opens whenever the facility kind changes; syslog has one
// connection per process, so the kind in use is shared by every logger. Nothing is filtered or
// buffered, and nothing is reported to the caller.
//
// Messages composed at run time must be passed as data: debugLog("%s", text).
class OVLogger {
public:
    explicit OVLogger(const char* ident);
    ~OVLogger();
    OVLogger(const OVLogger&) = delete;
    OVLogger& operator=(const OVLogger&) = delete;

    void openLog(LOG_FACILITY which);
    void log(LOG_MODE mode, const char* fmt, va_list& args);

    void operErrorLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void operInfoLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void errorLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void infoLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void debugLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // The facility kind the process's syslog connection is open with.
    static LOG_FACILITY lastFacility() { return m_lastFacility; }

private:
    char* ident;
    static LOG_FACILITY m_lastFacility;
};

// The logger of the repository library, ident "OVRepositoryHandler".
extern OVLogger rh_logger;

#endif
