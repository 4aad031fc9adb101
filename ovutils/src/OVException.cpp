#include "OVException.h"

#include <cstdarg>

namespace {
// Formatted messages keep at most this many characters.
constexpr size_t kFormattedLimit = 1023;
} // namespace

OVException::OVException() : message("Unknown exception"), code(1) {}

OVException::OVException(int code) : message("Unknown exception"), code(code) {}

OVException::OVException(int code, const std::string& msg) : message(msg), code(code) {}

OVException::OVException(int code, const char* fmt, ...) : OVException(code) {
    va_list args;
    va_start(args, fmt);
    setFormatted(fmt, args);
    va_end(args);
}

OVException::OVException(const char* fmt, ...) : OVException() {
    va_list args;
    va_start(args, fmt);
    setFormatted(fmt, args);
    va_end(args);
}

OVException::~OVException() = default;

void OVException::setFormatted(const char* fmt, va_list args) {
    char buffer[kFormattedLimit + 1];
    vsnprintf(buffer, sizeof buffer, fmt, args);
    message = buffer;
}

void OVException::describe(const char* kind, std::string& out) const {
    out = std::string(kind) + ": [" + std::to_string(code) + "] " + message;
}

void OVException::toString(std::string& out) const {
    describe("Unknown Exception", out);
}

char* OVException::toString() const {
    std::string text;
    toString(text);
    char* copy = new char[text.size() + 1];
    text.copy(copy, text.size());
    copy[text.size()] = '\0';
    return copy;
}

void OVException::print(std::ostream& out) const {
    std::string text;
    toString(text);
    out << text << std::endl;
}

void OVException::print(FILE* out) const {
    std::string text;
    toString(text);
    fprintf(out, "%s\n", text.c_str());
}

OVIOException::OVIOException(int code, const std::string& msg) : OVException(code, msg) {}

void OVIOException::toString(std::string& out) const {
    describe("IO Exception", out);
}

OVTimeoutException::OVTimeoutException(int code, const std::string& msg) : OVException(code, msg) {}

void OVTimeoutException::toString(std::string& out) const {
    describe("Timeout Exception", out);
}

OVAssertionException::OVAssertionException(const char* expression, long line, const char* file)
    : expression(expression), file(file), line(line), detailed(false) {
    message = headline();
}

OVAssertionException::OVAssertionException(const char* expression, long line, const char* file,
                                           const char* fmt, ...)
    : expression(expression), file(file), line(line), detailed(true) {
    va_list args;
    va_start(args, fmt);
    setFormatted(fmt, args);
    va_end(args);
}

std::string OVAssertionException::headline() const {
    return "ASSERT (" + expression + ") in " + file + " at line " + std::to_string(line) + ".";
}

void OVAssertionException::toString(std::string& out) const {
    out = detailed ? headline() + "\n" + message : message;
}
