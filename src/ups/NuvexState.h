#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "sched/Action.h"

class NuvexStatus;
class NuvexEvents;

// Publishes the board's state for Network UPS Tools in the definition-file format
// of its dummy-ups driver, at the path configured as StateFile (empty: off).
class NuvexState : public Action {
public:
    // Passes between two writes when only the readings change.
    static constexpr std::uint32_t REFRESH_PASSES = 20;
    static constexpr std::size_t TEXT_SIZE = 256;

    NuvexState(NuvexStatus* status, NuvexEvents* events);

    void exec() override;

    // Removes the state file if this process wrote it, and a temporary file that a
    // signal interrupted. Async-signal-safe: it uses only the paths prepared by the
    // constructor.
    static void removeWrittenFile();

    NuvexStatus* mStatusPoller;
    NuvexEvents* mEvents;

private:
    static constexpr std::size_t STATUS_SIZE = 32;

    // Takes status, readings and version from a pass whose poll completed.
    void takeGoodPoll();
    // Formats ups.status into mStatusText and the whole file into mText.
    void formatStatus();
    void formatText(std::int32_t timer);
    std::int32_t shutdownTimer();
    // One attempt to replace the file with mText; false on any failure, which
    // leaves no temporary file behind.
    bool writeFile();
    // Gives the file a modification time in a later second than mFileSecond.
    void renewTime();

    // Last pass whose poll completed.
    bool mHaveStatus = false;
    int mGoodStatus = 0;
    bool mHaveReadings = false;
    float mVoltage = 0;  // mV
    float mCurrent = 0;  // mA
    char mFirmware[TEXT_SIZE] = {};

    char mStatusText[STATUS_SIZE] = {};
    char mText[TEXT_SIZE] = {};
    std::size_t mTextLength = 0;

    // What the last attempt published, and how it went.
    bool mAttempted = false;
    char mLastStatusText[STATUS_SIZE] = {};
    std::int32_t mLastTimer = 0;
    char mFileText[TEXT_SIZE] = {};
    std::size_t mFileTextLength = 0;
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
