#include "ups/BatteryCell.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/ConfigException.h"
#include "config/ConfigFile.h"
#include "config/Singleton.h"

namespace {

constexpr int FULL = 100;
constexpr std::size_t MAX_DIGITS = 9;  // stays inside int

// Decimal digits only: no sign, no blank, nothing after them.
bool digitsOnly(char const* begin, char const* end, int& value) {
    std::size_t const length = static_cast<std::size_t>(end - begin);
    if (length == 0 || length > MAX_DIGITS) {
        return false;
    }
    value = 0;
    for (char const* c = begin; c != end; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        value = value * 10 + (*c - '0');
    }
    return true;
}

int wholeNumber(std::string const& text, char const* message) {
    int value = 0;
    if (!digitsOnly(text.data(), text.data() + text.size(), value)) {
        throw ConfigException(message);
    }
    return value;
}

// As the timers are read (strtol's rules, text after the number ignored), except that an
// empty value means the key is not set.
bool optionalNumber(std::string const& text, char const* message, int& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long long const number = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        throw ConfigException(message);
    }
    value = static_cast<int>(number);
    return true;
}

}  // namespace

std::vector<BatteryCell::Point> BatteryCell::parseCurve(std::string const& text) {
    std::vector<Point> points;
    char const* at = text.c_str();
    char const* const end = at + text.size();
    while (at < end) {
        char const* const pairEnd = std::find(at, end, ',');
        char const* const colon = std::find(at, pairEnd, ':');
        Point point;
        if (colon == pairEnd || !digitsOnly(at, colon, point.millivolts) ||
            !digitsOnly(colon + 1, pairEnd, point.percent)) {
            throw ConfigException("invalid BatteryCurve!");
        }
        if (!points.empty() && (point.millivolts <= points.back().millivolts ||
                                point.percent <= points.back().percent)) {
            throw ConfigException("invalid BatteryCurve!");
        }
        points.push_back(point);
        // A comma at the very end leaves an empty last pair.
        if (pairEnd != end && pairEnd + 1 == end) {
            throw ConfigException("invalid BatteryCurve!");
        }
        at = pairEnd == end ? end : pairEnd + 1;
    }
    if (points.size() < 2 || points.front().percent != 0 || points.back().percent != FULL) {
        throw ConfigException("invalid BatteryCurve!");
    }
    return points;
}

BatteryCell BatteryCell::fromConfig() {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    int low = LINE_LOW_MV;
    int high = LINE_HIGH_MV;
    bool const lowSet =
        optionalNumber(config->getValue("BatteryVoltageLow"), "invalid BatteryVoltageLow!", low);
    bool const highSet =
        optionalNumber(config->getValue("BatteryVoltageHigh"), "invalid BatteryVoltageHigh!", high);
    if ((lowSet || highSet) && high <= low) {
        throw ConfigException("invalid BatteryVoltageHigh!");
    }
    std::string const& curveText = config->getValue("BatteryCurve");
    BatteryCell cell;
    cell.curve = parseCurve(curveText);
    // The two ends alone, with the curve left as it is, keep the straight line between
    // them that earlier versions estimated with.
    if ((lowSet || highSet) && curveText == DEFAULT_CURVE) {
        cell.curve = {{low, 0}, {high, FULL}};
    }
    cell.resistanceMilliohm =
        wholeNumber(config->getValue("BatteryResistance"), "invalid BatteryResistance!");
    int capacity = 0;
    if (!optionalNumber(config->getValue("BatteryCapacity"), "invalid BatteryCapacity!",
                        capacity)) {
        throw ConfigException("invalid BatteryCapacity!");
    }
    cell.capacityMah = std::max(capacity, 0);
    return cell;
}

double BatteryCell::percentAt(double millivolts) const {
    if (millivolts <= curve.front().millivolts) {
        return curve.front().percent;
    }
    if (millivolts >= curve.back().millivolts) {
        return curve.back().percent;
    }
    // The first point above the voltage; the one before it lies at or below.
    auto const above =
        std::upper_bound(curve.begin(), curve.end(), millivolts,
                         [](double mv, Point const& point) { return mv < point.millivolts; });
    Point const& lower = *(above - 1);
    return lower.percent + (millivolts - lower.millivolts) * (above->percent - lower.percent) /
                               (above->millivolts - lower.millivolts);
}
