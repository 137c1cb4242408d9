#include "PauseOverride.h"

#include <cctype>
#include <stdexcept>

namespace {
constexpr unsigned long DECIMAL_BASE = 10;
}

PauseOverride::PauseOverride(std::string const& setting) {
    if (setting.empty()) {
        return;
    }
    unsigned long value = 0;
    for (char const c : setting) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            throw std::invalid_argument("pause override '" + setting + "' is no number");
        }
        auto const digit = static_cast<unsigned long>(c - '0');
        if (value > (LONGEST_MICROSECONDS - digit) / DECIMAL_BASE) {
            throw std::invalid_argument("pause override '" + setting + "' is too long");
        }
        value = value * DECIMAL_BASE + digit;
    }
    mActive = true;
    mReplacement = value;
}

unsigned long PauseOverride::sleepFor(unsigned long requested) const {
    return mActive && requested == DAEMON_PAUSE_MICROSECONDS ? mReplacement : requested;
}
