#include "JavaBindings.h"

#include <cstddef>
#include <vector>

namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the sequence of modified UTF-8 (one to three bytes, NUL as C0 80, surrogates as
// three bytes each) that starts at text, or 0 when none does.
size_t modifiedSequence(const unsigned char* text) {
    if (text[0] < 0x80)
        return 1;
    if ((text[0] & 0xE0) == 0xC0)
        return continuation(text[1]) ? 2 : 0;
    if ((text[0] & 0xF0) == 0xE0)
        return continuation(text[1]) && continuation(text[2]) ? 3 : 0;
    return 0;
}

bool isModifiedUtf8(const unsigned char* text) {
    for (size_t at = 0; text[at] != 0;) {
        size_t length = modifiedSequence(text + at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

// Decodes text into UTF-16 units: modified UTF-8 sequences as they are, standard four-byte
// sequences as surrogate pairs, any other byte as U+FFFD.
std::vector<jchar> decodeLeniently(const unsigned char* text) {
    std::vector<jchar> units;
    for (size_t at = 0; text[at] != 0;) {
        const unsigned char* s = text + at;
        size_t length = modifiedSequence(s);
        if (length == 1) {
            units.push_back(s[0]);
        } else if (length == 2) {
            units.push_back(static_cast<jchar>(((s[0] & 0x1F) << 6) | (s[1] & 0x3F)));
        } else if (length == 3) {
            units.push_back(
                static_cast<jchar>(((s[0] & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F)));
        } else if ((s[0] & 0xF8) == 0xF0 && continuation(s[1]) && continuation(s[2]) &&
                   continuation(s[3])) {
            unsigned long point = ((s[0] & 0x07UL) << 18) | ((s[1] & 0x3FUL) << 12) |
                                  ((s[2] & 0x3FUL) << 6) | (s[3] & 0x3FUL);
            if (point < 0x10000 || point > 0x10FFFF) {
                units.push_back(0xFFFD);
                length = 1;
            } else {
                point -= 0x10000;
                units.push_back(static_cast<jchar>(0xD800 + (point >> 10)));
                units.push_back(static_cast<jchar>(0xDC00 + (point & 0x3FF)));
                length = 4;
            }
        } else {
            units.push_back(0xFFFD);
            length = 1;
        }
        at += length;
    }
    return units;
}

} // namespace

jstring newJavaString(JNIEnv* env, const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (isModifiedUtf8(bytes))
        return env->NewStringUTF(text);
    std::vector<jchar> units = decodeLeniently(bytes);
    return env->NewString(units.data(), static_cast<jsize>(units.size()));
}
