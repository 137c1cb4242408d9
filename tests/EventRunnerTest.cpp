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

// A script named by the command gets the event as $1; the variables replace any of the
// same name this process has.
TEST_F(EventRunnerTest, ScriptGetsTheEventAndTheVariables) {
    std::string const script = mDir.write("script",
                                          "echo \"$# $1 $NUVEX_EVENT $NUVEX_STATUS "
                                          "${NUVEX_LAST_STATUS-unset}\" >> \"$0.out\"\n");
    ::setenv("NUVEX_LAST_STATUS", "7", 1);
    EventRunner runner("sh " + script);
    runner.start("online", {"NUVEX_EVENT=online", "NUVEX_STATUS=9"});
    int const status = runner.runToEnd("commok", {"NUVEX_EVENT=commok"});
    ::unsetenv("NUVEX_LAST_STATUS");
    ASSERT_TRUE(reapAll(runner));
    EXPECT_EQ(status, 0);
    std::string const out = mDir.read("script.out");
    // Both runs, in either order.
    EXPECT_TRUE(out == "1 online online 9 unset\n1 commok commok  unset\n" ||
                out == "1 commok commok  unset\n1 online online 9 unset\n")
        << out;
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
