#include "ups/NuvexBattery.h"

#include "ups/NuvexStatus.h"

NuvexBattery::NuvexBattery(NuvexStatus* status) : mStatusPoller(status) {}

void NuvexBattery::exec() {
    // Taken as the poller holds it, even after a failed poll.
    mVoltageHistory.push_front(mStatusPoller->getVoltage());
    if (mVoltageHistory.size() > VOLTAGE_HISTORY_MAX) {
        mVoltageHistory.pop_back();
    }
}
