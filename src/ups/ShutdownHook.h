#pragma once

#include <cstdint>
#include <string>

#include "ups/OutageRecord.h"

class I2C;

// The end of a power-off or halt, run by systemd's shutdown hooks when every process
// is gone and the file systems are read-only. When the board is on battery power, or
// this boot's shutdown was the daemon's, it makes sure the board has its power-off
// command (once), waits for the cut and, when the cut does not come because primary
// power is back and the board kept the power on, reboots instead of halting: a halted
// system on a board that never cuts would stay off until someone pulls the plug.
class ShutdownHook {
public:
    // The board's timer is not exact: the wait lasts this much longer than its delay.
    static constexpr std::int64_t MARGIN_MS = 5000;
    // systemd gives all its shutdown hooks 90 s together; this leaves time to spare.
    static constexpr std::int64_t BUDGET_MS = 80000;

    enum class Board { Primary, Battery, Unknown };

    struct Plan {
        bool send = false;        // send CMD_POWEROFF and the delay now
        std::int64_t waitMs = 0;  // then wait this long for the cut
        bool act = false;         // false: a plain power-off, nothing done at all
        // Acting, but the cut comes too late to wait for it within the budget.
        bool tooLong = false;
    };

    // What to do for systemd's verb ("poweroff", "halt", "reboot", "kexec"), the board's
    // state, this boot's record (when there is one) and the delay the board would get.
    static Plan plan(std::string const& verb, Board board, bool haveRecord,
                     OutageRecord::Data const& record, int delay, std::int64_t nowMs);
    // After the wait: still running, so the board kept the power on. With primary power
    // back the system comes back up; on battery (or unknown) it halts as asked.
    static bool rebootAfterWait(Board board);

    // The whole hook: reads the board, acts on the plan, reboots through `reboot -ff`
    // (run through the shell, found on PATH). Returns the exit status.
    static int run(std::string const& verb);

private:
    static Board readBoard(I2C* bus);
};
