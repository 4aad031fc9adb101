// The ".dirty" reader: the set read from a text holds exactly its lines, and the text written
// for a set reads back as the same set.

#include "FuzzSupport.h"
#include "OVDirtyFlagHandler.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = bytesOf(data, size);
    const std::set<std::string> identifiers = OVDirtyFlagHandler::parseSetText(text);

    std::set<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        lines.insert(text.substr(start, end - start));
        start = end + 1;
    }
    FUZZ_CHECK(identifiers == lines);

    const std::string written = OVDirtyFlagHandler::setText(identifiers);
    FUZZ_CHECK(OVDirtyFlagHandler::parseSetText(written) == identifiers);
    FUZZ_CHECK(written.empty() || written.back() == '\n');
    return 0;
}
