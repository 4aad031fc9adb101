// The retention date and the UID check of DicomParser, read from files written on the spot.
#include <optional>

#include "DicomParser.h"
#include "TestSupport.h"

namespace {

struct DateCase {
    std::optional<std::string> studyDate;
    std::optional<std::string> birthDate;
    std::string expected;
};

TEST(ArchiveDirTest, LaterOfStudyPlusSevenAndBirthPlusEighteenYears) {
    const std::optional<std::string> none;
    const DateCase cases[] = {
        {"20040315", none, "201103/15"},
        {"2004.03.15", none, "201103/15"},     // the older form
        {"20040229", none, "201102/29"},       // 29 February stays although 2011 has none
        {"20040315", "20000101", "201801/01"}, // the birth limit is later
        {"20040315", "19800101", "201103/15"}, // the birth limit is earlier
        {none, "20000101", "201801/01"},
        {"20041315", "20000101", "201801/01"}, // an invalid study date does not count
        {"20041315", none, ""},
        {"20040332", none, ""},
        {"20040300", none, ""},
        {none, "20040001", ""},
        {none, none, ""},
        {"", "", ""},                          // present but empty
        {"99970315", none, "1000403/1"},       // year 10004: the text is cut to nine characters
        {"20040431", none, "201104/31"},       // 31 April counts as a date
        {"20040431", "19930501", "201105/01"}, // and comes before 1 May
        {"20040501", "19930431", "201105/01"},
    };
    TempDir dir;
    const std::string path = dir.path() + "/f";
    for (const DateCase& c : cases) {
        SCOPED_TRACE("study " + c.studyDate.value_or("(none)") + ", birth " +
                     c.birthDate.value_or("(none)"));
        SampleSpec sample = ctImage();
        sample.studyDate = c.studyDate;
        sample.birthDate = c.birthDate;
        writeDicom(sample, path);
        DicomParser parser(path);
        ASSERT_TRUE(parser.good());
        EXPECT_EQ(parser.getArchiveDir(), c.expected);
    }
}

TEST(ArchiveDirTest, OnlyUidsUsableAsOneFileNameAreSafe) {
    for (const char* uid : {"1.2.840.10008.1", "1..2", "...", "1.2 3"}) {
        EXPECT_TRUE(DicomParser::isSafePathComponent(uid)) << uid;
    }
    for (const char* uid : {".", "..", "a/b", "../../x", "1.2/", "1.2\n3", "1.2\x01", "1.2\x7f"}) {
        EXPECT_FALSE(DicomParser::isSafePathComponent(uid)) << uid;
    }
}

} // namespace
