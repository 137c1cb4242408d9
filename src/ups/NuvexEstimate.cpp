#include "ups/NuvexEstimate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "bus/Protocol.h"

namespace {
constexpr double PERCENT = 100.0;
constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr double MILLI = 1000.0;
constexpr long FULL = 100;

float median(float const (&recent)[NuvexEstimate::RECENT_READINGS]) {
    return std::max(std::min(recent[0], recent[1]),
                    std::min(std::max(recent[0], recent[1]), recent[2]));
}
}  // namespace

float NuvexEstimate::smooth(float previous, float const (&recent)[RECENT_READINGS]) {
    return previous + (median(recent) - previous) * SMOOTHING;
}

float NuvexEstimate::smoothOver(float previous, float const (&recent)[RECENT_READINGS],
                                std::int64_t elapsedMs, std::int64_t timeConstantMs) {
    if (elapsedMs <= 0) {
        return previous;
    }
    float const share =
        static_cast<float>(elapsedMs) / static_cast<float>(timeConstantMs + elapsedMs);
    return previous + (median(recent) - previous) * share;
}

NuvexEstimate::Flow NuvexEstimate::flow(int status) {
    if ((status & STATUS_PRIMARY_POWER) == 0) {
        return Flow::Discharging;
    }
    return (status & STATUS_CHARGING) != 0 ? Flow::Charging : Flow::Idle;
}

float NuvexEstimate::restingVoltage(float millivolts, float milliamps, Flow flow,
                                    int resistanceMilliohm) {
    float const drop =
        static_cast<float>(static_cast<double>(milliamps) * resistanceMilliohm / MILLI);
    switch (flow) {
        case Flow::Discharging:
            return millivolts + drop;
        case Flow::Charging:
            return millivolts - drop;
        default:
            return millivolts;
    }
}

int NuvexEstimate::wholePercent(double percent) {
    return static_cast<int>(std::clamp(std::lround(percent), 0L, FULL));
}

std::int32_t NuvexEstimate::runtime(double percent, int capacityMah, float currentMa) {
    if (capacityMah <= 0 || !(currentMa > 0)) {
        return NO_RUNTIME;
    }
    double const seconds = std::max(percent, 0.0) / PERCENT * capacityMah /
                           static_cast<double>(currentMa) * SECONDS_PER_HOUR;
    // A trickle of a current would give centuries: the 32-bit range is plenty.
    return static_cast<std::int32_t>(
        std::min(std::llround(seconds), static_cast<long long>(INT32_MAX)));
}
