// Micro-benchmarks of the daemon's per-poll work, on the in-process simulated board.
// Each reports "allocs", the heap allocations (operator new) per iteration.
// Run: build/bench/bench/nuvexmon_bench   (see docs/performance.md)

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "AllocationCounter.h"
#include "BoardModel.h"
#include "SimDevice.h"
#include "TempDir.h"
#include "bus/I2C.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "ups/NuvexStatus.h"

namespace {

// A configuration file as an installation would have it: every key, with comments.
char const TYPICAL_CONFIG[] =
    "# nuvexmon settings, read once when the daemon starts.\n"
    "# Bus address of the UPS board, hexadecimal.\n"
    "I2CAddress=0x18\n"
    "# Address of the board's boot loader: read but not used.\n"
    "I2CBootAddr=0x30\n"
    "# I2C character device of the bus the board sits on.\n"
    "I2CDevice=/dev/i2c-1\n"
    "# Log file, opened and closed again for every line.\n"
    "LogFile=/var/log/nuvexmon.log\n"
    "# Seconds the board waits after the power-off command before it cuts the power.\n"
    "PowerOffTimer=30\n"
    "# Checks, about one a second, without primary power before the system is shut down.\n"
    "ShutdownTimer=10\n"
    "# Command that shuts the system down.\n"
    "ShutdownCmd=init 0\n"
    "# debug logs everything, error leaves out the readings, info keeps only the events.\n"
    "LogLevel=debug\n"
    "# 1 adds a description such as (battery power) to every status change line.\n"
    "LogStatusDesc=1\n"
    "# Command run on every change of the power status.\n"
    "StatusChangedCmd=\n";

// The daemon's defaults, with the log in a scratch directory and no commands to run.
void configure(TempDir const& dir, std::string const& level) {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    config->addDefault("I2CAddress", "0x18");
    config->addDefault("I2CBootAddr", "0x30");
    config->addDefault("I2CDevice", "/dev/i2c-1");
    // A path of the installed length (> 15 characters), as /var/log/nuvexmon.log is.
    config->addDefault("LogFile", dir.path() + "/nuvexmon.log");
    config->addDefault("PowerOffTimer", "30");
    config->addDefault("ShutdownTimer", "10");
    config->addDefault("ShutdownCmd", "true");
    config->addDefault("LogLevel", level);
    config->addDefault("LogStatusDesc", "1");
    config->addDefault("StatusChangedCmd", "");
}

// Reports the allocations per iteration made since `before`.
void reportAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(AllocationCounter::count() - before),
                           benchmark::Counter::kAvgIterations);
}

void BM_ConfigFileLoad(benchmark::State& state) {
    TempDir dir;
    std::string const path = dir.write("nuvexmon.conf", TYPICAL_CONFIG);
    std::uint64_t const before = AllocationCounter::count();
    for (auto _ : state) {
        ConfigFile config;
        config.load(path);
        benchmark::DoNotOptimize(config);
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_ConfigFileLoad);

void BM_LogWritePassing(benchmark::State& state) {
    TempDir dir;
    configure(dir, "debug");
    Log* log = Log::getInstance();
    log->write("Current Status: 9", Log::DEBUG);
    std::uint64_t const before = AllocationCounter::count();
    for (auto _ : state) {
        log->write("Current Status: 9", Log::DEBUG);
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_LogWritePassing);

void BM_LogWriteFiltered(benchmark::State& state) {
    TempDir dir;
    configure(dir, "info");
    Log* log = Log::getInstance();
    std::uint64_t const before = AllocationCounter::count();
    for (auto _ : state) {
        log->write("Current Status: 9", Log::DEBUG);
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_LogWriteFiltered);

// The daemon's status poller bound to a simulated board through the real i2c-dev calls.
class PollSetup {
public:
    explicit PollSetup(std::string const& level) : mDevice(mBoard) {
        configure(mDir, level);
        mBoard.setRecording(false);
        mBoard.setStatus(0x09);
        mBoard.setMeasurement(4150, 420);
        mBoard.setVersion("NUVEX v1.4.2");
        mBus = std::make_unique<I2C>(mDevice.path(), 0x18);
        mStatus.mI2C = mBus.get();
    }

    BoardModel mBoard;
    NuvexStatus mStatus;

private:
    TempDir mDir;
    SimDevice mDevice;
    std::unique_ptr<I2C> mBus;
};

// One poll: 40 transfers, five 1 ms pauses, two log lines at LogLevel debug.
void BM_Poll(benchmark::State& state) {
    PollSetup setup("debug");
    setup.mStatus.exec();
    std::uint64_t const before = AllocationCounter::count();
    for (auto _ : state) {
        setup.mStatus.exec();
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_Poll)->Unit(benchmark::kMicrosecond);

// A poll whose status differs from the last one in a power bit: the change line
// "Status changed from 9 (primary power,charging) to 10 (battery power,charging)" is
// logged too (no hook: StatusChangedCmd is empty).
void BM_PollWithStatusChange(benchmark::State& state) {
    PollSetup setup("debug");
    setup.mStatus.exec();
    bool battery = false;
    std::uint64_t const before = AllocationCounter::count();
    for (auto _ : state) {
        battery = !battery;
        setup.mBoard.setStatus(battery ? 0x0A : 0x09);
        setup.mStatus.exec();
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_PollWithStatusChange)->Unit(benchmark::kMicrosecond);

void BM_ToString(benchmark::State& state) {
    NuvexStatus status;
    int value = 0x09;
    std::uint64_t const before = AllocationCounter::count();
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        std::string text = status.toString(value);
        benchmark::DoNotOptimize(text);
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_ToString);

}  // namespace

BENCHMARK_MAIN();
