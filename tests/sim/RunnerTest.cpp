#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "CellModel.h"
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

// A 3 mAh cell empties in 7 s at 1.5 A; the countdown starts the shutdown at about 4 s.
TEST(Runner, ComparesThePublishedStatesWithTheCellModel) {
    TempDir dir;
    std::string const scenario = dir.write(
        "cell.scn",
        "battery capacity 3 resistance 120 polarisation 40 45s\ncharger 500 4200\nload 1500\n"
        "status 0x01\nat 2s status 0x02\ncompare after 10s\nend at 6s\n");
    RunnerResult const result = runner(
        "--quiet --set StateFile=state.dev --set ShutdownTimer=2 "
        "--set BatteryCapacity=3 --set ShutdownBelowRuntime=3 --compare-after 1 "
        "--compare-steady 1s " +
        scenario);
    EXPECT_EQ(result.status, 0) << result.output;
    std::string const& out = result.output;
    // Each state with the truth beside it: the first on primary power at full charge.
    EXPECT_TRUE(std::regex_search(
        out,
        std::regex(
            "\\] OL  charge \\d+% \\(true 100\\.0%\\)  runtime \\S+ \\(true 7\\)  timer -1\n")))
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("\\] OB  charge \\d+% \\(true \\d+\\.\\d%\\)  "
                                                  "runtime \\S+ \\(true \\d\\)  timer 1\n")))
        << out;
    EXPECT_TRUE(has(out,
                    "== the estimate against the cell model ==\n"
                    "cell: 3 mAh, 120 mOhm, polarisation 40 mOhm over 45 s, battery low below "
                    "3400 mV\n"
                    "curve: " +
                        std::string(CellModel::DEFAULT_CURVE) +
                        "\n"
                        "charger: 500 mA up to 4200 mV, complete below 50 mA\n"
                        "window: charge from 1 s after each power failure until the true charge "
                        "is below 3%;\n"
                        "        runtime at a load steady on battery for 1 s, true remaining time "
                        "10-90% of full\n"))
        << out;
    for (char const* line :
         {"power failure at 2\\.\\d s, true charge 100\\.0%\n"
          "  step: largest \\d+ points \\(\\d+% to \\d+% at \\d\\.\\d s, true change "
          "[-+]\\d+\\.\\d\\), "
          "states from 0\\.\\d s to 3\\.\\d s\n",
          "\ncharge: largest error [-+]\\d+\\.\\d points at \\d\\.\\d s \\(published \\d+%, true "
          "\\d+\\.\\d%\\), \\d+ states? in the window\n",
          "\nruntime: (no published runtime|largest error) ",
          "\nshutdown: first FSD at \\d\\.\\d s, true charge \\d+\\.\\d%, true remaining time \\d "
          "s\n"
          "ShutdownBelowRuntime=3: true remaining time at the shutdown [-+]\\d+\\.\\d% from the "
          "setting\n== result ==\n"}) {
        EXPECT_TRUE(std::regex_search(out, std::regex(line))) << line << "\n" << out;
    }

    EXPECT_EQ(runner("--quiet --compare-after 1x " + scenario).output,
              "nuvexsim: bad --compare-after '1x'\nTry 'nuvexsim --help'.\n");
    EXPECT_EQ(runner("--quiet --compare-until 101 " + scenario).status, 2);
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
