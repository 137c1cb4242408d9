#include "RunReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
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

// A whole number published in the state file; empty for "-" or anything else.
std::optional<long> publishedNumber(std::string const& text, std::string const& name) {
    std::string const value = stateValue(text, name);
    char* end = nullptr;
    long const number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || value == "-" || *end != '\0') {
        return std::nullopt;
    }
    return number;
}

bool forcedShutdown(std::string const& text) {
    std::string const status = " " + stateValue(text, "ups.status") + " ";
    return status.find(" FSD ") != std::string::npos;
}

// Index of the latest record at or before the time; -1 for none.
long truthAt(std::vector<CellRecord> const& records, double seconds) {
    auto const after = std::upper_bound(
        records.begin(), records.end(), seconds,
        [](double time, CellRecord const& record) { return time < record.seconds; });
    return static_cast<long>(std::distance(records.begin(), after)) - 1;
}

// What the records say about the time around each: the start of the stretch on
// battery power it belongs to, and since when the load has been the same there.
struct Context {
    bool onBattery = false;
    double failure = 0;
    double steadySince = 0;
};

std::vector<Context> contexts(std::vector<CellRecord> const& records) {
    std::vector<Context> result(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        CellRecord const& record = records[i];
        Context& context = result[i];
        context.onBattery = !record.primary;
        if (!context.onBattery) {
            continue;
        }
        bool const continued = i > 0 && result[i - 1].onBattery;
        context.failure = continued ? result[i - 1].failure : record.seconds;
        context.steadySince = continued && records[i - 1].load == record.load
                                  ? result[i - 1].steadySince
                                  : record.seconds;
    }
    return result;
}

std::string text(char const* format, double a, double b = 0, double c = 0, double d = 0) {
    char buffer[160];
    std::snprintf(buffer, sizeof(buffer), format, a, b, c, d);
    return buffer;
}

// "120", "2.5": the shortest form of a setting.
std::string shortNumber(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

std::string RunReport::states(std::string const& path, std::vector<State> const& states,
                              std::vector<CellRecord> const& records) {
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
        long const truth = truthAt(records, state.seconds);
        std::string trueCharge;
        std::string trueRuntime;
        if (truth >= 0) {
            CellRecord const& record = records[static_cast<std::size_t>(truth)];
            trueCharge = text(" (true %.1f%%)", record.charge);
            trueRuntime =
                record.remaining < 0 ? " (true -)" : text(" (true %.0f)", record.remaining);
        }
        out << head << stateValue(state.text, "ups.status") << "  charge "
            << (charge == "-" ? charge : charge + "%") << trueCharge << "  runtime "
            << stateValue(state.text, "battery.runtime") << trueRuntime << "  timer "
            << stateValue(state.text, "ups.timer.shutdown") << "\n";
    }
    return out.str();
}

