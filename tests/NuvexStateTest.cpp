#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BoardFixture.h"
#include "TempDir.h"
#include "ups/BatteryCell.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexState.h"
#include "ups/NuvexStatus.h"

namespace {

using Lines = std::vector<std::string>;

std::size_t openDescriptors() {
    return listDirectory("/proc/self/fd").size();
}

// Sleeps until at least 150 ms and at most 450 ms into a fresh second of the real-time
// clock, so that the next few milliseconds of work stay within one second and the file
// system's coarser clock has turned as well.
void waitForFreshSecond() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    long const targetNs = 150'000'000;
    long const waitNs =
        now.tv_nsec < targetNs ? targetNs - now.tv_nsec : 1'000'000'000 - now.tv_nsec + targetNs;
    std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
}

// One version of the whole file. The defaults are the fixture's steady board on primary
// power: 5.00 V (a full charge on the default curve), 0.312 A.
struct File {
    // A constructor rather than member defaults: cases give only the leading fields.
    File(std::string status_ = "OL", std::string charge_ = "100", std::string voltage_ = "5.00",
         std::string current_ = "0.312", std::string runtime_ = "", std::string timer_ = "-1",
         std::string ends_ = "battery.voltage.low: 3.27\nbattery.voltage.high: 4.20\n",
         std::string runtimeLow_ = "")
        : status(std::move(status_)),
          charge(std::move(charge_)),
          voltage(std::move(voltage_)),
          current(std::move(current_)),
          runtime(std::move(runtime_)),
          timer(std::move(timer_)),
          ends(std::move(ends_)),
          runtimeLow(std::move(runtimeLow_)) {}

    std::string status;
    std::string charge;  // empty: no poll completed, so no reading lines
    std::string voltage;
    std::string current;
    std::string runtime;  // empty: no line
    std::string timer;
    std::string ends;
    std::string runtimeLow;  // empty: no line

    std::string text() const {
        auto has = [this](char const* flag) {
            return (" " + status + " ").find(std::string(" ") + flag + " ") != std::string::npos;
        };
        std::string const charger = has("CHRG") ? "charging"
                                    : has("OB") ? "discharging"
                                    : has("OL") ? "resting"
                                                : "";
        std::string text = charge.empty() ? "" : "battery.charge: " + charge + "\n";
        text += "ups.status: " + status + "\nups.alarm: " +
                (has("ALARM") ? "\"UPS board not answering on the I2C bus\"" : "\"\"") + "\n";
        text += charger.empty() ? "" : "battery.charger.status: " + charger + "\n";
        text += charge.empty() ? "" : "battery.voltage: " + voltage + "\n";
        text += ends;
        if (!charge.empty()) {
            text += "battery.current: " + current + "\n";
            text += runtime.empty() ? "" : "battery.runtime: " + runtime + "\n";
        }
        text += runtimeLow.empty() ? "" : "battery.runtime.low: " + runtimeLow + "\n";
        if (!charge.empty()) {
            text += "ups.firmware: NUVEX v1.2.3\n";
        }
        return text + "ups.timer.shutdown: " + timer +
               "\nups.delay.shutdown: 30\ndevice.type: ups\ndevice.mfr: Nuvex\n"
               "device.model: UPS board\nups.mfr: Nuvex\nups.model: UPS board\n";
    }
};

class NuvexStateTest : public BoardFixture {
protected:
    // One version of the file, as the test saw it after a pass.
    struct Version {
        unsigned pass;
        std::string text;
        std::time_t second;  // modification time
    };

    NuvexStateTest() : mEvents(&mStatus) {
        mStatus.mI2C = mBus.get();
        mEvents.mI2C = mBus.get();
        // As the scheduler runs them: poll every pass, events every second pass.
        mStatus.setIntervall(1);
        mEvents.setIntervall(2);
        set("StatusChangedCmd", "");
        set("StateFile", statePath());
        ::mkdir(keptDir().c_str(), 0755);
    }

