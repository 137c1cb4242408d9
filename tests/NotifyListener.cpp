#include "NotifyListener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

NotifyListener::NotifyListener(std::string address) : mAddress(std::move(address)) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (mAddress.empty() || mAddress.size() > sizeof(where.sun_path)) {
        throw std::invalid_argument("unusable socket address " + mAddress);
    }
    std::memcpy(where.sun_path, mAddress.data(), mAddress.size());
    if (mAddress[0] == '@') {
        where.sun_path[0] = '\0';
    }
    mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto const length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + mAddress.size());
    if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr*>(&where), length) != 0) {
        if (mFd >= 0) {
            ::close(mFd);
        }
        throw std::runtime_error("cannot bind " + mAddress + ": " + std::strerror(errno));
    }
}

NotifyListener::~NotifyListener() {
    ::close(mFd);
    if (mAddress[0] == '/') {
        ::unlink(mAddress.c_str());
    }
}

std::vector<std::string> NotifyListener::receive(std::size_t count,
                                                 std::chrono::milliseconds timeout) {
    std::vector<std::string> messages;
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (messages.size() < count) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waiting{mFd, POLLIN, 0};
        if (::poll(&waiting, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) <= 0) {
            break;
        }
        char buffer[4096];
        ssize_t const n = ::recv(mFd, buffer, sizeof(buffer), 0);
        if (n >= 0) {
            messages.emplace_back(buffer, static_cast<std::size_t>(n));
        }
    }
    return messages;
}
