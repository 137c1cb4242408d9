#include "ups/NuvexStatus.h"

#include <unistd.h>

#include <cstdio>

#include "bus/Protocol.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "ups/Shell.h"

namespace {

constexpr unsigned int SAMPLE_PAUSE_MICROSECONDS = 1000;
constexpr int BYTE_SHIFT = 256;
constexpr std::size_t MEASURE_LINE_SIZE = 64;
constexpr std::size_t STATUS_LINE_SIZE = 32;  // "Current Status: -2147483648"

int readWord(Action& action) {
    int const high = action.readData();
    int const low = action.readData();
    return high * BYTE_SHIFT + low;
}

}  // namespace

NuvexStatus::NuvexStatus() = default;

void NuvexStatus::exec() {
    Log* log = Log::getInstance();
    try {
        writeData(REG_STATUS);
        mLastStatus = mStatus;
        mStatus = readData();
        // Formatted in place: "%d" writes what std::to_string does, without a heap string.
        char statusLine[STATUS_LINE_SIZE];
        std::snprintf(statusLine, sizeof(statusLine), "Current Status: %d", mStatus);
        log->write(statusLine, Log::DEBUG);

        // Only the power bits make a change: the button and the bits the board
        // leaves uninterpreted may flip without the power state changing.
        if (mLastStatus != -1 && ((mLastStatus ^ mStatus) & STATUS_POWER_MASK) != 0) {
            execStatusChange();
            // LogStatusDesc is looked up for each of the two descriptions.
            ConfigFile* config = Singleton<ConfigFile>::getInstance();
            std::string line = "Status changed from ";
            line += std::to_string(mLastStatus & STATUS_POWER_MASK);
            if (config->getValue("LogStatusDesc") == "1") {
                line += " (";
                line += toString(mLastStatus);
                line += ')';
            }
            line += " to ";
            line += std::to_string(mStatus & STATUS_POWER_MASK);
            if (config->getValue("LogStatusDesc") == "1") {
                line += " (";
                line += toString(mStatus);
                line += ')';
            }
            log->write(line, Log::NOTICE);
        }

        loadVoltage();

        writeData(REG_VERSION);
        mVersion.clear();
        for (int i = 0; i < VERSION_LENGTH; ++i) {
            // Raw characters: zero bytes are kept.
            mVersion.push_back(static_cast<char>(readData()));
        }

        mErrorCount = 0;
    } catch (std::exception const& failure) {
        // What completed before the failure stays; the next poll starts afresh
        // with its command byte.
        ++mErrorCount;
        if (mErrorCount >= POLL_ERROR_LIMIT) {
            throw ActionException("could not communicate with nuvexmon!");
        }
        log->write(failure.what(), Log::DEBUG);
    }
}

void NuvexStatus::loadVoltage() {
    // Sums build up in the members themselves: a failed transfer leaves the
    // partial sums there until the next complete measurement.
    mVoltage = 0;
    mCurrent = 0;
    for (int i = 0; i < MEASURE_SAMPLES; ++i) {
        writeData(REG_MEASURE);
        mVoltage += static_cast<float>(readWord(*this));
        mCurrent += static_cast<float>(readWord(*this));
        ::usleep(SAMPLE_PAUSE_MICROSECONDS);
    }
    mVoltage /= static_cast<float>(MEASURE_SAMPLES);
    mCurrent /= static_cast<float>(MEASURE_SAMPLES);

    // %g is the output stream's default notation: 6 significant digits, no trailing zeros.
    char line[MEASURE_LINE_SIZE];
    std::snprintf(line, sizeof(line), "U: %gmV, I: %gmA ", static_cast<double>(mVoltage),
                  static_cast<double>(mCurrent));
    Log::getInstance()->write(line, Log::DEBUG);
}

void NuvexStatus::execStatusChange() {
    std::string const command = Singleton<ConfigFile>::getInstance()->getString("StatusChangedCmd");
    if (command.empty()) {
        return;
    }
    // Full status bytes, button and uninterpreted bits included.
    runShellCommand("export NUVEX_STATUS=\"" + std::to_string(mStatus) +
                    "\" ;export NUVEX_LAST_STATUS=\"" + std::to_string(mLastStatus) + "\" ;" +
                    command);
}

std::string NuvexStatus::toString(int status) {
    std::string text;
    if ((status & STATUS_PRIMARY_POWER) != 0) {
        text += "primary power,";
    }
    if ((status & STATUS_BATTERY_POWER) != 0) {
        text += "battery power,";
    }
    if ((status & STATUS_BATTERY_LOW) != 0) {
        text += "battery low,";
    }
    if ((status & STATUS_CHARGING) != 0) {
        text += "charging,";
    }
    std::size_t const last = text.find_last_not_of(',');
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

bool NuvexStatus::valid() {
    return mErrorCount == 0;
}

int NuvexStatus::getStatus() {
    return mErrorCount == 0 ? mStatus : 0;
}

float NuvexStatus::getVoltage() {
    return mVoltage;
}

std::string NuvexStatus::getVersion() {
    return mVersion;
}