    void SetUp() override {
        // The shutdown flag is process-wide; ctest runs every test in a process of its own.
        if (NuvexEvents::shutdownStarted()) {
            GTEST_SKIP() << "a shutdown started earlier in this process (run it through ctest)";
        }
        startState();
    }

    // The actions as the daemon builds them, after the configuration is complete. The
    // gauge's clock stands still: nothing is counted between the passes.
    void startState() {
        mGauge = std::make_unique<NuvexGauge>(&mStatus, BatteryCell::fromConfig(), nullptr);
        mGauge->mClock = [] { return std::int64_t{0}; };
        mGauge->setIntervall(1);
        mEvents.mGauge = mGauge.get();
        mState = std::make_unique<NuvexState>(&mStatus, &mEvents, mGauge.get());
        mState->setIntervall(1);
    }

    std::string statePath() const { return mDir.path() + "/nuvexmon.dev"; }
    std::string keptDir() const { return mDir.path() + "/kept"; }

    // One scheduler pass: poll, gauge, events when due, then the state.
    void pass() {
        ++mPass;
        mStatus.call();
        mGauge->call();
        mEvents.call();
        mState->call();
        observe();
    }

    void passes(unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            pass();
        }
    }

    // Each new file at the path is a new inode; a hard link keeps every version alive,
    // so that no inode number is reused and every write is counted exactly once.
    void observe() {
        struct stat info {};
        if (::lstat(statePath().c_str(), &info) != 0) {
            mInode = 0;
            return;
        }
        if (info.st_ino == mInode) {
            return;
        }
        mInode = info.st_ino;
        std::string const keep = keptDir() + "/" + std::to_string(mVersions.size());
        ASSERT_EQ(::link(statePath().c_str(), keep.c_str()), 0);
        mVersions.push_back({mPass, mDir.read("nuvexmon.dev"), info.st_mtim.tv_sec});
    }

    std::vector<unsigned> writePasses() const {
        std::vector<unsigned> passNumbers;
        for (Version const& v : mVersions) {
            passNumbers.push_back(v.pass);
        }
        return passNumbers;
    }

    std::time_t fileSecond() const {
        struct stat info {};
        EXPECT_EQ(::stat(statePath().c_str(), &info), 0);
        return info.st_mtim.tv_sec;
    }

    Lines failureLines() const {
        Lines found;
        for (std::string const& line : logLines("DEBUG")) {
            if (line.find("state file") != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

    std::size_t statusLines() const {
        std::size_t count = 0;
        for (std::string const& line : logLines("DEBUG")) {
            count += line.rfind("Current Status", 0) == 0 ? 1 : 0;
        }
        return count;
    }

    NuvexStatus mStatus;
    NuvexEvents mEvents;
    std::unique_ptr<NuvexGauge> mGauge;
    std::unique_ptr<NuvexState> mState;
    unsigned mPass = 0;
    ino_t mInode = 0;
    std::vector<Version> mVersions;
};

struct BoardCase {
    std::uint8_t status;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> samples;  // five per poll
    File expected;
};

void PrintTo(BoardCase const& c, std::ostream* out) {
    *out << "status " << static_cast<int>(c.status) << ", " << c.samples.front().first << " mV";
}

std::vector<std::pair<std::uint16_t, std::uint16_t>> steady(std::uint16_t mv, std::uint16_t ma) {
    return std::vector<std::pair<std::uint16_t, std::uint16_t>>(5, {mv, ma});
}

class StateOfTheBoard : public NuvexStateTest, public ::testing::WithParamInterface<BoardCase> {};

TEST_P(StateOfTheBoard, FirstPassWritesTheWholeFile) {
    BoardCase const& c = GetParam();
    mBoard.setStatus(c.status);
    mBoard.queueSamples(c.samples);
    pass();
    ASSERT_EQ(mVersions.size(), 1u);
    EXPECT_EQ(mVersions[0].text, c.expected.text());
}

// The charge is the default curve's at the resting voltage, rounded: 120 mOhm times the
// current is added on battery power (3.30 V at 12 mA: 3301 mV, 0 %) and taken away while
// charging (4.20 V at 1.5 A: 4020 mV, 80 %); on primary power without charging the
// reading is the resting voltage (4.15 V: 95 %). On battery before the first count, the
// whole limit is left.
INSTANTIATE_TEST_SUITE_P(
    Cases, StateOfTheBoard,
    ::testing::Values(BoardCase{0x01, steady(4150, 420), {"OL", "95", "4.15", "0.420"}},
                      BoardCase{0x09, steady(4200, 1500), {"OL CHRG", "80", "4.20", "1.500"}},
                      BoardCase{0x02, steady(3700, 0), {"OB", "13", "3.70", "0.000", "", "10"}},
                      BoardCase{0x06, steady(3300, 12), {"OB LB", "0", "3.30", "0.012", "", "10"}},
                      BoardCase{0x02, steady(2900, 700), {"OB", "0", "2.90", "0.700", "", "10"}},
                      BoardCase{
                          0x0D, steady(65535, 65535), {"OL LB CHRG", "100", "65.54", "65.535"}},
                      // Halves round up, on the five-sample average.
                      BoardCase{0x01, steady(4145, 1), {"OL", "94", "4.15", "0.001"}},
                      BoardCase{0x01,
                                {{4144, 0}, {4144, 0}, {4144, 1}, {4145, 1}, {4145, 0}},
                                {"OL", "94", "4.14", "0.000"}},
                      BoardCase{0x01,
                                {{4155, 420}, {4155, 420}, {4155, 421}, {4155, 421}, {4155, 421}},
                                {"OL", "96", "4.16", "0.421"}}));

struct VersionCase {
    std::string version;       // up to 12 raw bytes, padded with zero bytes
    std::string expectedLine;  // empty: no ups.firmware line
};

void PrintTo(VersionCase const& c, std::ostream* out) {
    std::string const raw = c.version.substr(0, c.version.find_last_not_of('\0') + 1);
    *out << (c.expectedLine.empty() ? "none" : c.expectedLine) << " from " << raw.size()
         << " bytes";
}

class Firmware : public NuvexStateTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(Firmware, OnlyCharactersTheDriverReadsAsText) {
    mBoard.setVersion(GetParam().version);
    pass();
    ASSERT_EQ(mVersions.size(), 1u);
    std::string const& text = mVersions[0].text;
    std::size_t const at = text.find("ups.firmware: ");
    if (GetParam().expectedLine.empty()) {
        EXPECT_EQ(at, std::string::npos) << text;
        return;
    }
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.substr(at, text.find('\n', at) - at),
              "ups.firmware: " + GetParam().expectedLine);
    // The line sits between the readings and the timer.
    EXPECT_LT(text.find("battery.current"), at);
    EXPECT_GT(text.find("ups.timer.shutdown"), at);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Firmware,
    ::testing::Values(VersionCase{"NUVEX v1.2.3", "NUVEX v1.2.3"},
                      VersionCase{std::string("V1\0\0\0\0\0\0\0\0\0\0", 12), "V1"},
                      VersionCase{std::string("\0A\0B", 4), "AB"},
                      VersionCase{"  a  #b\"c\\ ", "a bc"}, VersionCase{"A #  B", "A B"},
                      VersionCase{"x\ty\x7f\x80z\r\n", "xyz"},
                      VersionCase{"~!$%&'()*+,-", "~!$%&'()*+,-"}, VersionCase{"# \" \\ ", ""},
                      VersionCase{std::string(12, '\0'), ""}));

TEST_F(NuvexStateTest, FailedPollRaisesAlarmAndKeepsTheLastCompleteReadings) {
    mBoard.setStatus(0x09);
    mBoard.setMeasurement(4150, 420);
    pass();
    // Poll 2 reads status 0x02, then fails in its third measurement sample: the
    // poller's voltage and current are partial sums now.
    mBoard.setStatus(0x02);
    mBoard.setMeasurement(9000, 9000);
    mBoard.failTransfer(2, 13);
    pass();
    EXPECT_FALSE(mStatus.valid());
    // Poll 3 completes.
    pass();
    ASSERT_EQ(writePasses(), (std::vector<unsigned>{1, 2, 3}));
    EXPECT_EQ(mVersions[0].text, (File{"OL CHRG", "88", "4.15", "0.420"}.text()));
    // The last good status: still on primary power, not counting.
    EXPECT_EQ(mVersions[1].text, (File{"OL CHRG ALARM", "88", "4.15", "0.420"}.text()));
    // On battery; the failed pass 2 did not count, and one stray complete poll leaves
    // the smoothed charge where it was.
    File const after{"OB", "88", "9.00", "9.000", "", "10"};
    EXPECT_EQ(mVersions[2].text, after.text());
    EXPECT_EQ(mDir.read("nuvexmon.dev"), after.text());
}

TEST_F(NuvexStateTest, FirstPollFailedPublishesOnlyWhatIsKnown) {
    mBoard.failTransfer(1, 2);
    pass();
    pass();
    ASSERT_EQ(writePasses(), (std::vector<unsigned>{1, 2}));
    // No status byte, reading or version yet: no OL/OB and no reading lines.
    EXPECT_EQ(mVersions[0].text, (File{"ALARM", ""}.text()));
    EXPECT_EQ(mVersions[1].text, File{}.text());
}

// The runtime: the charge's share of the capacity at the current of the latest stretch on
// battery; back on primary power it stays, at that current. The two ends alone give the
// straight line between them, here without a resistance: the estimate of earlier versions.
// The runtime level is published with it, from the first pass on.
TEST_F(NuvexStateTest, RuntimeAndItsLevelFromTheLatestDischargeOnTheStraightLine) {
    set("BatteryVoltageLow", "3300");
    set("BatteryVoltageHigh", "3900");
    set("BatteryResistance", "0");
    set("BatteryCapacity", "2000");
    set("ShutdownBelowRuntime", "600");
    startState();
    std::string const ends = "battery.voltage.low: 3.30\nbattery.voltage.high: 3.90\n";
    mBoard.setMeasurement(3600, 500);
    pass();  // never on battery yet: no runtime
    mBoard.setStatus(0x02);
    pass();  // 50 % of 2000 mAh at 500 mA; the events count on this pass
    mBoard.setStatus(0x09);
    mBoard.setMeasurement(3600, 800);
    pass();  // the charging current does not count
    ASSERT_EQ(writePasses(), (std::vector<unsigned>{1, 2, 3}));
    EXPECT_EQ(mVersions[0].text, (File{"OL", "50", "3.60", "0.500", "", "-1", ends, "600"}.text()));
    EXPECT_EQ(mVersions[1].text,
              (File{"OB", "50", "3.60", "0.500", "7200", "9", ends, "600"}.text()));
    EXPECT_EQ(mVersions[2].text,
              (File{"OL CHRG", "50", "3.60", "0.800", "7200", "-1", ends, "600"}.text()));
}

TEST_F(NuvexStateTest, CountdownThenForcedShutdownAndItStaysForced) {
    set("ShutdownTimer", "3");
    pass();
    mBoard.setStatus(0x06);
    passes(6);  // 2 to 7: counts at passes 2, 4 and 6; the shutdown starts at pass 6
    mBoard.setStatus(0x09);
    passes(3);  // 8 to 10
    std::vector<std::pair<unsigned, std::string>> seen;
    for (Version const& v : mVersions) {
        std::size_t const s = v.text.find("ups.status");
        std::string const status = v.text.substr(s, v.text.find('\n', s) - s);
        std::size_t const t = v.text.find("ups.timer.shutdown");
        seen.emplace_back(v.pass, status + " | " + v.text.substr(t, v.text.find('\n', t) - t));
    }
    using Seen = std::vector<std::pair<unsigned, std::string>>;
    EXPECT_EQ(seen, (Seen{{1, "ups.status: OL | ups.timer.shutdown: -1"},
                          {2, "ups.status: OB LB | ups.timer.shutdown: 2"},
                          {4, "ups.status: OB LB | ups.timer.shutdown: 1"},
                          {6, "ups.status: FSD OB LB | ups.timer.shutdown: 0"},
                          {8, "ups.status: FSD OL CHRG | ups.timer.shutdown: 0"}}));
    EXPECT_EQ(recorded("shutdown").size(), 1u);
}

TEST_F(NuvexStateTest, ReadingsAloneAreWrittenEveryTwentiethPassAndNoMoreOften) {
    pass();  // 1: first write
    mBoard.setMeasurement(4200, 312);
    passes(24);                        // 21: readings, 20 passes after the last write
    mBoard.setMeasurement(4204, 312);  // still 4.20 V: no change to publish
    passes(5);                         // to 30
    mBoard.setMeasurement(4300, 312);
    passes(14);  // 41: readings
    mBoard.setStatus(0x09);
    passes(1);  // 45: status, at once
    mBoard.setMeasurement(4400, 312);
    passes(35);  // 65: readings; then nothing to 80
    EXPECT_EQ(writePasses(), (std::vector<unsigned>{1, 21, 41, 45, 65}));
    EXPECT_NE(mVersions[1].text.find("battery.voltage: 4.20\n"), std::string::npos);
    EXPECT_NE(mVersions[2].text.find("battery.voltage: 4.30\n"), std::string::npos);
    EXPECT_NE(mVersions[3].text.find("ups.status: OL CHRG\n"), std::string::npos);
    EXPECT_NE(mVersions[3].text.find("battery.voltage: 4.30\n"), std::string::npos);
    EXPECT_NE(mVersions[4].text.find("battery.voltage: 4.40\n"), std::string::npos);
}

TEST_F(NuvexStateTest, SteadyBoardWritesOnceAndTouchesNothingAfterwards) {
    waitForFreshSecond();
    pass();
    std::time_t const second = fileSecond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    passes(100);
    EXPECT_EQ(writePasses(), std::vector<unsigned>{1});
    // Nothing renewed either: a single write has nothing to catch up on.
    EXPECT_EQ(fileSecond(), second);
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept", "nuvexmon.dev", "nuvexmon.log"}));
}

TEST_F(NuvexStateTest, SecondWriteInTheSameSecondIsRenewedOnceTheSecondTurns) {
    waitForFreshSecond();
    pass();
    mBoard.setStatus(0x09);
    pass();  // the status changed: written at once, within the same second
    ASSERT_EQ(writePasses(), (std::vector<unsigned>{1, 2}));
    ASSERT_EQ(mVersions[0].second, mVersions[1].second) << "the two writes straddled a second";
    std::time_t const written = mVersions[1].second;

    // The driver may have read the first version in that second and would never see the
    // second one: as soon as the second has turned, its time must move on.
    mBoard.setMeasurement(4200, 312);
    std::time_t renewed = written;
    for (int i = 0; i < 25 && renewed == written; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pass();
        renewed = fileSecond();
    }
    EXPECT_GT(renewed, written);
    unsigned const renewedAt = mPass;
    // A renewal, not a write: same file, same text.
    EXPECT_EQ(writePasses(), (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(mDir.read("nuvexmon.dev"), mVersions[1].text);

    // The readings changed at pass 3 on: their write comes 20 passes after the last
    // write (pass 2), whatever the renewal did.
    while (mPass < 30) {
        pass();
    }
    ASSERT_LE(renewedAt, 21u);
    EXPECT_EQ(writePasses(), (std::vector<unsigned>{1, 2, 22}));
    // Pass 22 may share the renewal's second and be renewed in turn; then the time
    // settles.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    passes(3);
    std::time_t const settled = fileSecond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    passes(3);
    EXPECT_EQ(fileSecond(), settled);
    EXPECT_EQ(writePasses(), (std::vector<unsigned>{1, 2, 22}));
}

TEST_F(NuvexStateTest, ModeIs0644WhateverTheUmaskAndALeftOverTemporaryFile) {
    std::string const leftOver = mDir.write(
        "nuvexmon.dev.tmp", "old junk, longer than the new text " + std::string(400, 'x'));
    ASSERT_EQ(::chmod(leftOver.c_str(), 0600), 0);
    mode_t const previous = ::umask(077);
    pass();
    ::umask(previous);
    struct stat info {};
    ASSERT_EQ(::stat(statePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(mDir.read("nuvexmon.dev"), File{}.text());
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept", "nuvexmon.dev", "nuvexmon.log"}));
}

// The configured directory missing (as /run/nuvexmon before systemd made it): one
// failure line per run of failures, the polls go on, and the file appears as soon as
// the directory does.
TEST_F(NuvexStateTest, OneLinePerRunOfFailuresAndMonitoringGoesOn) {
    std::string const path = mDir.path() + "/run/nuvexmon.dev";
    set("StateFile", path);
    startState();
    std::size_t const descriptors = openDescriptors();
    pass();  // 1: fails
    mBoard.setStatus(0x09);
    passes(30);  // 2: fails again (status), 22: again (pace)
    EXPECT_EQ(statusLines(), 31u);
    EXPECT_EQ(failureLines(), Lines{"could not write state file!"});

    ::mkdir((mDir.path() + "/run").c_str(), 0755);
    mBoard.setStatus(0x01);
    pass();  // 32: written
    EXPECT_EQ(mDir.read("run/nuvexmon.dev"), File{}.text());

    ::unlink(path.c_str());
    ::rmdir((mDir.path() + "/run").c_str());
    mBoard.setStatus(0x09);
    passes(3);  // 33: fails, a new run of failures
    EXPECT_EQ(failureLines(),
              (Lines{"could not write state file!", "could not write state file!"}));
    EXPECT_EQ(statusLines(), 35u);
    EXPECT_EQ(openDescriptors(), descriptors);
}

// A write that fails part way, as on a full file system: no temporary file stays, and
// the next write at the pace succeeds. The log goes to a device, which the file size
// limit that makes the write fail does not reach.
TEST_F(NuvexStateTest, FailedWriteLeavesNoTemporaryFile) {
    set("LogFile", "/dev/null");
    std::size_t const descriptors = openDescriptors();
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    rlimit small = limit;
    small.rlim_cur = 16;
    ::setrlimit(RLIMIT_FSIZE, &small);
    passes(10);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(mBoard.polls(), 10u);
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept"}));
    passes(11);  // 21: the next attempt
    EXPECT_EQ(writePasses(), std::vector<unsigned>{21});
    EXPECT_EQ(mDir.read("nuvexmon.dev"), File{}.text());
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept", "nuvexmon.dev"}));
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(NuvexStateTest, KeyEmptyTouchesNothingAndLooksUpNothingElse) {
    set("StateFile", "");
    startState();
    // Values that would end the daemon if the action looked at them.
    set("PowerOffTimer", "soon");
    set("ShutdownTimer", "soon");
    mBoard.setStatus(0x09);
    for (int i = 0; i < 5; ++i) {
        mStatus.exec();
        EXPECT_NO_THROW(mState->exec());
    }
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept", "nuvexmon.log"}));
    NuvexState::removeWrittenFile();
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept", "nuvexmon.log"}));
}

TEST_F(NuvexStateTest, RemovesOnlyAFileItWrote) {
    mDir.write("nuvexmon.dev", "ups.status: OL\n");
    NuvexState::removeWrittenFile();
    EXPECT_EQ(mDir.read("nuvexmon.dev"), "ups.status: OL\n");
    pass();
    NuvexState::removeWrittenFile();
    EXPECT_EQ(listDirectory(mDir.path()), (Lines{"kept", "nuvexmon.log"}));
    // Once removed, it is no longer ours: a file put there later stays.
    mDir.write("nuvexmon.dev", "someone else's\n");
    NuvexState::removeWrittenFile();
    EXPECT_EQ(mDir.read("nuvexmon.dev"), "someone else's\n");
}

}  // namespace
