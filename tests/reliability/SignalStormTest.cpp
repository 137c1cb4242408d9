// SIGTERM and SIGINT at random moments: during start-up, in the middle of a bus transfer,
// in the pause between passes, while a hook or the shutdown command runs, in a second
// instance that finds a pid file, and in a power-off run. Every run must end with status
// 0 (not killed by the signal), remove its own pid file, and leave alone a pid file it
// did not create.
//
// NUVEXMON_SIGNAL_SEED replays a seed (the test prints the one it used), NUVEXMON_SIGNAL_RUNS sets
// the number of runs (default 240; 80 under the armhf emulator), NUVEXMON_SIGNAL_JOBS the
// runs at a time (default 4).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimRun.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr unsigned DEFAULT_RUNS = 240;
constexpr unsigned DEFAULT_JOBS = 4;
constexpr milliseconds LONG_WAIT{30000};
constexpr char const* FOREIGN_PID = "4242";
#ifdef NUVEXMON_EMULATED
// Under the user-mode emulator every program runs several times slower.
constexpr long EMULATION_FACTOR = 10;
constexpr unsigned long long DEFAULT_RUNS_HERE = 80;
#else
constexpr long EMULATION_FACTOR = 1;
constexpr unsigned long long DEFAULT_RUNS_HERE = DEFAULT_RUNS;
#endif

enum class Moment {
    StartUp,
    Transfer,
    Pause,
    LongPause,
    Hook,
    ShutdownCommand,
    SecondInstance,
    PowerOff
};

constexpr Moment MOMENTS[] = {Moment::StartUp,        Moment::Transfer, Moment::Pause,
                              Moment::LongPause,      Moment::Hook,     Moment::ShutdownCommand,
                              Moment::SecondInstance, Moment::PowerOff};

char const* name(Moment moment) {
    switch (moment) {
        case Moment::StartUp:
            return "start-up";
        case Moment::Transfer:
            return "mid-transfer";
        case Moment::Pause:
            return "pause (100 ms)";
        case Moment::LongPause:
            return "pause (500 ms)";
        case Moment::Hook:
            return "status hook";
        case Moment::ShutdownCommand:
            return "shutdown command";
        case Moment::SecondInstance:
            return "second instance";
        case Moment::PowerOff:
            return "poweroff run";
    }
    return "?";
}

struct Outcome {
    unsigned run = 0;
    Moment moment = Moment::StartUp;
    int signal = 0;
    long delayMicroseconds = 0;
    bool passed = false;
    std::string problem;
    std::string detail;      // where a start-up signal landed
    bool unreached = false;  // the program never got to the moment: no signal was sent
};

unsigned long long environmentNumber(char const* variable, unsigned long long fallback) {
    char const* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 0);
}

template <typename Condition>
bool waitUntil(Condition condition, milliseconds timeout = LONG_WAIT) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(microseconds(100));
    }
    return true;
}

