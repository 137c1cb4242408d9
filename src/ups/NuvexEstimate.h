#pragma once

#include <cstdint>

// What the board cannot measure, estimated from what it can: the battery's resting
// voltage from a loaded reading, a whole-percent charge, a runtime from the current, and
// the smoothing of the readings. Pure functions: BatteryGauge keeps the memory.
class NuvexEstimate {
public:
    // Readings a new value needs to settle: the median of the last three complete polls
    // leaves out a single stray poll, and each poll then moves the estimate this share of
    // the way to that median.
    static constexpr int RECENT_READINGS = 3;
    static constexpr float SMOOTHING = 0.2F;
    // No runtime estimate.
    static constexpr std::int32_t NO_RUNTIME = -1;

    // Which way the current flows through the battery, from the board's status byte.
    enum class Flow { Idle, Discharging, Charging };

    // The next smoothed value from the previous one and the three latest readings.
    static float smooth(float previous, float const (&recent)[RECENT_READINGS]);
    // The same median, followed over time: the previous value moves towards it by
    // elapsedMs / (timeConstantMs + elapsedMs) of the way.
    static float smoothOver(float previous, float const (&recent)[RECENT_READINGS],
                            std::int64_t elapsedMs, std::int64_t timeConstantMs);
    // Without primary power the load runs off the battery; with it, the battery charges
    // while the board says so and otherwise rests.
    static Flow flow(int status);
    // The voltage the battery would show without its current: a discharging battery reads
    // lower by current x resistance, a charging one higher. mA x mOhm / 1000 is mV.
    static float restingVoltage(float millivolts, float milliamps, Flow flow,
                                int resistanceMilliohm);
    // Whole percent, rounded (halves up) and clamped to 0..100.
    static int wholePercent(double percent);
    // Whole seconds until a battery with capacityMah at this charge (percent) is empty at
    // currentMa; NO_RUNTIME for an unknown capacity (0 or less) or no current.
    static std::int32_t runtime(double percent, int capacityMah, float currentMa);
};
