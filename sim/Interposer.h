#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

class BoardModel;

// 32-bit glibc with 64-bit time_t routes ioctl() through __ioctl_time64.
#if defined(__GLIBC__) && defined(__TIMESIZE) && __TIMESIZE == 32 && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define NUVEXSIM_IOCTL_TIME64 1
#endif

// The kernel side of simulated I2C adapters: the process's ioctl() comes here first.
// A descriptor belongs to a simulated adapter when fstat() gives the (st_dev, st_ino) of
// a registered device file; everything else goes on to the C library's ioctl unchanged.
//
// Kernel behaviour reproduced for a simulated adapter:
//  - I2C_SLAVE / I2C_SLAVE_FORCE: an address above 0x7F is EINVAL; any other binds the
//    descriptor (a fresh descriptor talks to address 0x00, like a fresh i2c-dev client).
//  - I2C_FUNCS: SMBus quick and byte transfers.
//  - I2C_SMBUS, size I2C_SMBUS_BYTE: send-byte and receive-byte; I2C_SMBUS_QUICK is
//    acknowledged by a present board. Other sizes are EOPNOTSUPP, malformed requests EINVAL.
//  - A transfer to an address with no board, or one the board fails, is ENXIO.
//  - I2C_RETRIES, I2C_TIMEOUT, I2C_PEC are accepted; other requests are ENOTTY.
//
// The instance is created on first use and never destroyed, so that calls made while
// the process exits still find it.
class Interposer {
public:
    // Decides, on the first I2C request for a lazily registered device, which board
    // answers there; nullptr leaves the device to the real ioctl.
    using Claim = BoardModel* (*)();

    static Interposer& instance();

    void attach(dev_t device, ino_t inode, BoardModel& board, std::uint8_t address);
    void attachLazy(dev_t device, ino_t inode, Claim claim, std::uint8_t address);
    void detach(dev_t device, ino_t inode);

    // Where requests for other files go.
    using Next = int (*)(int fd, unsigned long request, void* argument);

    int ioctl(int fd, unsigned long request, void* argument, Next next);
    // The next ioctl in the lookup order (the C library's).
    static int forward(int fd, unsigned long request, void* argument);
#ifdef NUVEXSIM_IOCTL_TIME64
    static int forwardTime64(int fd, unsigned long request, void* argument);
#endif

private:
    struct Device {
        BoardModel* board;
        Claim claim;
        bool claimed;
        std::uint8_t address;
    };
    struct Descriptor {
        dev_t device;
        ino_t inode;
        unsigned long address;
    };
    using Key = std::pair<dev_t, ino_t>;

    Interposer() = default;
    static int smbus(Device const& device, Descriptor const& descriptor, void* argument);

    std::mutex mMutex;
    std::map<Key, Device> mDevices;
    std::map<int, Descriptor> mDescriptors;
};
