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
#include "ups/Shell.h"

namespace {
constexpr int LOW_BYTE = 0xFF;
constexpr std::size_t TIMER_LINE_SIZE = 48;    // "Shutdown timer: N / L", two 32-bit numbers
constexpr std::size_t CHARGE_LINE_SIZE = 48;   // "Battery charge C% below L%!"
constexpr std::size_t RUNTIME_LINE_SIZE = 64;  // "Battery runtime R s below L s!"
}  // namespace

NuvexEvents::NuvexEvents(NuvexStatus* status) : mStatusPoller(status) {}

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

    if ((status & STATUS_PRIMARY_POWER) != 0) {
        mTimerCount = 0;
    } else if (!ShutdownInProgress) {
        ++mTimerCount;
        int const limit = Singleton<ConfigFile>::getInstance()->getInt("ShutdownTimer", 10);
        // Formatted in place: "%d" writes what std::to_string does, without heap strings.
        char line[TIMER_LINE_SIZE];
        std::snprintf(line, sizeof(line), "Shutdown timer: %d / %d", static_cast<int>(mTimerCount),
                      limit);
        Log::getInstance()->write(line, Log::NOTICE);
        if (mTimerCount >= limit) {
            ShutdownInProgress = true;
            shutdownSystem(false);
        } else if ((status & STATUS_BATTERY_LOW) != 0 &&
                   Singleton<ConfigFile>::getInstance()->getValue("ShutdownOnLowBattery") == "1") {
            // An ageing battery may not last the countdown: on battery and low, go now.
            ShutdownInProgress = true;
            Log::getInstance()->write("Battery low!", Log::NOTICE);
            shutdownSystem(false);
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
        shutdownSystem(true);
    }
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
    shutdownSystem(false);
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
    shutdownSystem(false);
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
        // the battery is empty. The failure then ends the daemon as usual.
        runShellCommand(command);
        throw;
    }
    runShellCommand(command);
}
