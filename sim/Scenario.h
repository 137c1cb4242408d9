#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "CellModel.h"

// A parsed scenario (see ScenarioParser.h for the text format): board changes, each
// due at the start, at the start of a poll or at a time, and how the run ends.
class Scenario {
public:
    enum class Trigger { Start, Poll, Time };
    enum class Action {
        Status,       // value: the status byte
        Measure,      // millivolts, milliamperes: the steady sample
        Samples,      // samples: queued, one per REG_MEASURE
        Version,      // version: up to 12 bytes
        ButtonPress,  // button held for the next status reply only
        ButtonDown,   // button held until ButtonUp
        ButtonUp,
        Absent,
        Present,
        FailNext,      // value: number of transfers
        FailTransfer,  // value: transfer k of the poll in `poll` (registered at the start)
        Delay,         // milliseconds per transfer
        Load           // value: the load on battery power, mA (needs the battery)
    };
    enum class End { None, AfterPoll, AtTime };

    struct Event {
        Trigger trigger = Trigger::Start;
        unsigned poll = 0;
        double seconds = 0;
        Action action = Action::Status;
        unsigned value = 0;
        std::uint16_t millivolts = 0;
        std::uint16_t milliamperes = 0;
        std::vector<std::pair<std::uint16_t, std::uint16_t>> samples;
        std::string version;
        double milliseconds = 0;
        unsigned line = 0;
    };

    // What the runner's report compares (the "compare" line): the charge from `after`
    // seconds after each power failure until the true charge falls below `until` %, the
    // runtime once the load has been steady on battery for `steady` seconds.
    struct Comparison {
        double after = 30;
        double until = 3;
        double steady = 60;
    };

    std::vector<Event> events;
    End end = End::None;
    unsigned endPoll = 0;
    double endSeconds = 0;
    // The cell model ("battery" and "charger" lines): it then supplies the measurements
    // and the status bits 0x04 and 0x08.
    bool battery = false;
    CellSettings cell;
    Comparison comparison;
};
