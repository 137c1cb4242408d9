#pragma once

#include <cstddef>
#include <list>

#include "sched/Action.h"

class NuvexStatus;

// Keeps the latest battery voltage readings in memory, newest first.
class NuvexBattery : public Action {
public:
    static constexpr std::size_t VOLTAGE_HISTORY_MAX = 300;

    explicit NuvexBattery(NuvexStatus* status);

    void exec() override;

    NuvexStatus* mStatusPoller;
    std::list<float> mVoltageHistory;  // mV, newest at the front
};
