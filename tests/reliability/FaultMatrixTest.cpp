// A bus fault at each of the 40 transfers of a poll, in process: the daemon's poller on
// the simulated board. After a good first poll the board changes every value it reports,
// so what the failed poll left behind shows exactly how far it got.

#include <gtest/gtest.h>

#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "BoardFixture.h"
#include "log/LogException.h"
#include "ups/NuvexStatus.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char const* OLD_VERSION = "NUVEX v1.2.3";  // poll 1 (BoardFixture)
constexpr char const* NEW_VERSION = "ABCDEFGHIJKL";  // polls 2 and 3
constexpr char const* WRITE_ERROR = "[DEBUG] could not write to i2c bus!";
constexpr char const* READ_ERROR = "[DEBUG] could not read from i2c bus!";
constexpr char const* STATUS_LINE = "[DEBUG] Current Status: 9";
constexpr char const* CHANGE_LINE =
    "[NOTICE] Status changed from 1 (primary power) to 9 (primary power,charging)";
constexpr char const* MEASURE_LINE = "[DEBUG] U: 4660mV, I: 1383mA ";

// What poll 2 leaves behind when its transfer k fails. Poll 1 read status 0x01, 5000 mV,
// 312 mA and OLD_VERSION; poll 2 meets status 0x09, 4660 mV (0x1234), 1383 mA (0x0567)
// and NEW_VERSION.
struct Fault {
    unsigned k;
    char const* transfer;  // the failed transfer as the board recorded it
    char const* log;       // poll 2's log: S status, C change, U measurement, E error
    int status;            // mStatus
    int lastStatus;        // mLastStatus
    float voltage;         // mVoltage: poll 1's average, a partial sum, or the new average
    float current;         // mCurrent
    char const* version;   // mVersion
};

