/* Stands in for syslog in the Java tests (loaded with LD_PRELOAD): every message is appended as
 * one line to the file named by SYSLOG_SHIM_FILE, so that a test can read what was logged. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

void openlog(const char* ident, int option, int facility) {
    (void)ident;
    (void)option;
    (void)facility;
}

void closelog(void) {}

void vsyslog(int priority, const char* format, va_list args) {
    const char* path = getenv("SYSLOG_SHIM_FILE");
    FILE* out = path != NULL ? fopen(path, "a") : NULL;
    (void)priority;
    if (out == NULL)
        return;
    vfprintf(out, format, args);
    fputc('\n', out);
    fclose(out);
}

void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}
