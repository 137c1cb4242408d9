#include "Interposer.h"

#include <dlfcn.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "BoardModel.h"

#ifdef NUVEXSIM_PRELOAD
#include "PreloadSession.h"
#endif

static_assert(sizeof(void*) == sizeof(unsigned long), "ioctl arguments are one machine word");

namespace {

constexpr unsigned long LAST_SEVEN_BIT_ADDRESS = 0x7F;

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction nextFunction(char const* name) {
    void* symbol = ::dlsym(RTLD_NEXT, name);
    IoctlFunction function = nullptr;
    static_assert(sizeof(symbol) == sizeof(function), "function and data pointers differ");
    std::memcpy(&function, &symbol, sizeof(function));
    return function;
}

int fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

Interposer& Interposer::instance() {
    // Deliberately leaked: see the class comment.
    static Interposer* const theInstance = [] {
        auto* created = new Interposer();
#ifdef NUVEXSIM_PRELOAD
        PreloadSession::install(*created);
#endif
        return created;
    }();
    return *theInstance;
}

void Interposer::attach(dev_t device, ino_t inode, BoardModel& board, std::uint8_t address) {
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices[{device, inode}] = Device{&board, nullptr, true, address};
}

void Interposer::attachLazy(dev_t device, ino_t inode, Claim claim, std::uint8_t address) {
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices[{device, inode}] = Device{nullptr, claim, false, address};
}

void Interposer::detach(dev_t device, ino_t inode) {
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.erase({device, inode});
    for (auto it = mDescriptors.begin(); it != mDescriptors.end();) {
        if (it->second.device == device && it->second.inode == inode) {
            it = mDescriptors.erase(it);
        } else {
            ++it;
        }
    }
}

int Interposer::forward(int fd, unsigned long request, void* argument) {
    static IoctlFunction const next = nextFunction("ioctl");
    if (next == nullptr) {
        return fail(ENOSYS);
    }
    return next(fd, request, argument);
}

#ifdef NUVEXSIM_IOCTL_TIME64
int Interposer::forwardTime64(int fd, unsigned long request, void* argument) {
    static IoctlFunction const next = nextFunction("__ioctl_time64");
    if (next == nullptr) {
        return fail(ENOSYS);
    }
    return next(fd, request, argument);
}
#endif

int Interposer::ioctl(int fd, unsigned long request, void* argument, Next next) {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mDevices.empty()) {
        lock.unlock();
        return next(fd, request, argument);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        lock.unlock();
        return next(fd, request, argument);
    }
    auto found = mDevices.find({info.st_dev, info.st_ino});
    if (found == mDevices.end()) {
        // A descriptor number reused for another file starts afresh.
        mDescriptors.erase(fd);
        lock.unlock();
        return next(fd, request, argument);
    }
    Device& device = found->second;
    if (!device.claimed) {
        device.board = device.claim();
        device.claimed = true;
    }
    if (device.board == nullptr) {
        lock.unlock();
        return next(fd, request, argument);
    }

    auto known = mDescriptors.find(fd);
    if (known == mDescriptors.end() || known->second.device != info.st_dev ||
        known->second.inode != info.st_ino) {
        known = mDescriptors.insert_or_assign(fd, Descriptor{info.st_dev, info.st_ino, 0}).first;
    }
    Descriptor& descriptor = known->second;

    switch (request) {
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE: {
            auto const address = reinterpret_cast<unsigned long>(argument);
            if (address > LAST_SEVEN_BIT_ADDRESS) {
                return fail(EINVAL);
            }
            descriptor.address = address;
            return 0;
        }
        case I2C_FUNCS:
            if (argument == nullptr) {
                return fail(EFAULT);
            }
            *static_cast<unsigned long*>(argument) = I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE;
            return 0;
        case I2C_SMBUS: {
            Device const target = device;
            Descriptor const bound = descriptor;
            // The board may sleep in a slowed transfer: other descriptors carry on.
            lock.unlock();
            return smbus(target, bound, argument);
        }
        case I2C_RETRIES:
        case I2C_TIMEOUT:
        case I2C_PEC:
            return 0;
        case I2C_TENBIT:
            return argument == nullptr ? 0 : fail(EOPNOTSUPP);
        default:
            return fail(ENOTTY);
    }
}

