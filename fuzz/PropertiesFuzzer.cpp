// The properties parser: the reader of a text and the reader of a file must both store, for
// every name, the value of its last line as the file format describes it.

#include "FuzzSupport.h"
#include "OVProperties.h"

#include <algorithm>
#include <map>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const std::string& s) {
    size_t first = 0;
    while (first < s.size() && isBlank(s[first]))
        ++first;
    size_t last = s.size();
    while (last > first && isBlank(s[last - 1]))
        --last;
    return s.substr(first, last - first);
}

// The pairs a text holds: lines split at the first '=', comments and nameless lines skipped,
// quotes turned into spaces, blanks around name and value dropped. A line ends at a NUL byte for
// the parser, which works on C strings.
std::map<std::string, std::string> pairsOf(const std::string& text) {
    std::map<std::string, std::string> pairs;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find('\0'));
        std::string content = trimmed(line);
        size_t equals = line.find('=');
        if (content.empty() || content[0] == '#' || equals == std::string::npos)
            continue;
        std::string name = trimmed(line.substr(0, equals));
        std::string value = line.substr(equals + 1);
        std::replace(value.begin(), value.end(), '"', ' ');
        if (!name.empty())
            pairs[name] = trimmed(value);
    }
    return pairs;
}

void checkHolds(const OVProperties& table, const std::map<std::string, std::string>& pairs) {
    for (const auto& [name, value] : pairs) {
        const char* stored = table.getProperty(name.c_str());
        FUZZ_CHECK(stored != nullptr);
        FUZZ_CHECK(value == stored);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file("properties");
    const std::string text = bytesOf(data, size);
    const std::map<std::string, std::string> pairs = pairsOf(text);

    OVProperties fromText;
    fromText.loadText(text);
    checkHolds(fromText, pairs);

    OVProperties fromFile;
    FUZZ_CHECK(fromFile.load(file.hold(data, size).c_str()));
    checkHolds(fromFile, pairs);

    return 0;
}