std::string RunReport::comparison(CellSettings const& cell, Scenario::Comparison const& window,
                                  std::vector<State> const& states,
                                  std::vector<CellRecord> const& records, Limits const& limits) {
    std::ostringstream out;
    constexpr double SECONDS_PER_HOUR = 3600.0;
    constexpr double PERCENT = 100.0;
    constexpr double SHORTEST_SHARE = 0.1;
    constexpr double LONGEST_SHARE = 0.9;
    out << "cell: " << shortNumber(cell.capacityMah) << " mAh, "
        << shortNumber(cell.resistanceMilliohm) << " mOhm, polarisation "
        << shortNumber(cell.polarisationMilliohm) << " mOhm over "
        << shortNumber(cell.polarisationSeconds) << " s, battery low below "
        << shortNumber(cell.lowMillivolts) << " mV\n";
    out << "curve: "
        << CellModel::curveText(cell.curve.empty() ? CellModel::defaultCurve() : cell.curve)
        << "\n";
    if (cell.charger) {
        out << "charger: " << shortNumber(cell.chargeMilliamperes) << " mA up to "
            << shortNumber(cell.chargeMillivolts) << " mV, complete below "
            << shortNumber(cell.chargeEndMilliamperes) << " mA\n";
    } else {
        out << "charger: none\n";
    }
    out << "window: charge from " << shortNumber(window.after)
        << " s after each power failure until the true charge is below "
        << shortNumber(window.until) << "%;\n        runtime at a load steady on battery for "
        << shortNumber(window.steady) << " s, true remaining time 10-90% of full\n";
    if (records.empty()) {
        out << "no cell records in the trace\n";
        return out.str();
    }

    std::vector<Context> const context = contexts(records);
    struct Published {
        double seconds;
        std::optional<long> charge;
        std::optional<long> runtime;
        long truth;
    };
    std::vector<Published> published;
    for (State const& state : states) {
        published.push_back({state.seconds, publishedNumber(state.text, "battery.charge"),
                             publishedNumber(state.text, "battery.runtime"),
                             truthAt(records, state.seconds)});
    }

    // Each power failure: the steps of the published charge from the last state before
    // it until the window begins.
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!context[i].onBattery || (i > 0 && context[i - 1].onBattery)) {
            continue;
        }
        double const failure = records[i].seconds;
        out << text("power failure at %.1f s, true charge %.1f%%\n  step: ", failure,
                    records[i].charge);
        std::optional<Published> previous;
        std::optional<Published> from;
        long largest = -1;
        Published at{};
        Published before{};
        for (Published const& state : published) {
            if (state.seconds > failure + window.after) {
                break;
            }
            if (!state.charge) {
                continue;
            }
            if (state.seconds < failure) {
                previous = state;
                from = state;
                continue;
            }
            if (!from) {
                from = state;
            }
            if (previous && std::labs(*state.charge - *previous->charge) > largest) {
                largest = std::labs(*state.charge - *previous->charge);
                at = state;
                before = *previous;
            }
            previous = state;
        }
        if (largest < 0) {
            out << "no two published charges in its first " << shortNumber(window.after) << " s\n";
            continue;
        }
        double const trueChange = at.truth >= 0 && before.truth >= 0
                                      ? records[static_cast<std::size_t>(at.truth)].charge -
                                            records[static_cast<std::size_t>(before.truth)].charge
                                      : 0;
        out << "largest " << largest << " points (" << *before.charge << "% to " << *at.charge
            << "%"
            << text(" at %.1f s, true change %+.1f), states from %.1f s to %.1f s\n", at.seconds,
                    trueChange, from->seconds, failure + window.after);
    }

    std::optional<Published> worstCharge;
    double chargeError = 0;
    std::size_t chargeStates = 0;
    std::optional<Published> worstRuntime;
    double runtimeError = 0;
    std::size_t runtimeStates = 0;
    for (Published const& state : published) {
        if (state.truth < 0) {
            continue;
        }
        std::size_t const index = static_cast<std::size_t>(state.truth);
        CellRecord const& truth = records[index];
        Context const& around = context[index];
        if (!around.onBattery) {
            continue;
        }
        if (state.charge && state.seconds - around.failure >= window.after &&
            truth.charge >= window.until) {
            ++chargeStates;
            double const error = static_cast<double>(*state.charge) - truth.charge;
            if (!worstCharge || std::fabs(error) > std::fabs(chargeError)) {
                worstCharge = state;
                chargeError = error;
            }
        }
        double const full = truth.load > 0 ? cell.capacityMah / truth.load * SECONDS_PER_HOUR : 0;
        if (state.runtime && truth.load > 0 &&
            state.seconds - around.steadySince >= window.steady &&
            truth.remaining >= SHORTEST_SHARE * full && truth.remaining <= LONGEST_SHARE * full &&
            truth.remaining > 0) {
            ++runtimeStates;
            double const error =
                (static_cast<double>(*state.runtime) - truth.remaining) / truth.remaining * PERCENT;
            if (!worstRuntime || std::fabs(error) > std::fabs(runtimeError)) {
                worstRuntime = state;
                runtimeError = error;
            }
        }
    }
    if (worstCharge) {
        CellRecord const& truth = records[static_cast<std::size_t>(worstCharge->truth)];
        out << text("charge: largest error %+.1f points at %.1f s (published ", chargeError,
                    worstCharge->seconds)
            << *worstCharge->charge << text("%%, true %.1f%%), ", truth.charge) << chargeStates
            << (chargeStates == 1 ? " state" : " states") << " in the window\n";
    } else {
        out << "charge: no published charge in the window\n";
    }
    if (worstRuntime) {
        CellRecord const& truth = records[static_cast<std::size_t>(worstRuntime->truth)];
        out << text("runtime: largest error %+.1f%% at %.1f s (published ", runtimeError,
                    worstRuntime->seconds)
            << *worstRuntime->runtime << text(" s, true %.0f s), ", truth.remaining)
            << runtimeStates << (runtimeStates == 1 ? " state" : " states") << " in the window\n";
    } else {
        out << "runtime: no published runtime in the window\n";
    }

    auto const shutdown = std::find_if(states.begin(), states.end(), [](State const& state) {
        return forcedShutdown(state.text);
    });
    long const truthAtShutdown =
        shutdown == states.end() ? -1 : truthAt(records, shutdown->seconds);
    if (truthAtShutdown < 0) {
        out << "shutdown: none published (no FSD)\n";
        return out.str();
    }
    CellRecord const& truth = records[static_cast<std::size_t>(truthAtShutdown)];
    out << text("shutdown: first FSD at %.1f s, true charge %.1f%%, true remaining time ",
                shutdown->seconds, truth.charge)
        << (truth.remaining < 0 ? std::string("-") : text("%.0f s", truth.remaining)) << "\n";
    double const belowRuntime = std::atof(limits.shutdownBelowRuntime.c_str());
    if (belowRuntime > 0 && truth.remaining >= 0) {
        out << "ShutdownBelowRuntime=" << limits.shutdownBelowRuntime
            << text(": true remaining time at the shutdown %+.1f%% from the setting\n",
                    (truth.remaining - belowRuntime) / belowRuntime * PERCENT);
    }
    double const belowCharge = std::atof(limits.shutdownBelowCharge.c_str());
    if (belowCharge > 0) {
        out << "ShutdownBelowCharge=" << limits.shutdownBelowCharge
            << text(": true charge at the shutdown %+.1f points from the setting\n",
                    truth.charge - belowCharge);
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
