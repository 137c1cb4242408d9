#pragma once

#include <cstdint>

// One SMBus byte transfer as the board saw it on the bus.
struct Transfer {
    double seconds;     // since the board's epoch, taken when the transfer completed
    unsigned poll;      // status commands seen so far, this one included; 0 before the first
    bool write;         // send-byte (host to board) or receive-byte
    std::uint8_t byte;  // the byte sent, or the byte the board answered
    bool ok;            // false: the board did not acknowledge
};
