// The events as people's scripts see them: the daemon on the simulated board with
// EventCmd set to the sandbox's recorder, which keeps $1 and every NUVEX_* variable.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SimRun.h"
#include "Trace.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};
constexpr milliseconds LOOK{20};

// The value of a recorded variable; "(unset)" when the run did not have it.
std::string variable(SimRun::Call const& call, std::string const& name) {
    for (std::string const& entry : call.variables) {
        if (entry.rfind(name + "=", 0) == 0) {
            return entry.substr(name.size() + 1);
        }
    }
    if (name == "NUVEX_STATUS") {
        return call.status;
    }
    return "(unset)";
}

std::vector<SimRun::Call> eventRuns(SimRun const& run) {
    std::vector<SimRun::Call> runs;
    for (SimRun::Call const& call : run.calls()) {
        if (call.name == "on-event") {
            runs.push_back(call);
        }
    }
    return runs;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The first poll that read this status byte, in seconds since the start.
double firstPollWith(std::vector<Transfer> const& trace, std::uint8_t status) {
    for (std::size_t i = 1; i < trace.size(); ++i) {
        if (trace[i - 1].write && trace[i - 1].byte == 0x00 && !trace[i].write && trace[i].ok &&
            trace[i].byte == status) {
            return trace[i].seconds;
        }
    }
    return -1;
}

// A variable of the n-th event run: exactly this value, or within "low..high".
struct Expect {
    std::size_t run;
    char const* name;
    std::string value;
};

struct Sequence {
    char const* name;
    std::vector<std::pair<std::string, std::string>> settings;
    char const* scenario;
    double seconds;  // how long the daemon runs, unless it ends by itself first
    Lines events;    // $1 of each run, in order
    std::vector<Expect> expects;
    double onBatteryAfter;  // onbattery this many seconds (±1) after the power failed; <0: any
};

void PrintTo(Sequence const& s, std::ostream* out) {
    *out << s.name;
}

class EventSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(EventSequence, RunsTheCommandForEachEventOnce) {
    Sequence const& s = GetParam();
    SimRun run;
    run.set("EventCmd", run.recorder("on-event"));
    run.set("PowerOffTimer", "25");
    for (auto const& [key, value] : s.settings) {
        run.set(key, value);
    }
    run.setScenario(s.scenario);
    run.start();
    // When each run was first seen: the recorder writes its line as it starts.
    std::vector<double> seen;
    while (secondsSince(run.startTime()) < s.seconds && run.running()) {
        for (std::size_t i = seen.size(); i < eventRuns(run).size(); ++i) {
            seen.push_back(secondsSince(run.startTime()));
        }
        std::this_thread::sleep_for(LOOK);
    }
    bool const gaveUp = !run.running();
    SimRun::Exit const exit = gaveUp ? run.wait() : run.stop();
    EXPECT_TRUE(exit.exitedWith(gaveUp ? 1 : 0));
    ASSERT_TRUE(run.waitForChildren(LONG_WAIT));

    std::vector<SimRun::Call> const runs = eventRuns(run);
    Lines names;
    for (SimRun::Call const& call : runs) {
        names.push_back(call.arguments);
        EXPECT_EQ(variable(call, "NUVEX_EVENT"), call.arguments);
        EXPECT_NE(variable(call, "NUVEX_MESSAGE"), "");
    }
    ASSERT_EQ(names, s.events);
    for (Expect const& e : s.expects) {
        std::string const value = variable(runs.at(e.run), e.name);
        std::size_t const dots = e.value.find("..");
        std::string expected = e.value;
        std::size_t const device = expected.find("@DEVICE@");
        if (device != std::string::npos) {
            expected.replace(device, std::strlen("@DEVICE@"), run.devicePath());
        }
        if (dots == std::string::npos) {
            EXPECT_EQ(value, expected) << s.events[e.run] << " " << e.name;
        } else {
            int const number = std::atoi(value.c_str());
            EXPECT_TRUE(!value.empty() && number >= std::stoi(e.value.substr(0, dots)) &&
                        number <= std::stoi(e.value.substr(dots + 2)))
                << s.events[e.run] << " " << e.name << "=" << value << ", not " << e.value;
        }
    }
    std::vector<Transfer> const trace = run.trace();
    if (s.onBatteryAfter >= 0) {
        double const failed = firstPollWith(trace, 0x02);
        ASSERT_GE(failed, 0);
        ASSERT_FALSE(seen.empty());
        EXPECT_NEAR(seen[0] - failed, s.onBatteryAfter, 1.0);
    }
    auto const shutdown = std::find(s.events.begin(), s.events.end(), "shutdown");
    if (shutdown != s.events.end()) {
        // Once, after the board has its command.
        EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{25});
        auto const command = std::find_if(trace.begin(), trace.end(), [](Transfer const& t) {
            return t.write && t.byte == 0x10;
        });
        ASSERT_NE(command, trace.end());
        ASSERT_EQ(seen.size(), runs.size());
        EXPECT_LE(command->seconds, seen[static_cast<std::size_t>(shutdown - s.events.begin())]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EventSequence,
    ::testing::Values(
        Sequence{"BlipShorterThanTheDelay",
                 {{"OnBatteryDelay", "5"}, {"ShutdownTimer", "30"}},
                 "status 0x09\nat 2 status 0x02\nat 4 status 0x09\n",
                 9,
                 {},
                 {},
                 -1},
        Sequence{"OutageLongerThanTheDelay",
                 {{"OnBatteryDelay", "5"}, {"ShutdownTimer", "30"}},
                 "status 0x09\nat 2 status 0x02\nat 12 status 0x09\n",
                 14,
                 {"onbattery", "online"},
                 {{0, "NUVEX_ON_BATTERY", "4..6"},
                  {0, "NUVEX_SHUTDOWN_IN", "24..26"},
                  {0, "NUVEX_STATUS", "2"},
                  {1, "NUVEX_ON_BATTERY", "9..11"},
                  {1, "NUVEX_SHUTDOWN_IN", ""},
                  {1, "NUVEX_STATUS", "9"},
                  {1, "NUVEX_REASON", "(unset)"}},
                 5},
        Sequence{"LowBatteryOncePerAppearanceOnBattery",
                 {{"ShutdownTimer", "60"}},
                 "status 0x09\nat 2 status 0x02\nat 4 status 0x06\nat 6 status 0x02\n"
                 "at 8 status 0x06\nat 10 status 0x05\nat 12 status 0x01\n",
                 14,
                 {"onbattery", "lowbattery", "lowbattery", "online"},
                 {{1, "NUVEX_STATUS", "6"}, {2, "NUVEX_STATUS", "6"}, {3, "NUVEX_STATUS", "5"}},
                 0},
        Sequence{"CountdownShutdown",
                 {{"ShutdownTimer", "3"}},
                 "status 0x09\nat 2 status 0x02\n",
                 8,
                 {"onbattery", "shutdown"},
                 {{1, "NUVEX_REASON", "countdown"},
                  {1, "NUVEX_POWEROFF_IN", "25"},
                  {1, "NUVEX_SHUTDOWN_IN", "0"},
                  {1, "NUVEX_MESSAGE",
                   "Shutdown started at the end of the countdown: the board cuts the power in "
                   "25 s"}},
                 0},
        Sequence{"ButtonShutdown",
                 {},
                 "status 0x09\npoll 4 button\n",
                 5,
                 {"shutdown"},
                 {{0, "NUVEX_REASON", "button"},
                  {0, "NUVEX_POWEROFF_IN", "25"},
                  {0, "NUVEX_ON_BATTERY", "0"},
                  {0, "NUVEX_SHUTDOWN_IN", ""}},
                 -1},
        Sequence{"BatteryLowGuardShutdown",
                 {{"ShutdownOnLowBattery", "1"}, {"ShutdownTimer", "30"}},
                 "status 0x09\nat 2 status 0x02\nat 4 status 0x06\n",
                 7,
                 {"onbattery", "lowbattery", "shutdown"},
                 {{2, "NUVEX_REASON", "lowbattery"}, {2, "NUVEX_POWEROFF_IN", "25"}},
                 0},
        Sequence{"TwoFailedPolls",
                 {},
                 "status 0x09\npoll 4..5 absent\n",
                 6,
                 {"commlost", "commok"},
                 {{0, "NUVEX_MESSAGE", "No answer from the board on @DEVICE@"},
                  {0, "NUVEX_CHARGE", "84"},  // 4.10 V less 0.25 A x 120 mOhm charging
                  {0, "NUVEX_VOLTAGE", "4.10"}},
                 -1},
        Sequence{"ThreeFailedPollsEndTheDaemon",
                 {},
                 "status 0x09\npoll 4..6 absent\n",
                 15,
                 {"commlost"},
                 {},
                 -1}),
    [](auto const& param) { return std::string(param.param.name); });

// A script that takes ten minutes holds up nothing: the polls keep their pace, the next
// event's run starts beside it, and the shutdown comes on time.
TEST(EventCommand, SlowScriptHoldsUpNothing) {
    SimRun run;
    run.set("EventCmd", "sh -c 'echo \"$0\" >> events.txt; exec sleep 600'");
    run.set("ShutdownTimer", "3");
    run.setScenario("status 0x09\npoll 3 status 0x02\n");
    run.start();
    ASSERT_TRUE(run.waitForLogLine("[NOTICE] System shutdown!", LONG_WAIT));
    ASSERT_TRUE(run.waitForPoll(14, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_EQ(run.readFile("events.txt"), "onbattery\nshutdown\n");
    EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
    std::vector<double> const starts = Trace::pollStarts(run.trace());
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_LT(starts[i] - starts[i - 1], 2.0) << "between polls " << i << " and " << i + 1;
    }
}

TEST(EventCommand, FailureIsOneWarningLine) {
    SimRun run;
    run.set("EventCmd", "sh -c 'exit 3'");
    run.set("ShutdownTimer", "100");
    run.setScenario("status 0x02\n");
    run.start();
    ASSERT_TRUE(run.waitForLogLine("[WARNING]", LONG_WAIT));
    ASSERT_TRUE(run.waitForPoll(8, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    Lines warnings;
    for (std::string const& line : run.logLines()) {
        if (line.rfind("[WARNING]", 0) == 0) {
            warnings.push_back(line);
        }
    }
    EXPECT_EQ(warnings, Lines{"[WARNING] EventCmd onbattery exited with status 3"});
}

// "nuvexmon event NAME" beside a running daemon: the daemon's published readings, the
// script's own output and status, and never a transfer on the bus.
TEST(EventCommand, OneShotRunTakesThePublishedState) {
    SimRun daemon;
    daemon.set("StateFile", daemon.path("nuvexmon.dev"));
    daemon.set("ShutdownTimer", "100");
    daemon.setScenario("status 0x02\nmeasure 3850 300\n");
    daemon.start();
    ASSERT_TRUE(daemon.waitForLogLine("Shutdown timer: 2 / 100", LONG_WAIT));

    SimRun once;
    once.set("StateFile", daemon.path("nuvexmon.dev"));
    // The event's name goes to the last command.
    once.set("EventCmd", "echo from the script; " + once.recorder("on-event"));
    once.start({"event", "onbattery"});
    EXPECT_TRUE(once.wait(LONG_WAIT).exitedWith(0));
    std::string const published = daemon.readFile("nuvexmon.dev");
    EXPECT_TRUE(daemon.stop().exitedWith(0));
    EXPECT_EQ(once.output(), "from the script\nEventCmd onbattery exited with status 0\n");
    EXPECT_TRUE(once.trace().empty());
    std::vector<SimRun::Call> const runs = eventRuns(once);
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_EQ(runs[0].arguments, "onbattery");
    for (auto const& [name, key] :
         {std::pair<char const*, char const*>{"NUVEX_CHARGE", "battery.charge"},
          {"NUVEX_VOLTAGE", "battery.voltage"},
          {"NUVEX_CURRENT", "battery.current"}}) {
        std::string const value = variable(runs[0], name);
        EXPECT_FALSE(value.empty()) << name;
        EXPECT_NE(published.find(std::string(key) + ": " + value + "\n"), std::string::npos)
            << name << "=" << value << " not in\n"
            << published;
    }
    EXPECT_EQ(variable(runs[0], "NUVEX_STATUS"), "2");
    EXPECT_EQ(variable(runs[0], "NUVEX_VOLTAGE"), "3.85");

    SimRun failing;
    failing.set("EventCmd", "sh -c 'exit 3'");
    failing.start({"event", "online"});
    EXPECT_TRUE(failing.wait(LONG_WAIT).exitedWith(3));
    EXPECT_EQ(failing.output(), "EventCmd online exited with status 3\n");

    // "poweroff" names no event here, and sends nothing.
    for (char const* name : {"blackout", "poweroff"}) {
        SimRun unknown;
        unknown.set("EventCmd", unknown.recorder("on-event"));
        unknown.start({"event", name});
        EXPECT_TRUE(unknown.wait(LONG_WAIT).exitedWith(2)) << name;
        EXPECT_EQ(unknown.errors(), std::string("nuvexmon: unknown event '") + name +
                                        "' (events: onbattery, online, lowbattery, shutdown, "
                                        "commlost, commok)\n");
        EXPECT_TRUE(unknown.calls().empty());
        EXPECT_TRUE(unknown.trace().empty());
    }
}

// A daemon restarted in the middle of an outage (the record kept in run/) says nothing
// more of it until it ends, then tells how long it lasted.
TEST(EventCommand, RestartMidOutageAnnouncesNothingTwice) {
    SimRun first;
    std::filesystem::create_directory(first.path("run"));
    first.set("EventCmd", first.recorder("on-event"));
    first.set("ShutdownTimer", "100");
    first.setScenario("status 0x02\n");
    first.start();
    ASSERT_TRUE(first.waitForCalls(1, LONG_WAIT));
    ASSERT_TRUE(first.waitForLogLine("Shutdown timer: 3 / 100", LONG_WAIT));
    EXPECT_TRUE(first.stop().exitedWith(0));
    std::string const record = first.readFile("run/outage");
    ASSERT_NE(record.find("\nannounced\n"), std::string::npos) << record;

    SimRun second;
    std::filesystem::create_directory(second.path("run"));
    second.writeFile("run/outage", record);
    second.set("EventCmd", second.recorder("on-event"));
    second.set("ShutdownTimer", "100");
    second.setScenario("status 0x02\npoll 6 status 0x09\n");
    second.start();
    ASSERT_TRUE(second.waitForPoll(9, LONG_WAIT));
    EXPECT_TRUE(second.stop().exitedWith(0));
    ASSERT_TRUE(second.waitForChildren(LONG_WAIT));
    std::vector<SimRun::Call> const runs = eventRuns(second);
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_EQ(runs[0].arguments, "online");
    // The whole outage: the first daemon's two seconds and more, and the second's.
    EXPECT_GE(std::atoi(variable(runs[0], "NUVEX_ON_BATTERY").c_str()), 4);
}

}  // namespace
