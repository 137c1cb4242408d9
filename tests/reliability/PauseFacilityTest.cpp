// The pause override (NUVEXSIM_PAUSE_US, sim/PauseOverride.h) on the running daemon: the
// pause between passes shortens, the 1 ms pauses between measurement samples stay.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimRun.h"
#include "Trace.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{20000};

// From each poll's status command to its version command: the five measurement samples,
// each followed by the daemon's 1 ms pause.
std::vector<double> measurementSpans(std::vector<Transfer> const& trace) {
    std::vector<double> spans;
    double start = 0;
    for (Transfer const& t : trace) {
        if (t.write && t.byte == 0x00) {
            start = t.seconds;
        } else if (t.write && t.byte == 0x01) {
            spans.push_back(t.seconds - start);
        }
    }
    return spans;
}

TEST(PauseFacility, TheDaemonPausesTheGivenTimeAndStillSamplesOneMillisecondApart) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", "20000");
    run.start();
    ASSERT_TRUE(run.waitForPoll(12, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_EQ(run.errors(), "");
    std::vector<Transfer> const trace = run.trace();
    std::vector<double> const starts = Trace::pollStarts(trace);
    ASSERT_GE(starts.size(), 11u);
    // Ten passes with a 500 ms pause would take five seconds at least.
    EXPECT_LT(starts[10] - starts[0], 3.0);
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 0.019) << "poll " << i + 1;
    }
    // Five samples 1 ms apart: 5 ms at least, on a trace with 1 ms resolution.
    for (double const span : measurementSpans(trace)) {
        EXPECT_GE(span, 0.004);
    }
}

TEST(PauseFacility, ABadValueIsReportedAndChangesNothing) {
    SimRun run;
    run.setEnv("NUVEXSIM_PAUSE_US", "fast");
    run.start();
    ASSERT_TRUE(run.waitForPoll(3, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_EQ(run.errors(), "nuvexsim: ignoring NUVEXSIM_PAUSE_US='fast'\n");
    std::vector<double> const starts = Trace::pollStarts(run.trace());
    ASSERT_GE(starts.size(), 3u);
    EXPECT_GE(starts[2] - starts[1], 0.45);
}

}  // namespace
