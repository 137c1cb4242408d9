// Network UPS Tools as the partner of the state file: the daemon on the simulated
// board writes it, Debian's dummy-ups driver reads it, upsd serves it on 127.0.0.1 and
// upsc shows what a NUT client gets. Everything runs in the test's own directory, in
// the foreground, and is stopped by its pid; /etc/nut and the machine's services are
// never touched.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimRun.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};

std::string firstExecutable(Lines const& candidates) {
    for (std::string const& path : candidates) {
        if (::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// A port on 127.0.0.1 that was free a moment ago.
int freePort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// Starts a program with its output in a file; the NUT variables point into dir.
pid_t spawn(Lines const& argv, std::string const& dir, std::string const& output) {
    pid_t const pid = ::fork();
    if (pid == 0) {
        int const out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::setenv("NUT_CONFPATH", dir.c_str(), 1);
        ::setenv("NUT_STATEPATH", dir.c_str(), 1);
        ::setenv("NUT_ALTPIDPATH", dir.c_str(), 1);
        std::vector<char*> args;
        for (std::string const& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for a child to end; returns its wait status, or -1 if it still runs.
int waitFor(pid_t pid, milliseconds timeout) {
    auto const end = Clock::now() + timeout;
    do {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        std::this_thread::sleep_for(milliseconds(20));
    } while (Clock::now() < end);
    return -1;
}

void stopProgram(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    if (waitFor(pid, milliseconds(5000)) == -1) {
        ::kill(pid, SIGKILL);
        waitFor(pid, milliseconds(5000));
    }
    pid = -1;
}

std::string readAll(std::string const& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), f)) > 0;) {
            text.append(buffer, n);
        }
        std::fclose(f);
    }
    return text;
}

class NutEndToEnd : public ::testing::Test {
protected:
    struct Answer {
        int status = -1;  // upsc's exit status
        std::map<std::string, std::string> variables;
        std::string output;  // standard output and error together
    };

    void SetUp() override {
#ifdef NUVEXMON_EMULATED
        GTEST_SKIP() << "cross build: the host's NUT programs would read a daemon run under "
                        "the emulator; the native build runs this check";
#endif
        mDriver = firstExecutable(
            {"/lib/nut/dummy-ups", "/usr/lib/nut/dummy-ups", "/usr/libexec/nut/dummy-ups"});
        // Debian's /usr/sbin/upsd is a wrapper that refuses to start unless /etc/nut/nut.conf
        // enables it: the program itself is in /lib/nut.
        mServer = firstExecutable({"/lib/nut/upsd", "/usr/lib/nut/upsd", "/usr/libexec/nut/upsd"});
        mClient = firstExecutable({"/usr/bin/upsc", "/bin/upsc"});
        if (mDriver.empty() || mServer.empty() || mClient.empty()) {
            GTEST_SKIP() << "needs Network UPS Tools (Debian packages nut-server and nut-client)";
        }
        mPort = freePort();
        ASSERT_GT(mPort, 0);
    }

    void TearDown() override {
        stopProgram(mServerPid);
        stopProgram(mDriverPid);
    }

    // Configuration for one device, "nuvex", read from the daemon's state file.
    // extra: more lines of the [nuvex] section.
    void writeNutConfiguration(SimRun& run, std::string const& extra = "") {
        mNutDir = run.path("nut");
        ASSERT_EQ(::mkdir(mNutDir.c_str(), 0700), 0);
        run.writeFile("nut/ups.conf",
                      "[nuvex]\n\tdriver = dummy-ups\n\tport = " + run.path("nuvexmon.dev") +
                          "\n\tdesc = \"nuvexmon test\"\n" + extra);
        run.writeFile("nut/upsd.conf", "LISTEN 127.0.0.1 " + std::to_string(mPort) + "\n");
        run.writeFile("nut/upsd.users", "");
    }

    // As root, both programs would switch to the "nut" user, which cannot enter the
    // test's private directory: they stay root here.
    Lines userOption() const {
        return ::geteuid() == 0 ? Lines{"-u", "root"} : Lines{};
    }

    void startDriver() {
        Lines argv{mDriver, "-a", "nuvex", "-F"};
        for (std::string const& a : userOption()) {
            argv.push_back(a);
        }
        mDriverPid = spawn(argv, mNutDir, mNutDir + "/driver.out");
    }

    void startServer() {
        Lines argv{mServer, "-F"};
        for (std::string const& a : userOption()) {
            argv.push_back(a);
        }
        mServerPid = spawn(argv, mNutDir, mNutDir + "/upsd.out");
    }

    Answer upsc() const {
        std::string const out = mNutDir + "/upsc.out";
        pid_t const pid =
            spawn({mClient, "nuvex@127.0.0.1:" + std::to_string(mPort)}, mNutDir, out);
        int const status = waitFor(pid, milliseconds(10000));
        Answer answer;
        answer.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        answer.output = readAll(out);
        std::istringstream in(answer.output);
        for (std::string line; std::getline(in, line);) {
            std::size_t const colon = line.find(": ");
            if (colon != std::string::npos && line.find(' ') > colon) {
                answer.variables[line.substr(0, colon)] = line.substr(colon + 2);
            }
        }
        return answer;
    }

    template <typename Done>
    bool waitUntil(Done done, milliseconds timeout) const {
        auto const end = Clock::now() + timeout;
        while (Clock::now() < end) {
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
        return done();
    }

    // The driver's first reading of the file as a client sees it: the charge served,
    // and the driver's output for the record when it is not.
    void awaitCharge(milliseconds timeout) {
        ASSERT_TRUE(
            waitUntil([this] { return upsc().variables.count("battery.charge") == 1; }, timeout))
            << readAll(mNutDir + "/driver.out") << upsc().output;
    }

    // Starts NUT once the daemon has written its file.
    void startNut(SimRun& run) {
        ASSERT_TRUE(waitUntil(
            [&run] { return ::access(run.path("nuvexmon.dev").c_str(), F_OK) == 0; }, LONG_WAIT));
        startDriver();
        startServer();
    }

    std::string mDriver;
    std::string mServer;
    std::string mClient;
    std::string mNutDir;
    int mPort = 0;
    pid_t mDriverPid = -1;
    pid_t mServerPid = -1;
};

TEST_F(NutEndToEnd, PowerFailureAsANutClientSeesItThenTheDataSourceGoes) {
    SimRun run;
    run.set("StateFile", run.path("nuvexmon.dev"));
    run.set("ShutdownTimer", "8");
    // Primary power for the first 10 s, time enough for NUT to come up.
    run.setScenario("status 0x09\nmeasure 4150 420\npoll 20 status 0x02\n");
    writeNutConfiguration(run);
    run.start();

    // The driver refuses to start without its file: start it once the daemon wrote it.
    ASSERT_TRUE(waitUntil([&run] { return ::access(run.path("nuvexmon.dev").c_str(), F_OK) == 0; },
                          LONG_WAIT));
    startDriver();
    startServer();
    ASSERT_TRUE(waitUntil([this] { return upsc().variables["ups.status"] == "OL CHRG"; },
                          milliseconds(15000)))
        << readAll(mNutDir + "/driver.out") << readAll(mNutDir + "/upsd.out") << upsc().output;
    ASSERT_LT(run.trace().empty() ? 0u : run.trace().back().poll, 18u)
        << "NUT came up too late to see primary power for long";

    Answer const online = upsc();
    EXPECT_EQ(online.status, 0);
    EXPECT_EQ(online.variables.at("battery.voltage"), "4.15");
    EXPECT_EQ(online.variables.at("battery.current"), "0.420");
    EXPECT_EQ(online.variables.at("ups.firmware"), "NUVEXSIM 1.0");
    EXPECT_EQ(online.variables.at("ups.timer.shutdown"), "-1");
    EXPECT_EQ(online.variables.at("ups.delay.shutdown"), "30");
    EXPECT_EQ(online.variables.at("device.type"), "ups");

    // Every distinct (status, timer) a client sees, until the forced shutdown shows.
    std::vector<std::pair<std::string, int>> seen;
    Clock::time_point fsdWritten{};
    Clock::time_point fsdSeen{};
    waitUntil(
        [&] {
            if (fsdWritten == Clock::time_point{} &&
                run.readFile("nuvexmon.dev").find("ups.status: FSD") != std::string::npos) {
                fsdWritten = Clock::now();
            }
            Answer const a = upsc();
            auto const status = a.variables.find("ups.status");
            auto const timer = a.variables.find("ups.timer.shutdown");
            if (status == a.variables.end() || timer == a.variables.end()) {
                return false;
            }
            std::pair<std::string, int> const now{status->second, std::atoi(timer->second.c_str())};
            if (seen.empty() || seen.back() != now) {
                seen.push_back(now);
            }
            if (now.first.rfind("FSD", 0) == 0) {
                fsdSeen = Clock::now();
                return true;
            }
            return false;
        },
        milliseconds(40000));

    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), (std::pair<std::string, int>{"OL CHRG", -1}));
    EXPECT_EQ(seen.back(), (std::pair<std::string, int>{"FSD OB", 0}));
    // In between: on battery, the seconds left counting down. The driver re-reads the
    // file every couple of seconds, so it shows some of the values, not all.
    std::vector<int> countdown;
    for (std::size_t i = 1; i + 1 < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, "OB") << "at " << i;
        countdown.push_back(seen[i].second);
    }
    EXPECT_GE(countdown.size(), 2u);
    for (std::size_t i = 0; i < countdown.size(); ++i) {
        EXPECT_GE(countdown[i], 1);
        EXPECT_LE(countdown[i], 8);
        if (i > 0) {
            EXPECT_LT(countdown[i], countdown[i - 1]);
        }
    }
    ASSERT_NE(fsdSeen, Clock::time_point{}) << "the forced shutdown never reached NUT";
    std::cout << "[ note ] upsc showed:";
    for (auto const& [status, timer] : seen) {
        std::cout << " '" << status << "' " << timer << ";";
    }
    std::cout << "\n";
    if (fsdWritten != Clock::time_point{}) {
        std::cout << "[ note ] FSD written to seen by upsc: "
                  << std::chrono::duration_cast<milliseconds>(fsdSeen - fsdWritten).count()
                  << " ms\n";
    }
    Answer const forced = upsc();
    EXPECT_EQ(forced.variables.at("battery.voltage"), "4.15");
    EXPECT_EQ(forced.variables.at("ups.timer.shutdown"), "0");

    // The daemon stops: the file goes, the driver notices at its next look and exits,
    // and upsd tells clients the driver is gone instead of serving the last values.
    Clock::time_point const stopped = Clock::now();
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_NE(::access(run.path("nuvexmon.dev").c_str(), F_OK), 0);
    ASSERT_TRUE(waitUntil([this] { return upsc().status != 0; }, milliseconds(15000)));
    Clock::time_point const refused = Clock::now();
    Answer const gone = upsc();
    EXPECT_NE(gone.output.find("Error: Driver not connected"), std::string::npos) << gone.output;
    EXPECT_EQ(gone.variables.count("ups.status"), 0u);
    int const driverStatus = waitFor(mDriverPid, milliseconds(15000));
    ASSERT_NE(driverStatus, -1) << "the driver still runs without its file";
    mDriverPid = -1;
    EXPECT_TRUE(WIFEXITED(driverStatus));
    EXPECT_EQ(WEXITSTATUS(driverStatus), 1);
    EXPECT_NE(readAll(mNutDir + "/driver.out").find("Can't open dummy-ups definition file"),
              std::string::npos);
    std::cout << "[ note ] daemon stopped to upsc refusing: "
              << std::chrono::duration_cast<milliseconds>(refused - stopped).count() << " ms\n";
    // upsd itself runs on and serves the others.
    EXPECT_EQ(waitFor(mServerPid, milliseconds(0)), -1);
}

