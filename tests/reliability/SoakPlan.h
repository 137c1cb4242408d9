#pragma once

#include <cstdint>
#include <map>
#include <string>

// The soak test's board and the log it must produce.
//
// The board repeats a cycle of 40 polls (r = 1..40 within the cycle):
//   r 1..6    primary power, charging (0x09), 4150 mV 420 mA
//   r 7..12   battery power (0x02), 3950 mV 610 mA: the countdown reaches 3 of 4
//   r 13..14  board absent: two failed polls, neither counted nor reset
//   r 15..40  primary power again, with a read failure mid-measurement at r 20
//             (transfer 20) and one mid-version at r 30 (transfer 34)
// In the shutdown cycle (the middle one) the board stays on battery through r 14 and
// present, so the countdown reaches 4 of 4 and the system shutdown starts. Every cycle
// after it holds the push-button at r 24, which must be ignored: a shutdown starts once.
// Poll N+1 (N = cycles x 40) reports 0x0C; the hook, run in the foreground, then stops
// the daemon with SIGTERM, so the log ends at a known point.
class SoakPlan {
public:
    static constexpr unsigned CYCLE_POLLS = 40;
    static constexpr int SHUTDOWN_TIMER = 4;
    static constexpr int FINAL_STATUS = 0x0C;

    explicit SoakPlan(unsigned cycles);

    unsigned cycles() const { return mCycles; }
    unsigned polls() const { return mCycles * CYCLE_POLLS; }
    unsigned shutdownCycle() const { return mShutdownCycle; }

    // The scenario text (one statement per line, see sim/README.md).
    std::string scenario() const;
    // StatusChangedCmd: runs the recorder, and stops the daemon at the final status.
    static std::string hook(std::string const& recorder);
    // Every log line the run must write, without its time stamp, with its count.
    std::map<std::string, std::uint64_t> expectedLines() const;
    // Hook calls: on-status once per status change, on-shutdown once.
    std::map<std::string, std::uint64_t> expectedCalls() const;

private:
    unsigned mCycles;
    unsigned mShutdownCycle;
};
