#include "ScenarioParser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "BoardModel.h"
#include "ScenarioError.h"

namespace {

constexpr unsigned long LARGEST_BYTE = 0xFF;
constexpr unsigned long LARGEST_WORD = 0xFFFF;
constexpr unsigned long LARGEST_COUNT = 1000000000UL;
constexpr double MILLISECONDS_PER_SECOND = 1000.0;
constexpr double LONGEST_DELAY_MILLISECONDS = 60000.0;
constexpr int HEX_BASE = 16;
constexpr double FULL_PERCENT = 100.0;
constexpr double LARGEST_CAPACITY_MAH = 1000000.0;
constexpr double LARGEST_MILLIOHMS = 100000.0;
constexpr double LARGEST_SECONDS = 86400.0;
constexpr double LARGEST_MILLIVOLTS = 65535.0;
constexpr double LARGEST_MILLIAMPERES = 65535.0;

// Lines of the statements that need, or exclude, a "battery" line; 0 for none.
struct Seen {
    unsigned battery = 0;
    unsigned charger = 0;
    unsigned compare = 0;
    unsigned load = 0;
    unsigned measure = 0;
};

// One line's statement, reported against its line number.
class LineParser {
public:
    LineParser(std::string name, unsigned line, Scenario& scenario, Seen& seen)
        : mName(std::move(name)), mLine(line), mScenario(scenario), mSeen(seen) {}

    void parse(std::string const& text) {
        split(text);
        if (mTokens.empty()) {
            return;
        }
        if (mTokens[0] == "end") {
            parseEnd();
            return;
        }
        if (mTokens[0] == "battery" || mTokens[0] == "charger" || mTokens[0] == "compare") {
            mNext = 1;
            parseSetting(mTokens[0]);
            return;
        }
        Scenario::Event first;
        first.line = mLine;
        Scenario::Event last;
        last.line = mLine;
        bool range = false;
        if (mTokens[0] == "poll" || mTokens[0] == "at") {
            range = parseTrigger(first, last);
        }
        parseCommand(first, last, range);
    }

private:
    [[noreturn]] void error(std::string const& message) const {
        throw ScenarioError(mName, mLine, message);
    }

    std::string const& token(std::string const& what) {
        if (mNext >= mTokens.size()) {
            error("missing " + what);
        }
        return mTokens[mNext++];
    }

    void noMore() const {
        if (mNext < mTokens.size()) {
            error("unexpected '" + mTokens[mNext] + "'");
        }
    }

    void split(std::string const& text) {
        std::size_t i = 0;
        while (i < text.size()) {
            char const c = text[i];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
            } else if (c == '#') {
                break;
            } else if (c == '"') {
                mTokens.push_back(quoted(text, i));
            } else {
                std::size_t const end = text.find_first_of(" \t\r#\"", i);
                mTokens.push_back(text.substr(i, end - i));
                i = end == std::string::npos ? text.size() : end;
            }
        }
    }

