#pragma once

#include <cstdint>
#include <exception>
#include <string>

class I2C;

// A failure that ends an action, and with it the daemon.
class ActionException : public std::exception {
public:
    explicit ActionException(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};

// Periodic work run by the Scheduler every mIntervall passes, with one-byte
// access to the board through the bus handed over at registration.
class Action {
public:
    virtual void exec() = 0;

    // One scheduler pass: runs exec() on every mIntervall-th call.
    void call();
    // Sets the interval and restarts the count.
    void setIntervall(unsigned int intervall);
    void writeData(unsigned char value);
    int readData();

    I2C* mI2C = nullptr;
    std::uint32_t mIntervall = 0;
    std::uint32_t mCounter = 0;

protected:
    // Actions are never deleted through an Action pointer.
    ~Action() = default;
};
