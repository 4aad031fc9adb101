// Options, operands and the checks the driver makes before the scan.
#include <filesystem>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class CommandLineTest : public RelocateTest {};

const std::string kNoDictionary = "DCMDICTPATH=/nonexistent";

RunOptions withEnv(const std::vector<std::string>& env) {
    RunOptions options;
    options.env = env;
    return options;
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) {
        text += " " + arg;
    }
    return text;
}

TEST_F(CommandLineTest, UsageWithoutOperandsOrWithHelpEvenWithoutDictionary) {
    writeDicom(ctImage(), at("src/f1"));
    const std::string before = treeListing(tmp.path());
    for (const std::vector<std::string>& env : {std::vector<std::string>{}, {kNoDictionary}}) {
        SCOPED_TRACE(env.empty() ? "dictionary" : "no dictionary");
        expectRun(run({}, withEnv(env)), kUsage, "Error: No source directory given\n", 1);
        expectRun(run({"-d"}, withEnv(env)), kUsage, "Error: No source directory given\n", 1);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"-h", "src"},
                                                     {"-d", "-h"},
                                                     {"-dh"},
                                                     {"-h", "src", "dst"},
                                                     {"-d", "src", "-h"}}) {
            SCOPED_TRACE(joined(args));
            expectRun(run(args, withEnv(env)), kUsage, "", 0);
        }
    }
    EXPECT_EQ(treeListing(tmp.path()), before);
}

TEST_F(CommandLineTest, SpellingsOfOneRun) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"src", "dst"}, ""},
        {{"src/", "dst"}, ""},
        {{"src", "dst/"}, ""},
        {{"-t", "x", "src", "dst"}, ""},
        {{"src", "dst", "ignored"}, ""},
        {{"-q", "src", "dst"}, "dcmrelocate: invalid option -- 'q'\n"},
    };
    for (const auto& [args, getoptMessage] : cases) {
        SCOPED_TRACE(joined(args));
        writeDicom(ctImage(), at("src/f1"));
        expectRun(run(args), "201103/15/1.2.3\n", getoptMessage + kOneFileFiled, 0);
        EXPECT_TRUE(exists(at("dst/201103/15/1.2.3/CT.1.2.3.1")));
        EXPECT_FALSE(exists(at("ignored")));
        fs::remove_all(at("dst"));
    }
}

TEST_F(CommandLineTest, SourceThatCannotBeOpenedFailsTheRun) {
    const std::string cannotOpen = "Error: Cannot open the source directory ";
    const std::string why = " (No such file or directory)\n" + closing(0);
    expectRun(run({"/", "dst"}), "", "Info: Processing directory \n" + cannotOpen + why, 3);
    expectRun(run({"missing", "dst"}), "",
              "Info: Processing directory missing\n" + cannotOpen + "missing" + why, 3);
    EXPECT_TRUE(listingOrder(tmp.path()).empty());
    // A source holding no DICOM file is no failure.
    fs::create_directory(at("empty"));
    expectRun(run({"empty", "dst"}), "", "Info: Processing directory empty\n" + closing(0), 0);
    // A directory below the source that cannot be read may hold files of the study.
    writeDicom(ctImage(), at("src/f1"));
    writeText(at("src/notes"), "plain text\n");
    fs::create_symlink("f1", at("src/link"));
    fs::create_directories(at("src/locked"));
    fs::create_directories(at("dst"));
    chmod(tmp.path().c_str(), 0755);
    for (const char* dir : {"src", "dst"})
        chmod(at(dir).c_str(), 0777);
    chmod(at("src/locked").c_str(), 0700); // the walker runs as nobody
    RunOptions asNobody;
    asNobody.prepare = [] { return setgid(65534) == 0 && setuid(65534) == 0; };
    RunResult result = run({"src", "dst"}, asNobody);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Error: Cannot open src/locked (Permission denied) -- skipping\n"),
              std::string::npos);
    EXPECT_NE(result.err.find("\nInfo: 1 filed, 2 skipped (cannot be parsed: 1, symbolic link: 1), "
                              "0 failed, 1 directory not read\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.status, 2);
    fs::create_directories(at("src/locked2"));
    chmod(at("src/locked2").c_str(), 0700);
    result = run({"src", "dst"}, asNobody);
    EXPECT_NE(result.err.find(", 0 failed, 2 directories not read\n"), std::string::npos);
    EXPECT_EQ(result.status, 2);
}

TEST_F(CommandLineTest, OneOperandFilesBelowTheCurrentDirectory) {
    writeDicom(ctImage(), at("src/f1"));
    expectRun(run({"src"}), "201103/15/1.2.3\n",
              "Info: Processing directory src\n"
              "Info: Processing file src/f1\n"
              "Info: Making sure 201103/15/1.2.3/ exists\n"
              "Info: Creating 201103\n"
              "Info: Creating 201103/15\n"
              "Info: Creating 201103/15/1.2.3\n"
              "Info: Moving src/f1 to 201103/15/1.2.3/CT.1.2.3.1\n" +
                  closing(1),
              0);
    EXPECT_TRUE(exists(at("201103/15/1.2.3/CT.1.2.3.1")));
}

TEST_F(CommandLineTest, OneOperandWithoutDateStaysBelowTheCurrentDirectory) {
    SampleSpec sample = ctImage();
    sample.studyDate.reset();
    writeDicom(sample, at("src/f1"));
    const std::string err = "Info: Processing directory src\n"
                            "Info: Processing file src/f1\n"
                            "Info: Making sure ./1.2.3/ exists\n"
                            "Info: Creating .\n"
                            "Info: Creating ./1.2.3\n"
                            "Info: Moving src/f1 to ./1.2.3/CT.1.2.3.1\n";
    // "." exists, so the dry run makes no directory for it.
    expectRun(run({"-d", "src"}), "mkdir ./1.2.3\nmv src/f1 ./1.2.3/CT.1.2.3.1\n/1.2.3\n",
              err + closing(1, "0 skipped", 0, true), 0);
    expectRun(run({"src"}), "/1.2.3\n", err + closing(1), 0);
    EXPECT_TRUE(exists(at("1.2.3/CT.1.2.3.1")));
}

TEST_F(CommandLineTest, MissingDictionaryStopsBeforeTheScan) {
    writeDicom(ctImage(), at("src/f1"));
    const std::string before = treeListing(tmp.path());
    expectRun(run({"src", "dst"}, withEnv({kNoDictionary})), "",
              "Error: The DICOM data dictionary could not be loaded (set DCMDICTPATH to the "
              "dictionary file dicom.dic) -- nothing done\n",
              1);
    EXPECT_EQ(treeListing(tmp.path()), before);
}

} // namespace
