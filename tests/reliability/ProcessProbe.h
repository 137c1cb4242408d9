#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Resource use of a running process, read from /proc/PID.
class ProcessProbe {
public:
    struct Sample {
        bool ok = false;         // false: the process was gone
        std::size_t rssKiB = 0;  // VmRSS
        std::size_t hwmKiB = 0;  // VmHWM, the peak of VmRSS
        std::size_t fds = 0;     // entries of /proc/PID/fd
    };

    explicit ProcessProbe(pid_t pid);

    Sample sample() const;
    // The descriptors' targets ("/dev/null", "socket:[..]", ...), for a report.
    std::string descriptors() const;

private:
    std::string mDir;
};
