#include "ups/NuvexBattery.h"

#include <iterator>

#include "ups/NuvexStatus.h"

NuvexBattery::NuvexBattery(NuvexStatus* status) : mStatusPoller(status) {}

void NuvexBattery::exec() {
    // Taken as the poller holds it, even after a failed poll.
    float const voltage = mStatusPoller->getVoltage();
    if (mVoltageHistory.size() >= VOLTAGE_HISTORY_MAX) {
        // Full: the oldest entry's node moves to the front and takes the new reading,
        // which leaves the same history as adding one and dropping the oldest, without
        // freeing one node and allocating another every time.
        mVoltageHistory.splice(mVoltageHistory.begin(), mVoltageHistory,
                               std::prev(mVoltageHistory.end()));
        mVoltageHistory.front() = voltage;
        return;
    }
    mVoltageHistory.push_front(voltage);
}