bool fileExists(std::string const& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// Opens the FIFO the program reads its configuration from, once it has opened it.
int openConfigWriter(SimRun const& run) {
    int writer = -1;
    waitUntil([&] {
        writer = ::open(run.path("nuvexmon.conf").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return writer >= 0;
    });
    return writer;
}

// The configuration SimRun would write, for a run held at its configuration FIFO.
std::string configText(SimRun const& run) {
    return "I2CDevice=" + run.devicePath() + "\nLogFile=" + run.path("nuvexmon.log") +
           "\nShutdownCmd=" + run.recorder("on-shutdown") +
           "\nStatusChangedCmd=" + run.recorder("on-status") + "\n";
}

// Hands the whole configuration to a run held at its FIFO: its start-up goes on at once.
bool release(SimRun const& run) {
    int const writer = openConfigWriter(run);
    if (writer < 0) {
        return false;
    }
    std::string const text = configText(run);
    bool const written =
        ::write(writer, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(writer);
    return written;
}

Outcome runOnce(unsigned index, unsigned long long seed) {
    std::mt19937_64 random(seed * 1000003ULL + index);
    Outcome outcome;
    outcome.run = index;
    outcome.moment = MOMENTS[index % (sizeof(MOMENTS) / sizeof(MOMENTS[0]))];
    outcome.signal = std::uniform_int_distribution<int>(0, 1)(random) == 0 ? SIGTERM : SIGINT;
    auto delay = [&](long longest) {
        outcome.delayMicroseconds = std::uniform_int_distribution<long>(0, longest)(random);
        return microseconds(outcome.delayMicroseconds);
    };
    auto fail = [&](std::string const& problem) {
        outcome.problem = problem;
        return outcome;
    };

    SimRun run;
    bool foreignPidFile = false;
    int writer = -1;
    std::vector<std::string> arguments;
    run.setScenario("status 0x01\n");
    switch (outcome.moment) {
        case Moment::StartUp:
            run.holdAtConfigFile();
            break;
        case Moment::Transfer:
            run.setScenario("status 0x01\ndelay 3\n");
            break;
        case Moment::Pause:
            run.setEnv("NUVEXSIM_PAUSE_US", "100000");
            break;
        case Moment::LongPause:
            break;
        case Moment::Hook:
            run.setEnv("NUVEXSIM_PAUSE_US", "20000");
            run.set("StatusChangedCmd", "touch hook-started && sleep 0.3");
            run.setScenario("status 0x01\npoll 2 status 0x02\n");
            break;
        case Moment::ShutdownCommand:
            run.setEnv("NUVEXSIM_PAUSE_US", "20000");
            run.set("ShutdownCmd",
                    "touch shutdown-started && sleep 0.3 && " + run.recorder("on-shutdown"));
            run.setScenario("status 0x01\npoll 2 button\n");
            break;
        case Moment::SecondInstance:
            foreignPidFile = true;
            run.holdAtConfigFile();
            break;
        case Moment::PowerOff:
            foreignPidFile = true;
            run.holdAtConfigFile();
            arguments = {"poweroff"};
            run.setScenario("delay 20\n");
            break;
    }
    if (foreignPidFile) {
        run.writeFile("nuvexmon.pid", FOREIGN_PID);
    }
    run.start(arguments);

    // The program never got to the moment: no signal was sent. What it was doing helps
    // to tell a slow emulator from a hang.
    auto unreached = [&](std::string const& problem) {
        outcome.unreached = true;
        SimRun::Exit const exit = run.wait(std::chrono::milliseconds(1));
        return fail(problem + " (" +
                    (exit.finished ? "it ended: status " + std::to_string(exit.code) + ", signal " +
                                         std::to_string(exit.signal)
                                   : std::string("still running")) +
                    ", " + std::to_string(run.logLines().size()) + " log lines, " +
                    std::to_string(run.trace().size()) + " transfers; stderr: '" + run.errors() +
                    "')");
    };
    switch (outcome.moment) {
        case Moment::StartUp:
        case Moment::PowerOff:
            // The program reads its configuration after installing its handler: from
            // there on, through the whole start-up (or the power-off exchange, 20 ms a
            // transfer), a signal must end it with status 0.
            if (!release(run)) {
                return unreached("the program never opened its configuration");
            }
            std::this_thread::sleep_for(
                delay((outcome.moment == Moment::StartUp ? 8000 : 60000) * EMULATION_FACTOR));
            break;
        case Moment::Transfer:
            if (!run.waitForBoard(LONG_WAIT)) {
                return unreached("the board never came up");
            }
            std::this_thread::sleep_for(delay(250000));
            break;
        case Moment::Pause:
        case Moment::LongPause:
            if (!run.waitForPoll(1, LONG_WAIT)) {
                return unreached("no poll");
            }
            std::this_thread::sleep_for(delay(outcome.moment == Moment::Pause ? 250000 : 1100000));
            break;
        case Moment::Hook:
        case Moment::ShutdownCommand: {
            std::string const marker =
                run.path(outcome.moment == Moment::Hook ? "hook-started" : "shutdown-started");
            if (!waitUntil([&] { return fileExists(marker); })) {
                return unreached("the command never started");
            }
            std::this_thread::sleep_for(delay(250000));
            break;
        }
        case Moment::SecondInstance: {
            writer = openConfigWriter(run);
            if (writer < 0) {
                return unreached("the program never opened its configuration");
            }
            // Part of the configuration, then the signal while the parser waits for more.
            std::string const text = "I2CDevice=" + run.devicePath() +
                                     "\nLogFile=" + run.path("nuvexmon.log") +
                                     "\nShutdownTimer=3\n";
            std::size_t const part =
                std::uniform_int_distribution<std::size_t>(0, text.size())(random);
            ssize_t const written = ::write(writer, text.data(), part);
            static_cast<void>(written);
            std::this_thread::sleep_for(delay(5000));
            break;
        }
    }
    run.sendSignal(outcome.signal);
    SimRun::Exit const exit = run.wait(LONG_WAIT);
    if (writer >= 0) {
        ::close(writer);
    }

    std::ostringstream problem;
    if (!exit.finished) {
        problem << "still running; ";
    } else if (exit.signal != 0) {
        problem << "killed by signal " << exit.signal << "; ";
    } else if (exit.code != 0) {
        problem << "exit status " << exit.code << "; ";
    }
    if (foreignPidFile && run.pidFile() != FOREIGN_PID) {
        problem << "the pid file it did not create is gone or changed; ";
    }
    if (!foreignPidFile && run.pidFileExists()) {
        problem << "its pid file is left behind; ";
    }
    if (!run.output().empty() || !run.errors().empty()) {
        problem << "output: " << run.output() << run.errors() << "; ";
    }
    outcome.problem = problem.str();
    outcome.passed = outcome.problem.empty();
    if (outcome.moment == Moment::StartUp) {
        outcome.detail =
            run.logLines().empty() ? "before its first log line" : "after its first log line";
    }
    return outcome;
}

TEST(SignalStorm, EveryRunEndsWithStatusZeroAndOnlyItsOwnPidFileGoes) {
    unsigned long long const seed = environmentNumber(
        "NUVEXMON_SIGNAL_SEED", static_cast<unsigned long long>(
                                    std::chrono::system_clock::now().time_since_epoch().count()) %
                                    1000000007ULL);
    auto const runs =
        static_cast<unsigned>(environmentNumber("NUVEXMON_SIGNAL_RUNS", DEFAULT_RUNS_HERE));
    auto const jobs =
        static_cast<unsigned>(environmentNumber("NUVEXMON_SIGNAL_JOBS", DEFAULT_JOBS));
    std::printf(
        "signal storm: %u runs, %u at a time, seed %llu (NUVEXMON_SIGNAL_SEED=%llu to "
        "replay)\n",
        runs, jobs, seed, seed);
    std::fflush(stdout);

    std::vector<Outcome> outcomes(runs);
    std::atomic<unsigned> next{0};
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < std::max(1u, jobs); ++j) {
        workers.emplace_back([&] {
            for (unsigned i = next++; i < runs; i = next++) {
                // A run that never reached its moment (seen twice in loaded emulated runs:
                // the program neither opened its configuration nor polled within 30 s)
                // says nothing about signals: it is tried once more, the same way.
                for (int attempt = 0; attempt < 2; ++attempt) {
                    try {
                        outcomes[i] = runOnce(i, seed);
                    } catch (std::exception const& failure) {
                        outcomes[i] = Outcome{};
                        outcomes[i].run = i;
                        outcomes[i].problem = failure.what();
                    }
                    if (!outcomes[i].unreached) {
                        break;
                    }
                    std::printf("run %u did not reach its moment, tried again: %s\n", i,
                                outcomes[i].problem.c_str());
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    std::map<std::string, std::pair<unsigned, unsigned>> byMoment;  // passed, runs
    for (Outcome const& outcome : outcomes) {
        auto& tally = byMoment[std::string(name(outcome.moment)) +
                               (outcome.detail.empty() ? "" : ", " + outcome.detail)];
        tally.first += outcome.passed ? 1 : 0;
        ++tally.second;
        EXPECT_TRUE(outcome.passed)
            << "run " << outcome.run << " (" << name(outcome.moment) << ", "
            << (outcome.signal == SIGTERM ? "SIGTERM" : "SIGINT") << " after "
            << outcome.delayMicroseconds << " us): " << outcome.problem;
    }
    for (auto const& [moment, tally] : byMoment) {
        std::printf("  %-44s %u of %u runs ended as they should\n", moment.c_str(), tally.first,
                    tally.second);
    }
}

}  // namespace