    std::string quoted(std::string const& text, std::size_t& i) {
        std::string value;
        for (++i; i < text.size(); ++i) {
            char const c = text[i];
            if (c == '"') {
                ++i;
                return value;
            }
            if (c != '\\') {
                value.push_back(c);
                continue;
            }
            if (++i >= text.size()) {
                break;
            }
            char const escaped = text[i];
            if (escaped == '"' || escaped == '\\') {
                value.push_back(escaped);
            } else if (escaped == 'x' && i + 2 < text.size() &&
                       std::isxdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
                       std::isxdigit(static_cast<unsigned char>(text[i + 2])) != 0) {
                value.push_back(static_cast<char>(
                    std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, HEX_BASE)));
                i += 2;
            } else {
                error(std::string("unknown escape '\\") + escaped + "'");
            }
        }
        error("unterminated quote");
    }

    unsigned long number(std::string const& text, unsigned long largest, std::string const& what) {
        if (text.empty() || text[0] == '-' || text[0] == '+') {
            error("bad " + what + " '" + text + "'");
        }
        char* end = nullptr;
        errno = 0;
        unsigned long const value = std::strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || errno != 0 || value > largest) {
            error("bad " + what + " '" + text + "'");
        }
        return value;
    }

    // Decimal with an optional unit; returns the value in units of `scale` per second
    // (1 for seconds, 1000 for milliseconds).
    double duration(std::string const& text, double scale, std::string const& what) {
        std::string digits = text;
        double factor = 1.0;
        auto endsWith = [&](char const* unit) {
            std::string const suffix(unit);
            return digits.size() > suffix.size() &&
                   digits.compare(digits.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        if (endsWith("ms")) {
            digits.resize(digits.size() - 2);
            factor = scale / MILLISECONDS_PER_SECOND;
        } else if (endsWith("s")) {
            digits.resize(digits.size() - 1);
            factor = scale;
        }
        if (digits.empty() || digits.find_first_not_of("0123456789.") != std::string::npos) {
            error("bad " + what + " '" + text + "'");
        }
        char* end = nullptr;
        double const value = std::strtod(digits.c_str(), &end);
        if (*end != '\0' || !std::isfinite(value)) {
            error("bad " + what + " '" + text + "'");
        }
        return value * factor;
    }

    double seconds(std::string const& text, std::string const& what = "time") {
        return duration(text, 1.0, what);
    }

    unsigned pollNumber(std::string const& text) {
        return static_cast<unsigned>(number(text, LARGEST_COUNT, "poll number"));
    }

    void parseEnd() {
        mNext = 1;
        if (mScenario.end != Scenario::End::None) {
            error("a second 'end'");
        }
        std::string const& kind = token("'after poll N' or 'at T' after 'end'");
        if (kind == "after") {
            if (token("'poll' after 'end after'") != "poll") {
                error("expected 'poll' after 'end after'");
            }
            mScenario.end = Scenario::End::AfterPoll;
            mScenario.endPoll = pollNumber(token("poll number"));
        } else if (kind == "at") {
            mScenario.end = Scenario::End::AtTime;
            mScenario.endSeconds = seconds(token("time"));
        } else {
            error("expected 'after poll N' or 'at T' after 'end', not '" + kind + "'");
        }
        noMore();
    }

    // Returns true for a range; `last` is then the end of the range.
    bool parseTrigger(Scenario::Event& first, Scenario::Event& last) {
        std::string const kind = mTokens[mNext++];
        std::string const& when = token(kind == "poll" ? "poll number" : "time");
        std::size_t const dots = when.find("..");
        std::string const from = when.substr(0, dots);
        bool const range = dots != std::string::npos;
        if (kind == "poll") {
            first.trigger = Scenario::Trigger::Poll;
            first.poll = pollNumber(from);
            if (range) {
                last.trigger = Scenario::Trigger::Poll;
                last.poll = pollNumber(when.substr(dots + 2));
                if (first.poll == 0 || last.poll < first.poll) {
                    error("bad poll range '" + when + "'");
                }
                // The range includes its last poll: the change ends as the next starts.
                ++last.poll;
            } else if (first.poll == 0) {
                first.trigger = Scenario::Trigger::Start;
            }
        } else {
            first.trigger = Scenario::Trigger::Time;
            first.seconds = seconds(from);
            if (range) {
                last.trigger = Scenario::Trigger::Time;
                last.seconds = seconds(when.substr(dots + 2));
                if (last.seconds <= first.seconds) {
                    error("bad time range '" + when + "'");
                }
            }
        }
        return range;
    }

    void parseCommand(Scenario::Event& first, Scenario::Event& last, bool range) {
        std::string const command = token("command");
        using Action = Scenario::Action;
        bool const rangeable = command == "absent" || command == "button";
        if (range && !rangeable) {
            error("only 'absent' and 'button' take a range, not '" + command + "'");
        }
        if (command == "status") {
            first.action = Action::Status;
            first.value =
                static_cast<unsigned>(number(token("status byte"), LARGEST_BYTE, "status byte"));
        } else if (command == "measure") {
            first.action = Action::Measure;
            first.millivolts = word(token("voltage (mV)"), "voltage");
            first.milliamperes = word(token("current (mA)"), "current");
            if (mSeen.measure == 0) {
                mSeen.measure = mLine;
            }
        } else if (command == "samples") {
            first.action = Action::Samples;
            token("samples MV/MA");
            for (--mNext; mNext < mTokens.size(); ++mNext) {
                first.samples.push_back(sample(mTokens[mNext]));
            }
        } else if (command == "version") {
            first.action = Action::Version;
            first.version = token("version text");
            if (first.version.size() > BoardModel::VERSION_SIZE) {
                error("version longer than 12 bytes");
            }
        } else if (command == "button") {
            first.action = range ? Action::ButtonDown : Action::ButtonPress;
            last.action = Action::ButtonUp;
        } else if (command == "absent") {
            first.action = Action::Absent;
            last.action = Action::Present;
        } else if (command == "present") {
            first.action = Action::Present;
        } else if (command == "fail") {
            parseFail(first);
        } else if (command == "load") {
            first.action = Action::Load;
            first.value = static_cast<unsigned>(
                decimal(token("load (mA)"), LARGEST_MILLIAMPERES, "load") + 0.5);
            if (mSeen.load == 0) {
                mSeen.load = mLine;
            }
        } else if (command == "battery" || command == "charger" || command == "compare") {
            error("'" + command + "' takes no trigger");
        } else if (command == "delay") {
            first.action = Action::Delay;
            first.milliseconds = duration(token("delay"), MILLISECONDS_PER_SECOND, "delay");
            if (first.milliseconds > LONGEST_DELAY_MILLISECONDS) {
                error("delay longer than a minute");
            }
        } else {
            error("unknown command '" + command + "'");
        }
        noMore();
        mScenario.events.push_back(first);
        if (range) {
            mScenario.events.push_back(last);
        }
    }

    void parseFail(Scenario::Event& event) {
        std::string const kind = token("'next N' or 'transfer K' after 'fail'");
        if (kind == "next") {
            event.action = Scenario::Action::FailNext;
            event.value = static_cast<unsigned>(number(token("count"), LARGEST_COUNT, "count"));
        } else if (kind == "transfer") {
            if (mTokens[0] != "poll") {
                error("'fail transfer' needs a 'poll N' trigger");
            }
            event.action = Scenario::Action::FailTransfer;
            event.value = static_cast<unsigned>(
                number(token("transfer number"), LARGEST_COUNT, "transfer number"));
            if (event.value == 0) {
                error("transfers count from 1");
            }
        } else {
            error("expected 'next N' or 'transfer K' after 'fail', not '" + kind + "'");
        }
        if (event.value == 0 && kind == "next") {
            error("bad count '0'");
        }
    }

    // A decimal number from 0 to largest, "3" or "2.5"; no sign, no exponent.
    double decimal(std::string const& text, double largest, std::string const& what) {
        if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
            error("bad " + what + " '" + text + "'");
        }
        char* end = nullptr;
        double const value = std::strtod(text.c_str(), &end);
        if (*end != '\0' || !std::isfinite(value) || value > largest) {
            error("bad " + what + " '" + text + "'");
        }
        return value;
    }

    double positive(std::string const& text, double largest, std::string const& what) {
        double const value = decimal(text, largest, what);
        if (!(value > 0)) {
            error("bad " + what + " '" + text + "'");
        }
        return value;
    }

    // "3" or "3%", from 0 to 100.
    double percent(std::string const& text, std::string const& what) {
        std::string const digits =
            !text.empty() && text.back() == '%' ? text.substr(0, text.size() - 1) : text;
        if (digits.empty() || digits.find_first_not_of("0123456789.") != std::string::npos ||
            std::strtod(digits.c_str(), nullptr) > FULL_PERCENT) {
            error("bad " + what + " '" + text + "'");
        }
        return decimal(digits, FULL_PERCENT, what);
    }

    // "battery", "charger" and "compare": settings for the whole run, without a trigger.
    void parseSetting(std::string const& command) {
        unsigned& line = command == "battery"   ? mSeen.battery
                         : command == "charger" ? mSeen.charger
                                                : mSeen.compare;
        if (line != 0) {
            error("a second '" + command + "'");
        }
        line = mLine;
        if (command == "battery") {
            parseBattery();
        } else if (command == "charger") {
            parseCharger();
        } else {
            parseCompare();
        }
        noMore();
    }

    void parseBattery() {
        CellSettings& cell = mScenario.cell;
        mScenario.battery = true;
        bool capacity = false;
        std::vector<std::string> given;
        while (mNext < mTokens.size()) {
            std::string const key = mTokens[mNext++];
            if (std::find(given.begin(), given.end(), key) != given.end()) {
                error("a second '" + key + "'");
            }
            given.push_back(key);
            if (key == "capacity") {
                cell.capacityMah =
                    positive(token("capacity (mAh)"), LARGEST_CAPACITY_MAH, "capacity");
                capacity = true;
            } else if (key == "resistance") {
                cell.resistanceMilliohm =
                    positive(token("resistance (mOhm)"), LARGEST_MILLIOHMS, "resistance");
            } else if (key == "charge") {
                cell.chargePercent = percent(token("charge (%)"), "charge");
            } else if (key == "curve") {
                try {
                    cell.curve = CellModel::parseCurve(token("curve MV:PERCENT,..."));
                } catch (std::invalid_argument const& bad) {
                    error(bad.what());
                }
            } else if (key == "polarisation") {
                cell.polarisationMilliohm = decimal(token("polarisation resistance (mOhm)"),
                                                    LARGEST_MILLIOHMS, "polarisation resistance");
                std::string const& time = token("polarisation time");
                cell.polarisationSeconds = seconds(time, "polarisation time");
                if (!(cell.polarisationSeconds > 0) || cell.polarisationSeconds > LARGEST_SECONDS) {
                    error("bad polarisation time '" + time + "'");
                }
            } else if (key == "low") {
                cell.lowMillivolts =
                    decimal(token("low voltage (mV)"), LARGEST_MILLIVOLTS, "low voltage");
            } else {
                error("unknown battery setting '" + key + "'");
            }
        }
        if (!capacity) {
            error("missing capacity (mAh)");
        }
    }

    void parseCharger() {
        CellSettings& cell = mScenario.cell;
        cell.charger = true;
        cell.chargeMilliamperes =
            positive(token("charge current (mA)"), LARGEST_MILLIAMPERES, "charge current");
        cell.chargeMillivolts =
            positive(token("charge voltage (mV)"), LARGEST_MILLIVOLTS, "charge voltage");
        cell.chargeEndMilliamperes = cell.chargeMilliamperes / 10;
        if (mNext < mTokens.size()) {
            std::string const& end = mTokens[mNext++];
            cell.chargeEndMilliamperes = decimal(end, LARGEST_MILLIAMPERES, "end current");
            if (cell.chargeEndMilliamperes >= cell.chargeMilliamperes) {
                error("bad end current '" + end + "', not below the charge current");
            }
        }
    }

    void parseCompare() {
        Scenario::Comparison& comparison = mScenario.comparison;
        if (mNext >= mTokens.size()) {
            error("missing 'after T', 'until P%' or 'steady T' after 'compare'");
        }
        while (mNext < mTokens.size()) {
            std::string const key = mTokens[mNext++];
            if (key == "after") {
                comparison.after = seconds(token("time"));
            } else if (key == "until") {
                comparison.until = percent(token("charge (%)"), "charge");
            } else if (key == "steady") {
                comparison.steady = seconds(token("time"));
            } else {
                error("unknown compare setting '" + key + "'");
            }
        }
    }

    std::uint16_t word(std::string const& text, std::string const& what) {
        return static_cast<std::uint16_t>(number(text, LARGEST_WORD, what));
    }

    std::pair<std::uint16_t, std::uint16_t> sample(std::string const& text) {
        std::size_t const slash = text.find('/');
        if (slash == std::string::npos) {
            error("bad sample '" + text + "', expected MV/MA");
        }
        return {word(text.substr(0, slash), "voltage"), word(text.substr(slash + 1), "current")};
    }

    std::string mName;
    unsigned mLine;
    Scenario& mScenario;
    Seen& mSeen;
    std::vector<std::string> mTokens;
    std::size_t mNext = 0;
};

}  // namespace

Scenario ScenarioParser::parse(std::string const& text, std::string const& name) {
    Scenario scenario;
    Seen seen;
    std::istringstream lines(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(lines, line)) {
        ++number;
        LineParser(name, number, scenario, seen).parse(line);
    }
    // What depends on the battery line, wherever in the file it is.
    if (seen.battery == 0) {
        for (auto const& [at, what] : {std::pair<unsigned, char const*>{seen.charger, "charger"},
                                       {seen.compare, "compare"},
                                       {seen.load, "load"}}) {
            if (at != 0) {
                throw ScenarioError(name, at, std::string("'") + what + "' needs a 'battery' line");
            }
        }
    } else if (seen.measure != 0) {
        throw ScenarioError(name, seen.measure,
                            "'measure' does not go with 'battery': the cell model measures");
    }
    return scenario;
}

Scenario ScenarioParser::parseFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ScenarioError(path, 0, "cannot read the file");
    }
    std::string const text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(text, path);
}
