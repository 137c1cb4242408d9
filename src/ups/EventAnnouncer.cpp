#include "ups/EventAnnouncer.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "bus/Protocol.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "ups/NuvexEstimate.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexStatus.h"
#include "ups/OutageRecord.h"

namespace {
constexpr std::int64_t MILLIS_PER_SECOND = 1000;
}  // namespace

EventAnnouncer::EventAnnouncer(NuvexStatus* status, NuvexEvents* events, OutageRecord* record)
    : mRunner(Singleton<ConfigFile>::getInstance()->getString("EventCmd")),
      mStatusPoller(status),
      mEvents(events),
      mRecord(record) {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    mEnabled = !config->getValue("EventCmd").empty();
    if (!mEnabled) {
        return;
    }
    // Checked at start; fixed for the daemon's life.
    mDelayMs = static_cast<std::int64_t>(config->getInt("OnBatteryDelay", 10)) * MILLIS_PER_SECOND;
    mLimit = config->getInt("ShutdownTimer", 10);
    mDevice = config->getString("I2CDevice");
}

void EventAnnouncer::exec() {
    // Off: nothing at all, no system call.
    if (!mEnabled) {
        return;
    }
    mRunner.reap();

    if (!mStatusPoller->valid() || mStatusPoller->mStatus < 0) {
        // While polls fail the power state is unknown: the outage neither begins nor ends.
        if (mHaveGood && !mCommLost) {
            mCommLost = true;
            announce("commlost");
        }
    } else {
        int const status = mStatusPoller->mStatus;
        bool const onBattery = (status & STATUS_PRIMARY_POWER) == 0;
        // Only a complete poll: after a failure part way the readings are partial sums.
        mGoodStatus = status;
        mVoltage = mStatusPoller->mVoltage;
        mCurrent = mStatusPoller->mCurrent;
        if (!mHaveGood) {
            mHaveGood = true;
            restore(status);
        }
        if (mCommLost) {
            mCommLost = false;
            announce("commok");
        }
        if (onBattery) {
            std::int64_t const now = OutageRecord::nowMs();
            if (!mOutage) {
                mOutage = true;
                mOutageBeganMs = now;
                mAnnounced = false;
            }
            if (!mAnnounced && now - mOutageBeganMs >= mDelayMs) {
                mAnnounced = true;
                announce("onbattery");
            }
            // Again on every pass: the shutdown events may have started the record's
            // outage afresh since.
            if (mAnnounced && mRecord != nullptr) {
                mRecord->mData.announced = true;
            }
            bool const low = (status & STATUS_BATTERY_LOW) != 0;
            if (low && !mLowOnBattery) {
                announce("lowbattery");
            }
            mLowOnBattery = low;
        } else {
            mLowOnBattery = false;
            if (mOutage) {
                mOutage = false;
                // A blip shorter than OnBatteryDelay gives neither event.
                if (mAnnounced) {
                    mEndedSeconds = (OutageRecord::nowMs() - mOutageBeganMs) / MILLIS_PER_SECOND;
                    announce("online");
                }
                mAnnounced = false;
            }
        }
    }

    if (NuvexEvents::shutdownStarted()) {
        shutdownStarting();
    }
}

void EventAnnouncer::shutdownStarting() {
    // Only a shutdown this process started: a restarted daemon that took over its
    // predecessor's has no reason, and the event went out then.
    if (!mEnabled || mShutdownAnnounced || mEvents->mReason[0] == '\0') {
        return;
    }
    mShutdownAnnounced = true;
    announce("shutdown");
}

void EventAnnouncer::restore(int status) {
    if ((status & STATUS_PRIMARY_POWER) != 0 || mRecord == nullptr || !mRecord->mData.outage) {
        return;
    }
    mOutage = true;
    mOutageBeganMs = mRecord->mData.beganMs;
    mAnnounced = mRecord->mData.announced;
    // The record keeps no word of it: a battery-low bit that an announced outage already
    // shows was most likely announced with it.
    mLowOnBattery = mAnnounced && (status & STATUS_BATTERY_LOW) != 0;
}

void EventAnnouncer::estimates(int& charge, std::int32_t& runtime) {
    // The numbers the state file publishes for this pass.
    NuvexGauge const* gauge = mEvents->mGauge;
    if (gauge == nullptr || !gauge->ready()) {
        charge = EventContext::UNKNOWN;
        runtime = NuvexEstimate::NO_RUNTIME;
        return;
    }
    charge = gauge->charge();
    runtime = gauge->runtime();
}

void EventAnnouncer::announce(char const* event) {
    EventContext context;
    context.event = event;
    context.status = mStatusPoller->mStatus;
    context.lastStatus = mStatusPoller->mLastStatus;
    context.device = mDevice;
    if (std::strcmp(event, "online") == 0) {
        context.onBattery = mEndedSeconds;
    } else if (mOutage) {
        context.onBattery = (OutageRecord::nowMs() - mOutageBeganMs) / MILLIS_PER_SECOND;
        // As ups.timer.shutdown: 0 once the shutdown started.
        std::int32_t const left =
            NuvexEvents::shutdownStarted() ? 0 : mLimit - mEvents->mTimerCount;
        context.shutdownIn = left < 0 ? 0 : left;
    }
    if (mHaveGood) {
        estimates(context.charge, context.runtime);
        if (context.runtime == NuvexEstimate::NO_RUNTIME) {
            context.runtime = EventContext::UNKNOWN;
        }
        context.voltage = EventContext::volts(mVoltage);
        context.current = EventContext::amperes(mCurrent);
    }
    context.reason = mEvents->mReason;
    context.powerOffIn = NuvexEvents::powerOffDelay();
    mRunner.start(event, context.environment());
}

EventContext EventAnnouncer::published(char const* event, std::string const& recordPath) {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    std::string const& stateFile = config->getValue("StateFile");
    EventContext context;
    if (!stateFile.empty()) {
        std::ifstream in(stateFile, std::ios::binary);
        context = EventContext::fromStateFile(
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    context.event = event;
    context.device = config->getString("I2CDevice");
    context.powerOffIn = NuvexEvents::powerOffDelay();
    OutageRecord::Data record;
    if (OutageRecord::read(recordPath, record)) {
        if (record.outage) {
            context.onBattery = (OutageRecord::nowMs() - record.beganMs) / MILLIS_PER_SECOND;
        }
        context.reason = record.shutdown;
    }
    return context;
}
