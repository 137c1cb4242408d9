#include "config/Config.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "config/ConfigException.h"

Config::Config() = default;

Config::~Config() = default;

void Config::addDefault(std::string const& key, std::string const& value) {
    mValues[key] = value;
}

std::string const& Config::getValue(std::string const& key) {
    auto it = mValues.find(key);
    if (it == mValues.end()) {
        throw ConfigException("unknown config key: " + key);
    }
    return it->second;
}

std::string Config::getString(std::string const& key) {
    return getValue(key);
}

int Config::getInt(std::string const& key, int base) {
    std::string const& value = getValue(key);
    // strtoll rather than strtol: long is 32 bits on the ARM target and 64 bits on
    // x86-64, and the accepted range must be that of int32_t on both.
    char const* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(begin, &end, base);
    if (end == begin) {
        throw std::invalid_argument("stoi");
    }
    if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        throw std::out_of_range("stoi");
    }
    return static_cast<int>(number);
}
