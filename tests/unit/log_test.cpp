// The log: level filtering, the line form on disk, wide-string arguments, concurrent writers.
#include "config/config.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::FileExists;
using testsupport::ReadLogMessages;

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = folder_.File("service.log");
        snprintf(ServiceConfig.LogPath, sizeof ServiceConfig.LogPath, "%s", path_.c_str());
        ServiceConfig.LogLevel = 1;
    }

    // The messages written at levels 1, 2 and 3 under logLevel, each named by its level.
    std::vector<std::string> WrittenAt(signed char logLevel) {
        testsupport::RemoveFile(path_);
        ServiceConfig.LogLevel = logLevel;
        LogMessage(1, "level 1");
        LogMessage(2, "level 2");
        LogMessage(3, "level 3");
        return FileExists(path_) ? ReadLogMessages(path_) : std::vector<std::string>{};
    }

    // Logs format with args and expects the line that snprintf makes of them.
    template <typename... Args>
    void ExpectLikePrintf(const char* format, Args... args) {
        char expected[512];
        snprintf(expected, sizeof expected, format, args...);
        testsupport::RemoveFile(path_);
        LogMessage(1, format, args...);
        std::vector<std::string> messages = ReadLogMessages(path_);
        ASSERT_EQ(messages.size(), 1u) << format;
        EXPECT_EQ(messages[0], expected) << format;
    }

    testsupport::TempFolder folder_;
    std::string path_;
};

// The configured level is a signed byte: 0 switches the log off, and a "Loglevel" of 128 to 255
// turns negative and silences it too. A line is never half-filtered into an empty file.
TEST_F(LogTest, WritesOnlyTheLevelsTheConfigurationAllows) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(WrittenAt(0), Lines{});
    EXPECT_FALSE(FileExists(path_)) << "LogLevel 0 must not even create the file";
    EXPECT_EQ(WrittenAt(-56), Lines{});
    EXPECT_FALSE(FileExists(path_)) << "a negative LogLevel must not create the file";
    EXPECT_EQ(WrittenAt(1), (Lines{"level 1"}));
    EXPECT_EQ(WrittenAt(2), (Lines{"level 1", "level 2"}));
    EXPECT_EQ(WrittenAt(3), (Lines{"level 1", "level 2", "level 3"}));
    EXPECT_EQ(WrittenAt(127), (Lines{"level 1", "level 2", "level 3"}));
}

// Only the low byte of the message level counts: 257 is level 1, 258 is level 2.
TEST_F(LogTest, MessageLevelCountsByItsLowByte) {
    ServiceConfig.LogLevel = 1;
    LogMessage(257, "counted as 1");
    LogMessage(258, "counted as 2");
    EXPECT_EQ(ReadLogMessages(path_), std::vector<std::string>{"counted as 1"});
}

// Readers of the log (and its tools) rely on "[MM/DD/YY HH:MM:SS] message" and CR LF endings.
TEST_F(LogTest, LinesCarryTheLocalTimeAndEndWithCrLf) {
    time_t before = time(nullptr);
    LogMessage(1, "first %d", 1);
    LogMessage(1, "second");
    time_t after = time(nullptr);

    std::string content = testsupport::ReadFileContent(path_);
    ASSERT_EQ(content.size(), 20 + 9 + 20 + 8) << content;
    EXPECT_EQ(content.substr(20, 9), "first 1\r\n");
    EXPECT_EQ(content.substr(49), "second\r\n");

    tm stamp{};
    ASSERT_EQ(sscanf(content.c_str(), "[%2d/%2d/%2d %2d:%2d:%2d] ", &stamp.tm_mon, &stamp.tm_mday,
                     &stamp.tm_year, &stamp.tm_hour, &stamp.tm_min, &stamp.tm_sec),
              6);
    stamp.tm_mon -= 1;
    stamp.tm_year += 100;
    stamp.tm_isdst = -1;
    time_t logged = mktime(&stamp);
    EXPECT_GE(logged, before - 1);
    EXPECT_LE(logged, after + 1);
}

// VirtualBox hands out UTF-16 text, logged through %S: it must come out in the ANSI code page
// whole, even past a character the code page lacks, and the arguments after it must still line
// up. The runtime's own printf cuts such text at its first character above U+00FF.
TEST_F(LogTest, WideArgumentsAreWrittenInTheAnsiCodePage) {
    if (GetACP() != 1252) {
        GTEST_SKIP() << "expected bytes are those of code page 1252, this is " << GetACP();
    }
    const wchar_t* home = L"C:\\Users\\J\u00fcrgen\\\u0416\\.VirtualBox";
    LogMessage(1, "Using VBOX_USER_HOME: %S", home);
    LogMessage(1, "%S|%d|%s|%ls|%x", L"v5.0.40", 42, "narrow", L"\u20ac", 255u);
    LogMessage(1, "[%-8S][%8S][%.3S][%*S][%lc][%C]", L"ab", L"cd", L"\u00e9tage", 4, L"x",
               L'\u00fc', L'\u0416');
    LogMessage(1, "null: %S", static_cast<const wchar_t*>(nullptr));

    std::vector<std::string> expected = {
        "Using VBOX_USER_HOME: C:\\Users\\J\xfcrgen\\?\\.VirtualBox",
        "v5.0.40|42|narrow|\x80|ff",
        "[ab      ][      cd][\xe9ta][   x][\xfc][?]",
        "null: (null)",
    };
    EXPECT_EQ(ReadLogMessages(path_), expected);
}

// Everything but wide text is formatted by the runtime from the right place in the argument
// list: a slip in walking the list would garble every argument after it.
TEST_F(LogTest, OtherConversionsFormatAsPrintfDoes) {
    ExpectLikePrintf("ERROR stopping VM '%s' (0x%08x)", "office", 0x80070005u);
    ExpectLikePrintf("%5.2f|%-8s|%+d|%lld|%zu|%lu|%c|100%%", 3.14159, "ab", 7, -1234567890123LL,
                     size_t{42}, 4000000000UL, 'q');
    ExpectLikePrintf("%*d|%-*d|%.*s|%*.*f|%#o|%e|%Lg", 6, 12, 4, 3, 2, "abcdef", 8, 3, 2.5, 8u,
                     1e-5, 1.5L);
    ExpectLikePrintf("no conversion at all");
    ExpectLikePrintf("%s then %hd then %hhu", "first", static_cast<short>(-3),
                     static_cast<unsigned char>(250));
}

// A message that passes the level but cannot reach its file is dropped quietly: the service
// goes on as if it had been written.
TEST_F(LogTest, UnreachableLogFileDropsTheMessage) {
    std::string missing = folder_.File("no such folder\\service.log");
    snprintf(ServiceConfig.LogPath, sizeof ServiceConfig.LogPath, "%s", missing.c_str());
    LogMessage(1, "dropped");
    EXPECT_FALSE(FileExists(missing));
}

// Every thread of the service logs; a line that mixed with another would be unreadable.
TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 6;
    constexpr int kLines = 150;
    const std::string padding(300, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kLines; ++i) {
                LogMessage(1, "thread %d line %d %s end", t, i, padding.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::vector<std::string> messages = ReadLogMessages(path_);
    ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string& message : messages) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(message.c_str(), "thread %d line %d ", &t, &i), 2) << message;
        ASSERT_TRUE(t >= 0 && t < kThreads) << message;
        char expected[400];
        snprintf(expected, sizeof expected, "thread %d line %d %s end", t, i, padding.c_str());
        EXPECT_EQ(message, expected);
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
    }
}

}  // namespace
