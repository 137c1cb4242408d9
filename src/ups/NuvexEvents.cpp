#include "ups/NuvexEvents.h"

#include <cstdio>
#include <string>

#include "bus/Protocol.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "ups/NuvexEstimate.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexStatus.h"
#include "ups/OutageRecord.h"
#include "ups/Shell.h"
#include "ups/ShutdownListener.h"

namespace {
constexpr int LOW_BYTE = 0xFF;
constexpr std::size_t TIMER_LINE_SIZE = 48;    // "Shutdown timer: N / L", two 32-bit numbers
constexpr std::size_t CHARGE_LINE_SIZE = 48;   // "Battery charge C% below L%!"
constexpr std::size_t RUNTIME_LINE_SIZE = 64;  // "Battery runtime R s below L s!"
constexpr std::size_t RESTORE_LINE_SIZE = 96;
constexpr std::int64_t MILLIS_PER_RUN = 1000;  // the countdown counts once a second
}  // namespace

NuvexEvents::NuvexEvents(NuvexStatus* status, OutageRecord* record)
    : mStatusPoller(status), mRecord(record) {}

bool& NuvexEvents::inProgress() {
    // One flag for the whole process: a shutdown starts at most once.
    static bool ShutdownInProgress = false;
    return ShutdownInProgress;
}

bool NuvexEvents::shutdownStarted() {
    return inProgress();
}

unsigned char NuvexEvents::powerOffDelay() {
    return static_cast<unsigned char>(
        Singleton<ConfigFile>::getInstance()->getInt("PowerOffTimer", 10) & LOW_BYTE);
}

void NuvexEvents::exec() {
    bool& ShutdownInProgress = inProgress();

    // While polls fail the board state is unknown: neither count nor reset.
    if (!mStatusPoller->valid()) {
        return;
    }
    int status = mStatusPoller->getStatus();
    if (!mRestored) {
        mRestored = true;
        restore(status);
    }

    if ((status & STATUS_PRIMARY_POWER) != 0) {
        mTimerCount = 0;
        mBeganMs = 0;
        track(status);
    } else if (!ShutdownInProgress) {
        countOn();
        track(status);
        int const limit = Singleton<ConfigFile>::getInstance()->getInt("ShutdownTimer", 10);
        // Formatted in place: "%d" writes what std::to_string does, without heap strings.
        char line[TIMER_LINE_SIZE];
        std::snprintf(line, sizeof(line), "Shutdown timer: %d / %d", static_cast<int>(mTimerCount),
                      limit);
        Log::getInstance()->write(line, Log::NOTICE);
        if (mTimerCount >= limit) {
            startShutdown("countdown", false);
        } else if ((status & STATUS_BATTERY_LOW) != 0 &&
                   Singleton<ConfigFile>::getInstance()->getValue("ShutdownOnLowBattery") == "1") {
            // An ageing battery may not last the countdown: on battery and low, go now.
            ShutdownInProgress = true;
            Log::getInstance()->write("Battery low!", Log::NOTICE);
            startShutdown("lowbattery", false);
        } else {
            shutdownBelowCharge();
            shutdownBelowRuntime();
        }
        if (!mStatusPoller->valid()) {
            return;
        }
        status = mStatusPoller->getStatus();
    }

    if ((status & STATUS_BUTTON) != 0 && !ShutdownInProgress) {
        ShutdownInProgress = true;
        Log::getInstance()->write("Button pressed!", Log::NOTICE);
        startShutdown("button", true);
    }
}

void NuvexEvents::restore(int status) {
    if (mRecord == nullptr) {
        return;
    }
    OutageRecord::Data& data = mRecord->mData;
    if ((status & STATUS_PRIMARY_POWER) != 0 || !data.outage) {
        // Whatever the record says of an outage or a shutdown ended with it: a daemon
        // that starts on primary power begins afresh. (The counted charge stays.)
        OutageRecord::Data fresh;
        fresh.haveCharge = data.haveCharge;
        fresh.chargeMilli = data.chargeMilli;
        data = fresh;
        return;
    }
    // The countdown goes on from where the last daemon left it; its next run catches up
    // with the seconds it was away, so that the shutdown comes when it would have come
    // anyway.
    std::int64_t const now = OutageRecord::nowMs();
    mTimerCount = data.count;
    mBeganMs = data.beganMs;
    char line[RESTORE_LINE_SIZE];
    if (!data.shutdown.empty()) {
        // Started before: the board has its command, the system its shutdown.
        inProgress() = true;
        std::snprintf(line, sizeof(line), "Outage in progress for %lld s: shutdown already started",
                      static_cast<long long>((now - data.beganMs) / MILLIS_PER_RUN));
    } else {
        std::snprintf(line, sizeof(line), "Outage in progress for %lld s: shutdown timer at %d",
                      static_cast<long long>((now - data.beganMs) / MILLIS_PER_RUN),
                      static_cast<int>(mTimerCount));
    }
    Log::getInstance()->write(line, Log::NOTICE);
}

