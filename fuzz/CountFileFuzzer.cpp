// The ".count" reader: every record it keeps has an identifier of one line, and the cache it
// read, written back in the file's format, reads back as the same cache.

#include "FuzzSupport.h"
#include "ResourceSizes.h"

#include <algorithm>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = bytesOf(data, size);
    std::istringstream in(text);
    CountCache known;
    readCountRecords(in, &known);

    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) +
                         (text.empty() || text.back() == '\n' ? 0 : 1);
    FUZZ_CHECK(known.size() <= lines / 3);

    // The writer's format: identifier, time and size, one per line, by descending identifier.
    std::string written;
    for (auto it = known.rbegin(); it != known.rend(); ++it) {
        FUZZ_CHECK(it->first.find('\n') == std::string::npos);
        written += it->first + "\n" + std::to_string(it->second.time) + "\n" +
                   std::to_string(it->second.size) + "\n";
    }
    std::istringstream again(written);
    CountCache reread;
    readCountRecords(again, &reread);
    FUZZ_CHECK(reread.size() == known.size());
    for (const auto& [id, entry] : known) {
        auto found = reread.find(id);
        FUZZ_CHECK(found != reread.end());
        FUZZ_CHECK(found->second.time == entry.time && found->second.size == entry.size);
    }
    return 0;
}
