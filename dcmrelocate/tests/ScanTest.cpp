// The walk of the source tree and the placement of the study, run end to end.
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class ScanTest : public RelocateTest {};

// Overwrites every "@@" in the file with padding (space, NUL): the toolkit writes no blank UID.
// A "##" cuts the file off there, inside the value that holds it.
void applyMarkers(const std::string& path) {
    std::string content = readFile(path);
    for (size_t marker = content.find("@@"); marker != std::string::npos;
         marker = content.find("@@", marker)) {
        content.replace(marker, 2, " \0", 2);
    }
    content = content.substr(0, content.find("##"));
    writeText(path, content);
}

TEST_F(ScanTest, FileWithoutMetaHeaderIsFiledLikeAnyOther) {
    SampleSpec sample = ctImage();
    sample.metaHeader = false;
    writeDicom(sample, at("src/f1"));
    const std::string content = readFile(at("src/f1"));
    expectRun(run({"src", "dst"}), "201103/15/1.2.3\n", kOneFileFiled, 0);
    EXPECT_FALSE(exists(at("src/f1")));
    EXPECT_EQ(readFile(at("dst/201103/15/1.2.3/CT.1.2.3.1")), content);
}

TEST_F(ScanTest, LatestDateOfAllFilesWinsWhateverTheOrder) {
    // The files are named first and filled in walk order, so that the latest date is met first
    // in one round and last in the other; a file without a date must not reset what was found.
    const std::optional<std::string> latestFirst[] = {"20040315", "20030101", std::nullopt};
    const std::optional<std::string> latestLast[] = {std::nullopt, "20030101", "20040315"};
    for (const auto* dates : {latestFirst, latestLast}) {
        fs::remove_all(at("src"));
        fs::remove_all(at("dst"));
        fs::create_directory(at("src"));
        for (const char* name : {"f1", "f2", "f3"}) {
            writeText(at("src/") + name, "");
        }
        const std::vector<std::string> names = listingOrder(at("src"));
        std::string processed;
        std::string moved;
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string sop = "1.2.3." + std::to_string(i + 1);
            SampleSpec sample = ctImage(sop);
            sample.studyDate = dates[i];
            writeDicom(sample, at("src/" + names[i]));
            processed += lines({"Info: Processing file src/" + names[i]});
            moved += lines({"Info: Moving src/" + names[i] + " to dst/201103/15/1.2.3/CT." + sop});
        }
        ASSERT_EQ(listingOrder(at("src")), names);
        expectRun(
            run({"src", "dst"}), "201103/15/1.2.3\n",
            "Info: Processing directory src\n" + processed + kMakeStudyDir + moved + closing(3), 0);
        EXPECT_EQ(listingOrder(at("dst/201103/15/1.2.3")).size(), 3u);
    }
}

TEST_F(ScanTest, TheLaterRetentionLimitNamesTheStudyDirectory) {
    // Study date + 7 years against birth date + 18 years, a day apart either way; a 29 February
    // limit is kept as it is and counts as the day after 28 February. A second file of the study
    // with an earlier limit changes nothing: the latest limit of all files counts.
    const struct {
        const char* studyDate;
        const char* birthDate;
        const char* expected;
        const char* secondStudyDate = nullptr;
    } rows[] = {
        {"20040315", "19930316", "201103/16"}, // the birth limit, by one day
        {"20040315", "19930316", "201103/16", "20030101"},
        {"20040315", "19930314", "201103/15"}, // the study limit, by one day
        {"20040315", "19930315", "201103/15"}, // both the same day
        {"20110228", "20000229", "201802/29"}, // born on 29 February, one day later
        {"20110301", "20000229", "201803/01"}, // the study limit, the day after
        {"20040229", "19930301", "201103/01"}, // the study limit on 29 February is earlier
        {"20040229", "19930228", "201102/29"}, // and later than 28 February
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("study ") + row.studyDate + ", birth " + row.birthDate);
        fs::remove_all(at("src"));
        fs::remove_all(at("dst"));
        SampleSpec sample = ctImage();
        sample.studyDate = row.studyDate;
        sample.birthDate = row.birthDate;
        writeDicom(sample, at("src/f1"));
        if (row.secondStudyDate != nullptr) {
            sample = ctImage("1.2.3.2");
            sample.studyDate = row.secondStudyDate;
            writeDicom(sample, at("src/f2"));
        }
        const RunResult result = run({"src", "dst"});
        EXPECT_EQ(result.out, std::string(row.expected) + "/1.2.3\n");
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(exists(at("dst/") + row.expected + "/1.2.3/CT.1.2.3.1"));
        EXPECT_EQ(exists(at("dst/") + row.expected + "/1.2.3/CT.1.2.3.2"),
                  row.secondStudyDate != nullptr);
    }
}

