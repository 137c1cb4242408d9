#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "BoardFixture.h"
#include "bus/I2CException.h"
#include "ups/BatteryCell.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexStatus.h"

namespace {

using Lines = std::vector<std::string>;

// A shutdown starts at most once per process, so every test here needs a
// process of its own: ctest runs each test alone. Run together in one process,
// all but the first are skipped.
int testsInThisProcess = 0;

class NuvexEventsTest : public BoardFixture {
protected:
    NuvexEventsTest() : mEvents(&mStatus) {
        mStatus.mI2C = mBus.get();
        mEvents.mI2C = mBus.get();
        set("StatusChangedCmd", "");
    }

    void SetUp() override {
        if (++testsInThisProcess > 1) {
            GTEST_SKIP() << "needs a process of its own (run it through ctest)";
        }
    }

    // One scheduler pass on which both actions are due: poll, then events.
    void run(std::uint8_t status) {
        mBoard.setStatus(status);
        mStatus.exec();
        mEvents.exec();
    }

    Lines events() const {
        Lines lines = logLines("NOTICE");
        Lines kept;
        for (std::string const& line : lines) {
            if (line.rfind("Status changed", 0) != 0) {
                kept.push_back(line);
            }
        }
        return kept;
    }

    std::string shutdownText() const { return recorder("shutdown") + " &"; }

    NuvexStatus mStatus;
    NuvexEvents mEvents;
};

TEST_F(NuvexEventsTest, CountdownToShutdownThenSilence) {
    set("ShutdownTimer", "3");
    run(0x01);
    for (int i = 0; i < 6; ++i) {
        run(0x02);
    }
    run(0x22);
    run(0x01);
    run(0x02);
    EXPECT_EQ(events(), (Lines{"Shutdown timer: 1 / 3", "Shutdown timer: 2 / 3",
                               "Shutdown timer: 3 / 3", "System shutdown!"}));
    EXPECT_EQ(mBoard.powerOffRequests(), std::vector<std::uint8_t>{30});
    EXPECT_EQ(recorded("shutdown"), Lines{shutdownText()});
}

TEST_F(NuvexEventsTest, PrimaryPowerResetsTheCountAndNoPowerBitsCount) {
    run(0x01);
    EXPECT_TRUE(events().empty());
    run(0x02);
    run(0x00);
    run(0x04);
    run(0x09);
    run(0x00);
    EXPECT_EQ(events(), (Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10",
                               "Shutdown timer: 3 / 10", "Shutdown timer: 1 / 10"}));
    EXPECT_EQ(mEvents.mTimerCount, 1);
    EXPECT_TRUE(mBoard.powerOffRequests().empty());
}

