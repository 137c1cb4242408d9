#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Transfer.h"

// The trace file: one line per transfer,
//
//     <seconds> <poll> <W|R> 0x<byte> <ok|failed>
//
// e.g. "12.503 25 R 0x02 ok": seconds since the simulator's start with three decimals,
// the poll number (0 before the first status command), W for a send-byte and R for a
// receive-byte, the byte in two lower-case hex digits (a failed read shows 0xff), and
// whether the board acknowledged. Lines starting with '#' are comments.
class Trace {
public:
    // Room for the longest line, newline included.
    static constexpr std::size_t LINE_SIZE = 64;

    // Writes the line with its newline into buffer; returns its length. No allocation.
    static std::size_t format(Transfer const& transfer, char (&buffer)[LINE_SIZE]);
    // The line without its newline.
    static std::string line(Transfer const& transfer);
    // The line without the time: "25 R 0x02 ok".
    static std::string describe(Transfer const& transfer);
    // Empty for comments and blank lines; std::runtime_error for anything malformed.
    static std::optional<Transfer> parse(std::string const& line);
    // A missing file is an empty trace; a malformed line throws std::runtime_error
    // naming the file and the line number.
    static std::vector<Transfer> read(std::string const& path);
    // The delay byte of each completed CMD_POWEROFF, by the board's own rules.
    static std::vector<std::uint8_t> powerOffRequests(std::vector<Transfer> const& transfers);
    // The time of each poll's status command, poll 1 first.
    static std::vector<double> pollStarts(std::vector<Transfer> const& transfers);
};

// Shorthand for Trace::read().
std::vector<Transfer> readTrace(std::string const& path);