int Interposer::smbus(Device const& device, Descriptor const& descriptor, void* argument) {
    auto* request = static_cast<i2c_smbus_ioctl_data*>(argument);
    if (request == nullptr) {
        return fail(EFAULT);
    }
    if (request->read_write != I2C_SMBUS_READ && request->read_write != I2C_SMBUS_WRITE) {
        return fail(EINVAL);
    }
    switch (request->size) {
        case I2C_SMBUS_QUICK:
            if (descriptor.address != device.address || !device.board->present()) {
                return fail(ENXIO);
            }
            return 0;
        case I2C_SMBUS_BYTE:
            break;
        case I2C_SMBUS_BYTE_DATA:
        case I2C_SMBUS_WORD_DATA:
        case I2C_SMBUS_PROC_CALL:
        case I2C_SMBUS_BLOCK_DATA:
        case I2C_SMBUS_I2C_BLOCK_BROKEN:
        case I2C_SMBUS_BLOCK_PROC_CALL:
        case I2C_SMBUS_I2C_BLOCK_DATA:
            return fail(EOPNOTSUPP);
        default:
            return fail(EINVAL);
    }
    bool const write = request->read_write == I2C_SMBUS_WRITE;
    if (!write && request->data == nullptr) {
        return fail(EINVAL);
    }
    if (descriptor.address != device.address) {
        return fail(ENXIO);
    }
    if (write) {
        return device.board->sendByte(request->command) ? 0 : fail(ENXIO);
    }
    std::uint8_t byte = 0;
    if (!device.board->receiveByte(byte)) {
        return fail(ENXIO);
    }
    request->data->byte = byte;
    return 0;
}

// The entry points that take the place of the C library's. glibc declares ioctl as
// int ioctl(int, unsigned long, ...) and every request here passes one word-sized
// argument, read as a pointer the way the C library itself reads it.
namespace {

int answer(int fd, unsigned long request, void* argument, Interposer::Next next) noexcept {
    try {
        return Interposer::instance().ioctl(fd, request, argument, next);
    } catch (...) {
        return fail(ENOMEM);
    }
}

}  // namespace

#ifdef __USE_TIME_BITS64
// With a 64-bit time_t, <sys/ioctl.h> gives the name ioctl the symbol __ioctl_time64
// (defined below); the entry point of programs built with a 32-bit time_t keeps its
// own symbol under another name.
extern "C" int nuvexsimIoctl32(int fd, unsigned long request, ...) noexcept __asm__("ioctl");
#define NUVEXSIM_IOCTL_ENTRY nuvexsimIoctl32
#else
#define NUVEXSIM_IOCTL_ENTRY ioctl
#endif

extern "C" __attribute__((visibility("default"))) int NUVEXSIM_IOCTL_ENTRY(int fd,
                                                                           unsigned long request,
                                                                           ...) noexcept {
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return answer(fd, request, argument, &Interposer::forward);
}

#ifdef NUVEXSIM_IOCTL_TIME64
// 32-bit glibc built with 64-bit time_t sends ioctl() calls here instead. I2C requests
// carry no time values; foreign requests go on to the time64 entry point.
extern "C" __attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request,
                                                                     ...) noexcept {
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return answer(fd, request, argument, &Interposer::forwardTime64);
}
#endif

#ifdef NUVEXSIM_PRELOAD
// Test facility (PauseOverride.h): with NUVEXSIM_PAUSE_US set, the daemon's pause between
// passes, usleep(500000), lasts the given time; every other sleep goes on unchanged.
extern "C" __attribute__((visibility("default"))) int usleep(useconds_t microseconds) {
    using UsleepFunction = int (*)(useconds_t);
    static UsleepFunction const next = [] {
        void* symbol = ::dlsym(RTLD_NEXT, "usleep");
        UsleepFunction function = nullptr;
        static_assert(sizeof(symbol) == sizeof(function), "function and data pointers differ");
        std::memcpy(&function, &symbol, sizeof(function));
        return function;
    }();
    if (next == nullptr) {
        return fail(ENOSYS);
    }
    return next(static_cast<useconds_t>(PreloadSession::pause().sleepFor(microseconds)));
}
#endif
