#pragma once

#include <exception>
#include <string>

// A failure to open, bind or talk to the I2C device.
class I2CException : public std::exception {
public:
    explicit I2CException(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};
