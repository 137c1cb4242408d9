#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One point of a cell's curve: the resting (open-circuit) voltage at that charge.
struct CurvePoint {
    double millivolts = 0;
    double percent = 0;
};

// What a scenario's "battery" and "charger" lines declare (ScenarioParser.h).
struct CellSettings {
    double capacityMah = 0;
    double resistanceMilliohm = 120;   // internal resistance, seen at once
    double polarisationMilliohm = 40;  // the slow RC branch: its resistance...
    double polarisationSeconds = 45;   // ...and its time constant
    std::vector<CurvePoint> curve;     // empty: CellModel::defaultCurve()
    double chargePercent = 100;        // at the start, rested
    double lowMillivolts = 3400;       // battery low (0x04) below this loaded voltage
    bool charger = false;              // a charger on primary power
    double chargeMilliamperes = 0;     // its constant current
    double chargeMillivolts = 0;       // its constant voltage
    double chargeEndMilliamperes = 0;  // the taper current that completes the charge
};

// A battery cell for the simulated board: the truth that the daemon's estimate is
// compared with.
//
//  - Charge: counted in mAh from the start charge, exactly (no losses), between 0 and
//    the capacity. The open-circuit voltage (OCV) is the curve's, interpolated
//    linearly in the charge, held at its ends outside them.
//  - Current: signed inside the model, positive when the cell discharges. On battery
//    power (the status lacks 0x01) the cell carries the load, until it is empty (charge
//    0): the current then stops. On primary power the load is fed from outside; the
//    charger, if any, charges at its constant current until the loaded voltage reaches
//    its constant voltage, then holds that voltage while the current tapers, and stops
//    (charge complete) when the current falls below the end current. Each return of
//    primary power starts a new charge; without a charger the cell rests.
//  - Polarisation: an RC branch in series, V_p' = (I * R_p - V_p) / tau, so that under a
//    steady current it builds up as I * R_p * (1 - e^(-t/tau)) and decays with tau once
//    the current changes.
//  - Loaded voltage: OCV - I * R - V_p, i.e. below the OCV on discharge and above it on
//    charge.
//  - Status bits: charging (0x08) while the charger runs, battery low (0x04) while on
//    battery power with the loaded voltage below the low setting.
// The board reports the loaded voltage and the current's magnitude (unsigned mA).
class CellModel {
public:
    enum class Phase {
        Rest,             // primary power, no charger
        ConstantCurrent,  // charging
        ConstantVoltage,  // charging, current tapering
        Complete,         // primary power, charge complete
        Discharge,        // battery power
        Empty             // battery power, nothing left
    };

    static constexpr std::uint8_t CHARGING_BIT = 0x08;
    static constexpr std::uint8_t LOW_BIT = 0x04;
    static constexpr char const* DEFAULT_CURVE =
        "3270:0,3610:5,3690:10,3710:15,3730:20,3750:25,3770:30,3790:35,3800:40,3820:45,"
        "3840:50,3850:55,3870:60,3910:65,3950:70,3980:75,4020:80,4080:85,4110:90,4150:95,"
        "4200:100";

    // "MV:PERCENT,...": at least two points, millivolts and percent both rising, from 0 %
    // to 100 %. Throws std::invalid_argument with the reason ("bad curve point 'x',
    // expected MV:PERCENT").
    static std::vector<CurvePoint> parseCurve(std::string const& text);
    static std::string curveText(std::vector<CurvePoint> const& curve);
    static std::vector<CurvePoint> const& defaultCurve();
    // The curve's voltage at this charge.
    static double interpolate(std::vector<CurvePoint> const& curve, double percent);
    static char const* phaseName(Phase phase);

    // The settings must be valid (as the parser checks them); starts rested, at time 0,
    // on primary power, without a load.
    explicit CellModel(CellSettings settings);

    // Inputs. A change takes effect from the present time on.
    void setPrimaryPower(bool primary);
    void setLoad(double milliamperes);
    // Runs the model on to this time (seconds; earlier times change nothing).
    void advanceTo(double seconds);
    void advance(double seconds);

    CellSettings const& settings() const { return mSettings; }
    double time() const { return mTime; }
    bool primaryPower() const { return mPrimary; }
    double load() const { return mLoad; }
    Phase phase() const { return mPhase; }
    double chargeMah() const { return mChargeMah; }
    double chargePercent() const;
    double openCircuitMillivolts() const;
    double polarisationMillivolts() const { return mPolarisation; }
    // Signed: positive while discharging.
    double currentMilliamperes() const { return mCurrent; }
    double loadedMillivolts() const;
    // Seconds until the charge is 0 at the present load (on either power); -1 without a
    // load.
    double remainingSeconds() const;
    // What the board answers: rounded, within 0..65535.
    std::uint16_t reportedMillivolts() const;
    std::uint16_t reportedMilliamperes() const;
    // CHARGING_BIT and LOW_BIT as they stand.
    std::uint8_t statusBits() const;

private:
    void step(double seconds);
    // Phase and current from the state as it is now.
    void settle();

    CellSettings mSettings;
    double mTime = 0;
    bool mPrimary = true;
    double mLoad = 0;
    bool mChargeDone = false;
    Phase mPhase = Phase::Rest;
    double mChargeMah = 0;
    double mPolarisation = 0;  // mV, positive on discharge
    double mCurrent = 0;       // mA, positive on discharge
};
