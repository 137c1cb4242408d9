#include <gtest/gtest.h>

#include "ups/NuvexBattery.h"
#include "ups/NuvexStatus.h"

namespace {

TEST(NuvexBattery, KeepsTheNewestThreeHundredReadings) {
    NuvexStatus status;
    NuvexBattery battery(&status);
    status.mVoltage = 1;
    battery.exec();
    ASSERT_EQ(battery.mVoltageHistory.size(), 1u);
    EXPECT_FLOAT_EQ(battery.mVoltageHistory.front(), 1.0f);

    for (int reading = 2; reading <= 300; ++reading) {
        status.mVoltage = static_cast<float>(reading);
        battery.exec();
    }
    EXPECT_EQ(battery.mVoltageHistory.size(), 300u);
    EXPECT_FLOAT_EQ(battery.mVoltageHistory.back(), 1.0f);

    status.mVoltage = 301;
    battery.exec();
    EXPECT_EQ(battery.mVoltageHistory.size(), 300u);
    EXPECT_FLOAT_EQ(battery.mVoltageHistory.front(), 301.0f);
    EXPECT_FLOAT_EQ(battery.mVoltageHistory.back(), 2.0f);
}

TEST(NuvexBattery, SamplesEvenAfterAFailedPoll) {
    NuvexStatus status;
    NuvexBattery battery(&status);
    status.mErrorCount = 1;
    status.mVoltage = 8000;  // a partial sum left by a failed measurement
    battery.exec();
    ASSERT_EQ(battery.mVoltageHistory.size(), 1u);
    EXPECT_FLOAT_EQ(battery.mVoltageHistory.front(), 8000.0f);
}

}  // namespace
