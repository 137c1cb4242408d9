#include "bus/I2C.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include "bus/I2CException.h"

I2C::I2C(const std::string& device, unsigned char address) {
    // Close-on-exec: a hook holding the bus could interleave its own transfers with
    // the daemon's multi-byte exchanges.
    mFd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (mFd < 0) {
        throw I2CException("could not open i2c bus!");
    }
    // The kernel refuses addresses above 0x7F and descriptors that are no I2C adapter.
    if (::ioctl(mFd, I2C_SLAVE, static_cast<unsigned long>(address)) < 0) {
        throw I2CException("could not initialise i2c bus!");
    }
}

// The descriptor is deliberately kept until the process ends.
I2C::~I2C() = default;

int I2C::read() {
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data request{};
    request.read_write = I2C_SMBUS_READ;
    request.command = 0;
    request.size = I2C_SMBUS_BYTE;
    request.data = &data;
    if (::ioctl(mFd, I2C_SMBUS, &request) != 0) {
        throw I2CException("could not read from i2c bus!");
    }
    return data.byte;
}

void I2C::write(unsigned char value) {
    i2c_smbus_ioctl_data request{};
    request.read_write = I2C_SMBUS_WRITE;
    request.command = value;
    request.size = I2C_SMBUS_BYTE;
    request.data = nullptr;
    if (::ioctl(mFd, I2C_SMBUS, &request) != 0) {
        throw I2CException("could not write to i2c bus!");
    }
}
