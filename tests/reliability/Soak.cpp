// nuvexmon_soak: runs the sandbox daemon for a great many polls on a changing simulated
// board (SoakPlan.h) and shows that its memory and descriptors stay flat and that its
// log holds exactly the expected lines. See docs/reliability.md.
//
//     nuvexmon_soak [--polls N] [--pause-us U] [--keep]
//
// N (default 1000000) is rounded up to whole cycles of 40 polls. U (default 0) replaces
// the daemon's 500 ms pause between passes (NUVEXSIM_PAUSE_US); the 1 ms pauses between
// measurement samples stay. Exit status 0 when every check holds, 1 otherwise, 2 on a
// usage error.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LogTally.h"
#include "ProcessProbe.h"
#include "SimRun.h"
#include "SoakPlan.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned DEFAULT_POLLS = 1000000;
constexpr int EXIT_USAGE = 2;
constexpr auto SAMPLE_INTERVAL = std::chrono::milliseconds(1000);
constexpr unsigned CHECKPOINTS = 10;
// Growth of VmRSS past the first checkpoint that still counts as flat: a few pages of
// allocator and stack slack, far below what one leaked allocation per poll would add.
constexpr std::size_t RSS_SLACK_KIB = 256;
constexpr double SECONDS_PER_POLL_LIMIT = 0.05;
constexpr double EXTRA_SECONDS = 120;
// Descriptor counts are taken as the least of a few samples: the log file is open for
// an instant at every line.
constexpr int FD_SAMPLES = 5;

struct Options {
    unsigned polls = DEFAULT_POLLS;
    std::string pauseMicroseconds = "0";
    bool keep = false;
};

struct Checkpoint {
    std::uint64_t polls;
    double seconds;
    ProcessProbe::Sample sample;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string const arg = argv[i];
        if (arg == "--polls" && i + 1 < argc) {
            char* end = nullptr;
            unsigned long const value = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || value == 0 || value > 100000000UL) {
                return false;
            }
            options.polls = static_cast<unsigned>(value);
        } else if (arg == "--pause-us" && i + 1 < argc) {
            options.pauseMicroseconds = argv[++i];
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return false;
        }
    }
    return true;
}

// Polls the log shows so far: each one logs its status, or fails at its first transfer.
std::uint64_t pollsLogged(LogTally const& tally) {
    std::uint64_t polls = tally.count("[DEBUG] could not write to i2c bus!");
    for (auto const& [line, count] : tally.counts()) {
        if (line.rfind("[DEBUG] Current Status: ", 0) == 0) {
            polls += count;
        }
    }
    return polls;
}

ProcessProbe::Sample probe(ProcessProbe const& process) {
    ProcessProbe::Sample least = process.sample();
    for (int i = 1; i < FD_SAMPLES && least.ok; ++i) {
        ProcessProbe::Sample const next = process.sample();
        if (next.ok && next.fds < least.fds) {
            least.fds = next.fds;
        }
    }
    return least;
}

void printCheckpoint(Checkpoint const& c) {
    std::printf("%10llu %9.1f %9zu %9zu %5zu\n", static_cast<unsigned long long>(c.polls),
                c.seconds, c.sample.rssKiB, c.sample.hwmKiB, c.sample.fds);
    std::fflush(stdout);
}

std::map<std::string, std::uint64_t> callsByName(SimRun const& run) {
    std::map<std::string, std::uint64_t> calls;
    for (SimRun::Call const& call : run.calls()) {
        ++calls[call.name];
    }
    return calls;
}

