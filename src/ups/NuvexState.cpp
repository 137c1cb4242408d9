#include "ups/NuvexState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "bus/Protocol.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "log/WriteAll.h"
#include "sched/StopSignalBlock.h"
#include "ups/NuvexEstimate.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexStatus.h"

namespace {

constexpr mode_t FILE_MODE = 0644;
constexpr char TEMP_SUFFIX[] = ".tmp";
constexpr char FIRST_PRINTABLE = ' ';
constexpr char LAST_PRINTABLE = '~';

// Prepared by the constructor for the signal handler, which may use nothing else.
char statePath[PATH_MAX] = {};
char tempPath[PATH_MAX] = {};
// Set once a rename has put our file at statePath: only then is it ours to remove.
volatile sig_atomic_t stateFileWritten = 0;
// Set while a temporary file may exist.
volatile sig_atomic_t tempFilePending = 0;

// ups.status and what goes with it, as bits of Values::status.
constexpr unsigned STATE_FORCED = 1U << 0;    // FSD
constexpr unsigned STATE_KNOWN = 1U << 1;     // a status byte was read
constexpr unsigned STATE_PRIMARY = 1U << 2;   // OL, otherwise OB
constexpr unsigned STATE_LOW = 1U << 3;       // LB
constexpr unsigned STATE_CHARGING = 1U << 4;  // CHRG
constexpr unsigned STATE_ALARM = 1U << 5;     // ALARM

constexpr double MILLI = 1000.0;
constexpr int VOLT_DECIMALS = 2;
constexpr int AMPERE_DECIMALS = 3;
constexpr long VOLT_SCALE = 100;     // 10^VOLT_DECIMALS
constexpr long AMPERE_SCALE = 1000;  // 10^AMPERE_DECIMALS

// The names this project gives the board; without them the driver fills in placeholders.
constexpr char MAKER[] = "Nuvex";
constexpr char MODEL[] = "UPS board";
constexpr char ALARM_TEXT[] = "\"UPS board not answering on the I2C bus\"";
// A quoted empty value removes the driver's variable; a missing line would keep the old
// text, and a bare "ups.alarm:" is misread after the first line.
constexpr char NO_ALARM[] = "\"\"";

// A value in thousandths (mV, mA) in whole units with the given scale, rounded:
// 4150 mV at 100 is 415 (4.15 V), 420 mA at 1000 is 420 (0.420 A).
long scaled(float thousandths, long scale) {
    return std::lround(static_cast<double>(thousandths) / (MILLI / static_cast<double>(scale)));
}

// A scaled value with its decimals: 415 with 2 decimals is "4.15".
void formatFixed(char* out, std::size_t size, long whole, int decimals, long scale) {
    long const magnitude = whole < 0 ? -whole : whole;
    std::snprintf(out, size, "%s%ld.%0*ld", whole < 0 ? "-" : "", magnitude / scale, decimals,
                  magnitude % scale);
}

}  // namespace

NuvexState::NuvexState(NuvexStatus* status, NuvexEvents* events, NuvexGauge* gauge)
    : mStatusPoller(status), mEvents(events), mGauge(gauge) {
    stateFileWritten = 0;
    tempFilePending = 0;
    statePath[0] = '\0';
    tempPath[0] = '\0';
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    std::string const& path = config->getValue("StateFile");
    mEnabled = !path.empty();
    if (!mEnabled) {
        return;
    }
    // Checked at start: fixed for the daemon's life, and looked up here only once.
    mLowMv = gauge->cell().curve.front().millivolts;
    mHighMv = gauge->cell().curve.back().millivolts;
    mRuntimeLow = config->getInt("ShutdownBelowRuntime", 10);
    // A path the kernel would refuse anyway stays unprepared: every write then fails.
    if (path.size() + sizeof(TEMP_SUFFIX) <= sizeof(tempPath)) {
        std::memcpy(statePath, path.c_str(), path.size() + 1);
        std::memcpy(tempPath, path.c_str(), path.size());
        std::memcpy(tempPath + path.size(), TEMP_SUFFIX, sizeof(TEMP_SUFFIX));
    }
}

void NuvexState::exec() {
    // Off: nothing at all, no system call, no file.
    if (!mEnabled) {
        return;
    }

    if (mPassesSinceAttempt < REFRESH_PASSES) {
        ++mPassesSinceAttempt;
    }
    if (mStatusPoller->valid() && mStatusPoller->mStatus >= 0) {
        takeGoodPoll();
    }
    Values const now = currentValues();

    bool const stateChanged = !mAttempted || !now.sameState(mAttemptedValues);
    bool const refreshDue =
        mPassesSinceAttempt >= REFRESH_PASSES && (mStale || !(now == mFileValues));

    if (stateChanged || refreshDue || mRewriteNow) {
        mAttempted = true;
        mRewriteNow = false;
        mPassesSinceAttempt = 0;
        mAttemptedValues = now;
        formatText(now);
        if (writeFile()) {
            mFileValues = now;
            mStale = false;
            mFailing = false;
        } else {
            mStale = true;
            if (!mFailing) {
                mFailing = true;
                Log::getInstance()->write("could not write state file!", Log::DEBUG);
            }
        }
        return;
    }
    if (mRenewPending) {
        renewTime();
    }
}

