// Log faults of the running daemon: a log that cannot be opened at the start, a device
// that refuses every write, and a log moved away (as logrotate does). Logs that become
// unwritable while the daemon runs: ShutdownPromiseTest.cpp.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "SimRun.h"

namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};
constexpr char const* PAUSE_US = "20000";

// Whether every line of the text is whole and starts with a time stamp and a level.
bool wellFormed(std::string const& text) {
    if (text.empty() || text.back() != '\n') {
        return text.empty();
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t const end = text.find('\n', start);
        std::string const line = text.substr(start, end - start);
        if (line.size() < 21 || line[4] != '-' || line[10] != ' ' || line[19] != ' ' ||
            line[20] != '[') {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::size_t count(std::string const& text, std::string const& what) {
    std::size_t found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++found;
    }
    return found;
}

TEST(LogFault, LogInAMissingDirectoryEndsTheStartWithStatusOne) {
    SimRun run;
    run.set("LogFile", run.path("missing/nuvexmon.log"));
    run.setScenario("status 0x01\n");
    run.start();
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    // "nuvexmon started" cannot be written, nor the error line: status 1, not an abort.
    EXPECT_TRUE(exit.exitedWith(1)) << "status " << exit.code << ", signal " << exit.signal;
    EXPECT_EQ(run.output(), "");
    EXPECT_EQ(run.errors(), "");
    // The pid file was created before the first line; it stays.
    EXPECT_EQ(run.pidFile(), std::to_string(run.pid()));
    EXPECT_TRUE(run.trace().empty());
    EXPECT_FALSE(std::filesystem::exists(run.path("missing")));
}

TEST(LogFault, WriteErrorsOnDevFullAreIgnored) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", PAUSE_US);
    run.set("LogFile", "/dev/full");
    run.set("ShutdownTimer", "3");
    run.setScenario("status 0x01\npoll 3 status 0x02\n");
    run.start();
    // Through a status change, the countdown and the shutdown: every line fails.
    ASSERT_TRUE(run.waitForCalls(2, LONG_WAIT));
    ASSERT_TRUE(run.waitForPoll(14, LONG_WAIT));
    EXPECT_TRUE(run.running());
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_FALSE(run.pidFileExists());
    EXPECT_EQ(run.errors(), "");
    EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
}

TEST(LogFault, ALogMovedAwayIsCreatedAnewByTheNextLine) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", PAUSE_US);
    run.setScenario("status 0x01\n");
    run.start();
    ASSERT_TRUE(run.waitForPoll(5, LONG_WAIT));
    ASSERT_EQ(std::rename(run.path("nuvexmon.log").c_str(), run.path("nuvexmon.log.1").c_str()), 0);
    ASSERT_TRUE(run.waitForLogLine("Current Status", LONG_WAIT));
    std::string const rotated = run.readFile("nuvexmon.log.1");
    unsigned const poll = run.trace().back().poll;
    ASSERT_TRUE(run.waitForPoll(poll + 5, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));

    // The moved file keeps what it had (at most a line written as it moved) and gets
    // nothing more; the new one holds whole lines only.
    std::string const old = run.readFile("nuvexmon.log.1");
    std::string const fresh = run.readFile("nuvexmon.log");
    EXPECT_TRUE(old.size() == rotated.size()) << "the moved log still grew";
    EXPECT_TRUE(wellFormed(old));
    EXPECT_TRUE(wellFormed(fresh));
    EXPECT_GE(count(fresh, "Current Status: 1"), 5u);
    EXPECT_EQ(count(old, "nuvexmon started"), 1u);
    EXPECT_EQ(count(fresh, "nuvexmon started"), 0u);
    // Together they hold a status line and a measurement line for every poll (the stop
    // may fall between the two lines of the last one).
    std::string const both = old + fresh;
    std::size_t const statusLines = count(both, "Current Status: 1");
    std::size_t const measureLines = count(both, "U: 4100mV");
    EXPECT_TRUE(measureLines == statusLines || measureLines + 1 == statusLines)
        << statusLines << " status lines, " << measureLines << " measurement lines";
}

}  // namespace
