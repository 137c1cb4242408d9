#include "ups/BatteryGauge.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr double FULL = 100.0;
constexpr double MILLI = 1000.0;
// mA x ms is a share of a capacity in mAh when divided by 3600000 ms/h; in percent, x 100.
constexpr double MA_MS_PER_PERCENT_MAH = 36000.0;
constexpr int LAST = NuvexEstimate::RECENT_READINGS - 1;

void shiftIn(float (&recent)[NuvexEstimate::RECENT_READINGS], float value) {
    std::copy(std::begin(recent) + 1, std::end(recent), recent);
    recent[LAST] = value;
}

}  // namespace

BatteryGauge BatteryGauge::restoredAt(std::int32_t chargeMilli) {
    BatteryGauge gauge;
    gauge.restored = true;
    gauge.percent = std::clamp(chargeMilli / MILLI, 0.0, FULL);
    return gauge;
}

BatteryGauge BatteryGauge::step(BatteryGauge const& previous, Reading const& reading,
                                std::int64_t elapsedMs, BatteryCell const& cell) {
    using Flow = NuvexEstimate::Flow;
    BatteryGauge next = previous;
    Flow const flow = NuvexEstimate::flow(reading.status);
    float const resting = NuvexEstimate::restingVoltage(reading.millivolts, reading.milliamps, flow,
                                                        cell.resistanceMilliohm);
    // The first poll is all there is to go by; after a long gap, so is this one.
    bool const fresh = !previous.started || elapsedMs > GAP_MS;
    std::int64_t const elapsed = fresh ? 0 : std::max<std::int64_t>(elapsedMs, 0);

    if (fresh) {
        std::fill(std::begin(next.recentMv), std::end(next.recentMv), resting);
        next.restingMv = resting;
    }
    shiftIn(next.recentMv, resting);
    next.restingMv = NuvexEstimate::smooth(next.restingMv, next.recentMv);

    bool const onBattery = flow == Flow::Discharging;
    if (onBattery && (!previous.onBattery || fresh)) {
        // A new stretch on battery: what the load drew before says nothing about now.
        std::fill(std::begin(next.recentMa), std::end(next.recentMa), reading.milliamps);
        next.stretchMa = reading.milliamps;
    }
    next.onBattery = onBattery;
    if (onBattery) {
        shiftIn(next.recentMa, reading.milliamps);
        next.stretchMa = NuvexEstimate::smoothOver(next.stretchMa, next.recentMa, elapsed,
                                                   CURRENT_TIME_CONSTANT_MS);
        // A stretch without a measurable load keeps the last one that had one.
        if (next.stretchMa > 0) {
            next.dischargeMa = next.stretchMa;
        }
    }

    double const curve = cell.percentAt(next.restingMv);
    next.charging = flow == Flow::Charging;
    next.started = true;
    next.restored = false;
    if (cell.capacityMah <= 0) {
        next.percent = curve;
        return next;
    }
    if (!previous.started && previous.restored) {
        return next;
    }
    if (fresh) {
        next.percent = curve;
        next.full = false;
        next.restedMs = 0;
        return next;
    }

    double const counted = static_cast<double>(reading.milliamps) * static_cast<double>(elapsed) /
                           (MA_MS_PER_PERCENT_MAH * cell.capacityMah);
    if (flow == Flow::Discharging) {
        next.percent -= counted;
    } else if (flow == Flow::Charging) {
        next.percent += counted;
    }
    next.percent = std::clamp(next.percent, 0.0, FULL);

    // The charger stopped on its own while primary power stayed: the battery is full.
    if (previous.charging && flow == Flow::Idle) {
        next.full = true;
    } else if (flow != Flow::Idle) {
        next.full = false;
    }
    bool const rests =
        flow == Flow::Idle || (flow == Flow::Discharging && reading.milliamps <= REST_MILLIAMPS);
    next.restedMs = rests ? previous.restedMs + elapsed : 0;

    if (next.full) {
        next.percent = FULL;
    } else if (next.restedMs >= REST_MS) {
        next.percent = curve;
    } else if (flow == Flow::Discharging && curve < CURVE_WITNESS_PERCENT) {
        next.percent = std::min(next.percent, curve + CURVE_MARGIN_PERCENT);
    }
    return next;
}

std::int32_t BatteryGauge::chargeMilli() const {
    return static_cast<std::int32_t>(std::lround(percent * MILLI));
}

std::int32_t BatteryGauge::runtime(BatteryCell const& cell) const {
    if (!started) {
        return NuvexEstimate::NO_RUNTIME;
    }
    return NuvexEstimate::runtime(percent, cell.capacityMah, dischargeMa);
}
