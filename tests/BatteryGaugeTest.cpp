#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
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
    int times;
};

constexpr std::int64_t MINUTE = 60000;

Poll battery(float mv, float ma, std::int64_t elapsedMs, int times = 1) {
    return {0x02, mv, ma, elapsedMs, times};
}
Poll charging(float mv, float ma, std::int64_t elapsedMs, int times = 1) {
    return {0x09, mv, ma, elapsedMs, times};
}
Poll mains(float mv, std::int64_t elapsedMs, int times = 1) {
    return {0x01, mv, 0, elapsedMs, times};
}

struct GaugeCase {
    // A constructor, so that a row packs onto few lines.
    GaugeCase(char const* name_, int capacity_, std::int32_t restoredMilli_, double percent_,
              std::int32_t runtime_, std::vector<Poll> polls_, bool steady_ = false)
        : name(name_),
          capacity(capacity_),
          restoredMilli(restoredMilli_),
          percent(percent_),
          runtime(runtime_),
          polls(std::move(polls_)),
          steady(steady_) {}

    char const* name;
    int capacity;
    std::int32_t restoredMilli;  // -1: a start without a record
    double percent;
    std::int32_t runtime;
    std::vector<Poll> polls;
    bool steady;  // the published charge never moves on the way
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

// One hour at 1 A is 50 points of 2 Ah. The load taken out, a power failure (with a mixed
// poll), a stray reading and load steps leave the charge where it is.
INSTANTIATE_TEST_SUITE_P(
    Readings, Steps,
    ::testing::Values(
        // From the first poll on, the curve's value for that poll: nothing ramps up.
        GaugeCase("FirstPollWithoutCapacity", 0, -1, 8, NONE, {battery(3608, 500, 0)}),
        GaugeCase("FirstPollCounting", 2000, -1, 8, 1152, {battery(3608, 500, 0)}),
        GaugeCase("PowerFailure", 0, -1, 52.5, NONE,
                  {charging(3945, 1000, 500, 20), charging(3795, 500, 500),
                   battery(3795, 500, 500, 20)},
                  true),
        GaugeCase("LoadStepsAndAStrayReading", 0, -1, 52.5, NONE,
                  {battery(3795, 500, 500, 10), battery(3300, 500, 500),
                   battery(3645, 2000, 500, 10), battery(3795, 500, 500, 10)},
                  true),
        GaugeCase("CountsTheDischarge", 2000, -1, 2.5, 180,
                  {battery(3745, 1000, 0), battery(3745, 1000, MINUTE, 60)}),
        GaugeCase("CountsTheCharge", 2000, -1, 77.5, NONE,
                  {charging(3945, 1000, 0), charging(3945, 1000, MINUTE, 30)}),
        GaugeCase("ChargeCompleteIsFullAndStaysSoOnPrimaryPower", 2000, -1, 100, NONE,
                  {charging(3945, 1000, 0), mains(4150, 500), mains(4100, MINUTE, 20)}),
        GaugeCase("FullCountsDownOnBattery", 2000, -1, 97.5, 14040,
                  {charging(3945, 1000, 0), mains(4150, 500), battery(4050, 500, MINUTE, 6)}),
        GaugeCase("RestedFourMinutesKeepsTheCount", 2000, -1, 27.5, 1980,
                  {mains(3845, 0), battery(3745, 1000, MINUTE, 30), mains(3845, MINUTE, 4)}),
        GaugeCase("RestedFiveMinutesTakesTheCurve", 2000, -1, 52.5, 3780,
                  {mains(3845, 0), battery(3745, 1000, MINUTE, 30), mains(3845, MINUTE, 5)}),
        GaugeCase("RestsOnBatteryAtASmallCurrent", 2000, 70000, 52, 93600,
                  {battery(3840, 40, 0), battery(3840, 40, MINUTE, 5)}),
        GaugeCase("GapStartsAfreshFromTheCurve", 2000, -1, 52.5, 3780,
                  {mains(3845, 0), battery(3745, 1000, MINUTE, 30),
                   battery(3745, 1000, MINUTE + 1)}),
        // A restarted daemon's count is kept at the first poll and counted on from there.
        GaugeCase("RestoredCountCountedOn", 2000, 42000, 41.16667, 2964,
                  {battery(3745, 1000, 0), battery(3745, 1000, MINUTE)}),
        // The last tenth: the count never stays far above the curve on battery power.
        GaugeCase("CurveBelowTheCountNearEmpty", 2000, 40000, 23, 1656,
                  {battery(3558, 1000, 0), battery(3558, 1000, 500)})),
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
