// The daemon started beside an outage record left by an earlier one: what it takes
// over, what it refuses, and that nothing in the record stops it from starting; and the
// shutdown hook's mode, which reads the same record at the end of a shutdown.
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
constexpr milliseconds LONG_WAIT{20000};

std::string bootId() {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id;
}

long long nowMs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::vector<std::string> withLabel(std::vector<std::string> const& lines, char const* label) {
    std::vector<std::string> selected;
    for (std::string const& line : lines) {
        if (line.rfind(label, 0) == 0) {
            selected.push_back(line);
        }
    }
    return selected;
}

struct Case {
    char const* name;
    char const* status;  // the board at start
    // The record: %B is this boot, %O the outage's start (6 s ago), %C the last count's
    // time (1 s ago), %F a moment a minute ahead. Empty: no run/ directory at all.
    char const* record;
    char const* warning;    // the one [WARNING] line, or nothing
    int firstCountAtLeast;  // the first "Shutdown timer: N / 20" line
    int firstCountAtMost;
    bool shutdownTakenOver;  // no countdown, no command: the last daemon started it
};

std::string expand(std::string text) {
    auto replace = [&text](std::string const& key, std::string const& value) {
        for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key)) {
            text.replace(at, key.size(), value);
        }
    };
    long long const now = nowMs();
    replace("%B", bootId());
    replace("%O", std::to_string(now - 6000));
    replace("%C", std::to_string(now - 1000));
    replace("%F", std::to_string(now + 60000));
    return text;
}

// gtest names the case rather than dumping its bytes.
void PrintTo(Case const& c, std::ostream* out) {
    *out << c.name;
}

class RecordAtStart : public ::testing::TestWithParam<Case> {};

TEST_P(RecordAtStart, StartsNormally) {
    Case const& c = GetParam();
    SimRun run;
    run.set("ShutdownTimer", "20");
    run.setScenario(std::string("status ") + c.status + "\npoll 8 status 0x02\n");
    if (c.record != nullptr) {
        ::mkdir(run.path("run").c_str(), 0755);
        if (*c.record != '\0') {
            run.writeFile("run/outage", expand(c.record));
        }
    }
    run.start();
    if (c.shutdownTakenOver) {
        ASSERT_TRUE(run.waitForPoll(10, LONG_WAIT));
    } else {
        ASSERT_TRUE(run.waitForLogLine("Shutdown timer:", LONG_WAIT));
    }
    EXPECT_TRUE(run.stop().exitedWith(0));

    std::vector<std::string> const lines = run.logLines();
    std::vector<std::string> const warnings = withLabel(lines, "[WARNING]");
    if (c.warning == nullptr) {
        EXPECT_TRUE(warnings.empty()) << warnings.front();
    } else {
        EXPECT_EQ(warnings, std::vector<std::string>{c.warning});
    }
    EXPECT_TRUE(withLabel(lines, "[ERROR]").empty());
    std::vector<std::string> const notices = withLabel(lines, "[NOTICE]");
    ASSERT_FALSE(notices.empty());
    EXPECT_EQ(notices.front(), "[NOTICE] nuvexmon started");
    if (c.shutdownTakenOver) {
        EXPECT_TRUE(run.powerOffRequests().empty());
        EXPECT_TRUE(run.calls().empty());
        EXPECT_EQ(withLabel(lines, "[NOTICE] Shutdown timer").size(), 0U);
        return;
    }
    for (std::string const& line : notices) {
        int count = 0;
        if (std::sscanf(line.c_str(), "[NOTICE] Shutdown timer: %d / 20", &count) == 1) {
            EXPECT_GE(count, c.firstCountAtLeast) << line;
            EXPECT_LE(count, c.firstCountAtMost) << line;
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Guards, RecordAtStart,
    ::testing::Values(
        Case{"NoDirectory", "0x02", nullptr, nullptr, 1, 1, false},
        Case{"NoRecord", "0x02", "", nullptr, 1, 1, false},
        // 5 counted, then a second away: the next line counts on from 6 or 7.
        Case{"ContinuesTheCountdown", "0x02", "boot %B\noutage %O\ncount 5 %C\nend\n", nullptr, 7,
             8, false},
        Case{"ShutdownAlreadyStarted", "0x02",
             "boot %B\noutage %O\ncount 5 %C\nshutdown countdown\npoweroff %C 30\nend\n", nullptr,
             0, 0, true},
        // The board says primary power: the record is stale, the next outage counts from 1.
        Case{"PrimaryPowerDropsIt", "0x01", "boot %B\noutage %O\ncount 5 %C\nend\n", nullptr, 1, 1,
             false},
        Case{"AnotherBoot", "0x02",
             "boot 00000000-0000-0000-0000-000000000000\noutage %O\ncount 5 %C\nend\n",
             "[WARNING] Outage record run/outage ignored: it belongs to another boot", 1, 1, false},
        Case{"InTheFuture", "0x02", "boot %B\noutage %O\ncount 5 %F\nend\n",
             "[WARNING] Outage record run/outage ignored: it lies in the future", 1, 1, false},
        Case{"Truncated", "0x02", "boot %B\noutage %O\ncount 5 %C\n",
             "[WARNING] Outage record run/outage ignored: it is unreadable or malformed", 1, 1,
             false},
        Case{"Malformed", "0x02", "boot %B\noutage yesterday\ncount 5 %C\nend\n",
             "[WARNING] Outage record run/outage ignored: it is unreadable or malformed", 1, 1,
             false}),
    [](auto const& param) { return std::string(param.param.name); });

// The shutdown hook's mode beside such a record, with recorders for reboot and the rest
// first in PATH: what reaches the board and whether it reboots.
struct HookCase {
    char const* name;
    char const* verb;
    char const* scenario;  // poll 1: the hook's first look, poll 2: after the wait
    bool record;
    char const* enabled;
    std::vector<std::uint8_t> sent;
    bool reboot;
};

// gtest names the case rather than dumping its bytes.
void PrintTo(HookCase const& c, std::ostream* out) {
    *out << c.name;
}

class ShutdownHookRun : public ::testing::TestWithParam<HookCase> {};

TEST_P(ShutdownHookRun, ActsOnBoardAndRecord) {
    HookCase const& c = GetParam();
    SimRun run;
    run.set("PowerOffTimer", "0");
    run.set("ShutdownHook", c.enabled);
    run.setScenario(c.scenario);
    if (c.record) {
        ::mkdir(run.path("run").c_str(), 0755);
        // The daemon's command went out a second ago with a delay of 0.
        run.writeFile("run/outage", expand("boot %B\noutage %O\ncount 8 %C\nshutdown countdown\n"
                                           "poweroff %C 0\nend\n"));
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
        HookCase{"MainsPlainPowerOff", "poweroff", "status 0x09\n", false, "1", {}, false},
        HookCase{"BatteryStillAfterTheWait", "poweroff", "status 0x02\n", false, "1", {0}, false},
        HookCase{"MainsBackDuringTheWait",
                 "halt",
                 "status 0x02\npoll 2 status 0x01\n",
                 false,
                 "1",
                 {0},
                 true},
        HookCase{"OursAlreadySentMainsBack", "poweroff", "status 0x01\n", true, "1", {}, true},
        HookCase{"SwitchedOff", "poweroff", "status 0x02\n", true, "0", {}, false},
        HookCase{"RebootAsked", "reboot", "status 0x02\n", false, "1", {}, false}),
    [](auto const& param) { return std::string(param.param.name); });

}  // namespace
