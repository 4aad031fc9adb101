#include "OVLogger.h"

#include "OVSyslog.h"

#include <cstdlib>
#include <cstring>
#include <syslog.h>

const LOG_FACILITY FACILITY_ARRAY[5] = {OPER_FACILITY, OPER_FACILITY, APP_FACILITY, APP_FACILITY,
                                        APP_FACILITY};

LOG_FACILITY OVLogger::m_lastFacility = NO_FACILITY;

namespace {

// LOG_LOCAL0 to LOG_LOCAL7 for exactly "local0" to "local7"; LOG_LOCAL0 for anything else.
int facilityFromEnvironment(LOG_FACILITY which) {
    const char* value = getenv(which == OPER_FACILITY ? "LOG_OPER_FACILITY" : "LOG_FACILITY");
    if (value != nullptr && strncmp(value, "local", 5) == 0 && value[5] >= '0' && value[5] <= '7' &&
        value[6] == '\0')
        return LOG_LOCAL0 + (value[5] - '0') * (LOG_LOCAL1 - LOG_LOCAL0);
    return LOG_LOCAL0;
}

int priorityOf(LOG_MODE mode) {
    switch (mode) {
    case OPER_ERROR_MODE:
    case ERROR_MODE:
        return LOG_ERR;
    case OPER_INFO_MODE:
    case INFO_MODE:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

} // namespace

OVLogger::OVLogger(const char* ident) : ident(nullptr) {
    if (ident != nullptr) {
        this->ident = new char[strlen(ident) + 1];
        strcpy(this->ident, ident);
    }
}

OVLogger::~OVLogger() {
    if (m_lastFacility != NO_FACILITY) {
        ovSyslogSink().closelog();
        m_lastFacility = NO_FACILITY;
    }
    delete[] ident;
}

void OVLogger::openLog(LOG_FACILITY which) {
    ovSyslogSink().openlog(ident != nullptr ? ident : "unknown", LOG_PID,
                           facilityFromEnvironment(which));
    m_lastFacility = which;
}

void OVLogger::log(LOG_MODE mode, const char* fmt, va_list& args) {
    LOG_FACILITY facility = FACILITY_ARRAY[mode];
    if (facility != m_lastFacility)
        openLog(facility);
    ovSyslogSink().vsyslog(priorityOf(mode), fmt, args);
}

#define OV_LOGGER_LEVEL(name, mode)                                                                \
    void OVLogger::name(const char* fmt, ...) {                                                    \
        va_list args;                                                                              \
        va_start(args, fmt);                                                                       \
        log(mode, fmt, args);                                                                      \
        va_end(args);                                                                              \
    }

OV_LOGGER_LEVEL(operErrorLog, OPER_ERROR_MODE)
OV_LOGGER_LEVEL(operInfoLog, OPER_INFO_MODE)
OV_LOGGER_LEVEL(errorLog, ERROR_MODE)
OV_LOGGER_LEVEL(infoLog, INFO_MODE)
OV_LOGGER_LEVEL(debugLog, DEBUG_MODE)

#undef OV_LOGGER_LEVEL

// Initialised first and destroyed last of the library's globals: the registry of repositories
// logs while it is destroyed.
OVLogger rh_logger __attribute__((init_priority(101))) ("OVRepositoryHandler");
