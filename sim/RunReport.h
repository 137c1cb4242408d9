#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "CellRecord.h"
#include "Scenario.h"
#include "SimRun.h"
#include "Transfer.h"

// What the nuvexsim runner prints about a run: the bus traffic, the commands the
// program ran, and the one-line progress display.
class RunReport {
public:
    // "0x02 (battery power)", "0x29 (primary power, charging, button)".
    static std::string statusText(int status);
    // Polls, transfers and failures, the status of each stretch of polls, and the
    // power-off commands.
    static std::string bus(std::vector<Transfer> const& transfers);
    // One line per recorder call, with NUVEX_STATUS and NUVEX_LAST_STATUS; an event
    // script's other variables follow on two more lines.
    static std::string commands(std::vector<SimRun::Call> const& calls);
    // Each distinct content of the state file, in time order, as NUT clients see it:
    // "[  2.0s] OB  charge 58%  runtime -  timer 9". Empty path: no state file set.
    struct State {
        double seconds;
        std::string text;
    };
    // With the cell model's records, each state also shows the truth of the latest record
    // at or before it: "charge 58% (true 60.3%)  runtime 120 (true 131)".
    static std::string states(std::string const& path, std::vector<State> const& states,
                              std::vector<CellRecord> const& records = {});
    // The settings whose effect the comparison checks; empty when not set.
    struct Limits {
        std::string shutdownBelowRuntime;
        std::string shutdownBelowCharge;
    };
    // The published charge and runtime against the cell model's truth: the cell, the
    // window, the largest step of the published charge around each power failure, the
    // largest charge error (points) and runtime error (%) in the window, and the truth
    // when the shutdown started (the first state with FSD).
    static std::string comparison(CellSettings const& cell, Scenario::Comparison const& window,
                                  std::vector<State> const& states,
                                  std::vector<CellRecord> const& records, Limits const& limits);
    // "[  3.5s] poll 7, status 0x02 (battery power) | <last log line>", cut to width.
    static std::string progress(double seconds, std::vector<Transfer> const& transfers,
                                std::string const& lastLogLine, std::size_t width);
};
