#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class BoardModel;

// A simulated I2C adapter with one board on it, for the lifetime of the object: a fresh,
// empty device file in a new temporary directory, registered with the in-process
// interposer by its device and inode numbers. Open path() and use ioctl() as on
// /dev/i2c-N. Destruction unregisters the adapter (descriptors still open on the file
// then behave as on any regular file) and removes the file and its directory.
class SimDevice {
public:
    explicit SimDevice(BoardModel& board, std::uint8_t address = 0x18);
    ~SimDevice();
    SimDevice(SimDevice const&) = delete;
    SimDevice& operator=(SimDevice const&) = delete;

    std::string path() const { return mPath; }

private:
    std::string mDirectory;
    std::string mPath;
    dev_t mDevice = 0;
    ino_t mInode = 0;
};
