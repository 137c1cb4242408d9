#pragma once

#include <exception>
#include <string>

// The log file could not be opened.
class LogException : public std::exception {
public:
    explicit LogException(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};
