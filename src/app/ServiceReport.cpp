#include "app/ServiceReport.h"

#include <cstdio>
#include <cstring>

#include "app/ServiceNotifier.h"
#include "bus/Protocol.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexStatus.h"

namespace {
constexpr double MILLI = 1000.0;
}  // namespace

ServiceReport::ServiceReport(ServiceNotifier& notifier, NuvexStatus* status, NuvexEvents* events)
    : mNotifier(notifier), mStatusPoller(status), mEvents(events) {}

void ServiceReport::passCompleted() {
    formatLine();
    if (mPassesSinceSent < VOLTAGE_PASSES) {
        ++mPassesSinceSent;
    }
    bool const stateChanged = !mSent || std::strcmp(mState, mSentState) != 0;
    bool const voltageDue =
        mPassesSinceSent >= VOLTAGE_PASSES && std::strcmp(mVoltage, mSentVoltage) != 0;
    if (stateChanged || voltageDue) {
        char line[sizeof(mState) + 2 + sizeof(mVoltage)];
        std::snprintf(line, sizeof(line), "%s%s%s", mState, mVoltage[0] != '\0' ? "; " : "",
                      mVoltage);
        mNotifier.status(line);
        mSent = true;
        std::memcpy(mSentState, mState, sizeof(mState));
        std::memcpy(mSentVoltage, mVoltage, sizeof(mVoltage));
        mPassesSinceSent = 0;
    }
    // The state file, when there is one, is written in every pass: after the first,
    // a reader ordered after this service finds it.
    if (!mReady) {
        mReady = true;
        mNotifier.ready();
    }
    mNotifier.watchdog(ServiceNotifier::Clock::now());
}

void ServiceReport::formatLine() {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    mVoltage[0] = '\0';
    if (NuvexEvents::shutdownStarted()) {
        std::snprintf(mState, sizeof(mState), "Shutdown started: the board cuts the power in %d s",
                      static_cast<int>(NuvexEvents::powerOffDelay()));
        return;
    }
    // A poll that failed part way leaves partial sums in the readings: no voltage then.
    if (!mStatusPoller->valid() || mStatusPoller->mStatus < 0) {
        std::snprintf(mState, sizeof(mState), "No answer from the board on %s",
                      config->getValue("I2CDevice").c_str());
        return;
    }
    int const status = mStatusPoller->mStatus;
    char const* low = (status & STATUS_BATTERY_LOW) != 0 ? ", battery low" : "";
    if ((status & STATUS_PRIMARY_POWER) != 0) {
        std::snprintf(mState, sizeof(mState), "Primary power%s%s", low,
                      (status & STATUS_CHARGING) != 0 ? ", charging" : "");
    } else {
        // The countdown counts about once a second, so its runs left are seconds left.
        long long const left =
            static_cast<long long>(config->getInt("ShutdownTimer", 10)) - mEvents->mTimerCount;
        std::snprintf(mState, sizeof(mState), "On battery%s: shutdown in %lld s", low,
                      left < 0 ? 0 : left);
    }
    std::snprintf(mVoltage, sizeof(mVoltage), "%.2f V",
                  static_cast<double>(mStatusPoller->mVoltage) / MILLI);
}
