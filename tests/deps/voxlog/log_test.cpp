#include "log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Records every call; in a child process that is about to end it also reports to stderr, which
// the death tests match.
class RecordingSink : public LogBase {
public:
    explicit RecordingSink(std::string name = "sink") : name_(std::move(name)) {}
    void flush() override { report("flush"); }
    void setting(int32_t key, int32_t value) override { report("setting"); }
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
               const std::string& timestamp, const std::string& line) override
    {
        lines.push_back(line);
        levels.push_back(level);
        report("write");
    }

    std::vector<std::string> lines;
    std::vector<int> levels;
    bool toStderr = false;

private:
    void report(const char* what)
    {
        if (toStderr)
            std::fprintf(stderr, "%s:%s;", name_.c_str(), what);
    }
    std::string name_;
};

class Log : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }
    static void resetSettings()
    {
        setLogLevel(LogLevel_DEVEL);
        setLogUseLocalTime(false);
        setLogTimestampMode(0);
        setLogCriticalCallback(nullptr);
    }
};

using LogDeathTest = Log;

// The mode-0 timestamp is always 26 characters, so the prefix starts right after it.
std::string afterTimestamp(const std::string& line)
{
    return line.size() >= 26 ? line.substr(26) : std::string();
}

TEST_F(Log, LineHasFixedColumnsAndIndentedContinuations)
{
    RecordingSink sink;
    log("a\nb", LogLevel_ERROR, "x", 0);
    ASSERT_EQ(sink.lines.size(), 1u);
    const std::string prefix = "|ERROR   |x             |   |";
    const size_t prefixLength = 26 + prefix.size();
    EXPECT_EQ(afterTimestamp(sink.lines[0]), prefix + "a\n" + std::string(prefixLength, ' ') + "b");
    EXPECT_EQ(sink.levels[0], LogLevel_ERROR);
}

TEST_F(Log, ColumnsPadButNeverCut)
{
    struct Case {
        int level;
        std::string channel;
        uint64_t id;
        std::string expected;
    };
    const Case cases[] = {
        {LogLevel_WARNING, "", 42, "|WARNING |              |42 |m"},
        {LogLevel_DEBUG, "ch", 12345, "|DEBUG   |ch            |12345|m"},
        {LogLevel_DEVEL, "a-very-long-channel", 7, "|DEVELOP |a-very-long-channel|7  |m"},
        {LogLevel_INFO, "", 0, "|INFO    |              |   |m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        RecordingSink sink;
        log("m", c.level, c.channel, c.id);
        ASSERT_EQ(sink.lines.size(), 1u);
        EXPECT_EQ(afterTimestamp(sink.lines[0]), c.expected);
    }
}

TEST_F(Log, ThresholdDropsHigherLevels)
{
    RecordingSink sink;
    setLogLevel(LogLevel_WARNING);
    log("dropped", LogLevel_DEBUG, "", 0);
    log("kept", LogLevel_WARNING, "", 0);
    log("out of range", 6, "", 0);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_THAT(sink.lines[0], ::testing::EndsWith("|kept"));
}

TEST_F(Log, SinksAreCalledInRegistrationOrderAndUnlinkOnDestruction)
{
    RecordingSink first("first");
    auto second = std::make_unique<RecordingSink>("second");
    ASSERT_EQ(logSinks().size(), 2u);
    EXPECT_EQ(logSinks().front(), &first);
    second.reset();
    log("after", LogLevel_ERROR, "", 0);
    EXPECT_EQ(logSinks().size(), 1u);
    EXPECT_EQ(first.lines.size(), 1u);
}

TEST_F(Log, TimestampModesHaveTheirLayouts)
{
    // Mode 0 pads a whole second on the left with zeros to 26 characters.
    EXPECT_THAT(logTimestamp(0), ::testing::MatchesRegex(
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}|"
        "000000[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\."));
    EXPECT_THAT(logTimestamp(2),
                ::testing::MatchesRegex("[0-9]{8}T[0-9]{6}(\\.[0-9]{6})?"));
    EXPECT_THAT(logTimestamp(1), ::testing::MatchesRegex(
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{6})?"));
    setLogUseLocalTime(true);
    EXPECT_EQ(logTimestamp(0).size(), 26u);
}

TEST_F(Log, StackTraceGoesToSinksAsFrameLines)
{
    RecordingSink sink;
    printStackTrace();
    ASSERT_GE(sink.lines.size(), 2u);
    EXPECT_THAT(sink.lines[0], ::testing::EndsWith("|Printing Trace:"));
    EXPECT_THAT(sink.lines[1], ::testing::StartsWith("  #0"));
    for (size_t i = 1; i < sink.lines.size(); ++i)
        EXPECT_THAT(sink.lines[i], ::testing::MatchesRegex(" *#[0-9]+.* in .* from .*"));
}

TEST_F(Log, LevelNamesFollowTheTable)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int level = 0; level <= 5; ++level)
        EXPECT_EQ(checkedLogLevelName(level), names[level]);
}

TEST_F(Log, KnownDatabaseNoiseIsIgnoredEvenWhenCritical)
{
    RecordingSink sink;
    log("sqlite3_prepare failed no such column: string_id", LogLevel_CRITICAL, "DatabaseQuery", 0);
    log("x db_exec() select * from instance_properties where string_id = 'y'", LogLevel_CRITICAL,
        "DatabaseQuery", 0);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(LogDeathTest, CriticalWritesAndFlushesEachSinkThenCallsBackThenExits)
{
    EXPECT_EXIT(
        {
            RecordingSink first("first");
            RecordingSink second("second");
            first.toStderr = second.toStderr = true;
            setLogCriticalCallback([](const std::string& message, const std::string&, uint64_t,
                                      const std::string&, const std::string&) {
                std::fprintf(stderr, "callback:%s;", message.c_str());
            });
            log("fatal", LogLevel_CRITICAL, "", 0);
            std::fprintf(stderr, "returned;");
        },
        ::testing::ExitedWithCode(1),
        "^first:write;first:flush;second:write;second:flush;callback:fatal;$");
}

TEST_F(LogDeathTest, CriticalBelowThresholdStillExits)
{
    EXPECT_EXIT(
        {
            setLogLevel(-1);
            log("fatal", LogLevel_CRITICAL, "", 0);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(LogDeathTest, LevelOutsideTheTableIsAnAssertionWhenLetThrough)
{
    EXPECT_EXIT(
        {
            setLogLevel(6);
            setLogCriticalCallback([](const std::string& message, const std::string&, uint64_t,
                                      const std::string&, const std::string&) {
                std::fprintf(stderr, "%s", message.c_str());
            });
            log("too high", 6, "", 0);
        },
        ::testing::ExitedWithCode(1),
        "Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at "
        "\\.\\./\\.\\./\\.\\./\\.\\./deps/voxlog/src/lib/log:216; ");
}

} // namespace
