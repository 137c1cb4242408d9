// What must not stop the daemon from shutting the system down: a log that can no longer
// be written, a board that misses the power-off command, numbers in the configuration
// that would only fail when the power does, and a hook that could reach the bus.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "SimRun.h"
#include "Trace.h"

namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{40000};

// Lines of a text without their time stamps; each must carry one ("YYYY-MM-DD HH:MM:SS ").
Lines stampedLines(std::string const& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line still being written
        }
        std::string const line = text.substr(start, end - start);
        bool const stamped = line.size() > 20 && line[4] == '-' && line[7] == '-' &&
                             line[10] == ' ' && line[13] == ':' && line[16] == ':' &&
                             line[19] == ' ';
        lines.push_back(stamped ? line.substr(20) : "UNSTAMPED " + line);
        start = end + 1;
    }
    return lines;
}

std::size_t count(Lines const& lines, std::string const& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

template <typename Condition>
bool waitFor(std::chrono::milliseconds timeout, Condition const& condition) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::usleep(5000);
    }
    return true;
}

// The bytes the host sent after the 40 transfers of the given poll.
Lines afterPoll(std::vector<Transfer> const& trace, unsigned poll) {
    Lines bytes;
    unsigned k = 0;
    for (Transfer const& t : trace) {
        if (t.poll == poll && ++k > 40) {
            bytes.push_back(Trace::describe(t));
        }
    }
    return bytes;
}

// The daemon may create its log again at any moment, so the log's directory is never
// emptied in place: it is swapped, in one rename, for one prepared beside it. Without a
// replacement the log's directory is simply gone.
void swapLogDirectory(SimRun const& run, bool replace) {
    std::string const logs = run.path("logs");
    ASSERT_EQ(std::rename(logs.c_str(), (logs + ".old").c_str()), 0);
    if (replace) {
        ASSERT_EQ(std::rename((logs + ".new").c_str(), logs.c_str()), 0);
    }
}

// The log directory goes away in the middle of a power failure, as when the SD card's
// file system turns read-only: the countdown goes on, the board gets its command,
// the system is shut down, and the lines are on standard error meanwhile.
TEST(ShutdownPromise, LogUnopenableDuringAPowerFailure) {
    SimRun run;
    std::filesystem::create_directory(run.path("logs"));
    run.setEnv("NUVEXSIM_PAUSE_US", "50000");
    run.set("LogFile", run.path("logs/nuvexmon.log"));
    run.set("ShutdownTimer", "20");
    run.setScenario("status 0x01\npoll 4 status 0x02\n");
    run.start();
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        return run.readFile("logs/nuvexmon.log").find("Shutdown timer: 1 / 20") !=
               std::string::npos;
    }));
    swapLogDirectory(run, false);
    ASSERT_TRUE(run.waitForCalls(2, LONG_WAIT));  // the hook, then the shutdown command
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        return count(stampedLines(run.errors()), "[NOTICE] System shutdown!") == 1;
    }));

    // Back: the next lines go to the file again.
    std::filesystem::create_directory(run.path("logs"));
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        return run.readFile("logs/nuvexmon.log").find("Current Status: 2") != std::string::npos;
    }));
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_FALSE(run.pidFileExists());

    Lines const errors = stampedLines(run.errors());
    EXPECT_EQ(count(errors, "[NOTICE] Shutdown timer: 20 / 20"), 1u);
    EXPECT_GE(count(errors, "[DEBUG] Current Status: 2"), 1u);
    for (std::string const& line : errors) {
        EXPECT_EQ(line.rfind("UNSTAMPED", 0), std::string::npos) << line;
    }
    EXPECT_EQ(run.calls().back().name, "on-shutdown");
    EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
    // No step of the countdown was lost on the way: every count once, in one place or
    // the other, and no poll counted as failed.
    for (int n = 1; n <= 20; ++n) {
        std::string const line = "[NOTICE] Shutdown timer: " + std::to_string(n) + " / 20";
        EXPECT_EQ(count(errors, line), n == 1 ? 0u : 1u) << line;
    }
    for (Transfer const& t : run.trace()) {
        EXPECT_TRUE(t.ok) << Trace::describe(t);
    }
    // Figures for docs/reliability.md.
    std::size_t const steps =
        static_cast<std::size_t>(std::count_if(errors.begin(), errors.end(), [](auto const& l) {
            return l.rfind("[NOTICE] Shutdown timer: ", 0) == 0;
        }));
    std::cout << "[ figures  ] lines on standard error: " << errors.size()
              << ", countdown steps there: " << steps
              << " of 20, polls: " << run.trace().back().poll
              << ", power-off requests: " << run.powerOffRequests().size() << "\n";
}

