#ifndef REPOSITORYHANDLER_RUNCOMMAND_H
#define REPOSITORYHANDLER_RUNCOMMAND_H

#include <string>
#include <vector>

// For the tests: runs an external program (argv[0], looked up on PATH) with the given arguments,
// without a shell: no character of an argument is ever interpreted. Waits for it to end.
//
// Result: the program's exit status (0 to 255); 128 + the signal number when a signal ended it;
// -1 when it could not be started at all (the program is missing or cannot be executed). Every
// outcome but 0 is logged through rh_logger with the program name.
//
// stdoutPath, when given, receives the program's standard output (created or truncated, mode
// 0644); otherwise the program writes to the caller's standard output. Standard input is
// /dev/null, so a program can never wait for input from the caller's terminal. The program runs
// with LC_ALL=C, so that its messages come in one known language; its standard error is captured,
// every line of it logged at error level, and the whole text handed back in errors when given
// (with the reason when it could not be started).
int runCommand(const std::vector<std::string>& argv, const char* stdoutPath = nullptr,
               std::string* errors = nullptr);

// The errno whose message (strerror in the C locale) appears in text, a program's standard error;
// the longest such message wins ("No such device or address" over "No such device"). EIO when
// none appears: something failed, but the program did not say why.
int errnoInMessages(const std::string& text);

#endif
