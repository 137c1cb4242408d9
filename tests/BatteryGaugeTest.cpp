#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "ups/BatteryCell.h"
#include "ups/BatteryGauge.h"
#include "ups/NuvexEstimate.h"

namespace {

constexpr std::int32_t NONE = NuvexEstimate::NO_RUNTIME;

// The typical curve, 100 mOhm: 500 mA moves the reading by 50 mV. 3845 mV at rest is
// 52.5 %, 3658 mV is 8 %.
BatteryCell cellOf(int capacityMah) {
    BatteryCell cell;
    cell.curve = BatteryCell::parseCurve(BatteryCell::DEFAULT_CURVE);
    cell.resistanceMilliohm = 100;
    cell.capacityMah = capacityMah;
    return cell;
}

// A complete poll, this long after the previous one, repeated.
struct Poll {
    int status;
    float mv;
    float ma;
    std::int64_t elapsedMs;
    int times = 1;
};

struct GaugeCase {
    char const* name;
    int capacity;
    std::int32_t restoredMilli;  // -1: a start without a record
    std::vector<Poll> polls;
    double percent;
    std::int32_t runtime;
    bool steady = false;  // the published charge never moves on the way
};

void PrintTo(GaugeCase const& c, std::ostream* out) {
    *out << c.name;
}

class Steps : public ::testing::TestWithParam<GaugeCase> {};

TEST_P(Steps, ChargeAndRuntimeAfterTheReadings) {
    GaugeCase const& c = GetParam();
    BatteryCell const cell = cellOf(c.capacity);
    BatteryGauge gauge =
        c.restoredMilli < 0 ? BatteryGauge{} : BatteryGauge::restoredAt(c.restoredMilli);
    std::vector<int> published;
    for (Poll const& poll : c.polls) {
        for (int i = 0; i < poll.times; ++i) {
            gauge =
                BatteryGauge::step(gauge, {poll.status, poll.mv, poll.ma}, poll.elapsedMs, cell);
            published.push_back(gauge.charge());
        }
    }
    EXPECT_NEAR(gauge.percent, c.percent, 1e-3);
    EXPECT_EQ(gauge.runtime(cell), c.runtime);
    if (c.steady) {
        EXPECT_EQ(published, std::vector<int>(published.size(), published.front()));
    }
}

// Battery power 0x02, primary power 0x01, charging 0x09.
INSTANTIATE_TEST_SUITE_P(
    Readings, Steps,
    ::testing::Values(
        // From the first poll on, the curve's value for that poll: nothing ramps up.
        GaugeCase{"FirstPollWithoutCapacity", 0, -1, {{0x02, 3608, 500, 0}}, 8, NONE},
        GaugeCase{"FirstPollCounting", 2000, -1, {{0x02, 3608, 500, 0}}, 8, 1152},
        GaugeCase{"WithoutCapacityTheSmoothedCurve",
                  0,
                  -1,
                  {{0x02, 3745, 1000, 0}, {0x02, 3645, 1000, 500, 60}},
                  23.75,
                  NONE},
        // The load taken out: a power failure, a mixed poll, a stray reading and load steps
        // leave the charge where it is.
        GaugeCase{"PowerFailure",
                  0,
                  -1,
                  {{0x09, 3945, 1000, 500, 20}, {0x09, 3795, 500, 500}, {0x02, 3795, 500, 500, 20}},
                  52.5,
                  NONE,
                  true},
        GaugeCase{"LoadStepsAndAStrayReading",
                  0,
                  -1,
                  {{0x02, 3795, 500, 500, 10},
                   {0x02, 3300, 500, 500},
                   {0x02, 3645, 2000, 500, 10},
                   {0x02, 3795, 500, 500, 10}},
                  52.5,
                  NONE,
                  true},
        // One hour at 1 A out of 2 Ah is 50 points, half an hour in is 25.
        GaugeCase{"CountsTheDischarge",
                  2000,
                  -1,
                  {{0x02, 3745, 1000, 0}, {0x02, 3745, 1000, 60000, 60}},
                  2.5,
                  180},
        GaugeCase{"CountsTheCharge",
                  2000,
                  -1,
                  {{0x09, 3945, 1000, 0}, {0x09, 3945, 1000, 60000, 30}},
                  77.5,
                  NONE},
        GaugeCase{"ChargeCompleteIsFullAndStaysSoOnPrimaryPower",
                  2000,
                  -1,
                  {{0x09, 3945, 1000, 0},
                   {0x09, 3945, 1000, 60000, 10},
                   {0x01, 4150, 0, 500},
                   {0x01, 4100, 0, 60000, 20}},
                  100,
                  NONE},
        GaugeCase{"FullCountsDownOnBattery",
                  2000,
                  -1,
                  {{0x09, 3945, 1000, 0}, {0x01, 4150, 0, 500}, {0x02, 4050, 500, 60000, 6}},
                  97.5,
                  14040},
        GaugeCase{"RestedFourMinutesKeepsTheCount",
                  2000,
                  -1,
                  {{0x01, 3845, 0, 0}, {0x02, 3745, 1000, 60000, 30}, {0x01, 3845, 0, 60000, 4}},
                  27.5,
                  1980},
        GaugeCase{"RestedFiveMinutesTakesTheCurve",
                  2000,
                  -1,
                  {{0x01, 3845, 0, 0}, {0x02, 3745, 1000, 60000, 30}, {0x01, 3845, 0, 60000, 5}},
                  52.5,
                  3780},
        GaugeCase{"RestsOnBatteryAtASmallCurrent",
                  2000,
                  70000,
                  {{0x02, 3840, 40, 0}, {0x02, 3840, 40, 60000, 5}},
                  52,
                  93600},
        GaugeCase{"GapStartsAfreshFromTheCurve",
                  2000,
                  -1,
                  {{0x01, 3845, 0, 0}, {0x02, 3745, 1000, 60000, 30}, {0x02, 3745, 1000, 60001}},
                  52.5,
                  3780},
        // A restarted daemon's count is kept at the first poll and counted on from there.
        GaugeCase{"RestoredCountFirstPoll", 2000, 42000, {{0x02, 3745, 1000, 0}}, 42, 3024},
        GaugeCase{"RestoredCountCountedOn",
                  2000,
                  42000,
                  {{0x02, 3745, 1000, 0}, {0x02, 3745, 1000, 60000}},
                  41.16667,
                  2964},
        GaugeCase{
            "RestoredWithoutCapacityIsTheCurve", 0, 42000, {{0x02, 3745, 1000, 0}}, 52.5, NONE},
        // The last tenth: the count never stays above the curve on battery power.
        GaugeCase{"CurveBelowTheCountNearEmpty",
                  2000,
                  30000,
                  {{0x02, 3558, 1000, 0}, {0x02, 3558, 1000, 500}},
                  8,
                  576}),
    [](auto const& param) { return std::string(param.param.name); });

// The runtime's current: a single stray reading moves nothing, a new load shows within a
// minute; back on primary power the last discharge current stays.
TEST(BatteryGauge, RuntimeCurrentFollowsALoadStepButNotAStrayReading) {
    BatteryCell const cell = cellOf(2000);
    BatteryGauge gauge;
    auto poll = [&](int status, float ma, int times) {
        for (int i = 0; i < times; ++i) {
            gauge = BatteryGauge::step(gauge, {status, 3845 - ma / 10, ma}, 500, cell);
        }
    };
    poll(0x02, 500, 10);
    poll(0x02, 5000, 1);
    EXPECT_FLOAT_EQ(gauge.dischargeMa, 500);
    poll(0x02, 1000, 10);  // 5 s
    EXPECT_GT(gauge.dischargeMa, 600);
    EXPECT_LT(gauge.dischargeMa, 700);
    poll(0x02, 1000, 110);  // a minute
    EXPECT_GT(gauge.dischargeMa, 970);
    poll(0x09, 2000, 10);
    EXPECT_GT(gauge.dischargeMa, 970);
    EXPECT_LE(gauge.dischargeMa, 1000);
}

}  // namespace