// A steady board whose log is in a directory of its own, with an empty one beside it
// to swap in (swapLogDirectory).
void startWithLogDirectory(SimRun& run, char const* pauseMicroseconds) {
    std::filesystem::create_directory(run.path("logs"));
    std::filesystem::create_directory(run.path("logs.new"));
    run.setEnv("NUVEXSIM_PAUSE_US", pauseMicroseconds);
    run.set("LogFile", run.path("logs/nuvexmon.log"));
    run.setScenario("status 0x01\n");
    run.start();
}

// Paths that cannot take a line once the daemon runs: monitoring goes on, the lines go
// to standard error, and the file is used again as soon as it can be.
struct BadLog {
    char const* name;
    void (*make)(std::string const& path);  // makes the bad object at the path
};

void PrintTo(BadLog const& c, std::ostream* out) {
    *out << c.name;
}

class UnwritableLog : public ::testing::TestWithParam<BadLog> {};

TEST_P(UnwritableLog, MonitoringGoesOn) {
    SimRun run;
    startWithLogDirectory(run, "20000");
    ASSERT_TRUE(run.waitForPoll(3, LONG_WAIT));
    GetParam().make(run.path("logs.new/nuvexmon.log"));
    swapLogDirectory(run, true);
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        return count(stampedLines(run.errors()), "[DEBUG] Current Status: 1") >= 3;
    }));
    EXPECT_TRUE(run.running());

    // The path free again: the next lines are in the file.
    std::filesystem::remove_all(run.path("logs/nuvexmon.log"));
    unsigned const poll = run.trace().back().poll;
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        return run.readFile("logs/nuvexmon.log").find("Current Status: 1") != std::string::npos;
    }));
    ASSERT_TRUE(run.waitForPoll(poll + 3, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    for (std::string const& line : stampedLines(run.errors())) {
        EXPECT_TRUE(line == "[DEBUG] Current Status: 1" || line == "[DEBUG] U: 4100mV, I: 250mA ")
            << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnwritableLog,
    ::testing::Values(
        BadLog{"Directory",
               [](std::string const& path) { std::filesystem::create_directory(path); }},
        // Opened non-blocking: a FIFO nobody reads fails at once instead of holding the loop.
        BadLog{"FifoWithoutReader",
               [](std::string const& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }}),
    [](auto const& param) { return std::string(param.param.name); });

// A FIFO whose reader stops reading fills up: lines are dropped, the loop never waits.
TEST(ShutdownPromise, FullLogFifoDropsLinesWithoutHoldingTheLoop) {
    SimRun run;
    startWithLogDirectory(run, "1000");
    ASSERT_TRUE(run.waitForPoll(2, LONG_WAIT));
    std::string const fifo = run.path("logs.new/nuvexmon.log");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int const reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    swapLogDirectory(run, true);
    unsigned const poll = run.trace().back().poll;
    // About 80 bytes a poll: 2,000 polls are more than twice what a pipe holds.
    EXPECT_TRUE(run.waitForPoll(poll + 2000, std::chrono::milliseconds(120000)));
    EXPECT_TRUE(run.running());
    EXPECT_TRUE(run.stop().exitedWith(0));
    ::close(reader);
}

// With the log gone and standard error a pipe nobody reads, every line meets EPIPE:
// SIGPIPE must not end the daemon, and the shutdown still happens.
TEST(ShutdownPromise, BrokenStandardErrorDoesNotEndTheDaemon) {
    SimRun run;
    run.breakStandardError();
    std::filesystem::create_directory(run.path("logs"));
    run.setEnv("NUVEXSIM_PAUSE_US", "20000");
    run.set("LogFile", run.path("logs/nuvexmon.log"));
    run.set("ShutdownTimer", "3");
    // The hook reports whether it runs with SIGPIPE ignored (bit 13 of SigIgn).
    run.set("StatusChangedCmd", "grep SigIgn /proc/self/status > hook-signals.txt");
    run.setScenario("status 0x01\npoll 20 status 0x02\n");
    run.start();
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        return run.readFile("logs/nuvexmon.log").find("nuvexmon started") != std::string::npos;
    }));
    swapLogDirectory(run, false);
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] { return run.powerOffRequests().size() == 1; }));
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] { return !run.readFile("hook-signals.txt").empty(); }));
    EXPECT_TRUE(run.running());
    EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
    EXPECT_TRUE(run.stop().exitedWith(0));

    std::string const signals = run.readFile("hook-signals.txt");
    ASSERT_EQ(signals.rfind("SigIgn:", 0), 0u) << signals;
    unsigned long long const ignored = std::stoull(signals.substr(7), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << "the hook inherited an ignored SIGPIPE";
}

