#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ups/NuvexEstimate.h"

namespace {

// Every estimate is a function of readings and settings: one row per case, what it is
// given and what it gives.
TEST(NuvexEstimate, RestingVoltageChargeRuntimeAndSmoothing) {
    // The board reports the current's magnitude: the status byte gives its direction.
    struct Resting {
        int status;
        float mv;
        float ma;
        int milliohm;
        float expected;
    };
    for (Resting const& c : std::vector<Resting>{{0x02, 3700, 500, 120, 3760},
                                                 {0x06, 3700, 500, 120, 3760},
                                                 {0x00, 3700, 500, 120, 3760},  // no power bit
                                                 {0x0A, 3700, 500, 120, 3760},  // no charger
                                                 {0x09, 4150, 420, 120, 4099.6F},
                                                 {0x01, 4150, 420, 120, 4150},  // resting
                                                 {0x02, 3700, 500, 0, 3700},
                                                 {0x02, 3700, 65535, 1000, 69235}}) {
        EXPECT_FLOAT_EQ(
            NuvexEstimate::restingVoltage(c.mv, c.ma, NuvexEstimate::flow(c.status), c.milliohm),
            c.expected)
            << "status " << c.status << ", " << c.mv << " mV, " << c.ma << " mA";
    }

    struct Whole {
        double percent;
        int expected;
    };
    for (Whole const& c :
         std::vector<Whole>{{0.49, 0}, {0.5, 1}, {57.5, 58}, {99.5, 100}, {-3, 0}, {100.4, 100}}) {
        EXPECT_EQ(NuvexEstimate::wholePercent(c.percent), c.expected) << c.percent;
    }

    struct Runtime {
        double percent;
        int capacity;
        float ma;
        std::int32_t expected;
    };
    for (Runtime const& c : std::vector<Runtime>{{50, 2000, 500, 7200},
                                                 {100, 2500, 1000, 9000},
                                                 {0, 2000, 500, 0},
                                                 {33, 1000, 700, 1697},  // 1697.14 s
                                                 {12.5, 2000, 1000, 900},
                                                 {100, 0, 500, NuvexEstimate::NO_RUNTIME},
                                                 {100, -5, 500, NuvexEstimate::NO_RUNTIME},
                                                 {100, 2000, 0, NuvexEstimate::NO_RUNTIME},
                                                 {100, 2147483647, 0.001F, 2147483647}}) {
        EXPECT_EQ(NuvexEstimate::runtime(c.percent, c.capacity, c.ma), c.expected)
            << c.percent << " % of " << c.capacity << " mAh at " << c.ma << " mA";
    }

    // A fifth of the way to the median of the three latest readings: a single stray
    // reading moves nothing, two in a row start the move.
    struct Smooth {
        float previous;
        float recent[NuvexEstimate::RECENT_READINGS];
        float expected;
    };
    for (Smooth const& c : std::vector<Smooth>{{3600, {3600, 3600, 4100}, 3600},
                                               {3600, {3600, 3100, 3600}, 3600},
                                               {3600, {3600, 4100, 4100}, 3700},
                                               {4000, {3000, 3000, 3000}, 3800},
                                               {3600, {3500, 3700, 3650}, 3610}}) {
        EXPECT_FLOAT_EQ(NuvexEstimate::smooth(c.previous, c.recent), c.expected)
            << c.previous << " then " << c.recent[0] << ", " << c.recent[1] << ", " << c.recent[2];
    }

    // Over time: the share of the way is elapsed / (time constant + elapsed).
    struct Over {
        float previous;
        float recent[NuvexEstimate::RECENT_READINGS];
        std::int64_t elapsedMs;
        float expected;
    };
    for (Over const& c : std::vector<Over>{{500, {500, 500, 2000}, 500, 500},
                                           {500, {500, 2000, 2000}, 500, 548.387F},
                                           {500, {2000, 2000, 2000}, 15000, 1250},
                                           {500, {2000, 2000, 2000}, 0, 500}}) {
        EXPECT_FLOAT_EQ(NuvexEstimate::smoothOver(c.previous, c.recent, c.elapsedMs, 15000),
                        c.expected)
            << c.previous << " then " << c.recent[2] << " after " << c.elapsedMs << " ms";
    }
}

}  // namespace
