#ifndef OVUTILS_OVEXCEPTION_H
#define OVUTILS_OVEXCEPTION_H

#include <cstdio>
#include <ostream>
#include <string>

// Every failure of the libraries is thrown as one of these, by value, and caught as OVException&.
// Formatted messages are cut to their first 1023 characters.
class OVException {
public:
    OVException();
    explicit OVException(int code);
    OVException(int code, const std::string& msg);
    OVException(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    explicit OVException(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual ~OVException();

    // The text form of this exception kind, e.g. 'Unknown Exception: [1] Unknown exception'.
    virtual void toString(std::string& out) const;
    // The same text as a new array owned by the caller (free it with delete[]).
    char* toString() const;
    void print(std::ostream& out) const;
    void print(FILE* out) const;

    const std::string& getMessage() const { return message; }
    int getCode() const { return code; }

protected:
    // Text form "<kind>: [code] message", shared by the kinds that add no fields.
    void describe(const char* kind, std::string& out) const;
    void setFormatted(const char* fmt, va_list args);

    std::string message;
    int code;
};

// A failed system call; the code is errno.
class OVIOException : public OVException {
public:
    OVIOException(int code, const std::string& msg);
    void toString(std::string& out) const override;
    using OVException::toString;
};

// A wait that gave up.
class OVTimeoutException : public OVException {
public:
    OVTimeoutException(int code, const std::string& msg);
    void toString(std::string& out) const override;
    using OVException::toString;
};

// A violated precondition (for instance a null argument), thrown, never aborting. The text
// names the expression, the source unit and the line: 'ASSERT (name) in <file> at line 165.'
class OVAssertionException : public OVException {
public:
    OVAssertionException(const char* expression, long line, const char* file);
    OVAssertionException(const char* expression, long line, const char* file, const char* fmt, ...)
        __attribute__((format(printf, 5, 6)));
    void toString(std::string& out) const override;
    using OVException::toString;

    const std::string& getExpression() const { return expression; }
    const std::string& getFile() const { return file; }
    long getLine() const { return line; }
    bool isDetailed() const { return detailed; }

private:
    std::string headline() const;

    std::string expression;
    std::string file;
    long line;
    bool detailed;
};

// Throws OVAssertionException(expression, line, file) when the condition does not hold. The line
// is the fixed line number that the assertion text has always carried, not __LINE__.
inline void ovAssert(bool condition, const char* expression, long line, const char* file) {
    if (!condition)
        throw OVAssertionException(expression, line, file);
}

#endif
