#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "SimRun.h"
#include "TempDir.h"
#include "Trace.h"

namespace {

bool contains(std::vector<std::string> const& lines, std::string const& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The daemon itself on the preloaded board: a power failure with a short shutdown timer.
TEST(DaemonOnSimulatedBoard, ShutsDownAfterThePowerFails) {
    SimRun run;
    run.set("ShutdownTimer", "2");
    run.set("PowerOffTimer", "25");
    run.setScenario("status 0x09\npoll 3 status 0x02\n");
    run.start();
    ASSERT_TRUE(run.waitForLogLine("[NOTICE] System shutdown!", std::chrono::seconds(20)));
    ASSERT_TRUE(run.waitForCalls(2));
    SimRun::Exit const exit = run.stop();
    EXPECT_TRUE(exit.exitedWith(0));
    EXPECT_TRUE(run.waitForChildren());

    std::vector<SimRun::Call> const calls = run.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].name, "on-status");
    EXPECT_EQ(calls[0].status, "2");
    EXPECT_EQ(calls[0].lastStatus, "9");
    EXPECT_EQ(calls[1].name, "on-shutdown");
    EXPECT_EQ(run.powerOffRequests(), (std::vector<std::uint8_t>{25}));
    std::vector<std::string> const log = run.logLines();
    EXPECT_TRUE(contains(log, "[NOTICE] nuvexmon started"));
    EXPECT_TRUE(contains(log, "[NOTICE] Shutdown timer: 2 / 2"));
    // The hooks inherit LD_PRELOAD: the library stays quiet in them.
    EXPECT_EQ(run.errors(), "");
    EXPECT_FALSE(run.pidFileExists());

    // Every complete poll is the daemon's 40 transfers.
    std::vector<Transfer> const trace = run.trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(
        std::count_if(trace.begin(), trace.end(), [](Transfer const& t) { return t.poll == 2; }),
        40);
}

struct RunnerResult {
    int status;
    std::string output;
};

RunnerResult runner(std::string const& arguments) {
    std::string const command =
        SimRun::emulatorShellPrefix() + std::string(NUVEXSIM_RUNNER) + " " + arguments + " 2>&1";
    RunnerResult result{-1, ""};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        result.output.append(buffer, got);
    }
    int const status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool has(std::string const& text, std::string const& part) {
    return text.find(part) != std::string::npos;
}

TEST(Runner, ReportsADaemonRunThatEndsWithTheScenario) {
    TempDir dir;
    std::string const scenario = dir.write(
        "run.scn", "status 0x01\npoll 3 status 0x02\npoll 5 fail transfer 2\nend after poll 6\n");
    RunnerResult const result = runner("--quiet --set ShutdownTimer=2 " + scenario);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(has(result.output, "[NOTICE] nuvexmon started\n")) << result.output;
    EXPECT_TRUE(has(result.output, "  polls 1-2: 0x01 (primary power)\n")) << result.output;
    EXPECT_TRUE(has(result.output, "  poll 5: no answer\n")) << result.output;
    EXPECT_TRUE(has(result.output, "  poll 5, transfer 2: R 0xff at ")) << result.output;
    EXPECT_TRUE(has(result.output, "(poll 6): delay 30 (0x1e)\n")) << result.output;
    EXPECT_TRUE(has(result.output, "  on-status  NUVEX_STATUS=2 NUVEX_LAST_STATUS=1\n"))
        << result.output;
    EXPECT_TRUE(has(result.output, "  on-shutdown  NUVEX_STATUS= NUVEX_LAST_STATUS=\n"))
        << result.output;
    EXPECT_TRUE(has(result.output, "stopped with SIGTERM at the scenario's end; exit status 0\n"))
        << result.output;
}

TEST(Runner, RunsThePowerOffMode) {
    RunnerResult const result =
        runner("-q --set PowerOffTimer=7 " NUVEXSIM_SCENARIO_DIR "/steady.scn poweroff");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(has(result.output, "(poll 0): delay 7 (0x07)\n")) << result.output;
    EXPECT_TRUE(has(result.output, "the program ended by itself; exit status 0\n"))
        << result.output;
}

TEST(Runner, FailsWhenTheProgramFails) {
    RunnerResult const result =
        runner("-q --set PowerOffTimer=abc " NUVEXSIM_SCENARIO_DIR "/steady.scn poweroff");
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_TRUE(has(result.output, "[ERROR] stoi\n")) << result.output;
    EXPECT_TRUE(has(result.output, "no power-off command\n")) << result.output;
}

TEST(Runner, RefusesBadInput) {
    TempDir dir;
    std::string const bad = dir.write("bad.scn", "status 1\nstatus 300\n");
    RunnerResult result = runner(bad);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output, "nuvexsim: " + bad + ":2: bad status byte '300'\n");

    std::string const good = dir.write("good.scn", "end at 1\n");
    std::string const config = dir.write("nuvexmon.conf", "ShutdownCmd=/sbin/shutdown -h now\n");
    result = runner("--config " + config + " " + good);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(has(result.output, "its ShutdownCmd runs /sbin/shutdown")) << result.output;

    EXPECT_EQ(runner("--set NoEquals " + good).status, 2);
    EXPECT_EQ(runner("").status, 2);
    EXPECT_EQ(runner("--help").status, 0);
}

}  // namespace
