#include "BoardFixture.h"

#include <cstdio>
#include <sstream>

#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "ups/BatteryCell.h"

namespace {
// "YYYY-MM-DD HH:MM:SS " in front of every log line.
constexpr std::size_t STAMP_LENGTH = 20;
}  // namespace

BoardFixture::BoardFixture() : mDevice(mBoard) {
    set("LogLevel", "debug");
    set("LogFile", mDir.path() + "/nuvexmon.log");
    set("LogStatusDesc", "1");
    set("PowerOffTimer", "30");
    set("ShutdownTimer", "10");
    set("ShutdownCmd", recorder("shutdown"));
    set("ShutdownOnLowBattery", "0");
    set("StateFile", "");
    set("BatteryVoltageLow", "");
    set("BatteryVoltageHigh", "");
    set("BatteryCurve", BatteryCell::DEFAULT_CURVE);
    set("BatteryResistance", "120");
    set("BatteryCapacity", "0");
    set("ShutdownBelowCharge", "0");
    set("ShutdownBelowRuntime", "0");
    mBoard.setStatus(0x01);
    mBoard.setMeasurement(5000, 312);
    mBoard.setVersion("NUVEX v1.2.3");
    mBus = std::make_unique<I2C>(mDevice.path(), 0x18);
}

void BoardFixture::set(std::string const& key, std::string const& value) {
    Singleton<ConfigFile>::getInstance()->addDefault(key, value);
}

std::vector<std::string> BoardFixture::logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(mDir.read("nuvexmon.log"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.size() >= STAMP_LENGTH ? line.substr(STAMP_LENGTH) : line);
    }
    return lines;
}

std::vector<std::string> BoardFixture::logLines(std::string const& label) const {
    std::vector<std::string> selected;
    std::string const prefix = "[" + label + "] ";
    for (std::string const& line : logLines()) {
        if (line.rfind(prefix, 0) == 0) {
            selected.push_back(line.substr(prefix.size()));
        }
    }
    return selected;
}

std::string BoardFixture::recorder(std::string const& name) const {
    // The shell that system() starts is "sh -c TEXT"; its command line holds TEXT
    // byte for byte. The command runs in the foreground: the ";" keeps the " &"
    // that may be appended for the trailing "true" only.
    return "cat /proc/$$/cmdline >> " + mDir.path() + "/" + name + ".rec; printf '\\n' >> " +
           mDir.path() + "/" + name + ".rec; true";
}

std::vector<std::string> BoardFixture::recorded(std::string const& name) const {
    std::vector<std::string> texts;
    std::istringstream in(mDir.read(name + ".rec"));
    for (std::string record; std::getline(in, record);) {
        // "sh\0-c\0TEXT\0"
        std::size_t const start = record.find(std::string("-c\0", 3));
        std::string text = start == std::string::npos ? record : record.substr(start + 3);
        if (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        texts.push_back(text);
    }
    return texts;
}

std::vector<std::string> BoardFixture::transfersOfPoll(unsigned poll) const {
    std::vector<std::string> selected;
    for (Transfer const& t : mBoard.transfers()) {
        if (t.poll != poll) {
            continue;
        }
        char text[32];
        std::snprintf(text, sizeof(text), "%c 0x%02x%s", t.write ? 'W' : 'R', t.byte,
                      t.ok ? "" : " failed");
        selected.push_back(text);
    }
    return selected;
}
