#pragma once

#include <cstdint>

#include "ups/BatteryCell.h"
#include "ups/NuvexEstimate.h"

// The battery's charge as the daemon follows it from one complete poll to the next: its
// whole memory in one value, advanced by step() alone, so that a table of readings tests
// it and a restarted daemon can take up a counted charge where it was.
//
// Without a capacity the charge is the curve's value at the smoothed resting voltage.
// With one it is counted (current x time) and set anew by three anchors: the curve at the
// first poll, 100 % when the charger finishes, and the curve once the battery has rested.
// In the curve's last tenth, on battery power, the count never stays above the curve:
// there the voltage says more than a count that an ageing battery outruns.
struct BatteryGauge {
    // One complete poll.
    struct Reading {
        int status = 0;        // the board's status byte
        float millivolts = 0;  // averaged battery voltage
        float milliamps = 0;   // averaged current, a magnitude
    };

    // The battery rests while primary power feeds the load without charging, or while it
    // carries at most this current, for this long: its voltage is then close to the curve.
    static constexpr float REST_MILLIAMPS = 50;
    static constexpr std::int64_t REST_MS = 5 * 60 * 1000;
    // Polls further apart than this (a suspend, a stopped daemon) start afresh from the
    // curve: what flowed in between is unknown.
    static constexpr std::int64_t GAP_MS = 60 * 1000;
    // How fast the runtime's current follows a new load: most of a step within a minute,
    // after the median of three has left out a single stray reading.
    static constexpr std::int64_t CURRENT_TIME_CONSTANT_MS = 15 * 1000;
    // Below this charge the curve is steep enough to be a witness on battery: the count
    // may not stay more than CURVE_MARGIN_PERCENT above it. The margin allows for the
    // slow polarisation of a loaded cell, which the resistance does not take out and
    // which puts the curve's reading 10 to 15 points below the truth there; what it
    // catches is a count gone wrong (a capacity set far too high, an ageing battery).
    static constexpr double CURVE_WITNESS_PERCENT = 10;
    static constexpr double CURVE_MARGIN_PERCENT = 15;

    bool started = false;   // a complete poll was taken
    bool restored = false;  // percent is a restarted daemon's count: the first poll keeps it
    double percent = 0;     // the charge, 0 to 100

    // Resting-voltage estimates of the latest polls (oldest first) and their smoothed value.
    float recentMv[NuvexEstimate::RECENT_READINGS] = {};
    float restingMv = 0;

    bool charging = false;      // the latest poll's flow was charging
    bool full = false;          // the charger finished and the battery has not been used since
    std::int64_t restedMs = 0;  // how long the battery has rested so far

    // The current of this stretch on battery power, and of the latest stretch with one.
    bool onBattery = false;
    float recentMa[NuvexEstimate::RECENT_READINGS] = {};
    float stretchMa = 0;
    float dischargeMa = 0;  // 0 until the battery has carried a load

    // A gauge that a restarted daemon takes up at this counted charge.
    static BatteryGauge restoredAt(std::int32_t chargeMilli);
    // The gauge after one more complete poll, elapsedMs after the previous one.
    static BatteryGauge step(BatteryGauge const& previous, Reading const& reading,
                             std::int64_t elapsedMs, BatteryCell const& cell);

    // The published charge: whole percent.
    int charge() const { return NuvexEstimate::wholePercent(percent); }
    // Thousandths of a percent, as the outage record keeps it.
    std::int32_t chargeMilli() const;
    // Seconds left at the latest discharge current; NO_RUNTIME without a capacity or a load.
    std::int32_t runtime(BatteryCell const& cell) const;
};