TEST_F(ScanTest, SecondStudyEndsTheRunBeforeAnythingIsMade) {
    writeDicom(ctImage(), at("src/f1"));
    SampleSpec other = ctImage("9.9.1");
    other.studyInstanceUID = "9.9";
    writeDicom(other, at("src/f2"));
    const std::vector<std::string> names = listingOrder(at("src"));
    const auto uidOf = [](const std::string& name) { return name == "f1" ? "1.2.3" : "9.9"; };
    const std::string before = treeListing(tmp.path());
    expectRun(run({"src", "dst"}), "",
              lines({
                  "Info: Processing directory src",
                  "Info: Processing file src/" + names[0],
                  "Info: Processing file src/" + names[1],
                  "Error: Non unique Study IUID in the directory! -- src/" + names[0] + ": " +
                      uidOf(names[0]) + " src/" + names[1] + ": " + uidOf(names[1]),
              }),
              1);
    EXPECT_EQ(treeListing(tmp.path()), before);
}

TEST_F(ScanTest, DryRunPrintsTheCommandsAndChangesNothing) {
    writeDicom(ctImage(), at("src/f1"));
    const std::string before = treeListing(tmp.path());
    expectRun(run({"-d", "src", "dst"}), kOneFileDryRun,
              kOneFileMoving + closing(1, "0 skipped", 0, true), 0);
    EXPECT_EQ(treeListing(tmp.path()), before);
}

TEST_F(ScanTest, NestedAndHiddenDirectoriesAreWalkedOtherEntriesPassedOver) {
    writeDicom(ctImage(), at("src/.a/b/f1"));
    // A pipe (which would block a reader) must not show up.
    ASSERT_EQ(mkfifo(at("src/.a/pipe").c_str(), 0644), 0);
    expectRun(run({"src", "dst"}), "201103/15/1.2.3\n",
              lines({
                  "Info: Processing directory src",
                  "Info: Processing directory src/.a",
                  "Info: Processing directory src/.a/b",
                  "Info: Processing file src/.a/b/f1",
              }) + kMakeStudyDir +
                  "Info: Moving src/.a/b/f1 to dst/201103/15/1.2.3/CT.1.2.3.1\n" + closing(1),
              0);
    EXPECT_TRUE(exists(at("dst/201103/15/1.2.3/CT.1.2.3.1")));
}

TEST_F(ScanTest, UnusableFilesAreSkippedWithAWarning) {
    std::vector<std::pair<std::string, std::optional<SampleSpec>>> cases;
    cases.emplace_back("not DICOM", std::nullopt);
    const auto add = [&](const std::string& what, auto change) {
        SampleSpec sample = ctImage();
        change(sample);
        cases.emplace_back(what, sample);
    };
    add("no SOP Instance UID", [](SampleSpec& s) { s.sopInstanceUID.reset(); });
    add("empty SOP Instance UID", [](SampleSpec& s) { s.sopInstanceUID = ""; });
    add("no Study Instance UID", [](SampleSpec& s) { s.studyInstanceUID.reset(); });
    add("no SOP Class UID", [](SampleSpec& s) { s.sopClassUID.reset(); });
    // Their "@@" becomes padding after writing (blankOutMarkers).
    add("blank Study Instance UID", [](SampleSpec& s) { s.studyInstanceUID = "@@"; });
    add("blank SOP Instance UID", [](SampleSpec& s) { s.sopInstanceUID = "@@"; });
    add("cut inside the Study Instance UID", [](SampleSpec& s) { s.studyInstanceUID = "1.2##3"; });
    for (const std::string hostile : {"../../x", "..", ".", "a/b", "1.2\x01.3"}) {
        add("study " + hostile, [&](SampleSpec& s) { s.studyInstanceUID = hostile; });
        add("SOP " + hostile, [&](SampleSpec& s) { s.sopInstanceUID = hostile; });
    }
    for (const auto& [what, sample] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(at("src"));
        fs::create_directory(at("src"));
        if (sample) {
            writeDicom(*sample, at("src/f1"));
            applyMarkers(at("src/f1"));
        } else {
            writeText(at("src/f1"), "plain text\n");
        }
        const std::string before = treeListing(tmp.path());
        expectRun(run({"src", "dst"}), "", kOneFileUnparsed, 0);
        EXPECT_EQ(treeListing(tmp.path()), before);
    }
}

