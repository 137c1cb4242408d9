#include "ups/NuvexGauge.h"

#include <cstdlib>
#include <utility>

#include "ups/NuvexStatus.h"
#include "ups/OutageRecord.h"

NuvexGauge::NuvexGauge(NuvexStatus* status, BatteryCell cell, OutageRecord* record)
    : mStatusPoller(status),
      mClock(&OutageRecord::nowMs),
      mCell(std::move(cell)),
      mRecord(record) {}

void NuvexGauge::exec() {
    // Only a completed poll: after a failure part way the poller holds partial sums. The
    // time of a failed poll is counted with the next complete one.
    if (!mStatusPoller->valid() || mStatusPoller->mStatus < 0) {
        return;
    }
    std::int64_t const now = mClock();
    std::int64_t elapsed = 0;
    if (!mGauge.started) {
        // Read at the first poll: the record was loaded before the first pass.
        restore(now);
    } else {
        elapsed = now - mLastPollMs;
    }
    mLastPollMs = now;
    BatteryGauge::Reading const reading{mStatusPoller->mStatus, mStatusPoller->mVoltage,
                                        mStatusPoller->mCurrent};
    mGauge = BatteryGauge::step(mGauge, reading, elapsed, mCell);
    save(now);
}

void NuvexGauge::restore(std::int64_t nowMs) {
    if (mRecord == nullptr) {
        return;
    }
    OutageRecord::Data& data = mRecord->mData;
    if (mCell.capacityMah <= 0) {
        data.haveCharge = false;
        data.chargeMilli = 0;
        return;
    }
    if (data.haveCharge) {
        mGauge = BatteryGauge::restoredAt(data.chargeMilli);
        mSaved = true;
        mSavedMilli = data.chargeMilli;
        mSavedMs = nowMs;
    }
}

void NuvexGauge::save(std::int64_t nowMs) {
    if (mRecord == nullptr || mCell.capacityMah <= 0) {
        return;
    }
    std::int32_t const milli = mGauge.chargeMilli();
    if (mSaved) {
        std::int32_t const moved = std::abs(milli - mSavedMilli);
        if (moved == 0 || (moved < SAVE_STEP_MILLI && nowMs - mSavedMs < SAVE_INTERVAL_MS)) {
            return;
        }
    }
    mRecord->mData.haveCharge = true;
    mRecord->mData.chargeMilli = milli;
    mSaved = true;
    mSavedMilli = milli;
    mSavedMs = nowMs;
}
