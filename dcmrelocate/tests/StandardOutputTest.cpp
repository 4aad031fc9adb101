// Standard output that cannot be written: the lost line is named and the run fails.
#include <fcntl.h>
#include <unistd.h>

#include "TestSupport.h"

namespace {

class StandardOutputTest : public RelocateTest {};

struct BrokenOutput {
    const char* what;
    std::function<bool()> prepare; // makes the child's standard output fail
    std::string reason;
};

const BrokenOutput kBrokenOutputs[] = {
    {"full device",
     [] {
         const int fd = open("/dev/full", O_WRONLY);
         return fd >= 0 && dup2(fd, 1) == 1;
     },
     "No space left on device"},
    {"closed pipe",
     [] {
         int ends[2];
         return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 1) == 1;
     },
     "Broken pipe"},
};

RunOptions into(const BrokenOutput& output) {
    RunOptions options;
    options.prepare = output.prepare;
    return options;
}

std::string cannotWrite(const std::string& what, const BrokenOutput& output) {
    return "Error: Cannot write " + what + " to standard output (" + output.reason + ")\n";
}

TEST_F(StandardOutputTest, LostResultLineFailsTheRunAndTheFilesStayFiled) {
    for (const BrokenOutput& output : kBrokenOutputs) {
        SCOPED_TRACE(output.what);
        writeDicom(ctImage(), at("src/f1"));
        expectRun(run({"src", "dst"}, into(output)), "",
                  kOneFileFiled + cannotWrite("the result line \"201103/15/1.2.3\"", output), 1);
        EXPECT_TRUE(exists(at("dst/201103/15/1.2.3/CT.1.2.3.1")));
        EXPECT_FALSE(exists(at("src/f1")));
        std::filesystem::remove_all(at("dst"));
    }
}

TEST_F(StandardOutputTest, UsageAndDryRunFailOnlyWhenTheyWrite) {
    const BrokenOutput& full = kBrokenOutputs[0];
    const std::string usageLost =
        cannotWrite("the usage text \"" + kUsage.substr(0, kUsage.size() - 1) + "\"", full);
    expectRun(run({"-h"}, into(full)), "", usageLost, 1);
    expectRun(run({}, into(full)), "", "Error: No source directory given\n" + usageLost, 1);

    // The first lost command is named; the dry run goes on without writing more, and the
    // result line is not written either.
    writeDicom(ctImage(), at("src/f1"));
    const std::string before = treeListing(tmp.path());
    std::string err = kOneFileMoving + closing(1, "0 skipped", 0, true);
    const std::string firstCreate = "Info: Creating dst\n";
    err.insert(err.find(firstCreate) + firstCreate.size(),
               cannotWrite("the command \"mkdir dst\"", full));
    expectRun(run({"-d", "src", "dst"}, into(full)), "", err, 1);
    EXPECT_EQ(treeListing(tmp.path()), before);

    // A run that writes nothing on standard output is not affected.
    writeText(at("src/f1"), "plain text\n");
    expectRun(run({"src", "dst"}, into(full)), "", kOneFileUnparsed, 0);
}

} // namespace
