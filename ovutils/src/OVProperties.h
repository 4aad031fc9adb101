#ifndef OVUTILS_OVPROPERTIES_H
#define OVUTILS_OVPROPERTIES_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// One 'name = value' entry. Both strings are private copies, made on construction and on every
// change, and freed with the entry.
class OVProperty {
public:
    // Null name or value throws OVAssertionException ("str").
    OVProperty(const char* name, const char* value);
    OVProperty(const OVProperty&) = delete;
    OVProperty& operator=(const OVProperty&) = delete;

    // Replaces the value by a copy of the given one. Null value throws OVAssertionException.
    void setValue(const char* value);
    const char* getName() const { return name.get(); }
    const char* getValue() const { return value.get(); }

    // A new array (length + 1 bytes) holding a copy of str, to be freed with delete[]. Null str
    // and a failed allocation throw OVAssertionException.
    static char* copy(const char* str);

private:
    std::unique_ptr<char[]> name;
    std::unique_ptr<char[]> value;
};

// A table of name/value pairs read from 'name = value' text files. Names are unique and compared
// byte for byte; entries keep the order of their first insertion. The table owns its entries.
//
// File format read by load: one pair per line, split at the first '='. Lines that are empty, start
// with '#' after leading white space, have no '=' or have an empty name are skipped. Every '"' in
// the value becomes a space, then white space around name and value is removed. A later line with
// the same name replaces the earlier value.
class OVProperties {
public:
    OVProperties();
    ~OVProperties();
    OVProperties(const OVProperties&) = delete;
    OVProperties& operator=(const OVProperties&) = delete;

    // Adds the pairs of the file to the table (without clearing it first). Returns false, without
    // exception or log, when the file cannot be opened. A read error ends the reading like the end
    // of the file. Lines are read whole whatever their length.
    bool load(const char* filename);
    // Adds the pairs of a text in the file format above, for a file whose bytes were read already.
    void loadText(const std::string& text);
    // The value stored under exactly this name, or null. The string belongs to the table and is
    // valid until the entry is changed or removed or the table is cleared or destroyed.
    const char* getProperty(const char* name) const;
    // Replaces the value of the entry with this name, or appends a new entry.
    void setProperty(const char* name, const char* value);
    // Removes the entry with this name, if there is one.
    void remove(const char* name);
    void clear();

    // Text helpers of the parser, working in place on a writable NUL-terminated buffer. White
    // space is space, \t, \n, \v, \f and \r; bytes from 0x80 up never are.

    // The first character of s that is not white space (the terminating NUL if there is none).
    static char* skipWhiteSpaces(char* s);
    // Like skipWhiteSpaces, and overwrites the trailing white space with NULs.
    static char* trim(char* s);
    // When sep occurs in s: ends the text at the first sep, advances s past it and returns the
    // trimmed text before it. Otherwise returns null and leaves s unchanged.
    static char* getNextValue(char*& s, char sep);
    // Replaces every from in s by to.
    static void replace(char* s, char from, char to);

private:
    // Stores the pair of one line of a file, or nothing when the line holds no pair.
    void parseLine(char* line);
    // The entry with this name, or null.
    OVProperty* find(const char* name) const;

    std::vector<std::unique_ptr<OVProperty>> entries;
};

#endif
