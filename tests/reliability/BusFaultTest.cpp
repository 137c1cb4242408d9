// Bus faults of the running daemon (the sandbox program on the simulated board): the
// third failed poll in a row ends it, fewer do not, and the countdown holds still while
// the board cannot be read.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "SimRun.h"
#include "Trace.h"

namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};
// The pause between passes, shortened through the simulator (PauseOverride.h).
constexpr char const* PAUSE_US = "20000";
constexpr char const* WRITE_ERROR = "[DEBUG] could not write to i2c bus!";
constexpr char const* READ_ERROR = "[DEBUG] could not read from i2c bus!";
constexpr char const* FATAL = "[ERROR] could not communicate with nuvexmon!";
constexpr char const* STATUS_LINE = "[DEBUG] Current Status: 1";
constexpr char const* MEASURE_LINE = "[DEBUG] U: 4100mV, I: 250mA ";

Lines tail(Lines const& lines, std::size_t count) {
    return lines.size() < count ? lines
                                : Lines(lines.end() - static_cast<long>(count), lines.end());
}

Lines described(std::vector<Transfer> const& transfers) {
    Lines result;
    for (Transfer const& t : transfers) {
        result.push_back(Trace::describe(t));
    }
    return result;
}

struct ThreeFailures {
    unsigned k3, k4, k5;  // failed transfer of polls 3, 4 and 5
    Lines tail;           // the end of the log
    char const* last;     // the last transfer on the bus
};

void PrintTo(ThreeFailures const& c, std::ostream* out) {
    *out << "transfers " << c.k3 << ", " << c.k4 << ", " << c.k5;
}

class ThirdFailedPoll : public ::testing::TestWithParam<ThreeFailures> {};

TEST_P(ThirdFailedPoll, EndsTheDaemonWithStatusOne) {
    ThreeFailures const& c = GetParam();
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", PAUSE_US);
    run.setScenario("status 0x01\npoll 3 fail transfer " + std::to_string(c.k3) +
                    "\npoll 4 fail transfer " + std::to_string(c.k4) + "\npoll 5 fail transfer " +
                    std::to_string(c.k5) + "\n");
    run.start();
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    EXPECT_TRUE(exit.exitedWith(1)) << "status " << exit.code << ", signal " << exit.signal;
    EXPECT_EQ(tail(run.logLines(), c.tail.size()), c.tail);
    Lines const bus = described(run.trace());
    ASSERT_FALSE(bus.empty());
    EXPECT_EQ(bus.back(), c.last);
    EXPECT_TRUE(run.pidFileExists());
    EXPECT_EQ(run.output(), "");
    EXPECT_EQ(run.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Positions, ThirdFailedPoll,
    ::testing::Values(
        ThreeFailures{1,
                      1,
                      1,
                      {STATUS_LINE, MEASURE_LINE, WRITE_ERROR, WRITE_ERROR, FATAL},
                      "5 W 0x00 failed"},
        ThreeFailures{1,
                      2,
                      40,
                      {WRITE_ERROR, READ_ERROR, STATUS_LINE, MEASURE_LINE, FATAL},
                      "5 R 0xff failed"},
        ThreeFailures{3,
                      28,
                      2,
                      {STATUS_LINE, WRITE_ERROR, STATUS_LINE, MEASURE_LINE, WRITE_ERROR, FATAL},
                      "5 R 0xff failed"},
        ThreeFailures{17,
                      5,
                      13,
                      {STATUS_LINE, READ_ERROR, STATUS_LINE, READ_ERROR, STATUS_LINE, FATAL},
                      "5 W 0x02 failed"}));

TEST(BusFault, BoardAbsentFromTheStart) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", PAUSE_US);
    run.setScenario("absent\n");
    run.start();
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    EXPECT_TRUE(exit.exitedWith(1)) << "status " << exit.code << ", signal " << exit.signal;
    EXPECT_EQ(run.logLines(),
              (Lines{"[NOTICE] nuvexmon started", WRITE_ERROR, WRITE_ERROR, FATAL}));
    EXPECT_EQ(described(run.trace()),
              (Lines{"1 W 0x00 failed", "2 W 0x00 failed", "3 W 0x00 failed"}));
    EXPECT_TRUE(run.pidFileExists());
    EXPECT_EQ(run.errors(), "");
}

// The board on battery, gone for one or two polls in the middle. Passes 2, 4, 6, ...
// count down after their poll; a pass whose poll failed neither counts nor resets.
struct Gap {
    char const* name;
    char const* scenario;
    Lines lines;  // notices and failures up to pass 10
};

void PrintTo(Gap const& gap, std::ostream* out) {
    *out << gap.name;
}

class BoardGone : public ::testing::TestWithParam<Gap> {};

TEST_P(BoardGone, TheDaemonRunsOnAndTheCountdownHoldsStill) {
    Gap const& gap = GetParam();
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", PAUSE_US);
    run.set("ShutdownTimer", "100");
    run.setScenario(std::string("status 0x02\n") + gap.scenario);
    run.start();
    ASSERT_TRUE(run.waitForPoll(11, LONG_WAIT));
    EXPECT_TRUE(run.running());
    EXPECT_TRUE(run.stop().exitedWith(0));
    Lines selected;
    for (std::string const& line : run.logLines()) {
        if (line.rfind("[NOTICE]", 0) == 0 || line.find("could not") != std::string::npos) {
            selected.push_back(line);
        }
    }
    ASSERT_GE(selected.size(), gap.lines.size());
    EXPECT_EQ(Lines(selected.begin(), selected.begin() + static_cast<long>(gap.lines.size())),
              gap.lines);
    EXPECT_FALSE(run.pidFileExists());
}

Lines const START = {"[NOTICE] nuvexmon started", "[NOTICE] Shutdown timer: 1 / 100",
                     "[NOTICE] Shutdown timer: 2 / 100"};

Lines startThen(Lines const& rest) {
    Lines lines = START;
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Polls, BoardGone,
    ::testing::Values(Gap{"OddPoll", "poll 5 absent\npoll 6 present\n",
                          startThen({WRITE_ERROR, "[NOTICE] Shutdown timer: 3 / 100",
                                     "[NOTICE] Shutdown timer: 4 / 100",
                                     "[NOTICE] Shutdown timer: 5 / 100"})},
                      Gap{"EvenPoll", "poll 6 absent\npoll 7 present\n",
                          startThen({WRITE_ERROR, "[NOTICE] Shutdown timer: 3 / 100",
                                     "[NOTICE] Shutdown timer: 4 / 100"})},
                      Gap{"TwoPollsFromOdd", "poll 5..6 absent\n",
                          startThen({WRITE_ERROR, WRITE_ERROR, "[NOTICE] Shutdown timer: 3 / 100",
                                     "[NOTICE] Shutdown timer: 4 / 100"})},
                      Gap{"TwoPollsFromEven", "poll 6..7 absent\n",
                          startThen({WRITE_ERROR, WRITE_ERROR, "[NOTICE] Shutdown timer: 3 / 100",
                                     "[NOTICE] Shutdown timer: 4 / 100"})},
                      Gap{"ReadFaultMidMeasurement", "poll 6 fail transfer 20\n",
                          startThen({READ_ERROR, "[NOTICE] Shutdown timer: 3 / 100",
                                     "[NOTICE] Shutdown timer: 4 / 100"})}),
    [](::testing::TestParamInfo<Gap> const& param) { return std::string(param.param.name); });

}  // namespace
