#include "OVException.h"
#include "OVLogger.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <syslog.h>

namespace {

std::string textOf(const OVException& e) {
    std::string text;
    e.toString(text);
    return text;
}

} // namespace

TEST(Exception, TextFormsOfEveryKind) {
    EXPECT_EQ(textOf(OVException()), "Unknown Exception: [1] Unknown exception");
    EXPECT_EQ(textOf(OVException(7)), "Unknown Exception: [7] Unknown exception");
    EXPECT_EQ(textOf(OVException(2, std::string("gone"))), "Unknown Exception: [2] gone");
    EXPECT_EQ(textOf(OVException(-3, "%s:%d", "x", 4)), "Unknown Exception: [-3] x:4");
    EXPECT_EQ(textOf(OVException("only %s", "text")), "Unknown Exception: [1] only text");
    EXPECT_EQ(textOf(OVIOException(13, "Creating semaphore failed: x [Permission denied]")),
              "IO Exception: [13] Creating semaphore failed: x [Permission denied]");
    EXPECT_EQ(textOf(OVTimeoutException(1, "Semaphore timed out")),
              "Timeout Exception: [1] Semaphore timed out");

    OVAssertionException plain("str", 78, "ovutils/src/OVProperties");
    EXPECT_EQ(plain.getCode(), 1);
    EXPECT_EQ(textOf(plain), "ASSERT (str) in ovutils/src/OVProperties at line 78.");
    OVAssertionException detailed("f", 1705, "repositoryhandler/src/libs/OVRepositoryHandler",
                                  "cannot read %s", "/r/.dirty");
    EXPECT_EQ(detailed.getCode(), 1);
    EXPECT_EQ(textOf(detailed), "ASSERT (f) in repositoryhandler/src/libs/OVRepositoryHandler at "
                                "line 1705.\ncannot read /r/.dirty");
}

TEST(Exception, CaughtAsBaseKeepsTheKindAndCopiesAllFields) {
    try {
        throw OVAssertionException("name", 165, "ovutils/src/OVProperties");
    } catch (const OVException& e) {
        OVException copy = e; // slicing keeps message and code
        EXPECT_EQ(textOf(e), "ASSERT (name) in ovutils/src/OVProperties at line 165.");
        EXPECT_EQ(copy.getMessage(), e.getMessage());
        EXPECT_NE(dynamic_cast<const OVAssertionException*>(&e), nullptr);
    }
}

TEST(Exception, FormattedTextIsCutAt1023Characters) {
    std::string longText(1500, 'x');
    OVException formatted(5, "%s", longText.c_str());
    EXPECT_EQ(formatted.getMessage(), std::string(1023, 'x'));
    OVException given(5, longText); // a text given whole is kept whole
    EXPECT_EQ(given.getMessage().size(), 1500u);
}

TEST(Exception, PrintsAndCopiesItsText) {
    OVTimeoutException e(1, "Semaphore timed out");
    std::ostringstream stream;
    e.print(stream);
    EXPECT_EQ(stream.str(), "Timeout Exception: [1] Semaphore timed out\n");

    char* copy = e.toString();
    EXPECT_STREQ(copy, "Timeout Exception: [1] Semaphore timed out");
    delete[] copy;

    TempDir dir;
    FILE* out = fopen((dir / "out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    e.print(out);
    fclose(out);
    EXPECT_EQ(readFile(dir / "out"), "Timeout Exception: [1] Semaphore timed out\n");
}

TEST(Logger, FacilityComesFromTheEnvironmentOfEachKind) {
    SyslogCapture capture;
    ScopedEnv app("LOG_FACILITY", "local3");
    ScopedEnv oper("LOG_OPER_FACILITY", nullptr);
    OVLogger logger("tester");

    logger.errorLog("app");
    logger.operErrorLog("oper");
    ASSERT_EQ(capture.records().size(), 4u);
    EXPECT_EQ(capture.records()[0].kind, SyslogRecord::Open);
    EXPECT_EQ(capture.records()[0].ident, "tester");
    EXPECT_EQ(capture.records()[0].option, LOG_PID);
    EXPECT_EQ(capture.records()[0].facility, LOG_LOCAL3);
    EXPECT_EQ(capture.records()[2].kind, SyslogRecord::Open);
    EXPECT_EQ(capture.records()[2].facility, LOG_LOCAL0);

    // Read anew at every open, and only exact "local0".."local7" count.
    const char* values[] = {"local7", "LOCAL3", "local8", "local3 ", "", "local", "local33"};
    const int expected[] = {LOG_LOCAL7, LOG_LOCAL0, LOG_LOCAL0, LOG_LOCAL0,
                            LOG_LOCAL0, LOG_LOCAL0, LOG_LOCAL0};
    for (size_t i = 0; i < sizeof values / sizeof *values; ++i) {
        ScopedEnv value("LOG_OPER_FACILITY", values[i]);
        logger.infoLog("a"); // switch away, so that the operator message re-opens
        capture.clear();
        logger.operInfoLog("o");
        ASSERT_FALSE(capture.records().empty());
        EXPECT_EQ(capture.records()[0].kind, SyslogRecord::Open);
        EXPECT_EQ(capture.records()[0].facility, expected[i]) << "'" << values[i] << "'";
    }
}

TEST(Logger, ReopensOnlyWhenTheFacilityKindChanges) {
    SyslogCapture capture;
    OVLogger logger("tester");
    logger.errorLog("1");
    logger.infoLog("2");
    logger.debugLog("3");
    int opens = 0;
    for (const SyslogRecord& record : capture.records())
        opens += record.kind == SyslogRecord::Open;
    EXPECT_EQ(opens, 1);

    capture.clear();
    for (int i = 0; i < 3; ++i) {
        logger.operErrorLog("o");
        logger.errorLog("a");
    }
    opens = 0;
    for (const SyslogRecord& record : capture.records())
        opens += record.kind == SyslogRecord::Open;
    EXPECT_EQ(opens, 6);
    EXPECT_EQ(OVLogger::lastFacility(), APP_FACILITY);
}

TEST(Logger, PrioritiesTextsAndIdent) {
    SyslogCapture capture;
    OVLogger logger(nullptr);
    logger.debugLog("d%d", 1);
    logger.infoLog("i");
    logger.operInfoLog("oi");
    logger.errorLog("e");
    logger.operErrorLog("oe");
    logger.errorLog("%s", "/data/100%s/x");

    std::vector<int> priorities;
    std::vector<std::string> idents;
    for (const SyslogRecord& record : capture.records()) {
        if (record.kind == SyslogRecord::Message)
            priorities.push_back(record.priority);
        if (record.kind == SyslogRecord::Open)
            idents.push_back(record.ident);
    }
    EXPECT_EQ(priorities,
              (std::vector<int>{LOG_DEBUG, LOG_INFO, LOG_INFO, LOG_ERR, LOG_ERR, LOG_ERR}));
    EXPECT_EQ(idents.front(), "unknown");
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{"d1", "i", "oi", "e", "oe", "/data/100%s/x"}));
}

TEST(Logger, DestructionClosesAnOpenConnection) {
    SyslogCapture capture;
    {
        OVLogger logger("short-lived");
        logger.infoLog("x");
    }
    ASSERT_FALSE(capture.records().empty());
    EXPECT_EQ(capture.records().back().kind, SyslogRecord::Close);
    EXPECT_EQ(OVLogger::lastFacility(), NO_FACILITY);

    capture.clear();
    { OVLogger idle("idle"); } // never opened: nothing to close
    EXPECT_TRUE(capture.records().empty());
}
