#include "LogTally.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t STAMP_SIZE = 20;  // "2024-03-01 14:05:09 "
constexpr std::size_t READ_SIZE = 1 << 20;

bool hasTimeStamp(std::string const& line) {
    static char const pattern[] = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < STAMP_SIZE) {
        return false;
    }
    for (std::size_t i = 0; i < STAMP_SIZE; ++i) {
        bool const digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

LogTally::LogTally(std::string path) : mPath(std::move(path)) {}

bool LogTally::update() {
    int const fd = ::open(mPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::vector<char> buffer(READ_SIZE);
    for (;;) {
        ssize_t const got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(mOffset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        mOffset += static_cast<std::uint64_t>(got);
        std::size_t start = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            if (buffer[i] == '\n') {
                mPending.append(buffer.data() + start, i - start);
                countLine(mPending);
                mPending.clear();
                start = i + 1;
            }
        }
        mPending.append(buffer.data() + start, static_cast<std::size_t>(got) - start);
    }
    ::close(fd);
    return true;
}

std::uint64_t LogTally::count(std::string const& line) const {
    auto const found = mCounts.find(line);
    return found == mCounts.end() ? 0 : found->second;
}

void LogTally::countLine(std::string const& line) {
    ++mLines;
    if (hasTimeStamp(line)) {
        ++mCounts[line.substr(STAMP_SIZE)];
    } else {
        ++mCounts["<no time stamp> " + line];
    }
}