TEST_F(NuvexEventsTest, FailedPollNeitherCountsNorResetsNorSeesTheButton) {
    run(0x02);
    mBoard.failTransfer(mBoard.polls() + 1, 2);
    run(0x21);
    EXPECT_EQ(mEvents.mTimerCount, 1);
    run(0x02);
    EXPECT_EQ(events(), (Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10"}));
}

// With the guard on, a run on battery that sees the battery low shuts down at once,
// after its countdown line.
TEST_F(NuvexEventsTest, LowBatteryOnBatteryShutsDownAtOnce) {
    set("ShutdownOnLowBattery", "1");
    run(0x05);  // primary power, a low battery charging: nothing
    run(0x02);
    EXPECT_EQ(events(), Lines{"Shutdown timer: 1 / 10"});
    run(0x06);
    run(0x06);
    run(0x26);
    EXPECT_EQ(events(), (Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10", "Battery low!",
                               "System shutdown!"}));
    EXPECT_EQ(mBoard.powerOffRequests(), std::vector<std::uint8_t>{30});
    EXPECT_EQ(recorded("shutdown"), Lines{shutdownText()});
    EXPECT_TRUE(NuvexEvents::shutdownStarted());
}

// Anything but exactly "1" leaves the countdown alone.
TEST_F(NuvexEventsTest, LowBatteryGuardOffOnlyCounts) {
    set("ShutdownTimer", "3");
    for (char const* setting : {"0", "yes", "1 ", ""}) {
        set("ShutdownOnLowBattery", setting);
        run(0x01);
        run(0x06);
        run(0x06);
        EXPECT_FALSE(NuvexEvents::shutdownStarted()) << "'" << setting << "'";
    }
    EXPECT_TRUE(mBoard.powerOffRequests().empty());
    EXPECT_TRUE(recorded("shutdown").empty());
}

// A failed poll leaves the state unknown, even when the low battery was read before
// the failure; the next good run acts on it.
TEST_F(NuvexEventsTest, LowBatteryReadBeforeAFailedPollIsNotActedOn) {
    set("ShutdownOnLowBattery", "1");
    run(0x02);
    mBoard.failTransfer(mBoard.polls() + 1, 3);  // after the status byte 0x06 was read
    run(0x06);
    EXPECT_EQ(mStatus.mStatus, 0x06);
    EXPECT_FALSE(NuvexEvents::shutdownStarted());
    EXPECT_EQ(events(), Lines{"Shutdown timer: 1 / 10"});
    run(0x06);
    EXPECT_EQ(events(), (Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10", "Battery low!",
                               "System shutdown!"}));
}

// The countdown that reaches its limit on a low battery starts the shutdown itself:
// no "Battery low!" on that run, and none later.
TEST_F(NuvexEventsTest, LowBatteryOnTheRunThatReachesTheLimit) {
    set("ShutdownOnLowBattery", "1");
    set("ShutdownTimer", "2");
    run(0x02);
    run(0x06);
    run(0x06);
    EXPECT_EQ(events(),
              (Lines{"Shutdown timer: 1 / 2", "Shutdown timer: 2 / 2", "System shutdown!"}));
    EXPECT_EQ(recorded("shutdown").size(), 1u);
}

class ShutdownLimit : public NuvexEventsTest, public ::testing::WithParamInterface<char const*> {};

