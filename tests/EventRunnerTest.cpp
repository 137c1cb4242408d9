#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "ups/EventRunner.h"

namespace {

using Lines = std::vector<std::string>;
constexpr std::size_t STAMP_LENGTH = 20;  // "YYYY-MM-DD HH:MM:SS "

class EventRunnerTest : public ::testing::Test {
protected:
    EventRunnerTest() {
        ConfigFile* config = Singleton<ConfigFile>::getInstance();
        config->addDefault("LogLevel", "debug");
        config->addDefault("LogFile", mDir.path() + "/nuvexmon.log");
    }

    // Reaps until nothing runs; false when that takes longer than a generous bound.
    static bool reapAll(EventRunner& runner) {
        for (int i = 0; i < 3000 && runner.running() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            runner.reap();
        }
        return runner.running() == 0;
    }

    Lines logLines() const {
        Lines lines;
        std::string const text = mDir.read("nuvexmon.log");
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.push_back(text.substr(start + STAMP_LENGTH, end - start - STAMP_LENGTH));
        }
        return lines;
    }

    TempDir mDir;
};

// How a run ended is logged once, when it is reaped: failures at WARNING.
TEST_F(EventRunnerTest, EachEndIsLoggedOnceWithItsLevel) {
    struct Row {
        std::string command;
        std::string line;
    };
    std::vector<Row> const rows = {
        {"true", "[DEBUG] EventCmd onbattery exited with status 0"},
        {"sh -c 'exit 3'", "[WARNING] EventCmd onbattery exited with status 3"},
        // The comment keeps the event's name away from kill: the shell kills itself.
        {"kill -9 $$ #", "[WARNING] EventCmd onbattery was killed by signal 9"},
    };
    Lines expected;
    for (Row const& row : rows) {
        EventRunner runner(row.command);
        runner.start("onbattery", {});
        EXPECT_EQ(runner.running(), 1U);
        ASSERT_TRUE(reapAll(runner)) << row.command;
        runner.reap();
        expected.push_back(row.line);
    }
    EXPECT_EQ(logLines(), expected);
}

// A command that never ends must not pile up one process per event.
TEST_F(EventRunnerTest, RunsBeyondTheLimitAreNotStarted) {
    EventRunner runner("sleep 1 #");
    for (std::size_t i = 0; i <= EventRunner::MAX_RUNNING; ++i) {
        runner.start("commlost", {});
    }
    EXPECT_EQ(runner.running(), EventRunner::MAX_RUNNING);
    ASSERT_TRUE(reapAll(runner));
    Lines const lines = logLines();
    ASSERT_EQ(lines.size(), EventRunner::MAX_RUNNING + 1);
    EXPECT_EQ(lines.front(), "[WARNING] EventCmd commlost not started: 16 runs still going");
}

}  // namespace
