#include "SoakPlan.h"

#include <sstream>
#include <stdexcept>

namespace {

// Lines of one kind of cycle, in the daemon's words.
struct CycleLines {
    std::map<std::string, std::uint64_t> lines;
};

constexpr char const* STATUS_CHARGING = "[DEBUG] Current Status: 9";
constexpr char const* STATUS_BATTERY = "[DEBUG] Current Status: 2";
constexpr char const* STATUS_BUTTON = "[DEBUG] Current Status: 41";
constexpr char const* MEASURE_CHARGING = "[DEBUG] U: 4150mV, I: 420mA ";
constexpr char const* MEASURE_BATTERY = "[DEBUG] U: 3950mV, I: 610mA ";
constexpr char const* WRITE_FAILED = "[DEBUG] could not write to i2c bus!";
constexpr char const* READ_FAILED = "[DEBUG] could not read from i2c bus!";
constexpr char const* TO_BATTERY =
    "[NOTICE] Status changed from 9 (primary power,charging) to 2 (battery power)";
constexpr char const* TO_PRIMARY =
    "[NOTICE] Status changed from 2 (battery power) to 9 (primary power,charging)";

// A cycle before the shutdown: 38 status reads (r 13 and 14 fail at their first
// transfer), 37 measurements (r 20 fails inside), the countdown to 3 of 4.
CycleLines before() {
    return {{{STATUS_CHARGING, 32},
             {STATUS_BATTERY, 6},
             {MEASURE_CHARGING, 31},
             {MEASURE_BATTERY, 6},
             {WRITE_FAILED, 2},
             {READ_FAILED, 2},
             {TO_BATTERY, 1},
             {TO_PRIMARY, 1},
             {"[NOTICE] Shutdown timer: 1 / 4", 1},
             {"[NOTICE] Shutdown timer: 2 / 4", 1},
             {"[NOTICE] Shutdown timer: 3 / 4", 1}}};
}

// The shutdown cycle: the board stays present on battery through r 14.
CycleLines shutdown() {
    return {{{STATUS_CHARGING, 32},
             {STATUS_BATTERY, 8},
             {MEASURE_CHARGING, 31},
             {MEASURE_BATTERY, 8},
             {READ_FAILED, 2},
             {TO_BATTERY, 1},
             {TO_PRIMARY, 1},
             {"[NOTICE] Shutdown timer: 1 / 4", 1},
             {"[NOTICE] Shutdown timer: 2 / 4", 1},
             {"[NOTICE] Shutdown timer: 3 / 4", 1},
             {"[NOTICE] Shutdown timer: 4 / 4", 1},
             {"[NOTICE] System shutdown!", 1}}};
}

// After the shutdown: no countdown, and the button at r 24 changes nothing but the
// status byte.
CycleLines after() {
    return {{{STATUS_CHARGING, 31},
             {STATUS_BUTTON, 1},
             {STATUS_BATTERY, 6},
             {MEASURE_CHARGING, 31},
             {MEASURE_BATTERY, 6},
             {WRITE_FAILED, 2},
             {READ_FAILED, 2},
             {TO_BATTERY, 1},
             {TO_PRIMARY, 1}}};
}

void add(std::map<std::string, std::uint64_t>& total, CycleLines const& cycle,
         std::uint64_t times) {
    for (auto const& [line, count] : cycle.lines) {
        total[line] += count * times;
    }
}

}  // namespace

SoakPlan::SoakPlan(unsigned cycles) : mCycles(cycles), mShutdownCycle((cycles + 1) / 2) {
    if (cycles == 0) {
        throw std::invalid_argument("a soak needs at least one cycle");
    }
}

std::string SoakPlan::scenario() const {
    std::ostringstream text;
    text << "# nuvexmon soak: " << mCycles << " cycles of " << CYCLE_POLLS << " polls\n";
    for (unsigned cycle = 1; cycle <= mCycles; ++cycle) {
        unsigned const base = (cycle - 1) * CYCLE_POLLS;
        auto poll = [&](unsigned r) { return "poll " + std::to_string(base + r); };
        text << poll(1) << " status 0x09\n" << poll(1) << " measure 4150 420\n";
        text << poll(7) << " status 0x02\n" << poll(7) << " measure 3950 610\n";
        if (cycle == mShutdownCycle) {
            text << poll(15) << " status 0x09\n" << poll(15) << " measure 4150 420\n";
        } else {
            text << "poll " << base + 13 << ".." << base + 14 << " absent\n";
            text << poll(13) << " status 0x09\n" << poll(13) << " measure 4150 420\n";
        }
        text << poll(20) << " fail transfer 20\n";
        text << poll(30) << " fail transfer 34\n";
        if (cycle > mShutdownCycle) {
            text << poll(24) << " button\n";
        }
    }
    text << "poll " << polls() + 1 << " status " << FINAL_STATUS << "\n";
    return text.str();
}

std::string SoakPlan::hook(std::string const& recorder) {
    // The "&&" keeps the shell in the foreground: the daemon waits for it, and is
    // stopped (its parent is the daemon) before it logs the final change.
    return recorder + " && if [ \"$NUVEX_STATUS\" = " + std::to_string(FINAL_STATUS) +
           " ]; then kill -TERM $PPID; fi";
}

std::map<std::string, std::uint64_t> SoakPlan::expectedLines() const {
    std::map<std::string, std::uint64_t> lines{{"[NOTICE] nuvexmon started", 1}};
    add(lines, before(), mShutdownCycle - 1);
    add(lines, shutdown(), 1);
    add(lines, after(), mCycles - mShutdownCycle);
    // Poll N+1: its status is logged, then the hook stops the daemon.
    lines["[DEBUG] Current Status: " + std::to_string(FINAL_STATUS)] += 1;
    return lines;
}

std::map<std::string, std::uint64_t> SoakPlan::expectedCalls() const {
    return {{"on-status", 2ULL * mCycles + 1}, {"on-shutdown", 1}};
}