// What dashboards read, on a board on battery at 3.60 V and 0.5 A with a 2000 mAh
// battery, on the straight line from 3.00 V to 4.20 V without a resistance (50 %): the
// counted charge and its runtime; then the charger on, then off: the battery is full, and
// the runtime is that of the last discharge.
TEST_F(NutEndToEnd, ChargeRuntimeChargerAndNamesAsClientsSeeThem) {
    SimRun run;
    run.set("StateFile", run.path("nuvexmon.dev"));
    run.set("ShutdownTimer", "1000");
    run.set("BatteryVoltageLow", "3000");
    run.set("BatteryVoltageHigh", "4200");
    run.set("BatteryResistance", "0");
    run.set("BatteryCapacity", "2000");
    run.setScenario("status 0x02\nmeasure 3600 500\npoll 60 status 0x09\npoll 70 status 0x01\n");
    writeNutConfiguration(run);
    run.start();
    startNut(run);
    ASSERT_NO_FATAL_FAILURE(awaitCharge(milliseconds(15000)));
    Answer const steady = upsc();
    EXPECT_EQ(steady.variables.at("battery.charge"), "50");
    EXPECT_EQ(steady.variables.at("battery.voltage.low"), "3.00");
    EXPECT_EQ(steady.variables.at("battery.voltage.high"), "4.20");
    // 50 % of 2 Ah at 0.5 A is 7200 s; at a steady load the count takes one second of
    // runtime for every second on battery.
    int const runtime = std::stoi(steady.variables.at("battery.runtime"));
    EXPECT_LE(runtime, 7200);
    EXPECT_GE(runtime, 7200 - 30);
    EXPECT_EQ(steady.variables.at("battery.charger.status"), "discharging");
    EXPECT_EQ(steady.variables.at("ups.status"), "OB");
    EXPECT_EQ(steady.variables.count("ups.alarm"), 0u);
    EXPECT_EQ(steady.variables.at("device.mfr"), "Nuvex");
    EXPECT_EQ(steady.variables.at("ups.mfr"), "Nuvex");
    EXPECT_EQ(steady.variables.at("device.model"), "UPS board");
    EXPECT_EQ(steady.variables.at("ups.model"), "UPS board");
    EXPECT_EQ(steady.variables.count("device.serial"), 0u);
    EXPECT_EQ(steady.output.find("Dummy"), std::string::npos) << steady.output;
    ASSERT_LT(run.trace().back().poll, 60u) << "NUT came up after the charger";

    EXPECT_TRUE(waitUntil(
        [this] { return upsc().variables["battery.charger.status"] == "charging"; }, LONG_WAIT));
    EXPECT_TRUE(waitUntil(
        [this] { return upsc().variables["battery.charger.status"] == "resting"; }, LONG_WAIT));
    // The charger stopped on primary power: full, whatever was counted. On primary power
    // the runtime stays at the last discharge current.
    EXPECT_TRUE(
        waitUntil([this] { return upsc().variables["battery.charge"] == "100"; }, LONG_WAIT));
    EXPECT_EQ(upsc().variables["battery.runtime"], "14400");
    EXPECT_TRUE(run.stop().exitedWith(0));
}

