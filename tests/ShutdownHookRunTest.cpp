// The shutdown hook's mode run as a process on the simulated board, with recorders for
// reboot and the rest first in PATH: what reaches the board and whether it reboots.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "SimRun.h"

namespace {

using std::chrono::milliseconds;
constexpr milliseconds LONG_WAIT{30000};

std::string ourRecord() {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string boot;
    std::getline(file, boot);
    struct timespec now {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    long long const ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    // The daemon's command went out a second ago with a delay of 0.
    return "boot " + boot + "\noutage " + std::to_string(ms - 9000) + "\ncount 8 " +
           std::to_string(ms - 1000) + "\nshutdown countdown\npoweroff " +
           std::to_string(ms - 1000) + " 0\nend\n";
}

struct Case {
    char const* name;
    char const* verb;
    char const* scenario;  // poll 1: the hook's first look, poll 2: after the wait
    bool record;
    char const* enabled;
    std::vector<std::uint8_t> sent;
    bool reboot;
};

// gtest names the case rather than dumping its bytes.
void PrintTo(Case const& c, std::ostream* out) {
    *out << c.name;
}

class ShutdownHookRun : public ::testing::TestWithParam<Case> {};

TEST_P(ShutdownHookRun, ActsOnBoardAndRecord) {
    Case const& c = GetParam();
    SimRun run;
    run.set("PowerOffTimer", "0");
    run.set("ShutdownHook", c.enabled);
    run.setScenario(c.scenario);
    if (c.record) {
        ::mkdir(run.path("run").c_str(), 0755);
        run.writeFile("run/outage", ourRecord());
    }
    run.start({"system-shutdown", c.verb});
    EXPECT_TRUE(run.wait(LONG_WAIT).exitedWith(0));
    EXPECT_EQ(run.powerOffRequests(), c.sent);
    std::vector<SimRun::Call> const calls = run.calls();
    if (c.reboot) {
        ASSERT_EQ(calls.size(), 1U);
        EXPECT_EQ(calls[0].name, "reboot");
        EXPECT_EQ(calls[0].arguments, "-ff");
    } else {
        EXPECT_TRUE(calls.empty()) << calls.front().name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShutdownHookRun,
    ::testing::Values(
        Case{"MainsPlainPowerOff", "poweroff", "status 0x09\n", false, "1", {}, false},
        Case{"BatteryStillAfterTheWait", "poweroff", "status 0x02\n", false, "1", {0}, false},
        Case{"MainsBackDuringTheWait",
             "halt",
             "status 0x02\npoll 2 status 0x01\n",
             false,
             "1",
             {0},
             true},
        Case{"OursAlreadySentMainsBack", "poweroff", "status 0x01\n", true, "1", {}, true},
        Case{"SwitchedOff", "poweroff", "status 0x02\n", true, "0", {}, false},
        Case{"RebootAsked", "reboot", "status 0x02\n", false, "1", {}, false}),
    [](auto const& param) { return std::string(param.param.name); });

}  // namespace
