#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "BoardFixture.h"
#include "NotifyListener.h"
#include "TempDir.h"
#include "app/ServiceNotifier.h"
#include "app/ServiceReport.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexStatus.h"

namespace {

using Messages = std::vector<std::string>;
using std::chrono::milliseconds;
using Clock = ServiceNotifier::Clock;

constexpr milliseconds WAIT{5000};
constexpr char const* VARIABLES[] = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};

std::size_t openDescriptors() {
    return listDirectory("/proc/self/fd").size();
}

// The service manager's three variables; nullptr leaves one unset.
void setVariables(char const* socket, char const* usec, char const* pid) {
    char const* values[] = {socket, usec, pid};
    for (int i = 0; i < 3; ++i) {
        if (values[i] != nullptr) {
            ::setenv(VARIABLES[i], values[i], 1);
        } else {
            ::unsetenv(VARIABLES[i]);
        }
    }
}

std::string abstractName() {
    return "@nuvexmon-test-" + std::to_string(::getpid());
}

TEST(ServiceNotifier, OneDatagramPerMessageToAPathOrAnAbstractSocket) {
    TempDir dir;
    for (std::string const& address : {dir.path() + "/notify", abstractName()}) {
        SCOPED_TRACE(address);
        NotifyListener listener(address);
        setVariables(address.c_str(), "30000000", std::to_string(::getpid()).c_str());
        ServiceNotifier notifier;
        // Nothing the daemon starts later sees them.
        for (char const* name : VARIABLES) {
            EXPECT_EQ(std::getenv(name), nullptr) << name;
        }
        ASSERT_TRUE(notifier.active());
        notifier.status("Primary power, charging; 4.15 V");
        notifier.ready();
        notifier.watchdog(Clock::now());
        ServiceNotifier::stoppingFromSignal();
        EXPECT_EQ(listener.receive(4, WAIT), (Messages{"STATUS=Primary power, charging; 4.15 V",
                                                       "READY=1", "WATCHDOG=1", "STOPPING=1"}));
    }
}

// The ping goes out at most once per half of WATCHDOG_USEC, and only for this process.
TEST(ServiceNotifier, WatchdogPace) {
    struct Case {
        char const* usec;
        char const* pid;  // "self": this process
        std::vector<bool> pings;
    };
    // Calls at these milliseconds; with 1 s the half is 500 ms.
    std::vector<int> const at = {0, 100, 499, 500, 900, 1000, 1600};
    std::string const self = std::to_string(::getpid());
    std::string const other = std::to_string(::getpid() + 1);
    Case const cases[] = {
        {"1000000", nullptr, {true, false, false, true, false, true, true}},
        {"1000000", "self", {true, false, false, true, false, true, true}},
        {"1000000", "other", {false, false, false, false, false, false, false}},
        {nullptr, nullptr, {false, false, false, false, false, false, false}},
        {"0", nullptr, {false, false, false, false, false, false, false}},
        {"1s", nullptr, {false, false, false, false, false, false, false}},
    };
    TempDir dir;
    NotifyListener listener(dir.path() + "/notify");
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string(c.usec != nullptr ? c.usec : "unset") + " " +
                     (c.pid != nullptr ? c.pid : "no pid"));
        std::string const pid = c.pid == nullptr ? "" : std::string(c.pid) == "self" ? self : other;
        setVariables(listener.address().c_str(), c.usec, c.pid != nullptr ? pid.c_str() : nullptr);
        ServiceNotifier notifier;
        Clock::time_point const start = Clock::now();
        for (std::size_t i = 0; i < at.size(); ++i) {
            notifier.watchdog(start + milliseconds(at[i]));
            Messages const sent =
                listener.receive(c.pings[i] ? 1 : SIZE_MAX, milliseconds(c.pings[i] ? 5000 : 0));
            EXPECT_EQ(sent, c.pings[i] ? Messages{"WATCHDOG=1"} : Messages{})
                << "at " << at[i] << " ms";
        }
    }
}

