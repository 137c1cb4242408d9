#pragma once

#include <exception>
#include <string>

// Failure of a configuration lookup.
class ConfigException : public std::exception {
public:
    explicit ConfigException(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};