std::vector<Fault> const FAULTS = {
    {1, "W 0x00 failed", "E", 1, -1, 5000, 312, OLD_VERSION},
    {2, "R 0xff failed", "E", 1, 1, 5000, 312, OLD_VERSION},
    {3, "W 0x02 failed", "SCE", 9, 1, 0, 0, OLD_VERSION},
    {4, "R 0xff failed", "SCE", 9, 1, 0, 0, OLD_VERSION},
    {5, "R 0xff failed", "SCE", 9, 1, 0, 0, OLD_VERSION},
    {6, "R 0xff failed", "SCE", 9, 1, 4660, 0, OLD_VERSION},
    {7, "R 0xff failed", "SCE", 9, 1, 4660, 0, OLD_VERSION},
    {8, "W 0x02 failed", "SCE", 9, 1, 4660, 1383, OLD_VERSION},
    {9, "R 0xff failed", "SCE", 9, 1, 4660, 1383, OLD_VERSION},
    {10, "R 0xff failed", "SCE", 9, 1, 4660, 1383, OLD_VERSION},
    {11, "R 0xff failed", "SCE", 9, 1, 9320, 1383, OLD_VERSION},
    {12, "R 0xff failed", "SCE", 9, 1, 9320, 1383, OLD_VERSION},
    {13, "W 0x02 failed", "SCE", 9, 1, 9320, 2766, OLD_VERSION},
    {14, "R 0xff failed", "SCE", 9, 1, 9320, 2766, OLD_VERSION},
    {15, "R 0xff failed", "SCE", 9, 1, 9320, 2766, OLD_VERSION},
    {16, "R 0xff failed", "SCE", 9, 1, 13980, 2766, OLD_VERSION},
    {17, "R 0xff failed", "SCE", 9, 1, 13980, 2766, OLD_VERSION},
    {18, "W 0x02 failed", "SCE", 9, 1, 13980, 4149, OLD_VERSION},
    {19, "R 0xff failed", "SCE", 9, 1, 13980, 4149, OLD_VERSION},
    {20, "R 0xff failed", "SCE", 9, 1, 13980, 4149, OLD_VERSION},
    {21, "R 0xff failed", "SCE", 9, 1, 18640, 4149, OLD_VERSION},
    {22, "R 0xff failed", "SCE", 9, 1, 18640, 4149, OLD_VERSION},
    {23, "W 0x02 failed", "SCE", 9, 1, 18640, 5532, OLD_VERSION},
    {24, "R 0xff failed", "SCE", 9, 1, 18640, 5532, OLD_VERSION},
    {25, "R 0xff failed", "SCE", 9, 1, 18640, 5532, OLD_VERSION},
    {26, "R 0xff failed", "SCE", 9, 1, 23300, 5532, OLD_VERSION},
    {27, "R 0xff failed", "SCE", 9, 1, 23300, 5532, OLD_VERSION},
    {28, "W 0x01 failed", "SCUE", 9, 1, 4660, 1383, OLD_VERSION},
    {29, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, ""},
    {30, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "A"},
    {31, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "AB"},
    {32, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABC"},
    {33, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCD"},
    {34, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDE"},
    {35, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDEF"},
    {36, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDEFG"},
    {37, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDEFGH"},
    {38, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDEFGHI"},
    {39, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDEFGHIJ"},
    {40, "R 0xff failed", "SCUE", 9, 1, 4660, 1383, "ABCDEFGHIJK"},
};

// Names the case in test listings.
void PrintTo(Fault const& fault, std::ostream* out) {
    *out << "transfer " << fault.k;
}

Lines expectedLog(Fault const& fault) {
    Lines lines;
    for (char const code : std::string(fault.log)) {
        switch (code) {
            case 'S':
                lines.emplace_back(STATUS_LINE);
                break;
            case 'C':
                lines.emplace_back(CHANGE_LINE);
                break;
            case 'U':
                lines.emplace_back(MEASURE_LINE);
                break;
            default:
                lines.emplace_back(std::string(fault.transfer)[0] == 'W' ? WRITE_ERROR
                                                                         : READ_ERROR);
                break;
        }
    }
    return lines;
}

Lines linesFrom(Lines const& lines, std::size_t first) {
    return first >= lines.size() ? Lines{}
                                 : Lines(lines.begin() + static_cast<long>(first), lines.end());
}

class FaultAtTransfer : public BoardFixture, public ::testing::WithParamInterface<Fault> {
protected:
    FaultAtTransfer() {
        set("StatusChangedCmd", recorder("hook"));
        mStatus.mI2C = mBus.get();
    }

    NuvexStatus mStatus;
};

TEST_P(FaultAtTransfer, LeavesItsPartialStateAndTheNextPollRecovers) {
    Fault const& fault = GetParam();
    mStatus.exec();
    ASSERT_TRUE(mStatus.valid());
    std::size_t const pollOneLines = logLines().size();

    mBoard.setStatus(0x09);
    mBoard.setMeasurement(4660, 1383);
    mBoard.setVersion(NEW_VERSION);
    mBoard.failTransfer(2, fault.k);
    mStatus.exec();

    // The poll stops at the failed transfer.
    Lines const transfers = transfersOfPoll(2);
    ASSERT_EQ(transfers.size(), fault.k);
    EXPECT_EQ(transfers.back(), fault.transfer);
    EXPECT_EQ(mStatus.mErrorCount, 1);
    EXPECT_FALSE(mStatus.valid());
    EXPECT_EQ(mStatus.getStatus(), 0);
    EXPECT_EQ(linesFrom(logLines(), pollOneLines), expectedLog(fault));
    EXPECT_EQ(mStatus.mStatus, fault.status);
    EXPECT_EQ(mStatus.mLastStatus, fault.lastStatus);
    EXPECT_EQ(mStatus.mVoltage, fault.voltage);
    EXPECT_EQ(mStatus.mCurrent, fault.current);
    EXPECT_EQ(mStatus.getVersion(), fault.version);
    std::size_t const pollTwoLines = logLines().size();

    mStatus.exec();
    EXPECT_EQ(transfersOfPoll(3).size(), 40u);
    EXPECT_EQ(mStatus.mErrorCount, 0);
    EXPECT_TRUE(mStatus.valid());
    EXPECT_EQ(mStatus.getStatus(), 9);
    EXPECT_EQ(mStatus.mVoltage, 4660.0f);
    EXPECT_EQ(mStatus.mCurrent, 1383.0f);
    EXPECT_EQ(mStatus.getVersion(), NEW_VERSION);
    // The change from 1 to 9 is reported once: by poll 2 if it read the status, else by 3.
    Lines recovery = {STATUS_LINE, MEASURE_LINE};
    if (fault.status == 1) {
        recovery.insert(recovery.begin() + 1, CHANGE_LINE);
    }
    EXPECT_EQ(linesFrom(logLines(), pollTwoLines), recovery);
    EXPECT_EQ(recorded("hook").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryTransfer, FaultAtTransfer, ::testing::ValuesIn(FAULTS),
                         [](::testing::TestParamInfo<Fault> const& param) {
                             return "k" + std::to_string(param.param.k);
                         });

// The two failed polls the daemon survives, at any pair of positions, then a good one.
TEST_F(BoardFixture, TwoFailedPollsAtAnyPositionsThenRecovery) {
    set("StatusChangedCmd", "");
    unsigned poll = 0;
    for (unsigned first = 1; first <= 40; first += 3) {
        for (unsigned second = 1; second <= 40; second += 7) {
            SCOPED_TRACE("transfers " + std::to_string(first) + " and " + std::to_string(second));
            NuvexStatus status;
            status.mI2C = mBus.get();
            mBoard.failTransfer(poll + 1, first);
            mBoard.failTransfer(poll + 2, second);
            status.exec();
            status.exec();
            EXPECT_EQ(status.mErrorCount, 2);
            status.exec();
            EXPECT_EQ(status.mErrorCount, 0);
            EXPECT_EQ(status.mVoltage, 5000.0f);
            EXPECT_EQ(status.mCurrent, 312.0f);
            EXPECT_EQ(status.getVersion(), OLD_VERSION);
            poll += 3;
        }
    }
    EXPECT_EQ(mBoard.polls(), poll);
}

// The poller's failure path writes to the log too: with the log's directory gone it
// cannot, and the failure to open the log leaves exec() instead of the bus failure.
TEST_F(BoardFixture, PollerWithAnUnwritableLog) {
    set("StatusChangedCmd", "");
    set("LogFile", mDir.path() + "/missing/nuvexmon.log");
    NuvexStatus status;
    status.mI2C = mBus.get();
    try {
        status.exec();
        FAIL() << "no exception";
    } catch (LogException const& e) {
        EXPECT_STREQ(e.what(), "could not open log file!");
    }
    // The status line could not be written; counted as a failed poll, then the
    // failure's own line could not be written either.
    EXPECT_EQ(transfersOfPoll(1), (Lines{"W 0x00", "R 0x01"}));
    EXPECT_EQ(status.mErrorCount, 1);
    EXPECT_EQ(::access((mDir.path() + "/missing").c_str(), F_OK), -1);
}

}  // namespace
