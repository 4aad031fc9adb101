// Moves never replace an existing file, and fail cleanly across file systems.
#include <cerrno>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "MoveNoReplace.h"
#include "TestSupport.h"

namespace {

class MoveTest : public RelocateTest {};

TEST(MoveNoReplaceTest, RefusesAnExistingNameAndMovesOtherwise) {
    for (const auto move : {&moveNoReplace, &linkThenUnlink}) {
        TempDir dir;
        const std::string a = dir.path() + "/a", b = dir.path() + "/b", c = dir.path() + "/c";
        writeText(a, "A");
        writeText(b, "B");
        errno = 0;
        EXPECT_FALSE(move(a, b));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_FALSE(move(a, dir.path() + "/missing/c"));
        EXPECT_EQ(readFile(a), "A");
        EXPECT_EQ(readFile(b), "B");
        EXPECT_TRUE(move(a, c));
        EXPECT_FALSE(exists(a));
        EXPECT_EQ(readFile(c), "A");
    }
}

TEST_F(MoveTest, FilingAStudyTwiceKeepsTheFirstCopy) {
    SampleSpec first = ctImage();
    first.patientName = "First";
    writeDicom(first, at("src/f1"));
    const std::string firstContent = readFile(at("src/f1"));
    expectRun(run({"src", "dst"}), "201103/15/1.2.3\n", kOneFileFiled, 0);

    SampleSpec second = ctImage();
    second.patientName = "Second";
    writeDicom(second, at("src/f1"));
    const std::string secondContent = readFile(at("src/f1"));
    const std::string dryOut = run({"-d", "src", "dst"}).out;
    EXPECT_NE(dryOut.find("\nmv src/f1 dst/201103/15/1.2.3/CT.1.2.3.1\n"), std::string::npos);
    expectRun(run({"src", "dst"}), "201103/15/1.2.3\n",
              kOneFileFiled + "Error: Can't move src/f1 to dst/201103/15/1.2.3/CT.1.2.3.1\n", 0);
    EXPECT_EQ(readFile(at("dst/201103/15/1.2.3/CT.1.2.3.1")), firstContent);
    EXPECT_EQ(readFile(at("src/f1")), secondContent);
}

TEST_F(MoveTest, SecondFileOfTheSameNameStays) {
    for (const char* name : {"f1", "f2"}) {
        SampleSpec sample = ctImage();
        sample.patientName = name;
        writeDicom(sample, at("src/") + name);
    }
    const std::vector<std::string> names = listingOrder(at("src"));
    const std::string firstContent = readFile(at("src/" + names[0]));
    const std::string secondContent = readFile(at("src/" + names[1]));
    const std::string target = "dst/201103/15/1.2.3/CT.1.2.3.1";
    expectRun(run({"src", "dst"}), "201103/15/1.2.3\n",
              lines({
                  "Info: Processing directory src",
                  "Info: Processing file src/" + names[0],
                  "Info: Processing file src/" + names[1],
              }) + kMakeStudyDir +
                  lines({
                      "Info: Moving src/" + names[0] + " to " + target,
                      "Info: Moving src/" + names[1] + " to " + target,
                      "Error: Can't move src/" + names[1] + " to " + target,
                  }),
              0);
    EXPECT_EQ(readFile(at(target)), firstContent);
    EXPECT_FALSE(exists(at("src/" + names[0])));
    EXPECT_EQ(readFile(at("src/" + names[1])), secondContent);
}

TEST_F(MoveTest, TargetOnAnotherFileSystemMovesNothing) {
    writeDicom(ctImage("1.2.3.1"), at("src/f1"));
    writeDicom(ctImage("1.2.3.2"), at("src/f2"));
    ASSERT_EQ(mkdir(at("dst").c_str(), 0755), 0);
    // The tmpfs on dst exists only in the child's own mount namespace and goes with it.
    const std::string mountPoint = at("dst");
    RunOptions options;
    options.prepare = [&mountPoint] {
        return unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") == 0;
    };
    const RunResult result = run({"src", "dst"}, options);
    if (result.status == kPrepareFailed && result.err.empty()) {
        GTEST_SKIP() << "no permission for a private mount namespace";
    }
    std::string processed;
    std::string moves;
    for (const std::string& name : listingOrder(at("src"))) {
        const std::string target = "dst/201103/15/1.2.3/CT.1.2.3." + name.substr(1);
        processed += lines({"Info: Processing file src/" + name});
        moves += lines({"Info: Moving src/" + name + " to " + target,
                        "Error: Can't move src/" + name + " to " + target});
    }
    expectRun(result, "201103/15/1.2.3\n",
              "Info: Processing directory src\n" + processed + kMakeStudyDir + moves, 0);
    EXPECT_TRUE(exists(at("src/f1")));
    EXPECT_TRUE(exists(at("src/f2")));
    EXPECT_TRUE(listingOrder(mountPoint).empty()); // the directories were made on the tmpfs
}

} // namespace
