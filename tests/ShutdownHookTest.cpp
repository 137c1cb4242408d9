#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ups/ShutdownHook.h"

namespace {

using Board = ShutdownHook::Board;

constexpr std::int64_t NOW = 600000;

enum class Record { None, Outage, Ours, OursUnsent };

OutageRecord::Data recordOf(Record kind, std::int64_t commandMs, int delay) {
    OutageRecord::Data data;
    if (kind == Record::None) {
        return data;
    }
    data.outage = true;
    data.beganMs = NOW - 100000;
    if (kind == Record::Outage) {
        return data;
    }
    data.shutdown = "countdown";
    data.commandSent = kind == Record::Ours;
    data.commandMs = commandMs;
    data.delay = delay;
    return data;
}

// Board state, record and timer in; what the hook does out: send the power-off command,
// wait for the cut, then reboot or halt.
TEST(ShutdownHook, DecisionTable) {
    struct Row {
        char const* name;
        char const* verb;
        Board board;
        Record record;
        std::int64_t commandMs;  // when the daemon's command went out
        int recordDelay;         // the delay it sent
        int delay;               // PowerOffTimer now
        bool act, send;
        std::int64_t waitMs;
        bool tooLong;
        Board after;  // the board after the wait
        bool reboot;
    };
    std::vector<Row> const rows = {
        {"mains, nothing of ours: plain power-off", "poweroff", Board::Primary, Record::None, 0, 0,
         30, false, false, 0, false, Board::Primary, false},
        {"mains, an old outage's record only", "poweroff", Board::Primary, Record::Outage, 0, 0, 30,
         false, false, 0, false, Board::Primary, false},
        {"board silent, nothing of ours", "poweroff", Board::Unknown, Record::None, 0, 0, 30, false,
         false, 0, false, Board::Unknown, false},
        {"reboot asked: never touched", "reboot", Board::Battery, Record::Ours, NOW, 30, 30, false,
         false, 0, false, Board::Battery, false},
        {"kexec asked: never touched", "kexec", Board::Battery, Record::None, 0, 0, 30, false,
         false, 0, false, Board::Battery, false},
        {"someone else's shutdown on battery: send, wait, halt", "poweroff", Board::Battery,
         Record::Outage, 0, 0, 40, true, true, 45000, false, Board::Battery, false},
        {"someone else's halt on battery, mains back meanwhile: reboot", "halt", Board::Battery,
         Record::None, 0, 0, 40, true, true, 45000, false, Board::Primary, true},
        {"ours, mains back: no second command, rest of the wait, reboot", "poweroff",
         Board::Primary, Record::Ours, NOW - 20000, 40, 40, true, false, 25000, false,
         Board::Primary, true},
        {"ours, still on battery: wait, halt", "poweroff", Board::Battery, Record::Ours,
         NOW - 20000, 40, 40, true, false, 25000, false, Board::Battery, false},
        {"ours, the record's delay counts, not today's setting", "poweroff", Board::Primary,
         Record::Ours, NOW - 20000, 10, 200, true, false, 0, false, Board::Primary, true},
        {"ours but the bus failed: send now", "poweroff", Board::Primary, Record::OursUnsent, 0, 0,
         30, true, true, 35000, false, Board::Primary, true},
        {"board silent after the wait: halt", "poweroff", Board::Battery, Record::None, 0, 0, 30,
         true, true, 35000, false, Board::Unknown, false},
        {"longest delay that still fits", "poweroff", Board::Battery, Record::None, 0, 0, 75, true,
         true, 80000, false, Board::Primary, true},
        {"a delay past systemd's patience: send, halt at once", "poweroff", Board::Battery,
         Record::None, 0, 0, 255, true, true, 0, true, Board::Primary, false},
        {"ours long ago with a long delay: the rest fits", "poweroff", Board::Primary, Record::Ours,
         NOW - 200000, 255, 255, true, false, 60000, false, Board::Primary, true},
    };
    for (Row const& row : rows) {
        OutageRecord::Data const record = recordOf(row.record, row.commandMs, row.recordDelay);
        ShutdownHook::Plan const plan = ShutdownHook::plan(
            row.verb, row.board, row.record != Record::None, record, row.delay, NOW);
        EXPECT_EQ(plan.act, row.act) << row.name;
        EXPECT_EQ(plan.send, row.send) << row.name;
        EXPECT_EQ(plan.waitMs, row.waitMs) << row.name;
        EXPECT_EQ(plan.tooLong, row.tooLong) << row.name;
        bool const reboot = plan.act && !plan.tooLong && ShutdownHook::rebootAfterWait(row.after);
        EXPECT_EQ(reboot, row.reboot) << row.name;
    }
}

}  // namespace