// NUT's own charge threshold for secondaries: with ignorelb and an override of
// battery.charge.low the driver raises LB from the published charge (25 % here: 3.69 V at
// 0.5 A rests at 3.75 V on the default curve). Slow
// passes keep a bus fault of two polls in the file long enough for the driver to see it.
TEST_F(NutEndToEnd, LowBatteryFromTheChargeAndTheAlarmOfABusFault) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", "2500000");
    run.set("StateFile", run.path("nuvexmon.dev"));
    run.set("ShutdownTimer", "1000");
    run.setScenario("status 0x02\nmeasure 3690 500\npoll 6..7 absent\n");
    writeNutConfiguration(run, "\tignorelb\n\toverride.battery.charge.low = 30\n");
    run.start();
    startNut(run);
    ASSERT_NO_FATAL_FAILURE(awaitCharge(milliseconds(10000)));
    Answer const low = upsc();
    EXPECT_EQ(low.variables.at("battery.charge"), "25");
    EXPECT_EQ(low.variables.at("battery.charge.low"), "30");
    EXPECT_EQ(low.variables.at("ups.status"), "OB LB");
    ASSERT_LT(run.trace().back().poll, 6u) << "NUT came up after the fault";

    std::string alarm;
    EXPECT_TRUE(waitUntil(
        [&] {
            alarm = upsc().variables["ups.alarm"];
            return !alarm.empty();
        },
        LONG_WAIT));
    EXPECT_EQ(alarm, "UPS board not answering on the I2C bus");
    EXPECT_TRUE(waitUntil([this] { return upsc().variables.count("ups.alarm") == 0; }, LONG_WAIT));
    EXPECT_EQ(upsc().variables["ups.status"], "OB LB");
    EXPECT_TRUE(run.stop().exitedWith(0));
}

}  // namespace
