#ifndef DCMRELOCATE_TESTS_TESTSUPPORT_H
#define DCMRELOCATE_TESTS_TESTSUPPORT_H

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SampleFile.h"

// What a run of the program left: both streams and the exit status (-1 if it did not exit).
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

struct RunOptions {
    std::string cwd;              // empty: the test's own
    std::vector<std::string> env; // NAME=value settings over the inherited environment
    // Runs in the child before exec; false ends the child with kPrepareFailed.
    std::function<bool()> prepare;
};

inline constexpr int kPrepareFailed = 125;

// Runs dcmrelocate (argv[0] "dcmrelocate") with the given arguments and waits for it.
RunResult runRelocate(const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh directory below TMPDIR or /tmp, removed with all its contents at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void writeText(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);
inline bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}
// Every path below root with the contents of its files, sorted: equal before and after a run
// means the run changed nothing on disk.
std::string treeListing(const std::string& root);
// The entry names of a directory in the order readdir gives them, which is the order of the walk.
std::vector<std::string> listingOrder(const std::string& dir);

// A CT image of study 1.2.3 with Study Date 20040315 (filed under 201103/15).
SampleSpec ctImage(const std::string& sopInstanceUID = "1.2.3.1");
// Writes the sample file, creating missing parent directories; throws when it cannot.
void writeDicom(const SampleSpec& sample, const std::string& path);

// A temporary working directory; operands are given relative to it so that messages stay short.
class RelocateTest : public ::testing::Test {
protected:
    std::string at(const std::string& relative) const { return tmp.path() + "/" + relative; }
    RunResult run(const std::vector<std::string>& args, RunOptions options = {}) const {
        if (options.cwd.empty()) {
            options.cwd = tmp.path();
        }
        return runRelocate(args, options);
    }

    TempDir tmp;
};

inline void expectRun(const RunResult& result, const std::string& out, const std::string& err,
                      int status) {
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, status);
}

// The lines, each ended by a line feed.
inline std::string lines(std::initializer_list<std::string> texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += text + "\n";
    }
    return joined;
}

inline const std::string kUsage = " Usage: dcmrelocate [-d] sourceDir [targetDir] \n";

// Standard error of `dcmrelocate src dst` making the directory of study 1.2.3 with a date that
// gives 201103/15; the moves follow.
inline const std::string kMakeStudyDir = "Info: Making sure dst/201103/15/1.2.3/ exists\n"
                                         "Info: Creating dst\n"
                                         "Info: Creating dst/201103\n"
                                         "Info: Creating dst/201103/15\n"
                                         "Info: Creating dst/201103/15/1.2.3\n";

// The closing line of a run (or dry run) that filed `filed` files, skipped and failed some.
inline std::string closing(int filed, const std::string& skipped = "0 skipped", int failed = 0,
                           bool dry = false) {
    return (dry ? "Info: Dry run: " : "Info: ") + std::to_string(filed) +
           (dry ? " to be filed, " : " filed, ") + skipped + ", " + std::to_string(failed) +
           (dry ? " refused\n" : " failed\n");
}

// Standard error of `dcmrelocate [-d] src dst` up to its closing line, for the single file src/f1
// written from ctImage().
inline const std::string kOneFileMoving =
    "Info: Processing directory src\nInfo: Processing file src/f1\n" + kMakeStudyDir +
    "Info: Moving src/f1 to dst/201103/15/1.2.3/CT.1.2.3.1\n";
// Standard error of `dcmrelocate src dst` filing that file.
inline const std::string kOneFileFiled = kOneFileMoving + closing(1);
// Standard output of `dcmrelocate -d src dst` for that file: the commands, then the study's place.
inline const std::string kOneFileDryRun = lines({
    "mkdir dst",
    "mkdir dst/201103",
    "mkdir dst/201103/15",
    "mkdir dst/201103/15/1.2.3",
    "mv src/f1 dst/201103/15/1.2.3/CT.1.2.3.1",
    "201103/15/1.2.3",
});
// Standard error of `dcmrelocate src dst` when src/f1 is its only file and cannot be parsed.
inline const std::string kOneFileUnparsed = lines({
                                                "Info: Processing directory src",
                                                "Info: Processing file src/f1",
                                                "Warning: Cannot parse file src/f1 -- skipping ",
                                            }) +
                                            closing(0, "1 skipped (cannot be parsed: 1)");

#endif
