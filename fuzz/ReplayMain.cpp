// Runs a fuzz target once over every input file named on the command line, directly or as the
// files of a named directory, in name order, so that the seeds and the inputs that once broke the
// code are regression tests of every build. Fails when no input was found.

#include "FuzzSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputsOf(const fs::path& argument) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(argument)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(argument))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
    } else {
        inputs.push_back(argument);
    }
    return inputs;
}

std::vector<uint8_t> contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        std::exit(1);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char* argv[]) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& input : inputsOf(argv[i])) {
            std::vector<uint8_t> data = contentOf(input);
            // A copy of exactly the input's size, so that a read past its end is seen by the
            // address sanitizer as it is under the fuzzer.
            std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size()]);
            std::copy(data.begin(), data.end(), exact.get());
            LLVMFuzzerTestOneInput(exact.get(), data.size());
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
