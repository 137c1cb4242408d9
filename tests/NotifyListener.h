#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A datagram socket bound where a service manager listens for the daemon's messages:
// a path, or an abstract name written "@name" as in NOTIFY_SOCKET.
class NotifyListener {
public:
    explicit NotifyListener(std::string address);
    ~NotifyListener();
    NotifyListener(NotifyListener const&) = delete;
    NotifyListener& operator=(NotifyListener const&) = delete;

    std::string const& address() const { return mAddress; }
    // The messages received until `count` have come in or the timeout has passed.
    std::vector<std::string> receive(std::size_t count, std::chrono::milliseconds timeout);
    // What has come in so far, without waiting.
    std::vector<std::string> pending() { return receive(SIZE_MAX, std::chrono::milliseconds(0)); }

private:
    std::string mAddress;
    int mFd = -1;
};
