#pragma once

#include <cstddef>
#include <cstdint>

#include "sched/PassListener.h"

class NuvexEvents;
class NuvexStatus;
class ServiceNotifier;

// What the service manager hears after each completed pass: the status line when
// what a person reads in it has changed, readiness after the first pass, the
// watchdog's ping. It only reads what the pass left behind.
class ServiceReport final : public PassListener {
public:
    // Passes between two lines that differ in the voltage alone: its last digit may
    // flicker from one poll to the next.
    static constexpr std::uint32_t VOLTAGE_PASSES = 20;

    ServiceReport(ServiceNotifier& notifier, NuvexStatus* status, NuvexEvents* events);

    void passCompleted() override;

private:
    static constexpr std::size_t PART_SIZE = 128;

    // The line in two parts: what is sent at once when it changes, and the voltage.
    void formatLine();

    ServiceNotifier& mNotifier;
    NuvexStatus* mStatusPoller;
    NuvexEvents* mEvents;
    bool mReady = false;

    char mState[PART_SIZE] = {};
    char mVoltage[PART_SIZE] = {};
    bool mSent = false;
    char mSentState[PART_SIZE] = {};
    char mSentVoltage[PART_SIZE] = {};
    std::uint32_t mPassesSinceSent = 0;
};