// The board misses a byte of the power-off command: the system is shut down all the
// same, then the failure ends the daemon. After a missed command byte no delay follows.
struct MissedByte {
    char const* name;
    char const* scenario;
    unsigned poll;
    Lines sent;
    char const* event;
};

void PrintTo(MissedByte const& c, std::ostream* out) {
    *out << c.name;
}

class MissedPowerOff : public ::testing::TestWithParam<MissedByte> {};

TEST_P(MissedPowerOff, StillShutsTheSystemDown) {
    MissedByte const& c = GetParam();
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", "20000");
    run.set("ShutdownTimer", "3");
    run.set("StatusChangedCmd", "");
    // The event goes out too, though the daemon ends before its pass is over.
    run.set("EventCmd", run.recorder("on-event"));
    run.setScenario(c.scenario);
    run.start();
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    EXPECT_TRUE(exit.exitedWith(1)) << "status " << exit.code << ", signal " << exit.signal;
    ASSERT_TRUE(run.waitForChildren(LONG_WAIT));
    Lines names;
    for (SimRun::Call const& call : run.calls()) {
        names.push_back(call.name + " " + call.arguments);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names.back(), "on-shutdown ");
    EXPECT_EQ(std::count(names.begin(), names.end(), "on-event shutdown"), 1);
    EXPECT_EQ(afterPoll(run.trace(), c.poll), c.sent);
    EXPECT_TRUE(run.powerOffRequests().empty());
    Lines const log = run.logLines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], c.event);
    EXPECT_EQ(log.back(), "[ERROR] could not write to i2c bus!");
    EXPECT_TRUE(run.pidFileExists());
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, MissedPowerOff,
    ::testing::Values(
        // Events run on even passes: battery from poll 4 counts on 4, 6 and 8.
        MissedByte{"CountdownCommand", "status 0x01\npoll 4 status 0x02\npoll 8 fail transfer 41\n",
                   8, Lines{"8 W 0x10 failed"}, "[NOTICE] System shutdown!"},
        MissedByte{"CountdownDelay", "status 0x01\npoll 4 status 0x02\npoll 8 fail transfer 42\n",
                   8, Lines{"8 W 0x10 ok", "8 W 0x1e failed"}, "[NOTICE] System shutdown!"},
        MissedByte{"ButtonCommand", "status 0x01\npoll 2 button\npoll 2 fail transfer 41\n", 2,
                   Lines{"2 W 0x10 failed"}, "[NOTICE] Manual system shutdown!"},
        MissedByte{"ButtonDelay", "status 0x01\npoll 2 button\npoll 2 fail transfer 42\n", 2,
                   Lines{"2 W 0x10 ok", "2 W 0x1e failed"}, "[NOTICE] Manual system shutdown!"}),
    [](auto const& param) { return std::string(param.param.name); });

// Numbers the shutdown depends on are checked when the daemon starts, right after the
// bus is opened, in this order: the two timers, the battery's two voltage ends (empty: not
// set), its curve, resistance and capacity, the charge level and the runtime level. A bad
// one sends nothing and leaves no pid file.
struct StartNumbers {
    char const* name;
    std::vector<std::pair<char const*, char const*>> settings;
    char const* error;  // nullptr: the daemon starts
};

void PrintTo(StartNumbers const& c, std::ostream* out) {
    *out << c.name;
}

class StartCheck : public ::testing::TestWithParam<StartNumbers> {};

