#pragma once

#include <string>

#include "Scenario.h"

// Reads the scenario text format. One statement per line; '#' starts a comment
// (outside quotes); tokens are separated by blanks.
//
//     [TRIGGER] COMMAND ARGUMENTS
//     end after poll N | end at T
//
// TRIGGER (none: before the first transfer)
//     poll N        when poll N starts, i.e. at its status command, before the reply;
//                   poll 0 is the start
//     poll N..M     range, polls N to M inclusive (absent and button only)
//     at T          at the first transfer T seconds or later after the start
//                   (T: 2, 2.5, 2.5s or 500ms)
//     at T1..T2     range, from T1 up to T2 (absent and button only)
// COMMAND
//     status B             status byte, 0x.. or decimal (0x01 primary power, 0x02 battery,
//                          0x04 battery low, 0x08 charging, 0x20 button)
//     measure MV MA        steady voltage (mV) and current (mA) of every sample
//     samples MV/MA ...    samples queued one per REG_MEASURE, then back to steady
//     version TEXT         up to 12 bytes, padded with zero bytes; quote it to keep
//                          blanks, escapes \" \\ \xHH inside quotes
//     button               push-button (0x20) held for one status reply, or over a range
//     absent | present     board missing from the bus (every transfer unacknowledged)
//     fail next N          the next N transfers fail
//     fail transfer K      transfer K of the poll fails (needs a single "poll N" trigger)
//     delay MS             every transfer takes MS milliseconds (0: no delay; 20ms, 0.1s)
//     load MA              the load on battery power (mA); needs a battery line
// A cell model (CellModel.h), at most one of each line, without a trigger:
//     battery capacity MAH [resistance MOHM] [charge PERCENT] [curve MV:PERCENT,...]
//             [polarisation MOHM T] [low MV]
//                          the cell: capacity (mAh, needed), internal resistance (mOhm,
//                          default 120), start charge (%, 100), resting-voltage curve
//                          (rising, 0 % to 100 %; default CellModel::DEFAULT_CURVE),
//                          the slow polarisation's resistance (mOhm) and time constant
//                          (40 45s), the loaded voltage below which 0x04 is set on
//                          battery power (3400)
//     charger MA MV [END]  on primary power: constant current MA up to MV, then constant
//                          voltage until the current falls below END (default MA/10)
//     compare [after T] [until PERCENT] [steady T]
//                          what the runner compares (Scenario::Comparison)
// With a battery the model supplies every steady sample and the bits 0x04 and 0x08 of
// the status byte ("status" gives the others); "measure" is refused, "samples" still
// go first.
// The end is for the runner: after poll N it stops the program once poll N+1 starts;
// at T it stops it T seconds after the start. One end line at most.
//
// Errors throw ScenarioError naming the file and the line.
class ScenarioParser {
public:
    static Scenario parse(std::string const& text, std::string const& name);
    static Scenario parseFile(std::string const& path);
};
