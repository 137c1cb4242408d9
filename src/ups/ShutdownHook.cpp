#include "ups/ShutdownHook.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "bus/I2C.h"
#include "bus/Protocol.h"
#include "config/ConfigFile.h"
#include "config/Paths.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "ups/NuvexEvents.h"
#include "ups/Shell.h"

namespace {

constexpr std::int64_t MILLI = 1000;
constexpr long NANO_PER_MILLI = 1000000;
constexpr int LOW_BYTE = 0xFF;
constexpr std::size_t LINE_SIZE = 160;
// Where the reboot command is found when systemd's last stage left no PATH.
constexpr char DEFAULT_PATH[] = "/usr/sbin:/usr/bin:/sbin:/bin";
constexpr char REBOOT_COMMAND[] = "reboot -ff";

void say(char const* line) {
    Log::getInstance()->write(line, Log::NOTICE);
}

void sleepUntil(std::int64_t targetMs) {
    for (;;) {
        std::int64_t const left = targetMs - OutageRecord::nowMs();
        if (left <= 0) {
            return;
        }
        struct timespec pause {};
        pause.tv_sec = static_cast<time_t>(left / MILLI);
        pause.tv_nsec = static_cast<long>(left % MILLI) * NANO_PER_MILLI;
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

ShutdownHook::Plan ShutdownHook::plan(std::string const& verb, Board board, bool haveRecord,
                                      OutageRecord::Data const& record, int delay,
                                      std::int64_t nowMs) {
    Plan result;
    if (verb != "poweroff" && verb != "halt") {
        return result;
    }
    bool const ours = haveRecord && !record.shutdown.empty();
    if (!ours && board != Board::Battery) {
        // A power-off on primary power (or with a board that does not answer) stays
        // a plain power-off: nobody asked for the power to be cut.
        return result;
    }
    result.act = true;
    std::int64_t cutMs = 0;
    if (ours && record.commandSent) {
        cutMs = record.commandMs + static_cast<std::int64_t>(record.delay) * MILLI;
    } else {
        result.send = true;
        cutMs = nowMs + static_cast<std::int64_t>(delay) * MILLI;
    }
    std::int64_t const wait = cutMs + MARGIN_MS - nowMs;
    if (wait > BUDGET_MS) {
        // Rebooting before the cut would have the board cut a booting system: halt.
        result.tooLong = true;
        return result;
    }
    result.waitMs = wait > 0 ? wait : 0;
    return result;
}

bool ShutdownHook::rebootAfterWait(Board board) {
    return board == Board::Primary;
}

ShutdownHook::Board ShutdownHook::readBoard(I2C* bus) {
    if (bus == nullptr) {
        return Board::Unknown;
    }
    try {
        bus->write(REG_STATUS);
        int const status = bus->read();
        if ((status & STATUS_PRIMARY_POWER) != 0) {
            return Board::Primary;
        }
        return (status & STATUS_BATTERY_POWER) != 0 ? Board::Battery : Board::Unknown;
    } catch (std::exception const&) {
        return Board::Unknown;
    }
}

int ShutdownHook::run(std::string const& verb) {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    // The log's file system is read-only by now: its lines go to standard error.
    Log::getInstance()->fallBackToStandardError();
    if (config->getValue("ShutdownHook") != "1") {
        return 0;
    }
    unsigned char const delay = NuvexEvents::powerOffDelay();
    std::unique_ptr<I2C> bus;
    try {
        bus = std::make_unique<I2C>(
            config->getString("I2CDevice"),
            static_cast<unsigned char>(config->getInt("I2CAddress", 16) & LOW_BYTE));
    } catch (std::exception const&) {
    }
    Board const board = readBoard(bus.get());
    OutageRecord::Data record;
    bool const haveRecord = OutageRecord::read(RECORD_FILE_PATH, record);
    Plan const todo = plan(verb, board, haveRecord, record, delay, OutageRecord::nowMs());
    if (!todo.act) {
        return 0;
    }
    char line[LINE_SIZE];
    if (todo.send) {
        if (bus == nullptr) {
            say("Shutdown hook: the board cannot be reached for its power-off command");
            return 0;
        }
        try {
            bus->write(CMD_POWEROFF);
            bus->write(delay);
        } catch (std::exception const& failure) {
            say(failure.what());
            return 0;
        }
        std::snprintf(line, sizeof(line), "Shutdown hook: power-off command sent, delay %d s",
                      static_cast<int>(delay));
        say(line);
    }
    if (todo.tooLong) {
        say("Shutdown hook: the board cuts the power too late to wait for it: halting");
        return 0;
    }
    std::snprintf(line, sizeof(line),
                  "Shutdown hook: waiting %lld s for the board to cut the power",
                  static_cast<long long>((todo.waitMs + MILLI - 1) / MILLI));
    say(line);
    sleepUntil(OutageRecord::nowMs() + todo.waitMs);
    if (!rebootAfterWait(readBoard(bus.get()))) {
        say("Shutdown hook: the board kept the power on, still on battery: halting");
        return 0;
    }
    say("Shutdown hook: primary power is back and the board kept the power on: rebooting");
    if (std::getenv("PATH") == nullptr) {
        ::setenv("PATH", DEFAULT_PATH, 1);
    }
    // Run and waited for: "reboot -ff" does not return when it works.
    runShellCommandAndWait(REBOOT_COMMAND);
    return 0;
}
