#pragma once

#include <string>

// Test facility of libnuvexsim.so: shortens the daemon's pause between scheduler passes,
// so that a soak test runs a great many polls in little time.
//
// The daemon pauses with usleep(500000) after every pass, and makes no other sleep of that
// length (its measurement samples are 1 ms apart). With an override in force, a usleep()
// of exactly 500000 microseconds sleeps the replacement instead; every other request, and
// every request without an override, goes to the C library unchanged.
//
// The preloaded library reads the override from NUVEXSIM_PAUSE_US (PreloadSession::pause).
class PauseOverride {
public:
    static constexpr unsigned long DAEMON_PAUSE_MICROSECONDS = 500000;
    // Longest replacement accepted: one hour.
    static constexpr unsigned long LONGEST_MICROSECONDS = 3600UL * 1000000UL;

    // No override: every sleep as requested.
    PauseOverride() = default;
    // setting: decimal microseconds, 0 to LONGEST_MICROSECONDS; an empty text means no
    // override. Anything else throws std::invalid_argument.
    explicit PauseOverride(std::string const& setting);

    bool active() const { return mActive; }
    // What a request for `requested` microseconds sleeps.
    unsigned long sleepFor(unsigned long requested) const;

private:
    bool mActive = false;
    unsigned long mReplacement = 0;
};
