#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "BoardFixture.h"
#include "ups/BatteryCell.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexStatus.h"
#include "ups/OutageRecord.h"

namespace {

std::int64_t fakeNow = 0;

std::int64_t fakeClock() {
    return fakeNow;
}

// A 2000 mAh battery at 100 mOhm on battery power: 3745 mV at 1 A rests at 3845 mV, 52.5 %.
// The record has no file: what the gauge keeps is its working copy.
class NuvexGaugeTest : public BoardFixture {
protected:
    NuvexGaugeTest() : mRecord("") {
        mStatus.mI2C = mBus.get();
        set("StatusChangedCmd", "");
        set("BatteryResistance", "100");
        set("BatteryCapacity", "2000");
        mBoard.setStatus(0x02);
        mBoard.setMeasurement(3745, 1000);
        fakeNow = 0;
    }

    void start() {
        mGauge = std::make_unique<NuvexGauge>(&mStatus, BatteryCell::fromConfig(), &mRecord);
        mGauge->mClock = fakeClock;
    }

    // One pass this long after the previous one: the poll, then the gauge.
    void passes(int count, std::int64_t everyMs) {
        for (int i = 0; i < count; ++i) {
            fakeNow += everyMs;
            mStatus.exec();
            mGauge->exec();
        }
    }

    NuvexStatus mStatus;
    OutageRecord mRecord;
    std::unique_ptr<NuvexGauge> mGauge;
};

// 1 A takes 6.94 thousandths of a percent a pass: a minute moves less than a point.
TEST_F(NuvexGaugeTest, SavesAWholePointOrAMinuteOfMovementAndNothingElse) {
    start();
    passes(1, 0);
    EXPECT_TRUE(mRecord.mData.haveCharge);
    EXPECT_EQ(mRecord.mData.chargeMilli, 52500);
    passes(119, 500);
    EXPECT_EQ(mRecord.mData.chargeMilli, 52500);
    passes(1, 500);  // a minute
    EXPECT_EQ(mRecord.mData.chargeMilli, 51667);

    // 5 A: 34.7 a pass, a point in 29 passes.
    mBoard.setMeasurement(3345, 5000);
    passes(28, 500);
    EXPECT_EQ(mRecord.mData.chargeMilli, 51667);
    passes(1, 500);
    EXPECT_EQ(mRecord.mData.chargeMilli, 50660);

    // Primary power, the battery unused: nothing moves, nothing is saved.
    mBoard.setStatus(0x01);
    mBoard.setMeasurement(3845, 0);
    passes(200, 500);
    EXPECT_EQ(mRecord.mData.chargeMilli, 50660);
    EXPECT_EQ(mGauge->charge(), 51);
}

TEST_F(NuvexGaugeTest, TakesUpTheRecordsCountedCharge) {
    mRecord.mData.haveCharge = true;
    mRecord.mData.chargeMilli = 42000;
    start();
    EXPECT_FALSE(mGauge->ready());
    passes(1, 0);
    EXPECT_TRUE(mGauge->ready());
    EXPECT_EQ(mGauge->charge(), 42);
    EXPECT_EQ(mGauge->runtime(), 3024);  // 840 mAh at 1 A
    EXPECT_EQ(mRecord.mData.chargeMilli, 42000);
}

TEST_F(NuvexGaugeTest, KeepsNothingWithoutACapacity) {
    set("BatteryCapacity", "0");
    mRecord.mData.haveCharge = true;
    mRecord.mData.chargeMilli = 42000;
    start();
    passes(130, 500);
    EXPECT_EQ(mGauge->charge(), 53);
    EXPECT_FALSE(mRecord.mData.haveCharge);
    EXPECT_EQ(mRecord.mData.chargeMilli, 0);
}

}  // namespace
