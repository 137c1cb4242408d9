#include "PreloadSession.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "BoardModel.h"
#include "CellRecord.h"
#include "Interposer.h"
#include "ScenarioParser.h"
#include "ScenarioPlayer.h"
#include "TraceWriter.h"

namespace {

constexpr unsigned long DEFAULT_ADDRESS = 0x18;
constexpr unsigned long LAST_SEVEN_BIT_ADDRESS = 0x7F;

char const* variable(char const* name) {
    char const* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

void report(std::string const& message) {
    std::string const line = "nuvexsim: " + message + "\n";
    int const saved = errno;
    ssize_t const ignored = ::write(STDERR_FILENO, line.data(), line.size());
    static_cast<void>(ignored);
    errno = saved;
}

std::chrono::steady_clock::time_point startTime() {
    char const* text = variable("NUVEXSIM_START_NS");
    if (text == nullptr) {
        return std::chrono::steady_clock::now();
    }
    char* end = nullptr;
    unsigned long long const nanoseconds = std::strtoull(text, &end, 10);
    if (*end != '\0') {
        report("ignoring NUVEXSIM_START_NS='" + std::string(text) + "'");
        return std::chrono::steady_clock::now();
    }
    // steady_clock is CLOCK_MONOTONIC on Linux, shared by every process.
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(nanoseconds)));
}

}  // namespace

void PreloadSession::install(Interposer& interposer) {
    char const* device = variable("NUVEXSIM_DEVICE");
    if (device == nullptr) {
        return;
    }
    unsigned long address = DEFAULT_ADDRESS;
    if (char const* text = variable("NUVEXSIM_ADDRESS")) {
        char* end = nullptr;
        errno = 0;
        address = std::strtoul(text, &end, 0);
        if (*end != '\0' || errno != 0 || address > LAST_SEVEN_BIT_ADDRESS) {
            report("bad NUVEXSIM_ADDRESS '" + std::string(text) + "'");
            return;
        }
    }
    struct stat info {};
    if (::stat(device, &info) != 0) {
        report("cannot find NUVEXSIM_DEVICE '" + std::string(device) + "'");
        return;
    }
    interposer.attachLazy(info.st_dev, info.st_ino, &PreloadSession::claim,
                          static_cast<std::uint8_t>(address));
}

PauseOverride const& PreloadSession::pause() {
    static PauseOverride const theOverride = [] {
        char const* setting = variable("NUVEXSIM_PAUSE_US");
        if (setting == nullptr) {
            return PauseOverride();
        }
        try {
            return PauseOverride(setting);
        } catch (std::exception const&) {
            report("ignoring NUVEXSIM_PAUSE_US='" + std::string(setting) + "'");
        }
        return PauseOverride();
    }();
    return theOverride;
}

// Everything here lives as long as the process: ioctl() may still come in while the
// process exits.
BoardModel* PreloadSession::claim() {
    std::string const self = std::to_string(static_cast<long>(::getpid()));
    if (char const* owner = variable("NUVEXSIM_OWNER")) {
        if (self != owner) {
            return nullptr;
        }
    }
    ::setenv("NUVEXSIM_OWNER", self.c_str(), 1);

    try {
        auto board = std::make_unique<BoardModel>();
        board->setEpoch(startTime());
        board->setRecording(false);
        std::unique_ptr<TraceWriter> trace;
        if (char const* path = variable("NUVEXSIM_TRACE")) {
            trace = std::make_unique<TraceWriter>(path);
            trace->comment("nuvexsim: board of pid " + self + " on " +
                           std::string(variable("NUVEXSIM_DEVICE")));
            board->setTransferObserver(
                [writer = trace.get()](Transfer const& done) { writer->write(done); });
        }
        std::unique_ptr<ScenarioPlayer> player;
        if (char const* path = variable("NUVEXSIM_SCENARIO")) {
            player = std::make_unique<ScenarioPlayer>(ScenarioParser::parseFile(path), *board);
            if (trace && player->cell() != nullptr) {
                // The truth for the runner's report, once a poll.
                player->setCellObserver([writer = trace.get()](CellModel const& cell) {
                    char line[CellRecord::LINE_SIZE];
                    writer->writeLine(line, CellRecord::format(cell, line));
                });
            }
        }
        // Handed over to the process for good.
        static_cast<void>(trace.release());
        static_cast<void>(player.release());
        return board.release();
    } catch (std::exception const& failure) {
        report(failure.what());
    } catch (...) {
        report("cannot set up the board");
    }
    return nullptr;
}