// Run by hand or by another supervisor the daemon opens nothing and sends nothing;
// a socket that is gone or full costs one failed call each time, never a wait.
TEST(ServiceNotifier, NothingWithoutASocketAndNeverAWait) {
    TempDir dir;
    std::size_t const before = openDescriptors();
    for (char const* name : {static_cast<char const*>(nullptr), "", "relative/notify", "@"}) {
        setVariables(name, "1000000", nullptr);
        ServiceNotifier notifier;
        EXPECT_FALSE(notifier.active()) << (name != nullptr ? name : "unset");
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_EQ(std::getenv("WATCHDOG_USEC"), nullptr);
    }
    std::string const gone = dir.path() + "/gone";
    setVariables(gone.c_str(), nullptr, nullptr);
    ServiceNotifier toNobody;
    EXPECT_TRUE(toNobody.active());
    toNobody.ready();

    // Nobody reads: the queue fills, and every later send fails at once.
    NotifyListener full(dir.path() + "/full");
    setVariables(full.address().c_str(), nullptr, nullptr);
    ServiceNotifier notifier;
    for (int i = 0; i < 5000; ++i) {
        notifier.status("On battery: shutdown in 7 s; 3.92 V");
    }
    EXPECT_FALSE(full.pending().empty());
}

// The line the service manager shows, as the passes of the daemon leave the board.
class ServiceReportTest : public BoardFixture {
protected:
    ServiceReportTest() : mListener(mDir.path() + "/notify"), mEvents(&mStatus) {
        mStatus.mI2C = mBus.get();
        mEvents.mI2C = mBus.get();
        set("StatusChangedCmd", "");
        set("ShutdownTimer", "3");
        set("I2CDevice", "/dev/i2c-1");
        setVariables(mListener.address().c_str(), "3600000000", nullptr);
    }

    // One pass as the daemon runs it: poll, events every second pass, then the report.
    Messages pass(ServiceReport& report) {
        mStatus.exec();
        if (++mPass % 2 == 0) {
            mEvents.exec();
        }
        report.passCompleted();
        return mListener.pending();
    }

    NotifyListener mListener;
    NuvexStatus mStatus;
    NuvexEvents mEvents;
    unsigned mPass = 0;
};

TEST_F(ServiceReportTest, LinesOnChangeOnlyThenShutdown) {
    ServiceNotifier notifier;
    ServiceReport report(notifier, &mStatus, &mEvents);
    mBoard.setStatus(0x09);
    mBoard.setMeasurement(4150, 420);
    EXPECT_EQ(pass(report),
              (Messages{"STATUS=Primary power, charging; 4.15 V", "READY=1", "WATCHDOG=1"}));
    EXPECT_EQ(pass(report), Messages{});

    // A voltage alone waits until the line is VOLTAGE_PASSES passes old.
    mBoard.setMeasurement(4160, 420);
    for (unsigned i = 3; i <= ServiceReport::VOLTAGE_PASSES; ++i) {
        EXPECT_EQ(pass(report), Messages{}) << "pass " << mPass + 1;
    }
    EXPECT_EQ(pass(report), Messages{"STATUS=Primary power, charging; 4.16 V"});

    mBoard.setPresent(false);
    EXPECT_EQ(pass(report), Messages{"STATUS=No answer from the board on /dev/i2c-1"});
    mBoard.setPresent(true);
    mBoard.setStatus(0x06);
    mBoard.setMeasurement(3920, 0);
    Messages lines;
    for (int i = 0; i < 6; ++i) {
        for (std::string const& line : pass(report)) {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(lines, (Messages{"STATUS=On battery, battery low: shutdown in 3 s; 3.92 V",
                               "STATUS=On battery, battery low: shutdown in 2 s; 3.92 V",
                               "STATUS=On battery, battery low: shutdown in 1 s; 3.92 V",
                               "STATUS=Shutdown started: the board cuts the power in 30 s"}));
}

}  // namespace