void NuvexState::takeGoodPoll() {
    // Only a completed poll: after a failure part way, mVoltage and mCurrent hold
    // partial sums and the version may be half read.
    mHaveStatus = true;
    mGoodStatus = mStatusPoller->mStatus;
    mHaveReadings = true;
    mVoltage = mStatusPoller->mVoltage;
    mCurrent = mStatusPoller->mCurrent;
    if (mStatusPoller->mVersion == mRawVersion) {
        return;
    }
    mRawVersion = mStatusPoller->mVersion;
    ++mFirmwareEdition;

    // The driver reads '#' as the start of a comment and '"' and '\\' as quoting, and
    // splits values at blanks: those characters go, blanks are single and inner only.
    std::size_t length = 0;
    bool blank = false;
    for (char const c : mRawVersion) {
        if (c < FIRST_PRINTABLE || c > LAST_PRINTABLE || c == '#' || c == '"' || c == '\\') {
            continue;
        }
        if (c == ' ') {
            blank = length > 0;
            continue;
        }
        if (blank && length + 1 < sizeof(mFirmware)) {
            mFirmware[length++] = ' ';
        }
        blank = false;
        if (length + 1 < sizeof(mFirmware)) {
            mFirmware[length++] = c;
        }
    }
    mFirmware[length] = '\0';
}

NuvexState::Values NuvexState::currentValues() {
    Values values;
    if (NuvexEvents::shutdownStarted()) {
        values.status |= STATE_FORCED;
    }
    if (!mStatusPoller->valid()) {
        values.status |= STATE_ALARM;
    }
    // Before the first completed poll the power source is unknown: neither OL nor OB.
    if (mHaveStatus) {
        values.status |= STATE_KNOWN;
        values.status |= (mGoodStatus & STATUS_PRIMARY_POWER) != 0 ? STATE_PRIMARY : 0U;
        values.status |= (mGoodStatus & STATUS_BATTERY_LOW) != 0 ? STATE_LOW : 0U;
        values.status |= (mGoodStatus & STATUS_CHARGING) != 0 ? STATE_CHARGING : 0U;
    }
    values.timer = shutdownTimer();
    values.readings = mHaveReadings;
    if (mHaveReadings) {
        values.voltage = scaled(mVoltage, VOLT_SCALE);
        values.current = scaled(mCurrent, AMPERE_SCALE);
        // The gauge takes complete polls only, as the events see them.
        values.charge = mGauge->charge();
        values.runtime = mGauge->runtime();
        values.firmware = mFirmwareEdition;
    }
    return values;
}

std::int32_t NuvexState::shutdownTimer() {
    if (NuvexEvents::shutdownStarted()) {
        return 0;
    }
    // Counting runs exactly while the last good status lacks primary power: the
    // countdown neither counts nor resets on a failed poll.
    if (!mHaveStatus || (mGoodStatus & STATUS_PRIMARY_POWER) != 0) {
        return -1;
    }
    std::int64_t const left =
        static_cast<std::int64_t>(
            Singleton<ConfigFile>::getInstance()->getInt("ShutdownTimer", 10)) -
        mEvents->mTimerCount;
    // A limit at or below the count shuts down on its next run.
    return left < 0 ? 0 : static_cast<std::int32_t>(left);
}

