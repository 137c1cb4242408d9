#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/ConfigException.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "ups/BatteryCell.h"

namespace {

using Points = std::vector<std::pair<int, int>>;

Points pointsOf(std::vector<BatteryCell::Point> const& curve) {
    Points points;
    for (BatteryCell::Point const& p : curve) {
        points.emplace_back(p.millivolts, p.percent);
    }
    return points;
}

TEST(BatteryCell, CurveIsPairsRisingFromNothingToFull) {
    struct Good {
        char const* text;
        Points expected;
    };
    for (Good const& c :
         std::vector<Good>{{"3000:0,4200:100", {{3000, 0}, {4200, 100}}},
                           {"9000:0,11100:50,12600:100", {{9000, 0}, {11100, 50}, {12600, 100}}}}) {
        EXPECT_EQ(pointsOf(BatteryCell::parseCurve(c.text)), c.expected) << c.text;
    }
    EXPECT_EQ(BatteryCell::parseCurve(BatteryCell::DEFAULT_CURVE).size(), 21u);

    for (char const* bad : {"",
                            "3000:0",
                            "4200:100",
                            "3000:5,4200:100",
                            "3000:0,4200:99",
                            "3000:0,4200:101",
                            "3000:0,3000:100",
                            "4200:0,3000:100",
                            "3000:0,3500:60,3600:50,4200:100",
                            "3000:0,3500:0,4200:100",
                            "3000:0,4200:100,",
                            ",3000:0,4200:100",
                            "3000:0,,4200:100",
                            "3000:0, 4200:100",
                            "3000 :0,4200:100",
                            "3000:0;4200:100",
                            "3000:0,4200",
                            "3000:0,4200:",
                            ":0,4200:100",
                            "3000:0:1,4200:100",
                            "-3000:0,4200:100",
                            "+3000:0,4200:100",
                            "3000.5:0,4200:100",
                            "3000:0,4200:100.0",
                            "3000:0,9999999999:100"}) {
        EXPECT_THROW(BatteryCell::parseCurve(bad), ConfigException) << '"' << bad << '"';
    }
}

TEST(BatteryCell, PercentIsInterpolatedAndClampedToTheEnds) {
    BatteryCell cell;
    cell.curve = BatteryCell::parseCurve(BatteryCell::DEFAULT_CURVE);
    struct Case {
        double mv;
        double expected;
    };
    for (Case const& c : std::vector<Case>{{2500, 0},
                                           {3270, 0},
                                           {3440, 2.5},
                                           {3610, 5},
                                           {3658, 8},
                                           {3845, 52.5},
                                           {4099.6, 88.2666667},
                                           {4200, 100},
                                           {65535, 100}}) {
        EXPECT_NEAR(cell.percentAt(c.mv), c.expected, 1e-6) << c.mv << " mV";
    }
}

// The two voltage ends keep the straight line between them as long as the curve is left
// as it is; an end left empty is the line's usual one.
TEST(BatteryCell, VoltageEndsGiveTheStraightLineOnlyWithTheCurveUnchanged) {
    struct Case {
        char const* low;
        char const* high;
        char const* curve;
        Points expected;
    };
    Points const typical = pointsOf(BatteryCell::parseCurve(BatteryCell::DEFAULT_CURVE));
    for (Case const& c : std::vector<Case>{
             {"", "", BatteryCell::DEFAULT_CURVE, typical},
             {"3300", "3900", BatteryCell::DEFAULT_CURVE, {{3300, 0}, {3900, 100}}},
             {"3300", "", BatteryCell::DEFAULT_CURVE, {{3300, 0}, {4200, 100}}},
             {"", "3900", BatteryCell::DEFAULT_CURVE, {{3000, 0}, {3900, 100}}},
             {"9000mV", "12600 mV", BatteryCell::DEFAULT_CURVE, {{9000, 0}, {12600, 100}}},
             {"3300", "3900", "3200:0,4100:100", {{3200, 0}, {4100, 100}}}}) {
        ConfigFile* config = Singleton<ConfigFile>::getInstance();
        config->addDefault("BatteryVoltageLow", c.low);
        config->addDefault("BatteryVoltageHigh", c.high);
        config->addDefault("BatteryCurve", c.curve);
        config->addDefault("BatteryResistance", "85");
        config->addDefault("BatteryCapacity", "-5");
        BatteryCell const cell = BatteryCell::fromConfig();
        EXPECT_EQ(pointsOf(cell.curve), c.expected) << c.low << " / " << c.high << " / " << c.curve;
        EXPECT_EQ(cell.resistanceMilliohm, 85);
        EXPECT_EQ(cell.capacityMah, 0);
    }
}

}  // namespace
