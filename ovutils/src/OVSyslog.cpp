#include "OVSyslog.h"

#include <syslog.h>

namespace {
const OVSyslogSink kRealSyslog = {::openlog, ::vsyslog, ::closelog};
} // namespace

OVSyslogSink& ovSyslogSink() {
    static OVSyslogSink live = kRealSyslog;
    return live;
}

const OVSyslogSink& ovRealSyslog() {
    return kRealSyslog;
}