TEST_P(ShutdownLimit, FirstRunWithoutPrimaryPowerShutsDown) {
    set("ShutdownTimer", GetParam());
    run(0x02);
    run(0x02);
    EXPECT_EQ(events(),
              (Lines{"Shutdown timer: 1 / " + std::string(GetParam()), "System shutdown!"}));
    EXPECT_EQ(recorded("shutdown").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Small, ShutdownLimit, ::testing::Values("1", "0", "-5"));

TEST_F(NuvexEventsTest, ButtonWithPrimaryPower) {
    run(0x01);
    run(0x02);
    run(0x21);
    EXPECT_EQ(mEvents.mTimerCount, 0);
    EXPECT_EQ(events(),
              (Lines{"Shutdown timer: 1 / 10", "Button pressed!", "Manual system shutdown!"}));
    EXPECT_EQ(mBoard.powerOffRequests(), std::vector<std::uint8_t>{30});
    EXPECT_EQ(recorded("shutdown"), Lines{shutdownText()});
}

TEST_F(NuvexEventsTest, ButtonOnBatteryBelowTheLimit) {
    run(0x22);
    run(0x22);
    EXPECT_EQ(events(),
              (Lines{"Shutdown timer: 1 / 10", "Button pressed!", "Manual system shutdown!"}));
    EXPECT_EQ(recorded("shutdown").size(), 1u);
}

TEST_F(NuvexEventsTest, ButtonOnTheRunThatReachesTheLimitIsNotActedOn) {
    set("ShutdownTimer", "2");
    run(0x02);
    run(0x22);
    EXPECT_EQ(events(),
              (Lines{"Shutdown timer: 1 / 2", "Shutdown timer: 2 / 2", "System shutdown!"}));
    EXPECT_EQ(mBoard.powerOffRequests().size(), 1u);
    EXPECT_EQ(recorded("shutdown").size(), 1u);
}

TEST_F(NuvexEventsTest, PowerOffTimerLowByteIsSent) {
    set("PowerOffTimer", "300");
    set("ShutdownCmd", recorder("shutdown") + " && true");
    run(0x21);
    EXPECT_EQ(mBoard.powerOffRequests(), std::vector<std::uint8_t>{0x2C});
    // An ampersand anywhere: run as written.
    EXPECT_EQ(recorded("shutdown"), Lines{recorder("shutdown") + " && true"});
}

TEST_F(NuvexEventsTest, BadPowerOffTimerSendsNothingAndThrows) {
    set("PowerOffTimer", "abc");
    try {
        run(0x21);
        FAIL() << "no exception";
    } catch (std::invalid_argument const& e) {
        EXPECT_STREQ(e.what(), "stoi");
    }
    // 0x10 alone would make the board take the next status command as its delay.
    EXPECT_EQ(transfersOfPoll(1).size(), 40u);
    EXPECT_EQ(events(), (Lines{"Button pressed!", "Manual system shutdown!"}));
}

TEST_F(NuvexEventsTest, BadShutdownTimerThrowsBeforeTheCountdownLine) {
    set("ShutdownTimer", "soon");
    run(0x01);
    EXPECT_THROW(run(0x02), std::invalid_argument);
    EXPECT_TRUE(events().empty());
}

// Whichever byte of the power-off command the board misses, the system still shuts
// down; the failure then ends the daemon. After a missed command byte no delay byte
// follows: the board would read it as a command. (The shutdown flag is process-wide,
// so each combination is a test of its own.)
class FailedPowerOffTest : public NuvexEventsTest {
protected:
    void expectShutdownDespite(unsigned failedTransfer, bool button) {
        set("ShutdownTimer", "1");
        mBoard.failTransfer(1, failedTransfer);
        try {
            run(button ? 0x21 : 0x02);
            FAIL() << "no exception";
        } catch (I2CException const& e) {
            EXPECT_STREQ(e.what(), "could not write to i2c bus!");
        }
        Lines const transfers = transfersOfPoll(1);
        Lines const powerOff(transfers.begin() + 40, transfers.end());
        EXPECT_EQ(powerOff, failedTransfer == 41 ? Lines{"W 0x10 failed"}
                                                 : (Lines{"W 0x10", "W 0x1e failed"}));
        EXPECT_TRUE(mBoard.powerOffRequests().empty());
        EXPECT_EQ(recorded("shutdown"), Lines{shutdownText()});
        EXPECT_EQ(events(), button ? (Lines{"Button pressed!", "Manual system shutdown!"})
                                   : (Lines{"Shutdown timer: 1 / 1", "System shutdown!"}));
    }
};

constexpr unsigned COMMAND_BYTE = 41;  // the transfers after a poll's 40
constexpr unsigned DELAY_BYTE = 42;

TEST_F(FailedPowerOffTest, CommandByteOfTheCountdown) {
    expectShutdownDespite(COMMAND_BYTE, false);
}

TEST_F(FailedPowerOffTest, DelayByteOfTheCountdown) {
    expectShutdownDespite(DELAY_BYTE, false);
}

TEST_F(FailedPowerOffTest, CommandByteOfTheButton) {
    expectShutdownDespite(COMMAND_BYTE, true);
}

TEST_F(FailedPowerOffTest, DelayByteOfTheButton) {
    expectShutdownDespite(DELAY_BYTE, true);
}

// The charge level's shutdown comes after the countdown and the battery-low guard, the
// runtime level's after that, each only when nothing before it started the shutdown. The
// board reads 3658 mV without a resistance: 8 %; with 2000 mAh at 300 mA, 1920 s.
struct LevelCase {
    char const* name;
    char const* charge;   // ShutdownBelowCharge
    char const* runtime;  // ShutdownBelowRuntime, with a capacity of 2000 mAh unless "0"
    char const* limit;
    char const* guard;
    std::uint16_t ma;
    std::vector<std::uint8_t> statuses;
    Lines expected;
};

void PrintTo(LevelCase const& c, std::ostream* out) {
    *out << c.name;
}

class Levels : public NuvexEventsTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(Levels, ShutDownOnBatteryBelowTheLevel) {
    LevelCase const& c = GetParam();
    set("ShutdownBelowCharge", c.charge);
    set("ShutdownBelowRuntime", c.runtime);
    set("BatteryCapacity", std::string(c.runtime) == "0" ? "0" : "2000");
    set("BatteryResistance", "0");
    set("ShutdownTimer", c.limit);
    set("ShutdownOnLowBattery", c.guard);
    mBoard.setMeasurement(3658, c.ma);
    // As the daemon runs it, right after the poll; its clock stands still.
    NuvexGauge gauge(&mStatus, BatteryCell::fromConfig(), nullptr);
    gauge.mClock = [] { return std::int64_t{0}; };
    mEvents.mGauge = &gauge;
    for (std::uint8_t const status : c.statuses) {
        mBoard.setStatus(status);
        mStatus.exec();
        gauge.exec();
        mEvents.exec();
    }
    EXPECT_EQ(events(), c.expected);
    bool const shutdown = !c.expected.empty() && c.expected.back() == "System shutdown!";
    EXPECT_EQ(mBoard.powerOffRequests(),
              shutdown ? std::vector<std::uint8_t>{30} : std::vector<std::uint8_t>{});
    EXPECT_EQ(recorded("shutdown"), shutdown ? Lines{shutdownText()} : Lines{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Levels,
    ::testing::Values(
        LevelCase{"ChargeBelowTheLevel",
                  "10",
                  "0",
                  "10",
                  "0",
                  300,
                  {0x09, 0x01, 0x02, 0x02},
                  {"Shutdown timer: 1 / 10", "Battery charge 8% below 10%!", "System shutdown!"}},
        LevelCase{"ChargeAtTheLevel",
                  "8",
                  "0",
                  "10",
                  "0",
                  300,
                  {0x02, 0x02},
                  Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10"}},
        LevelCase{"Off", "0", "0", "10", "0", 300, {0x02}, Lines{"Shutdown timer: 1 / 10"}},
        LevelCase{"CountdownEndFirst",
                  "10",
                  "2000",
                  "1",
                  "0",
                  300,
                  {0x02},
                  Lines{"Shutdown timer: 1 / 1", "System shutdown!"}},
        LevelCase{"BatteryLowFirst",
                  "10",
                  "2000",
                  "10",
                  "1",
                  300,
                  {0x06},
                  {"Shutdown timer: 1 / 10", "Battery low!", "System shutdown!"}},
        LevelCase{
            "RuntimeBelowTheLevel",
            "0",
            "2000",
            "10",
            "0",
            300,
            {0x09, 0x02},
            {"Shutdown timer: 1 / 10", "Battery runtime 1920 s below 2000 s!", "System shutdown!"}},
        LevelCase{"RuntimeAtTheLevel",
                  "0",
                  "1920",
                  "10",
                  "0",
                  300,
                  {0x02, 0x02},
                  Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10"}},
        LevelCase{"ChargeBeforeRuntime",
                  "10",
                  "2000",
                  "10",
                  "0",
                  300,
                  {0x02},
                  {"Shutdown timer: 1 / 10", "Battery charge 8% below 10%!", "System shutdown!"}},
        // No load measured yet: no runtime to compare.
        LevelCase{"NoRuntimeWithoutALoad",
                  "0",
                  "2000",
                  "10",
                  "0",
                  0,
                  {0x02, 0x02},
                  Lines{"Shutdown timer: 1 / 10", "Shutdown timer: 2 / 10"}}),
    [](auto const& param) { return std::string(param.param.name); });

}  // namespace
