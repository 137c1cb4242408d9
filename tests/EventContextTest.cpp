#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ups/EventContext.h"

namespace {

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
        // The button's shutdown on primary power: the timer says 0, but nothing counts.
        {"ups.status: FSD OL CHRG\nups.timer.shutdown: 0\n", 0x09, EventContext::UNKNOWN,
         EventContext::UNKNOWN, ""},
        {"ups.status: ALARM\n", EventContext::UNKNOWN, EventContext::UNKNOWN, EventContext::UNKNOWN,
         ""},
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

}  // namespace
