#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "NotifyListener.h"
#include "SimRun.h"
#include "Trace.h"

namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{20000};

Lines withLabel(Lines const& lines, std::string const& label) {
    Lines selected;
    for (std::string const& line : lines) {
        if (line.rfind(label, 0) == 0) {
            selected.push_back(line);
        }
    }
    return selected;
}

std::vector<std::uint8_t> writesAfterPolling(std::vector<Transfer> const& trace) {
    // Bytes the host sent that were no command of a poll: the power-off exchange.
    std::vector<std::uint8_t> bytes;
    bool powerOff = false;
    for (Transfer const& t : trace) {
        if (t.write && (powerOff || t.byte == 0x10)) {
            bytes.push_back(t.byte);
            powerOff = t.byte == 0x10;
        }
    }
    return bytes;
}

TEST(Daemon, PowerFailureFromLossToPowerOff) {
    SimRun run;
    run.set("ShutdownTimer", "3");
    run.setScenario("status 0x01\npoll 4 status 0x02\n");
    run.start();
    ASSERT_TRUE(run.waitForCalls(2, LONG_WAIT));  // the hook, then the shutdown command
    EXPECT_TRUE(run.pidFileExists());
    EXPECT_EQ(run.pidFile(), std::to_string(run.pid()));
    SimRun::Exit const exit = run.stop();
    EXPECT_TRUE(exit.exitedWith(0));
    EXPECT_FALSE(run.pidFileExists());

    EXPECT_EQ(withLabel(run.logLines(), "[NOTICE]"),
              (Lines{"[NOTICE] nuvexmon started",
                     "[NOTICE] Status changed from 1 (primary power) to 2 (battery power)",
                     "[NOTICE] Shutdown timer: 1 / 3", "[NOTICE] Shutdown timer: 2 / 3",
                     "[NOTICE] Shutdown timer: 3 / 3", "[NOTICE] System shutdown!"}));
    std::vector<SimRun::Call> const calls = run.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "on-status");
    EXPECT_EQ(calls[0].status, "2");
    EXPECT_EQ(calls[0].lastStatus, "1");
    EXPECT_EQ(calls[1].name, "on-shutdown");
    EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
    EXPECT_EQ(writesAfterPolling(run.trace()), (std::vector<std::uint8_t>{0x10, 30}));
    EXPECT_EQ(run.output(), "");
    EXPECT_EQ(run.errors(), "");
}

// With ShutdownOnLowBattery=1 a low battery on battery power ends the countdown at
// once; without the key (its default is "0") the same board only counts.
TEST(Daemon, LowBatteryGuard) {
    for (bool const guard : {true, false}) {
        SCOPED_TRACE(guard ? "guard on" : "key unset");
        SimRun run;
        run.setEnv("NUVEXSIM_PAUSE_US", "20000");
        run.set("ShutdownTimer", "30");
        if (guard) {
            run.set("ShutdownOnLowBattery", "1");
        }
        run.setScenario("status 0x01\npoll 4 status 0x02\npoll 8 status 0x06\n");
        run.start();
        ASSERT_TRUE(run.waitForPoll(14, LONG_WAIT));
        if (guard) {
            ASSERT_TRUE(run.waitForCalls(2, LONG_WAIT));
        }
        EXPECT_TRUE(run.stop().exitedWith(0));
        Lines notices = withLabel(run.logLines(), "[NOTICE]");
        if (guard) {
            EXPECT_EQ(notices,
                      (Lines{"[NOTICE] nuvexmon started",
                             "[NOTICE] Status changed from 1 (primary power) to 2 (battery power)",
                             "[NOTICE] Shutdown timer: 1 / 30", "[NOTICE] Shutdown timer: 2 / 30",
                             "[NOTICE] Status changed from 2 (battery power) to 6 (battery "
                             "power,battery low)",
                             "[NOTICE] Shutdown timer: 3 / 30", "[NOTICE] Battery low!",
                             "[NOTICE] System shutdown!"}));
            EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
            EXPECT_EQ(run.calls().back().name, "on-shutdown");
        } else {
            EXPECT_EQ(std::count(notices.begin(), notices.end(), "[NOTICE] Battery low!"), 0);
            EXPECT_GE(notices.size(), 7u);
            EXPECT_TRUE(run.powerOffRequests().empty());
        }
    }
}

