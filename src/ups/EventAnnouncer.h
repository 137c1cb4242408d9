#pragma once

#include <cstdint>
#include <string>

#include "sched/Action.h"
#include "ups/EventContext.h"
#include "ups/EventRunner.h"
#include "ups/ShutdownListener.h"

class NuvexEvents;
class NuvexStatus;
class OutageRecord;

// Tells people's scripts what happens, by name (onbattery, online, lowbattery,
// shutdown, commlost, commok): decides the events from what the pass left behind and
// has EventCmd started for each. Registered after the shutdown events, so that it sees
// a shutdown they started, and before the record, which keeps whether the outage was
// announced for a restarted daemon. Off, at no cost, while EventCmd is empty.
class EventAnnouncer final : public Action, public ShutdownListener {
public:
    // The record may be nullptr: then a restart announces the outage afresh.
    EventAnnouncer(NuvexStatus* status, NuvexEvents* events, OutageRecord* record);

    void exec() override;
    // The shutdown event, once, for a shutdown this process started; also from the
    // shutdown events when the board missed its command and no pass will follow.
    void shutdownStarting() override;

    // What a one-shot run tells the script: the state file the running daemon publishes
    // (when StateFile is set and present) and the outage record at the path.
    static EventContext published(char const* event, std::string const& recordPath);

    EventRunner mRunner;

private:
    // At the first complete poll: an outage the record holds goes on, and so does
    // whether it was announced.
    void restore(int status);
    void announce(char const* event);
    // The charge and the runtime the state file publishes for this pass.
    void estimates(int& charge, std::int32_t& runtime);

    NuvexStatus* mStatusPoller;
    NuvexEvents* mEvents;
    OutageRecord* mRecord;
    bool mEnabled = false;
    std::int64_t mDelayMs = 0;  // OnBatteryDelay
    int mLimit = 0;             // ShutdownTimer
    std::string mDevice;

    // The latest complete poll.
    bool mHaveGood = false;
    int mGoodStatus = 0;
    float mVoltage = 0;  // mV
    float mCurrent = 0;  // mA

    bool mCommLost = false;
    // The outage, this action's own copy: the shutdown events clear the record's as soon
    // as primary power returns, before online is announced.
    bool mOutage = false;
    std::int64_t mOutageBeganMs = 0;
    bool mAnnounced = false;         // onbattery went out for this outage
    std::int64_t mEndedSeconds = 0;  // the outage that just ended, for online
    bool mLowOnBattery = false;
    bool mShutdownAnnounced = false;
};