void NuvexEvents::countOn() {
    std::int64_t const now = OutageRecord::nowMs();
    if (mBeganMs == 0) {
        mBeganMs = now;
    }
    ++mTimerCount;
    // A run comes about once a second; a slow system (a bus transfer running into its
    // timeout, a loaded processor) makes runs longer. The count never falls behind the
    // seconds on battery: the shutdown comes ShutdownTimer seconds after the power
    // failed, however slow the runs, even if a count is then skipped.
    std::int64_t const due = (now - mBeganMs) / MILLIS_PER_RUN + 1;
    if (due > mTimerCount) {
        mTimerCount = static_cast<std::int32_t>(due < INT32_MAX ? due : INT32_MAX);
    }
}

void NuvexEvents::track(int status) {
    if (mRecord == nullptr) {
        return;
    }
    OutageRecord::Data& data = mRecord->mData;
    if ((status & STATUS_PRIMARY_POWER) != 0) {
        // The outage is over; a shutdown already under way is not, and the shutdown
        // hook still needs to know about it.
        data.outage = false;
        data.beganMs = 0;
        data.count = 0;
        data.countMs = 0;
        data.announced = false;
        return;
    }
    data.outage = true;
    data.beganMs = mBeganMs;
    data.count = mTimerCount;
    data.countMs = OutageRecord::nowMs();
}

void NuvexEvents::startShutdown(char const* reason, bool manual) {
    inProgress() = true;
    mReason = reason;
    if (mRecord != nullptr) {
        mRecord->mData.shutdown = reason;
    }
    shutdownSystem(manual);
}

void NuvexEvents::shutdownBelowCharge() {
    // Looked up on every check on battery power: a key made once, not a heap string each time.
    static std::string const KEY = "ShutdownBelowCharge";
    int const level = Singleton<ConfigFile>::getInstance()->getInt(KEY, 10);
    if (level <= 0 || mGauge == nullptr || !mGauge->ready()) {
        return;
    }
    // The charge the state file publishes for this pass.
    int const now = mGauge->charge();
    if (now >= level) {
        return;
    }
    inProgress() = true;
    char line[CHARGE_LINE_SIZE];
    std::snprintf(line, sizeof(line), "Battery charge %d%% below %d%%!", now, level);
    Log::getInstance()->write(line, Log::NOTICE);
    startShutdown("charge", false);
}

void NuvexEvents::shutdownBelowRuntime() {
    static std::string const KEY = "ShutdownBelowRuntime";
    int const limit = Singleton<ConfigFile>::getInstance()->getInt(KEY, 10);
    if (limit <= 0 || inProgress() || mGauge == nullptr || !mGauge->ready()) {
        return;
    }
    // The runtime the state file publishes for this pass; none before the battery carried
    // a load.
    std::int32_t const now = mGauge->runtime();
    if (now == NuvexEstimate::NO_RUNTIME || now >= limit) {
        return;
    }
    inProgress() = true;
    char line[RUNTIME_LINE_SIZE];
    std::snprintf(line, sizeof(line), "Battery runtime %d s below %d s!", static_cast<int>(now),
                  limit);
    Log::getInstance()->write(line, Log::NOTICE);
    startShutdown("runtime", false);
}

void NuvexEvents::shutdownSystem(bool manual) {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    std::string const command = config->getString("ShutdownCmd");
    Log::getInstance()->write(manual ? "Manual system shutdown!" : "System shutdown!", Log::NOTICE);
    // Converted before the command byte, so that 0x10 never goes out without its delay.
    unsigned char const delay = powerOffDelay();
    try {
        writeData(CMD_POWEROFF);
        // Only after a command byte the board took: otherwise it would read the delay
        // as a command of its own (a delay of 16 is CMD_POWEROFF itself).
        writeData(delay);
    } catch (...) {
        // The board may not cut the power, but the system must still shut down before
        // the battery is empty. The failure then ends the daemon as usual; the record
        // tells the shutdown hook that the board has no command yet.
        if (mRecord != nullptr) {
            mRecord->commit();
        }
        runShellCommand(command);
        if (mShutdownListener != nullptr) {
            mShutdownListener->shutdownStarting();
        }
        throw;
    }
    // On record before the shutdown command runs: a daemon stopped right after must
    // find it, and so must the shutdown hook at the very end.
    if (mRecord != nullptr) {
        mRecord->mData.commandSent = true;
        mRecord->mData.commandMs = OutageRecord::nowMs();
        mRecord->mData.delay = delay;
        mRecord->commit();
    }
    runShellCommand(command);
}
