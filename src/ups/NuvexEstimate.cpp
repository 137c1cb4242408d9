#include "ups/NuvexEstimate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {
constexpr double PERCENT = 100.0;
constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr int FULL = 100;
}  // namespace

float NuvexEstimate::smooth(float previous, float const (&recent)[RECENT_READINGS]) {
    float const median = std::max(std::min(recent[0], recent[1]),
                                  std::min(std::max(recent[0], recent[1]), recent[2]));
    return previous + (median - previous) * SMOOTHING;
}

int NuvexEstimate::charge(float millivolts, int lowMv, int highMv) {
    double const share = (static_cast<double>(millivolts) - lowMv) / (highMv - lowMv);
    long const percent = std::lround(share * PERCENT);
    return static_cast<int>(std::clamp(percent, 0L, static_cast<long>(FULL)));
}

std::int32_t NuvexEstimate::runtime(int charge, int capacityMah, float currentMa) {
    if (capacityMah <= 0 || !(currentMa > 0)) {
        return NO_RUNTIME;
    }
    double const seconds =
        charge / PERCENT * capacityMah / static_cast<double>(currentMa) * SECONDS_PER_HOUR;
    // A trickle of a current would give centuries: the 32-bit range is plenty.
    return static_cast<std::int32_t>(
        std::min(std::llround(seconds), static_cast<long long>(INT32_MAX)));
}
