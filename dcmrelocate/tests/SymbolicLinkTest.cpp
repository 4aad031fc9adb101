// Symbolic links in the source tree: reported once, never followed, never moved.
#include <filesystem>
#include <map>
#include <unistd.h>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class SymbolicLinkTest : public RelocateTest {
protected:
    // Makes each link (relative to the test directory) pointing to its target, as written.
    void makeLinks(const std::map<std::string, std::string>& links) const {
        for (const auto& [link, target] : links) {
            fs::create_directories(fs::path(at(link)).parent_path());
            ASSERT_EQ(symlink(target.c_str(), at(link).c_str()), 0) << link;
        }
    }

    // Every link is still a link in its place, with its target unchanged.
    void expectLinksInPlace(const std::map<std::string, std::string>& links) const {
        for (const auto& [link, target] : links) {
            std::error_code error;
            EXPECT_EQ(fs::read_symlink(at(link), error).string(), target) << link;
        }
    }
};

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string linkWarning(const std::string& link) {
    return "Warning: Symbolic link " + link + " is not followed -- skipping\n";
}

// A run killed by this alarm (inherited across exec) has walked round and round.
RunOptions endingWithin(unsigned seconds) {
    RunOptions options;
    options.prepare = [seconds] {
        alarm(seconds);
        return true;
    };
    return options;
}

TEST_F(SymbolicLinkTest, LinksToFilesDirectoriesAndNothingAreWarnedAndStay) {
    writeDicom(ctImage(), at("src/f1"));
    // Outside the source: a directory holding a file of the same study and a plain file, and a
    // DICOM file of the study on its own.
    writeDicom(ctImage("1.2.3.7"), at("outside/f7"));
    writeText(at("outside/notes"), "keep me\n");
    writeDicom(ctImage("1.2.3.8"), at("lone/f8"));
    const std::map<std::string, std::string> links = {
        {"src/outdir", "../outside"},      {"src/absolute", at("outside")},
        {"src/sub/lone", "../../lone/f8"}, {"src/sub/again", "../f1"},
        {"src/dangling", "nowhere"},
    };
    makeLinks(links);
    const std::string outsideBefore = treeListing(at("outside")) + treeListing(at("lone"));
    const std::string sourceBefore = treeListing(at("src"));

    const auto expectOnlyF1Walked = [&](const RunResult& result) {
        EXPECT_EQ(result.status, 0);
        for (const auto& [link, target] : links) {
            EXPECT_EQ(occurrences(result.err, linkWarning(link)), 1u) << link;
            EXPECT_EQ(result.out.find(link), std::string::npos) << link;
        }
        EXPECT_EQ(occurrences(result.err, "Info: Processing directory "), 2u) << result.err;
        EXPECT_EQ(occurrences(result.err, "Info: Processing file "), 1u) << result.err;
        EXPECT_EQ(occurrences(result.err, "Info: Moving "), 1u) << result.err;
        EXPECT_EQ(occurrences(result.err, "Warning: "), links.size()) << result.err;
    };

    const RunResult dry = run({"-d", "src", "dst"});
    expectOnlyF1Walked(dry);
    EXPECT_EQ(dry.out, kOneFileDryRun);
    EXPECT_EQ(treeListing(at("src")), sourceBefore);

    const RunResult filed = run({"src", "dst"});
    expectOnlyF1Walked(filed);
    EXPECT_EQ(filed.out, "201103/15/1.2.3\n");
    EXPECT_EQ(occurrences(filed.err, closing(1, "5 skipped (symbolic link: 5)")), 1u);
    EXPECT_EQ(listingOrder(at("dst/201103/15/1.2.3")), std::vector<std::string>{"CT.1.2.3.1"});
    EXPECT_FALSE(exists(at("src/f1")));
    expectLinksInPlace(links);
    EXPECT_EQ(treeListing(at("outside")) + treeListing(at("lone")), outsideBefore);
}

TEST_F(SymbolicLinkTest, LinksBackToAnAncestorDoNotMakeTheWalkGoRound) {
    writeDicom(ctImage(), at("src/a/f1"));
    const std::map<std::string, std::string> links = {
        {"src/a/up", ".."},
        {"src/a/top", at("src")},
        {"src/a/self", "."},
    };
    makeLinks(links);
    const RunResult result = run({"src", "dst"}, endingWithin(10));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "201103/15/1.2.3\n");
    for (const auto& [link, target] : links) {
        EXPECT_EQ(occurrences(result.err, linkWarning(link)), 1u) << link;
    }
    EXPECT_EQ(occurrences(result.err, "Info: Processing directory "), 2u) << result.err;
    // Two directories, the warnings, one file read, five lines making the study directory, one
    // move, the closing line: nothing else.
    EXPECT_EQ(occurrences(result.err, "\n"), 2u + links.size() + 1u + 5u + 1u + 1u) << result.err;
    EXPECT_TRUE(exists(at("dst/201103/15/1.2.3/CT.1.2.3.1")));
    expectLinksInPlace(links);
}

} // namespace
