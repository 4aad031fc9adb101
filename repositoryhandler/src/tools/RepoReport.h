#ifndef REPOSITORYHANDLER_TOOLS_REPOREPORT_H
#define REPOSITORYHANDLER_TOOLS_REPOREPORT_H

#include "RepoState.h"

#include <cstdio>
#include <string>

// The state as lines for an operator: a first line with the verdict (as monitoring expects it),
// one line per mount, the repository's status, dirty count, legacy directory and lock files, then
// each resource asked for with its copies.
void printText(std::FILE* out, const RepoState& state);
// The same as one JSON document.
void printJson(std::FILE* out, const RepoState& state);

// text as a JSON string, quotes included; bytes that are not valid UTF-8 become U+FFFD.
std::string jsonString(const std::string& text);
// "1 copy", "2 copies": count with the noun in its number.
std::string counted(unsigned long long count, const char* one, const char* many);
// A bar of width characters, '#' for the used share and '.' for the rest.
std::string fillBar(double used, int width);

#endif
