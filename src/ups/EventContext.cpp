#include "ups/EventContext.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "bus/Protocol.h"

namespace {

constexpr std::int64_t SECONDS_PER_MINUTE = 60;
constexpr std::int64_t SECONDS_PER_HOUR = 3600;
constexpr double MILLI = 1000.0;
constexpr long VOLT_SCALE = 100;     // two decimals
constexpr long AMPERE_SCALE = 1000;  // three decimals

// Thousandths in whole units with the given number of decimals, rounded as the state
// file rounds them.
std::string fixed(float thousandths, long scale, int decimals) {
    long const whole =
        std::lround(static_cast<double>(thousandths) / (MILLI / static_cast<double>(scale)));
    long const magnitude = whole < 0 ? -whole : whole;
    char text[32];
    std::snprintf(text, sizeof(text), "%s%ld.%0*ld", whole < 0 ? "-" : "", magnitude / scale,
                  decimals, magnitude % scale);
    return text;
}

// Why the shutdown started, as the end of "Shutdown started ...".
char const* reasonText(std::string const& reason) {
    if (reason == "countdown") {
        return " at the end of the countdown";
    }
    if (reason == "button") {
        return " by the push-button";
    }
    if (reason == "lowbattery") {
        return " on a low battery";
    }
    if (reason == "charge") {
        return " at a low charge";
    }
    if (reason == "runtime") {
        return " at a short runtime";
    }
    return "";
}

std::string numberOrEmpty(std::int64_t value) {
    return value == EventContext::UNKNOWN ? std::string() : std::to_string(value);
}

// A whole number that is the entire text, or UNKNOWN.
long wholeNumber(std::string const& text) {
    char* end = nullptr;
    long const value = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' ? EventContext::UNKNOWN : value;
}

}  // namespace

char const* EventContext::find(std::string const& name) {
    for (char const* known : NAMES) {
        if (name == known) {
            return known;
        }
    }
    return nullptr;
}

std::string EventContext::nameList() {
    std::string list;
    for (char const* known : NAMES) {
        list += list.empty() ? "" : ", ";
        list += known;
    }
    return list;
}

EventContext EventContext::fromStateFile(std::string const& text) {
    EventContext context;
    std::istringstream lines(text);
    long timer = UNKNOWN;
    for (std::string line; std::getline(lines, line);) {
        std::size_t const colon = line.find(": ");
        if (colon == std::string::npos) {
            continue;
        }
        std::string const name = line.substr(0, colon);
        std::string const value = line.substr(colon + 2);
        if (name == "ups.status") {
            std::istringstream words(value);
            int status = 0;
            bool known = false;
            for (std::string word; words >> word;) {
                known = known || word == "OL" || word == "OB";
                status |= word == "OL"     ? STATUS_PRIMARY_POWER
                          : word == "OB"   ? STATUS_BATTERY_POWER
                          : word == "LB"   ? STATUS_BATTERY_LOW
                          : word == "CHRG" ? STATUS_CHARGING
                                           : 0;
            }
            context.status = known ? status : UNKNOWN;
        } else if (name == "ups.timer.shutdown") {
            timer = wholeNumber(value);
        } else if (name == "battery.charge") {
            context.charge = static_cast<int>(wholeNumber(value));
        } else if (name == "battery.runtime") {
            context.runtime = static_cast<std::int32_t>(wholeNumber(value));
        } else if (name == "battery.voltage") {
            context.voltage = value;
        } else if (name == "battery.current") {
            context.current = value;
        }
    }
    // The timer counts on battery only; elsewhere it says -1, or 0 for a shutdown
    // started by the button.
    if (context.status != UNKNOWN && (context.status & STATUS_BATTERY_POWER) != 0 && timer >= 0) {
        context.shutdownIn = static_cast<std::int32_t>(timer);
    }
    return context;
}

std::string EventContext::duration(std::int64_t seconds) {
    std::int64_t const hours = seconds / SECONDS_PER_HOUR;
    std::int64_t const minutes = seconds % SECONDS_PER_HOUR / SECONDS_PER_MINUTE;
    std::string text;
    if (hours > 0) {
        text += std::to_string(hours) + " h ";
    }
    if (hours > 0 || minutes > 0) {
        text += std::to_string(minutes) + " min ";
    }
    return text + std::to_string(seconds % SECONDS_PER_MINUTE) + " s";
}

std::string EventContext::volts(float millivolts) {
    return fixed(millivolts, VOLT_SCALE, 2);
}

std::string EventContext::amperes(float milliamperes) {
    return fixed(milliamperes, AMPERE_SCALE, 3);
}

std::vector<std::string> EventContext::environment() const {
    std::vector<std::string> variables = {
        std::string("NUVEX_EVENT=") + event,
        "NUVEX_STATUS=" + numberOrEmpty(status),
        "NUVEX_LAST_STATUS=" + numberOrEmpty(lastStatus),
        "NUVEX_ON_BATTERY=" + std::to_string(onBattery),
        "NUVEX_SHUTDOWN_IN=" + numberOrEmpty(shutdownIn),
        "NUVEX_CHARGE=" + numberOrEmpty(charge),
        "NUVEX_RUNTIME=" + numberOrEmpty(runtime),
        "NUVEX_VOLTAGE=" + voltage,
        "NUVEX_CURRENT=" + current,
    };
    if (std::strcmp(event, "shutdown") == 0) {
        variables.push_back("NUVEX_REASON=" + reason);
        variables.push_back("NUVEX_POWEROFF_IN=" + std::to_string(powerOffIn));
    }
    variables.push_back("NUVEX_MESSAGE=" + message());
    return variables;
}

std::string EventContext::message() const {
    std::string const name = event;
    std::string const countdown =
        shutdownIn == UNKNOWN ? std::string() : ", shutdown in " + duration(shutdownIn);
    if (name == "onbattery") {
        return "Power failure: on battery for " + duration(onBattery) + countdown;
    }
    if (name == "online") {
        return "Power back after " + duration(onBattery) + " on battery";
    }
    if (name == "lowbattery") {
        std::string const level =
            charge == UNKNOWN ? std::string() : ", charge " + std::to_string(charge) + "%";
        return "Battery low: on battery for " + duration(onBattery) + level + countdown;
    }
    if (name == "shutdown") {
        return std::string("Shutdown started") + reasonText(reason) +
               ": the board cuts the power in " + duration(powerOffIn);
    }
    if (name == "commlost") {
        return "No answer from the board on " + device;
    }
    if (name == "commok") {
        return "The board answers again on " + device;
    }
    return name;
}
