#pragma once

#include <string>
#include <vector>

// What the daemon knows of its battery, read once at start: the resting voltage at each
// charge (the curve), the internal resistance and the capacity.
struct BatteryCell {
    // The pack's resting voltage at this charge.
    struct Point {
        int millivolts = 0;
        int percent = 0;
    };

    // A typical lithium-ion cell: flat over most of its charge, steep in the last tenth.
    static constexpr char DEFAULT_CURVE[] =
        "3270:0,3610:5,3690:10,3710:15,3730:20,3750:25,3770:30,3790:35,3800:40,3820:45,"
        "3840:50,3850:55,3870:60,3910:65,3950:70,3980:75,4020:80,4080:85,4110:90,4150:95,"
        "4200:100";
    // The straight line's ends for a BatteryVoltageLow or BatteryVoltageHigh left empty.
    static constexpr int LINE_LOW_MV = 3000;
    static constexpr int LINE_HIGH_MV = 4200;

    std::vector<Point> curve;  // at least two points, both coordinates strictly rising
    int resistanceMilliohm = 0;
    int capacityMah = 0;  // 0: unknown

    // "mV:percent,..." without blanks, whole numbers, from 0 % to 100 %; throws
    // ConfigException("invalid BatteryCurve!") for anything else.
    static std::vector<Point> parseCurve(std::string const& text);
    // The battery keys of the configuration, checked in this order: BatteryVoltageLow,
    // BatteryVoltageHigh, BatteryCurve, BatteryResistance, BatteryCapacity. Throws
    // ConfigException with the key's start-up message.
    static BatteryCell fromConfig();

    // The charge in percent at this resting voltage, interpolated linearly and clamped to
    // the curve's ends.
    double percentAt(double millivolts) const;
};
