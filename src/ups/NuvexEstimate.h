#pragma once

#include <cstdint>

// What the board cannot measure, estimated from what it can: a charge from the battery
// voltage, a runtime from the current, and the smoothing of both readings.
class NuvexEstimate {
public:
    // Readings a new value needs to settle: the median of the last three complete polls
    // leaves out a single stray poll, and each poll then moves the estimate this share of
    // the way to that median.
    static constexpr int RECENT_READINGS = 3;
    static constexpr float SMOOTHING = 0.2F;
    // No runtime estimate.
    static constexpr std::int32_t NO_RUNTIME = -1;

    // The next smoothed value from the previous one and the three latest readings.
    static float smooth(float previous, float const (&recent)[RECENT_READINGS]);
    // Whole percent, linear from lowMv (0 %) to highMv (100 %), rounded and clamped;
    // highMv must lie above lowMv.
    static int charge(float millivolts, int lowMv, int highMv);
    // Whole seconds until a battery with capacityMah at this charge is empty at
    // currentMa; NO_RUNTIME for an unknown capacity (0 or less) or no current.
    static std::int32_t runtime(int charge, int capacityMah, float currentMa);
};
