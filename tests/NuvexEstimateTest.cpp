#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ups/NuvexEstimate.h"

namespace {

// Every estimate is a function of readings and ends: one row per case, what it is given
// and what it gives.
TEST(NuvexEstimate, ChargeRuntimeAndSmoothing) {
    struct Charge {
        float mv;
        int low;
        int high;
        int expected;
    };
    for (Charge const& c : std::vector<Charge>{{3000, 3000, 4200, 0},
                                               {4200, 3000, 4200, 100},
                                               {3600, 3000, 4200, 50},
                                               {3005.99F, 3000, 4200, 0},
                                               {3006, 3000, 4200, 1},  // 0.5 % rounds up
                                               {2000, 3000, 4200, 0},
                                               {65535, 3000, 4200, 100},
                                               {12600, 9000, 12600, 100},  // three cells
                                               {11700, 9000, 12600, 75}}) {
        EXPECT_EQ(NuvexEstimate::charge(c.mv, c.low, c.high), c.expected)
            << c.mv << " mV in " << c.low << ".." << c.high;
    }

    struct Runtime {
        int charge;
        int capacity;
        float ma;
        std::int32_t expected;
    };
    for (Runtime const& c : std::vector<Runtime>{{50, 2000, 500, 7200},
                                                 {100, 2500, 1000, 9000},
                                                 {0, 2000, 500, 0},
                                                 {33, 1000, 700, 1697},  // 1697.14 s
                                                 {100, 0, 500, NuvexEstimate::NO_RUNTIME},
                                                 {100, -5, 500, NuvexEstimate::NO_RUNTIME},
                                                 {100, 2000, 0, NuvexEstimate::NO_RUNTIME},
                                                 {100, 2147483647, 0.001F, 2147483647}}) {
        EXPECT_EQ(NuvexEstimate::runtime(c.charge, c.capacity, c.ma), c.expected)
            << c.charge << " % of " << c.capacity << " mAh at " << c.ma << " mA";
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
}

}  // namespace
