// convertToHashed: a path with a "." or ".." name is refused; every other path keeps its names
// in order, each name followed by "/" below three hash directories of characters of the hash
// table, the same for the same name wherever it stands, and the text after the last "/" as it is.

#include "FuzzSupport.h"
#include "OVHash.h"
#include "OVSyslog.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

// Refused paths are logged; the messages are dropped rather than sent to the host's log.
void silenceSyslog() {
    OVSyslogSink& sink = ovSyslogSink();
    sink.openlog = [](const char*, int, int) {};
    sink.vsyslog = [](int, const char*, va_list) {};
    sink.closelog = [] {};
}

std::vector<std::string> namesOf(const std::string& path) {
    std::vector<std::string> names;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool isHashLevel(const std::string& text, size_t at) {
    return at + 3 <= text.size() && std::strchr(sHashTable, text[at]) != nullptr &&
           std::strchr(sHashTable, text[at + 1]) != nullptr && text[at] != '\0' &&
           text[at + 1] != '\0' && text[at + 2] == '/';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (silenceSyslog(), true);
    (void)silenced;
    const std::string path = bytesOf(data, size).c_str(); // the library takes C strings
    const std::vector<std::string> names = namesOf(path);
    bool refused = false;
    for (const std::string& name : names)
        refused = refused || name == "." || name == "..";

    std::unique_ptr<char[]> hashed(convertToHashed(path.c_str()));
    FUZZ_CHECK((hashed == nullptr) == refused);
    if (refused)
        return 0;

    const std::string result = hashed.get();
    std::map<std::string, std::string> hashOfName;
    size_t at = 0;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (names[i].empty())
            continue; // empty names add nothing
        for (int level = 0; level < 3; ++level)
            FUZZ_CHECK(isHashLevel(result, at + 3 * static_cast<size_t>(level)));
        const std::string hash = result.substr(at, 9);
        auto [known, first] = hashOfName.emplace(names[i], hash);
        FUZZ_CHECK(first || known->second == hash);
        at += 9;
        FUZZ_CHECK(result.compare(at, names[i].size() + 1, names[i] + "/") == 0);
        at += names[i].size() + 1;
    }
    FUZZ_CHECK(result.substr(at) == names.back());
    return 0;
}
