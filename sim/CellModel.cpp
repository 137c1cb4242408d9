#include "CellModel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace {

constexpr double FULL_PERCENT = 100.0;
constexpr double SECONDS_PER_HOUR = 3600.0;
constexpr double MILLI = 1000.0;
constexpr double LARGEST_REPORT = 65535.0;
// Longest step of the integration: the charger's constant-voltage phase follows the
// polarisation and the OCV step by step.
constexpr double LONGEST_STEP_SECONDS = 0.1;

bool decimal(std::string const& text, double& value) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

std::string number(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

std::vector<CurvePoint> CellModel::parseCurve(std::string const& text) {
    std::vector<CurvePoint> curve;
    std::size_t start = 0;
    for (;;) {
        std::size_t const comma = text.find(',', start);
        std::string const point = text.substr(start, comma - start);
        std::size_t const colon = point.find(':');
        CurvePoint parsed;
        if (colon == std::string::npos || !decimal(point.substr(0, colon), parsed.millivolts) ||
            !decimal(point.substr(colon + 1), parsed.percent) || parsed.percent > FULL_PERCENT) {
            throw std::invalid_argument("bad curve point '" + point + "', expected MV:PERCENT");
        }
        if (!curve.empty() && (parsed.millivolts <= curve.back().millivolts ||
                               parsed.percent <= curve.back().percent)) {
            throw std::invalid_argument("curve not rising at '" + point + "'");
        }
        curve.push_back(parsed);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (curve.size() < 2 || curve.front().percent != 0 || curve.back().percent != FULL_PERCENT) {
        throw std::invalid_argument("curve must run from 0% to 100%");
    }
    return curve;
}

std::string CellModel::curveText(std::vector<CurvePoint> const& curve) {
    std::string text;
    for (CurvePoint const& point : curve) {
        text += (text.empty() ? "" : ",") + number(point.millivolts) + ":" + number(point.percent);
    }
    return text;
}

std::vector<CurvePoint> const& CellModel::defaultCurve() {
    static std::vector<CurvePoint> const curve = parseCurve(DEFAULT_CURVE);
    return curve;
}

double CellModel::interpolate(std::vector<CurvePoint> const& curve, double percent) {
    if (percent <= curve.front().percent) {
        return curve.front().millivolts;
    }
    for (std::size_t i = 1; i < curve.size(); ++i) {
        CurvePoint const& low = curve[i - 1];
        CurvePoint const& high = curve[i];
        if (percent <= high.percent) {
            return low.millivolts + (high.millivolts - low.millivolts) * (percent - low.percent) /
                                        (high.percent - low.percent);
        }
    }
    return curve.back().millivolts;
}

char const* CellModel::phaseName(Phase phase) {
    switch (phase) {
        case Phase::Rest:
            return "rest";
        case Phase::ConstantCurrent:
            return "cc";
        case Phase::ConstantVoltage:
            return "cv";
        case Phase::Complete:
            return "complete";
        case Phase::Discharge:
            return "discharge";
        case Phase::Empty:
            return "empty";
    }
    return "?";
}

CellModel::CellModel(CellSettings settings) : mSettings(std::move(settings)) {
    if (mSettings.curve.empty()) {
        mSettings.curve = defaultCurve();
    }
    mChargeMah = mSettings.capacityMah * std::clamp(mSettings.chargePercent, 0.0, FULL_PERCENT) /
                 FULL_PERCENT;
    settle();
}

void CellModel::setPrimaryPower(bool primary) {
    if (primary && !mPrimary) {
        // The charger starts afresh each time primary power returns.
        mChargeDone = false;
    }
    mPrimary = primary;
    settle();
}

void CellModel::setLoad(double milliamperes) {
    mLoad = std::max(milliamperes, 0.0);
    settle();
}

void CellModel::advanceTo(double seconds) {
    if (seconds > mTime) {
        advance(seconds - mTime);
    }
}

void CellModel::advance(double seconds) {
    while (seconds > 0) {
        double const dt = std::min(seconds, LONGEST_STEP_SECONDS);
        step(dt);
        seconds -= dt;
    }
}

void CellModel::step(double dt) {
    settle();
    mChargeMah =
        std::clamp(mChargeMah - mCurrent * dt / SECONDS_PER_HOUR, 0.0, mSettings.capacityMah);
    double const target = mCurrent * mSettings.polarisationMilliohm / MILLI;
    mPolarisation = target + (mPolarisation - target) *
                                 std::exp(-dt / std::max(mSettings.polarisationSeconds, 1e-9));
    mTime += dt;
    settle();
}

void CellModel::settle() {
    if (!mPrimary) {
        bool const empty = mChargeMah <= 0;
        mPhase = empty ? Phase::Empty : Phase::Discharge;
        mCurrent = empty ? 0 : mLoad;
        return;
    }
    if (!mSettings.charger || mChargeDone) {
        mPhase = mSettings.charger ? Phase::Complete : Phase::Rest;
        mCurrent = 0;
        return;
    }
    double const ocv = openCircuitMillivolts();
    double const resistance = mSettings.resistanceMilliohm;
    // The voltage the constant current would give: above the OCV by I * R and by the
    // polarisation (negative while charging).
    double const atConstantCurrent =
        ocv + mSettings.chargeMilliamperes * resistance / MILLI - mPolarisation;
    if (atConstantCurrent <= mSettings.chargeMillivolts) {
        mPhase = Phase::ConstantCurrent;
        mCurrent = -mSettings.chargeMilliamperes;
        return;
    }
    double const held = (mSettings.chargeMillivolts - ocv + mPolarisation) * MILLI / resistance;
    if (held < mSettings.chargeEndMilliamperes) {
        mChargeDone = true;
        mPhase = Phase::Complete;
        mCurrent = 0;
        return;
    }
    mPhase = Phase::ConstantVoltage;
    mCurrent = -std::min(held, mSettings.chargeMilliamperes);
}

double CellModel::chargePercent() const {
    return mSettings.capacityMah > 0 ? mChargeMah / mSettings.capacityMah * FULL_PERCENT : 0;
}

double CellModel::openCircuitMillivolts() const {
    return interpolate(mSettings.curve, chargePercent());
}

double CellModel::loadedMillivolts() const {
    return openCircuitMillivolts() - mCurrent * mSettings.resistanceMilliohm / MILLI -
           mPolarisation;
}

double CellModel::remainingSeconds() const {
    if (!(mLoad > 0)) {
        return -1;
    }
    return mChargeMah / mLoad * SECONDS_PER_HOUR;
}

std::uint16_t CellModel::reportedMillivolts() const {
    return static_cast<std::uint16_t>(
        std::lround(std::clamp(loadedMillivolts(), 0.0, LARGEST_REPORT)));
}

std::uint16_t CellModel::reportedMilliamperes() const {
    return static_cast<std::uint16_t>(
        std::lround(std::clamp(std::fabs(mCurrent), 0.0, LARGEST_REPORT)));
}

std::uint8_t CellModel::statusBits() const {
    std::uint8_t bits = 0;
    if (mPhase == Phase::ConstantCurrent || mPhase == Phase::ConstantVoltage) {
        bits |= CHARGING_BIT;
    }
    if (!mPrimary && loadedMillivolts() < mSettings.lowMillivolts) {
        bits |= LOW_BIT;
    }
    return bits;
}
