#include "OVProperties.h"

#include "OVException.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/types.h>
#include <vector>

namespace {

const char* const kSourceFile = "ovutils/src/OVProperties";

// Compared explicitly rather than with isspace: the test must not depend on the locale, and a
// plain char from 0x80 up is negative, which isspace does not accept.
bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a file line by line, each line whole whatever its length. Closes the file and frees the
// line buffer even when the parsing of a line throws.
class LineReader {
public:
    explicit LineReader(FILE* file) : file(file) {}
    ~LineReader() {
        free(buffer);
        fclose(file);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line including its line end, or null at the end of the file or on a read error.
    char* next() { return getline(&buffer, &capacity, file) == -1 ? nullptr : buffer; }

private:
    FILE* file;
    char* buffer = nullptr;
    size_t capacity = 0;
};

} // namespace

OVProperty::OVProperty(const char* name, const char* value)
    : name(copy(name)), value(copy(value)) {}

void OVProperty::setValue(const char* value) {
    ovAssert(value != nullptr, "value", 68, kSourceFile);
    this->value.reset(copy(value));
}

char* OVProperty::copy(const char* str) {
    ovAssert(str != nullptr, "str", 78, kSourceFile);
    size_t size = strlen(str) + 1;
    char* dest = new (std::nothrow) char[size];
    ovAssert(dest != nullptr, "dest", 80, kSourceFile);
    memcpy(dest, str, size);
    return dest;
}

OVProperties::OVProperties() = default;

OVProperties::~OVProperties() {
    clear();
}

bool OVProperties::load(const char* filename) {
    ovAssert(filename != nullptr, "filename", 97, kSourceFile);
    FILE* file = fopen(filename, "rb");
    if (file == nullptr)
        return false;
    LineReader reader(file);
    while (char* line = reader.next())
        parseLine(line);
    return true;
}

void OVProperties::loadText(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        // A writable copy of the line with its line end, as the file reader hands it over.
        std::vector<char> line(text.begin() + static_cast<std::ptrdiff_t>(start),
                               text.begin() + static_cast<std::ptrdiff_t>(end));
        line.push_back('\0');
        parseLine(line.data());
        start = end;
    }
}

void OVProperties::parseLine(char* line) {
    char* text = skipWhiteSpaces(line);
    if (*text == '\0' || *text == '#')
        return;
    char* value = text;
    char* name = getNextValue(value, '=');
    if (name == nullptr || *name == '\0')
        return;
    // Surrounding quotes vanish with the trimming; inner ones are left as spaces.
    replace(value, '"', ' ');
    setProperty(name, trim(value));
}

const char* OVProperties::getProperty(const char* name) const {
    ovAssert(name != nullptr, "name", 133, kSourceFile);
    const OVProperty* entry = find(name);
    return entry == nullptr ? nullptr : entry->getValue();
}

void OVProperties::setProperty(const char* name, const char* value) {
    ovAssert(name != nullptr, "name", 148, kSourceFile);
    ovAssert(value != nullptr, "value", 149, kSourceFile);
    if (OVProperty* entry = find(name))
        entry->setValue(value);
    else
        entries.push_back(std::make_unique<OVProperty>(name, value));
}

void OVProperties::remove(const char* name) {
    ovAssert(name != nullptr, "name", 165, kSourceFile);
    auto it = std::find_if(entries.begin(), entries.end(), [name](const auto& entry) {
        return strcmp(entry->getName(), name) == 0;
    });
    if (it != entries.end())
        entries.erase(it);
}

void OVProperties::clear() {
    entries.clear();
}

OVProperty* OVProperties::find(const char* name) const {
    for (const auto& entry : entries) {
        if (strcmp(entry->getName(), name) == 0)
            return entry.get();
    }
    return nullptr;
}

char* OVProperties::skipWhiteSpaces(char* s) {
    while (isWhiteSpace(*s))
        ++s;
    return s;
}

char* OVProperties::trim(char* s) {
    char* start = skipWhiteSpaces(s);
    char* end = start + strlen(start);
    while (end > start && isWhiteSpace(end[-1]))
        *--end = '\0';
    return start;
}

char* OVProperties::getNextValue(char*& s, char sep) {
    char* found = sep == '\0' ? nullptr : strchr(s, sep); // the terminator is no separator
    if (found == nullptr)
        return nullptr;
    *found = '\0';
    char* before = s;
    s = found + 1;
    return trim(before);
}

void OVProperties::replace(char* s, char from, char to) {
    for (; *s != '\0'; ++s) {
        if (*s == from)
            *s = to;
    }
}
