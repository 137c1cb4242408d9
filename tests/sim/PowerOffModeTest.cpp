#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "SimRun.h"
#include "Trace.h"

namespace {

std::vector<std::string> described(std::vector<Transfer> const& transfers) {
    std::vector<std::string> result;
    for (Transfer const& transfer : transfers) {
        result.push_back(Trace::describe(transfer));
    }
    return result;
}

std::vector<std::string> errorLines(SimRun const& run) {
    std::vector<std::string> result;
    for (std::string const& line : run.logLines()) {
        if (line.rfind("[ERROR] ", 0) == 0) {
            result.push_back(line);
        }
    }
    return result;
}

struct PowerOffCase {
    char const* name;
    std::vector<std::pair<char const*, char const*>> config;
    std::uint8_t boardAddress;
    char const* scenario;
    int status;
    std::vector<std::string> transfers;  // as Trace::describe() writes them
    std::vector<std::string> errors;     // [ERROR] log lines
};

TEST(PowerOffMode, SendsTheCommandAndTheConfiguredDelay) {
    std::vector<PowerOffCase> const cases = {
        {"defaults", {}, 0x18, "", 0, {"0 W 0x10 ok", "0 W 0x1e ok"}, {}},
        {"low 8 bits of the timer",
         {{"PowerOffTimer", "300"}},
         0x18,
         "",
         0,
         {"0 W 0x10 ok", "0 W 0x2c ok"},
         {}},
        {"the timer is decimal",
         {{"PowerOffTimer", "0x1e"}},
         0x18,
         "",
         0,
         {"0 W 0x10 ok", "0 W 0x00 ok"},
         {}},
        {"a bad timer sends nothing",
         {{"PowerOffTimer", "abc"}},
         0x18,
         "",
         1,
         {},
         {"[ERROR] stoi"}},
        {"a timer out of range sends nothing",
         {{"PowerOffTimer", "4294967296"}},
         0x18,
         "",
         1,
         {},
         {"[ERROR] stoi"}},
        {"the address is hexadecimal",
         {{"I2CAddress", "24"}},
         0x24,
         "",
         0,
         {"0 W 0x10 ok", "0 W 0x1e ok"},
         {}},
        {"low 8 bits of the address",
         {{"I2CAddress", "0x118"}},
         0x18,
         "",
         0,
         {"0 W 0x10 ok", "0 W 0x1e ok"},
         {}},
        {"no board at the configured address",
         {{"I2CAddress", "0x19"}},
         0x18,
         "",
         1,
         {},
         {"[ERROR] could not write to i2c bus!"}},
        {"an address above 0x7F",
         {{"I2CAddress", "0x80"}},
         0x18,
         "",
         1,
         {},
         {"[ERROR] could not initialise i2c bus!"}},
        {"the command fails",
         {},
         0x18,
         "poll 0 fail transfer 1\n",
         1,
         {"0 W 0x10 failed"},
         {"[ERROR] could not write to i2c bus!"}},
        {"the delay fails",
         {},
         0x18,
         "poll 0 fail transfer 2\n",
         1,
         {"0 W 0x10 ok", "0 W 0x1e failed"},
         {"[ERROR] could not write to i2c bus!"}},
        {"the board is absent",
         {},
         0x18,
         "absent\n",
         1,
         {"0 W 0x10 failed"},
         {"[ERROR] could not write to i2c bus!"}},
    };
    for (PowerOffCase const& test : cases) {
        SimRun run;
        for (auto const& [key, value] : test.config) {
            run.set(key, value);
        }
        run.setBoardAddress(test.boardAddress);
        run.setScenario(test.scenario);
        run.start({"poweroff"});
        SimRun::Exit const exit = run.wait();
        EXPECT_TRUE(exit.exitedWith(test.status))
            << test.name << ": code " << exit.code << " signal " << exit.signal;
        EXPECT_EQ(described(run.trace()), test.transfers) << test.name;
        EXPECT_EQ(errorLines(run), test.errors) << test.name;
        // The power-off run never touches the pid file nor runs a command.
        EXPECT_FALSE(run.pidFileExists()) << test.name;
        EXPECT_TRUE(run.calls().empty()) << test.name;
        EXPECT_EQ(run.errors(), "") << test.name;
    }
}

TEST(PowerOffMode, RecordsOneRequestWithItsDelay) {
    SimRun run;
    run.set("PowerOffTimer", "120");
    run.start({"poweroff"});
    ASSERT_TRUE(run.wait().exitedWith(0));
    EXPECT_EQ(run.powerOffRequests(), (std::vector<std::uint8_t>{120}));
}

TEST(PowerOffMode, FailsWithoutTheDevice) {
    SimRun run;
    run.set("I2CDevice", run.path("i2c-missing"));
    run.start({"poweroff"});
    EXPECT_TRUE(run.wait().exitedWith(1));
    EXPECT_EQ(errorLines(run), (std::vector<std::string>{"[ERROR] could not open i2c bus!"}));
    EXPECT_TRUE(run.trace().empty());
}

TEST(PowerOffMode, SigtermInATransferEndsItCleanlyAndKeepsTheDaemonsPidFile) {
    SimRun run;
    run.writeFile("nuvexmon.pid", "4242");
    run.setScenario("delay 5000\n");
    run.start({"poweroff"});
    // The board writes its trace header when the program binds the address; the first
    // transfer then takes five seconds.
    ASSERT_TRUE(run.waitForBoard());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto const signalled = std::chrono::steady_clock::now();
    run.sendSignal(SIGTERM);
    SimRun::Exit const exit = run.wait(std::chrono::seconds(4));
    EXPECT_TRUE(exit.exitedWith(0)) << "code " << exit.code << " signal " << exit.signal;
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(4));
    EXPECT_TRUE(run.trace().empty());
    EXPECT_EQ(run.pidFile(), "4242");
}

}  // namespace