TEST(Daemon, PowerBackBeforeTheLimitResetsTheCount) {
    SimRun run;
    run.setScenario("status 0x01\npoll 2 status 0x02\npoll 6 status 0x01\npoll 8 status 0x02\n");
    run.start();
    ASSERT_TRUE(run.waitForPoll(11, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    // Passes 2 and 4 count, pass 6 sees primary power, pass 8 counts from 1 again.
    Lines const countdown = withLabel(run.logLines(), "[NOTICE] Shutdown");
    ASSERT_GE(countdown.size(), 3u);
    EXPECT_EQ(Lines(countdown.begin(), countdown.begin() + 3),
              (Lines{"[NOTICE] Shutdown timer: 1 / 10", "[NOTICE] Shutdown timer: 2 / 10",
                     "[NOTICE] Shutdown timer: 1 / 10"}));
    EXPECT_TRUE(run.powerOffRequests().empty());
}

TEST(Daemon, ButtonShutsDownAtOnce) {
    SimRun run;
    run.setScenario("status 0x01\npoll 4 button\n");
    run.start();
    ASSERT_TRUE(run.waitForLogLine("Manual system shutdown!", LONG_WAIT));
    ASSERT_TRUE(run.waitForCalls(1, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_EQ(withLabel(run.logLines(), "[NOTICE]"),
              (Lines{"[NOTICE] nuvexmon started", "[NOTICE] Button pressed!",
                     "[NOTICE] Manual system shutdown!"}));
    EXPECT_EQ(run.calls().at(0).name, "on-shutdown");
    EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
}

TEST(Daemon, PassesAndTheirActionsOnTheLogAndTheTrace) {
    SimRun run;
    run.set("ShutdownTimer", "100");
    run.setScenario("status 0x02\nmeasure 5000 312\n");
    run.start();
    ASSERT_TRUE(run.waitForPoll(6, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));

    // The first pass polls only; every second pass the countdown follows that pass's poll.
    Lines const lines = run.logLines();
    Lines const firstPasses(lines.begin(), lines.begin() + 8);
    EXPECT_EQ(firstPasses,
              (Lines{"[NOTICE] nuvexmon started", "[DEBUG] Current Status: 2",
                     "[DEBUG] U: 5000mV, I: 312mA ", "[DEBUG] Current Status: 2",
                     "[DEBUG] U: 5000mV, I: 312mA ", "[NOTICE] Shutdown timer: 1 / 100",
                     "[DEBUG] Current Status: 2", "[DEBUG] U: 5000mV, I: 312mA "}));

    std::vector<Transfer> const trace = run.trace();
    std::vector<double> const starts = Trace::pollStarts(trace);
    ASSERT_GE(starts.size(), 5u);
    for (std::size_t i = 1; i < starts.size(); ++i) {
        double const gap = starts[i] - starts[i - 1];
        EXPECT_GT(gap, 0.45) << "between polls " << i << " and " << i + 1;
        EXPECT_LT(gap, 2.0) << "between polls " << i << " and " << i + 1;
    }
    // Every complete poll is 40 transfers.
    for (unsigned poll = 1; poll < starts.size(); ++poll) {
        std::size_t count = 0;
        for (Transfer const& t : trace) {
            count += t.poll == poll ? 1 : 0;
        }
        EXPECT_EQ(count, 40u) << "poll " << poll;
    }
}

TEST(Daemon, ThreeFailedPollsEndTheDaemonAndKeepThePidFile) {
    SimRun run;
    run.setScenario("status 0x01\npoll 3..5 absent\n");
    run.start();
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    EXPECT_TRUE(exit.exitedWith(1));
    Lines const lines = run.logLines();
    ASSERT_GE(lines.size(), 3u);
    Lines const tail(lines.end() - 3, lines.end());
    EXPECT_EQ(tail,
              (Lines{"[DEBUG] could not write to i2c bus!", "[DEBUG] could not write to i2c bus!",
                     "[ERROR] could not communicate with nuvexmon!"}));
    // The pid file stays and refuses the next start.
    EXPECT_TRUE(run.pidFileExists());
}

class RefusedStart : public ::testing::TestWithParam<char const*> {};

TEST_P(RefusedStart, NothingLoggedAndNoBusOpened) {
    SimRun run;
    std::string const kind = GetParam();
    if (kind == "directory") {
        ASSERT_EQ(::mkdir(run.path("nuvexmon.pid").c_str(), 0755), 0);
    } else {
        run.writeFile("nuvexmon.pid", kind == "empty" ? "" : "4242");
    }
    run.start();
    EXPECT_TRUE(run.wait().exitedWith(1));
    EXPECT_EQ(run.output(), "nuvexmon already running!\n");
    EXPECT_TRUE(run.logLines().empty());
    EXPECT_TRUE(run.trace().empty());
    if (kind == "stale") {
        EXPECT_EQ(run.pidFile(), "4242");
    }
}

INSTANTIATE_TEST_SUITE_P(PidFile, RefusedStart, ::testing::Values("stale", "empty", "directory"));

TEST(Daemon, NoDeviceEndsWithTheBusMessageAndNoPidFile) {
    SimRun run;
    run.set("I2CDevice", run.path("no-such-device"));
    run.start();
    EXPECT_TRUE(run.wait().exitedWith(1));
    EXPECT_EQ(run.logLines(), Lines{"[ERROR] could not open i2c bus!"});
    EXPECT_FALSE(run.pidFileExists());
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, RemovesThePidFileAndExitsZero) {
    SimRun run;
    run.setScenario("status 0x01\n");
    run.start();
    ASSERT_TRUE(run.waitForLogLine("nuvexmon started", LONG_WAIT));
    ASSERT_TRUE(run.waitForPoll(2, LONG_WAIT));
    run.sendSignal(GetParam());
    EXPECT_TRUE(run.wait().exitedWith(0));
    EXPECT_FALSE(run.pidFileExists());
    EXPECT_EQ(run.output(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT));

TEST(Daemon, SecondInstanceIsRefusedAndLeavesTheFirstOnesPidFile) {
    SimRun first;
    first.setScenario("status 0x01\n");
    first.start();
    ASSERT_TRUE(first.waitForLogLine("nuvexmon started", LONG_WAIT));

    // The second instance shares the first one's working directory and so its pid file.
    std::string const command = "cd '" + first.dir() + "' && PATH='" + first.path("bin") +
                                ":/usr/bin:/bin' " + SimRun::emulatorShellPrefix() + "'" +
                                SimRun::sandboxProgram() +
                                "' > second.out 2>&1; echo $? > second.status";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(first.readFile("second.out"), "nuvexmon already running!\n");
    EXPECT_EQ(first.readFile("second.status"), "1\n");
    EXPECT_TRUE(first.running());
    EXPECT_EQ(first.pidFile(), std::to_string(first.pid()));
    EXPECT_TRUE(first.stop().exitedWith(0));
    EXPECT_FALSE(first.pidFileExists());
}

TEST(Daemon, ArgumentsThatAreNotExactlyPoweroffSelectDaemonMode) {
    for (std::vector<std::string> const& args :
         {std::vector<std::string>{"--poweroff"}, {"Poweroff"}, {"poweroff=1"}}) {
        SimRun run;
        run.setScenario("status 0x01\n");
        run.start(args);
        EXPECT_TRUE(run.waitForLogLine("nuvexmon started", LONG_WAIT)) << args[0];
        EXPECT_TRUE(run.stop().exitedWith(0));
        EXPECT_TRUE(run.powerOffRequests().empty());
    }
    for (std::vector<std::string> const& args :
         {std::vector<std::string>{"poweroff"}, {"x", "poweroff"}}) {
        SimRun run;
        run.start(args);
        EXPECT_TRUE(run.wait().exitedWith(0)) << args.back();
        EXPECT_EQ(run.powerOffRequests(), std::vector<std::uint8_t>{30});
        EXPECT_TRUE(run.logLines().empty());
    }
}

TEST(Daemon, FailureWithAnUnwritableLogStillExitsOne) {
    SimRun run;
    run.set("LogFile", run.path("missing/nuvexmon.log"));
    run.set("I2CDevice", run.path("no-such-device"));
    run.start();
    SimRun::Exit const exit = run.wait();
    EXPECT_TRUE(exit.exitedWith(1)) << "signal " << exit.signal;
    EXPECT_EQ(run.errors(), "");
}

// Under a service manager: the line and readiness once the first pass has written the
// state file, the stop from the signal handler, which leaves the file in place. The commands never
// see the manager's variables, and a poweroff run sends nothing.
TEST(Daemon, TellsTheServiceManagerAndKeepsItsVariablesToItself) {
    SimRun run;
    NotifyListener listener(run.path("notify"));
    run.setEnv("NOTIFY_SOCKET", listener.address());
    run.setEnv("WATCHDOG_USEC", "3600000000");
    run.set("StateFile", run.path("nuvexmon.dev"));
    run.set("ShutdownTimer", "1");
    run.set("StatusChangedCmd", "env > hook-env.txt");
    run.set("ShutdownCmd", "env > shutdown-env.txt");
    run.setScenario("status 0x09\nmeasure 4150 420\npoll 4 status 0x02\n");
    run.start();
    EXPECT_EQ(listener.receive(3, LONG_WAIT),
              (Lines{"STATUS=Primary power, charging; 4.15 V", "READY=1", "WATCHDOG=1"}));
    EXPECT_NE(run.readFile("nuvexmon.dev"), "");
    EXPECT_EQ(listener.receive(1, LONG_WAIT),
              Lines{"STATUS=Shutdown started: the board cuts the power in 30 s"});
    run.sendSignal(SIGTERM);
    EXPECT_TRUE(run.wait(LONG_WAIT).exitedWith(0));
    EXPECT_EQ(listener.receive(1, LONG_WAIT), Lines{"STOPPING=1"});
    // The service manager's restart must not take the file from NUT's driver: the unit
    // removes it when the service stops for good.
    EXPECT_NE(run.readFile("nuvexmon.dev"), "");
    ASSERT_TRUE(run.waitForChildren(LONG_WAIT));
    for (char const* file : {"hook-env.txt", "shutdown-env.txt"}) {
        std::string const environment = "\n" + run.readFile(file);
        EXPECT_NE(environment.find("\nPATH="), std::string::npos) << file;
        for (char const* name : {"\nNOTIFY_SOCKET=", "\nWATCHDOG_USEC=", "\nWATCHDOG_PID="}) {
            EXPECT_EQ(environment.find(name), std::string::npos) << file << name;
        }
    }

    SimRun powerOff;
    powerOff.setEnv("NOTIFY_SOCKET", listener.address());
    powerOff.start({"poweroff"});
    EXPECT_TRUE(powerOff.wait().exitedWith(0));
    EXPECT_EQ(listener.pending(), Lines{});
}

}  // namespace

namespace {

// A signal during start-up, before daemon mode has created a pid file, must not
// remove the pid file of the daemon that is already running.
class SignalDuringStartUp : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SignalDuringStartUp, LeavesAnExistingPidFileAlone) {
    SimRun run;
    run.writeFile("nuvexmon.pid", "4242");
    run.holdAtConfigFile();
    run.start(GetParam());
    // Opening the FIFO for writing succeeds only once the program holds it open for
    // reading, well past the installation of its signal handler. It then waits in
    // read() for a configuration that never comes.
    int writer = -1;
    for (int i = 0; i < 2000 && writer < 0; ++i) {
        writer = ::open(run.path("nuvexmon.conf").c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0) {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    ASSERT_GE(writer, 0) << "the program never opened its configuration file";
    run.sendSignal(SIGTERM);
    EXPECT_TRUE(run.wait().exitedWith(0));
    ::close(writer);
    EXPECT_EQ(run.pidFile(), "4242");
}

INSTANTIATE_TEST_SUITE_P(Modes, SignalDuringStartUp,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"poweroff"}));

}  // namespace
