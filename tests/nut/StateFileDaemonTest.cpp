// The daemon as a process on the simulated board, publishing its state file: what the
// file shows through a power failure, and that it is gone once the daemon ends.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "SimRun.h"

namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};

bool exists(std::string const& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// "ups.status: OB | ups.timer.shutdown: 2" from a whole file; empty for no file.
std::string summary(std::string const& text) {
    std::size_t const status = text.find("ups.status: ");
    std::size_t const timer = text.find("ups.timer.shutdown: ");
    if (status == std::string::npos || timer == std::string::npos) {
        return text;
    }
    return text.substr(status, text.find('\n', status) - status) + " | " +
           text.substr(timer, text.find('\n', timer) - timer);
}

// Samples the state file every 20 ms while the condition is false, keeping each
// distinct summary in order; a pass lasts at least 500 ms, so none is missed.
template <typename Done>
Lines sampleUntil(SimRun const& run, Done done, milliseconds timeout = LONG_WAIT) {
    Lines seen;
    auto const end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end) {
        std::string const now = summary(run.readFile("nuvexmon.dev"));
        if (!now.empty() && (seen.empty() || seen.back() != now)) {
            seen.push_back(now);
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return seen;
}

TEST(StateFileDaemon, PowerFailureCountdownAndShutdownThenRemovedOnStop) {
    SimRun run;
    run.set("StateFile", run.path("nuvexmon.dev"));
    run.set("ShutdownTimer", "3");
    run.setScenario("status 0x09\nmeasure 4150 420\npoll 4 status 0x02\n");
    run.start();
    Lines const seen = sampleUntil(run, [&run] { return run.calls().size() >= 2; });
    ASSERT_EQ(run.calls().size(), 2u) << "no shutdown";
    // The last write may come a moment after the shutdown command.
    std::this_thread::sleep_for(milliseconds(200));
    Lines all = seen;
    std::string const last = summary(run.readFile("nuvexmon.dev"));
    if (all.empty() || all.back() != last) {
        all.push_back(last);
    }
    // Countdown runs at passes 4, 6 and 8; the shutdown starts at the third.
    EXPECT_EQ(all, (Lines{"ups.status: OL CHRG | ups.timer.shutdown: -1",
                          "ups.status: OB | ups.timer.shutdown: 2",
                          "ups.status: OB | ups.timer.shutdown: 1",
                          "ups.status: FSD OB | ups.timer.shutdown: 0"}));
    EXPECT_EQ(run.readFile("nuvexmon.dev"),
              "battery.charge: 96\nups.status: FSD OB\nups.alarm: \"\"\n"
              "battery.charger.status: discharging\nbattery.voltage: 4.15\n"
              "battery.voltage.low: 3.27\nbattery.voltage.high: 4.20\nbattery.current: 0.420\n"
              "ups.firmware: NUVEXSIM 1.0\nups.timer.shutdown: 0\nups.delay.shutdown: 30\n"
              "device.type: ups\ndevice.mfr: Nuvex\ndevice.model: UPS board\nups.mfr: Nuvex\n"
              "ups.model: UPS board\n");
    struct stat info {};
    ASSERT_EQ(::stat(run.path("nuvexmon.dev").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_FALSE(exists(run.path("nuvexmon.dev")));
    EXPECT_FALSE(exists(run.path("nuvexmon.dev.tmp")));
    EXPECT_EQ(run.errors(), "");
}

TEST(StateFileDaemon, FailureExitRemovesTheFileAfterTheAlarm) {
    SimRun run;
    run.set("StateFile", run.path("nuvexmon.dev"));
    run.setScenario("status 0x01\npoll 3..5 absent\n");
    run.start();
    Lines const seen = sampleUntil(run, [&run] { return !run.running(); });
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    EXPECT_TRUE(exit.exitedWith(1));
    // Polls 3 and 4 fail and are published; the third failure ends the daemon.
    EXPECT_EQ(seen, (Lines{"ups.status: OL | ups.timer.shutdown: -1",
                           "ups.status: OL ALARM | ups.timer.shutdown: -1"}));
    EXPECT_FALSE(exists(run.path("nuvexmon.dev")));
    EXPECT_FALSE(exists(run.path("nuvexmon.dev.tmp")));
    Lines const lines = run.logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[ERROR] could not communicate with nuvexmon!");
}

// The counted charge outlives a restart within the boot: the first daemon keeps it in the
// outage record at its first poll (50 % on the straight line, no resistance), the second
// starts from there although its board reads 75 %.
TEST(StateFileDaemon, CountedChargeOutlivesARestart) {
    auto configure = [](SimRun& run, char const* scenario) {
        ASSERT_EQ(::mkdir(run.path("run").c_str(), 0755), 0);
        run.set("StateFile", run.path("nuvexmon.dev"));
        run.set("BatteryVoltageLow", "3000");
        run.set("BatteryVoltageHigh", "4200");
        run.set("BatteryResistance", "0");
        run.set("BatteryCapacity", "2000");
        run.setScenario(scenario);
    };
    auto charge = [](SimRun const& run) {
        std::string const text = run.readFile("nuvexmon.dev");
        std::size_t const at = text.find("battery.charge: ");
        return at == std::string::npos ? std::string()
                                       : text.substr(at + 16, text.find('\n', at) - at - 16);
    };
    SimRun first;
    configure(first, "status 0x01\nmeasure 3600 0\n");
    first.start();
    sampleUntil(first, [&first] {
        return first.readFile("run/outage").find("\ncharge 50000\n") != std::string::npos;
    });
    ASSERT_NE(first.readFile("run/outage").find("\ncharge 50000\n"), std::string::npos)
        << first.readFile("run/outage");
    EXPECT_EQ(charge(first), "50");
    EXPECT_TRUE(first.stop().exitedWith(0));

    SimRun second;
    configure(second, "status 0x01\nmeasure 3900 0\n");
    second.writeFile("run/outage", first.readFile("run/outage"));
    second.start();
    ASSERT_TRUE(second.waitForPoll(2, LONG_WAIT));
    EXPECT_EQ(charge(second), "50");
    EXPECT_TRUE(second.stop().exitedWith(0));
}

}  // namespace
