#include "LogWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t READ_SIZE = 64 * 1024;
constexpr std::size_t EVENT_BUFFER_SIZE = 4096;

std::runtime_error systemError(std::string const& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

LogWatch::LogWatch(std::string const& path) {
    mNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (mNotify < 0) {
        throw systemError("inotify_init1");
    }
    if (::inotify_add_watch(mNotify, path.c_str(), IN_MODIFY) < 0) {
        ::close(mNotify);
        throw systemError("cannot watch " + path);
    }
    mFile = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (mFile < 0) {
        ::close(mNotify);
        throw systemError("cannot read " + path);
    }
}

LogWatch::~LogWatch() {
    ::close(mFile);
    ::close(mNotify);
}

std::vector<std::string> LogWatch::next(std::chrono::milliseconds timeout) {
    pollfd waiting{mNotify, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) > 0) {
        char events[EVENT_BUFFER_SIZE];
        while (::read(mNotify, events, sizeof(events)) > 0) {
        }
    }
    return drain();
}

std::vector<std::string> LogWatch::drain() {
    std::vector<std::string> lines;
    char buffer[READ_SIZE];
    for (;;) {
        ssize_t const got = ::pread(mFile, buffer, sizeof(buffer), mOffset);
        if (got <= 0) {
            break;
        }
        mOffset += got;
        mPartial.append(buffer, static_cast<std::size_t>(got));
    }
    std::size_t start = 0;
    for (std::size_t end = mPartial.find('\n'); end != std::string::npos;
         end = mPartial.find('\n', start)) {
        lines.push_back(mPartial.substr(start, end - start));
        start = end + 1;
    }
    mPartial.erase(0, start);
    return lines;
}
