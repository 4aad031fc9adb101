#ifndef DCMRELOCATE_OUTPUT_H
#define DCMRELOCATE_OUTPUT_H

#include <string>

// Every message goes to standard error as one whole line in one write, so that lines of
// several programs sharing a log never interleave inside a line. Standard output carries only
// the usage text, the commands of a dry run and the result line.
void printError(const std::string& line);
void printOutput(const std::string& line);

#endif