bool compare(char const* what, std::map<std::string, std::uint64_t> const& expected,
             std::map<std::string, std::uint64_t> const& actual) {
    std::set<std::string> keys;
    for (auto const& entry : expected) {
        keys.insert(entry.first);
    }
    for (auto const& entry : actual) {
        keys.insert(entry.first);
    }
    bool same = true;
    std::printf("%-10s %10s %10s  %s\n", what, "expected", "actual", "line");
    for (std::string const& key : keys) {
        auto const e = expected.count(key) != 0 ? expected.at(key) : 0;
        auto const a = actual.count(key) != 0 ? actual.at(key) : 0;
        std::printf("%-10s %10llu %10llu  %s\n", e == a ? "" : "MISMATCH",
                    static_cast<unsigned long long>(e), static_cast<unsigned long long>(a),
                    key.c_str());
        same = same && e == a;
    }
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::cerr << "usage: nuvexmon_soak [--polls N] [--pause-us MICROSECONDS] [--keep]\n";
        return EXIT_USAGE;
    }
    SoakPlan const plan((options.polls + SoakPlan::CYCLE_POLLS - 1) / SoakPlan::CYCLE_POLLS);

    SimRun run;
    run.keep(options.keep);
    run.set("LogLevel", "debug");
    run.set("ShutdownTimer", std::to_string(SoakPlan::SHUTDOWN_TIMER));
    run.set("StatusChangedCmd", SoakPlan::hook(run.recorder("on-status")));
    run.setScenario(plan.scenario());
    run.setEnv("NUVEXSIM_PAUSE_US", options.pauseMicroseconds);
    // Forty trace lines a poll would fill the disk; the log is the record here.
    run.setEnv("NUVEXSIM_TRACE", "/dev/null");

    std::printf("soak: %u polls (%u cycles of %u, shutdown in cycle %u), pause %s us\n",
                plan.polls(), plan.cycles(), SoakPlan::CYCLE_POLLS, plan.shutdownCycle(),
                options.pauseMicroseconds.c_str());
    auto const start = Clock::now();
    run.start();
    ProcessProbe const process(run.pid());
    LogTally tally(run.path("nuvexmon.log"));
    double const timeout = plan.polls() * SECONDS_PER_POLL_LIMIT + EXTRA_SECONDS;

    std::printf("%10s %9s %9s %9s %5s\n", "polls", "seconds", "VmRSS kB", "VmHWM kB", "fds");
    std::vector<Checkpoint> checkpoints;
    std::size_t maxRssKiB = 0;
    unsigned nextCheckpoint = 0;
    bool timedOut = false;
    while (run.running()) {
        double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (seconds > timeout) {
            timedOut = true;
            break;
        }
        tally.update();
        std::uint64_t const polls = pollsLogged(tally);
        ProcessProbe::Sample const sample = probe(process);
        if (sample.ok && polls > 0) {
            if (nextCheckpoint > 0) {
                maxRssKiB = std::max(maxRssKiB, sample.rssKiB);
            }
            // The first checkpoint once the first cycle is done, then every tenth.
            std::uint64_t const due =
                nextCheckpoint == 0 ? SoakPlan::CYCLE_POLLS
                                    : std::uint64_t{plan.polls()} * nextCheckpoint / CHECKPOINTS;
            if (polls >= due && nextCheckpoint < CHECKPOINTS) {
                checkpoints.push_back({polls, seconds, sample});
                printCheckpoint(checkpoints.back());
                ++nextCheckpoint;
            }
        }
        std::this_thread::sleep_for(SAMPLE_INTERVAL);
    }
    SimRun::Exit const exit = timedOut ? run.stop() : run.wait();
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.waitForChildren();
    tally.update();

    bool ok = true;
    std::printf("\nrun: %.1f s, %.0f polls/s, ", seconds, plan.polls() / seconds);
    if (timedOut) {
        std::printf("did not end within %.0f s\n", timeout);
        ok = false;
    } else if (!exit.exitedWith(0)) {
        std::printf("ended with status %d, signal %d (expected status 0)\n", exit.code,
                    exit.signal);
        ok = false;
    } else {
        std::printf("ended with status 0 on SIGTERM from the hook\n");
    }

    // Memory and descriptors: flat from the second checkpoint (a tenth of the run) on.
    if (checkpoints.size() < 2) {
        std::printf("memory: too few checkpoints (%zu) to judge\n", checkpoints.size());
        ok = false;
    } else {
        Checkpoint const& base = checkpoints[1];
        Checkpoint const& last = checkpoints.back();
        bool const rssFlat = maxRssKiB <= base.sample.rssKiB + RSS_SLACK_KIB;
        bool fdsFlat = true;
        for (Checkpoint const& c : checkpoints) {
            fdsFlat = fdsFlat && c.sample.fds == checkpoints.front().sample.fds;
        }
        std::printf(
            "memory: VmRSS %zu kB at poll %llu, %zu kB at poll %llu, at most %zu kB "
            "after; VmHWM %zu kB -> %zu kB: %s\n",
            base.sample.rssKiB, static_cast<unsigned long long>(base.polls), last.sample.rssKiB,
            static_cast<unsigned long long>(last.polls), maxRssKiB, base.sample.hwmKiB,
            last.sample.hwmKiB, rssFlat ? "flat" : "GROWING");
        std::printf("descriptors: %zu at every checkpoint: %s\n", checkpoints.front().sample.fds,
                    fdsFlat ? "yes" : "NO");
        ok = ok && rssFlat && fdsFlat;
    }

    std::printf("\nlog: %llu lines, %llu bytes\n", static_cast<unsigned long long>(tally.lines()),
                static_cast<unsigned long long>(tally.bytes()));
    bool const linesOk = compare("log", plan.expectedLines(), tally.counts());
    bool const pendingOk = tally.pending().empty();
    if (!pendingOk) {
        std::printf("log ends in an unfinished line: %s\n", tally.pending().c_str());
    }
    std::printf("\n");
    bool const callsOk = compare("calls", plan.expectedCalls(), callsByName(run));
    bool const pidOk = !run.pidFileExists();
    std::string const output = run.output() + run.errors();
    if (!pidOk) {
        std::printf("the pid file is still there\n");
    }
    if (!output.empty()) {
        std::printf("program output:\n%s\n", output.c_str());
    }
    ok = ok && linesOk && pendingOk && callsOk && pidOk && output.empty();
    std::printf("\nsoak: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
