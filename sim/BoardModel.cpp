#include "BoardModel.h"

#include <time.h>

#include <cerrno>
#include <stdexcept>

#include "bus/Protocol.h"

namespace {

constexpr unsigned BYTE_BITS = 8;
constexpr std::uint8_t BUTTON_BIT = STATUS_BUTTON;
constexpr long NANOSECONDS_PER_MICROSECOND = 1000;
constexpr long MICROSECONDS_PER_SECOND = 1000000;

// Sleeps the whole delay even when signal handlers interrupt it, like a slow bus would.
void sleepFor(std::chrono::microseconds delay) {
    timespec left{};
    left.tv_sec = static_cast<time_t>(delay.count() / MICROSECONDS_PER_SECOND);
    left.tv_nsec =
        static_cast<long>(delay.count() % MICROSECONDS_PER_SECOND) * NANOSECONDS_PER_MICROSECOND;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

BoardModel::BoardModel() : mEpoch(std::chrono::steady_clock::now()), mVersion("NUVEXSIM 1.0") {}

void BoardModel::setStatus(std::uint8_t status) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mStatus = status;
}

std::uint8_t BoardModel::status() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mStatus;
}

void BoardModel::setButton(bool held) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mButton = held;
}

void BoardModel::setMeasurement(std::uint16_t millivolts, std::uint16_t milliamperes) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mMillivolts = millivolts;
    mMilliamperes = milliamperes;
}

void BoardModel::queueSamples(std::vector<std::pair<std::uint16_t, std::uint16_t>> samples) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mSamples.insert(mSamples.end(), samples.begin(), samples.end());
}

void BoardModel::setVersion(std::string const& twelveBytes) {
    if (twelveBytes.size() > VERSION_SIZE) {
        throw std::invalid_argument("board version longer than 12 bytes");
    }
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mVersion = twelveBytes;
    mVersion.resize(VERSION_SIZE, '\0');
}

void BoardModel::failTransfer(unsigned poll, unsigned k) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mFailures.emplace(poll, k);
}

void BoardModel::failNext(unsigned count) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mFailNext = count;
}

void BoardModel::setPresent(bool present) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mPresent = present;
}

bool BoardModel::present() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mPresent;
}

void BoardModel::setTransferDelay(std::chrono::microseconds delay) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mDelay = delay;
}

void BoardModel::setEpoch(std::chrono::steady_clock::time_point epoch) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mEpoch = epoch;
}

double BoardModel::elapsed() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - mEpoch).count();
}

std::vector<Transfer> const& BoardModel::transfers() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mTransfers;
}

std::vector<Transfer> BoardModel::transfersCopy() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mTransfers;
}

std::vector<std::uint8_t> BoardModel::powerOffRequests() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mPowerOffRequests;
}

unsigned BoardModel::polls() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mPolls;
}

void BoardModel::clearTransfers() {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mTransfers.clear();
    mPowerOffRequests.clear();
}

void BoardModel::setRecording(bool on) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mRecording = on;
}

void BoardModel::setTransferHook(std::function<void(bool)> hook) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mHook = std::move(hook);
}

void BoardModel::setTransferObserver(std::function<void(Transfer const&)> observer) {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mObserver = std::move(observer);
}

bool BoardModel::sendByte(std::uint8_t byte) {
    return transfer(true, byte);
}

bool BoardModel::receiveByte(std::uint8_t& byte) {
    return transfer(false, byte);
}

bool BoardModel::transfer(bool write, std::uint8_t& byte) {
    std::unique_lock<std::recursive_mutex> lock(mMutex);

    bool const delayByte = write && mPowerOffPending;
    bool const newPoll = write && !delayByte && byte == REG_STATUS;
    if (newPoll) {
        ++mPolls;
        mTransferInPoll = 1;
    } else {
        ++mTransferInPoll;
    }
    if (mHook) {
        mHook(newPoll);
    }

    std::chrono::microseconds const delay = mDelay;
    if (delay.count() > 0) {
        // The host may be interrupted meanwhile and the test may change the board.
        lock.unlock();
        sleepFor(delay);
        lock.lock();
    }

    bool const ok = !takeFault();
    if (ok) {
        if (delayByte) {
            mPowerOffPending = false;
            mPowerOffRequests.push_back(byte);
        } else if (write) {
            command(byte);
        } else if (mReplyPosition < mReply.size()) {
            byte = mReply[mReplyPosition++];
        } else {
            byte = IDLE_BYTE;
        }
    } else {
        if (delayByte) {
            mPowerOffPending = false;
        }
        if (!write) {
            byte = IDLE_BYTE;
        }
    }

    Transfer const record{
        std::chrono::duration<double>(std::chrono::steady_clock::now() - mEpoch).count(), mPolls,
        write, byte, ok};
    if (mRecording) {
        mTransfers.push_back(record);
    }
    if (mObserver) {
        mObserver(record);
    }
    return ok;
}

// Every fault source sees every transfer: a pending failNext count runs down even
// while the board is absent.
bool BoardModel::takeFault() {
    bool failed = !mPresent;
    if (mFailNext > 0) {
        --mFailNext;
        failed = true;
    }
    if (mFailures.erase({mPolls, mTransferInPoll}) > 0) {
        failed = true;
    }
    return failed;
}

void BoardModel::command(std::uint8_t byte) {
    mReply.clear();
    mReplyPosition = 0;
    switch (byte) {
        case REG_STATUS:
            mReply.push_back(static_cast<std::uint8_t>(mStatus | (mButton ? BUTTON_BIT : 0)));
            break;
        case REG_VERSION:
            mReply.assign(mVersion.begin(), mVersion.end());
            break;
        case REG_MEASURE: {
            std::pair<std::uint16_t, std::uint16_t> sample{mMillivolts, mMilliamperes};
            if (!mSamples.empty()) {
                sample = mSamples.front();
                mSamples.pop_front();
            }
            mReply = {static_cast<std::uint8_t>(sample.first >> BYTE_BITS),
                      static_cast<std::uint8_t>(sample.first),
                      static_cast<std::uint8_t>(sample.second >> BYTE_BITS),
                      static_cast<std::uint8_t>(sample.second)};
            break;
        }
        case CMD_POWEROFF:
            mPowerOffPending = true;
            break;
        default:
            // Unknown command: empty reply, reads answer the idle byte.
            break;
    }
}
