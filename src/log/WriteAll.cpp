#include "log/WriteAll.h"

#include <unistd.h>

#include <cerrno>

bool writeAll(int fd, std::string_view text) {
    char const* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t const written = ::write(fd, data, left);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}