void NuvexState::formatText(Values const& values) {
    // A variable without a value yet (no poll has completed) has no line: the driver
    // then has no such variable, rather than a made-up one.
    std::size_t used = 0;
    auto append = [this, &used](char const* name, char const* value) {
        int const n = std::snprintf(mText + used, sizeof(mText) - used, "%s: %s\n", name, value);
        if (n > 0) {
            used += static_cast<std::size_t>(n);
        }
        if (used >= sizeof(mText)) {
            used = sizeof(mText) - 1;
        }
    };
    auto appendNumber = [&append](char const* name, long value) {
        char number[32];
        std::snprintf(number, sizeof(number), "%ld", value);
        append(name, number);
    };
    char number[32];
    unsigned const status = values.status;
    bool const known = (status & STATE_KNOWN) != 0;
    bool const primary = (status & STATE_PRIMARY) != 0;
    // The driver takes the charge before the status that follows it: with its ignorelb
    // flag it raises LB from that charge.
    if (values.readings) {
        appendNumber("battery.charge", values.charge);
    }
    char statusText[40];
    std::snprintf(
        statusText, sizeof(statusText), "%s%s%s%s%s", (status & STATE_FORCED) != 0 ? "FSD " : "",
        !known    ? ""
        : primary ? "OL "
                  : "OB ",
        (status & STATE_LOW) != 0 ? "LB " : "", (status & STATE_CHARGING) != 0 ? "CHRG " : "",
        (status & STATE_ALARM) != 0 ? "ALARM " : "");
    std::size_t const statusLength = std::strlen(statusText);
    if (statusLength > 0) {
        statusText[statusLength - 1] = '\0';
    }
    append("ups.status", statusText);
    append("ups.alarm", (status & STATE_ALARM) != 0 ? ALARM_TEXT : NO_ALARM);
    if (known) {
        append("battery.charger.status", (status & STATE_CHARGING) != 0 ? "charging"
                                         : !primary                     ? "discharging"
                                                                        : "resting");
    }
    if (values.readings) {
        formatFixed(number, sizeof(number), values.voltage, VOLT_DECIMALS, VOLT_SCALE);
        append("battery.voltage", number);
    }
    formatFixed(number, sizeof(number), scaled(static_cast<float>(mLowMv), VOLT_SCALE),
                VOLT_DECIMALS, VOLT_SCALE);
    append("battery.voltage.low", number);
    formatFixed(number, sizeof(number), scaled(static_cast<float>(mHighMv), VOLT_SCALE),
                VOLT_DECIMALS, VOLT_SCALE);
    append("battery.voltage.high", number);
    if (values.readings) {
        formatFixed(number, sizeof(number), values.current, AMPERE_DECIMALS, AMPERE_SCALE);
        append("battery.current", number);
        if (values.runtime != NuvexEstimate::NO_RUNTIME) {
            appendNumber("battery.runtime", values.runtime);
        }
    }
    // A setting, like the voltage ends: there before the first poll.
    if (mRuntimeLow > 0) {
        appendNumber("battery.runtime.low", mRuntimeLow);
    }
    if (values.readings && mFirmware[0] != '\0') {
        append("ups.firmware", mFirmware);
    }
    appendNumber("ups.timer.shutdown", values.timer);
    // The byte the board gets with the power-off command.
    appendNumber("ups.delay.shutdown", NuvexEvents::powerOffDelay());
    append("device.type", "ups");
    append("device.mfr", MAKER);
    append("device.model", MODEL);
    append("ups.mfr", MAKER);
    append("ups.model", MODEL);
    mTextLength = used;
}

bool NuvexState::writeFile() {
    if (statePath[0] == '\0') {
        return false;
    }
    tempFilePending = 1;
    int const fd =
        ::open(tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, FILE_MODE);
    if (fd < 0) {
        tempFilePending = 0;
        return false;
    }
    struct stat written {};
    // Exactly 0644 whatever the umask: the driver runs as another user.
    bool ok = writeAll(fd, std::string_view(mText, mTextLength)) && ::fchmod(fd, FILE_MODE) == 0 &&
              ::fstat(fd, &written) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        if (stateFileWritten == 0) {
            // The first rename and the flag go together: a stop signal in between would
            // leave a file that nobody removes.
            StopSignalBlock const block;
            ok = ::rename(tempPath, statePath) == 0;
            if (ok) {
                stateFileWritten = 1;
            }
        } else {
            ok = ::rename(tempPath, statePath) == 0;
        }
    }
    if (!ok) {
        ::unlink(tempPath);
        tempFilePending = 0;
        return false;
    }
    tempFilePending = 0;

    // The driver re-reads the file when its modification time, in whole seconds,
    // differs from the one it last saw.
    std::time_t const second = written.st_mtim.tv_sec;
    mRenewPending = mHaveFileSecond && second == mFileSecond;
    mHaveFileSecond = true;
    mFileSecond = second;
    return true;
}

void NuvexState::renewTime() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec == mFileSecond) {
        return;
    }
    struct stat renewed {};
    if (::utimensat(AT_FDCWD, statePath, nullptr, 0) != 0 || ::stat(statePath, &renewed) != 0) {
        // Gone or unreachable: a new write settles it, and reports a failure if it fails.
        mRenewPending = false;
        mRewriteNow = true;
        return;
    }
    // The file system's clock may lag the one read above: try again next pass.
    if (renewed.st_mtim.tv_sec != mFileSecond) {
        mRenewPending = false;
        mFileSecond = renewed.st_mtim.tv_sec;
    }
}

void NuvexState::removeWrittenFile() {
    if (tempFilePending != 0) {
        ::unlink(tempPath);
        tempFilePending = 0;
    }
    if (stateFileWritten != 0) {
        ::unlink(statePath);
        stateFileWritten = 0;
    }
}
