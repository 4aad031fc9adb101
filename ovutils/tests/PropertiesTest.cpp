#include "OVProperties.h"

#include "OVException.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

namespace {

// Writes content to a file in a fresh directory and loads it into props.
bool loadText(OVProperties& props, const std::string& content) {
    TempDir dir;
    std::string path = dir / "test.cfg";
    writeFile(path, content);
    return props.load(path.c_str());
}

// The text of the OVAssertionException thrown by call, or "" when none is thrown.
std::string assertionText(const std::function<void()>& call) {
    try {
        call();
    } catch (const OVAssertionException& e) {
        std::string text;
        e.toString(text);
        return text;
    }
    return "";
}

std::string expected(const char* expression, long line) {
    return "ASSERT (" + std::string(expression) + ") in ovutils/src/OVProperties at line " +
           std::to_string(line) + ".";
}

// getProperty as a string, "<none>" for a missing entry, so that EXPECT_EQ can show both.
std::string valueOf(const OVProperties& props, const char* name) {
    const char* value = props.getProperty(name);
    return value == nullptr ? "<none>" : value;
}

} // namespace

TEST(PropertiesLoad, SplitsCommentsSeparatorsAndQuotes) {
    OVProperties props;
    ASSERT_TRUE(loadText(props, "# leading comment\n"
                                "  # x = 1\n"
                                "\n"
                                "   \t\n"
                                "y = 1 # c\n"
                                "a=b=c\n"
                                "  key   =   value  \n"
                                "=v\n"
                                "novalue\n"
                                "  \t= w\n"
                                "name = \"My Repo\"\n"
                                "inner = x\"y\n"
                                "q = \"\"\n"
                                "k = \"a\" \"b\"\n"
                                "empty =\n"
                                "last = no line end"));
    const std::pair<const char*, const char*> entries[] = {
        {"x", "<none>"},        {"# x", "<none>"}, {"y", "1 # c"},        {"a", "b=c"},
        {"key", "value"},       {"", "<none>"},    {"novalue", "<none>"}, {"name", "My Repo"},
        {"inner", "x y"},       {"q", ""},         {"k", "a   b"},        {"empty", ""},
        {"last", "no line end"}};
    for (const auto& [name, value] : entries)
        EXPECT_EQ(valueOf(props, name), value) << "'" << name << "'";
}

TEST(PropertiesLoad, CrLfLineEndsReadLikeLf) {
    OVProperties lf;
    OVProperties crlf;
    ASSERT_TRUE(loadText(lf, "a = 1\n# c\nb = \"two words\"\nc =\n"));
    ASSERT_TRUE(loadText(crlf, "a = 1\r\n# c\r\nb = \"two words\"\r\nc =\r\n"));
    for (const char* name : {"a", "b", "c"})
        EXPECT_EQ(valueOf(crlf, name), valueOf(lf, name)) << name;
    EXPECT_EQ(valueOf(crlf, "b"), "two words");
}

TEST(PropertiesLoad, LongLineIsReadWhole) {
    // A mount list whose tail, if the line were cut after 1023 bytes, would parse as an entry of
    // its own: the text between the cut and the "=" would become a name.
    std::string value = std::string(1100, 'p') + "tail=part";
    value += std::string(1500 - 14 - value.size(), 'q');
    std::string line = "mountPoints = " + value;
    ASSERT_EQ(line.size(), 1500u);

    OVProperties props;
    ASSERT_TRUE(loadText(props, line + "\nafter = 1\n"));
    EXPECT_EQ(valueOf(props, "mountPoints"), value);
    EXPECT_EQ(valueOf(props, "after"), "1");
    std::string cutName = line.substr(1023, line.find("tail=") + 4 - 1023);
    EXPECT_EQ(valueOf(props, cutName.c_str()), "<none>");
}

TEST(PropertiesLoad, AddsToTheTableAndLastOccurrenceWins) {
    OVProperties props;
    props.setProperty("kept", "old");
    props.setProperty("x", "0");
    ASSERT_TRUE(loadText(props, "x = 1\nx = 2\n"));
    EXPECT_EQ(valueOf(props, "x"), "2");
    EXPECT_EQ(valueOf(props, "kept"), "old");
    // remove takes the first entry only: nothing is left, so there was one entry.
    props.remove("x");
    EXPECT_EQ(valueOf(props, "x"), "<none>");

    TempDir dir;
    EXPECT_FALSE(props.load((dir / "missing.cfg").c_str()));
    EXPECT_EQ(valueOf(props, "kept"), "old");
}

