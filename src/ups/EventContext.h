#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What one run of EventCmd is told about the board: the event's name, the state at
// that moment as NUVEX_* variables, and one sentence a person can read.
class EventContext {
public:
    // Every event, in the order the manual lists them.
    static constexpr char const* NAMES[] = {"onbattery", "online",   "lowbattery",
                                            "shutdown",  "commlost", "commok"};
    static constexpr int UNKNOWN = -1;

    // The event's name as spelled in NAMES (a string that lives as long as the
    // program), or nullptr for a name that is not an event.
    static char const* find(std::string const& name);
    // The names joined by ", ", for the refusal of an unknown one.
    static std::string nameList();
    // What a state file in the dummy-ups format says: the status bits of ups.status,
    // the shutdown timer on battery, the charge, the runtime, the voltage and the current.
    // Whatever it lacks stays unknown.
    static EventContext fromStateFile(std::string const& text);
    // "45 s", "2 min 5 s", "1 h 3 min 0 s".
    static std::string duration(std::int64_t seconds);
    // A reading as the state file writes it: 4150 mV is "4.15", 420 mA is "0.420".
    static std::string volts(float millivolts);
    static std::string amperes(float milliamperes);

    // NUVEX_EVENT, NUVEX_STATUS, ... as "NAME=value" texts; NUVEX_REASON and
    // NUVEX_POWEROFF_IN for the shutdown only.
    std::vector<std::string> environment() const;
    // NUVEX_MESSAGE: "Power failure: on battery for 10 s, shutdown in 50 s".
    std::string message() const;

    char const* event = "";
    int status = UNKNOWN;  // status bytes, as the hook has them
    int lastStatus = UNKNOWN;
    // Seconds on battery since the power failed; for online, the outage that ended.
    std::int64_t onBattery = 0;
    std::int32_t shutdownIn = UNKNOWN;  // seconds left of the countdown on battery
    int charge = UNKNOWN;               // percent
    std::int32_t runtime = UNKNOWN;     // seconds
    std::string voltage;                // volts as the state file writes them ("4.15")
    std::string current;                // amperes ("0.420")
    std::string reason;                 // why the shutdown started
    int powerOffIn = 0;                 // the board's delay after the power-off command
    std::string device;                 // the I2C device, for the bus events' sentences
};
