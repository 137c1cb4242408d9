#pragma once

#include <cstdint>

#include "sched/Action.h"

class NuvexGauge;
class NuvexStatus;

// Turns the board's state into a shutdown: a countdown while primary power is
// missing, or the board's push-button, then the delayed power-off and the
// system's shutdown command.
class NuvexEvents : public Action {
public:
    explicit NuvexEvents(NuvexStatus* status);

    void exec() override;
    // Logs the shutdown, tells the board to cut power after PowerOffTimer, runs ShutdownCmd.
    void shutdownSystem(bool manual);
    // True once this process has started a shutdown (countdown end or button).
    static bool shutdownStarted();
    // The delay byte sent after CMD_POWEROFF: the low 8 bits of PowerOffTimer, looked up
    // now. Throws the number-parsing error for a value that is not a number.
    static unsigned char powerOffDelay();

    NuvexStatus* mStatusPoller;
    std::int32_t mTimerCount = 0;  // runs without primary power since the last reset
    // The charge and runtime the levels compare with; null: no level acts.
    NuvexGauge* mGauge = nullptr;

private:
    // On battery, after the countdown and the battery-low guard: the charge level's
    // shutdown (ShutdownBelowCharge; 0 is off).
    void shutdownBelowCharge();
    // After that: the runtime level's shutdown (ShutdownBelowRuntime; 0 is off).
    void shutdownBelowRuntime();
    // The one process-wide flag behind exec() and shutdownStarted().
    static bool& inProgress();
};
