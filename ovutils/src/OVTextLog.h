#ifndef OVUTILS_OVTEXTLOG_H
#define OVUTILS_OVTEXTLOG_H

#include "OVExport.h"

// Appends text as one line to the text file at path unless a line equal to text (byte for byte,
// whole line, any length) is in it already; creates the file when it is missing. Writers in all
// processes are serialised by the lock file named toResourceID(path, ""), waiting up to 30
// seconds. Nothing is thrown or returned: a lock that cannot be had and a file that cannot be
// opened are logged through rh_logger.
extern "C" OV_EXPORT void writeToLogGlobal(const char* path, const char* text);

#endif
