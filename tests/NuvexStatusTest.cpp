#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BoardFixture.h"
#include "config/ConfigException.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "ups/NuvexStatus.h"

namespace {

using Lines = std::vector<std::string>;

class NuvexStatusTest : public BoardFixture {
protected:
    NuvexStatusTest() { mStatus.mI2C = mBus.get(); }

    NuvexStatus mStatus;
};

TEST_F(NuvexStatusTest, OnePollIsFortyTransfersInOrder) {
    mStatus.exec();
    Lines expected = {"W 0x00", "R 0x01"};
    for (int sample = 0; sample < 5; ++sample) {
        // 5000 mV = 0x1388, 312 mA = 0x0138
        expected.insert(expected.end(), {"W 0x02", "R 0x13", "R 0x88", "R 0x01", "R 0x38"});
    }
    expected.push_back("W 0x01");
    for (char c : std::string("NUVEX v1.2.3")) {
        char text[8];
        std::snprintf(text, sizeof(text), "R 0x%02x", static_cast<unsigned char>(c));
        expected.push_back(text);
    }
    EXPECT_EQ(transfersOfPoll(1), expected);
    EXPECT_EQ(logLines(), (Lines{"[DEBUG] Current Status: 1", "[DEBUG] U: 5000mV, I: 312mA "}));
    EXPECT_TRUE(mStatus.valid());
    EXPECT_EQ(mStatus.getStatus(), 1);
    EXPECT_EQ(mStatus.getVersion(), "NUVEX v1.2.3");
}

TEST_F(NuvexStatusTest, FirstPollNeverReportsAChange) {
    set("StatusChangedCmd", recorder("hook"));
    mBoard.setStatus(0x02);
    mStatus.exec();
    EXPECT_EQ(mStatus.mLastStatus, -1);
    EXPECT_TRUE(logLines("NOTICE").empty());
    EXPECT_TRUE(recorded("hook").empty());
}

TEST_F(NuvexStatusTest, ChangeLinesAndTheHook) {
    struct Row {
        int from;
        int to;
        char const* desc;
        char const* line;  // nullptr: no change
    };
    std::vector<Row> const rows = {
        {0x01, 0x02, "1", "Status changed from 1 (primary power) to 2 (battery power)"},
        {0x09, 0x0A, "1",
         "Status changed from 9 (primary power,charging) to 10 (battery power,charging)"},
        {0x21, 0x20, "1", "Status changed from 1 (primary power) to 0 ()"},
        {0x03, 0x0C, "1",
         "Status changed from 3 (primary power,battery power) to 12 (battery low,charging)"},
        {0x01, 0x02, "01", "Status changed from 1 to 2"},
        {0x01, 0x02, "true", "Status changed from 1 to 2"},
        {0x01, 0x21, "1", nullptr},
        {0x01, 0x11, "1", nullptr},
        {0x01, 0x41, "1", nullptr},
        {0x01, 0x81, "1", nullptr},
        {0xF1, 0x01, "1", nullptr},
    };
    set("StatusChangedCmd", recorder("hook"));
    for (Row const& row : rows) {
        SCOPED_TRACE(std::to_string(row.from) + " -> " + std::to_string(row.to));
        ::unlink((mDir.path() + "/nuvexmon.log").c_str());
        ::unlink((mDir.path() + "/hook.rec").c_str());
        set("LogStatusDesc", row.desc);
        NuvexStatus status;
        status.mI2C = mBus.get();
        mBoard.setStatus(static_cast<std::uint8_t>(row.from));
        status.exec();
        mBoard.setStatus(static_cast<std::uint8_t>(row.to));
        status.exec();
        EXPECT_EQ(logLines("DEBUG")[2], "Current Status: " + std::to_string(row.to));
        if (row.line == nullptr) {
            EXPECT_TRUE(logLines("NOTICE").empty());
            EXPECT_TRUE(recorded("hook").empty());
        } else {
            EXPECT_EQ(logLines("NOTICE"), Lines{row.line});
            EXPECT_EQ(recorded("hook").size(), 1u);
        }
        EXPECT_TRUE(status.valid());
    }
}

TEST_F(NuvexStatusTest, DescriptionOfThePowerBits) {
    std::vector<std::pair<int, std::string>> const cases = {
        {0x00, ""},
        {0x01, "primary power"},
        {0x03, "primary power,battery power"},
        {0x09, "primary power,charging"},
        {0x0F, "primary power,battery power,battery low,charging"},
        {0x04, "battery low"},
        {0x20, ""},
        {0xF0, ""},
        {0xFA, "battery power,charging"},
    };
    for (auto const& [value, text] : cases) {
        EXPECT_EQ(mStatus.toString(value), text) << value;
    }
}

TEST_F(NuvexStatusTest, HookGetsTheExactTextWithBothVariables) {
    std::string const command = recorder("hook");
    set("StatusChangedCmd", command);
    mBoard.setStatus(0x09);
    mStatus.exec();
    mBoard.setStatus(0x02);
    mStatus.exec();
    EXPECT_EQ(
        recorded("hook"),
        Lines{"export NUVEX_STATUS=\"2\" ;export NUVEX_LAST_STATUS=\"9\" ;" + command + " &"});
    // The hook runs before the change line is written.
    EXPECT_EQ(logLines("NOTICE"),
              Lines{"Status changed from 9 (primary power,charging) to 2 (battery power)"});
}

TEST_F(NuvexStatusTest, HookSeesFullStatusBytesAndAmpersandMeansRunAsWritten) {
    std::string const out = mDir.path() + "/env.txt";
    // Holds an ampersand: nothing is appended and system() waits for it.
    set("StatusChangedCmd", "echo \"$NUVEX_STATUS $NUVEX_LAST_STATUS\" > " + out + " && true");
    mBoard.setStatus(0x21);
    mStatus.exec();
    mBoard.setStatus(0x02);
    mStatus.exec();
    EXPECT_EQ(mDir.read("env.txt"), "2 33\n");
}

TEST_F(NuvexStatusTest, EmptyHookRunsNothingAndTheChangeIsLogged) {
    set("StatusChangedCmd", "");
    mStatus.exec();
    mBoard.setStatus(0x02);
    mStatus.exec();
    EXPECT_EQ(logLines("NOTICE"),
              Lines{"Status changed from 1 (primary power) to 2 (battery power)"});
    EXPECT_TRUE(mStatus.valid());
}

TEST_F(NuvexStatusTest, MissingHookKeyCountsAsFailedPoll) {
    try {
        Singleton<ConfigFile>::getInstance()->getString("StatusChangedCmd");
        GTEST_SKIP() << "StatusChangedCmd was set by an earlier test in this process; "
                        "ctest runs every test in a process of its own";
    } catch (ConfigException const&) {
    }
    mStatus.exec();
    mBoard.setStatus(0x02);
    mStatus.exec();
    EXPECT_EQ(logLines(),
              (Lines{"[DEBUG] Current Status: 1", "[DEBUG] U: 5000mV, I: 312mA ",
                     "[DEBUG] Current Status: 2", "[DEBUG] unknown config key: StatusChangedCmd"}));
    EXPECT_EQ(transfersOfPoll(2).size(), 2u);
    EXPECT_FALSE(mStatus.valid());
    EXPECT_EQ(mStatus.getStatus(), 0);
    // The change is not reported again on the next poll.
    mStatus.exec();
    EXPECT_TRUE(mStatus.valid());
    EXPECT_TRUE(logLines("NOTICE").empty());
}

TEST_F(NuvexStatusTest, TwoFailuresThenAGoodPollRecover) {
    mBoard.failTransfer(1, 2);  // status byte
    mBoard.failTransfer(2, 1);  // status command
    mStatus.exec();
    mStatus.exec();
    EXPECT_EQ(mStatus.mErrorCount, 2);
    mStatus.exec();
    EXPECT_EQ(mStatus.mErrorCount, 0);
    EXPECT_EQ(logLines("DEBUG"),
              (Lines{"could not read from i2c bus!", "could not write to i2c bus!",
                     "Current Status: 1", "U: 5000mV, I: 312mA "}));
}

TEST_F(NuvexStatusTest, ThirdFailureInARowThrows) {
    mBoard.setPresent(false);
    mStatus.exec();
    mStatus.exec();
    try {
        mStatus.exec();
        FAIL() << "no exception";
    } catch (ActionException const& e) {
        EXPECT_STREQ(e.what(), "could not communicate with nuvexmon!");
    }
    EXPECT_EQ(mStatus.mErrorCount, 3);
    // The third failure's own message is not logged.
    EXPECT_EQ(logLines(), (Lines{"[DEBUG] could not write to i2c bus!",
                                 "[DEBUG] could not write to i2c bus!"}));
}

TEST_F(NuvexStatusTest, FailedMeasurementLeavesPartialSums) {
    mStatus.exec();
    // Poll 2: transfers 3-7, 8-12 and 13-17 are the first three samples; 15 is the
    // third sample's voltage low byte.
    mBoard.setMeasurement(4000, 100);
    mBoard.failTransfer(2, 15);
    mStatus.exec();
    EXPECT_FLOAT_EQ(mStatus.mVoltage, 8000.0f);
    EXPECT_FLOAT_EQ(mStatus.mCurrent, 200.0f);
    EXPECT_FALSE(mStatus.valid());
    EXPECT_EQ(logLines("DEBUG").back(), "could not read from i2c bus!");
    // The next exchange starts again with its command byte; the next poll recovers.
    mStatus.exec();
    EXPECT_EQ(transfersOfPoll(3).front(), "W 0x00");
    EXPECT_FLOAT_EQ(mStatus.getVoltage(), 4000.0f);
    EXPECT_TRUE(mStatus.valid());
}

TEST_F(NuvexStatusTest, FailedVersionReadKeepsWhatArrived) {
    mBoard.failTransfer(1, 31);  // third version byte
    mStatus.exec();
    EXPECT_EQ(mStatus.getVersion(), "NU");
}

TEST_F(NuvexStatusTest, VersionKeepsZeroBytes) {
    std::string const version(
        "V\0\0"
        "1.0\0\0\0\0\0",
        12);
    mBoard.setVersion(version);
    mStatus.exec();
    mStatus.exec();
    EXPECT_EQ(mStatus.getVersion().size(), 12u);
    EXPECT_EQ(mStatus.getVersion(), version);
}

TEST_F(NuvexStatusTest, Averaging) {
    struct Case {
        std::vector<std::pair<std::uint16_t, std::uint16_t>> samples;
        char const* line;
    };
    std::vector<Case> const cases = {
        {{{5000, 0}, {5000, 0}, {5000, 0}, {5000, 0}, {5000, 0}}, "U: 5000mV, I: 0mA "},
        {{{4987, 312}, {4987, 312}, {4987, 312}, {4987, 312}, {4990, 312}},
         "U: 4987.6mV, I: 312mA "},
        {{{0, 0xFFFF}, {0, 0xFFFF}, {0, 0xFFFF}, {0, 0xFFFF}, {0, 0xFFFF}}, "U: 0mV, I: 65535mA "},
        {{{0xFFFF, 1}, {0xFFFF, 0}, {0xFFFF, 0}, {0xFFFF, 0}, {0xFFFF, 0}},
         "U: 65535mV, I: 0.2mA "},
    };
    for (Case const& c : cases) {
        mBoard.queueSamples(c.samples);
        mStatus.exec();
        EXPECT_EQ(logLines("DEBUG").back(), c.line);
    }
}

}  // namespace
