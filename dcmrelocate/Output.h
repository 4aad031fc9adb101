#ifndef DCMRELOCATE_OUTPUT_H
#define DCMRELOCATE_OUTPUT_H

#include <string>

// Every message goes to standard error as one whole line in one write, so that lines of
// several programs sharing a log never interleave inside a line. Standard output carries only
// the usage text, the commands of a dry run and the result line.
void printError(const std::string& line);

// Writes line to standard output and flushes it at once, so that a failure shows here and not
// unseen at exit. The first failure is reported on standard error as "Error: Cannot write " +
// what + " \"line\" to standard output (reason)"; standard output is left alone after it.
void printOutput(const std::string& line, const std::string& what);

// Whether a write to standard output failed: the run must not end with success, since the
// result line may be the only record of where the study went.
bool outputFailed();

#endif