TEST(PropertiesTable, LookupIsExactAndCaseSensitive) {
    OVProperties props;
    props.setProperty("x", "1");
    props.setProperty("xy", "2");
    EXPECT_EQ(valueOf(props, "X"), "<none>");
    EXPECT_EQ(valueOf(props, "unknown"), "<none>");
    EXPECT_EQ(valueOf(props, "xy"), "2");

    // The table keeps its own copies.
    char name[] = "n";
    char value[] = "v";
    props.setProperty(name, value);
    name[0] = 'm';
    value[0] = 'w';
    EXPECT_EQ(valueOf(props, "n"), "v");

    props.setProperty("x", "3");
    EXPECT_EQ(valueOf(props, "x"), "3");
    props.remove("absent");
    props.remove("x");
    EXPECT_EQ(valueOf(props, "x"), "<none>");
    EXPECT_EQ(valueOf(props, "xy"), "2");
    props.clear();
    EXPECT_EQ(valueOf(props, "xy"), "<none>");
    EXPECT_EQ(valueOf(props, "n"), "<none>");
}

TEST(PropertiesHelpers, WhiteSpaceIsTheSixAsciiCharactersOnly) {
    char all[] = " \t\n\v\f\r";
    EXPECT_EQ(*OVProperties::skipWhiteSpaces(all), '\0');
    char padded[] = " \t x y \v\f\r\n";
    EXPECT_STREQ(OVProperties::trim(padded), "x y");

    // Bytes from 0x80 up (here a no-break space in Latin-1 and an UTF-8 letter) stay.
    char high[] = " \xA0x\xC3\xA9 ";
    EXPECT_STREQ(OVProperties::trim(high), "\xA0x\xC3\xA9");
    OVProperties props;
    ASSERT_TRUE(loadText(props, "\xA0n\xA0 = \xA0v\xA0\n"));
    EXPECT_EQ(valueOf(props, "\xA0n\xA0"), "\xA0v\xA0");

    char text[] = "a b";
    char* rest = text;
    EXPECT_EQ(OVProperties::getNextValue(rest, '='), nullptr);
    EXPECT_EQ(rest, text);
    char pair[] = " k : v ";
    rest = pair;
    EXPECT_STREQ(OVProperties::getNextValue(rest, ':'), "k");
    EXPECT_STREQ(rest, " v ");
}

TEST(PropertiesAssert, NullArgumentsNameTheParameterAndLine) {
    OVProperties props;
    props.setProperty("x", "1");
    EXPECT_EQ(assertionText([&] { props.load(nullptr); }), expected("filename", 97));
    EXPECT_EQ(assertionText([&] { props.getProperty(nullptr); }), expected("name", 133));
    EXPECT_EQ(assertionText([&] { props.setProperty(nullptr, nullptr); }), expected("name", 148));
    EXPECT_EQ(assertionText([&] { props.setProperty("x", nullptr); }), expected("value", 149));
    EXPECT_EQ(assertionText([&] { props.setProperty("y", nullptr); }), expected("value", 149));
    EXPECT_EQ(assertionText([&] { props.remove(nullptr); }), expected("name", 165));
    EXPECT_EQ(valueOf(props, "x"), "1");
    EXPECT_EQ(valueOf(props, "y"), "<none>");

    EXPECT_EQ(assertionText([] { OVProperty entry(nullptr, "v"); }), expected("str", 78));
    EXPECT_EQ(assertionText([] { OVProperty entry("n", nullptr); }), expected("str", 78));
    EXPECT_EQ(assertionText([] { OVProperty::copy(nullptr); }), expected("str", 78));
    OVProperty entry("n", "v");
    EXPECT_EQ(assertionText([&] { entry.setValue(nullptr); }), expected("value", 68));
    EXPECT_STREQ(entry.getValue(), "v");
}

TEST(PropertiesLoad, TextAlreadyReadParsesLikeTheFile) {
    std::string longValue(5000, 'v');
    const std::string content = "  # comment\n a = 1 \r\nb=\"two words\"\n=x\nnoseparator\n"
                                "c =\n long = " +
                                longValue + "\na = 3\nlast = no line end";
    OVProperties fromFile, fromText;
    ASSERT_TRUE(loadText(fromFile, content));
    fromText.loadText(content);
    for (const char* name : {"a", "b", "c", "long", "last", "", "noseparator", "# comment"}) {
        const char* expected = fromFile.getProperty(name);
        const char* actual = fromText.getProperty(name);
        ASSERT_EQ(expected == nullptr, actual == nullptr) << name;
        if (expected != nullptr) {
            EXPECT_STREQ(actual, expected) << name;
        }
    }
    EXPECT_STREQ(fromText.getProperty("a"), "3");
    EXPECT_STREQ(fromText.getProperty("last"), "no line end");
}
