#pragma once

#include <cstdint>

#include "sched/Action.h"

class NuvexGauge;
class NuvexStatus;
class OutageRecord;
class ShutdownListener;

// Turns the board's state into a shutdown: a countdown while primary power is
// missing, or the board's push-button, then the delayed power-off and the
// system's shutdown command.
class NuvexEvents : public Action {
public:
    // The record, when given, keeps the outage for a restarted daemon: a daemon that
    // starts on battery power goes on with the countdown it finds there.
    explicit NuvexEvents(NuvexStatus* status, OutageRecord* record = nullptr);

    void exec() override;
    // Logs the shutdown, tells the board to cut power after PowerOffTimer, runs ShutdownCmd.
    void shutdownSystem(bool manual);
    // True once this process has started a shutdown (countdown end or button).
    static bool shutdownStarted();
    // The delay byte sent after CMD_POWEROFF: the low 8 bits of PowerOffTimer, looked up
    // now. Throws the number-parsing error for a value that is not a number.
    static unsigned char powerOffDelay();

    NuvexStatus* mStatusPoller;
    OutageRecord* mRecord;
    // Told when the board misses the power-off command; null: nobody.
    ShutdownListener* mShutdownListener = nullptr;
    std::int32_t mTimerCount = 0;  // runs without primary power since the last reset
    // Why this process started the shutdown ("countdown", "button", "lowbattery",
    // "charge", "runtime"); empty until then, or when a restarted daemon took over a
    // shutdown its predecessor started.
    char const* mReason = "";
    bool mRestored = false;  // the record was looked at (first complete poll)
    // When this run of counting began (CLOCK_BOOTTIME ms); 0 while primary power is there.
    std::int64_t mBeganMs = 0;
    // The charge and runtime the levels compare with; null: no level acts.
    NuvexGauge* mGauge = nullptr;

private:
    // On battery, after the countdown and the battery-low guard: the charge level's
    // shutdown (ShutdownBelowCharge; 0 is off).
    void shutdownBelowCharge();
    // Marks the shutdown as started for this reason, then shuts down.
    void startShutdown(char const* reason, bool manual);
    // At the first complete poll: takes over the outage of a daemon that ran before,
    // or drops a record that primary power has made stale.
    void restore(int status);
    // One countdown step: the next count, or the seconds on battery if more.
    void countOn();
    // Keeps the record in step with this run's count.
    void track(int status);
    // After that: the runtime level's shutdown (ShutdownBelowRuntime; 0 is off).
    void shutdownBelowRuntime();
    // The one process-wide flag behind exec() and shutdownStarted().
    static bool& inProgress();
};
