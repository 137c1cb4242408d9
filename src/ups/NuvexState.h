#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "sched/Action.h"

class NuvexEvents;
class NuvexGauge;
class NuvexStatus;

// Publishes the board's state for Network UPS Tools in the definition-file format
// of its dummy-ups driver, at the path configured as StateFile (empty: off).
class NuvexState : public Action {
public:
    // Passes between two writes when only the readings change.
    static constexpr std::uint32_t REFRESH_PASSES = 20;
    static constexpr std::size_t TEXT_SIZE = 640;
    static constexpr std::size_t FIRMWARE_SIZE = 64;

    NuvexState(NuvexStatus* status, NuvexEvents* events, NuvexGauge* gauge);

    void exec() override;

    // Removes the state file if this process wrote it, and a temporary file that a
    // signal interrupted. Async-signal-safe: it uses only the paths prepared by the
    // constructor.
    static void removeWrittenFile();

    NuvexStatus* mStatusPoller;
    NuvexEvents* mEvents;
    NuvexGauge* mGauge;

private:
    // What the file shows, as values: compared on every pass, formatted only for a write.
    struct Values {
        unsigned status = 0;  // STATE_* bits: ups.status and what goes with it
        std::int32_t timer = 0;
        bool readings = false;  // a poll has completed
        long voltage = 0;       // hundredths of a volt
        long current = 0;       // thousandths of an ampere
        int charge = 0;
        std::int32_t runtime = 0;
        std::uint32_t firmware = 0;  // edition of mFirmware

        bool sameState(Values const& other) const {
            return status == other.status && timer == other.timer;
        }
        bool operator==(Values const& other) const {
            return sameState(other) && readings == other.readings && voltage == other.voltage &&
                   current == other.current && charge == other.charge && runtime == other.runtime &&
                   firmware == other.firmware;
        }
    };

    // Takes status, readings and version from a pass whose poll completed.
    void takeGoodPoll();
    Values currentValues();
    std::int32_t shutdownTimer();
    // The whole file for these values into mText.
    void formatText(Values const& values);
    // One attempt to replace the file with mText; false on any failure, which
    // leaves no temporary file behind.
    bool writeFile();
    // Gives the file a modification time in a later second than mFileSecond.
    void renewTime();

    bool mEnabled = false;
    // The curve's ends (mV) and the runtime level (s, 0: off), fixed at start.
    int mLowMv = 0;
    int mHighMv = 0;
    int mRuntimeLow = 0;

    // Last pass whose poll completed.
    bool mHaveStatus = false;
    int mGoodStatus = 0;
    bool mHaveReadings = false;
    float mVoltage = 0;  // mV
    float mCurrent = 0;  // mA
    std::string mRawVersion;
    char mFirmware[FIRMWARE_SIZE] = {};
    std::uint32_t mFirmwareEdition = 0;

    char mText[TEXT_SIZE] = {};
    std::size_t mTextLength = 0;

    // What the last attempt published, what the file holds, and how it went.
    bool mAttempted = false;
    Values mAttemptedValues;
    Values mFileValues;
    bool mStale = false;    // the last attempt failed
    bool mFailing = false;  // the failure line of this run of failures is written
    std::uint32_t mPassesSinceAttempt = 0;

    // Modification time, in whole seconds, that the file has (or had) and the driver
    // may have seen already; a write in that same second goes unnoticed until renewed.
    bool mHaveFileSecond = false;
    std::time_t mFileSecond = 0;
    bool mRenewPending = false;
    bool mRewriteNow = false;
};
