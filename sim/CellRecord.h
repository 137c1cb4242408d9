#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class CellModel;

// The cell model's state at a moment, as the board writes it into the trace at the
// start of every poll, for the runner to compare the daemon's estimate with. The line
// is a trace comment (Trace.h), so readers of transfers skip it:
//
//   # cell 12.503 primary 0 phase discharge load 1500 current 1500.0 voltage 3950.2
//     ocv 4050.1 polarisation 45.12 charge 87.234 remaining 205.3      (one line)
//
// seconds since time zero, primary power (1/0), the phase (CellModel::phaseName), the
// load (mA), the current (mA, positive on discharge), the loaded and the open-circuit
// voltage and the polarisation (mV), the true charge (%), and the true remaining time
// at the present load (s; -1 without a load).
struct CellRecord {
    static constexpr std::size_t LINE_SIZE = 256;
    static constexpr char const* PREFIX = "# cell ";

    double seconds = 0;
    bool primary = true;
    std::string phase;
    double load = 0;
    double current = 0;
    double voltage = 0;
    double ocv = 0;
    double polarisation = 0;
    double charge = 0;
    double remaining = -1;

    static CellRecord of(CellModel const& cell);
    // Writes the line, newline included, into buffer; returns its length. No allocation.
    static std::size_t format(CellModel const& cell, char (&buffer)[LINE_SIZE]);
    // Empty for any other line (transfers, other comments, a malformed record).
    static std::optional<CellRecord> parse(std::string const& line);
    // Every record of a trace file, in order; a missing file has none.
    static std::vector<CellRecord> read(std::string const& path);
};
