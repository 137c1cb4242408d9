#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ups/EventContext.h"

namespace {

using Lines = std::vector<std::string>;

EventContext onBattery(char const* event, std::int64_t seconds, std::int32_t left) {
    EventContext context;
    context.event = event;
    context.status = 0x02;
    context.lastStatus = 0x09;
    context.onBattery = seconds;
    context.shutdownIn = left;
    context.device = "/dev/i2c-1";
    return context;
}

// One sentence per event; unknown parts are left out rather than shown empty.
TEST(EventContext, MessageOfEachEvent) {
    EventContext low = onBattery("lowbattery", 40, 20);
    low.charge = 8;
    EventContext lowUnknown = onBattery("lowbattery", 3725, EventContext::UNKNOWN);
    EventContext shutdown = onBattery("shutdown", 0, 0);
    shutdown.reason = "button";
    shutdown.powerOffIn = 30;
    EventContext takenOver = shutdown;
    takenOver.reason = "";
    struct Row {
        EventContext context;
        std::string message;
    };
    std::vector<Row> const rows = {
        {onBattery("onbattery", 10, 50), "Power failure: on battery for 10 s, shutdown in 50 s"},
        {onBattery("onbattery", 0, EventContext::UNKNOWN), "Power failure: on battery for 0 s"},
        {onBattery("online", 125, EventContext::UNKNOWN), "Power back after 2 min 5 s on battery"},
        {low, "Battery low: on battery for 40 s, charge 8%, shutdown in 20 s"},
        {lowUnknown, "Battery low: on battery for 1 h 2 min 5 s"},
        {shutdown, "Shutdown started by the push-button: the board cuts the power in 30 s"},
        {takenOver, "Shutdown started: the board cuts the power in 30 s"},
        {onBattery("commlost", 3, 7), "No answer from the board on /dev/i2c-1"},
        {onBattery("commok", 4, 6), "The board answers again on /dev/i2c-1"},
    };
    for (Row const& row : rows) {
        EXPECT_EQ(row.context.message(), row.message) << row.context.event;
    }
}

TEST(EventContext, VariablesOfAShutdownAndOfAnEventWithoutReadings) {
    EventContext shutdown = onBattery("shutdown", 61, 0);
    shutdown.reason = "countdown";
    shutdown.powerOffIn = 25;
    shutdown.charge = 58;
    shutdown.runtime = 1200;
    shutdown.voltage = EventContext::volts(3895.4F);
    shutdown.current = EventContext::amperes(419.6F);
    EXPECT_EQ(shutdown.environment(),
              (Lines{"NUVEX_EVENT=shutdown", "NUVEX_STATUS=2", "NUVEX_LAST_STATUS=9",
                     "NUVEX_ON_BATTERY=61", "NUVEX_SHUTDOWN_IN=0", "NUVEX_CHARGE=58",
                     "NUVEX_RUNTIME=1200", "NUVEX_VOLTAGE=3.90", "NUVEX_CURRENT=0.420",
                     "NUVEX_REASON=countdown", "NUVEX_POWEROFF_IN=25",
                     "NUVEX_MESSAGE=Shutdown started at the end of the countdown: the board cuts "
                     "the power in 25 s"}));
    EventContext lost;
    lost.event = "commlost";
    lost.device = "/dev/i2c-1";
    EXPECT_EQ(
        lost.environment(),
        (Lines{"NUVEX_EVENT=commlost", "NUVEX_STATUS=", "NUVEX_LAST_STATUS=", "NUVEX_ON_BATTERY=0",
               "NUVEX_SHUTDOWN_IN=", "NUVEX_CHARGE=", "NUVEX_RUNTIME=", "NUVEX_VOLTAGE=",
               "NUVEX_CURRENT=", "NUVEX_MESSAGE=No answer from the board on /dev/i2c-1"}));
}

// What a one-shot run takes from the running daemon's state file.
TEST(EventContext, FromTheStateFile) {
    struct Row {
        std::string text;
        int status;
        std::int32_t shutdownIn;
        int charge;
        std::string voltage;
    };
    std::vector<Row> const rows = {
        {"battery.charge: 58\nups.status: OB LB\nbattery.voltage: 3.55\n"
         "battery.current: 0.300\nbattery.runtime: 600\nups.timer.shutdown: 7\n",
         0x06, 7, 58, "3.55"},
        {"battery.charge: 96\nups.status: OL CHRG\nbattery.voltage: 4.15\n"
         "ups.timer.shutdown: -1\n",
         0x09, EventContext::UNKNOWN, 96, "4.15"},
        // The button's shutdown on primary power: the timer says 0, but nothing counts.
        {"ups.status: FSD OL\nups.timer.shutdown: 0\n", 0x01, EventContext::UNKNOWN,
         EventContext::UNKNOWN, ""},
        {"ups.status: ALARM\nups.alarm: \"UPS board not answering on the I2C bus\"\n",
         EventContext::UNKNOWN, EventContext::UNKNOWN, EventContext::UNKNOWN, ""},
        {"", EventContext::UNKNOWN, EventContext::UNKNOWN, EventContext::UNKNOWN, ""},
    };
    for (Row const& row : rows) {
        EventContext const context = EventContext::fromStateFile(row.text);
        EXPECT_EQ(context.status, row.status) << row.text;
        EXPECT_EQ(context.shutdownIn, row.shutdownIn) << row.text;
        EXPECT_EQ(context.charge, row.charge) << row.text;
        EXPECT_EQ(context.voltage, row.voltage) << row.text;
    }
    EventContext const full = EventContext::fromStateFile(rows[0].text);
    EXPECT_EQ(full.runtime, 600);
    EXPECT_EQ(full.current, "0.300");
}

TEST(EventContext, NamesAreFoundExactly) {
    EXPECT_STREQ(EventContext::find("commok"), "commok");
    for (char const* name : {"", "OnBattery", "onbattery ", "poweroff"}) {
        EXPECT_EQ(EventContext::find(name), nullptr) << name;
    }
    EXPECT_EQ(EventContext::nameList(),
              "onbattery, online, lowbattery, shutdown, commlost, commok");
}

}  // namespace
