// The simulator's test facility that shortens the daemon's pause between passes
// (NUVEXSIM_PAUSE_US, sim/PauseOverride.h): exactly the 500 ms pause changes.
// PauseFacilityTest.cpp checks it on the running daemon.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "PauseOverride.h"

namespace {

TEST(PauseOverride, ReplacesOnlyTheDaemonsPause) {
    struct Row {
        char const* setting;
        unsigned long requested;
        unsigned long slept;
    };
    std::vector<Row> const rows = {
        {"", 500000, 500000},
        {"", 1000, 1000},
        {"0", 500000, 0},
        {"0", 1000, 1000},
        {"0", 499999, 499999},
        {"0", 500001, 500001},
        {"250", 500000, 250},
        {"250", 0, 0},
        {"2000000", 500000, 2000000},
        {"3600000000", 500000, 3600000000UL},
    };
    for (Row const& row : rows) {
        PauseOverride const pause(row.setting);
        EXPECT_EQ(pause.active(), *row.setting != '\0') << row.setting;
        EXPECT_EQ(pause.sleepFor(row.requested), row.slept)
            << "'" << row.setting << "' " << row.requested;
    }
    EXPECT_FALSE(PauseOverride().active());
}

TEST(PauseOverride, RefusesWhatIsNoNumberOfMicroseconds) {
    for (char const* setting :
         {"-1", "1.5", "0x10", " 10", "10 ", "10us", "3600000001", "99999999999999999999999"}) {
        EXPECT_THROW(PauseOverride{setting}, std::invalid_argument) << setting;
    }
}

}  // namespace
