#include "SimDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "Interposer.h"

namespace {

std::runtime_error systemError(std::string const& what, std::string const& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

SimDevice::SimDevice(BoardModel& board, std::uint8_t address) {
    char const* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/nuvexsim-dev-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw systemError("cannot create directory", pattern);
    }
    mDirectory = pattern;
    mPath = mDirectory + "/i2c-sim";

    int const fd = ::open(mPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        std::runtime_error const failure = systemError("cannot create device file", mPath);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(mPath.c_str());
        }
        ::rmdir(mDirectory.c_str());
        throw failure;
    }
    ::close(fd);
    mDevice = info.st_dev;
    mInode = info.st_ino;
    Interposer::instance().attach(mDevice, mInode, board, address);
}

SimDevice::~SimDevice() {
    Interposer::instance().detach(mDevice, mInode);
    ::unlink(mPath.c_str());
    ::rmdir(mDirectory.c_str());
}