TEST_F(ScanTest, FilesOfOtherWritersWithTheAttributesIntactAreFiled) {
    // Each: attributes stored with VR UN, bytes cut off the end (inside the pixel data).
    const std::tuple<const char*, bool, std::uintmax_t> cases[] = {
        {"attributes stored with VR UN", true, 0},
        {"pixel data cut short", false, 1000},
    };
    for (const auto& [what, unknownVR, cut] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(at("dst"));
        SampleSpec sample = ctImage();
        sample.attributesAsUnknownVR = unknownVR;
        sample.rows = sample.columns = 64;
        writeDicom(sample, at("src/f1"));
        fs::resize_file(at("src/f1"), fs::file_size(at("src/f1")) - cut);
        const std::string content = readFile(at("src/f1"));
        ASSERT_EQ(content.find("UN") != std::string::npos, unknownVR);
        expectRun(run({"src", "dst"}), "201103/15/1.2.3\n", kOneFileFiled, 0);
        EXPECT_EQ(readFile(at("dst/201103/15/1.2.3/CT.1.2.3.1")), content);
    }
}

TEST_F(ScanTest, UnknownSopClassIsRefusedAndStays) {
    SampleSpec sample = ctImage();
    sample.sopClassUID = "1.2.3.4.5.6.7";
    writeDicom(sample, at("src/f1"));
    const std::string refused = "Can't move src/f1 to dst/201103/15/1.2.3/ (no modality "
                                "abbreviation for SOP Class 1.2.3.4.5.6.7)\n";
    const RunResult dry = run({"-d", "src", "dst"});
    EXPECT_EQ(dry.out.find("mv "), std::string::npos) << dry.out;
    EXPECT_NE(dry.err.find("\nWarning: " + refused), std::string::npos) << dry.err;
    EXPECT_EQ(dry.status, 2);
    expectRun(run({"src", "dst"}), "",
              "Info: Processing directory src\nInfo: Processing file src/f1\n" + kMakeStudyDir +
                  "Info: Moving src/f1 to dst/201103/15/1.2.3/\nError: " + refused +
                  closing(0, "0 skipped", 1),
              2);
    EXPECT_TRUE(exists(at("src/f1")));
    EXPECT_TRUE(listingOrder(at("dst/201103/15/1.2.3")).empty());
}

TEST_F(ScanTest, StudyWithoutDateGoesDirectlyBelowTheTarget) {
    SampleSpec sample = ctImage();
    sample.studyDate.reset();
    writeDicom(sample, at("src/f1"));
    expectRun(run({"src", "dst"}), "/1.2.3\n",
              lines({
                  "Info: Processing directory src",
                  "Info: Processing file src/f1",
                  "Info: Making sure dst//1.2.3/ exists",
                  "Info: Creating dst",
                  "Info: Creating dst/",
                  "Info: Creating dst//1.2.3",
                  "Info: Moving src/f1 to dst//1.2.3/CT.1.2.3.1",
              }) + closing(1),
              0);
    EXPECT_TRUE(exists(at("dst/1.2.3/CT.1.2.3.1")));
}

} // namespace
