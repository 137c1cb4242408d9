#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "CellModel.h"
#include "CellRecord.h"

namespace {

constexpr char const* LIFEPO4 =
    "2500:0,3000:5,3200:10,3250:20,3270:30,3280:40,3290:50,3300:60,3310:70,3320:80,3340:90,"
    "3400:95,3600:100";

// A cell without polarisation unless a test wants one: its voltages are exact.
CellSettings cell(double capacity, double charge, double resistance = 100) {
    CellSettings settings;
    settings.capacityMah = capacity;
    settings.chargePercent = charge;
    settings.resistanceMilliohm = resistance;
    settings.polarisationMilliohm = 0;
    settings.polarisationSeconds = 40;
    return settings;
}

CellSettings withCharger(CellSettings settings, double ma, double mv, double endMa) {
    settings.charger = true;
    settings.chargeMilliamperes = ma;
    settings.chargeMillivolts = mv;
    settings.chargeEndMilliamperes = endMa;
    return settings;
}

TEST(CellModel, InterpolatesTheCurveLinearlyAndHoldsItsEnds) {
    struct Case {
        char const* curve;  // nullptr: the default lithium-ion curve
        double percent;
        double millivolts;
    };
    std::vector<Case> const cases = {
        {nullptr, 0, 3270},    {nullptr, 2.5, 3440},  {nullptr, 5, 3610},
        {nullptr, 47.5, 3830}, {nullptr, 97.5, 4175}, {nullptr, 100, 4200},
        {nullptr, -3, 3270},   {nullptr, 120, 4200},  {LIFEPO4, 55, 3295},
        {LIFEPO4, 25, 3260},   {LIFEPO4, 97, 3480},   {"3000:0,4000:100", 25, 3250},
    };
    for (Case const& test : cases) {
        std::vector<CurvePoint> const curve =
            test.curve == nullptr ? CellModel::defaultCurve() : CellModel::parseCurve(test.curve);
        EXPECT_DOUBLE_EQ(CellModel::interpolate(curve, test.percent), test.millivolts)
            << (test.curve == nullptr ? "default" : test.curve) << " at " << test.percent;
    }
    EXPECT_EQ(CellModel::curveText(CellModel::defaultCurve()), CellModel::DEFAULT_CURVE);
    EXPECT_EQ(CellModel::curveText(CellModel::parseCurve("3000.5:0,4000:12.5,4100:100")),
              "3000.5:0,4000:12.5,4100:100");
}

TEST(CellModel, RefusesBadCurves) {
    struct Case {
        char const* curve;
        char const* message;
    };
    std::vector<Case> const cases = {
        {"3270:0", "curve must run from 0% to 100%"},
        {"3270:5,4200:100", "curve must run from 0% to 100%"},
        {"3270:0,4200:90", "curve must run from 0% to 100%"},
        {"3270:0,3200:50,4200:100", "curve not rising at '3200:50'"},
        {"3270:0,3300:0,4200:100", "curve not rising at '3300:0'"},
        {"3270-0,4200:100", "bad curve point '3270-0', expected MV:PERCENT"},
        {"3270:0,,4200:100", "bad curve point '', expected MV:PERCENT"},
        {"3270:0,4200:101", "bad curve point '4200:101', expected MV:PERCENT"},
        {"3270:0,4200:-100", "bad curve point '4200:-100', expected MV:PERCENT"},
        {"3270:0,4200:1e2", "bad curve point '4200:1e2', expected MV:PERCENT"},
        {"", "bad curve point '', expected MV:PERCENT"},
    };
    for (Case const& test : cases) {
        try {
            CellModel::parseCurve(test.curve);
            ADD_FAILURE() << "accepted: " << test.curve;
        } catch (std::invalid_argument const& error) {
            EXPECT_EQ(std::string(error.what()), test.message) << test.curve;
        }
    }
}

// The loaded voltage is below the resting voltage by I * R on discharge and above it
// on charge; the board reports the current's magnitude.
TEST(CellModel, LoadedVoltageFallsOnDischargeAndRisesOnCharge) {
    struct Case {
        char const* what;
        bool primary;
        bool charger;
        double charge;
        double load;
        CellModel::Phase phase;
        double millivolts;  // OCV at 50 % is 3840
        int milliamperes;   // as reported
        int bits;
    };
    using Phase = CellModel::Phase;
    std::vector<Case> const cases = {
        {"discharge", false, true, 50, 1500, Phase::Discharge, 3840 - 150, 1500, 0},
        {"charge", true, true, 50, 1500, Phase::ConstantCurrent, 3840 + 50, 500, 0x08},
        {"rest without charger", true, false, 50, 1500, Phase::Rest, 3840, 0, 0},
        {"battery, no load", false, true, 50, 0, Phase::Discharge, 3840, 0, 0},
        {"empty", false, true, 0, 1500, Phase::Empty, 3270, 0, 0x04},
        {"full", true, true, 100, 1500, Phase::Complete, 4200, 0, 0},
    };
    for (Case const& test : cases) {
        CellSettings settings = cell(100, test.charge);
        if (test.charger) {
            settings = withCharger(settings, 500, 4200, 50);
        }
        CellModel model(settings);
        model.setLoad(test.load);
        model.setPrimaryPower(test.primary);
        EXPECT_EQ(model.phase(), test.phase) << test.what;
        EXPECT_DOUBLE_EQ(model.loadedMillivolts(), test.millivolts) << test.what;
        EXPECT_EQ(model.reportedMillivolts(), std::lround(test.millivolts)) << test.what;
        EXPECT_EQ(model.reportedMilliamperes(), test.milliamperes) << test.what;
        EXPECT_EQ(model.statusBits(), test.bits) << test.what;
        EXPECT_EQ(model.currentMilliamperes() > 0, !test.primary && test.milliamperes > 0)
            << test.what << ": positive while discharging";
    }
}

TEST(CellModel, CountsTheChargeThatFlows) {
    struct Case {
        bool primary;
        double load;  // on battery; 1000 mA of charger on primary power
        double seconds;
        double percent;
        double remaining;  // at the load
        CellModel::Phase phase;
    };
    using Phase = CellModel::Phase;
    std::vector<Case> const cases = {
        {false, 1000, 36, 90, 324, Phase::Discharge},  // 10 mAh of 100
        {false, 2000, 90, 50, 90, Phase::Discharge},   // 50 mAh
        {false, 500, 0.05, 99.99306, 719.95, Phase::Discharge},
        {false, 1000, 500, 0, 0, Phase::Empty},     // 100 mAh are all there is
        {true, 1000, 36, 100, 360, Phase::Rest},    // no charger: rests
        {false, 0, 36, 100, -1, Phase::Discharge},  // no load, no remaining time
    };
    for (Case const& test : cases) {
        CellModel model(cell(100, 100));
        model.setPrimaryPower(test.primary);
        model.setLoad(test.load);
        model.advanceTo(test.seconds);
        EXPECT_NEAR(model.chargePercent(), test.percent, 1e-3) << test.load << " " << test.seconds;
        EXPECT_NEAR(model.remainingSeconds(), test.remaining, 0.01) << test.load;
        EXPECT_EQ(model.phase(), test.phase) << test.load;
        EXPECT_DOUBLE_EQ(model.time(), test.seconds);
    }
    // Charging counts too, at the charger's current: 36 s at 1 A is 10 mAh.
    CellModel charging(withCharger(cell(100, 20), 1000, 4200, 100));
    charging.advance(36);
    EXPECT_NEAR(charging.chargePercent(), 30, 1e-9);
    // Time does not run back.
    charging.advanceTo(10);
    EXPECT_DOUBLE_EQ(charging.time(), 36);
}

// V_p = I * R_p * (1 - e^(-t/tau)) under a steady current, then e^(-t/tau) decay.
TEST(CellModel, PolarisationBuildsUpAndDecays) {
    CellSettings settings = cell(1e9, 50);  // so large that the OCV stays at 3840
    settings.polarisationMilliohm = 40;
    settings.polarisationSeconds = 40;
    CellModel model(settings);
    model.setLoad(1000);
    model.setPrimaryPower(false);
    struct Case {
        double seconds;
        bool primary;  // from this time on
        double polarisation;
        double loaded;
    };
    double const atTwoHundred = 40 * (1 - std::exp(-5.0));
    std::vector<Case> const cases = {
        {0, false, 0, 3840 - 100},
        {40, false, 40 * (1 - std::exp(-1.0)), 3840 - 100 - 40 * (1 - std::exp(-1.0))},
        {80, false, 40 * (1 - std::exp(-2.0)), 3840 - 100 - 40 * (1 - std::exp(-2.0))},
        {200, true, atTwoHundred, 3840 - atTwoHundred},  // the load goes: I * R at once
        {240, true, atTwoHundred * std::exp(-1.0), 3840 - atTwoHundred * std::exp(-1.0)},
        {400, true, atTwoHundred * std::exp(-5.0), 3840 - atTwoHundred * std::exp(-5.0)},
    };
    for (Case const& test : cases) {
        model.advanceTo(test.seconds);
        model.setPrimaryPower(test.primary);
        EXPECT_NEAR(model.polarisationMillivolts(), test.polarisation, 0.01) << test.seconds;
        EXPECT_NEAR(model.loadedMillivolts(), test.loaded, 0.02) << test.seconds;
    }
}

// 100 mAh, 100 mOhm, no polarisation, from 80 % (4020 mV) at 1 A up to 4200 mV: the
// constant current lasts while OCV + 100 mV <= 4200, up to 88.33 % (30 s); the current
// then tapers as (4200 - OCV) / 0.1 ohm and stops below 100 mA, at 99 % (4190 mV).
TEST(CellModel, ChargerRunsConstantCurrentThenConstantVoltageThenCompletes) {
    CellModel model(withCharger(cell(100, 80), 1000, 4200, 100));
    using Phase = CellModel::Phase;
    struct Case {
        double seconds;
        Phase phase;
        int bits;
        double minimumMa;  // reported current range
        double maximumMa;
        double millivolts;  // loaded, within 1 mV
    };
    std::vector<Case> const cases = {
        {0, Phase::ConstantCurrent, 0x08, 1000, 1000, 4120},
        {29.5, Phase::ConstantCurrent, 0x08, 1000, 1000, 4198.3},
        {31, Phase::ConstantVoltage, 0x08, 900, 999, 4200},
        {60, Phase::ConstantVoltage, 0x08, 300, 700, 4200},
        {300, Phase::Complete, 0, 0, 0, 4190},
    };
    for (Case const& test : cases) {
        model.advanceTo(test.seconds);
        EXPECT_EQ(model.phase(), test.phase) << test.seconds;
        EXPECT_EQ(model.statusBits(), test.bits) << test.seconds;
        EXPECT_GE(model.reportedMilliamperes(), test.minimumMa) << test.seconds;
        EXPECT_LE(model.reportedMilliamperes(), test.maximumMa) << test.seconds;
        EXPECT_NEAR(model.loadedMillivolts(), test.millivolts, 1.0) << test.seconds;
    }
    EXPECT_NEAR(model.chargePercent(), 99, 0.05);
    // Complete stays complete on primary power; a return of primary power starts anew.
    model.advanceTo(600);
    EXPECT_EQ(model.phase(), Phase::Complete);
    model.setLoad(1000);
    model.setPrimaryPower(false);
    model.advanceTo(672);  // 20 mAh out: 79 %
    EXPECT_EQ(model.phase(), Phase::Discharge);
    model.setPrimaryPower(true);
    EXPECT_EQ(model.phase(), Phase::ConstantCurrent);
    EXPECT_EQ(model.statusBits(), 0x08);
}

TEST(CellModel, SetsBatteryLowBelowTheLoadedVoltageOnBatteryOnly) {
    struct Case {
        bool primary;
        double charge;  // OCV: 50 % 3840, 5 % 3610, 0 % 3270
        double load;
        int bits;
    };
    std::vector<Case> const cases = {
        {false, 50, 1000, 0},    // 3740
        {false, 5, 2000, 0},     // 3410
        {false, 5, 2200, 0x04},  // 3390
        {false, 5, 0, 0},        // 3610
        {true, 5, 2200, 0},      // primary power: never low
        {true, 0, 0, 0},         // 3270, but primary power
        {false, 0, 0, 0x04},     // empty: 3270
    };
    for (Case const& test : cases) {
        CellSettings settings = cell(100, test.charge);
        settings.lowMillivolts = 3400;
        CellModel model(settings);
        model.setLoad(test.load);
        model.setPrimaryPower(test.primary);
        EXPECT_EQ(model.statusBits(), test.bits)
            << test.primary << " " << test.charge << "% " << test.load << " mA";
    }
}

TEST(CellRecord, WritesLinesThatReadBack) {
    CellSettings settings = cell(120, 100, 120);
    settings.polarisationMilliohm = 40;
    CellModel model(settings);
    model.setLoad(1500);
    model.setPrimaryPower(false);
    model.advanceTo(12.5);
    char line[CellRecord::LINE_SIZE];
    std::size_t const length = CellRecord::format(model, line);
    std::string const text(line, length);
    EXPECT_EQ(text,
              "# cell 12.500 primary 0 phase discharge load 1500 current 1500.0 voltage 3960.5 "
              "ocv 4156.6 polarisation 16.10 charge 95.660 remaining 275.5\n");
    auto const record = CellRecord::parse(text.substr(0, text.size() - 1));
    ASSERT_TRUE(record.has_value());
    EXPECT_DOUBLE_EQ(record->seconds, 12.5);
    EXPECT_FALSE(record->primary);
    EXPECT_EQ(record->phase, "discharge");
    EXPECT_DOUBLE_EQ(record->load, 1500);
    EXPECT_DOUBLE_EQ(record->charge, 95.66);
    EXPECT_DOUBLE_EQ(record->remaining, 275.5);
    for (char const* other :
         {"12.5 3 W 0x00 ok", "# nuvexsim: board of pid 1", "# cell 1.0 primary",
          "# cell 1 primary 1 phase rest load 0 current 0 voltage 1 ocv 1 "
          "polarisation 0 charge 1 remains 0"}) {
        EXPECT_FALSE(CellRecord::parse(other).has_value()) << other;
    }
}

}  // namespace
