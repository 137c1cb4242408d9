#include "Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "bus/Protocol.h"

namespace {

constexpr unsigned HEX_BASE = 16;
constexpr unsigned long LARGEST_BYTE = 0xFF;

std::runtime_error malformed(std::string const& line) {
    return std::runtime_error("malformed trace line '" + line + "'");
}

}  // namespace

std::size_t Trace::format(Transfer const& transfer, char (&buffer)[LINE_SIZE]) {
    int const length =
        std::snprintf(buffer, LINE_SIZE, "%.3f %u %c 0x%02x %s\n", transfer.seconds, transfer.poll,
                      transfer.write ? 'W' : 'R', static_cast<unsigned>(transfer.byte),
                      transfer.ok ? "ok" : "failed");
    if (length < 0) {
        return 0;
    }
    return static_cast<std::size_t>(length) < LINE_SIZE ? static_cast<std::size_t>(length)
                                                        : LINE_SIZE - 1;
}

std::string Trace::line(Transfer const& transfer) {
    char buffer[LINE_SIZE];
    std::size_t const length = format(transfer, buffer);
    return std::string(buffer, length > 0 ? length - 1 : 0);
}

std::string Trace::describe(Transfer const& transfer) {
    std::string const full = line(transfer);
    return full.substr(full.find(' ') + 1);
}

std::optional<Transfer> Trace::parse(std::string const& text) {
    std::size_t const first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos || text[first] == '#') {
        return std::nullopt;
    }
    std::istringstream fields(text);
    std::string seconds;
    std::string poll;
    std::string direction;
    std::string byte;
    std::string result;
    std::string extra;
    if (!(fields >> seconds >> poll >> direction >> byte >> result) || (fields >> extra)) {
        throw malformed(text);
    }

    Transfer transfer{};
    char* end = nullptr;
    errno = 0;
    transfer.seconds = std::strtod(seconds.c_str(), &end);
    if (*end != '\0' || errno != 0) {
        throw malformed(text);
    }
    if (poll.find_first_not_of("0123456789") != std::string::npos) {
        throw malformed(text);
    }
    unsigned long const pollNumber = std::strtoul(poll.c_str(), &end, 10);
    if (errno != 0 || pollNumber > static_cast<unsigned long>(~0U)) {
        throw malformed(text);
    }
    transfer.poll = static_cast<unsigned>(pollNumber);
    if (direction != "W" && direction != "R") {
        throw malformed(text);
    }
    transfer.write = direction == "W";
    if (byte.size() != 4 || byte.compare(0, 2, "0x") != 0 ||
        byte.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) {
        throw malformed(text);
    }
    unsigned long const value = std::strtoul(byte.c_str() + 2, &end, HEX_BASE);
    transfer.byte = static_cast<std::uint8_t>(value & LARGEST_BYTE);
    if (result != "ok" && result != "failed") {
        throw malformed(text);
    }
    transfer.ok = result == "ok";
    return transfer;
}

std::vector<Transfer> Trace::read(std::string const& path) {
    std::vector<Transfer> transfers;
    std::ifstream in(path, std::ios::binary);
    std::string const content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned number = 0;
    // Only whole lines count: a trace read while the program runs may end in the
    // part of a line that is still being written.
    for (std::size_t start = 0, end; (end = content.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string const text = content.substr(start, end - start);
        ++number;
        try {
            if (auto transfer = parse(text)) {
                transfers.push_back(*transfer);
            }
        } catch (std::runtime_error const& failure) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": " + failure.what());
        }
    }
    return transfers;
}

std::vector<std::uint8_t> Trace::powerOffRequests(std::vector<Transfer> const& transfers) {
    std::vector<std::uint8_t> requests;
    bool pending = false;
    for (Transfer const& transfer : transfers) {
        if (!transfer.write) {
            continue;
        }
        if (pending) {
            pending = false;
            if (transfer.ok) {
                requests.push_back(transfer.byte);
            }
        } else if (transfer.ok && transfer.byte == CMD_POWEROFF) {
            pending = true;
        }
    }
    return requests;
}

std::vector<double> Trace::pollStarts(std::vector<Transfer> const& transfers) {
    std::vector<double> starts;
    for (Transfer const& t : transfers) {
        if (t.write && t.byte == 0x00 && t.poll > starts.size()) {
            starts.push_back(t.seconds);
        }
    }
    return starts;
}

std::vector<Transfer> readTrace(std::string const& path) {
    return Trace::read(path);
}