TEST_P(StartCheck, RefusesNumbersThatAreNone) {
    StartNumbers const& c = GetParam();
    SimRun run;
    for (auto const& [key, value] : c.settings) {
        run.set(key, value);
    }
    run.setScenario("status 0x01\n");
    run.start();
    if (c.error == nullptr) {
        EXPECT_TRUE(run.waitForPoll(1, LONG_WAIT));
        EXPECT_TRUE(run.stop().exitedWith(0));
        return;
    }
    EXPECT_TRUE(run.wait(LONG_WAIT).exitedWith(1));
    EXPECT_EQ(run.logLines(), Lines{c.error});
    EXPECT_TRUE(run.trace().empty());
    EXPECT_FALSE(run.pidFileExists());
    EXPECT_EQ(run.output(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Values, StartCheck,
    ::testing::Values(
        StartNumbers{
            "ShutdownTimerText", {{"ShutdownTimer", "soon"}}, "[ERROR] invalid ShutdownTimer!"},
        StartNumbers{
            "ShutdownTimerEmpty", {{"ShutdownTimer", ""}}, "[ERROR] invalid ShutdownTimer!"},
        StartNumbers{"ShutdownTimerTooLarge",
                     {{"ShutdownTimer", "2147483648"}},
                     "[ERROR] invalid ShutdownTimer!"},
        StartNumbers{
            "PowerOffTimerText", {{"PowerOffTimer", "abc"}}, "[ERROR] invalid PowerOffTimer!"},
        StartNumbers{"PowerOffTimerTooSmall",
                     {{"PowerOffTimer", "-2147483649"}},
                     "[ERROR] invalid PowerOffTimer!"},
        StartNumbers{"BothBadShutdownTimerFirst",
                     {{"ShutdownTimer", "x"}, {"PowerOffTimer", "y"}},
                     "[ERROR] invalid ShutdownTimer!"},
        StartNumbers{"TrailingTextIsANumber",
                     {{"ShutdownTimer", "10s"}, {"PowerOffTimer", "30 seconds"}},
                     nullptr},
        StartNumbers{"Negative", {{"ShutdownTimer", "-1"}, {"PowerOffTimer", "-1"}}, nullptr},
        StartNumbers{"TimersBeforeVoltages",
                     {{"PowerOffTimer", "y"}, {"BatteryVoltageLow", "x"}},
                     "[ERROR] invalid PowerOffTimer!"},
        StartNumbers{
            "VoltageLowText", {{"BatteryVoltageLow", "low"}}, "[ERROR] invalid BatteryVoltageLow!"},
        StartNumbers{"BothVoltagesBadLowFirst",
                     {{"BatteryVoltageLow", "x"}, {"BatteryVoltageHigh", "y"}},
                     "[ERROR] invalid BatteryVoltageLow!"},
        StartNumbers{"VoltageLowEmptyIsNotSet",
                     {{"BatteryVoltageLow", ""}, {"BatteryVoltageHigh", "2900"}},
                     "[ERROR] invalid BatteryVoltageHigh!"},
        StartNumbers{"VoltageHighText",
                     {{"BatteryVoltageHigh", "high"}},
                     "[ERROR] invalid BatteryVoltageHigh!"},
        StartNumbers{"VoltageHighAtLow",
                     {{"BatteryVoltageLow", "4200"}},
                     "[ERROR] invalid BatteryVoltageHigh!"},
        StartNumbers{"VoltagesWithUnits",
                     {{"BatteryVoltageLow", "9000mV"}, {"BatteryVoltageHigh", "12600 mV"}},
                     nullptr},
        StartNumbers{"VoltagesBeforeCurve",
                     {{"BatteryVoltageHigh", "1"}, {"BatteryCurve", "x"}},
                     "[ERROR] invalid BatteryVoltageHigh!"},
        StartNumbers{"CurveOnePair", {{"BatteryCurve", "3270:0"}}, "[ERROR] invalid BatteryCurve!"},
        StartNumbers{"CurveWithBlanks",
                     {{"BatteryCurve", "3270:0, 4200:100"}},
                     "[ERROR] invalid BatteryCurve!"},
        StartNumbers{"CurveBeforeResistance",
                     {{"BatteryCurve", "x"}, {"BatteryResistance", "x"}},
                     "[ERROR] invalid BatteryCurve!"},
        StartNumbers{"ResistanceNegative",
                     {{"BatteryResistance", "-5"}},
                     "[ERROR] invalid BatteryResistance!"},
        StartNumbers{"OwnCurveNoResistance",
                     {{"BatteryCurve", "9000:0,11100:50,12600:100"}, {"BatteryResistance", "0"}},
                     nullptr},
        StartNumbers{"ResistanceBeforeChargeLevel",
                     {{"BatteryResistance", ""}, {"ShutdownBelowCharge", "x"}},
                     "[ERROR] invalid BatteryResistance!"},
        StartNumbers{"ChargeLevelAbove100",
                     {{"ShutdownBelowCharge", "101"}},
                     "[ERROR] invalid ShutdownBelowCharge!"},
        StartNumbers{"ChargeLevelNotWhole",
                     {{"ShutdownBelowCharge", "10.5"}},
                     "[ERROR] invalid ShutdownBelowCharge!"},
        StartNumbers{"ChargeLevelEmpty",
                     {{"ShutdownBelowCharge", ""}},
                     "[ERROR] invalid ShutdownBelowCharge!"},
        StartNumbers{"ChargeLevel100", {{"ShutdownBelowCharge", "100"}}, nullptr},
        StartNumbers{
            "CapacityText", {{"BatteryCapacity", "big"}}, "[ERROR] invalid BatteryCapacity!"},
        StartNumbers{"OnBatteryDelayWithUnit",
                     {{"OnBatteryDelay", "5s"}},
                     "[ERROR] invalid OnBatteryDelay!"},
        StartNumbers{"OnBatteryDelayNegative",
                     {{"OnBatteryDelay", "-1"}},
                     "[ERROR] invalid OnBatteryDelay!"},
        StartNumbers{"OnBatteryDelayAboveTheTimer",
                     {{"ShutdownTimer", "10"}, {"OnBatteryDelay", "11"}},
                     "[ERROR] invalid OnBatteryDelay!"},
        StartNumbers{"OnBatteryDelayAtTheTimer",
                     {{"ShutdownTimer", "10"}, {"OnBatteryDelay", "10"}},
                     nullptr},
        StartNumbers{"OnBatteryDelayWithoutATimer",
                     {{"ShutdownTimer", "0"}, {"OnBatteryDelay", "3600"}},
                     nullptr},
        StartNumbers{"ChargeLevelBeforeRuntimeLevel",
                     {{"ShutdownBelowCharge", "x"}, {"ShutdownBelowRuntime", "x"}},
                     "[ERROR] invalid ShutdownBelowCharge!"},
        StartNumbers{"RuntimeLevelWithUnit",
                     {{"ShutdownBelowRuntime", "60s"}, {"BatteryCapacity", "2000"}},
                     "[ERROR] invalid ShutdownBelowRuntime!"},
        StartNumbers{"RuntimeLevelWithoutCapacity",
                     {{"ShutdownBelowRuntime", "60"}},
                     "[ERROR] ShutdownBelowRuntime needs BatteryCapacity!"},
        StartNumbers{"RuntimeLevelWithCapacity",
                     {{"ShutdownBelowRuntime", "60"}, {"BatteryCapacity", "2000"}},
                     nullptr}),
    [](auto const& param) { return std::string(param.param.name); });

// The hook must not inherit the bus: a child holding it could put its own transfers in
// the middle of the daemon's exchanges.
TEST(ShutdownPromise, CommandsDoNotInheritTheBus) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", "20000");
    run.set("StatusChangedCmd", "ls -l /proc/self/fd/ > hook-fds.txt");
    run.setScenario("status 0x01\npoll 3 status 0x09\n");
    run.start();
    ASSERT_TRUE(waitFor(LONG_WAIT, [&] {
        std::string const fds = run.readFile("hook-fds.txt");
        return fds.find("total") != std::string::npos && fds.back() == '\n';
    }));
    EXPECT_TRUE(run.stop().exitedWith(0));
    std::string const fds = run.readFile("hook-fds.txt");
    EXPECT_EQ(fds.find(run.devicePath()), std::string::npos) << fds;
    EXPECT_NE(fds.find("hook-fds.txt"), std::string::npos) << fds;
}

}  // namespace
