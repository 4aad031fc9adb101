// toResourceID and the lock file named after it: the id is the prefix, the repository and the
// resource with every "/" made "_", and its lock file name always fits in a file name, unchanged
// when it fits as it is. The input is the repository path, a NUL byte and the resource.

#include "FuzzSupport.h"
#include "OVSemaphore.h"

#include <algorithm>
#include <memory>

namespace {

bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = bytesOf(data, size);
    const size_t split = std::min(input.find('\0'), input.size());
    const std::string repository = input.substr(0, split);
    const std::string resource = input.substr(std::min(split + 1, input.size())).c_str();

    std::unique_ptr<char[]> id(toResourceID(repository.c_str(), resource.c_str()));
    std::string expected = "OVRepositoryHandler-" + repository + "-" + resource;
    std::replace(expected.begin(), expected.end(), '/', '_');
    FUZZ_CHECK(expected == id.get());
    FUZZ_CHECK(resourceLockName(repository, resource) == expected);

    const std::string name = lockFileName(expected);
    FUZZ_CHECK(name.size() <= kLockFileNameMax);
    FUZZ_CHECK(name.find('/') == std::string::npos);
    const std::string plain = "semaphore_" + expected;
    if (plain.size() <= kLockFileNameMax) {
        FUZZ_CHECK(name == plain);
    } else {
        FUZZ_CHECK(name.size() == kLockFileNameMax);
        FUZZ_CHECK(name.compare(0, 238, plain, 0, 238) == 0 && name[238] == '-');
        FUZZ_CHECK(std::all_of(name.begin() + 239, name.end(), isLowerHex));
    }
    return 0;
}
