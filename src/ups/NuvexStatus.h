#pragma once

#include <string>

#include "sched/Action.h"

// Polls the UPS board: status byte, averaged voltage and current, version text.
// Its state is what the other actions and the status-change hook read.
class NuvexStatus : public Action {
public:
    static constexpr int MEASURE_SAMPLES = 5;
    static constexpr int POLL_ERROR_LIMIT = 3;

    NuvexStatus();

    // One poll; throws ActionException at the third failed poll in a row.
    void exec() override;
    // Five samples of voltage and current, averaged into mVoltage and mCurrent.
    void loadVoltage();
    // Runs StatusChangedCmd with NUVEX_STATUS and NUVEX_LAST_STATUS exported.
    void execStatusChange();
    // Description of the four power bits, for example "primary power,charging".
    std::string toString(int status);

    // True when the latest poll completed.
    bool valid();
    // The latest status byte, or 0 while polls fail.
    int getStatus();
    float getVoltage();
    std::string getVersion();

    int mStatus = -1;      // -1 until the first status read
    int mLastStatus = -1;  // -1: no previous status
    float mVoltage = 0;    // mV
    float mCurrent = 0;    // mA
    std::string mVersion;
    int mErrorCount = 0;  // consecutive failed polls
};
