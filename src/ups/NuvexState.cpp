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
#include "ups/NuvexEvents.h"
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

// A reading in thousandths (mV, mA) in whole units with the given decimals, rounded:
// 4150 with 2 decimals is "4.15", 420 with 3 is "0.420".
int formatFixed(char* out, std::size_t size, float value, int decimals) {
    long scale = 1;
    for (int i = 0; i < decimals; ++i) {
        scale *= 10;
    }
    long const whole =
        std::lround(static_cast<double>(value) / (1000.0 / static_cast<double>(scale)));
    long const magnitude = whole < 0 ? -whole : whole;
    return std::snprintf(out, size, "%s%ld.%0*ld", whole < 0 ? "-" : "", magnitude / scale,
                         decimals, magnitude % scale);
}

}  // namespace

NuvexState::NuvexState(NuvexStatus* status, NuvexEvents* events)
    : mStatusPoller(status), mEvents(events) {
    stateFileWritten = 0;
    tempFilePending = 0;
    statePath[0] = '\0';
    tempPath[0] = '\0';
    std::string const& path = Singleton<ConfigFile>::getInstance()->getValue("StateFile");
    // A path the kernel would refuse anyway stays unprepared: every write then fails.
    if (!path.empty() && path.size() + sizeof(TEMP_SUFFIX) <= sizeof(tempPath)) {
        std::memcpy(statePath, path.c_str(), path.size() + 1);
        std::memcpy(tempPath, path.c_str(), path.size());
        std::memcpy(tempPath + path.size(), TEMP_SUFFIX, sizeof(TEMP_SUFFIX));
    }
}

void NuvexState::exec() {
    // Off: nothing but this lookup, no system call, no file.
    if (Singleton<ConfigFile>::getInstance()->getValue("StateFile").empty()) {
        return;
    }

    if (mPassesSinceAttempt < REFRESH_PASSES) {
        ++mPassesSinceAttempt;
    }
    if (mStatusPoller->valid() && mStatusPoller->mStatus >= 0) {
        takeGoodPoll();
    }
    formatStatus();
    std::int32_t const timer = shutdownTimer();
    formatText(timer);

    bool const stateChanged =
        !mAttempted || std::strcmp(mStatusText, mLastStatusText) != 0 || timer != mLastTimer;
    bool const readingsChanged =
        mTextLength != mFileTextLength || std::memcmp(mText, mFileText, mTextLength) != 0;
    bool const refreshDue = mPassesSinceAttempt >= REFRESH_PASSES && (mStale || readingsChanged);

    if (stateChanged || refreshDue || mRewriteNow) {
        mAttempted = true;
        mRewriteNow = false;
        mPassesSinceAttempt = 0;
        std::memcpy(mLastStatusText, mStatusText, sizeof(mStatusText));
        mLastTimer = timer;
        if (writeFile()) {
            std::memcpy(mFileText, mText, mTextLength);
            mFileTextLength = mTextLength;
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

    // The driver reads '#' as the start of a comment and '"' and '\' as quoting, and
    // splits values at blanks: those characters go, blanks are single and inner only.
    std::string const version = mStatusPoller->getVersion();
    std::size_t length = 0;
    bool blank = false;
    for (char const c : version) {
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

void NuvexState::formatStatus() {
    bool const alarm = !mStatusPoller->valid();
    // Before the first completed poll the power source is unknown: neither OL nor OB.
    std::snprintf(mStatusText, sizeof(mStatusText), "%s%s%s%s%s",
                  NuvexEvents::shutdownStarted() ? "FSD " : "",
                  !mHaveStatus                                ? ""
                  : (mGoodStatus & STATUS_PRIMARY_POWER) != 0 ? "OL "
                                                              : "OB ",
                  mHaveStatus && (mGoodStatus & STATUS_BATTERY_LOW) != 0 ? "LB " : "",
                  mHaveStatus && (mGoodStatus & STATUS_CHARGING) != 0 ? "CHRG " : "",
                  alarm ? "ALARM " : "");
    std::size_t const length = std::strlen(mStatusText);
    if (length > 0) {
        mStatusText[length - 1] = '\0';
    }
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

void NuvexState::formatText(std::int32_t timer) {
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
    char number[32];
    append("ups.status", mStatusText);
    if (mHaveReadings) {
        formatFixed(number, sizeof(number), mVoltage, 2);
        append("battery.voltage", number);
        formatFixed(number, sizeof(number), mCurrent, 3);
        append("battery.current", number);
        if (mFirmware[0] != '\0') {
            append("ups.firmware", mFirmware);
        }
    }
    std::snprintf(number, sizeof(number), "%d", static_cast<int>(timer));
    append("ups.timer.shutdown", number);
    // The byte the board gets with the power-off command.
    std::snprintf(number, sizeof(number), "%d", static_cast<int>(NuvexEvents::powerOffDelay()));
    append("ups.delay.shutdown", number);
    append("device.type", "ups");
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
