#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Follows a log file that another process appends to, through inotify: each call
// returns the whole lines written since the last one. The file must exist.
class LogWatch {
public:
    explicit LogWatch(std::string const& path);
    ~LogWatch();
    LogWatch(LogWatch const&) = delete;
    LogWatch& operator=(LogWatch const&) = delete;

    // Waits up to the timeout for the file to be written to, then returns the new lines
    // (without their line feeds); an empty vector when nothing new came.
    std::vector<std::string> next(std::chrono::milliseconds timeout);
    // Reads what is there now, without waiting.
    std::vector<std::string> drain();
    off_t bytes() const { return mOffset; }

private:
    int mNotify = -1;
    int mFile = -1;
    off_t mOffset = 0;
    std::string mPartial;
};
