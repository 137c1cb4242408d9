#pragma once

#include <cstdint>
#include <string>

#include "sched/Action.h"

// What must outlive the daemon within one boot, in one small file under the service's
// runtime directory: an outage in progress (when it began, the countdown, what was
// announced, whether the shutdown started and the power-off command went out) and the
// counted charge. Tied to the boot by its id, timed on the clock that runs through
// suspend and cannot be set. Written whole (beside it, then renamed) and only when it
// changed: as an action, last in the pass, and at once by whoever cannot wait.
class OutageRecord : public Action {
public:
    struct Data {
        bool outage = false;       // primary power is missing
        std::int64_t beganMs = 0;  // when it went
        std::int32_t count = 0;    // the countdown's count
        std::int64_t countMs = 0;  // when it reached that count
        bool announced = false;    // the outage's onbattery event went out
        // The reason of a shutdown this daemon started (countdown, button, lowbattery,
        // charge, runtime); empty: none. Kept when primary power returns afterwards.
        std::string shutdown;
        bool commandSent = false;  // CMD_POWEROFF and its delay reached the board
        std::int64_t commandMs = 0;
        int delay = 0;
        bool haveCharge = false;       // a counted charge is kept
        std::int32_t chargeMilli = 0;  // thousandths of a percent

        bool operator==(Data const& other) const;
        bool operator!=(Data const& other) const { return !(*this == other); }
        // Nothing worth a file.
        bool empty() const { return *this == Data{}; }
    };

    // What a file holds for this boot at this moment.
    enum class Verdict { Valid, Missing, OtherBoot, Future, Malformed };

    // The file's text for the data; pure, like parse().
    static std::string format(Data const& data, std::string const& bootId);
    // Reads the text of a file; anything but Valid leaves out untouched.
    static Verdict parse(std::string const& text, std::string const& bootId, std::int64_t nowMs,
                         Data& out);
    // This boot's id (/proc/sys/kernel/random/boot_id), empty when it cannot be read.
    static std::string bootId();
    // Milliseconds on CLOCK_BOOTTIME.
    static std::int64_t nowMs();
    // The record at the path for this boot, quietly: what a one-shot run reads. False
    // when there is no valid one.
    static bool read(std::string const& path, Data& out);

    // An empty path turns the record off: nothing is read or written.
    explicit OutageRecord(std::string path);

    // Reads the file once, at start. A record of another boot, from the future or
    // broken gives one [WARNING] line and a fresh start; a missing one, nothing.
    void load();
    // Writes mData if it differs from what was last written; an empty record removes
    // the file. Never fails: a file that cannot be written is tried again next time.
    void commit();
    // Commits once per pass.
    void exec() override;

    // The working copy: changed by the actions, written by commit().
    Data mData;

private:
    bool write(std::string const& text);

    std::string mPath;
    std::string mBootId;
    Data mWritten;
    bool mFailing = false;
};
