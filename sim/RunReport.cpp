#include "RunReport.h"

#include <cstdio>
#include <map>
#include <sstream>

#include "Trace.h"
#include "bus/Protocol.h"

namespace {

constexpr std::size_t MAX_LISTED_FAILURES = 20;
constexpr int NO_ANSWER = -1;

std::string hex(int byte) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02x", static_cast<unsigned>(byte) & 0xFFU);
    return text;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f s", value);
    return text;
}

// The status reply of each poll: the read right after its status command.
std::map<unsigned, int> statusByPoll(std::vector<Transfer> const& transfers) {
    std::map<unsigned, int> result;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        Transfer const& command = transfers[i];
        if (command.poll == 0 || result.count(command.poll) != 0) {
            continue;
        }
        bool const answered = command.write && command.byte == REG_STATUS && command.ok &&
                              i + 1 < transfers.size() && !transfers[i + 1].write &&
                              transfers[i + 1].ok;
        result[command.poll] = answered ? transfers[i + 1].byte : NO_ANSWER;
    }
    return result;
}

// The value of "name: value" in a state file; "-" when the line is missing.
std::string stateValue(std::string const& text, std::string const& name) {
    std::string const key = name + ": ";
    std::size_t at = text.rfind("\n" + key);
    at = text.compare(0, key.size(), key) == 0 ? 0 : at == std::string::npos ? at : at + 1;
    if (at == std::string::npos) {
        return "-";
    }
    std::size_t const begin = at + key.size();
    return text.substr(begin, text.find('\n', begin) - begin);
}

}  // namespace

std::string RunReport::states(std::string const& path, std::vector<State> const& states) {
    if (path.empty()) {
        return "no state file (set StateFile)\n";
    }
    if (states.empty()) {
        return "nothing published at " + path + "\n";
    }
    std::ostringstream out;
    for (State const& state : states) {
        char head[32];
        std::snprintf(head, sizeof(head), "  [%6.1fs] ", state.seconds);
        std::string const charge = stateValue(state.text, "battery.charge");
        out << head << stateValue(state.text, "ups.status") << "  charge "
            << (charge == "-" ? charge : charge + "%") << "  runtime "
            << stateValue(state.text, "battery.runtime") << "  timer "
            << stateValue(state.text, "ups.timer.shutdown") << "\n";
    }
    return out.str();
}

std::string RunReport::statusText(int status) {
    if (status == NO_ANSWER) {
        return "no answer";
    }
    static std::pair<int, char const*> const bits[] = {{STATUS_PRIMARY_POWER, "primary power"},
                                                       {STATUS_BATTERY_POWER, "battery power"},
                                                       {STATUS_BATTERY_LOW, "battery low"},
                                                       {STATUS_CHARGING, "charging"},
                                                       {STATUS_BUTTON, "button"},
                                                       {0x10, "bit 0x10"},
                                                       {0x40, "bit 0x40"},
                                                       {0x80, "bit 0x80"}};
    std::string names;
    for (auto const& [bit, name] : bits) {
        if ((status & bit) != 0) {
            names += names.empty() ? "" : ", ";
            names += name;
        }
    }
    return hex(status) + " (" + (names.empty() ? "nothing" : names) + ")";
}

std::string RunReport::bus(std::vector<Transfer> const& transfers) {
    std::ostringstream out;
    unsigned polls = 0;
    std::size_t failed = 0;
    for (Transfer const& transfer : transfers) {
        polls = transfer.poll > polls ? transfer.poll : polls;
        failed += transfer.ok ? 0 : 1;
    }
    out << "polls: " << polls << ", transfers: " << transfers.size() << " (" << failed
        << " failed)\n";

    // Stretches of polls with the same status reply.
    std::map<unsigned, int> const statuses = statusByPoll(transfers);
    for (auto it = statuses.begin(); it != statuses.end();) {
        auto last = it;
        auto next = std::next(it);
        while (next != statuses.end() && next->first == last->first + 1 &&
               next->second == it->second) {
            last = next++;
        }
        if (last == it) {
            out << "  poll " << it->first;
        } else {
            out << "  polls " << it->first << "-" << last->first;
        }
        out << ": " << statusText(it->second) << "\n";
        it = next;
    }

    if (failed > 0) {
        out << "failed transfers:\n";
        std::size_t listed = 0;
        unsigned poll = 0;
        unsigned k = 0;
        for (Transfer const& transfer : transfers) {
            k = transfer.poll == poll ? k + 1 : 1;
            poll = transfer.poll;
            if (transfer.ok) {
                continue;
            }
            if (listed++ == MAX_LISTED_FAILURES) {
                out << "  ... " << failed - MAX_LISTED_FAILURES << " more\n";
                break;
            }
            out << "  poll " << poll << ", transfer " << k << ": " << (transfer.write ? "W " : "R ")
                << hex(transfer.byte) << " at " << seconds(transfer.seconds) << "\n";
        }
    }

    bool pending = false;
    bool any = false;
    for (Transfer const& transfer : transfers) {
        if (!transfer.write) {
            continue;
        }
        if (pending) {
            pending = false;
            any = true;
            out << "power-off command at " << seconds(transfer.seconds) << " (poll "
                << transfer.poll << "): ";
            if (transfer.ok) {
                out << "delay " << static_cast<unsigned>(transfer.byte) << " ("
                    << hex(transfer.byte) << ")\n";
            } else {
                out << "its delay byte failed\n";
            }
        } else if (transfer.ok && transfer.byte == CMD_POWEROFF) {
            pending = true;
        }
    }
    if (pending) {
        out << "power-off command without its delay byte\n";
    } else if (!any) {
        out << "no power-off command\n";
    }
    return out.str();
}

std::string RunReport::commands(std::vector<SimRun::Call> const& calls) {
    std::ostringstream out;
    if (calls.empty()) {
        return "no commands ran\n";
    }
    for (SimRun::Call const& call : calls) {
        out << "  " << call.name << (call.arguments.empty() ? "" : " ") << call.arguments
            << "  NUVEX_STATUS=" << call.status << " NUVEX_LAST_STATUS=" << call.lastStatus << "\n";
        // An event script's other variables, the sentence on a line of its own.
        std::string message;
        std::string values;
        for (std::string const& variable : call.variables) {
            if (variable.rfind("NUVEX_MESSAGE=", 0) == 0) {
                message = variable;
            } else {
                values += (values.empty() ? "" : " ") + variable;
            }
        }
        if (!values.empty()) {
            out << "      " << values << "\n";
        }
        if (!message.empty()) {
            out << "      " << message << "\n";
        }
    }
    return out.str();
}

std::string RunReport::progress(double elapsed, std::vector<Transfer> const& transfers,
                                std::string const& lastLogLine, std::size_t width) {
    char head[32];
    std::snprintf(head, sizeof(head), "[%6.1fs] ", elapsed);
    std::string line = head;
    std::map<unsigned, int> const statuses = statusByPoll(transfers);
    if (statuses.empty()) {
        line += "waiting for the first poll";
    } else {
        int const status = statuses.rbegin()->second;
        line += "poll " + std::to_string(statuses.rbegin()->first) + ", " +
                (status == NO_ANSWER ? "" : "status ") + statusText(status);
    }
    if (!transfers.empty() && !transfers.back().ok) {
        line += ", failing";
    }
    if (!lastLogLine.empty()) {
        line += " | " + lastLogLine;
    }
    if (line.size() > width) {
        line.resize(width);
    }
    return line;
}
