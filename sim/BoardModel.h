#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Transfer.h"

// The UPS board as seen from the I2C bus: it answers command bytes with replies that the
// host fetches one receive-byte at a time, and records every transfer.
//
// Board behaviour:
//  - A send-byte starts a new command and builds its whole reply at once (status byte,
//    one measurement sample, or the 12 version bytes); the reply position goes back to 0.
//  - A receive-byte answers the next reply byte. An unknown command has an empty reply,
//    and every read past the end of a reply (or before any command) answers 0xFF, the
//    level of the pulled-up idle bus; such reads are acknowledged.
//  - The send-byte after CMD_POWEROFF (0x10) is its delay, whatever its value, and
//    never a command. If that transfer fails, no power-off request is recorded and the
//    board drops the command.
//  - A failed transfer changes nothing else on the board: the reply and its position
//    stay as they were.
//
// Poll counting: every send-byte of REG_STATUS (0x00) that is not a power-off delay
// starts a new poll, acknowledged or not, so polls keep counting while the board is
// absent or faulty. Transfer k of a poll counts from 1 at its status command; the
// transfers before the first status command belong to poll 0.
//
// Thread-safe: a test thread may change the board while another thread talks to it.
// The hooks run under the board's (recursive) lock and may call back into the board.
class BoardModel {
public:
    static constexpr std::uint8_t IDLE_BYTE = 0xFF;
    static constexpr std::size_t VERSION_SIZE = 12;

    BoardModel();
    BoardModel(BoardModel const&) = delete;
    BoardModel& operator=(BoardModel const&) = delete;

    // Board state. Defaults: status 0x01, 4100 mV, 250 mA, version "NUVEXSIM 1.0".
    void setStatus(std::uint8_t status);
    std::uint8_t status() const;
    // The push-button: while held, bit 0x20 is set in the status reply on top of setStatus().
    void setButton(bool held);
    // Every measurement sample, once the queue below is empty.
    void setMeasurement(std::uint16_t millivolts, std::uint16_t milliamperes);
    // Consumed one per REG_MEASURE command, then back to the steady values.
    void queueSamples(std::vector<std::pair<std::uint16_t, std::uint16_t>> samples);
    // Raw bytes; a shorter text is padded with zero bytes, a longer one is refused
    // (std::invalid_argument).
    void setVersion(std::string const& twelveBytes);

    // Fault injection. A failed transfer is unacknowledged: the host sees ENXIO.
    // Fails transfer k (from 1 at the status command) of poll n; poll 0 means the
    // transfers before the first status command.
    void failTransfer(unsigned poll, unsigned k);
    // Fails the next count transfers, whatever they are; replaces a count still running.
    void failNext(unsigned count);
    // An absent board fails every transfer (its transfers are still recorded).
    void setPresent(bool present);
    bool present() const;
    // Slows every transfer down; a test can signal the host while it is in a transfer.
    void setTransferDelay(std::chrono::microseconds delay);

    // Time zero of Transfer::seconds; the construction time unless set.
    void setEpoch(std::chrono::steady_clock::time_point epoch);
    double elapsed() const;

    // Record keeping. Transfers are kept in memory unless recording is switched off (the
    // long-running preload library writes them to its trace instead).
    std::vector<Transfer> const& transfers() const;
    std::vector<Transfer> transfersCopy() const;
    // The delay byte of each completed CMD_POWEROFF, in order.
    std::vector<std::uint8_t> powerOffRequests() const;
    unsigned polls() const;
    // Forgets the transfers and the power-off requests; the board state, the poll count,
    // the reply in progress and pending faults stay.
    void clearTransfers();
    void setRecording(bool on);

    // Runs at the start of every transfer, once the poll count is up to date and before
    // the transfer is answered; newPoll is true for the status command that began a poll.
    void setTransferHook(std::function<void(bool newPoll)> hook);
    // Runs after every transfer with its record.
    void setTransferObserver(std::function<void(Transfer const&)> observer);

    // Board side of the bus: false is a failed (unacknowledged) transfer.
    bool sendByte(std::uint8_t byte);
    bool receiveByte(std::uint8_t& byte);

private:
    bool transfer(bool write, std::uint8_t& byte);
    bool takeFault();
    void command(std::uint8_t byte);

    mutable std::recursive_mutex mMutex;
    std::chrono::steady_clock::time_point mEpoch;

    std::uint8_t mStatus = 0x01;
    bool mButton = false;
    std::uint16_t mMillivolts = 4100;
    std::uint16_t mMilliamperes = 250;
    std::deque<std::pair<std::uint16_t, std::uint16_t>> mSamples;
    std::string mVersion;

    std::vector<std::uint8_t> mReply;
    std::size_t mReplyPosition = 0;
    bool mPowerOffPending = false;

    unsigned mPolls = 0;
    unsigned mTransferInPoll = 0;
    std::set<std::pair<unsigned, unsigned>> mFailures;
    unsigned mFailNext = 0;
    bool mPresent = true;
    std::chrono::microseconds mDelay{0};

    bool mRecording = true;
    std::vector<Transfer> mTransfers;
    std::vector<std::uint8_t> mPowerOffRequests;
    std::function<void(bool)> mHook;
    std::function<void(Transfer const&)> mObserver;
};
