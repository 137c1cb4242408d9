#pragma once

#include <string>

// The UPS board's I2C character device: one-byte SMBus send and receive transfers.
// The descriptor stays open for the life of the process.
class I2C {
public:
    I2C(const std::string& device, unsigned char address);
    ~I2C();

    int read();
    void write(unsigned char value);

private:
    int mFd;
};
