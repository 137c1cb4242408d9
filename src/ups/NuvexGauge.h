#pragma once

#include <cstdint>

#include "sched/Action.h"
#include "ups/BatteryCell.h"
#include "ups/BatteryGauge.h"

class NuvexStatus;
class OutageRecord;

// Follows the battery's charge over the complete polls (BatteryGauge::step) for the state
// file and the charge and runtime levels, and keeps a counted charge in the outage record
// for a restart. Runs every pass, right after the poll; never talks to the bus.
class NuvexGauge : public Action {
public:
    // A counted charge goes to the record when it has moved by this much since the last
    // save (thousandths of a percent), or has moved at all and this long has passed.
    static constexpr std::int32_t SAVE_STEP_MILLI = 1000;
    static constexpr std::int64_t SAVE_INTERVAL_MS = 60 * 1000;

    // The record may be null: nothing is restored or kept.
    NuvexGauge(NuvexStatus* status, BatteryCell cell, OutageRecord* record);

    void exec() override;

    // A complete poll has been taken: charge() and runtime() hold.
    bool ready() const { return mGauge.started; }
    // What the state file publishes: whole percent, and seconds or NO_RUNTIME.
    int charge() const { return mGauge.charge(); }
    std::int32_t runtime() const { return mGauge.runtime(mCell); }
    BatteryCell const& cell() const { return mCell; }

    NuvexStatus* mStatusPoller;
    // Milliseconds on a clock that never goes back (CLOCK_BOOTTIME); replaceable in tests.
    std::int64_t (*mClock)() = nullptr;

private:
    // Takes a restarted daemon's counted charge, or forgets it without a capacity.
    void restore(std::int64_t nowMs);
    void save(std::int64_t nowMs);

    BatteryCell mCell;
    OutageRecord* mRecord;
    BatteryGauge mGauge;
    std::int64_t mLastPollMs = 0;
    bool mSaved = false;
    std::int32_t mSavedMilli = 0;
    std::int64_t mSavedMs = 0;
};
